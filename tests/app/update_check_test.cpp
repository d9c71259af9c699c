#include "app/App.h"
#include "app/Constants.h"
#include "app/Startup.h"
#include "app/UpdateCheck.h"
#include "host/Application.h"
#include "support/EventLoop.h"
#include "support/RealServers.h"
#include "support/ScriptedServer.h"
#include "support/UrlRecorder.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <QWidget>
#include <chrono>
#include <gtest/gtest.h>
#include <optional>

namespace {

using namespace std::chrono_literals;

const std::string kSite(tamsel::constants::kProductWebSite);

// What one run of the check showed: the message box text (if any), answered with `answer`.
struct Outcome {
    std::optional<QString> message;
    std::optional<QMessageBox::Icon> icon;
    QString title;
    int opened = 0;
};

class UpdateCheckTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        host::ensureRuntime();
        QApplication::setQuitOnLastWindowClosed(false);
        if (host::getAppObject() == nullptr) {
            tamsel::_NewAppInstance();
        }
        docroot = new testsupport::TempDir("tamsel-update");
        nginx = new testsupport::NginxServer(docroot->path());
        QDesktopServices::setUrlHandler("https", &recorder, "open");
    }

    static void TearDownTestSuite() {
        QDesktopServices::unsetUrlHandler("https");
        delete nginx;
        delete docroot;
    }

    static void serveVersion(const std::string& body) { docroot->write("app/version", body); }

    // Runs the check against url, answering any message box with `answer`.
    Outcome check(const std::string& url, QMessageBox::StandardButton answer = QMessageBox::No,
                  int64_t timeout = tamsel::constants::kVersionCheckTimeoutSeconds) {
        Outcome outcome;
        recorder.opened.clear();
        QTimer poll;
        poll.setInterval(10);
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                outcome.message = box->text();
                outcome.icon = box->icon();
                outcome.title = box->windowTitle();
                box->button(answer)->click();
            }
        });
        poll.start();
        tamsel::runUpdateCheck(url, kSite, timeout);
        poll.stop();
        outcome.opened = static_cast<int>(recorder.opened.size());
        return outcome;
    }

    static QString offer(const char* version) {
        return QString("Dear friend. We've released a new version %1. Would you like to update "
                       "it now?")
            .arg(version);
    }

    static inline testsupport::TempDir* docroot = nullptr;
    static inline testsupport::NginxServer* nginx = nullptr;
    static inline testsupport::UrlRecorder recorder;
};

TEST_F(UpdateCheckTest, RunningVersionWithItsTerminatorShowsNothing) {
    serveVersion("1.1.8\n");
    EXPECT_FALSE(check(nginx->url("/app/version")).message);
    // The terminator may be CR LF; the check does not offer the running version back.
    serveVersion("1.1.8\r\n");
    EXPECT_FALSE(check(nginx->url("/app/version")).message);
}

TEST_F(UpdateCheckTest, NewerAndOlderVersionsAreOfferedWithTheExactMessage) {
    serveVersion("1.1.9\n");
    Outcome newer = check(nginx->url("/app/version"));
    ASSERT_TRUE(newer.message);
    EXPECT_EQ(*newer.message, offer("1.1.9"));
    EXPECT_EQ(newer.icon, QMessageBox::Question);
    // No title was given: the application's name stands there.
    EXPECT_EQ(newer.title, "tamselRadio");

    serveVersion("1.1.7\n");
    Outcome older = check(nginx->url("/app/version"));
    ASSERT_TRUE(older.message);
    EXPECT_EQ(*older.message, offer("1.1.7"));

    serveVersion("1.2.0-beta+5\n");
    Outcome tagged = check(nginx->url("/app/version"));
    ASSERT_TRUE(tagged.message);
    EXPECT_EQ(*tagged.message, offer("1.2.0-beta+5"));
}

TEST_F(UpdateCheckTest, ReplyWithoutLineEndKeepsItsLastCharacter) {
    serveVersion("1.1.8");
    EXPECT_FALSE(check(nginx->url("/app/version")).message);
    serveVersion("1.1.9");
    Outcome outcome = check(nginx->url("/app/version"));
    ASSERT_TRUE(outcome.message);
    EXPECT_EQ(*outcome.message, offer("1.1.9"));
}

TEST_F(UpdateCheckTest, ErrorPagesAndNonVersionBodiesShowNothing) {
    EXPECT_FALSE(check(nginx->url("/no/such/version")).message); // 404 page
    EXPECT_FALSE(check(nginx->url("/status/500")).message);      // 500 page
    const auto log = nginx->waitForAccessLog(2);
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2].status, 404);
    EXPECT_EQ(log[log.size() - 1].status, 500);

    serveVersion("<html><body>Under maintenance</body></html>\n");
    EXPECT_FALSE(check(nginx->url("/app/version")).message);
    serveVersion("\n");
    EXPECT_FALSE(check(nginx->url("/app/version")).message);
    serveVersion("1.1.9\x07\n");
    EXPECT_FALSE(check(nginx->url("/app/version")).message);
    serveVersion(std::string(40, '9') + "\n");
    EXPECT_FALSE(check(nginx->url("/app/version")).message);
}

TEST_F(UpdateCheckTest, NoServerListeningShowsNothing) {
    const uint16_t port = testsupport::ScriptedServer::unusedPort();
    EXPECT_FALSE(check("http://127.0.0.1:" + std::to_string(port) + "/app/version").message);
}

TEST_F(UpdateCheckTest, SilentServerShowsNothingAfterTheProductsTimeout) {
    testsupport::ScriptedServer silent([](testsupport::Conn& c) {
        c.readRequest();
        c.pause(40s);
    });
    const auto start = std::chrono::steady_clock::now();
    const Outcome outcome = check(silent.url("/app/version"));
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_FALSE(outcome.message);
    EXPECT_GE(waited, 30s);
    EXPECT_LT(waited, 33s);
}

TEST_F(UpdateCheckTest, YesOpensTheSiteOnceAndNoOpensNothing) {
    serveVersion("1.1.9\n");
    Outcome yes = check(nginx->url("/app/version"), QMessageBox::Yes);
    ASSERT_TRUE(yes.message);
    ASSERT_EQ(yes.opened, 1);
    EXPECT_EQ(recorder.opened.front(), QUrl("https://tamselradio.com"));

    Outcome no = check(nginx->url("/app/version"), QMessageBox::No);
    ASSERT_TRUE(no.message);
    EXPECT_EQ(no.opened, 0);
}

// The check holds the main thread, yet the windows repaint meanwhile (and answer the desktop);
// what would run program code, a posted call or a close, waits until the check is over.
TEST_F(UpdateCheckTest, WindowsRepaintDuringTheWaitWhileClosesAndPostedCallsWaitForItsEnd) {
    testsupport::ScriptedServer late([](testsupport::Conn& c) {
        c.readRequest();
        c.pause(1500ms);
        c.send("HTTP/1.0 200 OK\r\n\r\n1.1.8\n");
    });
    struct PaintClock : QWidget {
        std::optional<std::chrono::steady_clock::time_point> painted;
        void paintEvent(QPaintEvent*) override { painted = std::chrono::steady_clock::now(); }
    } window;
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    bool over = false;
    std::optional<bool> postedRanDuringTheCheck;
    testsupport::postToLoop([&] { postedRanDuringTheCheck = !over; });
    QCoreApplication::postEvent(window.windowHandle(), new QCloseEvent);
    window.painted.reset();
    window.update();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(check(late.url("/app/version")).message);
    over = true;
    ASSERT_TRUE(window.painted);
    EXPECT_LT(*window.painted - start, 500ms);
    EXPECT_TRUE(window.isVisible());
    EXPECT_FALSE(postedRanDuringTheCheck);
    QCoreApplication::processEvents();
    EXPECT_EQ(postedRanDuringTheCheck, std::optional<bool>(false));
    EXPECT_FALSE(window.isVisible());
}

TEST(UpdateCheckText, OfferedVersionDropsOneLineEndOnly) {
    EXPECT_EQ(tamsel::offeredVersion("1.1.9\n"), "1.1.9");
    EXPECT_EQ(tamsel::offeredVersion("1.1.9\r\n"), "1.1.9");
    EXPECT_EQ(tamsel::offeredVersion("1.1.9\r"), "1.1.9");
    EXPECT_EQ(tamsel::offeredVersion("1.1.9\n\n"), "1.1.9\n");
    EXPECT_EQ(tamsel::offeredVersion("1.1.9"), "1.1.9");
    EXPECT_EQ(tamsel::offeredVersion(""), "");
    EXPECT_TRUE(tamsel::isPlausibleVersion("1.1.9"));
    EXPECT_TRUE(tamsel::isPlausibleVersion(std::string(32, '1')));
    EXPECT_FALSE(tamsel::isPlausibleVersion(std::string(33, '1')));
    EXPECT_FALSE(tamsel::isPlausibleVersion(""));
    EXPECT_FALSE(tamsel::isPlausibleVersion("1.1 9"));
    EXPECT_FALSE(tamsel::isPlausibleVersion("<html>"));
}

} // namespace
