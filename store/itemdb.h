#pragma once

#include <atomic>
#include <chrono>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

struct sqlite3_value;

namespace tw {

// Any failure of the item database: the SQLite result code and its message.
// No connection is left open when it is thrown.
class DbError : public std::runtime_error
{
public:
    DbError(int code, const std::string& message);
    int code() const { return m_code; }

private:
    int m_code;
};

struct ItemRow
{
    std::string bbid;
    std::string bbtitle;
};

// A value bound to a "?" of a statement: NULL, an integer or a text.
using SqlValue = std::variant<std::monostate, long long, std::string>;

// The database of items already reported, table t_item in sys.mdb. It keeps
// only the connection string: every operation opens its own connection and
// closes it again, so the window and the worker never share one.
class CItemDb
{
public:
    // What every insert writes into the unused bbsl column.
    static constexpr int kBbsl = 0;

    CItemDb();
    virtual ~CItemDb();

    // A path or an SQLite URI ("file:...?mode=rw").
    void setConnStr(std::string connStr);
    const std::string& connStr() const { return m_connStr; }
    // How long an operation waits for a lock that another connection holds
    // before it fails with SQLITE_BUSY.
    void setBusyTimeout(std::chrono::milliseconds timeout);
    static constexpr std::chrono::milliseconds kDefaultBusyTimeout{5000};

    void execute(std::string_view sql, std::initializer_list<SqlValue> params = {});
    // First column of the first row as text; "" for no row or NULL.
    std::string queryValue(std::string_view sql, std::initializer_list<SqlValue> params = {});
    // NULL gives ""; any other value its text.
    static std::string valueToText(sqlite3_value* value);

    bool isItemExist(const std::string& sid, const std::string& bbid);
    // Removes every "'" from bbtitle before it stores it.
    void insertItem(const std::string& sid, const std::string& bbid, const std::string& bbtitle,
                    int bbsl);
    // True when anything is stored under sid.
    bool hasItems(const std::string& sid);
    // True when bbid is stored under any key.
    bool isBbidStored(const std::string& bbid);
    // The stored title of (sid, bbid); "" when there is none.
    std::string itemTitle(const std::string& sid, const std::string& bbid);
    // Stores under sid every item not yet stored there, in one transaction:
    // all of them or, on an error, none. The number of rows added.
    int insertItemsIfNew(const std::string& sid, const std::vector<ItemRow>& items);
    // Makes the index that keeps isBbidStored from reading the whole table;
    // nothing when it is there already.
    void ensureBbidIndex();
    // Newest first, at most count rows; none for a count of 0 or less.
    std::vector<ItemRow> getLatestItems(const std::string& sid, int count);
    void deleteAllItems();

private:
    std::string m_connStr;
    std::atomic<int> m_busyTimeoutMs{static_cast<int>(kDefaultBusyTimeout.count())};
};

} // namespace tw
