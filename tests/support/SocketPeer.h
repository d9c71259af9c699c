#pragma once

// For the suites and the fuzz targets: the far end of an in-process connection handed to a
// TCPSocket, so a peer can be scripted byte by byte without a listening port.

#include "host/TCPSocket.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace host::testing {

class SocketPeer {
public:
    // Makes a connected pair and hands one end to socket as its connection. Like Connect,
    // that closes any earlier connection first and ends in Connected, never from inside
    // the call. valid() tells whether the pair could be made.
    explicit SocketPeer(TCPSocket& socket);
    ~SocketPeer();
    SocketPeer(const SocketPeer&) = delete;
    SocketPeer& operator=(const SocketPeer&) = delete;

    bool valid() const { return handle_ != -1; }
    // Sends all of bytes (blocking); false once the other end is gone.
    bool write(std::string_view bytes);
    // What has arrived from the socket so far, without waiting.
    std::string readAvailable();
    // Up to count bytes, waiting up to timeoutMs for them.
    std::string read(size_t count, int64_t timeoutMs);
    // Ends the peer's sending direction: the socket sees the close after what was sent.
    void shutdownWrite();
    void close();

private:
    std::intptr_t handle_ = -1;
};

} // namespace host::testing
