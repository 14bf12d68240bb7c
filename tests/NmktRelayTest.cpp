#include "engine/BroadcastEngine.h"
#include "tests/MarketDataBytes.h"
#include "tests/support/NetworkTest.h"

namespace {

using NmktRelayTest = NetworkTest;

// An NMKT engine in the relay namespace: new-format datagrams from the feed
// namespace leave as 512-byte 7208 datagrams for the sink namespace, and the
// ticker values outlive a stop, a reconfiguration and a new start.
TEST_F(NmktRelayTest, NewFormatFeedLeavesAsOldFormatDatagrams)
{
    const int sink = network->OpenSinkSocket("239.3.0.2", 31600);
    ASSERT_GE(sink, 0);
    CKOVBCastEngine engine(7, "", "", 0, "", "", "", "", "", 0, "", "", "N", "Y", nullptr);  // configured below
    auto start = [&](const char* segment) {
        engine.Configure(7, segment, "239.3.0.1", 31500, "UDP", "MULTICAST", "239.3.0.2", TestNetwork::kHostSideIp,
                         TestNetwork::kZentaSideIp, 31600, "UDP", "MULTICAST", "N", "Y", nullptr);
        network->EnterRelay();  // the relay thread must start inside the relay namespace
        engine.Start();
        network->LeaveRelay();
        return WaitFor([&] { return engine.IsRunning() == 1; });
    };
    auto send = [&](const Bytes& message) { EXPECT_TRUE(network->Feed("239.3.0.1", 31500, message)); };
    Bytes received;

    ASSERT_TRUE(start("QA"));
    DepthQuote a{.Token = 4464, .LastPrice = 1025}, b{.Token = 2};
    a.Levels[0] = {10, 1025, 3};
    send(CompressedMessage(10750, 1, Encoded(TickerPrices{4464, 990, 1030, 980, 1000})));
    send(CompressedMessage(10600, 1, Encoded(TickerOpenInterest{4464, 7000})));
    send(DepthMessage({a, b}));
    ASSERT_EQ(ReceiveDatagram(sink, received, std::chrono::seconds(3)), 512);
    OldDatagramImage expected(4, true, 2);
    expected.PutRecord(0, {.In = a, .MarketState = 3, .Indicator = '+', .NetChange = 250, .OpenInterest = 7000,
                           .Prices = {1000, 990, 1030, 980}}, true);
    expected.PutRecord(1, {.In = b, .MarketState = 3}, true);
    EXPECT_EQ(Hex(received.data(), received.size()), expected.Text());
    // The relay counts a send after it has left, so the count may lag the datagram.
    EXPECT_TRUE(WaitFor([&] { return engine.GetSentCount() == 1u; }));
    EXPECT_EQ(engine.GetReceivedCount(), 3u);

    engine.Stop();
    ASSERT_TRUE(start("QB"));
    send(DepthMessage({a}));
    ASSERT_EQ(ReceiveDatagram(sink, received, std::chrono::seconds(3)), 512);
    EXPECT_EQ(Hex(received.data(), 1), "02");
    EXPECT_EQ(Hex(received.data() + 56 + 22, 4), "00 00 1B 58");  // open interest 7000
    engine.Stop();
}

}  // namespace
