#pragma once

#include "store/sqlite.h"

#include <string>

namespace tw::sqlite {

enum class Access { Read, Write };

// A connection to the item database with the settings its operations rely
// on (see itemdb.cpp).
Connection openItemConnection(const std::string& connStr, int busyTimeoutMs, Access access);

} // namespace tw::sqlite
