#pragma once

// The little the socket core needs from the platform's event loop: watch a socket for
// readiness, post a callback to the main thread, and wait for the program's events with a
// bound. Each backend implements it over its own loop. Private to src/host (and to test
// support, which drives the loop the same way on every platform).

#include <cstdint>
#include <functional>
#include <memory>

namespace host::loop {

// A socket of the OS: a descriptor on POSIX, a SOCKET on Windows.
using Handle = std::intptr_t;

// True when the process has an event loop to deliver through. Without one, sockets make
// progress only through Poll.
bool available();

// Reports readiness of one socket on the main thread, from the event loop, while wanted.
// Destroying the watch stops the reports, also from inside its own callback.
class Watch {
public:
    virtual ~Watch() = default;
    virtual void want(bool readable, bool writable) = 0;
};

// osError is the error the platform reported with the event (0 where it reports none
// that way; the socket's own error state then tells).
using ReadyFn = std::function<void(bool readable, bool writable, int osError)>;
std::unique_ptr<Watch> watchSocket(Handle socket, ReadyFn onReady);

// Runs fn on the main thread from the event loop, after what is already queued. Any thread
// may post; a post while no loop exists is dropped.
void post(std::function<void()> fn);

// Calls fn on the main thread from the event loop after intervalMs, once or repeatedly,
// until the timer is destroyed, also from inside its own callback.
class Timer {
public:
    virtual ~Timer() = default;
};
std::unique_ptr<Timer> startTimer(int64_t intervalMs, bool repeat, std::function<void()> fn);

// Makes sure the process has an event loop to deliver through (a core one where no GUI
// instance exists yet); for tests that drive sockets without a program around them.
void ensureAvailable();

// Handles the program's pending events; when there are none, waits up to maxWaitMs for
// the next one (a timer, input, a socket, a post) and handles what arrived.
void processEventsWaiting(int64_t maxWaitMs);

// For a wait that holds the main thread: lets the windows answer the desktop's "are you
// alive?" checks and repaint, and runs nothing of the program. Input, closes, posted calls
// and timers stay queued for the loop after the wait. Does nothing without windows.
void keepWindowsAlive();
// True while keepWindowsAlive runs: a platform request that would run program code then
// posts itself instead, and the post waits until the wait is over.
bool keepingWindowsAlive();

} // namespace host::loop
