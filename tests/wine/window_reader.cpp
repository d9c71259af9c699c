// Prints what the player's windows hold, as the system sees them, for the end-to-end test:
// one JSON object per line for each top-level window of the player's class or a message
// box, with its client area on the screen, its frame buttons and each child
// control in z-order (which is the tab order) with class, text, place, state and, for a
// trackbar, its value, range and steps. Run under Wine in the player's prefix and display.
// With "appcommand N" it instead presses media key N (WM_APPCOMMAND) where the keyboard
// would: at the player window's focused control, or the window itself when none has focus.
//
// Hidden children (a control's label for screen readers) are not on screen and not listed,
// and a trackbar's text, which it never draws (it is only its accessible name), is not shown.
//
// "alive": whether the system takes the player's window for hung, and how long it takes to
// answer a WM_NULL. "msaa": what a screen reader is told of the window and each control.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>
// windows.h must come before commctrl.h and oleacc.h.
#include <windows.h>
// clang-format off
#include <commctrl.h>
#include <oleacc.h>
// clang-format on

namespace {

std::string utf8(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) {
        char buffer[8] = {};
        const int n =
            ::WideCharToMultiByte(CP_UTF8, 0, &c, 1, buffer, sizeof buffer, nullptr, nullptr);
        for (int i = 0; i < n; ++i) {
            const char b = buffer[i];
            if (b == '"' || b == '\\') {
                out += '\\';
                out += b;
            } else if (b == '\r') {
                out += "\\r";
            } else if (b == '\n') {
                out += "\\n";
            } else {
                out += b;
            }
        }
    }
    return out;
}

std::wstring textOf(HWND window) {
    wchar_t buffer[1024] = {};
    ::GetWindowTextW(window, buffer, 1024);
    return buffer;
}

std::wstring classOf(HWND window) {
    wchar_t buffer[256] = {};
    ::GetClassNameW(window, buffer, 256);
    return buffer;
}

std::string rectJson(RECT r) {
    return "[" + std::to_string(r.left) + "," + std::to_string(r.top) + "," +
           std::to_string(r.right - r.left) + "," + std::to_string(r.bottom - r.top) + "]";
}

RECT screenRect(HWND window) {
    RECT r;
    ::GetClientRect(window, &r);
    ::MapWindowPoints(window, nullptr, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

// The focus of the window's own thread: GetFocus only knows the caller's.
HWND focusOf(HWND window) {
    GUITHREADINFO info{};
    info.cbSize = sizeof(info);
    return ::GetGUIThreadInfo(::GetWindowThreadProcessId(window, nullptr), &info) ? info.hwndFocus
                                                                                  : nullptr;
}

std::string controlJson(HWND child) {
    const LONG style = ::GetWindowLongW(child, GWL_STYLE);
    const bool drawsText = classOf(child) != TRACKBAR_CLASSW;
    std::string json = "{\"class\":\"" + utf8(classOf(child)) + "\",\"text\":\"" +
                       (drawsText ? utf8(textOf(child)) : std::string()) +
                       "\",\"id\":" + std::to_string(::GetDlgCtrlID(child)) +
                       ",\"rect\":" + rectJson(screenRect(child)) +
                       ",\"enabled\":" + (::IsWindowEnabled(child) ? "true" : "false") +
                       ",\"visible\":" + (::IsWindowVisible(child) ? "true" : "false") +
                       ",\"tabstop\":" + ((style & WS_TABSTOP) != 0 ? "true" : "false") +
                       ",\"focused\":" + (focusOf(child) == child ? "true" : "false");
    if (classOf(child) == TRACKBAR_CLASSW) {
        json += ",\"value\":" + std::to_string(::SendMessageW(child, TBM_GETPOS, 0, 0)) +
                ",\"minimum\":" + std::to_string(::SendMessageW(child, TBM_GETRANGEMIN, 0, 0)) +
                ",\"maximum\":" + std::to_string(::SendMessageW(child, TBM_GETRANGEMAX, 0, 0)) +
                ",\"line\":" + std::to_string(::SendMessageW(child, TBM_GETLINESIZE, 0, 0)) +
                ",\"page\":" + std::to_string(::SendMessageW(child, TBM_GETPAGESIZE, 0, 0));
    }
    return json + "}";
}

BOOL CALLBACK onChild(HWND child, LPARAM list) {
    if (::GetParent(child) == ::GetAncestor(child, GA_ROOT) && ::IsWindowVisible(child)) {
        reinterpret_cast<std::vector<HWND>*>(list)->push_back(child);
    }
    return TRUE;
}

BOOL CALLBACK onWindow(HWND window, LPARAM) {
    const std::wstring name = classOf(window);
    if (!::IsWindowVisible(window) || (name != L"tamselRadioWindow" && name != L"#32770")) {
        return TRUE;
    }
    const LONG style = ::GetWindowLongW(window, GWL_STYLE);
    // A close button needs the system menu and a class that allows closing.
    const bool closable =
        (style & WS_SYSMENU) != 0 && (::GetClassLongPtrW(window, GCL_STYLE) & CS_NOCLOSE) == 0;
    std::string json = "{\"class\":\"" + utf8(name) + "\",\"title\":\"" + utf8(textOf(window)) +
                       "\",\"client\":" + rectJson(screenRect(window)) +
                       ",\"minimize\":" + ((style & WS_MINIMIZEBOX) != 0 ? "true" : "false") +
                       ",\"maximize\":" + ((style & WS_MAXIMIZEBOX) != 0 ? "true" : "false") +
                       ",\"sizing\":" + ((style & WS_THICKFRAME) != 0 ? "true" : "false") +
                       ",\"close\":" + (closable ? "true" : "false") + ",\"controls\":[";
    std::vector<HWND> children;
    ::EnumChildWindows(window, onChild, reinterpret_cast<LPARAM>(&children));
    for (size_t i = 0; i < children.size(); ++i) {
        json += (i > 0 ? "," : "") + controlJson(children[i]);
    }
    std::printf("%s]}\n", json.c_str());
    return TRUE;
}

BOOL CALLBACK findPlayer(HWND window, LPARAM found) {
    if (::IsWindowVisible(window) && classOf(window) == L"tamselRadioWindow") {
        *reinterpret_cast<HWND*>(found) = window;
        return FALSE;
    }
    return TRUE;
}

int pressMediaKey(int command) {
    HWND player = nullptr;
    ::EnumWindows(findPlayer, reinterpret_cast<LPARAM>(&player));
    if (player == nullptr) {
        std::fprintf(stderr, "no player window\n");
        return 2;
    }
    HWND target = focusOf(player);
    if (target == nullptr || ::GetAncestor(target, GA_ROOT) != player) {
        target = player;
    }
    // What the focused control answers says nothing: it hands the command on to its parent.
    ::SendMessageW(target, WM_APPCOMMAND, reinterpret_cast<WPARAM>(target),
                   MAKELPARAM(0, static_cast<WORD>(command) | FAPPCOMMAND_KEY));
    std::printf("{\"appcommand\":%d,\"to\":\"%s\"}\n", command, utf8(classOf(target)).c_str());
    std::fflush(stdout);
    return 0;
}

HWND playerWindow() {
    return ::FindWindowW(L"tamselRadioWindow", nullptr);
}

void printAlive() {
    HWND window = playerWindow();
    const BOOL hung = ::IsHungAppWindow(window);
    DWORD_PTR result = 0;
    const auto start = std::chrono::steady_clock::now();
    const LRESULT answered =
        ::SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 1000, &result);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    std::printf("{\"found\":%s,\"hung\":%s,\"answered\":%s,\"ms\":%lld}\n",
                window != nullptr ? "true" : "false", hung ? "true" : "false",
                answered != 0 ? "true" : "false", static_cast<long long>(ms));
}

std::string bstrUtf8(HRESULT hr, BSTR text) {
    std::string out = SUCCEEDED(hr) && text != nullptr ? utf8(text) : std::string();
    ::SysFreeString(text);
    return out;
}

// The client object's name, description and role, as a screen reader asks for them.
std::string accessibleJson(HWND window) {
    IAccessible* accessible = nullptr;
    const HRESULT made =
        ::AccessibleObjectFromWindow(window, static_cast<DWORD>(OBJID_CLIENT),
                                     __uuidof(IAccessible), reinterpret_cast<void**>(&accessible));
    std::string json = "{\"class\":\"" + utf8(classOf(window)) + "\",\"text\":\"" +
                       utf8(textOf(window)) +
                       "\",\"hr\":" + std::to_string(static_cast<long>(made));
    if (SUCCEEDED(made) && accessible != nullptr) {
        VARIANT self;
        ::VariantInit(&self);
        self.vt = VT_I4;
        self.lVal = CHILDID_SELF;
        BSTR name = nullptr;
        BSTR description = nullptr;
        VARIANT role;
        ::VariantInit(&role);
        const HRESULT named = accessible->get_accName(self, &name);
        const HRESULT described = accessible->get_accDescription(self, &description);
        accessible->get_accRole(self, &role);
        json += ",\"name\":\"" + bstrUtf8(named, name) + "\",\"description\":\"" +
                bstrUtf8(described, description) +
                "\",\"role\":" + std::to_string(role.vt == VT_I4 ? role.lVal : -1);
        accessible->Release();
    }
    return json + "}";
}

void printAccessible() {
    HWND window = playerWindow();
    if (window == nullptr) {
        return;
    }
    std::vector<HWND> children;
    ::EnumChildWindows(window, onChild, reinterpret_cast<LPARAM>(&children));
    std::string json = accessibleJson(window);
    json.back() = ',';
    json += "\"controls\":[";
    for (size_t i = 0; i < children.size(); ++i) {
        json += (i > 0 ? "," : "") + accessibleJson(children[i]);
    }
    std::printf("%s]}\n", json.c_str());
}

} // namespace

int main(int argc, char** argv) {
    const std::string_view command = argc > 1 ? argv[1] : "";
    if (command == "appcommand" && argc == 3) {
        return pressMediaKey(std::atoi(argv[2]));
    }
    if (command == "alive") {
        printAlive();
    } else if (command == "msaa") {
        ::CoInitialize(nullptr);
        printAccessible();
        ::CoUninitialize();
    } else {
        ::EnumWindows(onWindow, 0);
    }
    std::fflush(stdout);
    return 0;
}
