#include "log/EventLog.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDirectory.h"
#include "tests/support/TestNetwork.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>

namespace {

using namespace std::chrono_literals;

const std::string kRow = "1,QA,239.255.10.1,34001,UDP,MULTICAST,239.255.20.1,34002,UDP,MULTICAST,N,N,";

std::vector<std::string> RelayCommand(const std::string& ns, std::vector<std::string> rest)
{
    std::vector<std::string> argv = {"ip", "netns", "exec", ns, ORMA_RELAY_PATH, "--host-ip",
                                     TestNetwork::kHostSideIp, "--zenta-ip", TestNetwork::kZentaSideIp};
    argv.insert(argv.end(), rest.begin(), rest.end());
    return argv;
}

bool HasLogFile(const std::string& directory)
{
    for (const auto& entry : std::filesystem::directory_iterator(directory))
        if (entry.path().filename().string().rfind("PLUX_", 0) == 0)
            return true;
    return false;
}

TEST(RelayRunnerTest, RefusesARowItCannotUseBeforeAnythingStarts)
{
    TempDirectory directory;
    ChildProcess relay({ORMA_RELAY_PATH, "--host-ip", "198.18.0.2", "--zenta-ip", "198.18.1.1", kRow,
                        "2,QB,239.255.10.2,34001,UDP,MULTICAST,239.255.20.2,34003,UDP,"},
                       directory.Path());
    EXPECT_EQ(relay.Wait(5s), 2);
    EXPECT_NE(relay.Stderr().find("refused: it has 9 fields, at least 11 are needed"), std::string::npos)
        << relay.Stderr();
    EXPECT_FALSE(HasLogFile(directory.Path())) << "nothing started, nothing logged";

    ChildProcess noAddress({ORMA_RELAY_PATH, "--zenta-ip", "198.18.1.1", kRow}, directory.Path());
    EXPECT_EQ(noAddress.Wait(5s), 2);
    EXPECT_NE(noAddress.Stderr().find("--host-ip"), std::string::npos);
}

class RelayRunnerNetworkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why;
        network = TestNetwork::Create(why);
        if (!network)
            GTEST_SKIP() << why;
        feed = network->OpenFeedSocket();
        sink = network->OpenSinkSocket("239.255.20.1", 34002);
    }
    void TearDown() override
    {
        if (feed >= 0)
            close(feed);
        if (sink >= 0)
            close(sink);
    }
    // Feeds datagrams until one comes out at the sink (the relay may still be starting).
    bool RelayOneDatagram()
    {
        std::vector<uint8_t> out;
        return WaitFor([&] {
            SendDatagram(feed, "239.255.10.1", 34001, std::vector<uint8_t>(100, 1));
            return ReceiveDatagram(sink, out, 50ms) == 512;
        });
    }

    std::unique_ptr<TestNetwork> network;
    TempDirectory directory;
    int feed = -1;
    int sink = -1;
};

TEST_F(RelayRunnerNetworkTest, RelaysReportsEverySecondAndEndsAfterItsTime)
{
    ChildProcess relay(RelayCommand(network->RelayNamespace(), {"--seconds", "2", kRow}), directory.Path());
    ASSERT_TRUE(RelayOneDatagram());
    ASSERT_EQ(relay.Wait(10s), 0) << relay.Stderr();

    const std::string out = relay.Stdout();
    EXPECT_NE(out.find("Config ID 1  Running"), std::string::npos) << out;
    EXPECT_NE(out.find("Config ID 1  Stopped"), std::string::npos) << out;
    EXPECT_NE(out.find("Dropped: 0"), std::string::npos) << "the kernel's drops are shown";
    const std::string log = ReadFile(directory.File(CEventLog::GetInstance()->GetLogFileName()));
    EXPECT_NE(log.find("ORMA UDP Broadcast Server has been Started"), std::string::npos) << log;
    EXPECT_NE(log.find("Config ID 1 has been Started successfully."), std::string::npos);
    EXPECT_NE(log.find("ORMA UDP Broadcast Server has been Closed"), std::string::npos);
}

TEST_F(RelayRunnerNetworkTest, EndsCleanlyOnSigterm)
{
    ChildProcess relay(RelayCommand(network->RelayNamespace(), {kRow}), directory.Path());
    ASSERT_TRUE(RelayOneDatagram());
    relay.Signal(SIGTERM);
    EXPECT_EQ(relay.Wait(5s), 0) << relay.Stderr();
    EXPECT_NE(relay.Stdout().find("Stopped"), std::string::npos);
}

}  // namespace
