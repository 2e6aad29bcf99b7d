"""Differential tests against python-chess: random games, compared at every ply.

At each position both libraries must agree on the legal moves (as UCI text),
the four FEN fields, the twelve piece planes and the colour-mirrored position;
copies must be independent and popping every move must restore the start.

Where the two libraries differ on purpose, and how the comparison follows:

* This library writes the en-passant square after every double step, whether
  or not a capture is possible. python-chess does the same with
  ``fen(en_passant="fen")``, so that is the form compared.
* This library's FEN has four fields (no move counters): only python-chess's
  first four fields are compared.
* python-chess refuses or repairs some positions (invalid ones, castling
  rights without king and rook at home); this library keeps whatever the FEN
  said. Only valid, consistent start positions are used, and each start is
  first checked to read the same in both libraries.
* In normal play both libraries clear castling rights the same way: a king
  move clears both of its side's rights, a rook leaving or captured on its
  corner clears that right. The per-ply FEN comparison checks this.
* ``mirror()`` in python-chess also flips the en-passant square, as
  ``reflect()`` does here; the mirrored FENs are compared with
  ``en_passant="fen"`` too.

``VELMOR_LONG=1`` scales the example counts and walk lengths up for a run
over millions of positions; ``VELMOR_SANITIZED=1`` (set by scripts/sanitize)
scales them down, since every call is many times slower under ASan.
"""

from __future__ import annotations

import os
import random
import sys

import pytest

chess = pytest.importorskip("chess")
hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import velmor_chess  # noqa: E402
from conftest import PerftRecord  # noqa: E402

LONG = os.environ.get("VELMOR_LONG") == "1"
SANITIZED = os.environ.get("VELMOR_SANITIZED") == "1"


def scaled(default: int, long: int, sanitized: int) -> int:
    if LONG:
        return long
    return sanitized if SANITIZED else default


GENERATOR = velmor_chess.MoveGenerator()
PIECE_ORDER = [
    (color, piece)
    for color in (chess.WHITE, chess.BLACK)
    for piece in (chess.PAWN, chess.KNIGHT, chess.BISHOP, chess.ROOK, chess.QUEEN, chess.KING)
]

# Hand-picked positions: castling through and out of check, en passant with
# pins and discovered checks, promotions with and without capture, pins.
TRICKY_FENS = [
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R b KQkq -",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - -",
    "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq -",
    "r2q1rk1/pP1p2pp/Q4n2/bbp1p3/Np6/1B3NBn/pPPP1PPP/R3K2R b KQ -",
    "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ -",
    "r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - -",
    "r3k2r/8/8/8/8/8/8/R3K2R w KQkq -",
    "r3k2r/1b4bq/8/8/8/8/7B/R3K2R w KQkq -",
    "r3k2r/8/8/8/3q4/8/8/R3K2R w KQkq -",
    "8/8/8/2k5/3Pp3/8/8/4K3 b - d3",
    "8/8/8/KPp4r/8/8/8/7k w - c6",
    "8/8/8/8/k2Pp2Q/8/8/3K4 b - d3",
    "8/8/1k6/2b5/2pP4/8/5K2/8 b - d3",
    "4k3/8/8/K2pP2r/8/8/8/8 w - d6",
    "rnbqkbnr/ppp1p1pp/8/3pPp2/8/8/PPPP1PPP/RNBQKBNR w KQkq f6",
    "4k3/1P6/8/8/8/8/6p1/4K3 w - -",
    "n1n5/PPPk4/8/8/8/8/4Kppp/5N1N b - -",
    "3k4/3p4/8/K1P4r/8/8/8/8 b - -",
    "8/8/4k3/8/2p5/8/B2P2K1/8 w - -",
    "4k3/8/8/8/8/8/8/4K2R w K -",
    "r3k3/8/8/8/8/8/8/4K3 b q -",
    "8/8/8/8/8/8/6k1/4K2R w K -",
    "4k3/4r3/8/8/8/8/3B4/4K3 w - -",
]


class Counter:
    positions = 0


@pytest.fixture(scope="module", autouse=True)
def report_positions_compared():
    # The figure of a run, shown with -s (or in the captured teardown output).
    yield
    print(f"\ndifferential: {Counter.positions} positions compared", file=sys.stderr)


def first_four(fen: str) -> str:
    return " ".join(fen.split()[:4])


# One byte per square for each value of one rank's byte of a mask: the
# expansion of a python-chess mask into 64 bytes costs eight lookups.
RANK_BYTES = [bytes((value >> file) & 1 for file in range(8)) for value in range(256)]


def reference_planes(cb: chess.Board) -> list[bytes]:
    planes = []
    for color, piece in PIECE_ORDER:
        mask = int(cb.pieces_mask(piece, color))
        planes.append(b"".join(RANK_BYTES[(mask >> (8 * rank)) & 0xFF] for rank in range(8)))
    return planes


def planes_as_bytes(planes: list[list[bool]]) -> list[bytes]:
    assert len(planes) == 12
    assert all(len(plane) == 64 for plane in planes)
    return [bytes(plane) for plane in planes]


def compare(board: velmor_chess.Board, cb: chess.Board) -> list[str]:
    """Compares one position in every respect; returns the legal moves."""
    moves = GENERATOR(board)
    assert len(moves) == len(set(moves)), f"duplicates in {moves} at {board.fen()}"
    assert set(moves) == {move.uci() for move in cb.legal_moves}, board.fen()
    assert board.fen() == first_four(cb.fen(en_passant="fen"))
    assert planes_as_bytes(board.bitboard()) == reference_planes(cb), board.fen()
    assert board.turn() == ("white" if cb.turn == chess.WHITE else "black")

    mirrored = board.copy()
    mirrored.reflect()
    # Without its move stack: mirror() copies the stack, which is quadratic in game length.
    assert mirrored.fen() == first_four(cb.copy(stack=False).mirror().fen(en_passant="fen"))
    assert board.fen() == first_four(cb.fen(en_passant="fen")), "reflecting a copy changed its source"
    Counter.positions += 1
    return moves


def check_copy_is_independent(board: velmor_chess.Board, moves: list[str]) -> None:
    before = board.fen()
    planes = board.bitboard()
    other = board.copy()
    other.push(moves[0])
    assert board.fen() == before
    other.pop()
    assert other.fen() == before
    assert board.bitboard() == planes == other.bitboard()


def start(fen: str) -> tuple[velmor_chess.Board, chess.Board]:
    board = velmor_chess.Board(fen)
    cb = chess.Board(fen)
    assert cb.is_valid(), f"start position not valid for python-chess: {fen}"
    assert board.fen() == first_four(cb.fen(en_passant="fen")), "the two libraries read the start differently"
    return board, cb


def play_and_unwind(fen: str, choose, max_plies: int) -> int:
    """Plays up to max_plies moves picked by choose(moves), comparing every
    position, then takes them all back. Returns the plies played."""
    board, cb = start(fen)
    start_fen, start_planes = board.fen(), board.bitboard()
    played = 0
    while True:
        moves = compare(board, cb)
        if not moves or played == max_plies:
            break
        if played % 8 == 0:
            check_copy_is_independent(board, moves)
        move = choose(moves)
        board.push(move)
        cb.push_uci(move)
        played += 1

    # A copy carries the whole history and unwinds on its own.
    copy = board.copy()
    for _ in range(played):
        copy.pop()
    assert copy.fen() == start_fen

    for _ in range(played):
        board.pop()
        cb.pop()
        assert board.fen() == first_four(cb.fen(en_passant="fen"))
    assert board.fen() == start_fen
    assert board.bitboard() == start_planes
    return played


@settings(
    max_examples=scaled(150, 2_000, 10),
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
@given(fen=st.sampled_from(TRICKY_FENS), data=st.data())
def test_hypothesis_games_agree_with_python_chess(fen: str, data: st.DataObject) -> None:
    plies = scaled(40, 100, 10)
    play_and_unwind(fen, lambda moves: moves[data.draw(st.integers(0, len(moves) - 1))], plies)


@pytest.mark.parametrize("seed", range(scaled(12, 600, 2)))
def test_seeded_games_from_the_start_agree_with_python_chess(seed: int) -> None:
    rng = random.Random(seed)
    # Whole games: long enough to reach promotions, castling and endings.
    play_and_unwind(TRICKY_FENS[0], rng.choice, scaled(300, 400, 40))


@pytest.mark.parametrize("fen", TRICKY_FENS[1:])
def test_seeded_games_from_tricky_positions_agree_with_python_chess(fen: str) -> None:
    rng = random.Random(fen)
    for _ in range(scaled(6, 120, 1)):
        play_and_unwind(fen, rng.choice, scaled(30, 120, 10))


def test_seeded_walks_from_random_perft_positions_agree_with_python_chess(random_perft: list[PerftRecord]) -> None:
    fens = [record.fen for record in random_perft]
    assert len(fens) > 6000
    rng = random.Random(2024)
    count = scaled(400, len(fens), 40)
    chosen = fens if count >= len(fens) else rng.sample(fens, count)
    for fen in chosen:
        play_and_unwind(fen, rng.choice, scaled(8, 60, 4))
