#include "engine/httpsession.h"
#include "support/tempdir.h"
#include "testmarket/testmarket.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <thread>

namespace tw {
namespace {

using test::MarketFault;
using test::TestMarket;
using Kind = MarketFault::Kind;

constexpr const char* kStale = "an earlier page that must not survive";

std::size_t countMarkers(const std::string& text)
{
    std::size_t n = 0;
    for (std::size_t at = text.find("{\"p4pTags"); at != std::string::npos;
         at = text.find("{\"p4pTags", at + 1)) {
        ++n;
    }
    return n;
}

class HttpSessionTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // A proxy in the environment must not see loopback requests.
        setenv("no_proxy", "127.0.0.1,localhost", 1);
        market.setItems("camera", TestMarket::makeItems(50));
        ASSERT_TRUE(market.start());
        test::writeFile(pageFile, kStale);
    }

    std::unique_ptr<HttpSession> openSession(long stallMs = 5000)
    {
        SessionSettings settings;
        settings.stallTimeoutMs = stallMs;
        settings.connectBackoffMs = 1;
        auto session = HttpSession::open(settings);
        EXPECT_NE(session, nullptr);
        return session;
    }

    std::string page() const { return test::readFile(pageFile); }

    test::TempDir dir;
    std::string pageFile = dir.file("_tmpChunked.txt");
    TestMarket market;
};

TEST_F(HttpSessionTest, DownloadsPageAndReusesHandle)
{
    auto session = openSession();
    for (int offset : {0, 40}) {
        const std::string url = market.searchUrl("camera") + "&s=" + std::to_string(offset);
        const DownloadResult result = session->download(url, pageFile);
        ASSERT_TRUE(result.ok) << result.error;
        EXPECT_EQ(result.httpStatus, 200);
        EXPECT_TRUE(result.error.empty());
        // The server compresses; the file holds the plain page.
        EXPECT_EQ(countMarkers(page()), offset == 0 ? 40u : 10u);
    }
    const auto requests = market.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].userAgent, "Tidewatch/" TIDEWATCH_VERSION);
}

TEST_F(HttpSessionTest, FollowsRedirectsButNotForever)
{
    auto session = openSession();
    const std::string query = "?q=camera&s=0";
    DownloadResult result = session->download(market.baseUrl() + "/go" + query, pageFile);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(countMarkers(page()), 40u);

    test::writeFile(pageFile, kStale);
    result = session->download(market.baseUrl() + "/loop", pageFile);
    EXPECT_FALSE(result.ok);
    EXPECT_FALSE(result.error.empty());
    EXPECT_EQ(page(), "");
}

struct FailureCase
{
    const char* name;
    MarketFault fault;
    long stallMs;
    const char* errorPart;
};

void PrintTo(const FailureCase& c, std::ostream* os)
{
    *os << c.name;
}

class HttpSessionFailures : public HttpSessionTest,
                            public ::testing::WithParamInterface<FailureCase>
{
};

// Every failure leaves the file empty, so no earlier page can pass for this one.
TEST_P(HttpSessionFailures, FailsAndEmptiesFile)
{
    const FailureCase& c = GetParam();
    market.setFault("camera", c.fault);
    auto session = openSession(c.stallMs);
    const DownloadResult result = session->download(market.searchUrl("camera"), pageFile);
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.error.find(c.errorPart), std::string::npos) << result.error;
    EXPECT_EQ(page(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Faults, HttpSessionFailures,
    ::testing::Values(FailureCase{"Status500", {Kind::Status, 500}, 5000, "HTTP 500"},
                      FailureCase{"Status404", {Kind::Status, 404}, 5000, "HTTP 404"},
                      FailureCase{"DroppedMidBody", {Kind::Drop}, 5000, ""},
                      FailureCase{"StallBeforeAnswer", {Kind::Stall}, 200, "no data for 200 ms"},
                      FailureCase{"StallMidBody", {Kind::StallBody}, 200, "no data for 200 ms"}),
    [](const ::testing::TestParamInfo<FailureCase>& row) { return std::string(row.param.name); });

TEST_F(HttpSessionTest, RefusedConnectionFailsAfterRetry)
{
    const std::string url = market.searchUrl("camera");
    market.stop(); // nothing listens on the port now
    auto session = openSession();
    const DownloadResult result = session->download(url, pageFile);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.httpStatus, 0);
    EXPECT_FALSE(result.error.empty());
    EXPECT_EQ(page(), "");
}

TEST_F(HttpSessionTest, AbortEndsStalledTransferAndLaterOnes)
{
    market.setFault("camera", {Kind::Stall});
    // Without abort() this would wait for the long stall limit; the test
    // time-out would catch that.
    auto session = openSession(600000);
    DownloadResult result;
    std::thread worker([&] { result = session->download(market.searchUrl("camera"), pageFile); });
    market.waitForRequests(1, std::chrono::seconds(30));
    session->abort();
    worker.join();
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, "download aborted");
    EXPECT_EQ(page(), "");
    EXPECT_TRUE(session->aborted());

    market.clearFaults();
    test::writeFile(pageFile, kStale);
    const DownloadResult later = session->download(market.searchUrl("camera"), pageFile);
    EXPECT_FALSE(later.ok);
    EXPECT_EQ(page(), "");
}

TEST_F(HttpSessionTest, AbortWakesConnectBackOff)
{
    const std::string url = market.searchUrl("camera");
    market.stop();
    SessionSettings settings;
    settings.connectBackoffMs = 600000;
    auto session = HttpSession::open(settings);
    ASSERT_NE(session, nullptr);
    DownloadResult result;
    std::thread worker([&] { result = session->download(url, pageFile); });
    session->abort();
    worker.join();
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, "download aborted");
}

TEST_F(HttpSessionTest, UnwritableTargetIsReported)
{
    auto session = openSession();
    const DownloadResult result =
        session->download(market.searchUrl("camera"), dir.file("missing/dir/page.txt"));
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.error.find("cannot write"), std::string::npos) << result.error;
}

} // namespace
} // namespace tw
