#include "app/csvexport.h"

#include "core/text.h"
#include "core/watchlist.h"
#include "core/watchoptions.h"
#include "core/zuvira.h"
#include "store/dberror.h"
#include "store/findcsv.h"
#include "store/itemdb.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <unordered_map>

namespace tw {

namespace {

// Local midnight of a YYYY-MM-DD the command line has checked.
std::chrono::sys_seconds localMidnight(const std::string& date)
{
    std::tm tm{};
    tm.tm_year = std::stoi(date.substr(0, 4)) - 1900;
    tm.tm_mon = std::stoi(date.substr(5, 2)) - 1;
    tm.tm_mday = std::stoi(date.substr(8, 2));
    tm.tm_isdst = -1;
    return std::chrono::sys_seconds(std::chrono::seconds(std::mktime(&tm)));
}

// The names the list of the folder gives its watches, by search identity;
// a list or options file that cannot be read names none.
std::unordered_map<std::string, std::string> watchNames(const std::string& appPath)
{
    std::unordered_map<std::string, std::string> names;
    const std::string itemsFile = appPath + "_items.txt";
    const Result<WatchLines> list = watchlist::readListFile(itemsFile);
    const Result<watchoptions::Parsed> options =
        watchoptions::readFile(watchoptions::pathBeside(itemsFile));
    if (!list || !options) {
        return names;
    }
    for (const Watch& w : list.value().watches) {
        const WatchOptions* o = options.value().find(w.url);
        if (o && o->name && !o->name->empty()) {
            names.try_emplace(watchlist::searchIdentity(w.url), *o->name);
        }
    }
    return names;
}

} // namespace

std::string exportFindsCsv(const std::string& appPath, const std::string& file,
                           const std::string& since)
{
    const std::string dbFile = appPath + "sys.mdb";
    if (!CCore::isFileExist(dbFile)) {
        return dbFile + ": no item database here";
    }
    CItemDb db;
    // Opened read-write though it only reads: a read-only connection could
    // not roll back a journal that a killed program left.
    db.setConnStr(CCore::getDbConnStrMdb(dbFile));
    FindFilter filter;
    if (!since.empty()) {
        filter.since = localMidnight(since);
    }
    const std::unordered_map<std::string, std::string> names = watchNames(appPath);
    std::string csv;
    try {
        csv = findsCsv(db.finds(filter), [&names](const FindRecord& f) {
            const auto named = names.find(watchlist::searchIdentity(f.url));
            return named != names.end() ? named->second : text::readableQuery(f.sid);
        });
    } catch (const DbError& e) {
        return dbFile + ": " + e.what();
    }
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out || !out.write(csv.data(), static_cast<std::streamsize>(csv.size())) || !out.flush()) {
        return file + ": cannot be written";
    }
    return {};
}

} // namespace tw
