#include "host/Dictionary.h"
#include "host/Exceptions.h"

#include <ctime>
#include <gtest/gtest.h>
#include <limits>
#include <string>
#include <vector>

namespace {

using host::Dictionary;
using host::Variant;

std::vector<std::string> keysOf(const Dictionary& d) {
    std::vector<std::string> keys;
    for (int64_t i = 0; i < d.Count(); ++i) {
        keys.push_back(d.Key(i));
    }
    return keys;
}

TEST(Dictionary, KeysIgnoreCaseAndKeepFirstSpelling) {
    Dictionary d;
    d.SetValue("Content-Length", "10");
    EXPECT_TRUE(d.HasKey("content-length"));
    EXPECT_TRUE(d.HasKey("CONTENT-LENGTH"));
    EXPECT_FALSE(d.HasKey("content-lengt"));
    d.SetValue("CONTENT-length", "20");
    EXPECT_EQ(d.Count(), 1);
    EXPECT_EQ(d.Key(0), "Content-Length");
    EXPECT_EQ(d.Value("content-LENGTH").StringValue(), "20");
    ASSERT_NE(d.Find("content-length"), nullptr);
    EXPECT_EQ(d.Find("nope"), nullptr);
    EXPECT_EQ(d.Lookup("nope", 7).IntegerValue(), 7);
    EXPECT_THROW(d.Value("nope"), host::KeyNotFoundException);
    // Bytes outside ASCII are compared exactly.
    d.SetValue("\xC3\x84", 1);
    EXPECT_FALSE(d.HasKey("\xC3\xA4"));
}

TEST(Dictionary, PositionsFollowInsertionAndAreChecked) {
    Dictionary d;
    d.SetValue("b", 1);
    d.SetValue("a", 2);
    d.SetValue("c", 3);
    d.SetValue("A", 4); // replacing keeps the position
    EXPECT_EQ(keysOf(d), (std::vector<std::string>{"b", "a", "c"}));
    EXPECT_EQ(d.ValueAt(1).IntegerValue(), 4);
    EXPECT_THROW(d.Key(3), host::OutOfBoundsException);
    EXPECT_THROW(d.Key(-1), host::OutOfBoundsException);
    EXPECT_THROW(d.ValueAt(3), host::OutOfBoundsException);

    d.Remove("B");
    EXPECT_EQ(keysOf(d), (std::vector<std::string>{"a", "c"}));
    EXPECT_EQ(d.ValueAt(1).IntegerValue(), 3);
    d.SetValue("b", 5); // a removed key comes back at the end
    EXPECT_EQ(keysOf(d), (std::vector<std::string>{"a", "c", "b"}));
    EXPECT_THROW(d.Remove("zz"), host::KeyNotFoundException);

    d.RemoveAll();
    EXPECT_EQ(d.Count(), 0);
    EXPECT_THROW(d.Key(0), host::OutOfBoundsException);
    d.SetValue("x", true);
    EXPECT_EQ(keysOf(d), (std::vector<std::string>{"x"}));
}

TEST(Dictionary, HoldsEveryVariantKindAndConvertsToText) {
    Dictionary d;
    d.SetValue("s", "text");
    d.SetValue("i", int64_t{-12});
    d.SetValue("b", false);
    d.SetValue("d", 0.1);
    d.SetValue("n", Variant());
    EXPECT_EQ(d.Value("s").StringValue(), "text");
    EXPECT_EQ(d.Value("i").StringValue(), "-12");
    EXPECT_EQ(d.Value("b").StringValue(), "False");
    EXPECT_EQ(d.Value("d").StringValue(), "0.1");
    EXPECT_EQ(d.Value("n").StringValue(), "");
    EXPECT_TRUE(d.Value("n").IsNil());
    EXPECT_EQ(Variant("42abc").IntegerValue(), 42);
    EXPECT_EQ(Variant(2.9).IntegerValue(), 2);
    EXPECT_EQ(Variant(1e300).IntegerValue(), std::numeric_limits<int64_t>::max());
    EXPECT_TRUE(Variant("true").BooleanValue());
    EXPECT_DOUBLE_EQ(Variant(int64_t{3}).DoubleValue(), 3.0);
}

TEST(Dictionary, CopiesAreIndependentAndMovedFromMapIsUsable) {
    Dictionary a;
    a.SetValue("k", "v");
    Dictionary b = a;
    b.SetValue("k", "w");
    b.SetValue("k2", "x");
    EXPECT_EQ(a.Value("k").StringValue(), "v");
    EXPECT_EQ(a.Count(), 1);
    // A copy taken while removals have left holes keeps the order and the spellings.
    Dictionary holes;
    for (const char* k : {"One", "Two", "Three", "Four"}) {
        holes.SetValue(k, k);
    }
    holes.Remove("two");
    Dictionary copy(holes);
    copy.SetValue("FOUR", "4");
    EXPECT_EQ(keysOf(copy), (std::vector<std::string>{"One", "Three", "Four"}));
    EXPECT_EQ(holes.Value("four").StringValue(), "Four");
    holes = copy;
    EXPECT_EQ(holes.ValueAt(2).StringValue(), "4");

    Dictionary c = std::move(b);
    EXPECT_EQ(c.Count(), 2);
    EXPECT_EQ(b.Count(), 0); // NOLINT(bugprone-use-after-move): moved-from must stay usable
    EXPECT_FALSE(b.HasKey("k"));
    b.SetValue("again", 1);
    EXPECT_EQ(b.Count(), 1);
}

// 100,000 removals from a 200,000-entry map, each followed by nothing, then one positional
// walk. Linear work takes a fraction of a second of processor time; removal that shifts the
// entries (or a walk that searches for each position) takes minutes, so an absolute bound
// with a wide margin separates them without depending on the cache sizes of the machine.
TEST(Dictionary, RemovalAndPositionalWalkScaleLinearly) {
    auto run = [](int n) {
        const std::clock_t start = std::clock();
        Dictionary d;
        for (int i = 0; i < n; ++i) {
            d.SetValue("key" + std::to_string(i), i);
        }
        for (int i = 0; i < n; i += 2) {
            d.Remove("KEY" + std::to_string(i));
        }
        int64_t sum = 0;
        for (int64_t i = 0; i < d.Count(); ++i) {
            sum += d.ValueAt(i).IntegerValue();
        }
        EXPECT_EQ(d.Count(), n / 2);
        EXPECT_EQ(d.Key(0), "key1");
        EXPECT_EQ(sum, int64_t{n / 2} * int64_t{n / 2}); // 1 + 3 + ... + (n-1)
        return static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
    };
    const double seconds = run(200000);
    EXPECT_LT(seconds, 5.0) << "processor time " << seconds << " s";
}

} // namespace
