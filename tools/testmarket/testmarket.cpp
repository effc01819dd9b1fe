#include "tools/testmarket/testmarket.h"

#include "core/text.h"
#include "tools/testmarket/hostilebody.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <httplib.h>

namespace tw::test {

struct TestMarket::Answer
{
    std::vector<MarketItem> items;
    int total = 0;
};

namespace {

int offsetOf(const httplib::Request& req)
{
    if (!req.has_param("s")) {
        return -1;
    }
    const std::string s = req.get_param_value("s");
    int value = -1;
    const auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    return ec == std::errc() && ptr == s.data() + s.size() ? value : -1;
}

bool faultMatches(const MarketFault& fault, int offset)
{
    return fault.kind != MarketFault::Kind::None && fault.times != 0 &&
           (fault.offset < 0 || fault.offset == offset);
}

} // namespace

TestMarket::TestMarket() = default;

TestMarket::~TestMarket()
{
    stop();
}

bool TestMarket::start(int port, const std::string& host)
{
    stop();
    {
        std::lock_guard lock(m_mutex);
        m_stopping = false;
    }
    m_server = std::make_unique<httplib::Server>();
    // An idle kept-alive connection holds a server thread this long, and
    // stop() waits for it.
    m_server->set_keep_alive_timeout(1);
    // A compressed answer goes out in several writes; without this, Nagle and
    // the client's delayed ACK hold each page back for about 40 ms.
    m_server->set_tcp_nodelay(true);
    setupRoutes();
    if (port == 0) {
        m_port = m_server->bind_to_any_port(host);
    } else {
        m_port = m_server->bind_to_port(host, port) ? port : -1;
    }
    if (m_port <= 0) {
        m_server.reset();
        m_port = 0;
        return false;
    }
    auto ended = std::make_shared<std::atomic<bool>>(false);
    m_thread = std::thread([server = m_server.get(), ended] {
        server->listen_after_bind();
        ended->store(true);
    });
    // stop() does nothing until the listening loop runs: without this wait a
    // quick stop could leave the thread listening for ever.
    while (!m_server->is_running() && !ended->load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (ended->load()) {
        m_thread.join();
        m_server.reset();
        m_port = 0;
        return false;
    }
    return true;
}

void TestMarket::stop()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    if (m_server) {
        m_server->stop();
    }
    if (m_thread.joinable()) {
        m_thread.join();
    }
    m_server.reset();
}

std::string TestMarket::baseUrl() const
{
    return "http://127.0.0.1:" + std::to_string(m_port);
}

std::string TestMarket::searchUrl(const std::string& key) const
{
    // The key follows "&q=", where the watch list reads a watch's search key.
    return baseUrl() + "/search?cat=1&q=" + text::percentEncode(key) + "&sort=new";
}

void TestMarket::setItems(const std::string& key, std::vector<MarketItem> items)
{
    std::lock_guard lock(m_mutex);
    m_items[key] = std::move(items);
}

void TestMarket::addItem(const std::string& key, MarketItem item)
{
    std::lock_guard lock(m_mutex);
    auto& list = m_items[key];
    list.insert(list.begin(), std::move(item));
}

void TestMarket::removeItem(const std::string& key, const std::string& id)
{
    std::lock_guard lock(m_mutex);
    auto& list = m_items[key];
    std::erase_if(list, [&](const MarketItem& item) { return item.id == id; });
}

std::vector<MarketItem> TestMarket::items(const std::string& key) const
{
    std::lock_guard lock(m_mutex);
    const auto it = m_items.find(key);
    return it == m_items.end() ? std::vector<MarketItem>{} : it->second;
}

std::vector<MarketItem> TestMarket::makeItems(int n, long long firstId,
                                              const std::string& titlePrefix)
{
    std::vector<MarketItem> items;
    items.reserve(static_cast<std::size_t>(std::max(n, 0)));
    for (int i = 0; i < n; ++i) {
        const std::string id = std::to_string(firstId + i);
        items.push_back({id, titlePrefix + " " + id});
    }
    return items;
}

void TestMarket::setFault(const std::string& key, MarketFault fault)
{
    std::lock_guard lock(m_mutex);
    m_keyFaults[key] = fault;
}

void TestMarket::setGlobalFault(MarketFault fault)
{
    std::lock_guard lock(m_mutex);
    m_globalFault = fault;
}

void TestMarket::requireCookie(std::string cookie)
{
    std::lock_guard lock(m_mutex);
    m_requiredCookie = std::move(cookie);
}

void TestMarket::setSessionCookie(std::string cookie)
{
    std::lock_guard lock(m_mutex);
    m_sessionCookie = std::move(cookie);
}

std::string TestMarket::loginUrl() const
{
    return "http://localhost:" + std::to_string(m_port) + "/login";
}

void TestMarket::clearFaults()
{
    std::lock_guard lock(m_mutex);
    m_keyFaults.clear();
    m_globalFault.reset();
}

std::vector<MarketRequest> TestMarket::requests() const
{
    std::lock_guard lock(m_mutex);
    return m_requests;
}

std::size_t TestMarket::requestCount() const
{
    std::lock_guard lock(m_mutex);
    return m_requests.size();
}

void TestMarket::clearRequests()
{
    std::lock_guard lock(m_mutex);
    m_requests.clear();
}

bool TestMarket::waitForRequests(std::size_t n, std::chrono::milliseconds limit) const
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, limit, [&] { return m_requests.size() >= n; });
}

void TestMarket::record(MarketRequest request)
{
    {
        std::lock_guard lock(m_mutex);
        m_requests.push_back(std::move(request));
    }
    m_changed.notify_all();
}

void TestMarket::setBeforeAnswer(std::function<void(const std::string&, int)> hook)
{
    std::lock_guard lock(m_mutex);
    m_beforeAnswer = std::move(hook);
}

std::optional<MarketFault> TestMarket::takeFault(const std::string& key, int offset)
{
    std::lock_guard lock(m_mutex);
    MarketFault* fault = nullptr;
    if (const auto it = m_keyFaults.find(key);
        it != m_keyFaults.end() && faultMatches(it->second, offset)) {
        fault = &it->second;
    } else if (m_globalFault && faultMatches(*m_globalFault, offset)) {
        fault = &*m_globalFault;
    }
    if (!fault) {
        return std::nullopt;
    }
    const MarketFault taken = *fault;
    if (fault->times > 0) {
        --fault->times;
    }
    return taken;
}

TestMarket::Answer TestMarket::answerSearch(const std::string& key, int offset)
{
    std::lock_guard lock(m_mutex);
    Answer answer;
    const auto it = m_items.find(key);
    if (it == m_items.end()) {
        return answer;
    }
    const auto& all = it->second;
    answer.total = static_cast<int>(all.size());
    const std::size_t from = static_cast<std::size_t>(std::max(offset, 0));
    if (from < all.size()) {
        const std::size_t to = std::min(all.size(), from + kPageSize);
        answer.items.assign(all.begin() + static_cast<std::ptrdiff_t>(from),
                            all.begin() + static_cast<std::ptrdiff_t>(to));
    }
    return answer;
}

bool TestMarket::sleepUnlessStopped(int ms)
{
    std::unique_lock lock(m_mutex);
    const auto stopping = [&] { return m_stopping; };
    if (ms <= 0) {
        m_changed.wait(lock, stopping);
        return false;
    }
    return !m_changed.wait_for(lock, std::chrono::milliseconds(ms), stopping);
}

bool TestMarket::stopping() const
{
    std::lock_guard lock(m_mutex);
    return m_stopping;
}

void TestMarket::answerHostile(const MarketFault& fault, httplib::Response& res)
{
    using Kind = MarketFault::Kind;
    if (fault.kind == Kind::Endless) {
        auto filler = std::make_shared<std::string>(16 * 1024, 'x');
        // Until the client hangs up or the market stops.
        res.set_chunked_content_provider(
            "text/html; charset=utf-8", [this, filler](std::size_t, httplib::DataSink& sink) {
                return !stopping() && sink.write(filler->data(), filler->size());
            });
        return;
    }
    if (fault.kind == Kind::GzipBomb) {
        const auto bomb = gzipZeros(fault.bytes > 0 ? fault.bytes : 1LL << 30);
        res.set_header("Content-Encoding", "gzip");
        // A provider with a length: the library sends it as it is, never
        // compressing it a second time.
        res.set_content_provider(
            bomb->size(), "text/html; charset=utf-8",
            [bomb](std::size_t at, std::size_t length, httplib::DataSink& sink) {
                return sink.write(bomb->data() + at, std::min(length, bomb->size() - at));
            });
        return;
    }
    res.set_content(binaryGarbage(fault.bytes > 0 ? static_cast<std::size_t>(fault.bytes) : 65536),
                    "text/html; charset=utf-8");
}

void TestMarket::setupRoutes()
{
    m_server->set_pre_routing_handler([this](const httplib::Request& req, httplib::Response&) {
        MarketRequest request;
        request.path = req.path;
        const std::size_t mark = req.target.find('?');
        request.query = mark == std::string::npos ? std::string() : req.target.substr(mark + 1);
        request.key = req.get_param_value("q");
        request.offset = offsetOf(req);
        request.userAgent = req.get_header_value("User-Agent");
        request.host = req.get_header_value("Host");
        request.cookie = req.get_header_value("Cookie");
        record(std::move(request));
        // The library compresses with brotli at its slowest setting (half a
        // second a page); gzip still exercises the client's decoding.
        auto& headers = const_cast<httplib::Request&>(req).headers;
        if (const auto it = headers.find("Accept-Encoding"); it != headers.end()) {
            it->second = it->second.find("gzip") != std::string::npos ? "gzip" : "";
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });

    m_server->Get("/search", [this](const httplib::Request& req, httplib::Response& res) {
        const std::string key = req.get_param_value("q");
        const int offset = std::max(offsetOf(req), 0);
        std::function<void(const std::string&, int)> beforeAnswer;
        {
            std::lock_guard lock(m_mutex);
            beforeAnswer = m_beforeAnswer;
        }
        if (beforeAnswer) {
            beforeAnswer(key, offset);
        }
        const std::optional<MarketFault> fault = takeFault(key, offset);
        using Kind = MarketFault::Kind;
        const Kind kind = fault ? fault->kind : Kind::None;

        std::string requiredCookie;
        std::string sessionCookie;
        {
            std::lock_guard lock(m_mutex);
            requiredCookie = m_requiredCookie;
            sessionCookie = m_sessionCookie;
        }
        const std::string cookies = "; " + req.get_header_value("Cookie") + ";";
        if (kind == Kind::Login ||
            (!requiredCookie.empty() &&
             cookies.find("; " + requiredCookie + ";") == std::string::npos)) {
            res.set_redirect(loginUrl() + "?from=search");
            return;
        }
        if (!sessionCookie.empty()) {
            res.set_header("Set-Cookie", sessionCookie + "; Path=/");
        }
        if (kind == Kind::Status) {
            res.status = fault->status;
            if (!fault->retryAfter.empty()) {
                res.set_header("Retry-After", fault->retryAfter);
            }
            res.set_content("<html><body>error " + std::to_string(fault->status) + "</body></html>",
                            "text/html; charset=utf-8");
            return;
        }
        if (kind == Kind::Redirect) {
            res.set_redirect(fault->target);
            return;
        }
        if (kind == Kind::Endless || kind == Kind::GzipBomb || kind == Kind::Binary) {
            answerHostile(*fault, res);
            return;
        }
        if (kind == Kind::Stall && !sleepUnlessStopped(fault->stallMs)) {
            res.status = 503;
            return;
        }
        Answer answer = kind == Kind::NoMarkers ? Answer{} : answerSearch(key, offset);
        auto page =
            std::make_shared<std::string>(renderResultPage(answer.items, offset, answer.total));
        if (kind == Kind::Truncate) {
            *page = truncateResultPage(*page);
        }
        const std::size_t half = page->size() / 2;
        if (kind == Kind::Drop) {
            res.set_content_provider(
                page->size(), "text/html; charset=utf-8",
                [page, half](std::size_t at, std::size_t, httplib::DataSink& sink) {
                    if (at == 0) {
                        return sink.write(page->data(), half);
                    }
                    return false; // closes the connection mid-body
                });
            return;
        }
        if (kind == Kind::StallBody) {
            const int stallMs = fault->stallMs;
            res.set_content_provider(
                page->size(), "text/html; charset=utf-8",
                [this, page, half, stallMs](std::size_t at, std::size_t, httplib::DataSink& sink) {
                    if (at == 0) {
                        return sink.write(page->data(), half);
                    }
                    if (!sleepUnlessStopped(stallMs)) {
                        return false;
                    }
                    return sink.write(page->data() + at, page->size() - at);
                });
            return;
        }
        if (kind == Kind::Drip) {
            const int gapMs = fault->stallMs;
            res.set_content_provider(
                page->size(), "text/html; charset=utf-8",
                [this, page, gapMs](std::size_t at, std::size_t, httplib::DataSink& sink) {
                    return (gapMs <= 0 || sleepUnlessStopped(gapMs)) &&
                           sink.write(page->data() + at, 1);
                });
            return;
        }
        res.set_content(*page, "text/html; charset=utf-8");
    });

    m_server->Get("/go", [](const httplib::Request& req, httplib::Response& res) {
        const std::size_t mark = req.target.find('?');
        res.set_redirect("/search" +
                         (mark == std::string::npos ? std::string() : req.target.substr(mark)));
    });
    m_server->Get("/loop", [](const httplib::Request&, httplib::Response& res) {
        res.set_redirect("/loop");
    });
    m_server->Get("/login", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("<html><head><meta charset=\"utf-8\"><title>登录</title></head>"
                        "<body><form method=\"post\">请先登录</form></body></html>",
                        "text/html; charset=utf-8");
    });

    m_server->Get("/item.htm", [](const httplib::Request& req, httplib::Response& res) {
        const std::string id = req.get_param_value("id");
        const bool digits = !id.empty() && std::all_of(id.begin(), id.end(),
                                                       [](char c) { return c >= '0' && c <= '9'; });
        if (!digits) {
            res.status = 404;
            return;
        }
        res.set_content("<html><head><meta charset=\"utf-8\"><title>商品 " + id +
                            "</title></head><body><h1>商品 " + id + "</h1></body></html>",
                        "text/html; charset=utf-8");
    });
}

} // namespace tw::test
