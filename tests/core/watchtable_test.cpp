#include "core/runflag.h"
#include "core/watchtable.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <utility>
#include <vector>
#include <gtest/gtest.h>
#include <string>
#include <thread>

namespace tw {
namespace {

std::string ids(int count, int width)
{
    std::string out;
    for (int i = 0; i < count; ++i) {
        if (i) {
            out += ',';
        }
        std::string id = std::to_string(i);
        out += std::string(width - static_cast<int>(id.size()), '1') + id;
    }
    return out;
}

TEST(WatchTable, startsZeroFilled)
{
    WatchTable table;
    EXPECT_EQ(table.watchCount(), 0);
    for (int i : {0, 1, 999}) {
        const SlotCopy s = table.slot(i);
        EXPECT_EQ(s.url + s.sid + s.lastIds + s.newIds, "");
    }
}

TEST(WatchTable, outOfRangeSlotsAreNeverTouched)
{
    WatchTable table;
    EXPECT_FALSE(table.setWatch(-1, {"u", "s"}));
    EXPECT_FALSE(table.setWatch(1000, {"u", "s"}));
    table.setLastIds(1000, "1");
    table.setNewIds(-1, "1");
    EXPECT_EQ(table.slot(1000).url, "");
    table.setWatchCount(5000);
    EXPECT_EQ(table.watchCount(), 1000);
}

TEST(WatchTable, fieldsHoldOneByteLessThanTheirSize)
{
    WatchTable table;
    const std::string url(1023, 'u');
    const std::string sid(100, 's');
    EXPECT_TRUE(table.setWatch(3, {url, sid}));
    EXPECT_EQ(table.url(3), url);
    EXPECT_EQ(table.sid(3), sid);
    // One byte more does not fit: the watch is refused whole.
    EXPECT_FALSE(table.setWatch(4, {url + "u", "k"}));
    EXPECT_FALSE(table.setWatch(4, {"u", sid + "s"}));
    EXPECT_EQ(table.url(4), "");
    // Neighbours are untouched by a full field.
    EXPECT_EQ(table.slot(3).lastIds, "");
    EXPECT_EQ(table.url(2) + table.url(4), "");
}

TEST(WatchTable, longIdListsAreCutAfterAWholeId)
{
    EXPECT_EQ(fitIdList("111,222,333", 11), "111,222,333");
    EXPECT_EQ(fitIdList("111,222,333", 10), "111,222");
    EXPECT_EQ(fitIdList("111,222,333", 7), "111,222");
    EXPECT_EQ(fitIdList("111,222,333", 6), "111");
    EXPECT_EQ(fitIdList("111,222,333", 2), "");
    EXPECT_EQ(fitIdList("", 0), "");

    WatchTable table;
    const std::string many = ids(400, 12); // 5199 bytes: more than lastIds holds
    table.setLastIds(0, many);
    const std::string kept = table.slot(0).lastIds;
    EXPECT_LE(kept.size(), WatchTable::kLastIdsMax);
    EXPECT_EQ(many.compare(0, kept.size(), kept), 0);
    EXPECT_EQ(many[kept.size()], ','); // ends on a whole id
    table.setNewIds(0, many);
    EXPECT_LE(table.slot(0).newIds.size(), WatchTable::kNewIdsMax);
    EXPECT_EQ(many[table.slot(0).newIds.size()], ',');
    EXPECT_EQ(table.url(1), ""); // nothing spilled into the next slot
}

TEST(WatchTable, replaceAllZeroesEverythingAndSkipsWhatDoesNotFit)
{
    WatchTable table;
    table.setWatch(0, {"old", "o"});
    table.setLastIds(0, "1,2");
    table.setNewIds(7, "9");
    // A zero byte in a line would cut its url short in the slot.
    std::vector<Watch> watches = {
        {"a", "ka"}, {std::string(1024, 'x'), "too long"}, {std::string("c\0d", 3), ""}, {"b", ""}};
    EXPECT_EQ(table.replaceAll(watches), 2);
    EXPECT_EQ(table.watchCount(), 2);
    EXPECT_EQ(table.url(0), "a");
    EXPECT_EQ(table.slot(0).lastIds, "");
    EXPECT_EQ(table.url(1), "b");
    EXPECT_EQ(table.slot(7).newIds, "");

    std::vector<Watch> tooMany(1200, Watch{"u", "k"});
    EXPECT_EQ(table.replaceAll(tooMany), 1000);
    EXPECT_EQ(table.watchCount(), 1000);
}

// A list replaced during a run: a watch that stays keeps what its last check
// saw and the report the window has not taken yet, in whatever slot it lands;
// one that left takes its report with it; a new one starts empty.
TEST(WatchTable, replaceAllCarriesAStayingWatchsPastByUrl)
{
    WatchTable table;
    table.replaceAll({{"same", "s"}, {"moves", "m"}, {"leaves", "l"}, {"twice", "t"}});
    for (int i = 0; i < 4; ++i) {
        table.setLastIdsFor(i, table.slot(i).url,
                            std::to_string(i) + "1," + std::to_string(i) + "2");
        table.setNewIds(i, std::to_string(i) + "9");
    }
    EXPECT_EQ(table.replaceAll(
                  {{"same", "s"}, {"new", "n"}, {"twice", "t"}, {"moves", "m"}, {"twice", "t"}}),
              5);
    const auto fields = [&](int i) {
        const SlotCopy c = table.slot(i);
        return c.url + "|" + c.lastIds + "|" + c.newIds;
    };
    EXPECT_EQ(fields(0), "same|01,02|09");
    EXPECT_EQ(fields(1), "new||");
    EXPECT_EQ(fields(2), "twice|31,32|39");
    EXPECT_EQ(fields(3), "moves|11,12|19");
    EXPECT_EQ(fields(4), "twice||") << "a second slot of a url would report it twice";
}

// A check that ends after the list was replaced files its result where its
// url is now; a url that left the list drops it.
TEST(WatchTable, aCheckFilesItsResultWhereItsUrlIsNow)
{
    WatchTable table;
    table.replaceAll({{"a", "ka"}, {"b", "kb"}, {"c", "kc"}});
    table.replaceAll({{"c", "kc"}, {"a", "ka"}});
    EXPECT_EQ(table.slotOf(0, "a"), 1);
    EXPECT_EQ(table.setLastIdsFor(0, "a", "4,5,6"), 1);
    EXPECT_EQ(table.slotOf(2, "c"), 0);
    EXPECT_EQ(table.slotOf(1, "b"), -1);
    EXPECT_EQ(table.setLastIdsFor(1, "b", "8"), -1);
    EXPECT_EQ(table.slot(1).lastIds, "4,5,6");
    EXPECT_EQ(table.slot(0).lastIds, "");
}

// The zeroing is skipped where nothing was written, so check byte for byte
// that every field is its string followed by zeros only, whatever came before.
template <std::size_t N> bool onlyZerosAfterString(const char (&field)[N])
{
    const std::size_t n = strnlen(field, N);
    return std::all_of(field + n, field + N, [](char c) { return c == 0; });
}

bool zeroFilledBeyondStrings(const WatchTable& table, int i)
{
    const WatchSlot s = table.rawSlot(i);
    return onlyZerosAfterString(s.url) && onlyZerosAfterString(s.sid) &&
           onlyZerosAfterString(s.lastIds) && onlyZerosAfterString(s.newIds);
}

TEST(WatchTable, shorterWritesAndZeroingLeaveNoOldByteBehind)
{
    const std::string longUrl(1023, 'u');
    const std::vector<std::pair<const char*, std::function<void(WatchTable&)>>> steps = {
        {"long then short url", [&](WatchTable& t) {
             t.setWatch(3, {longUrl, "sid"});
             t.setWatch(3, {"u", "s"});
             EXPECT_EQ(t.url(3), "u");
         }},
        {"long then short id lists", [](WatchTable& t) {
             t.setLastIds(998, ids(300, 12));
             t.setLastIds(998, "1");
             t.setNewIds(998, ids(70, 12));
             t.setNewIds(998, "2,3");
             EXPECT_EQ(t.slot(998).lastIds, "1");
             EXPECT_EQ(t.slot(998).newIds, "2,3");
         }},
        {"long then short newIds", [](WatchTable& t) {
             t.setNewIds(5, ids(60, 12));
             t.setNewIds(5, "7");
             EXPECT_EQ(t.slot(5).newIds, "7");
         }},
        {"replaceAll after the last slot was written", [&](WatchTable& t) {
             t.setWatch(999, {longUrl, "x"});
             t.setLastIds(999, ids(300, 12));
             t.replaceAll({{"a", "k"}});
         }},
        {"clear", [&](WatchTable& t) {
             t.setWatch(400, {longUrl, "x"});
             t.clear();
             t.setWatch(1, {"b", "k"});
         }},
    };
    for (const auto& [name, run] : steps) {
        SCOPED_TRACE(name);
        WatchTable table;
        run(table);
        for (int i = 0; i < WatchTable::kSlots; ++i) {
            ASSERT_TRUE(zeroFilledBeyondStrings(table, i)) << "slot " << i;
        }
    }
    WatchTable table;
    table.setWatch(999, {longUrl, "x"});
    table.replaceAll({{"a", "k"}});
    EXPECT_EQ(table.url(999), "");
    EXPECT_EQ(table.url(0), "a");
}

// A reader on one thread must never see a field half written by another.
TEST(WatchTable, concurrentReadersNeverSeeATornField)
{
    WatchTable table;
    const std::string longA = ids(300, 12);
    const std::string shortB = "7";
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 3000; ++i) {
            table.setLastIds(5, i % 2 ? longA : shortB);
            table.setNewIds(5, i % 2 ? shortB : "8,9");
        }
        done = true;
    });
    const std::string keptA = fitIdList(longA, WatchTable::kLastIdsMax);
    int reads = 0;
    while (!done || reads < 10) {
        const SlotCopy s = table.slot(5);
        ASSERT_TRUE(s.lastIds.empty() || s.lastIds == keptA || s.lastIds == shortB);
        const std::string n = s.newIds;
        ASSERT_TRUE(n.empty() || n == shortB || n == "8,9");
        ++reads;
    }
    writer.join();
}

TEST(RunFlag, stopUntilCleared)
{
    RunFlag flag;
    EXPECT_FALSE(flag.isStop());
    flag.requestStop();
    EXPECT_TRUE(flag.isStop());
    flag.requestStop();
    EXPECT_TRUE(flag.isStop());
    flag.clear();
    EXPECT_FALSE(flag.isStop());
}

TEST(RunFlag, writerAndReaderOnTwoThreads)
{
    RunFlag flag;
    std::thread writer([&] {
        for (int i = 0; i < 5000; ++i) {
            i % 2 ? flag.requestStop() : flag.clear();
        }
        flag.requestStop();
    });
    while (!flag.isStop()) {
    }
    writer.join();
    EXPECT_TRUE(flag.isStop());
}

} // namespace
} // namespace tw
