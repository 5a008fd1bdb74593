// The virtual-time harness as product code sees it through the seams.

#include <gtest/gtest.h>

#include "sim/VirtualHarness.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Recorder {
    explicit Recorder(sim::VirtualHarness& h) {
        h.Port().SetDataReceived([this](std::span<const std::uint8_t> chunk) {
            bytes.insert(bytes.end(), chunk.begin(), chunk.end());
        });
    }
    Bytes bytes;
};

bool OpenPort(sim::VirtualHarness& h) {
    std::string error;
    return h.Port().Open(&error);
}

}  // namespace

TEST(Harness, BytesArriveOnlyInsideYield) {
    sim::VirtualHarness h;
    Recorder rec(h);
    ASSERT_TRUE(OpenPort(h));
    h.Port().Write(Bytes{0xBA, 0x00});
    h.Clock().Sleep(1.0);
    EXPECT_TRUE(rec.bytes.empty());
    h.Port().Write(Bytes{0xBA, 0x00});
    EXPECT_TRUE(rec.bytes.empty());
    h.Pump().Yield(h.Clock().Now() + 1.0);  // the first reply is overdue: delivered at once
    EXPECT_EQ(rec.bytes, (Bytes{0x5A, 0}));
    EXPECT_DOUBLE_EQ(h.Now(), 1.0);
    h.Pump().Yield(h.Clock().Now() + 1.0);
    EXPECT_EQ(rec.bytes, (Bytes{0x5A, 0, 0x5A, 0}));
}

TEST(Harness, YieldAdvancesToTheNextReplyNotTheDeadline) {
    sim::VirtualHarness h;
    Recorder rec(h);
    ASSERT_TRUE(OpenPort(h));
    h.Port().Write(Bytes{0xBA, 0x00});
    h.Pump().Yield(22.0);
    EXPECT_EQ(rec.bytes.size(), 2u);
    EXPECT_NEAR(h.Now(), 0.002, 1e-12);
}

TEST(Harness, SilentDeviceLetsTimeRunToTheDeadlineAndAPassedDeadlineStillMovesOn) {
    sim::VirtualHarness h;
    ASSERT_TRUE(OpenPort(h));
    h.Pump().Yield(22.0);
    EXPECT_DOUBLE_EQ(h.Now(), 22.0);
    h.Pump().Yield(22.0);
    EXPECT_GT(h.Now(), 22.0);
}

TEST(Harness, ScheduledActionsRunInTimeOrderInsideYield) {
    sim::VirtualHarness h;
    std::vector<std::pair<double, int>> ran;
    h.At(5.0, [&] { ran.emplace_back(h.Now(), 2); });
    h.At(3.0, [&] { ran.emplace_back(h.Now(), 1); });
    h.At(5.0, [&] { ran.emplace_back(h.Now(), 3); });
    h.Clock().Sleep(4.0);
    EXPECT_TRUE(ran.empty());
    while (h.Now() < 10.0) h.Pump().Yield(10.0);
    ASSERT_EQ(ran.size(), 3u);
    EXPECT_EQ(ran[0], std::make_pair(4.0, 1));  // overdue: runs at the next Yield
    EXPECT_EQ(ran[1], std::make_pair(5.0, 2));
    EXPECT_EQ(ran[2], std::make_pair(5.0, 3));
}

TEST(Harness, IdleHookRunsAtEveryYield) {
    sim::VirtualHarness h;
    int calls = 0;
    h.SetIdleHook([&] { ++calls; });
    h.Pump().Yield(1.0);
    h.Pump().Yield(2.0);
    EXPECT_EQ(calls, 2);
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

TEST(Harness, WritesAndFramesAreRecordedWithTheirTimes) {
    sim::VirtualHarness h;
    ASSERT_TRUE(OpenPort(h));
    h.Clock().Sleep(1.5);
    h.Port().Write(Bytes{0xB4, 0x00});
    h.Port().Write(Bytes{0x00, 0x00});
    h.Pump().Yield(5.0);
    ASSERT_EQ(h.Writes().size(), 2u);
    EXPECT_DOUBLE_EQ(h.Writes()[0].time, 1.5);
    ASSERT_EQ(h.Frames().size(), 1u);
    EXPECT_EQ(h.Frames()[0].bytes, (Bytes{0xB4, 0x00, 0x00, 0x00}));
    ASSERT_EQ(h.Replies().size(), 1u);
    EXPECT_EQ(h.Replies()[0].bytes.size(), 129u);
}

TEST(Harness, ClearInputAndClosingDiscardWhatWasNotDelivered) {
    sim::VirtualHarness h;
    Recorder rec(h);
    ASSERT_TRUE(OpenPort(h));
    h.Port().Write(Bytes{0xBA, 0x00});
    h.Clock().Sleep(0.1);
    h.Port().ClearInput();
    h.Pump().Yield(1.0);
    EXPECT_TRUE(rec.bytes.empty());

    h.Port().Write(Bytes{0xBA, 0x00});
    h.Port().Close();
    h.Pump().Yield(2.0);
    EXPECT_TRUE(OpenPort(h));
    h.Pump().Yield(3.0);
    EXPECT_TRUE(rec.bytes.empty());
}

TEST(Harness, ActionInsideYieldMayYieldAgain) {
    sim::VirtualHarness h;
    Recorder rec(h);
    ASSERT_TRUE(OpenPort(h));
    h.At(1.0, [&] {
        h.Port().Write(Bytes{0xBA, 0x00});
        while (rec.bytes.size() < 2 && h.Now() < 3.0) h.Pump().Yield(3.0);
    });
    while (h.Now() < 2.0) h.Pump().Yield(2.0);
    EXPECT_EQ(rec.bytes, (Bytes{0x5A, 0}));
}

TEST(Harness, WakeDeviceEndsDeepSleep) {
    sim::VirtualHarness h;
    ASSERT_TRUE(OpenPort(h));
    h.Port().Write(Bytes{0xA8, 0x55, 0x00});
    h.Pump().Yield(1.0);
    EXPECT_EQ(h.Dev().CurrentMode(), sim::Mode::DeepSleep);
    h.At(30.0, [&] { h.WakeDevice(); });
    while (h.Now() < 30.0) h.Pump().Yield(40.0);
    EXPECT_EQ(h.Dev().CurrentMode(), sim::Mode::PcMode);
    EXPECT_DOUBLE_EQ(h.Now(), 30.0);
}
