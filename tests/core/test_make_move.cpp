// Making and taking back moves: push_move, pop_move and push_text.
#include <gtest/gtest.h>

#include <bit>
#include <ostream>
#include <string>
#include <vector>

#include "board/mod.hpp"
#include "helpers.hpp"
#include "move_generator/mod.hpp"

namespace {

using namespace velmor;
using namespace velmor::testing;

constexpr std::uint64_t bit(unsigned b) { return std::uint64_t{1} << b; }

std::string placement(const Board& board) {
    const std::string text = fen(board);
    return text.substr(0, text.find(' '));
}

// After one push on a board without history: one record holding the old
// state, and exactly the planes named in changed_planes saved once each.
void expect_one_record(const Board& board, const Snapshot& before) {
    ASSERT_EQ(board.move_history.size(), before.moves.size() + 1);
    const MoveRecord& record = board.move_history.back();
    EXPECT_EQ(record.state_before, before.state);
    EXPECT_EQ(record.changed_planes >> 12, 0u);
    EXPECT_LE(std::popcount(unsigned(record.changed_planes)), 4);
    for (unsigned plane = 0; plane < 12; ++plane) {
        const bool changed = record.changed_planes >> plane & 1;
        ASSERT_EQ(board.plane_history[plane].size(), before.stacks[plane].size() + (changed ? 1 : 0)) << plane;
        if (changed) {
            EXPECT_EQ(board.plane_history[plane].back(), before.planes[plane]) << plane;
        }
    }
}

// ---------------------------------------------------------------- worked examples

struct MakeCase {
    const char* name;
    std::string fen;
    std::string move;
    std::string placement_after;
    std::uint64_t state_after;
    std::uint16_t changed_planes;
    std::vector<unsigned> stray_keys;  // keys toggled for squares that did not change
};

void PrintTo(const MakeCase& c, std::ostream* os) { *os << c.name << ": " << c.fen << " " << c.move; }

class MakeMove : public ::testing::TestWithParam<MakeCase> {};

TEST_P(MakeMove, PushThenPop) {
    const auto& c = GetParam();
    Board board = board_from_fen(c.fen);
    const Snapshot before = snapshot(board);
    push_text(board, c.move);

    EXPECT_EQ(placement(board), c.placement_after);
    EXPECT_EQ(board.planes, pieces_from_fen(c.placement_after));
    EXPECT_EQ(board.state, c.state_after) << hex(board.state);
    expect_one_record(board, before);
    EXPECT_EQ(board.move_history.back().changed_planes, c.changed_planes);

    std::uint64_t stray64 = 0;
    std::uint16_t stray16 = 0;
    for (const unsigned key : c.stray_keys) {
        stray64 ^= (*board.zobrist.keys64)[key];
        stray16 ^= (*board.zobrist.keys16)[key];
    }
    EXPECT_EQ(hash_drift(board), (HashDrift{stray64, stray16}));

    pop_move(board);
    Snapshot expected = before;
    expected.hash64 ^= stray64;
    expected.hash16 ^= stray16;
    EXPECT_EQ(snapshot(board), expected);
}

const std::string CASTLE = "r3k2r/8/8/8/8/8/8/R3K2R w KQkq -";
const std::string CASTLE_BLACK = "r3k2r/8/8/8/8/8/8/R3K2R b KQkq -";

INSTANTIATE_TEST_SUITE_P(
    Examples, MakeMove,
    ::testing::Values(
        MakeCase{"double step", std::string(DEFAULT_FEN), "e2e4", "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR",
                 0x1E | bit(17), 0x001, {}},
        MakeCase{"capture", "4k3/8/8/3p4/4P3/8/8/4K3 w - -", "e4d5", "4k3/8/8/3P4/8/8/8/4K3", 0, 0x041, {}},
        MakeCase{"promotion with capture", "1n2k3/P7/8/8/8/8/8/4K3 w - -", "a7b8q", "1Q2k3/8/8/8/8/8/8/4K3", 0,
                 0x091, {}},
        MakeCase{"promotion", "4k3/P7/8/8/8/8/8/4K3 w - -", "a7a8N", "N3k3/8/8/8/8/8/8/4K3", 0, 0x003, {}},
        MakeCase{"black promotion", "4k3/8/8/8/8/8/p7/4K3 b - -", "a2a1r", "4k3/8/8/8/8/8/8/r3K3", 1, 0x240, {}},
        MakeCase{"king side castling", CASTLE, "e1g1", "r3k2r/8/8/8/8/8/8/R4RK1", 0x18, 0x028, {}},
        MakeCase{"queen side castling", CASTLE, "e1c1", "r3k2r/8/8/8/8/8/8/2KR3R", 0x18, 0x028, {}},
        MakeCase{"black king side castling", CASTLE_BLACK, "e8g8", "r4rk1/8/8/8/8/8/8/R3K2R", 0x07, 0xA00, {}},
        MakeCase{"black queen side castling", CASTLE_BLACK, "e8c8", "2kr3r/8/8/8/8/8/8/R3K2R", 0x07, 0xA00, {}},
        MakeCase{"castling without a rook", "4k3/8/8/8/8/8/8/4K3 w K -", "e1g1", "4k3/8/8/8/8/8/8/6K1", 0, 0x028,
                 {3 * 64 + 7, 3 * 64 + 5}},
        MakeCase{"castling ranks are not tested", "4k3/8/8/8/8/8/4K3/7R w - -", "e2g2", "4k3/8/8/8/8/8/6K1/5R2", 0,
                 0x028, {}},
        MakeCase{"en passant without the state bit", "4k3/8/8/3pP3/8/8/8/4K3 w - -", "e5d6",
                 "4k3/8/3P4/8/8/8/8/4K3", 0, 0x041, {}},
        MakeCase{"en passant with the state bit", "4k3/8/8/3pP3/8/8/8/4K3 w - d6", "e5d6", "4k3/8/3P4/8/8/8/8/4K3",
                 0, 0x041, {}},
        MakeCase{"black en passant", "4k3/8/8/8/3pP3/8/8/4K3 b - e3", "d4e3", "4k3/8/8/8/8/4p3/8/4K3", 1, 0x041, {}},
        MakeCase{"diagonal step with no pawn behind", "4k3/8/8/4P3/8/8/8/4K3 w - -", "e5d6",
                 "4k3/8/3P4/8/8/8/8/4K3", 0, 0x041, {6 * 64 + 35}},
        MakeCase{"king move loses both rights", CASTLE, "e1f1", "r3k2r/8/8/8/8/8/8/R4K1R", 0x18, 0x020, {}},
        MakeCase{"h1 rook move loses K", CASTLE, "h1h2", "r3k2r/8/8/8/8/8/7R/R3K3", 0x1C, 0x008, {}},
        MakeCase{"a1 rook move loses Q", CASTLE, "a1a2", "r3k2r/8/8/8/8/8/R7/4K2R", 0x1A, 0x008, {}},
        MakeCase{"rook takes rook on a8", CASTLE, "a1a8", "R3k2r/8/8/8/8/8/8/4K2R", 0x0A, 0x208, {}},
        MakeCase{"black rook takes rook on h1", CASTLE_BLACK, "h8h1", "r3k3/8/8/8/8/8/8/R3K2r", 0x15, 0x208, {}},
        MakeCase{"bishop takes rook on h1", "4k3/8/8/8/8/8/6b1/4K2R b K -", "g2h1", "4k3/8/8/8/8/8/8/4K2b", 1,
                 0x108, {}},
        MakeCase{"king stays put", CASTLE, "e1e1", "r3k2r/8/8/8/8/8/8/R3K2R", 0x18, 0x020, {}},
        MakeCase{"a1 rook stays put", CASTLE, "a1a1", "r3k2r/8/8/8/8/8/8/R3K2R", 0x1A, 0x008, {}},
        MakeCase{"h8 rook stays put", CASTLE_BLACK, "h8h8", "r3k2r/8/8/8/8/8/8/R3K2R", 0x17, 0x200, {}},
        MakeCase{"pawn stays put", std::string(DEFAULT_FEN), "e2e2", "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR",
                 0x1E, 0x001, {}},
        MakeCase{"black double step", "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3", "e7e5",
                 "rnbqkbnr/pppp1ppp/8/4p3/4P3/8/PPPP1PPP/RNBQKBNR", 0x1F | bit(9), 0x040, {}},
        MakeCase{"the other side's king keeps its rights", "4k3/8/8/8/8/8/8/4K3 w kq -", "e8e7",
                 "8/4k3/8/8/8/8/8/4K3", 0x18, 0x800, {}},
        MakeCase{"white promotion on the first rank", "4k3/8/8/8/8/8/4P3/7K w - -", "e2e1q", "4k3/8/8/8/8/8/8/4Q2K",
                 0, 0x011, {}}));

TEST(MakeMove, CastlingWordAndTextMakeTheSameMove) {
    Board by_text = board_from_fen(CASTLE);
    Board by_word = board_from_fen(CASTLE);
    push_text(by_text, "e1c1");
    push_move(by_word, ChessMove{0x3084});
    EXPECT_EQ(snapshot(by_text), snapshot(by_word));
}

TEST(MakeMove, EnPassantRightLastsOneMove) {
    Board board = board_from_fen("rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3");
    push_text(board, "e7e5");
    ASSERT_EQ(board.state, 0x1F | bit(9));
    push_text(board, "g1f3");
    EXPECT_EQ(board.state, 0x1E);
    EXPECT_TRUE(holds_together(board, Hashes::exact));

    Board white = board_from_fen(DEFAULT_FEN);
    push_text(white, "d2d4");
    ASSERT_EQ(white.state, 0x1E | bit(13 + 3));
    push_text(white, "a7a6");
    EXPECT_EQ(white.state, 0x1F);
    EXPECT_TRUE(holds_together(white, Hashes::exact));
}

TEST(MakeMove, TurnAlternatesAndPopsUndoNewestFirst) {
    Board board = board_from_fen(DEFAULT_FEN);
    std::vector<Snapshot> trail{snapshot(board)};
    for (const char* move : {"e2e4", "d7d5", "e4d5", "g8f6", "f1b5", "c7c6", "d5c6", "d8d2", "b1d2", "e8d8",
                             "c6b7", "h8g8", "b7c8q"}) {
        push_text(board, move);
        EXPECT_TRUE(holds_together(board, Hashes::exact)) << move;
        trail.push_back(snapshot(board));
    }
    EXPECT_EQ(fen(board), "rnQk1br1/p3pppp/5n2/1B6/8/8/PPPN1PPP/R1BQK1NR b KQ -");
    for (std::size_t i = trail.size() - 1; i-- > 0;) {
        pop_move(board);
        ASSERT_EQ(snapshot(board), trail[i]) << i;
    }
    EXPECT_TRUE(panics_with([&] { pop_move(board); }, UNWRAP_NONE));
    EXPECT_EQ(snapshot(board), trail.front());
}

// ---------------------------------------------------------------- refusals

struct RefuseCase {
    std::string fen;
    std::string text;
    std::string message;
};

void PrintTo(const RefuseCase& c, std::ostream* os) { *os << c.fen << " " << ::testing::PrintToString(c.text); }

class PushTextRefuses : public ::testing::TestWithParam<RefuseCase> {};

TEST_P(PushTextRefuses, ChangesNothing) {
    const auto& c = GetParam();
    Board board = board_from_fen(c.fen);
    const Snapshot before = snapshot(board);
    EXPECT_TRUE(refuses_with([&] { push_text(board, c.text); }, c.message));
    EXPECT_EQ(snapshot(board), before);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, PushTextRefuses,
    ::testing::Values(
        RefuseCase{"k7/4P3/8/8/8/8/8/4K3 w - -", "e7e8", "Invalid chess move: Missing promotion type for e7e8"},
        RefuseCase{"k7/4P3/8/8/8/8/8/4K3 w - -", " e7e8\u3000", "Invalid chess move: Missing promotion type for e7e8"},
        RefuseCase{"4k3/8/8/8/8/8/p7/4K3 b - -", "a2a1", "Invalid chess move: Missing promotion type for a2a1"},
        RefuseCase{"4k3/P7/8/8/8/8/8/4K3 b - -", "a7b8", "Invalid chess move: Missing promotion type for a7b8"},
        RefuseCase{std::string(DEFAULT_FEN), "e2e",
                   "Invalid chess move: Unsupported move notation. Must be 4 or 5 (promotion) characters. Found: e2e"},
        RefuseCase{std::string(DEFAULT_FEN), "e7e8k", "Invalid chess move: Unsupported promotion type for e7e8k"},
        RefuseCase{std::string(DEFAULT_FEN), "",
                   "Invalid chess move: Unsupported move notation. Must be 4 or 5 (promotion) characters. Found: "}));

struct OffBoardCase {
    std::string fen;
    std::string text;
};

void PrintTo(const OffBoardCase& c, std::ostream* os) { *os << c.fen << " " << c.text; }

class PushTextRefusesEnPassantOffBoard : public ::testing::TestWithParam<OffBoardCase> {};

TEST_P(PushTextRefusesEnPassantOffBoard, ChangesNothing) {
    const auto& c = GetParam();
    Board board = board_from_fen(c.fen);
    const Snapshot before = snapshot(board);
    const auto message = caught<InvalidInput>([&] { push_text(board, c.text); });
    ASSERT_TRUE(message.has_value()) << "accepted " << c.text;
    EXPECT_EQ(message->rfind("Invalid chess move: ", 0), 0u) << *message;
    const std::string tail = " for " + c.text;
    ASSERT_GE(message->size(), tail.size());
    EXPECT_EQ(message->substr(message->size() - tail.size()), tail) << *message;
    EXPECT_EQ(snapshot(board), before);

    // The word itself is refused by push_move too, before anything changes.
    const ChessMove move = std::get<ChessMove>(ChessMove::from_str(c.text));
    EXPECT_NE(unsupported_move(board, move), nullptr);
    EXPECT_TRUE(caught<Panic>([&] { push_move(board, move); }).has_value());
    EXPECT_EQ(snapshot(board), before);
}

INSTANTIATE_TEST_SUITE_P(Texts, PushTextRefusesEnPassantOffBoard,
                         ::testing::Values(OffBoardCase{"4k3/8/8/8/8/8/1P6/4K3 w - -", "b2a1q"},
                                           OffBoardCase{"4k3/8/8/8/8/8/1P6/4K3 w - -", "b2c1n"},
                                           OffBoardCase{"4k3/6p1/8/8/8/8/8/4K3 b - -", "g7h8q"},
                                           OffBoardCase{"4k3/8/8/8/8/8/1p6/4K3 w - -", "b2a1r"}));

struct PanicCase {
    std::string fen;
    std::string text;
    std::string message;
};

void PrintTo(const PanicCase& c, std::ostream* os) { *os << c.fen << " " << ::testing::PrintToString(c.text); }

class PushTextPanics : public ::testing::TestWithParam<PanicCase> {};

TEST_P(PushTextPanics, ChangesNothing) {
    const auto& c = GetParam();
    Board board = board_from_fen(c.fen);
    const Snapshot before = snapshot(board);
    EXPECT_TRUE(panics_with([&] { push_text(board, c.text); }, c.message));
    EXPECT_EQ(snapshot(board), before);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, PushTextPanics,
    ::testing::Values(PanicCase{std::string(DEFAULT_FEN), "e4e5", UNWRAP_NONE},
                      PanicCase{std::string(DEFAULT_FEN), "a3a4q", UNWRAP_NONE},
                      PanicCase{"8/8/8/8/8/8/8/8 w - -", "a1a1", UNWRAP_NONE},
                      PanicCase{std::string(DEFAULT_FEN), "E2E4", "assertion failed: from_file <= 7"},
                      PanicCase{std::string(DEFAULT_FEN), "e2e9", "assertion failed: to_rank <= 7"},
                      PanicCase{std::string(DEFAULT_FEN), "e2\u00E9",
                                "index out of bounds: the len is 3 but the index is 3"}));

TEST(PushMove, EmptyFromSquarePanicsAndChangesNothing) {
    Board board = board_from_fen(DEFAULT_FEN);
    push_text(board, "e2e4");
    const Snapshot before = snapshot(board);
    EXPECT_TRUE(panics_with([&] { push_move(board, ChessMove::pack(sq("e3"), sq("e4"))); }, UNWRAP_NONE));
    EXPECT_EQ(snapshot(board), before);
}

TEST(PopMove, FreshBoardPanicsAndChangesNothing) {
    Board board = board_from_fen(DEFAULT_FEN);
    const Snapshot before = snapshot(board);
    EXPECT_TRUE(panics_with([&] { pop_move(board); }, UNWRAP_NONE));
    EXPECT_EQ(snapshot(board), before);
}

// ---------------------------------------------------------------- every pair

// The keys that push_move toggles although the square or bit does not change
// (or that it leaves alone although the bit does): a castling rook that is not
// there, an en-passant victim that is not there, a square already held in the
// plane a piece arrives in, and the en-passant set of the side not to move,
// which is cleared without a toggle. Written from the make-move steps.
std::vector<unsigned> stray_keys(const Board& board, ChessMove move) {
    std::vector<unsigned> keys;
    Planes p = board.planes;
    const unsigned from = move.from(), to = move.to(), special = move.special();
    const bool white = board.state & 1;
    const auto has = [&](unsigned plane, unsigned square) { return (p[plane] >> square & 1) != 0; };
    unsigned mover = 12;
    for (unsigned plane = 0; plane < 12 && mover == 12; ++plane)
        if (has(plane, from)) mover = plane;
    const bool mover_white = mover < 6;
    const bool pawn = mover == 0 || mover == 6;
    unsigned captured = 12;
    for (unsigned plane = mover_white ? 6 : 0; plane < (mover_white ? 12u : 6u) && captured == 12; ++plane)
        if (has(plane, to)) captured = plane;
    const bool en_passant = captured == 12 && pawn && (from & 7) != (to & 7);
    const bool castling = (mover == 5 || mover == 11) && (from & 7) == 4 && ((to & 7) == 2 || (to & 7) == 6);
    const bool promotion = pawn && (to >> 3 == 0 || to >> 3 == 7) && special >= 4 && special <= 7;

    if (from != to && has(mover, to)) keys.push_back(mover * 64 + to);
    p[mover] = (p[mover] & ~bit(from)) | bit(to);
    if (en_passant) {
        const unsigned victim = white ? to - 8 : to + 8;
        const unsigned victim_plane = white ? 6 : 0;
        if (!has(victim_plane, victim)) keys.push_back(victim_plane * 64 + victim);
        p[victim_plane] &= ~bit(victim);
    } else if (captured != 12) {
        p[captured] &= ~bit(to);
    }
    if (castling) {
        const unsigned rook = mover - 2;
        const unsigned base = white ? 0 : 56;
        const unsigned rook_from = base + ((to & 7) == 6 ? 7 : 0);
        const unsigned rook_to = base + ((to & 7) == 6 ? 5 : 3);
        if (has(rook, rook_from)) {
            if (has(rook, rook_to)) keys.push_back(rook * 64 + rook_to);
            p[rook] = (p[rook] & ~bit(rook_from)) | bit(rook_to);
        } else {
            keys.push_back(rook * 64 + rook_from);
            keys.push_back(rook * 64 + rook_to);
        }
    }
    if (promotion) {
        const unsigned promoted = mover + special - 3;
        if (has(promoted, to)) keys.push_back(promoted * 64 + to);
    }
    const unsigned other_set = white ? 13 : 5;
    for (unsigned b = other_set; b < other_set + 8; ++b)
        if (board.state >> b & 1) keys.push_back(768 + b);
    return keys;
}

// The two kinds of move that push_move need not support.
bool outside_supported(const Board& board, ChessMove move) {
    const unsigned from = move.from(), to = move.to();
    const unsigned mover = plane_at(board.planes, from);
    if (mover != 0 && mover != 6) return false;
    if (to >> 3 != 0 && to >> 3 != 7) return false;
    if (move.special() < 4) return true;
    const bool other_piece =
        mover == 0 ? plane_at(board.planes, to, 6, 12) != 12 : plane_at(board.planes, to, 0, 6) != 12;
    const bool white = board.state & 1;
    return !other_piece && (from & 7) != (to & 7) && (to >> 3) == (white ? 0u : 7u);
}

struct PairStats {
    std::size_t pairs = 0;
    std::size_t exact = 0;
    std::size_t refused = 0;
};

void check_every_pair(Board& board, PairStats& stats) {
    const Snapshot before = snapshot(board);
    const HashDrift drift = hash_drift(board);
    Bitboard occupied = 0;
    for (const Bitboard plane : board.planes) occupied |= plane;
    for (Bitboard froms = occupied; froms;) {
        const unsigned from = pop_lsb(froms);
        for (unsigned to = 0; to < 64; ++to)
            for (const unsigned code : {0u, 4u, 5u, 6u, 7u}) {
                const ChessMove move = ChessMove::pack(from, to, code);
                const std::string text = move.text();
                SCOPED_TRACE(fen(board) + " " + text);
                ++stats.pairs;

                if (outside_supported(board, move)) {
                    ++stats.refused;
                    ASSERT_NE(unsupported_move(board, move), nullptr);
                    const auto message = caught<InvalidInput>([&] { push_text(board, text); });
                    ASSERT_TRUE(message.has_value());
                    ASSERT_EQ(message->rfind("Invalid chess move: ", 0), 0u) << *message;
                    ASSERT_TRUE(message->ends_with(" for " + text)) << *message;
                    ASSERT_EQ(snapshot(board), before);
                    ASSERT_TRUE(caught<Panic>([&] { push_move(board, move); }).has_value());
                    ASSERT_EQ(snapshot(board), before);
                    continue;
                }
                ASSERT_EQ(unsupported_move(board, move), nullptr);

                const std::vector<unsigned> keys = stray_keys(board, move);
                Board by_word = board;
                push_text(board, text);
                push_move(by_word, move);
                ASSERT_EQ(snapshot(board), snapshot(by_word));
                ASSERT_NO_FATAL_FAILURE(expect_one_record(board, before));

                std::uint64_t stray64 = 0;
                std::uint16_t stray16 = 0;
                for (const unsigned key : keys) {
                    stray64 ^= (*board.zobrist.keys64)[key];
                    stray16 ^= (*board.zobrist.keys16)[key];
                }
                // The hash moves by the change of the full hash, apart from the stray keys.
                ASSERT_EQ(hash_drift(board),
                          (HashDrift{drift.hash64 ^ stray64, static_cast<std::uint16_t>(drift.hash16 ^ stray16)}));
                ASSERT_TRUE(holds_together(board, Hashes::unchecked));

                pop_move(board);
                Snapshot expected = before;
                expected.hash64 ^= stray64;
                expected.hash16 ^= stray16;
                ASSERT_EQ(snapshot(board), expected);
                if (keys.empty()) ++stats.exact;
                // Undo the stray part so the next pair starts from the same board.
                board.zobrist.hash64 = before.hash64;
                board.zobrist.hash16 = before.hash16;
            }
    }
}

Board board_with(const std::string& fen_text, std::uint64_t extra_state = 0,
                 std::initializer_list<std::pair<unsigned, Bitboard>> extra_pieces = {}) {
    Board board = board_from_fen(fen_text);
    board.state |= extra_state;
    for (const auto& [plane, squares] : extra_pieces) board.planes[plane] |= squares;
    board.zobrist = ZobristBoardComponent::create(board.planes, board.state);
    return board;
}

TEST(PushPopEveryPair, OwnPositions) {
    std::vector<Board> boards = {
        board_from_fen(DEFAULT_FEN),
        board_from_fen(CASTLE),
        board_from_fen(CASTLE_BLACK),
        board_from_fen("4k3/8/8/8/8/8/8/4K3 w KQkq -"),      // rights without rooks
        board_from_fen("4k3/8/8/8/8/8/8/4KR1R w K -"),       // castling onto a rook
        board_from_fen("4k3/8/8/3pP3/8/8/8/4K3 w - d6"),     // en passant offered
        board_from_fen("4k3/8/8/8/3pP3/8/8/4K3 b - e3"),
        board_from_fen("1n2k2r/P5P1/8/8/8/8/p5p1/1N2K2R w Kk -"),  // promotions of both sides
        board_from_fen("1n2k2r/P5P1/8/8/8/8/p5p1/1N2K2R b Kk -"),
        board_from_fen("8/8/8/8/8/8/PPPP4/R7 w Q -"),        // no kings
        board_from_fen("r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -"),
        board_from_fen("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 1"),  // state bit 21
        board_with(std::string(DEFAULT_FEN), bit(13 + 4) | bit(40)),  // Black's en-passant set, White to move
        board_with("r3k2r/8/8/8/8/8/8/R3K2R b KQkq -", bit(5 + 1)),
        board_with("4k3/8/8/8/8/8/8/R3K3 w Q -", 0, {{10, bb({"a1", "e4"})}, {3, bb({"e8"})}}),  // overlaps
        board_with("4k3/8/8/4p3/8/8/8/4K3 w - -", 0, {{0, bb({"e5"})}, {7, bb({"e1"})}}),
    };
    PairStats stats;
    for (Board& board : boards) {
        ASSERT_NO_FATAL_FAILURE(check_every_pair(board, stats));
    }
    EXPECT_GT(stats.pairs, 50000u);
    EXPECT_GT(stats.exact, stats.pairs / 2);
    EXPECT_GT(stats.refused, 0u);
}

TEST(PushPopEveryPair, SharedRandomPositions) {
    const auto* entries = shared_perft("random.perft");
    if (!entries) GTEST_SKIP() << missing_perft_message("random.perft");
    PairStats stats;
    const std::size_t step = std::max<std::size_t>(1, entries->size() / 12);
    for (std::size_t i = 0; i < entries->size(); i += step) {
        Board board = board_from_fen((*entries)[i].fen);
        ASSERT_NO_FATAL_FAILURE(check_every_pair(board, stats));
    }
    EXPECT_GT(stats.pairs, 50000u);
    EXPECT_GT(stats.exact, stats.pairs / 2);
}

// ---------------------------------------------------------------- legal moves keep the hash exact

void walk(Board& board, unsigned depth, std::size_t& pushes) {
    if (depth == 0) return;
    MoveList moves;
    generator().legal_moves(board, moves);
    for (const ChessMove move : moves) {
        const Snapshot before = snapshot(board);
        push_move(board, move);
        ++pushes;
        ASSERT_TRUE(holds_together(board, Hashes::exact)) << " after " << move.text();
        ASSERT_NO_FATAL_FAILURE(walk(board, depth - 1, pushes));
        pop_move(board);
        ASSERT_EQ(snapshot(board), before) << fen(board) << " " << move.text();
    }
}

TEST(LegalMovesKeepTheHash, OwnPositions) {
    std::size_t pushes = 0;
    for (const char* text : {"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -",
                             "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -",
                             "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - -",
                             "r2q1rk1/pP1p2pp/Q4n2/bbp1p3/Np6/1B3NBn/pPPP1PPP/R3K2R b KQ -",
                             "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ -",
                             "8/8/8/1k6/3Pp3/8/8/4KQ2 b - d3"}) {
        Board board = board_from_fen(text);
        ASSERT_NO_FATAL_FAILURE(walk(board, 3, pushes));
    }
    EXPECT_GT(pushes, 100000u);
}

TEST(LegalMovesKeepTheHash, SharedRandomPositions) {
    const auto* entries = shared_perft("random.perft");
    if (!entries) GTEST_SKIP() << missing_perft_message("random.perft");
    std::size_t pushes = 0;
    for (std::size_t i = 0; i < entries->size(); i += 10) {
        Board board = board_from_fen((*entries)[i].fen);
        ASSERT_NO_FATAL_FAILURE(walk(board, i % 100 == 0 ? 3 : 2, pushes)) << (*entries)[i].id;
    }
    EXPECT_GT(pushes, 100000u);
}

}  // namespace

namespace {

using namespace velmor;
using namespace velmor::testing;

// play_move, the reader's forward-only make, leaves exactly the planes and
// the state push_move leaves, for every legal move of every position walked.
void walk_forward(Board& board, unsigned depth, std::size_t& moves) {
    MoveList list;
    generator().legal_moves(board, list);
    for (const ChessMove move : list) {
        Planes planes = board.planes;
        std::uint64_t state = board.state;
        const std::string before = fen(board);
        play_move(planes, state, move);
        push_move(board, move);
        ASSERT_EQ(planes, board.planes) << before << " " << move.text();
        ASSERT_EQ(state, board.state) << before << " " << move.text();
        ++moves;
        if (depth > 1) {
            ASSERT_NO_FATAL_FAILURE(walk_forward(board, depth - 1, moves));
        }
        pop_move(board);
    }
}

TEST(PlayMove, LeavesWhatPushMoveLeaves) {
    std::size_t moves = 0;
    // Castling both ways and with a rook taken on its corner, promotions with
    // and without capture, en passant (also out of check), double steps.
    for (const char* text : {"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -",
                             "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -",
                             "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - -",
                             "r2q1rk1/pP1p2pp/Q4n2/bbp1p3/Np6/1B3NBn/pPPP1PPP/R3K2R b KQ -",
                             "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ -",
                             "r3k2r/1P4P1/8/8/8/8/1p4p1/R3K2R w KQkq -",
                             "8/8/8/1k6/3Pp3/8/8/4KQ2 b - d3"}) {
        Board board = board_from_fen(text);
        ASSERT_NO_FATAL_FAILURE(walk_forward(board, 3, moves));
    }
    EXPECT_GT(moves, 100000u);
}

}  // namespace
