#include "encode/games.hpp"

#include <cstring>

namespace velmor::encode {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Digits only, at least one and at most `most`, or -1.
long long digits(std::string_view text, std::size_t most) {
    if (text.empty() || text.size() > most) return -1;
    long long value = 0;
    for (const char c : text) {
        if (!is_digit(c)) return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

const std::string* find(const TagList& tags, std::string_view name) {
    for (const auto& [key, value] : tags)
        if (key == name) return &value;
    return nullptr;
}

// "+12", "-7", "0": a signed integer that fits int16, else INT16_MIN.
std::int16_t rating_diff(const std::string* value) {
    if (!value || value->empty()) return INT16_MIN;
    std::string_view text = *value;
    const bool negative = text.front() == '-';
    if (text.front() == '-' || text.front() == '+') text.remove_prefix(1);
    const long long magnitude = digits(text, 5);
    if (magnitude < 0 || magnitude > 32767) return INT16_MIN;
    return static_cast<std::int16_t>(negative ? -magnitude : magnitude);
}

// "yyyy.mm.dd" with a real month and day, as yyyymmdd, or 0.
std::int32_t date_of(const std::string* value) {
    if (!value || value->size() != 10 || (*value)[4] != '.' || (*value)[7] != '.') return 0;
    const std::string_view text = *value;
    const long long year = digits(text.substr(0, 4), 4);
    const long long month = digits(text.substr(5, 2), 2);
    const long long day = digits(text.substr(8, 2), 2);
    if (year < 0 || month < 1 || month > 12 || day < 1 || day > 31) return 0;
    return static_cast<std::int32_t>(year * 10000 + month * 100 + day);
}

bool equals_lower(std::string_view text, std::string_view lower) {
    if (text.size() != lower.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] + 32) : text[i];
        if (c != lower[i]) return false;
    }
    return true;
}

}  // namespace

int GameTags::speed() const {
    if (time_base < 0) return -1;
    const long long total = static_cast<long long>(time_base) + 40LL * time_increment;
    return total < 30 ? 0 : total < 180 ? 1 : total < 480 ? 2 : total < 1500 ? 3 : 4;
}

GameTags read_game_tags(const TagList& tags) {
    GameTags out;
    // Last to first: where a name comes twice, its first tag counts, as
    // Game::tag reads it.
    for (auto tag = tags.rbegin(); tag != tags.rend(); ++tag) {
        const std::string& name = tag->first;
        const std::string& value = tag->second;
        if (name == "WhiteElo") out.white_elo = digits(value, 9);
        else if (name == "BlackElo") out.black_elo = digits(value, 9);
        else if (name == "TimeControl") {
            // "base+increment", or "base" alone (no increment).
            out.time_base = out.time_increment = -1;
            const std::size_t plus = value.find('+');
            const long long base = digits(std::string_view(value).substr(0, plus), 9);
            const long long increment = plus == std::string::npos ? 0 : digits(std::string_view(value).substr(plus + 1), 9);
            if (base >= 0 && increment >= 0) {
                out.time_base = static_cast<std::int32_t>(base);
                out.time_increment = static_cast<std::int32_t>(increment);
            }
        } else if (name == "Event") {
            out.rated = value.starts_with("Rated") ? 1 : value.starts_with("Casual") ? 0 : -1;
        } else if (name == "WhiteTitle") out.white_bot = value == "BOT";
        else if (name == "BlackTitle") out.black_bot = value == "BOT";
        else if (name == "Termination") {
            out.termination = static_cast<std::uint8_t>(TERMINATIONS.size() - 1);
            for (std::size_t i = 1; i + 1 < TERMINATIONS.size(); ++i)
                if (equals_lower(value, TERMINATIONS[i])) out.termination = static_cast<std::uint8_t>(i);
        } else if (name == "ECO") {
            out.eco = {};
            if (value.size() == 3 && value[0] >= 'A' && value[0] <= 'E' && is_digit(value[1]) && is_digit(value[2]))
                std::memcpy(out.eco.data(), value.data(), 3);
        } else if (name == "WhiteRatingDiff") out.white_rating_diff = rating_diff(&value);
        else if (name == "BlackRatingDiff") out.black_rating_diff = rating_diff(&value);
    }
    out.date = date_of(find(tags, "UTCDate"));
    if (!out.date) out.date = date_of(find(tags, "Date"));
    return out;
}

FilterReason filter_game(const Filters& filters, const GameTags& tags) {
    if (filters.min_elo >= 0 && !(tags.white_elo >= filters.min_elo && tags.black_elo >= filters.min_elo))
        return MIN_ELO;
    if (filters.max_elo >= 0 && !(tags.white_elo >= 0 && tags.black_elo >= 0 && tags.white_elo <= filters.max_elo &&
                                  tags.black_elo <= filters.max_elo))
        return MAX_ELO;
    if (filters.speeds) {
        const int speed = tags.speed();
        if (speed < 0 || !(filters.speeds >> speed & 1)) return SPEEDS_FILTER;
    }
    if (filters.rated >= 0 && tags.rated != filters.rated) return RATED;
    if (!filters.bots && (tags.white_bot || tags.black_bot)) return BOTS;
    return FILTER_REASON_COUNT;
}

namespace {

template <typename T>
void put(std::uint8_t* out, std::size_t row, T value) {
    std::memcpy(out + row * sizeof(T), &value, sizeof(T));
}

std::int16_t elo16(long long elo) { return elo >= 0 && elo <= 32767 ? static_cast<std::int16_t>(elo) : std::int16_t{-1}; }

}  // namespace

void write_game_columns(const std::vector<GameRow>& rows, const std::array<std::uint8_t*, GAME_COLUMNS.size()>& out) {
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const GameRow& r = rows[i];
        put(out[0], i, r.game);
        put(out[1], i, r.first_position);
        put(out[2], i, r.positions);
        put(out[3], i, r.plies);
        put(out[4], i, r.result);
        put(out[5], i, elo16(r.tags.white_elo));
        put(out[6], i, elo16(r.tags.black_elo));
        put(out[7], i, r.tags.white_rating_diff);
        put(out[8], i, r.tags.black_rating_diff);
        put(out[9], i, r.tags.time_base);
        put(out[10], i, r.tags.time_increment);
        put(out[11], i, r.tags.rated);
        put(out[12], i, static_cast<std::uint8_t>(r.tags.white_bot));
        put(out[13], i, static_cast<std::uint8_t>(r.tags.black_bot));
        put(out[14], i, r.tags.termination);
        put(out[15], i, r.tags.date);
        std::memcpy(out[16] + 3 * i, r.tags.eco.data(), 3);
    }
}

}  // namespace velmor::encode
