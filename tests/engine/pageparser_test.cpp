#include "engine/fetchitems.h"
#include "engine/pageparser.h"

#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

namespace tw {
namespace {

// One item block as the result pages carry it; a missing id or title leaves
// its key out of the block.
std::string block(std::optional<std::string> id, std::optional<std::string> title)
{
    std::string b = "{\"p4pTags\":[],";
    if (id) {
        b += "\"nid\":\"" + *id + "\",";
    }
    b += "\"title\":\"<span>x</span>\",";
    if (title) {
        b += "\"raw_title\":\"" + *title + "\",";
    }
    b += "\"view_price\":\"9.00\",\"shopLink\":\"//shop.example.com/1\"}";
    return b;
}

std::string page(const std::vector<std::string>& blocks)
{
    std::string p = "{\"mods\":{\"itemlist\":{\"data\":{\"auctions\":[";
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        p += (i > 0 ? "," : "") + blocks[i];
    }
    return p + "]}}}}";
}

struct ParseCase
{
    const char* name;
    std::vector<std::string> pages;
    std::string ignoreWords;
    std::string ids;
    std::string titles;
    // What addPage answered for each page.
    std::vector<bool> hadMarkers;
};

class PageParserCases : public ::testing::TestWithParam<ParseCase>
{
};

TEST_P(PageParserCases, GivesIdsAndTitlesInPairs)
{
    const ParseCase& c = GetParam();
    PageParser parser(c.ignoreWords);
    std::vector<bool> hadMarkers;
    for (const std::string& p : c.pages) {
        hadMarkers.push_back(parser.addPage(p));
    }
    EXPECT_EQ(parser.idList(), c.ids);
    EXPECT_EQ(parser.titles(), c.titles);
    EXPECT_EQ(hadMarkers, c.hadMarkers);
}

const std::string kCutBlock = "{\"p4pTags\":[],\"nid\":\"9\",\"raw_title\":\"cut";

INSTANTIATE_TEST_SUITE_P(
    Pages, PageParserCases,
    ::testing::Values(
        ParseCase{"ThreeItems",
                  {page({block("1", "a"), block("2", "b"), block("3", "c")})},
                  "",
                  "1,2,3",
                  "a^b^c^",
                  {true}},
        ParseCase{"SameIdTwiceOnOnePage",
                  {page({block("1", "first"), block("2", "b"), block("1", "again")})},
                  "",
                  "1,2",
                  "first^b^",
                  {true}},
        ParseCase{"IdOnTwoPagesKeepsFirstTitle",
                  {page({block("1", "a"), block("2", "first")}),
                   page({block("2", "second"), block("3", "c")})},
                  "",
                  "1,2,3",
                  "a^first^c^",
                  {true, true}},
        ParseCase{"IdIsWholeFieldNotPrefix",
                  {page({block("12", "a"), block("1", "b"), block("123", "c")})},
                  "",
                  "12,1,123",
                  "a^b^c^",
                  {true}},
        ParseCase{"BlockWithoutIdDropped",
                  {page({block(std::nullopt, "lost"), block("2", "b")})},
                  "",
                  "2",
                  "b^",
                  {true}},
        ParseCase{"BlockWithEmptyIdDropped",
                  {page({block("", "lost"), block("2", "b")})},
                  "",
                  "2",
                  "b^",
                  {true}},
        ParseCase{"BlockWithoutTitleHasEmptyTitle",
                  {page({block("1", std::nullopt), block("2", "b")})},
                  "",
                  "1,2",
                  "^b^",
                  {true}},
        ParseCase{"StartWithoutEndEndsThatPageOnly",
                  {page({block("1", "a")}) + "," + kCutBlock, page({block("2", "b")})},
                  "",
                  "1,2",
                  "a^b^",
                  {true, true}},
        ParseCase{"OnlyUnendedBlockStillCountsAsMarker", {kCutBlock}, "", "", "", {true}},
        ParseCase{"CaretInTitleKeepsPairing",
                  {page({block("1", "a^b"), block("2", "^c^")})},
                  "",
                  "1,2",
                  "a b^ c ^",
                  {true}},
        ParseCase{"CommaInIdDropped",
                  {page({block("1,2", "two in one"), block("3", "c")})},
                  "",
                  "3",
                  "c^",
                  {true}},
        ParseCase{"PageWithoutMarker", {"<html>nothing here</html>"}, "", "", "", {false}},
        ParseCase{"EmptyPage", {""}, "", "", "", {false}},
        ParseCase{"IgnoredItemLeavesNothing",
                  {page({block("1", "好的"), block("2", "坏了"), block("3", "也好")})},
                  "坏",
                  "1,3",
                  "好的^也好^",
                  {true}},
        ParseCase{"IgnoredFirstThenAcceptedLater",
                  {page({block("1", "坏"), block("1", "好")})},
                  "坏",
                  "1",
                  "好^",
                  {true}},
        ParseCase{"EmptyFieldEndsIgnoreList",
                  {page({block("1", "坏"), block("2", "二手")})},
                  "坏,,二手",
                  "2",
                  "二手^",
                  {true}}),
    [](const ::testing::TestParamInfo<ParseCase>& row) { return std::string(row.param.name); });

struct IgnoreCase
{
    const char* name;
    std::string title;
    std::string words;
    bool ignored;
};

class IgnoreCases : public ::testing::TestWithParam<IgnoreCase>
{
};

TEST_P(IgnoreCases, MatchesWholeCharacters)
{
    const IgnoreCase& c = GetParam();
    EXPECT_EQ(isIgnoredTitle(c.title, c.words), c.ignored);
}

INSTANTIATE_TEST_SUITE_P(
    Words, IgnoreCases,
    ::testing::Values(IgnoreCase{"EmptyWordsIgnoreNothing", "二手相机", "", false},
                      IgnoreCase{"WordInMiddleOfMultibyteTitle", "全新二手手机", "坏,二手", true},
                      IgnoreCase{"SecondWord", "坏的相机", "二手,坏", true},
                      IgnoreCase{"NoWordFound", "全新相机", "二手,坏", false},
                      IgnoreCase{"EmptyFieldEndsList", "二手相机", "坏,,二手", false},
                      IgnoreCase{"LeadingCommaEndsList", "二手相机", ",二手", false},
                      IgnoreCase{"TrailingCommaEndsList", "坏相机", "二手,坏,", true},
                      IgnoreCase{"TrailingCommaIgnoresNothingMore", "全新", "二手,", false},
                      IgnoreCase{"BlanksAreKept", "坏了", " 坏", false},
                      IgnoreCase{"CaseSensitive", "Broken lens", "broken", false},
                      // "二" is E4 BA 8C and "手" E6 89 8B: the tail of one and the head of
                      // the next are no character of the title.
                      IgnoreCase{"ByteTailOfOneCharacterAndHeadOfNext", "二手", "\x8C\xE6", false},
                      IgnoreCase{"ContinuationBytesOnly", "二手", "\xBA\x8C", false},
                      IgnoreCase{"WholeTitle", "坏", "坏", true}),
    [](const ::testing::TestParamInfo<IgnoreCase>& row) { return std::string(row.param.name); });

} // namespace
} // namespace tw

namespace tw {
namespace {

// The markers are searched 32 bytes at a time by first and last byte: put
// blocks and look-alikes at every offset around those blocks.
TEST(PageParserSearch, FindsMarkersAtEveryAlignment)
{
    // Same first and last bytes as the markers, different middle.
    const std::string decoys = "{\"p4pXags,\"shopXink{\"p4pTag ";
    for (std::size_t pad = 0; pad < 70; ++pad) {
        const std::string text = std::string(pad, ' ') + decoys + block("1", "a") +
                                 std::string(pad % 7, ' ') + block("2", "b");
        PageParser parser;
        EXPECT_TRUE(parser.addPage(text)) << pad;
        EXPECT_EQ(parser.idList(), "1,2") << pad;
        EXPECT_EQ(parser.titles(), "a^b^") << pad;

        // The start marker as the very last bytes of the page.
        PageParser tail;
        EXPECT_TRUE(tail.addPage(std::string(pad, ' ') + "{\"p4pTags")) << pad;
        EXPECT_EQ(tail.idList(), "");
        PageParser none;
        EXPECT_FALSE(none.addPage(std::string(pad, ' ') + decoys)) << pad;
    }
}

TEST(PageParserSearch, FindsIgnoreWordsAtEveryAlignment)
{
    for (std::size_t pad = 0; pad < 70; ++pad) {
        const std::string title = std::string(pad, 'x') + "全新二手" + std::string(pad % 5, 'y');
        EXPECT_TRUE(isIgnoredTitle(title, "坏,二手")) << pad;
        EXPECT_EQ(isIgnoredTitle(title, "y,x"), pad > 0) << pad;
        EXPECT_FALSE(isIgnoredTitle(title, "二坏,手二")) << pad;
        EXPECT_EQ(isIgnoredTitle(title, "全新二手y"), pad % 5 != 0) << pad;
    }
}

} // namespace
} // namespace tw
