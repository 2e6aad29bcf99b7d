// A board from fuzzed FEN text, then a byte-driven sequence of operations on
// it: listed moves, arbitrary move words, take-backs, copies, reflections and
// listings. After each one the board's bookkeeping must hold together.
//
// Input: FEN text up to the first newline, then one byte per operation (some
// operations read one or two more bytes).
#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "board/mod.hpp"
#include "fuzz_common.hpp"
#include "move_generator/mod.hpp"
#include "support/mod.hpp"

using namespace velmor;

namespace {

using support::generator;
using support::Snapshot;
using support::snapshot;
using support::well_formed;

bool hashes_are_full(const Board& board) { return hash_drift(board) == HashDrift{}; }

void check_board(const Board& board) {
    const char* fault = board_fault(board, Hashes::unchecked);
    FUZZ_CHECK(fault == nullptr, fault);
}

bool planes_disjoint(const Board& board) {
    Bitboard seen = 0;
    for (const Bitboard plane : board.planes) {
        if (seen & plane) return false;
        seen |= plane;
    }
    return true;
}

bool side_has_king(const Board& board) { return board.planes[board.white_to_move() ? KING : 6 + KING] != 0; }

// Lists the moves; only a side without a king, or a board where one square
// holds two pieces, may make the listing fail (there a candidate can be made by
// the other side's piece under the mover's and capture the mover's own king),
// and then the board must be as it was. Either way the board is unchanged after,
// hashes included where make and take-back keep them exact.
std::optional<std::vector<ChessMove>> list(Board& board) {
    const Snapshot before = snapshot(board);
    const bool exact = well_formed(board) && hashes_are_full(board);
    const auto unchanged = [&] {
        const Snapshot now = snapshot(board);
        return exact ? now == before : now.without_hashes() == before.without_hashes();
    };
    MoveList moves;
    try {
        generator().legal_moves(board, moves);
    } catch (const Panic&) {
        FUZZ_CHECK(!side_has_king(board) || !planes_disjoint(board),
                   "legal_moves failed on disjoint planes although the side to move has a king");
        FUZZ_CHECK(unchanged(), "failed legal_moves left the board changed");
        return std::nullopt;
    }
    FUZZ_CHECK(unchanged(), "legal_moves left the board changed");
    std::vector<ChessMove> result(moves.begin(), moves.end());
    std::vector<std::uint16_t> words;
    for (const ChessMove move : result) words.push_back(move.word);
    std::sort(words.begin(), words.end());
    // Two pieces of one side on a square (an illegal push can make that) may
    // both reach a target, so only boards without overlaps list each once.
    FUZZ_CHECK(!planes_disjoint(board) || std::adjacent_find(words.begin(), words.end()) == words.end(),
               "legal_moves listed a move twice");
    return result;
}

// Pushes move text; on success checks that a pop on a copy restores the
// board exactly, and the hashes where the rules say they must be exact.
void push(Board& board, const std::string& text, bool listed) {
    const Snapshot before = snapshot(board);
    const bool exact_before = hashes_are_full(board);
    const bool formed_before = well_formed(board);
    try {
        push_text(board, text);
    } catch (const InvalidInput&) {
        FUZZ_CHECK(!listed, "a listed move was refused");
        FUZZ_CHECK(snapshot(board) == before, "a refused move changed the board");
        return;
    } catch (const Panic&) {
        FUZZ_CHECK(!listed, "a listed move panicked");
        FUZZ_CHECK(snapshot(board) == before, "a panicking move changed the board");
        return;
    }
    FUZZ_CHECK(board.move_history.size() == before.moves.size() + 1, "push did not add one move record");
    check_board(board);
    const bool exact_after = hashes_are_full(board);
    if (listed && exact_before && formed_before) {
        FUZZ_CHECK(exact_after, "hash differs from the full hash after a listed move");
        FUZZ_CHECK(well_formed(board), "a listed move broke a well-formed board");
    }

    Board undo = board;
    pop_move(undo);
    Snapshot restored = snapshot(undo);
    if (!(exact_before && exact_after)) {
        // The hashes follow the toggles push made; the rest must be exact.
        restored.hash64 = before.hash64;
        restored.hash16 = before.hash16;
    }
    FUZZ_CHECK(restored == before, "push then pop did not restore the board");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input = as_text(data, size);
    const std::size_t newline = std::min(input.find('\n'), input.size());
    std::optional<Board> start;
    try {
        start = board_from_fen(input.substr(0, newline));
    } catch (const Panic&) {
    } catch (const InvalidInput&) {
    }
    if (!start) return 0;
    Board board = std::move(*start);

    std::size_t pos = newline + 1;
    const auto next = [&]() -> unsigned { return pos < size ? data[pos++] : 0; };
    for (unsigned steps = 0; pos < size && steps < 256; ++steps) {
        const unsigned op = next() % 8;
        switch (op) {
            case 0: case 1: case 2: {  // a listed move
                const unsigned choice = next();
                if (const auto moves = list(board); moves && !moves->empty())
                    push(board, (*moves)[choice % moves->size()].text(), true);
                break;
            }
            case 3: {  // an arbitrary word, through its text
                const unsigned low = next();
                const unsigned high = next();
                const ChessMove move = ChessMove::pack(low & 63, ((low >> 6) | (high << 2)) & 63, (high >> 4) & 7);
                push(board, move.text(), false);
                break;
            }
            case 4: {  // take back
                const Snapshot before = snapshot(board);
                if (board.move_history.empty()) {
                    bool failed = false;
                    try {
                        pop_move(board);
                    } catch (const Panic&) {
                        failed = true;
                    }
                    FUZZ_CHECK(failed, "pop on an empty history did not fail");
                    FUZZ_CHECK(snapshot(board) == before, "failed pop changed the board");
                } else {
                    const HashDrift drift = hash_drift(board);
                    pop_move(board);
                    FUZZ_CHECK(board.move_history.size() + 1 == before.moves.size(), "pop removed no record");
                    FUZZ_CHECK(hash_drift(board) == drift, "pop changed the hashes' drift");
                }
                break;
            }
            case 5: {  // copy: equal, then independent of the original
                Board copy = board;
                FUZZ_CHECK(snapshot(copy) == snapshot(board), "copy differs from its source");
                const Snapshot source = snapshot(board);
                if (!copy.move_history.empty()) pop_move(copy);
                else reflect(copy);
                FUZZ_CHECK(snapshot(board) == source, "changing a copy changed its source");
                if (next() & 1) board = std::move(copy);
                break;
            }
            case 6: {  // reflect
                const Snapshot before = snapshot(board);
                reflect(board);
                FUZZ_CHECK(hashes_are_full(board), "hash differs from the full hash after reflect");
                FUZZ_CHECK(board.move_history.empty(), "reflect kept the move history");
                FUZZ_CHECK((board.state ^ before.state) & 1, "reflect did not change the side to move");
                FUZZ_CHECK(board.state >> 21 == before.state >> 21, "reflect changed state bits above 20");
                Board twice = board;
                reflect(twice);
                FUZZ_CHECK(twice.planes == before.planes && twice.state == before.state, "reflect twice is not identity");
                break;
            }
            default:  // list only
                (void)list(board);
                break;
        }
        check_board(board);
    }
    return 0;
}
