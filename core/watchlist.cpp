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

namespace {

struct BoundedLines
{
    std::vector<std::string> lines;
    // The file went on past kMaxReadBytes.
    bool cut = false;
};

Result<BoundedLines> readBounded(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return errnoFailure(path, errno);
    }
    BoundedLines out;
    std::string line;
    bool overlong = false;
    bool importSkip = false;
    const auto endLine = [&] {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        // Past the kept part only one thing still counts: an import skips
        // a line that holds "&s=" anywhere.
        if (importSkip && line.find("&s=") == std::string::npos) {
            line += "&s=";
        }
        out.lines.push_back(std::move(line));
        line.clear();
        overlong = importSkip = false;
    };

    std::vector<char> buffer(64 * 1024);
    std::size_t total = 0;
    // The last two bytes seen of an overlong line, so that "&s=" is found
    // across the cut and across reads.
    std::string tail;
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const auto got = static_cast<std::size_t>(in.gcount());
        if (got == 0) {
            break;
        }
        std::string_view chunk(buffer.data(), got);
        if (total + got > kMaxReadBytes) {
            chunk = chunk.substr(0, kMaxReadBytes - total);
            out.cut = true;
        }
        total += chunk.size();
        while (!chunk.empty()) {
            const std::size_t nl = chunk.find('\n');
            const std::string_view part = chunk.substr(0, nl);
            std::string_view dropped;
            if (!overlong) {
                const std::size_t room = kMaxLineBytes - line.size();
                line.append(part.substr(0, room));
                if (part.size() > room) {
                    overlong = true;
                    tail.assign(line, line.size() - 2, 2);
                    dropped = part.substr(room);
                }
            } else {
                dropped = part;
            }
            if (!dropped.empty() && !importSkip) {
                tail.append(dropped);
                importSkip = tail.find("&s=") != std::string::npos;
                tail.erase(0, tail.size() - 2);
            }
            if (nl == std::string_view::npos) {
                break;
            }
            endLine();
            chunk.remove_prefix(nl + 1);
            if (out.lines.size() == kMaxLines) {
                out.cut = !chunk.empty() || in.peek() != std::char_traits<char>::eof();
                break;
            }
        }
        if (out.cut) {
            break;
        }
    }
    if (in.bad()) {
        return errnoFailure(path, errno);
    }
    // A line cut by the read limit is not a line the file holds.
    if (!out.cut && (!line.empty() || overlong)) {
        endLine();
    }
    return out;
}

Result<WatchLines> readAndParse(const std::string& path,
                                WatchLines (*parse)(const std::vector<std::string>&))
{
    Result<BoundedLines> read = readBounded(path);
    if (!read) {
        return Failure{read.error()};
    }
    WatchLines parsed = parse(read.value().lines);
    if (read.value().cut) {
        ++parsed.leftOut;
    }
    return parsed;
}

} // namespace

Result<std::vector<std::string>> readLines(const std::string& path)
{
    Result<BoundedLines> read = readBounded(path);
    if (!read) {
        return Failure{read.error()};
    }
    return std::move(read.value().lines);
}

Result<WatchLines> readListFile(const std::string& path)
{
    return readAndParse(path, parseList);
}

Result<WatchLines> readImportFile(const std::string& path)
{
    return readAndParse(path, parseImport);
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
