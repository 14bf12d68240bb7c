#pragma once

#include "config/BroadcastConfig.h"

#include <mutex>
#include <vector>

// The interfaces every relay of the process has its sockets open on now,
// so that a relay about to open (again) on other interfaces can tell
// whether its output would come back to its own input through the others.
// Not on the hot path: a relay enters when it opens and leaves when it
// closes.
class CRelayRegistry final {
public:
    static CRelayRegistry& Instance();

    // Enters `relay` as open on the interfaces with these indexes (0: no
    // interface holds the address; then the address text stands for it)
    // unless that closes a feedback loop with the relays entered now: then
    // it stays out and the loop comes back (its Config IDs, as
    // FindFeedbackLoop gives them). Check and entry are one step, so two
    // relays opening at once cannot both pass.
    [[nodiscard]] std::vector<int> EnterUnlessLoop(const void* relay, const KOV_BCAST_CONFIG& configuration,
                                                   int hostInterface, int zentaInterface);
    // Takes `relay` out (its sockets closed); nothing when it is not in.
    void Leave(const void* relay);

private:
    struct Entry {
        const void* Relay;
        KOV_BCAST_CONFIG Configuration;  // its local addresses replaced by interface keys
    };
    CRelayRegistry() = default;

    std::mutex m_mutex;
    std::vector<Entry> m_entries;
};
