#include "host/Exceptions.h"
#include "host/StreamPlayer.h"
#include "support/AudioServers.h"
#include "support/ToneAnalysis.h"

#include <QApplication>
#include <QTest>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

// Real sound, as a listener would hear it: the player plays an Icecast stream of a test tone
// into a private PulseAudio null sink, and the sink's monitor is recorded and listened to.

namespace {

using namespace std::chrono_literals;
using host::StreamPlayer;
using tamsel::test::IcecastServer;
using tamsel::test::MonitorRecorder;
using tamsel::test::PulseServer;
using tamsel::test::ToneMeasure;
using tamsel::test::ToneSource;

constexpr double ToneHz = 440.0;
constexpr int64_t Rate = MonitorRecorder::SampleRate;
constexpr int64_t WindowSamples = Rate / 10; // 100 ms, about 10 Hz per Goertzel bin

// Set up in main before the application exists: Qt Multimedia connects to the sound server
// the environment names when it first starts, and it must never reach a real one.
PulseServer* gPulse = nullptr;

int64_t msOf(int64_t samples) {
    return samples * 1000 / Rate;
}
int64_t samplesOf(int64_t ms) {
    return ms * Rate / 1000;
}

// Lets the event loop run (the player's notifications arrive through it) until pred holds.
bool pumpUntil(std::chrono::milliseconds timeout, const std::function<bool()>& pred) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        QTest::qWait(5);
    }
    return true;
}

class StreamPlayerSound : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        icecast = new IcecastServer();
        ASSERT_TRUE(icecast->start()) << icecast->log();
        source = new ToneSource(*icecast, "/tone.ogg", ToneHz);
        ASSERT_TRUE(source->start()) << source->log() << icecast->log();
        recorder = new MonitorRecorder(*gPulse);
        ASSERT_TRUE(recorder->start()) << recorder->log() << gPulse->log();
    }

    static void TearDownTestSuite() {
        delete recorder;
        delete source;
        delete icecast;
        recorder = nullptr;
        source = nullptr;
        icecast = nullptr;
    }

    void SetUp() override {
        if (recorder == nullptr || source == nullptr) {
            GTEST_SKIP() << "sound servers did not start";
        }
    }

    static std::string url() { return icecast->url("/tone.ogg"); }
    static int64_t now() { return recorder->sampleCount(); }

    // The recorded sound in [from, from + count), waiting for it to be recorded first.
    static ToneMeasure measureAt(int64_t from, int64_t count, double hz = ToneHz) {
        pumpUntil(std::chrono::milliseconds(msOf(count) + 3000),
                  [&] { return recorder->sampleCount() >= from + count; });
        return tamsel::test::measureTone(recorder->samples(from, count), Rate, hz);
    }

    // The steady sound after a change: skips what was still in flight, then listens 500 ms.
    static ToneMeasure steadyLevel(double hz = ToneHz) {
        return measureAt(now() + samplesOf(400), samplesOf(500), hz);
    }

    // Milliseconds of recorded sound from `from` to the end of the first 100 ms window that
    // matches, or nullopt when none does within limitMs.
    static std::optional<int64_t> msUntil(int64_t from, int64_t limitMs,
                                          const std::function<bool(const ToneMeasure&)>& match,
                                          double hz = ToneHz) {
        for (int64_t at = from; at + WindowSamples <= from + samplesOf(limitMs);
             at += WindowSamples / 2) {
            if (match(measureAt(at, WindowSamples, hz))) {
                return msOf(at + WindowSamples - from);
            }
        }
        return std::nullopt;
    }

    static std::optional<int64_t> msUntilHeard(int64_t from, int64_t limitMs, double hz = ToneHz) {
        return msUntil(
            from, limitMs, [](const ToneMeasure& m) { return tamsel::test::toneHeard(m); }, hz);
    }

    static std::optional<int64_t> msUntilSilent(int64_t from, int64_t limitMs) {
        return msUntil(from, limitMs, [](const ToneMeasure& m) { return tamsel::test::silent(m); });
    }

    static void print(const char* what, const ToneMeasure& m) {
        std::printf("[ measure  ] %-28s rms %8.1f  tone/neighbours %10.1f\n", what, m.rms,
                    m.toneToNeighbours());
        std::fflush(stdout);
    }

    static IcecastServer* icecast;
    static ToneSource* source;
    static MonitorRecorder* recorder;
};

IcecastServer* StreamPlayerSound::icecast = nullptr;
ToneSource* StreamPlayerSound::source = nullptr;
MonitorRecorder* StreamPlayerSound::recorder = nullptr;

TEST_F(StreamPlayerSound, ToneIsHeardSoonAfterPlayAndFollowsVolumeAndStop) {
    StreamPlayer player;
    player.setLooping(true);
    player.setUrl(url());

    // Nothing sounds before play().
    EXPECT_TRUE(tamsel::test::silent(measureAt(now(), samplesOf(300))));

    const int64_t pressed = now();
    const auto pressedAt = std::chrono::steady_clock::now();
    player.play();
    EXPECT_TRUE(player.isPlaying());
    const auto heardAfter = msUntilHeard(pressed, 3000);
    // On the wall clock this also counts the recorder's own delay: an upper bound.
    const auto wallMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - pressedAt)
                            .count();
    ASSERT_TRUE(heardAfter.has_value())
        << "no 440 Hz tone within 3 s of play(); state " << static_cast<int>(player.state())
        << ", error: " << player.lastError();
    std::printf("[ measure  ] tone heard %lld ms after play() (recognised %lld ms after it on "
                "the wall clock)\n",
                static_cast<long long>(*heardAfter), static_cast<long long>(wallMs));
    EXPECT_LE(wallMs, 3000);

    // Full gain before anything set the volume.
    const ToneMeasure initial = steadyLevel();
    print("volume never set (full)", initial);
    EXPECT_TRUE(tamsel::test::toneHeard(initial));

    player.setVolume(250);
    const ToneMeasure at250 = steadyLevel();
    print("volume 250", at250);
    player.setVolume(128);
    const ToneMeasure at128 = steadyLevel();
    print("volume 128", at128);
    player.setVolume(0);
    const ToneMeasure at0 = steadyLevel();
    print("volume 0", at0);
    player.setVolume(256);
    const ToneMeasure at256 = steadyLevel();
    print("volume 256", at256);

    EXPECT_TRUE(tamsel::test::toneHeard(at250));
    EXPECT_TRUE(tamsel::test::toneHeard(at128));
    EXPECT_LT(at128.rms, at250.rms);
    EXPECT_TRUE(tamsel::test::silent(at0)) << "rms at volume 0: " << at0.rms;
    EXPECT_FALSE(tamsel::test::toneHeard(at0));
    // The cubic curve: 128 gives (128/250)^3 of full amplitude; 250 and above are full.
    const double expectedRatio = StreamPlayer::linearGain(128) / StreamPlayer::linearGain(250);
    std::printf("[ measure  ] rms ratio 128/250 %.3f (cubic curve %.3f), 256/never set %.3f\n",
                at128.rms / at250.rms, expectedRatio, at256.rms / initial.rms);
    EXPECT_NEAR(at128.rms / at250.rms, expectedRatio, expectedRatio * 0.2);
    EXPECT_NEAR(at256.rms / initial.rms, 1.0, 0.1);
    EXPECT_EQ(player.reopenCount(), 0) << "the stream should have played without a break";

    const int64_t stopped = now();
    player.stop();
    EXPECT_FALSE(player.isPlaying());
    const auto silentAfter = msUntilSilent(stopped, 1500);
    ASSERT_TRUE(silentAfter.has_value()) << "still sounding 1.5 s after stop()";
    std::printf("[ measure  ] silent %lld ms after stop()\n", static_cast<long long>(*silentAfter));
    // And it stays silent: stop() also ends looping.
    const ToneMeasure later = measureAt(now() + samplesOf(2000), samplesOf(500));
    EXPECT_TRUE(tamsel::test::silent(later)) << "rms 2 s after stop: " << later.rms;
    EXPECT_EQ(player.state(), StreamPlayer::State::Stopped);
}

TEST_F(StreamPlayerSound, SoundComesBackAfterTheSourceReturns) {
    StreamPlayer player;
    player.setLooping(true);
    player.setUrl(url());
    player.play();
    ASSERT_TRUE(msUntilHeard(now(), 5000).has_value());

    // A second player without looping listens to the same stream, silently: it must give up.
    StreamPlayer once;
    once.setVolume(0);
    once.setUrl(url());
    once.play();
    ASSERT_TRUE(pumpUntil(5s, [&] { return once.state() == StreamPlayer::State::Playing; }))
        << once.lastError();

    const int64_t dropped = now();
    ASSERT_TRUE(source->kill()) << "the mount stayed after the source died";
    const auto silentAfter = msUntilSilent(dropped, 10000);
    ASSERT_TRUE(silentAfter.has_value()) << "the tone went on after its source died";
    std::printf("[ measure  ] silent %lld ms after the source died\n",
                static_cast<long long>(*silentAfter));
    EXPECT_TRUE(player.isPlaying());
    EXPECT_TRUE(pumpUntil(5s, [&] { return !once.isPlaying(); }))
        << "a player without looping should stop when its stream ends";
    EXPECT_EQ(once.reopenCount(), 0);

    // Stay away for a few retry intervals: the player must keep trying without giving up.
    pumpUntil(4s, [] { return false; });
    EXPECT_TRUE(player.isPlaying());
    EXPECT_NE(player.state(), StreamPlayer::State::Stopped);

    const int64_t relaunched = now();
    ASSERT_TRUE(source->start()) << source->log();
    const int64_t returned = now();
    std::printf("[ measure  ] source back on the server %lld ms after its relaunch\n",
                static_cast<long long>(msOf(returned - relaunched)));
    const auto heardAfter = msUntilHeard(returned, 5000);
    ASSERT_TRUE(heardAfter.has_value())
        << "no tone within 5 s of the source's return; state " << static_cast<int>(player.state())
        << ", reopened " << player.reopenCount() << " times, error: " << player.lastError();
    std::printf("[ measure  ] tone back %lld ms after the source's return (%lld ms after its "
                "relaunch), %lld reopens\n",
                static_cast<long long>(*heardAfter),
                static_cast<long long>(*heardAfter + msOf(returned - relaunched)),
                static_cast<long long>(player.reopenCount()));
    EXPECT_GE(player.reopenCount(), 1);
    EXPECT_EQ(player.state(), StreamPlayer::State::Playing);
    EXPECT_FALSE(once.isPlaying());

    player.stop();
    EXPECT_TRUE(msUntilSilent(now(), 1500).has_value());
}

// The network goes away without a word (the server neither sends nor closes, as when a
// route drops) and comes back: the player notices the silence itself and reconnects.
TEST_F(StreamPlayerSound, SoundComesBackAfterTheNetworkFreezes) {
    StreamPlayer player;
    player.setLooping(true);
    player.setUrl(url());
    player.play();
    ASSERT_TRUE(msUntilHeard(now(), 5000).has_value());

    const int64_t frozen = now();
    icecast->suspend();
    const auto silentAfter = msUntilSilent(frozen, 10000);
    if (!silentAfter.has_value()) {
        icecast->resume();
        FAIL() << "the tone went on while the server was frozen";
    }
    std::printf("[ measure  ] silent %lld ms after the server froze\n",
                static_cast<long long>(*silentAfter));
    // Attempts go unanswered meanwhile; note when each one starts.
    std::vector<std::chrono::steady_clock::time_point> attempts{std::chrono::steady_clock::now()};
    int64_t seen = player.reopenCount();
    pumpUntil(9s, [&] {
        if (player.reopenCount() != seen) {
            seen = player.reopenCount();
            attempts.push_back(std::chrono::steady_clock::now());
        }
        return false;
    });
    EXPECT_TRUE(player.isPlaying());
    EXPECT_GE(attempts.size(), 3u) << "the player gave up trying";
    int64_t longestGap = 0;
    for (size_t i = 2; i < attempts.size(); ++i) { // from the first attempt on
        longestGap = std::max<int64_t>(
            longestGap,
            std::chrono::duration_cast<std::chrono::milliseconds>(attempts[i] - attempts[i - 1])
                .count());
    }
    std::printf("[ measure  ] %zu reopen attempts while the network was away, at most %lld ms "
                "apart\n",
                attempts.size() - 1, static_cast<long long>(longestGap));
    EXPECT_LE(longestGap, 3000) << "attempts must follow each other within 3 s";

    const int64_t thawed = now();
    icecast->resume();
    const auto heardAfter = msUntilHeard(thawed, 5000);
    ASSERT_TRUE(heardAfter.has_value())
        << "no tone within 5 s of the network's return; state " << static_cast<int>(player.state())
        << ", error: " << player.lastError();
    std::printf("[ measure  ] tone back %lld ms after the network's return\n",
                static_cast<long long>(*heardAfter));
    player.stop();
    EXPECT_TRUE(msUntilSilent(now(), 1500).has_value());
}

TEST_F(StreamPlayerSound, AutoPlayStartsOnAssignmentAndPlayDoesNotRestartOrDouble) {
    StreamPlayer single;
    single.setUrl(url());
    single.play();
    ASSERT_TRUE(msUntilHeard(now(), 5000).has_value());
    const ToneMeasure once = steadyLevel();
    single.stop();
    ASSERT_TRUE(msUntilSilent(now(), 1500).has_value());

    StreamPlayer player;
    player.setAutoPlay(true);
    player.setLooping(true);
    const int64_t assigned = now();
    player.setUrl(url());
    EXPECT_TRUE(player.isPlaying());
    const auto heardAfter = msUntilHeard(assigned, 3000);
    ASSERT_TRUE(heardAfter.has_value()) << "AutoPlay did not start the stream";
    std::printf("[ measure  ] AutoPlay: tone heard %lld ms after assignment\n",
                static_cast<long long>(*heardAfter));

    // play() now must not cut the sound (a restart) nor add a second copy of it.
    const int64_t pressed = now();
    player.play();
    player.play();
    const ToneMeasure afterPlay = measureAt(pressed, samplesOf(1500));
    const auto gap = msUntilSilent(pressed, 1500);
    EXPECT_FALSE(gap.has_value()) << "sound broke off " << gap.value_or(0) << " ms after play()";
    const ToneMeasure steady = steadyLevel();
    print("one play()", once);
    print("AutoPlay then play() twice", steady);
    EXPECT_TRUE(tamsel::test::toneHeard(afterPlay));
    EXPECT_NEAR(steady.rms / once.rms, 1.0, 0.1) << "two copies of the stream would add up";
    EXPECT_EQ(player.reopenCount(), 0);

    // Assigning again while playing replaces the stream rather than adding to it.
    player.setUrl(url());
    ASSERT_TRUE(msUntilHeard(now(), 3000).has_value());
    const ToneMeasure reassigned = steadyLevel();
    EXPECT_NEAR(reassigned.rms / once.rms, 1.0, 0.1);
    player.stop();
    EXPECT_TRUE(msUntilSilent(now(), 1500).has_value());
}

// MP3 and AAC streams, each of its own tone: the player decodes each and plays that tone
// (the Ogg/Vorbis one is the tests above).
TEST_F(StreamPlayerSound, PlaysMp3AndAacStreams) {
    struct Case {
        const char* name;
        ToneSource::Codec codec;
        const char* mount;
        double hz;
    };
    for (const Case& c : {Case{"MP3", ToneSource::Codec::Mp3, "/tone.mp3", 660.0},
                          Case{"AAC", ToneSource::Codec::Aac, "/tone.aac", 550.0}}) {
        SCOPED_TRACE(c.name);
        ToneSource other(*icecast, c.mount, c.hz, c.codec);
        ASSERT_TRUE(other.start()) << other.log() << icecast->log();
        StreamPlayer player;
        player.setUrl(icecast->url(c.mount));
        const int64_t pressed = now();
        player.play();
        const auto heardAfter = msUntilHeard(pressed, 5000, c.hz);
        ASSERT_TRUE(heardAfter.has_value()) << player.lastError();
        const ToneMeasure own = steadyLevel(c.hz);
        const ToneMeasure at440 = steadyLevel(ToneHz);
        std::printf("[ measure  ] %s: %.0f Hz tone heard %lld ms after play()\n", c.name, c.hz,
                    static_cast<long long>(*heardAfter));
        print(c.name, own);
        EXPECT_TRUE(tamsel::test::toneHeard(own));
        EXPECT_FALSE(tamsel::test::toneHeard(at440)) << "the 440 Hz stream is not the one playing";
        player.stop();
        EXPECT_TRUE(msUntilSilent(now(), 1500).has_value());
    }
}

TEST(StreamPlayer, VolumeFollowsTheCubicCurveAndIsClamped) {
    StreamPlayer player;
    EXPECT_EQ(player.volume(), 250) << "full until something sets it";
    EXPECT_DOUBLE_EQ(StreamPlayer::linearGain(250), 1.0);
    EXPECT_DOUBLE_EQ(StreamPlayer::linearGain(0), 0.0);
    EXPECT_NEAR(StreamPlayer::linearGain(125), 0.125, 1e-6);
    EXPECT_NEAR(StreamPlayer::linearGain(50), 1.0 / 125.0, 1e-6);

    player.setVolume(-1);
    EXPECT_EQ(player.volume(), 0);
    player.setVolume(251);
    EXPECT_EQ(player.volume(), 250);
    player.setVolume(INT64_MIN);
    EXPECT_EQ(player.volume(), 0);
    player.setVolume(INT64_MAX);
    EXPECT_EQ(player.volume(), 250);
    player.setVolume(200);
    EXPECT_EQ(player.volume(), 200);
    EXPECT_DOUBLE_EQ(StreamPlayer::linearGain(-40), 0.0);
    EXPECT_DOUBLE_EQ(StreamPlayer::linearGain(1000), 1.0);
}

TEST(StreamPlayer, PlayWithoutAStreamDoesNothing) {
    StreamPlayer player;
    player.play();
    EXPECT_FALSE(player.isPlaying());
    player.setAutoPlay(true);
    player.setUrl("");
    EXPECT_FALSE(player.isPlaying());
    EXPECT_EQ(player.state(), StreamPlayer::State::Stopped);
}

TEST(StreamPlayer, RefusesEveryOperationOffTheMainThread) {
    StreamPlayer player;
    int refused = 0;
    int total = 0;
    std::thread other([&] {
        const std::function<void()> operations[] = {
            [&] { player.setUrl("http://127.0.0.1:9/"); },
            [&] { player.play(); },
            [&] { player.stop(); },
            [&] { player.setVolume(10); },
            [&] { (void)player.volume(); },
            [&] { player.setLooping(true); },
            [&] { player.setAutoPlay(true); },
            [&] { (void)player.isPlaying(); },
            [&] { (void)player.state(); },
            [&] { StreamPlayer another; },
        };
        for (const auto& operation : operations) {
            ++total;
            try {
                operation();
            } catch (const host::ThreadAccessingUIException&) {
                ++refused;
            }
        }
    });
    other.join();
    EXPECT_EQ(refused, total);
    // Nothing was changed by the refused calls.
    EXPECT_EQ(player.volume(), StreamPlayer::FullVolume);
    EXPECT_FALSE(player.looping());
    EXPECT_FALSE(player.autoPlay());
    EXPECT_EQ(player.url(), "");
}

} // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    PulseServer pulse;
    if (!pulse.start()) {
        std::fprintf(stderr, "PulseAudio did not start:\n%s\n", pulse.log().c_str());
        return 1;
    }
    gPulse = &pulse;
    for (const auto& [name, value] : pulse.clientEnv()) {
        ::setenv(name.c_str(), value.c_str(), 1);
    }
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    int result = 0;
    {
        QApplication app(argc, argv);
        result = RUN_ALL_TESTS();
    }
    gPulse = nullptr;
    return result;
}
