// Block 0 layout, pointer rules and the logbook builder.

#include <gtest/gtest.h>

#include "sim/Memory.h"

TEST(MemoryPointers, DecodeByTheMemorySizeRule) {
    EXPECT_EQ(sim::DecodePointer(512, 0x00, 0x01), 16);
    EXPECT_EQ(sim::DecodePointer(512, 0x40, 0x25), 596);
    EXPECT_EQ(sim::DecodePointer(1024, 0x10, 0x00), 16);
    EXPECT_EQ(sim::DecodePointer(1024, 0x2C, 0x01), 300);
    for (int size : {512, 1024}) {
        for (int unit : {16, 335, 4063, 4095}) {
            const int value = sim::EncodePointer(size, unit);
            EXPECT_EQ(sim::DecodePointer(size, value & 0xFF, (value >> 8) & 0xFF), unit);
        }
    }
}

TEST(MemoryBuilder, SerialNumberPointersAndAReproducibleLogbook) {
    const auto memory = sim::BuildMemory(512, 4711, 40);
    ASSERT_EQ(memory.size(), 512u * 128u);
    EXPECT_EQ(std::vector<std::uint8_t>(memory.begin() + 10, memory.begin() + 13),
              (std::vector<std::uint8_t>{0x00, 0x47, 0x11}));
    EXPECT_EQ(sim::ReadSerialNumber(memory), 4711);
    EXPECT_EQ(sim::ReadStartPointer(memory, 512), 16);
    EXPECT_EQ(sim::ReadEndPointer(memory, 512) / 8 - 1, 40);  // the program saves exactly the logbook's blocks
    EXPECT_EQ(memory, sim::BuildMemory(512, 4711, 40));
    EXPECT_NE(memory, sim::BuildMemory(512, 4711, 40, false, 8));  // another seed
}

TEST(MemoryBuilder, EmptyAndWrappedLogbooks) {
    const auto empty = sim::BuildMemory(1024, 1, 0);
    EXPECT_EQ(sim::ReadStartPointer(empty, 1024), sim::ReadEndPointer(empty, 1024));
    for (int size : {512, 1024}) {
        const auto wrapped = sim::BuildMemory(size, 1, 30, true);
        const int start = sim::ReadStartPointer(wrapped, size);
        const int end = sim::ReadEndPointer(wrapped, size);
        EXPECT_LT(end, start);
        EXPECT_GE(end, 16);
        EXPECT_LT(start, size * 8);
        // The whole ring holds logbook entries; the top 32 units do not.
        EXPECT_EQ(wrapped[static_cast<std::size_t>(size * 8 - 40) * 16], 0xFA);
        EXPECT_EQ(wrapped[static_cast<std::size_t>(size * 8 - 32) * 16], 0xFF);
    }
}
