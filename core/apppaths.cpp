#include "core/apppaths.h"

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

} // namespace tw
