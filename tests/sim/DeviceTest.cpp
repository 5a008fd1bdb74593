// The device's answers to raw request frames (texts, check bytes, the address
// map, the restart, the sleep command, framing) and the cable's chip.

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <tuple>

#include "RawLink.h"
#include "sim/Device.h"

using namespace simtest;

// The text is the key, a word ending in the version and a field brought to
// sixteen, unless given verbatim. Only two sleep modes are known; in Deep
// Sleep the device answers nothing until the diver wakes it. A clock record
// is acknowledged on its check byte, taken only when it makes sense; the hour
// is BCD with 0x80 for the afternoon (-1: not taken).
TEST(Device, AnswersAndTheirCheckBytes) {
    const std::tuple<std::string, std::optional<std::string>, std::string> cases[] = {
        {"PELORA", {}, "PELORA 1D-V2F H2"}, {"P", {}, "P 1D-V2F H200000"}, {"PELORAXYZ", {}, "PELORAXYZ -V2F H"},
        {"PELORA", "A TEXT OF 17 CHRS", "A TEXT OF 17 CHR"}};
    for (const auto& [key, verbatim, text] : cases)
        RawLink(With([&](auto& c) { c.modelKey = key, c.codeVersion = "2F", c.revision = 7, c.idText = verbatim; }))
            .Play({{Id, IdReply(text)}, {Ba, {Z, 7}}});
    RawLink().Play({{{0xA8, 0x99}, {Z}}, {Ba, RevisionZero}, {{0xA8, 0x12}, {Nak}}, {{0xA8, 0x55}, {Z}}, {Ba, {}}});
    RawLink clock;  // the records it refuses come first, while it has no time
    for (const auto& [month, hourByte, check, reply, hour] :
         {std::tuple{0x12, 0x81, 0, Nak, -1}, {0x13, 0x81, -1, Z, -1}, {0x12, 0x80, -1, Z, -1}, {0x12, 0x81, -1, Z, 13},
          {0x12, 0x92, -1, Z, 12}, {0x12, 0x11, -1, Z, 11}}) {
        const Bytes record =
            Block({0x26, 0x31, std::uint8_t(month), 0x09, 0x05, std::uint8_t(hourByte), 0xE9, 0}, check, 8);
        clock.Play({{{0x97}, {Z}}, {record, {reply}}});
        const auto taken = clock.h.Dev().Clock();
        EXPECT_EQ(taken ? taken->hour * 100 + taken->month : -1, hour < 0 ? -1 : hour * 100 + 12) << hourByte;
    }
}

// Reads come from data memory; records and profile blocks (sixteen units up)
// are written when their check byte is right; code is held by its region.
TEST(Device, AddressMapAndCheckBytes) {
    enum Goes { Refused, BadCheck, Memory, Region1, Region2 };
    struct Case { int memorySize; std::uint8_t command; int unit; Goes goes; };
    const Case cases[] = {{512, 0xB4, 4088, Memory}, {512, 0xB4, 4089, Refused}, {1024, 0xB4, 8184, Memory},
                          {512, 0xB2, 4095, Memory}, {512, 0xB2, 4096, Refused}, {512, 0xB2, 4, BadCheck},
                          {512, 0xB5, 8, Memory},    {512, 0xB5, 8, BadCheck},   {512, 0xB5, 4072, Memory},
                          {512, 0xB5, 4073, Refused}, {512, 0xB5, 4080, Region1}, {1024, 0xB5, 4096, Memory},
                          {512, 0xB7, 4095, Refused}, {512, 0xB7, 4096, Region2}};
    for (const Case& c : cases) {
        RawLink link(With([&](auto& config) { config.memorySize = c.memorySize; }));
        const auto& memory = link.h.Dev().Memory();
        const auto before = memory;
        const std::size_t at = static_cast<std::size_t>(c.unit + (c.command == 0xB5 ? 16 : 0)) * 16;
        if (c.goes == Refused || c.command == 0xB4) {
            link.Play({{Header(c.command, c.unit), c.goes == Refused ? Bytes{Nak} : ReadReply(&memory[at])}});
            continue;
        }
        const Bytes data = Block({3}, c.goes == BadCheck ? 0 : -1, c.command == 0xB2 ? 16 : 128);  // sums 75, 67
        link.Play({{Header(c.command, c.unit), {Z}}, {data, {c.goes == BadCheck ? Nak : Z}}});
        EXPECT_TRUE(c.goes == Memory ? std::equal(data.begin(), data.end() - 1, &memory[at]) : memory == before)
            << c.unit;
        EXPECT_EQ(link.h.Dev().HeldCode(c.goes == Region2 ? 2 : 1).size(), c.goes >= Region1 ? 1u : 0u) << c.unit;
    }
}

// A region is committed on the 16-bit sum of its held blocks' check bytes
// (a block sent again replaces the first copy); the device is silent for that
// region's restart and comes back with the new code on an empty logbook.
TEST(Device, RegionIsCommittedOnTheRightSumThenTheDeviceRestarts) {
    for (const int region : {1, 2}) {
        RawLink link(With([](auto& c) { c.memorySize = 1024, c.restartSeconds = 7.0, c.restartSeconds2 = 11.0; }));
        auto expected = link.h.Dev().Memory();  // code blocks go to their region, not to data memory
        const std::uint8_t header = region == 1 ? 0xB5 : 0xB7, close = region == 1 ? 0xB6 : 0xB9;
        const int base = region * 0x2000;
        const Bytes other = Block({}, 1), at = Header(header, base), at8 = Header(header, base + 8);
        link.Play({{at8, {Z}}, {other, {Z}}, {at, {Z}}, {Block({'2', 'A', 9}, 2), {Z}}, {at8, {Z}}, {other, {Z}},
                   {Header(close, 0x103), {Nak}}, {Header(close, 4), {Nak}}, {Header(close, 3), {Z}}});
        EXPECT_EQ(link.h.Dev().CommittedCode(region).size(), 2u);
        link.h.WakeDevice();  // does not cut a restart short
        link.Play({{{}, {}, (region == 1 ? 7.0 : 11.0) - 0.11}, {Id, {}, 0.02}, {Ba, {Z, 9}},
                   {Id, IdReply("PELORA 1D-V2A H2")}});
        std::fill(expected.begin() + 64, expected.begin() + 80, 0x00);  // the header record, but its pointers
        expected[72] = expected[74] = 0x10;
        std::fill(expected.begin() + 256, expected.end(), 0xFF);
        EXPECT_EQ(link.h.Dev().Memory(), expected);
    }
}

// Half a frame is forgotten after the frame time-out. Data after its deadline
// is dropped whole, whatever its bytes would mean as requests.
TEST(Device, BrokenFramesAreSkippedAndLateDataIsDropped) {
    for (const bool wire : {false, true}) {
        RawLink link(With([&](auto& c) { c.wireTiming = wire; }));
        link.Play({{{0xB4}, {}, 0.5}, {Ba, RevisionZero}, {{0xB4}, {}, 0.05}, {{0x10}, ReadReply(&Fresh[256])}});
        const Bytes data = Block({0xA8, 0x55, 0x00, 0xB6, 0x00, 0x00, 0x00}), header = Header(0xB5, 0);
        const double reply = (wire ? 131 * sim::Device::ByteSeconds : 0) + 0.002;  // 10 bits a byte both ways
        link.Play({{header, {Z}, 0.3}, {header, {Z}}, {data, {}, reply - 1e-5}, {{}, {Z}, 2e-5}, {header, {Z}, 0.3},
                   {data, {}}, {Ba, RevisionZero}});
    }
}

// The cable's chip: 62 bytes go as soon as they are in, a shorter rest on the
// next beat of its latency timer, which beats on from its last packet while
// idle too. Each row: packets as the program receives them (size, time).
// Bytes reach the program only inside Yield, and not after ClearInput().
TEST(Device, TheCablesChipPassesPacketsOf62AndHoldsTheRestForItsTimer) {
    const long fill = std::lround((0.002 + 115 * sim::Device::ByteSeconds) * 1e6);  // the read's 111th reply byte
    struct Row { double timer; bool wire; double at; Bytes request; decltype(RawLink::packets) packets; };
    const Row rows[] = {
        {0.016, false, 0.101, Header(0xB4, 16), {{62, 103000}, {62, 103000}, {5, 119000}}},
        {0.016, true, 0.0, Header(0xB4, 16), {{49, 16000}, {62, fill}, {18, fill + 16000}}},
        {0.001, true, 0.101, Id, {{1, 104000}, {4, 105000}, {4, 106000}, {4, 107000}, {4, 108000}, {1, 109000}}},
    };
    for (const Row& row : rows) {
        RawLink link(With([&](auto& c) { c.wireTiming = row.wire, c.latencyTimer = row.timer; }));
        const Bytes reply = row.request == Id ? IdReply("PELORA 1D-V1B H2") : ReadReply(&Fresh[256]);
        link.Play({{{}, {}, row.at}, {row.request, reply, 0.2 - row.at}});
        EXPECT_EQ(link.packets, row.packets) << "timer " << row.timer << (row.wire ? ", on the wire" : "");
    }
    RawLink link;  // what came but was not delivered is gone after ClearInput()
    link.h.Port().Write(Bytes{0xBA, 0x00});
    link.h.Clock().Sleep(0.1);
    link.h.Port().ClearInput();
    link.Play({{{}, {}}});
}
