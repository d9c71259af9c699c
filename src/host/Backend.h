#pragma once

// What the platform-neutral core of the host needs from a platform backend, and the entry
// points a backend reports to. The core alone keeps the runtime's state. Private to
// src/host: no other layer includes it.

#include "host/Application.h"

#include <cstdio>
#include <string>

namespace host {
class Window;
}

namespace host::backend {

// ---- Reported by the backend, decided by the core ----------------------------------------

// The arguments for the platform's GUI instance: those RuntimeInit kept, or a one-word list.
// Both live for good, since a GUI instance may keep a reference to the count.
int& argumentCount();
char** argumentVector();
// How the Windows entry asked the first window to show (0 when it did not say).
int showCommand();
// Every window shown when the loop started has been painted once (or will never be): Open.
void shownWindowsPainted();
// The platform's last window closed: the application ends.
void lastWindowClosed();

// ---- Implemented by the backend ---------------------------------------------------------

// Whether the platform's GUI instance exists yet.
bool guiInstanceExists();
// Makes the platform follow (or ignore) the screen's scale; before the GUI instance only.
void applyHiDpi(bool enabled);
// Calls shownWindowsPainted once the loop runs and every shown window has been painted.
void watchFirstPaint();
// Runs the event loop until quitEventLoops; returns the status it was given.
int runEventLoop();
// Makes every running event loop (nested ones too) return with status.
void quitEventLoops(int status);
// One modal message box with the report's line, on the main thread.
void showReport(const std::string& line);
// Lets go of the platform's GUI instance after the finalisers ran.
void releaseGuiInstance();
// Opens a file named by a UTF-8 path with a C stdio mode ("x" included: fails when the
// file exists); nullptr with errno set on failure.
std::FILE* openFile(const std::string& utf8Path, const char* mode);
// The platform's line end.
extern const char* const kEndOfLine;
// Called when the last open window has been let go of: where the platform does not report
// its last window closing by itself, the backend reports it here.
void lastWindowReleased();
// Brings the window to the front, restored if minimised, and gives it the focus.
void raiseWindow(Window& window);

} // namespace host::backend
