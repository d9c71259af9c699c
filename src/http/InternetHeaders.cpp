#include "http/InternetHeaders.h"

#include "host/Strings.h"

#include <charconv>

namespace http {

namespace {

constexpr std::string_view kCRLF = "\r\n";

// Fixed lines of the mail rendering, and the names the generic part must not repeat.
constexpr std::string_view kMailFixedNames = ":Date:Subject:From:To:CC:BCC:Received:Return-Path:";

std::string_view namePart(std::string_view key) {
    const size_t colon = key.find(':');
    return colon == std::string_view::npos ? key : key.substr(0, colon);
}

// Builds the keys of consecutive instances of one name in a reused buffer, so probing the
// instances one by one costs no allocation per probe.
class InstanceKey {
public:
    explicit InstanceKey(std::string_view name) : key_(name), base_(name.size()) {}

    // The key of instance n: the name itself for 0, otherwise "name:n" ("name:-1" for -1).
    std::string_view of(int64_t n) {
        key_.resize(base_);
        if (n != 0) {
            char digits[24];
            const auto end = std::to_chars(digits, digits + sizeof digits, n).ptr;
            key_.push_back(':');
            key_.append(digits, end);
        }
        return key_;
    }

private:
    std::string key_;
    size_t base_;
};

} // namespace

InternetHeaders::InternetHeaders() = default;
InternetHeaders::~InternetHeaders() = default;

void InternetHeaders::AppendHeader(std::string_view name, std::string_view value) {
    if (!_Headers.HasKey(name)) {
        _Headers.SetValue(name, host::Variant(std::string(value)));
        return;
    }
    // Later keys are built from the part before the first ":" of the name.
    InstanceKey key(namePart(name));
    int64_t i = 1;
    while (_Headers.HasKey(key.of(i))) {
        ++i;
    }
    _Headers.SetValue(key.of(i), host::Variant(std::string(value)));
}

std::string InternetHeaders::CommaSeparatedValues(std::string_view name) const {
    std::string joined;
    InstanceKey key(name);
    for (int64_t i = 0;; ++i) {
        const host::Variant* value = _Headers.Find(key.of(i));
        if (!value) {
            break;
        }
        if (i > 0) {
            joined.append(", ");
        }
        joined.append(value->StringValue());
    }
    return joined;
}

int64_t InternetHeaders::Count() const {
    return _Headers.Count();
}

void InternetHeaders::Delete(std::string_view name) {
    const int64_t count = NameCount(name);
    InstanceKey key(name);
    for (int64_t i = 0; i < count; ++i) {
        _Headers.Remove(key.of(i));
    }
}

void InternetHeaders::Delete(std::string_view name, int64_t index) {
    InstanceKey key(name);
    InstanceKey next(name);
    if (!_Headers.HasKey(key.of(index))) {
        return;
    }
    _Headers.Remove(key.of(index));
    // Move the higher instances down one by one; each moved value is stored again under a
    // key spelled as the caller spelled the name.
    for (int64_t a = index;; ++a) {
        const std::string_view nextKey = next.of(a + 1);
        const host::Variant* value = _Headers.Find(nextKey);
        if (!value) {
            break;
        }
        host::Variant moved = *value;
        _Headers.SetValue(key.of(a), std::move(moved));
        _Headers.Remove(nextKey);
    }
}

void InternetHeaders::DeleteAllHeaders() {
    _Headers.RemoveAll();
}

std::string InternetHeaders::Name(int64_t index) const {
    return std::string(namePart(_Headers.Key(index)));
}

int64_t InternetHeaders::NameCount(std::string_view name) const {
    InstanceKey key(name);
    int64_t count = 0;
    while (_Headers.HasKey(key.of(count))) {
        ++count;
    }
    return count;
}

void InternetHeaders::SetHeader(std::string_view name, std::string_view value) {
    if (NameCount(name) > 1) {
        Delete(name);
    }
    _Headers.SetValue(name, host::Variant(std::string(value)));
}

void InternetHeaders::SetHeader(std::string_view name, std::string_view value, int64_t index) {
    InstanceKey key(name);
    const std::string_view k = key.of(index);
    if (_Headers.HasKey(k)) {
        _Headers.SetValue(k, host::Variant(std::string(value)));
    } else {
        // The key is free, so appending under it stores exactly there.
        AppendHeader(k, value);
    }
}

std::string InternetHeaders::Source() const {
    return _rawHeaders.empty() ? _FormatHTTPHeaders() : _rawHeaders;
}

std::string InternetHeaders::Value(int64_t index) const {
    if (index > Count() - 1) {
        return {};
    }
    return _Headers.ValueAt(index).StringValue();
}

std::string InternetHeaders::Value(std::string_view name) const {
    return Value(name, 0);
}

std::string InternetHeaders::Value(std::string_view name, int64_t index) const {
    InstanceKey key(name);
    const host::Variant* value = _Headers.Find(key.of(index < 1 ? 0 : index));
    return value ? value->StringValue() : std::string();
}

std::string InternetHeaders::_DetermineEOLCharacter(std::string_view text) {
    if (text.find(kCRLF) != std::string_view::npos) {
        return "\r\n";
    }
    if (text.find('\n') != std::string_view::npos) {
        return "\n";
    }
    if (text.find('\r') != std::string_view::npos) {
        return "\r";
    }
    return "\r\n";
}

std::string InternetHeaders::_FormatEmailHeaders() const {
    std::string out;
    auto addLine = [&out](std::string_view name, std::string_view value) {
        if (!out.empty()) {
            out.append(kCRLF);
        }
        out.append(name).append(": ").append(value);
    };
    auto addFirstInstance = [&](std::string_view name) {
        if (const host::Variant* value = _Headers.Find(name)) {
            addLine(name, value->StringValue());
        }
    };

    addFirstInstance("Return-Path");
    const int64_t received = NameCount("Received");
    for (int64_t i = 0; i < received; ++i) {
        addLine("Received", Value("Received", i));
    }
    addFirstInstance("Date");
    addFirstInstance("Subject");
    addFirstInstance("From");
    if (NameCount("To") > 0) {
        addLine("To", CommaSeparatedValues("To"));
    }
    if (NameCount("CC") > 0) {
        addLine("CC", CommaSeparatedValues("CC"));
    }
    const int64_t count = Count();
    std::string probe;
    for (int64_t i = 0; i < count; ++i) {
        const std::string_view name = namePart(_Headers.Key(i));
        probe.assign(":").append(name).append(":");
        if (host::InStr(kMailFixedNames, probe) == 0) {
            addLine(name, _Headers.ValueAt(i).StringValue());
        }
    }
    return out;
}

std::string InternetHeaders::_FormatHTTPHeaders() const {
    std::string out;
    const int64_t count = Count();
    for (int64_t i = 0; i < count; ++i) {
        if (i > 0) {
            out.append(kCRLF);
        }
        out.append(namePart(_Headers.Key(i))).append(": ");
        out.append(_Headers.ValueAt(i).StringValue());
    }
    return out;
}

bool InternetHeaders::_HasHeader(std::string_view name) const {
    return _Headers.HasKey(name);
}

void InternetHeaders::_ParseHeaders(std::string_view raw) {
    // assign copes with a view into the old text; parse from our own copy afterwards.
    _rawHeaders.assign(raw);
    const std::string_view text(_rawHeaders);
    const std::string eol = _DetermineEOLCharacter(text);
    _Headers = host::Dictionary();

    // One pass does the unfolding and the split: an eol followed by a blank or a tab becomes
    // one blank (the continuation's own leading blanks stay), any other eol ends the line.
    // This equals replacing eol+blank, then eol+tab, and splitting at eol, since neither
    // pattern can overlap the other or itself, and it keeps parsing linear.
    std::string line;
    auto finishLine = [this, &line]() {
        const size_t colon = line.find(':');
        if (colon != std::string::npos) {
            const std::string_view view(line);
            AppendHeader(view.substr(0, colon), host::LTrimView(view.substr(colon + 1)));
        }
        line.clear();
    };
    size_t i = 0;
    while (i < text.size()) {
        if (text.compare(i, eol.size(), eol) == 0) {
            const size_t after = i + eol.size();
            if (after < text.size() && (text[after] == ' ' || text[after] == '\t')) {
                line.push_back(' ');
                i = after + 1;
            } else {
                finishLine();
                i = after;
            }
            continue;
        }
        // Copy the run up to the next possible line end in one go.
        size_t run = text.find(eol.front(), i + 1);
        if (run == std::string_view::npos) {
            run = text.size();
        }
        line.append(text.substr(i, run - i));
        i = run;
    }
    finishLine();
}

} // namespace http
