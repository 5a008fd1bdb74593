// How every transaction waits, resends, stops and refuses, one table per
// behaviour, against the emulated device on the virtual clock.
#include "LinkFixture.h"

#include "sim/Faults.h"

namespace {

using namespace linktest;
using linktest::PrintTo;

const Operation kHeader = [](auto& c) { return int(c.SendBlockHeader(kCodeUnit, 0xB5)); };
const Operation kBlock = [](auto& c) { c.WriteBlock(kCodeUnit, 0xB5); return 0; };
const Operation kChecksum = [](auto& c) { c.SendChecksum(0xB9, 0); return 0; };
const Operation kRead = [](auto& c) { c.ReadMemoryBlocks(16, 16); return 0; };
const Operation kRecordHeader = [](auto& c) { return int(c.SendRecordHeader(4)); };
const Operation kRecord = [](auto& c) { c.WriteRecord(4); return 0; };
const Operation kIdentification = [](auto& c) { return int(c.ReadDeviceId()); };
const Operation kSleep = [](auto& c) { return int(c.SetSleepMode()); };
const Operation kRevision = [](auto& c) { return int(c.ReadCodeRevision()); };
const Operation kClockStart = [](auto& c) { return int(c.StartClockWrite()); };
const Operation kClock = [](auto& c) { c.SetDeviceClock("12/31/26", "13:05:09", 233); return 0; };

// --- a silent device: the same request at every time-out, then the verdict

struct SilenceRow {
    std::string name;
    Operation run;
    int result;
    std::size_t frames;
    double spacing;
    bool failed;
};

class Silence : public LinkTable<SilenceRow> {};

TEST_P(Silence, SameRequestAtEveryTimeOutThenGivesUp)
{
    const SilenceRow& row = GetParam();
    harness.Faults().UnplugAt(0.0);
    comm.DeviceIdText = "unchanged";
    state().RxBuf[1] = 9;  // a stale revision byte
    EXPECT_EQ(row.run(comm), row.result);
    EXPECT_EQ(state().CommFailed, row.failed);
    EXPECT_EQ(comm.DeviceIdText, "unchanged");
    const auto frames = sent();
    ASSERT_EQ(frames.size(), row.frames);
    for (const auto& frame : frames) EXPECT_EQ(frame, frames[0]);
    expectSpacing(row.spacing);
    EXPECT_NEAR(harness.Now(), sendTimes().back(), 1e-3) << "gives up right after the last frame";
}

INSTANTIATE_TEST_SUITE_P(Link, Silence, ::testing::Values(
    SilenceRow{"BlockHeader", kHeader, 0, 12, 0.2, true},
    SilenceRow{"BlockWriteSendsHeadersOnly", kBlock, 0, 12, 0.2, true},
    SilenceRow{"Checksum", kChecksum, 0, 5, 1.0, true},
    SilenceRow{"BlockRead", kRead, 0, 5, 0.2, true},
    SilenceRow{"RecordHeader", kRecordHeader, 0, 12, 0.1, false},
    SilenceRow{"Identification", kIdentification, 0, 12, 2.0, false},
    SilenceRow{"SleepMode", kSleep, 0, 5, 1.0, true},
    SilenceRow{"CodeRevision", kRevision, 0, 12, 1.0, false},
    SilenceRow{"ClockStart", kClockStart, 0, 5, 0.1, false}), RowName<SilenceRow>);

// --- a stop flag set during the wait ends it

struct StopRow {
    std::string name;
    Operation run;
    int droppedData;  // the data frame whose reply is lost; 0: the device is silent
    double at;
    bool abort;       // LinkAbort, else LinkCancel
    double end;
    std::size_t frames;
    bool failed;
};

class StopFlag : public LinkTable<StopRow> {};

TEST_P(StopFlag, EndsTheWait)
{
    const StopRow& row = GetParam();
    if (row.droppedData) harness.Faults().DropReplies(10, sim::DataFrame(static_cast<std::uint8_t>(row.droppedData)));
    else harness.Faults().UnplugAt(0.0);
    harness.At(row.at, [this, &row] { (row.abort ? state().LinkAbort : state().LinkCancel) = true; });
    EXPECT_EQ(row.run(comm), 0);
    EXPECT_EQ(state().CommFailed, row.failed);
    EXPECT_EQ(sent().size(), row.frames) << "no resend after the stop";
    EXPECT_NEAR(harness.Now(), row.end, 1e-3);
}

INSTANTIATE_TEST_SUITE_P(Link, StopFlag, ::testing::Values(
    StopRow{"BlockHeader", kHeader, 0, 0.5, false, 0.5, 3, true},
    StopRow{"BlockWait", kBlock, 0xB5, 0.5, true, 0.5, 2, false},
    StopRow{"BlockRead", kRead, 0, 0.3, true, 0.3, 2, true},
    StopRow{"Identification", kIdentification, 0, 3.0, false, 3.0, 2, false},
    // The sleep wait ends once the try has timed out: a silent device would hold it forever.
    StopRow{"SleepMode", kSleep, 0, 1.5, true, 2.0, 2, true},
    StopRow{"CodeRevision", kRevision, 0, 0.5, false, 0.5, 1, false},
    StopRow{"ClockRecord", kClock, 0x97, 1.5, false, 1.5, 3, false}), RowName<StopRow>);

// --- a rejection (0xA5) is answered at once

struct RejectionRow {
    std::string name;
    Operation run;
    int tag;
    int times;
    int result;
    std::size_t frames;
    bool failed;
};

class Rejection : public LinkTable<RejectionRow> {};

TEST_P(Rejection, IsAnsweredAtOnce)
{
    const RejectionRow& row = GetParam();
    harness.Faults().Reject(row.tag, row.times);
    EXPECT_EQ(row.run(comm), row.result);
    EXPECT_EQ(state().CommFailed, row.failed);
    ASSERT_EQ(sent().size(), row.frames);
    EXPECT_LT(sendTimes().back() - sendTimes().front(), 0.1);
}

INSTANTIATE_TEST_SUITE_P(Link, Rejection, ::testing::Values(
    RejectionRow{"BlockHeaderResent", kHeader, 0xB5, 2, 1, 3, false},
    RejectionRow{"BlockReadResent", kRead, 0xB4, 1, 0, 2, false},
    RejectionRow{"SleepModeResent", kSleep, 0xA8, 1, 1, 2, false},
    RejectionRow{"CodeRevisionResent", kRevision, 0xBA, 2, 7, 3, false},
    RejectionRow{"RecordHeaderSendsNoRecord", kRecord, 0xB2, 1, 0, 1, false},
    RejectionRow{"ClockStartFailsAfterFive", kClock, 0x97, 10, 0, 5, true},
    RejectionRow{"ClockRecordCountsAsAnswered", kClock, sim::DataFrame(0x97), 1, 0, 2, false}),
    RowName<RejectionRow>);

// --- a data frame whose reply never comes

struct DataTimeOutRow {
    std::string name;
    Operation run;
    std::uint8_t command;
    std::size_t frames;
    double spacing;  // between the data frames
    double tail;     // from the last frame to the verdict
};

class DataTimeOut : public LinkTable<DataTimeOutRow> {};

TEST_P(DataTimeOut, FailsAfterItsLastTry)
{
    const DataTimeOutRow& row = GetParam();
    fillBlockBuf(1);
    harness.Faults().DropReplies(20, sim::DataFrame(row.command));
    row.run(comm);
    EXPECT_TRUE(state().CommFailed);
    ASSERT_EQ(sent().size(), row.frames);
    const auto dataTimes = sendTimes(5);  // data frames are longer than any header
    ASSERT_GE(dataTimes.size(), 4u);
    for (std::size_t i = 1; i < dataTimes.size(); ++i) EXPECT_NEAR(dataTimes[i] - dataTimes[i - 1], row.spacing, 0.01);
    EXPECT_NEAR(harness.Now() - sendTimes().back(), row.tail, 1e-3);
}

INSTANTIATE_TEST_SUITE_P(Link, DataTimeOut, ::testing::Values(
    // Four block time-outs, each try with its header, and no fifth send.
    DataTimeOutRow{"Block", kBlock, 0xB5, 8, 1.0, 1.0},
    DataTimeOutRow{"RecordAfterElevenResends", kRecord, 0xB2, 13, 0.2, 0.0},
    DataTimeOutRow{"ClockRecordAfterFourResends", kClock, 0x97, 6, 1.0, 0.0}), RowName<DataTimeOutRow>);

// --- values the request cannot carry end the operation, unsent, as a failure

struct ErrorPathRow {
    std::string name;
    Operation run;
};

class ErrorPath : public LinkTable<ErrorPathRow> {};

TEST_P(ErrorPath, EndsAsAFailureWithoutASend)
{
    EXPECT_EQ(GetParam().run(comm), 0);
    EXPECT_TRUE(state().LinkAbort);
    EXPECT_TRUE(state().LinkCancel);
    EXPECT_TRUE(state().CommFailed);
    EXPECT_TRUE(sent().empty());
}

INSTANTIATE_TEST_SUITE_P(Link, ErrorPath, ::testing::Values(
    ErrorPathRow{"HeaderNegativeAddress", [](auto& c) { return int(c.SendBlockHeader(-8, 0xB5)); }},
    ErrorPathRow{"HeaderAddress0x8000", [](auto& c) { return int(c.SendBlockHeader(0x8000, 0xB7)); }},
    ErrorPathRow{"BlockNegativeAddress", [](auto& c) { c.WriteBlock(-8, 0xB5); return 0; }},
    ErrorPathRow{"ChecksumBeyond16Bits", [](auto& c) { c.SendChecksum(0xB6, 0x10000); return 0; }},
    ErrorPathRow{"ReadNegativeAddress", [](auto& c) { c.ReadMemoryBlocks(-16, -16); return 0; }},
    ErrorPathRow{"RecordNegativeAddress", [](auto& c) { c.WriteRecord(-4); return 0; }}), RowName<ErrorPathRow>);

}  // namespace
