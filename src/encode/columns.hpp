// The encoder's output: one array per schema column, each position written
// straight into the memory that is handed over at the end, so that a
// position's bytes are written once and never copied. The arrays grow by
// moving their pages (encode/bulk.hpp), from half the last batch of the
// process, so that batches of one size keep reusing the same pages. No
// Python here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "board/mod.hpp"
#include "encode/mod.hpp"

namespace velmor::encode {

// The columns in schema order, with their bytes per position.
enum Column : unsigned {
    PLANES,
    TURN,
    CASTLING,
    EN_PASSANT,
    HALFMOVE_CLOCK,
    FULLMOVE_NUMBER,
    MOVE_FROM,
    MOVE_TO,
    MOVE_PROMOTION,
    RESULT,
    GAME,
    PLY,
    COLUMN_COUNT
};
inline constexpr std::array<std::size_t, COLUMN_COUNT> COLUMN_BYTES = {PLANE_BYTES, 1, 4, 1, 4, 4, 1, 1, 1, 1, 8, 4};

// The four castling bits as four bytes of 0/1, K first.
inline constexpr std::array<std::uint32_t, 16> CASTLING_BYTES = [] {
    std::array<std::uint32_t, 16> table{};
    for (unsigned bits = 0; bits < 16; ++bits)
        for (unsigned right = 0; right < 4; ++right)
            if (bits >> right & 1) table[bits] |= std::uint32_t{1} << (8 * right);
    return table;
}();

// What a position row says beside the board.
struct RowFields {
    std::int64_t game;
    std::int32_t halfmove_clock;
    std::int32_t fullmove_number;
    std::int32_t ply;
    std::int8_t move_from;  // -1 for a final position
    std::int8_t move_to;
    std::uint8_t move_promotion;
};

class Columns {
public:
    Columns() = default;
    Columns(const Columns&) = delete;
    Columns& operator=(const Columns&) = delete;
    ~Columns();

    [[nodiscard]] std::size_t size() const { return size_; }

    // Appends a position; its result is written by set_result once the game
    // ends. Throws std::bad_alloc when memory is out, the columns unchanged.
    void append(const Planes& planes, std::uint64_t state, const RowFields& row) {
        if (size_ == capacity_) [[unlikely]]
            grow();
        const std::size_t i = size_;
        write_planes(planes, data_[PLANES] + i * PLANE_BYTES);
        data_[TURN][i] = (state & WHITE_TO_MOVE) ? 0 : 1;
        std::memcpy(data_[CASTLING] + 4 * i, &CASTLING_BYTES[castling_bits(state)], 4);
        data_[EN_PASSANT][i] = static_cast<std::uint8_t>(en_passant_file(state));
        std::memcpy(data_[HALFMOVE_CLOCK] + 4 * i, &row.halfmove_clock, 4);
        std::memcpy(data_[FULLMOVE_NUMBER] + 4 * i, &row.fullmove_number, 4);
        data_[MOVE_FROM][i] = static_cast<std::uint8_t>(row.move_from);
        data_[MOVE_TO][i] = static_cast<std::uint8_t>(row.move_to);
        data_[MOVE_PROMOTION][i] = row.move_promotion;
        std::memcpy(data_[GAME] + 8 * i, &row.game, 8);
        std::memcpy(data_[PLY] + 4 * i, &row.ply, 4);
        size_ = i + 1;
    }

    // The result of the positions from `first` on.
    void set_result(std::size_t first, std::int8_t result) {
        if (first < size_) std::memset(data_[RESULT] + first, static_cast<std::uint8_t>(result), size_ - first);
    }

    // Drops the positions from `size` on (a game skipped after its start).
    void truncate(std::size_t size) {
        if (size < size_) size_ = size;
    }

    // Hands over the arrays of the size() positions: column c is a block that
    // bulk_free(block, size() * COLUMN_BYTES[c]) frees. The columns are then
    // empty. Throws std::bad_alloc when memory is out, nothing handed over.
    [[nodiscard]] std::array<std::uint8_t*, COLUMN_COUNT> release();

private:
    void grow();
    // Every column to at least `target` positions; false when one could not
    // grow (those that did keep their room).
    bool grow_to(std::size_t target);

    std::array<std::uint8_t*, COLUMN_COUNT> data_{};
    std::array<std::size_t, COLUMN_COUNT> capacities_{};  // in positions, per column
    std::size_t capacity_ = 0;                            // the smallest of them
    std::size_t size_ = 0;
};

}  // namespace velmor::encode
