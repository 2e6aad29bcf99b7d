// Policy spaces: fixed lists of moves that a network's policy head indexes.
// Each space maps a move (from, to, promotion) to its index and an index back
// to the move it names; some indices name no move at all (an AlphaZero plane
// that would leave the board, an underpromotion from a square no pawn
// promotes from).
//
//   from_to    4,096: from x 64 + to; every promotion piece of one pawn move
//              shares the index of the plain move.
//   uci        1,968: the 1,792 (from, to) pairs a queen or a knight could
//              make on an empty board, ascending by from x 64 + to; then the
//              176 promotions (44 pawn moves from the seventh rank to the
//              eighth and from the second to the first, straight or
//              diagonal), ascending by from x 64 + to and within one pair
//              knight, bishop, rook, queen.
//   alphazero  4,672: from x 73 + plane. Planes 0-55 are queen-like moves,
//              direction x 7 + distance - 1, directions N, NE, E, SE, S, SW,
//              W, NW (N up the board, E towards the h-file); a queen
//              promotion is such a move. Planes 56-63 are the knight moves
//              (file, rank) (+1,+2), (+2,+1), (+2,-1), (+1,-2), (-1,-2),
//              (-2,-1), (-2,+1), (-1,+2). Planes 64-72 are underpromotions,
//              64 + 3 x piece + direction, pieces knight, bishop, rook,
//              directions a capture towards the a-file, straight, a capture
//              towards the h-file; from the seventh rank they go up, from the
//              second down.
//
// Promotions are coded as the schema codes them: 0 none, 1 knight, 2 bishop,
// 3 rook, 4 queen. A view other than White's is the caller's business: it
// mirrors both squares (square ^ 56) before asking.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "common/mod.hpp"

namespace velmor::policy {

enum class Space : std::uint8_t { from_to, uci, alphazero };
inline constexpr std::size_t SPACE_COUNT = 3;

inline constexpr std::size_t FROM_TO_SIZE = 64 * 64;
inline constexpr std::size_t UCI_PAIRS = 1792;
inline constexpr std::size_t UCI_SIZE = UCI_PAIRS + 44 * 4;
inline constexpr std::size_t ALPHAZERO_PLANES = 73;
inline constexpr std::size_t ALPHAZERO_SIZE = 64 * ALPHAZERO_PLANES;

[[nodiscard]] constexpr std::size_t size(Space space) {
    switch (space) {
        case Space::from_to: return FROM_TO_SIZE;
        case Space::uci: return UCI_SIZE;
        case Space::alphazero: return ALPHAZERO_SIZE;
    }
    return 0;
}

// "from_to", "uci", "alphazero".
[[nodiscard]] std::string_view space_name(Space space);
[[nodiscard]] std::optional<Space> space_named(std::string_view name);

// The move an index names; `from` is -1 when it names none.
struct Entry {
    std::int8_t from = -1;
    std::int8_t to = -1;
    std::uint8_t promotion = 0;
};

namespace detail {

inline constexpr int QUEEN_STEPS[8][2] = {{0, 1}, {1, 1}, {1, 0}, {1, -1}, {0, -1}, {-1, -1}, {-1, 0}, {-1, 1}};
inline constexpr int KNIGHT_STEPS[8][2] = {{1, 2}, {2, 1}, {2, -1}, {1, -2}, {-1, -2}, {-2, -1}, {-2, 1}, {-1, 2}};

constexpr int sign(int v) { return (v > 0) - (v < 0); }
constexpr int magnitude(int v) { return v < 0 ? -v : v; }

// The AlphaZero plane of a move that is no underpromotion, or -1.
constexpr int alphazero_plane(unsigned from, unsigned to) {
    const int df = static_cast<int>(file_of(to)) - static_cast<int>(file_of(from));
    const int dr = static_cast<int>(rank_of(to)) - static_cast<int>(rank_of(from));
    for (int k = 0; k < 8; ++k)
        if (KNIGHT_STEPS[k][0] == df && KNIGHT_STEPS[k][1] == dr) return 56 + k;
    if ((df == 0) == (dr == 0) && magnitude(df) != magnitude(dr)) return -1;  // no line (or no move)
    const int distance = magnitude(df) > magnitude(dr) ? magnitude(df) : magnitude(dr);
    for (int d = 0; d < 8; ++d)
        if (QUEEN_STEPS[d][0] == sign(df) && QUEEN_STEPS[d][1] == sign(dr)) return d * 7 + distance - 1;
    return -1;
}

// Whether (from, to) is one of the 44 pawn moves that promote.
constexpr bool promotion_pair(unsigned from, unsigned to) {
    const int df = static_cast<int>(file_of(to)) - static_cast<int>(file_of(from));
    if (magnitude(df) > 1) return false;
    return (rank_of(from) == 6 && rank_of(to) == 7) || (rank_of(from) == 1 && rank_of(to) == 0);
}

struct Tables {
    std::array<std::int8_t, 64 * 64> alphazero_plane{};  // -1: none
    std::array<std::int16_t, 64 * 64> uci_pair{};        // -1: no queen or knight move
    std::array<std::int16_t, 64 * 64> uci_promotion{};   // -1: no promotion; else the knight's index
    std::array<Entry, UCI_SIZE> uci_entries{};
};

constexpr Tables make_tables() {
    Tables t{};
    int pairs = 0;
    for (unsigned from = 0; from < 64; ++from)
        for (unsigned to = 0; to < 64; ++to) {
            const int plane = alphazero_plane(from, to);
            t.alphazero_plane[from * 64 + to] = static_cast<std::int8_t>(plane);
            t.uci_pair[from * 64 + to] = -1;
            if (plane >= 0) {
                t.uci_entries[pairs] = Entry{static_cast<std::int8_t>(from), static_cast<std::int8_t>(to), 0};
                t.uci_pair[from * 64 + to] = static_cast<std::int16_t>(pairs++);
            }
        }
    int promotions = static_cast<int>(UCI_PAIRS);
    for (unsigned from = 0; from < 64; ++from)
        for (unsigned to = 0; to < 64; ++to) {
            t.uci_promotion[from * 64 + to] = -1;
            if (!promotion_pair(from, to)) continue;
            t.uci_promotion[from * 64 + to] = static_cast<std::int16_t>(promotions);
            for (std::uint8_t piece = 1; piece <= 4; ++piece)
                t.uci_entries[promotions++] = Entry{static_cast<std::int8_t>(from), static_cast<std::int8_t>(to), piece};
        }
    // The counts the definition gives, checked when the tables are built.
    if (pairs != static_cast<int>(UCI_PAIRS) || promotions != static_cast<int>(UCI_SIZE)) throw "policy table size";
    return t;
}

inline constexpr Tables TABLES = make_tables();

}  // namespace detail

// The index of a move in the space, or -1 when the space has none for it.
[[nodiscard]] constexpr std::int32_t index(Space space, unsigned from, unsigned to, unsigned promotion) {
    const unsigned pair = from * 64 + to;
    switch (space) {
        case Space::from_to: return static_cast<std::int32_t>(pair);
        case Space::uci:
            if (promotion) {
                const int base = detail::TABLES.uci_promotion[pair];
                return base < 0 ? -1 : base + static_cast<int>(promotion) - 1;
            }
            return detail::TABLES.uci_pair[pair];
        case Space::alphazero: {
            if (promotion >= 1 && promotion <= 3) {
                const int dr = static_cast<int>(rank_of(to)) - static_cast<int>(rank_of(from));
                if (!detail::promotion_pair(from, to) || (rank_of(from) == 6) != (dr == 1)) return -1;
                const int df = static_cast<int>(file_of(to)) - static_cast<int>(file_of(from));
                return static_cast<std::int32_t>(from * ALPHAZERO_PLANES + 64 + 3 * (promotion - 1) + (df + 1));
            }
            const int plane = detail::TABLES.alphazero_plane[pair];
            return plane < 0 ? -1 : static_cast<std::int32_t>(from * ALPHAZERO_PLANES + plane);
        }
    }
    return -1;
}

// The index of every move that is no promotion, by the key from | to << 6
// (the low twelve bits of a move word), -1 where the space has none: a mask
// of a position's moves is then a lookup a move. A view's mirror (both
// squares ^ 56) is the key's XOR with FLIP_KEY.
inline constexpr unsigned KEY_COUNT = 64 * 64;
inline constexpr unsigned FLIP_KEY = 56 | 56 << 6;

namespace detail {

constexpr std::array<std::array<std::int16_t, KEY_COUNT>, SPACE_COUNT> make_move_indices() {
    std::array<std::array<std::int16_t, KEY_COUNT>, SPACE_COUNT> t{};
    for (std::size_t space = 0; space < SPACE_COUNT; ++space)
        for (unsigned key = 0; key < KEY_COUNT; ++key)
            t[space][key] = static_cast<std::int16_t>(index(static_cast<Space>(space), key & 63, key >> 6, 0));
    return t;
}

inline constexpr auto MOVE_INDICES = make_move_indices();

}  // namespace detail

[[nodiscard]] constexpr const std::int16_t* move_indices(Space space) {
    return detail::MOVE_INDICES[static_cast<std::size_t>(space)].data();
}

// The move at an index below size(space).
[[nodiscard]] Entry entry(Space space, std::size_t index);

}  // namespace velmor::policy
