// The socket's own rules, the same on every platform: buffering, the order and re-entry of
// notifications, name resolution off the main thread. The OS calls are in net/, the event
// loop behind EventLoop.h.

#include "host/TCPSocket.h"

#include "host/Application.h"
#include "host/EventLoop.h"
#include "host/net/Net.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace host {

namespace {

// One receive takes this much, and one activation reads at most kMaxReadPerActivation
// before handing the bytes to the owner, so a fast sender cannot starve the event loop.
constexpr size_t kRecvChunk = 256 * 1024;
constexpr size_t kMaxReadPerActivation = 1024 * 1024;
// Past this many unread bytes the socket stops reading until the owner takes some, so an
// owner that does not read cannot make the buffer grow without bound.
constexpr size_t kInputHighWater = 16 * 1024 * 1024;
// Longest a blocking wait goes without letting the windows answer the desktop: well inside
// the second a window manager gives a ping.
constexpr int64_t kKeepAliveSliceMs = 50;
// A purged buffer bigger than this gives its memory back.
constexpr size_t kKeepBufferCapacity = 1024 * 1024;
constexpr size_t kMinBufferCapacity = 64 * 1024;

// Contiguous bytes consumed from the front; the dead front is reclaimed only when it is at
// least as large as what is still live, so consuming and appending both stay amortised O(1)
// per byte.
class ByteBuffer {
public:
    size_t size() const { return end_ - begin_; }
    bool empty() const { return end_ == begin_; }
    const char* data() const { return buf_.get() + begin_; }

    char* prepare(size_t n) {
        if (cap_ - end_ >= n) {
            return buf_.get() + end_;
        }
        const size_t live = size();
        if (begin_ >= live && live + n <= cap_) {
            std::memmove(buf_.get(), buf_.get() + begin_, live);
        } else {
            const size_t newCap = std::max({cap_ * 2, live + n, kMinBufferCapacity});
            std::unique_ptr<char[]> bigger(new char[newCap]);
            if (live > 0) {
                std::memcpy(bigger.get(), buf_.get() + begin_, live);
            }
            buf_ = std::move(bigger);
            cap_ = newCap;
        }
        begin_ = 0;
        end_ = live;
        return buf_.get() + end_;
    }
    void commit(size_t n) { end_ += n; }
    void append(const char* bytes, size_t n) {
        std::memcpy(prepare(n), bytes, n);
        commit(n);
    }
    void consume(size_t n) {
        begin_ += n;
        if (begin_ >= end_) {
            begin_ = end_ = 0;
        }
    }
    void clear() { begin_ = end_ = 0; }
    void shrink() {
        if (cap_ > kKeepBufferCapacity && empty()) {
            buf_.reset();
            cap_ = 0;
        }
    }

private:
    std::unique_ptr<char[]> buf_;
    size_t cap_ = 0;
    size_t begin_ = 0;
    size_t end_ = 0;
};

// A name lookup running on a worker thread. The worker and the socket share it, so the
// socket may be closed or destroyed while the lookup still runs; the worker then finishes
// into a result nobody reads. Poll waits on the condition; the event loop hears of the
// result through a post.
struct Lookup {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    net::Resolution result;
};

enum class State { Idle, Resolving, Connecting, Connected, Closed };

} // namespace

struct TCPSocket::Impl {
    explicit Impl(TCPSocket& o) : owner(o) {}
    ~Impl() {
        *alive = false;
        lookup.reset();
        closeSocket();
    }
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    TCPSocket& owner;
    State state = State::Idle;
    net::Handle socket = net::kInvalid;
    int64_t lastError = SocketError::None;
    // Counts connections: Close and Connect start a new one, and notifications that belong
    // to an older connection are dropped.
    uint64_t generation = 0;

    std::shared_ptr<Lookup> lookup;
    std::vector<net::Endpoint> endpoints;
    size_t nextEndpoint = 0;
    int64_t lastConnectError = SocketError::None;

    ByteBuffer input;
    size_t inputLimit = kInputHighWater; // reading stops past this many unread bytes
    ByteBuffer output;
    int64_t sentInBatch = 0;

    // Notifications waiting to be delivered, for the current generation.
    bool pendingConnected = false;
    bool pendingData = false;
    bool pendingProgress = false;
    bool pendingComplete = false;
    bool pendingCompleteAborted = false;
    bool pendingError = false;

    bool delivering = false;
    uint64_t deliveringGeneration = 0;
    bool deliveryScheduled = false;
    // False once the socket is destroyed; a delivery in progress checks it after every
    // notification because the owner may destroy the socket from its handler.
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);

    std::unique_ptr<loop::Watch> watch;

    bool anyPending() const {
        return pendingConnected || pendingData || pendingProgress || pendingComplete ||
               pendingError;
    }
    bool canDeliverNow() const { return !(delivering && deliveringGeneration == generation); }

    void clearPending() {
        pendingConnected = pendingData = pendingProgress = false;
        pendingComplete = pendingCompleteAborted = pendingError = false;
    }

    // --- event-loop glue ----------------------------------------------------------------

    // Runs fn as a host-delivered notification: under the exception policy, and with a
    // second chance for notifications a failing handler left pending.
    template <typename Fn>
    void dispatch(Fn fn) {
        std::weak_ptr<bool> token = alive;
        runUnderExceptionPolicy([&] {
            if (auto a = token.lock(); a && *a) {
                fn();
            }
        });
        if (auto a = token.lock(); a && *a && anyPending()) {
            scheduleDelivery();
        }
    }

    bool wantsRead() const { return state == State::Connected && input.size() < inputLimit; }
    bool wantsWrite() const {
        return state == State::Connecting || (state == State::Connected && !output.empty());
    }

    // The watch belongs to one connection: a late report for an earlier one is ignored.
    void updateWatch() {
        if (socket == net::kInvalid || !loop::available()) {
            return;
        }
        if (!watch) {
            if (!wantsRead() && !wantsWrite()) {
                return;
            }
            std::weak_ptr<bool> token = alive;
            const uint64_t forGeneration = generation;
            watch = loop::watchSocket(
                socket, [this, token, forGeneration](bool readable, bool writable, int osError) {
                    if (auto a = token.lock(); !a || !*a || forGeneration != generation) {
                        return;
                    }
                    dispatch([&] {
                        onReady(readable, writable, osError);
                        deliverPending();
                    });
                });
        }
        watch->want(wantsRead(), wantsWrite());
    }

    void scheduleDelivery() {
        if (deliveryScheduled || !loop::available() || !anyPending()) {
            return;
        }
        deliveryScheduled = true;
        std::weak_ptr<bool> token = alive;
        loop::post([this, token] {
            if (auto a = token.lock(); !a || !*a) {
                return;
            }
            deliveryScheduled = false;
            dispatch([this] { deliverPending(); });
        });
    }

    void onReady(bool readable, bool writable, int osError) {
        if (state == State::Connecting) {
            if (writable || osError != 0) {
                onConnectWritable(osError);
            }
            return;
        }
        if (state != State::Connected) {
            return;
        }
        if (readable) {
            onReadable();
        }
        if (state == State::Connected && writable) {
            flushOutput();
        }
    }

    // --- connection lifecycle -----------------------------------------------------------

    void closeSocket() {
        // The watch goes before the socket it watches.
        watch.reset();
        if (socket != net::kInvalid) {
            net::close(socket);
            socket = net::kInvalid;
        }
    }

    void reset() {
        ++generation;
        lookup.reset();
        closeSocket();
        endpoints.clear();
        nextEndpoint = 0;
        output.clear();
        sentInBatch = 0;
        clearPending();
        if (state != State::Idle) {
            state = State::Closed;
        }
    }

    // The connection failed or ended; the owner hears of it through Error. Unread input
    // stays readable.
    void fail(int64_t code) {
        lookup.reset();
        closeSocket();
        endpoints.clear();
        output.clear();
        state = State::Closed;
        lastError = code;
        pendingError = true;
        scheduleDelivery();
    }

    void beginConnection() {
        reset();
        input.clear();
        lastError = SocketError::None;
        lastConnectError = SocketError::None;
    }

    void connect() {
        beginConnection();
        std::string host = owner.Address;
        if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
            host = host.substr(1, host.size() - 2);
        }
        if (host.empty() || host.find('\0') != std::string::npos || owner.Port < 1 ||
            owner.Port > 65535) {
            fail(SocketError::InvalidAddress);
            return;
        }
        const std::string port = std::to_string(owner.Port);
        bool notNumeric = false;
        net::Resolution numeric = net::resolve(host, port, true, notNumeric);
        if (notNumeric) {
            startLookup(host, port);
        } else if (numeric.error != SocketError::None) {
            fail(numeric.error);
        } else {
            endpoints = std::move(numeric.endpoints);
            startConnect();
        }
    }

    void adopt(net::Handle handle) {
        beginConnection();
        net::prepareAdopted(handle);
        socket = handle;
        onConnected();
    }

    void startLookup(const std::string& host, const std::string& port) {
        auto job = std::make_shared<Lookup>();
        const bool tellLoop = loop::available();
        std::weak_ptr<bool> token = alive;
        const uint64_t forGeneration = generation;
        auto whenDone = [this, token, forGeneration, job] {
            if (auto a = token.lock(); !a || !*a || forGeneration != generation || lookup != job) {
                return;
            }
            dispatch([this] {
                onLookupDone();
                deliverPending();
            });
        };
        try {
            std::thread([job, host, port, tellLoop, whenDone] {
                bool notNumeric = false;
                net::Resolution result = net::resolve(host, port, false, notNumeric);
                {
                    std::lock_guard lock(job->mutex);
                    job->result = std::move(result);
                    job->done = true;
                }
                job->finished.notify_all();
                if (tellLoop) {
                    loop::post(whenDone);
                }
            }).detach();
        } catch (const std::system_error&) {
            fail(SocketError::OutOfResources);
            return;
        }
        lookup = std::move(job);
        state = State::Resolving;
    }

    void onLookupDone() {
        if (!lookup) {
            return;
        }
        net::Resolution result;
        {
            std::lock_guard lock(lookup->mutex);
            if (!lookup->done) {
                return;
            }
            result = std::move(lookup->result);
        }
        lookup.reset();
        if (result.error != SocketError::None) {
            fail(result.error);
            return;
        }
        endpoints = std::move(result.endpoints);
        nextEndpoint = 0;
        startConnect();
    }

    // Tries the resolved addresses in order until one connects or is in progress.
    void startConnect() {
        while (nextEndpoint < endpoints.size()) {
            const net::Endpoint& target = endpoints[nextEndpoint++];
            bool inProgress = false;
            int64_t error = SocketError::None;
            const net::Handle s = net::connectTo(target, inProgress, error);
            if (s == net::kInvalid) {
                lastConnectError = error;
                continue;
            }
            socket = s;
            if (inProgress) {
                state = State::Connecting;
                updateWatch();
            } else {
                onConnected();
            }
            return;
        }
        fail(lastConnectError != SocketError::None ? lastConnectError : SocketError::System);
    }

    void onConnectWritable(int osError) {
        const int64_t result = net::connectResult(socket, osError);
        if (result == 0) {
            onConnected();
            return;
        }
        if (result < 0) {
            return;
        }
        closeSocket();
        lastConnectError = result;
        startConnect();
    }

    void onConnected() {
        state = State::Connected;
        endpoints.clear();
        pendingConnected = true;
        updateWatch();
        // Anything written while the connection was being made goes out now.
        flushOutput();
        scheduleDelivery();
    }

    // --- data ---------------------------------------------------------------------------

    void onReadable() {
        if (state != State::Connected) {
            return;
        }
        size_t total = 0;
        bool ended = false;
        while (total < kMaxReadPerActivation && input.size() < inputLimit) {
            size_t got = 0;
            const size_t room = std::min(kRecvChunk, inputLimit - input.size());
            const net::Io io = net::receive(socket, input.prepare(room), room, got);
            if (io == net::Io::Done) {
                input.commit(got);
                total += got;
                continue;
            }
            ended = io == net::Io::Ended;
            break;
        }
        if (total > 0) {
            pendingData = true;
        }
        if (ended) {
            // A close or a reset by the server: whatever arrived stays readable, and the
            // owner hears of the data before it hears of the end.
            fail(SocketError::LostConnection);
            return;
        }
        updateWatch();
        scheduleDelivery();
    }

    void flushOutput() {
        if (state != State::Connected || output.empty()) {
            return;
        }
        bool sent = false;
        while (!output.empty()) {
            size_t n = 0;
            int64_t error = SocketError::None;
            const net::Io io = net::send(socket, output.data(), output.size(), n, error);
            if (io == net::Io::Done) {
                output.consume(n);
                sentInBatch += static_cast<int64_t>(n);
                sent = true;
                continue;
            }
            if (io == net::Io::WouldBlock) {
                break;
            }
            fail(SocketError::LostConnection);
            return;
        }
        if (sent) {
            if (output.empty()) {
                pendingProgress = false;
                pendingComplete = true;
            } else {
                pendingProgress = true;
            }
        }
        updateWatch();
        scheduleDelivery();
    }

    void write(std::string_view bytes) {
        if (bytes.empty()) {
            return;
        }
        if (state != State::Connected && state != State::Connecting && state != State::Resolving) {
            lastError = SocketError::InvalidState;
            return;
        }
        output.append(bytes.data(), bytes.size());
        flushOutput();
    }

    std::string take(int64_t count) {
        size_t n = input.size();
        if (n == 0) {
            return {};
        }
        if (count > 0 && static_cast<uint64_t>(count) < n) {
            n = static_cast<size_t>(count);
        }
        std::string out(input.data(), n);
        input.consume(n);
        updateWatch();
        return out;
    }

    // --- delivery -----------------------------------------------------------------------

    // Delivers pending notifications in a fixed order. A nested call for the same
    // connection (a handler that polls or processes events) leaves them to the outer
    // call, which keeps going until nothing is pending; a handler that starts a new
    // connection gets that connection's notifications at once.
    void deliverPending() {
        if (!canDeliverNow()) {
            return;
        }
        const std::shared_ptr<bool> token = alive;
        const bool outerDelivering = delivering;
        const uint64_t outerGeneration = deliveringGeneration;
        struct Restore {
            Impl* impl;
            const std::shared_ptr<bool>& token;
            bool delivering;
            uint64_t generation;
            ~Restore() {
                if (*token) {
                    impl->delivering = delivering;
                    impl->deliveringGeneration = generation;
                }
            }
        } restore{this, token, outerDelivering, outerGeneration};

        delivering = true;
        while (*token) {
            deliveringGeneration = generation;
            if (pendingConnected) {
                pendingConnected = false;
                owner.OnConnected();
            } else if (pendingData) {
                pendingData = false;
                owner.OnDataAvailable();
            } else if (pendingProgress) {
                pendingProgress = false;
                const uint64_t before = generation;
                const bool cancel =
                    owner.OnSendProgress(sentInBatch, static_cast<int64_t>(output.size()));
                if (*token && cancel && generation == before && !output.empty()) {
                    output.clear();
                    pendingComplete = true;
                    pendingCompleteAborted = true;
                    updateWatch();
                }
            } else if (pendingComplete) {
                const bool aborted = pendingCompleteAborted;
                pendingComplete = pendingCompleteAborted = false;
                sentInBatch = 0;
                owner.OnSendComplete(aborted);
            } else if (pendingError) {
                pendingError = false;
                owner.OnError();
            } else {
                break;
            }
        }
    }

    // Sleeps in the OS until this socket (or its lookup) has activity or maxWaitMs passed;
    // nothing else of the program runs meanwhile. A long wait goes in slices, and between
    // them the windows answer the desktop and repaint, so a blocking request never gets the
    // program called hung.
    void waitForActivity(int64_t maxWaitMs) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(maxWaitMs);
        while (true) {
            const int64_t left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                     deadline - std::chrono::steady_clock::now())
                                     .count();
            const int64_t slice = std::clamp<int64_t>(left, 0, kKeepAliveSliceMs);
            if (waitSlice(slice) || left <= slice) {
                return;
            }
            loop::keepWindowsAlive();
        }
    }

    // True when something of this socket happened within maxWaitMs.
    bool waitSlice(int64_t maxWaitMs) {
        if (lookup) {
            std::unique_lock lock(lookup->mutex);
            lookup->finished.wait_for(lock, std::chrono::milliseconds(maxWaitMs),
                                      [&] { return lookup->done; });
            const bool done = lookup->done;
            lock.unlock();
            if (done) {
                onLookupDone();
            }
            return done;
        }
        const bool read = state == State::Connected && wantsRead();
        const bool write = wantsWrite();
        if (socket == net::kInvalid || (!read && !write)) {
            // Nothing of this socket can happen; the caller's deadline still holds.
            std::this_thread::sleep_for(std::chrono::milliseconds(maxWaitMs));
            return false;
        }
        bool readable = false;
        bool writable = false;
        net::waitFor(socket, read, write, maxWaitMs, readable, writable);
        if (readable || writable) {
            onReady(readable, writable, 0);
            return true;
        }
        return false;
    }

    void poll(int64_t maxWaitMs) {
        if (canDeliverNow() && anyPending()) {
            maxWaitMs = 0;
        }
        waitForActivity(std::max<int64_t>(maxWaitMs, 0));
        deliverPending();
    }
};

TCPSocket::TCPSocket() : impl_(std::make_unique<Impl>(*this)) {}

TCPSocket::~TCPSocket() = default;

void TCPSocket::Connect() {
    impl_->connect();
}

void TCPSocket::Close() {
    impl_->reset();
}

void TCPSocket::Purge() {
    impl_->input.clear();
    impl_->input.shrink();
    impl_->updateWatch();
}

void TCPSocket::Write(std::string_view bytes) {
    impl_->write(bytes);
}

std::string TCPSocket::Lookahead() const {
    if (impl_->input.empty()) {
        return {};
    }
    return std::string(impl_->input.data(), impl_->input.size());
}

std::string TCPSocket::Read(int64_t count) {
    return impl_->take(count);
}

std::string TCPSocket::ReadAll() {
    return impl_->take(0);
}

void TCPSocket::SetReadBufferLimit(int64_t bytes) {
    impl_->inputLimit =
        static_cast<size_t>(std::clamp<int64_t>(bytes, 1, static_cast<int64_t>(kInputHighWater)));
    impl_->updateWatch();
}

int64_t TCPSocket::BytesAvailable() const {
    return static_cast<int64_t>(impl_->input.size());
}

int64_t TCPSocket::BytesLeftToSend() const {
    return static_cast<int64_t>(impl_->output.size());
}

bool TCPSocket::IsConnected() const {
    return impl_->state == State::Connected;
}

int64_t TCPSocket::LastErrorCode() const {
    return impl_->lastError;
}

void TCPSocket::Poll() {
    impl_->poll(PollSliceMs);
}

void TCPSocket::Poll(int64_t maxWaitMs) {
    impl_->poll(maxWaitMs);
}

void TCPSocket::WaitForEvents(int64_t maxWaitMs) {
    // This socket's own work first, so nothing of it waits for the loop to come round.
    impl_->poll(0);
    if (!loop::available()) {
        impl_->poll(maxWaitMs);
        return;
    }
    if (impl_->canDeliverNow() && impl_->anyPending()) {
        maxWaitMs = 0;
    }
    loop::processEventsWaiting(std::max<int64_t>(maxWaitMs, 0));
}

void TCPSocket::OnConnected() {
    if (Connected) {
        Connected();
    }
}

void TCPSocket::OnDataAvailable() {
    if (DataAvailable) {
        DataAvailable();
    }
}

void TCPSocket::OnError() {
    if (Error) {
        Error();
    }
}

void TCPSocket::OnSendComplete(bool userAborted) {
    if (SendComplete) {
        SendComplete(userAborted);
    }
}

bool TCPSocket::OnSendProgress(int64_t bytesSent, int64_t bytesLeft) {
    return SendProgress ? SendProgress(bytesSent, bytesLeft) : false;
}

void TCPSocket::adoptConnected(std::intptr_t handle) {
    impl_->adopt(handle);
}

} // namespace host
