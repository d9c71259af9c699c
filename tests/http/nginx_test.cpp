#include "host/Crypto.h"
#include "host/Dictionary.h"
#include "host/Storage.h"
#include "http/HTTPSocket.h"
#include "support/EventLoop.h"
#include "support/RealServers.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <string>

namespace {

using testsupport::ensureApplication;
using testsupport::runLoopUntil;

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testsupport::NginxServer;
using testsupport::TempDir;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string hex(const std::string& digest) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (const char ch : digest) {
        const auto c = static_cast<unsigned char>(ch);
        out += digits[c >> 4];
        out += digits[c & 0x0F];
    }
    return out;
}

constexpr size_t kBigFileBytes = size_t(64) << 20;

class NginxTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        docroot = new TempDir("tamsel-docroot");
        docroot->write("app/version", "1.1.8\n");
        std::string big(kBigFileBytes, '\0');
        std::mt19937_64 gen(64);
        for (size_t i = 0; i < big.size(); i += 8) {
            const uint64_t v = gen();
            std::memcpy(&big[i], &v, 8);
        }
        bigDigest = new std::string(hex(host::MD5(big)));
        docroot->write("big.bin", big);
        server = new NginxServer(docroot->path());
    }
    static void TearDownTestSuite() {
        delete server;
        delete docroot;
        delete bigDigest;
        server = nullptr;
        docroot = nullptr;
        bigDigest = nullptr;
    }
    void SetUp() override { ensureApplication(); }

    static TempDir* docroot;
    static NginxServer* server;
    static std::string* bigDigest;
};

TempDir* NginxTest::docroot = nullptr;
NginxServer* NginxTest::server = nullptr;
std::string* NginxTest::bigDigest = nullptr;

// What one asynchronous request ended with.
struct Result {
    bool done = false;
    int64_t status = 0;
    std::string body;
    int64_t error = 0;

    void attach(http::HTTPSocket& s) {
        s.PageReceived = [this](const std::string&, int64_t code, http::HeadersRef,
                                const std::string& content) {
            done = true;
            status = code;
            body = content;
        };
        s.Error = [this](int64_t code) {
            done = true;
            error = code;
        };
    }
};

TEST_F(NginxTest, GetAndFormPostAreAcceptedAsComposed) {
    const std::string host = "127.0.0.1:" + std::to_string(server->port());
    http::HTTPSocket s;
    {
        Result r;
        r.attach(s);
        s.Get(server->url("/app/version"));
        ASSERT_TRUE(runLoopUntil([&] { return r.done; }));
        EXPECT_EQ(r.error, 0);
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(r.body, "1.1.8\n");
    }
    host::Dictionary form;
    form.SetValue("station", "tamsel radio");
    form.SetValue("note", "50% & more/less = [ok]");
    form.SetValue("empty", "");
    const std::string body = "station=tamsel+radio&note=50%25+%26+more%2Fless+%3D+%5Bok%5D&empty=";
    s.SetFormData(&form);
    {
        Result r;
        r.attach(s);
        s.Post(server->url("/form/submit"));
        ASSERT_TRUE(runLoopUntil([&] { return r.done; }));
        EXPECT_EQ(r.error, 0);
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(r.body, "form received\n");
    }

    const auto log = server->waitForAccessLog(2);
    ASSERT_EQ(log.size(), 2u) << server->errorLog();
    EXPECT_EQ(log[0].status, 200);
    EXPECT_EQ(log[0].method, "GET");
    EXPECT_EQ(log[0].uri, "/app/version");
    EXPECT_EQ(log[0].protocol, "HTTP/1.0");
    EXPECT_EQ(log[0].host, host);
    const std::string getRequest =
        "GET /app/version HTTP/1.0\r\nAccept: */*\r\nAccept-Language: en\r\nHost: " + host +
        "\r\n\r\n";
    EXPECT_EQ(log[0].requestLength, static_cast<int64_t>(getRequest.size()));

    EXPECT_EQ(log[1].status, 200);
    EXPECT_EQ(log[1].method, "POST");
    EXPECT_EQ(log[1].uri, "/form/submit");
    EXPECT_EQ(log[1].contentType, "application/x-www-form-urlencoded");
    EXPECT_EQ(log[1].body, body);
    const std::string postRequest =
        "POST /form/submit HTTP/1.0\r\nAccept: */*\r\nAccept-Language: en\r\nHost: " + host +
        "\r\nContent-type: application/x-www-form-urlencoded\r\nContent-length: " +
        std::to_string(body.size()) + "\r\n\r\n" + body;
    EXPECT_EQ(log[1].requestLength, static_cast<int64_t>(postRequest.size()));
}

TEST_F(NginxTest, SixtyFourMebibytesArriveByteIdenticalInMemoryAndInAFile) {
    const std::string url = server->url("/big.bin");
    double memorySeconds = 0;
    {
        http::HTTPSocket s;
        bool done = false;
        int64_t status = 0;
        size_t size = 0;
        std::string digest;
        Clock::time_point arrived;
        s.PageReceived = [&](const std::string&, int64_t code, http::HeadersRef,
                             const std::string& content) {
            arrived = Clock::now();
            done = true;
            status = code;
            size = content.size();
            digest = hex(host::MD5(content));
        };
        s.Error = [&](int64_t) { done = true; };
        const auto start = Clock::now();
        s.Get(url);
        ASSERT_TRUE(runLoopUntil([&] { return done; }, 60s));
        memorySeconds = std::chrono::duration<double>(arrived - start).count();
        EXPECT_EQ(s.ErrorCode(), 0);
        EXPECT_EQ(status, 200);
        EXPECT_EQ(size, kBigFileBytes);
        EXPECT_EQ(digest, *bigDigest);
    }
    double fileSeconds = 0;
    {
        TempDir out("tamsel-big");
        auto file = std::make_shared<host::FolderItem>(out.file("big.bin"));
        http::HTTPSocket s;
        bool done = false;
        http::FileRef reported;
        s.DownloadComplete = [&](const std::string&, int64_t, http::HeadersRef, http::FileRef f) {
            done = true;
            reported = std::move(f);
        };
        s.Error = [&](int64_t) { done = true; };
        const auto start = Clock::now();
        s.Get(url, file);
        ASSERT_TRUE(runLoopUntil([&] { return done; }, 60s));
        fileSeconds = secondsSince(start);
        EXPECT_EQ(s.ErrorCode(), 0);
        EXPECT_EQ(reported, file);
        EXPECT_EQ(hex(host::MD5(testsupport::readFile(file->NativePath()))), *bigDigest);
    }
    const std::string command = "curl -s -o /dev/null '" + url + "'";
    const auto start = Clock::now();
    const int rc = std::system(command.c_str());
    const double curlSeconds = secondsSince(start);
    EXPECT_EQ(rc, 0) << command;

    std::printf("64 MiB over loopback from nginx: client into memory %.3f s, client into a file "
                "%.3f s, curl to /dev/null %.3f s\n",
                memorySeconds, fileSeconds, curlSeconds);
    RecordProperty("client_memory_seconds", std::to_string(memorySeconds));
    RecordProperty("client_file_seconds", std::to_string(fileSeconds));
    RecordProperty("curl_seconds", std::to_string(curlSeconds));
}

} // namespace
