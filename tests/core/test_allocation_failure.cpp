// A move that cannot be made for want of memory leaves the board exactly as
// it was: planes, state, hashes and every history. The global allocator of
// this test binary can be told to fail its n-th allocation from now on.
#include <cstdlib>
#include <new>

#include "helpers.hpp"

namespace {

// 0: never fail; n: the n-th allocation from now fails (one shot).
thread_local long failing_allocation = 0;

}  // namespace

// The replacements are a matched pair; GCC sees free() inlined where a
// delete-expression was written and warns all the same.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t size) {
    if (failing_allocation > 0 && --failing_allocation == 0) throw std::bad_alloc();
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace velmor::testing {
namespace {

// Runs `change` on a fresh copy of `board` with the n-th allocation failing,
// for n = 1, 2, ... until the change no longer reaches the failing one.
// Every failure must leave the copy as it was; returns the number of failures.
template <typename Change>
int fail_each_allocation(const Board& board, Change change) {
    for (long n = 1;; ++n) {
        Board copy(board);
        const Snapshot before = snapshot(copy);
        failing_allocation = n;
        try {
            change(copy);
        } catch (const std::bad_alloc&) {
            failing_allocation = 0;
            EXPECT_EQ(snapshot(copy), before) << "allocation " << n;
            continue;
        }
        failing_allocation = 0;
        return static_cast<int>(n - 1);
    }
}

// Each move saves one to four planes and appends its record; with the
// histories empty every one of those appends allocates.
TEST(AllocationFailure, FailedPushLeavesTheBoardAsItWas) {
    struct Case {
        const char* fen;
        const char* move;
        int allocations;
    };
    for (const Case& c : {
             Case{"4k3/8/8/8/8/8/8/4K3 w - -", "e1e2", 2},                    // king and record
             Case{"4k3/8/8/3p4/4P3/8/8/4K3 w - -", "e4d5", 3},                // and the captured pawn
             Case{"4k3/8/8/8/8/8/8/4K2R w K -", "e1g1", 3},                   // and the castling rook
             Case{"1r2k3/P7/8/8/8/8/8/4K3 w - -", "a7b8q", 4},                // pawn, rook, queen, record
         }) {
        Board board = board_from_fen(c.fen);
        EXPECT_EQ(fail_each_allocation(board, [&](Board& b) { push_text(b, c.move); }), c.allocations) << c.move;
    }
}

// On a board that is no real position (here: two kings of the side to move)
// the listing makes and takes back every candidate on the caller's board.
TEST(AllocationFailure, FailedListingLeavesTheBoardAsItWas) {
    for (const char* fen : {"r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2K w kq -",
                            "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/K7 w - -"}) {
        Board board = board_from_fen(fen);
        const MoveGenerator& tables = generator();  // built before any allocation fails
        const int failures = fail_each_allocation(board, [&](Board& b) {
            MoveList moves;
            tables.legal_moves(b, moves);
        });
        EXPECT_GE(failures, 2) << fen;
    }
}

}  // namespace
}  // namespace velmor::testing
