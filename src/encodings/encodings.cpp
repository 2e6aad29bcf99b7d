#include "encodings/mod.hpp"

#include <cstring>
#include <string>
#include <vector>

#include "encode/mod.hpp"

namespace velmor::encodings {

namespace {

// Eight bytes of 0/1, lowest file first, to the rank's byte of a bitboard.
Bitboard rank_bits(const std::uint8_t* bytes) {
    std::uint64_t word;
    std::memcpy(&word, bytes, 8);
    return (word * 0x0102040810204080ULL) >> 56;
}

[[noreturn]] void bad_row(std::size_t row, const char* what) {
    throw InvalidInput("row " + std::to_string(row) + ": " + what);
}

Position position_of(const Columns& c, std::size_t row) {
    Position p{};
    const std::uint8_t* planes = c.planes + row * encode::PLANE_BYTES;
    for (unsigned plane = 0; plane < PLANE_COUNT; ++plane)
        for (unsigned rank = 0; rank < 8; ++rank)
            p.planes[plane] |= rank_bits(planes + 64 * plane + 8 * rank) << (8 * rank);
    const unsigned turn = c.turn[row];
    if (turn > 1) bad_row(row, "turn is neither 0 nor 1");
    p.state = turn == 0 ? WHITE_TO_MOVE : 0;
    for (unsigned right = 0; right < 4; ++right) {
        const std::uint8_t bit = c.castling[4 * row + right];
        if (bit > 1) bad_row(row, "a castling right is neither 0 nor 1");
        p.state |= std::uint64_t{bit} << (WHITE_KING_SIDE + right);
    }
    const int file = c.en_passant[row];
    if (file > 7 || file < -1) bad_row(row, "en_passant is no file");
    if (file >= 0) p.state |= std::uint64_t{1} << (en_passant_set(turn == 0) + static_cast<unsigned>(file));
    return p;
}

Bitboard mirror_bb(Bitboard b) { return __builtin_bswap64(b); }

// The position as the view shows it: reflected (mirrored top to bottom,
// colours swapped) when flip is set.
Planes viewed(const Planes& planes, bool flip) {
    if (!flip) return planes;
    Planes out;
    for (unsigned type = 0; type < PIECE_TYPES; ++type) {
        out[type] = mirror_bb(planes[BLACK_PLANES + type]);
        out[BLACK_PLANES + type] = mirror_bb(planes[type]);
    }
    return out;
}

// Whether row `back` rows before `row` is its game's position that many plies earlier.
bool earlier_in_game(const Columns& c, std::size_t row, std::size_t back) {
    if (back > row) return false;
    const std::size_t earlier = row - back;
    return c.game[earlier] == c.game[row] &&
           static_cast<std::int64_t>(c.ply[earlier]) == static_cast<std::int64_t>(c.ply[row]) - static_cast<std::int64_t>(back);
}

}  // namespace

void write_step(const Position& position, bool flip, std::uint8_t* out) {
    encode::write_planes(viewed(position.planes, flip), out);
}

void write_legal(const MoveGenerator& generator, const Position& position, bool flip, const Options& options,
                 Board& board, MoveList& moves, std::uint8_t* mask) {
    std::memset(mask, 0, mask_bytes(options));
    board.planes = position.planes;
    board.state = position.state;
    generator.legal_moves(board, moves);
    for (std::size_t i = 0; i < moves.size(); ++i) {
        const ChessMove move = moves[i];
        const std::int32_t index = policy::index(*options.policy, viewed_square(move.from(), flip),
                                                 viewed_square(move.to(), flip), encode::promotion_code(move));
        if (index < 0) continue;  // a move no space holds: none of a legal position's
        if (options.packed_mask)
            mask[index >> 3] |= static_cast<std::uint8_t>(1u << (index & 7));
        else
            mask[index] = 1;
    }
}

void encode_rows(const MoveGenerator& generator, const Columns& c, const Options& options, const Outputs& out) {
    const bool history = options.history >= 0;
    const unsigned steps = history ? static_cast<unsigned>(options.history) + 1 : 1;
    const std::size_t row_planes = planes_per_row(options);
    const std::size_t row_mask = mask_bytes(options);

    std::vector<Position> positions(c.rows);
    for (std::size_t row = 0; row < c.rows; ++row) positions[row] = position_of(c, row);

    // A position repeats one earlier in its game; only the plies since the
    // last capture or pawn move can hold it.
    std::vector<std::uint8_t> repeated;
    if (history) {
        repeated.assign(c.rows, 0);
        for (std::size_t row = 0; row < c.rows; ++row) {
            const std::size_t reach = c.halfmove_clock[row] > 0 ? static_cast<std::size_t>(c.halfmove_clock[row]) : 0;
            for (std::size_t back = 1; back <= reach && earlier_in_game(c, row, back); back += 1)
                if (positions[row - back] == positions[row]) {
                    repeated[row] = 1;
                    break;
                }
        }
    }

    Board board(FenFields{positions.empty() ? Planes{} : positions[0].planes, WHITE_TO_MOVE});
    MoveList moves;
    for (std::size_t row = 0; row < c.rows; ++row) {
        const Position& position = positions[row];
        const bool flip = options.view == View::mover && !position.white();

        if (out.planes) {
            std::uint8_t* dst = out.planes + row * row_planes * 64;
            for (unsigned step = 0; step < steps; ++step, dst += (history ? STEP_PLANES : PLANE_COUNT) * 64) {
                if (step > 0 && !earlier_in_game(c, row, step)) {
                    std::memset(dst, 0, STEP_PLANES * 64);
                    continue;
                }
                write_step(positions[row - step], flip, dst);
                if (history) std::memset(dst + PLANE_COUNT * 64, repeated[row - step], 64);
            }
        }
        if (out.turn) out.turn[row] = flip ? 0 : c.turn[row];
        if (out.castling) {
            const std::uint8_t* rights = c.castling + 4 * row;
            const unsigned first = flip ? 2 : 0;
            for (unsigned i = 0; i < 4; ++i) out.castling[4 * row + i] = rights[(i + first) % 4];
        }
        const bool has_move = c.move_from[row] >= 0 && c.move_to[row] >= 0;
        if (has_move && (c.move_from[row] > 63 || c.move_to[row] > 63)) bad_row(row, "a move square is off the board");
        if (c.move_promotion[row] > 4) bad_row(row, "move_promotion is no promotion code");
        const unsigned from = has_move ? viewed_square(static_cast<unsigned>(c.move_from[row]), flip) : 0;
        const unsigned to = has_move ? viewed_square(static_cast<unsigned>(c.move_to[row]), flip) : 0;
        if (out.move_from) out.move_from[row] = has_move ? static_cast<std::int8_t>(from) : c.move_from[row];
        if (out.move_to) out.move_to[row] = has_move ? static_cast<std::int8_t>(to) : c.move_to[row];
        if (out.policy)
            out.policy[row] = has_move ? policy::index(*options.policy, from, to, c.move_promotion[row]) : -1;

        if (out.legal) write_legal(generator, position, flip, options, board, moves, out.legal + row * row_mask);
    }
}

}  // namespace velmor::encodings
