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

// Runs the started relays until SIGINT, SIGTERM (or SIGHUP in rows mode) or
// --seconds; in store mode SIGHUP reloads the store. The signals must be
// blocked in every thread. Returns the exit status; the relays still run.
[[nodiscard]] int RunRelays(CRelaySet& relays, const RelayOptions& options, const sigset_t& signals,
                            CCounterPrinter& printer, const RunnerHooks& hooks);
