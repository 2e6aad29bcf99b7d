#include "zobrist/mod.hpp"

namespace velmor {

namespace {

// Both tables of a board in one allocation; the two shared references point
// into it and share its count, so the last board that refers to either frees
// both.
struct KeyTables {
    Keys64 keys64;
    Keys16 keys16;
};

}  // namespace

ZobristBoardComponent ZobristBoardComponent::create(const std::array<Bitboard, 12>& planes, std::uint64_t state) {
    const auto tables = std::make_shared<const KeyTables>(KeyTables{zobrist::KEYS64, zobrist::KEYS16});
    ZobristBoardComponent component;
    component.keys64 = std::shared_ptr<const Keys64>(tables, &tables->keys64);
    component.keys16 = std::shared_ptr<const Keys16>(tables, &tables->keys16);
    for (unsigned plane = 0; plane < 12; ++plane)
        for (Bitboard b = planes[plane]; b;) component.toggle(plane * 64 + pop_lsb(b));
    for (Bitboard bits = state & ((Bitboard{1} << 22) - 1); bits;) component.toggle(STATE_KEY_BASE + pop_lsb(bits));
    return component;
}

}  // namespace velmor
