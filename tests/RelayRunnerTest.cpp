// orma-relay as the operator runs it: its command line, then in the
// throwaway network its rows, its store, its reloads, the network
// misbehaving (what the operator sees and what the sink receives) and a
// played systemd. Each case runs its own relay process, so that its
// interface watcher lives in this case's namespace.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <random>
#include <regex>
#include <set>
#include <sstream>

#include "config/PersistedSettings.h"
#include "engine/CaptureWriter.h"
#include "log/EventLog.h"
#include "net/NwProtocol.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/NetworkTest.h"
#include "tests/support/TempSettingsStore.h"
#include "tools/NewFeedEncoder.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using Strings = std::vector<std::string>;
constexpr auto npos = std::string::npos;

const std::string kRow = "1,QA,239.255.10.1,34001,UDP,MULTICAST,239.255.20.1,34002,UDP,MULTICAST,N,N,";
const std::string kSecondRow = "2,QB,239.255.10.2,34003,UDP,MULTICAST,239.255.20.2,34004,UDP,MULTICAST,N,N,";

// kRow with field `index` replaced.
std::string RowWith(size_t index, const std::string& text)
{
    std::string row = kRow;
    size_t begin = 0;
    for (size_t i = 0; i < index; ++i) begin = row.find(',', begin) + 1;
    return row.replace(begin, row.find(',', begin) - begin, text);
}

// The per-second lines are off under systemd; these tests read them.
[[maybe_unused]] const bool kNotUnderSystemd = [] {
    return unsetenv("NOTIFY_SOCKET") == 0 && unsetenv("INVOCATION_ID") == 0;
}();

// How long a stop may take; ThreadSanitizer sleeps a second at exit.
#if defined(__SANITIZE_THREAD__)
constexpr auto kStopWithin = 2s;
#else
constexpr auto kStopWithin = 1s;
#endif

// The last per-second line of a Config ID: the line, then its status,
// Pkts Recv, Pkts Sent, Dropped and Failed; empty before one.
Strings LastCounts(const std::string& printed, int configId)
{
    std::string last;
    const std::string prefix = "Config ID " + std::to_string(configId) + "  ";
    std::istringstream lines(printed);
    for (std::string line; std::getline(lines, line);)
        if (line.starts_with(prefix))
            last = line;
    static const std::regex counts(
        "  (\\S+(?: \\S+)*) +Pkts Recv: ([0-9]+)  Pkts Sent: ([0-9]+)  Dropped: ([0-9]+)  Failed: ([0-9]+)");
    std::smatch match;
    if (!std::regex_search(last, match, counts))
        return {};
    return {last, match[1], match[2], match[3], match[4], match[5]};
}

// What the command line could be read two ways, or cannot be used, is
// refused with status 2 before anything starts: not even the log is written.
TEST(RelayRunnerTest, RefusesWhatItCannotUseBeforeAnythingStarts)
{
    const struct {
        Strings Arguments;
        std::string Says;
    } cases[] = {
        {{kRow.substr(0, kRow.size() - 1)}, "a row ends with \",\""},
        {{kRow + "N,"}, "it has 13 fields"},
        {{"2,QB,239.255.10.2,34001,UDP,MULTICAST,239.255.20.2,34003,UDP,"}, "it has 9 fields"},
        {{RowWith(3, "30500abc")}, "Receiver Port \"30500abc\" is not a whole number"},
        {{RowWith(0, "-0")}, "Config ID \"-0\" is not a whole number"},
        {{RowWith(4, "udp")}, "protocol \"udp\" must be UDP"},
        {{RowWith(9, "UNICAST")}, "mode \"UNICAST\" must be MULTICAST"},
        {{RowWith(11, "Yes")}, "NMKT \"Yes\" must be Y or N"},
        {{RowWith(7, "70000")}, "Sender Port must be from 1 to 65535."},
        {{RowWith(7, "34x02")}, "Sender Port \"34x02\" is not a whole number"},
        {{kRow, RowWith(1, "QB")}, "Config ID 1 is used twice"},
        {{"--seconds", "99999999999999999999", kRow}, "--seconds must be a whole number"},
        {{"--seconds", "5s", kRow}, "--seconds must be a whole number"},
        {{"--rejoin-seconds", "-1", kRow}, "--rejoin-seconds must be a whole number"},
        {{"--poll-cpus", "0", kRow}, "--poll-cpus needs --poll"},
        {{"--poll", "--poll-cpus", "1023", kRow}, "--poll-cpus: CPU 1023 does not exist here"},
        {{"--poll", "--poll-cpus", "0", kRow, kSecondRow}, "names 1 CPU for 2 polling relays"},
        {{"--poll", "--poll-cpus", "0,0", kRow, kSecondRow}, "--poll-cpus: CPU 0 is named twice"},
        {{"--metrics", "localhost:9469", kRow}, "--metrics needs PORT or IPV4-ADDRESS:PORT"},
        {{"--quiet", "--counters", kRow}, "--quiet and --counters contradict"},
        {{"--log-dir", "/nonexistent/orma", kRow}, "--log-dir /nonexistent/orma is not a folder"},
        {{"--all", kRow}, "--all and --store go with --from-store"},
    };
    for (const auto& [arguments, says] : cases) {
        TempDirectory directory;
        Strings argv = {ORMA_RELAY_PATH, "--host-ip", "198.18.0.2", "--zenta-ip", "198.18.1.1"};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        ChildProcess relay(argv, directory.Path());
        EXPECT_EQ(relay.Wait(5s), 2) << says;
        EXPECT_PRED2(Contains, relay.Stderr(), says);
        EXPECT_TRUE(std::filesystem::is_empty(directory.Path())) << says << ": nothing started, nothing logged";
    }
    TempDirectory directory;
    ChildProcess relay({ORMA_RELAY_PATH, "--from-store", kRow}, directory.Path());
    EXPECT_EQ(relay.Wait(5s), 2);
    EXPECT_PRED2(Contains, relay.Stderr(), "not rows");
}

// orma-relay in the relay namespace, working and logging in a store folder
// of the test's own; a sink on each row's output.
class RelayTest : public NetworkTest {
protected:
    void SetUp() override
    {
        NetworkTest::SetUp();
        if (IsSkipped())
            return;
        sink = network->OpenSinkSocket("239.255.20.1", 34002);
        secondSink = network->OpenSinkSocket("239.255.20.2", 34004);
    }
    Strings Relay(const Strings& arguments) const
    {
        Strings argv = {"ip", "netns", "exec", network->RelayNamespace(), ORMA_RELAY_PATH};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return argv;
    }
    // In rows mode, on the test network's addresses (or another ZENTA-side one).
    void StartRelay(Strings arguments, const std::string& zentaSideIp = TestNetwork::kZentaSideIp)
    {
        arguments.insert(arguments.begin(), {"--host-ip", TestNetwork::kHostSideIp, "--zenta-ip", zentaSideIp});
        relay = std::make_unique<ChildProcess>(Relay(arguments), store.Path());
    }
    bool Feed(const Bytes& datagram) { return network->Feed("239.255.10.1", 34001, datagram); }
    // Feeds kRow's (or kSecondRow's) group until its sink receives a datagram
    // within the time: the relay of that configuration runs.
    bool Relays(int row = 1, std::chrono::milliseconds within = 5s)
    {
        Bytes out;
        return WaitFor(
            [&] {
                network->Feed(row == 1 ? "239.255.10.1" : "239.255.10.2", row == 1 ? 34001 : 34003, Bytes(100, 1));
                return ReceiveDatagram(row == 1 ? sink : secondSink, out, 20ms) == 512;
            },
            within);
    }
    // How many per-second lines the relay printed that contain `part`.
    int Printed(const std::string& part) const { return CountOf(relay->Stdout(), part); }
    // Waits for the relay to print one more per-second line containing `part`.
    bool PrintsAnother(const std::string& part) const
    {
        const int before = Printed(part);
        return WaitFor([&] { return Printed(part) > before; });
    }

    // A UDP counter of /proc/net/snmp in the relay's namespace, where the relay's sockets are the only ones.
    uint64_t UdpCounter(int column) const
    {
        ChildProcess snmp({"ip", "netns", "exec", network->RelayNamespace(), "awk",
                           "/^Udp:/ { if (n++) print $" + std::to_string(column) + " }", "/proc/net/snmp"},
                          store.Path());
        return snmp.Wait(5s) == 0 ? std::stoull(snmp.Stdout()) : 0;
    }
    // orma-monitor in the sink namespace, listening for `count` datagrams; then orma-feed with `feedArguments`.
    std::unique_ptr<ChildProcess> MonitorWhileFeeding(const char* count, const std::string& feedArguments) const
    {
        auto monitor = std::make_unique<ChildProcess>(
            Strings{"ip", "netns", "exec", network->SinkNamespace(), ORMA_MONITOR, "--group", "239.255.20.1", "--port",
                    "34002", "--interface", TestNetwork::kSinkIp, "--count", count, "--seconds", "10"},
            store.Path());
        // It says when it has joined: only then may the feed start.
        EXPECT_TRUE(WaitFor([&] { return monitor->Stdout().starts_with("orma-monitor: listening on"); }));
        EXPECT_TRUE(Shell("ip netns exec " + network->FeedNamespace() +
                          " " ORMA_FEED " --group 239.255.10.1 --port 34001 --interface 198.18.0.1 " + feedArguments));
        EXPECT_EQ(monitor->Wait(15s), 0);
        return monitor;
    }
    // Sends `count` datagrams of 0xEE bytes to group:port from the sink, into the relay's ZENTA side.
    bool InjectFromZentaSide(const std::string& group, uint16_t port, int count)
    {
        const int injector = network->OpenSinkSocket("239.255.30.1", 34009);
        const unsigned char off = 0;  // nothing on the sink's own host hears it
        const sockaddr_in to = Ipv4Address(group, port);
        const Bytes datagram(100, 0xEE);
        bool sent = SendsFrom(injector, TestNetwork::kSinkIp) &&
                    setsockopt(injector, IPPROTO_IP, IP_MULTICAST_LOOP, &off, sizeof off) == 0;
        for (int i = 0; i < count && sent; ++i)
            sent = sendto(injector, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                          sizeof to) == 100;
        return sent;
    }

    // StartRelay under a played systemd: a datagram socket of the test's own
    // named by NOTIFY_SOCKET, the watchdog set to 1 s through WATCHDOG_USEC.
    // The per-second lines are off then.
    void StartRelayUnderSystemd(const Strings& arguments)
    {
        systemd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s/notify", store.Path().c_str());
        ASSERT_EQ(bind(systemd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << std::strerror(errno);
        setenv("NOTIFY_SOCKET", address.sun_path, 1);
        setenv("WATCHDOG_USEC", "1000000", 1);
        StartRelay(arguments);
        unsetenv("NOTIFY_SOCKET");
        unsetenv("WATCHDOG_USEC");
    }
    // Whether the relay told systemd `message` since `told` was last cleared.
    bool tells(const std::string& message)
    {
        char next[512];
        for (ssize_t length; (length = recv(systemd, next, sizeof next, MSG_DONTWAIT)) > 0;)
            told.emplace_back(next, static_cast<size_t>(length));
        return std::find(told.begin(), told.end(), message) != told.end();
    }
    void TearDown() override
    {
        if (systemd >= 0)
            close(systemd);
    }

    TempSettingsStore store;
    std::unique_ptr<ChildProcess> relay;
    int systemd = -1;
    Strings told;
    int sink = -1, secondSink = -1;
};

// It relays every datagram as exactly 512 bytes, from where it was received:
// cut, or padded with zeros (nothing of a longer one shows behind a shorter
// one); it reports every second, and ends in order after its time, on
// SIGTERM (polling, here), SIGPWR and in rows mode on SIGHUP. Signals that
// mean nothing to it (SIGUSR1, SIGALRM) are ignored.
TEST_F(RelayTest, RelaysReportsAndEndsInOrder)
{
    Bytes out;
    const int stops[] = {0, SIGTERM, SIGHUP, SIGPWR};
    for (const int signal : stops) {
        StartRelay(signal == 0         ? Strings{"--seconds", "2", kRow}
                   : signal == SIGTERM ? Strings{"--poll", kRow}
                                       : Strings{kRow});
        ASSERT_TRUE(Relays());  // the relay may still be starting
        if (signal == SIGPWR) {
            relay->Signal(SIGUSR1);
            relay->Signal(SIGALRM);
            EXPECT_TRUE(Relays(1, 2s)) << "still relaying after SIGUSR1 and SIGALRM";
        }
        while (ReceiveDatagram(sink, out, 100ms) >= 0) {}
        if (signal == 0) {
            Bytes longest(kMaxDatagramLength), padded(512, 0);
            std::iota(longest.begin(), longest.end(), 1);
            std::fill_n(padded.begin(), 100, 0xAB);
            // The last one is empty; the one before, longer than the receive buffer, is dropped and counted.
            const std::pair<Bytes, Bytes> relayed[] = {{longest, Bytes(longest.begin(), longest.begin() + 512)},
                                                       {Bytes(100, 0xAB), padded},
                                                       {Bytes(kMaxDatagramLength + 1, 9), {}},
                                                       {{}, Bytes(512, 0)}};
            for (const auto& [in, expected] : relayed) {
                ASSERT_TRUE(Feed(in));
                out.clear();
                ReceiveDatagram(sink, out, expected.empty() ? 200ms : 2s);
                EXPECT_EQ(out, expected) << in.size() << " bytes in";
            }
        } else {
            relay->Signal(signal);
        }
        ASSERT_EQ(relay->Wait(10s), 0) << relay->Stderr();
        EXPECT_EQ(ReceiveDatagram(sink, out, 200ms), -1) << "the stop is no datagram";
        // The first line comes after a second: only the run of 2 s is sure to print one.
        for (const char* line :
             {"Config ID 1  Stopped", signal ? "  Dropped: 0  Failed: 0\n" : "  Failed: 0  Oversized: 1\n",
              signal ? "" : "Config ID 1  Running               Pkts Recv: "})
            EXPECT_PRED2(Contains, relay->Stdout(), line);
    }
    for (const char* line :
         {"ORMA UDP Broadcast Server has been Started", "ORMA UDP Broadcast Server has been Closed",
          "Config ID 1 Receive Socket Created Successfully. IP: 239.255.10.1, Port: 34001, Retval: 0 ",
          "Config ID 1 Send Socket Created Successfully. IP: 239.255.20.1, Port: 34002, Retval: 0 "})
        EXPECT_EQ(store.CountLogLines(line), static_cast<int>(std::size(stops))) << line << "\n" << store.LogText();
    EXPECT_EQ(store.CountLogLines("Config ID 1 polls for datagrams on any CPU."), 1);
    EXPECT_EQ(store.CountLogLines("Config ID 1 Datagrams longer than 2500 bytes arrive"), 1);
}

// Packets in a capture file.
size_t CapturedPackets(const std::string& file)
{
    size_t packets = 0;
    char error[PCAP_ERRBUF_SIZE];
    if (pcap_t* capture = pcap_open_offline(file.c_str(), error)) {
        pcap_pkthdr* header = nullptr;
        const u_char* bytes = nullptr;
        while (pcap_next_ex(capture, &header, &bytes) == 1) ++packets;
        pcap_close(capture);
    }
    return packets;
}

// With --capture-dir only the rows whose Archive field is Y are captured,
// one file per segment and direction, as many datagrams as the relay
// counted; on a full disk (a tmpfs of its own mount namespace) the relay
// relays everything and its line counts what was not captured.
TEST_F(RelayTest, CapturesTheRowsWhoseArchiveFieldIsYAndRelaysOnWhenTheDiskIsFull)
{
    std::string archived = kSecondRow;
    archived.replace(archived.size() - 4, 1, "Y");
    ASSERT_EQ(archived.substr(archived.size() - 5), ",Y,N,");
    for (const bool fullDisk : {false, true}) {
        SCOPED_TRACE(fullDisk ? "full disk" : "room enough");
        TempDirectory folder;
        const Strings relayArgv = Relay({"--host-ip", TestNetwork::kHostSideIp, "--zenta-ip", TestNetwork::kZentaSideIp,
                                         "--capture-dir", folder.Path(), "--seconds", "3", kRow, archived});
        if (fullDisk) {
            std::string command = "mount -t tmpfs -o size=64k tmpfs '" + folder.Path() + "' && exec";
            for (const std::string& argument : relayArgv) command += " '" + argument + "'";
            relay = std::make_unique<ChildProcess>(
                Strings{"unshare", "-m", "--propagation", "private", "sh", "-c", command}, store.Path());
        } else {
            relay = std::make_unique<ChildProcess>(relayArgv, store.Path());
        }
        ASSERT_TRUE(Relays(1));
        ASSERT_TRUE(Relays(2));
        if (fullDisk) {
            // About 700 bytes of capture each: well beyond 64 KiB.
            for (int i = 0; i < 400; ++i) {
                ASSERT_TRUE(network->Feed("239.255.10.2", 34003, Bytes(100, 2)));
                if (i % 50 == 49)
                    std::this_thread::sleep_for(10ms);
            }
        }
        ASSERT_EQ(relay->Wait(10s), 0) << relay->Stderr();
        const Strings counts = LastCounts(relay->Stdout(), 2);
        ASSERT_EQ(counts.size(), 6u) << relay->Stdout();
        if (fullDisk) {
            EXPECT_EQ(counts[2], counts[3]) << "every datagram relayed";
            EXPECT_GE(std::stoi(counts[3]), 400);
            EXPECT_EQ(counts[4], "0");
            EXPECT_PRED2(Contains, counts[0], "  Not captured: ");
            EXPECT_EQ(store.CountLogLines("cannot be written"), 2) << "one line per file set, received and sent\n"
                                                                   << store.LogText();
            continue;
        }
        Strings names;
        size_t received = 0, sent = 0;
        for (const std::string& file : CCaptureWriter::CaptureFiles(folder.Path())) {
            const std::string name = std::filesystem::path(file).filename().string();
            names.push_back(name.substr(0, name.find('-', 3)));
            (name.starts_with("QB-sent-") ? sent : received) += CapturedPackets(file);
        }
        EXPECT_EQ(names, (Strings{"QB-received", "QB-sent"}));
        EXPECT_EQ(std::to_string(received), counts[2]);
        EXPECT_EQ(std::to_string(sent), counts[3]);
        EXPECT_FALSE(Contains(relay->Stdout(), "Not captured")) << relay->Stdout();
    }
}

// A row that cannot start, receiving or sending, stops the others in order
// with status 1 and says why; two rows that feed each other (the Host and
// ZENTA sides on one interface) are refused before anything starts.
TEST_F(RelayTest, EndsWhenARowCannotStartAndRefusesALoop)
{
    const std::string notLocal = "2,QB,198.18.0.9,34003,UDP,MULTICAST,239.255.20.2,34004,UDP,MULTICAST,N,N,";
    StartRelay({kRow, notLocal});
    EXPECT_EQ(relay->Wait(10s), 1);
    EXPECT_PRED2(Contains, relay->Stderr(), "Config ID 2 could not start: Receive Connect Error, Cannot assign");
    EXPECT_PRED2(Contains, relay->Stdout(), "Config ID 1  Stopped");
    StartRelay({kRow}, "198.18.9.9");  // no interface holds it
    EXPECT_EQ(relay->Wait(10s), 1);
    EXPECT_PRED2(Contains, relay->Stderr(), "Can't initialize sending socket....\n");
    EXPECT_PRED2(Contains, relay->Stderr(), "Config ID 1 could not start: Send Connect Error, Cannot assign");

    ASSERT_TRUE(Shell("ip -n " + network->RelayNamespace() + " addr add 198.18.0.3/24 dev host0"));
    const std::string back = "2,QB,239.255.20.1,34002,UDP,MULTICAST,239.255.10.1,34001,UDP,MULTICAST,N,N,";
    StartRelay({kRow, back}, "198.18.0.3");
    EXPECT_EQ(relay->Wait(10s), 2);
    const std::string refusal = "Config ID 2 would relay its own output back to itself (2 > 1 > 2)";
    EXPECT_PRED2(Contains, relay->Stderr(), refusal);

    const std::string notAvailable = std::to_string(EADDRNOTAVAIL);
    for (const std::string& line :
         {"Config ID 2 Error in Receive Socket. IP: 198.18.0.9, Port: 34003, Retval: " + notAvailable + " \n",
          "Config ID 1 Error in Send Socket. IP: 239.255.20.1, Port: 34002, Retval: " + notAvailable + " \n",
          refusal + "; not started.\n"})
        EXPECT_PRED2(Contains, store.LogText(), line);
    EXPECT_EQ(store.CountLogLines("has been Started successfully"), 1) << "only the first run's Config ID 1";
}

// A closed standard output (a reader that went away) stops the lines, and
// an event log that cannot be written (or may not be: a planted link) is
// said on stderr; relaying goes on.
// (Root writes into any folder of an ordinary file system: /sys refuses
// new files even to root.)
TEST_F(RelayTest, SurvivesAClosedStandardOutputAndAnUnwritableLog)
{
    const std::string command = std::string("'") + ORMA_RELAY_PATH + "' --host-ip " + TestNetwork::kHostSideIp +
                                " --zenta-ip " + TestNetwork::kZentaSideIp + " --log-dir /sys --seconds 3 " + kRow +
                                " | true; exit ${PIPESTATUS[0]}";
    ChildProcess piped({"ip", "netns", "exec", network->RelayNamespace(), "bash", "-c", command}, store.Path());
    std::this_thread::sleep_for(1500ms);  // past the first line, written into the closed pipe
    EXPECT_TRUE(Relays());
    EXPECT_EQ(piped.Wait(10s), 0) << piped.Stderr();
    EXPECT_PRED2(Contains, piped.Stderr(), "The event log /sys/PLUX_");
    EXPECT_PRED2(Contains, piped.Stderr(), "cannot be written: Permission denied.");

    // Nor does root's relay write through a link planted under the day's name in a folder others can write.
    const std::string shared = store.Path() + "/shared", victim = store.Path() + "/victim";
    std::filesystem::create_directory(shared);
    std::filesystem::permissions(shared, std::filesystem::perms::all | std::filesystem::perms::sticky_bit);
    std::ofstream(victim) << "root's own\n";
    const std::string planted = shared + "/" + CEventLog::GetLogFileName(std::time(nullptr));
    std::filesystem::create_symlink(victim, planted);
    ChildProcess linked(Relay({"--host-ip", TestNetwork::kHostSideIp, "--zenta-ip", TestNetwork::kZentaSideIp,
                               "--log-dir", shared, "--seconds", "1", kRow}),
                        store.Path());
    EXPECT_EQ(linked.Wait(10s), 0) << linked.Stderr();
    EXPECT_PRED2(
        Contains, linked.Stderr(),
        "The event log " + planted + " cannot be written: it is a symbolic link, which the log does not follow.");
    EXPECT_EQ(ReadFile(victim), "root's own\n");
}

// The event log's disk frozen (a hung mount or a dying disk does the same)
// holds up the log's writer, never the relay thread: every datagram fed
// meanwhile is relayed while the relay queues lines of its own, and those
// reach the file once the disk thaws.
TEST_F(RelayTest, RelaysOnWhileItsLogDiskIsFrozen)
{
    const std::string image = store.Path() + "/log.img", folder = store.Path() + "/log";
    std::filesystem::create_directory(folder);
    ASSERT_TRUE(Shell("truncate -s 16M '" + image + "' && mkfs.ext4 -q -F '" + image + "'"));
    std::string command = "mount -o loop '" + image + "' '" + folder + "' && exec";
    for (const std::string& argument : Relay({"--host-ip", TestNetwork::kHostSideIp, "--zenta-ip",
                                              TestNetwork::kZentaSideIp, "--log-dir", folder, kRow}))
        command += " '" + argument + "'";
    // The mount lives in a namespace of the relay's own, gone with it.
    relay = std::make_unique<ChildProcess>(Strings{"unshare", "-m", "--propagation", "private", "sh", "-c", command},
                                           store.Path());
    ASSERT_TRUE(Relays()) << relay->Stderr();
    ASSERT_TRUE(PrintsAnother("Running"));
    const std::string inRelaysMounts = "nsenter -t " + std::to_string(relay->Pid()) + " -m ";
    const auto logged = [&](const std::string& part) {
        ChildProcess cat(
            {"nsenter", "-t", std::to_string(relay->Pid()), "-m", "sh", "-c", "cat '" + folder + "'/PLUX_*"},
            store.Path());
        return cat.Wait(5s) == 0 ? CountOf(cat.Stdout(), part) : -1;
    };
    ASSERT_TRUE(Shell(inRelaysMounts + "fsfreeze -f '" + folder + "'"));
    struct Thaw {
        std::string Command;
        ~Thaw() { (void)Shell(Command); }
    } thaw{inRelaysMounts + "fsfreeze -u '" + folder + "'"};

    const auto sent = [&] {
        const Strings last = LastCounts(relay->Stdout(), 1);
        return last.empty() ? 0 : std::stoull(last[3]);
    };
    const uint64_t before = sent();
    constexpr int kRounds = 3, kPerRound = 1500;  // three lines: fewer than the trouble lines allowed a minute
    for (int round = 0; round < kRounds; ++round) {
        ASSERT_TRUE(Feed(Bytes(3000, 7)));  // a line of the relay thread's own: oversized datagrams arrive
        for (int i = 0; i < kPerRound; ++i) {
            ASSERT_TRUE(Feed(Bytes(512, 8)));
            if (i % 100 == 99)
                std::this_thread::sleep_for(2ms);
        }
    }
    EXPECT_TRUE(WaitFor([&] { return sent() == before + kRounds * kPerRound; })) << relay->Stdout();
    EXPECT_EQ(logged("Datagrams longer than 2500 bytes arrive"), 0) << "the disk is frozen";

    ASSERT_TRUE(Shell(thaw.Command));
    EXPECT_TRUE(WaitFor([&] { return logged("Datagrams longer than 2500 bytes arrive") == kRounds; }));
    relay->Signal(SIGTERM);
    EXPECT_EQ(relay->Wait(5s), 0);
}

// Store mode runs the Auto Start list, holding the store against a second
// program. SIGHUP applies the store again: an unchanged configuration
// relays through it without losing a datagram, and an added one starts.
// With --all every configuration runs, from the store --store names; one
// that feeds itself is not started.
TEST_F(RelayTest, RunsTheStoreHoldsItAndReloadsWithoutLoss)
{
    ASSERT_TRUE(TempSettingsStore::StoreConfigurations({kRow, kSecondRow}, "1,"));
    const int bigBuffer = 16 << 20;  // holds the whole feed: it is counted afterwards
    ASSERT_EQ(setsockopt(sink, SOL_SOCKET, SO_RCVBUFFORCE, &bigBuffer, sizeof bigBuffer), 0);
    ChildProcess autoStart(Relay({"--from-store"}), store.Path());
    ASSERT_TRUE(Relays()) << autoStart.Stderr();
    ChildProcess second(Relay({"--from-store", "--all"}), store.Path());
    EXPECT_EQ(second.Wait(5s), 3);
    EXPECT_PRED2(Contains, second.Stderr(),
                 "the settings store " + store.Path() + "/config/orma-broadcast-server is in use by another program");
    EXPECT_EQ(store.CountLogLines("Config ID 2"), 0) << "not in the Auto Start list";

    Bytes out;
    while (ReceiveDatagram(sink, out, 100ms) >= 0) {}
    constexpr uint32_t kDatagrams = 2000;  // 2,000 a second for about a second
    for (uint32_t sequence = 0; sequence < kDatagrams; ++sequence) {
        if (sequence == kDatagrams / 2) {
            ASSERT_TRUE(TempSettingsStore::StoreConfigurations({kRow, kSecondRow}, "1,2,"));
            autoStart.Signal(SIGHUP);
        }
        Bytes datagram(100, 0);
        std::memcpy(datagram.data(), &sequence, sizeof sequence);
        Feed(datagram);
        std::this_thread::sleep_for(500us);
    }
    std::set<uint32_t> received;
    while (ReceiveDatagram(sink, out, 500ms) == 512) {
        uint32_t sequence = 0;
        std::memcpy(&sequence, out.data(), sizeof sequence);
        received.insert(sequence);
    }
    EXPECT_EQ(received.size(), kDatagrams);
    EXPECT_TRUE(received.empty() || *received.rbegin() == kDatagrams - 1);
    EXPECT_TRUE(Relays(2));
    autoStart.Signal(SIGTERM);
    ASSERT_EQ(autoStart.Wait(10s), 0);
    EXPECT_EQ(store.CountLogLines("Config ID 2 Reload: added, started."), 1) << store.LogText();
    EXPECT_EQ(store.CountLogLines("Config ID 1 Reload"), 0) << store.LogText();
    EXPECT_EQ(store.CountLogLines("Config ID 1 has been Started successfully."), 1);

    ASSERT_TRUE(TempSettingsStore::StoreConfigurations({kRow, kSecondRow}, "1,"));
    TempDirectory elsewhere;
    setenv("XDG_CONFIG_HOME", elsewhere.Path().c_str(), 1);
    ChildProcess all(Relay({"--from-store", "--all", "--store", store.Path() + "/config/orma-broadcast-server"}),
                     store.Path());
    EXPECT_TRUE(Relays());
    EXPECT_TRUE(Relays(2));
    all.Signal(SIGTERM);
    EXPECT_EQ(all.Wait(10s), 0);
    setenv("XDG_CONFIG_HOME", (store.Path() + "/config").c_str(), 1);

    // Both sides on one interface: configuration 3 would receive what it sends.
    const std::string selfFeeding = "3,QC,239.255.10.3,34005,UDP,MULTICAST,239.255.10.3,34005,UDP,MULTICAST,N,N,";
    ASSERT_TRUE(TempSettingsStore::Store(
        kConfigurationKey,
        {{"Record Count", "2"}, {"0", kRow}, {"1", selfFeeding}, {"Zenta Side IP", TestNetwork::kHostSideIp}}));
    ChildProcess oneInterface(Relay({"--from-store", "--all", "--seconds", "1"}), store.Path());
    EXPECT_EQ(oneInterface.Wait(10s), 0);
    EXPECT_EQ(store.CountLogLines("Config ID 3 would relay its own output back to itself (3 > 3); not started."), 1);
    EXPECT_PRED2(Contains, oneInterface.Stdout(), "Config ID 1  Connected");
    EXPECT_FALSE(Contains(oneInterface.Stdout(), "Config ID 3")) << oneInterface.Stdout();
}

// A reload that cannot read the store whole (a damaged "Host Side IP" or
// "Auto Start" line) stops and starts nothing and says so in one line; a row
// with a typo is refused by its field and its relay left running, while the
// rest of the reload goes ahead. A stop signal ends the load of a huge store.
TEST_F(RelayTest, AReloadChangesNothingItCannotReadAndATypoMovesNoRelay)
{
    const fs::path values = store.ConfigurationValues();
    const auto damage = [&values](const std::string& line) {
        std::string text = ReadFile(values);
        text.replace(text.find(line), line.size(), line + "\\q");
        std::ofstream(values, std::ios::binary) << text;
    };
    for (const char* line : {"Host Side IP=", "Auto Start="}) {
        ASSERT_TRUE(TempSettingsStore::StoreConfigurations({kRow, kSecondRow}, "1,2,"));
        ChildProcess running(Relay({"--from-store"}), store.Path());
        ASSERT_TRUE(Relays(1) && Relays(2)) << running.Stderr();
        damage(line);
        running.Signal(SIGHUP);
        EXPECT_TRUE(WaitFor([&] { return store.CountLogLines("no relay was stopped or started.") == 1; }));
        EXPECT_TRUE(Relays(1, 2s) && Relays(2, 2s)) << line;
        running.Signal(SIGTERM);
        EXPECT_EQ(running.Wait(10s), 0);
        EXPECT_EQ(store.CountLogLines("Reload: the settings store could not be read whole (PLUX Details: line"), 1);
        EXPECT_EQ(store.CountLogLines("Config ID 1 Reload") + store.CountLogLines("Config ID 2 Reload") +
                      store.CountLogLines("cannot start"),
                  0)
            << line << "\n"
            << store.LogText();
        std::filesystem::remove(values);
        for (const auto& entry : std::filesystem::directory_iterator(store.Path()))
            if (entry.path().filename().string().starts_with("PLUX_"))
                std::filesystem::remove(entry.path());
    }

    ASSERT_TRUE(TempSettingsStore::StoreConfigurations({kRow, kSecondRow}, "1,"));
    ChildProcess running(Relay({"--from-store"}), store.Path());
    ASSERT_TRUE(Relays(1)) << running.Stderr();
    ASSERT_TRUE(TempSettingsStore::StoreConfigurations({RowWith(3, "34x21"), kSecondRow}, "1,2,"));
    running.Signal(SIGHUP);
    EXPECT_TRUE(Relays(2));
    EXPECT_TRUE(Relays(1, 2s));
    EXPECT_EQ(store.CountLogLines("Skipped PLUX Details value \"0\": Receiver Port \"34x21\" is not a whole number."),
              1);
    EXPECT_EQ(store.CountLogLines("Config ID 1 Reload: its row was refused, it keeps relaying."), 1);
    EXPECT_EQ(store.CountLogLines("Config ID 2 Reload: added, started."), 1) << store.LogText();
    running.Signal(SIGTERM);
    EXPECT_EQ(running.Wait(10s), 0);

    // A store at the size limit, stopped while it loads (what the load logs is the store's own test's).
    std::ofstream(values, std::ios::binary) << TempSettingsStore::MillionRows();
    ChildProcess loading(Relay({"--from-store"}), store.Path());
    std::this_thread::sleep_for(100ms);
    loading.Signal(SIGTERM);
    EXPECT_EQ(loading.Wait(5s), 0);
    EXPECT_EQ(store.CountLogLines("ORMA UDP Broadcast Server has been Closed"), 2);
}

// The network misbehaving. Started before its interface, a relay asked to
// wait does. Stopped while the feed runs, it loses datagrams in the kernel,
// and counts what the kernel counts, kept when its sockets are made anew.
// Interfaces deleted and made again (a driver reload, a VLAN made anew) and
// an address removed and added again: each time it says it waits, and
// relays again within 2 s of the interface being back. Refused sends are
// counted, shown and said once; in a batch the ones after a refused
// datagram still go, in their order.
TEST_F(RelayTest, RelaysThroughWhatTheNetworkDoes)
{
    const std::string relayNs = "ip -n " + network->RelayNamespace();
    ASSERT_TRUE(Shell(relayNs + " link del host0"));  // its veth peer goes with it
    StartRelay({"--wait-for-interfaces", kRow});
    ASSERT_TRUE(PrintsAnother("Waiting for Interface"));
    ASSERT_TRUE(network->MakeLink(/*hostSide=*/true));
    ASSERT_TRUE(Relays());

    ASSERT_TRUE(relay->Freeze());
    for (int i = 0; i < 5000; ++i) Feed(Bytes(1400, 3));
    relay->Signal(SIGCONT);
    const std::string dropped = "Dropped: " + std::to_string(UdpCounter(6)) + " ";  // RcvbufErrors
    ASSERT_NE(dropped, "Dropped: 0 ") << "the stall lost nothing; feed more";
    EXPECT_TRUE(WaitFor([&] { return Printed(dropped) > 0; }, 2s)) << relay->Stdout() << "the kernel: " << dropped;
    Bytes out;
    while (ReceiveDatagram(sink, out, 100ms) >= 0) {}  // what it relayed after the stall

    ASSERT_TRUE(Shell(relayNs + " link del host0"));
    ASSERT_TRUE(PrintsAnother("Waiting for Interface"));
    ASSERT_TRUE(network->MakeLink(/*hostSide=*/true));
    EXPECT_TRUE(Relays(1, 2s)) << "Host side";
    ASSERT_TRUE(Shell(relayNs + " link del zenta0"));
    ASSERT_TRUE(PrintsAnother("Waiting for Interface"));
    ASSERT_TRUE(network->MakeLink(/*hostSide=*/false));
    // The sink's interface is new too (the old socket closes with the network).
    sink = network->OpenSinkSocket("239.255.20.1", 34002);
    EXPECT_TRUE(Relays(1, 2s)) << "ZENTA side";
    ASSERT_TRUE(Shell(relayNs + " addr del " + TestNetwork::kHostSideIp + "/24 dev host0"));
    ASSERT_TRUE(PrintsAnother("Waiting for Interface"));
    ASSERT_TRUE(Shell(relayNs + " addr add " + TestNetwork::kHostSideIp + "/24 dev host0"));
    EXPECT_TRUE(Relays(1, 2s)) << "address back";
    EXPECT_TRUE(WaitFor([&] {
        return store.CountLogLines("Config ID 1 Relays again: receiving on host0, sending from zenta0.") == 3;
    }));
    EXPECT_EQ(store.CountLogLines("Config ID 1 Waiting for its interfaces: no interface holds"), 4) << store.LogText();

    // Every other datagram the relay sends is refused, the first among them.
    while (ReceiveDatagram(sink, out, 100ms) >= 0) {}
    const std::string nft = "ip netns exec " + network->RelayNamespace() + " nft ";
    ASSERT_TRUE(Shell(nft + "'add table ip fault; add chain ip fault out { type filter hook output priority 0; }; "
                            "add rule ip fault out udp dport 34002 numgen inc mod 2 == 0 drop'"));
    // Stopped meanwhile, the relay finds them all in its socket: the one
    // that ends its wait and the next it takes alone, the rest as a batch.
    ASSERT_TRUE(relay->Freeze());
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(Feed(Bytes(100, static_cast<uint8_t>(i))));
    relay->Signal(SIGCONT);
    for (int i = 1; i < 10; i += 2) {
        ASSERT_EQ(ReceiveDatagram(sink, out, 2s), 512);
        EXPECT_EQ(out[0], i);
    }
    // Only the accepted ones count as sent (all before were), and the drops of the sockets it closed still count.
    const std::regex failing("Send Failing +Pkts Recv: ([0-9]+)  Pkts Sent: ([0-9]+)  " + dropped + " Failed: 5\n");
    std::smatch counts;
    std::string printed;
    ASSERT_TRUE(WaitFor([&] { return std::regex_search(printed = relay->Stdout(), counts, failing); })) << printed;
    EXPECT_EQ(std::stoul(counts[1]) - std::stoul(counts[2]), 5u) << counts[0];
    ASSERT_TRUE(Shell(nft + "delete table ip fault"));
    EXPECT_TRUE(Relays());
    // However the refusals fell into episodes, each is said once either way, with what it cost.
    const std::regex ended("Config ID 1 Sends succeed again after ([0-9]+) failed\\.");
    int episodes = 0, failed = 0;
    EXPECT_TRUE(WaitFor([&] {
        const std::string log = store.LogText();
        episodes = failed = 0;
        for (std::sregex_iterator line(log.begin(), log.end(), ended), end; line != end; ++line, ++episodes)
            failed += std::stoi((*line)[1]);
        return failed == 5;
    })) << store.LogText();
    EXPECT_EQ(store.CountLogLines("Config ID 1 Sends are failing: Operation not permitted"), episodes);
}

// Its own output never comes back, and the ZENTA side never feeds it: a
// row sending to the very group and port it receives relays each datagram
// once while a program on the relay's host listens to that group on the
// ZENTA side, and datagrams sent into the Host-side group from the ZENTA
// side are not relayed.
TEST_F(RelayTest, RelaysNeitherItsOwnOutputNorTheZentaSide)
{
    const int out = network->OpenSinkSocket("239.255.10.1", 34001);
    network->EnterRelay();
    const int listener = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    network->LeaveRelay();
    ASSERT_TRUE(JoinGroup(listener, "239.255.10.1", 34001, TestNetwork::kZentaSideIp));
    StartRelay({"1,QA,239.255.10.1,34001,UDP,MULTICAST,239.255.10.1,34001,UDP,MULTICAST,N,N,"});
    ASSERT_TRUE(WaitFor([&] { return Printed("Connected") > 0; }));
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(Feed(Bytes(100, 1)));
    ASSERT_TRUE(InjectFromZentaSide("239.255.10.1", 34001, 10));
    std::this_thread::sleep_for(1500ms);
    relay->Signal(SIGTERM);
    ASSERT_EQ(relay->Wait(5s), 0);
    const Strings last = LastCounts(relay->Stdout(), 1);
    ASSERT_FALSE(last.empty());
    EXPECT_EQ(last[2] + " " + last[3], "10 10") << last[0];
    Bytes datagram;
    int relayed = 0;
    while (ReceiveDatagram(out, datagram, 100ms) == 512) relayed += datagram[0] == 1;
    EXPECT_EQ(relayed, 10);
    close(listener);
}

// Two rows that feed each other once both sides are one interface: an
// address moved there while they run, or both addresses arriving there
// after a start that waited for them. One relay opens, the other waits
// ("Loop Refused", one line); what comes in is relayed once at most.
TEST_F(RelayTest, RefusesALoopWheneverItCouldForm)
{
    const std::string back = "2,QB,239.255.20.1,34002,UDP,MULTICAST,239.255.10.1,34001,UDP,MULTICAST,N,N,";
    const std::string ip = "ip -n " + network->RelayNamespace() + " addr ";
    const std::string host = std::string(TestNetwork::kHostSideIp) + "/24 dev ";
    const std::string zenta = std::string(TestNetwork::kZentaSideIp) + "/24 dev ";
    for (const bool late : {false, true}) {
        if (late) {
            ASSERT_TRUE(Shell(ip + "del " + host + "zenta0 && " + ip + "del " + zenta + "zenta0"));
        }
        StartRelay(late ? Strings{"--wait-for-interfaces", kRow, back} : Strings{kRow, back});
        ASSERT_TRUE(PrintsAnother(late ? "Waiting for Interface" : "Connected")) << relay->Stderr();
        ASSERT_TRUE(Shell(late ? ip + "add " + zenta + "zenta0 && " + ip + "add " + host + "zenta0"
                               : ip + "del " + host + "host0 && " + ip + "add " + host + "zenta0"));
        ASSERT_TRUE(PrintsAnother("Loop Refused")) << relay->Stdout();
        ASSERT_TRUE(InjectFromZentaSide("239.255.10.1", 34001, 10));
        ASSERT_TRUE(InjectFromZentaSide("239.255.20.1", 34002, 10));
        std::this_thread::sleep_for(1s);
        relay->Signal(SIGTERM);
        ASSERT_EQ(relay->Wait(5s), 0);
        const Strings first = LastCounts(relay->Stdout(), 1), second = LastCounts(relay->Stdout(), 2);
        ASSERT_FALSE(first.empty() || second.empty()) << relay->Stdout();
        EXPECT_LE(std::stoull(first[3]) + std::stoull(second[3]), 10u) << first[0] << "\n" << second[0];
        EXPECT_EQ(store.CountLogLines("would relay its own output back to itself"), late ? 2 : 1) << store.LogText();
    }
}

// Every datagram fed is sent, dropped (the kernel's count) or failed, and
// failed sends are exactly what the kernel counts: a queue towards ZENTA
// that drops, then a stall (the relay stopped by a signal while fed) ended
// by its Host-side interface made anew, and by a stop.
TEST_F(RelayTest, AccountsForEveryDatagram)
{
    const int bigBuffer = 16 << 20;
    ASSERT_EQ(setsockopt(sink, SOL_SOCKET, SO_RCVBUFFORCE, &bigBuffer, sizeof bigBuffer), 0);
    StartRelay({kRow});
    ASSERT_TRUE(Relays());
    ASSERT_TRUE(PrintsAnother("Running"));
    const auto accounted = [&] {
        const Strings last = LastCounts(relay->Stdout(), 1);
        return last.empty() ? 0 : std::stoull(last[3]) + std::stoull(last[4]) + std::stoull(last[5]);
    };
    const uint64_t before = accounted();
    const auto sendBufferErrors = [&] { return UdpCounter(7); };
    const std::string tc = "ip netns exec " + network->RelayNamespace() + " tc qdisc ";
    ASSERT_TRUE(Shell(tc + "replace dev zenta0 root tbf rate 1mbit burst 4kb limit 8kb"));
    const uint64_t errorsBefore = sendBufferErrors();
    for (int i = 0; i < 3000; ++i) ASSERT_TRUE(Feed(Bytes(512, 4)));
    EXPECT_TRUE(WaitFor([&] { return accounted() == before + 3000; })) << relay->Stdout();
    const Strings queued = LastCounts(relay->Stdout(), 1);
    ASSERT_FALSE(queued.empty());
    EXPECT_NE(queued[5], "0");
    EXPECT_EQ(std::stoull(queued[5]), sendBufferErrors() - errorsBefore) << queued[0];
    ASSERT_TRUE(Shell(tc + "del dev zenta0 root"));

    ASSERT_TRUE(relay->Freeze());
    for (int i = 0; i < 1000; ++i) ASSERT_TRUE(Feed(Bytes(512, 5)));
    ASSERT_TRUE(Shell("ip -n " + network->RelayNamespace() + " link del host0"));
    ASSERT_TRUE(network->MakeLink(/*hostSide=*/true));
    relay->Signal(SIGCONT);
    EXPECT_TRUE(WaitFor([&] { return accounted() == before + 4000; })) << relay->Stdout();
    ASSERT_TRUE(Relays());
    ASSERT_TRUE(PrintsAnother("Running"));
    const uint64_t beforeStop = accounted();
    ASSERT_TRUE(relay->Freeze());
    for (int i = 0; i < 1000; ++i) ASSERT_TRUE(Feed(Bytes(512, 6)));
    relay->Signal(SIGTERM);
    relay->Signal(SIGCONT);
    ASSERT_EQ(relay->Wait(5s), 0);
    EXPECT_EQ(accounted(), beforeStop + 1000) << relay->Stdout();
}

// A re-open the system refuses (another program took the sending port
// while the ZENTA-side interface was gone) is said once, keeps the watchdog
// fed, and is retried until it works, said once again.
TEST_F(RelayTest, RetriesARefusedReopenAndSaysWhy)
{
    StartRelayUnderSystemd({kRow});
    ASSERT_TRUE(Relays());
    ASSERT_TRUE(Shell("ip -n " + network->RelayNamespace() + " link del zenta0"));
    ASSERT_TRUE(WaitFor([&] { return store.CountLogLines("Config ID 1 Waiting for its interfaces") == 1; }));
    network->EnterRelay();
    const int taker = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    network->LeaveRelay();
    const int on = 1;
    const sockaddr_in port = Ipv4Address(TestNetwork::kZentaSideIp, 34002);
    ASSERT_EQ(setsockopt(taker, IPPROTO_IP, IP_FREEBIND, &on, sizeof on), 0);  // the address is not there yet
    ASSERT_EQ(bind(taker, reinterpret_cast<const sockaddr*>(&port), sizeof port), 0);
    ASSERT_TRUE(network->MakeLink(/*hostSide=*/false));
    sink = network->OpenSinkSocket("239.255.20.1", 34002);
    EXPECT_TRUE(WaitFor([&] { return store.CountLogLines("Config ID 1 Cannot open its sockets again: ") == 1; }));
    // Retrying is no wedge: the heartbeat moves through the back-off, which is a second long by now.
    std::this_thread::sleep_for(1500ms);
    EXPECT_TRUE(tells("STATUS=0 of 1 relay running, 1 held back (a loop, or sockets refused)"))
        << ::testing::PrintToString(told);
    told.clear();
    EXPECT_TRUE(WaitFor([&] { return tells("WATCHDOG=1"); }, 2s));
    close(taker);
    EXPECT_TRUE(Relays(1, 10s));
    EXPECT_EQ(
        store.CountLogLines("Config ID 1 Cannot open its sockets again: Address already in use (error 98); retrying."),
        1)
        << store.LogText();
    EXPECT_EQ(store.CountLogLines("Config ID 1 Its sockets open again."), 1);
}

// Carrier lost on either side (the veth peer down) shows within a second
// and is said once, and so is its return; 300 flaps write a few lines.
TEST_F(RelayTest, SaysWhenCarrierGoesAndBoundsItsLines)
{
    StartRelay({kRow});
    ASSERT_TRUE(Relays());
    const std::string sinkLink = "ip -n " + network->SinkNamespace() + " link set sink0 ";
    const std::string feedLink = "ip -n " + network->FeedNamespace() + " link set feed0 ";
    for (const auto& [link, side] : {std::pair{sinkLink, "ZENTA"}, std::pair{feedLink, "Host"}}) {
        ASSERT_TRUE(Shell(link + "down"));
        const std::string lost = std::string("Config ID 1 No carrier on its ") + side + "-side interface.";
        EXPECT_TRUE(WaitFor([&] { return store.CountLogLines(lost) == 1; }, 1s)) << store.LogText();
        EXPECT_TRUE(PrintsAnother("No Carrier"));
        ASSERT_TRUE(Shell(link + "up"));
        EXPECT_TRUE(PrintsAnother("Running"));
    }
    EXPECT_EQ(store.CountLogLines("Config ID 1 Carrier is back on its interfaces."), 2);
    std::string flaps;
    for (int i = 0; i < 300; ++i) flaps += "link set sink0 down\nlink set sink0 up\n";
    // Fed meanwhile, the relay looks at its interfaces at every datagram and sees each flap.
    std::atomic<bool> flapping{true};
    std::thread feed([&] {
        for (int i = 0; i < 100000 && flapping; ++i) {
            Feed(Bytes(100, 1));
            std::this_thread::sleep_for(100us);
        }
    });
    EXPECT_TRUE(Shell("printf '" + flaps + "' | ip -n " + network->SinkNamespace() + " -batch -"));
    flapping = false;
    feed.join();
    std::this_thread::sleep_for(1s);
    EXPECT_LE(store.CountLogLines("Config ID 1 No carrier"), 3) << store.LogText();
    EXPECT_LE(store.CountLogLines("Config ID 1 Carrier is back"), 3);
}

// A relay converting: the operator's check (orma-feed in the feed
// namespace, orma-monitor in the sink namespace) shows what it made, and a
// feed of ever new tokens stays within the ticker map's ceiling and leaves
// room for the tokens listed after it.
TEST_F(RelayTest, ConvertsForTheMonitorAndATokenFloodStaysBounded)
{
    StartRelay({"1,QA,239.255.10.1,34001,UDP,MULTICAST,239.255.20.1,34002,UDP,MULTICAST,N,Y,"});
    ASSERT_TRUE(WaitFor([&] { return Printed("Connected") > 0; }));
    const auto monitor = MonitorWhileFeeding("3",
                                             "--tokens 4464,2 --close 1000 --last 1025 --oi 5000 --flags 22 "
                                             "--count 8 --rate 1000 --step 5 --records 1");
    // Each round: prices, open interest, then one depth message a token; the last price moves by 5 a round.
    for (const char* line :
         {"stream 4  code 7208  length 466  records 1",
          "token 4464  state 2  last 1025  net + 250  oi 5000  close 1000  open 1000  high 1025  low 1000",
          "L0 100@1025 n1 f0", "token 4464  state 2  last 1030  net + 300", "orma-monitor: 3 datagrams"})
        EXPECT_PRED2(Contains, monitor->Stdout(), line);
    EXPECT_TRUE(WaitFor([&] { return Printed("Pkts Recv: 8  Pkts Sent: 4 ") > 0; })) << relay->Stdout();

    std::mt19937 random(7);
    std::vector<TickerOpenInterest> records(140);  // random tokens hardly compress: one datagram holds 140
    for (int message = 0; message < 8000 && store.CountLogLines("Ticker map is full") == 0; ++message) {
        for (TickerOpenInterest& record : records) record = {static_cast<int32_t>(random()), 1};
        ASSERT_TRUE(Feed(EncodeOpenInterestMessage(records)));
        if (message % 100 == 99)
            std::this_thread::sleep_for(10ms);  // within the relay's receive buffer
    }
    EXPECT_TRUE(WaitFor([&] { return store.CountLogLines("Config ID 1 Ticker map is full (500000 tokens)") == 1; }));
    // The flood does not poison the map: a token listed after it is still enriched.
    const auto after =
        MonitorWhileFeeding("1", "--tokens 4465 --close 2000 --last 2050 --oi 7 --flags 22 --count 3 --records 1");
    EXPECT_PRED2(Contains, after->Stdout(), "token 4465  state 2  last 2050  net + 250  oi 7  close 2000")
        << after->Stderr();
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

// Under a played systemd (a datagram socket of the test's own named by
// NOTIFY_SOCKET, the watchdog set through WATCHDOG_USEC): READY once its
// relays run, watchdog pings while they are well (idle ones, and one whose
// send queue lets nothing out: its sends fail, none waits), and its
// counters at /metrics as a real parser reads them. Its relays share a
// receiving port and a sending port, two of them a group too; each sees
// only its own group.
TEST_F(RelayTest, UnderSystemdReadyPingsWhileWellAndServesItsCounters)
{
    StartRelayUnderSystemd({"--wait-for-interfaces", "--metrics", "9469", kRow,
                            "2,QB,239.255.10.2,34001,UDP,MULTICAST,239.255.20.2,34002,UDP,MULTICAST,N,N,",
                            "3,QC,239.255.10.1,34001,UDP,MULTICAST,239.255.20.3,34002,UDP,MULTICAST,N,N,"});
    ASSERT_TRUE(WaitFor([&] { return tells("READY=1\nSTATUS=3 of 3 relays running"); }, 5s));
    EXPECT_TRUE(WaitFor([&] { return tells("WATCHDOG=1"); }, 3s)) << "idle relays ping";

    for (int i = 0; i < 3; ++i) ASSERT_TRUE(Feed(Bytes(100, 1)));
    const std::string relayNs = network->RelayNamespace();
    const auto scraped = [&](const std::string& sample) {
        ChildProcess scrape({"ip", "netns", "exec", relayNs, "/usr/bin/python3", ORMA_SCRAPE_SCRIPT, "9469"},
                            store.Path());
        return scrape.Wait(10s) == 0 && Contains(scrape.Stdout(), "\nsample " + sample + "\n");
    };
    // Published once a second.
    EXPECT_TRUE(WaitFor(
        [&] {
            return scraped(
                "orma_relay_sent_datagrams_total config_id='3' receive_group='239.255.10.1' "
                "receive_port='34001' segment='QC' send_group='239.255.20.3' send_port='34002' 3.0");
        },
        5s));
    EXPECT_TRUE(
        scraped("orma_relay_received_datagrams_total config_id='2' receive_group='239.255.10.2' "
                "receive_port='34001' segment='QB' send_group='239.255.20.2' send_port='34002' 0.0"));

    // A queue that lets nothing out fills the send socket's buffer: sends
    // are given up and counted, not waited for, so the relay stays well and
    // a stop ends at once.
    const std::string tc = "ip netns exec " + relayNs + " tc qdisc replace dev zenta0 root ";
    ASSERT_TRUE(Shell(tc + "tbf rate 8bit burst 1600 limit 100000000"));
    for (int i = 0; i < 2000; ++i) ASSERT_TRUE(Feed(Bytes(512, 2)));
    ASSERT_TRUE(
        WaitFor([&] { return store.CountLogLines("Config ID 1 Sends are failing: Resource temporarily") == 1; }));
    tells("");
    told.clear();
    EXPECT_TRUE(WaitFor([&] { return tells("WATCHDOG=1"); }, 3s)) << "a full queue wedges nothing";
    relay->Signal(SIGTERM);
    EXPECT_EQ(relay->Wait(kStopWithin), 0) << "a stop never waits for the queue";
    EXPECT_TRUE(tells("STOPPING=1"));
    EXPECT_EQ(store.CountLogLines("Config ID 1 Sends were failing when it stopped: "), 1);
}

}  // namespace
