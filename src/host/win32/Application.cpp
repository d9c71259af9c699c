// The Win32 backend of the runtime: the message loop, DPI awareness and the report's box.

#include "host/Application.h"

#include "host/Backend.h"
#include "host/EventLoop.h"
#include "host/win32/ControlImpl.h"
#include "host/win32/Win32.h"

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <thread>

namespace host {
namespace {

// Captured during static initialisation, which runs on the thread that entered wWinMain.
const std::thread::id gMainThreadId = std::this_thread::get_id();

} // namespace

namespace backend {

void quitEventLoops(int status) {
    win32::requestQuit(status);
}

void showReport(const std::string& line) {
    ensureRuntime();
    win32::messageBox(nullptr, win32::widen(line), win32::programTitle(),
                      MB_OK | MB_ICONERROR | MB_TASKMODAL | MB_SETFOREGROUND);
}

void releaseGuiInstance() {}

std::FILE* openFile(const std::string& utf8Path, const char* mode) {
    const std::wstring path = win32::widen(utf8Path);
    const std::string_view m(mode);
    if (m.find('x') == std::string_view::npos) {
        return ::_wfopen(path.c_str(), win32::widen(m).c_str());
    }
    // The C runtime's fopen knows no "x": create exclusively, then attach a stream.
    const int fd =
        ::_wopen(path.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd < 0) {
        return nullptr;
    }
    std::FILE* file = ::_fdopen(fd, "wb");
    if (file == nullptr) {
        ::_close(fd);
    }
    return file;
}

const char* const kEndOfLine = "\r\n";

bool guiInstanceExists() {
    return win32::messageWindow() != nullptr;
}

void applyHiDpi(bool enabled) {
    if (!enabled) {
        return;
    }
    // Per-monitor awareness (version 2 where the system has it), looked up at run time so
    // the program still starts on systems without it.
    using SetContext = BOOL(WINAPI*)(HANDLE);
    HMODULE user32 = ::GetModuleHandleW(L"user32.dll");
    auto setContext = user32 != nullptr
                          ? reinterpret_cast<SetContext>(reinterpret_cast<void*>(
                                ::GetProcAddress(user32, "SetProcessDpiAwarenessContext")))
                          : nullptr;
    if (setContext == nullptr ||
        (!setContext(reinterpret_cast<HANDLE>(-4)) && !setContext(reinterpret_cast<HANDLE>(-3)))) {
        ::SetProcessDPIAware();
    }
}

// Posted, so it runs once the loop does; the windows are drawn at once rather than when
// their paint messages come round, since Open may block the loop.
void watchFirstPaint() {
    loop::post([] {
        win32::paintOpenWindows();
        shownWindowsPainted();
    });
}

int runEventLoop() {
    MSG message;
    while (true) {
        const BOOL got = ::GetMessageW(&message, nullptr, 0, 0);
        if (got == 0 || got == -1) {
            return got == 0 ? static_cast<int>(message.wParam) : 1;
        }
        win32::dispatch(message);
    }
}

} // namespace backend

void Application::DoEvents(int64_t milliseconds) {
    ensureRuntime();
    if (milliseconds < 0) {
        loop::processEventsWaiting(0);
        return;
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!win32::quitRequested()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            break;
        }
        loop::processEventsWaiting(left);
    }
}

void ensureRuntime() {
    win32::ensureMessageWindow();
}

bool isMainThread() {
    return std::this_thread::get_id() == gMainThreadId;
}

} // namespace host
