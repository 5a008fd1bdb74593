// The identification check and the clock record: pure rules, no device.
#include "FakeLink.h"
#include "link/CommModule.h"

#include <gtest/gtest.h>

namespace {

using linktest::Bytes;

class IdentificationCheck : public ::testing::Test {
protected:
    linktest::RecordingPort port;
    linktest::StillClock clock;
    linktest::NoEvents pump;
    pelora::CommModule comm{port, clock, pump};
};

TEST_F(IdentificationCheck, TwoWordsAreNotEnough)
{
    std::string text = "PELORA 1B";
    EXPECT_FALSE(comm.CheckDeviceId(text, "PELORA"));
}

TEST_F(IdentificationCheck, ThreeWordsWithDoubleBlankAndOtherCase)
{
    comm.DeviceIdText = "KALO  pelora V1C";
    comm.DeviceCodeVersion = "??";
    EXPECT_TRUE(comm.CheckDeviceId(comm.DeviceIdText, "PELORA"));
    EXPECT_EQ(comm.DeviceIdText, "KALO pelora V1C");
    EXPECT_EQ(comm.DeviceCodeVersion, "ra");
}

TEST_F(IdentificationCheck, FourWordsTakeTheVersionFromTheThird)
{
    std::string text = "KALO PELORA V1C 0042";
    EXPECT_TRUE(comm.CheckDeviceId(text, "pelora"));
    EXPECT_EQ(comm.DeviceCodeVersion, "1C");
}

TEST_F(IdentificationCheck, FiveOrMoreFieldsKeepTheVersion)
{
    comm.DeviceCodeVersion = "1A";
    std::string trailing = "KALO PELORA 1C x ";  // the trailing blank makes a fifth, empty field
    EXPECT_TRUE(comm.CheckDeviceId(trailing, "PELORA"));
    EXPECT_EQ(comm.DeviceCodeVersion, "1A");
}

TEST_F(IdentificationCheck, ThreeBlanksBecomeTwoInOnePass)
{
    std::string text = "KALO   PELORA 1C";
    comm.DeviceCodeVersion = "1A";
    EXPECT_TRUE(comm.CheckDeviceId(text, "PELORA"));
    EXPECT_EQ(text, "KALO  PELORA 1C");
    EXPECT_EQ(comm.DeviceCodeVersion, "RA") << "four fields, the second empty: the version comes from the third";
}

TEST_F(IdentificationCheck, AnotherModelIsRefused)
{
    std::string text = "KALO MARLO 1C";
    comm.DeviceCodeVersion = "1A";
    EXPECT_FALSE(comm.CheckDeviceId(text, "PELORA"));
    EXPECT_EQ(comm.DeviceCodeVersion, "1A");
}

TEST_F(IdentificationCheck, EmptyModelKeyMatchesNoDevice)
{
    std::string text = "KALO PELORA 1C";
    EXPECT_FALSE(comm.CheckDeviceId(text, ""));
}

TEST_F(IdentificationCheck, ShortVersionWordGivesWhatItHas)
{
    std::string text = "KALO C PELORA";
    EXPECT_TRUE(comm.CheckDeviceId(text, "PELORA"));
    EXPECT_EQ(comm.DeviceCodeVersion, "C");
}

// --- clock record

TEST(ClockRecord, AfternoonOnNewYearsEve)
{
    const auto record = pelora::ClockRecord("12/31/26", "13:05:09", 233);
    EXPECT_EQ(Bytes(record.begin(), record.end()), (Bytes{0x26, 0x31, 0x12, 0x09, 0x05, 0x81, 0xE9, 0x00, 0xE1}));
}

TEST(ClockRecord, HoursInTwelveHourFormWithAfternoonFlag)
{
    EXPECT_EQ(pelora::PackedHour(12), 0x92);
    EXPECT_EQ(pelora::PackedHour(0), 0x00);
    EXPECT_EQ(pelora::PackedHour(11), 0x11);
    EXPECT_EQ(pelora::PackedHour(23), 0x91);
    EXPECT_EQ(pelora::PackedHour(13), 0x81);
    EXPECT_EQ(pelora::PackedHour(10), 0x10);
    EXPECT_EQ(pelora::PackedHour(22), 0x90);
}

TEST(ClockRecord, ChecksumWrapsAtAByte)
{
    const auto record = pelora::ClockRecord("09/29/99", "23:59:59", 255);
    unsigned sum = 0;
    for (int i = 0; i < 8; ++i) sum += record[i];
    EXPECT_GT(sum, 255u);
    EXPECT_EQ(record[8], sum % 256);
    EXPECT_EQ(record[5], 0x91);
}

TEST(ClockRecord, FieldsThatAreNotTwoDigitsAreRunTimeErrors)
{
    EXPECT_THROW(pelora::ClockRecord("12/31/2x", "13:05:09", 233), pelora::LinkRuntimeError);
    EXPECT_THROW(pelora::ClockRecord("1/31/26", "13:05:09", 233), pelora::LinkRuntimeError);
    EXPECT_THROW(pelora::ClockRecord("12/31/26", "1:05:09", 233), pelora::LinkRuntimeError);
    EXPECT_THROW(pelora::ClockRecord("12/31/26", "13:-5:09", 233), pelora::LinkRuntimeError);
    EXPECT_THROW(pelora::ClockRecord("", "", 233), pelora::LinkRuntimeError);
    EXPECT_THROW(pelora::ClockRecord("12/31/26", "24:00:00", 233), pelora::LinkRuntimeError);
    EXPECT_THROW(pelora::ClockRecord("12/31/26", "13:05:09", 256), pelora::LinkRuntimeError);
}

}  // namespace
