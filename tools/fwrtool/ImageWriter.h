#pragma once

#include "firmware/FirmwareImage.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fwrtool {

// What `fwrtool make` puts into an image. Texts are 8-bit characters
// (Windows-1252), as the image file stores them.
struct ImageSpec {
    pelora::ImageLayout Layout = pelora::ImageLayout::Code1Only;
    std::uint16_t ModelNumber = 513;
    std::string CodeVersion = "1C";
    std::uint8_t Revision = 1;
    std::uint16_t MemorySize = 512;
    std::string ProductName = "Pelora 1D";
    std::string ModelKey = "PELORA";
    int Code1BlockCount = 64;  // ignored by Code2Only
    int Code2BlockCount = 0;   // ignored by Code1Only
    int Code1Start = 0x2000;   // address of region 1's first block, in 16-byte units
    int Code2Start = 0x4000;
    std::uint16_t Code2Parameter = 0;
    std::uint32_t Seed = 1;
};

// Consecutive blocks of a region lie this many 16-byte units apart.
constexpr int UnitsPerBlock = 8;

// The image file for `spec`: a valid image whose header checksums match its
// blocks. The first block of each region carries the code version in its
// bytes 0 and 1 and the revision in byte 2 (the unmasked code bytes), where
// the emulated device reads them after an update. Throws
// std::invalid_argument for a spec that no valid image can hold (empty or
// too long texts, a zero character, more than 1024 blocks, addresses beyond
// 32767, a layout of None).
std::vector<std::uint8_t> WriteImage(const ImageSpec& spec);

// Helpers for building damaged images from valid ones.

// Writes a big-endian 16-bit value at `offset`.
void PutU16(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint16_t value);
// Writes a 16-bit value into the masked header bytes 0 to 7.
void PutMaskedHeaderU16(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint16_t value);
// Offset of record n (counted from 1).
constexpr std::size_t RecordOffset(std::size_t n) { return (n - 1) * pelora::ImageRecordSize; }

}  // namespace fwrtool
