#pragma once

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "config/BroadcastConfig.h"

// The configurations orma-relay runs from the settings store.
struct StoreSelection {
    // In the order of the Auto Start list (of the store with `all`).
    std::vector<KOV_BCAST_CONFIG> Configurations;
    // The Config IDs of refused rows: a reload leaves their relays as they run.
    std::set<int> Refused;
    // What of the store could not be read whole, in words; empty when all
    // of it was. A reload then changes nothing.
    std::string Unreadable;
    bool Standby = false;  // the store's "Standby" flag
};

// Reads the store (CRegistry::StoreDirectory()) exactly as written
// (RowReading::Exact): a row the console would read differently is refused
// by the loader, which logs it with the field. Of the configurations the
// Auto Start list names, or of all of them with `all`, each that breaks a
// rule of the form (FindConfigurationProblem) is reported and refused, and
// each Config ID the list names that the store does not hold is reported
// and left out. With `wholeOnly` (a reload) a store that cannot be read
// whole selects nothing, and nothing is reported beyond the loader's lines.
// `stopRequested` may end the load early (Unreadable then).
[[nodiscard]] StoreSelection SelectFromStore(bool all, bool wholeOnly, const std::function<bool()>& stopRequested = {});
