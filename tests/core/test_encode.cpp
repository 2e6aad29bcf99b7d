// The encoder's pieces: plane bytes, castling bits, the en-passant file, the
// promotion code, and the memory of the arrays.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>

#include "board/mod.hpp"
#include "encode/bulk.hpp"
#include "encode/mod.hpp"
#include "move_generator/mod.hpp"

namespace {

using namespace velmor;

TEST(Encode, PlanesAreBytesByPlaneRankFile) {
    Planes planes{};
    planes[0] = square_bb(0) | square_bb(12);  // a1, e2
    planes[11] = square_bb(63);                // h8
    planes[5] = ~Bitboard{0};                  // every square, overlapping the others
    std::array<std::uint8_t, encode::PLANE_BYTES> out;
    out.fill(7);
    encode::write_planes(planes, out.data());
    for (unsigned plane = 0; plane < 12; ++plane)
        for (unsigned square = 0; square < 64; ++square)
            EXPECT_EQ(out[64 * plane + square], (planes[plane] >> square) & 1) << plane << " " << square;
}

// A freed block serves later requests of its size class only: 3 and 4 MiB
// are mapped as 4, 5 MiB as 6.
TEST(Encode, FreedBlocksServeRequestsOfTheirSize) {
    constexpr std::size_t MiB = std::size_t{1} << 20;
    void* first = encode::bulk_allocate(3 * MiB);
    ASSERT_NE(first, nullptr);
    encode::bulk_free(first, 3 * MiB);
    void* larger = encode::bulk_allocate(5 * MiB);
    EXPECT_NE(larger, first);
    void* same = encode::bulk_allocate(4 * MiB);
    EXPECT_EQ(same, first);
    std::memset(same, 1, 4 * MiB);
    std::memset(larger, 1, 5 * MiB);
    encode::bulk_free(same, 4 * MiB);
    encode::bulk_free(larger, 5 * MiB);
    void* again = encode::bulk_allocate(6 * MiB);
    EXPECT_EQ(again, larger);
    encode::bulk_free(again, 6 * MiB);
}

TEST(Encode, StateFeaturesFollowFen) {
    const MoveGenerator generator;
    Board board = board_from_fen("r3k2r/8/8/8/8/8/8/R3K2R w Kq -");
    EXPECT_EQ(encode::castling_bits(board.state), 0b1001);
    EXPECT_EQ(encode::en_passant_file(board.state), -1);
    board = board_from_fen("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -");
    push_move(board, ChessMove::create(12, 28, ChessMove::DOUBLE_STEP));
    EXPECT_EQ(encode::en_passant_file(board.state), 4);
    EXPECT_EQ(fen(board), "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3");
    push_move(board, ChessMove::create(62, 45, 0));
    EXPECT_EQ(encode::en_passant_file(board.state), -1);
}

TEST(Encode, PromotionCodesAreThePieceKinds) {
    EXPECT_EQ(encode::promotion_code(ChessMove::create(52, 60, ChessMove::PROMOTE_KNIGHT)), 1);
    EXPECT_EQ(encode::promotion_code(ChessMove::create(52, 60, ChessMove::PROMOTE_QUEEN)), 4);
    EXPECT_EQ(encode::promotion_code(ChessMove::create(12, 28, ChessMove::DOUBLE_STEP)), 0);
    EXPECT_EQ(encode::promotion_code(ChessMove::create(4, 6, ChessMove::CASTLING)), 0);
}

TEST(Encode, ClockResetsOnPawnMovesAndCapturesOfEitherSide) {
    const Board board = board_from_fen("4k3/8/3p4/4N3/8/8/4P3/4K3 b - -");
    EXPECT_TRUE(encode::resets_clock(board, ChessMove::create(43, 36, 0)));   // dxe5
    EXPECT_TRUE(encode::resets_clock(board, ChessMove::create(43, 35, 0)));   // d5
    EXPECT_FALSE(encode::resets_clock(board, ChessMove::create(60, 61, 0)));  // Kf8
    const Board white = board_from_fen("4k3/8/3p4/4N3/8/8/4P3/4K3 w - -");
    EXPECT_TRUE(encode::resets_clock(white, ChessMove::create(36, 43, 0)));   // Nxd6
    EXPECT_FALSE(encode::resets_clock(white, ChessMove::create(36, 46, 0)));  // Ng6
}

}  // namespace
