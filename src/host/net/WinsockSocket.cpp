// The socket calls on Windows (Winsock 2).

#include "host/TCPSocket.h"
#include "host/net/Net.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <winsock2.h>
#include <ws2tcpip.h>

namespace host::net {

namespace {

// Winsock must be started once per process before any other call; it stays up until exit.
bool winsockStarted() {
    static const bool started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

SOCKET socketOf(Handle handle) {
    return static_cast<SOCKET>(handle);
}

int64_t errorFromWsa(int err) {
    switch (err) {
    case WSAECONNREFUSED:
        return SocketError::ConnectionRefused;
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAENETRESET:
    case WSAESHUTDOWN:
        return SocketError::LostConnection;
    case WSAETIMEDOUT:
        return SocketError::TimedOut;
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH:
    case WSAENETDOWN:
    case WSAEHOSTDOWN:
        return SocketError::Unreachable;
    case WSAEAFNOSUPPORT:
    case WSAEINVAL:
    case WSAEADDRNOTAVAIL:
        return SocketError::InvalidAddress;
    case WSAEMFILE:
    case WSAENOBUFS:
    case WSA_NOT_ENOUGH_MEMORY:
        return SocketError::OutOfResources;
    case WSAHOST_NOT_FOUND:
    case WSATRY_AGAIN:
    case WSANO_RECOVERY:
    case WSANO_DATA:
        return SocketError::HostNotFound;
    default:
        return SocketError::System;
    }
}

int64_t errorFromGai(int gaiError) {
    switch (gaiError) {
    case EAI_MEMORY:
        return SocketError::OutOfResources;
    case EAI_SERVICE:
    case EAI_FAMILY:
    case EAI_SOCKTYPE:
    case EAI_BADFLAGS:
        return SocketError::InvalidAddress;
    default:
        return SocketError::HostNotFound;
    }
}

} // namespace

Resolution resolve(const std::string& host, const std::string& port, bool numericOnly,
                   bool& notNumeric) {
    Resolution out;
    notNumeric = false;
    if (!winsockStarted()) {
        out.error = SocketError::System;
        return out;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | (numericOnly ? AI_NUMERICHOST : 0);
    addrinfo* list = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &list);
    if (rc != 0) {
        if (numericOnly && (rc == EAI_NONAME || rc == WSAHOST_NOT_FOUND)) {
            notNumeric = true;
        } else {
            out.error = errorFromGai(rc);
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
    if (!winsockStarted()) {
        error = SocketError::System;
        return kInvalid;
    }
    // Not inherited by child processes, like the POSIX side's close-on-exec.
    const SOCKET s = ::WSASocketW(target.family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                  WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) {
        error = errorFromWsa(::WSAGetLastError());
        return kInvalid;
    }
    u_long nonBlocking = 1;
    ::ioctlsocket(s, FIONBIO, &nonBlocking);
    // Requests go out in one write; waiting for more to coalesce only adds latency.
    const BOOL on = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    const int rc =
        ::connect(s, reinterpret_cast<const sockaddr*>(target.address.data()), target.length);
    if (rc == 0) {
        return static_cast<Handle>(s);
    }
    const int err = ::WSAGetLastError();
    if (err == WSAEWOULDBLOCK || err == WSAEINPROGRESS) {
        inProgress = true;
        return static_cast<Handle>(s);
    }
    error = errorFromWsa(err);
    ::closesocket(s);
    return kInvalid;
}

int64_t connectResult(Handle socket, int osError) {
    int err = osError;
    if (err == 0) {
        int len = sizeof err;
        if (::getsockopt(socketOf(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err),
                         &len) != 0) {
            err = ::WSAGetLastError();
        }
    }
    if (err == 0) {
        // Writable with no error recorded: connected only if there is a peer.
        sockaddr_storage peer{};
        int len = sizeof peer;
        if (::getpeername(socketOf(socket), reinterpret_cast<sockaddr*>(&peer), &len) == 0) {
            return 0;
        }
        err = ::WSAGetLastError();
        return err == WSAENOTCONN ? -1 : errorFromWsa(err);
    }
    if (err == WSAEWOULDBLOCK || err == WSAEINPROGRESS || err == WSAEALREADY) {
        return -1;
    }
    return errorFromWsa(err);
}

void prepareAdopted(Handle socket) {
    u_long nonBlocking = 1;
    ::ioctlsocket(socketOf(socket), FIONBIO, &nonBlocking);
}

Io receive(Handle socket, char* into, size_t capacity, size_t& got) {
    const int n =
        ::recv(socketOf(socket), into, static_cast<int>(std::min<size_t>(capacity, 1 << 30)), 0);
    if (n > 0) {
        got = static_cast<size_t>(n);
        return Io::Done;
    }
    if (n < 0 && ::WSAGetLastError() == WSAEWOULDBLOCK) {
        return Io::WouldBlock;
    }
    return Io::Ended;
}

Io send(Handle socket, const char* bytes, size_t count, size_t& sent, int64_t& error) {
    const int n =
        ::send(socketOf(socket), bytes, static_cast<int>(std::min<size_t>(count, 1 << 30)), 0);
    if (n > 0) {
        sent = static_cast<size_t>(n);
        return Io::Done;
    }
    const int err = n < 0 ? ::WSAGetLastError() : 0;
    if (err == WSAEWOULDBLOCK) {
        return Io::WouldBlock;
    }
    error = err != 0 ? errorFromWsa(err) : SocketError::LostConnection;
    return Io::Ended;
}

void close(Handle socket) {
    ::closesocket(socketOf(socket));
}

void waitFor(Handle socket, bool readable, bool writable, int64_t timeoutMs, bool& isReadable,
             bool& isWritable) {
    // select, not WSAPoll: it reports a failed connect (in the exception set) everywhere.
    fd_set reads;
    fd_set writes;
    fd_set errors;
    FD_ZERO(&reads);
    FD_ZERO(&writes);
    FD_ZERO(&errors);
    const SOCKET s = socketOf(socket);
    if (readable) {
        FD_SET(s, &reads);
    }
    if (writable) {
        FD_SET(s, &writes);
    }
    FD_SET(s, &errors);
    timeval timeout{static_cast<long>(timeoutMs / 1000),
                    static_cast<long>(timeoutMs % 1000) * 1000};
    const int rc = ::select(0, &reads, &writes, &errors, &timeout);
    const bool failed = rc > 0 && FD_ISSET(s, &errors);
    isReadable = rc > 0 && readable && (FD_ISSET(s, &reads) || failed);
    isWritable = rc > 0 && writable && (FD_ISSET(s, &writes) || failed);
}

} // namespace host::net
