// What every layer of the PGN reader shares and none of them owns: the
// limits, the error kinds and their messages, the results. Nothing here
// knows a board.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace velmor::pgn {

// Longest symbol, tag name or move text.
inline constexpr std::size_t MAX_SYMBOL = 255;
// Longest tag value or comment.
inline constexpr std::size_t MAX_TEXT = 1 << 16;
// Most bytes of one game, counted from its first token.
inline constexpr std::uint64_t MAX_GAME_BYTES = 1 << 22;

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

// "game <index>, line <line>: <kind>: <detail>", the form of every message.
[[nodiscard]] Error make_error(std::uint64_t index, std::uint64_t line, ErrorKind kind, std::string_view detail,
                               const std::string* move = nullptr);

// Quotes a text for a message, keeping it short and printable.
[[nodiscard]] std::string quoted(std::string_view text);

// The result from White's view, as the schema counts it.
enum class Result : std::int8_t { white_wins = 1, draw = 0, black_wins = -1, unknown = -2 };

[[nodiscard]] const char* result_text(Result result);

// A point where a reader started on the text from there on reads everything
// from there exactly as the reader of the whole text does: what the splitter
// is told of a game start.
struct Cut {
    std::uint64_t offset;
    std::uint64_t line;
};

}  // namespace velmor::pgn
