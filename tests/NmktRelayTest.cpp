#include "engine/BroadcastEngine.h"
#include "tests/NewFormatInput.h"
#include "tests/OldFormatImage.h"
#include "tests/support/TestNetwork.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

constexpr const char* kFeedGroup = "239.3.0.1";
constexpr uint16_t kFeedPort = 31500;
constexpr const char* kSinkGroup = "239.3.0.2";
constexpr uint16_t kSinkPort = 31600;

class NmktRelayTest : public ::testing::Test {
protected:
    std::unique_ptr<TestNetwork> network;
    std::unique_ptr<CKOVBCastEngine> engine;
    int feed = -1;
    int sink = -1;

    void SetUp() override
    {
        std::string why;
        network = TestNetwork::Create(why);
        if (!network)
            GTEST_SKIP() << why;
        feed = network->OpenFeedSocket();
        sink = network->OpenSinkSocket(kSinkGroup, kSinkPort);
        ASSERT_GE(feed, 0);
        ASSERT_GE(sink, 0);
        engine = std::make_unique<CKOVBCastEngine>(
            7, "QA", kFeedGroup, kFeedPort, "UDP", "MULTICAST", kSinkGroup, TestNetwork::kHostSideIp,
            TestNetwork::kZentaSideIp, kSinkPort, "UDP", "MULTICAST", "N", "Y", nullptr);
    }

    void TearDown() override
    {
        engine.reset();
        for (const int socket : {feed, sink})
            if (socket >= 0)
                close(socket);
    }

    void Reconfigure(const char* segment)
    {
        engine->Configure(7, segment, kFeedGroup, kFeedPort, "UDP", "MULTICAST", kSinkGroup,
                          TestNetwork::kHostSideIp, TestNetwork::kZentaSideIp, kSinkPort, "UDP", "MULTICAST", "N",
                          "Y", nullptr);
    }

    // The relay thread must start inside the relay namespace.
    void StartEngine()
    {
        network->EnterRelay();
        engine->Start();
        network->LeaveRelay();
        ASSERT_TRUE(WaitFor([this] { return engine->IsRunning() == 1; }));
    }

    void Send(const Bytes& message) { ASSERT_TRUE(SendDatagram(feed, kFeedGroup, kFeedPort, message)); }

    Bytes Receive()
    {
        Bytes datagram;
        ReceiveDatagram(sink, datagram, std::chrono::seconds(3));
        return datagram;
    }
};

Bytes DepthMessage(std::initializer_list<DepthInput> records)
{
    Bytes raw;
    for (const DepthInput& record : records)
        raw = Concat({raw, Encode(record)});
    return CompressedMessage(10500, static_cast<int16_t>(records.size()), raw);
}

TEST_F(NmktRelayTest, NewFormatFeedLeavesAsOldFormatDatagrams)
{
    StartEngine();
    DepthInput a, b, c;
    a.Token = 4464;
    a.LastPrice = 1025;
    a.Levels[0] = {10, 1025, 3};
    b.Token = 2;
    c.Token = 3;

    Send(CompressedMessage(10750, 1, PriceRecord(4464, 990, 1030, 980, 1000)));
    Send(DepthMessage({a, b, c}));
    const Bytes first = Receive();
    const Bytes second = Receive();

    OldDatagramImage expected(4, true, 2);
    OldRecord record = CopiedFields(a);
    record.MarketState = 3;
    record.ClosePrice = 1000;
    record.OpenPrice = 990;
    record.HighPrice = 1030;
    record.LowPrice = 980;
    record.Indicator = '+';
    record.NetChange = 250;
    expected.PutQaRecord(0, record);
    OldRecord other = CopiedFields(b);
    other.MarketState = 3;
    expected.PutQaRecord(1, other);
    EXPECT_TRUE(SameBytes(first.data(), first.size(), expected));
    ASSERT_EQ(second.size(), 512u);
    EXPECT_EQ(Hex(second.data() + 52, 6), "01 D2 00 01 00 03");

    // Neither an old-format datagram nor anything else comes through.
    Bytes oldFormat(512, 0);
    oldFormat[0] = 0x1C;
    oldFormat[1] = 0x28;
    Send(oldFormat);
    Send(Bytes(100, 0x41));
    Send(DepthMessage({c}));
    const Bytes third = Receive();
    ASSERT_EQ(third.size(), 512u);
    EXPECT_EQ(Hex(third.data() + 54, 4), "00 01 00 03");
    // The relay counts a send after it has left, so the count may lag the datagram.
    EXPECT_TRUE(WaitFor([this] { return engine->GetSentCount() == 3u; }));
    EXPECT_EQ(engine->GetReceivedCount(), 3u);
}

TEST_F(NmktRelayTest, TickerValuesOutliveStopAndReconfiguration)
{
    StartEngine();
    Send(CompressedMessage(10600, 1, OpenInterestRecord(4464, 7000)));
    ASSERT_TRUE(WaitFor([this] { return engine->GetReceivedCount() == 1; }));
    engine->Stop();
    Reconfigure("QB");
    StartEngine();

    DepthInput a;
    a.Token = 4464;
    Send(DepthMessage({a}));
    const Bytes datagram = Receive();
    ASSERT_EQ(datagram.size(), 512u);
    EXPECT_EQ(Hex(datagram.data(), 1), "02");
    EXPECT_EQ(Hex(datagram.data() + 56 + 22, 4), "00 00 1B 58");  // open interest 7000
    EXPECT_TRUE(WaitFor([this] { return engine->GetSentCount() == 1u; }));
    EXPECT_EQ(engine->GetReceivedCount(), 1u);
}

}  // namespace
