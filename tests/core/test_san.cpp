// SAN moves: every written form, and the refusals (unreadable, illegal,
// ambiguous) that keep a text from ever naming a guessed move.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

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

}  // namespace
