// Position keys and the two hashes.
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>

#include "board/mod.hpp"
#include "helpers.hpp"
#include "zobrist/mod.hpp"

namespace {

using namespace velmor;
using namespace velmor::testing;

// The generator written out again from its description: a 64-bit LCG whose
// output is the XSH-RR permutation without narrowing x to 32 bits.
struct ReferenceLcg {
    std::uint64_t state;
    std::uint64_t increment;

    std::uint64_t next() {
        const std::uint64_t s = state;
        const std::uint64_t x = ((s >> 18) ^ s) >> 27;
        const unsigned rotation = static_cast<unsigned>(s >> 59);
        const unsigned left = (32u - rotation) & 31u;
        state = s * 6364136223846793005ULL + increment;
        return (x >> rotation) | (x << left);
    }
};

std::vector<std::uint64_t> reference_keys(std::uint64_t start, std::uint64_t increment) {
    ReferenceLcg lcg{start, increment};
    std::vector<std::uint64_t> keys(790);
    for (auto& key : keys) key = lcg.next();
    return keys;
}

TEST(ZobristKeys, CheckValues) {
    const Board board = board_from_fen(DEFAULT_FEN);
    const Keys64& k64 = *board.zobrist.keys64;
    const Keys16& k16 = *board.zobrist.keys16;
    EXPECT_EQ(k64[0], 0u);
    EXPECT_EQ(k64[1], 0x6b864cbf6b864cbfULL);
    EXPECT_EQ(k64[768], 0x71ede8cd71ede8cdULL);
    EXPECT_EQ(k16[0], 0xaa9e);
    EXPECT_EQ(k16[1], 0xbff4);
    EXPECT_EQ(k16[768], 0x66aa);
}

TEST(ZobristKeys, SixteenBitStartStateIsThePcgSeedingOf401And1) {
    // pcg32_srandom(401, 1): increment 3, one step from 0, add the seed, one step.
    const std::uint64_t increment = (1u << 1) | 1u;
    std::uint64_t s = 0 * 6364136223846793005ULL + increment;
    s += 401;
    s = s * 6364136223846793005ULL + increment;
    EXPECT_EQ(s, 0x6155577cdbecb307ULL);
}

TEST(ZobristKeys, AllKeysMatchTheReferenceGenerator) {
    const auto ref64 = reference_keys(9, 9);
    const auto ref16 = reference_keys(0x6155577cdbecb307ULL, 3);
    const Board board = board_from_fen("8/8/8/8/8/8/8/8 w - -");
    for (std::size_t i = 0; i < 790; ++i) {
        EXPECT_EQ((*board.zobrist.keys64)[i], ref64[i]) << "keys64[" << i << "]";
        EXPECT_EQ((*board.zobrist.keys16)[i], static_cast<std::uint16_t>(ref16[i])) << "keys16[" << i << "]";
        EXPECT_EQ(zobrist::KEYS64[i], ref64[i]) << i;
        EXPECT_EQ(zobrist::KEYS16[i], static_cast<std::uint16_t>(ref16[i])) << i;
    }
}

// ---------------------------------------------------------------- full hashes

// Written from the index layout: plane * 64 + square, then 768 + state bit.
template <typename Key>
Key reference_hash(const std::array<Key, 790>& keys, const Planes& planes, std::uint64_t state) {
    Key hash = 0;
    for (unsigned plane = 0; plane < 12; ++plane)
        for (unsigned square = 0; square < 64; ++square)
            if (planes[plane] >> square & 1) hash ^= keys[plane * 64 + square];
    for (unsigned bit = 0; bit <= 21; ++bit)
        if (state >> bit & 1) hash ^= keys[768 + bit];
    return hash;
}

TEST(ZobristHash, DefaultPosition) {
    const Board board = board_from_fen(DEFAULT_FEN);
    EXPECT_EQ(board.zobrist.hash64, 0x667057d6b81ebfb3ULL);
    EXPECT_EQ(board.zobrist.hash16, 0xe592);
}

TEST(ZobristHash, EmptyBoardWhiteToMove) {
    const Board board = board_from_fen("8/8/8/8/8/8/8/8 w - -");
    EXPECT_EQ(board.zobrist.hash64, 0x71ede8cd71ede8cdULL);
    EXPECT_EQ(board.zobrist.hash16, 0x66aa);
    EXPECT_EQ(board.zobrist.hash64, (*board.zobrist.keys64)[768]);
    EXPECT_EQ(board.zobrist.hash16, (*board.zobrist.keys16)[768]);
}

TEST(ZobristHash, EmptyBoardBlackToMoveIsZero) {
    const Board board = board_from_fen("8/8/8/8/8/8/8/8 b - -");
    EXPECT_EQ(board.zobrist.hash64, 0u);
    EXPECT_EQ(board.zobrist.hash16, 0u);
}

TEST(ZobristHash, WhitePawnOnA1LeavesHash64Unchanged) {
    const Board board = board_from_fen("8/8/8/8/8/8/8/P7 w - -");
    EXPECT_EQ(board.zobrist.hash64, 0x71ede8cd71ede8cdULL);
    EXPECT_EQ(board.zobrist.hash16, static_cast<std::uint16_t>(0x66aa ^ 0xaa9e));
}

class ZobristFullHash : public ::testing::TestWithParam<const char*> {};

TEST_P(ZobristFullHash, ConstructionComputesTheFullHash) {
    const Board board = board_from_fen(GetParam());
    EXPECT_EQ(board.zobrist.hash64, reference_hash(*board.zobrist.keys64, board.planes, board.state));
    EXPECT_EQ(board.zobrist.hash16, reference_hash(*board.zobrist.keys16, board.planes, board.state));
    EXPECT_EQ(full_hash(*board.zobrist.keys64, board.planes, board.state), board.zobrist.hash64);
    EXPECT_EQ(full_hash(*board.zobrist.keys16, board.planes, board.state), board.zobrist.hash16);
}

INSTANTIATE_TEST_SUITE_P(
    Positions, ZobristFullHash,
    ::testing::Values("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -",
                      "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3",
                      "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -",
                      "8/8/8/8/8/8/8/8 w - 1",     // state bit 21, the last key
                      "8/8/8/8/8/8/8/8 w - A",     // state bit 37, which has no key
                      "8/8/8/8/8/8/8/8 b - h",     // bit 20
                      "8/8/8/8/8/8/8/8 w Kq --",   // bit 17 with White to move
                      "RRRRRRRR/kkkkkkkk/8/8/8/8/8/8 w - -",
                      "ppppppppp/8/8/8/8/8/8/8 w - -"));

// ---------------------------------------------------------------- toggles

TEST(ZobristToggle, TogglesOneKeyInBothHashes) {
    Board board = board_from_fen("8/8/8/8/8/8/8/8 w - -");
    ZobristBoardComponent& z = board.zobrist;
    const std::uint64_t h64 = z.hash64;
    const std::uint16_t h16 = z.hash16;
    z.toggle_piece(11, 63);
    EXPECT_EQ(z.hash64, h64 ^ (*z.keys64)[767]);
    EXPECT_EQ(z.hash16, static_cast<std::uint16_t>(h16 ^ (*z.keys16)[767]));
    z.toggle_piece(11, 63);
    EXPECT_EQ(z.hash64, h64);
    EXPECT_EQ(z.hash16, h16);
    z.toggle_state_bit(21);
    EXPECT_EQ(z.hash64, h64 ^ (*z.keys64)[789]);
    EXPECT_EQ(z.hash16, static_cast<std::uint16_t>(h16 ^ (*z.keys16)[789]));
    z.toggle_piece(12, 21);  // the same index 789 reached from the piece side
    EXPECT_EQ(z.hash64, h64);
    EXPECT_EQ(z.hash16, h16);
}

struct ToggleFailure {
    bool state_bit;
    unsigned a;
    unsigned b;
    unsigned index;
};

void PrintTo(const ToggleFailure& c, std::ostream* os) { *os << (c.state_bit ? "toggle_state_bit(" : "toggle_piece(") << c.a << (c.state_bit ? "" : ", " + std::to_string(c.b)) << ")"; }

class ZobristToggleOutOfRange : public ::testing::TestWithParam<ToggleFailure> {};

TEST_P(ZobristToggleOutOfRange, PanicsAndChangesNothing) {
    const auto& c = GetParam();
    Board board = board_from_fen(DEFAULT_FEN);
    const std::uint64_t h64 = board.zobrist.hash64;
    const std::uint16_t h16 = board.zobrist.hash16;
    const std::string message =
        "index out of bounds: the len is 790 but the index is " + std::to_string(c.index);
    if (c.state_bit)
        EXPECT_TRUE(panics_with([&] { board.zobrist.toggle_state_bit(c.a); }, message));
    else
        EXPECT_TRUE(panics_with([&] { board.zobrist.toggle_piece(c.a, c.b); }, message));
    EXPECT_EQ(board.zobrist.hash64, h64);
    EXPECT_EQ(board.zobrist.hash16, h16);
}

INSTANTIATE_TEST_SUITE_P(Indices, ZobristToggleOutOfRange,
                         ::testing::Values(ToggleFailure{false, 12, 22, 790}, ToggleFailure{false, 0, 790, 790},
                                           ToggleFailure{false, 12, 63, 831}, ToggleFailure{false, 13, 0, 832},
                                           ToggleFailure{true, 22, 0, 790}, ToggleFailure{true, 63, 0, 831},
                                           ToggleFailure{true, 100, 0, 868}));

TEST(ZobristHash, TranspositionsHashAlike) {
    Board start = board_from_fen(DEFAULT_FEN);
    Board a = start;
    for (const char* move : {"g1f3", "g8f6", "f3g1", "f6g8"}) push_text(a, move);
    EXPECT_EQ(a.zobrist.hash64, start.zobrist.hash64);
    EXPECT_EQ(a.zobrist.hash16, start.zobrist.hash16);

    Board b = start;
    Board c = start;
    for (const char* move : {"b1c3", "g8f6", "g1f3"}) push_text(b, move);
    for (const char* move : {"g1f3", "g8f6", "b1c3"}) push_text(c, move);
    EXPECT_EQ(b.planes, c.planes);
    EXPECT_EQ(b.state, c.state);
    EXPECT_EQ(b.zobrist.hash64, c.zobrist.hash64);
    EXPECT_EQ(b.zobrist.hash16, c.zobrist.hash16);
    EXPECT_NE(b.zobrist.hash64, start.zobrist.hash64);
}

}  // namespace
