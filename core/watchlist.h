#pragma once

#include "core/result.h"
#include "core/watchtable.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tw {

// Lines that were meant as watches but could not be taken, by reason.
struct LeftOut
{
    // Not an http:// or https:// address (import only).
    int notUrl = 0;
    // No search words: nothing after "&q=" (or "?q=") (import only).
    int noSearchWords = 0;
    // The url or its search key longer than its field holds.
    int tooLong = 0;
    // Past the table's 1000 watches, or past what is read of a huge file.
    int tooMany = 0;

    int total() const { return notUrl + noSearchWords + tooLong + tooMany; }
};

// A line of an imported file that the user is told about: left out, or
// merged into an earlier line.
struct LineNote
{
    // From 1, as an editor numbers the file's lines.
    int line = 0;
    // The whole sentence, e.g. "第 3 行未载入：…".
    std::string text;

    bool operator==(const LineNote&) const = default;
};

// What a list file or an imported file gives: the watches to store, and the
// lines that had to be left out.
struct WatchLines
{
    std::vector<Watch> watches;
    LeftOut leftOut;
    // Import only, in line order: each line left out and each merged one.
    std::vector<LineNote> notes;
    // Import only: lines merged into an earlier one, the same search.
    int merged = 0;
};

// Why a line or a typed URL is no watch.
enum class Refusal {
    None,
    NotUrl,
    NoSearchWords,
    TooLong,
    TooMany,
    // Holds "&s=", the page offset the program adds itself (a typed URL only:
    // an import passes over such a line without a word).
    Paged,
};

// One line as an import takes it: the watch, or why it is none.
struct ParsedLine
{
    std::optional<Watch> watch;
    Refusal refusal = Refusal::None;
};

// The watch list file format ("_items.txt") and the import rules. Lines end in
// CR LF when written; LF alone is accepted when read. No window, no Qt: the
// main window only runs the dialog flow around these.
namespace watchlist {

// Reading never takes more than a list can use, so a huge file picked by
// mistake neither freezes the window nor exhausts memory: at most
// kMaxReadBytes and kMaxLines are read, and a line keeps at most
// kMaxLineBytes (far more than a usable url; what it had past them can only
// have made it unusable).
inline constexpr std::size_t kMaxReadBytes = 16 * 1024 * 1024;
inline constexpr std::size_t kMaxLines = 100000;
inline constexpr std::size_t kMaxLineBytes = 64 * 1024;

// "有 N 行网址未载入：" followed by the reasons; "" when nothing was left out.
std::string leftOutText(const LeftOut& leftOut);
// The reason alone, as leftOutText gives it; "" for None.
std::string refusalText(Refusal refusal);

// The lines of a text file without their terminators, within the limits
// above; a failure when it cannot be opened or read.
Result<std::vector<std::string>> readLines(const std::string& path);

// A list file or an import file read and parsed; a file that goes on past
// the read limits counts one more line left out. An import file is UTF-8
// (a byte-order mark is skipped) or UTF-16 with its byte-order mark; any
// other file fails with the reason, so that nothing changes.
Result<WatchLines> readListFile(const std::string& path);
Result<WatchLines> readImportFile(const std::string& path);

// The list file: every line that is not blank becomes a watch with its
// parsed url and its search key.
WatchLines parseList(const std::vector<std::string>& lines);
// An imported file: lines holding "&s=" are skipped, text from "#" on is
// dropped, and what is left, without blanks around it, becomes a watch when
// it is an http(s) address with search words. A line that is the same search
// as an earlier one (searchIdentity) is merged into it. Each line left out or
// merged gets a note.
WatchLines parseImport(const std::vector<std::string>& lines);
// One line (or a URL typed in a dialog) by the import's rules, the table's
// fields included; a line that an import passes over is refused too (NotUrl
// for one without an address, Paged). Only the list's size is not checked.
ParsedLine checkLine(std::string_view line);
// The watch checkLine gives; nullopt when it refuses the line.
std::optional<Watch> parseOne(std::string_view line);

// Writes the urls, each followed by CR LF, to a temporary file beside path
// and renames it over path, so path is never half written: on any failure it
// keeps its old content, and the reason names the file that failed.
Result<void> save(const std::string& path, const std::vector<std::string>& urls);
std::string tempPathFor(const std::string& path);

// The watch's search key: the text of the url between "&q=" and the next
// "&"; without "&q=", a first parameter "?q=" starts it.
std::string searchKey(const std::string& url);

// What makes two URLs the same search: the URL with every query value
// percent-decoded, so that "?q=手机" and "?q=%E6%89%8B%E6%9C%BA" are one
// search, while other parameters or values make another. Everything else is
// compared as written; "+" stays "+", and escapes whose decoding would change
// how the query splits or reads ("%25", "%26", "%2B", "%23") stay encoded.
std::string searchIdentity(std::string_view url);

} // namespace watchlist
} // namespace tw
