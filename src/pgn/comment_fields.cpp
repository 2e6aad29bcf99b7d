#include "pgn/comment_fields.hpp"

#include <algorithm>
#include <array>
#include <cstring>

namespace velmor::pgn {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The bytes that end a command's value: blanks and brackets.
constexpr std::array<bool, 256> VALUE_END = [] {
    std::array<bool, 256> end{};
    for (const unsigned char c : {' ', '\t', '\n', '\r', ']', '['}) end[c] = true;
    return end;
}();

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

// Exact powers of ten as doubles: a decimal of at most 15 digits, its digits
// as an integer divided by one of these, is the correctly rounded double of
// the decimal (both operands are exact), as a full parser would give.
constexpr double POW10[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9};

// ".ddd" (at least one digit, at most nine) as a fraction, or -1.
double read_fraction(std::string_view text) {
    if (text.size() < 2 || text.size() > 10 || text.front() != '.') return -1;
    const long digits = digits_value(text.substr(1), 9);
    return digits < 0 ? -1 : static_cast<double>(digits) / POW10[text.size() - 1];
}

// A pawn value: an optional sign, digits, an optional point and digits
// (at least one digit in all, at most six before the point and nine after).
bool read_pawns(std::string_view text, float& out) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    const std::size_t point = std::min(text.find('.'), text.size());
    const std::string_view whole = text.substr(0, point);
    const std::string_view fraction = text.substr(point);  // "" or ".ddd"
    if (whole.empty() && fraction.size() < 2) return false;
    const long units = whole.empty() ? 0 : digits_value(whole, 6);
    if (units < 0) return false;
    double value = static_cast<double>(units);
    if (fraction.size() > 1) {
        const long digits = digits_value(fraction.substr(1), 9);
        if (digits < 0) return false;
        const double scale = POW10[fraction.size() - 1];
        value = (static_cast<double>(units) * scale + static_cast<double>(digits)) / scale;
    }
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
    // h:mm:ss, the hours one to five digits, then perhaps ".f...".
    const char* p = value.data();
    const char* const end = p + value.size();
    long hours = 0;
    const char* const hours_start = p;
    while (p < end && is_digit(*p) && p - hours_start < 5) hours = hours * 10 + (*p++ - '0');
    if (p == hours_start || end - p < 6 || p[0] != ':' || p[3] != ':' || !is_digit(p[1]) || !is_digit(p[2]) ||
        !is_digit(p[4]) || !is_digit(p[5]))
        return -1;
    const long minutes = (p[1] - '0') * 10 + (p[2] - '0');
    const long seconds = (p[4] - '0') * 10 + (p[5] - '0');
    if (minutes >= 60 || seconds >= 60) return -1;
    const double whole = static_cast<double>(hours * 3600 + minutes * 60 + seconds);
    p += 6;
    if (p == end) return whole;
    const double fraction = read_fraction(std::string_view(p, static_cast<std::size_t>(end - p)));
    return fraction < 0 ? -1 : whole + fraction;
}

CommentFields read_comment_fields(std::string_view text) {
    CommentFields fields;
    const char* p = text.data();
    const char* const end = p + text.size();
    // Commands open with "[%"; everything else is passed over at memchr's pace.
    while (const char* open = static_cast<const char*>(std::memchr(p, '%', static_cast<std::size_t>(end - p)))) {
        p = open + 1;
        if (open == text.data() || open[-1] != '[') continue;
        // "clk " or "eval " then the value, blanks, "]".
        const bool clock = end - p > 4 && p[0] == 'c' && p[1] == 'l' && p[2] == 'k' && is_blank(p[3]);
        const bool eval = !clock && end - p > 5 && p[0] == 'e' && p[1] == 'v' && p[2] == 'a' && p[3] == 'l' &&
                          is_blank(p[4]);
        if (!clock && !eval) continue;
        p += clock ? 4 : 5;
        while (p < end && is_blank(*p)) ++p;
        const char* value_start = p;
        while (p < end && !VALUE_END[static_cast<unsigned char>(*p)]) ++p;
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
        if (fields.has_clock && fields.has_eval) break;
    }
    return fields;
}

}  // namespace velmor::pgn
