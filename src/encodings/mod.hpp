// The encodings a network trains on, computed from positions at load time:
// the absolute view or the side to move's (the colour-reflected position
// when Black is to move, as reflect() gives it), history planes with a
// repetition plane per step, the played move's index in a policy space, and
// the legal moves of the position as a mask in that space.
//
// Rows are positions in game order, as the encoder writes them: a row's
// earlier positions in its game are the rows before it with the same game
// and the plies counting down. A position that has no such row (before the
// game's start, or left out) is given as zeros.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "board/mod.hpp"
#include "chess_move/mod.hpp"
#include "encode/mod.hpp"
#include "move_generator/mod.hpp"
#include "policy/mod.hpp"

namespace velmor::encodings {

enum class View : std::uint8_t { absolute, mover };

inline constexpr unsigned MAX_HISTORY = 8;
// Planes per history step: the twelve piece planes and the repetition plane.
inline constexpr unsigned STEP_PLANES = 13;

struct Options {
    View view = View::absolute;
    int history = -1;                     // -1: the twelve piece planes only; 0..8: steps before the current one
    std::optional<policy::Space> policy;  // the played move's index
    bool legal_mask = false;              // the legal moves, in the policy space
    bool packed_mask = false;             // the mask as bits, lowest index in the lowest bit
    bool packed_planes = false;           // each plane as bits: its bitboard's 8 bytes (see plane_bytes)
};

// Planes per row of the output's planes array.
[[nodiscard]] constexpr unsigned planes_per_row(const Options& options) {
    return options.history < 0 ? PLANE_COUNT : STEP_PLANES * static_cast<unsigned>(options.history + 1);
}

// Bytes of one plane: 64 of 0/1, square by square, or packed, the
// bitboard's 8 bytes little-endian: byte r is rank r, bit f file f.
[[nodiscard]] constexpr std::size_t plane_bytes(const Options& options) { return options.packed_planes ? 8 : 64; }

// Bytes per row of the planes.
[[nodiscard]] constexpr std::size_t row_plane_bytes(const Options& options) {
    return planes_per_row(options) * plane_bytes(options);
}

// The byte of a repetition plane's squares when the position repeats: a
// square's 1, or a packed plane's eight files.
[[nodiscard]] constexpr std::uint8_t repetition_byte(const Options& options) {
    return options.packed_planes ? 0xFF : 1;
}

// Bytes per row of the legal mask.
[[nodiscard]] constexpr std::size_t mask_bytes(const Options& options) {
    if (!options.legal_mask || !options.policy) return 0;
    const std::size_t size = policy::size(*options.policy);
    return options.packed_mask ? size / 8 : size;
}

// The rows as the encoder's arrays give them (C order, one entry per row).
struct Columns {
    std::size_t rows = 0;
    const std::uint8_t* planes = nullptr;  // 768 bytes of 0/1 per row
    const std::uint8_t* turn = nullptr;
    const std::uint8_t* castling = nullptr;  // 4 per row
    const std::int8_t* en_passant = nullptr;
    const std::int32_t* halfmove_clock = nullptr;
    const std::int8_t* move_from = nullptr;  // negative: no move (a final position, a null move)
    const std::int8_t* move_to = nullptr;
    const std::uint8_t* move_promotion = nullptr;
    const std::int64_t* game = nullptr;
    const std::int32_t* ply = nullptr;
};

// Where the results go; a null array is not written. turn, castling,
// move_from and move_to are the inputs in the chosen view.
struct Outputs {
    std::uint8_t* planes = nullptr;  // row_plane_bytes per row
    std::uint8_t* turn = nullptr;
    std::uint8_t* castling = nullptr;
    std::int8_t* move_from = nullptr;
    std::int8_t* move_to = nullptr;
    std::int32_t* policy = nullptr;
    std::uint8_t* legal = nullptr;  // mask_bytes per row
};

// A position as bitboards and a state word (side to move, castling, the
// side to move's en-passant file), the form the generator reads: what a
// history step and a repetition compare.
struct Position {
    Planes planes;
    std::uint64_t state;

    [[nodiscard]] bool white() const { return state & WHITE_TO_MOVE; }
    bool operator==(const Position&) const = default;
};

// The square as the view shows it: mirrored top to bottom when flip is set.
[[nodiscard]] constexpr unsigned viewed_square(unsigned square, bool flip) { return flip ? square ^ 56 : square; }

// The indices of moves, in a view, in a space; -1 where the space has none.
// A move that is no promotion is one lookup by its word's low bits (the
// mirror an XOR of them); the few promotions take the general path.
class MoveIndices {
public:
    MoveIndices(policy::Space space, bool flip)
        : table_(policy::move_indices(space)), flip_key_(flip ? policy::FLIP_KEY : 0), space_(space), flip_(flip) {}

    [[nodiscard]] std::ptrdiff_t of(ChessMove move) const {
        static_assert(ChessMove::TO_SHIFT == 6 && ChessMove::SPECIAL_SHIFT == 12,
                      "the policy tables' key is the move word's low twelve bits");
        constexpr unsigned FIRST_PROMOTION = ChessMove::PROMOTE_KNIGHT << ChessMove::SPECIAL_SHIFT;
        if (move.word < FIRST_PROMOTION) [[likely]]
            return table_[(move.word & (policy::KEY_COUNT - 1)) ^ flip_key_];
        return policy::index(space_, viewed_square(move.from(), flip_), viewed_square(move.to(), flip_),
                             encode::promotion_code(move));
    }

private:
    const std::int16_t* table_;
    unsigned flip_key_;
    policy::Space space_;
    bool flip_;
};

// Writes the position's twelve piece planes (768 bytes) in the view:
// reflected (mirrored, colours swapped) when flip is set.
void write_step(const Position& position, bool flip, std::uint8_t* out);
// The same packed (96 bytes): each plane its bitboard's 8 bytes.
void write_packed_step(const Position& position, bool flip, std::uint8_t* out);

// The twelve piece bitboards of a board given by square (0 empty, 1 + plane).
void boards_of_squares(const std::uint8_t* squares, Planes& planes);

// The twelve piece bitboards of a board given as the four bit slices of its
// squares' codes (0 empty, 1 + plane): bit k of each square's code in
// slices[k]. A third of the bytes, and a few ANDs a plane.
inline void planes_of_slices(const Bitboard* slices, Planes& planes) {
    const Bitboard b0 = slices[0], b1 = slices[1], b2 = slices[2], b3 = slices[3];
    // The squares by their codes' low two bits, and by their high two.
    const Bitboard l0 = ~b1 & ~b0, l1 = ~b1 & b0, l2 = b1 & ~b0, l3 = b1 & b0;
    const Bitboard h0 = ~b3 & ~b2, h1 = ~b3 & b2, h2 = b3 & ~b2, h3 = b3 & b2;
    planes = {h0 & l1, h0 & l2, h0 & l3, h1 & l0, h1 & l1, h1 & l2, h1 & l3, h2 & l0, h2 & l1, h2 & l2, h2 & l3, h3 & l0};
}

// write_packed_step for a board given as bit slices (planes_of_slices).
void write_packed_slices(const Bitboard* slices, bool flip, std::uint8_t* out);

// The vector forms of the plane writers, of boards_of_squares, of
// stream_copy and of write_packed_slices: each
// x86-64 runs SSE2, AVX2 where the processor has it, any machine the rank
// table; the first is the one used. All of them, for the tests to compare.
struct Kernels {
    const char* name;
    // Twelve planes, 768 bytes, in the view: reflected when flip is set.
    void (*write_boards)(const Bitboard* boards, bool flip, std::uint8_t* out);
    void (*stream_boards)(const Bitboard* boards, bool flip, std::uint8_t* out);  // the same past the cache; out 32-byte aligned
    void (*write_packed)(const Bitboard* boards, bool flip, std::uint8_t* out);   // packed, 96 bytes (write_packed_step)
    void (*boards_of_squares)(const std::uint8_t* squares, Bitboard* boards);
    void (*stream_copy)(std::uint8_t* out, const std::uint8_t* in, std::size_t bytes);  // as stream_copy below
    void (*packed_slices)(const Bitboard* slices, bool flip, std::uint8_t* out);        // write_packed_slices
};
[[nodiscard]] const std::vector<Kernels>& kernels();

// Writes the position's legal moves, in the view, as a mask of
// mask_bytes(options) bytes in the options' policy space: from the
// generator's target sets, or, for a board they do not cover, its move
// list. `board` and `moves` are scratch, reused from call to call.
void write_legal(const MoveGenerator& generator, const Position& position, bool flip, const Options& options,
                 Board& board, MoveList& moves, std::uint8_t* mask);

// Streaming forms, for a batch written once and read later: stores that go
// past the cache write whole cache lines without reading them in first,
// close to halving the memory traffic of a batch too large for the cache.
// Their stores are ordered with other memory only by stream_fence(), which
// the writer calls before anything else reads the output.
// stream_step: write_step to a 32-byte aligned `out`. stream_fill and
// stream_copy: `bytes` (a multiple of 16) to a 16-byte aligned `out`, `in`
// 16-byte aligned too.
void stream_step(const Position& position, bool flip, std::uint8_t* out);
void stream_fill(std::uint8_t* out, std::uint8_t value, std::size_t bytes);
void stream_copy(std::uint8_t* out, const std::uint8_t* in, std::size_t bytes);
void stream_fence();

// write_legal for an unpacked mask streamed to a 16-byte aligned `mask`:
// the mask is made in `scratch` (mask_bytes long, 16-byte aligned, all
// zeros before and after) and copied out whole.
void stream_legal(const MoveGenerator& generator, const Position& position, bool flip, const Options& options,
                  Board& board, MoveList& moves, std::uint8_t* scratch, std::uint8_t* mask);

// write_legal and stream_legal from the indices of the position's legal
// moves in the options' space and view (negative ones skipped).
void write_legal(const std::int16_t* first, const std::int16_t* last, const Options& options, std::uint8_t* mask);
void stream_legal(const std::int16_t* first, const std::int16_t* last, const Options& options, std::uint8_t* scratch,
                  std::uint8_t* mask);

// Encodes every row. Throws InvalidInput for rows that are no position (a
// turn, castling or promotion value out of range).
void encode_rows(const MoveGenerator& generator, const Columns& columns, const Options& options,
                 const Outputs& outputs);

}  // namespace velmor::encodings
