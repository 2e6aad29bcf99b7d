// The move word and its coordinate text.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <variant>

#include "chess_move/mod.hpp"
#include "helpers.hpp"

namespace {

using namespace velmor;
using namespace velmor::testing;

// ---------------------------------------------------------------- create

struct CreateCase {
    std::uint16_t from, to, special;
    std::uint16_t word;
};

void PrintTo(const CreateCase& c, std::ostream* os) { *os << c.from << ", " << c.to << ", " << c.special; }

class ChessMoveCreate : public ::testing::TestWithParam<CreateCase> {};

TEST_P(ChessMoveCreate, PacksTheFields) {
    const auto& c = GetParam();
    const ChessMove move = ChessMove::create(c.from, c.to, c.special);
    EXPECT_EQ(move.word, c.word);
    EXPECT_EQ(move.from(), c.from);
    EXPECT_EQ(move.to(), c.to);
    EXPECT_EQ(move.special(), c.special);
}

INSTANTIATE_TEST_SUITE_P(Words, ChessMoveCreate,
                         ::testing::Values(CreateCase{0, 0, 0, 0x0000}, CreateCase{63, 0, 15, 0xF03F},
                                           CreateCase{12, 28, 0, 0x070C}, CreateCase{12, 28, 2, 0x270C},
                                           CreateCase{4, 6, 3, 0x3184}, CreateCase{60, 58, 3, 0x3EBC},
                                           CreateCase{0, 63, 0, 0x0FC0}, CreateCase{63, 63, 15, 0xFFFF}));

struct CreateFailure {
    std::uint16_t from, to, special;
    const char* message;
};

void PrintTo(const CreateFailure& c, std::ostream* os) { *os << c.from << ", " << c.to << ", " << c.special; }

class ChessMoveCreateFailure : public ::testing::TestWithParam<CreateFailure> {};

TEST_P(ChessMoveCreateFailure, PanicsOnTheFirstBadArgument) {
    const auto& c = GetParam();
    EXPECT_TRUE(panics_with([&] { (void)ChessMove::create(c.from, c.to, c.special); }, c.message));
}

INSTANTIATE_TEST_SUITE_P(Ranges, ChessMoveCreateFailure,
                         ::testing::Values(CreateFailure{64, 0, 0, "Invalid FROM int"},
                                           CreateFailure{65535, 0, 0, "Invalid FROM int"},
                                           CreateFailure{0, 64, 0, "Invalid TO int"},
                                           CreateFailure{0, 1000, 0, "Invalid TO int"},
                                           CreateFailure{0, 0, 16, "Invalid SPECIAL int"},
                                           CreateFailure{63, 63, 255, "Invalid SPECIAL int"},
                                           CreateFailure{64, 64, 16, "Invalid FROM int"},
                                           CreateFailure{0, 64, 16, "Invalid TO int"}));

// ---------------------------------------------------------------- from_str

struct ParseCase {
    std::string text;
    unsigned from, to, special;
};

void PrintTo(const ParseCase& c, std::ostream* os) { *os << ::testing::PrintToString(c.text); }

class ChessMoveFromStr : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ChessMoveFromStr, ReadsTheMove) {
    const auto& c = GetParam();
    const auto parsed = ChessMove::from_str(c.text);
    ASSERT_TRUE(std::holds_alternative<ChessMove>(parsed)) << std::get<std::string>(parsed);
    const ChessMove move = std::get<ChessMove>(parsed);
    EXPECT_EQ(move.from(), c.from);
    EXPECT_EQ(move.to(), c.to);
    EXPECT_EQ(move.special(), c.special);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ChessMoveFromStr,
    ::testing::Values(ParseCase{"e2e4", 12, 28, 0}, ParseCase{"  e7e8Q\n", 52, 60, 7}, ParseCase{"e1g1", 4, 6, 0},
                      ParseCase{"a1a1", 0, 0, 0}, ParseCase{"h8a1", 63, 0, 0}, ParseCase{"a1h8", 0, 63, 0},
                      ParseCase{"e2e4q", 12, 28, 7},  // a promotion letter is accepted on any move
                      ParseCase{"e7e8n", 52, 60, 4}, ParseCase{"e7e8N", 52, 60, 4}, ParseCase{"e7e8b", 52, 60, 5},
                      ParseCase{"e7e8B", 52, 60, 5}, ParseCase{"e7e8r", 52, 60, 6}, ParseCase{"e7e8R", 52, 60, 6},
                      ParseCase{"e7e8q", 52, 60, 7}, ParseCase{"b2b1n", 9, 1, 4},
                      ParseCase{"\te2e4\r\n", 12, 28, 0}, ParseCase{"\u3000e2e4\u3000", 12, 28, 0},
                      ParseCase{"\u0085a7a8r\u00A0", 48, 56, 6}, ParseCase{"\u1680\u2000h7h8B\u200A", 55, 63, 5},
                      ParseCase{"\u2028g2g1q\u2029\u202F\u205F", 14, 6, 7}, ParseCase{"\v\fd7d5\v", 51, 35, 0},
                      ParseCase{"e7e8 ", 52, 60, 0}));

struct ErrorCase {
    std::string text;
    std::string error;
};

void PrintTo(const ErrorCase& c, std::ostream* os) { *os << ::testing::PrintToString(c.text); }

const std::string NOTATION = "Unsupported move notation. Must be 4 or 5 (promotion) characters. Found: ";
const std::string PROMOTION = "Unsupported promotion type for ";

class ChessMoveFromStrError : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(ChessMoveFromStrError, GivesTheErrorText) {
    const auto& c = GetParam();
    const auto parsed = ChessMove::from_str(c.text);
    ASSERT_TRUE(std::holds_alternative<std::string>(parsed)) << "read as word " << std::get<ChessMove>(parsed).word;
    EXPECT_EQ(std::get<std::string>(parsed), c.error);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ChessMoveFromStrError,
    ::testing::Values(ErrorCase{"e7e8k", PROMOTION + "e7e8k"}, ErrorCase{"e2-e4", PROMOTION + "e2-e4"},
                      ErrorCase{"e7e8Z", PROMOTION + "e7e8Z"},
                      ErrorCase{"\u00A0e7e8k\u2028", PROMOTION + "e7e8k"},
                      ErrorCase{"e2e\u00E9", PROMOTION + "e2e\u00E9"},  // 5 bytes, 4 characters
                      ErrorCase{"\u00E92e4", PROMOTION + "\u00E92e4"},  // 5 bytes, last character 4
                      ErrorCase{"a1a\u0131", PROMOTION + "a1a\u0131"}, ErrorCase{"O-O", NOTATION + "O-O"},
                      ErrorCase{"  O-O  ", NOTATION + "O-O"}, ErrorCase{"", NOTATION},
                      ErrorCase{"   ", NOTATION}, ErrorCase{"\u3000\t\u2029", NOTATION},
                      ErrorCase{"e2e", NOTATION + "e2e"}, ErrorCase{"e2e4qq", NOTATION + "e2e4qq"},
                      ErrorCase{"O-O-O", PROMOTION + "O-O-O"}, ErrorCase{"e2 e4", PROMOTION + "e2 e4"},
                      ErrorCase{"\u00E9\u00E9\u00E9", NOTATION + "\u00E9\u00E9\u00E9"},  // 3 characters, 6 bytes
                      ErrorCase{"e\u20AC4", PROMOTION + "e\u20AC4"},                     // 3 characters, 5 bytes
                      ErrorCase{"e2e4\u200B", NOTATION + "e2e4\u200B"}));  // zero width space is no white space

struct PanicCase {
    std::string text;
    std::string message;
};

void PrintTo(const PanicCase& c, std::ostream* os) { *os << ::testing::PrintToString(c.text); }

class ChessMoveFromStrPanic : public ::testing::TestWithParam<PanicCase> {};

TEST_P(ChessMoveFromStrPanic, Panics) {
    const auto& c = GetParam();
    EXPECT_TRUE(panics_with([&] { (void)ChessMove::from_str(c.text); }, c.message)) << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ChessMoveFromStrPanic,
    ::testing::Values(PanicCase{"E2E4", "assertion failed: from_file <= 7"},
                      PanicCase{"i2e4", "assertion failed: from_file <= 7"},
                      PanicCase{"`2e4", "assertion failed: from_file <= 7"},  // 'a' - 1 wraps to 255
                      PanicCase{"e0e4", "assertion failed: from_rank <= 7"},
                      PanicCase{"e9e4", "assertion failed: from_rank <= 7"},
                      PanicCase{"e2E4", "assertion failed: to_file <= 7"},
                      PanicCase{"e2i4", "assertion failed: to_file <= 7"},
                      PanicCase{"e2e9", "assertion failed: to_rank <= 7"},
                      PanicCase{"a1a0", "assertion failed: to_rank <= 7"},
                      PanicCase{"E2E4q", "assertion failed: from_file <= 7"},
                      PanicCase{"e2e9Q", "assertion failed: to_rank <= 7"},
                      PanicCase{"1234", "assertion failed: from_file <= 7"},
                      // the from-rank is tested before the to-file
                      PanicCase{"a9z9", "assertion failed: from_rank <= 7"},
                      // a1 and a two-byte character: four bytes, three characters
                      PanicCase{"a1\u00E9", "index out of bounds: the len is 3 but the index is 3"},
                      PanicCase{"  a1\u00E9\n", "index out of bounds: the len is 3 but the index is 3"},
                      PanicCase{"h8\u0131", "index out of bounds: the len is 3 but the index is 3"},
                      // only the low eight bits of a character count: U+2031 reads as '1'
                      PanicCase{"a\u2031", "index out of bounds: the len is 2 but the index is 2"},
                      PanicCase{"a\u20AC", "assertion failed: from_rank <= 7"},
                      // characters 1 and 2 must exist before the from-file is tested
                      PanicCase{"\xF0\x9F\x98\x80", "index out of bounds: the len is 1 but the index is 1"},
                      PanicCase{"\xF0\x9F\x98\x80q", "assertion failed: from_file <= 7"},
                      PanicCase{"\U0001F661q", "assertion failed: from_rank <= 7"}));

// ---------------------------------------------------------------- writing

struct WriteCase {
    std::uint16_t word;
    std::string text;
};

void PrintTo(const WriteCase& c, std::ostream* os) { *os << "word " << c.word << " " << c.text; }

class ChessMoveWrite : public ::testing::TestWithParam<WriteCase> {};

TEST_P(ChessMoveWrite, WritesCoordinateText) {
    const auto& c = GetParam();
    const ChessMove move{c.word};
    EXPECT_EQ(move.text(), c.text);
    char buffer[ChessMove::MAX_TEXT] = {'#', '#', '#', '#', '#'};
    EXPECT_EQ(move.write(buffer), c.text.size());
    EXPECT_EQ(std::string(buffer, c.text.size()), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Words, ChessMoveWrite,
    ::testing::Values(WriteCase{0x070C, "e2e4"}, WriteCase{0x0000, "a1a1"}, WriteCase{0x0FFF, "h8h8"},
                      WriteCase{0x003F, "h8a1"}, WriteCase{0x170C, "e2e4"}, WriteCase{0x270C, "e2e4"},
                      WriteCase{0x3184, "e1g1"}, WriteCase{0x3EBC, "e8c8"}, WriteCase{0x4F34, "e7e8n"},
                      WriteCase{0x5F34, "e7e8b"}, WriteCase{0x6F34, "e7e8r"}, WriteCase{0x7F34, "e7e8q"},
                      WriteCase{0x4049, "b2b1n"}));

TEST(ChessMoveWrite, CodesEightToFifteenPanic) {
    for (unsigned code = 8; code < 16; ++code) {
        const ChessMove move = ChessMove::pack(12, 28, code);
        EXPECT_TRUE(panics_with([&] { (void)move.text(); }, "explicit panic")) << code;
        char buffer[ChessMove::MAX_TEXT];
        EXPECT_TRUE(panics_with([&] { (void)move.write(buffer); }, "explicit panic")) << code;
    }
}

std::string square_name(unsigned square) {
    return {static_cast<char>('a' + square % 8), static_cast<char>('1' + square / 8)};
}

TEST(ChessMoveRoundTrip, EveryWordWithCodesZeroToSeven) {
    for (unsigned from = 0; from < 64; ++from)
        for (unsigned to = 0; to < 64; ++to)
            for (unsigned code = 0; code < 8; ++code) {
                const ChessMove move = ChessMove::create(static_cast<std::uint16_t>(from),
                                                         static_cast<std::uint16_t>(to),
                                                         static_cast<std::uint16_t>(code));
                std::string expected = square_name(from) + square_name(to);
                if (code >= 4) expected += "nbrq"[code - 4];
                const std::string text = move.text();
                ASSERT_EQ(text, expected) << move.word;

                // Reading gives back the word; codes 1-3 have no text and read as 0.
                const ChessMove back = std::get<ChessMove>(ChessMove::from_str(text));
                ASSERT_EQ(back, ChessMove::pack(from, to, code >= 4 ? code : 0)) << text;
                if (code >= 4) {
                    std::string upper = text;
                    upper[4] = static_cast<char>(upper[4] - 'a' + 'A');
                    ASSERT_EQ(std::get<ChessMove>(ChessMove::from_str(upper)), move) << upper;
                }
            }
}

}  // namespace
