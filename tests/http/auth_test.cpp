#include "host/Crypto.h"
#include "host/Dictionary.h"
#include "http/HTTPSocket.h"
#include "support/EventLoop.h"
#include "support/ScriptedServer.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace {

using testsupport::ensureApplication;
using testsupport::runLoopUntil;

using namespace std::chrono_literals;
using testsupport::Conn;
using testsupport::ScriptedServer;
using Clock = std::chrono::steady_clock;

class Socket : public http::HTTPSocket {
public:
    using HTTPSocket::_CreateNonce;
    using HTTPSocket::_ParseAuthenticationParams;
};

// Connection i gets responses[i]; later connections get the last one.
ScriptedServer::Script answers(std::vector<std::string> responses) {
    return [responses](Conn& c) {
        c.readRequest();
        c.send(responses[std::min(c.index(), responses.size() - 1)]);
        c.close();
    };
}

std::string challenge401(const std::string& challenge, std::string_view body = "denied") {
    return ScriptedServer::httpResponse(
        401, body, challenge.empty() ? "" : "WWW-Authenticate: " + challenge + "\r\n");
}

std::string challenge407(const std::string& challenge, std::string_view body = "proxy says no") {
    return ScriptedServer::httpResponse(
        407, body, challenge.empty() ? "" : "Proxy-Authenticate: " + challenge + "\r\n");
}

const std::string kOk = ScriptedServer::httpResponse(200, "welcome");

std::string requestLine(const std::string& request) {
    return request.substr(0, request.find("\r\n"));
}

// The value of a header line of the request head, exactly as sent.
std::optional<std::string> header(const std::string& request, const std::string& name) {
    const std::string head = request.substr(0, request.find("\r\n\r\n") + 2);
    const size_t at = head.find("\r\n" + name + ": ");
    if (at == std::string::npos) {
        return std::nullopt;
    }
    const size_t from = at + 2 + name.size() + 2;
    return head.substr(from, head.find("\r\n", from) - from);
}

std::string md5Hex(const std::string& text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (const unsigned char byte : host::MD5(text)) {
        hex += kHex[byte >> 4];
        hex += kHex[byte & 15];
    }
    return hex;
}

// The pieces of a Digest credential value: quoted values unquoted, bare ones as they are.
// Keeps whether each value was quoted and the order the names came in.
struct DigestValue {
    std::map<std::string, std::string> fields;
    std::map<std::string, bool> quoted;
    std::vector<std::string> order;
};

DigestValue parseDigest(const std::string& value) {
    DigestValue d;
    EXPECT_EQ(value.rfind("Digest ", 0), 0u) << value;
    size_t i = 7;
    while (i < value.size()) {
        const size_t eq = value.find('=', i);
        if (eq == std::string::npos) {
            break;
        }
        const std::string name = value.substr(i, eq - i);
        std::string v;
        size_t end;
        if (value[eq + 1] == '"') {
            end = value.find('"', eq + 2);
            v = value.substr(eq + 2, end - eq - 2);
            ++end;
            d.quoted[name] = true;
        } else {
            end = value.find(',', eq + 1);
            v = value.substr(eq + 1, end - eq - 1);
            d.quoted[name] = false;
        }
        d.fields[name] = v;
        d.order.push_back(name);
        if (end >= value.size() || value.compare(end, 2, ", ") != 0) {
            break;
        }
        i = end + 2;
    }
    return d;
}

bool isNonceText(const std::string& s) {
    return s.size() == 25 && std::all_of(s.begin(), s.end(), [](char c) {
               return std::isalnum(static_cast<unsigned char>(c)) != 0;
           });
}

// Counts the raisings of an authentication event and answers them.
struct Credentials {
    std::string user = "u";
    std::string password = "p";
    int answerTrueTimes = 1000;
    int calls = 0;
    std::vector<std::string> realms;
    std::vector<http::HeadersRef> headers;
    std::vector<std::pair<std::string, std::string>> startedWith;

    http::HTTPSocket::AuthenticationHandler handler() {
        return
            [this](const std::string& realm, http::HeadersRef h, std::string& u, std::string& p) {
                ++calls;
                realms.push_back(realm);
                headers.push_back(h);
                startedWith.emplace_back(u, p);
                u = user;
                p = password;
                return calls <= answerTrueTimes;
            };
    }
};

class AuthTest : public ::testing::Test {
protected:
    void SetUp() override { ensureApplication(); }
};

// --- Basic -----------------------------------------------------------------------------------

TEST_F(AuthTest, BasicRetryCarriesTheValueOnceAndOnlyOnce) {
    ScriptedServer server(answers({challenge401("Basic realm=\"tamsel\""), kOk}));
    Socket s;
    Credentials creds;
    s.AuthenticationRequired = creds.handler();
    EXPECT_EQ(s.Get(server.url("/private"), 5), "welcome");
    EXPECT_EQ(s.HTTPStatusCode(), 200);
    EXPECT_EQ(s.ErrorCode(), 0);
    ASSERT_EQ(creds.calls, 1);
    EXPECT_EQ(creds.realms[0], "tamsel");
    EXPECT_EQ(creds.startedWith[0], std::make_pair(std::string(), std::string()));
    ASSERT_NE(creds.headers[0], nullptr);
    EXPECT_EQ(creds.headers[0]->Value("WWW-Authenticate"), "Basic realm=\"tamsel\"");

    // The next request on the object goes out without credentials.
    EXPECT_EQ(s.Get(server.url("/private"), 5), "welcome");
    ASSERT_TRUE(server.waitForRequest(2));
    EXPECT_EQ(header(server.receivedBytes(0), "Authorization"), std::nullopt);
    EXPECT_EQ(header(server.receivedBytes(1), "Authorization"), "Basic dTpw"); // u:p
    EXPECT_EQ(requestLine(server.receivedBytes(1)), "GET /private HTTP/1.0");
    EXPECT_EQ(header(server.receivedBytes(2), "Authorization"), std::nullopt);
    EXPECT_EQ(server.connectionCount(), 3u);
}

TEST_F(AuthTest, EmptyCredentialsAndAnyLetterCaseOfTheSchemeStillRetry) {
    struct Case {
        std::string challenge, user, password, expectedStart;
    };
    const std::vector<Case> cases = {
        {"Basic realm=\"r\"", "", "", "Basic Og=="}, // the encoding of a lone ":"
        {"basic realm=\"r\"", "u", "p", "Basic dTpw"},
        {"BASIC realm=\"r\"", "Aladdin", "open sesame", "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ=="},
        {"DIGEST realm=\"r\", nonce=\"n\"", "u", "p", "Digest username=\"u\", realm=\"r\""},
        {"digest realm=\"r\", nonce=\"n\"", "u", "p", "Digest username=\"u\", realm=\"r\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.challenge);
        ScriptedServer server(answers({challenge401(c.challenge), kOk}));
        Socket s;
        Credentials creds;
        creds.user = c.user;
        creds.password = c.password;
        s.AuthenticationRequired = creds.handler();
        EXPECT_EQ(s.Get(server.url(), 5), "welcome");
        ASSERT_TRUE(server.waitForRequest(1));
        const auto sent = header(server.receivedBytes(1), "Authorization");
        ASSERT_TRUE(sent.has_value());
        EXPECT_EQ(sent->substr(0, c.expectedStart.size()), c.expectedStart) << *sent;
        if (c.expectedStart.rfind("Basic", 0) == 0) {
            EXPECT_EQ(*sent, c.expectedStart);
        }
    }
}

// --- Digest ----------------------------------------------------------------------------------

TEST_F(AuthTest, DigestValueMatchesItsOwnFieldsAndTheRequestTarget) {
    struct Case {
        std::string name;
        std::string method;
        bool proxy;
        int status;
        std::string url; // with the server's port filled in for direct requests
    };
    const std::vector<Case> cases = {
        {"direct GET", "GET", false, 401, "/dir/file.txt?q=1&r=2"},
        {"direct POST", "POST", false, 401, "/form"},
        {"origin through a proxy", "GET", true, 401, "http://origin.invalid:8080/a/b?x=y"},
        {"proxy itself", "GET", true, 407, "http://origin.invalid/page"},
    };
    const std::string realm = "tamsel digest";
    const std::string nonce = "dcd98b7102dd2f0e8b11d0f600bfb0c093";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string params =
            "realm=\"" + realm + "\", qop=\"auth\", nonce=\"" + nonce + "\", opaque=\"5ccc069c\"";
        ScriptedServer server(answers(
            {c.status == 401 ? challenge401("Digest " + params) : challenge407("Digest " + params),
             kOk}));
        Socket s;
        Credentials creds;
        creds.user = "Mufasa";
        creds.password = "Circle Of Life";
        s.AuthenticationRequired = creds.handler();
        s.ProxyAuthenticationRequired = creds.handler();
        std::string url = c.url;
        if (c.proxy) {
            s.HTTPProxyAddress = "127.0.0.1";
            s.HTTPProxyPort = server.port();
        } else {
            url = server.url(c.url);
        }
        if (c.method == "POST") {
            s.SetRequestContent("a=1", "application/x-www-form-urlencoded");
            EXPECT_EQ(s.Post(url, 5), "welcome");
        } else {
            EXPECT_EQ(s.Get(url, 5), "welcome");
        }
        ASSERT_EQ(creds.calls, 1);
        EXPECT_EQ(creds.realms[0], realm);
        ASSERT_TRUE(server.waitForRequest(1));
        const std::string request = server.receivedBytes(1);
        const std::string line = requestLine(request);
        const std::string target =
            line.substr(line.find(' ') + 1, line.rfind(' ') - line.find(' ') - 1);
        EXPECT_EQ(target, c.url) << "the whole URL through a proxy, else the path";

        const char* headerName = c.status == 401 ? "Authorization" : "Proxy-Authorization";
        const char* otherName = c.status == 401 ? "Proxy-Authorization" : "Authorization";
        const auto sent = header(request, headerName);
        ASSERT_TRUE(sent.has_value()) << request;
        EXPECT_EQ(header(request, otherName), std::nullopt);

        DigestValue d = parseDigest(*sent);
        EXPECT_EQ(d.order, (std::vector<std::string>{"username", "realm", "nonce", "uri", "qop",
                                                     "nc", "cnonce", "response", "opaque"}));
        EXPECT_EQ(d.fields["username"], "Mufasa");
        EXPECT_EQ(d.fields["realm"], realm);
        EXPECT_EQ(d.fields["nonce"], nonce);
        EXPECT_EQ(d.fields["uri"], target) << "uri must be the request target as sent";
        EXPECT_EQ(d.fields["qop"], "auth");
        EXPECT_FALSE(d.quoted["qop"]);
        EXPECT_EQ(d.fields["nc"], "00000001");
        EXPECT_FALSE(d.quoted["nc"]);
        EXPECT_TRUE(isNonceText(d.fields["cnonce"])) << d.fields["cnonce"];
        EXPECT_EQ(d.fields["opaque"], "5ccc069c");

        const std::string ha1 = md5Hex("Mufasa:" + realm + ":Circle Of Life");
        const std::string ha2 = md5Hex(c.method + ":" + target);
        EXPECT_EQ(d.fields["response"],
                  md5Hex(ha1 + ":" + nonce + ":00000001:" + d.fields["cnonce"] + ":auth:" + ha2));

        // The whole value, piece by piece, with nothing else in it.
        EXPECT_EQ(*sent, "Digest username=\"Mufasa\", realm=\"" + realm + "\", nonce=\"" + nonce +
                             "\", uri=\"" + target + "\", qop=auth, nc=00000001, cnonce=\"" +
                             d.fields["cnonce"] + "\", response=\"" + d.fields["response"] +
                             "\", opaque=\"5ccc069c\"");
    }
}

std::string hashHex(host::HashAlgorithm algorithm, const std::string& text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (const unsigned char byte : host::Hash(algorithm, text)) {
        hex += kHex[byte >> 4];
        hex += kHex[byte & 15];
    }
    return hex;
}

// A server that checks the answer the way its challenge asked for it (RFC 7616, and RFC 2069
// when it names no qop) and lets the page through only when it verifies.
TEST_F(AuthTest, DigestAnswersTheQopAndAlgorithmTheChallengeNames) {
    struct Case {
        std::string params; // after realm and nonce
        std::string algorithm;
        bool qop;
        std::vector<std::string> order;
    };
    const std::vector<Case> cases = {
        {"", "", false, {"username", "realm", "nonce", "uri", "response"}},
        {", algorithm=MD5",
         "MD5",
         false,
         {"username", "realm", "nonce", "uri", "algorithm", "response"}},
        {", qop=\"auth\", algorithm=MD5-sess",
         "MD5-sess",
         true,
         {"username", "realm", "nonce", "uri", "algorithm", "qop", "nc", "cnonce", "response"}},
        {", qop=\"auth-int,auth\", algorithm=SHA-256",
         "SHA-256",
         true,
         {"username", "realm", "nonce", "uri", "algorithm", "qop", "nc", "cnonce", "response"}},
        {", qop=\"auth\", algorithm=\"SHA-256-sess\"",
         "SHA-256-sess",
         true,
         {"username", "realm", "nonce", "uri", "algorithm", "qop", "nc", "cnonce", "response"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.params);
        const bool sha = c.algorithm.rfind("SHA-256", 0) == 0;
        const bool session = c.algorithm.ends_with("-sess");
        const auto h = [&](const std::string& text) {
            return hashHex(sha ? host::HashAlgorithm::SHA256 : host::HashAlgorithm::MD5, text);
        };
        ScriptedServer server([&](Conn& conn) {
            const std::string request = conn.readRequest();
            const auto sent = header(request, "Authorization");
            if (!sent) {
                conn.send(challenge401("Digest realm=\"r\", nonce=\"n0\"" + c.params));
                conn.close();
                return;
            }
            DigestValue d = parseDigest(*sent);
            std::string ha1 = h("u:r:p");
            if (session) {
                ha1 = h(ha1 + ":n0:" + d.fields["cnonce"]);
            }
            const std::string ha2 = h("GET:" + d.fields["uri"]);
            const std::string expected =
                c.qop ? h(ha1 + ":n0:" + d.fields["nc"] + ":" + d.fields["cnonce"] + ":auth:" + ha2)
                      : h(ha1 + ":n0:" + ha2);
            const bool ok = d.order == c.order && d.fields["algorithm"] == c.algorithm &&
                            !d.quoted["algorithm"] && d.fields["response"] == expected;
            conn.send(ok ? kOk : challenge401("", "wrong answer"));
            conn.close();
        });
        Socket s;
        Credentials creds;
        s.AuthenticationRequired = creds.handler();
        EXPECT_EQ(s.Get(server.url("/d"), 5), "welcome");
        EXPECT_EQ(creds.calls, 1);
    }
    // An algorithm the client cannot compute is not answered: the 401 is the page.
    ScriptedServer server(
        answers({challenge401("Digest realm=\"r\", nonce=\"n\", algorithm=SHA-512-256"), kOk}));
    Socket s;
    Credentials creds;
    s.AuthenticationRequired = creds.handler();
    EXPECT_EQ(s.Get(server.url(), 5), "denied");
    EXPECT_EQ(s.HTTPStatusCode(), 401);
    EXPECT_EQ(server.connectionCount(), 1u);
}

TEST_F(AuthTest, DigestWithoutOpaqueEndsWithCommaAndBlank) {
    ScriptedServer server(answers({challenge401("Digest realm=\"r\", nonce=\"n\""), kOk}));
    Socket s;
    Credentials creds;
    s.AuthenticationRequired = creds.handler();
    EXPECT_EQ(s.Get(server.url(), 5), "welcome");
    ASSERT_TRUE(server.waitForRequest(1));
    const auto sent = header(server.receivedBytes(1), "Authorization");
    ASSERT_TRUE(sent.has_value());
    EXPECT_EQ(sent->find("opaque"), std::string::npos);
    const DigestValue d = parseDigest(*sent);
    ASSERT_EQ(d.order.back(), "response");
    const std::string tail = "response=\"" + d.fields.at("response") + "\", ";
    ASSERT_GE(sent->size(), tail.size());
    EXPECT_EQ(sent->substr(sent->size() - tail.size()), tail);
}

TEST_F(AuthTest, NonceCountRisesPerServerNonceAndRetriesStopAfterTen) {
    // A server that rejects every try, always with the same nonce; then a second request on
    // the object, accepted on its first repeat.
    const std::string reject =
        challenge401("Digest realm=\"r\", qop=\"auth\", nonce=\"fixed\"", "still no");
    std::vector<std::string> responses(12, reject);
    responses.push_back(kOk);
    ScriptedServer server(answers(responses));
    Socket s;
    Credentials creds;
    s.AuthenticationRequired = creds.handler();

    EXPECT_EQ(s.Get(server.url(), 10), "still no");
    EXPECT_EQ(s.HTTPStatusCode(), 401) << "after ten repeats the 401 is delivered as a page";
    EXPECT_EQ(s.ErrorCode(), 0);
    EXPECT_EQ(creds.calls, 10);
    ASSERT_TRUE(server.waitForRequest(10));
    EXPECT_EQ(server.connectionCount(), 11u);
    EXPECT_EQ(header(server.receivedBytes(0), "Authorization"), std::nullopt);
    for (size_t i = 1; i <= 10; ++i) {
        SCOPED_TRACE(i);
        const auto sent = header(server.receivedBytes(i), "Authorization");
        ASSERT_TRUE(sent.has_value());
        char nc[9];
        std::snprintf(nc, sizeof nc, "%08zu", i);
        EXPECT_EQ(parseDigest(*sent).fields["nc"], nc);
    }

    // The limit is per request, and the count of the nonce lives on with the object.
    EXPECT_EQ(s.Get(server.url(), 10), "welcome");
    EXPECT_EQ(creds.calls, 11);
    ASSERT_TRUE(server.waitForRequest(12));
    EXPECT_EQ(parseDigest(*header(server.receivedBytes(12), "Authorization")).fields["nc"],
              "00000011");
}

TEST_F(AuthTest, ChallengeWithoutNonceReusesTheLastOne) {
    ScriptedServer server(answers({challenge401("Digest realm=\"r\", qop=auth, nonce=\"first\""),
                                   challenge401("Digest realm=\"r\", qop=auth"), kOk}));
    Socket s;
    Credentials creds;
    s.AuthenticationRequired = creds.handler();
    EXPECT_EQ(s.Get(server.url(), 5), "welcome");
    ASSERT_TRUE(server.waitForRequest(2));
    const DigestValue second = parseDigest(*header(server.receivedBytes(2), "Authorization"));
    EXPECT_EQ(second.fields.at("nonce"), "first");
    EXPECT_EQ(second.fields.at("nc"), "00000002");
}

// --- proxies ---------------------------------------------------------------------------------

TEST_F(AuthTest, ProxyChallengeRaisesTheProxyEventAndFillsProxyAuthorization) {
    ScriptedServer proxy(answers({challenge407("Basic realm=\"the proxy\""), kOk}));
    Socket s;
    s.HTTPProxyAddress = "127.0.0.1";
    s.HTTPProxyPort = proxy.port();
    Credentials server;
    Credentials viaProxy;
    s.AuthenticationRequired = server.handler();
    s.ProxyAuthenticationRequired = viaProxy.handler();
    EXPECT_EQ(s.Get("http://origin.invalid/page", 5), "welcome");
    EXPECT_EQ(server.calls, 0);
    ASSERT_EQ(viaProxy.calls, 1);
    EXPECT_EQ(viaProxy.realms[0], "the proxy");
    ASSERT_TRUE(proxy.waitForRequest(1));
    const std::string retried = proxy.receivedBytes(1);
    EXPECT_EQ(requestLine(retried), "GET http://origin.invalid/page HTTP/1.0");
    EXPECT_EQ(header(retried, "Host"), "origin.invalid");
    EXPECT_EQ(header(retried, "Proxy-Authorization"), "Basic dTpw");
    EXPECT_EQ(header(retried, "Authorization"), std::nullopt);
    EXPECT_EQ(header(proxy.receivedBytes(0), "Proxy-Authorization"), std::nullopt);
}

// --- answers that are not retried ------------------------------------------------------------

TEST_F(AuthTest, UnknownSchemeOrMissingChallengeIsDeliveredAsAPage) {
    struct Case {
        std::string name, response;
        int status;
    };
    const std::vector<Case> cases = {
        {"unknown scheme", challenge401("Negotiate YIIB", "negotiate first"), 401},
        {"no challenge", challenge401("", "no challenge"), 401},
        {"proxy, no challenge", challenge407("", "proxy: no challenge"), 407},
        {"proxy, unknown scheme", challenge407("NTLM", "ntlm only"), 407},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server(answers({c.response, kOk}));
        Socket s;
        s.HTTPProxyAddress = c.status == 407 ? "127.0.0.1" : "";
        s.HTTPProxyPort = server.port();
        Credentials creds;
        s.AuthenticationRequired = creds.handler();
        s.ProxyAuthenticationRequired = creds.handler();
        const std::string body = c.response.substr(c.response.find("\r\n\r\n") + 4);
        EXPECT_EQ(s.Get(server.url(), 5), body);
        EXPECT_EQ(s.HTTPStatusCode(), c.status);
        EXPECT_EQ(s.ErrorCode(), 0);
        EXPECT_EQ(creds.calls, 1) << "the event is raised first all the same";
        EXPECT_EQ(creds.realms.at(0), "");
        EXPECT_FALSE(server.waitForConnections(2, 200ms)) << "no repeat";
    }
}

TEST_F(AuthTest, HandlerThatDeclinesGetsTheChallengeAsAPage) {
    ScriptedServer server(answers({challenge401("Basic realm=\"r\"", "go away"), kOk}));
    Socket s;
    Credentials creds;
    creds.answerTrueTimes = 0;
    s.AuthenticationRequired = creds.handler();
    EXPECT_EQ(s.Get(server.url(), 5), "go away");
    EXPECT_EQ(s.HTTPStatusCode(), 401);
    EXPECT_EQ(creds.calls, 1);

    // Without a handler at all, likewise.
    Socket u;
    ScriptedServer always(answers({challenge401("Basic realm=\"r\"", "go away")}));
    EXPECT_EQ(u.Get(always.url(), 5), "go away");
    EXPECT_FALSE(always.waitForConnections(2, 200ms));
}

TEST_F(AuthTest, LineBreakOrNulInCredentialsNeverReachesTheWire) {
    const std::vector<std::string> bad = {"\r", "\n", std::string(1, '\0'), "\r\nX-Injected: 1"};
    for (const std::string& b : bad) {
        for (const bool inPassword : {false, true}) {
            SCOPED_TRACE(testing::Message()
                         << "byte " << int(b[0]) << (inPassword ? " password" : " user"));
            ScriptedServer server(answers({challenge401("Basic realm=\"r\""), kOk}));
            Socket s;
            Credentials creds;
            (inPassword ? creds.password : creds.user) += b;
            creds.answerTrueTimes = 1;
            s.AuthenticationRequired = creds.handler();
            EXPECT_EQ(s.Get(server.url(), 5), "");
            EXPECT_EQ(s.ErrorCode(), http::HTTPError::UnsafeRequest);
            EXPECT_FALSE(server.waitForConnections(2, 200ms)) << "the repeat must not connect";

            // The object stays usable, and the refused credentials are gone.
            EXPECT_EQ(s.Get(server.url(), 5), "welcome");
            EXPECT_EQ(s.ErrorCode(), 0);
            ASSERT_TRUE(server.waitForRequest(1));
            EXPECT_EQ(header(server.receivedBytes(1), "Authorization"), std::nullopt);
        }
    }
}

// --- events in both modes --------------------------------------------------------------------

TEST_F(AuthTest, AuthenticationEventsAreRaisedForAsynchronousRequestsToo) {
    ScriptedServer server(answers({challenge401("Basic realm=\"async\""), kOk}));
    Socket s;
    Credentials creds;
    s.AuthenticationRequired = creds.handler();
    std::vector<int64_t> headerStatuses;
    std::string page;
    int64_t pageStatus = 0;
    bool done = false;
    s.HeadersReceived = [&](http::HeadersRef, int64_t status) { headerStatuses.push_back(status); };
    s.PageReceived = [&](const std::string&, int64_t status, http::HeadersRef,
                         const std::string& body) {
        page = body;
        pageStatus = status;
        done = true;
    };
    s.Get(server.url());
    ASSERT_TRUE(runLoopUntil([&] { return done; }));
    EXPECT_EQ(creds.calls, 1);
    EXPECT_EQ(creds.realms.at(0), "async");
    EXPECT_EQ(page, "welcome");
    EXPECT_EQ(pageStatus, 200);
    EXPECT_EQ(headerStatuses, std::vector<int64_t>{200}) << "the retried 401 is handled no further";

    // Unsafe credentials in asynchronous use are reported through Error.
    ScriptedServer second(answers({challenge401("Basic realm=\"r\""), kOk}));
    Socket t;
    Credentials badCreds;
    badCreds.user = "a\nb";
    t.AuthenticationRequired = badCreds.handler();
    std::vector<int64_t> errors;
    t.Error = [&](int64_t code) { errors.push_back(code); };
    t.Get(second.url());
    ASSERT_TRUE(runLoopUntil([&] { return !errors.empty(); }));
    EXPECT_EQ(errors, std::vector<int64_t>{http::HTTPError::UnsafeRequest});
}

// --- the pieces ------------------------------------------------------------------------------

TEST_F(AuthTest, ClientNonceIsTwentyFiveCharactersFromDigitsAndLetters) {
    Socket s;
    std::set<char> seen;
    std::set<std::string> nonces;
    for (int i = 0; i < 400; ++i) {
        const std::string n = s._CreateNonce();
        ASSERT_TRUE(isNonceText(n)) << n;
        seen.insert(n.begin(), n.end());
        nonces.insert(n);
    }
    EXPECT_EQ(nonces.size(), 400u);
    EXPECT_EQ(seen.size(), 62u) << "every digit and letter of either case turns up";
    Socket other;
    EXPECT_EQ(nonces.count(other._CreateNonce()), 0u);
}

TEST_F(AuthTest, ChallengeParametersAreReadQuotedOrBare) {
    Socket s;
    const host::Dictionary p = s._ParseAuthenticationParams(
        "realm=\"a, b\",nonce=abc ,  qop=\"auth,auth-int\", opaque=\"x\\\"y\", stale=FALSE,"
        " realm=\"later\"");
    EXPECT_EQ(p.Value("REALM").StringValue(), "later") << "a later element replaces an earlier";
    EXPECT_EQ(p.Value("nonce").StringValue(), "abc");
    EXPECT_EQ(p.Value("qop").StringValue(), "auth,auth-int");
    EXPECT_EQ(p.Value("opaque").StringValue(), "x\\\"y") << "escapes are kept";
    EXPECT_EQ(p.Value("stale").StringValue(), "FALSE");
    EXPECT_EQ(p.Count(), 5);
    EXPECT_EQ(s._ParseAuthenticationParams("").Count(), 0);
}

} // namespace
