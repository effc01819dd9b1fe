#pragma once

#include <string_view>

namespace tw {

// Writes all of data to fd, going on after interrupted or partial writes.
// False on an error, with errno telling which.
bool writeAll(int fd, std::string_view data);

} // namespace tw
