#include "core/runsettings.h"

#include <gtest/gtest.h>
#include <string>

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

} // namespace
} // namespace tw
