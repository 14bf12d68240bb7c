#pragma once

#include <ctime>

// Wakes the thread that starts it at a fixed period, for as long as the
// object lives: a signal whose handler does nothing and restarts no call
// comes to that thread alone, so that a blocking receive there returns
// EINTR, as at a receive time-out. A receive time-out arms and cancels a
// kernel timer at every wait; this timer is armed once.
class CWakeTimer {
public:
    CWakeTimer() = default;
    ~CWakeTimer();
    CWakeTimer(const CWakeTimer&) = delete;
    CWakeTimer& operator=(const CWakeTimer&) = delete;

    // 0 once the timer runs, or the errno of the call that failed (the
    // thread then has no timer and is never woken by one).
    [[nodiscard]] int Start(int milliseconds) noexcept;

private:
    timer_t m_timer{};
    bool m_started = false;
};
