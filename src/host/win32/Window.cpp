// Host windows over Win32: one top-level window per host window, real child controls in
// it, keyboard navigation through IsDialogMessage, sizes in layout units scaled per monitor.

#include "host/Window.h"

#include "host/Application.h"
#include "host/Backend.h"
#include "host/EventLoop.h"
#include "host/WindowState.h"
#include "host/win32/ControlImpl.h"

#include <algorithm>
#include <commctrl.h>
#include <utility>

namespace host {
namespace {

constexpr wchar_t kWindowClass[] = L"tamselRadioWindow";
constexpr UINT kDefaultDpi = 96;

template <class Fn>
Fn lookUp(const char* dll, const char* name) {
    HMODULE module = ::GetModuleHandleA(dll);
    return module != nullptr
               ? reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)))
               : nullptr;
}

Window* ownerOf(HWND hwnd) {
    return reinterpret_cast<Window*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
}

Control* controlOf(HWND hwnd) {
    return reinterpret_cast<Control*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
}

LRESULT CALLBACK windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

void registerWindowClass() {
    static bool registered = false;
    if (registered) {
        return;
    }
    registered = true;
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX),
                                  ICC_STANDARD_CLASSES | ICC_BAR_CLASSES};
    ::InitCommonControlsEx(&controls);
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = windowProc;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.hCursor = ::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kWindowClass;
    // The program's icon (none in a program without the resource, such as a test).
    wc.hIcon = ::LoadIconW(wc.hInstance, win32::kIconName);
    wc.hIconSm = static_cast<HICON>(::LoadImageW(wc.hInstance, win32::kIconName, IMAGE_ICON,
                                                 ::GetSystemMetrics(SM_CXSMICON),
                                                 ::GetSystemMetrics(SM_CYSMICON), 0));
    ::RegisterClassExW(&wc);
    // Tab, arrows, Enter and Escape move between and press the controls, as in a dialog.
    win32::setMessageFilter([](MSG& msg) {
        if (msg.hwnd == nullptr) {
            return false;
        }
        HWND root = ::GetAncestor(msg.hwnd, GA_ROOT);
        wchar_t name[64] = {};
        ::GetClassNameW(root, name, 64);
        return std::wstring_view(name) == kWindowClass && ::IsDialogMessageW(root, &msg) != 0;
    });
}

} // namespace

struct Window::Impl : WindowState {
    HWND hwnd = nullptr;
    // The brush of a back colour; the class's face colour when none.
    HBRUSH backBrush = nullptr;

    std::string title;
    bool shownOnce = false;
    HWND lastFocus = nullptr;

    ~Impl() override {
        if (backBrush != nullptr) {
            ::DeleteObject(backBrush);
        }
    }

    DWORD style() const {
        DWORD s = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
        if (minimizeButton) {
            s |= WS_MINIMIZEBOX;
        }
        if (resizeable) {
            s |= WS_THICKFRAME;
            if (maximizeButton) {
                s |= WS_MAXIMIZEBOX;
            }
        }
        return s | (::IsWindowVisible(hwnd) ? WS_VISIBLE : 0);
    }
    static constexpr DWORD kExStyle = WS_EX_CONTROLPARENT | WS_EX_APPWINDOW;

    void applyFlags() override {
        ::SetWindowLongPtrW(hwnd, GWL_STYLE, static_cast<LONG_PTR>(style()));
        HMENU menu = ::GetSystemMenu(hwnd, FALSE);
        if (menu != nullptr) {
            ::EnableMenuItem(menu, SC_CLOSE, MF_BYCOMMAND | (closeButton ? MF_ENABLED : MF_GRAYED));
        }
        ::SetWindowPos(hwnd, nullptr, 0, 0, 0, 0,
                       SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
        applySize();
    }

    // The client area is the layout size at the window's dpi; the frame goes around it.
    void applySize() override {
        const UINT dpi = win32::dpiOf(hwnd);
        const int64_t w = resizeable ? std::clamp(width, minWidth, maxWidth) : width;
        const int64_t h = resizeable ? std::clamp(height, minHeight, maxHeight) : height;
        RECT r{0, 0, win32::scaled(std::clamp<int64_t>(w, 1, 32000), dpi),
               win32::scaled(std::clamp<int64_t>(h, 1, 32000), dpi)};
        using AdjustForDpi = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
        static const auto adjust = lookUp<AdjustForDpi>("user32.dll", "AdjustWindowRectExForDpi");
        const DWORD s = style();
        if (adjust == nullptr || !adjust(&r, s, FALSE, kExStyle, dpi)) {
            ::AdjustWindowRectEx(&r, s, FALSE, kExStyle);
        }
        ::SetWindowPos(hwnd, nullptr, 0, 0, r.right - r.left, r.bottom - r.top,
                       SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }

    // The frame's style carries both the buttons and the sizing border; applyFlags sizes too.
    void applyResizeable() override { applyFlags(); }

    void applyBackground() override {
        if (backBrush != nullptr) {
            ::DeleteObject(backBrush);
            backBrush = nullptr;
        }
        if (hasBackColor) {
            backBrush = ::CreateSolidBrush(RGB(backColor.red, backColor.green, backColor.blue));
        }
        ::InvalidateRect(hwnd, nullptr, TRUE);
    }

    void applyVisibility() override {
        if (building) {
            return;
        }
        if (!visible) {
            ::ShowWindow(hwnd, SW_HIDE);
            return;
        }
        int how = fullScreen ? SW_MAXIMIZE : SW_SHOW;
        if (!shownOnce) {
            // The first window shows as the program was asked to start (normal, minimised).
            const int asked = backend::showCommand();
            how = fullScreen ? SW_MAXIMIZE : (asked > 0 ? asked : SW_SHOWNORMAL);
            shownOnce = true;
        }
        ::ShowWindow(hwnd, how);
        ::UpdateWindow(hwnd);
    }

    // IsDialogMessage walks the children in z-order, so the tab order is the z-order; the
    // controls outside the chain lose their tab stop and go below it.
    void applyTabOrder(const std::vector<Control*>& chain) override {
        if (hwnd == nullptr) {
            return;
        }
        for (auto& entry : controls) {
            const bool stop =
                std::find(chain.begin(), chain.end(), entry.second.get()) != chain.end();
            if (HWND child = entry.second->impl().hwnd) {
                const LONG_PTR style = ::GetWindowLongPtrW(child, GWL_STYLE);
                ::SetWindowLongPtrW(child, GWL_STYLE,
                                    stop ? (style | WS_TABSTOP)
                                         : (style & ~static_cast<LONG_PTR>(WS_TABSTOP)));
            }
        }
        HWND after = HWND_TOP;
        for (Control* control : chain) {
            if (HWND child = control->impl().hwnd) {
                // A control's label stays right before it, where screen readers look for it.
                if (HWND label = control->impl().label) {
                    ::SetWindowPos(label, after, 0, 0, 0, 0,
                                   SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
                    after = label;
                }
                ::SetWindowPos(child, after, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
                after = child;
            }
        }
    }

    Control* focusedControl() const override {
        HWND focused = ::GetFocus();
        for (const auto& entry : controls) {
            if (focused != nullptr && entry.second->impl().hwnd == focused) {
                return entry.second.get();
            }
        }
        return nullptr;
    }

    // The window is no dialog, so nothing would answer WM_NEXTDLGCTL.
    void giveFocus(Control& control) override { ::SetFocus(control.impl().hwnd); }

    // A new dpi: the frame follows the suggestion, the controls and fonts their scale.
    void rescale(const RECT& suggested) {
        ::SetWindowPos(hwnd, nullptr, suggested.left, suggested.top,
                       suggested.right - suggested.left, suggested.bottom - suggested.top,
                       SWP_NOZORDER | SWP_NOACTIVATE);
        for (auto& entry : controls) {
            Control::Impl& c = entry.second->impl();
            c.place();
            c.refreshFont();
        }
        applySize();
    }

    PushButton* buttonWith(bool (PushButton::*flag)() const) const {
        for (const auto& entry : controls) {
            auto* button = dynamic_cast<PushButton*>(entry.second.get());
            if (button != nullptr && (button->*flag)() && button->Enabled()) {
                return button;
            }
        }
        return nullptr;
    }

    void focusFirst() {
        if (lastFocus != nullptr && ::IsWindow(lastFocus) && ::IsWindowEnabled(lastFocus)) {
            ::SetFocus(lastFocus);
            return;
        }
        if (HWND first = ::GetNextDlgTabItem(hwnd, nullptr, FALSE)) {
            ::SetFocus(first);
        }
    }
};

namespace {

LRESULT CALLBACK windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    Window* owner = ownerOf(hwnd);
    if (owner == nullptr) {
        return ::DefWindowProcW(hwnd, message, wParam, lParam);
    }
    Window::Impl& d = owner->impl();
    switch (message) {
    case WM_COMMAND: {
        const auto child = reinterpret_cast<HWND>(lParam);
        if (child != nullptr && HIWORD(wParam) == BN_CLICKED) {
            if (auto* button = dynamic_cast<PushButton*>(controlOf(child))) {
                button->Push();
            }
            return 0;
        }
        // Enter and Escape, translated by IsDialogMessage.
        PushButton* button = nullptr;
        if (LOWORD(wParam) == IDOK) {
            button = d.buttonWith(&PushButton::Default);
        } else if (LOWORD(wParam) == IDCANCEL) {
            button = d.buttonWith(&PushButton::Cancel);
        }
        if (button != nullptr) {
            button->Push();
        }
        return 0;
    }
    case WM_HSCROLL:
    case WM_VSCROLL: {
        const auto child = reinterpret_cast<HWND>(lParam);
        if (auto* slider = dynamic_cast<Slider*>(child != nullptr ? controlOf(child) : nullptr)) {
            // Without live scrolling a drag reports once, on release.
            if (LOWORD(wParam) != TB_THUMBTRACK || slider->LiveScroll()) {
                slider->setValue(::SendMessageW(child, TBM_GETPOS, 0, 0));
            }
        }
        return 0;
    }
    case WM_ACTIVATE:
        if (LOWORD(wParam) == WA_INACTIVE) {
            d.lastFocus = ::GetFocus();
        } else {
            d.focusFirst();
            return 0;
        }
        break;
    case WM_SETFOCUS:
        d.focusFirst();
        return 0;
    case WM_ERASEBKGND:
        if (d.backBrush != nullptr) {
            RECT r;
            ::GetClientRect(hwnd, &r);
            ::FillRect(reinterpret_cast<HDC>(wParam), &r, d.backBrush);
            return 1;
        }
        break;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
        if (d.backBrush != nullptr) {
            ::SetBkColor(reinterpret_cast<HDC>(wParam),
                         RGB(d.backColor.red, d.backColor.green, d.backColor.blue));
            return reinterpret_cast<LRESULT>(d.backBrush);
        }
        break;
    case WM_APPCOMMAND:
        // A key no one takes goes on to the shell, as unhandled commands should.
        if (win32::mediaCommand(GET_APPCOMMAND_LPARAM(lParam))) {
            return TRUE;
        }
        break;
    case WM_DPICHANGED:
        d.rescale(*reinterpret_cast<const RECT*>(lParam));
        return 0;
    case WM_CLOSE:
        if (d.closeButton) {
            ::DestroyWindow(hwnd);
        }
        return 0;
    case WM_DESTROY:
        // The children go with the window; the controls must not use their handles again.
        for (auto& entry : d.controls) {
            entry.second->impl().hwnd = nullptr;
            entry.second->impl().label = nullptr;
        }
        ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        d.hwnd = nullptr;
        // The host lets go of the window after the close has run its course.
        loop::post([owner] { releaseWindow(owner); });
        return 0;
    default:
        break;
    }
    return ::DefWindowProcW(hwnd, message, wParam, lParam);
}

} // namespace

namespace backend {

void raiseWindow(Window& window) {
    HWND hwnd = window.impl().hwnd;
    if (hwnd == nullptr || !::IsWindowVisible(hwnd)) {
        return;
    }
    if (::IsIconic(hwnd)) {
        ::ShowWindow(hwnd, SW_RESTORE);
    }
    ::SetForegroundWindow(hwnd);
}

} // namespace backend

namespace win32 {

HWND handleOf(const Window& window) {
    return window.impl().hwnd;
}

UINT dpiOf(HWND window) {
    using GetDpiForWindow = UINT(WINAPI*)(HWND);
    static const auto forWindow = lookUp<GetDpiForWindow>("user32.dll", "GetDpiForWindow");
    UINT dpi = window != nullptr && forWindow != nullptr ? forWindow(window) : 0;
    if (dpi == 0) {
        HDC screen = ::GetDC(nullptr);
        dpi = static_cast<UINT>(::GetDeviceCaps(screen, LOGPIXELSY));
        ::ReleaseDC(nullptr, screen);
    }
    return dpi != 0 ? dpi : kDefaultDpi;
}

int scaled(int64_t units, UINT dpi) {
    return ::MulDiv(static_cast<int>(std::clamp<int64_t>(units, -32000, 32000)),
                    static_cast<int>(dpi), static_cast<int>(kDefaultDpi));
}

LOGFONTW messageFont(UINT dpi) {
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof(metrics);
    using ForDpi = BOOL(WINAPI*)(UINT, UINT, PVOID, UINT, UINT);
    static const auto forDpi = lookUp<ForDpi>("user32.dll", "SystemParametersInfoForDpi");
    if (forDpi != nullptr && forDpi(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0, dpi)) {
        return metrics.lfMessageFont;
    }
    ::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0);
    // Given at the system's dpi; brought to this one.
    metrics.lfMessageFont.lfHeight = ::MulDiv(metrics.lfMessageFont.lfHeight, static_cast<int>(dpi),
                                              static_cast<int>(dpiOf(nullptr)));
    return metrics.lfMessageFont;
}

HWND activeProgramWindow() {
    HWND active = ::GetActiveWindow();
    if (active != nullptr && ownerOf(active) != nullptr) {
        return active;
    }
    for (const auto& window : openWindowList()) {
        if (window->impl().hwnd != nullptr && ::IsWindowVisible(window->impl().hwnd)) {
            return window->impl().hwnd;
        }
    }
    return nullptr;
}

void paintOpenWindows() {
    for (const auto& window : openWindowList()) {
        HWND hwnd = window->impl().hwnd;
        if (hwnd != nullptr && ::IsWindowVisible(hwnd)) {
            ::RedrawWindow(hwnd, nullptr, nullptr,
                           RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ERASENOW |
                               RDW_ALLCHILDREN);
        }
    }
    ::GdiFlush();
}

} // namespace win32

Window::Window() {
    requireUIThread("Window.Constructor");
    ensureRuntime();
    registerWindowClass();
    impl_ = std::make_unique<Impl>();
    impl_->hwnd = ::CreateWindowExW(Impl::kExStyle, kWindowClass, L"", impl_->style(),
                                    CW_USEDEFAULT, CW_USEDEFAULT, 100, 100, nullptr, nullptr,
                                    ::GetModuleHandleW(nullptr), nullptr);
    if (impl_->hwnd == nullptr) {
        throw RuntimeException("cannot create a window (error " + std::to_string(::GetLastError()) +
                               ")");
    }
    ::SetWindowLongPtrW(impl_->hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    win32::giveProgramIcon(impl_->hwnd);
    impl_->applyFlags();
}

Window::~Window() {
    // The controls go first, while their parent still exists.
    impl_->controls.clear();
    if (impl_->hwnd != nullptr) {
        ::SetWindowLongPtrW(impl_->hwnd, GWLP_USERDATA, 0);
        ::DestroyWindow(impl_->hwnd);
    }
}

std::string Window::Title() const {
    requireUIThread("Window.Title");
    return impl_->title;
}

void Window::setTitle(const std::string& title) {
    requireUIThread("Window.Title");
    impl_->title = title;
    if (impl_->hwnd != nullptr) {
        ::SetWindowTextW(impl_->hwnd, win32::widen(title).c_str());
    }
}

namespace {

// The window's place on the screen in layout units.
RECT layoutRect(HWND hwnd) {
    RECT r{};
    if (hwnd != nullptr) {
        ::GetWindowRect(hwnd, &r);
        const auto dpi = static_cast<int>(win32::dpiOf(hwnd));
        r = {::MulDiv(r.left, 96, dpi), ::MulDiv(r.top, 96, dpi), ::MulDiv(r.right, 96, dpi),
             ::MulDiv(r.bottom, 96, dpi)};
    }
    return r;
}

} // namespace

int64_t Window::Left() const {
    requireUIThread("Window.Left");
    return layoutRect(impl_->hwnd).left;
}

int64_t Window::Top() const {
    requireUIThread("Window.Top");
    return layoutRect(impl_->hwnd).top;
}

int64_t Window::Width() const {
    requireUIThread("Window.Width");
    return impl_->resizeable ? std::clamp(impl_->width, impl_->minWidth, impl_->maxWidth)
                             : impl_->width;
}

int64_t Window::Height() const {
    requireUIThread("Window.Height");
    return impl_->resizeable ? std::clamp(impl_->height, impl_->minHeight, impl_->maxHeight)
                             : impl_->height;
}

void Window::Close() {
    requireUIThread("Window.Close");
    if (impl_->hwnd != nullptr) {
        ::SendMessageW(impl_->hwnd, WM_CLOSE, 0, 0);
    }
}

WindowState& stateOf(const Window& window) {
    return window.impl();
}

namespace backend {

// Win32 has no notion of a program's last window: letting go of it is the report.
void lastWindowReleased() {
    lastWindowClosed();
}

} // namespace backend

} // namespace host
