// The worker against a real web server: nginx on loopback serves 100 watches
// x 8 result pages of realistic size, every id already stored. Side by side
// in one run: a plain libcurl loop over the same 800 URLs on one reused
// handle (the floor), the worker's session alone, and a full poll pass,
// one after the other in each round, so that a machine busy with other work
// slows all three alike. Wall time (median and best round) gives the ratio;
// this process's CPU time, which nginx's work is not part of, says where the
// difference comes from.
//
// Usage: bench_poll_nginx [rounds, default 10].
//
// Needs nginx (Debian's nginx-light); the benchmark starts its own on an
// ephemeral 127.0.0.1 port with a configuration and prefix in a temporary
// folder, and stops it at the end. TIDEWATCH_BENCH_DIR picks where that
// folder, and with it the page file, lives.

#include "bench/nginxserver.h"
#include "bench/passworker.h"
#include "engine/httpsession.h"
#include "tools/testmarket/testmarket.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <curl/curl.h>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

using tw::test::TestMarket;

constexpr int kWatches = 100;
constexpr int kPages = 8;
constexpr int kPageSize = TestMarket::kPageSize;

[[noreturn]] void fail(const std::string& why)
{
    std::fprintf(stderr, "bench_poll_nginx: %s\n", why.c_str());
    std::exit(1);
}

struct Environment
{
    Environment()
    {
        dir = tw::bench::NginxServer::makeBenchDir("tidewatch-nginx-bench");
        if (dir.empty()) {
            fail("cannot make a folder for the benchmark");
        }
        const std::string serverDir = dir + "server/";
        pageBytes = tw::bench::NginxServer::writeSearchPages(serverDir + "html", kWatches, kPages);
        if (!nginx.start(serverDir, "/${arg_q}_${arg_s}.html")) {
            fail("cannot start nginx (install nginx-light); see " + serverDir + "error.log");
        }

        std::filesystem::create_directories(dir + "app/");
        worker = std::make_unique<tw::bench::PassWorker>(dir + "app/", kWatches);
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
        worker->table.replaceAll(watches);
    }

    ~Environment()
    {
        worker.reset();
        nginx.stop();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    std::string dir;
    std::size_t pageBytes = 0;
    tw::bench::NginxServer nginx;
    std::vector<std::string> urls;
    std::unique_ptr<tw::bench::PassWorker> worker;
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

using Seconds = std::chrono::duration<double>;

double processCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// This process's CPU time of the last timed() run: far steadier than the
// wall clock on a machine that others share, and nginx's own work is not in it.
double lastCpu = 0;

template <typename F> double timed(F&& run)
{
    const double cpu = processCpuSeconds();
    const auto begin = std::chrono::steady_clock::now();
    run();
    const double wall = Seconds(std::chrono::steady_clock::now() - begin).count();
    lastCpu = processCpuSeconds() - cpu;
    return wall;
}

// The floor: the same 800 downloads on one reused handle, bodies discarded.
double plainLoop(CURL* h, const Environment& env)
{
    return timed([&] {
        for (const std::string& url : env.urls) {
            curl_easy_setopt(h, CURLOPT_URL, url.c_str());
            long status = 0;
            if (curl_easy_perform(h) != CURLE_OK ||
                curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK ||
                status != 200) {
                fail("a plain download failed: " + url + ": HTTP " + std::to_string(status));
            }
        }
    });
}

// The worker's session alone: the same downloads, each written to the page file.
double sessionLoop(tw::HttpSession& session, const Environment& env)
{
    return timed([&] {
        for (const std::string& url : env.urls) {
            const tw::Result<long> result = session.download(url, env.worker->paths.pageFile);
            if (!result) {
                fail("a session download failed: " + result.error());
            }
        }
    });
}

struct Figures
{
    std::vector<double> seconds;
    std::vector<double> cpu;

    void add(double wall)
    {
        seconds.push_back(wall);
        cpu.push_back(lastCpu);
    }
    double cpuMedian() const
    {
        std::vector<double> sorted = cpu;
        std::sort(sorted.begin(), sorted.end());
        return sorted[sorted.size() / 2];
    }

    double min() const { return *std::min_element(seconds.begin(), seconds.end()); }
    double median() const
    {
        std::vector<double> sorted = seconds;
        std::sort(sorted.begin(), sorted.end());
        return sorted[sorted.size() / 2];
    }
};

void print(const char* what, const Figures& f, std::size_t pages)
{
    std::printf("%-20s median %6.1f ms (%5.0f pages/s)  best %6.1f ms (%5.0f pages/s)  "
                "our CPU %5.1f ms\n",
                what, f.median() * 1000, double(pages) / f.median(), f.min() * 1000,
                double(pages) / f.min(), f.cpuMedian() * 1000);
}

} // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    curl_global_init(CURL_GLOBAL_DEFAULT);
    Environment& env = environment();
    std::printf("nginx on 127.0.0.1:%d, %zu pages of %zu bytes on average\n", env.nginx.port(),
                env.urls.size(), env.pageBytes / env.urls.size());

    // Steady state: every item seen by an earlier pass, as between two new
    // listings. The first pass, which stores all 32000 items, is not timed.
    const double first = timed([&] {
        if (env.worker->start() != 0) {
            fail("the first pass failed");
        }
    });
    std::printf("first pass, storing every item: %.1f s (not counted)\n", first);

    CURL* h = curl_easy_init();
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &discard);
    // The same bytes on the wire as the worker's session asks for.
    curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, "");
    auto session = tw::HttpSession::open();
    if (!session) {
        fail("cannot open a session");
    }
    Figures plain;
    Figures alone;
    Figures pass;
    for (int round = 0; round < rounds; ++round) {
        plain.add(plainLoop(h, env));
        alone.add(sessionLoop(*session, env));
        int failed = 0;
        pass.add(timed([&] { failed = env.worker->runPass(); }));
        if (failed != 0) {
            fail(std::to_string(failed) + " checks of a pass failed");
        }
    }
    curl_easy_cleanup(h);

    const std::size_t pages = env.urls.size();
    std::printf("%d rounds of %zu pages each:\n", rounds, pages);
    print("plain libcurl loop", plain, pages);
    print("session alone", alone, pages);
    print("poll pass", pass, pages);
    std::printf("session / plain loop: %.2f (median), %.2f (best)\n",
                plain.median() / alone.median(), plain.min() / alone.min());
    std::printf("poll pass / plain loop: %.2f (median), %.2f (best); goal at least 0.85\n",
                plain.median() / pass.median(), plain.min() / pass.min());
    return 0;
}
