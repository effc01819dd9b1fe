#pragma once

#include <string>
#include <string_view>

namespace tw {

struct SessionSettings;

// The host of an absolute URL, in lower case, without user or port; "" when
// url is not one.
std::string urlHost(std::string_view url);

// Why a run cannot start with these settings, in words for the user (one
// message box at Start); "" when it can. Checks that the cookie file can be
// read, the proxy URL's scheme and host, and that the User-Agent is one line.
std::string sessionSettingsProblem(const SessionSettings& settings);

} // namespace tw
