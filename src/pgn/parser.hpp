// The reader of PGN's grammar: it takes the lexer's tokens, finds the games
// (where each starts and ends, its tags, its movetext, its variations), and
// tells a visitor. It knows neither boards nor moves: a move is a SAN text to
// it. It owns the rules that do not depend on the position: the size limit
// of a game, truncated games, and skipping a failed game to its end so that
// one bad game never takes another with it.
#pragma once

#include <cstdint>
#include <string_view>

#include "pgn/errors.hpp"
#include "pgn/lexer.hpp"

namespace velmor::pgn {

// What the reader tells. Every game starts with begin_game() and ends with
// outcome(); between them come its tags, end_tags(), then its movetext.
// A game the visitor skips (end_tags() or san() said so) or that failed
// (error()) gets nothing more but its outcome().
class Visitor {
public:
    virtual ~Visitor() = default;

    // For the splitter: a game starts; a reader started on the text from
    // cut on would read everything from there exactly as this one does.
    virtual void game_starting(Cut cut) { (void)cut; }
    // For the splitter: the current game was cut off at its size limit,
    // just after the byte at `offset`.
    virtual void cut_off(std::uint64_t offset) { (void)offset; }

    // A game starts, with its first token on `line`.
    virtual void begin_game(std::uint64_t index, std::uint64_t line) {
        (void)index;
        (void)line;
    }
    virtual void tag(std::string_view name, std::string_view value) {
        (void)name;
        (void)value;
    }
    // The tags are read; false skips the game's movetext.
    virtual bool end_tags() { return false; }
    // Whether the text of the comments of the game is wanted (asked as the
    // game starts); while false comment() is never called.
    [[nodiscard]] virtual bool wants_comments() const { return false; }
    // A move in SAN (possibly a null move: "--", "Z0", "0000"), its marks
    // and glued NAGs taken off; false when the game fails with it (the
    // visitor has then told the error itself).
    virtual bool san(std::string_view text, std::uint64_t line) {
        (void)text;
        (void)line;
        return true;
    }
    // A NAG ("$13" gives 13; values past 255 read as 255).
    virtual void nag(unsigned value) { (void)value; }
    // A "{...}" comment: the text between the braces, valid during the call.
    virtual void comment(std::string_view text) { (void)text; }
    // A "(" opens a variation; true skips it with whatever it holds.
    virtual bool begin_variation() { return true; }
    // The ")" of a variation that was not skipped.
    virtual void end_variation() {}
    // The game fails and is skipped to its end.
    virtual void error(Error&& error) { (void)error; }
    // The game ends: its result, or unknown when it was truncated (an error
    // told that before).
    virtual void outcome(Result result) { (void)result; }
};

class Parser {
public:
    struct Options {
        std::uint64_t first_index = 0;
        std::uint64_t first_line = 1;
        bool report_starts = false;  // call Visitor::game_starting
    };

    Parser(Visitor& visitor, Options options);

    // Reads the next piece of the text; stops early once stop() was called.
    void feed(std::string_view data);
    // The end of the text: a game still open is truncated.
    void finish();
    void stop() {
        stopped_ = true;
        lexer_.pause();
    }
    [[nodiscard]] bool stopped() const { return stopped_; }

    [[nodiscard]] std::uint64_t next_index() const { return next_index_; }
    [[nodiscard]] std::uint64_t line() const { return lexer_.line(); }
    [[nodiscard]] std::uint64_t offset() const { return lexer_.offset(); }

    // For the splitter. Whether the reader is between games; where the last
    // game ended (the offset past its last byte); and the earliest offset a
    // later game_starting() may name (the start of a symbol or a comment
    // read between games, else the end of what was fed).
    [[nodiscard]] bool between_games() const { return phase_ == Phase::between; }
    [[nodiscard]] std::uint64_t game_end() const { return game_end_; }
    [[nodiscard]] std::uint64_t earliest_start() const {
        return phase_ == Phase::between ? lexer_.earliest_start() : lexer_.offset();
    }

    // The lexer's handler (see lexer.hpp).
    [[nodiscard]] bool wants_comment_text() const { return comments_ && delivering(); }
    void on_symbol(std::string_view text, std::uint64_t start, std::uint64_t offset, std::uint64_t line);
    void on_long_symbol(std::string_view first_bytes, std::uint64_t offset, std::uint64_t line, Cut cut);
    void on_variation(bool open, std::uint64_t offset, std::uint64_t line);
    void on_tag_open(std::uint64_t offset, std::uint64_t line);
    void on_tag(std::string_view name, std::string_view value, std::uint64_t line);
    void on_bad_tag(const char* why, std::uint64_t line);
    void on_long_tag_value(std::string_view name, std::uint64_t line);
    void on_comment(std::string_view text, bool has_text, std::uint64_t line);
    void on_long_comment(std::uint64_t offset, std::uint64_t line, std::uint64_t here);
    void on_unterminated_comment(std::uint64_t offset, std::uint64_t line);
    void on_binary(unsigned char byte, std::uint64_t offset, std::uint64_t line, Cut cut);

private:
    enum class Phase : std::uint8_t { between, tags, moves };

    // Whether the tokens read now go to the visitor: in a game not skipped,
    // outside skipped variations.
    [[nodiscard]] bool delivering() const { return phase_ != Phase::between && !skipping_ && skip_from_ == 0; }

    void start_game(std::uint64_t offset, std::uint64_t line, Cut cut);
    void enter_moves();
    void end_game(Result result, std::uint64_t end_offset);
    // A game still open at a new tag pair (at offset) or at the end.
    void close_game_at_end(std::uint64_t offset);
    // A mainline symbol that is no result; kept out of on_symbol, which every
    // token passes.
    [[gnu::noinline]] void movetext_symbol(std::string_view text, std::uint64_t line);
    void fail(ErrorKind kind, std::uint64_t line, std::string_view detail, const std::string* move = nullptr);

    Visitor& visitor_;
    Options options_;
    Lexer<Parser> lexer_;
    bool stopped_ = false;

    Phase phase_ = Phase::between;
    bool skipping_ = false;  // the game failed or its movetext is skipped
    bool comments_ = false;  // the visitor wants this game's comments
    unsigned depth_ = 0;     // of variations
    unsigned skip_from_ = 0; // the depth of the skipped variation being read, or 0
    std::uint64_t next_index_;
    std::uint64_t game_index_ = 0;
    std::uint64_t game_end_ = 0;
    std::uint64_t last_line_ = 0;  // where the game's last token ends
    std::uint64_t limit_ = UINT64_MAX;
};

}  // namespace velmor::pgn
