// Legal move generation: magic-multiplier slider tables, king and knight
// jumps from offset tables, the attack test, and the legal listing: the
// candidate moves against a target mask, then a legality pass over the moves
// that can be illegal, with making and testing each move as the reference;
// and the same moves as target sets, square by square.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "board/mod.hpp"
#include "chess_move/mod.hpp"
#include "common/mod.hpp"

namespace velmor {

inline constexpr std::array<std::uint64_t, 64> ROOK_MAGICS = {
    0x0A8002C000108020, 0x06C00049B0002001, 0x0100200010090040, 0x2480041000800801,  // a1-d1
    0x0280028004000800, 0x0900410008040022, 0x0280020001001080, 0x2880002041000080,  // e1-h1
    0xA000800080400034, 0x0004808020004000, 0x2290802004801000, 0x0411000D00100020,  // a2-d2
    0x0402800800040080, 0x000B000401004208, 0x2409000100040200, 0x0001002100004082,  // e2-h2
    0x0022878001E24000, 0x1090810021004010, 0x0801030040200012, 0x0500808008001000,  // a3-d3
    0x0A08018014000880, 0x8000808004000200, 0x0201008080010200, 0x0801020000441091,  // e3-h3
    0x0000800080204005, 0x1040200040100048, 0x0000120200402082, 0x0D14880480100080,  // a4-d4
    0x0012040280080080, 0x0100040080020080, 0x9020010080800200, 0x0813241200148449,  // e4-h4
    0x0491604001800080, 0x0100401000402001, 0x4820010021001040, 0x0400402202000812,  // a5-d5
    0x0209009005000802, 0x0810800601800400, 0x4301083214000150, 0x204026458E001401,  // e5-h5
    0x0040204000808000, 0x8001008040010020, 0x8410820820420010, 0x1003001000090020,  // a6-d6
    0x0804040008008080, 0x0012000810020004, 0x1000100200040208, 0x430000A044020001,  // e6-h6
    0x0280009023410300, 0x00E0100040002240, 0x0000200100401700, 0x2244100408008080,  // a7-d7
    0x0008000400801980, 0x0002000810040200, 0x8010100228810400, 0x2000009044210200,  // e7-h7
    0x4080008040102101, 0x0040002080411D01, 0x2005524060000901, 0x0502001008400422,  // a8-d8
    0x489A000810200402, 0x0001004400080A13, 0x4000011008020084, 0x0026002114058042,  // e8-h8
};

inline constexpr std::array<std::uint64_t, 64> BISHOP_MAGICS = {
    0x89A1121896040240, 0x2004844802002010, 0x2068080051921000, 0x62880A0220200808,  // a1-d1
    0x0004042004000000, 0x0100822020200011, 0xC00444222012000A, 0x0028808801216001,  // e1-h1
    0x0400492088408100, 0x0201C401040C0084, 0x00840800910A0010, 0x0000082080240060,  // a2-d2
    0x2000840504006000, 0x30010C4108405004, 0x1008005410080802, 0x8144042209100900,  // e2-h2
    0x0208081020014400, 0x004800201208CA00, 0x0F18140408012008, 0x1004002802102001,  // a3-d3
    0x0841000820080811, 0x0040200200A42008, 0x0000800054042000, 0x88010400410C9000,  // e3-h3
    0x0520040470104290, 0x1004040051500081, 0x2002081833080021, 0x000400C00C010142,  // a4-d4
    0x941408200C002000, 0x0658810000806011, 0x0188071040440A00, 0x4800404002011C00,  // e4-h4
    0x0104442040404200, 0x0511080202091021, 0x0004022401120400, 0x80C0040400080120,  // a5-d5
    0x8040010040820802, 0x0480810700020090, 0x0102008E00040242, 0x0809005202050100,  // e5-h5
    0x8002024220104080, 0x0431008804142000, 0x0019001802081400, 0x0200014208040080,  // a6-d6
    0x3308082008200100, 0x041010500040C020, 0x4012020C04210308, 0x208220A202004080,  // e6-h6
    0x0111040120082000, 0x6803040141280A00, 0x2101004202410000, 0x8200000041108022,  // a7-d7
    0x0000021082088000, 0x0002410204010040, 0x0040100400809000, 0x0822088220820214,  // e7-h7
    0x0040808090012004, 0x00910224040218C9, 0x0402814422015008, 0x0090014004842410,  // a8-d8
    0x0001000042304105, 0x0010008830412A00, 0x2520081090008908, 0x40102000A0A60140,  // e8-h8
};

// The squares that can block a slider: the file on ranks 2-7 and the rank on
// files b-g, without the square itself.
[[nodiscard]] constexpr Bitboard get_rook_cross(unsigned square) {
    return ((0x0001010101010100ULL << file_of(square)) | (0x7EULL << (8 * rank_of(square)))) & ~square_bb(square);
}

// The square's diagonals without the board's edge and without the square.
[[nodiscard]] constexpr Bitboard get_bishop_cross(unsigned square) {
    Bitboard mask = 0;
    for (const int step : {9, 7, -9, -7}) {
        std::uint16_t cur = static_cast<std::uint16_t>(square);
        while (true) {
            const std::uint16_t n = static_cast<std::uint16_t>(cur + step);
            if (n > 63 || n >= 56 || n < 8 || file_distance(n, cur) >= 2 || file_of(n) == 0 || file_of(n) == 7)
                break;
            mask |= square_bb(n);
            cur = n;
        }
    }
    return mask;
}

[[nodiscard]] constexpr std::array<std::uint16_t, 64> shifts_for(Bitboard (*cross)(unsigned)) {
    std::array<std::uint16_t, 64> shifts{};
    for (unsigned square = 0; square < 64; ++square)
        shifts[square] = static_cast<std::uint16_t>(64 - std::popcount(cross(square)));
    return shifts;
}

inline constexpr std::array<std::uint16_t, 64> ROOK_SHIFTS = shifts_for(get_rook_cross);
inline constexpr std::array<std::uint16_t, 64> BISHOP_SHIFTS = shifts_for(get_bishop_cross);
// A product shifted right by 52 or more is below 4096, so no index into a
// table of 4096 words can fall outside it.
static_assert(std::ranges::min(ROOK_SHIFTS) >= 52 && std::ranges::min(BISHOP_SHIFTS) >= 52);

[[nodiscard]] constexpr std::array<Bitboard, 64> masks_for(Bitboard (*cross)(unsigned)) {
    std::array<Bitboard, 64> masks{};
    for (unsigned square = 0; square < 64; ++square) masks[square] = cross(square);
    return masks;
}

// The masks by square, for the lookups.
inline constexpr std::array<Bitboard, 64> ROOK_CROSS = masks_for(get_rook_cross);
inline constexpr std::array<Bitboard, 64> BISHOP_CROSS = masks_for(get_bishop_cross);

static_assert(get_rook_cross(0) == 0x000101010101017EULL);
static_assert(get_bishop_cross(0) == 0x0040201008040200ULL);
static_assert(get_bishop_cross(27) == 0x0040221400142200ULL);
static_assert(ROOK_SHIFTS[0] == 52 && ROOK_SHIFTS[1] == 53 && ROOK_SHIFTS[9] == 54);
static_assert(BISHOP_SHIFTS[0] == 58 && BISHOP_SHIFTS[27] == 55 && BISHOP_SHIFTS[18] == 57 && BISHOP_SHIFTS[9] == 59);

inline constexpr std::array<int, 4> ROOK_STEPS = {8, -8, 1, -1};
inline constexpr std::array<int, 4> BISHOP_STEPS = {9, -9, 7, -7};

// The reference ray walk: every square up to and including the first occupied
// one in each direction; a step that changes file by more than one wrapped.
template <std::size_t N>
[[nodiscard]] constexpr Bitboard slide(unsigned square, Bitboard occupancy, const std::array<int, N>& steps) {
    Bitboard attacks = 0;
    for (const int step : steps) {
        std::uint16_t cur = static_cast<std::uint16_t>(square);
        while (true) {
            const std::uint16_t n = static_cast<std::uint16_t>(cur + step);
            if (n > 63 || file_distance(n, cur) > 1) break;
            attacks |= square_bb(n);
            if (occupancy & square_bb(n)) break;
            cur = n;
        }
    }
    return attacks;
}

// BETWEEN[a][b]: the squares strictly between two squares on one line, else 0.
inline constexpr std::array<std::array<Bitboard, 64>, 64> BETWEEN = [] {
    std::array<std::array<Bitboard, 64>, 64> table{};
    constexpr std::array<int, 8> directions = {8, -8, 1, -1, 9, -9, 7, -7};
    for (unsigned from = 0; from < 64; ++from)
        for (const int step : directions) {
            Bitboard squares = 0;
            std::uint16_t cur = static_cast<std::uint16_t>(from);
            while (true) {
                const std::uint16_t n = static_cast<std::uint16_t>(cur + step);
                if (n > 63 || file_distance(n, cur) > 1) break;
                table[from][n] = squares;
                squares |= square_bb(n);
                cur = n;
            }
        }
    return table;
}();
static_assert(BETWEEN[0][63] == 0x0040201008040200ULL && BETWEEN[0][7] == 0x7EULL && BETWEEN[0][10] == 0);

inline constexpr std::array<int, 8> KING_OFFSETS = {-8, 8, 1, -1, 9, 7, -9, -7};
inline constexpr std::array<int, 8> KNIGHT_OFFSETS = {-17, -15, -6, 10, 17, 15, 6, -10};

// The squares a jumper on each square reaches, for the attack test.
[[nodiscard]] constexpr std::array<Bitboard, 64> jump_targets(const std::array<int, 8>& offsets, unsigned reach) {
    std::array<Bitboard, 64> targets{};
    for (unsigned from = 0; from < 64; ++from)
        for (const int offset : offsets) {
            const std::uint16_t to = static_cast<std::uint16_t>(from + offset);
            if (to <= 63 && file_distance(to, from) <= reach) targets[from] |= square_bb(to);
        }
    return targets;
}

inline constexpr std::array<Bitboard, 64> KNIGHT_TARGETS = jump_targets(KNIGHT_OFFSETS, 2);

// The same jumps as lists in offset order, for listing moves in that order.
struct JumpList {
    std::uint8_t count;
    std::array<std::uint8_t, 8> to;
};

[[nodiscard]] constexpr std::array<JumpList, 64> jump_lists(const std::array<int, 8>& offsets, unsigned reach) {
    std::array<JumpList, 64> lists{};
    for (unsigned from = 0; from < 64; ++from)
        for (const int offset : offsets) {
            const std::uint16_t to = static_cast<std::uint16_t>(from + offset);
            if (to <= 63 && file_distance(to, from) <= reach)
                lists[from].to[lists[from].count++] = static_cast<std::uint8_t>(to);
        }
    return lists;
}

// Where the pawns of one colour that attack a square stand: white pawns
// attack upwards, so they stand below it (s - 7, s - 9), black pawns above.
[[nodiscard]] constexpr std::array<Bitboard, 64> pawn_attackers(bool white) {
    std::array<Bitboard, 64> table{};
    for (unsigned square = 0; square < 64; ++square)
        for (const int step : {7, 9}) {
            const std::uint16_t from = static_cast<std::uint16_t>(white ? square - step : square + step);
            if (from <= 63 && file_distance(from, square) <= 1) table[square] |= square_bb(from);
        }
    return table;
}

inline constexpr std::array<Bitboard, 64> WHITE_PAWN_ATTACKERS = pawn_attackers(true);
inline constexpr std::array<Bitboard, 64> BLACK_PAWN_ATTACKERS = pawn_attackers(false);

inline constexpr std::array<JumpList, 64> KING_JUMPS = jump_lists(KING_OFFSETS, 1);
inline constexpr std::array<JumpList, 64> KNIGHT_JUMPS = jump_lists(KNIGHT_OFFSETS, 2);
inline constexpr std::array<Bitboard, 64> KING_TARGETS = jump_targets(KING_OFFSETS, 1);

// A growable list of move words that keeps its first INLINE words in place,
// so listing a real position allocates nothing: the listing reserves 27
// words per piece (a queen's most), 434 for sixteen pieces.
class MoveList {
public:
    static constexpr std::size_t INLINE = 512;

    MoveList() = default;
    MoveList(const MoveList&) = delete;
    MoveList& operator=(const MoveList&) = delete;

    void push_back(ChessMove move) {
        if (size_ == capacity_) [[unlikely]]
            grow(size_ + 1);
        data_[size_++] = move;
    }
    // Room for n more words, so that push_unchecked can skip the test.
    void reserve_more(std::size_t n) {
        if (size_ + n > capacity_) [[unlikely]]
            grow(size_ + n);
    }
    void push_unchecked(ChessMove move) { data_[size_++] = move; }
    // Room for n more words at the end, for a writer that fills them through
    // the returned cursor and then ends the list where it stopped.
    [[nodiscard]] ChessMove* reserve_end(std::size_t n) {
        reserve_more(n);
        return data_ + size_;
    }
    void set_end(const ChessMove* end) { size_ = static_cast<std::size_t>(end - data_); }
    void clear() { size_ = 0; }
    void resize_down(std::size_t size) { size_ = size; }

    [[nodiscard]] std::size_t size() const { return size_; }
    [[nodiscard]] ChessMove operator[](std::size_t i) const { return data_[i]; }
    [[nodiscard]] ChessMove* begin() { return data_; }
    [[nodiscard]] ChessMove* end() { return data_ + size_; }
    [[nodiscard]] const ChessMove* begin() const { return data_; }
    [[nodiscard]] const ChessMove* end() const { return data_ + size_; }

private:
    void grow(std::size_t minimum);

    ChessMove inline_[INLINE];  // not initialised: only words below size_ are read
    std::unique_ptr<ChessMove[]> heap_;
    ChessMove* data_ = inline_;
    std::size_t size_ = 0;
    std::size_t capacity_ = INLINE;
};

// The pseudo-legal moves of the jumpers on `pieces`, by square, then offset.
void get_k_moves(Bitboard pieces, Bitboard own, const std::array<int, 8>& offsets, unsigned max_file_distance,
                 MoveList& out);

// A position's legal moves as target sets, for a caller that wants them as
// squares rather than as move words (a legal mask, a count): each own piece
// but the pawns with a legal move, and the squares it may move to; the
// pawns' targets set-wise, by the step that reaches them, so that a target's
// pawn stands one step back. Castling is the king's move to its target
// square, as the castling word names it; en passant the pawn's capture step;
// a pawn's target on the last rank stands for its four promotions. Filled by
// MoveGenerator::legal_targets, nothing allocated.
struct LegalTargets {
    enum PawnStep : unsigned { PUSH, DOUBLE_STEP, CAPTURE_WEST, CAPTURE_EAST };  // west: towards the a-file

    Bitboard movers;                       // the squares of the pieces but pawns that have a legal move
    std::array<Bitboard, 64> targets;      // by square; defined for the movers only
    std::array<Bitboard, 4> pawn_targets;  // by PawnStep

    // to - from of each pawn step, for the side to move.
    [[nodiscard]] static constexpr std::array<int, 4> pawn_steps(bool white) {
        return white ? std::array<int, 4>{8, 16, 7, 9} : std::array<int, 4>{-8, -16, -9, -7};
    }
};

class MoveGenerator {
public:
    static constexpr std::size_t TABLE_SIZE = 4096;
    static constexpr std::size_t TABLE_COUNT = 128;

    // Fills the 128 tables: entry 2s is the rook table of square s, 2s + 1 its
    // bishop table.
    MoveGenerator();

    // No index is tested here, on the hot path of every listing: the square
    // comes from a bitboard or was range-tested (square_in_check), and the
    // index is below TABLE_SIZE since every shift is 52 or more (asserted
    // above). A shift word counts by its low six bits; the mask keeps every
    // word a defined shift, and it is free, since 64-bit shift instructions
    // read no more bits.
    [[nodiscard]] Bitboard rook_attacks(unsigned square, Bitboard occupancy) const {
        const std::size_t index = ((occupancy & ROOK_CROSS[square]) * ROOK_MAGICS[square]) >> (ROOK_SHIFTS[square] & 63);
        return attack_tables_[(2 * square) * TABLE_SIZE + index];
    }
    [[nodiscard]] Bitboard bishop_attacks(unsigned square, Bitboard occupancy) const {
        const std::size_t index = ((occupancy & BISHOP_CROSS[square]) * BISHOP_MAGICS[square]) >>
                                  (BISHOP_SHIFTS[square] & 63);
        return attack_tables_[(2 * square + 1) * TABLE_SIZE + index];
    }

    // One of the 128 tables, for inspection.
    [[nodiscard]] const Bitboard* table(std::size_t entry) const;

    // Whether a piece of the side other than `defender` (1 White, 0 Black)
    // attacks the square. A square of 64 or more fails with a panic.
    [[nodiscard]] bool square_in_check(const Board& board, unsigned square, unsigned defender) const;

    // The pieces of the planes from `attacker_first_plane` (0 White, 6 Black)
    // that attack the square, sliders blocked by `occupancy`; square < 64.
    [[nodiscard]] Bitboard attackers(const Planes& planes, Bitboard occupancy, unsigned square,
                                     unsigned attacker_first_plane) const {
        const Bitboard queens = planes[attacker_first_plane + QUEEN];
        const auto& pawns = attacker_first_plane == WHITE_PLANES ? WHITE_PAWN_ATTACKERS : BLACK_PAWN_ATTACKERS;
        return (KNIGHT_TARGETS[square] & planes[attacker_first_plane + KNIGHT]) |
               (pawns[square] & planes[attacker_first_plane + PAWN]) |
               (rook_attacks(square, occupancy) & (planes[attacker_first_plane + ROOK] | queens)) |
               (bishop_attacks(square, occupancy) & (planes[attacker_first_plane + BISHOP] | queens)) |
               (KING_TARGETS[square] & planes[attacker_first_plane + KING]);
    }
    [[nodiscard]] bool attacked_by(const Planes& planes, Bitboard occupancy, unsigned square,
                                   unsigned attacker_first_plane) const {
        return attackers(planes, occupancy, square, attacker_first_plane) != 0;
    }

    // The pseudo-legal moves of the rooks and queens (type ROOK) or bishops
    // and queens (type BISHOP) of the side whose planes start at first_plane.
    void magic_moves(const Board& board, unsigned first_plane, Bitboard own, Bitboard others, unsigned type,
                     MoveList& out) const;

    // The legal moves of the side to move, in the listing order: the
    // candidates against the squares that answer a check, then one pass that
    // tests the moves that can be illegal. A board whose planes overlap or
    // whose side to move has no single king is changed during the call (the
    // reference filter makes its moves) and restored before it returns or
    // throws; any other board is only read.
    void legal_moves(Board& board, MoveList& out) const;

    // The same moves as legal_moves as target sets (see LegalTargets), the
    // board given by its planes and state word. Set-wise, so much cheaper
    // than the listing: a pinned piece's targets cut to its pin line, the
    // king's to the squares the other side does not attack with the king
    // gone, all at once. Returns false, `out` undefined, for a board the
    // reasoning does not cover (planes that overlap, not exactly one king of
    // the side to move): its caller takes legal_moves instead.
    [[nodiscard]] bool legal_targets(const Planes& planes, std::uint64_t state, LegalTargets& out) const;

    // The pseudo-legal moves in the listing order: king steps, castling,
    // knights, pawns, rooks and queens, bishops and queens.
    void pseudo_legal_moves(const Board& board, MoveList& moves) const;

    // The reference filter: makes each move on the board, tests the mover's
    // king and takes the move back; keeps the survivors in order. The
    // legality pass of legal_moves must agree with it on every board.
    void filter_by_make(Board& board, MoveList& moves) const;

private:
    std::unique_ptr<Bitboard[], void (*)(void*)> attack_tables_;
};

// Fills one square's table of 4096 words (zeroed by the caller) for one slider
// type: ROOK, anything else bishop.
void rook_bishop_moves(unsigned square, Bitboard mask, unsigned type, Bitboard* table);

// Counts the positions reached after `depth` plies (make / list / take back;
// the last ply is counted by listing).
[[nodiscard]] std::uint64_t perft(const MoveGenerator& generator, Board& board, unsigned depth);

}  // namespace velmor
