#pragma once

#include "config/BroadcastConfig.h"
#include "tests/support/TestNetwork.h"

#include <string>

// A configuration on the test network: receiving group:receivePort on the
// relay's Host side, sending to sendIp:sendPort from its ZENTA side.
inline KOV_BCAST_CONFIG TestConfiguration(int configId, std::string group, int receivePort, std::string sendIp,
                                          int sendPort, std::string segment = "QA", int nmkt = 0)
{
    KOV_BCAST_CONFIG configuration;
    configuration.ConfigId = configId;
    configuration.SegmentCode = std::move(segment);
    configuration.ReceiveIp = std::move(group);
    configuration.ReceivePort = receivePort;
    configuration.SendIp = std::move(sendIp);
    configuration.SendPort = sendPort;
    configuration.NmktFlag = nmkt;
    configuration.HostSideIp = TestNetwork::kHostSideIp;
    configuration.ZentaSideIp = TestNetwork::kZentaSideIp;
    return configuration;
}
