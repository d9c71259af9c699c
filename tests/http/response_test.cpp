#include "host/Storage.h"
#include "http/HTTPSocket.h"
#include "support/EventLoop.h"
#include "support/RealServers.h"
#include "support/ScriptedServer.h"
#include "wire/ResponseHead.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using testsupport::ensureApplication;
using testsupport::runLoopFor;
using testsupport::runLoopUntil;

using namespace std::chrono_literals;
using testsupport::Conn;
using testsupport::ScriptedServer;
using Clock = std::chrono::steady_clock;
namespace HTTPError = http::HTTPError;

// Opens the client's state to the tests and counts the socket's data notifications.
class Client : public http::HTTPSocket {
public:
    using HTTPSocket::_contentlength;
    using HTTPSocket::_currentLength;
    using HTTPSocket::_pageComplete;

    int arrivals = 0;
    // The most unread bytes the socket held when it reported new data.
    int64_t peakBuffered = 0;

protected:
    void OnDataAvailable() override {
        peakBuffered = std::max(peakBuffered, BytesAvailable());
        HTTPSocket::OnDataAvailable();
        ++arrivals;
    }
};

// Everything one client's events reported, in order.
struct Record {
    struct Progress {
        int64_t received;
        int64_t total;
        std::string piece;
        bool connected;
    };
    std::vector<std::string> events;
    std::vector<int64_t> errors;
    std::vector<Progress> progress;
    http::HeadersRef headers;     // from HeadersReceived
    http::HeadersRef pageHeaders; // from PageReceived or DownloadComplete
    int64_t headerStatus = -1;
    int64_t status = -1;
    std::string url;
    std::string body;
    http::FileRef file;

    void attach(http::HTTPSocket& s) {
        s.Connected = [this] { events.push_back("Connected"); };
        s.HeadersReceived = [this](http::HeadersRef h, int64_t code) {
            events.push_back("Headers");
            headers = std::move(h);
            headerStatus = code;
        };
        s.ReceiveProgress = [this, &s](int64_t received, int64_t total, const std::string& piece) {
            events.push_back("Progress");
            progress.push_back({received, total, piece, s.IsConnected()});
        };
        s.PageReceived = [this](const std::string& u, int64_t code, http::HeadersRef h,
                                const std::string& content) {
            events.push_back("Page");
            url = u;
            status = code;
            pageHeaders = std::move(h);
            body = content;
        };
        s.DownloadComplete = [this](const std::string& u, int64_t code, http::HeadersRef h,
                                    http::FileRef f) {
            events.push_back("Download");
            url = u;
            status = code;
            pageHeaders = std::move(h);
            file = std::move(f);
        };
        s.Error = [this](int64_t code) {
            events.push_back("Error");
            errors.push_back(code);
        };
    }
    bool completed() const { return count("Page") + count("Download") > 0; }
    bool ended() const { return completed() || !errors.empty(); }
    int count(const std::string& what) const {
        return static_cast<int>(std::count(events.begin(), events.end(), what));
    }
    // The events with each run of progress reports shown once.
    std::vector<std::string> shape() const {
        std::vector<std::string> out;
        for (const std::string& e : events) {
            if (out.empty() || e != "Progress" || out.back() != "Progress") {
                out.push_back(e);
            }
        }
        return out;
    }
    std::string progressBytes() const {
        std::string all;
        for (const Progress& p : progress) {
            all += p.piece;
        }
        return all;
    }
};

using Events = std::vector<std::string>;

// Reads the request, sends the answer, ends the connection.
ScriptedServer::Script answer(std::string response) {
    return [response = std::move(response)](Conn& c) {
        c.readRequest();
        c.send(response);
        c.close();
    };
}

std::string randomBytes(size_t n, unsigned seed) {
    std::mt19937_64 gen(seed);
    std::string out(n, '\0');
    for (size_t i = 0; i < n; i += 8) {
        const uint64_t v = gen();
        for (size_t j = 0; j < 8 && i + j < n; ++j) {
            out[i + j] = static_cast<char>(v >> (8 * j));
        }
    }
    return out;
}

class ResponseTest : public ::testing::Test {
protected:
    void SetUp() override { ensureApplication(); }

    // Starts a GET (or what `start` does) and runs the loop until the request ended.
    static void run(Client& s, Record& r, const std::string& url,
                    const std::function<void()>& start = nullptr,
                    std::chrono::milliseconds timeout = 5s) {
        r.attach(s);
        if (start) {
            start();
        } else {
            s.Get(url);
        }
        EXPECT_TRUE(runLoopUntil([&] { return r.ended(); }, timeout)) << "request never ended";
    }
};

// --- finding and parsing the header block -------------------------------------------------

TEST_F(ResponseTest, HeaderBlockSplitOverArrivalsIsParsedOnceWhenComplete) {
    const std::string response = "HTTP/1.0 200 OK\r\nX-Name: split value\r\nContent-Length: 10\r\n"
                                 "\r\n0123456789";
    ScriptedServer server([&](Conn& c) {
        c.readRequest();
        c.sendInPieces(response, 4, 3ms);
        c.close();
    });
    Client s;
    EXPECT_EQ(s.HTTPStatusCode(), 0);
    EXPECT_EQ(s.PageHeaders(), nullptr);
    Record r;
    run(s, r, server.url("/"));
    EXPECT_GT(s.arrivals, 5) << "the head did not arrive in pieces";
    EXPECT_EQ(r.count("Headers"), 1);
    ASSERT_TRUE(r.headers);
    EXPECT_EQ(r.headers->Value("x-name"), "split value");
    EXPECT_EQ(r.headers->Count(), 2);
    EXPECT_EQ(r.body, "0123456789");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(s.ErrorCode(), 0);
}

TEST_F(ResponseTest, LfOnlyAndCrOnlyHeadsParseLikeCrLf) {
    for (const std::string eol : {"\r\n", "\n", "\r"}) {
        ScriptedServer server(answer("HTTP/1.0 201 Created" + eol + "Content-Length: 5" + eol +
                                     "X-Name: value one" + eol + eol + "hello"));
        Client s;
        Record r;
        run(s, r, server.url("/"));
        const std::string label = eol == "\r\n" ? "CR LF" : eol == "\n" ? "LF" : "CR";
        EXPECT_EQ(r.status, 201) << label;
        EXPECT_EQ(r.body, "hello") << label;
        ASSERT_TRUE(s.PageHeaders()) << label;
        EXPECT_EQ(s.PageHeaders()->Count(), 2) << label;
        EXPECT_EQ(s.PageHeaders()->Value("x-name"), "value one") << label;
        EXPECT_EQ(s.PageHeaders()->Value("content-length"), "5") << label;
    }
    {
        // A head with no header lines: a status, but no headers object to show.
        ScriptedServer server(answer("HTTP/1.0 202 Accepted\r\n\r\nqueued"));
        Client s;
        Record r;
        run(s, r, server.url("/"));
        EXPECT_EQ(r.status, 202);
        EXPECT_EQ(s.HTTPStatusCode(), 202);
        EXPECT_EQ(s.PageHeaders(), nullptr);
        EXPECT_EQ(r.body, "queued");
    }
}

TEST_F(ResponseTest, EmptyLinesBeforeTheStatusLineAreSkipped) {
    // Some servers end a previous response with an extra line end.
    for (const std::string before : {"\r\n", "\n"}) {
        ScriptedServer server(
            answer(before + "HTTP/1.0 201 Created\r\nX-Name: v\r\nContent-Length: 5\r\n\r\nhello"));
        Client s;
        Record r;
        run(s, r, server.url("/"));
        EXPECT_EQ(r.status, 201);
        EXPECT_EQ(r.body, "hello");
        ASSERT_TRUE(s.PageHeaders());
        EXPECT_EQ(s.PageHeaders()->Count(), 2);
    }
}

// --- where a response ends ---------------------------------------------------------------

TEST_F(ResponseTest, ContentLengthShorterThanDataEndsPageAtLengthAndClientCloses) {
    std::atomic<bool> clientClosedFirst{false};
    ScriptedServer server([&](Conn& c) {
        c.readRequest();
        c.send("HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\n0123456789ABCDE");
        clientClosedFirst = c.waitForPeerClose(3s);
        c.close();
    });
    Client s;
    Record r;
    run(s, r, server.url("/"));
    EXPECT_EQ(r.body, "0123456789");
    ASSERT_EQ(r.progress.size(), 1u);
    EXPECT_EQ(r.progress[0].received, 10);
    EXPECT_EQ(r.progress[0].total, 10);
    EXPECT_EQ(r.progress[0].piece, "0123456789");
    EXPECT_TRUE(server.waitUntilIdle());
    EXPECT_TRUE(clientClosedFirst) << "the client did not close at the length";
    EXPECT_FALSE(s.IsConnected());
}

TEST_F(ResponseTest, BodyWithoutUsableLengthEndsAtServerClose) {
    struct Case {
        const char* lengthLine;
        int64_t reportedTotal;
    };
    // Beyond the 64-bit range the length counts as absent; negative and non-numeric values
    // announce nothing either.
    for (const Case& c : {Case{"", 0}, Case{"Content-Length: 0\r\n", 0},
                          Case{"Content-Length: 99999999999999999999\r\n", 0},
                          Case{"Content-Length: abc\r\n", 0}, Case{"Content-Length: -5\r\n", -5}}) {
        std::atomic<bool> serverClosing{false};
        ScriptedServer server([&](Conn& conn) {
            conn.readRequest();
            conn.send(std::string("HTTP/1.0 200 OK\r\n") + c.lengthLine + "\r\nabcdefghij");
            conn.pause(150ms);
            serverClosing = true;
            conn.close();
        });
        Client s;
        Record r;
        bool closedAtPage = false;
        run(s, r, server.url("/"), [&] {
            s.Get(server.url("/"));
            auto deliver = s.PageReceived;
            s.PageReceived = [&, deliver](const std::string& u, int64_t code, http::HeadersRef h,
                                          const std::string& body) {
                closedAtPage = serverClosing;
                deliver(u, code, std::move(h), body);
            };
        });
        EXPECT_EQ(r.body, "abcdefghij") << c.lengthLine;
        EXPECT_TRUE(closedAtPage) << "page delivered before the server closed: " << c.lengthLine;
        ASSERT_FALSE(r.progress.empty()) << c.lengthLine;
        EXPECT_EQ(r.progress.back().total, c.reportedTotal) << c.lengthLine;
        EXPECT_EQ(s.ErrorCode(), 0) << c.lengthLine;
    }
}

TEST_F(ResponseTest, ErrorAndRedirectStatusesAreOrdinaryPages) {
    {
        ScriptedServer server(answer(ScriptedServer::httpResponse(404, "no such page")));
        Client s;
        Record r;
        run(s, r, server.url("/missing"));
        EXPECT_EQ(r.events, (Events{"Connected", "Headers", "Progress", "Page"}));
        EXPECT_EQ(r.status, 404);
        EXPECT_EQ(r.body, "no such page");
        EXPECT_EQ(s.ErrorCode(), 0);
    }
    {
        ScriptedServer server;
        server.onConnection(answer("HTTP/1.0 302 Found\r\nLocation: " + server.url("/elsewhere") +
                                   "\r\nContent-Length: 5\r\n\r\nmoved"));
        Client s;
        Record r;
        run(s, r, server.url("/old"));
        EXPECT_EQ(r.status, 302);
        EXPECT_EQ(r.body, "moved");
        runLoopFor(100ms);
        EXPECT_EQ(server.connectionCount(), 1u) << "the redirect was followed";
    }
}

TEST_F(ResponseTest, UnauthorizedWithoutCredentialsIsDeliveredAsPage) {
    const std::string challenge = "WWW-Authenticate: Basic realm=\"members\"\r\n";
    {
        // No handler at all.
        ScriptedServer server(answer(ScriptedServer::httpResponse(401, "unauthorized", challenge)));
        Client s;
        Record r;
        run(s, r, server.url("/private"));
        EXPECT_EQ(r.status, 401);
        EXPECT_EQ(r.body, "unauthorized");
        EXPECT_EQ(server.connectionCount(), 1u);
    }
    {
        // A handler that offers nothing; the answer is cut short by the server's close, and
        // the piece taken in after it completes the page.
        ScriptedServer server(answer("HTTP/1.0 401 Unauthorized\r\n" + challenge +
                                     "Content-Length: 100\r\n\r\npartial"));
        Client s;
        std::vector<std::string> realms;
        s.AuthenticationRequired = [&](const std::string& realm, http::HeadersRef, std::string&,
                                       std::string&) {
            realms.push_back(realm);
            return false;
        };
        Record r;
        run(s, r, server.url("/private"));
        EXPECT_EQ(realms, std::vector<std::string>{"members"});
        EXPECT_EQ(r.status, 401);
        EXPECT_EQ(r.body, "partial");
        EXPECT_TRUE(r.errors.empty());
        EXPECT_EQ(server.connectionCount(), 1u);
    }
    {
        ScriptedServer server(answer(ScriptedServer::httpResponse(
            407, "proxy says no", "Proxy-Authenticate: Basic realm=\"proxy\"\r\n")));
        Client s;
        Record r;
        run(s, r, server.url("/"));
        EXPECT_EQ(r.status, 407);
        EXPECT_EQ(r.body, "proxy says no");
    }
}

TEST_F(ResponseTest, HeadTakesInNoBodyAndRaisesOnlyConnectedAndHeaders) {
    // The server sends a body anyway; none of it may count.
    ScriptedServer server(answer("HTTP/1.0 200 OK\r\nContent-Length: 20\r\nX-Kind: probe\r\n\r\n"
                                 "01234567890123456789"));
    Client s;
    Record r;
    r.attach(s);
    s.GetHeaders(server.url("/"));
    ASSERT_TRUE(runLoopUntil([&] { return s._pageComplete; }));
    runLoopFor(50ms);
    EXPECT_EQ(r.events, (Events{"Connected", "Headers"}));
    EXPECT_EQ(s._currentLength, 0);
    EXPECT_EQ(s.HTTPStatusCode(), 200);
    ASSERT_TRUE(s.PageHeaders());
    EXPECT_EQ(s.PageHeaders()->Value("X-Kind"), "probe");
    EXPECT_EQ(s.ErrorCode(), 0);
}

// --- events ------------------------------------------------------------------------------

TEST_F(ResponseTest, EventsOfOneResponseComeInOrder) {
    ScriptedServer server([](Conn& c) {
        c.readRequest();
        c.send("HTTP/1.0 200 OK\r\nContent-Length: 9\r\n\r\naaa");
        c.pause(30ms);
        c.send("bbb");
        c.pause(30ms);
        c.send("ccc");
        c.close();
    });
    testsupport::TempDir dir("tamsel-response");
    for (const bool toFile : {false, true}) {
        Client s;
        Record r;
        const std::string url = server.url("/ordered?x=1");
        auto file = std::make_shared<host::FolderItem>(dir.file("ordered.bin"));
        run(s, r, url, [&] { toFile ? s.Get(url, file) : s.Get(url); });
        const std::string last = toFile ? "Download" : "Page";
        EXPECT_EQ(r.shape(), (Events{"Connected", "Headers", "Progress", last}));
        EXPECT_GE(r.progress.size(), 2u) << "pieces were merged; the test shows less";
        int64_t sum = 0;
        for (const Record::Progress& p : r.progress) {
            sum += static_cast<int64_t>(p.piece.size());
            EXPECT_EQ(p.received, sum);
            EXPECT_EQ(p.total, 9);
        }
        EXPECT_EQ(r.progressBytes(), "aaabbbccc");
        EXPECT_EQ(r.url, url);
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(r.headerStatus, 200);
        // One headers object, handed out by all three.
        EXPECT_EQ(r.pageHeaders, r.headers);
        EXPECT_EQ(s.PageHeaders(), r.headers);
        if (toFile) {
            EXPECT_EQ(r.file, file);
            EXPECT_EQ(testsupport::readFile(file->NativePath()), "aaabbbccc");
        } else {
            EXPECT_EQ(r.body, "aaabbbccc");
        }
    }
    {
        // A connection that cannot be made raises only Error, with the socket's code.
        Client s;
        Record r;
        run(s, r, "http://127.0.0.1:" + std::to_string(ScriptedServer::unusedPort()) + "/");
        EXPECT_EQ(r.events, (Events{"Error"}));
        EXPECT_EQ(r.errors, std::vector<int64_t>{host::SocketError::ConnectionRefused});
        EXPECT_EQ(s.ErrorCode(), host::SocketError::ConnectionRefused);
    }
}

TEST_F(ResponseTest, BodyInManySmallPiecesIsCollectedWhole) {
    std::string body;
    for (int i = 0; body.size() < 4000; ++i) {
        body += std::to_string(i) + ",";
    }
    ScriptedServer server([&](Conn& c) {
        c.readRequest();
        c.sendInPieces(ScriptedServer::httpResponse(200, body), 16, 1ms);
        c.close();
    });
    Client s;
    Record r;
    run(s, r, server.url("/"), nullptr, 20s);
    EXPECT_EQ(r.body, body);
    EXPECT_EQ(r.progressBytes(), body);
    EXPECT_GT(r.progress.size(), 20u);
    int64_t sum = 0;
    for (const Record::Progress& p : r.progress) {
        EXPECT_FALSE(p.piece.empty());
        sum += static_cast<int64_t>(p.piece.size());
        EXPECT_EQ(p.received, sum);
    }
    EXPECT_EQ(s._currentLength, static_cast<int64_t>(body.size()));
}

// --- download files ----------------------------------------------------------------------

TEST_F(ResponseTest, DownloadToFileWritesExactlyTheBody) {
    const std::string body = randomBytes(1 << 20, 7);
    testsupport::TempDir dir("tamsel-download");
    {
        // The file exists and is longer than the body: it is replaced, not overwritten in
        // place.
        ScriptedServer server(answer(ScriptedServer::httpResponse(200, body)));
        const std::string path = dir.file("a.bin");
        testsupport::writeFile(path, std::string(3 << 20, 'x'));
        auto file = std::make_shared<host::FolderItem>(path);
        Client s;
        Record r;
        run(
            s, r, server.url("/a.bin"), [&] { s.Get(server.url("/a.bin"), file); }, 20s);
        EXPECT_EQ(r.count("Download"), 1);
        EXPECT_EQ(r.count("Page"), 0);
        EXPECT_EQ(r.file, file);
        EXPECT_EQ(r.status, 200);
        EXPECT_TRUE(testsupport::readFile(path) == body) << "file differs from the body";
    }
    {
        // Without a length the download ends at the close.
        ScriptedServer server(answer("HTTP/1.0 200 OK\r\n\r\n" + body));
        auto file = std::make_shared<host::FolderItem>(dir.file("b.bin"));
        Client s;
        Record r;
        run(
            s, r, server.url("/b.bin"), [&] { s.Get(server.url("/b.bin"), file); }, 20s);
        EXPECT_EQ(r.count("Download"), 1);
        EXPECT_TRUE(testsupport::readFile(file->NativePath()) == body)
            << "file differs from the body";
    }
}

TEST_F(ResponseTest, UnusableDownloadFileFailsWithErrorOneBeforeConnecting) {
    ScriptedServer server(answer(ScriptedServer::httpResponse(200, "fine")));
    testsupport::TempDir dir("tamsel-download");
    Client s;
    for (const std::string& path : {dir.path(), dir.file("missing/sub/file.bin")}) {
        Record r;
        r.attach(s);
        s.Get(server.url("/"), std::make_shared<host::FolderItem>(path));
        EXPECT_EQ(r.events, (Events{"Error"})) << path;
        EXPECT_EQ(r.errors, std::vector<int64_t>{HTTPError::DownloadFile}) << path;
        EXPECT_EQ(s.ErrorCode(), 1) << path;
        EXPECT_FALSE(s.Get(server.url("/"), std::make_shared<host::FolderItem>(path), 5)) << path;
        EXPECT_EQ(s.ErrorCode(), 1) << path;
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("missing")));
    runLoopFor(200ms);
    EXPECT_EQ(server.connectionCount(), 0u);

    // The same object then downloads normally.
    auto file = std::make_shared<host::FolderItem>(dir.file("ok.txt"));
    Record r;
    run(s, r, server.url("/"), [&] { s.Get(server.url("/"), file); });
    EXPECT_EQ(r.events.back(), "Download");
    EXPECT_EQ(testsupport::readFile(file->NativePath()), "fine");
    EXPECT_EQ(s.ErrorCode(), 0);
}

// --- a close while bytes are unread ------------------------------------------------------

TEST_F(ResponseTest, CloseWithUnreadBytesCompletesThePageWithThem) {
    // The count of bytes still expected carries over to the next response on the object
    // (95 here), so the second response, which has no length, is read 95 bytes at a time
    // and the rest is still buffered when the server's close arrives.
    const std::string second = randomBytes(200, 3);
    ScriptedServer server([&](Conn& c) {
        c.readRequest();
        if (c.index() == 0) {
            c.send("HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\nfirst");
        } else {
            c.send("HTTP/1.0 200 OK\r\n\r\n" + second);
        }
        c.close();
    });
    Client s;
    {
        Record r;
        run(s, r, server.url("/1"));
        EXPECT_EQ(r.body, "first");
        EXPECT_EQ(s._contentlength, 95);
    }
    Record r;
    run(s, r, server.url("/2"));
    EXPECT_EQ(r.count("Page"), 1);
    EXPECT_TRUE(r.body == second) << "page differs from what was sent";
    ASSERT_EQ(r.progress.size(), 2u);
    EXPECT_EQ(r.progress[0].piece.size(), 95u);
    EXPECT_EQ(r.progress[1].piece.size(), 105u);
    EXPECT_FALSE(r.progress[1].connected) << "the rest was not taken in at the close";
    EXPECT_TRUE(r.errors.empty());
}

// --- mended faults -----------------------------------------------------------------------

TEST_F(ResponseTest, HeaderBlockWithoutBlankLineIsCutOffAtTheLimit) {
    std::string endless = "HTTP/1.0 200 OK\r\n";
    for (int i = 0; endless.size() < (1u << 20); ++i) {
        std::string line = "X-Filler-" + std::to_string(i) + ": ";
        line.resize(62, 'f');
        endless += line + "\r\n";
    }
    std::atomic<int> allSent{-1};
    ScriptedServer server([&](Conn& c) {
        c.readRequest();
        allSent = c.sendInPieces(endless, 4096, 2ms) ? 1 : 0;
        c.close();
    });
    Client s;
    Record r;
    run(s, r, server.url("/"), nullptr, 20s);
    EXPECT_EQ(r.events, (Events{"Connected", "Error"}));
    EXPECT_EQ(r.errors, std::vector<int64_t>{HTTPError::HeaderBlockTooLarge});
    EXPECT_EQ(s.ErrorCode(), -3);
    EXPECT_FALSE(s.IsConnected());
    ASSERT_TRUE(server.waitUntilIdle(10s));
    EXPECT_EQ(allSent, 0) << "the client took the whole megabyte";
    EXPECT_LE(s.peakBuffered, wire::kMaxHeaderBlockBytes + 256 * 1024);
    RecordProperty("peak_buffered_bytes", std::to_string(s.peakBuffered));
    runLoopFor(50ms);
    EXPECT_EQ(r.count("Error"), 1) << "the close was reported again";
}

TEST_F(ResponseTest, HeaderBlockLimitHoldsForAWholeBlockInOneSend) {
    const auto headOf = [](size_t size) {
        std::string head = "HTTP/1.0 200 OK\r\n";
        for (int i = 0; head.size() < size; ++i) {
            head += "X-Filler-" + std::to_string(i) + ": " + std::string(40, 'f') + "\r\n";
        }
        return head + "Content-Length: 4\r\n\r\nbody";
    };
    {
        ScriptedServer server(answer(headOf(400 * 1024)));
        Client s;
        Record r;
        run(s, r, server.url("/"));
        EXPECT_EQ(r.errors, std::vector<int64_t>{HTTPError::HeaderBlockTooLarge});
        EXPECT_EQ(r.count("Page"), 0);
        EXPECT_EQ(r.count("Headers"), 0);
    }
    {
        ScriptedServer server(answer(headOf(200 * 1024)));
        Client s;
        Record r;
        run(s, r, server.url("/"));
        EXPECT_TRUE(r.errors.empty());
        EXPECT_EQ(r.body, "body");
        EXPECT_GT(s.PageHeaders()->Count(), 3000);
    }
}

TEST_F(ResponseTest, ConnectionEndingBeforeTheHeadEndsIsAnErrorNotAPage) {
    struct Case {
        const char* name;
        std::function<void(Conn&)> script;
    };
    const std::vector<Case> cases = {
        {"close before any byte",
         [](Conn& c) {
             c.readRequest();
             c.close();
         }},
        {"reset before any byte",
         [](Conn& c) {
             c.readRequest();
             c.reset();
         }},
        {"close in the middle of the head",
         [](Conn& c) {
             c.readRequest();
             c.send("HTTP/1.0 200 OK\r\nContent-Le");
             c.close();
         }},
        {"close after the head's last line but before its blank line",
         [](Conn& c) {
             c.readRequest();
             c.send("HTTP/1.0 200 OK\r\nContent-Length: 4\r\n");
             c.close();
         }},
    };
    for (const Case& c : cases) {
        ScriptedServer server;
        server.onConnection([&](Conn& conn) {
            if (conn.index() == 0) {
                c.script(conn);
            } else {
                answer(ScriptedServer::httpResponse(200, "again"))(conn);
            }
        });
        Client s;
        Record r;
        run(s, r, server.url("/"));
        runLoopFor(30ms);
        EXPECT_EQ(r.events, (Events{"Connected", "Error"})) << c.name;
        EXPECT_EQ(r.errors, std::vector<int64_t>{HTTPError::IncompleteHead}) << c.name;
        EXPECT_EQ(s.ErrorCode(), -4) << c.name;
        // The object is fit for the next request.
        Record again;
        run(s, again, server.url("/"));
        EXPECT_EQ(again.body, "again") << c.name;
        EXPECT_EQ(s.ErrorCode(), 0) << c.name;
    }
}

TEST_F(ResponseTest, RequestFailingBeforeItsConnectionShowsNoEarlierResult) {
    ScriptedServer server(answer(ScriptedServer::httpResponse(200, "first", "X-Name: v\r\n")));
    testsupport::TempDir dir("tamsel-response");
    const std::string refused =
        "http://127.0.0.1:" + std::to_string(ScriptedServer::unusedPort()) + "/";
    for (const bool refusedConnection : {true, false}) {
        Client s;
        Record first;
        run(s, first, server.url("/"));
        ASSERT_EQ(s.HTTPStatusCode(), 200);
        ASSERT_TRUE(s.PageHeaders());
        Record failed;
        run(s, failed, "", [&] {
            refusedConnection
                ? s.Get(refused)
                : s.Get(server.url("/"), std::make_shared<host::FolderItem>(dir.path()));
        });
        EXPECT_EQ(failed.events, (Events{"Error"}));
        EXPECT_EQ(s.HTTPStatusCode(), 0) << refusedConnection;
        EXPECT_EQ(s.PageHeaders(), nullptr) << refusedConnection;
    }
}

using testsupport::openInThisProcess;

// The body goes to a partial file that replaces the download file only when complete: a
// failed request leaves the earlier file as it was and no partial file behind.
TEST_F(ResponseTest, FailedResponseLeavesTheEarlierFileAndReleasesThePartialOne) {
    std::string endless = "HTTP/1.0 200 OK\r\n";
    while (endless.size() < 512 * 1024) {
        endless += "X-Filler: " + std::string(50, 'f') + "\r\n";
    }
    struct Case {
        const char* name;
        std::function<void(Conn&)> script;
        int64_t error;
    };
    const std::vector<Case> cases = {
        {"complete download",
         [](Conn& c) {
             c.readRequest();
             c.send(ScriptedServer::httpResponse(200, "data"));
             c.close();
         },
         0},
        {"close before any byte",
         [](Conn& c) {
             c.readRequest();
             c.close();
         },
         HTTPError::IncompleteHead},
        {"header block too large",
         [&](Conn& c) {
             c.readRequest();
             c.send(endless);
             c.close();
         },
         HTTPError::HeaderBlockTooLarge},
    };
    testsupport::TempDir dir("tamsel-download");
    {
        // Refused connection: the file was prepared before connecting.
        const std::string path = dir.write("refused.bin", "earlier");
        Client s;
        Record r;
        run(s, r, "", [&] {
            s.Get("http://127.0.0.1:" + std::to_string(ScriptedServer::unusedPort()) + "/",
                  std::make_shared<host::FolderItem>(path));
        });
        EXPECT_EQ(r.errors, std::vector<int64_t>{host::SocketError::ConnectionRefused});
        EXPECT_FALSE(openInThisProcess(path + ".part")) << "refused: the file was left open";
        EXPECT_EQ(testsupport::readFile(path), "earlier");
        EXPECT_FALSE(std::filesystem::exists(path + ".part"));
    }
    for (const Case& c : cases) {
        ScriptedServer server(c.script);
        const std::string path = dir.write("target.bin", "earlier");
        auto file = std::make_shared<host::FolderItem>(path);
        Client s;
        Record r;
        run(s, r, server.url("/"), [&] {
            s.Get(server.url("/"), file);
            EXPECT_TRUE(openInThisProcess(path + ".part")) << "the check sees no open file";
        });
        EXPECT_EQ(r.errors, c.error == 0 ? std::vector<int64_t>{} : std::vector<int64_t>{c.error})
            << c.name;
        EXPECT_EQ(r.count("Download"), c.error == 0 ? 1 : 0) << c.name;
        EXPECT_FALSE(openInThisProcess(path + ".part")) << c.name << ": the file was left open";
        EXPECT_FALSE(std::filesystem::exists(path + ".part")) << c.name;
        EXPECT_EQ(testsupport::readFile(path), c.error == 0 ? "data" : "earlier") << c.name;
    }
}

} // namespace
