// The real tidewatch, copied into a folder of its own and run under Xvfb
// against the local test marketplace, checked only from outside: the pages it
// hands to the browser, the rows it stores, the requests it makes and the
// files it leaves.
#include "core/zuvira.h"
#include "store/itemdb.h"
#include "support/tempdir.h"
#include "testmarket/testmarket.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <set>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace tw::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

bool waitFor(const std::function<bool()>& pred, std::chrono::milliseconds limit)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        out.push_back(line);
    }
    return out;
}

// One run of the program under xvfb-run.
class Program
{
public:
    Program(const std::string& dir, const std::string& binDir)
    {
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            const std::string var = *e;
            if (var.rfind("PATH=", 0) == 0 || var.rfind("QT_QPA_PLATFORM=", 0) == 0 ||
                var.rfind("DISPLAY=", 0) == 0 || var.rfind("BROWSER=", 0) == 0) {
                continue;
            }
            env.push_back(var);
        }
        env.push_back("PATH=" + binDir + ":" + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin"));
        env.push_back("QT_QPA_PLATFORM=xcb");
        env.push_back("OPENED_LOG=" + dir + "opened.txt");
        std::vector<char*> envp;
        for (std::string& v : env) {
            envp.push_back(v.data());
        }
        envp.push_back(nullptr);

        m_exe = dir + "tidewatch";
        std::vector<std::string> args = {"xvfb-run", "-a", m_exe, "--start"};
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        if (posix_spawnp(&m_pid, "xvfb-run", nullptr, nullptr, argv.data(), envp.data()) != 0) {
            m_pid = -1;
        }
    }

    ~Program()
    {
        if (m_pid > 0 && !m_reaped) {
            terminate();
            waitExit(30s);
        }
    }

    bool started() const { return m_pid > 0; }

    // The tidewatch process itself, found by its executable among the
    // children of xvfb-run.
    pid_t programPid() const
    {
        for (const auto& entry : fs::directory_iterator("/proc")) {
            std::error_code ec;
            const fs::path exe = fs::read_symlink(entry.path() / "exe", ec);
            if (!ec && exe == m_exe) {
                return static_cast<pid_t>(std::stol(entry.path().filename().string()));
            }
        }
        return -1;
    }

    bool terminate()
    {
        pid_t pid = -1;
        if (!waitFor([&] { return (pid = programPid()) > 0; }, 20s)) {
            return false;
        }
        return ::kill(pid, SIGTERM) == 0;
    }

    // The exit status that xvfb-run passes on from the program, -1 on time-out.
    int waitExit(std::chrono::milliseconds limit)
    {
        int status = 0;
        const bool done =
            waitFor([&] { return ::waitpid(m_pid, &status, WNOHANG) == m_pid; }, limit);
        if (!done) {
            return -1;
        }
        m_reaped = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
    std::string m_exe;
    pid_t m_pid = -1;
    bool m_reaped = false;
};

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
        writeFile(dir.file("_items.txt"),
                  watchUrl("empty") + "\n" + watchUrl("bike") + "\n" + watchUrl("worn") + "\n");

        fs::create_directory(dir.file("bin"));
        // Each address is opened by a process of its own, and those race to
        // the log; the process id keeps the order in which they were started.
        writeFile(dir.file("bin/xdg-open"),
                  "#!/bin/sh\nprintf '%s %s\\n' \"$$\" \"$1\" >> \"$OPENED_LOG\"\n");
        fs::permissions(dir.file("bin/xdg-open"), fs::perms::owner_all);

        db.setConnStr(dir.file("sys.mdb"));
    }

    std::string host() const { return "127.0.0.1:" + std::to_string(market.port()); }
    std::string watchUrl(const std::string& key) const
    {
        return market.baseUrl() + "/search?cat=1&q=" + key + "&sort=new";
    }
    std::string page(const std::string& id) const
    {
        return "http://" + host() + "/item.htm?id=" + id;
    }
    // The addresses handed to the browser, in the order they were handed over.
    std::vector<std::string> opened() const
    {
        std::vector<std::pair<long, std::string>> byPid;
        for (const std::string& line : lines(readFile(dir.file("opened.txt")))) {
            const std::size_t space = line.find(' ');
            if (space != std::string::npos) {
                byPid.emplace_back(std::stol(line.substr(0, space)), line.substr(space + 1));
            }
        }
        std::sort(byPid.begin(), byPid.end());
        std::vector<std::string> urls;
        for (auto& [pid, url] : byPid) {
            urls.push_back(std::move(url));
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

    TempDir dir;
    TestMarket market;
    CItemDb db;
};

TEST_F(EndToEnd, reportsNewItemsOnceAndLeavesItsFilesInOrder)
{
    // First run: everything listed is new.
    {
        Program run(dir.path(), dir.file("bin"));
        ASSERT_TRUE(run.started());
        ASSERT_TRUE(waitFor([&] { return opened().size() >= 30; }, 60s))
            << opened().size() << " pages opened";
        ASSERT_TRUE(waitFor([&] { return rows("bike") == 288; }, 30s)) << rows("bike");
        ASSERT_TRUE(run.terminate());
        EXPECT_EQ(run.waitExit(30s), 0);
    }
    std::vector<std::string> expected;
    for (long long id = 500000000001LL; expected.size() < 30; ++id) {
        if ((id - 500000000001LL) % 10 != 0) {
            expected.push_back(page(std::to_string(id)));
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

    EXPECT_EQ(readFile(dir.file("_items.txt")),
              watchUrl("empty") + "\r\n" + watchUrl("bike") + "\r\n" + watchUrl("worn") + "\r\n");
    const std::string ini = readFile(dir.file("tidewatch.ini"));
    EXPECT_NE(ini.find("interval=1"), std::string::npos) << ini;
    EXPECT_NE(ini.find("filtkc=0"), std::string::npos) << ini;

    // Second run: only the item listed since is reported.
    fs::remove(dir.file("opened.txt"));
    market.addItem("bike", {"520000000001", "山地车 新到"});
    market.addItem("worn", {"520000000002", "坏的 新灯"});
    {
        Program run(dir.path(), dir.file("bin"));
        ASSERT_TRUE(run.started());
        ASSERT_TRUE(waitFor([&] { return !opened().empty(); }, 60s));
        ASSERT_TRUE(run.terminate());
        EXPECT_EQ(run.waitExit(30s), 0);
    }
    EXPECT_EQ(opened(), std::vector<std::string>{page("520000000001")});
    EXPECT_EQ(rows("bike"), 289);
    EXPECT_EQ(rows("worn"), 0);
}

} // namespace
} // namespace tw::test
