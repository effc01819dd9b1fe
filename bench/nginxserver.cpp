#include "bench/nginxserver.h"

#include "tools/testmarket/resultpage.h"
#include "tools/testmarket/testmarket.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <span>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace tw::bench {

namespace {

// A port that was free a moment ago; nginx may still lose it to another
// program, so the caller retries.
int freeLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    int port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
        port = ntohs(addr.sin_port);
    }
    if (fd >= 0) {
        ::close(fd);
    }
    return port;
}

bool accepts(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    if (fd >= 0) {
        ::close(fd);
    }
    return ok;
}

} // namespace

NginxServer::~NginxServer()
{
    stop();
}

bool NginxServer::start(const std::string& prefix, const std::string& tryFiles)
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        m_port = freeLoopbackPort();
        m_tlsPort = m_certFile.empty() ? 0 : freeLoopbackPort();
        if (m_port != 0 && (m_certFile.empty() || m_tlsPort != 0) && launch(prefix, tryFiles)) {
            return true;
        }
    }
    return false;
}

std::string NginxServer::makeBenchDir(const std::string& name)
{
    const char* base = std::getenv("TIDEWATCH_BENCH_DIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/" + name + "-XXXXXX";
    if (!mkdtemp(templ.data())) {
        return {};
    }
    // mkdtemp makes it private to its owner.
    ::chmod(templ.c_str(), 0711);
    return templ + "/";
}

void NginxServer::enableTls(const std::string& certFile, const std::string& keyFile)
{
    m_certFile = certFile;
    m_keyFile = keyFile;
}

void NginxServer::stop()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGQUIT);
        ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
}

bool NginxServer::launch(const std::string& prefix, const std::string& tryFiles)
{
    const std::string conf = prefix + "nginx.conf";
    std::ofstream out(conf, std::ios::trunc);
    out << "worker_processes 1;\n"
        << "error_log " << prefix << "error.log;\n"
        << "pid " << prefix << "nginx.pid;\n"
        << "events { worker_connections 256; }\n"
        << "http {\n"
        << "  access_log off;\n"
        << "  default_type text/html;\n"
        << "  keepalive_requests 1000000;\n"
        // A benchmark may leave a connection idle for minutes between passes.
        << "  keepalive_timeout 1h;\n"
        << "  client_body_temp_path " << prefix << "tmp/body;\n"
        << "  proxy_temp_path " << prefix << "tmp/proxy;\n"
        << "  fastcgi_temp_path " << prefix << "tmp/fastcgi;\n"
        << "  uwsgi_temp_path " << prefix << "tmp/uwsgi;\n"
        << "  scgi_temp_path " << prefix << "tmp/scgi;\n"
        << "  server {\n"
        << "    listen 127.0.0.1:" << m_port << ";\n"
        << "    root " << prefix << "html;\n"
        << "    location = /search { try_files " << tryFiles << " =404; }\n"
        << "  }\n";
    if (!m_certFile.empty()) {
        out << "  server {\n"
            << "    listen 127.0.0.1:" << m_tlsPort << " ssl http2;\n"
            << "    ssl_certificate " << m_certFile << ";\n"
            << "    ssl_certificate_key " << m_keyFile << ";\n"
            << "    root " << prefix << "html;\n"
            << "    location = /search { try_files " << tryFiles << " =404; }\n"
            << "  }\n";
    }
    out << "}\n";
    out.close();
    std::filesystem::create_directories(prefix + "tmp");

    const std::string errorLog = prefix + "error.log";
    std::vector<std::string> args = {"nginx", "-p", prefix, "-e", errorLog, "-c", conf,
                                     "-g", "daemon off;"};
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, "nginx", nullptr, nullptr, argv.data(), environ) != 0 &&
        // Debian keeps it in /usr/sbin, which a plain user's PATH may lack.
        posix_spawn(&pid, "/usr/sbin/nginx", nullptr, nullptr, argv.data(), environ) != 0) {
        return false;
    }
    for (int waited = 0; waited < 500; ++waited) {
        if (::waitpid(pid, nullptr, WNOHANG) == pid) {
            return false; // the port was taken after all, or a bad set-up
        }
        if (accepts(m_port) && (m_tlsPort == 0 || accepts(m_tlsPort))) {
            m_pid = pid;
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return false;
}

std::size_t NginxServer::writeSearchPages(const std::string& htmlDir, int watches, int pages)
{
    using test::TestMarket;
    constexpr int kPageSize = TestMarket::kPageSize;
    std::filesystem::create_directories(htmlDir);
    std::size_t bytes = 0;
    for (int w = 0; w < watches; ++w) {
        const std::vector<test::MarketItem> items =
            TestMarket::makeItems(pages * kPageSize, 700000000001LL + 1000LL * w);
        for (int page = 0; page < pages; ++page) {
            const int offset = page * kPageSize;
            const std::string body = test::renderResultPage(
                std::span(items).subspan(offset, kPageSize), offset, int(items.size()));
            bytes += body.size();
            std::ofstream(htmlDir + "/key" + std::to_string(w) + "_" + std::to_string(offset) +
                              ".html",
                          std::ios::binary)
                << body;
        }
    }
    return bytes;
}

} // namespace tw::bench
