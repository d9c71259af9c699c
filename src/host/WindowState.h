#pragma once

// The part of a window that is the same on every platform: its controls, its class name and
// the values its properties hold. Each backend's Window::Impl derives from it and says how a
// value reaches the screen. Private to src/host.

#include "host/PropertyBlock.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace host {

class Control;
class Window;

struct WindowState {
    WindowState() = default;
    WindowState(const WindowState&) = delete;
    WindowState& operator=(const WindowState&) = delete;
    virtual ~WindowState() = default;

    std::vector<std::pair<std::string, std::unique_ptr<Control>>> controls;

    std::string className;
    bool building = false;

    int64_t width = 100;
    int64_t height = 100;
    int64_t minWidth = 64;
    int64_t minHeight = 64;
    int64_t maxWidth = 32000;
    int64_t maxHeight = 32000;
    int64_t frame = 0;
    int64_t macProcID = 0;
    int64_t placement = 0;
    bool closeButton = true;
    bool resizeable = true;
    bool maximizeButton = true;
    bool minimizeButton = true;
    bool fullScreenButton = false;
    bool composite = false;
    bool visible = true;
    bool liveResize = true;
    bool fullScreen = false;
    bool hasBackColor = false;
    Color backColor{0xFF, 0xFF, 0xFF, 0x00};
    bool menuBarVisible = true;

    // The title-bar buttons.
    virtual void applyFlags() = 0;
    // The size and its limits.
    virtual void applySize() = 0;
    // A change of Resizeable touches both the buttons and the limits.
    virtual void applyResizeable() = 0;
    virtual void applyBackground() = 0;
    // Shows or hides the window, unless it is being built.
    virtual void applyVisibility() = 0;
    // Makes Tab visit the chain's controls in its order, and no others.
    virtual void applyTabOrder(const std::vector<Control*>& chain) = 0;
    // The control of this window that has the keyboard focus, or nullptr.
    virtual Control* focusedControl() const = 0;
    virtual void giveFocus(Control& control) = 0;
};

// The controls Tab visits, in its order: the tab stops that can take the focus (the movie
// player has no picture and never can), by TabIndex, ties in the order they were made.
std::vector<Control*> tabChain(const Window& window);
// Runs an event's handler for a control of window. A handler that greys out the control
// with the focus (Play disables itself) would leave the keyboard nowhere, and the control it
// should reach may only be enabled a step later (Stop); so once the handler has returned,
// the focus goes to the next enabled and visible control of the chain, coming round.
void raiseEvent(const Window& window, const std::function<void()>& handler);

// Implemented by the backend: the state of a window.
WindowState& stateOf(const Window& window);

// The host lets go of a closed window: out of the open list and the implicit instances.
void releaseWindow(const Window* window);
// The open windows, without the thread check, for the backend's own use.
const std::vector<std::shared_ptr<Window>>& openWindowList();

} // namespace host
