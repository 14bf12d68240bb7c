#include "engine/BroadcastEngine.h"
#include "log/EventLog.h"
#include "tests/support/RecordingOwner.h"
#include "tests/support/TempDirectory.h"
#include "tests/support/TestNetwork.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>

namespace {

using namespace std::chrono_literals;

constexpr const char* kGroupA = "239.255.10.1";
constexpr const char* kGroupB = "239.255.10.2";
constexpr const char* kOutA = "239.255.20.1";
constexpr const char* kOutB = "239.255.20.2";
constexpr uint16_t kInPort = 34001;
constexpr uint16_t kOutPort = 34002;

std::vector<uint8_t> Pattern(size_t size, uint8_t seed)
{
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>(seed + i);
    return bytes;
}

class BroadcastEngineTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why;
        network = TestNetwork::Create(why);
        if (!network)
            GTEST_SKIP() << why;
        network->EnterRelay();
        feed = network->OpenFeedSocket();
        g_pEventLog = CEventLog::GetInstance();
        g_pEventLog->SetLogDirectory(logDirectory.Path());
    }
    void TearDown() override
    {
        g_pEventLog = nullptr;
        CEventLog::GetInstance()->SetLogDirectory(".");
        CEventLog::GetInstance()->SetClock(nullptr);
        if (feed >= 0)
            close(feed);
        for (const int sink : sinks)
            close(sink);
    }

    std::unique_ptr<CKOVBCastEngine> MakeEngine(int id, const char* group, const char* out,
                                                uint16_t outPort = kOutPort, const char* segment = "QA",
                                                const char* zentaSideIp = TestNetwork::kZentaSideIp)
    {
        return std::make_unique<CKOVBCastEngine>(id, segment, group, kInPort, "UDP", "MULTICAST", out,
                                                 TestNetwork::kHostSideIp, zentaSideIp, outPort, "UDP", "MULTICAST",
                                                 "N", "N", &owner);
    }
    int Sink(const char* group, uint16_t port = kOutPort)
    {
        const int sink = network->OpenSinkSocket(group, port);
        sinks.push_back(sink);
        return sink;
    }
    bool Feed(const char* group, const std::vector<uint8_t>& datagram)
    {
        return SendDatagram(feed, group, kInPort, datagram);
    }
    static bool WaitForStatus(CKOVBCastEngine& engine, const std::string& status)
    {
        return WaitFor([&] { return engine.GetStatus() == status; });
    }
    std::string LogText() { return ReadFile(logDirectory.File(CEventLog::GetInstance()->GetLogFileName())); }

    std::unique_ptr<TestNetwork> network;
    TempDirectory logDirectory;
    RecordingOwner owner;
    int feed = -1;
    std::vector<int> sinks;
};

TEST_F(BroadcastEngineTest, RelaysEveryDatagramAsExactly512Bytes)
{
    const int sink = Sink(kOutA);
    auto engine = MakeEngine(1, kGroupA, kOutA);
    EXPECT_EQ(engine->GetStatus(), "Not Running");
    engine->Start();
    ASSERT_TRUE(WaitForStatus(*engine, "Connected"));
    EXPECT_EQ(engine->IsRunning(), 1);
    EXPECT_EQ(owner.States(), std::vector<int>{1});

    std::vector<uint8_t> out;
    const std::vector<uint8_t> long600 = Pattern(600, 1);
    ASSERT_TRUE(Feed(kGroupA, long600));
    ASSERT_EQ(ReceiveDatagram(sink, out, 2s), 512);
    EXPECT_EQ(out, std::vector<uint8_t>(long600.begin(), long600.begin() + 512)) << "cut to the first 512 bytes";
    EXPECT_EQ(engine->GetStatus(), "Running");

    // Shorter after longer: nothing of the earlier datagram may show behind it.
    ASSERT_TRUE(Feed(kGroupA, std::vector<uint8_t>(100, 0xAB)));
    ASSERT_EQ(ReceiveDatagram(sink, out, 2s), 512);
    std::vector<uint8_t> padded(512, 0);
    std::fill_n(padded.begin(), 100, 0xAB);
    EXPECT_EQ(out, padded);

    ASSERT_TRUE(Feed(kGroupA, Pattern(3000, 9)));  // longer than the receive buffer: dropped
    ASSERT_TRUE(Feed(kGroupA, {}));
    ASSERT_EQ(ReceiveDatagram(sink, out, 2s), 512);
    EXPECT_EQ(out, std::vector<uint8_t>(512, 0)) << "an empty datagram is relayed as 512 zeros";
    EXPECT_EQ(ReceiveDatagram(sink, out, 200ms), -1);

    EXPECT_TRUE(WaitFor([&] { return engine->GetSentCount() == 3; }));
    EXPECT_EQ(engine->GetReceivedCount(), 3u);
    engine->Stop();
}

TEST_F(BroadcastEngineTest, StopEndsABlockedRelayAndAStartOpensNewSockets)
{
    const int sink = Sink(kOutA);
    auto engine = MakeEngine(2, kGroupA, kOutA);
    engine->Start();
    ASSERT_TRUE(WaitForStatus(*engine, "Connected"));
    ASSERT_TRUE(Feed(kGroupA, Pattern(64, 0)));
    std::vector<uint8_t> out;
    ASSERT_EQ(ReceiveDatagram(sink, out, 2s), 512);

    ASSERT_TRUE(WaitFor([&] { return engine->GetSentCount() == 1; }));
    engine->Stop();  // the relay thread is blocked in a receive
    EXPECT_EQ(engine->GetStatus(), "Stopped");
    EXPECT_EQ(engine->IsRunning(), 0);
    EXPECT_EQ(owner.States(), (std::vector<int>{2, 2}));

    ASSERT_TRUE(Feed(kGroupA, Pattern(64, 0)));
    EXPECT_EQ(ReceiveDatagram(sink, out, 200ms), -1);
    EXPECT_EQ(engine->GetReceivedCount(), 1u);
    EXPECT_EQ(engine->GetSentCount(), 1u);

    engine->Start();
    ASSERT_TRUE(WaitForStatus(*engine, "Connected"));
    ASSERT_TRUE(Feed(kGroupA, Pattern(64, 0)));
    EXPECT_EQ(ReceiveDatagram(sink, out, 2s), 512);
    EXPECT_TRUE(WaitFor([&] { return engine->GetSentCount() == 2; }));
    engine->Stop();
}

TEST_F(BroadcastEngineTest, StartWritesItsSocketLinesExactly)
{
    setenv("TZ", "UTC", 1);
    tzset();
    CEventLog::GetInstance()->SetClock([] { return std::time_t{1796428799}; });  // 23:59:59 UTC
    auto engine = MakeEngine(1, kGroupA, kOutA);
    engine->Start();
    ASSERT_TRUE(WaitForStatus(*engine, "Connected"));
    engine->Stop();
    EXPECT_EQ(LogText(),
              "23:59:59 Config ID 1 Receive Socket Created Successfully. IP: 239.255.10.1, Port: 34001, Retval: 0 \n"
              "23:59:59 Config ID 1 Send Socket Created Successfully. IP: 239.255.20.1, Port: 34002, Retval: 0 \n"
              "23:59:59 Config ID 1 has been Started successfully.\n");
}

TEST_F(BroadcastEngineTest, ReceiveFailuresShowTheErrorAndLogTheSystemCode)
{
    // Not a local address at all, and a local address that is not a group.
    auto notLocal = MakeEngine(7, "10.0.0.5", kOutA);
    auto notAGroup = MakeEngine(8, TestNetwork::kHostSideIp, kOutA);
    notLocal->Start();
    notAGroup->Start();
    ASSERT_TRUE(WaitFor([&] { return LogText().find("Config ID 8 Error") != std::string::npos; }));
    ASSERT_TRUE(WaitFor([&] { return LogText().find("Config ID 7 Error") != std::string::npos; }));

    EXPECT_EQ(notLocal->GetStatus(), "Receive Connect Error");
    EXPECT_EQ(notLocal->IsRunning(), 0);
    EXPECT_EQ(owner.Messages(), (std::vector<std::string>(2, "Can't initialize receiving socket....")));
    const std::string log = LogText();
    EXPECT_TRUE(std::regex_search(
        log, std::regex("\\d\\d:\\d\\d:\\d\\d Config ID 7 Error in Receive Socket\\. IP: 10\\.0\\.0\\.5, Port: 34001, "
                        "Retval: " +
                        std::to_string(EADDRNOTAVAIL) + " \n")));
    EXPECT_TRUE(std::regex_search(log, std::regex("Config ID 8 Error in Receive Socket\\. IP: 198\\.18\\.0\\.2, "
                                                  "Port: 34001, Retval: " +
                                                  std::to_string(EINVAL) + " \n")));
    EXPECT_EQ(log.find("Started"), std::string::npos);
}

TEST_F(BroadcastEngineTest, SendFailureShowsItsErrorAfterLoggingIt)
{
    auto engine = MakeEngine(3, kGroupA, kOutA, kOutPort, "QA", "198.18.9.9");
    engine->Start();
    ASSERT_TRUE(WaitFor([&] { return !owner.Messages().empty(); }));
    EXPECT_EQ(owner.Messages(), std::vector<std::string>{"Can't initialize sending socket...."});
    EXPECT_EQ(engine->GetStatus(), "Send Connect Error");
    const std::string log = LogText();
    EXPECT_NE(log.find("Config ID 3 Receive Socket Created Successfully."), std::string::npos);
    EXPECT_NE(log.find("Config ID 3 Error in Send Socket. IP: 239.255.20.1, Port: 34002, Retval: " +
                       std::to_string(EADDRNOTAVAIL) + " \n"),
              std::string::npos);
    engine->Stop();
    EXPECT_EQ(engine->GetStatus(), "Stopped");
}

TEST_F(BroadcastEngineTest, ConfigurationsOnOnePortSeeOnlyTheirOwnGroup)
{
    const int sinkA = Sink(kOutA);
    const int sinkB = Sink(kOutB);
    auto a = MakeEngine(1, kGroupA, kOutA);
    auto b = MakeEngine(2, kGroupB, kOutB);
    a->Start();
    b->Start();
    ASSERT_TRUE(WaitForStatus(*a, "Connected") && WaitForStatus(*b, "Connected"));

    ASSERT_TRUE(Feed(kGroupA, Pattern(10, 1)));
    for (int i = 0; i < 2; ++i)
        ASSERT_TRUE(Feed(kGroupB, Pattern(10, 2)));
    std::vector<uint8_t> out;
    EXPECT_EQ(ReceiveDatagram(sinkA, out, 2s), 512);
    EXPECT_EQ(ReceiveDatagram(sinkB, out, 2s), 512);
    EXPECT_EQ(ReceiveDatagram(sinkB, out, 2s), 512);
    EXPECT_EQ(ReceiveDatagram(sinkA, out, 200ms), -1);
    EXPECT_TRUE(WaitFor([&] { return b->GetSentCount() == 2; }));
    EXPECT_EQ(a->GetReceivedCount(), 1u);
    EXPECT_EQ(b->GetReceivedCount(), 2u);
}

TEST_F(BroadcastEngineTest, ConfigurationsShareAGroupAndASendingPort)
{
    const int sink = Sink(kOutA);
    auto a = MakeEngine(1, kGroupA, kOutA);
    auto b = MakeEngine(2, kGroupA, kOutA);  // same segment, same sending port
    a->Start();
    b->Start();
    ASSERT_TRUE(WaitForStatus(*a, "Connected") && WaitForStatus(*b, "Connected"));

    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(Feed(kGroupA, Pattern(10, 3)));
    std::vector<uint8_t> out;
    for (int i = 0; i < 6; ++i)
        ASSERT_EQ(ReceiveDatagram(sink, out, 2s), 512) << "datagram " << i;
    EXPECT_TRUE(WaitFor([&] { return a->GetSentCount() == 3 && b->GetSentCount() == 3; }));
}

// The owner's thread waits for a relay thread that waits for the owner:
// the wait must run the relay thread's call instead of deadlocking.
TEST_F(BroadcastEngineTest, OwnerWaitingForTheRelayThreadRunsItsPendingCall)
{
    RecordingOwner busyWindow(/*deliverInline=*/false);
    auto engine = std::make_unique<CKOVBCastEngine>(5, "QA", kGroupA, kInPort, "UDP", "MULTICAST", kOutA,
                                                    TestNetwork::kHostSideIp, TestNetwork::kZentaSideIp, kOutPort,
                                                    "UDP", "MULTICAST", "N", "N", &busyWindow);
    engine->Start();
    ASSERT_TRUE(WaitForStatus(*engine, "Connected"));  // its notification now waits for this thread
    engine->Stop();
    EXPECT_EQ(busyWindow.States(), (std::vector<int>{5, 5}));
    for (const std::thread::id id : busyWindow.CallThreads())
        EXPECT_EQ(id, std::this_thread::get_id()) << "owner calls run on the owner's thread";

    engine->Start();
    ASSERT_TRUE(WaitForStatus(*engine, "Connected"));
    engine.reset();  // the destructor waits the same way
    busyWindow.RunPosted();  // deliveries that arrive after the engine is gone find nothing to do
    EXPECT_EQ(busyWindow.States().size(), 3u);
}

TEST_F(BroadcastEngineTest, AStartWhileAStartIsPendingIsIgnored)
{
    RecordingOwner busyWindow(/*deliverInline=*/false);
    auto engine = std::make_unique<CKOVBCastEngine>(6, "QA", "10.0.0.5", kInPort, "UDP", "MULTICAST", kOutA,
                                                    TestNetwork::kHostSideIp, TestNetwork::kZentaSideIp, kOutPort,
                                                    "UDP", "MULTICAST", "N", "N", &busyWindow);
    engine->Start();
    ASSERT_TRUE(WaitForStatus(*engine, "Receive Connect Error"));  // its message now waits for this thread
    engine->Start();
    engine->Start();
    busyWindow.RunPosted();
    EXPECT_EQ(busyWindow.Messages().size(), 1u);

    // Once that thread has ended, a start tries again.
    ASSERT_TRUE(WaitFor([&] {
        engine->Start();
        busyWindow.RunPosted();
        return busyWindow.Messages().size() == 2;
    }));
    // Reconfiguring waits for the relay thread, running its message meanwhile.
    engine->Start();
    engine->Configure(6, "QA", kGroupA, kInPort, "UDP", "MULTICAST", kOutA, TestNetwork::kHostSideIp,
                      TestNetwork::kZentaSideIp, kOutPort, "UDP", "MULTICAST", "N", "N", &busyWindow);
    EXPECT_GE(busyWindow.Messages().size(), 2u);
    EXPECT_EQ(engine->GetStatus(), "Not Running");
}

// Holds a started engine at its "Connected" notification, so that what the
// feed sends meanwhile waits in the socket and arrives as one batch.
class HeldEngine {
public:
    HeldEngine(int id, const char* group, const char* out)
        : engine(id, "QA", group, kInPort, "UDP", "MULTICAST", out, TestNetwork::kHostSideIp,
                 TestNetwork::kZentaSideIp, kOutPort, "UDP", "MULTICAST", "N", "N", &window)
    {
        engine.Start();
    }
    bool Held() { return WaitFor([&] { return engine.GetStatus() == "Connected"; }); }
    void Release() { window.RunPosted(); }

    RecordingOwner window{/*deliverInline=*/false};
    CKOVBCastEngine engine;
};

TEST_F(BroadcastEngineTest, APartlyAcceptedBatchCountsOnlyTheAcceptedDatagrams)
{
    // The relay namespace refuses every second datagram the relay sends.
    const std::string nft = "ip netns exec " + network->RelayNamespace() + " nft ";
    ASSERT_EQ(std::system((nft + "add table ip relaytest").c_str()), 0) << "needs nft";
    ASSERT_EQ(std::system((nft + "'add chain ip relaytest out { type filter hook output priority 0; }'").c_str()), 0);
    ASSERT_EQ(std::system((nft + "add rule ip relaytest out udp dport 34002 numgen inc mod 2 == 1 drop").c_str()), 0);

    const int sink = Sink(kOutA);
    HeldEngine held(9, kGroupA, kOutA);
    ASSERT_TRUE(held.Held());
    constexpr int kSent = 40;
    for (int i = 0; i < kSent; ++i)
        ASSERT_TRUE(Feed(kGroupA, std::vector<uint8_t>(16, static_cast<uint8_t>(i))));
    held.Release();

    std::vector<uint8_t> out;
    for (int i = 0; i < kSent; i += 2) {
        ASSERT_EQ(ReceiveDatagram(sink, out, 2s), 512);
        EXPECT_EQ(out[0], i) << "the refused ones are skipped, the rest keep their order";
    }
    EXPECT_EQ(ReceiveDatagram(sink, out, 200ms), -1);
    EXPECT_TRUE(WaitFor([&] { return held.engine.GetReceivedCount() == kSent; }));
    EXPECT_EQ(held.engine.GetSentCount(), kSent / 2u);
}

TEST_F(BroadcastEngineTest, CountsTheDatagramsTheKernelDroppedForAFullBuffer)
{
    HeldEngine held(10, kGroupA, kOutA);
    ASSERT_TRUE(held.Held());
    constexpr int kFlood = 10000;  // far more than its receive buffer holds
    for (int i = 0; i < kFlood; ++i)
        ASSERT_TRUE(Feed(kGroupA, Pattern(256, 0)));
    held.Release();
    ASSERT_TRUE(WaitFor([&] { return held.engine.GetStatus() == "Running"; }));

    // A drop is reported with the next datagram the socket queues after it.
    uint32_t received = 0;
    ASSERT_TRUE(WaitFor([&] {
        const uint32_t now = held.engine.GetReceivedCount();
        std::this_thread::sleep_for(20ms);
        received = held.engine.GetReceivedCount();
        return now == received;
    }));
    ASSERT_TRUE(Feed(kGroupA, Pattern(256, 0)));
    ASSERT_TRUE(WaitFor([&] { return held.engine.GetReceivedCount() == received + 1; }));
    EXPECT_GT(held.engine.GetDroppedCount(), 0u);
    EXPECT_EQ(held.engine.GetDroppedCount() + held.engine.GetReceivedCount(), kFlood + 1u);
}

TEST(BroadcastEngineConfigureTest, NormalisesProtocolsCastTypesAndFlags)
{
    CKOVBCastEngine engine(4, "QB", "239.1.1.1", 100, "TCP", "UNICAST", "10.1.1.1", "198.18.0.2", "198.18.1.1", 200,
                           "TCP", "UNICAST", "y", "Y", nullptr);
    EXPECT_STREQ(engine.ReceiveProtocol, "UDP");
    EXPECT_STREQ(engine.SendProtocol, "UDP");
    EXPECT_EQ(engine.ReceiveMulticast, 1);
    EXPECT_EQ(engine.SendMulticast, 1);
    EXPECT_EQ(engine.ArchiveFlag, 0) << "only an exact Y sets a flag";
    EXPECT_EQ(engine.NmktFlag, 1);
    EXPECT_STREQ(engine.SendIp, "10.1.1.1");
    EXPECT_EQ(engine.GetStatus(), "Not Running");
    EXPECT_EQ(engine.GetReceivedCount(), 0u);

    EXPECT_EQ(CKOVBCastEngine::NextSentCount(4294967295u), 1u) << "the count after 4294967295 is 1";
    EXPECT_EQ(CKOVBCastEngine::NextSentCount(0), 1u);
}

}  // namespace
