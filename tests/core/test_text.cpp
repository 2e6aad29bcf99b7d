// UTF-8 reading shared by the FEN and move-text readers.
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "common/text.hpp"

namespace {

using velmor::text::decode;
using velmor::text::is_white_space;
using velmor::text::next_field;
using velmor::text::trim;

// The White_Space characters, written out from the Unicode property list.
constexpr char32_t WHITE_SPACE[] = {0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x20,   0x85,   0xA0,   0x1680,
                                    0x2000, 0x2001, 0x2002, 0x2003, 0x2004, 0x2005, 0x2006, 0x2007, 0x2008,
                                    0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};

// Independent encoder, so decoding can be checked by round trip.
std::string utf8(char32_t c) {
    std::string out;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

bool is_scalar(char32_t c) { return c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF); }

TEST(WhiteSpace, EveryListedCharacterIsWhiteSpace) {
    for (const char32_t c : WHITE_SPACE) EXPECT_TRUE(is_white_space(c)) << "U+" << std::hex << unsigned(c);
}

struct NotSpaceCase {
    char32_t c;
    const char* why;
};

void PrintTo(const NotSpaceCase& c, std::ostream* os) { *os << "U+" << std::hex << unsigned(c.c) << std::dec << " (" << c.why << ")"; }

class WhiteSpaceNeighbour : public ::testing::TestWithParam<NotSpaceCase> {};

TEST_P(WhiteSpaceNeighbour, IsNotWhiteSpace) { EXPECT_FALSE(is_white_space(GetParam().c)) << GetParam().why; }

INSTANTIATE_TEST_SUITE_P(
    Neighbours, WhiteSpaceNeighbour,
    ::testing::Values(NotSpaceCase{0x00, "NUL"}, NotSpaceCase{0x08, "backspace, below tab"},
                      NotSpaceCase{0x0E, "above carriage return"}, NotSpaceCase{0x1C, "file separator"},
                      NotSpaceCase{0x1F, "unit separator, below space"}, NotSpaceCase{0x21, "!"},
                      NotSpaceCase{0x84, "below NEL"}, NotSpaceCase{0x86, "above NEL"},
                      NotSpaceCase{0x9F, "below NBSP"}, NotSpaceCase{0xA1, "above NBSP"},
                      NotSpaceCase{0x167F, "below ogham space"}, NotSpaceCase{0x1681, "above ogham space"},
                      NotSpaceCase{0x180E, "Mongolian vowel separator, no longer White_Space"},
                      NotSpaceCase{0x1FFF, "below en quad"}, NotSpaceCase{0x200B, "zero width space"},
                      NotSpaceCase{0x200C, "zero width non-joiner"}, NotSpaceCase{0x2027, "below line separator"},
                      NotSpaceCase{0x202A, "above paragraph separator"},
                      NotSpaceCase{0x202E, "below narrow NBSP"}, NotSpaceCase{0x2030, "above narrow NBSP"},
                      NotSpaceCase{0x205E, "below medium math space"},
                      NotSpaceCase{0x2060, "word joiner, above medium math space"},
                      NotSpaceCase{0x2FFF, "below ideographic space"},
                      NotSpaceCase{0x3001, "above ideographic space"}, NotSpaceCase{0xFEFF, "byte order mark"},
                      NotSpaceCase{0xFFFD, "replacement character"}, NotSpaceCase{0x10FFFF, "last code point"}));

TEST(WhiteSpace, NothingElseBelowU4000IsWhiteSpace) {
    for (char32_t c = 0; c < 0x4000; ++c) {
        const bool listed = std::find(std::begin(WHITE_SPACE), std::end(WHITE_SPACE), c) != std::end(WHITE_SPACE);
        EXPECT_EQ(is_white_space(c), listed) << "U+" << std::hex << unsigned(c);
    }
}

// ---------------------------------------------------------------- fields

std::vector<std::string> all_fields(std::string_view text) {
    std::vector<std::string> fields;
    std::size_t pos = 0;
    while (true) {
        const std::string_view field = next_field(text, pos);
        if (field.empty()) {
            EXPECT_EQ(pos, text.size()) << "an empty field must leave pos at the end";
            break;
        }
        fields.emplace_back(field);
    }
    return fields;
}

struct FieldCase {
    std::string text;
    std::vector<std::string> fields;
};

void PrintTo(const FieldCase& c, std::ostream* os) { *os << ::testing::PrintToString(c.text); }

class NextField : public ::testing::TestWithParam<FieldCase> {};

TEST_P(NextField, SplitsAtWhiteSpaceRuns) { EXPECT_EQ(all_fields(GetParam().text), GetParam().fields); }

INSTANTIATE_TEST_SUITE_P(
    Splitting, NextField,
    ::testing::Values(FieldCase{"", {}}, FieldCase{"   ", {}}, FieldCase{"\t\n\v\f\r", {}},
                      FieldCase{"a", {"a"}}, FieldCase{"a b", {"a", "b"}}, FieldCase{"  a \t b  ", {"a", "b"}},
                      FieldCase{"a\tb\nc\vd\fe\rf", {"a", "b", "c", "d", "e", "f"}},
                      FieldCase{"w\u3000KQ\u3000-", {"w", "KQ", "-"}},
                      FieldCase{"a\u0085b", {"a", "b"}},  // NEL as the two bytes C2 85
                      FieldCase{"a\u00A0b\u1680c", {"a", "b", "c"}},
                      FieldCase{"a\u2000b\u200Ac\u2028d\u2029e", {"a", "b", "c", "d", "e"}},
                      FieldCase{"a\u202Fb\u205Fc", {"a", "b", "c"}},
                      FieldCase{"\u3000\u3000a\u3000 \t\u2003b\u3000", {"a", "b"}},
                      FieldCase{"a\u200Bb", {"a\u200Bb"}},  // zero width space joins
                      FieldCase{"a\xC2"
                                "b",
                                {"a\xC2"
                                 "b"}},                 // a broken lead byte is no separator
                      FieldCase{"a\x85" "b", {"a\x85" "b"}},  // the lone byte 85 is not U+0085
                      FieldCase{"a\xE3\x80 b", {"a\xE3\x80", "b"}},  // a truncated U+3000
                      FieldCase{"a\xC0\xA0"
                                "b",
                                {"a\xC0\xA0"
                                 "b"}},  // overlong space
                      FieldCase{"\xC2 \xC2", {"\xC2", "\xC2"}}, FieldCase{"x\xE3\x80\x80", {"x"}},
                      FieldCase{"\xE9t\xE9 \xF0\x9F\x98\x80", {"\xE9t\xE9", "\xF0\x9F\x98\x80"}}));

TEST(NextField, ResumesFromPos) {
    const std::string_view text = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1";
    std::size_t pos = 0;
    EXPECT_EQ(next_field(text, pos), "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR");
    EXPECT_EQ(pos, 43u);
    EXPECT_EQ(next_field(text, pos), "w");
    EXPECT_EQ(pos, 45u);
    pos = 46;
    EXPECT_EQ(next_field(text, pos), "KQkq");
    pos = text.size();
    EXPECT_EQ(next_field(text, pos), "");
    EXPECT_EQ(pos, text.size());
}

// ---------------------------------------------------------------- trim

struct TrimCase {
    std::string text;
    std::string trimmed;
};

void PrintTo(const TrimCase& c, std::ostream* os) { *os << ::testing::PrintToString(c.text); }

class Trim : public ::testing::TestWithParam<TrimCase> {};

TEST_P(Trim, RemovesOuterWhiteSpaceOnly) { EXPECT_EQ(trim(GetParam().text), GetParam().trimmed); }

INSTANTIATE_TEST_SUITE_P(
    Trimming, Trim,
    ::testing::Values(TrimCase{"", ""}, TrimCase{"   ", ""}, TrimCase{"\u3000\u2029", ""},
                      TrimCase{"e2e4", "e2e4"}, TrimCase{"  e7e8Q\n", "e7e8Q"}, TrimCase{"\te2e4\r\n", "e2e4"},
                      TrimCase{"\u3000e2e4\u3000", "e2e4"}, TrimCase{"\u0085e2e4\u00A0", "e2e4"},
                      TrimCase{"\u1680\u2000\u200Ae2e4\u2028\u202F\u205F", "e2e4"},
                      TrimCase{"a b", "a b"}, TrimCase{" a\u3000b ", "a\u3000b"},
                      TrimCase{"\u200Be2e4\u200B", "\u200Be2e4\u200B"},
                      TrimCase{"e2e4\xC2", "e2e4\xC2"},          // truncated lead byte is kept
                      TrimCase{"e2e4\xE2\x80", "e2e4\xE2\x80"},  // truncated U+2028 is kept
                      TrimCase{"\x85"
                               "e2e4",
                               "\x85"
                               "e2e4"},  // lone 85 is not NEL
                      TrimCase{"\xE2\xC2\x85", "\xE2"},  // bad lead, then a real NEL
                      TrimCase{"\xF0\xE3\x80\x80", "\xF0"}));

// ---------------------------------------------------------------- decode

struct DecodeCase {
    std::string bytes;
    std::size_t pos;
    char32_t code_point;
    std::size_t length;
};

void PrintTo(const DecodeCase& c, std::ostream* os) { *os << ::testing::PrintToString(c.bytes) << " at " << c.pos; }

class Decode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Decode, ReadsOneCodePoint) {
    const auto& c = GetParam();
    const auto d = decode(c.bytes, c.pos);
    EXPECT_EQ(unsigned(d.code_point), unsigned(c.code_point));
    EXPECT_EQ(d.length, c.length);
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, Decode,
    ::testing::Values(DecodeCase{"a", 0, 'a', 1}, DecodeCase{std::string(1, '\0'), 0, 0, 1},
                      DecodeCase{"\x7F", 0, 0x7F, 1}, DecodeCase{"\xC3\xA9", 0, 0xE9, 2},
                      DecodeCase{"\xC2\x80", 0, 0x80, 2}, DecodeCase{"\xDF\xBF", 0, 0x7FF, 2},
                      DecodeCase{"\xE0\xA0\x80", 0, 0x800, 3}, DecodeCase{"\xE2\x82\xAC", 0, 0x20AC, 3},
                      DecodeCase{"\xEF\xBF\xBF", 0, 0xFFFF, 3}, DecodeCase{"\xF0\x90\x80\x80", 0, 0x10000, 4},
                      DecodeCase{"\xF0\x9F\x98\x80", 0, 0x1F600, 4}, DecodeCase{"\xF4\x8F\xBF\xBF", 0, 0x10FFFF, 4},
                      DecodeCase{"x\xE3\x80\x80y", 1, 0x3000, 3}, DecodeCase{"x\xE3\x80\x80y", 4, 'y', 1},
                      // malformed: always U+FFFD, one byte
                      DecodeCase{"\x80", 0, 0xFFFD, 1}, DecodeCase{"\xBF", 0, 0xFFFD, 1},
                      DecodeCase{"\xFF", 0, 0xFFFD, 1}, DecodeCase{"\xFE", 0, 0xFFFD, 1},
                      DecodeCase{"\xF8\x88\x80\x80\x80", 0, 0xFFFD, 1},  // five-byte form
                      DecodeCase{"\xC3", 0, 0xFFFD, 1},                  // truncated at the end
                      DecodeCase{"\xE2\x82", 0, 0xFFFD, 1}, DecodeCase{"\xF0\x9F\x98", 0, 0xFFFD, 1},
                      DecodeCase{"\xC3(", 0, 0xFFFD, 1},  // bad continuation
                      DecodeCase{"\xE2(\xA1", 0, 0xFFFD, 1}, DecodeCase{"\xE2\x82(", 0, 0xFFFD, 1},
                      DecodeCase{"\xF0\x9F\x98(", 0, 0xFFFD, 1},
                      DecodeCase{"\xC0\x80", 0, 0xFFFD, 1},  // overlong NUL
                      DecodeCase{"\xC1\xBF", 0, 0xFFFD, 1}, DecodeCase{"\xE0\x9F\xBF", 0, 0xFFFD, 1},
                      DecodeCase{"\xF0\x8F\xBF\xBF", 0, 0xFFFD, 1},
                      DecodeCase{"\xED\xA0\x80", 0, 0xFFFD, 1},  // surrogates
                      DecodeCase{"\xED\xBF\xBF", 0, 0xFFFD, 1},
                      DecodeCase{"\xF4\x90\x80\x80", 0, 0xFFFD, 1},  // above U+10FFFF
                      DecodeCase{"\xF7\xBF\xBF\xBF", 0, 0xFFFD, 1}));

TEST(Decode, StopsAtTheEndOfTheView) {
    // Valid continuation bytes lie beyond the view; they must not be read.
    const std::string buffer = "\xE2\x82\xAC\xF0\x9F\x98\x80";
    for (std::size_t cut = 1; cut < 3; ++cut) {
        const auto d = decode(std::string_view(buffer.data(), cut), 0);
        EXPECT_EQ(unsigned(d.code_point), 0xFFFDu);
        EXPECT_EQ(d.length, 1u);
    }
    for (std::size_t cut = 4; cut < 7; ++cut) {
        const auto d = decode(std::string_view(buffer.data(), cut), 3);
        EXPECT_EQ(unsigned(d.code_point), 0xFFFDu) << cut;
        EXPECT_EQ(d.length, 1u);
    }
}

TEST(Decode, EveryScalarValueRoundTrips) {
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
        if (!is_scalar(c)) continue;
        const std::string bytes = utf8(c);
        const auto d = decode(bytes, 0);
        ASSERT_EQ(unsigned(d.code_point), unsigned(c));
        ASSERT_EQ(d.length, bytes.size());
    }
}

// Whatever the bytes, decode consumes 1 to 4 bytes inside the view, and a
// result longer than one byte is exactly the encoding of a scalar value.
void check_any_bytes(std::string_view bytes) {
    for (std::size_t pos = 0; pos < bytes.size();) {
        const auto d = decode(bytes, pos);
        ASSERT_GE(d.length, 1u);
        ASSERT_LE(pos + d.length, bytes.size());
        if (d.length == 1) {
            const auto byte = static_cast<unsigned char>(bytes[pos]);
            ASSERT_EQ(unsigned(d.code_point), byte < 0x80 ? byte : 0xFFFDu);
        } else {
            ASSERT_TRUE(is_scalar(d.code_point));
            ASSERT_EQ(utf8(d.code_point), bytes.substr(pos, d.length));
        }
        pos += d.length;
    }
}

TEST(Decode, AnyTwoBytesStayInRange) {
    for (unsigned a = 0; a < 256; ++a)
        for (unsigned b = 0; b < 256; ++b) {
            const char bytes[2] = {static_cast<char>(a), static_cast<char>(b)};
            check_any_bytes(std::string_view(bytes, 2));
            check_any_bytes(std::string_view(bytes, 1));
        }
}

TEST(Decode, RandomBytesStayInRange) {
    std::mt19937 random(20240611);
    // Lead bytes weighted towards the multi-byte forms.
    std::uniform_int_distribution<int> byte(0, 255), kind(0, 3);
    for (int round = 0; round < 20000; ++round) {
        std::string bytes;
        const int length = 1 + round % 9;
        for (int i = 0; i < length; ++i) {
            switch (kind(random)) {
                case 0: bytes += static_cast<char>(0x80 | (byte(random) & 0x3F)); break;
                case 1: bytes += static_cast<char>(0xC0 | (byte(random) & 0x3F)); break;
                default: bytes += static_cast<char>(byte(random)); break;
            }
        }
        check_any_bytes(bytes);
        const std::string_view t = trim(bytes);
        ASSERT_LE(t.size(), bytes.size());
        ASSERT_GE(t.data(), bytes.data());
        ASSERT_LE(t.data() + t.size(), bytes.data() + bytes.size());
    }
}

}  // namespace
