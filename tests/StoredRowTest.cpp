#include "config/BroadcastConfig.h"
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
    for (const auto& [text, value] : cases)
        EXPECT_EQ(ParseDecimal(text), value) << text;
}

TEST(ParseConfigurationRowTest, RefusesRowsThatCannotBeUsedAndSaysWhy)
{
    const std::pair<const char*, const char*> refused[] = {
        {"1,QA,239.1.1.1,100,UDP,MULTICAST,239.2.2.2,200,UDP,MULTICAST,", "it has 10 fields, at least 11 are needed"},
        {"0,QA,239.1.1.1,1,UDP,MULTICAST,239.2.2.2,2,UDP,MULTICAST,N,N,", "Config ID \"0\" is not a positive number"},
        {"-2,QA,239.1.1.1,1,UDP,MULTICAST,239.2.2.2,2,UDP,MULTICAST,N,N,", "Config ID \"-2\" is not a positive number"},
        {"100000,QA,239.1.1.1,1,UDP,MULTICAST,239.2.2.2,2,UDP,MULTICAST,N,N,",
         "Config ID 100000 is above the largest allowed, 99999"},
        {"1,QDLNX,239.1.1.1,100,UDP,MULTICAST,239.2.2.2,200,UDP,MULTICAST,N,N,",
         "segment \"QDLNX\" is longer than 4 characters"},
        {"1,QA,239.111.111.1111,100,UDP,MULTICAST,239.2.2.2,200,UDP,MULTICAST,N,N,",
         "address \"239.111.111.1111\" is longer than 15 characters"},
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

}  // namespace
