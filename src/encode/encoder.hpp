// The visitor that turns the reader's games into training rows: it filters
// games by their tags, appends a row for each position a move is played
// from (and the final one when asked), reads the clocks and evaluations of
// the comments, and keeps the games table. No Python here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>
#include <vector>

#include "encode/columns.hpp"
#include "encode/games.hpp"
#include "pgn/mod.hpp"

namespace velmor::encode {

// move_from and move_to of a null move's row (a final position's are -1).
inline constexpr std::int8_t NULL_MOVE_SQUARE = -2;

class Encoder final : public pgn::Sink {
public:
    bool raise_errors = false;  // stop the reader at the first game in error
    bool include_final = false;
    Filters filters;
    std::uint32_t skip_plies = 0;
    // false: comments are passed over unread, their columns NaN and 0 (for
    // measuring what reading them costs).
    bool read_comments = true;
    pgn::Reader* reader = nullptr;  // the reader to stop, with raise_errors

    Columns columns;
    std::vector<GameRow> games;
    std::vector<pgn::Error> errors;
    std::uint64_t games_read = 0;
    std::uint64_t games_encoded = 0;
    std::uint64_t games_filtered = 0;
    std::array<std::uint64_t, FILTER_REASON_COUNT> filtered_by_reason{};

    bool begin(const pgn::Game& game) override;
    bool wants_comments() const override { return read_comments; }
    void comment(const pgn::Game& game, std::string_view text) override;
    void move(const pgn::Game& game, ChessMove move) override;
    void end(const pgn::Game& game, pgn::Result result) override;
    void error(const pgn::Game& game, pgn::Error&& error, bool begun) override;
    void filtered(const pgn::Game& game) override;

private:
    static constexpr float NaN = std::numeric_limits<float>::quiet_NaN();

    void add_row(const pgn::Game& game, std::int8_t from, std::int8_t to, std::uint8_t promotion);

    std::size_t first_row_ = 0;
    GameTags tags_;
    std::array<float, 2> last_clock_{};  // White's, Black's: the %clk of its last move
    bool any_clock_ = false;
    float eval_ = NaN;
    std::int16_t mate_ = 0;
};

}  // namespace velmor::encode
