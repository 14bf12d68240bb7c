// orma-relay in the throwaway network while the network misbehaves: what
// the operator sees (the per-second lines, the event log, stderr) and what
// the sink receives. Each case runs its own relay process, so that its
// interface watcher lives in this case's namespace.
#include "log/EventLog.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/NetworkTest.h"
#include "tools/NewFeedEncoder.h"

#include <signal.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

namespace {

using namespace std::chrono_literals;

const std::string kRow = "1,QA,239.255.10.1,34001,UDP,MULTICAST,239.255.20.1,34002,UDP,MULTICAST,N,N,";

// The per-second lines are off under systemd; these tests read them.
[[maybe_unused]] const bool kNotUnderSystemd = [] {
    return unsetenv("NOTIFY_SOCKET") == 0 && unsetenv("INVOCATION_ID") == 0;
}();

class RelayFaultTest : public NetworkTest {
protected:
    void SetUp() override
    {
        NetworkTest::SetUp();
        if (IsSkipped())
            return;
        sink = network->OpenSinkSocket("239.255.20.1", 34002);
    }

    void StartRelay(std::vector<std::string> options = {}, const std::string& row = kRow)
    {
        std::vector<std::string> argv = {"ip",
                                         "netns",
                                         "exec",
                                         network->RelayNamespace(),
                                         ORMA_RELAY_PATH,
                                         "--host-ip",
                                         TestNetwork::kHostSideIp,
                                         "--zenta-ip",
                                         TestNetwork::kZentaSideIp};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.push_back(row);
        relay = std::make_unique<ChildProcess>(argv, directory.Path());
    }
    // Feeds until one datagram comes through, within the time.
    bool Relays(std::chrono::milliseconds within = 5s)
    {
        std::vector<uint8_t> out;
        return WaitFor(
            [&] {
                network->Feed("239.255.10.1", 34001, std::vector<uint8_t>(100, 1));
                return ReceiveDatagram(sink, out, 20ms) == 512;
            },
            within);
    }
    // The last per-second line the relay printed.
    std::string LastLine() const
    {
        const std::string printed = relay->Stdout();
        const size_t end = printed.find_last_of('\n');
        const size_t begin = end == std::string::npos ? end : printed.find_last_of('\n', end - 1);
        return end == std::string::npos ? "" : printed.substr(begin == std::string::npos ? 0 : begin + 1, end - begin);
    }
    // Waits for the relay to print one more per-second line containing `part`.
    bool PrintsAnother(const std::string& part) const
    {
        const auto printed = [&] {
            std::istringstream text(relay->Stdout());
            int count = 0;
            for (std::string line; std::getline(text, line);) count += line.find(part) != std::string::npos;
            return count;
        };
        const int before = printed();
        return WaitFor([&] { return printed() > before; });
    }
    int LogLines(const std::string& part) const
    {
        std::istringstream log(ReadFile(directory.File(CEventLog::GetInstance()->GetLogFileName())));
        int count = 0;
        for (std::string line; std::getline(log, line);) count += line.find(part) != std::string::npos;
        return count;
    }
    bool Run(const std::string& command) const { return std::system(command.c_str()) == 0; }
    // Deletes one end of a veth pair (the other goes with it) and makes the pair again.
    void DeleteLink(const std::string& link) const
    {
        ASSERT_TRUE(Run("ip -n " + network->RelayNamespace() + " link del " + link));
    }
    void RecreateLink(const std::string& outer, const std::string& outerNs, const std::string& outerIp,
                      const std::string& inner, const std::string& innerIp) const
    {
        const std::string& relayNs = network->RelayNamespace();
        ASSERT_TRUE(
            Run("ip link add " + outer + " netns " + outerNs + " type veth peer name " + inner + " netns " + relayNs));
        ASSERT_TRUE(Run("ip -n " + outerNs + " addr add " + outerIp + "/24 dev " + outer + " && ip -n " + outerNs +
                        " link set " + outer + " up && ip -n " + relayNs + " addr add " + innerIp + "/24 dev " + inner +
                        " && ip -n " + relayNs + " link set " + inner + " up"));
        // A new link drops what is sent on it until the kernel has marked it up.
        ASSERT_TRUE(WaitFor([&] { return Run("ip -n " + relayNs + " link show " + inner + " | grep -q 'state UP'"); }));
    }

    TempDirectory directory;
    std::unique_ptr<ChildProcess> relay;
    int sink = -1;
};

// Interfaces deleted and made again (a driver reload, a VLAN made anew)
// and an address removed and added again: each time the relay says it
// waits, and relays again within 2 s of the interface being back.
TEST_F(RelayFaultTest, InterfacesThatComeBackAreUsedAgain)
{
    StartRelay();
    ASSERT_TRUE(Relays());
    DeleteLink("host0");
    ASSERT_TRUE(PrintsAnother("Waiting for Interface"));
    RecreateLink("feed0", network->FeedNamespace(), TestNetwork::kFeedIp, "host0", TestNetwork::kHostSideIp);
    EXPECT_TRUE(Relays(2s)) << "Host side";

    DeleteLink("zenta0");
    ASSERT_TRUE(PrintsAnother("Waiting for Interface"));
    RecreateLink("sink0", network->SinkNamespace(), TestNetwork::kSinkIp, "zenta0", TestNetwork::kZentaSideIp);
    close(sink);
    sink = network->OpenSinkSocket("239.255.20.1", 34002);  // the sink's interface is new too
    EXPECT_TRUE(Relays(2s)) << "ZENTA side";

    const std::string address = "ip -n " + network->RelayNamespace() + " addr ";
    ASSERT_TRUE(Run(address + "del " + TestNetwork::kHostSideIp + "/24 dev host0"));
    ASSERT_TRUE(PrintsAnother("Waiting for Interface"));
    ASSERT_TRUE(Run(address + "add " + TestNetwork::kHostSideIp + "/24 dev host0"));
    EXPECT_TRUE(Relays(2s)) << "address back";

    EXPECT_TRUE(
        WaitFor([&] { return LogLines("Config ID 1 Relays again: receiving on host0, sending from zenta0.") == 3; }));
    EXPECT_EQ(LogLines("Config ID 1 Waiting for its interfaces: no interface holds"), 3);
}

// Started before its network, a relay asked to wait does, and relays once
// the interface comes; refused sends are counted, shown and said once.
TEST_F(RelayFaultTest, WaitsForItsInterfaceAndShowsFailedSends)
{
    DeleteLink("host0");
    StartRelay({"--wait-for-interfaces"});
    ASSERT_TRUE(PrintsAnother("Waiting for Interface"));
    RecreateLink("feed0", network->FeedNamespace(), TestNetwork::kFeedIp, "host0", TestNetwork::kHostSideIp);
    ASSERT_TRUE(Relays());

    const std::string nft = "ip netns exec " + network->RelayNamespace() + " nft ";
    ASSERT_TRUE(Run(nft + "'add table ip fault; add chain ip fault out { type filter hook output priority 0; }; "
                          "add rule ip fault out udp dport 34002 drop'"));
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(network->Feed("239.255.10.1", 34001, std::vector<uint8_t>(100, 2)));
    EXPECT_TRUE(WaitFor([&] { return LastLine().find("Send Failing") != std::string::npos; }));
    EXPECT_NE(LastLine().find("Failed: 10"), std::string::npos) << LastLine();
    ASSERT_TRUE(Run(nft + "delete table ip fault"));
    EXPECT_TRUE(Relays());
    EXPECT_EQ(LogLines("Config ID 1 Sends are failing: Operation not permitted"), 1)
        << ReadFile(directory.File(CEventLog::GetInstance()->GetLogFileName()));
    EXPECT_TRUE(WaitFor([&] { return LogLines("Config ID 1 Sends succeed again after 10 failed.") == 1; }));
}

// Stopped while the feed runs, the relay loses datagrams in the kernel;
// once it runs again its count is the kernel's, whether or not more come.
TEST_F(RelayFaultTest, DropsAfterAStallAreTheKernelsCount)
{
    StartRelay();
    ASSERT_TRUE(Relays());
    relay->Signal(SIGSTOP);
    for (int i = 0; i < 5000; ++i) network->Feed("239.255.10.1", 34001, std::vector<uint8_t>(1400, 3));
    relay->Signal(SIGCONT);
    // UdpRcvbufErrors in the relay's namespace: the relay's socket is the only one there.
    ASSERT_TRUE(Run("ip netns exec " + network->RelayNamespace() + " awk '/^Udp:/ { if (n++) print $6 }' " +
                    "/proc/net/snmp > " + directory.File("drops")));
    const unsigned long kernel = std::stoul(ReadFile(directory.File("drops")));
    ASSERT_GT(kernel, 0u) << "the stall lost nothing; feed more";
    EXPECT_TRUE(
        WaitFor([&] { return LastLine().find("Dropped: " + std::to_string(kernel) + " ") != std::string::npos; }, 2s))
        << LastLine() << "; the kernel counted " << kernel;
}

// A feed of ever new tokens stays within the ticker map's ceiling.
TEST_F(RelayFaultTest, ATokenFloodStaysBounded)
{
    StartRelay({}, "1,QB,239.255.10.1,34001,UDP,MULTICAST,239.255.20.1,34002,UDP,MULTICAST,N,Y,");
    ASSERT_TRUE(WaitFor([&] { return LastLine().find("Connected") != std::string::npos; }));
    std::mt19937 random(7);
    std::vector<TickerOpenInterest> records(140);  // random tokens hardly compress: one datagram holds 140
    for (int message = 0; message < 8000 && LogLines("Ticker map is full") == 0; ++message) {
        for (TickerOpenInterest& record : records) record = {static_cast<int32_t>(random()), 1};
        ASSERT_TRUE(network->Feed("239.255.10.1", 34001, EncodeOpenInterestMessage(records)));
        if (message % 100 == 99)
            std::this_thread::sleep_for(10ms);  // within the relay's receive buffer
    }
    EXPECT_TRUE(WaitFor([&] { return LogLines("Config ID 1 Ticker map is full (500000 tokens)") == 1; }));
    std::ifstream status("/proc/" + std::to_string(relay->Pid()) + "/status");
    long residentKb = 0;
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            residentKb = std::stol(line.substr(6));
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)  // their shadow memory would dwarf the map
    EXPECT_LT(residentKb, 100 * 1024);
#else
    (void)residentKb;
#endif
}

// An event log that cannot be written is said on stderr; relaying goes on.
// (Root writes into any folder of an ordinary file system: /sys refuses
// new files even to root.)
TEST_F(RelayFaultTest, AnUnwritableLogIsSaidAndRelayingGoesOn)
{
    StartRelay({"--log-dir", "/sys"});
    EXPECT_TRUE(Relays());
    EXPECT_NE(relay->Stderr().find("The event log /sys/PLUX_"), std::string::npos) << relay->Stderr();
    EXPECT_NE(relay->Stderr().find("cannot be written: Permission denied."), std::string::npos);
    relay->Signal(SIGTERM);
    EXPECT_EQ(relay->Wait(10s), 0);
}

}  // namespace
