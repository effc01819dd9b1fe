#include "engine/httpsession.h"

#include "engine/pagefile.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <curl/curl.h>
#include <mutex>
#include <new>
#include <optional>
#include <tuple>
#include <vector>

namespace tw {

namespace {

using Clock = std::chrono::steady_clock;

// One poll of the multi handle waits at most this long, so that the stall
// limit is checked often even when curl has nothing to report.
constexpr int kPollMs = 50;
constexpr long kBufferBytes = 64 * 1024;

bool globalInit()
{
    static std::once_flag once;
    static bool ok = false;
    std::call_once(once, [] { ok = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
    return ok;
}

struct EasyDeleter
{
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct MultiDeleter
{
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
std::string byteCount(long long n)
{
    constexpr long long kKiB = 1024;
    constexpr long long kMiB = 1024 * kKiB;
    if (n > 0 && n % kMiB == 0) {
        return std::to_string(n / kMiB) + " MiB";
    }
    if (n > 0 && n % kKiB == 0) {
        return std::to_string(n / kKiB) + " KiB";
    }
    return std::to_string(n) + " bytes";
}

// "page larger than 16 MiB": why a page past maxPageBytes was refused.
std::string pageTooLargeReason(long long maxPageBytes)
{
    return "page larger than " + byteCount(maxPageBytes);
}

} // namespace

// One transfer and what it has seen so far. The sequential calls use one of
// them; the transfers in flight together each have their own.
struct HttpSession::Transfer
{
    explicit Transfer(Impl& owner) : impl(owner) {}

    Impl& impl;
    std::unique_ptr<CURL, EasyDeleter> easy;
    char errorBuffer[CURL_ERROR_SIZE] = {};

    // State of the transfer under way; touched only by the downloading thread.
    // The body lands in incoming; receive() swaps it with the caller's buffer,
    // so both keep their capacity from page to page.
    std::string incoming;
    std::string url;
    bool added = false;
    bool memoryFailed = false;
    std::string retryAfter;
    // Of the last transfer that got an answer; see lastAnswer().
    HttpAnswer answer;
    bool connected = false;
    bool stalled = false;
    bool overdue = false;
    bool tooLarge = false;
    long long received = 0;
    curl_off_t lastMoved = -1;
    Clock::time_point lastMove;
    Clock::time_point started;

    // Of a transfer in flight with others: the caller's tag, connect
    // attempts made, and when a failed connect is tried again.
    int tag = -1;
    int tries = 0;
    std::optional<Clock::time_point> retryAt;

    struct Attempt
    {
        Result<long> result = Failure{};
        bool connectFailed = false;
    };

    bool setUp();
    // Starts the transfer of url: the request goes out if the connection
    // allows it at once.
    void start();
    // Takes the handle off the multi handle, which cuts a running transfer.
    void detach();
    Attempt finish(CURLcode code);
    // True once the transfer must end: no data for too long, or past the deadline.
    bool checkLimits(Clock::time_point now);
    // Why the transfer was cut by abort() or one of our limits; "" if it was not.
    std::string cutReason() const;

    static size_t onWrite(char* data, size_t size, size_t count, void* self);
    static size_t onHeader(char* data, size_t size, size_t count, void* self);
    static int onProgress(void* self, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t ulnow);
    static int onConnected(void* self, char*, char*, int, int);
};

struct HttpSession::Impl
{
    SessionSettings settings;
    // The multi handle must outlive the easy handles it runs.
    std::unique_ptr<CURLM, MultiDeleter> multi;
    Transfer main{*this};
    // The transfers in flight together, and those free to be used again.
    std::vector<std::unique_ptr<Transfer>> transfers;
    std::vector<Transfer*> idle;

    std::atomic<bool> aborted{false};
    std::mutex waitMutex;
    std::condition_variable waitCv;

    // The page of a download() without a body of the caller's.
    std::string scratch;
    bool pending = false;

    // Runs main's started transfer to its end.
    Transfer::Attempt complete();
    void waitBackoff();
    Transfer* busyTransfer(CURL* easy);
    void endTransfer(Transfer& t, Result<long> result, std::vector<Finished>& done);
};

bool HttpSession::Transfer::setUp()
{
    easy.reset(curl_easy_init());
    if (!easy) {
        return false;
    }
    const SessionSettings& settings = impl.settings;
    CURL* h = easy.get();
    bool ok = true;
    const auto set = [&](CURLoption option, auto value) {
        ok = ok && curl_easy_setopt(h, option, value) == CURLE_OK;
    };
    // Signals are not ours to take: the window owns SIGTERM and friends.
    set(CURLOPT_NOSIGNAL, 1L);
    set(CURLOPT_ERRORBUFFER, errorBuffer);
    set(CURLOPT_USERAGENT,
        settings.userAgent.empty() ? "Tidewatch/" TIDEWATCH_VERSION : settings.userAgent.c_str());
    if (!settings.cookieFile.empty()) {
        // Never CURLOPT_COOKIEJAR: the user's file must stay as exported.
        set(CURLOPT_COOKIEFILE, settings.cookieFile.c_str());
    }
    if (!settings.proxy.empty()) {
        set(CURLOPT_PROXY, settings.proxy.c_str());
    }
    if (!settings.caFile.empty()) {
        set(CURLOPT_CAINFO, settings.caFile.c_str());
    }
    set(CURLOPT_CONNECTTIMEOUT_MS, settings.connectTimeoutMs);
    set(CURLOPT_FOLLOWLOCATION, 1L);
    set(CURLOPT_MAXREDIRS, settings.maxRedirects);
    // A page is a web page: never let a redirect reach a local file or the like.
    set(CURLOPT_PROTOCOLS_STR, "http,https");
    set(CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    set(CURLOPT_ACCEPT_ENCODING, "");
    // A result page is over 100 KB: a larger buffer takes it in a few reads
    // instead of one per 16 KB.
    set(CURLOPT_BUFFERSIZE, kBufferBytes);
    // No CURLOPT_FAILONERROR: it ends the transfer at the status line, before
    // a Retry-After header arrives. Error bodies are dropped in onWrite.
    // Fails at once when the length is announced; onWrite counts the rest.
    if (settings.maxPageBytes > 0) {
        set(CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(settings.maxPageBytes));
    }
    set(CURLOPT_WRITEFUNCTION, &Transfer::onWrite);
    set(CURLOPT_WRITEDATA, this);
    set(CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
    set(CURLOPT_HEADERDATA, this);
    set(CURLOPT_NOPROGRESS, 0L);
    set(CURLOPT_XFERINFOFUNCTION, &Transfer::onProgress);
    set(CURLOPT_XFERINFODATA, this);
    set(CURLOPT_PREREQFUNCTION, &Transfer::onConnected);
    set(CURLOPT_PREREQDATA, this);
    return ok;
}

size_t HttpSession::Transfer::onWrite(char* data, size_t size, size_t count, void* self)
{
    auto* impl = static_cast<Transfer*>(self);
    const size_t bytes = size * count;
    long status = 0;
    curl_easy_getinfo(impl->easy.get(), CURLINFO_RESPONSE_CODE, &status);
    if (status >= 400) {
        impl->lastMove = Clock::now();
        return bytes; // an error page is never a page
    }
    // Decoded bytes: a small compressed body may expand without end.
    const long long cap = impl->impl.settings.maxPageBytes;
    if (cap > 0 && static_cast<unsigned long long>(bytes) >
                       static_cast<unsigned long long>(cap - impl->received)) {
        impl->tooLarge = true;
        return 0;
    }
    impl->received += static_cast<long long>(bytes);
    // No exception may cross curl's C frames.
    try {
        impl->incoming.append(data, bytes);
    } catch (const std::bad_alloc&) {
        impl->memoryFailed = true;
        return 0;
    }
    impl->lastMove = Clock::now();
    return bytes;
}

size_t HttpSession::Transfer::onHeader(char* data, size_t size, size_t count, void* self)
{
    auto* impl = static_cast<Transfer*>(self);
    const size_t bytes = size * count;
    std::string_view line(data, bytes);
    // Each answer of a redirect chain starts with its status line.
    if (line.starts_with("HTTP/")) {
        impl->retryAfter.clear();
        return bytes;
    }
    constexpr std::string_view name = "retry-after:";
    if (line.size() > name.size() &&
        std::equal(name.begin(), name.end(), line.begin(), [](char a, char b) {
            return a == std::tolower(static_cast<unsigned char>(b));
        })) {
        line.remove_prefix(name.size());
        const std::size_t b = line.find_first_not_of(" \t\r\n");
        const std::size_t e = line.find_last_not_of(" \t\r\n");
        impl->retryAfter =
            b == std::string_view::npos ? std::string() : std::string(line.substr(b, e - b + 1));
    }
    return bytes;
}

int HttpSession::Transfer::onConnected(void* self, char*, char*, int, int)
{
    auto* impl = static_cast<Transfer*>(self);
    // The stall clock starts once a connection stands; before that the
    // connect time-out rules, so that a slow connect can still be retried.
    impl->connected = true;
    impl->lastMove = Clock::now();
    return CURL_PREREQFUNC_OK;
}

int HttpSession::Transfer::onProgress(void* self, curl_off_t, curl_off_t dlnow, curl_off_t,
                                      curl_off_t ulnow)
{
    auto* impl = static_cast<Transfer*>(self);
    const Clock::time_point now = Clock::now();
    if (dlnow + ulnow != impl->lastMoved) {
        impl->lastMoved = dlnow + ulnow;
        impl->lastMove = now;
    }
    return impl->impl.aborted.load() || impl->checkLimits(now) ? 1 : 0;
}

bool HttpSession::Transfer::checkLimits(Clock::time_point now)
{
    if (connected && impl.settings.stallTimeoutMs > 0 &&
        now - lastMove > std::chrono::milliseconds(impl.settings.stallTimeoutMs)) {
        stalled = true;
    }
    // The stall limit alone lets a server that sends a byte now and then
    // hold the run for ever.
    if (impl.settings.pageDeadlineMs > 0 &&
        now - started > std::chrono::milliseconds(impl.settings.pageDeadlineMs)) {
        overdue = true;
    }
    return stalled || overdue;
}

std::string HttpSession::Transfer::cutReason() const
{
    if (impl.aborted.load()) {
        return "download aborted";
    }
    if (tooLarge) {
        return pageTooLargeReason(impl.settings.maxPageBytes);
    }
    if (stalled) {
        return "no data for " + std::to_string(impl.settings.stallTimeoutMs) + " ms";
    }
    if (overdue) {
        return "page not complete after " + std::to_string(impl.settings.pageDeadlineMs) + " ms";
    }
    return {};
}

void HttpSession::Transfer::start()
{
    incoming.clear();
    memoryFailed = false;
    connected = false;
    stalled = false;
    overdue = false;
    tooLarge = false;
    received = 0;
    lastMoved = -1;
    started = Clock::now();
    lastMove = started;
    errorBuffer[0] = '\0';
    retryAfter.clear();

    CURL* h = easy.get();
    added = curl_easy_setopt(h, CURLOPT_URL, url.c_str()) == CURLE_OK &&
            curl_multi_add_handle(impl.multi.get(), h) == CURLM_OK;
    if (added) {
        // Sends the request now, so that the server works on it while the
        // caller does other work; complete() reads the answer.
        int running = 0;
        curl_multi_perform(impl.multi.get(), &running);
    }
}

void HttpSession::Transfer::detach()
{
    if (added) {
        curl_multi_remove_handle(impl.multi.get(), easy.get());
        added = false;
    }
}

HttpSession::Transfer::Attempt HttpSession::Impl::complete()
{
    Transfer::Attempt attempt;
    main.answer = {};
    if (!main.added) {
        attempt.result = Failure{"cannot start the download of " + main.url};
        return attempt;
    }
    CURL* h = main.easy.get();
    std::optional<CURLcode> done;
    bool interrupted = false;
    while (!done) {
        int queued = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi.get(), &queued)) {
            if (msg->msg == CURLMSG_DONE && msg->easy_handle == h) {
                done = msg->data.result;
            }
        }
        if (done) {
            break;
        }
        if (aborted.load() || main.checkLimits(Clock::now())) {
            interrupted = true;
            break;
        }
        curl_multi_poll(multi.get(), nullptr, 0, kPollMs, nullptr);
        int running = 0;
        if (curl_multi_perform(multi.get(), &running) != CURLM_OK) {
            interrupted = true;
            break;
        }
    }
    main.detach();

    if (interrupted || !done) {
        std::string reason = main.cutReason();
        attempt.result = Failure{reason.empty() ? "download interrupted" : std::move(reason)};
        return attempt;
    }
    return main.finish(*done);
}

HttpSession::Transfer::Attempt HttpSession::Transfer::finish(CURLcode code)
{
    Attempt attempt;
    long status = 0;
    curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &status);
    answer.status = status;
    const char* finalUrl = nullptr;
    if (curl_easy_getinfo(easy.get(), CURLINFO_EFFECTIVE_URL, &finalUrl) == CURLE_OK && finalUrl) {
        answer.finalUrl = finalUrl;
    }
    curl_easy_getinfo(easy.get(), CURLINFO_REDIRECT_COUNT, &answer.redirectCount);
    answer.retryAfter = retryAfter;
    if (code == CURLE_OK && status < 400) {
        attempt.result = status;
        return attempt;
    }
    if (std::string reason = cutReason(); !reason.empty()) {
        attempt.result = Failure{std::move(reason)};
    } else if (code == CURLE_HTTP_RETURNED_ERROR || status >= 400) {
        // Before the size: an error page is dropped unread, so its status
        // is the news even when its announced length was too large.
        attempt.result = Failure{"HTTP " + std::to_string(status)};
    } else if (code == CURLE_FILESIZE_EXCEEDED) {
        attempt.result = Failure{pageTooLargeReason(impl.settings.maxPageBytes)};
    } else if (code == CURLE_WRITE_ERROR && memoryFailed) {
        attempt.result = Failure{"not enough memory for the page"};
    } else {
        attempt.result = Failure{errorBuffer[0] != '\0' ? errorBuffer : curl_easy_strerror(code)};
    }
    attempt.connectFailed =
        code == CURLE_COULDNT_CONNECT || (code == CURLE_OPERATION_TIMEDOUT && !connected);
    return attempt;
}

void HttpSession::Impl::waitBackoff()
{
    std::unique_lock lock(waitMutex);
    waitCv.wait_for(lock, std::chrono::milliseconds(settings.connectBackoffMs),
                    [&] { return aborted.load(); });
}

HttpSession::Transfer* HttpSession::Impl::busyTransfer(CURL* easy)
{
    for (const auto& t : transfers) {
        if (t->added && t->easy.get() == easy) {
            return t.get();
        }
    }
    return nullptr;
}

void HttpSession::Impl::endTransfer(Transfer& t, Result<long> result, std::vector<Finished>& done)
{
    t.detach();
    t.retryAt.reset();
    Finished finished{t.tag, std::move(result), t.answer, {}};
    if (finished.result.ok()) {
        finished.body.swap(t.incoming);
    }
    t.incoming.clear();
    t.tag = -1;
    idle.push_back(&t);
    done.push_back(std::move(finished));
}

std::unique_ptr<HttpSession> HttpSession::open(const SessionSettings& settings)
{
    if (!globalInit()) {
        return nullptr;
    }
    auto impl = std::make_unique<Impl>();
    impl->settings = settings;
    impl->multi.reset(curl_multi_init());
    if (!impl->multi || !impl->main.setUp()) {
        return nullptr;
    }
    return std::unique_ptr<HttpSession>(new HttpSession(std::move(impl)));
}

HttpSession::HttpSession(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}

HttpSession::~HttpSession()
{
    // The easy handles leave the multi handle before either is cleaned up.
    cancelTransfers();
    m_impl->main.detach();
}

void HttpSession::request(const std::string& url)
{
    Impl& impl = *m_impl;
    impl.main.detach();
    impl.main.url = url;
    impl.pending = true;
    if (!impl.aborted.load()) {
        impl.main.start();
    }
}

Result<long> HttpSession::receive(std::string& body)
{
    Impl& impl = *m_impl;
    Transfer& main = impl.main;
    body.clear();
    if (!impl.pending) {
        return Failure{"no request made"};
    }
    impl.pending = false;
    Transfer::Attempt attempt;
    for (int tries = 0;; ++tries) {
        if (impl.aborted.load()) {
            main.detach();
            main.answer = {};
            attempt = {};
            attempt.result = Failure{"download aborted"};
            break;
        }
        attempt = impl.complete();
        if (attempt.result.ok() || !attempt.connectFailed ||
            tries >= impl.settings.connectRetries) {
            break;
        }
        // The back-off ends early on abort(); the loop head then reports it.
        impl.waitBackoff();
        if (!impl.aborted.load()) {
            main.start();
        }
    }
    if (attempt.result.ok()) {
        body.swap(main.incoming);
    }
    main.incoming.clear();
    return attempt.result;
}

void HttpSession::cancel()
{
    m_impl->main.detach();
    m_impl->pending = false;
}

Result<long> HttpSession::download(const std::string& url, const std::string& path,
                                   std::string* body)
{
    std::string& page = body ? *body : m_impl->scratch;
    request(url);
    Result<long> result = receive(page);
    // A failed download must not leave an earlier page behind.
    if (Result<void> written = writePageFile(path, page); !written) {
        page.clear();
        std::ignore = writePageFile(path, {});
        return result.ok() ? Result<long>(Failure{written.error()}) : result;
    }
    return result;
}

void HttpSession::startTransfer(const std::string& url, int tag)
{
    Impl& impl = *m_impl;
    Transfer* t = nullptr;
    if (!impl.idle.empty()) {
        t = impl.idle.back();
        impl.idle.pop_back();
    } else {
        auto made = std::make_unique<Transfer>(impl);
        if (!made->setUp()) {
            made->easy.reset();
        }
        t = made.get();
        impl.transfers.push_back(std::move(made));
    }
    if (t->easy) {
        // Over TLS, wait for a connection that may carry several transfers
        // (HTTP/2, told by ALPN) rather than open one more. Plain http is
        // HTTP/1.1: waiting there would hold every transfer behind the
        // first answer.
        const bool tls = url.starts_with("https://") || url.starts_with("HTTPS://");
        curl_easy_setopt(t->easy.get(), CURLOPT_PIPEWAIT, tls ? 1L : 0L);
    }
    t->tag = tag;
    t->url = url;
    t->tries = 0;
    t->retryAt.reset();
    t->answer = {};
    t->added = false;
    if (t->easy && !impl.aborted.load()) {
        t->start();
    }
    if (!t->added) {
        // Reported by the next waitAny().
        t->retryAt = Clock::time_point::min();
        t->tries = impl.settings.connectRetries + 1;
    }
}

void HttpSession::waitAny(std::vector<Finished>& done, std::chrono::milliseconds wait)
{
    Impl& impl = *m_impl;
    const Clock::time_point until = Clock::now() + wait;
    const std::size_t before = done.size();
    for (;;) {
        int queued = 0;
        while (CURLMsg* msg = curl_multi_info_read(impl.multi.get(), &queued)) {
            Transfer* t = msg->msg == CURLMSG_DONE ? impl.busyTransfer(msg->easy_handle) : nullptr;
            if (t == nullptr) {
                continue;
            }
            t->detach();
            Transfer::Attempt attempt = t->finish(msg->data.result);
            if (!attempt.result.ok() && attempt.connectFailed &&
                t->tries < impl.settings.connectRetries && !impl.aborted.load()) {
                ++t->tries;
                t->retryAt =
                    Clock::now() + std::chrono::milliseconds(impl.settings.connectBackoffMs);
                continue;
            }
            impl.endTransfer(*t, std::move(attempt.result), done);
        }
        const Clock::time_point now = Clock::now();
        Clock::time_point next = until;
        for (const auto& owned : impl.transfers) {
            Transfer& t = *owned;
            if (t.tag < 0) {
                continue;
            }
            if (impl.aborted.load() || (t.added && t.checkLimits(now))) {
                std::string reason = t.cutReason();
                impl.endTransfer(t, Failure{reason.empty() ? "download interrupted" : reason},
                                 done);
            } else if (!t.added && t.retryAt && *t.retryAt <= now) {
                if (t.tries > impl.settings.connectRetries) {
                    impl.endTransfer(t, Failure{"cannot start the download of " + t.url}, done);
                    continue;
                }
                t.retryAt.reset();
                t.start();
                if (!t.added) {
                    impl.endTransfer(t, Failure{"cannot start the download of " + t.url}, done);
                }
            } else if (!t.added && t.retryAt) {
                next = std::min(next, *t.retryAt);
            }
        }
        if (done.size() > before || impl.aborted.load() || now >= until) {
            return;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next - now);
        const int pollMs = static_cast<int>(std::clamp<long long>(left.count(), 0, kPollMs));
        curl_multi_poll(impl.multi.get(), nullptr, 0, pollMs, nullptr);
        int running = 0;
        curl_multi_perform(impl.multi.get(), &running);
    }
}

void HttpSession::cancelTransfers()
{
    std::vector<Finished> dropped;
    for (const auto& t : m_impl->transfers) {
        if (t->tag >= 0) {
            m_impl->endTransfer(*t, Failure{"cancelled"}, dropped);
        }
    }
}

void HttpSession::setMaxHostConnections(long n)
{
    curl_multi_setopt(m_impl->multi.get(), CURLMOPT_MAX_HOST_CONNECTIONS, n);
}

void HttpSession::releaseBuffers()
{
    std::string().swap(m_impl->main.incoming);
    std::string().swap(m_impl->scratch);
    for (const auto& t : m_impl->transfers) {
        std::string().swap(t->incoming);
    }
}

const HttpAnswer& HttpSession::lastAnswer() const
{
    return m_impl->main.answer;
}

void HttpSession::abort()
{
    {
        std::lock_guard lock(m_impl->waitMutex);
        m_impl->aborted.store(true);
    }
    m_impl->waitCv.notify_all();
    curl_multi_wakeup(m_impl->multi.get());
}

} // namespace tw
