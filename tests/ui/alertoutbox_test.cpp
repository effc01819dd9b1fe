#include "desktop/alertcommand.h"
#include "tests/ui/windowfixture.h"
#include "tools/testmarket/testmarket.h"

#include <filesystem>
#include <set>
#include <sstream>
#include <thread>

namespace tw::test {
namespace {

using namespace std::chrono_literals;

// Every find is told at least once, whatever ends the program: the real
// window, worker, store and test marketplace, with an alert command that
// logs what it hears.
class TellEveryFind : public WindowTest
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(market.start());
        writeFile(dir.file("push"), "#!/bin/sh\nsleep \"$2\"\ncat >> \"$1\"\necho >> \"$1\"\n");
        std::filesystem::permissions(dir.file("push"), std::filesystem::perms::owner_all);
    }
    std::string ini(const char* commandSeconds = "0") const
    {
        return "[General]\ninterval=1\nkeepwatching=1\nnotify=0\nitemhost=127.0.0.1:8\nonalert=" +
               dir.file("push") + " " + dir.file("told.json") + " " + commandSeconds + "\n";
    }
    // The alerts the command heard, one JSON object a line.
    std::vector<std::string> told() const
    {
        std::vector<std::string> lines;
        std::istringstream in(readFile(dir.file("told.json")));
        for (std::string line; std::getline(in, line);) {
            if (!line.empty()) {
                lines.push_back(line);
            }
        }
        return lines;
    }
    int rows() { return std::stoi(db().queryValue("select count(*) from t_item")); }

    TestMarket market;
};

// Stored, then closed before the window heard of it (as a kill would leave
// it): the next start tells those items in one catch-up alert per watch,
// pages and command, before any run, and once only.
TEST_F(TellEveryFind, itemsStoredButNeverToldGetACatchUpAlertAtTheNextStart)
{
    market.setItems("a", TestMarket::makeItems(3, 100));
    market.setItems("b", TestMarket::makeItems(2, 200));
    openWindow(market.searchUrl("a") + "\n" + market.searchUrl("b") + "\n", ini());
    dlg->OnStartStop();
    // No event is handed on meanwhile: the window never hears of the finds.
    for (int n = 0; n < 400 && rows() < 5; ++n) {
        std::this_thread::sleep_for(25ms);
    }
    ASSERT_EQ(rows(), 5);
    app.reset();
    EXPECT_TRUE(host->urls().empty());
    EXPECT_TRUE(told().empty());

    openWindow({}, ini());
    EXPECT_FALSE(app->isRunning()) << "a catch-up starts no run";
    ASSERT_TRUE(pagesHandedOver());
    EXPECT_EQ(host->urls(), (std::vector<std::string>{
                                "http://127.0.0.1:8/item.htm?id=100",
                                "http://127.0.0.1:8/item.htm?id=101",
                                "http://127.0.0.1:8/item.htm?id=102",
                                "http://127.0.0.1:8/item.htm?id=200",
                                "http://127.0.0.1:8/item.htm?id=201"}));
    ASSERT_TRUE(
        waitUntil([&] { return told().size() == 2 && app->alertCommand().running() == 0; }));
    for (const std::string& alert : told()) {
        EXPECT_NE(alert.find("\"catchup\":true"), std::string::npos) << alert;
        EXPECT_NE(alert.find("\"event\":\"new\""), std::string::npos) << alert;
    }
    // The two commands run side by side: either may write first.
    const std::vector<std::string> alerts = told();
    EXPECT_EQ(std::count_if(alerts.begin(), alerts.end(),
                            [](const std::string& a) {
                                return a.find("\"key\":\"a\"") != std::string::npos &&
                                       a.find("\"count\":3") != std::string::npos;
                            }),
              1);

    openWindow({}, ini());
    QTest::qWait(200);
    EXPECT_EQ(host->urls().size(), 5u) << "told once";
    EXPECT_EQ(told().size(), 2u);
}

// A close with ten alert commands queued or running: every one of them has
// run by the end of the next start, none lost.
TEST_F(TellEveryFind, alertCommandsCutByACloseRunAtTheNextStart)
{
    openWindow("http://127.0.0.1:9/s?c=1&q=a\n", ini("1"));
    for (int n = 0; n < 10; ++n) {
        postFound(0, {{std::to_string(300 + n), "lamp"}});
    }
    app.reset();
    const std::size_t before = told().size();
    EXPECT_LT(before, 10u) << "the close cut the commands short";

    openWindow({}, ini("0"));
    ASSERT_TRUE(waitUntil([&] { return app->alertCommand().running() == 0 && told().size() >= 10; },
                          20000));
    std::set<std::string> ids;
    for (const std::string& alert : told()) {
        const std::size_t at = alert.find("\"id\":\"");
        ASSERT_NE(at, std::string::npos) << alert;
        ids.insert(alert.substr(at + 6, 3));
    }
    EXPECT_EQ(ids.size(), 10u);
    openWindow({}, ini("0"));
    QTest::qWait(200);
    EXPECT_EQ(told().size(), 10u) << "nothing ran twice";
}

} // namespace
} // namespace tw::test
