#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <tuple>

#include "log/EventLog.h"
#include "tests/support/TempDirectory.h"
#include "tools/ServiceManager.h"

namespace
{

using State = CKOVBCastEngine::RELAY_STATE;

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

}  // namespace
