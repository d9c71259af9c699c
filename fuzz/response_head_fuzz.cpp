// A response's bytes, cut into arrivals where the input says, fed to the response head alone
// (no socket). The head must come out as if everything taken by the arrival that ended it
// had come at once, must account for every byte it took, and must parse.
//
// Input: the layout of the http_response target, so its corpus seeds this one too. Byte 0
// holds flags (bit 4: a bound of 64 bytes instead of kMaxHeaderBlockBytes; the others are
// the http_response target's and ignored here); byte 1 gives n (mod 17), the next n bytes
// the arrival sizes (each plus one, used in turn; none: one arrival); the rest is the
// response.

#include "wire/Message.h"
#include "wire/ResponseHead.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

using State = wire::ResponseHead::State;

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "response_head invariant broken: %s\n", what);
        std::abort();
    }
}

bool startsWith(std::string_view text, size_t at, std::string_view prefix) {
    return text.substr(std::min(at, text.size())).substr(0, prefix.size()) == prefix;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    const size_t limit = (data[0] & 16) != 0 ? 64 : static_cast<size_t>(wire::kMaxHeaderBlockBytes);
    size_t pos = 1;
    const size_t splitCount = data[pos++] % 17;
    std::vector<size_t> splits;
    while (splits.size() < splitCount && pos < size) {
        splits.push_back(size_t(data[pos++]) + 1);
    }
    const std::string_view response(reinterpret_cast<const char*>(data) + pos, size - pos);

    wire::ResponseHead head(limit);
    size_t taken = 0;
    for (size_t i = 0; taken < response.size() && head.state() == State::Reading; ++i) {
        const size_t n = splits.empty() ? response.size() : splits[i % splits.size()];
        const std::string_view arrival = response.substr(taken, n);
        const State state = head.feed(arrival);
        check(state == head.state(), "feed and state disagree");
        taken += arrival.size();
    }
    // Taking the same bytes at once gives the same verdict, block and rest.
    wire::ResponseHead whole(limit);
    whole.feed(response.substr(0, taken));
    check(whole.state() == head.state() && whole.block() == head.block() &&
              whole.rest() == head.rest(),
          "the verdict depends on how the same bytes arrived");
    if (head.state() == State::Reading) {
        check(taken <= limit + 3, "a head beyond the bound is still being read");
        check(head.block().empty() && head.rest().empty(), "a block before the head ended");
        return 0;
    }
    const std::string restBefore(head.rest());
    check(head.feed("more") == head.state() && head.rest() == restBefore,
          "a verdict changed after it was given");
    if (head.state() == State::TooLarge) {
        check(taken > limit, "a head within the bound was refused");
        return 0;
    }

    // Complete: empty lines, the block, a blank line and the rest are the bytes taken.
    const std::string_view block = head.block();
    const std::string_view rest = head.rest();
    check(block.size() <= limit, "a block beyond the bound");
    check(rest.size() <= taken, "more rest than bytes taken");
    const size_t blankLineEnd = taken - rest.size();
    check(response.substr(blankLineEnd, rest.size()) == rest, "the rest is not what followed");
    size_t blankLine = 0;
    for (const std::string_view end : {"\r\n\r\n", "\n\n", "\r\r"}) {
        if (blankLineEnd >= end.size() && startsWith(response, blankLineEnd - end.size(), end) &&
            response.substr(0, blankLineEnd - end.size()).ends_with(block)) {
            blankLine = end.size();
            break;
        }
    }
    check(blankLine > 0, "the block is not followed by a blank line");
    const size_t blockStart = blankLineEnd - blankLine - block.size();
    for (size_t i = 0; i < blockStart; ++i) {
        check(response[i] == '\r' || response[i] == '\n', "bytes before the block were dropped");
    }

    // The block's fields read as a stream player reads them.
    const wire::ReplyFields fields = wire::readReplyFields(block);
    check(fields.metaInterval >= 0 && fields.metaInterval <= (int64_t(1) << 24),
          "a metadata interval out of its range");
    check(fields.status >= 0 && fields.location.size() <= block.size(),
          "a field that is not in the block");
    return 0;
}
