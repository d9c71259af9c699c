#pragma once

// Real audio infrastructure for the sound tests, all on this machine only: a private
// PulseAudio server with a null sink, a recorder on that sink's monitor, an Icecast 2 server
// on 127.0.0.1 and a GStreamer source feeding it a test tone.
//
// Every child process gets a watchdog twice over: it is killed when the test process dies
// (parent-death signal), and it ends itself after a fixed lifetime (alarm), so a crashed or
// hung test leaves nothing behind. Destructors stop whatever is still running.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace tamsel::test {

// Longest a launched helper process may live, whatever happens to the test.
inline constexpr std::chrono::seconds ChildLifetime{150};

// A directory under the system's temp dir, removed with everything in it on destruction.
class TempDir {
public:
    explicit TempDir(const std::string& prefix);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// One child process. Its stdout and stderr go to logPath unless stdout is captured through
// a pipe (readFd()).
class ChildProcess {
public:
    struct Options {
        std::vector<std::string> argv;
        std::map<std::string, std::string> env; // added to (or replacing in) this process's
        std::filesystem::path logPath;          // empty: /dev/null
        bool captureStdout = false;
        std::string user; // run as this user (needs root); empty: as the test
    };

    explicit ChildProcess(const Options& options);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    int readFd() const { return readFd_; }
    bool running();
    // SIGTERM, then SIGKILL if it has not gone after grace. Returns once it is reaped.
    void stop(std::chrono::milliseconds grace = std::chrono::milliseconds(2000));
    // SIGKILL at once, like a crash or a pulled cable.
    void kill();
    // SIGSTOP / SIGCONT: the process keeps its sockets but answers nothing, like a host
    // behind a network that went away without a word.
    void suspend();
    void resume();
    // The end of what it wrote to its log.
    std::string log() const;

private:
    void reap(bool block);
    pid_t pid_ = -1;
    int readFd_ = -1;
    std::filesystem::path logPath_;
};

// A TCP port on 127.0.0.1 that nothing listened on a moment ago.
int freeTcpPort();
// Polls until something accepts connections on 127.0.0.1:port.
bool waitForTcpPort(int port, std::chrono::milliseconds timeout);
// A plain HTTP/1.0 GET to 127.0.0.1; the whole reply (headers and body), or nullopt when the
// connection fails. Reads at most maxBytes (streams never end by themselves).
// extraHeaders: whole header lines, each ending in CR LF.
std::optional<std::string> httpGet(int port, const std::string& path,
                                   std::chrono::milliseconds timeout, size_t maxBytes = 1 << 20,
                                   const std::string& extraHeaders = {});

// PulseAudio with one null sink, reachable only through a unix socket in a private dir.
class PulseServer {
public:
    PulseServer();
    ~PulseServer();
    // Starts the daemon and waits until the sink is there; false (with log()) on failure.
    bool start(std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
    void stop();

    // For PULSE_SERVER or --server=.
    std::string serverString() const;
    std::string sinkName() const { return "tamsel_test_sink"; }
    std::string monitorName() const { return sinkName() + ".monitor"; }
    std::string log() const;
    // The environment a client of this server needs.
    std::map<std::string, std::string> clientEnv() const;

private:
    TempDir dir_{"tamsel-pulse-"};
    std::optional<ChildProcess> daemon_;
};

// Records the monitor of a PulseAudio sink as 16-bit stereo and keeps it as mono samples
// (the mean of both channels) in memory, counted from the start of recording.
class MonitorRecorder {
public:
    static constexpr int SampleRate = 44100;

    explicit MonitorRecorder(const PulseServer& pulse);
    ~MonitorRecorder();
    // Starts parec and waits for its first samples.
    bool start(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
    void stop();

    int64_t sampleCount() const;
    // Samples [from, from + count); fewer when not yet recorded.
    std::vector<float> samples(int64_t from, int64_t count) const;
    std::string log() const;

private:
    void readLoop();
    const PulseServer& pulse_;
    TempDir dir_{"tamsel-parec-"};
    std::optional<ChildProcess> parec_;
    std::thread reader_;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::vector<float> mono_;
};

// Icecast 2 on 127.0.0.1 and a free port, configured in a private dir.
class IcecastServer {
public:
    IcecastServer();
    ~IcecastServer();
    bool start(std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
    void stop();

    int port() const { return port_; }
    std::string sourcePassword() const { return "tamsel-source"; }
    std::string url(const std::string& mount) const;
    // Whether a source is currently feeding mount (from the server's own status page).
    bool hasMount(const std::string& mount) const;
    bool waitForMount(const std::string& mount, bool present, std::chrono::milliseconds timeout);
    // Sets the title the mount's listeners get in-band (StreamTitle), as a station's admin
    // does through the server's metadata update.
    bool setTitle(const std::string& mount, const std::string& title);
    std::string log() const;
    // Freezes and thaws the server (see ChildProcess::suspend).
    void suspend();
    void resume();

private:
    TempDir dir_{"tamsel-icecast-"};
    int port_ = 0;
    std::optional<ChildProcess> server_;
};

// gst-launch sending a sine tone to an Icecast mount, encoded as Ogg/Vorbis, MP3 or AAC.
// Vorbis and MP3 go through GStreamer's own Icecast client; AAC, which that client does not
// carry, is written to a pipe and relayed from here with Icecast's HTTP PUT source protocol.
class ToneSource {
public:
    enum class Codec { Vorbis, Opus, Mp3, Aac };
    ToneSource(IcecastServer& icecast, std::string mount, double frequency,
               Codec codec = Codec::Vorbis);
    ~ToneSource();
    // The station's name the server announces to listeners (icy-name); before start().
    void setStreamName(std::string name) { streamName_ = std::move(name); }
    // The title the stream's own tags carry (Vorbis or Opus comments); before start().
    void setTagTitle(std::string title) { tagTitle_ = std::move(title); }
    // Starts the source and waits until Icecast lists the mount.
    bool start(std::chrono::milliseconds timeout = std::chrono::milliseconds(30000));
    // Kills the source the way a crash or network drop would, and waits until the mount is
    // gone from the server.
    bool kill(std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
    std::string log() const;

private:
    bool startRelay(std::chrono::milliseconds timeout);
    void stopRelay();
    IcecastServer& icecast_;
    std::string mount_;
    double frequency_;
    Codec codec_;
    std::string streamName_;
    std::string tagTitle_;
    TempDir dir_{"tamsel-tone-"};
    int runs_ = 0;
    std::optional<ChildProcess> process_;
    int relayFd_ = -1;
    std::atomic<bool> relayStopping_{false};
    std::thread relay_;
};

} // namespace tamsel::test
