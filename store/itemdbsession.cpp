#include "store/itemdbsession.h"

#include "store/findtable.h"
#include "store/itemconnection.h"
#include "store/sqlite.h"

#include <optional>
#include <sys/stat.h>

namespace tw {

namespace {

// Ids per statement: one check's eight full pages. Unused places stay NULL,
// which matches no row, so one prepared statement serves every count.
constexpr int kChunk = 320;

std::string inList()
{
    std::string places = "(?";
    for (int i = 1; i < kChunk; ++i) {
        places += ",?";
    }
    return places + ")";
}

struct FileId
{
    dev_t dev = 0;
    ino_t ino = 0;
    bool operator==(const FileId&) const = default;
};

std::optional<FileId> fileId(const char* path)
{
    struct stat st = {};
    if (path == nullptr || *path == '\0' || ::stat(path, &st) != 0) {
        return std::nullopt;
    }
    return FileId{st.st_dev, st.st_ino};
}

} // namespace

struct ItemDbSession::Impl
{
    explicit Impl(CItemDb& itemDb) : db(itemDb) {}

    // The connection, opened again when the db's connection string changed
    // or the path no longer leads to the file it has open.
    sqlite::Connection& connection();
    std::unordered_set<std::string> query(std::optional<sqlite::Statement>& statement,
                                          const char* sql, const std::string* sid,
                                          const std::vector<std::string_view>& ids);
    void close();

    CItemDb& db;
    std::string connStr;
    std::optional<FileId> file;
    // Declared before the statements, which must be finalized first.
    std::optional<sqlite::Connection> conn;
    std::optional<sqlite::Statement> underSid;
    std::optional<sqlite::Statement> anywhere;
    std::optional<sqlite::Statement> insert;
    std::optional<sqlite::FindWriter> find;
};

sqlite::Connection& ItemDbSession::Impl::connection()
{
    if (conn &&
        (connStr != db.connStr() || fileId(sqlite3_db_filename(conn->get(), "main")) != file)) {
        close();
    }
    if (!conn) {
        connStr = db.connStr();
        conn = sqlite::openItemConnection(connStr, db.busyTimeoutMs(), sqlite::Access::Write);
        file = fileId(sqlite3_db_filename(conn->get(), "main"));
    }
    conn->setBusyTimeout(db.busyTimeoutMs());
    return *conn;
}

void ItemDbSession::Impl::close()
{
    find.reset();
    insert.reset();
    anywhere.reset();
    underSid.reset();
    conn.reset();
    file.reset();
}

std::unordered_set<std::string>
ItemDbSession::Impl::query(std::optional<sqlite::Statement>& statement, const char* sql,
                           const std::string* sid, const std::vector<std::string_view>& ids)
{
    std::unordered_set<std::string> found;
    if (ids.empty()) {
        return found;
    }
    try {
        sqlite::Connection& c = connection();
        if (!statement) {
            statement.emplace(c, std::string(sql) + inList());
        }
        const int first = sid ? 2 : 1;
        for (std::size_t at = 0; at < ids.size(); at += kChunk) {
            // reset() also sets every place back to NULL.
            statement->reset();
            if (sid) {
                statement->bind(1, *sid);
            }
            for (std::size_t i = at; i < ids.size() && i < at + kChunk; ++i) {
                statement->bind(first + static_cast<int>(i - at), std::string(ids[i]));
            }
            while (statement->step()) {
                found.insert(statement->columnText(0));
            }
        }
        // Ends the read, so that no lock is held until the next call.
        statement->reset();
    } catch (const DbError&) {
        close();
        throw;
    }
    return found;
}

ItemDbSession::ItemDbSession(CItemDb& db) : m_impl(std::make_unique<Impl>(db)) {}

ItemDbSession::~ItemDbSession() = default;

std::unordered_set<std::string> ItemDbSession::storedUnder(const std::string& sid,
                                                           const std::vector<std::string_view>& ids)
{
    return m_impl->query(m_impl->underSid, "select bbid from t_item where sid=? and bbid in ", &sid,
                         ids);
}

std::unordered_set<std::string>
ItemDbSession::reportedAnywhere(const std::vector<std::string_view>& ids)
{
    if (ids.empty()) {
        return {};
    }
    m_impl->db.ensureStateTables();
    static const std::string sql = std::string("select i.bbid from t_item i where ") +
                                   sqlite::kReportedItem + " and i.bbid in ";
    return m_impl->query(m_impl->anywhere, sql.c_str(), nullptr, ids);
}

void ItemDbSession::insertItems(const std::string& sid, const std::vector<FoundRow>& items,
                                const FindSource& source)
{
    if (items.empty()) {
        return;
    }
    Impl& impl = *m_impl;
    impl.db.ensureStateTables();
    try {
        sqlite::Connection& c = impl.connection();
        if (!impl.insert) {
            impl.insert.emplace(c, "insert into t_item(sid,bbid,bbtitle,bbsl) values(?,?,?,?)");
        }
        if (!impl.find) {
            impl.find.emplace(c);
        }
        c.exec("BEGIN IMMEDIATE");
        for (const FoundRow& row : items) {
            std::string title = row.item.bbtitle;
            std::erase(title, '\'');
            impl.insert->reset();
            impl.insert->bindAll(
                {sid, row.item.bbid, title, static_cast<long long>(CItemDb::kBbsl)});
            impl.insert->step();
            impl.find->write(sid, row.item.bbid, source, row.kind);
        }
        impl.insert->reset();
        c.exec("COMMIT");
    } catch (const DbError&) {
        // Closing a connection inside a transaction rolls it back.
        impl.close();
        throw;
    }
}

void ItemDbSession::close()
{
    m_impl->close();
}

} // namespace tw
