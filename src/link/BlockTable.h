#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace pelora {

// A fixed table of blocks 1 to 1024, each of 130 signed 16-bit columns:
// column 0 the block's address (16-byte units), columns 1 to 128 its bytes,
// column 129 its check byte. Block k is stored in row k - 1.
class BlockTable {
public:
    static constexpr int Rows = 1024;
    static constexpr int Columns = 130;
    using Row = std::array<std::int16_t, Columns>;

    BlockTable() : rows_(Rows) {}

    // Block k, counted from 1. Throws std::out_of_range outside 1..1024.
    Row& Block(int k) { return rows_.at(RowIndex(k)); }
    const Row& Block(int k) const { return rows_.at(RowIndex(k)); }

private:
    static std::size_t RowIndex(int k) { return k >= 1 ? static_cast<std::size_t>(k - 1) : Rows; }

    std::vector<Row> rows_;
};

}  // namespace pelora
