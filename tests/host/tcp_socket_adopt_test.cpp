#include "host/TCPSocket.h"
#include "support/EventLoop.h"
#include "support/SocketPeer.h"

#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
namespace SocketError = host::SocketError;
using host::TCPSocket;
using host::testing::SocketPeer;
using Clock = std::chrono::steady_clock;

bool pollUntil(TCPSocket& socket, const std::function<bool()>& pred) {
    const auto deadline = Clock::now() + 5s;
    while (!pred() && Clock::now() < deadline) {
        socket.Poll();
    }
    return pred();
}

// A connection handed over by an in-process peer behaves as one Connect made: Connected
// follows later, bytes go both ways, and the peer's close reports the last bytes first, then
// Error 102.
TEST(TCPSocketAdopt, HandedOverConnectionIsAConnection) {
    TCPSocket socket;
    std::vector<std::string> log;
    socket.Connected = [&] { log.push_back("Connected"); };
    socket.DataAvailable = [&] { log.push_back("Data:" + socket.Lookahead()); };
    socket.Error = [&] { log.push_back("Error:" + std::to_string(socket.LastErrorCode())); };

    SocketPeer peer(socket);
    ASSERT_TRUE(peer.valid());
    EXPECT_TRUE(log.empty()) << "no notification from inside the hand-over";
    ASSERT_TRUE(pollUntil(socket, [&] { return !log.empty(); }));
    EXPECT_EQ(log, std::vector<std::string>{"Connected"});
    EXPECT_TRUE(socket.IsConnected());

    socket.Write("request");
    EXPECT_EQ(peer.read(7, 5000), "request");

    ASSERT_TRUE(peer.write("tail"));
    peer.close();
    ASSERT_TRUE(pollUntil(socket, [&] { return log.size() >= 3; }));
    EXPECT_EQ(log, (std::vector<std::string>{"Connected", "Data:tail", "Error:102"}));
    EXPECT_FALSE(socket.IsConnected());
    EXPECT_EQ(socket.ReadAll(), "tail");
}

// Under the event loop a handed-over connection is watched like any other; handing over a
// second one drops the first connection without a notification for it.
TEST(TCPSocketAdopt, EventLoopAndReplacement) {
    testsupport::ensureApplication();
    TCPSocket socket;
    std::string data;
    int errors = 0;
    socket.DataAvailable = [&] { data += socket.ReadAll(); };
    socket.Error = [&] { ++errors; };
    SocketPeer first(socket);
    SocketPeer second(socket);
    ASSERT_TRUE(first.valid() && second.valid());
    // The first connection is closed: its peer can no longer send.
    EXPECT_TRUE(testsupport::runLoopUntil([&] { return !first.write("x"); }, 5s));

    ASSERT_TRUE(second.write("abc"));
    EXPECT_TRUE(testsupport::runLoopUntil([&] { return data == "abc"; }, 5s));
    EXPECT_EQ(errors, 0);
}

} // namespace
