// One blocking download, for bench/run to time against curl.
//
//   bench_download URL memory EXPECTED_BYTES [CALLS]
//   bench_download URL file PATH EXPECTED_BYTES
//
// "memory" is the blocking Get that returns the body as text, CALLS times (default 1), on
// one client object; "file" the blocking Get into a download file. The caller times the
// whole process, as it does for its peers, and reads the peak resident memory from the
// process's accounting; the program itself prints "call SECONDS" for every call (the time of
// the call alone, for the throughput picture, where start-up would swamp small bodies), then
// the byte count and its own peak resident memory (getrusage), and exits with status 1 when
// a download did not deliver exactly EXPECTED_BYTES with status 200 and no error.

#include "http/HTTPSocket.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

constexpr int64_t kTimeoutSeconds = 30;

long peakResidentKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

int usage(const char* program) {
    std::fprintf(stderr,
                 "usage: %s URL memory EXPECTED_BYTES [CALLS] | URL file PATH EXPECTED_BYTES\n",
                 program);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        return usage(argv[0]);
    }
    const std::string url = argv[1];
    const std::string mode = argv[2];
    const bool toFile = mode == "file";
    if ((!toFile && mode != "memory") || (toFile && argc < 5)) {
        return usage(argv[0]);
    }
    const long long expected = std::atoll(argv[toFile ? 4 : 3]);
    const long calls = !toFile && argc > 4 ? std::atol(argv[4]) : 1;

    http::HTTPSocket socket;
    for (long call = 1; call <= calls; ++call) {
        const auto start = std::chrono::steady_clock::now();
        long long received = 0;
        bool ok = false;
        if (toFile) {
            const std::string path = argv[3];
            ok = socket.Get(url, std::make_shared<host::FolderItem>(path), kTimeoutSeconds);
            struct stat info {};
            if (::stat(path.c_str(), &info) == 0) {
                received = static_cast<long long>(info.st_size);
            }
        } else {
            const std::string body = socket.Get(url, kTimeoutSeconds);
            received = static_cast<long long>(body.size());
            ok = true;
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("call %.6f\n", seconds);
        if (call == calls) {
            std::printf("mode %s: %lld bytes in %.3f s (%.1f MiB/s), peak resident %ld KiB, "
                        "status %lld, error %lld\n",
                        mode.c_str(), received, seconds, received / seconds / 1048576.0,
                        peakResidentKiB(), static_cast<long long>(socket.HTTPStatusCode()),
                        static_cast<long long>(socket.ErrorCode()));
        }
        if (!ok || received != expected || socket.HTTPStatusCode() != 200 ||
            socket.ErrorCode() != 0) {
            std::fprintf(stderr, "bench_download: call %ld: expected %lld bytes with status 200\n",
                         call, expected);
            return 1;
        }
    }
    return 0;
}
