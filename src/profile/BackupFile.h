#pragma once

#include "link/BlockTable.h"
#include "platform/LocalTime.h"
#include "profile/ProfileArea.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace pelora {

// A backup file: the header record and its sum (17 bytes), the serial digits
// (17 bytes), then the whole block table, 1024 x 130 signed 16-bit values,
// little-endian, column by column: element (i, j) at 34 + 2 * ((i - 1) + 1024 * j).
constexpr std::size_t BackupHeaderOffset = 0;
constexpr std::size_t BackupSerialOffset = 17;
constexpr std::size_t BackupBlocksOffset = 34;
constexpr std::size_t BackupFileSize = 34 + 2 * 1024 * 130;  // 266,274

struct BackupContent {
    std::array<std::uint8_t, 17> ProfileHeader{};
    std::array<std::uint8_t, 17> BackupSerialDigits{};
    BlockTable ProfileBlocks;
};

// "<ModelNumber>.<serial, six digits>.bin", e.g. "513.004711.bin".
std::string BackupFileName(std::uint16_t ModelNumber, std::int32_t DeviceSerial);
// The six digits of the serial number as values 0..9, then eleven zeros.
std::array<std::uint8_t, 17> SerialDigits(std::int32_t DeviceSerial);

// The file's bytes, always BackupFileSize of them.
std::vector<std::uint8_t> EncodeBackupFile(const BackupContent& content);

// The first fault a backup file shows, in the order they are checked.
enum class BackupProblem {
    None,
    Unreadable,     // the file cannot be opened or read
    WrongSize,      // not 266,274 bytes
    HeaderSum,      // header byte 16 is not the sum of bytes 0..15
    SerialDigits,   // a serial byte 0..5 is not a digit 0..9
    TooManyBlocks,  // the pointers call for more than 1024 blocks
    BlockAddress,   // a block in use has the wrong address in column 0
    ByteRange,      // a data or check element of a block in use lies outside 0..255
    BlockSum,       // a block's check byte is not the sum of its 128 bytes
};

struct BackupReadResult {
    BackupProblem Problem = BackupProblem::None;
    std::string Detail;                    // the problem in plain English; "" when none
    std::optional<BackupContent> Content;  // set when the bytes could be decoded (right size)
    ProfileArea Area;                      // from the header record, when decoded
    std::int32_t Serial = 0;               // the serial number the digits spell

    bool Valid() const { return Problem == BackupProblem::None; }
};

// Decodes and checks a backup file's bytes for a device with this memory size.
BackupReadResult ParseBackupFile(std::span<const std::uint8_t> bytes, int MemorySize);
BackupReadResult ReadBackupFile(const std::filesystem::path& path, int MemorySize);

// Writes the whole file or nothing: a temporary file in the same folder,
// flushed to disk, then renamed over `path`. An earlier file of that name
// survives any failure. False with the system's reason in *error.
bool WriteFileAtomically(const std::filesystem::path& path, std::span<const std::uint8_t> bytes,
                         std::string* error);

// Where a damaged file is renamed to: "<name>.damaged-<yyyymmdd-hhmmss>" beside it.
std::filesystem::path DamagedPath(const std::filesystem::path& path, const LocalDateTime& now);
// Where a backup is kept once it is no longer needed: "archive/<stem>.<yyyymmdd-hhmmss><ext>"
// beside it for a file the diver replaced by the device's own profile, and
// "archive/<stem>.restored-<yyyymmdd-hhmmss><ext>" for one whose profile went back.
std::filesystem::path ArchivePath(const std::filesystem::path& path, const LocalDateTime& now);
std::filesystem::path RestoredArchivePath(const std::filesystem::path& path, const LocalDateTime& now);
// Keeps the `keep` newest restored copies of `path` in its archive folder and
// removes older ones; files of other kinds and devices are left alone.
void PruneRestoredCopies(const std::filesystem::path& path, std::size_t keep);
// Renames `from` to `to`, creating `to`'s folder. Never overwrites: when
// `to` is taken, "-2", "-3", ... go before its extension. Returns the path
// used, or nothing with the system's reason in *error.
std::optional<std::filesystem::path> MoveFile(const std::filesystem::path& from, const std::filesystem::path& to,
                                              std::string* error);

// True when `path` names something that exists; an empty path or an error is false.
bool PathExists(const std::filesystem::path& path);

// The file's last change in local time, if the system tells it.
std::optional<LocalDateTime> FileModifiedTime(const std::filesystem::path& path);

}  // namespace pelora
