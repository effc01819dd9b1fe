#pragma once

#include <string>

namespace tw {

// Every file of the program sits beside the executable.
struct AppPaths
{
    std::string appPath;
    std::string itemsFile;
    std::string alertFile;
    std::string titlesFile;
    std::string pageFile;
    std::string dbFile;
    std::string dbConnStr;

    // appPath ends in "/"; dbConnStr stays empty until the database is known
    // to exist.
    static AppPaths under(const std::string& appPath);
    // The executable's own folder, ending in "/".
    static std::string programFolder();
};

} // namespace tw
