#pragma once

#include "core/result.h"

#include <string>
#include <string_view>

namespace tw {

// Replaces the content of path with page ("" empties it). The file is
// rewritten in place and cut only when the page got shorter: truncating it
// first makes ext4 flush it on close, a few ms a page.
Result<void> writePageFile(const std::string& path, std::string_view page);

} // namespace tw
