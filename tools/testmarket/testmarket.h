#pragma once

#include "tools/testmarket/resultpage.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
struct Response;
}

namespace tw::test {

// Something going wrong on purpose, for one search key or for every request.
struct MarketFault
{
    enum class Kind {
        None,
        Status,    // answer with `status` (and retryAfter) and a short error page
        Drop,      // send the headers and half the page, then close the connection
        Stall,     // wait stallMs (0: until stop) before answering at all
        StallBody, // send half the page, then wait like Stall, then the rest
        Truncate,  // a complete 200 answer whose page is cut inside an item block
        NoMarkers, // a 200 page without any item block
        Endless,   // a chunked 200 body that never ends
        Drip,      // the page one byte at a time, stallMs apart
        GzipBomb,  // a small gzip body (Content-Encoding: gzip) that decodes to `bytes` zeros
        Binary,    // a 200 body of `bytes` pseudo-random bytes, many of them NUL
        Redirect,  // a 302 to `target`
        Login,     // a 302 to loginUrl(), the login page under another host name
    };
    Kind kind = Kind::None;
    int status = 500;
    int stallMs = 0;
    // Only for requests with this "s" offset; -1 for every page.
    int offset = -1;
    // How many matching requests it spoils before it goes away; -1: until cleared.
    int times = -1;
    // GzipBomb: decoded size (0: 1 GiB); Binary: body size (0: 64 KiB).
    long long bytes = 0;
    // Redirect: the Location sent.
    std::string target;
    // Sent as Retry-After with a Status fault when not empty.
    std::string retryAfter;
};

struct MarketRequest
{
    std::string path;
    // Everything after "?", as sent.
    std::string query;
    std::string key; // the decoded "q"
    int offset = -1; // the "s" offset, -1 without one
    std::string userAgent;
    std::string host;   // the Host header: which name the client used
    std::string cookie; // the Cookie header, "" without one
};

// A local marketplace on 127.0.0.1 serving search-result pages of 40 items at
// offsets "&s=0", "&s=40", ..., from a scenario that a test may change at any
// time from any thread. Every request is recorded. Besides /search it serves
// /item.htm?id=..., /go?... (a redirect to /search with the same query) and
// /loop (a redirect to itself) and /login (a login page without results).
class TestMarket
{
public:
    static constexpr int kPageSize = 40;

    TestMarket();
    // Stops the server; never hangs, also while a stalled answer is waiting.
    ~TestMarket();
    TestMarket(const TestMarket&) = delete;
    TestMarket& operator=(const TestMarket&) = delete;

    // Listens on host:port (0: an ephemeral port) and returns once requests
    // are served. False when the port could not be bound.
    bool start(int port = 0, const std::string& host = "127.0.0.1");
    // Wakes stalled answers and waits for the server thread.
    void stop();
    int port() const { return m_port; }
    std::string baseUrl() const;
    // http://127.0.0.1:<port>/search?cat=1&q=<key, percent-encoded>&sort=new
    std::string searchUrl(const std::string& key) const;

    // Items of one search key, newest first, as the result pages list them.
    void setItems(const std::string& key, std::vector<MarketItem> items);
    // A new listing: put in front, as a search sorted by newest shows it.
    void addItem(const std::string& key, MarketItem item);
    void removeItem(const std::string& key, const std::string& id);
    std::vector<MarketItem> items(const std::string& key) const;
    // n items with ids first, first+1, ... and titles "<prefix> <id>".
    static std::vector<MarketItem> makeItems(int n, long long firstId = 600000000001LL,
                                             const std::string& titlePrefix = "商品");

    void setFault(const std::string& key, MarketFault fault);
    // Called on a server thread before each /search request is answered,
    // with the key and offset; it may wait there (a slow page). Empty: none.
    void setBeforeAnswer(std::function<void(const std::string& key, int offset)> hook);
    void setGlobalFault(MarketFault fault);
    void clearFaults();

    // From now on /search answers only requests whose Cookie header holds
    // cookie ("name=value"); others get a 302 to loginUrl(). "" lifts it.
    void requireCookie(std::string cookie);
    // Sent as Set-Cookie with every result page, "" for none.
    void setSessionCookie(std::string cookie);
    // The login page under another host name of this machine, as a
    // marketplace sends a search it will not answer to its login site.
    std::string loginUrl() const;

    std::vector<MarketRequest> requests() const;
    std::size_t requestCount() const;
    void clearRequests();
    // Waits until at least n requests have come in, at most `limit`.
    bool waitForRequests(std::size_t n, std::chrono::milliseconds limit) const;

private:
    struct Answer;
    Answer answerSearch(const std::string& key, int offset);
    std::optional<MarketFault> takeFault(const std::string& key, int offset);
    void record(MarketRequest request);
    // False when stop() interrupted the wait.
    bool sleepUnlessStopped(int ms);
    bool stopping() const;
    // The Endless, GzipBomb and Binary answers.
    void answerHostile(const MarketFault& fault, httplib::Response& res);
    void setupRoutes();

    std::unique_ptr<httplib::Server> m_server;
    std::thread m_thread;
    int m_port = 0;

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    bool m_stopping = false;
    std::map<std::string, std::vector<MarketItem>> m_items;
    std::map<std::string, MarketFault> m_keyFaults;
    std::optional<MarketFault> m_globalFault;
    std::function<void(const std::string&, int)> m_beforeAnswer;
    std::string m_requiredCookie;
    std::string m_sessionCookie;
    std::vector<MarketRequest> m_requests;
};

} // namespace tw::test
