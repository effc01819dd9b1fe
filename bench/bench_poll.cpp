// One poll pass over 100 watches of 8 result pages each against the local
// test marketplace, next to a plain libcurl loop that downloads the same 800
// pages on one reused handle: the floor of what any watcher could do. The
// pass runs with pagestop off and on: on a search sorted newest first with
// nothing new, a check then stops after its first page (800 requests -> 100).

#include "bench/nginxserver.h"
#include "bench/passworker.h"
#include "engine/httpsession.h"
#include "tools/testmarket/testmarket.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <curl/curl.h>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

using tw::test::TestMarket;

constexpr int kWatches = 100;
constexpr int kPages = 8;

struct Environment
{
    explicit Environment(bool pageStop)
    {
        // The page and titles files are rewritten for every page and watch, so
        // the file system under them counts: TIDEWATCH_BENCH_DIR picks it.
        dir = tw::bench::NginxServer::makeBenchDir("tidewatch-bench");
        if (dir.empty()) {
            std::fprintf(stderr, "cannot make a folder for the benchmark\n");
            std::exit(1);
        }
        worker = std::make_unique<tw::bench::PassWorker>(dir, kWatches);
        market.start();
        std::vector<tw::Watch> watches;
        for (int w = 0; w < kWatches; ++w) {
            const std::string key = "key" + std::to_string(w);
            market.setItems(key, TestMarket::makeItems(kPages * TestMarket::kPageSize,
                                                       700000000001LL + 1000LL * w));
            watches.push_back({market.searchUrl(key), key});
            for (int page = 0; page < kPages; ++page) {
                urls.push_back(market.searchUrl(key) +
                               "&vk1=123456&s=" + std::to_string(page * TestMarket::kPageSize));
            }
        }
        worker->table.replaceAll(watches);
        worker->settings.pagestop = pageStop ? 1 : 0;
    }
    ~Environment()
    {
        worker.reset();
        market.stop();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    std::string dir;
    TestMarket market;
    std::vector<std::string> urls;
    std::unique_ptr<tw::bench::PassWorker> worker;
};

// One per pagestop value, each with its own market, store and worker: a
// worker keeps the settings it started with.
Environment& environment(bool pageStop = false)
{
    if (pageStop) {
        static Environment on(true);
        return on;
    }
    static Environment off(false);
    return off;
}

size_t discard(char*, size_t size, size_t count, void*)
{
    return size * count;
}

void BM_PlainCurlLoop(benchmark::State& state)
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
                state.SkipWithError("a plain download failed");
                break;
            }
        }
    }
    curl_easy_cleanup(h);
    state.counters["pages/s"] = benchmark::Counter(
        double(env.urls.size()) * double(state.iterations()), benchmark::Counter::kIsRate);
}

// The worker's session alone: the same downloads, each written to the page file.
void BM_SessionLoop(benchmark::State& state)
{
    Environment& env = environment();
    auto session = tw::HttpSession::open();
    for (auto _ : state) {
        for (const std::string& url : env.urls) {
            if (!session->download(url, env.worker->paths.pageFile).ok()) {
                state.SkipWithError("a session download failed");
                break;
            }
        }
    }
    state.counters["pages/s"] = benchmark::Counter(
        double(env.urls.size()) * double(state.iterations()), benchmark::Counter::kIsRate);
}

// Steady state: one worker, every item seen by an earlier pass, as between two
// new listings. The first pass, which stores all 32000 items, is not timed.
// Argument: pagestop. requests/pass counts what the market answered.
void BM_PollPass(benchmark::State& state)
{
    Environment& env = environment(state.range(0) != 0);
    if (!env.worker->started() && env.worker->start() != 0) {
        state.SkipWithError("the first pass failed");
        return;
    }
    const std::size_t before = env.market.requestCount();
    for (auto _ : state) {
        if (env.worker->runPass() != 0) {
            state.SkipWithError("a check failed");
            break;
        }
    }
    const double passes = double(state.iterations());
    state.counters["requests/pass"] = double(env.market.requestCount() - before) / passes;
    state.counters["pages/s"] =
        benchmark::Counter(double(env.market.requestCount() - before), benchmark::Counter::kIsRate);
}

BENCHMARK(BM_PlainCurlLoop)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);
BENCHMARK(BM_SessionLoop)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);
BENCHMARK(BM_PollPass)
    ->ArgName("pagestop")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(3.0);

// Prints the ratio of the two rates after the usual table.
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

    std::map<std::string, double> rates;
};

} // namespace

int main(int argc, char** argv)
{
    curl_global_init(CURL_GLOBAL_DEFAULT);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    double plain = 0;
    double poll = 0;
    for (const auto& [name, rate] : reporter.rates) {
        if (name.starts_with("BM_PlainCurlLoop")) {
            plain = rate;
        } else if (name.starts_with("BM_PollPass/pagestop:0")) {
            poll = rate;
        }
    }
    if (plain > 0 && poll > 0) {
        std::printf("poll pass %.0f pages/s, plain loop %.0f pages/s, ratio %.2f (goal 0.80)\n",
                    poll, plain, poll / plain);
    }
    benchmark::Shutdown();
    return 0;
}
