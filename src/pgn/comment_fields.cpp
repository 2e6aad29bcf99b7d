#include "pgn/comment_fields.hpp"

#include <charconv>
#include <cstring>

namespace velmor::pgn {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The whole of `text` as an unsigned number of at most `most` digits, or -1.
long digits_value(std::string_view text, std::size_t most) {
    if (text.empty() || text.size() > most) return -1;
    long value = 0;
    for (const char c : text) {
        if (!is_digit(c)) return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

// A pawn value: an optional sign, digits, an optional point and digits
// (at least one digit in all, at most six before the point).
bool read_pawns(std::string_view text, float& out) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    const std::size_t point = text.find('.');
    const std::string_view whole = text.substr(0, point);
    const std::string_view fraction = point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
    if (whole.size() + fraction.size() == 0 || whole.size() > 6 || fraction.size() > 9) return false;
    for (const char c : whole)
        if (!is_digit(c)) return false;
    for (const char c : fraction)
        if (!is_digit(c)) return false;
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
    if (error != std::errc() || end != text.data() + text.size()) return false;
    out = static_cast<float>(negative ? -value : value);
    return true;
}

// The value of a %eval: pawns, or "#n" / "#-n" (n from 1 to 32767); an
// optional ",depth" after either.
bool read_eval(std::string_view value, CommentFields& fields) {
    if (const std::size_t comma = value.find(','); comma != std::string_view::npos) {
        if (digits_value(value.substr(comma + 1), 4) < 0) return false;
        value = value.substr(0, comma);
    }
    if (value.starts_with('#')) {
        value.remove_prefix(1);
        bool negative = false;
        if (!value.empty() && (value.front() == '+' || value.front() == '-')) {
            negative = value.front() == '-';
            value.remove_prefix(1);
        }
        const long moves = digits_value(value, 5);
        // "#0" names no side: no value rather than a guess.
        if (moves <= 0 || moves > 32767) return false;
        fields.mate = static_cast<std::int16_t>(negative ? -moves : moves);
        fields.eval = std::numeric_limits<float>::quiet_NaN();
        return true;
    }
    float pawns;
    if (!read_pawns(value, pawns)) return false;
    fields.eval = pawns;
    fields.mate = 0;
    return true;
}

}  // namespace

double read_clock(std::string_view value) {
    const std::size_t first = value.find(':');
    if (first == std::string_view::npos) return -1;
    const std::size_t second = value.find(':', first + 1);
    if (second == std::string_view::npos) return -1;
    const long hours = digits_value(value.substr(0, first), 5);
    const long minutes = digits_value(value.substr(first + 1, second - first - 1), 2);
    std::string_view rest = value.substr(second + 1);
    const long seconds = rest.size() >= 2 ? digits_value(rest.substr(0, 2), 2) : -1;
    if (hours < 0 || minutes < 0 || seconds < 0 || value.substr(first + 1, second - first - 1).size() != 2 ||
        minutes >= 60 || seconds >= 60)
        return -1;
    rest.remove_prefix(2);
    double fraction = 0;
    if (!rest.empty()) {
        // ".f...": at least one digit after the point.
        if (rest.front() != '.' || rest.size() < 2 || rest.size() > 10) return -1;
        for (const char c : rest.substr(1))
            if (!is_digit(c)) return -1;
        const auto [end, error] =
            std::from_chars(rest.data(), rest.data() + rest.size(), fraction, std::chars_format::fixed);
        if (error != std::errc() || end != rest.data() + rest.size()) return -1;
    }
    return static_cast<double>(hours * 3600 + minutes * 60 + seconds) + fraction;
}

CommentFields read_comment_fields(std::string_view text) {
    CommentFields fields;
    const char* p = text.data();
    const char* const end = p + text.size();
    while (!(fields.has_clock && fields.has_eval)) {
        // Commands open with "[%"; everything else is passed over at memchr's pace.
        const void* open = std::memchr(p, '[', static_cast<std::size_t>(end - p));
        if (!open) break;
        p = static_cast<const char*>(open) + 1;
        if (p == end || *p != '%') continue;
        ++p;
        const char* name = p;
        while (p < end && !is_blank(*p) && *p != ']' && *p != '[') ++p;
        const std::string_view command(name, static_cast<std::size_t>(p - name));
        const bool clock = command == "clk";
        if (!clock && command != "eval") continue;
        if (p == end || !is_blank(*p)) continue;
        while (p < end && is_blank(*p)) ++p;
        const char* value_start = p;
        while (p < end && !is_blank(*p) && *p != ']' && *p != '[') ++p;
        const std::string_view value(value_start, static_cast<std::size_t>(p - value_start));
        while (p < end && is_blank(*p)) ++p;
        if (p == end || *p != ']') continue;
        ++p;
        if (clock) {
            if (fields.has_clock) continue;
            const double seconds = read_clock(value);
            if (seconds < 0) continue;
            fields.clock = static_cast<float>(seconds);
            fields.has_clock = true;
        } else if (!fields.has_eval) {
            fields.has_eval = read_eval(value, fields);
        }
    }
    return fields;
}

}  // namespace velmor::pgn
