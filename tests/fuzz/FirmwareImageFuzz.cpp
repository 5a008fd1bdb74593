// Feeds arbitrary bytes to the image reader. Beyond the sanitizers, an image
// that loads must be one the update could use safely; anything else aborts.
#include "firmware/FirmwareImage.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const pelora::ImageReadResult result = pelora::ParseFirmwareImage({data, size});
    const pelora::ImageFailure& failure = result.Failure;
    if (!result.Loaded()) {  // a refusal says why, with the codes the diver can quote
        if (failure.kind == pelora::ImageFailure::Kind::FileMissing || failure.Reason().empty() ||
            !(failure.ErrorCode.empty() || failure.ErrorCode == "4" || failure.ErrorCode == "5"))
            std::abort();
        return 0;
    }
    const pelora::FirmwareImage& image = *result.Image;
    const int count1 = image.Code1BlockCount, count2 = image.Code2BlockCount, rows = pelora::BlockTable::Rows;
    // Every block the file promised was in it, at an address without the top
    // bit (the bytes are bytes by their type).
    bool kept = int{image.Code1Only} + int{image.Code2Only} + int{image.BothCodes} == 1 &&
                !image.ImageProductName.empty() && !image.ImageModelKey.empty() && image.ImageCodeVersion.size() == 2 &&
                image.ImageProductName.size() + image.ImageModelKey.size() <= 97 && count1 >= 0 && count1 <= rows &&
                count2 >= 0 && count2 <= rows && image.Code1Sum == image.Code1Checksum &&
                image.Code2Sum == image.Code2Checksum &&
                (1 + std::size_t(count1 + count2) + image.BothCodes) * pelora::ImageRecordSize <= size;
    for (int k = 1; kept && k <= count1 + count2; ++k)
        kept = (k <= count1 ? image.Code1Blocks.Block(k) : image.Code2Blocks.Block(k - count1))[0] >= 0;
    if (!kept) std::abort();
    return 0;
}
