#include "engine/httpsession.h"
#include "engine/sessioncheck.h"
#include "tests/support/tempdir.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <string>

namespace tw {
namespace {

TEST(SessionCheck, urlHostIsTheLowerCaseHostAlone)
{
    const struct
    {
        const char* url;
        const char* host;
    } cases[] = {
        {"http://127.0.0.1:8765/search?q=1", "127.0.0.1"},
        {"https://S.Example.COM/search", "s.example.com"},
        {"http://user:pw@login.example.com:8080/x", "login.example.com"},
        {"http://localhost/login", "localhost"},
        {"/relative/path", ""},
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(urlHost(c.url), c.host) << c.url;
    }
}

TEST(SessionCheck, aRunStartsOnlyWithAReadableCookieFileAndAUsableProxy)
{
    test::TempDir dir;
    test::writeFile(dir.file("cookies.txt"), "# Netscape HTTP Cookie File\n");
    std::filesystem::create_directory(dir.file("folder"));
    const struct
    {
        std::string cookieFile;
        std::string proxy;
        std::string userAgent;
        const char* problem; // part of the message, "" for none
    } cases[] = {
        {"", "", "", ""},
        {dir.file("cookies.txt"), "", "Mozilla/5.0", ""},
        {dir.file("missing.txt"), "", "", "Cookie 文件无法读取"},
        {dir.file("folder"), "", "", "Cookie 文件无法读取"},
        {"", "http://127.0.0.1:3128", "", ""},
        {"", "https://proxy.example.com", "", ""},
        {"", "socks5://127.0.0.1:1080", "", ""},
        {"", "SOCKS5://127.0.0.1:1080", "", ""},
        {"", "ftp://127.0.0.1:21", "", "代理地址无效"},
        {"", "127.0.0.1:3128", "", "代理地址无效"},
        {"", "http://", "", "代理地址无效"},
        {"", "http://bad host:1", "", "代理地址无效"},
        {"", "", "Agent\r\nX-Evil: 1", "User-Agent"},
    };
    for (const auto& c : cases) {
        SessionSettings settings;
        settings.cookieFile = c.cookieFile;
        settings.proxy = c.proxy;
        settings.userAgent = c.userAgent;
        const std::string problem = sessionSettingsProblem(settings);
        SCOPED_TRACE(c.cookieFile + " | " + c.proxy + " | " + problem);
        if (*c.problem == '\0') {
            EXPECT_EQ(problem, "");
        } else {
            EXPECT_NE(problem.find(c.problem), std::string::npos);
        }
    }
}

} // namespace
} // namespace tw
