// Extraction of one result page against the bare scan for the block start
// marker over the same bytes. Goal: parsing costs at most twice the scan.
#include "core/zuvira.h"
#include "engine/pageparser.h"
#include "tools/testmarket/resultpage.h"

#include <benchmark/benchmark.h>
#include <cstring>
#include <string>
#include <vector>

namespace {

// 40 items with titles of mixed Chinese and ASCII, padded to ~150 KB as a
// real page is.
const std::string& samplePage()
{
    static const std::string page = [] {
        std::vector<tw::test::MarketItem> items;
        for (int i = 0; i < 40; ++i) {
            const std::string id = std::to_string(650000000000LL + i * 7919);
            items.push_back({id, "二手 数码相机 Model-" + std::to_string(i) +
                                     " 九成新 带原装镜头 包邮 全国联保 送存储卡"});
        }
        std::string text = tw::test::renderResultPage(items, 0, 40);
        // Bring it to 150 KB with the kind of trailing script a page carries.
        while (text.size() < 150 * 1024) {
            text += "<script>window.__stats&&__stats.push({\"k\":\"pv\",\"v\":1});</script>\n";
        }
        return text;
    }();
    return page;
}

void BM_MarkerScan(benchmark::State& state)
{
    const std::string& page = samplePage();
    static constexpr char marker[] = "{\"p4pTags";
    const std::size_t markerLen = sizeof(marker) - 1;
    for (auto _ : state) {
        std::size_t found = 0;
        const char* at = page.data();
        const char* end = page.data() + page.size();
        while (const void* hit =
                   memmem(at, static_cast<std::size_t>(end - at), marker, markerLen)) {
            ++found;
            at = static_cast<const char*>(hit) + markerLen;
        }
        benchmark::DoNotOptimize(found);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * page.size()));
}
BENCHMARK(BM_MarkerScan);

// What fetchItems does with a page once it is read: the parse, which also
// converts the ids and titles it takes to the narrow encoding.
void BM_ParsePage(benchmark::State& state)
{
    const std::string& page = samplePage();
    const std::string ignoreWords = "坏,配件,求购";
    for (auto _ : state) {
        tw::PageParser parser(ignoreWords);
        parser.addPage(page);
        benchmark::DoNotOptimize(parser.titles().data());
        if (parser.count() != 40) {
            state.SkipWithError("not all 40 items found");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * page.size()));
}
BENCHMARK(BM_ParsePage);

// The conversion of a whole page, for comparison: what a page-wide pass
// before the parse would cost.
void BM_ConvertWholePage(benchmark::State& state)
{
    std::string page = samplePage();
    for (auto _ : state) {
        tw::CCore::UTF8_ANSI(page);
        benchmark::DoNotOptimize(page.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * page.size()));
}
BENCHMARK(BM_ConvertWholePage);

} // namespace

BENCHMARK_MAIN();
