#include "wizard/StepInstructions.h"

#include <gtest/gtest.h>

using pelora::StepInstructionsText;

TEST(StepInstructions, PageOneLetterForLetter)
{
    const std::string expected =
        "1. Plug the USB interface cable into an USB port on the PC.\r\n\r\n"
        "2. Dive Computer (DC) needs to be in the Watch Main Time Mode.\r\n\r\n"
        "3. Clip the interface cable on the DC data port.\r\n\r\n"
        "4. A PC will appear with a 120 second countdown (you have 2 minutes to initiate the connection PC-DC).\r\n"
        "   a) If the  PC screen does not appear, unclip the interface cable from the DC for 5 second then repeat\r\n"
        "   steps 2, 3, 4.\r\n\r\n"
        ">>> Click on Next button to continue... >>>";
    EXPECT_EQ(StepInstructionsText(1), expected);
    EXPECT_FALSE(pelora::StepShowsIllustration(1));
}

TEST(StepInstructions, PageTwoStartsBelowTheIllustrationAndCountsOnFromFive)
{
    std::string expected;
    for (int i = 0; i < 10; ++i) expected += "\r\n";
    expected +=
        "5. DC is now in Deep Sleep mode. Do not unclip the interface cable from the DC.\r\n\r\n"
        "6. Activate the DC by depressing and holding both the Advance (A) and Select (S) buttons until the PC "
        "screen appears with a 120 second countdown (about 8 seconds).\r\n"
        "   a) If the PC screen does not appear, unclip the interface cable from the DC for 5 seconds, then clip it "
        "\r\n"
        "   back on.\r\n\r\n"
        ">>> Click on Next button to continue...>>>";
    EXPECT_EQ(StepInstructionsText(2), expected);
    EXPECT_TRUE(pelora::StepShowsIllustration(2));
    EXPECT_EQ(StepInstructionsText(2), StepInstructionsText(2));  // rebuilt, not appended
}
