#pragma once

#include "ImageWriter.h"
#include "firmware/FirmwareImage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace imagetest {

using Bytes = std::vector<std::uint8_t>;

inline fwrtool::ImageSpec Spec(pelora::ImageLayout layout, int blocks1, int blocks2)
{
    fwrtool::ImageSpec spec;
    spec.Layout = layout;
    spec.Code1BlockCount = blocks1;
    spec.Code2BlockCount = blocks2;
    return spec;
}

// A folder of its own for each test, removed afterwards.
class TempDir {
public:
    TempDir()
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = "fwtest-" + std::to_string(::getpid()) + "-" + info->test_suite_name() + "-" + info->name();
        std::replace(name.begin(), name.end(), '/', '-');  // parameterised tests have slashes in their names
        path_ = std::filesystem::temp_directory_path() / name;
        std::filesystem::create_directories(path_);
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::filesystem::path Write(const std::string& name, const Bytes& bytes) const
    {
        const std::filesystem::path file = path_ / name;
        std::ofstream out(file, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return file;
    }
    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Byte i of record n (both as the file counts them: records from 1, bytes from 0).
inline std::uint8_t& At(Bytes& bytes, std::size_t record, std::size_t byte)
{
    return bytes.at(fwrtool::RecordOffset(record) + byte);
}

// A valid image with one fault, and the reason the reader gives for it: the
// error code, the checksum message, or "" for a file error without code.
struct DamagedImage {
    std::string name;
    Bytes bytes;
    std::string reason;
    bool Checksum() const { return reason.starts_with("Check sum error"); }
};

inline void PrintTo(const DamagedImage& image, std::ostream* out) { *out << image.name; }
inline std::string NameOf(const ::testing::TestParamInfo<DamagedImage>& info) { return info.param.name; }

// Every kind of damage the reader refuses, each next to the limit it breaks.
inline std::vector<DamagedImage> DamagedImages()
{
    using L = pelora::ImageLayout;
    using fwrtool::PutU16, fwrtool::PutMaskedHeaderU16, fwrtool::WriteImage;
    std::vector<DamagedImage> images;
    auto add = [&images](std::string name, std::string reason, Bytes bytes, auto&& damage) {
        damage(bytes);
        images.push_back({std::move(name), std::move(bytes), std::move(reason)});
    };
    const Bytes code1 = WriteImage(Spec(L::Code1Only, 3, 0));
    const Bytes both = WriteImage(Spec(L::BothCodes, 2, 2));
    add("ProductNameEmpty", "4", code1, [](Bytes& b) { At(b, 1, 32) = 0; });
    add("BothTextsEmpty", "5", code1, [](Bytes& b) { At(b, 1, 32) = At(b, 1, 33) = 0; });
    add("ModelKeyEmpty", "5", code1, [](Bytes& b) { At(b, 1, 32 + 9 + 1) = 0; });  // after "Pelora 1D" and its zero
    // The code of an empty text outlives any later fault.
    add("EmptyNameAndWrongSum", "4", code1, [](Bytes& b) { At(b, 1, 32) = 0, PutMaskedHeaderU16(b, 4, 0); });
    add("EmptyNameAndBadAddress", "4", code1, [](Bytes& b) { At(b, 1, 32) = 0, At(b, 3, 0) = 0x80; });
    add("EmptyNameAndShortFile", "4", code1, [](Bytes& b) { At(b, 1, 32) = 0, b.pop_back(); });
    add("TextsWithoutEnd", "", code1, [](Bytes& b) { std::fill(&At(b, 1, 32), &At(b, 1, 130) + 1, 0x41); });
    add("NameEndsAtByte130", "", code1,
        [](Bytes& b) { std::fill(&At(b, 1, 32), &At(b, 1, 130), 0x41), At(b, 1, 130) = 0; });
    fwrtool::ImageSpec longTexts = Spec(L::Code1Only, 1, 0);
    longTexts.ProductName = std::string(40, 'P');
    longTexts.ModelKey = std::string(57, 'K');  // its zero byte at 32 + 41 + 57 = 130
    add("ModelKeyOneByteTooLong", "", WriteImage(longTexts),
        [](Bytes& b) { At(b, 1, 130) = 'K' ^ At(b, 1, 8 + 57 % 8); });
    add("Address0x8000", "", code1, [](Bytes& b) { PutU16(b, fwrtool::RecordOffset(2), 0x8000); });
    add("Address0xFFFF", "", code1, [](Bytes& b) { PutU16(b, fwrtool::RecordOffset(2), 0xFFFF); });
    // Block 1025 present and counted in a matching checksum: still refused.
    add("Region1025Blocks", "", WriteImage(Spec(L::Code1Only, 1024, 0)), [](Bytes& b) {
        const std::uint16_t sum = pelora::ParseFirmwareImage(b).Image->Code1Sum;
        const Bytes last(b.end() - pelora::ImageRecordSize, b.end());
        b.insert(b.end(), last.begin(), last.end());
        PutU16(b, 16, 1025), PutU16(b, 30, 1025);
        PutMaskedHeaderU16(b, 4, static_cast<std::uint16_t>(sum + b.back()));
    });
    add("SkippedRecordMissing", "", WriteImage(Spec(L::BothCodes, 2, 0)),
        [](Bytes& b) { b.resize(b.size() - pelora::ImageRecordSize); });
    add("EmptyFile", "", {}, [](Bytes&) {});
    add("HeaderCut", "", Bytes(130, 0x41), [](Bytes&) {});
    for (const auto& [layout, name] : {std::pair{L::Code1Only, "Code1Only"}, {L::Code2Only, "Code2Only"},
                                       {L::BothCodes, "BothCodes"}}) {
        const Bytes whole = WriteImage(Spec(layout, 3, 3));
        for (const std::size_t cut : {std::size_t{1}, pelora::ImageRecordSize, whole.size() - 1})
            add(name + std::string("Short") + std::to_string(cut), "", whole,
                [cut](Bytes& b) { b.resize(b.size() - cut); });
    }
    add("Code1OnlyBlockByte", "Check sum error 1!", code1, [](Bytes& b) { At(b, 3, 130) ^= 0x01; });
    add("Code2OnlySum", "Check sum error 1!", WriteImage(Spec(L::Code2Only, 0, 3)), [](Bytes& b) { PutU16(b, 18, 0); });
    add("EmptyRegionWithSum", "Check sum error 1!", WriteImage(Spec(L::Code2Only, 0, 0)),
        [](Bytes& b) { PutU16(b, 18, 1); });
    add("BothCodesRegion1Sum", "Check sum error 2!", both, [](Bytes& b) { PutMaskedHeaderU16(b, 4, 0); });
    add("BothCodesRegion2Block", "Check sum error 3!", both, [](Bytes& b) { At(b, 6, 130) ^= 0x40; });
    add("BothCodesBothSums", "Check sum error 2!", both,  // region 1 is checked first
        [](Bytes& b) { PutU16(b, 18, 0), PutMaskedHeaderU16(b, 4, 0); });
    // With region 1's count apart from the marker, the marker selects region 2,
    // read from record 2 on: records 2 and 3 hold region 1's check bytes.
    add("MarkerSelectsRegion2", "Check sum error 1!", both, [](Bytes& b) { PutU16(b, 30, 2), PutU16(b, 16, 3); });
    return images;
}

}  // namespace imagetest
