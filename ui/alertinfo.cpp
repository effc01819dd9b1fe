#include "ui/alertinfo.h"

#include "core/text.h"
#include "core/watchlist.h"
#include "ui/qtconvert.h"

namespace tw {

AlertInfo alertInfo(const std::string& watchUrl, const std::vector<FoundItem>& items)
{
    const std::string sid = watchlist::searchKey(watchUrl);
    AlertInfo alert;
    alert.key = qs(sid);
    alert.words = qs(text::readableQuery(sid));
    alert.watchUrl = qs(watchUrl);
    for (const FoundItem& item : items) {
        alert.items.push_back({qs(item.id), qs(item.title)});
    }
    alert.count = static_cast<int>(alert.items.size());
    return alert;
}

} // namespace tw
