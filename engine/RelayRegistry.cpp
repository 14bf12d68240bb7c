#include "engine/RelayRegistry.h"

#include "config/ConfigurationRules.h"

#include <algorithm>

namespace {

// What stands for a local address in the check: the interface that holds
// it, so that two addresses of one interface compare equal.
std::string InterfaceKey(int index, const std::string& address)
{
    return index != 0 ? "interface " + std::to_string(index) : "address " + address;
}

}  // namespace

CRelayRegistry& CRelayRegistry::Instance()
{
    static CRelayRegistry registry;
    return registry;
}

std::vector<int> CRelayRegistry::EnterUnlessLoop(const void* relay, const KOV_BCAST_CONFIG& configuration,
                                                 int hostInterface, int zentaInterface)
{
    KOV_BCAST_CONFIG keyed = configuration;
    keyed.HostSideIp = InterfaceKey(hostInterface, configuration.HostSideIp);
    keyed.ZentaSideIp = InterfaceKey(zentaInterface, configuration.ZentaSideIp);
    std::lock_guard lock(m_mutex);
    std::vector<KOV_BCAST_CONFIG> open;
    for (const Entry& entry : m_entries)
        if (entry.Relay != relay)
            open.push_back(entry.Configuration);
    std::vector<int> loop =
        FindFeedbackLoop(keyed, open, [](const std::string& a, const std::string& b) { return a == b; });
    if (!loop.empty())
        return loop;
    std::erase_if(m_entries, [relay](const Entry& entry) { return entry.Relay == relay; });
    m_entries.push_back({relay, std::move(keyed)});
    return {};
}

void CRelayRegistry::Leave(const void* relay)
{
    std::lock_guard lock(m_mutex);
    std::erase_if(m_entries, [relay](const Entry& entry) { return entry.Relay == relay; });
}
