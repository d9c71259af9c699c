#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace host {

// Modal message box with the Windows message-box codes: style 0 shows OK (returns 1);
// style 36 (4 Yes/No + 32 question icon) returns 6 for Yes and 7 for No. An absent title
// shows the application's name. Raises ThreadAccessingUIException off the main thread.
int64_t MsgBox(const std::string& message, int64_t style = 0,
               const std::optional<std::string>& title = std::nullopt);

// Opens the URL in the default browser and returns at once.
void ShowURL(const std::string& url);

} // namespace host
