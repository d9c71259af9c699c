// A whole response, cut into arrivals where the input says, fed to the client's real data
// handling through the host socket (an in-process peer handed to it as the connection), in
// both modes, into memory or into a download file. Every run must end in exactly one
// outcome, and what is delivered must be the bytes the server sent.
//
// Input: byte 0 holds flags (bit 0 blocking, bit 1 download file, bit 2 HEAD, bit 3 the
// close comes with the last arrival instead of after it); byte 1 gives n (mod 17), the next
// n bytes the arrival sizes (each plus one, used in turn; none: one arrival); the rest is
// the response.

#include "host/Storage.h"
#include "host/Strings.h"
#include "http/HTTPSocket.h"
#include "support/SocketPeer.h"
#include "wire/Message.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// The input's response is the only way out: a connection attempt the client starts itself
// (an authentication repeat) never leaves the machine.
const std::string kURL = "http://127.0.0.1:9/fuzz";

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "http_response invariant broken: %s\n", what);
    std::abort();
}

void check(bool condition, const char* what) {
    if (!condition) {
        fail(what);
    }
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

const std::string& downloadPath() {
    static const std::string path = [] {
        const auto dir = std::filesystem::temp_directory_path() /
                         ("tamsel-http-response-fuzz-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(
                std::filesystem::temp_directory_path() /
                    ("tamsel-http-response-fuzz-" + std::to_string(::getpid())),
                ignored);
        });
        return (dir / "download").string();
    }();
    return path;
}

// The server side: hands the client the next arrival each time it has taken the last one.
class Client : public http::HTTPSocket {
public:
    using HTTPSocket::_pageComplete;
    using HTTPSocket::_pageHeaders;

    std::vector<std::string> arrivals;
    bool closeWithLast = false;
    std::string method;
    std::string request;
    int connects = 0;

    ~Client() override { closePeer(); }

    void Connect() override {
        ++connects;
        closePeer();
        peer_ = std::make_unique<host::testing::SocketPeer>(*this);
        if (!peer_->valid()) {
            fail("socket pair");
        }
    }

    bool peerClosed() const { return !peer_; }

protected:
    void OnConnected() override {
        HTTPSocket::OnConnected();
        // The request went out in one write when the connection came up.
        request += peer_->readAvailable();
        sendNext();
    }

    void OnDataAvailable() override {
        HTTPSocket::OnDataAvailable();
        sendNext();
    }

private:
    void sendNext() {
        if (!peer_) {
            return;
        }
        if (next_ < arrivals.size()) {
            const std::string& piece = arrivals[next_++];
            // A client that has closed its end makes this fail; that is its right.
            peer_->write(piece);
            if (!(closeWithLast && next_ == arrivals.size())) {
                return;
            }
        }
        closePeer();
    }

    void closePeer() { peer_.reset(); }

    std::unique_ptr<host::testing::SocketPeer> peer_;
    size_t next_ = 0;
};

bool documentedError(int64_t code) {
    return code == 0 || code == -1 || code == 1 || (code <= -2 && code >= -6) ||
           (code >= 100 && code <= 108);
}

// The first line of text after any empty lines, without its line end.
std::string_view firstLine(std::string_view text) {
    text.remove_prefix(std::min(text.find_first_not_of("\r\n"), text.size()));
    return text.substr(0, text.find_first_of("\r\n"));
}

// A chunked body decoded whole, the way the rules read it: a hexadecimal size (1 to 15
// digits) and optional extensions on a line, the data and its line end, up to the size 0
// and an empty line after the trailer. False when it is malformed or ends early.
bool decodeChunked(const std::string& body, std::string& out) {
    size_t at = 0;
    const auto line = [&](std::string& text) {
        const size_t lf = body.find('\n', at);
        if (lf == std::string::npos) {
            return false;
        }
        text = body.substr(at, lf - at);
        if (!text.empty() && text.back() == '\r') {
            text.pop_back();
        }
        at = lf + 1;
        return true;
    };
    for (std::string text;;) {
        if (!line(text)) {
            return false;
        }
        const size_t digits =
            std::min(text.find_first_not_of("0123456789abcdefABCDEF"), text.size());
        if (digits == 0 || digits > 15 ||
            (digits < text.size() && text[digits] != ';' && text[digits] != ' ' &&
             text[digits] != '\t')) {
            return false;
        }
        const uint64_t length = std::stoull(text.substr(0, digits), nullptr, 16);
        if (length == 0) {
            break;
        }
        if (body.size() - at < length) {
            return false;
        }
        out += body.substr(at, length);
        at += length;
        if (body.compare(at, 2, "\r\n") == 0) {
            at += 2;
        } else if (body.compare(at, 1, "\n") == 0) {
            at += 1;
        } else {
            return false;
        }
    }
    for (std::string trailer; line(trailer);) {
        if (trailer.empty()) {
            return true;
        }
    }
    return false;
}

// The bodies the client may deliver for the response, given the header block it parsed:
// everything after the blank line, cut to a Content-Length the client can read, or decoded
// when chunked. The block starts the response, after any empty lines skipped before the
// status line; with mixed line ends more than one such place can hold the block and a blank
// line after it. After interim (1xx) replies the final block starts further on.
std::vector<std::string> expectedBodies(const std::string& response,
                                        const http::InternetHeaders& headers) {
    const std::string source = headers.Source();
    const bool interim = wire::isInterimStatus(wire::httpStatusCode(firstLine(response)));
    std::vector<std::string> bodies;
    for (size_t start = 0;;) {
        if (response.compare(start, source.size(), source) == 0) {
            const size_t block = start + source.size();
            size_t skip = 0;
            if (response.compare(block, 2, "\n\n") == 0 ||
                response.compare(block, 2, "\r\r") == 0) {
                skip = 2;
            } else if (response.compare(block, 4, "\r\n\r\n") == 0) {
                skip = 4;
            }
            if (skip > 0) {
                std::string rest = response.substr(block + skip);
                std::string decoded;
                if (wire::endsWithChunked(headers.Value("Transfer-Encoding"))) {
                    if (decodeChunked(rest, decoded)) {
                        bodies.push_back(std::move(decoded));
                    }
                } else if (headers._HasHeader("Content-Length")) {
                    const int64_t length = host::Val(headers.Value("Content-Length"));
                    if (length > 0 && length != std::numeric_limits<int64_t>::max() &&
                        static_cast<uint64_t>(length) < rest.size()) {
                        rest.resize(static_cast<size_t>(length));
                    }
                }
                if (!wire::endsWithChunked(headers.Value("Transfer-Encoding"))) {
                    bodies.push_back(std::move(rest));
                }
            }
        }
        const size_t emptyLine = response.compare(start, 2, "\r\n") == 0 ? 2
                                 : response.compare(start, 1, "\n") == 0 ? 1
                                                                         : 0;
        if (emptyLine == 0) {
            // An interim reply's head may come first: the final one can start after any
            // blank line.
            const size_t next = response.find_first_of("\r\n", start);
            if (next == std::string::npos || !interim) {
                break;
            }
            start = next + 1;
            continue;
        }
        start += emptyLine;
    }
    check(!bodies.empty() || wire::endsWithChunked(headers.Value("Transfer-Encoding")),
          "the header block is not at the start of the response or does not end at a blank "
          "line");
    return bodies;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    const uint8_t flags = data[0];
    const bool blocking = (flags & 1) != 0;
    const bool toFile = (flags & 2) != 0;
    const bool head = (flags & 4) != 0;
    size_t pos = 1;
    const size_t splitCount = data[pos++] % 17;
    std::vector<size_t> splits;
    while (splits.size() < splitCount && pos < size) {
        splits.push_back(size_t(data[pos++]) + 1);
    }
    const std::string response(reinterpret_cast<const char*>(data) + pos, size - pos);

    Client client;
    client.closeWithLast = (flags & 8) != 0;
    client.method = head ? "HEAD" : "GET";
    for (size_t at = 0, i = 0; at < response.size(); ++i) {
        const size_t n = splits.empty() ? response.size() : splits[i % splits.size()];
        client.arrivals.push_back(response.substr(at, n));
        at += client.arrivals.back().size();
    }

    int pages = 0;
    int downloads = 0;
    int errors = 0;
    int headerEvents = 0;
    int64_t errorCode = 0;
    std::string pageBody;
    std::string progressBytes;
    int64_t lastReceived = 0;
    client.HeadersReceived = [&](http::HeadersRef, int64_t) {
        check(pages + downloads + errors == 0, "headers after the outcome");
        ++headerEvents;
    };
    client.PageReceived = [&](const std::string& url, int64_t, http::HeadersRef,
                              const std::string& content) {
        check(url == kURL, "page for another URL");
        ++pages;
        pageBody = content;
    };
    client.DownloadComplete = [&](const std::string& url, int64_t, http::HeadersRef,
                                  http::FileRef file) {
        check(url == kURL && file && file->NativePath() == downloadPath(),
              "download for another URL or file");
        ++downloads;
    };
    client.Error = [&](int64_t code) {
        ++errors;
        errorCode = code;
    };
    client.ReceiveProgress = [&](int64_t received, int64_t, const std::string& piece) {
        check(!piece.empty() && received == lastReceived + static_cast<int64_t>(piece.size()),
              "progress does not count the bytes it reports");
        lastReceived = received;
        progressBytes += piece;
    };

    http::FileRef file = toFile ? std::make_shared<host::FolderItem>(downloadPath()) : nullptr;
    std::string blockingResult;
    if (blocking) {
        // Generous: every arrival is there when the client looks, so only a hang reaches it.
        constexpr int64_t kTimeoutSeconds = 30;
        if (toFile) {
            const bool ok = client.SendRequest(client.method, kURL, file, kTimeoutSeconds);
            check(ok == (client.ErrorCode() == 0), "result and ErrorCode disagree");
        } else {
            blockingResult = client.SendRequest(client.method, kURL, kTimeoutSeconds);
        }
        check(pages + downloads + errors + headerEvents == 0 && progressBytes.empty(),
              "events in blocking mode");
        check(client._pageComplete || client.ErrorCode() != 0, "blocking call ended early");
    } else {
        if (toFile) {
            client.SendRequest(client.method, kURL, file);
        } else {
            client.SendRequest(client.method, kURL);
        }
        // One poll per arrival and a few for the connection and the close; a client that
        // needs more has stalled.
        const size_t limit = client.arrivals.size() + 8;
        for (size_t polls = 0; polls < limit; ++polls) {
            if (pages + downloads + errors > 0 || (head && client._pageComplete)) {
                break;
            }
            client.Poll();
        }
        const int outcomes = pages + downloads + errors;
        if (head) {
            check(pages + downloads == 0, "a page for HEAD");
            check(errors <= 1 && (client._pageComplete || errors == 1), "HEAD did not end");
        } else {
            check(outcomes == 1, "not exactly one outcome");
        }
        check(errors == 0 || errorCode == client.ErrorCode(), "Error event and ErrorCode differ");
        check(toFile ? pages == 0 : downloads == 0, "outcome of the other kind");
        check(errors == 1 || headerEvents == 1, "no HeadersReceived before the page");
    }

    check(client.connects == 1, "the client connected again");
    check(client.request.rfind(client.method + " /fuzz HTTP/1.0\r\n", 0) == 0 &&
              client.request.size() >= 4 &&
              client.request.compare(client.request.size() - 4, 4, "\r\n\r\n") == 0,
          "malformed request");
    const int64_t code = client.ErrorCode();
    check(documentedError(code), "undocumented ErrorCode");
    // Every arrival is there when the client looks and the close follows: only a header
    // block that is too large or incomplete, or a reply that is not HTTP, is an error here.
    check(code == 0 || code == http::HTTPError::HeaderBlockTooLarge ||
              code == http::HTTPError::IncompleteHead || code == http::HTTPError::MalformedResponse,
          "unexpected ErrorCode");

    if (code == 0) {
        check(client._pageHeaders != nullptr, "a page without headers");
        check(wire::httpStatusCode(firstLine(client._pageHeaders->Source())) >= 200,
              "an interim reply, or no status line, delivered as the page");
        const std::vector<std::string> bodies =
            head ? std::vector<std::string>{std::string()}
                 : expectedBodies(response, *client._pageHeaders);
        const auto isBody = [&](const std::string& delivered) {
            return std::find(bodies.begin(), bodies.end(), delivered) != bodies.end();
        };
        if (toFile) {
            check(isBody(readFile(downloadPath())), "the file differs from the body");
        } else if (blocking) {
            check(isBody(blockingResult), "the blocking result differs from the body");
        } else if (!head) {
            check(isBody(pageBody), "the page differs from the body");
        }
        if (!blocking && !head) {
            check(progressBytes == (toFile ? readFile(downloadPath()) : pageBody),
                  "progress pieces differ from the body");
        }
    } else {
        check(blockingResult.empty() && pageBody.empty() && downloads == 0, "a page with an error");
    }
    return 0;
}
