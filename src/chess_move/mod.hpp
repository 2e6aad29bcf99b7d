// The move word and its coordinate text.
//
//   bits  0-5   from square
//   bits  6-11  to square
//   bits 12-15  special code: 0 ordinary, 1 en passant, 2 double pawn step,
//               3 castling, 4-7 promotion to knight, bishop, rook, queen;
//               8-15 have no meaning and cannot be written as text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "common/mod.hpp"

namespace velmor {

struct ChessMove {
    std::uint16_t word;  // left uninitialised by default, like the integer it is

    static constexpr unsigned TO_SHIFT = 6;
    static constexpr unsigned SPECIAL_SHIFT = 12;

    static constexpr unsigned ORDINARY = 0;
    static constexpr unsigned EN_PASSANT = 1;
    static constexpr unsigned DOUBLE_STEP = 2;
    static constexpr unsigned CASTLING = 3;
    static constexpr unsigned PROMOTE_KNIGHT = 4;
    static constexpr unsigned PROMOTE_BISHOP = 5;
    static constexpr unsigned PROMOTE_ROOK = 6;
    static constexpr unsigned PROMOTE_QUEEN = 7;
    // The promotion letters in code order, from PROMOTE_KNIGHT on.
    static constexpr std::string_view PROMOTION_LETTERS = "nbrq";

    // Longest text: four coordinates and a promotion letter.
    static constexpr std::size_t MAX_TEXT = 5;

    [[nodiscard]] constexpr unsigned from() const { return word & 63; }
    [[nodiscard]] constexpr unsigned to() const { return (word >> TO_SHIFT) & 63; }
    [[nodiscard]] constexpr unsigned special() const { return word >> SPECIAL_SHIFT; }

    // Packs without range tests; for callers whose squares come from bitboards.
    [[nodiscard]] static constexpr ChessMove pack(unsigned from, unsigned to, unsigned special = ORDINARY) {
        return ChessMove{static_cast<std::uint16_t>(from | (to << TO_SHIFT) | (special << SPECIAL_SHIFT))};
    }

    // Packs with the range tests, failing with a panic.
    [[nodiscard]] static ChessMove create(std::uint16_t from, std::uint16_t to, std::uint16_t special) {
        if (from >= 64) [[unlikely]]
            panic("Invalid FROM int");
        if (to >= 64) [[unlikely]]
            panic("Invalid TO int");
        if (special >= 16) [[unlikely]]
            panic("Invalid SPECIAL int");
        return pack(from, to, special);
    }

    // Reads coordinate text. An error text (not yet prefixed) for a wrong length
    // or promotion letter; a panic for coordinates out of range.
    [[nodiscard]] static std::variant<ChessMove, std::string> from_str(std::string_view text);

    // Writes the coordinate text into out (room for MAX_TEXT) and returns its
    // length; codes 8-15 fail with a panic.
    std::size_t write(char* out) const {
        const unsigned f = from();
        const unsigned t = to();
        out[0] = static_cast<char>('a' + (f & 7));
        out[1] = static_cast<char>('1' + (f >> 3));
        out[2] = static_cast<char>('a' + (t & 7));
        out[3] = static_cast<char>('1' + (t >> 3));
        const unsigned code = special();
        if (code < PROMOTE_KNIGHT) return 4;
        if (code > PROMOTE_QUEEN) [[unlikely]]
            panic("explicit panic");
        out[4] = PROMOTION_LETTERS[code - PROMOTE_KNIGHT];
        return 5;
    }

    [[nodiscard]] std::string text() const {
        char buffer[MAX_TEXT];
        return std::string(buffer, write(buffer));
    }

    friend constexpr bool operator==(ChessMove, ChessMove) = default;
};

}  // namespace velmor
