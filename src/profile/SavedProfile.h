#pragma once

#include "link/BlockTable.h"

#include <array>
#include <cstdint>
#include <string>

namespace pelora {

// The diver's profile as the program holds it for the whole run: saved
// before new code goes in, written back afterwards.
struct SavedProfile {
    // The header record (block 0, bytes 64..79), then its byte sum.
    std::array<std::uint8_t, 17> ProfileHeader{};
    // The six serial digits (values 0..9, most significant first), then zeros.
    std::array<std::uint8_t, 17> BackupSerialDigits{};
    // Rows 1..ProfileBlockCount: column 0 the block's unit address minus 16,
    // columns 1..128 its bytes, column 129 their sum.
    BlockTable ProfileBlocks;
    std::int32_t ProfileStart = 0;
    std::int32_t ProfileEnd = 0;
    std::int16_t ProfileBlockCount = 0;
    std::int32_t DeviceSerial = 0;
    std::string BackupFilePath;  // UTF-8: PathFromUtf8 makes it a path
    // A saved profile still has to be written back.
    bool ProfileRestorePending = false;
    // No restore is outstanding; false makes Close offer the recovery.
    bool ProfileSafe = true;
    // The backup file whose profile this run began to write back: the
    // device's profile then differs from it because of this run, not
    // because the diver logged dives since.
    std::string RestoreBegunFrom;
};

}  // namespace pelora
