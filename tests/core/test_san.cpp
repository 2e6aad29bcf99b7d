// SAN moves: every written form, and the refusals (unreadable, illegal,
// ambiguous) that keep a text from ever naming a guessed move.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "board/mod.hpp"
#include "move_generator/mod.hpp"
#include "san/mod.hpp"
#include "support/mod.hpp"

namespace {

using namespace velmor;

using support::generator;

struct SanCase {
    const char* fen;
    const char* san;
    const char* uci;  // nullptr: refused
    san::Outcome outcome;
};

void PrintTo(const SanCase& c, std::ostream* os) { *os << c.san << " in " << c.fen; }

class SanRead : public ::testing::TestWithParam<SanCase> {};

TEST_P(SanRead, ResolvesAgainstTheLegalMoves) {
    const SanCase& c = GetParam();
    Board board = board_from_fen(c.fen);
    const std::string before = fen(board);
    MoveList scratch;
    const san::Resolved resolved = san::read_move(generator(), board, c.san, scratch);
    EXPECT_EQ(fen(board), before) << "the board must be left as it was";
    ASSERT_EQ(resolved.outcome, c.outcome);
    if (c.uci) {
        EXPECT_EQ(resolved.move.text(), c.uci);
    }
}

constexpr const char* START = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -";
constexpr const char* KIWIPETE = "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -";
// Knights on a2, c2, a6 and c6 all reach b4.
constexpr const char* KNIGHTS = "7k/8/N1N5/8/8/8/N1N5/7K w - -";
constexpr const char* PROMOTE = "1n2k3/P1P5/8/8/8/8/8/4K3 w - -";
constexpr const char* EN_PASSANT = "rnbqkbnr/ppp1p1pp/8/3pPp2/8/8/PPPP1PPP/RNBQKBNR w KQkq f6";

using O = san::Outcome;

INSTANTIATE_TEST_SUITE_P(
    Forms, SanRead,
    ::testing::Values(
        SanCase{START, "e4", "e2e4", O::ok}, SanCase{START, "Nf3", "g1f3", O::ok},
        SanCase{START, "Nf3+", "g1f3", O::ok}, SanCase{START, "Nf3!?", "g1f3", O::ok},
        SanCase{START, "Ngf3", "g1f3", O::ok}, SanCase{START, "N1f3", "g1f3", O::ok},
        SanCase{START, "Ng1f3", "g1f3", O::ok}, SanCase{KIWIPETE, "O-O", "e1g1", O::ok},
        SanCase{KIWIPETE, "0-0-0", "e1c1", O::ok}, SanCase{KIWIPETE, "O-O-O+", "e1c1", O::ok},
        SanCase{KIWIPETE, "Bxa6", "e2a6", O::ok}, SanCase{KIWIPETE, "Ba6", "e2a6", O::ok},
        SanCase{KIWIPETE, "dxe6", "d5e6", O::ok}, SanCase{KIWIPETE, "de6", "d5e6", O::ok},
        SanCase{KIWIPETE, "Qxf6", "f3f6", O::ok}, SanCase{KNIGHTS, "Na2b4", "a2b4", O::ok},
        SanCase{KNIGHTS, "Nc6b4", "c6b4", O::ok}, SanCase{PROMOTE, "a8=Q", "a7a8q", O::ok},
        SanCase{PROMOTE, "a8N", "a7a8n", O::ok}, SanCase{PROMOTE, "axb8=R+", "a7b8r", O::ok},
        SanCase{PROMOTE, "cxb8Q", "c7b8q", O::ok}, SanCase{PROMOTE, "cb8=B", "c7b8b", O::ok},
        SanCase{EN_PASSANT, "exf6", "e5f6", O::ok}, SanCase{EN_PASSANT, "exf6e.p.", "e5f6", O::ok},
        SanCase{EN_PASSANT, "ef6", "e5f6", O::ok}, SanCase{EN_PASSANT, "exf6e.p.+", "e5f6", O::ok}));

INSTANTIATE_TEST_SUITE_P(
    Refusals, SanRead,
    ::testing::Values(
        // More than one piece fits: the text is an error, never a pick.
        SanCase{KNIGHTS, "Nb4", nullptr, O::ambiguous}, SanCase{KNIGHTS, "Nab4", nullptr, O::ambiguous},
        SanCase{KNIGHTS, "N2b4", nullptr, O::ambiguous}, SanCase{KIWIPETE, "Rb1", "a1b1", O::ok},
        SanCase{PROMOTE, "a8", nullptr, O::illegal}, SanCase{PROMOTE, "a8=K", nullptr, O::unreadable},
        SanCase{START, "e5", nullptr, O::illegal}, SanCase{START, "Nf3x", nullptr, O::unreadable},
        SanCase{START, "Nxf3", nullptr, O::illegal}, SanCase{START, "O-O", nullptr, O::illegal},
        SanCase{START, "Ke2", nullptr, O::illegal}, SanCase{KIWIPETE, "Kg1", nullptr, O::illegal},
        SanCase{START, "exd3", nullptr, O::illegal}, SanCase{START, "xe4", nullptr, O::unreadable},
        SanCase{START, "e9", nullptr, O::unreadable}, SanCase{START, "--", nullptr, O::unreadable},
        SanCase{START, "nf3", nullptr, O::unreadable}, SanCase{START, "Pe4", nullptr, O::unreadable},
        SanCase{START, "e4=Q", nullptr, O::unreadable}, SanCase{START, "", nullptr, O::unreadable},
        SanCase{START, "O-O-O-O", nullptr, O::unreadable}, SanCase{PROMOTE, "a8q", nullptr, O::unreadable}));


// ---------------------------------------------------------------- the two resolvers

// resolve() works back from the target square; resolve_by_listing() matches
// the whole legal listing. Both must give the same outcome and reason, and
// the same move when one fits, for every pattern: each piece type onto each
// square, undisambiguated and narrowed by the file, the rank or the square
// of each piece of that type (and of some empty squares), with and without
// "x", with each promotion for pawns; and both castlings.
std::size_t compare_resolvers(Board& board) {
    const unsigned own = first_plane_of(board.white_to_move());
    MoveList fast_scratch, listing_scratch;
    std::size_t compared = 0;
    const auto compare = [&](const san::Pattern& pattern) {
        const san::Resolved fast = san::resolve(generator(), board, pattern, fast_scratch);
        const san::Resolved reference = san::resolve_by_listing(generator(), board, pattern, listing_scratch);
        ++compared;
        ASSERT_EQ(fast.outcome, reference.outcome)
            << fen(board) << " piece " << int(pattern.piece) << " to " << int(pattern.to) << " file "
            << int(pattern.from_file) << " rank " << int(pattern.from_rank) << " x " << pattern.capture
            << " promotion " << int(pattern.promotion) << " kind " << int(pattern.kind);
        ASSERT_STREQ(fast.reason, reference.reason) << fen(board);
        if (fast.outcome == san::Outcome::ok) {
            ASSERT_EQ(fast.move, reference.move) << fen(board);
        }
    };
    for (const auto kind : {san::Pattern::castle_king_side, san::Pattern::castle_queen_side}) {
        san::Pattern pattern;
        pattern.kind = kind;
        pattern.piece = KING;
        compare(pattern);
        if (::testing::Test::HasFatalFailure()) return compared;
    }
    for (unsigned piece = PAWN; piece <= KING; ++piece) {
        // The origins written: none, and each piece's square (plus two empty
        // squares) as file, rank and both.
        std::vector<std::pair<int, int>> origins = {{-1, -1}};
        for (Bitboard from = board.planes[own + piece] | square_bb(27) | square_bb(44); from;) {
            const unsigned square = pop_lsb(from);
            const int file = static_cast<int>(file_of(square)), rank = static_cast<int>(rank_of(square));
            origins.insert(origins.end(), {{file, -1}, {-1, rank}, {file, rank}});
        }
        for (unsigned to = 0; to < 64; ++to)
            for (const auto& [file, rank] : origins)
                for (const bool capture : {false, true})
                    for (unsigned promotion = 0; promotion <= (piece == PAWN ? 4u : 0u); ++promotion) {
                        san::Pattern pattern;
                        pattern.piece = static_cast<std::uint8_t>(piece);
                        pattern.to = static_cast<std::uint8_t>(to);
                        pattern.from_file = static_cast<std::int8_t>(file);
                        pattern.from_rank = static_cast<std::int8_t>(rank);
                        pattern.capture = capture;
                        pattern.promotion = static_cast<std::uint8_t>(promotion);
                        compare(pattern);
                        if (::testing::Test::HasFatalFailure()) return compared;
                    }
    }
    return compared;
}

// Positions with castling rights (also with a rook to take on its corner),
// promotions, en passant (out of check, along a pinned rank), pins and
// single and double checks; each followed by seeded random play.
constexpr const char* RESOLVER_STARTS[] = {
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - -",
    "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq -",
    "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ -",
    "r3k2r/1P4P1/8/8/8/8/1p4p1/R3K2R w KQkq -",
    "8/8/8/2k5/3Pp3/8/8/4K3 b - d3",
    "8/8/8/8/k2Pp2Q/8/8/4K3 b - d3",
    "4k3/8/8/8/8/8/4r3/R3K2R w KQ -",
    "4k3/8/8/8/1b6/5n2/8/4K2R w K -",
    "7k/8/N1N5/8/8/8/N1N5/7K w - -",
    "1n2k3/P1P5/8/8/8/8/8/4K3 w - -",
    "r3k2r/8/8/8/8/8/8/R3K2R b KQkq -",
    "6k1/5ppp/8/8/3Q1Q2/8/3Q1Q2/6K1 w - -",
};

TEST(SanResolvers, AgreeOnEveryPatternOverRandomPlay) {
    std::mt19937 random(2026);
    std::size_t compared = 0, positions = 0;
    for (const char* start : RESOLVER_STARTS) {
        for (unsigned game = 0; game < 3; ++game) {
            Board board = board_from_fen(start);
            MoveList moves;
            for (unsigned ply = 0; ply < 60; ++ply) {
                if (ply % 6 == 0 || ply < 2) {
                    compared += compare_resolvers(board);
                    ++positions;
                    ASSERT_FALSE(HasFatalFailure()) << start << " game " << game << " ply " << ply;
                }
                generator().legal_moves(board, moves);
                if (moves.size() == 0) break;
                push_move(board, moves[random() % moves.size()]);
            }
        }
    }
    EXPECT_GT(positions, 300u);
    EXPECT_GT(compared, 1000000u);
}

TEST(SanResolvers, HandOddBoardsToTheListing) {
    // Two white kings, and a rook under the queen on d1: the listing decides.
    Board kings = board_from_fen("4k3/8/8/8/8/8/8/K3K3 w - -");
    compare_resolvers(kings);
    Board overlapping = board_from_fen("4k3/8/8/8/8/8/8/3QK3 w - -");
    overlapping.planes[ROOK] |= square_bb(3);
    compare_resolvers(overlapping);
}

}  // namespace
