// The Windows player's decode and output loop with none of the player's code: MP3 frames
// through the system's ACM decoder, a few frames per call as the stream brings them, and
// with "play" out through waveOut in 100 ms buffers at the sound's own pace. The process's
// memory and the sound given per frame are printed as it goes, so growth seen in a long play
// can be told apart: if it is here too, it is the system's.
//
//   decode_loop FILE.mp3 SECONDS [decode|play] [FRAMES_PER_CALL] [estimate|room]
//
// Without play, SECONDS of sound are decoded as fast as the decoder goes; with it, the loop
// plays for SECONDS of wall time. The file is played round and round. Each call's output
// room is the decoder's own estimate (acmStreamSize), or with "room" all that its frames can
// give (1152 samples each, and one more for the frame the decoder holds back).

// clang-format off
#include <windows.h> // first: the others need its types
#include <mmreg.h>
#include <msacm.h>
#include <psapi.h>
// clang-format on

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Frame {
    size_t at;
    size_t length;
};

// MPEG-1 Layer III only: what the test stations send.
size_t frameLength(const unsigned char* h, int& rate, int& channels, int& kbps) {
    static const int kBitrates[] = {0,   32,  40,  48,  56,  64,  80,  96,
                                    112, 128, 160, 192, 224, 256, 320, 0};
    static const int kRates[] = {44100, 48000, 32000, 0};
    if (h[0] != 0xFF || (h[1] & 0xFE) != 0xFA) {
        return 0;
    }
    kbps = kBitrates[h[2] >> 4];
    rate = kRates[(h[2] >> 2) & 3];
    channels = (h[3] >> 6) == 3 ? 1 : 2;
    if (kbps == 0 || rate == 0) {
        return 0;
    }
    return static_cast<size_t>(144000 * kbps / rate + ((h[2] >> 1) & 1));
}

void printMemory(const char* when, double seconds, size_t fed, double sound) {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof(counters));
    // A frame is 1152 samples: 26.1 ms at 44.1 kHz.
    std::printf("decode loop: %s %7.0f s  working set %zu KiB  sound per frame fed %.1f ms\n", when,
                seconds, counters.WorkingSetSize / 1024, fed ? sound * 1000 / fed : 0.0);
    std::fflush(stdout);
}

struct Buffer {
    WAVEHDR header{};
    std::string data;
};

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: decode_loop FILE.mp3 SECONDS [decode|play] [FRAMES_PER_CALL] "
                             "[estimate|room]\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const double seconds = std::atof(argv[2]);
    const bool play = argc > 3 && std::strcmp(argv[3], "play") == 0;
    const size_t perCall = argc > 4 ? std::strtoul(argv[4], nullptr, 10) : 3;
    const bool room = argc > 5 && std::strcmp(argv[5], "room") == 0;

    std::vector<Frame> frames;
    int rate = 0, channels = 0, kbps = 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(file.data());
    for (size_t at = 0; at + 4 <= file.size();) {
        int r = 0, c = 0, k = 0;
        const size_t length = frameLength(bytes + at, r, c, k);
        if (length == 0 || at + length > file.size()) {
            ++at;
            continue;
        }
        if (frames.empty()) {
            rate = r, channels = c, kbps = k;
        }
        frames.push_back({at, length});
        at += length;
    }
    if (frames.size() < 2 * perCall) {
        std::fprintf(stderr, "decode_loop: too few MP3 frames in %s\n", argv[1]);
        return 1;
    }

    MPEGLAYER3WAVEFORMAT mp3{};
    mp3.wfx.wFormatTag = WAVE_FORMAT_MPEGLAYER3;
    mp3.wfx.nChannels = static_cast<WORD>(channels);
    mp3.wfx.nSamplesPerSec = static_cast<DWORD>(rate);
    mp3.wfx.nAvgBytesPerSec = static_cast<DWORD>(kbps * 1000 / 8);
    mp3.wfx.nBlockAlign = 1;
    mp3.wfx.cbSize = MPEGLAYER3_WFX_EXTRA_BYTES;
    mp3.wID = MPEGLAYER3_ID_MPEG;
    mp3.fdwFlags = MPEGLAYER3_FLAG_PADDING_ISO;
    mp3.nBlockSize = static_cast<WORD>(144000 * kbps / rate);
    mp3.nFramesPerBlock = 1;
    WAVEFORMATEX pcm{};
    pcm.wFormatTag = WAVE_FORMAT_PCM;
    pcm.nChannels = static_cast<WORD>(channels);
    pcm.nSamplesPerSec = static_cast<DWORD>(rate);
    pcm.wBitsPerSample = 16;
    pcm.nBlockAlign = static_cast<WORD>(channels * 2);
    pcm.nAvgBytesPerSec = pcm.nSamplesPerSec * pcm.nBlockAlign;

    HACMSTREAM acm = nullptr;
    if (::acmStreamOpen(&acm, nullptr, &mp3.wfx, &pcm, nullptr, 0, 0, 0) != 0) {
        std::fprintf(stderr, "decode_loop: no MP3 decoder\n");
        return 1;
    }
    HWAVEOUT output = nullptr;
    if (play &&
        ::waveOutOpen(&output, WAVE_MAPPER, &pcm, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR) {
        std::fprintf(stderr, "decode_loop: no audio output\n");
        return 1;
    }

    size_t next = 0;
    size_t fed = 0;
    bool first = true;
    std::string decoded;
    double decodedSeconds = 0;
    // Decodes the next few frames as the player does: one call, its own source and target.
    auto decodeSome = [&] {
        if (next + perCall > frames.size()) {
            next = 0;
        }
        const size_t from = frames[next].at;
        const size_t to = frames[next + perCall - 1].at + frames[next + perCall - 1].length;
        next += perCall;
        fed += perCall;
        std::string source = file.substr(from, to - from);
        DWORD targetSize = 0;
        ::acmStreamSize(acm, static_cast<DWORD>(source.size()), &targetSize,
                        ACM_STREAMSIZEF_SOURCE);
        if (room) {
            targetSize = static_cast<DWORD>((perCall + 1) * 1152 * pcm.nBlockAlign);
        }
        std::string target(targetSize, '\0');
        ACMSTREAMHEADER convert{};
        convert.cbStruct = sizeof(convert);
        convert.pbSrc = reinterpret_cast<LPBYTE>(source.data());
        convert.cbSrcLength = static_cast<DWORD>(source.size());
        convert.pbDst = reinterpret_cast<LPBYTE>(target.data());
        convert.cbDstLength = targetSize;
        ::acmStreamPrepareHeader(acm, &convert, 0);
        ::acmStreamConvert(acm, &convert,
                           ACM_STREAMCONVERTF_BLOCKALIGN | (first ? ACM_STREAMCONVERTF_START : 0));
        ::acmStreamUnprepareHeader(acm, &convert, 0);
        first = false;
        decoded.append(target.data(), convert.cbDstLengthUsed);
        decodedSeconds += static_cast<double>(convert.cbDstLengthUsed) / pcm.nAvgBytesPerSec;
    };

    printMemory("start", 0, fed, decodedSeconds);
    if (!play) {
        double reported = 0;
        while (decodedSeconds < seconds) {
            decodeSome();
            decoded.clear();
            if (decodedSeconds - reported >= 600) {
                reported = decodedSeconds;
                printMemory("sound", decodedSeconds, fed, decodedSeconds);
            }
        }
        printMemory("sound", decodedSeconds, fed, decodedSeconds);
    } else {
        const size_t bufferBytes = pcm.nAvgBytesPerSec / 10 / pcm.nBlockAlign * pcm.nBlockAlign;
        std::deque<std::unique_ptr<Buffer>> queued;
        const DWORD began = ::GetTickCount();
        DWORD reported = began;
        while (::GetTickCount() - began < seconds * 1000) {
            while (!queued.empty() && (queued.front()->header.dwFlags & WHDR_DONE) != 0) {
                ::waveOutUnprepareHeader(output, &queued.front()->header, sizeof(WAVEHDR));
                queued.pop_front();
            }
            while (queued.size() < 40) { // 4 s, as the player keeps
                while (decoded.size() < bufferBytes) {
                    decodeSome();
                }
                auto buffer = std::make_unique<Buffer>();
                buffer->data.assign(decoded, 0, bufferBytes);
                decoded.erase(0, bufferBytes);
                buffer->header.lpData = buffer->data.data();
                buffer->header.dwBufferLength = static_cast<DWORD>(bufferBytes);
                ::waveOutPrepareHeader(output, &buffer->header, sizeof(WAVEHDR));
                ::waveOutWrite(output, &buffer->header, sizeof(WAVEHDR));
                queued.push_back(std::move(buffer));
            }
            if (::GetTickCount() - reported >= 30000) {
                reported = ::GetTickCount();
                printMemory("played", (reported - began) / 1000.0, fed, decodedSeconds);
            }
            ::Sleep(50);
        }
        printMemory("played", (::GetTickCount() - began) / 1000.0, fed, decodedSeconds);
        ::waveOutReset(output);
        for (auto& buffer : queued) {
            ::waveOutUnprepareHeader(output, &buffer->header, sizeof(WAVEHDR));
        }
        ::waveOutClose(output);
    }
    ::acmStreamClose(acm, 0);
    return 0;
}
