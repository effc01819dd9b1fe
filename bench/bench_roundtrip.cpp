// The worker at a real network's round trip: nginx on loopback serves 100
// watches x 8 result pages of realistic size, every id already stored, and a
// delaying proxy of our own (bench/delayproxy.h) puts 0, 30, 100 or 250 ms of
// round trip between it and the client. Over HTTP/1.1 (plain) and over HTTP/2
// (TLS with ALPN; the benchmark makes a self-signed certificate with openssl
// and hands it to the session as its CA file) it times steady passes with
// `parallel` 1, 4, 8, 16 and `pagestop` 0 and 1. Beside each pass: the floor,
// `curl --parallel --parallel-max N` over the URLs that pass asked for (each
// watch's first page with pagestop), and the peak of this process's
// Private_Dirty during the pass (and how far above its level before it). The
// passes run with parallel rising, so memory kept from one shows in the next.
// Memory is sampled during a first pass; passes and floors shorter than 2 s
// are then repeated (up to 9 times) and their medians are compared. Over
// HTTP/1.1 the session opens at most 4 connections to a host, so at most 4
// transfers are in flight: the ratio compares with the floor at that number.
//
// Usage: bench_roundtrip [--rtt=0,30,100,250] [--proto=h1,h2]
//                        [--parallel=1,4,8,16] [--pagestop=0,1]
// The whole default run takes about 37 minutes, most of it the passes and
// floors with one request at a time at 250 ms; pick fewer values to go faster.
//
// Needs nginx (nginx-light, whose nginx has the http2 and ssl modules), curl
// 7.66 or later (--parallel) and openssl. TIDEWATCH_BENCH_DIR picks where the
// temporary folder lives.

#include "bench/delayproxy.h"
#include "bench/nginxserver.h"
#include "bench/passworker.h"
#include "bench/privatedirty.h"
#include "tools/testmarket/testmarket.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <curl/curl.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

using tw::bench::privateDirtyKb;

namespace {

using tw::test::TestMarket;
using Seconds = std::chrono::duration<double>;

constexpr int kWatches = 100;
constexpr int kPages = 8;
constexpr int kPageSize = TestMarket::kPageSize;
// The session's own limit of connections to one host over HTTP/1.1.
constexpr int kHttp1Connections = 4;

[[noreturn]] void fail(const std::string& why)
{
    std::fprintf(stderr, "bench_roundtrip: %s\n", why.c_str());
    std::exit(1);
}

std::vector<std::string> fields(const std::string& text)
{
    std::vector<std::string> values;
    std::stringstream in(text);
    for (std::string item; std::getline(in, item, ',');) {
        values.push_back(item);
    }
    return values;
}

std::vector<int> intList(const std::string& text)
{
    std::vector<int> values;
    for (const std::string& item : fields(text)) {
        values.push_back(std::atoi(item.c_str()));
    }
    return values;
}

struct Options
{
    std::vector<int> rtts{0, 30, 100, 250};
    std::vector<std::string> protos{"h1", "h2"};
    std::vector<int> parallels{1, 4, 8, 16};
    std::vector<int> pagestops{0, 1};

    Options(int argc, char** argv)
    {
        for (int i = 1; i < argc; ++i) {
            const std::string arg = argv[i];
            const std::size_t eq = arg.find('=');
            const std::string key = arg.substr(0, eq);
            const std::string value = eq == std::string::npos ? "" : arg.substr(eq + 1);
            if (key == "--rtt") {
                rtts = intList(value);
            } else if (key == "--proto") {
                protos = fields(value);
            } else if (key == "--parallel") {
                parallels = intList(value);
            } else if (key == "--pagestop") {
                pagestops = intList(value);
            } else {
                fail("unknown argument " + arg);
            }
        }
    }
};

// Runs a program and waits for it; its exit status, or -1.
int runProgram(std::vector<std::string> args, bool quiet = false)
{
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (quiet) {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        return -1;
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

// The highest Private_Dirty while it runs, sampled every 2 ms.
class PeakSampler
{
public:
    PeakSampler()
        : m_peak(privateDirtyKb()), m_thread([this] {
              while (!m_stop) {
                  m_peak = std::max(m_peak.load(), privateDirtyKb());
                  std::this_thread::sleep_for(std::chrono::milliseconds(2));
              }
          })
    {}
    long stop()
    {
        m_stop = true;
        m_thread.join();
        return std::max(m_peak.load(), privateDirtyKb());
    }

private:
    std::atomic<bool> m_stop{false};
    std::atomic<long> m_peak;
    std::thread m_thread;
};

// One way of reaching nginx through the proxy, with a worker of its own.
struct Route
{
    std::string name;
    std::string origin;
    std::string caFile;
    std::unique_ptr<tw::bench::PassWorker> worker;
    // Every page's URL, and each watch's first page's, as curl asks them.
    std::string allUrls;
    std::string firstUrls;
};

struct Environment
{
    Environment(const Options& options)
    {
        dir = tw::bench::NginxServer::makeBenchDir("tidewatch-roundtrip-bench");
        if (dir.empty()) {
            fail("cannot make a folder for the benchmark");
        }
        const std::string serverDir = dir + "server/";
        pageBytes = tw::bench::NginxServer::writeSearchPages(serverDir + "html", kWatches, kPages);

        cert = dir + "cert.pem";
        const std::string key = dir + "key.pem";
        if (runProgram({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", key, "-out", cert,
                        "-days", "2", "-subj", "/CN=127.0.0.1", "-addext",
                        "subjectAltName=IP:127.0.0.1"},
                       true) != 0) {
            fail("cannot make a certificate (install openssl)");
        }
        nginx.enableTls(cert, key);
        if (!nginx.start(serverDir, "/${arg_q}_${arg_s}.html")) {
            fail("cannot start nginx (install nginx-light); see " + serverDir + "error.log");
        }
        // Forks: before any thread of ours exists.
        if (!proxy.start({nginx.port(), nginx.tlsPort()})) {
            fail("cannot start the delaying proxy");
        }

        for (const std::string& name : options.protos) {
            Route route;
            route.name = name == "h1" ? "HTTP/1.1" : "HTTP/2+TLS";
            if (name == "h1") {
                route.origin = "http://127.0.0.1:" + std::to_string(proxy.port(0));
            } else if (name == "h2") {
                route.origin = "https://127.0.0.1:" + std::to_string(proxy.port(1));
                route.caFile = cert;
            } else {
                fail("unknown protocol " + name + " (h1 or h2)");
            }
            const std::string appDir = dir + "app-" + name + "/";
            std::filesystem::create_directories(appDir);
            route.worker = std::make_unique<tw::bench::PassWorker>(appDir, kWatches);
            route.worker->session.caFile = route.caFile;
            std::vector<tw::Watch> watches;
            for (int w = 0; w < kWatches; ++w) {
                const std::string keyName = "key" + std::to_string(w);
                const std::string url = route.origin + "/search?cat=1&q=" + keyName + "&sort=new";
                watches.push_back({url, keyName});
                for (int page = 0; page < kPages; ++page) {
                    const std::string line = "url = \"" + url +
                                             "&vk1=123456&s=" + std::to_string(page * kPageSize) +
                                             "\"\noutput = \"/dev/null\"\n";
                    route.allUrls += line;
                    if (page == 0) {
                        route.firstUrls += line;
                    }
                }
            }
            route.worker->table.replaceAll(watches);
            routes.push_back(std::move(route));
        }
    }

    ~Environment()
    {
        routes.clear();
        proxy.stop();
        nginx.stop();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    // The floor: curl with up to n transfers in flight over the URLs of the
    // config text, bodies discarded. Seconds.
    double curlFloor(const Route& route, const std::string& urls, int n)
    {
        const std::string config = dir + "curl.conf";
        std::ofstream(config, std::ios::trunc) << urls;
        std::vector<std::string> args = {
            "curl",           "--no-progress-meter", "--fail",   "--compressed", "--parallel",
            "--parallel-max", std::to_string(n),     "--config", config};
        if (!route.caFile.empty()) {
            args.push_back("--cacert");
            args.push_back(route.caFile);
        }
        const auto begin = std::chrono::steady_clock::now();
        const int status = runProgram(args);
        const double seconds = Seconds(std::chrono::steady_clock::now() - begin).count();
        if (status == 2) {
            fail("curl does not know --parallel (it needs 7.66 or later)");
        }
        if (status != 0) {
            fail("curl failed with status " + std::to_string(status));
        }
        return seconds;
    }

    std::string dir;
    std::string cert;
    std::size_t pageBytes = 0;
    tw::bench::NginxServer nginx;
    tw::bench::DelayProxy proxy;
    std::vector<Route> routes;
};

// Passes shorter than this in all are repeated, up to kMaxRepeats times.
constexpr double kRepeatWithin = 2.0;
constexpr std::size_t kMaxRepeats = 9;

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

// One steady pass; seconds.
double timedPass(tw::bench::PassWorker& worker)
{
    const auto begin = std::chrono::steady_clock::now();
    if (const int failed = worker.runPass(); failed != 0) {
        fail(std::to_string(failed) + " checks of a pass failed");
    }
    return Seconds(std::chrono::steady_clock::now() - begin).count();
}

struct Row
{
    double pass = 0;
    double floor = 0;
    double peakMiB = 0;
    double peakAboveMiB = 0;
};

} // namespace

int main(int argc, char** argv)
{
    const Options options(argc, argv);
    Environment env(options);
    curl_global_init(CURL_GLOBAL_DEFAULT);
    std::printf("nginx on 127.0.0.1:%d (HTTP/1.1) and :%d (HTTP/2, TLS) behind the delaying "
                "proxy; %d watches x %d pages of %zu bytes on average\n",
                env.nginx.port(), env.nginx.tlsPort(), kWatches, kPages,
                env.pageBytes / (kWatches * kPages));

    // The first pass of each route stores every item; it runs without delay
    // and is not counted. From then on every pass is a steady one.
    for (Route& route : env.routes) {
        route.worker->settings.parallel = 8;
        if (route.worker->start() != 0) {
            fail("the first pass over " + route.name + " failed");
        }
    }

    const auto began = std::chrono::steady_clock::now();
    std::printf("\n%6s  %-10s  %8s  %8s  %9s  %9s  %13s  %s\n", "rtt ms", "protocol", "pagestop",
                "parallel", "pass s", "curl s", "pass/curl", "peak MiB (above before the pass)");
    for (const int rtt : options.rtts) {
        env.proxy.setRoundTrip(std::chrono::milliseconds(rtt));
        for (Route& route : env.routes) {
            for (const int pagestop : options.pagestops) {
                std::map<int, Row> rows;
                for (const int parallel : options.parallels) {
                    tw::bench::PassWorker& worker = *route.worker;
                    worker.settings.pagestop = pagestop;
                    worker.settings.parallel = parallel;
                    if (worker.restart() != 0) {
                        fail("a pass over " + route.name + " failed");
                    }
                    Row row;
                    // The first pass is sampled for memory. Sampling costs
                    // CPU the floor does not pay, so a pass short enough to
                    // be repeated is timed only in the repeats, and the
                    // median is taken, as of the floor.
                    PeakSampler sampler;
                    const long before = privateDirtyKb();
                    const double first = timedPass(worker);
                    const long peak = sampler.stop();
                    row.peakMiB = double(peak) / 1024.0;
                    row.peakAboveMiB = double(peak - before) / 1024.0;
                    std::vector<double> passes;
                    if (first >= kRepeatWithin) {
                        passes.push_back(first);
                    }
                    for (double spent = passes.empty() ? 0.0 : first;
                         passes.empty() ||
                         (passes.size() < kMaxRepeats && spent < kRepeatWithin);) {
                        passes.push_back(timedPass(worker));
                        spent += passes.back();
                    }
                    row.pass = median(passes);
                    std::vector<double> floorRuns;
                    for (std::size_t n = 0; n < passes.size(); ++n) {
                        floorRuns.push_back(env.curlFloor(
                            route, pagestop ? route.firstUrls : route.allUrls, parallel));
                    }
                    row.floor = median(floorRuns);
                    rows[parallel] = row;
                    // The floor with as many transfers in flight as the pass had.
                    const int inFlight =
                        route.name == "HTTP/1.1" ? std::min(parallel, kHttp1Connections) : parallel;
                    const double same = rows.contains(inFlight) ? rows[inFlight].floor : row.floor;
                    std::printf("%6d  %-10s  %8d  %8d  %9.3f  %9.3f  %6.2f%s  %8.2f (%+.2f)\n", rtt,
                                route.name.c_str(), pagestop, parallel, row.pass, row.floor,
                                row.pass / same,
                                inFlight != parallel
                                    ? (" (vs " + std::to_string(inFlight) + ")").c_str()
                                    : "       ",
                                row.peakMiB, row.peakAboveMiB);
                    std::fflush(stdout);
                }
                if (rows.contains(1) && rows.contains(16)) {
                    std::printf("%6s  peak with parallel 16 is %+.2f MiB from parallel 1 (goal at "
                                "most +6)\n",
                                "", rows[16].peakMiB - rows[1].peakMiB);
                }
            }
        }
    }
    std::printf("\nwhole run %.0f s\n", Seconds(std::chrono::steady_clock::now() - began).count());
    for (Route& route : env.routes) {
        route.worker->stop();
    }
    return 0;
}
