// Frames and reply assembly, driven byte by byte without a device.
#include "FakeLink.h"
#include "link/CommModule.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using linktest::Bytes;
using linktest::NoEvents;
using linktest::RecordingPort;
using linktest::StillClock;

class ReplyAssembly : public ::testing::Test {
protected:
    ReplyAssembly() { comm.State().ResizeReceiveBuffers(512 * 136 + 2); }

    // A transaction's preparation as the operations do it.
    void expect(std::int16_t command, std::int32_t expected)
    {
        state().CurrentCommand = command;
        state().RxExpected = expected;
        state().RxCount = 0;
        state().ReplyDone = false;
        state().NakReceived = false;
    }

    pelora::LinkState& state() { return comm.State(); }

    RecordingPort port;
    StillClock clock;
    NoEvents pump;
    pelora::CommModule comm{port, clock, pump};
};

Bytes Sequence(std::uint8_t first, std::size_t count)
{
    Bytes bytes(count);
    for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>(first + i);
    return bytes;
}

// --- SendTxBuffer

TEST_F(ReplyAssembly, FrameCarriesTheRequestAndOneTrailingZero)
{
    state().CurrentCommand = 0xB6;
    state().TxBuf[0] = 0xB6;
    state().TxBuf[1] = 0x12;
    state().TxBuf[2] = 0x34;
    state().TxBuf[3] = 0x77;  // beyond Count: must not go out
    state().NakReceived = true;
    comm.SendTxBuffer(3);
    ASSERT_EQ(port.writes.size(), 1u);
    EXPECT_EQ(port.writes[0], (Bytes{0xB6, 0x12, 0x34, 0x00}));
    EXPECT_FALSE(state().NakReceived);
}

TEST_F(ReplyAssembly, IdleLinkSendsNothingAndKeepsAnEarlierRejection)
{
    state().CurrentCommand = -1;
    state().NakReceived = true;
    comm.SendTxBuffer(1);
    EXPECT_TRUE(port.writes.empty());
    EXPECT_TRUE(state().NakReceived);
}

TEST_F(ReplyAssembly, RefusedWriteIsARunTimeError)
{
    state().CurrentCommand = 0x84;
    port.refuse = true;
    EXPECT_THROW(comm.SendTxBuffer(1), pelora::LinkRuntimeError);
}

TEST_F(ReplyAssembly, ConstructorRoutesReceivedBytesToTheAssembler)
{
    expect(0xB5, 1);
    port.Deliver({'Z'});
    EXPECT_TRUE(state().ReplyDone);
}

// --- identification (0x84)

TEST_F(ReplyAssembly, IdentificationInOnePlusSeventeenBytesCompletesInOrder)
{
    expect(0x84, 18);
    const Bytes reply = Sequence(0x30, 18);
    port.Deliver({reply[0]});
    EXPECT_FALSE(state().ReplyDone);
    EXPECT_EQ(state().CurrentCommand, 0x84);
    port.Deliver(Bytes(reply.begin() + 1, reply.end()));
    EXPECT_TRUE(state().ReplyDone);
    EXPECT_EQ(state().CurrentCommand, -1);
    EXPECT_EQ(Bytes(state().RxBuf.begin(), state().RxBuf.begin() + 18), reply);
}

TEST_F(ReplyAssembly, IdentificationIsNotJudgedByItsFirstByte)
{
    expect(0x84, 18);
    Bytes reply = Sequence(0x40, 18);
    reply[0] = 0x00;
    port.Deliver(reply);
    EXPECT_TRUE(state().ReplyDone);
    EXPECT_FALSE(state().NakReceived);
}

TEST_F(ReplyAssembly, LateDuplicateOfACompletedReplyIsDropped)
{
    expect(0x84, 18);
    const Bytes reply = Sequence(0x41, 18);
    port.Deliver(reply);
    port.Deliver(Sequence(0x90, 18));
    EXPECT_EQ(state().RxCount, 18);
    EXPECT_EQ(Bytes(state().RxBuf.begin(), state().RxBuf.begin() + 18), reply);
}

// --- sleep mode (0xA8), restart rule

TEST_F(ReplyAssembly, SleepModeRejectedThenAcceptedCompletesWithoutResetCount)
{
    expect(0xA8, 1);
    port.Deliver({0xA5});
    EXPECT_TRUE(state().NakReceived);
    EXPECT_FALSE(state().ReplyDone);
    port.Deliver({'Z'});
    EXPECT_TRUE(state().ReplyDone);
    EXPECT_EQ(state().RxBuf[0], 'Z');
    EXPECT_EQ(state().RxCount, 2);
    EXPECT_EQ(state().CurrentCommand, -1);
}

TEST_F(ReplyAssembly, SleepModeReplyMustStartWithZ)
{
    expect(0xA8, 1);
    port.Deliver({0x00, 'Z'});
    EXPECT_FALSE(state().ReplyDone);
    EXPECT_FALSE(state().NakReceived);
}

// --- code revision (0xBA)

TEST_F(ReplyAssembly, RevisionCompletesOnTwoBytesWhateverTheFirst)
{
    expect(0xBA, 2);
    port.Deliver({0x11, 0x07});
    EXPECT_TRUE(state().ReplyDone);
    EXPECT_EQ(state().RxBuf[1], 0x07);
}

// --- block read (0xB4)

TEST_F(ReplyAssembly, BlockReplyCompletesOnlyWithZAndAllBytes)
{
    expect(0xB4, 129);
    Bytes reply = Sequence(1, 129);
    reply[0] = 'Z';
    port.Deliver(Bytes(reply.begin(), reply.begin() + 128));
    EXPECT_FALSE(state().ReplyDone);
    port.Deliver(Bytes(reply.begin() + 128, reply.end()));
    EXPECT_TRUE(state().ReplyDone);
    EXPECT_EQ(state().CurrentCommand, -1);
    EXPECT_EQ(Bytes(state().RxBlockBuf.begin(), state().RxBlockBuf.begin() + 129), reply);
    EXPECT_EQ(state().RxBuf[1], 0) << "block replies go to their own buffer";
}

TEST_F(ReplyAssembly, BlockReplyNotStartingWithZNeverCompletes)
{
    expect(0xB4, 129);
    port.Deliver(Sequence(0x20, 129));
    port.Deliver(Sequence(0x20, 40));
    EXPECT_FALSE(state().ReplyDone);
    EXPECT_FALSE(state().NakReceived);
}

TEST_F(ReplyAssembly, BlockReplyStartingWithA5IsARejection)
{
    expect(0xB4, 129);
    port.Deliver({0xA5});
    EXPECT_TRUE(state().NakReceived);
    EXPECT_FALSE(state().ReplyDone);
    EXPECT_EQ(state().CurrentCommand, 0xB4);
}

// --- write group

TEST_F(ReplyAssembly, WriteRejectionIsBothRejectedAndDone)
{
    expect(0xB5, 1);
    port.Deliver({0xA5});
    EXPECT_TRUE(state().NakReceived);
    EXPECT_TRUE(state().ReplyDone);
}

TEST_F(ReplyAssembly, WriteAcceptanceKeepsTheCommandCurrent)
{
    for (const std::uint8_t command : {0xB2, 0xB5, 0xB6, 0xB7, 0xB8, 0xB9, 0x97}) {
        expect(command, 1);
        port.Deliver({'Z'});
        EXPECT_TRUE(state().ReplyDone) << int(command);
        EXPECT_FALSE(state().NakReceived) << int(command);
        EXPECT_EQ(state().CurrentCommand, command);
    }
}

TEST_F(ReplyAssembly, WriteReplyMustStartWithZ)
{
    expect(0xB6, 1);
    port.Deliver({0x00});
    port.Deliver({'Z'});  // second byte of the reply, not its first
    EXPECT_FALSE(state().ReplyDone);
    EXPECT_EQ(state().RxCount, 2);
}

// --- idle and unknown commands

TEST_F(ReplyAssembly, BytesWhileIdleChangeNothing)
{
    expect(-1, 0);
    state().RxBuf[0] = 0x33;
    state().RxBlockBuf[0] = 0x44;
    port.Deliver({'Z', 0xA5, 0x01});
    EXPECT_EQ(state().RxCount, 0);
    EXPECT_EQ(state().RxBuf[0], 0x33);
    EXPECT_EQ(state().RxBlockBuf[0], 0x44);
    EXPECT_FALSE(state().ReplyDone);
    EXPECT_FALSE(state().NakReceived);
    EXPECT_EQ(state().CurrentCommand, -1);
}

TEST_F(ReplyAssembly, BytesForAnUnknownCommandEndTheExchange)
{
    expect(0x42, 0);
    port.Deliver({'Z'});
    EXPECT_EQ(state().RxCount, 0);
    EXPECT_FALSE(state().ReplyDone);
    EXPECT_EQ(state().CurrentCommand, -1);
}

// --- buffer ends

TEST_F(ReplyAssembly, BytesBeyondTheBufferAreDiscarded)
{
    state().ResizeReceiveBuffers(10);
    expect(0x84, 18);
    port.Deliver(Sequence(0x61, 25));
    EXPECT_EQ(state().RxBuf.size(), 10u);
    EXPECT_EQ(Bytes(state().RxBuf.begin(), state().RxBuf.end()), Sequence(0x61, 10));
    EXPECT_TRUE(state().ReplyDone);

    expect(0xB4, 129);
    Bytes block = Sequence(0, 300);
    block[0] = 'Z';
    port.Deliver(block);
    EXPECT_EQ(state().RxBlockBuf.size(), 10u);
    EXPECT_EQ(state().RxBlockBuf[9], 9);
}

TEST_F(ReplyAssembly, LongSleepReplyDoesNotOverrunASmallBuffer)
{
    state().ResizeReceiveBuffers(1);
    expect(0xA8, 1);
    port.Deliver(Sequence('Z', 50));
    EXPECT_TRUE(state().ReplyDone);
    EXPECT_EQ(state().RxBuf.size(), 1u);
}

}  // namespace
