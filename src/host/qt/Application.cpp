// The Qt backend of the runtime: the GUI instance, the event loop and the report's box.

#include "host/Application.h"

#include "host/Backend.h"

#include <QApplication>
#include <QByteArrayList>
#include <QDir>
#include <QDirIterator>
#include <QEventLoop>
#include <QIcon>
#include <QMessageBox>
#include <QMetaObject>
#include <QThread>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

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

// Qt ends the process (an abort) when none of the platforms it is given starts. One that
// always starts goes last in the list, so that a failure of the real ones shows as this one
// and can be reported like any other start-up failure.
constexpr char kFallbackPlatform[] = "offscreen";

// Set once the platform could not start; every later attempt fails the same way at once.
std::string& noDisplayReason() {
    static auto* reason = new std::string;
    return *reason;
}

// The platforms Qt tries when nothing names one. In a Wayland session that also offers an X
// display (XWayland), X goes first: there the compositor's window manager draws the frame
// and keeps the fixed size and the missing maximize button, where on Wayland without
// server-side decorations Qt draws a title bar of its own that always offers maximize and
// applies the fixed size to the whole frame. Wayland alone is used without an X display.
QByteArray defaultPlatforms() {
    const bool wayland =
        qEnvironmentVariableIsSet("WAYLAND_DISPLAY") || qgetenv("XDG_SESSION_TYPE") == "wayland";
    const bool x = !qEnvironmentVariableIsEmpty("DISPLAY");
    QByteArrayList names;
    if (wayland && !x) {
        names << "wayland";
    }
    names << "xcb";
    if (wayland && x) {
        names << "wayland";
    }
    return names.join(';');
}

// What Qt says while its GUI instance starts, held back: on success it is passed on as it
// would have been, on failure its first line goes into the one-line report instead.
struct HeldMessage {
    QtMsgType type;
    QByteArray category;
    QString text;
};
std::vector<HeldMessage>& heldMessages() {
    static auto* held = new std::vector<HeldMessage>;
    return *held;
}
void holdMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    heldMessages().push_back({type, QByteArray(context.category), text});
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
    // Without a display the report's line on standard error is all there is.
    if (!noDisplayReason().empty()) {
        return;
    }
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

bool guiInstanceExists() {
    return QCoreApplication::instance() != nullptr;
}

void applyHiDpi(bool enabled) {
    if (enabled) {
        // Fractional screen scales are followed exactly instead of rounded to whole steps.
        QGuiApplication::setHighDpiScaleFactorRoundingPolicy(
            Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
    } else {
        qputenv("QT_ENABLE_HIGHDPI_SCALING", "0");
    }
}

void watchFirstPaint() {
    new FirstPaintGate(shownWindowsPainted);
}

int runEventLoop() {
    return QCoreApplication::exec();
}

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

void ensureRuntime() {
    if (QCoreApplication::instance() != nullptr) {
        return;
    }
    if (!noDisplayReason().empty()) {
        throw RuntimeException(noDisplayReason());
    }
    // Qt takes an empty setting for none.
    const bool wasSet = qEnvironmentVariableIsSet("QT_QPA_PLATFORM");
    const QByteArray askedPlatforms = qgetenv("QT_QPA_PLATFORM");
    const QByteArray platforms = askedPlatforms.isEmpty() ? defaultPlatforms() : askedPlatforms;
    const bool guarded = !platforms.split(';').contains(kFallbackPlatform);
    if (guarded) {
        qputenv("QT_QPA_PLATFORM", platforms + ';' + kFallbackPlatform);
    }
    heldMessages().clear();
    const QtMessageHandler previous = qInstallMessageHandler(holdMessage);
    ownedGuiInstance() =
        std::make_unique<QApplication>(backend::argumentCount(), backend::argumentVector());
    qInstallMessageHandler(previous);
    // Programs the player starts (the browser) see the environment as it was.
    if (guarded && wasSet) {
        qputenv("QT_QPA_PLATFORM", askedPlatforms);
    } else if (guarded) {
        qunsetenv("QT_QPA_PLATFORM");
    }
    std::vector<HeldMessage> held = std::move(heldMessages());
    heldMessages().clear();
    if (guarded && QGuiApplication::platformName() == QLatin1String(kFallbackPlatform)) {
        ownedGuiInstance().reset();
        std::string reason = "no usable display (" + platforms.toStdString() + ")";
        // The platform plug-ins' own words, not other start-up chatter.
        const auto said = std::find_if(held.begin(), held.end(), [](const HeldMessage& m) {
            return m.category.startsWith("qt.qpa");
        });
        if (said != held.end()) {
            reason += ": " + said->text.trimmed().toStdString();
        }
        noDisplayReason() = reason;
        throw RuntimeException(reason);
    }
    for (const HeldMessage& message : held) {
        const QMessageLogContext context(nullptr, 0, nullptr, message.category.constData());
        qt_message_output(message.type, context, message.text);
    }
    // Qt reports its last window closing; a test that keeps its application past its
    // windows turns that off.
    QObject::connect(qApp, &QGuiApplication::lastWindowClosed, qApp, [] {
        if (QGuiApplication::quitOnLastWindowClosed()) {
            backend::lastWindowClosed();
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
