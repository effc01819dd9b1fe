#pragma once

#include "core/zuvira.h"
#include "store/itemdb.h"
#include "store/schema.h"
#include "tests/support/tempdir.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <string>

namespace tw::test {

// A raw connection of the test's own, for what CItemDb must not do: making
// tables by hand, holding locks, reading rows behind its back.
class RawDb
{
public:
    explicit RawDb(const std::string& path)
    {
        if (sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                            nullptr) != SQLITE_OK) {
            ADD_FAILURE() << "cannot open " << path;
        }
    }
    ~RawDb() { sqlite3_close(m_db); }
    RawDb(const RawDb&) = delete;
    RawDb& operator=(const RawDb&) = delete;

    void exec(const std::string& sql)
    {
        char* error = nullptr;
        if (sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
            ADD_FAILURE() << sql << ": " << (error ? error : "?");
        }
        sqlite3_free(error);
    }

    // The last column of every row, each followed by "|".
    std::string query(const std::string& sql)
    {
        std::string out;
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(m_db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
            ADD_FAILURE() << sql << ": " << sqlite3_errmsg(m_db);
        }
        while (stmt && sqlite3_step(stmt) == SQLITE_ROW) {
            const int last = sqlite3_column_count(stmt) - 1;
            const auto* text = sqlite3_column_text(stmt, last);
            out += (text ? reinterpret_cast<const char*>(text) : "") + std::string("|");
        }
        sqlite3_finalize(stmt);
        return out;
    }

private:
    sqlite3* m_db = nullptr;
};

// An empty item database at path, made as the set-up step makes it; returns
// the connection string that the program builds for it.
inline std::string makeItemDatabase(const std::string& path)
{
    createItemDatabase(path);
    return CCore::getDbConnStrMdb(path);
}

// The ids stored under sid as the item list shows them, newest first,
// joined by ",".
inline std::string storedIds(CItemDb& db, const std::string& sid)
{
    std::string ids;
    for (const ItemRow& row : db.getLatestItems(sid, 100000)) {
        ids += (ids.empty() ? "" : ",") + row.bbid;
    }
    return ids;
}

// A fresh database in a directory of its own.
class StoreFixture : public ::testing::Test
{
protected:
    StoreFixture() { db.setConnStr(makeItemDatabase(dbPath())); }

    std::string dbPath() const { return dir.file("sys.mdb"); }

    TempDir dir;
    CItemDb db;
};

} // namespace tw::test
