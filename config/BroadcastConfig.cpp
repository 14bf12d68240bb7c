#include "config/BroadcastConfig.h"

#include "config/ConfigurationRules.h"
#include "config/FieldList.h"
#include "log/EventLog.h"

#include <vector>

bool ParseConfigurationRow(std::string_view row, KOV_BCAST_CONFIG& configuration, std::string& reason)
{
    const std::vector<std::string> fields = SplitFields(row);
    if (fields.size() < 11) {
        reason = FormatText("it has %zu fields, at least 11 are needed", fields.size());
        return false;
    }
    KOV_BCAST_CONFIG parsed;
    parsed.ConfigId = ParseDecimal(fields[0]);
    parsed.SegmentCode = fields[1];
    parsed.ReceiveIp = fields[2];
    parsed.ReceivePort = ParseDecimal(fields[3]);
    parsed.SendIp = fields[6];
    parsed.SendPort = ParseDecimal(fields[7]);
    parsed.ArchiveFlag = FlagFromText(fields[10]);
    parsed.NmktFlag = fields.size() == 12 && FlagFromText(fields[11]);

    if (const std::optional<ConfigurationProblem> problem = FindLoadingProblem(parsed)) {
        reason = problem->Message;
        return false;
    }
    configuration = std::move(parsed);
    return true;
}

std::string FormatConfigurationRow(const KOV_BCAST_CONFIG& c)
{
    return JoinFields({std::to_string(c.ConfigId), c.SegmentCode, c.ReceiveIp, std::to_string(c.ReceivePort),
                       c.ReceiveProtocol, CastTypeText(c.ReceiveMulticast), c.SendIp, std::to_string(c.SendPort),
                       c.SendProtocol, CastTypeText(c.SendMulticast), FlagText(c.ArchiveFlag), FlagText(c.NmktFlag)});
}

std::array<std::string, 6> ListRowTexts(const KOV_BCAST_CONFIG& c)
{
    return {std::to_string(c.ConfigId),    c.SegmentCode, c.ReceiveIp,
            std::to_string(c.ReceivePort), c.SendIp,      std::to_string(c.SendPort)};
}
