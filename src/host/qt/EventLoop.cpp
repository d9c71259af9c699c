// The socket core's event-loop seam over Qt: socket notifiers, queued calls and a timer.

#include "host/EventLoop.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <QSocketNotifier>
#include <QTimer>

namespace host::loop {

namespace {

// Depth of notifier callbacks currently running. A notifier whose callback may be on the
// stack is deleted later instead of at once.
int gDispatchDepth = 0;

struct DispatchScope {
    DispatchScope() { ++gDispatchDepth; }
    ~DispatchScope() { --gDispatchDepth; }
    DispatchScope(const DispatchScope&) = delete;
    DispatchScope& operator=(const DispatchScope&) = delete;
};

class QtWatch final : public Watch {
public:
    QtWatch(Handle socket, ReadyFn onReady) : socket_(socket), onReady_(std::move(onReady)) {}
    ~QtWatch() override {
        dispose(read_);
        dispose(write_);
    }
    QtWatch(const QtWatch&) = delete;
    QtWatch& operator=(const QtWatch&) = delete;

    void want(bool readable, bool writable) override {
        enable(read_, QSocketNotifier::Read, readable);
        enable(write_, QSocketNotifier::Write, writable);
    }

private:
    void enable(QSocketNotifier*& notifier, QSocketNotifier::Type type, bool on) {
        if (notifier == nullptr) {
            if (!on) {
                return;
            }
            notifier = new QSocketNotifier(static_cast<qintptr>(socket_), type);
            QObject::connect(notifier, &QSocketNotifier::activated, notifier,
                             [this, type](QSocketDescriptor, QSocketNotifier::Type) {
                                 DispatchScope scope;
                                 // The callback may destroy this watch: a copy runs.
                                 const ReadyFn fn = onReady_;
                                 fn(type == QSocketNotifier::Read, type == QSocketNotifier::Write,
                                    0);
                             });
        }
        notifier->setEnabled(on);
    }

    static void dispose(QSocketNotifier*& notifier) {
        if (notifier == nullptr) {
            return;
        }
        notifier->setEnabled(false);
        QObject::disconnect(notifier, nullptr, nullptr, nullptr);
        if (gDispatchDepth > 0) {
            notifier->deleteLater();
        } else {
            delete notifier;
        }
        notifier = nullptr;
    }

    Handle socket_;
    ReadyFn onReady_;
    QSocketNotifier* read_ = nullptr;
    QSocketNotifier* write_ = nullptr;
};

} // namespace

bool available() {
    return QCoreApplication::instance() != nullptr;
}

std::unique_ptr<Watch> watchSocket(Handle socket, ReadyFn onReady) {
    return std::make_unique<QtWatch>(socket, std::move(onReady));
}

void post(std::function<void()> fn) {
    if (QCoreApplication* app = QCoreApplication::instance()) {
        QMetaObject::invokeMethod(app, std::move(fn), Qt::QueuedConnection);
    }
}

namespace {

class QtTimer final : public Timer {
public:
    QtTimer(int64_t intervalMs, bool repeat, std::function<void()> fn) {
        timer_.setSingleShot(!repeat);
        QObject::connect(&timer_, &QTimer::timeout, std::move(fn));
        timer_.start(static_cast<int>(std::min<int64_t>(intervalMs, 1 << 30)));
    }

private:
    QTimer timer_;
};

} // namespace

std::unique_ptr<Timer> startTimer(int64_t intervalMs, bool repeat, std::function<void()> fn) {
    return std::make_unique<QtTimer>(intervalMs, repeat, std::move(fn));
}

void ensureAvailable() {
    if (QCoreApplication::instance() == nullptr) {
        // Lives until the process ends: notifiers and timers need it in every test.
        static int argc = 1;
        static char name[] = "tamsel";
        static char* argv[] = {name, nullptr};
        new QCoreApplication(argc, argv);
    }
}

void processEventsWaiting(int64_t maxWaitMs) {
    // The timer only wakes the wait; its own event is one of those handled.
    QTimer wake;
    wake.setSingleShot(true);
    wake.start(static_cast<int>(std::min<int64_t>(maxWaitMs, 1 << 30)));
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

} // namespace host::loop
