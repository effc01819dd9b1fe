#include "core/watchlist.h"
#include "tests/support/tempdir.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace tw {
namespace {

using test::readFile;
using test::TempDir;
using test::writeFile;

std::string joined(const WatchLines& parsed)
{
    std::string out;
    for (const Watch& w : parsed.watches) {
        out += w.url + " [" + w.sid + "]\n";
    }
    return out;
}

TEST(WatchList, readLinesTakesCrLfAndLfAndFailsWithTheReason)
{
    TempDir dir;
    writeFile(dir.file("a.txt"), "one\r\ntwo\n\r\nthree\rx\nlast");
    const auto lines = watchlist::readLines(dir.file("a.txt"));
    ASSERT_TRUE(lines.ok()) << lines.error();
    EXPECT_EQ(lines.value(), (std::vector<std::string>{"one", "two", "", "three\rx", "last"}));

    writeFile(dir.file("empty.txt"), "");
    EXPECT_TRUE(watchlist::readLines(dir.file("empty.txt")).value().empty());

    const auto missing = watchlist::readLines(dir.file("missing.txt"));
    ASSERT_FALSE(missing.ok());
    EXPECT_NE(missing.error().find("missing.txt"), std::string::npos) << missing.error();
}

// A huge file picked by mistake is read only as far as a list can use, and
// what the limits cut away changes nothing about the lines that are taken.
TEST(WatchList, readingStopsAtWhatTheLimitsCanUse)
{
    TempDir dir;
    const std::string url = "http://127.0.0.1/s?c=1&q=lamp";
    const std::string pad(watchlist::kMaxLineBytes + 1000, ' ');
    writeFile(dir.file("long.txt"),
              url + "#" + pad + "\n" +      // taken
                  url + pad + "&s=40\r\n" + // paged: skipped
                  url + std::string(watchlist::kMaxLineBytes - 1 - url.size(), 'x') +
                  "&s=0\n" +                                  // "&s=" across the cut
                  url + std::string(pad.size(), 'x') + "\n" + // too long: left out
                  url + "&q2\n");
    const auto read = watchlist::readImportFile(dir.file("long.txt"));
    ASSERT_TRUE(read.ok()) << read.error();
    EXPECT_EQ(joined(read.value()), url + " [lamp]\n" + url + "&q2 [lamp]\n");
    EXPECT_EQ(read.value().leftOut.tooLong, 1);
    const auto lines = watchlist::readLines(dir.file("long.txt"));
    for (const std::string& line : lines.value()) {
        EXPECT_LE(line.size(), watchlist::kMaxLineBytes + 3);
    }

    // Past the byte limit: what was read is used, the rest counts as one line
    // left out, and the line the limit cut through is not taken.
    std::string big;
    for (int i = 0; big.size() <= watchlist::kMaxReadBytes; ++i) {
        big += "# comment " + std::to_string(i) + std::string(200, '-') + "\n";
        if (i % 1000 == 0) {
            big += url + "&n=" + std::to_string(i) + "\n";
        }
    }
    big.resize(watchlist::kMaxReadBytes + 100);
    big += "\n" + url + "&n=last\n";
    writeFile(dir.file("big.txt"), big);
    const auto many = watchlist::readImportFile(dir.file("big.txt"));
    ASSERT_TRUE(many.ok()) << many.error();
    EXPECT_GT(many.value().watches.size(), 50u);
    EXPECT_EQ(many.value().watches.back().url.find("last"), std::string::npos);
    EXPECT_EQ(many.value().leftOut.tooMany, 1);
    ASSERT_FALSE(many.value().notes.empty());
    EXPECT_NE(many.value().notes.back().text.find("行起未载入：超出列表上限"), std::string::npos)
        << many.value().notes.back().text;

    // So many lines that they would cost more than their bytes.
    writeFile(dir.file("blank.txt"), std::string(watchlist::kMaxLines + 10, '\n') + url + "\n");
    const auto blank = watchlist::readListFile(dir.file("blank.txt"));
    ASSERT_TRUE(blank.ok());
    EXPECT_TRUE(blank.value().watches.empty());
    EXPECT_EQ(blank.value().leftOut.tooMany, 1);
}

TEST(WatchList, parseRulesOfTheListAndTheImport)
{
    struct Case
    {
        const char* name;
        std::vector<std::string> lines;
        std::string list;
        std::string import;
    };
    const Case cases[] = {
        {"blank lines", {"", "  ", "\t"}, "", ""},
        {"a key between &q= and the next &",
         {"http://127.0.0.1/s?c=1&q=lamp&sort=new"},
         "http://127.0.0.1/s?c=1&q=lamp&sort=new [lamp]\n",
         "http://127.0.0.1/s?c=1&q=lamp&sort=new [lamp]\n"},
        {"a key as the first parameter",
         {"http://127.0.0.1/s?q=x&c=1", "http://127.0.0.1/s?q=y&c=1&q=z"},
         "http://127.0.0.1/s?q=x&c=1 [x]\nhttp://127.0.0.1/s?q=y&c=1&q=z [z]\n",
         "http://127.0.0.1/s?q=x&c=1 [x]\nhttp://127.0.0.1/s?q=y&c=1&q=z [z]\n"},
        {"blanks around the address: trimmed on import",
         {"  \thttps://127.0.0.1/s?c=1&q=k  # note"},
         "https://127.0.0.1/s?c=1&q=k  # note [k  # note]\n",
         "https://127.0.0.1/s?c=1&q=k [k]\n"},
        {"a paged line: kept in the list, skipped on import",
         {"http://127.0.0.1/s?c=1&q=k&s=40"},
         "http://127.0.0.1/s?c=1&q=k&s=40 [k]\n",
         ""},
        {"a comment: cut on import",
         {"http://127.0.0.1/s?c=1&q=k#note", "# only a comment"},
         "http://127.0.0.1/s?c=1&q=k#note [k#note]\n# only a comment []\n",
         "http://127.0.0.1/s?c=1&q=k [k]\n"},
    };
    for (const Case& c : cases) {
        const WatchLines list = watchlist::parseList(c.lines);
        const WatchLines import = watchlist::parseImport(c.lines);
        EXPECT_EQ(joined(list), c.list) << c.name;
        EXPECT_EQ(joined(import), c.import) << c.name;
        EXPECT_EQ(list.leftOut.total() + import.leftOut.total(), 0) << c.name;
    }
}

TEST(WatchList, linesPastTheTableOrTheirFieldsAreLeftOutAndCounted)
{
    std::vector<std::string> lines;
    for (int i = 0; i < WatchTable::kSlots + 3; ++i) {
        lines.push_back("http://127.0.0.1/s?q=k" + std::to_string(i));
    }
    std::string longUrl = "http://127.0.0.1/s?c=1&q=k&p=";
    longUrl.resize(WatchTable::kUrlMax + 1, 'x');
    lines.insert(lines.begin() + 5, longUrl);
    lines.insert(lines.begin() + 6,
                 "http://127.0.0.1/s?c=1&q=" + std::string(WatchTable::kSidMax + 1, 'k'));
    std::string fullUrl = longUrl.substr(0, WatchTable::kUrlMax);
    lines.insert(lines.begin() + 7, fullUrl);

    for (const WatchLines& parsed : {watchlist::parseList(lines), watchlist::parseImport(lines)}) {
        ASSERT_EQ(parsed.watches.size(), std::size_t(WatchTable::kSlots));
        EXPECT_EQ(parsed.leftOut.tooLong, 2);
        EXPECT_EQ(parsed.leftOut.tooMany, 4);
        EXPECT_EQ(parsed.watches[5].url, fullUrl);
    }
}

// An import takes only http(s) addresses with search words; what it leaves
// out is counted by reason, for the message that tells it.
TEST(WatchList, importLeavesOutWhatIsNoSearchAndSaysWhy)
{
    const WatchLines parsed = watchlist::parseImport({
        "not a url at all",
        "ftp://127.0.0.1/s?c=1&q=k",
        "file:///etc/passwd?q=k",
        "HTTPS://127.0.0.1/s?c=1&q=ok",
        "http://127.0.0.1/s?c=1",
        "http://127.0.0.1/s?c=1&q=&sort=new",
        "http://127.0.0.1/s?q=+%20+",
        "http://127.0.0.1/s?c=1&q=" + std::string(WatchTable::kSidMax + 1, 'k'),
    });
    EXPECT_EQ(joined(parsed), "HTTPS://127.0.0.1/s?c=1&q=ok [ok]\n");
    EXPECT_EQ(parsed.leftOut.notUrl, 3);
    EXPECT_EQ(parsed.leftOut.noSearchWords, 3);
    EXPECT_EQ(parsed.leftOut.tooLong, 1);
    EXPECT_EQ(watchlist::leftOutText(parsed.leftOut),
              "有 7 行网址未载入：3 行不是网址（只取 http:// 或 https:// 开头的网址），"
              "3 行没有搜索词（网址中没有 &q= 或 ?q= 后的搜索词），"
              "1 行过长（网址最多 1023 字节，搜索词最多 100 字节）。");
    EXPECT_EQ(watchlist::leftOutText({}), "");
}

// One search however its values are escaped; other filters, or a "+", "&"
// or "%" that escaping hid, make another.
TEST(WatchList, searchIdentityDecodesQueryValuesOnly)
{
    const auto same = [](std::string_view a, std::string_view b) {
        return watchlist::searchIdentity(a) == watchlist::searchIdentity(b);
    };
    const std::string phone = "http://127.0.0.1/s?q=手机&x=1";
    EXPECT_TRUE(same(phone, "http://127.0.0.1/s?q=%E6%89%8B%E6%9C%BA&x=1"));
    EXPECT_TRUE(same(phone, "http://127.0.0.1/s?q=%e6%89%8b%e6%9c%ba&x=%31"));
    EXPECT_TRUE(same("http://127.0.0.1/s?c=1&q=a%2bb", "http://127.0.0.1/s?c=1&q=a%2Bb"));
    EXPECT_EQ(watchlist::searchIdentity(phone), phone);

    EXPECT_FALSE(same(phone, "http://127.0.0.1/s?q=手机&x=2"));
    EXPECT_FALSE(same(phone, "http://127.0.0.1/s?q=手机"));
    EXPECT_FALSE(same(phone, "http://127.0.0.1/s?q=手机&x=1&sort=new"));
    EXPECT_FALSE(same(phone, "https://127.0.0.1/s?q=手机&x=1"));
    EXPECT_FALSE(same("http://127.0.0.1/s?q=a+b", "http://127.0.0.1/s?q=a%20b"));
    EXPECT_FALSE(same("http://127.0.0.1/s?q=a+b", "http://127.0.0.1/s?q=a%2Bb"));
    EXPECT_FALSE(same("http://127.0.0.1/s?q=a&x=1", "http://127.0.0.1/s?q=a%26x=1"));
    EXPECT_FALSE(same("http://127.0.0.1/s?q=%41", "http://127.0.0.1/s?q=%2541"));
    EXPECT_FALSE(same("http://127.0.0.1/%41?q=a", "http://127.0.0.1/A?q=a")) << "path as written";

    EXPECT_EQ(watchlist::searchIdentity("http://127.0.0.1/s?q=100%&p=%zz%4"),
              "http://127.0.0.1/s?q=100%&p=%zz%4");
}

// A file written by another program: UTF-16 with its byte-order mark is text
// like UTF-8; anything else that is not UTF-8 fails with a reason.
TEST(WatchList, importReadsUtf16AndRefusesWhatIsNotText)
{
    TempDir dir;
    const std::u16string text = u"http://127.0.0.1/s?c=1&q=台灯\r\nhttp://127.0.0.1/s?q=灯\n";
    std::string le = "\xFF\xFE";
    std::string be = "\xFE\xFF";
    for (const char16_t c : text) {
        le += static_cast<char>(c & 0xFF);
        le += static_cast<char>(c >> 8);
        be += static_cast<char>(c >> 8);
        be += static_cast<char>(c & 0xFF);
    }
    const std::string expected =
        "http://127.0.0.1/s?c=1&q=台灯 [台灯]\nhttp://127.0.0.1/s?q=灯 [灯]\n";
    const std::pair<std::string, std::string> files[] = {
        {"le.txt", le},
        {"be.txt", be},
        {"bom8.txt", "\xEF\xBB\xBFhttp://127.0.0.1/s?c=1&q=台灯\r\nhttp://127.0.0.1/s?q=灯\n"},
    };
    for (const auto& [name, content] : files) {
        writeFile(dir.file(name), content);
        const auto read = watchlist::readImportFile(dir.file(name));
        ASSERT_TRUE(read.ok()) << name << ": " << read.error();
        EXPECT_EQ(joined(read.value()), expected) << name;
    }

    // GBK, as an older editor saves Chinese text.
    writeFile(dir.file("gbk.txt"), "http://127.0.0.1/s?c=1&q=\xCC\xA8\xB5\xC6\r\n");
    const auto gbk = watchlist::readImportFile(dir.file("gbk.txt"));
    ASSERT_FALSE(gbk.ok());
    EXPECT_NE(gbk.error().find("不是 UTF-8 文本"), std::string::npos) << gbk.error();
}

TEST(WatchList, saveWritesCrLfWholeOrKeepsTheOldFile)
{
    TempDir dir;
    const std::string path = dir.file("_items.txt");
    ASSERT_TRUE(watchlist::save(path, {"http://a", "http://b"}).ok());
    EXPECT_EQ(readFile(path), "http://a\r\nhttp://b\r\n");
    EXPECT_FALSE(std::filesystem::exists(watchlist::tempPathFor(path)));

    // A directory in the temporary file's place fails the write as any user.
    std::filesystem::create_directory(watchlist::tempPathFor(path));
    const Result<void> failed = watchlist::save(path, {"http://c"});
    ASSERT_FALSE(failed.ok());
    EXPECT_NE(failed.error().find("_items.txt.new"), std::string::npos) << failed.error();
    EXPECT_EQ(readFile(path), "http://a\r\nhttp://b\r\n");

    const Result<void> noFolder = watchlist::save(dir.file("missing/_items.txt"), {"http://c"});
    EXPECT_FALSE(noFolder.ok());
}

} // namespace
} // namespace tw
