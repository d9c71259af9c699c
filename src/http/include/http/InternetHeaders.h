#pragma once

// The header lines of one HTTP request or response, or of a mail head: name/value pairs in
// which a name may repeat. Instance 0 of a name N is stored under the key N, instance n under
// "N:n". Names compare ignoring ASCII letter case. Pure text work: nothing here touches a
// socket.

#include "host/Dictionary.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

namespace http {

class InternetHeaders {
public:
    InternetHeaders();
    virtual ~InternetHeaders();
    InternetHeaders(const InternetHeaders&) = default;
    InternetHeaders& operator=(const InternetHeaders&) = default;

    // Adds value as the next free instance of name.
    virtual void AppendHeader(std::string_view name, std::string_view value);
    // The values of instances 0 .. NameCount(name)-1 joined with ", ".
    virtual std::string CommaSeparatedValues(std::string_view name) const;
    // Number of entries, every instance of every name counted.
    virtual int64_t Count() const;
    // Removes every contiguous instance of name.
    virtual void Delete(std::string_view name);
    // Removes one instance and moves the higher ones down by one.
    virtual void Delete(std::string_view name, int64_t index);
    // Empties the collection; the text of the last parse stays for Source.
    virtual void DeleteAllHeaders();
    // Name part of the entry at a position; outside 0 .. Count-1 raises OutOfBoundsException.
    virtual std::string Name(int64_t index) const;
    // 0 without instance 0, else 1 + the number of consecutive instances 1, 2, ...
    virtual int64_t NameCount(std::string_view name) const;
    // Leaves exactly one instance of name, holding value.
    virtual void SetHeader(std::string_view name, std::string_view value);
    // Stores value as instance index of name; may leave lower instances missing.
    virtual void SetHeader(std::string_view name, std::string_view value, int64_t index);
    // The text of the last non-empty parse, otherwise the HTTP rendering of the entries.
    virtual std::string Source() const;
    // Value at a position: "" past Count-1; a negative position raises OutOfBoundsException.
    virtual std::string Value(int64_t index) const;
    // Value of instance 0 of name, "" when absent.
    virtual std::string Value(std::string_view name) const;
    // Value of an instance; an index below 1 reads instance 0. "" when absent.
    virtual std::string Value(std::string_view name, int64_t index) const;

    // CR LF when text contains it, else LF, else CR, else CR LF. Static: it uses nothing of
    // the collection and the HTTP client applies it to its own data.
    static std::string _DetermineEOLCharacter(std::string_view text);
    // Mail head in the fixed order Return-Path, Received, Date, Subject, From, To, CC, then the
    // rest; BCC is never written. Lines joined with CR LF, none at the end.
    virtual std::string _FormatEmailHeaders() const;
    // "Name: value" per entry in positional order, joined with CR LF, none at the end.
    virtual std::string _FormatHTTPHeaders() const;
    // Whether instance 0 of name exists.
    virtual bool _HasHeader(std::string_view name) const;
    // Replaces the collection by the headers of a raw header block (status line and lines
    // without ":" skipped, continuation lines unfolded, values left-trimmed).
    virtual void _ParseHeaders(std::string_view text);

private:
    // Every removal goes through here so the append index stays true.
    void removeKey(std::string_view key);
    // Instances 0 .. n-1 of the name part (case-folded) are known to be present; lets
    // AppendHeader and NameCount start probing at n instead of 0. Only ever an underestimate:
    // a removal lowers it, and a name missing here simply has nothing known.
    int64_t knownInstances(std::string_view namePart) const;
    void setKnownInstances(std::string_view namePart, int64_t n) const;

    host::Dictionary _Headers;
    std::string _rawHeaders;
    mutable std::unordered_map<std::string, int64_t> knownInstances_;
};

} // namespace http
