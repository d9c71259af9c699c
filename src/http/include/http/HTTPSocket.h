#pragma once

// HTTP/1.0 client over the host TCP socket: one request per connection, asynchronous
// (results through the events below) or blocking (the call waits and returns the result).
//
// Error codes (ErrorCode(), the Error event):
//    0  no error
//   -1  no progress within the timeout of a blocking call; the socket was closed
//    1  the download file is a folder, cannot be created or cannot be opened for writing;
//       or writing the body failed (a full disk) or its file could not replace the download
//       file: then the connection was closed. The download file is left as it was and no
//       partial file (kPartialFileSuffix) stays behind
//   -2  unsafe request refused: the method or a header name is not an HTTP token, or the
//       URL, a header value, the media type or a credential holds CR, LF, NUL or another
//       control character but tab. Checked when the request starts (then nothing is
//       connected) and again on the bytes about to be written (then the connection is
//       closed); either way nothing was written
//   -3  the response's header block exceeded kMaxHeaderBlockBytes; the connection was closed
//       and no page is delivered
//   -4  the connection ended before the end of the response's header block (an empty or
//       truncated reply); no page is delivered
//   -5  URL refused before any name lookup or byte: its scheme is not http (https, ftp ...;
//       letter case ignored), its authority holds a user part ("@"), or a bracketed IPv6
//       address is not closed. A URL without a scheme is taken as http
//   -6  the reply is not HTTP as the client reads it: its first line does not start with
//       "HTTP/" or has no status code of three digits from 100; or its chunked body is
//       malformed or ends before its last chunk. The connection was closed and no page is
//       delivered (interim 1xx replies are skipped, not errors)
//   any other value: the host socket's LastErrorCode (always positive, see host/TCPSocket.h)
//       for a connection that failed before it was up
//
// A connection that closes or breaks after the header block is no error: the page is what
// arrived, shorter than its Content-Length when the server stopped early (compare the two
// to tell). Of several Content-Length headers the first counts; one that is no usable byte
// count (not a number, not above 0, beyond 64 bits) does not end the body, which then runs
// to the server's close.

#include "host/Dictionary.h"
#include "host/Storage.h"
#include "host/TCPSocket.h"
#include "http/InternetHeaders.h"
#include "wire/Chunked.h"
#include "wire/ResponseHead.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace http {

namespace HTTPError {
inline constexpr int64_t None = 0;
inline constexpr int64_t Timeout = -1;
inline constexpr int64_t DownloadFile = 1;
inline constexpr int64_t UnsafeRequest = -2;
inline constexpr int64_t HeaderBlockTooLarge = -3;
inline constexpr int64_t IncompleteHead = -4;
inline constexpr int64_t UnsupportedURL = -5;
inline constexpr int64_t MalformedResponse = -6;
} // namespace HTTPError

// Limits of the client, kept together (the header block's, kMaxHeaderBlockBytes, is declared
// with the head it bounds in ResponseHead.h).
inline constexpr int kMaxAuthenticationRetries = 10;
// A Content-Length is only a claim: up front at most kInitialBodyReservation is set aside for
// it; once that much of the body has arrived the rest of the claim is believed (up to
// kMaxBodyReservation), so a large body is not copied again and again as it grows.
inline constexpr int64_t kInitialBodyReservation = int64_t(4) << 20;
inline constexpr int64_t kMaxBodyReservation = int64_t(1) << 30;
// A download is written to the file's name with this suffix (and a number when that name is
// taken) and renamed over the file once its body is complete.
inline constexpr const char* kPartialFileSuffix = ".part";
inline constexpr int kMaxPartialFileAttempts = 100;

using HeadersRef = std::shared_ptr<InternetHeaders>;
using FileRef = std::shared_ptr<host::FolderItem>;

// The small interface web-service callers rely on.
class _SOAPSocket {
public:
    virtual ~_SOAPSocket() = default;
    virtual int64_t ErrorCode() const = 0;
    virtual std::string Get(const std::string& url, int64_t timeoutSeconds) = 0;
    virtual HeadersRef GetRequestHeaders() = 0;
    virtual std::string Post(const std::string& url, int64_t timeoutSeconds) = 0;
    virtual void SetPostContent(const std::string& content, const std::string& mimeType) = 0;
};

class HTTPSocket : public host::TCPSocket, public _SOAPSocket {
public:
    HTTPSocket();
    ~HTTPSocket() override;

    // Public fields.
    std::string HTTPProxyAddress;
    int64_t HTTPProxyPort = 0;
    HeadersRef requestHeaders;
    bool Yield = false;

    // Events; an owner implements any of them by assigning a handler. The two
    // authentication events are raised in both modes, all others only for asynchronous use.
    // The authentication handlers fill in user name and password (passed in empty) and
    // return true to have the request repeated with them.
    using AuthenticationHandler = std::function<bool(const std::string& realm, HeadersRef headers,
                                                     std::string& userName, std::string& password)>;
    AuthenticationHandler AuthenticationRequired;
    std::function<void()> Connected;
    std::function<void(const std::string& url, int64_t httpStatus, HeadersRef headers,
                       FileRef file)>
        DownloadComplete;
    std::function<void(int64_t code)> Error;
    std::function<void(HeadersRef headers, int64_t httpStatus)> HeadersReceived;
    std::function<void(const std::string& url, int64_t httpStatus, HeadersRef headers,
                       const std::string& content)>
        PageReceived;
    AuthenticationHandler ProxyAuthenticationRequired;
    std::function<void(int64_t bytesReceived, int64_t totalBytes, const std::string& newData)>
        ReceiveProgress;

    void ClearRequestHeaders();
    // Raises NilObjectException when form is null.
    std::string EncodeFormData(const host::Dictionary* form);
    int64_t ErrorCode() const override;

    void Get(const std::string& url);
    void Get(const std::string& url, FileRef file);
    bool Get(const std::string& url, FileRef file, int64_t timeoutSeconds);
    std::string Get(const std::string& url, int64_t timeoutSeconds) override;

    void GetHeaders(const std::string& url);
    HeadersRef GetHeaders(const std::string& url, int64_t timeoutSeconds);

    int64_t HTTPStatusCode() const;
    HeadersRef PageHeaders() const;

    void Post(const std::string& url);
    void Post(const std::string& url, FileRef file);
    bool Post(const std::string& url, FileRef file, int64_t timeoutSeconds);
    std::string Post(const std::string& url, int64_t timeoutSeconds) override;

    void SendRequest(const std::string& method, const std::string& url);
    void SendRequest(const std::string& method, const std::string& url, FileRef file);
    bool SendRequest(const std::string& method, const std::string& url, FileRef file,
                     int64_t timeoutSeconds);
    std::string SendRequest(const std::string& method, const std::string& url,
                            int64_t timeoutSeconds);

    void SetFormData(const host::Dictionary* form);
    [[deprecated("use SetRequestContent")]] void
    SetPostContent(const std::string& content, const std::string& mimeType) override;
    void SetRequestContent(const std::string& content, const std::string& mimeType);
    void SetRequestHeader(const std::string& name, const std::string& value);

    // Returns the request headers object itself; changes apply to later requests.
    HeadersRef GetRequestHeaders() override;

protected:
    // Internal steps, reachable by subclasses (the tests use that).
    void SetError(int64_t code);
    void WaitForPage();
    // A wait with no timeout still wakes this often, so it notices a change of settings.
    static constexpr int64_t kUntimedWaitSliceMs = 1000;
    std::string _CreateAuthenticationData(const std::string& scheme, const std::string& userName,
                                          const std::string& password, host::Dictionary& params);
    std::string _CreateNonce();
    void _DoConnect(const std::string& url, const std::string& method, FileRef file);
    std::string _EncodeHex(const std::string& text) const;
    std::string _EncodeURLString(const std::string& text) const;
    void _HandleNewData();
    void _InitializeRequestHeaders();
    void _KillDownloadStream();
    host::Dictionary _ParseAuthenticationParams(const std::string& text) const;
    void _ParseHeaders(const std::string& headerBlock);
    void _ParseURL(const std::string& url);
    void _ProcessData(const std::string& data);
    void _ProcessPage();
    void _ResetVariables();
    void _SendRequest(const std::string& method);
    bool _SetAuthentication(const std::string& prefix);
    bool _SetDownloadFile(FileRef file);

    // Socket notifications.
    void OnConnected() override;
    void OnDataAvailable() override;
    void OnError() override;
    void OnSendComplete(bool userAborted) override;

    // Fields, in the order of the design; those below are private to the client's logic.
    int64_t mErrorCode = 0;
    bool synchronous = false;
    bool threadProtection = false;
    int64_t timeoutSeconds = 0;
    std::string _authenticationKey;
    bool _connectionValid = false;
    int64_t _contentlength = 0;
    int64_t _currentLength = 0;
    int64_t _DefaultPort = 0;
    FileRef _downloadFile;
    std::shared_ptr<host::BinaryStream> _downloadStream;
    std::string _httpAction;
    int64_t _httpStatusCode = 0;
    std::string _lastServerNonce;
    std::unique_ptr<host::Dictionary> _Nonces;
    std::shared_ptr<host::MemoryBlock> _pageBuffer;
    std::shared_ptr<host::BinaryStream> _pageBufferStream;
    bool _pageComplete = false;
    HeadersRef _pageHeaders;
    std::string _path;
    std::string _postContent;
    std::string _postContentType;
    std::string _processingURL;
    std::string _proxyAuthenticationKey;
    std::string _server;
    int64_t _totalLength = 0;

private:
    // Starts a request from a public operation (as opposed to an authentication retry).
    void startRequest(const std::string& method, const std::string& url, FileRef file,
                      bool blocking, int64_t timeout);
    std::string blockingBody();
    // The method, target, headers, media type and credentials hold nothing that could end a
    // line or forge one.
    bool requestIsSafe(const std::string& method, const std::string& target) const;
    // Ends a request refused as unsafe (error -2), before or after its connection came up.
    void refuseRequest();
    void completeAtClose();
    void handleArrival();
    // Ends the request with code: the connection closed, no page, no download file.
    void failRequest(int64_t code);
    // Body bytes arrived: decoded when chunked, then taken as the page's.
    void bodyArrival();
    // Takes body bytes the way the socket's Read does, those taken along with the head first,
    // and counts them as progress.
    std::string readBody(int64_t count);
    std::string takeBody(int64_t count);
    // Puts the complete partial file in the download file's place; false when it failed.
    bool commitDownload();
    void dropTakenBytes();

    // A connection of the current request came up (a blocking call returns only data of
    // its own request).
    bool requestConnected_ = false;
    // Authentication repeats of the current request.
    int authenticationRetries_ = 0;
    // What an authentication handler gave for the current request, kept for its repeats.
    struct Credentials {
        bool given = false;
        std::string scheme;
        std::string userName;
        std::string password;
        host::Dictionary params;
    };
    Credentials siteCredentials_;
    Credentials proxyCredentials_;
    // Credentials from an authentication handler held a forbidden control character.
    bool unsafeCredentials_ = false;
    // The server's close arrived while the data handler was busy; finish when it returns.
    bool closePending_ = false;
    // Incremented by every _DoConnect, so a handler can tell that a retry replaced the request.
    uint64_t requestGeneration_ = 0;

    // The file the body is written to until it is complete and replaces _downloadFile.
    FileRef partialFile_;
    // Body bytes taken from the socket, the blocking wait's measure of progress.
    uint64_t bodyBytesTaken_ = 0;

    // The head of the current response as it is taken from the socket.
    wire::ResponseHead head_;
    // What came after the head's blank line and has not been read as body yet.
    std::string bodyBytes_;
    // The decoder of a chunked body, or none.
    std::unique_ptr<wire::ChunkedBody> chunked_;
};

} // namespace http
