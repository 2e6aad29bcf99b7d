#include "store/mod.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "board/mod.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace velmor::store {

namespace {

[[noreturn]] void refuse(std::string message) { throw InvalidInput(std::move(message)); }

// Floor division, for plies of any sign.
constexpr std::int64_t floor_div(std::int64_t a, std::int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }

// Keyframes of a run of `rows` rows from ply `first_ply`: its first row and
// every later row whose ply is a multiple of KEYFRAME_PLIES.
constexpr std::uint64_t run_keyframes(std::int64_t first_ply, std::uint64_t rows) {
    return 1 + static_cast<std::uint64_t>(floor_div(first_ply + static_cast<std::int64_t>(rows) - 1, KEYFRAME_PLIES) -
                                          floor_div(first_ply, KEYFRAME_PLIES));
}

template <typename T>
T load(const std::uint8_t* p) {
    T value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

template <typename T>
void store_bytes(std::uint8_t* p, T value) {
    std::memcpy(p, &value, sizeof value);
}

void write_keyframe(const Position& position, std::uint8_t* out) {
    for (unsigned i = 0; i < 32; ++i)
        out[i] = static_cast<std::uint8_t>(position.board[2 * i] | position.board[2 * i + 1] << 4);
    out[32] = static_cast<std::uint8_t>(position.turn | position.castling << 1);
    out[33] = static_cast<std::uint8_t>(position.en_passant);
    store_bytes(out + 34, position.halfmove_clock);
    store_bytes(out + 38, position.fullmove_number);
}

void read_keyframe(const std::uint8_t* in, Position& position) {
    for (unsigned i = 0; i < 32; ++i) {
        position.board[2 * i] = in[i] & 15;
        position.board[2 * i + 1] = in[i] >> 4;
    }
    position.turn = in[32] & 1;
    position.castling = in[32] >> 1;
    position.en_passant = static_cast<std::int8_t>(in[33]);
    position.halfmove_clock = load<std::uint32_t>(in + 34);
    position.fullmove_number = load<std::uint32_t>(in + 38);
}

// Writes the board as 768 bytes of 0/1, [plane, square]: each plane's bytes
// compared a vector at a time, with no branch on what stands where.
inline void write_planes(const Position& position, std::uint8_t* out) {
    using Bytes = std::uint8_t __attribute__((vector_size(16)));
    Bytes squares[4];
    std::memcpy(squares, position.board.data(), 64);
    for (unsigned plane = 0; plane < 12; ++plane) {
        const Bytes code = Bytes{} + static_cast<std::uint8_t>(plane + 1);
        for (unsigned part = 0; part < 4; ++part) {
            const Bytes bits = reinterpret_cast<Bytes>(squares[part] == code) & 1;
            std::memcpy(out + 64 * plane + 16 * part, &bits, 16);
        }
    }
}

// The row's position from its columns; InvalidInput when no keyframe holds it.
Position read_row(const Columns& c, std::size_t row) {
    Position position;
    const std::uint8_t* planes = c.planes + row * PLANE_BYTES;
    for (unsigned plane = 0; plane < 12; ++plane)
        for (unsigned square = 0; square < 64; ++square) {
            const std::uint8_t bit = planes[64 * plane + square];
            if (bit == 0) continue;
            if (bit != 1) refuse("row " + std::to_string(row) + ": a plane byte is neither 0 nor 1");
            if (position.board[square])
                refuse("row " + std::to_string(row) + ": a square is on two planes");
            position.board[square] = static_cast<std::uint8_t>(plane + 1);
        }
    if (c.turn[row] > 1) refuse("row " + std::to_string(row) + ": turn is neither 0 nor 1");
    position.turn = c.turn[row];
    for (unsigned r = 0; r < 4; ++r) {
        const std::uint8_t bit = c.castling[4 * row + r];
        if (bit > 1) refuse("row " + std::to_string(row) + ": a castling byte is neither 0 nor 1");
        position.castling |= static_cast<std::uint8_t>(bit << r);
    }
    position.en_passant = c.en_passant[row];
    position.halfmove_clock = static_cast<std::uint32_t>(c.halfmove_clock[row]);
    position.fullmove_number = static_cast<std::uint32_t>(c.fullmove_number[row]);
    return position;
}

// Whether the row's columns are exactly the position.
bool row_is(const Columns& c, std::size_t row, const Position& position) {
    if (c.turn[row] != position.turn || c.en_passant[row] != position.en_passant ||
        static_cast<std::uint32_t>(c.halfmove_clock[row]) != position.halfmove_clock ||
        static_cast<std::uint32_t>(c.fullmove_number[row]) != position.fullmove_number)
        return false;
    for (unsigned r = 0; r < 4; ++r)
        if (c.castling[4 * row + r] != ((position.castling >> r) & 1)) return false;
    std::uint8_t planes[PLANE_BYTES];
    write_planes(position, planes);
    return std::memcmp(planes, c.planes + row * PLANE_BYTES, PLANE_BYTES) == 0;
}

constexpr std::uint8_t piece_of(bool white, unsigned type) {
    return static_cast<std::uint8_t>(1 + first_plane_of(white) + type);
}

// The row's move fields from its word.
struct Move {
    std::int8_t from, to;
    std::uint8_t promotion;
};

inline Move decode(std::uint16_t word) {
    if (word & SPECIAL_WORD)
        return {static_cast<std::int8_t>(word & NULL_WORD ? -2 : -1), static_cast<std::int8_t>(word & 0xFF),
                static_cast<std::uint8_t>((word >> 8) & 31)};
    return {static_cast<std::int8_t>(word & 63), static_cast<std::int8_t>((word >> 6) & 63),
            static_cast<std::uint8_t>((word >> 12) & 7)};
}

}  // namespace

std::uint16_t move_word(std::int8_t from, std::int8_t to, std::uint8_t promotion, std::size_t row) {
    if (from >= 0 && from < 64 && to >= 0 && to < 64 && promotion < 8)
        return static_cast<std::uint16_t>(from | to << 6 | promotion << 12);
    if ((from == -1 || from == -2) && promotion < 32)
        return static_cast<std::uint16_t>(SPECIAL_WORD | (from == -2 ? NULL_WORD : 0) | promotion << 8 |
                                          static_cast<std::uint8_t>(to));
    refuse("row " + std::to_string(row) + ": the move (" + std::to_string(from) + ", " + std::to_string(to) + ", " +
           std::to_string(promotion) + ") cannot be stored");
}

namespace {

// The castling bits (K, Q, k, q) a move keeps, by the squares it leaves and
// reaches: a king or rook leaving its first square, or a rook taken on its
// corner, gives up the rights that need it. Where push_move would differ (a
// king with rights off its first square, from FEN text), the row does not
// follow and pack starts a run there, so rows still come back exactly.
constexpr std::array<std::uint8_t, 64> KEEPS = [] {
    std::array<std::uint8_t, 64> keeps{};
    keeps.fill(15);
    keeps[E1] = 0b1100, keeps[H1] = 0b1110, keeps[A1] = 0b1101;
    keeps[E8] = 0b0011, keeps[H8] = 0b1011, keeps[A8] = 0b0111;
    return keeps;
}();

}  // namespace

namespace {

// play() with every write to the board made through put(square, code), so
// that a caller can keep more of the position up to date square by square.
// Inlined into the replay loops: a call would cost more than its body.
template <typename Put>
[[gnu::always_inline]] inline bool play_with(Position& p, std::uint16_t word, Put&& put) {
    const bool white = p.turn == 0;
    if (word & SPECIAL_WORD) [[unlikely]] {
        if (!(word & NULL_WORD)) return false;
        // A null move passes the turn: no en passant after it, the clock runs.
        p.en_passant = -1;
        ++p.halfmove_clock;
        if (!white) ++p.fullmove_number;
        p.turn ^= 1;
        return true;
    }
    const unsigned from = word & 63, to = (word >> 6) & 63;
    const unsigned piece = p.board[from];
    const unsigned own = piece_of(white, PAWN);
    // Unsigned wrap: a piece below the side's first code is out of range too.
    const unsigned type = piece - own;
    if (type >= PIECE_TYPES) [[unlikely]]
        return false;
    const unsigned target = p.board[to];
    if (target - own < PIECE_TYPES) [[unlikely]]
        return false;
    std::uint8_t placed = static_cast<std::uint8_t>(piece);
    bool resets = target != 0;
    std::int8_t en_passant = -1;

    if (type == PAWN) {
        resets = true;
        if (file_of(to) != file_of(from) && !target) {
            // En passant: the victim stands behind the to-square.
            const unsigned victim = white ? to - 8 : to + 8;
            if (victim >= 64 || p.board[victim] != piece_of(!white, PAWN)) return false;
            put(victim, 0);
        }
        if (rank_of(to) == 0 || rank_of(to) == 7) {
            const unsigned promotion = (word >> 12) & 7;
            if (promotion < 1 || promotion > 4) return false;
            placed = piece_of(white, KNIGHT + promotion - 1);
        }
        if (white ? rank_of(to) == rank_of(from) + 2 : rank_of(from) == rank_of(to) + 2)
            en_passant = static_cast<std::int8_t>(file_of(to));
    } else if (type == KING && file_of(from) == FILE_E && (file_of(to) == FILE_C || file_of(to) == FILE_G)) {
        // Castling is told by the king's files alone, as push_move tells it.
        const CastlingRule& rule = castling_rules(white)[file_of(to) == FILE_G ? 0 : 1];
        if (p.board[rule.rook_from] == piece_of(white, ROOK)) {
            put(rule.rook_from, 0);
            put(rule.rook_to, piece_of(white, ROOK));
        }
    }
    p.castling &= KEEPS[from] & KEEPS[to];
    put(from, 0);
    put(to, placed);
    p.en_passant = en_passant;
    p.halfmove_clock = resets ? 0 : p.halfmove_clock + 1;
    p.fullmove_number += !white;
    p.turn ^= 1;
    return true;
}

}  // namespace

bool play(Position& p, std::uint16_t word) {
    return play_with(p, word, [&p](unsigned square, std::uint8_t code) { p.board[square] = code; });
}

Packed pack(const Columns& c, std::size_t rows) {
    Packed packed;
    packed.moves.resize(rows);
    for (std::size_t row = 0; row < rows; ++row)
        packed.moves[row] = move_word(c.move_from[row], c.move_to[row], c.move_promotion[row], row);

    Position position;
    std::size_t run_row = 0;      // first row of the open run
    std::size_t run_start = 0;    // where the open run's record goes
    bool replayable = false;      // whether position is the previous row's, its move playable
    const auto close_run = [&](std::size_t end) {
        std::uint8_t* record = packed.runs.data() + run_start;
        store_bytes(record + 12, static_cast<std::uint32_t>(end - run_row));
    };
    for (std::size_t row = 0; row < rows; ++row) {
        const std::int64_t ply = c.ply[row];
        bool continues = row > 0 && replayable && c.game[row] == c.game[row - 1] &&
                         c.result[row] == c.result[row - 1] && ply == static_cast<std::int64_t>(c.ply[row - 1]) + 1 &&
                         row - run_row < std::numeric_limits<std::uint32_t>::max();
        if (continues) continues = play(position, packed.moves[row - 1]) && row_is(c, row, position);
        if (!continues) {
            if (row > 0) close_run(row);
            run_row = row;
            run_start = packed.runs.size();
            packed.runs.resize(run_start + RUN_BYTES);
            std::uint8_t* record = packed.runs.data() + run_start;
            store_bytes(record, c.game[row]);
            store_bytes(record + 8, c.ply[row]);
            record[16] = static_cast<std::uint8_t>(c.result[row]);
        }
        if (!continues || floor_div(ply, KEYFRAME_PLIES) * KEYFRAME_PLIES == ply) {
            if (!continues) position = read_row(c, row);
            const std::size_t at = packed.keyframes.size();
            packed.keyframes.resize(at + KEYFRAME_BYTES);
            write_keyframe(position, packed.keyframes.data() + at);
        }
        // A ply at int32's end has no successor in the same run.
        replayable = ply < std::numeric_limits<std::int32_t>::max();
    }
    if (rows > 0) close_run(rows);
    return packed;
}

// ---------------------------------------------------------------- the store

namespace {
constexpr unsigned BLOCK_SHIFT = 8;
}

Store::Store(const std::uint16_t* moves, std::size_t rows, const std::uint8_t* keyframes, std::size_t keyframe_count,
             const std::uint8_t* runs, std::size_t run_count)
    : Store(std::vector<Part>{Part{moves, rows, keyframes, keyframe_count, runs, run_count}}) {}

Store::Store(std::vector<Part> parts) : parts_(std::move(parts)) {
    std::uint64_t row = 0, keyframe = 0;
    for (std::size_t p = 0; p < parts_.size(); ++p) {
        const Part& part = parts_[p];
        // Messages name the part when there are several.
        const std::string where = parts_.size() > 1 ? "part " + std::to_string(p) + ": " : "";
        if (first_row_.size() + part.run_count > std::numeric_limits<std::uint32_t>::max())
            refuse(where + "the store has too many runs");
        part_first_row_.push_back(row);
        part_first_keyframe_.push_back(keyframe);
        part_first_run_.push_back(first_row_.size());
        const std::uint64_t part_row = row, part_keyframe = keyframe;
        for (std::size_t i = 0; i < part.run_count; ++i) {
            const std::uint8_t* record = part.runs + i * RUN_BYTES;
            const std::int64_t first_ply = load<std::int32_t>(record + 8);
            const std::uint32_t count = load<std::uint32_t>(record + 12);
            if (count == 0) refuse(where + "run " + std::to_string(i) + " of the store has no rows");
            if (first_ply + count - 1 > std::numeric_limits<std::int32_t>::max())
                refuse(where + "run " + std::to_string(i) + " of the store runs past the largest ply");
            if (count > part.rows - (row - part_row)) refuse(where + "the store's runs hold more rows than its moves");
            first_row_.push_back(row);
            first_keyframe_.push_back(keyframe);
            run_part_.push_back(static_cast<std::uint32_t>(p));
            row += count;
            keyframe += run_keyframes(first_ply, count);
        }
        if (row - part_row != part.rows) refuse(where + "the store's runs hold fewer rows than its moves");
        if (keyframe - part_keyframe != part.keyframe_count)
            refuse(where + "the store has " + std::to_string(part.keyframe_count) + " keyframes where its runs need " +
                   std::to_string(keyframe - part_keyframe));
        for (std::size_t k = 0; k < part.keyframe_count; ++k) {
            const std::uint8_t* in = part.keyframes + k * KEYFRAME_BYTES;
            for (unsigned i = 0; i < 32; ++i)
                if ((in[i] & 15) > 12 || (in[i] >> 4) > 12)
                    refuse(where + "keyframe " + std::to_string(k) + " of the store holds a piece code past 12");
            if (in[32] >> 5) refuse(where + "keyframe " + std::to_string(k) + " of the store has unknown flags");
        }
    }
    rows_ = row;
    run_count_ = first_row_.size();
    first_row_.push_back(row);
    block_run_.resize((rows_ >> BLOCK_SHIFT) + 1);
    std::size_t run = 0;
    for (std::size_t block = 0; block < block_run_.size(); ++block) {
        const std::uint64_t first = static_cast<std::uint64_t>(block) << BLOCK_SHIFT;
        while (run + 1 < run_count_ && first_row_[run + 1] <= first) ++run;
        block_run_[block] = static_cast<std::uint32_t>(run);
    }
}

// Where a row is: its run and that run's record, the keyframe at or before
// the row (its global index, its bytes and its row), and the move word of
// that row in its part's moves.
struct Store::Cursor {
    std::size_t run;
    const std::uint8_t* record;
    std::uint64_t keyframe;
    const std::uint8_t* frame;
    std::uint64_t keyframe_row;
    const std::uint16_t* keyframe_moves;
};

std::size_t Store::run_of(std::uint64_t row) const {
    const std::size_t block = row >> BLOCK_SHIFT;
    const std::size_t low = block_run_[block];
    const std::size_t high = block + 1 < block_run_.size() ? block_run_[block + 1] + 1 : run_count_;
    // The last run in [low, high) starting at or before the row: a few runs
    // a block, so a walk, which mispredicts once, beats a binary search.
    std::size_t run = low;
    while (run + 1 < high && first_row_[run + 1] <= row) ++run;
    return run;
}

const std::uint8_t* Store::record_of(std::size_t run) const {
    const std::size_t p = run_part_[run];
    return parts_[p].runs + (run - part_first_run_[p]) * RUN_BYTES;
}

void Store::locate(std::uint64_t row, Cursor& cursor) const { locate_in(run_of(row), row, cursor); }

void Store::locate_in(std::size_t run, std::uint64_t row, Cursor& cursor) const {
    const std::size_t p = run_part_[run];
    const Part& part = parts_[p];
    const std::uint8_t* record = record_of(run);
    const std::int64_t first_ply = load<std::int32_t>(record + 8);
    const std::uint64_t first = first_row_[run];
    const std::int64_t ply = first_ply + static_cast<std::int64_t>(row - first);
    const std::int64_t steps = floor_div(ply, KEYFRAME_PLIES) - floor_div(first_ply, KEYFRAME_PLIES);
    cursor.run = run;
    cursor.record = record;
    cursor.keyframe = first_keyframe_[run] + static_cast<std::uint64_t>(steps);
    cursor.frame = part.keyframes + (cursor.keyframe - part_first_keyframe_[p]) * KEYFRAME_BYTES;
    cursor.keyframe_row =
        steps == 0 ? first : first + static_cast<std::uint64_t>(floor_div(ply, KEYFRAME_PLIES) * KEYFRAME_PLIES - first_ply);
    cursor.keyframe_moves = part.moves + (cursor.keyframe_row - part_first_row_[p]);
}

void Store::gather(const std::uint64_t* indices, std::size_t count, const Outputs& out) const {
    const bool need_position = out.planes || out.turn || out.castling || out.en_passant || out.halfmove_clock ||
                               out.fullmove_number;
    // Rows are located a few at a time and their keyframes and moves fetched
    // ahead, so that the cache misses of random rows overlap.
    constexpr std::size_t AHEAD = 16;
    Cursor cursors[AHEAD];
    Position position;
    std::uint64_t keyframe = ~std::uint64_t{0};  // the keyframe `position` was replayed from
    std::uint64_t current = 0;                    // the row `position` is
    for (std::size_t base = 0; base < count; base += AHEAD) {
        const std::size_t ahead = std::min(AHEAD, count - base);
        for (std::size_t j = 0; j < ahead; ++j) {
            const std::uint64_t row = indices[base + j];
            if (row >= rows_)
                refuse("index " + std::to_string(row) + " is out of range for " + std::to_string(rows_) + " positions");
            locate(row, cursors[j]);
            if (need_position) {
                __builtin_prefetch(cursors[j].frame);
                __builtin_prefetch(cursors[j].frame + KEYFRAME_BYTES - 1);
                __builtin_prefetch(cursors[j].keyframe_moves);
                __builtin_prefetch(cursors[j].keyframe_moves + (row - cursors[j].keyframe_row));
            }
        }
        for (std::size_t j = 0; j < ahead; ++j) {
            const std::size_t i = base + j;
            const std::uint64_t row = indices[i];
            const Cursor& cursor = cursors[j];
            if (need_position) {
                // The segment replayed last, at or before the row: go on from there.
                if (cursor.keyframe != keyframe || row < current) {
                    read_keyframe(cursor.frame, position);
                    keyframe = cursor.keyframe;
                    current = cursor.keyframe_row;
                }
                for (; current < row; ++current)
                    if (!play(position, cursor.keyframe_moves[current - cursor.keyframe_row])) [[unlikely]]
                        refuse("the store is damaged: the move of row " + std::to_string(current) +
                               " cannot be replayed");
                if (out.planes) write_planes(position, out.planes + i * PLANE_BYTES);
                if (out.turn) out.turn[i] = position.turn;
                if (out.castling)
                    for (unsigned r = 0; r < 4; ++r) out.castling[4 * i + r] = (position.castling >> r) & 1;
                if (out.en_passant) out.en_passant[i] = position.en_passant;
                if (out.halfmove_clock) out.halfmove_clock[i] = static_cast<std::int32_t>(position.halfmove_clock);
                if (out.fullmove_number) out.fullmove_number[i] = static_cast<std::int32_t>(position.fullmove_number);
            }
            if (out.move_from || out.move_to || out.move_promotion) {
                const Move move = decode(cursor.keyframe_moves[row - cursor.keyframe_row]);
                if (out.move_from) out.move_from[i] = move.from;
                if (out.move_to) out.move_to[i] = move.to;
                if (out.move_promotion) out.move_promotion[i] = move.promotion;
            }
            const std::uint8_t* record = cursor.record;
            if (out.game) out.game[i] = load<std::int64_t>(record);
            if (out.ply)
                out.ply[i] = static_cast<std::int32_t>(load<std::int32_t>(record + 8) + (row - first_row_[cursor.run]));
            if (out.result) out.result[i] = static_cast<std::int8_t>(record[16]);
        }
    }
}

// ---------------------------------------------------------------- training encodings

void Store::replay_rows(std::uint64_t first, std::uint64_t last, Position* positions) const {
    Cursor cursor;
    Position position;
    // A run at a time: from the keyframe at or before its first row wanted,
    // each move played on, keyframes past it not read (they are the same).
    for (std::uint64_t row = first; row <= last;) {
        locate(row, cursor);
        read_keyframe(cursor.frame, position);
        const std::uint64_t end = std::min(first_row_[cursor.run + 1], last + 1);
        for (std::uint64_t at = cursor.keyframe_row; at < end; ++at) {
            if (at >= row) positions[at - first] = position;
            if (at + 1 < end && !play(position, cursor.keyframe_moves[at - cursor.keyframe_row])) [[unlikely]]
                refuse("the store is damaged: the move of row " + std::to_string(at) + " cannot be replayed");
        }
        row = end;
    }
}

void Store::game_and_ply(std::uint64_t row, std::int64_t& game, std::int64_t& ply) const {
    const std::size_t run = run_of(row);
    const std::uint8_t* record = record_of(run);
    game = load<std::int64_t>(record);
    ply = load<std::int32_t>(record + 8) + static_cast<std::int64_t>(row - first_row_[run]);
}

std::uint64_t Store::earliest_in_game(std::uint64_t row, std::uint64_t limit) const {
    const std::uint64_t floor = row - std::min(limit, row);
    std::size_t run = run_of(row);
    // A run's rows are one game's plies in order.
    if (first_row_[run] <= floor) return floor;
    std::uint64_t earliest = first_row_[run];
    std::int64_t game, ply;
    game_and_ply(row, game, ply);
    // Rows before the run, one at a time: pack cuts a run where a row does
    // not follow from the one before, and such rows still count as the
    // game's earlier plies when their game and ply say so.
    while (earliest > floor) {
        const std::uint64_t before = earliest - 1;
        while (first_row_[run] > before) --run;
        const std::uint8_t* record = record_of(run);
        if (load<std::int64_t>(record) != game ||
            load<std::int32_t>(record + 8) + static_cast<std::int64_t>(before - first_row_[run]) !=
                ply - static_cast<std::int64_t>(row - before))
            break;
        earliest = before;
    }
    return earliest;
}

namespace {

// Whether two positions are the same for a repetition: placement, side to
// move, castling rights and en-passant file, not the clocks.
bool repeats(const Position& a, const Position& b) {
    return a.turn == b.turn && a.castling == b.castling && a.en_passant == b.en_passant && a.board == b.board;
}

// InvalidInput (naming the row) for an en-passant value that is no file.
void check_en_passant(std::int8_t en_passant, std::uint64_t row) {
    if (en_passant > 7 || en_passant < -1) [[unlikely]]
        refuse("row " + std::to_string(row) + ": en_passant is no file");
}

// The state word the generator reads, the en-passant file left out when
// it is no file.
std::uint64_t state_word(const Position& p) {
    const bool white = p.turn == 0;
    std::uint64_t state = (white ? WHITE_TO_MOVE : 0) | std::uint64_t{p.castling} << WHITE_KING_SIDE;
    if (p.en_passant >= 0 && p.en_passant <= 7)
        state |= std::uint64_t{1} << (en_passant_set(white) + static_cast<unsigned>(p.en_passant));
    return state;
}

// The state word; InvalidInput as check_en_passant.
std::uint64_t state_of(const Position& p, std::uint64_t row) {
    check_en_passant(p.en_passant, row);
    return state_word(p);
}

// A row's encoding past its planes: turn, castling and the move in the view,
// the move's policy index and the legal mask; and the fields of `rest` that
// no view changes. The generator's scratch is kept from row to row.
class RowFields {
public:
    RowFields(const MoveGenerator& generator, const encodings::Options& options, const encodings::Outputs& out,
              const Outputs& rest)
        : generator_(generator), options_(options), out_(out), rest_(rest),
          row_mask_(encodings::mask_bytes(options)),
          // An unpacked mask is made in a scratch that stays in the cache and
          // streamed out when the array is aligned for it (a loader's is).
          stream_mask_(out.legal && !options.packed_mask && reinterpret_cast<std::uintptr_t>(out.legal) % 16 == 0) {}

    // The legal moves are found from `boards` (planes and state word), or
    // are their indices [legal_first, legal_last) when those are given.
    void write(std::size_t i, std::uint64_t row, const encodings::Position& boards, bool flip, std::uint8_t turn,
               std::uint8_t castling, std::int8_t en_passant, std::uint32_t halfmove_clock,
               std::uint32_t fullmove_number, std::uint16_t word, std::int64_t game, std::int8_t result, std::int64_t ply,
               const std::int16_t* legal_first = nullptr, const std::int16_t* legal_last = nullptr) {
        if (out_.turn) out_.turn[i] = flip ? 0 : turn;
        if (out_.castling)
            for (unsigned r = 0; r < 4; ++r) out_.castling[4 * i + r] = (castling >> ((r + (flip ? 2 : 0)) % 4)) & 1;
        const Move move = decode(word);
        const bool has_move = move.from >= 0 && move.to >= 0;
        if (move.promotion > 4) refuse("row " + std::to_string(row) + ": move_promotion is no promotion code");
        const unsigned from_square = has_move ? encodings::viewed_square(static_cast<unsigned>(move.from), flip) : 0;
        const unsigned to_square = has_move ? encodings::viewed_square(static_cast<unsigned>(move.to), flip) : 0;
        if (out_.move_from) out_.move_from[i] = has_move ? static_cast<std::int8_t>(from_square) : move.from;
        if (out_.move_to) out_.move_to[i] = has_move ? static_cast<std::int8_t>(to_square) : move.to;
        if (out_.policy)
            out_.policy[i] = has_move ? policy::index(*options_.policy, from_square, to_square, move.promotion) : -1;
        if (out_.legal && legal_first) {
            if (stream_mask_)
                encodings::stream_legal(legal_first, legal_last, options_, scratch_, out_.legal + i * row_mask_);
            else
                encodings::write_legal(legal_first, legal_last, options_, out_.legal + i * row_mask_);
        } else if (stream_mask_) {
            encodings::stream_legal(generator_, boards, flip, options_, board_, moves_, scratch_,
                                    out_.legal + i * row_mask_);
        } else if (out_.legal) {
            encodings::write_legal(generator_, boards, flip, options_, board_, moves_, out_.legal + i * row_mask_);
        }

        if (rest_.en_passant) rest_.en_passant[i] = en_passant;
        if (rest_.halfmove_clock) rest_.halfmove_clock[i] = static_cast<std::int32_t>(halfmove_clock);
        if (rest_.fullmove_number) rest_.fullmove_number[i] = static_cast<std::int32_t>(fullmove_number);
        if (rest_.move_promotion) rest_.move_promotion[i] = move.promotion;
        if (rest_.game) rest_.game[i] = game;
        if (rest_.ply) rest_.ply[i] = static_cast<std::int32_t>(ply);
        if (rest_.result) rest_.result[i] = result;
    }

    // Whether the mask is streamed: stream_fence() before the outputs are read.
    [[nodiscard]] bool streams() const { return stream_mask_; }

private:
    const MoveGenerator& generator_;
    const encodings::Options& options_;
    const encodings::Outputs& out_;
    const Outputs& rest_;
    const std::size_t row_mask_;
    const bool stream_mask_;
    Board board_{FenFields{Planes{}, WHITE_TO_MOVE}};
    MoveList moves_;
    alignas(64) std::uint8_t scratch_[std::max({policy::FROM_TO_SIZE, policy::UCI_SIZE, policy::ALPHAZERO_SIZE})]{};
};

// What the options make of a row's planes: its steps and their bytes.
struct Layout {
    explicit Layout(const encodings::Options& options)
        : history(options.history >= 0),
          mover_view(options.view == encodings::View::mover),
          steps(history ? static_cast<unsigned>(options.history) + 1 : 1),
          row_planes(encodings::row_plane_bytes(options)),
          step_bytes((history ? encodings::STEP_PLANES : PLANE_COUNT) * encodings::plane_bytes(options)) {}

    bool history, mover_view;
    unsigned steps;
    std::size_t row_planes, step_bytes;
};

// A step's planes, or the repetition plane past them, or a step's zeros, in
// the form the options ask for: each with sizes the compiler sees, so that
// it is a few stores. Unpacked planes, whole cache lines, are streamed past
// the cache when the array is aligned for it (a loader's is): a batch is
// written once, read after the call, and larger than the caches.
class StepWriter {
public:
    explicit StepWriter(const encodings::Options& options, const std::uint8_t* planes)
        : packed_(options.packed_planes),
          stream_(planes && !options.packed_planes && reinterpret_cast<std::uintptr_t>(planes) % 32 == 0),
          repetition_(encodings::repetition_byte(options)) {}

    [[nodiscard]] bool streams() const { return stream_; }

    void pieces(const encodings::Position& boards, std::uint8_t* dst, bool flip) const {
        if (packed_)
            encodings::write_packed_step(boards, flip, dst);
        else if (stream_)
            encodings::stream_step(boards, flip, dst);
        else
            encodings::write_step(boards, flip, dst);
    }
    // pieces() of a board given as bit slices (encodings::planes_of_slices).
    void pieces(const Bitboard* slices, std::uint8_t* dst, bool flip) const {
        if (packed_) {
            encodings::write_packed_slices(slices, flip, dst);
            return;
        }
        encodings::Position boards{};
        encodings::planes_of_slices(slices, boards.planes);
        pieces(boards, dst, flip);
    }
    void repeated(std::uint8_t* dst, bool repeated) const {
        if (packed_)
            std::memset(dst + PLANE_COUNT * 8, repeated ? repetition_ : 0, 8);
        else if (stream_)
            encodings::stream_fill(dst + PLANE_COUNT * 64, repeated, 64);
        else
            std::memset(dst + PLANE_COUNT * 64, repeated, 64);
    }
    void zeros(std::uint8_t* dst) const {
        using encodings::STEP_PLANES;
        if (packed_)
            std::memset(dst, 0, STEP_PLANES * 8);
        else if (stream_)
            encodings::stream_fill(dst, 0, STEP_PLANES * 64);
        else
            std::memset(dst, 0, STEP_PLANES * 64);
    }

private:
    const bool packed_, stream_;
    const std::uint8_t repetition_;
};

// A replay for the encodings: the position by square, as play() makes it,
// with its twelve bitboards and its empty squares kept up to date by the
// squares each move writes. Nothing is copied from row to row: the history
// steps' planes are written out as the replay passes them.
struct Replay {
    Position position;
    encodings::Position boards{};  // the planes; the state word is set for the last row only
    Bitboard empty = 0;            // the plane of code 0
    // Whether a keyframe read since this was cleared holds an en-passant
    // value that is no file: only a keyframe can, the moves make none.
    bool odd_en_passant = false;

    Replay() {
        plane_of_.fill(&empty);
        for (unsigned plane = 0; plane < PLANE_COUNT; ++plane) plane_of_[plane + 1] = &boards.planes[plane];
    }
    Replay(const Replay&) = delete;
    Replay& operator=(const Replay&) = delete;

    void start(const std::uint8_t* frame) {
        read_keyframe(frame, position);
        odd_en_passant |= position.en_passant > 7 || position.en_passant < -1;
        encodings::boards_of_squares(position.board.data(), boards.planes);
        Bitboard occupied = 0;
        for (const Bitboard b : boards.planes) occupied |= b;
        empty = ~occupied;
    }

    [[gnu::always_inline]] bool play(std::uint16_t word) {
        return play_with(position, word, [this](unsigned square, std::uint8_t code) {
            const unsigned old = position.board[square];
            position.board[square] = code;
            const Bitboard bit = square_bb(square);
            *plane_of_[old] ^= bit;
            *plane_of_[code] ^= bit;
        });
    }

    [[nodiscard]] Bitboard occupied() const { return ~empty; }

private:
    // Each code's plane, code 0's the empty squares: a write toggles the
    // plane it clears and the one it sets without a branch.
    std::array<Bitboard*, 16> plane_of_{};
};

// The first replayed row, from which the occupancy of the rows before it
// follows backwards: its occupancy, kings (White's, Black's) and side to move.
struct Origin {
    Bitboard occupied = 0;
    std::array<Bitboard, 2> kings{};
    unsigned turn = 0;
};

// The occupancy of the rows before the replay's first row (base), from move
// words alone, into occupied[row - start] for rows [returned, base); the
// rows before the returned one stay unknown. Within the row's run each row
// is its predecessor played on, and a history step's half-move clock counts
// the rows before it whose moves neither took nor moved a pawn: each such
// move takes a piece from one empty-after square to one empty-before square,
// toggling exactly those two squares of the occupancy, and the piece on its
// to-square afterwards is the one that moved. So the occupancy of each row
// before the replay follows from row base's backwards, word by word. A
// castling also moves a rook, and only if one stands on its square; a king
// move that play() would take for one (the king, followed back, on its
// to-square) leaves the rows before it unknown, as do rows before the run
// (base_words null when the replay starts in an earlier run) and a word no
// row of a run has.
std::uint64_t occupancies_before(const Origin& origin, std::uint64_t base, const std::uint16_t* base_words,
                                 std::uint64_t run_first, std::uint64_t start, std::vector<Bitboard>& occupied) {
    std::uint64_t known = base;
    if (!base_words || base <= run_first) return known;
    const std::uint64_t lowest = std::max(start, run_first);
    occupied.resize(base - start);
    Bitboard occupancy = origin.occupied;
    std::array<Bitboard, 2> kings = origin.kings;
    unsigned side = origin.turn;
    for (; known > lowest; --known) {
        const std::uint64_t k = known - 1;
        side ^= 1;  // the side that moved from row k
        const std::uint16_t word = base_words[-static_cast<std::ptrdiff_t>(base - k)];
        if (word & SPECIAL_WORD) {
            if (!(word & NULL_WORD)) break;
        } else {
            const unsigned from = word & 63, to = (word >> 6) & 63;
            const Bitboard moved = square_bb(from) | square_bb(to);
            if (kings[side] & square_bb(to)) {
                if (file_of(from) == FILE_E && (file_of(to) == FILE_C || file_of(to) == FILE_G)) break;
                kings[side] ^= moved;
            }
            occupancy ^= moved;
        }
        occupied[k - start] = occupancy;
    }
    return known;
}

}  // namespace

void Store::encode(const std::uint64_t* indices, std::size_t count, const MoveGenerator& generator,
                   const encodings::Options& options, const encodings::Outputs& out, const Outputs& rest) const {
    const Layout layout(options);
    const bool history = layout.history, mover_view = layout.mover_view;
    const unsigned steps = layout.steps;
    const std::size_t row_planes = layout.row_planes, step_bytes = layout.step_bytes;

    // Scratch for every row of the call: the occupancy of the rows replayed
    // (base..row) and of the rows before them, those rows replayed when the
    // repetition look-back cannot rule them out, which history steps are the
    // game's, and what the look-back needs of each step.
    std::vector<Bitboard> seen, occupied;
    std::vector<Position> prefix;
    Position exact[2];  // a row's position, for the rare pair of rows compared in full
    std::array<bool, encodings::MAX_HISTORY + 1> included{};
    std::array<std::uint64_t, encodings::MAX_HISTORY + 1> earliest{};  // of each step's repetition look-back
    std::array<std::uint32_t, encodings::MAX_HISTORY + 1> clocks{};    // each step's half-move clock
    std::array<std::int8_t, encodings::MAX_HISTORY + 1> step_en_passant{};  // checked after the replay
    std::array<bool, encodings::MAX_HISTORY + 1> repeated{};
    std::array<encodings::Position, encodings::MAX_HISTORY + 1> step_boards{};  // each step's planes
    Origin origin;
    Replay replay;
    const StepWriter step(options, out.planes);
    RowFields fields(generator, options, out, rest);

    // Rows are located a few ahead and their keyframes and moves fetched,
    // so that the cache misses of random rows overlap the work on others.
    constexpr std::size_t AHEAD = 8;
    Cursor cursors[AHEAD];
    const auto fetch = [&](std::size_t i) {
        const std::uint64_t row = indices[i];
        if (row >= rows_)
            refuse("index " + std::to_string(row) + " is out of range for " + std::to_string(rows_) + " positions");
        Cursor& cursor = cursors[i % AHEAD];
        locate(row, cursor);
        __builtin_prefetch(cursor.frame);
        __builtin_prefetch(cursor.frame + KEYFRAME_BYTES - 1);
        __builtin_prefetch(cursor.keyframe_moves);
        // History reaches back past the row's keyframe: the replay starts
        // from the one before it in the run, when there is one.
        if (history && cursor.keyframe_row > first_row_[cursor.run]) {
            __builtin_prefetch(cursor.frame - KEYFRAME_BYTES);
            const std::uint64_t back = std::min<std::uint64_t>(KEYFRAME_PLIES, cursor.keyframe_row - first_row_[cursor.run]);
            __builtin_prefetch(cursor.keyframe_moves - back);
        }
    };
    for (std::size_t i = 0; i < std::min(AHEAD, count); ++i) fetch(i);

    // The replay's state between rows: the row it stands at, the run it is
    // replaying, its first row, and that run's words.
    bool replayed = false;
    std::uint64_t base = 0, current = 0, segment_end = 0, words_row = 0;
    std::size_t run = 0;
    const std::uint16_t* words = nullptr;
    const std::uint16_t* base_words = nullptr;

    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t row = indices[i];
        const Cursor cursor = cursors[i % AHEAD];
        if (i + AHEAD < count) fetch(i + AHEAD);
        const std::uint64_t run_first = first_row_[cursor.run];

        // The view is the row's side to move, known before the replay from
        // its keyframe's: each row of a run is its predecessor played on,
        // and every move passes the turn.
        const unsigned turn = (cursor.frame[32] & 1) ^ ((row - cursor.keyframe_row) & 1);
        const bool flip = mover_view && turn == 1;
        std::uint8_t* const row_out = out.planes ? out.planes + i * row_planes : nullptr;

        // The steps whose look-back is still to be done: every one, unless
        // the row follows the one just replayed in its run (rows in order).
        // Then one move plays it, and each earlier step is the previous
        // row's, its boards kept and its repetition known. Boards are kept
        // only when the next row follows this one.
        const bool keep = i + 1 < count && indices[i + 1] == row + 1;
        const bool continued = replayed && row == current + 1 && row < segment_end;
        unsigned fresh = steps;
        if (continued) {
            if (!replay.play(words[current - words_row])) [[unlikely]]
                refuse("the store is damaged: the move of row " + std::to_string(current) + " cannot be replayed");
            current = row;
            for (unsigned s = steps; s-- > 1;) {
                included[s] = included[s - 1];
                step_boards[s] = step_boards[s - 1];
                step_en_passant[s] = step_en_passant[s - 1];
                clocks[s] = clocks[s - 1];
                repeated[s] = repeated[s - 1];
            }
            step_boards[0] = replay.boards;
            step_en_passant[0] = replay.position.en_passant;
            clocks[0] = replay.position.halfmove_clock;
            if (history) {
                seen.resize(row - base + 1);
                seen[row - base] = replay.occupied();
            }
            fresh = 1;
        } else {
            // The history steps that are the game's earlier plies: all of
            // them when the row's run holds them, else the stretch of them
            // before the row, then any further one on its own.
            std::uint64_t first = row;
            included[0] = true;
            bool all_included = true;
            if (history) {
                if (row - run_first >= steps - 1) {
                    for (unsigned s = 1; s < steps; ++s) included[s] = true;
                    first = row - (steps - 1);
                } else {
                    const std::uint64_t stretch = row - earliest_in_game(row, steps - 1);
                    std::int64_t game = 0, ply = 0;
                    if (stretch + 1 < steps && stretch < row) game_and_ply(row, game, ply);
                    for (unsigned s = 1; s < steps; ++s) {
                        if (s <= stretch) {
                            included[s] = true;
                        } else if (s > row) {
                            included[s] = false;
                        } else {
                            std::int64_t g, p;
                            game_and_ply(row - s, g, p);
                            included[s] = g == game && p == ply - s;
                        }
                        if (included[s]) first = row - s;
                        all_included &= included[s];
                    }
                }
            }

            // One replay from the keyframe at or before the first row wanted
            // to the row, run after run: each run from its own keyframe. The
            // history steps' planes are written as it passes them, their
            // repetition planes clear: the look-back below sets the few that
            // repeat.
            Cursor from = cursor;
            if (first < run_first) {
                locate(first, from);
            } else if (first < cursor.keyframe_row) {
                // History reaches back KEYFRAME_PLIES rows at most: to the
                // run's keyframe before the row's.
                static_assert(encodings::MAX_HISTORY <= KEYFRAME_PLIES);
                const std::uint64_t previous =
                    cursor.keyframe_row - run_first > KEYFRAME_PLIES ? cursor.keyframe_row - KEYFRAME_PLIES : run_first;
                from.keyframe = cursor.keyframe - 1;
                from.frame = cursor.frame - KEYFRAME_BYTES;
                from.keyframe_moves = cursor.keyframe_moves - (cursor.keyframe_row - previous);
                from.keyframe_row = previous;
            }
            base = from.keyframe_row;
            // The words from row base on, when it is in the row's run.
            base_words = first >= run_first ? from.keyframe_moves : nullptr;
            if (history) seen.resize(row - base + 1);
            replay.odd_en_passant = false;
            replay.start(from.frame);
            if (history)
                origin = {replay.occupied(),
                          {replay.boards.planes[piece_of(true, KING) - 1], replay.boards.planes[piece_of(false, KING) - 1]},
                          replay.position.turn};
            run = from.run;
            segment_end = first_row_[run + 1];
            words = from.keyframe_moves;
            words_row = base;
            for (std::uint64_t at = base;; ++at) {
                if (history) seen[at - base] = replay.occupied();
                const std::uint64_t back = row - at;
                if (back < steps && included[back]) {
                    step_en_passant[back] = replay.position.en_passant;
                    if (history) clocks[back] = replay.position.halfmove_clock;
                    if (keep) step_boards[back] = replay.boards;
                    if (row_out) {
                        step.pieces(replay.boards, row_out + back * step_bytes, flip);
                        if (history) step.repeated(row_out + back * step_bytes, false);
                    }
                }
                if (at == row) break;
                if (at + 1 == segment_end) {
                    // The next run starts from its own keyframe, its first row's.
                    Cursor next;
                    locate_in(++run, at + 1, next);
                    replay.start(next.frame);
                    segment_end = first_row_[run + 1];
                    words = next.keyframe_moves;
                    words_row = at + 1;
                } else if (!replay.play(words[at - words_row])) [[unlikely]] {
                    refuse("the store is damaged: the move of row " + std::to_string(at) + " cannot be replayed");
                }
            }
            current = row;
            replayed = true;
            if (row_out && !all_included)
                for (unsigned s = 1; s < steps; ++s)
                    if (!included[s]) step.zeros(row_out + s * step_bytes);
        }
        const Position& position = replay.position;
        replay.boards.state = state_of(position, row);
        if (row_out && replay.odd_en_passant)
            for (unsigned s = 1; s < steps; ++s)
                if (included[s]) check_en_passant(step_en_passant[s], row - s);

        if (history) {
            // Each step's repetition looks back over the plies since its last
            // capture or pawn move, at the rows with its occupancy: the
            // replayed rows' is known, and that of the rows before them in
            // the row's run follows from move words. A row whose occupancy
            // agrees, or is not known, is compared in full (the rows before
            // the replay are then replayed on their own, once). Within one
            // run the side to move alternates row by row, so a row of the
            // step's run repeats it only an even number of rows back, two at
            // the least: steps whose look-back is shorter (most) are done. A
            // replay over several runs compares every row.
            const std::uint64_t stride = base_words ? 2 : 1;
            std::uint64_t start = row;
            unsigned candidates = 0;
            for (unsigned s = 0; s < fresh; ++s) {
                repeated[s] = false;
                const std::uint64_t q = row - s;
                const std::int32_t nearest = base_words && q > run_first ? 2 : 1;
                const auto clock = static_cast<std::int32_t>(clocks[s]);
                if (!included[s] || clock < nearest) continue;
                const auto reach = static_cast<std::uint64_t>(clock);
                earliest[s] = q >= run_first && q - run_first >= reach ? q - reach : earliest_in_game(q, reach);
                if (q - earliest[s] < static_cast<std::uint64_t>(nearest)) continue;
                candidates |= 1u << s;
                start = std::min(start, earliest[s]);
            }
            const std::uint64_t known = start < base ? occupancies_before(origin, base, base_words, run_first, start, occupied) : base;
            bool prefix_replayed = false;
            const auto position_of = [&](std::uint64_t at, Position& p) -> const Position& {
                if (at >= base) {
                    replay_rows(at, at, &p);
                    return p;
                }
                if (!prefix_replayed) {
                    prefix.resize(base - start);
                    replay_rows(start, base - 1, prefix.data());
                    prefix_replayed = true;
                }
                return prefix[at - start];
            };
            for (; candidates; candidates &= candidates - 1) {
                const auto s = static_cast<unsigned>(std::countr_zero(candidates));
                const std::uint64_t q = row - s;
                const Bitboard occupancy = seen[q - base];
                const Position* at_q = nullptr;
                const auto repeats_row = [&](std::uint64_t e) {
                    if (!at_q) at_q = &position_of(q, exact[1]);
                    return repeats(position_of(e, exact[0]), *at_q);
                };
                bool found = false;
                const std::uint64_t window_from = std::max(earliest[s], base);
                for (std::uint64_t back = stride; back <= q - window_from && !found; back += stride)
                    if (seen[q - back - base] == occupancy) [[unlikely]]
                        found = repeats_row(q - back);
                // Rows before the replay: before the run every one; within
                // it those an even number of rows back whose occupancy agrees
                // or is not known.
                for (std::uint64_t e = earliest[s]; e < std::min(run_first, base) && !found; ++e) found = repeats_row(e);
                const std::uint64_t in_run = std::max(earliest[s], run_first);
                for (std::uint64_t e = in_run + ((q - in_run) & 1); e < base && !found; e += 2)
                    if (e < known || occupied[e - start] == occupancy) found = repeats_row(e);
                repeated[s] = found;
                if (found && row_out && !continued) step.repeated(row_out + s * step_bytes, true);
            }
        }

        // A row gone on to: its steps' planes, each in its own view, from
        // the boards kept.
        if (row_out && continued)
            for (unsigned s = 0; s < steps; ++s) {
                std::uint8_t* const dst = row_out + s * step_bytes;
                if (!included[s]) {
                    step.zeros(dst);
                    continue;
                }
                step.pieces(step_boards[s], dst, flip);
                if (history) step.repeated(dst, repeated[s]);
            }

        fields.write(i, row, replay.boards, flip, position.turn, position.castling, position.en_passant,
                     position.halfmove_clock, position.fullmove_number,
                     cursor.keyframe_moves[row - cursor.keyframe_row], load<std::int64_t>(cursor.record),
                     static_cast<std::int8_t>(cursor.record[16]),
                     load<std::int32_t>(cursor.record + 8) + static_cast<std::int64_t>(row - run_first));
    }
    if (step.streams() || fields.streams()) encodings::stream_fence();
}

Decoded Store::decode_rows() const {
    Decoded decoded;
    decoded.placements.resize(rows_);
    decoded.rows.resize(rows_);

    // Each run replayed from its first keyframe, every row kept.
    Replay replay;
    for (std::size_t run = 0; run < run_count_; ++run) {
        Cursor cursor;
        locate_in(run, first_row_[run], cursor);
        replay.start(cursor.frame);
        const std::int64_t game = load<std::int64_t>(cursor.record), first_ply = load<std::int32_t>(cursor.record + 8);
        const std::uint64_t end = first_row_[run + 1];
        for (std::uint64_t row = first_row_[run];; ++row) {
            const Position& position = replay.position;
            Decoded::Placement& placement = decoded.placements[row];
            for (unsigned k = 0; k < 4; ++k) {
                Bitboard slice = 0;
                for (unsigned plane = 0; plane < PLANE_COUNT; ++plane)
                    if ((plane + 1) >> k & 1) slice |= replay.boards.planes[plane];
                placement.slices[k] = slice;
            }
            const std::uint16_t word = cursor.keyframe_moves[row - cursor.keyframe_row];
            Decoded::Row& r = decoded.rows[row];
            r = {};
            r.game = game;
            r.halfmove_clock = position.halfmove_clock;
            r.fullmove_number = position.fullmove_number;
            r.ply = static_cast<std::int32_t>(first_ply + static_cast<std::int64_t>(row - first_row_[run]));
            r.word = word;
            r.flags = static_cast<std::uint8_t>(position.turn | position.castling << 1);
            r.en_passant = position.en_passant;
            r.result = static_cast<std::int8_t>(cursor.record[16]);
            if (row + 1 == end) break;
            if (!replay.play(word)) [[unlikely]]
                refuse("the store is damaged: the move of row " + std::to_string(row) + " cannot be replayed");
        }
    }
    decoded.odd_en_passant = replay.odd_en_passant;

    // Each row's links to the rows before it, as encode_rows finds them: the
    // history steps that are its game's earlier plies, and whether each of
    // their positions (its own first) is one of its game's since its last
    // capture or pawn move.
    const auto repeats = [&](std::uint64_t row) {
        const Decoded::Row& here = decoded.rows[row];
        const auto clock = static_cast<std::int32_t>(here.halfmove_clock);
        if (clock > 0)
            for (std::uint64_t e = earliest_in_game(row, static_cast<std::uint64_t>(clock)); e < row; ++e) {
                const Decoded::Row& earlier = decoded.rows[e];
                if (earlier.flags == here.flags && earlier.en_passant == here.en_passant &&
                    decoded.placements[e].slices == decoded.placements[row].slices)
                    return true;
            }
        return false;
    };
    for (std::uint64_t row = 0; row < rows_; ++row) {
        Decoded::Row& here = decoded.rows[row];
        std::uint32_t links = repeats(row) ? 1u << Decoded::STEP_REPEATS : 0;
        for (unsigned s = 1; s <= encodings::MAX_HISTORY && s <= row; ++s) {
            const Decoded::Row& back = decoded.rows[row - s];
            if (back.game == here.game && back.ply == static_cast<std::int64_t>(here.ply) - s) {
                links |= 1u << s;
                // The step's own repetition, found when its row was linked.
                links |= (back.links >> Decoded::STEP_REPEATS & 1) << (Decoded::STEP_REPEATS + s);
            }
        }
        here.links = links;
    }
    return decoded;
}

namespace {

// A decoded row's position as the generator reads it.
encodings::Position position_of(const Decoded& decoded, std::uint64_t row) {
    const Decoded::Row& r = decoded.rows[row];
    Position p;  // the fields state_word reads
    p.turn = r.flags & 1;
    p.castling = r.flags >> 1;
    p.en_passant = r.en_passant;
    return {decoded.placements[row].planes(), state_word(p)};
}

}  // namespace

void list_legal_moves(const MoveGenerator& generator, Decoded& decoded, policy::Space space, bool mover_view) {
    const std::size_t rows = decoded.rows.size();
    // Every space and view lists as many moves a row: the first listed sets
    // where each row's start, the others find them set (and must not write
    // them while other threads read them).
    const bool first_listed = std::none_of(decoded.listed.begin(), decoded.listed.end(), [](bool b) { return b; });
    Decoded::Array<std::int16_t> indices;
    Board board(FenFields{Planes{}, WHITE_TO_MOVE});
    MoveList listed;
    const encodings::MoveIndices as_is(space, false), mirrored(space, true);
    for (std::size_t row = 0; row < rows; ++row) {
        const std::uint64_t start = indices.size();
        const encodings::Position position = position_of(decoded, row);
        board.planes = position.planes;
        board.state = position.state;
        generator.legal_moves(board, listed);
        const encodings::MoveIndices& view = mover_view && !position.white() ? mirrored : as_is;
        for (const ChessMove move : listed) indices.push_back(static_cast<std::int16_t>(view.of(move)));
        if (first_listed) {
            decoded.rows[row].legal_first = start;
            decoded.rows[row].legal_count = static_cast<std::uint16_t>(listed.size());
        }
    }
    indices.shrink_to_fit();
    const std::size_t slot = Decoded::slot(space, mover_view);
    decoded.legal[slot] = std::move(indices);
    decoded.listed[slot] = true;
}

void Store::encode(const Decoded& decoded, const std::uint64_t* indices, std::size_t count,
                   const MoveGenerator& generator, const encodings::Options& options, const encodings::Outputs& out,
                   const Outputs& rest, const Records& records) const {
    const Layout layout(options);
    const bool history = layout.history, mover_view = layout.mover_view;
    const unsigned steps = layout.steps;
    const std::size_t row_planes = layout.row_planes, step_bytes = layout.step_bytes;
    const StepWriter step(options, out.planes);
    RowFields fields(generator, options, out, rest);
    const bool listed = out.legal && decoded.lists(options);
    const std::int16_t* const legal =
        listed ? decoded.legal[Decoded::slot(*options.policy, mover_view)].data() : nullptr;
    const bool odd_en_passant = decoded.odd_en_passant;

    // Random rows miss the caches: each row's memory is fetched AHEAD rows
    // before it is read (its placement and the history steps', one stretch
    // of memory, and its legal moves); its fields, which say where its legal
    // moves are, twice as far ahead, so that they are at hand by then.
    constexpr std::size_t AHEAD = 12;
    const auto fetch = [&](std::size_t i) {
        const std::uint64_t row = indices[i];
        if (row >= rows_)
            refuse("index " + std::to_string(row) + " is out of range for " + std::to_string(rows_) + " positions");
        const std::uint64_t oldest = row - std::min<std::uint64_t>(row, steps - 1);
        const auto* first = reinterpret_cast<const char*>(decoded.placements.data() + oldest);
        const auto* last = reinterpret_cast<const char*>(decoded.placements.data() + row + 1);
        for (const char* p = first; p < last; p += 64) __builtin_prefetch(p);
        if (i + AHEAD < count) __builtin_prefetch(&decoded.rows[indices[i + AHEAD]]);
        if (records.data) {
            const std::uint8_t* record = records.data + row * records.stride;
            __builtin_prefetch(record);
            __builtin_prefetch(record + records.stride - 1);
        }
        if (listed) __builtin_prefetch(legal + decoded.rows[row].legal_first);
    };
    for (std::size_t i = 0; i < std::min(AHEAD, count); ++i) __builtin_prefetch(&decoded.rows[indices[i]]);
    for (std::size_t i = 0; i < std::min(AHEAD, count); ++i) fetch(i);

    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t row = indices[i];
        if (i + AHEAD < count) fetch(i + AHEAD);
        const Decoded::Row& r = decoded.rows[row];
        const std::uint32_t links = r.links;
        if (records.data) std::memcpy(records.out + i * records.stride, records.data + row * records.stride, records.stride);
        if (odd_en_passant) check_en_passant(r.en_passant, row);
        const bool flip = mover_view && (r.flags & 1);

        if (out.planes) {
            std::uint8_t* const row_out = out.planes + i * row_planes;
            for (unsigned s = 0; s < steps; ++s) {
                std::uint8_t* const dst = row_out + s * step_bytes;
                if (s > 0 && !(links >> s & 1)) {
                    step.zeros(dst);
                    continue;
                }
                if (odd_en_passant) check_en_passant(decoded.rows[row - s].en_passant, row - s);
                step.pieces(decoded.placements[row - s].slices.data(), dst, flip);
                if (history) step.repeated(dst, links >> (Decoded::STEP_REPEATS + s) & 1);
            }
        }
        // The position itself only for legal moves not listed.
        const encodings::Position position = out.legal && !listed ? position_of(decoded, row) : encodings::Position{};
        fields.write(i, row, position, flip, r.flags & 1, static_cast<std::uint8_t>(r.flags >> 1), r.en_passant,
                     r.halfmove_clock, r.fullmove_number, r.word, r.game, r.result, r.ply,
                     listed ? legal + r.legal_first : nullptr, listed ? legal + r.legal_first + r.legal_count : nullptr);
    }
    if (step.streams() || fields.streams()) encodings::stream_fence();
}

// ---------------------------------------------------------------- epoch order

namespace {

constexpr std::uint64_t mix(std::uint64_t x) {
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ULL;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

}  // namespace

Permutation::Permutation(std::uint64_t n, std::uint64_t seed, std::uint64_t epoch) : n_(n) {
    bits_ = n > 1 ? static_cast<unsigned>(std::bit_width(n - 1)) : 1;
    mask_ = bits_ == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits_) - 1;
    shift_ = bits_ > 1 ? bits_ / 2 : 1;
    std::uint64_t state = mix(seed ^ 0x243F6A8885A308D3ULL) ^ mix(epoch + 0x13198A2E03707344ULL);
    for (Round& round : rounds_) {
        round.multiplier = (state = mix(state + 0x9E3779B97F4A7C15ULL)) | 1;
        round.addend = state = mix(state + 0x9E3779B97F4A7C15ULL);
    }
}

// Each step is a bijection of [0, 2^bits): rounds of a multiplication by an
// odd number and an addition (mod 2^bits), then an xor with the value's own
// high half, which carries the high bits down. Walking the cycle from i
// until it lands below n permutes [0, n); 2^bits < 2n, so under two steps on
// average.
std::uint64_t Permutation::step(std::uint64_t x) const {
    for (const Round& round : rounds_) {
        x = (x * round.multiplier + round.addend) & mask_;
        x ^= x >> shift_;
    }
    return x;
}

std::uint64_t Permutation::operator()(std::uint64_t i) const {
    std::uint64_t x = i;
    do x = step(x);
    while (x >= n_);
    return x;
}

void Permutation::fill(std::uint64_t first, std::size_t count, std::uint64_t* out) const {
    // Each pass steps every walk still outside once and lists those that
    // stay outside: where a walk lands is random, so a loop per walk would
    // mispredict its end about once an index. (A copy: the outputs could
    // alias the members, which would be read again at every step.)
    const Permutation p = *this;
    constexpr std::size_t CHUNK = 256;
    std::uint16_t outside[CHUNK];
    for (std::size_t at = 0; at < count; at += CHUNK) {
        const std::size_t m = std::min(CHUNK, count - at);
        std::uint64_t* const x = out + at;
        std::size_t k = 0;
        for (std::size_t j = 0; j < m; ++j) {
            const std::uint64_t y = p.step(first + at + j);
            x[j] = y;
            outside[k] = static_cast<std::uint16_t>(j);
            k += y >= p.n_;
        }
        while (k) {
            std::size_t still = 0;
            for (std::size_t t = 0; t < k; ++t) {
                const std::size_t j = outside[t];
                const std::uint64_t y = p.step(x[j]);
                x[j] = y;
                outside[still] = static_cast<std::uint16_t>(j);
                still += y >= p.n_;
            }
            k = still;
        }
    }
}

void epoch_indices(std::uint64_t n, bool shuffle, std::uint64_t seed, std::uint64_t epoch, std::uint64_t rank,
                   std::uint64_t world_size, std::uint64_t start, std::size_t count, std::uint64_t* out) {
    if (world_size == 0) refuse("world_size must be at least 1");
    const std::uint64_t part = n / world_size;
    if (rank >= world_size || start > part || count > part - start) refuse("the positions asked for are outside the part");
    const std::uint64_t first = rank * part + start;
    if (!shuffle) {
        for (std::size_t i = 0; i < count; ++i) out[i] = first + i;
        return;
    }
    Permutation(n, seed, epoch).fill(first, count, out);
}

}  // namespace velmor::store
