#include "config/BroadcastConfig.h"
#include "config/FieldList.h"

#include <gtest/gtest.h>

namespace {

using Fields = std::vector<std::string>;

TEST(SplitFieldsTest, TakesOnlyFieldsThatASeparatorFollows)
{
    EXPECT_EQ(SplitFields("a,,b,"), (Fields{"a", "", "b"}));
    EXPECT_EQ(SplitFields("a,b"), (Fields{"a"}));
    EXPECT_EQ(SplitFields(""), Fields{});
    EXPECT_EQ(SplitFields(","), (Fields{""}));
    EXPECT_EQ(SplitFields("0,QA,,,,,"), (Fields{"0", "QA", "", "", "", ""}));
}

TEST(SplitFieldsTest, JoinEndsEveryFieldWithTheSeparatorAndRoundTrips)
{
    EXPECT_EQ(JoinFields({"a", "", "b"}), "a,,b,");
    EXPECT_EQ(JoinFields({}), "");
    const std::string row = "1,QA,239.255.10.1,34001,UDP,MULTICAST,239.255.20.1,34002,UDP,MULTICAST,N,Y,";
    EXPECT_EQ(JoinFields(SplitFields(row)), row);
}

TEST(ParseDecimalTest, ReadsLikeAtoi)
{
    EXPECT_EQ(ParseDecimal("42"), 42);
    EXPECT_EQ(ParseDecimal("  -7x"), -7);
    EXPECT_EQ(ParseDecimal("+3"), 3);
    EXPECT_EQ(ParseDecimal("x3"), 0);
    EXPECT_EQ(ParseDecimal(""), 0);
    EXPECT_EQ(ParseDecimal("99999"), 99999);
    EXPECT_EQ(ParseDecimal("99999999999999999999"), 2147483647);
    EXPECT_EQ(ParseDecimal("-99999999999999999999"), -2147483647 - 1);
}

TEST(ParseConfigurationRowTest, ReadsTwelveAndElevenFieldRows)
{
    StoredConfiguration c;
    std::string reason;
    ASSERT_TRUE(ParseConfigurationRow("3,QB,239.1.1.1,100,TCP,UNICAST,239.2.2.2,200,UDP,MULTICAST,Y,Y,", c, reason));
    EXPECT_EQ(c.ConfigId, 3);
    EXPECT_EQ(c.SegmentCode, "QB");
    EXPECT_EQ(c.ReceiveIp, "239.1.1.1");
    EXPECT_EQ(c.ReceivePort, 100);
    EXPECT_EQ(c.ReceiveProtocol, "TCP");
    EXPECT_EQ(c.SendIp, "239.2.2.2");
    EXPECT_EQ(c.SendPort, 200);
    EXPECT_EQ(c.Archive, "Y");
    EXPECT_EQ(c.Nmkt, "Y");

    ASSERT_TRUE(ParseConfigurationRow("4,QB,239.1.1.1,100,UDP,MULTICAST,239.2.2.2,200,UDP,MULTICAST,N,", c, reason));
    EXPECT_EQ(c.ConfigId, 4);
    EXPECT_EQ(c.Nmkt, "N");
}

TEST(ParseConfigurationRowTest, RefusesRowsThatCannotBeUsedAndSaysWhy)
{
    StoredConfiguration c;
    c.ConfigId = 99;
    std::string reason;
    EXPECT_FALSE(ParseConfigurationRow("1,QA,239.1.1.1,100,UDP,MULTICAST,239.2.2.2,200,UDP,MULTICAST,", c, reason));
    EXPECT_EQ(reason, "it has 10 fields, at least 11 are needed");
    EXPECT_FALSE(ParseConfigurationRow("0,QA,239.1.1.1,100,UDP,MULTICAST,239.2.2.2,200,UDP,MULTICAST,N,N,", c, reason));
    EXPECT_EQ(reason, "Config ID \"0\" is not a positive number");
    EXPECT_FALSE(ParseConfigurationRow("-2,QA,239.1.1.1,1,UDP,MULTICAST,239.2.2.2,2,UDP,MULTICAST,N,N,", c, reason));
    EXPECT_FALSE(
        ParseConfigurationRow("100000,QA,239.1.1.1,1,UDP,MULTICAST,239.2.2.2,2,UDP,MULTICAST,N,N,", c, reason));
    EXPECT_EQ(reason, "Config ID 100000 is above the largest allowed, 99999");
    EXPECT_FALSE(
        ParseConfigurationRow("1,QDLNX,239.1.1.1,100,UDP,MULTICAST,239.2.2.2,200,UDP,MULTICAST,N,N,", c, reason));
    EXPECT_EQ(reason, "segment \"QDLNX\" is longer than 4 characters");
    EXPECT_FALSE(
        ParseConfigurationRow("1,QA,239.111.111.1111,100,UDP,MULTICAST,239.2.2.2,200,UDP,MULTICAST,N,N,", c, reason));
    EXPECT_EQ(c.ConfigId, 99) << "a refused row leaves the output alone";
}

}  // namespace
