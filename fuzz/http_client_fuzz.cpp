// The client's text work on hostile input: URL parsing, challenge parameters, encoders and
// the request check never crash and keep their promises.

#include "http/HTTPSocket.h"
#include "wire/Url.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

struct Probe : http::HTTPSocket {
    using HTTPSocket::_EncodeHex;
    using HTTPSocket::_EncodeURLString;
    using HTTPSocket::_ParseAuthenticationParams;
    using HTTPSocket::_ParseURL;
    using HTTPSocket::_path;
    using HTTPSocket::_server;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    Probe probe;
    probe._ParseURL(text);
    // The request target always starts with "/", the address never holds the port: outside
    // brackets it has no colon, and an accepted bracketed literal gives exactly what the
    // brackets hold (an unclosed one is refused before any lookup, so its address is unused).
    if (probe._path.empty() || probe._path.front() != '/') {
        std::abort();
    }
    if (!probe._server.starts_with('[')) {
        if (probe.Address.find(':') != std::string::npos) {
            std::abort();
        }
    } else if (wire::isClientUrl(text) &&
               probe._server.compare(1, probe.Address.size() + 1, probe.Address + "]") != 0) {
        std::abort();
    }
    const host::Dictionary params = probe._ParseAuthenticationParams(text);
    for (int64_t i = 0; i < params.Count(); ++i) {
        if (params.Key(i).empty()) {
            std::abort();
        }
    }
    // Encoded text holds no line break, no blank and no escape-set member but "%".
    const std::string encoded = probe._EncodeURLString(text);
    if (encoded.find_first_of("\r\n &=,/") != std::string::npos) {
        std::abort();
    }
    if (probe._EncodeHex(text).size() != 2 * text.size()) {
        std::abort();
    }
    return 0;
}
