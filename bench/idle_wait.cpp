// Processor time of a blocking Get while the server stays silent.
//
// A loopback server accepts the connection, reads the request and then sends nothing for
// N seconds (default 10, or the first argument) before it answers. The client's blocking Get
// has a timeout of N + 5 seconds, so the call waits the whole N seconds and then returns the
// answer. The program prints the processor time the process used during the call (user +
// system, getrusage) and the wall time, and exits with status 1 when the call did not wait
// for the answer as expected, 2 when the wait used 0.01 s of processor time or more per
// second waited (0.1 s for the default 10 s).

#include "http/HTTPSocket.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr char kAnswer[] = "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nquiet";
constexpr double kCpuSecondsPerSecondWaited = 0.01;

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return double(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Listens on 127.0.0.1 at a free port; returns the descriptor and sets port.
int listenOnLoopback(uint16_t& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd, 1) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        std::perror("idle_wait: listen");
        std::exit(1);
    }
    port = ntohs(addr.sin_port);
    return fd;
}

// One connection: read the request head, stay silent, answer, close. Every wait is bounded
// so the program ends even if the client misbehaves.
void serveSilently(int listenFd, int silentSeconds) {
    pollfd pending{listenFd, POLLIN, 0};
    if (::poll(&pending, 1, 10000) != 1) {
        return;
    }
    const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        return;
    }
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
        pollfd readable{fd, POLLIN, 0};
        if (::poll(&readable, 1, 10000) != 1) {
            break;
        }
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        request.append(buffer, static_cast<size_t>(n));
    }
    std::this_thread::sleep_for(std::chrono::seconds(silentSeconds));
    [[maybe_unused]] const ssize_t sent = ::send(fd, kAnswer, sizeof kAnswer - 1, MSG_NOSIGNAL);
    ::shutdown(fd, SHUT_WR);
    pollfd closed{fd, POLLIN, 0};
    ::poll(&closed, 1, 2000);
    ::close(fd);
}

} // namespace

int main(int argc, char** argv) {
    const int silentSeconds = argc > 1 ? std::atoi(argv[1]) : 10;
    if (silentSeconds < 1 || silentSeconds > 3600) {
        std::fprintf(stderr, "usage: %s [silent seconds, 1 .. 3600]\n", argv[0]);
        return 1;
    }
    uint16_t port = 0;
    const int listenFd = listenOnLoopback(port);
    std::thread server(serveSilently, listenFd, silentSeconds);

    http::HTTPSocket socket;
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/idle";
    const double cpuBefore = cpuSeconds();
    const auto wallBefore = std::chrono::steady_clock::now();
    const std::string body = socket.Get(url, silentSeconds + 5);
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
    const double cpu = cpuSeconds() - cpuBefore;
    server.join();
    ::close(listenFd);

    const double limit = kCpuSecondsPerSecondWaited * silentSeconds;
    std::printf("silent server: %d s, blocking Get timeout: %d s\n", silentSeconds,
                silentSeconds + 5);
    std::printf("wall time: %.3f s\n", wall);
    std::printf("processor time (user + system): %.4f s (limit %.3f s)\n", cpu, limit);
    std::printf("result: \"%s\", ErrorCode %lld, status %lld\n", body.c_str(),
                static_cast<long long>(socket.ErrorCode()),
                static_cast<long long>(socket.HTTPStatusCode()));

    if (body != "quiet" || socket.ErrorCode() != 0 || wall < silentSeconds - 0.1) {
        std::fprintf(stderr, "idle_wait: the call did not wait for the server's answer\n");
        return 1;
    }
    if (cpu >= limit) {
        std::fprintf(stderr, "idle_wait: the wait used too much processor time\n");
        return 2;
    }
    return 0;
}
