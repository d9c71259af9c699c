// (kept first: the headers under test must be self-contained)
#include "wire/Message.h"
#include "wire/ResponseHead.h"
#include "wire/Url.h"
// The corpus is read from the source tree.
#include "support/RealServers.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// The responses of the response-handling fuzz corpus. Each input starts with a flags byte, a
// count n (mod 17) and n arrival sizes; the rest is the response.
std::vector<std::pair<std::string, std::string>> corpusResponses() {
    const char* source = std::getenv("TAMSEL_SOURCE_DIR");
    std::vector<std::pair<std::string, std::string>> responses;
    if (!source) {
        return responses;
    }
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(source) /
                                                                 "fuzz/corpus/http_response")) {
        const std::string input = testsupport::readFile(entry.path().string());
        if (input.size() < 2) {
            continue;
        }
        const size_t sizes = static_cast<unsigned char>(input[1]) % 17;
        responses.emplace_back(entry.path().filename().string(),
                               input.substr(std::min(input.size(), 2 + sizes)));
    }
    return responses;
}

// What a head fed these arrivals came to; arrivals after its verdict count as body.
struct HeadOutcome {
    wire::ResponseHead::State state;
    std::string block;
    std::string rest;
    bool operator==(const HeadOutcome&) const = default;
};

HeadOutcome headOf(const std::vector<std::string_view>& arrivals, size_t limit) {
    wire::ResponseHead head(limit);
    std::string after;
    for (const std::string_view arrival : arrivals) {
        if (head.state() == wire::ResponseHead::State::Reading) {
            head.feed(arrival);
        } else {
            after += arrival;
        }
    }
    if (head.state() != wire::ResponseHead::State::Complete) {
        return {head.state(), {}, {}};
    }
    return {head.state(), std::string(head.block()), std::string(head.rest()) + after};
}

std::ostream& operator<<(std::ostream& os, const HeadOutcome& o) {
    return os << "{state " << static_cast<int>(o.state) << ", block \"" << o.block << "\", rest \""
              << o.rest << "\"}";
}

// However the bytes are cut, the head comes out as if all taken by the arrival that ended it
// had come at once.
TEST(ResponseHeadTest, EveryCorpusResponseSplitAnywhereGivesTheSameHead) {
    const auto responses = corpusResponses();
    ASSERT_GT(responses.size(), 10u) << "corpus not found; TAMSEL_SOURCE_DIR unset?";
    // The real bound, and one the corpus's heads cross.
    for (const size_t limit : {static_cast<size_t>(wire::kMaxHeaderBlockBytes), size_t(24)}) {
        for (const auto& [name, response] : responses) {
            const std::string_view bytes = response;
            const auto expectedAfter = [&](size_t taken) {
                const HeadOutcome first = headOf({bytes.substr(0, taken)}, limit);
                return first.state == wire::ResponseHead::State::Reading
                           ? headOf({bytes}, limit)
                           : headOf({bytes.substr(0, taken), bytes.substr(taken)}, limit);
            };
            for (size_t at = 1; at < bytes.size(); ++at) {
                ASSERT_EQ(headOf({bytes.substr(0, at), bytes.substr(at)}, limit), expectedAfter(at))
                    << name << " split at " << at << ", bound " << limit;
            }
            // One byte at a time: the verdict comes with the first byte that allows one.
            std::vector<std::string_view> single;
            size_t verdictAt = bytes.size();
            for (size_t i = 0; i < bytes.size(); ++i) {
                single.push_back(bytes.substr(i, 1));
                if (verdictAt == bytes.size() && headOf({bytes.substr(0, i + 1)}, limit).state !=
                                                     wire::ResponseHead::State::Reading) {
                    verdictAt = i + 1;
                }
            }
            ASSERT_EQ(headOf(single, limit), expectedAfter(verdictAt))
                << name << " one byte at a time, bound " << limit;
        }
    }
}

// A stream server's reply head, ended by the same rule as the HTTP client's, gives the
// fields a player acts on.
TEST(ReplyFields, IcyAndHttpHeadsGiveStatusTypeAndMetadataInterval) {
    const auto fieldsOf = [](std::string_view bytes, std::string* rest = nullptr) {
        wire::ResponseHead head;
        EXPECT_EQ(head.feed(bytes), wire::ResponseHead::State::Complete) << bytes;
        if (rest) {
            *rest = head.rest();
        }
        return wire::readReplyFields(head.block());
    };
    std::string rest;
    const auto icy = fieldsOf(
        "ICY 200 OK\r\ncontent-type: Audio/MPEG; charset=x\r\nicy-metaint:8192\r\n\r\nAB", &rest);
    EXPECT_EQ(icy.status, 200);
    EXPECT_EQ(icy.contentType, "audio/mpeg");
    EXPECT_EQ(icy.metaInterval, 8192);
    EXPECT_EQ(rest, "AB");

    const auto redirect = fieldsOf("HTTP/1.1 302 Found\nLocation: http://b/x\n\n");
    EXPECT_EQ(redirect.status, 302);
    EXPECT_EQ(redirect.location, "http://b/x");

    EXPECT_EQ(fieldsOf("SOURCE / ICE/1.0\r\n\r\n").status, 0);
    EXPECT_EQ(fieldsOf("ICY 200 OK\r\nicy-metaint: 8k\r\n\r\n").metaInterval, 0);
}

TEST(Url, StreamPlayersOpenOnlyPlainHttpUrls) {
    const auto url = wire::parseHttpUrl("HTTP://stream.example:8000/live?x=1#frag");
    ASSERT_TRUE(url);
    EXPECT_EQ(url->host, "stream.example");
    EXPECT_EQ(url->port, 8000);
    EXPECT_EQ(url->target, "/live?x=1");
    EXPECT_EQ(wire::parseHttpUrl("http://h")->target, "/");
    EXPECT_EQ(wire::parseHttpUrl("http://h")->port, 80);
    EXPECT_FALSE(wire::parseHttpUrl("https://h/x"));
    EXPECT_FALSE(wire::parseHttpUrl("http://h:0/"));
    EXPECT_FALSE(wire::parseHttpUrl("http://h:99999/"));
    EXPECT_FALSE(wire::parseHttpUrl("http://user:pw@h/"));
    EXPECT_FALSE(wire::parseHttpUrl("http:///x"));
}

} // namespace
