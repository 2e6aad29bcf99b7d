// The position store: the replay against push_move, packing and gathering
// back every field byte for byte, the checks of a store's arrays, and the
// epoch order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "board/mod.hpp"
#include "encode/mod.hpp"
#include "encodings/mod.hpp"
#include "move_generator/mod.hpp"
#include "policy/mod.hpp"
#include "store/mod.hpp"

namespace {

using namespace velmor;
using store::PLANE_BYTES;

// Start positions with castling rights, en passant, promotions near, and
// counters that are not the defaults.
const char* const STARTS[] = {
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "rnbqkbnr/ppp1p1pp/8/3pPp2/8/8/PPPP1PPP/RNBQKBNR w KQkq f6 0 3",
    "n1n5/PPPk4/8/8/8/8/4Kppp/5N1N b - - 7 40",
    "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
};

// Rows as the encoder writes them, one vector per column.
struct Rows {
    std::vector<std::uint8_t> planes, turn, castling, promotion;
    std::vector<std::int8_t> en_passant, from, to, result;
    std::vector<std::int32_t> halfmove, fullmove, ply;
    std::vector<std::int64_t> game;

    [[nodiscard]] std::size_t size() const { return turn.size(); }

    void add(const Board& board, std::uint32_t halfmove_clock, std::uint32_t fullmove_number, std::int64_t game_index,
             std::int32_t row_ply, int from_square, int to_square, unsigned promotion_code, std::int8_t game_result) {
        const std::size_t at = planes.size();
        planes.resize(at + PLANE_BYTES);
        encode::write_planes(board.planes, planes.data() + at);
        turn.push_back(board.white_to_move() ? 0 : 1);
        for (unsigned r = 0; r < 4; ++r) castling.push_back((encode::castling_bits(board.state) >> r) & 1);
        en_passant.push_back(encode::en_passant_file(board.state));
        halfmove.push_back(static_cast<std::int32_t>(halfmove_clock));
        fullmove.push_back(static_cast<std::int32_t>(fullmove_number));
        from.push_back(static_cast<std::int8_t>(from_square));
        to.push_back(static_cast<std::int8_t>(to_square));
        promotion.push_back(static_cast<std::uint8_t>(promotion_code));
        result.push_back(game_result);
        game.push_back(game_index);
        ply.push_back(row_ply);
    }

    [[nodiscard]] store::Columns columns() const {
        store::Columns c;
        c.planes = planes.data();
        c.turn = turn.data();
        c.castling = castling.data();
        c.en_passant = en_passant.data();
        c.halfmove_clock = halfmove.data();
        c.fullmove_number = fullmove.data();
        c.move_from = from.data();
        c.move_to = to.data();
        c.move_promotion = promotion.data();
        c.result = result.data();
        c.game = game.data();
        c.ply = ply.data();
        return c;
    }

    void append(const Rows& other) {
        const auto cat = [](auto& a, const auto& b) { a.insert(a.end(), b.begin(), b.end()); };
        cat(planes, other.planes), cat(turn, other.turn), cat(castling, other.castling);
        cat(promotion, other.promotion), cat(en_passant, other.en_passant), cat(from, other.from);
        cat(to, other.to), cat(result, other.result), cat(halfmove, other.halfmove);
        cat(fullmove, other.fullmove), cat(ply, other.ply), cat(game, other.game);
    }
};

const MoveGenerator& generator() {
    static const MoveGenerator instance;
    return instance;
}

// Passes the turn on a board, as a null move does (a board made anew, so
// that its hashes agree with it).
void pass(Board& board) {
    FenFields fields;
    fields.planes = board.planes;
    fields.state = (board.state & ~EN_PASSANT_BITS) ^ WHITE_TO_MOVE;
    board = Board(fields);
}

// Random games played with push_move, counted as the PGN reader counts:
// captures and promotions preferred now and then, a null move now and then,
// with or without the final position.
Rows play_games(std::uint64_t seed, std::size_t games, bool include_final, double null_moves = 0.0) {
    std::mt19937_64 rng(seed);
    Rows rows;
    for (std::size_t g = 0; g < games; ++g) {
        FenFields fields = read_fen(STARTS[rng() % std::size(STARTS)]);
        Board board(fields);
        std::uint32_t halfmove = static_cast<std::uint32_t>(rng() % 3 == 0 ? rng() % 90 : 0);
        std::uint32_t fullmove = static_cast<std::uint32_t>(1 + rng() % 60);
        const std::int8_t result = static_cast<std::int8_t>(static_cast<int>(rng() % 4) - 2);
        const std::size_t plies = rng() % 120;
        std::int32_t ply = 0;
        MoveList moves;
        for (; static_cast<std::size_t>(ply) < plies; ++ply) {
            moves.clear();
            generator().legal_moves(board, moves);
            if (moves.size() == 0) break;
            const bool white = board.white_to_move();
            const Bitboard king = board.planes[first_plane_of(white) + KING];
            const bool in_check = king && generator().square_in_check(board, lsb(king), white ? 1 : 0);
            if (!in_check && std::uniform_real_distribution<double>(0, 1)(rng) < null_moves) {
                rows.add(board, halfmove, fullmove, static_cast<std::int64_t>(g) + 1000, ply, -2, -2, 0, result);
                ++halfmove;
                if (!board.white_to_move()) ++fullmove;
                pass(board);
                continue;
            }
            ChessMove move = moves[rng() % moves.size()];
            if (rng() % 3 == 0)
                for (const ChessMove m : moves)
                    if (m.special() != ChessMove::ORDINARY || plane_at(board.planes, m.to()) != NO_PLANE) move = m;
            rows.add(board, halfmove, fullmove, static_cast<std::int64_t>(g) + 1000, ply, static_cast<int>(move.from()),
                     static_cast<int>(move.to()), encode::promotion_code(move), result);
            halfmove = encode::resets_clock(board, move) ? 0 : halfmove + 1;
            if (!board.white_to_move()) ++fullmove;
            push_move(board, move);
        }
        if (include_final) rows.add(board, halfmove, fullmove, static_cast<std::int64_t>(g) + 1000, ply, -1, -1, 0, result);
    }
    return rows;
}

// Every field of the rows at `indices`, gathered from the store.
Rows gather(const store::Store& s, const std::vector<std::uint64_t>& indices) {
    Rows out;
    const std::size_t n = indices.size();
    out.planes.resize(n * PLANE_BYTES), out.turn.resize(n), out.castling.resize(4 * n), out.promotion.resize(n);
    out.en_passant.resize(n), out.from.resize(n), out.to.resize(n), out.result.resize(n);
    out.halfmove.resize(n), out.fullmove.resize(n), out.ply.resize(n), out.game.resize(n);
    store::Outputs o;
    o.planes = out.planes.data();
    o.turn = out.turn.data();
    o.castling = out.castling.data();
    o.en_passant = out.en_passant.data();
    o.halfmove_clock = out.halfmove.data();
    o.fullmove_number = out.fullmove.data();
    o.move_from = out.from.data();
    o.move_to = out.to.data();
    o.move_promotion = out.promotion.data();
    o.result = out.result.data();
    o.game = out.game.data();
    o.ply = out.ply.data();
    s.gather(indices.data(), n, o);
    return out;
}

// Rows `indices` of `rows`.
Rows select(const Rows& rows, const std::vector<std::uint64_t>& indices) {
    Rows out;
    for (const std::uint64_t i : indices) {
        out.planes.insert(out.planes.end(), rows.planes.begin() + static_cast<std::ptrdiff_t>(i * PLANE_BYTES),
                          rows.planes.begin() + static_cast<std::ptrdiff_t>((i + 1) * PLANE_BYTES));
        out.turn.push_back(rows.turn[i]);
        for (unsigned r = 0; r < 4; ++r) out.castling.push_back(rows.castling[4 * i + r]);
        out.promotion.push_back(rows.promotion[i]);
        out.en_passant.push_back(rows.en_passant[i]);
        out.from.push_back(rows.from[i]);
        out.to.push_back(rows.to[i]);
        out.result.push_back(rows.result[i]);
        out.halfmove.push_back(rows.halfmove[i]);
        out.fullmove.push_back(rows.fullmove[i]);
        out.ply.push_back(rows.ply[i]);
        out.game.push_back(rows.game[i]);
    }
    return out;
}

void expect_same(const Rows& a, const Rows& b) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        SCOPED_TRACE("row " + std::to_string(i));
        ASSERT_EQ(std::memcmp(a.planes.data() + i * PLANE_BYTES, b.planes.data() + i * PLANE_BYTES, PLANE_BYTES), 0);
        ASSERT_EQ(a.turn[i], b.turn[i]);
        for (unsigned r = 0; r < 4; ++r) ASSERT_EQ(a.castling[4 * i + r], b.castling[4 * i + r]);
        ASSERT_EQ(a.en_passant[i], b.en_passant[i]);
        ASSERT_EQ(a.halfmove[i], b.halfmove[i]);
        ASSERT_EQ(a.fullmove[i], b.fullmove[i]);
        ASSERT_EQ(a.from[i], b.from[i]);
        ASSERT_EQ(a.to[i], b.to[i]);
        ASSERT_EQ(a.promotion[i], b.promotion[i]);
        ASSERT_EQ(a.result[i], b.result[i]);
        ASSERT_EQ(a.game[i], b.game[i]);
        ASSERT_EQ(a.ply[i], b.ply[i]);
    }
}

struct Packed {
    store::Packed arrays;
    store::Store store;
    explicit Packed(const Rows& rows)
        : arrays(store::pack(rows.columns(), rows.size())),
          store(arrays.moves.data(), arrays.moves.size(), arrays.keyframes.data(),
                arrays.keyframes.size() / store::KEYFRAME_BYTES, arrays.runs.data(),
                arrays.runs.size() / store::RUN_BYTES) {}
    [[nodiscard]] std::size_t runs() const { return arrays.runs.size() / store::RUN_BYTES; }
};

std::vector<std::uint64_t> all_rows(std::size_t n) {
    std::vector<std::uint64_t> indices(n);
    std::iota(indices.begin(), indices.end(), 0);
    return indices;
}

// ---------------------------------------------------------------- replay

// play() makes every legal move of random games as push_move does, and the
// row it leads to is the one the encoder writes after it.
TEST(Store, ReplayFollowsPushMove) {
    const Rows rows = play_games(7, 300, true);
    const Packed packed(rows);
    std::size_t games = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) games += i == 0 || rows.game[i] != rows.game[i - 1];
    // One run per game: every row followed from its predecessor.
    EXPECT_EQ(packed.runs(), games);
}

struct RoundTrip {
    std::uint64_t seed;
    bool include_final;
    double null_moves;
};

class StoreRoundTrip : public ::testing::TestWithParam<RoundTrip> {};

TEST_P(StoreRoundTrip, EveryRowComesBackByteForByte) {
    const RoundTrip p = GetParam();
    const Rows rows = play_games(p.seed, 200, p.include_final, p.null_moves);
    const Packed packed(rows);
    expect_same(gather(packed.store, all_rows(rows.size())), rows);

    // In any order, repeated, backwards: each row as it is.
    std::mt19937_64 rng(p.seed);
    std::vector<std::uint64_t> indices(3000);
    for (auto& i : indices) i = rng() % rows.size();
    expect_same(gather(packed.store, indices), select(rows, indices));
    std::vector<std::uint64_t> backwards = all_rows(rows.size());
    std::reverse(backwards.begin(), backwards.end());
    expect_same(gather(packed.store, backwards), select(rows, backwards));
}

INSTANTIATE_TEST_SUITE_P(Games, StoreRoundTrip,
                         ::testing::Values(RoundTrip{1, false, 0.0}, RoundTrip{2, true, 0.0},
                                           RoundTrip{3, true, 0.05}, RoundTrip{4, false, 0.2}));

// A null move carries its own code, and the row after it follows from it: no
// new run, no keyframe besides the regular ones.
TEST(Store, NullMovesReplayWithoutNewRuns) {
    const Rows rows = play_games(11, 100, true, 0.1);
    const Packed packed(rows);
    std::size_t games = 0, nulls = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        games += i == 0 || rows.game[i] != rows.game[i - 1];
        nulls += rows.from[i] == -2;
    }
    ASSERT_GT(nulls, 100u);
    EXPECT_EQ(packed.runs(), games);
}

// Keyframes depend on the game alone: whole games packed apart give the bytes
// of the games packed together.
TEST(Store, SameGamesSameBytesHoweverCut) {
    const Rows first = play_games(21, 40, true), second = play_games(22, 40, false);
    Rows both = first;
    // Game indices apart, so that no game runs across the cut.
    Rows shifted = second;
    for (auto& g : shifted.game) g += 100000;
    both.append(shifted);
    const store::Packed a = store::pack(first.columns(), first.size());
    const store::Packed b = store::pack(shifted.columns(), shifted.size());
    const store::Packed ab = store::pack(both.columns(), both.size());
    std::vector<std::uint8_t> keyframes = a.keyframes, runs = a.runs;
    keyframes.insert(keyframes.end(), b.keyframes.begin(), b.keyframes.end());
    runs.insert(runs.end(), b.runs.begin(), b.runs.end());
    EXPECT_EQ(ab.keyframes, keyframes);
    EXPECT_EQ(ab.runs, runs);
}

// Rows no move leads to still round-trip: each starts a run of its own.
TEST(Store, RowsThatDoNotFollowStartRuns) {
    Rows rows = play_games(31, 30, true);
    const std::size_t n = rows.size();
    std::mt19937_64 rng(31);
    for (int k = 0; k < 40; ++k) {
        const std::size_t i = rng() % n;
        switch (k % 5) {
            case 0: rows.halfmove[i] += 3; break;
            case 1: rows.fullmove[i] = -5; break;
            case 2: rows.castling[4 * i + 2] ^= 1; break;
            case 3: rows.result[i] = 1 - rows.result[i]; break;
            case 4: rows.ply[i] = std::numeric_limits<std::int32_t>::max(); break;
        }
    }
    // A piece moved off the board, a counter at int32's end, a lone final row.
    for (std::size_t j = 5 * PLANE_BYTES;; ++j)
        if (rows.planes[j]) {
            rows.planes[j] = 0;
            break;
        }
    rows.halfmove[7] = std::numeric_limits<std::int32_t>::max();
    rows.en_passant[9] = 5;
    const Packed packed(rows);
    expect_same(gather(packed.store, all_rows(n)), rows);
}

using Damage = void (*)(Rows&);

class PackRefuses : public ::testing::TestWithParam<std::pair<const char*, Damage>> {};

TEST_P(PackRefuses, RowsNoKeyframeHolds) {
    Rows rows = play_games(41, 3, true);
    GetParam().second(rows);
    try {
        (void)store::pack(rows.columns(), rows.size());
        FAIL() << "no error";
    } catch (const InvalidInput& error) {
        EXPECT_EQ(std::string(error.message()), GetParam().first);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PackRefuses,
    ::testing::Values(
        std::pair<const char*, Damage>{"row 0: a plane byte is neither 0 nor 1", [](Rows& r) { r.planes[70] = 2; }},
        std::pair<const char*, Damage>{"row 0: a square is on two planes", [](Rows& r) { r.planes[64 * 5 + 8] = 1; }},
        std::pair<const char*, Damage>{"row 0: turn is neither 0 nor 1", [](Rows& r) { r.turn[0] = 2; }},
        std::pair<const char*, Damage>{"row 0: a castling byte is neither 0 nor 1", [](Rows& r) { r.castling[1] = 7; }},
        std::pair<const char*, Damage>{"row 1: the move (64, 3, 0) cannot be stored", [](Rows& r) { r.from[1] = 64, r.to[1] = 3; }},
        std::pair<const char*, Damage>{"row 2: the move (-3, 3, 0) cannot be stored", [](Rows& r) { r.from[2] = -3, r.to[2] = 3; }},
        std::pair<const char*, Damage>{"row 1: the move (-1, -1, 32) cannot be stored",
                                       [](Rows& r) { r.from[1] = r.to[1] = -1, r.promotion[1] = 32; }},
        std::pair<const char*, Damage>{"row 0: the move (12, 28, 8) cannot be stored",
                                       [](Rows& r) { r.from[0] = 12, r.to[0] = 28, r.promotion[0] = 8; }}));

// ---------------------------------------------------------------- a store's arrays

TEST(Store, RefusesArraysThatDoNotMakeAStore) {
    const Rows rows = play_games(51, 20, true);
    const store::Packed p = store::pack(rows.columns(), rows.size());
    const std::size_t keyframes = p.keyframes.size() / store::KEYFRAME_BYTES, runs = p.runs.size() / store::RUN_BYTES;
    const auto refused = [&](std::size_t moves, const std::vector<std::uint8_t>& k, std::size_t k_count,
                             const std::vector<std::uint8_t>& r, std::size_t r_count) -> std::string {
        try {
            const store::Store s(p.moves.data(), moves, k.data(), k_count, r.data(), r_count);
            return "";
        } catch (const InvalidInput& error) {
            return std::string(error.message());
        }
    };
    EXPECT_EQ(refused(p.moves.size(), p.keyframes, keyframes, p.runs, runs), "");
    EXPECT_EQ(refused(p.moves.size() - 1, p.keyframes, keyframes, p.runs, runs),
              "the store's runs hold more rows than its moves");
    EXPECT_EQ(refused(p.moves.size(), p.keyframes, keyframes, p.runs, runs - 1),
              "the store's runs hold fewer rows than its moves");
    EXPECT_NE(refused(p.moves.size(), p.keyframes, keyframes - 1, p.runs, runs).find("keyframes where its runs need"),
              std::string::npos);
    std::vector<std::uint8_t> bad = p.runs;
    std::memset(bad.data() + 12, 0, 4);
    EXPECT_EQ(refused(p.moves.size(), p.keyframes, keyframes, bad, runs), "run 0 of the store has no rows");
    bad = p.runs;
    const std::int32_t late = std::numeric_limits<std::int32_t>::max() - 1;
    std::memcpy(bad.data() + 8, &late, 4);
    EXPECT_EQ(refused(p.moves.size(), p.keyframes, keyframes, bad, runs),
              "run 0 of the store runs past the largest ply");
    bad = p.keyframes;
    bad[store::KEYFRAME_BYTES + 3] = 0xD0;
    EXPECT_EQ(refused(p.moves.size(), bad, keyframes, p.runs, runs), "keyframe 1 of the store holds a piece code past 12");
    bad = p.keyframes;
    bad[32] = 0x20;
    EXPECT_EQ(refused(p.moves.size(), bad, keyframes, p.runs, runs), "keyframe 0 of the store has unknown flags");
}

// Damaged moves fail the gather and the decoding with an error, never a
// crash; indices past the end are refused.
TEST(Store, DamagedMovesAndIndicesOutOfRangeFail) {
    const Rows rows = play_games(61, 30, false);
    store::Packed p = store::pack(rows.columns(), rows.size());
    std::mt19937_64 rng(61);
    for (auto& word : p.moves) word = static_cast<std::uint16_t>(rng());
    const store::Store s(p.moves.data(), p.moves.size(), p.keyframes.data(), p.keyframes.size() / store::KEYFRAME_BYTES,
                         p.runs.data(), p.runs.size() / store::RUN_BYTES);
    EXPECT_THROW((void)gather(s, all_rows(rows.size())), InvalidInput);
    EXPECT_THROW((void)s.decode_rows(), InvalidInput);
    try {
        (void)gather(s, {rows.size()});
        FAIL();
    } catch (const InvalidInput& error) {
        EXPECT_EQ(std::string(error.message()),
                  "index " + std::to_string(rows.size()) + " is out of range for " + std::to_string(rows.size()) +
                      " positions");
    }
}

// Every output of encode(), as bytes, for the rows at `indices`.
std::vector<std::vector<std::uint8_t>> encoded(const store::Store& s, const store::Decoded* decoded,
                                               const std::vector<std::uint64_t>& indices,
                                               const encodings::Options& options) {
    const std::size_t n = indices.size();
    std::vector<std::vector<std::uint8_t>> out;
    for (const std::size_t bytes : {n * encodings::row_plane_bytes(options), n, 4 * n, n, n, 4 * n,
                                    n * encodings::mask_bytes(options), n, 4 * n, 4 * n, n, n, 8 * n, 4 * n})
        out.emplace_back(bytes);
    encodings::Outputs o;
    o.planes = out[0].data(), o.turn = out[1].data(), o.castling = out[2].data();
    o.move_from = reinterpret_cast<std::int8_t*>(out[3].data()), o.move_to = reinterpret_cast<std::int8_t*>(out[4].data());
    o.policy = options.policy ? reinterpret_cast<std::int32_t*>(out[5].data()) : nullptr;
    o.legal = options.legal_mask ? out[6].data() : nullptr;
    store::Outputs rest;
    rest.en_passant = reinterpret_cast<std::int8_t*>(out[7].data());
    rest.halfmove_clock = reinterpret_cast<std::int32_t*>(out[8].data());
    rest.fullmove_number = reinterpret_cast<std::int32_t*>(out[9].data());
    rest.move_promotion = out[10].data(), rest.result = reinterpret_cast<std::int8_t*>(out[11].data());
    rest.game = reinterpret_cast<std::int64_t*>(out[12].data()), rest.ply = reinterpret_cast<std::int32_t*>(out[13].data());
    if (decoded)
        s.encode(*decoded, indices.data(), n, generator(), options, o, rest);
    else
        s.encode(indices.data(), n, generator(), options, o, rest);
    return out;
}

// The rows decoded give what the replay gives, byte for byte, with and
// without their legal moves listed: random games with null moves, rows
// shuffled and in order.
TEST(Store, DecodedRowsEncodeAsTheReplay) {
    const Rows rows = play_games(83, 60, true, 0.05);
    const Packed packed(rows);
    store::Decoded decoded = packed.store.decode_rows();
    std::vector<std::uint64_t> shuffled = all_rows(rows.size());
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937_64(83));
    std::vector<encodings::Options> cases(4);
    cases[0] = {encodings::View::mover, 8, policy::Space::alphazero, true, true, true};
    cases[1] = {encodings::View::absolute, 3, policy::Space::uci, true, false, false};
    cases[2] = {encodings::View::mover, -1, policy::Space::from_to, false, false, false};
    cases[3] = {encodings::View::absolute, 0, std::nullopt, false, false, false};
    for (const bool listed : {false, true}) {
        if (listed)
            for (const encodings::Options& options : cases)
                if (options.legal_mask)
                    store::list_legal_moves(generator(), decoded, *options.policy,
                                            options.view == encodings::View::mover);
        for (const auto& indices : {shuffled, all_rows(rows.size())})
            for (const encodings::Options& options : cases)
                EXPECT_EQ(encoded(packed.store, &decoded, indices, options),
                          encoded(packed.store, nullptr, indices, options))
                    << listed << " " << options.history;
    }
}

// Only the fields asked for are written; the move, game and ply fields need
// no replay and agree with the rows.
TEST(Store, WritesOnlyTheFieldsAskedFor) {
    const Rows rows = play_games(71, 30, true);
    const Packed packed(rows);
    const std::size_t n = rows.size();
    std::vector<std::int8_t> from(n, 99);
    std::vector<std::int64_t> game(n, -7);
    store::Outputs o;
    o.move_from = from.data();
    o.game = game.data();
    const std::vector<std::uint64_t> indices = all_rows(n);
    packed.store.gather(indices.data(), n, o);
    EXPECT_EQ(from, rows.from);
    EXPECT_EQ(game, rows.game);
}

// Parts packed apart are one store, rows following on from part to part;
// an empty part is no gap.
TEST(Store, PartsAreOneStore) {
    const Rows a = play_games(81, 30, true), b = play_games(82, 1, false), c = play_games(83, 50, true);
    Rows none;
    const store::Packed pa = store::pack(a.columns(), a.size()), pb = store::pack(b.columns(), b.size()),
                        pn = store::pack(none.columns(), 0), pc = store::pack(c.columns(), c.size());
    std::vector<store::Part> parts;
    for (const store::Packed* p : {&pa, &pb, &pn, &pc})
        parts.push_back({p->moves.data(), p->moves.size(), p->keyframes.data(),
                         p->keyframes.size() / store::KEYFRAME_BYTES, p->runs.data(), p->runs.size() / store::RUN_BYTES});
    const store::Store s(parts);
    Rows all = a;
    all.append(b);
    all.append(c);
    ASSERT_EQ(s.rows(), all.size());
    expect_same(gather(s, all_rows(all.size())), all);
    std::mt19937_64 rng(8);
    std::vector<std::uint64_t> indices(2000);
    for (auto& i : indices) i = rng() % all.size();
    expect_same(gather(s, indices), select(all, indices));

    parts[3].rows -= 1;
    try {
        const store::Store damaged(parts);
        FAIL();
    } catch (const InvalidInput& error) {
        EXPECT_EQ(std::string(error.message()), "part 3: the store's runs hold more rows than its moves");
    }
}

// ---------------------------------------------------------------- epoch order

TEST(Store, PermutationIsABijection) {
    for (const std::uint64_t n : {1ull, 2ull, 3ull, 4ull, 5ull, 17ull, 255ull, 256ull, 1000ull, 65537ull}) {
        const store::Permutation p(n, 5, 2);
        std::vector<bool> seen(n);
        for (std::uint64_t i = 0; i < n; ++i) {
            const std::uint64_t x = p(i);
            ASSERT_LT(x, n);
            ASSERT_FALSE(seen[x]) << n;
            seen[x] = true;
        }
        // fill() walks them all at once, from any start, across its chunks.
        for (const std::uint64_t first : {std::uint64_t{0}, std::uint64_t{n / 3}}) {
            std::vector<std::uint64_t> filled(n - first);
            p.fill(first, filled.size(), filled.data());
            for (std::uint64_t i = first; i < n; ++i) ASSERT_EQ(filled[i - first], p(i)) << n << " " << i;
        }
    }
}

TEST(Store, EpochsDifferAndRanksSplitThem) {
    constexpr std::uint64_t n = 10007;
    std::vector<std::uint64_t> a(n), b(n), c(n);
    store::epoch_indices(n, true, 0, 0, 0, 1, 0, n, a.data());
    store::epoch_indices(n, true, 0, 1, 0, 1, 0, n, b.data());
    store::epoch_indices(n, true, 1, 0, 0, 1, 0, n, c.data());
    EXPECT_NE(a, b);
    EXPECT_NE(a, c);
    std::vector<std::uint64_t> again(n);
    store::epoch_indices(n, true, 0, 0, 0, 1, 0, n, again.data());
    EXPECT_EQ(a, again);
    // Spread: a batch of consecutive positions draws from the whole range,
    // each eighth of it about equally.
    for (const std::uint64_t first : {0ull, 5000ull}) {
        std::array<int, 8> eighths{};
        for (std::uint64_t i = first; i < first + 1024; ++i) ++eighths[a[i] * 8 / n];
        for (const int count : eighths) EXPECT_TRUE(count > 80 && count < 176) << count;
    }
    // Not the identity, nor close to it: few fixed points.
    std::size_t fixed = 0;
    for (std::uint64_t i = 0; i < n; ++i) fixed += a[i] == i;
    EXPECT_LT(fixed, 20u);

    // Three ranks: equal disjoint parts of the same epoch, in pieces.
    std::set<std::uint64_t> all;
    for (std::uint64_t rank = 0; rank < 3; ++rank) {
        std::vector<std::uint64_t> part(n / 3);
        store::epoch_indices(n, true, 0, 0, rank, 3, 0, 1000, part.data());
        store::epoch_indices(n, true, 0, 0, rank, 3, 1000, part.size() - 1000, part.data() + 1000);
        for (std::size_t i = 0; i < part.size(); ++i) EXPECT_EQ(part[i], a[rank * (n / 3) + i]);
        all.insert(part.begin(), part.end());
    }
    EXPECT_EQ(all.size(), 3 * (n / 3));
    std::vector<std::uint64_t> plain(5);
    store::epoch_indices(n, false, 0, 0, 2, 3, 4, 5, plain.data());
    EXPECT_EQ(plain, (std::vector<std::uint64_t>{2 * 3335 + 4, 2 * 3335 + 5, 2 * 3335 + 6, 2 * 3335 + 7, 2 * 3335 + 8}));
    EXPECT_THROW(store::epoch_indices(n, true, 0, 0, 3, 3, 0, 1, plain.data()), InvalidInput);
    EXPECT_THROW(store::epoch_indices(n, true, 0, 0, 0, 3, 3335, 1, plain.data()), InvalidInput);
    EXPECT_THROW(store::epoch_indices(n, true, 0, 0, 0, 0, 0, 0, plain.data()), InvalidInput);
}

}  // namespace
