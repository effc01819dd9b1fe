#include "core/inifile.h"

#include "core/fileio.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
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
    return section.empty() || section == "General";
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
    std::string text = std::move(content).str();
    m_lines.clear();
    m_newline = text.find("\r\n") != std::string::npos ? "\r\n" : "\n";
    std::string_view rest = text;
    while (!rest.empty()) {
        const std::size_t nl = rest.find('\n');
        std::string_view line = rest.substr(0, nl);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        m_lines.emplace_back(line);
        rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
    }
    return {};
}

int IniFile::findKey(std::string_view key, std::size_t* insertAt) const
{
    int found = -1;
    std::string_view section;
    bool sawGeneral = false;
    std::size_t endOfGeneral = 0;
    for (std::size_t i = 0; i < m_lines.size(); ++i) {
        std::string_view text = m_lines[i];
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
    const int at = findKey(key, nullptr);
    if (at < 0) {
        return std::nullopt;
    }
    std::string_view text = m_lines[static_cast<std::size_t>(at)];
    if (at == 0 && text.starts_with(kBom)) {
        text.remove_prefix(kBom.size());
    }
    return readValue(classify(text).raw);
}

void IniFile::setValue(std::string_view key, std::string_view value)
{
    std::size_t insertAt = 0;
    const int at = findKey(key, &insertAt);
    const std::string written = writtenValue(value);
    if (at >= 0) {
        // The key as the line spells it, blanks before "=" included.
        std::string& line = m_lines[static_cast<std::size_t>(at)];
        line.erase(line.find('=') + 1);
        line += written;
        return;
    }
    std::string line = std::string(key) + "=" + written;
    if (insertAt == std::size_t(-1)) {
        // A byte-order mark stays the first bytes of the file.
        std::string header = "[General]";
        if (!m_lines.empty() && m_lines.front().starts_with(kBom)) {
            m_lines.front().erase(0, kBom.size());
            header.insert(0, kBom);
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
    for (const std::string& line : m_lines) {
        content += line;
        content += m_newline;
    }
    const std::string temp = m_path + ".new";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return Failure{"cannot write " + temp + ": " + std::strerror(errno)};
    }
    const Result<void> written = writeAll(fd, content);
    const bool closed = ::close(fd) == 0;
    if (!written || !closed) {
        std::remove(temp.c_str());
        return Failure{"cannot write " + temp + ": " +
                       (written ? std::string(std::strerror(errno)) : written.error())};
    }
    // Renamed over the file, so that a reader never sees half of it.
    if (std::rename(temp.c_str(), m_path.c_str()) != 0) {
        const int err = errno;
        std::remove(temp.c_str());
        return Failure{"cannot write " + m_path + ": " + std::strerror(err)};
    }
    return {};
}

} // namespace tw
