#include "engine/pagefile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tw {

namespace {

struct Fd
{
    int fd;
    ~Fd()
    {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

Failure cannotWrite(const std::string& path)
{
    return Failure{"cannot write " + path + ": " + std::strerror(errno)};
}

} // namespace

Result<void> writePageFile(const std::string& path, std::string_view page)
{
    const Fd file{::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666)};
    if (file.fd < 0) {
        return cannotWrite(path);
    }
    std::size_t done = 0;
    while (done < page.size()) {
        const ssize_t n = ::write(file.fd, page.data() + done, page.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = ENOSPC;
            }
            return cannotWrite(path);
        }
        done += static_cast<std::size_t>(n);
    }
    // A cut costs a metadata update even when nothing is cut.
    struct stat st
    {
    };
    if (::fstat(file.fd, &st) != 0) {
        return cannotWrite(path);
    }
    if (st.st_size != static_cast<off_t>(page.size()) &&
        ::ftruncate(file.fd, static_cast<off_t>(page.size())) != 0) {
        return cannotWrite(path);
    }
    return {};
}

} // namespace tw
