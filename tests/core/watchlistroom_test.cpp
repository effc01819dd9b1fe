#include "core/watchlist.h"
#include "core/watchlistroom.h"
#include "tests/support/tempdir.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <utility>
#include <vector>

namespace tw::test {
namespace {

const std::string kA = "http://127.0.0.1/s?c=1&q=a";
const std::string kB = "http://127.0.0.1/s?c=1&q=b";
const std::string kC = "http://127.0.0.1/s?c=1&q=c";
const std::string kD = "http://127.0.0.1/s?c=1&q=d";

// The room over a list file in a folder of its own, with every signal it
// sent written down in order.
class WatchListRoomTest : public ::testing::Test
{
protected:
    WatchListRoomTest()
    {
        QObject::connect(&room, &WatchListRoom::listReset, [this] { said("reset"); });
        QObject::connect(&room, &WatchListRoom::watchInserted,
                         [this](int row) { said("inserted " + std::to_string(row)); });
        QObject::connect(&room, &WatchListRoom::watchRemoved,
                         [this](int row) { said("removed " + std::to_string(row)); });
        QObject::connect(&room, &WatchListRoom::watchChanged,
                         [this](int row) { said("changed " + std::to_string(row)); });
        QObject::connect(&room, &WatchListRoom::watchMoved, [this](int from, int to) {
            said("moved " + std::to_string(from) + " " + std::to_string(to));
        });
    }

    void said(const std::string& signal) { heard_.push_back(signal); }
    std::vector<std::string> takeSignals() { return std::exchange(heard_, {}); }

    WatchListRoom::ImportResult importLines(const std::string& body)
    {
        writeFile(dir.file("import.txt"), body);
        return room.import(dir.file("import.txt"));
    }
    WatchId idOf(int row) const { return room.at(row) ? room.at(row)->id : 0; }

    // The table the worker reads holds the list, slot for row, each with its id.
    void expectTableFollowsList()
    {
        ASSERT_EQ(table.watchCount(), room.count());
        for (int row = 0; row < room.count(); ++row) {
            SCOPED_TRACE(row);
            const WatchRoster::Entry entry = roster.at(row);
            EXPECT_EQ(entry.id, room.at(row)->id);
            EXPECT_EQ(entry.slot.url, room.at(row)->url);
            EXPECT_EQ(entry.slot.sid, room.at(row)->sid);
        }
    }

    TempDir dir;
    WatchTable table;
    WatchRoster roster{table};
    WatchListRoom room{roster, dir.file("_items.txt")};
    std::vector<std::string> heard_;
};

// Read at start, written back whole with CR LF. An empty list that came from
// the start or a load writes nothing, as it may be one that failed to load;
// the user's removing the last watch writes the list empty.
TEST_F(WatchListRoomTest, loadsAndSavesTheListFileAndWritesItEmptyOnlyAfterAChange)
{
    writeFile(dir.file("_items.txt"),
              kA + "\n\n" + kC + std::string(WatchTable::kUrlMax, 'x') + "\r\n" + kB + "\r\n");
    writeFile(dir.file("_items.ini"), "[" + kA + "]\nname=台灯\n");
    const std::string leftOut = room.load();
    EXPECT_NE(leftOut.find("1 行过长"), std::string::npos) << leftOut;
    EXPECT_EQ(takeSignals(), std::vector<std::string>{"reset"});
    ASSERT_EQ(room.count(), 2);
    EXPECT_EQ(room.at(1)->sid, "b");
    EXPECT_NE(idOf(0), 0u);
    EXPECT_NE(idOf(0), idOf(1));
    expectTableFollowsList();

    ASSERT_TRUE(room.save().ok());
    EXPECT_EQ(readFile(dir.file("_items.txt")), kA + "\r\n" + kB + "\r\n");

    ASSERT_TRUE(room.remove(0));
    ASSERT_TRUE(room.remove(0));
    ASSERT_TRUE(room.save().ok());
    EXPECT_EQ(readFile(dir.file("_items.txt")), "");
    EXPECT_EQ(readFile(dir.file("_items.ini")), "");

    // Loaded empty: the file stays as it is.
    writeFile(dir.file("empty.txt"), "\r\n");
    WatchListRoom loadedEmpty(roster, dir.file("empty.txt"));
    EXPECT_EQ(loadedEmpty.load(), "");
    ASSERT_TRUE(loadedEmpty.save().ok());
    EXPECT_EQ(readFile(dir.file("empty.txt")), "\r\n");
    WatchListRoom fresh(roster, dir.file("missing.txt"));
    EXPECT_EQ(fresh.load(), "");
    ASSERT_TRUE(fresh.save().ok());
    EXPECT_FALSE(std::filesystem::exists(dir.file("missing.txt")));
}

// A URL that stays keeps its id and what its checks left in the table,
// wherever it lands; the n-th row of a URL keeps the id of its n-th row
// before, and a new row gets a new id. An import without a usable line, or
// one that cannot be read, changes nothing.
TEST_F(WatchListRoomTest, anImportKeepsAStayingUrlsIdAndStateAndGivesEachRowItsOwnId)
{
    ASSERT_TRUE(importLines(kA + "\n" + kB + "\n" + kC + "\n").replaced);
    const WatchId a = idOf(0), b = idOf(1), c = idOf(2);
    table.setLastIds(1, "5,6");
    takeSignals();

    const WatchListRoom::ImportResult reordered =
        importLines(kC + "\n" + kB + "&s=40\n# comment\n" + kB + "\n" + kD + "\n");
    EXPECT_TRUE(reordered.replaced);
    EXPECT_EQ(reordered.saveError, "");
    EXPECT_EQ(takeSignals(), std::vector<std::string>{"reset"});
    ASSERT_EQ(room.count(), 3);
    EXPECT_EQ(idOf(0), c);
    EXPECT_EQ(idOf(1), b);
    EXPECT_EQ(room.rowOf(a), -1);
    EXPECT_EQ(table.slot(1).lastIds, "5,6");
    EXPECT_EQ(table.slot(0).lastIds, "");
    const WatchId d1 = idOf(2);
    for (const WatchId old : {a, b, c}) {
        EXPECT_NE(d1, old);
    }
    expectTableFollowsList();
    EXPECT_EQ(readFile(dir.file("_items.txt")), kC + "\r\n" + kB + "\r\n" + kD + "\r\n");

    EXPECT_TRUE(importLines(kD + "\n" + kA + "\n").replaced);
    EXPECT_EQ(idOf(0), d1);
    EXPECT_NE(idOf(1), a) << "a URL that left the list comes back as a new watch";

    const WatchListRoom::ImportResult nothing = importLines("\n#only\n" + kB + "&s=0\n");
    EXPECT_FALSE(nothing.replaced);
    EXPECT_EQ(nothing.report, "文件中没有可导入的监控，列表保持不变。");
    const WatchListRoom::ImportResult unreadable = room.import(dir.file("missing.txt"));
    EXPECT_NE(unreadable.readError.find("missing.txt"), std::string::npos) << unreadable.readError;
    EXPECT_EQ(idOf(0), d1);
    EXPECT_EQ(room.count(), 2);
    EXPECT_EQ(takeSignals(), std::vector<std::string>{"reset"});
    expectTableFollowsList();
}

// The import tells what it took and names each line it left out or merged:
// the same search escaped otherwise, or written twice, is one watch.
TEST_F(WatchListRoomTest, anImportReportsEachLineItLeftOutOrMerged)
{
    const std::string phone = "http://127.0.0.1/s?c=1&q=手机";
    const WatchListRoom::ImportResult result =
        importLines(phone +
                    "\r\n# 注释\r\nftp://127.0.0.1/s?q=x\r\n"
                    "  http://127.0.0.1/s?c=1&q=%E6%89%8B%E6%9C%BA  \r\n" +
                    kA + "\r\n" + phone + "\r\n" + kB + "&s=40\r\nhttp://127.0.0.1/s?c=1\r\n" + kA +
                    "&sort=new\r\n");
    EXPECT_TRUE(result.replaced);
    EXPECT_EQ(result.read, 3);
    ASSERT_EQ(room.count(), 3);
    EXPECT_EQ(room.at(0)->url, phone);
    EXPECT_EQ(result.report, "已导入 3 个监控。\n"
                             "第 3 行未载入：不是网址（只取 http:// 或 https:// 开头的网址）\n"
                             "第 4 行与第 1 行是同一个搜索，已合并\n"
                             "第 6 行与第 1 行是同一个搜索，已合并\n"
                             "第 8 行未载入：没有搜索词（网址中没有 &q= 或 ?q= 后的搜索词）");
    ASSERT_EQ(result.notes.size(), 4u);
    EXPECT_EQ(result.notes[1].line, 4);

    std::string bad;
    for (int i = 0; i < WatchListRoom::kMaxReportNotes + 5; ++i) {
        bad += "nothing\n";
    }
    const WatchListRoom::ImportResult many = importLines(bad + kA + "\n");
    EXPECT_EQ(std::count(many.report.begin(), many.report.end(), '\n'),
              WatchListRoom::kMaxReportNotes + 1);
    EXPECT_TRUE(many.report.ends_with("\n……另有 5 行未列出。")) << many.report;
}

// The add and edit dialogs ask before they change the list: a URL the
// import would refuse is refused for the same reason, and one that is
// already listed as the same search names that row.
TEST_F(WatchListRoomTest, refusalGivesTheImportsReasonOrNamesTheRowOfTheSameSearch)
{
    const std::string phone = "http://127.0.0.1/s?c=1&q=%E6%89%8B%E6%9C%BA";
    ASSERT_TRUE(room.add({kA, "a"}));
    ASSERT_TRUE(room.add({phone, "%E6%89%8B%E6%9C%BA"}));
    WatchOptions named;
    named.name = "台灯";
    ASSERT_TRUE(room.setOptions(0, named));

    const std::optional<Watch> typed = watchlist::parseOne("  " + kB + "\t");
    ASSERT_TRUE(typed);
    EXPECT_EQ(typed->url, kB);
    EXPECT_EQ(typed->sid, "b");
    EXPECT_EQ(room.refusal("  " + kB + " "), "");
    EXPECT_EQ(room.refusal("ftp://127.0.0.1/s?q=x"),
              "不是网址（只取 http:// 或 https:// 开头的网址）");
    EXPECT_EQ(room.refusal(""), "不是网址（只取 http:// 或 https:// 开头的网址）");
    EXPECT_EQ(room.refusal("http://127.0.0.1/s?c=1&q=+"),
              "没有搜索词（网址中没有 &q= 或 ?q= 后的搜索词）");
    EXPECT_EQ(room.refusal(kB + std::string(WatchTable::kUrlMax, 'x')),
              "过长（网址最多 1023 字节，搜索词最多 100 字节）");
    EXPECT_NE(room.refusal(kB + "&s=40"), "");

    EXPECT_EQ(room.refusal(" " + kA), "与第 1 行（台灯）是同一个搜索，会重复提醒同样的宝贝");
    EXPECT_EQ(room.refusal("http://127.0.0.1/s?c=%31&q=手机"),
              "与第 2 行（c=1&q=手机）是同一个搜索，会重复提醒同样的宝贝");
    EXPECT_EQ(room.refusal("http://127.0.0.1/s?c=1&q=手机", 1), "") << "the row being edited";
    EXPECT_EQ(room.refusal("http://127.0.0.1/s?c=2&q=手机"), "") << "another filter";

    for (int i = room.count(); i < WatchTable::kSlots; ++i) {
        ASSERT_TRUE(room.add({kC + std::to_string(i), "c"}));
    }
    EXPECT_EQ(room.refusal(kB), "超出列表上限（最多 1000 行）");
    EXPECT_EQ(room.refusal(kB, 0), "");
}

// Each change is announced for the rows; the table follows the list and a
// URL's state follows the URL. A change that cannot be made says nothing.
TEST_F(WatchListRoomTest, eachChangeIsAnnouncedAndTheTableFollowsTheList)
{
    ASSERT_TRUE(room.add({kA, "a"}));
    ASSERT_TRUE(room.add({kB, "b"}));
    ASSERT_TRUE(room.add({kC, "c"}));
    const WatchId a = idOf(0), c = idOf(2);
    table.setLastIds(0, "1,2");

    ASSERT_TRUE(room.move(0, 2));
    EXPECT_EQ(room.rowOf(a), 2);
    EXPECT_EQ(table.slot(2).lastIds, "1,2");
    expectTableFollowsList();

    ASSERT_TRUE(room.replace(1, {kC, "c2"}));
    EXPECT_EQ(idOf(1), c) << "the same search under another key is the same watch";
    EXPECT_EQ(table.sid(1), "c2");
    ASSERT_TRUE(room.replace(0, {kD, "d"}));
    EXPECT_NE(idOf(0), 0u);
    EXPECT_EQ(room.rowOf(idOf(0)), 0);
    expectTableFollowsList();

    ASSERT_TRUE(room.remove(1));
    EXPECT_EQ(room.rowOf(a), 1);
    EXPECT_EQ(table.slot(1).lastIds, "1,2");
    expectTableFollowsList();

    EXPECT_FALSE(room.remove(2));
    EXPECT_FALSE(room.move(0, 0));
    EXPECT_FALSE(room.move(0, 5));
    EXPECT_FALSE(room.replace(-1, {kA, "a"}));
    EXPECT_FALSE(room.add({kA + std::string(WatchTable::kUrlMax, 'x'), "a"}));
    EXPECT_EQ(takeSignals(),
              (std::vector<std::string>{"inserted 0", "inserted 1", "inserted 2", "moved 0 2",
                                        "changed 1", "changed 0", "removed 1"}));
    expectTableFollowsList();
}

// Each watch's options come from `_items.ini` with the list, follow its URL
// through an import and an edit of the URL, reach the worker beside the
// slot, and go back to the file without the sections of URLs that left.
TEST_F(WatchListRoomTest, optionsFollowTheirUrlFromTheFileToTheWorkerAndBack)
{
    writeFile(dir.file("_items.txt"), kA + "\n" + kB + "\n" + kA + "\n");
    writeFile(dir.file("_items.ini"), "# 手写\n[" + kA + "]\nname=台灯;新\nfoo=bar\n[" + kB +
                                          "]\ninterval=x\npaused=1\n[" + kD + "]\nmuted=1\n");
    const std::string told = room.load();
    EXPECT_NE(told.find("第 6 行"), std::string::npos) << told;
    ASSERT_EQ(room.count(), 3);
    EXPECT_EQ(room.at(0)->options.name, "台灯;新");
    EXPECT_EQ(room.at(2)->options, room.at(0)->options) << "a URL listed twice shares its section";
    EXPECT_EQ(room.at(1)->options.paused, true);
    EXPECT_EQ(roster.at(1).options.paused, true);
    takeSignals();

    WatchOptions muted = room.at(1)->options;
    muted.muted = true;
    ASSERT_TRUE(room.setOptions(1, muted));
    EXPECT_EQ(takeSignals(), std::vector<std::string>{"changed 1"});
    EXPECT_EQ(roster.at(1).options.muted, true);

    // An import keeps options by URL; an edited URL keeps its row's.
    ASSERT_TRUE(importLines(kB + "\n" + kC + "\n" + kA + "\n").replaced);
    EXPECT_EQ(room.at(0)->options, muted);
    EXPECT_EQ(room.at(1)->options, WatchOptions{});
    EXPECT_EQ(room.at(2)->options.name, "台灯;新");
    ASSERT_TRUE(room.replace(0, {kD, "d"}));
    EXPECT_EQ(room.at(0)->options, muted);
    EXPECT_EQ(roster.at(0).options, muted);
    ASSERT_TRUE(room.remove(2));

    ASSERT_TRUE(room.save().ok());
    EXPECT_EQ(readFile(dir.file("_items.ini")),
              "# 手写\r\n\r\n[" + kD + "]\r\npaused=1\r\nmuted=1\r\ninterval=x\r\n");
    WatchTable otherTable;
    WatchRoster otherRoster{otherTable};
    WatchListRoom reloaded(otherRoster, dir.file("_items.txt"));
    reloaded.load();
    ASSERT_EQ(reloaded.count(), 2);
    EXPECT_EQ(reloaded.at(0)->options.muted, true);
    EXPECT_EQ(reloaded.at(1)->options, WatchOptions{});
}

} // namespace
} // namespace tw::test
