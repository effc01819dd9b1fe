#pragma once

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

struct SaveResult
{
    bool ok = true;
    std::string error;
};

// Reading and writing the watch list file. Lines end in CR LF when written;
// LF alone is accepted when read.
class WatchListFile
{
public:
    // The lines of a text file without their terminators; false when it
    // cannot be opened.
    static bool readLines(const std::string& path, std::vector<std::string>& lines);

    // The list file: every line that is not blank becomes a watch with its
    // parsed url and its search key.
    static WatchLines parseList(const std::vector<std::string>& lines);
    // An imported file: lines holding "&s=" are skipped, text from "#" on is
    // dropped, and what is left becomes a watch.
    static WatchLines parseImport(const std::vector<std::string>& lines);

    // Writes the urls, each followed by CR LF, to a temporary file beside
    // path and renames it over path, so path is never half written: on any
    // failure it keeps its old content.
    static SaveResult save(const std::string& path, const std::vector<std::string>& urls);
    static std::string tempPathFor(const std::string& path) { return path + ".new"; }

    // The watch's search key: the text of the url between "&q=" and the next "&".
    static std::string searchKey(const std::string& url);
};

} // namespace tw
