#include "zobrist/mod.hpp"

#include <cstring>

namespace velmor {

ZobristBoardComponent ZobristBoardComponent::create(const std::array<Bitboard, 12>& planes, std::uint64_t state) {
    // Filled straight from the compiled-in keys, without a zeroing pass.
    std::shared_ptr<KeyTables> tables = std::make_shared_for_overwrite<KeyTables>();
    std::memcpy(tables->keys64.data(), zobrist::KEYS64.data(), sizeof(Keys64));
    std::memcpy(tables->keys16.data(), zobrist::KEYS16.data(), sizeof(Keys16));

    // Both hashes in one pass over the pieces and state bits.
    ZobristBoardComponent component;
    std::uint64_t hash64 = 0;
    std::uint16_t hash16 = 0;
    const auto add = [&](std::size_t index) {
        hash64 ^= zobrist::KEYS64[index];
        hash16 ^= zobrist::KEYS16[index];
    };
    for (unsigned plane = 0; plane < 12; ++plane)
        for (Bitboard b = planes[plane]; b;) add(plane * 64 + pop_lsb(b));
    for (Bitboard bits = state & ((Bitboard{1} << 22) - 1); bits;) add(STATE_KEY_BASE + pop_lsb(bits));
    component.hash64 = hash64;
    component.hash16 = hash16;
    component.keys64 = &tables->keys64;
    component.keys16 = &tables->keys16;
    component.tables = std::move(tables);
    return component;
}

}  // namespace velmor
