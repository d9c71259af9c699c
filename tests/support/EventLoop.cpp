#include "support/EventLoop.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

namespace testsupport {

using Clock = std::chrono::steady_clock;

void ensureApplication() {
    if (QCoreApplication::instance() == nullptr) {
        static int argc = 1;
        static char name[] = "tamsel_test";
        static char* argv[] = {name, nullptr};
        new QCoreApplication(argc, argv);
    }
}

bool runLoopUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    // A ticking timer makes WaitForMoreEvents return often enough to see the deadline.
    QTimer tick;
    tick.start(5);
    while (!pred() && Clock::now() < deadline) {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return pred();
}

void runLoopFor(std::chrono::milliseconds duration) {
    const auto deadline = Clock::now() + duration;
    runLoopUntil([&] { return Clock::now() >= deadline; }, duration + std::chrono::seconds(1));
}

} // namespace testsupport
