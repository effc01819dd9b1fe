#include "core/watchlist.h"

#include "core/fileio.h"
#include "core/zuvira.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <unistd.h>

namespace tw::watchlist {

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

Failure errnoFailure(const std::string& what, int err)
{
    return Failure{what + ": " + std::strerror(err)};
}

} // namespace

Result<std::vector<std::string>> readLines(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return errnoFailure(path, errno);
    }
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    // getline ends on end of file or on an error; only the first is a whole read.
    if (in.bad()) {
        return errnoFailure(path, errno);
    }
    return lines;
}

std::string tempPathFor(const std::string& path)
{
    return path + ".new";
}

std::string searchKey(const std::string& url)
{
    return CCore::getStrPart(url, "&q=", "&");
}

WatchLines parseList(const std::vector<std::string>& lines)
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

WatchLines parseImport(const std::vector<std::string>& lines)
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

Result<void> save(const std::string& path, const std::vector<std::string>& urls)
{
    std::string content;
    for (const std::string& url : urls) {
        content += url;
        content += "\r\n";
    }

    const std::string temp = tempPathFor(path);
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return errnoFailure(temp, errno);
    }
    if (const Result<void> written = writeAll(fd, content); !written) {
        ::close(fd);
        std::remove(temp.c_str());
        return Failure{temp + ": " + written.error()};
    }
    // Flushed to disk before the rename, so a crash leaves the old list or
    // the complete new one.
    const int synced = ::fsync(fd) == 0 ? 0 : errno;
    const int closed = ::close(fd) == 0 ? 0 : errno;
    if (synced != 0 || closed != 0) {
        const int err = synced != 0 ? synced : closed;
        std::remove(temp.c_str());
        return errnoFailure(temp, err);
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        std::remove(temp.c_str());
        return errnoFailure(path, err);
    }
    return {};
}

} // namespace tw::watchlist
