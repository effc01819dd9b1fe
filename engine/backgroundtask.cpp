#include "engine/backgroundtask.h"

#include <exception>
#include <system_error>
#include <utility>

namespace tw {

BackgroundTask::~BackgroundTask()
{
    join();
}

bool BackgroundTask::startThread()
{
    if (m_started) {
        return false;
    }
    try {
        m_thread = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        return false;
    }
    m_started = true;
    return true;
}

void BackgroundTask::abort()
{
    m_abort = true;
    wake();
    std::lock_guard lock(m_sessionMutex);
    if (m_session) {
        m_session->abort();
    }
}

void BackgroundTask::join()
{
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

bool BackgroundTask::openSession(const SessionFactory& factory, const SessionSettings& settings)
{
    std::unique_ptr<HttpSession> session;
    try {
        session = factory ? factory(settings) : HttpSession::open(settings);
    } catch (const std::exception&) {
        session.reset();
    }
    std::lock_guard lock(m_sessionMutex);
    m_session = std::move(session);
    // An abort before the session existed had nothing to fail.
    if (m_session && m_abort) {
        m_session->abort();
    }
    return m_session != nullptr;
}

void BackgroundTask::closeSession()
{
    std::unique_ptr<HttpSession> session;
    {
        std::lock_guard lock(m_sessionMutex);
        session = std::move(m_session);
    }
    // Cleaned up outside the lock: abort() must never wait for it.
    session.reset();
}

} // namespace tw
