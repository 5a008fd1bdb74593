// The device's answers to raw request frames.

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "RawLink.h"

using simtest::Bytes;
using simtest::RawLink;

namespace {

constexpr std::uint8_t Z = 0x5A;
constexpr std::uint8_t Nak = 0xA5;

std::vector<std::string> Fields(const std::string& text) {
    std::vector<std::string> fields;
    std::string field;
    std::istringstream in(text);
    while (std::getline(in, field, ' ')) fields.push_back(field);
    if (!text.empty() && text.back() == ' ') fields.push_back("");
    return fields;
}

std::string IdFrom(const Bytes& reply) { return std::string(reply.begin() + 1, reply.begin() + 17); }

}  // namespace

// --- identification and control commands

TEST(DeviceIdentification, DefaultReplyIsZTextAndOneMoreByte) {
    RawLink link;
    const Bytes reply = link.Exchange({0x84}, 18);
    ASSERT_EQ(reply.size(), 18u);
    EXPECT_EQ(reply[0], Z);
    EXPECT_EQ(IdFrom(reply), "PELORA 1D-V1B H2");
}

TEST(DeviceIdentification, AnyModelKeyGivesThreeFieldsWithTheVersionEndingTheSecond) {
    for (const std::string key : {"P", "PEL", "PELORA", "PELORA7", "PELORAXYZ", "AVERYLONGMODELKEY"}) {
        sim::DeviceConfig config;
        config.modelKey = key;
        config.codeVersion = "2F";
        RawLink link(config);
        const std::string text = IdFrom(link.Exchange({0x84}, 18));
        SCOPED_TRACE(key + " -> '" + text + "'");
        ASSERT_EQ(text.size(), 16u);
        const auto fields = Fields(text);
        ASSERT_EQ(fields.size(), 3u);
        EXPECT_NE(text.back(), ' ');
        EXPECT_EQ(fields[1].substr(fields[1].size() - 2), "2F");
        if (key.size() <= 10) {
            EXPECT_EQ(fields[0], key);
        }
    }
}

TEST(DeviceIdentification, VerbatimTextIsPaddedToSixteenAndIgnoresTheVersion) {
    sim::DeviceConfig config;
    config.idText = "OTHER 9 Z";
    RawLink link(config);
    EXPECT_EQ(IdFrom(link.Exchange({0x84}, 18)), "OTHER 9 Z       ");
}

TEST(DeviceControl, RevisionReplyCarriesTheRevisionByte) {
    sim::DeviceConfig config;
    config.revision = 7;
    RawLink link(config);
    EXPECT_EQ(link.Exchange({0xBA}, 2), (Bytes{Z, 7}));
}

TEST(DeviceControl, SleepModeCommands) {
    RawLink link;
    EXPECT_EQ(link.Exchange({0xA8, 0x99}), Bytes{Z});
    EXPECT_EQ(link.Exchange({0x84}, 18).size(), 18u);  // 0x99 does not put it to sleep
    EXPECT_EQ(link.Exchange({0xA8, 0x12}), Bytes{Nak});
    EXPECT_EQ(link.Exchange({0xA8, 0x55}), Bytes{Z});
    EXPECT_EQ(link.harness.Dev().CurrentMode(), sim::Mode::DeepSleep);
    EXPECT_TRUE(link.Exchange({0x84}, 18, 30.0).empty());
    link.harness.WakeDevice();
    EXPECT_EQ(link.Exchange({0x84}, 18).size(), 18u);
}

TEST(DeviceControl, AutoWakeLeavesDeepSleepAfterItsTime) {
    sim::DeviceConfig config;
    config.autoWakeSeconds = 10.0;
    RawLink link(config);
    ASSERT_EQ(link.Exchange({0xA8, 0x55}), Bytes{Z});
    const double asleep = link.harness.Now();
    link.harness.At(asleep + 9.9, [&] { link.harness.Port().Write(Bytes{0x84, 0x00}); });
    link.harness.At(asleep + 10.1, [&] { link.harness.Port().Write(Bytes{0xBA, 0x00}); });
    link.received.clear();
    link.WaitFor(2, 20.0);
    EXPECT_EQ(link.received, (Bytes{Z, 0}));  // only the request after the wake-up is answered
}

TEST(DeviceClock, RecordWithGoodCheckSetsTheClock) {
    RawLink link;
    ASSERT_EQ(link.Exchange({0x97}), Bytes{Z});
    EXPECT_EQ(link.Exchange({0x26, 0x31, 0x12, 0x09, 0x05, 0x81, 0xE9, 0x00, 0xE1}), Bytes{Z});
    const auto clock = link.harness.Dev().Clock();
    ASSERT_TRUE(clock.has_value());
    EXPECT_EQ(clock->year, 26);
    EXPECT_EQ(clock->day, 31);
    EXPECT_EQ(clock->month, 12);
    EXPECT_EQ(clock->hour, 13);
    EXPECT_EQ(clock->minute, 5);
    EXPECT_EQ(clock->second, 9);
    EXPECT_EQ(clock->flag, 0xE9);
}

TEST(DeviceClock, NoonMidnightAndEveningHours) {
    const std::pair<std::uint8_t, int> hours[] = {{0x92, 12}, {0x00, 0}, {0x11, 11}, {0x91, 23}};
    for (const auto& [hourByte, hour] : hours) {
        RawLink link;
        Bytes record{0x26, 0x01, 0x02, 0x00, 0x00, hourByte, 0xE9, 0x00};
        record.push_back(sim::ByteSum(record.data(), 8));
        ASSERT_EQ(link.Exchange({0x97}), Bytes{Z});
        ASSERT_EQ(link.Exchange(record), Bytes{Z});
        ASSERT_TRUE(link.harness.Dev().Clock().has_value());
        EXPECT_EQ(link.harness.Dev().Clock()->hour, hour);
    }
}

TEST(DeviceClock, BadCheckByteIsRejectedAndLeavesTheClock) {
    RawLink link;
    ASSERT_EQ(link.Exchange({0x97}), Bytes{Z});
    EXPECT_EQ(link.Exchange({0x26, 0x31, 0x12, 0x09, 0x05, 0x81, 0xE9, 0x00, 0xE2}), Bytes{Nak});
    EXPECT_FALSE(link.harness.Dev().Clock().has_value());
}

TEST(DeviceClock, NonsenseFieldsAreAcknowledgedButNotTaken) {
    RawLink link;
    Bytes record{0x26, 0x45, 0x13, 0x09, 0x05, 0x81, 0xE9, 0x00};  // day 45, month 13
    record.push_back(sim::ByteSum(record.data(), 8));
    ASSERT_EQ(link.Exchange({0x97}), Bytes{Z});
    EXPECT_EQ(link.Exchange(record), Bytes{Z});
    EXPECT_FALSE(link.harness.Dev().Clock().has_value());
}

// --- memory reads and the address map

TEST(DeviceMemory, BlockReadReturnsTheBytesAtThatUnit) {
    RawLink link;
    const auto& memory = link.harness.Dev().Memory();
    const Bytes reply = link.Exchange({0xB4, 0x00, 0x10}, 129);
    ASSERT_EQ(reply.size(), 129u);
    EXPECT_EQ(reply[0], Z);
    EXPECT_TRUE(std::equal(reply.begin() + 1, reply.end(), memory.begin() + 256));
}

TEST(DeviceMemory, ReadsBeyondDataMemoryAreRejected) {
    RawLink link;  // 512 blocks: units 0..4095
    EXPECT_EQ(link.Exchange({0xB4, 0x0F, 0xF8}, 129).size(), 129u);  // unit 4088, the last block
    EXPECT_EQ(link.Exchange({0xB4, 0x0F, 0xF9}, 129), Bytes{Nak});  // would run past the end
    EXPECT_EQ(link.Exchange({0xB4, 0x10, 0x00}, 129), Bytes{Nak});
    EXPECT_EQ(link.Exchange({0xB4, 0x80, 0x00}, 129), Bytes{Nak});
}

TEST(DeviceMemory, ProfileBlockIsWrittenAtOnceSixteenUnitsUp) {
    RawLink link;
    const Bytes block = RawLink::Block(3);
    EXPECT_EQ(link.WriteBlock(0xB5, 8, block), Bytes{Z});
    const auto& memory = link.harness.Dev().Memory();
    EXPECT_TRUE(std::equal(block.begin(), block.begin() + 128, memory.begin() + (8 + 16) * 16));
    EXPECT_TRUE(link.harness.Dev().HeldCode(1).empty());
}

TEST(DeviceMemory, ProfileBlockWithWrongSumIsRejectedAndNotWritten) {
    RawLink link;
    const auto before = link.harness.Dev().Memory();
    Bytes block = RawLink::Block(3);
    block[128] ^= 0x01;
    EXPECT_EQ(link.WriteBlock(0xB5, 0, block), Bytes{Nak});
    EXPECT_EQ(link.harness.Dev().Memory(), before);
}

TEST(DeviceMemory, LastProfileBlockFitsAndOneThatWouldOverrunIsRejected) {
    RawLink link;  // data units 0..4095
    EXPECT_EQ(link.Exchange({0xB5, RawLink::Hi(4096 - 16 - 8), RawLink::Lo(4096 - 16 - 8)}), Bytes{Z});
    EXPECT_EQ(link.Exchange(RawLink::Block(1)), Bytes{Z});
    EXPECT_EQ(link.Exchange({0xB5, RawLink::Hi(4096 - 16 - 4), RawLink::Lo(4096 - 16 - 4)}), Bytes{Nak});
}

TEST(DeviceMemory, B5AboveDataMemoryIsHeldAsRegionOneCode) {
    RawLink link;
    const auto before = link.harness.Dev().Memory();
    EXPECT_EQ(link.WriteBlock(0xB5, 4096 - 16, RawLink::Block(9, 0x33)), Bytes{Z});
    EXPECT_EQ(link.harness.Dev().Memory(), before);
    ASSERT_EQ(link.harness.Dev().HeldCode(1).size(), 1u);
    EXPECT_EQ(link.harness.Dev().HeldCode(1).begin()->first, 4096 - 16);
}

TEST(DeviceMemory, B7HeaderInDataMemoryIsRejected) {
    RawLink link;
    EXPECT_EQ(link.Exchange({0xB7, 0x0F, 0xFF}), Bytes{Nak});
    EXPECT_EQ(link.WriteBlock(0xB7, 4096, RawLink::Block(1, 0x10)), Bytes{Z});
    EXPECT_EQ(link.harness.Dev().HeldCode(2).size(), 1u);
}

TEST(DeviceMemory, AddressMapFollowsTheMemorySize) {
    sim::DeviceConfig config;
    config.memorySize = 1024;
    RawLink link(config);
    EXPECT_EQ(link.Exchange({0xB4, 0x1F, 0xF8}, 129).size(), 129u);  // unit 8184
    EXPECT_EQ(link.Exchange({0xB7, 0x10, 0x00}), Bytes{Nak});        // unit 4096 is data here
    EXPECT_EQ(link.WriteBlock(0xB5, 4096, RawLink::Block(2)), Bytes{Z});
    EXPECT_TRUE(link.harness.Dev().HeldCode(1).empty());             // it was profile data
}

TEST(DeviceRecord, RecordWithGoodSumIsWrittenAtItsUnit) {
    RawLink link;
    Bytes record(16);
    for (int i = 0; i < 16; ++i) record[i] = static_cast<std::uint8_t>(0x40 + i);
    record.push_back(sim::ByteSum(record.data(), 16));
    ASSERT_EQ(link.Exchange({0xB2, 0x00, 0x04}), Bytes{Z});
    EXPECT_EQ(link.Exchange(record), Bytes{Z});
    const auto& memory = link.harness.Dev().Memory();
    EXPECT_TRUE(std::equal(record.begin(), record.begin() + 16, memory.begin() + 64));
}

TEST(DeviceRecord, BadSumAndHeaderOutsideDataMemoryAreRejected) {
    RawLink link;
    const auto before = link.harness.Dev().Memory();
    Bytes record(16, 0x11);
    record.push_back(0x00);
    ASSERT_EQ(link.Exchange({0xB2, 0x00, 0x04}), Bytes{Z});
    EXPECT_EQ(link.Exchange(record), Bytes{Nak});
    EXPECT_EQ(link.Exchange({0xB2, 0x10, 0x00}), Bytes{Nak});
    EXPECT_EQ(link.harness.Dev().Memory(), before);
}

// --- code regions and the restart

TEST(DeviceCode, RegionIsCommittedOnlyOnTheSumOfHeldCheckBytes) {
    RawLink link;
    ASSERT_EQ(link.WriteBlock(0xB5, 0x2008, RawLink::Block(1, 0x90)), Bytes{Z});
    ASSERT_EQ(link.WriteBlock(0xB5, 0x2000, RawLink::CodeBlock("1C", 3, 0x80)), Bytes{Z});
    // The first block again, after a lost acknowledgement: replaced, not counted twice.
    ASSERT_EQ(link.WriteBlock(0xB5, 0x2008, RawLink::Block(1, 0x90)), Bytes{Z});

    EXPECT_EQ(link.Exchange({0xB6, 0x01, 0x90}), Bytes{Nak});  // 0x80 + 0x90 + 0x90
    EXPECT_TRUE(link.harness.Dev().CommittedCode(1).empty());
    EXPECT_EQ(link.harness.Dev().CodeVersion(), "1B");

    EXPECT_EQ(link.Exchange({0xB6, 0x01, 0x10}), Bytes{Z});
    EXPECT_EQ(link.harness.Dev().CommittedCode(1).size(), 2u);
    EXPECT_EQ(link.harness.Dev().CurrentMode(), sim::Mode::Restarting);
}

TEST(DeviceCode, RestartIsSilentForItsTimeThenShowsTheUploadedVersion) {
    sim::DeviceConfig config;
    config.restartSeconds = 5.0;
    RawLink link(config);
    ASSERT_EQ(link.WriteBlock(0xB5, 0x2000, RawLink::CodeBlock("1C", 3, 0x42)), Bytes{Z});
    ASSERT_EQ(link.Exchange({0xB6, 0x00, 0x42}), Bytes{Z});
    const double restartBegan = link.harness.Replies().back().time;

    link.harness.At(restartBegan + 4.99, [&] { link.harness.Port().Write(Bytes{0x84, 0x00}); });
    link.harness.At(restartBegan + 5.01, [&] { link.harness.Port().Write(Bytes{0xBA, 0x00}); });
    link.received.clear();
    link.WaitFor(2, 10.0);
    EXPECT_EQ(link.received, (Bytes{Z, 3}));
    EXPECT_EQ(IdFrom(link.Exchange({0x84}, 18)), "PELORA 1D-V1C H2");
    EXPECT_TRUE(link.harness.Dev().HeldCode(1).empty());
}

TEST(DeviceCode, RegionTwoTakesItsWordAndClosesWithB9) {
    RawLink link;
    ASSERT_EQ(link.WriteBlock(0xB7, 0x4008, RawLink::Block(5, 0x01)), Bytes{Z});
    ASSERT_EQ(link.WriteBlock(0xB7, 0x4000, RawLink::CodeBlock("2A", 9, 0x02)), Bytes{Z});
    EXPECT_EQ(link.Exchange({0xB8, 0x12, 0x34}), Bytes{Z});
    EXPECT_EQ(link.harness.Dev().Code2Word(), 0x1234);
    EXPECT_EQ(link.Exchange({0xB9, 0x00, 0x04}), Bytes{Nak});
    EXPECT_EQ(link.Exchange({0xB9, 0x00, 0x03}), Bytes{Z});
    EXPECT_EQ(link.harness.Dev().CodeVersion(), "2A");
    EXPECT_EQ(link.harness.Dev().Revision(), 9);
    EXPECT_EQ(link.harness.Dev().CommittedCode(2).size(), 2u);
}

TEST(DeviceCode, EmptyRegionClosesWithZero) {
    RawLink link;
    EXPECT_EQ(link.Exchange({0xB6, 0x00, 0x01}), Bytes{Nak});
    EXPECT_EQ(link.Exchange({0xB6, 0x00, 0x00}), Bytes{Z});
    EXPECT_EQ(link.harness.Dev().CodeVersion(), "1B");
    EXPECT_EQ(link.harness.Dev().Restarts(), 1);
}

// --- framing

TEST(DeviceFraming, WrongTrailingByteGetsNoReplyAndTheNextFrameIsServed) {
    RawLink link;
    link.harness.Port().Write(Bytes{0xBA, 0x01});
    EXPECT_TRUE(link.WaitFor(1, 1.0).empty());
    EXPECT_EQ(link.Exchange({0xBA}, 2), (Bytes{Z, 0}));
    EXPECT_EQ(link.harness.Frames().size(), 1u);
}

TEST(DeviceFraming, ResynchronisesInsideARejectedFrame) {
    RawLink link;
    link.harness.Port().Write(Bytes{0xBA, 0x84, 0x00});  // not a 0xBA frame, but 0x84 0x00 is one
    EXPECT_EQ(link.WaitFor(18, 1.0).size(), 18u);
    ASSERT_EQ(link.harness.Frames().size(), 1u);
    EXPECT_EQ(link.harness.Frames()[0].bytes, (Bytes{0x84, 0x00}));
}

TEST(DeviceFraming, UnknownCommandsAndStrayBytesAreSkipped) {
    RawLink link;
    link.harness.Port().Write(Bytes{0x00, 0x13, 0xFF, 0x00});
    EXPECT_TRUE(link.WaitFor(1, 1.0).empty());
    EXPECT_EQ(link.Exchange({0xBA}, 2), (Bytes{Z, 0}));
}

TEST(DeviceFraming, FrameSplitOverManyWritesIsAnsweredOnceWhole) {
    RawLink link;
    link.harness.Port().Write(Bytes{0xB4});
    link.harness.Port().Write(Bytes{0x00});
    EXPECT_TRUE(link.WaitFor(1, 0.01).empty());
    link.harness.Port().Write(Bytes{0x10, 0x00});
    EXPECT_EQ(link.WaitFor(129, 1.0).size(), 129u);
    EXPECT_EQ(link.harness.Frames().size(), 1u);
}

TEST(DeviceFraming, HalfAFrameLeftLongerThanTheFrameTimeoutIsForgotten) {
    RawLink link;
    link.harness.Port().Write(Bytes{0xB4, 0x00});
    link.harness.Clock().Sleep(0.5);
    EXPECT_EQ(link.Exchange({0xBA}, 2), (Bytes{Z, 0}));
}

TEST(DeviceFraming, DataThatNeverFollowsItsHeaderIsNotExpectedForEver) {
    RawLink link;
    ASSERT_EQ(link.Exchange({0xB5, 0x00, 0x00}), Bytes{Z});
    link.harness.Clock().Sleep(0.5);
    EXPECT_EQ(link.Exchange({0xBA}, 2), (Bytes{Z, 0}));
}

TEST(DeviceFraming, WireTimingSpendsTenBitsPerByteEachWay) {
    RawLink link;
    link.harness.SetWireTiming(true);
    const double sent = link.harness.Now();
    ASSERT_EQ(link.Exchange({0x84}, 18).size(), 18u);
    const double expected = sent + 2 * sim::Device::ByteSeconds + 0.002 + 18 * sim::Device::ByteSeconds;
    EXPECT_NEAR(link.harness.Replies().back().time, expected, 1e-9);
}
