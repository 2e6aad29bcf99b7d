#include "store/extras.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "common/mod.hpp"

namespace velmor::store::extras {

namespace {

constexpr std::uint8_t FORM_CONST = 0, FORM_RAW = 1, FORM_CODED = 2, FORM_SHIFT = 3;
constexpr std::uint32_t QUIET_NAN = 0x7FC00000;
constexpr double SCALES[3] = {1, 10, 100};
constexpr std::size_t WIDTHS[3] = {1, 2, 4};
constexpr std::size_t EXCEPTION_BYTES = 5;  // row u8, integer int32
// The rows at which each chain starts again (an exception or a NaN), every
// CHECKPOINT_ROWS rows, so that a row's walk is at most that many rows: the
// walk is most of a row's decoding, and a shorter one costs an exception or
// two. Blocks without the head's CHECKPOINTS_16 bit restart every 32 rows.
constexpr std::uint8_t CHECKPOINTS_16 = 0x80;
constexpr unsigned CHECKPOINT_ROWS = 16;
constexpr unsigned checkpoint_rows(std::uint8_t head) { return head & CHECKPOINTS_16 ? 16 : 32; }
// A coded block's head: how its chains run, how wide its codes are and the
// scale of its floats.
struct CodedHead {
    unsigned lag, width, scale, every;
    explicit CodedHead(std::uint8_t head)
        : lag((head >> 2 & 1) + 1), width(head >> 3 & 3), scale(head >> 5 & 3), every(checkpoint_rows(head)) {}
};

// A row whose chain starts again, at a lag.
constexpr bool is_checkpoint(std::size_t t, unsigned every, unsigned lag) { return t >= every && t % every < lag; }

// The code of an exception at a width: its largest.
constexpr std::uint64_t width_escape(unsigned width) { return (std::uint64_t{1} << (8 * WIDTHS[width])) - 1; }
// Coded integers stay well inside double's exact range, and deltas inside
// int64.
constexpr double K_LIMIT = 1e12;

[[noreturn]] void refuse(std::string message) { throw InvalidInput(std::move(message)); }

// Values of 1, 2, 4 or 8 bytes, each size copied as one load or store rather
// than a call to memcpy.
template <std::size_t N>
std::uint64_t load_fixed(const std::uint8_t* p) {
    std::uint64_t value = 0;
    std::memcpy(&value, p, N);  // little-endian hosts only, as the rest of the store
    return value;
}

inline std::uint64_t load_bytes(const std::uint8_t* p, std::size_t n) {
    switch (n) {
        case 1: return *p;
        case 2: return load_fixed<2>(p);
        case 4: return load_fixed<4>(p);
        default: return load_fixed<8>(p);
    }
}

inline void store_bytes(std::uint8_t* p, std::uint64_t value, std::size_t n) {
    switch (n) {
        case 1: *p = static_cast<std::uint8_t>(value); return;
        case 2: std::memcpy(p, &value, 2); return;
        case 4: std::memcpy(p, &value, 4); return;
        default: std::memcpy(p, &value, 8); return;
    }
}

inline void copy_bytes(std::uint8_t* out, const std::uint8_t* in, std::size_t n) {
    switch (n) {
        case 1: *out = *in; return;
        case 2: std::memcpy(out, in, 2); return;
        case 4: std::memcpy(out, in, 4); return;
        case 8: std::memcpy(out, in, 8); return;
        default: std::memcpy(out, in, n);
    }
}

// The integer a value of an integer kind holds.
std::int64_t signed_value(Kind kind, std::uint64_t bits) {
    switch (kind) {
        case Kind::i8: return static_cast<std::int8_t>(bits);
        case Kind::i16: return static_cast<std::int16_t>(bits);
        case Kind::i32: return static_cast<std::int32_t>(bits);
        default: return static_cast<std::int64_t>(bits);
    }
}

std::uint32_t f32_of(std::int64_t k, unsigned scale) {
    return std::bit_cast<std::uint32_t>(static_cast<float>(static_cast<double>(k) / SCALES[scale]));
}

constexpr std::uint64_t zigzag(std::int64_t d) {
    return (static_cast<std::uint64_t>(d) << 1) ^ static_cast<std::uint64_t>(d >> 63);
}
constexpr std::int64_t unzigzag(std::uint64_t z) { return static_cast<std::int64_t>(z >> 1) ^ -static_cast<std::int64_t>(z & 1); }

// A value as the CODED form holds it: its integer, or the quiet NaN.
struct Coded {
    std::int64_t k;
    bool nan;
};

// The value's integer at the scale, or false when no code gives it back
// bit for bit.
bool code_of(Kind kind, std::uint64_t bits, unsigned scale, Coded& out) {
    if (kind != Kind::f32) {
        out = {signed_value(kind, bits), false};
        return scale == 0;
    }
    const auto word = static_cast<std::uint32_t>(bits);
    if (word == QUIET_NAN) {
        out = {0, true};
        return true;
    }
    const double x = static_cast<double>(std::bit_cast<float>(word)) * SCALES[scale];
    if (!(std::fabs(x) < K_LIMIT)) return false;
    const auto k = static_cast<std::int64_t>(std::llround(x));
    out = {k, false};
    return f32_of(k, scale) == word;
}

// The rows of a block as the encoder sees them.
struct BlockInput {
    Kind kind;
    std::size_t bytes;
    const std::uint8_t* values;  // the block's first row
    std::size_t n;               // its rows
    std::uint64_t first;         // the row of its first row in the column
    std::size_t rows;            // the column's rows
    const std::uint8_t* reference;  // the values of the column followed, or null
    [[nodiscard]] std::uint64_t at(std::size_t t) const { return load_bytes(values + t * bytes, bytes); }
};

// The CODED form of the block, or false when some value has no code at any
// scale. Of each lag and width, the smallest: codes of one width, and any
// integer whose code would not fit (a game's first clock, a jump in the
// evaluation) kept whole as an exception.
bool coded(const BlockInput& in, std::vector<std::uint8_t>& out) {
    Coded values[BLOCK_ROWS];
    const bool is_float = in.kind == Kind::f32;
    const unsigned scales = is_float ? 3 : 1;
    unsigned scale = 0;
    for (; scale < scales; ++scale) {
        std::size_t t = 0;
        while (t < in.n && code_of(in.kind, in.at(t), scale, values[t])) ++t;
        if (t == in.n) break;
    }
    if (scale == scales) return false;
    const std::uint64_t offset = is_float ? 1 : 0;
    // The codes of a lag and width, escapes where an exception stands; false
    // when an exception does not fit int32.
    std::uint64_t codes[BLOCK_ROWS];
    const auto code_block = [&](unsigned lag, unsigned width, std::size_t& exceptions) {
        const std::uint64_t escape = width_escape(width);
        exceptions = 0;
        for (std::size_t t = 0; t < in.n; ++t) {
            if (values[t].nan) {
                codes[t] = 0;
                continue;
            }
            const std::int64_t prediction = t >= lag && !values[t - lag].nan ? values[t - lag].k : 0;
            const std::uint64_t code = zigzag(values[t].k - prediction) + offset;
            const bool checkpoint = is_checkpoint(t, CHECKPOINT_ROWS, lag);
            if (code < escape && !checkpoint) {
                codes[t] = code;
                continue;
            }
            if (values[t].k < INT32_MIN || values[t].k > INT32_MAX) return false;
            codes[t] = escape;
            ++exceptions;
        }
        return true;
    };
    std::size_t best_size = SIZE_MAX;
    unsigned best_lag = 1, best_width = 0;
    for (unsigned lag = 1; lag <= 2; ++lag)
        for (unsigned width = 0; width < 3; ++width) {
            std::size_t exceptions;
            if (!code_block(lag, width, exceptions)) continue;
            const std::size_t size = 2 + in.n * WIDTHS[width] + EXCEPTION_BYTES * exceptions;
            if (size < best_size) {
                best_size = size;
                best_lag = lag;
                best_width = width;
            }
        }
    if (best_size == SIZE_MAX) return false;
    std::size_t exceptions;
    code_block(best_lag, best_width, exceptions);
    out.push_back(static_cast<std::uint8_t>(FORM_CODED | (best_lag - 1) << 2 | best_width << 3 | scale << 5 | CHECKPOINTS_16));
    for (std::size_t t = 0; t < in.n; ++t) {
        const std::size_t at = out.size();
        out.resize(at + WIDTHS[best_width]);
        store_bytes(out.data() + at, codes[t], WIDTHS[best_width]);
    }
    out.push_back(static_cast<std::uint8_t>(exceptions));
    const std::uint64_t escape = width_escape(best_width);
    for (std::size_t t = 0; t < in.n; ++t) {
        if (codes[t] != escape || values[t].nan) continue;
        out.push_back(static_cast<std::uint8_t>(t));
        const std::size_t at = out.size();
        out.resize(at + 4);
        store_bytes(out.data() + at, static_cast<std::uint32_t>(values[t].k), 4);
    }
    return true;
}

// The SHIFT form: following the reference's row before (next false) or
// after, or (sparse) one value, with the rows that differ as exceptions.
void shifted(const BlockInput& in, bool next, bool sparse, std::vector<std::uint8_t>& out) {
    out.push_back(static_cast<std::uint8_t>(FORM_SHIFT | (sparse ? 8 : next ? 4 : 0)));
    // The value most rows hold, for a sparse block: the first row's or the last's.
    std::uint64_t common = in.at(0);
    if (sparse) {
        std::size_t first = 0, last = 0;
        for (std::size_t t = 0; t < in.n; ++t) {
            first += in.at(t) == in.at(0);
            last += in.at(t) == in.at(in.n - 1);
        }
        if (last > first) common = in.at(in.n - 1);
        const std::size_t at = out.size();
        out.resize(at + in.bytes);
        store_bytes(out.data() + at, common, in.bytes);
    }
    const std::size_t count_at = out.size();
    out.push_back(0);
    unsigned count = 0;
    for (std::size_t t = 0; t < in.n; ++t) {
        const std::uint64_t row = in.first + t;
        const std::uint64_t value = in.at(t);
        if (sparse) {
            if (value == common) continue;
        } else if (next ? row + 1 < in.rows : row > 0) {
            if (load_bytes(in.reference + (next ? row + 1 : row - 1) * in.bytes, in.bytes) == value) continue;
        }
        out.push_back(static_cast<std::uint8_t>(t));
        const std::size_t at = out.size();
        out.resize(at + in.bytes);
        store_bytes(out.data() + at, value, in.bytes);
        ++count;
    }
    out[count_at] = static_cast<std::uint8_t>(count);
}

// Appends the block in its smallest form.
void encode_block(const BlockInput& in, bool next, std::vector<std::uint8_t>& out) {
    bool constant = true;
    for (std::size_t t = 1; t < in.n && constant; ++t) constant = in.at(t) == in.at(0);
    if (constant) {
        out.push_back(FORM_CONST);
        const std::size_t at = out.size();
        out.resize(at + in.bytes);
        store_bytes(out.data() + at, in.at(0), in.bytes);
        return;
    }
    std::vector<std::uint8_t> best(1, FORM_RAW);
    best.insert(best.end(), in.values, in.values + in.n * in.bytes);
    std::vector<std::uint8_t> candidate;
    if (coded(in, candidate) && candidate.size() < best.size()) best.swap(candidate);
    for (const bool sparse : {true, false}) {
        if (!sparse && !in.reference) continue;
        candidate.clear();
        shifted(in, next, sparse, candidate);
        if (candidate.size() < best.size()) best.swap(candidate);
    }
    out.insert(out.end(), best.begin(), best.end());
}

std::vector<std::uint8_t> encode_column(const Input& column, std::size_t rows, int reference, bool next,
                                        const std::uint8_t* reference_values) {
    const std::size_t bytes = kind_bytes(column.kind);
    std::vector<std::uint8_t> out(HEADER_BYTES, 0);
    out[0] = 1;
    out[1] = static_cast<std::uint8_t>(column.kind);
    out[2] = reference < 0 ? NO_REFERENCE : static_cast<std::uint8_t>(reference);
    store_bytes(out.data() + 8, rows, 8);
    bool constant = true;
    const std::uint64_t first = rows ? load_bytes(column.values, bytes) : 0;
    for (std::size_t r = 1; r < rows && constant; ++r) constant = load_bytes(column.values + r * bytes, bytes) == first;
    if (constant) {
        out[2] = NO_REFERENCE;
        out[3] = CONSTANT;
        store_bytes(out.data() + 16, first, bytes);
        return out;
    }
    out[3] = BLOCKS;
    const std::size_t blocks = (rows + BLOCK_ROWS - 1) / BLOCK_ROWS;
    const std::size_t supers = (blocks + SUPERBLOCK_BLOCKS - 1) / SUPERBLOCK_BLOCKS;
    std::vector<std::uint8_t> data;
    std::vector<std::uint64_t> offsets(blocks);
    for (std::size_t b = 0; b < blocks; ++b) {
        offsets[b] = data.size();
        const std::uint64_t row = b * BLOCK_ROWS;
        const BlockInput in{column.kind, bytes, column.values + row * bytes,
                            std::min<std::size_t>(BLOCK_ROWS, rows - row), row, rows, reference_values};
        encode_block(in, next, data);
    }
    const std::size_t index_at = out.size();
    out.resize(index_at + 8 * supers + 2 * blocks);
    for (std::size_t b = 0; b < blocks; ++b) {
        const std::uint64_t base = offsets[b / SUPERBLOCK_BLOCKS * SUPERBLOCK_BLOCKS];
        if (b % SUPERBLOCK_BLOCKS == 0) store_bytes(out.data() + index_at + 8 * (b / SUPERBLOCK_BLOCKS), base, 8);
        store_bytes(out.data() + index_at + 8 * supers + 2 * b, offsets[b] - base, 2);
    }
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

}  // namespace

std::vector<std::vector<std::uint8_t>> encode(const std::vector<Input>& columns, std::size_t rows) {
    std::vector<std::vector<std::uint8_t>> out(columns.size());
    std::vector<bool> follows(columns.size(), false);
    for (std::size_t c = 0; c < columns.size(); ++c) {
        const Input& column = columns[c];
        const std::size_t bytes = kind_bytes(column.kind);
        // The earlier column of the kind, following none, that this one
        // repeats shifted by a row most often, when that is most rows.
        int reference = -1;
        bool next = false;
        std::size_t best = rows / 2;
        for (std::size_t j = 0; j < c; ++j) {
            if (columns[j].kind != column.kind || follows[j]) continue;
            std::size_t before = 0, after = 0;
            for (std::size_t r = 0; r + 1 < rows; ++r) {
                const std::uint64_t value = load_bytes(column.values + r * bytes, bytes);
                const std::uint64_t later = load_bytes(column.values + (r + 1) * bytes, bytes);
                after += value == load_bytes(columns[j].values + (r + 1) * bytes, bytes);
                before += later == load_bytes(columns[j].values + r * bytes, bytes);
            }
            if (std::max(before, after) > best) {
                best = std::max(before, after);
                reference = static_cast<int>(j);
                next = after > before;
            }
        }
        std::vector<std::uint8_t> encoded =
            encode_column(column, rows, reference, next, reference < 0 ? nullptr : columns[reference].values);
        if (encoded.size() < rows * bytes) {
            follows[c] = encoded[2] != NO_REFERENCE;
            out[c] = std::move(encoded);
        }
    }
    return out;
}

// ---------------------------------------------------------------- reading

Column Column::plain(const std::uint8_t* data, std::size_t rows, std::size_t row_bytes) {
    Column column;
    column.data_ = data;
    column.rows_ = rows;
    column.row_bytes_ = row_bytes;
    return column;
}

namespace {

// The size of the block at `p` of `n` rows, or 0 when its first byte is no form.
std::size_t block_size(const std::uint8_t* p, const std::uint8_t* end, std::size_t n, std::size_t bytes, bool is_float,
                       bool has_reference) {
    const std::uint8_t head = *p;
    switch (head & 3) {
        case FORM_CONST: return head == FORM_CONST ? 1 + bytes : 0;
        case FORM_RAW: return head == FORM_RAW ? 1 + n * bytes : 0;
        case FORM_CODED: {
            const auto [lag, width, scale, every] = CodedHead(head);
            if (width > 2 || scale > (is_float ? 2u : 0u)) return 0;
            const std::size_t codes = n * WIDTHS[width];
            if (static_cast<std::size_t>(end - p) < 2 + codes) return 0;
            const std::uint8_t* exceptions = p + 1 + codes;
            const std::size_t count = *exceptions++;
            const std::size_t size = 2 + codes + count * EXCEPTION_BYTES;
            if (static_cast<std::size_t>(end - p) < size) return 0;
            // Exactly the escaped rows have an exception, in order; the
            // checkpoint rows start their chains again.
            const std::uint64_t escape = width_escape(width);
            std::size_t e = 0;
            for (std::size_t t = 0; t < n; ++t) {
                const std::uint64_t code = load_bytes(p + 1 + t * WIDTHS[width], WIDTHS[width]);
                if (is_checkpoint(t, every, lag) && code != escape && !(is_float && code == 0))
                    return 0;
                if (code != escape) continue;
                if (e == count || exceptions[e * EXCEPTION_BYTES] != t) return 0;
                ++e;
            }
            return e == count ? size : 0;
        }
        default: {
            const bool sparse = head & 8;
            const std::size_t fixed = 2 + (sparse ? bytes : 0);
            if (head >> 4 || (sparse ? (head & 4) != 0 : !has_reference) || static_cast<std::size_t>(end - p) < fixed) return 0;
            const std::size_t count = p[fixed - 1];
            const std::size_t size = fixed + count * (1 + bytes);
            if (count > n || static_cast<std::size_t>(end - p) < size) return 0;
            for (std::size_t e = 0; e < count; ++e) {
                const std::uint8_t t = p[fixed + e * (1 + bytes)];
                if (t >= n || (e && t <= p[fixed + (e - 1) * (1 + bytes)])) return 0;
            }
            return size;
        }
    }
}

}  // namespace

Column Column::encoded(const std::uint8_t* data, std::size_t size, const char* name) {
    const auto damaged = [&](const char* what) { refuse(std::string("extra column ") + name + " is damaged: " + what); };
    if (size < HEADER_BYTES) damaged("shorter than its header");
    if (data[0] != 1) damaged("an unknown version");
    if (data[1] >= KIND_COUNT) damaged("an unknown kind");
    if (data[3] > BLOCKS || load_bytes(data + 4, 4) != 0) damaged("an unknown layout");
    Column column;
    column.data_ = data;
    column.encoded_ = true;
    column.kind_ = static_cast<Kind>(data[1]);
    column.reference_ = data[2];
    column.rows_ = load_bytes(data + 8, 8);
    column.row_bytes_ = kind_bytes(column.kind_);
    column.constant_ = data[3] == CONSTANT;
    if (column.constant_) {
        if (size != HEADER_BYTES || column.reference_ != NO_REFERENCE ||
            load_bytes(data + 16, 8) >> (8 * column.row_bytes_ - 1) >> 1)
            damaged("a constant column with more than its value");
        return column;
    }
    // Every block has two bytes of index at least.
    if (column.rows_ == 0 || column.rows_ / BLOCK_ROWS > size) damaged("more rows than its bytes can hold");
    const std::size_t blocks = (column.rows_ + BLOCK_ROWS - 1) / BLOCK_ROWS;
    const std::size_t supers = (blocks + SUPERBLOCK_BLOCKS - 1) / SUPERBLOCK_BLOCKS;
    if (size - HEADER_BYTES < 8 * supers + 2 * blocks) damaged("shorter than its index");
    column.supers_ = data + HEADER_BYTES;
    column.offsets_ = column.supers_ + 8 * supers;
    column.blocks_ = column.offsets_ + 2 * blocks;
    const std::uint8_t* end = data + size;
    const std::size_t data_bytes = static_cast<std::size_t>(end - column.blocks_);
    for (std::size_t b = 0; b < blocks; ++b) {
        const std::uint64_t base = load_bytes(column.supers_ + 8 * (b / SUPERBLOCK_BLOCKS), 8);
        const std::uint64_t offset = base + load_bytes(column.offsets_ + 2 * b, 2);
        if (base >= data_bytes || offset >= data_bytes) damaged("a block outside its bytes");
        const std::size_t n = std::min<std::size_t>(BLOCK_ROWS, column.rows_ - b * BLOCK_ROWS);
        const std::uint8_t* p = column.blocks_ + offset;
        const std::size_t bytes = block_size(p, end, n, column.row_bytes_, column.kind_ == Kind::f32,
                                             column.reference_ != NO_REFERENCE);
        if (bytes == 0 || bytes > static_cast<std::size_t>(end - p)) damaged("a block of no form or past its bytes");
        // The rows a SHIFT block follows are inside the column, or exceptions.
        if ((*p & 3) == FORM_SHIFT && !(*p & 8)) {
            const bool next = *p & 4;
            const bool edge_first = !next && b == 0, edge_last = next && b + 1 == blocks;
            if (edge_first && (p[1] == 0 || p[2] != 0)) damaged("a row before the first followed");
            if (edge_last && (p[1] == 0 || p[2 + (p[1] - 1) * (1 + column.row_bytes_)] != n - 1))
                damaged("a row after the last followed");
        }
    }
    return column;
}

const std::uint8_t* Column::block(std::size_t b) const {
    return blocks_ + load_bytes(supers_ + 8 * (b / SUPERBLOCK_BLOCKS), 8) + load_bytes(offsets_ + 2 * b, 2);
}

namespace {

// The integer of an escaped row: its exception's.
std::int64_t exception_of(const std::uint8_t* exceptions, unsigned t) {
    for (unsigned e = 0, count = *exceptions++; e < count; ++e, exceptions += EXCEPTION_BYTES)
        if (*exceptions == t) return static_cast<std::int32_t>(load_bytes(exceptions + 1, 4));
    return 0;  // checked when the column was made: never here
}

// f.template operator()<Code>() for the code type of a width.
template <typename F>
decltype(auto) with_code_type(unsigned width, F&& f) {
    switch (width) {
        case 0: return f.template operator()<std::uint8_t>();
        case 1: return f.template operator()<std::uint16_t>();
        default: return f.template operator()<std::uint32_t>();
    }
}

// A chain's integer after row j's code: an escape's is its exception's, a
// float's NaN (code 0) starts the chain again from 0.
template <typename Code, bool IS_FLOAT>
std::int64_t chain_after(std::int64_t k, Code code, const std::uint8_t* codes, std::size_t n, unsigned j) {
    if (code == static_cast<Code>(~Code{0})) [[unlikely]]
        return exception_of(codes + n * sizeof(Code), j);
    if constexpr (IS_FLOAT)
        return code == 0 ? 0 : k + unzigzag(code - 1u);
    else
        return k + unzigzag(code);
}

// A row's value from its chain's integer and its own code.
template <bool IS_FLOAT>
std::uint64_t value_of(std::int64_t k, std::uint64_t code, unsigned scale) {
    if constexpr (IS_FLOAT)
        return code == 0 ? QUIET_NAN : f32_of(k, scale);
    else
        return static_cast<std::uint64_t>(k);
}

// Row t's value: its chain (rows t modulo lag) walked from its start in t's
// stretch between checkpoints.
template <typename Code, bool IS_FLOAT>
std::uint64_t decode_coded(const std::uint8_t* codes, std::size_t n, const CodedHead& head, unsigned t) {
    std::int64_t k = 0;
    Code code = 0;
    for (unsigned j = t - t % head.every + t % head.every % head.lag; j <= t; j += head.lag) {
        std::memcpy(&code, codes + j * sizeof(Code), sizeof(Code));
        k = chain_after<Code, IS_FLOAT>(k, code, codes, n, j);
    }
    return value_of<IS_FLOAT>(k, code, head.scale);
}

// decode_coded for the rows t..t + count - 1 of one block, in one walk of
// both chains from the start of t's stretch between checkpoints: there each
// chain starts from 0 (the block's first rows) or from an exception's value.
template <typename Code, bool IS_FLOAT>
void decode_coded_span(const std::uint8_t* codes, std::size_t n, const CodedHead& head, unsigned t, unsigned count,
                       std::uint8_t* out, std::size_t bytes) {
    std::int64_t k[2] = {0, 0};
    for (unsigned j = t - t % head.every; j < t + count; ++j) {
        std::int64_t& chain = k[j % head.lag];
        Code code;
        std::memcpy(&code, codes + j * sizeof(Code), sizeof(Code));
        chain = chain_after<Code, IS_FLOAT>(chain, code, codes, n, j);
        if (j >= t) store_bytes(out + (j - t) * bytes, value_of<IS_FLOAT>(chain, code, head.scale), bytes);
    }
}

template <bool IS_FLOAT>
std::uint64_t decode_width(const std::uint8_t* p, std::size_t n, unsigned t) {
    const CodedHead head(*p);
    return with_code_type(head.width, [&]<typename Code>() { return decode_coded<Code, IS_FLOAT>(p + 1, n, head, t); });
}

template <bool IS_FLOAT>
void decode_width_span(const std::uint8_t* p, std::size_t n, unsigned t, unsigned count, std::uint8_t* out,
                       std::size_t bytes) {
    const CodedHead head(*p);
    with_code_type(head.width,
                   [&]<typename Code>() { decode_coded_span<Code, IS_FLOAT>(p + 1, n, head, t, count, out, bytes); });
}

}  // namespace

void Column::read(std::uint64_t row, std::uint8_t* out, const Column* columns) const {
    read_in(block_of(row), row, out, columns);
}

void Column::read_in(const std::uint8_t* p, std::uint64_t row, std::uint8_t* out, const Column* columns) const {
    const std::size_t bytes = row_bytes_;
    if (!encoded_) {
        copy_bytes(out, data_ + row * bytes, bytes);
        return;
    }
    if (constant_) {
        copy_bytes(out, data_ + 16, bytes);
        return;
    }
    const auto t = static_cast<unsigned>(row % BLOCK_ROWS);
    switch (*p & 3) {
        case FORM_CONST: copy_bytes(out, p + 1, bytes); return;
        case FORM_RAW: copy_bytes(out, p + 1 + t * bytes, bytes); return;
        case FORM_CODED:
        {
            const std::size_t n = std::min<std::size_t>(BLOCK_ROWS, rows_ - (row - t));
            store_bytes(out, kind_ == Kind::f32 ? decode_width<true>(p, n, t) : decode_width<false>(p, n, t), bytes);
        }
            return;
        default: {
            const bool sparse = *p & 8;
            const std::uint8_t* e = p + 1 + (sparse ? bytes : 0);
            const unsigned count = *e++;
            for (unsigned i = 0; i < count; ++i, e += 1 + bytes)
                if (*e >= t) {
                    if (*e == t) {
                        copy_bytes(out, e + 1, bytes);
                        return;
                    }
                    break;
                }
            if (sparse)
                copy_bytes(out, p + 1, bytes);
            else
                columns[reference_].read(*p & 4 ? row + 1 : row - 1, out, columns);
        }
    }
}

void Column::read_span(const std::uint8_t* p, std::uint64_t row, std::size_t count, std::uint8_t* out,
                       const Column* columns) const {
    const std::size_t bytes = row_bytes_;
    if (encoded_ && !constant_ && (*p & 3) == FORM_CODED) {
        const auto t = static_cast<unsigned>(row % BLOCK_ROWS);
        const std::size_t n = std::min<std::size_t>(BLOCK_ROWS, rows_ - (row - t));
        if (kind_ == Kind::f32)
            decode_width_span<true>(p, n, t, static_cast<unsigned>(count), out, bytes);
        else
            decode_width_span<false>(p, n, t, static_cast<unsigned>(count), out, bytes);
        return;
    }
    if (encoded_ && !constant_ && (*p & 3) == FORM_SHIFT) {
        // The rows followed (those inside the column: a row with none is an
        // exception) read as a stretch of their own, then the exceptions.
        const bool sparse = *p & 8;
        if (sparse) {
            for (std::size_t i = 0; i < count; ++i) copy_bytes(out + i * bytes, p + 1, bytes);
        } else if (*p & 4) {
            columns[reference_].read_rows(row + 1, std::min<std::uint64_t>(count, rows_ - 1 - row), out, columns);
        } else {
            const std::size_t skip = row == 0 ? 1 : 0;
            columns[reference_].read_rows(row + skip - 1, count - skip, out + skip * bytes, columns);
        }
        const auto t = static_cast<unsigned>(row % BLOCK_ROWS);
        const std::uint8_t* e = p + 1 + (sparse ? bytes : 0);
        const unsigned exceptions = *e++;
        for (unsigned i = 0; i < exceptions; ++i, e += 1 + bytes)
            if (*e >= t && *e < t + count) copy_bytes(out + (*e - t) * bytes, e + 1, bytes);
        return;
    }
    for (std::size_t i = 0; i < count; ++i) read_in(p, row + i, out + i * bytes, columns);
}

void Column::read_rows(std::uint64_t row, std::size_t count, std::uint8_t* out, const Column* columns) const {
    while (count > 0) {
        const std::size_t n = std::min<std::size_t>(count, BLOCK_ROWS - row % BLOCK_ROWS);
        read_span(block_of(row), row, n, out, columns);
        row += n;
        count -= n;
        out += n * row_bytes_;
    }
}

// ---------------------------------------------------------------- a store's columns

Table::Table(std::vector<std::vector<Column>> parts, const std::vector<std::size_t>& part_rows) : parts_(std::move(parts)) {
    if (parts_.size() != part_rows.size()) refuse("the extra columns' parts differ from the store's");
    column_count_ = parts_.empty() ? 0 : parts_[0].size();
    part_first_row_.push_back(0);
    for (std::size_t p = 0; p < parts_.size(); ++p) {
        const std::vector<Column>& columns = parts_[p];
        if (columns.size() != column_count_) refuse("the parts differ in their extra columns");
        for (std::size_t c = 0; c < columns.size(); ++c) {
            const Column& column = columns[c];
            if (column.rows() != part_rows[p])
                refuse("extra column " + std::to_string(c) + " has " + std::to_string(column.rows()) +
                       " rows where its part has " + std::to_string(part_rows[p]));
            if (column.row_bytes() != parts_[0][c].row_bytes()) refuse("the parts differ in their extra columns");
            if (column.reference() < 0) continue;
            const auto r = static_cast<std::size_t>(column.reference());
            if (r >= columns.size() || r == c || columns[r].row_bytes() != column.row_bytes() ||
                columns[r].reference() >= 0 || (columns[r].is_encoded() && columns[r].kind() != column.kind()))
                refuse("extra column " + std::to_string(c) + " follows no column it can follow");
        }
        part_first_row_.push_back(part_first_row_.back() + part_rows[p]);
    }
}

void Table::gather(const std::uint64_t* indices, std::size_t count, std::uint8_t* const* out) const {
    const std::uint64_t total = rows();
    // Each row's part and row in it, then a column at a time, as a loop of
    // independent loads: the cache misses of random rows overlap.
    std::vector<std::uint32_t> part(count);
    std::vector<std::uint64_t> at(count);
    std::vector<const std::uint8_t*> blocks(count), followed(count);
    // Rows that follow each other in one block (a batch in order) are read
    // together, one walk of the block's chains for them all: each row's
    // stretch of such rows from it on (1 for a row alone).
    std::vector<std::uint32_t> stretch(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t row = indices[i];
        if (row >= total)
            refuse("index " + std::to_string(row) + " is out of range for " + std::to_string(total) + " positions");
        const auto p = parts_.size() == 1
                           ? 0
                           : static_cast<std::size_t>(std::upper_bound(part_first_row_.begin(), part_first_row_.end(), row) -
                                                      part_first_row_.begin() - 1);
        part[i] = static_cast<std::uint32_t>(p);
        at[i] = row - part_first_row_[p];
    }
    bool stretches = false;  // none in a shuffled batch: then no row asks
    for (std::size_t i = count; i-- > 0;) {
        const bool next_follows = i + 1 < count && at[i + 1] == at[i] + 1 && part[i + 1] == part[i] &&
                                  at[i + 1] % BLOCK_ROWS != 0;
        stretch[i] = next_follows ? stretch[i + 1] + 1 : 1;
        stretches |= next_follows;
    }
    for (std::size_t c = 0; c < column_count_; ++c) {
        std::uint8_t* const dst = out[c];
        if (!dst) continue;
        const std::size_t bytes = row_bytes(c);
        // One part's column kept as it is: a plain gather of fixed-size values.
        if (parts_.size() == 1 && parts_[0][c].values()) {
            const std::uint8_t* values = parts_[0][c].values();
            const auto take = [&]<std::size_t N>() {
                for (std::size_t i = 0; i < count; ++i) std::memcpy(dst + i * N, values + at[i] * N, N);
            };
            switch (bytes) {
                case 1: take.operator()<1>(); continue;
                case 2: take.operator()<2>(); continue;
                case 4: take.operator()<4>(); continue;
                case 8: take.operator()<8>(); continue;
                default: break;
            }
        }
        // Two passes, so that a row's index entry and then its block are
        // fetched well before they are read: each block's address from its
        // index entry, then the rows from their blocks. A column following
        // another reads most rows from the other's row beside it, nearly
        // always in the other's block of the same row: that block too.
        constexpr std::size_t INDEX_AHEAD = 16, AHEAD = 8;
        const auto fetch = [](const std::uint8_t* block) {
            if (!block) return;
            // A block's head, and the codes a row mostly reads (blocks of a
            // clock or an evaluation take one or two lines).
            __builtin_prefetch(block);
            __builtin_prefetch(block + 63);
        };
        // Compiled twice, so that a shuffled batch pays nothing for stretches.
        const auto read = [&]<bool STRETCHES>() {
            for (std::size_t i = 0; i < count; ++i) {
                if (i + INDEX_AHEAD < count) {
                    const std::vector<Column>& ahead = parts_[part[i + INDEX_AHEAD]];
                    ahead[c].prefetch_index(at[i + INDEX_AHEAD]);
                    if (ahead[c].reference() >= 0) ahead[ahead[c].reference()].prefetch_index(at[i + INDEX_AHEAD]);
                }
                // A row after the one before in its block: that one's blocks.
                if (STRETCHES && i > 0 && stretch[i - 1] > 1) {
                    blocks[i] = blocks[i - 1];
                    followed[i] = followed[i - 1];
                    continue;
                }
                const std::vector<Column>& columns = parts_[part[i]];
                blocks[i] = columns[c].block_of(at[i]);
                followed[i] = columns[c].reference() >= 0 ? columns[columns[c].reference()].block_of(at[i]) : nullptr;
            }
            for (std::size_t i = 0; i < count;) {
                if (i + AHEAD < count) {
                    fetch(blocks[i + AHEAD]);
                    fetch(followed[i + AHEAD]);
                }
                const std::vector<Column>& columns = parts_[part[i]];
                const std::size_t span = STRETCHES ? stretch[i] : 1;
                if (span == 1)
                    columns[c].read_in(blocks[i], at[i], dst + i * bytes, columns.data());
                else
                    columns[c].read_span(blocks[i], at[i], span, dst + i * bytes, columns.data());
                i += span;
            }
        };
        if (stretches)
            read.template operator()<true>();
        else
            read.template operator()<false>();
    }
}

}  // namespace velmor::store::extras
