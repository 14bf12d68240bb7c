// The rules of stored rows and configurations: the one place they are
// tested as rules (the window's and the loaders' tests see them applied).
#include "config/BroadcastConfig.h"
#include "config/ConfigurationRules.h"
#include "config/RelayRules.h"

#include <gtest/gtest.h>

namespace {

KOV_BCAST_CONFIG Valid()
{
    KOV_BCAST_CONFIG c;
    c.ConfigId = 1;
    c.SegmentCode = "QA";
    c.ReceiveIp = "239.1.1.1";
    c.ReceivePort = 1;
    c.SendIp = "239.2.1.1";
    c.SendPort = 65535;
    c.HostSideIp = "198.18.0.2";
    c.ZentaSideIp = "198.18.1.1";
    return c;
}

TEST(ConfigurationRowTest, ReadsTheStoredFormAndWritesItBack)
{
    // Eleven fields predate the NMKT flag; protocol and cast type are always
    // UDP multicast; only an exact "Y" sets a flag.
    KOV_BCAST_CONFIG c;
    std::string reason;
    ASSERT_TRUE(ParseConfigurationRow(" 07,QB,239.1.1.2,+0800,TCP,UNICAST,239.2.1.2,20002,TCP,UNICAST,y,", c, reason));
    EXPECT_EQ(FormatConfigurationRow(c), "7,QB,239.1.1.2,800,UDP,MULTICAST,239.2.1.2,20002,UDP,MULTICAST,N,N,");
    ASSERT_TRUE(
        ParseConfigurationRow("7,QB,239.1.1.2,800,UDP,MULTICAST,239.2.1.2,20002,UDP,MULTICAST,Y,Y,", c, reason));
    EXPECT_EQ(c.ArchiveFlag + c.NmktFlag, 2);
    ASSERT_TRUE(
        ParseConfigurationRow("7,QB,239.1.1.2,800,UDP,MULTICAST,239.2.1.2,20002,UDP,MULTICAST,Y,Y,X,", c, reason));
    EXPECT_EQ(c.NmktFlag, 0) << "only a row of twelve fields carries the flag";
}

TEST(ConfigurationRowTest, RefusesRowsThatCannotBeHeldAndSaysWhy)
{
    const std::string rest = ",239.2.2.2,2,UDP,MULTICAST,N,N,";
    const std::pair<std::string, const char*> refused[] = {
        {"1,QA,239.1.1.1,100,UDP,MULTICAST,239.2.2.2,200,UDP,MULTICAST,", "it has 10 fields, at least 11 are needed"},
        {"-2,QA,239.1.1.1,1,UDP,MULTICAST" + rest, "Config ID -2 is not a positive number"},
        {"100000,QA,239.1.1.1,1,UDP,MULTICAST" + rest, "Config ID 100000 is above the largest allowed, 99999"},
        // Numbers too large for an int are held at its ends, not wrapped.
        {"99999999999999999999,QA,239.1.1.1,1,UDP,MULTICAST" + rest,
         "Config ID 2147483647 is above the largest allowed, 99999"},
        {"-99999999999999999999,QA,239.1.1.1,1,UDP,MULTICAST" + rest, "Config ID -2147483648 is not a positive number"},
        {"1,QDLNX,239.1.1.1,1,UDP,MULTICAST" + rest, "segment \"QDLNX\" is longer than 4 characters"},
        {"1,QA,239.111.111.1111,1,UDP,MULTICAST" + rest, "address \"239.111.111.1111\" is longer than 15 characters"},
    };
    for (const auto& [row, why] : refused) {
        KOV_BCAST_CONFIG c;
        c.ConfigId = 99;
        std::string reason;
        EXPECT_FALSE(ParseConfigurationRow(row, c, reason)) << row;
        EXPECT_EQ(reason, why);
        EXPECT_EQ(c.ConfigId, 99) << "a refused row leaves the output alone";
    }
    // A row that breaks a rule of the form still loads: it is refused when started.
    KOV_BCAST_CONFIG c;
    std::string reason;
    EXPECT_TRUE(ParseConfigurationRow("1,,0.0.0.0,0,UDP,MULTICAST,,99999,UDP,MULTICAST,N,N,", c, reason));
    // Read exactly, it still loads; a typo in a number does not.
    EXPECT_TRUE(ParseExactConfigurationRow("1,,0.0.0.0,0,UDP,MULTICAST,,99999,UDP,MULTICAST,N,N,", c, reason));
    EXPECT_FALSE(ParseExactConfigurationRow("1,QA,239.1.1.1,1,UDP,MULTICAST,239.2.2.2,2x,UDP,MULTICAST,N,", c, reason));
    EXPECT_EQ(reason, "Sender Port \"2x\" is not a whole number");
    // The Config ID a refused row still names beyond doubt, so that its relay is left alone.
    const std::pair<std::string_view, int> ids[] = {{"12,x", 12}, {"99999,", 99999}, {"100000,", 0}, {"0,", 0},
                                                    {" 7,", 0},   {"7x,", 0},        {"7", 0},       {"", 0}};
    for (const auto& [row, id] : ids) EXPECT_EQ(ExactConfigId(row), id) << row;
}

TEST(ConfigurationRules, TheFormsSevenChecksComeFirstInTheirOrder)
{
    EXPECT_FALSE(FindConfigurationProblem(Valid()));
    const std::pair<ConfigurationField, const char*> checks[] = {
        {ConfigurationField::ReceiveIp, "Receiver IP Can not be zero or blank."},
        {ConfigurationField::ReceivePort, "Receiver Port Can not be zero."},
        {ConfigurationField::SegmentCode, "Market Segment Can not be empty."},
        {ConfigurationField::SendIp, "Sender IP Can not be zero or blank."},
        {ConfigurationField::SendPort, "Sender Port Can not be zero."},
        {ConfigurationField::HostSideIp, "Local IP towards Host Can not be zero or blank."},
        {ConfigurationField::ZentaSideIp, "Local IP towards ZENTA Can not be zero or blank."}};
    // Every value from the first broken one on is broken (and the Config ID
    // too): only the first is reported.
    for (size_t first = 0; first < std::size(checks); ++first) {
        KOV_BCAST_CONFIG c = Valid();
        c.ConfigId = 0;
        const auto broken = [first](size_t index) { return index >= first; };
        if (broken(0))
            c.ReceiveIp = kBlankAddress;
        if (broken(1))
            c.ReceivePort = 0;
        if (broken(2))
            c.SegmentCode.clear();
        if (broken(3))
            c.SendIp = kBlankAddress;
        if (broken(4))
            c.SendPort = 0;
        if (broken(5))
            c.HostSideIp = kBlankAddress;
        if (broken(6))
            c.ZentaSideIp = kBlankAddress;
        const auto problem = FindConfigurationProblem(c);
        ASSERT_TRUE(problem);
        EXPECT_EQ(problem->Field, checks[first].first);
        EXPECT_EQ(problem->Message, checks[first].second);
    }
}

TEST(ConfigurationRules, PortsAndAddressesMustBeWhatTheSocketsTake)
{
    // Checked after what the loaders refuse.
    KOV_BCAST_CONFIG c = Valid();
    c.ConfigId = 100000;
    c.SendPort = 65536;
    EXPECT_EQ(FindConfigurationProblem(c)->Field, ConfigurationField::ConfigId);

    const std::pair<void (*)(KOV_BCAST_CONFIG&), const char*> cases[] = {
        {[](KOV_BCAST_CONFIG& c) { c.ReceivePort = -1; }, "Receiver Port must be from 1 to 65535."},
        {[](KOV_BCAST_CONFIG& c) { c.SendPort = 99999; }, "Sender Port must be from 1 to 65535."},
        {[](KOV_BCAST_CONFIG& c) { c.ReceiveIp = "239.1.1"; }, "Receiver IP is not a valid IPv4 address."},
        {[](KOV_BCAST_CONFIG& c) { c.SendIp = "0.0.0.00"; }, "Sender IP is not a valid IPv4 address."},
        {[](KOV_BCAST_CONFIG& c) { c.HostSideIp = ""; }, "Local IP towards Host is not a valid IPv4 address."},
        {[](KOV_BCAST_CONFIG& c) { c.ZentaSideIp = " 0.0.0.0"; },
         "Local IP towards ZENTA is not a valid IPv4 address."},
        {[](KOV_BCAST_CONFIG& c) { c.ReceiveIp = "239.1.1.256"; }, "Receiver IP is not a valid IPv4 address."},
    };
    for (const auto& [breakIt, message] : cases) {
        KOV_BCAST_CONFIG broken = Valid();
        breakIt(broken);
        const auto problem = FindConfigurationProblem(broken);
        ASSERT_TRUE(problem) << message;
        EXPECT_EQ(problem->Message, message);
        EXPECT_FALSE(FindLoadingProblem(broken)) << "loaded, refused at start: " << message;
    }
    KOV_BCAST_CONFIG highOctets = Valid();
    highOctets.ReceiveIp = "239.255.255.250";
    highOctets.SendIp = "239.0.255.255";
    EXPECT_FALSE(FindConfigurationProblem(highOctets));
}

TEST(ConfigurationRules, AnOutputThatComesBackToItsInputIsALoop)
{
    // id receives `in` on host and sends to `out` from zenta; groups as numbers on port 5000.
    const auto relay = [](int id, int in, int out, std::string host = "10.0.0.1", std::string zenta = "10.0.0.1") {
        KOV_BCAST_CONFIG c = Valid();
        c.ConfigId = id;
        c.ReceiveIp = "239.0.0." + std::to_string(in);
        c.SendIp = "239.0.0." + std::to_string(out);
        c.ReceivePort = c.SendPort = 5000;
        c.HostSideIp = std::move(host);
        c.ZentaSideIp = std::move(zenta);
        return c;
    };
    const SameInterface byText = [](const std::string& a, const std::string& b) { return a == b; };
    EXPECT_EQ(FindFeedbackLoop(relay(1, 1, 1), {}, byText), (std::vector<int>{1, 1}));
    EXPECT_TRUE(FindFeedbackLoop(relay(1, 1, 1, "10.0.0.1", "10.0.1.1"), {}, byText).empty()) << "other interface";
    KOV_BCAST_CONFIG otherPort = relay(1, 1, 1);
    otherPort.SendPort = 5001;
    EXPECT_TRUE(FindFeedbackLoop(otherPort, {}, byText).empty()) << "the group on another port";
    // 3 feeds 5, 5 feeds 7 and 7 feeds 3; 6 only listens.
    const std::vector<KOV_BCAST_CONFIG> running{relay(6, 2, 9), relay(5, 2, 4), relay(7, 4, 1)};
    EXPECT_EQ(FindFeedbackLoop(relay(3, 1, 2), running, byText), (std::vector<int>{3, 5, 7, 3}));
    EXPECT_EQ(FeedbackLoopText({3, 5, 7, 3}), "3 > 5 > 7 > 3");
    EXPECT_TRUE(FindFeedbackLoop(relay(3, 8, 2), running, byText).empty()) << "nothing feeds it";
    EXPECT_TRUE(FindFeedbackLoop(relay(5, 2, 4), running, byText).empty()) << "the running 5 is the starting one";
    // Two addresses of one interface count as one.
    const SameInterface oneInterface = [](const std::string&, const std::string&) { return true; };
    EXPECT_EQ(FindFeedbackLoop(relay(1, 1, 1, "10.0.0.1", "10.0.0.2"), {}, oneInterface), (std::vector<int>{1, 1}));
}

TEST(ConfigurationRules, SendingPortsAndNewConfigIds)
{
    // Segments compare exactly.
    EXPECT_FALSE(IsSendPortFree({{1, "QA", 5000}, {2, "QA", 5000}}, 5000, "qa", 0));
    EXPECT_TRUE(IsSendPortFree({{1, "QA", 5000}}, 5000, "QA", 0));
    EXPECT_TRUE(IsSendPortFree({{1, "QA", 5000}}, 5000, "QB", 1)) << "a configuration is not compared with itself";
    // A new ID follows the last row; rows out of order (an edited store) never give an ID twice.
    EXPECT_EQ(NextConfigId({}), 1);
    EXPECT_EQ(NextConfigId({5, 2}), 3);
    EXPECT_EQ(NextConfigId({7, 3, 2, 6}), 8);
    EXPECT_EQ(NextConfigId({kMaxConfigId - 1}), kMaxConfigId);
    EXPECT_EQ(NextConfigId({kMaxConfigId}), 0);
    EXPECT_EQ(NextConfigId({kMaxConfigId, kMaxConfigId - 1}), 0);
}

// What a reload does to each relay: one change per fault it must not let
// through (a changed row not restarted, a refused row's relay stopped).
TEST(RelayRules, AReloadChangesWhatChangedAndLeavesRefusedRowsRunning)
{
    const auto with = [](int id, auto change) {
        KOV_BCAST_CONFIG c = Valid();
        c.ConfigId = id;
        change(c);
        return c;
    };
    const auto same = [](KOV_BCAST_CONFIG&) {};
    const std::vector<HeldRelay> held{{with(1, same), false}, {with(2, same), false}, {with(3, same), true},
                                      {with(4, same), false}, {with(5, same), false}, {with(8, same), false}};
    const std::vector<KOV_BCAST_CONFIG> wanted{with(6, same), with(1, same),
                                               with(2, [](KOV_BCAST_CONFIG& c) { c.ZentaSideIp = "198.18.1.9"; }),
                                               with(3, same), with(8, [](KOV_BCAST_CONFIG& c) { c.SendPort = 2; })};
    std::vector<std::pair<int, ReloadChange>> planned;
    for (const PlannedChange& change : PlanReload(held, wanted, {5, 7}))
        planned.emplace_back(change.ConfigId, change.Change);
    using enum ReloadChange;
    EXPECT_EQ(planned,
              (std::vector<std::pair<int, ReloadChange>>{
                  {1, Unchanged}, {2, Changed}, {3, Retried}, {4, Removed}, {5, Refused}, {8, Changed}, {6, Added}}));
    for (const ReloadChange change : {Unchanged, Refused})
        EXPECT_FALSE(StopsTheRelay(change) || StartsTheConfiguration(change));
    EXPECT_TRUE(StopsTheRelay(Removed) && !StartsTheConfiguration(Removed));
    EXPECT_TRUE(!StopsTheRelay(Added) && StartsTheConfiguration(Added));
}

TEST(RelayRules, APollingRelayTakesTheFirstCpuNoRelayHolds)
{
    EXPECT_EQ(ChoosePollingCpu({}, {0, 1}), kAnyCpu);
    EXPECT_EQ(ChoosePollingCpu({2, 3}, {kAnyCpu, 2}), 3);
    EXPECT_EQ(ChoosePollingCpu({3, 2}, {}), 3) << "in the list's order";
    EXPECT_EQ(ChoosePollingCpu({2, 3}, {3, 2}), kNoCpuLeft);
}

}  // namespace
