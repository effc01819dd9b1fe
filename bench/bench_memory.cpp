// Memory and start-up with 1000 watches and an item database of one million
// rows (the (sid, bbid) index present, as the set-up makes it, so the
// start-up's index check only finds it).
//
// Start-up: the real program (tidewatch, offscreen, in a folder prepared by
// tw-setup) is started with --start, and the time until its first request
// reaches a local socket is taken: launch, window set-up and show, then the
// click on Start and the worker's first connect. It bounds the time to the
// window shown from above.
//
// Memory: the real window (CWatchDlg, offscreen, a headless host) in this
// process against nginx on loopback, every item already stored, one result
// page of 40 items per watch (and the empty page after it). With every slot
// in use, the fixed 6173-byte slots put a url on nearly every page of the
// table, so about 5 MiB of it is touched whatever the zeroing does.
// Private_Dirty from /proc/self/smaps_rollup:
// idle before a pass, the peak during the pass (sampled every 2 ms) and idle
// after it.
//
// Usage: bench_memory [start-up runs, default 3]. Needs nginx (nginx-light).

#include "bench/nginxserver.h"
#include "app/program.h"
#include "bench/privatedirty.h"
#include "core/hostservices.h"
#include "engine/pollmessages.h"
#include "tools/testmarket/resultpage.h"
#include "tools/testmarket/testmarket.h"
#include "core/watchtable.h"
#include "ui/runcontroller.h"
#include "ui/watchdlg.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sqlite3.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <QApplication>

extern char** environ;

using tw::bench::privateDirtyKb;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using tw::test::MarketItem;

constexpr int kWatches = 1000;
constexpr int kItemsPerWatch = 40;
constexpr long long kRows = 1000000;
constexpr long long kFirstId = 800000000001LL;

[[noreturn]] void fail(const std::string& why)
{
    std::fprintf(stderr, "bench_memory: %s\n", why.c_str());
    std::exit(1);
}

double ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

std::string readSmaps()
{
    std::ifstream in("/proc/self/smaps");
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Where Private_Dirty sits: the heap, anonymous mappings (the watch table,
// thread arenas and stacks, the offscreen window's image) and the libraries
// (relocated data, not ours to shrink).
void printBreakdown(const std::string& smaps)
{
    std::map<std::string, long> byName;
    std::vector<std::pair<long, std::string>> anon;
    std::istringstream in(smaps);
    std::string line;
    std::string name;
    std::string range;
    while (std::getline(in, line)) {
        if (!line.empty() && std::isxdigit(static_cast<unsigned char>(line[0])) &&
            line.find('-') < line.find(' ')) {
            std::istringstream fields(line);
            std::string perms, offset, dev, inode;
            fields >> range >> perms >> offset >> dev >> inode;
            name.clear();
            std::getline(fields >> std::ws, name);
            if (name.empty()) {
                name = "[anon]";
            }
        } else if (line.starts_with("Private_Dirty:")) {
            const long kb = std::strtol(line.c_str() + 14, nullptr, 10);
            if (kb > 0) {
                byName[name.starts_with("/") ? fs::path(name).filename().string() : name] += kb;
                if (name == "[anon]") {
                    anon.emplace_back(kb, range);
                }
            }
        }
    }
    std::vector<std::pair<long, std::string>> sorted;
    for (const auto& [n, kb] : byName) {
        sorted.emplace_back(kb, n);
    }
    std::sort(sorted.rbegin(), sorted.rend());
    std::sort(anon.rbegin(), anon.rend());
    long libraries = 0;
    for (const auto& [n, kb] : byName) {
        libraries += n.starts_with("[") ? 0 : kb;
    }
    std::printf("libraries' relocated data %6.2f MiB\n", double(libraries) / 1024);
    std::printf("where it sits, idle after the pass (KiB):\n");
    for (std::size_t i = 0; i < sorted.size() && i < 8; ++i) {
        std::printf("  %6ld %s\n", sorted[i].first, sorted[i].second.c_str());
    }
    std::printf("  largest anonymous mappings:");
    for (std::size_t i = 0; i < anon.size() && i < 4; ++i) {
        std::printf(" %ld", anon[i].first);
    }
    std::printf("\n");
}

double mib(long kb)
{
    return double(kb) / 1024.0;
}

// The pages of the table that hold text, in KiB: what no zeroing policy can
// leave untouched, since slot i's fields sit at fixed offsets of
// i x 6173 bytes. Taken for a block starting 16 bytes into a page, as a
// calloc this large returns it.
long tablePagesWithTextKb(const tw::WatchTable& table)
{
    constexpr std::size_t kPage = 4096;
    constexpr std::size_t kBase = 16;
    std::set<std::size_t> pages;
    const auto mark = [&](std::size_t from, std::size_t length) {
        if (length > 0) {
            for (std::size_t p = from / kPage; p <= (from + length) / kPage; ++p) {
                pages.insert(p);
            }
        }
    };
    for (int i = 0; i < tw::WatchTable::kSlots; ++i) {
        const tw::SlotCopy slot = table.slot(i);
        const std::size_t at = kBase + std::size_t(i) * sizeof(tw::WatchSlot);
        // Each field with its terminating NUL.
        mark(at + offsetof(tw::WatchSlot, url), slot.url.size());
        mark(at + offsetof(tw::WatchSlot, sid), slot.sid.size());
        mark(at + offsetof(tw::WatchSlot, lastIds), slot.lastIds.size());
        mark(at + offsetof(tw::WatchSlot, newIds), slot.newIds.size());
    }
    return long(pages.size() * kPage / 1024);
}

std::string watchUrl(int port, int w)
{
    return "http://127.0.0.1:" + std::to_string(port) + "/search?cat=1&q=key" +
           std::to_string(w) + "&sort=new";
}

void writeWatchList(const std::string& appDir, int port)
{
    std::ofstream out(appDir + "_items.txt", std::ios::binary | std::ios::trunc);
    for (int w = 0; w < kWatches; ++w) {
        out << watchUrl(port, w) << "\r\n";
    }
}

void check(int rc, sqlite3* db, const char* what)
{
    if (rc != SQLITE_OK && rc != SQLITE_DONE) {
        fail(std::string(what) + ": " + sqlite3_errmsg(db));
    }
}

// The million rows: every watch's 40 items, so that a pass finds nothing new,
// and rows of other watches up to the count. One transaction.
void fillDatabase(const std::string& path)
{
    sqlite3* db = nullptr;
    check(sqlite3_open(path.c_str(), &db), db, "open");
    check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db, "begin");
    sqlite3_stmt* insert = nullptr;
    check(sqlite3_prepare_v2(db, "INSERT INTO t_item (sid, bbid, bbtitle, bbsl) VALUES (?, ?, ?, 0)",
                             -1, &insert, nullptr),
          db, "prepare");
    for (long long row = 0; row < kRows; ++row) {
        const bool watched = row < kWatches * kItemsPerWatch;
        const std::string sid = watched ? "key" + std::to_string(row / kItemsPerWatch)
                                        : "other" + std::to_string(row % 5000);
        const std::string bbid = std::to_string(
            watched ? kFirstId + row % kItemsPerWatch : 500000000000LL + row);
        const std::string title = "商品 " + bbid;
        sqlite3_bind_text(insert, 1, sid.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insert, 2, bbid.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insert, 3, title.c_str(), -1, SQLITE_TRANSIENT);
        check(sqlite3_step(insert), db, "insert");
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
    sqlite3_close(db);
}

// Pages, program folder and database, made in a child process so that none
// of that work stays in this process's memory.
void prepare(const std::string& serverDir, const std::string& appDir)
{
    const pid_t pid = ::fork();
    if (pid < 0) {
        fail("cannot fork");
    }
    if (pid > 0) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            fail("preparing the folders failed");
        }
        return;
    }
    fs::create_directories(serverDir + "html");
    const std::vector<MarketItem> items =
        tw::test::TestMarket::makeItems(kItemsPerWatch, kFirstId);
    std::ofstream(serverDir + "html/page_0.html", std::ios::binary)
        << tw::test::renderResultPage(items, 0, kItemsPerWatch);
    std::ofstream(serverDir + "html/page_40.html", std::ios::binary)
        << tw::test::renderResultPage({}, kItemsPerWatch, kItemsPerWatch);

    fs::create_directories(appDir);
    fs::copy_file(TIDEWATCH_EXE, appDir + "tidewatch");
    if (std::system((std::string(TIDEWATCH_SETUP_EXE) + " " + appDir + " >/dev/null").c_str()) !=
        0) {
        std::_Exit(1);
    }
    // A long interval: after its first pass the run waits, idle.
    std::ofstream(appDir + "tidewatch.ini", std::ios::binary | std::ios::trunc)
        << "[General]\ninterval=3600\n";
    fillDatabase(appDir + "sys.mdb");
    std::_Exit(0);
}

class Listener
{
public:
    Listener()
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(addr);
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
            ::listen(m_fd, 4) != 0 ||
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            fail("cannot listen on 127.0.0.1");
        }
        m_port = ntohs(addr.sin_port);
    }
    ~Listener() { ::close(m_fd); }

    // Waits for a connection and closes it; false after limitMs without one.
    bool acceptOne(int limitMs)
    {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, limitMs) != 1) {
            return false;
        }
        const int conn = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn >= 0) {
            ::close(conn);
        }
        return conn >= 0;
    }
    // Closes connections left waiting by an earlier run.
    void drain()
    {
        while (acceptOne(0)) {
        }
    }
    int port() const { return m_port; }

private:
    int m_fd = -1;
    int m_port = 0;
};

struct StartUp
{
    double ms = 0;
    long privateDirtyKb = 0;
};

// The real program, from launch to its first request.
StartUp timeStartUp(const std::string& appDir, Listener& listener)
{
    std::string exe = appDir + "tidewatch";
    std::string start = "--start";
    char* argv[] = {exe.data(), start.data(), nullptr};
    std::vector<std::string> envText;
    for (char** e = environ; *e; ++e) {
        if (std::strncmp(*e, "QT_QPA_PLATFORM=", 16) != 0) {
            envText.emplace_back(*e);
        }
    }
    envText.emplace_back("QT_QPA_PLATFORM=offscreen");
    std::vector<char*> env;
    for (std::string& e : envText) {
        env.push_back(e.data());
    }
    env.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const Clock::time_point begin = Clock::now();
    pid_t pid = -1;
    if (posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv, env.data()) != 0) {
        fail("cannot start " + exe);
    }
    posix_spawn_file_actions_destroy(&actions);
    const bool reached = listener.acceptOne(30000);
    StartUp result;
    result.ms = ms(Clock::now() - begin);
    result.privateDirtyKb =
        privateDirtyKb(("/proc/" + std::to_string(pid) + "/smaps_rollup").c_str());
    // Closes in order, as its close box does.
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    listener.drain();
    if (!reached) {
        fail("the program made no request within 30 s");
    }
    return result;
}

void processEventsFor(std::chrono::milliseconds span)
{
    const Clock::time_point end = Clock::now() + span;
    while (Clock::now() < end) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

} // namespace

int main(int argc, char** argv)
{
    const int startUpRuns = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const std::string dir = tw::bench::NginxServer::makeBenchDir("tidewatch-memory-bench");
    if (dir.empty()) {
        fail("cannot make a folder for the benchmark");
    }
    const std::string serverDir = dir + "server/";
    const std::string appDir = dir + "app/";
    prepare(serverDir, appDir);
    // Pages of freshly built files count as dirty until written back.
    ::sync();

    {
        Listener listener;
        writeWatchList(appDir, listener.port());
        std::printf("start-up of the real program, %d watches, %lld rows with the (sid, bbid) "
                    "index, launch to first request:\n",
                    kWatches, kRows);
        std::vector<double> times;
        for (int run = 0; run < startUpRuns; ++run) {
            const StartUp s = timeStartUp(appDir, listener);
            times.push_back(s.ms);
            std::printf("  run %d: %6.1f ms (Private_Dirty then %.1f MiB)\n", run + 1, s.ms,
                        mib(s.privateDirtyKb));
        }
        std::sort(times.begin(), times.end());
        std::printf("  median %.1f ms, best %.1f ms (goal under 300 ms)\n",
                    times[times.size() / 2], times.front());
    }

    tw::bench::NginxServer nginx;
    if (!nginx.start(serverDir, "/page_${arg_s}.html")) {
        fail("cannot start nginx (install nginx-light); see " + serverDir + "error.log");
    }
    writeWatchList(appDir, nginx.port());

    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    long idleBefore = 0;
    long peak = 0;
    long idleAfter = 0;
    std::string smapsAfter;
    long tableBefore = 0;
    long tableAfter = 0;
    double windowMs = 0;
    double passMs = 0;
    {
        const Clock::time_point begin = Clock::now();
        tw::Program program(std::make_shared<tw::HeadlessHost>(), appDir);
        if (!program.setUp()) {
            fail("the window's set-up failed");
        }
        tw::CWatchDlg& dlg = program.window();
        // The window's side tells when the last watch of a pass is done.
        bool passDone = false;
        int failures = 0;
        QObject::connect(&program.runner(), &tw::RunController::checkEnded, &dlg,
                         [&](const tw::CheckEnded& end) {
                             failures += end.outcome == tw::CheckOutcome::Failed ? 1 : 0;
                             passDone = passDone || end.watch.slot == kWatches - 1;
                         });
        dlg.show();
        QApplication::processEvents();
        windowMs = ms(Clock::now() - begin);
        processEventsFor(std::chrono::milliseconds(500));
        idleBefore = privateDirtyKb("/proc/self/smaps_rollup");
        tableBefore = tablePagesWithTextKb(*program.table());

        std::atomic<bool> sampling{true};
        std::atomic<long> highest{idleBefore};
        std::thread sampler([&] {
            while (sampling) {
                const long kb = privateDirtyKb("/proc/self/smaps_rollup");
                if (kb > highest) {
                    highest = kb;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
        const Clock::time_point passBegin = Clock::now();
        dlg.OnStartStop();
        const Clock::time_point limit = passBegin + std::chrono::minutes(5);
        while (!passDone && Clock::now() < limit) {
            QApplication::processEvents(QEventLoop::AllEvents, 20);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        passMs = ms(Clock::now() - passBegin);
        processEventsFor(std::chrono::milliseconds(500));
        sampling = false;
        sampler.join();
        idleAfter = privateDirtyKb("/proc/self/smaps_rollup");
        smapsAfter = readSmaps();
        tableAfter = tablePagesWithTextKb(*program.table());
        peak = std::max(highest.load(), idleAfter);
        if (!passDone) {
            fail("the pass did not end within 5 minutes");
        }
        if (failures != 0) {
            fail(std::to_string(failures) + " checks failed");
        }
        dlg.OnStartStop();
        processEventsFor(std::chrono::milliseconds(200));
    }
    nginx.stop();
    std::error_code ec;
    fs::remove_all(dir, ec);

    std::printf("window in this process: set-up and show %.1f ms; one pass over %d watches "
                "(every item stored) %.1f s\n",
                windowMs, kWatches, passMs / 1000);
    std::printf("Private_Dirty idle before a pass  %6.2f MiB (goal at most 8)\n", mib(idleBefore));
    std::printf("Private_Dirty peak during a pass  %6.2f MiB (+%.2f MiB, goal at most +2)\n",
                mib(peak), mib(peak - idleBefore));
    std::printf("Private_Dirty idle after the pass %6.2f MiB (goal at most 8)\n", mib(idleAfter));
    std::printf("of it the table's pages holding text (fixed slots, every one in use): "
                "%.2f MiB before, %.2f MiB after\n",
                mib(tableBefore), mib(tableAfter));
    printBreakdown(smapsAfter);
    return 0;
}
