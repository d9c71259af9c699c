#pragma once

// A stand-in for the station's stream host, for fault tests of the player. The player is
// pointed at it through its HTTP proxy setting, so the station's name is never looked up:
// every request arrives here in absolute form and is answered by the behaviour currently
// set, from relaying to a real Icecast to refusing or sending garbage. It listens on
// 127.0.0.1 at a port that stays the same for its whole life (the proxy setting is read
// once), can stop and start listening on it, and counts and records every connection.
// Each connection is served on a thread of its own for at most ConnectionLifetime; the
// destructor ends and joins them all.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tamsel::test {

class StreamHostServer {
public:
    enum class Behaviour {
        Relay,         // forward to 127.0.0.1:upstreamPort; 502 page when that is refused
        ResetAtAccept, // accept and reset at once, before reading anything
        Silent,        // read the request, never answer, keep the connection open
        GarbageAudio,  // an audio/mpeg head, then random bytes for garbageDuration, then close
        HtmlPage,      // 200 with an HTML page instead of audio, then close
    };

    static constexpr std::chrono::seconds ConnectionLifetime{60};

    StreamHostServer();
    ~StreamHostServer();
    StreamHostServer(const StreamHostServer&) = delete;
    StreamHostServer& operator=(const StreamHostServer&) = delete;

    int port() const { return port_; }
    // For http_proxy.
    std::string proxyUrl() const;

    void setBehaviour(Behaviour behaviour);
    void setUpstreamPort(int port);
    void setGarbageDuration(std::chrono::milliseconds duration);

    // Stops listening: connections to the port are refused. Connections already accepted go
    // on as their behaviour says.
    void closeListener();
    // Listens on the same port again; false when it could not be bound.
    bool reopenListener();
    // Ends every connection accepted so far, as a server that goes away does.
    void dropConnections();

    size_t connectionCount() const;
    // The first line of each connection's request ("" while none arrived).
    std::vector<std::string> requestLines() const;
    // Connections accepted and not yet ended (by either side).
    size_t openConnections() const;
    bool waitForConnections(size_t count, std::chrono::milliseconds timeout) const;
    // Until no accepted connection is open any more.
    bool waitUntilNoneOpen(std::chrono::milliseconds timeout) const;

private:
    struct Connection {
        std::string requestLine;
        bool open = true;
        std::chrono::steady_clock::time_point accepted;
    };

    bool listen();
    void acceptLoop();
    void serve(int fd, size_t index, uint64_t generation);
    void relay(int fd, const std::string& head, uint64_t generation);
    bool ending(uint64_t generation) const { return stopping_ || generation != generation_; }
    // Reads the request head (through CR LF CR LF) within a bound; nullopt on close or timeout.
    std::optional<std::string> readHead(int fd);
    bool sendAll(int fd, const std::string& bytes);
    // True when the client has closed its side or reset (checked without consuming data).
    bool clientGone(int fd, int waitMs);

    int port_ = 0;
    mutable std::mutex mutex_;
    int listenFd_ = -1;
    Behaviour behaviour_ = Behaviour::Relay;
    int upstreamPort_ = 0;
    std::chrono::milliseconds garbageDuration_{10000};
    std::vector<Connection> connections_;
    std::vector<std::thread> workers_;
    std::atomic<bool> stopping_{false};
    // Connections accepted before the last dropConnections() end at their next slice.
    std::atomic<uint64_t> generation_{0};
    std::thread acceptor_;
};

} // namespace tamsel::test
