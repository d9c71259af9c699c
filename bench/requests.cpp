// Sequential blocking GETs, each on a new connection, for bench/run to time against curl.
//
//   bench_requests URL COUNT EXPECTED_BYTES
//
// One client object makes COUNT blocking Gets of URL one after another; HTTP/1.0 makes the
// server close every connection, so each request connects anew. The program prints the
// rate and exits with status 1 as soon as a reply is not EXPECTED_BYTES with status 200.

#include "http/HTTPSocket.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s URL COUNT EXPECTED_BYTES\n", argv[0]);
        return 2;
    }
    const std::string url = argv[1];
    const long count = std::atol(argv[2]);
    const auto expected = static_cast<size_t>(std::atoll(argv[3]));

    http::HTTPSocket socket;
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < count; ++i) {
        const std::string body = socket.Get(url, 10);
        if (body.size() != expected || socket.HTTPStatusCode() != 200 || socket.ErrorCode() != 0) {
            std::fprintf(stderr,
                         "bench_requests: request %ld gave %zu bytes, status %lld, error %lld\n",
                         i + 1, body.size(), static_cast<long long>(socket.HTTPStatusCode()),
                         static_cast<long long>(socket.ErrorCode()));
            return 1;
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%ld requests in %.3f s (%.0f per second)\n", count, seconds, count / seconds);
    return 0;
}
