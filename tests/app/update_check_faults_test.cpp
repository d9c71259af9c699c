#include "app/App.h"
#include "app/Constants.h"
#include "app/Startup.h"
#include "app/UpdateCheck.h"
#include "host/Application.h"
#include "support/LoopbackNetwork.h"
#include "support/ProcessUsage.h"
#include "support/ScriptedServer.h"
#include "support/UrlRecorder.h"

#include <QApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QUrl>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <string>

// The update check when the network or the server misbehaves: whatever happens, no offer
// is shown, no site is opened, nothing reaches the unhandled-exception report, and the check
// ends by its own rules (a failure, the inactivity timeout, or a reply it rejects). The
// whole process runs in a network namespace with only loopback, so the product's real name
// can be looked up without anything leaving the machine.

namespace {

using namespace std::chrono_literals;
using testsupport::Conn;
using testsupport::ScriptedServer;
using Clock = std::chrono::steady_clock;

const std::string kSite(tamsel::constants::kProductWebSite);
const std::string kPath = "/app/version";

// What one run of the check did, and what it cost.
struct CheckRun {
    std::optional<QString> box;
    int opened = 0;
    bool threw = false;
    double seconds = 0;
    double processCpu = 0;
    double mainThreadCpu = 0;
    long peakGrowthKiB = 0;
};

class UpdateCheckFaults : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        host::ensureRuntime();
        QApplication::setQuitOnLastWindowClosed(false);
        if (host::getAppObject() == nullptr) {
            tamsel::_NewAppInstance();
        }
        QDesktopServices::setUrlHandler("https", &urls, "open");
        QDesktopServices::setUrlHandler("http", &urls, "open");
    }

    static void TearDownTestSuite() {
        QDesktopServices::unsetUrlHandler("https");
        QDesktopServices::unsetUrlHandler("http");
    }

    void TearDown() override {
        EXPECT_FALSE(host::RuntimeIsEnding()) << "the unhandled-exception report ran";
        EXPECT_EQ(host::RuntimeExit(), 0);
    }

    // Runs `check`, answering Yes to any box (so an offer would also open the site).
    static CheckRun measure(const std::function<void()>& check) {
        CheckRun run;
        urls.opened.clear();
        QTimer poll;
        poll.setInterval(10);
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                run.box = box->text();
                QAbstractButton* answer = box->button(QMessageBox::Yes);
                (answer != nullptr ? answer : box->buttons().front())->click();
            }
        });
        poll.start();
        const long peakBefore = testsupport::peakResidentKiB();
        const double processBefore = testsupport::cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
        const double threadBefore = testsupport::cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        const auto start = Clock::now();
        try {
            check();
        } catch (...) {
            run.threw = true;
        }
        run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        run.processCpu = testsupport::cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - processBefore;
        run.mainThreadCpu = testsupport::cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - threadBefore;
        run.peakGrowthKiB = testsupport::peakResidentKiB() - peakBefore;
        poll.stop();
        run.opened = static_cast<int>(urls.opened.size());
        return run;
    }

    static CheckRun checkAgainst(const std::string& url) {
        return measure([&] {
            tamsel::runUpdateCheck(url, kSite, tamsel::constants::kVersionCheckTimeoutSeconds);
        });
    }

    static void expectNoOffer(const CheckRun& run) {
        EXPECT_FALSE(run.box.has_value()) << run.box->toStdString();
        EXPECT_EQ(run.opened, 0);
        EXPECT_FALSE(run.threw) << "an exception left the check";
    }

    static void print(const char* name, const char* outcome, const CheckRun& run) {
        std::printf("[ fault    ] %-38s | %-38s | wall %6.2f s | cpu %5.2f s (main thread "
                    "%5.2f s) | peak +%ld KiB\n",
                    name, outcome, run.seconds, run.processCpu, run.mainThreadCpu,
                    run.peakGrowthKiB);
        std::fflush(stdout);
    }

    static inline testsupport::UrlRecorder urls;
};

// The machine has no working name service: the real start-up path, with the product's
// own endpoint, ends at the failed lookup.
TEST_F(UpdateCheckFaults, FailedNameLookupOnStartShowsNothing) {
    if (!testsupport::inLoopbackOnlyNetwork()) {
        GTEST_SKIP() << "needs the loopback-only namespace (root) to look up the real name";
    }
    const CheckRun run = measure([] { host::runUnderExceptionPolicy([] { ::App()->Open(); }); });
    expectNoOffer(run);
    // A refused resolver answers at once; no inactivity timeout is involved.
    EXPECT_LT(run.seconds, 5.0);
    print("DNS failure (start-up, real name)", "lookup fails, nothing shown", run);
}

// A listener that takes the connection and resets it, and one that closes without a byte:
// both fail the request at once.
TEST_F(UpdateCheckFaults, ResetOrSilentCloseAtAcceptShowsNothing) {
    ScriptedServer reset([](Conn& c) { c.reset(); });
    const CheckRun resetRun = checkAgainst(reset.url(kPath));
    expectNoOffer(resetRun);
    EXPECT_LT(resetRun.seconds, 5.0);
    print("reset (RST) at accept", "request fails, nothing shown", resetRun);

    ScriptedServer closing([](Conn& c) {
        c.readRequest();
        c.close();
    });
    const CheckRun closeRun = checkAgainst(closing.url(kPath));
    expectNoOffer(closeRun);
    EXPECT_LT(closeRun.seconds, 5.0);
    EXPECT_TRUE(closing.waitForRequest(0));
    print("closed without a reply", "request fails, nothing shown", closeRun);
}

// 10 MiB after a newer version's line: the whole body is read and rejected as no plausible
// version, with or without a length.
TEST_F(UpdateCheckFaults, TenMebibyteBodyIsReadAndRejected) {
    const std::string body = "1.1.9\n" + std::string(10 * 1024 * 1024, 'x') + "\n";
    ScriptedServer withLength([&](Conn& c) {
        c.readRequest();
        c.send(ScriptedServer::httpResponse(200, body, "Content-Type: text/plain\r\n"), 20s);
        c.close();
    });
    const CheckRun sized = checkAgainst(withLength.url(kPath));
    expectNoOffer(sized);
    EXPECT_LT(sized.seconds, 20.0);
    print("200, 10 MiB body, Content-Length", "read whole, rejected as implausible", sized);

    ScriptedServer untilClose([&](Conn& c) {
        c.readRequest();
        c.send("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n" + body, 20s);
        c.close();
    });
    const CheckRun closed = checkAgainst(untilClose.url(kPath));
    expectNoOffer(closed);
    EXPECT_LT(closed.seconds, 20.0);
    print("200, 10 MiB body, ends by close", "read whole, rejected as implausible", closed);
}

// The head arrives one byte a second for five seconds, then nothing more: the inactivity
// timeout ends the check.
TEST_F(UpdateCheckFaults, DribbledHeadThenSilenceEndsByTheTimeout) {
    std::atomic<Clock::rep> lastByteAt{0};
    ScriptedServer dribble([&](Conn& c) {
        c.readRequest();
        c.sendInPieces("HTTP/", 1, 1000ms);
        lastByteAt = Clock::now().time_since_epoch().count();
        c.pause(45s);
    });
    const auto start = Clock::now();
    const CheckRun run = checkAgainst(dribble.url(kPath));
    const Clock::time_point lastByte{Clock::duration(lastByteAt.load())};
    const double afterLast = std::chrono::duration<double>(Clock::now() - lastByte).count();
    const double firstToLast = std::chrono::duration<double>(lastByte - start).count();
    expectNoOffer(run);
    std::printf("[ measure  ] last byte %.2f s after the start; the check ended %.2f s after "
                "the start, %.2f s after the last byte\n",
                firstToLast, run.seconds, afterLast);
    // Nothing but the 30 s inactivity timeout can end it, counted from the connection at
    // the earliest and from the last byte at the latest.
    const double timeout = static_cast<double>(tamsel::constants::kVersionCheckTimeoutSeconds);
    EXPECT_GE(run.seconds, timeout);
    EXPECT_LE(run.seconds, firstToLast + timeout + 2.0);
    print("head dribbled 1 B/s for 5 s, silence", "ends by the inactivity timeout", run);
}

} // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Before any thread exists.
    const std::string isolation = testsupport::enterLoopbackOnlyNetwork();
    const std::string network =
        isolation.empty() ? "own namespace, loopback only" : "shared network (" + isolation + ")";
    std::printf("[ network  ] %s\n", network.c_str());
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    return RUN_ALL_TESTS();
}
