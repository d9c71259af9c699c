// The launchers of the real test servers, checked with curl so a failing HTTP test can be
// told apart from a server that never came up.

#include "support/RealServers.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <thread>

namespace {

using testsupport::ApacheServer;
using testsupport::NginxServer;
using testsupport::SquidProxy;
using testsupport::TempDir;

struct CurlResult {
    int status = 0;
    std::string body;
};

// curl's output, with the HTTP status it saw on the last line.
CurlResult curl(const std::string& args) {
    const std::string command =
        "env -u http_proxy -u HTTP_PROXY -u all_proxy -u ALL_PROXY curl --silent --show-error "
        "--max-time 20 --write-out '\\n%{http_code}' " +
        args + " 2>&1";
    CurlResult result;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        std::array<char, 4096> buf{};
        size_t n;
        while ((n = std::fread(buf.data(), 1, buf.size(), pipe)) > 0) {
            result.body.append(buf.data(), n);
        }
        ::pclose(pipe);
    }
    const size_t lastLine = result.body.rfind('\n');
    if (lastLine != std::string::npos) {
        result.status = std::atoi(result.body.c_str() + lastLine + 1);
        result.body.resize(lastLine);
    }
    return result;
}

TEST(RealServers, NginxServesFilesAndLogsFormBodies) {
    TempDir docroot("tamsel-docroot");
    docroot.write("app/version", "1.2.0\n");
    NginxServer nginx(docroot.path());

    const CurlResult got = curl(nginx.url("/app/version"));
    EXPECT_EQ(got.status, 200) << got.body;
    EXPECT_EQ(got.body, "1.2.0\n");
    EXPECT_EQ(curl(nginx.url("/missing")).status, 404);

    const CurlResult posted =
        curl("--data-binary 'name=a%20b&q=%22x%22\\' " + nginx.url("/form/submit"));
    EXPECT_EQ(posted.status, 200) << posted.body << nginx.errorLog();
    EXPECT_EQ(posted.body, "form received\n");

    const auto log = nginx.waitForAccessLog(3);
    ASSERT_EQ(log.size(), 3u) << nginx.errorLog();
    EXPECT_EQ(log[0].status, 200);
    EXPECT_EQ(log[0].method, "GET");
    EXPECT_EQ(log[0].uri, "/app/version");
    EXPECT_EQ(log[1].status, 404);
    EXPECT_EQ(log[2].method, "POST");
    EXPECT_EQ(log[2].uri, "/form/submit");
    EXPECT_EQ(log[2].body, "name=a%20b&q=%22x%22\\") << "the body as nginx received it";
    EXPECT_EQ(log[2].contentType, "application/x-www-form-urlencoded");
}

TEST(RealServers, ApacheAsksForBasicAndDigestCredentials) {
    TempDir docroot("tamsel-docroot");
    docroot.write("secret.txt", "hidden\n");
    ApacheServer apache(docroot.path(), {{"alice", "wonder"}}, {{"bob", "builder"}});

    EXPECT_EQ(curl(apache.url("/secret.txt")).body, "hidden\n");
    EXPECT_EQ(curl(apache.url("/basic/secret.txt")).status, 401);
    const CurlResult basic = curl("--user alice:wonder " + apache.url("/basic/secret.txt"));
    EXPECT_EQ(basic.status, 200) << apache.errorLog();
    EXPECT_EQ(basic.body, "hidden\n");
    EXPECT_EQ(curl("--user alice:wrong " + apache.url("/basic/secret.txt")).status, 401);

    const CurlResult challenge = curl("--include " + apache.url("/digest/secret.txt"));
    EXPECT_NE(challenge.body.find("WWW-Authenticate: Digest realm=\"tamsel digest\""),
              std::string::npos)
        << challenge.body;
    const CurlResult digest =
        curl("--digest --user bob:builder " + apache.url("/digest/secret.txt"));
    EXPECT_EQ(digest.status, 200) << apache.errorLog();
    EXPECT_EQ(digest.body, "hidden\n");
    // httpd logs after the response has gone out.
    std::string log;
    for (int i = 0; i < 100 && log.find(" - bob [") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        log = apache.accessLog();
    }
    EXPECT_NE(log.find("\"Digest username=\\\"bob\\\""), std::string::npos) << log;
    EXPECT_NE(log.find("\"Basic "), std::string::npos) << log;
}

TEST(RealServers, SquidForwardsToNginxAndDemandsProxyCredentials) {
    TempDir docroot("tamsel-docroot");
    docroot.write("index.html", "through the proxy\n");
    NginxServer nginx(docroot.path());
    SquidProxy squid(SquidProxy::Users{{"carol", "proxypass"}});
    const std::string proxy = "--proxy http://127.0.0.1:" + std::to_string(squid.port()) + " ";

    const CurlResult denied = curl(proxy + nginx.url("/index.html"));
    EXPECT_EQ(denied.status, 407) << squid.cacheLog();
    const CurlResult allowed =
        curl(proxy + "--proxy-user carol:proxypass " + nginx.url("/index.html"));
    EXPECT_EQ(allowed.status, 200) << squid.cacheLog();
    EXPECT_EQ(allowed.body, "through the proxy\n");
    EXPECT_EQ(nginx.waitForAccessLog(1).size(), 1u) << "only the authorised request got through";
}

} // namespace
