// Memory and code transfers against the emulated device on the virtual clock.
#include "LinkFixture.h"

#include "sim/Memory.h"

namespace {

using linktest::Bytes;
using linktest::Frame;
using linktest::LinkFixture;

constexpr std::int32_t kCodeUnit = 0x2000;  // above the 4096 units of data memory

class BlockHeader : public LinkFixture {};
class BlockWrite : public LinkFixture {};
class ClosingWord : public LinkFixture {};
class BlockRead : public LinkFixture {};
class RecordWrite : public LinkFixture {};

// --- SendBlockHeader

TEST_F(BlockHeader, AcceptedHeaderKeepsItsCommandCurrent)
{
    EXPECT_TRUE(comm.SendBlockHeader(kCodeUnit, 0xB5));
    EXPECT_EQ(sent(), (std::vector<Bytes>{Frame({0xB5, 0x20, 0x00})}));
    EXPECT_EQ(state().CurrentCommand, 0xB5);
    EXPECT_FALSE(state().CommFailed);
}

TEST_F(BlockHeader, SilentDeviceGetsTwelveFramesThenFailure)
{
    harness.Faults().UnplugAt(0.0);
    EXPECT_FALSE(comm.SendBlockHeader(kCodeUnit, 0xB5));
    EXPECT_TRUE(state().CommFailed);
    ASSERT_EQ(sent().size(), 12u);
    for (const auto& frame : sent()) EXPECT_EQ(frame, Frame({0xB5, 0x20, 0x00}));
    expectSpacing(0.2);
    EXPECT_NEAR(harness.Now() - sendTimes().front(), 2.2, 1e-3) << "gives up right after the last frame";
}

TEST_F(BlockHeader, RejectionIsResentAtOnce)
{
    harness.Faults().Reject(0xB5, 2);
    EXPECT_TRUE(comm.SendBlockHeader(kCodeUnit, 0xB5));
    ASSERT_EQ(sent().size(), 3u);
    EXPECT_LT(sendTimes()[2] - sendTimes()[0], 0.1);
}

TEST_F(BlockHeader, NegativeAddressTakesTheErrorPath)
{
    EXPECT_FALSE(comm.SendBlockHeader(-8, 0xB5));
    EXPECT_TRUE(state().LinkAbort);
    EXPECT_TRUE(state().LinkCancel);
    EXPECT_FALSE(state().CommFailed);
    EXPECT_TRUE(sent().empty());
}

TEST_F(BlockHeader, AddressBeyondSixteenBitsTakesTheErrorPath)
{
    EXPECT_FALSE(comm.SendBlockHeader(32768, 0xB7));
    EXPECT_TRUE(state().LinkAbort);
    EXPECT_FALSE(state().CommFailed);
    EXPECT_TRUE(sent().empty());
}

TEST_F(BlockHeader, StopFlagEndsTheWait)
{
    harness.Faults().UnplugAt(0.0);
    harness.At(0.5, [this] { state().LinkCancel = true; });
    EXPECT_FALSE(comm.SendBlockHeader(kCodeUnit, 0xB5));
    EXPECT_TRUE(state().CommFailed);
    EXPECT_EQ(sent().size(), 3u);  // 0, 0.2, 0.4
    EXPECT_NEAR(harness.Now(), 0.5, 1e-3);
}

// --- WriteBlock

TEST_F(BlockWrite, AcceptedBlockIsHeldByTheDevice)
{
    fillBlockBuf(3);
    comm.WriteBlock(kCodeUnit + 8, 0xB5);
    EXPECT_FALSE(state().CommFailed);
    Bytes block(state().BlockBuf.begin(), state().BlockBuf.end());
    EXPECT_EQ(sent(), (std::vector<Bytes>{Frame({0xB5, 0x20, 0x08}), Frame(block)}));
    ASSERT_EQ(harness.Dev().HeldCode(1).count(kCodeUnit + 8), 1u);
    EXPECT_EQ(harness.Dev().HeldCode(1).at(kCodeUnit + 8), block);
}

TEST_F(BlockWrite, RejectedThreeTimesThenAccepted)
{
    fillBlockBuf(9);
    harness.Faults().Reject(sim::DataFrame(0xB5), 3);
    comm.WriteBlock(kCodeUnit, 0xB5);
    EXPECT_FALSE(state().CommFailed);
    const auto frames = sent();
    ASSERT_EQ(frames.size(), 8u);
    for (std::size_t i = 0; i < frames.size(); i += 2) {
        EXPECT_EQ(frames[i], Frame({0xB5, 0x20, 0x00})) << i;
        EXPECT_EQ(frames[i + 1].size(), 130u) << i;
    }
    EXPECT_EQ(harness.Dev().HeldCode(1).size(), 1u);
}

TEST_F(BlockWrite, FourTimeOutsFailWithoutAFifthSend)
{
    fillBlockBuf(1);
    harness.Faults().DropReplies(10, sim::DataFrame(0xB5));
    comm.WriteBlock(kCodeUnit, 0xB5);
    EXPECT_TRUE(state().CommFailed);
    const auto times = sendTimes();
    ASSERT_EQ(times.size(), 8u);
    for (std::size_t i = 3; i < times.size(); i += 2)
        EXPECT_NEAR(times[i] - times[i - 2], 1.0, 0.01) << "each block try waits its second";
    EXPECT_NEAR(harness.Now() - times.back(), 1.0, 1e-3);
}

TEST_F(BlockWrite, FailingHeaderEndsTheWriteAtOnce)
{
    harness.Faults().UnplugAt(0.0);
    comm.WriteBlock(kCodeUnit, 0xB5);
    EXPECT_TRUE(state().CommFailed);
    EXPECT_EQ(sent().size(), 12u) << "headers only, no block";
}

TEST_F(BlockWrite, StopFlagDuringTheBlockWaitEndsQuietly)
{
    fillBlockBuf(1);
    harness.Faults().DropReplies(10, sim::DataFrame(0xB5));
    harness.At(0.5, [this] { state().LinkAbort = true; });
    comm.WriteBlock(kCodeUnit, 0xB5);
    EXPECT_FALSE(state().CommFailed);
    EXPECT_EQ(sent().size(), 2u);
    EXPECT_NEAR(harness.Now(), 0.5, 1e-3);
}

TEST_F(BlockWrite, EarlierFailureStopsAfterTheHeader)
{
    state().CommFailed = true;
    comm.WriteBlock(kCodeUnit, 0xB5);
    EXPECT_EQ(sent().size(), 1u);
}

TEST_F(BlockWrite, PortRefusingTheBlockEndsTheWriteQuietly)
{
    fillBlockBuf(1);
    // The port goes away as soon as the header is acknowledged.
    harness.Port().SetDataReceived([this](std::span<const std::uint8_t> data) {
        comm.AssembleReply(data);
        if (state().ReplyDone) harness.Port().Close();
    });
    comm.WriteBlock(kCodeUnit, 0xB5);
    EXPECT_TRUE(state().LinkAbort);
    EXPECT_TRUE(state().LinkCancel);
    EXPECT_FALSE(state().CommFailed);
    EXPECT_EQ(sent().size(), 1u);
}

TEST_F(BlockWrite, ProfileBlockLandsSixteenUnitsHigher)
{
    fillBlockBuf(5);
    comm.WriteBlock(8, 0xB5);
    EXPECT_FALSE(state().CommFailed);
    const auto& memory = harness.Dev().Memory();
    EXPECT_TRUE(std::equal(state().BlockBuf.begin(), state().BlockBuf.begin() + 128, memory.begin() + 24 * 16));
}

// --- SendChecksum and SendCode2Word

TEST_F(ClosingWord, WrongChecksumIsResentAndFails)
{
    state().LinkAbort = true;  // cleared at the start
    comm.SendChecksum(0xB6, 0x1234);
    EXPECT_FALSE(state().LinkAbort);
    EXPECT_TRUE(state().CommFailed);
    ASSERT_EQ(sent().size(), 5u) << "every 0xA5 is resent at once and counts";
    for (const auto& frame : sent()) EXPECT_EQ(frame, (Bytes{0xB6, 0x12, 0x34, 0x00}));
    EXPECT_LT(harness.Now(), 0.1);
}

TEST_F(ClosingWord, MatchingChecksumCommitsTheRegion)
{
    fillBlockBuf(7);
    comm.WriteBlock(kCodeUnit, 0xB5);
    comm.SendChecksum(0xB6, state().BlockBuf[128]);
    EXPECT_FALSE(state().CommFailed);
    EXPECT_EQ(sent().size(), 3u);
    EXPECT_EQ(harness.Dev().CommittedCode(1).size(), 1u);
}

TEST_F(ClosingWord, SilenceCostsFourSeconds)
{
    harness.Faults().UnplugAt(0.0);
    comm.SendChecksum(0xB9, 0);
    EXPECT_TRUE(state().CommFailed);
    ASSERT_EQ(sent().size(), 5u);
    expectSpacing(1.0);
    EXPECT_NEAR(harness.Now(), 4.0, 1e-3);
}

TEST_F(ClosingWord, ValueBeyondSixteenBitsTakesTheErrorPath)
{
    comm.SendChecksum(0xB6, 0x10000);
    EXPECT_TRUE(state().LinkAbort);
    EXPECT_TRUE(state().LinkCancel);
    EXPECT_FALSE(state().CommFailed);
    EXPECT_TRUE(sent().empty());
}

TEST_F(ClosingWord, Code2WordReachesTheDevice)
{
    comm.SendCode2Word(0xBEEF);
    EXPECT_FALSE(state().CommFailed);
    EXPECT_EQ(sent(), (std::vector<Bytes>{Frame({0xB8, 0xBE, 0xEF})}));
    EXPECT_EQ(harness.Dev().Code2Word(), 0xBEEF);
}

TEST_F(ClosingWord, Code2WordPassesItsErrorOn)
{
    EXPECT_THROW(comm.SendCode2Word(-1), pelora::LinkRuntimeError);
    EXPECT_TRUE(sent().empty());
}

// --- ReadMemoryBlocks

TEST_F(BlockRead, OneBlockLandsAfterTheFirstByte)
{
    comm.ReadMemoryBlocks(4, 4);
    EXPECT_FALSE(state().CommFailed);
    EXPECT_EQ(sent(), (std::vector<Bytes>{Frame({0xB4, 0x00, 0x04})}));
    const auto& memory = harness.Dev().Memory();
    EXPECT_TRUE(std::equal(memory.begin() + 64, memory.begin() + 192, state().RxBuf.begin() + 1));
    EXPECT_EQ(state().CurrentCommand, -1);
}

TEST_F(BlockRead, RejectionIsRequestedAgainAtOnce)
{
    harness.Faults().Reject(0xB4, 1);
    comm.ReadMemoryBlocks(16, 16);
    EXPECT_FALSE(state().CommFailed);
    ASSERT_EQ(sent().size(), 2u);
    EXPECT_LT(sendTimes()[1] - sendTimes()[0], 0.1);
    const auto& memory = harness.Dev().Memory();
    EXPECT_TRUE(std::equal(memory.begin() + 256, memory.begin() + 384, state().RxBuf.begin() + 1));
}

TEST_F(BlockRead, SilenceFailsAfterFourResends)
{
    harness.Faults().UnplugAt(0.0);
    comm.ReadMemoryBlocks(16, 16);
    EXPECT_TRUE(state().CommFailed);
    ASSERT_EQ(sent().size(), 5u);
    expectSpacing(0.2);
}

TEST_F(BlockRead, StopFlagFailsTheRead)
{
    state().LinkCancel = true;  // cleared at the start
    harness.Faults().UnplugAt(0.0);
    harness.At(0.3, [this] { state().LinkAbort = true; });
    comm.ReadMemoryBlocks(16, 16);
    EXPECT_TRUE(state().CommFailed);
    EXPECT_EQ(sent().size(), 2u);
}

TEST_F(BlockRead, NegativeAddressTakesTheErrorPath)
{
    comm.ReadMemoryBlocks(-16, -16);
    EXPECT_TRUE(state().LinkAbort);
    EXPECT_TRUE(state().LinkCancel);
    EXPECT_FALSE(state().CommFailed);
    EXPECT_TRUE(sent().empty());
}

TEST_F(BlockRead, RangeRequestsItsLastBlockWithoutWaiting)
{
    comm.ReadMemoryBlocks(16, 32);
    EXPECT_FALSE(state().CommFailed);
    EXPECT_EQ(sent(), (std::vector<Bytes>{Frame({0xB4, 0x00, 0x10}), Frame({0xB4, 0x00, 0x18}),
                                          Frame({0xB4, 0x00, 0x20})}));
    const auto& memory = harness.Dev().Memory();
    EXPECT_TRUE(std::equal(memory.begin() + 24 * 16, memory.begin() + 32 * 16, state().RxBuf.begin() + 1));
}

// --- SendRecordHeader and WriteRecord

void FillRecord(pelora::LinkState& state)
{
    for (std::uint8_t i = 0; i < 16; ++i) state.BlockBuf[i] = static_cast<std::uint8_t>(0x10 + i * 3);
    state.BlockBuf[16] = sim::ByteSum(state.BlockBuf.data(), 16);
}

TEST_F(RecordWrite, RecordReachesTheHeaderUnit)
{
    FillRecord(state());
    comm.WriteRecord(4);
    EXPECT_FALSE(state().CommFailed);
    const auto frames = sent();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], Frame({0xB2, 0x00, 0x04}));
    EXPECT_EQ(frames[1], Frame(Bytes(state().BlockBuf.begin(), state().BlockBuf.begin() + 17)));
    const auto& memory = harness.Dev().Memory();
    EXPECT_TRUE(std::equal(state().BlockBuf.begin(), state().BlockBuf.begin() + 16, memory.begin() + 64));
    EXPECT_EQ(state().CurrentCommand, 0xB2);
}

TEST_F(RecordWrite, RejectedHeaderSendsNoRecord)
{
    FillRecord(state());
    harness.Faults().Reject(0xB2, 1);
    comm.WriteRecord(4);
    EXPECT_FALSE(state().CommFailed);
    EXPECT_EQ(sent(), (std::vector<Bytes>{Frame({0xB2, 0x00, 0x04})}));
}

TEST_F(RecordWrite, SilentHeaderGivesUpWithoutFailure)
{
    harness.Faults().UnplugAt(0.0);
    EXPECT_FALSE(comm.SendRecordHeader(4));
    EXPECT_FALSE(state().CommFailed);
    ASSERT_EQ(sent().size(), 12u);
    expectSpacing(0.1);
}

TEST_F(RecordWrite, RejectedRecordIsResentAtOnce)
{
    FillRecord(state());
    harness.Faults().Reject(sim::DataFrame(0xB2), 1);
    comm.WriteRecord(4);
    const auto frames = sent();
    ASSERT_GE(frames.size(), 3u);
    EXPECT_EQ(frames[1], Frame(Bytes(state().BlockBuf.begin(), state().BlockBuf.begin() + 17)));
    EXPECT_EQ(frames[2], frames[1]) << "the record alone, without a new header";
    EXPECT_LT(sendTimes()[2] - sendTimes()[1], 0.1);
}

TEST_F(RecordWrite, UnansweredRecordFailsAfterElevenResends)
{
    FillRecord(state());
    harness.Faults().DropReplies(20, sim::DataFrame(0xB2));
    comm.WriteRecord(4);
    EXPECT_TRUE(state().CommFailed);
    ASSERT_EQ(sent().size(), 13u);
    const auto times = sendTimes();
    for (std::size_t i = 2; i < times.size(); ++i) EXPECT_NEAR(times[i] - times[i - 1], 0.2, 1e-4);
}

TEST_F(RecordWrite, NegativeAddressEndsQuietly)
{
    comm.WriteRecord(-4);
    EXPECT_TRUE(state().LinkAbort);
    EXPECT_FALSE(state().CommFailed);
    EXPECT_TRUE(sent().empty());
}

TEST_F(RecordWrite, PortRefusingTheRecordReachesTheCaller)
{
    FillRecord(state());
    harness.Port().SetDataReceived([this](std::span<const std::uint8_t> data) {
        comm.AssembleReply(data);
        if (state().ReplyDone) harness.Port().Close();
    });
    EXPECT_THROW(comm.WriteRecord(4), pelora::LinkRuntimeError);
}

}  // namespace
