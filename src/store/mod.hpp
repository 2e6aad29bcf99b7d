// The compact position store: a run of a game's rows kept as one move word a
// row and a full position (a keyframe) every KEYFRAME_PLIES plies; every field
// of a row, planes included, is computed back from them by replaying at most
// KEYFRAME_PLIES - 1 moves. Also the epoch order of a loader: a seeded
// bijection of [0, n), so no index array is ever made. No Python here.
//
// Move word (uint16):
//   bit 15 clear: from square bits 0-5, to square bits 6-11, promotion code
//                 bits 12-14 (the schema's 0-4)
//   bit 15 set:   a row without a move: bit 14 set for a null move (move_from
//                 -2), clear for none (-1, a final position); bits 0-7 hold
//                 move_to's byte and bits 8-12 move_promotion, as they came.
// Keyframe (KEYFRAME_BYTES, little-endian, unaligned): the 64 squares as
//   nibbles (square 2i low, 2i + 1 high; 0 empty, 1 + plane), then
//   turn | castling << 1, en_passant, halfmove_clock int32, fullmove_number int32.
// Run (RUN_BYTES): game int64, first ply int32, rows uint32, result int8.
//   A run is a game's consecutive rows with consecutive plies, each row the
//   one its predecessor's move leads to. A run has a keyframe at its first
//   row and at every row whose ply is a multiple of KEYFRAME_PLIES: keyframes
//   depend on the game alone, not on where rows were cut into chunks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "common/mod.hpp"
#include "encode/bulk.hpp"
#include "encodings/mod.hpp"

namespace velmor::store {

// Measured with bench/store.py (shuffled batches of 1024, one busy shared
// core, NumPy's planes[rows] alone at 2.8 million rows a second beside):
// every 8 plies 7.6 bytes a position and 5.5 to 6.2 million positions a
// second, every 16 plies 5.0 bytes and 3.6 to 4.7 million.
inline constexpr unsigned KEYFRAME_PLIES = 8;
inline constexpr std::size_t KEYFRAME_BYTES = 42;
inline constexpr std::size_t RUN_BYTES = 17;
inline constexpr std::size_t PLANE_BYTES = 12 * 64;

inline constexpr std::uint16_t SPECIAL_WORD = 0x8000;
inline constexpr std::uint16_t NULL_WORD = 0x4000;

// A position as the schema describes it; the board by square, 0 empty, else
// 1 + plane. The counters hold the int32 columns' bits.
struct Position {
    std::array<std::uint8_t, 64> board{};
    std::uint8_t turn = 0;
    std::uint8_t castling = 0;  // bits K, Q, k, q
    std::int8_t en_passant = -1;
    std::uint32_t halfmove_clock = 0;
    std::uint32_t fullmove_number = 1;

    bool operator==(const Position&) const = default;
};

// The schema's columns of a block of rows. Reading (pack): every pointer set.
// Writing (gather): a null pointer is a field not wanted.
template <typename Byte>
struct BasicColumns {
    template <typename T>
    using Ptr = std::conditional_t<std::is_const_v<Byte>, const T*, T*>;
    Ptr<std::uint8_t> planes = nullptr;  // 768 bytes of 0/1 a row
    Ptr<std::uint8_t> turn = nullptr;
    Ptr<std::uint8_t> castling = nullptr;  // 4 bytes of 0/1 a row
    Ptr<std::int8_t> en_passant = nullptr;
    Ptr<std::int32_t> halfmove_clock = nullptr;
    Ptr<std::int32_t> fullmove_number = nullptr;
    Ptr<std::int8_t> move_from = nullptr;
    Ptr<std::int8_t> move_to = nullptr;
    Ptr<std::uint8_t> move_promotion = nullptr;
    Ptr<std::int8_t> result = nullptr;
    Ptr<std::int64_t> game = nullptr;
    Ptr<std::int32_t> ply = nullptr;
};
using Columns = BasicColumns<const std::uint8_t>;
using Outputs = BasicColumns<std::uint8_t>;

// The three arrays of a store.
struct Packed {
    std::vector<std::uint16_t> moves;
    std::vector<std::uint8_t> keyframes;  // KEYFRAME_BYTES each
    std::vector<std::uint8_t> runs;       // RUN_BYTES each
};

// The move word of a row's move columns; InvalidInput (naming the row) for
// values no word holds.
[[nodiscard]] std::uint16_t move_word(std::int8_t from, std::int8_t to, std::uint8_t promotion, std::size_t row);

// Makes the word's move on the position, as push_move makes the moves of a
// game from a well-formed position (see KEEPS in store.cpp), or returns
// false, leaving the position unspecified, when it cannot: no piece of the
// side to move on the from-square, an own piece on the to-square, a pawn
// reaching the last rank without a promotion code, no move at all.
bool play(Position& position, std::uint16_t word);

// Packs rows given in order. A row the previous one's move does not lead to
// exactly starts a new run, so any rows round-trip; InvalidInput for a row no
// keyframe can hold (plane bytes other than 0/1, a square on two planes, turn
// or castling bytes other than 0/1) or a move no word holds.
[[nodiscard]] Packed pack(const Columns& columns, std::size_t rows);

// The three arrays of a store, or of one part of a store.
struct Part {
    const std::uint16_t* moves;
    std::size_t rows;
    const std::uint8_t* keyframes;
    std::size_t keyframe_count;
    const std::uint8_t* runs;
    std::size_t run_count;
};

// Every row of a store decoded, for a loader that reads rows at random
// epoch after epoch: each row's placement and fields, with what a row's
// encoding needs of the rows before it (which history steps are its game's,
// whether its steps repeat earlier positions). 96 bytes a row, made in one
// pass over the store in order (Store::decode_rows), so that a row's
// encoding reads its fields' cache line and nine placements, a few more,
// instead of replaying a dozen moves. The legal moves of every row are
// listed on request, as indices in a policy space and view
// (list_legal_moves), 2 bytes a move more (about 60 a row), so that a
// legal mask is a bit set a move.
struct Decoded {
    // On huge pages: rows read at random would otherwise miss the TLB in
    // every array.
    template <typename T>
    using Array = std::vector<T, encode::BulkAllocator<T>>;

    // A placement as the four bits of its squares' codes (0 empty, else
    // 1 + plane), bit k of every square in slices[k]: a third of the twelve
    // bitboards' bytes, which a few ANDs give back (encodings::planes_of_slices).
    struct alignas(32) Placement {
        std::array<Bitboard, 4> slices;

        [[nodiscard]] Planes planes() const {
            Planes planes;
            encodings::planes_of_slices(slices.data(), planes);
            return planes;
        }
    };
    // A row's fields and what its encoding needs of the rows before it, one
    // cache line: all a row reads but placements and legal moves.
    struct alignas(64) Row {
        std::int64_t game;
        std::uint64_t legal_first;  // where its legal moves start, once listed
        std::uint32_t halfmove_clock, fullmove_number;
        std::int32_t ply;
        // Bit s (1 to 8): the row s rows back is its game's position s plies
        // back. Bit STEP_REPEATS + s (0 to 8): that position occurred
        // earlier in its game.
        std::uint32_t links;
        std::uint16_t word;         // the move word
        std::uint16_t legal_count;  // its legal moves, once listed
        std::uint8_t flags;         // turn | castling << 1, as a keyframe's
        std::int8_t en_passant;
        std::int8_t result;
    };
    static constexpr unsigned STEP_REPEATS = 9;

    Array<Placement> placements;
    Array<Row> rows;
    // Whether any row's en_passant is no file (encoding such a row refuses).
    bool odd_en_passant = false;
    // A row's legal moves, as the generator lists them, are the legal_count
    // from legal_first of legal[slot(space, mover_view)]: their indices in
    // the space, in the row's view when mover_view; empty until listed. Every
    // space and view lists as many a row.
    std::array<Array<std::int16_t>, 2 * policy::SPACE_COUNT> legal;
    std::array<bool, 2 * policy::SPACE_COUNT> listed{};

    [[nodiscard]] static std::size_t slot(policy::Space space, bool mover_view) {
        return 2 * static_cast<std::size_t>(space) + mover_view;
    }
    // Whether the legal mask the options ask for is listed.
    [[nodiscard]] bool lists(const encodings::Options& options) const {
        return options.legal_mask && options.policy &&
               listed[slot(*options.policy, options.view == encodings::View::mover)];
    }
};

// Lists the legal moves of every row of `decoded` as their indices in the
// space and view (Decoded::legal).
void list_legal_moves(const MoveGenerator& generator, Decoded& decoded, policy::Space space, bool mover_view);

// Records of `stride` bytes a row of a store (a loader's extra columns, row
// by row), and where a batch's rows of them go.
struct Records {
    const std::uint8_t* data = nullptr;
    std::size_t stride = 0;
    std::uint8_t* out = nullptr;  // the i-th index's record at i * stride
};

// A store's arrays, checked, with the index random access needs. The parts
// (shards packed apart) are one store whose rows follow on from part to
// part, none of them copied. The arrays are borrowed and must outlive it.
class Store {
public:
    // InvalidInput when the arrays do not make a store: run rows that do not
    // add up to the moves, a keyframe count other than the runs call for,
    // plies past int32, keyframe nibbles or flags out of range.
    Store(const std::uint16_t* moves, std::size_t rows, const std::uint8_t* keyframes, std::size_t keyframe_count,
          const std::uint8_t* runs, std::size_t run_count);
    explicit Store(std::vector<Part> parts);

    [[nodiscard]] std::size_t rows() const { return rows_; }

    // Writes the wanted fields of the rows at `indices`, the i-th into row i
    // of the outputs. Rows that follow each other share the replay. InvalidInput
    // for an index out of range or a move that cannot be replayed (a damaged
    // store).
    void gather(const std::uint64_t* indices, std::size_t count, const Outputs& out) const;

    // The training encodings of the rows at `indices`, the i-th into row i
    // of the outputs: exactly what encodings::encode_rows gives for them
    // among all the store's rows in order; and from the same replay the
    // fields of `rest` that no view changes (en_passant, the clocks,
    // move_promotion, result, game, ply; its other pointers are not read).
    // Each row is replayed once from the keyframe before its oldest history
    // step, its bitboards kept up to date move by move. A step's repetition
    // looks back at the rows since its last capture or pawn move that have
    // its occupancy, the rows before the replay known from move words; only
    // those are compared in full.
    // InvalidInput as gather, and as encode_rows for rows that are no
    // position.
    void encode(const std::uint64_t* indices, std::size_t count, const MoveGenerator& generator,
                const encodings::Options& options, const encodings::Outputs& out, const Outputs& rest = {}) const;

    // Every row decoded. InvalidInput for a move that cannot be replayed.
    [[nodiscard]] Decoded decode_rows() const;

    // encode(), the same outputs, reading the rows from `decoded`, which
    // must be this store's decode_rows(); and each row's record, fetched
    // with the rest of the row.
    void encode(const Decoded& decoded, const std::uint64_t* indices, std::size_t count,
                const MoveGenerator& generator, const encodings::Options& options, const encodings::Outputs& out,
                const Outputs& rest = {}, const Records& records = {}) const;

private:
    struct Cursor;
    void locate(std::uint64_t row, Cursor& cursor) const;
    // locate() for a row of a run already known.
    void locate_in(std::size_t run, std::uint64_t row, Cursor& cursor) const;
    // The positions of rows first..last, into [0, last - first].
    void replay_rows(std::uint64_t first, std::uint64_t last, Position* positions) const;
    [[nodiscard]] std::size_t run_of(std::uint64_t row) const;
    [[nodiscard]] const std::uint8_t* record_of(std::size_t run) const;
    // The row's game and ply, from its run's record.
    void game_and_ply(std::uint64_t row, std::int64_t& game, std::int64_t& ply) const;
    // The first row of the stretch before `row`, at most `limit` rows long,
    // whose every row is its game's position that many plies before `row`.
    [[nodiscard]] std::uint64_t earliest_in_game(std::uint64_t row, std::uint64_t limit) const;

    std::vector<Part> parts_;
    std::vector<std::uint64_t> part_first_row_, part_first_keyframe_, part_first_run_;
    std::size_t rows_ = 0;
    std::size_t run_count_ = 0;
    std::vector<std::uint64_t> first_row_;       // per run, and rows_ at the end
    std::vector<std::uint64_t> first_keyframe_;  // per run, counted over every part
    std::vector<std::uint32_t> run_part_;        // per run
    std::vector<std::uint32_t> block_run_;       // the run holding row 256 * i
};

// A seeded bijection of [0, n): rounds of bijections of the smallest power
// of two >= n, walked until they land inside. Same (n, seed, epoch), same
// order.
class Permutation {
public:
    Permutation(std::uint64_t n, std::uint64_t seed, std::uint64_t epoch);
    [[nodiscard]] std::uint64_t operator()(std::uint64_t i) const;
    // The images of first, first + 1, ... into out[0, count): the same as
    // operator() one by one, without a branch on how far each walk goes.
    void fill(std::uint64_t first, std::size_t count, std::uint64_t* out) const;

private:
    [[nodiscard]] std::uint64_t step(std::uint64_t x) const;
    struct Round {
        std::uint64_t multiplier, addend;
    };
    std::uint64_t n_;
    unsigned bits_, shift_;
    std::uint64_t mask_;
    std::array<Round, 4> rounds_;
};

// Positions [start, start + count) of `rank`'s part of an epoch: the epoch's
// order (the permutation, or 0, 1, 2, ... unshuffled) cut into world_size
// equal parts of n / world_size positions, the rest left out.
void epoch_indices(std::uint64_t n, bool shuffle, std::uint64_t seed, std::uint64_t epoch, std::uint64_t rank,
                   std::uint64_t world_size, std::uint64_t start, std::size_t count, std::uint64_t* out);

}  // namespace velmor::store
