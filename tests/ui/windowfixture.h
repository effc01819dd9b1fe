#pragma once

#include "core/watchtable.h"
#include "core/zuvira.h"
#include "store/itemdb.h"
#include "store/schema.h"
#include "support/fakehost.h"
#include "support/tempdir.h"
#include "ui/watchdlg.h"

#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <string>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>

namespace tw::test {

// Processes events until pred holds or the deadline passes; no fixed sleep.
inline bool waitUntil(const std::function<bool()>& pred, int deadlineMs = 10000)
{
    QElapsedTimer timer;
    timer.start();
    while (!pred()) {
        if (timer.elapsed() > deadlineMs) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// A double click as a person makes it: the press and release that select the
// row come first, as item views expect.
inline void doubleClick(QWidget* viewport, QPoint at)
{
    QTest::mouseClick(viewport, Qt::LeftButton, {}, at);
    QTest::mouseDClick(viewport, Qt::LeftButton, {}, at);
}

// A program folder of its own for each test: sys.mdb, tidewatch.ini and
// _items.txt as the test writes them, and a host that never blocks.
class WindowTest : public ::testing::Test
{
protected:
    void SetUp() override { host = std::make_shared<FakeHost>(); }

    void makeDatabase()
    {
        if (!CCore::isFileExist(dir.file("sys.mdb"))) {
            createItemDatabase(dir.file("sys.mdb"));
        }
    }
    void writeIni(const std::string& body) { writeFile(dir.file("tidewatch.ini"), body); }
    void writeList(const std::string& body) { writeFile(dir.file("_items.txt"), body); }
    std::string list() const { return readFile(dir.file("_items.txt")); }

    // A window after a complete set-up with the given watch list.
    CWatchDlg& openWindow(const std::string& items = {},
                          const std::string& ini = "[General]\ninterval=30\n")
    {
        makeDatabase();
        writeIni(ini);
        if (!items.empty()) {
            writeList(items);
        }
        dlg = std::make_unique<CWatchDlg>(host, dir.path());
        EXPECT_TRUE(dlg->OnInitDialog());
        return *dlg;
    }

    CItemDb& db() { return *dlg->itemDb(); }

    TempDir dir;
    std::shared_ptr<FakeHost> host;
    std::unique_ptr<CWatchDlg> dlg;
};

} // namespace tw::test
