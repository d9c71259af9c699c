#pragma once

// The few socket calls the test servers make, the same on every platform; one
// implementation file per OS.

#include <cstddef>
#include <cstdint>

namespace testsupport::sock {

using Handle = std::intptr_t;
inline constexpr Handle kInvalid = -1;

// A listening socket on 127.0.0.1 at a port of the system's choosing (returned in port).
Handle listenLoopback(uint16_t& port);
// An accepted connection, or kInvalid.
Handle accept(Handle listener);
// Waits up to timeoutMs; true when the socket is ready.
bool waitReadable(Handle socket, int timeoutMs);
bool waitWritable(Handle socket, int timeoutMs);

// Bytes received (> 0), 0 for the peer's close or a failure, -1 when nothing is there yet.
long receive(Handle socket, char* into, size_t capacity);
// Bytes sent without waiting (> 0), -1 when the socket cannot take more now, 0 on failure.
long sendNow(Handle socket, const char* bytes, size_t count);

void shutdownWrite(Handle socket);
// Makes the next close a reset (RST) instead of an orderly close.
void resetOnClose(Handle socket);
void setNoDelay(Handle socket);
void close(Handle socket);

// True once a connection to 127.0.0.1:port succeeds.
bool canConnect(uint16_t port);

} // namespace testsupport::sock
