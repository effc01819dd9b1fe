#include "ui/blockednotice.h"

#include "core/runsettings.h"
#include "core/text.h"
#include "core/watchlistroom.h"
#include "core/zuvira.h"
#include "desktop/desktopnotifier.h"
#include "ui/qtconvert.h"
#include "ui/runcontroller.h"

#include <QPointer>

#include <algorithm>

namespace tw {

namespace {

constexpr std::size_t kNamed = 3;

std::string queryOf(const std::string& url)
{
    return text::readableQuery(CCore::getFg(url, '?', 1));
}

} // namespace

BlockedNotice::BlockedNotice(const WatchListRoom& list, const RunController& run,
                             const RunSettings& settings, DesktopNotifier& notifier,
                             QObject* parent)
    : QObject(parent), m_list(list), m_settings(settings), m_notifier(notifier)
{
    connect(&run, &RunController::checkEnded, this, [this](const CheckEnded& m) {
        if (m.blockedNotice) {
            report(m.watch.url, m.reason);
        } else if (m.outcome == CheckOutcome::Done || m.outcome == CheckOutcome::Baseline) {
            cleared(m.watch.url);
        }
    });
    connect(&list, &WatchListRoom::listReset, this, [this] { listChanged(); });
    connect(&list, &WatchListRoom::watchRemoved, this, [this] { listChanged(); });
    connect(&list, &WatchListRoom::watchChanged, this, [this] { listChanged(); });
    connect(&list, &WatchListRoom::watchMoved, this, [this] { listChanged(); });
}

QString BlockedNotice::describe(const std::vector<int>& rows,
                                const std::vector<std::string>& queries) const
{
    std::string which = "第 ";
    for (std::size_t n = 0; n < rows.size() && n < kNamed; ++n) {
        which += (n ? "、" : "") + CCore::getStrInt(rows[n] + 1);
    }
    if (rows.size() > kNamed) {
        which += " 等 " + CCore::getStrInt(static_cast<int>(rows.size()));
    }
    std::string words;
    for (std::size_t n = 0; n < queries.size() && n < kNamed; ++n) {
        words += (n ? "；" : "") + queries[n];
    }
    return qs(which + " 行疑似被拦截（" + words + "）：请检查 cookiefile 等设置，或稍后再试。");
}

void BlockedNotice::report(const std::string& url, const std::string& reason)
{
    const int row = m_list.rowOfUrl(url);
    if (row < 0) {
        return;
    }
    const QString text = describe({row}, {queryOf(url)});
    // The desktop's notification where it has one; the note in the window
    // when it has none or the service turns the notification down.
    QPointer<BlockedNotice> self(this);
    Blocked blocked{url, reason};
    if (m_settings.notify &&
        m_notifier.notify(QStringLiteral("疑似被拦截"), text, [self, blocked](bool shown) {
            if (self && !shown) {
                self->showInNote(blocked);
            }
        })) {
        return;
    }
    showInNote(std::move(blocked));
}

void BlockedNotice::showInNote(Blocked blocked)
{
    std::erase_if(m_inNote, [&](const Blocked& b) { return b.url == blocked.url; });
    m_inNote.push_back(std::move(blocked));
    refresh();
}

void BlockedNotice::cleared(const std::string& url)
{
    if (std::erase_if(m_inNote, [&](const Blocked& b) { return b.url == url; }) > 0) {
        refresh();
    }
}

void BlockedNotice::listChanged()
{
    if (!m_inNote.empty()) {
        refresh();
    }
}

void BlockedNotice::refresh()
{
    std::vector<int> rows;
    std::vector<std::string> queries;
    QString reasons;
    std::vector<Blocked> staying;
    for (Blocked& b : m_inNote) {
        const int row = m_list.rowOfUrl(b.url);
        if (row < 0) {
            continue;
        }
        rows.push_back(row);
        queries.push_back(queryOf(b.url));
        reasons += (reasons.isEmpty() ? QString() : QStringLiteral("\n")) + qs(b.reason);
        staying.push_back(std::move(b));
    }
    m_inNote = std::move(staying);
    m_note = rows.empty() ? QString() : describe(rows, queries);
    Q_EMIT noteChanged(m_note, reasons);
}

} // namespace tw
