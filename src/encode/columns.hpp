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

// The columns in schema order. Those computed from the board and the moves
// come first (COMPUTED_COLUMNS of them: the position store computes them
// back from its moves); the rest are read from the game's text.
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
    CLOCK,
    OPPONENT_CLOCK,
    EVAL,
    MATE,
    COLUMN_COUNT
};
inline constexpr unsigned COMPUTED_COLUMNS = PLY + 1;

// One column: its name, NumPy dtype, shape per position and meaning.
struct ColumnSpec {
    const char* name;
    const char* dtype;
    std::size_t item_bytes;
    std::array<std::size_t, 3> shape;
    unsigned dimensions;
    bool computed;  // from the board and the moves, not read from the text
    const char* meaning;
};

// The schema, declared once: the Python package and the dataset layout
// derive everything from this table.
inline constexpr std::array<ColumnSpec, COLUMN_COUNT> SCHEMA = {{
    {"planes", "uint8", 1, {12, 8, 8}, 3, true,
     "piece planes [plane, rank, file], rank 0 = rank 1, as Board.bitboard()"},
    {"turn", "uint8", 1, {}, 0, true, "side to move: 0 White, 1 Black"},
    {"castling", "uint8", 1, {4}, 1, true,
     "rights 0/1: White king side, White queen side, Black king side, Black queen side"},
    {"en_passant", "int8", 1, {}, 0, true, "file 0-7 of the en-passant square Board.fen() writes, -1 none"},
    {"halfmove_clock", "int32", 4, {}, 0, true, "plies since the last capture or pawn move"},
    {"fullmove_number", "int32", 4, {}, 0, true,
     "move number, from 1 (or the FEN tag's), rising after Black's move"},
    {"move_from", "int8", 1, {}, 0, true,
     "from square (a1 = 0 .. h8 = 63) of the move played; -1 for a final position, -2 for a null move"},
    {"move_to", "int8", 1, {}, 0, true,
     "to square of the move played; -1 for a final position, -2 for a null move"},
    {"move_promotion", "uint8", 1, {}, 0, true, "0 none, 1 knight, 2 bishop, 3 rook, 4 queen"},
    {"result", "int8", 1, {}, 0, true, "result from White's view: 1 won, 0 draw, -1 lost, -2 unknown (*)"},
    {"game", "int64", 8, {}, 0, true, "game index in the source"},
    {"ply", "int32", 4, {}, 0, true, "plies played from the game's start position"},
    {"clock", "float32", 4, {}, 0, false,
     "seconds left to the side to move: the %clk of its last move; before its first move the TimeControl "
     "base if the game has %clk comments; else NaN"},
    {"opponent_clock", "float32", 4, {}, 0, false,
     "seconds left to the other side, by the same rule (its last move is the one that reached the position)"},
    {"eval", "float32", 4, {}, 0, false,
     "pawns from White's view: the %eval after the move that reached the position (a comment before the "
     "first move for the start); NaN when none or a mate score"},
    {"mate", "int16", 2, {}, 0, false,
     "from %eval #n on the same comment: +n White mates in n, -n Black mates in n; 0 none"},
}};

// Bytes per position of each column.
inline constexpr std::array<std::size_t, COLUMN_COUNT> COLUMN_BYTES = [] {
    std::array<std::size_t, COLUMN_COUNT> bytes{};
    for (unsigned c = 0; c < COLUMN_COUNT; ++c) {
        bytes[c] = SCHEMA[c].item_bytes;
        for (unsigned d = 0; d < SCHEMA[c].dimensions; ++d) bytes[c] *= SCHEMA[c].shape[d];
    }
    return bytes;
}();
static_assert(COLUMN_BYTES[PLANES] == PLANE_BYTES);

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
    float clock;
    float opponent_clock;
    float eval;
    std::int16_t mate;
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
        std::memcpy(data_[CLOCK] + 4 * i, &row.clock, 4);
        std::memcpy(data_[OPPONENT_CLOCK] + 4 * i, &row.opponent_clock, 4);
        std::memcpy(data_[EVAL] + 4 * i, &row.eval, 4);
        std::memcpy(data_[MATE] + 2 * i, &row.mate, 2);
        size_ = i + 1;
    }

    // The result of the positions from `first` on.
    void set_result(std::size_t first, std::int8_t result) {
        if (first < size_) std::memset(data_[RESULT] + first, static_cast<std::uint8_t>(result), size_ - first);
    }

    // Writes a float column's value at an earlier row.
    void set_float(Column column, std::size_t row, float value) {
        if (row < size_) std::memcpy(data_[column] + 4 * row, &value, 4);
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
