#include "support/RealServers.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sstream>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace testsupport {

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr auto kStartupBound = 15s;
constexpr auto kStopBound = 5s;

std::string loopbackUrl(uint16_t port, std::string_view path) {
    return "http://127.0.0.1:" + std::to_string(port) + std::string(path);
}

// Runs a short helper program to completion; its output goes to logPath.
int runCommand(const std::vector<std::string>& argv, const std::string& logPath) {
    ServerProcess process(argv, 30s, logPath);
    return process.wait();
}

// The digest of text by the system's own tool (md5sum, sha256sum), in hexadecimal.
std::string digestHex(const TempDir& dir, const std::string& tool, std::string_view text) {
    const std::string input = dir.write("digest-input", text);
    const std::string output = dir.file("digest-output");
    // The command's log is appended to: empty it, or a second call reads the first digest.
    writeFile(output, "");
    if (runCommand({tool, input}, output) != 0) {
        throw std::runtime_error(tool + " failed");
    }
    const std::string line = readFile(output);
    return line.substr(0, line.find(' '));
}

std::string md5Hex(const TempDir& dir, std::string_view text) {
    return digestHex(dir, "md5sum", text);
}

std::string sha256Hex(const TempDir& dir, std::string_view text) {
    return digestHex(dir, "sha256sum", text);
}

void writeHtpasswd(const TempDir& dir, const std::string& path,
                   const std::vector<std::pair<std::string, std::string>>& users) {
    writeFile(path, "");
    for (const auto& [user, password] : users) {
        if (runCommand({"htpasswd", "-b", "-m", path, user, password}, dir.file("htpasswd.log")) !=
            0) {
            throw std::runtime_error("htpasswd failed: " + readFile(dir.file("htpasswd.log")));
        }
    }
    ::chmod(path.c_str(), 0644);
}

// Starts the server and waits until its port accepts; throws with the logs otherwise.
std::unique_ptr<ServerProcess> startAndWait(const std::string& name,
                                            const std::vector<std::string>& argv,
                                            std::chrono::seconds lifetime,
                                            const std::string& outputLog, uint16_t port,
                                            const std::string& serverLog) {
    auto process = std::make_unique<ServerProcess>(argv, lifetime, outputLog);
    const auto deadline = std::chrono::steady_clock::now() + kStartupBound;
    while (std::chrono::steady_clock::now() < deadline) {
        if (waitForPort(port, 100ms)) {
            return process;
        }
        if (!process->running()) {
            break;
        }
    }
    process->stop();
    throw std::runtime_error(name + " did not come up on port " + std::to_string(port) +
                             "\n--- output ---\n" + readFile(outputLog) + "\n--- log ---\n" +
                             readFile(serverLog));
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::string unescapeNginx(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' &&
            hexValue(text[i + 2]) >= 0 && hexValue(text[i + 3]) >= 0) {
            out += static_cast<char>(hexValue(text[i + 2]) * 16 + hexValue(text[i + 3]));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::vector<std::string> splitTabs(const std::string& line) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        const size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab - start));
        if (tab == std::string::npos) {
            return fields;
        }
        start = tab + 1;
    }
}

int64_t toInt(const std::string& text) {
    return std::strtoll(text.c_str(), nullptr, 10);
}

} // namespace

// --- helpers -----------------------------------------------------------------------------

uint16_t freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) < 0) {
        if (fd >= 0) {
            ::close(fd);
        }
        throw std::runtime_error("no free port on 127.0.0.1");
    }
    ::close(fd);
    return ntohs(addr.sin_port);
}

bool waitForPort(uint16_t port, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(port);
        const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        ::close(fd);
        if (ok) {
            return true;
        }
        std::this_thread::sleep_for(20ms);
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

bool openInThisProcess(const std::string& path) {
    const fs::path target = fs::weakly_canonical(path);
    std::error_code ec;
    for (const fs::directory_entry& fd : fs::directory_iterator("/proc/self/fd", ec)) {
        std::error_code linkError;
        if (fs::read_symlink(fd.path(), linkError) == target) {
            return true;
        }
    }
    return false;
}

TempDir::TempDir(std::string_view prefix) {
    std::string pattern = (fs::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed for " + pattern);
    }
    path_ = pattern;
    // Servers that drop privileges must be able to look inside.
    ::chmod(path_.c_str(), 0755);
}

// --- ServerProcess -----------------------------------------------------------------------

ServerProcess::ServerProcess(const std::vector<std::string>& argv, std::chrono::seconds lifetime,
                             const std::string& logPath) {
    std::vector<std::string> full = {"timeout", "--kill-after=5", std::to_string(lifetime.count())};
    full.insert(full.end(), argv.begin(), argv.end());
    std::vector<char*> args;
    for (std::string& a : full) {
        args.push_back(a.data());
    }
    args.push_back(nullptr);

    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        ::setpgid(0, 0);
        // If the test process dies, the watchdog hears of it and takes the server along.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) {
            ::_exit(127);
        }
        const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (log >= 0) {
            ::dup2(log, STDOUT_FILENO);
            ::dup2(log, STDERR_FILENO);
        }
        if (null >= 0) {
            ::dup2(null, STDIN_FILENO);
        }
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::setpgid(pid_, pid_);
}

ServerProcess::~ServerProcess() {
    stop();
}

int ServerProcess::wait() {
    if (reaped_ || pid_ <= 0) {
        return -1;
    }
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool ServerProcess::running() {
    if (reaped_) {
        return false;
    }
    int status = 0;
    const pid_t rc = ::waitpid(pid_, &status, WNOHANG);
    if (rc == pid_ || (rc < 0 && errno == ECHILD)) {
        reaped_ = true;
        return false;
    }
    return true;
}

void ServerProcess::stop() {
    if (pid_ <= 0) {
        return;
    }
    if (running()) {
        ::kill(-pid_, SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + kStopBound;
        while (running() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(10ms);
        }
        if (running()) {
            ::kill(-pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
            reaped_ = true;
        }
    }
    // Whatever of the group outlived its leader goes too.
    ::kill(-pid_, SIGKILL);
    pid_ = -1;
}

// --- nginx -------------------------------------------------------------------------------

NginxServer::NginxServer(std::string docroot, std::chrono::seconds lifetime)
    : dir_("tamsel-nginx"), docroot_(std::move(docroot)) {
    port_ = freePort();
    backendPort_ = freePort();
    while (backendPort_ == port_) {
        backendPort_ = freePort();
    }
    fs::create_directories(dir_.file("tmp"));
    const std::string d = dir_.path();
    const std::string p = std::to_string(port_);
    const std::string b = std::to_string(backendPort_);
    // One process, in the foreground: nothing to chase at shutdown, nothing running as
    // another user. Bodies under /form/ are read into one memory buffer and passed on,
    // which is when nginx fills $request_body.
    const std::string conf =
        "daemon off;\n"
        "master_process off;\n"
        "pid " +
        d +
        "/nginx.pid;\n"
        "error_log " +
        d +
        "/error.log warn;\n"
        "events { worker_connections 256; }\n"
        "http {\n"
        "  default_type application/octet-stream;\n"
        "  types { text/html html; text/plain txt; }\n"
        "  access_log off;\n"
        "  sendfile on;\n"
        "  client_body_temp_path " +
        d +
        "/tmp/body;\n"
        "  proxy_temp_path " +
        d +
        "/tmp/proxy;\n"
        "  fastcgi_temp_path " +
        d +
        "/tmp/fastcgi;\n"
        "  uwsgi_temp_path " +
        d +
        "/tmp/uwsgi;\n"
        "  scgi_temp_path " +
        d +
        "/tmp/scgi;\n"
        "  log_format tamsel \"$status\\t$request_method\\t$request_uri\\t$server_protocol\\t"
        "$request_length\\t$body_bytes_sent\\t$http_host\\t$content_type\\t$request_body\";\n"
        "  server {\n"
        "    listen 127.0.0.1:" +
        p +
        ";\n"
        "    listen [::1]:" +
        p +
        ";\n"
        "    server_name localhost;\n"
        "    root " +
        docroot_ +
        ";\n"
        "    access_log " +
        d +
        "/access.log tamsel;\n"
        "    location /form/ {\n"
        "      client_max_body_size 16m;\n"
        "      client_body_buffer_size 16m;\n"
        "      client_body_in_single_buffer on;\n"
        "      proxy_http_version 1.0;\n"
        "      proxy_pass http://127.0.0.1:" +
        b +
        "/;\n"
        "    }\n"
        // A server failure on demand, with nginx's own error page.
        "    location = /status/500 { return 500; }\n"
        "  }\n"
        "  server {\n"
        "    listen 127.0.0.1:" +
        b +
        ";\n"
        "    access_log off;\n"
        "    location / { default_type text/plain; return 200 \"form received\\n\"; }\n"
        "  }\n"
        "}\n";
    dir_.write("nginx.conf", conf);
    process_ = startAndWait(
        "nginx", {"nginx", "-p", d + "/", "-c", d + "/nginx.conf", "-e", d + "/error.log"},
        lifetime, dir_.file("output.log"), port_, dir_.file("error.log"));
    if (!waitForPort(backendPort_, 5s)) {
        throw std::runtime_error("nginx backend did not come up\n" + errorLog());
    }
}

NginxServer::~NginxServer() {
    process_->stop();
}

std::string NginxServer::url(std::string_view path) const {
    return loopbackUrl(port_, path);
}

std::string NginxServer::url6(std::string_view path) const {
    return "http://[::1]:" + std::to_string(port_) + std::string(path);
}

std::vector<NginxServer::LogEntry> NginxServer::accessLog() const {
    std::vector<LogEntry> entries;
    std::istringstream in(readFile(dir_.file("access.log")));
    std::string line;
    while (std::getline(in, line)) {
        const std::vector<std::string> f = splitTabs(line);
        if (f.size() < 9) {
            continue;
        }
        LogEntry e;
        e.status = static_cast<int>(toInt(f[0]));
        e.method = unescapeNginx(f[1]);
        e.uri = unescapeNginx(f[2]);
        e.protocol = unescapeNginx(f[3]);
        e.requestLength = toInt(f[4]);
        e.bodyBytesSent = toInt(f[5]);
        e.host = unescapeNginx(f[6]);
        e.contentType = unescapeNginx(f[7]);
        e.body = unescapeNginx(f[8]);
        entries.push_back(std::move(e));
    }
    return entries;
}

std::vector<NginxServer::LogEntry>
NginxServer::waitForAccessLog(size_t count, std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::vector<LogEntry> entries = accessLog();
    while (entries.size() < count && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
        entries = accessLog();
    }
    return entries;
}

std::string NginxServer::errorLog() const {
    return readFile(dir_.file("error.log"));
}

// --- Apache httpd ------------------------------------------------------------------------

ApacheServer::ApacheServer(std::string docroot, Users basicUsers, Users digestUsers,
                           std::chrono::seconds lifetime)
    : dir_("tamsel-httpd") {
    port_ = freePort();
    const std::string d = dir_.path();
    fs::create_directories(dir_.file("run"));

    writeHtpasswd(dir_, dir_.file("htpasswd"), basicUsers);
    std::string digestLines;
    for (const auto& [user, password] : digestUsers) {
        digestLines += user + ":" + kDigestRealm + ":" +
                       md5Hex(dir_, user + ":" + kDigestRealm + ":" + password) + "\n";
    }
    dir_.write("htdigest", digestLines);
    ::chmod(dir_.file("htdigest").c_str(), 0644);

    const std::string modules = "/usr/lib/apache2/modules/";
    std::string conf = "ServerRoot \"" + d +
                       "\"\n"
                       "ServerName 127.0.0.1\n"
                       "Listen 127.0.0.1:" +
                       std::to_string(port_) +
                       "\n"
                       "PidFile " +
                       d +
                       "/httpd.pid\n"
                       "DefaultRuntimeDir " +
                       d +
                       "/run\n"
                       "Mutex file:" +
                       d +
                       "/run default\n"
                       "ErrorLog " +
                       d +
                       "/error.log\n"
                       "LogLevel warn\n";
    for (const char* m : {"mpm_prefork", "authn_core", "authn_file", "authz_core", "authz_user",
                          "auth_basic", "auth_digest", "alias", "mime"}) {
        conf += std::string("LoadModule ") + m + "_module " + modules + "mod_" + m + ".so\n";
    }
    // httpd refuses to serve as root; as root it switches to this user after start-up.
    conf += "User nobody\n"
            "Group nogroup\n"
            "TypesConfig /etc/mime.types\n"
            "LogFormat \"%h %l %u %t \\\"%r\\\" %>s %b \\\"%{Authorization}i\\\"\" tamsel\n"
            "CustomLog " +
            d +
            "/access.log tamsel\n"
            "DocumentRoot \"" +
            docroot +
            "\"\n"
            "<Directory \"" +
            docroot +
            "\">\n  Require all granted\n</Directory>\n"
            "Alias /basic/ \"" +
            docroot +
            "/\"\n"
            "Alias /digest/ \"" +
            docroot +
            "/\"\n"
            "<Location /basic/>\n"
            "  AuthType Basic\n"
            "  AuthName \"" +
            std::string(kBasicRealm) +
            "\"\n"
            "  AuthBasicProvider file\n"
            "  AuthUserFile " +
            d +
            "/htpasswd\n"
            "  Require valid-user\n"
            "</Location>\n"
            "<Location /digest/>\n"
            "  AuthType Digest\n"
            "  AuthName \"" +
            std::string(kDigestRealm) +
            "\"\n"
            "  AuthDigestDomain /digest/\n"
            "  AuthDigestProvider file\n"
            "  AuthUserFile " +
            d +
            "/htdigest\n"
            "  Require valid-user\n"
            "</Location>\n";
    dir_.write("httpd.conf", conf);
    // -X: one process in the foreground.
    process_ = startAndWait("httpd", {"apache2", "-X", "-d", d, "-f", d + "/httpd.conf"}, lifetime,
                            dir_.file("output.log"), port_, dir_.file("error.log"));
}

ApacheServer::~ApacheServer() {
    process_->stop();
}

std::string ApacheServer::url(std::string_view path) const {
    return loopbackUrl(port_, path);
}

std::string ApacheServer::accessLog() const {
    return readFile(dir_.file("access.log"));
}

std::string ApacheServer::errorLog() const {
    return readFile(dir_.file("error.log"));
}

// --- squid -------------------------------------------------------------------------------

SquidProxy::SquidProxy(Users users, Scheme scheme, std::chrono::seconds lifetime)
    : dir_("tamsel-squid") {
    port_ = freePort();
    const std::string d = dir_.path();
    std::string conf = "http_port 127.0.0.1:" + std::to_string(port_) +
                       "\n"
                       "pid_filename " +
                       d +
                       "/squid.pid\n"
                       "cache_log " +
                       d +
                       "/cache.log\n"
                       "access_log stdio:" +
                       d +
                       "/access.log\n"
                       "cache_store_log none\n"
                       "netdb_filename none\n"
                       "coredump_dir " +
                       d +
                       "\n"
                       "cache deny all\n"
                       "cache_mem 8 MB\n"
                       "shutdown_lifetime 1 seconds\n"
                       "icp_port 0\n"
                       "htcp_port 0\n"
                       "pinger_enable off\n"
                       "visible_hostname tamsel-proxy\n";
    if (!users.empty() && scheme == Scheme::Digest) {
        // digest_file_auth reads plain "user:password" lines.
        std::string lines;
        for (const auto& [user, password] : users) {
            lines += user + ":" + password + "\n";
        }
        dir_.write("passwd", lines);
        conf += "auth_param digest program /usr/lib/squid/digest_file_auth " + d +
                "/passwd\n"
                "auth_param digest children 2\n"
                "auth_param digest realm " +
                std::string(kRealm) + "\n";
    } else if (!users.empty()) {
        writeHtpasswd(dir_, dir_.file("passwd"), users);
        conf += "auth_param basic program /usr/lib/squid/basic_ncsa_auth " + d +
                "/passwd\n"
                "auth_param basic children 2\n"
                "auth_param basic realm " +
                std::string(kRealm) + "\n";
    }
    if (!users.empty()) {
        conf += "acl authenticated proxy_auth REQUIRED\n"
                "http_access allow localhost authenticated\n";
    } else {
        conf += "http_access allow localhost\n";
    }
    conf += "http_access deny all\n";
    dir_.write("squid.conf", conf);

    // squid will not keep running as root; it switches to its own user, which must be able
    // to write its logs.
    if (::geteuid() == 0) {
        if (const passwd* pw = ::getpwnam("proxy")) {
            for (const auto& entry : fs::recursive_directory_iterator(d)) {
                [[maybe_unused]] const int rc =
                    ::chown(entry.path().c_str(), pw->pw_uid, pw->pw_gid);
            }
            [[maybe_unused]] const int rc = ::chown(d.c_str(), pw->pw_uid, pw->pw_gid);
        }
    }
    process_ = startAndWait("squid", {"squid", "-N", "-f", d + "/squid.conf"}, lifetime,
                            dir_.file("output.log"), port_, dir_.file("cache.log"));
}

SquidProxy::~SquidProxy() {
    process_->stop();
}

std::string SquidProxy::accessLog() const {
    return readFile(dir_.file("access.log"));
}

std::string SquidProxy::cacheLog() const {
    return readFile(dir_.file("cache.log"));
}

// --- lighttpd ----------------------------------------------------------------------------

LighttpdServer::LighttpdServer(std::string docroot, const std::string& realm,
                               const Users& digestUsers, const std::string& algorithm,
                               std::chrono::seconds lifetime)
    : dir_("tamsel-lighttpd") {
    port_ = freePort();
    const std::string d = dir_.path();
    std::string plainRealm;
    for (size_t i = 0; i < realm.size(); ++i) {
        if (realm[i] == '\\' && i + 1 < realm.size()) {
            ++i;
        }
        plainRealm += realm[i];
    }
    // lighttpd looks a user up by the realm text it sends and by the user name as it came,
    // still escaped; the digest is over the plain texts.
    std::string digestLines;
    for (const auto& [user, password] : digestUsers) {
        std::string quotedUser;
        for (const char c : user) {
            quotedUser += c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
        }
        const std::string ha1 = user + ":" + plainRealm + ":" + password;
        digestLines += quotedUser + ":" + realm + ":" +
                       (algorithm == "SHA-256" ? sha256Hex(dir_, ha1) : md5Hex(dir_, ha1)) + "\n";
    }
    dir_.write("htdigest", digestLines);
    // In lighttpd's configuration strings only a quotation mark is escaped; other
    // backslashes stay as written.
    std::string configRealm;
    for (const char c : realm) {
        configRealm += c == '"' ? std::string("\\\"") : std::string(1, c);
    }
    const std::string conf =
        "server.document-root = \"" + docroot +
        "\"\n"
        "server.bind = \"127.0.0.1\"\n"
        "server.port = " +
        std::to_string(port_) +
        "\n"
        "server.errorlog = \"" +
        d +
        "/error.log\"\n"
        "server.modules = ( \"mod_auth\", \"mod_authn_file\" )\n"
        "auth.backend = \"htdigest\"\n"
        "auth.backend.htdigest.userfile = \"" +
        d +
        "/htdigest\"\n"
        "auth.require = ( \"/\" => ( \"method\" => \"digest\", \"realm\" => \"" +
        configRealm + "\", \"algorithm\" => \"" + algorithm +
        "\", \"require\" => \"valid-user\" ) )\n";
    dir_.write("lighttpd.conf", conf);
    // -D: in the foreground, so the watchdog and stop() reach it.
    process_ = startAndWait("lighttpd", {"lighttpd", "-D", "-f", d + "/lighttpd.conf"}, lifetime,
                            dir_.file("output.log"), port_, dir_.file("error.log"));
}

LighttpdServer::~LighttpdServer() {
    process_->stop();
}

std::string LighttpdServer::url(std::string_view path) const {
    return loopbackUrl(port_, path);
}

std::string LighttpdServer::errorLog() const {
    return readFile(dir_.file("error.log"));
}

} // namespace testsupport
