#pragma once

#include <string>
#include <string_view>

namespace tw {

struct RunSettings;
struct SessionSettings;

// The host of an absolute URL, in lower case, without user or port; "" when
// url is not one.
std::string urlHost(std::string_view url);

// base (its time-outs) with the request settings of run: cookie file,
// User-Agent and proxy. A cookie file named without a folder is looked for in
// appDir, like every file of the program; "~/" is the home folder.
SessionSettings requestSession(SessionSettings base, const RunSettings& run,
                               const std::string& appDir);

// Why a run cannot start with these settings, in words for the user (one
// message box at Start); "" when it can. Checks that the cookie file can be
// read, the proxy URL's scheme and host, and that the User-Agent is one line.
std::string sessionSettingsProblem(const SessionSettings& settings);

} // namespace tw
