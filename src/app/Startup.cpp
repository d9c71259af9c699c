#include "app/Startup.h"

#include "app/App.h"
#include "app/Version.h"
#include "host/Application.h"
#include "ui/Window1.h"

#include <exception>
#include <memory>

namespace tamsel {

void _Main() {
    _Main(StartupSteps{_EarlyStartup, _LateStartup});
}

void _Main(const StartupSteps& steps) {
    try {
        if (steps.earlyStartup) {
            steps.earlyStartup();
        }
        host::RunFrameworkInitialization(steps.lateStartup);
        host::RuntimeRun();
    } catch (...) {
        host::RuntimeUnhandledException(std::current_exception());
    }
}

void _EarlyStartup() {
    // Before anything makes a window, so every window is scaled for its screen.
    host::ApplicationSetSupportsHiDPI(true);
    _InitFileTypes();
    _NewAppInstance();
    _InitFileTypes();
}

void _NewAppInstance() {
    auto app = std::make_unique<App>();
    app->_x_SetVersionData(version::kMajor, version::kMinor, version::kBug, version::kNonRelease,
                           version::kStageCode, {}, {}, {});
    host::RuntimeRegisterAppObject(std::move(app));
}

// The program opens no documents, so there are no file types to register.
void _InitFileTypes() {}

void _LateStartup() {
    _MakeDefaultView();
}

void _MakeDefaultView() {
    // The host holds the window while it is open; start-up keeps no reference.
    (void)::Window1();
}

int runProcess() {
    return runProcess(StartupSteps{_EarlyStartup, _LateStartup});
}

int runProcess(const StartupSteps& steps) {
    _Main(steps);
    host::RuntimePerformFinalizers();
    return host::RuntimeExit();
}

} // namespace tamsel
