#include "tests/ui/windowfixture.h"
#include "ui/findchart.h"
#include "ui/historydlg.h"

#include <numeric>

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

namespace tw::test {
namespace {

using std::chrono::seconds;
using std::chrono::sys_seconds;

const QDate kToday(2026, 3, 10);

sys_seconds localTime(const QDate& day, const QTime& time)
{
    return sys_seconds(seconds(QDateTime(day, time).toSecsSinceEpoch()));
}

std::string shownAs(sys_seconds at)
{
    return QDateTime::fromSecsSinceEpoch(at.time_since_epoch().count())
        .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
        .toStdString();
}

class History : public ::testing::Test
{
protected:
    History()
    {
        createItemDatabase(dir.file("sys.mdb"));
        db.setConnStr(CCore::getDbConnStrMdb(dir.file("sys.mdb")));
        settings.mallHost = "127.0.0.1:9";
    }

    // The ids of the rows shown, top down, joined by ",".
    std::string shownIds() const
    {
        std::string ids;
        for (int row = 0; row < list->model()->rowCount(); ++row) {
            ids += (ids.empty() ? "" : ",") + cell(row, 2);
        }
        return ids;
    }
    std::string cell(int row, int column) const
    {
        return list->model()->index(row, column).data().toString().toStdString();
    }
    int chartTotal() const
    {
        const std::vector<int>& counts = chart->counts();
        return std::accumulate(counts.begin(), counts.end(), 0);
    }

    TempDir dir;
    std::shared_ptr<FakeHost> host = std::make_shared<FakeHost>();
    CCore core{host, dir.path()};
    CItemDb db;
    RunSettings settings;
    QTableView* list = nullptr;
    FindChart* chart = nullptr;
};

TEST_F(History, listsFiltersOpensAndExportsTheFindsOfEveryWatch)
{
    const std::string red = "http://127.0.0.1:9/s?q=red+lamp";
    const std::string desk = "http://127.0.0.1:9/s?q=%E7%81%AF";
    const sys_seconds t = localTime(kToday.addDays(-2), QTime(12, 0));
    db.storeSeenItems("red+lamp", {{"11", "Red Lamp A"}, {"12", "lamp B"}}, {red, t},
                      FindKind::Baseline);
    db.storeSeenItems("%E7%81%AF", {{"21", "台灯 \"Desk\", big"}}, {desk, t + seconds(60)},
                      FindKind::New);
    db.storeSeenItems("red+lamp", {{"13", "=SUM(A1)"}}, {red, t + seconds(120)}, FindKind::New);
    // Stored under the second key too, once the first had reported it.
    db.storeSeenItems("%E7%81%AF", {{"11", "Red Lamp A"}}, {desk, t + seconds(180)},
                      FindKind::Dedupe);
    db.storeSeenItems("%E7%81%AF", {{"22", "x"}}, {desk, t + seconds(240)}, FindKind::Marked);
    // An item stored before finds were recorded.
    db.insertItem("red+lamp", "10", "old", 0);
    db.execute("insert into t_find (sid, bbid, url, found, kind) values ('red+lamp', '10', '', "
               "NULL, 'new')");

    // A second watch of the same key shares its finds: one entry.
    CHistoryDlg dlg(core, db, settings,
                    {{red, "red+lamp"}, {desk, "%E7%81%AF"}, {red + "&sort=new", "red+lamp"}});
    dlg.setToday(kToday);
    dlg.OnInitDialog();
    list = dlg.findChild<QTableView*>("IDC_FIND_LIST");
    chart = dlg.findChild<FindChart*>("IDC_FIND_CHART");
    auto* watch = dlg.findChild<QComboBox*>("IDC_WATCH_FILTER");
    auto* text = dlg.findChild<QLineEdit*>("IDC_TEXT_FILTER");
    ASSERT_TRUE(list && chart && watch && text);

    EXPECT_EQ(shownIds(), "22,11,13,21,11,12,10") << "newest first, unknown time last";
    EXPECT_EQ(cell(1, 0), shownAs(t + seconds(180)));
    EXPECT_EQ(cell(1, 1), "灯");
    EXPECT_EQ(cell(1, 3), "Red Lamp A");
    EXPECT_EQ(cell(1, 4), "dedupe");
    EXPECT_EQ(cell(5, 1), "red lamp");
    EXPECT_EQ(cell(5, 4), "baseline");
    EXPECT_EQ(cell(6, 0), "");
    EXPECT_EQ(cell(6, 3), "old");
    EXPECT_EQ(chartTotal(), 3) << "the watches' own finds: new and dedupe";

    ASSERT_EQ(watch->count(), 3);
    EXPECT_EQ(watch->itemText(0), "全部监控");
    EXPECT_EQ(watch->itemText(2), "灯");
    watch->setCurrentIndex(2);
    EXPECT_EQ(shownIds(), "22,11,21");
    EXPECT_EQ(chartTotal(), 2);
    text->setText(QStringLiteral("LAMP"));
    EXPECT_EQ(shownIds(), "11") << "a title, any case";
    watch->setCurrentIndex(0);
    EXPECT_EQ(shownIds(), "11,13,11,12,10") << "red lamp's words match all its rows";
    EXPECT_EQ(chartTotal(), 3);
    text->setText(QStringLiteral("21"));
    EXPECT_EQ(shownIds(), "21") << "an id";

    // The row under the filter opens, not the row at its place in the record.
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    doubleClickRow(list, 0, 3);
    EXPECT_EQ(host->urls(), std::vector<std::string>{"http://127.0.0.1:9/item.htm?id=21"});

    // What the list shows, in its order, quoted as spreadsheets read it.
    text->setText(QStringLiteral("灯"));
    host->setNextFileName(dir.file("out.csv"));
    dlg.findChild<QPushButton*>("IDC_EXPORT")->click();
    EXPECT_EQ(host->savePrompts(), std::vector<std::string>{dir.file("finds-20260310.csv")});
    EXPECT_EQ(readFile(dir.file("out.csv")),
              "\xEF\xBB\xBFtime,watch,url,key,id,title,kind\r\n" + shownAs(t + seconds(240)) +
                  ",灯," + desk + ",%E7%81%AF,22,x,marked\r\n" + shownAs(t + seconds(180)) +
                  ",灯," + desk + ",%E7%81%AF,11,Red Lamp A,dedupe\r\n" + shownAs(t + seconds(60)) +
                  ",灯," + desk + ",%E7%81%AF,21,\"台灯 \"\"Desk\"\", big\",new\r\n");

    host->setNextFileName(dir.file("missing/out.csv"));
    dlg.OnExport();
    ASSERT_EQ(host->warnings().size(), 1u);
    EXPECT_EQ(host->warnings()[0].rfind("无法导出 CSV：" + dir.file("missing/out.csv"), 0), 0u);
}

// A watch's name stands for its search words wherever its finds are shown,
// found by the search its URL makes however escaped; another watch of the
// key keeps its words and the filter by key still takes both.
TEST_F(History, aNamedWatchShowsItsNameInTheListTheFilterAndTheCsv)
{
    const std::string desk = "http://127.0.0.1:9/s?q=%E7%81%AF";
    const std::string sorted = desk + "&sort=new";
    const sys_seconds t = localTime(kToday.addDays(-1), QTime(12, 0));
    db.storeSeenItems("%E7%81%AF", {{"21", "a"}}, {"http://127.0.0.1:9/s?q=灯", t}, FindKind::New);
    db.storeSeenItems("%E7%81%AF", {{"22", "b"}}, {sorted, t + seconds(60)}, FindKind::New);
    CHistoryDlg dlg(core, db, settings, {{desk, "%E7%81%AF", "书桌灯"}, {sorted, "%E7%81%AF", ""}});
    dlg.setToday(kToday);
    dlg.OnInitDialog();
    list = dlg.findChild<QTableView*>("IDC_FIND_LIST");
    auto* watch = dlg.findChild<QComboBox*>("IDC_WATCH_FILTER");
    auto* text = dlg.findChild<QLineEdit*>("IDC_TEXT_FILTER");
    ASSERT_TRUE(list && watch && text);

    EXPECT_EQ(cell(0, 1), "灯");
    EXPECT_EQ(cell(1, 1), "书桌灯");
    ASSERT_EQ(watch->count(), 2);
    EXPECT_EQ(watch->itemText(1), "书桌灯");
    text->setText(QStringLiteral("书桌"));
    EXPECT_EQ(shownIds(), "21");
    watch->setCurrentIndex(1);
    text->clear();
    EXPECT_EQ(shownIds(), "22,21");

    host->setNextFileName(dir.file("out.csv"));
    dlg.OnExport();
    const std::string csv = readFile(dir.file("out.csv"));
    EXPECT_NE(csv.find(",书桌灯,http://127.0.0.1:9/s?q=灯,%E7%81%AF,21,"), std::string::npos)
        << csv;
    EXPECT_NE(csv.find(",灯," + sorted + ",%E7%81%AF,22,"), std::string::npos) << csv;
}

TEST(FindsPerDay, countsTheWatchesOwnFindsOfTheLast30LocalDays)
{
    const auto at = [](int daysBack, const QTime& time, const char* kind,
                       const std::string& sid = "lamp") {
        return FindRecord{localTime(kToday.addDays(-daysBack), time), "u", sid, "1", "", kind};
    };
    const QTime first(0, 0);
    const QTime last(23, 59, 59);
    std::vector<FindRecord> finds = {
        at(0, first, "new"),
        at(0, last, "dedupe"),
        at(-1, first, "new"),
        at(0, QTime(12, 0), "baseline"),
        at(0, QTime(12, 0), "marked"),
        at(29, first, "new"),
        at(30, last, "new"),
        at(31, QTime(12, 0), "new"),
        at(5, QTime(12, 0), "new", "desk"),
    };
    finds.push_back(FindRecord{std::nullopt, "u", "lamp", "2", "", "new"});

    std::vector<int> expected(30, 0);
    expected[29] = 2;
    expected[0] = 1;
    expected[24] = 1;
    EXPECT_EQ(findsPerDay(finds, kToday, 30), expected);
    expected[24] = 0;
    EXPECT_EQ(findsPerDay(finds, kToday, 30, std::string("lamp")), expected);
}

} // namespace
} // namespace tw::test
