#include "core/watchroster.h"

namespace tw {

int WatchRoster::replaceAll(const std::vector<Watch>& watches, const std::vector<WatchId>& ids,
                            const std::vector<WatchOptions>& options)
{
    std::vector<Watch> fitting;
    std::vector<WatchId> kept;
    std::vector<WatchOptions> keptOptions;
    fitting.reserve(watches.size());
    kept.reserve(watches.size());
    keptOptions.reserve(watches.size());
    for (std::size_t i = 0; i < watches.size() && fitting.size() < WatchTable::kSlots; ++i) {
        if (WatchTable::fits(watches[i])) {
            fitting.push_back(watches[i]);
            kept.push_back(i < ids.size() ? ids[i] : 0);
            keptOptions.push_back(i < options.size() ? options[i] : WatchOptions{});
        }
    }
    std::lock_guard lock(m_mutex);
    const int stored = m_table.replaceAll(fitting);
    kept.resize(static_cast<std::size_t>(stored));
    keptOptions.resize(static_cast<std::size_t>(stored));
    m_ids = std::move(kept);
    m_options = std::move(keptOptions);
    return stored;
}

WatchRoster::Entry WatchRoster::at(int i) const
{
    std::lock_guard lock(m_mutex);
    Entry entry;
    entry.slot = m_table.slot(i);
    if (i >= 0 && static_cast<std::size_t>(i) < m_ids.size()) {
        entry.id = m_ids[static_cast<std::size_t>(i)];
        entry.options = m_options[static_cast<std::size_t>(i)];
    }
    return entry;
}

WatchId WatchRoster::idAt(int i) const
{
    std::lock_guard lock(m_mutex);
    return i >= 0 && static_cast<std::size_t>(i) < m_ids.size() ? m_ids[static_cast<std::size_t>(i)]
                                                                 : 0;
}

} // namespace tw
