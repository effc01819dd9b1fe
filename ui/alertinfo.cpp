#include "ui/alertinfo.h"

#include "core/text.h"
#include "core/watchlist.h"
#include "store/dberror.h"
#include "store/itemdb.h"
#include "ui/qtconvert.h"

namespace tw {

AlertInfo alertInfo(const std::string& watchUrl, const std::string& newIds, CItemDb& db)
{
    const std::string sid = watchlist::searchKey(watchUrl);
    AlertInfo alert;
    alert.key = qs(sid);
    alert.words = qs(text::readableQuery(sid));
    alert.watchUrl = qs(watchUrl);
    for (const std::string_view id : text::splitFields(newIds, ',')) {
        std::string title;
        try {
            title = db.itemTitle(sid, std::string(id));
        } catch (const DbError&) {
            // The command still hears of the item, without its title.
        }
        alert.items.push_back({qs(std::string(id)), qs(title)});
    }
    alert.count = static_cast<int>(alert.items.size());
    return alert;
}

} // namespace tw
