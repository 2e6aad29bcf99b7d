#include "pgn/parser.hpp"

#include <algorithm>
#include <string>

namespace velmor::pgn {

namespace {

constexpr const char* KIND_NAMES[ERROR_KIND_COUNT] = {
    "illegal move",   "ambiguous move", "unreadable move", "unsupported variant",
    "bad fen",        "bad tag",        "truncated game",  "unterminated comment",
    "token too long", "game too long",  "binary data",
};

// The NAGs of a text made of them only ("$13", "$1$19"), or false.
template <typename Each>
bool read_nags(std::string_view text, Each&& each) {
    if (text.empty()) return false;
    for (std::size_t i = 0; i < text.size();) {
        if (text[i++] != '$' || i == text.size() || text[i] < '0' || text[i] > '9') return false;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    }
    for (std::size_t i = 1; i < text.size(); ++i) {
        unsigned value = 0;
        for (; i < text.size() && text[i] != '$'; ++i) value = std::min(255u, value * 10 + unsigned(text[i] - '0'));
        each(value);
    }
    return true;
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

Error make_error(std::uint64_t index, std::uint64_t line, ErrorKind kind, std::string_view detail,
                 const std::string* move) {
    Error error{index, line, kind, move != nullptr, move ? *move : std::string(), {}};
    error.message = "game " + std::to_string(index) + ", line " + std::to_string(line) + ": " + kind_name(kind) +
                    ": " + std::string(detail);
    return error;
}

Parser::Parser(Visitor& visitor, Options options)
    : visitor_(visitor), options_(options), lexer_(*this, options.first_line), next_index_(options.first_index) {}

void Parser::feed(std::string_view data) {
    const char* p = data.data();
    const char* const end = p + data.size();
    lexer_.begin_piece(p);
    while (p < end && !stopped_) {
        const std::uint64_t here = lexer_.at(p);
        if (here == limit_) {
            // The byte at the limit is the first one too many.
            limit_ = UINT64_MAX;
            visitor_.cut_off(here);
            if (!skipping_) fail(ErrorKind::game_too_long, lexer_.line(), "the game is longer than 4 MiB");
            if (stopped_) break;
        }
        const char* stop_at = end;
        if (limit_ != UINT64_MAX && limit_ - here < static_cast<std::uint64_t>(end - p))
            stop_at = p + (limit_ - here);
        p = lexer_.lex(p, stop_at);
    }
    lexer_.end_piece(p);
}

void Parser::finish() {
    if (stopped_) return;
    lexer_.finish();
    if (stopped_) return;
    if (phase_ != Phase::between) close_game_at_end(lexer_.offset());
}

void Parser::fail(ErrorKind kind, std::uint64_t line, std::string_view detail, const std::string* move) {
    skipping_ = true;
    visitor_.error(make_error(game_index_, line, kind, detail, move));
}

void Parser::start_game(std::uint64_t offset, std::uint64_t line, Cut cut) {
    if (options_.report_starts) visitor_.game_starting(cut);
    phase_ = Phase::tags;
    skipping_ = false;
    depth_ = 0;
    skip_from_ = 0;
    game_index_ = next_index_++;
    last_line_ = line;
    limit_ = offset + MAX_GAME_BYTES;
    // lex() returns so that feed() sets the limit.
    lexer_.pause();
    visitor_.begin_game(game_index_, line);
    comments_ = visitor_.wants_comments();
}

void Parser::enter_moves() {
    phase_ = Phase::moves;
    if (!skipping_ && !visitor_.end_tags()) skipping_ = true;
}

void Parser::end_game(Result result, std::uint64_t end_offset) {
    phase_ = Phase::between;
    game_end_ = end_offset;
    limit_ = UINT64_MAX;
    visitor_.outcome(result);
}

void Parser::close_game_at_end(std::uint64_t offset) {
    // The line of the game's last token: the fault is in this game, not where
    // the next one starts.
    if (!skipping_)
        fail(ErrorKind::truncated_game, last_line_,
             depth_ > 0 ? "the game ends inside a variation, without a result (1-0, 0-1, 1/2-1/2 or *)"
                        : "the game ends without a result (1-0, 0-1, 1/2-1/2 or *)");
    end_game(Result::unknown, offset);
}

void Parser::on_long_comment(std::uint64_t offset, std::uint64_t line, std::uint64_t here) {
    if (phase_ == Phase::between) {
        // Nothing between games is held: a comment too long to be one is a
        // game of its own, and a tag pair after it starts the next game.
        // What follows in it changes nothing: the game ends here for the
        // splitter, as one cut off at the size limit does.
        start_game(offset, line, Cut{offset, line});
        phase_ = Phase::moves;
        fail(ErrorKind::token_too_long, line, "a comment longer than " + std::to_string(MAX_TEXT) + " bytes");
        visitor_.cut_off(here - 1);
    } else if (!skipping_) {
        fail(ErrorKind::token_too_long, line, "a comment longer than " + std::to_string(MAX_TEXT) + " bytes");
    }
}

void Parser::on_unterminated_comment(std::uint64_t offset, std::uint64_t line) {
    // A comment open between games is a game of its own, from its "{".
    if (phase_ == Phase::between) start_game(offset, line, Cut{offset, line});
    if (!skipping_) fail(ErrorKind::unterminated_comment, line, "a '{' comment that is never closed");
}

void Parser::on_comment(std::string_view text, bool has_text, std::uint64_t line) {
    last_line_ = line;
    // Asked again: the game may have failed inside the comment.
    if (has_text && delivering()) visitor_.comment(text);
}

void Parser::on_tag_open(std::uint64_t offset, std::uint64_t line) {
    if (phase_ == Phase::moves) close_game_at_end(offset);
    if (phase_ == Phase::between) start_game(offset, line, Cut{offset, line});
}

void Parser::on_tag(std::string_view name, std::string_view value, std::uint64_t line) {
    last_line_ = line;
    if (!skipping_) visitor_.tag(name, value);
}

void Parser::on_bad_tag(const char* why, std::uint64_t line) {
    if (!skipping_) fail(ErrorKind::bad_tag, line, why);
}

void Parser::on_long_tag_value(std::string_view name, std::uint64_t line) {
    if (!skipping_)
        fail(ErrorKind::token_too_long, line,
             "the value of tag " + quoted(name) + " is longer than " + std::to_string(MAX_TEXT) + " bytes");
}

void Parser::on_long_symbol(std::string_view first_bytes, std::uint64_t offset, std::uint64_t line, Cut cut) {
    if (phase_ == Phase::between) start_game(offset, line, cut);
    if (!skipping_)
        fail(ErrorKind::token_too_long, line,
             "a token longer than " + std::to_string(MAX_SYMBOL) + " bytes, starting " + quoted(first_bytes));
}

void Parser::on_binary(unsigned char byte, std::uint64_t offset, std::uint64_t line, Cut cut) {
    if (phase_ == Phase::between) start_game(offset, line, cut);
    if (!skipping_) {
        static constexpr char HEX[] = "0123456789abcdef";
        fail(ErrorKind::binary_data, line,
             std::string("a control byte 0x") + HEX[byte >> 4] + HEX[byte & 15] + ": this is not PGN text");
    }
}

void Parser::on_variation(bool open, std::uint64_t offset, std::uint64_t line) {
    if (phase_ == Phase::between) start_game(offset, line, Cut{offset, line});
    if (phase_ == Phase::tags) enter_moves();
    last_line_ = line;
    if (open) {
        const bool told = delivering();
        ++depth_;
        if (told && visitor_.begin_variation()) skip_from_ = depth_;
    } else if (depth_ > 0) {
        if (skip_from_ == depth_) skip_from_ = 0;
        else if (delivering()) visitor_.end_variation();
        --depth_;
    } else if (!skipping_) {
        static const std::string close = ")";
        fail(ErrorKind::unreadable_move, line, "a ')' without its '('", &close);
    }
}

void Parser::on_symbol(std::string_view text, std::uint64_t start, std::uint64_t offset, std::uint64_t line) {
    Result result = Result::unknown;
    bool is_result = true;
    if (text == "1-0") result = Result::white_wins;
    else if (text == "0-1") result = Result::black_wins;
    else if (text == "1/2-1/2") result = Result::draw;
    else if (text != "*") is_result = false;

    if (phase_ == Phase::between)
        start_game(offset, line, text.front() == '%' ? lexer_.symbol_cut(start) : Cut{start, line});
    if (phase_ == Phase::tags) enter_moves();
    last_line_ = line;
    if (is_result) {
        if (depth_ == 0) end_game(result, offset + text.size());
        return;
    }
    if (!delivering()) return;
    movetext_symbol(text, line);
}

void Parser::movetext_symbol(std::string_view text, std::uint64_t line) {
    // A move number, alone or glued to the move.
    std::size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
    std::size_t dots = digits;
    while (dots < text.size() && text[dots] == '.') ++dots;
    if (dots > digits) text.remove_prefix(dots);
    if (text.empty()) return;
    const auto nag = [this](unsigned value) { visitor_.nag(value); };
    if (text.front() == '$') {
        if (read_nags(text, nag)) return;
    } else {
        // A mark on its own, or "e.p." written apart from its move.
        const std::string_view rest = text.starts_with("e.p.") ? text.substr(4) : text;
        if (std::all_of(rest.begin(), rest.end(), [](char c) { return c == '!' || c == '?' || c == '+' || c == '#'; }))
            return;
        // NAGs glued to the move ("Bd3$13", "d8=B$19"): the move, then its NAGs.
        if (const std::size_t at = text.find('$'); at != std::string_view::npos) {
            const std::string_view nags = text.substr(at);
            if (read_nags(nags, [](unsigned) {})) {
                if (visitor_.san(text.substr(0, at), line)) read_nags(nags, nag);
                else skipping_ = true;
                return;
            }
        }
    }
    if (!visitor_.san(text, line)) skipping_ = true;
}

}  // namespace velmor::pgn
