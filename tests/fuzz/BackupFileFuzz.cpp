// Feeds arbitrary bytes to the backup-file reader, as a file for a device of
// 512, 1024 or another memory size (the first byte chooses). A file that
// passes must be one the restore can send as it is; anything else aborts.
#include "profile/BackupFile.h"

#include <algorithm>
#include <array>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) return 0;
    const std::span<const std::uint8_t> bytes(data + 1, size - 1);
    const pelora::BackupReadResult file = pelora::ParseBackupFile(bytes, std::array{512, 1024, 2048, 0}[data[0] % 4]);
    bool kept = file.Valid() ? bytes.size() == pelora::BackupFileSize && file.Serial >= 0 && file.Serial <= 999999 &&
                                   file.Area.BlockCount >= 0 && file.Area.BlockCount <= pelora::MaxProfileBlocks
                             : !file.Detail.empty();
    // Each block where the restore writes it, its bytes bytes, its check byte their sum.
    for (int i = 1; kept && file.Valid() && i <= file.Area.BlockCount; ++i) {
        const auto& row = file.Content->ProfileBlocks.Block(i);
        int sum = 0;
        for (int k = 1; k <= 128; ++k) kept = kept && row[k] >= 0 && row[k] <= 255, sum += row[k];
        kept = kept && row[0] == 8 * (i - 1) && row[129] == sum % 256;
    }
    // What was read is what would be written back.
    if (kept && file.Valid()) kept = std::ranges::equal(pelora::EncodeBackupFile(*file.Content), bytes);
    if (!kept) std::abort();
    return 0;
}
