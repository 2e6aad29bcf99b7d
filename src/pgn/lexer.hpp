// The PGN lexer: bytes to tokens, in pieces of any size. Its state survives
// between pieces; a token is read where it lies in the piece, and only one
// that crosses the end of a piece is gathered (symbols and tags always are
// short; a comment's text only when its handler wants it). It knows neither
// games nor boards: each token goes to its handler (the reader), which answers
// the two questions the lexing depends on (whether it is between games, and
// whether it wants the text of the comment being opened).
//
// The handler provides:
//   bool between_games() const;
//   bool wants_comment_text() const;
//   void on_symbol(std::string_view text, std::uint64_t start, std::uint64_t offset, std::uint64_t line);
//       (start: where the token began, before any byte-order mark)
//   void on_long_symbol(std::string_view first_bytes, std::uint64_t offset, std::uint64_t line, Cut cut);
//   void on_variation(bool open, std::uint64_t offset, std::uint64_t line);
//   void on_tag_open(std::uint64_t offset, std::uint64_t line);
//   void on_tag(std::string_view name, std::string_view value, std::uint64_t line);
//   void on_bad_tag(const char* why, std::uint64_t line);
//   void on_long_tag_value(std::string_view name, std::uint64_t line);
//   void on_comment(std::string_view text, bool has_text, std::uint64_t line);
//   void on_long_comment(std::uint64_t offset, std::uint64_t line, std::uint64_t here);
//   void on_unterminated_comment(std::uint64_t offset, std::uint64_t line);
//   void on_binary(unsigned char byte, std::uint64_t offset, std::uint64_t line, Cut cut);
// A handler may call pause() from any of them: lex() then returns at once
// (the reader does so when a game starts, to place the game's size limit).
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "pgn/errors.hpp"

namespace velmor::pgn {

namespace lexing {

// Byte classes. CR ends a line as LF does, alone (old Mac files) or before
// LF; it has a class of its own so that runs of blanks stay fast.
enum : std::uint8_t { SYM, WS, NL, CR, BIN, LBRACE, LPAREN, RPAREN, LBRACKET, SEMI, PERCENT };

inline constexpr std::array<std::uint8_t, 256> CLASS = [] {
    std::array<std::uint8_t, 256> classes{};
    for (unsigned c = 0; c < 0x20; ++c) classes[c] = BIN;
    classes[0x7F] = BIN;
    for (const unsigned c : {' ', '\t', '\v', '\f', '\x1a'}) classes[c] = WS;
    classes['\n'] = NL;
    classes['\r'] = CR;
    classes['{'] = LBRACE;
    classes['('] = LPAREN;
    classes[')'] = RPAREN;
    classes['['] = LBRACKET;
    classes[';'] = SEMI;
    classes['%'] = PERCENT;
    return classes;
}();

[[nodiscard]] constexpr bool ends_run(unsigned c) { return CLASS[c] == BIN || CLASS[c] == NL || CLASS[c] == CR; }

// Bytes that end a run inside a comment.
inline constexpr std::array<bool, 256> COMMENT_STOP = [] {
    std::array<bool, 256> stop{};
    for (unsigned c = 0; c < 256; ++c) stop[c] = ends_run(c);
    stop['}'] = true;
    return stop;
}();

// Bytes that end a run of a tag value's plain text.
inline constexpr std::array<bool, 256> TAG_VALUE_STOP = [] {
    std::array<bool, 256> stop{};
    for (unsigned c = 0; c < 256; ++c) stop[c] = ends_run(c);
    stop['"'] = true;
    stop['\\'] = true;
    return stop;
}();

// Bytes that end a run of a skipped line.
inline constexpr std::array<bool, 256> LINE_STOP = [] {
    std::array<bool, 256> stop{};
    for (unsigned c = 0; c < 256; ++c) stop[c] = ends_run(c);
    return stop;
}();

inline constexpr std::array<bool, 256> SYMBOL_BYTE = [] {
    std::array<bool, 256> symbol{};
    for (unsigned c = 0; c < 256; ++c) symbol[c] = CLASS[c] == SYM || CLASS[c] == PERCENT;
    return symbol;
}();

inline constexpr std::array<bool, 256> TAG_NAME_BYTE = [] {
    std::array<bool, 256> name{};
    for (unsigned c = 0; c < 256; ++c)
        name[c] = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
                  c == '+' || c == '#' || c == '=' || c == ':' || c == '-';
    return name;
}();

[[nodiscard]] constexpr bool is_line_end(unsigned char c) { return c == '\n' || c == '\r'; }

inline constexpr std::string_view BOM = "\xEF\xBB\xBF";

}  // namespace lexing

template <class Handler>
class Lexer {
public:
    Lexer(Handler& handler, std::uint64_t first_line) : handler_(handler), line_(first_line) {
        token_.reserve(MAX_SYMBOL);
    }

    // A piece of the text starts at base; lex() reads parts of it.
    void begin_piece(const char* base) {
        base_ = base;
        comment_start_ = base;
    }
    // Lexes from p to at most end; returns where it stopped (early when the
    // handler paused it).
    const char* lex(const char* p, const char* end);
    // The piece was read up to p: a comment's text still open is gathered.
    void end_piece(const char* p) {
        if (state_ == State::comment && gather_) comment_text_.append(comment_start_, p);
        offset_ += static_cast<std::uint64_t>(p - base_);
        base_ = nullptr;
    }
    // The end of the text: a token still open is read or refused.
    void finish();
    void pause() { pause_ = true; }

    [[nodiscard]] std::uint64_t at(const char* p) const { return offset_ + static_cast<std::uint64_t>(p - base_); }
    [[nodiscard]] std::uint64_t line() const { return line_; }
    // The offset of the piece being read, or past all that was read.
    [[nodiscard]] std::uint64_t offset() const { return offset_; }

    // Where a reader started at the symbol starting at `start` (read between
    // games) would be in the state this one is in.
    [[nodiscard]] Cut symbol_cut(std::uint64_t start) const {
        // A reader started at the symbol would take a "%" there for an escape
        // line: it starts on the blank before, or at the comment it follows.
        if (blank_end_ == start && start > 0) return {start - 1, token_line_};
        if (comment_end_ == start) return {comment_offset_, comment_line_};
        return {start, token_line_};
    }
    // Between games: the earliest offset a later game may be found to start
    // at (the start of a symbol or a comment being read, else the end of what
    // was fed).
    [[nodiscard]] std::uint64_t earliest_start() const {
        if (state_ == State::comment) return comment_offset_;
        if (state_ == State::rest_of_line) return rest_offset_;
        return symbol_cut(state_ == State::symbol ? token_offset_ : offset_).offset;
    }

private:
    enum class State : std::uint8_t {
        space,
        symbol,
        comment,
        rest_of_line,
        tag_name,
        tag_before_value,
        tag_value,
        tag_escape,
        tag_after_value,
        tag_skip,
    };

    [[gnu::noinline]] const char* lex_tag(const char* p, const char* end);

    // Lines counted at the byte at p ("\n" or "\r"): an LF ends a line, a
    // CR too unless an LF follows (that LF ends it then). A CR at the end of
    // what lex() was given waits for the next byte.
    [[nodiscard]] unsigned ends_line(const char* p, const char* end) {
        if (*p == '\n') return 1;
        if (p + 1 < end) return p[1] != '\n';
        cr_pending_ = true;
        return 0;
    }

    void enter_line_comment(std::uint64_t offset, std::uint64_t line) {
        state_ = State::rest_of_line;
        rest_offset_ = offset;
        rest_line_ = line;
    }

    // A whole symbol, in token_ or where it lies in the piece.
    void symbol(std::string_view token) {
        std::string_view text = token;
        while (text.starts_with(lexing::BOM)) text.remove_prefix(lexing::BOM.size());
        if (text.empty()) [[unlikely]]
            return;
        if (token_at_line_start_ && text.size() < token.size() && text.front() == '%') {
            // A "%" escape line behind a byte-order mark: the mark takes no column.
            enter_line_comment(token_offset_, token_line_);
            return;
        }
        const std::uint64_t start = token_offset_;
        token_offset_ += token.size() - text.size();
        handler_.on_symbol(text, start, token_offset_, token_line_);
    }

    void binary(const char* p) {
        // Inside a comment a game starts where a reader would be in the
        // comment too: at its start.
        const Cut cut = state_ == State::comment        ? Cut{comment_offset_, comment_line_}
                        : state_ == State::rest_of_line ? Cut{rest_offset_, rest_line_}
                                                        : Cut{at(p), line_};
        handler_.on_binary(static_cast<unsigned char>(*p), at(p), line_, cut);
    }

    void long_tag_value() {
        if (token_overflow_) return;
        token_overflow_ = true;
        handler_.on_long_tag_value(tag_name_, line_);
    }

    Handler& handler_;
    State state_ = State::space;
    bool pause_ = false;
    bool line_start_ = true;
    bool cr_pending_ = false;  // a CR ended what lex() was given
    std::uint64_t line_;
    std::uint64_t offset_ = 0;  // of base_
    const char* base_ = nullptr;

    // A symbol crossing the end of a piece, or a tag value.
    std::string token_;
    bool token_overflow_ = false;
    bool token_at_line_start_ = false;
    std::uint64_t token_line_ = 0;
    std::uint64_t token_offset_ = 0;
    std::string tag_name_;
    // A quote inside a tag value may close it: token_ holds the value up to
    // value_end_, then the quote and the blanks after it, gap_length_ bytes,
    // until a "]" closes the value there or anything else makes them part of
    // it.
    std::size_t value_end_ = 0;
    std::size_t gap_length_ = 0;
    bool value_has_quote_ = false;

    // The "{" comment being read. Its text is gathered in comment_text_ only
    // when the handler wants it and it crosses the end of a piece; the rest
    // of it lies in the piece from comment_start_ on.
    bool gather_ = false;
    std::size_t comment_length_ = 0;
    std::uint64_t comment_line_ = 0;
    std::uint64_t comment_offset_ = 0;
    const char* comment_start_ = nullptr;
    std::string comment_text_;

    std::uint64_t comment_end_ = UINT64_MAX;  // between games: the offset past the last "}"
    std::uint64_t blank_end_ = UINT64_MAX;    // between games: the offset past the last run of blanks
    std::uint64_t rest_offset_ = 0;           // of the ";" or "%" comment being read
    std::uint64_t rest_line_ = 0;
};

template <class Handler>
const char* Lexer<Handler>::lex(const char* p, const char* const end) {
    using namespace lexing;
    pause_ = false;
    if (cr_pending_ && p < end) {
        cr_pending_ = false;
        line_ += *p != '\n';
    }
    while (p < end && !pause_) {
        switch (state_) {
            case State::space: {
                const unsigned char c = static_cast<unsigned char>(*p);
                switch (CLASS[c]) {
                    case WS:
                    case NL:
                        // A run of blanks at once: they are most of what lies between tokens.
                        do {
                            line_start_ = *p == '\n';
                            line_ += line_start_;
                            ++p;
                        } while (p < end && (CLASS[static_cast<unsigned char>(*p)] == WS ||
                                             CLASS[static_cast<unsigned char>(*p)] == NL));
                        if (handler_.between_games()) blank_end_ = at(p);
                        break;
                    case CR:
                        line_ += ends_line(p, end);
                        line_start_ = true;
                        ++p;
                        if (handler_.between_games()) blank_end_ = at(p);
                        break;
                    case PERCENT:
                        if (line_start_) {
                            enter_line_comment(at(p), line_);
                            ++p;
                            break;
                        }
                        [[fallthrough]];
                    case SYM: {
                        token_at_line_start_ = line_start_;
                        token_overflow_ = false;
                        token_line_ = line_;
                        token_offset_ = at(p);
                        line_start_ = false;
                        // A token that ends in this piece, within the length limit,
                        // is read where it lies; any other is gathered in token_.
                        const char* const stop =
                            static_cast<std::size_t>(end - p) > MAX_SYMBOL ? p + MAX_SYMBOL + 1 : end;
                        const char* q = p + 1;
                        while (q < stop && SYMBOL_BYTE[static_cast<unsigned char>(*q)]) ++q;
                        if (q == stop) {
                            state_ = State::symbol;
                            token_.clear();
                            break;
                        }
                        const std::string_view token(p, static_cast<std::size_t>(q - p));
                        p = q;
                        symbol(token);
                        break;
                    }
                    case LBRACE:
                        state_ = State::comment;
                        comment_length_ = 0;
                        comment_line_ = line_;
                        comment_offset_ = at(p);
                        line_start_ = false;
                        ++p;
                        comment_start_ = p;
                        gather_ = handler_.wants_comment_text();
                        if (gather_) comment_text_.clear();
                        break;
                    case SEMI:
                        enter_line_comment(at(p), line_);
                        ++p;
                        break;
                    case LPAREN:
                    case RPAREN:
                        line_start_ = false;
                        handler_.on_variation(CLASS[c] == LPAREN, at(p), line_);
                        ++p;
                        break;
                    case LBRACKET:
                        line_start_ = false;
                        handler_.on_tag_open(at(p), line_);
                        state_ = State::tag_name;
                        tag_name_.clear();
                        token_.clear();
                        token_overflow_ = false;
                        value_has_quote_ = false;
                        ++p;
                        break;
                    default:
                        line_start_ = false;
                        binary(p);
                        ++p;
                        break;
                }
                break;
            }
            case State::symbol: {
                // A symbol longer than MAX_SYMBOL is noticed at its byte MAX_SYMBOL + 1.
                const std::size_t room = token_overflow_ ? SIZE_MAX : MAX_SYMBOL + 1 - token_.size();
                const char* const stop = static_cast<std::size_t>(end - p) > room ? p + room : end;
                const char* q = p;
                while (q < stop && SYMBOL_BYTE[static_cast<unsigned char>(*q)]) ++q;
                line_start_ = false;
                if (!token_overflow_) {
                    token_.append(p, static_cast<std::size_t>(q - p));
                    if (token_.size() > MAX_SYMBOL) {
                        token_.resize(MAX_SYMBOL);
                        token_overflow_ = true;
                        p = q;
                        const Cut cut = token_.front() == '%' ? symbol_cut(token_offset_)
                                                              : Cut{token_offset_, token_line_};
                        handler_.on_long_symbol(token_, token_offset_, token_line_, cut);
                        break;
                    }
                }
                p = q;
                if (q < stop) {
                    state_ = State::space;
                    if (!token_overflow_) symbol(token_);
                }
                break;
            }
            case State::comment: {
                // The run stops at the first byte past the length limit, so
                // that a comment between games fails right there.
                const char* q = p;
                const char* const stop = comment_length_ <= MAX_TEXT &&
                                                 static_cast<std::size_t>(end - p) > MAX_TEXT - comment_length_
                                             ? p + (MAX_TEXT + 1 - comment_length_)
                                             : end;
                while (q < stop && !COMMENT_STOP[static_cast<unsigned char>(*q)]) ++q;
                comment_length_ += static_cast<std::size_t>(q - p);
                p = q;
                if (comment_length_ > MAX_TEXT && gather_) {
                    // Never passed: nothing of it is held.
                    gather_ = false;
                    comment_text_ = std::string();
                }
                if (comment_length_ > MAX_TEXT) handler_.on_long_comment(comment_offset_, comment_line_, at(p));
                if (p == end || pause_) break;
                if (p == stop && !COMMENT_STOP[static_cast<unsigned char>(*p)]) break;
                const unsigned char c = static_cast<unsigned char>(*p);
                if (c == '}') {
                    std::string_view text;
                    if (gather_) {
                        if (comment_text_.empty()) {
                            text = std::string_view(comment_start_, static_cast<std::size_t>(p - comment_start_));
                        } else {
                            comment_text_.append(comment_start_, p);
                            text = comment_text_;
                        }
                    }
                    ++p;
                    if (handler_.between_games()) comment_end_ = at(p);
                    state_ = State::space;
                    handler_.on_comment(text, gather_, line_);
                } else if (CLASS[c] == NL || CLASS[c] == CR) {
                    line_ += ends_line(p, end);
                    ++p;
                    // A line end counts as a byte of the comment: it may be the one too many.
                    if (++comment_length_ > MAX_TEXT) {
                        gather_ = false;
                        comment_text_ = std::string();
                        handler_.on_long_comment(comment_offset_, comment_line_, at(p));
                    }
                } else {
                    binary(p);
                    ++p;
                }
                break;
            }
            case State::rest_of_line: {
                // Between games the run stops at the first byte past the
                // length limit, as in a "{" comment.
                const bool between = handler_.between_games();
                const char* stop = end;
                if (between) {
                    const std::uint64_t room = rest_offset_ + 1 + MAX_TEXT + 1 - at(p);
                    if (room < static_cast<std::uint64_t>(end - p)) stop = p + room;
                }
                const char* q = p;
                while (q < stop && !LINE_STOP[static_cast<unsigned char>(*q)]) ++q;
                p = q;
                if (between && at(p) - rest_offset_ - 1 > MAX_TEXT) {
                    handler_.on_long_comment(rest_offset_, rest_line_, at(p));
                    break;
                }
                if (p == end) break;
                if (is_line_end(static_cast<unsigned char>(*p))) {
                    line_ += ends_line(p, end);
                    ++p;
                    line_start_ = true;
                    state_ = State::space;
                } else {
                    binary(p);
                    ++p;
                }
                break;
            }
            default:
                p = lex_tag(p, end);
                break;
        }
    }
    return p;
}

// Inside a tag pair: runs of a name or of a value's plain text at once,
// anything else one byte at a time. Kept out of lex() so that its loop over
// movetext keeps its registers.
template <class Handler>
const char* Lexer<Handler>::lex_tag(const char* p, const char* const end) {
    using namespace lexing;
    if (state_ == State::tag_name || state_ == State::tag_value) {
        const bool name = state_ == State::tag_name;
        const char* q = p;
        if (name)
            while (q < end && TAG_NAME_BYTE[static_cast<unsigned char>(*q)]) ++q;
        else
            while (q < end && !TAG_VALUE_STOP[static_cast<unsigned char>(*q)]) ++q;
        if (q != p) {
            std::string& text = name ? tag_name_ : token_;
            const std::size_t limit = name ? MAX_SYMBOL : MAX_TEXT;
            const std::size_t length = static_cast<std::size_t>(q - p);
            const std::size_t room = limit - std::min(limit, text.size());
            text.append(p, std::min(length, room));
            if (length <= room) {
                p = q;
            } else if (name) {
                // The byte past the limit is read as the bad tag's.
                p += room + 1;
                handler_.on_bad_tag("a tag name longer than 255 bytes", line_);
                state_ = State::tag_skip;
            } else if (!token_overflow_) {
                p += room + 1;
                long_tag_value();
            } else {
                p = q;
            }
            return p;
        }
    }
    const unsigned char c = static_cast<unsigned char>(*p);
    if (CLASS[c] == BIN) {
        binary(p);
        ++p;
        if (state_ != State::space) state_ = State::tag_skip;
        return p;
    }
    if (is_line_end(c) && state_ != State::tag_skip) {
        handler_.on_bad_tag(value_has_quote_ ? "text after a tag value" : "a tag pair that does not end on its line",
                            line_);
        state_ = State::space;  // the line end is read there
        return p;
    }
    ++p;
    switch (state_) {
        case State::tag_name:
            if (TAG_NAME_BYTE[c]) {
                if (tag_name_.size() >= MAX_SYMBOL) {
                    handler_.on_bad_tag("a tag name longer than 255 bytes", line_);
                    state_ = State::tag_skip;
                } else {
                    tag_name_ += static_cast<char>(c);
                }
            } else if (CLASS[c] == WS && !tag_name_.empty()) {
                state_ = State::tag_before_value;
            } else if (c == '"' && !tag_name_.empty()) {
                state_ = State::tag_value;
            } else if (CLASS[c] != WS) {
                handler_.on_bad_tag("a tag pair without a name", line_);
                state_ = c == ']' ? State::space : State::tag_skip;
            }
            break;
        case State::tag_before_value:
            if (c == '"') {
                state_ = State::tag_value;
            } else if (CLASS[c] != WS) {
                handler_.on_bad_tag("a tag value that is not quoted", line_);
                state_ = c == ']' ? State::space : State::tag_skip;
            }
            break;
        case State::tag_value:
            if (c == '\\') {
                state_ = State::tag_escape;
            } else if (c == '"') {
                // Perhaps the closing quote: the "]" will tell.
                value_end_ = token_.size();
                gap_length_ = 1;
                if (token_.size() < MAX_TEXT) token_ += '"';
                state_ = State::tag_after_value;
            } else if (token_.size() < MAX_TEXT) {
                token_ += static_cast<char>(c);
            } else {
                long_tag_value();
            }
            break;
        case State::tag_escape:
            // \" and \\ stand for the character; any other escape is kept as written.
            if (c != '"' && c != '\\' && token_.size() < MAX_TEXT) token_ += '\\';
            if (token_.size() < MAX_TEXT) token_ += static_cast<char>(c);
            state_ = State::tag_value;
            break;
        case State::tag_after_value:
            if (c == ']') {
                token_.resize(value_end_);
                state_ = State::space;
                handler_.on_tag(tag_name_, token_, line_);
            } else if (c == '"' || CLASS[c] == WS) {
                // A later quote may close the value instead of the last one.
                if (c == '"') {
                    value_end_ += gap_length_;
                    gap_length_ = 0;
                    value_has_quote_ = true;
                }
                ++gap_length_;
                if (token_.size() < MAX_TEXT) token_ += static_cast<char>(c);
            } else {
                // Text after the quote: the quote was written inside
                // the value without its escape, and belongs to it.
                value_has_quote_ = true;
                if (value_end_ + gap_length_ > MAX_TEXT) long_tag_value();
                --p;  // read again as the value's
                state_ = State::tag_value;
            }
            break;
        case State::tag_skip:
            if (c == ']') state_ = State::space;
            if (is_line_end(c)) {
                line_ += ends_line(p - 1, end);
                line_start_ = true;
                state_ = State::space;
            }
            break;
        default: break;
    }
    return p;
}

template <class Handler>
void Lexer<Handler>::finish() {
    line_ += cr_pending_;  // a CR at the very end
    cr_pending_ = false;
    switch (state_) {
        case State::symbol:
            state_ = State::space;
            if (!token_overflow_) symbol(token_);
            break;
        case State::comment: handler_.on_unterminated_comment(comment_offset_, comment_line_); break;
        case State::space:
        case State::rest_of_line: break;
        default: handler_.on_bad_tag("the text ends inside a tag pair", line_); break;
    }
    state_ = State::space;
}

}  // namespace velmor::pgn
