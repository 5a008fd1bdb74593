#include "platform/StringTable.h"
#include "texts/Configuration.h"

#include <gtest/gtest.h>

using pelora::ConfigurationCheckValue;
using pelora::LanguageNumberFromCode;
using pelora::ReadConfiguration;

namespace {

std::string Config(const std::string& rest) { return "PELORA.1D.FWR|" + ConfigurationCheckValue() + rest; }

}  // namespace

TEST(Configuration, ShippedStringSelectsFirstLanguageAndNoFollowOnProgram)
{
    const auto config = ReadConfiguration(pelora::LoadString(pelora::ConfigurationString), "/opt/pelora");
    ASSERT_TRUE(config.has_value());
    EXPECT_EQ(config->ConfigFields.size(), 4u);
    EXPECT_EQ(config->FirmwareFilePath, "/opt/pelora/PELORA.1D.FWR");
    EXPECT_EQ(config->RunOnClose, "");
    EXPECT_EQ(config->LanguageNumber, 1);
}

TEST(Configuration, EndsSilentlyWithoutTwoFieldsOrWithAForeignCheckValue)
{
    EXPECT_FALSE(ReadConfiguration("PELORA.1D.FWR", "/app").has_value());
    EXPECT_FALSE(ReadConfiguration("", "/app").has_value());
    EXPECT_FALSE(ReadConfiguration("PELORA.1D.FWR|not-ours||5000", "/app").has_value());
    EXPECT_FALSE(ReadConfiguration("PELORA.1D.FWR|" + ConfigurationCheckValue() + "x", "/app").has_value());
    EXPECT_TRUE(ReadConfiguration(Config(""), "/app").has_value());
}

TEST(Configuration, FollowOnProgramAndLanguageNeedTheirFields)
{
    auto two = ReadConfiguration(Config(""), "/app");
    ASSERT_TRUE(two);
    EXPECT_EQ(two->RunOnClose, "");
    EXPECT_EQ(two->LanguageNumber, 1);

    auto three = ReadConfiguration(Config("|Tool.exe"), "/app");
    ASSERT_TRUE(three);
    EXPECT_EQ(three->RunOnClose, "Tool.exe");
    EXPECT_EQ(three->LanguageNumber, 1);

    auto four = ReadConfiguration(Config("|Tool.exe|7000"), "/app");
    ASSERT_TRUE(four);
    EXPECT_EQ(four->LanguageNumber, 3);
}

TEST(Configuration, LanguageCodeStepsOfAThousandAboveFiveThousand)
{
    EXPECT_EQ(LanguageNumberFromCode("4999"), 1);
    EXPECT_EQ(LanguageNumberFromCode("5000"), 1);
    EXPECT_EQ(LanguageNumberFromCode("5999"), 1);
    EXPECT_EQ(LanguageNumberFromCode("6000"), 2);
    EXPECT_EQ(LanguageNumberFromCode("6999"), 2);
    EXPECT_EQ(LanguageNumberFromCode("7999"), 3);
    EXPECT_EQ(LanguageNumberFromCode("9000"), 5);
}

TEST(Configuration, LanguageCodeReadsOnlyItsLeadingNumberAndRoundsHalvesToEven)
{
    EXPECT_EQ(LanguageNumberFromCode("6000 German"), 2);
    EXPECT_EQ(LanguageNumberFromCode("  6000"), 2);
    EXPECT_EQ(LanguageNumberFromCode("German"), -4);  // no number reads as 0
    EXPECT_EQ(LanguageNumberFromCode(""), -4);
    // 5999.5 - 5000 = 999.5 rounds to 1000 (even), so column 2;
    // 6000.5 - 5000 = 1000.5 rounds to 1000 as well.
    EXPECT_EQ(LanguageNumberFromCode("5999.5"), 2);
    EXPECT_EQ(LanguageNumberFromCode("5998.5"), 1);
    // Division drops the remainder toward zero: -1500 / 1000 = -1.
    EXPECT_EQ(LanguageNumberFromCode("3500"), 0);
    EXPECT_EQ(LanguageNumberFromCode("99999999999999999999"), 0);
}
