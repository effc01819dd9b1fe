#include "ui/watchlistfile.h"
#include "windowfixture.h"

#include <filesystem>

namespace tw::test {
namespace {

using WatchList = WindowTest;

std::string urlOfLength(std::size_t n)
{
    std::string url = "http://127.0.0.1/s?c=1&q=k&p=";
    url.resize(n, 'x');
    return url;
}

TEST_F(WatchList, loadSkipsEmptyLinesAndAcceptsBothLineEnds)
{
    openWindow("http://127.0.0.1/a?c=1&q=A&x=1\n\nhttp://127.0.0.1/b?c=1&q=B\r\n\r\n  \n");
    EXPECT_EQ(dlg->table()->watchCount(), 2);
    EXPECT_EQ(watchList()->rowCount(), 2);
    EXPECT_EQ(dlg->table()->url(0), "http://127.0.0.1/a?c=1&q=A&x=1");
    EXPECT_EQ(dlg->table()->url(1), "http://127.0.0.1/b?c=1&q=B");
    EXPECT_EQ(dlg->table()->sid(0), "A");
    EXPECT_EQ(dlg->table()->sid(1), "B");
}

TEST_F(WatchList, saveWritesCrLfAfterEveryLineAndNothingWhenEmpty)
{
    openWindow("http://127.0.0.1/a?c=1&q=A\nhttp://127.0.0.1/b?c=1&q=B");
    ASSERT_TRUE(dlg->saveWatchList());
    EXPECT_EQ(list(), "http://127.0.0.1/a?c=1&q=A\r\nhttp://127.0.0.1/b?c=1&q=B\r\n");

    dlg->table()->clear();
    writeList("kept as it was\n");
    ASSERT_TRUE(dlg->saveWatchList());
    EXPECT_EQ(list(), "kept as it was\n");
}

TEST_F(WatchList, importSkipsPagedLinesCutsCommentsAndForgetsEveryId)
{
    openWindow("http://127.0.0.1/old?c=1&q=A\r\n");
    dlg->table()->setLastIds(0, "1,2");
    dlg->table()->setNewIds(0, "3");
    importFile("http://127.0.0.1/a?c=1&q=A&x=1#note\n"
               "\n"
               "http://127.0.0.1/b?c=1&q=B&s=40\n"
               "# a comment line\n"
               "http://127.0.0.1/c?c=1&q=C\r\n");
    EXPECT_EQ(list(), "http://127.0.0.1/a?c=1&q=A&x=1\r\nhttp://127.0.0.1/c?c=1&q=C\r\n");
    EXPECT_EQ(dlg->table()->watchCount(), 2);
    ASSERT_EQ(watchList()->rowCount(), 2);
    EXPECT_EQ(cell(0, 0), "c=1&q=A&x=1");
    EXPECT_EQ(cell(1, 0), "c=1&q=C");
    EXPECT_EQ(dlg->table()->lastIds(0), "");
    EXPECT_EQ(dlg->table()->newIds(0), "");
    EXPECT_TRUE(host->warnings().empty());
}

TEST_F(WatchList, importCancelledOrWithoutUsableLineKeepsTheList)
{
    openWindow("http://127.0.0.1/a?c=1&q=A\r\n");
    dlg->OnImport(); // no file name queued: cancelled
    EXPECT_EQ(dlg->table()->watchCount(), 1);

    importFile("\nhttp://127.0.0.1/b?c=1&q=B&s=0\n#only\n");
    EXPECT_EQ(list(), "http://127.0.0.1/a?c=1&q=A\r\n");
    EXPECT_EQ(watchList()->rowCount(), 1);
    EXPECT_EQ(dlg->table()->url(0), "http://127.0.0.1/a?c=1&q=A");
}

TEST_F(WatchList, linesPastTheTableOrTheirFieldsAreLeftOutAndCountedOnce)
{
    openWindow();
    std::string body;
    for (int i = 0; i < 1003; ++i) {
        body += "http://127.0.0.1/s?q=k" + std::to_string(i) + "\n";
        if (i == 10) {
            body += urlOfLength(WatchTable::kUrlMax + 1) + "\n";
            body += "http://127.0.0.1/s?c=1&q=" + std::string(WatchTable::kSidMax + 1, 'k') + "\n";
            body += urlOfLength(WatchTable::kUrlMax) + "\n";
        }
    }
    importFile(body);
    EXPECT_EQ(dlg->table()->watchCount(), WatchTable::kSlots);
    EXPECT_EQ(watchList()->rowCount(), WatchTable::kSlots);
    EXPECT_EQ(dlg->table()->url(11), urlOfLength(WatchTable::kUrlMax));
    // 1004 that fit, 1000 taken, plus the two too long.
    ASSERT_EQ(host->warnings().size(), 1u);
    EXPECT_NE(host->warnings()[0].find("有 6 行"), std::string::npos) << host->warnings()[0];

    // The saved list holds only what was taken: reading it back warns no more.
    CWatchDlg again(host, dir.path());
    ASSERT_TRUE(again.OnInitDialog());
    EXPECT_EQ(again.table()->watchCount(), WatchTable::kSlots);
    EXPECT_EQ(host->warnings().size(), 1u);
}

TEST_F(WatchList, aFailedSaveLeavesTheOldFileAndSaysWhy)
{
    openWindow("http://127.0.0.1/a?c=1&q=A\r\n");
    // A directory in the temporary file's place fails the write, whatever
    // the user's rights.
    std::filesystem::create_directory(WatchListFile::tempPathFor(dir.file("_items.txt")));
    importFile("http://127.0.0.1/b?c=1&q=B\n");
    EXPECT_EQ(list(), "http://127.0.0.1/a?c=1&q=A\r\n");
    ASSERT_EQ(host->warnings().size(), 1u);
    EXPECT_NE(host->warnings()[0].find("_items.txt.new"), std::string::npos);

    std::string error;
    EXPECT_FALSE(dlg->saveWatchList(&error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(list(), "http://127.0.0.1/a?c=1&q=A\r\n");
}

} // namespace
} // namespace tw::test
