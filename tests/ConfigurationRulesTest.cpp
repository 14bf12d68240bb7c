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
