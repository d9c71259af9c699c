// Controls over Win32: a BUTTON per push button, a TRACKBAR per slider, and a movie player
// with no window of its own.

#include "host/Controls.h"

#include "host/Application.h"
#include "host/StreamPlayer.h"
#include "host/Window.h"
#include "host/WindowState.h"
#include "host/win32/ControlImpl.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <commctrl.h>

namespace host {
namespace {

// A child window of the host window, placed later by its block.
HWND createChild(Window& parent, const wchar_t* windowClass, DWORD style) {
    HWND child =
        ::CreateWindowExW(0, windowClass, L"", WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0,
                          win32::handleOf(parent), nullptr, ::GetModuleHandleW(nullptr), nullptr);
    if (child == nullptr) {
        throw RuntimeException("cannot create a control (error " +
                               std::to_string(::GetLastError()) + ")");
    }
    return child;
}

} // namespace

Control::Impl::~Impl() {
    if (label != nullptr) {
        ::DestroyWindow(label);
    }
    if (hwnd != nullptr) {
        ::DestroyWindow(hwnd);
    }
    if (font != nullptr) {
        ::DeleteObject(font);
    }
}

void Control::Impl::place() const {
    if (hwnd == nullptr) {
        return;
    }
    const UINT dpi = win32::dpiOf(::GetParent(hwnd));
    ::SetWindowPos(hwnd, nullptr, win32::scaled(left, dpi), win32::scaled(top, dpi),
                   win32::scaled(std::max<int64_t>(0, width), dpi),
                   win32::scaled(std::max<int64_t>(0, height), dpi), SWP_NOZORDER | SWP_NOACTIVATE);
}

void Control::Impl::refreshFont() {
    if (hwnd == nullptr) {
        return;
    }
    const UINT dpi = win32::dpiOf(::GetParent(hwnd));
    const LOGFONTW logical = fontFor ? fontFor(dpi) : win32::messageFont(dpi);
    HFONT made = ::CreateFontIndirectW(&logical);
    ::SendMessageW(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(made), TRUE);
    if (font != nullptr) {
        ::DeleteObject(font);
    }
    font = made;
}

Control::Control(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {
    requireUIThread("Control.Constructor");
    if (impl_->hwnd != nullptr) {
        ::SetWindowLongPtrW(impl_->hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        impl_->refreshFont();
    }
}

Control::~Control() {
    if (impl_->hwnd != nullptr) {
        ::SetWindowLongPtrW(impl_->hwnd, GWLP_USERDATA, 0);
    }
}

ControlState& Control::state() const {
    return *impl_;
}

// Name has no place on screen, and HelpTag is kept only: a tooltip would need a tooltip
// control the program never shows. The accessible name goes on the control's label, and on a
// slider, which draws no text, also into its own text (where Wine's MSAA looks for a name).
void Control::showTexts() {
    Impl& d = *impl_;
    if (d.hwnd == nullptr || (d.label == nullptr && d.accessibleName.empty())) {
        return;
    }
    if (d.label == nullptr) {
        d.label =
            ::CreateWindowExW(0, L"STATIC", L"", WS_CHILD | SS_LEFT, 0, 0, 0, 0,
                              ::GetParent(d.hwnd), nullptr, ::GetModuleHandleW(nullptr), nullptr);
    }
    const std::wstring name = win32::widen(d.accessibleName);
    ::SetWindowTextW(d.label, name.c_str());
    if (dynamic_cast<const Slider*>(this) != nullptr) {
        ::SetWindowTextW(d.hwnd, name.c_str());
    }
    HWND before = ::GetWindow(d.hwnd, GW_HWNDPREV);
    if (before != d.label) {
        ::SetWindowPos(d.label, before != nullptr ? before : HWND_TOP, 0, 0, 0, 0,
                       SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    }
}

int64_t Control::Left() const {
    requireUIThread("Control.Left");
    return impl_->left;
}

int64_t Control::Top() const {
    requireUIThread("Control.Top");
    return impl_->top;
}

int64_t Control::Width() const {
    requireUIThread("Control.Width");
    return impl_->width;
}

int64_t Control::Height() const {
    requireUIThread("Control.Height");
    return impl_->height;
}

void Control::setLeft(int64_t left) {
    requireUIThread("Control.Left");
    impl_->left = left;
    impl_->place();
}

void Control::setTop(int64_t top) {
    requireUIThread("Control.Top");
    impl_->top = top;
    impl_->place();
}

void Control::setWidth(int64_t width) {
    requireUIThread("Control.Width");
    impl_->width = std::max<int64_t>(0, width);
    impl_->place();
}

void Control::setHeight(int64_t height) {
    requireUIThread("Control.Height");
    impl_->height = std::max<int64_t>(0, height);
    impl_->place();
}

void Control::setEnabled(bool enabled) {
    requireUIThread("Control.Enabled");
    impl_->enabled = enabled;
    if (impl_->hwnd != nullptr) {
        ::EnableWindow(impl_->hwnd, enabled ? TRUE : FALSE);
    }
}

void Control::setVisible(bool visible) {
    requireUIThread("Control.Visible");
    impl_->visible = visible;
    if (impl_->hwnd != nullptr) {
        ::ShowWindow(impl_->hwnd, visible ? SW_SHOWNA : SW_HIDE);
    }
}

// ---- PushButton -----------------------------------------------------------------------

PushButton::PushButton(Window& parent)
    : Control(std::make_unique<Impl>(parent,
                                     createChild(parent, WC_BUTTONW, BS_PUSHBUTTON | WS_TABSTOP))),
      state_(std::make_unique<ButtonState>()) {
    // "System" (or nothing) and size 0 stand for the system's message font.
    impl().fontFor = [s = state_.get()](UINT dpi) {
        LOGFONTW font = win32::messageFont(dpi);
        if (!s->textFont.empty() && s->textFont != "System") {
            const std::wstring face = win32::widen(s->textFont);
            std::fill(std::begin(font.lfFaceName), std::end(font.lfFaceName), L'\0');
            std::copy_n(face.begin(), std::min<size_t>(face.size(), LF_FACESIZE - 1),
                        font.lfFaceName);
        }
        if (s->textSize > 0.0F) {
            const double perUnit = s->textUnit.code == TextStyle::kPixelUnit ? 96.0 : 72.0;
            font.lfHeight = -static_cast<LONG>(s->textSize * dpi / perUnit + 0.5);
        }
        font.lfWeight = s->bold ? FW_BOLD : FW_NORMAL;
        font.lfItalic = s->italic ? TRUE : FALSE;
        font.lfUnderline = s->underline ? TRUE : FALSE;
        return font;
    };
}

PushButton::~PushButton() = default;

void PushButton::showCaption() {
    if (impl().hwnd != nullptr) {
        ::SetWindowTextW(impl().hwnd, win32::widen(state_->caption).c_str());
    }
}

void PushButton::showDefault() {
    if (impl().hwnd != nullptr) {
        ::SendMessageW(impl().hwnd, BM_SETSTYLE,
                       state_->isDefault ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON, TRUE);
    }
}

void PushButton::showFont() {
    impl().refreshFont();
}

void PushButton::Push() {
    requireUIThread("PushButton.Push");
    if (!Enabled()) {
        return;
    }
    raiseEvent(parentWindow(), [this] {
        if (Action) {
            auto handler = Action;
            handler(*this);
        }
    });
}

// ---- Slider -------------------------------------------------------------------------

struct Slider::SliderState {
    // The value asked for; the control holds it once the range allows it.
    int64_t requested = 0;
    int64_t value = 0;
    int64_t minimum = 0;
    int64_t maximum = 100;
    int64_t lineStep = 1;
    int64_t pageStep = 10;
    bool liveScroll = false;
};

namespace {

int toInt(int64_t value) {
    return static_cast<int>(std::clamp<int64_t>(value, -2147483647 - 1, 2147483647));
}

} // namespace

Slider::Slider(Window& parent)
    : Control(std::make_unique<Impl>(
          parent, createChild(parent, TRACKBAR_CLASSW,
                              // Up and Page Up raise the value, as on the other platform.
                              TBS_HORZ | TBS_NOTICKS | TBS_DOWNISLEFT | WS_TABSTOP))),
      state_(std::make_unique<SliderState>()) {
    applyRange();
}

Slider::~Slider() = default;

int64_t Slider::Value() const {
    requireUIThread("Slider.Value");
    return state_->value;
}

void Slider::setValue(int64_t value) {
    requireUIThread("Slider.Value");
    state_->requested = value;
    applyRange();
}

int64_t Slider::Minimum() const {
    requireUIThread("Slider.Minimum");
    return state_->minimum;
}

int64_t Slider::Maximum() const {
    requireUIThread("Slider.Maximum");
    return state_->maximum;
}

void Slider::setMinimum(int64_t minimum) {
    requireUIThread("Slider.Minimum");
    state_->minimum = minimum;
    state_->maximum = std::max(state_->maximum, minimum);
    applyRange();
}

void Slider::setMaximum(int64_t maximum) {
    requireUIThread("Slider.Maximum");
    state_->maximum = maximum;
    state_->minimum = std::min(state_->minimum, maximum);
    applyRange();
}

int64_t Slider::LineStep() const {
    return state_->lineStep;
}
int64_t Slider::PageStep() const {
    return state_->pageStep;
}
bool Slider::LiveScroll() const {
    return state_->liveScroll;
}

// A value outside the current range stays asked for until the range holds it; a change of
// the value held raises ValueChanged, whoever caused it.
void Slider::applyRange() {
    SliderState& s = *state_;
    const int64_t before = s.value;
    s.value = std::clamp(s.requested, s.minimum, s.maximum);
    if (HWND hwnd = impl().hwnd) {
        ::SendMessageW(hwnd, TBM_SETRANGEMIN, FALSE, toInt(s.minimum));
        ::SendMessageW(hwnd, TBM_SETRANGEMAX, FALSE, toInt(s.maximum));
        ::SendMessageW(hwnd, TBM_SETPOS, TRUE, toInt(s.value));
    }
    if (s.value != before) {
        raiseEvent(parentWindow(), [this] {
            if (ValueChanged) {
                auto handler = ValueChanged;
                handler(*this);
            }
        });
    }
}

void Slider::setLineStep(int64_t step) {
    state_->lineStep = step;
    ::SendMessageW(impl().hwnd, TBM_SETLINESIZE, 0, toInt(step));
}

void Slider::setPageStep(int64_t step) {
    state_->pageStep = step;
    ::SendMessageW(impl().hwnd, TBM_SETPAGESIZE, 0, toInt(step));
}

void Slider::setLiveScroll(bool live) {
    state_->liveScroll = live;
}

void Slider::setTickStyle(int64_t style) {
    static constexpr std::array<DWORD, 4> styles = {
        TBS_NOTICKS, TBS_TOP | TBS_AUTOTICKS, TBS_BOTTOM | TBS_AUTOTICKS, TBS_BOTH | TBS_AUTOTICKS};
    HWND hwnd = impl().hwnd;
    LONG_PTR bits = ::GetWindowLongPtrW(hwnd, GWL_STYLE);
    bits &= ~static_cast<LONG_PTR>(TBS_NOTICKS | TBS_TOP | TBS_BOTH | TBS_AUTOTICKS);
    ::SetWindowLongPtrW(hwnd, GWL_STYLE,
                        bits | static_cast<LONG_PTR>(styles[static_cast<size_t>(style)]));
    ::InvalidateRect(hwnd, nullptr, TRUE);
}

// ---- MoviePlayer --------------------------------------------------------------------

std::shared_ptr<Movie> OpenURLMovie(const std::string& url) {
    requireUIThread("OpenURLMovie");
    // An absolute URL: a scheme (a letter, then letters, digits, "+", "-", "."), a colon and
    // something after it, with no blanks or control characters anywhere.
    const size_t colon = url.find(':');
    bool valid = colon != std::string::npos && colon > 0 && colon + 1 < url.size() &&
                 std::isalpha(static_cast<unsigned char>(url[0])) != 0;
    for (size_t i = 0; valid && i < colon; ++i) {
        const auto c = static_cast<unsigned char>(url[i]);
        valid = std::isalnum(c) != 0 || c == '+' || c == '-' || c == '.';
    }
    for (size_t i = 0; valid && i < url.size(); ++i) {
        valid = static_cast<unsigned char>(url[i]) > 0x20 && url[i] != 0x7F;
    }
    if (!valid) {
        throw UnsupportedFormatException("not a URL a movie can be opened from: \"" + url + "\"");
    }
    return std::make_shared<Movie>(url);
}

// The player has no picture and no controller of its own: no window, never focused.
MoviePlayer::MoviePlayer(Window& parent)
    : Control(std::make_unique<Impl>(parent, nullptr)), state_(std::make_unique<PlayerState>()) {}

} // namespace host
