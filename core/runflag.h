#pragma once

#include <mutex>

namespace tw {

// The window's stop request to the worker: an 11-byte buffer that holds "" or
// "STOP". Only its exact content "STOP" stops the worker. Locked, because the
// window writes it while the worker reads it.
class RunFlag
{
public:
    static constexpr std::size_t kSize = 11;

    // All bytes zero.
    void clear();
    void requestStop();
    bool isStop() const;

private:
    mutable std::mutex m_mutex;
    char m_buf[kSize] = {};
};

} // namespace tw
