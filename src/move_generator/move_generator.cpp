#include <algorithm>
#include <cstdlib>
#include <new>

#include "move_generator/mod.hpp"

namespace velmor {

namespace {

[[nodiscard]] Bitboard occupancy_of(const Planes& planes) {
    Bitboard occupancy = 0;
    for (const Bitboard plane : planes) occupancy |= plane;
    return occupancy;
}

// PAWN_ATTACKERS[0][s]: where white pawns attacking s stand (s - 7, s - 9);
// PAWN_ATTACKERS[1][s]: where black pawns attacking s stand (s + 7, s + 9).
constexpr std::array<std::array<Bitboard, 64>, 2> PAWN_ATTACKERS = [] {
    std::array<std::array<Bitboard, 64>, 2> table{};
    for (unsigned square = 0; square < 64; ++square)
        for (const int step : {7, 9}) {
            const std::uint16_t below = static_cast<std::uint16_t>(square - step);
            const std::uint16_t above = static_cast<std::uint16_t>(square + step);
            if (below <= 63 && file_distance(below, square) <= 1) table[0][square] |= square_bb(below);
            if (above <= 63 && file_distance(above, square) <= 1) table[1][square] |= square_bb(above);
        }
    return table;
}();

// BETWEEN[a][b]: the squares strictly between two squares on one line, else 0.
constexpr std::array<std::array<Bitboard, 64>, 64> BETWEEN = [] {
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

}  // namespace

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

    // A slider's two lines block independently, so each occupancy is a pair of
    // line occupancies (a, b) with attacks(a | b) = attacks(a) | attacks(b),
    // and since a and b are disjoint, (a | b) * magic = a * magic + b * magic.
    // Each line's subsets are walked once with the carry-rippler step.
    const std::array<int, 2> line_a = {steps[0], steps[1]};
    const std::array<int, 2> line_b = {steps[2], steps[3]};
    const Bitboard mask_a = slide(square, 0, line_a) & mask;
    const Bitboard mask_b = slide(square, 0, line_b) & mask;

    std::array<Bitboard, 64> b_attacks;
    std::array<Bitboard, 64> b_products;
    std::size_t b_count = 0;
    Bitboard b = 0;
    do {
        b_attacks[b_count] = slide(square, b, line_b);
        b_products[b_count++] = b * magic;
        b = (b - mask_b) & mask_b;
    } while (b);

    Bitboard a = 0;
    do {
        const Bitboard a_attacks = slide(square, a, line_a);
        const Bitboard a_product = a * magic;
        for (std::size_t j = 0; j < b_count; ++j) {
            const std::size_t index = (a_product + b_products[j]) >> shift;
            if (index >= MoveGenerator::TABLE_SIZE) panic_index(MoveGenerator::TABLE_SIZE, index);
            table[index] = a_attacks | b_attacks[j];
        }
        a = (a - mask_a) & mask_a;
    } while (a);
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

bool MoveGenerator::attacked_by(const Planes& planes, Bitboard occupancy, unsigned square, unsigned base) const {
    if (KNIGHT_TARGETS[square] & planes[base + KNIGHT]) return true;
    if (PAWN_ATTACKERS[base == 0 ? 0 : 1][square] & planes[base + PAWN]) return true;
    const Bitboard queens = planes[base + QUEEN];
    if ((rook_attacks(square, occupancy) & (planes[base + ROOK] | queens)) ||
        (bishop_attacks(square, occupancy) & (planes[base + BISHOP] | queens)))
        return true;
    return KING_TARGETS[square] & planes[base + KING];
}

bool MoveGenerator::square_in_check(const Board& board, unsigned square, unsigned defender) const {
    // The slider lookups would index past the store; refuse before any test.
    if (square >= 64) panic_index(TABLE_COUNT, 2 * square);
    return attacked_by(board.planes, occupancy_of(board.planes), square, defender == 1 ? BLACK_PLANES : 0);
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

void MoveGenerator::pseudo_legal_moves(const Board& board, MoveList& out) const {
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
}

namespace {

// Makes the move, tests the mover's king and takes the move back.
bool leaves_king_attacked(const MoveGenerator& generator, Board& board, ChessMove move, unsigned first,
                          unsigned side) {
    push_move(board, move);
    const Bitboard king = board.planes[first + KING];
    if (!king) {
        // The test of square 64 fails; take the move back before reporting.
        pop_move(board);
        panic_index(MoveGenerator::TABLE_COUNT, 2 * 64);
    }
    const bool attacked = generator.square_in_check(board, lsb(king), side);
    pop_move(board);
    return attacked;
}

}  // namespace

void MoveGenerator::filter_by_make(Board& board, MoveList& moves) const {
    const unsigned first = board.white_to_move() ? 0 : BLACK_PLANES;
    const unsigned side = board.white_to_move() ? 1 : 0;
    std::size_t kept = 0;
    for (const ChessMove move : moves)
        if (!leaves_king_attacked(*this, board, move, first, side)) moves.begin()[kept++] = move;
    moves.resize_down(kept);
}

void MoveGenerator::filter_by_pins(Board& board, MoveList& moves) const {
    const bool white = board.white_to_move();
    const unsigned first = white ? 0 : BLACK_PLANES;
    const unsigned enemy = BLACK_PLANES - first;
    const unsigned side = white ? 1 : 0;
    const Planes& planes = board.planes;
    Bitboard own = 0, others = 0;
    for (unsigned i = 0; i < 6; ++i) {
        own |= planes[first + i];
        others |= planes[enemy + i];
    }
    const Bitboard occupancy = own | others;
    const unsigned king = lsb(planes[first + KING]);
    const Bitboard enemy_orthogonal = planes[enemy + ROOK] | planes[enemy + QUEEN];
    const Bitboard enemy_diagonal = planes[enemy + BISHOP] | planes[enemy + QUEEN];

    const Bitboard checkers = (KNIGHT_TARGETS[king] & planes[enemy + KNIGHT]) |
                              (PAWN_ATTACKERS[enemy == 0 ? 0 : 1][king] & planes[enemy + PAWN]) |
                              (rook_attacks(king, occupancy) & enemy_orthogonal) |
                              (bishop_attacks(king, occupancy) & enemy_diagonal) |
                              (KING_TARGETS[king] & planes[enemy + KING]);

    // A piece of ours is pinned when it alone stands between our king and an
    // enemy slider on the slider's line.
    Bitboard pinned = 0;
    for (Bitboard snipers = (rook_attacks(king, others) & enemy_orthogonal) |
                            (bishop_attacks(king, others) & enemy_diagonal);
         snipers;) {
        const Bitboard blockers = BETWEEN[king][pop_lsb(snipers)] & occupancy;
        if (blockers && !(blockers & (blockers - 1)) && (blockers & own)) pinned |= blockers;
    }

    // With one checker a move of another piece must capture it or block its
    // line; with two only the king can move.
    const bool double_check = checkers & (checkers - 1);
    const Bitboard evasions = checkers ? BETWEEN[king][lsb(checkers)] | checkers : ~Bitboard{0};

    std::size_t kept = 0;
    for (const ChessMove move : moves) {
        const unsigned from = move.from();
        const Bitboard to = square_bb(move.to());
        bool legal;
        if (move.special() == ChessMove::EN_PASSANT || move.special() == ChessMove::CASTLING) {
            // Two pieces leave their squares; make the move to be sure.
            legal = !leaves_king_attacked(*this, board, move, first, side);
        } else if (from == king) {
            // A captured piece never attacks its own square, so only the
            // king's departure changes what reaches the target.
            legal = !attacked_by(planes, (occupancy & ~square_bb(from)) | to, move.to(), enemy);
        } else if (double_check || !(to & evasions)) {
            legal = false;
        } else if (pinned & square_bb(from)) {
            legal = !leaves_king_attacked(*this, board, move, first, side);
        } else {
            legal = true;
        }
        if (legal) moves.begin()[kept++] = move;
    }
    moves.resize_down(kept);
}

void MoveGenerator::legal_moves(Board& board, MoveList& out) const {
    pseudo_legal_moves(board, out);

    // The fast filter's reasoning holds for real positions: no square held
    // twice and one king for the side to move. Anything else is made move by
    // move.
    const Planes& planes = board.planes;
    unsigned pieces = 0;
    for (const Bitboard plane : planes) pieces += static_cast<unsigned>(std::popcount(plane));
    const Bitboard king = planes[board.white_to_move() ? KING : BLACK_PLANES + KING];
    const bool real = pieces == static_cast<unsigned>(std::popcount(occupancy_of(planes))) && king &&
                      !(king & (king - 1));
    if (real) filter_by_pins(board, out);
    else filter_by_make(board, out);
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
