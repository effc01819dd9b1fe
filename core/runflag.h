#pragma once

#include <mutex>
#include <string>
#include <string_view>

namespace tw {

// The window's stop request to the worker: an 11-byte buffer that holds "" or
// "STOP". Only its exact content "STOP" stops the worker. Locked, because the
// window writes it while the worker reads it.
class RunFlag
{
public:
    static constexpr std::size_t kSize = 11;

    // Stores at most kSize - 1 bytes of text.
    void set(std::string_view text);
    // All bytes zero.
    void clear();
    void requestStop() { set("STOP"); }
    bool isStop() const;
    std::string text() const;

private:
    mutable std::mutex m_mutex;
    char m_buf[kSize] = {};
};

} // namespace tw
