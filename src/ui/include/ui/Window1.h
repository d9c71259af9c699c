#pragma once

// The player window: Play and Stop for the station's stream, a volume slider and "?" for
// the about message. It keeps no state besides its controls; which of Play and Stop is
// enabled is the only record of whether the stream plays.

#include "host/MediaControls.h"
#include "host/Window.h"

#include <memory>
#include <string>

namespace tamsel {

class Window1 : public host::Window {
public:
    // The full class name the host knows the window by.
    static constexpr const char* kClassName = "Window1.Window1";

    // The initial properties of the window and of each control, as applied.
    static std::string LayoutBlock();
    static std::string MoviePlayer1Block();
    static std::string PushButton2Block();
    static std::string PushButton1Block();
    static std::string PushButton3Block();
    static std::string Slider1Block();

    // The controls, looked up by name in the window.
    host::MoviePlayer& MoviePlayer1() const;
    host::PushButton& PushButton2() const;
    host::PushButton& PushButton1() const;
    host::PushButton& PushButton3() const;
    host::Slider& Slider1() const;

    // Play, Stop, "?" and volume.
    void PushButton2_Action(host::PushButton& sender);
    void PushButton1_Action(host::PushButton& sender);
    void PushButton3_Action(host::PushButton& sender);
    void Slider1_ValueChanged(host::Slider& sender);

protected:
    void Layout() override;
    void CreateControls() override;

private:
    void _CreateControls0();
    // Names and descriptions for assistive technology, where the captions say too little.
    void describeControls();
    // The desktop's media controls act through the window's own buttons and slider, and show
    // what those show.
    void connectMediaControls();
    void showStateInMediaControls();

    std::unique_ptr<host::MediaControls> mediaControls_;
};

} // namespace tamsel

// The open player window, made (and shown) when there is none.
std::shared_ptr<tamsel::Window1> Window1();
