// Timings of the chess core without Python: generator construction, one legal
// listing, one move made and taken back, and perft in nodes per second beside
// Stockfish's own perft on the same positions.
//
//   native [--quick] [--repeats N] [--stockfish PATH]
//   native --perft DEPTH [--fen FEN]     one perft run only, for profilers
//
// Plain std::chrono rather than a benchmark framework: one program drives the
// micro timings and the long perft runs against an engine over a pipe, and
// prints the tables in the layout the Python comparison uses (median and
// minimum over interleaved repeats). It reports and never fails on a number;
// it exits non-zero only when a perft count is wrong.

#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "board/mod.hpp"
#include "move_generator/mod.hpp"
#include "support/mod.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// Keeps the optimiser from dropping a result or an allocation.
template <typename T>
void keep(T const& value) {
    asm volatile("" : : "g"(&value) : "memory");
}

double ns_since(Clock::time_point start) {
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count();
}

struct Stats {
    std::vector<double> samples;  // ns per call
    double median() const {
        std::vector<double> s = samples;
        std::sort(s.begin(), s.end());
        const std::size_t n = s.size();
        return n % 2 ? s[n / 2] : (s[n / 2 - 1] + s[n / 2]) / 2;
    }
    double min() const { return *std::min_element(samples.begin(), samples.end()); }
};

std::string fmt_time(double ns) {
    char buf[32];
    if (ns >= 1e9) std::snprintf(buf, sizeof buf, "%.3g s", ns / 1e9);
    else if (ns >= 1e6) std::snprintf(buf, sizeof buf, "%.3g ms", ns / 1e6);
    else if (ns >= 1e3) std::snprintf(buf, sizeof buf, "%.3g us", ns / 1e3);
    else std::snprintf(buf, sizeof buf, "%.3g ns", ns);
    return buf;
}

std::string fmt_count(double n) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.0f", n);
    std::string digits = buf, out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

// One timed case: a body run `k` times per sample, k chosen so a sample lasts
// at least `sample_ns`.
struct Case {
    Case(std::string name_, std::function<void(std::size_t)> body_) : name(std::move(name_)), body(std::move(body_)) {}

    std::string name;
    std::function<void(std::size_t)> body;  // runs the operation k times
    std::size_t k = 1;
    Stats stats;

    void calibrate(double sample_ns) {
        body(1);
        const auto start = Clock::now();
        body(1);
        const double once = std::max(ns_since(start), 1.0);
        k = static_cast<std::size_t>(std::max(1.0, sample_ns / once + 1));
    }
    void sample() {
        const auto start = Clock::now();
        body(k);
        stats.samples.push_back(ns_since(start) / static_cast<double>(k));
    }
};

void run_interleaved(std::vector<Case>& cases, int repeats, double sample_ns) {
    for (Case& c : cases) c.calibrate(sample_ns);
    for (int r = 0; r < repeats; ++r)
        for (std::size_t i = 0; i < cases.size(); ++i) cases[(i + r) % cases.size()].sample();
}

void print_cases(const std::vector<Case>& cases, const char* extra_head = nullptr,
                 const std::function<std::string(const Case&)>& extra = {}) {
    std::printf("  %-34s %12s %12s%s%s\n", "case", "median", "min", extra_head ? "  " : "", extra_head ? extra_head : "");
    for (const Case& c : cases) {
        std::printf("  %-34s %12s %12s", c.name.c_str(), fmt_time(c.stats.median()).c_str(),
                    fmt_time(c.stats.min()).c_str());
        if (extra) std::printf("  %s", extra(c).c_str());
        std::printf("\n");
    }
}

struct Position {
    const char* name;
    const char* fen;
};

constexpr const char* START = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -";
constexpr const char* KIWIPETE = "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -";

const Position LISTING_POSITIONS[] = {
    {"start", START},
    {"kiwipete", KIWIPETE},
    {"perft-3", "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - -"},
    {"perft-4", "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq -"},
    {"perft-5", "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ -"},
    {"perft-6", "r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - -"},
    {"middlegame", "r2q2k1/pp2prnp/3p4/2pPnpB1/8/2QB3R/PPP3PP/5R1K w - -"},
    {"endgame", "6k1/6pp/5p2/P1p5/2r5/3r2P1/3R1PKP/8 w - -"},
};

struct PerftCase {
    const char* name;
    const char* fen;
    unsigned depth;
    std::uint64_t nodes;
};

// ---------------------------------------------------------------------------
// Stockfish over UCI through a pair of pipes.

class Engine {
public:
    explicit Engine(const std::string& path) {
        int to_child[2], from_child[2];
        if (pipe(to_child) || pipe(from_child)) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(to_child[0], 0);
            dup2(from_child[1], 1);
            close(to_child[1]);
            close(from_child[0]);
            execlp(path.c_str(), path.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(to_child[0]);
        close(from_child[1]);
        in_ = fdopen(to_child[1], "w");
        out_ = fdopen(from_child[0], "r");
    }
    ~Engine() {
        if (in_) {
            send("quit");
            std::fclose(in_);
        }
        if (out_) std::fclose(out_);
        if (pid_ > 0) waitpid(pid_, nullptr, 0);
    }
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    void send(const std::string& line) {
        std::fputs(line.c_str(), in_);
        std::fputc('\n', in_);
        std::fflush(in_);
    }
    // Reads lines until one starts with `prefix`; returns it, or nothing at EOF.
    std::optional<std::string> wait_for(std::string_view prefix) {
        char buf[4096];
        while (std::fgets(buf, sizeof buf, out_)) {
            std::string line(buf);
            while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
            if (line.rfind(prefix, 0) == 0) return line;
        }
        return std::nullopt;
    }
    bool start() {
        if (pid_ <= 0 || !in_ || !out_) return false;
        send("uci");
        if (!wait_for("uciok")) return false;
        return ready();
    }
    bool ready() {
        send("isready");
        return wait_for("readyok").has_value();
    }
    // Nodes and nanoseconds of `go perft depth`, timed from the command to the
    // node count line.
    std::optional<std::pair<std::uint64_t, double>> perft(const char* fen, unsigned depth) {
        send(std::string_view(fen) == START ? std::string("position startpos") : std::string("position fen ") + fen);
        if (!ready()) return std::nullopt;
        const auto start = Clock::now();
        send("go perft " + std::to_string(depth));
        const std::optional<std::string> line = wait_for("Nodes searched:");
        const double ns = ns_since(start);
        if (!line) return std::nullopt;
        return std::pair{std::strtoull(line->c_str() + std::strlen("Nodes searched:"), nullptr, 10), ns};
    }

private:
    pid_t pid_ = -1;
    FILE* in_ = nullptr;
    FILE* out_ = nullptr;
};

int usage(const char* prog) {
    std::fprintf(stderr,
                 "usage: %s [--quick] [--repeats N] [--stockfish PATH]\n"
                 "       %s --perft DEPTH [--fen FEN]\n",
                 prog, prog);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    bool quick = false;
    int repeats = 0;
    std::string stockfish;
    int only_perft = -1;
    std::string fen = KIWIPETE;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--quick") quick = true;
        else if (arg == "--perft" && i + 1 < argc) only_perft = std::atoi(argv[++i]);
        else if (arg == "--fen" && i + 1 < argc) fen = argv[++i];
        else if (arg == "--repeats" && i + 1 < argc) repeats = std::atoi(argv[++i]);
        else if (arg == "--stockfish" && i + 1 < argc) stockfish = argv[++i];
        else return usage(argv[0]);
    }
    if (repeats <= 0) repeats = quick ? 5 : 9;
    const double sample_ns = quick ? 5e6 : 20e6;
    const int perft_repeats = quick ? 1 : 3;

    try {
        if (only_perft >= 0) {
            const velmor::MoveGenerator& generator = velmor::support::generator();
            velmor::Board board = velmor::board_from_fen(fen);
            const auto start = Clock::now();
            const std::uint64_t nodes = velmor::perft(generator, board, static_cast<unsigned>(only_perft));
            const double ns = ns_since(start);
            std::printf("perft %d: %llu nodes in %s, %s nodes/s\n", only_perft, static_cast<unsigned long long>(nodes),
                        fmt_time(ns).c_str(), fmt_count(static_cast<double>(nodes) / ns * 1e9).c_str());
            return 0;
        }

        // Generator construction against allocating and filling 4 MiB.
        std::printf("MoveGenerator construction (%d repeats):\n", repeats);
        {
            std::vector<Case> cases;
            cases.emplace_back("MoveGenerator()", [](std::size_t k) {
                                 for (std::size_t i = 0; i < k; ++i) {
                                     velmor::MoveGenerator g;
                                     keep(g);
                                 }
                             });
            cases.emplace_back("floor: new[] + fill 4 MiB", [](std::size_t k) {
                                 for (std::size_t i = 0; i < k; ++i) {
                                     std::unique_ptr<std::uint64_t[]> p(new std::uint64_t[512 * 1024]);
                                     std::fill_n(p.get(), 512 * 1024, std::uint64_t{1});
                                     keep(p[12345]);
                                 }
                             });
            cases.emplace_back("calloc 4 MiB (untouched)", [](std::size_t k) {
                                 for (std::size_t i = 0; i < k; ++i) {
                                     void* p = std::calloc(512 * 1024, 8);
                                     keep(p);
                                     std::free(p);
                                 }
                             });
            run_interleaved(cases, repeats, sample_ns);
            print_cases(cases);
        }

        const velmor::MoveGenerator& generator = velmor::support::generator();

        // One listing per call, and one move made and taken back.
        std::printf("\nLegal listing and push_move + pop_move (%d repeats):\n", repeats);
        {
            std::vector<velmor::Board> boards;
            std::vector<Case> list_cases, push_cases;
            boards.reserve(std::size(LISTING_POSITIONS));
            for (const Position& p : LISTING_POSITIONS) boards.push_back(velmor::board_from_fen(p.fen));
            for (std::size_t i = 0; i < boards.size(); ++i) {
                velmor::Board* board = &boards[i];
                list_cases.emplace_back(std::string("legal_moves ") + LISTING_POSITIONS[i].name,
                                      [board, &generator](std::size_t k) {
                                          velmor::MoveList moves;
                                          for (std::size_t j = 0; j < k; ++j) {
                                              generator.legal_moves(*board, moves);
                                              keep(moves);
                                          }
                                      });
                velmor::MoveList first;
                generator.legal_moves(*board, first);
                const velmor::ChessMove move = first[0];
                push_cases.emplace_back(std::string("push+pop ") + LISTING_POSITIONS[i].name + " " + move.text(),
                                      [board, move](std::size_t k) {
                                          for (std::size_t j = 0; j < k; ++j) {
                                              velmor::push_move(*board, move);
                                              velmor::pop_move(*board);
                                              keep(*board);
                                          }
                                      });
            }
            std::vector<std::size_t> counts;
            for (velmor::Board& b : boards) {
                velmor::MoveList moves;
                generator.legal_moves(b, moves);
                counts.push_back(moves.size());
            }
            run_interleaved(list_cases, repeats, sample_ns);
            run_interleaved(push_cases, repeats, sample_ns);
            std::size_t i = 0;
            print_cases(list_cases, "moves  ns/move", [&](const Case& c) {
                char buf[48];
                const std::size_t n = counts[i++];
                std::snprintf(buf, sizeof buf, "%5zu  %6.1f", n, c.stats.median() / static_cast<double>(n));
                return std::string(buf);
            });
            print_cases(push_cases);
        }

        // Perft: velmor, then Stockfish, on the same positions.
        const std::vector<PerftCase> perfts =
            quick ? std::vector<PerftCase>{{"kiwipete", KIWIPETE, 4, 4'085'603}, {"start", START, 5, 4'865'609}}
                  : std::vector<PerftCase>{{"kiwipete", KIWIPETE, 5, 193'690'690}, {"start", START, 6, 119'060'324}};
        std::printf("\nPerft, best and median of %d run%s each, one thread:\n", perft_repeats,
                    perft_repeats == 1 ? "" : "s");
        std::unique_ptr<Engine> engine;
        std::string engine_note;
        if (stockfish.empty()) {
            engine_note = "stockfish skipped: no --stockfish PATH given";
        } else {
            signal(SIGPIPE, SIG_IGN);  // an engine that dies must not take us with it
            engine = std::make_unique<Engine>(stockfish);
            if (!engine->start()) {
                engine.reset();
                engine_note = "stockfish skipped: " + stockfish + " did not answer over UCI";
            }
        }
        struct Row {
            std::string name;
            unsigned depth;
            std::uint64_t nodes;
            Stats velmor, engine;
        };
        std::vector<Row> rows;
        bool wrong = false;
        for (const PerftCase& pc : perfts) {
            Row row{pc.name, pc.depth, pc.nodes, {}, {}};
            for (int r = 0; r < perft_repeats; ++r) {
                velmor::Board board = velmor::board_from_fen(pc.fen);
                const auto start = Clock::now();
                const std::uint64_t nodes = velmor::perft(generator, board, pc.depth);
                row.velmor.samples.push_back(ns_since(start));
                if (nodes != pc.nodes) {
                    std::printf("  velmor perft %s depth %u: %llu nodes, expected %llu\n", pc.name, pc.depth,
                                static_cast<unsigned long long>(nodes), static_cast<unsigned long long>(pc.nodes));
                    wrong = true;
                }
                if (engine) {
                    const auto result = engine->perft(pc.fen, pc.depth);
                    if (!result) {
                        engine.reset();
                        engine_note = "stockfish stopped answering";
                    } else {
                        row.engine.samples.push_back(result->second);
                        if (result->first != pc.nodes) {
                            std::printf("  stockfish perft %s depth %u: %llu nodes, expected %llu\n", pc.name,
                                        pc.depth, static_cast<unsigned long long>(result->first),
                                        static_cast<unsigned long long>(pc.nodes));
                        }
                    }
                }
            }
            rows.push_back(std::move(row));
        }
        std::printf("  %-9s %5s %13s %15s %15s %10s %10s %9s\n", "position", "depth", "nodes", "velmor nodes/s",
                    "stockfish n/s", "velmor", "stockfish", "sf/velmor");
        for (const Row& row : rows) {
            const double nodes = static_cast<double>(row.nodes);
            const double v = nodes / row.velmor.min() * 1e9;
            std::printf("  %-9s %5u %13s %15s", row.name.c_str(), row.depth, fmt_count(nodes).c_str(),
                        fmt_count(v).c_str());
            if (!row.engine.samples.empty()) {
                const double s = nodes / row.engine.min() * 1e9;
                std::printf(" %15s %10s %10s %8.2fx\n", fmt_count(s).c_str(), fmt_time(row.velmor.min()).c_str(),
                            fmt_time(row.engine.min()).c_str(), s / v);
            } else {
                std::printf(" %15s %10s %10s %9s\n", "-", fmt_time(row.velmor.min()).c_str(), "-", "-");
            }
        }
        std::printf("  (nodes/s from the best run; medians: ");
        for (std::size_t i = 0; i < rows.size(); ++i) {
            std::printf("%s%s velmor %s", i ? "; " : "", rows[i].name.c_str(), fmt_time(rows[i].velmor.median()).c_str());
            if (!rows[i].engine.samples.empty())
                std::printf(", stockfish %s", fmt_time(rows[i].engine.median()).c_str());
        }
        std::printf(")\n  sf/velmor: how many times more nodes per second Stockfish counts. Stockfish's perft\n"
                    "  counts the last ply from its move list too; it is timed from `go perft` to its\n"
                    "  \"Nodes searched\" line.\n");
        if (!engine_note.empty()) std::printf("  %s\n", engine_note.c_str());
        return wrong ? 1 : 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "native benchmark failed: %s\n", e.what());
        return 1;
    }
}
