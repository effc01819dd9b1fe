#include "app/csvexport.h"

#include "core/text.h"
#include "core/zuvira.h"
#include "store/dberror.h"
#include "store/findcsv.h"
#include "store/itemdb.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>

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
    std::string csv;
    try {
        csv = findsCsv(db.finds(filter),
                       [](const FindRecord& f) { return text::readableQuery(f.sid); });
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
