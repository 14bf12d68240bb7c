#include "engine/WakeTimer.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <mutex>

namespace {

// A real-time signal nothing else in the process uses.
int WakeSignal() noexcept
{
    return SIGRTMIN + 5;
}

void IgnoreWake(int) {}

int InstallHandlerOnce() noexcept
{
    static std::once_flag installed;
    static int error = 0;
    std::call_once(installed, [] {
        struct sigaction action {};
        action.sa_handler = IgnoreWake;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;  // no SA_RESTART: the interrupted call returns EINTR
        if (sigaction(WakeSignal(), &action, nullptr) != 0)
            error = errno;
    });
    return error;
}

}  // namespace

CWakeTimer::~CWakeTimer()
{
    // A signal still pending meets the handler that ignores it.
    if (m_started)
        timer_delete(m_timer);
}

int CWakeTimer::Start(int milliseconds) noexcept
{
    if (m_started)
        return 0;
    if (const int error = InstallHandlerOnce())
        return error;
    // Threads started by one that blocks signals (a runner waiting for
    // them) inherit the mask: this one must take its wake-ups.
    sigset_t wake;
    sigemptyset(&wake);
    sigaddset(&wake, WakeSignal());
    if (const int error = pthread_sigmask(SIG_UNBLOCK, &wake, nullptr))
        return error;
    sigevent event{};
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = WakeSignal();
    event._sigev_un._tid = gettid();
    if (timer_create(CLOCK_MONOTONIC, &event, &m_timer) != 0)
        return errno;
    const timespec period{milliseconds / 1000, milliseconds % 1000 * 1'000'000L};
    const itimerspec every{period, period};
    if (timer_settime(m_timer, 0, &every, nullptr) != 0) {
        const int error = errno;
        timer_delete(m_timer);
        return error;
    }
    m_started = true;
    return 0;
}
