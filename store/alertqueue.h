#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

namespace tw {

class CItemDb;

// One alert on its way to the user, kept in sys.mdb until every part of it
// was served: the item pages still to hand to the browser, the desktop
// notification and the alert command's run.
struct QueuedAlert
{
    struct Item
    {
        std::string id;
        std::string title;

        bool operator==(const Item&) const = default;
    };

    long long id = 0;
    // "new" (items) or "quiet" (a watch that went quiet).
    std::string event = "new";
    std::string url;
    std::string sid;
    // Told late: stored before a kill or close could tell them.
    bool catchup = false;
    std::vector<Item> items;
    // The first pageLimit items get their page opened; pagesOpened of them were.
    int pageLimit = 0;
    int pagesOpened = 0;
    bool notifyPending = false;
    bool commandPending = false;
    long long usualGapS = 0;
    long long quietS = 0;
    // Alerts dropped from the queue's bound just before this one was queued.
    long long dropped = 0;

    int pagesLeft() const
    {
        const int pages = std::min(pageLimit, static_cast<int>(items.size()));
        return pages > pagesOpened ? pages - pagesOpened : 0;
    }
    bool served() const { return pagesLeft() == 0 && !notifyPending && !commandPending; }
};

// New finds that were stored and never told: a kill came between storing and
// telling. Per watch URL, in the order they were found.
struct UntoldFinds
{
    std::string url;
    std::string sid;
    std::vector<QueuedAlert::Item> items;
};

// The durable queue of alerts (tables t_alert and t_alertitem). Queuing an
// alert marks its finds as told in the same transaction, so no kill leaves a
// told find without its alert or an alert without its told mark. Every
// operation throws DbError on failure.
class AlertQueue
{
public:
    static constexpr std::size_t kMaxEntries = 1000;

    explicit AlertQueue(CItemDb& db);

    // Queues alert with its id set and its finds (its items under its sid and
    // url) marked told. Past kMaxEntries the oldest entries go; how many is
    // in the returned alert's dropped.
    QueuedAlert enqueue(QueuedAlert alert);
    // Every entry not yet served, oldest first.
    std::vector<QueuedAlert> pending();
    std::vector<UntoldFinds> untold();

    void setPagesOpened(long long id, int opened);
    void notified(long long id);
    void commandEnded(long long id);

private:
    void update(long long id, const char* sql, long long value);

    CItemDb& m_db;
};

} // namespace tw
