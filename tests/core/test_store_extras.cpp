// The store's extra columns: every value back bit for bit whatever the
// column holds, the sizes the common columns come to, and the checks of
// encoded bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "common/mod.hpp"
#include "store/extras.hpp"

namespace {

using namespace velmor::store::extras;

template <typename T>
const std::uint8_t* bytes_of(const std::vector<T>& values) {
    return reinterpret_cast<const std::uint8_t*>(values.data());
}

// Lichess-style games: a clock column of the side to move (whole seconds,
// tenths under ten seconds), the other side's, evaluations in hundredths in
// some games with NaN for mates, mate counts.
struct Games {
    std::vector<float> clock, opponent, eval;
    std::vector<std::int16_t> mate;
};

Games lichess(unsigned seed, std::size_t games, double eval_share) {
    std::mt19937_64 rng(seed);
    Games g;
    for (std::size_t game = 0; game < games; ++game) {
        const std::size_t plies = 20 + rng() % 100;
        const float base = static_cast<float>(60 * (1 + rng() % 5));
        const bool evals = std::uniform_real_distribution<double>(0, 1)(rng) < eval_share;
        float left[2] = {base, base};
        float cp = 0.2f;
        for (std::size_t ply = 0; ply < plies; ++ply) {
            const unsigned side = ply % 2;
            g.clock.push_back(left[side]);
            g.opponent.push_back(left[1 - side]);
            // The move of this row spends some of the mover's time.
            float spent = static_cast<float>(rng() % 12);
            float after = std::max(0.0f, left[side] - spent);
            if (after < 10) after = std::round(after * 10) / 10;  // tenths, as "0:00:05.3" gives
            left[side] = after;
            const bool mate = evals && rng() % 40 == 0;
            std::int16_t n = mate ? static_cast<std::int16_t>(rng() % 2 ? 1 + rng() % 9 : -1 - static_cast<int>(rng() % 9)) : 0;
            g.mate.push_back(n);
            if (!evals || mate) {
                g.eval.push_back(std::nanf(""));
            } else {
                cp += static_cast<float>(static_cast<int>(rng() % 61) - 30);
                // float32 of the decimal text, as the reader parses it
                g.eval.push_back(std::stof(std::to_string(static_cast<int>(cp) / 100) + "." +
                                           (std::abs(static_cast<int>(cp)) % 100 < 10 ? "0" : "") +
                                           std::to_string(std::abs(static_cast<int>(cp)) % 100)));
            }
        }
    }
    return g;
}

// Decodes every column and compares every row's bytes; rows in a random
// order, then in order (read a block's stretch at a time).
void expect_round_trip(const std::vector<Input>& inputs, std::size_t rows,
                       const std::vector<std::vector<std::uint8_t>>& encoded, unsigned seed = 0) {
    std::vector<Column> columns;
    for (std::size_t c = 0; c < inputs.size(); ++c)
        columns.push_back(encoded[c].empty() ? Column::plain(inputs[c].values, rows, kind_bytes(inputs[c].kind))
                                             : Column::encoded(encoded[c].data(), encoded[c].size(), "x"));
    const Table table({columns}, {rows});
    for (const bool shuffled : {true, false}) {
        std::vector<std::uint64_t> indices(rows);
        for (std::size_t r = 0; r < rows; ++r) indices[r] = r;
        if (shuffled) std::shuffle(indices.begin(), indices.end(), std::mt19937_64(seed));
        std::vector<std::vector<std::uint8_t>> out(inputs.size());
        std::vector<std::uint8_t*> pointers;
        for (std::size_t c = 0; c < inputs.size(); ++c) {
            out[c].resize(rows * kind_bytes(inputs[c].kind));
            pointers.push_back(out[c].data());
        }
        table.gather(indices.data(), rows, pointers.data());
        for (std::size_t c = 0; c < inputs.size(); ++c) {
            const std::size_t b = kind_bytes(inputs[c].kind);
            for (std::size_t i = 0; i < rows; ++i)
                ASSERT_EQ(std::memcmp(out[c].data() + i * b, inputs[c].values + indices[i] * b, b), 0)
                    << "column " << c << " row " << indices[i] << (shuffled ? "" : ", rows in order");
        }
    }
}

TEST(StoreExtras, LichessColumnsComeBackAndCostLittle) {
    for (const double share : {0.0, 0.06, 1.0}) {
        const Games g = lichess(7, 400, share);
        const std::size_t rows = g.clock.size();
        const std::vector<Input> inputs = {{Kind::f32, bytes_of(g.clock)}, {Kind::f32, bytes_of(g.opponent)},
                                           {Kind::f32, bytes_of(g.eval)}, {Kind::i16, bytes_of(g.mate)}};
        const auto encoded = encode(inputs, rows);
        expect_round_trip(inputs, rows, encoded);
        ASSERT_FALSE(encoded[1].empty());
        EXPECT_EQ(encoded[1][2], 0) << "the other side's clock follows the clock";
        std::size_t total = 0;
        for (const auto& column : encoded) total += column.size();
        const double per_row = static_cast<double>(total) / static_cast<double>(rows);
        // Clocks take about a byte and a quarter (chains of 16 rows start
        // with an exception each); evaluations about one more and a half in
        // the games that have them.
        EXPECT_LT(per_row, 1.9 + 1.5 * share) << "share " << share;
    }
}

TEST(StoreExtras, AbsentColumnsCostTheirHeaderAlone) {
    const std::size_t rows = 10000;
    const std::vector<float> nan(rows, std::nanf(""));
    const std::vector<std::int16_t> zero(rows, 0);
    const auto encoded = encode({{Kind::f32, bytes_of(nan)}, {Kind::f32, bytes_of(nan)}, {Kind::i16, bytes_of(zero)}}, rows);
    for (const auto& column : encoded) EXPECT_EQ(column.size(), HEADER_BYTES);
    expect_round_trip({{Kind::f32, bytes_of(nan)}, {Kind::f32, bytes_of(nan)}, {Kind::i16, bytes_of(zero)}}, rows,
                      encoded);
}

// Values no code gives back: NaN payloads and signs, infinities, -0.0,
// subnormals, values between hundredths, huge ones; mixed with coded values
// in the same blocks, and integers of every width at their limits.
TEST(StoreExtras, AnyValueComesBackBitForBit) {
    std::mt19937_64 rng(3);
    const std::uint32_t odd[] = {0x7FC00001, 0xFFC00000, 0x7F800001, 0x7F800000, 0xFF800000, 0x80000000,
                                 0x00000001, 0x7F7FFFFF, 0x3DCCCCCD /* 0.1f */, 0x3E2E147B /* 0.17f */};
    for (const unsigned mix : {0u, 1u, 8u, 64u}) {
        const std::size_t rows = 64 * 40 + 17;
        std::vector<std::uint32_t> f(rows);
        std::vector<std::int8_t> i8(rows);
        std::vector<std::uint8_t> u8(rows);
        std::vector<std::int16_t> i16(rows);
        std::vector<std::uint16_t> u16(rows);
        std::vector<std::int32_t> i32(rows);
        for (std::size_t r = 0; r < rows; ++r) {
            const bool wild = mix && rng() % 64 < mix;
            f[r] = wild ? (rng() % 2 ? odd[rng() % std::size(odd)] : static_cast<std::uint32_t>(rng()))
                        : std::bit_cast<std::uint32_t>(static_cast<float>(static_cast<double>(static_cast<int>(r % 300) - 150) / 10));
            const std::uint64_t bits = rng();
            i8[r] = static_cast<std::int8_t>(wild ? bits : r % 3);
            u8[r] = static_cast<std::uint8_t>(wild ? bits : 255 - r % 2);
            i16[r] = static_cast<std::int16_t>(wild ? (rng() % 2 ? -32768 : 32767) : static_cast<int>(r % 5) - 2);
            u16[r] = static_cast<std::uint16_t>(wild ? bits : 65535);
            i32[r] = wild ? (rng() % 2 ? INT32_MIN : INT32_MAX) : static_cast<std::int32_t>(r * 1000);
        }
        const std::vector<Input> inputs = {{Kind::f32, bytes_of(f)},   {Kind::i8, bytes_of(i8)},
                                           {Kind::u8, bytes_of(u8)},   {Kind::i16, bytes_of(i16)},
                                           {Kind::u16, bytes_of(u16)}, {Kind::i32, bytes_of(i32)}};
        expect_round_trip(inputs, rows, encode(inputs, rows), mix);
    }
}

// A column that follows another one row on, in either direction, with
// exceptions at every place: the first and last rows, block edges, runs of
// mismatches longer than a block.
TEST(StoreExtras, AColumnFollowingAnotherComesBack) {
    std::mt19937_64 rng(11);
    const std::size_t rows = 64 * 9 + 5;
    std::vector<float> a(rows);
    for (float& v : a) v = static_cast<float>(rng() % 1000);
    for (const bool next : {false, true})
        for (const unsigned noise : {0u, 2u, 12u}) {
            std::vector<float> b(rows);
            for (std::size_t r = 0; r < rows; ++r) {
                const bool inside = next ? r + 1 < rows : r > 0;
                b[r] = inside && rng() % 64 >= noise ? a[next ? r + 1 : r - 1] : static_cast<float>(rng() % 7);
            }
            for (std::size_t r = 200; r < 300; ++r) b[r] = -1.5f;
            const std::vector<Input> inputs = {{Kind::f32, bytes_of(a)}, {Kind::f32, bytes_of(b)}};
            const auto encoded = encode(inputs, rows);
            ASSERT_FALSE(encoded[1].empty());
            EXPECT_EQ(encoded[1][2], 0);
            expect_round_trip(inputs, rows, encoded, noise);
            // The same with the column followed kept as it is.
            std::vector<Column> columns = {Column::plain(bytes_of(a), rows, 4),
                                           Column::encoded(encoded[1].data(), encoded[1].size(), "b")};
            const Table table({columns}, {rows});
            for (std::uint64_t r = 0; r < rows; ++r) {
                float got;
                std::uint8_t* out[2] = {nullptr, reinterpret_cast<std::uint8_t*>(&got)};
                table.gather(&r, 1, out);
                ASSERT_EQ(std::bit_cast<std::uint32_t>(got), std::bit_cast<std::uint32_t>(b[r])) << r;
            }
        }
}

TEST(StoreExtras, PartsFollowOnAndRowsOutOfRangeAreRefused) {
    const Games g = lichess(5, 50, 0.5);
    const std::size_t rows = g.clock.size(), cut = rows / 3;
    const std::vector<Input> first = {{Kind::f32, bytes_of(g.clock)}, {Kind::i16, bytes_of(g.mate)}};
    const std::vector<Input> second = {{Kind::f32, bytes_of(g.clock) + 4 * cut}, {Kind::i16, bytes_of(g.mate) + 2 * cut}};
    const auto a = encode(first, cut), b = encode(second, rows - cut);
    const auto column = [](const std::vector<std::uint8_t>& bytes, const Input& input, std::size_t n) {
        return bytes.empty() ? Column::plain(input.values, n, kind_bytes(input.kind))
                             : Column::encoded(bytes.data(), bytes.size(), "c");
    };
    const Table table({{column(a[0], first[0], cut), column(a[1], first[1], cut)},
                       {Column::plain(nullptr, 0, 4), Column::plain(nullptr, 0, 2)},
                       {column(b[0], second[0], rows - cut), column(b[1], second[1], rows - cut)}},
                      {cut, 0, rows - cut});
    EXPECT_EQ(table.rows(), rows);
    std::vector<std::uint64_t> indices(rows);
    for (std::size_t r = 0; r < rows; ++r) indices[r] = rows - 1 - r;
    std::vector<float> clock(rows);
    std::uint8_t* out[2] = {reinterpret_cast<std::uint8_t*>(clock.data()), nullptr};
    table.gather(indices.data(), rows, out);
    for (std::size_t i = 0; i < rows; ++i)
        ASSERT_EQ(std::bit_cast<std::uint32_t>(clock[i]), std::bit_cast<std::uint32_t>(g.clock[rows - 1 - i]));
    const std::uint64_t past = rows;
    EXPECT_THROW(table.gather(&past, 1, out), velmor::InvalidInput);
    // Parts that disagree on their columns.
    EXPECT_THROW(Table({{column(a[0], first[0], cut)}, {}}, {cut, 0}), velmor::InvalidInput);
    EXPECT_THROW(Table({{column(a[0], first[0], cut)}, {column(a[1], first[1], cut)}}, {cut, cut}), velmor::InvalidInput);
    EXPECT_THROW(Table({{column(a[0], first[0], cut)}}, {cut + 1}), velmor::InvalidInput);
}

// A CODED block's chains: of 32 rows without the head's bit 7 (as the first
// columns were written), of 16 with it. Each reads back its rows; a block
// claiming chains of 16 whose rows 16 and 48 start no chain is refused, so
// that no row's walk runs on from the chain before.
TEST(StoreExtras, CodedBlocksOfEitherChainLengthComeBack) {
    struct Case {
        bool chains_16;
        std::vector<unsigned> escaped;
        bool valid;
    };
    for (const Case& test : {Case{false, {32}, true}, Case{false, {16, 32, 48}, true}, Case{true, {16, 32, 48}, true},
                             Case{true, {32}, false}, Case{true, {16, 32}, false}}) {
        // i16 values 1 to 64: a delta of +1 a row (zigzag 2), lag 1, a byte a code.
        const std::size_t rows = BLOCK_ROWS;
        std::vector<std::uint8_t> bytes = {1, static_cast<std::uint8_t>(Kind::i16), NO_REFERENCE, BLOCKS, 0, 0, 0, 0};
        for (unsigned i = 0; i < 8; ++i) bytes.push_back(static_cast<std::uint8_t>(rows >> (8 * i)));
        bytes.resize(HEADER_BYTES + 8 + 2, 0);  // the constant, one superblock's offset, one block's
        bytes.push_back(static_cast<std::uint8_t>(2 | (test.chains_16 ? 0x80 : 0)));
        for (unsigned t = 0; t < rows; ++t)
            bytes.push_back(std::find(test.escaped.begin(), test.escaped.end(), t) != test.escaped.end() ? 0xFF : 2);
        bytes.push_back(static_cast<std::uint8_t>(test.escaped.size()));
        for (const unsigned t : test.escaped) bytes.insert(bytes.end(), {static_cast<std::uint8_t>(t), static_cast<std::uint8_t>(t + 1), 0, 0, 0});
        std::vector<std::int16_t> values(rows);
        for (unsigned t = 0; t < rows; ++t) values[t] = static_cast<std::int16_t>(t + 1);
        if (!test.valid) {
            EXPECT_THROW((void)Column::encoded(bytes.data(), bytes.size(), "x"), velmor::InvalidInput)
                << test.escaped.size() << " escapes";
            continue;
        }
        expect_round_trip({{Kind::i16, bytes_of(values)}}, rows, {bytes});
    }
}

// Damaged bytes are refused when the column is made, never read past: every
// single-byte change and every truncation of a small column either is
// refused or still reads every row inside its bytes.
TEST(StoreExtras, DamagedColumnsAreRefusedOrReadInside) {
    const Games g = lichess(9, 6, 1.0);
    const std::size_t rows = g.clock.size();
    const std::vector<Input> inputs = {{Kind::f32, bytes_of(g.clock)}, {Kind::f32, bytes_of(g.opponent)},
                                       {Kind::f32, bytes_of(g.eval)}, {Kind::i16, bytes_of(g.mate)}};
    const auto encoded = encode(inputs, rows);
    for (std::size_t c = 0; c < encoded.size(); ++c) {
        ASSERT_FALSE(encoded[c].empty());
        std::mt19937_64 rng(c);
        for (std::size_t trial = 0; trial < 3000; ++trial) {
            std::vector<std::uint8_t> bytes = encoded[c];
            if (trial < bytes.size()) {
                bytes.resize(trial);  // every truncation
            } else {
                bytes[rng() % bytes.size()] ^= static_cast<std::uint8_t>(1 + rng() % 255);
            }
            // Exactly sized, so that a read past it is caught by the sanitizers.
            std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[bytes.size() + (bytes.empty() ? 1 : 0)]);
            std::memcpy(exact.get(), bytes.data(), bytes.size());
            try {
                std::vector<Column> columns = {Column::plain(bytes_of(g.clock), rows, 4),
                                               Column::plain(bytes_of(g.opponent), rows, 4),
                                               Column::plain(bytes_of(g.eval), rows, 4),
                                               Column::plain(bytes_of(g.mate), rows, 2)};
                columns[c] = Column::encoded(exact.get(), bytes.size(), "x");
                if (columns[c].rows() != rows) continue;
                const Table table({columns}, {rows});
                std::vector<std::uint8_t> out(8 * rows);
                std::vector<std::uint8_t*> pointers(4, nullptr);
                pointers[c] = out.data();
                for (std::uint64_t r = 0; r < rows; ++r) table.gather(&r, 1, pointers.data());
            } catch (const velmor::InvalidInput&) {
            }
        }
    }
}

}  // namespace
