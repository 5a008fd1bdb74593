// Identification and control commands against the emulated device.
// Silence, stop flags, rejections and error paths are in WaitsAndResendsTest.
#include "LinkFixture.h"

namespace {

using namespace linktest;

class Command : public LinkFixture {};

// --- ReadDeviceId

TEST_F(Command, IdentificationTextIsReplyBytesOneToSixteen)
{
    ASSERT_TRUE(comm.ReadDeviceId());
    EXPECT_EQ(sent(), (std::vector<Bytes>{Frame({0x84})}));
    EXPECT_EQ(comm.DeviceIdText, harness.Dev().IdText());
    EXPECT_TRUE(comm.CheckDeviceId(comm.DeviceIdText, "pelora"));
    EXPECT_EQ(comm.DeviceCodeVersion, harness.Dev().CodeVersion());

    // A reply in small pieces is assembled in order.
    harness.Faults().ChunkReplies(5, 0.01);
    comm.DeviceIdText.clear();
    EXPECT_TRUE(comm.ReadDeviceId());
    EXPECT_EQ(comm.DeviceIdText, harness.Dev().IdText());
}

// --- SetSleepMode

TEST_F(Command, DeepSleepIsAcknowledged)
{
    comm.DeepSleepRequest = true;
    state().CommFailed = true;  // cleared at the start
    EXPECT_TRUE(comm.SetSleepMode());
    EXPECT_FALSE(state().CommFailed);
    EXPECT_EQ(sent(), (std::vector<Bytes>{Frame({0xA8, 0x55})}));
    harness.Pump().Yield(harness.Now() + 0.1);
    EXPECT_EQ(harness.Dev().CurrentMode(), sim::Mode::DeepSleep);
}

TEST_F(Command, LateSleepAnswerAfterTwoResends)
{
    harness.Faults().SetLatency(2.5);
    EXPECT_TRUE(comm.SetSleepMode());
    ASSERT_EQ(sent().size(), 3u);
    expectSpacing(1.0);
    EXPECT_NEAR(harness.Now(), 2.5, 1e-3);
}

TEST_F(Command, SleepModeByteIsReadAtEverySend)
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

// --- SetDeviceClock

TEST_F(Command, ClockRecordForNewYearsEveAfternoon)
{
    comm.SetDeviceClock("12/31/26", "13:05:09", 233);
    EXPECT_FALSE(state().CommFailed);
    EXPECT_EQ(sent(), (std::vector<Bytes>{Frame({0x97}),
                                          Frame({0x26, 0x31, 0x12, 0x09, 0x05, 0x81, 0xE9, 0x00, 0xE1})}));
    const auto clock = harness.Dev().Clock();
    ASSERT_TRUE(clock.has_value());
    EXPECT_EQ(std::vector<int>({clock->year, clock->month, clock->day, clock->hour, clock->minute, clock->second,
                                clock->flag}),
              std::vector<int>({26, 12, 31, 13, 5, 9, 0xE9}));

}

TEST_F(Command, RunTimeErrorsReachTheCallerBeforeAnySend)
{
    EXPECT_THROW(comm.SetDeviceClock("12/31/26", "1x:05:09", 233), pelora::LinkRuntimeError);
    EXPECT_THROW(comm.SendCode2Word(-1), pelora::LinkRuntimeError);
    EXPECT_TRUE(sent().empty());
    harness.Port().Close();
    EXPECT_THROW(comm.SetDeviceClock("12/31/26", "13:05:09", 233), pelora::LinkRuntimeError);
    EXPECT_THROW(comm.ReadDeviceId(), pelora::LinkRuntimeError);
}

// --- Delay and bytes while idle

TEST_F(Command, DelayLetsNoReplyIn)
{
    ExpectReply(state(), 0xBA, 2);
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

TEST_F(Command, StrayBytesAfterAnExchangeChangeNothing)
{
    harness.Faults().StrayWhileIdle(0.05, {'Z', 0xA5, 0x00});
    ASSERT_TRUE(comm.ReadDeviceId());
    const Bytes before(state().RxBuf.begin(), state().RxBuf.begin() + 20);
    const std::int32_t count = state().RxCount;
    for (int i = 0; i < 20; ++i) harness.Pump().Yield(harness.Now() + 0.1);
    EXPECT_GT(harness.Replies().size(), 5u) << "the device did send stray bytes";
    EXPECT_EQ(Bytes(state().RxBuf.begin(), state().RxBuf.begin() + 20), before);
    EXPECT_EQ(state().RxCount, count);
    EXPECT_FALSE(state().NakReceived);
    EXPECT_TRUE(comm.ReadDeviceId());
    EXPECT_EQ(comm.DeviceIdText, harness.Dev().IdText());
}

}  // namespace
