#pragma once

#include "core/result.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace tw {

// Writes all of data to fd, going on after interrupted or partial writes.
// A failure carries the system's error text.
Result<void> writeAll(int fd, std::string_view data);

struct CappedRead
{
    std::string content;
    // The file holds more than the limit: content is empty.
    bool tooLarge = false;
};

// The whole file when it holds at most limit bytes, reading no more than
// limit + 1 bytes of it whatever its size; "" when it is missing or cannot be
// read (as CCore::readTxtFile).
CappedRead readFileCapped(const std::string& path, std::size_t limit);

} // namespace tw
