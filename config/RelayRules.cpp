#include "config/RelayRules.h"

#include <algorithm>
#include <map>

std::vector<KOV_BCAST_CONFIG> WithoutFeedbackLoops(const std::vector<KOV_BCAST_CONFIG>& starting,
                                                   std::vector<KOV_BCAST_CONFIG> running,
                                                   const SameInterface& sameInterface,
                                                   std::vector<std::string>& refused)
{
    std::vector<KOV_BCAST_CONFIG> accepted;
    for (const KOV_BCAST_CONFIG& configuration : starting) {
        const std::vector<int> loop = FindFeedbackLoop(configuration, running, sameInterface);
        if (!loop.empty()) {
            refused.push_back(FeedbackLoopRefusal(loop));
            continue;
        }
        running.push_back(configuration);
        accepted.push_back(configuration);
    }
    return accepted;
}

int ChoosePollingCpu(const std::vector<int>& cpus, const std::vector<int>& inUse)
{
    if (cpus.empty())
        return kAnyCpu;
    const auto free = std::find_if(cpus.begin(), cpus.end(), [&inUse](int cpu) {
        return std::find(inUse.begin(), inUse.end(), cpu) == inUse.end();
    });
    return free == cpus.end() ? kNoCpuLeft : *free;
}

std::vector<PlannedChange> PlanReload(const std::vector<HeldRelay>& held, const std::vector<KOV_BCAST_CONFIG>& wanted,
                                      const std::set<int>& refused)
{
    std::map<int, const KOV_BCAST_CONFIG*> wantedById;
    for (const KOV_BCAST_CONFIG& configuration : wanted) wantedById.emplace(configuration.ConfigId, &configuration);
    std::vector<PlannedChange> changes;
    std::set<int> heldIds;
    for (const HeldRelay& relay : held) {
        const int configId = relay.Configuration.ConfigId;
        heldIds.insert(configId);
        const auto found = wantedById.find(configId);
        ReloadChange change = ReloadChange::Unchanged;
        if (refused.count(configId))
            change = ReloadChange::Refused;
        else if (found == wantedById.end())
            change = ReloadChange::Removed;
        else if (!(*found->second == relay.Configuration))
            change = ReloadChange::Changed;
        else if (relay.Failed)
            change = ReloadChange::Retried;
        changes.push_back({configId, change});
    }
    for (const KOV_BCAST_CONFIG& configuration : wanted) {
        if (!heldIds.count(configuration.ConfigId) && !refused.count(configuration.ConfigId))
            changes.push_back({configuration.ConfigId, ReloadChange::Added});
    }
    return changes;
}

bool StopsTheRelay(ReloadChange change)
{
    return change == ReloadChange::Removed || change == ReloadChange::Changed || change == ReloadChange::Retried;
}

bool StartsTheConfiguration(ReloadChange change)
{
    return change == ReloadChange::Changed || change == ReloadChange::Retried || change == ReloadChange::Added;
}
