#pragma once

#include <cstdint>
#include <span>

namespace pelora {

// The saved profile area always begins at unit 16 (byte 256).
constexpr std::int32_t ProfileStartUnit = 16;
// The block table holds no more than this many blocks.
constexpr std::int32_t MaxProfileBlocks = 1024;
// Header record bytes of the start and end pointers (low byte first).
constexpr int StartPointerByte = 8;
constexpr int EndPointerByte = 10;

// A profile pointer as a unit number. With MemorySize 1024 the two bytes are
// the unit number itself; with any other size they are the byte address.
std::int32_t DecodeProfilePointer(int MemorySize, std::uint8_t lo, std::uint8_t hi);

// What a header record says about the profile area.
struct ProfileArea {
    std::int32_t Start = 0;       // as decoded from the header
    std::int32_t End = 0;         // decoded, or the last unit used when the end pointer wrapped
    std::int32_t BlockCount = 0;  // blocks from unit 16 up to the one holding End; may exceed 1024
    bool Empty = false;           // equal pointers: nothing to save
};

// Reads the 16-byte header record. A wrapped end pointer (below the start)
// means the logbook fills memory up to unit MemorySize * 8 - 33.
ProfileArea ProfileAreaOf(std::span<const std::uint8_t, 16> header, int MemorySize);

// The byte sum modulo 256 of profile blocks and of the header record.
std::uint8_t ByteSum(std::span<const std::uint8_t> bytes);

}  // namespace pelora
