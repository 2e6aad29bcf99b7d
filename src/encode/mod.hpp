// Turning positions into training rows: the piece planes as bytes, and the
// per-position features of a game's positions. No Python here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "board/mod.hpp"
#include "chess_move/mod.hpp"

namespace velmor::encode {

// Bytes per position of the plane array: [plane, rank, file], rank 0 = rank 1.
inline constexpr std::size_t PLANE_BYTES = 12 * 64;

// Eight bytes of 0/1 for each byte value, lowest bit first: one rank's files.
inline constexpr std::array<std::uint64_t, 256> RANK_BYTES = [] {
    std::array<std::uint64_t, 256> table{};
    for (unsigned value = 0; value < 256; ++value)
        for (unsigned file = 0; file < 8; ++file)
            if (value >> file & 1) table[value] |= std::uint64_t{1} << (8 * file);
    return table;
}();

// Writes the twelve planes as 768 bytes of 0/1. Every plane is written as it
// is, so a square held by two planes shows in both.
inline void write_planes(const Planes& planes, std::uint8_t* out) {
    for (unsigned plane = 0; plane < 12; ++plane) {
        const Bitboard b = planes[plane];
        for (unsigned rank = 0; rank < 8; ++rank) {
            const std::uint64_t bytes = RANK_BYTES[(b >> (8 * rank)) & 0xFF];
            std::memcpy(out + 64 * plane + 8 * rank, &bytes, 8);
        }
    }
}

// The four castling rights in the order K, Q, k, q, one bit each.
[[nodiscard]] inline std::uint8_t castling_bits(std::uint64_t state) {
    return static_cast<std::uint8_t>((state >> WHITE_KING_SIDE) & 0xF);
}

// The en-passant file that fen() writes for the position, or -1: the lowest
// file of the side to move's set. A double pawn step always sets one, whether
// or not a pawn can take.
[[nodiscard]] inline std::int8_t en_passant_file(std::uint64_t state) {
    const std::uint64_t files = (state >> ((state & WHITE_TO_MOVE) ? RANK6_SET : RANK3_SET)) & 0xFF;
    return files ? static_cast<std::int8_t>(lsb(files)) : std::int8_t{-1};
}

// The promotion code of the schema: 0 none, 1 knight .. 4 queen.
[[nodiscard]] inline std::uint8_t promotion_code(ChessMove move) {
    return move.special() >= ChessMove::PROMOTE_KNIGHT ? static_cast<std::uint8_t>(move.special() - 3) : 0;
}

// Whether the move resets the half-move clock: a pawn move or a capture.
[[nodiscard]] inline bool resets_clock(const Board& board, ChessMove move) {
    const unsigned own = board.white_to_move() ? 0 : BLACK_PLANES;
    const unsigned other = BLACK_PLANES - own;
    if (board.planes[own + PAWN] & square_bb(move.from())) return true;
    return plane_at(board.planes, move.to(), other, other + 6) != 12;
}

}  // namespace velmor::encode
