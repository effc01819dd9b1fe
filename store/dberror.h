#pragma once

#include <stdexcept>
#include <string>

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

} // namespace tw
