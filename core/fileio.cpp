#include "core/fileio.h"

#include <cerrno>
#include <cstring>
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

} // namespace tw
