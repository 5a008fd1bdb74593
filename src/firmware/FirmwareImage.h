#pragma once

#include "link/BlockTable.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace pelora {

// The image file is a sequence of fixed 131-byte records; record 1 is the
// header, the others are code blocks.
constexpr std::size_t ImageRecordSize = 131;

enum class ImageLayout { None, Code1Only, Code2Only, BothCodes };

// A loaded image. Texts (ImageCodeVersion, ImageProductName, ImageModelKey)
// hold the file's 8-bit characters as they are, so that comparisons with the
// device's identification work on the same bytes; AnsiToUtf8 makes them
// fit for display. Values that the layout does not use stay 0.
struct FirmwareImage {
    std::uint16_t ModelNumber = 0;
    std::string ImageCodeVersion;  // two characters
    std::int32_t Code1Checksum = 0;
    std::uint16_t MemorySize = 0;  // device memory in 128-byte blocks
    std::int32_t Code1BlockCount = 0;
    std::int32_t Code2Checksum = 0;
    std::int32_t Code2BlockCount = 0;
    std::int32_t Code2Parameter = 0;
    std::uint8_t ImageRevision = 0;
    bool Code1Only = false;
    bool Code2Only = false;
    bool BothCodes = false;
    std::string ImageProductName;
    std::string ImageModelKey;
    BlockTable Code1Blocks;
    BlockTable Code2Blocks;
    // The sums of the check bytes of each region's blocks, modulo 65536.
    std::int32_t Code1Sum = 0;
    std::int32_t Code2Sum = 0;

    ImageLayout Layout() const;
};

// Why an image did not load.
struct ImageFailure {
    enum class Kind {
        FileMissing,    // no such file: GetCode names where it looked
        FileError,      // damaged or unreadable: "<text 779> <ErrorCode>!"
        ChecksumError,  // a region's checksum does not match: ChecksumNumber
    };
    Kind kind = Kind::FileError;
    std::string ErrorCode;        // "", "4" (no product name) or "5" (no model key)
    int ChecksumNumber = 0;       // which sum failed: 1 (the only region), 2 or 3 (region 1 or 2 of two)
    std::string Detail;           // what was wrong, in English, for tools and tests

    // The reason in one short line: the error code where there is one, else
    // the detail ("Check sum error 1!" for a checksum).
    std::string Reason() const;
};

struct ImageReadResult {
    std::optional<FirmwareImage> Image;  // set only when the image loaded
    ImageFailure Failure;                // meaningful only when Image is empty

    bool Loaded() const { return Image.has_value(); }
};

// Reads an image from the file's bytes. Every record that the header's counts
// and layout call for must be in the data; a shorter file is a file error.
ImageReadResult ParseFirmwareImage(std::span<const std::uint8_t> bytes);

// Reads the image file at `path`. A path that does not name an existing file
// gives FileMissing; a file that cannot be read gives FileError.
ImageReadResult ReadFirmwareImage(const std::filesystem::path& path);

// True when `path` names an existing file (not a folder).
bool FileExists(const std::filesystem::path& path);

// The image's texts are 8-bit characters of the system's ANSI code page:
// AnsiToUtf8 decodes them with that page on Windows and as Windows-1252 (the
// Western page) elsewhere, where there is no such page.
std::string AnsiToUtf8(const std::string& ansi);
std::string Windows1252ToUtf8(const std::string& text);

// The most bytes of a file that a read can ever look at: the header, two
// regions of 1024 blocks and the record between them. Anything after that
// is never needed.
constexpr std::size_t MaxImageBytes = (2 + 2 * 1024) * ImageRecordSize;

}  // namespace pelora
