#include "runflag.h"

#include <algorithm>
#include <cstring>

namespace tw {

void RunFlag::set(std::string_view text)
{
    std::lock_guard lock(m_mutex);
    std::memset(m_buf, 0, kSize);
    std::memcpy(m_buf, text.data(), std::min(text.size(), kSize - 1));
}

void RunFlag::clear()
{
    std::lock_guard lock(m_mutex);
    std::memset(m_buf, 0, kSize);
}

bool RunFlag::isStop() const
{
    std::lock_guard lock(m_mutex);
    // The whole content, up to its NUL, must be exactly "STOP".
    return std::strcmp(m_buf, "STOP") == 0;
}

std::string RunFlag::text() const
{
    std::lock_guard lock(m_mutex);
    return std::string(m_buf);
}

} // namespace tw
