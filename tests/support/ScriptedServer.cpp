#include "support/ScriptedServer.h"

#include "support/TestSockets.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <stdexcept>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

// Blocking calls wake at least this often to notice that the server is stopping.
constexpr std::chrono::milliseconds kSlice{20};
// How long a graceful close waits for the client's own close.
constexpr std::chrono::milliseconds kLingerBound{2000};
constexpr size_t kRecvChunk = 64 * 1024;

int msUntil(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::clamp<int64_t>(left.count(), 0, kSlice.count()));
}

bool iequalsPrefix(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) !=
            std::tolower(static_cast<unsigned char>(prefix[i]))) {
            return false;
        }
    }
    return true;
}

const char* reasonOf(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 204:
        return "No Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 304:
        return "Not Modified";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 407:
        return "Proxy Authentication Required";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

} // namespace

namespace detail {

struct ConnectionRecord {
    std::string bytes;
    bool peerClosed = false;
    bool finished = false;
};

struct ServerState {
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::atomic<bool> stop{false};
    ScriptedServer::Script script;
    std::vector<std::shared_ptr<ConnectionRecord>> records;
    std::vector<std::thread> threads;

    template <typename Pred>
    bool waitFor(std::chrono::milliseconds timeout, Pred pred) const {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return pred(); });
    }
};

} // namespace detail

// --- Conn --------------------------------------------------------------------------------

Conn::Conn(sock::Handle fd, size_t index, std::shared_ptr<detail::ServerState> server,
           std::shared_ptr<detail::ConnectionRecord> record)
    : fd_(fd), index_(index), server_(std::move(server)), record_(std::move(record)) {}

Conn::~Conn() {
    finish();
}

bool Conn::stopping() const {
    return server_->stop.load();
}

std::string Conn::received() const {
    std::lock_guard lock(server_->mutex);
    return record_->bytes;
}

size_t Conn::unreadSize() const {
    std::lock_guard lock(server_->mutex);
    return record_->bytes.size() - consumed_;
}

std::string Conn::consume(size_t count) {
    std::lock_guard lock(server_->mutex);
    const size_t n = std::min(count, record_->bytes.size() - consumed_);
    std::string out = record_->bytes.substr(consumed_, n);
    consumed_ += n;
    return out;
}

bool Conn::fill(Clock::time_point deadline) {
    if (ended_) {
        return false;
    }
    {
        std::lock_guard lock(server_->mutex);
        if (record_->peerClosed) {
            return false;
        }
    }
    while (!stopping()) {
        if (sock::waitReadable(fd_, msUntil(deadline))) {
            char buf[kRecvChunk];
            const long n = sock::receive(fd_, buf, sizeof buf);
            if (n < 0) {
                continue;
            }
            std::lock_guard lock(server_->mutex);
            if (n > 0) {
                record_->bytes.append(buf, static_cast<size_t>(n));
            } else {
                record_->peerClosed = true;
            }
            server_->changed.notify_all();
            return n > 0;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
    }
    return false;
}

std::string Conn::readRequest(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        std::optional<size_t> length;
        {
            std::lock_guard lock(server_->mutex);
            length =
                ScriptedServer::requestLength(std::string_view(record_->bytes).substr(consumed_));
        }
        if (length) {
            return consume(*length);
        }
        if (!fill(deadline)) {
            return consume(unreadSize());
        }
    }
}

std::string Conn::readBytes(size_t count, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (unreadSize() < count && fill(deadline)) {
    }
    return consume(count);
}

std::string Conn::readUntil(std::string_view marker, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        size_t found = std::string::npos;
        {
            std::lock_guard lock(server_->mutex);
            found = std::string_view(record_->bytes).substr(consumed_).find(marker);
        }
        if (found != std::string::npos) {
            return consume(found + marker.size());
        }
        if (!fill(deadline)) {
            return consume(unreadSize());
        }
    }
}

bool Conn::waitForPeerClose(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (fill(deadline)) {
    }
    std::lock_guard lock(server_->mutex);
    return record_->peerClosed;
}

bool Conn::send(std::string_view bytes, std::chrono::milliseconds timeout) {
    if (ended_) {
        return false;
    }
    const auto deadline = Clock::now() + timeout;
    while (!bytes.empty() && !stopping()) {
        const long n = sock::sendNow(fd_, bytes.data(), bytes.size());
        if (n > 0) {
            bytes.remove_prefix(static_cast<size_t>(n));
            continue;
        }
        if (n < 0) {
            if (Clock::now() >= deadline) {
                return false;
            }
            sock::waitWritable(fd_, msUntil(deadline));
            continue;
        }
        return false;
    }
    return bytes.empty();
}

bool Conn::sendInPieces(std::string_view bytes, size_t pieceSize,
                        std::chrono::milliseconds pauseAfterEach) {
    pieceSize = std::max<size_t>(pieceSize, 1);
    while (!bytes.empty()) {
        const size_t n = std::min(pieceSize, bytes.size());
        if (!send(bytes.substr(0, n))) {
            return false;
        }
        bytes.remove_prefix(n);
        if (!bytes.empty()) {
            pause(pauseAfterEach);
        }
    }
    return true;
}

void Conn::pause(std::chrono::milliseconds duration) {
    const auto deadline = Clock::now() + duration;
    while (!stopping() && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::min<Clock::duration>(kSlice, deadline - Clock::now()));
    }
}

void Conn::shutdownWrite() {
    if (!ended_) {
        sock::shutdownWrite(fd_);
    }
}

void Conn::close() {
    if (ended_) {
        return;
    }
    // Closing with unread bytes would make the kernel send a reset, which can destroy data
    // the client has not read yet; so half-close and drain first.
    sock::shutdownWrite(fd_);
    waitForPeerClose(kLingerBound);
    finish();
}

void Conn::reset() {
    if (ended_) {
        return;
    }
    sock::resetOnClose(fd_);
    finish();
}

void Conn::setNoDelay() {
    if (!ended_) {
        sock::setNoDelay(fd_);
    }
}

size_t Conn::sendRepeatedly(std::string_view piece, std::chrono::milliseconds pauseAfterEach,
                            size_t limit) {
    size_t sent = 0;
    while (sent < limit && !stopping() && send(piece)) {
        sent += piece.size();
        pause(pauseAfterEach);
    }
    return sent;
}

void Conn::finish() {
    if (ended_) {
        return;
    }
    ended_ = true;
    sock::close(fd_);
    fd_ = sock::kInvalid;
    std::lock_guard lock(server_->mutex);
    record_->finished = true;
    server_->changed.notify_all();
}

// --- ScriptedServer ----------------------------------------------------------------------

ScriptedServer::ScriptedServer()
    : ScriptedServer([](Conn& c) {
          c.readRequest();
          c.close();
      }) {}

ScriptedServer::ScriptedServer(Script script) : state_(std::make_shared<detail::ServerState>()) {
    state_->script = std::move(script);
    listenFd_ = sock::listenLoopback(port_);
    if (listenFd_ == sock::kInvalid) {
        throw std::runtime_error("ScriptedServer: cannot listen on 127.0.0.1");
    }
    acceptor_ = std::thread([this] { acceptLoop(); });
}

ScriptedServer::~ScriptedServer() {
    state_->stop = true;
    if (acceptor_.joinable()) {
        acceptor_.join();
    }
    sock::close(listenFd_);
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(state_->mutex);
        threads.swap(state_->threads);
    }
    for (std::thread& t : threads) {
        t.join();
    }
}

void ScriptedServer::acceptLoop() {
    while (!state_->stop) {
        if (!sock::waitReadable(listenFd_, static_cast<int>(kSlice.count()))) {
            continue;
        }
        const sock::Handle fd = sock::accept(listenFd_);
        if (fd == sock::kInvalid) {
            continue;
        }
        std::lock_guard lock(state_->mutex);
        auto record = std::make_shared<detail::ConnectionRecord>();
        const size_t index = state_->records.size();
        state_->records.push_back(record);
        Script script = state_->script;
        state_->threads.emplace_back([fd, index, state = state_, record, script] {
            Conn conn(fd, index, state, record);
            if (script) {
                script(conn);
            }
            conn.close();
        });
        state_->changed.notify_all();
    }
}

void ScriptedServer::onConnection(Script script) {
    std::lock_guard lock(state_->mutex);
    state_->script = std::move(script);
}

std::string ScriptedServer::url(std::string_view path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

size_t ScriptedServer::connectionCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->records.size();
}

std::string ScriptedServer::receivedBytes(size_t i) const {
    std::lock_guard lock(state_->mutex);
    return i < state_->records.size() ? state_->records[i]->bytes : std::string();
}

bool ScriptedServer::peerClosed(size_t i) const {
    std::lock_guard lock(state_->mutex);
    return i < state_->records.size() && state_->records[i]->peerClosed;
}

bool ScriptedServer::waitForConnections(size_t count, std::chrono::milliseconds timeout) const {
    return state_->waitFor(timeout, [&] { return state_->records.size() >= count; });
}

bool ScriptedServer::waitForBytes(size_t i, size_t count, std::chrono::milliseconds timeout) const {
    return state_->waitFor(timeout, [&] {
        return i < state_->records.size() && state_->records[i]->bytes.size() >= count;
    });
}

bool ScriptedServer::waitForRequest(size_t i, std::chrono::milliseconds timeout) const {
    return state_->waitFor(timeout, [&] {
        return i < state_->records.size() && requestLength(state_->records[i]->bytes).has_value();
    });
}

bool ScriptedServer::waitForPeerClose(size_t i, std::chrono::milliseconds timeout) const {
    return state_->waitFor(
        timeout, [&] { return i < state_->records.size() && state_->records[i]->peerClosed; });
}

bool ScriptedServer::waitUntilIdle(std::chrono::milliseconds timeout) const {
    return state_->waitFor(timeout, [&] {
        return std::all_of(state_->records.begin(), state_->records.end(),
                           [](const auto& r) { return r->finished; });
    });
}

std::optional<size_t> ScriptedServer::requestLength(std::string_view bytes) {
    const size_t headEnd = bytes.find("\r\n\r\n");
    if (headEnd == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view head = bytes.substr(0, headEnd + 2);
    size_t bodyLength = 0;
    size_t lineStart = head.find("\r\n");
    while (lineStart != std::string_view::npos && lineStart + 2 < head.size()) {
        const size_t from = lineStart + 2;
        const size_t lineEnd = head.find("\r\n", from);
        const std::string_view line = head.substr(from, lineEnd - from);
        if (iequalsPrefix(line, "content-length:")) {
            std::string_view value = line.substr(15);
            while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) {
                value.remove_prefix(1);
            }
            bodyLength = 0;
            for (char ch : value) {
                if (ch < '0' || ch > '9') {
                    break;
                }
                bodyLength = bodyLength * 10 + static_cast<size_t>(ch - '0');
            }
            break;
        }
        lineStart = lineEnd;
    }
    const size_t total = headEnd + 4 + bodyLength;
    if (bytes.size() < total) {
        return std::nullopt;
    }
    return total;
}

std::string ScriptedServer::httpResponse(int status, std::string_view body,
                                         std::string_view extraHeaderLines) {
    std::string out = "HTTP/1.0 " + std::to_string(status) + " " + reasonOf(status) + "\r\n";
    out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    out += extraHeaderLines;
    out += "\r\n";
    out += body;
    return out;
}

uint16_t ScriptedServer::unusedPort() {
    uint16_t port = 0;
    const sock::Handle s = sock::listenLoopback(port);
    if (s != sock::kInvalid) {
        sock::close(s);
    }
    return port;
}

} // namespace testsupport
