#pragma once

#include <vector>

#include "config/BroadcastConfig.h"

// The configurations orma-relay runs from the settings store.
struct StoreSelection {
    // In the order of the Auto Start list (of the store with `all`).
    std::vector<KOV_BCAST_CONFIG> Configurations;
    // Every stored row was read and used: a configuration missing here is
    // not in the store. When false, a missing one may sit in a damaged row.
    bool Complete = false;
};

// Reads the store (CRegistry::StoreDirectory()) as the console does: rows
// the loader refuses are logged by it. Of the configurations the Auto Start
// list names, or of all of them with `all`, each that breaks a rule of the
// form (FindConfigurationProblem), and each Config ID the list names that
// the store does not hold, is reported and left out.
[[nodiscard]] StoreSelection SelectFromStore(bool all);
