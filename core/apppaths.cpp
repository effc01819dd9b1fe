#include "core/apppaths.h"

#include <filesystem>
#include <system_error>

namespace tw {

AppPaths AppPaths::under(const std::string& appPath)
{
    AppPaths p;
    p.appPath = appPath;
    p.itemsFile = appPath + "_items.txt";
    p.alertFile = appPath + "alert.wav";
    p.titlesFile = appPath + "_tmpbbtitles.txt";
    p.pageFile = appPath + "_tmpChunked.txt";
    p.dbFile = appPath + "sys.mdb";
    return p;
}

std::string AppPaths::programFolder()
{
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path exe = fs::canonical("/proc/self/exe", ec);
    std::string dir = ec ? fs::current_path(ec).string() : exe.parent_path().string();
    if (dir.empty() || dir.back() != '/') {
        dir += '/';
    }
    return dir;
}

} // namespace tw
