#pragma once

// The host's event loop as the tests drive it, the same on every backend: one loop for the
// whole process, loops that run until a condition holds or a bound passes, and timers.

#include <chrono>
#include <functional>
#include <memory>

namespace host::loop {
class Timer;
}

namespace testsupport {

// Makes sure the process has an event loop; it lives until the process ends, since socket
// notifications and timers need it in every test.
void ensureApplication();

// Runs the event loop until pred holds or the timeout passes; returns pred().
bool runLoopUntil(const std::function<bool()>& pred,
                  std::chrono::milliseconds timeout = std::chrono::seconds(5));

// Runs the event loop for a while; for tests that show that nothing happens meanwhile.
void runLoopFor(std::chrono::milliseconds duration);

// Runs fn on the main thread from the event loop, after what is already queued.
void postToLoop(std::function<void()> fn);

// A timer of the program's event loop, stopped when destroyed.
class Timer {
public:
    Timer(std::chrono::milliseconds interval, bool repeat, std::function<void()> fn);
    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

private:
    std::unique_ptr<host::loop::Timer> timer_;
};

} // namespace testsupport
