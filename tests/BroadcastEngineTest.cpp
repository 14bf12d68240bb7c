// What only an engine in this process shows: its calls to its owner, a
// Stop that races its start, what its thread's capabilities get, how it
// batches its sends, and the ticker values it keeps (relaying as such:
// RelayRunnerTest, through orma-relay).
#include "engine/BroadcastEngine.h"
#include "engine/CaptureWriter.h"
#include "log/EventLog.h"
#include "net/Udp.h"
#include "tests/MarketDataBytes.h"
#include "tests/support/NetworkTest.h"
#include "tests/support/TempSettingsStore.h"

#include <linux/capability.h>
#include <pcap/pcap.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

// A group fed on kInPort, and one sent to on kOutPort.
constexpr const char *kGroup = "239.255.10.1", *kOut = "239.255.20.1";
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
    // Receiving `group` on the relay's Host side, sending to kOut from its ZENTA side.
    static KOV_BCAST_CONFIG Configuration(int id, const char* group = kGroup, int nmkt = 0, const char* segment = "QA")
    {
        return {.ConfigId = id,
                .SegmentCode = segment,
                .ReceiveIp = group,
                .ReceivePort = kInPort,
                .SendIp = kOut,
                .SendPort = kOutPort,
                .NmktFlag = nmkt,
                .HostSideIp = TestNetwork::kHostSideIp,
                .ZentaSideIp = TestNetwork::kZentaSideIp};
    }
    std::unique_ptr<CKOVBCastEngine> MakeEngine(int id, const char* group = kGroup, CEngineOwner* window = nullptr)
    {
        return std::make_unique<CKOVBCastEngine>(Configuration(id, group), window ? window : &owner);
    }
    bool Feed(const Bytes& datagram) { return network->Feed(kGroup, kInPort, datagram); }
    static bool WaitForStatus(CKOVBCastEngine& engine, const std::string& status)
    {
        return WaitFor([&] { return engine.GetStatus() == status; });
    }

    TempSettingsStore store;
    RecordingOwner owner;
};

// A Stop that comes while the relay thread opens its endpoints wins: the
// engine never runs after it.
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
    auto engine = MakeEngine(2);
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
        engine = MakeEngine(4);
        engine->Start();
    }
    ASSERT_TRUE(WaitForStatus(*engine, "Connected"));
    // Where the system's limit is 1 MiB or more nothing is short, and nothing is said.
    EXPECT_EQ(store.CountLogLines("Config ID 4 Receive buffer is " + std::to_string(limit) +
                                  " bytes, less than the 1048576 asked: raise net.core.rmem_max."),
              limit < 1048576 ? 1 : 0);
}

// The owner's thread waits for a relay thread that waits for the owner:
// the wait must run the relay thread's call instead of deadlocking. A start
// while one is pending is ignored; once its thread has ended, one tries again.
TEST_F(BroadcastEngineTest, OwnerWaitingForTheRelayThreadRunsItsPendingCall)
{
    RecordingOwner busyWindow(/*deliverInline=*/false);
    auto engine = MakeEngine(5, kGroup, &busyWindow);
    engine->Start();
    ASSERT_TRUE(WaitForStatus(*engine, "Connected"));  // its notification now waits for this thread
    engine->Stop();
    EXPECT_EQ(busyWindow.Calls(), Strings(2, "state 5"));
    engine->Start();
    ASSERT_TRUE(WaitForStatus(*engine, "Connected"));
    engine.reset();          // the destructor waits the same way
    busyWindow.RunPosted();  // deliveries that arrive after the engine is gone find nothing to do
    EXPECT_EQ(busyWindow.Calls().size(), 3u);

    auto failing = MakeEngine(6, "10.0.0.5", &busyWindow);
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
    failing->Stop();
    EXPECT_EQ(failing->GetStatusReason(), "") << "a stop clears the failure's reason";
    // Reconfiguring waits for the relay thread, running its message meanwhile.
    failing->Start();
    failing->Configure(Configuration(6));
    EXPECT_FALSE(failing->HasRelayThread());
    EXPECT_EQ(failing->GetStatus(), "Not Running");
}

// A stop empties the ticker map: after a new start only what it receives enriches.
TEST_F(BroadcastEngineTest, AStopEmptiesTheTickerMap)
{
    const int sink = network->OpenSinkSocket(kOut, kOutPort);
    auto engine = std::make_unique<CKOVBCastEngine>(Configuration(7, kGroup, 1, "QB"), &owner);
    engine->Start();
    ASSERT_TRUE(WaitForStatus(*engine, "Connected"));
    ASSERT_TRUE(Feed(CompressedMessage(10600, 1, Encoded(TickerOpenInterest{4464, 7000}))));
    ASSERT_TRUE(Feed(DepthMessage({DepthQuote{.Token = 4464}})));
    Bytes received;
    ASSERT_EQ(ReceiveDatagram(sink, received, 3s), 512);
    EXPECT_EQ(Hex(received.data() + 56 + 22, 4), "00 00 1B 58");  // open interest 7000
    EXPECT_EQ(engine->GetTickerMapSize(), 1U);
    engine->Stop();
    EXPECT_EQ(engine->GetTickerMapSize(), 0U);

    engine->Start();
    ASSERT_TRUE(WaitForStatus(*engine, "Connected"));
    ASSERT_TRUE(Feed(DepthMessage({DepthQuote{.Token = 4464}})));
    ASSERT_EQ(ReceiveDatagram(sink, received, 3s), 512);
    EXPECT_EQ(Hex(received.data() + 56 + 22, 4), "00 00 00 00") << "nothing kept from before the stop";
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
    FlushRecordingEngine held(Configuration(9, kGroup, 1, "QB"), &busyWindow);
    held.Start();
    ASSERT_TRUE(WaitForStatus(held, "Connected"));
    constexpr int kMessages = 12;
    for (int i = 0; i < kMessages; ++i) ASSERT_TRUE(Feed(DepthMessage(std::vector<DepthQuote>(42))));
    busyWindow.RunPosted();
    EXPECT_TRUE(WaitFor([&] { return held.GetSentCount() == kMessages * 21u; }));
    held.Stop();
    // However the messages arrived in batches, no call carries part of one.
    ASSERT_FALSE(held.Flushes.empty());
    for (const int flushed : held.Flushes) EXPECT_EQ(flushed % 21, 0) << flushed;
}

}  // namespace

// Buffers belong to a running relay: 200 configurations, each started,
// fed a batch of the longest datagrams and stopped, hold little memory
// while stopped (the whole process's growth is measured).
TEST_F(BroadcastEngineTest, StoppedConfigurationsHoldNoBuffers)
{
    const auto residentKb = [] {
        std::ifstream status("/proc/self/status");
        for (std::string line; std::getline(status, line);)
            if (line.starts_with("VmRSS:"))
                return std::stol(line.substr(6));
        return 0L;
    };
    const long before = residentKb();
    std::vector<std::unique_ptr<CKOVBCastEngine>> engines;
    for (int id = 1; id <= 200; ++id) {
        engines.push_back(MakeEngine(id));
        engines.back()->Start();
        ASSERT_TRUE(WaitForStatus(*engines.back(), "Connected"));
        for (int i = 0; i < CUDP::kBatch; ++i) ASSERT_TRUE(Feed(Bytes(kMaxDatagramLength, 1)));
        ASSERT_TRUE(WaitFor([&] { return engines.back()->GetReceivedTotal() == CUDP::kBatch; }));
        engines.back()->Stop();
    }
    const long grown = residentKb() - before;
    std::printf("200 stopped configurations: %ld KB more resident\n", grown);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)  // their shadow memory would dwarf it
    EXPECT_LT(grown, 200 * 40) << "KB: at most 40 KB a stopped configuration";
#endif
}

namespace {

// What tshark with the shipped dissector prints for `file`: one line per
// packet, the fields separated by '|' and a field's occurrences by ','.
Strings DissectedFields(const std::string& file, const Strings& fields, const std::string& options = {})
{
    std::string command = "tshark -X lua_script:" ORMA_DISSECTOR " " + options + " -r '" + file +
                          "' -T fields -E separator='|' -E occurrence=a -E aggregator=,";
    for (const std::string& field : fields) command += " -e " + field;
    command += " 2>/dev/null";
    Strings lines;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char line[8192];
        while (std::fgets(line, sizeof line, pipe)) {
            std::string text = line;
            if (!text.empty() && text.back() == '\n')
                text.pop_back();
            lines.push_back(text);
        }
        pclose(pipe);
    }
    return lines;
}

// The capture files of `directory` whose names hold `part`.
Strings CaptureFilesWith(const std::string& directory, const std::string& part)
{
    Strings found;
    for (const std::string& path : CCaptureWriter::CaptureFiles(directory))
        if (path.find(part) != std::string::npos)
            found.push_back(path);
    return found;
}

// The UDP payloads of a capture file's packets, in order.
std::vector<Bytes> CapturedPayloads(const std::string& file)
{
    std::vector<Bytes> payloads;
    char error[PCAP_ERRBUF_SIZE];
    if (pcap_t* capture = pcap_open_offline(file.c_str(), error)) {
        pcap_pkthdr* header = nullptr;
        const u_char* bytes = nullptr;
        while (pcap_next_ex(capture, &header, &bytes) == 1)
            if (header->caplen > 42)
                payloads.emplace_back(bytes + 42, bytes + header->caplen);
        pcap_close(capture);
    }
    return payloads;
}

}  // namespace

// A converting relay with capture on: tshark with the dissector reads back
// what it received (by the configured port) and what it sent (by the bytes
// alone), every field where the conversion put it, and the capture holds as
// many datagrams as the relay counted.
TEST_F(BroadcastEngineTest, CapturedTrafficReadsBackThroughTheDissector)
{
    if (std::system("command -v tshark >/dev/null") != 0)
        GTEST_SKIP() << "tshark is not installed";
    TempDirectory folder;
    auto writer = std::make_unique<CCaptureWriter>(CAPTURE_SETTINGS{.Directory = folder.Path()});
    KOV_BCAST_CONFIG configuration = Configuration(9, kGroup, 1, "QB");
    configuration.ArchiveFlag = 1;
    const int sink = network->OpenSinkSocket(kOut, kOutPort);
    CKOVBCastEngine engine(configuration, &owner);
    engine.SetCapture(writer->AddRelay(configuration));
    engine.Start();
    ASSERT_TRUE(WaitForStatus(engine, "Connected"));

    ASSERT_TRUE(Feed(CompressedMessage(10750, 1, Encoded(TickerPrices{123456, 100, 120, 90, 110}))));
    std::vector<DepthQuote> quotes;
    for (int i = 0; i < 3; ++i) {
        DepthQuote quote{.Token = 123456 + i, .LastPrice = 2500 + 100 * i};
        quote.Levels[0].Count = static_cast<uint16_t>(3 + i);
        quote.Levels[9].Count = 7;
        quotes.push_back(quote);
    }
    ASSERT_TRUE(Feed(DepthMessage(quotes)));
    Bytes received;
    ASSERT_EQ(ReceiveDatagram(sink, received, 3s), 512);
    ASSERT_TRUE(WaitFor([&] { return engine.GetSentTotal() == 2; }));
    engine.Stop();
    writer.reset();  // writes what is left and closes the files
    EXPECT_EQ(engine.GetNotCapturedTotal(), 0u);

    const Strings in = CaptureFilesWith(folder.Path(), "/QB-received-");
    const Strings out = CaptureFilesWith(folder.Path(), "/QB-sent-");
    ASSERT_EQ(in.size(), 1u);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(DissectedFields(in[0],
                              {"ip.dst", "udp.dstport", "ormanew.code", "ormanew.records", "ormanew.ticker.token",
                               "ormanew.ticker.close", "ormanew.depth.token", "ormanew.depth.last_price"},
                              "-o ormanew.ports:" + std::to_string(kInPort)),
              (Strings{"239.255.10.1|34001|10750|1|123456|110||",
                       "239.255.10.1|34001|10500|3|||123456,123457,123458|2500,2600,2700"}));
    const Strings sent =
        DissectedFields(out[0], {"ip.dst", "udp.dstport", "ormaold.stream_code", "ormaold.records", "ormaold.token",
                                 "ormaold.last_price", "ormaold.close", "ormaold.level.count"});
    EXPECT_EQ(sent, (Strings{"239.255.20.1|34002|2|2|123456,123457|2500,2600|110,0|"
                             "3,0,0,0,0,0,0,0,0,7,4,0,0,0,0,0,0,0,0,7",
                             "239.255.20.1|34002|2|1|123458|2700|0|5,0,0,0,0,0,0,0,0,7"}));
    EXPECT_EQ(DissectedFields(in[0], {"frame.number"}).size(), engine.GetConvertedTotal());
    EXPECT_EQ(sent.size(), engine.GetSentTotal());

    // Replayed by tcpreplay from the feed's side (the unknown sender made
    // the feed's address, which the relay's side can route back to), a
    // fresh relay sends what the first one sent, byte for byte.
    if (std::system("command -v tcpreplay >/dev/null") != 0)
        GTEST_SKIP() << "tcpreplay is not installed";
    TempDirectory again;
    writer = std::make_unique<CCaptureWriter>(CAPTURE_SETTINGS{.Directory = again.Path()});
    configuration.ConfigId = 10;
    CKOVBCastEngine replayed(configuration, &owner);
    replayed.SetCapture(writer->AddRelay(configuration));
    replayed.Start();
    ASSERT_TRUE(WaitForStatus(replayed, "Connected"));
    const std::string rewritten = again.File("input.pcap");
    ASSERT_EQ(std::system(("tcprewrite --fixcsum --srcipmap=192.0.2.1/32:" + std::string(TestNetwork::kFeedIp) +
                           "/32 --infile='" + in[0] + "' --outfile='" + rewritten + "'")
                              .c_str()),
              0);
    ASSERT_EQ(std::system(("ip netns exec " + network->FeedNamespace() + " tcpreplay -q --intf1=feed0 '" + rewritten +
                           "' >/dev/null 2>&1")
                              .c_str()),
              0);
    ASSERT_TRUE(WaitFor([&] { return replayed.GetSentTotal() == 2; }));
    replayed.Stop();
    writer.reset();
    const Strings replayedOut = CaptureFilesWith(again.Path(), "/QB-sent-");
    ASSERT_EQ(replayedOut.size(), 1u);
    const std::vector<Bytes> original = CapturedPayloads(out[0]);
    EXPECT_EQ(original.size(), 2u);
    EXPECT_EQ(CapturedPayloads(replayedOut[0]), original);
}

// The capture writer's limits, each in a process of its own whose capture
// folder may be a small tmpfs of its own mount namespace: files end at
// their size, the folder's total stays under its cap with the newest
// files kept, and a full disk is counted as not captured, datagram for
// datagram, while the ring keeps taking datagrams.
TEST(CaptureWriterTest, FilesRotateTheTotalIsCappedAndAFullDiskIsCounted)
{
    struct Case {
        const char* Name;
        uint64_t FileBytes;
        uint64_t TotalBytes;
        int TmpfsKb;      // 0: the folder as it is
        int FileSeconds;  // a pause of a second halfway when 1
    };
    const Case cases[] = {
        {"rotation by size", 64 << 10, 1ull << 30, 0, 3600},
        {"rotation by age", 1ull << 30, 1ull << 30, 0, 1},
        {"total cap", 64 << 10, 256 << 10, 0, 3600},
        {"full disk", 1ull << 30, 1ull << 30, 128, 3600},
    };
    constexpr int kDatagrams = 2000, kChunk = 100;
    struct Result {
        int Files = 0;
        uint64_t Largest = 0, Total = 0, NotCaptured = 0, Packets = 0;
        bool NewestKept = false;
        bool Mounted = true;
    };
    const TempSettingsStore store;  // an event log of its own
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TempDirectory folder;
        int results[2];
        ASSERT_EQ(pipe(results), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            Result result;
            if (c.TmpfsKb) {
                const std::string size = "size=" + std::to_string(c.TmpfsKb) + "k";
                result.Mounted = unshare(CLONE_NEWNS) == 0 &&
                                 mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                                 mount("tmpfs", folder.Path().c_str(), "tmpfs", 0, size.c_str()) == 0;
            }
            {
                CCaptureWriter writer({.Directory = folder.Path(),
                                       .FileBytes = c.FileBytes,
                                       .FileSeconds = c.FileSeconds,
                                       .TotalBytes = c.TotalBytes});
                KOV_BCAST_CONFIG configuration{.ConfigId = 1,
                                               .SegmentCode = "QB",
                                               .ReceiveIp = kGroup,
                                               .ReceivePort = kInPort,
                                               .SendIp = kOut,
                                               .SendPort = kOutPort,
                                               .HostSideIp = TestNetwork::kHostSideIp,
                                               .ZentaSideIp = TestNetwork::kZentaSideIp};
                const auto ring = writer.AddRelay(configuration);
                Bytes datagram(512);
                for (int i = 0; i < kDatagrams; ++i) {
                    PutLittleEndian(datagram, 0, static_cast<uint32_t>(i), 4);
                    ring->Push(CAPTURE_DIRECTION::Sent, datagram.data(), 512);
                    if ((i + 1) % kChunk == 0)
                        writer.Flush();  // the ring never overflows: only the disk loses datagrams
                    if (i == kDatagrams / 2 && c.FileSeconds == 1)
                        std::this_thread::sleep_for(1100ms);
                }
                writer.Flush();
                result.NotCaptured = ring->NotCapturedTotal();
            }
            uint64_t newest = 0;
            for (const std::string& path : CCaptureWriter::CaptureFiles(folder.Path())) {
                ++result.Files;
                const uint64_t size = std::filesystem::file_size(path);
                result.Total += size;
                result.Largest = std::max(result.Largest, size);
                char error[PCAP_ERRBUF_SIZE];
                if (pcap_t* file = pcap_open_offline(path.c_str(), error)) {
                    pcap_pkthdr* header = nullptr;
                    const u_char* bytes = nullptr;
                    while (pcap_next_ex(file, &header, &bytes) == 1) {
                        ++result.Packets;
                        newest = bytes[42] | bytes[43] << 8;
                    }
                    pcap_close(file);
                }
            }
            result.NewestKept = newest == kDatagrams - 1;
            (void)!write(results[1], &result, sizeof result);
            _exit(0);
        }
        close(results[1]);
        Result result;
        const bool read = ::read(results[0], &result, sizeof result) == sizeof result;
        close(results[0]);
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(read);
        ASSERT_TRUE(result.Mounted) << "no tmpfs of its own";
        if (c.FileBytes < kDatagrams * 512ull) {
            EXPECT_LE(result.Largest, c.FileBytes + 512 + 58) << "a file ends once it reaches its size";
        }
        EXPECT_LE(result.Total, c.TotalBytes);
        if (c.TmpfsKb) {
            EXPECT_GT(result.NotCaptured, 0u) << result.Packets << " packets in " << result.Files << " files";
            // A write cut short by the full disk may leave datagrams it also counted.
            EXPECT_GE(result.Packets + result.NotCaptured, static_cast<uint64_t>(kDatagrams));
            EXPECT_LT(result.Packets, static_cast<uint64_t>(kDatagrams));
            EXPECT_GT(result.Packets, 0u) << "what fitted is kept";
        } else {
            EXPECT_EQ(result.NotCaptured, 0u);
            EXPECT_TRUE(result.NewestKept) << "the oldest files go first";
            if (c.TotalBytes > kDatagrams * 1024ull) {
                EXPECT_EQ(result.Packets, static_cast<uint64_t>(kDatagrams));
            } else {
                EXPECT_LT(result.Packets, static_cast<uint64_t>(kDatagrams));
            }
            EXPECT_GE(result.Files, 2);
        }
    }
}
