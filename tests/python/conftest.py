"""Shared fixtures for the Python tests of velmor_chess."""

from __future__ import annotations

import contextlib
import re
import sys
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from pathlib import Path

import pytest

import velmor_chess

DEFAULT_FEN = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -"
KIWIPETE = "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -"
UNWRAP_NONE = "called `Option::unwrap()` on a `None` value"

# The perft collections live beside the repository, not inside it: a user's
# clone has no ../shared, so the tests that need them skip.
REPO_ROOT = Path(__file__).resolve().parents[2]
PERFT_DIR = REPO_ROOT.parent / "shared" / "perft"

# Perft as the example program counts it: the tests count through the same code.
sys.path.insert(0, str(REPO_ROOT / "examples"))
from perft import perft  # noqa: E402


@dataclass
class PerftRecord:
    id: str
    fen: str
    counts: dict[int, int] = field(default_factory=dict)


def read_perft(path: Path) -> list[PerftRecord]:
    """Reads `id` / `epd` / `perft <depth> <nodes>` records, skipping comments."""
    records: list[PerftRecord] = []
    current: PerftRecord | None = None
    for raw in path.read_text(encoding="utf-8").splitlines():
        line = raw.strip()
        if not line or line.startswith(("#", "%")):
            continue
        keyword, _, rest = line.partition(" ")
        if keyword == "id":
            current = PerftRecord(rest.strip(), "")
            records.append(current)
        elif keyword == "epd":
            if current is None or current.fen:
                current = PerftRecord(f"line-{len(records)}", "")
                records.append(current)
            current.fen = rest.strip()
        elif keyword == "perft" and current is not None:
            depth, nodes = rest.split()
            current.counts[int(depth)] = int(nodes)
    return [record for record in records if record.fen]


def perft_file(name: str) -> Path:
    path = PERFT_DIR / name
    if not path.is_file():
        pytest.skip(f"perft data {name} not found next to the repository (expected {path})")
    return path


@pytest.fixture(scope="session")
def random_perft() -> list[PerftRecord]:
    return read_perft(perft_file("random.perft"))


@pytest.fixture(scope="session")
def tricky_perft() -> list[PerftRecord]:
    # The xfen- positions use a castling notation this library does not read.
    return [r for r in read_perft(perft_file("tricky.perft")) if not r.id.startswith("xfen-")]


@pytest.fixture(scope="session")
def generator() -> velmor_chess.MoveGenerator:
    return velmor_chess.MoveGenerator()


def is_panic(exc: BaseException) -> bool:
    """The module's panic exception is not importable; recognise it by shape."""
    kind = type(exc)
    return (
        kind.__name__ == "PanicException"
        and kind.__module__ == "tavrin_runtime"
        and kind.__bases__ == (BaseException,)
    )


def check_panic(exc: BaseException, message: str) -> None:
    assert is_panic(exc), f"expected the panic exception, got {type(exc)!r}: {exc}"
    assert str(exc) == message


@pytest.fixture(scope="session")
def expect_panic() -> Callable[[str], contextlib.AbstractContextManager[pytest.ExceptionInfo[BaseException]]]:
    """`with expect_panic("message"):` asserts that the block raises the panic exception."""

    @contextlib.contextmanager
    def expect(message: str) -> Iterator[pytest.ExceptionInfo[BaseException]]:
        with pytest.raises(BaseException) as info:
            yield info
        check_panic(info.value, message)

    return expect


@pytest.fixture(scope="session")
def expect_error() -> Callable[..., contextlib.AbstractContextManager[pytest.ExceptionInfo[BaseException]]]:
    """`with expect_error(TypeError, "message"):` checks type and the whole message."""

    @contextlib.contextmanager
    def expect(kind: type[BaseException], message: str) -> Iterator[pytest.ExceptionInfo[BaseException]]:
        with pytest.raises(kind, match=re.escape(message)) as info:
            yield info
        assert type(info.value) is kind
        assert str(info.value) == message

    return expect


def snapshot(board: velmor_chess.Board) -> tuple[str, list[list[bool]]]:
    return board.fen(), board.bitboard()


def history_depth(board: velmor_chess.Board, limit: int = 64) -> list[str]:
    """Pops a copy of the board until it panics and returns the FEN after each pop.

    Comparing these lists shows that two boards hold the same undo history
    without touching the boards themselves.
    """
    probe = board.copy()
    seen: list[str] = []
    for _ in range(limit):
        try:
            probe.pop()
        except BaseException as exc:
            check_panic(exc, UNWRAP_NONE)
            return seen
        seen.append(probe.fen())
    raise AssertionError("history deeper than expected")
