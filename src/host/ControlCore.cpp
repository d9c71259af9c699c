// What controls do alike on every platform: each kind's property table, the values that are
// only kept, and the movie player over the backend's stream player.

#include "host/Application.h"
#include "host/ControlState.h"
#include "host/Exceptions.h"
#include "host/Window.h"

#include <algorithm>

namespace host {

Window& Control::parentWindow() const {
    return *state().parent;
}

std::string Control::Name() const {
    requireUIThread("Control.Name");
    return state().name;
}

int64_t Control::Index() const {
    return state().index;
}

bool Control::Enabled() const {
    requireUIThread("Control.Enabled");
    return state().enabled;
}

bool Control::Visible() const {
    requireUIThread("Control.Visible");
    return state().visible;
}

int64_t Control::TabIndex() const {
    requireUIThread("Control.TabIndex");
    return state().tabIndex;
}

void Control::setTabIndex(int64_t tabIndex) {
    requireUIThread("Control.TabIndex");
    state().tabIndex = tabIndex;
    state().parent->updateTabOrder();
}

bool Control::TabStop() const {
    requireUIThread("Control.TabStop");
    return state().tabStop;
}

std::string Control::HelpTag() const {
    requireUIThread("Control.HelpTag");
    return state().helpTag;
}

std::span<const Property<Control>> Control::commonProperties() {
    using T = PropertyType;
    using S = ControlState;
    constexpr auto state = &Control::state;
    static const Property<Control> table[] = {
        {"Name", T::String, keep<state, &S::name, &Control::showTexts>},
        {"Index", T::Integer, keep<state, &S::index>},
        {"Left", T::Integer, pass<&Control::setLeft>},
        {"Top", T::Integer, pass<&Control::setTop>},
        {"Width", T::Integer, pass<&Control::setWidth>},
        {"Height", T::Integer, pass<&Control::setHeight>},
        {"LockLeft", T::Boolean, keep<state, &S::lockLeft>},
        {"LockTop", T::Boolean, keep<state, &S::lockTop>},
        {"LockRight", T::Boolean, keep<state, &S::lockRight>},
        {"LockBottom", T::Boolean, keep<state, &S::lockBottom>},
        // Only meaningful inside a tab panel; these controls sit on the window itself.
        {"TabPanelIndex", T::Integer, keep<state, &S::tabPanelIndex>},
        {"TabIndex", T::Integer, pass<&Control::setTabIndex>},
        {"TabStop", T::Boolean,
         [](Control& c, const PropertyValue& v) {
             c.state().tabStop = booleanOf(v);
             c.state().parent->updateTabOrder();
         }},
        {"Enabled", T::Boolean, pass<&Control::setEnabled>},
        {"Visible", T::Boolean, pass<&Control::setVisible>},
        {"HelpTag", T::String, keep<state, &S::helpTag, &Control::showTexts>},
        // A macOS behaviour for inactive windows; nothing to do elsewhere.
        {"AutoDeactivate", T::Boolean, keep<state, &S::autoDeactivate>},
        // Empty: the control sits directly on the window, which is the only parent here.
        {"InitialParent", T::String, keep<state, &S::initialParent>},
        {"AccessibleName", T::String, keep<state, &S::accessibleName, &Control::showTexts>},
        {"AccessibleDescription", T::String,
         keep<state, &S::accessibleDescription, &Control::showTexts>},
    };
    return table;
}

bool Control::HasProperty(std::string_view name) const {
    return findProperty(commonProperties(), name) != nullptr || hasOwnProperty(name);
}

void Control::SetProperty(std::string_view name, const PropertyValue& value) {
    requireUIThread("Control.SetProperty");
    if (const Property<Control>* common = findProperty(commonProperties(), name)) {
        common->set(*this, value);
    } else if (hasOwnProperty(name)) {
        setOwnProperty(name, value);
    } else {
        throw UnsupportedFormatException(std::string("a ") + ClassName() + " has no property \"" +
                                         std::string(name) + "\"");
    }
}

// A locked right (bottom) edge keeps its distance from the window's: the control stretches
// when its left (top) edge is locked as well, and moves otherwise.
void Control::parentResized(int64_t oldWidth, int64_t oldHeight, int64_t newWidth,
                            int64_t newHeight) {
    const ControlState& d = state();
    const int64_t dx = newWidth - oldWidth;
    const int64_t dy = newHeight - oldHeight;
    if (d.lockRight) {
        if (d.lockLeft) {
            setWidth(std::max<int64_t>(0, Width() + dx));
        } else {
            setLeft(Left() + dx);
        }
    }
    if (d.lockBottom) {
        if (d.lockTop) {
            setHeight(std::max<int64_t>(0, Height() + dy));
        } else {
            setTop(Top() + dy);
        }
    }
}

// ---- PushButton -----------------------------------------------------------------------

std::string PushButton::Caption() const {
    requireUIThread("PushButton.Caption");
    return state_->caption;
}

void PushButton::setCaption(const std::string& caption) {
    requireUIThread("PushButton.Caption");
    state_->caption = caption;
    showCaption();
}

bool PushButton::Default() const {
    requireUIThread("PushButton.Default");
    return state_->isDefault;
}

bool PushButton::Cancel() const {
    requireUIThread("PushButton.Cancel");
    return state_->cancel;
}

std::span<const Property<PushButton>> PushButton::ownProperties() {
    using T = PropertyType;
    using S = ButtonState;
    constexpr auto state = &PushButton::state_;
    constexpr auto font = &PushButton::showFont;
    static const Property<PushButton> table[] = {
        {"Caption", T::String, pass<&PushButton::setCaption>},
        {"Default", T::Boolean, keep<state, &S::isDefault, &PushButton::showDefault>},
        {"Cancel", T::Boolean, keep<state, &S::cancel>},
        {"ButtonStyle", T::Integer, keep<state, &S::buttonStyle>},
        {"TextFont", T::String, keep<state, &S::textFont, font>},
        {"TextSize", T::Single, keep<state, &S::textSize, font>},
        {"TextUnit", T::FontUnit, keep<state, &S::textUnit, font>},
        {"Bold", T::Boolean, keep<state, &S::bold, font>},
        {"Italic", T::Boolean, keep<state, &S::italic, font>},
        {"Underline", T::Boolean, keep<state, &S::underline, font>},
    };
    return table;
}

bool PushButton::hasOwnProperty(std::string_view name) const {
    return findProperty(ownProperties(), name) != nullptr;
}

void PushButton::setOwnProperty(std::string_view name, const PropertyValue& value) {
    findProperty(ownProperties(), name)->set(*this, value);
}

// ---- Slider -------------------------------------------------------------------------

std::span<const Property<Slider>> Slider::ownProperties() {
    using T = PropertyType;
    using V = const PropertyValue&;
    static const Property<Slider> table[] = {
        {"Minimum", T::Integer, pass<&Slider::setMinimum>},
        {"Value", T::Integer, pass<&Slider::setValue>},
        {"Maximum", T::Integer, pass<&Slider::setMaximum>},
        {"LineStep", T::Integer,
         [](Slider& s, V v) { s.setLineStep(std::max<int64_t>(1, integerOf(v))); }},
        {"PageStep", T::Integer,
         [](Slider& s, V v) { s.setPageStep(std::max<int64_t>(1, integerOf(v))); }},
        {"LiveScroll", T::Boolean, pass<&Slider::setLiveScroll>},
        {"TickStyle", T::Integer,
         [](Slider& s, V v) { s.setTickStyle(std::clamp<int64_t>(integerOf(v), 0, 3)); }},
    };
    return table;
}

bool Slider::hasOwnProperty(std::string_view name) const {
    return findProperty(ownProperties(), name) != nullptr;
}

void Slider::setOwnProperty(std::string_view name, const PropertyValue& value) {
    findProperty(ownProperties(), name)->set(*this, value);
}

// ---- MoviePlayer --------------------------------------------------------------------

MoviePlayer::~MoviePlayer() = default;

std::shared_ptr<Movie> MoviePlayer::movie() const {
    requireUIThread("MoviePlayer.Movie");
    return state_->movie;
}

void MoviePlayer::setMovie(std::shared_ptr<Movie> movie) {
    requireUIThread("MoviePlayer.Movie");
    state_->movie = std::move(movie);
    state_->player.setUrl(state_->movie ? state_->movie->url() : std::string());
}

void MoviePlayer::Play() {
    requireUIThread("MoviePlayer.Play");
    state_->player.play();
}

void MoviePlayer::Stop() {
    requireUIThread("MoviePlayer.Stop");
    state_->player.stop();
}

int64_t MoviePlayer::Volume() const {
    requireUIThread("MoviePlayer.Volume");
    return state_->player.volume();
}

void MoviePlayer::setVolume(int64_t volume) {
    requireUIThread("MoviePlayer.Volume");
    state_->player.setVolume(volume);
}

bool MoviePlayer::AutoPlay() const {
    return state_->player.autoPlay();
}
bool MoviePlayer::Looping() const {
    return state_->player.looping();
}

bool MoviePlayer::isPlaying() const {
    requireUIThread("MoviePlayer.IsPlaying");
    return state_->player.isPlaying();
}

StreamPlayer& MoviePlayer::player() const {
    return state_->player;
}

std::span<const Property<MoviePlayer>> MoviePlayer::ownProperties() {
    using T = PropertyType;
    using S = PlayerState;
    constexpr auto state = &MoviePlayer::state_;
    static const Property<MoviePlayer> table[] = {
        {"AutoResize", T::Boolean, keep<state, &S::autoResize>},
        {"Border", T::Boolean, keep<state, &S::border>},
        {"Speaker", T::Boolean, keep<state, &S::speaker>},
        {"HasStep", T::Boolean, keep<state, &S::hasStep>},
        {"PlayerType", T::Integer, keep<state, &S::playerType>},
        {"Controller", T::Integer, keep<state, &S::controller>},
        {"AutoPlay", T::Boolean,
         [](MoviePlayer& m, const PropertyValue& v) {
             m.state_->player.setAutoPlay(booleanOf(v));
         }},
        {"Looping", T::Boolean,
         [](MoviePlayer& m, const PropertyValue& v) { m.state_->player.setLooping(booleanOf(v)); }},
        {"Palindrome", T::Boolean, keep<state, &S::palindrome>},
    };
    return table;
}

bool MoviePlayer::hasOwnProperty(std::string_view name) const {
    return findProperty(ownProperties(), name) != nullptr;
}

void MoviePlayer::setOwnProperty(std::string_view name, const PropertyValue& value) {
    findProperty(ownProperties(), name)->set(*this, value);
}

} // namespace host
