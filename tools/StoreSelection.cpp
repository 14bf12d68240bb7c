#include "tools/StoreSelection.h"

#include <algorithm>
#include <set>

#include "config/ConfigurationRules.h"
#include "config/PersistedSettings.h"
#include "log/EventLog.h"
#include "tools/RelaySet.h"

StoreSelection SelectFromStore(bool all)
{
    const StoredSettings stored = ReadStoredSettings();
    StoreSelection selection;
    selection.Complete = stored.Complete;

    std::vector<const KOV_BCAST_CONFIG*> listed;
    if (all) {
        for (const KOV_BCAST_CONFIG& configuration : stored.Configurations) listed.push_back(&configuration);
    } else {
        std::set<int> named;
        for (const int configId : ParseAutoStartList(stored.AutoStart)) {
            if (!named.insert(configId).second)
                continue;
            const auto found = std::find_if(stored.Configurations.begin(), stored.Configurations.end(),
                                            [configId](const KOV_BCAST_CONFIG& c) { return c.ConfigId == configId; });
            if (found == stored.Configurations.end())
                ReportRelayProblem(FormatText(
                    "Config ID %d of the Auto Start list is in no stored row that could be read; not started.",
                    configId));
            else
                listed.push_back(&*found);
        }
    }
    for (const KOV_BCAST_CONFIG* configuration : listed) {
        if (const auto problem = FindConfigurationProblem(*configuration))
            ReportRelayProblem(FormatText("Config ID %d cannot start: %s Not started.", configuration->ConfigId,
                                          problem->Message.c_str()));
        else
            selection.Configurations.push_back(*configuration);
    }
    return selection;
}
