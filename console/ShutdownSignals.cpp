#include "console/ShutdownSignals.h"

#include <QSocketNotifier>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Lock-free, so the handler may read it.
std::atomic<int> g_shutdownPipe{-1};
static_assert(std::atomic<int>::is_always_lock_free);

void OnShutdownSignal(int signal)
{
    const int savedErrno = errno;
    const unsigned char number = static_cast<unsigned char>(signal);
    // Non-blocking: with the pipe full a request is already waiting.
    (void)!write(g_shutdownPipe.load(std::memory_order_relaxed), &number, 1);
    errno = savedErrno;
}

bool Install(int signal, struct sigaction& previous)
{
    struct sigaction action {};
    action.sa_handler = OnShutdownSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (sigaction(signal, &action, &previous) == 0)
        return true;
    std::fprintf(stderr, "orma-broadcast-server: cannot handle signal %d: %s\n", signal, std::strerror(errno));
    return false;
}

}  // namespace

CShutdownSignals::CShutdownSignals()
{
    if (pipe2(m_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::fprintf(stderr, "orma-broadcast-server: cannot make the signal pipe: %s\n", std::strerror(errno));
        return;
    }
    g_shutdownPipe.store(m_pipe[1]);
    m_installed = Install(SIGTERM, m_previousTerm) && Install(SIGINT, m_previousInt);
}

CShutdownSignals::~CShutdownSignals()
{
    if (m_pipe[1] < 0)
        return;
    sigaction(SIGTERM, &m_previousTerm, nullptr);
    sigaction(SIGINT, &m_previousInt, nullptr);
    g_shutdownPipe.store(-1);
    delete m_notifier;
    close(m_pipe[0]);
    close(m_pipe[1]);
}

void CShutdownSignals::Watch()
{
    if (m_pipe[0] < 0 || m_notifier)
        return;
    m_notifier = new QSocketNotifier(m_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &CShutdownSignals::OnReadable);
}

void CShutdownSignals::OnReadable()
{
    unsigned char numbers[16];
    const ssize_t count = read(m_pipe[0], numbers, sizeof numbers);
    for (ssize_t i = 0; i < count; ++i) emit Received(numbers[i]);
}
