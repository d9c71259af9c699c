// A response that starts with its blank line has an empty header block: no status line, so
// it is no HTTP reply and no page, as curl and Python read it. Once a read of zero bytes
// (meaning "everything buffered") swallowed the arrival as headers; now none of it may
// come out as a page in either mode.

#include "http/HTTPSocket.h"
#include "support/EventLoop.h"
#include "support/ScriptedServer.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using testsupport::Conn;
using testsupport::ScriptedServer;

ScriptedServer::Script replyWith(const std::string& response) {
    return [response](Conn& c) {
        c.readRequest();
        c.send(response);
        c.close();
    };
}

TEST(EmptyHeaderBlock, LeadingBlankLineIsNoReply) {
    for (const std::string blank : {"\r\n\r\n", "\n\n", "\r\r"}) {
        ScriptedServer server(replyWith(blank + "body without a status line"));
        http::HTTPSocket client;
        EXPECT_EQ(client.Get(server.url("/"), 5), "");
        EXPECT_EQ(client.ErrorCode(), http::HTTPError::MalformedResponse);
        EXPECT_EQ(client.HTTPStatusCode(), 0);
        EXPECT_EQ(client.PageHeaders(), nullptr);
    }
}

TEST(EmptyHeaderBlock, AsynchronousRequestEndsWithTheError) {
    testsupport::ensureApplication();
    ScriptedServer server(replyWith("\r\n\r\nxyz"));
    http::HTTPSocket client;
    std::string page;
    int pages = 0;
    client.PageReceived = [&](const std::string&, int64_t, http::HeadersRef,
                              const std::string& content) {
        ++pages;
        page = content;
    };
    std::vector<int64_t> errors;
    client.Error = [&](int64_t code) { errors.push_back(code); };
    client.Get(server.url("/"));
    ASSERT_TRUE(testsupport::runLoopUntil([&] { return pages > 0 || !errors.empty(); }));
    EXPECT_EQ(errors, std::vector<int64_t>{http::HTTPError::MalformedResponse});
    EXPECT_EQ(pages, 0) << page;
}

} // namespace
