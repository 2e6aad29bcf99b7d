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

void MoveList::grow(std::size_t minimum) {
    const std::size_t capacity = std::max(capacity_ * 2, minimum);
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
        out.reserve_more(14);  // a rook or a bishop reaches at most 14 squares
        while (targets) out.push_unchecked(ChessMove::pack(from, pop_lsb(targets)));
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

// Makes the move, tests the mover's king and takes the move back. A move the
// board cannot make is not legal either: on a board where one square holds
// two pieces, a rook's move may be made by the pawn under it, which would
// reach the last rank without a promotion.
bool leaves_king_attacked(const MoveGenerator& generator, Board& board, ChessMove move, unsigned first,
                          unsigned side) {
    if (unsupported_move(board, move)) return true;
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

// Checks and pins of the side to move on a real position (planes disjoint,
// one king for the side to move).
struct Legality {
    unsigned king;
    Bitboard pinned;    // our pieces that alone stand between our king and an enemy slider
    Bitboard evasions;  // the targets that answer a check: all without one, none in double check
};

// Lists the moves in the listing order. Unfiltered, it lists the pseudo-legal
// moves. Filtered, it lists only the legal ones of a real position: a move of
// an unpinned piece other than the king is legal exactly when it answers any
// check, and a king step when its target is not attacked once the king has
// left its square (a captured piece never attacks its own square). Pinned
// pieces, en passant and castling, where more than one line changes, are made
// and tested one by one.
template <bool Filtered>
class Lister {
public:
    Lister(const MoveGenerator& generator, Board& board, MoveList& out, const Legality* legality)
        : generator_(generator), board_(board), out_(out), legality_(legality) {
        const bool white = board.white_to_move();
        first_ = white ? 0 : BLACK_PLANES;
        side_ = white ? 1 : 0;
        for (unsigned i = 0; i < 6; ++i) {
            own_ |= board.planes[first_ + i];
            others_ |= board.planes[(BLACK_PLANES - first_) + i];
        }
        occupancy_ = own_ | others_;
    }

    void run() {
        out_.clear();
        const Planes& planes = board_.planes;
        king_steps(planes[first_ + KING]);
        castling(planes[first_ + KING]);
        knight_jumps(planes[first_ + KNIGHT]);
        pawn_moves();
        slider_moves(ROOK_KIND);
        slider_moves(BISHOP_KIND);
    }

private:
    bool made_legal(ChessMove move) { return !leaves_king_attacked(generator_, board_, move, first_, side_); }

    bool pinned(unsigned from) const {
        if constexpr (Filtered) return legality_->pinned & square_bb(from);
        return false;
    }

    // The targets a piece on `from` reaches legally without being made.
    Bitboard allowed(unsigned from) const {
        if constexpr (Filtered)
            if (!pinned(from)) return legality_->evasions;
        return ~Bitboard{0};
    }

    // A move of a piece other than the king, not en passant.
    void add_piece_move(ChessMove move) {
        if constexpr (Filtered) {
            if (!(legality_->evasions & square_bb(move.to()))) return;
            if (pinned(move.from()) && !made_legal(move)) return;
        }
        out_.push_unchecked(move);
    }

    void add_made(ChessMove move) {
        if constexpr (Filtered)
            if (!made_legal(move)) return;
        out_.push_unchecked(move);
    }

    void king_steps(Bitboard kings) {
        while (kings) {
            const unsigned from = pop_lsb(kings);
            const JumpList& list = KING_JUMPS[from];
            out_.reserve_more(8);
            for (unsigned i = 0; i < list.count; ++i) {
                const unsigned to = list.to[i];
                if (own_ & square_bb(to)) continue;
                if constexpr (Filtered) {
                    const Bitboard occupancy = (occupancy_ & ~square_bb(from)) | square_bb(to);
                    if (generator_.attacked_by(board_.planes, occupancy, to, BLACK_PLANES - first_)) continue;
                }
                out_.push_unchecked(ChessMove::pack(from, to));
            }
        }
    }

    void castling(Bitboard kings) {
        const unsigned home = side_ ? 4 : 60;
        if (!(kings & square_bb(home)) || generator_.square_in_check(board_, home, side_)) return;
        out_.reserve_more(2);
        for (const CastlingRule& rule : side_ ? WHITE_CASTLING : BLACK_CASTLING) {
            if (!(board_.state >> rule.right & 1) || (occupancy_ & rule.must_be_empty)) continue;
            if (generator_.square_in_check(board_, rule.must_be_safe[0], side_) ||
                generator_.square_in_check(board_, rule.must_be_safe[1], side_))
                continue;
            add_made(rule.move);
        }
    }

    void knight_jumps(Bitboard knights) {
        while (knights) {
            const unsigned from = pop_lsb(knights);
            const Bitboard targets = ~own_ & allowed(from);
            const JumpList& list = KNIGHT_JUMPS[from];
            out_.reserve_more(8);
            for (unsigned i = 0; i < list.count; ++i)
                if (targets & square_bb(list.to[i])) add_piece_move(ChessMove::pack(from, list.to[i]));
        }
    }

    void pawn_moves() {
        const bool white = side_ == 1;
        const int capture_steps[2] = {white ? 7 : -7, white ? 9 : -9};
        const int push_step = white ? 8 : -8;
        const unsigned promotion_rank = white ? 6 : 1;
        const unsigned double_rank = white ? 1 : 6;
        const unsigned en_passant_rank = white ? 4 : 3;
        const unsigned en_passant_base = white ? RANK6_SET : RANK3_SET;
        const std::uint64_t en_passant_files = (board_.state >> en_passant_base) & 0xFF;

        const auto promotions = [&](unsigned from, unsigned to) {
            for (unsigned code = ChessMove::PROMOTE_KNIGHT; code <= ChessMove::PROMOTE_QUEEN; ++code)
                add_piece_move(ChessMove::pack(from, to, code));
        };

        for (Bitboard pawns = board_.planes[first_ + PAWN]; pawns;) {
            const unsigned from = pop_lsb(pawns);
            const unsigned rank = rank_of(from);
            out_.reserve_more(12);
            // Most pawns have nothing to take: skip the steps when no target
            // is held by the other side and no en-passant capture is listed.
            if ((PAWN_ATTACKERS[side_][from] & others_) || (rank == en_passant_rank && en_passant_files)) {
                for (const int step : capture_steps) {
                    const std::uint16_t to = static_cast<std::uint16_t>(from + step);
                    if (to > 63 || file_distance(to, from) > 1) continue;
                    if (others_ & square_bb(to)) {
                        if (rank == promotion_rank) promotions(from, to);
                        else add_piece_move(ChessMove::pack(from, to));
                    }
                    if (rank == en_passant_rank && (en_passant_files >> file_of(to) & 1))
                        add_made(ChessMove::pack(from, to, ChessMove::EN_PASSANT));
                }
            }
            const std::uint16_t to = static_cast<std::uint16_t>(from + push_step);
            if (to > 63 || (occupancy_ & square_bb(to))) continue;
            if (rank == promotion_rank) {
                promotions(from, to);
                continue;
            }
            add_piece_move(ChessMove::pack(from, to));
            if (rank == double_rank) {
                const std::uint16_t to2 = static_cast<std::uint16_t>(from + 2 * push_step);
                if (to2 <= 63 && !(occupancy_ & square_bb(to2)))
                    add_piece_move(ChessMove::create(static_cast<std::uint16_t>(from), to2, ChessMove::DOUBLE_STEP));
            }
        }
    }

    void slider_moves(unsigned kind) {
        if constexpr (!Filtered) {
            generator_.magic_moves(board_, first_, own_, others_, kind, out_);
        } else {
            Bitboard pieces = board_.planes[first_ + QUEEN] | board_.planes[first_ + kind];
            while (pieces) {
                const unsigned from = pop_lsb(pieces);
                const Bitboard attacks = kind == ROOK_KIND ? generator_.rook_attacks(from, occupancy_)
                                                           : generator_.bishop_attacks(from, occupancy_);
                Bitboard targets = attacks & ~own_ & allowed(from);
                out_.reserve_more(14);  // a rook or a bishop reaches at most 14 squares
                if (pinned(from)) {
                    while (targets) add_made(ChessMove::pack(from, pop_lsb(targets)));
                } else {
                    while (targets) out_.push_unchecked(ChessMove::pack(from, pop_lsb(targets)));
                }
            }
        }
    }

    const MoveGenerator& generator_;
    Board& board_;
    MoveList& out_;
    const Legality* legality_;
    unsigned first_ = 0;
    unsigned side_ = 0;
    Bitboard own_ = 0;
    Bitboard others_ = 0;
    Bitboard occupancy_ = 0;
};

}  // namespace

void MoveGenerator::pseudo_legal_moves(const Board& board, MoveList& out) const {
    // The unfiltered lister never makes a move, so the board stays untouched.
    Lister<false>(*this, const_cast<Board&>(board), out, nullptr).run();
}

void MoveGenerator::filter_by_make(Board& board, MoveList& moves) const {
    const unsigned first = board.white_to_move() ? 0 : BLACK_PLANES;
    const unsigned side = board.white_to_move() ? 1 : 0;
    std::size_t kept = 0;
    for (const ChessMove move : moves)
        if (!leaves_king_attacked(*this, board, move, first, side)) moves.begin()[kept++] = move;
    moves.resize_down(kept);
}

void MoveGenerator::legal_moves(Board& board, MoveList& out) const {
    const Planes& planes = board.planes;
    Bitboard seen = 0;
    bool disjoint = true;
    for (const Bitboard plane : planes) {
        disjoint &= !(plane & seen);
        seen |= plane;
    }
    const bool white = board.white_to_move();
    const unsigned first = white ? 0 : BLACK_PLANES;
    const unsigned enemy = BLACK_PLANES - first;
    const Bitboard king_plane = planes[first + KING];

    // The reasoning of the filtered lister holds for real positions only;
    // any other board is listed in full and made move by move.
    if (!disjoint || !king_plane || (king_plane & (king_plane - 1))) {
        pseudo_legal_moves(board, out);
        filter_by_make(board, out);
        return;
    }

    Bitboard own = 0, others = 0;
    for (unsigned i = 0; i < 6; ++i) {
        own |= planes[first + i];
        others |= planes[enemy + i];
    }
    const Bitboard occupancy = own | others;
    const unsigned king = lsb(king_plane);
    const Bitboard enemy_orthogonal = planes[enemy + ROOK] | planes[enemy + QUEEN];
    const Bitboard enemy_diagonal = planes[enemy + BISHOP] | planes[enemy + QUEEN];

    const Bitboard checkers = (KNIGHT_TARGETS[king] & planes[enemy + KNIGHT]) |
                              (PAWN_ATTACKERS[enemy == 0 ? 0 : 1][king] & planes[enemy + PAWN]) |
                              (rook_attacks(king, occupancy) & enemy_orthogonal) |
                              (bishop_attacks(king, occupancy) & enemy_diagonal) |
                              (KING_TARGETS[king] & planes[enemy + KING]);

    Legality legality{king, 0, ~Bitboard{0}};
    for (Bitboard snipers = (rook_attacks(king, others) & enemy_orthogonal) |
                            (bishop_attacks(king, others) & enemy_diagonal);
         snipers;) {
        const Bitboard blockers = BETWEEN[king][pop_lsb(snipers)] & occupancy;
        if (blockers && !(blockers & (blockers - 1)) && (blockers & own)) legality.pinned |= blockers;
    }
    if (checkers) {
        // One checker: capture it or block its line. Two: only the king moves.
        legality.evasions = checkers & (checkers - 1) ? 0 : BETWEEN[king][lsb(checkers)] | checkers;
    }
    Lister<true>(*this, board, out, &legality).run();
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
