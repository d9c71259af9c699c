#include "http/HTTPSocket.h"
#include "support/EventLoop.h"
#include "support/RealServers.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

using testsupport::ensureApplication;

using testsupport::ApacheServer;
using testsupport::LighttpdServer;
using testsupport::NginxServer;
using testsupport::SquidProxy;
using testsupport::TempDir;

const std::string kSecret = "top secret\n";

// Answers every raising with the same credentials; true for the first `trueTimes` raisings.
struct Credentials {
    Credentials(std::string u, std::string p, int times = 1000)
        : user(std::move(u)), password(std::move(p)), trueTimes(times) {}

    std::string user;
    std::string password;
    int trueTimes;
    int calls = 0;
    std::vector<std::string> realms;

    http::HTTPSocket::AuthenticationHandler handler() {
        return [this](const std::string& realm, http::HeadersRef, std::string& u, std::string& p) {
            ++calls;
            realms.push_back(realm);
            u = user;
            p = password;
            return calls <= trueTimes;
        };
    }
};

// One httpd for the suite: starting it is the slow part.
class ApacheAuthTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ensureApplication();
        docroot_ = new TempDir("tamsel-httpd-www");
        docroot_->write("secret.txt", kSecret);
        apache_ = new ApacheServer(docroot_->path(), {{"alice", "wonder land"}},
                                   {{"bob", "builder"}, {"carol", "x:y"}});
    }
    static void TearDownTestSuite() {
        delete apache_;
        delete docroot_;
        apache_ = nullptr;
        docroot_ = nullptr;
    }
    void TearDown() override {
        if (HasFailure()) {
            std::printf("httpd error log:\n%s\naccess log:\n%s\n", apache_->errorLog().c_str(),
                        apache_->accessLog().c_str());
        }
    }

    static TempDir* docroot_;
    static ApacheServer* apache_;
};

TempDir* ApacheAuthTest::docroot_ = nullptr;
ApacheServer* ApacheAuthTest::apache_ = nullptr;

TEST_F(ApacheAuthTest, BasicCredentialsAreAcceptedAndWrongOnesEndAsA401Page) {
    http::HTTPSocket s;
    Credentials right{"alice", "wonder land"};
    s.AuthenticationRequired = right.handler();
    EXPECT_EQ(s.Get(apache_->url("/basic/secret.txt"), 10), kSecret);
    EXPECT_EQ(s.HTTPStatusCode(), 200);
    EXPECT_EQ(s.ErrorCode(), 0);
    EXPECT_EQ(right.calls, 1);
    EXPECT_EQ(right.realms, std::vector<std::string>{ApacheServer::kBasicRealm});

    // Stored wrong credentials: ten repeats, then the refusal is the page.
    http::HTTPSocket t;
    Credentials wrong{"alice", "wrong"};
    t.AuthenticationRequired = wrong.handler();
    const std::string page = t.Get(apache_->url("/basic/secret.txt"), 10);
    EXPECT_EQ(t.HTTPStatusCode(), 401);
    EXPECT_EQ(t.ErrorCode(), 0);
    EXPECT_EQ(wrong.calls, 10);
    EXPECT_NE(page.find("401"), std::string::npos) << page;

    // A handler that gives up after one wrong try.
    http::HTTPSocket u;
    Credentials once{"nobody", "x", 1};
    u.AuthenticationRequired = once.handler();
    EXPECT_NE(u.Get(apache_->url("/basic/secret.txt"), 10).find("401"), std::string::npos);
    EXPECT_EQ(u.HTTPStatusCode(), 401);
    EXPECT_EQ(once.calls, 2);
}

TEST_F(ApacheAuthTest, DigestCredentialsAreAcceptedAndWrongOnesEndAsA401Page) {
    ASSERT_NE(apache_->port(), 80) << "the server compares uri on a non-default port";
    http::HTTPSocket s;
    Credentials right{"bob", "builder"};
    s.AuthenticationRequired = right.handler();
    EXPECT_EQ(s.Get(apache_->url("/digest/secret.txt"), 10), kSecret);
    EXPECT_EQ(s.HTTPStatusCode(), 200);
    EXPECT_EQ(right.calls, 1);
    EXPECT_EQ(right.realms, std::vector<std::string>{ApacheServer::kDigestRealm});

    // Again on the same object, with a query in the target and a password holding ":".
    Credentials colon{"carol", "x:y"};
    s.AuthenticationRequired = colon.handler();
    EXPECT_EQ(s.Get(apache_->url("/digest/secret.txt?v=1&w=a%20b"), 10), kSecret);
    EXPECT_EQ(s.HTTPStatusCode(), 200);
    EXPECT_EQ(colon.calls, 1);

    http::HTTPSocket t;
    Credentials wrong{"bob", "wrong"};
    t.AuthenticationRequired = wrong.handler();
    const std::string page = t.Get(apache_->url("/digest/secret.txt"), 10);
    EXPECT_EQ(t.HTTPStatusCode(), 401);
    EXPECT_EQ(t.ErrorCode(), 0);
    EXPECT_EQ(wrong.calls, 10);
    EXPECT_NE(page.find("401"), std::string::npos) << page;

    http::HTTPSocket u;
    Credentials once{"bob", "builders", 1};
    u.AuthenticationRequired = once.handler();
    EXPECT_NE(u.Get(apache_->url("/digest/secret.txt"), 10).find("401"), std::string::npos);
    EXPECT_EQ(u.HTTPStatusCode(), 401);
    EXPECT_EQ(once.calls, 2);
}

TEST_F(ApacheAuthTest, DigestPostIsAccepted) {
    // The method enters the digest: a POST must be computed over "POST", not "GET".
    http::HTTPSocket s;
    Credentials right{"bob", "builder"};
    s.AuthenticationRequired = right.handler();
    s.SetRequestContent("a=1", "application/x-www-form-urlencoded");
    EXPECT_EQ(s.Post(apache_->url("/digest/secret.txt"), 10), kSecret);
    EXPECT_EQ(s.HTTPStatusCode(), 200);
    EXPECT_EQ(right.calls, 1);
}

// squid asks first, then the site: the proxy's credentials go on with the site's, and the
// owner is asked once for each. squid checks that a Digest nonce count never repeats.
TEST_F(ApacheAuthTest, AuthenticatingProxyInFrontOfAnAuthenticatingSite) {
    for (const auto scheme : {SquidProxy::Scheme::Basic, SquidProxy::Scheme::Digest}) {
        SquidProxy squid(SquidProxy::Users{{"carol", "proxy pass"}}, scheme);
        for (const char* path : {"/basic/secret.txt", "/digest/secret.txt"}) {
            SCOPED_TRACE(std::string(scheme == SquidProxy::Scheme::Basic ? "Basic" : "Digest") +
                         " proxy, " + path);
            http::HTTPSocket s;
            s.HTTPProxyAddress = "127.0.0.1";
            s.HTTPProxyPort = squid.port();
            Credentials proxy{"carol", "proxy pass"};
            Credentials site = std::string(path).starts_with("/basic/")
                                   ? Credentials{"alice", "wonder land"}
                                   : Credentials{"bob", "builder"};
            s.ProxyAuthenticationRequired = proxy.handler();
            s.AuthenticationRequired = site.handler();
            EXPECT_EQ(s.Get(apache_->url(path), 20), kSecret);
            EXPECT_EQ(s.HTTPStatusCode(), 200);
            EXPECT_EQ(proxy.calls, 1);
            EXPECT_EQ(site.calls, 1);
            if (HasFailure()) {
                std::printf("squid access log:\n%s\n", squid.accessLog().c_str());
            }
        }
    }
}

TEST(SquidAuthTest, ProxyDemandsCredentialsAndTheRetryReachesNginx) {
    ensureApplication();
    TempDir docroot("tamsel-nginx-www");
    docroot.write("secret.txt", kSecret);
    NginxServer nginx(docroot.path());
    SquidProxy squid(SquidProxy::Users{{"carol", "proxy pass"}});

    http::HTTPSocket s;
    s.HTTPProxyAddress = "127.0.0.1";
    s.HTTPProxyPort = squid.port();
    Credentials origin{"not", "asked"};
    Credentials proxy{"carol", "proxy pass"};
    s.AuthenticationRequired = origin.handler();
    s.ProxyAuthenticationRequired = proxy.handler();
    EXPECT_EQ(s.Get(nginx.url("/secret.txt"), 20), kSecret);
    EXPECT_EQ(s.HTTPStatusCode(), 200);
    EXPECT_EQ(s.ErrorCode(), 0);
    EXPECT_EQ(origin.calls, 0);
    EXPECT_EQ(proxy.calls, 1);
    EXPECT_EQ(proxy.realms, std::vector<std::string>{SquidProxy::kRealm});
    const auto log = nginx.waitForAccessLog(1);
    ASSERT_EQ(log.size(), 1u) << "only the authenticated request gets through";
    EXPECT_EQ(log[0].status, 200);
    EXPECT_EQ(log[0].uri, "/secret.txt");

    // Wrong credentials, given up after one try: the 407 is the page.
    http::HTTPSocket t;
    t.HTTPProxyAddress = "127.0.0.1";
    t.HTTPProxyPort = squid.port();
    Credentials wrong{"carol", "nope", 1};
    t.ProxyAuthenticationRequired = wrong.handler();
    const std::string page = t.Get(nginx.url("/secret.txt"), 20);
    EXPECT_EQ(t.HTTPStatusCode(), 407) << page;
    EXPECT_EQ(t.ErrorCode(), 0);
    EXPECT_EQ(wrong.calls, 2);
    EXPECT_FALSE(page.empty());
    EXPECT_EQ(nginx.accessLog().size(), 1u);
    if (HasFailure()) {
        std::printf("squid access log:\n%s\ncache log:\n%s\n", squid.accessLog().c_str(),
                    squid.cacheLog().c_str());
    }
}

TEST(LighttpdAuthTest, DigestRealmWithQuotationMarkAndBackslashGoesBackAsSent) {
    ensureApplication();
    TempDir docroot("tamsel-lighttpd-www");
    docroot.write("secret.txt", kSecret);
    LighttpdServer lighttpd(docroot.path(), R"(say \"hi\" \\ there)",
                            {{"dave", "pass word"}, {R"(e"v\e)", "secret"}});
    http::HTTPSocket s;
    Credentials right{"dave", "pass word"};
    s.AuthenticationRequired = right.handler();
    EXPECT_EQ(s.Get(lighttpd.url("/secret.txt"), 10), kSecret);
    EXPECT_EQ(s.HTTPStatusCode(), 200);
    EXPECT_EQ(right.calls, 1);
    EXPECT_EQ(right.realms, std::vector<std::string>{R"(say "hi" \ there)"});

    // The user name is the owner's plain text, escaped on the way out.
    http::HTTPSocket quoted;
    Credentials eve{R"(e"v\e)", "secret"};
    quoted.AuthenticationRequired = eve.handler();
    EXPECT_EQ(quoted.Get(lighttpd.url("/secret.txt"), 10), kSecret);
    EXPECT_EQ(quoted.HTTPStatusCode(), 200);
    EXPECT_EQ(eve.calls, 1);
    if (HasFailure()) {
        std::printf("lighttpd error log:\n%s\n", lighttpd.errorLog().c_str());
    }
}

TEST(LighttpdAuthTest, DigestWithSha256IsAccepted) {
    ensureApplication();
    TempDir docroot("tamsel-lighttpd-www");
    docroot.write("secret.txt", kSecret);
    LighttpdServer lighttpd(docroot.path(), "tamsel sha", {{"dave", "pass word"}}, "SHA-256");
    http::HTTPSocket s;
    Credentials right{"dave", "pass word"};
    s.AuthenticationRequired = right.handler();
    EXPECT_EQ(s.Get(lighttpd.url("/secret.txt"), 10), kSecret);
    EXPECT_EQ(s.HTTPStatusCode(), 200);
    EXPECT_EQ(right.calls, 1);
    if (HasFailure()) {
        std::printf("lighttpd error log:\n%s\n", lighttpd.errorLog().c_str());
    }
}

} // namespace
