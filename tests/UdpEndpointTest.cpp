#include "net/Udp.h"
#include "tests/support/NetworkTest.h"

#include <arpa/inet.h>

#include <future>

namespace {

using UdpEndpointTest = NetworkTest;

// Closing the endpoint is what ends orma-monitor's wait for a datagram.
// (What the relay takes, cuts, pads and drops: RelayRunnerTest.)
TEST_F(UdpEndpointTest, ClosingWakesABlockedReceive)
{
    network->EnterRelay();
    NW_PROTOCOL_SETTINGS settings;
    settings.Mode = 1;
    settings.RemoteIp = "127.0.0.1";
    settings.Port = htons(34101);
    settings.BufferSize = 1048576;
    CUDP endpoint;
    ASSERT_EQ(endpoint.Open(settings), 0);
    char buffer[64];
    auto blocked = std::async(std::launch::async, [&] { return endpoint.Receive(buffer, sizeof buffer); });
    EXPECT_EQ(blocked.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    endpoint.Close();
    EXPECT_EQ(blocked.get(), -1) << "not mistaken for an empty datagram";
    EXPECT_EQ(endpoint.Receive(buffer, sizeof buffer), -1) << "a closed endpoint fails at once";
}

}  // namespace
