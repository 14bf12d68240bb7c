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

// Sets the action for a signal, unless onlyOverDefault and it has another
// action already; previous gets what it had. False when it was left alone.
bool Install(int signal, void (*handler)(int), bool onlyOverDefault, struct sigaction& previous)
{
    if (sigaction(signal, nullptr, &previous) != 0)
        return false;
    if (onlyOverDefault && previous.sa_handler != SIG_DFL)
        return false;
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (sigaction(signal, &action, nullptr) == 0)
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
    const auto take = [this](int signal, void (*handler)(int), bool onlyOverDefault) {
        if (!Install(signal, handler, onlyOverDefault, m_previous[m_taken]))
            return false;
        m_signals[m_taken++] = signal;
        return true;
    };
    m_installed = take(SIGTERM, OnShutdownSignal, false) && take(SIGINT, OnShutdownSignal, false);
    for (const int signal : kShutdownSignals) take(signal, OnShutdownSignal, true);
    for (const int signal : kIgnoredSignals) take(signal, SIG_IGN, true);
}

CShutdownSignals::~CShutdownSignals()
{
    if (m_pipe[1] < 0)
        return;
    for (size_t i = 0; i < m_taken; ++i) sigaction(m_signals[i], &m_previous[i], nullptr);
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
