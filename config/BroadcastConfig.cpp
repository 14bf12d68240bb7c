#include "config/BroadcastConfig.h"

#include "config/FieldList.h"
#include "engine/BroadcastEngine.h"
#include "log/EventLog.h"

bool ParseConfigurationRow(std::string_view row, StoredConfiguration& configuration, std::string& reason)
{
    const std::vector<std::string> fields = SplitFields(row);
    if (fields.size() < 11) {
        reason = FormatText("it has %zu fields, at least 11 are needed", fields.size());
        return false;
    }
    StoredConfiguration parsed;
    parsed.ConfigId = ParseDecimal(fields[0]);
    parsed.SegmentCode = fields[1];
    parsed.ReceiveIp = fields[2];
    parsed.ReceivePort = ParseDecimal(fields[3]);
    parsed.ReceiveProtocol = fields[4];
    parsed.ReceiveMode = fields[5];
    parsed.SendIp = fields[6];
    parsed.SendPort = ParseDecimal(fields[7]);
    parsed.SendProtocol = fields[8];
    parsed.SendMode = fields[9];
    parsed.Archive = fields[10];
    if (fields.size() == 12)
        parsed.Nmkt = fields[11];

    if (parsed.ConfigId <= 0) {
        reason = FormatText("Config ID \"%s\" is not a positive number", fields[0].c_str());
        return false;
    }
    if (parsed.ConfigId > kMaxConfigId) {
        reason = FormatText("Config ID %d is above the largest allowed, %d", parsed.ConfigId, kMaxConfigId);
        return false;
    }
    if (parsed.SegmentCode.size() > kMaxSegmentCodeLength) {
        reason = FormatText("segment \"%s\" is longer than %zu characters", parsed.SegmentCode.c_str(),
                            kMaxSegmentCodeLength);
        return false;
    }
    for (const std::string* address : {&parsed.ReceiveIp, &parsed.SendIp}) {
        if (address->size() > kMaxAddressLength) {
            reason = FormatText("address \"%s\" is longer than %zu characters", address->c_str(), kMaxAddressLength);
            return false;
        }
    }
    configuration = std::move(parsed);
    return true;
}

std::unique_ptr<CKOVBCastEngine> CreateEngine(const StoredConfiguration& c, const std::string& hostSideIp,
                                              const std::string& zentaSideIp, CEngineOwner* owner)
{
    return std::make_unique<CKOVBCastEngine>(c.ConfigId, c.SegmentCode, c.ReceiveIp, c.ReceivePort, c.ReceiveProtocol,
                                             c.ReceiveMode, c.SendIp, hostSideIp, zentaSideIp, c.SendPort,
                                             c.SendProtocol, c.SendMode, c.Archive, c.Nmkt, owner);
}

void ConfigureEngine(CKOVBCastEngine& engine, const StoredConfiguration& c, const std::string& hostSideIp,
                     const std::string& zentaSideIp, CEngineOwner* owner)
{
    engine.Configure(c.ConfigId, c.SegmentCode, c.ReceiveIp, c.ReceivePort, c.ReceiveProtocol, c.ReceiveMode, c.SendIp,
                     hostSideIp, zentaSideIp, c.SendPort, c.SendProtocol, c.SendMode, c.Archive, c.Nmkt, owner);
}
