#pragma once

#include "core/result.h"
#include "core/watchlist.h"
#include "core/watchoptions.h"
#include "core/watchroster.h"

#include <string>
#include <vector>

#include <QObject>

namespace tw {

struct WatchEntry
{
    WatchId id = 0;
    std::string url;
    std::string sid;
    WatchOptions options;
};

// The watch list: the watches in order, each with the id it got when it
// entered the list; `_items.txt` read and written; the import with its
// rules; one watch added, replaced, removed or moved. Every change fills the
// table the worker reads (keeping each URL's state, as an import does) and
// is announced, so the rows follow without reading the table. Window thread
// only; the worker sees the list through the roster.
class WatchListRoom : public QObject
{
    Q_OBJECT

public:
    WatchListRoom(WatchRoster& roster, std::string itemsFile, QObject* parent = nullptr);

    const std::vector<WatchEntry>& watches() const { return m_watches; }
    int count() const { return static_cast<int>(m_watches.size()); }
    // Null for a row that is no watch.
    const WatchEntry* at(int row) const;
    // The row of the watch with id; -1 when it left the list.
    int rowOf(WatchId id) const;
    // The row holding url, preferring hint; -1 when none does.
    int rowOfUrl(const std::string& url, int hint = -1) const;

    // Reads the list file at start, and the options of its watches from
    // `_items.ini` beside it; a missing or unreadable list file keeps the list
    // as it is. What had to be left out and the option lines not taken, for
    // the user ("" for nothing).
    std::string load();
    // Writes the list file whole, then the options file (the sections of
    // listed URLs only), or fails with the reason and leaves the file that
    // failed as it was. An empty list writes nothing unless a change
    // (add, replace, remove, move, setOptions) left it empty: one that only
    // came from a load or the start may be one that failed to load.
    Result<void> save() const;

    // "" when url (blanks around it trimmed) may be added, or may replace
    // row exceptRow; else why not, for the user: a reason of the import's, or
    // the row (from 1, with its name) that is already the same search.
    std::string refusal(const std::string& url, int exceptRow = -1) const;
    // What a row shows for its watch: its name, else its query decoded.
    static std::string shownName(const WatchEntry& watch);

    struct ImportResult
    {
        // The file could not be read: nothing changed.
        std::string readError;
        // The list was replaced (and saved, unless saveError says why not).
        bool replaced = false;
        std::string saveError;
        // The watches the file gave (after merging the same searches).
        int read = 0;
        // Each line left out or merged, in line order.
        std::vector<LineNote> notes;
        // For the user, when the file was read: "已导入 N 个监控。" (or that
        // nothing could be taken) and a line for each note, the first
        // kMaxReportNotes of them.
        std::string report;
    };
    static constexpr int kMaxReportNotes = 30;
    // Replaces the whole list with the usable lines of path; a file without
    // one keeps the old list. A watch whose URL stays keeps its id and what
    // its checks left in the table.
    ImportResult import(const std::string& path);

    // One watch at a time. False (nothing changed) for a row that is no watch,
    // a watch that does not fit the table, or a full list.
    bool add(const Watch& watch);
    bool replace(int row, const Watch& watch);
    bool remove(int row);
    bool move(int from, int to);
    // The options of the watch at row, and of every row with its URL (a URL
    // shares its one section); watchChanged for each. False for a row that
    // is no watch.
    bool setOptions(int row, const WatchOptions& options);

Q_SIGNALS:
    // The whole list was replaced (load, import).
    void listReset();
    void watchInserted(int row);
    void watchRemoved(int row);
    void watchChanged(int row);
    void watchMoved(int from, int to);

private:
    // Every watch takes its options from options when given (a file read),
    // else a URL keeps what its rows held.
    void replaceAll(const std::vector<Watch>& watches,
                    const watchoptions::Parsed* options = nullptr);
    // The options a row with url shares, empty for a URL not listed.
    WatchOptions optionsOf(const std::string& url) const;
    void fillTable();

    WatchRoster& m_roster;
    std::string m_itemsFile;
    std::string m_optionsFile;
    // The options file's lines before its first section.
    std::vector<std::string> m_optionsHead;
    std::vector<WatchEntry> m_watches;
    WatchId m_nextId = 1;
    // The list is one the user changed since it was loaded: empty, it is
    // written empty.
    bool m_changed = false;
};

} // namespace tw
