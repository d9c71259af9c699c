#include "app/App.h"
#include "app/Startup.h"
#include "host/Application.h"
#include "host/Window.h"
#include "ui/Window1.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>

namespace {

// Answers every message box that comes up, after writing its text to stderr for the test
// to read.
void answerMessageBoxes() {
    auto* poll = new QTimer(QCoreApplication::instance());
    poll->setInterval(10);
    QObject::connect(poll, &QTimer::timeout, [] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            std::fprintf(stderr, "box: %s\n", box->text().toStdString().c_str());
            box->button(QMessageBox::Ok)->click();
        }
    });
    poll->start();
}

void reportFinalisation() {
    host::RuntimeAddFinalizer([] {
        std::fprintf(stderr, "finalised with %lld windows\n",
                     static_cast<long long>(host::WindowCount()));
    });
}

TEST(Version, GettersHoldTheStartUpDataAndTheStringHasThreeParts) {
    tamsel::_NewAppInstance();
    tamsel::App* app = ::App();
    ASSERT_NE(app, nullptr);
    EXPECT_EQ(app->MajorVersion(), 1);
    EXPECT_EQ(app->MinorVersion(), 1);
    EXPECT_EQ(app->BugVersion(), 8);
    EXPECT_EQ(app->NonReleaseVersion(), 0);
    EXPECT_EQ(app->StageCode(), 3);
    EXPECT_EQ(app->LongVersion(), "");
    EXPECT_EQ(app->ShortVersion(), "");
    EXPECT_EQ(app->PackageInfo(), "");
    EXPECT_EQ(tamsel::VersionString(), "1.1.8");

    // Built afresh at each use: new data shows at once, and no stage or build part joins.
    app->_x_SetVersionData(12, 0, 1234567, 9, 1, "a", "b", "c");
    EXPECT_EQ(tamsel::VersionString(), "12.0.1234567");
    app->_x_SetVersionData(-1, 1, 8, 0, 3, {}, {}, {});
    EXPECT_EQ(tamsel::VersionString(), "-1.1.8");
}

TEST(Version, AccessorRefusesAMissingOrForeignApplicationObject) {
    host::RuntimeRegisterAppObject(nullptr);
    EXPECT_EQ(::App(), nullptr);
    EXPECT_THROW(tamsel::VersionString(), host::NilObjectException);

    host::RuntimeRegisterAppObject(std::make_unique<host::Application>());
    EXPECT_THROW(::App(), host::IllegalCastException);
    EXPECT_THROW(tamsel::VersionString(), host::IllegalCastException);
    tamsel::_NewAppInstance();
    EXPECT_EQ(tamsel::VersionString(), "1.1.8");
}

// A whole process: start-up with the real steps, the window, the event loop ended by
// closing the window, finalisation, exit status 0. The arguments reach the platform as
// they were given.
struct OfflineApp : tamsel::App {
    OfflineApp() { _x_SetVersionData(1, 1, 8, 0, 3, "", "", ""); }
    void Open() override { std::fputs("open raised\n", stderr); }
};

[[noreturn]] void runUntilTheWindowCloses() {
    static char program[] = "tamselRadio";
    static char option[] = "--not-an-option";
    static char spaced[] = "two words";
    static char* argv[] = {program, option, spaced, nullptr};
    host::RuntimeInit(3, argv);
    reportFinalisation();
    tamsel::StartupSteps steps{
        [] {
            tamsel::_EarlyStartup();
            // The real Open asks the product server, which a test must not reach: the same
            // application object, with an Open that only says it was raised.
            host::RuntimeRegisterAppObject(std::make_unique<OfflineApp>());
        },
        [] {
            tamsel::_LateStartup();
            std::fprintf(stderr, "arguments: %s\n",
                         QCoreApplication::arguments().join("|").toStdString().c_str());
            std::fprintf(stderr, "windows after late start-up: %lld\n",
                         static_cast<long long>(host::WindowCount()));
            // Closing the only window ends the loop by the platform's
            // last-window rule; the program has no quit of its own.
            QTimer::singleShot(100, [] { ::Window1()->Close(); });
        }};
    std::exit(tamsel::runProcess(steps));
}

TEST(StartupDeathTest, ClosingTheWindowEndsTheProcessWithStatusZero) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(runUntilTheWindowCloses(), ::testing::ExitedWithCode(0),
                "arguments: tamselRadio\\|--not-an-option\\|two words\n"
                "windows after late start-up: 1\nopen raised\n.*finalised with 0 windows");
}

// A failure in early start-up: reported, no window, no late start-up, finalisers still
// run, and the status is what RuntimeExit gives.
[[noreturn]] void failInEarlyStartup() {
    static char program[] = "tamselRadio";
    static char* argv[] = {program, nullptr};
    host::RuntimeInit(1, argv);
    reportFinalisation();
    tamsel::StartupSteps steps{[] {
                                   tamsel::_EarlyStartup();
                                   host::ensureRuntime();
                                   answerMessageBoxes();
                                   throw host::IOException("the disk is gone");
                               },
                               [] {
                                   std::fputs("late start-up ran\n", stderr);
                                   std::_Exit(3);
                               }};
    const int status = tamsel::runProcess(steps);
    std::fprintf(stderr, "RuntimeExit gave %d\n", host::RuntimeExit());
    std::exit(status);
}

TEST(StartupDeathTest, EarlyStartupFailureIsReportedAndStillFinalises) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(failInEarlyStartup(), ::testing::ExitedWithCode(1),
                "IOException: the disk is gone\n.*box: IOException: the disk is gone\n.*"
                "finalised with 0 windows\nRuntimeExit gave 1\n");
}

// Started where there is no display: the report's one line, no box, the finalisers, and the
// status RuntimeExit gives, as for any other start-up failure.
[[noreturn]] void startWithoutADisplay() {
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    static char program[] = "tamselRadio";
    static char* argv[] = {program, nullptr};
    host::RuntimeInit(1, argv);
    reportFinalisation();
    const int status = tamsel::runProcess();
    std::fprintf(stderr, "RuntimeExit gave %d\n", host::RuntimeExit());
    std::exit(status);
}

TEST(StartupDeathTest, NoDisplayIsReportedInOneLineAndEndsInOrder) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(startWithoutADisplay(), ::testing::ExitedWithCode(1),
                "^RuntimeException: no usable display \\(xcb\\)[^\n]*\n"
                "finalised with 0 windows\nRuntimeExit gave 1\n$");
}

} // namespace
