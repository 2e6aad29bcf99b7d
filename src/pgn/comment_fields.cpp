#include "pgn/comment_fields.hpp"

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

// Exact powers of ten as doubles: a decimal of at most 15 digits, its digits
// as an integer divided by one of these, is the correctly rounded double of
// the decimal (both operands are exact), as a full parser would give.
constexpr double POW10[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9};

// The values below are read in one pass from p: each returns the position
// past what it read, or nullptr when p holds none; the caller then checks
// what follows. Nothing is written on failure.

// Digits, at most `most` of them (none gives 0 digits): their value.
const char* parse_digits(const char* p, const char* end, std::ptrdiff_t most, long& value, std::ptrdiff_t& count) {
    const char* const start = p;
    long v = 0;
    while (p < end && is_digit(*p)) {
        if (p - start == most) return nullptr;
        v = v * 10 + (*p++ - '0');
    }
    value = v;
    count = p - start;
    return p;
}

// A pawn value: an optional sign, digits, an optional point and digits
// (at least one digit in all, at most six before the point and nine after).
const char* parse_pawns(const char* p, const char* end, float& out) {
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    long units, digits = 0;
    std::ptrdiff_t whole, places = 0;
    p = parse_digits(p, end, 6, units, whole);
    if (!p) return nullptr;
    if (p < end && *p == '.') {
        p = parse_digits(p + 1, end, 9, digits, places);
        if (!p) return nullptr;
    }
    if (whole + places == 0) return nullptr;
    double value = static_cast<double>(units);
    if (places) {
        const double scale = POW10[places];
        value = (static_cast<double>(units) * scale + static_cast<double>(digits)) / scale;
    }
    out = static_cast<float>(negative ? -value : value);
    return p;
}

// The value of a %eval: pawns, or "#n" / "#-n" (n from 1 to 32767); an
// optional ",depth" (one to four digits) after either.
const char* parse_eval(const char* p, const char* end, float& eval, std::int16_t& mate) {
    float pawns = std::numeric_limits<float>::quiet_NaN();
    long moves = 0;
    if (p < end && *p == '#') {
        ++p;
        bool negative = false;
        if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
        std::ptrdiff_t count;
        p = parse_digits(p, end, 5, moves, count);
        // "#0" names no side: no value rather than a guess.
        if (!p || moves <= 0 || moves > 32767) return nullptr;
        if (negative) moves = -moves;
    } else {
        p = parse_pawns(p, end, pawns);
        if (!p) return nullptr;
    }
    if (p < end && *p == ',') {
        long depth;
        std::ptrdiff_t count;
        p = parse_digits(p + 1, end, 4, depth, count);
        if (!p || count == 0) return nullptr;
    }
    eval = pawns;
    mate = static_cast<std::int16_t>(moves);
    return p;
}

// The whole of `value` as a %eval's value.
bool read_eval(std::string_view value, CommentFields& fields) {
    const char* const end = value.data() + value.size();
    float eval;
    std::int16_t mate;
    if (parse_eval(value.data(), end, eval, mate) != end) return false;
    fields.eval = eval;
    fields.mate = mate;
    return true;
}

template <std::size_t N>
bool starts_with(const char* p, const char* end, const char (&prefix)[N]) {
    return static_cast<std::size_t>(end - p) >= N - 1 && std::memcmp(p, prefix, N - 1) == 0;
}

// "h:mm:ss" or "h:mm:ss.f..." at p (the hours one to five digits, minutes
// and seconds two digits each and below 60, one to nine digits of a
// fraction): the seconds, and the position past them; nullptr when p holds
// no clock.
const char* parse_clock(const char* p, const char* end, double& seconds) {
    long hours, fraction;
    std::ptrdiff_t count, places;
    p = parse_digits(p, end, 5, hours, count);
    if (!p || count == 0 || end - p < 6 || p[0] != ':' || p[3] != ':' || !is_digit(p[1]) || !is_digit(p[2]) ||
        !is_digit(p[4]) || !is_digit(p[5]))
        return nullptr;
    const long minutes = (p[1] - '0') * 10 + (p[2] - '0');
    const long seconds_part = (p[4] - '0') * 10 + (p[5] - '0');
    if (minutes >= 60 || seconds_part >= 60) return nullptr;
    seconds = static_cast<double>(hours * 3600 + minutes * 60 + seconds_part);
    p += 6;
    if (p == end || *p != '.') return p;
    p = parse_digits(p + 1, end, 9, fraction, places);
    if (!p || places == 0) return nullptr;
    seconds += static_cast<double>(fraction) / POW10[places];
    return p;
}

// The "] " that closes a command in Lichess's layout at p: the position past
// it, or nullptr.
const char* past_closing(const char* p, const char* end) {
    return p && end - p >= 2 && p[0] == ']' && p[1] == ' ' ? p + 2 : nullptr;
}

// Lichess writes a move's comment as " [%eval 0.17] [%clk 0:03:00] ", either
// command perhaps missing. A comment of exactly that form, its values
// readable, is read here in one pass, giving what the general reading gives;
// any other, false, and the general reading takes it from the start.
bool read_lichess_layout(std::string_view text, CommentFields& fields) {
    const char* p = text.data();
    const char* const end = p + text.size();
    if (p == end || *p++ != ' ') return false;
    if (starts_with(p, end, "[%eval ")) {
        // The value runs to the "]": what it holds besides is no value.
        float eval;
        std::int16_t mate;
        p = past_closing(parse_eval(p + 7, end, eval, mate), end);
        if (!p) return false;
        fields.eval = eval;
        fields.mate = mate;
        fields.has_eval = true;
    }
    if (starts_with(p, end, "[%clk ")) {
        double seconds;
        p = past_closing(parse_clock(p + 6, end, seconds), end);
        if (!p) return false;
        fields.clock = static_cast<float>(seconds);
        fields.has_clock = true;
    }
    return p == end && (fields.has_clock || fields.has_eval);
}

}  // namespace

double read_clock(std::string_view value) {
    double seconds;
    const char* const end = value.data() + value.size();
    return parse_clock(value.data(), end, seconds) == end ? seconds : -1;
}

CommentFields read_comment_fields(std::string_view text) {
    CommentFields fields;
    if (read_lichess_layout(text, fields)) return fields;
    fields = CommentFields{};
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
