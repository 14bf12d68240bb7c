#pragma once

#include "tools/HealthFile.h"
#include "tools/MetricsServer.h"
#include "tools/RelayOptions.h"
#include "tools/RunnerLoop.h"

#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <string>

class CKOVBCastEngine;

// orma-relay as a service: systemd hears when the relays are ready and how
// many run, and gets its watchdog pings only while no relay thread is
// wedged; under systemd the event log's lines also go to the journal; with
// --metrics the counters are served over HTTP; with --health-file keepalived
// learns within kOftenPeriod whether this node can relay. Runs on the main thread,
// through RunRelays' hooks.
class CRelayService {
public:
    // Under systemd the event log's lines go to the journal too, from now on.
    static void CopyLinesToJournal();
    // Starts what the options ask for: run by the service, it keeps the
    // newest crash dumps only; it forbids itself to run programs. False, with the problem in words,
    // when the metrics address cannot be taken.
    bool Start(const RelayOptions& options, std::string& problem);
    [[nodiscard]] RunnerHooks Hooks();

private:
    void OnSettled(const CRelaySet& relays);
    void OnSecond(const CRelaySet& relays);
    void OnStopping();
    // Writes the health file when what it says changes, with one log line.
    void CheckHealth(const CRelaySet& relays);
    [[nodiscard]] std::string StatusOf(const CRelaySet& relays) const;
    void CheckWatchdog(const CRelaySet& relays);

    std::unique_ptr<CMetricsServer> m_metrics;
    std::unique_ptr<CHealthFile> m_health;
    bool m_settled = false;                         // every relay started once: before, the node cannot relay yet
    uint64_t m_interfaceGeneration = UINT64_MAX;    // of the interface watcher, when the flags below were read
    std::map<std::string, bool> m_hostSideRunning;  // by Host-side address
    std::string m_healthReason = "its relays are starting";  // said last; empty when it can relay
    std::string m_status;
    std::chrono::microseconds m_watchdogPeriod{0};  // between checks: half of systemd's interval
    std::chrono::steady_clock::time_point m_nextWatchdogCheck;
    // Per relay thread seen at the last check: the engine and its heartbeat.
    struct Beat {
        const CKOVBCastEngine* Engine = nullptr;
        uint64_t Heartbeat = 0;
    };
    std::map<int, Beat> m_beats;
    std::set<int> m_wedged;  // said once each
};
