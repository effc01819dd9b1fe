#pragma once

#include "engine/pollmessages.h"
#include "engine/quietwatch.h"
#include "store/itemdb.h"

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <QObject>
#include <QString>

namespace tw {

class AlertOutbox;
class RunController;
struct RunSettings;

struct QuietContext
{
    CItemDb& db;
    const RunSettings& settings;
    AlertOutbox& outbox;
    // The watch's own interval, when it has one: its checks are that far
    // apart and still one span.
    std::function<std::optional<int>(const std::string& url)> ownInterval = {};
};

// "搜索“…”可能已失效：…" as the status line, the tray and the notification say it.
std::string quietText(const std::string& words, std::optional<std::chrono::seconds> usualGap,
                      std::chrono::seconds quietTime);

// Never silently blind: a watch whose checks still succeed but that has found
// nothing for far longer than it usually does is told as "可能已失效", once
// per episode, by its row, the tray, a desktop notification and the alert
// command. Per watch URL it keeps its recent find events and the spans of
// time its checks succeeded (so a closed program, a stopped run or a failing
// watch does not make it quieter), and the episode, all in the item
// database, so a restart neither forgets nor repeats a warning. Time is the
// worker's, from each check's message.
class QuietWatches : public QObject
{
    Q_OBJECT

public:
    QuietWatches(QuietContext context, const RunController& run, QObject* parent = nullptr);

    // Reads what was kept; before any run.
    void load();
    // Writes the spans not yet written; at close-down.
    void save();

    bool isQuiet(const std::string& url) const;
    // The watch with url rests by the user's choice (paused): the time until
    // its next check is not time it was watched.
    void resting(const std::string& url);
    // The tooltip's line for a quiet watch: its usual gap and quiet time.
    std::string toolTipLine(const std::string& url) const;

Q_SIGNALS:
    // The watch with url became quiet or found something again.
    void quietChanged(const std::string& url);
    // A watch was told as quiet, with the text of its notification.
    void quietTold(const QString& text);

private:
    struct Watch
    {
        std::vector<WallTime> findEvents; // oldest first, at most kUsualGapEvents
        std::vector<CheckedSpan> checked;
        bool spanOpen = false;
        WallTime savedAt{};
        bool unsaved = false;
        std::optional<QuietEpisode> episode;
        QuietVerdict verdict;
    };
    void checkEnded(const CheckEnded& m);
    int intervalOf(const std::string& url) const;
    void endEpisode(const std::string& url, Watch& w);
    void tell(const std::string& url, const Watch& w);
    void saveSpans(const std::string& url, Watch& w);

    QuietContext m_context;
    std::map<std::string, Watch> m_watches;
};

} // namespace tw
