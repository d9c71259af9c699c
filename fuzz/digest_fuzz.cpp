// A 401 or 407 challenge and credentials from hostile input: the challenge parameters parse
// into usable names, the credential value has the Digest layout the challenge's qop and
// algorithm ask for, with a response a server can verify, and a value that could break the request
// line is never sent: the repeat is refused before connecting.
//
// Input: byte 0 flags (bit 0 proxy, bit 1 POST, bit 2 the scheme comes from the input instead
// of "Digest "); byte 1 user name length, then the user name; next byte the password length,
// then the password; the rest is the challenge header value.

#include "host/Crypto.h"
#include "host/Strings.h"
#include "http/HTTPSocket.h"
#include "support/SocketPeer.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

const std::string kURL = "http://127.0.0.1:9/dir/file?q=1";

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "digest invariant broken: %s\n", what);
        std::abort();
    }
}

std::string hex(const std::string& bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        out += digits[c >> 4];
        out += digits[c & 0x0F];
    }
    return out;
}

bool hasControl(const std::string& s) {
    return std::any_of(s.begin(), s.end(), [](char ch) {
        const auto c = static_cast<unsigned char>(ch);
        return (c < 0x20 && c != '\t') || c == 0x7F;
    });
}

bool hasLineBreakOrNul(const std::string& s) {
    return s.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

// Reads `expected` at pos and moves past it.
bool take(const std::string& text, size_t& pos, const std::string& expected) {
    if (text.compare(pos, expected.size(), expected) != 0) {
        return false;
    }
    pos += expected.size();
    return true;
}

// Reads n characters that satisfy pred.
template <typename Pred>
bool takeRun(const std::string& text, size_t& pos, size_t n, Pred pred, std::string& out) {
    if (text.size() - pos < n) {
        return false;
    }
    out = text.substr(pos, n);
    pos += n;
    return std::all_of(out.begin(), out.end(), [&](char c) { return pred(c); });
}

// What a quoted string stands for: its backslash escapes removed.
std::string unescape(const std::string& quoted) {
    std::string plain;
    for (size_t i = 0; i < quoted.size(); ++i) {
        if (quoted[i] == '\\' && i + 1 < quoted.size()) {
            ++i;
        }
        plain += quoted[i];
    }
    return plain;
}

// Reads the text of a quoted string (after its opening quotation mark) up to the closing one
// and moves past that; false when none closes it.
bool takeQuoted(const std::string& text, size_t& pos, std::string& out) {
    for (size_t i = pos; i < text.size(); ++i) {
        if (text[i] == '\\') {
            ++i;
        } else if (text[i] == '"') {
            out = text.substr(pos, i - pos);
            pos = i + 1;
            return true;
        }
    }
    return false;
}

class Client : public http::HTTPSocket {
public:
    using HTTPSocket::_authenticationKey;
    using HTTPSocket::_httpAction;
    using HTTPSocket::_pageHeaders;
    using HTTPSocket::_ParseAuthenticationParams;
    using HTTPSocket::_ParseHeaders;
    using HTTPSocket::_ParseURL;
    using HTTPSocket::_path;
    using HTTPSocket::_processingURL;
    using HTTPSocket::_proxyAuthenticationKey;
    using HTTPSocket::_SetAuthentication;

    int connects = 0;
    std::string request;

    void Connect() override {
        ++connects;
        peer_.reset();
        peer_ = std::make_unique<host::testing::SocketPeer>(*this);
        check(peer_->valid(), "socket pair");
    }

protected:
    void OnConnected() override {
        HTTPSocket::OnConnected();
        request += peer_->readAvailable();
    }

private:
    std::unique_ptr<host::testing::SocketPeer> peer_;
};

// Checks a Digest value piece by piece against what a server would verify; returns nc.
std::string checkDigest(const std::string& value, const std::string& user,
                        const std::string& password, const host::Dictionary& params,
                        const std::string& method, const std::string& uri) {
    const auto param = [&](const char* name) {
        return params.Lookup(name, std::string()).StringValue();
    };
    const std::string realm = param("realm");
    const std::string nonce = param("nonce");
    size_t pos = 0;
    std::string nc;
    std::string cnonce;
    std::string response;
    // The user name is plain text on our side; on the wire it is a quoted string that a
    // server reads back to the same text.
    std::string quotedUser;
    check(take(value, pos, "Digest username=\"") && takeQuoted(value, pos, quotedUser) &&
              unescape(quotedUser) == user,
          "user name");
    // The form the challenge asked for: qop=auth or the older form without qop, and the
    // algorithm named back as the challenge spelled it.
    const bool qop = params.HasKey("qop");
    const std::string algorithm = param("algorithm");
    const bool sha256 = host::EqualsIgnoreCase(algorithm, "SHA-256") ||
                        host::EqualsIgnoreCase(algorithm, "SHA-256-sess");
    const bool session = host::EqualsIgnoreCase(algorithm, "MD5-sess") ||
                         host::EqualsIgnoreCase(algorithm, "SHA-256-sess");
    check(take(value, pos,
               ", realm=\"" + realm + "\", nonce=\"" + nonce + "\", uri=\"" + uri + "\", " +
                   (algorithm.empty() ? "" : "algorithm=" + algorithm + ", ")),
          "Digest value up to the protection");
    if (qop) {
        check(take(value, pos, "qop=auth, nc=") &&
                  takeRun(
                      value, pos, 8, [](char c) { return c >= '0' && c <= '9'; }, nc) &&
                  take(value, pos, ", "),
              "nc is not eight digits");
    }
    if (qop || session) {
        check(take(value, pos, "cnonce=\"") &&
                  takeRun(
                      value, pos, 25,
                      [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; },
                      cnonce) &&
                  take(value, pos, "\", "),
              "cnonce");
    }
    check(take(value, pos, "response=\"") &&
              takeRun(
                  value, pos, sha256 ? 64 : 32,
                  [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); },
                  response) &&
              take(value, pos, "\", "),
          "response is not a hexadecimal digest");
    if (params.HasKey("opaque")) {
        check(take(value, pos, "opaque=\"" + param("opaque") + "\""), "opaque");
    }
    check(pos == value.size(), "text after the last piece");
    // RFC 7616 as the server computes it: over the unescaped realm and nonce.
    const auto h = [&](const std::string& text) {
        return hex(
            host::Hash(sha256 ? host::HashAlgorithm::SHA256 : host::HashAlgorithm::MD5, text));
    };
    std::string ha1 = h(user + ":" + unescape(realm) + ":" + password);
    if (session) {
        ha1 = h(ha1 + ":" + unescape(nonce) + ":" + cnonce);
    }
    const std::string ha2 = h(method + ":" + uri);
    check(response ==
              (qop ? h(ha1 + ":" + unescape(nonce) + ":" + nc + ":" + cnonce + ":auth:" + ha2)
                   : h(ha1 + ":" + unescape(nonce) + ":" + ha2)),
          "response does not verify");
    return nc;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    size_t pos = 0;
    const auto field = [&]() {
        if (pos >= input.size()) {
            return std::string();
        }
        const size_t n = static_cast<unsigned char>(input[pos++]);
        std::string out = input.substr(pos, n);
        pos += out.size();
        return out;
    };
    if (input.empty()) {
        return 0;
    }
    const uint8_t flags = static_cast<uint8_t>(input[pos++]);
    const bool proxy = (flags & 1) != 0;
    const std::string method = (flags & 2) != 0 ? "POST" : "GET";
    const std::string user = field();
    const std::string password = field();
    const std::string challenge =
        ((flags & 4) != 0 ? std::string() : std::string("Digest ")) + input.substr(pos);

    Client client;
    // The parameters: non-empty names without surrounding blanks.
    const size_t blank = challenge.find(' ');
    const std::string paramText =
        blank == std::string::npos ? std::string() : challenge.substr(blank + 1);
    const host::Dictionary parsed = client._ParseAuthenticationParams(paramText);
    for (int64_t i = 0; i < parsed.Count(); ++i) {
        const std::string& key = parsed.Key(i);
        check(!key.empty() && host::Trim(key) == key, "a parameter name is empty or untrimmed");
    }

    // The challenge arrives as a header of a parsed response, as it would from a server.
    const std::string header = proxy ? "Proxy-Authenticate" : "WWW-Authenticate";
    client._ParseHeaders(std::string("HTTP/1.0 ") + (proxy ? "407" : "401") + " X\r\n" + header +
                         ": " + challenge);
    client._httpAction = method;
    client._processingURL = kURL;
    client._ParseURL(kURL);
    http::HTTPSocket::AuthenticationHandler handler = [&](const std::string&, http::HeadersRef,
                                                          std::string& u, std::string& p) {
        u = user;
        p = password;
        return true;
    };
    (proxy ? client.ProxyAuthenticationRequired : client.AuthenticationRequired) = handler;

    const std::string prefix = proxy ? "Proxy" : "WWW";
    if (!client._SetAuthentication(prefix)) {
        check(client._authenticationKey.empty() && client._proxyAuthenticationKey.empty(),
              "a refused challenge stored a value");
        return 0;
    }
    std::string value = proxy ? client._proxyAuthenticationKey : client._authenticationKey;
    check(!value.empty(), "accepted without a value");
    const std::string scheme = host::NthField(client._pageHeaders->Value(header), " ", 1);
    host::Dictionary params = client._ParseAuthenticationParams(
        host::Mid(client._pageHeaders->Value(header), host::Len(scheme) + 2));
    if (host::EqualsIgnoreCase(scheme, "Digest")) {
        const std::string nc = checkDigest(value, user, password, params, method, client._path);
        check(nc.empty() == !params.HasKey("qop") && (nc.empty() || nc == "00000001"),
              "the first use of a nonce does not count 1");
        // The same challenge again counts the nonce up.
        check(client._SetAuthentication(prefix), "second challenge refused");
        value = proxy ? client._proxyAuthenticationKey : client._authenticationKey;
        const std::string nc2 = checkDigest(value, user, password, params, method, client._path);
        check(nc.empty() || host::Val(nc2) == host::Val(nc) + 1, "nonce count does not rise");
    } else {
        check(host::EqualsIgnoreCase(scheme, "Basic") &&
                  value == "Basic " + host::EncodeBase64(user + ":" + password, 0),
              "a value for a scheme other than Basic and Digest");
    }

    // The repeat: a value that could end a line early is refused before connecting;
    // anything else travels on exactly one line of the request.
    client.SendRequest(method, kURL);
    // Credentials with a line break or NUL are refused even when Basic would encode them.
    const bool unsafe = hasControl(value) || hasLineBreakOrNul(user) || hasLineBreakOrNul(password);
    if (unsafe) {
        check(client.connects == 0 && client.ErrorCode() == http::HTTPError::UnsafeRequest,
              "an unsafe value was not refused");
        return 0;
    }
    check(client.connects == 1 && client.ErrorCode() == 0, "a safe repeat did not connect");
    client.Poll();
    const std::string line = "\r\n" + std::string(proxy ? "Proxy-Authorization" : "Authorization") +
                             ": " + value + "\r\n";
    check(client.request.find(line) != std::string::npos, "the request lacks the value's line");
    const size_t end = client.request.find("\r\n\r\n");
    check(end != std::string::npos && end + 4 == client.request.size(), "request head");
    for (size_t i = 0; i < end; ++i) {
        const char c = client.request[i];
        check((c != '\r' && c != '\n') || client.request.compare(i, 2, "\r\n") == 0 ||
                  (c == '\n' && i > 0 && client.request[i - 1] == '\r'),
              "a bare line break in the request head");
    }
    return 0;
}
