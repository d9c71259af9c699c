#include "wire/ResponseHead.h"

#include <initializer_list>

namespace wire {

namespace {

// The longest doubled line end, CR LF CR LF, less one: a head that fits the bound has been
// found by the time this many bytes more than the bound have arrived, however they came.
constexpr size_t kLongestEndLessOne = 3;

} // namespace

bool ResponseHead::startsWith(size_t at, std::string_view text) const {
    return at < blockEnd_ && std::string_view(bytes_).substr(at, blockEnd_ - at).starts_with(text);
}

ResponseHead::ResponseHead(size_t maxBlockBytes) : maxBlockBytes_(maxBlockBytes) {}

ResponseHead::State ResponseHead::feed(std::string_view arrival) {
    if (state_ != State::Reading) {
        return state_;
    }
    bytes_.append(arrival);

    // A pattern can straddle the end of the previous arrival, so the scan starts three bytes
    // before it.
    const size_t from = scanned_ > kLongestEndLessOne ? scanned_ - kLongestEndLessOne : 0;
    const auto firstFrom = [&](size_t& found, std::string_view pattern) {
        if (found == std::string::npos) {
            found = bytes_.find(pattern, from);
        }
    };
    firstFrom(lflf_, "\n\n");
    firstFrom(crlfcrlf_, "\r\n\r\n");
    firstFrom(crcr_, "\r\r");
    hasCRLF_ = hasCRLF_ || bytes_.find("\r\n", from) != std::string::npos;
    hasLF_ = hasLF_ || bytes_.find('\n', from) != std::string::npos;
    hasCR_ = hasCR_ || bytes_.find('\r', from) != std::string::npos;
    scanned_ = bytes_.size();

    struct Candidate {
        size_t position;
        size_t lineEnd;
    };
    Candidate first{crlfcrlf_, 2};
    if (!hasCRLF_ && hasLF_) {
        first = {lflf_, 1};
    } else if (!hasCRLF_ && hasCR_) {
        first = {crcr_, 1};
    }
    for (const Candidate& c :
         {first, Candidate{lflf_, 1}, Candidate{crlfcrlf_, 2}, Candidate{crcr_, 1}}) {
        if (c.position == std::string::npos) {
            continue;
        }
        if (c.position > maxBlockBytes_) {
            state_ = State::TooLarge;
            bytes_ = std::string();
            return state_;
        }
        blockEnd_ = c.position;
        restStart_ = c.position + 2 * c.lineEnd;
        // A client skips empty lines before the status line (some servers end a previous
        // response with one). Two of them in a row are the blank line itself: an empty head.
        while (startsWith(blockStart_, "\r\n") || startsWith(blockStart_, "\n")) {
            blockStart_ += bytes_[blockStart_] == '\r' ? 2 : 1;
        }
        state_ = State::Complete;
        return state_;
    }
    if (bytes_.size() > maxBlockBytes_ + kLongestEndLessOne) {
        state_ = State::TooLarge;
        bytes_ = std::string();
    }
    return state_;
}

std::string_view ResponseHead::block() const {
    if (state_ != State::Complete) {
        return {};
    }
    return std::string_view(bytes_).substr(blockStart_, blockEnd_ - blockStart_);
}

std::string_view ResponseHead::rest() const {
    if (state_ != State::Complete) {
        return {};
    }
    return std::string_view(bytes_).substr(restStart_);
}

void ResponseHead::reset() {
    *this = ResponseHead(maxBlockBytes_);
}

} // namespace wire
