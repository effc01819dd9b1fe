#pragma once

#include "store/alertqueue.h"

#include <deque>
#include <string>

#include <QObject>
#include <QTimer>

namespace tw {

class AlertCommand;
class CCore;
class CItemDb;
class DesktopNotifier;
struct RunSettings;

struct OutboxContext
{
    CCore& core;
    CItemDb& db;
    const RunSettings& settings;
    DesktopNotifier& notifier;
    AlertCommand& command;
};

// Every alert leaves through here, at least once whatever happens: it is put
// on the durable queue in sys.mdb (which marks its finds as told in the same
// transaction) before any of it is served, and each part (the desktop
// notification, the item pages, the alert command's run) is struck off when
// done. What a close or a kill left on the queue is served at the next start,
// and finds stored but never told get a catch-up alert then. The pages go to
// the browser a few at a time on a timer, so the window answers between them.
class AlertOutbox : public QObject
{
    Q_OBJECT

public:
    static constexpr int kPagesPerTick = 3;
    static constexpr std::chrono::milliseconds kTick{30};

    explicit AlertOutbox(OutboxContext context, QObject* parent = nullptr);

    // Queues alert and serves it. pageLimit, notifyPending and commandPending
    // say what it should get.
    void post(QueuedAlert alert);
    // At start, before any run: serves what an earlier program left queued,
    // then tells in one catch-up alert per watch the finds it never told.
    void resume();

    // Pages handed to the browser so far and still to hand.
    int pagesWaiting() const;

Q_SIGNALS:
    // Past its bound the queue dropped the oldest alerts, for the status line.
    void dropped(const QString& text);

private:
    void serve(const QueuedAlert& alert);
    void notify(const QueuedAlert& alert);
    void openSomePages();
    std::string pageUrl(const std::string& id) const;

    OutboxContext m_context;
    AlertQueue m_queue;
    struct Pages
    {
        long long alert = 0;
        std::vector<std::string> ids;
        int opened = 0;
    };
    std::deque<Pages> m_pages;
    QTimer m_pacer;
};

} // namespace tw
