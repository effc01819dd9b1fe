#pragma once

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace tw::bench {

// Private_Dirty in KiB from a smaps_rollup file, read without touching the
// heap, so that sampling adds nothing to what it measures; -1 when unread.
inline long privateDirtyKb(const char* smapsRollup = "/proc/self/smaps_rollup")
{
    const int fd = ::open(smapsRollup, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    char buf[4096];
    const ssize_t n = ::read(fd, buf, sizeof(buf) - 1);
    ::close(fd);
    if (n <= 0) {
        return -1;
    }
    buf[n] = '\0';
    const char* at = std::strstr(buf, "Private_Dirty:");
    return at ? std::strtol(at + std::strlen("Private_Dirty:"), nullptr, 10) : -1;
}

} // namespace tw::bench
