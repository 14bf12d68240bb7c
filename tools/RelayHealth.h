#pragma once

#include <string>

#include "engine/BroadcastEngine.h"

// Whether a relay can relay here, for the pair's health file. It cannot when
// no interface holds its Host-side address, when that interface is down or
// has lost its carrier, when its receives keep failing, or when the system
// refuses to open its sockets again (a port taken here): the other node
// may well do better then. Trouble the other node would meet just the same
// (a configuration that cannot open its sockets, sends the system refuses)
// moves nothing. A relay waiting only for its ZENTA-side address is a
// standby, ready to relay.
struct RELAY_HEALTH {
    bool CanRelay = true;
    std::string Reason;  // why not, in words
};
// `hostSideRunning`: IsInterfaceRunning of its Host-side address.
[[nodiscard]] RELAY_HEALTH HealthOf(const KOV_BCAST_CONFIG& configuration, CKOVBCastEngine::RELAY_STATE state,
                                    bool hostSideRunning);

// Up and with carrier: the interface that holds this address can carry
// datagrams. False when no interface holds it.
[[nodiscard]] bool IsInterfaceRunning(const std::string& ipv4);
