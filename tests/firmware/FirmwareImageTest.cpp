// The image file: its reader, and the start-up step that loads it.
#include "ImageWriter.h"
#include "firmware/GetCode.h"
#include "link/LinkState.h"
#include "platform/Dialogs.h"
#include "support/Fakes.h"
#include "support/TestTexts.h"
#include "texts/Configuration.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <tuple>
#include <unistd.h>

using pelora::Dialogs;
using Bytes = std::vector<std::uint8_t>;
using L = pelora::ImageLayout;

namespace {

fwrtool::ImageSpec Spec(L layout, int blocks1, int blocks2)
{
    return {.Layout = layout, .Code1BlockCount = blocks1, .Code2BlockCount = blocks2};
}

// Byte i of record n, as the file counts them: records from 1, bytes from 0.
std::uint8_t& At(Bytes& bytes, std::size_t record, std::size_t byte)
{
    return bytes.at(fwrtool::RecordOffset(record) + byte);
}

struct TempDir {
    std::filesystem::path path = std::filesystem::temp_directory_path() / ("fwtest-" + std::to_string(::getpid()));
    TempDir() { std::filesystem::create_directories(path); }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::filesystem::path Write(const Bytes& bytes, const std::string& name = "PELORA.1D.FWR") const
    {
        std::ofstream(path / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return path / name;
    }
};

// GetCode with the task log and the message boxes recorded.
struct GetCodeTest : ::testing::Test {
    bool Run(const std::filesystem::path& path)
    {
        log.rows.clear(), resets = 0, link.CommFailed = false, link.RxBuf.assign(7, 0x55);
        const pelora::DataFile file{path.string(), {path.string(), "/elsewhere/PELORA.1D.FWR"}};
        return GetCode(file, image, {log, dialogs, texts, link, [this] { ++resets; }});
    }
    std::string Row(int icon, int event, const std::string& status) const
    {
        return std::to_string(icon) + "|" + texts.GetText(event) + "|" + status;
    }
    std::string Text(int id) const { return texts.GetText(id); }

    TempDir dir;
    const pelora::TextSource& texts = testsupport::EnglishTexts();
    testsupport::RecordingTaskLog log;
    testsupport::ScriptedDialogs dialogs;
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

    const auto image = pelora::ParseFirmwareImage(bytes).Image;
    ASSERT_TRUE(image);
    EXPECT_EQ(std::tuple(image->ModelNumber, image->ImageCodeVersion, image->MemorySize, image->ImageRevision,
                         image->ImageProductName, image->ImageModelKey, image->Layout()),
              std::tuple(513, "1C", 512, 9, "AB", "C", L::Code1Only));
    EXPECT_EQ(std::tuple(image->Code1BlockCount, image->Code1Checksum, image->Code1Sum, image->Code2BlockCount,
                         image->Code2Checksum, image->Code2Parameter),
              std::tuple(1, 0x5A, 0x5A, 0, 0, 0));
    EXPECT_EQ(image->Code1Blocks.Block(1), block);
}

// Each image next to a limit: the layout it loads as, or the start of the reason it is refused for
// (the error code, the checksum message, or what was wrong).
TEST(ImageReader, ImagesAtTheLimitsLoadOrFailForTheirReason)
{
    using fwrtool::PutU16, fwrtool::PutMaskedHeaderU16, fwrtool::WriteImage;
    const auto damaged = [](Bytes bytes, auto&& damage) { return damage(bytes), bytes; };
    const Bytes code1 = WriteImage(Spec(L::Code1Only, 3, 0)), both = WriteImage(Spec(L::BothCodes, 2, 2));
    fwrtool::ImageSpec full = Spec(L::Code1Only, 1, 0);
    full.ProductName = std::string(40, 'P'), full.ModelKey = std::string(57, 'K'), full.Code1Start = 0x7FFF;
    // The record between the regions is skipped whatever it holds; bytes that no record needs are ignored.
    const Bytes junk = damaged(both, [](Bytes& b) { std::fill_n(&At(b, 4, 0), 131, 0xFF), b.resize(b.size() + 500); });
    const std::pair<std::string, Bytes> cases[] = {
        {"Code1Only", WriteImage(full)},  // the model key's zero byte is byte 130
        {"BothCodes", junk},
        {"Code1Only", damaged(junk, [](Bytes& b) { PutU16(b, 30, 2); })},  // the marker equals both counts
        {"5", damaged(code1, [](Bytes& b) { At(b, 1, 32) = At(b, 1, 33) = 0; })},
        // The code of an empty text outlives any later fault.
        {"4", damaged(code1, [](Bytes& b) { At(b, 1, 32) = 0, PutMaskedHeaderU16(b, 4, 0); })},
        {"a header text has no end", damaged(code1, [](Bytes& b) { std::fill_n(&At(b, 1, 32), 99, 0x41); })},
        {"region 1 block 1: the block address", damaged(code1, [](Bytes& b) { PutU16(b, 131, 0x8000); })},
        // Block 1025 present and counted in a matching checksum: still refused.
        {"region 1 block 1025", damaged(WriteImage(Spec(L::Code1Only, 1024, 0)), [](Bytes& b) {
             const auto sum = static_cast<std::uint16_t>(pelora::ParseFirmwareImage(b).Image->Code1Sum + b.back());
             b.insert(b.end(), b.end() - pelora::ImageRecordSize, b.end());
             PutU16(b, 16, 1025), PutU16(b, 30, 1025), PutMaskedHeaderU16(b, 4, sum);
         })},
        {"the file ends before record 6", damaged(both, [](Bytes& b) { b.pop_back(); })},
        {"Check sum error 1!", damaged(code1, [](Bytes& b) { At(b, 3, 130) ^= 0x01; })},
        {"Check sum error 1!", damaged(WriteImage(Spec(L::Code2Only, 0, 3)), [](Bytes& b) { PutU16(b, 18, 0); })},
        {"Check sum error 2!", damaged(both, [](Bytes& b) { PutU16(b, 18, 0), PutMaskedHeaderU16(b, 4, 0); })},
        {"Check sum error 3!", damaged(both, [](Bytes& b) { At(b, 6, 130) ^= 0x40; })},
    };
    const char* layouts[] = {"None", "Code1Only", "Code2Only", "BothCodes"};
    for (const auto& [expected, bytes] : cases) {
        const pelora::ImageReadResult read = pelora::ParseFirmwareImage(bytes);
        const std::string got = read.Loaded() ? layouts[static_cast<int>(read.Image->Layout())] : read.Failure.Reason();
        EXPECT_EQ(got.substr(0, expected.size()), expected) << got;
    }
}

// A good image loads and shows its version: the product name decoded as Windows-1252 (the system's own page on
// Windows), not as ISO 8859-1, whose 0x80-0x9F are invisible; the page's unused places stay control characters;
// the revision unless Code1Only has it outside 1..99. A missing file (or a folder) ends the program naming every
// place it was looked for, unread; a damaged one after its error. A file error resets the stage; after a checksum
// error that is left to the caller.
TEST_F(GetCodeTest, GoodImagesShowTheirVersionRefusedOnesEndTheProgram)
{
    const auto good = [this](L layout, int revision) {
        fwrtool::ImageSpec spec = Spec(layout, 9, 9);  // whose check bytes sum past 255
        spec.Revision = static_cast<std::uint8_t>(revision), spec.MemorySize = 1024;
        spec.ProductName = "P\x80\x81\x9F\xA0\xE9\xFF\x99";
        return dir.Write(fwrtool::WriteImage(spec), std::to_string(int(layout)) + "-" + std::to_string(revision) + ".FWR");
    };
    Bytes noName = fwrtool::WriteImage(Spec(L::Code1Only, 3, 0)), cut = noName, badSum = noName;
    At(noName, 1, 32) = 0, cut.pop_back(), At(badSum, 2, 130) ^= 1;
    const auto nowhere = [&](const std::filesystem::path& path) {
        return Text(1050) + "\r\n" + path.string() + "\r\n/elsewhere/PELORA.1D.FWR";
    };
    const std::tuple<std::filesystem::path, std::string, int> cases[] = {  // file, version or box text, resets
        {good(L::Code1Only, 0), ": 1C", 0},     {good(L::Code1Only, 1), ": 1C.01", 0},
        {good(L::Code1Only, 99), ": 1C.99", 0}, {good(L::Code1Only, 100), ": 1C", 0},
        {good(L::Code2Only, 0), ": 1C.00", 0},  {good(L::BothCodes, 255), ": 1C.255", 0},
        {dir.path / "none.FWR", nowhere(dir.path / "none.FWR"), 1}, {dir.path, nowhere(dir.path), 1},
        {dir.Write(noName, "4.FWR"), Text(779) + " 4!", 1}, {dir.Write(cut, "cut.FWR"), Text(779) + " !", 1},
        {dir.Write(badSum, "sum.FWR"), "Check sum error 1!", 0}};
    const std::string product = "P\xE2\x82\xAC\xC2\x81\xC5\xB8\xC2\xA0\xC3\xA9\xC3\xBF\xE2\x84\xA2";
    for (const auto& [path, text, resetCount] : cases) {
        SCOPED_TRACE(path.filename().string());
        image.MinCodeVersion = "9Z", image.RevisionSetting = 42;  // both come from the string table
        const bool loads = text.starts_with(": ");
        if (!loads) dialogs.Expect({Dialogs::Icon::Stop, Dialogs::Buttons::Ok, Text(280), text, Dialogs::Answer::Ok});
        EXPECT_EQ(Run(path), loads);
        EXPECT_TRUE(dialogs.Finished());
        const std::vector<std::string> read = {Row(0, 776, Text(777)), Row(0, 778, loads ? Text(777) : "...")};
        EXPECT_EQ(log.rows, (!loads && text.starts_with(Text(1050)) ? std::vector{Row(0, 776, "...")}
                             : loads ? std::vector{read[0], read[1], "1|" + product + ", " + Text(781) + text + "|"}
                                     : read));
        EXPECT_EQ(std::tuple(link.CommFailed, resets, link.RxBuf.size()),
                  std::tuple(!loads, resetCount, loads ? 1024 * 136 + 2 : 7));
        if (loads) {
            EXPECT_EQ(std::tuple(image.MinCodeVersion, image.RevisionSetting), std::tuple("1A", 0));
        }
    }
}

TEST(DeviceConfiguration, FifthFieldGivesMinimumVersionAndRevisionSetting)
{
    const std::tuple<std::string, std::string, int> cases[] = {{"KALO|PELORA|512|6866|1B07", "1B", 7},
        {"a|b|c|d|1C142", "1C", 42}, {"a|b|c|d|1C 4", "1C", 4}, {"a|b|c|d|1CAB", "1C", 0}, {"a|b|c|d", "", 0}};
    for (const auto& [text, minimum, revision] : cases) {
        const pelora::DeviceConfiguration config = pelora::ReadDeviceConfiguration(text);
        EXPECT_EQ(std::tuple(config.MinCodeVersion, config.RevisionSetting), std::tuple(minimum, revision)) << text;
    }
}
