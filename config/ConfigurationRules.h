#pragma once

#include "config/BroadcastConfig.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>

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
