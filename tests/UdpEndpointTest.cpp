#include "net/Udp.h"
#include "tests/support/NetworkTest.h"

#include <arpa/inet.h>

#include <future>

namespace {

constexpr uint16_t kPort = 34101;

// An endpoint receiving on loopback in the relay namespace, and a socket that sends to it.
class UdpEndpointTest : public NetworkTest {
protected:
    void SetUp() override
    {
        NetworkTest::SetUp();
        if (IsSkipped())
            return;
        network->EnterRelay();
        sender = network->OpenRelaySocket();
    }

    static NW_PROTOCOL_SETTINGS ReceiveSettings(uint32_t bufferSize)
    {
        NW_PROTOCOL_SETTINGS settings;
        settings.Mode = 1;
        settings.RemoteIp = "127.0.0.1";
        settings.LocalIp = TestNetwork::kHostSideIp;
        settings.Port = htons(kPort);
        settings.BufferSize = bufferSize;
        return settings;
    }
    bool Send(size_t length) { return SendDatagram(sender, "127.0.0.1", kPort, std::vector<uint8_t>(length, 7)); }

    CUDP endpoint;
    int sender = -1;
    char buffer[2500];
};

TEST_F(UdpEndpointTest, ReceivesWhatFitsAndCloseWakesABlockedReceive)
{
    ASSERT_EQ(endpoint.Open(ReceiveSettings(1048576)), 0);
    ASSERT_TRUE(Send(2501) && Send(2500) && Send(0));
    EXPECT_EQ(endpoint.Receive(buffer, sizeof buffer), -1) << "longer than the buffer";
    EXPECT_EQ(endpoint.Receive(buffer, sizeof buffer), 2500);
    EXPECT_EQ(endpoint.Receive(buffer, sizeof buffer), 0) << "an empty datagram is a datagram";

    auto blocked = std::async(std::launch::async, [&] { return endpoint.Receive(buffer, sizeof buffer); });
    EXPECT_EQ(blocked.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    endpoint.Close();
    EXPECT_EQ(blocked.get(), -1) << "not mistaken for an empty datagram";
    EXPECT_EQ(endpoint.Receive(buffer, sizeof buffer), -1) << "a closed endpoint fails at once";
}

// The kernel's count, read at any time: not only when a later datagram arrives.
TEST_F(UdpEndpointTest, CountsWhatATinyReceiveBufferDroppedAtOnceAndAcrossReopens)
{
    ASSERT_EQ(endpoint.Open(ReceiveSettings(4096)), 0);
    constexpr int kSent = 200;
    for (int i = 0; i < kSent; ++i) ASSERT_TRUE(Send(256));
    const uint32_t dropped = endpoint.DroppedCount();
    EXPECT_GT(dropped, 0u);
    int kept = 0;
    do {
        ASSERT_EQ(endpoint.Receive(buffer, sizeof buffer), 256);
        ++kept;
    } while (endpoint.HasPendingReceives());
    EXPECT_EQ(dropped + kept, static_cast<uint32_t>(kSent));

    // A new socket's drops add to the old one's.
    ASSERT_EQ(endpoint.Open(ReceiveSettings(4096)), 0);
    for (int i = 0; i < kSent; ++i) ASSERT_TRUE(Send(256));
    EXPECT_GT(endpoint.DroppedCount(), dropped);
    endpoint.Close();
    EXPECT_GT(endpoint.DroppedCount(), dropped) << "kept when the socket is gone";
}

}  // namespace
