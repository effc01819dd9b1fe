// The item database under load: look-ups and look-up plus insert with 10
// thousand to 1 million stored rows, once with a connection per operation as
// CItemDb works and once with a connection kept open, and a whole detection
// pass of 320 fresh ids, and look-ups against a table made by hand without the
// index, before and after start-up adds it. The filled databases are kept
// under /tmp between runs.
//
// Then new-item detection as the worker runs it, over the connection it keeps:
// the first pass after a start over 100 watches x 8 pages whose every id is
// stored, on a table made by hand without the index (goal: under 1.5 s), and
// one check of 320 fresh ids, looked up and stored (goal: under 10 ms).
#include "core/runflag.h"
#include "core/watchtable.h"
#include "core/zuvira.h"
#include "engine/newitemfinder.h"
#include "store/itemdb.h"
#include "store/schema.h"
#include "store/sqlite.h"

#include <benchmark/benchmark.h>
#include <cstdint>
#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;

constexpr int kKeys = 1000;
constexpr long long kFirstId = 600000000000LL;
constexpr int kPassIds = 320;
// Rows that the benchmarks add go under this key and are removed again.
const std::string kFreshKey = "bench-fresh";
constexpr const char* kInsertSql = "insert into t_item(sid,bbid,bbtitle,bbsl) values(?,?,?,0)";
constexpr const char* kLookupSql = "select 1 from t_item where bbid=? and sid=? limit 1";

std::string keyOf(long long row)
{
    return "watch-" + std::to_string(row % kKeys);
}

std::string idOf(long long row)
{
    return std::to_string(kFirstId + row);
}

// A small fixed generator, so every run asks for the same rows.
long long nextRow(uint64_t& state, long long rows)
{
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<long long>((state >> 33) % static_cast<uint64_t>(rows));
}

void removeFreshRows(const std::string& path)
{
    tw::sqlite::Connection db(path, 5000);
    db.exec(("delete from t_item where sid='" + kFreshKey + "'").c_str());
}

// The database with rows stored under kKeys keys, built in one transaction
// unless a finished one (marked by user_version) is cached.
std::string filledDatabase(long long rows)
{
    const fs::path dir = fs::temp_directory_path() / "tidewatch-bench";
    fs::create_directories(dir);
    const std::string path = (dir / ("items-" + std::to_string(rows) + ".mdb")).string();
    if (fs::exists(path)) {
        bool finished = false;
        {
            tw::sqlite::Connection db(path, 5000);
            tw::sqlite::Statement version(db, "PRAGMA user_version");
            finished = version.step() && version.columnText(0) == std::to_string(rows);
        }
        if (finished) {
            removeFreshRows(path);
            return path;
        }
        fs::remove(path);
    }
    tw::createItemDatabase(path);
    tw::sqlite::Connection db(path, 5000);
    db.exec("PRAGMA synchronous=OFF; BEGIN");
    {
        tw::sqlite::Statement insert(db, kInsertSql);
        for (long long row = 0; row < rows; ++row) {
            insert.bindAll({keyOf(row), idOf(row), "a listed item number " + std::to_string(row)});
            insert.step();
            insert.reset();
        }
    }
    db.exec(("COMMIT; PRAGMA user_version=" + std::to_string(rows)).c_str());
    return path;
}

void setItemDb(tw::CItemDb& db, const std::string& path)
{
    db.setConnStr(tw::CCore::getDbConnStrMdb(path));
}

// Half of the look-ups find a stored row, half ask for an id never stored.
void lookUpHalfStored(benchmark::State& state, tw::CItemDb& db, long long rows)
{
    uint64_t seed = 1;
    bool hit = false;
    for (auto _ : state) {
        const long long row = nextRow(seed, rows);
        hit = !hit;
        benchmark::DoNotOptimize(db.isItemExist(keyOf(row), hit ? idOf(row) : idOf(row + rows)));
    }
}

void BM_LookupPerOperation(benchmark::State& state)
{
    const long long rows = state.range(0);
    tw::CItemDb db;
    setItemDb(db, filledDatabase(rows));
    lookUpHalfStored(state, db, rows);
}

void BM_LookupInsertPerOperation(benchmark::State& state)
{
    const long long rows = state.range(0);
    const std::string path = filledDatabase(rows);
    tw::CItemDb db;
    setItemDb(db, path);
    long long fresh = rows;
    for (auto _ : state) {
        const std::string id = idOf(fresh++);
        if (!db.isItemExist(kFreshKey, id)) {
            db.insertItem(kFreshKey, id, "a fresh item", tw::CItemDb::kBbsl);
        }
    }
    removeFreshRows(path);
}

// For comparison: one connection and its prepared statements for the whole run.
void BM_LookupKeptOpen(benchmark::State& state)
{
    const long long rows = state.range(0);
    tw::sqlite::Connection db(filledDatabase(rows), 5000);
    tw::sqlite::Statement lookup(db, kLookupSql);
    uint64_t seed = 1;
    bool hit = false;
    for (auto _ : state) {
        const long long row = nextRow(seed, rows);
        hit = !hit;
        lookup.bindAll({hit ? idOf(row) : idOf(row + rows), keyOf(row)});
        benchmark::DoNotOptimize(lookup.step());
        lookup.reset();
    }
}

void BM_LookupInsertKeptOpen(benchmark::State& state)
{
    const long long rows = state.range(0);
    const std::string path = filledDatabase(rows);
    {
        tw::sqlite::Connection db(path, 5000);
        // The same durability as CItemDb's own connections.
        db.exec("PRAGMA synchronous=OFF");
        tw::sqlite::Statement lookup(db, kLookupSql);
        tw::sqlite::Statement insert(db, kInsertSql);
        long long fresh = rows;
        for (auto _ : state) {
            const std::string id = idOf(fresh++);
            lookup.bindAll({id, kFreshKey});
            const bool found = lookup.step();
            lookup.reset();
            if (!found) {
                insert.bindAll({kFreshKey, id, std::string("a fresh item")});
                insert.step();
                insert.reset();
            }
        }
    }
    removeFreshRows(path);
}

// What one watch with 8 full result pages of new items costs the worker.
void BM_DetectionPass320(benchmark::State& state)
{
    const long long rows = state.range(0);
    const std::string path = filledDatabase(rows);
    tw::CItemDb db;
    setItemDb(db, path);
    long long fresh = rows;
    for (auto _ : state) {
        for (int i = 0; i < kPassIds; ++i) {
            const std::string id = idOf(fresh++);
            if (!db.isItemExist(kFreshKey, id)) {
                db.insertItem(kFreshKey, id, "a fresh item", tw::CItemDb::kBbsl);
            }
        }
    }
    removeFreshRows(path);
}

// A copy of the filled database as a user may have made it: without the
// look-up index, or after start-up has added it (ensureItemIndex).
std::string handMadeDatabase(long long rows, bool indexed)
{
    const std::string filled = filledDatabase(rows);
    const std::string path = filled + (indexed ? ".handmade-indexed" : ".handmade");
    fs::copy_file(filled, path, fs::copy_options::overwrite_existing);
    {
        tw::sqlite::Connection db(path, 5000);
        db.exec("DROP INDEX ix_item_sid_bbid");
    }
    if (indexed) {
        tw::CItemDb db;
        setItemDb(db, path);
        db.ensureItemIndex();
    }
    return path;
}

// A first pass's look-ups against a hand-made table, before and after start-up
// made its index.
void BM_LookupHandMadeTable(benchmark::State& state)
{
    const long long rows = state.range(0);
    const std::string path = handMadeDatabase(rows, state.range(1) != 0);
    tw::CItemDb db;
    setItemDb(db, path);
    lookUpHalfStored(state, db, rows);
    fs::remove(path);
}

constexpr int kPassWatches = 100;

std::string passKey(int watch)
{
    return "pass-" + std::to_string(watch);
}

// The comma-joined ids of one watch's 8 full pages.
std::string passIds(int watch)
{
    std::string ids;
    for (int i = 0; i < kPassIds; ++i) {
        ids += (i ? "," : "") + idOf(1LL * watch * kPassIds + i);
    }
    return ids;
}

// A NewItemFinder as the worker holds one, with a titles file of 320 titles.
struct Detection
{
    explicit Detection(const std::string& path)
    {
        setItemDb(db, path);
        std::string titles;
        for (int i = 0; i < kPassIds; ++i) {
            titles += "a listed item number " + std::to_string(i) + "^";
        }
        tw::CCore::outTxtFile(titles, titlesFile);
    }
    ~Detection() { fs::remove(titlesFile); }

    tw::CItemDb db;
    tw::WatchTable table;
    tw::RunFlag runFlag;
    std::string titlesFile =
        (fs::temp_directory_path() / "tidewatch-bench" / "titles.txt").string();
};

// The detection part of the first pass after a start: lastIds are empty, so
// every id of every watch is asked about, and all are stored already.
void BM_FirstPass100x320Stored(benchmark::State& state)
{
    const bool indexed = state.range(0) != 0;
    const fs::path dir = fs::temp_directory_path() / "tidewatch-bench";
    fs::create_directories(dir);
    const std::string path = (dir / "first-pass.mdb").string();
    fs::remove(path);
    tw::createItemDatabase(path);
    {
        // As a user may have made it: the five columns, no index.
        tw::sqlite::Connection raw(path, 5000);
        raw.exec("DROP INDEX ix_item_sid_bbid; PRAGMA synchronous=OFF; BEGIN");
        tw::sqlite::Statement insert(raw, kInsertSql);
        for (int w = 0; w < kPassWatches; ++w) {
            for (long long i = 0; i < kPassIds; ++i) {
                insert.bindAll({passKey(w), idOf(w * kPassIds + i), std::string("a title")});
                insert.step();
                insert.reset();
            }
        }
        raw.exec("COMMIT");
    }
    Detection detection(path);
    if (indexed) {
        detection.db.ensureItemIndex();
    }
    std::vector<std::string> ids;
    for (int w = 0; w < kPassWatches; ++w) {
        ids.push_back(passIds(w));
    }
    std::size_t reported = 0;
    for (auto _ : state) {
        // A new finder each time: a start opens the connection afresh.
        tw::NewItemFinder finder(detection.table, detection.db, detection.runFlag,
                                 detection.titlesFile);
        for (int w = 0; w < kPassWatches; ++w) {
            finder.setCheckSid(passKey(w));
            reported += finder.findNewItems("", ids[w]).size();
        }
    }
    if (reported != 0) {
        state.SkipWithError("an item stored already was reported");
    }
    state.SetLabel(indexed ? "with the index start-up adds" : "table without index; goal < 1.5 s");
    fs::remove(path);
}

// One check of a watch whose 8 pages are all new: 320 ids looked up, stored
// and reported.
void BM_Check320Fresh(benchmark::State& state)
{
    const long long rows = state.range(0);
    const std::string path = filledDatabase(rows);
    Detection detection(path);
    tw::NewItemFinder finder(detection.table, detection.db, detection.runFlag,
                             detection.titlesFile);
    finder.setCheckSid(kFreshKey);
    long long fresh = rows;
    for (auto _ : state) {
        std::string ids;
        for (int i = 0; i < kPassIds; ++i) {
            ids += (i ? "," : "") + idOf(fresh++);
        }
        if (finder.findNewItems("", ids) != ids) {
            state.SkipWithError("fresh ids not reported");
            break;
        }
    }
    state.SetLabel("goal < 10 ms");
    finder.closeStore();
    removeFreshRows(path);
}

void rowCounts(benchmark::internal::Benchmark* b)
{
    b->ArgName("rows")->Arg(10'000)->Arg(100'000)->Arg(1'000'000)->UseRealTime();
}

} // namespace

BENCHMARK(BM_LookupPerOperation)->Apply(rowCounts)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LookupInsertPerOperation)->Apply(rowCounts)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LookupKeptOpen)->Apply(rowCounts)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LookupInsertKeptOpen)->Apply(rowCounts)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DetectionPass320)->Apply(rowCounts)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LookupHandMadeTable)
    ->ArgNames({"rows", "indexed"})
    ->Args({100'000, 0})
    ->Args({100'000, 1})
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

BENCHMARK(BM_FirstPass100x320Stored)
    ->ArgName("indexed")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Check320Fresh)->Apply(rowCounts)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
