#include "san/mod.hpp"

namespace velmor::san {

namespace {

[[nodiscard]] bool is_file(char c) { return c >= 'a' && c <= 'h'; }
[[nodiscard]] bool is_rank(char c) { return c >= '1' && c <= '8'; }

[[nodiscard]] int piece_of_letter(char c) {
    switch (c) {
        case 'N': return KNIGHT;
        case 'B': return BISHOP;
        case 'R': return ROOK;
        case 'Q': return QUEEN;
        case 'K': return KING;
        default: return -1;
    }
}

}  // namespace

std::string_view strip_marks(std::string_view text) {
    const auto strip_signs = [&] {
        while (!text.empty()) {
            const char c = text.back();
            if (c != '+' && c != '#' && c != '!' && c != '?') break;
            text.remove_suffix(1);
        }
    };
    strip_signs();
    if (text.size() > 4 && text.ends_with("e.p.")) {
        text.remove_suffix(4);
        strip_signs();
    }
    return text;
}

bool parse(std::string_view text, Pattern& out) {
    out = Pattern{};
    if (text == "O-O" || text == "0-0") {
        out.kind = Pattern::castle_king_side;
        out.piece = KING;
        return true;
    }
    if (text == "O-O-O" || text == "0-0-0") {
        out.kind = Pattern::castle_queen_side;
        out.piece = KING;
        return true;
    }
    if (text.size() < 2) return false;

    if (const int piece = piece_of_letter(text.front()); piece >= 0) {
        out.piece = static_cast<std::uint8_t>(piece);
        text.remove_prefix(1);
    } else if (!is_file(text.front())) {
        return false;
    }

    // A promotion: an uppercase piece letter after the target, "=" optional.
    if (out.piece == PAWN && !text.empty()) {
        const int promotion = piece_of_letter(text.back());
        if (promotion >= 0) {
            if (promotion == KING) return false;
            out.promotion = static_cast<std::uint8_t>(promotion);
            text.remove_suffix(1);
            if (!text.empty() && text.back() == '=') text.remove_suffix(1);
        }
    }

    if (text.size() < 2 || !is_file(text[text.size() - 2]) || !is_rank(text.back())) return false;
    out.to = static_cast<std::uint8_t>(8 * (text.back() - '1') + (text[text.size() - 2] - 'a'));
    text.remove_suffix(2);

    if (!text.empty() && text.back() == 'x') {
        out.capture = true;
        text.remove_suffix(1);
    }
    if (!text.empty() && is_rank(text.back())) {
        out.from_rank = static_cast<std::int8_t>(text.back() - '1');
        text.remove_suffix(1);
    }
    if (!text.empty() && is_file(text.back())) {
        out.from_file = static_cast<std::int8_t>(text.back() - 'a');
        text.remove_suffix(1);
    }
    if (!text.empty()) return false;

    if (out.piece == PAWN) {
        // A pawn names its file when it captures; otherwise it moves on its own.
        if (out.from_file < 0) {
            if (out.capture || out.from_rank >= 0) return false;
            out.from_file = static_cast<std::int8_t>(file_of(out.to));
        }
        const unsigned last = rank_of(out.to);
        if (out.promotion && last != 0 && last != 7) return false;
    }
    return true;
}

Resolved resolve(const MoveGenerator& generator, Board& board, const Pattern& pattern, MoveList& scratch) {
    generator.legal_moves(board, scratch);
    const unsigned own = board.white_to_move() ? 0 : BLACK_PLANES;
    const unsigned other = BLACK_PLANES - own;

    ChessMove found{0};
    unsigned matches = 0;
    bool missing_promotion = false;
    bool capture_of_nothing = false;
    for (const ChessMove move : scratch) {
        const bool castling = move.special() == ChessMove::CASTLING;
        if (pattern.kind != Pattern::normal) {
            if (!castling || (file_of(move.to()) == 6) != (pattern.kind == Pattern::castle_king_side)) continue;
        } else {
            if (castling || move.to() != pattern.to) continue;
            if (plane_at(board.planes, move.from(), own, own + 6) != own + pattern.piece) continue;
            if (pattern.from_file >= 0 && file_of(move.from()) != static_cast<unsigned>(pattern.from_file)) continue;
            if (pattern.from_rank >= 0 && rank_of(move.from()) != static_cast<unsigned>(pattern.from_rank)) continue;
            const unsigned promotion = move.special() >= ChessMove::PROMOTE_KNIGHT ? move.special() - 3 : 0;
            if (promotion != pattern.promotion) {
                if (pattern.promotion == 0) missing_promotion = true;
                continue;
            }
            const bool takes = move.special() == ChessMove::EN_PASSANT ||
                               plane_at(board.planes, move.to(), other, other + 6) != 12;
            if (pattern.capture && !takes) {
                capture_of_nothing = true;
                continue;
            }
        }
        found = move;
        ++matches;
    }
    if (matches == 1) return {Outcome::ok, found, nullptr};
    if (matches > 1) return {Outcome::ambiguous, found, "more than one legal move fits"};
    if (missing_promotion) return {Outcome::illegal, found, "a pawn reaching the last rank needs a promotion piece"};
    if (capture_of_nothing) return {Outcome::illegal, found, "marked as a capture but takes nothing"};
    return {Outcome::illegal, found, "no legal move fits"};
}

Resolved read_move(const MoveGenerator& generator, Board& board, std::string_view text, MoveList& scratch) {
    Pattern pattern;
    if (!parse(strip_marks(text), pattern)) return {Outcome::unreadable, ChessMove{0}, "not a move in SAN"};
    return resolve(generator, board, pattern, scratch);
}

}  // namespace velmor::san
