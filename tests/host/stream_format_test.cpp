// (kept first: the header under test must be self-contained)
#include "host/StreamFormat.h"

#include <gtest/gtest.h>

namespace {

using namespace host::stream;

// A 128 kbit/s MPEG-1 layer III stereo frame at 44.1 kHz: 417 bytes, 418 with padding.
std::string mp3Frame(bool padding) {
    std::string frame(padding ? 418 : 417, '\0');
    frame[0] = '\xFF';
    frame[1] = '\xFB';
    frame[2] = static_cast<char>(0x90 | (padding ? 0x02 : 0x00));
    frame[3] = '\x44';
    return frame;
}

TEST(StreamFormat, Mp3ContentTypes) {
    EXPECT_TRUE(isMp3ContentType("audio/mpeg"));
    EXPECT_TRUE(isMp3ContentType(""));
    EXPECT_FALSE(isMp3ContentType("audio/aac"));
    EXPECT_FALSE(isMp3ContentType("application/ogg"));
}

// Metadata blocks may be split anywhere by the network; the audio must come out whole.
TEST(StreamFormat, MetadataIsRemovedWhereverTheBytesAreSplit) {
    const std::string title = "StreamTitle='x';";
    const std::string stream =
        "abcd" + std::string(1, '\x01') + title + "efgh" + std::string(1, '\0') + "ij";
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        MetadataFilter filter(4);
        std::string audio = filter.feed(stream.substr(0, cut));
        audio += filter.feed(stream.substr(cut));
        EXPECT_EQ(audio, "abcdefghij") << "split at " << cut;
    }
    EXPECT_EQ(MetadataFilter(0).feed(stream), stream);
}

TEST(StreamFormat, FramesAreFoundOnlyWhereTheNextFrameConfirmsThem) {
    const auto frame = parseMp3Header(mp3Frame(true));
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->version, 1);
    EXPECT_EQ(frame->bitrateKbps, 128);
    EXPECT_EQ(frame->sampleRate, 44100);
    EXPECT_EQ(frame->channels, 2);
    EXPECT_EQ(frame->length, 418U);

    // A lone sync pattern in the junk before the stream is not a frame.
    const std::string junk = std::string("xx\xFF\xFB\x90\x44yy", 8);
    Mp3Frame first;
    EXPECT_EQ(findMp3Frames(junk + mp3Frame(false) + mp3Frame(true), first), junk.size());
    EXPECT_EQ(first.length, 417U);
    EXPECT_EQ(findMp3Frames(junk + mp3Frame(false), first), std::string::npos);

    std::string aac = mp3Frame(false);
    aac[1] = '\xF1'; // ADTS: layer bits 0
    EXPECT_FALSE(parseMp3Header(aac));
    EXPECT_EQ(findMp3Frames("OggS" + std::string(2000, '\x01'), first), std::string::npos);
}

} // namespace
