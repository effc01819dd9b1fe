#include "app/signalcloser.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>

namespace tw {

namespace {

int g_pipe[2] = {-1, -1};
constexpr std::array kSignals = {SIGTERM, SIGINT, SIGHUP};

extern "C" void onSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    // Only async-signal-safe calls here; a full pipe means a close is
    // already on its way.
    [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &byte, 1);
    errno = saved;
}

} // namespace

SignalCloser::SignalCloser(std::function<void()> onSignalFn, QObject* parent)
    : QObject(parent), m_onSignal(std::move(onSignalFn))
{
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        g_pipe[0] = g_pipe[1] = -1;
        return;
    }
    m_notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] { readPipe(); });

    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (const int sig : kSignals) {
        ::sigaction(sig, &sa, nullptr);
    }
}

SignalCloser::~SignalCloser()
{
    struct sigaction sa = {};
    sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    for (const int sig : kSignals) {
        ::sigaction(sig, &sa, nullptr);
    }
    delete m_notifier;
    m_notifier = nullptr;
    for (int& fd : g_pipe) {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }
}

void SignalCloser::readPipe()
{
    char buf[64];
    while (::read(g_pipe[0], buf, sizeof buf) > 0) {
    }
    if (m_onSignal) {
        m_onSignal();
    }
}

} // namespace tw
