#include "engine/BroadcastEngine.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/NetworkTest.h"

namespace {

using MarketDataToolsTest = NetworkTest;

// The operator's check of a live relay: orma-feed in the feed namespace,
// an NMKT engine in the relay namespace, orma-monitor in the sink namespace.
TEST_F(MarketDataToolsTest, FeedThroughARelayShowsInTheMonitor)
{
    CKOVBCastEngine engine(3, "QA", "239.3.1.1", 32500, "UDP", "MULTICAST", "239.3.1.2", TestNetwork::kHostSideIp,
                           TestNetwork::kZentaSideIp, 32600, "UDP", "MULTICAST", "N", "Y", nullptr);
    network->EnterRelay();
    engine.Start();
    network->LeaveRelay();
    ASSERT_TRUE(WaitFor([&] { return engine.IsRunning() == 1; }));

    TempDirectory directory;
    ChildProcess monitor({"ip", "netns", "exec", network->SinkNamespace(), ORMA_MONITOR, "--group", "239.3.1.2",
                          "--port", "32600", "--interface", "198.18.1.2", "--count", "3", "--seconds", "10"},
                         directory.Path());
    // It says when it has joined: only then may the feed start.
    ASSERT_TRUE(WaitFor([&] { return monitor.Stdout().starts_with("orma-monitor: listening on 239.3.1.2 port 32600"); }));
    const std::string feedCommand = "ip netns exec " + network->FeedNamespace() + " " ORMA_FEED
                                    " --group 239.3.1.1 --port 32500 --interface 198.18.0.1 --tokens 4464,2"
                                    " --close 1000 --last 1025 --oi 5000 --flags 22 --count 8 --rate 1000 --step 5 --records 1 >/dev/null";
    EXPECT_EQ(std::system(feedCommand.c_str()), 0);
    EXPECT_EQ(monitor.Wait(std::chrono::seconds(15)), 0);
    const std::string output = monitor.Stdout();

    // Each round: prices, open interest, then one depth message a token; the last price moves by 5 a round.
    EXPECT_NE(output.find("stream 4  code 7208  length 466  records 1"), std::string::npos) << output;
    EXPECT_NE(output.find("token 4464  state 2  last 1025  net + 250  oi 5000  close 1000  open 1000  high 1025  low 1000"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("L0 100@1025 n1 f0"), std::string::npos) << output;
    EXPECT_NE(output.find("token 4464  state 2  last 1030  net + 300"), std::string::npos) << output;
    EXPECT_NE(output.find("orma-monitor: 3 datagrams"), std::string::npos) << output;
    EXPECT_TRUE(WaitFor([&] { return engine.GetSentCount() == 4; }));
    EXPECT_EQ(engine.GetReceivedCount(), 8u);
}

}  // namespace
