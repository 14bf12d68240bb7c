#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <tuple>

#include "log/EventLog.h"
#include "tests/support/NetworkTest.h"
#include "tests/support/TempDirectory.h"
#include "tests/support/TestConfiguration.h"
#include "tools/MetricsServer.h"
#include "tools/ServiceManager.h"

namespace
{

using namespace std::chrono_literals;
using State = CKOVBCastEngine::RELAY_STATE;
using Strings = std::vector<std::string>;

RELAY_METRICS Relay(int configId, std::string segment, std::string receiveGroup, std::string sendGroup, State state)
{
    RELAY_METRICS relay;
    relay.ConfigId = configId;
    relay.SegmentCode = std::move(segment);
    relay.ReceiveGroup = std::move(receiveGroup);
    relay.ReceivePort = 30000 + configId;
    relay.SendGroup = std::move(sendGroup);
    relay.SendPort = 31000 + configId;
    relay.State = state;
    return relay;
}

// What ScrapeMetrics.py prints about the server on `port`, line by line.
Strings ScrapeAndParse(int port)
{
    const std::string command =
        "PYTHONIOENCODING=utf-8 /usr/bin/python3 " ORMA_SCRAPE_SCRIPT " " + std::to_string(port);
    Strings lines;
    if (std::FILE* output = popen(command.c_str(), "r")) {
        char line[4096];
        while (std::fgets(line, sizeof line, output)) {
            lines.emplace_back(line);
            if (lines.back().back() == '\n')
                lines.back().pop_back();
        }
        EXPECT_EQ(pclose(output), 0) << "the scrape script failed; it printed:\n" << ::testing::PrintToString(lines);
    }
    return lines;
}

// A fixed snapshot, served over loopback and read by a real parser:
// awkward label values come back as they went in, counters keep their
// whole 32 bits, and the seconds before a first datagram read as NaN.
TEST(MetricsServerTest, AScrapeParsesBackToThePublishedSnapshot)
{
    CMetricsServer server(PROCESS_METRICS{1796428799.25, "4.02.00"});
    sockaddr_in address{};
    ASSERT_TRUE(ParseMetricsAddress("127.0.0.1:1", address));
    address.sin_port = 0;  // any free port
    std::string problem;
    ASSERT_TRUE(server.Start(address, problem)) << problem;

    RELAY_METRICS quoted = Relay(1, "Q\"A", "239.1.1.1", "239.2.2.1", State::Running);
    quoted.Received = 4294967295u;
    quoted.Converted = 6;
    quoted.Sent = 10;
    quoted.Dropped = 2;
    quoted.FailedSends = 3;
    quoted.ReceiveBufferBytes = 1048576;
    quoted.SecondsSinceLastDatagram = 5;
    const RELAY_METRICS escaped = Relay(22, "a\\b\n", "239.1.1.2", "10.0.0.9", State::WaitingForInterface);
    const RELAY_METRICS latin1 = Relay(333, "M\xDC", "239.1.1.3", "239.2.2.3", State::SendConnectError);
    server.Publish({quoted, escaped, latin1});

    const Strings lines = ScrapeAndParse(server.Port());
    const auto has = [&](const std::string& line) {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    };
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "content-type text/plain; version=0.0.4; charset=utf-8");
    Strings families;
    for (const std::string& line : lines) {
        if (line.rfind("family ", 0) == 0)
            families.push_back(line.substr(7));
    }
    EXPECT_EQ(families, (Strings{"orma_relay_received_datagrams counter", "orma_relay_converted_messages counter",
                                 "orma_relay_sent_datagrams counter", "orma_relay_dropped_datagrams counter",
                                 "orma_relay_failed_sends counter", "orma_relay_receive_buffer_bytes gauge",
                                 "orma_relay_state gauge", "orma_relay_seconds_since_last_datagram gauge",
                                 "process_start_time_seconds gauge", "orma_build_info gauge"}));
    EXPECT_EQ(
        std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("sample ", 0) == 0; }),
        8 * 3 + 2);

    const std::string labels1 =
        " config_id='1' receive_group='239.1.1.1' receive_port='30001' segment='Q\"A' send_group='239.2.2.1' "
        "send_port='31001'";
    for (const char* sample :
         {"orma_relay_received_datagrams_total%s 4294967295.0", "orma_relay_converted_messages_total%s 6.0",
          "orma_relay_sent_datagrams_total%s 10.0", "orma_relay_dropped_datagrams_total%s 2.0",
          "orma_relay_failed_sends_total%s 3.0", "orma_relay_receive_buffer_bytes%s 1048576.0",
          "orma_relay_state%s state='Running' 1.0", "orma_relay_seconds_since_last_datagram%s 5.0"})
        EXPECT_TRUE(has("sample " + FormatText(sample, labels1.c_str()))) << sample;
    const std::string labels22 =
        " config_id='22' receive_group='239.1.1.2' receive_port='30022' segment='a\\\\b\\n' send_group='10.0.0.9' "
        "send_port='31022'";
    EXPECT_TRUE(has("sample orma_relay_state" + labels22 + " state='Waiting for Interface' 1.0"));
    EXPECT_TRUE(has("sample orma_relay_seconds_since_last_datagram" + labels22 + " nan"));
    EXPECT_TRUE(
        has("sample orma_relay_state config_id='333' receive_group='239.1.1.3' receive_port='30333' "
            "segment='M\xEF\xBF\xBD' send_group='239.2.2.3' send_port='31333' state='Send Connect Error' 1.0"));
    EXPECT_TRUE(has("sample process_start_time_seconds 1796428799.25"));
    EXPECT_TRUE(has("sample orma_build_info version='4.02.00' 1.0"));
    EXPECT_TRUE(has("status /other 404"));
    EXPECT_TRUE(has("status POST /metrics 405"));
}

// A taken port is refused with the system's reason, and a stopped server
// gives its port back at once (a restart or a reload binds it again).
TEST(MetricsServerTest, ATakenAddressIsRefusedAndStopGivesThePortBack)
{
    CMetricsServer first(PROCESS_METRICS{0, "x"}), second(PROCESS_METRICS{0, "x"});
    sockaddr_in address{};
    ASSERT_TRUE(ParseMetricsAddress("127.0.0.1:1", address));
    address.sin_port = 0;
    std::string problem;
    ASSERT_TRUE(first.Start(address, problem)) << problem;
    address.sin_port = htons(static_cast<uint16_t>(first.Port()));
    EXPECT_FALSE(second.Start(address, problem));
    EXPECT_EQ(problem, FormatText("metrics on 127.0.0.1:%d: bind: Address already in use", first.Port()));
    first.Stop();
    EXPECT_TRUE(second.Start(address, problem)) << problem;

    // "PORT" or "ADDRESS:PORT", IPv4 only.
    const auto parsed = [](const char* text) {
        sockaddr_in parsedAddress{};
        char host[INET_ADDRSTRLEN] = {};
        return ParseMetricsAddress(text, parsedAddress) &&
                       inet_ntop(AF_INET, &parsedAddress.sin_addr, host, sizeof host)
                   ? FormatText("%s:%d", host, ntohs(parsedAddress.sin_port))
                   : std::string();
    };
    EXPECT_EQ(parsed("9469"), "127.0.0.1:9469");
    EXPECT_EQ(parsed("0.0.0.0:80"), "0.0.0.0:80");
    for (const char* refused : {"127.0.0.1:0", "65536", "localhost:9469", "::1:9469", ":9469", "9469 "})
        EXPECT_EQ(parsed(refused), "") << refused;
}

// Plays systemd's part: a datagram socket of the test's own named by
// NOTIFY_SOCKET, and the watchdog set through WATCHDOG_USEC.
class NotifySocket
{
public:
    NotifySocket()
    {
        m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", m_directory.File("notify").c_str());
        EXPECT_EQ(bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << std::strerror(errno);
        setenv("NOTIFY_SOCKET", address.sun_path, 1);
        setenv("WATCHDOG_USEC", "10000000", 1);
        setenv("WATCHDOG_PID", std::to_string(getpid()).c_str(), 1);
    }
    ~NotifySocket()
    {
        unsetenv("NOTIFY_SOCKET");
        unsetenv("WATCHDOG_USEC");
        unsetenv("WATCHDOG_PID");
        close(m_fd);
    }
    // The next message, or "" when none is waiting.
    std::string Next()
    {
        char message[512];
        const ssize_t length = recv(m_fd, message, sizeof message, MSG_DONTWAIT);
        return length > 0 ? std::string(message, static_cast<size_t>(length)) : std::string();
    }

private:
    TempDirectory m_directory;
    int m_fd = -1;
};

TEST(ServiceManagerTest, NotifiesReadyAndStatusAndPingsOnlyWhileNoRelayIsWedged)
{
    EXPECT_EQ(NotifyReady("outside systemd"), 0);
    EXPECT_EQ(WatchdogMicroseconds(), 0u);
    NotifySocket systemd;
    EXPECT_EQ(WatchdogMicroseconds(), 10000000u);

    EXPECT_GT(NotifyReady(StatusText(CountRelays({State::Running, State::Connected, State::WaitingForInterface}))), 0);
    EXPECT_EQ(systemd.Next(), "READY=1\nSTATUS=2 of 3 relays running, 1 waiting for its interface");
    EXPECT_GT(NotifyStatus("two\nlines"), 0);
    EXPECT_EQ(systemd.Next(), "STATUS=two lines");

    // Relay 7's heartbeat stood still since the last check: no ping, and it is named.
    EXPECT_EQ(CheckRelaysAndPing({{3, 10, 14}, {7, 20, 20}, {9, 0, 1}}), (std::vector<int>{7}));
    EXPECT_EQ(systemd.Next(), "");
    EXPECT_EQ(CheckRelaysAndPing({{3, 14, 15}, {7, 20, 21}, {9, 1, 30}}), std::vector<int>{});
    EXPECT_EQ(systemd.Next(), "WATCHDOG=1");
    EXPECT_EQ(CheckRelaysAndPing({}), std::vector<int>{});
    EXPECT_EQ(systemd.Next(), "WATCHDOG=1");
}

TEST(ServiceManagerTest, StatusLinesCountTheRelaysByState)
{
    const std::pair<std::vector<State>, const char*> cases[] = {
        {{State::Running, State::Connected, State::Running}, "3 of 3 relays running"},
        {{State::SendFailing, State::ReceiveConnectError, State::NotRunning, State::WaitingForInterface,
          State::WaitingForInterface, State::ReceiveFailing, State::Stopped},
         "2 of 7 relays running (2 failing), 2 waiting for their interfaces, 2 failed, 1 starting"},
    };
    for (const auto& [states, text] : cases) EXPECT_EQ(StatusText(CountRelays(states)), text);
    EXPECT_EQ(CountRelays({State::NotRunning, State::Running}).Starting, 1) << "READY waits for it";
}

TEST(ServiceManagerTest, JournalEntriesCarryTheirPriorityAndConfigId)
{
    const std::tuple<const char*, int, int> cases[] = {
        {"09:00:00 Config ID 7 Sends are failing: No buffer space available (error 105).", LOG_WARNING, 7},
        {"09:00:00 Config ID 3 Error in Receive Socket. IP: 239.1.1.1, Port: 30001, Retval: -1 ", LOG_WARNING, 3},
        {"09:00:00 Skipped Configuration value \"2\": Config ID -1 is not a positive number.", LOG_WARNING, 0},
        {"09:00:00 Config ID 5 Sends succeed again after 3 failed.", LOG_INFO, 5},
        {"\n09:00:00 ORMA UDP Broadcast Server has been Started", LOG_INFO, 0},
    };
    for (const auto& [line, priority, configId] : cases) {
        const JOURNAL_ENTRY entry = JournalEntryOf(line);
        EXPECT_EQ(entry.Priority, priority) << line;
        EXPECT_EQ(entry.ConfigId, configId) << line;
    }
}

// A real relay: its metrics are its own counters, and its heartbeat moves
// within a watchdog check while it waits for datagrams or for its
// interface, so an idle relay never reads as wedged.
class ServiceRelayTest : public NetworkTest
{
protected:
    void SetUp() override
    {
        NetworkTest::SetUp();
        if (!IsSkipped())
            network->EnterRelay();
    }
    static bool HeartbeatMoves(const CKOVBCastEngine& engine)
    {
        const uint64_t before = engine.GetHeartbeat();
        // Half of WatchdogSec=10s: how often the service checks.
        WaitFor([&] { return engine.GetHeartbeat() != before; }, 5s);
        return FindWedgedRelays({{1, before, engine.GetHeartbeat()}}).empty();
    }
};

TEST_F(ServiceRelayTest, MetricsComeFromTheEngineAndAnIdleRelayIsNotWedged)
{
    CKOVBCastEngine engine(TestConfiguration(5, "239.255.10.5", 34005, "239.255.20.5", 34006, "FO"), nullptr);
    engine.Start();
    ASSERT_TRUE(WaitFor([&] { return engine.GetState() == State::Connected; }));
    EXPECT_EQ(MetricsOf(engine).SecondsSinceLastDatagram, -1);
    EXPECT_TRUE(HeartbeatMoves(engine)) << "blocked in its receive";

    ASSERT_TRUE(network->Feed("239.255.10.5", 34005, std::vector<uint8_t>(100, 1)));
    ASSERT_TRUE(network->Feed("239.255.10.5", 34005, std::vector<uint8_t>(100, 2)));
    ASSERT_TRUE(WaitFor([&] { return engine.GetSentCount() == 2; }));
    const RELAY_METRICS m = MetricsOf(engine);
    EXPECT_EQ(FormatText("%d %s %s:%d %s:%d", m.ConfigId, m.SegmentCode.c_str(), m.ReceiveGroup.c_str(), m.ReceivePort,
                         m.SendGroup.c_str(), m.SendPort),
              "5 FO 239.255.10.5:34005 239.255.20.5:34006");
    EXPECT_EQ(std::tuple(m.Received, m.Converted, m.Sent, m.State), std::tuple(2u, 0u, 2u, State::Running));
    EXPECT_GT(m.ReceiveBufferBytes, 0);
    EXPECT_GE(m.SecondsSinceLastDatagram, 0);
    EXPECT_LE(m.SecondsSinceLastDatagram, 1);
    engine.Stop();

    KOV_BCAST_CONFIG missing = TestConfiguration(6, "239.255.10.6", 34007, "239.255.20.6", 34008);
    missing.HostSideIp = "198.18.9.9";  // no interface holds it
    CKOVBCastEngine waiting(missing, nullptr);
    waiting.SetRelayOptions({.WaitForInterfaces = true});
    waiting.Start();
    ASSERT_TRUE(WaitFor([&] { return waiting.GetState() == State::WaitingForInterface; }));
    EXPECT_TRUE(HeartbeatMoves(waiting)) << "waiting for its interface";
    waiting.Stop();
}

}  // namespace
