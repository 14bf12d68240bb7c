#include "log/EventLog.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/NetworkTest.h"

#include <signal.h>

#include <filesystem>

namespace {

using namespace std::chrono_literals;

const std::string kRow = "1,QA,239.255.10.1,34001,UDP,MULTICAST,239.255.20.1,34002,UDP,MULTICAST,N,N,";

TEST(RelayRunnerTest, RefusesARowItCannotUseBeforeAnythingStarts)
{
    TempDirectory directory;
    ChildProcess relay({ORMA_RELAY_PATH, "--host-ip", "198.18.0.2", "--zenta-ip", "198.18.1.1", kRow,
                        "2,QB,239.255.10.2,34001,UDP,MULTICAST,239.255.20.2,34003,UDP,"},
                       directory.Path());
    EXPECT_EQ(relay.Wait(5s), 2);
    EXPECT_NE(relay.Stderr().find("refused: it has 9 fields, at least 11 are needed"), std::string::npos)
        << relay.Stderr();
    EXPECT_TRUE(std::filesystem::is_empty(directory.Path())) << "nothing started, nothing logged";
}

// orma-relay in the relay namespace: it relays, reports every second, and
// ends cleanly after its time or on SIGTERM.
using RelayRunnerNetworkTest = NetworkTest;

TEST_F(RelayRunnerNetworkTest, RelaysReportsAndEndsAfterItsTimeOrOnSigterm)
{
    TempDirectory directory;
    const int sink = network->OpenSinkSocket("239.255.20.1", 34002);
    for (const bool timed : {true, false}) {
        std::vector<std::string> argv = {"ip", "netns", "exec", network->RelayNamespace(), ORMA_RELAY_PATH,
                                         "--host-ip", TestNetwork::kHostSideIp, "--zenta-ip", TestNetwork::kZentaSideIp,
                                         kRow};
        if (timed)
            argv.insert(argv.end() - 1, {"--seconds", "2"});
        ChildProcess relay(argv, directory.Path());
        std::vector<uint8_t> out;
        ASSERT_TRUE(WaitFor([&] {  // the relay may still be starting
            network->Feed("239.255.10.1", 34001, std::vector<uint8_t>(100, 1));
            return ReceiveDatagram(sink, out, 50ms) == 512;
        }));
        if (!timed)
            relay.Signal(SIGTERM);
        ASSERT_EQ(relay.Wait(10s), 0) << relay.Stderr();

        const std::string printed = relay.Stdout();
        EXPECT_NE(printed.find("Config ID 1  Stopped"), std::string::npos) << printed;
        if (timed) {
            EXPECT_NE(printed.find("Config ID 1  Running"), std::string::npos) << printed;
            EXPECT_NE(printed.find("Dropped: 0"), std::string::npos) << "the kernel's drops are shown";
        }
    }
    const std::string log = ReadFile(directory.File(CEventLog::GetInstance()->GetLogFileName()));
    EXPECT_NE(log.find("ORMA UDP Broadcast Server has been Started"), std::string::npos) << log;
    EXPECT_NE(log.find("ORMA UDP Broadcast Server has been Closed"), std::string::npos);
}

}  // namespace
