#include "engine/BroadcastEngine.h"
#include "net/Udp.h"
#include "tests/MarketDataBytes.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/NetworkTest.h"
#include "tests/support/TestConfiguration.h"

namespace {

// An NMKT engine in the relay namespace of the test network: fed new-format
// market data from the feed namespace, it sends old-format datagrams to the sink namespace.
class NmktRelayTest : public NetworkTest {
protected:
    // (Re)configures the engine for `segment` and starts it inside the relay namespace.
    bool Start(const char* segment)
    {
        engine.Configure(TestConfiguration(7, "239.3.0.1", 31500, "239.3.0.2", 31600, segment, /*nmkt=*/1));
        network->EnterRelay();  // the relay thread must start inside the relay namespace
        engine.Start();
        network->LeaveRelay();
        return WaitFor([&] { return engine.IsRunning() == 1; });
    }

    CKOVBCastEngine engine{KOV_BCAST_CONFIG{}, nullptr};
};

// The ticker values outlive a stop, a reconfiguration and a new start. (The
// monitor below checks the converted fields, the converter test every byte.)
TEST_F(NmktRelayTest, TickerValuesOutliveAStopAndAReconfiguration)
{
    const int sink = network->OpenSinkSocket("239.3.0.2", 31600);
    ASSERT_GE(sink, 0);
    ASSERT_TRUE(Start("QA"));
    const Bytes openInterest = CompressedMessage(10600, 1, Encoded(TickerOpenInterest{4464, 7000}));
    ASSERT_TRUE(network->Feed("239.3.0.1", 31500, openInterest));
    ASSERT_TRUE(WaitFor([&] { return engine.GetReceivedCount() == 1; }));
    engine.Stop();

    ASSERT_TRUE(Start("QB"));
    EXPECT_TRUE(network->Feed("239.3.0.1", 31500, DepthMessage({DepthQuote{.Token = 4464}})));
    Bytes received;
    ASSERT_EQ(ReceiveDatagram(sink, received, std::chrono::seconds(3)), 512);
    EXPECT_EQ(Hex(received.data(), 1), "02");
    EXPECT_EQ(Hex(received.data() + 56 + 22, 4), "00 00 1B 58");  // open interest 7000
    EXPECT_TRUE(WaitFor([&] { return engine.GetSentCount() == 1u; }));
    engine.Stop();
}

// The operator's check of a live relay: orma-feed in the feed namespace, the
// engine, orma-monitor in the sink namespace.
TEST_F(NmktRelayTest, FeedThroughARelayShowsInTheMonitor)
{
    ASSERT_TRUE(Start("QA"));

    TempDirectory directory;
    ChildProcess monitor({"ip", "netns", "exec", network->SinkNamespace(), ORMA_MONITOR, "--group", "239.3.0.2",
                          "--port", "31600", "--interface", "198.18.1.2", "--count", "3", "--seconds", "10"},
                         directory.Path());
    // It says when it has joined: only then may the feed start.
    ASSERT_TRUE(WaitFor([&] { return monitor.Stdout().starts_with("orma-monitor: listening on 239.3.0.2"); }));
    const std::string feedCommand = "ip netns exec " + network->FeedNamespace() + " " ORMA_FEED
                                    " --group 239.3.0.1 --port 31500 --interface 198.18.0.1 --tokens 4464,2"
                                    " --close 1000 --last 1025 --oi 5000 --flags 22 --count 8 --rate 1000 --step 5"
                                    " --records 1 >/dev/null";
    EXPECT_EQ(std::system(feedCommand.c_str()), 0);
    EXPECT_EQ(monitor.Wait(std::chrono::seconds(15)), 0);
    const std::string output = monitor.Stdout();

    // Each round: prices, open interest, then one depth message a token; the last price moves by 5 a round.
    EXPECT_NE(output.find("stream 4  code 7208  length 466  records 1"), std::string::npos) << output;
    EXPECT_NE(output.find("token 4464  state 2  last 1025  net + 250  oi 5000  close 1000  open 1000  high 1025  low "
                          "1000"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("L0 100@1025 n1 f0"), std::string::npos) << output;
    EXPECT_NE(output.find("token 4464  state 2  last 1030  net + 300"), std::string::npos) << output;
    EXPECT_NE(output.find("orma-monitor: 3 datagrams"), std::string::npos) << output;
    EXPECT_TRUE(WaitFor([&] { return engine.GetSentCount() == 4; }));
    EXPECT_EQ(engine.GetReceivedCount(), 8u);
}

// An engine whose send endpoint records how many datagrams each flush carried.
class FlushRecordingEngine final : public CKOVBCastEngine {
public:
    FlushRecordingEngine(const KOV_BCAST_CONFIG& configuration, CEngineOwner* owner)
        : CKOVBCastEngine(configuration, owner)
    {
        Configure(configuration);  // now with the recording endpoints
    }
    std::vector<int> Flushes;  // written by the relay thread, read after Stop

private:
    class RecordingUdp final : public CUDP {
    public:
        explicit RecordingUdp(std::vector<int>& flushes) : m_flushes(flushes) {}
        SEND_RESULT FlushSends() override
        {
            const SEND_RESULT result = CUDP::FlushSends();
            if (result.Accepted + result.Refused > 0)
                m_flushes.push_back(result.Accepted + result.Refused);
            return result;
        }

    private:
        std::vector<int>& m_flushes;
    };
    std::unique_ptr<CNWProtocol> MakeEndpoint() override { return std::make_unique<RecordingUdp>(Flushes); }
};

// Whatever one datagram turns into leaves in one system call: a full depth
// message (21 datagrams) that does not fit behind what is queued (a batch
// holds 64) goes out after it, in a call of its own.
TEST_F(NmktRelayTest, AFullDepthMessageLeavesInOneCall)
{
    network->EnterRelay();
    // Held at its "Connected" notification, the engine finds everything the
    // feed sent meanwhile in its socket, and takes it as one batch.
    class HeldOwner final : public CEngineOwner {
    public:
        void OnBroadcastState(int) override {}
        void ShowOperatorMessage(const std::string&) override {}
        void PostToOwnerThread(std::function<void()> task) override { Held = std::move(task); }
        std::function<void()> Held;
    } owner;
    FlushRecordingEngine held(TestConfiguration(9, "239.3.0.1", 31500, "239.3.0.2", 31600, "QB", /*nmkt=*/1), &owner);
    held.Start();
    ASSERT_TRUE(WaitFor([&] { return held.GetStatus() == "Connected"; }));
    constexpr int kMessages = 12;
    for (int i = 0; i < kMessages; ++i)
        ASSERT_TRUE(network->Feed("239.3.0.1", 31500, DepthMessage(std::vector<DepthQuote>(42))));
    owner.Held();
    EXPECT_TRUE(WaitFor([&] { return held.GetSentCount() == kMessages * 21u; }));
    held.Stop();
    // However the messages arrived in batches, no call carries part of one.
    ASSERT_FALSE(held.Flushes.empty());
    for (const int flushed : held.Flushes) EXPECT_EQ(flushed % 21, 0) << flushed;
}

}  // namespace
