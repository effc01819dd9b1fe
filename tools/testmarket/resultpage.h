#pragma once

#include <span>
#include <string>

namespace tw::test {

struct MarketItem
{
    std::string id;
    std::string title;
};

// A search-result page as the marketplace sends it: a large JSON document in
// which every listed item is one block from {"p4pTags to ,"shopLink, with the
// noise around it that a real page carries. An empty span gives a page with
// no item block at all (the page past the last result).
std::string renderResultPage(std::span<const MarketItem> items, int offset, int totalItems);

// The page cut in the middle of its last item block, as a broken transfer
// would leave it.
std::string truncateResultPage(const std::string& page);

} // namespace tw::test
