#include "support/SocketPeer.h"
#include "support/TestSockets.h"

#include <algorithm>
#include <winsock2.h>
#include <ws2tcpip.h>

namespace testsupport::sock {

namespace {

bool started() {
    static const bool ok = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return ok;
}

SOCKET socketOf(Handle h) {
    return static_cast<SOCKET>(h);
}

bool waitFor(Handle socket, bool write, int timeoutMs) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(socketOf(socket), &set);
    timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    return ::select(0, write ? nullptr : &set, write ? &set : nullptr, nullptr, &timeout) > 0;
}

sockaddr_in loopback(uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    return addr;
}

void setNonBlocking(SOCKET s) {
    u_long on = 1;
    ::ioctlsocket(s, FIONBIO, &on);
}

} // namespace

Handle listenLoopback(uint16_t& port) {
    if (!started()) {
        return kInvalid;
    }
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        return kInvalid;
    }
    setNonBlocking(s);
    sockaddr_in addr = loopback(0);
    int len = sizeof addr;
    if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(s, 64) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ::closesocket(s);
        return kInvalid;
    }
    port = ntohs(addr.sin_port);
    return static_cast<Handle>(s);
}

Handle accept(Handle listener) {
    const SOCKET s = ::accept(socketOf(listener), nullptr, nullptr);
    if (s == INVALID_SOCKET) {
        return kInvalid;
    }
    setNonBlocking(s);
    return static_cast<Handle>(s);
}

bool waitReadable(Handle socket, int timeoutMs) {
    return waitFor(socket, false, timeoutMs);
}

bool waitWritable(Handle socket, int timeoutMs) {
    return waitFor(socket, true, timeoutMs);
}

long receive(Handle socket, char* into, size_t capacity) {
    const int n =
        ::recv(socketOf(socket), into, static_cast<int>(std::min<size_t>(capacity, 1 << 30)), 0);
    if (n < 0 && ::WSAGetLastError() == WSAEWOULDBLOCK) {
        return -1;
    }
    return n < 0 ? 0 : n;
}

long sendNow(Handle socket, const char* bytes, size_t count) {
    const int n =
        ::send(socketOf(socket), bytes, static_cast<int>(std::min<size_t>(count, 1 << 30)), 0);
    if (n < 0 && ::WSAGetLastError() == WSAEWOULDBLOCK) {
        return -1;
    }
    return n < 0 ? 0 : n;
}

void shutdownWrite(Handle socket) {
    ::shutdown(socketOf(socket), SD_SEND);
}

void resetOnClose(Handle socket) {
    linger hard{1, 0};
    ::setsockopt(socketOf(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard),
                 sizeof hard);
}

void setNoDelay(Handle socket) {
    const BOOL on = TRUE;
    ::setsockopt(socketOf(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                 sizeof on);
}

void close(Handle socket) {
    ::closesocket(socketOf(socket));
}

bool canConnect(uint16_t port) {
    if (!started()) {
        return false;
    }
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    const sockaddr_in addr = loopback(port);
    const bool ok = ::connect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    ::closesocket(s);
    return ok;
}

} // namespace testsupport::sock

namespace host::testing {

namespace {

// Windows has no socketpair: a loopback listener accepts the one connection we make to it.
bool makePair(SOCKET& a, SOCKET& b) {
    a = b = INVALID_SOCKET;
    const SOCKET listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener == INVALID_SOCKET) {
        return false;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof addr;
    bool ok = ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
              ::listen(listener, 1) == 0 &&
              ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
    if (ok) {
        a = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        ok = a != INVALID_SOCKET &&
             ::connect(a, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    if (ok) {
        b = ::accept(listener, nullptr, nullptr);
        ok = b != INVALID_SOCKET;
    }
    ::closesocket(listener);
    if (!ok) {
        if (a != INVALID_SOCKET) {
            ::closesocket(a);
        }
        a = INVALID_SOCKET;
        return false;
    }
    const BOOL on = TRUE;
    ::setsockopt(a, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    ::setsockopt(b, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    return true;
}

} // namespace

SocketPeer::SocketPeer(TCPSocket& socket) {
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data); // counted: the product's own start is not undone
    SOCKET ours;
    SOCKET theirs;
    if (!makePair(ours, theirs)) {
        return;
    }
    handle_ = static_cast<std::intptr_t>(theirs);
    socket.adoptConnected(static_cast<std::intptr_t>(ours));
}

SocketPeer::~SocketPeer() {
    close();
}

bool SocketPeer::write(std::string_view bytes) {
    while (!bytes.empty() && handle_ != -1) {
        const int n = ::send(static_cast<SOCKET>(handle_), bytes.data(),
                             static_cast<int>(std::min<size_t>(bytes.size(), 1 << 30)), 0);
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
    while (handle_ != -1) {
        u_long pending = 0;
        if (::ioctlsocket(static_cast<SOCKET>(handle_), FIONREAD, &pending) != 0 || pending == 0) {
            break;
        }
        const int n = ::recv(static_cast<SOCKET>(handle_), buffer, sizeof buffer, 0);
        if (n <= 0) {
            break;
        }
        out.append(buffer, static_cast<size_t>(n));
    }
    return out;
}

std::string SocketPeer::read(size_t count, int64_t timeoutMs) {
    std::string out;
    char buffer[4096];
    while (handle_ != -1 && out.size() < count) {
        if (!testsupport::sock::waitReadable(
                handle_, static_cast<int>(std::min<int64_t>(timeoutMs, 1 << 30)))) {
            break;
        }
        const int n = ::recv(static_cast<SOCKET>(handle_), buffer,
                             static_cast<int>(std::min(sizeof buffer, count - out.size())), 0);
        if (n <= 0) {
            break;
        }
        out.append(buffer, static_cast<size_t>(n));
    }
    return out;
}

void SocketPeer::shutdownWrite() {
    if (handle_ != -1) {
        ::shutdown(static_cast<SOCKET>(handle_), SD_SEND);
    }
}

void SocketPeer::close() {
    if (handle_ != -1) {
        ::closesocket(static_cast<SOCKET>(handle_));
        handle_ = -1;
    }
}

} // namespace host::testing
