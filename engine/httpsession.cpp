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

struct HttpSession::Impl
{
    SessionSettings settings;
    // The multi handle must outlive the easy handle it runs.
    std::unique_ptr<CURLM, MultiDeleter> multi;
    std::unique_ptr<CURL, EasyDeleter> easy;
    char errorBuffer[CURL_ERROR_SIZE] = {};

    std::atomic<bool> aborted{false};
    std::mutex waitMutex;
    std::condition_variable waitCv;

    // State of the transfer under way; touched only by the downloading thread.
    // The body lands in incoming; receive() swaps it with the caller's buffer,
    // so both keep their capacity from page to page.
    std::string incoming;
    // The page of a download() without a body of the caller's.
    std::string scratch;
    std::string url;
    bool pending = false;
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

    struct Attempt
    {
        Result<long> result = Failure{};
        bool connectFailed = false;
    };

    bool setUp();
    // Starts the transfer of url: the request goes out if the connection
    // allows it at once.
    void start();
    // Runs the started transfer to its end.
    Attempt complete();
    // Takes the handle off the multi handle, which cuts a running transfer.
    void detach();
    Attempt finish(CURLcode code);
    // True once the transfer must end: no data for too long, or past the deadline.
    bool checkLimits(Clock::time_point now);
    // Why the transfer was cut by abort() or one of our limits; "" if it was not.
    std::string cutReason() const;
    void waitBackoff();

    static size_t onWrite(char* data, size_t size, size_t count, void* self);
    static size_t onHeader(char* data, size_t size, size_t count, void* self);
    static int onProgress(void* self, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t ulnow);
    static int onConnected(void* self, char*, char*, int, int);
};

bool HttpSession::Impl::setUp()
{
    multi.reset(curl_multi_init());
    easy.reset(curl_easy_init());
    if (!multi || !easy) {
        return false;
    }
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
    set(CURLOPT_WRITEFUNCTION, &Impl::onWrite);
    set(CURLOPT_WRITEDATA, this);
    set(CURLOPT_HEADERFUNCTION, &Impl::onHeader);
    set(CURLOPT_HEADERDATA, this);
    set(CURLOPT_NOPROGRESS, 0L);
    set(CURLOPT_XFERINFOFUNCTION, &Impl::onProgress);
    set(CURLOPT_XFERINFODATA, this);
    set(CURLOPT_PREREQFUNCTION, &Impl::onConnected);
    set(CURLOPT_PREREQDATA, this);
    return ok;
}

size_t HttpSession::Impl::onWrite(char* data, size_t size, size_t count, void* self)
{
    auto* impl = static_cast<Impl*>(self);
    const size_t bytes = size * count;
    long status = 0;
    curl_easy_getinfo(impl->easy.get(), CURLINFO_RESPONSE_CODE, &status);
    if (status >= 400) {
        impl->lastMove = Clock::now();
        return bytes; // an error page is never a page
    }
    // Decoded bytes: a small compressed body may expand without end.
    const long long cap = impl->settings.maxPageBytes;
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

size_t HttpSession::Impl::onHeader(char* data, size_t size, size_t count, void* self)
{
    auto* impl = static_cast<Impl*>(self);
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

int HttpSession::Impl::onConnected(void* self, char*, char*, int, int)
{
    auto* impl = static_cast<Impl*>(self);
    // The stall clock starts once a connection stands; before that the
    // connect time-out rules, so that a slow connect can still be retried.
    impl->connected = true;
    impl->lastMove = Clock::now();
    return CURL_PREREQFUNC_OK;
}

int HttpSession::Impl::onProgress(void* self, curl_off_t, curl_off_t dlnow, curl_off_t,
                                  curl_off_t ulnow)
{
    auto* impl = static_cast<Impl*>(self);
    const Clock::time_point now = Clock::now();
    if (dlnow + ulnow != impl->lastMoved) {
        impl->lastMoved = dlnow + ulnow;
        impl->lastMove = now;
    }
    return impl->aborted.load() || impl->checkLimits(now) ? 1 : 0;
}

bool HttpSession::Impl::checkLimits(Clock::time_point now)
{
    if (connected && settings.stallTimeoutMs > 0 &&
        now - lastMove > std::chrono::milliseconds(settings.stallTimeoutMs)) {
        stalled = true;
    }
    // The stall limit alone lets a server that sends a byte now and then
    // hold the run for ever.
    if (settings.pageDeadlineMs > 0 &&
        now - started > std::chrono::milliseconds(settings.pageDeadlineMs)) {
        overdue = true;
    }
    return stalled || overdue;
}

std::string HttpSession::Impl::cutReason() const
{
    if (aborted.load()) {
        return "download aborted";
    }
    if (tooLarge) {
        return pageTooLargeReason(settings.maxPageBytes);
    }
    if (stalled) {
        return "no data for " + std::to_string(settings.stallTimeoutMs) + " ms";
    }
    if (overdue) {
        return "page not complete after " + std::to_string(settings.pageDeadlineMs) + " ms";
    }
    return {};
}

void HttpSession::Impl::start()
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
            curl_multi_add_handle(multi.get(), h) == CURLM_OK;
    if (added) {
        // Sends the request now, so that the server works on it while the
        // caller does other work; complete() reads the answer.
        int running = 0;
        curl_multi_perform(multi.get(), &running);
    }
}

void HttpSession::Impl::detach()
{
    if (added) {
        curl_multi_remove_handle(multi.get(), easy.get());
        added = false;
    }
}

HttpSession::Impl::Attempt HttpSession::Impl::complete()
{
    Attempt attempt;
    answer = {};
    if (!added) {
        attempt.result = Failure{"cannot start the download of " + url};
        return attempt;
    }
    CURL* h = easy.get();
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
        if (aborted.load() || checkLimits(Clock::now())) {
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
    detach();

    if (interrupted || !done) {
        std::string reason = cutReason();
        attempt.result = Failure{reason.empty() ? "download interrupted" : std::move(reason)};
        return attempt;
    }
    return finish(*done);
}

HttpSession::Impl::Attempt HttpSession::Impl::finish(CURLcode code)
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
        attempt.result = Failure{pageTooLargeReason(settings.maxPageBytes)};
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

std::unique_ptr<HttpSession> HttpSession::open(const SessionSettings& settings)
{
    if (!globalInit()) {
        return nullptr;
    }
    auto impl = std::make_unique<Impl>();
    impl->settings = settings;
    if (!impl->setUp()) {
        return nullptr;
    }
    return std::unique_ptr<HttpSession>(new HttpSession(std::move(impl)));
}

HttpSession::HttpSession(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}

HttpSession::~HttpSession() = default;

void HttpSession::request(const std::string& url)
{
    Impl& impl = *m_impl;
    impl.detach();
    impl.url = url;
    impl.pending = true;
    if (!impl.aborted.load()) {
        impl.start();
    }
}

Result<long> HttpSession::receive(std::string& body)
{
    Impl& impl = *m_impl;
    body.clear();
    if (!impl.pending) {
        return Failure{"no request made"};
    }
    impl.pending = false;
    Impl::Attempt attempt;
    for (int tries = 0;; ++tries) {
        if (impl.aborted.load()) {
            impl.detach();
            impl.answer = {};
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
            impl.start();
        }
    }
    if (attempt.result.ok()) {
        body.swap(impl.incoming);
    }
    impl.incoming.clear();
    return attempt.result;
}

void HttpSession::cancel()
{
    m_impl->detach();
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

void HttpSession::releaseBuffers()
{
    std::string().swap(m_impl->incoming);
    std::string().swap(m_impl->scratch);
}

const HttpAnswer& HttpSession::lastAnswer() const
{
    return m_impl->answer;
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
