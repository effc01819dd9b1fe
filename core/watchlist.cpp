#include "core/watchlist.h"

#include "core/fileio.h"
#include "core/text.h"
#include "core/zuvira.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <unistd.h>
#include <unordered_map>

#include <QStringDecoder>

namespace tw::watchlist {

namespace {

// Adds one usable line, or counts it as left out when the table is full or
// the line does not fit its fields.
void take(WatchLines& out, Watch watch)
{
    if (static_cast<int>(out.watches.size()) >= WatchTable::kSlots) {
        ++out.leftOut.tooMany;
        return;
    }
    if (!WatchTable::fits(watch)) {
        ++out.leftOut.tooLong;
        return;
    }
    out.watches.push_back(std::move(watch));
}

bool isWebAddress(std::string_view url)
{
    const auto startsWith = [&](std::string_view scheme) {
        if (url.size() <= scheme.size()) {
            return false;
        }
        for (std::size_t i = 0; i < scheme.size(); ++i) {
            const char c = url[i];
            if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != scheme[i]) {
                return false;
            }
        }
        return true;
    };
    return startsWith("http://") || startsWith("https://");
}

// A key of blanks alone ("+", "%20") searches for nothing.
bool hasSearchWords(std::string_view sid)
{
    for (std::size_t i = 0; i < sid.size(); ++i) {
        if (sid.compare(i, 3, "%20") == 0) {
            i += 2;
        } else if (sid[i] != '+' && sid[i] != ' ') {
            return true;
        }
    }
    return false;
}

// The address of an import line; nullopt for a line an import passes over
// (blank, a comment, a page of a search).
std::optional<std::string> importAddress(std::string_view line)
{
    if (line.find("&s=") != std::string_view::npos) {
        return std::nullopt;
    }
    // Blanks around the address are no part of it.
    std::string url = CCore::parseUrl(CCore::getFg(line, '#', 0));
    // A comment line holds no address; storing it would write an empty
    // line into the list file.
    if (url.empty()) {
        return std::nullopt;
    }
    return url;
}

ParsedLine checkAddress(std::string url)
{
    if (!isWebAddress(url)) {
        return {std::nullopt, Refusal::NotUrl};
    }
    std::string sid = searchKey(url);
    // Its items would go under an empty key, shared with every such watch.
    if (!hasSearchWords(sid)) {
        return {std::nullopt, Refusal::NoSearchWords};
    }
    Watch watch{std::move(url), std::move(sid)};
    if (!WatchTable::fits(watch)) {
        return {std::nullopt, Refusal::TooLong};
    }
    return {std::move(watch), Refusal::None};
}

void count(LeftOut& leftOut, Refusal refusal)
{
    switch (refusal) {
    case Refusal::NotUrl:
        ++leftOut.notUrl;
        break;
    case Refusal::NoSearchWords:
        ++leftOut.noSearchWords;
        break;
    case Refusal::TooLong:
        ++leftOut.tooLong;
        break;
    case Refusal::TooMany:
        ++leftOut.tooMany;
        break;
    // An import passes over a paged line without counting it.
    case Refusal::Paged:
    case Refusal::None:
        break;
    }
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
    // Some line kept is not valid UTF-8.
    bool notUtf8 = false;
};

// The part of an overlong line that was kept may end inside a character.
bool isUtf8Line(std::string_view line, bool cutShort)
{
    if (cutShort) {
        std::size_t end = line.size();
        for (int k = 0; k < 3 && end > 0 && (static_cast<unsigned char>(line[end - 1]) & 0x80);
             ++k) {
            --end;
            if ((static_cast<unsigned char>(line[end]) & 0xC0) == 0xC0) {
                break;
            }
        }
        line = line.substr(0, end);
    }
    return text::isValidUtf8(line);
}

Result<BoundedLines> readBounded(std::istream& in, const std::string& path)
{
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
        if (!out.notUtf8 && !isUtf8Line(line, overlong)) {
            out.notUtf8 = true;
        }
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

Result<BoundedLines> readBounded(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return errnoFailure(path, errno);
    }
    return readBounded(in, path);
}

// A file that starts with a UTF-16 byte-order mark, as UTF-8 lines.
Result<BoundedLines> readUtf16(std::istream& in, const std::string& path, bool bigEndian)
{
    // Read as far as the limits can use once it is UTF-8, and no further.
    std::string bytes(2 * kMaxReadBytes, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (in.bad()) {
        return errnoFailure(path, errno);
    }
    bytes.resize(static_cast<std::size_t>(in.gcount()) & ~std::size_t(1));
    const bool more = in.gcount() == static_cast<std::streamsize>(2 * kMaxReadBytes) &&
                      in.peek() != std::char_traits<char>::eof();
    QStringDecoder decode(bigEndian ? QStringConverter::Utf16BE : QStringConverter::Utf16LE,
                          QStringConverter::Flag::Stateless);
    const QString decoded = decode(QByteArrayView(bytes.data(), qsizetype(bytes.size())));
    if (decode.hasError()) {
        return Failure{path + ": 文件以 UTF-16 标记开头，但内容不是有效的 UTF-16 文本"};
    }
    std::string utf8 = decoded.toStdString();
    if (more) {
        // The line the read limit cut through is not a line the file holds.
        utf8.erase(utf8.rfind('\n') == std::string::npos ? 0 : utf8.rfind('\n') + 1);
    }
    std::istringstream stream(std::move(utf8));
    Result<BoundedLines> read = readBounded(stream, path);
    if (read && more) {
        read.value().cut = true;
    }
    return read;
}

// The lines of an import file, whatever encoding of text it is in.
Result<BoundedLines> readImportLines(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return errnoFailure(path, errno);
    }
    char mark[3] = {};
    in.read(mark, 3);
    const auto got = in.gcount();
    const auto is = [&](std::string_view bom) {
        return got >= static_cast<std::streamsize>(bom.size()) &&
               std::string_view(mark, bom.size()) == bom;
    };
    in.clear();
    if (is("\xFF\xFE") || is("\xFE\xFF")) {
        in.seekg(2);
        return readUtf16(in, path, is("\xFE\xFF"));
    }
    in.seekg(is("\xEF\xBB\xBF") ? 3 : 0);
    Result<BoundedLines> read = readBounded(in, path);
    if (read && read.value().notUtf8) {
        return Failure{
            path +
            ": 文件不是 UTF-8 文本（也不是带字节顺序标记的 UTF-16），请另存为 UTF-8 后再导入"};
    }
    return read;
}

WatchLines parseRead(const BoundedLines& read, WatchLines (*parse)(const std::vector<std::string>&))
{
    WatchLines parsed = parse(read.lines);
    if (read.cut) {
        ++parsed.leftOut.tooMany;
        parsed.notes.push_back({static_cast<int>(read.lines.size()) + 1,
                                "第 " + std::to_string(read.lines.size() + 1) + " 行起未载入：" +
                                    refusalText(Refusal::TooMany)});
    }
    return parsed;
}

} // namespace

std::string leftOutText(const LeftOut& leftOut)
{
    if (leftOut.total() <= 0) {
        return {};
    }
    std::string reasons;
    const auto add = [&](int count, const std::string& reason) {
        if (count > 0) {
            reasons += (reasons.empty() ? "" : "，") + std::to_string(count) + " 行" + reason;
        }
    };
    add(leftOut.notUrl, refusalText(Refusal::NotUrl));
    add(leftOut.noSearchWords, refusalText(Refusal::NoSearchWords));
    add(leftOut.tooLong, refusalText(Refusal::TooLong));
    add(leftOut.tooMany, refusalText(Refusal::TooMany));
    return "有 " + std::to_string(leftOut.total()) + " 行网址未载入：" + reasons + "。";
}

std::string refusalText(Refusal refusal)
{
    switch (refusal) {
    case Refusal::None:
        return {};
    case Refusal::NotUrl:
        return "不是网址（只取 http:// 或 https:// 开头的网址）";
    case Refusal::NoSearchWords:
        return "没有搜索词（网址中没有 &q= 或 ?q= 后的搜索词）";
    case Refusal::TooLong:
        return "过长（网址最多 1023 字节，搜索词最多 100 字节）";
    case Refusal::TooMany:
        return "超出列表上限（最多 1000 行）";
    case Refusal::Paged:
        return "带有翻页位置 &s=（程序翻页时自己加上，请去掉）";
    }
    return {};
}

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
    Result<BoundedLines> read = readBounded(path);
    if (!read) {
        return Failure{read.error()};
    }
    return parseRead(read.value(), parseList);
}

Result<WatchLines> readImportFile(const std::string& path)
{
    Result<BoundedLines> read = readImportLines(path);
    if (!read) {
        return Failure{read.error()};
    }
    return parseRead(read.value(), parseImport);
}

std::string tempPathFor(const std::string& path)
{
    return path + ".new";
}

std::string searchKey(const std::string& url)
{
    if (url.find("&q=") == std::string::npos && url.find("?q=") != std::string::npos) {
        return CCore::getStrPart(url, "?q=", "&");
    }
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
    // The line number of each search taken, by identity.
    std::unordered_map<std::string, int> taken;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string lineNo = "第 " + std::to_string(i + 1) + " 行";
        const auto leaveOut = [&](Refusal refusal) {
            count(out.leftOut, refusal);
            out.notes.push_back(
                {static_cast<int>(i + 1), lineNo + "未载入：" + refusalText(refusal)});
        };
        std::optional<std::string> url = importAddress(lines[i]);
        if (!url) {
            continue;
        }
        ParsedLine parsed = checkAddress(std::move(*url));
        if (!parsed.watch) {
            leaveOut(parsed.refusal);
            continue;
        }
        // A second row would report every item of the first one again.
        std::string identity = searchIdentity(parsed.watch->url);
        if (const auto first = taken.find(identity); first != taken.end()) {
            ++out.merged;
            out.notes.push_back(
                {static_cast<int>(i + 1),
                 lineNo + "与第 " + std::to_string(first->second) + " 行是同一个搜索，已合并"});
            continue;
        }
        if (out.watches.size() >= static_cast<std::size_t>(WatchTable::kSlots)) {
            leaveOut(Refusal::TooMany);
            continue;
        }
        taken.emplace(std::move(identity), static_cast<int>(i + 1));
        out.watches.push_back(std::move(*parsed.watch));
    }
    return out;
}

ParsedLine checkLine(std::string_view line)
{
    std::optional<std::string> url = importAddress(line);
    if (!url) {
        return {std::nullopt,
                line.find("&s=") != std::string_view::npos ? Refusal::Paged : Refusal::NotUrl};
    }
    return checkAddress(std::move(*url));
}

std::optional<Watch> parseOne(std::string_view line)
{
    return checkLine(line).watch;
}

std::string searchIdentity(std::string_view url)
{
    const std::size_t hash = url.find('#');
    const std::size_t mark = url.substr(0, hash).find('?');
    if (mark == std::string_view::npos) {
        return std::string(url);
    }
    const std::size_t end = hash == std::string_view::npos ? url.size() : hash;
    std::string out(url.substr(0, mark + 1));
    out.reserve(url.size());
    bool inValue = false;
    for (std::size_t i = mark + 1; i < end; ++i) {
        const char c = url[i];
        if (c == '&') {
            inValue = false;
        } else if (c == '=') {
            inValue = true;
        } else if (c == '%' && inValue && i + 2 < end && text::hexValue(url[i + 1]) >= 0 &&
                   text::hexValue(url[i + 2]) >= 0) {
            const char byte =
                static_cast<char>(text::hexValue(url[i + 1]) * 16 + text::hexValue(url[i + 2]));
            i += 2;
            // Decoded, these would read as the query's own "&", "+" (a blank),
            // fragment or a "%" that starts another escape.
            if (byte == '%' || byte == '&' || byte == '+' || byte == '#') {
                static constexpr char kHex[] = "0123456789ABCDEF";
                out += '%';
                out += kHex[static_cast<unsigned char>(byte) >> 4];
                out += kHex[static_cast<unsigned char>(byte) & 0xF];
            } else {
                out += byte;
            }
            continue;
        }
        out += c;
    }
    out.append(url.substr(end));
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
