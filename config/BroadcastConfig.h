#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

// Text forms of configuration values.
[[nodiscard]] inline const char* FlagText(int flag)
{
    return flag ? "Y" : "N";
}
// Only an exact "Y" sets a flag.
[[nodiscard]] inline int FlagFromText(std::string_view text)
{
    return text == "Y";
}
[[nodiscard]] inline const char* CastTypeText(int multicast)
{
    return multicast ? "MULTICAST" : "UNICAST";
}

// Longest texts a configuration may hold: the segment codes and addresses of
// stored rows were fixed-width fields with a terminator.
inline constexpr size_t kMaxSegmentCodeLength = 4;
inline constexpr size_t kMaxAddressLength = 15;
// Config IDs index the window's engine table, so one from an edited store
// must not size that table beyond reason.
inline constexpr int kMaxConfigId = 99999;

// One broadcast configuration: where datagrams arrive (a group and port
// joined on the local interface towards Host) and where they are re-sent
// (from the local interface towards ZENTA).
//
// Only UDP endpoints exist and both sides always take the multicast set-up,
// so the protocol and cast-type fields keep their defaults whatever a row or
// the form names; a unicast destination is simply an address to send to.
struct KOV_BCAST_CONFIG {
    int ConfigId = 0;
    std::string SegmentCode;
    std::string ReceiveIp;
    int ReceivePort = 0;
    std::string ReceiveProtocol = "UDP";
    int ReceiveMulticast = 1;
    std::string SendIp;
    int SendPort = 0;
    std::string SendProtocol = "UDP";
    int SendMulticast = 1;
    int ArchiveFlag = 0;  // carried along; it switches nothing in the relay
    int NmktFlag = 0;     // convert new-format market data to old 7208 broadcasts
    std::string HostSideIp;
    std::string ZentaSideIp;

    bool operator==(const KOV_BCAST_CONFIG&) const = default;
};

// Reads a stored ConfigurationRow: Config ID, segment, receive address and
// port, two ignored fields (protocol, cast type), send address and port, two
// ignored fields, archive flag and, in rows of twelve fields, the NMKT flag
// (older rows of eleven have it off). The local addresses are not part of a
// row. A row that cannot be held (fewer than eleven fields, or a problem
// FindLoadingProblem names) gives false and says why in `reason`.
[[nodiscard]] bool ParseConfigurationRow(std::string_view row, KOV_BCAST_CONFIG& configuration, std::string& reason);
// A row read only when ParseConfigurationRow would read exactly what is
// written: it ends with ",", has 11 or 12 fields, digits alone (few enough
// for an int) where numbers go, "UDP", "MULTICAST", "Y" or "N" exactly where
// those go. The reason names the field: "Receiver Port \"34x21\" is not a
// whole number". For what runs unattended, where a typo must not move a relay.
[[nodiscard]] bool ParseExactConfigurationRow(std::string_view row, KOV_BCAST_CONFIG& configuration,
                                              std::string& reason);
// The Config ID a row names beyond doubt: its first field, digits alone,
// from 1 to kMaxConfigId; 0 when it names none.
[[nodiscard]] int ExactConfigId(std::string_view row);
// The twelve-field row, every field followed by ",".
[[nodiscard]] std::string FormatConfigurationRow(const KOV_BCAST_CONFIG& configuration);
// The texts of the first six list columns: ID, Seg, Recv IP, Recv Port, Send IP, Send Port.
[[nodiscard]] std::array<std::string, 6> ListRowTexts(const KOV_BCAST_CONFIG& configuration);
