// The device's answers to raw request frames.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>

#include "RawLink.h"

using namespace simtest;

// Model key, " 1D-V", version, " H2", brought to sixteen by the last field,
// then the second word's front, then the key: the version always ends the
// second word, where the program reads it. A verbatim text is padded or cut.
TEST(DeviceIdentification, TextFollowsTheModelKeyAndVersionUnlessGivenVerbatim) {
    const std::tuple<std::string, std::optional<std::string>, std::string> cases[] = {
        {"PELORA", {}, "PELORA 1D-V2F H2"},   {"P", {}, "P 1D-V2F H200000"},
        {"PEL", {}, "PEL 1D-V2F H2000"},      {"PELORA7", {}, "PELORA7 1D-V2F H"},
        {"PELORAXYZ", {}, "PELORAXYZ -V2F H"}, {"AVERYLONGMODELKEY", {}, "AVERYLONGMO 2F H"},
        {"PELORA", "OTHER 9 Z", "OTHER 9 Z       "}, {"PELORA", "A TEXT OF 17 CHRS", "A TEXT OF 17 CHR"}};
    for (const auto& [key, verbatim, text] : cases) {
        SCOPED_TRACE(text);
        sim::DeviceConfig config;
        config.modelKey = key;
        config.codeVersion = "2F";
        config.idText = verbatim;
        config.revision = 7;
        RawLink(config).Play({{Id, RawLink::IdReply(text)}, {Ba, {Z, 7}}});
    }
}

// Deep Sleep is silent until the harness wakes the device, or until its own timer does.
TEST(DeviceControl, SleepModeCommandsAndWakingUp) {
    for (const double autoWake : {0.0, 10.0}) {
        SCOPED_TRACE(autoWake);
        sim::DeviceConfig config;
        config.autoWakeSeconds = autoWake;
        RawLink link(config);
        link.Play({{{0xA8, 0x99}, {Z}}, {Ba, RevisionZero}, {{0xA8, 0x12}, {Nak}}, {{0xA8, 0x55}, {Z}}});
        if (autoWake == 0) link.harness.At(link.harness.Now() + 9.95, [&] { link.harness.WakeDevice(); });
        link.Play({{{}, {}, 9.8}, {Id, {}, 0.25}, {Ba, RevisionZero}});  // 9.9 s after: asleep; 10.15 s: awake
    }
}

// A clock record is acknowledged when its check byte is right, and taken only
// when its fields make sense; the hour byte is BCD with 0x80 for the afternoon.
TEST(DeviceClock, RecordIsTakenOnGoodCheckAndSaneFields) {
    struct Case { std::uint8_t day, month, hourByte, checkError, reply; int hour; };  // hour -1: not taken
    const Case cases[] = {{0x31, 0x12, 0x81, 0, Z, 13}, {0x31, 0x12, 0x92, 0, Z, 12}, {0x31, 0x12, 0x00, 0, Z, 0},
                          {0x31, 0x12, 0x11, 0, Z, 11}, {0x31, 0x12, 0x91, 0, Z, 23}, {0x31, 0x12, 0x81, 1, Nak, -1},
                          {0x31, 0x13, 0x81, 0, Z, -1}, {0x32, 0x12, 0x81, 0, Z, -1}, {0x31, 0x12, 0x13, 0, Z, -1},
                          {0x31, 0x12, 0x80, 0, Z, -1}, {0x1A, 0x12, 0x11, 0, Z, -1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "day " << int(c.day) << " month " << int(c.month) << " hour "
                                        << int(c.hourByte));
        RawLink link;
        Bytes record{0x26, c.day, c.month, 0x09, 0x05, c.hourByte, 0xE9, 0x00};
        record.push_back(static_cast<std::uint8_t>(sim::ByteSum(record.data(), 8) + c.checkError));
        link.Play({{{0x97}, {Z}}, {record, {c.reply}}});
        const auto clock = link.harness.Dev().Clock();
        ASSERT_EQ(clock.has_value(), c.hour >= 0);
        if (!clock) continue;
        const auto& t = *clock;
        EXPECT_EQ(std::tie(t.year, t.day, t.month, t.hour, t.minute, t.second, t.flag),
                  std::make_tuple(26, 31, 12, c.hour, 5, 9, 0xE9));
    }
}

// Reads come from data memory; records and profile blocks (sixteen units up)
// are written at once when their check byte is right; code is held by its
// region; anything else is refused.
TEST(DeviceMemory, AddressMapAndCheckBytesDecideWhereEachBlockGoes) {
    enum class Goes { Refused, BadCheck, Memory, Region1, Region2 };
    struct Case { int memorySize; std::uint8_t command; int unit; Goes goes; std::size_t byteAddress; };
    const Case cases[] = {
        {512, 0xB4, 16, Goes::Memory, 256}, {512, 0xB4, 4088, Goes::Memory, 4088 * 16},
        {512, 0xB4, 4089, Goes::Refused, 0}, {512, 0xB4, 0x8000, Goes::Refused, 0},
        {1024, 0xB4, 8184, Goes::Memory, 8184 * 16}, {512, 0xB2, 4, Goes::Memory, 4 * 16},
        {512, 0xB2, 4095, Goes::Memory, 4095 * 16}, {512, 0xB2, 4096, Goes::Refused, 0},
        {512, 0xB2, 4, Goes::BadCheck, 0}, {512, 0xB5, 8, Goes::Memory, 24 * 16}, {512, 0xB5, 8, Goes::BadCheck, 0},
        {512, 0xB5, 4072, Goes::Memory, 4088 * 16}, {512, 0xB5, 4076, Goes::Refused, 0},  // would overrun
        {512, 0xB5, 4080, Goes::Region1, 0}, {1024, 0xB5, 4096, Goes::Memory, 4112 * 16},
        {512, 0xB7, 4095, Goes::Refused, 0}, {512, 0xB7, 4096, Goes::Region2, 0}, {1024, 0xB7, 4096, Goes::Refused, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.memorySize << " blocks, " << std::hex << int(c.command) << " "
                                        << c.unit << " goes " << int(c.goes));
        sim::DeviceConfig config;
        config.memorySize = c.memorySize;
        RawLink link(config);
        const auto& memory = link.harness.Dev().Memory();
        const auto before = memory;
        const auto at = memory.begin() + static_cast<std::ptrdiff_t>(c.byteAddress);
        const Bytes header = RawLink::Header(c.command, c.unit);
        if (c.goes == Goes::Refused) {
            link.Play({{header, {Nak}}});
        } else if (c.command == 0xB4) {
            link.Play({{header, ReadReply(at)}});
        } else {
            Bytes data = RawLink::Block(3);
            if (c.command == 0xB2) {
                data.resize(16);
                data.push_back(sim::ByteSum(data.data(), 16));
            }
            if (c.goes == Goes::BadCheck) data.back() ^= 0x01;
            link.Play({{header, {Z}}, {data, {c.goes == Goes::BadCheck ? Nak : Z}}});
            EXPECT_TRUE(c.goes == Goes::Memory ? std::equal(data.begin(), data.end() - 1, at) : memory == before);
            const auto& held = link.harness.Dev().HeldCode(c.goes == Goes::Region2 ? 2 : 1);
            ASSERT_EQ(held.size(), c.goes == Goes::Region1 || c.goes == Goes::Region2 ? 1u : 0u);
            EXPECT_TRUE(held.empty() || held.begin()->first == c.unit);
        }
    }
}

// A region is committed only on the sum of its held blocks' check bytes;
// then the device is silent for that region's restart time (waking it does
// not cut that short) and comes back with the uploaded code on an empty
// memory, unless told to keep it, so a restore that writes nothing shows.
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
        sim::DeviceConfig config;
        config.memorySize = c.memorySize;
        config.restartSeconds = 7.0;
        config.restartSeconds2 = 11.0;
        config.keepMemoryOnCommit = c.keepMemory;
        RawLink link(config);
        const sim::Device& device = link.harness.Dev();
        const int base = c.close == 0xB6 ? 0x2000 : 0x4000, region = c.close == 0xB6 ? 1 : 2;
        const std::size_t blocks = c.codeCheck + c.otherCheck == 0 ? 0 : 2;
        const Bytes other = RawLink::Block(1, c.otherCheck);
        if (blocks > 0)  // the first block again, as after a lost acknowledgement: replaced, not counted twice
            link.Play({{RawLink::Header(c.header, base + 8), {Z}}, {other, {Z}}, {RawLink::Header(c.header, base), {Z}},
                       {RawLink::CodeBlock(c.version, c.revision, c.codeCheck), {Z}},
                       {RawLink::Header(c.header, base + 8), {Z}}, {other, {Z}}});
        link.Play({{{0xB8, 0x12, 0x34}, {Z}}, {{0x97}, {Z}}, {{0x26, 0x31, 0x12, 0x09, 0x05, 0x11, 0, 0, 0x88}, {Z}},
                   {RawLink::Header(c.close, c.wrongSum), {Nak}}});
        EXPECT_EQ(device.Code2Word(), 0x1234);
        ASSERT_TRUE(device.Clock().has_value());
        EXPECT_TRUE(device.CommittedCode(region).empty());

        auto expected = device.Memory();
        link.Play({{RawLink::Header(c.close, c.codeCheck + c.otherCheck), {Z}}});
        EXPECT_EQ(device.CommittedCode(region).size(), blocks);
        link.harness.WakeDevice();
        link.Play({{{}, {}, (region == 1 ? 7.0 : 11.0) - 0.11}, {Id, {}, 0.02}, {Ba, {Z, c.revision}},
                   {Id, RawLink::IdReply(std::string("PELORA 1D-V") + c.version + " H2")}});
        EXPECT_EQ(device.Clock().has_value(), c.keepMemory);
        if (!c.keepMemory) {  // blocks 0 and 1 stay, but for the header record
            std::fill(expected.begin() + 64, expected.begin() + 80, 0x00);
            for (int at : {72, 74}) std::copy(c.emptyPointer.begin(), c.emptyPointer.end(), expected.begin() + at);
            std::fill(expected.begin() + 256, expected.end(), 0xFF);
        }
        EXPECT_EQ(device.Memory(), expected);
    }
}

// What is not a whole frame gets no answer and the device resynchronises;
// half a frame is forgotten after the frame time-out. A header resent late
// is still a header, and its data, in time, is answered at once (10 bits a
// byte on the wire, both ways). Data after its deadline is dropped whole,
// whatever its bytes would mean as requests (sleep, closing region 1).
TEST(DeviceFraming, BrokenFramesAreSkippedAndLateDataIsDropped) {
    const Bytes unit16 = ReadReply(sim::BuildMemory(512, 4711, 40).begin() + 256);  // of the default device
    const Bytes asleep = Cat(Bytes{0x11, 0xA8, 0x55, 0x00, 0xBA, 0x00}, Bytes(124, 0x01));  // no 0x00 at its end
    std::vector<std::pair<bool, std::vector<Step>>> cases = {  // wire timing?, steps
        {false, {{{0xBA, 0x01}, {}, 0.1, true}, {Ba, RevisionZero}}},              // wrong trailing byte
        {false, {{{0x00, 0x13, 0xFF, 0x00}, {}, 0.1, true}, {Ba, RevisionZero}}},  // stray bytes, unknown command
        {false, {{{0xBA, 0x84, 0x00}, RawLink::IdReply("PELORA 1D-V1B H2"), 0.1, true}, {Ba, RevisionZero}}},
        {false, {{{0xB4, 0x00}, {}, 0.5, true}, {Ba, RevisionZero}}},              // left past the frame time-out
        {false, {{{0xB4, 0x00}, {}, 0.05, true}, {{0x10, 0x00}, unit16, 0.1, true}}},  // finished in time
        // Not a data frame: read again as requests, the first puts the device to sleep, the rest is unheard.
        {false, {{{0xB5, 0x00, 0x00}, {Z}}, {asleep, {Z}, 0.1, true}, {Ba, {}}}},
    };
    const Bytes sleep{0xA8, 0x55, 0x00}, close{0xB6, 0x00, 0x00, 0x00};
    const std::tuple<Bytes, Bytes, std::size_t, bool> late[] = {  // header, data's first bytes, length, wire timing?
        {{0xB5, 0x00, 0x00}, sleep, 128, false}, {{0xB5, 0x00, 0x00}, sleep, 128, true},
        {{0xB7, 0x40, 0x00}, close, 128, true},  {{0xB2, 0x00, 0x04}, sleep, 16, false}, {{0x97}, close, 8, false}};
    for (const auto& [header, prefix, length, wire] : late) {
        Bytes data = prefix;  // then filler, and the sum
        while (data.size() < length) data.push_back(static_cast<std::uint8_t>(0x11 * data.size()));
        data.push_back(sim::ByteSum(data.data(), static_cast<int>(length)));
        const double reply = (wire ? static_cast<double>(data.size() + 2) * sim::Device::ByteSeconds : 0) + 0.002;
        cases.push_back({wire, {{header, {Z}, 0.3}, {header, {Z}}, {data, {}, reply - 1e-5}, {{}, {Z}, 2e-5},
                                {header, {Z}, 0.3}, {data, {}}, {Ba, RevisionZero}}});
    }
    for (const auto& [wire, steps] : cases) {
        RawLink link;
        link.harness.SetWireTiming(wire);
        link.Play(steps);
    }
}
