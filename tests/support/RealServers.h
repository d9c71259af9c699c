#pragma once

// Real servers a test starts for itself on 127.0.0.1: nginx, Apache httpd and squid. Each
// gets a configuration in a temporary directory and a free port, is ready (its port
// accepts connections) when the constructor returns, and is stopped by the destructor. A
// watchdog (the `timeout` utility around the server, plus a signal on the test process's
// death) makes the server end on its own if the test crashes. Constructors throw
// std::runtime_error, with the server's log, when a server does not come up.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace testsupport {

// A TCP port on 127.0.0.1 that was free a moment ago.
uint16_t freePort();
// True once a connection to 127.0.0.1:port succeeds within the timeout.
bool waitForPort(uint16_t port, std::chrono::milliseconds timeout);

std::string readFile(const std::string& path);
// True while this process holds the file at path open.
bool openInThisProcess(const std::string& path);
void writeFile(const std::string& path, std::string_view content);

// A fresh directory under the system's temporary directory, removed with everything in it
// by the destructor.
class TempDir {
public:
    explicit TempDir(std::string_view prefix = "tamsel-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // path() + "/" + name
    std::string file(std::string_view name) const;
    // Writes a file (creating parent directories) and returns its path.
    std::string write(std::string_view name, std::string_view content) const;

private:
    std::string path_;
};

// A child process in a process group of its own, under a watchdog that kills it after
// `lifetime`. Its standard output and error go to logPath.
class ServerProcess {
public:
    ServerProcess(const std::vector<std::string>& argv, std::chrono::seconds lifetime,
                  const std::string& logPath);
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // Terminates the whole group (politely, then by force) and reaps it.
    void stop();
    bool running();
    // Waits for the process to end on its own; its exit status, or -1.
    int wait();
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
};

// The lifetime a test server gets unless told otherwise.
inline constexpr std::chrono::seconds kServerLifetime{300};

// nginx serving docroot. Besides the static files, every request under /form/ is read
// whole and passed to a second, internal server block that answers 200 "form received\n";
// that is what makes nginx keep the body, so the access log shows it. "/status/500" answers
// 500 with nginx's own error page.
class NginxServer {
public:
    explicit NginxServer(std::string docroot, std::chrono::seconds lifetime = kServerLifetime);
    ~NginxServer();
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    uint16_t port() const { return port_; }
    // "http://127.0.0.1:PORT" followed by path.
    std::string url(std::string_view path = "/") const;
    // The same on the IPv6 loopback, where nginx listens too: "http://[::1]:PORT" and path.
    std::string url6(std::string_view path = "/") const;

    // One access-log line. Fields nginx had no value for are "-"; the body is unescaped
    // from nginx's \xHH escapes, so it holds the bytes nginx received.
    struct LogEntry {
        int status = 0;
        std::string method;
        std::string uri;
        std::string protocol;
        int64_t requestLength = 0;
        int64_t bodyBytesSent = 0;
        std::string host;
        std::string contentType;
        std::string body;
    };
    std::vector<LogEntry> accessLog() const;
    // Waits until the access log holds at least count entries (nginx writes a line once
    // the response has gone out, which may be just after the client saw it).
    std::vector<LogEntry>
    waitForAccessLog(size_t count,
                     std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) const;
    std::string errorLog() const;

private:
    TempDir dir_;
    std::string docroot_;
    uint16_t port_ = 0;
    uint16_t backendPort_ = 0;
    std::unique_ptr<ServerProcess> process_;
};

// Apache httpd serving docroot at "/", at "/basic/" behind Basic authentication (realm
// kBasicRealm, users from basicUsers) and at "/digest/" behind Digest authentication (realm
// kDigestRealm, users from digestUsers). When the test runs as root, httpd serves as
// "nobody".
class ApacheServer {
public:
    static constexpr const char* kBasicRealm = "tamsel basic";
    static constexpr const char* kDigestRealm = "tamsel digest";
    using Users = std::vector<std::pair<std::string, std::string>>;

    ApacheServer(std::string docroot, Users basicUsers, Users digestUsers,
                 std::chrono::seconds lifetime = kServerLifetime);
    ~ApacheServer();
    ApacheServer(const ApacheServer&) = delete;
    ApacheServer& operator=(const ApacheServer&) = delete;

    uint16_t port() const { return port_; }
    std::string url(std::string_view path = "/") const;
    // Access log lines in the common log format followed by the Authorization header sent.
    std::string accessLog() const;
    std::string errorLog() const;

private:
    TempDir dir_;
    uint16_t port_ = 0;
    std::unique_ptr<ServerProcess> process_;
};

// squid as a forward proxy. With users it demands Basic (basic_ncsa_auth) or Digest
// (digest_file_auth) proxy authentication, realm kRealm; without, it forwards for anyone on
// loopback. It caches nothing.
class SquidProxy {
public:
    static constexpr const char* kRealm = "tamsel proxy";
    using Users = std::vector<std::pair<std::string, std::string>>;
    enum class Scheme { Basic, Digest };

    explicit SquidProxy(Users users = {}, Scheme scheme = Scheme::Basic,
                        std::chrono::seconds lifetime = kServerLifetime);
    ~SquidProxy();
    SquidProxy(const SquidProxy&) = delete;
    SquidProxy& operator=(const SquidProxy&) = delete;

    uint16_t port() const { return port_; }
    std::string accessLog() const;
    std::string cacheLog() const;

private:
    TempDir dir_;
    uint16_t port_ = 0;
    std::unique_ptr<ServerProcess> process_;
};

// lighttpd serving docroot behind Digest authentication (mod_auth, an htdigest file) for
// every path, with algorithm "MD5" or "SHA-256". realm is the challenge's realm exactly as it goes
// out between its quotation marks, backslash escapes included; each user's stored digest is taken
// over the realm as a user reads it (escapes removed), as an htdigest tool given that realm would
// store it.
class LighttpdServer {
public:
    using Users = std::vector<std::pair<std::string, std::string>>;

    LighttpdServer(std::string docroot, const std::string& realm, const Users& digestUsers,
                   const std::string& algorithm = "MD5",
                   std::chrono::seconds lifetime = kServerLifetime);
    ~LighttpdServer();
    LighttpdServer(const LighttpdServer&) = delete;
    LighttpdServer& operator=(const LighttpdServer&) = delete;

    uint16_t port() const { return port_; }
    std::string url(std::string_view path = "/") const;
    std::string errorLog() const;

private:
    TempDir dir_;
    uint16_t port_ = 0;
    std::unique_ptr<ServerProcess> process_;
};

} // namespace testsupport
