// The watch list saved on a full disk: the save fails with its reason and
// leaves the old list whole; once there is room again it succeeds.
#include "core/watchlist.h"
#include "tests/support/childprocess.h"
#include "tests/support/tempdir.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace tw {
namespace {

TEST(WatchListDiskFull, saveFailsWithItsReasonKeepsTheOldListAndSucceedsWithRoomAgain)
{
    test::TempDir dir;
    const std::string path = dir.file("_items.txt");
    const std::string old = "http://127.0.0.1:8080/search?q=old\r\n";
    test::writeFile(path, old);
    std::vector<std::string> urls;
    std::string saved;
    for (int i = 0; i < 20; ++i) {
        urls.push_back("http://127.0.0.1:8080/search?cat=1&q=key" + std::to_string(i));
        saved += urls.back() + "\r\n";
    }

    // Room for the old list, not for the new one.
    const test::ChildResult child = test::runInChild([&] {
        std::string out;
        test::limitFileSize(old.size());
        const Result<void> full = watchlist::save(path, urls);
        out += std::string("full disk: ") + (full.ok() ? "saved" : "failed") + "\n";
        out += "reason: " + full.error().substr(full.error().rfind(": ") + 2) + "\n";
        out += "old list: " + std::string(test::readFile(path) == old ? "whole" : "changed") + "\n";
        out += "temporary file left: " +
               std::string(std::filesystem::exists(watchlist::tempPathFor(path)) ? "yes" : "no") +
               "\n";
        test::liftFileSizeLimit();
        const Result<void> room = watchlist::save(path, urls);
        out += std::string("with room: ") + (room.ok() ? "saved" : "failed: " + room.error()) + "\n";
        out += "new list: " + std::string(test::readFile(path) == saved ? "whole" : "wrong") + "\n";
        return out;
    });
    EXPECT_TRUE(child.finished);
    EXPECT_EQ(child.output, "full disk: failed\n"
                            "reason: File too large\n"
                            "old list: whole\n"
                            "temporary file left: no\n"
                            "with room: saved\n"
                            "new list: whole\n");
}

} // namespace
} // namespace tw
