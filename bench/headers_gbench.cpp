// Cost of the header collection: parsing a typical and a very long response head, and
// appending many instances of one name. ns_per_byte should stay flat from 20 to 2,000
// lines; a growing figure means the parse has gone super-linear.

#include "host/StreamFormat.h"
#include "http/InternetHeaders.h"

#include <benchmark/benchmark.h>
#include <ctime>
#include <string>

namespace {

// A plausible response head: status line, lines - 2 header lines, final empty line.
std::string responseHead(int lines) {
    static const char* const kNames[] = {"Content-Type",  "Cache-Control",   "X-Request-Id",
                                         "Vary",          "X-Frame-Options", "ETag",
                                         "Last-Modified", "Server"};
    std::string head = "HTTP/1.1 200 OK\r\n";
    for (int i = 0; i < lines - 2; ++i) {
        if (i % 50 == 7) {
            head += "Set-Cookie: session" + std::to_string(i) + "=abcdef0123456789; Path=/\r\n";
        } else if (i % 25 == 3) {
            head += "X-Folded-" + std::to_string(i) + ": first part\r\n\tsecond part\r\n";
        } else {
            head += std::string(kNames[i % 8]) + "-" + std::to_string(i) + ": value-" +
                    std::to_string(i * 7919) + "\r\n";
        }
    }
    head += "\r\n";
    return head;
}

// Processor-time nanoseconds per unit of work over the whole timing loop, as a plain number
// (the library's inverted rate counters would print it with a seconds suffix). Processor
// time rather than wall time, so that other load on a shared machine does not inflate it.
class PerUnit {
public:
    PerUnit() : start_(std::clock()) {}
    double nanoseconds(const benchmark::State& state, double unitsPerIteration) const {
        const double elapsed =
            static_cast<double>(std::clock() - start_) * 1e9 / static_cast<double>(CLOCKS_PER_SEC);
        return elapsed / (static_cast<double>(state.iterations()) * unitsPerIteration);
    }

private:
    std::clock_t start_;
};

void BM_ParseHeaders(benchmark::State& state) {
    const std::string head = responseHead(static_cast<int>(state.range(0)));
    const PerUnit clock;
    for (auto _ : state) {
        http::InternetHeaders headers;
        headers._ParseHeaders(head);
        benchmark::DoNotOptimize(headers.Count());
    }
    const auto bytes = static_cast<double>(head.size());
    state.counters["ns_per_byte"] = clock.nanoseconds(state, bytes);
    state.counters["bytes"] = bytes;
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(head.size()));
}
BENCHMARK(BM_ParseHeaders)->Arg(20)->Arg(2000);

// Each append probes every existing instance of the name, so 1,000 appends make about half
// a million probes; ns_per_probe shows that the cost of one probe stays constant.
void BM_AppendHeaderSameName(benchmark::State& state) {
    const int64_t instances = state.range(0);
    const PerUnit clock;
    for (auto _ : state) {
        http::InternetHeaders headers;
        for (int64_t i = 0; i < instances; ++i) {
            headers.AppendHeader("Set-Cookie", "a=1");
        }
        benchmark::DoNotOptimize(headers.Count());
    }
    const auto n = static_cast<double>(instances);
    state.counters["ns_per_append"] = clock.nanoseconds(state, n);
    state.counters["ns_per_probe"] = clock.nanoseconds(state, n * (n + 1) / 2);
}
BENCHMARK(BM_AppendHeaderSameName)->Arg(1000);

// Removing a stream's interleaved metadata, in the socket's 4 KiB arrivals: ns_per_byte of
// the stream as it comes, for interval 0 (nothing to remove: a plain copy), the usual 16,000
// bytes with a short title, and the worst a server can send, interval 1 with the largest
// blocks (255 · 16 bytes after every audio byte). All should cost about the same per byte.
void BM_MetadataRemoval(benchmark::State& state) {
    const int64_t interval = state.range(0);
    const size_t block = static_cast<size_t>(state.range(1));
    std::string stream;
    while (stream.size() < 4 * 1024 * 1024) {
        stream.append(interval > 0 ? static_cast<size_t>(interval) : 1024, 'a');
        if (interval > 0) {
            stream += static_cast<char>(block / 16);
            stream.append(block, 'm');
        }
    }
    const PerUnit clock;
    std::string audio;
    for (auto _ : state) {
        host::stream::MetadataFilter filter(interval);
        audio.clear();
        for (size_t at = 0; at < stream.size(); at += 4096) {
            filter.feed(std::string_view(stream).substr(at, 4096), audio);
        }
        benchmark::DoNotOptimize(audio.data());
    }
    state.counters["ns_per_byte"] = clock.nanoseconds(state, static_cast<double>(stream.size()));
}
BENCHMARK(BM_MetadataRemoval)->Args({0, 0})->Args({16000, 32})->Args({1, 255 * 16});

} // namespace

BENCHMARK_MAIN();
