#include "engine/markseentask.h"

#include "engine/fetchitems.h"
#include "engine/pollmessages.h"
#include "store/itemdb.h"

#include <exception>
#include <system_error>
#include <utility>

namespace tw {

CMarkSeenTask::CMarkSeenTask(MarkSeenParams params) : m_params(std::move(params))
{
    if (!m_params.openSession) {
        m_params.openSession = [](const SessionSettings& s) { return HttpSession::open(s); };
    }
}

CMarkSeenTask::~CMarkSeenTask()
{
    abort();
    join();
}

bool CMarkSeenTask::start()
{
    if (m_thread.joinable()) {
        return false;
    }
    try {
        m_thread = std::thread(&CMarkSeenTask::run, this);
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void CMarkSeenTask::abort()
{
    m_abort = true;
    std::lock_guard lock(m_sessionMutex);
    if (m_session) {
        m_session->abort();
    }
}

void CMarkSeenTask::join()
{
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void CMarkSeenTask::run()
{
    std::unique_ptr<HttpSession> session;
    try {
        session = m_params.openSession(m_params.session);
    } catch (const std::exception&) {
        session.reset();
    }
    if (!session) {
        m_error = "no internet session";
    } else {
        {
            std::lock_guard lock(m_sessionMutex);
            m_session = session.get();
            if (m_abort) {
                m_session->abort();
            }
        }
        markSeen(*session);
        std::lock_guard lock(m_sessionMutex);
        m_session = nullptr;
    }
    session.reset();
    PollMessage done;
    done.code = WM_MARK_SEEN_DONE;
    done.progress = m_succeeded ? 1 : 0;
    done.slot = m_params.slot;
    done.url = m_params.url;
    done.reason = m_error;
    m_params.sink.postMessage(std::move(done));
}

void CMarkSeenTask::markSeen(HttpSession& session)
{
    try {
        const std::string requestUrl = prepareRequestUrl(m_params.core, m_params.url);
        const FetchContext ctx{m_params.core, session, m_params.pageFile, m_params.titlesFile,
                               m_params.ignoreWords};
        const FetchOutcome fetched = fetchItems(ctx, requestUrl);
        if (fetched.failed || m_abort) {
            m_error = fetched.failed ? fetched.error : "stopped";
            return;
        }
        m_stored =
            m_params.db.storeSeenItems(m_params.sid, listedItems(fetched.ids, fetched.titles));
        m_succeeded = true;
    } catch (const std::exception& e) {
        m_error = e.what();
    }
}

} // namespace tw
