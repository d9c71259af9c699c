#include "wire/Chunked.h"

#include <algorithm>

namespace wire {

namespace {

int hexDigit(char c) {
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

// More hexadecimal digits than this could overflow the count.
constexpr size_t kMaxSizeDigits = 15;

} // namespace

bool ChunkedBody::endLine() {
    if (!line_.empty() && line_.back() == '\r') {
        line_.pop_back();
    }
    if (phase_ == Phase::Trailer) {
        // Trailer fields are not used; the empty line ends the body.
        trailerBytes_ += line_.size();
        if (line_.empty()) {
            state_ = State::Complete;
        }
        return trailerBytes_ <= kMaxTrailerBytes;
    }
    size_t digits = 0;
    uint64_t size = 0;
    while (digits < line_.size() && hexDigit(line_[digits]) >= 0) {
        size = size * 16 + static_cast<uint64_t>(hexDigit(line_[digits]));
        ++digits;
    }
    // After the size only blanks and extensions (";name=value") may follow.
    if (digits == 0 || digits > kMaxSizeDigits ||
        (digits < line_.size() && line_[digits] != ';' && line_[digits] != ' ' &&
         line_[digits] != '\t')) {
        return false;
    }
    remaining_ = size;
    phase_ = size == 0 ? Phase::Trailer : Phase::Data;
    return true;
}

ChunkedBody::State ChunkedBody::feed(std::string_view arrival, std::string& out) {
    size_t i = 0;
    while (i < arrival.size() && state_ == State::Reading) {
        switch (phase_) {
        case Phase::SizeLine:
        case Phase::Trailer: {
            const size_t lf = arrival.find('\n', i);
            const size_t end = lf == std::string_view::npos ? arrival.size() : lf;
            if (line_.size() + (end - i) > kMaxChunkLineBytes) {
                state_ = State::Malformed;
                break;
            }
            line_.append(arrival.substr(i, end - i));
            i = end;
            if (lf != std::string_view::npos) {
                ++i;
                if (!endLine()) {
                    state_ = State::Malformed;
                }
                line_.clear();
            }
            break;
        }
        case Phase::Data: {
            const size_t take =
                static_cast<size_t>(std::min<uint64_t>(remaining_, arrival.size() - i));
            out.append(arrival.substr(i, take));
            i += take;
            remaining_ -= take;
            if (remaining_ == 0) {
                phase_ = Phase::DataEnd;
            }
            break;
        }
        case Phase::DataEnd:
            // The data's line end: CR LF, or a lone LF as lenient readers take it.
            if (arrival[i] == '\r' && !sawCR_) {
                sawCR_ = true;
            } else if (arrival[i] == '\n') {
                sawCR_ = false;
                phase_ = Phase::SizeLine;
            } else {
                state_ = State::Malformed;
            }
            ++i;
            break;
        }
    }
    return state_;
}

} // namespace wire
