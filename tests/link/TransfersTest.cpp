// Memory and code transfers against the emulated device on the virtual clock.
// Silence, stop flags, rejections and error paths are in WaitsAndResendsTest.
#include "LinkFixture.h"

#include "sim/Memory.h"

namespace {

using namespace linktest;

class Transfer : public LinkFixture {
protected:
    // The port goes away as soon as a header is acknowledged.
    void closePortAfterFirstReply()
    {
        harness.Port().SetDataReceived([this](std::span<const std::uint8_t> data) {
            comm.AssembleReply(data);
            if (state().ReplyDone) harness.Port().Close();
        });
    }

    bool memoryHolds(std::size_t byteOffset, const std::uint8_t* bytes, std::size_t count)
    {
        return std::equal(bytes, bytes + count, harness.Dev().Memory().begin() + static_cast<long>(byteOffset));
    }
};

// --- SendBlockHeader and WriteBlock

TEST_F(Transfer, AcceptedBlockIsHeldThenCommittedByItsChecksum)
{
    fillBlockBuf(3);
    comm.WriteBlock(kCodeUnit + 8, 0xB5);
    EXPECT_FALSE(state().CommFailed);
    const Bytes block(state().BlockBuf.begin(), state().BlockBuf.end());
    EXPECT_EQ(sent(), (std::vector<Bytes>{Frame({0xB5, 0x20, 0x08}), Frame(block)}));
    EXPECT_EQ(harness.Dev().HeldCode(1).at(kCodeUnit + 8), block);

    comm.SendChecksum(0xB6, state().BlockBuf[128]);
    EXPECT_FALSE(state().CommFailed);
    EXPECT_EQ(sent().size(), 3u);
    EXPECT_EQ(harness.Dev().CommittedCode(1).size(), 1u);
}

TEST_F(Transfer, BlockRejectedThreeTimesThenAccepted)
{
    fillBlockBuf(9);
    harness.Faults().Reject(sim::DataFrame(0xB5), 3);
    comm.WriteBlock(kCodeUnit, 0xB5);
    EXPECT_FALSE(state().CommFailed);
    const auto frames = sent();
    ASSERT_EQ(frames.size(), 8u);
    for (std::size_t i = 0; i < frames.size(); i += 2) {
        EXPECT_EQ(frames[i], Frame({0xB5, 0x20, 0x00})) << "each try repeats the header";
        EXPECT_EQ(frames[i + 1].size(), 130u) << i;
    }
    EXPECT_EQ(harness.Dev().HeldCode(1).size(), 1u);
}

TEST_F(Transfer, EarlierFailureStopsTheBlockAfterItsHeader)
{
    state().CommFailed = true;
    comm.WriteBlock(kCodeUnit, 0xB5);
    EXPECT_EQ(sent().size(), 1u);
}

// A refused write stops the link and is a failure: a caller that tests
// CommFailed must never take it for a block that went in.
TEST_F(Transfer, PortRefusingTheBlockEndsTheWriteAsAFailure)
{
    fillBlockBuf(1);
    closePortAfterFirstReply();
    comm.WriteBlock(kCodeUnit, 0xB5);
    EXPECT_TRUE(state().LinkAbort);
    EXPECT_TRUE(state().LinkCancel);
    EXPECT_TRUE(state().CommFailed);
    EXPECT_EQ(sent().size(), 1u);
}

// --- SendChecksum and SendCode2Word

TEST_F(Transfer, WrongChecksumIsResentAtOnceAndFails)
{
    state().LinkAbort = true;  // cleared at the start
    comm.SendChecksum(0xB6, 0x1234);
    EXPECT_FALSE(state().LinkAbort);
    EXPECT_TRUE(state().CommFailed);
    ASSERT_EQ(sent().size(), 5u) << "every 0xA5 is resent at once and counts";
    for (const auto& frame : sent()) EXPECT_EQ(frame, (Bytes{0xB6, 0x12, 0x34, 0x00}));
    EXPECT_LT(harness.Now(), 0.1);
}

TEST_F(Transfer, Code2WordReachesTheDevice)
{
    comm.SendCode2Word(0xBEEF);
    EXPECT_FALSE(state().CommFailed);
    EXPECT_EQ(sent(), (std::vector<Bytes>{Frame({0xB8, 0xBE, 0xEF})}));
    EXPECT_EQ(harness.Dev().Code2Word(), 0xBEEF);
}

// --- ReadMemoryBlocks

TEST_F(Transfer, ReadBlocksLandAfterTheFirstByte)
{
    state().LinkCancel = true;  // cleared at the start
    comm.ReadMemoryBlocks(4, 4);
    EXPECT_FALSE(state().CommFailed);
    EXPECT_TRUE(memoryHolds(64, state().RxBuf.data() + 1, 128));
    EXPECT_EQ(state().CurrentCommand, -1);

    // A range requests its last block without waiting for it.
    comm.ReadMemoryBlocks(16, 32);
    EXPECT_FALSE(state().CommFailed);
    EXPECT_EQ(sent(), (std::vector<Bytes>{Frame({0xB4, 0x00, 0x04}), Frame({0xB4, 0x00, 0x10}),
                                          Frame({0xB4, 0x00, 0x18}), Frame({0xB4, 0x00, 0x20})}));
    EXPECT_TRUE(memoryHolds(24 * 16, state().RxBuf.data() + 1, 128));
}

// --- WriteRecord

class Record : public Transfer {
protected:
    Record()
    {
        for (std::uint8_t i = 0; i < 16; ++i) state().BlockBuf[i] = static_cast<std::uint8_t>(0x10 + i * 3);
        state().BlockBuf[16] = sim::ByteSum(state().BlockBuf.data(), 16);
    }
    Bytes recordFrame() { return Frame(Bytes(state().BlockBuf.begin(), state().BlockBuf.begin() + 17)); }
};

TEST_F(Record, ReachesTheHeaderUnit)
{
    comm.WriteRecord(4);
    EXPECT_FALSE(state().CommFailed);
    EXPECT_EQ(sent(), (std::vector<Bytes>{Frame({0xB2, 0x00, 0x04}), recordFrame()}));
    EXPECT_TRUE(memoryHolds(64, state().BlockBuf.data(), 16));
    EXPECT_EQ(state().CurrentCommand, 0xB2);
}

TEST_F(Record, RejectedRecordIsResentAloneAtOnce)
{
    harness.Faults().Reject(sim::DataFrame(0xB2), 1);
    comm.WriteRecord(4);
    const auto frames = sent();
    ASSERT_GE(frames.size(), 3u);
    EXPECT_EQ(frames[1], recordFrame());
    EXPECT_EQ(frames[2], frames[1]) << "the record alone, without a new header";
    EXPECT_LT(sendTimes()[2] - sendTimes()[1], 0.1);
}

TEST_F(Record, PortRefusingTheRecordReachesTheCaller)
{
    closePortAfterFirstReply();
    EXPECT_THROW(comm.WriteRecord(4), pelora::LinkRuntimeError);
}

}  // namespace
