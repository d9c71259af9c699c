#pragma once

// The platform widgets behind host windows and controls, for host code and tests that
// look at what the user sees. Only a forward declaration: including this pulls in no
// platform header.

class QWidget;

namespace host {

class Window;
class Control;

QWidget* widgetOf(const Window& window);
QWidget* widgetOf(const Control& control);

} // namespace host
