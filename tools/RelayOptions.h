#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "config/BroadcastConfig.h"
#include "engine/BroadcastEngine.h"
#include "engine/CaptureWriter.h"

// orma-relay's exit statuses.
inline constexpr int kExitOrderly = 0;
inline constexpr int kExitFailed = 1;  // a relay could not start, or a system call failed
inline constexpr int kExitUsage = 2;   // the command line is wrong
inline constexpr int kExitStoreInUse = 3;

// What orma-relay was asked to do. Every option is checked before anything
// starts: a command line that could be read two ways is refused.
struct RelayOptions {
    // Rows mode: the configurations typed on the command line.
    std::vector<KOV_BCAST_CONFIG> Rows;
    // Store mode: the configurations of a settings store.
    bool FromStore = false;
    std::string StoreDirectory;      // absolute; empty: the console's store
    bool AllConfigurations = false;  // not only the Auto Start list

    std::string LogDirectory = ".";
    long long Seconds = -1;  // run until a signal
    bool PrintCounters = true;
    // Polling, WaitForInterfaces and RejoinSeconds for every relay; the
    // CPU each polling relay is pinned to comes from PollingCpus.
    CKOVBCastEngine::RELAY_OPTIONS Relay;
    std::vector<int> PollingCpus;  // the k-th relay on the k-th; empty: any CPU
    std::string MetricsAddress;    // "PORT" or "ADDRESS:PORT"; empty: no metrics
    std::string HealthFile;        // for keepalived's track_file; empty: none
    // Capture of the configurations whose Archive field is Y; empty Directory: none.
    CAPTURE_SETTINGS Capture;
};

// The --help text, also the man page.
extern const char* const kRelayHelp;

// Fills `options` from the command line; false, with the problem in words,
// when it is wrong.
[[nodiscard]] bool ReadRelayOptions(int argc, char** argv, RelayOptions& options, std::string& problem);

// False, with the problem in words, when --poll-cpus names fewer CPUs than
// there are polling relays.
[[nodiscard]] bool CheckPollingCpuCount(const RelayOptions& options, size_t relays, std::string& problem);
