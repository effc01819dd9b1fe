#include "ui/quietwatches.h"

#include "core/runsettings.h"
#include "core/text.h"
#include "core/watchlist.h"
#include "ui/alertoutbox.h"
#include "store/itemdb.h"
#include "ui/qtconvert.h"
#include "ui/runcontroller.h"

#include <algorithm>
#include <iostream>

namespace tw {

namespace {

using std::chrono::seconds;

// Two successful checks further apart than this were not one stretch of
// watching: the program was closed, the run stopped or the watch resting.
seconds spanGap(int interval)
{
    return std::max(seconds(600), 3 * seconds(std::max(interval, 1) + 1));
}

// Kept between writes of a watch's spans: a kill loses at most this much
// checked time, which only makes a watch look less quiet.
constexpr seconds kSaveEvery{600};

std::chrono::sys_seconds toSeconds(WallTime t)
{
    return std::chrono::floor<seconds>(t);
}

std::string duration(seconds s)
{
    const long long minutes = s.count() / 60;
    if (minutes < 60) {
        return std::to_string(std::max(1LL, minutes)) + " 分钟";
    }
    if (minutes < 48 * 60) {
        return std::to_string(minutes / 60) + " 小时";
    }
    return std::to_string(minutes / (24 * 60)) + " 天";
}

std::string quietLine(std::optional<seconds> usualGap, seconds quietTime)
{
    if (!usualGap) {
        return "可能已失效：很久没有发现新宝贝";
    }
    return "可能已失效：平时约每 " + duration(*usualGap) + "发现一次，已检测 " + duration(quietTime) +
           "没有发现新宝贝";
}

} // namespace

std::string quietText(const std::string& words, std::optional<seconds> usualGap,
                      seconds quietTime)
{
    return "搜索“" + words + "”" + quietLine(usualGap, quietTime) + "，请检查搜索是否还有效。";
}

QuietWatches::QuietWatches(QuietContext context, const RunController& run, QObject* parent)
    : QObject(parent), m_context(context)
{
    connect(&run, &RunController::checkEnded, this, [this](const CheckEnded& m) { checkEnded(m); });
}

void QuietWatches::load()
{
    std::map<std::string, WatchQuietRecord> records;
    try {
        records = m_context.db.quietRecords(kUsualGapEvents);
    } catch (const DbError& e) {
        std::cerr << "tidewatch: the quiet-watch record was not read: " << e.what() << '\n';
        return;
    }
    for (auto& [url, record] : records) {
        Watch& w = m_watches[url];
        for (auto it = record.findEvents.rbegin(); it != record.findEvents.rend(); ++it) {
            w.findEvents.push_back(*it);
        }
        for (const StoredSpan& span : record.checked) {
            w.checked.push_back({span.begin, span.end});
        }
        w.episode = record.episode;
    }
}

void QuietWatches::save()
{
    for (auto& [url, w] : m_watches) {
        if (w.unsaved) {
            saveSpans(url, w);
        }
    }
}

bool QuietWatches::isQuiet(const std::string& url) const
{
    const auto it = m_watches.find(url);
    return it != m_watches.end() && it->second.episode.has_value();
}

int QuietWatches::intervalOf(const std::string& url) const
{
    const std::optional<int> own =
        m_context.ownInterval ? m_context.ownInterval(url) : std::nullopt;
    return std::max(m_context.settings.interval, own.value_or(0));
}

void QuietWatches::resting(const std::string& url)
{
    if (const auto it = m_watches.find(url); it != m_watches.end()) {
        it->second.spanOpen = false;
    }
}

std::string QuietWatches::toolTipLine(const std::string& url) const
{
    const auto it = m_watches.find(url);
    if (it == m_watches.end() || !it->second.episode) {
        return {};
    }
    return quietLine(it->second.verdict.usualGap, it->second.verdict.quietTime);
}

void QuietWatches::checkEnded(const CheckEnded& m)
{
    if (m.outcome == CheckOutcome::Stopped) {
        return;
    }
    const std::string& url = m.watch.url;
    Watch& w = m_watches[url];
    const WallTime at = m.at;
    if (m.outcome == CheckOutcome::Failed) {
        // A failing watch is not watching: its quiet time waits for it to work.
        w.spanOpen = false;
    } else if (w.spanOpen && !w.checked.empty() &&
               at - w.checked.back().end <= spanGap(intervalOf(url))) {
        w.checked.back().end = std::max(w.checked.back().end, at);
        w.unsaved = true;
    } else {
        w.checked.push_back({at, at});
        w.spanOpen = true;
        w.unsaved = true;
        w.savedAt = WallTime{};
    }
    if (m.stored > 0 && m.outcome != CheckOutcome::Baseline) {
        w.findEvents.push_back(at);
        if (w.findEvents.size() > kUsualGapEvents) {
            w.findEvents.erase(w.findEvents.begin());
        }
        w.checked = compactSpans(std::move(w.checked), w.findEvents);
        w.unsaved = true;
        w.savedAt = WallTime{};
        if (w.episode) {
            endEpisode(url, w);
        }
    }
    if (w.findEvents.size() < kMinFindEvents && w.checked.size() > 1) {
        // No usual gap yet, and the next find drops what came before it:
        // a watch that never finds anything keeps one span, not one a start.
        w.checked.erase(w.checked.begin(), w.checked.end() - 1);
    }
    w.verdict = quietVerdict(w.findEvents, w.checked, at, m_context.settings.quietFactor,
                             m_context.settings.quietMinutes);
    if (w.unsaved && at - w.savedAt >= kSaveEvery) {
        saveSpans(url, w);
    }
    if (w.verdict.quiet && !w.episode) {
        // Kept before it is told: a kill in between tells nothing twice.
        w.episode = QuietEpisode{toSeconds(at), false};
        try {
            m_context.db.saveQuietEpisode(url, w.episode);
        } catch (const DbError& e) {
            std::cerr << "tidewatch: a quiet watch was not recorded: " << e.what() << '\n';
        }
        tell(url, w);
        w.episode->told = true;
        try {
            m_context.db.saveQuietEpisode(url, w.episode);
        } catch (const DbError&) {
            // Told already; at worst the next start tells it once more.
        }
        Q_EMIT quietChanged(url);
    }
}

void QuietWatches::endEpisode(const std::string& url, Watch& w)
{
    w.episode.reset();
    try {
        m_context.db.saveQuietEpisode(url, std::nullopt);
    } catch (const DbError& e) {
        std::cerr << "tidewatch: a quiet watch's end was not recorded: " << e.what() << '\n';
    }
    Q_EMIT quietChanged(url);
}

void QuietWatches::saveSpans(const std::string& url, Watch& w)
{
    std::vector<StoredSpan> spans;
    for (const CheckedSpan& span : w.checked) {
        spans.push_back({toSeconds(span.begin), toSeconds(span.end)});
    }
    try {
        m_context.db.saveCheckedSpans(url, spans);
        w.unsaved = false;
        w.savedAt = w.checked.empty() ? WallTime{} : w.checked.back().end;
    } catch (const DbError& e) {
        std::cerr << "tidewatch: checked time was not recorded: " << e.what() << '\n';
    }
}

void QuietWatches::tell(const std::string& url, const Watch& w)
{
    QueuedAlert alert;
    alert.event = "quiet";
    alert.url = url;
    alert.sid = watchlist::searchKey(url);
    alert.notifyPending = m_context.settings.notify != 0;
    alert.commandPending = !m_context.settings.onAlert.empty();
    alert.usualGapS = w.verdict.usualGap ? w.verdict.usualGap->count() : 0;
    alert.quietS = w.verdict.quietTime.count();
    Q_EMIT quietTold(qs(quietText(text::readableQuery(alert.sid), w.verdict.usualGap,
                                  w.verdict.quietTime)));
    m_context.outbox.post(std::move(alert));
}

} // namespace tw
