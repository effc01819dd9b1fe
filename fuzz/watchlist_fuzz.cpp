// The watch list and import parser, read from a file as the window reads it,
// then saved and read back as an import does.
#include "core/watchlist.h"
#include "core/watchtable.h"
#include "core/zuvira.h"
#include "fuzz/fuzzcheck.h"
#include "fuzz/fuzzdir.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace {

using tw::WatchLines;
using tw::WatchTable;
namespace watchlist = tw::watchlist;

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

void checkBounds(const WatchLines& parsed, int usable)
{
    FUZZ_CHECK(static_cast<int>(parsed.watches.size()) <= WatchTable::kSlots);
    // Every usable line is a watch, left out, or merged into an earlier one.
    FUZZ_CHECK(static_cast<int>(parsed.watches.size()) + parsed.leftOut.total() + parsed.merged ==
               usable);
    for (const tw::Watch& w : parsed.watches) {
        FUZZ_CHECK(WatchTable::fits(w));
        FUZZ_CHECK(w.sid == watchlist::searchKey(w.url));
    }
}

// The table holds exactly what the parser gave.
void checkTable(const WatchLines& parsed)
{
    static WatchTable table;
    FUZZ_CHECK(table.replaceAll(parsed.watches) == static_cast<int>(parsed.watches.size()));
    for (std::size_t i = 0; i < parsed.watches.size(); ++i) {
        const tw::SlotCopy slot = table.slot(static_cast<int>(i));
        FUZZ_CHECK(slot.url == parsed.watches[i].url);
        FUZZ_CHECK(slot.sid == parsed.watches[i].sid);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view content(reinterpret_cast<const char*>(data), size);
    const std::string file = tw::fuzz::runDir() + "import.txt";
    const std::string listFile = tw::fuzz::runDir() + "_items.txt";
    tw::fuzz::writeFile(file, content);

    const auto read = watchlist::readLines(file);
    FUZZ_CHECK(read.ok());
    const std::vector<std::string>& lines = read.value();

    int nonBlank = 0;
    int importable = 0;
    for (const std::string& line : lines) {
        FUZZ_CHECK(line.find('\n') == std::string::npos);
        bool blank = true;
        for (const char c : line) {
            blank = blank && isBlank(c);
        }
        nonBlank += blank ? 0 : 1;
        const std::string url = line.substr(0, line.find('#'));
        bool urlBlank = true;
        for (const char c : url) {
            urlBlank = urlBlank && isBlank(c);
        }
        importable += (line.find("&s=") == std::string::npos && !urlBlank) ? 1 : 0;
    }

    const WatchLines list = watchlist::parseList(lines);
    checkBounds(list, nonBlank);
    checkTable(list);
    for (const tw::Watch& w : list.watches) {
        FUZZ_CHECK(!w.url.empty() && !isBlank(w.url.front()) && !isBlank(w.url.back()));
    }

    const WatchLines imported = watchlist::parseImport(lines);
    checkBounds(imported, importable);
    checkTable(imported);
    std::vector<std::string> urls;
    for (const tw::Watch& w : imported.watches) {
        FUZZ_CHECK(w.url.find('#') == std::string::npos);
        FUZZ_CHECK(w.url.find("&s=") == std::string::npos);
        urls.push_back(w.url);
    }

    // The import saves the list and loads it back: every watch survives, in
    // order, in the form a load gives it.
    if (urls.empty()) {
        return 0;
    }
    FUZZ_CHECK(watchlist::save(listFile, urls).ok());
    const auto saved = watchlist::readLines(listFile);
    FUZZ_CHECK(saved.ok());
    const WatchLines reloaded = watchlist::parseList(saved.value());
    FUZZ_CHECK(reloaded.leftOut.total() == 0);
    FUZZ_CHECK(reloaded.watches.size() == imported.watches.size());
    for (std::size_t i = 0; i < reloaded.watches.size(); ++i) {
        FUZZ_CHECK(reloaded.watches[i].url == tw::CCore::parseUrl(imported.watches[i].url));
    }
    return 0;
}
