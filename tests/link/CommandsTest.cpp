// Identification and control commands against the emulated device.
#include "LinkFixture.h"

namespace {

using linktest::Bytes;
using linktest::Frame;
using linktest::LinkFixture;

class Identification : public LinkFixture {};
class SleepMode : public LinkFixture {};
class CodeRevision : public LinkFixture {};
class DeviceClock : public LinkFixture {};
class Pause : public LinkFixture {};
class IdleLink : public LinkFixture {};

// --- ReadDeviceId

TEST_F(Identification, TextIsReplyBytesOneToSixteen)
{
    EXPECT_TRUE(comm.ReadDeviceId());
    EXPECT_EQ(sent(), (std::vector<Bytes>{Frame({0x84})}));
    EXPECT_EQ(comm.DeviceIdText, harness.Dev().IdText());
    EXPECT_EQ(comm.DeviceIdText.size(), 16u);
    EXPECT_EQ(state().CurrentCommand, -1);
}

TEST_F(Identification, ReplyInSmallPiecesIsAssembledInOrder)
{
    harness.Faults().ChunkReplies(5, 0.01);
    EXPECT_TRUE(comm.ReadDeviceId());
    EXPECT_EQ(comm.DeviceIdText, harness.Dev().IdText());
    EXPECT_EQ(sent().size(), 1u);
}

TEST_F(Identification, IdentifiesAsTheImageExpects)
{
    ASSERT_TRUE(comm.ReadDeviceId());
    EXPECT_TRUE(comm.CheckDeviceId(comm.DeviceIdText, "pelora"));
    EXPECT_EQ(comm.DeviceCodeVersion, harness.Dev().CodeVersion());
}

TEST_F(Identification, SilentDeviceCostsTwentyTwoSeconds)
{
    comm.DeviceIdText = "unchanged";
    harness.Faults().UnplugAt(0.0);
    EXPECT_FALSE(comm.ReadDeviceId());
    EXPECT_EQ(comm.DeviceIdText, "unchanged");
    EXPECT_FALSE(state().CommFailed);
    ASSERT_EQ(sent().size(), 12u);
    expectSpacing(2.0);
    EXPECT_NEAR(harness.Now(), 22.0, 1e-3);
}

TEST_F(Identification, LostReplyIsAskedForAgain)
{
    harness.Faults().DropReplies(1, 0x84);
    EXPECT_TRUE(comm.ReadDeviceId());
    EXPECT_EQ(sent().size(), 2u);
    expectSpacing(2.0);
}

TEST_F(Identification, CancelEndsTheWait)
{
    harness.Faults().UnplugAt(0.0);
    harness.At(3.0, [this] { state().LinkCancel = true; });
    EXPECT_FALSE(comm.ReadDeviceId());
    EXPECT_EQ(sent().size(), 2u);
    EXPECT_NEAR(harness.Now(), 3.0, 1e-3);
}

// --- SetSleepMode

TEST_F(SleepMode, DeepSleepIsAcknowledged)
{
    comm.DeepSleepRequest = true;
    state().CommFailed = true;  // cleared at the start
    EXPECT_TRUE(comm.SetSleepMode());
    EXPECT_FALSE(state().CommFailed);
    EXPECT_EQ(sent(), (std::vector<Bytes>{Frame({0xA8, 0x55})}));
    harness.Pump().Yield(harness.Now() + 0.1);
    EXPECT_EQ(harness.Dev().CurrentMode(), sim::Mode::DeepSleep);
}

TEST_F(SleepMode, RejectedThenAccepted)
{
    harness.Faults().Reject(0xA8, 1);
    EXPECT_TRUE(comm.SetSleepMode());
    EXPECT_EQ(sent(), (std::vector<Bytes>{Frame({0xA8, 0x99}), Frame({0xA8, 0x99})}));
    EXPECT_EQ(state().RxBuf[0], 'Z');
    EXPECT_EQ(state().RxCount, 2);
}

TEST_F(SleepMode, SilentDeviceGetsFiveRequests)
{
    harness.Faults().UnplugAt(0.0);
    EXPECT_FALSE(comm.SetSleepMode());
    EXPECT_TRUE(state().CommFailed);
    ASSERT_EQ(sent().size(), 5u);
    expectSpacing(1.0);
    EXPECT_NEAR(harness.Now(), 4.0, 1e-3);
}

TEST_F(SleepMode, LateAnswerAfterTwoResends)
{
    harness.Faults().SetLatency(2.5);
    EXPECT_TRUE(comm.SetSleepMode());
    ASSERT_EQ(sent().size(), 3u);
    expectSpacing(1.0);
    EXPECT_NEAR(harness.Now(), 2.5, 1e-3);
}

TEST_F(SleepMode, ModeByteIsReadAtEverySend)
{
    comm.DeepSleepRequest = true;
    harness.Faults().UnplugAt(0.0);
    harness.At(1.5, [this] { comm.DeepSleepRequest = false; });
    comm.SetSleepMode();
    const auto frames = sent();
    ASSERT_EQ(frames.size(), 5u);
    EXPECT_EQ(frames[1], Frame({0xA8, 0x55}));
    EXPECT_EQ(frames[2], Frame({0xA8, 0x99}));
}

TEST_F(SleepMode, StopRequestEndsTheWaitForASilentDevice)
{
    harness.Faults().UnplugAt(0.0);
    harness.At(1.5, [this] { state().LinkAbort = true; });
    EXPECT_FALSE(comm.SetSleepMode());
    EXPECT_TRUE(state().CommFailed);
    EXPECT_EQ(sent().size(), 2u) << "no resend after the stop request";
    EXPECT_LT(harness.Now(), 3.0);
}

// --- ReadCodeRevision

class CodeRevision7 : public LinkFixture {
protected:
    static sim::DeviceConfig Config()
    {
        sim::DeviceConfig config;
        config.revision = 7;
        return config;
    }
    CodeRevision7() : LinkFixture(Config()) {}
};

TEST_F(CodeRevision7, SecondReplyByteIsTheRevision)
{
    EXPECT_EQ(comm.ReadCodeRevision(), 7);
    EXPECT_EQ(sent(), (std::vector<Bytes>{Frame({0xBA})}));
}

TEST_F(CodeRevision7, RejectionIsAskedAgain)
{
    harness.Faults().Reject(0xBA, 2);
    EXPECT_EQ(comm.ReadCodeRevision(), 7);
    EXPECT_EQ(sent().size(), 3u);
}

TEST_F(CodeRevision, SilentDeviceGivesZero)
{
    state().RxBuf[1] = 9;
    harness.Faults().UnplugAt(0.0);
    EXPECT_EQ(comm.ReadCodeRevision(), 0);
    ASSERT_EQ(sent().size(), 12u);
    expectSpacing(1.0);
    EXPECT_NEAR(harness.Now(), 11.0, 1e-3);
}

TEST_F(CodeRevision, CancelGivesZero)
{
    harness.Faults().UnplugAt(0.0);
    harness.At(0.5, [this] { state().LinkCancel = true; });
    EXPECT_EQ(comm.ReadCodeRevision(), 0);
    EXPECT_EQ(sent().size(), 1u);
}

// --- StartClockWrite and SetDeviceClock

TEST_F(DeviceClock, RecordForNewYearsEveAfternoon)
{
    comm.SetDeviceClock("12/31/26", "13:05:09", 233);
    EXPECT_FALSE(state().CommFailed);
    EXPECT_EQ(sent(), (std::vector<Bytes>{Frame({0x97}),
                                          Frame({0x26, 0x31, 0x12, 0x09, 0x05, 0x81, 0xE9, 0x00, 0xE1})}));
    const auto clock = harness.Dev().Clock();
    ASSERT_TRUE(clock.has_value());
    EXPECT_EQ(clock->year, 26);
    EXPECT_EQ(clock->month, 12);
    EXPECT_EQ(clock->day, 31);
    EXPECT_EQ(clock->hour, 13);
    EXPECT_EQ(clock->minute, 5);
    EXPECT_EQ(clock->second, 9);
    EXPECT_EQ(clock->flag, 0xE9);
}

TEST_F(DeviceClock, MidnightAndNoonReachTheDevice)
{
    comm.SetDeviceClock("01/02/03", "00:00:00", 233);
    ASSERT_TRUE(harness.Dev().Clock().has_value());
    EXPECT_EQ(harness.Dev().Clock()->hour, 0);
    comm.SetDeviceClock("01/02/03", "12:30:00", 233);
    EXPECT_EQ(harness.Dev().Clock()->hour, 12);
    EXPECT_FALSE(state().CommFailed);
}

TEST_F(DeviceClock, RefusedStartFailsWithoutARecord)
{
    harness.Faults().Reject(0x97, 10);
    comm.SetDeviceClock("12/31/26", "13:05:09", 233);
    EXPECT_TRUE(state().CommFailed);
    ASSERT_EQ(sent().size(), 5u);
    for (const auto& frame : sent()) EXPECT_EQ(frame, Frame({0x97}));
}

TEST_F(DeviceClock, SilentStartIsTriedEveryTenthOfASecond)
{
    harness.Faults().UnplugAt(0.0);
    EXPECT_FALSE(comm.StartClockWrite());
    ASSERT_EQ(sent().size(), 5u);
    expectSpacing(0.1);
}

TEST_F(DeviceClock, RejectedRecordCountsAsAnswered)
{
    harness.Faults().Reject(sim::DataFrame(0x97), 1);
    comm.SetDeviceClock("12/31/26", "13:05:09", 233);
    EXPECT_FALSE(state().CommFailed);
    EXPECT_EQ(sent().size(), 2u);
    EXPECT_FALSE(harness.Dev().Clock().has_value());
}

TEST_F(DeviceClock, UnansweredRecordFailsAfterFourResends)
{
    harness.Faults().DropReplies(10, sim::DataFrame(0x97));
    comm.SetDeviceClock("12/31/26", "13:05:09", 233);
    EXPECT_TRUE(state().CommFailed);
    const auto times = sendTimes();
    ASSERT_EQ(times.size(), 6u);
    for (std::size_t i = 2; i < times.size(); ++i) EXPECT_NEAR(times[i] - times[i - 1], 1.0, 1e-4);
}

TEST_F(DeviceClock, CancelDuringTheRecordIsNoFailure)
{
    harness.Faults().DropReplies(10, sim::DataFrame(0x97));
    harness.At(1.5, [this] { state().LinkCancel = true; });
    comm.SetDeviceClock("12/31/26", "13:05:09", 233);
    EXPECT_FALSE(state().CommFailed);
    EXPECT_EQ(sent().size(), 3u);
}

TEST_F(DeviceClock, BadFieldReachesTheCallerBeforeAnySend)
{
    EXPECT_THROW(comm.SetDeviceClock("12/31/26", "1x:05:09", 233), pelora::LinkRuntimeError);
    EXPECT_TRUE(sent().empty());
}

TEST_F(DeviceClock, ClosedPortReachesTheCaller)
{
    harness.Port().Close();
    EXPECT_THROW(comm.SetDeviceClock("12/31/26", "13:05:09", 233), pelora::LinkRuntimeError);
    EXPECT_THROW(comm.ReadDeviceId(), pelora::LinkRuntimeError);
}

// --- Delay

TEST_F(Pause, DelayLetsNoReplyIn)
{
    state().CurrentCommand = 0xBA;
    state().RxCount = 0;
    state().RxExpected = 2;
    state().ReplyDone = false;
    state().TxBuf[0] = 0xBA;
    comm.SendTxBuffer(1);
    const double start = harness.Now();
    comm.Delay(1.0);
    EXPECT_GT(harness.Now() - start, 1.0);
    EXPECT_LT(harness.Now() - start, 1.01);
    EXPECT_FALSE(state().ReplyDone) << "the reply waits for the next yield";
    harness.Pump().Yield(harness.Now());
    EXPECT_TRUE(state().ReplyDone);
}

// --- bytes while idle

TEST_F(IdleLink, StrayBytesAfterAnExchangeChangeNothing)
{
    harness.Faults().StrayWhileIdle(0.05, {'Z', 0xA5, 0x00});
    ASSERT_TRUE(comm.ReadDeviceId());
    const Bytes before(state().RxBuf.begin(), state().RxBuf.begin() + 20);
    const std::int32_t count = state().RxCount;
    for (int i = 0; i < 20; ++i) harness.Pump().Yield(harness.Now() + 0.1);
    ASSERT_FALSE(harness.Replies().empty());
    EXPECT_GT(harness.Replies().size(), 5u) << "the device did send stray bytes";
    EXPECT_EQ(Bytes(state().RxBuf.begin(), state().RxBuf.begin() + 20), before);
    EXPECT_EQ(state().RxCount, count);
    EXPECT_FALSE(state().NakReceived);
    EXPECT_TRUE(comm.ReadDeviceId());
    EXPECT_EQ(comm.DeviceIdText, harness.Dev().IdText());
}

}  // namespace
