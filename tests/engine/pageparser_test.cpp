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

const std::string kCutBlock = "{\"p4pTags\":[],\"nid\":\"9\",\"raw_title\":\"cut";

// The id list, the titles and what addPage answered for each page ("+": a
// marker was found).
std::string parse(const std::vector<std::string>& pages, const std::string& ignoreWords = "")
{
    PageParser parser(ignoreWords);
    std::string markers;
    for (const std::string& p : pages) {
        markers += parser.addPage(p) ? '+' : '-';
    }
    return parser.idList() + " | " + parser.titles() + " | " + markers;
}

TEST(PageParser, givesIdsAndTitlesInPairs)
{
    // Each id once, with the title of its first appearance on any page.
    EXPECT_EQ(parse({page({block("1", "first"), block("2", "b"), block("1", "again")}),
                     page({block("2", "second"), block("3", "c")})}),
              "1,2,3 | first^b^c^ | ++");
    EXPECT_EQ(parse({page({block("12", "a"), block("1", "b"), block("123", "c")})}),
              "12,1,123 | a^b^c^ | +");
    // Blocks without an id, with an empty one or one holding a comma are dropped.
    EXPECT_EQ(parse({page(
                  {block(std::nullopt, "x"), block("", "x"), block("1,2", "x"), block("3", "c")})}),
              "3 | c^ | +");
    EXPECT_EQ(parse({page({block("1", std::nullopt), block("2", "b")})}), "1,2 | ^b^ | +");
    EXPECT_EQ(parse({page({block("1", "a^b"), block("2", "^c^")})}), "1,2 | a b^ c ^ | +");
    // A start without an end ends that page only, and still counts as a marker.
    EXPECT_EQ(parse({page({block("1", "a")}) + "," + kCutBlock, page({block("2", "b")})}),
              "1,2 | a^b^ | ++");
    EXPECT_EQ(parse({kCutBlock, "<html>x</html>", ""}), " |  | +--");
}

// NUL bytes pass the UTF-8 repair unchanged, but the slot fields and titles
// end at the first one: an id holding one would cut off the ids after it.
TEST(PageParser, nulBytesNeverEnterTheIdList)
{
    const std::string nul(1, '\0');
    EXPECT_EQ(parse({nul +
                     page({block("1", "a"), block("2" + nul + "3", "b"),
                           block("4", "c" + nul + "d" + nul)}) +
                     nul}),
              "1,4 | a^c d ^ | +");
    // A page of NULs and bytes that are not UTF-8 has no item at all.
    EXPECT_EQ(parse({std::string(100, '\0') + "\xFF\xFE\x80{\"p4pXags" + nul}), " |  | -");
}

// An id that is not text, or holds a blank or a control character, is dropped
// and counted; it would be opened as another id than the one stored.
TEST(PageParser, idsThatAreNoUsableTextAreDroppedAndCounted)
{
    PageParser parser;
    parser.addPage(page({block("\xFF\xFE", "binary"), block("1", "a"), block("2 3", "blank"),
                         block("4\t", "tab"), block("\xC0\xAF", "overlong"),
                         block("5\xE3\x80\x80", "wide blank"), block("\xE5\x8F", "cut"),
                         block("ab-\xE4\xBA\x8C", "b")}));
    EXPECT_EQ(parser.idList(), "1,ab-\xE4\xBA\x8C");
    EXPECT_EQ(parser.titles(), "a^b^");
    EXPECT_EQ(parser.invalidIds(), 6u);
}

TEST(PageParser, ignoredItemLeavesNeitherIdNorTitle)
{
    // An empty field ends the ignore list.
    EXPECT_EQ(
        parse({page({block("1", "好的"), block("2", "坏了"), block("3", "也好二手")})}, "坏,,二手"),
        "1,3 | 好的^也好二手^ | +");
    EXPECT_EQ(parse({page({block("1", "坏"), block("1", "好")})}, "坏"), "1 | 好^ | +");
}

TEST(PageParser, ignoreWordsMatchWholeCharacters)
{
    EXPECT_TRUE(isIgnoredTitle("全新二手手机", "坏,二手"));
    EXPECT_TRUE(isIgnoredTitle("坏", "坏"));
    EXPECT_FALSE(isIgnoredTitle("全新相机", "二手,坏"));
    // Empty words ignore nothing, and an empty field ends the list.
    EXPECT_FALSE(isIgnoredTitle("二手相机", ""));
    EXPECT_FALSE(isIgnoredTitle("二手相机", "坏,,二手"));
    EXPECT_FALSE(isIgnoredTitle("二手相机", ",二手"));
    EXPECT_FALSE(isIgnoredTitle("全新", "二手,"));
    EXPECT_FALSE(isIgnoredTitle("坏了", " 坏"));
    // "二" is E4 BA 8C and "手" E6 89 8B: the tail of one and the head of the
    // next are no character of the title.
    EXPECT_FALSE(isIgnoredTitle("二手", "\x8C\xE6"));
    EXPECT_FALSE(isIgnoredTitle("二手", "\xBA\x8C"));
}

// Markers and ignore words are searched 32 bytes at a time by first and last
// byte: put them and look-alikes at every offset around those blocks.
TEST(PageParserSearch, findsMarkersAndIgnoreWordsAtEveryAlignment)
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

        const std::string title = std::string(pad, 'x') + "全新二手" + std::string(pad % 5, 'y');
        EXPECT_TRUE(isIgnoredTitle(title, "坏,二手")) << pad;
        EXPECT_EQ(isIgnoredTitle(title, "y,x"), pad > 0) << pad;
        EXPECT_FALSE(isIgnoredTitle(title, "二坏,手二")) << pad;
        EXPECT_EQ(isIgnoredTitle(title, "全新二手y"), pad % 5 != 0) << pad;
    }
}

} // namespace
} // namespace tw
