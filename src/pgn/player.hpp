// The game player: the visitor of the reader that owns the board. It sets up
// each game's start position from its tags, resolves each SAN move on the
// board, plays it forward (no undo history, no hashes), and tells its sink.
// Reader puts the parser and a player together: the PGN reader the encoder
// and the Python objects drive.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "pgn/parser.hpp"
#include "pgn/sink.hpp"

namespace velmor::pgn {

class GamePlayer final : public Visitor {
public:
    // play_moves false: every game's movetext is skipped (it is filtered).
    GamePlayer(const MoveGenerator& generator, Sink& sink, bool play_moves);

    // Games read (ended, skipped or filtered) whose FEN tag gave a castling
    // right that was dropped.
    [[nodiscard]] std::uint64_t castling_dropped() const { return castling_dropped_; }

    void game_starting(Cut cut) override { sink_.game_starting(cut.offset, cut.line); }
    void cut_off(std::uint64_t offset) override { sink_.cut_off(offset); }
    void begin_game(std::uint64_t index, std::uint64_t line) override;
    void tag(std::string_view name, std::string_view value) override;
    bool end_tags() override;
    [[nodiscard]] bool wants_comments() const override { return play_moves_ && sink_.wants_comments(); }
    bool san(std::string_view text, std::uint64_t line) override;
    void comment(std::string_view text) override;
    void error(Error&& error) override;
    void outcome(Result result) override;

private:
    enum class Status : std::uint8_t { ok, failed, filtered };

    void fail(ErrorKind kind, std::uint64_t line, const std::string& detail, const std::string* move = nullptr);
    // A move that cannot be played: its text, why, and the position.
    void fail_move(ErrorKind kind, std::string_view text, const char* reason, std::uint64_t line);
    bool null_move(std::string_view text, std::uint64_t line);

    const MoveGenerator& generator_;
    Sink& sink_;
    bool play_moves_;
    Status status_ = Status::ok;
    bool begun_ = false;
    bool dropped_castling_ = false;  // this game's FEN dropped a right
    std::uint64_t castling_dropped_ = 0;
    Game game_;
    MoveList scratch_;
    // Comments read before begin(): passed once it accepts the game.
    std::string held_text_;
    std::vector<std::size_t> held_ends_;
};

class Reader {
public:
    struct Options {
        std::uint64_t first_index = 0;
        std::uint64_t first_line = 1;
        bool play_moves = true;      // false: only find the games
        bool report_starts = false;  // call Sink::game_starting
    };

    Reader(const MoveGenerator& generator, Sink& sink, Options options)
        : player_(generator, sink, options.play_moves),
          parser_(player_, Parser::Options{options.first_index, options.first_line, options.report_starts}),
          first_index_(options.first_index) {}

    // Reads the next piece of the text; stops early once stop() was called.
    void feed(std::string_view data) { parser_.feed(data); }
    // The end of the text: a game still open is truncated.
    void finish() { parser_.finish(); }
    void stop() { parser_.stop(); }
    [[nodiscard]] bool stopped() const { return parser_.stopped(); }

    [[nodiscard]] std::uint64_t games_started() const { return parser_.next_index() - first_index_; }
    [[nodiscard]] std::uint64_t next_index() const { return parser_.next_index(); }
    [[nodiscard]] std::uint64_t line() const { return parser_.line(); }
    [[nodiscard]] std::uint64_t offset() const { return parser_.offset(); }
    [[nodiscard]] std::uint64_t castling_dropped() const { return player_.castling_dropped(); }
    [[nodiscard]] bool between_games() const { return parser_.between_games(); }
    [[nodiscard]] std::uint64_t game_end() const { return parser_.game_end(); }
    [[nodiscard]] std::uint64_t earliest_start() const { return parser_.earliest_start(); }

private:
    GamePlayer player_;
    Parser parser_;
    std::uint64_t first_index_;
};

}  // namespace velmor::pgn
