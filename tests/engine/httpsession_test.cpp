#include "engine/httpsession.h"
#include "tests/support/tempdir.h"
#include "tools/testmarket/testmarket.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <span>
#include <thread>
#include <tuple>

namespace tw {
namespace {

using test::MarketFault;
using test::MarketItem;
using test::TestMarket;
using Kind = MarketFault::Kind;

constexpr const char* kStale = "an earlier page that must not survive";

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

    std::unique_ptr<HttpSession> openSession(long stallMs = 5000, long backoffMs = 1)
    {
        SessionSettings settings;
        settings.stallTimeoutMs = stallMs;
        settings.connectBackoffMs = backoffMs;
        return openSession(settings);
    }

    std::unique_ptr<HttpSession> openSession(const SessionSettings& settings)
    {
        auto session = HttpSession::open(settings);
        EXPECT_NE(session, nullptr);
        return session;
    }

    // Downloads url on another thread and aborts once the market has seen
    // waitFor requests.
    Result<long> abortDownload(HttpSession& session, const std::string& url, std::size_t waitFor)
    {
        Result<long> result = Failure{};
        std::thread worker([&] { result = session.download(url, pageFile); });
        market.waitForRequests(waitFor, std::chrono::seconds(30));
        session.abort();
        worker.join();
        return result;
    }

    std::string page() const { return test::readFile(pageFile); }

    // A download that must fail saying errorPart and leave the file and the
    // in-memory copy empty, so that no earlier page can pass for this one.
    void expectFailure(HttpSession& session, const std::string& url, const char* errorPart = "")
    {
        SCOPED_TRACE(url);
        test::writeFile(pageFile, kStale);
        std::string body = kStale;
        const Result<long> result = session.download(url, pageFile, &body);
        EXPECT_FALSE(result.ok());
        EXPECT_FALSE(result.error().empty());
        EXPECT_NE(result.error().find(errorPart), std::string::npos) << result.error();
        EXPECT_EQ(page(), "");
        EXPECT_EQ(body, "");
    }

    test::TempDir dir;
    std::string pageFile = dir.file("_tmpChunked.txt");
    TestMarket market;
};

TEST_F(HttpSessionTest, downloadsPlainPagesAndFollowsRedirectsButNotForever)
{
    const std::vector<MarketItem> items = market.items("camera");
    // The server compresses; the file holds the plain page.
    const auto served = [&](int offset) {
        return test::renderResultPage(std::span(items).subspan(offset, offset ? 10 : 40), offset,
                                      50);
    };
    auto session = openSession();
    // One buffer for both pages, as the page loop reuses it: the shorter
    // second page must not keep the first one's tail.
    std::string body = kStale;
    for (int offset : {0, 40}) {
        const std::string url = market.searchUrl("camera") + "&s=" + std::to_string(offset);
        const Result<long> result = session->download(url, pageFile, &body);
        ASSERT_TRUE(result.ok()) << result.error();
        EXPECT_EQ(result.value(), 200);
        EXPECT_EQ(page(), served(offset));
        EXPECT_EQ(body, served(offset));
    }
    EXPECT_EQ(market.requests().at(0).userAgent, "Tidewatch/" TIDEWATCH_VERSION);

    ASSERT_TRUE(session->download(market.baseUrl() + "/go?q=camera&s=0", pageFile).ok());
    EXPECT_EQ(page(), served(0));
    expectFailure(*session, market.baseUrl() + "/loop");
}

TEST_F(HttpSessionTest, failuresEmptyTheFileAndSayWhy)
{
    const std::tuple<MarketFault, long, const char*> rows[] = {
        {{Kind::Status, 500}, 5000, "HTTP 500"},
        {{Kind::Status, 404}, 5000, "HTTP 404"},
        {{Kind::Drop}, 5000, ""},
        {{Kind::Stall}, 200, "no data for 200 ms"},
        {{Kind::StallBody}, 200, "no data for 200 ms"},
    };
    for (const auto& [fault, stallMs, errorPart] : rows) {
        market.setFault("camera", fault);
        expectFailure(*openSession(stallMs), market.searchUrl("camera"), errorPart);
    }

    market.clearFaults();
    const Result<long> result =
        openSession()->download(market.searchUrl("camera"), dir.file("missing/dir/page.txt"));
    EXPECT_FALSE(result.ok());
    EXPECT_NE(result.error().find("cannot write"), std::string::npos) << result.error();

    const std::string url = market.searchUrl("camera");
    market.stop(); // nothing listens on the port now
    expectFailure(*openSession(), url);
}

// What a hostile or broken server may send: each ends soon with a reason and
// leaves the file empty, never holding more than the cap meanwhile.
TEST_F(HttpSessionTest, hostileAnswersEndWithAReasonWithinTheCapAndTheDeadline)
{
    constexpr long long kCap = 64 * 1024;
    const std::string local = dir.file("local.txt");
    test::writeFile(local, "a local file, not a page");
    // A page of one item, a few KB: well below the cap.
    market.setItems("one", TestMarket::makeItems(1));
    const std::string self = market.searchUrl("one");
    const std::tuple<MarketFault, const char*> rows[] = {
        {{.kind = Kind::Endless}, "page larger than 64 KiB"},
        // 1 GiB of zeros in about 1 MiB of gzip.
        {{.kind = Kind::GzipBomb, .bytes = 1LL << 30}, "page larger than 64 KiB"},
        {{.kind = Kind::Binary, .bytes = kCap + 1}, "page larger than 64 KiB"},
        // A byte every 20 ms keeps the stall limit quiet for ever.
        {{.kind = Kind::Drip, .stallMs = 20}, "page not complete after 300 ms"},
        {{.kind = Kind::Redirect, .target = self}, "redirect"},
        {{.kind = Kind::Redirect, .target = "file://" + local}, "file"},
        {{.kind = Kind::Redirect, .target = "ftp://127.0.0.1:1/x"}, "ftp"},
    };
    SessionSettings settings;
    settings.maxPageBytes = kCap;
    settings.pageDeadlineMs = 300;
    auto session = openSession(settings);
    for (const auto& [fault, errorPart] : rows) {
        SCOPED_TRACE(::testing::Message() << "fault " << int(fault.kind));
        market.setFault("one", fault);
        expectFailure(*session, self, errorPart);
    }

    market.setFault("one", {.kind = Kind::Binary, .bytes = kCap});
    ASSERT_TRUE(session->download(self, pageFile).ok());
    EXPECT_EQ(std::filesystem::file_size(pageFile), std::uintmax_t(kCap));
}

TEST_F(HttpSessionTest, abortEndsAStalledTransferLaterOnesAndTheConnectBackOff)
{
    market.setFault("camera", {Kind::Stall});
    // Without abort() this would wait for the long stall limit; the test
    // time-out would catch that.
    auto session = openSession(600000);
    const std::string url = market.searchUrl("camera");
    EXPECT_EQ(abortDownload(*session, url, 1).error(), "download aborted");
    EXPECT_EQ(page(), "");
    market.clearFaults();
    expectFailure(*session, url, "download aborted");

    market.stop();
    auto retrying = openSession(5000, 600000);
    EXPECT_EQ(abortDownload(*retrying, url, 0).error(), "download aborted");
}

TEST_F(HttpSessionTest, refusalsKeepTheirStatusAndRetryAfterAndRedirectsTheirEnd)
{
    auto session = openSession();
    const std::string url = market.searchUrl("camera");
    const std::tuple<MarketFault, long, const char*> rows[] = {
        {{.kind = Kind::Status, .status = 429, .retryAfter = "120"}, 429, "120"},
        {{.kind = Kind::Status, .status = 503, .retryAfter = "Wed, 21 Oct 2026 07:28:00 GMT"},
         503,
         "Wed, 21 Oct 2026 07:28:00 GMT"},
        {{.kind = Kind::Status, .status = 429}, 429, ""},
        {{.kind = Kind::Status, .status = 403}, 403, ""},
    };
    for (const auto& [fault, status, retryAfter] : rows) {
        market.setFault("camera", fault);
        test::writeFile(pageFile, kStale);
        EXPECT_FALSE(session->download(url, pageFile).ok());
        EXPECT_EQ(session->lastAnswer().status, status);
        EXPECT_EQ(session->lastAnswer().retryAfter, retryAfter);
        EXPECT_EQ(page(), "") << "an error page is never taken for a page";
    }
    market.clearFaults();
    EXPECT_TRUE(session->download(url, pageFile).ok());
    EXPECT_EQ(session->lastAnswer().retryAfter, "") << "nothing is carried over";
    EXPECT_EQ(session->lastAnswer().redirectCount, 0);
    EXPECT_EQ(session->lastAnswer().finalUrl, url);

    market.setFault("camera", {.kind = Kind::Login});
    std::ignore = session->download(url, pageFile);
    EXPECT_EQ(session->lastAnswer().redirectCount, 1);
    EXPECT_EQ(session->lastAnswer().finalUrl, market.loginUrl() + "?from=search");
    EXPECT_EQ(market.requests().back().host, "localhost:" + std::to_string(market.port()));
}

// Cookies of the user's file go out, cookies the server sets are kept for the
// session, and the file is never written.
TEST_F(HttpSessionTest, cookieFileIsSentAndNeverWrittenAndTheUserAgentIsOurs)
{
    const std::string cookies = "# Netscape HTTP Cookie File\n"
                                "127.0.0.1\tFALSE\t/\tFALSE\t0\tlogin\tyes\n";
    const std::string cookieFile = dir.file("cookies.txt");
    test::writeFile(cookieFile, cookies);
    market.requireCookie("login=yes");
    market.setSessionCookie("visit=1");

    SessionSettings settings;
    const std::string url = market.searchUrl("camera");
    {
        auto session = HttpSession::open(settings);
        std::ignore = session->download(url, pageFile);
        EXPECT_EQ(session->lastAnswer().redirectCount, 1)
            << "without the cookie the search sends us to log in";
    }

    settings.cookieFile = cookieFile;
    settings.userAgent = "Mozilla/5.0 (X11; Linux x86_64) Test/1.0";
    {
        auto session = HttpSession::open(settings);
        for (int i = 0; i < 2; ++i) {
            const Result<long> result = session->download(url, pageFile);
            EXPECT_TRUE(result.ok()) << result.error();
            EXPECT_EQ(session->lastAnswer().redirectCount, 0);
        }
    }
    const auto requests = market.requests();
    ASSERT_GE(requests.size(), 3u);
    EXPECT_EQ(requests.back().userAgent, settings.userAgent);
    EXPECT_EQ(requests[requests.size() - 2].cookie, "login=yes");
    EXPECT_NE(requests.back().cookie.find("visit=1"), std::string::npos) << requests.back().cookie;
    EXPECT_EQ(test::readFile(cookieFile), cookies);
}

TEST_F(HttpSessionTest, proxyCarriesTheRequest)
{
    // The market plays the proxy: the request reaches it in absolute form,
    // for a port where nothing listens.
    setenv("no_proxy", "", 1);
    SessionSettings settings;
    settings.proxy = market.baseUrl();
    const std::string unreachable = "http://127.0.0.1:1/search?q=camera";
    std::ignore = HttpSession::open(settings)->download(unreachable, pageFile);
    ASSERT_EQ(market.requestCount(), 1u);
    EXPECT_EQ(market.requests().front().path, unreachable.substr(0, unreachable.find('?')));
}

} // namespace
} // namespace tw
