// A binary of its own: the watcher is one per process and stays in the
// namespace of the thread that first used it, here the relay namespace.
#include <net/if.h>

#include <cstdlib>

#include "net/InterfaceWatcher.h"
#include "tests/support/NetworkTest.h"

namespace
{

bool Shell(const std::string& command)
{
    return std::system(("(" + command + ") >/dev/null 2>&1").c_str()) == 0;
}

int HostSideIndex()
{
    return CInterfaceWatcher::InterfaceIndexOf(TestNetwork::kHostSideIp);
}

using InterfaceWatcherTest = NetworkTest;

TEST_F(InterfaceWatcherTest, FollowsTheHostSideAddressAcrossAddressAndLinkChanges)
{
    network->EnterRelay();
    const CInterfaceWatcher& watcher = CInterfaceWatcher::Instance();
    const std::string relay = "ip -n " + network->RelayNamespace() + " ";
    const std::string hostSideAddress = std::string(TestNetwork::kHostSideIp) + "/24 dev host0";
    // Before each step, 200 ms without a change: what the step before caused
    // has been counted, so only the step itself can move the generation on.
    uint64_t seen = 0;
    const auto settle = [&] {
        do seen = watcher.Generation();
        while (WaitFor([&] { return watcher.Generation() != seen; }, std::chrono::milliseconds(200)));
    };
    const auto advanced = [&] { return WaitFor([&] { return watcher.Generation() > seen; }); };

    const int first = HostSideIndex();
    EXPECT_NE(first, 0);
    EXPECT_EQ(first, static_cast<int>(if_nametoindex("host0")));
    EXPECT_EQ(CInterfaceWatcher::InterfaceIndexOf(TestNetwork::kFeedIp), 0) << "held in another namespace";
    EXPECT_EQ(CInterfaceWatcher::InterfaceIndexOf("198.18.0"), 0);

    settle();
    ASSERT_TRUE(Shell(relay + "addr del " + hostSideAddress));
    EXPECT_TRUE(advanced()) << "address removed";
    EXPECT_EQ(HostSideIndex(), 0);
    settle();
    ASSERT_TRUE(Shell(relay + "addr add " + hostSideAddress));
    EXPECT_TRUE(advanced()) << "address added again";
    EXPECT_EQ(HostSideIndex(), first) << "same link, same index";

    settle();
    ASSERT_TRUE(Shell(relay + "link del host0"));
    EXPECT_TRUE(advanced()) << "link deleted";
    EXPECT_EQ(HostSideIndex(), 0);

    ASSERT_TRUE(Shell("ip link add feed0 netns " + network->FeedNamespace() + " type veth peer name host0 netns " +
                      network->RelayNamespace() + " && " + relay + "addr add " + hostSideAddress + " && " + relay +
                      "link set host0 up"));
    const int recreated = HostSideIndex();
    EXPECT_NE(recreated, 0);
    EXPECT_NE(recreated, first) << "a new interface under the old name";
    EXPECT_EQ(recreated, static_cast<int>(if_nametoindex("host0")));
}

}  // namespace
