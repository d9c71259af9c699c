#include "app/Constants.h"
#include "app/Startup.h"
#include "host/Application.h"
#include "http/HTTPSocket.h"
#include "support/AudioServers.h"
#include "support/LoopbackNetwork.h"
#include "support/ScriptedServer.h"
#include "support/StreamHostServer.h"
#include "support/Widgets.h"
#include "ui/Window1.h"

#include <QApplication>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

// The desktop's media controls as the desktop meets them: the real window on the offscreen
// platform, registered on a private session bus, driven and read by playerctl and gdbus, while
// it plays a real Icecast station (reached through the stream host's stand-in) whose title
// the station's admin changes.

namespace {

using namespace std::chrono_literals;
using tamsel::test::ChildProcess;
using tamsel::test::IcecastServer;
using tamsel::test::StreamHostServer;
using tamsel::test::ToneSource;
using Clock = std::chrono::steady_clock;

const std::string kMount = "/tmslradio1/listen";
const std::string kStation = "Tamsel Test Station";
const std::string kBusName = "org.mpris.MediaPlayer2.tamselRadio";

StreamHostServer* gHost = nullptr;

bool pumpUntil(std::chrono::milliseconds timeout, const std::function<bool()>& pred) {
    const auto deadline = Clock::now() + timeout;
    while (!pred()) {
        if (Clock::now() >= deadline) {
            return false;
        }
        QTest::qWait(10);
    }
    return true;
}

// Runs a desktop tool to its end while the window keeps serving the bus; its output, trimmed.
std::string run(std::vector<std::string> argv) {
    ChildProcess::Options options;
    options.argv = std::move(argv);
    options.captureStdout = true;
    ChildProcess tool(options);
    // Read as it comes, without blocking: the tool may be waiting for this very thread.
    ::fcntl(tool.readFd(), F_SETFL, ::fcntl(tool.readFd(), F_GETFL) | O_NONBLOCK);
    std::string out;
    pumpUntil(10s, [&] {
        char buffer[4096];
        ssize_t n = 0;
        while ((n = ::read(tool.readFd(), buffer, sizeof buffer)) > 0) {
            out.append(buffer, static_cast<size_t>(n));
        }
        return n == 0;
    });
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) {
        out.pop_back();
    }
    return out;
}

std::string playerctl(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"playerctl", "--player=tamselRadio"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv);
}

void callRoot(const std::string& method) {
    run({"gdbus", "call", "--session", "--dest", kBusName, "--object-path",
         "/org/mpris/MediaPlayer2", "--method", "org.mpris.MediaPlayer2." + method});
}

std::string properties(const std::string& interface) {
    return run({"gdbus", "call", "--session", "--dest", kBusName, "--object-path",
                "/org/mpris/MediaPlayer2", "--method", "org.freedesktop.DBus.Properties.GetAll",
                interface});
}

class Mpris : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (host::getAppObject() == nullptr) {
            tamsel::_NewAppInstance();
        }
        icecast = new IcecastServer;
        source = new ToneSource(*icecast, kMount, 440.0, ToneSource::Codec::Mp3);
        source->setStreamName(kStation);
        if (!icecast->start() || !source->start()) {
            std::fprintf(stderr, "the station did not start:\n%s\n%s\n", icecast->log().c_str(),
                         source->log().c_str());
            TearDownTestSuite();
        }
    }

    static void TearDownTestSuite() {
        delete source;
        delete icecast;
        source = nullptr;
        icecast = nullptr;
    }

    void SetUp() override {
        ASSERT_NE(source, nullptr) << "the station did not start";
        gHost->setBehaviour(StreamHostServer::Behaviour::Relay);
        gHost->setUpstreamPort(icecast->port());
        window = ::Window1();
        widget = testsupport::widgetOf(*window);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(widget));
    }

    void TearDown() override {
        window->Close();
        window.reset();
        QCoreApplication::processEvents();
    }

    QPushButton* button(const char* name) const { return widget->findChild<QPushButton*>(name); }
    bool windowPlaying() const {
        return !button("PushButton2")->isEnabled() && button("PushButton1")->isEnabled();
    }

    static IcecastServer* icecast;
    static ToneSource* source;
    std::shared_ptr<tamsel::Window1> window;
    QWidget* widget = nullptr;
};

IcecastServer* Mpris::icecast = nullptr;
ToneSource* Mpris::source = nullptr;

TEST_F(Mpris, DesktopFindsThePlayerUnderItsNameAndDesktopEntry) {
    EXPECT_EQ(run({"playerctl", "--list-all"}), "tamselRadio");
    const std::string root = properties("org.mpris.MediaPlayer2");
    EXPECT_NE(root.find("'Identity': <'tamselRadio'>"), std::string::npos) << root;
    EXPECT_NE(root.find("'DesktopEntry': <'tamselRadio'>"), std::string::npos) << root;
    EXPECT_NE(root.find("'CanRaise': <true>"), std::string::npos) << root;
    EXPECT_NE(root.find("'CanQuit': <true>"), std::string::npos) << root;
    // The desktop entry named is the one the package installs.
    EXPECT_TRUE(std::filesystem::exists(std::string(std::getenv("TAMSEL_SOURCE_DIR")) +
                                        "/packaging/linux/tamselRadio.desktop.in"));
    const std::string player = properties("org.mpris.MediaPlayer2.Player");
    EXPECT_NE(player.find("'CanGoNext': <false>"), std::string::npos) << player;
    EXPECT_NE(player.find("'CanGoPrevious': <false>"), std::string::npos) << player;
}

TEST_F(Mpris, PlayStopPauseAndVolumeActAsTheWindowsOwnControls) {
    EXPECT_EQ(playerctl({"status"}), "Stopped");
    playerctl({"play"});
    EXPECT_TRUE(windowPlaying());
    EXPECT_TRUE(window->MoviePlayer1().isPlaying());
    EXPECT_EQ(playerctl({"status"}), "Playing");
    // Play on a playing window is a click on a greyed-out button: nothing.
    const auto movie = window->MoviePlayer1().movie();
    playerctl({"play"});
    EXPECT_EQ(window->MoviePlayer1().movie(), movie);

    playerctl({"play-pause"});
    EXPECT_FALSE(windowPlaying());
    EXPECT_EQ(playerctl({"status"}), "Stopped");
    playerctl({"play-pause"});
    EXPECT_TRUE(windowPlaying());
    playerctl({"pause"});
    EXPECT_FALSE(windowPlaying());
    EXPECT_FALSE(window->MoviePlayer1().isPlaying());
    playerctl({"play"});
    playerctl({"stop"});
    EXPECT_FALSE(windowPlaying());
    EXPECT_EQ(playerctl({"status"}), "Stopped");

    // The window's buttons are what the desktop sees.
    QTest::mouseClick(button("PushButton2"), Qt::LeftButton);
    EXPECT_EQ(playerctl({"status"}), "Playing");
    QTest::mouseClick(button("PushButton1"), Qt::LeftButton);

    EXPECT_EQ(playerctl({"volume"}), "1.000000");
    playerctl({"volume", "0.4"});
    EXPECT_EQ(window->Slider1().Value(), 100);
    EXPECT_EQ(window->MoviePlayer1().Volume(), 100);
    QTest::keyClick(widget->findChild<QSlider*>("Slider1"), Qt::Key_End);
    EXPECT_EQ(playerctl({"volume"}), "1.000000");
}

TEST_F(Mpris, RaiseBringsTheWindowBackAndQuitEndsItAsACloseDoes) {
    QWidget other;
    other.show();
    other.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
    widget->showMinimized();
    callRoot("Raise");
    EXPECT_TRUE(pumpUntil(
        3s, [&] { return QApplication::activeWindow() == widget && !widget->isMinimized(); }));

    playerctl({"play"});
    ASSERT_TRUE(windowPlaying());
    callRoot("Quit");
    EXPECT_TRUE(pumpUntil(3s, [] { return host::WindowCount() == 0; }));
    EXPECT_FALSE(widget->isVisible());
}

// Ogg stations send no ICY metadata: title and station name travel in the stream's own
// comments (their icy-name header does not get through the Ogg demuxer under Qt).
TEST_F(Mpris, OggVorbisAndOpusStationsGiveStationAndTitleThroughTheStreamsOwnTags) {
    using Codec = ToneSource::Codec;
    for (const auto& [codec, title] :
         {std::pair{Codec::Vorbis, "Vorbis Song"}, std::pair{Codec::Opus, "Opus Song"}}) {
        SCOPED_TRACE(title);
        IcecastServer oggServer;
        ToneSource ogg(oggServer, kMount, 440.0, codec);
        ogg.setTagTitle(title);
        ogg.setStreamName(kStation);
        ASSERT_TRUE(oggServer.start() && ogg.start()) << oggServer.log() << ogg.log();
        gHost->setUpstreamPort(oggServer.port());
        playerctl({"play"});
        EXPECT_TRUE(pumpUntil(10s,
                              [&] {
                                  return playerctl({"metadata", "xesam:title"}) == title;
                              }))
            << "metadata: " << playerctl({"metadata"});
        EXPECT_EQ(playerctl({"metadata", "xesam:album"}), kStation);
        playerctl({"stop"});
    }
}

// While a blocking request (the update check's) holds the window, the bus is still served, but
// a Play from the desktop waits for the request's end, as a click made meanwhile does.
TEST_F(Mpris, PlayDuringABlockingRequestActsOnceTheRequestIsOver) {
    testsupport::ScriptedServer late([](testsupport::Conn& c) {
        c.readRequest();
        c.pause(2s);
        c.send("HTTP/1.0 200 OK\r\n\r\n1.1.8\n");
    });
    ChildProcess::Options options;
    options.argv = {"playerctl", "--player=tamselRadio", "play"};
    ChildProcess play(options);
    http::HTTPSocket socket;
    EXPECT_EQ(socket.Get(late.url("/app/version"), 30), "1.1.8\n");
    EXPECT_FALSE(windowPlaying());
    EXPECT_TRUE(pumpUntil(5s, [&] { return windowPlaying(); }));
    playerctl({"stop"});
}

TEST_F(Mpris, StationNameAndATitleChangedByTheStationReachMetadata) {
    playerctl({"play"});
    // The stream's first title is the one the source gave the server; a change comes after it.
    ASSERT_TRUE(pumpUntil(10s,
                          [] {
                              return !playerctl({"metadata", "xesam:title"}).empty();
                          }))
        << "metadata: " << playerctl({"metadata"});
    EXPECT_EQ(playerctl({"metadata", "xesam:album"}), kStation);

    for (const std::string title : {"First Song", "Second Song"}) {
        ASSERT_TRUE(icecast->setTitle(kMount, title));
        const auto changed = Clock::now();
        const bool arrived = pumpUntil(5s, [&] {
            return playerctl({"metadata", "xesam:title"}) == title;
        });
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - changed).count();
        std::printf("[ measure  ] \"%s\" reached xesam:title after %lld ms\n", title.c_str(),
                    static_cast<long long>(ms));
        EXPECT_TRUE(arrived);
        EXPECT_LE(ms, 3000);
    }
    playerctl({"stop"});
    EXPECT_EQ(playerctl({"metadata", "xesam:title"}), "");
}

} // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Before any thread exists: nothing the player does may leave the machine.
    const std::string isolation = testsupport::enterLoopbackOnlyNetwork();
    std::printf("[ network  ] %s\n", isolation.empty()
                                         ? "own namespace, loopback only"
                                         : ("shared network (" + isolation + ")").c_str());
    tamsel::test::PulseServer pulse;
    if (!pulse.start()) {
        std::fprintf(stderr, "PulseAudio did not start:\n%s\n", pulse.log().c_str());
        return 1;
    }
    for (const auto& [name, value] : pulse.clientEnv()) {
        ::setenv(name.c_str(), value.c_str(), 1);
    }
    // A session bus of the test's own, found by the player and the tools alike.
    tamsel::test::TempDir busDir("tamsel-bus-");
    const std::string address = "unix:path=" + (busDir.path() / "bus").string();
    ChildProcess::Options busOptions;
    busOptions.argv = {"dbus-daemon", "--session", "--nofork", "--nopidfile",
                       "--address=" + address};
    busOptions.logPath = busDir.path() / "bus.log";
    // Left running until the process is gone (it dies with it): the platform's bus connection
    // outlives main, and a bus that went away under it ends the process with SIGTERM.
    static ChildProcess* const bus = new ChildProcess(busOptions);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    if (!pumpUntil(10s, [] {
            return !run({"gdbus", "call", "--session", "--dest", "org.freedesktop.DBus",
                         "--object-path", "/org/freedesktop/DBus", "--method",
                         "org.freedesktop.DBus.GetId"})
                        .empty();
        })) {
        std::fprintf(stderr, "the session bus did not start: %s\n", bus->log().c_str());
        return 1;
    }
    StreamHostServer streamHost;
    gHost = &streamHost;
    ::setenv("http_proxy", streamHost.proxyUrl().c_str(), 1);
    ::unsetenv("no_proxy");
    int result = 0;
    {
        QApplication app(argc, argv);
        result = RUN_ALL_TESTS();
    }
    gHost = nullptr;
    return result;
}
