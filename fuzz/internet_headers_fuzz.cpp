// Any text parses into a collection whose bookkeeping holds together, and every read
// operation and both renderings agree with each other on it.

#include "host/Exceptions.h"
#include "host/Strings.h"
#include "http/InternetHeaders.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace {

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "internet_headers invariant broken: %s\n", what);
        std::abort();
    }
}

template <typename Fn>
bool raisesOutOfBounds(Fn fn) {
    try {
        fn();
    } catch (const host::OutOfBoundsException&) {
        return true;
    }
    return false;
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    if (text.empty()) {
        return lines;
    }
    size_t from = 0;
    while (true) {
        const size_t at = text.find("\r\n", from);
        lines.push_back(text.substr(from, at - from));
        if (at == std::string::npos) {
            return lines;
        }
        from = at + 2;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    http::InternetHeaders headers;
    headers._ParseHeaders(text);
    if (!text.empty()) {
        check(headers.Source() == text, "the raw text is not kept unchanged");
    }
    const int64_t count = headers.Count();
    check(count >= 0, "negative count");

    // Positions: inside 0 .. Count-1 readable, outside as documented.
    check(raisesOutOfBounds([&] { headers.Name(count); }), "Name past the end");
    check(raisesOutOfBounds([&] { headers.Name(-1); }), "Name before the start");
    check(raisesOutOfBounds([&] { headers.Value(int64_t{-1}); }), "Value before the start");
    check(headers.Value(count).empty(), "Value past the end is not empty");

    // Every entry's name finds its instances; the instances of all distinct names add up to
    // the count, so none is lost, doubled or out of sequence.
    std::set<std::string> distinct;
    bool valuesBreakLines = false;
    std::string expectedHTTP;
    for (int64_t i = 0; i < count; ++i) {
        const std::string name = headers.Name(i);
        const std::string value = headers.Value(i);
        valuesBreakLines = valuesBreakLines || value.find_first_of("\r\n") != std::string::npos ||
                           name.find_first_of("\r\n") != std::string::npos;
        check(headers._HasHeader(name), "an entry's name has no instance 0");
        check(headers._HasHeader(host::Uppercase(name)) &&
                  headers._HasHeader(host::Lowercase(name)),
              "names do not ignore letter case");
        const int64_t instances = headers.NameCount(name);
        check(instances >= 1 && instances <= count, "NameCount out of range");
        bool found = false;
        for (int64_t k = 0; k < instances && !found; ++k) {
            found = headers.Value(name, k) == value;
        }
        check(found, "an entry's value is no instance of its name");
        distinct.insert(host::Lowercase(name));
        if (i > 0) {
            expectedHTTP += "\r\n";
        }
        expectedHTTP += name + ": " + value;
    }
    int64_t instancesTotal = 0;
    for (const std::string& name : distinct) {
        const int64_t instances = headers.NameCount(name);
        instancesTotal += instances;
        check(headers.Value(name) == headers.Value(name, 0) &&
                  headers.Value(name, -3) == headers.Value(name, 0),
              "instance 0 is not the first value");
        check(headers.Value(name, instances).empty(), "a value past the last instance");
        std::string joined;
        for (int64_t k = 0; k < instances; ++k) {
            joined += (k > 0 ? ", " : "") + headers.Value(name, k);
        }
        check(headers.CommaSeparatedValues(name) == joined, "CommaSeparatedValues");
    }
    check(instancesTotal == count, "instances do not add up to the count");

    // The HTTP rendering is the entries in order; the mail rendering the same lines in its
    // own order, without BCC.
    const std::string rendered = headers._FormatHTTPHeaders();
    check(rendered == expectedHTTP, "HTTP rendering");
    // The mail rendering: the fixed names first, then every other entry as its own line in
    // order; BCC never. Checked when no line end inside a name or value blurs the lines.
    const std::string mail = headers._FormatEmailHeaders();
    if (!valuesBreakLines) {
        const auto fixedName = [](std::string_view name) {
            for (const char* fixed :
                 {"Return-Path", "Received", "Date", "Subject", "From", "To", "CC", "BCC"}) {
                if (host::EqualsIgnoreCase(name, fixed)) {
                    return true;
                }
            }
            return false;
        };
        std::vector<std::string> expectedRest;
        for (int64_t i = 0; i < count; ++i) {
            if (!fixedName(headers.Name(i))) {
                expectedRest.push_back(headers.Name(i) + ": " + headers.Value(i));
            }
        }
        std::vector<std::string> rest;
        for (const std::string& line : splitLines(mail)) {
            const std::string name = line.substr(0, line.find(": "));
            check(!host::EqualsIgnoreCase(name, "BCC"), "BCC in the mail rendering");
            if (!fixedName(name)) {
                rest.push_back(line);
            } else {
                check(rest.empty(), "a fixed mail header after the others");
            }
        }
        check(rest == expectedRest, "mail rendering of the other headers");
    }

    // Rendering and re-parsing keeps the number of entries when no value holds a line end.
    if (text.find_first_of("\r\n") == std::string::npos) {
        http::InternetHeaders again;
        again._ParseHeaders(rendered);
        check(again.Count() == count, "re-parsed rendering");
    }
    headers.DeleteAllHeaders();
    check(headers.Count() == 0, "DeleteAllHeaders");
    return 0;
}
