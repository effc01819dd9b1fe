#pragma once

#include "store/findrecord.h"

#include <functional>
#include <string>
#include <vector>

namespace tw {

// The record of finds as CSV, as spreadsheets and scripts read it: UTF-8
// with a byte-order mark, CR LF line ends, RFC 4180 quoting, and the header
// time,watch,url,key,id,title,kind. time is local YYYY-MM-DD HH:MM:SS ("" when
// unknown); watchName gives the watch column for a find.
std::string findsCsv(const std::vector<FindRecord>& finds,
                     const std::function<std::string(const FindRecord&)>& watchName);

// One field, quoted when it must be; a text a spreadsheet would run as a
// formula (beginning with =, +, - or @) gets a leading '.
std::string csvField(std::string_view text, bool guardFormula = false);

} // namespace tw
