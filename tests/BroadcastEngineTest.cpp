// Engines relaying in the test network's relay namespace: as they are
// and, with NMKT on, converting (the bytes: MarketDataConverterTest).
#include "engine/BroadcastEngine.h"
#include "log/EventLog.h"
#include "net/Udp.h"
#include "tests/MarketDataBytes.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/NetworkTest.h"
#include "tests/support/TempSettingsStore.h"
#include "tests/support/TestConfiguration.h"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <numeric>
#include <thread>
#include <utility>

namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

// Groups fed on kInPort, and groups sent to on kOutPort.
constexpr const char *kGroupA = "239.255.10.1", *kGroupB = "239.255.10.2";
constexpr const char *kOutA = "239.255.20.1", *kOutB = "239.255.20.2";
constexpr uint16_t kInPort = 34001, kOutPort = 34002;

// An engine owner that records what it is told ("state 5" or the message).
// With `deliverInline` the relay thread's calls run at once; otherwise they
// wait in a queue until the test runs them (or the engine's own waits do),
// as a busy window would, and a call that runs off the owner's thread says so.
class RecordingOwner final : public CEngineOwner {
public:
    explicit RecordingOwner(bool deliverInline = true) : m_deliverInline(deliverInline) {}

    void OnBroadcastState(int configId) override { Record("state " + std::to_string(configId)); }
    void ShowOperatorMessage(const std::string& text) override { Record(text); }
    void PostToOwnerThread(std::function<void()> task) override
    {
        if (m_deliverInline)
            return task();
        std::lock_guard lock(m_mutex);
        m_posted.push_back(std::move(task));
    }
    // Runs the queued deliveries on the calling thread.
    void RunPosted()
    {
        std::unique_lock lock(m_mutex);
        auto posted = std::exchange(m_posted, {});
        lock.unlock();
        for (auto& task : posted) task();
    }
    Strings Calls()
    {
        std::lock_guard lock(m_mutex);
        return m_calls;
    }

private:
    void Record(const std::string& call)
    {
        const bool offOwnerThread = !m_deliverInline && std::this_thread::get_id() != m_ownerThread;
        std::lock_guard lock(m_mutex);
        m_calls.push_back(call + (offOwnerThread ? " off the owner's thread" : ""));
    }

    const bool m_deliverInline;
    const std::thread::id m_ownerThread = std::this_thread::get_id();
    std::mutex m_mutex;
    Strings m_calls;
    std::vector<std::function<void()>> m_posted;
};

// Engines on the relay namespace's two interfaces, logging to a folder of the test's own.
class BroadcastEngineTest : public NetworkTest {
protected:
    void SetUp() override
    {
        NetworkTest::SetUp();
        if (!IsSkipped())
            network->EnterRelay();
    }
    std::unique_ptr<CKOVBCastEngine> MakeEngine(int id, const char* group, const char* out,
                                                CEngineOwner* window = nullptr,
                                                const char* zentaSideIp = TestNetwork::kZentaSideIp)
    {
        KOV_BCAST_CONFIG configuration = TestConfiguration(id, group, kInPort, out, kOutPort);
        configuration.ZentaSideIp = zentaSideIp;
        return std::make_unique<CKOVBCastEngine>(configuration, window ? window : &owner);
    }
    static KOV_BCAST_CONFIG Nmkt(int id, const char* segment)
    {
        return TestConfiguration(id, kGroupA, kInPort, kOutA, kOutPort, segment, /*nmkt=*/1);
    }
    int Sink(const char* group) { return network->OpenSinkSocket(group, kOutPort); }
    bool Feed(const char* group, const Bytes& datagram) { return network->Feed(group, kInPort, datagram); }
    static bool WaitForStatus(CKOVBCastEngine& engine, const std::string& status)
    {
        return WaitFor([&] { return engine.GetStatus() == status; });
    }

    TempSettingsStore store;
    RecordingOwner owner;
};

TEST_F(BroadcastEngineTest, RelaysEveryDatagramAsExactly512BytesAndStopsWhileBlocked)
{
    setenv("TZ", "UTC", 1);
    tzset();
    g_pEventLog->SetClock([] { return std::time_t{1796428799}; });  // 23:59:59 UTC
    const int sink = Sink(kOutA);
    auto engine = MakeEngine(1, kGroupA, kOutA);
    EXPECT_EQ(engine->GetStatus(), "Not Running");
    engine->Start();
    ASSERT_TRUE(WaitForStatus(*engine, "Connected"));
    EXPECT_EQ(engine->IsRunning(), 1);

    Bytes out;
    Bytes long600(600);
    std::iota(long600.begin(), long600.end(), 1);
    ASSERT_TRUE(Feed(kGroupA, long600));
    ASSERT_EQ(ReceiveDatagram(sink, out, 2s), 512);
    EXPECT_EQ(out, Bytes(long600.begin(), long600.begin() + 512)) << "cut to the first 512 bytes";
    EXPECT_EQ(engine->GetStatus(), "Running");

    // Shorter after longer: nothing of the earlier datagram may show behind it.
    ASSERT_TRUE(Feed(kGroupA, Bytes(100, 0xAB)));
    ASSERT_EQ(ReceiveDatagram(sink, out, 2s), 512);
    Bytes padded(512, 0);
    std::fill_n(padded.begin(), 100, 0xAB);
    EXPECT_EQ(out, padded);

    ASSERT_TRUE(Feed(kGroupA, Bytes(3000, 9)));  // longer than the receive buffer: dropped
    ASSERT_TRUE(Feed(kGroupA, {}));
    ASSERT_EQ(ReceiveDatagram(sink, out, 2s), 512);
    EXPECT_EQ(out, Bytes(512, 0)) << "an empty datagram is relayed as 512 zeros";
    EXPECT_EQ(ReceiveDatagram(sink, out, 200ms), -1);

    EXPECT_TRUE(WaitFor([&] { return engine->GetSentCount() == 3; }));
    EXPECT_EQ(engine->GetReceivedCount(), 3u);
    engine->Stop();  // the relay thread is blocked in a receive
    EXPECT_EQ(engine->GetStatus(), "Stopped");
    EXPECT_EQ(engine->IsRunning(), 0);
    EXPECT_EQ(store.LogText(),
              "23:59:59 Config ID 1 Receive Socket Created Successfully. IP: 239.255.10.1, Port: 34001, Retval: 0 \n"
              "23:59:59 Config ID 1 Send Socket Created Successfully. IP: 239.255.20.1, Port: 34002, Retval: 0 \n"
              "23:59:59 Config ID 1 has been Started successfully.\n");

    // After Stop returns no counter moves (a new start: AStopWhileTheEndpointsOpenWins).
    ASSERT_TRUE(Feed(kGroupA, Bytes(64, 0)));
    EXPECT_EQ(ReceiveDatagram(sink, out, 200ms), -1);
    EXPECT_EQ(engine->GetReceivedCount(), 3u);
    EXPECT_EQ(owner.Calls(), Strings(2, "state 1"));
}

TEST_F(BroadcastEngineTest, StartFailuresShowTheirErrorAndLogTheSystemCode)
{
    // Not a local address at all, a local address that is not a group, no such ZENTA-side address.
    auto notLocal = MakeEngine(7, "10.0.0.5", kOutA);
    auto notAGroup = MakeEngine(8, TestNetwork::kHostSideIp, kOutA);
    auto noZentaSide = MakeEngine(3, kGroupA, kOutA, nullptr, "198.18.9.9");
    for (CKOVBCastEngine* engine : {notLocal.get(), notAGroup.get(), noZentaSide.get()}) engine->Start();
    const std::string notAvailable = std::to_string(EADDRNOTAVAIL);
    for (const std::string& line :
         Strings{"Config ID 7 Error in Receive Socket. IP: 10.0.0.5, Port: 34001, Retval: " + notAvailable,
                 "Config ID 8 Error in Receive Socket. IP: 198.18.0.2, Port: 34001, Retval: " + std::to_string(EINVAL),
                 "Config ID 3 Receive Socket Created Successfully. IP: 239.255.10.1, Port: 34001, Retval: 0",
                 "Config ID 3 Error in Send Socket. IP: 239.255.20.1, Port: 34002, Retval: " + notAvailable})
        EXPECT_TRUE(WaitFor([&] { return store.LogText().find(line + " \n") != std::string::npos; })) << line;
    ASSERT_TRUE(WaitFor([&] { return owner.Calls().size() == 3; }));
    Strings messages = owner.Calls();
    std::sort(messages.begin(), messages.end());
    EXPECT_EQ(messages, (Strings{"Can't initialize receiving socket....", "Can't initialize receiving socket....",
                                 "Can't initialize sending socket...."}));
    EXPECT_EQ(notLocal->GetStatus(), "Receive Connect Error");
    EXPECT_EQ(notLocal->GetStatusReason(), std::strerror(EADDRNOTAVAIL));
    EXPECT_EQ(notLocal->IsRunning(), 0);
    EXPECT_EQ(noZentaSide->GetStatus(), "Send Connect Error");
    EXPECT_EQ(noZentaSide->GetStatusReason(), std::strerror(EADDRNOTAVAIL));
    EXPECT_EQ(store.LogText().find("Started"), std::string::npos);
    noZentaSide->Stop();
    EXPECT_EQ(noZentaSide->GetStatus(), "Stopped");
    EXPECT_EQ(noZentaSide->GetStatusReason(), "");
}

// A polling relay thread never sleeps in the kernel, yet relays as a
// blocking one does and ends at once when stopped.
TEST_F(BroadcastEngineTest, APollingRelayRelaysAndStops)
{
    const int sink = Sink(kOutA);
    auto engine = MakeEngine(3, kGroupA, kOutA);
    engine->SetRelayOptions({.Polling = true});
    engine->Start();
    ASSERT_TRUE(WaitForStatus(*engine, "Connected"));
    ASSERT_TRUE(Feed(kGroupA, Bytes(600, 7)));
    ASSERT_TRUE(Feed(kGroupA, Bytes(10, 8)));
    Bytes out;
    ASSERT_EQ(ReceiveDatagram(sink, out, 2s), 512);
    EXPECT_EQ(out, Bytes(512, 7));
    ASSERT_EQ(ReceiveDatagram(sink, out, 2s), 512);
    Bytes padded(512, 0);
    std::fill_n(padded.begin(), 10, 8);
    EXPECT_EQ(out, padded);
    engine->Stop();
    EXPECT_EQ(engine->GetStatus(), "Stopped");
    EXPECT_FALSE(engine->HasRelayThread());
    EXPECT_EQ(store.CountLogLines("Config ID 3 polls for datagrams on any CPU."), 1);
}

// A Stop that comes while the relay thread opens its endpoints wins: the
// engine never runs after it, and a later Start opens afresh.
TEST_F(BroadcastEngineTest, AStopWhileTheEndpointsOpenWins)
{
    // The relay thread's first log line (receive socket open, send socket
    // not yet) waits until the stop is under way.
    std::atomic<bool> opening{false}, release{false};
    const std::thread::id testThread = std::this_thread::get_id();
    g_pEventLog->SetClock([&] {
        if (std::this_thread::get_id() != testThread && !release) {
            opening = true;
            WaitFor([&] { return release.load(); });
        }
        return std::time(nullptr);
    });
    auto engine = MakeEngine(2, kGroupA, kOutA);
    engine->Start();
    ASSERT_TRUE(WaitFor([&] { return opening.load(); }));
    std::thread releaser([&] {
        std::this_thread::sleep_for(100ms);
        release = true;
    });
    engine->Stop();
    releaser.join();
    EXPECT_EQ(engine->GetStatus(), "Stopped");
    EXPECT_EQ(engine->IsRunning(), 0);
    EXPECT_EQ(owner.Calls(), Strings{"state 2"}) << "the stop's notification only, never a connect";

    const int sink = Sink(kOutA);
    engine->Start();
    ASSERT_TRUE(WaitForStatus(*engine, "Connected"));
    ASSERT_TRUE(Feed(kGroupA, Bytes(8, 1)));
    Bytes out;
    EXPECT_EQ(ReceiveDatagram(sink, out, 2s), 512);
}

// Capabilities are per thread, so a relay thread started from here runs as
// an ordinary user's would: the kernel caps its receive buffer at
// net.core.rmem_max instead of granting the 1 MiB asked.
class WithoutNetAdmin {
public:
    WithoutNetAdmin()
    {
        syscall(SYS_capget, &m_header, m_saved);
        __user_cap_data_struct reduced[2] = {m_saved[0], m_saved[1]};
        reduced[0].effective &= ~(1u << CAP_NET_ADMIN);
        syscall(SYS_capset, &m_header, reduced);
    }
    ~WithoutNetAdmin() { syscall(SYS_capset, &m_header, m_saved); }

private:
    __user_cap_header_struct m_header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct m_saved[2]{};
};

TEST_F(BroadcastEngineTest, AReceiveBufferSmallerThanAskedIsLogged)
{
    const int limit = std::stoi(ReadFile("/proc/sys/net/core/rmem_max"));
    std::unique_ptr<CKOVBCastEngine> engine;
    {
        WithoutNetAdmin ordinaryUser;
        engine = MakeEngine(4, kGroupA, kOutA);
        engine->Start();
    }
    ASSERT_TRUE(WaitForStatus(*engine, "Connected"));
    // Where the system's limit is 1 MiB or more nothing is short, and nothing is said.
    EXPECT_EQ(store.CountLogLines("Config ID 4 Receive buffer is " + std::to_string(limit) +
                                  " bytes, less than the 1048576 asked: raise net.core.rmem_max."),
              limit < 1048576 ? 1 : 0);
}

// Two configurations on one port see only their own group; two on one
// group both receive it, and send from one shared port.
TEST_F(BroadcastEngineTest, ConfigurationsShareAPortAGroupAndASendingPort)
{
    const int sinkA = Sink(kOutA);
    const int sinkB = Sink(kOutB);
    auto a = MakeEngine(1, kGroupA, kOutA);
    auto b = MakeEngine(2, kGroupB, kOutB);
    auto sameAsA = MakeEngine(3, kGroupA, kOutA);
    for (auto* engine : {a.get(), b.get(), sameAsA.get()}) {
        engine->Start();
        ASSERT_TRUE(WaitForStatus(*engine, "Connected"));
    }

    ASSERT_TRUE(Feed(kGroupA, Bytes(10, 1)));
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(Feed(kGroupB, Bytes(10, 2)));
    Bytes out;
    for (const int sink : {sinkA, sinkA, sinkB, sinkB}) EXPECT_EQ(ReceiveDatagram(sink, out, 2s), 512);
    EXPECT_EQ(ReceiveDatagram(sinkA, out, 200ms), -1);
    EXPECT_TRUE(WaitFor([&] { return a->GetSentCount() + b->GetSentCount() + sameAsA->GetSentCount() == 4; }));
    EXPECT_EQ((std::vector{a->GetReceivedCount(), b->GetReceivedCount(), sameAsA->GetReceivedCount()}),
              (std::vector<uint32_t>{1, 2, 1}));
}

// The owner's thread waits for a relay thread that waits for the owner:
// the wait must run the relay thread's call instead of deadlocking. A start
// while one is pending is ignored; once its thread has ended, one tries again.
TEST_F(BroadcastEngineTest, OwnerWaitingForTheRelayThreadRunsItsPendingCall)
{
    RecordingOwner busyWindow(/*deliverInline=*/false);
    auto engine = MakeEngine(5, kGroupA, kOutA, &busyWindow);
    engine->Start();
    ASSERT_TRUE(WaitForStatus(*engine, "Connected"));  // its notification now waits for this thread
    engine->Stop();
    EXPECT_EQ(busyWindow.Calls(), Strings(2, "state 5"));
    engine->Start();
    ASSERT_TRUE(WaitForStatus(*engine, "Connected"));
    engine.reset();          // the destructor waits the same way
    busyWindow.RunPosted();  // deliveries that arrive after the engine is gone find nothing to do
    EXPECT_EQ(busyWindow.Calls().size(), 3u);

    auto failing = MakeEngine(6, "10.0.0.5", kOutA, &busyWindow);
    failing->Start();
    ASSERT_TRUE(WaitForStatus(*failing, "Receive Connect Error"));  // its message now waits for this thread
    failing->Start();
    busyWindow.RunPosted();
    EXPECT_EQ(busyWindow.Calls().size(), 4u);
    ASSERT_TRUE(WaitFor([&] {
        failing->Start();
        busyWindow.RunPosted();
        return busyWindow.Calls().size() == 5;
    }));
    // Reconfiguring waits for the relay thread, running its message meanwhile.
    failing->Start();
    failing->Configure(TestConfiguration(6, kGroupA, kInPort, kOutA, kOutPort));
    EXPECT_FALSE(failing->HasRelayThread());
    EXPECT_EQ(failing->GetStatus(), "Not Running");
}

TEST_F(BroadcastEngineTest, APartlyAcceptedBatchCountsOnlyTheAcceptedDatagrams)
{
    // The relay namespace refuses every second datagram the relay sends.
    const std::string nft = "ip netns exec " + network->RelayNamespace() + " nft ";
    ASSERT_EQ(std::system((nft + "add table ip relaytest").c_str()), 0) << "needs nft";
    ASSERT_EQ(std::system((nft + "'add chain ip relaytest out { type filter hook output priority 0; }'").c_str()), 0);
    ASSERT_EQ(std::system((nft + "add rule ip relaytest out udp dport 34002 numgen inc mod 2 == 1 drop").c_str()), 0);

    // Held at its "Connected" notification, the engine finds what the feed
    // sent meanwhile in its socket, and takes it as one batch.
    const int sink = Sink(kOutA);
    RecordingOwner busyWindow(/*deliverInline=*/false);
    auto engine = MakeEngine(9, kGroupA, kOutA, &busyWindow);
    engine->Start();
    ASSERT_TRUE(WaitForStatus(*engine, "Connected"));
    constexpr int kSent = 40;
    for (int i = 0; i < kSent; ++i) ASSERT_TRUE(Feed(kGroupA, Bytes(16, static_cast<uint8_t>(i))));
    busyWindow.RunPosted();

    Bytes out;
    for (int i = 0; i < kSent; i += 2) {
        ASSERT_EQ(ReceiveDatagram(sink, out, 2s), 512);
        EXPECT_EQ(out[0], i) << "the refused ones are skipped, the rest keep their order";
    }
    EXPECT_EQ(ReceiveDatagram(sink, out, 200ms), -1);
    EXPECT_TRUE(WaitFor([&] { return engine->GetReceivedCount() == kSent; }));
    EXPECT_EQ(engine->GetSentCount(), kSent / 2u);
    EXPECT_EQ(engine->GetFailedSendCount(), kSent / 2u) << "(shown and logged: RelayFaultTest)";
}

// The ticker values outlive a stop, a reconfiguration and a new start.
TEST_F(BroadcastEngineTest, TickerValuesOutliveAStopAndAReconfiguration)
{
    const int sink = Sink(kOutA);
    auto engine = MakeEngine(7, kGroupA, kOutA);
    engine->Configure(Nmkt(7, "QA"));
    engine->Start();
    ASSERT_TRUE(WaitForStatus(*engine, "Connected"));
    ASSERT_TRUE(Feed(kGroupA, CompressedMessage(10600, 1, Encoded(TickerOpenInterest{4464, 7000}))));
    ASSERT_TRUE(WaitFor([&] { return engine->GetReceivedCount() == 1; }));
    engine->Stop();

    engine->Configure(Nmkt(7, "QB"));
    engine->Start();
    ASSERT_TRUE(WaitForStatus(*engine, "Connected"));
    ASSERT_TRUE(Feed(kGroupA, DepthMessage({DepthQuote{.Token = 4464}})));
    Bytes received;
    ASSERT_EQ(ReceiveDatagram(sink, received, 3s), 512);
    EXPECT_EQ(Hex(received.data(), 1), "02");
    EXPECT_EQ(Hex(received.data() + 56 + 22, 4), "00 00 1B 58");  // open interest 7000
}

// The operator's check of a live relay: orma-feed in the feed namespace, the
// engine, orma-monitor in the sink namespace.
TEST_F(BroadcastEngineTest, FeedThroughARelayShowsInTheMonitor)
{
    auto engine = MakeEngine(7, kGroupA, kOutA);
    engine->Configure(Nmkt(7, "QA"));
    engine->Start();
    ASSERT_TRUE(WaitForStatus(*engine, "Connected"));
    TempDirectory directory;
    ChildProcess monitor(
        {"ip", "netns", "exec", network->SinkNamespace(), ORMA_MONITOR, "--group", kOutA, "--port",
         std::to_string(kOutPort), "--interface", TestNetwork::kSinkIp, "--count", "3", "--seconds", "10"},
        directory.Path());
    // It says when it has joined: only then may the feed start.
    ASSERT_TRUE(WaitFor([&] { return monitor.Stdout().starts_with("orma-monitor: listening on"); }));
    const std::string feedCommand = "ip netns exec " + network->FeedNamespace() + " " ORMA_FEED " --group " + kGroupA +
                                    " --port " + std::to_string(kInPort) +
                                    " --interface 198.18.0.1 --tokens 4464,2 --close 1000 --last 1025 --oi 5000"
                                    " --flags 22 --count 8 --rate 1000 --step 5 --records 1 >/dev/null";
    EXPECT_EQ(std::system(feedCommand.c_str()), 0);
    EXPECT_EQ(monitor.Wait(15s), 0);
    const std::string output = monitor.Stdout();

    // Each round: prices, open interest, then one depth message a token; the last price moves by 5 a round.
    for (const char* line :
         {"stream 4  code 7208  length 466  records 1",
          "token 4464  state 2  last 1025  net + 250  oi 5000  close 1000  open 1000  high 1025  low 1000",
          "L0 100@1025 n1 f0", "token 4464  state 2  last 1030  net + 300", "orma-monitor: 3 datagrams"})
        EXPECT_NE(output.find(line), std::string::npos) << line << " in:\n" << output;
    EXPECT_TRUE(WaitFor([&] { return engine->GetSentCount() == 4; }));
    EXPECT_EQ(engine->GetReceivedCount(), 8u);
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
TEST_F(BroadcastEngineTest, AFullDepthMessageLeavesInOneCall)
{
    // Held at its "Connected" notification, the engine finds everything the
    // feed sent meanwhile in its socket, and takes it as one batch.
    RecordingOwner busyWindow(/*deliverInline=*/false);
    FlushRecordingEngine held(Nmkt(9, "QB"), &busyWindow);
    held.Start();
    ASSERT_TRUE(WaitForStatus(held, "Connected"));
    constexpr int kMessages = 12;
    for (int i = 0; i < kMessages; ++i) ASSERT_TRUE(Feed(kGroupA, DepthMessage(std::vector<DepthQuote>(42))));
    busyWindow.RunPosted();
    EXPECT_TRUE(WaitFor([&] { return held.GetSentCount() == kMessages * 21u; }));
    held.Stop();
    // However the messages arrived in batches, no call carries part of one.
    ASSERT_FALSE(held.Flushes.empty());
    for (const int flushed : held.Flushes) EXPECT_EQ(flushed % 21, 0) << flushed;
}

}  // namespace
