// The commands of a game's comments that training reads: "[%clk h:mm:ss]",
// the mover's time left after the move, and "[%eval 0.17]" / "[%eval #-3]",
// the evaluation of the position reached. Other commands ("%csl", "%cal",
// "%emt") and plain text are passed over. A command whose value cannot be
// read exactly gives no value: a clock or an evaluation is never guessed.
#pragma once

#include <cstdint>
#include <limits>
#include <string_view>

namespace velmor::pgn {

struct CommentFields {
    // Seconds, fractions kept; NaN when the comment has no readable %clk.
    float clock = std::numeric_limits<float>::quiet_NaN();
    // Pawns from White's view; NaN when the comment has no readable %eval
    // or it is a mate score.
    float eval = std::numeric_limits<float>::quiet_NaN();
    // +n White mates in n, -n Black mates in n, 0 none.
    std::int16_t mate = 0;
    bool has_clock = false;
    bool has_eval = false;  // a readable %eval, a number or a mate score
};

// The first readable %clk and the first readable %eval of a comment's text
// (what lies between its braces).
[[nodiscard]] CommentFields read_comment_fields(std::string_view text);

// "h:mm:ss" or "h:mm:ss.f..." (minutes and seconds two digits each, below
// 60) in seconds, or a negative number when it is not that.
[[nodiscard]] double read_clock(std::string_view value);

}  // namespace velmor::pgn
