// A response that starts with its blank line has an empty header block. Reading that block
// must take nothing: a read of zero bytes from the socket means "everything buffered",
// which once swallowed the whole arrival as headers and cut the body's start off.

#include "http/HTTPSocket.h"
#include "support/EventLoop.h"
#include "support/ScriptedServer.h"

#include <gtest/gtest.h>
#include <string>

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

TEST(EmptyHeaderBlock, BodyAfterALeadingBlankLineIsKeptWhole) {
    for (const std::string blank : {"\r\n\r\n", "\n\n", "\r\r"}) {
        ScriptedServer server(replyWith(blank + "body without a status line"));
        http::HTTPSocket client;
        EXPECT_EQ(client.Get(server.url("/"), 5), "body without a status line");
        EXPECT_EQ(client.ErrorCode(), 0);
        EXPECT_EQ(client.HTTPStatusCode(), 0);
        EXPECT_EQ(client.PageHeaders(), nullptr) << "no header in an empty block";
    }
}

TEST(EmptyHeaderBlock, AsynchronousPageHasTheWholeBody) {
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
    client.Get(server.url("/"));
    ASSERT_TRUE(testsupport::runLoopUntil([&] { return pages > 0; }));
    EXPECT_EQ(page, "xyz");
    EXPECT_EQ(pages, 1);
}

} // namespace
