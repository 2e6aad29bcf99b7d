// Position hashing: two key tables of 790 keys, compiled in and shared by
// every board, and the 64-bit and 16-bit hashes built from them, kept current
// by the make/unmake code.
//
// Key index: plane * 64 + square (0-767) for pieces, 768 + b for state bit b
// (0 <= b <= 21).
#pragma once

#include <array>
#include <cstdint>

#include "common/mod.hpp"

namespace velmor {

inline constexpr std::size_t KEY_COUNT = 790;
inline constexpr std::size_t STATE_KEY_BASE = 768;
// State-word bits 0-21 have keys; the bits above have none.
inline constexpr unsigned KEYED_STATE_BITS = KEY_COUNT - STATE_KEY_BASE;
static_assert(KEYED_STATE_BITS == 22);

using Keys64 = std::array<std::uint64_t, KEY_COUNT>;
using Keys16 = std::array<std::uint16_t, KEY_COUNT>;

namespace zobrist {

inline constexpr std::uint64_t MULTIPLIER = 6364136223846793005ULL;

// The XSH-RR output permutation, kept in 64 bits: x is not narrowed before
// the rotation, so the outputs are 64-bit values.
[[nodiscard]] constexpr std::uint64_t output(std::uint64_t s) {
    const std::uint64_t x = ((s >> 18) ^ s) >> 27;
    const unsigned r = static_cast<unsigned>(s >> 59);
    return (x >> r) | (x << ((32 - r) % 32));
}

template <typename Key>
[[nodiscard]] constexpr std::array<Key, KEY_COUNT> generate(std::uint64_t state, std::uint64_t increment) {
    std::array<Key, KEY_COUNT> keys{};
    for (auto& key : keys) {
        key = static_cast<Key>(output(state));
        state = state * MULTIPLIER + increment;
    }
    return keys;
}

// The generator runs once, at compile time. These two tables are the only
// ones: every board of the process hashes with them, and they are never
// written, so no board needs a pair or a share count of its own.
inline constexpr Keys64 KEYS64 = generate<std::uint64_t>(9, 9);
inline constexpr Keys16 KEYS16 = generate<std::uint16_t>(0x6155577cdbecb307ULL, 3);

static_assert(KEYS64[0] == 0);
static_assert(KEYS64[1] == 0x6b864cbf6b864cbfULL);
static_assert(KEYS64[768] == 0x71ede8cd71ede8cdULL);
static_assert(KEYS16[0] == 0xaa9e && KEYS16[1] == 0xbff4 && KEYS16[768] == 0x66aa);

}  // namespace zobrist

struct ZobristBoardComponent {
    // The process-wide tables, the same for every board.
    static constexpr const Keys64* keys64 = &zobrist::KEYS64;
    static constexpr const Keys16* keys16 = &zobrist::KEYS16;
    std::uint64_t hash64 = 0;
    std::uint16_t hash16 = 0;

    // The full hashes of the position.
    [[nodiscard]] static ZobristBoardComponent create(const std::array<Bitboard, 12>& planes, std::uint64_t state);

    void toggle_piece(unsigned plane, unsigned square) { toggle(plane * 64 + square); }
    void toggle_state_bit(unsigned bit) { toggle(STATE_KEY_BASE + bit); }

    void toggle(std::size_t index) {
        if (index >= KEY_COUNT) [[unlikely]]
            panic_index(KEY_COUNT, index);
        hash64 ^= zobrist::KEYS64[index];
        hash16 ^= zobrist::KEYS16[index];
    }
};

// The full hash of a position with the given table: every piece key, then the
// keys of the set state bits 0-21.
template <typename Key>
[[nodiscard]] Key full_hash(const std::array<Key, KEY_COUNT>& keys, const std::array<Bitboard, 12>& planes,
                            std::uint64_t state) {
    Key hash = 0;
    for (unsigned plane = 0; plane < 12; ++plane)
        for (Bitboard b = planes[plane]; b;) hash ^= keys[plane * 64 + pop_lsb(b)];
    for (Bitboard bits = state & ((Bitboard{1} << KEYED_STATE_BITS) - 1); bits;)
        hash ^= keys[STATE_KEY_BASE + pop_lsb(bits)];
    return hash;
}

}  // namespace velmor
