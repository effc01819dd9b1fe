#pragma once

#include "desktop/alertcommand.h"
#include "engine/pollmessages.h"

#include <string>
#include <vector>

namespace tw {

// What the alert command hears of one alert: the watch, its words and each
// new item with the title its page gave.
AlertInfo alertInfo(const std::string& watchUrl, const std::vector<FoundItem>& items);

} // namespace tw
