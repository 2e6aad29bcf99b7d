#include "encodings/mod.hpp"

#include <array>
#include <bit>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "encode/mod.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace velmor::encodings {

namespace {

// ---- the plane writer and the board's bitboards, a vector at a time.
// The module is built for any x86-64, so the AVX2 forms are chosen when the
// processor has them, once; SSE2 is every x86-64's; other machines take the
// rank table.

// Eight bytes of 0/1, lowest file first, for each byte value: one rank.
constexpr std::array<std::uint64_t, 256> RANK_BYTES = [] {
    std::array<std::uint64_t, 256> table{};
    for (unsigned value = 0; value < 256; ++value)
        for (unsigned file = 0; file < 8; ++file)
            if (value >> file & 1) table[value] |= std::uint64_t{1} << (8 * file);
    return table;
}();

Bitboard mirror_bb(Bitboard b) { return __builtin_bswap64(b); }

// The board the view shows as plane `plane`: reflected, the other colour's
// plane mirrored top to bottom (a byte swap: byte r is rank r).
inline Bitboard viewed_board(const Bitboard* boards, unsigned plane, bool flip) {
    return flip ? mirror_bb(boards[(plane + PIECE_TYPES) % PLANE_COUNT]) : boards[plane];
}

void write_boards_table(const Bitboard* boards, bool flip, std::uint8_t* out) {
    for (unsigned plane = 0; plane < PLANE_COUNT; ++plane) {
        const Bitboard board = viewed_board(boards, plane, flip);
        for (unsigned rank = 0; rank < 8; ++rank) {
            const std::uint64_t bytes = RANK_BYTES[(board >> (8 * rank)) & 0xFF];
            std::memcpy(out + 64 * plane + 8 * rank, &bytes, 8);
        }
    }
}

// Twelve planes packed, each its bitboard's 8 bytes little-endian (byte r
// is rank r), in the view.
void packed_plain(const Bitboard* boards, bool flip, std::uint8_t* out) {
    for (unsigned plane = 0; plane < PLANE_COUNT; ++plane) {
        Bitboard bytes = viewed_board(boards, plane, flip);
        if constexpr (std::endian::native == std::endian::big) bytes = __builtin_bswap64(bytes);
        std::memcpy(out + 8 * plane, &bytes, 8);
    }
}

void packed_slices_plain(const Bitboard* slices, bool flip, std::uint8_t* out) {
    Planes planes;
    planes_of_slices(slices, planes);
    packed_plain(planes.data(), flip, out);
}

void boards_of_squares_scalar(const std::uint8_t* squares, Bitboard* boards) {
    Bitboard by_code[16] = {};
    for (unsigned square = 0; square < 64; ++square) by_code[squares[square] & 15] |= square_bb(square);
    for (unsigned plane = 0; plane < PLANE_COUNT; ++plane) boards[plane] = by_code[plane + 1];
}

#if defined(__x86_64__)
// Each square's byte, holding its rank's byte of the bitboard, keeps its
// file's bit: the masks 1, 2, .., 128 repeated.
constexpr std::uint64_t FILE_BITS = 0x8040201008040201ULL;

// Writes the planes with plain stores, or, Stream, with stores that bypass
// the cache, for a batch written once and read later: a row's planes are
// whole cache lines, and these stores write them without first reading them
// in (`out` then 32-byte aligned).
template <bool Stream>
void boards_sse2(const Bitboard* boards, bool flip, std::uint8_t* out) {
    const __m128i bits = _mm_set1_epi64x(static_cast<long long>(FILE_BITS));
    const __m128i one = _mm_set1_epi8(1);
    for (unsigned plane = 0; plane < PLANE_COUNT; ++plane, out += 64) {
        // Each rank's byte spread over its eight squares by unpacking.
        const __m128i b = _mm_cvtsi64_si128(static_cast<long long>(viewed_board(boards, plane, flip)));
        const __m128i b8 = _mm_unpacklo_epi8(b, b);
        const __m128i low = _mm_unpacklo_epi16(b8, b8), high = _mm_unpackhi_epi16(b8, b8);
        const __m128i ranks[4] = {_mm_unpacklo_epi32(low, low), _mm_unpackhi_epi32(low, low),
                                  _mm_unpacklo_epi32(high, high), _mm_unpackhi_epi32(high, high)};
        for (unsigned k = 0; k < 4; ++k) {
            auto* to = reinterpret_cast<__m128i*>(out + 16 * k);
            const __m128i squares = _mm_min_epu8(_mm_and_si128(ranks[k], bits), one);
            if constexpr (Stream) _mm_stream_si128(to, squares);
            else _mm_storeu_si128(to, squares);
        }
    }
}

template <bool Stream>
__attribute__((target("avx2"))) void boards_avx2(const Bitboard* boards, bool flip, std::uint8_t* out) {
    const __m256i bits = _mm256_set1_epi64x(static_cast<long long>(FILE_BITS));
    const __m256i one = _mm256_set1_epi8(1);
    // Within each 128-bit lane (both hold the bitboard): ranks 0-1 | 2-3, and
    // 4-5 | 6-7; reflected, each rank taken from the mirrored byte 7 - r,
    // and the other colour's planes read.
    const __m256i ranks = _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1,  //
                                           2, 2, 2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3);
    const __m256i low = flip ? _mm256_sub_epi8(_mm256_set1_epi8(7), ranks) : ranks;
    const __m256i high = flip ? _mm256_sub_epi8(_mm256_set1_epi8(3), ranks) : _mm256_add_epi8(ranks, _mm256_set1_epi8(4));
    const Bitboard* const colours[2] = {boards + (flip ? PIECE_TYPES : 0), boards + (flip ? 0 : PIECE_TYPES)};
    for (const Bitboard* colour : colours)
        for (unsigned type = 0; type < PIECE_TYPES; ++type, out += 64) {
            const __m256i b = _mm256_set1_epi64x(static_cast<long long>(colour[type]));
            for (unsigned half = 0; half < 2; ++half) {
                auto* to = reinterpret_cast<__m256i*>(out + 32 * half);
                const __m256i squares = _mm256_min_epu8(_mm256_and_si256(_mm256_shuffle_epi8(b, half ? high : low), bits), one);
                if constexpr (Stream) _mm256_stream_si256(to, squares);
                else _mm256_storeu_si256(to, squares);
            }
        }
}

// packed_plain four planes a vector: reflected, each colour's six planes
// taken from the other's and every bitboard's bytes reversed.
__attribute__((target("avx2"))) void packed_avx2(const Bitboard* boards, bool flip, std::uint8_t* out) {
    if (!flip) {
        for (unsigned at = 0; at < PLANE_COUNT; at += 4)
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 8 * at),
                                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(boards + at)));
        return;
    }
    const __m128i reverse2 = _mm_setr_epi8(7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8);
    const __m256i reverse4 = _mm256_broadcastsi128_si256(reverse2);
    for (unsigned colour = 0; colour < 2; ++colour) {
        const Bitboard* from = boards + (colour ? 0 : PIECE_TYPES);
        std::uint8_t* to = out + 8 * PIECE_TYPES * colour;
        const __m256i four = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from));
        const __m128i two = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 4));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(to), _mm256_shuffle_epi8(four, reverse4));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 32), _mm_shuffle_epi8(two, reverse2));
    }
}

// For each group of four planes a vector holds, as packed_avx2 writes them
// (in the view: reflected, the other colour's codes), and each code bit k:
// all ones in a plane's lane where its code has bit k clear. A plane is then
// the AND over k of slice k XOR its mask.
struct SliceMasks {
    alignas(32) std::uint64_t lanes[2][3][4][4];
};
constexpr SliceMasks SLICE_MASKS = [] {
    SliceMasks masks{};
    for (unsigned flip = 0; flip < 2; ++flip)
        for (unsigned plane = 0; plane < PLANE_COUNT; ++plane) {
            const unsigned code = (flip ? (plane + PIECE_TYPES) % PLANE_COUNT : plane) + 1;
            for (unsigned k = 0; k < 4; ++k)
                masks.lanes[flip][plane / 4][k][plane % 4] = (code >> k & 1) ? 0 : ~std::uint64_t{0};
        }
    return masks;
}();

__attribute__((target("avx2"))) void packed_slices_avx2(const Bitboard* slices, bool flip, std::uint8_t* out) {
    const __m256i reverse4 = _mm256_setr_epi8(7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2,
                                              1, 0, 15, 14, 13, 12, 11, 10, 9, 8);
    __m256i slice[4];
    for (unsigned k = 0; k < 4; ++k) slice[k] = _mm256_set1_epi64x(static_cast<long long>(slices[k]));
    for (unsigned group = 0; group < 3; ++group) {
        const auto& masks = SLICE_MASKS.lanes[flip][group];
        __m256i four = _mm256_set1_epi64x(-1);
        for (unsigned k = 0; k < 4; ++k)
            four = _mm256_and_si256(
                four, _mm256_xor_si256(slice[k], _mm256_load_si256(reinterpret_cast<const __m256i*>(masks[k]))));
        if (flip) four = _mm256_shuffle_epi8(four, reverse4);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32 * group), four);
    }
}

void boards_of_squares_sse2(const std::uint8_t* squares, Bitboard* boards) {
    __m128i s[4];
    for (unsigned k = 0; k < 4; ++k) s[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(squares + 16 * k));
    for (unsigned plane = 0; plane < PLANE_COUNT; ++plane) {
        const __m128i code = _mm_set1_epi8(static_cast<char>(plane + 1));
        Bitboard b = 0;
        for (unsigned k = 0; k < 4; ++k)
            b |= static_cast<Bitboard>(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(s[k], code)))) << (16 * k);
        boards[plane] = b;
    }
}

__attribute__((target("avx2"))) void boards_of_squares_avx2(const std::uint8_t* squares, Bitboard* boards) {
    const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(squares));
    const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(squares + 32));
    for (unsigned plane = 0; plane < PLANE_COUNT; ++plane) {
        const __m256i code = _mm256_set1_epi8(static_cast<char>(plane + 1));
        boards[plane] = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(low, code))) |
                        static_cast<Bitboard>(static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(high, code)))) << 32;
    }
}

inline void copy16(std::uint8_t* out, const std::uint8_t* in) {
    _mm_stream_si128(reinterpret_cast<__m128i*>(out), _mm_load_si128(reinterpret_cast<const __m128i*>(in)));
}

// Copies with stores past the cache, `out` and `in` 16-byte aligned,
// `bytes` a multiple of 16; unrolled, since a mask is thousands of bytes.
void stream_copy_sse2(std::uint8_t* out, const std::uint8_t* in, std::size_t bytes) {
    const std::uint8_t* end = in + bytes;
    for (; end - in >= 64; out += 64, in += 64) {
        copy16(out, in);
        copy16(out + 16, in + 16);
        copy16(out + 32, in + 32);
        copy16(out + 48, in + 48);
    }
    for (; in != end; out += 16, in += 16) copy16(out, in);
}

__attribute__((target("avx2"))) inline void copy32(std::uint8_t* out, const std::uint8_t* in) {
    _mm256_stream_si256(reinterpret_cast<__m256i*>(out), _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in)));
}

// The same in 32-byte stores: a 16-byte one first where `out` is not
// 32-byte aligned (every other row of a "uci" mask, 1,968 bytes), and one
// last where the rest is not a multiple of 32.
__attribute__((target("avx2"))) void stream_copy_avx2(std::uint8_t* out, const std::uint8_t* in, std::size_t bytes) {
    const std::uint8_t* end = in + bytes;
    if (reinterpret_cast<std::uintptr_t>(out) & 16 && bytes >= 16) {
        copy16(out, in);
        out += 16, in += 16;
    }
    // Pointers stepped, so that each copy's offset is its instructions' own,
    // and the steps counted down.
    for (std::size_t steps = static_cast<std::size_t>(end - in) / 256; steps; --steps, out += 256, in += 256) {
        copy32(out, in);
        copy32(out + 32, in + 32);
        copy32(out + 64, in + 64);
        copy32(out + 96, in + 96);
        copy32(out + 128, in + 128);
        copy32(out + 160, in + 160);
        copy32(out + 192, in + 192);
        copy32(out + 224, in + 224);
    }
    for (; end - in >= 32; out += 32, in += 32) copy32(out, in);
    if (in != end) copy16(out, in);
}
#endif

void copy_plain(std::uint8_t* out, const std::uint8_t* in, std::size_t bytes) { std::memcpy(out, in, bytes); }

// Every form this machine runs, the fastest first.
std::vector<Kernels> runnable_kernels() {
    std::vector<Kernels> kernels;
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2"))
        kernels.push_back({"avx2", boards_avx2<false>, boards_avx2<true>, packed_avx2, boards_of_squares_avx2,
                           stream_copy_avx2, packed_slices_avx2});
    kernels.push_back({"sse2", boards_sse2<false>, boards_sse2<true>, packed_plain, boards_of_squares_sse2,
                       stream_copy_sse2, packed_slices_plain});
#endif
    kernels.push_back({"table", write_boards_table, write_boards_table, packed_plain, boards_of_squares_scalar,
                       copy_plain, packed_slices_plain});
    return kernels;
}

const std::vector<Kernels> KERNELS = runnable_kernels();
const Kernels& FASTEST = KERNELS.front();

}  // namespace

const std::vector<Kernels>& kernels() { return KERNELS; }

void boards_of_squares(const std::uint8_t* squares, Planes& planes) { FASTEST.boards_of_squares(squares, planes.data()); }

void write_packed_slices(const Bitboard* slices, bool flip, std::uint8_t* out) { FASTEST.packed_slices(slices, flip, out); }

namespace {

// Eight bytes of 0/1, lowest file first, to the rank's byte of a bitboard.
Bitboard rank_bits(const std::uint8_t* bytes) {
    std::uint64_t word;
    std::memcpy(&word, bytes, 8);
    return (word * 0x0102040810204080ULL) >> 56;
}

[[noreturn]] void bad_row(std::size_t row, const char* what) {
    throw InvalidInput("row " + std::to_string(row) + ": " + what);
}

Position position_of(const Columns& c, std::size_t row) {
    Position p{};
    const std::uint8_t* planes = c.planes + row * encode::PLANE_BYTES;
    for (unsigned plane = 0; plane < PLANE_COUNT; ++plane)
        for (unsigned rank = 0; rank < 8; ++rank)
            p.planes[plane] |= rank_bits(planes + 64 * plane + 8 * rank) << (8 * rank);
    const unsigned turn = c.turn[row];
    if (turn > 1) bad_row(row, "turn is neither 0 nor 1");
    p.state = turn == 0 ? WHITE_TO_MOVE : 0;
    for (unsigned right = 0; right < 4; ++right) {
        const std::uint8_t bit = c.castling[4 * row + right];
        if (bit > 1) bad_row(row, "a castling right is neither 0 nor 1");
        p.state |= std::uint64_t{bit} << (WHITE_KING_SIDE + right);
    }
    const int file = c.en_passant[row];
    if (file > 7 || file < -1) bad_row(row, "en_passant is no file");
    if (file >= 0) p.state |= std::uint64_t{1} << (en_passant_set(turn == 0) + static_cast<unsigned>(file));
    return p;
}

// Whether row `back` rows before `row` is its game's position that many plies earlier.
bool earlier_in_game(const Columns& c, std::size_t row, std::size_t back) {
    if (back > row) return false;
    const std::size_t earlier = row - back;
    return c.game[earlier] == c.game[row] &&
           static_cast<std::int64_t>(c.ply[earlier]) == static_cast<std::int64_t>(c.ply[row]) - static_cast<std::int64_t>(back);
}

}  // namespace

// The view is taken as the planes are written, from the position's own
// bitboards: they were just written word by word, and a copy would wait
// for those stores to reach the cache.
void write_step(const Position& position, bool flip, std::uint8_t* out) {
    FASTEST.write_boards(position.planes.data(), flip, out);
}

void write_packed_step(const Position& position, bool flip, std::uint8_t* out) {
    FASTEST.write_packed(position.planes.data(), flip, out);
}

void stream_step(const Position& position, bool flip, std::uint8_t* out) {
    FASTEST.stream_boards(position.planes.data(), flip, out);
}

void stream_fill(std::uint8_t* out, std::uint8_t value, std::size_t bytes) {
#if defined(__x86_64__)
    const __m128i v = _mm_set1_epi8(static_cast<char>(value));
    for (std::size_t at = 0; at < bytes; at += 16) _mm_stream_si128(reinterpret_cast<__m128i*>(out + at), v);
#else
    std::memset(out, value, bytes);
#endif
}

void stream_copy(std::uint8_t* out, const std::uint8_t* in, std::size_t bytes) { FASTEST.stream_copy(out, in, bytes); }

void stream_fence() {
#if defined(__x86_64__)
    _mm_sfence();
#endif
}

namespace {

// Calls mark(index) with the index of each move that the space holds (all
// of a legal position's), in the view.
template <class Mark>
inline void mark_moves(const MoveList& moves, policy::Space space, bool flip, Mark mark) {
    const MoveIndices indices(space, flip);
#pragma GCC unroll 4
    for (const ChessMove move : moves) {
        const std::ptrdiff_t index = indices.of(move);
        if (index >= 0) [[likely]]
            mark(index);
    }
}

// The pointer as the compiler cannot see through: left to itself, it would
// add the table's address and its space's offset again in every lookup of a
// loop, where one register can hold their sum.
template <class T>
inline T* opaque(T* p) {
#if defined(__GNUC__)
    asm("" : "+r"(p));
#endif
    return p;
}

// A pawn target's pawn as the view shows it, by side (White 1) and step:
// from - to at the viewed squares. The step's file change is kept, its rank
// change turned round when mirrored; the key from | to << 6 is then
// to * 65 + (from - to).
template <bool Flip>
constexpr std::array<std::array<std::ptrdiff_t, 4>, 2> PAWN_BACK = [] {
    std::array<std::array<std::ptrdiff_t, 4>, 2> back{};
    for (const bool white : {false, true})
        for (unsigned kind = 0; kind < 4; ++kind) {
            const int step = LegalTargets::pawn_steps(white)[kind];
            const int file_step = kind == LegalTargets::CAPTURE_WEST ? -1 : kind == LegalTargets::CAPTURE_EAST ? 1 : 0;
            back[white][kind] = Flip ? step - 2 * file_step : -step;
        }
    return back;
}();

// As mark_moves, for the moves of target sets. Every target of a piece but a
// pawn, and of a pawn short of the last rank, is a queen's or a knight's
// move, which each space indexes: one lookup, no test. In the mirrored view
// the sets are mirrored (a byte swap) and the pieces' squares with them, so
// that each lookup is the plain table's at the viewed squares. A pawn's
// target on the last rank stands for four promotions: the general path.
template <bool Flip, class Mark>
inline void mark_viewed_targets(const LegalTargets& legal, bool white, policy::Space space, Mark mark) {
    const std::int16_t* const table = policy::move_indices(space);  // by from | to << 6
    const auto view = [](Bitboard b) { return Flip ? mirror_bb(b) : b; };
    for (Bitboard movers = legal.movers; movers;) {
        const unsigned from = pop_lsb(movers);
        const std::int16_t* const moves_from = opaque(table + viewed_square(from, Flip));
        for (Bitboard targets = view(legal.targets[from]); targets;) mark(moves_from[pop_lsb(targets) << 6]);
    }
    const Bitboard last_rank = rank_bb(white ? 7 : 0);
    const std::int16_t* const moves_to = opaque(table);
    Bitboard promotions = 0;
#pragma GCC unroll 4
    for (unsigned kind = 0; kind < 4; ++kind) {
        const Bitboard targets = legal.pawn_targets[kind];
        promotions |= targets & last_rank;
        const std::ptrdiff_t back = PAWN_BACK<Flip>[white][kind];
        for (Bitboard rest = view(targets & ~last_rank); rest;)
            mark(moves_to[static_cast<std::ptrdiff_t>(pop_lsb(rest)) * 65 + back]);
    }
    if (!promotions) [[likely]]
        return;
    for (unsigned kind = 0; kind < 4; ++kind) {
        const int step = LegalTargets::pawn_steps(white)[kind];
        for (Bitboard rest = legal.pawn_targets[kind] & last_rank; rest;) {
            const unsigned to = pop_lsb(rest);
            const unsigned from = static_cast<unsigned>(static_cast<int>(to) - step);
            for (unsigned code = 1; code <= 4; ++code)
                if (const std::int32_t index = policy::index(space, viewed_square(from, Flip), viewed_square(to, Flip), code);
                    index >= 0)
                    mark(index);
        }
    }
}

template <class Mark>
inline void mark_targets(const LegalTargets& legal, bool white, policy::Space space, bool flip, Mark mark) {
    if (flip) mark_viewed_targets<true>(legal, white, space, mark);
    else mark_viewed_targets<false>(legal, white, space, mark);
}

// The most marks of target sets: 64 pieces at most, none with more than a
// queen's 27 (a pawn has 4 targets at most, 12 marks when it promotes; a
// king 8 steps and 2 castlings).
constexpr std::size_t MOST_MARKS = 64 * 27;

// A mask bit or byte per index.
template <bool Packed>
void set_index(std::uint8_t* mask, std::ptrdiff_t index) {
    if constexpr (Packed) mask[index >> 3] |= static_cast<std::uint8_t>(1u << (index & 7));
    else mask[index] = 1;
}

// The mask from the move list, for the boards the target sets do not cover.
void write_listed(const MoveGenerator& generator, const Position& position, bool flip, const Options& options,
                  Board& board, MoveList& moves, std::uint8_t* mask) {
    board.planes = position.planes;
    board.state = position.state;
    generator.legal_moves(board, moves);
    if (options.packed_mask)
        mark_moves(moves, *options.policy, flip, [mask](std::ptrdiff_t index) { set_index<true>(mask, index); });
    else
        mark_moves(moves, *options.policy, flip, [mask](std::ptrdiff_t index) { set_index<false>(mask, index); });
}

// The mask's bits or bytes of the indices.
template <bool Packed>
void mark_indices(const std::int16_t* first, const std::int16_t* last, std::uint8_t* mask) {
#pragma GCC unroll 4
    for (const std::int16_t index : std::span(first, last))
        if (index >= 0) [[likely]]
            set_index<Packed>(mask, index);
}

}  // namespace

void write_legal(const MoveGenerator& generator, const Position& position, bool flip, const Options& options,
                 Board& board, MoveList& moves, std::uint8_t* mask) {
    std::memset(mask, 0, mask_bytes(options));
    LegalTargets legal;
    if (!generator.legal_targets(position.planes, position.state, legal)) [[unlikely]] {
        write_listed(generator, position, flip, options, board, moves, mask);
        return;
    }
    if (options.packed_mask)
        mark_targets(legal, position.white(), *options.policy, flip,
                     [mask](std::ptrdiff_t index) { set_index<true>(mask, index); });
    else
        mark_targets(legal, position.white(), *options.policy, flip,
                     [mask](std::ptrdiff_t index) { set_index<false>(mask, index); });
}

void stream_legal(const MoveGenerator& generator, const Position& position, bool flip, const Options& options,
                  Board& board, MoveList& moves, std::uint8_t* scratch, std::uint8_t* mask) {
    const std::size_t bytes = mask_bytes(options);
    LegalTargets legal;
    if (!generator.legal_targets(position.planes, position.state, legal)) [[unlikely]] {
        // Odd boards (overlapping planes, many kings) may list any number of
        // moves: the whole scratch is cleared after them.
        write_listed(generator, position, flip, options, board, moves, scratch);
        stream_copy(mask, scratch, bytes);
        std::memset(scratch, 0, bytes);
        return;
    }
    // The scratch is cleared again where it was set: fewer instructions would
    // zero it in the copy's pass, but the stores mixed with the streaming
    // ones make the copy slower.
    std::uint16_t set[MOST_MARKS];
    std::size_t count = 0;
    mark_targets(legal, position.white(), *options.policy, flip, [&](std::ptrdiff_t index) {
        scratch[index] = 1;
        set[count++] = static_cast<std::uint16_t>(index);
    });
    stream_copy(mask, scratch, bytes);
#pragma GCC unroll 4
    for (std::size_t i = 0; i < count; ++i) scratch[set[i]] = 0;
}

void write_legal(const std::int16_t* first, const std::int16_t* last, const Options& options, std::uint8_t* mask) {
    std::memset(mask, 0, mask_bytes(options));
    if (options.packed_mask)
        mark_indices<true>(first, last, mask);
    else
        mark_indices<false>(first, last, mask);
}

void stream_legal(const std::int16_t* first, const std::int16_t* last, const Options& options, std::uint8_t* scratch,
                  std::uint8_t* mask) {
    mark_indices<false>(first, last, scratch);
    stream_copy(mask, scratch, mask_bytes(options));
    // The scratch cleared again where it was set.
    for (const std::int16_t index : std::span(first, last))
        if (index >= 0) scratch[index] = 0;
}

void encode_rows(const MoveGenerator& generator, const Columns& c, const Options& options, const Outputs& out) {
    const bool history = options.history >= 0;
    const unsigned steps = history ? static_cast<unsigned>(options.history) + 1 : 1;
    const std::size_t plane = plane_bytes(options), row_planes = row_plane_bytes(options);
    const std::uint8_t repetition = repetition_byte(options);
    const std::size_t row_mask = mask_bytes(options);

    std::vector<Position> positions(c.rows);
    for (std::size_t row = 0; row < c.rows; ++row) positions[row] = position_of(c, row);

    // A position repeats one earlier in its game; only the plies since the
    // last capture or pawn move can hold it.
    std::vector<std::uint8_t> repeated;
    if (history) {
        repeated.assign(c.rows, 0);
        for (std::size_t row = 0; row < c.rows; ++row) {
            const std::size_t reach = c.halfmove_clock[row] > 0 ? static_cast<std::size_t>(c.halfmove_clock[row]) : 0;
            for (std::size_t back = 1; back <= reach && earlier_in_game(c, row, back); back += 1)
                if (positions[row - back] == positions[row]) {
                    repeated[row] = 1;
                    break;
                }
        }
    }

    Board board(FenFields{positions.empty() ? Planes{} : positions[0].planes, WHITE_TO_MOVE});
    MoveList moves;
    for (std::size_t row = 0; row < c.rows; ++row) {
        const Position& position = positions[row];
        const bool flip = options.view == View::mover && !position.white();

        if (out.planes) {
            std::uint8_t* dst = out.planes + row * row_planes;
            for (unsigned step = 0; step < steps; ++step, dst += (history ? STEP_PLANES : PLANE_COUNT) * plane) {
                if (step > 0 && !earlier_in_game(c, row, step)) {
                    std::memset(dst, 0, STEP_PLANES * plane);
                    continue;
                }
                if (options.packed_planes)
                    write_packed_step(positions[row - step], flip, dst);
                else
                    write_step(positions[row - step], flip, dst);
                if (history) std::memset(dst + PLANE_COUNT * plane, repeated[row - step] ? repetition : 0, plane);
            }
        }
        if (out.turn) out.turn[row] = flip ? 0 : c.turn[row];
        if (out.castling) {
            const std::uint8_t* rights = c.castling + 4 * row;
            const unsigned first = flip ? 2 : 0;
            for (unsigned i = 0; i < 4; ++i) out.castling[4 * row + i] = rights[(i + first) % 4];
        }
        const bool has_move = c.move_from[row] >= 0 && c.move_to[row] >= 0;
        if (has_move && (c.move_from[row] > 63 || c.move_to[row] > 63)) bad_row(row, "a move square is off the board");
        if (c.move_promotion[row] > 4) bad_row(row, "move_promotion is no promotion code");
        const unsigned from = has_move ? viewed_square(static_cast<unsigned>(c.move_from[row]), flip) : 0;
        const unsigned to = has_move ? viewed_square(static_cast<unsigned>(c.move_to[row]), flip) : 0;
        if (out.move_from) out.move_from[row] = has_move ? static_cast<std::int8_t>(from) : c.move_from[row];
        if (out.move_to) out.move_to[row] = has_move ? static_cast<std::int8_t>(to) : c.move_to[row];
        if (out.policy)
            out.policy[row] = has_move ? policy::index(*options.policy, from, to, c.move_promotion[row]) : -1;

        if (out.legal) write_legal(generator, position, flip, options, board, moves, out.legal + row * row_mask);
    }
}

}  // namespace velmor::encodings
