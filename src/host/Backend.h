#pragma once

// What the platform-neutral core of the host needs from a platform backend, and the
// runtime state the two share. Private to src/host: no other layer includes it.

#include "host/Application.h"

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace host {
class Window;
}

namespace host::backend {

struct RuntimeState {
    // The arguments handed to RuntimeInit, kept for the lazily made GUI instance. A GUI
    // instance may keep a reference to argc, so it lives here for good.
    int argc = 0;
    char** argv = nullptr;
    std::vector<std::string> argStorage;
    std::vector<char*> argPointers;
    // The four values of the Windows entry, as they were given.
    void* instance = nullptr;
    void* previousInstance = nullptr;
    std::wstring windowsCommandLine;
    int showCommand = 0;

    bool hiDpi = true;
    std::unique_ptr<Application> app;
    std::vector<std::function<void()>> finalizers;

    bool loopRunning = false;
    bool ending = false;
    bool reported = false;
    bool reporting = false;
    int exitStatus = 0;
};

// Never destroyed: at process exit the platform's own statics may already be gone, so
// what is still alive then (when finalisation did not run) is left to the OS.
RuntimeState& state();

// Fills in a one-word argument list for a platform that wants one.
void useDefaultArguments(RuntimeState& s);

// Implemented by the backend.
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
// Called when the last open window has been let go of: where the platform does not end
// the program with its last window by itself, the backend does.
void lastWindowReleased();
// Brings the window to the front, restored if minimised, and gives it the focus.
void raiseWindow(Window& window);

} // namespace host::backend
