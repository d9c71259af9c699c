#include "ui/Window1.h"

#include "app/App.h"
#include "app/Constants.h"
#include "host/Dialogs.h"
#include "host/Strings.h"

#include <cmath>
#include <string_view>
#include <utility>

namespace tamsel {
namespace {

using host::Color;
using host::FontUnit;
using host::kNoControlIndex;

struct ButtonLayout {
    std::string_view name;
    int64_t left;
    int64_t width;
    int64_t tabIndex;
    std::string_view caption;
    bool enabled;
};

// The three buttons share one layout and differ only in these values.
constexpr ButtonLayout kPlay{"PushButton2", 20, 67, 2, "Play", true};
constexpr ButtonLayout kStop{"PushButton1", 99, 67, 3, "Stop", false};
constexpr ButtonLayout kAbout{"PushButton3", 178, 22, 5, "?", true};

// What screen readers say of each control, beside what the captions show: "?" and the
// slider's empty caption say nothing by themselves. An empty name keeps the caption.
struct AccessibleTexts {
    std::string_view control;
    std::string_view name;
    std::string_view description;
};
constexpr AccessibleTexts kAccessibleTexts[] = {
    {"PushButton2", "", "Plays the station"},
    {"PushButton1", "", "Stops the station"},
    {"PushButton3", "About tamselRadio", "Shows the version and the credits"},
    {"Slider1", "Volume", "Sets the playback volume"},
};

std::string buttonBlock(const ButtonLayout& b) {
    return host::encodePropertyBlock({
        {"Name", std::string(b.name)},
        {"Index", kNoControlIndex},
        {"Left", b.left},
        {"Top", int64_t{68}},
        {"Width", b.width},
        {"Height", int64_t{20}},
        {"LockLeft", true},
        {"LockTop", true},
        {"LockRight", false},
        {"LockBottom", false},
        {"TabPanelIndex", int64_t{0}},
        {"TabIndex", b.tabIndex},
        {"TabStop", true},
        {"Caption", std::string(b.caption)},
        {"Default", false},
        {"Cancel", false},
        {"Enabled", b.enabled},
        {"Visible", true},
        {"HelpTag", std::string()},
        {"AutoDeactivate", true},
        {"ButtonStyle", int64_t{0}},
        {"TextFont", std::string("System")},
        {"TextSize", 0.0F},
        {"TextUnit", FontUnit{0}},
        {"Bold", false},
        {"Italic", false},
        {"Underline", false},
        {"InitialParent", std::string()},
    });
}

// Creates a control inside the window, registers it under its name, looks it up again by
// name (checking its class) and applies its block; handlers are attached by the caller,
// after the block, so the initial values raise no events.
template <class C>
C& makeControl(Window1& window, const std::string& name, const std::string& block) {
    window.registerControl(name, std::make_unique<C>(window));
    C& control = host::controlAs<C>(&window, name);
    host::RuntimeMassPropertySetter(control, block);
    return control;
}

std::string aboutMessage() {
    const std::string eol = host::EndOfLine();
    return "radioTamsel v" + VersionString() + eol + "From Tamsel Radio with Love (" +
           std::string(constants::kProductWebDomain) + ")" + eol + "Developed by " +
           std::string(constants::kDeveloperName) + " (" +
           std::string(constants::kDeveloperWebSite) + ")" + eol + "Big Thanks @" +
           std::string(constants::kCommunityHandle) + " Community";
}

} // namespace

std::string Window1::LayoutBlock() {
    return host::encodePropertyBlock({
        {"Width", int64_t{212}},
        {"Height", int64_t{99}},
        {"MinWidth", int64_t{64}},
        {"MinHeight", int64_t{64}},
        {"MaxWidth", int64_t{32000}},
        {"MaxHeight", int64_t{32000}},
        {"Frame", int64_t{0}},
        {"Title", std::string("tamselRadio")},
        {"CloseButton", true},
        {"Resizeable", false},
        {"MaximizeButton", false},
        {"MinimizeButton", true},
        {"FullScreenButton", false},
        {"Composite", false},
        {"MacProcID", int64_t{0}},
        {"Placement", int64_t{0}},
        {"Visible", true},
        {"LiveResize", true},
        {"FullScreen", false},
        {"HasBackColor", false},
        {"BackColor", Color{0xFF, 0xFF, 0xFF, 0x00}},
        {"MenuBarVisible", true},
    });
}

std::string Window1::MoviePlayer1Block() {
    return host::encodePropertyBlock({
        {"Name", std::string("MoviePlayer1")},
        {"Index", kNoControlIndex},
        {"Left", int64_t{0}},
        {"Top", int64_t{0}},
        {"Width", int64_t{212}},
        {"Height", int64_t{21}},
        {"LockLeft", true},
        {"LockTop", true},
        {"LockRight", false},
        {"LockBottom", false},
        {"TabPanelIndex", int64_t{0}},
        {"TabIndex", int64_t{0}},
        {"TabStop", true},
        {"AutoResize", true},
        {"Border", false},
        {"Speaker", false},
        {"HasStep", false},
        {"Visible", false},
        {"HelpTag", std::string()},
        {"AutoDeactivate", false},
        {"PlayerType", int64_t{0}},
        {"Controller", int64_t{0}},
        {"AutoPlay", true},
        {"Looping", true},
        {"Palindrome", false},
        {"InitialParent", std::string()},
    });
}

std::string Window1::PushButton2Block() {
    return buttonBlock(kPlay);
}
std::string Window1::PushButton1Block() {
    return buttonBlock(kStop);
}
std::string Window1::PushButton3Block() {
    return buttonBlock(kAbout);
}

std::string Window1::Slider1Block() {
    return host::encodePropertyBlock({
        {"Name", std::string("Slider1")},
        {"Index", kNoControlIndex},
        {"Left", int64_t{20}},
        {"Top", int64_t{33}},
        {"Width", int64_t{180}},
        {"Height", int64_t{23}},
        {"LockLeft", true},
        {"LockTop", true},
        {"LockRight", false},
        {"LockBottom", false},
        {"TabPanelIndex", int64_t{0}},
        {"TabIndex", int64_t{6}},
        {"TabStop", true},
        {"Enabled", true},
        {"Visible", true},
        {"HelpTag", std::string()},
        {"AutoDeactivate", true},
        {"Minimum", int64_t{0}},
        {"Value", int64_t{250}},
        {"Maximum", int64_t{250}},
        {"LineStep", int64_t{1}},
        {"PageStep", int64_t{20}},
        {"LiveScroll", false},
        {"TickStyle", int64_t{0}},
        {"InitialParent", std::string()},
    });
}

void Window1::Layout() {
    host::RuntimeMassPropertySetter(*this, LayoutBlock());
}

void Window1::CreateControls() {
    _CreateControls0();
    describeControls();
    connectMediaControls();
}

void Window1::describeControls() {
    for (const AccessibleTexts& texts : kAccessibleTexts) {
        host::Control& control = host::controlAs<host::Control>(this, texts.control);
        control.SetProperty("AccessibleName", std::string(texts.name));
        control.SetProperty("AccessibleDescription", std::string(texts.description));
    }
}

void Window1::_CreateControls0() {
    makeControl<host::MoviePlayer>(*this, "MoviePlayer1", MoviePlayer1Block());

    makeControl<host::PushButton>(*this, "PushButton2", PushButton2Block());
    host::controlAs<host::PushButton>(this, "PushButton2").Action =
        [this](host::PushButton& sender) {
            PushButton2_Action(sender);
            showStateInMediaControls();
        };

    makeControl<host::PushButton>(*this, "PushButton1", PushButton1Block());
    host::controlAs<host::PushButton>(this, "PushButton1").Action =
        [this](host::PushButton& sender) {
            PushButton1_Action(sender);
            showStateInMediaControls();
        };

    makeControl<host::PushButton>(*this, "PushButton3", PushButton3Block());
    host::controlAs<host::PushButton>(this, "PushButton3").Action =
        [this](host::PushButton& sender) { PushButton3_Action(sender); };

    makeControl<host::Slider>(*this, "Slider1", Slider1Block());
    host::controlAs<host::Slider>(this, "Slider1").ValueChanged = [this](host::Slider& sender) {
        Slider1_ValueChanged(sender);
        showStateInMediaControls();
    };
}

// Requests from the desktop press the window's buttons and move its slider, so they do
// exactly what the user's clicks do (nothing, on a greyed-out button) and the state table
// stays the only record of playing.
void Window1::connectMediaControls() {
    mediaControls_ = std::make_unique<host::MediaControls>(std::string(constants::kPlayerName),
                                                           std::string(constants::kDesktopEntry));
    host::MediaControls& controls = *mediaControls_;
    controls.Play = [this] { PushButton2().Push(); };
    controls.Stop = [this] { PushButton1().Push(); };
    controls.VolumeRequested = [this](double volume) {
        host::Slider& slider = Slider1();
        slider.setValue(
            slider.Minimum() +
            std::llround(volume * static_cast<double>(slider.Maximum() - slider.Minimum())));
    };
    controls.showStreamOf(MoviePlayer1());
    showStateInMediaControls();
}

void Window1::showStateInMediaControls() {
    if (!mediaControls_) {
        return;
    }
    // Play greyed out is the Playing state.
    mediaControls_->setPlaying(!PushButton2().Enabled());
    const host::Slider& slider = Slider1();
    const int64_t span = slider.Maximum() - slider.Minimum();
    mediaControls_->setVolume(span > 0 ? static_cast<double>(slider.Value() - slider.Minimum()) /
                                             static_cast<double>(span)
                                       : 0.0);
}

host::MoviePlayer& Window1::MoviePlayer1() const {
    return host::controlAs<host::MoviePlayer>(this, "MoviePlayer1");
}

host::PushButton& Window1::PushButton2() const {
    return host::controlAs<host::PushButton>(this, "PushButton2");
}

host::PushButton& Window1::PushButton1() const {
    return host::controlAs<host::PushButton>(this, "PushButton1");
}

host::PushButton& Window1::PushButton3() const {
    return host::controlAs<host::PushButton>(this, "PushButton3");
}

host::Slider& Window1::Slider1() const {
    return host::controlAs<host::Slider>(this, "Slider1");
}

// Play: a fresh movie for the stream each time; the buttons switch only once Play ran.
void Window1::PushButton2_Action(host::PushButton&) {
    host::MoviePlayer& player = MoviePlayer1();
    std::shared_ptr<host::Movie> movie = host::OpenURLMovie(std::string(constants::kStreamURL));
    player.setMovie(std::move(movie));
    MoviePlayer1().Play();
    PushButton2().setEnabled(false);
    PushButton1().setEnabled(true);
}

// Stop: the movie stays assigned; the next Play replaces it.
void Window1::PushButton1_Action(host::PushButton&) {
    MoviePlayer1().Stop();
    PushButton2().setEnabled(true);
    PushButton1().setEnabled(false);
}

void Window1::PushButton3_Action(host::PushButton&) {
    (void)host::MsgBox(aboutMessage());
}

// The slider's 0 .. 250 goes to the player as it is.
void Window1::Slider1_ValueChanged(host::Slider&) {
    host::MoviePlayer& player = MoviePlayer1();
    player.setVolume(Slider1().Value());
}

} // namespace tamsel

std::shared_ptr<tamsel::Window1> Window1() {
    if (auto existing = std::dynamic_pointer_cast<tamsel::Window1>(
            host::RuntimeGetImplicitWindow(tamsel::Window1::kClassName))) {
        return existing;
    }
    return host::Window::create<tamsel::Window1>(tamsel::Window1::kClassName);
}
