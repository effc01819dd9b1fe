#include "store/schema.h"

#include "store/dberror.h"
#include "store/schema_sql.h"
#include "store/sqlite.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace tw {

std::string_view itemDatabaseSchema()
{
    return generated::kItemSchemaSql;
}

void createItemDatabase(const std::string& path)
{
    // O_EXCL: never build over a database that someone else made meanwhile.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        const int error = errno;
        throw DbError(SQLITE_CANTOPEN,
                      "cannot make the item database " + path + ": " + std::strerror(error));
    }
    ::close(fd);
    try {
        // An empty file is an empty database. The path is a name, not a URI.
        const bool looksLikeUri = path.rfind("file:", 0) == 0;
        sqlite::Connection db(looksLikeUri ? "./" + path : path, 0);
        db.exec("BEGIN");
        db.exec(std::string(itemDatabaseSchema()).c_str());
        db.exec("COMMIT");
    } catch (...) {
        ::unlink(path.c_str());
        throw;
    }
}

} // namespace tw
