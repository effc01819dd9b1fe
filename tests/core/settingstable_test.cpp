#include "core/settings.h"
#include "tests/support/tempdir.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tw {
namespace {

std::string trimmed(std::string_view s)
{
    const std::size_t b = s.find_first_not_of(' ');
    if (b == std::string_view::npos) {
        return {};
    }
    return std::string(s.substr(b, s.find_last_not_of(' ') - b + 1));
}

struct ReadmeRow
{
    std::string defaultValue;
    std::string meaning;
};

std::string readme()
{
    return test::readFile(std::string(TIDEWATCH_SOURCE_DIR) + "/README.md");
}

// The rows of the table under "**Settings** live in `tidewatch.ini`", each
// key as often as it appears.
std::multimap<std::string, ReadmeRow> settingsTable(const std::string& text)
{
    std::multimap<std::string, ReadmeRow> rows;
    std::size_t at = text.find("**Settings** live in `tidewatch.ini`");
    at = at == std::string::npos ? at : text.find("\n| key | default | meaning |", at);
    if (at == std::string::npos) {
        return rows;
    }
    at = text.find('\n', at + 1) + 1; // the header
    at = text.find('\n', at) + 1;     // |---|---|---|
    while (at < text.size() && text[at] == '|') {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        const std::string_view line = std::string_view(text).substr(at, end - at);
        at = end + 1;
        const std::size_t first = line.find('|', 1);
        const std::size_t second = line.find('|', first + 1);
        const std::size_t last = line.rfind('|');
        if (second == std::string_view::npos || last <= second) {
            ADD_FAILURE() << "not a row of three cells: " << line;
            continue;
        }
        std::string key = trimmed(line.substr(1, first - 1));
        if (key.size() >= 2 && key.front() == '`' && key.back() == '`') {
            key = key.substr(1, key.size() - 2);
        }
        std::string defaultValue = trimmed(line.substr(first + 1, second - first - 1));
        if (defaultValue == "(empty)") {
            defaultValue.clear();
        }
        rows.emplace(key,
                     ReadmeRow{defaultValue, trimmed(line.substr(second + 1, last - second - 1))});
    }
    return rows;
}

TEST(SettingsTable, readmeRowsAreTheDeclarationsWithTheirDefaultsAndMeanings)
{
    const std::multimap<std::string, ReadmeRow> rows = settingsTable(readme());
    ASSERT_FALSE(rows.empty()) << "README.md's settings table was not found";
    for (const SettingDef& def : kSettings) {
        const std::string key(def.key);
        if (rows.count(key) != 1) {
            ADD_FAILURE() << key << ": README.md has " << rows.count(key) << " rows, not one";
            continue;
        }
        const ReadmeRow& row = rows.find(key)->second;
        EXPECT_EQ(row.defaultValue, def.defaultValue) << key;
        EXPECT_EQ(row.meaning, def.meaning) << key;
    }
    for (const auto& [key, row] : rows) {
        EXPECT_NE(findSetting(key), nullptr) << key << " is in README.md but not declared";
    }
}

// The sentence above the table lists what a run reads again at its start.
TEST(SettingsTable, readmeNamesTheKeysReadAgainAtEveryRun)
{
    const std::string text = readme();
    const std::string phrase = " are read again at every \"开始\"";
    const std::size_t end = text.find(phrase);
    ASSERT_NE(end, std::string::npos);
    // From the end of the sentence before, if any.
    std::size_t at = 0;
    for (const char* stop : {".\n", ". "}) {
        if (const std::size_t found = text.rfind(stop, end); found != std::string::npos) {
            at = std::max(at, found + 2);
        }
    }
    std::set<std::string> named;
    while ((at = text.find('`', at)) < end) {
        const std::size_t close = text.find('`', at + 1);
        named.insert(text.substr(at + 1, close - at - 1));
        at = close + 1;
    }
    std::set<std::string> declared;
    for (const SettingDef& def : kSettings) {
        if (def.read == SettingRead::AtEveryRun) {
            declared.insert(std::string(def.key));
        }
    }
    EXPECT_EQ(named, declared);
}

} // namespace
} // namespace tw
