#include "tests/support/storetestutil.h"

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
TEST_F(ItemDbThreadTest, listerAndClearerBesideAnInserterSeeNoError)
{
    std::atomic<bool> inserting{true};
    std::string workerError;
    std::thread worker([&] {
        try {
            for (int i = 0; i < 300; ++i) {
                if (!db.isItemExist("k", std::to_string(i))) {
                    db.insertItem("k", std::to_string(i), "title", CItemDb::kBbsl);
                }
            }
        } catch (const DbError& e) {
            workerError = e.what();
        }
        inserting = false;
    });

    try {
        for (int listings = 1; inserting || listings == 1; ++listings) {
            const std::vector<ItemRow> rows = db.getLatestItems("k", 20);
            for (size_t i = 1; i < rows.size(); ++i) {
                EXPECT_EQ(std::stoi(rows[i - 1].bbid), std::stoi(rows[i].bbid) + 1);
            }
            if (listings % 40 == 0) {
                db.deleteAllItems();
            }
        }
    } catch (const DbError& e) {
        ADD_FAILURE() << e.what();
    }
    worker.join();
    EXPECT_EQ(workerError, "");
}

} // namespace
} // namespace tw::test
