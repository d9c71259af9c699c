#include "host/TCPSocket.h"
#include "support/EventLoop.h"
#include "support/ProcessTime.h"
#include "support/ScriptedServer.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using testsupport::ensureApplication;
using testsupport::runLoopUntil;

using namespace std::chrono_literals;
namespace SocketError = host::SocketError;
using host::TCPSocket;
using testsupport::Conn;
using testsupport::ScriptedServer;
using Clock = std::chrono::steady_clock;

// Drives the socket by Poll alone, never touching the event loop.
bool pollUntil(TCPSocket& socket, const std::function<bool()>& pred,
               std::chrono::milliseconds timeout = 5s) {
    const auto deadline = Clock::now() + timeout;
    while (!pred() && Clock::now() < deadline) {
        socket.Poll();
    }
    return pred();
}

// Records the notifications of one socket in order.
struct Recorder {
    std::vector<std::string> log;
    std::vector<int64_t> errorCodes;
    std::vector<int64_t> availableAtData;
    int64_t progressCalls = 0;
    std::vector<bool> completes;

    void attach(TCPSocket& s) {
        s.Connected = [this] { log.push_back("Connected"); };
        s.DataAvailable = [this, &s] {
            log.push_back("Data");
            availableAtData.push_back(s.BytesAvailable());
        };
        s.Error = [this, &s] {
            log.push_back("Error");
            errorCodes.push_back(s.LastErrorCode());
        };
        s.SendComplete = [this](bool aborted) {
            log.push_back("SendComplete");
            completes.push_back(aborted);
        };
        s.SendProgress = [this](int64_t, int64_t) {
            ++progressCalls;
            return false;
        };
    }
    size_t count(const std::string& what) const {
        return static_cast<size_t>(std::count(log.begin(), log.end(), what));
    }
};

void target(TCPSocket& s, const ScriptedServer& server) {
    s.Address = server.host();
    s.Port = server.port();
}

class TCPSocketTest : public ::testing::Test {
protected:
    void SetUp() override { ensureApplication(); }
};

// --- connecting ----------------------------------------------------------------------------

TEST_F(TCPSocketTest, ConnectReachesConnectedForNumericAndNamedHosts) {
    ScriptedServer server([](Conn& c) { c.waitForPeerClose(); });
    for (const char* address : {"127.0.0.1", "localhost"}) {
        TCPSocket s;
        Recorder r;
        r.attach(s);
        s.Address = address;
        s.Port = server.port();
        s.Connect();
        EXPECT_TRUE(r.log.empty()) << "Connect must return before any notification";
        ASSERT_TRUE(runLoopUntil([&] { return !r.log.empty(); })) << address;
        EXPECT_EQ(r.log, std::vector<std::string>{"Connected"}) << address;
        EXPECT_TRUE(s.IsConnected());
        EXPECT_EQ(s.LastErrorCode(), SocketError::None);
    }
    EXPECT_TRUE(server.waitForConnections(2));
}

TEST_F(TCPSocketTest, ConnectionFailuresArriveAsErrorWithTheirCode) {
    struct Case {
        std::string address;
        int64_t port;
        int64_t code;
    };
    // A label longer than 63 characters can never be resolved, so the lookup fails
    // without asking any name server.
    const std::string unresolvable = std::string(70, 'a') + ".invalid";
    const std::vector<Case> cases = {
        {"127.0.0.1", static_cast<int64_t>(ScriptedServer::unusedPort()),
         SocketError::ConnectionRefused},
        {unresolvable, 80, SocketError::HostNotFound},
        {"", 80, SocketError::InvalidAddress},
        {"127.0.0.1", 0, SocketError::InvalidAddress},
        {"127.0.0.1", 70000, SocketError::InvalidAddress},
    };
    for (const Case& c : cases) {
        TCPSocket s;
        Recorder r;
        r.attach(s);
        s.Address = c.address;
        s.Port = c.port;
        const auto before = Clock::now();
        s.Connect();
        EXPECT_LT(Clock::now() - before, 100ms) << c.address;
        EXPECT_TRUE(r.log.empty()) << "no notification from inside Connect: " << c.address;
        ASSERT_TRUE(runLoopUntil([&] { return !r.log.empty(); }, 10s)) << c.address;
        EXPECT_EQ(r.log, std::vector<std::string>{"Error"}) << c.address;
        EXPECT_EQ(r.errorCodes, std::vector<int64_t>{c.code}) << c.address << ":" << c.port;
        EXPECT_FALSE(s.IsConnected());
    }
}

TEST_F(TCPSocketTest, EventLoopKeepsRunningWhileANameIsResolved) {
    ScriptedServer server([](Conn& c) { c.waitForPeerClose(); });
    TCPSocket s;
    Recorder r;
    r.attach(s);
    s.Address = "localhost";
    s.Port = server.port();
    // Program events posted after Connect, one after the other while nothing has been
    // delivered: a lookup that held the main thread would have its Connected come first.
    // (Posted, not a timer: the Win32 loop's timers fire no sooner than every 10 ms.)
    int ticks = 0;
    bool chainEnded = false;
    std::function<void()> tick = [&] {
        if (r.log.empty()) {
            ++ticks;
            testsupport::postToLoop(tick);
        } else {
            chainEnded = true;
        }
    };
    s.Connect();
    testsupport::postToLoop(tick);
    // The chain refers to this test's locals: it must have ended before they go.
    ASSERT_TRUE(runLoopUntil([&] { return chainEnded; }));
    EXPECT_EQ(r.log.front(), "Connected");
    EXPECT_GT(ticks, 0) << "the loop ran other events between Connect and Connected";
}

// --- reading -------------------------------------------------------------------------------

TEST_F(TCPSocketTest, PiecesAreBufferedAndReadByCountLookaheadAndReadAll) {
    ScriptedServer server([](Conn& c) {
        c.send("hello");
        c.pause(150ms);
        c.send(" world");
        c.waitForPeerClose();
    });
    TCPSocket s;
    Recorder r;
    r.attach(s);
    target(s, server);
    s.Connect();
    ASSERT_TRUE(runLoopUntil([&] { return s.BytesAvailable() >= 11; }));
    EXPECT_GE(r.count("Data"), 2u) << "each piece is announced";
    EXPECT_EQ(r.availableAtData.front(), 5);

    EXPECT_EQ(s.Lookahead(), "hello world");
    EXPECT_EQ(s.Lookahead(), "hello world") << "Lookahead consumes nothing";
    EXPECT_EQ(s.Read(2), "he");
    EXPECT_EQ(s.Read(3), "llo");
    EXPECT_EQ(s.Read(100), " world") << "a count beyond the buffer takes what there is";
    EXPECT_EQ(s.Read(5), "");
    EXPECT_EQ(s.BytesAvailable(), 0);
}

TEST_F(TCPSocketTest, ReadWithZeroOrNegativeCountTakesEverything) {
    ScriptedServer server([](Conn& c) {
        c.send("abcdef");
        c.waitForPeerClose();
    });
    TCPSocket s;
    target(s, server);
    s.Connect();
    ASSERT_TRUE(runLoopUntil([&] { return s.BytesAvailable() >= 6; }));
    EXPECT_EQ(s.Read(1), "a");
    EXPECT_EQ(s.Read(0), "bcdef");
    s.Close();
    s.Connect();
    ASSERT_TRUE(runLoopUntil([&] { return s.BytesAvailable() >= 6; }));
    EXPECT_EQ(s.Read(-1), "abcdef");
    s.Close();
    s.Connect();
    ASSERT_TRUE(runLoopUntil([&] { return s.BytesAvailable() >= 6; }));
    EXPECT_EQ(s.ReadAll(), "abcdef");
}

TEST_F(TCPSocketTest, ServerCloseIsError102AfterTheLastDataAndBytesStayReadable) {
    const std::string payload(300 * 1024, 'x');
    for (bool usePoll : {false, true}) {
        ScriptedServer server([&](Conn& c) {
            c.send("abc");
            c.pause(100ms);
            c.send(payload);
            c.close();
        });
        TCPSocket s;
        Recorder r;
        r.attach(s);
        target(s, server);
        s.Connect();
        const auto closed = [&] { return r.count("Error") > 0; };
        ASSERT_TRUE(usePoll ? pollUntil(s, closed) : runLoopUntil(closed)) << usePoll;
        ASSERT_GE(r.log.size(), 3u);
        EXPECT_EQ(r.log.front(), "Connected");
        EXPECT_EQ(r.log.back(), "Error") << "nothing follows the close";
        EXPECT_EQ(r.log[r.log.size() - 2], "Data") << "the last bytes are announced first";
        EXPECT_EQ(r.count("Error"), 1u);
        EXPECT_EQ(r.errorCodes, std::vector<int64_t>{SocketError::LostConnection});
        EXPECT_FALSE(s.IsConnected());
        EXPECT_EQ(s.LastErrorCode(), SocketError::LostConnection);
        EXPECT_EQ(s.Lookahead().size(), payload.size() + 3);
        EXPECT_EQ(s.Read(3), "abc");
        EXPECT_EQ(s.ReadAll(), payload);
    }
}

TEST_F(TCPSocketTest, ResetByServerIsError102) {
    ScriptedServer server([](Conn& c) {
        c.readBytes(4);
        c.reset();
    });
    TCPSocket s;
    Recorder r;
    r.attach(s);
    target(s, server);
    s.Connect();
    ASSERT_TRUE(runLoopUntil([&] { return s.IsConnected(); }));
    s.Write("ping");
    ASSERT_TRUE(runLoopUntil([&] { return r.count("Error") > 0; }));
    EXPECT_EQ(r.errorCodes, std::vector<int64_t>{SocketError::LostConnection});
    EXPECT_FALSE(s.IsConnected());
}

TEST_F(TCPSocketTest, UnreadBytesAreAnnouncedOnceNotOnEveryPoll) {
    ScriptedServer server([](Conn& c) {
        c.send("partial head");
        c.pause(400ms);
        c.send(" more");
        c.waitForPeerClose();
    });
    TCPSocket s;
    Recorder r;
    r.attach(s);
    target(s, server);
    s.Connect();
    ASSERT_TRUE(pollUntil(s, [&] { return r.count("Data") == 1; }));
    for (int i = 0; i < 10; ++i) {
        s.Poll();
    }
    EXPECT_EQ(r.count("Data"), 1u) << "bytes left unread are not announced again";
    ASSERT_TRUE(pollUntil(s, [&] { return r.count("Data") == 2; }));
    EXPECT_EQ(s.ReadAll(), "partial head more");
}

// An owner that stops reading (a player whose output is full) leaves the rest to TCP: the
// socket holds no more than its limit, and the sender is held back rather than buffered.
TEST_F(TCPSocketTest, ReadBufferLimitHoldsTheSenderBack) {
    constexpr size_t kTotal = 32 * 1024 * 1024;
    constexpr int64_t kLimit = 16 * 1024;
    std::atomic<size_t> sent{0};
    ScriptedServer server([&](Conn& c) {
        const std::string piece(64 * 1024, 'x');
        while (sent < kTotal && c.send(piece, 20s)) {
            sent += piece.size();
        }
        c.waitForPeerClose(20s);
    });
    TCPSocket s;
    s.SetReadBufferLimit(kLimit);
    int64_t mostHeld = 0;
    s.DataAvailable = [&] { mostHeld = std::max(mostHeld, s.BytesAvailable()); };
    target(s, server);
    s.Connect();
    ASSERT_TRUE(runLoopUntil([&] { return s.BytesAvailable() > 0; }));
    testsupport::runLoopFor(1s);
    EXPECT_EQ(s.BytesAvailable(), kLimit);
    EXPECT_LT(sent.load(), kTotal / 2) << "the sender was not held back";

    size_t received = 0;
    ASSERT_TRUE(runLoopUntil(
        [&] {
            received += s.ReadAll().size();
            return received == kTotal;
        },
        30s))
        << received << " of " << kTotal << " bytes";
    EXPECT_LE(mostHeld, kLimit);
}

// --- writing -------------------------------------------------------------------------------

TEST_F(TCPSocketTest, LargeWriteArrivesWholeWithOneSendComplete) {
    std::string big(8 * 1024 * 1024, '\0');
    std::mt19937 rng(7);
    for (char& ch : big) {
        ch = static_cast<char>(rng());
    }
    ScriptedServer server([&](Conn& c) {
        // Not reading for a while makes the client queue most of it.
        c.pause(300ms);
        c.readBytes(big.size(), 20s);
        c.waitForPeerClose();
    });
    TCPSocket s;
    Recorder r;
    r.attach(s);
    target(s, server);
    s.Connect();
    ASSERT_TRUE(runLoopUntil([&] { return s.IsConnected(); }));
    s.Write(big);
    EXPECT_GT(s.BytesLeftToSend(), 0) << "the OS cannot take 8 MiB at once";
    ASSERT_TRUE(runLoopUntil([&] { return r.count("SendComplete") > 0; }, 20s));
    EXPECT_EQ(r.completes, std::vector<bool>{false});
    EXPECT_GT(r.progressCalls, 0);
    EXPECT_EQ(s.BytesLeftToSend(), 0);
    ASSERT_TRUE(server.waitForBytes(0, big.size(), 20s));
    EXPECT_TRUE(server.receivedBytes(0) == big) << "bytes differ";
}

TEST_F(TCPSocketTest, WriteBeforeConnectedGoesOutOnceConnected) {
    ScriptedServer server([](Conn& c) {
        c.readRequest();
        c.send("ok");
        c.close();
    });
    TCPSocket s;
    Recorder r;
    r.attach(s);
    target(s, server);
    s.Address = "localhost";
    s.Connect();
    s.Write("GET / HTTP/1.0\r\n\r\n");
    ASSERT_TRUE(runLoopUntil([&] { return r.count("Error") > 0; }));
    EXPECT_EQ(server.receivedBytes(0), "GET / HTTP/1.0\r\n\r\n");
    EXPECT_EQ(s.ReadAll(), "ok");
    EXPECT_EQ(r.count("SendComplete"), 1u);
}

TEST_F(TCPSocketTest, SendProgressCanCancelTheRest) {
    ScriptedServer server([](Conn& c) {
        c.pause(300ms);
        c.waitForPeerClose();
    });
    TCPSocket s;
    Recorder r;
    r.attach(s);
    s.SendProgress = [](int64_t, int64_t left) { return left > 0; };
    target(s, server);
    s.Connect();
    ASSERT_TRUE(runLoopUntil([&] { return s.IsConnected(); }));
    s.Write(std::string(16 * 1024 * 1024, 'z'));
    ASSERT_TRUE(runLoopUntil([&] { return r.count("SendComplete") > 0; }, 10s));
    EXPECT_EQ(r.completes, std::vector<bool>{true});
    EXPECT_EQ(s.BytesLeftToSend(), 0);
}

// --- Poll ----------------------------------------------------------------------------------

TEST_F(TCPSocketTest, PollAloneCarriesAWholeExchange) {
    ScriptedServer server([](Conn& c) {
        c.readRequest();
        c.send(ScriptedServer::httpResponse(200, "body"));
        c.close();
    });
    TCPSocket s;
    Recorder r;
    r.attach(s);
    s.Connected = [&] {
        r.log.push_back("Connected");
        s.Write("GET / HTTP/1.0\r\n\r\n");
    };
    s.Address = "localhost";
    s.Port = server.port();
    s.Connect();
    ASSERT_TRUE(pollUntil(s, [&] { return r.count("Error") > 0; }));
    EXPECT_EQ(r.log.front(), "Connected");
    EXPECT_EQ(r.log.back(), "Error");
    EXPECT_EQ(s.ReadAll(), ScriptedServer::httpResponse(200, "body"));
}

TEST_F(TCPSocketTest, PollOnAnIdleConnectionSleepsInsteadOfSpinning) {
    ScriptedServer server([](Conn& c) {
        c.send("unread");
        c.waitForPeerClose(10s);
    });
    TCPSocket s;
    Recorder r;
    r.attach(s);
    target(s, server);
    s.Connect();
    ASSERT_TRUE(pollUntil(s, [&] { return r.count("Data") == 1; }));
    // Idle, with bytes the owner chose to leave unread.
    const double cpuBefore = testsupport::cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    const auto wallBefore = Clock::now();
    for (int i = 0; i < 100; ++i) {
        s.Poll();
    }
    const double wall = std::chrono::duration<double>(Clock::now() - wallBefore).count();
    const double cpu = testsupport::cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - cpuBefore;
    std::printf("100 idle Polls: wall %.3f s, cpu %.4f s\n", wall, cpu);
    EXPECT_GE(wall, 0.5) << "each idle Poll waits for activity";
    EXPECT_LT(wall, 5.0);
    EXPECT_LT(cpu, wall * 0.2);
    EXPECT_EQ(r.count("Data"), 1u);
}

TEST_F(TCPSocketTest, PollDeliversNoOtherEventOfTheProgram) {
    ScriptedServer server([](Conn& c) {
        c.send("x");
        c.pause(100ms);
        c.send("y");
        c.waitForPeerClose();
    });
    bool fired = false;
    testsupport::Timer timer(0ms, false, [&] { fired = true; });
    TCPSocket s;
    Recorder r;
    r.attach(s);
    target(s, server);
    s.Connect();
    ASSERT_TRUE(pollUntil(s, [&] { return s.BytesAvailable() == 2; }));
    for (int i = 0; i < 10; ++i) {
        s.Poll();
    }
    EXPECT_FALSE(fired) << "a program timer fired inside Poll";
    EXPECT_EQ(r.log.front(), "Connected");
    EXPECT_TRUE(runLoopUntil([&] { return fired; }));
}

TEST_F(TCPSocketTest, FailureInAHandlerLeavesPollToItsCallerAndTheRestPending) {
    ScriptedServer server([](Conn& c) {
        c.send("abc");
        c.close();
    });
    TCPSocket s;
    Recorder r;
    r.attach(s);
    bool thrown = false;
    s.DataAvailable = [&] {
        r.log.push_back("Data");
        if (!thrown) {
            thrown = true;
            throw std::runtime_error("handler failed");
        }
    };
    target(s, server);
    s.Connect();
    EXPECT_THROW(pollUntil(s, [&] { return r.count("Error") > 0; }), std::runtime_error);
    ASSERT_TRUE(pollUntil(s, [&] { return r.count("Error") > 0; }))
        << "the close is still reported after the failure";
    EXPECT_EQ(s.ReadAll(), "abc");
}

TEST_F(TCPSocketTest, WriteWithoutAConnectionIsRefusedQuietly) {
    TCPSocket s;
    Recorder r;
    r.attach(s);
    s.Write("lost");
    EXPECT_EQ(s.LastErrorCode(), SocketError::InvalidState);
    EXPECT_EQ(s.BytesLeftToSend(), 0);
    s.Poll();
    EXPECT_TRUE(r.log.empty());
}

// --- re-entrancy ---------------------------------------------------------------------------

TEST_F(TCPSocketTest, HandlersMayCloseAndReconnectTheSameSocket) {
    ScriptedServer server([](Conn& c) {
        c.send("abc");
        c.close();
    });
    TCPSocket s;
    std::vector<std::string> log;
    int connects = 0;
    s.Connected = [&] {
        log.push_back("Connected");
        ++connects;
    };
    s.DataAvailable = [&] {
        log.push_back("Data:" + s.ReadAll());
        // The close that arrived with these bytes must not be reported after this.
        s.Close();
    };
    // First attempt is refused; the error handler retries against the live server.
    s.Error = [&] {
        log.push_back("Error:" + std::to_string(s.LastErrorCode()));
        s.Port = server.port();
        s.Connect();
    };
    s.Address = "127.0.0.1";
    s.Port = ScriptedServer::unusedPort();
    s.Connect();
    ASSERT_TRUE(runLoopUntil([&] { return log.size() >= 3; }));
    runLoopUntil([] { return false; }, 200ms);
    EXPECT_EQ(log, (std::vector<std::string>{"Error:101", "Connected", "Data:abc"}));
    EXPECT_FALSE(s.IsConnected());
}

TEST_F(TCPSocketTest, HandlerMayDestroyTheSocket) {
    ScriptedServer server([](Conn& c) {
        c.send("abc");
        c.close();
    });
    auto s = std::make_unique<TCPSocket>();
    bool errorSeen = false;
    s->DataAvailable = [&] { s.reset(); };
    s->Error = [&] { errorSeen = true; };
    target(*s, server);
    s->Connect();
    ASSERT_TRUE(runLoopUntil([&] { return s == nullptr; }));
    runLoopUntil([] { return false; }, 100ms);
    EXPECT_FALSE(errorSeen);
}

TEST_F(TCPSocketTest, NestedPollInAHandlerDefersThisConnectionsNotifications) {
    ScriptedServer server([](Conn& c) {
        c.send("first");
        c.pause(50ms);
        c.send("second");
        c.close();
    });
    TCPSocket s;
    std::vector<std::string> log;
    int depth = 0;
    int maxDepth = 0;
    s.DataAvailable = [&] {
        maxDepth = std::max(maxDepth, ++depth);
        log.push_back("Data");
        if (log.size() == 1) {
            // Like a handler that waits: the socket keeps reading but holds its news.
            pollUntil(
                s, [&] { return s.BytesAvailable() >= 11; }, 2s);
        }
        --depth;
    };
    s.Error = [&] { log.push_back("Error"); };
    target(s, server);
    s.Connect();
    ASSERT_TRUE(pollUntil(s, [&] { return !log.empty() && log.back() == "Error"; }));
    EXPECT_EQ(maxDepth, 1);
    EXPECT_EQ(log, (std::vector<std::string>{"Data", "Data", "Error"}));
    EXPECT_EQ(s.ReadAll(), "firstsecond");
}

TEST_F(TCPSocketTest, NewConnectionStartedInAHandlerIsDeliveredByNestedPoll) {
    ScriptedServer server([](Conn& c) {
        c.send(c.index() == 0 ? "one" : "two");
        c.close();
    });
    TCPSocket s;
    std::vector<std::string> log;
    s.Connected = [&] { log.push_back("Connected"); };
    s.Error = [&] { log.push_back("Error"); };
    bool nestedDone = false;
    s.DataAvailable = [&] {
        const std::string got = s.ReadAll();
        log.push_back("Data:" + got);
        if (got == "one") {
            // A blocking request made from inside a handler: a new connection, waited for
            // right here.
            s.Close();
            s.Purge();
            s.Connect();
            nestedDone = pollUntil(s, [&] { return log.back() == "Error"; });
        }
    };
    target(s, server);
    s.Connect();
    ASSERT_TRUE(runLoopUntil([&] { return nestedDone; }));
    EXPECT_EQ(
        log, (std::vector<std::string>{"Connected", "Data:one", "Connected", "Data:two", "Error"}));
}

} // namespace
