#include "host/Crypto.h"

#include "host/Exceptions.h"
#include "host/net/Hash.h"

#include <array>
#include <cstring>
#include <random>
#include <utility>

namespace host {

namespace {

// RFC 1321, written out so the digest is the same on every platform and needs no library.
class Md5State {
public:
    void reset() {
        a_ = 0x67452301;
        b_ = 0xefcdab89;
        c_ = 0x98badcfe;
        d_ = 0x10325476;
        length_ = 0;
        buffered_ = 0;
    }

    void update(std::string_view bytes) {
        const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
        size_t n = bytes.size();
        length_ += n;
        if (buffered_ > 0) {
            const size_t take = std::min(n, size_t{64} - buffered_);
            std::memcpy(block_.data() + buffered_, in, take);
            buffered_ += take;
            in += take;
            n -= take;
            if (buffered_ < 64) {
                return;
            }
            transform(block_.data());
            buffered_ = 0;
        }
        for (; n >= 64; in += 64, n -= 64) {
            transform(in);
        }
        std::memcpy(block_.data(), in, n);
        buffered_ = n;
    }

    std::string digest() const {
        Md5State copy = *this;
        const uint64_t bits = copy.length_ * 8;
        static constexpr unsigned char kPad[64] = {0x80};
        copy.update(
            std::string_view(reinterpret_cast<const char*>(kPad),
                             copy.buffered_ < 56 ? 56 - copy.buffered_ : 120 - copy.buffered_));
        unsigned char tail[8];
        for (int i = 0; i < 8; ++i) {
            tail[i] = static_cast<unsigned char>(bits >> (8 * i));
        }
        copy.update(std::string_view(reinterpret_cast<const char*>(tail), 8));
        std::string out(16, '\0');
        const uint32_t words[4] = {copy.a_, copy.b_, copy.c_, copy.d_};
        for (int i = 0; i < 16; ++i) {
            out[static_cast<size_t>(i)] = static_cast<char>(words[i / 4] >> (8 * (i % 4)));
        }
        return out;
    }

private:
    static uint32_t rotl(uint32_t x, int s) { return (x << s) | (x >> (32 - s)); }

    void transform(const unsigned char* p) {
        static constexpr uint32_t kSine[64] = {
            0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613,
            0xfd469501, 0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193,
            0xa679438e, 0x49b40821, 0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d,
            0x02441453, 0xd8a1e681, 0xe7d3fbc8, 0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed,
            0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a, 0xfffa3942, 0x8771f681, 0x6d9d6122,
            0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70, 0x289b7ec6, 0xeaa127fa,
            0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665, 0xf4292244,
            0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
            0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb,
            0xeb86d391};
        static constexpr int kShift[16] = {7, 12, 17, 22, 5, 9,  14, 20,
                                           4, 11, 16, 23, 6, 10, 15, 21};
        uint32_t m[16];
        for (int i = 0; i < 16; ++i) {
            m[i] = uint32_t{p[4 * i]} | uint32_t{p[4 * i + 1]} << 8 | uint32_t{p[4 * i + 2]} << 16 |
                   uint32_t{p[4 * i + 3]} << 24;
        }
        uint32_t a = a_, b = b_, c = c_, d = d_;
        for (int i = 0; i < 64; ++i) {
            uint32_t f;
            int g;
            switch (i / 16) {
            case 0:
                f = (b & c) | (~b & d);
                g = i;
                break;
            case 1:
                f = (d & b) | (~d & c);
                g = (5 * i + 1) % 16;
                break;
            case 2:
                f = b ^ c ^ d;
                g = (3 * i + 5) % 16;
                break;
            default:
                f = c ^ (b | ~d);
                g = (7 * i) % 16;
                break;
            }
            const uint32_t next = d;
            d = c;
            c = b;
            b += rotl(a + f + kSine[i] + m[g], kShift[(i / 16) * 4 + i % 4]);
            a = next;
        }
        a_ += a;
        b_ += b;
        c_ += c;
        d_ += d;
    }

    uint32_t a_ = 0x67452301, b_ = 0xefcdab89, c_ = 0x98badcfe, d_ = 0x10325476;
    uint64_t length_ = 0;
    std::array<unsigned char, 64> block_{};
    size_t buffered_ = 0;
};

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int sextetOf(unsigned char c) {
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 52;
    }
    if (c == '+') {
        return 62;
    }
    if (c == '/') {
        return 63;
    }
    return -1;
}

} // namespace

std::string MD5(std::string_view bytes) {
    Md5State state;
    state.update(bytes);
    return state.digest();
}

std::string Hash(HashAlgorithm algorithm, std::string_view bytes) {
    switch (algorithm) {
    case HashAlgorithm::MD5:
        return MD5(bytes);
    case HashAlgorithm::SHA256:
        return net::sha256(bytes);
    }
    throw RuntimeException("unknown hash algorithm");
}

struct MD5Digest::Impl {
    Md5State state;
};

MD5Digest::MD5Digest() : impl_(std::make_unique<Impl>()) {}
MD5Digest::~MD5Digest() = default;

void MD5Digest::Process(std::string_view bytes) {
    impl_->state.update(bytes);
}

void MD5Digest::Clear() {
    impl_->state.reset();
}

std::string MD5Digest::Value() const {
    return impl_->state.digest();
}

std::string EncodeBase64(std::string_view bytes, int64_t lineWidth) {
    std::string encoded;
    encoded.reserve((bytes.size() + 2) / 3 * 4);
    const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const uint32_t v = uint32_t{in[i]} << 16 | uint32_t{in[i + 1]} << 8 | in[i + 2];
        encoded += kAlphabet[v >> 18];
        encoded += kAlphabet[(v >> 12) & 63];
        encoded += kAlphabet[(v >> 6) & 63];
        encoded += kAlphabet[v & 63];
    }
    if (const size_t left = bytes.size() - i; left > 0) {
        const uint32_t v = uint32_t{in[i]} << 16 | (left == 2 ? uint32_t{in[i + 1]} << 8 : 0);
        encoded += kAlphabet[v >> 18];
        encoded += kAlphabet[(v >> 12) & 63];
        encoded += left == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        encoded += '=';
    }
    const size_t total = encoded.size();
    if (lineWidth <= 0 || total <= static_cast<uint64_t>(lineWidth)) {
        return encoded;
    }
    const auto width = static_cast<size_t>(lineWidth);
    std::string out;
    out.reserve(total + 2 * (total / width));
    for (size_t at = 0; at < total; at += width) {
        if (at > 0) {
            out.append("\r\n");
        }
        out.append(encoded, at, std::min(width, total - at));
    }
    return out;
}

std::string DecodeBase64(std::string_view text) {
    // Characters outside the alphabet (line breaks among them) are skipped, and decoding
    // stops at the padding, as the common decoders do.
    std::string out;
    out.reserve(text.size() / 4 * 3);
    uint32_t acc = 0;
    int bits = 0;
    for (const char ch : text) {
        if (ch == '=') {
            break;
        }
        const int v = sextetOf(static_cast<unsigned char>(ch));
        if (v < 0) {
            continue;
        }
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((acc >> bits) & 0xFF);
        }
    }
    return out;
}

struct Random::Impl {
    std::mt19937_64 engine;
};

Random::Random() : impl_(std::make_unique<Impl>()) {
    // random_device reads the system's entropy source with both toolchains we build with
    // (getrandom on Linux, the CRT's rand_s on Windows).
    std::random_device device;
    std::seed_seq seed{device(), device(), device(), device(),
                       device(), device(), device(), device()};
    impl_->engine.seed(seed);
}

Random::~Random() = default;

int64_t Random::InRange(int64_t low, int64_t high) {
    if (low > high) {
        std::swap(low, high);
    }
    return std::uniform_int_distribution<int64_t>(low, high)(impl_->engine);
}

} // namespace host
