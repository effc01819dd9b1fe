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

// The lines of a text file without their terminators; a failure when it
// cannot be opened or read.
Result<std::vector<std::string>> readLines(const std::string& path);

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
