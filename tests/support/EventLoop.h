#pragma once

// The Qt event loop as the tests drive it: one application object for the whole process,
// and loops that run until a condition holds or a bound passes.

#include <chrono>
#include <functional>

namespace testsupport {

// Creates the process's QCoreApplication unless one exists; it lives until the process ends,
// since socket notifiers and timers need it in every test.
void ensureApplication();

// Runs the event loop until pred holds or the timeout passes; returns pred().
bool runLoopUntil(const std::function<bool()>& pred,
                  std::chrono::milliseconds timeout = std::chrono::seconds(5));

// Runs the event loop for a while; for tests that show that nothing happens meanwhile.
void runLoopFor(std::chrono::milliseconds duration);

} // namespace testsupport
