// Block 0 layout, pointer rules and the logbook builder.

#include <gtest/gtest.h>

#include <tuple>
#include <utility>

#include "sim/Device.h"
#include "sim/Memory.h"

TEST(MemoryPointers, UnitNumberFor1024BlocksByteAddressOtherwise) {
    const std::tuple<int, int, int, int> cases[] = {  // size, low byte, high byte, unit
        {512, 0x00, 0x01, 16}, {512, 0x40, 0x25, 596}, {512, 0xF0, 0xFF, 4095}, {1024, 0x10, 0x00, 16},
        {1024, 0x2C, 0x01, 300}, {1024, 0xFF, 0x0F, 4095}};
    for (const auto& [size, lo, hi, unit] : cases) {
        EXPECT_EQ(sim::DecodePointer(size, lo, hi), unit);
        EXPECT_EQ(sim::EncodePointer(size, unit), hi * 256 + lo);
    }
}

// Any other size is taken as 512 blocks, whose pointers the device can encode.
TEST(MemoryBuilder, TheDeviceKnowsTwoMemorySizes) {
    for (const auto& [asked, taken] : {std::pair{1024, 1024}, {512, 512}, {4, 512}, {2048, 512}}) {
        sim::DeviceConfig config;
        config.memorySize = asked;
        config.wrappedProfile = true;
        EXPECT_EQ(sim::Device(config).MemorySize(), taken) << asked;
    }
}

// The program saves exactly the logbook's blocks; a wrapped logbook fills
// the whole ring, which ends 32 units below the top.
TEST(MemoryBuilder, SerialNumberPointersAndAReproducibleLogbook) {
    const auto memory = sim::BuildMemory(512, 4711, 40);
    ASSERT_EQ(memory.size(), 512u * 128u);
    EXPECT_EQ(std::vector<std::uint8_t>(memory.begin() + 10, memory.begin() + 13),
              (std::vector<std::uint8_t>{0x00, 0x47, 0x11}));
    EXPECT_EQ(sim::ReadSerialNumber(memory), 4711);
    EXPECT_EQ(sim::ReadStartPointer(memory, 512), 16);
    EXPECT_EQ(sim::ReadEndPointer(memory, 512), 16 + 40 * 8 - 1);
    EXPECT_EQ(memory, sim::BuildMemory(512, 4711, 40));
    EXPECT_NE(memory, sim::BuildMemory(512, 4711, 40, false, 8));  // another seed
    const auto empty = sim::BuildMemory(1024, 1, 0);
    EXPECT_EQ(sim::ReadStartPointer(empty, 1024), sim::ReadEndPointer(empty, 1024));
    for (int size : {512, 1024}) {
        const auto wrapped = sim::BuildMemory(size, 1, 30, true);
        const int start = sim::ReadStartPointer(wrapped, size), end = sim::ReadEndPointer(wrapped, size);
        EXPECT_TRUE(16 <= end && end < start && start < size * 8) << end << " " << start;
        EXPECT_EQ(wrapped[static_cast<std::size_t>(size * 8 - 40) * 16], 0xFA);
        EXPECT_EQ(wrapped[static_cast<std::size_t>(size * 8 - 32) * 16], 0xFF);
    }
}
