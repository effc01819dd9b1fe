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
                  "&s=0\n" +               // "&s=" across the cut
                  url + "x" + pad + "\n" + // too long: left out
                  url + "&q2\n");
    const auto read = watchlist::readImportFile(dir.file("long.txt"));
    ASSERT_TRUE(read.ok()) << read.error();
    EXPECT_EQ(joined(read.value()), url + " [lamp]\n" + url + "&q2 [lamp]\n");
    EXPECT_EQ(read.value().leftOut, 1);
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
    EXPECT_EQ(many.value().leftOut, 1);

    // So many lines that they would cost more than their bytes.
    writeFile(dir.file("blank.txt"), std::string(watchlist::kMaxLines + 10, '\n') + url + "\n");
    const auto blank = watchlist::readListFile(dir.file("blank.txt"));
    ASSERT_TRUE(blank.ok());
    EXPECT_TRUE(blank.value().watches.empty());
    EXPECT_EQ(blank.value().leftOut, 1);
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
        {"no key",
         {"http://127.0.0.1/s?q=x"},
         "http://127.0.0.1/s?q=x []\n",
         "http://127.0.0.1/s?q=x []\n"},
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
        EXPECT_EQ(list.leftOut + import.leftOut, 0) << c.name;
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
        EXPECT_EQ(parsed.leftOut, 6);
        EXPECT_EQ(parsed.watches[5].url, fullUrl);
    }
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
