#include "engine/sessioncheck.h"

#include "core/runsettings.h"
#include "engine/httpsession.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <curl/curl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <system_error>

namespace tw {

namespace {

struct UrlDeleter
{
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
struct CurlFree
{
    void operator()(char* text) const { curl_free(text); }
};

std::string lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// Part of an absolute URL; "" when url is not one or lacks that part.
std::string urlPart(std::string_view url, CURLUPart part)
{
    std::unique_ptr<CURLU, UrlDeleter> handle(curl_url());
    if (!handle || curl_url_set(handle.get(), CURLUPART_URL, std::string(url).c_str(),
                                CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
        return {};
    }
    char* raw = nullptr;
    if (curl_url_get(handle.get(), part, &raw, 0) != CURLUE_OK || !raw) {
        return {};
    }
    const std::unique_ptr<char, CurlFree> owned(raw);
    return raw;
}

bool hasControl(std::string_view s)
{
    return std::any_of(s.begin(), s.end(), [](unsigned char c) { return c < 0x20 || c == 0x7F; });
}

std::string cookieFileProblem(const std::string& path)
{
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        return "Cookie 文件无法读取：" + path + "（这是一个文件夹）";
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return "Cookie 文件无法读取：" + path + "（" + std::strerror(errno) + "）";
    }
    char byte = 0;
    in.read(&byte, 1);
    if (in.bad()) {
        return "Cookie 文件无法读取：" + path;
    }
    return {};
}

std::string proxyProblem(const std::string& proxy)
{
    const std::string scheme = lower(urlPart(proxy, CURLUPART_SCHEME));
    // curl_url takes "host:port" alone as http; the scheme must be written.
    const bool written = lower(proxy).starts_with(scheme + "://");
    const bool known = scheme == "http" || scheme == "https" || scheme == "socks5";
    if (scheme.empty() || !written || !known || urlPart(proxy, CURLUPART_HOST).empty() ||
        hasControl(proxy) || proxy.find(' ') != std::string::npos) {
        return "代理地址无效：" + proxy + "（应为 http://、https:// 或 socks5:// 开头的网址）";
    }
    return {};
}

} // namespace

std::string urlHost(std::string_view url)
{
    return lower(urlPart(url, CURLUPART_HOST));
}

SessionSettings requestSession(SessionSettings base, const RunSettings& run,
                               const std::string& appDir)
{
    base.cookieFile = run.cookieFile;
    if (base.cookieFile.starts_with("~/") && std::getenv("HOME")) {
        base.cookieFile = std::getenv("HOME") + base.cookieFile.substr(1);
    } else if (!base.cookieFile.empty() && base.cookieFile.front() != '/') {
        base.cookieFile = appDir + base.cookieFile;
    }
    base.userAgent = run.userAgent;
    base.proxy = run.proxy;
    return base;
}

std::string sessionSettingsProblem(const SessionSettings& settings)
{
    if (!settings.cookieFile.empty()) {
        if (std::string problem = cookieFileProblem(settings.cookieFile); !problem.empty()) {
            return problem;
        }
    }
    if (!settings.proxy.empty()) {
        if (std::string problem = proxyProblem(settings.proxy); !problem.empty()) {
            return problem;
        }
    }
    if (hasControl(settings.userAgent)) {
        // A line break would smuggle headers of its own into every request.
        return "User-Agent 设置无效：不能含有换行或控制字符";
    }
    return {};
}

} // namespace tw
