#include "watchlistfile.h"

#include "core/fileio.h"
#include "core/zuvira.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <unistd.h>

namespace tw {

namespace {

// Adds one usable line, or counts it as left out when the table is full or
// the line does not fit its fields.
void take(WatchLines& out, Watch watch)
{
    if (static_cast<int>(out.watches.size()) >= WatchTable::kSlots || !WatchTable::fits(watch)) {
        ++out.leftOut;
        return;
    }
    out.watches.push_back(std::move(watch));
}

std::string errnoText(const std::string& what, int err)
{
    return what + ": " + std::strerror(err);
}

} // namespace

bool WatchListFile::readLines(const std::string& path, std::vector<std::string>& lines)
{
    lines.clear();
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    return true;
}

std::string WatchListFile::searchKey(const std::string& url)
{
    return CCore::getStrPart(url, "&q=", "&");
}

WatchLines WatchListFile::parseList(const std::vector<std::string>& lines)
{
    WatchLines out;
    for (const std::string& line : lines) {
        // A line of blanks would become a watch with no address at all.
        std::string url = CCore::parseUrl(line);
        if (url.empty()) {
            continue;
        }
        std::string sid = searchKey(url);
        take(out, Watch{std::move(url), std::move(sid)});
    }
    return out;
}

WatchLines WatchListFile::parseImport(const std::vector<std::string>& lines)
{
    WatchLines out;
    for (const std::string& line : lines) {
        if (line.empty() || line.find("&s=") != std::string::npos) {
            continue;
        }
        std::string url = CCore::getFg(line, '#', 0);
        // A comment line holds no address; storing it would write an empty
        // line into the list file.
        if (CCore::parseUrl(url).empty()) {
            continue;
        }
        std::string sid = searchKey(url);
        take(out, Watch{std::move(url), std::move(sid)});
    }
    return out;
}

SaveResult WatchListFile::save(const std::string& path, const std::vector<std::string>& urls)
{
    std::string content;
    for (const std::string& url : urls) {
        content += url;
        content += "\r\n";
    }

    const std::string temp = tempPathFor(path);
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return {false, errnoText(temp, errno)};
    }
    if (!writeAll(fd, content)) {
        const int err = errno;
        ::close(fd);
        std::remove(temp.c_str());
        return {false, errnoText(temp, err)};
    }
    // Flushed to disk before the rename, so a crash leaves the old list or
    // the complete new one.
    const int synced = ::fsync(fd) == 0 ? 0 : errno;
    const int closed = ::close(fd) == 0 ? 0 : errno;
    if (synced != 0 || closed != 0) {
        const int err = synced != 0 ? synced : closed;
        std::remove(temp.c_str());
        return {false, errnoText(temp, err)};
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        std::remove(temp.c_str());
        return {false, errnoText(path, err)};
    }
    return {};
}

} // namespace tw
