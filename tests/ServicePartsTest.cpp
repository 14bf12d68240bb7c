#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <tuple>

#include "log/EventLog.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/NetworkTest.h"
#include "tests/support/TempDirectory.h"
#include "tests/support/TestConfiguration.h"
#include "tools/MetricsServer.h"
#include "tools/ServiceManager.h"

namespace {

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

// What ScrapeMetrics.py prints about the server on `port` (in that network
// namespace, when one is named), line by line.
Strings ScrapeAndParse(int port, const std::string& ns = {})
{
    const std::string command = (ns.empty() ? "" : "ip netns exec " + ns + " ") +
                                "env PYTHONIOENCODING=utf-8 /usr/bin/python3 " ORMA_SCRAPE_SCRIPT " " +
                                std::to_string(port);
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

TEST(MetricsServerTest, AddressesArePortOrIpv4AndPort)
{
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
class NotifySocket {
public:
    // For a child the test starts.
    explicit NotifySocket(std::chrono::microseconds watchdog)
    {
        m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", m_directory.File("notify").c_str());
        EXPECT_EQ(bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << std::strerror(errno);
        setenv("NOTIFY_SOCKET", address.sun_path, 1);
        setenv("WATCHDOG_USEC", std::to_string(watchdog.count()).c_str(), 1);
    }
    ~NotifySocket()
    {
        unsetenv("NOTIFY_SOCKET");
        unsetenv("WATCHDOG_USEC");
        close(m_fd);
    }
    // Whether this message came since the last Clear.
    bool Received(const std::string& message)
    {
        char next[512];
        for (ssize_t length; (length = recv(m_fd, next, sizeof next, MSG_DONTWAIT)) > 0;)
            m_received.emplace_back(next, static_cast<size_t>(length));
        return std::find(m_received.begin(), m_received.end(), message) != m_received.end();
    }
    void Clear()
    {
        (void)Received("");
        m_received.clear();
    }

private:
    TempDirectory m_directory;
    int m_fd = -1;
    Strings m_received;
};

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

// orma-relay under a played systemd: READY once its relays run, watchdog
// pings while they are well (idle ones too), none while
// a relay thread is wedged in a send that cannot go out, and its counters
// at /metrics.
TEST(ServiceRunTest, ReadyPingsOnlyWhileNoRelayIsWedgedAndServesItsCounters)
{
    std::string why;
    std::unique_ptr<TestNetwork> network = TestNetwork::Create(why);
    if (!network)
        GTEST_SKIP() << why;
    TempDirectory directory;
    NotifySocket systemd(1s);
    const std::string relayNs = network->RelayNamespace();
    ChildProcess relay({"ip", "netns", "exec", relayNs, ORMA_RELAY_PATH, "--host-ip", TestNetwork::kHostSideIp,
                        "--zenta-ip", TestNetwork::kZentaSideIp, "--wait-for-interfaces", "--metrics", "9469",
                        "1,QA,239.255.10.1,34001,UDP,MULTICAST,239.255.20.1,34002,UDP,MULTICAST,N,N,",
                        "2,QB,239.255.10.2,34001,UDP,MULTICAST,239.255.20.2,34003,UDP,MULTICAST,N,N,"},
                       directory.Path());
    systemd.Clear();
    ASSERT_TRUE(WaitFor([&] { return systemd.Received("READY=1\nSTATUS=2 of 2 relays running"); }, 5s));
    EXPECT_TRUE(WaitFor([&] { return systemd.Received("WATCHDOG=1"); }, 3s)) << "idle relays ping";

    for (int i = 0; i < 3; ++i) ASSERT_TRUE(network->Feed("239.255.10.1", 34001, std::vector<uint8_t>(100, 1)));
    // The counters as a real parser reads them (published once a second).
    const std::string sent =
        "sample orma_relay_sent_datagrams_total config_id='1' receive_group='239.255.10.1' "
        "receive_port='34001' segment='QA' send_group='239.255.20.1' send_port='34002' 3.0";
    EXPECT_TRUE(WaitFor(
        [&] {
            const Strings scraped = ScrapeAndParse(9469, relayNs);
            return std::find(scraped.begin(), scraped.end(), sent) != scraped.end();
        },
        5s));

    // A queue that lets nothing out fills the send socket's buffer: the next send blocks for good.
    const std::string tc = "ip netns exec " + relayNs + " tc qdisc replace dev zenta0 root ";
    ASSERT_EQ(std::system((tc + "tbf rate 8bit burst 1600 limit 100000000").c_str()), 0);
    for (int i = 0; i < 2000; ++i) ASSERT_TRUE(network->Feed("239.255.10.1", 34001, std::vector<uint8_t>(512, 2)));
    const std::string log = directory.File(CEventLog::GetInstance()->GetLogFileName());
    ASSERT_TRUE(
        WaitFor([&] { return ReadFile(log).find("Config ID 1 Its relay thread is wedged") != std::string::npos; }, 5s));
    systemd.Clear();
    std::this_thread::sleep_for(2s);
    EXPECT_FALSE(systemd.Received("WATCHDOG=1")) << "no ping while a relay is wedged";
    ASSERT_EQ(std::system((tc + "pfifo").c_str()), 0);
    EXPECT_TRUE(WaitFor([&] { return systemd.Received("WATCHDOG=1"); }, 5s)) << "pings again once it moves";
    relay.Signal(SIGTERM);
    EXPECT_EQ(relay.Wait(10s), 0);
    EXPECT_TRUE(systemd.Received("STOPPING=1"));
}

}  // namespace
