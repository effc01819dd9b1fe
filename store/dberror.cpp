#include "store/dberror.h"

namespace tw {

DbError::DbError(int code, const std::string& message)
    : std::runtime_error(message + " (SQLite code " + std::to_string(code) + ")"), m_code(code)
{}

} // namespace tw
