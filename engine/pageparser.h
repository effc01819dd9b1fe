#pragma once

#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace tw {

// True when title holds one of the ","-separated ignore words as whole UTF-8
// characters; an empty word ends the list.
bool isIgnoredTitle(std::string_view title, std::string_view ignoreWords);
// True when title holds every one of the ","-separated words, matched as the
// ignore words are; empty words are skipped.
bool holdsEveryWord(std::string_view title, std::string_view words);

// Gathers the items of the result pages of one check: ids in order of first
// appearance, each once, and the matching titles. Pure: it sees only the
// page texts it is given, as downloaded (UTF-8); the ids and titles it takes
// from them are converted to the narrow encoding.
class PageParser
{
public:
    // A watch's own ignore words are added to the global ones; with must
    // words, only titles holding all of them are listed.
    explicit PageParser(std::string_view ignoreWords = {}, std::string_view extraIgnoreWords = {},
                        std::string_view mustWords = {});

    // Scans one page in a single forward pass. False when the page holds no
    // item block start at all: the page loop ends there.
    bool addPage(std::string_view page);
    // What addPage will answer for page, found by looking only as far as the
    // first item block.
    static bool holdsItems(std::string_view page);

    // Ids joined by ",", no final ",".
    std::string idList() const;
    // One title per listed id, each followed by "^".
    const std::string& titles() const { return m_titles; }
    std::size_t count() const { return m_seen.size(); }
    // Item blocks dropped because their id is not valid UTF-8 or holds a
    // blank, a control character or a ",".
    std::size_t invalidIds() const { return m_invalidIds; }
    // The ids the last addPage added: listed, not ignored, new to this check.
    std::vector<std::string> lastPageIds() const;

    // What became of one item block.
    enum class ItemFate {
        Listed,
        IgnoredWord, // word: the ignore word it holds, global or the watch's own
        MissingWord, // word: the first must word it lacks
        InvalidId,   // no id, or none usable (see invalidIds)
        Repeated,    // its id was listed before in this check
    };
    struct LoggedItem
    {
        // The id as found; the title as it would be stored.
        std::string id;
        std::string title;
        ItemFate fate = ItemFate::Listed;
        std::string word;
    };
    // From now on every item block met is logged, in page order. Off unless
    // asked for: the worker's checks never pay for it.
    void keepItemLog() { m_keepLog = true; }
    const std::vector<LoggedItem>& itemLog() const { return m_log; }

private:
    void addItem(std::string_view block);
    void logItem(std::string_view id, std::string title, ItemFate fate, std::string_view word = {});
    void logDropped(std::string_view id, std::string title);

    std::string m_ignoreWords;
    std::string m_extraIgnoreWords;
    std::string m_mustWords;
    std::string m_ids;           // each id followed by ","
    std::size_t m_pageStart = 0; // where the last page's ids begin in m_ids
    std::string m_titles;
    std::unordered_set<std::string> m_seen;
    std::size_t m_invalidIds = 0;
    bool m_keepLog = false;
    std::vector<LoggedItem> m_log;
};

} // namespace tw
