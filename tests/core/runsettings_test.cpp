#include "core/runsettings.h"
#include "core/settings.h"
#include "core/zuvira.h"
#include "tests/support/tempdir.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <vector>

namespace tw {
namespace {

TEST(ParseInterval, takesWholeSecondsFromOneToADayAndTellsTooSmallFromTooLarge)
{
    const std::string tooSmall = "间隔时间不能小于1秒！";
    const std::string tooLarge = "间隔时间过大，最多 86400 秒！";
    const struct
    {
        const char* text;
        int value;
        std::string error;
    } cases[] = {
        {"30", 30, ""},
        {" 1 ", 1, ""},
        {"+5", 5, ""},
        {"86400", 86400, ""},
        {"0", 0, tooSmall},
        {"-3", 0, tooSmall},
        {"", 0, tooSmall},
        {"abc", 0, tooSmall},
        {"1.5", 0, tooSmall},
        {"86401", 0, tooLarge},
        {"12345678901234", 0, tooLarge},
        {"99999999999999999999999999", 0, tooLarge},
        {"-12345678901234", 0, tooSmall},
    };
    for (const auto& c : cases) {
        const IntervalInput parsed = parseInterval(c.text);
        EXPECT_EQ(parsed.value, c.value) << c.text;
        EXPECT_EQ(parsed.error, c.error) << c.text;
    }
}

// A file written by hand: each value outside its range is read as the
// nearest it allows and told once; a key the file lacks reads as its default,
// which is also what a RunSettings made in code holds.
TEST(RunSettingsFile, valuesOutOfRangeAreBroughtInAndToldOnceAndMissingKeysReadAsDefaults)
{
    const struct
    {
        const char* key;
        const char* written;
        int value;
        std::string problem;
    } cases[] = {
        {"parallel", "99", 32, "提示：设置 parallel=99 超出范围（1 到 32），按 32 处理"},
        {"jitter", "-5", 0, "提示：设置 jitter=-5 超出范围（0 到 100），按 0 处理"},
        {"openlimit", "-4", 0, "提示：设置 openlimit=-4 超出范围（至少 0），按 0 处理"},
        {"maxrate", "-1", 0, "提示：设置 maxrate=-1 超出范围（至少 0），按 0 处理"},
        {"quietfactor", "0", 0, ""},
        {"quietminutes", "0", 1, "提示：设置 quietminutes=0 超出范围（1 到 525600），按 1 处理"},
        // The window checks the interval itself when a run starts.
        {"interval", "0", 0, "提示：设置 interval=0 超出范围（1 到 86400）"},
        // A flag has always read as set for any number but 0.
        {"tray", "2", 1, "提示：设置 tray=2 超出范围（0 到 1），按 1 处理"},
        {"keepwatching", "true", 1, ""},
        {"kcbase", "-7", -7, ""},
        // Not a number: the default, as before.
        {"maxitemshow", "abc", 100, ""},
    };
    const std::string agent = "Mozilla/5.0 (X11; Linux x86_64; rv:120.0) Gecko/20100101";
    std::string file = "[General]\r\nuseragent=" + agent + "\r\n";
    std::set<std::string> written = {"useragent"};
    std::vector<std::string> problems;
    for (const auto& c : cases) {
        file += std::string(c.key) + "=" + c.written + "\r\n";
        written.insert(c.key);
        if (!c.problem.empty()) {
            problems.push_back(c.problem);
        }
    }
    test::TempDir dir;
    test::writeFile(dir.file(std::string(kConfigFileName)), file);
    CCore core(nullptr, dir.path());
    core.autoFileConfig();
    RunSettings settings;
    settings.readFrom(core);

    for (const auto& c : cases) {
        EXPECT_EQ(settings.*findSetting(c.key)->number, c.value) << c.key;
    }
    EXPECT_EQ(settings.userAgent, agent);
    std::vector<std::string> told = settings.problems;
    std::sort(told.begin(), told.end());
    std::sort(problems.begin(), problems.end());
    EXPECT_EQ(told, problems);

    const RunSettings made;
    for (const SettingDef& def : kSettings) {
        if (def.kind == SettingKind::Text) {
            EXPECT_EQ(made.*def.text, def.defaultValue) << def.key;
            if (!written.contains(std::string(def.key))) {
                EXPECT_EQ(settings.*def.text, def.defaultValue) << def.key;
            }
        } else {
            const int declared = std::stoi(std::string(def.defaultValue));
            EXPECT_EQ(made.*def.number, declared) << def.key;
            if (!written.contains(std::string(def.key))) {
                EXPECT_EQ(settings.*def.number, declared) << def.key;
            }
        }
    }

    // A run reads its keys again and tells only what the file holds now.
    test::writeFile(dir.file(std::string(kConfigFileName)), "[General]\ninterval=0\nparallel=0\n");
    std::filesystem::last_write_time(dir.file(std::string(kConfigFileName)),
                                     std::filesystem::file_time_type::clock::now() +
                                         std::chrono::seconds(5));
    settings.readRunOptions(core);
    EXPECT_EQ(settings.parallel, 1);
    EXPECT_EQ(settings.openLimit, 30);
    EXPECT_EQ(settings.problems,
              std::vector<std::string>{"提示：设置 parallel=0 超出范围（1 到 32），按 1 处理"});
}

} // namespace
} // namespace tw
