#pragma once

#include "core/result.h"

#include <string_view>

namespace tw {

// Writes all of data to fd, going on after interrupted or partial writes.
// A failure carries the system's error text.
Result<void> writeAll(int fd, std::string_view data);

} // namespace tw
