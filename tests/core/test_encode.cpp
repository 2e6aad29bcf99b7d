// The encoder's pieces: plane bytes, castling bits, the en-passant file, the
// promotion code, and the memory of the arrays.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "board/mod.hpp"
#include "encode/bulk.hpp"
#include "encode/columns.hpp"
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

// A freed block serves the next request it fits whole (3 and 4 MiB are both
// mapped as 4), and a larger request takes its pages in, bytes and all,
// rather than asking the kernel for fresh ones. (Kept pages are the
// kernel's to take back under memory pressure, which would clear them.)
TEST(Encode, FreedBlocksServeLaterRequests) {
    constexpr std::size_t MiB = std::size_t{1} << 20;
    void* first = encode::bulk_allocate(3 * MiB);
    ASSERT_NE(first, nullptr);
    encode::bulk_free(first, 3 * MiB);
    void* same = encode::bulk_allocate(4 * MiB);
    EXPECT_EQ(same, first);
    std::memset(same, 0x5C, 4 * MiB);
    encode::bulk_free(same, 4 * MiB);
    auto* larger = static_cast<std::uint8_t*>(encode::bulk_allocate(40 * MiB));
    ASSERT_NE(larger, nullptr);
    // Other kept blocks may come first: the pages are somewhere, on a huge
    // page boundary.
    bool found = false;
    for (std::size_t at = 0; at + 4 * MiB <= 40 * MiB && !found; at += 2 * MiB) {
        std::size_t kept = 0;
        while (kept < 4 * MiB && larger[at + kept] == 0x5C) ++kept;
        found = kept == 4 * MiB;
    }
    EXPECT_TRUE(found);
    std::memset(larger, 1, 40 * MiB);
    encode::bulk_free(larger, 40 * MiB);
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


// A block keeps its bytes through every resize: within malloc's sizes, from
// malloc to mapped pages and back, and growing mapped pages by moving them.
TEST(Encode, ResizedBlocksKeepTheirBytes) {
    constexpr std::size_t MiB = std::size_t{1} << 20;
    const auto fill = [](void* block, std::size_t bytes, unsigned seed) {
        auto* p = static_cast<std::uint8_t*>(block);
        for (std::size_t i = 0; i < bytes; i += 4093) p[i] = static_cast<std::uint8_t>(seed + i / 4093);
        if (bytes) p[bytes - 1] = static_cast<std::uint8_t>(seed ^ 0x5A);
    };
    const auto holds = [](const void* block, std::size_t bytes, unsigned seed) {
        const auto* p = static_cast<const std::uint8_t*>(block);
        for (std::size_t i = 0; i + 1 < bytes; i += 4093)
            if (p[i] != static_cast<std::uint8_t>(seed + i / 4093)) return false;
        return !bytes || p[bytes - 1] == static_cast<std::uint8_t>(seed ^ 0x5A);
    };
    // Each step keeps the first bytes of the one before.
    const std::size_t sizes[] = {1000, 100 * 1024, 3 * MiB, 5 * MiB, 64 * MiB, 6 * MiB, MiB, 12, 0};
    std::size_t bytes = sizes[0];
    void* block = encode::bulk_allocate(bytes);
    ASSERT_NE(block, nullptr);
    fill(block, bytes, 1);
    for (unsigned step = 1; step < std::size(sizes); ++step) {
        const std::size_t next = sizes[step];
        block = encode::bulk_resize(block, bytes, next);
        ASSERT_NE(block, nullptr) << next;
        const std::size_t kept = std::min(bytes, next);
        // The old fill was over the old size: the kept part matches it up to
        // its last full stride.
        const auto* p = static_cast<const std::uint8_t*>(block);
        for (std::size_t i = 0; i + 1 < kept && i + 1 < bytes; i += 4093)
            ASSERT_EQ(p[i], static_cast<std::uint8_t>(step + i / 4093)) << "step " << step << " byte " << i;
        fill(block, next, step + 1);
        ASSERT_TRUE(holds(block, next, step + 1));
        bytes = next;
    }
    encode::bulk_free(block, bytes);
}

// Positions go into their columns in schema order; a game's result fills
// its rows when it ends; a skipped game's rows are dropped; the handed-over
// blocks hold exactly the rows, however far the columns grew.
TEST(Encode, ColumnsHoldEachPositionOnce) {
    const Board start = board_from_fen(DEFAULT_FEN);
    Board moved = start;
    push_move(moved, ChessMove::create(12, 28, ChessMove::DOUBLE_STEP));
    encode::Columns columns;
    constexpr std::size_t GAMES = 3000, PER_GAME = 7;  // 21,000 rows: the columns grow a few times
    for (std::size_t game = 0; game < GAMES; ++game) {
        const std::size_t first = columns.size();
        for (std::size_t ply = 0; ply < PER_GAME; ++ply) {
            const Board& board = ply % 2 ? moved : start;
            columns.append(board.planes, board.state,
                           {static_cast<std::int64_t>(game), static_cast<std::int32_t>(ply), 1,
                            static_cast<std::int32_t>(ply), static_cast<std::int8_t>(ply), 28,
                            static_cast<std::uint8_t>(ply % 5), static_cast<float>(ply) + 0.5f,
                            -static_cast<float>(ply), static_cast<float>(game), static_cast<std::int16_t>(-ply)});
        }
        if (game % 3 == 2) columns.truncate(first);  // skipped
        else columns.set_result(first, static_cast<std::int8_t>(game % 3 == 0 ? 1 : -2));
    }
    const std::size_t n = columns.size();
    ASSERT_EQ(n, (GAMES - GAMES / 3) * PER_GAME);
    const auto blocks = columns.release();
    EXPECT_EQ(columns.size(), 0u);
    std::array<std::uint8_t, encode::PLANE_BYTES> start_planes, moved_planes;
    encode::write_planes(start.planes, start_planes.data());
    encode::write_planes(moved.planes, moved_planes.data());
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t ply = i % PER_GAME;
        const std::int64_t game = static_cast<std::int64_t>(3 * (i / PER_GAME / 2) + (i / PER_GAME) % 2);
        const auto& planes = ply % 2 ? moved_planes : start_planes;
        ASSERT_EQ(std::memcmp(blocks[encode::PLANES] + i * encode::PLANE_BYTES, planes.data(), planes.size()), 0) << i;
        ASSERT_EQ(blocks[encode::TURN][i], ply % 2) << i;
        const std::uint8_t rights[4] = {1, 1, 1, 1};
        ASSERT_EQ(std::memcmp(blocks[encode::CASTLING] + 4 * i, rights, 4), 0) << i;
        ASSERT_EQ(static_cast<std::int8_t>(blocks[encode::EN_PASSANT][i]), ply % 2 ? 4 : -1) << i;
        std::int32_t clock, number, played;
        std::int64_t index;
        std::memcpy(&clock, blocks[encode::HALFMOVE_CLOCK] + 4 * i, 4);
        std::memcpy(&number, blocks[encode::FULLMOVE_NUMBER] + 4 * i, 4);
        std::memcpy(&played, blocks[encode::PLY] + 4 * i, 4);
        std::memcpy(&index, blocks[encode::GAME] + 8 * i, 8);
        ASSERT_EQ(clock, static_cast<std::int32_t>(ply)) << i;
        ASSERT_EQ(number, 1) << i;
        ASSERT_EQ(played, static_cast<std::int32_t>(ply)) << i;
        float clocks[3];
        std::int16_t mate;
        std::memcpy(&clocks[0], blocks[encode::CLOCK] + 4 * i, 4);
        std::memcpy(&clocks[1], blocks[encode::OPPONENT_CLOCK] + 4 * i, 4);
        std::memcpy(&clocks[2], blocks[encode::EVAL] + 4 * i, 4);
        std::memcpy(&mate, blocks[encode::MATE] + 2 * i, 2);
        ASSERT_EQ(clocks[0], static_cast<float>(ply) + 0.5f) << i;
        ASSERT_EQ(clocks[1], -static_cast<float>(ply)) << i;
        ASSERT_EQ(clocks[2], static_cast<float>(index)) << i;
        ASSERT_EQ(mate, -static_cast<std::int16_t>(ply)) << i;
        ASSERT_EQ(index, game) << i;
        ASSERT_EQ(blocks[encode::MOVE_FROM][i], ply) << i;
        ASSERT_EQ(blocks[encode::MOVE_TO][i], 28) << i;
        ASSERT_EQ(blocks[encode::MOVE_PROMOTION][i], ply % 5) << i;
        ASSERT_EQ(static_cast<std::int8_t>(blocks[encode::RESULT][i]), game % 3 == 0 ? 1 : -2) << i;
    }
    for (unsigned c = 0; c < encode::COLUMN_COUNT; ++c) encode::bulk_free(blocks[c], n * encode::COLUMN_BYTES[c]);

    // Empty columns hand over blocks too, which free as empty arrays.
    encode::Columns empty;
    const auto none = empty.release();
    for (unsigned c = 0; c < encode::COLUMN_COUNT; ++c) {
        EXPECT_NE(none[c], nullptr);
        encode::bulk_free(none[c], 0);
    }
}

}  // namespace
