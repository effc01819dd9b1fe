#pragma once

#include "desktop/alertcommand.h"

#include <string>

namespace tw {

class CItemDb;

// What the alert command hears of one alert: the watch, its words and each
// new item with the title the worker stored for it.
AlertInfo alertInfo(const std::string& watchUrl, const std::string& newIds, CItemDb& db);

} // namespace tw
