#pragma once

// The head of one HTTP response, found in its bytes as they arrive: where the header block
// ends, which line end closes it, and whether it stays within the size bound. Bytes in,
// verdict out; no socket and no event loop, so it can be tested and fuzzed on its own.
//
// The end of the head is the first doubled line end. The line end of the bytes taken so far
// (CR LF if they hold one anywhere, else LF, else CR) is searched for written twice first,
// then LF LF, CR LF CR LF and CR CR in that order. Which one is found first can depend on how
// much has arrived when a response mixes line ends; each arrival is judged on all the bytes
// taken until then.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace wire {

// Largest header block a response may have; a longer one ends the request with an error.
inline constexpr int64_t kMaxHeaderBlockBytes = 300 * 1024;

class ResponseHead {
public:
    enum class State { Reading, Complete, TooLarge };

    explicit ResponseHead(size_t maxBlockBytes = static_cast<size_t>(kMaxHeaderBlockBytes));

    // Takes the next arrival and scans only what is new. Once the state is Complete or
    // TooLarge, further arrivals are not taken: they belong to the body, or to nothing.
    State feed(std::string_view arrival);
    State state() const { return state_; }

    // When Complete: the header block without the blank line that ends it and without
    // empty lines (CR LF or LF) received before the status line.
    std::string_view block() const;
    // When Complete: the bytes of the arrivals after the blank line, the start of the body.
    std::string_view rest() const;

    // Forgets everything taken, for the next response.
    void reset();

private:
    // True when the block's bytes from at on begin with text.
    bool startsWith(size_t at, std::string_view text) const;

    size_t maxBlockBytes_;
    State state_ = State::Reading;
    std::string bytes_;
    size_t blockStart_ = 0;
    size_t blockEnd_ = 0;
    size_t restStart_ = 0;

    // What the scan has seen of bytes_ so far, so each arrival costs only its own length.
    size_t scanned_ = 0;
    bool hasCRLF_ = false;
    bool hasLF_ = false;
    bool hasCR_ = false;
    size_t lflf_ = std::string::npos;
    size_t crlfcrlf_ = std::string::npos;
    size_t crcr_ = std::string::npos;
};

} // namespace wire
