#include "support/SocketPeer.h"
#include "support/TestSockets.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport::sock {

namespace {

int fdOf(Handle h) {
    return static_cast<int>(h);
}

bool waitFor(Handle socket, short events, int timeoutMs) {
    pollfd p{fdOf(socket), events, 0};
    return ::poll(&p, 1, timeoutMs) > 0;
}

sockaddr_in loopback(uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    return addr;
}

} // namespace

Handle listenLoopback(uint16_t& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return kInvalid;
    }
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr = loopback(0);
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0 || ::listen(fd, 64) < 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) < 0) {
        ::close(fd);
        return kInvalid;
    }
    port = ntohs(addr.sin_port);
    return fd;
}

Handle accept(Handle listener) {
    const int fd = ::accept4(fdOf(listener), nullptr, nullptr, SOCK_CLOEXEC);
    return fd < 0 ? kInvalid : fd;
}

bool waitReadable(Handle socket, int timeoutMs) {
    return waitFor(socket, POLLIN, timeoutMs);
}

bool waitWritable(Handle socket, int timeoutMs) {
    return waitFor(socket, POLLOUT, timeoutMs);
}

long receive(Handle socket, char* into, size_t capacity) {
    while (true) {
        const ssize_t n = ::recv(fdOf(socket), into, capacity, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return -1;
        }
        return n < 0 ? 0 : static_cast<long>(n);
    }
}

long sendNow(Handle socket, const char* bytes, size_t count) {
    while (true) {
        const ssize_t n = ::send(fdOf(socket), bytes, count, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return -1;
        }
        return n < 0 ? 0 : static_cast<long>(n);
    }
}

void shutdownWrite(Handle socket) {
    ::shutdown(fdOf(socket), SHUT_WR);
}

void resetOnClose(Handle socket) {
    linger hard{1, 0};
    ::setsockopt(fdOf(socket), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
}

void setNoDelay(Handle socket) {
    const int on = 1;
    ::setsockopt(fdOf(socket), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void close(Handle socket) {
    ::close(fdOf(socket));
}

bool canConnect(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in addr = loopback(port);
    const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

} // namespace testsupport::sock

namespace host::testing {

SocketPeer::SocketPeer(TCPSocket& socket) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        return;
    }
    handle_ = fds[1];
    socket.adoptConnected(fds[0]);
}

SocketPeer::~SocketPeer() {
    close();
}

bool SocketPeer::write(std::string_view bytes) {
    while (!bytes.empty() && handle_ != -1) {
        const ssize_t n =
            ::send(static_cast<int>(handle_), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return handle_ != -1;
}

std::string SocketPeer::readAvailable() {
    std::string out;
    char buffer[4096];
    ssize_t n;
    while (handle_ != -1 &&
           (n = ::recv(static_cast<int>(handle_), buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
        out.append(buffer, static_cast<size_t>(n));
    }
    return out;
}

std::string SocketPeer::read(size_t count, int64_t timeoutMs) {
    std::string out;
    char buffer[4096];
    while (handle_ != -1 && out.size() < count) {
        pollfd fd{static_cast<int>(handle_), POLLIN, 0};
        if (::poll(&fd, 1, static_cast<int>(timeoutMs)) <= 0) {
            break;
        }
        const ssize_t n = ::recv(static_cast<int>(handle_), buffer,
                                 std::min(sizeof buffer, count - out.size()), 0);
        if (n <= 0) {
            break;
        }
        out.append(buffer, static_cast<size_t>(n));
    }
    return out;
}

void SocketPeer::shutdownWrite() {
    if (handle_ != -1) {
        ::shutdown(static_cast<int>(handle_), SHUT_WR);
    }
}

void SocketPeer::close() {
    if (handle_ != -1) {
        ::close(static_cast<int>(handle_));
        handle_ = -1;
    }
}

} // namespace host::testing
