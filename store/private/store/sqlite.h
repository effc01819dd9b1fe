#pragma once

#include "store/dberror.h"
#include "store/sqlvalue.h"

#include <initializer_list>
#include <optional>
#include <sqlite3.h>
#include <string>
#include <string_view>

// A thin owner of the SQLite C handles. Private to the store (its folder is on
// the store's private include path only): sqlite3.h stays out of every public
// header.
namespace tw::sqlite {

// Raises DbError with the primary result code and the connection's message.
[[noreturn]] void fail(sqlite3* db, int rc, std::string_view context);

class Connection
{
public:
    // Opens an existing database (a path or a "file:" URI) read-write; never
    // makes a missing file. busyTimeoutMs is how long a statement waits for a
    // lock that another connection holds.
    Connection(const std::string& connStr, int busyTimeoutMs);
    ~Connection();
    Connection(Connection&& other) noexcept;
    Connection& operator=(Connection&& other) noexcept;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    sqlite3* get() const { return m_db; }
    void setBusyTimeout(int busyTimeoutMs);
    // Runs one or more statements without parameters, reading no rows.
    void exec(const char* sql);
    // As exec, for settings that are worth having but not worth failing for.
    bool tryExec(const char* sql) noexcept;

private:
    sqlite3* m_db = nullptr;
};

class Statement
{
public:
    Statement(const Connection& db, std::string_view sql);
    ~Statement();
    Statement(Statement&& other) noexcept;
    Statement& operator=(Statement&& other) noexcept;
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    // index counts from 1, as "?" does.
    void bind(int index, const SqlValue& value);
    void bindAll(std::initializer_list<SqlValue> values);
    // True while a row is ready; false when the statement is done.
    bool step();
    // Ready to run again with new values.
    void reset();
    // Column index (from 0) of the current row: NULL gives "", any other value its text.
    std::string columnText(int index) const;
    // None for NULL; any other value as an integer.
    std::optional<long long> columnInt64(int index) const;
    int columnCount() const { return sqlite3_column_count(m_stmt); }

private:
    sqlite3* m_db = nullptr;
    sqlite3_stmt* m_stmt = nullptr;
};

} // namespace tw::sqlite
