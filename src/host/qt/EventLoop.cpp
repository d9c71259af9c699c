// The socket core's event-loop seam over Qt: socket notifiers, queued calls and a timer.

#include "host/EventLoop.h"

#include "host/Application.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QEventLoop>
#include <QGuiApplication>
#include <QMetaObject>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>
#include <QWindow>
#include <vector>

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

// Set while keepWindowsAlive runs: what would run program code is held for after the wait.
bool gKeepingAlive = false;

std::vector<std::function<void()>>& heldCalls() {
    static auto* held = new std::vector<std::function<void()>>;
    return *held;
}

void runOrHold(const std::function<void()>& fn) {
    if (gKeepingAlive) {
        heldCalls().push_back(fn);
    } else {
        fn();
    }
}

// Holds the desktop's closes back while the windows are kept alive; the close is delivered
// again once the wait is over, as if it had come then.
class HoldCloses final : public QObject {
public:
    std::vector<QPointer<QWindow>> closed;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Close && watched->isWindowType()) {
            closed.emplace_back(static_cast<QWindow*>(watched));
            return true;
        }
        return false;
    }
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
        QMetaObject::invokeMethod(
            app, [fn = std::move(fn)] { runOrHold(fn); }, Qt::QueuedConnection);
    }
}

namespace {

class QtTimer final : public Timer {
public:
    QtTimer(int64_t intervalMs, bool repeat, std::function<void()> fn) {
        timer_.setSingleShot(!repeat);
        // A tick held for after a wait is dropped if the timer has gone meanwhile.
        QObject::connect(&timer_, &QTimer::timeout,
                         [fn = std::move(fn), alive = QPointer<QTimer>(&timer_)] {
                             runOrHold([fn, alive] {
                                 if (!alive.isNull()) {
                                     fn();
                                 }
                             });
                         });
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

bool keepingWindowsAlive() {
    return gKeepingAlive;
}

void keepWindowsAlive() {
    if (gKeepingAlive || qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr ||
        !isMainThread() || QGuiApplication::topLevelWindows().isEmpty()) {
        return;
    }
    gKeepingAlive = true;
    HoldCloses holdCloses;
    QCoreApplication::instance()->installEventFilter(&holdCloses);
    // The platform's own events (the window manager's ping, exposures, repaints) are handled;
    // input waits in the platform's queue, and socket notifiers and timers are not looked at.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents |
                                    QEventLoop::ExcludeSocketNotifiers |
                                    QEventLoop::X11ExcludeTimers);
    QCoreApplication::instance()->removeEventFilter(&holdCloses);
    gKeepingAlive = false;
    // Back into the queue, in their order, for the first pass of the loop after the wait.
    for (const QPointer<QWindow>& window : holdCloses.closed) {
        if (!window.isNull()) {
            QCoreApplication::postEvent(window.data(), new QCloseEvent);
        }
    }
    std::vector<std::function<void()>> held = std::move(heldCalls());
    heldCalls().clear();
    for (std::function<void()>& fn : held) {
        post(std::move(fn));
    }
}

} // namespace host::loop
