#include "store/sqlite.h"

#include <climits>
#include <utility>

namespace tw::sqlite {

void fail(sqlite3* db, int rc, std::string_view context)
{
    std::string message(context);
    message += ": ";
    message += db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    // Callers test the primary code; the extended bits stay in the message.
    throw DbError(rc & 0xff, message);
}

Connection::Connection(const std::string& connStr, int busyTimeoutMs)
{
    // Each connection lives on one thread only, so SQLite's own mutex is waste.
    const int flags = SQLITE_OPEN_URI | SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX;
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(connStr.c_str(), &db, flags, nullptr);
    if (rc != SQLITE_OK) {
        std::string message = "cannot open the item database " + connStr + ": ";
        message += db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
        // A failed open may still hand back a handle that must be closed.
        sqlite3_close(db);
        throw DbError(rc & 0xff, message);
    }
    m_db = db;
    sqlite3_busy_timeout(m_db, busyTimeoutMs);
}

Connection::~Connection()
{
    sqlite3_close_v2(m_db);
}

Connection::Connection(Connection&& other) noexcept : m_db(std::exchange(other.m_db, nullptr)) {}

Connection& Connection::operator=(Connection&& other) noexcept
{
    if (this != &other) {
        sqlite3_close_v2(m_db);
        m_db = std::exchange(other.m_db, nullptr);
    }
    return *this;
}

void Connection::setBusyTimeout(int busyTimeoutMs)
{
    sqlite3_busy_timeout(m_db, busyTimeoutMs);
}

bool Connection::tryExec(const char* sql) noexcept
{
    return sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

void Connection::exec(const char* sql)
{
    char* error = nullptr;
    const int rc = sqlite3_exec(m_db, sql, nullptr, nullptr, &error);
    if (rc != SQLITE_OK) {
        std::string message = sql;
        message += ": ";
        message += error ? error : sqlite3_errstr(rc);
        sqlite3_free(error);
        throw DbError(rc & 0xff, message);
    }
}

namespace {

bool onlySeparators(const char* tail)
{
    for (; tail && *tail; ++tail) {
        if (*tail != ';' && *tail != ' ' && *tail != '\t' && *tail != '\n' && *tail != '\r') {
            return false;
        }
    }
    return true;
}

} // namespace

Statement::Statement(const Connection& db, std::string_view sql) : m_db(db.get())
{
    if (sql.size() > INT_MAX) {
        throw DbError(SQLITE_TOOBIG, "statement too long");
    }
    const char* tail = nullptr;
    const int rc =
        sqlite3_prepare_v2(m_db, sql.data(), static_cast<int>(sql.size()), &m_stmt, &tail);
    if (rc != SQLITE_OK) {
        sqlite3_finalize(m_stmt);
        m_stmt = nullptr;
        sqlite::fail(m_db, rc, sql);
    }
    // A second statement would be skipped without a word: refuse it instead.
    const std::string rest(tail, sql.data() + sql.size() - tail);
    if (m_stmt == nullptr || !onlySeparators(rest.c_str())) {
        sqlite3_finalize(m_stmt);
        m_stmt = nullptr;
        throw DbError(SQLITE_MISUSE, std::string(sql) + ": not exactly one statement");
    }
}

Statement::~Statement()
{
    sqlite3_finalize(m_stmt);
}

Statement::Statement(Statement&& other) noexcept
    : m_db(std::exchange(other.m_db, nullptr)), m_stmt(std::exchange(other.m_stmt, nullptr))
{}

Statement& Statement::operator=(Statement&& other) noexcept
{
    if (this != &other) {
        sqlite3_finalize(m_stmt);
        m_db = std::exchange(other.m_db, nullptr);
        m_stmt = std::exchange(other.m_stmt, nullptr);
    }
    return *this;
}

void Statement::bind(int index, const SqlValue& value)
{
    int rc = SQLITE_OK;
    if (std::holds_alternative<std::monostate>(value)) {
        rc = sqlite3_bind_null(m_stmt, index);
    } else if (const auto* number = std::get_if<long long>(&value)) {
        rc = sqlite3_bind_int64(m_stmt, index, *number);
    } else {
        const std::string& text = std::get<std::string>(value);
        // data() is never null, so an empty text binds as "", not as NULL.
        rc = sqlite3_bind_text64(m_stmt, index, text.data(), text.size(), SQLITE_TRANSIENT,
                                 SQLITE_UTF8);
    }
    if (rc != SQLITE_OK) {
        sqlite::fail(m_db, rc, sqlite3_sql(m_stmt));
    }
}

void Statement::bindAll(std::initializer_list<SqlValue> values)
{
    if (static_cast<int>(values.size()) != sqlite3_bind_parameter_count(m_stmt)) {
        throw DbError(SQLITE_RANGE, std::string(sqlite3_sql(m_stmt)) + ": expects " +
                                        std::to_string(sqlite3_bind_parameter_count(m_stmt)) +
                                        " values, got " + std::to_string(values.size()));
    }
    int index = 1;
    for (const SqlValue& value : values) {
        bind(index++, value);
    }
}

bool Statement::step()
{
    const int rc = sqlite3_step(m_stmt);
    if (rc == SQLITE_ROW) {
        return true;
    }
    if (rc != SQLITE_DONE) {
        sqlite::fail(m_db, rc, sqlite3_sql(m_stmt));
    }
    return false;
}

std::string Statement::columnText(int index) const
{
    // The column value is only read on the thread that owns its connection.
    if (sqlite3_column_type(m_stmt, index) == SQLITE_NULL) {
        return {};
    }
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(m_stmt, index));
    if (text == nullptr) {
        return {};
    }
    return std::string(text, static_cast<size_t>(sqlite3_column_bytes(m_stmt, index)));
}

std::optional<long long> Statement::columnInt64(int index) const
{
    if (sqlite3_column_type(m_stmt, index) == SQLITE_NULL) {
        return std::nullopt;
    }
    return sqlite3_column_int64(m_stmt, index);
}

void Statement::reset()
{
    sqlite3_reset(m_stmt);
    sqlite3_clear_bindings(m_stmt);
}

} // namespace tw::sqlite
