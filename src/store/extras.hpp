// The store's extra per-position columns (clocks, evaluations, mate scores):
// a column of float32 or small integers encoded in blocks of BLOCK_ROWS rows,
// each block in the cheapest of four forms, with an index to every block so
// that a row costs at most a block's walk. Exact: every value comes back bit
// for bit (NaN payloads and signs included: only the quiet NaN 0x7FC00000 has
// a code of its own, any other NaN is kept as raw bits). No Python here.
//
// A column's bytes (little-endian, unaligned):
//   header (HEADER_BYTES): version u8 (1), kind u8, reference u8 (the index of
//     the part's column it follows, NO_REFERENCE for none), layout u8
//     (CONSTANT or BLOCKS), 4 bytes zero, rows u64, the value of a constant
//     column u64 (its bytes, the rest zero);
//   BLOCKS only: a u64 offset of every SUPERBLOCK_BLOCKS-th block, a u16 offset
//     of every block from its superblock's, then the blocks, offsets counted
//     from the first block's first byte.
// A block's first byte is its form (low two bits) and the form's options:
//   CONST  0: one value.
//   RAW    1: the values, as they are.
//   CODED  2: bit 2 lag - 1 (1 or 2), bits 3-4 width w (1, 2, 4 bytes), bits
//             5-6 scale (1, 10, 100), bit 7 chains of 16 rows (else 32); then a code of w bytes a row, a u8
//             count and that many exceptions (row in the block u8, integer
//             int32), rows ascending. A row's integer k is the k of the row
//             `lag` before in the block (0 before the first, and after a NaN)
//             plus the zigzag delta, or its exception's where the code is the
//             width's largest (the escape). The first lag rows of every chain
//             but the first (16 or 32 rows) are escaped (or NaN), so that a
//             row's walk starts at most a chain back.
//             Integers: the code is the delta.
//             float32: code 0 is the quiet NaN, else delta + 1, and the value
//             is float(double(k) / scale); only values that this gives back
//             bit for bit are coded (the decimal texts of clocks and
//             evaluations, "5.3" or "0.17", mostly are).
//   SHIFT  3: bit 2 the direction (0: the reference's previous row, 1: its
//             next row), bit 3 sparse; sparse, a value; then a u8 count and
//             that many exceptions (row in the block u8, value), rows
//             ascending. Every other row is the sparse value, or else the
//             reference's value at the row before or after it: the clock of
//             the side to move is the other side's clock one row before.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmor::store::extras {

enum class Kind : std::uint8_t { f32 = 0, i8 = 1, u8 = 2, i16 = 3, u16 = 4, i32 = 5 };
inline constexpr unsigned KIND_COUNT = 6;

[[nodiscard]] constexpr std::size_t kind_bytes(Kind kind) {
    constexpr std::size_t BYTES[KIND_COUNT] = {4, 1, 1, 2, 2, 4};
    return BYTES[static_cast<unsigned>(kind)];
}

inline constexpr unsigned BLOCK_ROWS = 64;
inline constexpr unsigned SUPERBLOCK_BLOCKS = 128;  // a superblock's blocks fit u16 offsets
inline constexpr std::size_t HEADER_BYTES = 24;
inline constexpr std::uint8_t NO_REFERENCE = 0xFF;
inline constexpr std::uint8_t CONSTANT = 0, BLOCKS = 1;

// A column given to encode: its values, as bytes of `kind`.
struct Input {
    Kind kind;
    const std::uint8_t* values;
};

// Encodes the columns of `rows` rows. A column may follow an earlier column
// of its kind that follows none (SHIFT), chosen when most rows match. An
// empty result for a column whose encoding is not smaller than its values:
// it is better kept as it is.
[[nodiscard]] std::vector<std::vector<std::uint8_t>> encode(const std::vector<Input>& columns, std::size_t rows);

// One part's column, encoded or kept as it is; the bytes are borrowed.
class Column {
public:
    // A column kept as it is: `row_bytes` bytes a row.
    static Column plain(const std::uint8_t* data, std::size_t rows, std::size_t row_bytes);
    // An encoded column, checked block by block: InvalidInput when the bytes
    // are no column (a header, an index or a block out of range), naming it.
    static Column encoded(const std::uint8_t* data, std::size_t size, const char* name);

    [[nodiscard]] std::size_t rows() const { return rows_; }
    [[nodiscard]] std::size_t row_bytes() const { return row_bytes_; }
    [[nodiscard]] bool is_encoded() const { return encoded_; }
    [[nodiscard]] Kind kind() const { return kind_; }
    [[nodiscard]] int reference() const { return reference_ == NO_REFERENCE ? -1 : reference_; }
    // A column kept as it is: its values.
    [[nodiscard]] const std::uint8_t* values() const { return encoded_ ? nullptr : data_; }

    // Writes the row's value (row_bytes bytes). `columns` are the part's
    // columns, for the one this one follows.
    void read(std::uint64_t row, std::uint8_t* out, const Column* columns) const;
    // The same, given the row's block (block_of(row)).
    void read_in(const std::uint8_t* block, std::uint64_t row, std::uint8_t* out, const Column* columns) const;
    // read_in() of the rows row..row + count - 1, all in the row's block.
    void read_span(const std::uint8_t* block, std::uint64_t row, std::size_t count, std::uint8_t* out,
                   const Column* columns) const;
    // read() of the rows row..row + count - 1, in any blocks.
    void read_rows(std::uint64_t row, std::size_t count, std::uint8_t* out, const Column* columns) const;
    // The row's block, null for a column kept as it is or constant.
    [[nodiscard]] const std::uint8_t* block_of(std::uint64_t row) const {
        return encoded_ && !constant_ ? block(row / BLOCK_ROWS) : nullptr;
    }
    // Fetches ahead what block_of() of the row reads: its index entry.
    void prefetch_index(std::uint64_t row) const {
        if (encoded_ && !constant_) __builtin_prefetch(offsets_ + 2 * (row / BLOCK_ROWS));
    }

private:
    Column() = default;
    [[nodiscard]] const std::uint8_t* block(std::size_t b) const;

    const std::uint8_t* data_ = nullptr;  // plain: the values; encoded: the header
    const std::uint8_t* supers_ = nullptr;
    const std::uint8_t* offsets_ = nullptr;
    const std::uint8_t* blocks_ = nullptr;
    std::size_t rows_ = 0;
    std::size_t row_bytes_ = 0;
    bool encoded_ = false;
    bool constant_ = false;
    Kind kind_ = Kind::u8;
    std::uint8_t reference_ = NO_REFERENCE;
};

// The extra columns of a store's parts, rows following on from part to part.
class Table {
public:
    // InvalidInput when the parts differ in their columns' count or row
    // bytes, a column's rows differ from its part's, or a column follows one
    // that is not of its kind or that follows another.
    Table(std::vector<std::vector<Column>> parts, const std::vector<std::size_t>& part_rows);

    [[nodiscard]] std::size_t columns() const { return column_count_; }
    [[nodiscard]] std::size_t rows() const { return part_first_row_.back(); }
    [[nodiscard]] std::size_t row_bytes(std::size_t column) const { return parts_[0][column].row_bytes(); }

    // The values of the wanted columns (out[c] null: not wanted) of the rows
    // at `indices`, the i-th into row i. InvalidInput for an index out of range.
    void gather(const std::uint64_t* indices, std::size_t count, std::uint8_t* const* out) const;

private:
    std::vector<std::vector<Column>> parts_;
    std::vector<std::uint64_t> part_first_row_;  // and rows() at the end
    std::size_t column_count_ = 0;
};

}  // namespace velmor::store::extras
