// Slider tables, leaper moves, the attack test and the legal listing.
#include <gtest/gtest.h>

#include <bit>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "board/mod.hpp"
#include "helpers.hpp"
#include "move_generator/mod.hpp"

namespace {

using namespace velmor;
using namespace velmor::testing;

constexpr std::uint64_t bit(unsigned b) { return std::uint64_t{1} << b; }

// ---------------------------------------------------------------- references

// Ray walk on file and rank coordinates, so no step can wrap.
Bitboard reference_attacks(unsigned square, Bitboard occupancy, bool rook) {
    static constexpr int ROOK_DIRS[4][2] = {{0, 1}, {0, -1}, {1, 0}, {-1, 0}};
    static constexpr int BISHOP_DIRS[4][2] = {{1, 1}, {1, -1}, {-1, 1}, {-1, -1}};
    const auto& dirs = rook ? ROOK_DIRS : BISHOP_DIRS;
    Bitboard attacks = 0;
    for (const auto& d : dirs) {
        int file = int(square % 8) + d[0], rank = int(square / 8) + d[1];
        while (file >= 0 && file < 8 && rank >= 0 && rank < 8) {
            const unsigned s = unsigned(8 * rank + file);
            attacks |= bit(s);
            if (occupancy >> s & 1) break;
            file += d[0];
            rank += d[1];
        }
    }
    return attacks;
}

// The blocking squares: the lines without their last square and without the
// square itself.
Bitboard reference_mask(unsigned square, bool rook) {
    const int f0 = int(square % 8), r0 = int(square / 8);
    Bitboard mask = 0;
    for (unsigned s = 0; s < 64; ++s) {
        const int f = int(s % 8), r = int(s / 8);
        if (s == square) continue;
        if (rook) {
            if (f == f0 && r >= 1 && r <= 6) mask |= bit(s);
            if (r == r0 && f >= 1 && f <= 6) mask |= bit(s);
        } else if ((f - f0 == r - r0 || f - f0 == r0 - r) && f >= 1 && f <= 6 && r >= 1 && r <= 6) {
            mask |= bit(s);
        }
    }
    return mask;
}

// The k-th subset of the mask: bit j of k picks the j-th lowest square.
Bitboard subset(Bitboard mask, std::uint64_t k) {
    Bitboard occupancy = 0;
    for (unsigned j = 0; mask; ++j) {
        const Bitboard lowest = mask & (~mask + 1);
        if (k >> j & 1) occupancy |= lowest;
        mask &= mask - 1;
    }
    return occupancy;
}

// Rank 8 first, file a to h, as they stand on the board.
constexpr unsigned BISHOP_SHIFT_GRID[8][8] = {
    {58, 59, 59, 59, 59, 59, 59, 58}, {59, 59, 59, 59, 59, 59, 59, 59}, {59, 59, 57, 57, 57, 57, 59, 59},
    {59, 59, 57, 55, 55, 57, 59, 59}, {59, 59, 57, 55, 55, 57, 59, 59}, {59, 59, 57, 57, 57, 57, 59, 59},
    {59, 59, 59, 59, 59, 59, 59, 59}, {58, 59, 59, 59, 59, 59, 59, 58},
};

unsigned expected_rook_mask_size(unsigned square) {
    const bool file_edge = square % 8 == 0 || square % 8 == 7;
    const bool rank_edge = square / 8 == 0 || square / 8 == 7;
    return file_edge && rank_edge ? 12 : (file_edge || rank_edge ? 11 : 10);
}

unsigned expected_bishop_mask_size(unsigned square) { return 64 - BISHOP_SHIFT_GRID[7 - square / 8][square % 8]; }

// ---------------------------------------------------------------- masks and shifts

TEST(SliderMasks, GivenExamples) {
    EXPECT_EQ(get_rook_cross(0), 0x000101010101017EULL);
    EXPECT_EQ(get_rook_cross(27), bb({"d2", "d3", "d5", "d6", "d7", "b4", "c4", "e4", "f4", "g4"}));
    EXPECT_EQ(get_bishop_cross(0), 0x0040201008040200ULL);
    EXPECT_EQ(get_bishop_cross(27), 0x0040221400142200ULL);
    EXPECT_EQ(get_bishop_cross(27), bb({"b2", "c3", "e5", "f6", "g7", "b6", "c5", "e3", "f2"}));
}

TEST(SliderMasks, EverySquareMatchesTheReferenceAndItsSize) {
    for (unsigned square = 0; square < 64; ++square) {
        EXPECT_EQ(get_rook_cross(square), reference_mask(square, true)) << square;
        EXPECT_EQ(get_bishop_cross(square), reference_mask(square, false)) << square;
        EXPECT_EQ(unsigned(std::popcount(get_rook_cross(square))), expected_rook_mask_size(square)) << square;
        EXPECT_EQ(unsigned(std::popcount(get_bishop_cross(square))), expected_bishop_mask_size(square)) << square;
    }
}

TEST(SliderShifts, SixtyFourMinusTheMaskSize) {
    for (unsigned square = 0; square < 64; ++square) {
        EXPECT_EQ(ROOK_SHIFTS[square], 64 - std::popcount(get_rook_cross(square))) << square;
        EXPECT_EQ(BISHOP_SHIFTS[square], 64 - std::popcount(get_bishop_cross(square))) << square;
        EXPECT_EQ(ROOK_SHIFTS[square], 64 - expected_rook_mask_size(square)) << square;
        EXPECT_EQ(BISHOP_SHIFTS[square], BISHOP_SHIFT_GRID[7 - square / 8][square % 8]) << square;
    }
}

TEST(SliderMagics, SpotValues) {
    EXPECT_EQ(ROOK_MAGICS[0], 0x0A8002C000108020ULL);
    EXPECT_EQ(ROOK_MAGICS[27], 0x0D14880480100080ULL);
    EXPECT_EQ(ROOK_MAGICS[63], 0x0026002114058042ULL);
    EXPECT_EQ(BISHOP_MAGICS[0], 0x89A1121896040240ULL);
    EXPECT_EQ(BISHOP_MAGICS[27], 0x000400C00C010142ULL);
    EXPECT_EQ(BISHOP_MAGICS[63], 0x40102000A0A60140ULL);
}

// ---------------------------------------------------------------- tables

struct SliderKind {
    const char* name;
    bool rook;
    std::size_t limit;
};

void PrintTo(const SliderKind& c, std::ostream* os) { *os << c.name; }

class SliderTables : public ::testing::TestWithParam<SliderKind> {};

TEST_P(SliderTables, EveryOccupancyHashesInRangeWithoutConflict) {
    const auto& kind = GetParam();
    const MoveGenerator& gen = generator();
    std::size_t largest = 0, occupancies = 0;
    for (unsigned square = 0; square < 64; ++square) {
        const Bitboard mask = kind.rook ? get_rook_cross(square) : get_bishop_cross(square);
        const std::uint64_t magic = kind.rook ? ROOK_MAGICS[square] : BISHOP_MAGICS[square];
        const unsigned shift = (kind.rook ? ROOK_SHIFTS[square] : BISHOP_SHIFTS[square]) & 63;
        const Bitboard* table = gen.table(2 * square + (kind.rook ? 0 : 1));
        std::vector<Bitboard> seen(4096, ~Bitboard{0});
        const std::uint64_t count = std::uint64_t{1} << std::popcount(mask);
        for (std::uint64_t k = 0; k < count; ++k) {
            const Bitboard occupancy = subset(mask, k);
            const Bitboard attacks = reference_attacks(square, occupancy, kind.rook);
            const std::size_t index = (occupancy * magic) >> shift;
            ASSERT_LT(index, kind.limit) << square;
            if (seen[index] != ~Bitboard{0}) {
                ASSERT_EQ(seen[index], attacks) << "conflict at " << square;
            }
            seen[index] = attacks;
            ASSERT_EQ(table[index], attacks) << square << " " << hex(occupancy);
            largest = std::max(largest, index);
            ++occupancies;
        }
        // Words that no occupancy reaches hold 0.
        for (std::size_t i = 0; i < 4096; ++i)
            if (seen[i] == ~Bitboard{0}) {
                ASSERT_EQ(table[i], 0u) << square << " word " << i;
            }
    }
    EXPECT_EQ(largest, kind.limit - 1);
    EXPECT_EQ(occupancies, kind.rook ? 102400u : 5248u);
}

INSTANTIATE_TEST_SUITE_P(Kinds, SliderTables,
                         ::testing::Values(SliderKind{"rook", true, 4096}, SliderKind{"bishop", false, 512}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SliderTables, BishopWordsFrom512AreZero) {
    for (unsigned square = 0; square < 64; ++square) {
        const Bitboard* table = generator().table(2 * square + 1);
        for (std::size_t i = 512; i < 4096; ++i) ASSERT_EQ(table[i], 0u) << square << " " << i;
    }
}

// Construction clears only the words the fill does not write; on memory that
// held other data every word must still come out right. glibc hands the
// freed, dirtied block of this size to the generator.
TEST(SliderTables, GeneratorOnDirtyMemoryEqualsTheCheckedOne) {
    constexpr std::size_t bytes = MoveGenerator::TABLE_COUNT * MoveGenerator::TABLE_SIZE * sizeof(Bitboard);
    for (int round = 0; round < 2; ++round) {
        void* block = std::malloc(bytes);
        ASSERT_NE(block, nullptr);
        std::memset(block, 0xA5, bytes);
        std::free(block);
    }
    const MoveGenerator fresh;
    for (std::size_t entry = 0; entry < MoveGenerator::TABLE_COUNT; ++entry)
        ASSERT_TRUE(std::equal(fresh.table(entry), fresh.table(entry) + MoveGenerator::TABLE_SIZE,
                               generator().table(entry)))
            << entry;
}

TEST(SliderTables, RookBishopMovesBuildsTheStoredTable) {
    for (const unsigned square : {0u, 7u, 27u, 36u, 56u, 63u}) {
        std::vector<Bitboard> rook(4096, 0), bishop(4096, 0), other_kind(4096, 0);
        rook_bishop_moves(square, get_rook_cross(square), ROOK, rook.data());
        rook_bishop_moves(square, get_bishop_cross(square), BISHOP, bishop.data());
        rook_bishop_moves(square, get_bishop_cross(square), 5, other_kind.data());  // any kind but 3 is diagonal
        const Bitboard* stored_rook = generator().table(2 * square);
        const Bitboard* stored_bishop = generator().table(2 * square + 1);
        EXPECT_TRUE(std::equal(rook.begin(), rook.end(), stored_rook)) << square;
        EXPECT_TRUE(std::equal(bishop.begin(), bishop.end(), stored_bishop)) << square;
        EXPECT_EQ(other_kind, bishop) << square;
    }
}

TEST(SliderLookup, RandomOccupanciesMatchTheReference) {
    const MoveGenerator& gen = generator();
    std::mt19937_64 random(0x5eed);
    for (unsigned square = 0; square < 64; ++square)
        for (int round = 0; round < 600; ++round) {
            Bitboard occupancy = random();
            if (round % 3 == 1) occupancy &= random();
            if (round % 3 == 2) occupancy &= random() & random();
            ASSERT_EQ(gen.rook_attacks(square, occupancy), reference_attacks(square, occupancy, true))
                << square << " " << hex(occupancy);
            ASSERT_EQ(gen.bishop_attacks(square, occupancy), reference_attacks(square, occupancy, false))
                << square << " " << hex(occupancy);
            ASSERT_EQ(slide(square, occupancy, ROOK_STEPS), reference_attacks(square, occupancy, true));
            ASSERT_EQ(slide(square, occupancy, BISHOP_STEPS), reference_attacks(square, occupancy, false));
        }
}

TEST(SliderLookup, GivenExamples) {
    const MoveGenerator& gen = generator();
    EXPECT_EQ(gen.rook_attacks(sq("a1"), 0), 0x01010101010101FEULL);
    EXPECT_EQ(std::popcount(gen.rook_attacks(sq("a1"), 0)), 14);
    EXPECT_EQ(gen.rook_attacks(sq("d4"), bb({"d6", "b4"})),
              bb({"d5", "d6", "d3", "d2", "d1", "c4", "b4", "e4", "f4", "g4", "h4"}));
    // Pieces outside the mask change nothing.
    EXPECT_EQ(gen.rook_attacks(sq("a1"), bb({"a1", "a8", "h1", "e5"})), 0x01010101010101FEULL);
    EXPECT_EQ(gen.bishop_attacks(sq("d4"), bb({"d4", "a1", "h8", "a7", "g1"})), reference_attacks(27, 0, false));
    EXPECT_EQ(gen.bishop_attacks(sq("c1"), bb({"e3"})), bb({"b2", "a3", "d2", "e3"}));
}

// ---------------------------------------------------------------- leapers

struct LeaperCase {
    const char* name;
    Bitboard pieces;
    Bitboard own;
    bool king;
    std::string moves;
};

void PrintTo(const LeaperCase& c, std::ostream* os) { *os << c.name; }

class GetKMoves : public ::testing::TestWithParam<LeaperCase> {};

TEST_P(GetKMoves, OrderedList) {
    const auto& c = GetParam();
    MoveList out;
    get_k_moves(c.pieces, c.own, c.king ? KING_OFFSETS : KNIGHT_OFFSETS, c.king ? 1 : 2, out);
    EXPECT_EQ(texts(out), words(c.moves)) << c.name;
    for (const ChessMove move : out) EXPECT_EQ(move.special(), 0u);
}

const Bitboard WHITE_START = 0xFFFF;

INSTANTIATE_TEST_SUITE_P(
    Cases, GetKMoves,
    ::testing::Values(
        LeaperCase{"king a1", bb({"a1"}), bb({"a1"}), true, "a1a2 a1b1 a1b2"},
        LeaperCase{"king h1", bb({"h1"}), bb({"h1"}), true, "h1h2 h1g1 h1g2"},
        LeaperCase{"king d4", bb({"d4"}), bb({"d4"}), true, "d4d3 d4d5 d4e4 d4c4 d4e5 d4c5 d4c3 d4e3"},
        LeaperCase{"king a8", bb({"a8"}), bb({"a8"}), true, "a8a7 a8b8 a8b7"},
        LeaperCase{"king h8", bb({"h8"}), bb({"h8"}), true, "h8h7 h8g8 h8g7"},
        LeaperCase{"king d4 hemmed in", bb({"d4"}), bb({"d4", "d5", "e4"}), true, "d4d3 d4c4 d4e5 d4c5 d4c3 d4e3"},
        LeaperCase{"knight h8", bb({"h8"}), bb({"h8"}), false, "h8g6 h8f7"},
        LeaperCase{"knight d4", bb({"d4"}), bb({"d4"}), false, "d4c2 d4e2 d4f3 d4f5 d4e6 d4c6 d4b5 d4b3"},
        LeaperCase{"knight a1", bb({"a1"}), bb({"a1"}), false, "a1c2 a1b3"},
        LeaperCase{"knight h1", bb({"h1"}), bb({"h1"}), false, "h1g3 h1f2"},
        LeaperCase{"knight g1 at the start", bb({"g1"}), WHITE_START, false, "g1h3 g1f3"},
        LeaperCase{"two knights at the start", bb({"b1", "g1"}), WHITE_START, false, "b1c3 b1a3 g1h3 g1f3"},
        LeaperCase{"two knights, higher first in the set", bb({"g8", "b1"}), bb({"g8", "b1"}), false,
                   "b1d2 b1c3 b1a3 g8f6 g8h6 g8e7"},
        LeaperCase{"no pieces", 0, WHITE_START, true, ""}, LeaperCase{"no knights", 0, 0, false, ""}));

// ---------------------------------------------------------------- attack test

struct CheckCase {
    std::string fen;
    const char* square;
    unsigned defender;
    bool attacked;
};

void PrintTo(const CheckCase& c, std::ostream* os) { *os << c.fen << " " << c.square << " defender " << c.defender; }

class SquareInCheck : public ::testing::TestWithParam<CheckCase> {};

TEST_P(SquareInCheck, Attacked) {
    const auto& c = GetParam();
    const Board board = board_from_fen(c.fen);
    EXPECT_EQ(generator().square_in_check(board, sq(c.square), c.defender), c.attacked)
        << c.fen << " " << c.square << " defender " << c.defender;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SquareInCheck,
    ::testing::Values(
        // knights, and jumps that would wrap
        CheckCase{"8/8/8/8/8/5n2/8/8 w - -", "e1", 1, true}, CheckCase{"8/8/8/8/8/5n2/8/8 w - -", "g1", 1, true},
        CheckCase{"8/8/8/8/8/5n2/8/8 w - -", "h4", 1, true}, CheckCase{"8/8/8/8/8/5n2/8/8 w - -", "d2", 1, true},
        CheckCase{"8/8/8/8/8/5n2/8/8 w - -", "f3", 1, false}, CheckCase{"8/8/8/8/8/5n2/8/8 w - -", "e1", 0, false},
        CheckCase{"8/8/8/8/8/8/7N/8 w - -", "a1", 0, false}, CheckCase{"8/8/8/8/8/8/7N/8 w - -", "b4", 0, false},
        CheckCase{"8/8/8/8/8/8/7N/8 w - -", "f1", 0, true}, CheckCase{"8/8/8/8/8/8/7N/8 w - -", "g4", 0, true},
        CheckCase{"8/8/8/8/8/8/7N/8 w - -", "f1", 2, true},  // any value but 1 defends Black
        // pawns
        CheckCase{"8/8/8/8/3P4/8/8/8 w - -", "c5", 0, true}, CheckCase{"8/8/8/8/3P4/8/8/8 w - -", "e5", 0, true},
        CheckCase{"8/8/8/8/3P4/8/8/8 w - -", "d5", 0, false}, CheckCase{"8/8/8/8/3P4/8/8/8 w - -", "c5", 1, false},
        CheckCase{"8/8/8/8/3P4/8/8/8 w - -", "c3", 0, false},
        CheckCase{"8/8/8/4p3/8/8/8/8 w - -", "d4", 1, true}, CheckCase{"8/8/8/4p3/8/8/8/8 w - -", "f4", 1, true},
        CheckCase{"8/8/8/4p3/8/8/8/8 w - -", "e4", 1, false}, CheckCase{"8/8/8/4p3/8/8/8/8 w - -", "d6", 1, false},
        CheckCase{"8/8/8/p7/8/8/8/8 w - -", "b4", 1, true}, CheckCase{"8/8/8/p7/8/8/8/8 w - -", "h3", 1, false},
        CheckCase{"8/8/8/8/7P/8/8/8 w - -", "g5", 0, true}, CheckCase{"8/8/8/8/7P/8/8/8 w - -", "a6", 0, false},
        CheckCase{"8/8/8/8/7P/8/8/8 w - -", "a5", 0, false},
        // sliders, blockers of either colour, the piece on the square itself
        CheckCase{"4r3/8/8/8/4R3/8/8/8 w - -", "e4", 1, true}, CheckCase{"4r3/8/8/8/4R3/8/8/8 w - -", "e1", 1, false},
        CheckCase{"4r3/8/8/8/4R3/8/8/8 w - -", "e5", 1, true}, CheckCase{"4r3/8/8/8/4R3/8/8/8 w - -", "a8", 1, true},
        CheckCase{"4r3/8/8/8/4R3/8/8/8 w - -", "d7", 1, false},
        CheckCase{"b7/8/8/3P4/8/8/8/8 w - -", "h1", 1, false}, CheckCase{"b7/8/8/3P4/8/8/8/8 w - -", "c6", 1, true},
        CheckCase{"b7/8/8/3P4/8/8/8/8 w - -", "d5", 1, true}, CheckCase{"b7/8/8/3p4/8/8/8/8 w - -", "f3", 1, false},
        CheckCase{"8/8/8/8/3q4/8/8/8 w - -", "d8", 1, true}, CheckCase{"8/8/8/8/3q4/8/8/8 w - -", "h4", 1, true},
        CheckCase{"8/8/8/8/3q4/8/8/8 w - -", "a1", 1, true}, CheckCase{"8/8/8/8/3q4/8/8/8 w - -", "g7", 1, true},
        CheckCase{"8/8/8/8/3q4/8/8/8 w - -", "e6", 1, false}, CheckCase{"8/8/8/8/3q4/8/8/8 w - -", "d8", 0, false},
        CheckCase{"8/8/8/8/3Q4/8/8/8 w - -", "a7", 0, true}, CheckCase{"8/8/8/8/3Q4/8/8/8 w - -", "b5", 0, false},
        // kings, without wrapping
        CheckCase{"8/8/8/8/8/8/4k3/8 w - -", "e1", 1, true}, CheckCase{"8/8/8/8/8/8/4k3/8 w - -", "d1", 1, true},
        CheckCase{"8/8/8/8/8/8/4k3/8 w - -", "f3", 1, true}, CheckCase{"8/8/8/8/8/8/4k3/8 w - -", "e4", 1, false},
        CheckCase{"8/8/8/8/8/8/7K/8 w - -", "g3", 0, true}, CheckCase{"8/8/8/8/8/8/7K/8 w - -", "a3", 0, false},
        CheckCase{"8/8/8/8/8/8/7K/8 w - -", "a1", 0, false}, CheckCase{"8/8/8/8/8/8/7K/8 w - -", "a2", 0, false},
        CheckCase{"8/8/8/8/8/8/7K/8 w - -", "g1", 0, true}, CheckCase{"8/8/8/8/K7/8/8/8 w - -", "h3", 0, false},
        CheckCase{"8/8/8/8/K7/8/8/8 w - -", "h5", 0, false}, CheckCase{"8/8/8/8/K7/8/8/8 w - -", "b5", 0, true},
        // a piece of the defending side attacks nothing for it
        CheckCase{"8/8/8/8/8/5N2/8/8 w - -", "e1", 1, false}, CheckCase{"8/8/8/8/8/8/4K3/8 w - -", "e1", 1, false}));

TEST(SquareInCheck, NoAttackersNoAttack) {
    const Board board = board_from_fen("8/8/8/8/8/8/8/8 w - -");
    const Board own_only = board_from_fen("rnbqkbnr/pppppppp/8/8/8/8/8/8 w - -");
    for (unsigned square = 0; square < 64; ++square) {
        EXPECT_FALSE(generator().square_in_check(board, square, 1)) << square;
        EXPECT_FALSE(generator().square_in_check(board, square, 0)) << square;
        EXPECT_FALSE(generator().square_in_check(own_only, square, 0)) << square;
    }
}

TEST(SquareInCheck, SquareOutOfRangePanicsBeforeAnyTest) {
    // A knight on b7 or a pawn on b8 would "attack" square 64 if the leaper
    // tests ran first.
    for (const char* text : {"8/1n6/8/8/8/8/8/8 w - -", "1P6/8/8/8/8/8/8/8 w - -", "8/8/8/8/8/8/8/8 w - -"}) {
        const Board board = board_from_fen(text);
        for (const unsigned square : {64u, 65u, 100u})
            for (const unsigned defender : {0u, 1u}) {
                const auto message = caught<Panic>([&] { (void)generator().square_in_check(board, square, defender); });
                ASSERT_TRUE(message.has_value()) << text << " " << square;
                EXPECT_EQ(message->rfind("index out of bounds: ", 0), 0u) << *message;
            }
    }
}

// ---------------------------------------------------------------- magic_moves

std::vector<std::string> reference_slider_moves(const Board& board, unsigned first, unsigned kind) {
    Bitboard own = 0, others = 0;
    for (unsigned i = 0; i < 6; ++i) {
        own |= board.planes[first + i];
        others |= board.planes[(6 - first) + i];
    }
    std::vector<std::string> out;
    for (unsigned from = 0; from < 64; ++from) {
        if (!((board.planes[first + 4] | board.planes[first + kind]) >> from & 1)) continue;
        const Bitboard targets = reference_attacks(from, own | others, kind == 3) & ~own;
        for (unsigned to = 0; to < 64; ++to)
            if (targets >> to & 1) out.push_back(ChessMove::pack(from, to).text());
    }
    return out;
}

std::vector<std::string> slider_moves(const Board& board, unsigned first, unsigned kind) {
    Bitboard own = 0, others = 0;
    for (unsigned i = 0; i < 6; ++i) {
        own |= board.planes[first + i];
        others |= board.planes[(6 - first) + i];
    }
    MoveList out;
    generator().magic_moves(board, first, own, others, kind, out);
    for (const ChessMove move : out) EXPECT_EQ(move.special(), 0u);
    return texts(out);
}

TEST(MagicMoves, GivenOrder) {
    const Board board = board_from_fen("4k3/8/8/8/8/P7/8/R1p1K3 w - -");
    EXPECT_EQ(slider_moves(board, 0, 3), words("a1b1 a1c1 a1a2"));
    EXPECT_TRUE(slider_moves(board, 0, 2).empty());

    const Board queens = board_from_fen("4k3/8/8/8/3Q4/8/8/R3K2B w - -");
    EXPECT_EQ(slider_moves(queens, 0, 3),
              words("a1b1 a1c1 a1d1 a1a2 a1a3 a1a4 a1a5 a1a6 a1a7 a1a8 "
                    "d4d1 d4d2 d4d3 d4a4 d4b4 d4c4 d4e4 d4f4 d4g4 d4h4 d4d5 d4d6 d4d7 d4d8"));
    // The bishop on h1 (square 7) comes before the queen on d4 (square 27).
    EXPECT_EQ(slider_moves(queens, 0, 2),
              words("h1g2 h1f3 h1e4 h1d5 h1c6 h1b7 h1a8 "
                    "d4g1 d4b2 d4f2 d4c3 d4e3 d4c5 d4e5 d4b6 d4f6 d4a7 d4g7 d4h8"));
    EXPECT_TRUE(slider_moves(queens, 6, 3).empty());
    EXPECT_TRUE(slider_moves(queens, 6, 2).empty());
}

TEST(MagicMoves, MatchTheReferenceOnMixedPositions) {
    for (const char* text : {"r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -",
                             "8/6kR/8/8/8/bq6/1rqqqqqq/K1nqnbrq b - -", "4k3/8/8/8/8/8/8/4K3 w - -",
                             "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -",
                             "1Q4Q1/8/8/3bB3/3Bb3/8/8/rR4Rr w - -"}) {
        const Board board = board_from_fen(text);
        for (const unsigned first : {0u, 6u})
            for (const unsigned kind : {2u, 3u})
                EXPECT_EQ(slider_moves(board, first, kind), reference_slider_moves(board, first, kind))
                    << text << " first " << first << " kind " << kind;
    }
}

// ---------------------------------------------------------------- legal listing

// Lists the moves and checks that the board came back exactly. A castling
// right without its rook toggles the rook's keys on the way in and not on the
// way back, so the hashes are compared only where every right has its rook.
std::vector<std::string> listing(Board& board) {
    const Snapshot before = snapshot(board);
    const std::vector<std::string> moves = legal_texts(board);
    Snapshot after = snapshot(board);
    const bool rooks_in_place = (!(board.state >> 1 & 1) || (board.planes[3] >> 7 & 1)) &&
                                (!(board.state >> 2 & 1) || (board.planes[3] & 1)) &&
                                (!(board.state >> 3 & 1) || (board.planes[9] >> 63 & 1)) &&
                                (!(board.state >> 4 & 1) || (board.planes[9] >> 56 & 1));
    if (!rooks_in_place) {
        after.hash64 = before.hash64;
        after.hash16 = before.hash16;
    }
    EXPECT_EQ(after, before) << fen(board);
    EXPECT_EQ(legal_texts(board), moves) << "a second call differs";
    return moves;
}

struct ListCase {
    const char* name;
    std::string fen;
    std::string moves;
};

void PrintTo(const ListCase& c, std::ostream* os) { *os << c.name << ": " << c.fen; }

class LegalMoves : public ::testing::TestWithParam<ListCase> {};

TEST_P(LegalMoves, ExactOrderedList) {
    Board board = board_from_fen(GetParam().fen);
    EXPECT_EQ(listing(board), words(GetParam().moves)) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(
    Positions, LegalMoves,
    ::testing::Values(
        ListCase{"start", std::string(DEFAULT_FEN),
                 "b1c3 b1a3 g1h3 g1f3 a2a3 a2a4 b2b3 b2b4 c2c3 c2c4 d2d3 d2d4 e2e3 e2e4 f2f3 f2f4 g2g3 g2g4 h2h3 "
                 "h2h4"},
        ListCase{"after e2e4", "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3",
                 "b8a6 b8c6 g8f6 g8h6 a7a6 a7a5 b7b6 b7b5 c7c6 c7c5 d7d6 d7d5 e7e6 e7e5 f7f6 f7f5 g7g6 g7g5 h7h6 "
                 "h7h5"},
        ListCase{"en passant", "4k3/8/8/3pP3/8/8/8/4K3 w - d6", "e1e2 e1f1 e1d1 e1f2 e1d2 e5d6 e5e6"},
        ListCase{"promotion", "1n2k3/P7/8/8/8/8/8/4K3 w - -",
                 "e1e2 e1f1 e1d1 e1f2 e1d2 a7b8n a7b8b a7b8r a7b8q a7a8n a7a8b a7a8r a7a8q"},
        ListCase{"rook and queen", "4k3/8/8/8/8/8/8/R3K2Q w - -",
                 "e1e2 e1f1 e1d1 e1f2 e1d2 a1b1 a1c1 a1d1 a1a2 a1a3 a1a4 a1a5 a1a6 a1a7 a1a8 h1f1 h1g1 h1h2 h1h3 "
                 "h1h4 h1h5 h1h6 h1h7 h1h8 h1g2 h1f3 h1e4 h1d5 h1c6 h1b7 h1a8"},
        ListCase{"Kiwipete", "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -",
                 "e1f1 e1d1 e1g1 e1c1 c3b1 c3d1 c3b5 c3a4 e5d3 e5g4 e5g6 e5f7 e5d7 e5c6 e5c4 a2a3 a2a4 b2b3 g2h3 "
                 "g2g3 g2g4 d5e6 d5d6 a1b1 a1c1 a1d1 h1f1 h1g1 f3d3 f3e3 f3g3 f3h3 f3f4 f3f5 f3f6 d2c1 d2e3 d2f4 "
                 "d2g5 d2h6 e2d1 e2f1 e2d3 e2c4 e2b5 e2a6 f3g4 f3h5"},
        ListCase{"pinned rook stays on its file", "4r1k1/8/8/8/8/8/4R3/4K3 w - -",
                 "e1f1 e1d1 e1f2 e1d2 e2e3 e2e4 e2e5 e2e6 e2e7 e2e8"},
        ListCase{"pinned knight cannot move", "4k3/4r3/8/8/8/8/4N3/4K3 w - -", "e1f1 e1d1 e1f2 e1d2"},
        ListCase{"check: step aside, capture or block", "4k2R/8/8/8/8/1N6/8/r3K3 w - -",
                 "e1e2 e1f2 e1d2 b3a1 b3c1"},
        ListCase{"both wings free", "r3k2r/8/8/8/8/8/8/R3K2R w KQkq -",
                 "e1e2 e1f1 e1d1 e1f2 e1d2 e1g1 e1c1 a1b1 a1c1 a1d1 a1a2 a1a3 a1a4 a1a5 a1a6 a1a7 a1a8 h1f1 h1g1 "
                 "h1h2 h1h3 h1h4 h1h5 h1h6 h1h7 h1h8"},
        ListCase{"checkmate", "rnb1kbnr/pppp1ppp/8/4p3/6Pq/5P2/PPPPP2P/RNBQKBNR w KQkq -", ""},
        ListCase{"stalemate", "7k/5Q2/6K1/8/8/8/8/8 b - -", ""},
        ListCase{"no white pieces", "8/8/8/8/8/8/8/4k3 w - -", ""},
        ListCase{"no black pieces", "4K3/8/8/8/8/8/8/8 b - -", ""},
        ListCase{"no king and no pseudo-legal move", "4k3/8/8/8/8/p7/P7/8 w - -", ""}));

TEST(LegalMoves, KiwipeteBlackToMove) {
    Board board = board_from_fen("r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R b KQkq -");
    const auto moves = listing(board);
    ASSERT_EQ(moves.size(), 43u);
    EXPECT_EQ(std::vector<std::string>(moves.begin(), moves.begin() + 8),
              words("e8f8 e8d8 e8g8 e8c8 b6a4 b6c4 b6d5 b6c8"));
}

TEST(LegalMoves, BlackWithBothWingsFree) {
    Board board = board_from_fen("r3k2r/8/8/8/8/8/8/R3K2R b KQkq -");
    const auto moves = listing(board);
    ASSERT_GE(moves.size(), 7u);
    EXPECT_EQ(std::vector<std::string>(moves.begin(), moves.begin() + 7),
              words("e8e7 e8f8 e8d8 e8d7 e8f7 e8g8 e8c8"));
}

TEST(LegalMoves, SpecialCodesOfTheWords) {
    Board start = board_from_fen(DEFAULT_FEN);
    MoveList moves;
    generator().legal_moves(start, moves);
    ASSERT_EQ(moves.size(), 20u);
    EXPECT_EQ(moves[13], ChessMove::create(sq("e2"), sq("e4"), 2));  // double step
    EXPECT_EQ(moves[12], ChessMove::pack(sq("e2"), sq("e3")));

    Board en_passant = board_from_fen("4k3/8/8/3pP3/8/8/8/4K3 w - d6");
    generator().legal_moves(en_passant, moves);
    ASSERT_EQ(moves.size(), 7u);
    EXPECT_EQ(moves[5], ChessMove::pack(sq("e5"), sq("d6"), 1));

    Board castling = board_from_fen("r3k2r/8/8/8/8/8/8/R3K2R w KQkq -");
    generator().legal_moves(castling, moves);
    EXPECT_EQ(moves[5].word, 0x3184);
    EXPECT_EQ(moves[6].word, 0x3084);
    Board black = board_from_fen("r3k2r/8/8/8/8/8/8/R3K2R b KQkq -");
    generator().legal_moves(black, moves);
    EXPECT_EQ(moves[5].word, 0x3FBC);
    EXPECT_EQ(moves[6].word, 0x3EBC);

    Board promotion = board_from_fen("1n2k3/P7/8/8/8/8/8/4K3 w - -");
    generator().legal_moves(promotion, moves);
    ASSERT_EQ(moves.size(), 13u);
    for (unsigned i = 0; i < 4; ++i) EXPECT_EQ(moves[5 + i], ChessMove::pack(sq("a7"), sq("b8"), 4 + i));
}

struct CastlingCase {
    std::string fen;
    bool king_side;
    bool queen_side;
};

void PrintTo(const CastlingCase& c, std::ostream* os) { *os << c.fen; }

class Castling : public ::testing::TestWithParam<CastlingCase> {};

TEST_P(Castling, OfferedOnlyWhenAllowed) {
    const auto& c = GetParam();
    Board board = board_from_fen(c.fen);
    const bool white = board.white_to_move();
    const auto moves = listing(board);
    const auto has = [&](const char* m) { return std::find(moves.begin(), moves.end(), m) != moves.end(); };
    EXPECT_EQ(has(white ? "e1g1" : "e8g8"), c.king_side) << c.fen;
    EXPECT_EQ(has(white ? "e1c1" : "e8c8"), c.queen_side) << c.fen;
}

INSTANTIATE_TEST_SUITE_P(
    Positions, Castling,
    ::testing::Values(CastlingCase{"r3k2r/8/8/8/8/8/8/R3K2R w KQkq -", true, true},
                      CastlingCase{"4k3/4r3/8/8/8/8/8/R3K2R w KQ -", false, false},  // in check
                      CastlingCase{"4k3/8/8/8/8/8/8/R3KB1R w KQ -", false, true},
                      CastlingCase{"4k3/8/8/8/8/8/8/R3K1NR w KQ -", false, true},
                      CastlingCase{"4k3/8/8/8/8/8/8/R3K1nR w KQ -", false, true},
                      CastlingCase{"4k3/8/8/8/8/8/8/RN2K2R w KQ -", true, false},
                      CastlingCase{"4k3/8/8/8/8/8/8/R1B1K2R w KQ -", true, false},
                      CastlingCase{"4k3/8/8/8/8/8/8/R2QK2R w KQ -", true, false},
                      CastlingCase{"4kr2/8/8/8/8/8/8/R3K2R w KQ -", false, true},  // f1 attacked
                      CastlingCase{"4k1r1/8/8/8/8/8/8/R3K2R w KQ -", false, true},  // g1 attacked
                      CastlingCase{"4k3/8/8/8/8/8/6p1/R3K2R w KQ -", false, true},  // f1 and h1 by a pawn
                      CastlingCase{"3rk3/8/8/8/8/8/8/R3K2R w KQ -", true, false},  // d1 attacked
                      CastlingCase{"2r1k3/8/8/8/8/8/8/R3K2R w KQ -", true, false},  // c1 attacked
                      CastlingCase{"1r2k3/8/8/8/8/8/8/R3K2R w KQ -", true, true},   // only b1 attacked
                      CastlingCase{"4k2r/8/8/8/8/8/8/R3K2R w KQ -", true, true},    // h1 attacked
                      CastlingCase{"r3k3/8/8/8/8/8/8/R3K2R w KQ -", true, true},    // a1 attacked
                      CastlingCase{"4k3/8/8/8/8/8/8/4K3 w KQ -", true, true},       // no rooks needed
                      CastlingCase{"4k3/8/8/8/8/8/4K3/R6R w KQ -", false, false},   // king off e1
                      CastlingCase{"4k3/8/8/8/8/8/8/R3K2R w - -", false, false},
                      CastlingCase{"4k3/8/8/8/8/8/8/R3K2R w K -", true, false},
                      CastlingCase{"4k3/8/8/8/8/8/8/R3K2R w Q -", false, true},
                      CastlingCase{"r3k2r/8/8/8/8/8/8/R3K2R w kq -", false, false},  // Black's rights only
                      CastlingCase{"r3k2r/8/8/8/8/8/8/4K1R1 b kq -", false, true},   // g8 attacked
                      CastlingCase{"r3k2r/8/8/8/8/8/8/1R2K3 b kq -", true, true},    // only b8 attacked
                      CastlingCase{"rn2k1nr/8/8/8/8/8/8/4K3 b kq -", false, false},
                      CastlingCase{"r3k2r/8/8/8/8/8/8/4R1K1 b kq -", false, false}));  // in check

TEST(LegalMoves, NoKingButAPseudoLegalMovePanicsAndRestoresTheBoard) {
    // A move of the side with the king, some history to keep, hands the move
    // to the side without one.
    for (const auto& [text, move] : {std::pair{"4k3/8/8/8/8/8/P7/8 b - -", "e8e7"},
                                     std::pair{"4n3/8/8/8/8/8/8/R3K2R w KQ -", "a1a2"},
                                     std::pair{"r3k2r/8/8/8/8/8/8/N7 b kq -", "e8e7"}}) {
        Board board = board_from_fen(text);
        push_text(board, move);
        const Snapshot before = snapshot(board);
        MoveList moves;
        EXPECT_TRUE(caught<Panic>([&] { generator().legal_moves(board, moves); }).has_value()) << text;
        EXPECT_EQ(snapshot(board), before) << text;
    }
}

TEST(LegalMoves, NoKingPanicsOnAFreshBoard) {
    Board board = board_from_fen("4k3/8/8/8/8/8/P7/8 w - -");
    const Snapshot before = snapshot(board);
    MoveList moves;
    EXPECT_TRUE(caught<Panic>([&] { generator().legal_moves(board, moves); }).has_value());
    EXPECT_EQ(snapshot(board), before);
}

}  // namespace
