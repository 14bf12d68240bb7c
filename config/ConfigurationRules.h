#pragma once

#include "config/BroadcastConfig.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What an empty IP address box yields; an address with this text counts as blank.
inline constexpr std::string_view kBlankAddress = "0.0.0.0";

// The inputs of a configuration, in the order the operator is told about them.
enum class ConfigurationField { ReceiveIp, ReceivePort, SegmentCode, SendIp, SendPort, HostSideIp, ZentaSideIp };

struct ConfigurationProblem {
    ConfigurationField Field;
    const char* Message;
};

// The first rule a configuration breaks, or nothing when it can be saved and
// started. Only the exact blank address text counts as blank; an empty text passes.
[[nodiscard]] std::optional<ConfigurationProblem> FindConfigurationProblem(std::string_view receiveIp, int receivePort,
                                                                           std::string_view segmentCode,
                                                                           std::string_view sendIp, int sendPort,
                                                                           std::string_view hostSideIp,
                                                                           std::string_view zentaSideIp);

// The texts of the first six list columns: ID, Seg, Recv IP, Recv Port, Send IP, Send Port.
[[nodiscard]] std::array<std::string, 6> ListRowTexts(const StoredConfiguration& configuration);

// A list row as the sending-port rule sees it.
struct SendPortUse {
    int ConfigId = 0;
    std::string SegmentCode;
    int SendPort = 0;
};

// False when a configuration of another segment (exact comparison) already
// sends to sendPort; configurations of one segment may share a port. The row
// with Config ID skipId is the configuration being modified and is not compared.
[[nodiscard]] bool IsSendPortFree(const std::vector<SendPortUse>& rows, int sendPort, std::string_view segmentCode,
                                  int skipId);

// The Config ID of a configuration added after the listed ones (their IDs in
// list order): the last one plus 1, 1 for an empty list. Deleting the last
// row so frees its ID, a gap in the middle stays. When that ID is taken
// (rows out of order in an edited store) it is one above the highest, and 0
// when that would pass kMaxConfigId.
[[nodiscard]] int NextConfigId(const std::vector<int>& listedIds);
