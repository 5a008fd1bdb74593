// Feeds arbitrary bytes to the image reader. Beyond the sanitizers, an image
// that loads must be one the update could use safely; anything else traps.
#include "firmware/FirmwareImage.h"

#include <cstddef>
#include <cstdint>

namespace {

void Require(bool condition)
{
    if (!condition) __builtin_trap();
}

void CheckLoadedImage(const pelora::FirmwareImage& image, std::size_t size)
{
    Require(int{image.Code1Only} + int{image.Code2Only} + int{image.BothCodes} == 1);
    Require(!image.ImageProductName.empty() && !image.ImageModelKey.empty());
    Require(image.ImageProductName.size() + image.ImageModelKey.size() <= 97);
    Require(image.ImageCodeVersion.size() == 2);
    Require(image.Code1BlockCount >= 0 && image.Code1BlockCount <= pelora::BlockTable::Rows);
    Require(image.Code2BlockCount >= 0 && image.Code2BlockCount <= pelora::BlockTable::Rows);
    Require(image.Code1Sum == image.Code1Checksum && image.Code2Sum == image.Code2Checksum);

    // Every block the file promised was in it.
    std::size_t records = 1 + static_cast<std::size_t>(image.Code1BlockCount + image.Code2BlockCount);
    if (image.BothCodes) ++records;
    Require(records * pelora::ImageRecordSize <= size);

    for (const auto* region : {&image.Code1Blocks, &image.Code2Blocks}) {
        const int count = region == &image.Code1Blocks ? image.Code1BlockCount : image.Code2BlockCount;
        for (int k = 1; k <= count; ++k) {
            const auto& block = region->Block(k);
            Require(block[0] >= 0);
            for (std::size_t column = 1; column < block.size(); ++column)
                Require(block[column] >= 0 && block[column] <= 255);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const pelora::ImageReadResult result = pelora::ParseFirmwareImage({data, size});
    if (result.Loaded()) {
        CheckLoadedImage(*result.Image, size);
    } else {
        Require(result.Failure.kind != pelora::ImageFailure::Kind::FileMissing);
        Require(!result.Failure.Reason().empty());
        const std::string& code = result.Failure.ErrorCode;
        Require(code.empty() || code == "4" || code == "5");
    }
    return 0;
}
