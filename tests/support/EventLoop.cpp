#include "support/EventLoop.h"

#include "host/EventLoop.h"

namespace testsupport {

using Clock = std::chrono::steady_clock;

void ensureApplication() {
    host::loop::ensureAvailable();
}

bool runLoopUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!pred() && Clock::now() < deadline) {
        // Short waits, so the deadline is seen soon after it passes.
        host::loop::processEventsWaiting(5);
    }
    return pred();
}

void runLoopFor(std::chrono::milliseconds duration) {
    const auto deadline = Clock::now() + duration;
    runLoopUntil([&] { return Clock::now() >= deadline; }, duration + std::chrono::seconds(1));
}

void postToLoop(std::function<void()> fn) {
    host::loop::post(std::move(fn));
}

Timer::Timer(std::chrono::milliseconds interval, bool repeat, std::function<void()> fn)
    : timer_(host::loop::startTimer(interval.count(), repeat, std::move(fn))) {}

Timer::~Timer() = default;

} // namespace testsupport
