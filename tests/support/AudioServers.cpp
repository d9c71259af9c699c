#include "support/AudioServers.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sstream>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace tamsel::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

std::string readWhole(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeWhole(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

// Polls pred every few milliseconds until it holds or timeout passes.
template <typename Pred>
bool pollUntil(std::chrono::milliseconds timeout, Pred pred) {
    const auto deadline = Clock::now() + timeout;
    while (true) {
        if (pred()) {
            return true;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
}

int connectLoopback(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string base64(const std::string& in) {
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        const uint32_t n = (uint8_t(in[i]) << 16) | (uint8_t(in[i + 1]) << 8) | uint8_t(in[i + 2]);
        out += {alphabet[n >> 18], alphabet[(n >> 12) & 63], alphabet[(n >> 6) & 63],
                alphabet[n & 63]};
    }
    if (i + 1 == in.size()) {
        const uint32_t n = uint8_t(in[i]) << 16;
        out += {alphabet[n >> 18], alphabet[(n >> 12) & 63], '=', '='};
    } else if (i + 2 == in.size()) {
        const uint32_t n = (uint8_t(in[i]) << 16) | (uint8_t(in[i + 1]) << 8);
        out += {alphabet[n >> 18], alphabet[(n >> 12) & 63], alphabet[(n >> 6) & 63], '='};
    }
    return out;
}

} // namespace

// ---------------------------------------------------------------------------------------------

TempDir::TempDir(const std::string& prefix) {
    std::string pattern = (fs::temp_directory_path() / (prefix + "XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed: " + std::string(std::strerror(errno)));
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

// ---------------------------------------------------------------------------------------------

ChildProcess::ChildProcess(const Options& options) : logPath_(options.logPath) {
    if (options.argv.empty()) {
        throw std::invalid_argument("ChildProcess needs a program");
    }
    // Everything the child needs is prepared before fork: after it only async-signal-safe
    // calls are allowed.
    std::map<std::string, std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry(*e);
        const auto eq = entry.find('=');
        if (eq != std::string::npos) {
            env[entry.substr(0, eq)] = entry.substr(eq + 1);
        }
    }
    for (const auto& [k, v] : options.env) {
        env[k] = v;
    }
    std::vector<std::string> envStrings;
    for (const auto& [k, v] : env) {
        envStrings.push_back(k + "=" + v);
    }
    std::vector<char*> envp;
    for (auto& s : envStrings) {
        envp.push_back(s.data());
    }
    envp.push_back(nullptr);
    std::vector<std::string> args = options.argv;
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    const std::string logName = options.logPath.empty() ? "/dev/null" : options.logPath.string();
    const int logFd = ::open(logName.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (logFd < 0) {
        throw std::runtime_error("cannot open " + logName);
    }
    int pipeFds[2] = {-1, -1};
    if (options.captureStdout && ::pipe2(pipeFds, O_CLOEXEC) != 0) {
        ::close(logFd);
        throw std::runtime_error("pipe failed");
    }
    const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const pid_t parent = ::getpid();
    const passwd* account = nullptr;
    uid_t uid = 0;
    gid_t gid = 0;
    if (!options.user.empty()) {
        account = ::getpwnam(options.user.c_str());
        if (account == nullptr) {
            throw std::runtime_error("no user " + options.user);
        }
        uid = account->pw_uid;
        gid = account->pw_gid;
    }
    const unsigned lifetime = static_cast<unsigned>(ChildLifetime.count());

    const pid_t pid = ::fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        // A change of user clears the parent-death signal, so it comes first.
        if (account != nullptr &&
            (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)) {
            ::_exit(126);
        }
        // Watchdogs: die with the test process, and after a fixed lifetime in any case.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) {
            ::_exit(127);
        }
        ::alarm(lifetime);
        ::setpgid(0, 0);
        ::dup2(devNull, STDIN_FILENO);
        ::dup2(options.captureStdout ? pipeFds[1] : logFd, STDOUT_FILENO);
        ::dup2(logFd, STDERR_FILENO);
        // The test may block signals in its threads; the child must see them.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execvpe(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    pid_ = pid;
    ::close(logFd);
    ::close(devNull);
    if (options.captureStdout) {
        ::close(pipeFds[1]);
        readFd_ = pipeFds[0];
    }
}

ChildProcess::~ChildProcess() {
    stop(1000ms);
    if (readFd_ >= 0) {
        ::close(readFd_);
    }
}

void ChildProcess::reap(bool block) {
    if (pid_ <= 0) {
        return;
    }
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
    if (r == pid_ || (r < 0 && errno == ECHILD)) {
        pid_ = -1;
    }
}

bool ChildProcess::running() {
    reap(false);
    return pid_ > 0;
}

void ChildProcess::stop(std::chrono::milliseconds grace) {
    if (!running()) {
        return;
    }
    ::kill(pid_, SIGTERM);
    ::kill(pid_, SIGCONT); // a suspended process only acts on the TERM once it runs
    if (!pollUntil(grace, [this] { return !running(); })) {
        kill();
    }
}

void ChildProcess::kill() {
    if (!running()) {
        return;
    }
    ::kill(pid_, SIGKILL);
    reap(true);
}

void ChildProcess::suspend() {
    if (running()) {
        ::kill(pid_, SIGSTOP);
    }
}

void ChildProcess::resume() {
    if (running()) {
        ::kill(pid_, SIGCONT);
    }
}

std::string ChildProcess::log() const {
    // The end is what explains a failure; the whole of a server's log would drown it.
    constexpr size_t Tail = 6000;
    std::string text = logPath_.empty() ? "" : readWhole(logPath_);
    return text.size() > Tail ? "..." + text.substr(text.size() - Tail) : text;
}

// ---------------------------------------------------------------------------------------------

int freeTcpPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        throw std::runtime_error("cannot find a free port");
    }
    ::close(fd);
    return ntohs(addr.sin_port);
}

bool waitForTcpPort(int port, std::chrono::milliseconds timeout) {
    return pollUntil(timeout, [port] {
        const int fd = connectLoopback(port);
        if (fd < 0) {
            return false;
        }
        ::close(fd);
        return true;
    });
}

std::optional<std::string> httpGet(int port, const std::string& path,
                                   std::chrono::milliseconds timeout, size_t maxBytes,
                                   const std::string& extraHeaders) {
    const int fd = connectLoopback(port);
    if (fd < 0) {
        return std::nullopt;
    }
    const std::string request = "GET " + path +
                                " HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                "\r\nUser-Agent: tamsel-test\r\n" + extraHeaders + "\r\n";
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size())) {
        ::close(fd);
        return std::nullopt;
    }
    std::string reply;
    const auto deadline = Clock::now() + timeout;
    while (reply.size() < maxBytes) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            break;
        }
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            break;
        }
        reply.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return reply;
}

// ---------------------------------------------------------------------------------------------

PulseServer::PulseServer() = default;

PulseServer::~PulseServer() {
    stop();
}

bool PulseServer::start(std::chrono::milliseconds timeout) {
    const fs::path dir = dir_.path();
    const std::string socket = (dir / "native").string();
    // No configuration files, no autospawn, no session bus: only the two modules loaded here.
    // Anonymous auth, since the socket lives in a directory only this test knows.
    ChildProcess::Options options;
    options.argv = {"pulseaudio",
                    "--daemonize=no",
                    "-n",
                    "--exit-idle-time=-1",
                    "--disallow-exit",
                    "--disallow-module-loading",
                    "--use-pid-file=no",
                    "--system=no",
                    "--disable-shm=yes",
                    "--realtime=no",
                    "--high-priority=no",
                    "--log-target=stderr",
                    "--log-level=notice",
                    "--load=module-native-protocol-unix socket=" + socket + " auth-anonymous=1",
                    "--load=module-null-sink sink_name=" + sinkName() +
                        " rate=44100 channels=2 format=s16le"};
    options.env = {{"XDG_RUNTIME_DIR", dir.string()},
                   {"HOME", dir.string()},
                   {"XDG_CONFIG_HOME", (dir / "config").string()},
                   {"PULSE_RUNTIME_PATH", (dir / "runtime").string()},
                   {"PULSE_STATE_PATH", (dir / "state").string()}};
    options.logPath = dir / "pulseaudio.log";
    daemon_.emplace(options);

    // Ready once the socket accepts and the daemon's main loop has answered on it.
    return pollUntil(timeout,
                     [&] {
                         if (!daemon_->running()) {
                             return true;
                         }
                         const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
                         sockaddr_un addr{};
                         addr.sun_family = AF_UNIX;
                         std::strncpy(addr.sun_path, socket.c_str(), sizeof addr.sun_path - 1);
                         const bool up =
                             ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
                         ::close(fd);
                         return up;
                     }) &&
           daemon_->running();
}

void PulseServer::stop() {
    if (daemon_) {
        daemon_->stop();
    }
}

std::string PulseServer::serverString() const {
    return "unix:" + (dir_.path() / "native").string();
}

std::string PulseServer::log() const {
    return daemon_ ? daemon_->log() : "";
}

std::map<std::string, std::string> PulseServer::clientEnv() const {
    return {{"PULSE_SERVER", serverString()}, {"PULSE_SINK", sinkName()}};
}

// ---------------------------------------------------------------------------------------------

MonitorRecorder::MonitorRecorder(const PulseServer& pulse) : pulse_(pulse) {}

MonitorRecorder::~MonitorRecorder() {
    stop();
}

bool MonitorRecorder::start(std::chrono::milliseconds timeout) {
    ChildProcess::Options options;
    options.argv = {"parec",
                    "--server=" + pulse_.serverString(),
                    "--device=" + pulse_.monitorName(),
                    "--format=s16le",
                    "--rate=" + std::to_string(SampleRate),
                    "--channels=2",
                    "--raw",
                    "--latency-msec=20",
                    "--client-name=tamsel-test-recorder"};
    options.env = pulse_.clientEnv();
    options.env["HOME"] = dir_.path().string();
    options.logPath = dir_.path() / "parec.log";
    options.captureStdout = true;
    parec_.emplace(options);
    reader_ = std::thread([this] { readLoop(); });
    return pollUntil(timeout, [this] { return sampleCount() > SampleRate / 20; });
}

void MonitorRecorder::stop() {
    stopping_ = true;
    if (parec_) {
        parec_->stop(500ms);
    }
    if (reader_.joinable()) {
        reader_.join();
    }
}

void MonitorRecorder::readLoop() {
    std::vector<char> buffer(8192);
    std::string pending; // an odd tail of a frame waits for the rest
    while (!stopping_) {
        pollfd p{parec_->readFd(), POLLIN, 0};
        const int ready = ::poll(&p, 1, 100);
        if (ready <= 0) {
            continue;
        }
        const ssize_t n = ::read(parec_->readFd(), buffer.data(), buffer.size());
        if (n <= 0) {
            break;
        }
        pending.append(buffer.data(), static_cast<size_t>(n));
        const size_t frames = pending.size() / 4;
        std::vector<float> mono(frames);
        for (size_t i = 0; i < frames; ++i) {
            int16_t left = 0;
            int16_t right = 0;
            std::memcpy(&left, pending.data() + 4 * i, 2);
            std::memcpy(&right, pending.data() + 4 * i + 2, 2);
            mono[i] = (static_cast<float>(left) + static_cast<float>(right)) / 2.0f;
        }
        pending.erase(0, frames * 4);
        std::lock_guard lock(mutex_);
        mono_.insert(mono_.end(), mono.begin(), mono.end());
    }
}

int64_t MonitorRecorder::sampleCount() const {
    std::lock_guard lock(mutex_);
    return static_cast<int64_t>(mono_.size());
}

std::vector<float> MonitorRecorder::samples(int64_t from, int64_t count) const {
    std::lock_guard lock(mutex_);
    const int64_t size = static_cast<int64_t>(mono_.size());
    from = std::clamp<int64_t>(from, 0, size);
    const int64_t end = std::clamp<int64_t>(from + count, from, size);
    return {mono_.begin() + from, mono_.begin() + end};
}

std::string MonitorRecorder::log() const {
    return parec_ ? parec_->log() : "";
}

// ---------------------------------------------------------------------------------------------

IcecastServer::IcecastServer() = default;

IcecastServer::~IcecastServer() {
    stop();
}

bool IcecastServer::start(std::chrono::milliseconds timeout) {
    const fs::path dir = dir_.path();
    port_ = freeTcpPort();
    // Icecast refuses to run as root. Rather than let it drop privileges itself (which would
    // also drop its watchdog), it is started as an ordinary user.
    const bool root = ::geteuid() == 0;
    if (root) {
        fs::permissions(dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                 fs::perms::others_read | fs::perms::others_exec);
    }
    // A listener starts with a burst from the server's queue, as on a real station; it is
    // counted in bytes, and a pure tone encodes small, so it is kept short: what a listener
    // has in hand when the source dies is that much sound.
    std::ostringstream config;
    config << "<icecast>\n"
              "  <location>loopback</location>\n"
              "  <admin>test@localhost</admin>\n"
              "  <limits><clients>16</clients><sources>4</sources>"
              "<queue-size>524288</queue-size><client-timeout>10</client-timeout>"
              "<header-timeout>5</header-timeout><source-timeout>5</source-timeout>"
              "<burst-on-connect>1</burst-on-connect><burst-size>8192</burst-size></limits>\n"
              "  <authentication><source-password>"
           << sourcePassword()
           << "</source-password><admin-user>admin</admin-user>"
              "<admin-password>tamsel-admin</admin-password></authentication>\n"
              "  <hostname>127.0.0.1</hostname>\n"
              "  <listen-socket><port>"
           << port_
           << "</port><bind-address>127.0.0.1</bind-address></listen-socket>\n"
              "  <fileserve>1</fileserve>\n"
              "  <paths><basedir>"
           << dir.string() << "</basedir><logdir>" << dir.string() << "</logdir><webroot>"
           << "/usr/share/icecast2/web"
           << "</webroot><adminroot>/usr/share/icecast2/admin</adminroot></paths>\n"
              "  <logging><accesslog>-</accesslog><errorlog>-</errorlog>"
              "<loglevel>3</loglevel></logging>\n"
              "  <security><chroot>0</chroot>";
    config << "</security>\n</icecast>\n";
    writeWhole(dir / "icecast.xml", config.str());

    ChildProcess::Options options;
    options.argv = {"icecast2", "-c", (dir / "icecast.xml").string()};
    if (root) {
        options.user = "nobody";
    }
    options.logPath = dir / "icecast.log";
    server_.emplace(options);
    return pollUntil(timeout,
                     [this] { return !server_->running() || waitForTcpPort(port_, 0ms); }) &&
           server_->running();
}

void IcecastServer::stop() {
    if (server_) {
        server_->stop();
    }
}

std::string IcecastServer::url(const std::string& mount) const {
    return "http://127.0.0.1:" + std::to_string(port_) + mount;
}

bool IcecastServer::setTitle(const std::string& mount, const std::string& title) {
    std::string song;
    for (const unsigned char c : title) {
        static const char* const digits = "0123456789ABCDEF";
        if (std::isalnum(c) != 0) {
            song += static_cast<char>(c);
        } else {
            song += {'%', digits[c >> 4], digits[c & 15]};
        }
    }
    const auto reply =
        httpGet(port_, "/admin/metadata?mount=" + mount + "&mode=updinfo&song=" + song, 2000ms,
                1 << 16, "Authorization: Basic " + base64("admin:tamsel-admin") + "\r\n");
    return reply && reply->find("Metadata update successful") != std::string::npos;
}

bool IcecastServer::hasMount(const std::string& mount) const {
    const auto reply = httpGet(port_, "/status-json.xsl", 2000ms);
    return reply && reply->find("\"listenurl\":\"" + url(mount) + "\"") != std::string::npos;
}

bool IcecastServer::waitForMount(const std::string& mount, bool present,
                                 std::chrono::milliseconds timeout) {
    return pollUntil(timeout, [&] { return hasMount(mount) == present; });
}

void IcecastServer::suspend() {
    if (server_) {
        server_->suspend();
    }
}

void IcecastServer::resume() {
    if (server_) {
        server_->resume();
    }
}

std::string IcecastServer::log() const {
    return server_ ? server_->log() : "";
}

// ---------------------------------------------------------------------------------------------

ToneSource::ToneSource(IcecastServer& icecast, std::string mount, double frequency, Codec codec)
    : icecast_(icecast), mount_(std::move(mount)), frequency_(frequency), codec_(codec) {}

ToneSource::~ToneSource() {
    if (process_) {
        process_->kill();
    }
    stopRelay();
}

bool ToneSource::start(std::chrono::milliseconds timeout) {
    // The first GStreamer run on a fresh machine also builds its plug-in registry.
    std::vector<std::string> argv = {"gst-launch-1.0",
                                     "-q",
                                     "audiotestsrc",
                                     "is-live=true",
                                     "wave=sine",
                                     "freq=" + std::to_string(frequency_),
                                     "volume=0.5",
                                     "!",
                                     "audio/x-raw,rate=44100,channels=2",
                                     "!",
                                     "audioconvert",
                                     "!"};
    // An Ogg station names itself in the stream's own comments too (ORGANIZATION), as the
    // icy-name header does not get through the Ogg demuxer.
    const bool ogg = codec_ == Codec::Vorbis || codec_ == Codec::Opus;
    std::string tags;
    const auto addTag = [&tags](const char* name, const std::string& value) {
        // Quoted twice: gst-launch joins its arguments and parses the line again.
        tags += (tags.empty() ? "" : ",") + std::string(name) + "=\\\"" + value + "\\\"";
    };
    if (!tagTitle_.empty()) {
        addTag("title", tagTitle_);
    }
    if (ogg && !streamName_.empty()) {
        addTag("organization", streamName_);
    }
    if (!tags.empty()) {
        argv.insert(argv.end(), {"taginject", "tags=\"" + tags + "\"", "!"});
    }
    if (codec_ == Codec::Vorbis) {
        argv.insert(argv.end(), {"vorbisenc", "quality=0.5", "!", "oggmux", "!"});
    } else if (codec_ == Codec::Opus) {
        argv.insert(argv.end(),
                    {"audioresample", "!", "opusenc", "bitrate=96000", "!", "oggmux", "!"});
    } else if (codec_ == Codec::Mp3) {
        argv.insert(argv.end(),
                    {"lamemp3enc", "target=bitrate", "bitrate=128", "!", "mpegaudioparse", "!"});
    } else {
        argv.insert(argv.end(), {"avenc_aac", "bitrate=128000", "!", "aacparse", "!",
                                 "audio/mpeg,mpegversion=4,stream-format=adts", "!"});
    }
    if (codec_ == Codec::Aac) {
        argv.insert(argv.end(), {"fdsink", "fd=1", "sync=false"});
    } else {
        argv.insert(argv.end(),
                    {"shout2send", "ip=127.0.0.1", "port=" + std::to_string(icecast_.port()),
                     "password=" + icecast_.sourcePassword(), "mount=" + mount_, "sync=true"});
        if (!streamName_.empty()) {
            argv.push_back("streamname=" + streamName_);
        }
    }
    ChildProcess::Options options;
    options.argv = argv;
    options.logPath = dir_.path() / ("source-" + std::to_string(++runs_) + ".log");
    options.captureStdout = codec_ == Codec::Aac;
    process_.emplace(options);
    if (codec_ == Codec::Aac && !startRelay(timeout)) {
        return false;
    }
    return icecast_.waitForMount(mount_, true, timeout);
}

bool ToneSource::startRelay(std::chrono::milliseconds timeout) {
    stopRelay();
    relayFd_ = connectLoopback(icecast_.port());
    if (relayFd_ < 0) {
        return false;
    }
    const std::string request = "PUT " + mount_ +
                                " HTTP/1.0\r\n"
                                "Authorization: Basic " +
                                base64("source:" + icecast_.sourcePassword()) +
                                "\r\n"
                                "Content-Type: audio/aac\r\n"
                                "Ice-Public: 0\r\n"
                                "Ice-Name: tone\r\n\r\n";
    if (::send(relayFd_, request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size())) {
        return false;
    }
    // Icecast answers once it has taken the mount.
    std::string reply;
    const auto deadline = Clock::now() + timeout;
    while (reply.find("\r\n\r\n") == std::string::npos && Clock::now() < deadline) {
        pollfd p{relayFd_, POLLIN, 0};
        if (::poll(&p, 1, 50) > 0) {
            char c = 0;
            if (::recv(relayFd_, &c, 1, 0) != 1) {
                break;
            }
            reply.push_back(c);
        }
    }
    if (reply.rfind("HTTP/1.0 200", 0) != 0 && reply.rfind("HTTP/1.1 200", 0) != 0) {
        return false;
    }
    relayStopping_ = false;
    relay_ = std::thread([this, in = process_->readFd(), out = relayFd_] {
        char buffer[4096];
        while (!relayStopping_) {
            pollfd p{in, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) {
                continue;
            }
            const ssize_t n = ::read(in, buffer, sizeof buffer);
            if (n <= 0 || ::send(out, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) != n) {
                break;
            }
        }
    });
    return true;
}

void ToneSource::stopRelay() {
    relayStopping_ = true;
    if (relay_.joinable()) {
        relay_.join();
    }
    if (relayFd_ >= 0) {
        ::close(relayFd_);
        relayFd_ = -1;
    }
}

bool ToneSource::kill(std::chrono::milliseconds timeout) {
    if (process_) {
        process_->kill();
    }
    stopRelay();
    return icecast_.waitForMount(mount_, false, timeout);
}

std::string ToneSource::log() const {
    return process_ ? process_->log() : "";
}

} // namespace tamsel::test
