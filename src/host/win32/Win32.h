#pragma once

// What the Win32 backend's files share: the message-only window that carries the host's
// own messages, the message pump, and text conversion. Private to src/host/win32.

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <functional>
#include <string>
#include <string_view>
// winsock2.h must come before windows.h.
#include <winsock2.h>
// clang-format off
#include <windows.h>
// clang-format on

namespace host::win32 {

// The host's own messages to its message-only window.
inline constexpr UINT kPostMessage = WM_APP + 1;   // lParam: a heap std::function to run
inline constexpr UINT kSocketMessage = WM_APP + 2; // wParam: socket, lParam: event and error

// The message-only window, made on first need on the main thread; nullptr before.
HWND messageWindow();
HWND ensureMessageWindow();

// Translates and dispatches one message; a window may filter it first (keyboard navigation
// of dialogs goes through IsDialogMessage).
void dispatch(MSG& message);
void setMessageFilter(std::function<bool(MSG&)> filter);

// Set once the application has been told to end: every loop of ours returns.
bool quitRequested();
void requestQuit(int status);

// Hands a WM_APPCOMMAND command to the media controls; false when none takes it.
bool mediaCommand(int command);

std::wstring widen(std::string_view utf8);
std::string narrow(std::wstring_view wide);

} // namespace host::win32
