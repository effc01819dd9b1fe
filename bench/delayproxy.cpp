#include "bench/delayproxy.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tw::bench {

namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in loopback(int port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    return addr;
}

void noDelay(int fd)
{
    // A delayed small write (an HTTP/2 frame, a TLS record) must not wait
    // for Nagle on top of the delay we put on it.
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

struct Chunk
{
    Clock::time_point due;
    std::string data;
    std::size_t done = 0;
    bool fin = false;
};

// One proxied connection: side 0 is the client, side 1 the server.
struct Link;
struct Endpoint
{
    Link* link;
    int side;
};

struct Link
{
    int fd[2] = {-1, -1};
    Endpoint ends[2];
    // Bytes on their way to side i.
    std::deque<Chunk> toward[2];
    bool readEnded[2] = {false, false};
    bool shut[2] = {false, false};
    bool waitingToWrite[2] = {false, false};
    Clock::time_point ready;
    bool broken = false;
};

class Loop
{
public:
    Loop(std::vector<int> listeners, std::vector<int> upstreams, int control)
        : m_listeners(std::move(listeners)), m_upstreams(std::move(upstreams)), m_control(control)
    {}

    [[noreturn]] void run();

private:
    void accept(std::size_t which);
    void readFrom(Link& link, int side);
    void flush(Link& link, int side, Clock::time_point now);
    void watch(Link& link, int side, bool write);
    void control();

    std::vector<int> m_listeners;
    std::vector<int> m_upstreams;
    int m_control;
    int m_epoll = -1;
    Clock::duration m_half{0};
    Clock::duration m_rtt{0};
    std::vector<std::unique_ptr<Link>> m_links;
    // Marks for the listeners and the control socket in epoll's data.
    std::vector<Endpoint> m_marks;
};

void Loop::run()
{
    m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
    m_marks.resize(m_listeners.size() + 1);
    for (std::size_t i = 0; i <= m_listeners.size(); ++i) {
        m_marks[i] = {nullptr, static_cast<int>(i)};
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.ptr = &m_marks[i];
        ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, i < m_listeners.size() ? m_listeners[i] : m_control,
                    &ev);
    }
    epoll_event events[64];
    for (;;) {
        // Sleep until the next chunk is due, or until something happens.
        Clock::time_point next = Clock::time_point::max();
        for (const auto& link : m_links) {
            for (int side = 0; side < 2; ++side) {
                if (!link->toward[side].empty() && !link->waitingToWrite[side]) {
                    next = std::min(next, link->toward[side].front().due);
                }
            }
        }
        timespec timeout{};
        const timespec* wait = nullptr;
        if (next != Clock::time_point::max()) {
            const auto left = std::max(Clock::duration(0), next - Clock::now());
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            timeout.tv_sec = static_cast<time_t>(ns / 1000000000);
            timeout.tv_nsec = static_cast<long>(ns % 1000000000);
            wait = &timeout;
        }
        const int n = ::epoll_pwait2(m_epoll, events, 64, wait, nullptr);
        for (int i = 0; i < n; ++i) {
            auto* end = static_cast<Endpoint*>(events[i].data.ptr);
            if (end->link == nullptr) {
                if (end->side < static_cast<int>(m_listeners.size())) {
                    accept(static_cast<std::size_t>(end->side));
                } else {
                    control();
                }
                continue;
            }
            Link& link = *end->link;
            if ((events[i].events & EPOLLERR) ||
                ((events[i].events & EPOLLHUP) && link.readEnded[end->side])) {
                // Reset, or gone both ways: nothing more can be delivered.
                link.broken = true;
                continue;
            }
            if (events[i].events & (EPOLLIN | EPOLLHUP)) {
                readFrom(link, end->side);
            }
            if (events[i].events & EPOLLOUT) {
                end->link->waitingToWrite[end->side] = false;
                watch(*end->link, end->side, false);
            }
        }
        const Clock::time_point now = Clock::now();
        for (auto& link : m_links) {
            for (int side = 0; side < 2; ++side) {
                flush(*link, side, now);
            }
        }
        std::erase_if(m_links, [](const std::unique_ptr<Link>& link) {
            const bool done = link->broken || (link->shut[0] && link->shut[1]);
            if (done) {
                ::close(link->fd[0]);
                ::close(link->fd[1]);
            }
            return done;
        });
    }
}

void Loop::control()
{
    int64_t us = 0;
    if (::read(m_control, &us, sizeof(us)) != sizeof(us)) {
        ::_exit(0); // the benchmark is gone
    }
    m_rtt = std::chrono::microseconds(us);
    m_half = m_rtt / 2;
    const char ack = 1;
    if (::write(m_control, &ack, 1) != 1) {
        ::_exit(0);
    }
}

void Loop::accept(std::size_t which)
{
    const int client =
        ::accept4(m_listeners[which], nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (client < 0) {
        return;
    }
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in addr = loopback(m_upstreams[which]);
    if (server < 0 ||
        ::connect(server, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
        ::close(client);
        if (server >= 0) {
            ::close(server);
        }
        return;
    }
    ::fcntl(server, F_SETFL, ::fcntl(server, F_GETFL) | O_NONBLOCK);
    noDelay(client);
    noDelay(server);
    auto link = std::make_unique<Link>();
    link->fd[0] = client;
    link->fd[1] = server;
    // The handshake a real network would have cost before the first byte.
    link->ready = Clock::now() + m_rtt;
    for (int side = 0; side < 2; ++side) {
        link->ends[side] = {link.get(), side};
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.ptr = &link->ends[side];
        ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, link->fd[side], &ev);
    }
    m_links.push_back(std::move(link));
}

void Loop::readFrom(Link& link, int side)
{
    if (link.readEnded[side]) {
        return;
    }
    char buf[64 * 1024];
    for (;;) {
        const ssize_t got = ::read(link.fd[side], buf, sizeof(buf));
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        const Clock::time_point now = Clock::now();
        Chunk chunk;
        chunk.due = std::max(now, link.ready) + m_half;
        if (got <= 0) {
            chunk.fin = true;
            link.readEnded[side] = true;
            // Writes to this side may still be due: watch it for that alone.
            watch(link, side, link.waitingToWrite[side]);
        } else {
            chunk.data.assign(buf, static_cast<std::size_t>(got));
        }
        link.toward[1 - side].push_back(std::move(chunk));
        if (got <= 0) {
            return;
        }
    }
}

void Loop::watch(Link& link, int side, bool write)
{
    epoll_event ev{};
    ev.events = (link.readEnded[side] ? 0u : EPOLLIN) | (write ? EPOLLOUT : 0u);
    ev.data.ptr = &link.ends[side];
    ::epoll_ctl(m_epoll, EPOLL_CTL_MOD, link.fd[side], &ev);
}

void Loop::flush(Link& link, int side, Clock::time_point now)
{
    std::deque<Chunk>& queue = link.toward[side];
    while (!link.broken && !link.waitingToWrite[side] && !queue.empty() &&
           queue.front().due <= now) {
        Chunk& chunk = queue.front();
        if (chunk.fin) {
            ::shutdown(link.fd[side], SHUT_WR);
            link.shut[side] = true;
            queue.pop_front();
            continue;
        }
        const ssize_t sent = ::send(link.fd[side], chunk.data.data() + chunk.done,
                                    chunk.data.size() - chunk.done, MSG_NOSIGNAL);
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            link.waitingToWrite[side] = true;
            watch(link, side, true);
            return;
        }
        if (sent < 0) {
            link.broken = true;
            return;
        }
        chunk.done += static_cast<std::size_t>(sent);
        if (chunk.done == chunk.data.size()) {
            queue.pop_front();
        }
    }
}

} // namespace

DelayProxy::~DelayProxy()
{
    stop();
}

bool DelayProxy::start(const std::vector<int>& upstreamPorts)
{
    std::vector<int> listeners;
    for (std::size_t i = 0; i < upstreamPorts.size(); ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in addr = loopback(0);
        socklen_t len = sizeof(addr);
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
            ::listen(fd, 128) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            return false;
        }
        listeners.push_back(fd);
        m_ports.push_back(ntohs(addr.sin_port));
    }
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) {
        return false;
    }
    m_pid = ::fork();
    if (m_pid < 0) {
        return false;
    }
    if (m_pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::close(pair[0]);
        Loop(listeners, upstreamPorts, pair[1]).run();
    }
    ::close(pair[1]);
    for (const int fd : listeners) {
        ::close(fd);
    }
    m_control = pair[0];
    return setRoundTrip(std::chrono::microseconds(0));
}

bool DelayProxy::setRoundTrip(std::chrono::microseconds rtt)
{
    const int64_t us = rtt.count();
    char ack = 0;
    return m_control >= 0 && ::write(m_control, &us, sizeof(us)) == sizeof(us) &&
           ::read(m_control, &ack, 1) == 1;
}

void DelayProxy::stop()
{
    if (m_control >= 0) {
        ::close(m_control);
        m_control = -1;
    }
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
}

} // namespace tw::bench
