#include "childprocess.h"

#include <csignal>
#include <cstdlib>
#include <exception>
#include <string_view>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tw::test {

ChildResult runInChild(const std::function<std::string()>& body)
{
    int fds[2];
    if (::pipe(fds) != 0) {
        return {};
    }
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return {};
    }
    if (pid == 0) {
        ::close(fds[0]);
        int code = 1;
        try {
            const std::string out = body();
            std::string_view rest = out;
            while (!rest.empty()) {
                const ssize_t n = ::write(fds[1], rest.data(), rest.size());
                if (n <= 0) {
                    break;
                }
                rest.remove_prefix(static_cast<std::size_t>(n));
            }
            code = rest.empty() ? 0 : 1;
        } catch (const std::exception&) {
        }
        ::_exit(code);
    }
    ::close(fds[1]);
    ChildResult result;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) {
        result.output.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
    }
    result.finished = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return result;
}

void limitFileSize(std::size_t bytes)
{
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = static_cast<rlim_t>(bytes);
    ::setrlimit(RLIMIT_FSIZE, &limit);
}

void liftFileSizeLimit()
{
    rlimit limit{};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_FSIZE, &limit);
}

} // namespace tw::test
