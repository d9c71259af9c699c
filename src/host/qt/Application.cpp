// The Qt backend of the runtime: the GUI instance, the event loop and the report's box.

#include "host/Application.h"

#include "host/Backend.h"

#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QEventLoop>
#include <QIcon>
#include <QMessageBox>
#include <QMetaObject>
#include <QThread>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <set>
#include <thread>
#include <utility>

namespace host {
namespace {

// Captured during static initialisation, which runs on the thread that entered main: the
// only way to know the main thread before the GUI instance exists.
const std::thread::id gMainThreadId = std::this_thread::get_id();

std::unique_ptr<QApplication>& ownedGuiInstance() {
    static auto* instance = new std::unique_ptr<QApplication>;
    return *instance;
}

// Every image of the program's icon the executable carries (see src/host/CMakeLists.txt).
QIcon programIcon() {
    QIcon icon;
    QDirIterator images(QStringLiteral(":/program-icon"), {QStringLiteral("*.png")}, QDir::Files,
                        QDirIterator::Subdirectories);
    while (images.hasNext()) {
        icon.addFile(images.next());
    }
    return icon;
}

// Longest the start-up waits for its windows' first paint before it raises Open anyway: a
// window the platform never exposes (started minimised, on a hidden desktop) must not
// hold the application back for good.
constexpr int kFirstPaintWaitMs = 3000;

// Calls `ready` once every top-level window shown now has been painted for the first time
// (or kFirstPaintWaitMs has passed). Open goes through it, so the update check's blocking
// wait starts with the window already on screen instead of holding up its first paint.
class FirstPaintGate : public QObject {
public:
    explicit FirstPaintGate(std::function<void()> ready) : ready_(std::move(ready)) {
        for (QWidget* window : QApplication::topLevelWidgets()) {
            if (window->isVisible()) {
                pending_.insert(window);
            }
        }
        QCoreApplication::instance()->installEventFilter(this);
        QTimer::singleShot(kFirstPaintWaitMs, this, [this] { open(); });
        if (pending_.empty()) {
            open();
        }
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            pending_.erase(watched);
            if (pending_.empty()) {
                open();
            }
        } else if (event->type() == QEvent::Hide || event->type() == QEvent::Destroy) {
            // A window closed before it was ever painted holds nothing up.
            pending_.erase(watched);
            if (pending_.empty()) {
                open();
            }
        }
        return false;
    }

private:
    void open() {
        if (!ready_) {
            return;
        }
        QCoreApplication::instance()->removeEventFilter(this);
        // Queued: the rest of the paint (the child controls, the flush to the screen) is done
        // before Open runs.
        QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(ready_),
                                  Qt::QueuedConnection);
        ready_ = nullptr;
        deleteLater();
    }

    std::function<void()> ready_;
    std::set<QObject*> pending_;
};

} // namespace

namespace backend {

void quitEventLoops(int status) {
    QCoreApplication::exit(status);
}

void showReport(const std::string& line) {
    ensureRuntime();
    QMessageBox box(QMessageBox::Critical, QCoreApplication::applicationName(),
                    QString::fromStdString(line), QMessageBox::Ok);
    box.exec();
}

void releaseGuiInstance() {
    ownedGuiInstance().reset();
}

std::FILE* openFile(const std::string& utf8Path, const char* mode) {
    return std::fopen(utf8Path.c_str(), mode);
}

const char* const kEndOfLine = "\n";

} // namespace backend

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

void ApplicationSetSupportsHiDPI(bool enabled) {
    if (QCoreApplication::instance() != nullptr) {
        return;
    }
    backend::state().hiDpi = enabled;
    if (enabled) {
        // Fractional screen scales are followed exactly instead of rounded to whole steps.
        QGuiApplication::setHighDpiScaleFactorRoundingPolicy(
            Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
    } else {
        qputenv("QT_ENABLE_HIGHDPI_SCALING", "0");
    }
}

void RuntimeRun() {
    ensureRuntime();
    backend::RuntimeState& s = backend::state();
    if (s.ending) {
        return;
    }
    // Open once the loop runs and the windows are on screen, so whatever Open does happens
    // with the application started and its window painted.
    new FirstPaintGate([] {
        runUnderExceptionPolicy([] {
            if (Application* app = getAppObject()) {
                app->Open();
            }
        });
    });
    s.loopRunning = true;
    const int status = QCoreApplication::exec();
    s.loopRunning = false;
    s.ending = true;
    if (!s.reported) {
        s.exitStatus = status;
    }
}

void ensureRuntime() {
    if (QCoreApplication::instance() != nullptr) {
        return;
    }
    backend::RuntimeState& s = backend::state();
    if (s.argv == nullptr) {
        backend::useDefaultArguments(s);
    }
    ownedGuiInstance() = std::make_unique<QApplication>(s.argc, s.argv);
    // Closing the last window ends the application (the platform's own rule); from then on
    // the program may know it, also while a handler still runs.
    QObject::connect(qApp, &QGuiApplication::lastWindowClosed, qApp, [] {
        if (QGuiApplication::quitOnLastWindowClosed()) {
            backend::state().ending = true;
        }
    });
    // Windows and message boxes made from now on carry it unless given another.
    QApplication::setWindowIcon(programIcon());
}

bool isMainThread() {
    if (QCoreApplication* instance = QCoreApplication::instance()) {
        return QThread::currentThread() == instance->thread();
    }
    return std::this_thread::get_id() == gMainThreadId;
}

} // namespace host
