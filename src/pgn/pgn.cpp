#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>

#include "pgn/mod.hpp"
#include "encode/mod.hpp"
#include "san/mod.hpp"

namespace velmor::pgn {

namespace {

// Byte classes of the lexer.
// CR ends a line as LF does, alone (old Mac files) or before LF; it has a
// class of its own so that runs of blanks stay as fast as they were.
enum : std::uint8_t { SYM, WS, NL, CR, BIN, LBRACE, LPAREN, RPAREN, LBRACKET, SEMI, PERCENT };

constexpr std::array<std::uint8_t, 256> CLASS = [] {
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

// Bytes that end a run inside a comment or a skipped line.
constexpr std::array<bool, 256> COMMENT_STOP = [] {
    std::array<bool, 256> stop{};
    for (unsigned c = 0; c < 256; ++c) stop[c] = CLASS[c] == BIN || CLASS[c] == NL || CLASS[c] == CR;
    stop['}'] = true;
    return stop;
}();

// Bytes that end a run of a tag value's plain text.
constexpr std::array<bool, 256> TAG_VALUE_STOP = [] {
    std::array<bool, 256> stop{};
    for (unsigned c = 0; c < 256; ++c) stop[c] = CLASS[c] == BIN || CLASS[c] == NL || CLASS[c] == CR;
    stop['"'] = true;
    stop['\\'] = true;
    return stop;
}();

constexpr std::array<bool, 256> LINE_STOP = [] {
    std::array<bool, 256> stop{};
    for (unsigned c = 0; c < 256; ++c) stop[c] = CLASS[c] == BIN || CLASS[c] == NL || CLASS[c] == CR;
    return stop;
}();

constexpr std::array<bool, 256> LINE_END = [] {
    std::array<bool, 256> end{};
    end['\n'] = end['\r'] = true;
    return end;
}();

constexpr std::string_view BOM = "\xEF\xBB\xBF";

constexpr const char* KIND_NAMES[ERROR_KIND_COUNT] = {
    "illegal move",   "ambiguous move",       "unreadable move", "unsupported variant",
    "bad fen",        "bad tag",              "truncated game",  "unterminated comment",
    "token too long", "game too long",        "binary data",
};

[[nodiscard]] bool is_symbol_byte(char c) {
    const std::uint8_t kind = CLASS[static_cast<unsigned char>(c)];
    return kind == SYM || kind == PERCENT;
}

[[nodiscard]] bool is_tag_name_char(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '+' ||
           c == '#' || c == '=' || c == ':' || c == '-';
}

[[nodiscard]] bool equals_lower(std::string_view text, std::string_view lower) {
    if (text.size() != lower.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lower[i]) return false;
    }
    return true;
}

// Variants that are played by the ordinary rules.
[[nodiscard]] bool standard_variant(std::string_view name) {
    for (const std::string_view standard : {"standard", "chess", "normal", "classical", "from position", ""})
        if (equals_lower(name, standard)) return true;
    return false;
}

// Quotes a text for a message, keeping it short and printable.
std::string quoted(std::string_view text) {
    std::string out = "\"";
    const std::size_t shown = std::min<std::size_t>(text.size(), 40);
    for (std::size_t i = 0; i < shown; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            static constexpr char HEX[] = "0123456789abcdef";
            out += "\\x";
            out += HEX[c >> 4];
            out += HEX[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    if (shown < text.size()) out += "...";
    out += '"';
    return out;
}

// Whether the text is one or more NAGs: "$13", "$1$19".
[[nodiscard]] bool glued_nags(std::string_view text) {
    if (text.empty()) return false;
    for (std::size_t i = 0; i < text.size();) {
        if (text[i++] != '$' || i == text.size() || text[i] < '0' || text[i] > '9') return false;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    }
    return true;
}

[[nodiscard]] bool parse_counter(std::string_view text, std::uint32_t& out) {
    if (text.empty() || text.size() > 9) return false;
    std::uint32_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return false;
    out = value;
    return true;
}

void reset_board(Board& board, const Board& position) {
    board.planes = position.planes;
    board.state = position.state;
    for (auto& stack : board.plane_history) stack.clear();
    board.move_history.clear();
    board.zobrist.hash64 = full_hash(*board.zobrist.keys64, board.planes, board.state);
    board.zobrist.hash16 = full_hash(*board.zobrist.keys16, board.planes, board.state);
}

}  // namespace

const char* kind_name(ErrorKind kind) { return KIND_NAMES[static_cast<std::size_t>(kind)]; }

const char* result_text(Result result) {
    switch (result) {
        case Result::white_wins: return "1-0";
        case Result::black_wins: return "0-1";
        case Result::draw: return "1/2-1/2";
        default: return "*";
    }
}

const std::string* Game::tag(std::string_view name) const {
    for (const Tag& tag : tags)
        if (tag.first == name) return &tag.second;
    return nullptr;
}

const char* read_start_fen(const MoveGenerator& generator, std::string_view text, Board& board,
                           std::uint32_t& halfmove_clock, std::uint32_t& fullmove_number, bool& rights_dropped) {
    std::string_view fields[7];
    std::size_t count = 0;
    for (std::size_t pos = 0; pos < text.size();) {
        while (pos < text.size() && text[pos] == ' ') ++pos;
        const std::size_t start = pos;
        while (pos < text.size() && text[pos] != ' ') ++pos;
        if (pos > start) {
            if (count == 7) return "more than six fields";
            fields[count++] = text.substr(start, pos - start);
        }
    }
    if (count < 4) return "fewer than four fields";

    // The placement: eight ranks of eight squares.
    unsigned ranks = 1, squares = 0;
    bool last_digit = false;
    for (const char c : fields[0]) {
        if (c == '/') {
            if (squares != 8) return "a rank without eight squares";
            ++ranks;
            squares = 0;
            last_digit = false;
        } else if (c >= '1' && c <= '8') {
            if (last_digit) return "two digits in a row";
            squares += static_cast<unsigned>(c - '0');
            last_digit = true;
        } else if (std::string_view("PNBRQKpnbrqk").find(c) != std::string_view::npos) {
            ++squares;
            last_digit = false;
        } else {
            return "a character that is no piece, digit or '/'";
        }
        if (squares > 8) return "a rank without eight squares";
    }
    if (ranks != 8 || squares != 8) return "not eight ranks of eight squares";
    if (fields[1] != "w" && fields[1] != "b") return "side to move not 'w' or 'b'";
    if (fields[2] != "-") {
        if (fields[2].size() > 4) return "bad castling field";
        for (std::size_t i = 0; i < fields[2].size(); ++i) {
            const std::size_t at = std::string_view("KQkq").find(fields[2][i]);
            if (at == std::string_view::npos) return "bad castling field";
            for (std::size_t j = 0; j < i; ++j)
                if (fields[2][j] == fields[2][i]) return "bad castling field";
        }
    }
    const std::string_view ep = fields[3];
    if (ep != "-" && (ep.size() != 2 || ep[0] < 'a' || ep[0] > 'h' || (ep[1] != '3' && ep[1] != '6')))
        return "bad en-passant field";

    FenFields position;
    try {
        position = read_fen(text);
    } catch (const Failure&) {
        return "not readable";
    }
    const Planes& p = position.planes;
    const bool white = position.state & WHITE_TO_MOVE;
    if (std::popcount(p[KING]) != 1 || std::popcount(p[BLACK_PLANES + KING]) != 1) return "not one king per side";
    constexpr Bitboard BACK_RANKS = 0xFF000000000000FFULL;
    if ((p[PAWN] | p[BLACK_PLANES + PAWN]) & BACK_RANKS) return "a pawn on the first or last rank";

    // A right whose king or rook is not at home can never be used: it is
    // dropped, as the position's meaning is plain.
    rights_dropped = false;
    for (const bool white_side : {true, false})
        for (const CastlingRule& rule : castling_rules(white_side)) {
            const unsigned base = white_side ? 0 : BLACK_PLANES;
            const std::uint64_t bit = std::uint64_t{1} << rule.right;
            if ((position.state & bit) &&
                !((p[base + KING] & square_bb(rule.king_from)) && (p[base + ROOK] & square_bb(rule.rook_from)))) {
                position.state &= ~bit;
                rights_dropped = true;
            }
        }

    if (ep != "-") {
        if ((ep[1] == '6') != white) return "en-passant square on the wrong rank";
        const unsigned file = static_cast<unsigned>(ep[0] - 'a');
        const unsigned target = white ? 40 + file : 16 + file;
        const unsigned pawn = white ? target - 8 : target + 8;
        const unsigned origin = white ? target + 8 : target - 8;
        Bitboard occupied = 0;
        for (const Bitboard b : p) occupied |= b;
        if (!(p[(white ? BLACK_PLANES : 0) + PAWN] & square_bb(pawn)) || (occupied & square_bb(target)) ||
            (occupied & square_bb(origin)))
            return "en-passant square not behind a pawn that just made a double step";
    }

    halfmove_clock = 0;
    fullmove_number = 1;
    if (count > 4 && !parse_counter(fields[4], halfmove_clock)) return "bad half-move clock";
    if (count > 5 && !parse_counter(fields[5], fullmove_number)) return "bad move number";
    if (count > 6) return "more than six fields";
    if (fullmove_number == 0) fullmove_number = 1;

    Board candidate(position);
    // The side that just moved may not stand in check.
    const unsigned other_king = lsb(p[white ? BLACK_PLANES + KING : KING]);
    if (generator.square_in_check(candidate, other_king, white ? 0 : 1)) return "the side not to move is in check";
    board = std::move(candidate);
    return nullptr;
}

Reader::Reader(const MoveGenerator& generator, Sink& sink, Options options)
    : generator_(generator),
      sink_(sink),
      options_(options),
      line_(options.first_line),
      next_index_(options.first_index) {
    token_.reserve(MAX_SYMBOL);
    game_.start = board_from_fen(DEFAULT_FEN);
    game_.board = game_.start;
}

void Reader::feed(std::string_view data) {
    const char* p = data.data();
    const char* const end = p + data.size();
    base_ = p;
    while (p < end && !stopped_) {
        const std::uint64_t here = at(p);
        if (here == limit_) {
            // The byte at the limit is the first one too many.
            limit_ = UINT64_MAX;
            sink_.cut_off(here);
            if (status_ == Status::ok) fail(ErrorKind::game_too_long, line_, "the game is longer than 4 MiB");
            if (stopped_) break;
        }
        const char* stop_at = end;
        if (limit_ != UINT64_MAX && limit_ - here < static_cast<std::uint64_t>(end - p))
            stop_at = p + (limit_ - here);
        p = lex(p, stop_at);
    }
    if (gather_ && state_ == State::comment && !stopped_) {
        // The comment goes on in the next piece: its text so far is kept.
        if (comment_buffered_) {
            comment_text_.append(base_, static_cast<std::size_t>(p - base_));
        } else {
            comment_text_.assign(comment_start_, static_cast<std::size_t>(p - comment_start_));
            comment_buffered_ = true;
        }
    }
    offset_ += static_cast<std::uint64_t>(p - base_);
    base_ = nullptr;
}

void Reader::on_comment(const char* p) {
    gather_ = false;
    if (status_ != Status::ok) return;
    std::string_view text;
    if (comment_buffered_) {
        comment_text_.append(base_, static_cast<std::size_t>(p - base_));
        text = comment_text_;
    } else {
        text = std::string_view(comment_start_, static_cast<std::size_t>(p - comment_start_));
    }
    if (phase_ == Phase::tags) early_comments_.emplace_back(text);
    else if (begun_) sink_.comment(game_, text);
}

const char* Reader::lex(const char* p, const char* const end) {
    restart_ = false;
    if (cr_pending_ && p < end) {
        cr_pending_ = false;
        line_ += *p != '\n';
    }
    while (p < end && !restart_ && !stopped_) {
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
                        if (phase_ == Phase::between) blank_end_ = at(p);
                        break;
                    case CR:
                        line_ += ends_line(p, end);
                        line_start_ = true;
                        ++p;
                        if (phase_ == Phase::between) blank_end_ = at(p);
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
                        while (q < stop && is_symbol_byte(*q)) ++q;
                        if (q == stop) {
                            state_ = State::symbol;
                            token_.clear();
                            break;
                        }
                        const std::string_view token(p, static_cast<std::size_t>(q - p));
                        p = q;
                        on_symbol(token);
                        break;
                    }
                    case LBRACE:
                        state_ = State::comment;
                        comment_length_ = 0;
                        comment_line_ = line_;
                        comment_offset_ = at(p);
                        line_start_ = false;
                        gather_ = depth_ == 0 && status_ == Status::ok &&
                                  (phase_ == Phase::tags || (phase_ == Phase::moves && begun_)) &&
                                  sink_.wants_comments();
                        ++p;
                        comment_start_ = p;
                        comment_buffered_ = false;
                        break;
                    case SEMI:
                        enter_line_comment(at(p), line_);
                        ++p;
                        break;
                    case LPAREN:
                    case RPAREN:
                        line_start_ = false;
                        on_variation(CLASS[c] == LPAREN, p);
                        ++p;
                        break;
                    case LBRACKET:
                        line_start_ = false;
                        on_tag_open(p);
                        ++p;
                        break;
                    default:
                        line_start_ = false;
                        on_binary(p);
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
                while (q < stop && is_symbol_byte(*q)) ++q;
                line_start_ = false;
                if (!token_overflow_) {
                    token_.append(p, static_cast<std::size_t>(q - p));
                    if (token_.size() > MAX_SYMBOL) {
                        token_.resize(MAX_SYMBOL);
                        token_overflow_ = true;
                        p = q;
                        if (phase_ == Phase::between) {
                            const Cut cut = token_.front() == '%' ? symbol_cut(token_offset_)
                                                                  : Cut{token_offset_, token_line_};
                            start_game(token_offset_, token_line_, cut);
                        }
                        if (status_ == Status::ok)
                            fail(ErrorKind::token_too_long, token_line_,
                                 "a token longer than " + std::to_string(MAX_SYMBOL) + " bytes, starting " +
                                     quoted(token_));
                        break;
                    }
                }
                p = q;
                if (q < stop) {
                    state_ = State::space;
                    if (!token_overflow_) on_symbol(token_);
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
                if (comment_length_ > MAX_TEXT) on_long_comment(comment_offset_, comment_line_, at(p));
                if (p == end || restart_) break;
                if (p == stop && !COMMENT_STOP[static_cast<unsigned char>(*p)]) break;
                const unsigned char c = static_cast<unsigned char>(*p);
                if (c == '}') {
                    if (gather_) on_comment(p);
                    ++p;
                    last_line_ = line_;
                    if (phase_ == Phase::between) comment_end_ = at(p);
                    state_ = State::space;
                } else if (CLASS[c] == NL || CLASS[c] == CR) {
                    line_ += ends_line(p, end);
                    ++p;
                    // A line end counts as a byte of the comment: it may be the one too many.
                    if (++comment_length_ > MAX_TEXT) on_long_comment(comment_offset_, comment_line_, at(p));
                } else {
                    on_binary(p);
                    ++p;
                }
                break;
            }
            case State::rest_of_line: {
                // Between games the run stops at the first byte past the
                // length limit, as in a "{" comment.
                const char* stop = end;
                if (phase_ == Phase::between) {
                    const std::uint64_t room = rest_offset_ + 1 + MAX_TEXT + 1 - at(p);
                    if (room < static_cast<std::uint64_t>(end - p)) stop = p + room;
                }
                const char* q = p;
                while (q < stop && !LINE_STOP[static_cast<unsigned char>(*q)]) ++q;
                p = q;
                if (phase_ == Phase::between && at(p) - rest_offset_ - 1 > MAX_TEXT) {
                    on_long_comment(rest_offset_, rest_line_, at(p));
                    break;
                }
                if (p == end) break;
                if (LINE_END[static_cast<unsigned char>(*p)]) {
                    line_ += ends_line(p, end);
                    ++p;
                    line_start_ = true;
                    state_ = State::space;
                } else {
                    on_binary(p);
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
const char* Reader::lex_tag(const char* p, const char* const end) {
    if (state_ == State::tag_name || state_ == State::tag_value) {
        const bool name = state_ == State::tag_name;
        const char* q = p;
        if (name)
            while (q < end && is_tag_name_char(static_cast<unsigned char>(*q))) ++q;
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
                on_bad_tag("a tag name longer than 255 bytes");
                state_ = State::tag_skip;
            } else if (!token_overflow_) {
                p += room + 1;
                token_overflow_ = true;
                if (status_ == Status::ok)
                    fail(ErrorKind::token_too_long, line_,
                         "the value of tag " + quoted(tag_name_) + " is longer than " +
                             std::to_string(MAX_TEXT) + " bytes");
            } else {
                p = q;
            }
            return p;
        }
    }
    const unsigned char c = static_cast<unsigned char>(*p);
    if (CLASS[c] == BIN) {
        on_binary(p);
        ++p;
        if (state_ != State::space) state_ = State::tag_skip;
        return p;
    }
    if (LINE_END[c] && state_ != State::tag_skip) {
        on_bad_tag(value_has_quote_ ? "text after a tag value" : "a tag pair that does not end on its line");
        state_ = State::space;  // the line end is read there
        return p;
    }
    ++p;
    switch (state_) {
        case State::tag_name:
            if (is_tag_name_char(c)) {
                if (tag_name_.size() >= MAX_SYMBOL) {
                    on_bad_tag("a tag name longer than 255 bytes");
                    state_ = State::tag_skip;
                } else {
                    tag_name_ += static_cast<char>(c);
                }
            } else if (CLASS[c] == WS && !tag_name_.empty()) {
                state_ = State::tag_before_value;
            } else if (c == '"' && !tag_name_.empty()) {
                state_ = State::tag_value;
            } else if (CLASS[c] != WS) {
                on_bad_tag("a tag pair without a name");
                state_ = c == ']' ? State::space : State::tag_skip;
            }
            break;
        case State::tag_before_value:
            if (c == '"') {
                state_ = State::tag_value;
            } else if (CLASS[c] != WS) {
                on_bad_tag("a tag value that is not quoted");
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
            } else if (!token_overflow_) {
                token_overflow_ = true;
                if (status_ == Status::ok)
                    fail(ErrorKind::token_too_long, line_,
                         "the value of tag " + quoted(tag_name_) + " is longer than " +
                             std::to_string(MAX_TEXT) + " bytes");
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
                last_line_ = line_;
                on_tag();
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
                if (value_end_ + gap_length_ > MAX_TEXT && !token_overflow_) {
                    token_overflow_ = true;
                    if (status_ == Status::ok)
                        fail(ErrorKind::token_too_long, line_,
                             "the value of tag " + quoted(tag_name_) + " is longer than " +
                                 std::to_string(MAX_TEXT) + " bytes");
                }
                --p;  // read again as the value's
                state_ = State::tag_value;
            }
            break;
        case State::tag_skip:
            if (c == ']') state_ = State::space;
            if (LINE_END[c]) {
                line_ += ends_line(p - 1, end);
                line_start_ = true;
                state_ = State::space;
            }
            break;
        default: break;
    }
    return p;
}

void Reader::start_game(std::uint64_t offset, std::uint64_t line, Cut cut) {
    if (options_.report_starts) sink_.game_starting(cut.offset, cut.line);
    phase_ = Phase::tags;
    status_ = Status::ok;
    begun_ = false;
    depth_ = 0;
    game_.index = next_index_++;
    game_.line = line;
    game_.tags.clear();
    early_comments_.clear();
    game_offset_ = offset;
    game_dropped_castling_ = false;
    last_line_ = line;
    limit_ = offset + MAX_GAME_BYTES;
    restart_ = true;
}

std::uint64_t Reader::earliest_start() const {
    if (phase_ == Phase::between) {
        if (state_ == State::comment) return comment_offset_;
        if (state_ == State::rest_of_line) return rest_offset_;
        // A symbol read or still to come.
        return symbol_cut(state_ == State::symbol ? token_offset_ : offset_).offset;
    }
    return offset_;
}

Reader::Cut Reader::symbol_cut(std::uint64_t start) const {
    // A reader started at the symbol would take a "%" there for an escape
    // line: it starts on the blank before, or at the comment it follows.
    if (blank_end_ == start && start > 0) return {start - 1, token_line_};
    if (comment_end_ == start) return {comment_offset_, comment_line_};
    return {start, token_line_};
}

void Reader::enter_line_comment(std::uint64_t offset, std::uint64_t line) {
    state_ = State::rest_of_line;
    rest_offset_ = offset;
    rest_line_ = line;
}

void Reader::fail(ErrorKind kind, std::uint64_t line, std::string detail, const std::string* move) {
    Error error{game_.index, line, kind, move != nullptr, move ? *move : std::string(), {}};
    error.message = "game " + std::to_string(game_.index) + ", line " + std::to_string(line) + ": " +
                    kind_name(kind) + ": " + detail;
    status_ = Status::failed;
    // Counted as the game is told, so that the count matches the games read.
    castling_dropped_ += game_dropped_castling_;
    sink_.error(game_, std::move(error), begun_);
    begun_ = false;
}

void Reader::enter_moves() {
    phase_ = Phase::moves;
    if (status_ != Status::ok) return;
    if (!options_.play_moves) {
        status_ = Status::filtered;
        return;
    }
    if (const std::string* variant = game_.tag("Variant"); variant && !standard_variant(*variant)) {
        fail(ErrorKind::unsupported_variant, game_.line, "variant " + quoted(*variant) + " is not standard chess");
        return;
    }
    if (const std::string* fen = game_.tag("FEN")) {
        bool dropped = false;
        if (const char* why = read_start_fen(generator_, *fen, game_.start, game_.halfmove_clock,
                                             game_.fullmove_number, dropped)) {
            fail(ErrorKind::bad_fen, game_.line, "FEN tag " + quoted(*fen) + ": " + why);
            return;
        }
        game_dropped_castling_ = dropped;
    } else {
        // The standard start: the default board's planes and state.
        static const FenFields standard = read_fen(DEFAULT_FEN);
        game_.start.planes = standard.planes;
        game_.start.state = standard.state;
        game_.halfmove_clock = 0;
        game_.fullmove_number = 1;
    }
    reset_board(game_.board, game_.start);
    game_.ply = 0;
    if (!sink_.begin(game_)) {
        status_ = Status::filtered;
        return;
    }
    begun_ = true;
    for (const std::string& text : early_comments_) sink_.comment(game_, text);
    early_comments_.clear();
}

void Reader::end_game(Result result, std::uint64_t end_offset) {
    if (status_ != Status::failed) castling_dropped_ += game_dropped_castling_;
    if (status_ == Status::ok) {
        if (begun_) sink_.end(game_, result);
        else sink_.filtered(game_);  // a game without movetext that was never begun
    } else if (status_ == Status::filtered) {
        sink_.filtered(game_);
    }
    phase_ = Phase::between;
    begun_ = false;
    game_end_ = end_offset;
    limit_ = UINT64_MAX;
}

void Reader::close_game_at_end(std::uint64_t offset) {
    // The line of the game's last token: the fault is in this game, not where
    // the next one starts.
    if (status_ == Status::ok)
        fail(ErrorKind::truncated_game, last_line_,
             depth_ > 0 ? "the game ends inside a variation, without a result (1-0, 0-1, 1/2-1/2 or *)"
                        : "the game ends without a result (1-0, 0-1, 1/2-1/2 or *)");
    end_game(Result::unknown, offset);
}

void Reader::on_long_comment(std::uint64_t offset, std::uint64_t line, std::uint64_t here) {
    if (phase_ == Phase::between) {
        // Nothing between games is held: a comment too long to be one is a
        // game of its own, and a tag pair after it starts the next game.
        // What follows in it changes nothing: the game ends here for the
        // splitter, as one cut off at the size limit does.
        start_game(offset, line, Cut{offset, line});
        phase_ = Phase::moves;
        fail(ErrorKind::token_too_long, line, "a comment longer than " + std::to_string(MAX_TEXT) + " bytes");
        sink_.cut_off(here - 1);
    } else if (status_ == Status::ok) {
        fail(ErrorKind::token_too_long, line, "a comment longer than " + std::to_string(MAX_TEXT) + " bytes");
    }
}

void Reader::on_tag_open(const char* p) {
    if (phase_ == Phase::moves) close_game_at_end(at(p));
    if (phase_ == Phase::between) start_game(at(p), line_, Cut{at(p), line_});
    state_ = State::tag_name;
    tag_name_.clear();
    token_.clear();
    token_overflow_ = false;
    value_has_quote_ = false;
}

void Reader::on_tag() {
    if (status_ != Status::ok) return;
    game_.tags.emplace_back(tag_name_, token_);
}

void Reader::on_bad_tag(const char* why) {
    if (status_ == Status::ok) fail(ErrorKind::bad_tag, line_, why);
}

void Reader::on_binary(const char* p) {
    if (phase_ == Phase::between) {
        // Inside a comment the game starts where a reader would be in the
        // comment too: at its start.
        const Cut cut = state_ == State::comment        ? Cut{comment_offset_, comment_line_}
                        : state_ == State::rest_of_line ? Cut{rest_offset_, rest_line_}
                                                        : Cut{at(p), line_};
        start_game(at(p), line_, cut);
    }
    if (status_ == Status::ok) {
        const unsigned char c = static_cast<unsigned char>(*p);
        static constexpr char HEX[] = "0123456789abcdef";
        fail(ErrorKind::binary_data, line_,
             std::string("a control byte 0x") + HEX[c >> 4] + HEX[c & 15] + ": this is not PGN text");
    }
}

void Reader::on_variation(bool open, const char* p) {
    if (phase_ == Phase::between) start_game(at(p), line_, Cut{at(p), line_});
    if (phase_ == Phase::tags) enter_moves();
    last_line_ = line_;
    if (open) {
        ++depth_;
    } else if (depth_ > 0) {
        --depth_;
    } else if (status_ == Status::ok) {
        static const std::string close = ")";
        fail(ErrorKind::unreadable_move, line_, "a ')' without its '('", &close);
    }
}

void Reader::on_symbol(std::string_view token) {
    std::string_view text = token;
    while (text.starts_with(BOM)) text.remove_prefix(BOM.size());
    if (text.empty()) return;
    if (token_at_line_start_ && text.size() < token.size() && text.front() == '%') {
        // A "%" escape line behind a byte-order mark: the mark takes no column.
        enter_line_comment(token_offset_, token_line_);
        return;
    }
    const std::uint64_t start = token_offset_;
    token_offset_ += token.size() - text.size();

    Result result = Result::unknown;
    bool is_result = true;
    if (text == "1-0") result = Result::white_wins;
    else if (text == "0-1") result = Result::black_wins;
    else if (text == "1/2-1/2") result = Result::draw;
    else if (text != "*") is_result = false;

    if (phase_ == Phase::between)
        start_game(token_offset_, token_line_, text.front() == '%' ? symbol_cut(start) : Cut{start, token_line_});
    if (phase_ == Phase::tags) enter_moves();
    last_line_ = token_line_;
    if (is_result) {
        if (depth_ == 0) end_game(result, token_offset_ + text.size());
        return;
    }
    if (depth_ > 0 || status_ != Status::ok) return;
    on_mainline_symbol(text);
}

void Reader::on_mainline_symbol(std::string_view text) {
    // A move number, alone or glued to the move.
    std::size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
    std::size_t dots = digits;
    while (dots < text.size() && text[dots] == '.') ++dots;
    if (dots > digits) text.remove_prefix(dots);
    if (text.empty()) return;
    if (text.front() == '$') {
        if (glued_nags(text)) return;
    } else {
        // A mark on its own, or "e.p." written apart from its move.
        std::string_view rest = text.starts_with("e.p.") ? text.substr(4) : text;
        if (std::all_of(rest.begin(), rest.end(), [](char c) { return c == '!' || c == '?' || c == '+' || c == '#'; }))
            return;
        // NAGs glued to the move ("Bd3$13", "d8=B$19").
        if (const std::size_t nag = text.find('$'); nag != std::string_view::npos && glued_nags(text.substr(nag)))
            text = text.substr(0, nag);
    }
    if (text == "--" || text == "Z0" || text == "0000") {
        on_null_move(text);
        return;
    }
    on_move(text);
}

void Reader::fail_move(ErrorKind kind, std::string_view text, const char* reason) {
    const Board& board = game_.board;
    const std::string move(text);
    char fen_text[MAX_FEN];
    const std::size_t fen_length = write_fen(board, fen_text);
    fail(kind, token_line_,
         quoted(move) + " (" + reason + ") at move " + std::to_string(game_.fullmove_number) +
             (board.white_to_move() ? " for White" : " for Black") + " in " + std::string(fen_text, fen_length),
         &move);
}

void Reader::on_null_move(std::string_view text) {
    Board& board = game_.board;
    const bool white = board.white_to_move();
    const unsigned king = lsb(board.planes[(white ? 0 : BLACK_PLANES) + KING]);
    if (generator_.square_in_check(board, king, white ? 1 : 0)) {
        // Passing would leave the king to be taken: no position to go on from.
        fail_move(ErrorKind::illegal_move, text, "a null move while in check");
        return;
    }
    sink_.move(game_, NULL_MOVE);
    // The turn passes; the en-passant right lapses with it (the reader's
    // board keeps no hashes, as play_move keeps none).
    board.state = (board.state & ~EN_PASSANT_BITS) ^ WHITE_TO_MOVE;
    ++game_.halfmove_clock;
    if (!white) ++game_.fullmove_number;
    ++game_.ply;
}

void Reader::on_move(std::string_view text) {
    Board& board = game_.board;
    const san::Resolved resolved = san::read_move(generator_, board, text, scratch_);
    if (resolved.outcome != san::Outcome::ok) {
        fail_move(resolved.outcome == san::Outcome::unreadable  ? ErrorKind::unreadable_move
                  : resolved.outcome == san::Outcome::ambiguous ? ErrorKind::ambiguous_move
                                                                : ErrorKind::illegal_move,
                  text, resolved.reason);
        return;
    }
    const ChessMove move = resolved.move;
    sink_.move(game_, move);
    const bool resets = encode::resets_clock(board, move);
    const bool black = !board.white_to_move();
    // Forward only: the reader never takes a move back nor reads the hashes.
    play_move(board.planes, board.state, move);
    game_.halfmove_clock = resets ? 0 : game_.halfmove_clock + 1;
    if (black) ++game_.fullmove_number;
    ++game_.ply;
}

void Reader::finish() {
    if (stopped_) return;
    line_ += cr_pending_;  // a CR at the very end
    cr_pending_ = false;
    switch (state_) {
        case State::symbol:
            state_ = State::space;
            if (!token_overflow_) on_symbol(token_);
            break;
        case State::comment:
            // A comment open between games is a game of its own, from its "{".
            if (phase_ == Phase::between) start_game(comment_offset_, comment_line_, Cut{comment_offset_, comment_line_});
            if (status_ == Status::ok)
                fail(ErrorKind::unterminated_comment, comment_line_, "a '{' comment that is never closed");
            break;
        case State::space:
        case State::rest_of_line: break;
        default:
            on_bad_tag("the text ends inside a tag pair");
            break;
    }
    state_ = State::space;
    if (stopped_) return;
    if (phase_ != Phase::between) close_game_at_end(offset_);
}

Splitter::Splitter(const MoveGenerator& generator, std::size_t chunk_bytes)
    : chunk_bytes_(std::max<std::size_t>(chunk_bytes, 1)),
      reader_(generator, *this, Reader::Options{0, 1, false, true}) {}

void Splitter::feed(std::string_view data, std::vector<Chunk>& out) {
    out_ = &out;
    piece_ = data;
    reader_.feed(data);
    // Text between games past MAX_GAP is left out: the chunk ends with its
    // last game.
    const std::uint64_t end = pending_offset_ + pending_.size() + data.size();
    if (collecting_ && reader_.between_games() && end - last_game_end() > MAX_GAP) {
        if (reader_.next_index() > chunk_index_) emit(reader_.game_end());
        collecting_ = false;
    }
    out_ = nullptr;
    piece_ = {};
    // Keep only what a chunk may still need: the chunk being collected, or
    // the bytes from the earliest point a game may yet be found to start.
    const std::uint64_t keep = collecting_ ? chunk_offset_ : reader_.earliest_start();
    const std::uint64_t piece_offset = pending_offset_ + pending_.size();
    if (keep >= piece_offset) {
        pending_.assign(data.substr(static_cast<std::size_t>(keep - piece_offset)));
    } else {
        pending_.erase(0, static_cast<std::size_t>(keep - pending_offset_));
        pending_.append(data);
    }
    pending_offset_ = keep;
}

std::uint64_t Splitter::last_game_end() const {
    return reader_.next_index() > chunk_index_ ? reader_.game_end() : chunk_offset_;
}

void Splitter::emit(std::uint64_t end_offset) {
    // The chunk's bytes: the part kept from earlier pieces, then the part in
    // the piece being read.
    std::string data;
    data.reserve(static_cast<std::size_t>(end_offset - chunk_offset_));
    const std::uint64_t piece_offset = pending_offset_ + pending_.size();
    if (chunk_offset_ < piece_offset) {
        const std::size_t from = static_cast<std::size_t>(chunk_offset_ - pending_offset_);
        data.append(pending_, from, static_cast<std::size_t>(std::min(end_offset, piece_offset) - chunk_offset_));
    }
    if (end_offset > piece_offset) {
        const std::uint64_t from = std::max(chunk_offset_, piece_offset) - piece_offset;
        data.append(piece_.substr(static_cast<std::size_t>(from), static_cast<std::size_t>(end_offset - piece_offset - from)));
    }
    out_->push_back(Chunk{std::move(data), chunk_index_, chunk_line_, reader_.next_index() - chunk_index_});
}

void Splitter::game_starting(std::uint64_t offset, std::uint64_t line) {
    if (collecting_) {
        if (offset - last_game_end() > MAX_GAP) {
            // After a long stretch between games the chunk ends with its last
            // game, and the stretch is left out.
            if (reader_.next_index() > chunk_index_) emit(reader_.game_end());
        } else if (offset - chunk_offset_ < chunk_bytes_) {
            return;
        } else {
            emit(offset);
        }
    } else {
        // A game started after one that was cut off, or after text left out.
        if (offset < pending_offset_) panic("game start outside the splitter's window");
        collecting_ = true;
    }
    chunk_offset_ = offset;
    chunk_line_ = line;
    chunk_index_ = reader_.next_index();
}

void Splitter::cut_off(std::uint64_t offset) {
    if (!collecting_) return;
    emit(offset + 1);
    collecting_ = false;
}

void Splitter::finish(std::vector<Chunk>& out) {
    out_ = &out;
    reader_.finish();
    if (collecting_ && reader_.next_index() > chunk_index_) emit(pending_offset_ + pending_.size());
    out_ = nullptr;
    pending_.clear();
}

}  // namespace velmor::pgn
