#pragma once

#include "app/program.h"
#include "ui/alertoutbox.h"
#include "core/watchlistroom.h"
#include "core/watchtable.h"
#include "core/zuvira.h"
#include "store/itemdb.h"
#include "store/schema.h"
#include "tests/support/fakehost.h"
#include "tests/support/tempdir.h"
#include "core/text.h"
#include "ui/runcontroller.h"
#include "ui/watchdlg.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <string>

#include <QApplication>
#include <QCoreApplication>
#include <QDialog>
#include <QAbstractItemModel>
#include <QAction>
#include <QMenu>
#include <QTableWidget>
#include <QTableView>
#include <QTest>
#include <QTimer>

namespace tw::test {

// The outcomes a test posts for a row, as the worker would.
enum Progress { PROGRESS_BEGIN, PROGRESS_DONE, PROGRESS_FAILED, PROGRESS_BASELINE, PROGRESS_STOPPED };

// The items of a comma-joined id list, titled "title <id>".
inline std::vector<FoundItem> itemsOf(const std::string& ids)
{
    std::vector<FoundItem> items;
    for (const std::string_view id : text::splitFields(ids, ',')) {
        if (!id.empty()) {
            items.push_back({std::string(id), "title " + std::string(id)});
        }
    }
    return items;
}

// Processes events until pred holds; the limit only ends a test that failed.
inline bool waitUntil(const std::function<bool()>& pred, int limitMs = 10000)
{
    return QTest::qWaitFor(pred, limitMs);
}

// As a person makes it: press and release select the row first. rowsBelow
// moves the point down into the empty space past the last row.
inline void doubleClickRow(QTableView* view, int row, int column = 0, int rowsBelow = 0)
{
    const QPoint at = view->visualRect(view->model()->index(row, column)).center() +
                      QPoint(0, rowsBelow * view->rowHeight(row));
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, at);
}

// Once the next modal dialog opens, writes its caption to caption and closes
// it; call before the action that opens it. caption must outlive the dialog.
inline void closeNextDialog(QString& caption)
{
    QTimer::singleShot(0, [&caption] {
        waitUntil([] { return QApplication::activeModalWidget() != nullptr; });
        if (auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            caption = modal->windowTitle();
            modal->reject();
        }
    });
}

// Each test gets a program folder of its own and a host that never blocks.
class WindowTest : public ::testing::Test
{
protected:
    std::string list() const { return readFile(dir.file("_items.txt")); }

    // A window after a complete set-up; the previous one saves before.
    void openWindow(const std::string& items = {},
                    const std::string& ini = "[General]\ninterval=30\n",
                    std::shared_ptr<HostServices> services = nullptr)
    {
        app.reset();
        if (!CCore::isFileExist(dir.file("sys.mdb"))) {
            createItemDatabase(dir.file("sys.mdb"));
        }
        writeFile(dir.file("tidewatch.ini"), ini);
        // QSettings keeps parsed files process-wide and trusts them while size
        // and modification time (in ms) match; the window closed just before
        // may have written a file of the same size within the same ms.
        std::filesystem::last_write_time(dir.file("tidewatch.ini"),
                                         std::filesystem::file_time_type::clock::now() +
                                             std::chrono::seconds(++iniWrites));
        if (!items.empty()) {
            writeFile(dir.file("_items.txt"), items);
        }
        app = std::make_unique<Program>(services ? services : host, dir.path());
        dlg = &app->window();
        EXPECT_TRUE(app->setUp());
    }

    void importFile(const std::string& body)
    {
        writeFile(dir.file("import.txt"), body);
        host->setNextFileName(dir.file("import.txt"));
        dlg->OnImport();
    }

    // The watch in row as the worker names it.
    WatchRef watchAt(int row) const
    {
        const WatchEntry* w = app->list().at(row);
        return w ? WatchRef{w->id, row, w->url} : WatchRef{0, row, {}};
    }

    // A check of the watch in row that reported items, as the run hands it over.
    void postFound(int row, std::vector<FoundItem> items)
    {
        CheckEnded m;
        m.watch = watchAt(row);
        m.items = std::move(items);
        m.endsRun = !app->settings().keepWatching;
        app->runner().postMessage(std::move(m));
        QCoreApplication::sendPostedEvents(&app->runner());
    }

    // A worker's message about the watch in row, as the run hands it over.
    void post(Progress progress, int row, const std::string& newIds = {})
    {
        if (progress == PROGRESS_BEGIN) {
            app->runner().postMessage(CheckBegan{watchAt(row)});
        } else {
            CheckEnded m;
            m.watch = watchAt(row);
            m.outcome = progress == PROGRESS_FAILED     ? CheckOutcome::Failed
                        : progress == PROGRESS_BASELINE ? CheckOutcome::Baseline
                        : progress == PROGRESS_STOPPED  ? CheckOutcome::Stopped
                                                        : CheckOutcome::Done;
            m.items = itemsOf(newIds);
            // As the worker decides it.
            m.endsRun = !m.items.empty() && !app->settings().keepWatching;
            app->runner().postMessage(std::move(m));
        }
        QCoreApplication::sendPostedEvents(&app->runner());
    }
    // Runs the row menu's action named text for row as a click on it would.
    void trigger(int row, const QString& text)
    {
        std::unique_ptr<QMenu> menu(dlg->rowMenu(row));
        ASSERT_NE(menu, nullptr);
        for (QAction* action : menu->actions()) {
            if (action->text() == text) {
                action->trigger();
                return;
            }
        }
        ADD_FAILURE() << "no action " << text.toStdString();
    }
    template <class T = QWidget> T* child(const char* name) const
    {
        return dlg->findChild<T*>(name);
    }
    QTableView* watchList() const { return child<QTableView>("IDC_WATCH_LIST"); }
    QString cell(int row, int column, int role = Qt::DisplayRole) const
    {
        return watchList()->model()->index(row, column).data(role).toString();
    }
    int rowCount() const { return watchList()->model()->rowCount(); }
    CItemDb& db() { return *app->itemDb(); }
    // The pages of the alerts so far were handed to the browser; they go a few at a time.
    bool pagesHandedOver() { return waitUntil([this] { return app->outbox().pagesWaiting() == 0; }); }

    TempDir dir;
    std::shared_ptr<FakeHost> host = std::make_shared<FakeHost>();
    std::unique_ptr<Program> app;
    CWatchDlg* dlg = nullptr;
    int iniWrites = 0;
};

} // namespace tw::test
