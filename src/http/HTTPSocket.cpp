#include "http/HTTPSocket.h"

#include "host/Application.h"
#include "host/Crypto.h"
#include "host/Exceptions.h"
#include "host/Strings.h"
#include "wire/Chunked.h"
#include "wire/Message.h"
#include "wire/Url.h"

#include <algorithm>
#include <array>
#include <limits>

namespace http {

namespace {

// RFC 9110 token characters.
bool isTokenChar(unsigned char c) {
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
        return true;
    }
    switch (c) {
    case '!':
    case '#':
    case '$':
    case '%':
    case '&':
    case '\'':
    case '*':
    case '+':
    case '-':
    case '.':
    case '^':
    case '_':
    case '`':
    case '|':
    case '~':
        return true;
    default:
        return false;
    }
}

bool isToken(const std::string& s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
        return isTokenChar(static_cast<unsigned char>(c));
    });
}

// No CR, LF, NUL and no other control character but tab: such text cannot end a line early.
bool isSafeFieldText(const std::string& s) {
    return std::none_of(s.begin(), s.end(), [](char ch) {
        const auto c = static_cast<unsigned char>(ch);
        return (c < 0x20 && c != '\t') || c == 0x7F;
    });
}

bool hasLineBreakOrNul(const std::string& s) {
    return s.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

// Content-Length as the client reads it: the leading decimal number, cut toward zero.
// Val clamps values beyond the 64-bit range to its ends; such a length counts as absent.
bool contentLengthValue(const std::string& text, int64_t& out) {
    const int64_t value = host::Val(text);
    if (value == std::numeric_limits<int64_t>::max() ||
        value == std::numeric_limits<int64_t>::min()) {
        return false;
    }
    out = value;
    return true;
}

// The text a quoted string stands for: each backslash escape replaced by the character it
// escapes.
std::string unescapeQuoted(const std::string& quoted) {
    std::string plain;
    plain.reserve(quoted.size());
    for (size_t i = 0; i < quoted.size(); ++i) {
        if (quoted[i] == '\\' && i + 1 < quoted.size()) {
            ++i;
        }
        plain += quoted[i];
    }
    return plain;
}

// A quoted string standing for text: each quotation mark and backslash escaped.
std::string escapeQuoted(const std::string& plain) {
    std::string quoted;
    quoted.reserve(plain.size());
    for (const char c : plain) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
        }
        quoted += c;
    }
    return quoted;
}

// How a Digest challenge is answered: the hash, whether HA1 is a session key, and whether
// the answer carries qop=auth or is the older form without qop, nc and cnonce.
struct DigestForm {
    host::HashAlgorithm hash = host::HashAlgorithm::MD5;
    bool session = false;
    bool qopAuth = false;
    std::string algorithm; // as the challenge named it, empty when it named none
};

// False for an algorithm the client does not know, or a qop list without "auth" (the only
// protection it offers): a value built anyway would only be refused.
bool digestFormOf(const std::string& algorithm, const std::string& qop, bool hasQop,
                  DigestForm& form) {
    form.algorithm = algorithm;
    if (algorithm.empty() || host::EqualsIgnoreCase(algorithm, "MD5")) {
    } else if (host::EqualsIgnoreCase(algorithm, "MD5-sess")) {
        form.session = true;
    } else if (host::EqualsIgnoreCase(algorithm, "SHA-256")) {
        form.hash = host::HashAlgorithm::SHA256;
    } else if (host::EqualsIgnoreCase(algorithm, "SHA-256-sess")) {
        form.hash = host::HashAlgorithm::SHA256;
        form.session = true;
    } else {
        return false;
    }
    if (!hasQop) {
        return true;
    }
    size_t from = 0;
    while (from <= qop.size()) {
        const size_t comma = std::min(qop.find(',', from), qop.size());
        if (host::EqualsIgnoreCase(host::Trim(qop.substr(from, comma - from)), "auth")) {
            form.qopAuth = true;
            return true;
        }
        from = comma + 1;
    }
    return false;
}

host::Random& nonceGenerator() {
    static host::Random generator;
    return generator;
}

} // namespace

HTTPSocket::HTTPSocket() {
    _ResetVariables();
    _InitializeRequestHeaders();
    _DefaultPort = 80;
}

HTTPSocket::~HTTPSocket() {
    _KillDownloadStream(); // an unfinished download leaves no partial file behind
}

// ---- request composition ------------------------------------------------------------------

void HTTPSocket::_ParseURL(const std::string& url) {
    const wire::Url parts = wire::splitUrl(url);
    _server = parts.authority;
    _path = parts.target;
    if (parts.port != 0) {
        Port = parts.port;
    } else if (Port == 0) {
        Port = _DefaultPort;
    }
    Address = parts.host;
}

void HTTPSocket::_DoConnect(const std::string& url, const std::string& method, FileRef file) {
    ++requestGeneration_;
    requestConnected_ = false;
    closePending_ = false;
    mErrorCode = HTTPError::None;
    // A new request replaces the previous one even when it fails before connecting: the old
    // connection goes (our own Close raises no notification), and the previous response's
    // status and headers must not pass for this request's.
    Close();
    _connectionValid = false;
    Purge();
    dropTakenBytes();
    _pageHeaders.reset();
    _httpStatusCode = 0;
    _ParseURL(url);
    _processingURL = url;
    _httpAction = method;
    // Before any lookup or byte: another scheme would go out in clear to the wrong port, and
    // a user part would send it to a host other than the one the URL seems to name.
    if (!wire::isClientUrl(url)) {
        SetError(HTTPError::UnsupportedURL);
        return;
    }
    // Checked here too, so that a request refused up front makes no connection.
    if (!requestIsSafe(_httpAction, _processingURL)) {
        refuseRequest();
        return;
    }
    if (!_SetDownloadFile(std::move(file))) {
        return;
    }
    if (!HTTPProxyAddress.empty()) {
        Address = HTTPProxyAddress;
        Port = HTTPProxyPort;
        if (Port == 0) {
            Port = _DefaultPort;
        }
    }
    Connect();
}

bool HTTPSocket::requestIsSafe(const std::string& method, const std::string& target) const {
    if (unsafeCredentials_ || !isToken(method) || !isSafeFieldText(target) ||
        !isSafeFieldText(_postContentType) || !isSafeFieldText(_authenticationKey) ||
        !isSafeFieldText(_proxyAuthenticationKey)) {
        return false;
    }
    if (requestHeaders) {
        for (int64_t i = 0; i < requestHeaders->Count(); ++i) {
            if (!isToken(requestHeaders->Name(i)) || !isSafeFieldText(requestHeaders->Value(i))) {
                return false;
            }
        }
    }
    return true;
}

void HTTPSocket::refuseRequest() {
    if (requestConnected_) {
        // Refused with the connection up: nothing was written and nothing will be read. The
        // lines _SendRequest added for this request alone go with it.
        if (!_authenticationKey.empty()) {
            SetRequestHeader("Authorization", "");
        }
        if (!_proxyAuthenticationKey.empty()) {
            SetRequestHeader("Proxy-Authorization", "");
        }
        SetRequestHeader("Content-length", "");
        Close();
        _connectionValid = false;
        _pageComplete = true;
        _KillDownloadStream();
    }
    // Credentials travel once; a refused request must not leave them for the next one.
    _authenticationKey.clear();
    _proxyAuthenticationKey.clear();
    unsafeCredentials_ = false;
    SetError(HTTPError::UnsafeRequest);
}

void HTTPSocket::OnConnected() {
    _connectionValid = true;
    requestConnected_ = true;
    _ResetVariables();
    if (!synchronous && Connected) {
        Connected();
    }
    if (_httpAction.empty()) {
        _httpAction = "GET";
    }
    _SendRequest(_httpAction);
}

void HTTPSocket::_ResetVariables() {
    if (_pageBufferStream) {
        _pageBufferStream->Close();
        _pageBufferStream.reset();
    }
    _pageBuffer = std::make_shared<host::MemoryBlock>(0);
    _pageBufferStream = std::make_shared<host::BinaryStream>(_pageBuffer);
    _pageHeaders.reset();
    _httpStatusCode = 0;
    _totalLength = 0;
    _currentLength = 0;
    _pageComplete = false;
    closePending_ = false;
    dropTakenBytes();
}

void HTTPSocket::_InitializeRequestHeaders() {
    requestHeaders = std::make_shared<InternetHeaders>();
    requestHeaders->SetHeader("Accept", "*/*");
    requestHeaders->SetHeader("Accept-Language", "en");
}

void HTTPSocket::_SendRequest(const std::string& method) {
    if (!requestHeaders) {
        _InitializeRequestHeaders();
    }
    requestHeaders->SetHeader("Host", _server);
    // Credentials given earlier in this exchange are built afresh for each repeat, so a
    // Digest value never goes out twice with the same nonce count.
    for (auto [credentials, key] : {std::pair{&siteCredentials_, &_authenticationKey},
                                    std::pair{&proxyCredentials_, &_proxyAuthenticationKey}}) {
        if (credentials->given && key->empty()) {
            *key = _CreateAuthenticationData(credentials->scheme, credentials->userName,
                                             credentials->password, credentials->params);
        }
    }
    if (!_authenticationKey.empty()) {
        SetRequestHeader("Authorization", _authenticationKey);
    }
    if (!_proxyAuthenticationKey.empty()) {
        SetRequestHeader("Proxy-Authorization", _proxyAuthenticationKey);
    }
    if (host::EqualsIgnoreCase(method, "HEAD")) {
        _postContent.clear();
        _postContentType.clear();
    }
    if (!host::Trim(_postContentType).empty()) {
        SetRequestHeader("Content-type", _postContentType);
    }
    if (!_postContent.empty()) {
        SetRequestHeader("Content-length", host::Int64ToText(host::LenB(_postContent)));
    }
    if (!HTTPProxyAddress.empty()) {
        _path = _processingURL;
    }
    // The bytes about to go out are checked, not only the request as it started: a
    // Connected handler, or a change made before the connection came up, can add a line.
    if (!requestIsSafe(method, _path)) {
        refuseRequest();
        return;
    }
    std::string request = wire::requestLine(method, _path) + requestHeaders->_FormatHTTPHeaders();
    if (!_authenticationKey.empty()) {
        SetRequestHeader("Authorization", "");
        _authenticationKey.clear();
    }
    if (!_proxyAuthenticationKey.empty()) {
        SetRequestHeader("Proxy-Authorization", "");
        _proxyAuthenticationKey.clear();
    }
    request.append(wire::kLineEnd).append(wire::kLineEnd);
    request += _postContent;
    Write(request);
    SetRequestHeader("Content-length", "");
}

void HTTPSocket::SetRequestHeader(const std::string& name, const std::string& value) {
    if (!requestHeaders) {
        _InitializeRequestHeaders();
    }
    if (value.empty()) {
        requestHeaders->Delete(name);
    } else {
        requestHeaders->SetHeader(name, value);
    }
}

void HTTPSocket::ClearRequestHeaders() {
    if (!requestHeaders) {
        throw host::NilObjectException("ClearRequestHeaders: no request headers");
    }
    requestHeaders->DeleteAllHeaders();
}

HeadersRef HTTPSocket::GetRequestHeaders() {
    return requestHeaders;
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
void HTTPSocket::SetPostContent(const std::string& content, const std::string& mimeType) {
    SetRequestContent(content, mimeType);
}
#pragma GCC diagnostic pop

void HTTPSocket::SetRequestContent(const std::string& content, const std::string& mimeType) {
    _postContent = content;
    _postContentType = mimeType;
}

void HTTPSocket::SetFormData(const host::Dictionary* form) {
    if (!form) {
        _postContent.clear();
        _postContentType.clear();
        return;
    }
    _postContent = EncodeFormData(form);
    _postContentType = "application/x-www-form-urlencoded";
}

std::string HTTPSocket::EncodeFormData(const host::Dictionary* form) {
    if (!form) {
        throw host::NilObjectException("EncodeFormData: no dictionary");
    }
    std::string encoded;
    for (int64_t i = 0; i < form->Count(); ++i) {
        encoded += '&';
        encoded += _EncodeURLString(form->Key(i));
        encoded += '=';
        encoded += _EncodeURLString(form->ValueAt(i).StringValue());
    }
    return encoded.empty() ? encoded : encoded.substr(1);
}

std::string HTTPSocket::_EncodeURLString(const std::string& text) const {
    // Escaping every member of the set in one pass gives the same text as escaping them one
    // after another with "%" first, since an escape only adds "%" and hexadecimal digits.
    static constexpr std::array<unsigned char, 27> escaped = {37,  38, 61,  44, 47, 92, 93, 91, 123,
                                                              125, 96, 126, 45, 95, 40, 41, 42, 94,
                                                              36,  35, 33,  43, 59, 60, 62, 13, 10};
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (std::find(escaped.begin(), escaped.end(), c) != escaped.end()) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0x0F];
        } else if (c == ' ') {
            out += '+';
        } else {
            out += ch;
        }
    }
    return out;
}

std::string HTTPSocket::_EncodeHex(const std::string& text) const {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size() * 2);
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        out += hex[c >> 4];
        out += hex[c & 0x0F];
    }
    return out;
}

// ---- response handling --------------------------------------------------------------------

void HTTPSocket::OnDataAvailable() {
    _HandleNewData();
}

void HTTPSocket::OnSendComplete(bool) {}

void HTTPSocket::_HandleNewData() {
    if (threadProtection) {
        return;
    }
    {
        threadProtection = true;
        struct Release {
            HTTPSocket& socket;
            ~Release() { socket.threadProtection = false; }
        } release{*this};
        handleArrival();
    }
    if (closePending_) {
        closePending_ = false;
        completeAtClose();
    }
}

void HTTPSocket::failRequest(int64_t code) {
    dropTakenBytes();
    _currentLength = 0; // what arrived is no page, so a blocking call returns none of it
    Close();
    _connectionValid = false;
    closePending_ = false;
    _pageComplete = true;
    // No page will complete, so nothing else would close the download file.
    _KillDownloadStream();
    SetError(code);
}

void HTTPSocket::dropTakenBytes() {
    head_.reset();
    bodyBytes_ = std::string();
    chunked_.reset();
}

std::string HTTPSocket::readBody(int64_t count) {
    std::string piece = takeBody(count);
    bodyBytesTaken_ += piece.size();
    return piece;
}

std::string HTTPSocket::takeBody(int64_t count) {
    if (bodyBytes_.empty()) {
        return Read(count);
    }
    const auto held = static_cast<int64_t>(bodyBytes_.size());
    if (count > 0 && count < held) {
        std::string piece = bodyBytes_.substr(0, static_cast<size_t>(count));
        bodyBytes_.erase(0, static_cast<size_t>(count));
        return piece;
    }
    std::string piece = std::move(bodyBytes_);
    bodyBytes_ = std::string();
    if (count <= 0) {
        piece += ReadAll();
    } else if (count > held) {
        piece += Read(count - held);
    }
    return piece;
}

void HTTPSocket::bodyArrival() {
    std::string bytes = readBody(_contentlength);
    if (!chunked_) {
        _ProcessData(bytes);
        return;
    }
    std::string data;
    const wire::ChunkedBody::State state = chunked_->feed(bytes, data);
    if (state == wire::ChunkedBody::State::Malformed) {
        failRequest(HTTPError::MalformedResponse);
        return;
    }
    _ProcessData(data);
    if (state == wire::ChunkedBody::State::Complete && !_pageComplete) {
        Close();
        _ProcessPage();
    }
}

void HTTPSocket::handleArrival() {
    if (_pageHeaders) {
        bodyArrival();
        return;
    }
    // The head is taken out of the socket as it arrives: looking at the socket's buffer in
    // place copies all of it on every arrival, and a head trickling in a few bytes at a time
    // would cost time quadratic in its length.
    std::string arrival = ReadAll();
    std::string block;
    while (true) {
        switch (head_.feed(arrival)) {
        case wire::ResponseHead::State::Reading:
            return;
        case wire::ResponseHead::State::TooLarge:
            failRequest(HTTPError::HeaderBlockTooLarge);
            return;
        case wire::ResponseHead::State::Complete:
            break;
        }
        // What followed the blank line is body, read before anything the socket still holds.
        bodyBytes_ = head_.rest();
        block = head_.block();
        head_.reset();
        const int64_t status = wire::httpStatusCode(block.substr(0, block.find_first_of("\r\n")));
        if (status < 0) {
            failRequest(HTTPError::MalformedResponse);
            return;
        }
        if (!wire::isInterimStatus(status)) {
            break;
        }
        // An interim reply (100 Continue and the like): the real one follows it.
        arrival = std::move(bodyBytes_);
        bodyBytes_ = std::string();
    }
    _ParseHeaders(block);

    if (authenticationRetries_ < kMaxAuthenticationRetries &&
        ((_httpStatusCode == 401 && _SetAuthentication("WWW")) ||
         (_httpStatusCode == 407 && _SetAuthentication("Proxy")))) {
        ++authenticationRetries_;
        const std::string url = _processingURL;
        const std::string method = _httpAction;
        _DoConnect(url, method, _downloadFile);
        return;
    }
    const uint64_t generation = requestGeneration_;
    if (!synchronous && HeadersReceived) {
        HeadersReceived(_pageHeaders, _httpStatusCode);
    }
    if (generation != requestGeneration_) {
        return; // the handler started another request on this object
    }
    if (_pageHeaders->_HasHeader("content-length")) {
        int64_t length = 0;
        if (contentLengthValue(_pageHeaders->Value("content-length"), length)) {
            _contentlength = length;
        }
    }
    // A chunked body carries its own framing, which overrides any Content-Length; a reply
    // to HEAD has no body to frame.
    if (!host::EqualsIgnoreCase(_httpAction, "HEAD") &&
        wire::endsWithChunked(_pageHeaders->Value("Transfer-Encoding"))) {
        chunked_ = std::make_unique<wire::ChunkedBody>();
        _contentlength = 0;
        _totalLength = 0;
    }
    if (_totalLength > 0 && !_downloadFile) {
        _pageBuffer->Reserve(std::min(_totalLength, kInitialBodyReservation));
    }
    bodyArrival();
}

void HTTPSocket::_ParseHeaders(const std::string& headerBlock) {
    const std::string eol = InternetHeaders::_DetermineEOLCharacter(headerBlock);
    _pageHeaders = std::make_shared<InternetHeaders>();
    const std::string firstLine = headerBlock.substr(0, headerBlock.find(eol));
    _httpStatusCode = wire::parseStatusLine(firstLine).code;
    _pageHeaders->_ParseHeaders(headerBlock);
    if (_pageHeaders->NameCount("Content-length") > 0) {
        int64_t length = 0;
        if (contentLengthValue(_pageHeaders->Value("Content-length"), length)) {
            _totalLength = length;
        }
    }
}

void HTTPSocket::_ProcessData(const std::string& data) {
    if (host::EqualsIgnoreCase(_httpAction, "HEAD")) {
        return;
    }
    if (!data.empty()) {
        _currentLength += host::LenB(data);
        _contentlength -= host::LenB(data);
        if (_downloadStream) {
            try {
                _downloadStream->Write(data);
            } catch (const host::IOException&) {
                failRequest(HTTPError::DownloadFile);
                return;
            }
        } else {
            if (_totalLength > kInitialBodyReservation &&
                _currentLength > kInitialBodyReservation) {
                _pageBuffer->Reserve(std::min(_totalLength, kMaxBodyReservation));
            }
            _pageBufferStream->Write(data);
        }
        if (!synchronous && ReceiveProgress) {
            ReceiveProgress(_currentLength, _totalLength, data);
        }
    }
    // A chunked body's own framing says when it ends, or that it was cut short.
    if ((_httpStatusCode == 401 || _httpStatusCode == 407) && !IsConnected() && !chunked_) {
        _ProcessPage();
        return;
    }
    if (_totalLength > 0 && _currentLength >= _totalLength) {
        Close();
        _ProcessPage();
    }
}

void HTTPSocket::OnError() {
    const bool wasConnected = _connectionValid;
    _connectionValid = false;
    if (!wasConnected) {
        // The request failed before it was up; its download file must not stay open.
        _KillDownloadStream();
        SetError(LastErrorCode());
        return;
    }
    // The server closed the connection (or it broke): the end of the response.
    if (threadProtection) {
        closePending_ = true; // the busy data handler finishes the response when it returns
        return;
    }
    completeAtClose();
}

void HTTPSocket::completeAtClose() {
    if (_pageComplete) {
        return;
    }
    const uint64_t generation = requestGeneration_;
    if (BytesAvailable() > 0 || !bodyBytes_.empty()) {
        _HandleNewData();
        if (generation != requestGeneration_ || _pageComplete || mErrorCode != HTTPError::None) {
            return;
        }
    }
    if (!_pageHeaders) {
        // Nothing, or only part of a header block, arrived: there is no page to deliver.
        _pageComplete = true;
        _KillDownloadStream();
        SetError(HTTPError::IncompleteHead);
        return;
    }
    if (chunked_ && chunked_->state() != wire::ChunkedBody::State::Complete) {
        // The framing says the body is not complete: unlike a body without length, this is
        // known to be cut short.
        failRequest(HTTPError::MalformedResponse);
        return;
    }
    _ProcessPage();
}

void HTTPSocket::SetError(int64_t code) {
    mErrorCode = code;
    if (!synchronous && Error) {
        Error(code);
    }
}

void HTTPSocket::_ProcessPage() {
    if (_pageComplete) {
        return;
    }
    _pageComplete = true;
    FileRef file = _downloadFile;
    if (file && !commitDownload()) {
        SetError(HTTPError::DownloadFile);
        return;
    }
    if (host::EqualsIgnoreCase(_httpAction, "HEAD") || synchronous) {
        return;
    }
    if (file) {
        if (DownloadComplete) {
            DownloadComplete(_processingURL, _httpStatusCode, _pageHeaders, file);
        }
    } else if (PageReceived) {
        const std::string body =
            _currentLength > 0 ? _pageBuffer->StringValue(0, _currentLength) : std::string();
        PageReceived(_processingURL, _httpStatusCode, _pageHeaders, body);
    }
}

bool HTTPSocket::_SetDownloadFile(FileRef file) {
    _KillDownloadStream();
    if (!file) {
        return true;
    }
    // The file itself is only checked here: the body goes to a partial file beside it, which
    // replaces it once the body is complete, so a failed request leaves it as it was.
    if (file->Directory() || (file->Exists() && !file->Writeable())) {
        SetError(HTTPError::DownloadFile);
        return false;
    }
    try {
        for (int attempt = 0;; ++attempt) {
            auto partial = std::make_shared<host::FolderItem>(
                file->NativePath() + kPartialFileSuffix +
                (attempt == 0 ? std::string() : host::Int64ToText(attempt)));
            try {
                // Created anew, never over a file someone else is writing.
                _downloadStream = host::BinaryStream::Create(*partial, false);
                partialFile_ = std::move(partial);
                break;
            } catch (const host::IOException&) {
                if (!partial->Exists() || attempt + 1 >= kMaxPartialFileAttempts) {
                    throw;
                }
            }
        }
    } catch (const host::IOException&) {
        SetError(HTTPError::DownloadFile);
        return false;
    }
    _downloadFile = std::move(file);
    return true;
}

void HTTPSocket::_KillDownloadStream() {
    _downloadFile.reset();
    if (_downloadStream) {
        _downloadStream->Close();
        _downloadStream.reset();
    }
    if (partialFile_) {
        partialFile_->Delete();
        partialFile_.reset();
    }
}

bool HTTPSocket::commitDownload() {
    if (_downloadStream) {
        _downloadStream->Close();
        _downloadStream.reset();
    }
    const bool moved = partialFile_ && _downloadFile && partialFile_->MoveOver(*_downloadFile);
    if (moved) {
        partialFile_.reset();
    }
    _KillDownloadStream();
    return moved;
}

int64_t HTTPSocket::HTTPStatusCode() const {
    return _httpStatusCode;
}

int64_t HTTPSocket::ErrorCode() const {
    return mErrorCode;
}

HeadersRef HTTPSocket::PageHeaders() const {
    return _pageHeaders && _pageHeaders->Count() > 0 ? _pageHeaders : nullptr;
}

// ---- request operations and the blocking wait ---------------------------------------------

void HTTPSocket::startRequest(const std::string& method, const std::string& url, FileRef file,
                              bool blocking, int64_t timeout) {
    if (blocking) {
        timeoutSeconds = timeout;
    }
    synchronous = blocking;
    authenticationRetries_ = 0;
    // Credentials last for one request and its repeats, never into the next request.
    siteCredentials_ = Credentials{};
    proxyCredentials_ = Credentials{};
    _DoConnect(url, method, std::move(file));
    if (blocking) {
        WaitForPage();
    }
}

std::string HTTPSocket::blockingBody() {
    if (!requestConnected_ || _currentLength <= 0) {
        return {};
    }
    // The page buffer is not needed after a blocking call: hand its bytes over instead of
    // copying a possibly large body.
    return _pageBuffer->TakeString(_currentLength);
}

void HTTPSocket::Get(const std::string& url) {
    startRequest("GET", url, nullptr, false, 0);
}

void HTTPSocket::Get(const std::string& url, FileRef file) {
    startRequest("GET", url, std::move(file), false, 0);
}

bool HTTPSocket::Get(const std::string& url, FileRef file, int64_t timeout) {
    startRequest("GET", url, std::move(file), true, timeout);
    return mErrorCode == HTTPError::None;
}

std::string HTTPSocket::Get(const std::string& url, int64_t timeout) {
    startRequest("GET", url, nullptr, true, timeout);
    return blockingBody();
}

void HTTPSocket::GetHeaders(const std::string& url) {
    startRequest("HEAD", url, nullptr, false, 0);
}

HeadersRef HTTPSocket::GetHeaders(const std::string& url, int64_t timeout) {
    startRequest("HEAD", url, nullptr, true, timeout);
    return requestConnected_ ? _pageHeaders : nullptr;
}

void HTTPSocket::Post(const std::string& url) {
    startRequest("POST", url, nullptr, false, 0);
}

void HTTPSocket::Post(const std::string& url, FileRef file) {
    startRequest("POST", url, std::move(file), false, 0);
}

bool HTTPSocket::Post(const std::string& url, FileRef file, int64_t timeout) {
    startRequest("POST", url, std::move(file), true, timeout);
    return mErrorCode == HTTPError::None;
}

std::string HTTPSocket::Post(const std::string& url, int64_t timeout) {
    startRequest("POST", url, nullptr, true, timeout);
    return blockingBody();
}

void HTTPSocket::SendRequest(const std::string& method, const std::string& url) {
    startRequest(method, url, nullptr, false, 0);
}

void HTTPSocket::SendRequest(const std::string& method, const std::string& url, FileRef file) {
    startRequest(method, url, std::move(file), false, 0);
}

bool HTTPSocket::SendRequest(const std::string& method, const std::string& url, FileRef file,
                             int64_t timeout) {
    startRequest(method, url, std::move(file), true, timeout);
    return mErrorCode == HTTPError::None;
}

std::string HTTPSocket::SendRequest(const std::string& method, const std::string& url,
                                    int64_t timeout) {
    startRequest(method, url, nullptr, true, timeout);
    return blockingBody();
}

void HTTPSocket::WaitForPage() {
    host::Application* app = host::getAppObject();
    _pageComplete = false;
    const auto deadlineFromNow = [this] { return host::Ticks() + timeoutSeconds * 60; };
    int64_t deadline = deadlineFromNow();
    uint64_t lastTaken = bodyBytesTaken_;
    bool lastConnectionState = false;
    while (true) {
        if (_pageComplete || mErrorCode != HTTPError::None) {
            return;
        }
        // The wait sleeps in the OS until this socket has activity (with Yield, any event of
        // the program) or the deadline comes, so an idle wait costs next to no processor time.
        const int64_t waitMs =
            timeoutSeconds > 0 ? std::max<int64_t>(0, (deadline - host::Ticks() + 1) * 1000 / 60)
                               : kUntimedWaitSliceMs;
        if (Yield) {
            // Also without a registered application object: the caller asked for events.
            WaitForEvents(waitMs);
        } else {
            Poll(waitMs);
        }
        if (_connectionValid != lastConnectionState) {
            lastConnectionState = _connectionValid;
            deadline = deadlineFromNow();
        } else if (bodyBytesTaken_ != lastTaken) {
            // A body byte is progress whether it went to memory or to a file; bytes of the
            // head are not, so a head trickling in cannot hold the wait open.
            lastTaken = bodyBytesTaken_;
            deadline = deadlineFromNow();
        }
        if (timeoutSeconds > 0 && host::Ticks() > deadline) {
            Close();
            _connectionValid = false;
            _KillDownloadStream();
            SetError(HTTPError::Timeout);
            return;
        }
        if (app) {
            app->YieldToNextThread();
        }
    }
}

// ---- authentication -----------------------------------------------------------------------

bool HTTPSocket::_SetAuthentication(const std::string& prefix) {
    const std::string challenge = _pageHeaders->Value(prefix + "-Authenticate");
    const std::string scheme = host::NthField(challenge, " ", 1);
    host::Dictionary params =
        _ParseAuthenticationParams(host::Mid(challenge, host::Len(scheme) + 2));
    params.SetValue("method", _httpAction);
    // The request target exactly as the request line carries it: servers compare the two.
    params.SetValue("uri", _path);
    if (params.HasKey("nonce")) {
        _lastServerNonce = params.Value("nonce").StringValue();
    } else {
        params.SetValue("nonce", _lastServerNonce);
    }
    const bool proxy = host::EqualsIgnoreCase(prefix, "Proxy");
    const AuthenticationHandler& handler =
        proxy ? ProxyAuthenticationRequired : AuthenticationRequired;
    if (!handler) {
        return false;
    }
    std::string userName;
    std::string password;
    const std::string realm = unescapeQuoted(params.Lookup("realm", std::string()).StringValue());
    if (!handler(realm, _pageHeaders, userName, password)) {
        return false;
    }
    const std::string value = _CreateAuthenticationData(scheme, userName, password, params);
    if (value.empty()) {
        return false;
    }
    if (hasLineBreakOrNul(userName) || hasLineBreakOrNul(password)) {
        unsafeCredentials_ = true; // the repeated request is refused before it connects
    }
    (proxy ? _proxyAuthenticationKey : _authenticationKey) = value;
    // A proxy in front of a protected site challenges first, then the site does: the
    // proxy's credentials must go on with the site's, or the two refuse in turn.
    (proxy ? proxyCredentials_ : siteCredentials_) =
        Credentials{true, scheme, userName, password, std::move(params)};
    return true;
}

host::Dictionary HTTPSocket::_ParseAuthenticationParams(const std::string& text) const {
    // name=value elements separated by commas; a quoted value may hold commas and
    // backslash-escaped characters. Blanks around elements are dropped. A quoted value is
    // kept as received between its quotation marks, escapes included: realm, nonce and
    // opaque must go back to the server exactly so.
    host::Dictionary params;
    size_t i = 0;
    const size_t n = text.size();
    const auto skipBlanks = [&] {
        while (i < n && (text[i] == ' ' || text[i] == '\t')) {
            ++i;
        }
    };
    while (i < n) {
        skipBlanks();
        if (i < n && text[i] == ',') {
            ++i;
            continue;
        }
        const size_t nameStart = i;
        while (i < n && text[i] != '=' && text[i] != ',') {
            ++i;
        }
        std::string name = host::Trim(text.substr(nameStart, i - nameStart));
        std::string value;
        if (i < n && text[i] == '=') {
            ++i;
            skipBlanks();
            if (i < n && text[i] == '"') {
                ++i;
                while (i < n && text[i] != '"') {
                    if (text[i] == '\\' && i + 1 < n) {
                        value += text[i++];
                    }
                    value += text[i++];
                }
                if (i < n) {
                    ++i; // closing quotation mark
                }
                while (i < n && text[i] != ',') {
                    ++i;
                }
            } else {
                const size_t valueStart = i;
                while (i < n && text[i] != ',') {
                    ++i;
                }
                value = host::Trim(text.substr(valueStart, i - valueStart));
            }
        }
        if (!name.empty()) {
            params.SetValue(name, value);
        }
    }
    return params;
}

std::string HTTPSocket::_CreateAuthenticationData(const std::string& scheme,
                                                  const std::string& userName,
                                                  const std::string& password,
                                                  host::Dictionary& params) {
    if (host::EqualsIgnoreCase(scheme, "Basic")) {
        return "Basic " + host::EncodeBase64(userName + ":" + password, 0);
    }
    if (!host::EqualsIgnoreCase(scheme, "Digest")) {
        return {};
    }
    const auto param = [&](const char* name, const char* fallback) {
        return params.Lookup(name, std::string(fallback)).StringValue();
    };
    DigestForm form;
    if (!digestFormOf(param("algorithm", ""), param("qop", ""), params.HasKey("qop"), form)) {
        return {}; // an algorithm or protection we cannot answer: the server would refuse it
    }
    const auto hexHash = [&](const std::string& text) {
        return _EncodeHex(host::Hash(form.hash, text));
    };
    const std::string nonce = param("nonce", "");
    if (!_Nonces) {
        _Nonces = std::make_unique<host::Dictionary>();
    }
    const int64_t count = _Nonces->Lookup(nonce, int64_t(0)).IntegerValue();
    const std::string nc = host::FormatZeroPadded(count + 1, 8);
    _Nonces->SetValue(nonce, count + 1);
    const std::string cnonce = _CreateNonce();
    const std::string realm = param("realm", "");
    const std::string uri = param("uri", "/");
    // The digest is taken over what the quoted strings stand for; the value carries them as
    // the server wrote them.
    const std::string plainNonce = unescapeQuoted(nonce);
    std::string ha1 = hexHash(userName + ":" + unescapeQuoted(realm) + ":" + password);
    if (form.session) {
        ha1 = hexHash(ha1 + ":" + plainNonce + ":" + cnonce);
    }
    const std::string ha2 = hexHash(param("method", "GET") + ":" + uri);
    const std::string response =
        form.qopAuth ? hexHash(ha1 + ":" + plainNonce + ":" + nc + ":" + cnonce + ":auth:" + ha2)
                     : hexHash(ha1 + ":" + plainNonce + ":" + ha2);
    const std::string q = "\"";
    // The name is the owner's plain text; unescaped, a quotation mark in it would end the
    // quoted string early and a backslash would be taken as an escape.
    std::string value = "Digest username=" + q + escapeQuoted(userName) + q + ", ";
    value += "realm=" + q + realm + q + ", ";
    value += "nonce=" + q + nonce + q + ", ";
    value += "uri=" + q + uri + q + ", ";
    // The server names the algorithm it checks against, so it is named back when it was.
    if (!form.algorithm.empty()) {
        value += "algorithm=" + form.algorithm + ", ";
    }
    if (form.qopAuth) {
        value += "qop=auth, ";
        value += "nc=" + nc + ", ";
    }
    // Without qop (the older form) the server needs the client nonce only for a session
    // algorithm, whose HA1 it enters.
    if (form.qopAuth || form.session) {
        value += "cnonce=" + q + cnonce + q + ", ";
    }
    value += "response=" + q + response + q + ", ";
    if (params.HasKey("opaque")) {
        value += "opaque=" + q + params.Value("opaque").StringValue() + q;
    }
    return value;
}

std::string HTTPSocket::_CreateNonce() {
    host::Random& generator = nonceGenerator();
    std::string nonce;
    nonce.reserve(25);
    for (int i = 0; i < 25; ++i) {
        const int64_t n = generator.InRange(0, 61);
        const int64_t code = n <= 9 ? 48 + n : n <= 35 ? 55 + n : 61 + n;
        nonce += static_cast<char>(code);
    }
    return nonce;
}

} // namespace http
