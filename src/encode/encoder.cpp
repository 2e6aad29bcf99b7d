#include "encode/encoder.hpp"

#include <utility>

#include "encode/mod.hpp"
#include "pgn/comment_fields.hpp"

namespace velmor::encode {

bool Encoder::begin(const pgn::Game& game) {
    first_row_ = columns.size();
    tags_ = read_game_tags(game.tags);
    if (const FilterReason reason = filter_game(filters, tags_); reason != FILTER_REASON_COUNT) {
        ++filtered_by_reason[reason];
        return false;
    }
    last_clock_ = {NaN, NaN};
    any_clock_ = false;
    eval_ = NaN;
    mate_ = 0;
    return true;
}

void Encoder::comment(const pgn::Game& game, std::string_view text) {
    const pgn::CommentFields fields = pgn::read_comment_fields(text);
    if (fields.has_eval) {
        eval_ = fields.eval;
        mate_ = fields.mate;
    }
    // A clock is the time left to the side that made the last move.
    if (fields.has_clock && game.ply > 0) {
        last_clock_[game.board.white_to_move() ? 1 : 0] = fields.clock;
        any_clock_ = true;
    }
}

void Encoder::move(const pgn::Game& game, ChessMove move) {
    if (game.ply >= skip_plies) [[likely]] {
        if (move == pgn::NULL_MOVE) [[unlikely]]
            add_row(game, NULL_MOVE_SQUARE, NULL_MOVE_SQUARE, 0);
        else
            add_row(game, static_cast<std::int8_t>(move.from()), static_cast<std::int8_t>(move.to()),
                    promotion_code(move));
    }
    // The position the move reaches has no clock and no evaluation of its
    // own until a comment after the move gives them.
    last_clock_[game.board.white_to_move() ? 0 : 1] = NaN;
    eval_ = NaN;
    mate_ = 0;
}

void Encoder::end(const pgn::Game& game, pgn::Result result) {
    if (include_final && game.ply >= skip_plies) add_row(game, -1, -1, 0);
    columns.set_result(first_row_, static_cast<std::int8_t>(result));
    // Before a side's first move its clock shows the base time, when the
    // game keeps clocks at all: both clocks of the row of ply 0, the clock
    // of the side to move of the row of ply 1. A game's rows have the plies
    // from skip_plies on.
    if (any_clock_ && tags_.time_base >= 0) {
        const auto base = static_cast<float>(tags_.time_base);
        for (std::uint32_t ply = skip_plies; ply < 2; ++ply) {
            const std::size_t row = first_row_ + (ply - skip_plies);
            columns.set_float(CLOCK, row, base);
            if (ply == 0) columns.set_float(OPPONENT_CLOCK, row, base);
        }
    }
    games.push_back({static_cast<std::int64_t>(game.index), static_cast<std::int64_t>(first_row_),
                     static_cast<std::int32_t>(columns.size() - first_row_), static_cast<std::int32_t>(game.ply),
                     static_cast<std::int8_t>(result), tags_});
    ++games_read;
    ++games_encoded;
}

void Encoder::error(const pgn::Game&, pgn::Error&& error, bool begun) {
    if (begun) columns.truncate(first_row_);
    errors.push_back(std::move(error));
    ++games_read;
    if (raise_errors) reader->stop();
}

void Encoder::filtered(const pgn::Game&) {
    ++games_read;
    ++games_filtered;
}

void Encoder::add_row(const pgn::Game& game, std::int8_t from, std::int8_t to, std::uint8_t promotion) {
    // A side that has not moved has no clock yet: NaN, the base time set at
    // the end.
    const unsigned side = game.board.white_to_move() ? 0 : 1;
    const float clock = last_clock_[side];
    const float opponent_clock = last_clock_[1 - side];
    columns.append(game.board.planes, game.board.state,
                   {static_cast<std::int64_t>(game.index), static_cast<std::int32_t>(game.halfmove_clock),
                    static_cast<std::int32_t>(game.fullmove_number), static_cast<std::int32_t>(game.ply), from, to,
                    promotion, clock, opponent_clock, eval_, mate_});
}

}  // namespace velmor::encode
