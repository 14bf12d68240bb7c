#pragma once

#include <signal.h>

#include <chrono>
#include <functional>

#include "tools/RelayOptions.h"
#include "tools/RelaySet.h"

// Where the service's glue (systemd notification, watchdog, metrics) hooks
// into orma-relay's loop. Each runs on the main thread; a missing one is skipped.
struct RunnerHooks {
    // Every relay is running, waiting for its interfaces, or has failed:
    // once after the start, and again after each reload.
    std::function<void(const CRelaySet&)> RelaysSettled;
    // A reload begins (before the store is read).
    std::function<void()> Reloading;
    // Once a second, after the per-second lines.
    std::function<void(const CRelaySet&)> EverySecond;
    // About every kOftenPeriod, for what must be seen sooner than once a
    // second (the pair's health file); only its atomic reads belong here.
    std::function<void(const CRelaySet&)> Often;
    // An orderly stop begins.
    std::function<void()> Stopping;
};

inline constexpr std::chrono::milliseconds kOftenPeriod{20};

// Prints the per-second lines, until a write fails (a closed standard output):
// from then on it prints nothing.
class CCounterPrinter {
public:
    explicit CCounterPrinter(bool enabled) : m_enabled(enabled) {}
    void Print(const CRelaySet& relays);

private:
    bool m_enabled;
};

// Blocks the signals the loop takes (SIGHUP and those that stop it in order:
// SIGINT, SIGTERM, SIGPWR, SIGXCPU) in this thread and so in every thread
// started later, and puts them in `taken`; false, said on stderr, on failure.
[[nodiscard]] bool BlockLoopSignals(sigset_t& taken);
// Ignores the signals that would end the process without a word and mean
// nothing to it (SIGPIPE, SIGUSR1, SIGUSR2, the timer signals, SIGIO,
// SIGXFSZ, SIGSTKFLT and the real-time signals no handler holds); after the
// crash dump writer has taken its real-time signal.
[[nodiscard]] bool IgnoreStraySignals();
// A signal that stops orma-relay is waiting: a long load ends early for it.
[[nodiscard]] bool IsStopPending();

// Runs the started relays until a stop signal (or SIGHUP in rows mode) or
// --seconds; in store mode SIGHUP reloads the store. The signals must be
// blocked in every thread (BlockLoopSignals). Returns the exit status; the
// relays still run.
[[nodiscard]] int RunRelays(CRelaySet& relays, const RelayOptions& options, const sigset_t& signals,
                            CCounterPrinter& printer, const RunnerHooks& hooks);
