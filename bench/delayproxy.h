#pragma once

#include <chrono>
#include <sys/types.h>
#include <vector>

namespace tw::bench {

// A TCP proxy that puts a network's round trip between a client and a server
// on loopback: every byte waits half the round trip in each direction, and a
// new connection's first bytes wait one round trip more, as its handshake
// would. Bandwidth is not limited. It runs in a child process of its own, so
// that neither its work nor its buffers count as the client's.
class DelayProxy
{
public:
    DelayProxy() = default;
    // Stops the proxy.
    ~DelayProxy();
    DelayProxy(const DelayProxy&) = delete;
    DelayProxy& operator=(const DelayProxy&) = delete;

    // Listens on an ephemeral 127.0.0.1 port for each of upstreamPorts (on
    // 127.0.0.1) and forwards to it. Forks: call it before the process starts
    // a thread. False when it could not be set up.
    bool start(const std::vector<int>& upstreamPorts);
    // From now on, for bytes read from then on. Returns once the proxy took it.
    bool setRoundTrip(std::chrono::microseconds rtt);
    // The port that leads to upstreamPorts[i].
    int port(std::size_t i) const { return m_ports.at(i); }
    void stop();

private:
    std::vector<int> m_ports;
    pid_t m_pid = -1;
    int m_control = -1;
};

} // namespace tw::bench
