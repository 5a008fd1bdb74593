// The image file: its reader, fwrtool, and the start-up step that loads it.
#include "ImageWriter.h"
#include "firmware/GetCode.h"
#include "link/LinkState.h"
#include "platform/Dialogs.h"
#include "platform/StringTable.h"
#include "platform/TaskLog.h"
#include "support/TestTexts.h"
#include "texts/Configuration.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <tuple>
#include <unistd.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/wait.h>
#endif

using pelora::Dialogs;
using Bytes = std::vector<std::uint8_t>;
using L = pelora::ImageLayout;

namespace {

fwrtool::ImageSpec Spec(L layout, int blocks1, int blocks2)
{
    fwrtool::ImageSpec spec;
    spec.Layout = layout, spec.Code1BlockCount = blocks1, spec.Code2BlockCount = blocks2;
    return spec;
}

// Byte i of record n, as the file counts them: records from 1, bytes from 0.
std::uint8_t& At(Bytes& bytes, std::size_t record, std::size_t byte)
{
    return bytes.at(fwrtool::RecordOffset(record) + byte);
}

std::optional<pelora::FirmwareImage> Load(const Bytes& bytes)
{
    pelora::ImageReadResult result = pelora::ParseFirmwareImage(bytes);
    if (!result.Loaded()) ADD_FAILURE() << "not loaded: " << result.Failure.Reason();
    return std::move(result.Image);
}

struct TempDir {
    std::filesystem::path path = std::filesystem::temp_directory_path() / ("fwtest-" + std::to_string(::getpid()));
    TempDir() { std::filesystem::create_directories(path); }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string Write(const Bytes& bytes) const
    {
        std::ofstream(path / "PELORA.1D.FWR", std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return (path / "PELORA.1D.FWR").string();
    }
};

#ifndef _WIN32  // the tools run where the tests are built
// fwrtool's exit code and standard output.
std::pair<int, std::string> RunFwrtool(const std::string& arguments)
{
    FILE* pipe = ::popen(("'" PELORA_FWRTOOL "' " + arguments + " 2>/dev/null").c_str(), "r");
    std::string output;
    char buffer[512];
    while (pipe && std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
    const int status = pipe ? ::pclose(pipe) : -1;
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}
#endif

using Row = std::tuple<int, std::string, std::string>;                               // icon, event, status
using Box = std::tuple<Dialogs::Icon, Dialogs::Buttons, std::string, std::string>;  // ..., title, text

// GetCode with the task log and the message boxes recorded.
class GetCodeTest : public ::testing::Test, public pelora::TaskLog, public Dialogs {
protected:
    void InsertTaskList(int icon, const std::string& event, const std::string& status) override
    {
        rows.emplace_back(icon, event, status);
    }
    void SetTaskStatus(const std::string& status) override { std::get<2>(rows.at(rows.size() - 1)) = status; }
    Answer Show(Dialogs::Icon icon, Buttons buttons, const std::string& title, const std::string& text) override
    {
        boxes.emplace_back(icon, buttons, title, text);
        return Answer::Ok;
    }
    bool Run(const std::filesystem::path& path)
    {
        rows.clear(), boxes.clear(), resets = 0, link.CommFailed = false, link.RxBuf.assign(7, 0x55);
        return GetCode(path, image, {*this, *this, texts, link, [this] { ++resets; }});
    }
    std::string Text(int id) const { return texts.GetText(id); }

    TempDir dir;
    const pelora::TextSource& texts = testsupport::EnglishTexts();
    std::vector<Row> rows;
    std::vector<Box> boxes;
    pelora::LinkState link;
    pelora::ImageState image;
    int resets = 0;
};

}  // namespace

// Written byte by byte, so that the reader is not checked against our writer alone.
TEST(ImageReader, ReadsAHandMadeImage)
{
    const std::uint8_t mask[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    const std::uint8_t plain[8] = {0x02, 0x01, '1', 'C', 0x00, 0x5A, 0x02, 0x00};  // 513, "1C", sum 0x5A, 512
    Bytes bytes(2 * pelora::ImageRecordSize, 0);
    for (std::size_t i = 0; i < 8; ++i) bytes[i] = plain[i] ^ mask[i], bytes[8 + i] = mask[i];
    bytes[17] = bytes[31] = 1;                                         // one block, and the marker equal to it
    bytes[18] = 0x0B, bytes[21] = 7, bytes[22] = 0x12, bytes[24] = 9;  // region-2 values to ignore; revision
    bytes[32] = 'A' ^ 0x11, bytes[33] = 'B' ^ 0x22, bytes[35] = 'C' ^ 0x11;  // the mask restarts for each text
    At(bytes, 2, 0) = 0x20, At(bytes, 2, 130) = 0x5A;
    pelora::BlockTable::Row block{0x2000};
    for (std::size_t i = 0; i < 128; ++i) At(bytes, 2, 2 + i) = static_cast<std::uint8_t>(i ^ 0x5A), block[1 + i] = i;
    block[129] = 0x5A;

    const auto image = Load(bytes);
    ASSERT_TRUE(image);
    EXPECT_EQ(std::tuple(image->ModelNumber, image->ImageCodeVersion, image->MemorySize, image->ImageRevision,
                         image->ImageProductName, image->ImageModelKey, image->Layout()),
              std::tuple(513, "1C", 512, 9, "AB", "C", L::Code1Only));
    EXPECT_EQ(std::tuple(image->Code1BlockCount, image->Code1Checksum, image->Code1Sum, image->Code2BlockCount,
                         image->Code2Checksum, image->Code2Parameter),
              std::tuple(1, 0x5A, 0x5A, 0, 0, 0));
    EXPECT_EQ(image->Code1Blocks.Block(1), block);
}

TEST(ImageReader, ImagesAtTheLimitsLoad)
{
    EXPECT_TRUE(Load(fwrtool::WriteImage(Spec(L::Code1Only, 0, 0))));
    EXPECT_TRUE(Load(fwrtool::WriteImage(Spec(L::BothCodes, 4, 0))));

    fwrtool::ImageSpec spec = Spec(L::Code1Only, 1, 0);
    spec.ProductName = std::string(40, 'P'), spec.ModelKey = std::string(57, 'K');  // its zero byte is byte 130
    spec.Code1Start = 0x7FFF;
    const auto edge = Load(fwrtool::WriteImage(spec));
    ASSERT_TRUE(edge);
    EXPECT_EQ(std::tuple(edge->ImageModelKey, edge->Code1Blocks.Block(1)[0]), std::tuple(spec.ModelKey, 0x7FFF));

    // The record between the regions is skipped whatever it holds; bytes that no record needs are ignored.
    Bytes both = fwrtool::WriteImage(Spec(L::BothCodes, 2, 2));
    std::fill_n(&At(both, 4, 0), pelora::ImageRecordSize, 0xFF);
    both.resize(both.size() + 500, 0xEE);
    const auto bothImage = Load(both);
    ASSERT_TRUE(bothImage);
    EXPECT_EQ(std::tuple(bothImage->Code2Blocks.Block(2)[0], bothImage->Code2Blocks.Block(1)[129]),
              std::tuple(0x4000 + 8, At(both, 5, 130)));

    fwrtool::PutU16(both, 30, 2);  // the marker equals both counts: region 1 alone counts
    const auto first = Load(both);
    ASSERT_TRUE(first);
    EXPECT_EQ(std::tuple(first->Layout(), first->Code1BlockCount, first->Code2BlockCount, first->Code2Checksum),
              std::tuple(L::Code1Only, 2, 0, 0));
}

#ifndef _WIN32
TEST(Fwrtool, MakeThenInfoRoundTripsEveryLayoutAndRefusesInvalidImages)
{
    TempDir dir;
    const std::string file = "'" + dir.Write({}) + "'";
    const std::pair<std::string, std::string> cases[] = {  // options; info lines expected besides the checksums
        {"Code1Only", "code1_blocks=64|code2_blocks=0|version=1C|revision=1|model_number=513|memory_size=512|"
                      "product=Pelora 1D|model_key=PELORA|code2_parameter=0"},
        {"Code2Only --code2-blocks 7 --code2-parameter 0x1234 --revision 9 --model-number 600 --version 2A",
         "code1_blocks=0|code2_blocks=7|code2_parameter=4660|revision=9|model_number=600|version=2A"},
        // 1024 blocks, whose check bytes sum past 65536.
        {"BothCodes --code1-blocks 3 --code2-blocks 1024 --code2-start 0x5000 --code2-parameter 17 "
         "--memory-size 1024 --product 'P\xC3\xA9lora\xE2\x84\xA2 Sport' --model-key PSPORT",
         "code1_blocks=3|code2_blocks=1024|code2_parameter=17|memory_size=1024|product=P\xC3\xA9lora\xE2\x84\xA2 Sport"},
    };
    for (const auto& [options, expected] : cases) {
        SCOPED_TRACE(options);
        ASSERT_EQ(RunFwrtool("make --layout " + options + " " + file).first, 0);
        const auto image = pelora::ReadFirmwareImage(dir.path / "PELORA.1D.FWR").Image;
        ASSERT_TRUE(image);
        auto [exitCode, output] = RunFwrtool("info " + file);
        EXPECT_EQ(exitCode, 0);
        std::replace(output.begin(), output.end(), '\n', '|');
        for (const std::string& line : pelora::SplitFields(
                 expected + "|layout=" + options.substr(0, options.find(' ')) + "|code1_checksum=" +
                     std::to_string(image->Code1Sum) + "|code2_checksum=" + std::to_string(image->Code2Sum), '|'))
            EXPECT_NE(("|" + output).find("|" + line + "|"), std::string::npos) << line;
    }

    const std::string out = "'" + (dir.path / "x").string() + "'";
    const std::string refused[] = {
        "--code1-blocks 1025", "--code1-start 0x7FF9 --code1-blocks 2", "--product ''", "--model-key ''",
        "--version 1", "--layout Code3", "--product " + std::string(60, 'p') + " --model-key " + std::string(38, 'k'),
        "--product '\xCE\xA9'", "--revision 256", "--seed"};
    for (const std::string& options : refused) {
        EXPECT_EQ(RunFwrtool("make " + options + " " + out).first, 1) << options;
        EXPECT_FALSE(std::filesystem::exists(dir.path / "x")) << options;
    }
    EXPECT_EQ(RunFwrtool("info " + out).first, 1);
}
#endif

TEST_F(GetCodeTest, GoodImageLoadsAndShowsItsVersion)
{
    const std::tuple<L, int, std::string> cases[] = {  // the revision shows unless Code1Only has it outside 1..99
        {L::Code1Only, 0, ": 1C"},    {L::Code1Only, 1, ": 1C.01"},  {L::Code1Only, 99, ": 1C.99"},
        {L::Code1Only, 100, ": 1C"},  {L::Code2Only, 0, ": 1C.00"},  {L::Code2Only, 123, ": 1C.123"},
        {L::BothCodes, 0, ": 1C.00"}, {L::BothCodes, 255, ": 1C.255"},
    };
    for (const auto& [layout, revision, ending] : cases) {
        SCOPED_TRACE(revision);
        fwrtool::ImageSpec spec = Spec(layout, 2, 2);
        spec.Revision = static_cast<std::uint8_t>(revision), spec.ProductName = "P\xE9lora\x99", spec.MemorySize = 1024;
        ASSERT_TRUE(Run(dir.Write(fwrtool::WriteImage(spec))));
        EXPECT_EQ(rows, (std::vector<Row>{{0, Text(776), Text(777)}, {0, Text(778), Text(777)},
                                          {1, "P\xC3\xA9lora\xE2\x84\xA2, " + Text(781) + ending, ""}}));
        EXPECT_EQ(std::tuple(image.Layout(), image.MinCodeVersion, image.RevisionSetting), std::tuple(layout, "1A", 0));
        EXPECT_EQ(std::tuple(boxes.size(), link.CommFailed, resets), std::tuple(0, false, 0));
        EXPECT_EQ(link.RxBuf, std::vector<std::uint8_t>(1024 * 136 + 2, 0));
    }
}

TEST_F(GetCodeTest, MissingFileOrFolderEndsSilently)
{
    for (const auto& path : {dir.path / "none.FWR", dir.path}) {
        EXPECT_FALSE(Run(path));
        EXPECT_EQ(rows, (std::vector<Row>{{0, Text(776), "..."}}));
        EXPECT_EQ(std::tuple(boxes.size(), link.CommFailed, resets, link.RxBuf.size()), std::tuple(0, true, 1, 7));
        EXPECT_EQ(pelora::ReadFirmwareImage(path).Failure.kind, pelora::ImageFailure::Kind::FileMissing);
    }
}

// Every kind of damage the reader refuses, each next to the limit it breaks, with the reason given for it:
// the error code, the checksum message, or "" for a file error without code.
TEST_F(GetCodeTest, DamagedImagesAreRefusedWithTheirReason)
{
    using fwrtool::PutU16, fwrtool::PutMaskedHeaderU16, fwrtool::WriteImage;
    const auto damaged = [](Bytes bytes, auto&& damage) { return damage(bytes), bytes; };
    const auto lastByte = [](Bytes& b) { b.pop_back(); };
    const Bytes code1 = WriteImage(Spec(L::Code1Only, 3, 0)), both = WriteImage(Spec(L::BothCodes, 2, 2));
    const std::tuple<const char*, std::string, Bytes> cases[] = {
        {"ProductNameEmpty", "4", damaged(code1, [](Bytes& b) { At(b, 1, 32) = 0; })},
        {"BothTextsEmpty", "5", damaged(code1, [](Bytes& b) { At(b, 1, 32) = At(b, 1, 33) = 0; })},
        // The code of an empty text outlives any later fault.
        {"EmptyNameAndWrongSum", "4", damaged(code1, [](Bytes& b) { At(b, 1, 32) = 0, PutMaskedHeaderU16(b, 4, 0); })},
        {"EmptyNameAndShortFile", "4", damaged(code1, [](Bytes& b) { At(b, 1, 32) = 0, b.pop_back(); })},
        {"TextsWithoutEnd", "", damaged(code1, [](Bytes& b) { std::fill(&At(b, 1, 32), &At(b, 1, 130) + 1, 0x41); })},
        {"NameEndsAtByte130", "",
         damaged(code1, [](Bytes& b) { std::fill(&At(b, 1, 32), &At(b, 1, 130), 0x41), At(b, 1, 130) = 0; })},
        {"Address0x8000", "", damaged(code1, [](Bytes& b) { PutU16(b, fwrtool::RecordOffset(2), 0x8000); })},
        // Block 1025 present and counted in a matching checksum: still refused.
        {"Region1025Blocks", "", damaged(WriteImage(Spec(L::Code1Only, 1024, 0)), [](Bytes& b) {
             const auto sum = static_cast<std::uint16_t>(pelora::ParseFirmwareImage(b).Image->Code1Sum + b.back());
             b.insert(b.end(), b.end() - pelora::ImageRecordSize, b.end());
             PutU16(b, 16, 1025), PutU16(b, 30, 1025), PutMaskedHeaderU16(b, 4, sum);
         })},
        {"SkippedRecordMissing", "",
         damaged(WriteImage(Spec(L::BothCodes, 2, 0)), [](Bytes& b) { b.resize(b.size() - pelora::ImageRecordSize); })},
        {"HeaderCut", "", Bytes(130, 0x41)},
        {"Code1OnlyLastByte", "", damaged(code1, lastByte)},
        {"Code2OnlyLastByte", "", damaged(WriteImage(Spec(L::Code2Only, 0, 3)), lastByte)},
        {"BothCodesLastByte", "", damaged(both, lastByte)},
        {"Code1OnlyBlockByte", "Check sum error 1!", damaged(code1, [](Bytes& b) { At(b, 3, 130) ^= 0x01; })},
        {"Code2OnlySum", "Check sum error 1!",
         damaged(WriteImage(Spec(L::Code2Only, 0, 3)), [](Bytes& b) { PutU16(b, 18, 0); })},
        {"EmptyRegionWithSum", "Check sum error 1!",
         damaged(WriteImage(Spec(L::Code2Only, 0, 0)), [](Bytes& b) { PutU16(b, 18, 1); })},
        {"BothCodesRegion1Sum", "Check sum error 2!", damaged(both, [](Bytes& b) { PutMaskedHeaderU16(b, 4, 0); })},
        {"BothCodesRegion2Block", "Check sum error 3!", damaged(both, [](Bytes& b) { At(b, 6, 130) ^= 0x40; })},
        {"BothCodesBothSums", "Check sum error 2!",  // region 1 is checked first
         damaged(both, [](Bytes& b) { PutU16(b, 18, 0), PutMaskedHeaderU16(b, 4, 0); })},
        // With region 1's count apart from the marker, the marker selects region 2,
        // read from record 2 on: records 2 and 3 hold region 1's check bytes.
        {"MarkerSelectsRegion2", "Check sum error 1!",
         damaged(both, [](Bytes& b) { PutU16(b, 30, 2), PutU16(b, 16, 3); })},
    };
    for (const auto& [name, reason, bytes] : cases) {
        SCOPED_TRACE(name);
        const bool checksum = reason.starts_with("Check sum");
        const std::string file = dir.Write(bytes);
        EXPECT_FALSE(Run(file));
        const std::string text = checksum ? reason : Text(779) + " " + reason + "!";
        EXPECT_EQ(boxes, (std::vector<Box>{{Dialogs::Icon::Stop, Dialogs::Buttons::Ok, Text(280), text}}));
        EXPECT_EQ(rows, (std::vector<Row>{{0, Text(776), Text(777)}, {0, Text(778), "..."}}));
        EXPECT_EQ(std::tuple(link.CommFailed, resets, link.RxBuf.size()), std::tuple(true, checksum ? 0 : 1, 7));
#ifndef _WIN32
        // fwrtool gives the same reason; a file error without code names what was wrong.
        const std::string expected = reason.empty() ? pelora::ParseFirmwareImage(bytes).Failure.Detail : reason;
        EXPECT_EQ(RunFwrtool("info '" + file + "'"), std::pair(1, "error=" + expected + "\n"));
#endif
    }
}

// The image's texts are Windows-1252 where the system has no ANSI code page
// of its own (and on a Windows that uses it), not ISO 8859-1, whose
// 0x80-0x9F are invisible control characters.
TEST(ImageTexts, DecodeAsTheWesternCodePage)
{
    const std::pair<std::string, std::string> cases[] = {
        {"A~", "A~"},           {"\x80", "\xE2\x82\xAC"}, {"\x99", "\xE2\x84\xA2"}, {"\x83", "\xC6\x92"},
        {"\x9F", "\xC5\xB8"}, {"\x81", "\xC2\x81"},     {"\xA0\xE9\xFF", "\xC2\xA0\xC3\xA9\xC3\xBF"}};
    for (const auto& [ansi, utf8] : cases) {
        EXPECT_EQ(pelora::Windows1252ToUtf8(ansi), utf8) << ansi;
#ifdef _WIN32
        if (GetACP() != 1252) continue;
#endif
        EXPECT_EQ(pelora::AnsiToUtf8(ansi), utf8) << ansi;
    }
}

TEST(DeviceConfiguration, FifthFieldGivesMinimumVersionAndRevisionSetting)
{
    const std::tuple<std::string, std::string, int> cases[] = {
        {"KALO|PELORA|512|6866|1B07", "1B", 7}, {"a|b|c|d|1C42", "1C", 42}, {"a|b|c|d|1CAB", "1C", 0},
        {"a|b|c|d", "", 0}};
    for (const auto& [text, minimum, revision] : cases) {
        const pelora::DeviceConfiguration config = pelora::ReadDeviceConfiguration(text);
        EXPECT_EQ(std::tuple(config.MinCodeVersion, config.RevisionSetting), std::tuple(minimum, revision)) << text;
    }
}
