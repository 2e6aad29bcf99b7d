"""Reading FEN text into a Board and writing it back with fen()."""

from __future__ import annotations

from typing import Any, Callable

import pytest

from conftest import DEFAULT_FEN, UNWRAP_NONE, PerftRecord, history_depth
from velmor_chess import Board

EMPTY = "8/8/8/8/8/8/8/8"
AFTER_E4 = "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3"

# Every character with the Unicode White_Space property.
UNICODE_WHITESPACE = [
    "\t", "\n", "\x0b", "\x0c", "\r", " ", "\x85", "\xa0", "\u1680",
    *[chr(c) for c in range(0x2000, 0x200B)],
    "\u2028", "\u2029", "\u202f", "\u205f", "\u3000",
]  # fmt: skip

# Characters that Python's str.split() or other libraries treat as separators
# but that do not have the White_Space property: they stay inside a field.
NOT_WHITESPACE = ["\x1c", "\x1d", "\x1e", "\x1f", "\u200b", "\u180e", "\ufeff", "\u2060"]


def squares(plane: list[bool]) -> list[int]:
    return [i for i, bit in enumerate(plane) if bit]


def test_default_board() -> None:
    board = Board()
    assert board.fen() == DEFAULT_FEN
    assert board.turn() == "white"
    planes = board.bitboard()
    assert squares(planes[0]) == list(range(8, 16))
    assert squares(planes[5]) == [4]
    assert squares(planes[11]) == [60]


@pytest.mark.parametrize(
    ("fen", "written"),
    [
        (DEFAULT_FEN, DEFAULT_FEN),
        (f"{EMPTY} w - -", f"{EMPTY} w - -"),
        (f"{EMPTY} b - -", f"{EMPTY} b - -"),
        (AFTER_E4, AFTER_E4),
        # Only the file of the en-passant field is read; the digit follows the side to move.
        ("rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR w KQkq e3", "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR w KQkq e6"),
        ("rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e6", AFTER_E4),
        (f"{EMPTY} w - a", f"{EMPTY} w - a6"),
        (f"{EMPTY} b - h", f"{EMPTY} b - h3"),
        (f"{EMPTY} w - cxyz", f"{EMPTY} w - c6"),
        (f"{EMPTY} w - e9", f"{EMPTY} w - e6"),
        # A first character that is no file letter sets a bit that FEN writing never shows.
        (f"{EMPTY} w - --", f"{EMPTY} w - -"),
        (f"{EMPTY} w - 1", f"{EMPTY} w - -"),
        (f"{EMPTY} b - i", f"{EMPTY} b - -"),
        (f"{EMPTY} b - z3", f"{EMPTY} b - -"),
        # Castling letters: any order, repeats allowed, written in K Q k q order.
        (f"{EMPTY} w qkQK -", f"{EMPTY} w KQkq -"),
        (f"{EMPTY} w qqKK -", f"{EMPTY} w Kq -"),
        (f"{EMPTY} w kQ -", f"{EMPTY} w Qk -"),
        # "-" ends the castling field: nothing after it is applied or checked.
        (f"{EMPTY} w K-X -", f"{EMPTY} w K -"),
        (f"{EMPTY} w -K -", f"{EMPTY} w - -"),
        (f"{EMPTY} w Qk-?? -", f"{EMPTY} w Qk -"),
        (f"{EMPTY} w -- -", f"{EMPTY} w - -"),
        # Counters and further fields are ignored.
        (f"{DEFAULT_FEN} 0 1", DEFAULT_FEN),
        (f"{DEFAULT_FEN} 12 34 anything at all", DEFAULT_FEN),
        # Runs of whitespace, leading and trailing.
        ("  rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR \t w   KQkq\t\t-  \n", DEFAULT_FEN),
        # The placement is not validated as a board.
        ("k10k/8/8/8/8/8/8/8 w - -", "k1k5/8/8/8/8/8/8/8 w - -"),
        ("ppppppppp/8/8/8/8/8/8/8 w - -", "pppppppp/8/8/8/8/8/8/p7 w - -"),
        ("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBN w - -", "nbqkbnr1/pppppppr/7p/8/8/8/PPPPPPP1/RNBQKBNP w - -"),
        ("K w - -", "8/8/8/8/8/8/8/K7 w - -"),
        ("K/k w - -", "8/8/8/8/8/8/8/kK6 w - -"),
        ("0K0 w - -", "8/8/8/8/8/8/8/K7 w - -"),
        ("//////// w - -", f"{EMPTY} w - -"),
        ("44/8/8/8/8/8/8/k w - -", "8/8/8/8/8/8/8/k7 w - -"),
        ("9K/8/8/8/8/8/8/8 w - -", "8/8/8/8/8/8/8/1K6 w - -"),
        ("88888888K w - -", "8/8/8/8/8/8/8/K7 w - -"),
        # Square counting wraps at 64: a second piece on a square shows as the lower plane.
        ("ppppppppp/8/8/8/8/8/8/R7 w - -", "pppppppp/8/8/8/8/8/8/R7 w - -"),
        ("4k3/8/8/8/8/8/8/4K3 w KQkq -", "4k3/8/8/8/8/8/8/4K3 w KQkq -"),
        ("8/8/8/8/8/8/8/8 w KQkq e3", "8/8/8/8/8/8/8/8 w KQkq e6"),
    ],
)
def test_read_and_write(fen: str, written: str) -> None:
    board = Board(fen)
    assert board.fen() == written
    # What fen() writes reads back to the same board (one piece per square).
    again = Board(written)
    assert again.fen() == written
    planes = board.bitboard()
    if all(sum(plane[i] for plane in planes) <= 1 for i in range(64)):
        assert again.bitboard() == planes


@pytest.mark.parametrize("space", UNICODE_WHITESPACE, ids=lambda c: f"U+{ord(c):04X}")
def test_unicode_whitespace_separates_fields(space: str) -> None:
    text = space.join(["", "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR", "w", "KQkq", "-", "0", "1", ""])
    assert Board(text).fen() == DEFAULT_FEN
    assert Board(space * 3 + DEFAULT_FEN.replace(" ", space * 2)).fen() == DEFAULT_FEN
    assert Board.bitboard_from_fen(space + DEFAULT_FEN) == Board().bitboard()


@pytest.mark.parametrize("char", NOT_WHITESPACE, ids=lambda c: f"U+{ord(c):04X}")
def test_other_separators_stay_in_the_field(char: str, expect_panic: Callable[..., Any]) -> None:
    # Inside the placement the character is no piece letter.
    with expect_panic("Invalid piece type"):
        Board(EMPTY + char + "w - -")
    # Inside the side-to-move field it makes the field something other than "w".
    with pytest.raises(ValueError, match=r"^Invalid fen: Invalid side-to-move$"):
        Board(f"{EMPTY} w{char} - -")


@pytest.mark.parametrize(
    "fen",
    [
        f"{EMPTY} white - -",
        f"{EMPTY} W - -",
        f"{EMPTY} B - -",
        f"{EMPTY} wb - -",
        f"{EMPTY} bw - -",
        f"{EMPTY} - - -",
        f"{EMPTY} ww - -",
        f"{EMPTY} 1 - -",
        f"{EMPTY} \uff57 - -",  # fullwidth w
        # The side is checked before the castling and en-passant fields are looked at.
        f"{EMPTY} x",
        f"{EMPTY} x KX",
    ],
)
def test_invalid_side_to_move(fen: str, expect_error: Callable[..., Any]) -> None:
    with expect_error(ValueError, "Invalid fen: Invalid side-to-move"):
        Board(fen)


@pytest.mark.parametrize(
    "fen",
    [
        f"{EMPTY} w KX -",
        f"{EMPTY} w X -",
        f"{EMPTY} w KQkqx -",
        f"{EMPTY} w 0 -",
        f"{EMPTY} w kqKQA -",
        f"{EMPTY} w KQ+ -",
        f"{EMPTY} b \u212a -",  # Kelvin sign, not the letter K
        # Castling is checked before a missing en-passant field is noticed.
        f"{EMPTY} w KX",
        f"{EMPTY} b x",
    ],
)
def test_invalid_castling(fen: str, expect_error: Callable[..., Any]) -> None:
    with expect_error(ValueError, "Invalid fen: Invalid castling specifier"):
        Board(fen)


@pytest.mark.parametrize(
    "fen",
    [
        "",
        "   ",
        "\t\n",
        "\u3000\u2028",
        EMPTY,
        f"{EMPTY} w",
        f"{EMPTY} w -",
        f"{EMPTY} b KQkq",
        f"  {EMPTY}   w   -   ",
    ],
)
def test_missing_fields_panic(fen: str, expect_panic: Callable[..., Any]) -> None:
    with expect_panic(UNWRAP_NONE):
        Board(fen)


@pytest.mark.parametrize(
    "fen",
    [
        "8/8/8/8/8/8/8/7x w - -",
        "x",
        "8/8/8/8/8/8/8/8/X w - -",
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR_w KQkq -",
        "8/8/8/8/8/8/8/\u2167 w - -",  # a Roman numeral is no decimal digit
        "8/8/8/8/8/8/8/\uff18 w - -",  # nor a fullwidth digit
        "8/8/8/8/8/8/8/\u0668 w - -",  # nor an Arabic-Indic digit
        "8/8/8/8/8/8/8/\U0001d7d6 w - -",
        "-/8/8/8/8/8/8/8 w - -",
        # The placement is read before the other fields are checked.
        "7x white X",
        "x",
        "kx",
        "\u265a",
    ],
)
def test_invalid_piece_type_panics(fen: str, expect_panic: Callable[..., Any]) -> None:
    with expect_panic("Invalid piece type"):
        Board(fen)


def test_round_trip_random_positions(random_perft: list[PerftRecord]) -> None:
    assert len(random_perft) > 1000
    for record in random_perft:
        board = Board(record.fen)
        assert board.fen() == record.fen, record.id
        assert board.turn() == ("white" if record.fen.split()[1] == "w" else "black")


def test_round_trip_tricky_positions(tricky_perft: list[PerftRecord]) -> None:
    for record in tricky_perft:
        assert Board(record.fen).fen() == record.fen, record.id


def test_two_planes_on_one_square_write_the_lower_plane() -> None:
    board = Board()
    board.push("d1d2")  # the queen lands on its own pawn; both stay
    planes = board.bitboard()
    assert planes[0][11] and planes[4][11]
    assert board.fen() == "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNB1KBNR b KQkq -"


@pytest.mark.parametrize(
    ("fen", "turn"),
    [(DEFAULT_FEN, "white"), (AFTER_E4, "black"), (f"{EMPTY} b - -", "black"), (f"{EMPTY} w KQkq a", "white")],
)
def test_turn(fen: str, turn: str) -> None:
    board = Board(fen)
    assert board.turn() == turn
    assert type(board.turn()) is str


def test_turn_follows_moves() -> None:
    board = Board()
    board.push("g1f3")
    assert board.turn() == "black"
    board.push("g8f6")
    assert board.turn() == "white"
    board.pop()
    assert board.turn() == "black"
    board.pop()
    assert board.turn() == "white"


def test_fen_is_a_pure_read() -> None:
    board = Board()
    board.push("e2e4")
    assert board.fen() == board.fen() == AFTER_E4
    board.pop()
    assert board.fen() == DEFAULT_FEN


def test_copy_is_a_new_equal_board() -> None:
    board = Board(AFTER_E4)
    copy = board.copy()
    assert type(copy) is Board
    assert copy is not board
    assert copy.fen() == board.fen()
    assert copy.bitboard() == board.bitboard()


def test_copy_has_its_own_history(expect_panic: Callable[..., Any]) -> None:
    board = Board()
    board.push("e2e4")
    copy = board.copy()
    copy.pop()
    assert copy.fen() == DEFAULT_FEN
    assert board.fen() == AFTER_E4
    board.pop()
    assert board.fen() == DEFAULT_FEN
    with expect_panic(UNWRAP_NONE):
        copy.pop()
    with expect_panic(UNWRAP_NONE):
        board.pop()


def test_copy_keeps_the_whole_history() -> None:
    board = Board()
    for move in ["e2e4", "e7e5", "g1f3", "b8c6", "f1b5"]:
        board.push(move)
    copy = board.copy()
    assert history_depth(copy) == history_depth(board)
    assert len(history_depth(board)) == 5
    copy.push("a7a6")
    board.push("g8f6")
    assert copy.fen() != board.fen()
    copy.pop()
    board.pop()
    assert copy.fen() == board.fen()


def test_copy_of_fresh_board_has_no_history(expect_panic: Callable[..., Any]) -> None:
    board = Board()
    copy = board.copy()
    with expect_panic(UNWRAP_NONE):
        copy.pop()
    assert copy.fen() == DEFAULT_FEN


def test_copy_outlives_its_source() -> None:
    board = Board(AFTER_E4)
    board.push("e7e5")
    copy = board.copy()
    del board
    copy.pop()
    assert copy.fen() == AFTER_E4


def test_inconsistent_boards_are_held() -> None:
    # No kings, castling rights without rooks, overlapping planes: all kept.
    board = Board("ppppppppp/8/8/8/8/8/8/R7 b KQkq c")
    assert board.fen() == "pppppppp/8/8/8/8/8/8/R7 b KQkq c3"
    assert board.copy().fen() == board.fen()
    assert board.turn() == "black"
