// The device's answers to raw request frames.

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <tuple>

#include "RawLink.h"

using namespace simtest;

namespace {

sim::DeviceConfig WithMemorySize(int blocks) {
    sim::DeviceConfig config;
    config.memorySize = blocks;
    return config;
}

}  // namespace

// --- identification and control commands

// The model key, " 1D-V", the version and " H2", brought to sixteen by the
// last field; a key too long for that still gives three fields with the
// version ending the second, which is what the program reads.
TEST(DeviceIdentification, TextFollowsTheModelKeyAndTheVersion) {
    const std::pair<std::string, std::string> cases[] = {
        {"PELORA", "PELORA 1D-V2F H2"}, {"P", "P 1D-V2F H200000"}, {"PEL", "PEL 1D-V2F H2000"},
        {"PELORA7", "PELORA7 1D-V2F H"}, {"PELORAXYZ", ""}, {"AVERYLONGMODELKEY", ""}};
    for (const auto& [key, exact] : cases) {
        sim::DeviceConfig config;
        config.modelKey = key;
        config.codeVersion = "2F";
        const std::string text = RawLink(config).IdText();
        EXPECT_TRUE(std::regex_match(text, std::regex("[^ ]+ [^ ]*2F [^ ]+")) && text.size() == 16) << text;
        EXPECT_TRUE(exact.empty() || text == exact) << text;
    }
    EXPECT_EQ(RawLink().IdText(), "PELORA 1D-V1B H2");
}

TEST(DeviceIdentification, VerbatimTextIsPaddedAndRevisionReplyCarriesTheRevision) {
    sim::DeviceConfig config;
    config.idText = "OTHER 9 Z";
    config.revision = 7;
    RawLink link(config);
    EXPECT_EQ(link.IdText(), "OTHER 9 Z       ");
    EXPECT_EQ(link.Exchange({0xBA}, 2), (Bytes{Z, 7}));
}

// Deep Sleep is silent until the harness wakes the device, or until its own timer does.
TEST(DeviceControl, SleepModeCommandsAndWakingUp) {
    for (const double autoWake : {0.0, 10.0}) {
        SCOPED_TRACE(autoWake);
        sim::DeviceConfig config;
        config.autoWakeSeconds = autoWake;
        RawLink link(config);
        EXPECT_EQ(link.Exchange({0xA8, 0x99}), Bytes{Z});
        EXPECT_EQ(link.IdText(), "PELORA 1D-V1B H2");  // 0x99 does not put it to sleep
        EXPECT_EQ(link.Exchange({0xA8, 0x12}), Bytes{Nak});
        ASSERT_EQ(link.Exchange({0xA8, 0x55}), Bytes{Z});
        EXPECT_EQ(link.harness.Dev().CurrentMode(), sim::Mode::DeepSleep);
        const double wake = link.harness.Now() + (autoWake > 0 ? autoWake : 30.0);
        if (autoWake == 0) link.harness.At(wake, [&] { link.harness.WakeDevice(); });
        EXPECT_EQ(link.AskAround(wake, 0.1), RevisionZero);  // only the request after the wake-up
    }
}

// A clock record is acknowledged when its check byte is right, and taken only
// when its fields make sense; the hour byte is BCD with 0x80 for the afternoon.
TEST(DeviceClock, RecordIsTakenOnGoodCheckAndSaneFields) {
    struct Case { std::uint8_t day, month, hourByte, checkError, reply; int hour; };  // hour -1: not taken
    const Case cases[] = {{0x31, 0x12, 0x81, 0, Z, 13}, {0x31, 0x12, 0x92, 0, Z, 12},
                          {0x31, 0x12, 0x00, 0, Z, 0},  {0x31, 0x12, 0x11, 0, Z, 11},
                          {0x31, 0x12, 0x91, 0, Z, 23}, {0x31, 0x12, 0x81, 1, Nak, -1},
                          {0x45, 0x13, 0x81, 0, Z, -1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "hour byte " << int(c.hourByte) << " day " << int(c.day));
        RawLink link;
        Bytes record{0x26, c.day, c.month, 0x09, 0x05, c.hourByte, 0xE9, 0x00};
        record.push_back(static_cast<std::uint8_t>(sim::ByteSum(record.data(), 8) + c.checkError));
        ASSERT_EQ(link.Exchange({0x97}), Bytes{Z});
        EXPECT_EQ(link.Exchange(record), Bytes{c.reply});
        const auto clock = link.harness.Dev().Clock();
        ASSERT_EQ(clock.has_value(), c.hour >= 0);
        if (!clock) continue;
        const auto& t = *clock;
        EXPECT_EQ(std::tie(t.year, t.day, t.month, t.hour, t.minute, t.second, t.flag),
                  std::make_tuple(26, 31, 12, c.hour, 5, 9, 0xE9));
    }
}

// --- memory, the address map and the code regions

// Reads come from data memory; records and profile blocks (sixteen units up)
// are written at once when their check byte is right; code is held by its
// region; anything else is refused.
TEST(DeviceMemory, AddressMapAndCheckBytesDecideWhereEachBlockGoes) {
    enum class Goes { Refused, BadCheck, Memory, Region1, Region2 };
    struct Case { int memorySize; std::uint8_t command; int unit; Goes goes; std::size_t byteAddress; };
    const Case cases[] = {
        {512, 0xB4, 16, Goes::Memory, 256},          {512, 0xB4, 4088, Goes::Memory, 4088 * 16},
        {512, 0xB4, 4089, Goes::Refused, 0},         {512, 0xB4, 4096, Goes::Refused, 0},
        {512, 0xB4, 0x8000, Goes::Refused, 0},       {1024, 0xB4, 8184, Goes::Memory, 8184 * 16},
        {512, 0xB2, 4, Goes::Memory, 4 * 16},        {512, 0xB2, 4095, Goes::Memory, 4095 * 16},
        {512, 0xB2, 4096, Goes::Refused, 0},         {512, 0xB2, 4, Goes::BadCheck, 0},
        {512, 0xB5, 8, Goes::Memory, 24 * 16},       {512, 0xB5, 8, Goes::BadCheck, 0},
        {512, 0xB5, 4072, Goes::Memory, 4088 * 16},  {512, 0xB5, 4076, Goes::Refused, 0},  // would overrun
        {512, 0xB5, 4080, Goes::Region1, 0},         {1024, 0xB5, 4096, Goes::Memory, 4112 * 16},
        {512, 0xB7, 4095, Goes::Refused, 0},         {512, 0xB7, 4096, Goes::Region2, 0},
        {1024, 0xB7, 4096, Goes::Refused, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.memorySize << " blocks, " << std::hex << int(c.command) << " "
                                        << c.unit << " goes " << int(c.goes));
        RawLink link(WithMemorySize(c.memorySize));
        const Bytes header = RawLink::Header(c.command, c.unit);
        if (c.goes == Goes::Refused) {
            EXPECT_EQ(link.Exchange(header), Bytes{Nak});
        } else if (c.command == 0xB4) {
            const Bytes reply = link.Exchange(header, 129);
            ASSERT_EQ(reply.size(), 129u);
            EXPECT_EQ(reply[0], Z);
            EXPECT_TRUE(link.MemoryHolds(Bytes(reply.begin() + 1, reply.end()), c.byteAddress));
        } else {
            const auto before = link.harness.Dev().Memory();
            Bytes data = RawLink::Block(3);
            if (c.command == 0xB2) {
                data.resize(16);
                data.push_back(sim::ByteSum(data.data(), 16));
            }
            if (c.goes == Goes::BadCheck) data.back() ^= 0x01;
            ASSERT_EQ(link.WriteBlock(c.command, c.unit, data), Bytes{c.goes == Goes::BadCheck ? Nak : Z});
            const auto& held = link.harness.Dev().HeldCode(c.goes == Goes::Region2 ? 2 : 1);
            if (c.goes == Goes::Memory) {
                EXPECT_TRUE(link.MemoryHolds(data, c.byteAddress, data.size() - 1));
            } else {
                EXPECT_EQ(link.harness.Dev().Memory(), before);
            }
            ASSERT_EQ(held.size(), c.goes == Goes::Region1 || c.goes == Goes::Region2 ? 1u : 0u);
            EXPECT_TRUE(held.empty() || held.begin()->first == c.unit);
        }
    }
}

// A region is committed only when the sum of its held blocks' check bytes is
// sent; the device then restarts, silent for that region's time, with the
// uploaded code and, unless told to keep it, an empty logbook and no clock.
TEST(DeviceCode, RegionIsCommittedOnlyOnTheRightSumThenTheDeviceRestarts) {
    struct Case {
        std::uint8_t header, close, codeCheck, otherCheck;  // no blocks when both are 0
        int wrongSum;
        const char* version;
        std::uint8_t revision;
        int memorySize;
        bool keepMemory;
        Bytes emptyPointer;  // unit 16 as the memory size encodes it
    };
    const Case cases[] = {
        {0xB5, 0xB6, 0x80, 0x90, 0x190, "1C", 3, 512, false, {0x00, 0x01}},   // wrong: the resent block counted twice
        {0xB7, 0xB9, 0x02, 0x01, 0x103, "2A", 9, 1024, false, {0x10, 0x00}},  // wrong: the sum is of 16 bits
        {0xB5, 0xB6, 0x00, 0x00, 0x001, "1B", 0, 512, true, {}}};              // an empty region keeps its code
    for (const Case& c : cases) {
        SCOPED_TRACE(c.version);
        sim::DeviceConfig config = WithMemorySize(c.memorySize);
        config.restartSeconds = 7.0;
        config.restartSeconds2 = 11.0;
        config.keepMemoryOnCommit = c.keepMemory;
        RawLink link(config);
        const sim::Device& device = link.harness.Dev();
        const int base = c.close == 0xB6 ? 0x2000 : 0x4000;
        const std::size_t blocks = c.codeCheck + c.otherCheck == 0 ? 0 : 2;
        if (blocks > 0) {
            ASSERT_EQ(link.WriteBlock(c.header, base + 8, RawLink::Block(1, c.otherCheck)), Bytes{Z});
            const Bytes code = RawLink::CodeBlock(c.version, c.revision, c.codeCheck);
            ASSERT_EQ(link.WriteBlock(c.header, base, code), Bytes{Z});
            // The first block again, after a lost acknowledgement: replaced, not counted twice.
            ASSERT_EQ(link.WriteBlock(c.header, base + 8, RawLink::Block(1, c.otherCheck)), Bytes{Z});
        }
        EXPECT_EQ(link.Exchange({0xB8, 0x12, 0x34}), Bytes{Z});
        EXPECT_EQ(device.Code2Word(), 0x1234);
        ASSERT_EQ(link.Exchange({0x97}), Bytes{Z});
        ASSERT_EQ(link.Exchange({0x26, 0x31, 0x12, 0x09, 0x05, 0x11, 0x00, 0x00, 0x88}), Bytes{Z});
        ASSERT_TRUE(device.Clock().has_value());
        const int region = c.close == 0xB6 ? 1 : 2;
        EXPECT_EQ(link.Exchange(RawLink::Header(c.close, c.wrongSum)), Bytes{Nak});
        EXPECT_TRUE(device.CommittedCode(region).empty());
        EXPECT_EQ(device.CurrentMode(), sim::Mode::PcMode);

        const auto before = device.Memory();
        EXPECT_EQ(link.Exchange(RawLink::Header(c.close, c.codeCheck + c.otherCheck)), Bytes{Z});
        EXPECT_EQ(device.CommittedCode(region).size(), blocks);
        EXPECT_EQ(device.CurrentMode(), sim::Mode::Restarting);
        const double restart = region == 1 ? 7.0 : 11.0;
        EXPECT_EQ(link.AskAround(link.harness.Replies().back().time + restart, 0.01), (Bytes{Z, c.revision}));
        EXPECT_EQ(link.IdText(), std::string("PELORA 1D-V") + c.version + " H2");
        EXPECT_TRUE(device.HeldCode(region).empty());
        EXPECT_EQ(device.Restarts(), 1);

        // New code on an empty memory: a restore that writes nothing, or
        // writes elsewhere, shows. Blocks 0 and 1 but the header record stay.
        const auto& memory = device.Memory();
        EXPECT_EQ(device.Clock().has_value(), c.keepMemory);
        if (c.keepMemory) {
            EXPECT_EQ(memory, before);
            continue;
        }
        auto empty = before;
        std::fill(empty.begin() + 64, empty.begin() + 80, 0x00);
        for (int at : {64 + 8, 64 + 10}) std::copy(c.emptyPointer.begin(), c.emptyPointer.end(), empty.begin() + at);
        std::fill(empty.begin() + 256, empty.end(), 0xFF);
        EXPECT_EQ(memory, empty);
    }
}

// --- framing

// What is not a whole frame gets no answer, the device resynchronises on the
// following bytes, and the very next frame is served.
TEST(DeviceFraming, BrokenFramesAreSkippedAndTheNextFrameIsServed) {
    struct Case { Bytes sent; std::size_t replyLength; double pause; };
    const Case cases[] = {
        {{0xBA, 0x01}, 0, 0.0},                 // wrong trailing byte
        {{0x00, 0x13, 0xFF, 0x00}, 0, 0.0},     // stray bytes and an unknown command
        {{0xBA, 0x84, 0x00}, 18, 0.0},          // not a 0xBA frame, but 0x84 0x00 is one
        {{0xB4, 0x00}, 0, 0.5},                 // half a frame, left longer than the frame time-out
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.sent));
        RawLink link;
        const Bytes reply = link.Send(c.sent, 18, 0.01);
        ASSERT_EQ(reply.size(), c.replyLength);
        EXPECT_TRUE(reply.empty() || reply[0] == Z);
        link.harness.Clock().Sleep(c.pause);
        EXPECT_EQ(link.Exchange({0xBA}, 2), RevisionZero);
        EXPECT_EQ(link.harness.Frames().size(), c.replyLength > 0 ? 2u : 1u);
    }
}

namespace {

// A data frame whose bytes begin with a request: `prefix`, then filler up to
// `length` bytes, the sum of those, and the trailing 0x00.
Bytes DataStartingWith(const Bytes& prefix, std::size_t length) {
    Bytes data = prefix;
    while (data.size() < length) data.push_back(static_cast<std::uint8_t>(0x11 * data.size()));
    data.push_back(sim::ByteSum(data.data(), static_cast<int>(length)));
    data.push_back(0x00);
    return data;
}

}  // namespace

// The program resends a header 0.2 s after it went unanswered: still a
// header, and its data, in time, is taken as data. Data that comes after its
// deadline is dropped whole, without a reply, whatever its bytes would mean
// as requests (sleep, or closing an empty region 1).
TEST(DeviceFraming, LateDataIsDroppedWhileAResentHeaderIsStillAHeader) {
    const Bytes sleep{0xA8, 0x55, 0x00}, close{0xB6, 0x00, 0x00, 0x00};
    struct Case { Bytes header; Bytes data; bool wireTiming; };
    const Case cases[] = {{{0xB5, 0x00, 0x00}, DataStartingWith(sleep, 128), false},
                          {{0xB5, 0x00, 0x00}, DataStartingWith(sleep, 128), true},
                          {{0xB7, 0x40, 0x00}, DataStartingWith(close, 128), true},
                          {{0xB2, 0x00, 0x04}, DataStartingWith(sleep, 16), false},
                          {{0x97}, DataStartingWith(close, 8), false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << int(c.header[0]) << (c.wireTiming ? " wire" : ""));
        RawLink link;
        auto& h = link.harness;
        h.SetWireTiming(c.wireTiming);
        ASSERT_EQ(link.Exchange(c.header), Bytes{Z});
        h.Clock().Sleep(0.2);
        ASSERT_EQ(link.Exchange(c.header), Bytes{Z});
        const double sent = h.Now();
        EXPECT_EQ(link.Send(c.data, 1, 1.0), Bytes{Z});
        EXPECT_EQ(h.Frames().back().bytes, c.data);
        const double wire = c.wireTiming ? static_cast<double>(c.data.size() + 1) * sim::Device::ByteSeconds : 0;
        // Data in time is not held back; on the wire each byte costs 10 bits, both ways.
        EXPECT_NEAR(h.Replies().back().time, sent + wire + 0.002, 1e-9);

        ASSERT_EQ(link.Exchange(c.header), Bytes{Z});
        h.Clock().Sleep(0.2);
        const auto memory = h.Dev().Memory();
        const std::size_t frames = h.Frames().size();
        EXPECT_TRUE(link.Send(c.data, 1, 1.0).empty());
        EXPECT_EQ(h.Dev().CurrentMode(), sim::Mode::PcMode);
        EXPECT_EQ(h.Dev().Memory(), memory);
        EXPECT_EQ(h.Frames().size(), frames);
        EXPECT_EQ(link.Exchange({0xBA}, 2), RevisionZero);
    }
}

TEST(DeviceFraming, FrameSplitOverManyWritesIsAnsweredOnceWhole) {
    RawLink link;
    link.harness.Port().Write(Bytes{0xB4});
    EXPECT_TRUE(link.Send({0x00}, 1, 0.01).empty());
    EXPECT_EQ(link.Send({0x10, 0x00}, 129, 1.0).size(), 129u);
    EXPECT_EQ(link.harness.Frames().size(), 1u);
}
