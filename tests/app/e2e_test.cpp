// The real program in a folder of its own under Xvfb against the local test
// marketplace, checked from outside: pages opened, rows, requests and files.
#include "store/itemdb.h"
#include "tests/support/fakestatusnotifierwatcher.h"
#include "tests/support/tempdir.h"
#include "tests/support/testbus.h"
#include "tools/testmarket/testmarket.h"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <future>
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QVariantMap>

namespace tw::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

bool waitFor(const std::function<bool()>& pred, std::chrono::milliseconds limit)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    for (; !pred(); std::this_thread::sleep_for(50ms)) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
    }
    return true;
}

class EndToEnd : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (::system("command -v xvfb-run >/dev/null 2>&1") != 0) {
            GTEST_SKIP() << "xvfb-run is not installed";
        }
        ASSERT_TRUE(market.start());

        // The first watch finds nothing, the second has news (every tenth
        // title ignored, more than 8 pages of it), the third only ignored items.
        market.setItems("empty", {});
        std::vector<MarketItem> bikes = TestMarket::makeItems(330, 500000000001LL, "山地车");
        for (std::size_t i = 0; i < bikes.size(); i += 10) {
            bikes[i].title = "二手 山地车 " + bikes[i].id;
        }
        market.setItems("bike", bikes);
        market.setItems("worn", TestMarket::makeItems(5, 510000000001LL, "坏的 灯"));

        fs::copy_file(TIDEWATCH_EXE, dir.file("tidewatch"));
        ASSERT_EQ(
            ::system((std::string(TIDEWATCH_SETUP_EXE) + " " + dir.path() + " >/dev/null").c_str()),
            0);
        writeFile(dir.file("tidewatch.ini"), "[General]\ninterval=1\nignore=二手,坏\nitemhost=" +
                                                 host() + "\nmallhost=" + host() + "\n");
        writeFile(dir.file("_items.txt"), market.searchUrl("empty") + "\n" +
                                              market.searchUrl("bike") + "\n" +
                                              market.searchUrl("worn") + "\n");

        fs::create_directory(dir.file("bin"));
        // Each address is opened by a process of its own, and those race to
        // the log; the process id keeps the order in which they were started.
        writeFile(dir.file("bin/xdg-open"),
                  "#!/bin/sh\nprintf '%s %s\\n' \"$$\" \"$1\" >> \"$OPENED_LOG\"\n");
        fs::permissions(dir.file("bin/xdg-open"), fs::perms::owner_all);

        db.setConnStr(dir.file("sys.mdb"));
    }

    std::string host() const { return "127.0.0.1:" + std::to_string(market.port()); }
    std::string page(long long id) const
    {
        return "http://" + host() + "/item.htm?id=" + std::to_string(id);
    }
    // The addresses handed to the browser, in the order they were handed over.
    std::vector<std::string> opened() const
    {
        std::map<long, std::string> byPid;
        std::istringstream in(readFile(dir.file("opened.txt")));
        for (long pid; in >> pid >> std::ws;) {
            std::getline(in, byPid[pid]);
        }
        std::vector<std::string> urls;
        for (const auto& entry : byPid) {
            urls.push_back(entry.second);
        }
        return urls;
    }
    // -1 while the program holds the database longer than the busy time-out.
    int rows(const std::string& sid)
    {
        try {
            return std::stoi(db.queryValue("select count(*) from t_item where sid = ?", {sid}));
        } catch (const DbError&) {
            return -1;
        }
    }
    // The program under Xvfb with these arguments. xvfb-run passes no signal
    // on, so the program's shell leaves its pid first.
    std::future<int> launch(const std::string& args, const std::string& env = {})
    {
        fs::remove(dir.file("pid"));
        const std::string command =
            "cd '" + dir.path() + "' && env -u BROWSER " + env + " PATH=\"" + dir.file("bin") +
            ":$PATH\" QT_QPA_PLATFORM=xcb OPENED_LOG=" + dir.file("opened.txt") +
            " xvfb-run -a sh -c 'echo $$ >pid; exec ./tidewatch " + args + "'";
        return std::async(std::launch::async, [command] { return ::system(command.c_str()); });
    }
    void stop(std::future<int>& run)
    {
        waitFor([&] { return fs::exists(dir.file("pid")); }, 30s);
        const pid_t pid = std::atoi(readFile(dir.file("pid")).c_str());
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            if (run.wait_for(30s) != std::future_status::ready) {
                ::kill(pid, SIGKILL);
            }
        }
        EXPECT_EQ(run.get(), 0) << "exit status of the program";
    }
    // One run with --start, ended by SIGTERM once done() holds.
    void runUntil(const std::function<bool()>& done)
    {
        std::future<int> run = launch("--start");
        const bool ok = waitFor(done, 90s);
        stop(run);
        ASSERT_TRUE(ok) << opened().size() << " pages opened, " << rows("bike") << " rows";
    }

    TempDir dir;
    TestMarket market;
    CItemDb db;
};

TEST_F(EndToEnd, reportsNewItemsOnceAndLeavesItsFilesInOrder)
{
    // First run: everything listed is new.
    ASSERT_NO_FATAL_FAILURE(runUntil([&] { return opened().size() >= 30 && rows("bike") == 288; }));
    std::vector<std::string> expected;
    for (long long i = 0; expected.size() < 30; ++i) {
        if (i % 10 != 0) {
            expected.push_back(page(500000000001LL + i));
        }
    }
    EXPECT_EQ(opened(), expected);
    EXPECT_EQ(rows("empty"), 0);
    EXPECT_EQ(rows("worn"), 0);
    EXPECT_EQ(db.queryValue("select count(*) from t_item where bbtitle like '%二手%'"), "0");

    std::set<int> bikeOffsets;
    for (const MarketRequest& r : market.requests()) {
        EXPECT_NE(r.query.find("&vk1="), std::string::npos) << r.query;
        EXPECT_NE(r.offset, 320);
        if (r.key == "bike") {
            bikeOffsets.insert(r.offset);
        }
    }
    EXPECT_EQ(bikeOffsets, (std::set<int>{0, 40, 80, 120, 160, 200, 240, 280}));

    EXPECT_EQ(readFile(dir.file("_items.txt")), market.searchUrl("empty") + "\r\n" +
                                                    market.searchUrl("bike") + "\r\n" +
                                                    market.searchUrl("worn") + "\r\n");
    const std::string ini = readFile(dir.file("tidewatch.ini"));
    EXPECT_NE(ini.find("interval=1"), std::string::npos) << ini;
    EXPECT_NE(ini.find("filtkc=0"), std::string::npos) << ini;

    // Second run: only the item listed since is reported.
    fs::remove(dir.file("opened.txt"));
    market.addItem("bike", {"520000000001", "山地车 新到"});
    market.addItem("worn", {"520000000002", "坏的 新灯"});
    ASSERT_NO_FATAL_FAILURE(runUntil([&] { return !opened().empty(); }));
    EXPECT_EQ(opened(), std::vector<std::string>{page(520000000001LL)});
    EXPECT_EQ(rows("bike"), 289);
    EXPECT_EQ(rows("worn"), 0);
}

// The record of finds leaves as CSV while the program runs in the folder,
// without a display and without the hand-over: one row per item stored, with
// its watch (by the name the list gives it) and kind; --since a later day
// leaves them out.
TEST_F(EndToEnd, theRecordOfFindsIsExportedBesideTheRunningProgram)
{
    writeFile(dir.file("_items.txt"), market.searchUrl("worn") + "\n" + market.searchUrl("bike") +
                                          "\n");
    writeFile(dir.file("_items.ini"), "[" + market.searchUrl("bike") + "]\nname=山地车\n");
    writeFile(dir.file("tidewatch.ini"), "[General]\ninterval=1\nkeepwatching=1\nopenlimit=0\n"
                                         "ignore=二手\nitemhost=" + host() + "\n");
    std::future<int> run = launch("--start");
    ASSERT_TRUE(waitFor([&] { return rows("bike") == 288 && rows("worn") == 5; }, 60s));

    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char today[16];
    std::strftime(today, sizeof today, "%Y-%m-%d", &local);
    const std::string exportCommand = "cd '" + dir.path() + "' && env -u DISPLAY ./tidewatch "
                                      "--export-csv out.csv --since ";
    EXPECT_EQ(::system((exportCommand + today + " 2>err.txt").c_str()), 0)
        << readFile(dir.file("err.txt"));
    const std::string csv = readFile(dir.file("out.csv"));
    EXPECT_EQ(csv.rfind("\xEF\xBB\xBFtime,watch,url,key,id,title,kind\r\n", 0), 0u);
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 1 + 288 + 5);
    EXPECT_NE(csv.find(",山地车," + market.searchUrl("bike") + ",bike,500000000002,山地车 "
                       "500000000002,new\r\n"),
              std::string::npos);

    EXPECT_EQ(::system((exportCommand + "2999-01-01 2>err.txt").c_str()), 0);
    const std::string later = readFile(dir.file("out.csv"));
    EXPECT_EQ(std::count(later.begin(), later.end(), '\n'), 1) << later;
    stop(run);
}

// Hundreds of pages on their way to the browser do not keep the window from
// answering: a second launch is answered meanwhile and exits 0.
TEST_F(EndToEnd, aSecondLaunchIsAnsweredWhileHundredsOfPagesAreOpened)
{
    market.setItems("lamp", TestMarket::makeItems(320, 530000000001LL, "台灯"));
    writeFile(dir.file("_items.txt"), market.searchUrl("bike") + "\n" + market.searchUrl("lamp") +
                                          "\n");
    writeFile(dir.file("tidewatch.ini"), "[General]\ninterval=1\nkeepwatching=1\nopenlimit=1000\n"
                                         "ignore=二手\nitemhost=" + host() + "\n");
    std::future<int> run = launch("--start");
    ASSERT_TRUE(waitFor([&] { return opened().size() >= 20; }, 60s));
    const std::string second =
        "cd '" + dir.path() + "' && env -u DISPLAY ./tidewatch >second.txt 2>&1";
    EXPECT_EQ(::system(second.c_str()), 0) << readFile(dir.file("second.txt"));
    EXPECT_LT(opened().size(), 500u) << "answered while the pages were still being opened";
    stop(run);
}

// A second launch on the folder, even one without a display, hands --start
// to the program already running there and ends at once, touching no file;
// the running program starts its run and keeps its own watch list.
TEST_F(EndToEnd, aSecondLaunchHandsItsStartToTheProgramRunningInTheFolder)
{
    std::future<int> first = launch("");
    ASSERT_TRUE(waitFor([&] { return fs::exists(dir.file("tidewatch.lock")); }, 60s));
    const auto itemsWritten = fs::last_write_time(dir.file("_items.txt"));
    const auto iniWritten = fs::last_write_time(dir.file("tidewatch.ini"));
    EXPECT_EQ(market.requestCount(), 0u);

    const std::string second = "cd '" + dir.path() +
                               "' && env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb "
                               "timeout 60 ./tidewatch --start >second.log 2>&1";
    EXPECT_EQ(::system(second.c_str()), 0) << readFile(dir.file("second.log"));
    EXPECT_TRUE(waitFor([&] { return market.requestCount() > 0; }, 60s))
        << "the running program did not start its run";
    EXPECT_EQ(fs::last_write_time(dir.file("_items.txt")), itemsWritten);
    EXPECT_EQ(fs::last_write_time(dir.file("tidewatch.ini")), iniWritten);

    stop(first);
    EXPECT_FALSE(fs::exists(dir.file("tidewatch.lock")));
    EXPECT_EQ(readFile(dir.file("_items.txt")), market.searchUrl("empty") + "\r\n" +
                                                    market.searchUrl("bike") + "\r\n" +
                                                    market.searchUrl("worn") + "\r\n");
}

// What the desktop's tray does with the program's icon, over the test's bus.
class TrayHost
{
public:
    TrayHost(const QString& busAddress, const FakeStatusNotifierWatcher& watcher)
        : m_bus(QDBusConnection::connectToBus(busAddress, QStringLiteral("tray-host"))),
          m_watcher(watcher)
    {}
    ~TrayHost() { QDBusConnection::disconnectFromBus(QStringLiteral("tray-host")); }

    // The title and the text of the newest icon's ToolTip property.
    QString toolTip()
    {
        const QDBusArgument arg = property(QStringLiteral("ToolTip")).value<QDBusArgument>();
        QString icon, title, text;
        arg.beginStructure();
        arg >> icon;
        arg.beginArray();
        while (!arg.atEnd()) {
            int width = 0, height = 0;
            QByteArray pixels;
            arg.beginStructure();
            arg >> width >> height >> pixels;
            arg.endStructure();
        }
        arg.endArray();
        arg >> title >> text;
        arg.endStructure();
        return title + text;
    }
    void click()
    {
        QDBusMessage call =
            QDBusMessage::createMethodCall(item(), kItemPath, kItem, QStringLiteral("Activate"));
        call << 0 << 0;
        m_bus.call(call, QDBus::Block, 5000);
    }
    // Clicks the entry with this label in the icon's exported menu.
    bool clickMenu(const QString& label)
    {
        const QString menu = property(QStringLiteral("Menu")).value<QDBusObjectPath>().path();
        const QString kMenu = QStringLiteral("com.canonical.dbusmenu");
        QDBusMessage get =
            QDBusMessage::createMethodCall(item(), menu, kMenu, QStringLiteral("GetLayout"));
        get << 0 << -1 << QStringList();
        const QDBusMessage layout = m_bus.call(get, QDBus::Block, 5000);
        const int id = find(layout.arguments().value(1).value<QDBusArgument>(), label);
        if (id < 0) {
            return false;
        }
        QDBusMessage event =
            QDBusMessage::createMethodCall(item(), menu, kMenu, QStringLiteral("Event"));
        event << id << QStringLiteral("clicked") << QVariant::fromValue(QDBusVariant(0)) << 0u;
        return m_bus.call(event, QDBus::Block, 5000).type() == QDBusMessage::ReplyMessage;
    }

private:
    inline static const QString kItemPath = QStringLiteral("/StatusNotifierItem");
    inline static const QString kItem = QStringLiteral("org.kde.StatusNotifierItem");

    QString item() const
    {
        const QStringList items = m_watcher.items();
        return items.isEmpty() ? QString() : items.back();
    }
    QVariant property(const QString& name)
    {
        QDBusMessage get = QDBusMessage::createMethodCall(
            item(), kItemPath, QStringLiteral("org.freedesktop.DBus.Properties"),
            QStringLiteral("Get"));
        get << kItem << name;
        return m_bus.call(get, QDBus::Block, 5000)
            .arguments()
            .value(0)
            .value<QDBusVariant>()
            .variant();
    }
    // A layout node is (id, properties, children as variants of nodes).
    static int find(const QDBusArgument& node, const QString& label)
    {
        int id = -1;
        QVariantMap properties;
        node.beginStructure();
        node >> id >> properties;
        int found = properties.value(QStringLiteral("label")).toString() == label ? id : -1;
        node.beginArray();
        while (!node.atEnd()) {
            QDBusVariant child;
            node >> child;
            const int inChild = find(child.variant().value<QDBusArgument>(), label);
            found = found >= 0 ? found : inChild;
        }
        node.endArray();
        node.endStructure();
        return found;
    }

    QDBusConnection m_bus;
    const FakeStatusNotifierWatcher& m_watcher;
};

// With tray=1 the program lives in the desktop's tray (a stand-in host on a
// bus of the test's own): --minimized keeps the window hidden, the icon tells
// the last pass and the items found meanwhile, a click shows the window, and
// a signal or "退出" ends the program in order.
TEST_F(EndToEnd, inTheTrayItRunsHiddenTellsWhatItFoundAndEndsInOrder)
{
    static int argc = 1;
    static char name[] = "e2e_test";
    static char* argv[] = {name, nullptr};
    if (!QCoreApplication::instance()) {
        new QCoreApplication(argc, argv);
    }
    TestBus bus;
    ASSERT_FALSE(bus.address().isEmpty());
    FakeStatusNotifierWatcher watcher(bus.address());
    ASSERT_TRUE(watcher.registered());
    TrayHost tray(bus.address(), watcher);
    writeFile(dir.file("tidewatch.ini"), readFile(dir.file("tidewatch.ini")) + "tray=1\n");
    const std::string busEnv = "DBUS_SESSION_BUS_ADDRESS='" + bus.address().toStdString() + "'";
    const std::string watchList = market.searchUrl("empty") + "\r\n" + market.searchUrl("bike") +
                                  "\r\n" + market.searchUrl("worn") + "\r\n";

    // Hidden from the start, it counts what it finds; a signal ends it there.
    std::future<int> run = launch("--start --minimized", busEnv);
    EXPECT_TRUE(
        waitFor([&] { return tray.toolTip().contains(QStringLiteral("288 件新宝贝未查看")); }, 90s))
        << tray.toolTip().toStdString();
    EXPECT_TRUE(tray.toolTip().contains(QStringLiteral("上次检测")));
    stop(run);
    // Saved at close-down, with its own line ends.
    EXPECT_EQ(readFile(dir.file("_items.txt")), watchList);

    // A click on the icon shows the window, and what waited has been seen.
    market.addItem("bike", {"520000000001", "山地车 新到"});
    fs::remove(dir.file("_items.txt"));
    writeFile(dir.file("_items.txt"), market.searchUrl("empty") + "\n" + market.searchUrl("bike") +
                                          "\n" + market.searchUrl("worn") + "\n");
    run = launch("--start --minimized", busEnv);
    EXPECT_TRUE(
        waitFor([&] { return tray.toolTip().contains(QStringLiteral("1 件新宝贝未查看")); }, 90s))
        << tray.toolTip().toStdString();
    tray.click();
    EXPECT_TRUE(waitFor([&] { return !tray.toolTip().contains(QStringLiteral("未查看")); }, 30s));
    // "退出" in its menu ends it as the close box would without a tray.
    EXPECT_TRUE(tray.clickMenu(QStringLiteral("退出")));
    if (run.wait_for(60s) == std::future_status::ready) {
        EXPECT_EQ(run.get(), 0) << "exit status of the program";
    } else {
        ADD_FAILURE() << "退出 did not end the program";
        stop(run);
    }
    EXPECT_EQ(readFile(dir.file("_items.txt")), watchList);
}

} // namespace
} // namespace tw::test
