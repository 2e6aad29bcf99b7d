"""No input may crash the interpreter, and nothing leaks.

Every text goes through Board(...), Board.bitboard_from_fen(...) and
Board.push(...); each call must end in a result or one of the specified
failures, and a failure must leave the board as it was.
"""

from __future__ import annotations

import gc
import os
import random
import subprocess
import sys
import textwrap
from collections.abc import Callable, Iterator
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import DEFAULT_FEN, KIWIPETE, UNWRAP_NONE, is_panic, snapshot
from velmor_chess import Board, MoveGenerator

FEN_CHARS = "PNBRQKpnbrqk0123456789/ wb-KQkqabcdefgh"
MOVE_CHARS = "abcdefghi012345678912 nbrqkNBRQK-\t"
WHITESPACE = " \t\n\x0b\x0c\r\x85\xa0\u1680\u2000\u2005\u200a\u2028\u2029\u202f\u205f\u3000"
ADVERSARIAL = [
    "", " ", "\x00", "\x00" * 64, "/" * 200, "8" * 200, "9" * 1000, "0" * 500, "-", "--", "w", "b",
    "8/8/8/8/8/8/8/8", "8/8/8/8/8/8/8/8 w", "8/8/8/8/8/8/8/8 w -", "8/8/8/8/8/8/8/8 w - -",
    DEFAULT_FEN, KIWIPETE, DEFAULT_FEN + " 0 1", DEFAULT_FEN.replace(" ", "\u3000"),
    "\ud800", "\udfff", "e2e4\ud800", "\U0010ffff", "\U0001f600" * 4, "\ufeff" + DEFAULT_FEN,
    "e2e4", "e7e8q", "e1g1", "a1a1", "h8a1", "e2e4q", "E2E4", "e2e", "e2-e4", "O-O", "O-O-O",
    "a1\u00e9", "\u01652e", "\u017e2e", "a\u20ac", "e9e9", "i1i1", "a0a0", "\x7f\x7f\x7f\x7f",
    "K" * 64 + " w KQkq -", "k" * 65 + " b - -", "p" * 1000 + " w - -", "1" * 64 + " w - -",
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq e3 junk \ud800",
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR W KQkq -", "8/8/8/8/8/8/8/8 w KQkqX -",
]  # fmt: skip



def call_all_allowing_failures(calls: tuple[Callable[[], object], ...]) -> None:
    """Calls each; only the specified failures (TypeError, ValueError, the panic exception) may leave."""
    for call in calls:
        try:
            call()
        except BaseException as exc:  # noqa: BLE001
            if not isinstance(exc, (TypeError, ValueError)) and not is_panic(exc):
                raise


def random_texts(rng: random.Random, count: int) -> Iterator[str]:
    def unicode_char() -> str:
        while True:
            code = rng.choice([rng.randrange(0x80), rng.randrange(0x800), rng.randrange(0x10000), rng.randrange(0x110000)])
            if not 0xD800 <= code <= 0xDFFF:
                return chr(code)

    makers: list[Callable[[], str]] = [
        lambda: "".join(unicode_char() for _ in range(rng.randrange(12))),
        lambda: "".join(chr(rng.randrange(0x10000, 0x110000)) for _ in range(rng.randrange(1, 6))),
        lambda: "".join(chr(rng.randrange(32)) for _ in range(rng.randrange(1, 10))),
        lambda: "".join(rng.choice(["\ud800", "\udbff", "\udc00", "a", "1", " "]) for _ in range(rng.randrange(1, 6))),
        lambda: "".join(rng.choice("0123456789") for _ in range(rng.randrange(1, 100))),
        lambda: "/" * rng.randrange(1, 100),
        lambda: "".join(rng.choice(FEN_CHARS) for _ in range(rng.randrange(1, 90))),
        lambda: "".join(rng.choice(MOVE_CHARS) for _ in range(rng.randrange(1, 7))),
        lambda: "".join(rng.choice(WHITESPACE + "e2e4") for _ in range(rng.randrange(1, 12))),
        lambda: mutate(rng, DEFAULT_FEN),
        lambda: mutate(rng, KIWIPETE),
        lambda: mutate(rng, rng.choice(["e2e4", "e7e8q", "a7b8N", "e1g1"])),
    ]
    for _ in range(count):
        yield rng.choice(makers)()


def mutate(rng: random.Random, text: str) -> str:
    chars = list(text)
    for _ in range(rng.randrange(1, 4)):
        where = rng.randrange(len(chars) + 1)
        action = rng.randrange(3)
        if action == 0 and chars:
            del chars[min(where, len(chars) - 1)]
        elif action == 1:
            chars.insert(where, rng.choice(FEN_CHARS + WHITESPACE + "\u00e9\U0001f600x"))
        elif chars:
            chars[min(where, len(chars) - 1)] = rng.choice(FEN_CHARS + "x\u00e9")
    return "".join(chars)


def encodable(text: str) -> bool:
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def outcome(call: Callable[[], object]) -> tuple[str, object]:
    # UnicodeEncodeError is a ValueError; tell it apart first.
    try:
        result = call()
    except UnicodeEncodeError as exc:
        return "UnicodeEncodeError", str(exc)
    except (TypeError, ValueError) as exc:
        return type(exc).__name__, str(exc)
    except BaseException as exc:  # noqa: BLE001 - the panic exception is a BaseException
        if is_panic(exc):
            return "panic", str(exc)
        raise
    return "ok", result


def check_text(text: str, board: Board) -> None:
    """Feeds one text to the three entries and checks what came back."""
    clean = encodable(text)

    built = outcome(lambda: Board(text))
    planes = outcome(lambda: Board.bitboard_from_fen(text))
    if not clean:
        assert built[0] == planes[0] == "UnicodeEncodeError", (text, built, planes)
    else:
        assert built[0] in ("ok", "ValueError", "panic"), (text, built)
        assert planes[0] in ("ok", "panic"), (text, planes)
        if built[0] == "ValueError":
            assert built[1] in ("Invalid fen: Invalid side-to-move", "Invalid fen: Invalid castling specifier")
            assert planes[0] == "ok", text
        if planes[0] == "ok":
            assert built != ("panic", "Invalid piece type"), text
        if built[0] == "panic":
            assert built[1] in (UNWRAP_NONE, "Invalid piece type"), (text, built)
        if planes[0] == "panic":
            assert planes[1] in (UNWRAP_NONE, "Invalid piece type"), (text, planes)
            # The placement is read first, so the constructor fails the same way.
            assert built == planes, text
        if built[0] == "ok":
            made = built[1]
            assert isinstance(made, Board)
            assert planes == ("ok", made.bitboard()), text
            assert Board(made.fen()).fen() == made.fen()

    before = snapshot(board)
    pushed = outcome(lambda: board.push(text))
    if not clean:
        assert pushed[0] == "UnicodeEncodeError"
    elif pushed[0] == "ok":
        assert pushed[1] is None
        board.pop()
    else:
        assert pushed[0] in ("ValueError", "panic"), (text, pushed)
        if pushed[0] == "ValueError":
            assert str(pushed[1]).startswith("Invalid chess move: ")
    assert snapshot(board) == before, text


@pytest.fixture
def boards() -> list[Board]:
    played = Board()
    for move in ["e2e4", "e7e5", "g1f3"]:
        played.push(move)
    return [Board(), played, Board(KIWIPETE), Board("8/8/8/8/8/8/8/8 b - -")]


def test_adversarial_texts(boards: list[Board]) -> None:
    for text in ADVERSARIAL:
        for board in boards:
            check_text(text, board)


def test_random_texts(boards: list[Board]) -> None:
    rng = random.Random(31337)
    for index, text in enumerate(random_texts(rng, 3000)):
        check_text(text, boards[index % len(boards)])


@pytest.mark.parametrize(
    "text",
    [
        "8" * (1 << 20),
        "/" * (1 << 20),
        "P" * (1 << 20) + " w - -",
        ("8/" * (1 << 19)) + " w KQkq -",
        DEFAULT_FEN + " " + "x" * (1 << 20),
        " " * (1 << 20),
        "\u3000" * (1 << 18) + DEFAULT_FEN,
        "e2e4" * (1 << 18),
        "\U0001f600" * (1 << 18),
    ],
    ids=["digits", "slashes", "pawns", "ranks", "tail", "spaces", "ideographic-space", "moves", "astral"],
)
def test_megabyte_texts(text: str) -> None:
    board = Board()
    check_text(text, board)


def test_long_move_text_is_quoted_whole() -> None:
    board = Board()
    text = "e2e4" * 1000
    with pytest.raises(ValueError) as info:
        board.push(text)
    assert str(info.value).endswith("Found: " + text)


@pytest.mark.parametrize(
    "value",
    [None, 0, 1.0, b"e2e4", bytearray(b"e2e4"), memoryview(b"e2e4"), ["e2e4"], ("e2e4",), {"fen": 1}, object(), Board],
)
def test_non_str_arguments(value: object) -> None:
    board = Board()
    generator = MoveGenerator()
    for call in (
        lambda: Board(value),  # type: ignore[arg-type]
        lambda: Board.bitboard_from_fen(value),  # type: ignore[arg-type]
        lambda: board.push(value),  # type: ignore[arg-type]
        lambda: generator(value),  # type: ignore[arg-type]
    ):
        kind, message = outcome(call)
        assert kind == "TypeError"
        assert "object cannot be converted to" in str(message)
    assert board.fen() == DEFAULT_FEN


FEN_LIKE = st.text(alphabet=FEN_CHARS + WHITESPACE + "x\u00e9", max_size=90)
MOVE_LIKE = st.text(alphabet=MOVE_CHARS + "\u00e9\u0165\U0001f600", max_size=7)


@settings(deadline=None, database=None, max_examples=250, suppress_health_check=[HealthCheck.too_slow])
@given(text=st.one_of(st.text(max_size=40), FEN_LIKE, MOVE_LIKE))
def test_hypothesis_texts(text: str) -> None:
    board = Board()
    board.push("d2d4")
    check_text(text, board)


GAME_GENERATOR = MoveGenerator()


@settings(deadline=None, database=None, max_examples=200)
@given(moves=st.lists(st.integers(min_value=0, max_value=200), max_size=12))
def test_hypothesis_games_take_back_exactly(moves: list[int]) -> None:
    # Random legal games: popping everything retraces every position.
    board = Board(KIWIPETE)
    seen = [board.fen()]
    for choice in moves:
        legal = GAME_GENERATOR(board)
        if not legal:
            break
        board.push(legal[choice % len(legal)])
        seen.append(board.fen())
    for fen in reversed(seen[:-1]):
        board.pop()
        assert board.fen() == fen


# Memory and references.


def current_rss() -> int:
    statm = Path("/proc/self/statm")
    if not statm.exists():
        pytest.skip("the current resident set size is read from /proc/self/statm")
    return int(statm.read_text().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def exercise(generator: MoveGenerator, rounds: int) -> None:
    kingless = Board("4k3/8/8/8/8/8/8/R7 w - -")
    for _ in range(rounds):
        board = Board()
        Board(KIWIPETE)
        board.push("e2e4")
        board.push(chess_move="e7e5")
        board.fen()
        board.bitboard()
        board.turn()
        copy = board.copy()
        copy.pop()
        board.reflect()
        generator(board)
        generator(board=copy)
        Board.bitboard_from_fen(KIWIPETE)
        call_all_allowing_failures((
            lambda: Board("x"),
            lambda: Board(""),
            lambda: Board("8/8/8/8/8/8/8/8 x - -"),
            lambda: Board(5),  # type: ignore[arg-type]
            lambda: Board(DEFAULT_FEN, DEFAULT_FEN),  # type: ignore[call-arg]
            lambda: Board(position=1),  # type: ignore[call-arg]
            lambda: Board("\ud800"),
            lambda: Board.bitboard_from_fen("x"),
            lambda: Board.bitboard_from_fen(),  # type: ignore[call-arg]
            lambda: board.push("e2e"),
            lambda: board.push("E2E4"),
            lambda: board.push("e4e5q".replace("q", "k")),
            lambda: board.push(1),  # type: ignore[arg-type]
            lambda: board.push(),  # type: ignore[call-arg]
            lambda: board.pop(),
            lambda: board.fen(1),  # type: ignore[call-arg]
            lambda: generator("x"),  # type: ignore[arg-type]
            lambda: generator(),  # type: ignore[call-arg]
            lambda: generator(kingless),
            lambda: MoveGenerator(1),  # type: ignore[call-arg]
        ))


def test_no_memory_growth(generator: MoveGenerator, capfd: pytest.CaptureFixture[str]) -> None:
    exercise(generator, 300)
    gc.collect()
    capfd.readouterr()
    start = current_rss()
    for _ in range(5):
        exercise(generator, 500)
        capfd.readouterr()  # the panic diagnostics pile up in the capture otherwise
    gc.collect()
    growth = current_rss() - start
    # 2,500 rounds of ~35 calls: a leak of even one small object per call shows.
    assert growth < 2 * 1024 * 1024, f"resident set grew by {growth} bytes"


def test_boards_are_freed() -> None:
    for _ in range(2000):
        Board(KIWIPETE)
    start = current_rss()
    # Each board carries its own key tables of several KiB.
    for _ in range(20):
        for _ in range(1000):
            board = Board(KIWIPETE)
            board.push("e1g1")
            board.copy()
        del board
    growth = current_rss() - start
    assert growth < 4 * 1024 * 1024, f"resident set grew by {growth} bytes"


def test_move_generators_are_freed() -> None:
    for _ in range(5):
        MoveGenerator()
    start = current_rss()
    # 4 MiB of tables each: a leak shows after a handful; stop early if so.
    for made in range(1, 201):
        MoveGenerator()
        if made % 20 == 0:
            growth = current_rss() - start
            assert growth < 32 * 1024 * 1024, f"resident set grew by {growth} bytes after {made} generators"


def fresh(text: str) -> str:
    """A str built at run time, not interned and not shared with any constant."""
    return "".join(list(text))


def test_argument_references_are_released(generator: MoveGenerator) -> None:
    fen, move, bad_move, bad_fen, placement = (
        fresh(DEFAULT_FEN),
        fresh("e2e4"),
        fresh("e2e"),
        fresh("8/8/8/8/8/8/8/8 w X -"),
        fresh("x"),
    )
    values = [fen, move, bad_move, bad_fen, placement]
    before = [sys.getrefcount(v) for v in values]
    board = Board()
    for _ in range(2000):
        Board(fen)
        Board(fen=fen)
        Board.bitboard_from_fen(fen)
        board.push(move)
        board.pop()
        board.push(chess_move=move)
        board.pop()
        call_all_allowing_failures((
            lambda: board.push(bad_move),
            lambda: Board(bad_fen),
            lambda: Board(placement),
            lambda: Board.bitboard_from_fen(placement),
            lambda: board.push(placement, placement),  # type: ignore[call-arg]
            lambda: Board(fen, fen=fen),  # type: ignore[misc]
        ))
    gc.collect()
    assert [sys.getrefcount(v) for v in values] == before


def test_object_references_are_released(generator: MoveGenerator) -> None:
    board = Board()
    kingless = Board("4k3/8/8/8/8/8/8/R7 w - -")
    other = object()
    watched = [board, kingless, generator, other]
    before = [sys.getrefcount(v) for v in watched]
    for _ in range(2000):
        board.fen()
        board.bitboard()
        board.turn()
        board.copy()
        generator(board)
        generator(board=board)
        call_all_allowing_failures((
            lambda: generator(kingless),
            lambda: generator(other),
            lambda: board.push(other),
            lambda: Board(other),
            lambda: board.pop(),
        ))
    gc.collect()
    assert [sys.getrefcount(v) for v in watched] == before


def test_results_are_owned_by_the_caller(generator: MoveGenerator) -> None:
    board = Board()
    # A fresh result is referenced only by the local name and the call argument.
    for result in (board.fen(), board.bitboard(), board.copy(), generator(board), board.turn()):
        assert sys.getrefcount(result) == 3  # the loop tuple, the name, the argument
    planes = board.bitboard()
    assert sys.getrefcount(planes) == 2
    for plane in planes:
        assert sys.getrefcount(plane) == 3  # the outer list, the name, the argument


# A Board that dies while an exception is already pending (a failing call on a
# temporary) must leave that exception alone.
CRASH_CASES = {
    "push-value-error": ("Board().push('e2e')", "ValueError"),
    "push-type-error": ("Board().push(1)", "TypeError"),
    "push-panic": ("Board().push('E2E4')", "PanicException"),
    "pop-panic": ("Board().pop()", "PanicException"),
    "generator-panic": ("MoveGenerator()(Board('4k3/8/8/8/8/8/8/R7 w - -'))", "PanicException"),
    "unrelated-error": ("[Board(), Board()] + 5", "TypeError"),
}


@pytest.mark.parametrize("case", list(CRASH_CASES))
def test_temporary_board_dropped_while_an_exception_is_pending(case: str) -> None:
    statement, expected = CRASH_CASES[case]
    script = textwrap.dedent(
        f"""
        from velmor_chess import Board, MoveGenerator
        try:
            {statement}
        except BaseException as exc:
            print(type(exc).__name__, flush=True)
        # Make the allocator notice a corrupted heap, if it is.
        keep = [Board() for _ in range(2000)]
        del keep
        print("survived", flush=True)
        """
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60, check=False)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.split() == [expected, "survived"]
    assert "Exception ignored" not in result.stderr


# Each case once ended the process (a signal or an abort). Every failure on
# the way to raising the panic exception must leave as its own exception, and
# no patch of a type may make an instance without its record.
ABORT_CASES = {
    "patched-constructor": (
        """
        from unittest import mock
        for cls, use in ((Board, lambda b: b.reflect()), (MoveGenerator, lambda g: g(Board()))):
            try:
                with mock.patch.object(cls, "__new__", staticmethod(lambda c, *a, **k: None)):
                    use(object.__new__(cls))
            except TypeError as exc:
                print(type(exc).__name__)
        """,
        ["TypeError", "TypeError"],
    ),
    "patched-panic-type": (
        """
        try:
            Board("x")
        except BaseException as exc:
            panic = type(exc)
        for name, value in (("__new__", staticmethod(lambda c, *a: object())), ("__init__", lambda s, *a: 1 / 0)):
            try:
                setattr(panic, name, value)
            except TypeError as exc:
                print(type(exc).__name__)
        try:
            Board("x")
        except BaseException as exc:
            print(type(exc).__name__)
        """,
        ["TypeError", "TypeError", "PanicException"],
    ),
    "no-memory-while-raising": (
        """
        import _testcapi
        seen = set()
        for start in range(8):
            try:
                _testcapi.set_nomemory(start, start + 1)
                Board("x")
            except BaseException as exc:
                _testcapi.remove_mem_hooks()
                seen.add(type(exc).__name__)
        print(*sorted(seen))
        """,
        ["MemoryError", "PanicException"],
    ),
    "no-stack-while-raising": (
        """
        import functools, operator
        def nested(depth):
            call = Board().pop
            for _ in range(depth):
                call = functools.partial(operator.call, call)
            return call
        def outcome(depth):
            try:
                nested(depth)()
            except BaseException as exc:
                return type(exc).__name__
        low, high = 1, 1 << 16  # the panic at low depth, RecursionError at high
        while high - low > 1:
            middle = (low + high) // 2
            low, high = (middle, high) if outcome(middle) == "PanicException" else (low, middle)
        print(*sorted({outcome(depth) for depth in range(low - 8, high + 8)}))
        """,
        ["PanicException", "RecursionError"],
    ),
}


@pytest.mark.parametrize("case", list(ABORT_CASES))
def test_failures_while_raising_do_not_end_the_process(case: str) -> None:
    body, expected = ABORT_CASES[case]
    script = "from velmor_chess import Board, MoveGenerator\n" + textwrap.dedent(body)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120, check=False)
    if "No module named '_testcapi'" in result.stderr:
        pytest.skip("this interpreter has no _testcapi")
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.split() == expected
