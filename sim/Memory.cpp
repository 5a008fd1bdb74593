#include "sim/Memory.h"

#include <algorithm>

namespace sim {
namespace {

constexpr int BlockBytes = 128;
constexpr int UnitBytes = 16;

// splitmix64: small, fast and the same on every platform, so a seed always
// gives the same logbook.
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    std::uint8_t Next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return static_cast<std::uint8_t>((z ^ (z >> 31)) >> 56);
    }

private:
    std::uint64_t state_;
};

std::uint8_t ToBcd(int value) { return static_cast<std::uint8_t>((value / 10) * 16 + value % 10); }
int FromBcd(std::uint8_t b) { return (b >> 4) * 10 + (b & 0x0F); }

// One logbook block: a dive number and a few plausible sample bytes, so a
// dump is easy to tell apart from code or erased memory.
void FillLogbookBlock(std::uint8_t* block, int number, Random& random) {
    block[0] = 0xFA;
    block[1] = 0xFA;
    block[2] = static_cast<std::uint8_t>(number & 0xFF);
    block[3] = static_cast<std::uint8_t>((number >> 8) & 0xFF);
    for (int i = 4; i < BlockBytes; ++i) block[i] = random.Next();
}

}  // namespace

int EncodePointer(int memorySize, int unit) { return memorySize == 1024 ? unit : unit * UnitBytes; }

int DecodePointer(int memorySize, std::uint8_t lo, std::uint8_t hi) {
    if (memorySize == 1024) return hi * 256 + lo;
    return hi * 16 + (lo >> 4);
}

void WriteSerialNumber(std::vector<std::uint8_t>& memory, int serialNumber) {
    memory[SerialOffset] = ToBcd(serialNumber / 10000 % 100);
    memory[SerialOffset + 1] = ToBcd(serialNumber / 100 % 100);
    memory[SerialOffset + 2] = ToBcd(serialNumber % 100);
}

int ReadSerialNumber(const std::vector<std::uint8_t>& memory) {
    return (FromBcd(memory[SerialOffset]) * 100 + FromBcd(memory[SerialOffset + 1])) * 100 +
           FromBcd(memory[SerialOffset + 2]);
}

void WriteProfilePointers(std::vector<std::uint8_t>& memory, int memorySize, int startUnit, int endUnit) {
    const int start = EncodePointer(memorySize, startUnit);
    const int end = EncodePointer(memorySize, endUnit);
    memory[StartPointerOffset] = static_cast<std::uint8_t>(start & 0xFF);
    memory[StartPointerOffset + 1] = static_cast<std::uint8_t>((start >> 8) & 0xFF);
    memory[EndPointerOffset] = static_cast<std::uint8_t>(end & 0xFF);
    memory[EndPointerOffset + 1] = static_cast<std::uint8_t>((end >> 8) & 0xFF);
}

int ReadStartPointer(const std::vector<std::uint8_t>& memory, int memorySize) {
    return DecodePointer(memorySize, memory[StartPointerOffset], memory[StartPointerOffset + 1]);
}

int ReadEndPointer(const std::vector<std::uint8_t>& memory, int memorySize) {
    return DecodePointer(memorySize, memory[EndPointerOffset], memory[EndPointerOffset + 1]);
}

std::vector<std::uint8_t> BuildMemory(int memorySize, int serialNumber, int profileBlocks, bool wrapped,
                                      std::uint64_t seed) {
    const int units = memorySize * 8;
    // The logbook ring ends 32 units below the top of data memory.
    const int areaBlocks = (units - LogbookTopUnits - ProfileStartUnit) / 8;
    profileBlocks = std::clamp(profileBlocks, 0, wrapped ? areaBlocks - 2 : areaBlocks);
    std::vector<std::uint8_t> memory(static_cast<std::size_t>(memorySize) * BlockBytes, 0xFF);
    Random random(seed);

    // Block 0: identification bytes, the header record, and settings bytes
    // that the program carries but does not interpret.
    for (int i = 0; i < 2 * BlockBytes; ++i) memory[i] = random.Next();
    WriteSerialNumber(memory, serialNumber);
    for (int i = HeaderRecordOffset; i < HeaderRecordOffset + 16; ++i) memory[i] = random.Next();

    const int logged = wrapped ? areaBlocks : profileBlocks;
    for (int b = 0; b < logged; ++b)
        FillLogbookBlock(&memory[static_cast<std::size_t>(ProfileStartUnit + 8 * b) * UnitBytes], b + 1, random);

    if (profileBlocks == 0 && !wrapped) {
        WriteProfilePointers(memory, memorySize, ProfileStartUnit, ProfileStartUnit);
    } else {
        const int endUnit = ProfileStartUnit + 8 * std::max(profileBlocks, 1) - 1;
        const int startUnit = wrapped ? endUnit + 1 + 8 : ProfileStartUnit;
        WriteProfilePointers(memory, memorySize, startUnit, endUnit);
    }
    return memory;
}

void ClearLogbook(std::vector<std::uint8_t>& memory, int memorySize) {
    std::fill(memory.begin() + HeaderRecordOffset, memory.begin() + HeaderRecordOffset + UnitBytes, 0);
    WriteProfilePointers(memory, memorySize, ProfileStartUnit, ProfileStartUnit);
    std::fill(memory.begin() + ProfileStartUnit * UnitBytes, memory.end(), 0xFF);
}

std::uint8_t ByteSum(const std::uint8_t* bytes, int count) {
    unsigned sum = 0;
    for (int i = 0; i < count; ++i) sum += bytes[i];
    return static_cast<std::uint8_t>(sum & 0xFF);
}

}  // namespace sim
