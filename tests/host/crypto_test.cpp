#include "host/Crypto.h"

#include <gtest/gtest.h>
#include <limits>
#include <set>

namespace {

std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

TEST(Crypto, MD5MatchesRfc1321TestSuite) {
    const std::pair<const char*, const char*> suite[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"1234567890123456789012345678901234567890123456789012345678901234567890123456"
         "7890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& [input, digest] : suite) {
        const std::string raw = host::MD5(input);
        EXPECT_EQ(raw.size(), 16u) << input;
        EXPECT_EQ(hex(raw), digest) << input;
    }
    // Embedded NUL bytes are hashed, not treated as the end.
    EXPECT_NE(host::MD5(std::string("a\0b", 3)), host::MD5("a"));

    host::MD5Digest digest;
    digest.Process("message ");
    digest.Process("digest");
    EXPECT_EQ(hex(digest.Value()), "f96b697d7cb7938d525a2f31aaf161d0");
    digest.Clear();
    digest.Process("abc");
    EXPECT_EQ(hex(digest.Value()), "900150983cd24fb0d6963f7d28e17f72");
}

// FIPS 180-4 examples, and a block boundary: each backend's library behind the same call.
TEST(Crypto, HashGivesSha256AndMd5) {
    EXPECT_EQ(hex(host::Hash(host::HashAlgorithm::SHA256, "")),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hex(host::Hash(host::HashAlgorithm::SHA256, "abc")),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(hex(host::Hash(host::HashAlgorithm::SHA256,
                             "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(hex(host::Hash(host::HashAlgorithm::MD5, "abc")), hex(host::MD5("abc")));
}

TEST(Crypto, Base64MatchesRfc4648AndWrapsOnlyWhenAsked) {
    const std::pair<const char*, const char*> vectors[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [plain, encoded] : vectors) {
        EXPECT_EQ(host::EncodeBase64(plain, 0), encoded);
        EXPECT_EQ(host::DecodeBase64(encoded), plain);
    }
    EXPECT_EQ(host::EncodeBase64("u:p", 0), "dTpw");

    const std::string long57(57, 'x'); // exactly 76 characters
    const std::string long58(58, 'x');
    EXPECT_EQ(host::EncodeBase64(long57).find("\r\n"), std::string::npos);
    const std::string wrapped = host::EncodeBase64(long58);
    ASSERT_EQ(wrapped.find("\r\n"), 76u);
    EXPECT_EQ(wrapped.size(), 80u + 2u);
    EXPECT_EQ(host::EncodeBase64(long58, 0).find('\r'), std::string::npos);
    EXPECT_EQ(host::EncodeBase64(long58, -3).size(), 80u);
    EXPECT_EQ(host::EncodeBase64("foobar", 4), "Zm9v\r\nYmFy");

    std::string binary;
    for (int i = 0; i < 256; ++i) {
        binary.push_back(static_cast<char>(i));
    }
    EXPECT_EQ(host::DecodeBase64(host::EncodeBase64(binary, 10)), binary);
}

TEST(Crypto, RandomInRangeIncludesBothEnds) {
    host::Random random;
    std::set<int64_t> seen;
    for (int i = 0; i < 20000; ++i) {
        const int64_t n = random.InRange(0, 61);
        ASSERT_GE(n, 0);
        ASSERT_LE(n, 61);
        seen.insert(n);
    }
    EXPECT_EQ(seen.size(), 62u);
    EXPECT_EQ(random.InRange(5, 5), 5);
    const int64_t swapped = random.InRange(3, 1);
    EXPECT_TRUE(swapped >= 1 && swapped <= 3);
    (void)random.InRange(std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max());

    // Two generators seeded from the system's entropy give different nonces.
    host::Random other;
    std::string a, b;
    for (int i = 0; i < 25; ++i) {
        a.push_back(static_cast<char>(random.InRange(0, 61)));
        b.push_back(static_cast<char>(other.InRange(0, 61)));
    }
    EXPECT_NE(a, b);
}

} // namespace
