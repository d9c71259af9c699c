#include "host/Dictionary.h"
#include "host/Exceptions.h"
#include "host/Storage.h"
#include "http/HTTPSocket.h"
#include "support/EventLoop.h"
#include "support/RealServers.h"
#include "support/ScriptedServer.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace {

using testsupport::ensureApplication;
using testsupport::runLoopFor;
using testsupport::runLoopUntil;

using namespace std::chrono_literals;
using testsupport::Conn;
using testsupport::ScriptedServer;
using Clock = std::chrono::steady_clock;

// Opens the client's internal steps to the tests.
class Client : public http::HTTPSocket {
public:
    using HTTPSocket::_DefaultPort;
    using HTTPSocket::_DoConnect;
    using HTTPSocket::_EncodeHex;
    using HTTPSocket::_EncodeURLString;
    using HTTPSocket::_ParseURL;
    using HTTPSocket::_path;
    using HTTPSocket::_server;
    using HTTPSocket::mErrorCode;
};

// What the asynchronous events of one client reported.
struct Outcome {
    int pages = 0;
    std::vector<int64_t> errors;
    int64_t status = 0;
    std::string body;

    void attach(http::HTTPSocket& s) {
        s.PageReceived = [this](const std::string&, int64_t code, http::HeadersRef,
                                const std::string& content) {
            ++pages;
            status = code;
            body = content;
        };
        s.Error = [this](int64_t code) { errors.push_back(code); };
    }
    bool ended() const { return pages > 0 || !errors.empty(); }
};

std::string port(const ScriptedServer& server) {
    return std::to_string(server.port());
}

class RequestTest : public ::testing::Test {
protected:
    void SetUp() override { ensureApplication(); }

    // Every connection gets a short page, so each request ends on its own.
    ScriptedServer server{[](Conn& c) {
        c.readRequest();
        c.send(ScriptedServer::httpResponse(200, "ok"));
        c.close();
    }};

    std::string hostPort() const { return "127.0.0.1:" + port(server); }

    // Runs one asynchronous request started by `start` to its page and returns the bytes
    // the server received on that connection.
    // A HEAD request raises no page event; its headers end the wait instead.
    std::string exchange(http::HTTPSocket& s, const std::function<void()>& start,
                         bool head = false) {
        const size_t index = server.connectionCount();
        Outcome outcome;
        outcome.attach(s);
        bool headers = false;
        s.HeadersReceived = [&](http::HeadersRef, int64_t) { headers = true; };
        start();
        EXPECT_TRUE(runLoopUntil([&] { return head ? headers : outcome.ended(); }))
            << "no answer arrived";
        EXPECT_EQ(outcome.pages, head ? 0 : 1);
        EXPECT_TRUE(outcome.errors.empty());
        EXPECT_EQ(outcome.body, head ? "" : "ok");
        s.HeadersReceived = nullptr;
        EXPECT_TRUE(server.waitForRequest(index));
        return server.receivedBytes(index);
    }
};

// --- the request bytes -------------------------------------------------------------------

TEST_F(RequestTest, GetOnNewObjectWritesExactlyTheDocumentedBytes) {
    Client s;
    const std::string expected = "GET /app/version HTTP/1.0\r\n"
                                 "Accept: */*\r\n"
                                 "Accept-Language: en\r\n"
                                 "Host: 127.0.0.1:" +
                                 port(server) +
                                 "\r\n"
                                 "\r\n";
    exchange(s, [&] { s.Get(server.url("/app/version")); });
    // After the server has seen the client close, nothing more can follow the request.
    ASSERT_TRUE(server.waitUntilIdle());
    EXPECT_EQ(server.receivedBytes(0), expected);
}

TEST_F(RequestTest, UrlShapesGiveTargetHostAndPort) {
    {
        // No scheme and no port text: the socket's port from before is kept.
        Client s;
        s.Port = server.port();
        const std::string bytes = exchange(s, [&] { s.Get("127.0.0.1/x"); });
        EXPECT_EQ(bytes.substr(0, bytes.find("\r\n")), "GET /x HTTP/1.0");
        EXPECT_NE(bytes.find("\r\nHost: 127.0.0.1\r\n"), std::string::npos) << bytes;
    }
    {
        // An authority without a path asks for "/" and names the authority as Host.
        Client s;
        const std::string bytes = exchange(s, [&] { s.Get("http://" + hostPort()); });
        EXPECT_EQ(bytes.substr(0, bytes.find("\r\n")), "GET / HTTP/1.0");
        EXPECT_NE(bytes.find("\r\nHost: " + hostPort() + "\r\n"), std::string::npos) << bytes;
    }
    {
        // A port text without leading digits counts as no port.
        Client s;
        s._ParseURL("http://example.invalid:abc/p");
        EXPECT_EQ(s.Port, 80);
        EXPECT_EQ(s.Address, "example.invalid");
        EXPECT_EQ(s._server, "example.invalid:abc");
        s.Port = server.port();
        const std::string bytes = exchange(s, [&] { s.Get("http://127.0.0.1:abc/p"); });
        EXPECT_EQ(bytes.substr(0, bytes.find("\r\n")), "GET /p HTTP/1.0");
        EXPECT_NE(bytes.find("\r\nHost: 127.0.0.1:abc\r\n"), std::string::npos) << bytes;
    }
    {
        // A bracketed IPv6 literal: the address inside the brackets, the port after them,
        // and the Host line as written.
        Client s;
        s._ParseURL("http://[::1]:8081/v6");
        EXPECT_EQ(s.Address, "::1");
        EXPECT_EQ(s.Port, 8081);
        EXPECT_EQ(s._server, "[::1]:8081");
        EXPECT_EQ(s._path, "/v6");
        // The scheme's letter case does not matter, and a "://" in the query is no scheme.
        const std::string bytes =
            exchange(s, [&] { s.Get("HTTP://" + hostPort() + "/c?next=http://x/"); });
        EXPECT_EQ(bytes.substr(0, bytes.find("\r\n")), "GET /c?next=http://x/ HTTP/1.0");
    }
    {
        // A URL that would go somewhere other than it says, or in clear when it asks for
        // encryption, is refused before any lookup or byte, with an error of its own.
        const size_t before = server.connectionCount();
        for (const std::string& url :
             {"https://" + hostPort() + "/?token=t", "FTP://" + hostPort() + "/f",
              "http://" + hostPort() + "@example.invalid/", "http://u:p@" + hostPort() + "/",
              "http://[::1:" + port(server) + "/"}) {
            SCOPED_TRACE(url);
            Client s;
            Outcome outcome;
            outcome.attach(s);
            s.Get(url);
            EXPECT_EQ(outcome.errors, std::vector<int64_t>{http::HTTPError::UnsupportedURL});
            EXPECT_EQ(s.Get(url, 2), "");
            EXPECT_EQ(s.ErrorCode(), http::HTTPError::UnsupportedURL);
        }
        EXPECT_FALSE(server.waitForConnections(before + 1, 200ms)) << "a refused URL connected";
    }
    {
        Client s;
        s._ParseURL("http://example.invalid:8080/a#frag");
        EXPECT_EQ(s.Port, 8080);
        EXPECT_EQ(s.Address, "example.invalid");
        EXPECT_EQ(s._server, "example.invalid:8080");
        EXPECT_EQ(s._path, "/a#frag");
        // The next URL without a port keeps 8080.
        s._ParseURL("example.invalid/b");
        EXPECT_EQ(s.Port, 8080);
        EXPECT_EQ(s._server, "example.invalid");
    }
}

TEST_F(RequestTest, SecondRequestWithoutPortConnectsToThePreviousPort) {
    Client s;
    exchange(s, [&] { s.Get(server.url("/first")); });
    const std::string bytes = exchange(s, [&] { s.Get("http://127.0.0.1/second"); });
    EXPECT_EQ(server.connectionCount(), 2u);
    EXPECT_EQ(bytes.substr(0, bytes.find("\r\n")), "GET /second HTTP/1.0");
    EXPECT_NE(bytes.find("\r\nHost: 127.0.0.1\r\n"), std::string::npos) << bytes;
}

TEST_F(RequestTest, ProxyGetsTheConnectionAndTheWholeUrl) {
    const std::string url = "http://example.invalid:81/p/q?x=1";
    {
        Client s;
        s.HTTPProxyAddress = "127.0.0.1";
        s.HTTPProxyPort = server.port();
        const std::string bytes = exchange(s, [&] { s.Get(url); });
        EXPECT_EQ(bytes.substr(0, bytes.find("\r\n")), "GET " + url + " HTTP/1.0");
        EXPECT_NE(bytes.find("\r\nHost: example.invalid:81\r\n"), std::string::npos) << bytes;
    }
    {
        // Proxy port 0 stands for the default port.
        Client s;
        s._DefaultPort = server.port();
        s.HTTPProxyAddress = "127.0.0.1";
        const std::string bytes = exchange(s, [&] { s.Get(url); });
        EXPECT_EQ(s.Port, server.port());
        EXPECT_EQ(bytes.substr(0, bytes.find("\r\n")), "GET " + url + " HTTP/1.0");
    }
}

// --- bodies and the headers they bring -----------------------------------------------------

TEST_F(RequestTest, HeadDropsTheStoredBodyForGood) {
    Client s;
    static_cast<http::_SOAPSocket&>(s).SetPostContent("a=1", "application/x-www-form-urlencoded");
    const std::string head = exchange(
        s, [&] { s.SendRequest("HEAD", server.url("/h")); }, true);
    EXPECT_EQ(head, "HEAD /h HTTP/1.0\r\nAccept: */*\r\nAccept-Language: en\r\nHost: " +
                        hostPort() + "\r\n\r\n");
    const std::string post = exchange(s, [&] { s.Post(server.url("/p")); });
    EXPECT_EQ(post, "POST /p HTTP/1.0\r\nAccept: */*\r\nAccept-Language: en\r\nHost: " +
                        hostPort() + "\r\n\r\n");
}

TEST_F(RequestTest, PostWithEmptyBodyHasNoContentLength) {
    Client s;
    s.SetRequestContent("", "text/plain");
    const std::string bytes = exchange(s, [&] { s.Post(server.url("/p")); });
    EXPECT_EQ(bytes, "POST /p HTTP/1.0\r\nAccept: */*\r\nAccept-Language: en\r\nHost: " +
                         hostPort() + "\r\nContent-type: text/plain\r\n\r\n");
}

TEST_F(RequestTest, StoredBodyGoesOutAgainAndContentTypeLingers) {
    Client s;
    const std::string hostLine = "Host: " + hostPort() + "\r\n";
    s.SetRequestContent("hello", "text/plain");
    const std::string post = exchange(s, [&] { s.Post(server.url("/p")); });
    EXPECT_EQ(post, "POST /p HTTP/1.0\r\nAccept: */*\r\nAccept-Language: en\r\n" + hostLine +
                        "Content-type: text/plain\r\nContent-length: 5\r\n\r\nhello");
    // Any later method but HEAD carries the stored body again.
    const std::string put = exchange(s, [&] { s.SendRequest("PUT", server.url("/u")); });
    EXPECT_EQ(put, "PUT /u HTTP/1.0\r\nAccept: */*\r\nAccept-Language: en\r\n" + hostLine +
                       "Content-type: text/plain\r\nContent-length: 5\r\n\r\nhello");

    // Emptying body and media type leaves the Content-type line in the request headers.
    s.SetRequestContent("", "");
    const std::string get = exchange(s, [&] { s.Get(server.url("/g")); });
    EXPECT_EQ(get, "GET /g HTTP/1.0\r\nAccept: */*\r\nAccept-Language: en\r\n" + hostLine +
                       "Content-type: text/plain\r\n\r\n");
    s.SetRequestHeader("Content-type", "");
    const std::string clean = exchange(s, [&] { s.Get(server.url("/g")); });
    EXPECT_EQ(clean,
              "GET /g HTTP/1.0\r\nAccept: */*\r\nAccept-Language: en\r\n" + hostLine + "\r\n");

    // ClearRequestHeaders does not bring the defaults back.
    s.SetRequestContent("x", "text/plain");
    exchange(s, [&] { s.Post(server.url("/p")); });
    s.SetRequestContent("", "");
    s.ClearRequestHeaders();
    const std::string bare = exchange(s, [&] { s.Get(server.url("/b")); });
    EXPECT_EQ(bare, "GET /b HTTP/1.0\r\n" + hostLine + "\r\n");
}

TEST_F(RequestTest, SetRequestHeaderEmptyDeletesEveryInstanceAndValueLeavesOne) {
    Client s;
    s.GetRequestHeaders()->AppendHeader("X-Tag", "one");
    s.GetRequestHeaders()->AppendHeader("X-Tag", "two");
    const std::string both = exchange(s, [&] { s.Get(server.url("/")); });
    EXPECT_NE(both.find("X-Tag: one\r\nX-Tag: two\r\n"), std::string::npos) << both;

    s.SetRequestHeader("x-tag", "");
    const std::string none = exchange(s, [&] { s.Get(server.url("/")); });
    EXPECT_EQ(none.find("X-Tag"), std::string::npos) << none;

    s.GetRequestHeaders()->AppendHeader("X-Tag", "one");
    s.GetRequestHeaders()->AppendHeader("X-Tag", "two");
    s.SetRequestHeader("X-Tag", "three");
    const std::string one = exchange(s, [&] { s.Get(server.url("/")); });
    EXPECT_NE(one.find("X-Tag: three\r\n"), std::string::npos) << one;
    EXPECT_EQ(one.find("X-Tag: one"), std::string::npos) << one;
    EXPECT_EQ(one.find("X-Tag: two"), std::string::npos) << one;
}

TEST_F(RequestTest, FormDataIsPostedEncodedInKeyOrder) {
    Client s;
    host::Dictionary form;
    form.SetValue("b key", "x&y=z");
    form.SetValue("a", int64_t(42));
    s.SetFormData(&form);
    const std::string bytes = exchange(s, [&] { s.Post(server.url("/form")); });
    const std::string body = "b+key=x%26y%3Dz&a=42";
    EXPECT_EQ(bytes,
              "POST /form HTTP/1.0\r\nAccept: */*\r\nAccept-Language: en\r\nHost: " + hostPort() +
                  "\r\nContent-type: application/x-www-form-urlencoded\r\n"
                  "Content-length: " +
                  std::to_string(body.size()) + "\r\n\r\n" + body);
    // No dictionary empties the body.
    s.SetFormData(nullptr);
    s.SetRequestHeader("Content-type", "");
    const std::string after = exchange(s, [&] { s.Post(server.url("/form")); });
    EXPECT_EQ(after.substr(after.size() - 4), "\r\n\r\n");
    EXPECT_EQ(after.find("Content-length"), std::string::npos);
}

// --- encoders ------------------------------------------------------------------------------

TEST(EncodersTest, UrlStringEscapesItsSetAndNothingElse) {
    Client s;
    EXPECT_EQ(s._EncodeURLString("a b&c"), "a+b%26c");
    EXPECT_EQ(s._EncodeURLString("50%"), "50%25");
    EXPECT_EQ(s._EncodeURLString("x-y_z"), "x%2Dy%5Fz");
    EXPECT_EQ(s._EncodeURLString("a.b?c"), "a.b?c");
    // An escape made for a later character is not escaped again.
    EXPECT_EQ(s._EncodeURLString("%&"), "%25%26");
    EXPECT_EQ(s._EncodeURLString("\r\n"), "%0D%0A");
    EXPECT_EQ(s._EncodeURLString("%&=,/\\][{}`~-_()*^$#!+;<>"),
              "%25%26%3D%2C%2F%5C%5D%5B%7B%7D%60%7E%2D%5F%28%29%2A%5E%24%23%21%2B%3B%3C%3E");
    const std::string untouched = "Az09.?:@'\"|\t\x80\xff";
    EXPECT_EQ(s._EncodeURLString(untouched), untouched);
}

TEST(EncodersTest, HexIsLowercaseWithoutSeparators) {
    Client s;
    EXPECT_EQ(s._EncodeHex("AZ"), "415a");
    EXPECT_EQ(s._EncodeHex(std::string("\x00\x0f\xff", 3)), "000fff");
    EXPECT_EQ(s._EncodeHex(""), "");
}

TEST(EncodersTest, FormDataOfEmptyMapIsEmptyAndOfNoMapFails) {
    Client s;
    host::Dictionary empty;
    EXPECT_EQ(s.EncodeFormData(&empty), "");
    EXPECT_THROW(s.EncodeFormData(nullptr), host::NilObjectException);
}

// --- unsafe requests -----------------------------------------------------------------------

TEST_F(RequestTest, InjectionIsRefusedBeforeConnecting) {
    struct Case {
        const char* name;
        std::function<void(Client&)> start;
    };
    const std::string url = server.url("/ok");
    const std::vector<Case> cases = {
        {"CR LF in a header value",
         [&](Client& s) {
             s.SetRequestHeader("X-Note", "a\r\nX-Injected: yes");
             s.Get(url);
         }},
        {"CR LF in a header name",
         [&](Client& s) {
             s.SetRequestHeader("X-Note\r\nX-Injected", "a");
             s.Get(url);
         }},
        {"CR LF in the URL path", [&](Client& s) { s.Get(url + "\r\nX-Injected: yes"); }},
        {"CR LF in the method",
         [&](Client& s) { s.SendRequest("GET /ok HTTP/1.0\r\n\r\nGET", url); }},
        {"CR LF in the media type",
         [&](Client& s) {
             s.SetRequestContent("a=1", "text/plain\r\nX-Injected: yes");
             s.Post(url);
         }},
        {"NUL in a header value",
         [&](Client& s) {
             s.SetRequestHeader("X-Note", std::string("a\0b", 3));
             s.Get(url);
         }},
        {"another control character in a header value",
         [&](Client& s) {
             s.SetRequestHeader("X-Note", "a\x1b[0m");
             s.Get(url);
         }},
        {"DEL in the URL", [&](Client& s) { s.Get(url + "\x7f"); }},
        {"blank in a header name",
         [&](Client& s) {
             s.SetRequestHeader("X Note", "a");
             s.Get(url);
         }},
    };
    testsupport::TempDir dir("tamsel-request");
    for (const Case& c : cases) {
        Client s;
        Outcome outcome;
        outcome.attach(s);
        c.start(s);
        // Refused at once, inside the call.
        EXPECT_EQ(outcome.errors, std::vector<int64_t>{http::HTTPError::UnsafeRequest}) << c.name;
        EXPECT_EQ(s.ErrorCode(), -2) << c.name;
        EXPECT_EQ(outcome.pages, 0) << c.name;
    }
    {
        // A blocking call returns nothing and raises no event; the download file is not
        // touched.
        Client s;
        Outcome outcome;
        outcome.attach(s);
        s.SetRequestHeader("X-Note", "a\nb");
        EXPECT_EQ(s.Get(url, 5), "");
        EXPECT_EQ(s.ErrorCode(), -2);
        const std::string path = dir.file("never-created");
        EXPECT_FALSE(s.Get(url, std::make_shared<host::FolderItem>(path), 5));
        EXPECT_EQ(s.ErrorCode(), -2);
        EXPECT_FALSE(std::filesystem::exists(path));
        EXPECT_TRUE(outcome.errors.empty());
    }
    runLoopFor(300ms);
    ASSERT_EQ(server.connectionCount(), 0u) << "a refused request reached the server";

    {
        // The collection keeps only the part of a name before its first colon, so what
        // follows the colon never reaches the wire and cannot forge a line.
        Client s;
        s.SetRequestHeader("X-Injected: yes\r\nX-Note", "a");
        const std::string bytes = exchange(s, [&] { s.Get(url); });
        EXPECT_NE(bytes.find("\r\nX-Injected: a\r\n"), std::string::npos) << bytes;
        EXPECT_EQ(bytes.find("X-Note"), std::string::npos) << bytes;
    }

    // A tab is allowed in a value, and the same object works once the bad header is gone.
    Client s;
    s.SetRequestHeader("X-Note", "a\tb");
    const std::string bytes = exchange(s, [&] { s.Get(url); });
    EXPECT_NE(bytes.find("\r\nX-Note: a\tb\r\n"), std::string::npos) << bytes;
    s.SetRequestHeader("X-Note", "a\r\nb");
    Outcome refused;
    refused.attach(s);
    s.Get(url);
    EXPECT_EQ(refused.errors, std::vector<int64_t>{-2});
    s.SetRequestHeader("X-Note", "");
    exchange(s, [&] { s.Get(url); });
    EXPECT_EQ(s.ErrorCode(), 0);
}

// Sets a forged header when the connection is up: after the check at the request's start.
class LateHeaderClient : public Client {
protected:
    void OnConnected() override {
        SetRequestHeader("X-Late", "a\r\nX-Injected: 1");
        HTTPSocket::OnConnected();
    }
};

TEST_F(RequestTest, InjectionAfterTheStartIsRefusedBeforeAnyByteIsWritten) {
    const std::string url = server.url("/ok");
    struct Case {
        const char* name;
        std::function<void(Client&)> start;
    };
    const std::vector<Case> cases = {
        {"header set in the Connected handler",
         [&](Client& s) {
             s.Connected = [&s] { s.SetRequestHeader("X-Late", "a\r\nX-Injected: 1"); };
             s.Get(url);
         }},
        {"header changed between the call and the connection",
         [&](Client& s) {
             s.Get(url);
             s.GetRequestHeaders()->SetHeader("X-Late", "a\r\nX-Injected: 1");
         }},
    };
    size_t connection = 0;
    for (const Case& c : cases) {
        Client s;
        Outcome outcome;
        outcome.attach(s);
        c.start(s);
        EXPECT_TRUE(runLoopUntil([&] { return outcome.ended(); })) << c.name;
        EXPECT_EQ(outcome.errors, std::vector<int64_t>{http::HTTPError::UnsafeRequest}) << c.name;
        EXPECT_EQ(s.ErrorCode(), -2) << c.name;
        EXPECT_TRUE(server.waitForPeerClose(connection)) << c.name;
        EXPECT_EQ(server.receivedBytes(connection), "") << c.name;
        ++connection;
    }
    // A blocking call returns at once instead of waiting for its timeout.
    LateHeaderClient s;
    const auto start = Clock::now();
    EXPECT_EQ(s.Get(url, 10), "");
    EXPECT_LT(Clock::now() - start, 2s);
    EXPECT_EQ(s.ErrorCode(), -2);
    EXPECT_TRUE(server.waitForPeerClose(connection));
    EXPECT_EQ(server.receivedBytes(connection), "");
}

} // namespace
