#pragma once

// The operating system's socket calls, one implementation file per OS. The socket core
// keeps every rule (buffering, notification order, re-entry); these only translate calls
// and map the OS's errors onto the host's error-code table.

#include "host/EventLoop.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace host::net {

using Handle = loop::Handle;
inline constexpr Handle kInvalid = -1;

// One resolved address, opaque to the core.
struct Endpoint {
    std::array<unsigned char, 128> address{};
    int length = 0;
    int family = 0;
};

struct Resolution {
    int64_t error = 0; // a SocketError code, 0 on success
    std::vector<Endpoint> endpoints;
};

// Resolves host and port. With numericOnly, a host that is not a numeric address gives
// notNumeric set and no error, so the caller can look the name up off the main thread.
Resolution resolve(const std::string& host, const std::string& port, bool numericOnly,
                   bool& notNumeric);

// A non-blocking stream socket with Nagle off, connecting to target. inProgress tells a
// connect that completes later; on failure the handle is kInvalid and error is set.
Handle connectTo(const Endpoint& target, bool& inProgress, int64_t& error);

// After a connecting socket became writable (or the platform reported osError with it):
// 0 connected, -1 still in progress, else the error code.
int64_t connectResult(Handle socket, int osError);

// Adopts a connected socket made elsewhere: non-blocking, not inherited by children.
void prepareAdopted(Handle socket);

enum class Io { Done, WouldBlock, Ended };
// Receive/send some bytes; Ended is the peer's close (receive returned 0) or a failure.
Io receive(Handle socket, char* into, size_t capacity, size_t& got);
Io send(Handle socket, const char* bytes, size_t count, size_t& sent, int64_t& error);

void close(Handle socket);

// Waits up to timeoutMs for the socket to become readable or writable as asked.
void waitFor(Handle socket, bool readable, bool writable, int64_t timeoutMs, bool& isReadable,
             bool& isWritable);

} // namespace host::net
