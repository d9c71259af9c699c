#pragma once

// The life of the process after the host runtime has its arguments: start-up in its fixed
// order, the event loop, finalisation and the exit status.

#include <functional>

namespace tamsel {

// The two replaceable parts of start-up. The program always runs the fixed ones; tests
// put their own in to see how a failure at that point travels.
struct StartupSteps {
    std::function<void()> earlyStartup;
    std::function<void()> lateStartup;
};

// Start-up and run: early start-up, framework initialisation with the late start-up, the
// event loop. The first exception skips the remaining steps and goes to the host report;
// only a failure of the report itself leaves.
void _Main();
void _Main(const StartupSteps& steps);

// High-DPI support, the file types (none), the application object with its version data.
void _EarlyStartup();
void _NewAppInstance();
void _InitFileTypes();
// Called back by the host's framework initialisation: makes the default window.
void _LateStartup();
void _MakeDefaultView();

// _Main, then the finalisers; returns the exit status the host gives. Both entry points
// end here once the host has their arguments.
int runProcess();
int runProcess(const StartupSteps& steps);

} // namespace tamsel
