// What the game player tells its sink (the encoder, the Python reader): the
// games as positions and moves.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "board/mod.hpp"
#include "chess_move/mod.hpp"
#include "move_generator/mod.hpp"
#include "pgn/errors.hpp"

namespace velmor::pgn {

// The move a sink is given for a null move ("--", "Z0"): it passes the turn.
// No move of a piece has the same from and to square.
inline constexpr ChessMove NULL_MOVE{0};

using Tag = std::pair<std::string, std::string>;

// The game being read, as a sink sees it.
struct Game {
    std::uint64_t index = 0;
    std::uint64_t line = 0;  // line of its first token
    std::vector<Tag> tags;
    Board start;  // the start position
    Board board;  // the position reached; its histories are emptied per game
    std::uint32_t halfmove_clock = 0;
    std::uint32_t fullmove_number = 1;
    std::uint32_t ply = 0;

    // The value of the first tag of that name, or nullptr.
    [[nodiscard]] const std::string* tag(std::string_view name) const;
};

// What the reader tells: every game ends in exactly one of end(), error() or
// filtered(); move() and comment() are called only between an accepting
// begin() and its end.
class Sink {
public:
    virtual ~Sink() = default;
    // The tags are read and the start position is set; false filters the
    // game out (its moves are then only skipped).
    virtual bool begin(const Game& game) = 0;
    // A mainline move, about to be played from game.board; NULL_MOVE for a
    // null move.
    virtual void move(const Game& game, ChessMove move) = 0;
    // Whether comment() is wanted; while false the reader never gathers a
    // comment's text (it only skips it).
    [[nodiscard]] virtual bool wants_comments() const { return false; }
    // A "{...}" comment at the top level of the mainline of a game that
    // begin() accepted: after game.ply moves (0: before the first move, which
    // includes a comment between the tags and the first move). `text` is what
    // lies between the braces, line ends as they are; valid only during the
    // call. Comments inside variations, ";" comments and "%" lines are never
    // passed. A comment longer than MAX_TEXT is an error as today.
    virtual void comment(const Game& game, std::string_view text) {
        (void)game;
        (void)text;
    }
    // The game ended with its result; game.board holds the final position.
    virtual void end(const Game& game, Result result) = 0;
    // The game is skipped; `begun` tells whether begin() accepted it.
    virtual void error(const Game& game, Error&& error, bool begun) = 0;
    virtual void filtered(const Game& game) = 0;
    // For the splitter: a game starts at `offset` (counted from the reader's
    // first byte) on `line`, and a reader started on the text from there on
    // would read everything from there exactly as this one does.
    virtual void game_starting(std::uint64_t offset, std::uint64_t line) {
        (void)offset;
        (void)line;
    }
    // For the splitter: the current game was cut off at its size limit, just
    // after the byte at `offset`.
    virtual void cut_off(std::uint64_t offset) { (void)offset; }
};

// A start position from a FEN tag: four to six fields, a position a game can
// be played from (one king each, no pawn on the first or last rank, the side
// not to move not in check, an en-passant square behind a pawn that just made
// a double step). A castling right without its king and rook at home cannot
// be used: it is dropped (exported studies write such rights), and
// rights_dropped tells. Returns an error text, or nullptr with the board and
// counters set.
[[nodiscard]] const char* read_start_fen(const MoveGenerator& generator, std::string_view text, Board& board,
                                         std::uint32_t& halfmove_clock, std::uint32_t& fullmove_number,
                                         bool& rights_dropped);

}  // namespace velmor::pgn
