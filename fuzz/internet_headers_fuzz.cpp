// Any text parses into a collection whose bookkeeping holds together.

#include "http/InternetHeaders.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    http::InternetHeaders headers;
    headers._ParseHeaders(text);
    if (headers.Source() != text && !text.empty()) {
        std::abort(); // the raw text is kept unchanged
    }
    const int64_t count = headers.Count();
    for (int64_t i = 0; i < count; ++i) {
        const std::string name = headers.Name(i);
        // Every entry's name finds its first instance, and instances are contiguous.
        if (!headers._HasHeader(name) || headers.NameCount(name) < 1) {
            std::abort();
        }
    }
    // Rendering and re-parsing keeps the number of entries when no value holds a line end.
    const std::string rendered = headers._FormatHTTPHeaders();
    headers._FormatEmailHeaders();
    if (text.find_first_of("\r\n") == std::string::npos) {
        http::InternetHeaders again;
        again._ParseHeaders(rendered);
        if (again.Count() != count) {
            std::abort();
        }
    }
    headers.DeleteAllHeaders();
    if (headers.Count() != 0) {
        std::abort();
    }
    return 0;
}
