// The rules of stored rows and configurations, for the cases the window's
// flows and the loaders cannot reach.
#include "config/BroadcastConfig.h"
#include "config/ConfigurationRules.h"
#include "config/FieldList.h"

#include <gtest/gtest.h>

namespace {

using Fields = std::vector<std::string>;

TEST(FieldListTest, SplitTakesOnlyFieldsThatASeparatorFollowsAndJoinEndsEachWithOne)
{
    EXPECT_EQ(SplitFields("a,,b,"), (Fields{"a", "", "b"}));
    EXPECT_EQ(SplitFields("a,b"), (Fields{"a"}));
    EXPECT_EQ(SplitFields(""), Fields{});
    EXPECT_EQ(SplitFields(","), (Fields{""}));
    EXPECT_EQ(JoinFields({"a", "", "b"}), "a,,b,");
    EXPECT_EQ(JoinFields({}), "");
}

TEST(FieldListTest, ParseDecimalReadsLikeAtoi)
{
    const std::pair<const char*, int> cases[] = {{"42", 42}, {"  -7x", -7}, {"+3", 3}, {"x3", 0}, {"", 0},
                                                 {"99999999999999999999", 2147483647},
                                                 {"-99999999999999999999", -2147483647 - 1}};
    for (const auto& [text, value] : cases) EXPECT_EQ(ParseDecimal(text), value) << text;
}

TEST(ConfigurationRowTest, RefusesRowsThatCannotBeUsedAndSaysWhy)
{
    const std::string rest = ",239.2.2.2,2,UDP,MULTICAST,N,N,";
    const std::pair<std::string, const char*> refused[] = {
        {"1,QA,239.1.1.1,100,UDP,MULTICAST,239.2.2.2,200,UDP,MULTICAST,", "it has 10 fields, at least 11 are needed"},
        {"-2,QA,239.1.1.1,1,UDP,MULTICAST" + rest, "Config ID \"-2\" is not a positive number"},
        {"100000,QA,239.1.1.1,1,UDP,MULTICAST" + rest, "Config ID 100000 is above the largest allowed, 99999"},
        {"1,QDLNX,239.1.1.1,1,UDP,MULTICAST" + rest, "segment \"QDLNX\" is longer than 4 characters"},
        {"1,QA,239.111.111.1111,1,UDP,MULTICAST" + rest, "address \"239.111.111.1111\" is longer than 15 characters"},
    };
    for (const auto& [row, why] : refused) {
        StoredConfiguration c;
        c.ConfigId = 99;
        std::string reason;
        EXPECT_FALSE(ParseConfigurationRow(row, c, reason)) << row;
        EXPECT_EQ(reason, why);
        EXPECT_EQ(c.ConfigId, 99) << "a refused row leaves the output alone";
    }
}

TEST(ConfigurationRowTest, ListRowShowsTheStoredFieldsInDecimal)
{
    StoredConfiguration configuration;
    std::string reason;
    ASSERT_TRUE(ParseConfigurationRow(" 07,QB,239.1.1.2,+0800,UDP,MULTICAST,239.2.1.2,20002,UDP,MULTICAST,N,",
                                      configuration, reason));
    const std::array<std::string, 6> expected{"7", "QB", "239.1.1.2", "800", "239.2.1.2", "20002"};
    EXPECT_EQ(ListRowTexts(configuration), expected);
}

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

TEST(ConfigurationRules, SendingPortsAndNewConfigIds)
{
    // Segments compare exactly.
    EXPECT_FALSE(IsSendPortFree({{1, "QA", 5000}, {2, "QA", 5000}}, 5000, "qa", 0));
    EXPECT_TRUE(IsSendPortFree({}, 5000, "QA", 0));
    // A new ID follows the last row; rows out of order (an edited store) never give an ID twice.
    EXPECT_EQ(NextConfigId({5, 2}), 3);
    EXPECT_EQ(NextConfigId({7, 3, 2, 6}), 8);
    EXPECT_EQ(NextConfigId({kMaxConfigId - 1}), kMaxConfigId);
    EXPECT_EQ(NextConfigId({kMaxConfigId}), 0);
    EXPECT_EQ(NextConfigId({kMaxConfigId, kMaxConfigId - 1}), 0);
}

}  // namespace
