#include "core/text.h"

#include <gtest/gtest.h>
#include <string>

namespace tw {
namespace {

struct FgCase
{
    const char* s;
    char sep;
    int n;
    const char* expected;
};

TEST(Text, getFgSplitsAtTheSeparator)
{
    const FgCase cases[] = {
        {"a,b,c", ',', 0, "a"},     {"a,b,c", ',', 2, "c"},
        {"a,b,c", ',', 3, ""},  // past the last field: callers stop here
        {"abc", ',', 0, "abc"}, // no separator: the whole text is field 0
        {"abc", ',', 1, ""},        {"", ',', 0, ""},
        {"a,,b", ',', 1, ""},                           // an empty field inside
        {"a,,b", ',', 2, "b"},      {"a,", ',', 1, ""}, // trailing separator
        {"t1^t2^", '^', 1, "t2"},   {"t1^t2^", '^', 2, ""},
        {"x?q=1?y", '?', 1, "q=1"}, {"a,b", ',', -1, ""},
    };
    for (const FgCase& c : cases) {
        EXPECT_EQ(text::getFg(c.s, c.sep, c.n), c.expected) << c.s << " field " << c.n;
        // A walk over the split fields must see exactly what getFg gives.
        const auto fields = text::splitFields(c.s, c.sep);
        const auto n = static_cast<std::size_t>(c.n);
        EXPECT_EQ(c.n >= 0 && n < fields.size() ? std::string(fields[n]) : "", c.expected)
            << c.s << " split field " << c.n;
    }
}

TEST(Text, isInFgMatchesWholeFieldsOnly)
{
    EXPECT_TRUE(text::isInFg("11,22,33", ',', "22"));
    EXPECT_TRUE(text::isInFg("11,22,33", ',', "11"));
    EXPECT_TRUE(text::isInFg("11,22,33", ',', "33"));
    EXPECT_FALSE(text::isInFg("11,22,33", ',', "2"));
    EXPECT_FALSE(text::isInFg("11,22,33", ',', "22,33"));
    EXPECT_FALSE(text::isInFg("112,33", ',', "11"));
    EXPECT_FALSE(text::isInFg("", ',', ""));
    EXPECT_FALSE(text::isInFg("", ',', "1"));
    EXPECT_TRUE(text::isInFg("7", ',', "7"));
}

TEST(Text, getStrPartTakesTextBetweenDelimiters)
{
    EXPECT_EQ(text::getStrPart("x&q=shoes&sort=1", "&q=", "&"), "shoes");
    // A key that is the last parameter reaches to the end of the URL.
    EXPECT_EQ(text::getStrPart("x&q=shoes", "&q=", "&"), "shoes");
    EXPECT_EQ(text::getStrPart("x?q=shoes", "&q=", "&"), "");
    EXPECT_EQ(text::getStrPart("&q=&a", "&q=", "&"), "");
    // Only the first begin counts; end is searched after it.
    EXPECT_EQ(text::getStrPart("a&q=1&q=2&", "&q=", "&"), "1");
    EXPECT_EQ(text::getStrPart(R"("nid":"123","x")", R"(nid":")", "\""), "123");
}

TEST(Text, utf8RepairKeepsValidTextAndReplacesBadBytes)
{
    std::string valid = "abc 二手 \xF0\x9F\x98\x80 end";
    const std::string before = valid;
    text::utf8ToNarrow(valid);
    EXPECT_EQ(valid, before);

    std::string bad = "a\xFF"
                      "b\xE4\xBA"
                      "c"; // a stray byte and a cut sequence
    text::utf8ToNarrow(bad);
    EXPECT_EQ(bad, "a\xEF\xBF\xBD"
                   "b\xEF\xBF\xBD\xEF\xBF\xBD"
                   "c");

    std::string overlong = "\xC0\xAF\xED\xA0\x80"; // overlong "/" and a surrogate
    text::utf8ToNarrow(overlong);
    EXPECT_EQ(overlong.find('/'), std::string::npos);

    std::string empty;
    text::utf8ToNarrow(empty);
    EXPECT_EQ(empty, "");
}

TEST(Text, parseUrlTrimsAndIsIdempotent)
{
    const char* lines[] = {"  http://h/s?q=1 \r", "http://h/s?q=1", "\thttp://h/s?q=1\n", "", "  "};
    for (const char* line : lines) {
        const std::string once = text::parseUrl(line);
        EXPECT_EQ(text::parseUrl(once), once);
    }
    EXPECT_EQ(text::parseUrl("  http://h/s?q=1 \r"), "http://h/s?q=1");
}

TEST(Text, percentEncodeLeavesOnlyUnreservedBytes)
{
    EXPECT_EQ(text::percentEncode("12345"), "12345");
    EXPECT_EQ(text::percentEncode("1&x=2#f /"), "1%26x%3D2%23f%20%2F");
    EXPECT_EQ(text::percentEncode("a'b\"c"), "a%27b%22c");
    EXPECT_EQ(text::percentEncode("二"), "%E4%BA%8C");
}

TEST(Text, readableQueryDecodesValidUtf8AndKeepsWhatIsNot)
{
    const struct
    {
        const char* query;
        const char* shown;
    } cases[] = {
        {"cat=1&q=%E6%89%8B%E6%9C%BA&sort=new", "cat=1&q=手机&sort=new"},
        {"q=%e6%89%8b", "q=手"}, // lower-case hex digits
        {"q=red+shoes", "q=red shoes"},
        {"q=a%2Bb", "q=a+b"},           // an encoded "+" is a plus sign
        {"q=%E6%89", "q=%E6%89"},       // a character cut short
        {"q=%FF%E6%89%8B", "q=%FF手"},  // a bad byte before a good character
        {"q=%E6%89%8B%E6", "q=手%E6"},  // and after it
        {"q=%C0%AF", "q=%C0%AF"},       // overlong
        {"q=%ED%A0%80", "q=%ED%A0%80"}, // a surrogate
        {"q=%zz%4", "q=%zz%4"},         // not an escape at all
        {"q=100%", "q=100%"},
        {"q=a%0Ab%00%7F", "q=a%0Ab%00%7F"}, // control characters would break the row
        {"q=%C2%85", "q=%C2%85"},           // a C1 control character
        {"q=%41%20%E2%82%AC", "q=A €"},
        {"q=手机+壳", "q=手机 壳"}, // raw UTF-8 passes through
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(text::readableQuery(c.query), c.shown) << c.query;
    }
}

TEST(Text, readableUrlTurnsPlusIntoABlankOnlyInTheQuery)
{
    EXPECT_EQ(text::readableUrl("http://h/a+b/%E6%89%8B?q=%E6%89%8B+1&x=%ZZ"),
              "http://h/a+b/手?q=手 1&x=%ZZ");
    EXPECT_EQ(text::readableUrl("http://h/a+b"), "http://h/a+b");
}

} // namespace
} // namespace tw
