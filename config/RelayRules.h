#pragma once

#include "config/BroadcastConfig.h"
#include "config/ConfigurationRules.h"

#include <set>
#include <string>
#include <vector>

// The rules that decide what runs, for the window and orma-relay alike: which
// configurations may start beside the running ones, on which CPU a polling
// relay goes, and what a reload of the store changes.

// The configurations of `starting` that may start beside the `running` ones
// and those of `starting` before them, in order. One whose output would come
// back to its own input (FindFeedbackLoop) is left out, with its refusal in
// `refused`: "Config ID 3 would relay its own output back to itself (3 > 5 > 3)".
[[nodiscard]] std::vector<KOV_BCAST_CONFIG> WithoutFeedbackLoops(const std::vector<KOV_BCAST_CONFIG>& starting,
                                                                 std::vector<KOV_BCAST_CONFIG> running,
                                                                 const SameInterface& sameInterface,
                                                                 std::vector<std::string>& refused);

inline constexpr int kAnyCpu = -1;
inline constexpr int kNoCpuLeft = -2;
// The CPU a polling relay is pinned to: the first of `cpus` that no relay
// holds (`inUse`); kAnyCpu when the list is empty, kNoCpuLeft when every
// CPU of it is held.
[[nodiscard]] int ChoosePollingCpu(const std::vector<int>& cpus, const std::vector<int>& inUse);

// A relay as a reload finds it.
struct HeldRelay {
    KOV_BCAST_CONFIG Configuration;
    bool Failed = false;  // its sockets could not be opened
};

enum class ReloadChange {
    Unchanged,  // left untouched
    Refused,    // its row was refused: left untouched, said so
    Removed,    // stopped
    Changed,    // stopped, started with the new row
    Retried,    // could not start before: started again
    Added       // started
};

struct PlannedChange {
    int ConfigId = 0;
    ReloadChange Change = ReloadChange::Unchanged;
};

// What a reload does with the `held` relays, given the configurations the
// store now selects (`wanted`) and the Config IDs whose rows it refused
// (`refused`): a held relay whose row was refused is left as it runs, one
// no longer wanted stops, one that differs in any field (the local
// addresses included) restarts, one that failed is tried again, the rest
// are untouched; a wanted one not held starts. The held relays first, in
// their order, then the added ones in the order of `wanted`. Only for a
// store read whole: one that could not be read changes nothing.
[[nodiscard]] std::vector<PlannedChange> PlanReload(const std::vector<HeldRelay>& held,
                                                    const std::vector<KOV_BCAST_CONFIG>& wanted,
                                                    const std::set<int>& refused);
// Whether a change stops the held relay, and whether it starts the wanted configuration.
[[nodiscard]] bool StopsTheRelay(ReloadChange change);
[[nodiscard]] bool StartsTheConfiguration(ReloadChange change);
