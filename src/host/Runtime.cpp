// The host runtime's rules that are the same on every platform: the application object,
// the exception policy and its report text, finalisers, exit status and the clock. The
// event loop, the GUI instance and the message box come from the backend.

#include "host/Application.h"
#include "host/Backend.h"
#include "host/Strings.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <typeinfo>
#include <utility>
#include <vector>

#if defined(__GNUG__)
#include <cstdlib>
#include <cxxabi.h>
#endif

namespace host {
namespace {

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
RuntimeState& state() {
    static auto* s = new RuntimeState;
    return *s;
}

// A one-word argument list for a platform that wants one.
void useDefaultArguments(RuntimeState& s) {
    s.argStorage = {"tamselRadio"};
    s.argPointers = {s.argStorage[0].data(), nullptr};
    s.argc = 1;
    s.argv = s.argPointers.data();
}

const std::chrono::steady_clock::time_point gStartTime = std::chrono::steady_clock::now();

std::string demangled(const char* name) {
#if defined(__GNUG__)
    int status = 0;
    char* readable = abi::__cxa_demangle(name, nullptr, nullptr, &status);
    if (status == 0 && readable != nullptr) {
        std::string result(readable);
        std::free(readable);
        return result;
    }
#endif
    return name;
}

// The report's line: the exception's class name, then its message when it has one.
std::string describe(std::exception_ptr error) {
    std::string className;
    std::string message;
    try {
        std::rethrow_exception(std::move(error));
    } catch (const RuntimeException& e) {
        className = e.ClassName();
        message = e.Message();
    } catch (const std::exception& e) {
        className = demangled(typeid(e).name());
        message = e.what();
    } catch (...) {
        className = "UnknownException";
    }
    return message.empty() ? className : className + ": " + message;
}

// Ends the application: the event loop (and every nested loop) returns, and a loop not yet
// started is never entered.
void endApplication(int status) {
    RuntimeState& s = state();
    s.ending = true;
    s.exitStatus = status;
    if (s.loopRunning) {
        backend::quitEventLoops(status);
    }
}

} // namespace

namespace backend {

int& argumentCount() {
    RuntimeState& s = state();
    if (s.argv == nullptr) {
        useDefaultArguments(s);
    }
    return s.argc;
}

char** argumentVector() {
    argumentCount();
    return state().argv;
}

int showCommand() {
    return state().showCommand;
}

void shownWindowsPainted() {
    runUnderExceptionPolicy([] {
        if (Application* app = getAppObject()) {
            app->Open();
        }
    });
}

void lastWindowClosed() {
    // From then on the program may know it, also while a handler still runs, so work that
    // was waiting (an update check) offers nothing more.
    RuntimeState& s = state();
    if (s.loopRunning) {
        s.ending = true;
        quitEventLoops(0);
    }
}

} // namespace backend

Application::Application() = default;
Application::~Application() = default;

bool Application::UnhandledException(const RuntimeException&) {
    return false;
}

// The host has no cooperative threads of its own, so there is never another one to run.
void Application::YieldToNextThread() {
    std::this_thread::yield();
}

void Application::SleepCurrentThread(int64_t milliseconds) {
    if (milliseconds > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
}

void Application::_CallFunctionWithExceptionHandling(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const EndException&) {
    } catch (const ThreadEndException&) {
    } catch (const RuntimeException& error) {
        if (!UnhandledException(error)) {
            RuntimeUnhandledException(std::current_exception());
        }
    }
}

void Application::_x_SetVersionData(int64_t major, int64_t minor, int64_t bug, int64_t nonRelease,
                                    int64_t stageCode, std::string longVersion,
                                    std::string shortVersion, std::string packageInfo) {
    majorVersion_ = major;
    minorVersion_ = minor;
    bugVersion_ = bug;
    nonReleaseVersion_ = nonRelease;
    stageCode_ = stageCode;
    longVersion_ = std::move(longVersion);
    shortVersion_ = std::move(shortVersion);
    packageInfo_ = std::move(packageInfo);
}

Application* getAppObject() {
    return state().app.get();
}

void runUnderExceptionPolicy(const std::function<void()>& fn) {
    // Nothing may escape into the platform's event loop: whatever the policy passes on to
    // the host ends up in the report.
    try {
        if (Application* app = getAppObject()) {
            app->_CallFunctionWithExceptionHandling(fn);
            return;
        }
        try {
            fn();
        } catch (const EndException&) {
        } catch (const ThreadEndException&) {
        }
    } catch (...) {
        try {
            RuntimeUnhandledException(std::current_exception());
        } catch (...) {
            std::fputs("tamselRadio: the report of an unhandled exception failed\n", stderr);
            endApplication(1);
        }
    }
}

void RuntimeInit(int argc, char** argv) {
    RuntimeState& s = state();
    if (argc < 1 || argv == nullptr) {
        useDefaultArguments(s);
        return;
    }
    s.argc = argc;
    s.argv = argv;
}

void RuntimeInit(void* instance, void* previousInstance, const wchar_t* commandLine, int show) {
    RuntimeState& s = state();
    s.instance = instance;
    s.previousInstance = previousInstance;
    // The platform reads the real command line itself; the tail is kept as given.
    s.windowsCommandLine = commandLine != nullptr ? commandLine : L"";
    s.showCommand = show;
    useDefaultArguments(s);
}

void ApplicationSetSupportsHiDPI(bool enabled) {
    if (backend::guiInstanceExists()) {
        return;
    }
    state().hiDpi = enabled;
    backend::applyHiDpi(enabled);
}

bool ApplicationSupportsHiDPI() {
    return state().hiDpi;
}

void RuntimeRegisterAppObject(std::unique_ptr<Application> app) {
    state().app = std::move(app);
}

void RunFrameworkInitialization(const std::function<void()>& lateStartup) {
    ensureRuntime();
    if (lateStartup) {
        lateStartup();
    }
}

void RuntimeRun() {
    ensureRuntime();
    RuntimeState& s = state();
    if (s.ending) {
        return;
    }
    // Open once the loop runs and the windows are on screen: whatever Open does happens with
    // the application started, and Open may block the loop (the update check does).
    backend::watchFirstPaint();
    s.loopRunning = true;
    const int status = backend::runEventLoop();
    s.loopRunning = false;
    s.ending = true;
    if (!s.reported) {
        s.exitStatus = status;
    }
}

void RuntimeUnhandledException(std::exception_ptr error) {
    RuntimeState& s = state();
    const std::string line = describe(std::move(error));
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
    s.reported = true;
    // A second failure while the first report is on screen only adds its line.
    if (!s.reporting && isMainThread()) {
        s.reporting = true;
        try {
            backend::showReport(line);
        } catch (...) {
            s.reporting = false;
            endApplication(1);
            throw;
        }
        s.reporting = false;
    }
    endApplication(1);
}

void RuntimeAddFinalizer(std::function<void()> finalizer) {
    state().finalizers.push_back(std::move(finalizer));
}

void RuntimePerformFinalizers() {
    RuntimeState& s = state();
    while (!s.finalizers.empty()) {
        std::function<void()> finalizer = std::move(s.finalizers.back());
        s.finalizers.pop_back();
        runUnderExceptionPolicy(finalizer);
    }
    s.app.reset();
    backend::releaseGuiInstance();
}

int RuntimeExit() {
    return state().exitStatus;
}

bool RuntimeIsEnding() {
    return state().ending;
}

void requireUIThread(const char* operation) {
    if (!isMainThread()) {
        throw ThreadAccessingUIException(std::string(operation) +
                                         " may only be called on the main thread");
    }
}

int64_t Ticks() {
    return Microseconds() * 60 / 1000000;
}

int64_t Microseconds() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                                 gStartTime)
        .count();
}

// Here rather than beside the other text functions, so that those need no backend.
std::string EndOfLine() {
    return backend::kEndOfLine;
}

} // namespace host
