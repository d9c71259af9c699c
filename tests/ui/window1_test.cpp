#include "app/App.h"
#include "app/Constants.h"
#include "app/Startup.h"
#include "host/Application.h"
#include "host/StreamPlayer.h"
#include "support/Widgets.h"
#include "ui/Window1.h"

#include <QApplication>
#include <QIcon>
#include <QImage>
#include <QMessageBox>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <gtest/gtest.h>
#include <optional>
#include <sstream>

namespace {

// "D4 00 00 00" -> the bytes written out.
std::string hex(const std::string& text) {
    std::istringstream in(text);
    std::string out;
    std::string byte;
    while (in >> byte) {
        out.push_back(static_cast<char>(std::stoi(byte, nullptr, 16)));
    }
    return out;
}

// An entry written out by hand: the name, the space, then the value's bytes.
std::string entry(const std::string& name, const std::string& valueHex) {
    return name + " " + hex(valueHex);
}

std::string stringEntry(const std::string& name, const std::string& lengthHex,
                        const std::string& text) {
    return name + " " + hex(lengthHex) + text;
}

const std::string kTrue = "01";
const std::string kFalse = "00";
const std::string kZero8 = "00 00 00 00 00 00 00 00";
const std::string kNoIndex = "00 00 00 80 FF FF FF FF";

TEST(Window1Blocks, WindowBlockHasTheExactBytesOfItsTable) {
    const std::string expected =
        entry("Width", "D4 00 00 00 00 00 00 00") + entry("Height", "63 00 00 00 00 00 00 00") +
        entry("MinWidth", "40 00 00 00 00 00 00 00") +
        entry("MinHeight", "40 00 00 00 00 00 00 00") +
        entry("MaxWidth", "00 7D 00 00 00 00 00 00") +
        entry("MaxHeight", "00 7D 00 00 00 00 00 00") + entry("Frame", kZero8) +
        stringEntry("Title", "0B 00 00 00", "tamselRadio") + entry("CloseButton", kTrue) +
        entry("Resizeable", kFalse) + entry("MaximizeButton", kFalse) +
        entry("MinimizeButton", kTrue) + entry("FullScreenButton", kFalse) +
        entry("Composite", kFalse) + entry("MacProcID", kZero8) + entry("Placement", kZero8) +
        entry("Visible", kTrue) + entry("LiveResize", kTrue) + entry("FullScreen", kFalse) +
        entry("HasBackColor", kFalse) + entry("BackColor", "FF FF FF 00") +
        entry("MenuBarVisible", kTrue);
    EXPECT_EQ(tamsel::Window1::LayoutBlock(), expected);
}

TEST(Window1Blocks, PlayButtonBlockHasTheExactBytesOfItsTable) {
    const std::string expected =
        stringEntry("Name", "0B 00 00 00", "PushButton2") + entry("Index", kNoIndex) +
        entry("Left", "14 00 00 00 00 00 00 00") + entry("Top", "44 00 00 00 00 00 00 00") +
        entry("Width", "43 00 00 00 00 00 00 00") + entry("Height", "14 00 00 00 00 00 00 00") +
        entry("LockLeft", kTrue) + entry("LockTop", kTrue) + entry("LockRight", kFalse) +
        entry("LockBottom", kFalse) + entry("TabPanelIndex", kZero8) +
        entry("TabIndex", "02 00 00 00 00 00 00 00") + entry("TabStop", kTrue) +
        stringEntry("Caption", "04 00 00 00", "Play") + entry("Default", kFalse) +
        entry("Cancel", kFalse) + entry("Enabled", kTrue) + entry("Visible", kTrue) +
        stringEntry("HelpTag", "00 00 00 00", "") + entry("AutoDeactivate", kTrue) +
        entry("ButtonStyle", kZero8) + stringEntry("TextFont", "06 00 00 00", "System") +
        entry("TextSize", "00 00 00 00") + entry("TextUnit", "00") + entry("Bold", kFalse) +
        entry("Italic", kFalse) + entry("Underline", kFalse) +
        stringEntry("InitialParent", "00 00 00 00", "");
    EXPECT_EQ(tamsel::Window1::PushButton2Block(), expected);
}

std::vector<std::string> namesOf(const std::string& block) {
    std::vector<std::string> names;
    for (const host::PropertyEntry& e : host::decodePropertyBlock(block)) {
        names.push_back(e.name);
    }
    return names;
}

TEST(Window1Blocks, EveryBlockHoldsItsEntriesInTheStoredOrder) {
    const std::vector<std::string> button = {
        "Name",     "Index",          "Left",        "Top",          "Width",         "Height",
        "LockLeft", "LockTop",        "LockRight",   "LockBottom",   "TabPanelIndex", "TabIndex",
        "TabStop",  "Caption",        "Default",     "Cancel",       "Enabled",       "Visible",
        "HelpTag",  "AutoDeactivate", "ButtonStyle", "TextFont",     "TextSize",      "TextUnit",
        "Bold",     "Italic",         "Underline",   "InitialParent"};
    EXPECT_EQ(namesOf(tamsel::Window1::PushButton1Block()), button);
    EXPECT_EQ(namesOf(tamsel::Window1::PushButton3Block()), button);
    EXPECT_EQ(namesOf(tamsel::Window1::LayoutBlock()).size(), 22U);
    const std::vector<std::string> player = {
        "Name",       "Index",          "Left",       "Top",        "Width",         "Height",
        "LockLeft",   "LockTop",        "LockRight",  "LockBottom", "TabPanelIndex", "TabIndex",
        "TabStop",    "AutoResize",     "Border",     "Speaker",    "HasStep",       "Visible",
        "HelpTag",    "AutoDeactivate", "PlayerType", "Controller", "AutoPlay",      "Looping",
        "Palindrome", "InitialParent"};
    EXPECT_EQ(namesOf(tamsel::Window1::MoviePlayer1Block()), player);
    const std::vector<std::string> slider = {
        "Name",          "Index",          "Left",       "Top",       "Width",
        "Height",        "LockLeft",       "LockTop",    "LockRight", "LockBottom",
        "TabPanelIndex", "TabIndex",       "TabStop",    "Enabled",   "Visible",
        "HelpTag",       "AutoDeactivate", "Minimum",    "Value",     "Maximum",
        "LineStep",      "PageStep",       "LiveScroll", "TickStyle", "InitialParent"};
    EXPECT_EQ(namesOf(tamsel::Window1::Slider1Block()), slider);

    // The values that differ between the buttons and the slider's start at its maximum.
    const auto stop = host::decodePropertyBlock(tamsel::Window1::PushButton1Block());
    EXPECT_EQ(std::get<int64_t>(stop[2].value), 99);
    EXPECT_EQ(std::get<int64_t>(stop[11].value), 3);
    EXPECT_EQ(std::get<std::string>(stop[13].value), "Stop");
    EXPECT_FALSE(std::get<bool>(stop[16].value));
    const auto about = host::decodePropertyBlock(tamsel::Window1::PushButton3Block());
    EXPECT_EQ(std::get<int64_t>(about[2].value), 178);
    EXPECT_EQ(std::get<int64_t>(about[4].value), 22);
    EXPECT_EQ(std::get<int64_t>(about[11].value), 5);
    EXPECT_EQ(std::get<std::string>(about[13].value), "?");
    const auto volume = host::decodePropertyBlock(tamsel::Window1::Slider1Block());
    EXPECT_EQ(std::get<int64_t>(volume[18].value), 250);
    EXPECT_EQ(std::get<int64_t>(volume[19].value), 250);
}

// The window on the offscreen platform, with the application object start-up makes.
class Window1Test : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // Play must not leave this machine: the stream's host is reached, if at all,
        // through a proxy address on loopback where nothing listens.
        setenv("http_proxy", "http://127.0.0.1:9/", 1);
        host::ensureRuntime();
        QApplication::setQuitOnLastWindowClosed(false);
        if (host::getAppObject() == nullptr) {
            tamsel::_NewAppInstance();
        }
    }

    void SetUp() override {
        window = ::Window1();
        ASSERT_NE(window, nullptr);
        widget = testsupport::widgetOf(*window);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(widget));
    }

    void TearDown() override {
        window->Close();
        window.reset();
        QCoreApplication::processEvents();
        EXPECT_EQ(host::WindowCount(), 0);
    }

    QPushButton* button(const char* name) const { return widget->findChild<QPushButton*>(name); }
    QSlider* slider() const { return widget->findChild<QSlider*>("Slider1"); }

    // Clicks a button and answers the message box it opens; returns the box's text.
    std::optional<QString> clickAndReadMessageBox(QPushButton* target) {
        std::optional<QString> text;
        QTimer poll;
        poll.setInterval(10);
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                text = box->text();
                title = box->windowTitle();
                boxIcon = box->windowIcon();
                box->button(QMessageBox::Ok)->click();
            }
        });
        poll.start();
        QTest::mouseClick(target, Qt::LeftButton);
        poll.stop();
        return text;
    }

    std::shared_ptr<tamsel::Window1> window;
    QWidget* widget = nullptr;
    QString title;
    QIcon boxIcon;
};

TEST_F(Window1Test, WindowHasItsFixedSizeTitleAndButtons) {
    EXPECT_EQ(widget->size(), QSize(212, 99));
    EXPECT_EQ(widget->minimumSize(), QSize(212, 99));
    EXPECT_EQ(widget->maximumSize(), QSize(212, 99));
    EXPECT_EQ(widget->windowTitle(), "tamselRadio");
    const Qt::WindowFlags flags = widget->windowFlags();
    EXPECT_TRUE(flags.testFlag(Qt::WindowCloseButtonHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_EQ(host::RuntimeGetImplicitWindow("Window1.Window1"), window);
    // The accessor hands out the open window rather than making a second one.
    EXPECT_EQ(::Window1(), window);
    EXPECT_EQ(host::WindowCount(), 1);
}

TEST_F(Window1Test, ControlsStandWhereTheirBlocksPutThem) {
    struct Expected {
        const char* name;
        QRect geometry;
        const char* caption;
        bool enabled;
    };
    for (const Expected& e : {Expected{"PushButton2", QRect(20, 68, 67, 20), "Play", true},
                              Expected{"PushButton1", QRect(99, 68, 67, 20), "Stop", false},
                              Expected{"PushButton3", QRect(178, 68, 22, 20), "?", true}}) {
        QPushButton* b = button(e.name);
        ASSERT_NE(b, nullptr) << e.name;
        EXPECT_EQ(b->geometry(), e.geometry) << e.name;
        EXPECT_EQ(b->text(), e.caption) << e.name;
        EXPECT_EQ(b->isEnabled(), e.enabled) << e.name;
        EXPECT_TRUE(b->isVisible()) << e.name;
    }
    ASSERT_NE(slider(), nullptr);
    EXPECT_EQ(slider()->geometry(), QRect(20, 33, 180, 23));
    EXPECT_EQ(slider()->orientation(), Qt::Horizontal);
    EXPECT_EQ(slider()->minimum(), 0);
    EXPECT_EQ(slider()->maximum(), 250);
    EXPECT_EQ(slider()->value(), 250);
    EXPECT_EQ(slider()->pageStep(), 20);

    QWidget* player = testsupport::widgetOf(window->MoviePlayer1());
    EXPECT_EQ(player->geometry(), QRect(0, 0, 212, 21));
    EXPECT_FALSE(player->isVisible());
    EXPECT_TRUE(window->MoviePlayer1().AutoPlay());
    EXPECT_TRUE(window->MoviePlayer1().Looping());
}

TEST_F(Window1Test, TabGoesPlayStopAboutSlider) {
    QWidget* play = button("PushButton2");
    std::vector<QWidget*> chain;
    QWidget* w = play;
    do {
        if ((w->focusPolicy() & Qt::TabFocus) != 0 && w->parentWidget() == widget) {
            chain.push_back(w);
        }
        w = w->nextInFocusChain();
    } while (w != play && chain.size() < 10);
    EXPECT_EQ(chain, (std::vector<QWidget*>{play, button("PushButton1"), button("PushButton3"),
                                            slider()}));

    // With Stop disabled, a real Tab from Play skips it.
    play->setFocus();
    QTest::keyClick(play, Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), button("PushButton3"));
}

TEST_F(Window1Test, InitialSliderValueLeavesTheVolumeAloneAndItsEndIsThatLevel) {
    EXPECT_EQ(window->Slider1().Value(), 250);
    host::MoviePlayer& player = window->MoviePlayer1();
    EXPECT_EQ(player.Volume(), host::StreamPlayer::FullVolume);
    const double startUpGain = host::StreamPlayer::linearGain(player.Volume());
    QTest::keyClick(slider(), Qt::Key_Home);
    QTest::keyClick(slider(), Qt::Key_End);
    EXPECT_EQ(player.Volume(), 250);
    EXPECT_DOUBLE_EQ(host::StreamPlayer::linearGain(player.Volume()), startUpGain);
}

TEST_F(Window1Test, SpaceTwiceOnPlayPlaysThenStops) {
    QPushButton* play = button("PushButton2");
    play->setFocus();
    QTest::keyClick(play, Qt::Key_Space);
    EXPECT_TRUE(window->MoviePlayer1().isPlaying());
    // Play greyed itself out; the focus is on Stop, enabled by the same handler.
    ASSERT_EQ(QApplication::focusWidget(), button("PushButton1"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
    EXPECT_FALSE(window->MoviePlayer1().isPlaying());
    // Stop greyed itself out in turn: on to the next enabled control after it.
    EXPECT_EQ(QApplication::focusWidget(), button("PushButton3"));
}

TEST_F(Window1Test, SliderSetsTheVolumeUnchangedWhetherPlayingOrNot) {
    host::MoviePlayer& player = window->MoviePlayer1();
    QTest::keyClick(slider(), Qt::Key_Home);
    EXPECT_EQ(slider()->value(), 0);
    EXPECT_EQ(player.Volume(), 0);
    QTest::keyClick(slider(), Qt::Key_PageUp);
    EXPECT_EQ(player.Volume(), 20);
    QTest::keyClick(slider(), Qt::Key_Right);
    EXPECT_EQ(player.Volume(), 21);
    QTest::keyClick(slider(), Qt::Key_End);
    EXPECT_EQ(player.Volume(), 250);

    // A click on the groove left of the handle pages down.
    QTest::mouseClick(slider(), Qt::LeftButton, {}, QPoint(5, slider()->height() / 2));
    EXPECT_EQ(slider()->value(), 230);
    EXPECT_EQ(player.Volume(), 230);

    // The idle player is all the slider needs; the buttons stay as they were.
    EXPECT_FALSE(player.isPlaying());
    EXPECT_TRUE(button("PushButton2")->isEnabled());
    EXPECT_FALSE(button("PushButton1")->isEnabled());
}

TEST_F(Window1Test, PlayAndStopFollowTheStateTable) {
    QPushButton* play = button("PushButton2");
    QPushButton* stop = button("PushButton1");
    host::MoviePlayer& player = window->MoviePlayer1();
    EXPECT_EQ(player.movie(), nullptr);

    QTest::mouseClick(play, Qt::LeftButton);
    EXPECT_FALSE(play->isEnabled());
    EXPECT_TRUE(stop->isEnabled());
    const std::shared_ptr<host::Movie> first = player.movie();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->url(), tamsel::constants::kStreamURL);
    EXPECT_TRUE(player.isPlaying());

    // A click on the disabled Play does nothing.
    QTest::mouseClick(play, Qt::LeftButton);
    EXPECT_EQ(player.movie(), first);

    QTest::mouseClick(stop, Qt::LeftButton);
    EXPECT_TRUE(play->isEnabled());
    EXPECT_FALSE(stop->isEnabled());
    EXPECT_FALSE(player.isPlaying());
    // Stop keeps the movie; the next Play replaces it with a fresh one.
    EXPECT_EQ(player.movie(), first);

    QTest::mouseClick(play, Qt::LeftButton);
    EXPECT_FALSE(play->isEnabled());
    EXPECT_TRUE(stop->isEnabled());
    ASSERT_NE(player.movie(), nullptr);
    EXPECT_NE(player.movie(), first);
    EXPECT_EQ(player.movie()->url(), tamsel::constants::kStreamURL);
    EXPECT_TRUE(player.isPlaying());

    QTest::mouseClick(stop, Qt::LeftButton);
    EXPECT_FALSE(player.isPlaying());
}

TEST_F(Window1Test, AboutShowsFourLinesAndKeepsThePlayingState) {
    const QString expected = "radioTamsel v1.1.8\n"
                             "From Tamsel Radio with Love (tamselradio.com)\n"
                             "Developed by Tamsel Radio Team (tamselradio.com)\n"
                             "Big Thanks @tamselradio Community";
    EXPECT_EQ(clickAndReadMessageBox(button("PushButton3")), expected);
    EXPECT_EQ(title, QCoreApplication::applicationName());

    QTest::mouseClick(button("PushButton2"), Qt::LeftButton);
    EXPECT_EQ(clickAndReadMessageBox(button("PushButton3")), expected);
    EXPECT_FALSE(button("PushButton2")->isEnabled());
    EXPECT_TRUE(button("PushButton1")->isEnabled());
    EXPECT_TRUE(window->MoviePlayer1().isPlaying());
    QTest::mouseClick(button("PushButton1"), Qt::LeftButton);
}

TEST_F(Window1Test, AboutReadsTheVersionAtEachUse) {
    host::Application* app = host::getAppObject();
    app->_x_SetVersionData(2, 10, 0, 7, 1, "long", "short", "info");
    const std::optional<QString> text = clickAndReadMessageBox(button("PushButton3"));
    app->_x_SetVersionData(1, 1, 8, 0, 3, {}, {}, {});
    ASSERT_TRUE(text.has_value());
    EXPECT_TRUE(text->startsWith("radioTamsel v2.10.0\n")) << text->toStdString();
}

TEST_F(Window1Test, WindowAndMessageBoxShowTheIconTheDesktopEntryInstalls) {
    for (const int size : {16, 48, 256}) {
        const QString path =
            qEnvironmentVariable("TAMSEL_SOURCE_DIR") +
            QString("/packaging/icons/hicolor/%1x%1/apps/tamselRadio.png").arg(size);
        const QImage installed = QImage(path).convertToFormat(QImage::Format_ARGB32_Premultiplied);
        ASSERT_FALSE(installed.isNull()) << path.toStdString();
        const auto shown = [size](const QIcon& icon) {
            return icon.pixmap(QSize(size, size))
                .toImage()
                .convertToFormat(QImage::Format_ARGB32_Premultiplied);
        };
        EXPECT_EQ(shown(widget->windowIcon()), installed) << size;
        ASSERT_TRUE(clickAndReadMessageBox(button("PushButton3")).has_value());
        EXPECT_EQ(shown(boxIcon), installed) << size;
    }
}

TEST_F(Window1Test, ClosingReleasesTheWindowAndTheNextAccessMakesANewOne) {
    window->Close();
    QCoreApplication::processEvents();
    EXPECT_EQ(host::RuntimeGetImplicitWindow("Window1.Window1"), nullptr);
    EXPECT_EQ(host::WindowCount(), 0);
    window = ::Window1();
    EXPECT_NE(window.get(), nullptr);
    EXPECT_EQ(host::WindowCount(), 1);
}

} // namespace
