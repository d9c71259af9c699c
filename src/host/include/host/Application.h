#pragma once

// The application object base and the process operations of the host runtime.

#include "host/Exceptions.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>

namespace host {

class Application {
public:
    Application();
    virtual ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // Events. The host raises Open once the event loop has started.
    virtual void Open() {}
    virtual void Close() {}
    virtual void Activate() {}
    virtual void Deactivate() {}
    // Return true when the exception was handled; the default leaves it to the host report.
    virtual bool UnhandledException(const RuntimeException& error);

    // Handles pending events of the whole program once (milliseconds < 0: no waiting).
    // Static: it needs no registered application object.
    static void DoEvents(int64_t milliseconds = -1);
    // Lets other cooperative threads run; with none, it returns at once.
    void YieldToNextThread();
    void SleepCurrentThread(int64_t milliseconds);

    // Runs fn under the exception policy: EndException and ThreadEndException are dropped,
    // any other RuntimeException goes to UnhandledException and then to the host report,
    // and anything else escaping is rethrown to the host.
    void _CallFunctionWithExceptionHandling(const std::function<void()>& fn);

    void _x_SetVersionData(int64_t major, int64_t minor, int64_t bug, int64_t nonRelease,
                           int64_t stageCode, std::string longVersion, std::string shortVersion,
                           std::string packageInfo);

    int64_t MajorVersion() const { return majorVersion_; }
    int64_t MinorVersion() const { return minorVersion_; }
    int64_t BugVersion() const { return bugVersion_; }
    int64_t NonReleaseVersion() const { return nonReleaseVersion_; }
    int64_t StageCode() const { return stageCode_; }
    int64_t RegionCode() const { return regionCode_; }
    const std::string& LongVersion() const { return longVersion_; }
    const std::string& ShortVersion() const { return shortVersion_; }
    const std::string& PackageInfo() const { return packageInfo_; }

private:
    int64_t majorVersion_ = 0;
    int64_t minorVersion_ = 0;
    int64_t bugVersion_ = 0;
    int64_t nonReleaseVersion_ = 0;
    int64_t stageCode_ = 0;
    int64_t regionCode_ = 0;
    std::string longVersion_;
    std::string shortVersion_;
    std::string packageInfo_;
};

// The registered application object, or nullptr.
Application* getAppObject();

// Runs a host-called routine under the registered application's exception policy (or the
// host report directly when no application is registered). Every notification the host
// delivers from its event loop goes through here.
void runUnderExceptionPolicy(const std::function<void()>& fn);

// Process operations, called by start-up in this order.
void RuntimeInit(int argc, char** argv);
void RuntimeInit(void* instance, void* previousInstance, const wchar_t* commandLine, int show);
// Must come before the first window (and before the platform's GUI instance exists, which
// is made lazily on first need); later calls change nothing.
void ApplicationSetSupportsHiDPI(bool enabled);
bool ApplicationSupportsHiDPI();
void RuntimeRegisterAppObject(std::unique_ptr<Application> app);
void RunFrameworkInitialization(const std::function<void()>& lateStartup);
// Runs the event loop; returns when the application ends.
void RuntimeRun();
// The host report: one line on stderr with the class name and message, a modal message
// box saying the same, then the application ends with exit status 1.
void RuntimeUnhandledException(std::exception_ptr error);
// Runs the registered finalisers (last registered first), closes and releases every
// window, then releases the application object.
void RuntimePerformFinalizers();
void RuntimeAddFinalizer(std::function<void()> finalizer);
// The process exit status: 1 after the host report, otherwise what the event loop returned.
int RuntimeExit();
// True once the application has been told to end (the report ran, or the event loop ended).
bool RuntimeIsEnding();

// Creates the platform's GUI instance on first need, from the arguments RuntimeInit kept;
// an instance that already exists (a test's own) is used as it is.
void ensureRuntime();
// True on the thread that runs the event loop.
bool isMainThread();
// Raises ThreadAccessingUIException naming the operation when called off the main thread.
void requireUIThread(const char* operation);

// Seconds since start-up in sixtieths.
int64_t Ticks();
// Microseconds since start-up, for finer timing.
int64_t Microseconds();

} // namespace host
