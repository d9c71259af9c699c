#pragma once

// The Qt widget behind a host window or control, for the suites that look at what the user
// sees. Only a forward declaration: including this pulls in no Qt header.

class QWidget;

namespace host {
class Window;
class Control;
} // namespace host

namespace testsupport {

QWidget* widgetOf(const host::Window& window);
QWidget* widgetOf(const host::Control& control);

} // namespace testsupport
