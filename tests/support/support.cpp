#include "support/mod.hpp"

#include <deque>
#include <fstream>
#include <iomanip>
#include <sstream>

namespace velmor::support {

const MoveGenerator& generator() {
    static const MoveGenerator instance;
    return instance;
}

// ---------------------------------------------------------------- snapshots

Snapshot Snapshot::without_hashes() const {
    Snapshot copy = *this;
    copy.hash64 = 0;
    copy.hash16 = 0;
    return copy;
}

Snapshot snapshot(const Board& board) {
    Snapshot s;
    s.planes = board.planes;
    s.state = board.state;
    s.hash64 = board.zobrist.hash64;
    s.hash16 = board.zobrist.hash16;
    for (const MoveRecord& record : board.move_history) s.moves.emplace_back(record.state_before, record.changed_planes);
    for (unsigned plane = 0; plane < PLANE_COUNT; ++plane)
        s.stacks[plane].assign(board.plane_history[plane].begin(), board.plane_history[plane].end());
    return s;
}

std::string hex(std::uint64_t value) {
    std::ostringstream out;
    out << "0x" << std::hex << std::setw(16) << std::setfill('0') << value;
    return out.str();
}

std::ostream& operator<<(std::ostream& out, const Snapshot& s) {
    out << "{planes";
    for (const Bitboard p : s.planes) out << ' ' << hex(p);
    out << "; state " << hex(s.state) << "; hash64 " << hex(s.hash64) << "; hash16 " << hex(s.hash16)
        << "; moves " << s.moves.size() << "; stack sizes";
    for (const auto& stack : s.stacks) out << ' ' << stack.size();
    return out << '}';
}

bool well_formed(const Board& board) {
    const Planes& p = board.planes;
    Bitboard occupied = 0;
    for (const Bitboard plane : p) {
        if (occupied & plane) return false;
        occupied |= plane;
    }
    const auto has = [&](unsigned plane, unsigned square) { return (p[plane] >> square) & 1; };
    for (const bool white : {true, false})
        for (const CastlingRule& rule : castling_rules(white))
            if ((board.state >> rule.right & 1) && has(first_plane_of(white) + KING, rule.king_from) &&
                !has(first_plane_of(white) + ROOK, rule.rook_from))
                return false;

    const bool white = board.white_to_move();
    if ((board.state >> en_passant_set(!white)) & 0xFF) return false;
    for (Bitboard files = (board.state >> en_passant_set(white)) & 0xFF; files;) {
        const unsigned file = pop_lsb(files);
        const unsigned target = square_at(file, white ? 5 : 2);
        const unsigned victim = square_at(file, white ? 4 : 3);
        if (occupied & square_bb(target)) return false;
        if (!has(first_plane_of(!white) + PAWN, victim)) return false;
    }
    return true;
}

// ---------------------------------------------------------------- perft files

std::optional<std::uint64_t> PerftEntry::count(unsigned depth) const {
    for (const auto& [d, nodes] : counts)
        if (d == depth) return nodes;
    return std::nullopt;
}

std::vector<PerftEntry> read_perft(const std::filesystem::path& path) {
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

namespace {

std::filesystem::path perft_path(const std::string& name) {
    return std::filesystem::path(VELMOR_SHARED_DIR) / "perft" / name;
}

}  // namespace

const std::vector<PerftEntry>* shared_perft(const std::string& name) {
    // A deque: adding a file's entries moves none of those handed out before.
    static std::deque<std::pair<std::string, std::optional<std::vector<PerftEntry>>>> cache;
    for (const auto& [cached_name, entries] : cache)
        if (cached_name == name) return entries ? &*entries : nullptr;
    std::optional<std::vector<PerftEntry>> entries;
    if (std::filesystem::is_regular_file(perft_path(name))) entries = read_perft(perft_path(name));
    if (entries && entries->empty()) entries.reset();
    cache.emplace_back(name, std::move(entries));
    return cache.back().second ? &*cache.back().second : nullptr;
}

std::string missing_perft_message(const std::string& name) {
    return "perft data " + perft_path(name).string() +
           " not found (the shared directory next to the repository is absent)";
}

bool is_xfen(const PerftEntry& entry) { return entry.id.rfind("xfen-", 0) == 0; }

}  // namespace velmor::support

namespace velmor {

std::ostream& operator<<(std::ostream& out, const HashDrift& drift) {
    return out << "{hash64 " << support::hex(drift.hash64) << ", hash16 " << support::hex(drift.hash16) << '}';
}

}  // namespace velmor
