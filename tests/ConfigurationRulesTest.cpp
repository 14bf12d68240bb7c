#include "config/ConfigurationRules.h"

#include <gtest/gtest.h>

TEST(ConfigurationRules, OnlyTheExactBlankAddressIsBlank)
{
    // What an empty address box yields is refused; any other text, even empty, is left to the socket layer.
    EXPECT_FALSE(FindConfigurationProblem("", 1, "QA", "0.0.0.00", 99999, " 0.0.0.0", "198.18.1.1"));
    const std::optional<ConfigurationProblem> problem =
        FindConfigurationProblem("239.1.1.1", 1, "QA", "239.2.1.1", 2, "198.18.0.2", "0.0.0.0");
    ASSERT_TRUE(problem);
    EXPECT_EQ(problem->Field, ConfigurationField::ZentaSideIp);
    EXPECT_STREQ(problem->Message, "Local IP towards ZENTA Can not be zero or blank.");
}

TEST(ConfigurationRules, ListRowShowsTheStoredFieldsInDecimal)
{
    StoredConfiguration configuration;
    std::string reason;
    ASSERT_TRUE(ParseConfigurationRow(" 07,QB,239.1.1.2,+0800,UDP,MULTICAST,239.2.1.2,20002,UDP,MULTICAST,N,",
                                      configuration, reason));
    const std::array<std::string, 6> expected{"7", "QB", "239.1.1.2", "800", "239.2.1.2", "20002"};
    EXPECT_EQ(ListRowTexts(configuration), expected);
}

// The window's flows check the common cases; these are the ones they cannot reach.
TEST(ConfigurationRules, SendingPortIsSharedWithinOneSegmentOnly)
{
    const std::vector<SendPortUse> rows{{1, "QA", 5000}, {2, "QA", 5000}, {3, "QB", 6000}};
    EXPECT_FALSE(IsSendPortFree(rows, 5000, "qa", 0)) << "segments compare exactly";
    EXPECT_TRUE(IsSendPortFree({}, 5000, "QA", 0));
}

TEST(ConfigurationRules, NewConfigIdFollowsTheLastRow)
{
    EXPECT_EQ(NextConfigId({}), 1);
    EXPECT_EQ(NextConfigId({5, 2}), 3);
    // Rows out of order (an edited store) never give an ID twice.
    EXPECT_EQ(NextConfigId({7, 3, 2, 6}), 8);
    EXPECT_EQ(NextConfigId({kMaxConfigId - 1}), kMaxConfigId);
    EXPECT_EQ(NextConfigId({kMaxConfigId}), 0);
    EXPECT_EQ(NextConfigId({kMaxConfigId, kMaxConfigId - 1}), 0);
}
