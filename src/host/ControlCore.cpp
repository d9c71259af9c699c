// What controls do alike on every platform: the common property table, the values that are
// only kept, and the movie player over the backend's stream player.

#include "host/Application.h"
#include "host/ControlState.h"
#include "host/Exceptions.h"
#include "host/Window.h"

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

bool Control::HasProperty(std::string_view name) const {
    static constexpr std::array<std::string_view, 20> common = {
        "Name",           "Index",         "Left",           "Top",
        "Width",          "Height",        "LockLeft",       "LockTop",
        "LockRight",      "LockBottom",    "TabPanelIndex",  "TabIndex",
        "TabStop",        "Enabled",       "Visible",        "HelpTag",
        "AutoDeactivate", "InitialParent", "AccessibleName", "AccessibleDescription"};
    return containsName(common, name) || hasOwnProperty(name);
}

void Control::SetProperty(std::string_view name, const PropertyValue& value) {
    requireUIThread("Control.SetProperty");
    ControlState& d = state();
    if (name == "Name") {
        d.name = stringOf(value);
        showTexts();
    } else if (name == "Index") {
        d.index = integerOf(value);
    } else if (name == "Left") {
        setLeft(integerOf(value));
    } else if (name == "Top") {
        setTop(integerOf(value));
    } else if (name == "Width") {
        setWidth(integerOf(value));
    } else if (name == "Height") {
        setHeight(integerOf(value));
    } else if (name == "LockLeft") {
        d.lockLeft = booleanOf(value);
    } else if (name == "LockTop") {
        d.lockTop = booleanOf(value);
    } else if (name == "LockRight") {
        d.lockRight = booleanOf(value);
    } else if (name == "LockBottom") {
        d.lockBottom = booleanOf(value);
    } else if (name == "TabPanelIndex") {
        // Only meaningful inside a tab panel; these controls sit on the window itself.
        d.tabPanelIndex = integerOf(value);
    } else if (name == "TabIndex") {
        setTabIndex(integerOf(value));
    } else if (name == "TabStop") {
        d.tabStop = booleanOf(value);
        d.parent->updateTabOrder();
    } else if (name == "Enabled") {
        setEnabled(booleanOf(value));
    } else if (name == "Visible") {
        setVisible(booleanOf(value));
    } else if (name == "HelpTag") {
        d.helpTag = stringOf(value);
        showTexts();
    } else if (name == "AutoDeactivate") {
        // A macOS behaviour for inactive windows; nothing to do elsewhere.
        d.autoDeactivate = booleanOf(value);
    } else if (name == "InitialParent") {
        // Empty: the control sits directly on the window, which is the only parent here.
        d.initialParent = stringOf(value);
    } else if (name == "AccessibleName") {
        d.accessibleName = stringOf(value);
        showTexts();
    } else if (name == "AccessibleDescription") {
        d.accessibleDescription = stringOf(value);
        showTexts();
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

bool TextStyle::takeTextProperty(std::string_view name, const PropertyValue& value) {
    if (name == "TextFont") {
        textFont = stringOf(value);
    } else if (name == "TextSize") {
        textSize = std::get<float>(value);
    } else if (name == "TextUnit") {
        textUnit = std::get<FontUnit>(value);
    } else if (name == "Bold") {
        bold = booleanOf(value);
    } else if (name == "Italic") {
        italic = booleanOf(value);
    } else if (name == "Underline") {
        underline = booleanOf(value);
    } else {
        return false;
    }
    return true;
}

bool PushButton::hasOwnProperty(std::string_view name) const {
    static constexpr std::array<std::string_view, 10> own = {
        "Caption",  "Default",  "Cancel", "ButtonStyle", "TextFont",
        "TextSize", "TextUnit", "Bold",   "Italic",      "Underline"};
    return containsName(own, name);
}

bool Slider::hasOwnProperty(std::string_view name) const {
    static constexpr std::array<std::string_view, 7> own = {
        "Minimum", "Value", "Maximum", "LineStep", "PageStep", "LiveScroll", "TickStyle"};
    return containsName(own, name);
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

bool MoviePlayer::hasOwnProperty(std::string_view name) const {
    static constexpr std::array<std::string_view, 9> own = {
        "AutoResize", "Border",   "Speaker", "HasStep",   "PlayerType",
        "Controller", "AutoPlay", "Looping", "Palindrome"};
    return containsName(own, name);
}

void MoviePlayer::setOwnProperty(std::string_view name, const PropertyValue& value) {
    PlayerState& s = *state_;
    if (name == "AutoResize") {
        s.autoResize = booleanOf(value);
    } else if (name == "Border") {
        s.border = booleanOf(value);
    } else if (name == "Speaker") {
        s.speaker = booleanOf(value);
    } else if (name == "HasStep") {
        s.hasStep = booleanOf(value);
    } else if (name == "PlayerType") {
        s.playerType = integerOf(value);
    } else if (name == "Controller") {
        s.controller = integerOf(value);
    } else if (name == "AutoPlay") {
        s.player.setAutoPlay(booleanOf(value));
    } else if (name == "Looping") {
        s.player.setLooping(booleanOf(value));
    } else if (name == "Palindrome") {
        s.palindrome = booleanOf(value);
    }
}

} // namespace host
