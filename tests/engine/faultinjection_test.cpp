// Faults of the machine under a running worker: the disk full while a scratch
// file is written, the item database gone, read-only or locked. Each check
// that meets one fails with its reason, and the next pass after the fault is
// removed reports every item once, with its own title.
#include "core/apppaths.h"
#include "core/runflag.h"
#include "core/runsettings.h"
#include "core/watchroster.h"
#include "core/watchtable.h"
#include "core/zuvira.h"
#include "engine/pollclock.h"
#include "engine/pollmessages.h"
#include "engine/pollthread.h"
#include "store/itemdb.h"
#include "tests/support/childprocess.h"
#include "tests/support/fakehost.h"
#include "tests/support/storetestutil.h"
#include "tests/support/tempdir.h"
#include "tools/testmarket/testmarket.h"

#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace tw {
namespace {

using namespace std::chrono_literals;
using test::MarketItem;
using test::TestMarket;

// One check of slot 0 as the window saw it.
struct Check
{
    bool failed = false;
    std::string reason;
    std::string reported; // the items its end message carried
};

// The window's side and the worker's clock; sleeps pass at once.
class FaultTest : public ::testing::Test, public PollSink, public PollClock
{
protected:
    // The marketplace is started by the test: the disk-full cases fork
    // while the process has no thread but its main one, and start it in the
    // child.
    FaultTest()
    {
        db.setConnStr(test::makeItemDatabase(dbPath()));
        settings.interval = 1;
        settings.keepWatching = 1;
        session.connectTimeoutMs = 2000;
        session.stallTimeoutMs = 5000;
        session.connectBackoffMs = 10;
    }

    void postMessage(PollMessage message) override
    {
        const auto* end = std::get_if<CheckEnded>(&message);
        if (!end) {
            return;
        }
        Check check;
        check.failed = end->outcome == CheckOutcome::Failed;
        check.reason = end->reason;
        for (const FoundItem& item : end->items) {
            check.reported += (check.reported.empty() ? "" : ",") + item.id;
        }
        checks.push_back(check);
        if (afterCheck) {
            afterCheck(static_cast<int>(checks.size()));
        }
        if (static_cast<int>(checks.size()) == checksToRun) {
            runFlag.requestStop();
        }
    }
    void sleepFor(std::chrono::milliseconds) override {}
    void interrupt() override {}

    // Runs the worker for n checks of slot 0; afterCheck(k) runs on the
    // worker thread after the k-th.
    void runChecks(int n)
    {
        checksToRun = n;
        CPollThread thread({*this, roster, runFlag, settings, paths, db, core, session, {}, this});
        worker = &thread;
        ASSERT_TRUE(thread.CreateThread());
        thread.join();
        worker = nullptr;
    }

    std::string dbPath() const { return dir.file("sys.mdb"); }

    void startMarket(std::vector<MarketItem> items)
    {
        ASSERT_TRUE(market.start());
        market.setItems("alpha", std::move(items));
        roster.replaceAll({{market.searchUrl("alpha"), "alpha"}}, {1});
    }

    std::string listed() const
    {
        std::string ids;
        for (const MarketItem& item : market.items("alpha")) {
            ids += (ids.empty() ? "" : ",") + item.id;
        }
        return ids;
    }

    // Every check's reports joined: each item must come once, in page order.
    std::string reported() const
    {
        std::string ids;
        for (const Check& c : checks) {
            if (!c.reported.empty()) {
                ids += (ids.empty() ? "" : ",") + c.reported;
            }
        }
        return ids;
    }

    // True when every stored item has the title its page gave it.
    bool storedTitlesMatch(const std::vector<MarketItem>& items)
    {
        const std::vector<ItemRow> rows = db.getLatestItems("alpha", 100000);
        if (rows.size() != items.size()) {
            return false;
        }
        for (const ItemRow& row : rows) {
            bool found = false;
            for (const MarketItem& item : items) {
                std::string title = item.title;
                std::erase(title, '\'');
                found = found || (item.id == row.bbid && title == row.bbtitle);
            }
            if (!found) {
                return false;
            }
        }
        return true;
    }

    std::string integrity() { return db.queryValue("PRAGMA integrity_check"); }

    test::TempDir dir;
    TestMarket market;
    CCore core{std::make_shared<test::FakeHost>(), dir.path()};
    AppPaths paths = AppPaths::under(dir.path());
    RunSettings settings;
    WatchTable table;
    WatchRoster roster{table};
    RunFlag runFlag;
    CItemDb db;
    SessionSettings session;

    CPollThread* worker = nullptr;
    std::vector<Check> checks;
    std::function<void(int)> afterCheck;
    int checksToRun = 0;
};

// What a scratch file case must show, one line a property, so that a
// failure in the child names which one broke.
std::string expectedRecovery()
{
    return "first check: failed\n"
           "reason tells what could not be written: yes\n"
           "reported by the first check: \n"
           "second check: done\n"
           "every item reported once, in order: yes\n"
           "stored with their own titles: yes\n"
           "lastIds: every id\n"
           "database: ok\n";
}

struct ScratchCase
{
    const char* name;
    // Items of the watch, and how far files may grow while the first check runs.
    std::function<std::vector<MarketItem>()> items;
    std::function<std::size_t(const std::vector<MarketItem>&)> limit;
};

TEST_F(FaultTest, diskFullWhileAScratchFileIsWrittenFailsTheCheckAndTheNextPassRecovers)
{
    const ScratchCase cases[] = {
        // Every page is far larger than the limit: the page file is cut.
        {"page file", [] { return TestMarket::makeItems(3, 100); },
         [](const std::vector<MarketItem>&) { return std::size_t{4096}; }},
        // Four pages of long titles: every page fits, the titles of all
        // 160 items do not. The store drops every "'", so there the titles
        // are short and the items fit: only the titles file is cut. (Short
        // ids, so that one report holds them all.)
        {"titles file",
         [] {
             return TestMarket::makeItems(4 * TestMarket::kPageSize, 100,
                                          std::string(3000, '\'') + "长");
         },
         [](const std::vector<MarketItem>& items) {
             std::size_t page = 0;
             for (std::size_t at = 0; at < items.size(); at += TestMarket::kPageSize) {
                 const std::span<const MarketItem> onPage(items.data() + at,
                                                          TestMarket::kPageSize);
                 page = std::max(page, test::renderResultPage(onPage, int(at),
                                                              int(items.size()))
                                           .size());
             }
             std::size_t titles = 0;
             for (const MarketItem& item : items) {
                 titles += item.title.size() + 1;
             }
             EXPECT_LT(page, titles);
             return (page + titles) / 2;
         }},
    };
    for (const ScratchCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<MarketItem> items = c.items();
        std::string all;
        for (const MarketItem& item : items) {
            all += (all.empty() ? "" : ",") + item.id;
        }
        const std::size_t limit = c.limit(items);
        // The child's items stay in the file: each case starts empty.
        db.deleteAllItems();

        const test::ChildResult child = test::runInChild([&] {
            startMarket(items);
            test::limitFileSize(limit);
            afterCheck = [](int n) {
                if (n == 1) {
                    test::liftFileSizeLimit();
                }
            };
            runChecks(2);
            std::string out;
            const auto line = [&](const std::string& key, const std::string& value) {
                out += key + ": " + value + "\n";
            };
            if (checks.size() != 2) {
                return "checks: " + std::to_string(checks.size()) + "\n";
            }
            line("first check", checks[0].failed ? "failed" : "done");
            line("reason tells what could not be written",
                 checks[0].reason.find("write") != std::string::npos ? "yes"
                                                                      : checks[0].reason);
            line("reported by the first check", checks[0].reported);
            line("second check", checks[1].failed ? "failed: " + checks[1].reason : "done");
            line("every item reported once, in order", reported() == all ? "yes" : reported());
            line("stored with their own titles", storedTitlesMatch(items) ? "yes" : "no");
            line("lastIds", table.slot(0).lastIds == fitIdList(all, WatchTable::kLastIdsMax)
                                ? "every id"
                                : table.slot(0).lastIds);
            line("database", integrity());
            return out;
        });
        EXPECT_TRUE(child.finished);
        EXPECT_EQ(child.output, expectedRecovery());
    }
}

// The database is spoiled after a first check that stored the first items;
// two more are listed, the second check meets the fault, the third runs
// after it was removed.
struct DbFault
{
    const char* name;
    std::function<void(FaultTest&)> apply;
    std::function<void(FaultTest&)> remove;
    const char* reasonPart;
};

class DbFaultTest : public FaultTest
{
public:
    using FaultTest::db;
    using FaultTest::dbPath;
    std::unique_ptr<test::RawDb> lock;
    std::string connStr;
};

TEST_F(DbFaultTest, itemDatabaseGoneReadOnlyOrLockedMidRunFailsTheCheckAndLosesNothing)
{
    const std::string aside = dir.file("sys.mdb.aside");
    const DbFault faults[] = {
        // Moved away and back: the worker must not make an empty one meanwhile.
        {"deleted",
         [&](FaultTest&) { std::filesystem::rename(dbPath(), aside); },
         [&](FaultTest&) {
             EXPECT_FALSE(std::filesystem::exists(dbPath()));
             std::filesystem::rename(aside, dbPath());
         },
         "unable to open"},
        // Tests run as root, whom a file mode does not stop: the connections
        // open the file read-only instead, as they would a read-only file.
        {"read-only",
         [&](FaultTest&) {
             connStr = db.connStr();
             db.setConnStr("file:" + dbPath() + "?mode=ro");
         },
         [&](FaultTest&) { db.setConnStr(connStr); }, "readonly"},
        {"locked past the busy time-out",
         [&](FaultTest&) {
             db.setBusyTimeout(50ms);
             lock = std::make_unique<test::RawDb>(dbPath());
             lock->exec("BEGIN EXCLUSIVE");
         },
         [&](FaultTest&) {
             lock.reset();
             db.setBusyTimeout(CItemDb::kDefaultBusyTimeout);
         },
         "locked"},
    };
    startMarket(TestMarket::makeItems(3, 100));
    for (const DbFault& fault : faults) {
        SCOPED_TRACE(fault.name);
        market.setItems("alpha", TestMarket::makeItems(3, 100));
        db.deleteAllItems();
        // A fresh list: a replaced one would keep the url's lastIds.
        table.clear();
        roster.replaceAll({{market.searchUrl("alpha"), "alpha"}}, {1});
        checks.clear();
        runFlag.clear();
        const std::string first = listed();
        afterCheck = [&](int n) {
            if (n == 1) {
                market.addItem("alpha", {"900", "新的一"});
                market.addItem("alpha", {"901", "新的二"});
                fault.apply(*this);
            } else if (n == 2) {
                fault.remove(*this);
            }
        };
        runChecks(3);

        ASSERT_EQ(checks.size(), 3u);
        EXPECT_FALSE(checks[0].failed);
        EXPECT_EQ(checks[0].reported, first);
        EXPECT_TRUE(checks[1].failed);
        EXPECT_NE(checks[1].reason.find(fault.reasonPart), std::string::npos)
            << checks[1].reason;
        EXPECT_EQ(checks[1].reported, "");
        EXPECT_FALSE(checks[2].failed) << checks[2].reason;
        EXPECT_EQ(checks[2].reported, "901,900");
        EXPECT_EQ(table.slot(0).lastIds, listed());
        EXPECT_TRUE(storedTitlesMatch(market.items("alpha")));
        EXPECT_EQ(integrity(), "ok");
    }
}

} // namespace
} // namespace tw
