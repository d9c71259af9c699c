#pragma once

// What the Win32 window and its controls share about a control: its child window, its
// place in layout units, and the font it was given. Private to src/host/win32.

#include "host/ControlState.h"
#include "host/Controls.h"
#include "host/win32/Win32.h"

#include <functional>
#include <string>

namespace host {

struct Control::Impl : ControlState {
    Impl(Window& parentWindow, HWND child) : ControlState(parentWindow), hwnd(child) {}
    ~Impl();
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    // Places the child window at the control's layout rectangle scaled to the window's dpi.
    void place() const;
    // Gives the child the font it asks for (the message font unless fontFor says
    // otherwise) at the window's current dpi.
    void refreshFont();

    HWND hwnd; // nullptr for a control without a window of its own, or once it is destroyed
    // A hidden static right before the child in the z-order, carrying its accessible name:
    // screen readers take the label before a control as its name. nullptr when it has none.
    HWND label = nullptr;
    HFONT font = nullptr;
    std::function<LOGFONTW(UINT dpi)> fontFor;
    // The place in layout units (96 dpi), kept here since a destroyed child cannot be read.
    int64_t left = 0;
    int64_t top = 0;
    int64_t width = 0;
    int64_t height = 0;
};

namespace win32 {

// The top-level window of a host window (nullptr once it is closed).
HWND handleOf(const Window& window);

// The dots per inch of the monitor a window is on (96 before it has one).
UINT dpiOf(HWND window);
// Layout units (96 dpi) to the window's pixels.
int scaled(int64_t units, UINT dpi);
// The system's message font at a dpi.
LOGFONTW messageFont(UINT dpi);
// The icon group in the executable's resources.
inline constexpr wchar_t kIconName[] = L"IDI_ICON1";
// Gives a top-level window (a window of ours or a message box) the program's icon.
void giveProgramIcon(HWND window);
// The program's name as a title: the executable's base name.
std::wstring programTitle();
// The window of ours a modal box belongs to, or nullptr.
HWND activeProgramWindow();
// Paints every shown window of ours and its controls now, so they are drawn before a
// handler that blocks the loop.
void paintOpenWindows();
// Runs a host-made modal message box with the program's icon on it.
int messageBox(HWND owner, const std::wstring& text, const std::wstring& title, UINT style);

} // namespace win32
} // namespace host
