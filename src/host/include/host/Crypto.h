#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace host {

// RFC 1321 digest of the bytes, as 16 raw bytes.
std::string MD5(std::string_view bytes);

// The digests the program takes; MD5 is the program's own, SHA-256 comes from the
// platform's maintained crypto library.
enum class HashAlgorithm { MD5, SHA256 };

// The digest of the bytes under algorithm, as raw bytes (16 for MD5, 32 for SHA-256).
// Raises RuntimeException when the platform's library fails.
std::string Hash(HashAlgorithm algorithm, std::string_view bytes);

// Incremental MD5.
class MD5Digest {
public:
    MD5Digest();
    ~MD5Digest();
    void Process(std::string_view bytes);
    void Clear();
    std::string Value() const; // 16 raw bytes of what was processed so far
private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// RFC 4648 Base64, standard alphabet with padding; a line width of 0 or less gives one
// line, otherwise lines of that many characters are joined by CR LF.
std::string EncodeBase64(std::string_view bytes, int64_t lineWidth = 76);
std::string DecodeBase64(std::string_view text);

// Pseudo-random generator seeded from the system's entropy source.
class Random {
public:
    Random();
    ~Random();
    // Uniform integer in [low, high], both ends included.
    int64_t InRange(int64_t low, int64_t high);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace host
