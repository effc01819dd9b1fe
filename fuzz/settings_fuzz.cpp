// The settings reader over a fuzzed tidewatch.ini.
#include "core/settings.h"
#include "core/zuvira.h"
#include "fuzz/fuzzcheck.h"
#include "fuzz/fuzzdir.h"

#include <QByteArrayView>
#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace {

using tw::CCore;

// Every input gets a folder of its own rather than a rewritten file.
std::string freshDir()
{
    static unsigned long long count = 0;
    const std::string dir = tw::fuzz::runDir() + std::to_string(count++) + "/";
    std::filesystem::create_directory(dir);
    return dir;
}

bool isKeyChar(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

// A file as a person writes one: valid UTF-8 without control bytes, and
// every line blank, a comment, a "[section]" or "key=value" with a plain key.
// Other files are only checked not to crash the reader and the save.
bool wellFormed(std::string_view ini)
{
    if (!QByteArrayView(ini.data(), static_cast<qsizetype>(ini.size())).isValidUtf8()) {
        return false;
    }
    std::string_view rest = ini;
    while (!rest.empty()) {
        std::string_view line = tw::fuzz::takeField(rest, '\n');
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        for (const char c : line) {
            if (static_cast<unsigned char>(c) < 0x20 && c != '\t') {
                return false;
            }
        }
        const std::size_t first = line.find_first_not_of(" \t");
        if (first == std::string_view::npos || line[first] == ';' || line[first] == '#') {
            continue;
        }
        line.remove_prefix(first);
        if (line.front() == '[') {
            if (line.size() < 3 || line.back() != ']' ||
                line.find_first_of("[]", 1) != line.size() - 1) {
                return false;
            }
            continue;
        }
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos || eq == 0) {
            return false;
        }
        std::string_view key = line.substr(0, eq);
        while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) {
            key.remove_suffix(1);
        }
        for (const char c : key) {
            if (!isKeyChar(c)) {
                return false;
            }
        }
    }
    return true;
}

struct Values
{
    std::vector<int> ints;
    std::vector<std::string> strs;
    std::vector<int> flags;
    friend bool operator==(const Values&, const Values&) = default;
};

Values readAll(CCore& core)
{
    Values v;
    for (const tw::SettingDef& def : tw::kSettings) {
        v.ints.push_back(core.getConfigInt(def.key));
        v.strs.push_back(core.getConfigStr(def.key));
        const int flag = core.getConfigB(def.key);
        FUZZ_CHECK(flag == 0 || flag == 1);
        v.flags.push_back(flag);
    }
    return v;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view ini(reinterpret_cast<const char*>(data), size);
    const std::string dir = freshDir();
    const std::string file = dir + std::string(tw::kConfigFileName);
    tw::fuzz::writeFile(file, ini);

    CCore core(nullptr, dir);
    core.autoFileConfig();
    const Values first = readAll(core);
    // Reading never writes: the file stays as the user left it.
    std::error_code ec;
    FUZZ_CHECK(std::filesystem::file_size(file, ec) == size);

    // Saving one value keeps it and every other key's value, also for the
    // next start that reads the file afresh.
    const tw::Result<void> save = core.saveConfigInt("interval", 7);
    if (!save.ok()) {
        // A file that could not be read again or written: the save says why.
        FUZZ_CHECK(!save.error().empty());
        std::filesystem::remove_all(dir, ec);
        return 0;
    }
    FUZZ_CHECK(core.getConfigInt("interval") == 7);
    const Values saved = readAll(core);
    if (!wellFormed(ini)) {
        std::filesystem::remove_all(dir, ec);
        return 0;
    }
    const std::string next = freshDir();
    std::filesystem::copy_file(file, next + std::string(tw::kConfigFileName), ec);
    if (ec) {
        // The scratch folder failed, not the settings reader (seen once in
        // 300,000 runs, not reproducible): say so and go on.
        std::fprintf(stderr, "scratch copy failed: %s\n", ec.message().c_str());
        std::filesystem::remove_all(dir, ec);
        std::filesystem::remove_all(next, ec);
        return 0;
    }
    CCore reread(nullptr, next);
    reread.autoFileConfig();
    FUZZ_CHECK(readAll(reread) == saved);
    for (std::size_t i = 0; i < std::size(tw::kSettings); ++i) {
        if (tw::kSettings[i].key != "interval") {
            FUZZ_CHECK(saved.strs[i] == first.strs[i]);
        }
    }

    std::filesystem::remove_all(dir, ec);
    std::filesystem::remove_all(next, ec);
    return 0;
}
