// Message boxes and the browser over Win32: MessageBoxW with the style codes as they stand,
// ShellExecuteW for URLs.

#include "host/Dialogs.h"

#include "host/Application.h"
#include "host/win32/ControlImpl.h"

#include <objbase.h>
#include <shellapi.h>

namespace host {
namespace win32 {
namespace {

HHOOK gIconHook = nullptr;

// Catches the message box as it is activated and hands it the program's icon: MessageBoxW
// has no parameter for the title bar's icon.
LRESULT CALLBACK iconHook(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_ACTIVATE) {
        const auto box = reinterpret_cast<HWND>(wParam);
        wchar_t name[16] = {};
        ::GetClassNameW(box, name, 16);
        if (std::wstring_view(name) == L"#32770") {
            giveProgramIcon(box);
        }
    }
    return ::CallNextHookEx(gIconHook, code, wParam, lParam);
}

} // namespace

void giveProgramIcon(HWND window) {
    HINSTANCE module = ::GetModuleHandleW(nullptr);
    const auto big = static_cast<HICON>(::LoadImageW(module, kIconName, IMAGE_ICON,
                                                     ::GetSystemMetrics(SM_CXICON),
                                                     ::GetSystemMetrics(SM_CYICON), 0));
    const auto small = static_cast<HICON>(::LoadImageW(module, kIconName, IMAGE_ICON,
                                                       ::GetSystemMetrics(SM_CXSMICON),
                                                       ::GetSystemMetrics(SM_CYSMICON), 0));
    // A program without the resource (a test) keeps the system's default.
    if (big != nullptr) {
        ::SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
    }
    if (small != nullptr) {
        ::SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));
    }
}

std::wstring programTitle() {
    wchar_t path[MAX_PATH] = {};
    const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring name(path, n);
    name = name.substr(name.find_last_of(L"\\/") + 1);
    const size_t dot = name.rfind(L'.');
    return dot == std::wstring::npos ? name : name.substr(0, dot);
}

int messageBox(HWND owner, const std::wstring& text, const std::wstring& title, UINT style) {
    gIconHook = ::SetWindowsHookExW(WH_CBT, iconHook, nullptr, ::GetCurrentThreadId());
    const int answer = ::MessageBoxW(owner, text.c_str(), title.c_str(), style);
    if (gIconHook != nullptr) {
        ::UnhookWindowsHookEx(gIconHook);
        gIconHook = nullptr;
    }
    return answer;
}

} // namespace win32

int64_t MsgBox(const std::string& message, int64_t style, const std::optional<std::string>& title) {
    requireUIThread("MsgBox");
    ensureRuntime();
    HWND owner = win32::activeProgramWindow();
    // The host's codes are the system's: they go through unchanged, and so does the answer.
    auto flags = static_cast<UINT>(style);
    if (owner == nullptr) {
        flags |= MB_TASKMODAL;
    }
    return win32::messageBox(owner, win32::widen(message),
                             title ? win32::widen(*title) : win32::programTitle(), flags);
}

void ShowURL(const std::string& url) {
    requireUIThread("ShowURL");
    ensureRuntime();
    // The shell may hand the URL to a COM server; it asks for an initialised apartment.
    static const bool comReady =
        SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE));
    (void)comReady;
    ::ShellExecuteW(nullptr, L"open", win32::widen(url).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

} // namespace host
