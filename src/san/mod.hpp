// Standard algebraic notation: reading a move's text and resolving it against
// the legal moves of a position. A text names a move only when exactly one
// legal move fits it; no text is ever completed by guessing.
//
// Accepted forms: piece letters K Q R B N; captures with or without "x";
// disambiguation by file, by rank or by both; pawn promotions with or without
// "=" (uppercase piece letter); castling as O-O / O-O-O or 0-0 / 0-0-0; any
// trailing run of "+", "#", "!" and "?", and a trailing "e.p.".
#pragma once

#include <cstdint>
#include <string_view>

#include "board/mod.hpp"
#include "chess_move/mod.hpp"
#include "move_generator/mod.hpp"

namespace velmor::san {

// What a SAN text says, before the position is looked at.
struct Pattern {
    enum Kind : std::uint8_t { normal, castle_king_side, castle_queen_side };
    Kind kind = normal;
    std::uint8_t piece = PAWN;   // PAWN..KING
    std::int8_t from_file = -1;  // -1: not given
    std::int8_t from_rank = -1;
    std::uint8_t to = 0;
    std::uint8_t promotion = 0;  // 0 none, else KNIGHT..QUEEN
    bool capture = false;        // written with "x"
};

enum class Outcome : std::uint8_t { ok, unreadable, illegal, ambiguous };

struct Resolved {
    Outcome outcome;
    ChessMove move;      // valid when outcome is ok
    const char* reason;  // a short explanation otherwise
};

// Removes the trailing check, mate and quality marks and a trailing "e.p.".
[[nodiscard]] std::string_view strip_marks(std::string_view text);

// Reads a stripped text; false when it is no SAN form at all.
[[nodiscard]] bool parse(std::string_view text, Pattern& out);

// The legal move the pattern names on the board, found from the target
// square: the pieces of the named type that reach it, narrowed by the file
// or rank given, each tested for the king's safety. `scratch` receives those
// few moves; the board is only read. A board the legal listing treats as no
// real position (overlapping planes, not one king of the side to move) is
// resolved by the listing.
[[nodiscard]] Resolved resolve(const MoveGenerator& generator, Board& board, const Pattern& pattern,
                               MoveList& scratch);

// The same from the board's whole legal listing, in `scratch`: the reference
// resolve() must agree with on the move, the outcome and the reason.
[[nodiscard]] Resolved resolve_by_listing(const MoveGenerator& generator, Board& board, const Pattern& pattern,
                                          MoveList& scratch);

// parse() and resolve() in one step, on a text that may carry marks.
[[nodiscard]] Resolved read_move(const MoveGenerator& generator, Board& board, std::string_view text,
                                 MoveList& scratch);

}  // namespace velmor::san
