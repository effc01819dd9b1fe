// The worker against a real web server: nginx on loopback serves 100 watches
// x 8 result pages of realistic size, every id already stored. Side by side
// in one run: a plain libcurl loop over the same 800 URLs on one reused
// handle (the floor), the worker's session alone, and a full poll pass.
//
// Needs nginx (Debian's nginx-light); the benchmark starts its own on an
// ephemeral 127.0.0.1 port with a configuration and prefix in a temporary
// folder, and stops it at the end. TIDEWATCH_BENCH_DIR picks where that
// folder, and with it the page file, lives.

#include "core/apppaths.h"
#include "core/runflag.h"
#include "core/runsettings.h"
#include "core/watchtable.h"
#include "core/zuvira.h"
#include "engine/httpsession.h"
#include "engine/pollclock.h"
#include "engine/pollmessages.h"
#include "engine/pollthread.h"
#include "store/itemdb.h"
#include "store/schema.h"
#include "testmarket/resultpage.h"
#include "testmarket/testmarket.h"

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <curl/curl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using tw::test::MarketItem;
using tw::test::TestMarket;

constexpr int kWatches = 100;
constexpr int kPages = 8;
constexpr int kPageSize = TestMarket::kPageSize;

// Sleeps pass at once: a pass never waits for the next tick here.
class NoWaitClock : public tw::PollClock
{
public:
    void sleepFor(std::chrono::milliseconds) override {}
    void interrupt() override {}
};

// Lets one long-running worker make one pass at a time: after the last
// watch's check it reports the pass and waits for the next go. Blocking here
// is fine for a benchmark, never for a window.
class PassSink : public tw::PollSink
{
public:
    void postMessage(unsigned msg, std::intptr_t wParam, std::intptr_t lParam) override
    {
        if (msg != tw::WM_POLL_PROGRESS || wParam == tw::PROGRESS_BEGIN) {
            return;
        }
        std::unique_lock lock(m_mutex);
        if (wParam == tw::PROGRESS_FAILED) {
            ++m_failures;
        }
        if (lParam == kWatches - 1) {
            m_passDone = true;
            m_changed.notify_all();
            m_changed.wait(lock, [this] { return m_go; });
            m_go = false;
        }
    }

    int runPass()
    {
        std::unique_lock lock(m_mutex);
        m_failures = 0;
        m_passDone = false;
        m_go = true;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return m_passDone; });
        return m_failures;
    }

    int firstPass()
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return m_passDone; });
        return m_failures;
    }

    void release()
    {
        std::lock_guard lock(m_mutex);
        m_go = true;
        m_changed.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_passDone = false;
    bool m_go = false;
    int m_failures = 0;
};

[[noreturn]] void fail(const std::string& why)
{
    std::fprintf(stderr, "bench_poll_nginx: %s\n", why.c_str());
    std::exit(1);
}

// A port that was free a moment ago; nginx may still lose it to another
// program, so the caller retries.
int freeLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    int port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
        port = ntohs(addr.sin_port);
    }
    if (fd >= 0) {
        ::close(fd);
    }
    return port;
}

bool accepts(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    if (fd >= 0) {
        ::close(fd);
    }
    return ok;
}

// nginx in the foreground as a child process, with everything it writes
// inside its prefix folder.
class Nginx
{
public:
    ~Nginx() { stop(); }

    // Serves prefix/html; the search URL's q and s pick the file
    // "<q>_<s>.html", so the real request URLs with "&vk1=" hit it.
    bool start(const std::string& prefix)
    {
        for (int attempt = 0; attempt < 5; ++attempt) {
            m_port = freeLoopbackPort();
            if (m_port != 0 && launch(prefix)) {
                return true;
            }
        }
        return false;
    }

    void stop()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGQUIT);
            int status = 0;
            ::waitpid(m_pid, &status, 0);
            m_pid = -1;
        }
    }

    int port() const { return m_port; }

private:
    bool launch(const std::string& prefix)
    {
        const std::string conf = prefix + "nginx.conf";
        std::ofstream out(conf, std::ios::trunc);
        out << "worker_processes 1;\n"
               "error_log "
            << prefix << "error.log;\n"
            << "pid " << prefix << "nginx.pid;\n"
            << "events { worker_connections 64; }\n"
               "http {\n"
               "  access_log off;\n"
               "  default_type text/html;\n"
               "  keepalive_requests 1000000;\n"
               "  client_body_temp_path " << prefix << "tmp/body;\n"
            << "  proxy_temp_path " << prefix << "tmp/proxy;\n"
            << "  fastcgi_temp_path " << prefix << "tmp/fastcgi;\n"
            << "  uwsgi_temp_path " << prefix << "tmp/uwsgi;\n"
            << "  scgi_temp_path " << prefix << "tmp/scgi;\n"
            << "  server {\n"
               "    listen 127.0.0.1:" << m_port << ";\n"
            << "    root " << prefix << "html;\n"
            << "    location = /search { try_files /${arg_q}_${arg_s}.html =404; }\n"
               "  }\n"
               "}\n";
        out.close();
        std::filesystem::create_directories(prefix + "tmp");

        const std::string errorLog = prefix + "error.log";
        std::vector<std::string> args = {"nginx", "-p", prefix, "-e", errorLog, "-c", conf,
                                         "-g", "daemon off;"};
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        pid_t pid = -1;
        if (posix_spawnp(&pid, "nginx", nullptr, nullptr, argv.data(), environ) != 0) {
            // Debian keeps it in /usr/sbin, which a plain user's PATH may lack.
            if (posix_spawn(&pid, "/usr/sbin/nginx", nullptr, nullptr, argv.data(), environ) !=
                0) {
                return false;
            }
        }
        for (int waited = 0; waited < 500; ++waited) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                return false; // the port was taken after all, or a bad set-up
            }
            if (accepts(m_port)) {
                m_pid = pid;
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        return false;
    }

    int m_port = 0;
    pid_t m_pid = -1;
};

struct Environment
{
    Environment()
    {
        const char* base = std::getenv("TIDEWATCH_BENCH_DIR");
        std::string templ =
            std::string(base && *base ? base : "/tmp") + "/tidewatch-nginx-bench-XXXXXX";
        if (!mkdtemp(templ.data())) {
            fail("cannot make " + templ);
        }
        dir = templ + "/";
        // Run by root, nginx serves as an unprivileged user, which must be
        // able to reach the pages.
        std::filesystem::permissions(dir, std::filesystem::perms::others_exec |
                                              std::filesystem::perms::group_exec,
                                     std::filesystem::perm_options::add);
        const std::string serverDir = dir + "server/";
        std::filesystem::create_directories(serverDir + "html");

        for (int w = 0; w < kWatches; ++w) {
            const std::string key = "key" + std::to_string(w);
            const std::vector<MarketItem> items =
                TestMarket::makeItems(kPages * kPageSize, 700000000001LL + 1000LL * w);
            for (int page = 0; page < kPages; ++page) {
                const int offset = page * kPageSize;
                const std::string body = tw::test::renderResultPage(
                    std::span(items).subspan(offset, kPageSize), offset, int(items.size()));
                pageBytes += body.size();
                std::ofstream(serverDir + "html/" + key + "_" + std::to_string(offset) + ".html",
                              std::ios::binary)
                    << body;
            }
        }
        if (!nginx.start(serverDir)) {
            fail("cannot start nginx (install nginx-light); see " + serverDir + "error.log");
        }

        appDir = dir + "app/";
        std::filesystem::create_directories(appDir);
        paths = tw::AppPaths::under(appDir);
        std::vector<tw::Watch> watches;
        const std::string origin = "http://127.0.0.1:" + std::to_string(nginx.port());
        for (int w = 0; w < kWatches; ++w) {
            const std::string key = "key" + std::to_string(w);
            const std::string url = origin + "/search?cat=1&q=" + key + "&sort=new";
            watches.push_back({url, key});
            for (int page = 0; page < kPages; ++page) {
                urls.push_back(url + "&vk1=123456&s=" + std::to_string(page * kPageSize));
            }
        }
        table.replaceAll(watches);
        tw::createItemDatabase(appDir + "sys.mdb");
        db.setConnStr(tw::CCore::getDbConnStrMdb(appDir + "sys.mdb"));
        settings.interval = 1;
    }

    ~Environment()
    {
        if (worker) {
            runFlag.requestStop();
            sink.release();
            worker->join();
        }
        nginx.stop();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    // Starts the worker; its first pass stores every item. The failed checks.
    int start()
    {
        worker = std::make_unique<tw::CPollThread>(
            tw::PollThreadParams{sink, table, runFlag, settings, paths, db, core, {}, {}, &clock});
        if (!worker->CreateThread()) {
            return kWatches;
        }
        return sink.firstPass();
    }

    std::string dir;
    std::string appDir;
    std::size_t pageBytes = 0;
    Nginx nginx;
    std::vector<std::string> urls;
    tw::CCore core{nullptr, "/tmp/"};
    tw::AppPaths paths;
    tw::RunSettings settings;
    tw::WatchTable table;
    tw::RunFlag runFlag;
    tw::CItemDb db;
    PassSink sink;
    NoWaitClock clock;
    std::unique_ptr<tw::CPollThread> worker;
};

Environment& environment()
{
    static Environment env;
    return env;
}

size_t discard(char*, size_t size, size_t count, void*)
{
    return size * count;
}

void setPages(benchmark::State& state, const Environment& env)
{
    state.counters["pages/s"] = benchmark::Counter(
        double(env.urls.size()) * double(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_NginxPlainCurlLoop(benchmark::State& state)
{
    Environment& env = environment();
    CURL* h = curl_easy_init();
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &discard);
    // The same bytes on the wire as the worker's session asks for.
    curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, "");
    for (auto _ : state) {
        for (const std::string& url : env.urls) {
            curl_easy_setopt(h, CURLOPT_URL, url.c_str());
            long status = 0;
            if (curl_easy_perform(h) != CURLE_OK ||
                curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK ||
                status != 200) {
                state.SkipWithError(("a plain download failed: " + url + ": HTTP " +
                                     std::to_string(status))
                                        .c_str());
                break;
            }
        }
    }
    curl_easy_cleanup(h);
    setPages(state, env);
}

// The worker's session alone: the same downloads, each written to the page file.
void BM_NginxSessionLoop(benchmark::State& state)
{
    Environment& env = environment();
    auto session = tw::HttpSession::open();
    for (auto _ : state) {
        for (const std::string& url : env.urls) {
            const tw::Result<long> result = session->download(url, env.paths.pageFile);
            if (!result) {
                state.SkipWithError(("a session download failed: " + result.error()).c_str());
                break;
            }
        }
    }
    setPages(state, env);
}

// Steady state: every item seen by an earlier pass, as between two new
// listings. The first pass, which stores all 32000 items, is not timed.
void BM_NginxPollPass(benchmark::State& state)
{
    Environment& env = environment();
    if (!env.worker) {
        const auto begin = std::chrono::steady_clock::now();
        if (env.start() != 0) {
            state.SkipWithError("the first pass failed");
            return;
        }
        // A profiler attached from here on sees only steady passes.
        std::fprintf(stderr, "first pass, storing every item, took %.1f s\n",
                     std::chrono::duration<double>(std::chrono::steady_clock::now() - begin)
                         .count());
    }
    for (auto _ : state) {
        if (env.sink.runPass() != 0) {
            state.SkipWithError("a check failed");
            break;
        }
    }
    setPages(state, env);
}

BENCHMARK(BM_NginxPlainCurlLoop)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);
BENCHMARK(BM_NginxSessionLoop)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);
BENCHMARK(BM_NginxPollPass)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

// Keeps the rates so that the ratios can be printed after the usual table.
class RatioReporter : public benchmark::ConsoleReporter
{
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            const auto it = run.counters.find("pages/s");
            if (it != run.counters.end() && !run.error_occurred) {
                rates[run.benchmark_name()] = it->second.value;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    double rate(const std::string& prefix) const
    {
        for (const auto& [name, value] : rates) {
            if (name.starts_with(prefix)) {
                return value;
            }
        }
        return 0;
    }

    std::map<std::string, double> rates;
};

} // namespace

int main(int argc, char** argv)
{
    curl_global_init(CURL_GLOBAL_DEFAULT);
    benchmark::Initialize(&argc, argv);
    const Environment& env = environment();
    std::printf("nginx on 127.0.0.1:%d, %zu pages of %zu bytes on average\n", env.nginx.port(),
                env.urls.size(), env.pageBytes / env.urls.size());
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double plain = reporter.rate("BM_NginxPlainCurlLoop");
    const double session = reporter.rate("BM_NginxSessionLoop");
    const double pass = reporter.rate("BM_NginxPollPass");
    if (plain > 0 && session > 0) {
        std::printf("session %.0f pages/s, plain loop %.0f pages/s, ratio %.2f\n", session, plain,
                    session / plain);
    }
    if (plain > 0 && pass > 0) {
        std::printf("poll pass %.0f pages/s, plain loop %.0f pages/s, ratio %.2f (goal 0.85)\n",
                    pass, plain, pass / plain);
    }
    benchmark::Shutdown();
    return 0;
}
