#include "host/TCPSocket.h"
#include "support/EventLoop.h"

#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
namespace SocketError = host::SocketError;
using host::TCPSocket;
using Clock = std::chrono::steady_clock;

bool pollUntil(TCPSocket& socket, const std::function<bool()>& pred) {
    const auto deadline = Clock::now() + 5s;
    while (!pred() && Clock::now() < deadline) {
        socket.Poll();
    }
    return pred();
}

struct Pair {
    int ours = -1;
    int peer = -1;
    Pair() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
            ours = fds[0];
            peer = fds[1];
        }
    }
    ~Pair() {
        if (peer >= 0) {
            ::close(peer);
        }
    }
    void closePeer() {
        ::close(peer);
        peer = -1;
    }
    std::string readPeer(size_t n) {
        std::string out;
        char buffer[256];
        while (out.size() < n) {
            const ssize_t got = ::recv(peer, buffer, sizeof buffer, 0);
            if (got <= 0) {
                break;
            }
            out.append(buffer, static_cast<size_t>(got));
        }
        return out;
    }
};

// An adopted descriptor behaves as a connection Connect made: Connected follows later, bytes
// go both ways, and the peer's close reports the last bytes first, then Error 102.
TEST(TCPSocketAdopt, AdoptedDescriptorIsAConnection) {
    Pair pair;
    ASSERT_GE(pair.ours, 0);
    TCPSocket socket;
    std::vector<std::string> log;
    socket.Connected = [&] { log.push_back("Connected"); };
    socket.DataAvailable = [&] { log.push_back("Data:" + socket.Lookahead()); };
    socket.Error = [&] { log.push_back("Error:" + std::to_string(socket.LastErrorCode())); };

    socket.Adopt(pair.ours);
    EXPECT_TRUE(log.empty()) << "no notification from inside Adopt";
    ASSERT_TRUE(pollUntil(socket, [&] { return !log.empty(); }));
    EXPECT_EQ(log, std::vector<std::string>{"Connected"});
    EXPECT_TRUE(socket.IsConnected());

    socket.Write("request");
    EXPECT_EQ(pair.readPeer(7), "request");

    ASSERT_EQ(::send(pair.peer, "tail", 4, 0), 4);
    pair.closePeer();
    ASSERT_TRUE(pollUntil(socket, [&] { return log.size() >= 3; }));
    EXPECT_EQ(log, (std::vector<std::string>{"Connected", "Data:tail", "Error:102"}));
    EXPECT_FALSE(socket.IsConnected());
    EXPECT_EQ(socket.ReadAll(), "tail");
}

// Under the event loop an adopted connection is watched like any other; adopting a second
// descriptor drops the first connection without a notification for it.
TEST(TCPSocketAdopt, EventLoopAndReplacement) {
    testsupport::ensureApplication();
    Pair first;
    Pair second;
    ASSERT_GE(first.ours, 0);
    ASSERT_GE(second.ours, 0);
    TCPSocket socket;
    std::string data;
    int errors = 0;
    socket.DataAvailable = [&] { data += socket.ReadAll(); };
    socket.Error = [&] { ++errors; };
    socket.Adopt(first.ours);
    socket.Adopt(second.ours);
    // The first descriptor is closed: its peer reads the end at once.
    char byte;
    EXPECT_EQ(::recv(first.peer, &byte, 1, 0), 0);

    ASSERT_EQ(::send(second.peer, "abc", 3, 0), 3);
    EXPECT_TRUE(testsupport::runLoopUntil([&] { return data == "abc"; }, 5s));
    EXPECT_EQ(errors, 0);
}

TEST(TCPSocketAdopt, NegativeDescriptorEndsInInvalidAddress) {
    TCPSocket socket;
    int errors = 0;
    socket.Error = [&] { ++errors; };
    socket.Adopt(-1);
    ASSERT_TRUE(pollUntil(socket, [&] { return errors > 0; }));
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(socket.LastErrorCode(), SocketError::InvalidAddress);
    EXPECT_FALSE(socket.IsConnected());
}

} // namespace
