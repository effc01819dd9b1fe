#include "core/fileio.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tw {

Result<void> writeAll(int fd, std::string_view data)
{
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Failure{std::strerror(errno)};
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return {};
}

CappedRead readFileCapped(const std::string& path, std::size_t limit)
{
    CappedRead result;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return result;
    }
    // One byte past the limit is enough to know the file is too large.
    const std::size_t ceiling = limit < SIZE_MAX ? limit + 1 : limit;
    // The size is only a first guess: the file may be a pipe, or growing.
    struct stat st = {};
    const std::size_t guess =
        ::fstat(fd, &st) == 0 && st.st_size > 0
            ? std::min<std::size_t>(static_cast<std::size_t>(st.st_size), limit)
            : 4096;
    std::string& out = result.content;
    out.resize(std::min(guess + 1, ceiling));
    std::size_t used = 0;
    bool failed = false;
    while (used < ceiling) {
        if (used == out.size()) {
            out.resize(std::min(ceiling, std::max<std::size_t>(out.size() * 2, 4096)));
        }
        const ssize_t n = ::read(fd, out.data() + used, out.size() - used);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            failed = n < 0;
            break;
        }
        used += static_cast<std::size_t>(n);
    }
    ::close(fd);
    result.tooLarge = used > limit;
    out.resize(failed || result.tooLarge ? 0 : used);
    return result;
}

} // namespace tw
