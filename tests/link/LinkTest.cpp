// The link's rules, and every operation against the emulated device on the virtual clock.
#include "link/BlockTable.h"
#include "link/CommModule.h"
#include "sim/Memory.h"
#include "sim/VirtualHarness.h"

#include <gtest/gtest.h>

#include <functional>
#include <numeric>
#include <sstream>
#include <stdexcept>
#include <tuple>
#include <utility>

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::int32_t kCodeUnit = 0x2000;  // above the 4096 units of data memory
constexpr double kQuiet = pelora::CommModule::SettleQuietSeconds;

// A request as it goes out, with its trailing 0x00.
Bytes Frame(Bytes request) { return request.push_back(0x00), request; }

Bytes Sequence(std::uint8_t first, std::size_t count)
{
    Bytes bytes(count);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

// A device of revision 7, the port open, receive buffers sized for a
// 512-block memory, and a block in BlockBuf whose first 16 bytes are a valid record.
struct Bench {
    Bench() : harness([] { sim::DeviceConfig c; c.revision = 7; return c; }()),
              comm(harness.Port(), harness.Clock(), harness.Pump())
    {
        EXPECT_TRUE(harness.Port().Open(nullptr));
        s.ResizeReceiveBuffers(512 * 136 + 2);
        for (std::size_t i = 0; i < 128; ++i) s.BlockBuf[i] = static_cast<std::uint8_t>(3 + i * 7);
        s.BlockBuf[16] = sim::ByteSum(s.BlockBuf.data(), 16);
        s.BlockBuf[128] = sim::ByteSum(s.BlockBuf.data(), 128);
    }
    std::vector<Bytes> sent() const
    {
        std::vector<Bytes> frames;
        for (const auto& record : harness.Writes()) frames.push_back(record.bytes);
        return frames;
    }
    bool memoryHolds(std::size_t unit)
    {
        return std::equal(s.RxBuf.begin() + 1, s.RxBuf.begin() + 129,
                          harness.Dev().Memory().begin() + static_cast<long>(unit * 16));
    }
    // The result, the frames sent, and the letters of CommFailed, LinkAbort and LinkCancel if set.
    std::string verdict(int result) const
    {
        return std::to_string(result) + " " + std::to_string(sent().size()) + " " + (s.CommFailed ? "F" : "") +
               (s.LinkAbort ? "A" : "") + (s.LinkCancel ? "C" : "");
    }

    sim::VirtualHarness harness;
    pelora::CommModule comm;
    pelora::LinkState& s = comm.State();
};

TEST(BlockTable, BlocksOneTo1024ReadZeroUntilWritten)
{
    pelora::BlockTable table;
    EXPECT_EQ(std::as_const(table).Block(1024)[129], 0);
    table.Block(1024)[129] = 7;
    EXPECT_EQ(std::tuple(std::as_const(table).Block(1024)[129], std::as_const(table).Block(1)[129]), std::tuple(7, 0));
    for (int outside : {0, 1025}) EXPECT_THROW(std::as_const(table).Block(outside), std::out_of_range) << outside;
}

// The notifications of one reply, each with the state it leaves.
struct Step {
    Bytes bytes;
    std::tuple<bool, bool, std::int16_t, std::int32_t> after;  // ReplyDone, NakReceived, CurrentCommand, RxCount
};
struct Exchange {
    const char* name;
    std::int16_t command;
    std::int32_t expected;
    std::vector<Step> steps;
    Bytes reply = {};  // what the reply's buffer then starts with
    std::size_t bufferSize = 512 * 136 + 2;
};

TEST(ReplyRule, EachCommandLeavesTheStateOfItsRule)
{
    std::vector<Exchange> rows = {
        {"late copy dropped", 0x84, 18,
         {{Sequence(0x41, 18), {true, false, -1, 18}}, {Sequence(0x90, 9), {true, false, -1, 18}}}, Sequence(0x41, 18)},
        {"beyond the buffer", 0x84, 18, {{Sequence(0x61, 25), {true, false, -1, 25}}}, Sequence(0x61, 10), 10},
        {"sleep rejected then accepted", 0xA8, 1, {{{0xA5}, {false, true, 0xA8, 1}}, {{'Z'}, {true, true, -1, 2}}}},
        {"sleep must start with Z", 0xA8, 1, {{{0x00, 'Z'}, {false, false, 0xA8, 2}}}},
        {"block needs Z and all bytes", 0xB4, 129,
         {{Sequence('Z', 128), {false, false, 0xB4, 128}}, {Sequence('Z' + 128, 1), {true, false, -1, 129}}},
         Sequence('Z', 129)},
        {"block not starting with Z", 0xB4, 129, {{Sequence(0x20, 129), {false, false, 0xB4, 129}}}},
        {"block beyond the buffer", 0xB4, 129, {{Sequence('Z', 300), {true, false, -1, 300}}}, Sequence('Z', 10), 10},
        {"write rejected is done", 0xB5, 1, {{{0xA5}, {true, true, 0xB5, 1}}}},
        {"write must start with Z", 0xB6, 1, {{{0x00}, {false, false, 0xB6, 1}}, {{'Z'}, {false, false, 0xB6, 2}}}},
        {"unknown command ends the exchange", 0x42, 0, {{{'Z'}, {false, false, -1, 0}}}},
    };
    // A write-group code stays current after a 'Z', for the data frame after its header.
    for (std::int16_t code : {0xB2, 0xB5, 0xB6, 0xB7, 0xB8, 0xB9, 0x97})
        rows.push_back({"write accepted", code, 1, {{{'Z'}, {true, false, code, 1}}}});
    for (const Exchange& row : rows) {
        SCOPED_TRACE(std::string(row.name) + " " + std::to_string(row.command));
        Bench b;
        b.s.ResizeReceiveBuffers(row.bufferSize);
        b.s.CurrentCommand = row.command;
        b.s.RxExpected = row.expected;
        for (const Step& step : row.steps) {
            b.comm.AssembleReply(step.bytes);
            EXPECT_EQ(std::tuple(b.s.ReplyDone, b.s.NakReceived, b.s.CurrentCommand, b.s.RxCount), step.after);
        }
        const auto& buffer = row.command == 0xB4 ? b.s.RxBlockBuf : b.s.RxBuf;
        EXPECT_EQ(buffer.size(), row.bufferSize);
        EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + static_cast<long>(row.reply.size())), row.reply);
    }
}

TEST(IdentificationCheck, FieldsKeyAndVersion)
{
    // The text, the key, the verdict, then the version ("1A" beforehand: kept
    // unless three or four fields) and the text written back.
    const std::tuple<std::string, std::string, bool, std::string> cases[] = {
        {"PELORA 1B", "PELORA", false, "1A|PELORA 1B"},                       // two fields are too few
        {"KALO  pelora V1C", "PELORA", true, "ra|KALO pelora V1C"},           // a double blank collapses; any case
        {"KALO PELORA V1C 0042", "pelora", true, "1C|KALO PELORA V1C 0042"},  // four: from the third
        {"KALO PELORA 1C x ", "PELORA", true, "1A|KALO PELORA 1C x "},        // a trailing blank makes a fifth
        {"KALO MARLO 1C", "PELORA", false, "1A|KALO MARLO 1C"},
        {"KALO PELORA 1C", "", false, "1A|KALO PELORA 1C"},                   // an empty key matches no device
        {"KALO C PELORA", "PELORA", true, "C|KALO C PELORA"},                 // a short version word as it is
    };
    for (auto [text, key, accepted, after] : cases) {
        Bench b;
        b.comm.DeviceCodeVersion = "1A";
        EXPECT_EQ(b.comm.CheckDeviceId(text, key), accepted) << after;
        EXPECT_EQ(b.comm.DeviceCodeVersion + "|" + text, after);
    }
}

TEST(ClockRecord, TwelveHourFormAndBadFields)
{
    for (const auto& [hour, packed] : {std::pair{0, 0x00}, {11, 0x11}, {12, 0x92}, {13, 0x81}, {22, 0x90}, {23, 0x91}})
        EXPECT_EQ(pelora::PackedHour(hour), packed) << hour;
    for (const auto& [date, time, flag] : {std::tuple{"12/31/2x", "13:05:09", 233}, {"1/31/26", "13:05:09", 233},
                                           {"12/31/26", "1:05:09", 233}, {"12/31/26", "13:-5:09", 233},
                                           {"", "", 233}, {"12/31/26", "24:00:00", 233}, {"12/31/26", "13:05:09", 256}})
        EXPECT_THROW(pelora::ClockRecord(date, time, flag), pelora::LinkRuntimeError) << date << " " << time;
}

using Operation = std::function<int(pelora::CommModule&)>;
const Operation kHeader = [](auto& c) { return int(c.SendBlockHeader(kCodeUnit, 0xB5)); };
const Operation kBlock = [](auto& c) { c.WriteBlock(kCodeUnit, 0xB5); return 0; };
const Operation kChecksum = [](auto& c) { c.SendChecksum(0xB6, 0x1234); return 0; };  // wrong: no block was sent
const Operation kRead = [](auto& c) { c.ReadMemoryBlocks(16, 16); return 0; };
const Operation kRecordHeader = [](auto& c) { return int(c.SendRecordHeader(4)); };
const Operation kRecord = [](auto& c) { c.WriteRecord(4); return 0; };
const Operation kId = [](auto& c) { return int(c.ReadDeviceId()); };
const Operation kSleep = [](auto& c) { return int(c.SetSleepMode()); };
const Operation kRevision = [](auto& c) { return int(c.ReadCodeRevision()); };
const Operation kClockStart = [](auto& c) { return int(c.StartClockWrite()); };
const Operation kClock = [](auto& c) { c.SetDeviceClock("12/31/26", "13:05:09", 233); return 0; };
const Operation kCode2 = [](auto& c) { c.SendCode2Word(0xBEEF); return 0; };

// setup: faults as the emulator takes them; A@T C@T set LinkAbort or LinkCancel at T seconds, A C F set LinkAbort,
// LinkCancel or CommFailed beforehand (a flag the operation honours ends its first wait), "closed" closes the
// port, "close" closes it on a complete reply. expected: the result (-1: a LinkRuntimeError reached the caller),
// the frames sent and the flags set afterwards (see Bench::verdict).
struct Row {
    const char* name;
    Operation run;
    const char* setup;
    const char* expected;
    double end;  // seconds at the verdict
    const char* calls = nullptr;  // the port calls: 'i'/'o' clear the input/output buffer, 'w' a frame
};

TEST(Transaction, WaitsResendsStopsAndVerdicts)
{
    const Row rows[] = {
        // A silent device: the same request at every time-out, the last resend not awaited.
        {"silent header", kHeader, "unplug", "0 12 F", 11 * 0.2}, {"silent read", kRead, "unplug", "0 5 F", 4 * 0.2},
        {"silent block: headers only", kBlock, "unplug", "0 12 F", 11 * 0.2},
        {"silent checksum", kChecksum, "unplug", "0 5 F", 4 * 1.0}, {"silent sleep", kSleep, "unplug", "0 5 F", 4 * 1.0},
        {"silent record header", kRecordHeader, "unplug", "0 12 ", 11 * 0.1},
        {"silent identification", kId, "unplug", "0 12 ", 11 * 2.0},
        {"silent revision: no stale byte", kRevision, "unplug", "0 12 ", 11 * 1.0},
        {"silent clock start", kClockStart, "unplug", "0 5 ", 4 * 0.1},
        // A stop flag set during a wait ends it, with no send after it.
        {"block wait aborted", kBlock, "drop:10,tag=B5-data A@0.5", "0 2 A", 0.5},
        {"sleep aborted: ends once the try timed out", kSleep, "unplug A@1.5", "0 2 FA", 2.0},
        {"clock record cancelled", kClock, "drop:10,tag=97-data C@1.5", "0 3 C", 1.5},
        {"record cancelled", kRecord, "drop:10,tag=B2-data C@0.3", "0 3 FC", 0.3},
        {"checksum aborted", kChecksum, "unplug A@0.5", "0 1 FA", 0.5},
        // A rejection is answered at once.
        {"header rejected twice", kHeader, "reject:B5,2", "1 3 ", 0}, {"read rejected", kRead, "reject:B4,1", "0 2 ", 0},
        {"block rejected thrice: header again each time", kBlock, "reject:B5-data,3", "0 8 ", 0},
        {"read ends at unit 4095: no wait for the rejection", [](auto& c) { c.ReadMemoryBlocks(4087, 4200); return 0; },
         "", "0 2 ", 0},
        {"identification rejected", kId, "reject:84,1", "1 2 ", 0}, {"sleep rejected", kSleep, "reject:A8,1", "1 2 ", 0},
        {"revision rejected twice", kRevision, "reject:BA,2", "7 3 ", 0},
        {"record header rejected: no record", kRecord, "reject:B2,1", "0 1 ", 0},
        {"record rejected: resent alone, at once, as a try", kRecord, "reject:B2-data,1", "0 13 F", 10 * 0.2},
        // Flags left from before: honoured, ignored or cleared, each operation by its own rule.
        {"header aborted before", kHeader, "A", "0 1 FA", 0, "iow"},
        {"checksum clears an old abort", kChecksum, "A", "0 5 F", 0, "iowiowiowiowiow"},
        {"record's header aborted before", kRecord, "A", "0 1 A", 0},
        {"record after a failure: data frame not cleared", kRecord, "F", "0 2 F", 0, "ioioww"},
        {"identification ignores an abort", kId, "A", "1 1 A", 0}, {"identification cancelled", kId, "C", "0 1 C", 0},
        {"sleep clears a failure, keeps its buffers", kSleep, "F", "1 1 ", 0, "w"},
        {"clock record aborted", kClock, "A", "0 2 A", 0},
        {"clock start rejected for good", kClock, "reject:97,10", "0 5 F", 0},
        {"clock record rejected counts as answered", kClock, "reject:97-data,1", "0 2 ", 0},
        // Lost replies to data frames, and a late one.
        // Before a block's header goes out again, the line is given time to bring the block's late reply.
        {"block lost: four tries", kBlock, "drop:20,tag=B5-data", "0 8 F", 4 * 1.0 + 3 * kQuiet},
        {"record lost", kRecord, "drop:20,tag=B2-data", "0 13 F", 11 * 0.2},
        {"clock record lost", kClock, "drop:20,tag=97-data", "0 6 F", 4 * 1.0},
        {"late sleep answer; the resends' answers are dropped", kSleep, "latency:2.5", "1 3 ", 4.5 + kQuiet},
        // The largest values a request carries, values it cannot, and refused writes: operations with a
        // handler of their own stop the link, the others throw.
        {"header at 0x7FFF", [](auto& c) { return int(c.SendBlockHeader(0x7FFF, 0xB7)); }, "", "1 1 ", 0},
        {"header at 0x8000", [](auto& c) { return int(c.SendBlockHeader(0x8000, 0xB7)); }, "", "0 0 FAC", 0},
        {"checksum beyond 16 bits", [](auto& c) { c.SendChecksum(0xB6, 0x10000); return 0; }, "", "0 0 FAC", 0},
        {"read below 0", [](auto& c) { c.ReadMemoryBlocks(-16, -16); return 0; }, "", "0 0 FAC", 0},
        {"code2 word below 0", [](auto& c) { c.SendCode2Word(-1); return 0; }, "", "-1 0 ", 0},
        {"clock, port closed", kClock, "closed", "-1 0 ", 0}, {"identification, port closed", kId, "closed", "-1 0 ", 0},
        {"block refused after its header", kBlock, "close", "0 1 FAC", 0},
        {"record refused after its header", kRecord, "close", "-1 1 ", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Bench b;
        b.s.RxBuf[1] = 9;  // a stale revision byte
        std::istringstream setup(row.setup);
        for (std::string token; setup >> token;) {
            if (token.size() == 1) (token == "A" ? b.s.LinkAbort : token == "C" ? b.s.LinkCancel : b.s.CommFailed) = true;
            else if (token[1] == '@')
                b.harness.At(std::stod(token.substr(2)), [&b, token] { (token[0] == 'A' ? b.s.LinkAbort : b.s.LinkCancel) = true; });
            else if (token == "closed") b.harness.Port().Close();
            else if (token == "close")
                b.harness.Port().SetDataReceived([&b](std::span<const std::uint8_t> data) {
                    b.comm.AssembleReply(data);
                    if (b.s.ReplyDone) b.harness.Port().Close();
                });
            else EXPECT_TRUE(b.harness.Faults().Apply(token)) << token;
        }
        int result = -1;
        try { result = row.run(b.comm); } catch (const pelora::LinkRuntimeError&) {}
        EXPECT_EQ(b.verdict(result), row.expected);
        EXPECT_NEAR(b.harness.Now(), row.end, 0.02);
        EXPECT_EQ(row.calls ? b.harness.PortTrace() : "", row.calls ? row.calls : "");
    }
}

// Every command and transfer reaches the device, each frame as it goes out; replies in pieces are assembled in
// order, and nothing is sent while no reply is awaited.
TEST(Commands, ReachTheDevice)
{
    Bench b;
    b.s.CurrentCommand = -1, b.s.NakReceived = true;
    b.comm.SendTxBuffer(1);
    EXPECT_TRUE(b.sent().empty() && b.s.NakReceived) << "an earlier rejection stays";
    b.comm.WriteRecord(4);
    b.comm.ReadMemoryBlocks(4, 4);  // the block lands after the reply's first byte, the record at its start
    EXPECT_TRUE(b.memoryHolds(4));
    EXPECT_TRUE(std::equal(b.s.BlockBuf.begin(), b.s.BlockBuf.begin() + 16, b.s.RxBuf.begin() + 1));
    b.comm.ReadMemoryBlocks(16, 32);  // a range requests its last block without waiting for it
    EXPECT_TRUE(b.memoryHolds(24));
    b.comm.WriteBlock(kCodeUnit + 8, 0xB5);
    const Bytes block(b.s.BlockBuf.begin(), b.s.BlockBuf.end());
    EXPECT_EQ(b.harness.Dev().HeldCode(1).at(kCodeUnit + 8), block);
    kCode2(b.comm);
    EXPECT_EQ(b.harness.Dev().Code2Word(), 0xBEEF);
    b.harness.Faults().ChunkReplies(5, 0.01);
    ASSERT_TRUE(b.comm.ReadDeviceId());
    EXPECT_TRUE(b.comm.CheckDeviceId(b.comm.DeviceIdText, "pelora"));
    EXPECT_EQ(b.comm.DeviceIdText + b.comm.DeviceCodeVersion, b.harness.Dev().IdText() + b.harness.Dev().CodeVersion());
    b.comm.SetDeviceClock("12/31/26", "13:05:09", 233);
    EXPECT_TRUE(b.harness.Dev().Clock().has_value());
    EXPECT_TRUE(b.comm.SetSleepMode());
    b.comm.SendChecksum(0xB6, block[128]);  // commits the held code
    EXPECT_EQ(b.harness.Dev().CommittedCode(1).size(), 1u);
    EXPECT_EQ(b.sent(), (std::vector<Bytes>{Frame({0xB2, 0x00, 0x04}), Frame(Bytes(block.begin(), block.begin() + 17)),
                                            Frame({0xB4, 0x00, 0x04}), Frame({0xB4, 0x00, 0x10}),
                                            Frame({0xB4, 0x00, 0x18}), Frame({0xB4, 0x00, 0x20}),
                                            Frame({0xB5, 0x20, 0x08}), Frame(block), Frame({0xB8, 0xBE, 0xEF}),
                                            Frame({0x84}), Frame({0x97}),
                                            Frame({0x26, 0x31, 0x12, 0x09, 0x05, 0x81, 0xE9, 0x00, 0xE1}),
                                            Frame({0xA8, 0x99}), Frame({0xB6, 0x00, block[128]})}));
}

}  // namespace
