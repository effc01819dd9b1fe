#include "storetestutil.h"

#include <atomic>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace tw::test {
namespace {

using ItemDbThreadTest = StoreFixture;

// The worker stores items while the window lists and clears: neither may see
// "database is locked", and every listing is a consistent newest-first run.
TEST_F(ItemDbThreadTest, ListerAndClearerBesideAnInserterSeeNoError)
{
    constexpr int kItems = 300;
    std::atomic<bool> inserting{true};
    std::vector<std::string> workerErrors;
    std::vector<std::string> windowErrors;

    std::thread worker([&] {
        try {
            for (int i = 0; i < kItems; ++i) {
                const std::string id = std::to_string(i);
                if (!db.isItemExist("k", id)) {
                    db.insertItem("k", id, "title " + id, CItemDb::kBbsl);
                }
            }
        } catch (const DbError& e) {
            workerErrors.push_back(e.what());
        }
        inserting = false;
    });

    int listings = 0;
    try {
        while (inserting || listings == 0) {
            const std::vector<ItemRow> rows = db.getLatestItems("k", 20);
            for (size_t i = 1; i < rows.size(); ++i) {
                if (std::stoi(rows[i - 1].bbid) != std::stoi(rows[i].bbid) + 1) {
                    windowErrors.push_back("listing out of order at " + rows[i].bbid);
                }
            }
            if (++listings % 40 == 0) {
                db.deleteAllItems();
            }
        }
    } catch (const DbError& e) {
        windowErrors.push_back(e.what());
    }
    worker.join();

    EXPECT_TRUE(workerErrors.empty()) << workerErrors.front();
    EXPECT_TRUE(windowErrors.empty()) << windowErrors.front();
    // Unless the window cleared after the last insert, the newest row is the last id.
    const std::vector<ItemRow> rows = db.getLatestItems("k", 1);
    if (!rows.empty()) {
        EXPECT_EQ(rows.front().bbid, std::to_string(kItems - 1));
    }
}

} // namespace
} // namespace tw::test
