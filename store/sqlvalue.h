#pragma once

#include <string>
#include <variant>

namespace tw {

// A value bound to a "?" of a statement: NULL, an integer or a text.
using SqlValue = std::variant<std::monostate, long long, std::string>;

} // namespace tw
