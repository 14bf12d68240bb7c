#include "config/ConfigurationRules.h"

#include <algorithm>

std::optional<ConfigurationProblem> FindConfigurationProblem(std::string_view receiveIp, int receivePort,
                                                             std::string_view segmentCode, std::string_view sendIp,
                                                             int sendPort, std::string_view hostSideIp,
                                                             std::string_view zentaSideIp)
{
    using enum ConfigurationField;
    if (receiveIp == kBlankAddress)
        return ConfigurationProblem{ReceiveIp, "Receiver IP Can not be zero or blank."};
    if (receivePort == 0)
        return ConfigurationProblem{ReceivePort, "Receiver Port Can not be zero."};
    if (segmentCode.empty())
        return ConfigurationProblem{SegmentCode, "Market Segment Can not be empty."};
    if (sendIp == kBlankAddress)
        return ConfigurationProblem{SendIp, "Sender IP Can not be zero or blank."};
    if (sendPort == 0)
        return ConfigurationProblem{SendPort, "Sender Port Can not be zero."};
    if (hostSideIp == kBlankAddress)
        return ConfigurationProblem{HostSideIp, "Local IP towards Host Can not be zero or blank."};
    if (zentaSideIp == kBlankAddress)
        return ConfigurationProblem{ZentaSideIp, "Local IP towards ZENTA Can not be zero or blank."};
    return std::nullopt;
}

std::array<std::string, 6> ListRowTexts(const StoredConfiguration& c)
{
    return {std::to_string(c.ConfigId),    c.SegmentCode, c.ReceiveIp,
            std::to_string(c.ReceivePort), c.SendIp,      std::to_string(c.SendPort)};
}

bool IsSendPortFree(const std::vector<SendPortUse>& rows, int sendPort, std::string_view segmentCode, int skipId)
{
    return std::none_of(rows.begin(), rows.end(), [&](const SendPortUse& row) {
        return row.ConfigId != skipId && row.SegmentCode != segmentCode && row.SendPort == sendPort;
    });
}

int NextConfigId(const std::vector<int>& listedIds)
{
    if (listedIds.empty())
        return 1;
    int next = listedIds.back() + 1;
    if (std::find(listedIds.begin(), listedIds.end(), next) != listedIds.end())
        next = *std::max_element(listedIds.begin(), listedIds.end()) + 1;
    return next > kMaxConfigId ? 0 : next;
}
