#include "core/text.h"

#include <gtest/gtest.h>
#include <string>

namespace tw {
namespace {

const std::string kReplacement = "\xEF\xBF\xBD";

// The repair reads 16 bytes at a time and stays inside runs of multi-byte
// characters: put every case at every position around those blocks.
TEST(Utf8Repair, sameResultAtEveryAlignment)
{
    for (std::size_t pad = 0; pad < 40; ++pad) {
        const std::string lead(pad, 'a');
        const struct
        {
            std::string in;
            std::string out;
        } rows[] = {
            {lead + "二手相机" + lead, lead + "二手相机" + lead},
            {lead + "\xF0\x9F\x98\x80" + "é" + lead, lead + "\xF0\x9F\x98\x80" + "é" + lead},
            {lead + "\xFF" + lead, lead + kReplacement + lead},
            {lead + "二手\xFF相机", lead + "二手" + kReplacement + "相机"},
            {lead + "二\xE4\xBA" + "c", lead + "二" + kReplacement + kReplacement + "c"},
            {lead + "二\xE4\xBA", lead + "二" + kReplacement + kReplacement},
            {lead + "\xE0\x80\xAF", lead + kReplacement + kReplacement + kReplacement},
            {lead + "二\xED\xA0\x80", lead + "二" + kReplacement + kReplacement + kReplacement},
            {lead + "\xEF\xBF\xBD", lead + kReplacement},
        };
        for (const auto& row : rows) {
            std::string s = row.in;
            text::utf8ToNarrow(s);
            EXPECT_EQ(s, row.out) << "pad " << pad << " in " << row.in;
        }
    }
}

} // namespace
} // namespace tw
