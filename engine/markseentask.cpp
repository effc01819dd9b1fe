#include "engine/markseentask.h"

#include "engine/fetchitems.h"
#include "engine/pollclock.h"
#include "engine/pollmessages.h"
#include "store/itemdb.h"

#include <exception>
#include <utility>

namespace tw {

CMarkSeenTask::CMarkSeenTask(MarkSeenParams params)
    : BackgroundTask(params.sink), m_params(std::move(params))
{}

CMarkSeenTask::~CMarkSeenTask()
{
    abort();
    join();
}

void CMarkSeenTask::run()
{
    if (!openSession(m_params.openSession, m_params.session)) {
        m_error = "no internet session";
    } else {
        markSeen(*session());
    }
    closeSession();
    post(MarkingEnded{{m_params.id, m_params.slot, m_params.url}, m_succeeded, m_error});
}

void CMarkSeenTask::markSeen(HttpSession& session)
{
    try {
        const std::string requestUrl = prepareRequestUrl(m_params.core, m_params.url);
        const FetchContext ctx{m_params.core, session, m_params.pageFile, m_params.titlesFile,
                               m_params.ignoreWords};
        const FetchOutcome fetched = fetchItems(ctx, requestUrl);
        if (fetched.failed || aborted()) {
            m_error = fetched.failed ? fetched.error : "stopped";
            return;
        }
        const auto now =
            m_params.clock ? m_params.clock->wallNow() : std::chrono::system_clock::now();
        m_stored = m_params.db.storeSeenItems(
            m_params.sid, listedItems(fetched.ids, fetched.titles),
            {m_params.url, std::chrono::floor<std::chrono::seconds>(now)}, FindKind::Marked);
        m_succeeded = true;
    } catch (const std::exception& e) {
        m_error = e.what();
    }
}

} // namespace tw
