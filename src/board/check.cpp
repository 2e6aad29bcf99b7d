// The board's self-check: the bookkeeping of make and take-back against the
// move records, and the hashes against a full recomputation.
#include <bit>
#include <cstdio>
#include <cstdlib>

#include "board/mod.hpp"

namespace velmor {

namespace {

constexpr std::uint64_t CASTLING_BITS = 0xFULL << WHITE_KING_SIDE;

// What no move can do to the state word, or nullptr.
const char* state_step_fault(std::uint64_t before, std::uint64_t after) {
    const std::uint64_t changed = before ^ after;
    if (!(changed & WHITE_TO_MOVE)) return "a move did not pass the turn";
    if (changed >> MEANINGFUL_STATE_BITS) return "a move changed state bits 21-63";
    if (after & ~before & CASTLING_BITS) return "a move gained a castling right";
    if (std::popcount(after & EN_PASSANT_BITS) > 1) return "a move left more than one en-passant file";
    return nullptr;
}

}  // namespace

HashDrift hash_drift(const Board& board) {
    return {static_cast<std::uint64_t>(board.zobrist.hash64 ^ full_hash(zobrist::KEYS64, board.planes, board.state)),
            static_cast<std::uint16_t>(board.zobrist.hash16 ^ full_hash(zobrist::KEYS16, board.planes, board.state))};
}

const char* board_fault(const Board& board, Hashes hashes) {
    const UndoStack<MoveRecord>& records = board.move_history;
    std::array<std::size_t, PLANE_COUNT> naming{};
    for (std::size_t i = 0; i < records.size(); ++i) {
        const unsigned changed = records[i].changed_planes;
        if (changed == 0) return "a move record names no plane";
        if (changed >> PLANE_COUNT) return "a move record names a plane above 11";
        if (std::popcount(changed) > 4) return "a move record names more than four planes";
        for (Bitboard mask = changed; mask;) ++naming[pop_lsb(mask)];
        const std::uint64_t after = i + 1 < records.size() ? records[i + 1].state_before : board.state;
        if (const char* fault = state_step_fault(records[i].state_before, after)) return fault;
    }
    for (unsigned plane = 0; plane < PLANE_COUNT; ++plane)
        if (board.plane_history[plane].size() != naming[plane])
            return "a plane's stack is out of step with the move records";
    if (hashes == Hashes::exact && hash_drift(board) != HashDrift{})
        return "the hashes differ from a full recomputation";
    return nullptr;
}

MoveCheck MoveCheck::before_push(const Board& board, ChessMove move, unsigned moving, bool en_passant,
                                 unsigned castling_rook, unsigned promoted) {
    const Planes& planes = board.planes;
    const auto held = [&](unsigned plane, unsigned square) { return (planes[plane] & square_bb(square)) != 0; };
    const unsigned from = move.from();
    const unsigned to = move.to();
    const bool white = board.white_to_move();

    // A key is toggled for a square or bit that does not change where the
    // piece lands on its own plane, where the en-passant victim or the
    // castling rook is missing, where a rook already stands on the rook's
    // target or the promoted piece's plane already holds the square; the other
    // side's en-passant files are cleared without their keys.
    bool exact = from == to || !held(moving, to);
    if (en_passant) exact = exact && held(first_plane_of(!white) + PAWN, white ? to - 8 : to + 8);
    if (castling_rook != NO_PLANE) {
        const CastlingRule& rule = castling_rules(white)[file_of(to) == FILE_G ? 0 : 1];
        exact = exact && held(castling_rook, rule.rook_from) && !held(castling_rook, rule.rook_to);
    }
    if (promoted != NO_PLANE) exact = exact && !held(promoted, to);
    exact = exact && ((board.state >> en_passant_set(!white)) & 0xFF) == 0;
    return {hash_drift(board), exact, move};
}

MoveCheck MoveCheck::before_pop(const Board& board) { return {hash_drift(board), true, std::nullopt}; }

void MoveCheck::after(const Board& board) const {
    const char* fault = board_fault(board, Hashes::unchecked);
    if (!fault && keeps_drift && hash_drift(board) != drift) fault = "the hashes' drift changed";
    if (!fault) return;
    // Words with codes 8-15 have no text, so the word is printed as it is.
    if (move) std::fprintf(stderr, "board check failed after push_move of 0x%04x: ", unsigned{move->word});
    else std::fprintf(stderr, "board check failed after pop_move: ");
    std::fprintf(stderr, "%s; position %s\n", fault, fen(board).c_str());
    std::abort();
}

}  // namespace velmor
