#include "core/fileio.h"
#include "tests/support/tempdir.h"

#include <gtest/gtest.h>
#include <string>
#include <tuple>

namespace tw {
namespace {

// A file past the limit is refused without being read whole: /dev/zero never
// ends, so a read to the end would never return.
TEST(ReadFileCapped, givesTheWholeFileUpToTheLimitAndNothingPastIt)
{
    test::TempDir dir;
    const std::string bytes = std::string("a\0b", 3) + std::string(70000, 'x');
    test::writeFile(dir.file("page"), bytes);
    test::writeFile(dir.file("empty"), "");
    const std::tuple<std::string, std::size_t, std::string, bool> rows[] = {
        {dir.file("page"), bytes.size(), bytes, false},
        {dir.file("page"), bytes.size() + 1, bytes, false},
        {dir.file("page"), bytes.size() - 1, "", true},
        {dir.file("page"), 0, "", true},
        {dir.file("empty"), 0, "", false},
        {dir.file("missing"), 10, "", false},
        {dir.path(), 10, "", false}, // a directory cannot be read
        {"/dev/zero", 1 << 20, "", true},
    };
    for (const auto& [path, limit, content, tooLarge] : rows) {
        SCOPED_TRACE(path + " limit " + std::to_string(limit));
        const CappedRead read = readFileCapped(path, limit);
        EXPECT_EQ(read.content, content);
        EXPECT_EQ(read.tooLarge, tooLarge);
    }
}

} // namespace
} // namespace tw
