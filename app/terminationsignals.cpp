#include "app/terminationsignals.h"

#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

// A signal handler can reach nothing but static storage; it only wakes the event loop.
volatile std::sig_atomic_t g_writeFd = -1;

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

void wake(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_writeFd, &byte, 1);
}

} // namespace

TerminationSignals::TerminationSignals(QObject* parent) : QObject(parent)
{
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) != 0)
        return;
    m_readFd = fds[0];
    g_writeFd = fds[1];
    m_notifier = new QSocketNotifier(m_readFd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        char buffer[16];
        while (::read(m_readFd, buffer, sizeof buffer) > 0) {
        }
        if (onTerminate)
            onTerminate();
    });
    struct sigaction action = {};
    action.sa_handler = wake;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : kSignals)
        ::sigaction(signal, &action, nullptr);
}

TerminationSignals::~TerminationSignals()
{
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    for (int signal : kSignals)
        ::sigaction(signal, &action, nullptr);
    if (g_writeFd >= 0)
        ::close(g_writeFd);
    g_writeFd = -1;
    if (m_readFd >= 0)
        ::close(m_readFd);
}
