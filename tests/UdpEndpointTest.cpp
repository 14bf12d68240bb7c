#include "net/Udp.h"
#include "tests/support/TestNetwork.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <future>

namespace {

constexpr uint16_t kPort = 34101;

class UdpEndpointTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why;
        network = TestNetwork::Create(why);
        if (!network)
            GTEST_SKIP() << why;
        network->EnterRelay();
    }

    static NW_PROTOCOL_SETTINGS ReceiveSettings(const std::string& ip, uint32_t multicast)
    {
        NW_PROTOCOL_SETTINGS settings;
        settings.Mode = 1;
        settings.RemoteIp = ip;
        settings.LocalIp = TestNetwork::kHostSideIp;
        settings.Port = htons(kPort);
        settings.BufferSize = 1048576;
        settings.Multicast = multicast;
        return settings;
    }

    std::unique_ptr<TestNetwork> network;
};

TEST_F(UdpEndpointTest, CloseWakesABlockedReceiveWhichIsNotMistakenForAnEmptyDatagram)
{
    CUDP endpoint;
    ASSERT_EQ(endpoint.Open(ReceiveSettings("127.0.0.1", 0)), 0);
    const int sender = network->OpenRelaySocket();
    char buffer[2500];

    ASSERT_TRUE(SendDatagram(sender, "127.0.0.1", kPort, "", 0));
    EXPECT_EQ(endpoint.Receive(buffer, sizeof buffer), 0) << "an empty datagram is a datagram";

    auto blocked = std::async(std::launch::async, [&] { return endpoint.Receive(buffer, sizeof buffer); });
    EXPECT_EQ(blocked.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    endpoint.Close();
    EXPECT_EQ(blocked.get(), -1);
    EXPECT_EQ(endpoint.Receive(buffer, sizeof buffer), -1) << "a closed endpoint fails at once";
    EXPECT_EQ(endpoint.Close(), 1) << "a second Close closes nothing";
    close(sender);
}

TEST_F(UdpEndpointTest, ADatagramLongerThanTheBufferIsAFailedReceive)
{
    CUDP endpoint;
    ASSERT_EQ(endpoint.Open(ReceiveSettings("127.0.0.1", 0)), 0);
    const int sender = network->OpenRelaySocket();
    char buffer[2500];

    ASSERT_TRUE(SendDatagram(sender, "127.0.0.1", kPort, std::vector<uint8_t>(2501, 7)));
    ASSERT_TRUE(SendDatagram(sender, "127.0.0.1", kPort, std::vector<uint8_t>(2500, 7)));
    EXPECT_EQ(endpoint.Receive(buffer, sizeof buffer), -1);
    EXPECT_EQ(endpoint.Receive(buffer, sizeof buffer), 2500);
    EXPECT_EQ(endpoint.Receive(nullptr, 10), 0);
    endpoint.Close();
    close(sender);
}

TEST_F(UdpEndpointTest, CountsWhatATinyReceiveBufferDropped)
{
    CUDP endpoint;
    NW_PROTOCOL_SETTINGS settings = ReceiveSettings("127.0.0.1", 0);
    settings.BufferSize = 4096;
    ASSERT_EQ(endpoint.Open(settings), 0);
    const int sender = network->OpenRelaySocket();
    char buffer[2500];

    constexpr int kSent = 200;
    for (int i = 0; i < kSent; ++i)
        ASSERT_TRUE(SendDatagram(sender, "127.0.0.1", kPort, std::vector<uint8_t>(256, 1)));
    int kept = 0;
    do {
        ASSERT_EQ(endpoint.Receive(buffer, sizeof buffer), 256);
        ++kept;
    } while (endpoint.HasPendingReceives());
    EXPECT_LT(kept, kSent);
    EXPECT_EQ(endpoint.DroppedCount(), 0u) << "nothing queued after the drops yet";

    ASSERT_TRUE(SendDatagram(sender, "127.0.0.1", kPort, std::vector<uint8_t>(256, 1)));
    ASSERT_EQ(endpoint.Receive(buffer, sizeof buffer), 256);
    EXPECT_EQ(endpoint.DroppedCount(), static_cast<uint32_t>(kSent - kept));
    endpoint.Close();
    close(sender);
}

TEST_F(UdpEndpointTest, ReceiveOpenFailuresRecordTheSystemError)
{
    CUDP notLocal;
    EXPECT_EQ(notLocal.Open(ReceiveSettings("10.0.0.5", 1)), -1);
    EXPECT_EQ(notLocal.LastSocketError(), EADDRNOTAVAIL);
    notLocal.Close();

    CUDP notAGroup;  // a local unicast address binds, but cannot be joined
    EXPECT_EQ(notAGroup.Open(ReceiveSettings(TestNetwork::kHostSideIp, 1)), -1);
    EXPECT_EQ(notAGroup.LastSocketError(), EINVAL);
    notAGroup.Close();

    CUDP noMode;
    NW_PROTOCOL_SETTINGS settings = ReceiveSettings("239.255.1.1", 1);
    settings.Mode = 2;
    EXPECT_EQ(noMode.Open(settings), 0);
    EXPECT_EQ(noMode.Send("x", 1), -1) << "no usable socket";
}

TEST_F(UdpEndpointTest, SendReachesAUnicastDestinationFromTheZentaSide)
{
    const int sink = network->OpenSinkSocket(TestNetwork::kSinkIp, kPort);
    ASSERT_GE(sink, 0);
    CUDP endpoint;
    NW_PROTOCOL_SETTINGS settings;
    settings.Mode = 0;
    settings.RemoteIp = TestNetwork::kSinkIp;
    settings.BindIp = TestNetwork::kZentaSideIp;
    settings.Port = htons(kPort);
    ASSERT_EQ(endpoint.Open(settings), 0);

    const std::vector<uint8_t> datagram(512, 0x5A);
    EXPECT_EQ(endpoint.Send(datagram.data(), 512), 512);
    std::vector<uint8_t> received;
    EXPECT_EQ(ReceiveDatagram(sink, received, std::chrono::seconds(2)), 512);
    EXPECT_EQ(received, datagram);
    endpoint.Close();
    close(sink);
}

}  // namespace
