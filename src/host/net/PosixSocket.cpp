// The socket calls on POSIX systems.

#include "host/TCPSocket.h"
#include "host/net/Net.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace host::net {

namespace {

int64_t errorFromErrno(int err) {
    switch (err) {
    case ECONNREFUSED:
        return SocketError::ConnectionRefused;
    case ECONNRESET:
    case ECONNABORTED:
    case EPIPE:
        return SocketError::LostConnection;
    case ETIMEDOUT:
        return SocketError::TimedOut;
    case ENETUNREACH:
    case EHOSTUNREACH:
    case ENETDOWN:
    case EHOSTDOWN:
        return SocketError::Unreachable;
    case EAFNOSUPPORT:
    case EINVAL:
        return SocketError::InvalidAddress;
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
        return SocketError::OutOfResources;
    default:
        return SocketError::System;
    }
}

int64_t errorFromGai(int gaiError, int systemErrno) {
    switch (gaiError) {
    case EAI_MEMORY:
        return SocketError::OutOfResources;
    case EAI_SERVICE:
    case EAI_FAMILY:
    case EAI_SOCKTYPE:
    case EAI_BADFLAGS:
        return SocketError::InvalidAddress;
    case EAI_SYSTEM:
        return systemErrno == ENOMEM ? SocketError::OutOfResources : SocketError::HostNotFound;
    default:
        return SocketError::HostNotFound;
    }
}

int fdOf(Handle handle) {
    return static_cast<int>(handle);
}

} // namespace

Resolution resolve(const std::string& host, const std::string& port, bool numericOnly,
                   bool& notNumeric) {
    Resolution out;
    notNumeric = false;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | (numericOnly ? AI_NUMERICHOST : 0);
    addrinfo* list = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &list);
    const int err = errno;
    if (rc != 0) {
        if (numericOnly && rc == EAI_NONAME) {
            notNumeric = true;
        } else {
            out.error = errorFromGai(rc, err);
        }
        return out;
    }
    for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
        Endpoint e;
        if (ai->ai_addrlen > e.address.size()) {
            continue;
        }
        std::memcpy(e.address.data(), ai->ai_addr, ai->ai_addrlen);
        e.length = static_cast<int>(ai->ai_addrlen);
        e.family = ai->ai_family;
        out.endpoints.push_back(e);
    }
    ::freeaddrinfo(list);
    return out;
}

Handle connectTo(const Endpoint& target, bool& inProgress, int64_t& error) {
    inProgress = false;
    const int s = ::socket(target.family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0) {
        error = errorFromErrno(errno);
        return kInvalid;
    }
    // Requests go out in one write; waiting for more to coalesce only adds latency.
    const int on = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    int rc;
    do {
        rc = ::connect(s, reinterpret_cast<const sockaddr*>(target.address.data()),
                       static_cast<socklen_t>(target.length));
    } while (rc < 0 && errno == EINTR);
    if (rc == 0 || errno == EINPROGRESS) {
        inProgress = rc != 0;
        return s;
    }
    error = errorFromErrno(errno);
    ::close(s);
    return kInvalid;
}

int64_t connectResult(Handle socket, int osError) {
    int err = osError;
    if (err == 0) {
        socklen_t len = sizeof err;
        if (::getsockopt(fdOf(socket), SOL_SOCKET, SO_ERROR, &err, &len) < 0) {
            err = errno;
        }
    }
    if (err == 0) {
        return 0;
    }
    if (err == EINPROGRESS || err == EALREADY) {
        return -1;
    }
    return errorFromErrno(err);
}

void prepareAdopted(Handle socket) {
    const int fd = fdOf(socket);
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) {
        ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    }
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
}

Io receive(Handle socket, char* into, size_t capacity, size_t& got) {
    while (true) {
        const ssize_t n = ::recv(fdOf(socket), into, capacity, 0);
        if (n > 0) {
            got = static_cast<size_t>(n);
            return Io::Done;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return Io::WouldBlock;
        }
        return Io::Ended;
    }
}

Io send(Handle socket, const char* bytes, size_t count, size_t& sent, int64_t& error) {
    while (true) {
        const ssize_t n = ::send(fdOf(socket), bytes, count, MSG_NOSIGNAL);
        if (n > 0) {
            sent = static_cast<size_t>(n);
            return Io::Done;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return Io::WouldBlock;
        }
        error = n < 0 ? errorFromErrno(errno) : SocketError::LostConnection;
        return Io::Ended;
    }
}

void close(Handle socket) {
    ::close(fdOf(socket));
}

void waitFor(Handle socket, bool readable, bool writable, int64_t timeoutMs, bool& isReadable,
             bool& isWritable) {
    pollfd fd{fdOf(socket), static_cast<short>((readable ? POLLIN : 0) | (writable ? POLLOUT : 0)),
              0};
    const int timeout = static_cast<int>(std::min<int64_t>(timeoutMs, 1 << 30));
    const int rc = ::poll(&fd, 1, timeout);
    isReadable = rc > 0 && readable && (fd.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    isWritable = rc > 0 && writable && (fd.revents & (POLLOUT | POLLHUP | POLLERR)) != 0;
}

} // namespace host::net
