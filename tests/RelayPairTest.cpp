// A relay pair behind keepalived, each node's keepalived started from the
// shipped example configuration: a numbered feed at 20,000 datagrams a second
// goes on through the faults a pair exists for, with no silence at the
// receiver beyond 500 ms and no datagram twice.
//
//   feed ns: brh 198.18.0.1 --+-- host0 198.18.0.2  node a  zenta0 198.18.1.2 --+-- brz 198.18.1.100  receiver ns
//                             +-- host0 198.18.0.3  node b  zenta0 198.18.1.3 --+
//
// The virtual address 198.18.1.1 (the relays' ZENTA side) is on the active
// node's zenta0; VRRP goes unicast between the nodes' own addresses over brz.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/support/ChildProcess.h"
#include "tests/support/TestNetwork.h"
#include "tools/NewFeedEncoder.h"

#include <gtest/gtest.h>
#include <poll.h>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* kVirtualIp = "198.18.1.1";
constexpr const char* kFeedIp = "198.18.0.1";
constexpr const char* kReceiverIp = "198.18.1.100";
constexpr const char* kFeedGroup = "239.255.10.1";
constexpr uint16_t kFeedPort = 34001;
constexpr const char* kRelayedGroup = "239.255.20.1";
constexpr uint16_t kRelayedPort = 34002;
const std::string kRow = "1,QA,239.255.10.1,34001,UDP,MULTICAST,239.255.20.1,34002,UDP,MULTICAST,N,N,";
const std::string kStandbyState = "Standby";

constexpr int kRate = 20000;  // datagrams a second
constexpr auto kLongestSilence = 500ms;

// Whether a process still runs (not ended, not a zombie), by its /proc entry.
bool IsAlive(pid_t pid)
{
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t state = stat.rfind(')');
    return state != std::string::npos && state + 2 < stat.size() && stat[state + 2] != 'Z';
}

// The example as an operator installs it, with this node's names and addresses.
std::string NodeConfiguration(const std::string& name, const std::string& own, const std::string& peer,
                              const std::string& healthFile, bool preempt, int priority)
{
    std::string text = ReadFile(ORMA_PAIR_EXAMPLE);
    const std::pair<std::string, std::string> changes[] = {{"192.0.2.10", kVirtualIp},
                                                           {"192.0.2.11", own},
                                                           {"192.0.2.12", peer},
                                                           {"eth1", "zenta0"},
                                                           {"orma-relay-a", name},
                                                           {"/run/orma-relay/health", healthFile},
                                                           {"priority 100", "priority " + std::to_string(priority)}};
    for (const auto& [from, to] : changes) {
        for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
            text.replace(at, from.size(), to);
    }
    if (preempt)
        text.replace(text.find("    nopreempt\n"), std::strlen("    nopreempt\n"), "");
    return text;
}

// One relay node: its namespace, its relay and its keepalived.
struct Node {
    std::string Name, Namespace, HostIp, OwnIp, PeerIp, FeedPort;
    std::string Row = kRow;
    TempDirectory Folder;
    std::unique_ptr<ChildProcess> Relay, Keepalived;

    ~Node() { Kill(); }
    [[nodiscard]] std::string Health() const { return Folder.File("health"); }
    void StartRelay()
    {
        Relay = std::make_unique<ChildProcess>(
            std::vector<std::string>{"ip", "netns", "exec", Namespace, ORMA_RELAY_PATH, "--host-ip", HostIp,
                                     "--zenta-ip", kVirtualIp, "--wait-for-interfaces", "--standby", "--health-file",
                                     Health(), "--log-dir", Folder.Path(), "--metrics", "9469", Row},
            Folder.Path());
    }
    void StartKeepalived(bool preempt, int priority)
    {
        std::ofstream(Folder.File("keepalived.conf"))
            << NodeConfiguration(Name, OwnIp, PeerIp, Health(), preempt, priority);
        // Its own pid files: a second keepalived with the same ones would refuse to start. A
        // killed one leaves them behind (naming a zombie, here), as a reboot would not.
        std::filesystem::remove(Folder.File("keepalived.pid"));
        std::filesystem::remove(Folder.File("vrrp.pid"));
        Keepalived = std::make_unique<ChildProcess>(
            std::vector<std::string>{"ip", "netns", "exec", Namespace, "keepalived", "--dont-fork", "--log-console",
                                     "--no-syslog", "--vrrp", "--use-file", Folder.File("keepalived.conf"), "--pid",
                                     Folder.File("keepalived.pid"), "--vrrp_pid", Folder.File("vrrp.pid")},
            Folder.Path());
    }
    // keepalived's VRRP process, which it forks; 0 when there is none.
    [[nodiscard]] pid_t VrrpProcess() const
    {
        const pid_t pid = std::atoi(ReadFile(Folder.File("vrrp.pid")).c_str());
        return pid > 0 && IsAlive(pid) && Contains(ReadFile("/proc/" + std::to_string(pid) + "/comm"), "keepalived")
                   ? pid
                   : 0;
    }
    [[nodiscard]] std::string KeepalivedLog() const
    {
        return Keepalived ? Keepalived->Stdout() + Keepalived->Stderr() : "";
    }
    // Its relay's state as its metrics say it, or "" when they cannot be had.
    [[nodiscard]] std::string ScrapedState() const
    {
        ChildProcess scrape({"ip", "netns", "exec", Namespace, "python3", "-c",
                             "import urllib.request\n"
                             "print(urllib.request.urlopen('http://127.0.0.1:9469/metrics').read().decode())"},
                            Folder.Path());
        const std::string text = scrape.Wait(10s) == 0 ? scrape.Stdout() : "";
        const size_t at = text.find("\norma_relay_state{");
        const size_t state = text.find("state=\"", at);
        return at == std::string::npos || state == std::string::npos
                   ? ""
                   : text.substr(state + 7, text.find('"', state + 7) - state - 7);
    }
    // Its relay's event log, every day's.
    [[nodiscard]] std::string LogText() const
    {
        std::string text;
        for (const auto& entry : std::filesystem::directory_iterator(Folder.Path())) {
            if (entry.path().filename().string().starts_with("PLUX_"))
                text += ReadFile(entry.path());
        }
        return text;
    }
    [[nodiscard]] bool HoldsVirtualAddress() const
    {
        return Shell("ip -n " + Namespace + " -4 addr show dev zenta0 | grep -q ' " + kVirtualIp + "/'");
    }
    // As the machine dying does: no process of it runs code any more.
    void Kill()
    {
        const pid_t vrrp = VrrpProcess();
        // All stopped first, so that none acts on another's end.
        for (const int signal : {SIGSTOP, SIGKILL})
            for (const pid_t pid : {vrrp, Keepalived ? Keepalived->Pid() : 0, Relay ? Relay->Pid() : 0})
                if (pid > 0)
                    kill(pid, signal);
        if (Relay)
            Relay->Wait(5s);
        if (Keepalived)
            Keepalived->Wait(5s);
        WaitFor([&] { return vrrp == 0 || !IsAlive(vrrp); });
    }
};

// The feed: datagrams numbered from 0 in their first 8 bytes, at kRate, from the feed namespace.
class NumberedFeed {
public:
    NumberedFeed(const std::string& ns, uint64_t total) : m_socket(UdpSocketIn(ns)), m_total(total)
    {
        SendsFrom(m_socket, kFeedIp);
        m_thread = std::thread([this] { Send(); });
    }
    ~NumberedFeed()
    {
        m_stop = true;
        m_thread.join();
        close(m_socket);
    }
    [[nodiscard]] uint64_t Sent() const { return m_sent.load(); }

private:
    void Send()
    {
        const sockaddr_in to = Ipv4Address(kFeedGroup, kFeedPort);
        uint8_t datagram[64] = {};
        const Clock::time_point start = Clock::now();
        for (uint64_t number = 0; number < m_total && !m_stop; ++number) {
            if (number % 20 == 0)
                std::this_thread::sleep_until(start + std::chrono::microseconds(number * 1000000 / kRate));
            std::memcpy(datagram, &number, sizeof number);
            sendto(m_socket, datagram, sizeof datagram, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
            m_sent = number + 1;
        }
    }

    int m_socket;
    uint64_t m_total;
    std::atomic<bool> m_stop{false};
    std::atomic<uint64_t> m_sent{0};
    std::thread m_thread;
};

// The receiver: when each numbered datagram arrived, in the receiver namespace.
class Receiver {
public:
    struct Arrival {
        uint64_t Number;
        Clock::time_point Time;
    };

    Receiver(const std::string& ns, uint64_t most) : m_socket(UdpSocketIn(ns))
    {
        m_arrivals.reserve(most + 1000);
        const int buffer = 16 << 20;
        setsockopt(m_socket, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer);
        m_ready = JoinGroup(m_socket, kRelayedGroup, kRelayedPort, kReceiverIp);
        m_thread = std::thread([this] { Receive(); });
    }
    ~Receiver()
    {
        Stop();
        close(m_socket);
    }
    [[nodiscard]] bool Ready() const { return m_ready; }
    void Stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    [[nodiscard]] size_t Count() const { return m_count.load(); }
    // After Stop.
    [[nodiscard]] const std::vector<Arrival>& Arrivals() const { return m_arrivals; }

private:
    void Receive()
    {
        uint8_t datagram[600];
        while (!m_stop) {
            pollfd waiting{m_socket, POLLIN, 0};
            if (poll(&waiting, 1, 20) <= 0)
                continue;
            while (recv(m_socket, datagram, sizeof datagram, MSG_DONTWAIT) >= 8 &&
                   m_arrivals.size() < m_arrivals.capacity()) {
                uint64_t number = 0;
                std::memcpy(&number, datagram, sizeof number);
                m_arrivals.push_back({number, Clock::now()});
                m_count = m_arrivals.size();
            }
        }
    }

    int m_socket;
    bool m_ready = false;
    std::vector<Arrival> m_arrivals;
    std::atomic<size_t> m_count{0};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// The longest time without a datagram among those that arrived in [from, to].
std::chrono::milliseconds LongestSilence(const std::vector<Receiver::Arrival>& arrivals, Clock::time_point from,
                                         Clock::time_point to)
{
    Clock::duration longest{};
    for (size_t i = 1; i < arrivals.size(); ++i) {
        if (arrivals[i - 1].Time >= from && arrivals[i].Time <= to)
            longest = std::max(longest, arrivals[i].Time - arrivals[i - 1].Time);
    }
    return std::chrono::duration_cast<std::chrono::milliseconds>(longest);
}

enum class Fault { RelayKilled, HostLinkDown, KeepalivedStopped, NodeDies };

class RelayPairTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root to create network namespaces";
        if (!Shell("command -v keepalived"))
            GTEST_SKIP() << "keepalived is not installed (scripts/install-deps.sh test)";
    }
    void TearDown() override
    {
        nodes[0].reset();
        nodes[1].reset();
        for (const std::string& ns : namespaces) Shell("ip netns del " + ns);
    }

    // The four namespaces, two bridges, and the nodes' links.
    bool MakeNetwork()
    {
        static int counter = 0;
        const std::string stem = "orma" + std::to_string(getpid()) + "p" + std::to_string(counter++);
        feed = stem + "f";
        receiver = stem + "r";
        namespaces = {feed, receiver, stem + "a", stem + "b"};
        bool made = true;
        for (const std::string& ns : namespaces)
            made = made && Shell("ip netns add " + ns) &&
                   Shell("ip netns exec " + ns +
                         " sh -c 'ip link set lo up; sysctl -w net.ipv4.conf.all.rp_filter=0 "
                         "net.ipv4.conf.default.rp_filter=0 net.ipv6.conf.all.disable_ipv6=1 "
                         "net.ipv6.conf.default.disable_ipv6=1'");
        // No IGMP snooping: the bridges flood the groups, as a switch without a querier does.
        for (const auto& [ns, bridge, ip] : {std::tuple{feed, "brh", kFeedIp}, {receiver, "brz", kReceiverIp}})
            made = made &&
                   Shell("ip -n " + ns + " link add " + bridge + " type bridge mcast_snooping 0 && ip -n " + ns +
                         " addr add " + ip + "/24 dev " + bridge + " && ip -n " + ns + " link set " + bridge + " up");
        for (int i = 0; i < 2; ++i) {
            const std::string letter = i == 0 ? "a" : "b";
            nodes[i] = std::make_unique<Node>();
            Node& node = *nodes[i];
            node.Name = "orma-relay-" + letter;
            node.Namespace = stem + letter;
            node.HostIp = i == 0 ? "198.18.0.2" : "198.18.0.3";
            node.OwnIp = i == 0 ? "198.18.1.2" : "198.18.1.3";
            node.PeerIp = i == 0 ? "198.18.1.3" : "198.18.1.2";
            node.FeedPort = "h" + letter;
            const std::string n = "ip -n " + node.Namespace;
            made = made &&
                   Shell("ip link add h" + letter + " netns " + feed + " type veth peer name host0 netns " +
                         node.Namespace) &&
                   Shell("ip link add z" + letter + " netns " + receiver + " type veth peer name zenta0 netns " +
                         node.Namespace) &&
                   Shell("ip -n " + feed + " link set h" + letter + " master brh up") &&
                   Shell("ip -n " + receiver + " link set z" + letter + " master brz up") &&
                   Shell(n + " addr add " + node.HostIp + "/24 dev host0 && " + n + " link set host0 up") &&
                   Shell(n + " addr add " + node.OwnIp + "/24 dev zenta0 && " + n + " link set zenta0 up");
        }
        // A new link drops what is sent on it until the kernel has marked it up.
        for (const auto& node : nodes) {
            for (const char* link : {"host0", "zenta0"})
                made =
                    made && WaitFor([&] {
                        return Shell("ip -n " + node->Namespace + " link show dev " + link + " | grep -q 'state UP'");
                    });
        }
        return made;
    }

    // Node a active, node b its standby, relaying `row`.
    void StartPair(const std::string& row = kRow)
    {
        for (auto& node : nodes) {
            node->Row = row;
            node->StartRelay();
        }
        nodes[0]->StartKeepalived(preempt, preempt ? 150 : 100);
        ASSERT_TRUE(WaitFor([&] { return nodes[0]->HoldsVirtualAddress(); }, 10s))
            << nodes[0]->KeepalivedLog() << nodes[0]->LogText() << ReadFile(nodes[0]->Health());
        nodes[1]->StartKeepalived(preempt, 100);
        ASSERT_TRUE(WaitFor([&] { return Contains(nodes[1]->KeepalivedLog(), "Entering BACKUP STATE"); }, 10s))
            << nodes[1]->KeepalivedLog() << nodes[1]->LogText();
    }

    void Break(Node& node, Fault fault)
    {
        switch (fault) {
        case Fault::RelayKilled:
            node.Relay->Signal(SIGKILL);
            break;
        case Fault::HostLinkDown:  // the far end of its cable: host0 loses its carrier
            ASSERT_TRUE(Shell("ip -n " + feed + " link set " + node.FeedPort + " down"));
            break;
        case Fault::KeepalivedStopped:
            node.Keepalived->Signal(SIGTERM);
            break;
        case Fault::NodeDies:
            node.Kill();
            break;
        }
    }

    void Mend(Node& node, Fault fault)
    {
        switch (fault) {
        case Fault::RelayKilled:
            ASSERT_EQ(node.Relay->Wait(5s), 128 + SIGKILL);
            node.StartRelay();
            break;
        case Fault::HostLinkDown:
            ASSERT_TRUE(Shell("ip -n " + feed + " link set " + node.FeedPort + " up"));
            break;
        case Fault::KeepalivedStopped:
            ASSERT_EQ(node.Keepalived->Wait(5s), 0) << node.KeepalivedLog();
            node.StartKeepalived(preempt, &node == nodes[0].get() && preempt ? 150 : 100);
            break;
        case Fault::NodeDies:
            // Booted again: the addresses keepalived had given it are gone.
            Shell("ip -n " + node.Namespace + " addr del " + kVirtualIp + "/24 dev zenta0");
            node.StartRelay();
            node.StartKeepalived(preempt, &node == nodes[0].get() && preempt ? 150 : 100);
            break;
        }
    }

    std::string feed, receiver;
    std::vector<std::string> namespaces;
    std::unique_ptr<Node> nodes[2];
    bool preempt = false;
};

TEST_F(RelayPairTest, FailsOverWithinHalfASecondWithoutDuplicates)
{
    const struct {
        const char* Name;
        Fault What;
        // The failed node takes the address back once it is well. Not the
        // shipped default: for the moment both nodes hold the address (the
        // one taking it back has it, the other has not yet heard so) both
        // send, so duplicates are its price and are only counted.
        bool Preempt;
    } cases[] = {
        {"relay-killed", Fault::RelayKilled, false},
        {"host-link-down", Fault::HostLinkDown, false},
        {"keepalived-stopped", Fault::KeepalivedStopped, false},
        {"node-dies", Fault::NodeDies, false},
        {"node-dies-preempt", Fault::NodeDies, true},
    };
    // How many failovers each case makes (bench/failover.sh asks for more), and where each one's silence is written.
    const char* roundsAsked = std::getenv("ORMA_PAIR_ROUNDS");
    const int rounds = roundsAsked ? std::max(1, std::atoi(roundsAsked)) : 1;
    const char* report = std::getenv("ORMA_PAIR_REPORT");
    const char* only = std::getenv("ORMA_PAIR_CASE");
    for (const auto& [name, fault, withPreempt] : cases) {
        if (only && std::string(only) != name)
            continue;
        SCOPED_TRACE(name);
        preempt = withPreempt;
        ASSERT_TRUE(MakeNetwork());
        StartPair();
        if (HasFatalFailure())
            return;
        // Bounded: the feed ends after its count whatever happens.
        const uint64_t total = static_cast<uint64_t>(kRate) * (4 + 5 * rounds);
        Receiver received(receiver, total);
        ASSERT_TRUE(received.Ready());
        NumberedFeed numbered(feed, total);
        ASSERT_TRUE(WaitFor([&] { return received.Count() > 1000; })) << nodes[0]->Relay->Stdout();

        std::vector<std::pair<Clock::time_point, std::string>> faults;  // and what each was
        for (int round = 0; round < rounds; ++round) {
            Node& active = nodes[0]->HoldsVirtualAddress() ? *nodes[0] : *nodes[1];
            Node& standby = &active == nodes[0].get() ? *nodes[1] : *nodes[0];
            ASSERT_FALSE(standby.HoldsVirtualAddress());
            const int waitingLines = CountOf(standby.Relay->Stdout(), kStandbyState);
            ASSERT_TRUE(WaitFor([&] { return CountOf(standby.Relay->Stdout(), kStandbyState) > waitingLines; }));
            const int runningLines = CountOf(standby.Relay->Stdout(), "Running");

            faults.emplace_back(Clock::now(), name);
            Break(active, fault);
            ASSERT_TRUE(WaitFor([&] { return standby.HoldsVirtualAddress(); }, 3s)) << standby.KeepalivedLog();
            EXPECT_TRUE(WaitFor([&] { return CountOf(standby.Relay->Stdout(), "Running") > runningLines; }))
                << "the standby relays now";
            const size_t before = received.Count();
            ASSERT_TRUE(WaitFor([&] { return received.Count() > before + 1000; }));

            Mend(active, fault);
            // Well again: its relay says so in the health file, its keepalived stands by or takes over.
            ASSERT_TRUE(WaitFor([&] { return ReadFile(active.Health()) == "1\n"; }, 10s)) << active.Relay->Stderr();
            if (preempt) {
                faults.emplace_back(Clock::now(), "failback");
                ASSERT_TRUE(WaitFor([&] { return active.HoldsVirtualAddress(); }, 5s)) << active.KeepalivedLog();
            } else {
                std::this_thread::sleep_for(1s);
                EXPECT_TRUE(standby.HoldsVirtualAddress()) << "a node back does not take the address back";
                EXPECT_FALSE(active.HoldsVirtualAddress());
            }
            std::this_thread::sleep_for(500ms);
        }
        std::this_thread::sleep_for(200ms);
        received.Stop();

        const auto& arrivals = received.Arrivals();
        std::vector<bool> seen(total);
        size_t twice = 0;
        for (const Receiver::Arrival& arrival : arrivals) {
            ASSERT_LT(arrival.Number, total);
            twice += seen[arrival.Number];
            seen[arrival.Number] = true;
        }
        if (!preempt) {
            EXPECT_EQ(twice, 0u) << "datagrams received twice";
        }
        if (report)
            std::ofstream(report, std::ios::app) << "twice " << name << ' ' << twice << '\n';
        for (size_t i = 0; i < faults.size(); ++i) {
            const auto& [fault, what] = faults[i];
            // Each failover's own silence: up to the next one at most.
            const Clock::time_point end = i + 1 < faults.size() ? faults[i + 1].first : fault + 3s;
            const std::chrono::milliseconds silence = LongestSilence(arrivals, fault - 50ms, std::min(end, fault + 3s));
            EXPECT_LE(silence, kLongestSilence) << what;
            if (report)
                std::ofstream(report, std::ios::app) << "silence " << what << ' ' << silence.count() << '\n';
        }
        EXPECT_LE(LongestSilence(arrivals, arrivals.front().Time, arrivals.back().Time), kLongestSilence);
        TearDown();
    }
}

// With NMKT on, the standby keeps its ticker map current: after ticker
// records, then depth records, then a failover, the new active node's first
// depth datagram is byte for byte what the old one sent for the same message.
TEST_F(RelayPairTest, ConvertsAfterAFailoverAsTheOldNodeDid)
{
    ASSERT_TRUE(MakeNetwork());
    StartPair("1,QA,239.255.10.1,34001,UDP,MULTICAST,239.255.20.1,34002,UDP,MULTICAST,N,Y,");
    if (HasFatalFailure())
        return;
    const int in = UdpSocketIn(receiver);
    const int out = UdpSocketIn(feed);
    ASSERT_TRUE(JoinGroup(in, kRelayedGroup, kRelayedPort, kReceiverIp) && SendsFrom(out, kFeedIp));
    const sockaddr_in to = Ipv4Address(kFeedGroup, kFeedPort);
    const auto feedMessage = [&](const std::vector<uint8_t>& message) {
        return sendto(out, message.data(), message.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
               static_cast<ssize_t>(message.size());
    };
    // What the active node sends for one message: its datagrams until a pause.
    const auto relayedFor = [&](const std::vector<uint8_t>& message) {
        std::vector<std::vector<uint8_t>> relayed;
        if (!feedMessage(message))
            return relayed;
        std::vector<uint8_t> datagram;
        while (ReceiveDatagram(in, datagram, relayed.empty() ? 2s : 200ms) > 0) relayed.push_back(datagram);
        return relayed;
    };

    const std::vector<int32_t> tokens = {4464, 4465, 4466};
    std::vector<TickerPrices> prices;
    std::vector<TickerOpenInterest> openInterest;
    for (const int32_t token : tokens) {
        prices.push_back({token, 1000 + token % 7, 1100, 990, 1000, 0, 0});
        openInterest.push_back({token, 5000 + token % 11});
    }
    ASSERT_TRUE(feedMessage(EncodePriceMessage(prices)));
    ASSERT_TRUE(feedMessage(EncodeOpenInterestMessage(openInterest)));
    std::vector<DepthQuote> quotes(tokens.size());
    for (size_t i = 0; i < tokens.size(); ++i) {
        quotes[i].Token = tokens[i];
        quotes[i].LastPrice = 1025;
        for (int j = 0; j < 10; ++j)
            quotes[i].Levels[j] = {100 * (j % 5 + 1), 1025 + (j < 5 ? -j : j - 4), static_cast<uint16_t>(j % 5 + 1)};
    }
    const std::vector<uint8_t> depth = EncodeDepthMessage(quotes);
    const std::vector<std::vector<uint8_t>> before = relayedFor(depth);
    ASSERT_FALSE(before.empty()) << nodes[0]->Relay->Stdout();

    Node& standby = *nodes[1];
    ASSERT_TRUE(WaitFor([&] { return Contains(standby.Relay->Stdout(), kStandbyState); }));
    EXPECT_TRUE(WaitFor([&] { return standby.ScrapedState() == kStandbyState; }));
    nodes[0]->Relay->Signal(SIGKILL);
    ASSERT_TRUE(WaitFor([&] { return standby.HoldsVirtualAddress(); }, 3s)) << standby.KeepalivedLog();
    const std::vector<std::vector<uint8_t>> after = relayedFor(depth);
    ASSERT_FALSE(after.empty()) << standby.Relay->Stdout();
    EXPECT_EQ(after, before) << "the new active node's depth datagrams, the first above all";
    EXPECT_TRUE(WaitFor([&] { return standby.ScrapedState() == "Running"; }));
    EXPECT_EQ(CountOf(standby.LogText(), "Config ID 1 Stands by: no interface holds 198.18.1.1"), 1);
    EXPECT_EQ(CountOf(standby.LogText(), "Config ID 1 Takes over: 198.18.1.1, the address towards ZENTA, is on zenta0"),
              1);
    close(in);
    close(out);
}

}  // namespace
