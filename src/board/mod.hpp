// The position record, FEN reading and writing, the plane export's planes,
// making and unmaking moves, and colour reflection.
//
// Planes: plane = 6 * colour + type, colour 0 White, 1 Black; type 0 pawn,
// 1 knight, 2 bishop, 3 rook, 4 queen, 5 king.
//
// State word:
//   bit  0      White to move (1) or Black (0)
//   bits 1-4    castling rights K, Q, k, q
//   bits 5-12   rank-6 set: en-passant files a-h, read when White is to move
//   bits 13-20  rank-3 set: en-passant files a-h, read when Black is to move
//   bits 21-63  unused; only an odd en-passant field in FEN text sets them
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "board/undo_stack.hpp"
#include "chess_move/mod.hpp"
#include "common/mod.hpp"
#include "zobrist/mod.hpp"

namespace velmor {

using Planes = std::array<Bitboard, 12>;

// Piece types: a side's plane of a type is its first plane + the type.
inline constexpr unsigned PAWN = 0, KNIGHT = 1, BISHOP = 2, ROOK = 3, QUEEN = 4, KING = 5;
inline constexpr unsigned PIECE_TYPES = 6;
inline constexpr unsigned PLANE_COUNT = 12;

// The first plane of each side.
inline constexpr unsigned WHITE_PLANES = 0, BLACK_PLANES = PIECE_TYPES;
[[nodiscard]] constexpr unsigned first_plane_of(bool white) { return white ? WHITE_PLANES : BLACK_PLANES; }

// The piece type a promotion code makes: the codes run knight to queen, as
// the types do.
[[nodiscard]] constexpr unsigned promoted_type(unsigned special) {
    return KNIGHT + (special - ChessMove::PROMOTE_KNIGHT);
}
static_assert(promoted_type(ChessMove::PROMOTE_BISHOP) == BISHOP && promoted_type(ChessMove::PROMOTE_ROOK) == ROOK &&
              promoted_type(ChessMove::PROMOTE_QUEEN) == QUEEN);

inline constexpr std::uint64_t WHITE_TO_MOVE = 1;
inline constexpr unsigned WHITE_KING_SIDE = 1, WHITE_QUEEN_SIDE = 2, BLACK_KING_SIDE = 3, BLACK_QUEEN_SIDE = 4;
inline constexpr unsigned RANK6_SET = 5;   // first bit of the rank-6 set
inline constexpr unsigned RANK3_SET = 13;  // first bit of the rank-3 set
inline constexpr std::uint64_t EN_PASSANT_BITS = 0xFFFFULL << RANK6_SET;
// Bits 0-20 mean something; bit 21 still has a key (moves never change it).
inline constexpr unsigned MEANINGFUL_STATE_BITS = 21;

// The en-passant set the side to move reads: files a-h of the square its
// pawns capture onto.
[[nodiscard]] constexpr unsigned en_passant_set(bool white) { return white ? RANK6_SET : RANK3_SET; }

// One castling move: the right it needs, where king and rook go, and what the
// listing wants of the squares between (empty, and not attacked).
struct CastlingRule {
    unsigned right;
    unsigned king_from, king_to, rook_from, rook_to;
    Bitboard must_be_empty;
    std::array<unsigned, 2> must_be_safe;

    [[nodiscard]] constexpr ChessMove move() const { return ChessMove::pack(king_from, king_to, ChessMove::CASTLING); }
};

// King side first, as the listing orders them.
inline constexpr std::array<CastlingRule, 2> WHITE_CASTLING = {{
    {WHITE_KING_SIDE, E1, G1, H1, F1, square_bb(F1) | square_bb(G1), {F1, G1}},
    {WHITE_QUEEN_SIDE, E1, C1, A1, D1, square_bb(C1) | square_bb(D1) | square_bb(B1), {C1, D1}},
}};
inline constexpr std::array<CastlingRule, 2> BLACK_CASTLING = {{
    {BLACK_KING_SIDE, E8, G8, H8, F8, square_bb(F8) | square_bb(G8), {F8, G8}},
    {BLACK_QUEEN_SIDE, E8, C8, A8, D8, square_bb(C8) | square_bb(D8) | square_bb(B8), {C8, D8}},
}};
static_assert(WHITE_CASTLING[0].move() == ChessMove{0x3184} && WHITE_CASTLING[1].move() == ChessMove{0x3084} &&
              BLACK_CASTLING[0].move() == ChessMove{0x3FBC} && BLACK_CASTLING[1].move() == ChessMove{0x3EBC});

[[nodiscard]] constexpr const std::array<CastlingRule, 2>& castling_rules(bool white) {
    return white ? WHITE_CASTLING : BLACK_CASTLING;
}

inline constexpr std::string_view DEFAULT_FEN = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -";

// Longest FEN text fen() can write: 71 + 3 + 4 + 1 + 2.
inline constexpr std::size_t MAX_FEN = 81;

struct MoveRecord {
    std::uint64_t state_before;
    std::uint16_t changed_planes;  // bit i: plane i's old value was saved
};

// What the four fields of FEN text say: the planes and the state word.
struct FenFields {
    Planes planes{};
    std::uint64_t state = 0;
};

struct Board {
    std::array<UndoStack<Bitboard>, 12> plane_history;
    UndoStack<MoveRecord> move_history;
    ZobristBoardComponent zobrist;
    Planes planes{};
    std::uint64_t state = 0;

    Board() = default;
    // A board of the position with empty histories.
    explicit Board(const FenFields& fields);
    Board(Board&&) noexcept = default;
    Board& operator=(Board&&) noexcept = default;
    Board& operator=(const Board&) = default;
    // Nearly every board copied has no move to take back (one read from FEN
    // text, or a copy of one). Then its plane stacks are empty too, since
    // each holds one value per move record that names its plane, and none of
    // the thirteen is copied.
    Board(const Board& other) : zobrist(other.zobrist), planes(other.planes), state(other.state) {
        if (!other.move_history.empty()) {
            plane_history = other.plane_history;
            move_history = other.move_history;
        }
    }

    [[nodiscard]] bool white_to_move() const { return state & WHITE_TO_MOVE; }
};

// The placement reader: the twelve planes of the first field of a FEN text.
[[nodiscard]] Planes pieces_from_fen(std::string_view fen);

// Reads all four fields of FEN text (InvalidInput or Panic on bad text).
[[nodiscard]] FenFields read_fen(std::string_view fen);

// Builds a board from FEN text.
[[nodiscard]] Board board_from_fen(std::string_view fen);

// Writes the four-field FEN text into out (room for MAX_FEN); returns its length.
std::size_t write_fen(const Board& board, char* out);
[[nodiscard]] std::string fen(const Board& board);

// Mirrors the board top to bottom and swaps the colours; empties the history
// and brings both hashes up to date for the new position.
void reflect(Board& board);

// Reads move text and makes the move, refusing bad text with InvalidInput
// before anything changes.
void push_text(Board& board, std::string_view text);

// Why push_move cannot make this move, or nullptr when it can. Only pawn moves
// to the first or last rank can be refused.
[[nodiscard]] const char* unsupported_move(const Board& board, ChessMove move);

inline constexpr unsigned NO_PLANE = PLANE_COUNT;

// ---------------------------------------------------------------- self-check

// How far the hashes are from a full recomputation of the position: zero for
// a board read from FEN text or reflected. Taking a move back never changes
// it, and neither does making a move whose key toggles are exact; the moves
// listed on a well-formed board all are.
struct HashDrift {
    std::uint64_t hash64 = 0;
    std::uint16_t hash16 = 0;

    bool operator==(const HashDrift&) const = default;
};

[[nodiscard]] HashDrift hash_drift(const Board& board);

enum class Hashes : bool { unchecked, exact };

// What breaks the board's bookkeeping, or nullptr when it holds together:
// every move record names one to four of the twelve planes, each plane's stack
// holds one entry per record naming it, and each recorded move passed the
// turn, lost castling rights without gaining any, left bits 21-63 alone and at
// most one en-passant file. With Hashes::exact the hashes must also have no
// drift.
[[nodiscard]] const char* board_fault(const Board& board, Hashes hashes);

// Debug builds check the board after every make and take-back and abort with
// the fault; where NDEBUG is defined the check compiles to nothing.
#ifdef NDEBUG
inline constexpr bool CHECK_MOVES = false;
#else
inline constexpr bool CHECK_MOVES = true;
#endif

// What a make or take-back must keep, taken before it changes anything.
struct MoveCheck {
    HashDrift drift;
    bool keeps_drift = false;
    std::optional<ChessMove> move;  // the move made; none for a take-back

    // The planes as push_move found them: the mover's, the castling rook's
    // and the promoted piece's (NO_PLANE for none).
    [[nodiscard]] static MoveCheck before_push(const Board& board, ChessMove move, unsigned moving, bool en_passant,
                                               unsigned castling_rook, unsigned promoted);
    [[nodiscard]] static MoveCheck before_pop(const Board& board);
    // Prints the fault, the operation and the position, then aborts.
    void after(const Board& board) const;
};

// The lowest plane in [first, last) holding the square, or NO_PLANE.
[[nodiscard]] inline unsigned plane_at(const Planes& planes, unsigned square, unsigned first = 0,
                                       unsigned last = PLANE_COUNT) {
    const Bitboard bit = square_bb(square);
    for (unsigned plane = first; plane < last; ++plane)
        if (planes[plane] & bit) return plane;
    return NO_PLANE;
}

// Makes a move without testing legality; it needs a piece on the from-square.
inline void push_move(Board& board, ChessMove move) {
    const unsigned from = move.from();
    const unsigned to = move.to();
    const unsigned special = move.special();
    const bool white = board.white_to_move();
    Planes& planes = board.planes;
    ZobristBoardComponent& zobrist = board.zobrist;

    const unsigned moving = plane_at(planes, from);
    if (moving == NO_PLANE) panic(UNWRAP_NONE);
    const unsigned mover_first_plane = moving < BLACK_PLANES ? WHITE_PLANES : BLACK_PLANES;
    const unsigned other_first_plane = BLACK_PLANES - mover_first_plane;
    const unsigned type = moving - mover_first_plane;
    const bool last_rank = rank_of(to) == 0 || rank_of(to) == 7;

    // Captured plane: an other-colour piece on to, or en passant for a pawn
    // that changes file onto a square of no other-colour piece.
    unsigned captured = plane_at(planes, to, other_first_plane, other_first_plane + PIECE_TYPES);
    bool en_passant = false;
    if (captured == NO_PLANE && type == PAWN && file_of(to) != file_of(from)) {
        en_passant = true;
        captured = other_first_plane + PAWN;
    }
    // Castling is told by the king's files alone, whatever the ranks.
    const bool castling = type == KING && file_of(from) == FILE_E && (file_of(to) == FILE_C || file_of(to) == FILE_G);
    const unsigned rook = mover_first_plane + ROOK;
    if (type == PAWN && last_rank) [[unlikely]] {
        if (const char* reason = unsupported_move(board, move)) panic(reason);
    }
    const bool promotion = type == PAWN && last_rank && special >= ChessMove::PROMOTE_KNIGHT;
    const unsigned promoted = promotion ? mover_first_plane + promoted_type(special) : NO_PLANE;
    MoveCheck check;
    if constexpr (CHECK_MOVES)
        check = MoveCheck::before_push(board, move, moving, en_passant, castling ? rook : NO_PLANE, promoted);

    // Save every plane the move changes, then the record. An append that
    // fails for want of memory takes back the ones before it, so that a move
    // which cannot be made leaves the board exactly as it was.
    std::uint16_t changed = 0;
    const auto save = [&](unsigned plane) {
        board.plane_history[plane].push_back(planes[plane]);
        changed |= static_cast<std::uint16_t>(1u << plane);
    };
    try {
        save(moving);
        if (captured != NO_PLANE) save(captured);
        if (castling) save(rook);
        if (promotion) save(promoted);
        board.move_history.push_back(MoveRecord{board.state, changed});
    } catch (...) {
        for (Bitboard saved = changed; saved;) board.plane_history[pop_lsb(saved)].pop_back();
        throw;
    }

    planes[moving] = (planes[moving] & ~square_bb(from)) | square_bb(to);
    zobrist.toggle_piece(moving, from);
    zobrist.toggle_piece(moving, to);

    if (en_passant) {
        // The victim stands behind the to-square as the side to move sees it.
        const unsigned victim = white ? to - 8 : to + 8;
        const unsigned victim_plane = first_plane_of(!white) + PAWN;
        planes[victim_plane] &= ~square_bb(victim);
        zobrist.toggle_piece(victim_plane, victim);
    } else if (captured != NO_PLANE) {
        planes[captured] &= ~square_bb(to);
        zobrist.toggle_piece(captured, to);
    }

    if (castling) {
        // The rook of the side to move's back rank, on the wing of the king's file.
        const CastlingRule& rule = castling_rules(white)[file_of(to) == FILE_G ? 0 : 1];
        if (planes[rook] & square_bb(rule.rook_from))
            planes[rook] = (planes[rook] & ~square_bb(rule.rook_from)) | square_bb(rule.rook_to);
        zobrist.toggle_piece(rook, rule.rook_from);
        zobrist.toggle_piece(rook, rule.rook_to);
    }

    if (promotion) {
        planes[moving] &= ~square_bb(to);
        planes[promoted] |= square_bb(to);
        zobrist.toggle_piece(moving, to);
        zobrist.toggle_piece(promoted, to);
    }

    std::uint64_t& state = board.state;
    for (Bitboard old = (state >> en_passant_set(white)) & 0xFF; old;)
        zobrist.toggle_state_bit(en_passant_set(white) + pop_lsb(old));
    state &= ~EN_PASSANT_BITS;

    // A double step offers en passant to the other side's set.
    if (moving == WHITE_PLANES + PAWN && rank_of(to) == rank_of(from) + 2) {
        state |= Bitboard{1} << (RANK3_SET + file_of(to));
        zobrist.toggle_state_bit(RANK3_SET + file_of(to));
    } else if (moving == BLACK_PLANES + PAWN && rank_of(from) == rank_of(to) + 2) {
        state |= Bitboard{1} << (RANK6_SET + file_of(to));
        zobrist.toggle_state_bit(RANK6_SET + file_of(to));
    }

    const auto clear_right = [&](unsigned bit) {
        if (state & (Bitboard{1} << bit)) {
            state &= ~(Bitboard{1} << bit);
            zobrist.toggle_state_bit(bit);
        }
    };
    // Only a piece of the side to move gives up that side's rights.
    if (moving == first_plane_of(white) + KING) {
        for (const CastlingRule& rule : castling_rules(white)) clear_right(rule.right);
    } else if (moving == first_plane_of(white) + ROOK) {
        for (const CastlingRule& rule : castling_rules(white))
            if (from == rule.rook_from) clear_right(rule.right);
    }

    // A rook captured on its corner takes its owner's right with it; the
    // corners differ, so at most one right goes.
    for (const bool owner_white : {true, false})
        if (captured == first_plane_of(owner_white) + ROOK)
            for (const CastlingRule& rule : castling_rules(owner_white))
                if (to == rule.rook_from) clear_right(rule.right);

    state ^= WHITE_TO_MOVE;
    zobrist.toggle_state_bit(0);
    if constexpr (CHECK_MOVES) check.after(board);
}

// Makes a legal move on the planes and the state word alone, for a reader
// that only goes forward (a game's mainline): no record to take it back and
// no hash, which a board kept for reading never needs. The planes and state
// become what push_move makes of them; `move` must be legal on a position of
// disjoint planes.
inline void play_move(Planes& planes, std::uint64_t& state, ChessMove move) {
    const unsigned from = move.from();
    const unsigned to = move.to();
    const bool white = state & WHITE_TO_MOVE;
    const unsigned own = first_plane_of(white);
    const unsigned other = first_plane_of(!white);
    const Bitboard from_bb = square_bb(from);
    const Bitboard to_bb = square_bb(to);

    unsigned type = PAWN;
    while (type < KING && !(planes[own + type] & from_bb)) ++type;
    unsigned captured = NO_PLANE;
    for (unsigned t = PAWN; t < PIECE_TYPES; ++t)
        if (planes[other + t] & to_bb) {
            captured = other + t;
            break;
        }

    planes[own + type] = (planes[own + type] & ~from_bb) | to_bb;
    if (captured != NO_PLANE) {
        planes[captured] &= ~to_bb;
    } else if (type == PAWN && file_of(to) != file_of(from)) {
        // En passant: the victim stands behind the to-square.
        planes[other + PAWN] &= ~square_bb(white ? to - 8 : to + 8);
    }

    std::uint64_t rights = 0;  // the rights the move takes away
    if (type == PAWN) {
        if (rank_of(to) == 0 || rank_of(to) == 7) {
            planes[own + PAWN] &= ~to_bb;
            planes[own + promoted_type(move.special())] |= to_bb;
        }
    } else if (type == KING) {
        const auto& rules = castling_rules(white);
        rights = (std::uint64_t{1} << rules[0].right) | (std::uint64_t{1} << rules[1].right);
        if (file_of(from) == FILE_E && (file_of(to) == FILE_C || file_of(to) == FILE_G)) {
            const CastlingRule& rule = rules[file_of(to) == FILE_G ? 0 : 1];
            Bitboard& rooks = planes[own + ROOK];
            if (rooks & square_bb(rule.rook_from)) rooks = (rooks & ~square_bb(rule.rook_from)) | square_bb(rule.rook_to);
        }
    } else if (type == ROOK) {
        for (const CastlingRule& rule : castling_rules(white))
            if (from == rule.rook_from) rights |= std::uint64_t{1} << rule.right;
    }
    if (captured == other + ROOK)
        for (const CastlingRule& rule : castling_rules(!white))
            if (to == rule.rook_from) rights |= std::uint64_t{1} << rule.right;

    state &= ~(EN_PASSANT_BITS | rights);
    // A double step offers en passant to the other side's set.
    if (type == PAWN && (from ^ to) == 16)
        state |= std::uint64_t{1} << ((white ? RANK3_SET : RANK6_SET) + file_of(to));
    state ^= WHITE_TO_MOVE;
}

// Takes back the newest move; the hashes follow the restored differences.
inline void pop_move(Board& board) {
    if (board.move_history.empty()) panic(UNWRAP_NONE);
    const MoveRecord record = board.move_history.back();

    const std::uint64_t state_diff = board.state ^ record.state_before;
    // Checked before anything changes, so a failure leaves the board intact.
    if (state_diff >> KEYED_STATE_BITS) [[unlikely]]
        panic_index(KEY_COUNT, STATE_KEY_BASE + KEYED_STATE_BITS + lsb(state_diff >> KEYED_STATE_BITS));
    for (Bitboard mask = record.changed_planes; mask;)
        if (board.plane_history[pop_lsb(mask)].empty()) [[unlikely]]
            panic(UNWRAP_NONE);

    MoveCheck check;
    if constexpr (CHECK_MOVES) check = MoveCheck::before_pop(board);
    board.move_history.pop_back();
    for (Bitboard diff = state_diff; diff;) board.zobrist.toggle_state_bit(pop_lsb(diff));
    board.state = record.state_before;

    for (Bitboard mask = record.changed_planes; mask;) {
        const unsigned plane = pop_lsb(mask);
        UndoStack<Bitboard>& stack = board.plane_history[plane];
        const Bitboard previous = stack.back();
        stack.pop_back();
        for (Bitboard diff = previous ^ board.planes[plane]; diff;) board.zobrist.toggle_piece(plane, pop_lsb(diff));
        board.planes[plane] = previous;
    }
    if constexpr (CHECK_MOVES) check.after(board);
}

}  // namespace velmor
