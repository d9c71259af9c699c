// The host runtime's rules that are the same on every platform: the application object,
// the exception policy and its report text, finalisers, exit status and the clock. The
// event loop, the GUI instance and the message box come from the backend.

#include "host/Application.h"
#include "host/Backend.h"
#include "host/Strings.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <typeinfo>
#include <utility>

#if defined(__GNUG__)
#include <cstdlib>
#include <cxxabi.h>
#endif

namespace host {
namespace {

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
    backend::RuntimeState& s = backend::state();
    s.ending = true;
    s.exitStatus = status;
    if (s.loopRunning) {
        backend::quitEventLoops(status);
    }
}

} // namespace

namespace backend {

RuntimeState& state() {
    static auto* s = new RuntimeState;
    return *s;
}

void useDefaultArguments(RuntimeState& s) {
    s.argStorage = {"tamselRadio"};
    s.argPointers = {s.argStorage[0].data(), nullptr};
    s.argc = 1;
    s.argv = s.argPointers.data();
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
    return backend::state().app.get();
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
    backend::RuntimeState& s = backend::state();
    if (argc < 1 || argv == nullptr) {
        backend::useDefaultArguments(s);
        return;
    }
    s.argc = argc;
    s.argv = argv;
}

void RuntimeInit(void* instance, void* previousInstance, const wchar_t* commandLine, int show) {
    backend::RuntimeState& s = backend::state();
    s.instance = instance;
    s.previousInstance = previousInstance;
    // The platform reads the real command line itself; the tail is kept as given.
    s.windowsCommandLine = commandLine != nullptr ? commandLine : L"";
    s.showCommand = show;
    backend::useDefaultArguments(s);
}

bool ApplicationSupportsHiDPI() {
    return backend::state().hiDpi;
}

void RuntimeRegisterAppObject(std::unique_ptr<Application> app) {
    backend::state().app = std::move(app);
}

void RunFrameworkInitialization(const std::function<void()>& lateStartup) {
    ensureRuntime();
    if (lateStartup) {
        lateStartup();
    }
}

void RuntimeUnhandledException(std::exception_ptr error) {
    backend::RuntimeState& s = backend::state();
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
    backend::state().finalizers.push_back(std::move(finalizer));
}

void RuntimePerformFinalizers() {
    backend::RuntimeState& s = backend::state();
    while (!s.finalizers.empty()) {
        std::function<void()> finalizer = std::move(s.finalizers.back());
        s.finalizers.pop_back();
        runUnderExceptionPolicy(finalizer);
    }
    s.app.reset();
    backend::releaseGuiInstance();
}

int RuntimeExit() {
    return backend::state().exitStatus;
}

bool RuntimeIsEnding() {
    return backend::state().ending;
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
