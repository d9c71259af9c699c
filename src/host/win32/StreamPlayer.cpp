// The stream player on Windows: the stream over the host's own TCP socket, MP3 frames
// decoded by the system's ACM decoder, PCM played through waveOut. Every step runs on the
// main thread from the event loop; nothing blocks it.

#include "host/StreamPlayer.h"

#include "host/Application.h"
#include "host/EventLoop.h"
#include "host/StreamFormat.h"
#include "host/StreamPlayerState.h"
#include "host/TCPSocket.h"
#include "host/win32/Win32.h"
#include "wire/Message.h"
#include "wire/ResponseHead.h"
#include "wire/Url.h"

#include <algorithm>
#include <deque>
#include <mmreg.h>
#include <msacm.h>
#include <vector>

namespace host {
namespace {

// How often finished output buffers are collected.
constexpr int64_t kTickMs = 50;
// One output buffer holds this much sound; playback starts once kStartBuffers are queued.
constexpr int64_t kBufferMs = 100;
constexpr size_t kStartBuffers = 3;
// A reply head that does not end within this many bytes is not a stream server's.
constexpr size_t kMaxHeadBytes = 16 * 1024;
// Bytes of audio searched for MP3 frames before the stream counts as another format.
constexpr size_t kMaxSyncSearchBytes = 64 * 1024;
// Compressed bytes handed to the decoder at once.
constexpr size_t kDecodeChunkBytes = 16 * 1024;
constexpr int kMaxRedirects = 5;
// Decoded sound queued for the output at most. Past it the engine stops reading, the
// stream's bytes wait in the socket and then in the OS, and TCP holds a server that sends
// faster than real time (a burst on connect, a hostile one) to the stream's own pace.
constexpr int64_t kMaxQueuedMs = 4000;
// Unread stream bytes the socket holds before it stops reading too.
constexpr int64_t kSocketBufferBytes = 64 * 1024;
// Stream bytes taken from the socket at once while the output has room.
constexpr int64_t kReadChunkBytes = 4 * 1024;
// New audio bytes decoded at once while reading on.
constexpr size_t kDecodeBatchBytes = 1024;
// Stream bytes not yet decoded at most: while the output changes format, or before the
// first frames are found (more than kMaxSyncSearchBytes).
constexpr size_t kMaxCompressedBytes = 128 * 1024;

struct OutputBuffer {
    WAVEHDR header{};
    std::string data;
};

} // namespace

struct StreamPlayer::Engine final : StreamPlayer::Impl {
    ~Engine() override { teardown(); }

    // ---- connection --------------------------------------------------------------------

    void open() override {
        teardown();
        redirects = 0;
        connect(url);
    }

    void connect(const std::string& target) {
        const auto parsed = wire::parseHttpUrl(target);
        if (!parsed) {
            lost("not an http stream: " + target);
            return;
        }
        head.reset();
        headDone = false;
        metadata.reset();
        compressed.clear();
        request = wire::requestLine("GET", parsed->target) +
                  wire::fieldLine("Host", parsed->host + (parsed->port != 80
                                                              ? ":" + std::to_string(parsed->port)
                                                              : std::string())) +
                  wire::fieldLine("User-Agent", "tamselRadio") + wire::fieldLine("Accept", "*/*") +
                  wire::fieldLine("Icy-MetaData", "1") + std::string(wire::kLineEnd);
        retireSocket();
        socket = std::make_unique<TCPSocket>();
        socket->Address = parsed->host;
        socket->Port = parsed->port;
        socket->SetReadBufferLimit(kSocketBufferBytes);
        socket->Connected = [this] { socket->Write(request); };
        socket->DataAvailable = [this] { pump(); };
        socket->Error = [this] {
            lost("connection ended (socket error " + std::to_string(socket->LastErrorCode()) + ")");
        };
        socket->Connect();
        progressed();
        if (!tick) {
            tick = loop::startTimer(kTickMs, true,
                                    [this] { runUnderExceptionPolicy([&] { onTick(); }); });
        }
    }

    // Takes stream bytes while the output has room for more sound. The audio is decoded
    // in batches: a stream that is mostly metadata gives a few audio bytes per read.
    void pump() {
        size_t fresh = 0;
        while (socket && queuedMs() < kMaxQueuedMs && compressed.size() < kMaxCompressedBytes &&
               socket->BytesAvailable() > 0) {
            const size_t before = compressed.size();
            onData(socket->Read(kReadChunkBytes));
            fresh += compressed.size() > before ? compressed.size() - before : 0;
            if (fresh >= kDecodeBatchBytes) {
                decode();
                fresh = 0;
            }
        }
        decode();
    }

    void onData(std::string bytes) {
        progressed();
        if (!headDone) {
            const auto state = head.feed(bytes);
            if (state != wire::ResponseHead::State::Complete) {
                if (state == wire::ResponseHead::State::TooLarge) {
                    lost("no reply head from the stream server");
                }
                return;
            }
            const wire::ReplyFields reply = wire::readReplyFields(head.block());
            if (reply.status >= 300 && reply.status < 400 && !reply.location.empty() &&
                redirects < kMaxRedirects) {
                ++redirects;
                const std::string target = reply.location;
                connect(target); // replaces this socket; nothing of it is used afterwards
                return;
            }
            if (reply.status != 200) {
                lost("the stream server answered " + std::to_string(reply.status));
                return;
            }
            if (!stream::isMp3ContentType(reply.contentType)) {
                lost("not an MP3 stream: " + reply.contentType);
                return;
            }
            headDone = true;
            if (reply.metaInterval > 0) {
                metadata.emplace(reply.metaInterval);
            }
            bytes = std::string(head.rest());
            head.reset();
        }
        if (metadata) {
            metadata->feed(bytes, compressed);
        } else {
            compressed += bytes;
        }
    }

    // ---- decoding ----------------------------------------------------------------------

    bool openDecoder() {
        stream::Mp3Frame frame;
        const size_t at = stream::findMp3Frames(compressed, frame);
        if (at == std::string::npos) {
            if (compressed.size() > kMaxSyncSearchBytes) {
                lost("no MP3 frames in the stream");
            }
            return false;
        }
        compressed.erase(0, at);
        format = frame;
        smallestFrame = frame.length;
        nextHeader = 0;
        // The source format as the MP3 decoder expects it, taken from the first frame.
        MPEGLAYER3WAVEFORMAT mp3{};
        mp3.wfx.wFormatTag = WAVE_FORMAT_MPEGLAYER3;
        mp3.wfx.nChannels = static_cast<WORD>(frame.channels);
        mp3.wfx.nSamplesPerSec = static_cast<DWORD>(frame.sampleRate);
        mp3.wfx.nAvgBytesPerSec = static_cast<DWORD>(frame.bitrateKbps * 1000 / 8);
        mp3.wfx.nBlockAlign = 1;
        mp3.wfx.wBitsPerSample = 0;
        mp3.wfx.cbSize = MPEGLAYER3_WFX_EXTRA_BYTES;
        mp3.wID = MPEGLAYER3_ID_MPEG;
        mp3.fdwFlags = MPEGLAYER3_FLAG_PADDING_ISO;
        mp3.nBlockSize = static_cast<WORD>(frame.length - (frame.padding ? 1 : 0));
        mp3.nFramesPerBlock = 1;
        mp3.nCodecDelay = 0;

        pcmFormat = WAVEFORMATEX{};
        pcmFormat.wFormatTag = WAVE_FORMAT_PCM;
        pcmFormat.nChannels = static_cast<WORD>(frame.channels);
        pcmFormat.nSamplesPerSec = static_cast<DWORD>(frame.sampleRate);
        pcmFormat.wBitsPerSample = 16;
        pcmFormat.nBlockAlign = static_cast<WORD>(frame.channels * 2);
        pcmFormat.nAvgBytesPerSec = pcmFormat.nSamplesPerSec * pcmFormat.nBlockAlign;

        if (::acmStreamOpen(&acm, nullptr, &mp3.wfx, &pcmFormat, nullptr, 0, 0, 0) != 0) {
            acm = nullptr;
            lost("the system has no MP3 decoder for this stream");
            return false;
        }
        if (::waveOutOpen(&output, WAVE_MAPPER, &pcmFormat, 0, 0, CALLBACK_NULL) !=
            MMSYSERR_NOERROR) {
            output = nullptr;
            lost("no audio output");
            return false;
        }
        // Held until a few buffers are queued, so the start does not stutter.
        ::waveOutPause(output);
        started = false;
        applyVolume();
        bufferBytes = static_cast<size_t>(pcmFormat.nAvgBytesPerSec * kBufferMs / 1000) /
                      pcmFormat.nBlockAlign * pcmFormat.nBlockAlign;
        firstBlock = true;
        return true;
    }

    // Steps from frame header to frame header over the bytes that have come. False at a
    // frame of another sample rate or channel count: nextHeader stays on it.
    bool walkFrames() {
        while (acm != nullptr && nextHeader + 4 <= compressed.size()) {
            const std::string_view rest = std::string_view(compressed).substr(nextHeader);
            const auto frame = stream::parseMp3Header(rest);
            if (!frame) {
                // Out of step (a damaged frame, a tag): on from the next confirmed frames.
                stream::Mp3Frame found;
                const size_t at = stream::findMp3Frames(rest.substr(1), found);
                if (at != std::string_view::npos) {
                    nextHeader += 1 + at;
                } else if (rest.size() > kMaxSyncSearchBytes) {
                    lost("no MP3 frames in the stream");
                } else {
                    break;
                }
                continue;
            }
            if (frame->sampleRate != format.sampleRate || frame->channels != format.channels) {
                return false;
            }
            smallestFrame = std::min(smallestFrame, frame->length);
            nextHeader += frame->length;
        }
        return true;
    }

    void decode() {
        if (acm == nullptr && !openDecoder()) {
            return;
        }
        const bool sameFormat = walkFrames();
        std::string source;
        std::string target;
        // Only frames whose header was read go to the decoder: none of another format.
        while (std::min(compressed.size(), nextHeader) > 0 && acm != nullptr) {
            source.assign(compressed, 0,
                          std::min({compressed.size(), nextHeader, kDecodeChunkBytes}));
            DWORD targetSize = 0;
            if (::acmStreamSize(acm, static_cast<DWORD>(source.size()), &targetSize,
                                ACM_STREAMSIZEF_SOURCE) != 0 ||
                targetSize == 0) {
                break; // too little for one frame: wait for more
            }
            targetSize = std::max(targetSize, decodedBytesAtMost(source.size()));
            target.assign(targetSize, '\0');
            ACMSTREAMHEADER convert{};
            convert.cbStruct = sizeof(convert);
            convert.pbSrc = reinterpret_cast<LPBYTE>(source.data());
            convert.cbSrcLength = static_cast<DWORD>(source.size());
            convert.pbDst = reinterpret_cast<LPBYTE>(target.data());
            convert.cbDstLength = targetSize;
            if (::acmStreamPrepareHeader(acm, &convert, 0) != 0) {
                lost("the MP3 decoder refused a buffer");
                return;
            }
            const MMRESULT result = ::acmStreamConvert(
                acm, &convert,
                ACM_STREAMCONVERTF_BLOCKALIGN | (firstBlock ? ACM_STREAMCONVERTF_START : 0));
            ::acmStreamUnprepareHeader(acm, &convert, 0);
            if (result != 0) {
                lost("the MP3 decoder failed on the stream");
                return;
            }
            firstBlock = false;
            pcm.append(target.data(), convert.cbDstLengthUsed);
            compressed.erase(0, convert.cbSrcLengthUsed);
            nextHeader -= convert.cbSrcLengthUsed;
            if (convert.cbSrcLengthUsed == 0) {
                break; // a partial frame: the rest comes with the next bytes
            }
        }
        submit();
        if (!sameFormat && acm != nullptr) {
            changeFormat();
        }
    }

    // Room for all the sound the frames in source and the one the decoder holds back can
    // give. The system's own estimate takes every frame to have the first one's bitrate; a
    // stream of varying bitrate has smaller ones, and a decoder given too little room keeps
    // the rest of its input: the sound falls behind the stream and the process grows. The
    // source may begin inside a frame, so its frames are counted at the smallest size seen.
    DWORD decodedBytesAtMost(size_t sourceBytes) const {
        const size_t frames = sourceBytes / std::max<size_t>(smallestFrame, 1) + 2;
        const size_t samples = format.version == 1 ? 1152 : 576;
        return static_cast<DWORD>(frames * samples * pcmFormat.nBlockAlign);
    }

    // The frames switched format (a fallback mount, a relay changing source). What was
    // decoded plays out first; then decoder and output start afresh at the new format.
    void changeFormat() {
        pcm.clear(); // less than one buffer of the old sound
        if (!queued.empty()) {
            return; // the tick comes back once they have played
        }
        compressed.erase(0, nextHeader);
        closeDecoder();
        decode();
    }

    // ---- output ------------------------------------------------------------------------

    void submit() {
        while (output != nullptr && pcm.size() >= bufferBytes) {
            auto buffer = std::make_unique<OutputBuffer>();
            buffer->data.assign(pcm, 0, bufferBytes);
            pcm.erase(0, bufferBytes);
            buffer->header.lpData = buffer->data.data();
            buffer->header.dwBufferLength = static_cast<DWORD>(buffer->data.size());
            if (::waveOutPrepareHeader(output, &buffer->header, sizeof(WAVEHDR)) !=
                    MMSYSERR_NOERROR ||
                ::waveOutWrite(output, &buffer->header, sizeof(WAVEHDR)) != MMSYSERR_NOERROR) {
                lost("the audio output refused a buffer");
                return;
            }
            queued.push_back(std::move(buffer));
        }
        if (!started && queued.size() >= kStartBuffers) {
            ::waveOutRestart(output);
            started = true;
            sounding();
        }
    }

    void reapBuffers() {
        while (!queued.empty() && (queued.front()->header.dwFlags & WHDR_DONE) != 0) {
            ::waveOutUnprepareHeader(output, &queued.front()->header, sizeof(WAVEHDR));
            queued.pop_front();
        }
    }

    // Sound decoded and not played yet.
    int64_t queuedMs() const {
        if (pcmFormat.nAvgBytesPerSec == 0) {
            return 0;
        }
        return static_cast<int64_t>(queued.size()) * kBufferMs +
               static_cast<int64_t>(pcm.size()) * 1000 / pcmFormat.nAvgBytesPerSec;
    }

    void applyVolume() override {
        if (output == nullptr) {
            return;
        }
        const auto level = static_cast<DWORD>(linearGain(volume) * 0xFFFF + 0.5);
        ::waveOutSetVolume(output, (level << 16) | level);
    }

    // ---- life ----------------------------------------------------------------------------

    void onTick() {
        if (output != nullptr) {
            reapBuffers();
            if (queued.empty()) {
                decode(); // a change of format waits for this
            }
        }
        // Bytes left waiting while the output was full are a live stream's, not a stall.
        if (socket && socket->BytesAvailable() > 0) {
            progressed();
            pump();
        }
    }

    // Closes the connection. The socket may be in the middle of notifying us, so it is
    // destroyed from the event loop, not here.
    void retireSocket() {
        if (socket) {
            socket->Close();
            auto* old = socket.release();
            loop::post([old] { delete old; });
        }
    }

    // Closes the connection and silences the output at once.
    void teardown() {
        retireSocket();
        closeDecoder();
        compressed.clear();
        head.reset();
        headDone = false;
        metadata.reset();
    }

    void closeDecoder() {
        if (output != nullptr) {
            ::waveOutReset(output);
            for (auto& buffer : queued) {
                ::waveOutUnprepareHeader(output, &buffer->header, sizeof(WAVEHDR));
            }
            ::waveOutClose(output);
            output = nullptr;
        }
        queued.clear();
        if (acm != nullptr) {
            ::acmStreamClose(acm, 0);
            acm = nullptr;
        }
        pcm.clear();
    }

    void close(bool) override {
        tick.reset();
        teardown();
    }

    std::unique_ptr<TCPSocket> socket;
    std::string request;
    wire::ResponseHead head{kMaxHeadBytes};
    bool headDone = false;
    int redirects = 0;
    std::optional<stream::MetadataFilter> metadata;
    std::string compressed;

    HACMSTREAM acm = nullptr;
    bool firstBlock = true;
    stream::Mp3Frame format;  // of the frames the decoder was opened for
    size_t nextHeader = 0;    // where in compressed the next frame's header is due
    size_t smallestFrame = 0; // bytes, of the frames walked since the decoder opened
    bool started = false;     // the output was let go after its first buffers
    WAVEFORMATEX pcmFormat{};
    HWAVEOUT output = nullptr;
    size_t bufferBytes = 0;
    std::string pcm;
    std::deque<std::unique_ptr<OutputBuffer>> queued;

    std::unique_ptr<loop::Timer> tick;
};

StreamPlayer::StreamPlayer() {
    requireUIThread("StreamPlayer.Constructor");
    ensureRuntime();
    impl_ = std::make_unique<Engine>();
}

} // namespace host
