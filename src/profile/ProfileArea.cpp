#include "profile/ProfileArea.h"

#include <algorithm>

namespace pelora {

namespace {

constexpr int UnitsPerBlock = 8;  // a block is 128 bytes of 16-byte units
constexpr int UnitsAfterWrappedEnd = 33;

// The last unit a wrapped logbook uses. Computed wide so that a nonsense
// memory size cannot overflow.
std::int32_t WrappedEnd(int MemorySize)
{
    const std::int64_t last = std::int64_t{MemorySize} * UnitsPerBlock - UnitsAfterWrappedEnd;
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(last, INT32_MIN, INT32_MAX));
}

}  // namespace

std::int32_t DecodeProfilePointer(int MemorySize, std::uint8_t lo, std::uint8_t hi)
{
    if (MemorySize == 1024) return hi * 256 + lo;
    return hi * 16 + (lo >> 4);
}

ProfileArea ProfileAreaOf(std::span<const std::uint8_t, 16> header, int MemorySize)
{
    ProfileArea area;
    area.Start = DecodeProfilePointer(MemorySize, header[StartPointerByte], header[StartPointerByte + 1]);
    area.End = DecodeProfilePointer(MemorySize, header[EndPointerByte], header[EndPointerByte + 1]);
    if (area.Start == area.End) {
        area.Empty = true;
        return area;
    }
    if (area.End < area.Start) area.End = WrappedEnd(MemorySize);
    // Integer division truncates toward zero, so a negative end gives no blocks either.
    area.BlockCount = std::max(area.End / UnitsPerBlock - 1, 0);
    return area;
}

std::uint8_t ByteSum(std::span<const std::uint8_t> bytes)
{
    unsigned sum = 0;
    for (const std::uint8_t byte : bytes) sum += byte;
    return static_cast<std::uint8_t>(sum & 0xFF);
}

}  // namespace pelora
