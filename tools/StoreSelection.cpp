#include "tools/StoreSelection.h"

#include <unordered_map>

#include "config/ConfigurationRules.h"
#include "config/PersistedSettings.h"
#include "log/EventLog.h"
#include "tools/RelaySet.h"

StoreSelection SelectFromStore(bool all, bool wholeOnly, const std::function<bool()>& stopRequested)
{
    const StoredSettings stored = ReadStoredSettings(RowReading::Exact, stopRequested);
    StoreSelection selection;
    selection.Unreadable = stored.Unreadable;
    selection.Standby = stored.Standby;
    if (wholeOnly && !selection.Unreadable.empty())
        return selection;
    selection.Refused = stored.RefusedIds;

    std::vector<const KOV_BCAST_CONFIG*> listed;
    if (all) {
        for (const KOV_BCAST_CONFIG& configuration : stored.Configurations) listed.push_back(&configuration);
    } else {
        std::unordered_map<int, const KOV_BCAST_CONFIG*> byId;
        for (const KOV_BCAST_CONFIG& configuration : stored.Configurations)
            byId.emplace(configuration.ConfigId, &configuration);
        int notStored = 0;
        for (const int configId : ParseAutoStartList(stored.AutoStart)) {
            if (const auto found = byId.find(configId); found != byId.end())
                listed.push_back(found->second);
            else if (!stored.RefusedIds.count(configId) && ++notStored <= kMostSkippedLines)
                ReportRelayProblem(FormatText(
                    "Config ID %d of the Auto Start list is in no stored row that could be read; not started.",
                    configId));
        }
        if (notStored > kMostSkippedLines)
            ReportRelayProblem(
                FormatText("%d more Config IDs of the Auto Start list are in no stored row; not started.",
                           notStored - kMostSkippedLines));
    }
    int cannotStart = 0;
    for (const KOV_BCAST_CONFIG* configuration : listed) {
        if (const auto problem = FindConfigurationProblem(*configuration)) {
            if (++cannotStart <= kMostSkippedLines)
                ReportRelayProblem(FormatText("Config ID %d cannot start: %s Not started.", configuration->ConfigId,
                                              problem->Message.c_str()));
            selection.Refused.insert(configuration->ConfigId);
        } else {
            selection.Configurations.push_back(*configuration);
        }
    }
    if (cannotStart > kMostSkippedLines)
        ReportRelayProblem(
            FormatText("%d more configurations cannot start; not started.", cannotStart - kMostSkippedLines));
    return selection;
}
