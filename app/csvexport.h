#pragma once

#include <string>

namespace tw {

// `tidewatch --export-csv FILE [--since YYYY-MM-DD]`: the record of finds of
// the program folder appPath written to file as CSV. Only reads, so it works
// beside a program running in the folder. "" when done, else the reason.
std::string exportFindsCsv(const std::string& appPath, const std::string& file,
                           const std::string& since);

} // namespace tw
