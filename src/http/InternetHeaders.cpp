#include "http/InternetHeaders.h"

#include "host/Strings.h"

#include <algorithm>
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

// A name with no ":" of its own: its instance keys are the ones the index counts.
bool isPlainName(std::string_view name) {
    return name.find(':') == std::string_view::npos;
}

// The instance a key stands for: 0 for a key without ":", n for "name:n" written as instance
// keys are written (decimal, no sign, no leading zero); -1 when the key is no instance key.
int64_t instanceOf(std::string_view key) {
    const size_t colon = key.find(':');
    if (colon == std::string_view::npos) {
        return 0;
    }
    const std::string_view digits = key.substr(colon + 1);
    // More digits than any count of entries can reach: never below a known count.
    if (digits.empty() || digits.size() > 18 || digits.front() == '0') {
        return -1;
    }
    int64_t n = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') {
            return -1;
        }
        n = n * 10 + (c - '0');
    }
    return n;
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

int64_t InternetHeaders::knownInstances(std::string_view name) const {
    const auto it = knownInstances_.find(host::Lowercase(name));
    return it == knownInstances_.end() ? 0 : it->second;
}

void InternetHeaders::setKnownInstances(std::string_view name, int64_t n) const {
    if (n > 0) {
        knownInstances_[host::Lowercase(name)] = n;
    } else {
        knownInstances_.erase(host::Lowercase(name));
    }
}

void InternetHeaders::removeKey(std::string_view key) {
    _Headers.Remove(key);
    const int64_t instance = instanceOf(key);
    if (instance < 0) {
        return;
    }
    const auto it = knownInstances_.find(host::Lowercase(namePart(key)));
    if (it != knownInstances_.end() && it->second > instance) {
        if (instance == 0) {
            knownInstances_.erase(it);
        } else {
            it->second = instance;
        }
    }
}

void InternetHeaders::AppendHeader(std::string_view name, std::string_view value) {
    // Probing N, N:1, N:2 ... from the start would make n instances cost n^2 probes; the
    // probes below the known count would all find their key, so they are skipped.
    const std::string_view base = namePart(name);
    const bool plainName = isPlainName(name);
    int64_t known = knownInstances(base);
    if (!plainName || known == 0) {
        if (!_Headers.HasKey(name)) {
            _Headers.SetValue(name, host::Variant(std::string(value)));
            if (plainName) {
                setKnownInstances(base, 1);
            }
            return;
        }
        if (plainName) {
            known = 1; // the name itself is instance 0
        }
    }
    // Later keys are built from the part before the first ":" of the name.
    InstanceKey key(base);
    int64_t i = std::max<int64_t>(known, 1);
    while (_Headers.HasKey(key.of(i))) {
        ++i;
    }
    _Headers.SetValue(key.of(i), host::Variant(std::string(value)));
    // Instances below i were all found; with instance 0 known, 0 .. i are present now.
    if (known > 0) {
        setKnownInstances(base, i + 1);
    }
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
        removeKey(key.of(i));
    }
}

void InternetHeaders::Delete(std::string_view name, int64_t index) {
    InstanceKey key(name);
    InstanceKey next(name);
    if (!_Headers.HasKey(key.of(index))) {
        return;
    }
    const bool plainName = isPlainName(name);
    const int64_t knownBefore = plainName ? knownInstances(name) : 0;
    removeKey(key.of(index));
    // Move the higher instances down one by one; each moved value is stored again under a
    // key spelled as the caller spelled the name.
    int64_t a = index;
    for (;; ++a) {
        const std::string_view nextKey = next.of(a + 1);
        const host::Variant* value = _Headers.Find(nextKey);
        if (!value) {
            break;
        }
        host::Variant moved = *value;
        _Headers.SetValue(key.of(a), std::move(moved));
        removeKey(nextKey);
    }
    // Instances below index were untouched and index .. a-1 were filled by the shift.
    if (index >= 0 && index < knownBefore) {
        setKnownInstances(name, a);
    }
}

void InternetHeaders::DeleteAllHeaders() {
    _Headers.RemoveAll();
    knownInstances_.clear();
}

std::string InternetHeaders::Name(int64_t index) const {
    return std::string(namePart(_Headers.Key(index)));
}

int64_t InternetHeaders::NameCount(std::string_view name) const {
    // For a name with ":" the probed keys ("N:x:1" ...) are no instance keys; count plainly.
    const bool plainName = isPlainName(name);
    InstanceKey key(name);
    int64_t count = plainName ? knownInstances(name) : 0;
    while (_Headers.HasKey(key.of(count))) {
        ++count;
    }
    if (plainName && count > 0) {
        setKnownInstances(name, count);
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
    knownInstances_.clear();

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
