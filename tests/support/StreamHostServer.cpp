#include "support/StreamHostServer.h"

#include "support/AudioServers.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace tamsel::test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// Every wait wakes this often to notice a stop.
constexpr int SliceMs = 50;
constexpr std::chrono::milliseconds HeadBound{5000};

int connectUpstream(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (port <= 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string page(int status, const char* reason, const std::string& contentType,
                 const std::string& body) {
    return "HTTP/1.0 " + std::to_string(status) + " " + reason +
           "\r\nContent-Type: " + contentType +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
           body;
}

// The request as the origin server expects it: the absolute target of a proxy request
// becomes a path, and the proxy's own header goes.
std::string originForm(const std::string& head) {
    std::string out;
    size_t at = 0;
    bool first = true;
    while (at < head.size()) {
        size_t end = head.find("\r\n", at);
        if (end == std::string::npos) {
            end = head.size();
        }
        std::string line = head.substr(at, end - at);
        at = end + 2;
        if (first) {
            first = false;
            const size_t scheme = line.find("://");
            const size_t space = line.find(' ');
            if (scheme != std::string::npos && space != std::string::npos && scheme > space) {
                const size_t path = line.find('/', scheme + 3);
                line = line.substr(0, space + 1) + (path == std::string::npos
                                                        ? "/ " + line.substr(line.rfind(' ') + 1)
                                                        : line.substr(path));
            }
        } else if (line.empty()) {
            break;
        } else if (line.rfind("Proxy-", 0) == 0) {
            continue;
        }
        out += line + "\r\n";
    }
    return out + "\r\n";
}

} // namespace

StreamHostServer::StreamHostServer() {
    port_ = freeTcpPort();
    if (!listen()) {
        throw std::runtime_error("stream host: cannot listen on 127.0.0.1:" +
                                 std::to_string(port_));
    }
    acceptor_ = std::thread([this] { acceptLoop(); });
}

StreamHostServer::~StreamHostServer() {
    stopping_ = true;
    if (acceptor_.joinable()) {
        acceptor_.join();
    }
    std::vector<std::thread> workers;
    {
        std::lock_guard lock(mutex_);
        workers.swap(workers_);
        if (listenFd_ >= 0) {
            ::close(listenFd_);
            listenFd_ = -1;
        }
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
}

std::string StreamHostServer::proxyUrl() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/";
}

bool StreamHostServer::listen() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return false;
    }
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port_));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 16) != 0) {
        ::close(fd);
        return false;
    }
    std::lock_guard lock(mutex_);
    listenFd_ = fd;
    return true;
}

void StreamHostServer::closeListener() {
    std::lock_guard lock(mutex_);
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        listenFd_ = -1;
    }
}

bool StreamHostServer::reopenListener() {
    {
        std::lock_guard lock(mutex_);
        if (listenFd_ >= 0) {
            return true;
        }
    }
    return listen();
}

void StreamHostServer::acceptLoop() {
    while (!stopping_) {
        int fd = -1;
        {
            // The listener is polled under the lock, so closeListener never closes it
            // under a poll; the slice is short.
            std::lock_guard lock(mutex_);
            if (listenFd_ >= 0) {
                pollfd p{listenFd_, POLLIN, 0};
                if (::poll(&p, 1, 0) > 0) {
                    fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
                }
            }
            if (fd >= 0) {
                const size_t index = connections_.size();
                connections_.push_back({"", true, Clock::now()});
                const uint64_t generation = generation_;
                workers_.emplace_back(
                    [this, fd, index, generation] { serve(fd, index, generation); });
                continue;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void StreamHostServer::dropConnections() {
    ++generation_;
}

void StreamHostServer::setBehaviour(Behaviour behaviour) {
    std::lock_guard lock(mutex_);
    behaviour_ = behaviour;
}

void StreamHostServer::setUpstreamPort(int port) {
    std::lock_guard lock(mutex_);
    upstreamPort_ = port;
}

void StreamHostServer::setGarbageDuration(std::chrono::milliseconds duration) {
    std::lock_guard lock(mutex_);
    garbageDuration_ = duration;
}

size_t StreamHostServer::connectionCount() const {
    std::lock_guard lock(mutex_);
    return connections_.size();
}

std::vector<std::string> StreamHostServer::requestLines() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> lines;
    for (const Connection& c : connections_) {
        lines.push_back(c.requestLine);
    }
    return lines;
}

size_t StreamHostServer::openConnections() const {
    std::lock_guard lock(mutex_);
    size_t open = 0;
    for (const Connection& c : connections_) {
        open += c.open ? 1 : 0;
    }
    return open;
}

bool StreamHostServer::waitForConnections(size_t count, std::chrono::milliseconds timeout) const {
    const auto deadline = Clock::now() + timeout;
    while (connectionCount() < count) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

bool StreamHostServer::waitUntilNoneOpen(std::chrono::milliseconds timeout) const {
    const auto deadline = Clock::now() + timeout;
    while (openConnections() > 0) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

bool StreamHostServer::sendAll(int fd, const std::string& bytes) {
    size_t sent = 0;
    const auto deadline = Clock::now() + HeadBound;
    while (sent < bytes.size()) {
        if (stopping_ || Clock::now() >= deadline) {
            return false;
        }
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, SliceMs) <= 0) {
            continue;
        }
        const ssize_t n =
            ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

bool StreamHostServer::clientGone(int fd, int waitMs) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, waitMs) <= 0) {
        return false;
    }
    if ((p.revents & (POLLHUP | POLLERR)) != 0) {
        return true;
    }
    char c = 0;
    const ssize_t n = ::recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) {
        // The player sends nothing after its request; whatever it sends is dropped.
        char sink[4096];
        (void)::recv(fd, sink, sizeof sink, MSG_DONTWAIT);
        return false;
    }
    return n == 0 || (errno != EAGAIN && errno != EINTR);
}

std::optional<std::string> StreamHostServer::readHead(int fd) {
    std::string head;
    const auto deadline = Clock::now() + HeadBound;
    while (head.find("\r\n\r\n") == std::string::npos) {
        if (stopping_ || Clock::now() >= deadline) {
            return std::nullopt;
        }
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, SliceMs) <= 0) {
            continue;
        }
        char buffer[2048];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            return std::nullopt;
        }
        head.append(buffer, static_cast<size_t>(n));
    }
    return head.substr(0, head.find("\r\n\r\n") + 4);
}

void StreamHostServer::serve(int fd, size_t index, uint64_t generation) {
    Behaviour behaviour;
    std::chrono::milliseconds garbageFor;
    {
        std::lock_guard lock(mutex_);
        behaviour = behaviour_;
        garbageFor = garbageDuration_;
    }
    const auto until = Clock::now() + ConnectionLifetime;
    if (behaviour == Behaviour::ResetAtAccept) {
        const linger reset{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    } else if (const auto head = readHead(fd)) {
        {
            std::lock_guard lock(mutex_);
            connections_[index].requestLine = head->substr(0, head->find("\r\n"));
        }
        switch (behaviour) {
        case Behaviour::Relay:
            relay(fd, *head, generation);
            break;
        case Behaviour::Silent:
            while (!ending(generation) && Clock::now() < until && !clientGone(fd, SliceMs)) {
            }
            break;
        case Behaviour::GarbageAudio: {
            if (!sendAll(fd, "HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\n"
                             "icy-name: tamsel test\r\nicy-br: 128\r\n\r\n")) {
                break;
            }
            // About 128 kbit/s of noise that no decoder can make sense of; the same bytes on
            // every run.
            std::mt19937 random(static_cast<uint32_t>(index) + 1);
            const auto end = Clock::now() + garbageFor;
            while (!ending(generation) && Clock::now() < end) {
                std::string chunk(1600, '\0');
                for (char& c : chunk) {
                    c = static_cast<char>(random() & 0xFF);
                }
                if (!sendAll(fd, chunk) || clientGone(fd, 100)) {
                    break;
                }
            }
            break;
        }
        case Behaviour::HtmlPage:
            sendAll(fd, page(200, "OK", "text/html; charset=utf-8",
                             "<!DOCTYPE html>\n<html><head><title>Sign in</title></head>"
                             "<body><h1>Sign in to continue</h1><p>This network needs you to "
                             "accept its terms first.</p></body></html>\n"));
            // Leave the closing to the client, as a server does after a complete reply.
            while (!ending(generation) && Clock::now() < until && !clientGone(fd, SliceMs)) {
            }
            break;
        case Behaviour::ResetAtAccept:
            break;
        }
    }
    ::close(fd);
    std::lock_guard lock(mutex_);
    connections_[index].open = false;
}

void StreamHostServer::relay(int fd, const std::string& head, uint64_t generation) {
    int port = 0;
    {
        std::lock_guard lock(mutex_);
        port = upstreamPort_;
    }
    const int upstream = connectUpstream(port);
    if (upstream < 0) {
        // As a proxy answers when the origin refuses.
        sendAll(fd, page(502, "Bad Gateway", "text/html",
                         "<html><body><h1>502 Bad Gateway</h1></body></html>\n"));
        return;
    }
    const auto until = Clock::now() + ConnectionLifetime;
    if (sendAll(upstream, originForm(head))) {
        char buffer[16384];
        while (!ending(generation) && Clock::now() < until) {
            pollfd p[2] = {{upstream, POLLIN, 0}, {fd, POLLIN, 0}};
            if (::poll(p, 2, SliceMs) <= 0) {
                continue;
            }
            if (p[1].revents != 0 && clientGone(fd, 0)) {
                break;
            }
            if (p[0].revents != 0) {
                const ssize_t n = ::recv(upstream, buffer, sizeof buffer, 0);
                if (n <= 0 || !sendAll(fd, std::string(buffer, static_cast<size_t>(n)))) {
                    break;
                }
            }
        }
    }
    ::close(upstream);
}

} // namespace tamsel::test
