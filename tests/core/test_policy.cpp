// Policy spaces: every index names the move it is the index of, and every
// legal move of real positions has an index in each space.
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>

#include "board/mod.hpp"
#include "move_generator/mod.hpp"
#include "policy/mod.hpp"
#include "support/mod.hpp"

namespace {

using namespace velmor;

constexpr policy::Space SPACES[] = {policy::Space::from_to, policy::Space::uci, policy::Space::alphazero};

unsigned promotion_of(ChessMove move) {
    return move.special() >= ChessMove::PROMOTE_KNIGHT ? move.special() - 3 : 0;
}

class PolicySpace : public ::testing::TestWithParam<policy::Space> {};

TEST_P(PolicySpace, EveryEntryIndexesBackToItself) {
    const policy::Space space = GetParam();
    std::size_t moves = 0;
    for (std::size_t i = 0; i < policy::size(space); ++i) {
        const policy::Entry e = policy::entry(space, i);
        if (e.from < 0) continue;
        ++moves;
        ASSERT_GE(e.to, 0) << i;
        ASSERT_NE(e.from, e.to) << i;
        EXPECT_EQ(policy::index(space, e.from, e.to, e.promotion), static_cast<std::int32_t>(i)) << i;
    }
    // from_to names every pair but a square to itself; uci names every entry.
    if (space == policy::Space::from_to) EXPECT_EQ(moves, 64u * 63u);
    if (space == policy::Space::uci) EXPECT_EQ(moves, policy::UCI_SIZE);
}

TEST_P(PolicySpace, EveryLegalMoveOfRandomGamesHasItsOwnIndex) {
    const policy::Space space = GetParam();
    const MoveGenerator& generator = support::generator();
    std::mt19937 random(20261209);
    MoveList moves;
    std::size_t checked = 0;
    for (int game = 0; game < 200; ++game) {
        Board board = board_from_fen("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -");
        for (int ply = 0; ply < 200; ++ply) {
            generator.legal_moves(board, moves);
            if (moves.size() == 0) break;
            std::set<std::int32_t> seen;
            for (std::size_t i = 0; i < moves.size(); ++i) {
                const ChessMove move = moves[i];
                const std::int32_t index = policy::index(space, move.from(), move.to(), promotion_of(move));
                ASSERT_GE(index, 0) << move.text() << " in " << fen(board);
                ASSERT_LT(static_cast<std::size_t>(index), policy::size(space));
                const policy::Entry e = policy::entry(space, static_cast<std::size_t>(index));
                EXPECT_EQ(e.from, static_cast<int>(move.from()));
                EXPECT_EQ(e.to, static_cast<int>(move.to()));
                // Only from_to folds the promotion pieces of one pawn move together.
                if (space != policy::Space::from_to) {
                    EXPECT_TRUE(seen.insert(index).second) << move.text();
                }
                ++checked;
            }
            push_move(board, moves[random() % moves.size()]);
        }
    }
    EXPECT_GT(checked, 100000u);
}

INSTANTIATE_TEST_SUITE_P(Spaces, PolicySpace, ::testing::ValuesIn(SPACES),
                         [](const auto& info) { return std::string(policy::space_name(info.param)); });

TEST(PolicySpace, NamesReadBack) {
    for (const policy::Space space : SPACES) EXPECT_EQ(policy::space_named(policy::space_name(space)), space);
    EXPECT_FALSE(policy::space_named("lc0").has_value());
}

}  // namespace
