#include <algorithm>
#include <cstdlib>
#include <new>

#include "move_generator/mod.hpp"

namespace velmor {

void MoveList::grow() {
    const std::size_t capacity = capacity_ * 2;
    auto heap = std::make_unique<ChessMove[]>(capacity);
    std::copy(data_, data_ + size_, heap.get());
    heap_ = std::move(heap);
    data_ = heap_.get();
    capacity_ = capacity;
}

void get_k_moves(Bitboard pieces, Bitboard own, const std::array<int, 8>& offsets, unsigned max_file_distance,
                 MoveList& out) {
    while (pieces) {
        const unsigned from = pop_lsb(pieces);
        for (const int offset : offsets) {
            const std::uint16_t to = static_cast<std::uint16_t>(from + offset);
            if (to > 63 || file_distance(to, from) > max_file_distance || (own & square_bb(to))) continue;
            out.push_back(ChessMove::pack(from, to));
        }
    }
}

void rook_bishop_moves(unsigned square, Bitboard mask, unsigned kind, Bitboard* table) {
    const bool rook = kind == ROOK_KIND;
    const Bitboard magic = rook ? ROOK_MAGICS[square] : BISHOP_MAGICS[square];
    const unsigned shift = (rook ? ROOK_SHIFTS[square] : BISHOP_SHIFTS[square]) & 63;
    const auto& steps = rook ? ROOK_STEPS : BISHOP_STEPS;
    // The carry-rippler step visits the subsets of the mask in counting order:
    // bit j of the count stands for the j-th lowest square of the mask.
    Bitboard occupancy = 0;
    do {
        const std::size_t index = (occupancy * magic) >> shift;
        if (index >= MoveGenerator::TABLE_SIZE) panic_index(MoveGenerator::TABLE_SIZE, index);
        table[index] = slide(square, occupancy, steps);
        occupancy = (occupancy - mask) & mask;
    } while (occupancy);
}

MoveGenerator::MoveGenerator() : attack_tables_(nullptr, std::free) {
    // calloc hands out zeroed pages that are only touched where a table is
    // written, which leaves most of each bishop table untouched.
    void* memory = std::calloc(TABLE_COUNT * TABLE_SIZE, sizeof(Bitboard));
    if (!memory) throw std::bad_alloc();
    attack_tables_.reset(static_cast<Bitboard*>(memory));
    for (unsigned square = 0; square < 64; ++square) {
        rook_bishop_moves(square, get_rook_cross(square), ROOK_KIND, &attack_tables_[(2 * square) * TABLE_SIZE]);
        rook_bishop_moves(square, get_bishop_cross(square), BISHOP_KIND,
                          &attack_tables_[(2 * square + 1) * TABLE_SIZE]);
    }
}

const Bitboard* MoveGenerator::table(std::size_t entry) const {
    if (entry >= TABLE_COUNT) panic_index(TABLE_COUNT, entry);
    return &attack_tables_[entry * TABLE_SIZE];
}

bool MoveGenerator::square_in_check(const Board& board, unsigned square, unsigned defender) const {
    // The slider lookups would index past the store; refuse before any test.
    if (square >= 64) panic_index(TABLE_COUNT, 2 * square);
    const Planes& planes = board.planes;
    const unsigned base = defender == 1 ? BLACK_PLANES : 0;

    if (KNIGHT_TARGETS[square] & planes[base + KNIGHT]) return true;

    // Attacking pawns stand diagonally in front of the square, seen from them.
    const Bitboard bit = square_bb(square);
    const Bitboard pawn_squares = defender == 1 ? ((bit & 0xFEFEFEFEFEFEFEFEULL) << 7) | ((bit & 0x7F7F7F7F7F7F7F7FULL) << 9)
                                                : ((bit & 0x7F7F7F7F7F7F7F7FULL) >> 7) | ((bit & 0xFEFEFEFEFEFEFEFEULL) >> 9);
    if (pawn_squares & planes[base + PAWN]) return true;

    Bitboard occupancy = 0;
    for (const Bitboard plane : planes) occupancy |= plane;
    const Bitboard queens = planes[base + QUEEN];
    if ((rook_attacks(square, occupancy) & (planes[base + ROOK] | queens)) ||
        (bishop_attacks(square, occupancy) & (planes[base + BISHOP] | queens)))
        return true;

    return KING_TARGETS[square] & planes[base + KING];
}

void MoveGenerator::magic_moves(const Board& board, unsigned first_plane, Bitboard own, Bitboard others, unsigned kind,
                                MoveList& out) const {
    Bitboard pieces = board.planes[first_plane + QUEEN] | board.planes[first_plane + kind];
    const Bitboard occupancy = own | others;
    while (pieces) {
        const unsigned from = pop_lsb(pieces);
        Bitboard targets =
            (kind == ROOK_KIND ? rook_attacks(from, occupancy) : bishop_attacks(from, occupancy)) & ~own;
        while (targets) out.push_back(ChessMove::pack(from, pop_lsb(targets)));
    }
}

namespace {

struct CastlingRule {
    unsigned right;
    Bitboard must_be_empty;
    std::array<unsigned, 2> must_be_safe;
    ChessMove move;
};

constexpr std::array<CastlingRule, 2> WHITE_CASTLING = {{
    {WHITE_KING_SIDE, square_bb(5) | square_bb(6), {5, 6}, ChessMove{0x3184}},
    {WHITE_QUEEN_SIDE, square_bb(2) | square_bb(3) | square_bb(1), {2, 3}, ChessMove{0x3084}},
}};
constexpr std::array<CastlingRule, 2> BLACK_CASTLING = {{
    {BLACK_KING_SIDE, square_bb(61) | square_bb(62), {61, 62}, ChessMove{0x3FBC}},
    {BLACK_QUEEN_SIDE, square_bb(58) | square_bb(59) | square_bb(57), {58, 59}, ChessMove{0x3EBC}},
}};

void pawn_moves(const Board& board, bool white, Bitboard others, Bitboard occupancy, MoveList& out) {
    const int capture_steps[2] = {white ? 7 : -7, white ? 9 : -9};
    const int push_step = white ? 8 : -8;
    const unsigned promotion_rank = white ? 6 : 1;
    const unsigned double_rank = white ? 1 : 6;
    const unsigned en_passant_rank = white ? 4 : 3;
    const unsigned en_passant_base = white ? RANK6_SET : RANK3_SET;

    const auto promotions = [&](unsigned from, unsigned to) {
        for (unsigned code = ChessMove::PROMOTE_KNIGHT; code <= ChessMove::PROMOTE_QUEEN; ++code)
            out.push_back(ChessMove::pack(from, to, code));
    };

    for (Bitboard pawns = board.planes[white ? PAWN : BLACK_PLANES + PAWN]; pawns;) {
        const unsigned from = pop_lsb(pawns);
        const unsigned rank = rank_of(from);
        for (const int step : capture_steps) {
            const std::uint16_t to = static_cast<std::uint16_t>(from + step);
            if (to > 63 || file_distance(to, from) > 1) continue;
            if (others & square_bb(to)) {
                if (rank == promotion_rank) promotions(from, to);
                else out.push_back(ChessMove::pack(from, to));
            }
            if (rank == en_passant_rank && (board.state >> (en_passant_base + file_of(to)) & 1))
                out.push_back(ChessMove::pack(from, to, ChessMove::EN_PASSANT));
        }
        const std::uint16_t to = static_cast<std::uint16_t>(from + push_step);
        if (to > 63 || (occupancy & square_bb(to))) continue;
        if (rank == promotion_rank) {
            promotions(from, to);
            continue;
        }
        out.push_back(ChessMove::pack(from, to));
        if (rank == double_rank) {
            const std::uint16_t to2 = static_cast<std::uint16_t>(from + 2 * push_step);
            if (to2 <= 63 && !(occupancy & square_bb(to2)))
                out.push_back(ChessMove::create(static_cast<std::uint16_t>(from), to2, ChessMove::DOUBLE_STEP));
        }
    }
}

}  // namespace

void MoveGenerator::legal_moves(Board& board, MoveList& out) const {
    out.clear();
    const bool white = board.white_to_move();
    const unsigned first = white ? 0 : BLACK_PLANES;
    const unsigned side = white ? 1 : 0;
    const Planes& planes = board.planes;
    Bitboard own = 0, others = 0;
    for (unsigned i = 0; i < 6; ++i) {
        own |= planes[first + i];
        others |= planes[(BLACK_PLANES - first) + i];
    }
    const Bitboard occupancy = own | others;

    get_k_moves(planes[first + KING], own, KING_OFFSETS, 1, out);
    const unsigned home = white ? 4 : 60;
    if ((planes[first + KING] & square_bb(home)) && !square_in_check(board, home, side)) {
        for (const CastlingRule& rule : white ? WHITE_CASTLING : BLACK_CASTLING) {
            if (!(board.state >> rule.right & 1) || (occupancy & rule.must_be_empty)) continue;
            if (square_in_check(board, rule.must_be_safe[0], side) || square_in_check(board, rule.must_be_safe[1], side))
                continue;
            out.push_back(rule.move);
        }
    }
    get_k_moves(planes[first + KNIGHT], own, KNIGHT_OFFSETS, 2, out);
    pawn_moves(board, white, others, occupancy, out);
    magic_moves(board, first, own, others, ROOK_KIND, out);
    magic_moves(board, first, own, others, BISHOP_KIND, out);

    // Make each candidate, test the mover's king, take it back; keep the
    // survivors in place and in order.
    std::size_t kept = 0;
    for (const ChessMove move : out) {
        push_move(board, move);
        const Bitboard king = board.planes[first + KING];
        if (!king) {
            pop_move(board);
            panic_index(TABLE_COUNT, 2 * 64);
        }
        const bool attacked = square_in_check(board, lsb(king), side);
        pop_move(board);
        if (!attacked) out.begin()[kept++] = move;
    }
    out.resize_down(kept);
}

std::uint64_t perft(const MoveGenerator& generator, Board& board, unsigned depth) {
    if (depth == 0) return 1;
    MoveList moves;
    generator.legal_moves(board, moves);
    if (depth == 1) return moves.size();
    std::uint64_t nodes = 0;
    for (const ChessMove move : moves) {
        push_move(board, move);
        nodes += perft(generator, board, depth - 1);
        pop_move(board);
    }
    return nodes;
}

}  // namespace velmor
