#pragma once

// A loopback TCP server that plays a script on every connection it accepts, for tests that
// need exact bytes and exact timing from the other end. It listens on 127.0.0.1 on a port
// of the system's choosing, runs each connection's script on a thread of its own and
// records every byte each connection received. Every wait is bounded, and the destructor
// stops and joins everything.
//
//     testsupport::ScriptedServer server([](testsupport::Conn& c) {
//         c.readRequest();
//         c.send("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nhi");
//         c.close();
//     });
//     ... point a client at server.port() ...
//     ASSERT_TRUE(server.waitForRequest(0));
//     EXPECT_EQ(server.receivedBytes(0), "GET / HTTP/1.0\r\n...");

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace testsupport {

// The bound on every wait that is not given one.
inline constexpr std::chrono::milliseconds kDefaultWait{5000};

namespace detail {
struct ServerState;
struct ConnectionRecord;
} // namespace detail

// One accepted connection as its script sees it. Every call runs on the connection's own
// thread and returns within its timeout, or at once when the server is being destroyed.
class Conn {
public:
    Conn(const Conn&) = delete;
    Conn& operator=(const Conn&) = delete;
    ~Conn();

    // Position of this connection in accept order, from 0.
    size_t index() const { return index_; }

    // Reads one HTTP request: the head up to its blank line (CR LF CR LF) and as many body
    // bytes as its Content-Length names. Returns it and consumes it. On a timeout or the
    // client's close it returns (and consumes) whatever part has arrived.
    std::string readRequest(std::chrono::milliseconds timeout = kDefaultWait);
    // Reads exactly count bytes, or fewer on a timeout or the client's close.
    std::string readBytes(size_t count, std::chrono::milliseconds timeout = kDefaultWait);
    // Reads up to and including marker; on a timeout or close, whatever arrived.
    std::string readUntil(std::string_view marker,
                          std::chrono::milliseconds timeout = kDefaultWait);
    // Reads until the client closes its side; true when it did within the timeout.
    bool waitForPeerClose(std::chrono::milliseconds timeout = kDefaultWait);

    // Sends every byte (waiting while the client's window is full, up to the timeout);
    // false when not all of it could be sent.
    bool send(std::string_view bytes, std::chrono::milliseconds timeout = kDefaultWait);
    // Sends bytes in pieces of pieceSize with a pause after each piece but the last.
    bool sendInPieces(std::string_view bytes, size_t pieceSize, std::chrono::milliseconds pause);
    // Waits without reading: the client's bytes pile up unread. Returns early when the server
    // is being destroyed.
    void pause(std::chrono::milliseconds duration);

    // Ends the connection gracefully: half-close, then keep reading (and recording) until
    // the client closes too or a short bound passes, then close. The same happens on its own
    // when a script returns without ending its connection.
    void close();
    // Ends the connection with a reset (RST) instead of a close.
    void reset();
    // Turns Nagle's algorithm off, so every send leaves as a segment of its own.
    void setNoDelay();
    // Sends piece again and again, pausing after each, until the client stops taking bytes,
    // the server is being destroyed or limit bytes have gone out; returns the bytes sent.
    size_t sendRepeatedly(std::string_view piece, std::chrono::milliseconds pause, size_t limit);
    // Sends FIN but keeps the connection open for reading.
    void shutdownWrite();

    // Every byte received on this connection so far, consumed or not.
    std::string received() const;
    bool stopping() const;

private:
    friend class ScriptedServer;
    Conn(std::intptr_t fd, size_t index, std::shared_ptr<detail::ServerState> server,
         std::shared_ptr<detail::ConnectionRecord> record);
    // Waits for more bytes until the deadline; false on timeout, close or stop.
    bool fill(std::chrono::steady_clock::time_point deadline);
    std::string consume(size_t count);
    size_t unreadSize() const;
    void finish();

    std::intptr_t fd_;
    size_t index_;
    size_t consumed_ = 0;
    bool ended_ = false;
    std::shared_ptr<detail::ServerState> server_;
    std::shared_ptr<detail::ConnectionRecord> record_;
};

class ScriptedServer {
public:
    using Script = std::function<void(Conn&)>;

    // Without a script, every connection reads one request and closes.
    ScriptedServer();
    explicit ScriptedServer(Script script);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    // Sets the script for connections accepted from now on.
    void onConnection(Script script);

    uint16_t port() const { return port_; }
    std::string host() const { return "127.0.0.1"; }
    // "http://127.0.0.1:PORT" followed by path.
    std::string url(std::string_view path = "/") const;

    size_t connectionCount() const;
    // Bytes connection i has received so far ("" for a connection that does not exist).
    std::string receivedBytes(size_t i) const;
    bool peerClosed(size_t i) const;

    // Each waits until its condition holds and returns false when the timeout passes first.
    bool waitForConnections(size_t count, std::chrono::milliseconds timeout = kDefaultWait) const;
    bool waitForBytes(size_t i, size_t count,
                      std::chrono::milliseconds timeout = kDefaultWait) const;
    // Until connection i holds one complete request (see requestLength).
    bool waitForRequest(size_t i, std::chrono::milliseconds timeout = kDefaultWait) const;
    // Until the client has closed connection i.
    bool waitForPeerClose(size_t i, std::chrono::milliseconds timeout = kDefaultWait) const;
    // Until every script started so far has returned and its connection is closed.
    bool waitUntilIdle(std::chrono::milliseconds timeout = kDefaultWait) const;

    // Length of the first complete HTTP request in bytes: the head through CR LF CR LF plus
    // the Content-Length of the body; nothing while incomplete.
    static std::optional<size_t> requestLength(std::string_view bytes);
    // A response with a Content-Length, e.g. httpResponse(200, "hi").
    static std::string httpResponse(int status, std::string_view body,
                                    std::string_view extraHeaderLines = {});
    // A port on 127.0.0.1 that nothing listens on (it was free a moment ago).
    static uint16_t unusedPort();

private:
    void acceptLoop();

    std::shared_ptr<detail::ServerState> state_;
    std::intptr_t listenFd_ = -1;
    uint16_t port_ = 0;
    std::thread acceptor_;
};

} // namespace testsupport
