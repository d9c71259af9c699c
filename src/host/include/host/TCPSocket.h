#pragma once

// Non-blocking TCP client socket. Notifications are delivered on the main thread: from the
// event loop (under the application's exception policy) or from inside Poll (where a
// failure propagates to Poll's caller).
//
// Order and meaning of notifications:
//   - Connect ends in exactly one Connected or one Error; never from inside Connect itself.
//   - DataAvailable is raised once per arrival of new bytes, not again for bytes the owner
//     leaves unread.
//   - A close or reset by the server: DataAvailable for the last bytes first, then Error with
//     LastErrorCode 102. The socket is no longer connected, and the unread bytes stay
//     readable (Lookahead, Read, ReadAll) until Purge or the next Connect.
//   - A handler that calls Close (or Connect) drops every notification still pending for the
//     old connection: closing in DataAvailable means no Error follows for that connection.
//   - Re-entry: a handler may call Close, Connect, Read, Write, Poll, or destroy the socket.
//     Notifications of the same connection are never nested: while one is being handled, a
//     nested Poll or event loop keeps reading and writing but holds them, and they follow
//     once the handler returns. Notifications of a connection the handler itself started
//     are delivered by a nested Poll at once (a blocking request made from a handler).
//
// Error codes (LastErrorCode); every code is positive so it never collides with the codes
// the HTTP client defines for itself:
//   0    no error
//   100  unspecified system error (the OS reported something not listed below)
//   101  connection refused by the remote host
//   102  connection lost: the remote host closed the connection, or it was reset
//   103  host not found: the name could not be resolved
//   104  timed out at the system level (connect or send timeout of the OS)
//   105  network or host unreachable
//   106  invalid state: the operation needs a connection that is not there
//   107  invalid address or port (empty address, port outside 1 .. 65535)
//   108  out of resources (no descriptors, no memory)

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace host {

namespace testing {
class SocketPeer;
}

namespace SocketError {
inline constexpr int64_t None = 0;
inline constexpr int64_t System = 100;
inline constexpr int64_t ConnectionRefused = 101;
inline constexpr int64_t LostConnection = 102;
inline constexpr int64_t HostNotFound = 103;
inline constexpr int64_t TimedOut = 104;
inline constexpr int64_t Unreachable = 105;
inline constexpr int64_t InvalidState = 106;
inline constexpr int64_t InvalidAddress = 107;
inline constexpr int64_t OutOfResources = 108;
} // namespace SocketError

class TCPSocket {
public:
    TCPSocket();
    virtual ~TCPSocket();
    TCPSocket(const TCPSocket&) = delete;
    TCPSocket& operator=(const TCPSocket&) = delete;

    // Connection target, read by Connect.
    std::string Address;
    int64_t Port = 0;

    // Starts resolving and connecting and returns at once; ends in a Connected or an Error
    // notification. Any earlier connection is closed first and its unread bytes discarded.
    // Names are resolved on a worker thread; numeric addresses are used directly.
    // Virtual so an owner can supply its own connection (tests hand it an in-process peer).
    virtual void Connect();
    // Drops the connection (and any pending lookup or connect) and unsent bytes, without a
    // notification. Bytes already received stay readable.
    void Close();
    // Discards buffered incoming bytes.
    void Purge();
    // Queues bytes for sending; what the OS does not take at once goes out as the socket
    // becomes writable. Bytes written while the connection is still being made go out once
    // it is up. Without a connection (closed, never connected) nothing is queued and
    // LastErrorCode becomes 106, without a notification.
    void Write(std::string_view bytes);

    // A copy of every buffered incoming byte; consumes nothing.
    std::string Lookahead() const;
    // Takes at most count bytes from the front of the buffer; a count of 0 or less takes
    // everything buffered.
    std::string Read(int64_t count);
    std::string ReadAll();
    // Unread bytes. Past the read buffer's limit the socket stops reading until the owner
    // takes some; what comes meanwhile waits in the OS, and TCP slows the sender down.
    int64_t BytesAvailable() const;
    // The read buffer's limit: 16 MiB (also the most it can be set to), or less for an owner
    // that wants the sender held back sooner.
    void SetReadBufferLimit(int64_t bytes);
    int64_t BytesLeftToSend() const;

    bool IsConnected() const;
    int64_t LastErrorCode() const;

    // Performs pending work of this socket only (resolution result, connect completion,
    // reading, writing) and delivers its notifications before returning. When nothing is
    // pending it waits up to PollSliceMs (or maxWaitMs) for activity on this socket,
    // sleeping in the OS, so a loop of Poll calls does not spin. Delivers no other event of
    // the program.
    void Poll();
    void Poll(int64_t maxWaitMs);
    static constexpr int PollSliceMs = 10;
    // Like Poll, but the wait also ends for any event of the program, which is handled
    // (events of this socket included); without an event loop it is Poll(maxWaitMs).
    void WaitForEvents(int64_t maxWaitMs);

    // Notifications for an owner; a subclass handles them by overriding the On* hooks.
    std::function<void()> Connected;
    std::function<void()> DataAvailable;
    std::function<void()> Error;
    std::function<void(bool userAborted)> SendComplete;
    // Raised when part of the queue went out and some is left: bytesSent counts the bytes
    // sent since the queue was last empty. Returns true to cancel what is left to send,
    // which then ends in SendComplete(true). SendComplete(false) follows when the queue has
    // gone out whole.
    std::function<bool(int64_t bytesSent, int64_t bytesLeft)> SendProgress;

protected:
    virtual void OnConnected();
    virtual void OnDataAvailable();
    virtual void OnError();
    virtual void OnSendComplete(bool userAborted);
    virtual bool OnSendProgress(int64_t bytesSent, int64_t bytesLeft);

private:
    friend class testing::SocketPeer;
    // Takes over an already connected OS socket as the connection (see SocketPeer).
    void adoptConnected(std::intptr_t handle);

    struct Impl;
    friend struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace host
