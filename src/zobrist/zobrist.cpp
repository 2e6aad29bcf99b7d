#include "zobrist/mod.hpp"

namespace velmor {

ZobristBoardComponent ZobristBoardComponent::create(const std::array<Bitboard, 12>& planes, std::uint64_t state) {
    // Both hashes in one pass over the pieces and state bits.
    ZobristBoardComponent component;
    const auto add = [&](std::size_t index) {
        component.hash64 ^= zobrist::KEYS64[index];
        component.hash16 ^= zobrist::KEYS16[index];
    };
    for (unsigned plane = 0; plane < 12; ++plane)
        for (Bitboard b = planes[plane]; b;) add(plane * 64 + pop_lsb(b));
    for (Bitboard bits = state & ((Bitboard{1} << KEYED_STATE_BITS) - 1); bits;) add(STATE_KEY_BASE + pop_lsb(bits));
    return component;
}

}  // namespace velmor
