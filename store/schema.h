#pragma once

#include <string>
#include <string_view>

namespace tw {

// The SQL that makes an empty item database: table t_item and its index, and
// the tables of the program's own state beside it.
std::string_view itemDatabaseSchema();

// Makes a new database file at path from the schema. Raises DbError when the
// file already exists or cannot be made; a half-made file is removed again.
void createItemDatabase(const std::string& path);

} // namespace tw
