#include "core/watchlistroom.h"

#include "core/text.h"
#include "core/zuvira.h"

#include <algorithm>
#include <filesystem>
#include <map>

namespace tw {

WatchListRoom::WatchListRoom(WatchRoster& roster, std::string itemsFile, QObject* parent)
    : QObject(parent), m_roster(roster), m_itemsFile(std::move(itemsFile)),
      m_optionsFile(watchoptions::pathBeside(m_itemsFile))
{}

const WatchEntry* WatchListRoom::at(int row) const
{
    return row >= 0 && row < count() ? &m_watches[static_cast<std::size_t>(row)] : nullptr;
}

int WatchListRoom::rowOf(WatchId id) const
{
    for (int row = 0; row < count(); ++row) {
        if (m_watches[static_cast<std::size_t>(row)].id == id) {
            return row;
        }
    }
    return -1;
}

int WatchListRoom::rowOfUrl(const std::string& url, int hint) const
{
    if (const WatchEntry* e = at(hint); e && e->url == url) {
        return hint;
    }
    for (int row = 0; row < count(); ++row) {
        if (m_watches[static_cast<std::size_t>(row)].url == url) {
            return row;
        }
    }
    return -1;
}

std::string WatchListRoom::load()
{
    // An unreadable list file has no failure path of its own: the list stays.
    const Result<WatchLines> parsed = watchlist::readListFile(m_itemsFile);
    if (!parsed) {
        return {};
    }
    std::string told = watchlist::leftOutText(parsed.value().leftOut);
    const auto tell = [&](const std::string& more) {
        told += (told.empty() || more.empty() ? "" : "\n") + more;
    };
    // Options that cannot be read leave every watch on the global values.
    const Result<watchoptions::Parsed> options = watchoptions::readFile(m_optionsFile);
    if (options) {
        m_optionsHead = options.value().head;
        tell(watchoptions::problemsText(m_optionsFile, options.value().problems));
    } else {
        tell(options.error());
    }
    replaceAll(parsed.value().watches, options ? &options.value() : nullptr);
    m_changed = false;
    return told;
}

Result<void> WatchListRoom::save() const
{
    if (m_watches.empty() && !m_changed) {
        return {};
    }
    std::vector<std::string> urls;
    urls.reserve(m_watches.size());
    for (const WatchEntry& w : m_watches) {
        urls.push_back(w.url);
    }
    if (Result<void> saved = watchlist::save(m_itemsFile, urls); !saved) {
        return saved;
    }
    std::vector<std::pair<std::string, WatchOptions>> sections;
    bool any = false;
    for (const WatchEntry& w : m_watches) {
        const bool listed = std::any_of(sections.begin(), sections.end(),
                                        [&](const auto& s) { return s.first == w.url; });
        if (!listed) {
            sections.emplace_back(w.url, w.options);
            any = any || w.options != WatchOptions{};
        }
    }
    // No options and no file: nothing to keep, and no file to create.
    std::error_code missing;
    if (!any && m_optionsHead.empty() && !std::filesystem::exists(m_optionsFile, missing)) {
        return {};
    }
    return watchoptions::writeFile(m_optionsFile, watchoptions::serialize(m_optionsHead, sections));
}

WatchListRoom::ImportResult WatchListRoom::import(const std::string& path)
{
    ImportResult result;
    const Result<WatchLines> read = watchlist::readImportFile(path);
    if (!read) {
        result.readError = read.error();
        return result;
    }
    const WatchLines& parsed = read.value();
    result.read = static_cast<int>(parsed.watches.size());
    result.notes = parsed.notes;
    result.report = parsed.watches.empty() ? std::string("文件中没有可导入的监控，列表保持不变。")
                                           : "已导入 " + std::to_string(result.read) + " 个监控。";
    // A file of many bad lines would make a box taller than the screen.
    for (std::size_t i = 0; i < parsed.notes.size(); ++i) {
        if (i == kMaxReportNotes) {
            result.report += "\n……另有 " + std::to_string(parsed.notes.size() - i) + " 行未列出。";
            break;
        }
        result.report += "\n" + parsed.notes[i].text;
    }
    // An import without a usable line keeps the old list, ids and file.
    if (parsed.watches.empty()) {
        return result;
    }
    // The rows follow the list, whatever happens to the file, and are not
    // read back from it: a reload would zero the table again, losing what a
    // check filed in between.
    replaceAll(parsed.watches);
    result.replaced = true;
    if (const Result<void> saved = save(); !saved) {
        result.saveError = saved.error();
    }
    return result;
}

std::string WatchListRoom::refusal(const std::string& url, int exceptRow) const
{
    const ParsedLine parsed = watchlist::checkLine(url);
    if (!parsed.watch) {
        return watchlist::refusalText(parsed.refusal);
    }
    const std::string identity = watchlist::searchIdentity(parsed.watch->url);
    for (int row = 0; row < count(); ++row) {
        const WatchEntry& other = m_watches[static_cast<std::size_t>(row)];
        if (row != exceptRow && watchlist::searchIdentity(other.url) == identity) {
            return "与第 " + std::to_string(row + 1) + " 行（" + shownName(other) +
                   "）是同一个搜索，会重复提醒同样的宝贝";
        }
    }
    if (!at(exceptRow) && count() >= WatchTable::kSlots) {
        return watchlist::refusalText(Refusal::TooMany);
    }
    return {};
}

std::string WatchListRoom::shownName(const WatchEntry& watch)
{
    if (watch.options.name && !watch.options.name->empty()) {
        return *watch.options.name;
    }
    return text::readableQuery(CCore::getFg(watch.url, '?', 1));
}

WatchOptions WatchListRoom::optionsOf(const std::string& url) const
{
    const int row = rowOfUrl(url);
    return row >= 0 ? m_watches[static_cast<std::size_t>(row)].options : WatchOptions{};
}

void WatchListRoom::replaceAll(const std::vector<Watch>& watches,
                               const watchoptions::Parsed* options)
{
    // The n-th watch with a URL keeps the id of the n-th one before, as the
    // table keeps a URL's state in its first slot.
    std::map<std::string, std::vector<WatchId>> oldIds;
    for (const WatchEntry& w : m_watches) {
        oldIds[w.url].push_back(w.id);
    }
    std::map<std::string, std::size_t> taken;
    std::vector<WatchEntry> next;
    next.reserve(watches.size());
    for (const Watch& w : watches) {
        if (!WatchTable::fits(w) || next.size() >= WatchTable::kSlots) {
            continue;
        }
        WatchEntry entry{0, w.url, w.sid, {}};
        if (!options) {
            entry.options = optionsOf(w.url);
        } else if (const WatchOptions* read = options->find(w.url)) {
            entry.options = *read;
        }
        const auto old = oldIds.find(w.url);
        std::size_t& n = taken[w.url];
        if (old != oldIds.end() && n < old->second.size()) {
            entry.id = old->second[n];
        } else {
            entry.id = m_nextId++;
        }
        ++n;
        next.push_back(std::move(entry));
    }
    m_watches = std::move(next);
    fillTable();
    Q_EMIT listReset();
}

bool WatchListRoom::add(const Watch& watch)
{
    if (!WatchTable::fits(watch) || count() >= WatchTable::kSlots) {
        return false;
    }
    m_watches.push_back({m_nextId++, watch.url, watch.sid, optionsOf(watch.url)});
    fillTable();
    m_changed = true;
    Q_EMIT watchInserted(count() - 1);
    return true;
}

bool WatchListRoom::replace(int row, const Watch& watch)
{
    if (!at(row) || !WatchTable::fits(watch)) {
        return false;
    }
    WatchEntry& entry = m_watches[static_cast<std::size_t>(row)];
    if (entry.url != watch.url) {
        // Another URL is another search: another watch to the rows and the worker.
        entry.id = m_nextId++;
    }
    entry.url = watch.url;
    entry.sid = watch.sid;
    // An edited URL keeps the row's options; other rows with the new URL
    // share them from now on, as they share its section.
    std::vector<int> changed;
    for (int other = 0; other < count(); ++other) {
        WatchEntry& e = m_watches[static_cast<std::size_t>(other)];
        if (other == row || (e.url == entry.url && e.options != entry.options)) {
            e.options = entry.options;
            changed.push_back(other);
        }
    }
    m_changed = true;
    fillTable();
    for (const int r : changed) {
        Q_EMIT watchChanged(r);
    }
    return true;
}

bool WatchListRoom::setOptions(int row, const WatchOptions& options)
{
    if (!at(row)) {
        return false;
    }
    const std::string url = m_watches[static_cast<std::size_t>(row)].url;
    std::vector<int> changed;
    for (int r = 0; r < count(); ++r) {
        WatchEntry& e = m_watches[static_cast<std::size_t>(r)];
        if (e.url == url) {
            e.options = options;
            changed.push_back(r);
        }
    }
    m_changed = true;
    fillTable();
    for (const int r : changed) {
        Q_EMIT watchChanged(r);
    }
    return true;
}

bool WatchListRoom::remove(int row)
{
    if (!at(row)) {
        return false;
    }
    m_watches.erase(m_watches.begin() + row);
    fillTable();
    m_changed = true;
    Q_EMIT watchRemoved(row);
    return true;
}

bool WatchListRoom::move(int from, int to)
{
    if (!at(from) || !at(to) || from == to) {
        return false;
    }
    WatchEntry moving = std::move(m_watches[static_cast<std::size_t>(from)]);
    m_watches.erase(m_watches.begin() + from);
    m_watches.insert(m_watches.begin() + to, std::move(moving));
    fillTable();
    m_changed = true;
    Q_EMIT watchMoved(from, to);
    return true;
}

void WatchListRoom::fillTable()
{
    // One step under the table's lock: a running worker sees the old list or
    // the new one, and a URL that stays keeps what its checks left.
    std::vector<Watch> watches;
    std::vector<WatchId> ids;
    std::vector<WatchOptions> options;
    watches.reserve(m_watches.size());
    ids.reserve(m_watches.size());
    options.reserve(m_watches.size());
    for (const WatchEntry& w : m_watches) {
        watches.push_back({w.url, w.sid});
        ids.push_back(w.id);
        options.push_back(w.options);
    }
    m_roster.replaceAll(watches, ids, options);
}

} // namespace tw
