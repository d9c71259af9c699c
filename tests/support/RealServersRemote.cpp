// The real-server fixtures where the tests cannot start Linux servers themselves (the
// Windows build under Wine): the run's Linux side starts nginx serving a folder both sides
// see, and passes its address and that folder in the environment (tests/wine/run).

#include "support/RealServers.h"
#include "support/TestSockets.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <windows.h>

namespace testsupport {

namespace fs = std::filesystem;

namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// The folder nginx serves; temporary folders go there so nginx can serve what tests write.
fs::path sharedRoot() {
    const std::string shared = environment("TAMSEL_NGINX_ROOT");
    return shared.empty() ? fs::temp_directory_path() : fs::path(shared);
}

} // namespace

uint16_t freePort() {
    uint16_t port = 0;
    const sock::Handle s = sock::listenLoopback(port);
    if (s == sock::kInvalid) {
        throw std::runtime_error("no free port on 127.0.0.1");
    }
    sock::close(s);
    return port;
}

bool waitForPort(uint16_t port, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        if (sock::canConnect(port)) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

bool openInThisProcess(const std::string& path) {
    // Files the C runtime opens share neither writing nor deleting: an exclusive open of a
    // file that is open anywhere fails with a sharing violation.
    HANDLE h = ::CreateFileW(fs::path(path).wstring().c_str(), GENERIC_READ, 0, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        ::CloseHandle(h);
        return false;
    }
    return ::GetLastError() == ERROR_SHARING_VIOLATION;
}

TempDir::TempDir(std::string_view prefix) {
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path candidate =
            sharedRoot() / (std::string(prefix) + "-" + std::to_string(random()) + "-" +
                            std::to_string(counter++));
        std::error_code error;
        if (fs::create_directory(candidate, error)) {
            path_ = candidate.string();
            return;
        }
    }
    throw std::runtime_error("cannot make a temporary folder");
}

NginxServer::NginxServer(std::string docroot, std::chrono::seconds) : docroot_(std::move(docroot)) {
    const std::string port = environment("TAMSEL_NGINX_PORT");
    if (port.empty()) {
        throw std::runtime_error("no nginx was started for this run (TAMSEL_NGINX_PORT)");
    }
    port_ = static_cast<uint16_t>(std::stoi(port));
    if (!waitForPort(port_, std::chrono::seconds(5))) {
        throw std::runtime_error("the run's nginx does not answer on port " + port);
    }
}

NginxServer::~NginxServer() = default;

std::string NginxServer::url(std::string_view path) const {
    // The docroot is a folder inside the one nginx serves.
    const std::string prefix = fs::path(docroot_).lexically_relative(sharedRoot()).generic_string();
    return "http://127.0.0.1:" + std::to_string(port_) + "/" + prefix + std::string(path);
}

std::string NginxServer::url6(std::string_view path) const {
    const std::string prefix = fs::path(docroot_).lexically_relative(sharedRoot()).generic_string();
    return "http://[::1]:" + std::to_string(port_) + "/" + prefix + std::string(path);
}

} // namespace testsupport

namespace testsupport {

// No server process is started from this side; the nginx fixture above holds none.
ServerProcess::~ServerProcess() = default;

} // namespace testsupport
