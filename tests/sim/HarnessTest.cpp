// The virtual-time harness as product code sees it through the seams.

#include <gtest/gtest.h>

#include <functional>

#include "RawLink.h"

using namespace simtest;

// Bytes reach the handler only inside Yield, which stops at the next reply or
// at the deadline, and moves time on even past a deadline.
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
    ASSERT_EQ(h.Writes().size() + h.Frames().size() + h.Replies().size(), 6u);
    EXPECT_NEAR(h.Replies()[1].time - h.Writes()[1].time, 0.002, 1e-12);
    h.Pump().Yield(22.0);  // a silent device lets time run to the deadline
    EXPECT_DOUBLE_EQ(h.Now(), 22.0);
    h.Pump().Yield(22.0);
    EXPECT_GT(h.Now(), 22.0);
}

// Overdue actions run at once; at one time, in the order given. An action
// may itself yield until its reply has come.
TEST(Harness, ScheduledActionsRunInTimeOrderInsideYieldAfterTheIdleHook) {
    RawLink link;
    auto& h = link.harness;
    std::vector<std::pair<double, int>> ran;
    h.SetIdleHook([&] { ran.emplace_back(h.Now(), 0); });
    h.At(5.0, [&] { ran.emplace_back(h.Now(), 2); });
    h.At(3.0, [&] { ran.emplace_back(h.Now(), 1); });
    h.At(5.0, [&] { ran.emplace_back(h.Now(), 3); });
    h.Clock().Sleep(4.0);
    EXPECT_TRUE(ran.empty());
    h.Pump().Yield(10.0);
    h.Pump().Yield(10.0);
    EXPECT_EQ(ran, (decltype(ran){{4.0, 0}, {4.0, 1}, {4.0, 0}, {5.0, 2}, {5.0, 3}}));
    h.At(6.0, [&] {
        h.Port().Write(Bytes{0xBA, 0x00});
        while (link.received.size() < 2 && h.Now() < 8.0) h.Pump().Yield(8.0);
    });
    while (h.Now() < 7.0) h.Pump().Yield(7.0);
    EXPECT_EQ(link.received, RevisionZero);
}

// An open failure is reported once; a closed port refuses writes. What came
// but was not delivered is gone after ClearInput() or Close(), and what
// arrives while the port is closed is lost.
TEST(Harness, OpenFailureClearInputAndClosing) {
    sim::VirtualHarness h;
    h.SetPortOpenFailure("Permission denied");
    EXPECT_FALSE(h.Port().Write(Bytes{0x84, 0x00}));
    std::string error;
    EXPECT_FALSE(h.Port().Open(&error) || h.Port().IsOpen());
    EXPECT_EQ(error, "Permission denied");
    EXPECT_TRUE(h.Port().Open(&error) && h.Port().IsOpen());
    EXPECT_TRUE(h.Writes().empty());

    const std::pair<bool, double> cases[] = {{false, 0.1}, {true, 0.1}, {true, 0.0}};  // close?, pause
    for (const auto& [close, pause] : cases) {
        RawLink link;
        link.harness.Port().Write(Bytes{0xBA, 0x00});
        link.harness.Clock().Sleep(pause);
        close ? link.harness.Port().Close() : link.harness.Port().ClearInput();
        link.harness.Pump().Yield(1.0);
        EXPECT_TRUE(!close || link.harness.Port().Open(&error));
        EXPECT_TRUE(link.WaitFor(1, 1.0).empty()) << close << " " << pause;
    }
}

// Port failures while the port is open. A write refused leaves the port open
// and sends nothing; a port gone is closed at its time (what came but was not
// delivered is lost), refuses writes and cannot be opened until it is back.
// A pulled cable also ends a wait at once, as the system reports it.
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
          {2.9, true, false, false}, {3.0, true, true, true}}, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        RawLink link;
        auto& h = link.harness;
        row.arm(h);
        for (const Write& w : row.writes) {
            h.Clock().Sleep(w.at - h.Now());  // replies come, but are not delivered
            std::string error;
            EXPECT_TRUE(!w.reopen || h.Port().Open(&error) == w.open) << w.at;
            EXPECT_EQ(h.Port().IsOpen(), w.open) << w.at;
            EXPECT_EQ(h.Port().Write(Bytes{0xBA, 0x00}), w.written) << w.at;
        }
        link.WaitFor(99, 1.0);
        EXPECT_EQ(link.received.size(), 2 * row.replies);
        EXPECT_EQ(h.Writes().size(), h.Frames().size());
    }
    RawLink waiting;
    waiting.harness.PortGoneAt(4.0);
    waiting.harness.Pump().Yield(22.0);
    EXPECT_TRUE(waiting.harness.Now() == 4.0 && !waiting.harness.Port().IsOpen()) << waiting.harness.Now();
}

// The cable's chip: 62 bytes go as soon as they are in, a shorter rest on the
// next beat of its latency timer, which beats on from its last packet while
// idle too. Each row: packets as the program receives them (size, time).
TEST(Harness, TheCablesChipPassesPacketsOf62AndHoldsTheRestForItsTimer) {
    const double b = sim::Device::ByteSeconds, fill = 0.002 + 115 * b;  // the read's 111th reply byte
    const Bytes read{0xB4, 0x00, 0x10}, id = RawLink::IdReply("PELORA 1D-V1B H2");
    const Bytes block = ReadReply(sim::BuildMemory(512, 4711, 40).begin() + 256);
    using Packets = std::vector<std::pair<std::size_t, double>>;  // size, time
    struct Row { double timer; bool wire; double at; Bytes request; Packets packets; };
    const Row rows[] = {
        {0.0, false, 0.101, read, {{129, 0.103}}},
        {0.016, false, 0.101, Id, {{18, 0.112}}},
        {0.016, false, 0.101, read, {{62, 0.103}, {62, 0.103}, {5, 0.119}}},
        {0.016, true, 0.0, read, {{49, 0.016}, {62, fill}, {18, fill + 0.016}}},
        {0.001, true, 0.101, Id, {{1, 0.104}, {4, 0.105}, {4, 0.106}, {4, 0.107}, {4, 0.108}, {1, 0.109}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.timer << (row.wire ? " on the wire " : " ") << int(row.request[0]));
        sim::DeviceConfig config;
        config.latencyTimer = row.timer;
        config.wireTiming = row.wire;
        sim::VirtualHarness h(config);
        Packets seen;
        Bytes received;
        h.Port().SetDataReceived([&](std::span<const std::uint8_t> chunk) {
            seen.emplace_back(chunk.size(), h.Now());
            received.insert(received.end(), chunk.begin(), chunk.end());
        });
        std::string error;
        h.Port().Open(&error);
        h.Clock().Sleep(row.at);
        h.Port().Write(Cat(row.request, {0x00}));
        while (h.Now() < 0.2) h.Pump().Yield(0.2);
        EXPECT_EQ(received, row.request == Id ? id : block);
        ASSERT_EQ(seen.size(), row.packets.size());
        for (std::size_t i = 0; i < seen.size(); ++i) {
            EXPECT_EQ(seen[i].first, row.packets[i].first) << i;
            EXPECT_NEAR(seen[i].second, row.packets[i].second, 1e-9) << i;
        }
    }
}
