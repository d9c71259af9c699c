#pragma once

// The command line, timing and checks shared by the drivers that put another library's
// HTTP client through the same work as bench_download and bench_requests, so bench/run can
// hold each of them side by side with ours:
//
//   PROGRAM URL memory EXPECTED_BYTES [CALLS]   the body into memory, CALLS times (default 1)
//   PROGRAM URL file PATH EXPECTED_BYTES        the body into a file
//   PROGRAM URL requests COUNT EXPECTED_BYTES   COUNT sequential GETs, a new connection each
//
// Every call prints "call SECONDS", the time of the call alone, which the throughput picture
// uses (the process's start-up would swamp the small bodies). The program exits with status
// 1 as soon as a reply is not EXPECTED_BYTES with status 200, so a peer that quietly did
// less work can never look faster.
//
// A client is a type with
//   BODY get(const std::string& url, bench::Outcome&)   the body, kept whole in memory
//   void getToFile(const std::string& url, const std::string& path, bench::Outcome&)
// where BODY is whatever the library hands its caller (it only needs size()).

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>

namespace bench {

struct Outcome {
    long status = 0;
    std::string error; // what went wrong in the transfer; empty when nothing did
};

inline int peerUsage(const char* program) {
    std::fprintf(stderr,
                 "usage: %s URL memory EXPECTED_BYTES [CALLS] | URL file PATH EXPECTED_BYTES"
                 " | URL requests COUNT EXPECTED_BYTES\n",
                 program);
    return 2;
}

inline bool checkReply(const char* program, long call, long long bytes, long long expected,
                       const Outcome& outcome) {
    if (bytes == expected && outcome.status == 200 && outcome.error.empty()) {
        return true;
    }
    std::fprintf(stderr, "%s: call %ld gave %lld bytes (expected %lld), status %ld, error \"%s\"\n",
                 program, call, bytes, expected, outcome.status, outcome.error.c_str());
    return false;
}

template <class Client>
int runPeer(int argc, char** argv, Client& client) {
    using Clock = std::chrono::steady_clock;
    const auto since = [](Clock::time_point start) {
        return std::chrono::duration<double>(Clock::now() - start).count();
    };
    if (argc < 4) {
        return peerUsage(argv[0]);
    }
    const std::string url = argv[1];
    const std::string mode = argv[2];

    if (mode == "memory") {
        const long long expected = std::atoll(argv[3]);
        const long calls = argc > 4 ? std::atol(argv[4]) : 1;
        for (long call = 1; call <= calls; ++call) {
            Outcome outcome;
            const auto start = Clock::now();
            const auto body = client.get(url, outcome);
            const double seconds = since(start);
            if (!checkReply(argv[0], call, static_cast<long long>(body.size()), expected,
                            outcome)) {
                return 1;
            }
            std::printf("call %.6f\n", seconds);
        }
        return 0;
    }
    if (mode == "file" && argc >= 5) {
        const std::string path = argv[3];
        const long long expected = std::atoll(argv[4]);
        Outcome outcome;
        const auto start = Clock::now();
        client.getToFile(url, path, outcome);
        const double seconds = since(start);
        struct stat info {};
        const long long bytes = ::stat(path.c_str(), &info) == 0 ? info.st_size : -1;
        if (!checkReply(argv[0], 1, bytes, expected, outcome)) {
            return 1;
        }
        std::printf("call %.6f\n", seconds);
        return 0;
    }
    if (mode == "requests" && argc >= 5) {
        const long count = std::atol(argv[3]);
        const long long expected = std::atoll(argv[4]);
        const auto start = Clock::now();
        for (long call = 1; call <= count; ++call) {
            Outcome outcome;
            const auto body = client.get(url, outcome);
            if (!checkReply(argv[0], call, static_cast<long long>(body.size()), expected,
                            outcome)) {
                return 1;
            }
        }
        const double seconds = since(start);
        std::printf("%ld requests in %.3f s\n", count, seconds);
        return 0;
    }
    return peerUsage(argv[0]);
}

} // namespace bench
