#include "zobrist/mod.hpp"

namespace velmor {

ZobristBoardComponent ZobristBoardComponent::create(const std::array<Bitboard, 12>& planes, std::uint64_t state) {
    ZobristBoardComponent component;
    component.keys64 = std::make_shared<const Keys64>(zobrist::KEYS64);
    component.keys16 = std::make_shared<const Keys16>(zobrist::KEYS16);
    component.hash64 = full_hash(*component.keys64, planes, state);
    component.hash16 = full_hash(*component.keys16, planes, state);
    return component;
}

}  // namespace velmor
