// The socket core's event-loop seam over Win32: WSAAsyncSelect, PostMessage and SetTimer on a
// message-only window, pumped by the program's GetMessage loop.

#include "host/EventLoop.h"

#include "host/Application.h"
#include "host/win32/Win32.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>

namespace host::win32 {

namespace {

std::atomic<HWND> gWindow{nullptr};
std::function<bool(MSG&)> gFilter;
bool gQuit = false;

std::map<SOCKET, loop::ReadyFn*>& watches() {
    static auto* map = new std::map<SOCKET, loop::ReadyFn*>;
    return *map;
}

std::map<UINT_PTR, std::pair<bool, std::function<void()>*>>& timers() {
    static auto* map = new std::map<UINT_PTR, std::pair<bool, std::function<void()>*>>;
    return *map;
}

void onSocketMessage(WPARAM wParam, LPARAM lParam) {
    const auto it = watches().find(static_cast<SOCKET>(wParam));
    if (it == watches().end()) {
        return; // a late message for a socket no longer watched
    }
    const WORD event = WSAGETSELECTEVENT(lParam);
    const int error = WSAGETSELECTERROR(lParam);
    const bool readable = (event & (FD_READ | FD_CLOSE)) != 0;
    const bool writable = (event & (FD_WRITE | FD_CONNECT)) != 0;
    // The callback may destroy the watch: a copy runs.
    const loop::ReadyFn fn = *it->second;
    fn(readable, writable, (event & FD_CONNECT) != 0 ? error : 0);
}

void onTimer(UINT_PTR id) {
    const auto it = timers().find(id);
    if (it == timers().end()) {
        return;
    }
    const bool repeat = it->second.first;
    const std::function<void()> fn = *it->second.second;
    if (!repeat) {
        ::KillTimer(gWindow.load(), id);
    }
    fn();
}

LRESULT CALLBACK hostWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case kPostMessage: {
        std::unique_ptr<std::function<void()>> fn(reinterpret_cast<std::function<void()>*>(lParam));
        (*fn)();
        return 0;
    }
    case kSocketMessage:
        onSocketMessage(wParam, lParam);
        return 0;
    case WM_TIMER:
        onTimer(wParam);
        return 0;
    default:
        return ::DefWindowProcW(window, message, wParam, lParam);
    }
}

} // namespace

HWND messageWindow() {
    return gWindow.load();
}

HWND ensureMessageWindow() {
    if (HWND window = gWindow.load()) {
        return window;
    }
    WNDCLASSW wc{};
    wc.lpfnWndProc = hostWindowProc;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = L"tamselRadioHost";
    ::RegisterClassW(&wc);
    HWND window = ::CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                    wc.hInstance, nullptr);
    gWindow.store(window);
    return window;
}

void dispatch(MSG& message) {
    if (gFilter && gFilter(message)) {
        return;
    }
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
}

void setMessageFilter(std::function<bool(MSG&)> filter) {
    gFilter = std::move(filter);
}

bool quitRequested() {
    return gQuit;
}

void requestQuit(int status) {
    gQuit = true;
    ::PostQuitMessage(status);
}

std::wstring widen(std::string_view utf8) {
    if (utf8.empty()) {
        return {};
    }
    const int n =
        ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

std::string narrow(std::wstring_view wide) {
    if (wide.empty()) {
        return {};
    }
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                        nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                          nullptr, nullptr);
    return out;
}

} // namespace host::win32

namespace host::loop {

namespace {

using win32::messageWindow;

class Win32Watch final : public Watch {
public:
    Win32Watch(Handle socket, ReadyFn onReady)
        : socket_(static_cast<SOCKET>(socket)), onReady_(std::move(onReady)) {
        win32::watches()[socket_] = &onReady_;
    }
    ~Win32Watch() override {
        // No more messages for this socket; ones already queued find no watch.
        ::WSAAsyncSelect(socket_, messageWindow(), 0, 0);
        const auto it = win32::watches().find(socket_);
        if (it != win32::watches().end() && it->second == &onReady_) {
            win32::watches().erase(it);
        }
    }
    Win32Watch(const Win32Watch&) = delete;
    Win32Watch& operator=(const Win32Watch&) = delete;

    void want(bool readable, bool writable) override {
        if (selected_ && readable == readable_ && writable == writable_) {
            return;
        }
        const bool readTurnedOn = readable && (!selected_ || !readable_);
        const bool writeTurnedOn = writable && (!selected_ || !writable_);
        selected_ = true;
        readable_ = readable;
        writable_ = writable;
        // A close is always reported; it counts as readable, as on the other platforms.
        const long events =
            FD_CONNECT | FD_CLOSE | (readable ? FD_READ : 0) | (writable ? FD_WRITE : 0);
        ::WSAAsyncSelect(socket_, messageWindow(), win32::kSocketMessage, events);
        // Winsock reports a condition once, when it arises; one that arose while it was not
        // wanted (bytes waiting, the peer's close, room to send) gets a check of its own.
        if (readTurnedOn || writeTurnedOn) {
            ::PostMessageW(messageWindow(), win32::kSocketMessage, static_cast<WPARAM>(socket_),
                           WSAMAKESELECTREPLY(
                               (readTurnedOn ? FD_READ : 0) | (writeTurnedOn ? FD_WRITE : 0), 0));
        }
    }

private:
    SOCKET socket_;
    ReadyFn onReady_;
    bool selected_ = false;
    bool readable_ = false;
    bool writable_ = false;
};

class Win32Timer final : public Timer {
public:
    Win32Timer(int64_t intervalMs, bool repeat, std::function<void()> fn)
        : fn_(std::move(fn)), id_(reinterpret_cast<UINT_PTR>(this)) {
        win32::timers()[id_] = {repeat, &fn_};
        ::SetTimer(win32::ensureMessageWindow(), id_,
                   static_cast<UINT>(std::max<int64_t>(intervalMs, USER_TIMER_MINIMUM)), nullptr);
    }
    ~Win32Timer() override {
        ::KillTimer(messageWindow(), id_);
        win32::timers().erase(id_);
    }
    Win32Timer(const Win32Timer&) = delete;
    Win32Timer& operator=(const Win32Timer&) = delete;

private:
    std::function<void()> fn_;
    UINT_PTR id_;
};

// Handles every message queued now; false once the application is ending.
bool pumpPending() {
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            // Left for the outermost loop, which ends on it.
            ::PostQuitMessage(static_cast<int>(message.wParam));
            return false;
        }
        win32::dispatch(message);
    }
    return true;
}

} // namespace

bool available() {
    return messageWindow() != nullptr;
}

std::unique_ptr<Watch> watchSocket(Handle socket, ReadyFn onReady) {
    return std::make_unique<Win32Watch>(socket, std::move(onReady));
}

void post(std::function<void()> fn) {
    HWND window = messageWindow();
    if (window == nullptr) {
        return;
    }
    auto* heap = new std::function<void()>(std::move(fn));
    if (!::PostMessageW(window, win32::kPostMessage, 0, reinterpret_cast<LPARAM>(heap))) {
        delete heap;
    }
}

std::unique_ptr<Timer> startTimer(int64_t intervalMs, bool repeat, std::function<void()> fn) {
    return std::make_unique<Win32Timer>(intervalMs, repeat, std::move(fn));
}

void ensureAvailable() {
    win32::ensureMessageWindow();
}

void processEventsWaiting(int64_t maxWaitMs) {
    if (win32::quitRequested()) {
        return;
    }
    MSG peek;
    if (!::PeekMessageW(&peek, nullptr, 0, 0, PM_NOREMOVE)) {
        ::MsgWaitForMultipleObjectsEx(0, nullptr,
                                      static_cast<DWORD>(std::min<int64_t>(maxWaitMs, 0x7fffffff)),
                                      QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
    pumpPending();
}

// Only paint messages are dispatched while the windows are kept alive: nothing else runs.
bool keepingWindowsAlive() {
    return false;
}

void keepWindowsAlive() {
    if (messageWindow() == nullptr || win32::quitRequested() || !isMainThread()) {
        return;
    }
    // Only paint messages are taken. Looking at the queue at all also handles what other
    // threads and programs send (the system's "are you alive?" checks among them), so the
    // window is not taken for hung. Input, closes, posted calls, socket notices and timers
    // stay queued for the loop after the wait. The bound guards against a window that
    // never validates what it paints.
    constexpr int kMaxPaintsPerPass = 64;
    MSG message;
    for (int i = 0; i < kMaxPaintsPerPass &&
                    ::PeekMessageW(&message, nullptr, WM_PAINT, WM_PAINT, PM_REMOVE) != 0;
         ++i) {
        ::DispatchMessageW(&message);
    }
}

} // namespace host::loop
