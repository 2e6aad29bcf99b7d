#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <utility>

#include "move_generator/mod.hpp"

namespace velmor {

namespace {

[[nodiscard]] Bitboard occupancy_of(const Planes& planes) {
    Bitboard occupancy = 0;
    for (const Bitboard plane : planes) occupancy |= plane;
    return occupancy;
}

// LINE[a][b]: the whole line through two squares of one rank, file or
// diagonal, both squares included; else 0.
constexpr std::array<std::array<Bitboard, 64>, 64> LINE = [] {
    std::array<std::array<Bitboard, 64>, 64> table{};
    constexpr std::array<std::array<int, 2>, 4> lines = {{{8, -8}, {1, -1}, {9, -9}, {7, -7}}};
    for (unsigned from = 0; from < 64; ++from)
        for (const auto& directions : lines) {
            const Bitboard line = slide(from, 0, directions) | square_bb(from);
            for (Bitboard rest = line & ~square_bb(from); rest;) table[from][pop_lsb(rest)] = line;
        }
    return table;
}();

// Every square a rook or a bishop on each square sees on an empty board.
constexpr std::array<Bitboard, 64> ROOK_RAYS = masks_for([](unsigned square) { return slide(square, 0, ROOK_STEPS); });
constexpr std::array<Bitboard, 64> BISHOP_RAYS =
    masks_for([](unsigned square) { return slide(square, 0, BISHOP_STEPS); });

static_assert(LINE[0][63] == 0x8040201008040201ULL && LINE[1][8] == 0x0102ULL && LINE[0][10] == 0);
static_assert(ROOK_RAYS[0] == 0x01010101010101FEULL);

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

namespace {

// The squares of the ray from each square in one direction, on an empty board.
template <int Step>
constexpr std::array<Bitboard, 64> RAY = [] {
    std::array<Bitboard, 64> rays{};
    for (unsigned square = 0; square < 64; ++square) rays[square] = slide(square, 0, std::array<int, 1>{Step});
    return rays;
}();

// What a slider sees along one line (the rays of Step and -Step, Step > 0):
// each ray up to and including its first occupied square, which is the
// nearest one, the lowest going up and the highest going down. As slide()
// gives it, in a handful of instructions.
template <int Step>
Bitboard line_attacks(unsigned square, Bitboard occupancy) {
    static_assert(Step > 0);
    Bitboard up = RAY<Step>[square];
    if (const Bitboard blockers = up & occupancy) up ^= RAY<Step>[lsb(blockers)];
    Bitboard down = RAY<-Step>[square];
    if (const Bitboard blockers = down & occupancy) down ^= RAY<-Step>[63 - std::countl_zero(blockers)];
    return up | down;
}

// Whether the 2^n occupancies of the square's n-bit mask reach 2^n distinct
// indices, that is every index below 2^n.
constexpr bool reaches_every_index(Bitboard mask, Bitboard magic, unsigned shift) {
    std::array<std::uint64_t, MoveGenerator::TABLE_SIZE / 64> reached{};
    Bitboard occupancy = 0;
    do {
        const std::uint64_t index = (occupancy * magic) >> shift;
        if (reached[index / 64] >> (index % 64) & 1) return false;
        reached[index / 64] |= std::uint64_t{1} << (index % 64);
        occupancy = (occupancy - mask) & mask;
    } while (occupancy);
    return true;
}

// One square at a time, so that each evaluation stays within the compilers'
// step limits.
template <std::size_t Square>
constexpr bool PERFECT_MAGICS =
    reaches_every_index(ROOK_CROSS[Square], ROOK_MAGICS[Square], ROOK_SHIFTS[Square]) &&
    reaches_every_index(BISHOP_CROSS[Square], BISHOP_MAGICS[Square], BISHOP_SHIFTS[Square]);
// So the fill writes every word below 2^n of each table, and only the words
// above need clearing first.
static_assert([]<std::size_t... Squares>(std::index_sequence<Squares...>) {
    return (PERFECT_MAGICS<Squares> && ...);
}(std::make_index_sequence<64>{}));

template <unsigned Type>
void fill_table(unsigned square, Bitboard mask, Bitboard* table) {
    constexpr bool rook = Type == ROOK;
    const Bitboard magic = rook ? ROOK_MAGICS[square] : BISHOP_MAGICS[square];
    const unsigned shift = (rook ? ROOK_SHIFTS[square] : BISHOP_SHIFTS[square]) & 63;  // as the lookups read it
    // The up steps of the two lines: the file and the rank, or the diagonals.
    constexpr int step_a = (rook ? ROOK_STEPS : BISHOP_STEPS)[0];
    constexpr int step_b = (rook ? ROOK_STEPS : BISHOP_STEPS)[2];

    // A slider's two lines block independently, so each occupancy is a pair of
    // line occupancies (a, b) with attacks(a | b) = attacks(a) | attacks(b),
    // and since a and b are disjoint, (a | b) * magic = a * magic + b * magic.
    // Each line's subsets are walked once with the carry-rippler step.
    const Bitboard mask_a = (RAY<step_a>[square] | RAY<-step_a>[square]) & mask;
    const Bitboard mask_b = (RAY<step_b>[square] | RAY<-step_b>[square]) & mask;

    std::array<Bitboard, 64> b_attacks;
    std::array<Bitboard, 64> b_products;
    std::size_t b_count = 0;
    Bitboard b = 0;
    do {
        b_attacks[b_count] = line_attacks<step_b>(square, b);
        b_products[b_count++] = b * magic;
        b = (b - mask_b) & mask_b;
    } while (b);

    Bitboard a = 0;
    do {
        const Bitboard a_attacks = line_attacks<step_a>(square, a);
        const Bitboard a_product = a * magic;
        // Below TABLE_SIZE whatever the mask: the shift is 52 or more.
        for (std::size_t j = 0; j < b_count; ++j) table[(a_product + b_products[j]) >> shift] = a_attacks | b_attacks[j];
        a = (a - mask_a) & mask_a;
    } while (a);
}

}  // namespace

void rook_bishop_moves(unsigned square, Bitboard mask, unsigned type, Bitboard* table) {
    if (type == ROOK) fill_table<ROOK>(square, mask, table);
    else fill_table<BISHOP>(square, mask, table);
}

MoveGenerator::MoveGenerator() : attack_tables_(nullptr, std::free) {
    void* memory = std::malloc(TABLE_COUNT * TABLE_SIZE * sizeof(Bitboard));
    if (!memory) throw std::bad_alloc();
    attack_tables_.reset(static_cast<Bitboard*>(memory));
    for (unsigned square = 0; square < 64; ++square) {
        Bitboard* const rook = &attack_tables_[(2 * square) * TABLE_SIZE];
        Bitboard* const bishop = rook + TABLE_SIZE;
        // The fill writes each word below 2^n (the magics are perfect); the
        // words above are cleared. Fresh pages from the kernel would need no
        // clearing, but faulting them in costs more than clearing warm memory.
        const std::size_t rook_used = std::size_t{1} << (64 - ROOK_SHIFTS[square]);
        const std::size_t bishop_used = std::size_t{1} << (64 - BISHOP_SHIFTS[square]);
        std::memset(rook + rook_used, 0, (TABLE_SIZE - rook_used) * sizeof(Bitboard));
        std::memset(bishop + bishop_used, 0, (TABLE_SIZE - bishop_used) * sizeof(Bitboard));
        fill_table<ROOK>(square, get_rook_cross(square), rook);
        fill_table<BISHOP>(square, get_bishop_cross(square), bishop);
    }
}

const Bitboard* MoveGenerator::table(std::size_t entry) const {
    if (entry >= TABLE_COUNT) panic_index(TABLE_COUNT, entry);
    return &attack_tables_[entry * TABLE_SIZE];
}

bool MoveGenerator::square_in_check(const Board& board, unsigned square, unsigned defender) const {
    // The slider lookups would index past the store; refuse before any test.
    if (square >= 64) panic_index(TABLE_COUNT, 2 * square);
    // The defender owns the square; the other side attacks it, so White's
    // square (defender 1, as the side bit says White) is tested against
    // Black's planes.
    return attacked_by(board.planes, occupancy_of(board.planes), square, defender == 1 ? BLACK_PLANES : WHITE_PLANES);
}

namespace {

// The moves of the rooks and queens (ROOK) or bishops and queens (BISHOP) on
// `pieces` onto `targets`, by piece square, then target square, written from
// `out` on (room for 14 words per piece); returns the end of what it wrote.
template <unsigned Type>
ChessMove* list_slider_moves(const MoveGenerator& generator, Bitboard pieces, Bitboard occupancy, Bitboard targets,
                             ChessMove* out) {
    static_assert(Type == ROOK || Type == BISHOP);
    while (pieces) {
        const unsigned from = pop_lsb(pieces);
        Bitboard reach = (Type == ROOK ? generator.rook_attacks(from, occupancy)
                                       : generator.bishop_attacks(from, occupancy)) & targets;
        while (reach) *out++ = ChessMove::pack(from, pop_lsb(reach));
    }
    return out;
}

// The most candidates one piece gives: a queen's 14 straight and 13 diagonal
// moves; no pawn gives more than 14 (three four-word promotions and two en
// passant), no king more than 8 steps, and castling adds 2 for the side.
inline constexpr std::size_t MOST_MOVES_PER_PIECE = 27;
inline constexpr std::size_t CASTLING_MOVES = 2;

// Two pieces may share a square on a board whose planes overlap: count each.
[[nodiscard]] std::size_t piece_count(const Planes& planes, unsigned first_plane) {
    std::size_t count = 0;
    for (unsigned type = 0; type < PIECE_TYPES; ++type)
        count += static_cast<std::size_t>(std::popcount(planes[first_plane + type]));
    return count;
}

}  // namespace

void MoveGenerator::magic_moves(const Board& board, unsigned first_plane, Bitboard own, Bitboard others,
                                unsigned type, MoveList& out) const {
    const Bitboard pieces = board.planes[first_plane + QUEEN] | board.planes[first_plane + type];
    ChessMove* end = out.reserve_end(14 * static_cast<std::size_t>(std::popcount(pieces)));
    if (type == ROOK) end = list_slider_moves<ROOK>(*this, pieces, own | others, ~own, end);
    else end = list_slider_moves<BISHOP>(*this, pieces, own | others, ~own, end);
    out.set_end(end);
}

namespace {

// The side to move's view of the board.
struct Sides {
    explicit Sides(const Board& board) : Sides(board.planes, board.white_to_move()) {}
    Sides(const Planes& planes, bool white_to_move)
        : white(white_to_move), first_plane(first_plane_of(white)), enemy_first_plane(first_plane_of(!white)) {
        for (unsigned type = 0; type < PIECE_TYPES; ++type) {
            own |= planes[first_plane + type];
            others |= planes[enemy_first_plane + type];
        }
        occupancy = own | others;
    }

    bool white;
    unsigned first_plane;
    unsigned enemy_first_plane;
    Bitboard own = 0;
    Bitboard others = 0;
    Bitboard occupancy = 0;
};

// Calls emit(rule) for each castling the side may try: its king at home and
// not in check (in_check() says), the right, the squares between king and
// rook empty, the two the king crosses not attacked (attacked(square)
// says). The right stands for the rook: the corner is not looked at here.
template <class InCheck, class Attacked, class Emit>
void castlings(const Sides& sides, std::uint64_t state, Bitboard kings, InCheck in_check, Attacked attacked,
               Emit emit) {
    const auto& rules = castling_rules(sides.white);
    if (!(kings & square_bb(rules[0].king_from)) || in_check()) return;
    for (const CastlingRule& rule : rules) {
        if (!(state >> rule.right & 1) || (sides.occupancy & rule.must_be_empty)) continue;
        if (attacked(rule.must_be_safe[0]) || attacked(rule.must_be_safe[1])) continue;
        emit(rule);
    }
}

// The candidate moves, in the listing order: king steps, castling, knights,
// pawns, rooks and queens, bishops and queens. Every piece but the king
// moves only onto `targets`: the squares that answer a check, or every
// square. En passant is listed wherever the state word offers it, whatever
// the targets, since it can answer a pawn's check without landing on the
// pawn.
struct Candidates {
    std::size_t king_moves;  // how many of the moves are the king's: they come first
    bool en_passant;         // whether an en-passant capture was listed
};

class CandidateLister {
public:
    // `in_check`, when the caller knows it, says whether the side's only king
    // stands attacked; castling asks it of the king's home square otherwise.
    CandidateLister(const MoveGenerator& generator, const Board& board, const Sides& sides, Bitboard targets,
                    std::optional<bool> in_check = std::nullopt)
        : generator_(generator), board_(board), sides_(sides), targets_(targets), in_check_(in_check) {}

    // Room for every candidate of the side's `pieces` is reserved once; the
    // words are then written without a test each.
    Candidates run(std::size_t pieces, MoveList& out) {
        const Planes& planes = board_.planes;
        const unsigned first_plane = sides_.first_plane;
        out.clear();
        ChessMove* const start = out.reserve_end(MOST_MOVES_PER_PIECE * pieces + CASTLING_MOVES);
        cursor_ = start;
        king_steps(planes[first_plane + KING]);
        castling(planes[first_plane + KING]);
        const auto king_moves = static_cast<std::size_t>(cursor_ - start);
        knight_jumps(planes[first_plane + KNIGHT]);
        pawn_moves(planes[first_plane + PAWN]);
        const Bitboard queens = planes[first_plane + QUEEN];
        const Bitboard piece_targets = ~sides_.own & targets_;
        cursor_ = list_slider_moves<ROOK>(generator_, planes[first_plane + ROOK] | queens, sides_.occupancy,
                                          piece_targets, cursor_);
        cursor_ = list_slider_moves<BISHOP>(generator_, planes[first_plane + BISHOP] | queens, sides_.occupancy,
                                            piece_targets, cursor_);
        out.set_end(cursor_);
        return {king_moves, en_passant_};
    }

private:
    void push(ChessMove move) { *cursor_++ = move; }
    // Written in any case, kept only when `keep`: no branch per candidate.
    void push_if(ChessMove move, bool keep) {
        *cursor_ = move;
        cursor_ += keep;
    }

    void jumps(Bitboard pieces, const std::array<JumpList, 64>& table, Bitboard allowed) {
        while (pieces) {
            const unsigned from = pop_lsb(pieces);
            const JumpList& jumps = table[from];
            for (unsigned i = 0; i < jumps.count; ++i)
                push_if(ChessMove::pack(from, jumps.to[i]), (allowed >> jumps.to[i]) & 1);
        }
    }

    // The king's moves stay unfiltered here: the legality pass tests them.
    void king_steps(Bitboard kings) { jumps(kings, KING_JUMPS, ~sides_.own); }

    void castling(Bitboard kings) {
        const auto attacked = [&](unsigned square) {
            return generator_.attacked_by(board_.planes, sides_.occupancy, square, sides_.enemy_first_plane);
        };
        const auto in_check = [&] {
            return in_check_ ? *in_check_ : attacked(castling_rules(sides_.white)[0].king_from);
        };
        castlings(sides_, board_.state, kings, in_check, attacked, [&](const CastlingRule& rule) { push(rule.move()); });
    }

    void knight_jumps(Bitboard knights) { jumps(knights, KNIGHT_JUMPS, ~sides_.own & targets_); }

    void promotions(unsigned from, unsigned to) {
        for (unsigned code = ChessMove::PROMOTE_KNIGHT; code <= ChessMove::PROMOTE_QUEEN; ++code)
            push(ChessMove::pack(from, to, code));
    }

    // By pawn square; one pawn's moves: first capture step (promotions or a
    // plain capture, then en passant), second capture step, push (promotions,
    // or plain then double step).
    void pawn_moves(Bitboard pawns) {
        if (!pawns) return;
        const bool white = sides_.white;
        const Bitboard empty = ~sides_.occupancy;
        const Bitboard captures = sides_.others & targets_;
        const Bitboard pushes = empty & targets_;

        // Set-wise first, each pawn marked on its own square: which steps
        // stay on the board and land where they may. The first capture step
        // goes one file left for White (+7) and right for Black (-7).
        const int push_step = white ? 8 : -8;
        const std::array<int, 2> capture_steps = {white ? 7 : -7, white ? 9 : -9};
        const std::array<Bitboard, 2> on_board = {white ? ~FILE_A_BB : ~FILE_H_BB, white ? ~FILE_H_BB : ~FILE_A_BB};
        const auto back = [white](Bitboard targets, int step) {
            return white ? targets >> step : targets << -step;
        };
        const std::array<Bitboard, 2> capturing = {pawns & on_board[0] & back(captures, capture_steps[0]),
                                                   pawns & on_board[1] & back(captures, capture_steps[1])};
        const Bitboard pushing = pawns & back(pushes, push_step);
        // A double step needs the square it passes empty, allowed or not.
        const Bitboard double_stepping =
            pawns & rank_bb(white ? 1 : 6) & back(empty, push_step) & back(pushes, 2 * push_step);

        // Pawns that promote or may take en passant take the slow road.
        const unsigned promotion_rank = white ? 6 : 1;
        const unsigned en_passant_rank = white ? 4 : 3;
        const unsigned en_passant_files = (board_.state >> en_passant_set(white)) & 0xFF;
        const Bitboard special = pawns & (rank_bb(promotion_rank) | (en_passant_files ? rank_bb(en_passant_rank) : 0));

        for (Bitboard rest = pawns; rest;) {
            const unsigned from = pop_lsb(rest);
            if ((special >> from) & 1) [[unlikely]] {
                const bool promoting = rank_of(from) == promotion_rank;
                for (std::size_t i = 0; i < 2; ++i) {
                    if (!((on_board[i] >> from) & 1)) continue;
                    const unsigned to = from + capture_steps[i];
                    if ((capturing[i] >> from) & 1) {
                        if (promoting) promotions(from, to);
                        else push(ChessMove::pack(from, to));
                    }
                    // The squares are not looked at: the legality pass is.
                    if (rank_of(from) == en_passant_rank && (en_passant_files >> file_of(to)) & 1) {
                        push(ChessMove::pack(from, to, ChessMove::EN_PASSANT));
                        en_passant_ = true;
                    }
                }
                // Neither rank is the double-step rank.
                if ((pushing >> from) & 1) {
                    if (promoting) promotions(from, from + push_step);
                    else push(ChessMove::pack(from, from + push_step));
                }
                continue;
            }
            push_if(ChessMove::pack(from, from + capture_steps[0]), (capturing[0] >> from) & 1);
            push_if(ChessMove::pack(from, from + capture_steps[1]), (capturing[1] >> from) & 1);
            push_if(ChessMove::pack(from, from + push_step), (pushing >> from) & 1);
            push_if(ChessMove::pack(from, from + 2 * push_step, ChessMove::DOUBLE_STEP), (double_stepping >> from) & 1);
        }
    }

    const MoveGenerator& generator_;
    const Board& board_;
    const Sides& sides_;
    const Bitboard targets_;
    const std::optional<bool> in_check_;
    ChessMove* cursor_ = nullptr;
    bool en_passant_ = false;
};

static_assert(rank_of(E1) == 0 && rank_of(E8) == 7, "the double-step ranks 1 and 6 hold no promoting pawn");

// Makes the move, tests the mover's king and takes the move back. A move the
// board cannot make is not legal either: on a board where one square holds
// two pieces, a rook's move may be made by the pawn under it, which would
// reach the last rank without a promotion.
bool leaves_king_attacked(const MoveGenerator& generator, Board& board, ChessMove move, unsigned first_plane,
                          unsigned side) {
    if (unsupported_move(board, move)) return true;
    push_move(board, move);
    const Bitboard king = board.planes[first_plane + KING];
    if (!king) {
        // The test of square 64 fails; take the move back before reporting.
        pop_move(board);
        panic_index(MoveGenerator::TABLE_COUNT, 2 * 64);
    }
    const bool attacked = generator.square_in_check(board, lsb(king), side);
    pop_move(board);
    return attacked;
}

// What can make a move illegal on a board of disjoint planes and one king of
// the side to move.
struct KingSafety {
    unsigned king;
    Bitboard pinned;    // own pieces that alone stand between the king and an enemy slider
    Bitboard evasions;  // the targets that answer a check: all without one, none in double check
};

KingSafety king_safety(const MoveGenerator& generator, const Planes& planes, const Sides& sides, unsigned king) {
    const unsigned enemy = sides.enemy_first_plane;
    KingSafety safety{king, 0, ~Bitboard{0}};
    const Bitboard straight = planes[enemy + ROOK] | planes[enemy + QUEEN];
    const Bitboard diagonal = planes[enemy + BISHOP] | planes[enemy + QUEEN];
    for (Bitboard snipers = (ROOK_RAYS[king] & straight) | (BISHOP_RAYS[king] & diagonal); snipers;) {
        const Bitboard blockers = BETWEEN[king][pop_lsb(snipers)] & sides.occupancy;
        if (blockers && !(blockers & (blockers - 1)) && (blockers & sides.own)) safety.pinned |= blockers;
    }
    if (const Bitboard checkers = generator.attackers(planes, sides.occupancy, king, enemy)) {
        // One checker: take it or step into its line. Two: only the king moves.
        safety.evasions = checkers & (checkers - 1) ? 0 : BETWEEN[king][lsb(checkers)] | checkers;
    }
    return safety;
}

// Whether the king is safe after the move, with the board as push_move would
// leave it but without making the move. Only king moves, en passant and
// pinned pieces reach here.
class LegalityTest {
public:
    LegalityTest(const MoveGenerator& generator, const Planes& planes, const Sides& sides, const KingSafety& safety)
        : generator_(generator),
          planes_(planes),
          sides_(sides),
          safety_(safety),
          movers_to_test_(safety.pinned | square_bb(safety.king)) {}

    // Whether the move can leave the king attacked at all.
    [[nodiscard]] bool suspect(ChessMove move) const {
        return (movers_to_test_ >> move.from() & 1) || move.special() == ChessMove::EN_PASSANT;
    }

    [[nodiscard]] bool legal(ChessMove move) const {
        const unsigned king = safety_.king;
        const unsigned to = move.to();
        if (move.from() == king) return move.special() == ChessMove::CASTLING ? castling_safe(to) : step_safe(to);
        if (move.special() == ChessMove::EN_PASSANT) return en_passant_safe(move.from(), to);
        // A pinned piece may move along its pin line only.
        return LINE[king][move.from()] >> to & 1;
    }

    // A piece on the target attacks everything but its own square, so a
    // capture needs no special case; the king's old square blocks nothing.
    [[nodiscard]] bool step_safe(unsigned to) const {
        return !attacked(to, sides_.occupancy ^ square_bb(safety_.king));
    }

    // The listing found the king's target unattacked with the king at home.
    // With the rook on its corner, the rook takes the king's place beside the
    // target and the corner behind it opens onto nothing, so that stands. The
    // right alone, without the rook, empties the king's square: a slider
    // behind it may then see the target.
    [[nodiscard]] bool castling_safe(unsigned to) const {
        const auto& rules = castling_rules(sides_.white);
        const CastlingRule& rule = rules[0].king_to == to ? rules[0] : rules[1];
        if (planes_[sides_.first_plane + ROOK] & square_bb(rule.rook_from)) return true;
        return !attacked(to, (sides_.occupancy ^ square_bb(safety_.king)) | square_bb(to));
    }

    // As push_move makes it: a piece of the other side on `to` is taken as in
    // any capture; otherwise the other side's pawn behind `to`, if any.
    [[nodiscard]] bool en_passant_safe(unsigned from, unsigned to) const {
        const unsigned enemy = sides_.enemy_first_plane;
        const unsigned behind = sides_.white ? to - 8 : to + 8;
        const Bitboard removed = (sides_.others >> to & 1) ? square_bb(to)
                                                           : square_bb(behind) & planes_[enemy + PAWN];
        const Bitboard occupancy = (sides_.occupancy ^ square_bb(from) ^ removed) | square_bb(to);
        return !(generator_.attackers(planes_, occupancy, safety_.king, enemy) & ~removed);
    }

private:
    [[nodiscard]] bool attacked(unsigned square, Bitboard occupancy) const {
        return generator_.attacked_by(planes_, occupancy, square, sides_.enemy_first_plane);
    }

    const MoveGenerator& generator_;
    const Planes& planes_;
    const Sides& sides_;
    const KingSafety& safety_;
    const Bitboard movers_to_test_;
};

[[nodiscard]] bool planes_disjoint(const Planes& planes) {
    Bitboard seen = 0, overlap = 0;
    for (const Bitboard plane : planes) {
        overlap |= plane & seen;
        seen |= plane;
    }
    return !overlap;
}

// The pawn steps of the side set-wise, as LegalTargets orders them: one
// square towards the other side's home rank, two, and the captures towards
// the a-file and the h-file; off the board is nothing.
template <bool White>
[[nodiscard]] constexpr Bitboard forward(Bitboard b) {
    return White ? b << 8 : b >> 8;
}
template <bool White>
[[nodiscard]] constexpr Bitboard capture_west(Bitboard b) {
    return White ? (b & ~FILE_A_BB) << 7 : (b & ~FILE_A_BB) >> 9;
}
template <bool White>
[[nodiscard]] constexpr Bitboard capture_east(Bitboard b) {
    return White ? (b & ~FILE_H_BB) << 9 : (b & ~FILE_H_BB) >> 7;
}
static_assert(LegalTargets::pawn_steps(true)[LegalTargets::CAPTURE_WEST] == 7 &&
              capture_west<true>(square_bb(9)) == square_bb(16) && capture_east<false>(square_bb(49)) == square_bb(42));

// Every square the pieces of the side attack, sliders blocked by `occupancy`.
template <bool White>
[[nodiscard]] Bitboard attacked_squares(const MoveGenerator& generator, const Planes& planes, Bitboard occupancy) {
    constexpr unsigned first = first_plane_of(White);
    const Bitboard pawns = planes[first + PAWN];
    Bitboard attacked = capture_west<White>(pawns) | capture_east<White>(pawns);
    for (Bitboard knights = planes[first + KNIGHT]; knights;) attacked |= KNIGHT_TARGETS[pop_lsb(knights)];
    for (Bitboard kings = planes[first + KING]; kings;) attacked |= KING_TARGETS[pop_lsb(kings)];
    const Bitboard queens = planes[first + QUEEN];
    for (Bitboard straight = planes[first + ROOK] | queens; straight;)
        attacked |= generator.rook_attacks(pop_lsb(straight), occupancy);
    for (Bitboard diagonal = planes[first + BISHOP] | queens; diagonal;)
        attacked |= generator.bishop_attacks(pop_lsb(diagonal), occupancy);
    return attacked;
}

// legal_targets for the side to move, on a board of disjoint planes with one
// king of that side on `king`: the candidates of legal_moves as sets, with
// its legality pass done set-wise where it can be, move by move (en
// passant, castling without its rook) where it cannot.
template <bool White>
void fill_legal_targets(const MoveGenerator& generator, const Planes& planes, std::uint64_t state, unsigned king,
                        LegalTargets& out) {
    constexpr unsigned own = first_plane_of(White);
    const Sides sides(planes, White);
    const KingSafety safety = king_safety(generator, planes, sides, king);
    const LegalityTest test(generator, planes, sides, safety);
    const Bitboard allowed = ~sides.own & safety.evasions;
    // An unpinned piece may go wherever it answers any check; a pinned one
    // along its pin line only.
    const auto reach = [&](unsigned from) {
        return (safety.pinned >> from & 1) ? allowed & LINE[king][from] : allowed;
    };
    Bitboard movers = 0;
    const auto put = [&](unsigned from, Bitboard targets) {
        out.targets[from] = targets;
        movers |= Bitboard{targets != 0} << from;
    };

    for (Bitboard knights = planes[own + KNIGHT]; knights;) {
        const unsigned from = pop_lsb(knights);
        put(from, KNIGHT_TARGETS[from] & reach(from));
    }
    const Bitboard occupancy = sides.occupancy;
    for (Bitboard rooks = planes[own + ROOK]; rooks;) {
        const unsigned from = pop_lsb(rooks);
        put(from, generator.rook_attacks(from, occupancy) & reach(from));
    }
    for (Bitboard bishops = planes[own + BISHOP]; bishops;) {
        const unsigned from = pop_lsb(bishops);
        put(from, generator.bishop_attacks(from, occupancy) & reach(from));
    }
    for (Bitboard queens = planes[own + QUEEN]; queens;) {
        const unsigned from = pop_lsb(queens);
        put(from, (generator.rook_attacks(from, occupancy) | generator.bishop_attacks(from, occupancy)) & reach(from));
    }

    // Pawns set-wise, the pinned ones each on its own along its pin line. A
    // double step needs the square it passes empty, allowed or not.
    const Bitboard pawns = planes[own + PAWN];
    const Bitboard empty = ~occupancy;
    auto& pawn_targets = out.pawn_targets;
    const auto add_pawns = [&](Bitboard movers, Bitboard allowed) {
        const Bitboard single = forward<White>(movers) & empty;
        pawn_targets[LegalTargets::PUSH] |= single & allowed;
        pawn_targets[LegalTargets::DOUBLE_STEP] |= forward<White>(single & rank_bb(White ? 2 : 5)) & empty & allowed;
        pawn_targets[LegalTargets::CAPTURE_WEST] |= capture_west<White>(movers) & sides.others & allowed;
        pawn_targets[LegalTargets::CAPTURE_EAST] |= capture_east<White>(movers) & sides.others & allowed;
    };
    pawn_targets = {};
    add_pawns(pawns & ~safety.pinned, safety.evasions);
    for (Bitboard pinned = pawns & safety.pinned; pinned;) {
        const unsigned from = pop_lsb(pinned);
        add_pawns(square_bb(from), safety.evasions & LINE[king][from]);
    }
    // En passant wherever the state word offers it, whatever the square
    // holds and whatever the check and pins: the test alone decides, as in
    // legal_moves.
    if (const Bitboard files = (state >> en_passant_set(White)) & 0xFF) [[unlikely]] {
        const Bitboard squares = files << (White ? 40 : 16);
        for (Bitboard rest = pawns & rank_bb(White ? 4 : 3); rest;) {
            const unsigned from = pop_lsb(rest);
            const Bitboard pawn = square_bb(from);
            if (const Bitboard to = capture_west<White>(pawn) & squares; to && test.en_passant_safe(from, lsb(to)))
                pawn_targets[LegalTargets::CAPTURE_WEST] |= to;
            if (const Bitboard to = capture_east<White>(pawn) & squares; to && test.en_passant_safe(from, lsb(to)))
                pawn_targets[LegalTargets::CAPTURE_EAST] |= to;
        }
    }

    // The king: the squares the other side does not attack with the king
    // gone from its square, so that no slider's line ends at it, found at
    // once. Without a check, that is every square attacked with the king in
    // place too, which castling asks of the squares the king crosses: a line
    // through the king's square would be a check.
    const Bitboard attacked = attacked_squares<!White>(generator, planes, occupancy ^ square_bb(king));
    Bitboard king_targets = KING_TARGETS[king] & ~sides.own & ~attacked;
    const bool in_check = safety.evasions != ~Bitboard{0};
    castlings(
        sides, state, square_bb(king), [in_check] { return in_check; },
        [attacked](unsigned square) { return (attacked >> square & 1) != 0; },
        [&](const CastlingRule& rule) {
            if (test.castling_safe(rule.king_to)) king_targets |= square_bb(rule.king_to);
        });
    put(king, king_targets);
    out.movers = movers;
}

}  // namespace

void MoveGenerator::pseudo_legal_moves(const Board& board, MoveList& out) const {
    const Sides sides(board);
    CandidateLister(*this, board, sides, ~Bitboard{0}).run(piece_count(board.planes, sides.first_plane), out);
}

void MoveGenerator::filter_by_make(Board& board, MoveList& moves) const {
    const unsigned first_plane = first_plane_of(board.white_to_move());
    const unsigned side = board.white_to_move() ? 1 : 0;
    std::size_t kept = 0;
    for (const ChessMove move : moves)
        if (!leaves_king_attacked(*this, board, move, first_plane, side)) moves.begin()[kept++] = move;
    moves.resize_down(kept);
}

void MoveGenerator::legal_moves(Board& board, MoveList& out) const {
    const Sides sides(board);
    const Bitboard kings = board.planes[sides.first_plane + KING];

    // The reasoning of the legality pass holds for real positions only; any
    // other board has its candidates made and tested one by one.
    if (!planes_disjoint(board.planes) || !kings || (kings & (kings - 1))) {
        pseudo_legal_moves(board, out);
        filter_by_make(board, out);
        return;
    }

    const KingSafety safety = king_safety(*this, board.planes, sides, lsb(kings));
    const auto pieces = static_cast<std::size_t>(std::popcount(sides.own));  // the planes are disjoint
    const bool in_check = safety.evasions != ~Bitboard{0};
    const Candidates candidates = CandidateLister(*this, board, sides, safety.evasions, in_check).run(pieces, out);

    // Every other move of an unpinned piece lands where it answers any check
    // and uncovers no line to the king, so it stands. The king's moves come
    // first; past them only pinned pieces and en passant need the test.
    const LegalityTest test(*this, board.planes, sides, safety);
    const std::size_t end = safety.pinned || candidates.en_passant ? out.size() : candidates.king_moves;
    ChessMove* moves = out.begin();
    std::size_t kept = 0;
    for (std::size_t i = 0; i < end; ++i) {
        const ChessMove move = moves[i];
        moves[kept] = move;
        kept += !test.suspect(move) || test.legal(move);
    }
    if (kept != end) {
        std::copy(moves + end, out.end(), moves + kept);
        out.resize_down(out.size() - (end - kept));
    }
}

bool MoveGenerator::legal_targets(const Planes& planes, std::uint64_t state, LegalTargets& out) const {
    const bool white = state & WHITE_TO_MOVE;
    const Bitboard kings = planes[first_plane_of(white) + KING];
    if (!planes_disjoint(planes) || !kings || (kings & (kings - 1))) return false;
    if (white) fill_legal_targets<true>(*this, planes, state, lsb(kings), out);
    else fill_legal_targets<false>(*this, planes, state, lsb(kings), out);
    return true;
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
