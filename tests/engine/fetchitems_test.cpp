#include "core/text.h"
#include "core/zuvira.h"
#include "engine/fetchitems.h"
#include "engine/httpsession.h"
#include "support/tempdir.h"
#include "testmarket/testmarket.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <regex>
#include <set>

namespace tw {
namespace {

using test::MarketFault;
using test::MarketItem;
using test::TestMarket;
using Kind = MarketFault::Kind;

std::string joinIds(const std::vector<MarketItem>& items, std::size_t from, std::size_t to)
{
    std::string ids;
    for (std::size_t i = from; i < to; ++i) {
        ids += (i > from ? "," : "") + items[i].id;
    }
    return ids;
}

std::string queryValue(const std::string& query, const std::string& key)
{
    const std::string needle = key + "=";
    std::size_t at = query.rfind("&" + needle);
    at = at == std::string::npos ? (query.rfind(needle, 0) == 0 ? 0 : at) : at + 1;
    if (at == std::string::npos) {
        return {};
    }
    const std::size_t from = at + needle.size();
    return query.substr(from, query.find('&', from) - from);
}

class FetchItemsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        setenv("no_proxy", "127.0.0.1,localhost", 1);
        ASSERT_TRUE(market.start());
        SessionSettings settings;
        settings.stallTimeoutMs = 300;
        settings.connectBackoffMs = 1;
        session = HttpSession::open(settings);
        ASSERT_NE(session, nullptr);
    }

    FetchOutcome check(const std::string& key)
    {
        return fetchItems(context(), prepareRequestUrl(core, market.searchUrl(key)));
    }

    FetchContext context() { return {core, *session, pageFile, titlesFile, ignoreWords}; }

    std::vector<int> offsets() const
    {
        std::vector<int> out;
        for (const auto& request : market.requests()) {
            out.push_back(request.offset);
        }
        return out;
    }

    test::TempDir dir;
    std::string pageFile = dir.file("_tmpChunked.txt");
    std::string titlesFile = dir.file("_tmpbbtitles.txt");
    std::string ignoreWords;
    CCore core{nullptr, dir.path()};
    TestMarket market;
    std::unique_ptr<HttpSession> session;
};

TEST_F(FetchItemsTest, IdsOverPagesInOrderOfFirstAppearance)
{
    auto items = TestMarket::makeItems(90);
    // Listings move while the pages are read: page 2 repeats two of page 1.
    items[41] = {items[3].id, "moved"};
    items[45] = {items[39].id, "moved too"};
    market.setItems("camera", items);

    const FetchOutcome outcome = check("camera");
    EXPECT_FALSE(outcome.failed) << outcome.error;

    std::string ids;
    std::string titles;
    std::set<std::string> seen;
    for (const auto& item : items) {
        if (seen.insert(item.id).second) {
            ids += (ids.empty() ? "" : ",") + item.id;
            titles += item.title + "^";
        }
    }
    EXPECT_EQ(outcome.ids, ids);
    EXPECT_EQ(test::readFile(titlesFile), titles);
    // Page 4 (offset 120) is past the last item and ends the loop.
    EXPECT_EQ(offsets(), (std::vector<int>{0, 40, 80, 120}));
}

TEST_F(FetchItemsTest, EightFullPagesNeverAskForOffset320)
{
    const auto items = TestMarket::makeItems(400);
    market.setItems("bike", items);
    const FetchOutcome outcome = check("bike");
    EXPECT_FALSE(outcome.failed) << outcome.error;
    EXPECT_EQ(outcome.ids, joinIds(items, 0, 320));
    EXPECT_EQ(offsets(), (std::vector<int>{0, 40, 80, 120, 160, 200, 240, 280}));
}

TEST_F(FetchItemsTest, PageWithoutMarkerEndsLoop)
{
    const auto items = TestMarket::makeItems(200);
    market.setItems("camera", items);
    market.setFault("camera", {.kind = Kind::NoMarkers, .offset = 40});
    const FetchOutcome outcome = check("camera");
    EXPECT_FALSE(outcome.failed);
    EXPECT_EQ(outcome.ids, joinIds(items, 0, 40));
    EXPECT_EQ(offsets(), (std::vector<int>{0, 40}));
}

TEST_F(FetchItemsTest, CutPageKeepsItsWholeBlocksAndGoesOn)
{
    const auto items = TestMarket::makeItems(60);
    market.setItems("camera", items);
    market.setFault("camera", {.kind = Kind::Truncate, .offset = 0});
    const FetchOutcome outcome = check("camera");
    EXPECT_FALSE(outcome.failed);
    EXPECT_EQ(outcome.ids, joinIds(items, 0, 39) + "," + joinIds(items, 40, 60));
}

TEST_F(FetchItemsTest, RandomNumberInRangeAndSameOnEveryPage)
{
    market.setItems("camera", TestMarket::makeItems(100));
    for (int run = 0; run < 3; ++run) {
        market.clearRequests();
        check("camera");
        const auto requests = market.requests();
        ASSERT_EQ(requests.size(), 4u);
        const std::string vk1 = queryValue(requests[0].query, "vk1");
        ASSERT_TRUE(std::regex_match(vk1, std::regex("[1-9][0-9]{5}"))) << vk1;
        EXPECT_GE(std::stoi(vk1), 100000);
        EXPECT_LE(std::stoi(vk1), 990000);
        for (const auto& request : requests) {
            EXPECT_EQ(queryValue(request.query, "vk1"), vk1);
            EXPECT_EQ(request.key, "camera");
            EXPECT_EQ(queryValue(request.query, "sort"), "new");
        }
    }
}

TEST_F(FetchItemsTest, SchemeSwitch)
{
    const struct
    {
        std::string url;
        std::string prefix;
    } rows[] = {
        {"http://s.example.com/search?q=a", "https://s.example.com/search?q=a"},
        {"https://s.example.com/search?q=a", "https://s.example.com/search?q=a"},
        {"http://www.example.com/search?q=a", "http://www.example.com/search?q=a"},
        {"http://s.example.com/r?u=http://s.example.com/x",
         "https://s.example.com/r?u=https://s.example.com/x"},
        {"http://127.0.0.1:8080/search?q=a&sort=new", "http://127.0.0.1:8080/search?q=a&sort=new"},
        {"", ""},
    };
    for (const auto& row : rows) {
        const std::string request = prepareRequestUrl(core, row.url);
        ASSERT_EQ(request.rfind(row.prefix + "&vk1=", 0), 0u) << request;
        const std::string number = request.substr(row.prefix.size() + 5);
        EXPECT_TRUE(std::regex_match(number, std::regex("[0-9]{6}"))) << request;
    }
}

TEST_F(FetchItemsTest, EmptyResultStillRewritesTitles)
{
    test::writeFile(titlesFile, "old title^");
    const FetchOutcome outcome = check("nothing");
    EXPECT_FALSE(outcome.failed);
    EXPECT_EQ(outcome.ids, "");
    EXPECT_EQ(test::readFile(titlesFile), "");
    EXPECT_EQ(offsets(), (std::vector<int>{0}));
}

TEST_F(FetchItemsTest, PageTextIsRepairedBeforeParsing)
{
    market.setItems("camera", {{"1", "bad\xFF byte"}, {"2", "好"}});
    ignoreWords = "\xEF\xBF\xBD"; // what the bad byte turns into
    const FetchOutcome outcome = check("camera");
    EXPECT_EQ(outcome.ids, "2");
    EXPECT_EQ(test::readFile(titlesFile), "好^");
}

struct FailedPageCase
{
    const char* name;
    MarketFault fault;
};

void PrintTo(const FailedPageCase& c, std::ostream* os)
{
    *os << c.name;
}

class FetchItemsFailures : public FetchItemsTest,
                           public ::testing::WithParamInterface<FailedPageCase>
{
};

// A failed second page after a good first one: the check is reported failed,
// keeps page 1, and neither parses a stale page nor asks for more.
TEST_P(FetchItemsFailures, FailedPageEndsCheckWithoutStalePage)
{
    const auto items = TestMarket::makeItems(120);
    market.setItems("camera", items);
    // What another watch's check left behind: a full page of other items.
    const auto others = TestMarket::makeItems(40, 900000000001LL);
    test::writeFile(pageFile, test::renderResultPage(others, 0, 40));

    MarketFault fault = GetParam().fault;
    fault.offset = 40;
    market.setFault("camera", fault);
    const FetchOutcome outcome = check("camera");
    EXPECT_TRUE(outcome.failed);
    EXPECT_FALSE(outcome.error.empty());
    EXPECT_EQ(outcome.ids, joinIds(items, 0, 40));
    EXPECT_EQ(offsets(), (std::vector<int>{0, 40}));
    EXPECT_EQ(test::readFile(pageFile), "");

    // The first page failing right away gives nothing at all.
    market.clearRequests();
    fault.offset = 0;
    market.setFault("camera", fault);
    test::writeFile(pageFile, test::renderResultPage(others, 0, 40));
    const FetchOutcome first = check("camera");
    EXPECT_TRUE(first.failed);
    EXPECT_EQ(first.ids, "");
    EXPECT_EQ(test::readFile(titlesFile), "");
    EXPECT_EQ(offsets(), (std::vector<int>{0}));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FetchItemsFailures,
    ::testing::Values(FailedPageCase{"Status500", {.kind = Kind::Status, .status = 500}},
                      FailedPageCase{"DroppedConnection", {.kind = Kind::Drop}},
                      FailedPageCase{"Stalled", {.kind = Kind::Stall}},
                      FailedPageCase{"StalledMidPage", {.kind = Kind::StallBody}}),
    [](const ::testing::TestParamInfo<FailedPageCase>& row) {
        return std::string(row.param.name);
    });

TEST_F(FetchItemsTest, RefusedConnectionFails)
{
    market.setItems("camera", TestMarket::makeItems(10));
    const std::string url = market.searchUrl("camera");
    market.stop();
    test::writeFile(pageFile, test::renderResultPage(TestMarket::makeItems(40), 0, 40));
    const FetchOutcome outcome = fetchItems(context(), prepareRequestUrl(core, url));
    EXPECT_TRUE(outcome.failed);
    EXPECT_EQ(outcome.ids, "");
    EXPECT_NE(outcome.error.find(url), std::string::npos) << outcome.error;
}

TEST_F(FetchItemsTest, UnwritableTitlesFileFailsCheck)
{
    market.setItems("camera", TestMarket::makeItems(3));
    titlesFile = dir.file("no/such/dir/titles.txt");
    const FetchOutcome outcome = check("camera");
    EXPECT_TRUE(outcome.failed);
    EXPECT_NE(outcome.error.find("titles.txt"), std::string::npos) << outcome.error;
}

} // namespace
} // namespace tw
