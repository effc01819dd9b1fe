#include "core/runflag.h"

#include <cstring>

namespace tw {

void RunFlag::clear()
{
    std::lock_guard lock(m_mutex);
    std::memset(m_buf, 0, kSize);
}

void RunFlag::requestStop()
{
    static constexpr char kStop[] = "STOP";
    static_assert(sizeof kStop <= kSize);
    std::lock_guard lock(m_mutex);
    std::memset(m_buf, 0, kSize);
    std::memcpy(m_buf, kStop, sizeof kStop);
}

bool RunFlag::isStop() const
{
    std::lock_guard lock(m_mutex);
    // The whole content, up to its NUL, must be exactly "STOP".
    return std::strcmp(m_buf, "STOP") == 0;
}

} // namespace tw
