// Shared pieces of the core tests: the perft files next to the repository,
// board snapshots for exact before/after comparisons, exception checks that
// look at both the type and the message, and move-list text.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>
#include <typeinfo>
#include <utility>
#include <vector>

#include "board/mod.hpp"
#include "chess_move/mod.hpp"
#include "common/mod.hpp"
#include "move_generator/mod.hpp"

namespace velmor::testing {

// ---------------------------------------------------------------- squares

// "e4" -> 28.
[[nodiscard]] constexpr unsigned sq(std::string_view name) {
    return static_cast<unsigned>(name[0] - 'a') + 8 * static_cast<unsigned>(name[1] - '1');
}

// The set of the named squares, e.g. bb({"a1", "h8"}).
[[nodiscard]] inline Bitboard bb(std::initializer_list<std::string_view> names) {
    Bitboard b = 0;
    for (const std::string_view name : names) b |= Bitboard{1} << sq(name);
    return b;
}

[[nodiscard]] inline std::string hex(std::uint64_t value) {
    std::ostringstream out;
    out << "0x" << std::hex << std::setw(16) << std::setfill('0') << value;
    return out.str();
}

// ---------------------------------------------------------------- perft files

[[nodiscard]] inline std::filesystem::path shared_dir() { return std::filesystem::path(VELMOR_SHARED_DIR); }

struct PerftEntry {
    std::string id;
    std::string fen;
    std::vector<std::pair<unsigned, std::uint64_t>> counts;  // (depth, nodes)

    [[nodiscard]] std::optional<std::uint64_t> count(unsigned depth) const {
        for (const auto& [d, nodes] : counts)
            if (d == depth) return nodes;
        return std::nullopt;
    }
};

// Reads the `id` / `epd` / `perft depth nodes` records; '#' starts a comment.
[[nodiscard]] inline std::vector<PerftEntry> read_perft(const std::filesystem::path& path) {
    std::vector<PerftEntry> entries;
    std::ifstream in(path);
    std::string line;
    std::string pending_id;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        const std::size_t space = line.find(' ');
        if (space == std::string::npos) continue;
        const std::string key = line.substr(0, space);
        const std::string rest = line.substr(space + 1);
        if (key == "id") {
            pending_id = rest;
        } else if (key == "epd") {
            entries.push_back(PerftEntry{pending_id, rest, {}});
            pending_id.clear();
        } else if (key == "perft" && !entries.empty()) {
            std::istringstream fields(rest);
            unsigned depth = 0;
            std::uint64_t nodes = 0;
            if (fields >> depth >> nodes) entries.back().counts.emplace_back(depth, nodes);
        }
    }
    return entries;
}

// The entries of a file in ../shared/perft, read once; nullptr when the file
// is not there (a clone without the shared directory).
[[nodiscard]] inline const std::vector<PerftEntry>* shared_perft(const std::string& name) {
    static std::vector<std::pair<std::string, std::optional<std::vector<PerftEntry>>>> cache;
    for (const auto& [cached_name, entries] : cache)
        if (cached_name == name) return entries ? &*entries : nullptr;
    const std::filesystem::path path = shared_dir() / "perft" / name;
    std::optional<std::vector<PerftEntry>> entries;
    if (std::filesystem::is_regular_file(path)) entries = read_perft(path);
    if (entries && entries->empty()) entries.reset();
    cache.emplace_back(name, std::move(entries));
    return cache.back().second ? &*cache.back().second : nullptr;
}

[[nodiscard]] inline std::string missing_perft_message(const std::string& name) {
    return "perft data " + (shared_dir() / "perft" / name).string() +
           " not found (the shared directory next to the repository is absent)";
}

[[nodiscard]] inline bool is_xfen(const PerftEntry& entry) { return entry.id.rfind("xfen-", 0) == 0; }

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
};

[[nodiscard]] inline Snapshot snapshot(const Board& board) {
    Snapshot s;
    s.planes = board.planes;
    s.state = board.state;
    s.hash64 = board.zobrist.hash64;
    s.hash16 = board.zobrist.hash16;
    for (const MoveRecord& record : board.move_history) s.moves.emplace_back(record.state_before, record.changed_planes);
    s.stacks = board.plane_history;
    return s;
}

inline std::ostream& operator<<(std::ostream& out, const Snapshot& s) {
    out << "{planes";
    for (const Bitboard p : s.planes) out << ' ' << hex(p);
    out << "; state " << hex(s.state) << "; hash64 " << hex(s.hash64) << "; hash16 " << hex(s.hash16)
        << "; moves " << s.moves.size() << "; stack sizes";
    for (const auto& stack : s.stacks) out << ' ' << stack.size();
    return out << '}';
}

[[nodiscard]] inline std::uint64_t full_hash64(const Board& board) {
    return full_hash(*board.zobrist.keys64, board.planes, board.state);
}
[[nodiscard]] inline std::uint16_t full_hash16(const Board& board) {
    return full_hash(*board.zobrist.keys16, board.planes, board.state);
}

// ---------------------------------------------------------------- exceptions

[[nodiscard]] inline const char* kind_name(const std::exception& e) {
    if (dynamic_cast<const Panic*>(&e)) return "velmor::Panic";
    if (dynamic_cast<const InvalidInput*>(&e)) return "velmor::InvalidInput";
    return typeid(e).name();
}

// Succeeds when f throws exactly E with exactly this what() text.
template <typename E, typename F>
[[nodiscard]] ::testing::AssertionResult throws_exactly(F&& f, std::string_view message) {
    try {
        f();
    } catch (const E& e) {
        if (std::string_view(e.what()) == message) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "threw " << kind_name(e) << " \"" << e.what() << "\", expected \""
                                             << message << "\"";
    } catch (const std::exception& e) {
        return ::testing::AssertionFailure() << "threw " << kind_name(e) << " \"" << e.what() << "\", expected "
                                             << typeid(E).name() << " \"" << message << "\"";
    } catch (...) {
        return ::testing::AssertionFailure() << "threw something that is no std::exception";
    }
    return ::testing::AssertionFailure() << "threw nothing, expected \"" << message << "\"";
}

template <typename F>
[[nodiscard]] ::testing::AssertionResult panics_with(F&& f, std::string_view message) {
    return throws_exactly<Panic>(std::forward<F>(f), message);
}

template <typename F>
[[nodiscard]] ::testing::AssertionResult refuses_with(F&& f, std::string_view message) {
    return throws_exactly<InvalidInput>(std::forward<F>(f), message);
}

// The what() text of an E thrown by f, or nullopt when f throws nothing;
// any other exception escapes to the test.
template <typename E, typename F>
[[nodiscard]] std::optional<std::string> caught(F&& f) {
    try {
        f();
    } catch (const E& e) {
        return std::string(e.what());
    }
    return std::nullopt;
}

// ---------------------------------------------------------------- move lists

[[nodiscard]] inline std::vector<std::string> words(std::string_view text) {
    std::vector<std::string> out;
    std::istringstream in{std::string(text)};
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

[[nodiscard]] inline std::vector<std::string> texts(const MoveList& list) {
    std::vector<std::string> out;
    for (const ChessMove move : list) out.push_back(move.text());
    return out;
}

// One generator for a whole test binary: building the tables is the slow part.
[[nodiscard]] inline const MoveGenerator& generator() {
    static const MoveGenerator instance;
    return instance;
}

[[nodiscard]] inline std::vector<std::string> legal_texts(Board& board) {
    MoveList list;
    generator().legal_moves(board, list);
    return texts(list);
}

}  // namespace velmor::testing
