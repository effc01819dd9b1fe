// Crash run: the real program (tidewatch --start under xvfb-run, in a folder
// that tw-setup prepares) watches 20 searches of the local test marketplace
// while new items keep being listed on random watches every 0.1 to 0.6 s, and
// is killed with SIGKILL a random 0.5 to 3 s after each start, 60 times. A
// last run is ended with SIGTERM once its outbox has drained. Every alert
// opens its pages through a stand-in xdg-open and runs an onalert script;
// both append to logs, which are read afterwards: an item is told when a page
// of it was opened or an alert command named it. After every kill the
// database goes through PRAGMA integrity_check.
//
// Goals: no item listed and never told, at most 1% told twice, no integrity
// failure. Missed goals are "GOAL MISSED" lines; the exit status is 0 then
// too, and 1 only when the run could not be made (no xvfb-run, no program).
//
// Usage: bench_crash [--kills=N] [--seed=N] [--keep]. TIDEWATCH_BENCH_DIR
// picks where its folder goes (default /tmp); --keep leaves it there.

#include "bench/nginxserver.h"
#include "tools/testmarket/testmarket.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <spawn.h>
#include <sqlite3.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace tw::bench {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using test::TestMarket;

constexpr int kWatches = 20;
constexpr int kFirstItemsPerWatch = 2;
constexpr long long kFirstId = 700000000001LL;
// Keeps the whole run near four minutes on a slow machine: fewer kills then.
constexpr auto kKillBudget = 200s;
constexpr auto kQuietFor = 2s;
constexpr double kMaxTwiceShare = 0.01;

class BenchError : public std::runtime_error
{
    using std::runtime_error::runtime_error;
};

struct Options
{
    int kills = 60;
    unsigned seed = std::random_device{}();
    bool keep = false;
};

Options parseOptions(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.starts_with("--kills=")) {
            options.kills = std::max(0, std::atoi(arg.c_str() + 8));
        } else if (arg.starts_with("--seed=")) {
            options.seed = static_cast<unsigned>(std::strtoul(arg.c_str() + 7, nullptr, 10));
        } else if (arg == "--keep") {
            options.keep = true;
        } else {
            throw BenchError("unknown argument " + arg +
                             " (usage: bench_crash [--kills=N] [--seed=N] [--keep])");
        }
    }
    return options;
}

double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

void writeFile(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) {
        throw BenchError("cannot write " + path);
    }
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::uintmax_t fileSize(const std::string& path)
{
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(path, ec);
    return ec ? 0 : size;
}

// The processes whose parent is pid, from /proc.
std::vector<pid_t> childrenOf(pid_t parent)
{
    std::vector<pid_t> children;
    std::error_code ec;
    for (const fs::directory_entry& entry : fs::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        const std::string stat = readFile(entry.path().string() + "/stat");
        // The command name in parentheses may hold blanks: the fields start after it.
        const std::size_t close = stat.rfind(')');
        if (close == std::string::npos) {
            continue;
        }
        std::istringstream fields(stat.substr(close + 1));
        std::string state;
        long ppid = 0;
        fields >> state >> ppid;
        if (ppid == parent) {
            children.push_back(static_cast<pid_t>(std::stol(name)));
        }
    }
    return children;
}

// This process is the subreaper of everything it starts, so that the
// commands and page openers that a killed program leaves behind end up here,
// are reaped, and can be ended at the end.
class Children
{
public:
    Children()
    {
        if (::prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
            throw BenchError("cannot become a subreaper: " + std::string(std::strerror(errno)));
        }
    }
    ~Children() { endStrays(); }
    Children(const Children&) = delete;
    Children& operator=(const Children&) = delete;

    // The exit status of pid is kept from now on.
    void watch(pid_t pid) { m_watched[pid].reset(); }
    void reap()
    {
        int status = 0;
        for (pid_t pid; (pid = ::waitpid(-1, &status, WNOHANG)) > 0;) {
            if (const auto it = m_watched.find(pid); it != m_watched.end()) {
                it->second = status;
            }
        }
    }
    // The status of a watched child that ended, once.
    std::optional<int> ended(pid_t pid)
    {
        reap();
        const auto it = m_watched.find(pid);
        if (it == m_watched.end() || !it->second) {
            return std::nullopt;
        }
        const int status = *it->second;
        m_watched.erase(it);
        return status;
    }
    // Waits, at most limit, until nothing is left below this process: the
    // pages and commands a killed program started have written their lines.
    bool waitAlone(Clock::duration limit)
    {
        for (const auto end = Clock::now() + limit; Clock::now() < end;) {
            reap();
            if (childrenOf(::getpid()).empty()) {
                return true;
            }
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }
    // Ends whatever is left below this process, SIGTERM first so that an Xvfb
    // removes its lock files; the names of what was left. What is on its way
    // out (an Xvfb that its xvfb-run just ended) gets a second to go.
    std::vector<std::string> endStrays()
    {
        if (waitAlone(1s)) {
            return {};
        }
        std::map<pid_t, std::string> left;
        const auto killAt = Clock::now() + 2s;
        for (const auto end = killAt + 5s; Clock::now() < end;) {
            reap();
            const std::vector<pid_t> children = childrenOf(::getpid());
            if (children.empty()) {
                break;
            }
            for (const pid_t pid : children) {
                if (!left.contains(pid)) {
                    const std::string name = readFile("/proc/" + std::to_string(pid) + "/comm");
                    left[pid] = name.substr(0, name.find('\n'));
                    ::kill(pid, SIGTERM);
                } else if (Clock::now() > killAt) {
                    ::kill(pid, SIGKILL);
                }
            }
            std::this_thread::sleep_for(50ms);
        }
        std::vector<std::string> names;
        for (const auto& entry : left) {
            names.push_back(entry.second);
        }
        return names;
    }

private:
    std::map<pid_t, std::optional<int>> m_watched;
};

// The program's folder with the stand-ins that log what it tells.
struct Folder
{
    std::string dir; // ends in "/"
    std::string file(const std::string& name) const { return dir + name; }
    std::string pagesLog() const { return file("opened.log"); }
    std::string commandsLog() const { return file("commands.log"); }
};

void fillFolder(const Folder& folder, const TestMarket& market,
                const std::vector<std::string>& keys)
{
    fs::copy_file(TIDEWATCH_EXE, folder.file("tidewatch"));
    const std::string setup =
        std::string(TIDEWATCH_SETUP_EXE) + " '" + folder.dir + "' >/dev/null 2>&1";
    if (std::system(setup.c_str()) != 0) {
        throw BenchError("tw-setup failed in " + folder.dir);
    }
    const std::string host = "127.0.0.1:" + std::to_string(market.port());
    // No desktop session here: notifications would reach nothing.
    writeFile(folder.file("tidewatch.ini"),
              "[General]\ninterval=1\nparallel=8\nkeepwatching=1\npagestop=1\nopenlimit=30\n"
              "notify=0\nitemhost=" +
                  host + "\nmallhost=" + host + "\nonalert=" + folder.file("bin/onalert") + "\n");
    std::string list;
    for (const std::string& key : keys) {
        list += market.searchUrl(key) + "\n";
    }
    writeFile(folder.file("_items.txt"), list);

    fs::create_directory(folder.file("bin"));
    // One short write each, so that openers running at once do not mix lines.
    writeFile(folder.file("bin/xdg-open"),
              "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" + folder.pagesLog() + "'\n");
    // Commands run up to four at once: each alert is collected whole first and
    // appended in one write, so that alerts never interleave in the log.
    writeFile(folder.file("bin/onalert"), "#!/bin/sh\nt=$(mktemp '" + folder.file("alert.XXXXXX") +
                                              "') || exit 1\n" + "cat > \"$t\"\ncat \"$t\" >> '" +
                                              folder.commandsLog() + "'\nrm -f \"$t\"\n");
    for (const char* name : {"bin/xdg-open", "bin/onalert"}) {
        fs::permissions(folder.file(name), fs::perms::owner_all);
    }
    // The program's socket and Qt's runtime files, apart from any other program.
    fs::create_directory(folder.file("runtime"));
    fs::permissions(folder.file("runtime"), fs::perms::owner_all);
    writeFile(folder.pagesLog(), "");
    writeFile(folder.commandsLog(), "");
}

Folder prepareFolder(const TestMarket& market, const std::vector<std::string>& keys)
{
    Folder folder{NginxServer::makeBenchDir("tidewatch-crash-bench")};
    if (folder.dir.empty()) {
        throw BenchError("cannot make a folder for the benchmark");
    }
    // Paths go into shell commands in single quotes and into onalert, which
    // splits at blanks.
    if (folder.dir.find_first_of(" \t\n'\"\\") != std::string::npos) {
        fs::remove_all(folder.dir);
        throw BenchError("TIDEWATCH_BENCH_DIR must not hold blanks or quotes");
    }
    try {
        fillFolder(folder, market, keys);
    } catch (const std::exception&) {
        std::error_code ec;
        fs::remove_all(folder.dir, ec);
        throw;
    }
    return folder;
}

// One start of the program under Xvfb. xvfb-run passes no signal on, so the
// program's shell leaves its pid and then becomes the program.
class ProgramRun
{
public:
    ProgramRun(Children& children, const Folder& folder) : m_children(children), m_folder(folder)
    {
        fs::remove(folder.file("pid"));
        // Its own runtime folder and no session bus: nothing it does reaches
        // another program's socket or the desktop of whoever runs this.
        const std::string command =
            "cd '" + folder.dir + "' && exec env -u BROWSER -u WAYLAND_DISPLAY PATH='" +
            folder.file("bin") + "':\"$PATH\" XDG_RUNTIME_DIR='" + folder.file("runtime") +
            "' DBUS_SESSION_BUS_ADDRESS='unix:path=" + folder.file("no-bus") +
            "' QT_QPA_PLATFORM=xcb xvfb-run -a sh -c " +
            "'echo $$ >pid; exec ./tidewatch --start' </dev/null >>xvfb.log 2>&1";
        const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        // A group of its own: xvfb-run, Xvfb and the program end together if need be.
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attr, 0);
        const int spawned = posix_spawn(&m_launcher, "/bin/sh", nullptr, &attr,
                                        const_cast<char* const*>(argv), environ);
        posix_spawnattr_destroy(&attr);
        if (spawned != 0) {
            throw BenchError("cannot start /bin/sh: " + std::string(std::strerror(spawned)));
        }
        m_children.watch(m_launcher);
    }
    ~ProgramRun()
    {
        if (!m_status) {
            ::kill(-m_launcher, SIGKILL);
            waitEnd(10s);
        }
    }
    ProgramRun(const ProgramRun&) = delete;
    ProgramRun& operator=(const ProgramRun&) = delete;

    // True once the program's pid is known; false when the launch ended first
    // (Xvfb did not start) or took longer than limit.
    bool waitUp(Clock::duration limit)
    {
        const auto end = Clock::now() + limit;
        while (Clock::now() < end && !ended()) {
            const long pid = std::atol(readFile(m_folder.file("pid")).c_str());
            if (pid > 0) {
                m_pid = static_cast<pid_t>(pid);
                m_up = Clock::now();
                return true;
            }
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }
    Clock::time_point upSince() const { return m_up; }
    bool ended()
    {
        if (!m_status) {
            m_status = m_children.ended(m_launcher);
        }
        return m_status.has_value();
    }
    void signal(int sig) const
    {
        if (m_pid > 0) {
            ::kill(m_pid, sig);
        }
    }
    // xvfb-run's exit status (the program's); nullopt when it had to be killed.
    std::optional<int> waitEnd(Clock::duration limit)
    {
        const auto end = Clock::now() + limit;
        while (!ended() && Clock::now() < end) {
            std::this_thread::sleep_for(10ms);
        }
        if (!ended()) {
            ::kill(-m_launcher, SIGKILL);
            while (!ended()) {
                std::this_thread::sleep_for(10ms);
            }
            return std::nullopt;
        }
        return m_status;
    }

private:
    Children& m_children;
    const Folder& m_folder;
    pid_t m_launcher = -1;
    pid_t m_pid = -1;
    Clock::time_point m_up;
    std::optional<int> m_status;
};

// New listings on random watches at random moments, as a busy marketplace
// has them, newest first on each search.
class Lister
{
public:
    Lister(TestMarket& market, std::vector<std::string> keys, unsigned seed)
        : m_market(market), m_keys(std::move(keys)), m_random(seed)
    {}
    ~Lister() { stop(); }
    Lister(const Lister&) = delete;
    Lister& operator=(const Lister&) = delete;

    void list(const std::string& key)
    {
        std::lock_guard lock(m_mutex);
        const std::string id = std::to_string(kFirstId + static_cast<long long>(m_listed.size()));
        m_listed.push_back(id);
        m_market.addItem(key, {id, "商品 " + id});
    }
    void start()
    {
        m_thread = std::thread([this] {
            std::uniform_int_distribution<int> gapMs(100, 600);
            std::uniform_int_distribution<std::size_t> watch(0, m_keys.size() - 1);
            std::unique_lock lock(m_mutex);
            while (!m_changed.wait_for(lock, std::chrono::milliseconds(gapMs(m_random)),
                                       [this] { return m_stop; })) {
                lock.unlock();
                list(m_keys[watch(m_random)]);
                lock.lock();
            }
        });
    }
    void stop()
    {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_changed.notify_all();
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }
    std::vector<std::string> listed() const
    {
        std::lock_guard lock(m_mutex);
        return m_listed;
    }

private:
    TestMarket& m_market;
    const std::vector<std::string> m_keys;
    std::mt19937 m_random;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_stop = false;
    std::vector<std::string> m_listed;
    std::thread m_thread;
};

// sys.mdb through SQLite's own API while the program is down. Opened for
// writing, so that a journal a kill left is rolled back as the next start
// would.
class Database
{
public:
    explicit Database(const std::string& path)
    {
        sqlite3* db = nullptr;
        const int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
        m_db.reset(db);
        if (rc != SQLITE_OK) {
            m_error = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
        } else {
            sqlite3_busy_timeout(db, 5000);
        }
    }

    // The first column of every row; empty with error() set when it failed.
    std::vector<std::string> column(const char* sql)
    {
        std::vector<std::string> rows;
        if (!m_error.empty()) {
            return rows;
        }
        sqlite3_stmt* raw = nullptr;
        if (sqlite3_prepare_v2(m_db.get(), sql, -1, &raw, nullptr) != SQLITE_OK) {
            m_error = sqlite3_errmsg(m_db.get());
            return rows;
        }
        const std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)> statement(
            raw, &sqlite3_finalize);
        int rc = SQLITE_ROW;
        while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
            const unsigned char* text = sqlite3_column_text(raw, 0);
            rows.emplace_back(text ? reinterpret_cast<const char*>(text) : "");
        }
        if (rc != SQLITE_DONE) {
            m_error = sqlite3_errmsg(m_db.get());
            rows.clear();
        }
        return rows;
    }
    long long count(const char* sql)
    {
        const std::vector<std::string> rows = column(sql);
        return rows.empty() ? -1 : std::atoll(rows.front().c_str());
    }
    const std::string& error() const { return m_error; }

private:
    std::unique_ptr<sqlite3, decltype(&sqlite3_close)> m_db{nullptr, &sqlite3_close};
    std::string m_error;
};

// "" when the database is sound, else what integrity_check (or opening) said.
std::string integrityProblem(const std::string& path)
{
    Database db(path);
    const std::vector<std::string> rows = db.column("PRAGMA integrity_check");
    if (!db.error().empty()) {
        return db.error();
    }
    if (rows.size() == 1 && rows.front() == "ok") {
        return {};
    }
    std::string problem;
    for (const std::string& row : rows) {
        problem += (problem.empty() ? "" : "; ") + row;
    }
    return problem;
}

// How often each item was told, and in which runs (by where in the logs).
struct Tellings
{
    std::map<std::string, std::vector<int>> pages;
    std::map<std::string, std::vector<int>> commands;
    int alerts = 0;
    int catchupAlerts = 0;
    std::set<std::string> caughtUp;
};

// Log offsets at each start, so that a line can be put to its run.
struct LogMarks
{
    std::vector<std::uintmax_t> pages;
    std::vector<std::uintmax_t> commands;
};

int runAt(const std::vector<std::uintmax_t>& marks, std::uintmax_t offset)
{
    return static_cast<int>(std::upper_bound(marks.begin(), marks.end(), offset) - marks.begin());
}

// Each line is one opened address, "...item.htm?id=<id>"; each command line
// one alert as JSON, its items' ids as "id":"<id>".
Tellings readTellings(const Folder& folder, const LogMarks& marks)
{
    Tellings told;
    std::istringstream pages(readFile(folder.pagesLog()));
    std::uintmax_t offset = 0;
    for (std::string line; std::getline(pages, line); offset += line.size() + 1) {
        const std::size_t at = line.find("id=");
        if (at != std::string::npos) {
            told.pages[line.substr(at + 3)].push_back(runAt(marks.pages, offset));
        }
    }
    std::istringstream commands(readFile(folder.commandsLog()));
    offset = 0;
    for (std::string line; std::getline(commands, line); offset += line.size() + 1) {
        if (line.empty()) {
            continue;
        }
        ++told.alerts;
        const bool catchup = line.find("\"catchup\":true") != std::string::npos;
        told.catchupAlerts += catchup ? 1 : 0;
        for (std::size_t at = line.find("\"id\""); at != std::string::npos;
             at = line.find("\"id\"", at + 1)) {
            std::size_t p = line.find_first_not_of(' ', at + 4);
            if (p == std::string::npos || line[p] != ':') {
                continue;
            }
            p = line.find_first_not_of(' ', p + 1);
            if (p == std::string::npos || line[p] != '"') {
                continue;
            }
            const std::size_t close = line.find('"', p + 1);
            const std::string id = line.substr(p + 1, close - p - 1);
            told.commands[id].push_back(runAt(marks.commands, offset));
            if (catchup) {
                told.caughtUp.insert(id);
            }
        }
    }
    return told;
}

struct RunRecord
{
    int kills = 0;
    int killsWhileChecking = 0;
    int launchesFailed = 0;
    std::vector<std::string> endedByThemselves;
    int integrityChecks = 0;
    std::vector<std::string> integrityFailures;
    std::string finalEnd;
    bool finalPassesSeen = false;
    bool finalQuiet = false;
};

std::string describeStatus(std::optional<int> status)
{
    if (!status) {
        return "killed after a time-out";
    }
    if (WIFEXITED(*status)) {
        return "exit " + std::to_string(WEXITSTATUS(*status));
    }
    return "signal " + std::to_string(WTERMSIG(*status));
}

class CrashBench
{
public:
    explicit CrashBench(Options options) : m_options(options), m_random(options.seed)
    {
        if (std::system("command -v xvfb-run >/dev/null 2>&1") != 0) {
            throw BenchError("xvfb-run is not installed (Debian: xvfb)");
        }
        if (!fs::exists(TIDEWATCH_EXE) || !fs::exists(TIDEWATCH_SETUP_EXE)) {
            throw BenchError("build tidewatch and tw-setup first");
        }
        if (!m_market.start()) {
            throw BenchError("the test marketplace could not listen on 127.0.0.1");
        }
        for (int w = 0; w < kWatches; ++w) {
            char key[8];
            std::snprintf(key, sizeof key, "w%02d", w);
            m_keys.emplace_back(key);
            m_market.setItems(key, {});
        }
        m_folder = prepareFolder(m_market, m_keys);
        m_lister = std::make_unique<Lister>(m_market, m_keys, options.seed + 1);
    }
    ~CrashBench()
    {
        m_program.reset();
        m_lister.reset();
        m_children.endStrays();
        if (!m_folder.dir.empty()) {
            if (m_options.keep) {
                std::fprintf(stderr, "bench_crash: the folder stays: %s\n", m_folder.dir.c_str());
            } else {
                std::error_code ec;
                fs::remove_all(m_folder.dir, ec);
            }
        }
    }
    CrashBench(const CrashBench&) = delete;
    CrashBench& operator=(const CrashBench&) = delete;

    void run()
    {
        const auto began = Clock::now();
        for (const std::string& key : m_keys) {
            for (int i = 0; i < kFirstItemsPerWatch; ++i) {
                m_lister->list(key);
            }
        }
        m_lister->start();
        std::uniform_real_distribution<double> lifeS(0.5, 3.0);
        while (m_record.kills < m_options.kills && Clock::now() - began < kKillBudget) {
            const int before = m_record.kills;
            killOnce(std::chrono::duration<double>(lifeS(m_random)));
            if (m_record.kills != before && m_record.kills % 10 == 0) {
                std::fprintf(stderr, "bench_crash: %d kills, %zu items listed, %.0f s\n",
                             m_record.kills, m_lister->listed().size(),
                             seconds(Clock::now() - began));
            }
        }
        // Nothing new from here on: the last run has all of it to tell.
        m_lister->stop();
        finalRun();
        m_strays = m_children.endStrays();
        m_took = Clock::now() - began;
        report();
    }

private:
    ProgramRun& launch()
    {
        for (int attempt = 0; attempt < 5; ++attempt) {
            m_marks.pages.push_back(fileSize(m_folder.pagesLog()));
            m_marks.commands.push_back(fileSize(m_folder.commandsLog()));
            m_program = std::make_unique<ProgramRun>(m_children, m_folder);
            if (m_program->waitUp(30s)) {
                return *m_program;
            }
            // Another xvfb-run may have taken the display first.
            ++m_record.launchesFailed;
            m_program.reset();
            m_marks.pages.pop_back();
            m_marks.commands.pop_back();
            std::this_thread::sleep_for(500ms);
        }
        throw BenchError("the program did not start five times in a row; see " +
                         m_folder.file("xvfb.log"));
    }

    void killOnce(std::chrono::duration<double> life)
    {
        const std::size_t requestsBefore = m_market.requestCount();
        ProgramRun& program = launch();
        const auto killAt = program.upSince() + std::chrono::duration_cast<Clock::duration>(life);
        while (Clock::now() < killAt && !program.ended()) {
            std::this_thread::sleep_for(5ms);
        }
        const int run = static_cast<int>(m_marks.pages.size());
        if (program.ended()) {
            m_record.endedByThemselves.push_back("run " + std::to_string(run) + ": " +
                                                 describeStatus(program.waitEnd(0s)));
        } else {
            program.signal(SIGKILL);
            m_record.kills += 1;
            m_record.killsWhileChecking += m_market.requestCount() > requestsBefore ? 1 : 0;
            program.waitEnd(15s);
        }
        m_program.reset();
        // Before the next start: what this run started counts to this run.
        m_children.waitAlone(3s);
        checkIntegrity("after run " + std::to_string(run));
    }

    void checkIntegrity(const std::string& when)
    {
        ++m_record.integrityChecks;
        if (const std::string problem = integrityProblem(m_folder.file("sys.mdb"));
            !problem.empty()) {
            m_record.integrityFailures.push_back(when + ": " + problem);
        }
    }

    // Two passes over every watch, then the logs quiet for kQuietFor.
    void finalRun()
    {
        const std::size_t firstRequest = m_market.requestCount();
        ProgramRun& program = launch();
        const auto passesBy = Clock::now() + 45s;
        while (!program.ended() && Clock::now() < passesBy) {
            if (passesSince(firstRequest) >= 2) {
                m_record.finalPassesSeen = true;
                break;
            }
            std::this_thread::sleep_for(100ms);
        }
        const auto quietBy = Clock::now() + 20s;
        auto sizes = std::pair(fileSize(m_folder.pagesLog()), fileSize(m_folder.commandsLog()));
        auto still = Clock::now();
        while (!program.ended() && Clock::now() < quietBy) {
            std::this_thread::sleep_for(100ms);
            const auto now =
                std::pair(fileSize(m_folder.pagesLog()), fileSize(m_folder.commandsLog()));
            if (now != sizes) {
                sizes = now;
                still = Clock::now();
            } else if (Clock::now() - still >= kQuietFor) {
                m_record.finalQuiet = true;
                break;
            }
        }
        if (program.ended()) {
            m_record.finalEnd = "it ended by itself, " + describeStatus(program.waitEnd(0s));
        } else {
            program.signal(SIGTERM);
            m_record.finalEnd = "SIGTERM, " + describeStatus(program.waitEnd(30s));
        }
        m_program.reset();
        checkIntegrity("after the last run");
    }

    // Passes since request number first: the fewest first-page requests of a watch.
    int passesSince(std::size_t first) const
    {
        const std::vector<test::MarketRequest> requests = m_market.requests();
        std::map<std::string, int> perKey;
        for (std::size_t i = first; i < requests.size(); ++i) {
            if (requests[i].offset <= 0) {
                ++perKey[requests[i].key];
            }
        }
        int fewest = perKey.size() < m_keys.size() ? 0 : 1 << 30;
        for (const auto& entry : perKey) {
            fewest = std::min(fewest, entry.second);
        }
        return fewest;
    }

    void report();

    Options m_options;
    std::mt19937 m_random;
    TestMarket m_market;
    std::vector<std::string> m_keys;
    Folder m_folder;
    Children m_children;
    std::unique_ptr<Lister> m_lister;
    std::unique_ptr<ProgramRun> m_program;
    LogMarks m_marks;
    RunRecord m_record;
    std::vector<std::string> m_strays;
    Clock::duration m_took{};
};

std::string runList(const std::vector<int>& runs)
{
    std::string text;
    for (const int run : runs) {
        text += (text.empty() ? "" : ",") + std::to_string(run);
    }
    return text;
}

void CrashBench::report()
{
    const std::vector<std::string> listed = m_lister->listed();
    const Tellings told = readTellings(m_folder, m_marks);
    Database db(m_folder.file("sys.mdb"));
    const long long rows = db.count("select count(*) from t_item");
    const std::vector<std::string> storedIds = db.column("select bbid from t_item");
    const std::set<std::string> stored(storedIds.begin(), storedIds.end());
    const long long untold = db.count("select count(*) from t_find where kind='new' and told=0");
    const long long queued = db.count("select count(*) from t_alert");

    int toldOnce = 0, twicePages = 0, twiceCommands = 0, twice = 0, notStored = 0;
    std::vector<std::string> lost, doubled;
    for (const std::string& id : listed) {
        const auto p = told.pages.find(id);
        const auto c = told.commands.find(id);
        const std::size_t pages = p == told.pages.end() ? 0 : p->second.size();
        const std::size_t commands = c == told.commands.end() ? 0 : c->second.size();
        notStored += stored.contains(id) ? 0 : 1;
        if (pages + commands == 0) {
            lost.push_back(id);
            continue;
        }
        ++toldOnce;
        twicePages += pages >= 2 ? 1 : 0;
        twiceCommands += commands >= 2 ? 1 : 0;
        if (pages >= 2 || commands >= 2) {
            ++twice;
            doubled.push_back(
                id + ": pages in runs [" + (pages ? runList(p->second) : std::string()) +
                "], commands in runs [" + (commands ? runList(c->second) : std::string()) + "]" +
                (told.caughtUp.contains(id) ? ", in a catch-up" : ""));
        }
    }
    const double share = listed.empty() ? 0.0 : double(twice) / double(listed.size());

    std::printf("bench_crash: %d SIGKILLs 0.5-3 s after a start (%d after its first request), "
                "then a last run (%s); seed %u, %.0f s\n",
                m_record.kills, m_record.killsWhileChecking, m_record.finalEnd.c_str(),
                m_options.seed, seconds(m_took));
    std::printf("%d watches, a new item every 0.1-0.6 s until the last run; parallel=8 "
                "keepwatching=1 pagestop=1 interval=1 openlimit=30 notify=0\n",
                kWatches);
    std::printf("%-52s %8s\n", "", "items");
    const auto row = [](const char* what, long long n) { std::printf("%-52s %8lld\n", what, n); };
    row("listed by the marketplace", static_cast<long long>(listed.size()));
    row("stored (t_item rows)", rows);
    row("listed but not stored", notStored);
    row("told at least once (page or command)", toldOnce);
    row("told twice or more: pages", twicePages);
    row("told twice or more: commands", twiceCommands);
    std::printf("%-52s %8d  (%.2f%% of listed)\n", "told twice or more: pages or commands", twice,
                100.0 * share);
    row("lost (listed, never told)", static_cast<long long>(lost.size()));
    row("told in a catch-up alert", static_cast<long long>(told.caughtUp.size()));
    row("finds never told at the end (t_find told=0)", untold);
    std::printf("%-52s %8s\n", "", "count");
    row("alerts the command heard", told.alerts);
    row("  of them catch-ups", told.catchupAlerts);
    row("alerts left on the queue at the end (t_alert)", queued);
    row("integrity checks", m_record.integrityChecks);
    row("integrity failures", static_cast<long long>(m_record.integrityFailures.size()));
    row("launches retried (Xvfb did not come up)", m_record.launchesFailed);
    row("runs that ended before their kill",
        static_cast<long long>(m_record.endedByThemselves.size()));
    row("stray processes ended at the end", static_cast<long long>(m_strays.size()));

    const auto examples = [](const char* what, const std::vector<std::string>& lines) {
        for (std::size_t i = 0; i < lines.size() && i < 10; ++i) {
            std::printf("  %s %s\n", what, lines[i].c_str());
        }
    };
    examples("lost:", lost);
    examples("told twice:", doubled);
    examples("integrity:", m_record.integrityFailures);
    examples("ended by itself:", m_record.endedByThemselves);
    examples("stray:", m_strays);
    if (!m_record.finalPassesSeen || !m_record.finalQuiet) {
        std::printf("  the last run %s\n", !m_record.finalPassesSeen
                                               ? "did not finish two passes in 45 s"
                                               : "did not go quiet for 2 s within 20 s");
    }

    bool met = true;
    if (!lost.empty()) {
        std::printf("GOAL MISSED: %zu items lost (goal 0)\n", lost.size());
        met = false;
    }
    if (share > kMaxTwiceShare) {
        std::printf("GOAL MISSED: %.2f%% told twice (goal at most 1%%)\n", 100.0 * share);
        met = false;
    }
    if (!m_record.integrityFailures.empty()) {
        std::printf("GOAL MISSED: %zu integrity failures (goal 0)\n",
                    m_record.integrityFailures.size());
        met = false;
    }
    if (met) {
        std::printf("goals met: 0 lost, at most 1%% told twice, 0 integrity failures\n");
    }
}

} // namespace
} // namespace tw::bench

int main(int argc, char** argv)
{
    try {
        tw::bench::CrashBench bench(tw::bench::parseOptions(argc, argv));
        bench.run();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_crash: %s\n", e.what());
        return 1;
    }
    return 0;
}
