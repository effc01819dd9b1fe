#include "tools/setup/setup.h"

#include "core/settings.h"
#include "core/zuvira.h"
#include "store/itemdb.h"
#include "store/schema.h"
#include "tools/setup/alertsound.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <ostream>
#include <stdexcept>
#include <string_view>
#include <unistd.h>

namespace tw {

namespace fs = std::filesystem;

namespace {

std::runtime_error systemError(const std::string& what, int error)
{
    return std::runtime_error(what + ": " + std::strerror(error));
}

bool isPresent(const fs::path& path)
{
    std::error_code ec;
    // A dangling link counts as present: writing through it is not ours to do.
    return fs::symlink_status(path, ec).type() != fs::file_type::not_found;
}

void writeNewFile(const fs::path& path, const std::string& content)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        throw systemError("cannot make " + path.string(), errno);
    }
    size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            const int error = n < 0 ? errno : EIO;
            ::close(fd);
            ::unlink(path.c_str());
            throw systemError("cannot write " + path.string(), error);
        }
        done += static_cast<size_t>(n);
    }
    if (::close(fd) != 0) {
        const int error = errno;
        ::unlink(path.c_str());
        throw systemError("cannot write " + path.string(), error);
    }
}

void makeDirectory(const fs::path& dir)
{
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
        throw std::runtime_error("cannot make the directory " + dir.string() + ": " + ec.message());
    }
    if (!fs::is_directory(dir, ec)) {
        throw std::runtime_error(dir.string() + " is not a directory");
    }
    if (::access(dir.c_str(), W_OK | X_OK) != 0) {
        throw systemError("cannot write into " + dir.string(), errno);
    }
}

constexpr std::string_view kUsage =
    "usage: tw-setup <dir>\n"
    "Puts sys.mdb, alert.wav and tidewatch.ini into dir (made when missing), each\n"
    "only when it is not there yet.\n";

} // namespace

int runSetup(const std::string& dir, std::ostream& out, std::ostream& err)
{
    try {
        const fs::path base(dir);
        makeDirectory(base);

        const fs::path database = base / "sys.mdb";
        if (!isPresent(database)) {
            createItemDatabase(database.string());
            out << "made " << database.string() << '\n';
        }

        const fs::path sound = base / "alert.wav";
        if (!isPresent(sound)) {
            writeNewFile(sound, makeAlertWav());
            out << "made " << sound.string() << '\n';
        }

        const fs::path config = base / std::string(kConfigFileName);
        if (!isPresent(config)) {
            CCore(nullptr, base.string()).autoFileConfig();
            if (!isPresent(config)) {
                throw std::runtime_error("cannot write the settings " + config.string());
            }
            out << "made " << config.string() << '\n';
        }
    } catch (const std::exception& e) {
        err << "tw-setup: " << e.what() << '\n';
        return 1;
    }
    return 0;
}

int setupMain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        out << kUsage;
        return 0;
    }
    // An option is never taken for a folder to make.
    std::string dir;
    if (args.size() == 2 && args[0] == "--") {
        dir = args[1];
    } else if (args.size() == 1 && !args[0].starts_with('-')) {
        dir = args[0];
    } else if (!args.empty() && args[0].starts_with('-') && args[0] != "--") {
        err << "tw-setup: unknown option " << args[0] << '\n';
    }
    if (dir.empty()) {
        err << kUsage;
        return 2;
    }
    return runSetup(dir, out, err);
}

} // namespace tw
