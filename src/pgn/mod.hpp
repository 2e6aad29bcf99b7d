// Reading game collections in PGN: a lexer that takes the text in pieces of
// any size (its state survives between them), the game layer above it that
// sets up each game's start position and plays its mainline, and the splitter
// that cuts a collection into chunks of whole games with the same lexer.
//
// Lexing. A line ends at LF, CR or CRLF (old Mac files end lines with CR
// alone). Between tokens: white space, "{...}" comments, ";" comments to the
// end of the line, and "%" escape lines (a "%" in a line's first column). A
// "[" opens a tag pair: name, then a quoted value with \" and \\ escapes, then
// "]"; the value ends at the last quote before the "]", so quotes written
// inside it without escapes belong to it. "(" and ")" open and close
// variations, which are skipped with whatever they hold. Every other run of
// characters is a symbol: a move number ("12." or "12..."), possibly glued to
// a move ("12.e4"), a move in SAN with its
// marks and NAGs glued to it ("Bd3$13"), a null move ("--", "Z0", "0000"),
// a NAG ("$1"), a mark on its own ("!?"), "e.p.", or a game result.
// A byte-order mark is white space wherever it stands; control characters
// other than white space (and the old end-of-file byte 0x1A) are binary data.
//
// Games. A game starts with its first tag pair or, without tags, with its
// first movetext token, and ends with its result at the top level (1-0, 0-1,
// 1/2-1/2, *). A game whose movetext is followed by a new tag pair, or by the
// end of the text, without a result is truncated (the error names the line
// of its last token). After an error the game is skipped to its end found the
// same way, so one bad game never takes another with it. No game is held in
// memory beyond MAX_GAME_BYTES: past that it is cut off ("game too long") and
// skipped to its end. A comment between games ("{", ";" or "%") longer than
// MAX_TEXT is a game of its own that fails ("token too long"), as a "{" one
// that is never closed is ("unterminated comment"), so that nothing between
// games is held in memory either.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "board/mod.hpp"
#include "chess_move/mod.hpp"
#include "move_generator/mod.hpp"

namespace velmor::pgn {

// Longest symbol, tag name or move text.
inline constexpr std::size_t MAX_SYMBOL = 255;
// Longest tag value or comment.
inline constexpr std::size_t MAX_TEXT = 1 << 16;
// Most bytes of one game, counted from its first token.
inline constexpr std::uint64_t MAX_GAME_BYTES = 1 << 22;

// The move a sink is given for a null move ("--", "Z0"): it passes the turn.
// No move of a piece has the same from and to square.
inline constexpr ChessMove NULL_MOVE{0};

enum class ErrorKind : std::uint8_t {
    illegal_move,
    ambiguous_move,
    unreadable_move,
    unsupported_variant,
    bad_fen,
    bad_tag,
    truncated_game,
    unterminated_comment,
    token_too_long,
    game_too_long,
    binary_data,
};
inline constexpr std::size_t ERROR_KIND_COUNT = 11;

// The short category names: "illegal move", "ambiguous move", ...
[[nodiscard]] const char* kind_name(ErrorKind kind);

struct Error {
    std::uint64_t index;
    std::uint64_t line;  // where the fault is
    ErrorKind kind;
    bool has_move;
    std::string move;  // the move text at fault, when has_move
    std::string message;
};

// The result from White's view, as the schema counts it.
enum class Result : std::int8_t { white_wins = 1, draw = 0, black_wins = -1, unknown = -2 };

[[nodiscard]] const char* result_text(Result result);

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
// filtered(); move() is called only between an accepting begin() and its end.
class Sink {
public:
    virtual ~Sink() = default;
    // The tags are read and the start position is set; false filters the
    // game out (its moves are then only skipped).
    virtual bool begin(const Game& game) = 0;
    // A mainline move, about to be played from game.board; NULL_MOVE for a
    // null move.
    virtual void move(const Game& game, ChessMove move) = 0;
    // The game ended with its result; game.board holds the final position.
    virtual void end(const Game& game, Result result) = 0;
    // The game is skipped; `begun` tells whether begin() accepted it.
    virtual void error(const Game& game, Error&& error, bool begun) = 0;
    virtual void filtered(const Game& game) = 0;
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

class Reader {
public:
    struct Options {
        std::uint64_t first_index = 0;
        std::uint64_t first_line = 1;
        bool play_moves = true;      // false: only find the games (the splitter)
        bool report_starts = false;  // call Sink::game_starting
    };

    Reader(const MoveGenerator& generator, Sink& sink, Options options);

    // Reads the next piece of the text; stops early once stop() was called.
    void feed(std::string_view data);
    // The end of the text: a game still open is truncated.
    void finish();
    void stop() { stopped_ = true; }
    [[nodiscard]] bool stopped() const { return stopped_; }

    [[nodiscard]] std::uint64_t games_started() const { return next_index_ - options_.first_index; }
    [[nodiscard]] std::uint64_t next_index() const { return next_index_; }
    [[nodiscard]] std::uint64_t line() const { return line_; }
    [[nodiscard]] std::uint64_t offset() const { return offset_; }
    // Games read (ended, skipped or filtered) whose FEN tag gave a castling
    // right that was dropped.
    [[nodiscard]] std::uint64_t castling_dropped() const { return castling_dropped_; }

    // For the splitter. Whether the reader is between games; where the last
    // game ended (the offset past its last byte); and the earliest offset a
    // later game_starting() may name (the start of a symbol or a comment
    // read between games, else the end of what was fed).
    [[nodiscard]] bool between_games() const { return phase_ == Phase::between; }
    [[nodiscard]] std::uint64_t game_end() const { return game_end_; }
    [[nodiscard]] std::uint64_t earliest_start() const;

private:
    enum class State : std::uint8_t {
        space,
        symbol,
        comment,
        rest_of_line,
        tag_name,
        tag_before_value,
        tag_value,
        tag_escape,
        tag_after_value,
        tag_skip,
    };
    enum class Phase : std::uint8_t { between, tags, moves };
    enum class Status : std::uint8_t { ok, failed, filtered };

    // Lexing from p to at most end; returns where it stopped (early when a
    // game started, so that feed() can place the size limit).
    const char* lex(const char* p, const char* end);
    [[gnu::noinline]] const char* lex_tag(const char* p, const char* end);
    [[nodiscard]] std::uint64_t at(const char* p) const { return offset_ + static_cast<std::uint64_t>(p - base_); }

    // Lines counted at the byte at p ("\n" or "\r"): an LF ends a line, a
    // CR too unless an LF follows (that LF ends it then). A CR at the end of
    // what lex() was given waits for the next byte.
    [[nodiscard]] unsigned ends_line(const char* p, const char* end) {
        if (*p == '\n') return 1;
        if (p + 1 < end) return p[1] != '\n';
        cr_pending_ = true;
        return 0;
    }

    // Where a reader started on the text from there on reads everything
    // from there as this one does: what the splitter is told of a game start.
    struct Cut {
        std::uint64_t offset;
        std::uint64_t line;
    };
    [[nodiscard]] Cut symbol_cut(std::uint64_t start) const;

    void start_game(std::uint64_t offset, std::uint64_t line, Cut cut);
    void enter_line_comment(std::uint64_t offset, std::uint64_t line);
    void enter_moves();
    void end_game(Result result, std::uint64_t end_offset);
    // A game still open at a new tag pair (at offset) or at the end.
    void close_game_at_end(std::uint64_t offset);
    // A comment past MAX_TEXT: any between games, a "{" one in a game. It
    // started at offset on line; here is the offset past its byte too many.
    void on_long_comment(std::uint64_t offset, std::uint64_t line, std::uint64_t here);
    void on_null_move(std::string_view text);
    // A move that cannot be played: its text, why, and the position.
    void fail_move(ErrorKind kind, std::string_view text, const char* reason);
    void fail(ErrorKind kind, std::uint64_t line, std::string detail, const std::string* move = nullptr);

    void on_tag_open(const char* p);
    void on_tag();
    void on_bad_tag(const char* why);
    // A whole token, in token_ or where it lies in the text being read.
    void on_symbol(std::string_view token);
    void on_variation(bool open, const char* p);
    // A mainline symbol that is no result, in a game being played; kept out
    // of on_symbol, which every token passes.
    [[gnu::noinline]] void on_mainline_symbol(std::string_view text);
    void on_binary(const char* p);
    void on_move(std::string_view text);
    // A "{...}" comment closed at p (its "}"), whose text is gathered.
    void on_comment(const char* p);

    const MoveGenerator& generator_;
    Sink& sink_;
    Options options_;
    bool stopped_ = false;

    // Lexer state.
    State state_ = State::space;
    bool line_start_ = true;
    std::uint64_t line_;
    bool cr_pending_ = false;  // a CR ended what lex() was given
    std::uint64_t offset_ = 0;  // of base_
    const char* base_ = nullptr;
    std::string token_;
    bool token_overflow_ = false;
    bool token_at_line_start_ = false;
    std::uint64_t token_line_ = 0;
    std::uint64_t token_offset_ = 0;
    std::string tag_name_;
    // A quote inside a tag value may close it: token_ holds the value up to
    // value_end_, then the quote and the blanks after it, gap_length_ bytes,
    // until a "]" closes the value there or anything else makes them part of
    // it.
    std::size_t value_end_ = 0;
    std::size_t gap_length_ = 0;
    bool value_has_quote_ = false;
    std::size_t comment_length_ = 0;
    std::uint64_t comment_line_ = 0;
    std::uint64_t comment_offset_ = 0;
    std::uint64_t comment_end_ = UINT64_MAX;  // the offset past the last "}"
    std::uint64_t blank_end_ = UINT64_MAX;    // the offset past the last run of blanks
    std::uint64_t rest_offset_ = 0;           // of the ";" or "%" comment being read
    std::uint64_t rest_line_ = 0;
    bool restart_ = false;  // a game started: lex() returns so feed() sets the limit
    // The text of the "{" comment being read is wanted by the sink: it lies
    // from comment_start_ in the piece being read, or, begun in an earlier
    // piece, is gathered in comment_text_ (comment_buffered_).
    bool gather_ = false;
    bool comment_buffered_ = false;
    const char* comment_start_ = nullptr;
    std::string comment_text_;
    // Comments read between the tags, before begin() is called.
    std::vector<std::string> early_comments_;

    // Game state.
    Phase phase_ = Phase::between;
    Status status_ = Status::ok;
    bool begun_ = false;
    unsigned depth_ = 0;
    std::uint64_t next_index_;
    std::uint64_t game_offset_ = 0;
    std::uint64_t game_end_ = 0;
    std::uint64_t last_line_ = 0;  // where the game's last token ends
    std::uint64_t limit_ = UINT64_MAX;
    std::uint64_t castling_dropped_ = 0;
    bool game_dropped_castling_ = false;
    Game game_;
    MoveList scratch_;
};

// Cuts a text into chunks of whole games, each at least chunk_bytes long
// unless it is the last, ends with a game cut off at the size limit, or ends
// before more than MAX_GAP bytes of text between games (blank lines,
// comments: they read as nothing and are left out, so that they are never
// held). A chunk starts where a game starts, at a point where a reader
// started on the chunk is in the state the whole text's reader is in there.
// What the splitter holds is bounded by chunk_bytes + MAX_GAME_BYTES +
// MAX_GAP, whatever the text.
class Splitter : private Sink {
public:
    struct Chunk {
        std::string data;
        std::uint64_t first_index;
        std::uint64_t first_line;
        std::uint64_t games;
    };

    // The most text between two games that a chunk holds.
    static constexpr std::uint64_t MAX_GAP = MAX_TEXT;

    Splitter(const MoveGenerator& generator, std::size_t chunk_bytes);

    // Reads the next piece of the text; the chunks completed so far are
    // appended to out.
    void feed(std::string_view data, std::vector<Chunk>& out);
    void finish(std::vector<Chunk>& out);

private:
    bool begin(const Game&) override { return false; }
    void move(const Game&, ChessMove) override {}
    void end(const Game&, Result) override {}
    void error(const Game&, Error&&, bool) override {}
    void filtered(const Game&) override {}
    void game_starting(std::uint64_t offset, std::uint64_t line) override;
    void cut_off(std::uint64_t offset) override;

    // Ends the chunk at end_offset.
    void emit(std::uint64_t end_offset);
    // Where the chunk's text stops being a game's: the end of its last game,
    // or its start while it holds none.
    [[nodiscard]] std::uint64_t last_game_end() const;

    std::size_t chunk_bytes_;
    Reader reader_;
    // The text still needed from earlier pieces: from pending_offset_ to the
    // start of the piece being read (piece_, read where it lies).
    std::string pending_;
    std::uint64_t pending_offset_ = 0;
    std::string_view piece_;
    bool collecting_ = true;
    std::uint64_t chunk_offset_ = 0;
    std::uint64_t chunk_line_ = 1;
    std::uint64_t chunk_index_ = 0;
    std::vector<Chunk>* out_ = nullptr;
};

}  // namespace velmor::pgn
