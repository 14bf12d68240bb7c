#pragma once

#include <memory>
#include <string>
#include <string_view>

class CEngineOwner;
class CKOVBCastEngine;

// Text forms of configuration values.
[[nodiscard]] inline const char* FlagText(int flag) { return flag ? "Y" : "N"; }
// Only an exact "Y" sets a flag.
[[nodiscard]] inline bool FlagFromText(std::string_view text) { return text == "Y"; }
[[nodiscard]] inline const char* CastTypeText(int multicast) { return multicast ? "MULTICAST" : "UNICAST"; }

// Longest texts that fit the configuration's fixed fields with their terminator.
inline constexpr size_t kMaxSegmentCodeLength = 4;
inline constexpr size_t kMaxAddressLength = 15;
// Config IDs index the window's engine table, so one from an edited store
// must not size that table beyond reason.
inline constexpr int kMaxConfigId = 99999;

// The fields of a stored ConfigurationRow, cut and read.
struct StoredConfiguration {
    int ConfigId = 0;
    std::string SegmentCode;
    std::string ReceiveIp;
    int ReceivePort = 0;
    std::string ReceiveProtocol;
    std::string ReceiveMode;
    std::string SendIp;
    int SendPort = 0;
    std::string SendProtocol;
    std::string SendMode;
    std::string Archive;
    std::string Nmkt = "N";  // rows of eleven fields predate the flag
};

// Reads a ConfigurationRow. A row that cannot be used (fewer than eleven
// fields, a Config ID that is not positive or above kMaxConfigId, a text
// too long for its field)
// gives false and says why in `reason`.
[[nodiscard]] bool ParseConfigurationRow(std::string_view row, StoredConfiguration& configuration, std::string& reason);

// A stopped engine for a stored configuration and the two local interfaces.
[[nodiscard]] std::unique_ptr<CKOVBCastEngine> CreateEngine(const StoredConfiguration& configuration,
                                                            const std::string& hostSideIp,
                                                            const std::string& zentaSideIp, CEngineOwner* owner);
// Gives a stopped engine a new configuration (CKOVBCastEngine::Configure).
void ConfigureEngine(CKOVBCastEngine& engine, const StoredConfiguration& configuration, const std::string& hostSideIp,
                     const std::string& zentaSideIp, CEngineOwner* owner);
