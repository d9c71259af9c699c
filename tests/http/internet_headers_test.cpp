#include "host/Exceptions.h"
#include "http/InternetHeaders.h"

#include <ctime>
#include <gtest/gtest.h>
#include <string>

namespace {

using http::InternetHeaders;

InternetHeaders parsed(std::string_view text) {
    InternetHeaders h;
    h._ParseHeaders(text);
    return h;
}

// --- Parsing -------------------------------------------------------------------------------

TEST(InternetHeadersParse, ResponseHeadWithRepeatedSetCookie) {
    const std::string head = "HTTP/1.1 200 OK\r\n"
                             "Content-Type: text/html\r\n"
                             "Set-Cookie: a=1\r\n"
                             "Set-Cookie: b=2\r\n"
                             "\r\n";
    const InternetHeaders h = parsed(head);
    EXPECT_EQ(h.Count(), 3);
    EXPECT_EQ(h.NameCount("set-cookie"), 2);
    EXPECT_EQ(h.Value("Set-Cookie"), "a=1");
    EXPECT_EQ(h.Value("Set-Cookie", 1), "b=2");
    EXPECT_EQ(h.CommaSeparatedValues("Set-Cookie"), "a=1, b=2");
    EXPECT_EQ(h.Value("content-type"), "text/html");
    EXPECT_EQ(h.Source(), head);
    EXPECT_FALSE(h._HasHeader("HTTP/1.1 200 OK"));
}

TEST(InternetHeadersParse, ColonAndBlankHandling) {
    const InternetHeaders h = parsed("X-A:v\r\n"
                                     "X-Trail:   value  \r\n"
                                     "X-B : v\r\n"
                                     "Host: example:8080\r\n"
                                     "X-Tab:\t\t tabbed\r\n"
                                     "X-Empty:\r\n"
                                     "no colon here\r\n"
                                     ": nameless\r\n");
    EXPECT_EQ(h.Value("X-A"), "v");
    EXPECT_EQ(h.Value("X-Trail"), "value  ");
    EXPECT_TRUE(h._HasHeader("X-B "));
    EXPECT_FALSE(h._HasHeader("X-B"));
    EXPECT_EQ(h.Name(2), "X-B ");
    EXPECT_EQ(h.Name(3), "Host");
    EXPECT_EQ(h.Value("Host"), "example:8080");
    EXPECT_EQ(h.Value("X-Tab"), "tabbed");
    EXPECT_TRUE(h._HasHeader("X-Empty"));
    EXPECT_EQ(h.Value("X-Empty"), "");
    EXPECT_EQ(h.Count(), 7);
    EXPECT_EQ(h.Value(""), "nameless");
}

TEST(InternetHeadersParse, FoldedLinesAreJoinedWithOneBlank) {
    const InternetHeaders h = parsed("X-Tab: first\r\n\tsecond\r\n"
                                     "X-Blank: a\r\n  b\r\n"
                                     "X-Many: 1\r\n 2\r\n\t3\r\n"
                                     "X-Next: n\r\n");
    EXPECT_EQ(h.Value("X-Tab"), "first second");
    EXPECT_EQ(h.Value("X-Blank"), "a  b"); // the continuation's own blank stays
    EXPECT_EQ(h.Value("X-Many"), "1 2 3");
    EXPECT_EQ(h.Value("X-Next"), "n");
    EXPECT_EQ(h.Count(), 4);

    // LF-only text unfolds at LF followed by a blank the same way.
    const InternetHeaders lf = parsed("A: x\n y\nB: z\n");
    EXPECT_EQ(lf.Value("A"), "x y");
    EXPECT_EQ(lf.Value("B"), "z");
}

TEST(InternetHeadersParse, LineEndIsDetectedOncePerText) {
    EXPECT_EQ(InternetHeaders::_DetermineEOLCharacter("a\nb\r\nc"), "\r\n");
    EXPECT_EQ(InternetHeaders::_DetermineEOLCharacter("a\nb\rc"), "\n");
    EXPECT_EQ(InternetHeaders::_DetermineEOLCharacter("a\rb"), "\r");
    EXPECT_EQ(InternetHeaders::_DetermineEOLCharacter("ab"), "\r\n");
    EXPECT_EQ(InternetHeaders::_DetermineEOLCharacter(""), "\r\n");

    const InternetHeaders lf = parsed("HTTP/1.0 200 OK\nA: 1\nB: 2\n\n");
    EXPECT_EQ(lf.Count(), 2);
    EXPECT_EQ(lf.Value("B"), "2");

    const InternetHeaders cr = parsed("HTTP/1.0 200 OK\rA: 1\rB: 2\r\r");
    EXPECT_EQ(cr.Count(), 2);
    EXPECT_EQ(cr.Value("A"), "1");

    // Mixed: split at CRLF only, so a lone LF stays inside the value (and a line after it
    // is not a header of its own).
    const InternetHeaders mixed = parsed("A: 1\nB: 2\r\nC: 3\r\n");
    EXPECT_EQ(mixed.Count(), 2);
    EXPECT_EQ(mixed.Value("A"), "1\nB: 2");
    EXPECT_FALSE(mixed._HasHeader("B"));
    EXPECT_EQ(mixed.Value("C"), "3");
}

TEST(InternetHeadersParse, EmptyTextAndReparse) {
    InternetHeaders h;
    h.AppendHeader("Old", "x");
    h._ParseHeaders("");
    EXPECT_EQ(h.Count(), 0);
    EXPECT_EQ(h.Source(), "");
    h.AppendHeader("Via", "proxy");
    EXPECT_EQ(h.Source(), "Via: proxy"); // formats from the map after an empty parse

    h._ParseHeaders("A: 1\r\n");
    h._ParseHeaders("B: 2\r\n");
    EXPECT_FALSE(h._HasHeader("A"));
    EXPECT_EQ(h.Value("B"), "2");
    EXPECT_EQ(h.Source(), "B: 2\r\n");

    // Parsing the collection's own Source must not read freed text.
    h._ParseHeaders(h.Source());
    EXPECT_EQ(h.Value("B"), "2");
}

// A head of 100,000 lines and one header folded over 100,000 lines. A linear parse takes a
// fraction of a second of processor time; replacing or splitting one occurrence at a time
// copies the text per line and takes minutes, so an absolute bound with a wide margin
// separates them on any machine.
TEST(InternetHeadersParse, LongHeadsAndLongFoldsParseInLinearTime) {
    auto timed = [](int lines, bool folded) {
        std::string text = "HTTP/1.1 200 OK\r\n";
        if (folded) {
            text += "X-Long: start";
        }
        for (int i = 0; i < lines; ++i) {
            text += folded ? "\r\n\tpiece" : "X-Header-" + std::to_string(i) + ": value\r\n";
        }
        text += "\r\n\r\n";
        const std::clock_t start = std::clock();
        InternetHeaders h;
        h._ParseHeaders(text);
        const double seconds = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
        EXPECT_EQ(h.Count(), folded ? 1 : lines);
        return seconds;
    };
    for (bool folded : {false, true}) {
        const double seconds = timed(100000, folded);
        EXPECT_LT(seconds, 5.0) << (folded ? "folded: " : "lines: ") << seconds << " s";
    }
}

// --- Case-insensitive names ----------------------------------------------------------------

TEST(InternetHeadersNames, LookupsIgnoreCaseAndAppendsJoinInstances) {
    InternetHeaders h = parsed("Content-Length: 42\r\n");
    EXPECT_EQ(h.Value("content-length"), "42");
    EXPECT_EQ(h.Value("CONTENT-LENGTH", 0), "42");
    EXPECT_TRUE(h._HasHeader("Content-length"));

    h.AppendHeader("X-A", "1");
    h.AppendHeader("x-a", "2");
    EXPECT_EQ(h.NameCount("X-A"), 2);
    EXPECT_EQ(h.Value("X-a", 1), "2");
    EXPECT_EQ(h.Name(1), "X-A");
    EXPECT_EQ(h.Name(2), "x-a"); // the new instance key is spelled as appended

    h.SetHeader("CONTENT-LENGTH", "7");
    EXPECT_EQ(h.Value(0), "7");
    EXPECT_EQ(h.Name(0), "Content-Length"); // replaced in place: first spelling kept
}

// --- Instance bookkeeping ------------------------------------------------------------------

TEST(InternetHeadersInstances, AppendNumbersInstancesFromTheNamePart) {
    InternetHeaders h;
    h.AppendHeader("Accept", "a");
    h.AppendHeader("Accept", "b");
    h.AppendHeader("Accept", "c");
    EXPECT_TRUE(h._HasHeader("Accept:1"));
    EXPECT_TRUE(h._HasHeader("Accept:2"));
    EXPECT_EQ(h.NameCount("Accept"), 3);
    EXPECT_EQ(h.Value("Accept", 2), "c");
    EXPECT_EQ(h.Name(2), "Accept");
    EXPECT_EQ(h.Value("Accept", 3), "");

    // A name that itself contains ":" is numbered from the part before it.
    h.AppendHeader("Odd:x", "1");
    h.AppendHeader("Odd:x", "2");
    EXPECT_TRUE(h._HasHeader("Odd:x"));
    EXPECT_TRUE(h._HasHeader("Odd:1"));
    EXPECT_EQ(h.Value("Odd", 1), "2");
}

TEST(InternetHeadersInstances, DeleteShiftsHigherInstancesDown) {
    InternetHeaders h;
    h.AppendHeader("Host", "h");
    h.AppendHeader("Accept", "a");
    h.AppendHeader("Accept", "b");
    h.AppendHeader("Accept", "c");
    h.Delete("accept", 0);
    EXPECT_EQ(h.NameCount("Accept"), 2);
    EXPECT_EQ(h.Value("Accept"), "b");
    EXPECT_EQ(h.Value("Accept", 1), "c");
    EXPECT_FALSE(h._HasHeader("Accept:2"));
    EXPECT_EQ(h.Count(), 3);
    // Moved entries are stored again under the caller's spelling.
    EXPECT_EQ(h.Name(1), "accept");

    h.AppendHeader("Accept", "d");
    h.Delete("Accept", 1); // middle instance
    EXPECT_EQ(h.CommaSeparatedValues("Accept"), "b, d");
    h.Delete("Accept", 5); // absent: nothing happens
    EXPECT_EQ(h.Count(), 3);

    h.Delete("ACCEPT");
    EXPECT_EQ(h.NameCount("Accept"), 0);
    EXPECT_EQ(h.Count(), 1);
    h.Delete("Absent");
    EXPECT_EQ(h.Value("Host"), "h");
}

TEST(InternetHeadersInstances, SetHeaderCollapsesOrReplacesInPlace) {
    InternetHeaders h;
    h.AppendHeader("Via", "1");
    h.AppendHeader("Accept", "a");
    h.AppendHeader("Accept", "b");
    h.AppendHeader("Accept", "c");
    h.SetHeader("Accept", "only");
    EXPECT_EQ(h.NameCount("Accept"), 1);
    EXPECT_EQ(h.Value("Accept"), "only");
    EXPECT_EQ(h.Count(), 2);

    h.SetHeader("Via", "2");
    EXPECT_EQ(h.Name(0), "Via");
    EXPECT_EQ(h.Value(0), "2");
    h.SetHeader("New", "n");
    EXPECT_EQ(h.Value("New"), "n");
    EXPECT_EQ(h.Count(), 3);
}

TEST(InternetHeadersInstances, NegativeIndexesAndGaps) {
    InternetHeaders h;
    h.AppendHeader("X", "zero");
    EXPECT_EQ(h.Value("X", -5), "zero"); // below 1 reads instance 0

    h.SetHeader("X", "minus", -1);
    EXPECT_TRUE(h._HasHeader("X:-1"));
    EXPECT_EQ(h.Value("X"), "zero");
    EXPECT_EQ(h.NameCount("X"), 1);
    EXPECT_EQ(h.Count(), 2);
    h.SetHeader("X", "minus2", -1); // existing key: replaced
    EXPECT_EQ(h.Count(), 2);

    // Deleting instance -1 shifts the instances above it, instance 0 included, down by one.
    h.Delete("X", -1);
    EXPECT_EQ(h.Count(), 1);
    EXPECT_EQ(h.Value("X:-1", 0), "zero");
    EXPECT_FALSE(h._HasHeader("X"));

    InternetHeaders via;
    via.AppendHeader("Via", "a");
    via.SetHeader("Via", "d", 3);
    EXPECT_EQ(via.Count(), 2);
    EXPECT_EQ(via.NameCount("Via"), 1);
    EXPECT_EQ(via.CommaSeparatedValues("Via"), "a");
    EXPECT_EQ(via.Value("Via", 3), "d");
    EXPECT_EQ(via.Source(), "Via: a\r\nVia: d");
    via.Delete("Via"); // the instance past the gap is out of reach
    EXPECT_EQ(via.Count(), 1);
    EXPECT_EQ(via.Name(0), "Via");
    via.SetHeader("Via", "z", 0);
    EXPECT_EQ(via.Value("Via"), "z");
}

// --- Positional access and Source ----------------------------------------------------------

TEST(InternetHeadersPositions, AccessAtAndPastCount) {
    InternetHeaders h = parsed("A: 1\r\nB: 2\r\nA: 3\r\n");
    ASSERT_EQ(h.Count(), 3);
    for (int64_t i = 0; i < h.Count(); ++i) {
        EXPECT_EQ(h.Value(h.Name(i), i == 2 ? 1 : 0), h.Value(i));
    }
    EXPECT_EQ(h.Value(h.Count()), "");
    EXPECT_EQ(h.Value(int64_t{1} << 40), "");
    EXPECT_THROW(h.Name(h.Count()), host::OutOfBoundsException);
    EXPECT_THROW(h.Name(-1), host::OutOfBoundsException);
    EXPECT_THROW(h.Value(-1), host::OutOfBoundsException);
    EXPECT_EQ(h.Count(), 3); // nothing changed by the failures
}

TEST(InternetHeadersPositions, SourceKeepsParsedTextThroughEditsAndDeleteAll) {
    const std::string head = "HTTP/1.0 404 Not Found\r\nServer: t\r\n\r\n";
    InternetHeaders h = parsed(head);
    h.SetHeader("Server", "changed");
    h.AppendHeader("X-New", "1");
    EXPECT_EQ(h.Source(), head);
    h.DeleteAllHeaders();
    EXPECT_EQ(h.Count(), 0);
    EXPECT_EQ(h.Source(), head);

    InternetHeaders built;
    EXPECT_EQ(built.Source(), "");
    EXPECT_EQ(built._FormatHTTPHeaders(), "");
    built.AppendHeader("Host", "example");
    built.AppendHeader("Accept", "*/*");
    built.AppendHeader("Accept", "text/html");
    EXPECT_EQ(built._FormatHTTPHeaders(), "Host: example\r\nAccept: */*\r\nAccept: text/html");
    EXPECT_EQ(built.Source(), built._FormatHTTPHeaders());
}

// --- Mail rendering ------------------------------------------------------------------------

TEST(InternetHeadersMail, FixedOrderJoinedRecipientsAndNoBcc) {
    InternetHeaders h;
    h.AppendHeader("X-Mailer", "tamsel");
    h.AppendHeader("To", "a@example.org");
    h.AppendHeader("Bcc", "hidden@example.org");
    h.AppendHeader("to", "b@example.org");
    h.AppendHeader("Subject", "Hi");
    h.AppendHeader("From", "me@example.org");
    h.AppendHeader("Received", "r1");
    h.AppendHeader("Received", "r2");
    h.AppendHeader("cc", "c@example.org");
    h.AppendHeader("Date", "today");
    h.AppendHeader("Date", "dropped");
    h.AppendHeader("Return-Path", "<me@example.org>");
    EXPECT_EQ(h._FormatEmailHeaders(), "Return-Path: <me@example.org>\r\n"
                                       "Received: r1\r\n"
                                       "Received: r2\r\n"
                                       "Date: today\r\n"
                                       "Subject: Hi\r\n"
                                       "From: me@example.org\r\n"
                                       "To: a@example.org, b@example.org\r\n"
                                       "CC: c@example.org\r\n"
                                       "X-Mailer: tamsel");

    InternetHeaders only;
    EXPECT_EQ(only._FormatEmailHeaders(), "");
    only.AppendHeader("Bcc", "x");
    EXPECT_EQ(only._FormatEmailHeaders(), "");
    // Names that merely contain a fixed name are not filtered.
    only.AppendHeader("X-To", "y");
    EXPECT_EQ(only._FormatEmailHeaders(), "X-To: y");
}

} // namespace
