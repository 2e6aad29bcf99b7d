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
#include <string>
#include <string_view>
#include <vector>

#include "chess_move/mod.hpp"
#include "common/mod.hpp"
#include "zobrist/mod.hpp"

namespace velmor {

using Planes = std::array<Bitboard, 12>;

inline constexpr unsigned PAWN = 0, KNIGHT = 1, BISHOP = 2, ROOK = 3, QUEEN = 4, KING = 5;
inline constexpr unsigned BLACK_PLANES = 6;

inline constexpr std::uint64_t WHITE_TO_MOVE = 1;
inline constexpr unsigned WHITE_KING_SIDE = 1, WHITE_QUEEN_SIDE = 2, BLACK_KING_SIDE = 3, BLACK_QUEEN_SIDE = 4;
inline constexpr unsigned RANK6_SET = 5;   // first bit of the rank-6 set
inline constexpr unsigned RANK3_SET = 13;  // first bit of the rank-3 set
inline constexpr std::uint64_t EN_PASSANT_BITS = 0xFFFFULL << RANK6_SET;

inline constexpr std::string_view DEFAULT_FEN = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -";

// Longest FEN text fen() can write: 71 + 3 + 4 + 1 + 2.
inline constexpr std::size_t MAX_FEN = 81;

struct MoveRecord {
    std::uint64_t state_before;
    std::uint16_t changed_planes;  // bit i: plane i's old value was saved
};

// What FEN text says: the planes and the state word.
struct Position {
    Planes planes{};
    std::uint64_t state = 0;
};

struct Board {
    std::array<std::vector<Bitboard>, 12> plane_history;
    std::vector<MoveRecord> move_history;
    ZobristBoardComponent zobrist;
    Planes planes{};
    std::uint64_t state = 0;

    Board() = default;
    // A board of the position with empty histories and a fresh pair of tables.
    explicit Board(const Position& position);
    Board(Board&&) noexcept = default;
    Board& operator=(Board&&) noexcept = default;
    Board& operator=(const Board&) = default;
    // A copy shares the key tables and copies the histories; empty stacks, the
    // common case, are not copied element by element.
    Board(const Board& other) : zobrist(other.zobrist), planes(other.planes), state(other.state) {
        for (std::size_t i = 0; i < plane_history.size(); ++i)
            if (!other.plane_history[i].empty()) plane_history[i] = other.plane_history[i];
        if (!other.move_history.empty()) move_history = other.move_history;
    }

    [[nodiscard]] bool white_to_move() const { return state & WHITE_TO_MOVE; }
};

// The placement reader: the twelve planes of the first field of a FEN text.
[[nodiscard]] Planes pieces_from_fen(std::string_view fen);

// Reads all four fields of FEN text (InvalidInput or Panic on bad text).
[[nodiscard]] Position read_fen(std::string_view fen);

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

// The lowest plane holding the square, or 12.
[[nodiscard]] inline unsigned plane_at(const Planes& planes, unsigned square, unsigned first = 0,
                                       unsigned last = 12) {
    const Bitboard bit = square_bb(square);
    for (unsigned plane = first; plane < last; ++plane)
        if (planes[plane] & bit) return plane;
    return 12;
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
    if (moving == 12) panic(UNWRAP_NONE);
    const bool moving_white = moving < BLACK_PLANES;
    const bool pawn = moving == PAWN || moving == BLACK_PLANES + PAWN;

    // Captured plane: an other-colour piece on to, or en passant for a pawn
    // that changes file onto a square of no other-colour piece.
    unsigned captured = moving_white ? plane_at(planes, to, 6, 12) : plane_at(planes, to, 0, 6);
    bool en_passant = false;
    if (captured == 12 && pawn && file_of(to) != file_of(from)) {
        en_passant = true;
        captured = moving_white ? BLACK_PLANES + PAWN : PAWN;
    }
    const bool castling = (moving == KING || moving == BLACK_PLANES + KING) && file_of(from) == 4 &&
                          (file_of(to) == 2 || file_of(to) == 6);
    const unsigned rook = moving - 2;
    const bool promotion = pawn && (rank_of(to) == 0 || rank_of(to) == 7) && special >= 4;
    if (pawn && (rank_of(to) == 0 || rank_of(to) == 7)) [[unlikely]] {
        if (const char* reason = unsupported_move(board, move)) panic(reason);
    }
    const unsigned promoted = moving + special - 3;

    // Save every plane the move changes, then the record.
    std::uint16_t changed = static_cast<std::uint16_t>(1u << moving);
    board.plane_history[moving].push_back(planes[moving]);
    if (captured != 12) {
        board.plane_history[captured].push_back(planes[captured]);
        changed |= static_cast<std::uint16_t>(1u << captured);
    }
    if (castling) {
        board.plane_history[rook].push_back(planes[rook]);
        changed |= static_cast<std::uint16_t>(1u << rook);
    }
    if (promotion) {
        board.plane_history[promoted].push_back(planes[promoted]);
        changed |= static_cast<std::uint16_t>(1u << promoted);
    }
    board.move_history.push_back(MoveRecord{board.state, changed});

    planes[moving] = (planes[moving] & ~square_bb(from)) | square_bb(to);
    zobrist.toggle_piece(moving, from);
    zobrist.toggle_piece(moving, to);

    if (en_passant) {
        const unsigned victim = white ? to - 8 : to + 8;
        const unsigned victim_plane = white ? BLACK_PLANES + PAWN : PAWN;
        planes[victim_plane] &= ~square_bb(victim);
        zobrist.toggle_piece(victim_plane, victim);
    } else if (captured != 12) {
        planes[captured] &= ~square_bb(to);
        zobrist.toggle_piece(captured, to);
    }

    if (castling) {
        const unsigned base = white ? 0 : 56;
        const unsigned rook_from = base + (file_of(to) == 6 ? 7 : 0);
        const unsigned rook_to = base + (file_of(to) == 6 ? 5 : 3);
        if (planes[rook] & square_bb(rook_from))
            planes[rook] = (planes[rook] & ~square_bb(rook_from)) | square_bb(rook_to);
        zobrist.toggle_piece(rook, rook_from);
        zobrist.toggle_piece(rook, rook_to);
    }

    if (promotion) {
        planes[moving] &= ~square_bb(to);
        planes[promoted] |= square_bb(to);
        zobrist.toggle_piece(moving, to);
        zobrist.toggle_piece(promoted, to);
    }

    std::uint64_t& state = board.state;
    for (Bitboard old = (state >> (white ? RANK6_SET : RANK3_SET)) & 0xFF; old;)
        zobrist.toggle_state_bit((white ? RANK6_SET : RANK3_SET) + pop_lsb(old));
    state &= ~EN_PASSANT_BITS;

    if (moving == PAWN && rank_of(to) == rank_of(from) + 2) {
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
    if (white) {
        if (moving == KING) {
            clear_right(WHITE_KING_SIDE);
            clear_right(WHITE_QUEEN_SIDE);
        } else if (moving == ROOK) {
            if (from == 7) clear_right(WHITE_KING_SIDE);
            else if (from == 0) clear_right(WHITE_QUEEN_SIDE);
        }
    } else {
        if (moving == BLACK_PLANES + KING) {
            clear_right(BLACK_KING_SIDE);
            clear_right(BLACK_QUEEN_SIDE);
        } else if (moving == BLACK_PLANES + ROOK) {
            if (from == 63) clear_right(BLACK_KING_SIDE);
            else if (from == 56) clear_right(BLACK_QUEEN_SIDE);
        }
    }

    // A rook captured on its corner takes its owner's right with it.
    {
        const auto has = [&](unsigned bit) { return (state >> bit) & 1; };
        if (to == 7 && has(WHITE_KING_SIDE) && captured == ROOK) clear_right(WHITE_KING_SIDE);
        else if (to == 0 && has(WHITE_QUEEN_SIDE) && captured == ROOK) clear_right(WHITE_QUEEN_SIDE);
        else if (to == 63 && has(BLACK_KING_SIDE) && captured == BLACK_PLANES + ROOK) clear_right(BLACK_KING_SIDE);
        else if (to == 56 && has(BLACK_QUEEN_SIDE) && captured == BLACK_PLANES + ROOK) clear_right(BLACK_QUEEN_SIDE);
    }

    state ^= WHITE_TO_MOVE;
    zobrist.toggle_state_bit(0);
}

// Takes back the newest move; the hashes follow the restored differences.
inline void pop_move(Board& board) {
    if (board.move_history.empty()) panic(UNWRAP_NONE);
    const MoveRecord record = board.move_history.back();

    const std::uint64_t state_diff = board.state ^ record.state_before;
    // Checked before anything changes, so a failure leaves the board intact.
    if (state_diff >> 22) [[unlikely]]
        panic_index(KEY_COUNT, STATE_KEY_BASE + 22 + lsb(state_diff >> 22));
    for (Bitboard mask = record.changed_planes; mask;)
        if (board.plane_history[pop_lsb(mask)].empty()) [[unlikely]]
            panic(UNWRAP_NONE);

    board.move_history.pop_back();
    for (Bitboard diff = state_diff; diff;) board.zobrist.toggle_state_bit(pop_lsb(diff));
    board.state = record.state_before;

    for (Bitboard mask = record.changed_planes; mask;) {
        const unsigned plane = pop_lsb(mask);
        std::vector<Bitboard>& stack = board.plane_history[plane];
        const Bitboard previous = stack.back();
        stack.pop_back();
        for (Bitboard diff = previous ^ board.planes[plane]; diff;) board.zobrist.toggle_piece(plane, pop_lsb(diff));
        board.planes[plane] = previous;
    }
}

}  // namespace velmor
