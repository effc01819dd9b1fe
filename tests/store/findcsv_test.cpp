#include "store/findcsv.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace tw {
namespace {

// An RFC 4180 reader, as a spreadsheet or Python's csv module reads the file.
std::vector<std::vector<std::string>> readCsv(std::string_view text)
{
    std::vector<std::vector<std::string>> rows(1);
    std::string field;
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            rows.back().push_back(std::move(field));
            field.clear();
        } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            rows.back().push_back(std::move(field));
            field.clear();
            rows.emplace_back();
            ++i;
        } else {
            field += c;
        }
    }
    rows.pop_back(); // after the last CR LF
    return rows;
}

TEST(FindsCsv, titlesOfAnyKindReadBackAsWrittenAndNoCellRunsAsAFormula)
{
    const std::vector<std::string> titles = {
        "plain", "a \"quoted\" word", "one, two", "line\r\nbreak\nand \r", "山地车 二手",
        "=HYPERLINK(\"http://x\")", "+1", "-2", "@SUM(A1)", ""};
    std::vector<FindRecord> finds;
    for (std::size_t i = 0; i < titles.size(); ++i) {
        finds.push_back({std::chrono::sys_seconds(std::chrono::seconds(1700000000 + i)),
                         "http://127.0.0.1/s?c=1&q=%E5%B1%B1", "%E5%B1%B1",
                         std::to_string(100 + i), titles[i], "new"});
    }
    finds.push_back({std::nullopt, "", "=k", "7", "old", "baseline"});
    const std::string csv = findsCsv(finds, [](const FindRecord& f) { return f.sid + " 名"; });

    ASSERT_EQ(csv.substr(0, 3), "\xEF\xBB\xBF");
    const auto rows = readCsv(std::string_view(csv).substr(3));
    ASSERT_EQ(rows.size(), finds.size() + 1);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"time", "watch", "url", "key", "id", "title",
                                                 "kind"}));
    for (std::size_t i = 0; i < titles.size(); ++i) {
        const std::vector<std::string>& row = rows[i + 1];
        ASSERT_EQ(row.size(), 7u) << i;
        EXPECT_EQ(row[0].size(), 19u) << row[0];
        EXPECT_EQ(row[1], "%E5%B1%B1 名");
        EXPECT_EQ(row[2], "http://127.0.0.1/s?c=1&q=%E5%B1%B1");
        EXPECT_EQ(row[4], std::to_string(100 + i));
        const bool formula = !titles[i].empty() && std::string("=+-@").find(titles[i][0]) !=
                                                       std::string::npos;
        EXPECT_EQ(row[5], formula ? "'" + titles[i] : titles[i]);
        EXPECT_EQ(row[6], "new");
    }
    EXPECT_EQ(rows.back(), (std::vector<std::string>{"", "'=k 名", "", "'=k", "7", "old",
                                                     "baseline"}));
}

} // namespace
} // namespace tw
