// Frames and reply assembly, driven byte by byte without a device.
#include "FakeLink.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

using linktest::Bytes;
using linktest::ExpectReply;
using linktest::PrintTo;

class ReplyAssembly : public ::testing::Test, protected linktest::OfflineLink {
protected:
    ReplyAssembly() { state().ResizeReceiveBuffers(512 * 136 + 2); }

    pelora::LinkState& state() { return comm.State(); }
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
    const std::uint8_t request[] = {0xB6, 0x12, 0x34, 0x77};  // the last beyond Count: must not go out
    std::copy(std::begin(request), std::end(request), state().TxBuf.begin());
    state().NakReceived = true;
    comm.SendTxBuffer(3);
    EXPECT_EQ(port.writes, (std::vector<Bytes>{{0xB6, 0x12, 0x34, 0x00}}));
    EXPECT_FALSE(state().NakReceived);
}

TEST_F(ReplyAssembly, IdleLinkSendsNothingAndKeepsAnEarlierRejection)
{
    state().CurrentCommand = -1;
    state().NakReceived = true;
    comm.SendTxBuffer(1);
    EXPECT_TRUE(port.writes.empty());
    EXPECT_TRUE(state().NakReceived);

    state().CurrentCommand = 0x84;
    port.refuse = true;
    EXPECT_THROW(comm.SendTxBuffer(1), pelora::LinkRuntimeError) << "a refused write is a run-time error";
}

// --- the reply rules, one exchange per row: the bytes of each notification
// and the state each leaves behind

struct Step {
    Bytes bytes;
    bool done, rejected;
    std::int16_t command;
    std::int32_t count;
};

struct Exchange {
    std::string name;
    std::int16_t command;
    std::int32_t expected;
    std::vector<Step> steps;
    Bytes reply = {};  // what the reply's buffer then starts with
};

// A write-group command keeps its code current after a 'Z', for the data frame after its header.
Exchange Accepted(std::int16_t write)
{
    return {"WriteAccepted" + std::to_string(write), write, 1, {{{'Z'}, true, false, write, 1}}};
}

class ReplyRule : public ReplyAssembly, public ::testing::WithParamInterface<Exchange> {};

TEST_P(ReplyRule, LeavesTheStateOfItsRule)
{
    ExpectReply(state(), GetParam().command, GetParam().expected);
    for (std::size_t i = 0; i < GetParam().steps.size(); ++i) {
        const Step& step = GetParam().steps[i];
        port.Deliver(step.bytes);
        SCOPED_TRACE("after notification " + std::to_string(i + 1));
        EXPECT_EQ(state().ReplyDone, step.done);
        EXPECT_EQ(state().NakReceived, step.rejected);
        EXPECT_EQ(state().CurrentCommand, step.command);
        EXPECT_EQ(state().RxCount, step.count);
    }
    const auto& buffer = GetParam().command == 0xB4 ? state().RxBlockBuf : state().RxBuf;
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + static_cast<long>(GetParam().reply.size())), GetParam().reply);
}

INSTANTIATE_TEST_SUITE_P(ReplyAssembly, ReplyRule, ::testing::Values(
    Exchange{"IdentificationSplitOnePlusSeventeen", 0x84, 18, {{Sequence(0x30, 1), false, false, 0x84, 1},
                                                               {Sequence(0x31, 17), true, false, -1, 18}},
             Sequence(0x30, 18)},
    Exchange{"IdentificationNotJudgedByItsFirstByte", 0x84, 18, {{Sequence(0, 18), true, false, -1, 18}}},
    Exchange{"LateDuplicateDropped", 0x84, 18, {{Sequence(0x41, 18), true, false, -1, 18},
                                                {Sequence(0x90, 18), true, false, -1, 18}}, Sequence(0x41, 18)},
    Exchange{"SleepModeRejectedThenAccepted", 0xA8, 1, {{{0xA5}, false, true, 0xA8, 1},
                                                        {{'Z'}, true, true, -1, 2}}},
    Exchange{"SleepModeReplyMustStartWithZ", 0xA8, 1, {{{0x00, 'Z'}, false, false, 0xA8, 2}}},
    Exchange{"RevisionWhateverItsFirstByte", 0xBA, 2, {{{0x11, 0x07}, true, false, -1, 2}}},
    Exchange{"BlockCompletesOnlyWithZAndAllBytes", 0xB4, 129, {{Sequence('Z', 128), false, false, 0xB4, 128},
                                                               {Sequence('Z' + 128, 1), true, false, -1, 129}},
             Sequence('Z', 129)},
    Exchange{"BlockNotStartingWithZ", 0xB4, 129, {{Sequence(0x20, 129), false, false, 0xB4, 129},
                                                  {Sequence(0x20, 40), false, false, 0xB4, 169}}},
    Exchange{"BlockStartingWithA5", 0xB4, 129, {{{0xA5}, false, true, 0xB4, 1}}},
    Exchange{"WriteRejectedIsDone", 0xB5, 1, {{{0xA5}, true, true, 0xB5, 1}}},
    Exchange{"WriteReplyMustStartWithZ", 0xB6, 1, {{{0x00}, false, false, 0xB6, 1},
                                                   {{'Z'}, false, false, 0xB6, 2}}},
    Exchange{"BytesWhileIdle", -1, 0, {{{'Z', 0xA5, 0x01}, false, false, -1, 0}}},
    Exchange{"UnknownCommandEndsTheExchange", 0x42, 0, {{{'Z'}, false, false, -1, 0}}},
    Accepted(0xB2), Accepted(0xB5), Accepted(0xB6), Accepted(0xB7), Accepted(0xB8), Accepted(0xB9),
    Accepted(0x97)),
    [](const auto& info) { return info.param.name; });

TEST_F(ReplyAssembly, BytesBeyondTheBufferAreDiscarded)
{
    state().ResizeReceiveBuffers(10);
    ExpectReply(state(), 0x84, 18);
    port.Deliver(Sequence(0x61, 25));
    EXPECT_EQ(Bytes(state().RxBuf.begin(), state().RxBuf.end()), Sequence(0x61, 10));
    EXPECT_TRUE(state().ReplyDone);

    ExpectReply(state(), 0xB4, 129);
    Bytes block = Sequence(0, 300);
    block[0] = 'Z';
    port.Deliver(block);
    EXPECT_EQ(state().RxBlockBuf.size(), 10u);
    EXPECT_EQ(state().RxBlockBuf[9], 9);

    state().ResizeReceiveBuffers(1);
    ExpectReply(state(), 0xA8, 1);
    port.Deliver(Sequence('Z', 50));  // a long sleep reply restarts at the buffer's start
    EXPECT_TRUE(state().ReplyDone);
    EXPECT_EQ(state().RxBuf.size(), 1u);
}

}  // namespace
