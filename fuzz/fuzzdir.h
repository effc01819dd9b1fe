#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace tw::fuzz {

// A directory of the fuzz run's own, made once and removed when the run ends.
class RunDir
{
public:
    RunDir()
    {
        // run-fuzzer.sh points TMPDIR into memory: QSettings syncs every save.
        std::string templ =
            (std::filesystem::temp_directory_path() / "tidewatch-fuzz-XXXXXX").string();
        if (!mkdtemp(templ.data())) {
            std::abort();
        }
        m_path = templ + "/";
    }
    ~RunDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    RunDir(const RunDir&) = delete;
    RunDir& operator=(const RunDir&) = delete;
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

inline const std::string& runDir()
{
    static const RunDir dir;
    return dir.path();
}

inline void writeFile(const std::string& path, std::string_view content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

} // namespace tw::fuzz
