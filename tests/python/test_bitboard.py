"""The twelve piece planes: bitboard() and Board.bitboard_from_fen()."""

from __future__ import annotations

import random
from typing import Any, Callable

import numpy
import pytest

from conftest import DEFAULT_FEN, KIWIPETE, UNWRAP_NONE, PerftRecord
from velmor_chess import Board

EMPTY = "8/8/8/8/8/8/8/8"

# The default position, written out by square: plane -> occupied squares.
DEFAULT_SQUARES = {
    0: list(range(8, 16)),
    1: [1, 6],
    2: [2, 5],
    3: [0, 7],
    4: [3],
    5: [4],
    6: list(range(48, 56)),
    7: [57, 62],
    8: [58, 61],
    9: [56, 63],
    10: [59],
    11: [60],
}

LETTERS = "PNBRQKpnbrqk"


def expected_planes(placement: str) -> list[list[bool]]:
    """A plain reading of a well-formed placement field, rank 8 first."""
    planes = [[False] * 64 for _ in range(12)]
    for row, group in enumerate(placement.split("/")):
        square = 8 * (7 - row)
        for char in group:
            if char.isdigit():
                square += int(char)
            else:
                planes[LETTERS.index(char)][square] = True
                square += 1
    return planes


def test_default_planes_exactly() -> None:
    planes = Board().bitboard()
    for plane in range(12):
        expected = [i in DEFAULT_SQUARES[plane] for i in range(64)]
        assert planes[plane] == expected, plane


def test_default_from_fen() -> None:
    assert Board.bitboard_from_fen(DEFAULT_FEN) == Board().bitboard()
    assert Board.bitboard_from_fen(DEFAULT_FEN.split()[0]) == Board().bitboard()


@pytest.mark.parametrize("source", ["board", "fen"])
def test_shape_and_element_objects(source: str) -> None:
    planes = Board(KIWIPETE).bitboard() if source == "board" else Board.bitboard_from_fen(KIWIPETE)
    assert type(planes) is list
    assert len(planes) == 12
    for plane in planes:
        assert type(plane) is list
        assert len(plane) == 64
        for value in plane:
            # The interpreter's own True and False, not fresh ints.
            assert value is True or value is False
    assert sum(map(sum, planes)) == 32


@pytest.mark.parametrize("source", ["board", "fen"])
def test_fresh_lists_every_call(source: str) -> None:
    board = Board()

    def get() -> list[list[bool]]:
        return board.bitboard() if source == "board" else Board.bitboard_from_fen(DEFAULT_FEN)

    first = get()
    second = get()
    assert first == second
    assert first is not second
    assert all(a is not b for a, b in zip(first, second, strict=True))
    first[0][8] = False
    first[1].clear()
    first.append([True])
    third = get()
    assert third == second
    assert board.bitboard() == second
    assert board.fen() == DEFAULT_FEN


def test_returned_lists_do_not_follow_the_board() -> None:
    board = Board()
    before = board.bitboard()
    board.push("e2e4")
    assert before[0][12] is True and before[0][28] is False


def test_numpy_view() -> None:
    array = numpy.array(Board().bitboard(), dtype=bool)
    assert array.shape == (12, 64)
    assert array.dtype == numpy.bool_
    assert int(array.sum()) == 32
    assert array[0, 8:16].all()
    assert not array[:, 16:48].any()
    assert array.reshape(12, 8, 8)[11, 7, 4]  # black king on e8


def test_planes_match_a_plain_reading(random_perft: list[PerftRecord]) -> None:
    for record in random_perft[::7]:
        placement = record.fen.split()[0]
        expected = expected_planes(placement)
        assert Board(record.fen).bitboard() == expected, record.id
        assert Board.bitboard_from_fen(record.fen) == expected, record.id


@pytest.mark.parametrize(
    "fen",
    [
        DEFAULT_FEN,
        KIWIPETE,
        "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - -",
        "r2q1rk1/pP1p2pp/Q4n2/bbp1p3/Np6/1B3NBn/pPPP1PPP/R3K2R b KQ -",
        f"{EMPTY} w - -",
        "ppppppppp/8/8/8/8/8/8/R7 w - -",
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBN w - -",
        "k10k/8/8/8/8/8/8/8 b - -",
        "9K w - -",
        "PPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPpppp w - -",
    ],
)
def test_board_and_fen_agree(fen: str) -> None:
    assert Board.bitboard_from_fen(fen) == Board(fen).bitboard()


def test_board_and_fen_agree_on_random_texts() -> None:
    rng = random.Random(7)
    alphabet = "PNBRQKpnbrqk0123456789/"
    for _ in range(300):
        placement = "".join(rng.choice(alphabet) for _ in range(rng.randrange(1, 80)))
        fen = f"{placement} {rng.choice('wb')} - -"
        assert Board.bitboard_from_fen(fen) == Board(fen).bitboard(), fen


def test_overlapping_planes_kept_in_both() -> None:
    # The ninth black pawn wraps round to a1, where the white rook stands.
    fen = "ppppppppp/8/8/8/8/8/8/R7 w - -"
    for planes in (Board(fen).bitboard(), Board.bitboard_from_fen(fen)):
        assert planes[3][0] and planes[6][0]
        assert [i for i in range(64) if planes[6][i]] == [0, *range(56, 64)]


@pytest.mark.parametrize(
    ("fen", "placement"),
    [
        (EMPTY, EMPTY),
        (f"{EMPTY} white", EMPTY),
        (f"{KIWIPETE.split()[0]} x XYZ ?? 1 2", KIWIPETE.split()[0]),
        (f"{DEFAULT_FEN.split()[0]} W KX", DEFAULT_FEN.split()[0]),
        (f"   \t{KIWIPETE}", KIWIPETE.split()[0]),
        (f"\u3000\u2028{EMPTY}\u00a0junk", EMPTY),
    ],
)
def test_only_the_placement_is_read(fen: str, placement: str) -> None:
    assert Board.bitboard_from_fen(fen) == expected_planes(placement)


def test_empty_placement_alone() -> None:
    planes = Board.bitboard_from_fen(EMPTY)
    assert planes == [[False] * 64 for _ in range(12)]


@pytest.mark.parametrize("text", ["", " ", "\t\n\r", "\u2003\u3000"])
def test_no_field_panics(text: str, expect_panic: Callable[..., Any]) -> None:
    with expect_panic(UNWRAP_NONE):
        Board.bitboard_from_fen(text)


@pytest.mark.parametrize(
    "text",
    [
        "x",
        "8/8/8/8/8/8/8/7x",
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR_w",
        "8/8/8/8/8/8/8/8\x1cw - -",
        "\u265a",
        "8/8/8/8/8/8/8/-",
        "\uff11",
    ],
)
def test_bad_letters_panic(text: str, expect_panic: Callable[..., Any]) -> None:
    with expect_panic("Invalid piece type"):
        Board.bitboard_from_fen(text)


def test_bitboard_from_fen_raises_no_value_error() -> None:
    # Later fields the constructor refuses are not looked at here.
    for fen in [f"{EMPTY} white - -", f"{EMPTY} w X -", f"{EMPTY} w"]:
        with pytest.raises(BaseException):
            Board(fen)
        assert Board.bitboard_from_fen(fen) == expected_planes(EMPTY)


def test_push_and_pop_show_in_planes() -> None:
    board = Board()
    before = board.bitboard()
    board.push("g1f3")
    after = board.bitboard()
    assert after[1][6] is False and after[1][21] is True
    assert [p for p in range(12) if after[p] != before[p]] == [1]
    board.push("d7d5")
    assert board.bitboard()[6][51] is False and board.bitboard()[6][35] is True
    board.pop()
    assert board.bitboard() == after
    board.pop()
    assert board.bitboard() == before


def test_capture_shows_in_both_planes() -> None:
    board = Board("4k3/8/8/3p4/4P3/8/8/4K3 w - -")
    board.push("e4d5")
    planes = board.bitboard()
    assert [i for i in range(64) if planes[0][i]] == [35]
    assert not any(planes[6])
    board.pop()
    assert board.bitboard() == Board("4k3/8/8/3p4/4P3/8/8/4K3 w - -").bitboard()
