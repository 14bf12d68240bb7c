#include <signal.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>

#include "config/PersistedSettings.h"
#include "log/EventLog.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/NetworkTest.h"
#include "tests/support/TempSettingsStore.h"

namespace {

using namespace std::chrono_literals;

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

// What the command line could be read two ways, or cannot be used, is
// refused with status 2 before anything starts: not even the log is written.
TEST(RelayRunnerTest, RefusesWhatItCannotUseBeforeAnythingStarts)
{
    const std::vector<std::string> local = {"--host-ip", "198.18.0.2", "--zenta-ip", "198.18.1.1"};
    const struct {
        std::vector<std::string> Arguments;
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
        std::vector<std::string> argv = {ORMA_RELAY_PATH};
        argv.insert(argv.end(), local.begin(), local.end());
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        ChildProcess relay(argv, directory.Path());
        EXPECT_EQ(relay.Wait(5s), 2) << says;
        EXPECT_NE(relay.Stderr().find(says), std::string::npos) << relay.Stderr();
        EXPECT_TRUE(std::filesystem::is_empty(directory.Path())) << says << ": nothing started, nothing logged";
    }
    TempDirectory directory;
    ChildProcess relay({ORMA_RELAY_PATH, "--from-store", kRow}, directory.Path());
    EXPECT_EQ(relay.Wait(5s), 2);
    EXPECT_NE(relay.Stderr().find("not rows"), std::string::npos) << relay.Stderr();
}

// orma-relay in the relay namespace.
class RelayRunnerNetworkTest : public NetworkTest {
protected:
    std::vector<std::string> Relay(const std::vector<std::string>& arguments) const
    {
        std::vector<std::string> argv = {"ip", "netns", "exec", network->RelayNamespace(), ORMA_RELAY_PATH};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return argv;
    }
    std::vector<std::string> RowsRelay(std::vector<std::string> arguments) const
    {
        arguments.insert(arguments.begin(),
                         {"--host-ip", TestNetwork::kHostSideIp, "--zenta-ip", TestNetwork::kZentaSideIp});
        return Relay(arguments);
    }
    // Feeds the group until the sink receives a datagram: the relay of that configuration runs.
    bool Relays(const std::string& group, uint16_t port, int sink)
    {
        std::vector<uint8_t> out;
        return WaitFor([&] {
            network->Feed(group, port, std::vector<uint8_t>(100, 1));
            return ReceiveDatagram(sink, out, 50ms) == 512;
        });
    }
};

// It relays, reports every second, and ends in order after its time, on
// SIGTERM and (in rows mode) on SIGHUP.
TEST_F(RelayRunnerNetworkTest, RelaysReportsAndEndsInOrder)
{
    TempDirectory directory;
    const int sink = network->OpenSinkSocket("239.255.20.1", 34002);
    for (const int signal : {0, SIGTERM, SIGHUP}) {
        ChildProcess relay(
            RowsRelay(signal ? std::vector<std::string>{kRow} : std::vector<std::string>{"--seconds", "2", kRow}),
            directory.Path());
        ASSERT_TRUE(Relays("239.255.10.1", 34001, sink));  // the relay may still be starting
        if (signal)
            relay.Signal(signal);
        ASSERT_EQ(relay.Wait(10s), 0) << relay.Stderr();

        const std::string printed = relay.Stdout();
        EXPECT_NE(printed.find("Config ID 1  Stopped"), std::string::npos) << printed;
        if (!signal) {
            EXPECT_NE(printed.find("Config ID 1  Running               Pkts Recv: "), std::string::npos) << printed;
        }
        EXPECT_NE(printed.find("  Dropped: 0  Failed: 0\n"), std::string::npos) << printed;
    }
    const std::string log = ReadFile(directory.File(CEventLog::GetInstance()->GetLogFileName()));
    for (const char* line :
         {"ORMA UDP Broadcast Server has been Started", "ORMA UDP Broadcast Server has been Closed"}) {
        size_t count = 0;
        for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++count;
        EXPECT_EQ(count, 3u) << line << "\n" << log;
    }
}

// A row that cannot start stops the others in order, with status 1; two
// rows that feed each other (the Host and ZENTA sides on one interface)
// are refused before anything starts.
TEST_F(RelayRunnerNetworkTest, EndsWhenARowCannotStartAndRefusesALoop)
{
    TempDirectory directory;
    const std::string notAGroup = "2,QB,198.18.0.9,34003,UDP,MULTICAST,239.255.20.2,34004,UDP,MULTICAST,N,N,";
    ChildProcess failing(RowsRelay({kRow, notAGroup}), directory.Path());
    EXPECT_EQ(failing.Wait(10s), 1);
    EXPECT_NE(failing.Stderr().find("Config ID 2 could not start: Receive Connect Error"), std::string::npos)
        << failing.Stderr();
    EXPECT_NE(failing.Stdout().find("Config ID 1  Stopped"), std::string::npos) << failing.Stdout();

    ASSERT_EQ(std::system(("ip -n " + network->RelayNamespace() + " addr add 198.18.0.3/24 dev host0").c_str()), 0);
    const std::string back = "2,QB,239.255.20.1,34002,UDP,MULTICAST,239.255.10.1,34001,UDP,MULTICAST,N,N,";
    ChildProcess looping(Relay({"--host-ip", TestNetwork::kHostSideIp, "--zenta-ip", "198.18.0.3", kRow, back}),
                         directory.Path());
    EXPECT_EQ(looping.Wait(10s), 2);
    const std::string refusal = "Config ID 2 would relay its own output back to itself (2 > 1 > 2)";
    EXPECT_NE(looping.Stderr().find(refusal), std::string::npos) << looping.Stderr();

    const std::string log = ReadFile(directory.File(CEventLog::GetInstance()->GetLogFileName()));
    EXPECT_NE(log.find("Config ID 2 Error in Receive Socket"), std::string::npos) << log;
    EXPECT_NE(log.find(refusal + "; not started."), std::string::npos) << log;
    EXPECT_EQ(log.rfind("has been Started successfully"), log.find("has been Started successfully"))
        << "only the first run's Config ID 1 started\n"
        << log;
}

// A closed standard output (a reader that went away) stops the lines, not the relaying.
TEST_F(RelayRunnerNetworkTest, SurvivesAClosedStandardOutput)
{
    TempDirectory directory;
    const int sink = network->OpenSinkSocket("239.255.20.1", 34002);
    const std::string command = std::string("'") + ORMA_RELAY_PATH + "' --host-ip " + TestNetwork::kHostSideIp +
                                " --zenta-ip " + TestNetwork::kZentaSideIp + " --seconds 3 " + kRow +
                                " | true; exit ${PIPESTATUS[0]}";
    ChildProcess relay({"ip", "netns", "exec", network->RelayNamespace(), "bash", "-c", command}, directory.Path());
    std::this_thread::sleep_for(1500ms);  // past the first line, written into the closed pipe
    EXPECT_TRUE(Relays("239.255.10.1", 34001, sink));
    EXPECT_EQ(relay.Wait(10s), 0) << relay.Stderr();
}

// Store mode runs the Auto Start list (all of it with --all), from the
// console's store or the one --store names, holding the store against a
// second program; a configuration that feeds itself is not started.
TEST_F(RelayRunnerNetworkTest, RunsTheStoreAndHoldsIt)
{
    TempSettingsStore store;
    ASSERT_TRUE(TempSettingsStore::StoreConfigurations({kRow, kSecondRow}, "1,"));
    const int firstSink = network->OpenSinkSocket("239.255.20.1", 34002);
    const int secondSink = network->OpenSinkSocket("239.255.20.2", 34004);

    ChildProcess autoStart(Relay({"--from-store", "--log-dir", store.Path()}), store.Path());
    ASSERT_TRUE(Relays("239.255.10.1", 34001, firstSink)) << autoStart.Stderr();
    ChildProcess second(Relay({"--from-store", "--all"}), store.Path());
    EXPECT_EQ(second.Wait(5s), 3);
    EXPECT_NE(second.Stderr().find("the settings store " + store.Path() +
                                   "/config/orma-broadcast-server is in use by another program"),
              std::string::npos)
        << second.Stderr();
    autoStart.Signal(SIGTERM);
    ASSERT_EQ(autoStart.Wait(10s), 0);
    EXPECT_EQ(autoStart.Stdout().find("Config ID 2"), std::string::npos) << "not in the Auto Start list";

    TempDirectory elsewhere;
    setenv("XDG_CONFIG_HOME", elsewhere.Path().c_str(), 1);
    ChildProcess all(Relay({"--from-store", "--all", "--store", store.Path() + "/config/orma-broadcast-server",
                            "--log-dir", store.Path()}),
                     store.Path());
    EXPECT_TRUE(Relays("239.255.10.1", 34001, firstSink));
    EXPECT_TRUE(Relays("239.255.10.2", 34003, secondSink));
    all.Signal(SIGTERM);
    EXPECT_EQ(all.Wait(10s), 0);
    EXPECT_EQ(store.CountLogLines("Config ID 2 has been Started successfully."), 1);
    setenv("XDG_CONFIG_HOME", (store.Path() + "/config").c_str(), 1);

    // Both sides on one interface: configuration 3 would receive what it sends.
    const std::string selfFeeding = "3,QC,239.255.10.3,34005,UDP,MULTICAST,239.255.10.3,34005,UDP,MULTICAST,N,N,";
    ASSERT_TRUE(TempSettingsStore::Store(
        kConfigurationKey,
        {{"Record Count", "2"}, {"0", kRow}, {"1", selfFeeding}, {"Zenta Side IP", TestNetwork::kHostSideIp}}));
    ChildProcess oneInterface(Relay({"--from-store", "--all", "--store", store.Path() + "/config/orma-broadcast-server",
                                     "--log-dir", store.Path(), "--seconds", "1"}),
                              store.Path());
    EXPECT_EQ(oneInterface.Wait(10s), 0);
    EXPECT_EQ(store.CountLogLines("Config ID 3 would relay its own output back to itself (3 > 3); not started."), 1);
    EXPECT_NE(oneInterface.Stdout().find("Config ID 1  Connected"), std::string::npos) << oneInterface.Stdout();
    EXPECT_EQ(oneInterface.Stdout().find("Config ID 3"), std::string::npos) << oneInterface.Stdout();
}

// SIGHUP in store mode applies the store again; an unchanged configuration
// relays through it without losing a datagram, and an added one starts.
TEST_F(RelayRunnerNetworkTest, ReloadsWithoutLoss)
{
    TempSettingsStore store;
    ASSERT_TRUE(TempSettingsStore::StoreConfigurations({kRow}, "1,"));
    const int sink = network->OpenSinkSocket("239.255.20.1", 34002);
    const int addedSink = network->OpenSinkSocket("239.255.20.2", 34004);
    const int bigBuffer = 16 << 20;  // holds the whole feed: it is counted afterwards
    ASSERT_EQ(setsockopt(sink, SOL_SOCKET, SO_RCVBUFFORCE, &bigBuffer, sizeof bigBuffer), 0);

    ChildProcess relay(Relay({"--from-store", "--log-dir", store.Path(), "--quiet"}), store.Path());
    ASSERT_TRUE(Relays("239.255.10.1", 34001, sink));
    std::vector<uint8_t> out;
    while (ReceiveDatagram(sink, out, 100ms) >= 0) {}

    constexpr uint32_t kDatagrams = 2000;  // 2,000 a second for about a second
    for (uint32_t sequence = 0; sequence < kDatagrams; ++sequence) {
        if (sequence == kDatagrams / 2) {
            ASSERT_TRUE(TempSettingsStore::StoreConfigurations({kRow, kSecondRow}, "1,2,"));
            relay.Signal(SIGHUP);
        }
        std::vector<uint8_t> datagram(100, 0);
        std::memcpy(datagram.data(), &sequence, sizeof sequence);
        network->Feed("239.255.10.1", 34001, datagram);
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
    EXPECT_TRUE(Relays("239.255.10.2", 34003, addedSink));

    relay.Signal(SIGTERM);
    EXPECT_EQ(relay.Wait(10s), 0);
    EXPECT_EQ(store.CountLogLines("Config ID 2 Reload: added, started."), 1) << store.LogText();
    EXPECT_EQ(store.CountLogLines("Config ID 1 Reload"), 0) << store.LogText();
    EXPECT_EQ(store.CountLogLines("Config ID 1 has been Started successfully."), 1);
}

}  // namespace
