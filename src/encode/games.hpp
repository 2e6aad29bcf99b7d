// The table of games: one row per encoded game, read from its tags, and the
// filters of the encoder, which read the same tags. No Python here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velmor::encode {

// The Termination tag's values, lower case, by index; a value that is none
// of these is "other", a missing tag "unknown".
inline constexpr std::array<const char*, 7> TERMINATIONS = {
    "unknown", "normal", "time forfeit", "abandoned", "rules infraction", "unterminated", "other"};

// The speeds of Lichess, by base + 40 x increment seconds: under 30, 180,
// 480, 1500, else classical. Bit i of a speed mask is SPEEDS[i].
inline constexpr std::array<const char*, 5> SPEEDS = {"ultrabullet", "bullet", "blitz", "rapid", "classical"};

// Why a game was filtered out, in the order the filters are tried.
enum FilterReason : unsigned { MIN_ELO, MAX_ELO, SPEEDS_FILTER, RATED, BOTS, FILTER_REASON_COUNT };
inline constexpr std::array<const char*, FILTER_REASON_COUNT> FILTER_REASONS = {"min_elo", "max_elo", "speeds",
                                                                                "rated", "bots"};

// What the tags say of a game.
struct GameTags {
    long long white_elo = -1;  // -1: missing or not an integer of at most nine digits
    long long black_elo = -1;
    std::int32_t time_base = -1;  // -1: missing, "-" or unreadable
    std::int32_t time_increment = -1;
    std::int8_t rated = -1;  // 1 Event "Rated ...", 0 "Casual ...", -1 otherwise
    bool white_bot = false;
    bool black_bot = false;
    std::uint8_t termination = 0;  // index into TERMINATIONS
    std::int32_t date = 0;         // yyyymmdd from UTCDate, else Date; 0 unknown
    std::array<char, 3> eco{};     // "B01", or zeros
    std::int16_t white_rating_diff = INT16_MIN;  // INT16_MIN: missing or unreadable
    std::int16_t black_rating_diff = INT16_MIN;

    // The speed's index in SPEEDS, or -1 without a time control.
    [[nodiscard]] int speed() const;
};

using TagList = std::vector<std::pair<std::string, std::string>>;

[[nodiscard]] GameTags read_game_tags(const TagList& tags);

// The filters of encode_games; the defaults keep every game.
struct Filters {
    long long min_elo = -1;  // both ratings known and at least this; -1 none
    long long max_elo = -1;  // both ratings known and at most this; -1 none
    unsigned speeds = 0;     // a speed mask; 0 none
    int rated = -1;          // 1 rated games only, 0 casual ones only, -1 any
    bool bots = true;        // false: no BOT on either side
};

// Why the filters leave the game out, or FILTER_REASON_COUNT to keep it.
[[nodiscard]] FilterReason filter_game(const Filters& filters, const GameTags& tags);

// A row of the games table.
struct GameRow {
    std::int64_t game;
    std::int64_t first_position;
    std::int32_t positions;
    std::int32_t plies;
    std::int8_t result;
    GameTags tags;
};

// The games table's columns, in the order the encoder hands them over.
struct GameColumnSpec {
    const char* name;
    const char* dtype;
    std::size_t bytes;
    const char* meaning;
};
inline constexpr std::array<GameColumnSpec, 17> GAME_COLUMNS = {{
    {"game", "int64", 8, "game index in the source, as the positions' game column"},
    {"first_position", "int64", 8, "row of the game's first position in the position arrays"},
    {"positions", "int32", 4, "rows the game gave (fewer than its plies with skip_plies)"},
    {"plies", "int32", 4, "plies of the game's mainline"},
    {"result", "int8", 1, "result from White's view: 1 won, 0 draw, -1 lost, -2 unknown (*)"},
    {"white_elo", "int16", 2, "WhiteElo; -1 when missing or not an integer"},
    {"black_elo", "int16", 2, "BlackElo; -1 when missing or not an integer"},
    {"white_rating_diff", "int16", 2, "WhiteRatingDiff; -32768 when missing or not an integer"},
    {"black_rating_diff", "int16", 2, "BlackRatingDiff; -32768 when missing or not an integer"},
    {"time_base", "int32", 4, "TimeControl base seconds; -1 when missing, '-' or unreadable"},
    {"time_increment", "int32", 4, "TimeControl increment seconds; -1 when missing, '-' or unreadable"},
    {"rated", "int8", 1, "1 when Event starts with 'Rated', 0 with 'Casual', -1 otherwise"},
    {"white_bot", "bool", 1, "WhiteTitle is BOT"},
    {"black_bot", "bool", 1, "BlackTitle is BOT"},
    {"termination", "uint8", 1, "Termination as an index into TERMINATIONS"},
    {"date", "int32", 4, "yyyymmdd from UTCDate, else Date; 0 unknown"},
    {"eco", "S3", 3, "ECO code such as b'B01'; b'' when missing or malformed"},
}};

// Writes the rows column by column: out[c] has room for rows.size() values
// of GAME_COLUMNS[c].
void write_game_columns(const std::vector<GameRow>& rows, const std::array<std::uint8_t*, GAME_COLUMNS.size()>& out);

}  // namespace velmor::encode
