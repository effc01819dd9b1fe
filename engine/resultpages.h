#pragma once

namespace tw {

// A result page lists this many items; the page at offset s starts with item s.
inline constexpr int kPageSize = 40;
// The marketplace lists no result beyond its 8th page: a check asks for the
// offsets below this.
inline constexpr int kOffsetLimit = 8 * kPageSize;

} // namespace tw
