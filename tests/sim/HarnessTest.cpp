// The virtual-time harness as product code sees it through the seams.

#include <gtest/gtest.h>

#include "RawLink.h"

using namespace simtest;

// Bytes reach the handler only inside Yield, which stops at the next reply or
// at the deadline, and moves time on even past a deadline. Everything on the
// line is recorded with its time.
TEST(Harness, YieldDeliversDueBytesAndStopsAtTheNextReplyOrTheDeadline) {
    RawLink link;
    auto& h = link.harness;
    h.Port().Write(Bytes{0xBA, 0x00});
    h.Clock().Sleep(1.0);
    h.Port().Write(Bytes{0xBA, 0x00});
    EXPECT_TRUE(link.received.empty());
    h.Pump().Yield(22.0);  // the first reply is overdue: delivered at once
    EXPECT_EQ(link.received, RevisionZero);
    EXPECT_DOUBLE_EQ(h.Now(), 1.0);
    h.Pump().Yield(22.0);
    EXPECT_EQ(link.received, (Bytes{Z, 0, Z, 0}));
    EXPECT_NEAR(h.Now(), 1.002, 1e-12);
    ASSERT_EQ(h.Writes().size(), 2u);
    EXPECT_DOUBLE_EQ(h.Writes()[1].time, 1.0);
    ASSERT_EQ(h.Frames().size(), 2u);
    EXPECT_EQ(h.Frames()[1].bytes, (Bytes{0xBA, 0x00}));
    ASSERT_EQ(h.Replies().size(), 2u);
    EXPECT_NEAR(h.Replies()[1].time, 1.002, 1e-12);
    h.Pump().Yield(22.0);  // a silent device lets time run to the deadline
    EXPECT_DOUBLE_EQ(h.Now(), 22.0);
    h.Pump().Yield(22.0);
    EXPECT_GT(h.Now(), 22.0);
}

TEST(Harness, ScheduledActionsRunInTimeOrderInsideYieldAfterTheIdleHook) {
    sim::VirtualHarness h;
    std::vector<std::pair<double, int>> ran;
    h.SetIdleHook([&] { ran.emplace_back(h.Now(), 0); });
    h.At(5.0, [&] { ran.emplace_back(h.Now(), 2); });
    h.At(3.0, [&] { ran.emplace_back(h.Now(), 1); });
    h.At(5.0, [&] { ran.emplace_back(h.Now(), 3); });
    h.Clock().Sleep(4.0);
    EXPECT_TRUE(ran.empty());
    h.Pump().Yield(10.0);  // overdue: runs at once
    h.Pump().Yield(10.0);
    EXPECT_EQ(ran, (decltype(ran){{4.0, 0}, {4.0, 1}, {4.0, 0}, {5.0, 2}, {5.0, 3}}));
}

TEST(Harness, ActionInsideYieldMayYieldAgain) {
    RawLink link;
    auto& h = link.harness;
    h.At(1.0, [&] {
        h.Port().Write(Bytes{0xBA, 0x00});
        while (link.received.size() < 2 && h.Now() < 3.0) h.Pump().Yield(3.0);
    });
    while (h.Now() < 2.0) h.Pump().Yield(2.0);
    EXPECT_EQ(link.received, RevisionZero);
}

TEST(Harness, OpenFailureIsReportedOnceAndClosedPortRefusesWrites) {
    sim::VirtualHarness h;
    h.SetPortOpenFailure("Permission denied");
    EXPECT_FALSE(h.Port().Write(Bytes{0x84, 0x00}));
    std::string error;
    EXPECT_FALSE(h.Port().Open(&error));
    EXPECT_EQ(error, "Permission denied");
    EXPECT_FALSE(h.Port().IsOpen());
    EXPECT_TRUE(h.Port().Open(&error));
    EXPECT_TRUE(h.Port().IsOpen());
    EXPECT_TRUE(h.Writes().empty());
}

TEST(Harness, ClearInputAndClosingDiscardWhatWasNotDelivered) {
    RawLink link;
    auto& h = link.harness;
    h.Port().Write(Bytes{0xBA, 0x00});
    h.Clock().Sleep(0.1);
    h.Port().ClearInput();
    h.Pump().Yield(1.0);
    EXPECT_TRUE(link.received.empty());

    h.Port().Write(Bytes{0xBA, 0x00});
    h.Port().Close();
    h.Pump().Yield(2.0);
    std::string error;
    EXPECT_TRUE(h.Port().Open(&error));
    h.Pump().Yield(3.0);
    EXPECT_TRUE(link.received.empty());
}
