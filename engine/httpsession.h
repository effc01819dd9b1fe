#pragma once

#include "core/result.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace tw {

// How the session talks to the marketplace. Tests shorten the times.
struct SessionSettings
{
    long connectTimeoutMs = 5000;
    // A transfer that moves no byte for this long once connected fails; 0: no limit.
    long stallTimeoutMs = 5000;
    int connectRetries = 1;
    long connectBackoffMs = 1000;
    long maxRedirects = 5;
    // A page whose decoded body grows past this fails; 0: no limit.
    long long maxPageBytes = 16LL * 1024 * 1024;
    // A whole page must arrive within this time from its request; 0: no limit.
    long pageDeadlineMs = 60000;
    // A Netscape cookies.txt read at open; "" for none. Cookies the server
    // sets are kept in memory only: the user's file is never written.
    std::string cookieFile;
    // "" for the program's own "Tidewatch/<version>".
    std::string userAgent;
    // http://, https:// or socks5:// proxy; "" leaves libcurl's environment
    // variables in charge.
    std::string proxy;
    // Certificates to verify servers with instead of the system's; "" for
    // the system's. The benchmarks hand their own server's certificate here:
    // verification itself is never turned off.
    std::string caFile;
};

// What the last answer said besides its body.
struct HttpAnswer
{
    // 0 when no answer came.
    long status = 0;
    // Where the redirects, if any, ended.
    std::string finalUrl;
    long redirectCount = 0;
    // The Retry-After header of the last answer, as sent; "" without one.
    std::string retryAfter;
};

// The worker's internet session: one reused curl easy handle, so that
// connections are kept alive from page to page. Move-only; one thread uses it
// at a time, but abort() may be called from any thread.
class HttpSession
{
public:
    // nullptr when curl cannot be set up.
    static std::unique_ptr<HttpSession> open(const SessionSettings& settings = {});
    ~HttpSession();
    HttpSession(const HttpSession&) = delete;
    HttpSession& operator=(const HttpSession&) = delete;

    // Sends the request for url and returns without waiting for the answer,
    // so that the server works on it while the caller handles the page
    // before; receive() takes the answer. A request not received yet is
    // dropped.
    void request(const std::string& url);
    // Waits for the answer to the last request() and gives its HTTP status,
    // its body in body (whose capacity is kept for the next page, never more
    // than the cap). A status of 400 or more, a transport error, a page past
    // the size cap or the deadline, or an abort is a failure with its reason,
    // and then body is empty. Writes no file.
    Result<long> receive(std::string& body);
    // Drops a request not received yet; its connection is closed.
    void cancel();

    // request() and receive(), then the body replaces the content of path:
    // after a failure path is left empty, so that no earlier page can be
    // mistaken for this one. With body, the page is left there too.
    Result<long> download(const std::string& url, const std::string& path,
                          std::string* body = nullptr);

    // Transfers in flight together on the session's connections, for
    // several watches checked at once. Each keeps the rules of receive(): the
    // status, size, deadline, stall and redirect limits and the retry of a
    // failed connect. Not mixed with a request() under way.
    struct Finished
    {
        int tag = -1;
        Result<long> result = Failure{};
        HttpAnswer answer;
        // The page; empty after a failure.
        std::string body;
    };
    // Starts the download of url; its end comes out of waitAny() with tag.
    void startTransfer(const std::string& url, int tag);
    // Moves the transfers on until at least one ended, `wait` passed or
    // abort() was called (then every one ends, as aborted). Appends what
    // ended to done.
    void waitAny(std::vector<Finished>& done, std::chrono::milliseconds wait);
    // Ends every started transfer not yet out of waitAny(), unreported.
    void cancelTransfers();
    // At most n connections to one host (0: no limit). Transfers wait for a
    // connection that multiplexes (HTTP/2) rather than opening another.
    void setMaxHostConnections(long n);
    // Gives back the memory of the page buffers the session keeps.
    void releaseBuffers();

    // Status, final URL and Retry-After of the last download's answer, also
    // of a failed one; empty when it got none.
    const HttpAnswer& lastAnswer() const;

    // Makes the running download and every later one fail at once (close-down).
    void abort();

private:
    struct Impl;
    struct Transfer;
    explicit HttpSession(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m_impl;
};

} // namespace tw
