#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace pelora {

// A fixed table of blocks 1 to 1024, each of 130 signed 16-bit columns:
// column 0 the block's address (16-byte units), columns 1 to 128 its bytes,
// column 129 its check byte. Block k is stored in row k - 1.
//
// A table takes its quarter megabyte only when a block is first written: the
// program holds several (two per image, the saved profile) and most stay
// empty, and zeroing them all made the window appear later. Unwritten blocks
// read as zeros, and a written table never moves its rows.
class BlockTable {
public:
    static constexpr int Rows = 1024;
    static constexpr int Columns = 130;
    using Row = std::array<std::int16_t, Columns>;

    // Block k, counted from 1. Throws std::out_of_range outside 1..1024.
    Row& Block(int k)
    {
        const std::size_t index = RowIndex(k);
        if (rows_.empty()) rows_.resize(Rows);
        return rows_[index];
    }
    const Row& Block(int k) const
    {
        const std::size_t index = RowIndex(k);
        return rows_.empty() ? kEmptyRow : rows_[index];
    }

private:
    static std::size_t RowIndex(int k)
    {
        if (k < 1 || k > Rows) throw std::out_of_range("block " + std::to_string(k) + " is not in 1..1024");
        return static_cast<std::size_t>(k - 1);
    }

    static constexpr Row kEmptyRow{};
    std::vector<Row> rows_;
};

}  // namespace pelora
