// What the core tests, the fuzz targets and the native benchmark share: one
// move generator, board snapshots for exact before/after comparisons, the
// boards on which listed moves keep the hashes exact, and the reader of the
// shared perft files. Not part of the module.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "board/mod.hpp"
#include "move_generator/mod.hpp"

namespace velmor::support {

// One generator for a whole program: building the tables is the slow part.
[[nodiscard]] const MoveGenerator& generator();

// ---------------------------------------------------------------- snapshots

// Everything of a board that a caller can observe, for exact comparisons.
struct Snapshot {
    Planes planes{};
    std::uint64_t state = 0;
    std::uint64_t hash64 = 0;
    std::uint16_t hash16 = 0;
    std::vector<std::pair<std::uint64_t, std::uint16_t>> moves;
    std::array<std::vector<Bitboard>, 12> stacks;

    bool operator==(const Snapshot&) const = default;

    // The same snapshot with the hashes left out.
    [[nodiscard]] Snapshot without_hashes() const;
};

[[nodiscard]] Snapshot snapshot(const Board& board);

[[nodiscard]] std::string hex(std::uint64_t value);

std::ostream& operator<<(std::ostream& out, const Snapshot& s);

// The boards on which every listed move keeps the hashes exact: no square held
// twice, every castling right with its rook at home where its king is, and
// en-passant files only for the side to move, each with its victim and an
// empty target.
[[nodiscard]] bool well_formed(const Board& board);

// ---------------------------------------------------------------- perft files

struct PerftEntry {
    std::string id;
    std::string fen;
    std::vector<std::pair<unsigned, std::uint64_t>> counts;  // (depth, nodes)

    [[nodiscard]] std::optional<std::uint64_t> count(unsigned depth) const;
};

// Reads the `id` / `epd` / `perft depth nodes` records; '#' starts a comment.
[[nodiscard]] std::vector<PerftEntry> read_perft(const std::filesystem::path& path);

// The entries of a file in ../shared/perft, read once; nullptr when the file
// is not there (a clone without the shared directory).
[[nodiscard]] const std::vector<PerftEntry>* shared_perft(const std::string& name);

// Why shared_perft(name) gave nothing, for a test's skip message.
[[nodiscard]] std::string missing_perft_message(const std::string& name);

// Entries in another castling notation, which this system does not read.
[[nodiscard]] bool is_xfen(const PerftEntry& entry);

}  // namespace velmor::support

namespace velmor {

// For test messages: found by argument-dependent lookup.
std::ostream& operator<<(std::ostream& out, const HashDrift& drift);

}  // namespace velmor
