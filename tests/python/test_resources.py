"""Memory and reference checks: repeated calls of every entry point, success
and error paths alike, must leave the process's memory and the reference
counts of their arguments where they were.

Three detectors, from fine to coarse:

* ``sys.getallocatedblocks()``: the interpreter's count of live blocks; a
  leaked result string, list or exception shows up as growth proportional to
  the number of calls.
* ``sys.getrefcount`` of the argument objects: a missing decref of an
  argument shows up as a rising count.
* the resident set size from /proc/self/statm: native memory (board records,
  history stacks, key tables, attack tables) that is never freed.

``VELMOR_LONG=1`` runs a million calls per entry point. Under
``VELMOR_SANITIZED=1`` (scripts/sanitize) the counts are small and the RSS
checks are skipped: AddressSanitizer holds freed memory in quarantine, so
RSS grows there by design; its own leak check covers that build.
"""

from __future__ import annotations

import gc
import os
import sys
from collections.abc import Callable
from pathlib import Path

import pytest

import velmor_chess

LONG = os.environ.get("VELMOR_LONG") == "1"
SANITIZED = os.environ.get("VELMOR_SANITIZED") == "1"
CALLS = 1_000_000 if LONG else 200 if SANITIZED else 20_000
STATM = Path("/proc/self/statm")
PAGE = os.sysconf("SC_PAGE_SIZE") if hasattr(os, "sysconf") else 4096
MIB = 1 << 20

KIWIPETE = "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -"
GENERATOR = velmor_chess.MoveGenerator()


def rss() -> int:
    return int(STATM.read_text().split()[1]) * PAGE


def fresh(text: str) -> str:
    # A string object of its own (not interned, not shared with constants), so
    # its reference count belongs to this test alone.
    return "".join(list(text))


def expect_failure(kind: type[BaseException], call: Callable[[], object]) -> None:
    try:
        call()
    except kind:
        return
    raise AssertionError(f"{call} did not raise {kind.__name__}")


def panics(call: Callable[[], object]) -> Callable[[], None]:
    def run() -> None:
        try:
            call()
        except Exception:
            raise
        except BaseException as exc:  # the module's panic exception derives from BaseException only
            assert type(exc).__name__ == "PanicException"
            return
        raise AssertionError("no panic")

    return run


def push_pop_listed(board: velmor_chess.Board) -> None:
    for move in GENERATOR(board):
        board.push(move)
        board.pop()


def reflect_with_history() -> None:
    board = velmor_chess.Board()
    board.push("e2e4")
    board.reflect()
    board.reflect()


KINGLESS = velmor_chess.Board("8/8/8/8/8/8/8/R7 w - -")
BOARD = velmor_chess.Board(KIWIPETE)
EMPTY = velmor_chess.Board("8/8/8/8/8/8/8/8 w - -")
PROMOTING = velmor_chess.Board("4k3/P7/8/8/8/8/8/4K3 w - -")

# name -> (call, weight): the weight divides the call count for calls that do
# much work each.
ENTRIES: dict[str, tuple[Callable[[], object], int]] = {
    "Board()": (lambda: velmor_chess.Board(), 1),
    "Board(fen)": (lambda: velmor_chess.Board(KIWIPETE), 1),
    "Board(fen=... with counters)": (lambda: velmor_chess.Board(fen=KIWIPETE + " 0 1"), 1),
    "fen()": (BOARD.fen, 1),
    "bitboard()": (BOARD.bitboard, 1),
    "bitboard_from_fen()": (lambda: velmor_chess.Board.bitboard_from_fen(KIWIPETE), 1),
    "turn()": (BOARD.turn, 1),
    "copy()": (BOARD.copy, 1),
    "reflect()": (reflect_with_history, 1),
    "push()/pop() of every listed move": (lambda: push_pop_listed(BOARD), 20),
    "generator(board)": (lambda: GENERATOR(BOARD), 4),
    "generator(board=board)": (lambda: GENERATOR(board=BOARD), 4),
    "generator() on no moves": (lambda: GENERATOR(EMPTY), 1),
    "TypeError Board(None)": (lambda: expect_failure(TypeError, lambda: velmor_chess.Board(None)), 1),  # type: ignore[arg-type]
    "TypeError Board(a, b)": (lambda: expect_failure(TypeError, lambda: velmor_chess.Board("a", "b")), 1),  # type: ignore[call-arg]
    "TypeError Board(position=)": (
        lambda: expect_failure(TypeError, lambda: velmor_chess.Board(position="x")),  # type: ignore[call-arg]
        1,
    ),
    "ValueError side to move": (lambda: expect_failure(ValueError, lambda: velmor_chess.Board("8/8/8/8/8/8/8/8 x - -")), 1),
    "ValueError castling": (lambda: expect_failure(ValueError, lambda: velmor_chess.Board("8/8/8/8/8/8/8/8 w KX -")), 1),
    "panic piece type": (panics(lambda: velmor_chess.Board("8/8/8/8/8/8/8/7x w - -")), 1),
    "panic missing field": (panics(lambda: velmor_chess.Board("8/8/8/8/8/8/8/8 w")), 1),
    "panic bitboard_from_fen('')": (panics(lambda: velmor_chess.Board.bitboard_from_fen("")), 1),
    "TypeError bitboard_from_fen()": (
        lambda: expect_failure(TypeError, lambda: velmor_chess.Board.bitboard_from_fen()),  # type: ignore[call-arg]
        1,
    ),
    "ValueError push('e2')": (lambda: expect_failure(ValueError, lambda: BOARD.push("e2")), 1),
    "ValueError push('e7e8k')": (lambda: expect_failure(ValueError, lambda: BOARD.push("e7e8k")), 1),
    "ValueError push of a promotion without letter": (lambda: expect_failure(ValueError, lambda: PROMOTING.push("a7a8")), 1),
    "panic push('E2E4')": (panics(lambda: BOARD.push("E2E4")), 1),
    "panic push from an empty square": (panics(lambda: BOARD.push("d4d5")), 1),
    "TypeError push(42)": (lambda: expect_failure(TypeError, lambda: BOARD.push(42)), 1),  # type: ignore[arg-type]
    "TypeError push()": (lambda: expect_failure(TypeError, lambda: BOARD.push()), 1),  # type: ignore[call-arg]
    "panic pop() on no history": (panics(EMPTY.pop), 1),
    "TypeError generator('x')": (lambda: expect_failure(TypeError, lambda: GENERATOR("x")), 1),  # type: ignore[arg-type]
    "TypeError generator()": (lambda: expect_failure(TypeError, lambda: GENERATOR()), 1),  # type: ignore[call-arg]
    "TypeError MoveGenerator(1)": (lambda: expect_failure(TypeError, lambda: velmor_chess.MoveGenerator(1)), 1),  # type: ignore[call-arg]
    "panic generator on a side without king": (panics(lambda: GENERATOR(KINGLESS)), 1),
}


@pytest.mark.parametrize("name", list(ENTRIES))
def test_repeated_calls_leave_memory_flat(name: str, capfd: pytest.CaptureFixture[str]) -> None:
    call, weight = ENTRIES[name]
    calls = max(CALLS // weight, 50)
    before_fen = BOARD.fen()
    for _ in range(max(calls // 10, 10)):  # warm-up: caches, free lists, arena growth
        call()
    gc.collect()
    blocks, resident = sys.getallocatedblocks(), rss() if STATM.exists() else 0
    for _ in range(calls):
        call()
    gc.collect()
    grown_blocks = sys.getallocatedblocks() - blocks
    # Each panic writes one diagnostic line to standard error; drop them.
    capfd.readouterr()
    assert BOARD.fen() == before_fen
    # Fewer new blocks than one per hundred calls: a leak per call is far above.
    assert grown_blocks < max(calls // 100, 20), f"{grown_blocks} blocks more after {calls} calls of {name}"
    if STATM.exists() and not SANITIZED:
        grown = rss() - resident
        assert grown < 4 * MIB, f"RSS grew by {grown / MIB:.1f} MiB after {calls} calls of {name}"


@pytest.mark.parametrize(
    ("name", "call"),
    [
        ("Board(fen)", lambda s: velmor_chess.Board(s)),
        ("Board(fen=)", lambda s: velmor_chess.Board(fen=s)),
        ("bitboard_from_fen", lambda s: velmor_chess.Board.bitboard_from_fen(s)),
        ("bitboard_from_fen(fen=)", lambda s: velmor_chess.Board.bitboard_from_fen(fen=s)),
    ],
)
@pytest.mark.parametrize(
    "text",
    [KIWIPETE, "8/8/8/8/8/8/8/8 x - -", "8/8/8/8/8/8/8/7x w - -", "8/8 w", "8/8/8/8/8/8/8/8 w KX -"],
)
def test_fen_argument_refcounts_return_to_start(name: str, call: Callable[[str], object], text: str) -> None:
    argument = fresh(text)
    start = sys.getrefcount(argument)
    for _ in range(min(CALLS, 2_000)):
        try:
            call(argument)
        except BaseException as exc:  # noqa: BLE001 - every outcome must release the argument
            if isinstance(exc, (KeyboardInterrupt, SystemExit)):
                raise
    gc.collect()
    assert sys.getrefcount(argument) == start


@pytest.mark.parametrize("text", ["e2a6", "e2a6 ", "e2", "e7e8k", "E2E4", "d4d5", "a1a1q"])
def test_move_argument_refcounts_return_to_start(text: str) -> None:
    board = velmor_chess.Board(KIWIPETE)
    argument = fresh(text)
    start = sys.getrefcount(argument)
    board_start = sys.getrefcount(board)
    for _ in range(min(CALLS, 2_000)):
        try:
            board.push(argument)
            board.pop()
        except BaseException as exc:  # noqa: BLE001
            if isinstance(exc, (KeyboardInterrupt, SystemExit)):
                raise
        try:
            board.push(chess_move=argument)
            board.pop()
        except BaseException as exc:  # noqa: BLE001
            if isinstance(exc, (KeyboardInterrupt, SystemExit)):
                raise
    gc.collect()
    assert sys.getrefcount(argument) == start
    assert sys.getrefcount(board) == board_start
    assert board.fen() == KIWIPETE


def test_boards_and_generators_passed_around_keep_their_refcounts() -> None:
    board = velmor_chess.Board(KIWIPETE)
    generator = velmor_chess.MoveGenerator()
    start_board, start_generator = sys.getrefcount(board), sys.getrefcount(generator)
    for _ in range(min(CALLS, 5_000)):
        generator(board)
        generator(board=board)
        board.copy()
        board.fen()
        try:
            generator(board, board)  # type: ignore[call-arg]
        except TypeError:
            pass
    gc.collect()
    assert sys.getrefcount(board) == start_board
    assert sys.getrefcount(generator) == start_generator


@pytest.mark.parametrize(
    "make",
    [
        lambda b: b.fen(),
        lambda b: b.turn(),
        lambda b: b.bitboard(),
        lambda b: GENERATOR(b),
        lambda b: b.copy(),
        lambda b: velmor_chess.Board.bitboard_from_fen(b.fen()),
    ],
    ids=["fen", "turn", "bitboard", "generator", "copy", "bitboard_from_fen"],
)
def test_results_are_owned_by_the_caller_alone(make: Callable[[velmor_chess.Board], object]) -> None:
    board = velmor_chess.Board()
    result = make(board)
    # One reference from the name, one from getrefcount's argument.
    assert sys.getrefcount(result) == 2
    if isinstance(result, list):
        # Each plane: the list, the loop name and the argument. (A listing's
        # texts are shared; the test below follows their references.)
        assert all(sys.getrefcount(item) == 3 for item in result if isinstance(item, list))


def test_listed_texts_are_shared_and_given_back() -> None:
    # Each move text is one shared str; a listing takes one reference to it
    # per move and its list gives it back.
    board = velmor_chess.Board()
    first = GENERATOR(board)
    before = [sys.getrefcount(text) for text in first]
    again = GENERATOR(board)
    assert all(a is b for a, b in zip(first, again, strict=True))
    assert [sys.getrefcount(text) for text in first] == [count + 1 for count in before]
    del again
    assert [sys.getrefcount(text) for text in first] == before


@pytest.mark.skipif(SANITIZED or not STATM.exists(), reason="RSS is not meaningful under ASan, or /proc is absent")
def test_dropped_move_generators_free_their_tables() -> None:
    for _ in range(20):
        velmor_chess.MoveGenerator()
    gc.collect()
    resident = rss()
    for _ in range(2_000 if LONG else 200):
        generator = velmor_chess.MoveGenerator()
        generator(velmor_chess.Board())
        del generator
    gc.collect()
    # One leaked generator keeps at least its 2 MiB of rook tables resident.
    grown = rss() - resident
    assert grown < 16 * MIB, f"RSS grew by {grown / MIB:.1f} MiB over 200 generators"


@pytest.mark.skipif(SANITIZED or not STATM.exists(), reason="RSS is not meaningful under ASan, or /proc is absent")
@pytest.mark.parametrize("make", ["fen", "copy", "with history"])
def test_dropped_boards_free_their_memory(make: str) -> None:
    source = velmor_chess.Board(KIWIPETE)

    def build() -> velmor_chess.Board:
        if make == "fen":
            return velmor_chess.Board(KIWIPETE)
        if make == "copy":
            return source.copy()
        board = velmor_chess.Board(KIWIPETE)
        for move in ("e1f1", "e8f8", "f1e1", "f8e8") * 8:
            board.push(move)
        return board

    count = 100_000 if LONG else 10_000
    boards = [build() for _ in range(count)]
    del boards
    gc.collect()
    peak = rss()
    # The second batch must reuse the memory the first one gave back.
    for _ in range(3):
        boards = [build() for _ in range(count)]
        del boards
        gc.collect()
    grown = rss() - peak
    assert grown < 8 * MIB, f"RSS grew by {grown / MIB:.1f} MiB over three more batches of {count} boards"
