#include "san/mod.hpp"

#include <array>

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

// The legality tests below use no slider tables: the lines between squares
// (BETWEEN) and the empty-board rays, a few 32 KiB, stay in the cache where
// the tables' megabytes miss.

// What a rook or a bishop on each square sees on an empty board.
constexpr std::array<Bitboard, 64> ROOK_RAYS = masks_for([](unsigned square) { return slide(square, 0, ROOK_STEPS); });
constexpr std::array<Bitboard, 64> BISHOP_RAYS =
    masks_for([](unsigned square) { return slide(square, 0, BISHOP_STEPS); });

// The sliders of `candidates` that see `square` past the occupied squares.
[[nodiscard]] Bitboard unblocked(Bitboard candidates, unsigned square, Bitboard occupancy) {
    Bitboard seen = 0;
    for (Bitboard rest = candidates; rest;) {
        const unsigned from = pop_lsb(rest);
        if (!(BETWEEN[square][from] & occupancy)) seen |= square_bb(from);
    }
    return seen;
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

namespace {

// The moves of `moves` that the pattern names, as one outcome. Every legal
// move of the named piece onto the target (narrowed by file and rank or not)
// must be among them, for the reasons of a refusal.
Resolved match(const Board& board, const Pattern& pattern, const MoveList& moves) {
    const unsigned own = board.white_to_move() ? 0 : BLACK_PLANES;
    const unsigned other = BLACK_PLANES - own;

    ChessMove found{0};
    unsigned matches = 0;
    bool missing_promotion = false;
    bool capture_of_nothing = false;
    for (const ChessMove move : moves) {
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

// The position as the side to move sees it, and the legality tests of the
// listing's pass, for the few candidates of one text.
class Candidates {
public:
    Candidates(const Board& board, unsigned king)
        : planes_(board.planes), state_(board.state), white_(board.white_to_move()),
          own_first_(first_plane_of(white_)), other_first_(first_plane_of(!white_)), king_(king) {
        for (unsigned type = 0; type < PIECE_TYPES; ++type) {
            own_ |= planes_[own_first_ + type];
            others_ |= planes_[other_first_ + type];
        }
        occupancy_ = own_ | others_;
    }

    // The legal moves of the pattern's piece onto its target, or its castling.
    void list(const Pattern& pattern, MoveList& out) {
        out.clear();
        out_ = &out;
        if (pattern.kind != Pattern::normal) {
            castling(castling_rules(white_)[pattern.kind == Pattern::castle_king_side ? 0 : 1]);
            return;
        }
        const unsigned to = pattern.to;
        Bitboard from_mask = ~Bitboard{0};
        if (pattern.from_file >= 0) from_mask &= FILE_A_BB << pattern.from_file;
        if (pattern.from_rank >= 0) from_mask &= rank_bb(static_cast<unsigned>(pattern.from_rank));
        if (pattern.piece == PAWN) {
            pawn_moves(to, from_mask);
            return;
        }
        if (own_ >> to & 1) return;
        const Bitboard pieces = planes_[own_first_ + pattern.piece] & from_mask;
        Bitboard from = 0;
        switch (pattern.piece) {
            case KNIGHT: from = KNIGHT_TARGETS[to] & pieces; break;
            case BISHOP: from = unblocked(BISHOP_RAYS[to] & pieces, to, occupancy_); break;
            case ROOK: from = unblocked(ROOK_RAYS[to] & pieces, to, occupancy_); break;
            case QUEEN: from = unblocked((ROOK_RAYS[to] | BISHOP_RAYS[to]) & pieces, to, occupancy_); break;
            default: from = KING_TARGETS[to] & pieces; break;
        }
        while (from) {
            const unsigned square = pop_lsb(from);
            const ChessMove move = ChessMove::pack(square, to);
            if (square == king_ ? king_step_safe(to) : keeps_king_safe(square, to, square_bb(to) & others_))
                out.push_back(move);
        }
    }

private:
    // Whether a piece of the other side, but none on `removed`, attacks the
    // square, sliders blocked by `occupancy`: MoveGenerator::attackers, from
    // the lines alone.
    [[nodiscard]] bool attacked(unsigned square, Bitboard occupancy, Bitboard removed = 0) const {
        const unsigned enemy = other_first_;
        const auto& pawns = enemy == WHITE_PLANES ? WHITE_PAWN_ATTACKERS : BLACK_PAWN_ATTACKERS;
        if (((KNIGHT_TARGETS[square] & planes_[enemy + KNIGHT]) | (pawns[square] & planes_[enemy + PAWN]) |
             (KING_TARGETS[square] & planes_[enemy + KING])) &
            ~removed)
            return true;
        const Bitboard queens = planes_[enemy + QUEEN];
        const Bitboard snipers = ((ROOK_RAYS[square] & (planes_[enemy + ROOK] | queens)) |
                                  (BISHOP_RAYS[square] & (planes_[enemy + BISHOP] | queens))) &
                                 ~removed;
        return snipers && unblocked(snipers, square, occupancy);
    }

    // The king leaves its square, which then blocks nothing; a piece on the
    // target attacks every square but its own.
    [[nodiscard]] bool king_step_safe(unsigned to) const { return !attacked(to, occupancy_ ^ square_bb(king_)); }

    // Whether the king stands unattacked once a piece went from `from` to
    // `to`, taking what stands on `removed`.
    [[nodiscard]] bool keeps_king_safe(unsigned from, unsigned to, Bitboard removed) const {
        const Bitboard occupancy = ((occupancy_ ^ square_bb(from)) & ~removed) | square_bb(to);
        return !attacked(king_, occupancy, removed);
    }

    void push_legal(ChessMove move, Bitboard removed) {
        if (keeps_king_safe(move.from(), move.to(), removed)) out_->push_back(move);
    }

    // As the listing writes them: a pawn reaching the last rank only with a
    // promotion, a double step from the second rank over an empty square, a
    // capture onto a piece of the other side, and en passant wherever the
    // state word offers the file to a pawn on the fifth rank.
    void pawn_moves(unsigned to, Bitboard from_mask) {
        const Bitboard pawns = planes_[own_first_ + PAWN] & from_mask;
        if (!pawns) return;
        const Bitboard to_bb = square_bb(to);
        const bool last_rank = rank_of(to) == (white_ ? 7u : 0u);
        const auto add = [&](unsigned from, unsigned special, Bitboard removed) {
            if (last_rank) {
                if (!keeps_king_safe(from, to, removed)) return;
                for (unsigned code = ChessMove::PROMOTE_KNIGHT; code <= ChessMove::PROMOTE_QUEEN; ++code)
                    out_->push_back(ChessMove::pack(from, to, code));
                return;
            }
            push_legal(ChessMove::pack(from, to, special), removed);
        };
        const int forward = white_ ? 8 : -8;
        if (!(occupancy_ & to_bb)) {
            const int one = static_cast<int>(to) - forward;
            if (one >= 0 && one < 64) {
                if (pawns >> one & 1) {
                    add(static_cast<unsigned>(one), ChessMove::ORDINARY, 0);
                } else if (!(occupancy_ >> one & 1) && rank_of(to) == (white_ ? 3u : 4u)) {
                    const unsigned two = static_cast<unsigned>(one - forward);
                    if (pawns >> two & 1) push_legal(ChessMove::pack(two, to, ChessMove::DOUBLE_STEP), 0);
                }
            }
        }
        const Bitboard capturers = (white_ ? WHITE_PAWN_ATTACKERS : BLACK_PAWN_ATTACKERS)[to] & pawns;
        if (!capturers) return;
        if (others_ & to_bb)
            for (Bitboard from = capturers; from;) add(pop_lsb(from), ChessMove::ORDINARY, to_bb);
        const unsigned files = (state_ >> en_passant_set(white_)) & 0xFF;
        if (files >> file_of(to) & 1 && rank_of(to) == (white_ ? 5u : 2u))
            for (Bitboard from = capturers; from;) {
                const unsigned square = pop_lsb(from);
                // As push_move makes it: a piece of the other side on the
                // target is taken as in any capture, else the pawn behind it.
                const unsigned behind = white_ ? to - 8 : to + 8;
                const Bitboard removed =
                    (others_ & to_bb) ? to_bb : square_bb(behind) & planes_[other_first_ + PAWN];
                push_legal(ChessMove::pack(square, to, ChessMove::EN_PASSANT), removed);
            }
    }

    // The listing's castling: the king at home and not in check, the right,
    // the squares between empty and the two the king crosses safe; and
    // without the rook on its corner, the target safe with the king gone.
    void castling(const CastlingRule& rule) {
        if (king_ != rule.king_from || !(state_ >> rule.right & 1) || (occupancy_ & rule.must_be_empty)) return;
        if (attacked(king_, occupancy_) || attacked(rule.must_be_safe[0], occupancy_) ||
            attacked(rule.must_be_safe[1], occupancy_))
            return;
        if (!(planes_[own_first_ + ROOK] & square_bb(rule.rook_from)) &&
            attacked(rule.king_to, (occupancy_ ^ square_bb(king_)) | square_bb(rule.king_to)))
            return;
        out_->push_back(rule.move());
    }

    const Planes& planes_;
    const std::uint64_t state_;
    const bool white_;
    const unsigned own_first_;
    const unsigned other_first_;
    const unsigned king_;
    Bitboard own_ = 0;
    Bitboard others_ = 0;
    Bitboard occupancy_ = 0;
    MoveList* out_ = nullptr;
};

// What the listing takes for a real position: no square held twice and one
// king of the side to move.
[[nodiscard]] bool real_position(const Planes& planes, Bitboard kings) {
    Bitboard seen = 0;
    bool disjoint = true;
    for (const Bitboard plane : planes) {
        disjoint &= !(plane & seen);
        seen |= plane;
    }
    return disjoint && kings && !(kings & (kings - 1));
}

}  // namespace

Resolved resolve(const MoveGenerator& generator, Board& board, const Pattern& pattern, MoveList& scratch) {
    const Bitboard kings = board.planes[first_plane_of(board.white_to_move()) + KING];
    if (!real_position(board.planes, kings)) [[unlikely]]
        return resolve_by_listing(generator, board, pattern, scratch);
    Candidates(board, lsb(kings)).list(pattern, scratch);
    return match(board, pattern, scratch);
}

Resolved resolve_by_listing(const MoveGenerator& generator, Board& board, const Pattern& pattern, MoveList& scratch) {
    generator.legal_moves(board, scratch);
    return match(board, pattern, scratch);
}

Resolved read_move(const MoveGenerator& generator, Board& board, std::string_view text, MoveList& scratch) {
    Pattern pattern;
    if (!parse(strip_marks(text), pattern)) return {Outcome::unreadable, ChessMove{0}, "not a move in SAN"};
    return resolve(generator, board, pattern, scratch);
}

}  // namespace velmor::san
