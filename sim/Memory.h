#pragma once

#include <cstdint>
#include <vector>

namespace sim {

// Block 0 layout.
constexpr int SerialOffset = 10;        // three BCD bytes, most significant first
constexpr int HeaderRecordOffset = 64;  // 16-byte header record (unit 4)
constexpr int StartPointerOffset = HeaderRecordOffset + 8;   // low byte first
constexpr int EndPointerOffset = HeaderRecordOffset + 10;
constexpr int ProfileStartUnit = 16;
// The top 32 units of data memory are not logbook: the ring ends below them.
constexpr int LogbookTopUnits = 32;

// Pointer encoding: for MemorySize 1024 the 16-bit value is the unit number,
// for every other size it is the byte address (unit * 16).
int EncodePointer(int memorySize, int unit);
int DecodePointer(int memorySize, std::uint8_t lo, std::uint8_t hi);

void WriteSerialNumber(std::vector<std::uint8_t>& memory, int serialNumber);
int ReadSerialNumber(const std::vector<std::uint8_t>& memory);
void WriteProfilePointers(std::vector<std::uint8_t>& memory, int memorySize, int startUnit, int endUnit);
int ReadStartPointer(const std::vector<std::uint8_t>& memory, int memorySize);
int ReadEndPointer(const std::vector<std::uint8_t>& memory, int memorySize);

// A whole data memory (memorySize * 128 bytes): block 0 with serial number and
// header record, settings in block 1, and a reproducible pseudo-random
// logbook. Not wrapped: `profileBlocks` blocks from unit 16 on, start pointer
// 16, end pointer on the last unit of the last block (0 blocks: both 16).
// Wrapped: the logbook fills the whole ring (unit 16 up to 32 units below the
// top of data memory), the newest entry ends on
// the last unit of block `profileBlocks` of the area (end pointer) and the
// oldest starts one block further up (start pointer), so end < start.
std::vector<std::uint8_t> BuildMemory(int memorySize, int serialNumber, int profileBlocks,
                                      bool wrapped = false, std::uint64_t seed = 1);

// What new code leaves after a commit: the header record all 0 but for the
// start and end pointers, both on unit 16 (an empty logbook), and the profile
// area (unit 16 to the end) 0xFF. The rest of blocks 0 and 1, the serial
// number among them, stays.
void ClearLogbook(std::vector<std::uint8_t>& memory, int memorySize);

// Sum of the bytes modulo 256, the check byte of profile blocks and records.
std::uint8_t ByteSum(const std::uint8_t* bytes, int count);

}  // namespace sim
