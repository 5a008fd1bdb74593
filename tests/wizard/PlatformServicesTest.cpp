#include "link/SystemPortFinder.h"
#include "platform/ProcessPriority.h"

#include <gtest/gtest.h>

#include <unistd.h>

using pelora::SystemPortFinder;

TEST(PortDiscovery, PortNumberFollowsTheThreeLetterPrefix)
{
    EXPECT_EQ(SystemPortFinder::InterfacePortNumber(std::string("COM3\0", 5)), 3);
    EXPECT_EQ(SystemPortFinder::InterfacePortNumber("COM12"), 12);
    EXPECT_EQ(SystemPortFinder::InterfacePortNumber("COM255"), 255);
    EXPECT_EQ(SystemPortFinder::InterfacePortNumber("COM0"), 0);
    EXPECT_EQ(SystemPortFinder::InterfacePortNumber("COM256"), 0);
    EXPECT_EQ(SystemPortFinder::InterfacePortNumber("COM"), 0);
    EXPECT_EQ(SystemPortFinder::InterfacePortNumber("COMx"), 0);
    EXPECT_EQ(SystemPortFinder::InterfacePortNumber("COM3x"), 0);
    EXPECT_EQ(SystemPortFinder::InterfacePortNumber(std::string("\0COM3", 5)), 0);
}

TEST(ProcessPriority, HighPriorityIsTakenWhereAllowedAndNormalRestored)
{
    pelora::SystemProcessPriority priority;
    const std::int32_t high = priority.SetProcessPriority(0, 0, pelora::HIGH_PRIORITY_CLASS);
    // Only a privileged process may raise its own priority; others keep theirs.
    EXPECT_EQ(high, geteuid() == 0 ? pelora::HIGH_PRIORITY_CLASS : pelora::NORMAL_PRIORITY_CLASS);
    EXPECT_EQ(priority.SetProcessPriority(0, 0, pelora::NORMAL_PRIORITY_CLASS), pelora::NORMAL_PRIORITY_CLASS);
}
