#include "core/inifile.h"

#include "core/fileio.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace tw {

namespace {

constexpr std::string_view kBlanks = " \t";
constexpr std::string_view kBom = "\xEF\xBB\xBF";

std::string_view trimmed(std::string_view s)
{
    const std::size_t b = s.find_first_not_of(kBlanks);
    if (b == std::string_view::npos) {
        return {};
    }
    return s.substr(b, s.find_last_not_of(kBlanks) - b + 1);
}

// What a line is: a section header (its name), a key line (its key and the
// raw text after "="), or neither (blank, comment, anything else).
struct Line
{
    enum class Kind { Other, Section, Key } kind = Kind::Other;
    std::string_view name;
    std::string_view raw;
};

Line classify(std::string_view line)
{
    line = trimmed(line);
    if (line.empty() || line.front() == ';' || line.front() == '#') {
        return {};
    }
    if (line.front() == '[' && line.back() == ']') {
        return {Line::Kind::Section, trimmed(line.substr(1, line.size() - 2)), {}};
    }
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos || eq == 0) {
        return {};
    }
    return {Line::Kind::Key, trimmed(line.substr(0, eq)), line.substr(eq + 1)};
}

bool isGeneral(std::string_view section)
{
    // Written by hand as [general] too: the same section, never a second one.
    constexpr std::string_view general = "general";
    const auto sameLetter = [](char a, char b) {
        return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
    };
    return section.empty() || std::ranges::equal(section, general, sameLetter);
}

Failure writeFailure(const std::string& path, int error)
{
    return Failure{"cannot write " + path + ": " + std::strerror(error)};
}

// Over the file's own bytes, so that it keeps its inode and with it its
// owner, mode and other names; for where a new file renamed over it could
// not keep them.
Result<void> overwrite(const std::string& path, std::string_view content)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        return writeFailure(path, errno);
    }
    const Result<void> written = writeAll(fd, content);
    const bool cut = written && ::ftruncate(fd, static_cast<off_t>(content.size())) == 0;
    const int error = errno;
    const bool closed = ::close(fd) == 0;
    if (!written) {
        return Failure{"cannot write " + path + ": " + written.error()};
    }
    if (!cut || !closed) {
        return writeFailure(path, cut ? errno : error);
    }
    return {};
}

// A new file at temp with the owner and mode of the file st describes, or -1
// where it cannot have them (a process that does not own the file cannot
// give a new one its owner).
int openLike(const std::string& temp, const struct stat& st)
{
    const int fd =
        ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return -1;
    }
    struct stat made = {};
    bool kept = ::fstat(fd, &made) == 0;
    if (kept && (made.st_uid != st.st_uid || made.st_gid != st.st_gid)) {
        kept = ::fchown(fd, st.st_uid, st.st_gid) == 0;
    }
    // After the owner, which may clear set-id bits.
    kept = kept && ::fchmod(fd, st.st_mode & 07777) == 0;
    if (!kept) {
        ::close(fd);
        ::unlink(temp.c_str());
        return -1;
    }
    return fd;
}

// Writes content into fd, a new file at temp, and renames it over target, so
// that a reader never sees half of it.
Result<void> writeAndRename(int fd, const std::string& temp, const std::string& target,
                            std::string_view content)
{
    const Result<void> written = writeAll(fd, content);
    const bool closed = ::close(fd) == 0;
    if (!written || !closed) {
        const std::string why = written ? std::string(std::strerror(errno)) : written.error();
        std::remove(temp.c_str());
        return Failure{"cannot write " + temp + ": " + why};
    }
    if (std::rename(temp.c_str(), target.c_str()) != 0) {
        const int err = errno;
        std::remove(temp.c_str());
        return writeFailure(target, err);
    }
    return {};
}

} // namespace

Result<void> IniFile::load()
{
    std::ifstream in(m_path, std::ios::binary);
    if (!in) {
        return Failure{"cannot read " + m_path + ": " + std::strerror(errno)};
    }
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad()) {
        return Failure{"cannot read " + m_path};
    }
    const std::string text = std::move(content).str();
    std::vector<TextLine> lines;
    std::string_view rest = text;
    while (!rest.empty()) {
        const std::size_t nl = rest.find('\n');
        std::string_view line = rest.substr(0, nl);
        std::string end = nl == std::string_view::npos ? "" : "\n";
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
            end.insert(0, "\r");
        }
        lines.push_back({std::string(line), std::move(end)});
        rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
    }
    m_lines = std::move(lines);
    m_newline = m_lines.empty() || m_lines.front().end.empty() ? "\n" : m_lines.front().end;
    return {};
}

int IniFile::findKey(std::string_view key, std::size_t* insertAt) const
{
    int found = -1;
    std::string_view section;
    bool sawGeneral = false;
    std::size_t endOfGeneral = 0;
    for (std::size_t i = 0; i < m_lines.size(); ++i) {
        std::string_view text = m_lines[i].text;
        if (i == 0 && text.starts_with(kBom)) {
            text.remove_prefix(kBom.size());
        }
        const Line line = classify(text);
        if (line.kind == Line::Kind::Section) {
            section = line.name;
            if (isGeneral(section)) {
                sawGeneral = true;
                endOfGeneral = i + 1;
            }
            continue;
        }
        if (line.kind == Line::Kind::Key && isGeneral(section)) {
            sawGeneral = true;
            endOfGeneral = i + 1;
            if (line.name == key) {
                found = static_cast<int>(i);
            }
        }
    }
    if (insertAt) {
        *insertAt = sawGeneral ? endOfGeneral : std::size_t(-1);
    }
    return found;
}

std::optional<std::string> IniFile::value(std::string_view key) const
{
    std::optional<std::string> raw = rawValue(key);
    if (raw) {
        raw = readValue(*raw);
    }
    return raw;
}

std::optional<std::string> IniFile::rawValue(std::string_view key) const
{
    const int at = findKey(key, nullptr);
    if (at < 0) {
        return std::nullopt;
    }
    std::string_view text = m_lines[static_cast<std::size_t>(at)].text;
    if (at == 0 && text.starts_with(kBom)) {
        text.remove_prefix(kBom.size());
    }
    return std::string(trimmed(classify(text).raw));
}

void IniFile::setValue(std::string_view key, std::string_view value)
{
    std::size_t insertAt = 0;
    const int at = findKey(key, &insertAt);
    const std::string written = writtenValue(value);
    if (at >= 0) {
        // The key as the line spells it, blanks before "=" included.
        std::string& line = m_lines[static_cast<std::size_t>(at)].text;
        line.erase(line.find('=') + 1);
        line += written;
        return;
    }
    TextLine line{std::string(key) + "=" + written, m_newline};
    if (insertAt == std::size_t(-1)) {
        // A byte-order mark stays the first bytes of the file.
        TextLine header{"[General]", m_newline};
        if (!m_lines.empty() && m_lines.front().text.starts_with(kBom)) {
            m_lines.front().text.erase(0, kBom.size());
            header.text.insert(0, kBom);
        }
        m_lines.insert(m_lines.begin(), {std::move(header), std::move(line)});
        return;
    }
    m_lines.insert(m_lines.begin() + static_cast<std::ptrdiff_t>(insertAt), std::move(line));
}

std::string IniFile::readValue(std::string_view raw)
{
    raw = trimmed(raw);
    if (raw.size() < 2 || raw.front() != '"' || raw.back() != '"') {
        return std::string(raw);
    }
    std::string out;
    for (std::size_t i = 1; i + 1 < raw.size(); ++i) {
        if (raw[i] == '\\' && i + 2 < raw.size() && (raw[i + 1] == '"' || raw[i + 1] == '\\')) {
            ++i;
        }
        out += raw[i];
    }
    return out;
}

std::string IniFile::writtenValue(std::string_view value)
{
    std::string plain(value);
    for (char& c : plain) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    // Written as it is unless reading would change it: blanks around it, or
    // quotes around it that reading would take away.
    const bool quoted = plain.size() >= 2 && plain.front() == '"' && plain.back() == '"';
    if (plain == trimmed(plain) && !quoted) {
        return plain;
    }
    std::string out = "\"";
    for (const char c : plain) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out + "\"";
}

Result<void> IniFile::save() const
{
    std::string content;
    for (std::size_t i = 0; i < m_lines.size(); ++i) {
        content += m_lines[i].text;
        const std::string& end = m_lines[i].end;
        // A last line without an end (or with a lone CR, which no reader
        // takes as one) gets one when a line was added after it.
        if (i + 1 < m_lines.size() && end.find('\n') == std::string::npos) {
            content += end.empty() ? m_newline : end + "\n";
        } else {
            content += end;
        }
    }
    struct stat st = {};
    if (::stat(m_path.c_str(), &st) != 0) {
        if (errno != ENOENT) {
            return writeFailure(m_path, errno);
        }
        if (struct stat link = {}; ::lstat(m_path.c_str(), &link) == 0) {
            // A dangling symlink: the file it names is made through it.
            return overwrite(m_path, content);
        }
        const std::string temp = m_path + ".new";
        const int fd =
            ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0) {
            return writeFailure(temp, errno);
        }
        return writeAndRename(fd, temp, m_path, content);
    }
    if (!S_ISREG(st.st_mode)) {
        return Failure{"cannot write " + m_path + ": not a file"};
    }
    // Through a symlink the file it names is written, and the link stays.
    std::error_code ec;
    const std::string target = std::filesystem::canonical(m_path, ec).string();
    if (ec) {
        return Failure{"cannot write " + m_path + ": " + ec.message()};
    }
    // A renamed file would leave the file's other names with the old text.
    if (st.st_nlink > 1) {
        return overwrite(target, content);
    }
    const std::string temp = target + ".new";
    const int fd = openLike(temp, st);
    if (fd < 0) {
        return overwrite(target, content);
    }
    return writeAndRename(fd, temp, target, content);
}

} // namespace tw
