#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace tw {

// How the program came to store an item, as the record of finds (table
// t_find) keeps it.
enum class FindKind {
    // Reported: the user was told of it.
    New,
    // Taken without a report by a key's quiet first check (baseline=1).
    Baseline,
    // Taken without a report by "全部标记为已见".
    Marked,
    // Stored without a report because, with dedupe=1, another key had
    // reported it.
    Dedupe,
    // Stored and told in silence: its watch is muted (muted=1 in _items.ini).
    Muted,
};

// The text the record keeps.
constexpr std::string_view findKindName(FindKind kind)
{
    switch (kind) {
    case FindKind::New:
        return "new";
    case FindKind::Baseline:
        return "baseline";
    case FindKind::Marked:
        return "marked";
    case FindKind::Dedupe:
        return "dedupe";
    case FindKind::Muted:
        return "muted";
    }
    return {};
}

// The watch that stores items, and when: kept with each item it stores.
struct FindSource
{
    std::string url;
    std::chrono::sys_seconds found{};
};

// One find, with the title stored for its item.
struct FindRecord
{
    // None for an item taken before the record was kept (moved from t_silent).
    std::optional<std::chrono::sys_seconds> found;
    // "" when unknown.
    std::string url;
    std::string sid;
    std::string bbid;
    // "" when t_item no longer holds the item.
    std::string title;
    // As stored: a findKindName text, or one that a later version writes.
    std::string kind;
};

// Which finds CItemDb::finds returns; an unset field lets every find through.
struct FindFilter
{
    // Found at this time or later; finds of unknown time are left out.
    std::optional<std::chrono::sys_seconds> since;
    std::optional<std::string> sid;
    std::optional<std::string> url;
};

} // namespace tw
