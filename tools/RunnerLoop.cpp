#include "tools/RunnerLoop.h"

#include <pthread.h>
#include <string.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "config/PersistedSettings.h"
#include "log/EventLog.h"
#include "tools/StoreSelection.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// How often the loop looks whether the relays have settled, until they have.
constexpr auto kSettleCheck = 10ms;

// Each stops orma-relay in order, as SIGTERM: the power is failing, or the CPU time limit is near.
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGPWR, SIGXCPU};
// Each would end the process without a word and means nothing to it.
constexpr int kStraySignals[] = {SIGPIPE, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGIO, SIGXFSZ, SIGSTKFLT};

// The signal that came within `timeout`, 0 when none did, -1 when the wait failed.
int WaitForSignal(const sigset_t& signals, Clock::duration timeout)
{
    const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(std::max(timeout, Clock::duration{}));
    const timespec wait{static_cast<time_t>(nanoseconds.count() / 1000000000),
                        static_cast<long>(nanoseconds.count() % 1000000000)};
    const int signal = sigtimedwait(&signals, nullptr, &wait);
    if (signal > 0)
        return signal;
    if (errno == EAGAIN || errno == EINTR)
        return 0;
    std::fprintf(stderr, "orma-relay: sigtimedwait: %s\n", std::strerror(errno));
    return -1;
}

void ReloadStore(CRelaySet& relays, const RelayOptions& options)
{
    LogEvent("%s Reloading the settings store.", LocalTimeText().c_str());
    const StoreSelection selection = SelectFromStore(options.AllConfigurations, /*wholeOnly=*/true, IsStopPending);
    // What could not be read may be a relay that runs, or one that should not.
    if (!selection.Unreadable.empty()) {
        ReportRelayProblem(
            FormatText("Reload: the settings store could not be read whole (%s: %s); no relay was "
                       "stopped or started.",
                       kConfigurationKey, selection.Unreadable.c_str()));
        return;
    }
    relays.Apply(selection.Configurations, selection.Refused, /*logChanges=*/true);
}

void Call(const std::function<void(const CRelaySet&)>& hook, const CRelaySet& relays)
{
    if (hook)
        hook(relays);
}

}  // namespace

bool BlockLoopSignals(sigset_t& taken)
{
    sigemptyset(&taken);
    sigaddset(&taken, SIGHUP);
    for (const int signal : kStopSignals) sigaddset(&taken, signal);
    if (const int error = pthread_sigmask(SIG_BLOCK, &taken, nullptr)) {
        std::fprintf(stderr, "orma-relay: pthread_sigmask: %s\n", std::strerror(error));
        return false;
    }
    return true;
}

bool IgnoreStraySignals()
{
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    for (const int signal : kStraySignals) {
        if (sigaction(signal, &ignore, nullptr) != 0) {
            std::fprintf(stderr, "orma-relay: sigaction(%s): %s\n", sigabbrev_np(signal), std::strerror(errno));
            return false;
        }
    }
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) {
        struct sigaction current {};
        if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
            (void)sigaction(signal, &ignore, nullptr);
    }
    return true;
}

bool IsStopPending()
{
    sigset_t pending;
    if (sigpending(&pending) != 0)
        return false;
    return std::any_of(std::begin(kStopSignals), std::end(kStopSignals),
                       [&pending](int signal) { return sigismember(&pending, signal) == 1; });
}

void CCounterPrinter::Print(const CRelaySet& relays)
{
    if (!m_enabled)
        return;
    relays.ForEachEngine([](const CKOVBCastEngine& engine) {
        std::printf("Config ID %d  %-21s Pkts Recv: %u  Pkts Sent: %u  Dropped: %u  Failed: %u",
                    engine.GetConfiguration().ConfigId, engine.GetStatus().c_str(), engine.GetReceivedCount(),
                    engine.GetSentCount(), engine.GetDroppedCount(), engine.GetFailedSendCount());
        // Only when there were any, so that the usual line stays as it was.
        if (const uint32_t oversized = engine.GetOversizedCount())
            std::printf("  Oversized: %u", oversized);
        if (engine.GetConfiguration().NmktFlag)
            std::printf("  Tokens: %zu  Refused tokens: %llu", engine.GetTickerMapSize(),
                        static_cast<unsigned long long>(engine.GetRefusedTokenCount()));
        if (const uint64_t notCaptured = engine.GetNotCapturedTotal())
            std::printf("  Not captured: %" PRIu64, notCaptured);
        std::printf("\n");
    });
    // SIGPIPE is ignored: a closed reader shows here, and relaying goes on without the lines.
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        m_enabled = false;
}

int RunRelays(CRelaySet& relays, const RelayOptions& options, const sigset_t& signals, CCounterPrinter& printer,
              const RunnerHooks& hooks)
{
    const Clock::time_point start = Clock::now();
    const Clock::time_point end =
        options.Seconds < 0 ? Clock::time_point::max() : start + std::chrono::seconds(options.Seconds);
    Clock::time_point nextSecond = start + 1s;
    Clock::time_point nextOften = start;
    bool settled = false;
    for (;;) {
        if (!settled && !relays.IsStarting()) {
            settled = true;
            if (relays.ReportFailures() > 0 && !options.FromStore)
                return kExitFailed;
            Call(hooks.RelaysSettled, relays);
        }
        const Clock::time_point now = Clock::now();
        if (now >= nextSecond) {
            printer.Print(relays);
            Call(hooks.EverySecond, relays);
            // After a stall (SIGSTOP, a suspended machine) one line, not one for every second missed.
            nextSecond += 1s;
            if (nextSecond <= now)
                nextSecond = now + 1s;
            // With --wait-for-interfaces a relay fails only once its interfaces are there.
            if (settled && relays.ReportFailures() > 0 && !options.FromStore)
                return kExitFailed;
        }
        if (hooks.Often && now >= nextOften) {
            hooks.Often(relays);
            nextOften = now + kOftenPeriod;
        }
        if (now >= end)
            return kExitOrderly;
        Clock::duration timeout = std::min(nextSecond, end) - now;
        if (!settled)
            timeout = std::min<Clock::duration>(timeout, kSettleCheck);
        if (hooks.Often)
            timeout = std::min<Clock::duration>(timeout, nextOften - now);
        switch (WaitForSignal(signals, timeout)) {
        case 0:
            break;
        case SIGHUP:
            if (!options.FromStore)
                return kExitOrderly;
            if (hooks.Reloading)
                hooks.Reloading();
            ReloadStore(relays, options);
            settled = false;
            break;
        case -1:
            return kExitFailed;
        default:  // kStopSignals
            return kExitOrderly;
        }
    }
}
