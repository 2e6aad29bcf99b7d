// The legal moves as target sets against the move list: expanded to (from,
// to, promotion) they must be legal_moves' moves exactly, on every position
// of the shared perft files, on the positions reached from them by every
// move and by random games, on the same boards with other castling rights
// and en-passant files, and on hand-made boards of the rare cases. Boards
// the sets do not cover must be refused, not answered.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "board/mod.hpp"
#include "move_generator/mod.hpp"
#include "support/mod.hpp"

namespace velmor {
namespace {

using support::generator;

// A move as from | to << 6 | promotion code << 12 (0 when none): what the
// target sets can say of a move word.
using Key = std::uint32_t;

Key key_of(unsigned from, unsigned to, unsigned promotion) { return from | to << 6 | promotion << 12; }

std::vector<Key> sorted(std::vector<Key> keys) {
    std::sort(keys.begin(), keys.end());
    // legal_moves may list one (from, to) twice on a board whose state word
    // offers en passant onto an enemy piece: a capture both ways.
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    return keys;
}

std::vector<Key> listed_keys(Board& board) {
    MoveList moves;
    generator().legal_moves(board, moves);
    std::vector<Key> keys;
    for (const ChessMove move : moves)
        keys.push_back(key_of(move.from(), move.to(), move.special() >= ChessMove::PROMOTE_KNIGHT ? move.special() : 0));
    return sorted(std::move(keys));
}

std::vector<Key> target_keys(const LegalTargets& legal, bool white) {
    std::vector<Key> keys;
    for (Bitboard movers = legal.movers; movers;) {
        const unsigned from = pop_lsb(movers);
        for (Bitboard targets = legal.targets[from]; targets;) keys.push_back(key_of(from, pop_lsb(targets), 0));
    }
    for (unsigned kind = 0; kind < 4; ++kind)
        for (Bitboard targets = legal.pawn_targets[kind]; targets;) {
            const unsigned to = pop_lsb(targets);
            const unsigned from = static_cast<unsigned>(static_cast<int>(to) - LegalTargets::pawn_steps(white)[kind]);
            if (rank_of(to) == (white ? 7u : 0u))
                for (unsigned code = ChessMove::PROMOTE_KNIGHT; code <= ChessMove::PROMOTE_QUEEN; ++code)
                    keys.push_back(key_of(from, to, code));
            else
                keys.push_back(key_of(from, to, 0));
        }
    return keys;
}

// What the compared positions held, so that the test shows it reached the
// cases that make a move illegal.
struct Reached {
    std::size_t positions = 0;
    std::size_t checks = 0, double_checks = 0;
    std::size_t pins = 0;                   // a move of a pinned piece refused, no check
    std::size_t en_passant = 0, en_passant_refused = 0;
    std::size_t castlings = 0, castlings_refused = 0;  // refused: right, empty squares, no check
    std::size_t promotions = 0;
};

// Compares the target sets with legal_moves on the board; counts what it saw.
void compare(Board& board, Reached& reached) {
    LegalTargets legal;
    const Bitboard kings = board.planes[first_plane_of(board.white_to_move()) + KING];
    if (std::popcount(kings) != 1) {
        // A side without its one king, after a move of the hand-made boards.
        EXPECT_FALSE(generator().legal_targets(board.planes, board.state, legal)) << fen(board);
        return;
    }
    ASSERT_TRUE(generator().legal_targets(board.planes, board.state, legal)) << fen(board);
    const std::vector<Key> expected = listed_keys(board);
    const std::vector<Key> got = target_keys(legal, board.white_to_move());
    ASSERT_EQ(got.size(), sorted(got).size()) << fen(board);  // each move once
    ASSERT_EQ(sorted(got), expected) << fen(board);
    // The movers are exactly the pieces with a target.
    for (Bitboard movers = legal.movers; movers;) ASSERT_NE(legal.targets[pop_lsb(movers)], 0u) << fen(board);

    ++reached.positions;
    const bool white = board.white_to_move();
    const unsigned king = lsb(board.planes[first_plane_of(white) + KING]);
    Bitboard occupancy = 0;
    for (const Bitboard plane : board.planes) occupancy |= plane;
    const Bitboard checkers = generator().attackers(board.planes, occupancy, king, first_plane_of(!white));
    reached.checks += checkers != 0;
    reached.double_checks += std::popcount(checkers) > 1;

    MoveList pseudo, legal_list;
    generator().pseudo_legal_moves(board, pseudo);
    generator().legal_moves(board, legal_list);
    const auto listed = [&](ChessMove move) { return std::find(legal_list.begin(), legal_list.end(), move) != legal_list.end(); };
    bool pinned = false;
    for (const ChessMove move : pseudo) {
        const bool kept = listed(move);
        if (move.special() == ChessMove::EN_PASSANT) (kept ? reached.en_passant : reached.en_passant_refused) += 1;
        else if (move.special() == ChessMove::CASTLING) reached.castlings += kept;
        else if (move.special() >= ChessMove::PROMOTE_KNIGHT) reached.promotions += kept;
        else if (!kept && !checkers && move.from() != king) pinned = true;
    }
    reached.pins += pinned;
    // A right whose king is at home and whose squares are empty, no check,
    // and still no castling: a square the king crosses is attacked.
    if (!checkers)
        for (const CastlingRule& rule : castling_rules(white))
            if ((board.state >> rule.right & 1) && king == rule.king_from && !(occupancy & rule.must_be_empty) &&
                !listed(rule.move()))
                ++reached.castlings_refused;
}

// Compares here and, `depth` plies on, after every legal move.
void compare_tree(Board& board, unsigned depth, Reached& reached) {
    compare(board, reached);
    if (depth == 0 || ::testing::Test::HasFatalFailure()) return;
    MoveList moves;
    generator().legal_moves(board, moves);
    for (const ChessMove move : moves) {
        push_move(board, move);
        compare_tree(board, depth - 1, reached);
        pop_move(board);
        if (::testing::Test::HasFatalFailure()) return;
    }
}

// Compares along a random game of up to `plies` plies from the board.
void compare_game(Board board, unsigned plies, std::mt19937_64& random, Reached& reached) {
    MoveList moves;
    for (unsigned ply = 0; ply < plies && !::testing::Test::HasFatalFailure(); ++ply) {
        compare(board, reached);
        generator().legal_moves(board, moves);
        if (moves.size() == 0) return;
        push_move(board, moves[random() % moves.size()]);
    }
}

// The same board with other castling rights and en-passant files offered to
// the side to move, victims and rooks there or not: legal_moves reads the
// state word as it is, and so must the sets.
void compare_other_states(const Board& board, std::mt19937_64& random, Reached& reached) {
    for (int i = 0; i < 4 && !::testing::Test::HasFatalFailure(); ++i) {
        const std::uint64_t bits = random();
        Board other(FenFields{board.planes, board.state & WHITE_TO_MOVE});
        other.state |= bits & (0xFULL << WHITE_KING_SIDE);  // the four rights
        // One file mostly, any files now and then.
        const std::uint64_t files = i == 3 ? bits >> 32 & 0xFF : std::uint64_t{1} << (bits >> 40 & 7);
        other.state |= files << en_passant_set(board.white_to_move());
        compare(other, reached);
    }
}

void report(const Reached& r) {
    ::testing::Test::RecordProperty("positions", std::to_string(r.positions));
    std::printf("legal targets: %zu positions, %zu checks (%zu double), %zu with a pin, en passant %zu (%zu refused), "
                "castling %zu (%zu refused), %zu promotions\n",
                r.positions, r.checks, r.double_checks, r.pins, r.en_passant, r.en_passant_refused, r.castlings,
                r.castlings_refused, r.promotions);
}

TEST(LegalTargets, AreTheListedMovesOnTheSharedPositionsAndBeyond) {
    // Each file's entries read before the next file is asked for: the
    // cache behind shared_perft may move what it handed out before.
    std::vector<std::string> fens;
    for (const char* name : {"tricky.perft", "random.perft"}) {
        const auto* entries = support::shared_perft(name);
        if (!entries) GTEST_SKIP() << support::missing_perft_message(name);
        for (const support::PerftEntry& entry : *entries)
            if (!support::is_xfen(entry)) fens.push_back(entry.fen);
    }

    std::mt19937_64 random(20261210);
    Reached reached;
    for (std::size_t i = 0; i < fens.size() && !HasFatalFailure(); ++i) {
        SCOPED_TRACE(fens[i]);
        Board board = board_from_fen(fens[i]);
        // Every move one ply on, two plies on for some; a random game; the
        // position with other state words.
        compare_tree(board, i % 16 == 0 ? 2 : 1, reached);
        compare_game(board, 30, random, reached);
        compare_other_states(board, random, reached);
    }
    report(reached);
    EXPECT_GT(reached.positions, fens.size() * 30);
    for (const std::size_t count : {reached.checks, reached.double_checks, reached.pins, reached.en_passant,
                                    reached.en_passant_refused, reached.castlings, reached.castlings_refused,
                                    reached.promotions})
        EXPECT_GT(count, 0u);
}

TEST(LegalTargets, AreTheListedMovesInTheRareCases) {
    const char* fens[] = {
        "8/8/8/2k5/3Pp3/8/8/4K3 b - d3",                                // en passant out of check
        "8/8/8/8/k2Pp2Q/8/8/4K3 b - d3",                                // en passant along a pinned rank
        "8/8/8/8/1k1Pp2R/8/8/4K3 b - d3",                               // the same with a rook
        "8/8/8/8/4p3/8/8/k2RK3 b - d3",                                 // no victim behind the square
        "7b/8/8/3pP3/8/8/8/K6k w - d6",                                 // the capturing pawn pinned on a diagonal
        "4k3/8/8/8/8/8/4r3/R3K2R w KQ -",                               // check: no castling
        "4k3/8/8/8/8/8/8/R3K2R w KQ -",                                 // both castlings
        "4k3/8/8/8/8/5r2/8/R3K2R w KQ -",                               // kingside crosses f1 attacked
        "4k3/8/8/8/8/8/8/4K3 w K -",                                    // the right without its rook
        "4k3/8/8/8/8/8/8/4KB1r w Q -",                                  // the same, a rook behind the king's square
        "1r2k3/8/8/8/8/8/8/R3K2R w KQ -",                               // b1 attacked: queenside still legal
        "4k3/4r3/8/8/8/8/3PPP2/4K3 w - -",                              // pinned pawn on its file
        "4k3/8/8/b7/8/8/3PPP2/4K3 w - -",                               // pinned on a diagonal: no push
        "4k3/8/8/8/8/2q5/3P4/4K3 w - -",                                // pinned pawn may take its pinner
        "7k/8/8/8/8/8/1q6/K7 w - -",                                    // king next to a queen
        "3k4/8/8/8/8/8/3b4/2RK4 w - -",                                 // check by a bishop
        "6k1/8/8/8/8/3n4/8/4K2R w K -",                                 // knight check
        "4k3/8/8/8/1b6/5n2/8/4K2R w K -",                               // double check
        "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq -",  // promotions and pins
        "n1n5/PPPk4/8/8/8/8/4Kppp/5N1N b - -",                           // promotions by capture
        "3r4/2P5/8/8/8/8/8/k3K3 w - -",                                 // promotion by a push and by a capture
        "4k3/8/8/8/8/8/8/4K3 w - -",                                    // the kings alone
        "4k3/8/8/8/8/8/8/K3K3 b - -",                                   // two kings of the side not to move
        "8/8/8/8/8/8/8/4K3 w - -",                                      // no king of the other side
        "Q3k3/8/8/8/8/8/8/4K3 b - -",                                   // check along the rank
        "4k3/4q3/8/8/8/8/8/4K3 w - -",                                  // the king must leave the file
    };
    std::mt19937_64 random(7);
    Reached reached;
    for (const char* text : fens) {
        SCOPED_TRACE(text);
        Board board = board_from_fen(text);
        compare_tree(board, 3, reached);
        compare_other_states(board, random, reached);
        if (HasFatalFailure()) return;
    }
    report(reached);
}

TEST(LegalTargets, RefuseTheBoardsTheyDoNotCover) {
    LegalTargets legal;
    // Two kings of the side to move, or none.
    for (const char* text : {"4k3/8/8/8/8/8/8/K3K3 w - -", "4k3/8/8/8/8/8/8/8 w - -", "8/8/8/8/8/8/8/K3K3 b - -"}) {
        const Board board = board_from_fen(text);
        EXPECT_FALSE(generator().legal_targets(board.planes, board.state, legal)) << text;
    }
    // A rook under the queen on d1, and a pawn under the other side's king.
    Board overlapping = board_from_fen("4k3/8/8/8/8/8/8/3QK3 w - -");
    overlapping.planes[ROOK] |= square_bb(3);
    EXPECT_FALSE(generator().legal_targets(overlapping.planes, overlapping.state, legal));
    Board under_king = board_from_fen("4k3/8/8/8/8/8/8/4K3 w - -");
    under_king.planes[BLACK_PLANES + PAWN] |= under_king.planes[BLACK_PLANES + KING];
    EXPECT_FALSE(generator().legal_targets(under_king.planes, under_king.state, legal));
}

}  // namespace
}  // namespace velmor
