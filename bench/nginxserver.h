#pragma once

#include <cstddef>
#include <string>
#include <sys/types.h>

namespace tw::bench {

// Debian's nginx (nginx-light) as a child process in the foreground, on an
// ephemeral 127.0.0.1 port, with its configuration, logs and temporary files
// inside its own prefix folder. Never the system service; no root needed.
class NginxServer
{
public:
    NginxServer() = default;
    // Stops the server.
    ~NginxServer();
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    // Serves prefix + "html/" (prefix ends in "/"). A request for /search is
    // answered with the file that tryFiles names, an nginx try_files pattern
    // such as "/${arg_q}_${arg_s}.html", so the worker's real request URLs
    // (with "&vk1=" and "&s=") hit it. False when nginx could not be started;
    // prefix + "error.log" then says why. Run by root, nginx serves as an
    // unprivileged user: every folder above the pages must let others pass
    // (see makeBenchDir).
    bool start(const std::string& prefix, const std::string& tryFiles);
    void stop();
    int port() const { return m_port; }

    // Before start(): the same pages also over HTTPS with HTTP/2 (ALPN) on
    // tlsPort(), with this certificate and key (PEM files).
    void enableTls(const std::string& certFile, const std::string& keyFile);
    int tlsPort() const { return m_tlsPort; }

    // The result pages of `watches` searches "key0", "key1"... of `pages`
    // full pages each, as "<htmlDir>/key<w>_<offset>.html" for the try_files
    // pattern "/${arg_q}_${arg_s}.html"; the bytes written.
    static std::size_t writeSearchPages(const std::string& htmlDir, int watches, int pages);

    // A new folder "<base>/<name>-XXXXXX/" under TIDEWATCH_BENCH_DIR (default
    // /tmp) that nginx's user may pass through; "" when it cannot be made.
    static std::string makeBenchDir(const std::string& name);

private:
    bool launch(const std::string& prefix, const std::string& tryFiles);

    int m_port = 0;
    int m_tlsPort = 0;
    std::string m_certFile;
    std::string m_keyFile;
    pid_t m_pid = -1;
};

} // namespace tw::bench
