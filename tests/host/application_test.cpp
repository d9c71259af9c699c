#include "host/Application.h"
#include "host/Dialogs.h"
#include "host/Window.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>
#include <new>
#include <thread>
#include <tuple>

namespace {

// Answers every message box with the given button, after writing its text to stderr.
void answerMessageBoxes(QMessageBox::StandardButton answer, QObject* owner) {
    auto* poll = new QTimer(owner);
    poll->setInterval(10);
    QObject::connect(poll, &QTimer::timeout, [answer] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            std::fprintf(stderr, "box: %s\n", box->text().toStdString().c_str());
            box->button(answer)->click();
        }
    });
    poll->start();
}

class ScriptedApp : public host::Application {
public:
    explicit ScriptedApp(std::function<void()> open) : open_(std::move(open)) {}
    void Open() override { open_(); }

private:
    std::function<void()> open_;
};

// A whole process whose Open runs the given routine; ends with RuntimeExit's status.
[[noreturn]] void runWithOpen(std::function<void()> open) {
    static char program[] = "tamselRadio";
    static char* argv[] = {program, nullptr};
    host::RuntimeInit(1, argv);
    host::ensureRuntime();
    answerMessageBoxes(QMessageBox::Ok, QCoreApplication::instance());
    host::RuntimeRegisterAppObject(std::make_unique<ScriptedApp>(std::move(open)));
    // Ends a loop that nothing else ends; a report ends it first.
    QTimer::singleShot(1500, [] {
        std::fputs("loop still running\n", stderr);
        QCoreApplication::exit(0);
    });
    host::RuntimeRun();
    host::RuntimePerformFinalizers();
    std::exit(host::RuntimeExit());
}

TEST(ExceptionPolicyDeathTest, RuntimeExceptionFromOpenIsReportedAndEndsWithStatusOne) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(runWithOpen([] { throw host::NilObjectException("no movie"); }),
                ::testing::ExitedWithCode(1),
                "NilObjectException: no movie\n.*box: NilObjectException: no movie\n");
}

TEST(ExceptionPolicyDeathTest, EndingExceptionsAreDroppedSilently) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(runWithOpen([] {
                    QTimer::singleShot(0, [] {
                        host::runUnderExceptionPolicy([] { throw host::ThreadEndException(); });
                    });
                    throw host::EndException("quietly");
                }),
                ::testing::ExitedWithCode(0), "loop still running\n");
}

TEST(ExceptionPolicyDeathTest, ForeignExceptionFromAButtonIsReportedTheSameWay) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(runWithOpen([] {
                    auto window = host::Window::create<host::Window>("Test.Window");
                    auto& button = static_cast<host::PushButton&>(window->registerControl(
                        "PushButton1", std::make_unique<host::PushButton>(*window)));
                    button.Action = [](host::PushButton&) { throw std::bad_alloc(); };
                    QTimer::singleShot(0, [window] {
                        host::controlAs<host::PushButton>(window.get(), "PushButton1").Push();
                    });
                }),
                ::testing::ExitedWithCode(1),
                "std::bad_alloc: std::bad_alloc\n.*box: std::bad_alloc: std::bad_alloc\n");
}

class HandlingApp : public host::Application {
public:
    bool UnhandledException(const host::RuntimeException& error) override {
        seen = error.ClassName();
        return true;
    }
    std::string seen;
};

TEST(ExceptionPolicy, AnApplicationThatHandlesTheExceptionKeepsRunning) {
    auto app = std::make_unique<HandlingApp>();
    HandlingApp* handling = app.get();
    host::RuntimeRegisterAppObject(std::move(app));
    host::runUnderExceptionPolicy([] { throw host::IOException("handled"); });
    EXPECT_EQ(handling->seen, "IOException");
    EXPECT_FALSE(host::RuntimeIsEnding());
    EXPECT_EQ(host::RuntimeExit(), 0);
    host::RuntimeRegisterAppObject(nullptr);
}

class Dialogs : public ::testing::Test {
protected:
    static void SetUpTestSuite() { host::ensureRuntime(); }
};

TEST_F(Dialogs, MessageBoxCodesFollowTheWindowsConvention) {
    QObject owner;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString title;
    QMessageBox::StandardButtons buttons;
    auto answerWith = [&](QMessageBox::StandardButton answer) {
        QTimer::singleShot(20, &owner, [&, answer] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            ASSERT_NE(box, nullptr);
            icon = box->icon();
            title = box->windowTitle();
            buttons = box->standardButtons();
            box->button(answer)->click();
        });
    };

    answerWith(QMessageBox::Yes);
    EXPECT_EQ(host::MsgBox("Update?", 36), 6);
    EXPECT_EQ(icon, QMessageBox::Question);
    EXPECT_EQ(buttons, QMessageBox::Yes | QMessageBox::No);
    EXPECT_EQ(title, QCoreApplication::applicationName());

    answerWith(QMessageBox::No);
    EXPECT_EQ(host::MsgBox("Update?", 36, std::string("Own title")), 7);
    EXPECT_EQ(title, "Own title");

    answerWith(QMessageBox::Ok);
    EXPECT_EQ(host::MsgBox("Plain"), 1);
    EXPECT_EQ(icon, QMessageBox::NoIcon);
    EXPECT_EQ(buttons, QMessageBox::Ok);

    answerWith(QMessageBox::Cancel);
    EXPECT_EQ(host::MsgBox("Careful", 1 + 48), 2);
    EXPECT_EQ(icon, QMessageBox::Warning);
    answerWith(QMessageBox::Retry);
    EXPECT_EQ(host::MsgBox("Again", 5 + 16), 4);
    EXPECT_EQ(icon, QMessageBox::Critical);
}

TEST_F(Dialogs, UserInterfaceOperationsRefuseOtherThreads) {
    auto window = host::Window::create<host::Window>("Test.ThreadWindow");
    auto& slider = static_cast<host::Slider&>(
        window->registerControl("Slider1", std::make_unique<host::Slider>(*window)));
    int refused = 0;
    std::thread other([&] {
        const std::vector<std::function<void()>> operations = {
            [] { host::MsgBox("from a thread"); },
            [] { host::ShowURL("http://127.0.0.1:9/"); },
            [] { (void)host::OpenURLMovie("http://127.0.0.1:9/"); },
            [&] { slider.setValue(3); },
            [&] { slider.setEnabled(false); },
            [&] { window->setTitle("x"); },
            [] { (void)host::RuntimeGetImplicitWindow("Test.ThreadWindow"); },
        };
        for (const auto& operation : operations) {
            try {
                operation();
            } catch (const host::ThreadAccessingUIException&) {
                ++refused;
            }
        }
    });
    other.join();
    EXPECT_EQ(refused, 7);
    EXPECT_EQ(slider.Value(), 0);
    EXPECT_TRUE(slider.Enabled());
    window->Close();
    QCoreApplication::processEvents();
}

TEST(Clock, TicksCountSixtiethsAndDoEventsRunsWhatIsPending) {
    host::ensureRuntime();
    const int64_t ticks = host::Ticks();
    const int64_t micros = host::Microseconds();
    host::Application::DoEvents(500);
    const int64_t elapsedMicros = host::Microseconds() - micros;
    const int64_t elapsedTicks = host::Ticks() - ticks;
    EXPECT_GE(elapsedMicros, 500000);
    EXPECT_NEAR(static_cast<double>(elapsedTicks), elapsedMicros * 60.0 / 1e6, 1.0);

    bool ran = false;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [&] { ran = true; }, Qt::QueuedConnection);
    host::Application::DoEvents(-1);
    EXPECT_TRUE(ran);
}

} // namespace

namespace {

// A locked right edge keeps its distance from the window's: the control stretches when its
// left edge is locked too, and moves otherwise; the bottom edge likewise.
TEST(Controls, LockedEdgesFollowTheWindowsSize) {
    host::ensureRuntime();
    auto window = host::Window::create<host::Window>("LockWindow");
    auto& stretched =
        window->registerControl("Stretched", std::make_unique<host::PushButton>(*window));
    auto& moved = window->registerControl("Moved", std::make_unique<host::PushButton>(*window));
    for (host::Control* control : {&stretched, &moved}) {
        control->SetProperty("Left", int64_t{10});
        control->SetProperty("Top", int64_t{20});
        control->SetProperty("Width", int64_t{50});
        control->SetProperty("Height", int64_t{30});
        control->SetProperty("LockRight", true);
        control->SetProperty("LockBottom", true);
    }
    moved.SetProperty("LockLeft", false);
    moved.SetProperty("LockTop", false);
    window->setVisible(true);
    QCoreApplication::processEvents();
    window->setWidth(window->Width() + 40);
    window->setHeight(window->Height() + 15);
    QCoreApplication::processEvents();
    EXPECT_EQ(
        std::make_tuple(stretched.Left(), stretched.Top(), stretched.Width(), stretched.Height()),
        std::make_tuple(int64_t{10}, int64_t{20}, int64_t{90}, int64_t{45}));
    EXPECT_EQ(std::make_tuple(moved.Left(), moved.Top(), moved.Width(), moved.Height()),
              std::make_tuple(int64_t{50}, int64_t{35}, int64_t{50}, int64_t{30}));
    window->Close();
}

} // namespace
