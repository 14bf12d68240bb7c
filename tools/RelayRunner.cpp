// orma-relay: the relays without a window, from rows on its command line or
// from the settings store the console writes; for machines without a
// display, for the service and for end-to-end tests.

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "config/PersistedSettings.h"
#include "config/Registry.h"
#include "config/StoreLock.h"
#include "crashdump/CrashDumpWriter.h"
#include "log/EventLog.h"
#include "tools/CommandLine.h"
#include "tools/RelayOptions.h"
#include "tools/RelayService.h"
#include "tools/RelaySet.h"
#include "tools/RunnerLoop.h"
#include "tools/ServiceManager.h"
#include "tools/StoreSelection.h"

namespace {

// Takes the store's single-instance lock, the console's, for the life of
// `lock`; the exit status when it cannot be had.
int TakeStore(const RelayOptions& options, std::unique_ptr<CStoreLock>& lock)
{
    if (!options.StoreDirectory.empty())
        CRegistry::SetStoreDirectory(options.StoreDirectory);
    const std::string folder = CRegistry::StoreDirectory();
    if (folder.empty()) {
        std::fprintf(stderr,
                     "orma-relay: no settings store: no home folder and no $XDG_CONFIG_HOME; name one with --store\n");
        return kExitFailed;
    }
    lock = std::make_unique<CStoreLock>(folder);
    if (lock->IsHeldByAnother()) {
        std::fprintf(stderr,
                     "%sorma-relay: the settings store %s is in use by another program (the console or another "
                     "orma-relay); close it, then start this one again\n",
                     ErrorPriorityPrefix(), folder.c_str());
        return kExitStoreInUse;
    }
    if (!lock->IsHeld()) {
        std::fprintf(stderr, "orma-relay: cannot take the settings store's lock %s: %s\n", lock->Path().c_str(),
                     std::strerror(lock->Error()));
        return kExitFailed;
    }
    return kExitOrderly;
}

// The configurations to start: the rows, or those the store selects. What
// would feed itself is refused (rows mode: the whole command line) and a
// --poll-cpus list too short for the rest; false, with the problem in words, then.
bool ChooseConfigurations(RelayOptions& options, std::vector<KOV_BCAST_CONFIG>& chosen, std::string& problem)
{
    std::vector<std::string> refused;
    if (options.FromStore) {
        const StoreSelection selection = SelectFromStore(options.AllConfigurations, /*wholeOnly=*/false, IsStopPending);
        options.Relay.Standby = options.Relay.Standby || selection.Standby;
        chosen = WithoutLoopsHere(selection.Configurations, {}, refused);
        for (const std::string& text : refused) ReportRelayProblem(text + "; not started.");
        if (chosen.empty())
            ReportRelayProblem("No configuration of the store starts; SIGHUP reads the store again.");
    } else {
        chosen = WithoutLoopsHere(options.Rows, {}, refused);
        if (!refused.empty()) {
            LogEvent("%s %s; not started.", LocalTimeText().c_str(), refused[0].c_str());
            problem = refused[0];
            return false;
        }
    }
    return CheckPollingCpuCount(options, chosen.size(), problem);
}

void LogClosed()
{
    LogEvent("%s ORMA UDP Broadcast Server has been Closed", LocalTimeText().c_str());
}

}  // namespace

int main(int argc, char** argv)
{
    sigset_t signals;
    if (!BlockLoopSignals(signals))
        return kExitFailed;
    // A fault on any thread leaves a minidump; without it the relay still runs.
    (void)InstallCrashDumpWriter();
    // SIGPIPE among them: a closed standard output must not end the relays (nor --help).
    if (!IgnoreStraySignals())
        return kExitFailed;
    if (AnswerHelpOrVersion(argc, argv, "orma-relay", kRelayHelp))
        return kExitOrderly;

    RelayOptions options;
    std::string problem;
    if (!ReadRelayOptions(argc, argv, options, problem)) {
        std::fprintf(stderr, "orma-relay: %s\nTry 'orma-relay --help' for more information.\n", problem.c_str());
        return kExitUsage;
    }
    std::unique_ptr<CStoreLock> storeLock;
    if (options.FromStore) {
        if (const int status = TakeStore(options, storeLock); status != kExitOrderly)
            return status;
    }
    g_pEventLog = CEventLog::GetInstance();
    g_pEventLog->SetLogDirectory(options.LogDirectory);
    CRelayService::CopyLinesToJournal();  // the banner too
    LogEvent("\n%s ORMA UDP Broadcast Server has been Started", LocalTimeText().c_str());

    std::vector<KOV_BCAST_CONFIG> configurations;
    if (!ChooseConfigurations(options, configurations, problem)) {
        std::fprintf(stderr, "orma-relay: %s\n", problem.c_str());
        LogClosed();
        return kExitUsage;
    }
    // Before any relay thread, so that their lines reach the journal too.
    CRelayService service;
    if (!service.Start(options, problem)) {
        ReportRelayProblem(problem);
        LogClosed();
        return kExitFailed;
    }
    CRelaySet relays(options);
    relays.Apply(configurations, /*refused=*/{}, /*logChanges=*/false);

    CCounterPrinter printer(options.PrintCounters);
    const RunnerHooks hooks = service.Hooks();
    const int status = RunRelays(relays, options, signals, printer, hooks);

    hooks.Stopping();
    relays.StopAll();  // each relay sends what it queued before its sockets close
    LogClosed();
    printer.Print(relays);
    return status;
}
