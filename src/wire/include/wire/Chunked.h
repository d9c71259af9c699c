#pragma once

// A body sent with "Transfer-Encoding: chunked", decoded as it arrives: bytes in, data out.
// A server may send it even to an HTTP/1.0 request; the framing must not reach the page.

#include <cstdint>
#include <string>
#include <string_view>

namespace wire {

// Longest chunk-size line (size, extensions, line end) and longest trailer section taken.
inline constexpr size_t kMaxChunkLineBytes = 4096;
inline constexpr size_t kMaxTrailerBytes = 64 * 1024;

class ChunkedBody {
public:
    enum class State { Reading, Complete, Malformed };

    // Decodes the next arrival and appends the data it holds to out. Once Complete or
    // Malformed, further arrivals are not taken.
    State feed(std::string_view arrival, std::string& out);
    State state() const { return state_; }

private:
    enum class Phase { SizeLine, Data, DataEnd, Trailer };
    // A size line, or a trailer line, without its line end.
    bool endLine();

    State state_ = State::Reading;
    Phase phase_ = Phase::SizeLine;
    std::string line_;
    uint64_t remaining_ = 0;
    bool sawCR_ = false;
    size_t trailerBytes_ = 0;
};

} // namespace wire
