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
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

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
    // Open once the loop runs, so whatever Open does happens with the application started.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [] {
            runUnderExceptionPolicy([] {
                if (Application* app = getAppObject()) {
                    app->Open();
                }
            });
        },
        Qt::QueuedConnection);
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
