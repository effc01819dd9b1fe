#pragma once

#include "core/result.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tw {

// tidewatch.ini, read and written line by line. People write the file by
// hand with values copied from elsewhere (a browser's User-Agent holds ";"
// and ","), so a value is read as written, up to the end of its line, with
// only the blanks around it dropped; a value wholly in double quotes is
// unquoted (\" and \\ inside), as INI files write one. Saving changes only
// the line of the key saved: every other line stays byte for byte, line ends
// included. Keys live in section [General], in any case (or before any
// section). Not thread-safe.
class IniFile
{
public:
    explicit IniFile(std::string path) : m_path(std::move(path)) {}

    const std::string& path() const { return m_path; }
    // Reads the file again; a failure when it cannot be read (then the
    // lines read before are kept).
    Result<void> load();
    // The last value of key in [General]; nullopt when the file has none.
    std::optional<std::string> value(std::string_view key) const;
    // The text after "=" as written, only the blanks around it dropped: for
    // a value whose reader takes quotes as its own syntax (onalert).
    std::optional<std::string> rawValue(std::string_view key) const;
    // Replaces key's value, or adds the key to [General]; only in memory.
    void setValue(std::string_view key, std::string_view value);
    // Writes the lines to the file path names (through a symlink), keeping
    // its mode and owner: into a temporary file renamed over it, or over its
    // bytes where a new file could not keep its owner or links. A failure
    // names the file.
    Result<void> save() const;

    // How value() reads the text after "=", and how setValue writes one so
    // that it reads back the same (line breaks become blanks).
    static std::string readValue(std::string_view raw);
    static std::string writtenValue(std::string_view value);

private:
    struct TextLine
    {
        std::string text;
        std::string end; // "\n", "\r\n", or "" on a last line without one
    };

    // The line of key in [General] that value() reads, or -1; where a new
    // key goes in insertAt.
    int findKey(std::string_view key, std::size_t* insertAt) const;

    std::string m_path;
    std::vector<TextLine> m_lines;
    // For lines added: the first line's end.
    std::string m_newline = "\n";
};

} // namespace tw
