#include "config/ConfigurationRules.h"

#include "log/EventLog.h"

#include <arpa/inet.h>

#include <algorithm>
#include <tuple>

namespace {

using enum ConfigurationField;
using Problem = std::optional<ConfigurationProblem>;

Problem FormProblem(const KOV_BCAST_CONFIG& c)
{
    if (c.ReceiveIp == kBlankAddress)
        return ConfigurationProblem{ReceiveIp, "Receiver IP Can not be zero or blank."};
    if (c.ReceivePort == 0)
        return ConfigurationProblem{ReceivePort, "Receiver Port Can not be zero."};
    if (c.SegmentCode.empty())
        return ConfigurationProblem{SegmentCode, "Market Segment Can not be empty."};
    if (c.SendIp == kBlankAddress)
        return ConfigurationProblem{SendIp, "Sender IP Can not be zero or blank."};
    if (c.SendPort == 0)
        return ConfigurationProblem{SendPort, "Sender Port Can not be zero."};
    if (c.HostSideIp == kBlankAddress)
        return ConfigurationProblem{HostSideIp, "Local IP towards Host Can not be zero or blank."};
    if (c.ZentaSideIp == kBlankAddress)
        return ConfigurationProblem{ZentaSideIp, "Local IP towards ZENTA Can not be zero or blank."};
    return std::nullopt;
}

// Ports and addresses the sockets would otherwise take differently from
// what was written: 99999 as 34463, "239.1.1" as 239.1.0.1.
Problem NetworkProblem(const KOV_BCAST_CONFIG& c)
{
    const std::tuple<ConfigurationField, const char*, int> ports[] = {{ReceivePort, "Receiver Port", c.ReceivePort},
                                                                      {SendPort, "Sender Port", c.SendPort}};
    for (const auto& [field, name, port] : ports) {
        if (port < 1 || port > 65535)
            return ConfigurationProblem{field, FormatText("%s must be from 1 to 65535.", name)};
    }
    const std::tuple<ConfigurationField, const char*, const std::string&> addresses[] = {
        {ReceiveIp, "Receiver IP", c.ReceiveIp},
        {SendIp, "Sender IP", c.SendIp},
        {HostSideIp, "Local IP towards Host", c.HostSideIp},
        {ZentaSideIp, "Local IP towards ZENTA", c.ZentaSideIp}};
    for (const auto& [field, name, text] : addresses) {
        if (!IsIpv4Address(text))
            return ConfigurationProblem{field, FormatText("%s is not a valid IPv4 address.", name)};
    }
    return std::nullopt;
}

}  // namespace

bool IsIpv4Address(const std::string& text)
{
    in_addr address{};
    return inet_pton(AF_INET, text.c_str(), &address) == 1;
}

Problem FindLoadingProblem(const KOV_BCAST_CONFIG& c)
{
    if (c.ConfigId <= 0)
        return ConfigurationProblem{ConfigId, FormatText("Config ID %d is not a positive number", c.ConfigId)};
    if (c.ConfigId > kMaxConfigId)
        return ConfigurationProblem{
            ConfigId, FormatText("Config ID %d is above the largest allowed, %d", c.ConfigId, kMaxConfigId)};
    if (c.SegmentCode.size() > kMaxSegmentCodeLength)
        return ConfigurationProblem{SegmentCode, FormatText("segment \"%s\" is longer than %zu characters",
                                                            c.SegmentCode.c_str(), kMaxSegmentCodeLength)};
    for (const auto& [field, text] : {std::pair{ReceiveIp, &c.ReceiveIp}, std::pair{SendIp, &c.SendIp}}) {
        if (text->size() > kMaxAddressLength)
            return ConfigurationProblem{
                field, FormatText("address \"%s\" is longer than %zu characters", text->c_str(), kMaxAddressLength)};
    }
    return std::nullopt;
}

Problem FindConfigurationProblem(const KOV_BCAST_CONFIG& c)
{
    if (Problem problem = FormProblem(c))
        return problem;
    if (Problem problem = FindLoadingProblem(c))
        return problem;
    return NetworkProblem(c);
}

std::vector<int> FindFeedbackLoop(const KOV_BCAST_CONFIG& starting, const std::vector<KOV_BCAST_CONFIG>& running,
                                  const SameInterface& sameInterface)
{
    const auto feeds = [&](const KOV_BCAST_CONFIG& from, const KOV_BCAST_CONFIG& to) {
        return from.SendIp == to.ReceiveIp && from.SendPort == to.ReceivePort &&
               sameInterface(from.ZentaSideIp, to.HostSideIp);
    };
    // Depth first from `starting`; each running configuration is entered once.
    std::vector<const KOV_BCAST_CONFIG*> path{&starting};
    std::vector<size_t> next{0};
    std::vector<bool> entered(running.size(), false);
    while (!path.empty()) {
        const KOV_BCAST_CONFIG& at = *path.back();
        if (next.back() == 0 && feeds(at, starting)) {
            std::vector<int> loop;
            for (const KOV_BCAST_CONFIG* step : path) loop.push_back(step->ConfigId);
            loop.push_back(starting.ConfigId);
            return loop;
        }
        size_t& i = next.back();
        while (i < running.size() && (entered[i] || running[i].ConfigId == starting.ConfigId || !feeds(at, running[i])))
            ++i;
        if (i == running.size()) {
            path.pop_back();
            next.pop_back();
            continue;
        }
        entered[i] = true;
        path.push_back(&running[i++]);
        next.push_back(0);
    }
    return {};
}

std::string FeedbackLoopText(const std::vector<int>& loop)
{
    std::string text;
    for (const int configId : loop) text += (text.empty() ? "" : " > ") + std::to_string(configId);
    return text;
}

std::string FeedbackLoopRefusal(const std::vector<int>& loop)
{
    return "Config ID " + std::to_string(loop.front()) + " would relay its own output back to itself (" +
           FeedbackLoopText(loop) + ")";
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
