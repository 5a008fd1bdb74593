#include "ImageTestSupport.h"

#include <gtest/gtest.h>

using pelora::FirmwareImage;
using pelora::ImageFailure;
using pelora::ImageLayout;
using pelora::ImageReadResult;
using pelora::ParseFirmwareImage;
using namespace imagetest;

namespace {

ImageReadResult Parse(const Bytes& bytes) { return ParseFirmwareImage(bytes); }

void ExpectFileError(const ImageReadResult& result, const std::string& code)
{
    ASSERT_FALSE(result.Loaded());
    EXPECT_EQ(result.Failure.kind, ImageFailure::Kind::FileError) << result.Failure.Detail;
    EXPECT_EQ(result.Failure.ErrorCode, code) << result.Failure.Detail;
}

void ExpectChecksumError(const ImageReadResult& result, const std::string& message)
{
    ASSERT_FALSE(result.Loaded());
    EXPECT_EQ(result.Failure.kind, ImageFailure::Kind::ChecksumError) << result.Failure.Detail;
    EXPECT_EQ(result.Failure.ChecksumMessage, message);
}

// A header and one block written byte by byte from the file format, so that
// the reader is not only checked against our own writer.
Bytes HandMadeImage()
{
    const std::uint8_t mask[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    const std::uint8_t plain[8] = {0x02, 0x01, '1', 'C', 0x00, 0x5A, 0x02, 0x00};  // 513, "1C", sum 0x5A, 512
    Bytes image(2 * pelora::ImageRecordSize, 0);
    for (int i = 0; i < 8; ++i) {
        image[i] = plain[i] ^ mask[i];
        image[8 + i] = mask[i];
    }
    image[17] = 1;                    // one block in region 1
    image[18] = 0x0B, image[19] = 0xAD;  // region-2 values that a Code1Only image does not use
    image[21] = 7;
    image[22] = 0x12, image[23] = 0x34;
    image[24] = 9;                    // revision
    image[31] = 1;                    // layout marker = region-1 count
    image[32] = 'A' ^ 0x11, image[33] = 'B' ^ 0x22, image[34] = 0;
    image[35] = 'C' ^ 0x11, image[36] = 0;  // the mask starts again for the second text
    At(image, 2, 0) = 0x20, At(image, 2, 1) = 0x00;
    for (int i = 0; i < 128; ++i) At(image, 2, 2 + i) = static_cast<std::uint8_t>(i ^ 0x5A);
    At(image, 2, 130) = 0x5A;
    return image;
}

}  // namespace

TEST(ImageReader, ReadsAHandMadeImage)
{
    const ImageReadResult result = Parse(HandMadeImage());
    ASSERT_TRUE(result.Loaded()) << result.Failure.Detail;
    const FirmwareImage& image = *result.Image;
    EXPECT_EQ(image.ModelNumber, 513);
    EXPECT_EQ(image.ImageCodeVersion, "1C");
    EXPECT_EQ(image.MemorySize, 512);
    EXPECT_EQ(image.Code1Checksum, 0x5A);
    EXPECT_EQ(image.ImageRevision, 9);
    EXPECT_EQ(image.ImageProductName, "AB");
    EXPECT_EQ(image.ImageModelKey, "C");
    EXPECT_EQ(image.Layout(), ImageLayout::Code1Only);
    EXPECT_EQ(image.Code1BlockCount, 1);
    // Values of the region that the layout does not hold stay unset.
    EXPECT_EQ(image.Code2BlockCount, 0);
    EXPECT_EQ(image.Code2Checksum, 0);
    EXPECT_EQ(image.Code2Parameter, 0);

    const auto& block = image.Code1Blocks.Block(1);
    EXPECT_EQ(block[0], 0x2000);
    for (int i = 0; i < 128; ++i) ASSERT_EQ(block[static_cast<std::size_t>(1 + i)], i) << "byte " << i;
    EXPECT_EQ(block[129], 0x5A);
    EXPECT_EQ(image.Code1Sum, 0x5A);
}

TEST(ImageReader, ReadsEveryLayoutThatTheWriterMakes)
{
    struct Case { ImageLayout layout; int blocks1, blocks2; };
    for (const Case c : {Case{ImageLayout::Code1Only, 5, 0}, Case{ImageLayout::Code2Only, 0, 6},
                         Case{ImageLayout::BothCodes, 3, 4}}) {
        fwrtool::ImageSpec spec = Spec(c.layout, c.blocks1, c.blocks2);
        spec.Code2Parameter = 0x4321;
        spec.Revision = 12;
        const ImageReadResult result = Parse(fwrtool::WriteImage(spec));
        ASSERT_TRUE(result.Loaded()) << result.Failure.Detail;
        const FirmwareImage& image = *result.Image;
        EXPECT_EQ(image.Layout(), c.layout);
        EXPECT_EQ(image.Code1BlockCount, c.blocks1);
        EXPECT_EQ(image.Code2BlockCount, c.blocks2);
        EXPECT_EQ(image.Code2Parameter, c.layout == ImageLayout::Code1Only ? 0 : 0x4321);
        // The first block of each region carries version and revision.
        const auto* firstBlock = c.blocks1 > 0 ? &image.Code1Blocks.Block(1) : &image.Code2Blocks.Block(1);
        EXPECT_EQ((*firstBlock)[1], '1');
        EXPECT_EQ((*firstBlock)[2], 'C');
        EXPECT_EQ((*firstBlock)[3], 12);
        if (c.blocks2 > 0) {
            EXPECT_EQ(image.Code2Blocks.Block(1)[0], 0x4000);
            EXPECT_EQ(image.Code2Blocks.Block(c.blocks2)[0], 0x4000 + 8 * (c.blocks2 - 1));
        }
    }
}

TEST(ImageReader, LayoutMarkerPrefersRegionOneWhenBothCountsMatch)
{
    fwrtool::ImageSpec spec = Spec(ImageLayout::BothCodes, 2, 2);
    spec.Code2Parameter = 0x1234;
    Bytes bytes = fwrtool::WriteImage(spec);
    fwrtool::PutU16(bytes, 30, 2);
    const ImageReadResult result = Parse(bytes);
    ASSERT_TRUE(result.Loaded()) << result.Failure.Detail;
    EXPECT_EQ(result.Image->Layout(), ImageLayout::Code1Only);
    EXPECT_EQ(result.Image->Code1BlockCount, 2);
    EXPECT_EQ(result.Image->Code2BlockCount, 0);
    EXPECT_EQ(result.Image->Code2Parameter, 0);

    // With region 1's count different, the same marker selects region 2, read
    // from record 2 on (no record is skipped in a one-region image).
    fwrtool::PutU16(bytes, 16, 3);
    const ImageReadResult code2 = Parse(bytes);
    ExpectChecksumError(code2, "Check sum error 1!");  // records 2-3 hold region 1's check bytes
}

TEST(ImageReader, RegionWithoutBlocksHasSumZero)
{
    ASSERT_TRUE(Parse(fwrtool::WriteImage(Spec(ImageLayout::Code1Only, 0, 0))).Loaded());
    ASSERT_TRUE(Parse(fwrtool::WriteImage(Spec(ImageLayout::BothCodes, 4, 0))).Loaded());

    Bytes bytes = fwrtool::WriteImage(Spec(ImageLayout::Code2Only, 0, 0));
    fwrtool::PutU16(bytes, 18, 1);
    ExpectChecksumError(Parse(bytes), "Check sum error 1!");
}

TEST(ImageReader, SecondTextMayEndExactlyAtTheLastHeaderByte)
{
    fwrtool::ImageSpec spec = Spec(ImageLayout::Code1Only, 1, 0);
    spec.ProductName = std::string(40, 'P');
    spec.ModelKey = std::string(57, 'K');  // zero byte at 32 + 41 + 57 = 130
    Bytes bytes = fwrtool::WriteImage(spec);
    ASSERT_EQ(At(bytes, 1, 130), 0);
    const ImageReadResult result = Parse(bytes);
    ASSERT_TRUE(result.Loaded()) << result.Failure.Detail;
    EXPECT_EQ(result.Image->ImageModelKey, spec.ModelKey);

    At(bytes, 1, 130) = 'K' ^ At(bytes, 1, 8 + 57 % 8);  // one character more, no room for the zero byte
    ExpectFileError(Parse(bytes), "");
}

TEST(ImageReader, TextsWithoutEndInsideTheHeaderFail)
{
    Bytes bytes = fwrtool::WriteImage(Spec(ImageLayout::Code1Only, 1, 0));
    for (std::size_t i = 32; i <= 130; ++i) At(bytes, 1, i) = 0x41;
    ExpectFileError(Parse(bytes), "");

    // The product name's zero byte at 130 leaves the model key no byte at all.
    At(bytes, 1, 130) = 0;
    ExpectFileError(Parse(bytes), "");
}

TEST(ImageReader, EmptyTextsGiveCodesFourAndFive)
{
    Bytes bytes = fwrtool::WriteImage(Spec(ImageLayout::Code1Only, 2, 0));
    At(bytes, 1, 32) = 0;  // product name empty; the key is read from the remains
    ExpectFileError(Parse(bytes), "4");
    At(bytes, 1, 33) = 0;  // both empty: the later code wins
    ExpectFileError(Parse(bytes), "5");

    Bytes keyOnly = fwrtool::WriteImage(Spec(ImageLayout::Code1Only, 2, 0));
    At(keyOnly, 1, 32 + 9 + 1) = 0;  // "Pelora 1D", its zero byte, then an empty key
    ExpectFileError(Parse(keyOnly), "5");
}

TEST(ImageReader, ErrorCodeOfAnEmptyTextOutlivesLaterFaults)
{
    Bytes bytes = fwrtool::WriteImage(Spec(ImageLayout::Code1Only, 3, 0));
    At(bytes, 1, 32) = 0;
    fwrtool::PutMaskedHeaderU16(bytes, 4, 0);  // wrong checksum: still the file error with code 4
    ExpectFileError(Parse(bytes), "4");

    At(bytes, 3, 0) = 0x80;  // and a block that fails to read keeps it too
    ExpectFileError(Parse(bytes), "4");
    bytes.resize(bytes.size() - 1);
    ExpectFileError(Parse(bytes), "4");
}

TEST(ImageReader, BlockAddressMustFitFifteenBits)
{
    fwrtool::ImageSpec spec = Spec(ImageLayout::Code1Only, 1, 0);
    spec.Code1Start = 0x7FFF;
    Bytes bytes = fwrtool::WriteImage(spec);
    const ImageReadResult highest = Parse(bytes);
    ASSERT_TRUE(highest.Loaded()) << highest.Failure.Detail;
    EXPECT_EQ(highest.Image->Code1Blocks.Block(1)[0], 0x7FFF);

    fwrtool::PutU16(bytes, fwrtool::RecordOffset(2), 0x8000);
    ExpectFileError(Parse(bytes), "");
    fwrtool::PutU16(bytes, fwrtool::RecordOffset(2), 0xFFFF);
    ExpectFileError(Parse(bytes), "");
}

TEST(ImageReader, RegionHoldsAtMost1024Blocks)
{
    Bytes bytes = fwrtool::WriteImage(Spec(ImageLayout::Code1Only, 1024, 0));
    const ImageReadResult full = Parse(bytes);
    ASSERT_TRUE(full.Loaded()) << full.Failure.Detail;
    EXPECT_EQ(full.Image->Code1Blocks.Block(1024)[0], 0x2000 + 8 * 1023);

    // Block 1025 present and counted in a matching checksum: still refused.
    const std::size_t lastBlock = fwrtool::RecordOffset(1025);
    bytes.insert(bytes.end(), bytes.begin() + static_cast<long>(lastBlock),
                 bytes.begin() + static_cast<long>(lastBlock + pelora::ImageRecordSize));
    fwrtool::PutU16(bytes, 16, 1025);
    fwrtool::PutU16(bytes, 30, 1025);
    fwrtool::PutMaskedHeaderU16(bytes, 4, static_cast<std::uint16_t>(full.Image->Code1Sum + bytes.back()));
    ExpectFileError(Parse(bytes), "");
}

TEST(ImageReader, RegionSumWrapsAt65536)
{
    Bytes bytes = fwrtool::WriteImage(Spec(ImageLayout::Code1Only, 1024, 0));
    for (std::size_t record = 2; record <= 1025; ++record) At(bytes, record, 130) = 0xFF;
    fwrtool::PutMaskedHeaderU16(bytes, 4, static_cast<std::uint16_t>(1024 * 255 % 65536));
    const ImageReadResult result = Parse(bytes);
    ASSERT_TRUE(result.Loaded()) << result.Failure.Detail;
    EXPECT_EQ(result.Image->Code1Sum, 1024 * 255 % 65536);
}

TEST(ImageReader, RecordBetweenTheRegionsIsSkippedWhateverItHolds)
{
    Bytes bytes = fwrtool::WriteImage(Spec(ImageLayout::BothCodes, 2, 3));
    for (std::size_t i = 0; i < pelora::ImageRecordSize; ++i) At(bytes, 4, i) = 0xFF;
    const ImageReadResult result = Parse(bytes);
    ASSERT_TRUE(result.Loaded()) << result.Failure.Detail;
    EXPECT_EQ(result.Image->Code2Blocks.Block(1)[0], 0x4000);
    EXPECT_EQ(result.Image->Code2Blocks.Block(1)[129], At(bytes, 5, 130));
    EXPECT_EQ(result.Image->Code2Blocks.Block(3)[0], 0x4000 + 16);

    // The skipped record must still be in the file.
    Bytes noRegion2 = fwrtool::WriteImage(Spec(ImageLayout::BothCodes, 2, 0));
    noRegion2.resize(noRegion2.size() - pelora::ImageRecordSize);
    ExpectFileError(Parse(noRegion2), "");
}

TEST(ImageReader, ShortFileNeverLoads)
{
    for (const ImageLayout layout : {ImageLayout::Code1Only, ImageLayout::Code2Only, ImageLayout::BothCodes}) {
        const Bytes whole = fwrtool::WriteImage(Spec(layout, 3, 3));
        ASSERT_TRUE(Parse(whole).Loaded());
        for (const std::size_t cut : {std::size_t{1}, pelora::ImageRecordSize, whole.size() - 1}) {
            const Bytes shorter(whole.begin(), whole.end() - static_cast<long>(cut));
            ExpectFileError(Parse(shorter), "");
        }
    }
    ExpectFileError(Parse(Bytes{}), "");
    ExpectFileError(Parse(Bytes(130, 0x41)), "");
}

TEST(ImageReader, TrailingBytesAfterTheLastRecordAreIgnored)
{
    Bytes bytes = fwrtool::WriteImage(Spec(ImageLayout::Code1Only, 2, 0));
    bytes.resize(bytes.size() + 500, 0xEE);
    EXPECT_TRUE(Parse(bytes).Loaded());
}

TEST(ImageReader, ChecksumMessagesNameTheLayoutAndRegion)
{
    Bytes code1 = fwrtool::WriteImage(Spec(ImageLayout::Code1Only, 3, 0));
    At(code1, 3, 130) ^= 0x01;
    ExpectChecksumError(Parse(code1), "Check sum error 1!");

    Bytes code2 = fwrtool::WriteImage(Spec(ImageLayout::Code2Only, 0, 3));
    fwrtool::PutU16(code2, 18, 0);
    ExpectChecksumError(Parse(code2), "Check sum error 1!");

    const Bytes both = fwrtool::WriteImage(Spec(ImageLayout::BothCodes, 2, 2));
    Bytes region1Bad = both;
    fwrtool::PutMaskedHeaderU16(region1Bad, 4, 0);
    ExpectChecksumError(Parse(region1Bad), "Check sum error 2!");
    Bytes region2Bad = both;
    fwrtool::PutU16(region2Bad, 18, 0);
    ExpectChecksumError(Parse(region2Bad), "Check sum error 3!");
    fwrtool::PutMaskedHeaderU16(region2Bad, 4, 0);
    ExpectChecksumError(Parse(region2Bad), "Check sum error 2!");  // region 1 is tested first
}

TEST(ImageReader, TextsKeepTheirEightBitCharacters)
{
    fwrtool::ImageSpec spec = Spec(ImageLayout::Code1Only, 1, 0);
    spec.ProductName = "P\xE9lora";  // é in ISO 8859-1
    const ImageReadResult result = Parse(fwrtool::WriteImage(spec));
    ASSERT_TRUE(result.Loaded());
    EXPECT_EQ(result.Image->ImageProductName, "P\xE9lora");
    EXPECT_EQ(pelora::Latin1ToUtf8(result.Image->ImageProductName), "P\xC3\xA9lora");
}

TEST(ImageFile, MissingFileAndFolderAreMissing)
{
    TempDir dir;
    EXPECT_EQ(pelora::ReadFirmwareImage(dir.Path() / "none.FWR").Failure.kind, ImageFailure::Kind::FileMissing);
    EXPECT_FALSE(pelora::ReadFirmwareImage(dir.Path()).Loaded());
    EXPECT_EQ(pelora::ReadFirmwareImage(dir.Path()).Failure.kind, ImageFailure::Kind::FileMissing);

    const auto path = dir.Write("PELORA.1D.FWR", fwrtool::WriteImage(Spec(ImageLayout::BothCodes, 2, 2)));
    EXPECT_TRUE(pelora::ReadFirmwareImage(path).Loaded());
}
