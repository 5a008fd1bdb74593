#include "ImageTestSupport.h"

#include <gtest/gtest.h>

#include <optional>

using pelora::FirmwareImage;
using pelora::ImageFailure;
using pelora::ImageLayout;
using pelora::ImageReadResult;
using pelora::ParseFirmwareImage;
using namespace imagetest;

namespace {

ImageReadResult Parse(const Bytes& bytes) { return ParseFirmwareImage(bytes); }

// The image the bytes hold; an empty optional, reported, when they do not load.
std::optional<FirmwareImage> Load(const Bytes& bytes)
{
    ImageReadResult result = Parse(bytes);
    if (!result.Loaded()) ADD_FAILURE() << "not loaded: " << result.Failure.Reason();
    return std::move(result.Image);
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
    const auto loaded = Load(HandMadeImage());
    ASSERT_TRUE(loaded);
    const FirmwareImage& image = *loaded;
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
        spec.Revision = 12;
        const auto loaded = Load(fwrtool::WriteImage(spec));
        ASSERT_TRUE(loaded);
        const FirmwareImage& image = *loaded;
        EXPECT_EQ(image.Layout(), c.layout);  // counts and parameter: see the fwrtool round trip
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
    const auto image = Load(bytes);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->Layout(), ImageLayout::Code1Only);
    EXPECT_EQ(image->Code1BlockCount, 2);
    EXPECT_EQ(image->Code2BlockCount, 0);
    EXPECT_EQ(image->Code2Parameter, 0);
}

TEST(ImageReader, ImagesAtTheLimitsLoad)
{
    EXPECT_TRUE(Load(fwrtool::WriteImage(Spec(ImageLayout::Code1Only, 0, 0))));
    EXPECT_TRUE(Load(fwrtool::WriteImage(Spec(ImageLayout::BothCodes, 4, 0))));

    fwrtool::ImageSpec spec = Spec(ImageLayout::Code1Only, 1, 0);
    spec.ProductName = std::string(40, 'P');
    spec.ModelKey = std::string(57, 'K');  // zero byte at 32 + 41 + 57 = 130
    const auto longTexts = Load(fwrtool::WriteImage(spec));
    ASSERT_TRUE(longTexts);
    EXPECT_EQ(longTexts->ImageModelKey, spec.ModelKey);

    spec.Code1Start = 0x7FFF;
    const auto highest = Load(fwrtool::WriteImage(spec));
    ASSERT_TRUE(highest);
    EXPECT_EQ(highest->Code1Blocks.Block(1)[0], 0x7FFF);

    Bytes full = fwrtool::WriteImage(Spec(ImageLayout::Code1Only, 1024, 0));
    for (std::size_t record = 2; record <= 1025; ++record) At(full, record, 130) = 0xFF;
    fwrtool::PutMaskedHeaderU16(full, 4, static_cast<std::uint16_t>(1024 * 255 % 65536));
    full.resize(full.size() + 500, 0xEE);  // bytes after the last record are ignored
    const auto fullImage = Load(full);
    ASSERT_TRUE(fullImage);
    EXPECT_EQ(fullImage->Code1Blocks.Block(1024)[0], 0x2000 + 8 * 1023);
    EXPECT_EQ(fullImage->Code1Sum, 1024 * 255 % 65536) << "the region sum wraps at 65536";
}

TEST(ImageReader, RecordBetweenTheRegionsIsSkippedWhateverItHolds)
{
    Bytes bytes = fwrtool::WriteImage(Spec(ImageLayout::BothCodes, 2, 3));
    for (std::size_t i = 0; i < pelora::ImageRecordSize; ++i) At(bytes, 4, i) = 0xFF;
    const auto image = Load(bytes);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->Code2Blocks.Block(1)[0], 0x4000);
    EXPECT_EQ(image->Code2Blocks.Block(1)[129], At(bytes, 5, 130));
    EXPECT_EQ(image->Code2Blocks.Block(3)[0], 0x4000 + 16);
}

class DamagedImageTest : public ::testing::TestWithParam<DamagedImage> {};

TEST_P(DamagedImageTest, NeverLoads)
{
    const ImageReadResult result = Parse(GetParam().bytes);
    ASSERT_FALSE(result.Loaded());
    if (GetParam().Checksum()) {
        EXPECT_EQ(result.Failure.kind, ImageFailure::Kind::ChecksumError) << result.Failure.Detail;
        EXPECT_EQ(result.Failure.ChecksumMessage, GetParam().reason);
    } else {
        EXPECT_EQ(result.Failure.kind, ImageFailure::Kind::FileError) << result.Failure.Detail;
        EXPECT_EQ(result.Failure.ErrorCode, GetParam().reason) << result.Failure.Detail;
    }
}

INSTANTIATE_TEST_SUITE_P(ImageReader, DamagedImageTest, ::testing::ValuesIn(DamagedImages()), NameOf);

TEST(ImageFile, MissingFileAndFolderAreMissing)
{
    TempDir dir;
    EXPECT_EQ(pelora::ReadFirmwareImage(dir.Path() / "none.FWR").Failure.kind, ImageFailure::Kind::FileMissing);
    EXPECT_EQ(pelora::ReadFirmwareImage(dir.Path()).Failure.kind, ImageFailure::Kind::FileMissing);

    const auto path = dir.Write("PELORA.1D.FWR", fwrtool::WriteImage(Spec(ImageLayout::BothCodes, 2, 2)));
    EXPECT_TRUE(pelora::ReadFirmwareImage(path).Loaded());
}
