// Prints what the player's windows hold, as the system sees them, for the end-to-end test:
// one JSON object per line for each top-level window of the player's class or a message
// box, with its client area on the screen, its frame buttons and each child
// control in z-order (which is the tab order) with class, text, place, state and, for a
// trackbar, its value, range and steps. Run under Wine in the player's prefix and display.
// With "appcommand N" it instead presses media key N (WM_APPCOMMAND) where the keyboard
// would: at the player window's focused control, or the window itself when none has focus.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>
// windows.h must come before commctrl.h.
#include <windows.h>
// clang-format off
#include <commctrl.h>
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
    std::string json = "{\"class\":\"" + utf8(classOf(child)) + "\",\"text\":\"" +
                       utf8(textOf(child)) + "\",\"id\":" + std::to_string(::GetDlgCtrlID(child)) +
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
    if (::GetParent(child) == ::GetAncestor(child, GA_ROOT)) {
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

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "appcommand") {
        return pressMediaKey(std::atoi(argv[2]));
    }
    ::EnumWindows(onWindow, 0);
    std::fflush(stdout);
    return 0;
}
