#include "host/TCPSocket.h"

#include "host/Application.h"

#include <QCoreApplication>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace host {

namespace {

// One recv call takes this much, and one activation reads at most kMaxReadPerActivation
// before handing the bytes to the owner, so a fast sender cannot starve the event loop.
constexpr size_t kRecvChunk = 256 * 1024;
constexpr size_t kMaxReadPerActivation = 1024 * 1024;
// Past this many unread bytes the socket stops reading until the owner takes some, so an
// owner that does not read cannot make the buffer grow without bound.
constexpr size_t kInputHighWater = 16 * 1024 * 1024;
// A purged buffer bigger than this gives its memory back.
constexpr size_t kKeepBufferCapacity = 1024 * 1024;
constexpr size_t kMinBufferCapacity = 64 * 1024;

// Depth of notifier and timer callbacks currently running. A Qt object whose callback may
// be on the stack is deleted later instead of at once.
int gDispatchDepth = 0;

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

struct Endpoint {
    sockaddr_storage addr{};
    socklen_t length = 0;
};

std::vector<Endpoint> endpointsOf(const addrinfo* list) {
    std::vector<Endpoint> out;
    for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_addrlen > sizeof(sockaddr_storage)) {
            continue;
        }
        Endpoint e;
        std::memcpy(&e.addr, ai->ai_addr, ai->ai_addrlen);
        e.length = static_cast<socklen_t>(ai->ai_addrlen);
        out.push_back(e);
    }
    return out;
}

// A name lookup running on a worker thread. The worker and the socket share it, so the
// socket may be closed or destroyed while the lookup still runs; the worker then finishes
// into a result nobody reads. The eventfd tells the main thread the result is there.
struct Resolution {
    int eventFd = -1;
    std::mutex mutex;
    bool done = false;
    int gaiError = 0;
    int systemErrno = 0;
    std::vector<Endpoint> endpoints;

    ~Resolution() {
        if (eventFd >= 0) {
            ::close(eventFd);
        }
    }
};

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

enum class State { Idle, Resolving, Connecting, Connected, Closed };

// Keeps gDispatchDepth right even when the callback throws.
struct DispatchScope {
    DispatchScope() { ++gDispatchDepth; }
    ~DispatchScope() { --gDispatchDepth; }
    DispatchScope(const DispatchScope&) = delete;
    DispatchScope& operator=(const DispatchScope&) = delete;
};

void dispose(QObject*& object) {
    if (object == nullptr) {
        return;
    }
    if (auto* notifier = qobject_cast<QSocketNotifier*>(object)) {
        notifier->setEnabled(false);
    }
    if (gDispatchDepth > 0) {
        object->deleteLater();
    } else {
        delete object;
    }
    object = nullptr;
}

} // namespace

struct TCPSocket::Impl {
    explicit Impl(TCPSocket& o) : owner(o) {}
    ~Impl() {
        *alive = false;
        cancelResolution();
        closeFd();
        dispose(timerContext);
    }
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    TCPSocket& owner;
    State state = State::Idle;
    int fd = -1;
    int64_t lastError = SocketError::None;
    // Counts connections: Close and Connect start a new one, and notifications that belong
    // to an older connection are dropped.
    uint64_t generation = 0;

    std::shared_ptr<Resolution> resolution;
    std::vector<Endpoint> endpoints;
    size_t nextEndpoint = 0;
    int64_t lastConnectError = SocketError::None;

    ByteBuffer input;
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

    QObject* readNotifier = nullptr;
    QObject* writeNotifier = nullptr;
    QObject* resolveNotifier = nullptr;
    QObject* timerContext = nullptr;

    static bool haveEventLoop() { return QCoreApplication::instance() != nullptr; }

    bool anyPending() const {
        return pendingConnected || pendingData || pendingProgress || pendingComplete ||
               pendingError;
    }
    bool canDeliverNow() const { return !(delivering && deliveringGeneration == generation); }

    void clearPending() {
        pendingConnected = pendingData = pendingProgress = false;
        pendingComplete = pendingCompleteAborted = pendingError = false;
    }

    // --- Qt event-loop glue -------------------------------------------------------------

    // Runs fn as a host-delivered notification: under the exception policy, and with a
    // second chance for notifications a failing handler left pending.
    template <typename Fn>
    void dispatch(Fn fn) {
        std::weak_ptr<bool> token = alive;
        {
            DispatchScope scope;
            runUnderExceptionPolicy([&] {
                if (auto a = token.lock(); a && *a) {
                    fn();
                }
            });
        }
        if (auto a = token.lock(); a && *a && anyPending()) {
            scheduleDelivery();
        }
    }

    enum class Role { Resolve, Read, Write };

    // Each notifier serves one role for one connection; a late activation of a notifier
    // that belongs to an earlier connection is ignored.
    QObject* makeNotifier(int descriptor, Role role) {
        auto* notifier = new QSocketNotifier(
            descriptor, role == Role::Write ? QSocketNotifier::Write : QSocketNotifier::Read);
        std::weak_ptr<bool> token = alive;
        const uint64_t forGeneration = generation;
        QObject::connect(
            notifier, &QSocketNotifier::activated, notifier,
            [this, token, role, forGeneration](QSocketDescriptor, QSocketNotifier::Type) {
                if (auto a = token.lock(); !a || !*a) {
                    return;
                }
                if (forGeneration != generation) {
                    return;
                }
                dispatch([this, role] { onNotifier(role); });
            });
        return notifier;
    }

    void onNotifier(Role role) {
        switch (role) {
        case Role::Resolve:
            onResolved();
            break;
        case Role::Read:
            onReadable();
            break;
        case Role::Write:
            if (state == State::Connecting) {
                onConnectWritable();
            } else {
                flushOutput();
            }
            break;
        }
        deliverPending();
    }

    static void setEnabled(QObject* notifier, bool enabled) {
        if (notifier != nullptr) {
            static_cast<QSocketNotifier*>(notifier)->setEnabled(enabled);
        }
    }

    bool wantsRead() const { return state == State::Connected && input.size() < kInputHighWater; }
    bool wantsWrite() const {
        return state == State::Connecting || (state == State::Connected && !output.empty());
    }

    void updateNotifiers() {
        if (fd < 0 || !haveEventLoop()) {
            return;
        }
        if (readNotifier == nullptr && wantsRead()) {
            readNotifier = makeNotifier(fd, Role::Read);
        }
        if (writeNotifier == nullptr && wantsWrite()) {
            writeNotifier = makeNotifier(fd, Role::Write);
        }
        setEnabled(readNotifier, wantsRead());
        setEnabled(writeNotifier, wantsWrite());
    }

    void scheduleDelivery() {
        if (deliveryScheduled || !haveEventLoop() || !anyPending()) {
            return;
        }
        if (timerContext == nullptr) {
            timerContext = new QObject;
        }
        deliveryScheduled = true;
        std::weak_ptr<bool> token = alive;
        QTimer::singleShot(0, timerContext, [this, token] {
            if (auto a = token.lock(); !a || !*a) {
                return;
            }
            deliveryScheduled = false;
            dispatch([this] { deliverPending(); });
        });
    }

    // --- connection lifecycle -----------------------------------------------------------

    void cancelResolution() {
        dispose(resolveNotifier);
        resolution.reset();
    }

    void closeFd() {
        // Notifiers go before the descriptor they watch.
        dispose(readNotifier);
        dispose(writeNotifier);
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }

    void reset() {
        ++generation;
        cancelResolution();
        closeFd();
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
        cancelResolution();
        closeFd();
        endpoints.clear();
        output.clear();
        state = State::Closed;
        lastError = code;
        pendingError = true;
        scheduleDelivery();
    }

    void connect() {
        reset();
        input.clear();
        lastError = SocketError::None;
        lastConnectError = SocketError::None;

        std::string host = owner.Address;
        if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
            host = host.substr(1, host.size() - 2);
        }
        if (host.empty() || host.find('\0') != std::string::npos || owner.Port < 1 ||
            owner.Port > 65535) {
            state = State::Closed;
            fail(SocketError::InvalidAddress);
            return;
        }
        const std::string service = std::to_string(owner.Port);

        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
        addrinfo* list = nullptr;
        const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
        if (rc == 0) {
            endpoints = endpointsOf(list);
            ::freeaddrinfo(list);
            startConnect();
            return;
        }
        if (rc != EAI_NONAME) {
            fail(errorFromGai(rc, errno));
            return;
        }
        startResolution(host, service);
    }

    void adopt(int descriptor) {
        reset();
        input.clear();
        lastError = SocketError::None;
        lastConnectError = SocketError::None;
        if (descriptor < 0) {
            fail(SocketError::InvalidAddress);
            return;
        }
        const int flags = ::fcntl(descriptor, F_GETFL);
        if (flags >= 0) {
            ::fcntl(descriptor, F_SETFL, flags | O_NONBLOCK);
        }
        ::fcntl(descriptor, F_SETFD, FD_CLOEXEC);
        fd = descriptor;
        onConnected();
    }

    void startResolution(const std::string& host, const std::string& service) {
        auto job = std::make_shared<Resolution>();
        job->eventFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (job->eventFd < 0) {
            fail(errorFromErrno(errno));
            return;
        }
        try {
            std::thread([job, host, service] {
                addrinfo hints{};
                hints.ai_family = AF_UNSPEC;
                hints.ai_socktype = SOCK_STREAM;
                hints.ai_flags = AI_NUMERICSERV;
                addrinfo* list = nullptr;
                const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
                const int err = errno;
                {
                    std::lock_guard lock(job->mutex);
                    job->gaiError = rc;
                    job->systemErrno = err;
                    if (rc == 0) {
                        job->endpoints = endpointsOf(list);
                    }
                    job->done = true;
                }
                if (list != nullptr) {
                    ::freeaddrinfo(list);
                }
                const uint64_t one = 1;
                [[maybe_unused]] const ssize_t written = ::write(job->eventFd, &one, sizeof one);
            }).detach();
        } catch (const std::system_error&) {
            fail(SocketError::OutOfResources);
            return;
        }
        resolution = job;
        state = State::Resolving;
        if (haveEventLoop()) {
            resolveNotifier = makeNotifier(job->eventFd, Role::Resolve);
        }
    }

    void onResolved() {
        if (!resolution) {
            return;
        }
        uint64_t count = 0;
        [[maybe_unused]] const ssize_t got = ::read(resolution->eventFd, &count, sizeof count);
        int gaiError = 0;
        int systemErrno = 0;
        std::vector<Endpoint> found;
        {
            std::lock_guard lock(resolution->mutex);
            if (!resolution->done) {
                return;
            }
            gaiError = resolution->gaiError;
            systemErrno = resolution->systemErrno;
            found = std::move(resolution->endpoints);
        }
        cancelResolution();
        if (gaiError != 0) {
            fail(errorFromGai(gaiError, systemErrno));
            return;
        }
        endpoints = std::move(found);
        nextEndpoint = 0;
        startConnect();
    }

    // Tries the resolved addresses in order until one connects or is in progress.
    void startConnect() {
        while (nextEndpoint < endpoints.size()) {
            const Endpoint& target = endpoints[nextEndpoint++];
            const int s =
                ::socket(target.addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (s < 0) {
                lastConnectError = errorFromErrno(errno);
                continue;
            }
            // Requests go out in one write; waiting for more to coalesce only adds latency.
            const int on = 1;
            ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            int rc;
            do {
                rc = ::connect(s, reinterpret_cast<const sockaddr*>(&target.addr), target.length);
            } while (rc < 0 && errno == EINTR);
            if (rc == 0 || errno == EINPROGRESS) {
                fd = s;
                if (rc == 0) {
                    onConnected();
                } else {
                    state = State::Connecting;
                    updateNotifiers();
                }
                return;
            }
            lastConnectError = errorFromErrno(errno);
            ::close(s);
        }
        fail(lastConnectError != SocketError::None ? lastConnectError : SocketError::System);
    }

    void onConnectWritable() {
        int err = 0;
        socklen_t len = sizeof err;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0) {
            err = errno;
        }
        if (err == 0) {
            onConnected();
            return;
        }
        if (err == EINPROGRESS || err == EALREADY) {
            return;
        }
        closeFd();
        lastConnectError = errorFromErrno(err);
        startConnect();
    }

    void onConnected() {
        state = State::Connected;
        endpoints.clear();
        pendingConnected = true;
        updateNotifiers();
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
        while (total < kMaxReadPerActivation && input.size() < kInputHighWater) {
            char* into = input.prepare(kRecvChunk);
            const ssize_t n = ::recv(fd, into, kRecvChunk, 0);
            if (n > 0) {
                input.commit(static_cast<size_t>(n));
                total += static_cast<size_t>(n);
                continue;
            }
            if (n == 0) {
                ended = true;
                break;
            }
            if (errno == EINTR) {
                continue;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                ended = true;
            }
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
        updateNotifiers();
        scheduleDelivery();
    }

    void flushOutput() {
        if (state != State::Connected || output.empty()) {
            return;
        }
        bool sent = false;
        while (!output.empty()) {
            const ssize_t n = ::send(fd, output.data(), output.size(), MSG_NOSIGNAL);
            if (n > 0) {
                output.consume(static_cast<size_t>(n));
                sentInBatch += n;
                sent = true;
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
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
        updateNotifiers();
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
        updateNotifiers();
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
                    updateNotifiers();
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

    void poll() {
        const int timeout = canDeliverNow() && anyPending() ? 0 : TCPSocket::PollSliceMs;
        pollfd fds[1]{};
        nfds_t count = 0;
        const bool watchingResolution = static_cast<bool>(resolution);
        if (watchingResolution) {
            fds[0] = {resolution->eventFd, POLLIN, 0};
            count = 1;
        } else if (fd >= 0) {
            short events = 0;
            if (state == State::Connecting) {
                events |= POLLOUT;
            } else {
                if (wantsRead()) {
                    events |= POLLIN;
                }
                if (wantsWrite()) {
                    events |= POLLOUT;
                }
            }
            if (events != 0) {
                fds[0] = {fd, events, 0};
                count = 1;
            }
        }
        const int rc = ::poll(count > 0 ? fds : nullptr, count, timeout);
        if (rc > 0 && fds[0].revents != 0) {
            const short revents = fds[0].revents;
            if (watchingResolution) {
                onResolved();
            } else if (state == State::Connecting) {
                onConnectWritable();
            } else if (state == State::Connected) {
                if (revents & (POLLIN | POLLHUP | POLLERR)) {
                    onReadable();
                }
                if (state == State::Connected && (revents & (POLLOUT | POLLERR))) {
                    flushOutput();
                }
            }
        }
        deliverPending();
    }
};

TCPSocket::TCPSocket() : impl_(std::make_unique<Impl>(*this)) {}

TCPSocket::~TCPSocket() = default;

void TCPSocket::Connect() {
    impl_->connect();
}

void TCPSocket::Adopt(int descriptor) {
    impl_->adopt(descriptor);
}

void TCPSocket::Close() {
    impl_->reset();
}

void TCPSocket::Purge() {
    impl_->input.clear();
    impl_->input.shrink();
    impl_->updateNotifiers();
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
    impl_->poll();
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

} // namespace host
