#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "config/BroadcastConfig.h"
#include "engine/BroadcastEngine.h"
#include "tools/RelayOptions.h"

// Writes a line to the event log (after the time) and to stderr (after
// "orma-relay: "): what the operator of an unattended relay must see.
void ReportRelayProblem(const std::string& text);
// Where the event log's lines reach the operator already (the journal), not on stderr too.
void ReportProblemsOnStderr(bool on);

// The configurations of `starting` that may start beside the `running`
// ones (WithoutFeedbackLoops), local addresses compared by the interface
// that holds them now, by their text when none does.
[[nodiscard]] std::vector<KOV_BCAST_CONFIG> WithoutLoopsHere(const std::vector<KOV_BCAST_CONFIG>& starting,
                                                             std::vector<KOV_BCAST_CONFIG> running,
                                                             std::vector<std::string>& refused);

// The relays of orma-relay, one engine per Config ID, driven from the main
// thread. Other threads (metrics, a watchdog) may look at the engines
// through ForEachEngine at any time.
class CRelaySet {
public:
    // Every relay gets options.Relay; a polling one also a CPU of options.PollingCpus.
    explicit CRelaySet(const RelayOptions& options);
    ~CRelaySet();
    CRelaySet(const CRelaySet&) = delete;
    CRelaySet& operator=(const CRelaySet&) = delete;

    // Makes the relays those of `wanted` as PlanReload says: the relays of
    // `refused` Config IDs are left as they run, the others stop, restart or
    // start as their rows changed. What would feed itself, or finds no CPU
    // to poll on, is not started and reported. With `logChanges` (a reload)
    // each change is one event log line.
    void Apply(const std::vector<KOV_BCAST_CONFIG>& wanted, const std::set<int>& refused, bool logChanges);

    // Some relay is still opening its sockets.
    [[nodiscard]] bool IsStarting() const;
    // Says on stderr which relays could not start, each once; how many could not.
    int ReportFailures();
    // Stops every relay, in Config ID order: each sends what it queued first.
    void StopAll();

    // Calls `visit` with every engine, in Config ID order, under the set's
    // lock: no engine is added or destroyed meanwhile. Never blocks a relay thread.
    void ForEachEngine(const std::function<void(const CKOVBCastEngine&)>& visit) const;

private:
    struct Relay {
        std::unique_ptr<CKOVBCastEngine> Engine;
        int Cpu = -1;
        bool FailureReported = false;
    };

    // Starts the configurations in order, each polling one on a CPU no relay holds.
    void StartRelays(const std::vector<KOV_BCAST_CONFIG>& starting);
    // The CPU of --poll-cpus a new relay polls on (ChoosePollingCpu); kAnyCpu without --poll.
    [[nodiscard]] int FreeCpu() const;

    CKOVBCastEngine::RELAY_OPTIONS m_relayOptions;
    // Outlives the relays (declared before them): it writes what their rings still hold.
    std::unique_ptr<CCaptureWriter> m_capture;
    std::vector<int> m_pollingCpus;
    std::unique_ptr<CEngineOwner> m_owner;
    mutable std::mutex m_mutex;  // guards the map (not the engines) for ForEachEngine
    std::map<int, Relay> m_relays;
};
