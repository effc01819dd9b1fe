#pragma once

#include "core/result.h"
#include "core/watchtable.h"

#include <string>
#include <vector>

namespace tw {

// What a list file or an imported file gives: the watches to store, and how
// many usable lines had to be left out because the table or a field is too
// small for them.
struct WatchLines
{
    std::vector<Watch> watches;
    int leftOut = 0;
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

// The lines of a text file without their terminators, within the limits
// above; a failure when it cannot be opened or read.
Result<std::vector<std::string>> readLines(const std::string& path);

// A list file or an import file read and parsed; a file that goes on past
// the read limits counts one more line left out.
Result<WatchLines> readListFile(const std::string& path);
Result<WatchLines> readImportFile(const std::string& path);

// The list file: every line that is not blank becomes a watch with its
// parsed url and its search key.
WatchLines parseList(const std::vector<std::string>& lines);
// An imported file: lines holding "&s=" are skipped, text from "#" on is
// dropped, and what is left becomes a watch.
WatchLines parseImport(const std::vector<std::string>& lines);

// Writes the urls, each followed by CR LF, to a temporary file beside path
// and renames it over path, so path is never half written: on any failure it
// keeps its old content, and the reason names the file that failed.
Result<void> save(const std::string& path, const std::vector<std::string>& urls);
std::string tempPathFor(const std::string& path);

// The watch's search key: the text of the url between "&q=" and the next "&".
std::string searchKey(const std::string& url);

} // namespace watchlist
} // namespace tw
