#include "app/signal_pipe.h"

#include <QSocketNotifier>

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace tavrix {

namespace {

constexpr int kSignals[] = {SIGUSR1, SIGHUP, SIGTERM, SIGINT};

// A signal handler can reach nothing but static data, hence this one file-wide descriptor.
volatile std::sig_atomic_t g_writeFd = -1;

extern "C" void WriteSignal(int signal)
{
    const int savedErrno = errno;
    const char byte = static_cast<char>(signal);
    // Non-blocking: when the pipe is full the signal is dropped, never waited on.
    [[maybe_unused]] const ssize_t written = ::write(g_writeFd, &byte, 1);
    errno = savedErrno;
}

} // namespace

SignalPipe::SignalPipe(QObject* parent) : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, m_fds) != 0) {
        m_fds[0] = m_fds[1] = -1;
        return;
    }
    g_writeFd = m_fds[1];
    m_notifier = new QSocketNotifier(m_fds[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SignalPipe::readSignals);

    struct sigaction action = {};
    action.sa_handler = WriteSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : kSignals) {
        ::sigaction(signal, &action, nullptr);
    }
}

SignalPipe::~SignalPipe()
{
    if (!isValid()) {
        return;
    }
    for (const int signal : kSignals) {
        std::signal(signal, SIG_DFL);
    }
    g_writeFd = -1;
    ::close(m_fds[0]);
    ::close(m_fds[1]);
}

void SignalPipe::readSignals()
{
    char bytes[64];
    const ssize_t count = ::read(m_fds[0], bytes, sizeof bytes);
    for (ssize_t i = 0; i < count; ++i) {
        if (bytes[i] == SIGUSR1) {
            emit statisticsRequested();
        } else if (bytes[i] == SIGHUP) {
            emit reloadRequested();
        } else {
            emit terminationRequested();
        }
    }
}

} // namespace tavrix
