#include "pgn/player.hpp"

#include <charconv>

#include "encode/mod.hpp"
#include "san/mod.hpp"

namespace velmor::pgn {

namespace {

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

GamePlayer::GamePlayer(const MoveGenerator& generator, Sink& sink, bool play_moves)
    : generator_(generator), sink_(sink), play_moves_(play_moves) {
    game_.start = board_from_fen(DEFAULT_FEN);
    game_.board = game_.start;
}

void GamePlayer::begin_game(std::uint64_t index, std::uint64_t line) {
    status_ = Status::ok;
    begun_ = false;
    game_.index = index;
    game_.line = line;
    game_.tags.clear();
    dropped_castling_ = false;
    held_text_.clear();
    held_ends_.clear();
}

void GamePlayer::tag(std::string_view name, std::string_view value) { game_.tags.emplace_back(name, value); }

void GamePlayer::fail(ErrorKind kind, std::uint64_t line, const std::string& detail, const std::string* move) {
    error(make_error(game_.index, line, kind, detail, move));
}

void GamePlayer::error(Error&& error) {
    status_ = Status::failed;
    // Counted as the game is told, so that the count matches the games read.
    castling_dropped_ += dropped_castling_;
    sink_.error(game_, std::move(error), begun_);
    begun_ = false;
}

bool GamePlayer::end_tags() {
    if (!play_moves_) {
        status_ = Status::filtered;
        return false;
    }
    if (const std::string* variant = game_.tag("Variant"); variant && !standard_variant(*variant)) {
        fail(ErrorKind::unsupported_variant, game_.line, "variant " + quoted(*variant) + " is not standard chess");
        return false;
    }
    if (const std::string* fen = game_.tag("FEN")) {
        bool dropped = false;
        if (const char* why = read_start_fen(generator_, *fen, game_.start, game_.halfmove_clock,
                                             game_.fullmove_number, dropped)) {
            fail(ErrorKind::bad_fen, game_.line, "FEN tag " + quoted(*fen) + ": " + why);
            return false;
        }
        dropped_castling_ = dropped;
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
        return false;
    }
    begun_ = true;
    std::size_t from = 0;
    for (const std::size_t to : held_ends_) {
        sink_.comment(game_, std::string_view(held_text_).substr(from, to - from));
        from = to;
    }
    return true;
}

void GamePlayer::comment(std::string_view text) {
    if (begun_) {
        sink_.comment(game_, text);
    } else {
        // Between the tags: held until begin() accepts the game.
        held_text_.append(text);
        held_ends_.push_back(held_text_.size());
    }
}

void GamePlayer::outcome(Result result) {
    if (status_ != Status::failed) castling_dropped_ += dropped_castling_;
    if (status_ == Status::ok) {
        if (begun_) sink_.end(game_, result);
        else sink_.filtered(game_);  // a game without movetext that was never begun
    } else if (status_ == Status::filtered) {
        sink_.filtered(game_);
    }
    begun_ = false;
}

void GamePlayer::fail_move(ErrorKind kind, std::string_view text, const char* reason, std::uint64_t line) {
    const Board& board = game_.board;
    const std::string move(text);
    char fen_text[MAX_FEN];
    const std::size_t fen_length = write_fen(board, fen_text);
    fail(kind, line,
         quoted(move) + " (" + reason + ") at move " + std::to_string(game_.fullmove_number) +
             (board.white_to_move() ? " for White" : " for Black") + " in " + std::string(fen_text, fen_length),
         &move);
}

bool GamePlayer::null_move(std::string_view text, std::uint64_t line) {
    Board& board = game_.board;
    const bool white = board.white_to_move();
    const unsigned king = lsb(board.planes[(white ? 0 : BLACK_PLANES) + KING]);
    if (generator_.square_in_check(board, king, white ? 1 : 0)) {
        // Passing would leave the king to be taken: no position to go on from.
        fail_move(ErrorKind::illegal_move, text, "a null move while in check", line);
        return false;
    }
    sink_.move(game_, NULL_MOVE);
    // The turn passes; the en-passant right lapses with it (the reader's
    // board keeps no hashes, as play_move keeps none).
    board.state = (board.state & ~EN_PASSANT_BITS) ^ WHITE_TO_MOVE;
    ++game_.halfmove_clock;
    if (!white) ++game_.fullmove_number;
    ++game_.ply;
    return true;
}

bool GamePlayer::san(std::string_view text, std::uint64_t line) {
    if (text == "--" || text == "Z0" || text == "0000") [[unlikely]]
        return null_move(text, line);
    Board& board = game_.board;
    const san::Resolved resolved = san::read_move(generator_, board, text, scratch_);
    if (resolved.outcome != san::Outcome::ok) [[unlikely]] {
        fail_move(resolved.outcome == san::Outcome::unreadable  ? ErrorKind::unreadable_move
                  : resolved.outcome == san::Outcome::ambiguous ? ErrorKind::ambiguous_move
                                                                : ErrorKind::illegal_move,
                  text, resolved.reason, line);
        return false;
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
    return true;
}

}  // namespace velmor::pgn
