// The fast legality filter (pins and checks) against the reference filter
// that makes every move, on every position of the shared perft file and on
// the positions reached from them, plus hand-made boards the fast filter must
// hand over to the reference.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "board/mod.hpp"
#include "move_generator/mod.hpp"
#include "support/mod.hpp"

namespace velmor {
namespace {

using support::generator;

std::vector<ChessMove> reference_moves(Board& board) {
    MoveList moves;
    generator().pseudo_legal_moves(board, moves);
    generator().filter_by_make(board, moves);
    return {moves.begin(), moves.end()};
}

std::vector<ChessMove> listed_moves(Board& board) {
    MoveList moves;
    generator().legal_moves(board, moves);
    return {moves.begin(), moves.end()};
}

// Compares both filters here and below, to `depth` plies; returns the nodes.
std::size_t compare_tree(Board& board, unsigned depth) {
    const std::vector<ChessMove> expected = reference_moves(board);
    EXPECT_EQ(listed_moves(board), expected) << fen(board);
    std::size_t nodes = 1;
    if (depth == 0 || ::testing::Test::HasFailure()) return nodes;
    for (const ChessMove move : expected) {
        push_move(board, move);
        nodes += compare_tree(board, depth - 1);
        pop_move(board);
    }
    return nodes;
}

TEST(FastFilter, AgreesWithMakingEveryMoveOnTheSharedPositions) {
    const auto* entries = support::shared_perft("random.perft");
    if (!entries) GTEST_SKIP() << support::missing_perft_message("random.perft");
    std::size_t nodes = 0;
    for (std::size_t i = 0; i < entries->size() && !HasFailure(); ++i) {
        Board board = board_from_fen((*entries)[i].fen);
        nodes += compare_tree(board, i % 16 == 0 ? 2 : 1);
    }
    EXPECT_GT(nodes, entries->size() * 10);
}

TEST(FastFilter, AgreesOnChecksPinsAndEnPassant) {
    const char* fens[] = {
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -",
        "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -",
        "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - -",
        "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq -",
        "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ -",
        "8/8/8/2k5/3Pp3/8/8/4K3 b - d3",        // en passant out of check
        "8/8/8/8/k2Pp2Q/8/8/4K3 b - d3",        // en passant along a pinned rank
        "4k3/8/8/8/8/8/4r3/R3K2R w KQ -",       // check: no castling
        "4k3/4r3/8/8/8/8/3PPP2/4K3 w - -",      // pinned pawn file
        "7k/8/8/8/8/8/1q6/K7 w - -",            // king next to a queen
        "3k4/8/8/8/8/8/3b4/2RK4 w - -",         // check by a bishop, block impossible
        "6k1/8/8/8/8/3n4/8/4K2R w K -",         // knight check
        "4k3/8/8/8/1b6/5n2/8/4K2R w K -",       // double check
    };
    for (const char* text : fens) {
        SCOPED_TRACE(text);
        Board board = board_from_fen(text);
        compare_tree(board, 3);
    }
}

TEST(FastFilter, HandsOddBoardsToTheReference) {
    // Overlapping planes and two kings: the reference decides, and gives the
    // same list as a board the fast filter never sees.
    const char* fens[] = {
        "4k3/8/8/8/8/8/8/K3K3 w - -",
        "4k3/8/8/8/8/8/8/3QK3 w - -",
    };
    for (const char* text : fens) {
        SCOPED_TRACE(text);
        Board board = board_from_fen(text);
        EXPECT_EQ(listed_moves(board), reference_moves(board));
    }
    // A bishop pushed onto its own pawn: the pawn would make the bishop's
    // b3d1 and reach the first rank unpromoted, so that move is left out.
    Board stacked = board_from_fen("8/8/8/3k1p1p/8/1pK5/3b4/8 w - -");
    push_text(stacked, "d2b3");
    const std::vector<ChessMove> moves = listed_moves(stacked);
    EXPECT_EQ(std::count(moves.begin(), moves.end(), ChessMove::pack(17, 3)), 0);
    EXPECT_EQ(std::count(moves.begin(), moves.end(), ChessMove::pack(17, 24)), 1);

    Board overlapping = board_from_fen("4k3/8/8/8/8/8/8/3QK3 w - -");
    overlapping.planes[3] |= square_bb(3);  // a rook under the queen on d1
    EXPECT_EQ(listed_moves(overlapping), reference_moves(overlapping));
}

}  // namespace
}  // namespace velmor
