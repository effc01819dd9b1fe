#include "core/zuvira.h"
#include "engine/fetchitems.h"
#include "engine/httpsession.h"
#include "tests/support/tempdir.h"
#include "tools/testmarket/testmarket.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <regex>
#include <set>
#include <tuple>

namespace tw {
namespace {

using test::MarketFault;
using test::MarketItem;
using test::TestMarket;
using Kind = MarketFault::Kind;
using Offsets = std::vector<int>;

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
    std::smatch m;
    return std::regex_search(query, m, std::regex("(^|&)" + key + "=([^&]*)")) ? m.str(2) : "";
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
        market.clearRequests();
        const FetchContext ctx{core, *session, pageFile, titlesFile, ignoreWords};
        return fetchItems(ctx, prepareRequestUrl(core, market.searchUrl(key)));
    }

    // A check that must succeed with ids after asking for the pages at offsets.
    void expectCheck(const std::string& key, const std::string& ids, const Offsets& offsets)
    {
        const FetchOutcome outcome = check(key);
        EXPECT_FALSE(outcome.failed) << outcome.error;
        EXPECT_EQ(outcome.ids, ids);
        EXPECT_EQ(this->offsets(), offsets);
    }

    Offsets offsets() const
    {
        Offsets out;
        for (const auto& request : market.requests()) {
            // Redirect targets are not pages asked for.
            if (request.path == "/search") {
                out.push_back(request.offset);
            }
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

TEST_F(FetchItemsTest, idsOverPagesInOrderOfFirstAppearance)
{
    auto items = TestMarket::makeItems(90);
    // Listings move while the pages are read: page 2 repeats two of page 1.
    items[41] = {items[3].id, "moved"};
    items[45] = {items[39].id, "moved too"};
    market.setItems("camera", items);
    std::string ids;
    std::string titles;
    std::set<std::string> seen;
    for (const auto& item : items) {
        if (seen.insert(item.id).second) {
            ids += (ids.empty() ? "" : ",") + item.id;
            titles += item.title + "^";
        }
    }
    // Page 4 (offset 120) is past the last item and ends the loop.
    expectCheck("camera", ids, {0, 40, 80, 120});
    EXPECT_EQ(test::readFile(titlesFile), titles);

    // No items at all still rewrites the titles of the check before.
    expectCheck("nothing", "", {0});
    EXPECT_EQ(test::readFile(titlesFile), "");
}

TEST_F(FetchItemsTest, pageLoopEndsAfterEightPagesOrAtAPageWithoutMarkers)
{
    const auto items = TestMarket::makeItems(400);
    const Offsets eight = {0, 40, 80, 120, 160, 200, 240, 280};
    market.setItems("bike", items);
    expectCheck("bike", joinIds(items, 0, 320), eight);
    // The page file holds the check's last page, not its first.
    const std::string lastPage = test::readFile(pageFile);
    EXPECT_NE(lastPage.find(items[319].id), std::string::npos);
    EXPECT_EQ(lastPage.find(items[0].id), std::string::npos);
    market.setFault("bike", {.kind = Kind::NoMarkers, .offset = 40});
    expectCheck("bike", joinIds(items, 0, 40), {0, 40});
    // A cut page keeps its whole blocks and the loop goes on.
    market.setFault("bike", {.kind = Kind::Truncate, .offset = 0});
    expectCheck("bike", joinIds(items, 0, 39) + "," + joinIds(items, 40, 320), eight);
}

TEST_F(FetchItemsTest, schemeSwitchAndOneRandomNumberInRangeForEveryPage)
{
    const std::pair<std::string, std::string> rows[] = {
        {"http://s.example.com/search?q=a", "https://s.example.com/search?q=a"},
        {"https://s.example.com/search?q=a", "https://s.example.com/search?q=a"},
        {"http://www.example.com/search?q=a", "http://www.example.com/search?q=a"},
        {"http://s.example.com/r?u=http://s.example.com/x",
         "https://s.example.com/r?u=https://s.example.com/x"},
        {"", ""},
    };
    for (const auto& [url, prefix] : rows) {
        const std::string request = prepareRequestUrl(core, url);
        EXPECT_EQ(request.substr(0, prefix.size() + 5), prefix + "&vk1=");
        EXPECT_TRUE(std::regex_match(request.substr(prefix.size() + 5), std::regex("[0-9]{6}")))
            << request;
    }

    market.setItems("camera", TestMarket::makeItems(100));
    for (int run = 0; run < 3; ++run) {
        check("camera");
        const auto requests = market.requests();
        ASSERT_EQ(requests.size(), 4u);
        const std::string vk1 = queryValue(requests[0].query, "vk1");
        ASSERT_TRUE(std::regex_match(vk1, std::regex("[0-9]{6}"))) << vk1;
        EXPECT_GE(std::stoi(vk1), 100000);
        EXPECT_LE(std::stoi(vk1), 990000);
        for (const auto& request : requests) {
            EXPECT_EQ(queryValue(request.query, "vk1"), vk1);
            EXPECT_EQ(request.key, "camera");
            EXPECT_EQ(queryValue(request.query, "sort"), "new");
        }
    }
}

TEST_F(FetchItemsTest, pageTextIsRepairedBeforeParsing)
{
    market.setItems("camera", {{"1", "bad\xFF byte"}, {"2", "好"}});
    ignoreWords = "\xEF\xBF\xBD"; // what the bad byte turns into
    EXPECT_EQ(check("camera").ids, "2");
    EXPECT_EQ(test::readFile(titlesFile), "好^");
}

// A failed page after a good one: the check is reported failed, keeps the
// good page, and neither parses a stale page nor asks for more. A failed first
// page gives nothing at all.
TEST_F(FetchItemsTest, failedPageEndsCheckWithoutStalePage)
{
    const auto items = TestMarket::makeItems(120);
    market.setItems("camera", items);
    // What another watch's check left behind: a full page of other items.
    const std::string stale =
        test::renderResultPage(TestMarket::makeItems(40, 900000000001LL), 0, 40);
    for (const Kind kind : {Kind::Status, Kind::Drop, Kind::Stall, Kind::StallBody}) {
        for (const int at : {40, 0}) {
            SCOPED_TRACE(::testing::Message() << "fault " << int(kind) << " at offset " << at);
            test::writeFile(pageFile, stale);
            market.setFault("camera", {.kind = kind, .status = 500, .offset = at});
            const FetchOutcome outcome = check("camera");
            EXPECT_TRUE(outcome.failed);
            EXPECT_FALSE(outcome.error.empty());
            EXPECT_EQ(outcome.ids, joinIds(items, 0, std::size_t(at)));
            EXPECT_EQ(offsets(), (at == 0 ? Offsets{0} : Offsets{0, 40}));
            EXPECT_EQ(test::readFile(pageFile), "");
            if (at == 0) {
                EXPECT_EQ(test::readFile(titlesFile), "");
            }
        }
    }
}

// A later page that no page loop should take: the check keeps the first page
// and fails with the reason, or, for a page that is no result page, ends
// there without an item from it. Never an item from the hostile page.
TEST_F(FetchItemsTest, hostileLaterPageFailsOrEndsTheCheckWithoutAnItemFromIt)
{
    const auto items = TestMarket::makeItems(60);
    market.setItems("camera", items);
    SessionSettings settings;
    settings.stallTimeoutMs = 5000;
    settings.connectBackoffMs = 1;
    settings.maxPageBytes = 1 << 20;
    settings.pageDeadlineMs = 300;
    session = HttpSession::open(settings);
    ASSERT_NE(session, nullptr);
    const std::tuple<MarketFault, const char*> rows[] = {
        {{.kind = Kind::Endless}, "page larger than 1 MiB"},
        {{.kind = Kind::GzipBomb, .bytes = 1LL << 30}, "page larger than 1 MiB"},
        {{.kind = Kind::Drip, .stallMs = 20}, "page not complete after 300 ms"},
        {{.kind = Kind::Redirect, .target = "/loop"}, "redirect"},
        {{.kind = Kind::Redirect, .target = "file:///etc/hostname"}, "file"},
        {{.kind = Kind::Binary}, nullptr},
    };
    for (const auto& [fault, errorPart] : rows) {
        SCOPED_TRACE(::testing::Message() << "fault " << int(fault.kind));
        MarketFault atSecondPage = fault;
        atSecondPage.offset = 40;
        market.setFault("camera", atSecondPage);
        const FetchOutcome outcome = check("camera");
        EXPECT_EQ(outcome.ids, joinIds(items, 0, 40));
        EXPECT_EQ(offsets(), (Offsets{0, 40}));
        EXPECT_EQ(outcome.failed, errorPart != nullptr);
        if (errorPart) {
            EXPECT_NE(outcome.error.find(errorPart), std::string::npos) << outcome.error;
        }
    }
}

TEST_F(FetchItemsTest, itemsWithNulBytesInTheirIdAreDroppedAndTitlesKeepTheRest)
{
    const std::string nul(1, '\0');
    market.setItems("camera", {{"1", "a" + nul + "b"}, {"2" + nul + "3", "x"}, {"4", "c"}});
    EXPECT_EQ(check("camera").ids, "1,4");
    EXPECT_EQ(test::readFile(titlesFile), "a b^c^");
}

TEST_F(FetchItemsTest, unwritableTitlesFileFailsCheck)
{
    market.setItems("camera", TestMarket::makeItems(3));
    titlesFile = dir.file("no/such/dir/titles.txt");
    const FetchOutcome outcome = check("camera");
    EXPECT_TRUE(outcome.failed);
    EXPECT_NE(outcome.error.find("titles.txt"), std::string::npos) << outcome.error;
    EXPECT_EQ(outcome.ids, "") << "no id may be stored without its title";
}

} // namespace
} // namespace tw
