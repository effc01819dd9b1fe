#include "tests/support/storetestutil.h"
#include "tools/setup/alertsound.h"
#include "tools/setup/setup.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

namespace tw::test {
namespace {

uint32_t le(const std::string& s, size_t at, int bytes)
{
    uint32_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) {
        value = (value << 8) | static_cast<unsigned char>(s[at + static_cast<size_t>(i)]);
    }
    return value;
}

TEST(Setup, makesTheThreeFilesOnceAndLeavesExistingOnesAlone)
{
    TempDir dir;
    const std::string target = dir.file("new/app");
    std::ostringstream out;
    std::ostringstream err;
    ASSERT_EQ(runSetup(target, out, err), 0) << err.str();
    EXPECT_EQ(out.str(), "made " + target + "/sys.mdb\nmade " + target + "/alert.wav\nmade " +
                             target + "/tidewatch.ini\n");
    CCore core(nullptr, target);
    core.autoFileConfig();
    EXPECT_EQ(core.getConfigInt("interval"), 30);

    writeFile(target + "/tidewatch.ini", "[General]\ninterval=7\n");
    CItemDb db;
    db.setConnStr(CCore::getDbConnStrMdb(target + "/sys.mdb"));
    db.insertItem("k", "1", "t", CItemDb::kBbsl);
    const std::string wav = readFile(target + "/alert.wav");
    std::ostringstream again;
    ASSERT_EQ(runSetup(target, again, err), 0) << err.str();
    EXPECT_EQ(again.str(), "");
    EXPECT_TRUE(db.isItemExist("k", "1"));
    EXPECT_EQ(readFile(target + "/alert.wav"), wav);
    EXPECT_EQ(readFile(target + "/tidewatch.ini"), "[General]\ninterval=7\n");
}

TEST(Setup, unwritablePlaceFailsWithTheReason)
{
    TempDir dir;
    writeFile(dir.file("file"), "");
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_NE(runSetup(dir.file("file/sub"), out, err), 0);
    EXPECT_EQ(out.str(), "");
    EXPECT_NE(err.str().find(dir.file("file/sub")), std::string::npos) << err.str();
}

// Options are never taken for the folder to make.
TEST(Setup, helpPrintsTheUsageAndAnUnknownOptionIsAnError)
{
    TempDir dir;
    const struct
    {
        std::vector<std::string> args;
        int status;
        bool usageOnOut;
        std::string errHas;
    } cases[] = {
        {{"--help"}, 0, true, ""},
        {{"-h"}, 0, true, ""},
        {{"--force"}, 2, false, "unknown option --force"},
        {{"-"}, 2, false, "unknown option -"},
        {{}, 2, false, "usage: tw-setup <dir>"},
        {{dir.file("a"), dir.file("b")}, 2, false, "usage: tw-setup <dir>"},
        {{""}, 2, false, "usage: tw-setup <dir>"},
    };
    for (const auto& c : cases) {
        const std::string shown = c.args.empty() ? "(none)" : c.args[0];
        std::ostringstream out;
        std::ostringstream err;
        EXPECT_EQ(setupMain(c.args, out, err), c.status) << shown;
        EXPECT_EQ(out.str().starts_with("usage: tw-setup <dir>\n"), c.usageOnOut) << shown;
        EXPECT_NE(err.str().find(c.errHas), std::string::npos) << shown << ": " << err.str();
        if (c.status != 0) {
            EXPECT_NE(err.str().find("usage: tw-setup <dir>"), std::string::npos) << shown;
        }
        if (!c.args.empty() && !c.args[0].empty()) {
            EXPECT_FALSE(std::filesystem::exists(c.args[0])) << shown;
        }
    }

    // "--" lets a folder's name start with "-".
    const std::string dashed = dir.file("-odd");
    std::ostringstream out;
    std::ostringstream err;
    ASSERT_EQ(setupMain({"--", dashed}, out, err), 0) << err.str();
    EXPECT_TRUE(std::filesystem::exists(dashed + "/tidewatch.ini"));
}

TEST(AlertSound, isAWellFormedAudibleMonoWave)
{
    const std::string wav = makeAlertWav();
    ASSERT_GE(wav.size(), 44u);
    EXPECT_EQ(wav.substr(0, 4) + wav.substr(8, 8) + wav.substr(36, 4), "RIFFWAVEfmt data");
    // Sizes, PCM, mono, byte rate, block align, 16 bits.
    const uint32_t rate = le(wav, 24, 4);
    const uint32_t dataBytes = le(wav, 40, 4);
    EXPECT_EQ(
        (std::vector<uint32_t>{le(wav, 4, 4), dataBytes, le(wav, 16, 4), le(wav, 20, 2),
                               le(wav, 22, 2), le(wav, 28, 4), le(wav, 32, 2), le(wav, 34, 2)}),
        (std::vector<uint32_t>{uint32_t(wav.size() - 8), uint32_t(wav.size() - 44), 16, 1, 1,
                               rate * 2, 2, 16}));

    const double seconds = dataBytes / 2.0 / rate;
    EXPECT_GT(seconds, 1.0);
    EXPECT_LT(seconds, 2.0);
    int peak = 0;
    for (size_t at = 44; at + 1 < wav.size(); at += 2) {
        peak = std::max(peak, std::abs(static_cast<int16_t>(le(wav, at, 2))));
    }
    EXPECT_GT(peak, 8000);
}

} // namespace
} // namespace tw::test
