#pragma once

// The part of a control that is the same on every platform: the values its common properties
// hold and the movie player's state. Each backend's Control::Impl derives from ControlState
// and says how a value reaches the screen. Private to src/host.

#include "host/Controls.h"
#include "host/StreamPlayer.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace host {

struct ControlState {
    explicit ControlState(Window& parentWindow) : parent(&parentWindow) {}
    ControlState(const ControlState&) = delete;
    ControlState& operator=(const ControlState&) = delete;
    ~ControlState() = default;

    Window* parent;
    std::string name;
    int64_t index = kNoControlIndex;
    bool lockLeft = true;
    bool lockTop = true;
    bool lockRight = false;
    bool lockBottom = false;
    int64_t tabPanelIndex = 0;
    int64_t tabIndex = 0;
    bool tabStop = true;
    bool enabled = true;
    bool visible = true;
    bool autoDeactivate = true;
    std::string helpTag;
    std::string initialParent;
    // What assistive technology says of the control where its caption says too little; empty:
    // the caption (or nothing) as the platform has it.
    std::string accessibleName;
    std::string accessibleDescription;
};

// The look of a push button's text as its properties set it; each backend makes a font of it.
struct TextStyle {
    // Font units of the host: 0 the default, 1 pixels, 2 points; others count as points.
    static constexpr uint8_t kPixelUnit = 1;

    std::string textFont = "System"; // "System" (or nothing): the platform's own face
    float textSize = 0.0F;           // 0: the platform's own size
    FontUnit textUnit;
    bool bold = false;
    bool italic = false;
    bool underline = false;
};

struct PushButton::ButtonState : TextStyle {
    std::string caption;
    bool isDefault = false;
    bool cancel = false;
    // 0 is the platform's ordinary push button; the other frame styles are macOS bevels.
    int64_t buttonStyle = 0;
};

// The movie player plays sound only: picture, controller and frame stepping are kept as set.
struct MoviePlayer::PlayerState {
    StreamPlayer player;
    std::shared_ptr<Movie> movie;
    bool autoResize = true;
    bool border = false;
    bool speaker = false;
    bool hasStep = false;
    int64_t playerType = 0;
    int64_t controller = 0;
    bool palindrome = false;
};

} // namespace host
