#include "host/Strings.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>

namespace {

using namespace host;

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

TEST(Strings, SearchesIgnoreCaseAndCountFromOne) {
    EXPECT_EQ(InStr("Content-Length: 5", "content-length"), 1);
    EXPECT_EQ(InStr("abcABC", "C"), 3);
    EXPECT_EQ(InStr(4, "abcABC", "c"), 6);
    EXPECT_EQ(InStr("abc", "x"), 0);
    EXPECT_EQ(InStr("abc", ""), 1);
    EXPECT_EQ(InStr(9, "abc", "a"), 0);
    EXPECT_EQ(InStrB(1, "abcABC", "C"), 6); // byte-exact
    EXPECT_EQ(StrCompare("ABC", "abc"), 0);
    EXPECT_LT(StrCompare("abc", "abd"), 0);
    EXPECT_LT(StrCompare("ab", "abc"), 0);
    EXPECT_GT(StrCompare("\xC3", "z"), 0); // bytes compare unsigned
    EXPECT_TRUE(EqualsIgnoreCase("Set-Cookie", "SET-COOKIE"));
    EXPECT_FALSE(EqualsIgnoreCase("Set-Cookie", "Set-Cookies"));
}

TEST(Strings, MidLeftRightClipInsteadOfFailing) {
    EXPECT_EQ(Mid("Hello", 2, 3), "ell");
    EXPECT_EQ(Mid("Hello", 2), "ello");
    EXPECT_EQ(Mid("Hello", 0, 2), "He");
    EXPECT_EQ(Mid("Hello", 5, 10), "o");
    EXPECT_EQ(Mid("Hello", 6), "");
    EXPECT_EQ(Mid("Hello", kMax, 1), "");
    EXPECT_EQ(Left("Hello", 2), "He");
    EXPECT_EQ(Left("Hello", -1), "");
    EXPECT_EQ(Right("Hello", 3), "llo");
    EXPECT_EQ(Right("Hello", 99), "Hello");
}

TEST(Strings, FieldsSplitAtCaseInsensitiveSeparator) {
    EXPECT_EQ(NthField("HTTP/1.1 404 Not Found", " ", 2), "404");
    EXPECT_EQ(NthField("HTTP/1.1", " ", 2), "");
    EXPECT_EQ(NthField("aXbxc", "x", 3), "c");
    EXPECT_EQ(NthField("a,,b", ",", 2), "");
    EXPECT_EQ(NthField("a,b", ",", 0), "");
    EXPECT_EQ(CountFields("a,b,", ","), 3);
    EXPECT_EQ(CountFields("", ","), 0);
}

TEST(Strings, TrimRemovesBlanksAndTabsOnly) {
    EXPECT_EQ(LTrim(" \t v  "), "v  ");
    EXPECT_EQ(RTrim("  v \t"), "  v");
    EXPECT_EQ(Trim(" \tv\t "), "v");
    EXPECT_EQ(LTrim("\r\nv"), "\r\nv");
    EXPECT_EQ(Trim("   "), "");
    EXPECT_EQ(Lowercase("AbC-1"), "abc-1");
    EXPECT_EQ(Uppercase("AbC-1"), "ABC-1");
    EXPECT_EQ(ReplaceAllB("a\r\n b\r\n c", "\r\n ", " "), "a b c");
    EXPECT_EQ(ReplaceAllB("aaa", "", "x"), "aaa");
}

TEST(Strings, ValReadsLeadingIntegerAndClampsInsteadOfOverflowing) {
    EXPECT_EQ(Val("404"), 404);
    EXPECT_EQ(Val(" \t 12abc"), 12);
    EXPECT_EQ(Val("+7"), 7);
    EXPECT_EQ(Val("-3.9"), -3); // cut toward zero
    EXPECT_EQ(Val("3.9"), 3);
    EXPECT_EQ(Val(".5"), 0);
    EXPECT_EQ(Val("1e3"), 1000);
    EXPECT_EQ(Val("2.5E1x"), 25);
    EXPECT_EQ(Val("7e"), 7);
    EXPECT_EQ(Val(""), 0);
    EXPECT_EQ(Val("abc"), 0);
    EXPECT_EQ(Val("- 5"), 0);
    EXPECT_EQ(Val("9223372036854775807"), kMax);
    EXPECT_EQ(Val("9223372036854775808"), kMax);
    EXPECT_EQ(Val("-9223372036854775808"), kMin);
    EXPECT_EQ(Val("-9223372036854775809"), kMin);
    EXPECT_EQ(Val(std::string(400, '9')), kMax);
    EXPECT_EQ(Val("1e400"), kMax);
    EXPECT_EQ(Val("-1e400"), kMin);
    EXPECT_EQ(Val("1e-400"), 0);
}

TEST(Strings, CDblReadsLeadingNumberWithoutLocale) {
    EXPECT_DOUBLE_EQ(CDbl("1234"), 1234.0);
    EXPECT_DOUBLE_EQ(CDbl("  -2.5kg"), -2.5);
    EXPECT_DOUBLE_EQ(CDbl("1.5e3"), 1500.0);
    EXPECT_DOUBLE_EQ(CDbl("x1"), 0.0);
    EXPECT_DOUBLE_EQ(CDbl("inf"), 0.0);
    EXPECT_TRUE(std::isinf(CDbl(std::string(400, '9'))));
    EXPECT_DOUBLE_EQ(CDbl("0.000e999999999999"), 0.0);
    EXPECT_DOUBLE_EQ(CDbl("1e-99999"), 0.0);

    int64_t out = 0;
    EXPECT_TRUE(TruncateToInt64(-2.9, out));
    EXPECT_EQ(out, -2);
    EXPECT_TRUE(TruncateToInt64(-9223372036854775808.0, out));
    EXPECT_EQ(out, kMin);
    EXPECT_FALSE(TruncateToInt64(9223372036854775808.0, out));
    EXPECT_FALSE(TruncateToInt64(std::nan(""), out));
    EXPECT_FALSE(TruncateToInt64(-std::numeric_limits<double>::infinity(), out));
}

TEST(Strings, NumbersAsPlainDecimalText) {
    EXPECT_EQ(Int64ToText(0), "0");
    EXPECT_EQ(Int64ToText(-42), "-42");
    EXPECT_EQ(Int64ToText(kMin), "-9223372036854775808");
    EXPECT_EQ(FormatZeroPadded(1, 8), "00000001");
    EXPECT_EQ(FormatZeroPadded(123456789, 8), "123456789");
    EXPECT_EQ(FormatZeroPadded(-5, 3), "-005");
    EXPECT_EQ(FormatZeroPadded(kMin, 2), "-9223372036854775808");
#ifdef _WIN32
    EXPECT_EQ(EndOfLine(), "\r\n");
#else
    EXPECT_EQ(EndOfLine(), "\n");
#endif
}

} // namespace
