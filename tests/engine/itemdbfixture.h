#pragma once

#include "core/zuvira.h"
#include "store/itemdb.h"
#include "store/schema.h"
#include "support/tempdir.h"

#include <sqlite3.h>
#include <stdexcept>
#include <string>

namespace tw::test {

// An empty item database in dir, made as the set-up step makes it; returns
// the connection string the program would use.
inline std::string makeItemDatabase(const TempDir& dir, const std::string& name = "sys.mdb")
{
    createItemDatabase(dir.file(name));
    return CCore::getDbConnStrMdb(dir.file(name));
}

// Holds a write lock on a database until it goes, as another program would.
class DbLock
{
public:
    explicit DbLock(const std::string& path)
    {
        if (sqlite3_open(path.c_str(), &m_db) != SQLITE_OK ||
            sqlite3_exec(m_db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) != SQLITE_OK) {
            sqlite3_close(m_db);
            throw std::runtime_error("cannot lock " + path);
        }
    }
    ~DbLock()
    {
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(m_db);
    }
    DbLock(const DbLock&) = delete;
    DbLock& operator=(const DbLock&) = delete;

private:
    sqlite3* m_db = nullptr;
};

} // namespace tw::test
