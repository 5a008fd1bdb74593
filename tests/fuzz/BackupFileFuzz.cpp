// Feeds arbitrary bytes to the backup-file reader, as a file for a device of
// 512, 1024 or another memory size (the first byte chooses). A file that
// passes must be one the restore can send as it is; anything else traps.
#include "profile/BackupFile.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace {

void Require(bool condition)
{
    if (!condition) __builtin_trap();
}

void CheckValidFile(const pelora::BackupReadResult& file, std::span<const std::uint8_t> bytes)
{
    Require(file.Content.has_value() && bytes.size() == pelora::BackupFileSize);
    Require(file.Area.BlockCount >= 0 && file.Area.BlockCount <= pelora::MaxProfileBlocks);
    Require(file.Serial >= 0 && file.Serial <= 999999);
    for (int i = 1; i <= file.Area.BlockCount; ++i) {
        const auto& row = file.Content->ProfileBlocks.Block(i);
        Require(row[0] == 8 * (i - 1));
        unsigned sum = 0;
        for (int k = 1; k <= 128; ++k) {
            Require(row[k] >= 0 && row[k] <= 255);
            sum += static_cast<unsigned>(row[k]);
        }
        Require(row[129] == static_cast<std::int16_t>(sum % 256));
    }
    // What was read is what would be written back.
    const auto again = pelora::EncodeBackupFile(*file.Content);
    Require(std::equal(again.begin(), again.end(), bytes.begin()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) return 0;
    static constexpr int kMemorySizes[] = {512, 1024, 2048, 0};
    const int memorySize = kMemorySizes[data[0] % 4];
    const std::span<const std::uint8_t> bytes(data + 1, size - 1);
    const pelora::BackupReadResult file = pelora::ParseBackupFile(bytes, memorySize);
    if (file.Valid()) CheckValidFile(file, bytes);
    else Require(!file.Detail.empty());
    return 0;
}
