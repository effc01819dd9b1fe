#include "core/watchoptions.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace tw::test {
namespace {

using Lines = std::vector<std::string>;

std::string joined(const Lines& lines)
{
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\n";
    }
    return text;
}

// A file edited by hand reads back as written, and what the program does not
// understand (comments, unknown keys, broken lines) survives a save.
TEST(WatchOptionsFile, aHandEditSurvivesALoadAndASave)
{
    const std::string url = "http://127.0.0.1/s?c=1&q=%E7%81%AF&a=[x]";
    const std::string other = "http://127.0.0.1/s?q=B";
    const std::string text = "\xEF\xBB\xBF# 我的设置\r\n"
                             "[" +
                             url +
                             "]\r\n"
                             "name = 台灯; 便宜=好 \r\n"
                             "; 只要全新的\r\n"
                             "must=全新, 包邮\r\n"
                             "ignore=二手,坏\r\n"
                             "colour=蓝=绿;\r\n"
                             "interval=600\r\n"
                             "hours=22:30-06:00\r\n"
                             "paused=0\r\n"
                             "muted=1\r\n"
                             "openlimit=3\r\n"
                             "baseline=1\r\n"
                             "\r\n"
                             "[" +
                             other +
                             "]\n"
                             "paused=1\n";
    const watchoptions::Parsed first = watchoptions::parse(text);
    EXPECT_TRUE(first.problems.empty());
    ASSERT_EQ(first.sections.size(), 2u);
    EXPECT_EQ(first.sections[0].first, url) << "first \"[\" to last \"]\"";
    const WatchOptions& o = first.sections[0].second;
    EXPECT_EQ(o.name, "台灯; 便宜=好");
    EXPECT_EQ(o.must, "全新, 包邮");
    EXPECT_EQ(watchoptions::words(*o.must), "全新,包邮");
    EXPECT_EQ(o.ignore, "二手,坏");
    EXPECT_EQ(o.interval, 600);
    EXPECT_EQ(o.hours, (ActiveHours{22 * 60 + 30, 6 * 60}));
    EXPECT_EQ(o.paused, false);
    EXPECT_EQ(o.muted, true);
    EXPECT_EQ(o.openLimit, 3);
    EXPECT_EQ(o.baseline, true);
    EXPECT_EQ(o.keptLines, (Lines{"; 只要全新的", "colour=蓝=绿;"}));
    EXPECT_EQ(first.head, Lines{"# 我的设置"});
    EXPECT_EQ(first.find("http://127.0.0.1/s?q=b"), nullptr) << "URLs compare with case";

    const Lines saved = watchoptions::serialize(first.head, first.sections);
    const watchoptions::Parsed again = watchoptions::parse(joined(saved));
    EXPECT_EQ(again.head, first.head);
    EXPECT_EQ(again.sections, first.sections);
    EXPECT_TRUE(again.problems.empty());
}

// A line the reader cannot take is reported with its number and ignored;
// the lines around it still count, and it is kept for the person to fix.
TEST(WatchOptionsFile, reportsEachBrokenLineByNumberAndReadsTheRest)
{
    struct Case
    {
        const char* name;
        std::string text;
        std::vector<int> problemLines;
        std::optional<int> interval;
    };
    const Case cases[] = {
        {"no = sign", "[u]\ninterval=5\njust words\n", {3}, 5},
        {"no key", "[u]\n=5\ninterval=5\n", {2}, 5},
        {"key before any section", "interval=7\n[u]\ninterval=5\n", {1}, 5},
        {"header without ]", "[u\ninterval=5\n", {1, 2}, std::nullopt},
        {"interval not a number", "[u]\ninterval=ten\n", {2}, std::nullopt},
        {"interval below 1", "[u]\ninterval=0\n", {2}, std::nullopt},
        {"flag not 0 or 1", "[u]\npaused=yes\ninterval=5\n", {2}, 5},
        {"hours without a dash", "[u]\nhours=0900\ninterval=5\n", {2}, 5},
        {"hours past 23:59", "[u]\nhours=09:00-24:00\n", {2}, std::nullopt},
        {"hours of no length", "[u]\nhours=09:00-09:00\n", {2}, std::nullopt},
        {"hours with one-digit minutes", "[u]\nhours=9:0-17:00\n", {2}, std::nullopt},
        {"good hours", "[u]\nhours=9:00 - 17:30\ninterval=5\n", {}, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const watchoptions::Parsed parsed = watchoptions::parse(c.text);
        std::vector<int> lines;
        for (const watchoptions::Problem& p : parsed.problems) {
            lines.push_back(p.line);
        }
        EXPECT_EQ(lines, c.problemLines);
        const WatchOptions* o = parsed.find("u");
        EXPECT_EQ(o ? o->interval : std::nullopt, c.interval);
        if (!parsed.problems.empty()) {
            const std::string told = watchoptions::problemsText("_items.ini", parsed.problems);
            EXPECT_NE(told.find("第 " + std::to_string(c.problemLines[0]) + " 行"),
                      std::string::npos)
                << told;
        }
    }
    const watchoptions::Parsed badHours = watchoptions::parse("[u]\nhours=25:00-06:00\n");
    ASSERT_EQ(badHours.problems.size(), 1u);
    EXPECT_NE(badHours.problems[0].what.find("hours"), std::string::npos);
    EXPECT_EQ(badHours.find("u")->keptLines, Lines{"hours=25:00-06:00"});
}

// Hours that cross midnight hold the late evening and the early morning.
TEST(WatchOptionsFile, hoursMayCrossMidnight)
{
    const ActiveHours night = *watchoptions::parseHours("22:00-06:00");
    const ActiveHours day = *watchoptions::parseHours("09:00-17:00");
    struct Case
    {
        int minute;
        bool inNight;
        bool inDay;
    };
    for (const Case& c :
         {Case{23 * 60, true, false}, Case{5 * 60 + 59, true, false}, Case{6 * 60, false, false},
          Case{9 * 60, false, true}, Case{17 * 60, false, false}, Case{22 * 60, true, false}}) {
        SCOPED_TRACE(c.minute);
        EXPECT_EQ(night.contains(c.minute), c.inNight);
        EXPECT_EQ(day.contains(c.minute), c.inDay);
    }
}

} // namespace
} // namespace tw::test
