// The virtual-time harness as product code sees it through the seams.

#include <gtest/gtest.h>

#include <functional>

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

// Port failures while the port is open. A write refused leaves the port open
// and sends nothing; a port gone is closed at its time (a reply due just
// after is lost), refuses writes and cannot be opened until it is back.
TEST(Harness, PortRefusesWritesOrGoesWhileOpen) {
    struct Write { double at; bool reopen; bool open; bool written; };
    struct Row {
        const char* name;
        std::function<void(sim::VirtualHarness&)> arm;
        std::vector<Write> writes;
        std::size_t replies;  // received, of two bytes each
    };
    const Row rows[] = {
        {"next two refused", [](auto& h) { h.RefuseNextWrites(2); },
         {{0.5, false, true, false}, {0.6, false, true, false}, {0.7, false, true, true}}, 1},
        {"refused from 1 s", [](auto& h) { h.RefuseWritesFrom(1.0); },
         {{0.5, false, true, true}, {1.0, false, true, false}, {2.0, false, true, false}}, 1},
        {"gone at 1 s for 2 s", [](auto& h) { h.PortGoneAt(1.0, 2.0); },
         {{0.5, false, true, true}, {0.999, false, true, true}, {1.0, false, false, false},
          {2.9, true, false, false}, {3.0, true, true, true}}, 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        RawLink link;
        auto& h = link.harness;
        row.arm(h);
        for (const Write& w : row.writes) {
            while (h.Now() < w.at) h.Pump().Yield(w.at);
            std::string error;
            EXPECT_TRUE(!w.reopen || h.Port().Open(&error) == w.open) << w.at;
            EXPECT_EQ(h.Port().IsOpen(), w.open) << w.at;
            EXPECT_EQ(h.Port().Write(Bytes{0xBA, 0x00}), w.written) << w.at;
        }
        link.WaitFor(99, 1.0);
        EXPECT_EQ(link.received.size(), 2 * row.replies);
        EXPECT_EQ(h.Writes().size(), h.Frames().size());
    }
}

// A pulled cable ends a wait at once, as the system reports it, and shows
// without a wait too; a reply that came before but was not delivered is lost.
TEST(Harness, PortGoesAtItsTimeWhetherWaitingOrNot) {
    RawLink waiting, sleeping;
    waiting.harness.PortGoneAt(4.0);
    sleeping.harness.PortGoneAt(4.0);
    waiting.harness.Pump().Yield(22.0);
    ASSERT_TRUE(sleeping.harness.Port().Write(Bytes{0xBA, 0x00}));
    sleeping.harness.Clock().Sleep(4.0);
    EXPECT_DOUBLE_EQ(waiting.harness.Now(), 4.0);
    EXPECT_FALSE(waiting.harness.Port().IsOpen());
    EXPECT_FALSE(sleeping.harness.Port().IsOpen());
    EXPECT_TRUE(sleeping.WaitFor(1, 1.0).empty());
}
