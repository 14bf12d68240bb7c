#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <tuple>

#include "log/EventLog.h"
#include "tests/support/ChildProcess.h"
#include "tools/MetricsServer.h"
#include "tools/ProcessLockdown.h"
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

// A fixed snapshot, served over loopback and read by a real parser:
// awkward label values come back as they went in, counters go past 32 bits,
// and the last datagram's time is 0 before the first.
TEST(MetricsServerTest, AScrapeParsesBackToThePublishedSnapshot)
{
    CMetricsServer server(PROCESS_METRICS{1796428799.25, "4.02.00"});
    sockaddr_in address{};
    ASSERT_TRUE(ParseMetricsAddress("127.0.0.1:1", address));
    address.sin_port = 0;  // any free port
    std::string problem;
    ASSERT_TRUE(server.Start(address, problem)) << problem;

    RELAY_METRICS quoted = Relay(1, "Q\"A", "239.1.1.1", "239.2.2.1", State::Running);
    quoted.Received = 4294967296u + 7;
    quoted.Converted = 6;
    quoted.Sent = 10;
    quoted.Dropped = 2;
    quoted.FailedSends = 3;
    quoted.ReceiveBufferBytes = 1048576;
    quoted.Oversized = 4;
    quoted.TickerTokens = 500000;
    quoted.TickerEvictions = 11;
    quoted.RefusedTokens = 12;
    quoted.NotCaptured = 5;
    quoted.LastDatagramTimestamp = 1796428805;
    const RELAY_METRICS escaped = Relay(22, "a\\b\n", "239.1.1.2", "10.0.0.9", State::WaitingForInterface);
    const RELAY_METRICS latin1 = Relay(333, "M\xDC", "239.1.1.3", "239.2.2.3", State::SendConnectError);
    server.Publish({quoted, escaped, latin1});

    TempDirectory directory;
    ChildProcess scrape(
        {"env", "PYTHONIOENCODING=utf-8", "/usr/bin/python3", ORMA_SCRAPE_SCRIPT, std::to_string(server.Port())},
        directory.Path());
    ASSERT_EQ(scrape.Wait(10s), 0) << "the scrape script failed; it printed:\n" << scrape.Stdout();
    Strings lines;
    std::istringstream text(scrape.Stdout());
    for (std::string line; std::getline(text, line);) lines.push_back(line);
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
                                 "orma_relay_failed_sends counter", "orma_relay_oversized_datagrams counter",
                                 "orma_relay_ticker_evictions counter", "orma_relay_refused_tokens counter",
                                 "orma_relay_ticker_tokens gauge", "orma_relay_not_captured_datagrams counter",
                                 "orma_relay_receive_buffer_bytes gauge", "orma_relay_state gauge",
                                 "orma_relay_last_datagram_timestamp_seconds gauge",
                                 "orma_relay_start_time_seconds gauge", "orma_relay_build_info gauge"}));
    EXPECT_EQ(
        std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("sample ", 0) == 0; }),
        13 * 3 + 2);

    const std::string labels1 =
        " config_id='1' receive_group='239.1.1.1' receive_port='30001' segment='Q\"A' send_group='239.2.2.1' "
        "send_port='31001'";
    for (const char* sample :
         {"orma_relay_received_datagrams_total%s 4294967303.0", "orma_relay_oversized_datagrams_total%s 4.0",
          "orma_relay_converted_messages_total%s 6.0", "orma_relay_sent_datagrams_total%s 10.0",
          "orma_relay_dropped_datagrams_total%s 2.0", "orma_relay_failed_sends_total%s 3.0",
          "orma_relay_receive_buffer_bytes%s 1048576.0", "orma_relay_state%s state='Running' 1.0",
          "orma_relay_last_datagram_timestamp_seconds%s 1796428805.0", "orma_relay_ticker_tokens%s 500000.0",
          "orma_relay_ticker_evictions_total%s 11.0", "orma_relay_refused_tokens_total%s 12.0",
          "orma_relay_not_captured_datagrams_total%s 5.0"})
        EXPECT_TRUE(has("sample " + FormatText(sample, labels1.c_str()))) << sample;
    const std::string labels22 =
        " config_id='22' receive_group='239.1.1.2' receive_port='30022' segment='a\\\\b\\n' send_group='10.0.0.9' "
        "send_port='31022'";
    EXPECT_TRUE(has("sample orma_relay_state" + labels22 + " state='Waiting for Interface' 1.0"));
    EXPECT_TRUE(has("sample orma_relay_last_datagram_timestamp_seconds" + labels22 + " 0.0"));
    EXPECT_TRUE(
        has("sample orma_relay_state config_id='333' receive_group='239.1.1.3' receive_port='30333' "
            "segment='M\xEF\xBF\xBD' send_group='239.2.2.3' send_port='31333' state='Send Connect Error' 1.0"));
    EXPECT_TRUE(has("sample orma_relay_start_time_seconds 1796428799.25"));
    EXPECT_TRUE(has("sample orma_relay_build_info version='4.02.00' 1.0"));
    EXPECT_TRUE(has("status /other 404"));
    EXPECT_TRUE(has("status POST /metrics 405"));
}

// Clients that open a connection and send half a request hold it until the
// idle timeout; a scraper still gets its answer at once beside a dozen of them.
TEST(MetricsServerTest, SlowClientsDoNotStarveAScraper)
{
    CMetricsServer server(PROCESS_METRICS{1, "4.02.00"});
    sockaddr_in address{};
    ASSERT_TRUE(ParseMetricsAddress("127.0.0.1:1", address));
    address.sin_port = 0;
    std::string problem;
    ASSERT_TRUE(server.Start(address, problem)) << problem;
    address.sin_port = htons(static_cast<uint16_t>(server.Port()));
    const auto connect = [&] {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const timeval timeout{2, 0};  // less than the server's idle timeout
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        EXPECT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        return fd;
    };
    const auto send = [](int fd, const std::string& text) { return ::send(fd, text.data(), text.size(), 0); };

    std::vector<int> slow;
    for (int i = 0; i < 12; ++i) {
        slow.push_back(connect());
        send(slow.back(), "GET /metrics HTTP/1.1\r\nHost: x\r\n");
    }
    const int scraper = connect();
    send(scraper, "GET /metrics HTTP/1.0\r\n\r\n");
    std::string reply;
    char buffer[4096];
    for (ssize_t n; (n = recv(scraper, buffer, sizeof buffer, 0)) > 0;) reply.append(buffer, static_cast<size_t>(n));
    EXPECT_EQ(reply.rfind("HTTP/1.1 200", 0), 0u) << reply;
    EXPECT_NE(reply.find("orma_relay_build_info{version=\"4.02.00\"} 1"), std::string::npos) << reply;
    close(scraper);
    for (const int fd : slow) close(fd);
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

// In a child, since the filter cannot be lifted: no program runs, no limit
// is set, reading one still works. The exit status has a bit per failure.
TEST(ProcessLockdownTest, NoProgramRunsAndNoLimitIsSetAfterwards)
{
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::string problem;
        int faults = ForbidProgramExecution(problem) ? 0 : 1;
        execl("/bin/false", "false", nullptr);  // exits 1 if it runs
        faults |= errno == EPERM ? 0 : 2;
        rlimit limit{};
        faults |= getrlimit(RLIMIT_NOFILE, &limit) == 0 ? 0 : 4;
        faults |= prlimit(0, RLIMIT_NOFILE, &limit, nullptr) != 0 && errno == EPERM ? 0 : 8;
        _exit(faults);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(ProcessLockdownTest, TheNewestCrashDumpsAreKept)
{
    TempDirectory directory;
    const std::string folder = directory.Path();
    // Written a minute apart, the oldest first; and two files that are not dumps.
    for (int i = 0; i < 13; ++i) {
        const std::string path = folder + FormatText("/PLUXCrash_%d.dmp", 1800000000 - i);
        std::fclose(std::fopen(path.c_str(), "w"));
        const timespec written[2] = {{1800000000 - 60 * i, 0}, {1800000000 - 60 * i, 0}};
        utimensat(AT_FDCWD, path.c_str(), written, 0);
    }
    std::fclose(std::fopen((folder + "/PLUX_01Jan2027.TXT").c_str(), "w"));
    mkdir((folder + "/PLUXCrash_1.dmp").c_str(), 0700);
    EXPECT_EQ(RemoveOldCrashDumps(folder, 10), 3);
    for (int i = 0; i < 13; ++i)
        EXPECT_EQ(access((folder + FormatText("/PLUXCrash_%d.dmp", 1800000000 - i)).c_str(), F_OK) == 0, i < 10) << i;
    EXPECT_EQ(access((folder + "/PLUX_01Jan2027.TXT").c_str(), F_OK), 0);
    EXPECT_EQ(access((folder + "/PLUXCrash_1.dmp").c_str(), F_OK), 0);
    EXPECT_EQ(RemoveOldCrashDumps(folder + "/missing", 10), -ENOENT);
}

TEST(ServiceManagerTest, StatusLinesCountTheRelaysByState)
{
    EXPECT_EQ(StatusText(CountRelays({State::SendFailing, State::ReceiveConnectError, State::NotRunning,
                                      State::WaitingForInterface, State::WaitingForInterface, State::ReceiveFailing,
                                      State::Stopped, State::Standby, State::LoopRefused})),
              "2 of 9 relays running (2 failing), 1 standby, 2 waiting for their interfaces, 1 held back (a loop, or "
              "sockets refused), 2 failed, 1 starting");
}

// Every state with a relay thread is judged by its heartbeat, a relay still
// connecting as much as one relaying; states without a thread are not.
TEST(ServiceManagerTest, EveryRelayThreadIsJudgedByItsHeartbeat)
{
    for (int value = 0; value <= static_cast<int>(State::Standby); ++value) {
        const auto state = static_cast<State>(value);
        const bool noThread = state == State::NotRunning || state == State::Stopped ||
                              state == State::ReceiveConnectError || state == State::SendConnectError;
        EXPECT_EQ(HasLiveRelayThread(state), !noThread) << CKOVBCastEngine::StateText(state);
    }
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

}  // namespace
