// FEN reading and writing, and colour reflection.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "board/mod.hpp"
#include "helpers.hpp"

namespace {

using namespace velmor;
using namespace velmor::testing;

// Planes from (FEN letter, squares) pairs, with the letter order written out
// here rather than taken from the reader.
Planes planes_of(std::initializer_list<std::pair<char, Bitboard>> pieces) {
    constexpr std::string_view letters = "PNBRQKpnbrqk";
    Planes planes{};
    for (const auto& [letter, squares] : pieces) planes[letters.find(letter)] |= squares;
    return planes;
}

const Planes DEFAULT_PLANES = planes_of({{'P', 0xFF00},
                                         {'N', bb({"b1", "g1"})},
                                         {'B', bb({"c1", "f1"})},
                                         {'R', bb({"a1", "h1"})},
                                         {'Q', bb({"d1"})},
                                         {'K', bb({"e1"})},
                                         {'p', 0x00FF000000000000},
                                         {'n', bb({"b8", "g8"})},
                                         {'b', bb({"c8", "f8"})},
                                         {'r', bb({"a8", "h8"})},
                                         {'q', bb({"d8"})},
                                         {'k', bb({"e8"})}});

Planes after_e2e4() {
    Planes planes = DEFAULT_PLANES;
    planes[0] ^= bb({"e2", "e4"});
    return planes;
}

std::string planes_text(const Planes& planes) {
    std::string out;
    for (const Bitboard p : planes) out += hex(p) + " ";
    return out;
}

constexpr std::uint64_t bit(unsigned b) { return std::uint64_t{1} << b; }

// ---------------------------------------------------------------- reading

struct ReadCase {
    std::string fen;
    Planes planes;
    std::uint64_t state;
};

void PrintTo(const ReadCase& c, std::ostream* os) { *os << ::testing::PrintToString(c.fen); }

class FenRead : public ::testing::TestWithParam<ReadCase> {};

TEST_P(FenRead, PlanesAndState) {
    const auto& c = GetParam();
    const Board board = board_from_fen(c.fen);
    EXPECT_EQ(board.planes, c.planes) << planes_text(board.planes);
    EXPECT_EQ(board.state, c.state) << hex(board.state);
    EXPECT_EQ(pieces_from_fen(c.fen), c.planes);
    EXPECT_TRUE(board.move_history.empty());
    for (const auto& stack : board.plane_history) EXPECT_TRUE(stack.empty());
    EXPECT_TRUE(holds_together(board, Hashes::exact));
}

const std::string EMPTY = "8/8/8/8/8/8/8/8";
const std::string DEFAULT(DEFAULT_FEN);

INSTANTIATE_TEST_SUITE_P(
    Fields, FenRead,
    ::testing::Values(
        ReadCase{DEFAULT, DEFAULT_PLANES, 0x1F}, ReadCase{EMPTY + " w - -", {}, 1}, ReadCase{EMPTY + " b - -", {}, 0},
        ReadCase{"rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3", after_e2e4(), 0x1E | bit(17)},
        ReadCase{"rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR w KQkq e3", after_e2e4(), 0x1F | bit(9)},
        ReadCase{"rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e6", after_e2e4(), 0x1E | bit(17)},
        // counters, runs of white space, leading and trailing white space
        ReadCase{DEFAULT + " 0 1", DEFAULT_PLANES, 0x1F},
        ReadCase{"  rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR \t w\t\tKQkq   -  ", DEFAULT_PLANES, 0x1F},
        ReadCase{"\nrnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 12 40 extra\r\n", DEFAULT_PLANES, 0x1F},
        ReadCase{EMPTY + "\u3000w\u2003-\u0085-\u00A0", {}, 1}, ReadCase{EMPTY + "\u2028b\u2029-\u205F-", {}, 0},
        // castling
        ReadCase{EMPTY + " w K-X -", {}, 1 | bit(1)}, ReadCase{EMPTY + " w -K -", {}, 1},
        ReadCase{EMPTY + " w - -", {}, 1}, ReadCase{EMPTY + " w -\u00E9 -", {}, 1},
        ReadCase{EMPTY + " w qkQK -", {}, 0x1F}, ReadCase{EMPTY + " w KQkqKQ -", {}, 0x1F},
        ReadCase{EMPTY + " b k -", {}, bit(3)}, ReadCase{EMPTY + " b Qq -", {}, bit(2) | bit(4)},
        // en passant: the first character's code point names the bit
        ReadCase{EMPTY + " w - --", {}, 1 | bit(17)}, ReadCase{EMPTY + " b - --", {}, bit(25)},
        ReadCase{EMPTY + " w - -e", {}, 1 | bit(17)}, ReadCase{EMPTY + " w - a6", {}, 1 | bit(5)},
        ReadCase{EMPTY + " w - h6", {}, 1 | bit(12)}, ReadCase{EMPTY + " b - a3", {}, bit(13)},
        ReadCase{EMPTY + " b - h", {}, bit(20)}, ReadCase{EMPTY + " w - c3xyz", {}, 1 | bit(7)},
        ReadCase{EMPTY + " w - 1", {}, 1 | bit(21)}, ReadCase{EMPTY + " w - A", {}, 1 | bit(37)},
        ReadCase{EMPTY + " w - \u00E93", {}, 1 | bit(13)},  // U+00E9 = 233, not its first byte
        // placement: the counter runs on across groups
        ReadCase{"ppppppppp/8/8/8/8/8/8/8 w - -", planes_of({{'p', 0xFF00000000000001}}), 1},
        ReadCase{"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBN w - -",
                 planes_of({{'R', bb({"a1"})},
                            {'N', bb({"b1", "g1"})},
                            {'B', bb({"c1", "f1"})},
                            {'Q', bb({"d1"})},
                            {'K', bb({"e1"})},
                            {'P', 0x7F80},
                            {'p', 0xFFULL << 47},
                            {'r', bit(55) | bit(62)},
                            {'n', bit(56) | bit(61)},
                            {'b', bit(57) | bit(60)},
                            {'q', bit(58)},
                            {'k', bit(59)}}),
                 1},
        ReadCase{EMPTY.substr(0, 13) + "/10K w - -", planes_of({{'K', bb({"b1"})}}), 1},
        ReadCase{EMPTY.substr(0, 13) + "/K10K w - -", planes_of({{'K', bb({"a1", "c1"})}}), 1},
        ReadCase{EMPTY.substr(0, 13) + "/0K w - -", planes_of({{'K', bb({"a1"})}}), 1},
        ReadCase{EMPTY.substr(0, 13) + "/9K w - -", planes_of({{'K', bb({"b2"})}}), 1},
        ReadCase{"K/K w - -", planes_of({{'K', bb({"a1", "b1"})}}), 1},
        ReadCase{"k/8/8/8/8/8/8/K w - -", planes_of({{'K', bb({"a1"})}, {'k', bb({"b7"})}}), 1},
        ReadCase{"//K w - -", planes_of({{'K', bb({"a1"})}}), 1},
        ReadCase{"8/8/8/8/8/8/8/8/Q w - -", planes_of({{'Q', bb({"a1"})}}), 1},
        ReadCase{"8/8/8/8/8/8/8/8/8/q w - -", planes_of({{'q', bb({"a1"})}}), 1},
        ReadCase{"RRRRRRRR/8/8/8/8/8/8/8/8 w - -", planes_of({{'R', 0xFF}}), 1}));

struct FailCase {
    std::string fen;
    bool panic;  // velmor::Panic, else velmor::InvalidInput
    std::string message;
};

void PrintTo(const FailCase& c, std::ostream* os) { *os << ::testing::PrintToString(c.fen); }

const std::string SIDE = "Invalid fen: Invalid side-to-move";
const std::string CASTLING = "Invalid fen: Invalid castling specifier";
const std::string PIECE = "Invalid piece type";

class FenReadFailure : public ::testing::TestWithParam<FailCase> {};

TEST_P(FenReadFailure, ThrowsTheExactFailure) {
    const auto& c = GetParam();
    const auto read = [&] { (void)board_from_fen(c.fen); };
    if (c.panic)
        EXPECT_TRUE(panics_with(read, c.message));
    else
        EXPECT_TRUE(refuses_with(read, c.message));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, FenReadFailure,
    ::testing::Values(FailCase{EMPTY + " white - -", false, SIDE}, FailCase{EMPTY + " W - -", false, SIDE},
                      FailCase{EMPTY + " wb - -", false, SIDE}, FailCase{EMPTY + " B - -", false, SIDE},
                      FailCase{EMPTY + " - - -", false, SIDE}, FailCase{EMPTY + " w\u200B - -", false, SIDE},
                      FailCase{EMPTY + " w KX -", false, CASTLING}, FailCase{EMPTY + " w X -", false, CASTLING},
                      FailCase{EMPTY + " w KQkq1 -", false, CASTLING},
                      FailCase{EMPTY + " w Kk\u00E9 -", false, CASTLING},
                      FailCase{EMPTY + " b kqQKx- -", false, CASTLING},
                      // missing fields
                      FailCase{EMPTY, true, UNWRAP_NONE}, FailCase{EMPTY + " w", true, UNWRAP_NONE},
                      FailCase{EMPTY + " w -", true, UNWRAP_NONE}, FailCase{EMPTY + " w -  \t", true, UNWRAP_NONE},
                      FailCase{"", true, UNWRAP_NONE}, FailCase{"   ", true, UNWRAP_NONE},
                      FailCase{"\u3000\t\u2029", true, UNWRAP_NONE}, FailCase{EMPTY + " w -X", true, UNWRAP_NONE},
                      // placement characters
                      FailCase{"8/8/8/8/8/8/8/7x w - -", true, PIECE},
                      FailCase{"8/8/8/8/8/8/8/7\u00E9 w - -", true, PIECE},
                      FailCase{"8/8/8/8/8/8/8/\uFF18 w - -", true, PIECE},  // fullwidth digit 8
                      FailCase{"8/8/8/8/8/8/8/8- w - -", true, PIECE},
                      FailCase{"8/8/8/8/8/8/8/8\u200B w - -", true, PIECE},
                      FailCase{"x7/8/8/8/8/8/8/8 w - -", true, PIECE},
                      // order of the checks
                      FailCase{"8/8/8/8/8/8/8/7x white - -", true, PIECE}, FailCase{"8/8/8/8/8/8/8/7x", true, PIECE},
                      FailCase{EMPTY + " w KX", false, CASTLING}, FailCase{EMPTY + " white", false, SIDE},
                      FailCase{EMPTY + " white KX", false, SIDE}));

TEST(PiecesFromFen, ReadsOnlyTheFirstField) {
    EXPECT_EQ(pieces_from_fen("8/8/8/8/8/8/8/K"), planes_of({{'K', bb({"a1"})}}));
    EXPECT_EQ(pieces_from_fen("  8/8/8/8/8/8/8/K nonsense 1 2 3"), planes_of({{'K', bb({"a1"})}}));
    EXPECT_EQ(pieces_from_fen(DEFAULT_FEN), DEFAULT_PLANES);
    EXPECT_TRUE(panics_with([] { (void)pieces_from_fen(""); }, UNWRAP_NONE));
    EXPECT_TRUE(panics_with([] { (void)pieces_from_fen(" \t\u3000"); }, UNWRAP_NONE));
    EXPECT_TRUE(panics_with([] { (void)pieces_from_fen("7x w - -"); }, PIECE));
}

// ---------------------------------------------------------------- writing

struct WriteCase {
    const char* name;
    Planes planes;
    std::uint64_t state;
    std::string fen;
};

void PrintTo(const WriteCase& c, std::ostream* os) { *os << c.name; }

class FenWrite : public ::testing::TestWithParam<WriteCase> {};

TEST_P(FenWrite, WritesFourFields) {
    const auto& c = GetParam();
    Board board;
    board.planes = c.planes;
    board.state = c.state;
    EXPECT_EQ(fen(board), c.fen) << c.name;
    char buffer[MAX_FEN];
    const std::size_t length = write_fen(board, buffer);
    EXPECT_EQ(std::string(buffer, length), c.fen);
}

Planes full_board() {
    Planes planes{};
    for (unsigned square = 0; square < 64; ++square) planes[square % 12] |= bit(square);
    return planes;
}

INSTANTIATE_TEST_SUITE_P(
    Boards, FenWrite,
    ::testing::Values(
        WriteCase{"default", DEFAULT_PLANES, 0x1F, DEFAULT}, WriteCase{"empty, Black", {}, 0, EMPTY + " b - -"},
        WriteCase{"empty, White", {}, 1, EMPTY + " w - -"},
        WriteCase{"white rook and black queen on a1", planes_of({{'R', bb({"a1"})}, {'q', bb({"a1"})}}), 1,
                  "8/8/8/8/8/8/8/R7 w - -"},
        WriteCase{"three planes on e4", planes_of({{'B', bb({"e4"})}, {'K', bb({"e4"})}, {'r', bb({"e4", "h4"})}}),
                  1, "8/8/8/8/4B2r/8/8/8 w - -"},
        WriteCase{"black pawn and king on h8", planes_of({{'p', bb({"h8"})}, {'k', bb({"h8", "a8"})}}), 0,
                  "k6p/8/8/8/8/8/8/8 b - -"},
        WriteCase{"one square of each plane", planes_of({{'P', bit(0)}, {'N', bit(1)}, {'B', bit(2)}, {'R', bit(3)},
                                                         {'Q', bit(4)}, {'K', bit(5)}, {'p', bit(6)}, {'n', bit(7)},
                                                         {'b', bit(8)}, {'r', bit(9)}, {'q', bit(10)}, {'k', bit(11)}}),
                  1, "8/8/8/8/8/8/brqk4/PNBRQKpn w - -"},
        WriteCase{"rights Q and k", {}, 1 | bit(2) | bit(3), EMPTY + " w Qk -"},
        WriteCase{"right q", {}, 0 | bit(4), EMPTY + " b q -"},
        WriteCase{"rights K and q", {}, 1 | bit(1) | bit(4), EMPTY + " w Kq -"},
        WriteCase{"all rights", {}, 0x1F, EMPTY + " w KQkq -"},
        WriteCase{"White, rank-6 files c and e", {}, 1 | bit(5 + 2) | bit(5 + 4), EMPTY + " w - c6"},
        WriteCase{"Black, only the rank-6 set", {}, bit(5 + 2) | bit(5 + 4), EMPTY + " b - -"},
        WriteCase{"Black, rank-3 files b and h", {}, bit(13 + 1) | bit(13 + 7), EMPTY + " b - b3"},
        WriteCase{"White, only the rank-3 set", {}, 1 | bit(13 + 1), EMPTY + " w - -"},
        WriteCase{"both sets, White", {}, 1 | bit(5 + 7) | bit(13), EMPTY + " w - h6"},
        WriteCase{"both sets, Black", {}, bit(5) | bit(13 + 6), EMPTY + " b - g3"},
        WriteCase{"bits 21-63 are not read", {}, 1 | ~((bit(21)) - 1), EMPTY + " w - -"},
        WriteCase{"every square held, longest text", full_board(), 0x1F | bit(5),
                  "brqkPNBR/PNBRQKpn/QKpnbrqk/brqkPNBR/PNBRQKpn/QKpnbrqk/brqkPNBR/PNBRQKpn w KQkq a6"}));

TEST(FenWrite, LongestTextFitsTheBuffer) {
    Board board;
    board.planes = full_board();
    board.state = 0x1F | bit(5);
    EXPECT_EQ(fen(board).size(), MAX_FEN);
}

struct ReadWriteCase {
    std::string read;
    std::string written;
};

void PrintTo(const ReadWriteCase& c, std::ostream* os) { *os << ::testing::PrintToString(c.read); }

class FenReadWrite : public ::testing::TestWithParam<ReadWriteCase> {};

TEST_P(FenReadWrite, WritesWhatWasRead) {
    Board board = board_from_fen(GetParam().read);
    const Snapshot before = snapshot(board);
    EXPECT_EQ(fen(board), GetParam().written);
    EXPECT_EQ(fen(board), GetParam().written);
    EXPECT_EQ(snapshot(board), before);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, FenReadWrite,
    ::testing::Values(ReadWriteCase{DEFAULT, DEFAULT}, ReadWriteCase{DEFAULT + " 0 1", DEFAULT},
                      ReadWriteCase{"rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR w KQkq e3",
                                    "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR w KQkq e6"},
                      ReadWriteCase{"rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3",
                                    "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3"},
                      ReadWriteCase{EMPTY + " w qkQK -", EMPTY + " w KQkq -"},
                      ReadWriteCase{EMPTY + " w kQ -", EMPTY + " w Qk -"},
                      ReadWriteCase{EMPTY + " w KKK -", EMPTY + " w K -"},
                      ReadWriteCase{"4k3/8/8/8/8/8/8/4K2R w K-q -", "4k3/8/8/8/8/8/8/4K2R w K -"},
                      ReadWriteCase{"44/8/8/8/8/8/8/116 w - -", "8/8/8/8/8/8/8/8 w - -"},
                      ReadWriteCase{EMPTY + " w - --", EMPTY + " w - -"},  // bit 17 is Black's set
                      ReadWriteCase{EMPTY + " b - --", EMPTY + " b - -"},  // bit 25 is no set at all
                      ReadWriteCase{"r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
                                    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -"}));

void expect_round_trip(const std::vector<PerftEntry>& entries, bool skip_xfen) {
    std::size_t checked = 0;
    for (const PerftEntry& entry : entries) {
        if (skip_xfen && is_xfen(entry)) continue;
        EXPECT_EQ(fen(board_from_fen(entry.fen)), entry.fen) << entry.id;
        ++checked;
    }
    EXPECT_GT(checked, 0u);
}

TEST(FenRoundTrip, SharedRandomPositions) {
    const auto* entries = shared_perft("random.perft");
    if (!entries) GTEST_SKIP() << missing_perft_message("random.perft");
    expect_round_trip(*entries, false);
}

TEST(FenRoundTrip, SharedTrickyPositions) {
    const auto* entries = shared_perft("tricky.perft");
    if (!entries) GTEST_SKIP() << missing_perft_message("tricky.perft");
    expect_round_trip(*entries, true);
}

// ---------------------------------------------------------------- reflection

// The mirror written from its definition: square s goes to s XOR 56.
Bitboard mirrored(Bitboard b) {
    Bitboard out = 0;
    for (unsigned square = 0; square < 64; ++square)
        if (b >> square & 1) out |= bit(square ^ 56);
    return out;
}

struct ReflectCase {
    std::string before;
    std::string after;
};

void PrintTo(const ReflectCase& c, std::ostream* os) { *os << c.before; }

class Reflect : public ::testing::TestWithParam<ReflectCase> {};

TEST_P(Reflect, MirrorsAndSwapsColours) {
    Board board = board_from_fen(GetParam().before);
    const Board original = board;
    reflect(board);
    EXPECT_EQ(fen(board), GetParam().after);
    for (unsigned type = 0; type < 6; ++type) {
        EXPECT_EQ(board.planes[type], mirrored(original.planes[type + 6])) << type;
        EXPECT_EQ(board.planes[type + 6], mirrored(original.planes[type])) << type;
    }
    EXPECT_TRUE(holds_together(board, Hashes::exact));
    reflect(board);
    EXPECT_EQ(board.planes, original.planes);
    EXPECT_EQ(board.state, original.state);
    EXPECT_EQ(fen(board), fen(original));
    EXPECT_EQ(board.zobrist.hash64, original.zobrist.hash64);
    EXPECT_EQ(board.zobrist.hash16, original.zobrist.hash16);
}

INSTANTIATE_TEST_SUITE_P(
    Positions, Reflect,
    ::testing::Values(ReflectCase{"rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3",
                                  "rnbqkbnr/pppp1ppp/8/4p3/8/8/PPPPPPPP/RNBQKBNR w KQkq e6"},
                      ReflectCase{DEFAULT, "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR b KQkq -"},
                      ReflectCase{"4k3/8/8/8/8/8/8/4K2R w K -", "4k2r/8/8/8/8/8/8/4K3 b k -"},
                      ReflectCase{"4k3/8/8/8/8/8/8/4K3 w - -", "4k3/8/8/8/8/8/8/4K3 b - -"},
                      ReflectCase{"r3k3/8/8/8/8/8/8/4K3 b q -", "4k3/8/8/8/8/8/8/R3K3 w Q -"},
                      ReflectCase{"8/8/8/1k6/3Pp3/8/8/4KQ2 b - d3", "4kq2/8/8/3pP3/1K6/8/8/8 w - d6"},
                      ReflectCase{"r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -",
                                  "r3k2r/pppbbppp/2n2q1P/1P2p3/3pn3/BN2PNP1/P1PPQPB1/R3K2R b KQkq -"}));

TEST(Reflect, SwapsTheEnPassantSetsAndKeepsHighBits) {
    Board board = board_from_fen(EMPTY + " w Kq 1");  // bit 21
    board.state |= bit(5 + 2) | bit(13 + 6) | bit(40) | bit(63);
    reflect(board);
    EXPECT_EQ(board.state, bit(21) | bit(40) | bit(63) | bit(3) | bit(2) | bit(13 + 2) | bit(5 + 6))
        << hex(board.state);
    EXPECT_TRUE(holds_together(board, Hashes::exact));
}

TEST(Reflect, EmptiesTheHistoryAndReleasesItsStorage) {
    Board board = board_from_fen(DEFAULT_FEN);
    for (const char* move : {"e2e4", "d7d5", "e4d5", "d8d5", "b1c3"}) push_text(board, move);
    const auto* keys64 = board.zobrist.keys64;
    const auto* keys16 = board.zobrist.keys16;
    reflect(board);
    EXPECT_TRUE(board.move_history.empty());
    EXPECT_EQ(board.move_history.capacity(), 0u);
    for (const auto& stack : board.plane_history) {
        EXPECT_TRUE(stack.empty());
        EXPECT_EQ(stack.capacity(), 0u);
    }
    EXPECT_EQ(board.zobrist.keys64, keys64);
    EXPECT_EQ(board.zobrist.keys16, keys16);
    EXPECT_EQ(fen(board), "r1bqkbnr/pppp1ppp/2n5/8/3Q4/8/PPP1PPPP/RNB1KBNR w KQkq -");
    EXPECT_TRUE(holds_together(board, Hashes::exact));

    // Nothing to take back: pop fails and the board stays reflected.
    const Snapshot reflected = snapshot(board);
    EXPECT_TRUE(panics_with([&] { pop_move(board); }, UNWRAP_NONE));
    EXPECT_EQ(snapshot(board), reflected);
}

TEST(Reflect, TwiceRestoresEverySharedRandomPosition) {
    const auto* entries = shared_perft("random.perft");
    if (!entries) GTEST_SKIP() << missing_perft_message("random.perft");
    for (const PerftEntry& entry : *entries) {
        Board board = board_from_fen(entry.fen);
        const Snapshot before = snapshot(board);
        reflect(board);
        ASSERT_TRUE(holds_together(board, Hashes::exact));
        reflect(board);
        ASSERT_EQ(snapshot(board), before) << entry.fen;
    }
}

}  // namespace
