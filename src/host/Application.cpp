#include "host/Application.h"

#include <QApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QMetaObject>
#include <QThread>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <new>
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

// Captured during static initialisation, which runs on the thread that entered main: the
// only way to know the main thread before the GUI instance exists.
const std::thread::id gMainThreadId = std::this_thread::get_id();
const std::chrono::steady_clock::time_point gStartTime = std::chrono::steady_clock::now();

struct RuntimeState {
    // The arguments handed to RuntimeInit, kept for the lazily made GUI instance. The
    // platform's GUI instance keeps a reference to argc, so it lives here for good.
    int argc = 0;
    char** argv = nullptr;
    std::vector<std::string> argStorage;
    std::vector<char*> argPointers;
    std::wstring windowsCommandLine;

    bool hiDpi = true;
    std::unique_ptr<QApplication> ownedGuiInstance;
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

void useDefaultArguments(RuntimeState& s) {
    s.argStorage = {"tamselRadio"};
    s.argPointers = {s.argStorage[0].data(), nullptr};
    s.argc = 1;
    s.argv = s.argPointers.data();
}

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
        QCoreApplication::exit(status);
    }
}

void reportToUser(const std::string& line) {
    ensureRuntime();
    QMessageBox box(QMessageBox::Critical, QCoreApplication::applicationName(),
                    QString::fromStdString(line), QMessageBox::Ok);
    box.exec();
}

} // namespace

Application::Application() = default;
Application::~Application() = default;

bool Application::UnhandledException(const RuntimeException&) {
    return false;
}

void Application::DoEvents(int64_t milliseconds) {
    ensureRuntime();
    if (milliseconds < 0) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        return;
    }
    QEventLoop loop;
    QTimer::singleShot(std::chrono::milliseconds(milliseconds), &loop, &QEventLoop::quit);
    loop.exec();
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
    (void)instance;
    (void)previousInstance;
    (void)show;
    RuntimeState& s = state();
    // On Windows the platform reads the real command line itself; the tail is kept as given.
    s.windowsCommandLine = commandLine != nullptr ? commandLine : L"";
    useDefaultArguments(s);
}

void ApplicationSetSupportsHiDPI(bool enabled) {
    if (QCoreApplication::instance() != nullptr) {
        return;
    }
    state().hiDpi = enabled;
    if (enabled) {
        // Fractional screen scales are followed exactly instead of rounded to whole steps.
        QGuiApplication::setHighDpiScaleFactorRoundingPolicy(
            Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
    } else {
        qputenv("QT_ENABLE_HIGHDPI_SCALING", "0");
    }
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
    // Open once the loop runs, so whatever Open does happens with the application started.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [] {
            runUnderExceptionPolicy([] {
                if (Application* app = getAppObject()) {
                    app->Open();
                }
            });
        },
        Qt::QueuedConnection);
    s.loopRunning = true;
    const int status = QCoreApplication::exec();
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
            reportToUser(line);
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
    s.ownedGuiInstance.reset();
}

int RuntimeExit() {
    return state().exitStatus;
}

bool RuntimeIsEnding() {
    return state().ending;
}

void ensureRuntime() {
    if (QCoreApplication::instance() != nullptr) {
        return;
    }
    RuntimeState& s = state();
    if (s.argv == nullptr) {
        useDefaultArguments(s);
    }
    s.ownedGuiInstance = std::make_unique<QApplication>(s.argc, s.argv);
}

bool isMainThread() {
    if (QCoreApplication* instance = QCoreApplication::instance()) {
        return QThread::currentThread() == instance->thread();
    }
    return std::this_thread::get_id() == gMainThreadId;
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

} // namespace host
