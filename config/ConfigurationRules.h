#pragma once

#include "config/BroadcastConfig.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What an empty IP address box yields; an address with this text counts as blank.
inline constexpr std::string_view kBlankAddress = "0.0.0.0";

// The parts of a configuration a rule can name, so that the form can put
// the focus where the problem is.
enum class ConfigurationField {
    ConfigId,
    ReceiveIp,
    ReceivePort,
    SegmentCode,
    SendIp,
    SendPort,
    HostSideIp,
    ZentaSideIp
};

struct ConfigurationProblem {
    ConfigurationField Field;
    std::string Message;
};

// The first rule a configuration breaks, or nothing when it may be saved and
// started. The rules, in the order the operator is told about them:
//  1. the form's seven checks: receive address, receive port, segment, send
//     address, send port, Host-side and ZENTA-side address, each neither
//     blank nor zero (only the exact text kBlankAddress is blank);
//  2. what the loaders refuse (FindLoadingProblem);
//  3. ports from 1 to 65535 and the four addresses in dotted IPv4.
[[nodiscard]] std::optional<ConfigurationProblem> FindConfigurationProblem(const KOV_BCAST_CONFIG& configuration);

// The rules of step 2 alone: a Config ID from 1 to kMaxConfigId (it indexes
// the engine table), a segment code and receive and send addresses no longer
// than their fields allow. A stored configuration that breaks one of these
// is not loaded at all; one that breaks another rule loads, and is refused
// when it is started.
[[nodiscard]] std::optional<ConfigurationProblem> FindLoadingProblem(const KOV_BCAST_CONFIG& configuration);

// Dotted decimal IPv4, four numbers from 0 to 255 and nothing else.
[[nodiscard]] bool IsIpv4Address(const std::string& text);

// Whether two local addresses are on one interface.
using SameInterface = std::function<bool(const std::string&, const std::string&)>;

// The Config IDs along which the output of `starting` would come back to
// its own input, directly or through the `running` configurations of the
// same process: starting's ID first and last (for example 3, 5, 3); empty
// when it would not. A configuration's output reaches another's input when
// it sends to the group and port the other receives, from the interface the
// other receives on: a datagram sent to a group is delivered to the
// sender's own sockets that joined it on that interface.
[[nodiscard]] std::vector<int> FindFeedbackLoop(const KOV_BCAST_CONFIG& starting,
                                                const std::vector<KOV_BCAST_CONFIG>& running,
                                                const SameInterface& sameInterface);
// "3 > 5 > 3".
[[nodiscard]] std::string FeedbackLoopText(const std::vector<int>& loop);
// "Config ID 3 would relay its own output back to itself (3 > 5 > 3)".
[[nodiscard]] std::string FeedbackLoopRefusal(const std::vector<int>& loop);

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
