// The identification check and the clock record: pure rules, no device.
#include "FakeLink.h"

#include <gtest/gtest.h>

namespace {

TEST(IdentificationCheck, FieldRules)
{
    struct Case {
        std::string text, key;
        bool accepted;
        std::string version;  // "1A" beforehand: kept unless three or four fields
        std::string textAfter;
    };
    const Case cases[] = {
        {"PELORA 1B", "PELORA", false, "1A", "PELORA 1B"},  // two words are not enough
        {"KALO  pelora V1C", "PELORA", true, "ra", "KALO pelora V1C"},  // a double blank collapses; any case
        {"KALO PELORA V1C 0042", "pelora", true, "1C", "KALO PELORA V1C 0042"},  // four: from the third
        {"KALO PELORA 1C x ", "PELORA", true, "1A", "KALO PELORA 1C x "},  // the trailing blank makes a fifth
        // One pass: three blanks become two, so four fields with the second empty.
        {"KALO   PELORA 1C", "PELORA", true, "RA", "KALO  PELORA 1C"},
        {"KALO MARLO 1C", "PELORA", false, "1A", "KALO MARLO 1C"},
        {"KALO PELORA 1C", "", false, "1A", "KALO PELORA 1C"},  // an empty key matches no device
        {"KALO C PELORA", "PELORA", true, "C", "KALO C PELORA"},  // a short version word gives what it has
    };
    for (const Case& c : cases) {
        linktest::OfflineLink link;
        link.comm.DeviceCodeVersion = "1A";
        std::string text = c.text;
        EXPECT_EQ(link.comm.CheckDeviceId(text, c.key), c.accepted) << c.text;
        EXPECT_EQ(link.comm.DeviceCodeVersion, c.version) << c.text;
        EXPECT_EQ(text, c.textAfter);
    }
}

// --- clock record (the record for 13:05:09 on 12/31/26 is checked on the wire)

TEST(ClockRecord, HoursInTwelveHourFormWithAfternoonFlag)
{
    for (const auto& [hour, packed] : {std::pair{0, 0x00}, {10, 0x10}, {11, 0x11}, {12, 0x92}, {13, 0x81},
                                       {22, 0x90}, {23, 0x91}})
        EXPECT_EQ(pelora::PackedHour(hour), packed) << hour;
}

TEST(ClockRecord, ChecksumWrapsAtAByte)
{
    const auto record = pelora::ClockRecord("09/29/99", "23:59:59", 255);
    unsigned sum = 0;
    for (int i = 0; i < 8; ++i) sum += record[i];
    EXPECT_GT(sum, 255u);
    EXPECT_EQ(record[8], sum % 256);
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
