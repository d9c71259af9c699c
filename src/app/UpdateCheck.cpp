#include "app/UpdateCheck.h"

#include "app/App.h"
#include "host/Application.h"
#include "host/Dialogs.h"
#include "host/Strings.h"
#include "http/HTTPSocket.h"

#include <algorithm>
#include <memory>
#include <optional>

namespace tamsel {

namespace {
constexpr int64_t kMsgBoxYesNoQuestion = 36;
constexpr int64_t kMsgBoxResultYes = 6;
constexpr size_t kMaxVersionLength = 32;
} // namespace

std::string offeredVersion(const std::string& reply) {
    // Only a line end is the server's terminator; a reply without one is taken whole, since a
    // version's last digit must never be lost.
    std::string offered = reply;
    if (offered.ends_with("\r\n")) {
        offered.resize(offered.size() - 2);
    } else if (offered.ends_with('\n') || offered.ends_with('\r')) {
        offered.pop_back();
    }
    return offered;
}

bool isPlausibleVersion(std::string_view text) {
    if (text.empty() || text.size() > kMaxVersionLength) {
        return false;
    }
    return std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
               c == '.' || c == '-' || c == '+';
    });
}

void runUpdateCheck(const std::string& endpoint, const std::string& site, int64_t timeoutSeconds) {
    std::string reply;
    {
        // Nothing is set on the socket: default headers, no proxy, no credentials, no Yield.
        auto socket = std::make_unique<http::HTTPSocket>();
        reply = socket->Get(endpoint, timeoutSeconds);
        const int64_t status = socket->HTTPStatusCode();
        // A failed check must never look like an offer.
        if (socket->ErrorCode() != http::HTTPError::None || status < 200 || status > 299) {
            return;
        }
    }
    // Built only now, after the request, from the application object's version data.
    const std::string running = VersionString();
    const std::string offered = offeredVersion(reply);
    if (host::StrCompare(offered, running) == 0 || !isPlausibleVersion(offered)) {
        return;
    }
    // The check held the main thread; what the user did meanwhile is handled before any offer.
    // A window closed during the wait ended the program: no offer comes after it.
    host::Application::DoEvents(-1);
    if (host::RuntimeIsEnding()) {
        return;
    }
    const std::string message = "Dear friend. We've released a new version " + offered +
                                ". Would you like to update it now?";
    if (host::MsgBox(message, kMsgBoxYesNoQuestion, std::nullopt) == kMsgBoxResultYes) {
        host::ShowURL(site);
    }
}

} // namespace tamsel
