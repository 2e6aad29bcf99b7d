#include "policy/mod.hpp"

namespace velmor::policy {

namespace {

constexpr std::string_view NAMES[SPACE_COUNT] = {"from_to", "uci", "alphazero"};

Entry on_board(unsigned from, int df, int dr, std::uint8_t promotion) {
    const int file = static_cast<int>(file_of(from)) + df;
    const int rank = static_cast<int>(rank_of(from)) + dr;
    if (file < 0 || file > 7 || rank < 0 || rank > 7) return {};
    return Entry{static_cast<std::int8_t>(from), static_cast<std::int8_t>(rank * 8 + file), promotion};
}

Entry alphazero_entry(unsigned from, unsigned plane) {
    if (plane < 56) {
        const auto* step = detail::QUEEN_STEPS[plane / 7];
        const int distance = static_cast<int>(plane % 7) + 1;
        return on_board(from, step[0] * distance, step[1] * distance, 0);
    }
    if (plane < 64) return on_board(from, detail::KNIGHT_STEPS[plane - 56][0], detail::KNIGHT_STEPS[plane - 56][1], 0);
    const unsigned under = plane - 64;
    const int dr = rank_of(from) == 6 ? 1 : rank_of(from) == 1 ? -1 : 0;
    if (dr == 0) return {};
    return on_board(from, static_cast<int>(under % 3) - 1, dr, static_cast<std::uint8_t>(under / 3 + 1));
}

}  // namespace

std::string_view space_name(Space space) { return NAMES[static_cast<std::size_t>(space)]; }

std::optional<Space> space_named(std::string_view name) {
    for (std::size_t i = 0; i < SPACE_COUNT; ++i)
        if (NAMES[i] == name) return static_cast<Space>(i);
    return std::nullopt;
}

Entry entry(Space space, std::size_t index) {
    switch (space) {
        case Space::from_to: {
            const auto from = static_cast<std::int8_t>(index / 64), to = static_cast<std::int8_t>(index % 64);
            return from == to ? Entry{} : Entry{from, to, 0};
        }
        case Space::uci: return detail::TABLES.uci_entries[index];
        case Space::alphazero:
            return alphazero_entry(static_cast<unsigned>(index / ALPHAZERO_PLANES),
                                   static_cast<unsigned>(index % ALPHAZERO_PLANES));
    }
    return {};
}

}  // namespace velmor::policy
