"""Making and taking back moves with push()/pop(), and reflect()."""

from __future__ import annotations

from typing import Any, Callable

import pytest

from conftest import DEFAULT_FEN, KIWIPETE, UNWRAP_NONE, check_panic, history_depth, snapshot
from velmor_chess import Board

CORNERS = "r3k2r/8/8/8/8/8/8/R3K2R"
AFTER_E4 = "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3"
LENGTH_ERROR = "Invalid chess move: Unsupported move notation. Must be 4 or 5 (promotion) characters. Found: "


def played(fen: str, *moves: str) -> str:
    board = Board(fen)
    for move in moves:
        assert board.push(move) is None
    return board.fen()


@pytest.mark.parametrize(
    ("fen", "move", "after"),
    [
        (DEFAULT_FEN, "e2e4", AFTER_E4),
        (DEFAULT_FEN, "g1f3", "rnbqkbnr/pppppppp/8/8/8/5N2/PPPPPPPP/RNBQKB1R b KQkq -"),
        (AFTER_E4, "e7e5", "rnbqkbnr/pppp1ppp/8/4p3/4P3/8/PPPP1PPP/RNBQKBNR w KQkq e6"),
        # Castling moves the rook and clears both rights of the mover.
        (f"{CORNERS} w KQkq -", "e1g1", "r3k2r/8/8/8/8/8/8/R4RK1 b kq -"),
        (f"{CORNERS} w KQkq -", "e1c1", "r3k2r/8/8/8/8/8/8/2KR3R b kq -"),
        (f"{CORNERS} b KQkq -", "e8g8", "r4rk1/8/8/8/8/8/8/R3K2R w KQ -"),
        (f"{CORNERS} b KQkq -", "e8c8", "2kr3r/8/8/8/8/8/8/R3K2R w KQ -"),
        # Castling with no rook on the corner moves only the king.
        ("4k3/8/8/8/8/8/8/4K3 w KQ -", "e1g1", "4k3/8/8/8/8/8/8/6K1 b - -"),
        ("4k3/8/8/8/8/8/8/4K3 w KQ -", "e1c1", "4k3/8/8/8/8/8/8/2K5 b - -"),
        ("r3k3/8/8/8/8/8/8/4K3 b q -", "e8c8", "2kr4/8/8/8/8/8/8/4K3 w - -"),
        # A king move from the e-file to the c- or g-file is castling on any rank;
        # the rook it looks for is on the back rank.
        ("4k3/8/8/8/8/8/4K3/7R w - -", "e2g2", "4k3/8/8/8/8/8/6K1/5R2 b - -"),
        ("4k3/8/8/8/8/8/4K3/R7 w - -", "e2c2", "4k3/8/8/8/8/8/2K5/3R4 b - -"),
        # En passant with and without the state bit.
        ("rnbqkbnr/ppp1pppp/8/3pP3/8/8/PPPP1PPP/RNBQKBNR w KQkq d6", "e5d6", "rnbqkbnr/ppp1pppp/3P4/8/8/8/PPPP1PPP/RNBQKBNR b KQkq -"),
        ("4k3/8/8/3pP3/8/8/8/4K3 w - -", "e5d6", "4k3/8/3P4/8/8/8/8/4K3 b - -"),
        ("4k3/8/8/8/3pP3/8/8/4K3 b - e3", "d4e3", "4k3/8/8/8/8/4p3/8/4K3 w - -"),
        ("4k3/8/8/8/3pP3/8/8/4K3 b - -", "d4e3", "4k3/8/8/8/8/4p3/8/4K3 w - -"),
        # A diagonal step onto an empty square with no pawn behind it removes nothing.
        ("4k3/8/8/4P3/8/8/8/4K3 w - -", "e5d6", "4k3/8/3P4/8/8/8/8/4K3 b - -"),
        # An ordinary capture.
        ("4k3/8/8/3p4/4P3/8/8/4K3 w - -", "e4d5", "4k3/8/8/3P4/8/8/8/4K3 b - -"),
        # Rights lost by king and rook moves.
        (f"{CORNERS} w KQkq -", "e1e2", "r3k2r/8/8/8/8/8/4K3/R6R b kq -"),
        (f"{CORNERS} w KQkq -", "h1h2", "r3k2r/8/8/8/8/8/7R/R3K3 b Qkq -"),
        (f"{CORNERS} w KQkq -", "a1a2", "r3k2r/8/8/8/8/8/R7/4K2R b Kkq -"),
        (f"{CORNERS} b KQkq -", "e8d8", "r2k3r/8/8/8/8/8/8/R3K2R w KQ -"),
        (f"{CORNERS} b KQkq -", "h8h7", "r3k3/7r/8/8/8/8/8/R3K2R w KQq -"),
        (f"{CORNERS} b KQkq -", "a8a7", "4k2r/r7/8/8/8/8/8/R3K2R w KQk -"),
        # A rook captured on its corner takes the owner's right with it.
        (f"{CORNERS} b KQkq -", "h8h1", "r3k3/8/8/8/8/8/8/R3K2r w Qq -"),
        (f"{CORNERS} w KQkq -", "a1a8", "R3k2r/8/8/8/8/8/8/4K2R b Kk -"),
        ("4k3/8/8/8/8/8/6b1/R3K2R b KQ -", "g2h1", "4k3/8/8/8/8/8/8/R3K2b w Q -"),
        ("4k3/8/8/8/8/8/1b6/R3K2R b KQ -", "b2a1", "4k3/8/8/8/8/8/8/b3K2R w K -"),
        ("r3k2r/1B6/8/8/8/8/8/4K3 w kq -", "b7a8", "B3k2r/8/8/8/8/8/8/4K3 b k -"),
        ("r3k2r/6B1/8/8/8/8/8/4K3 w kq -", "g7h8", "r3k2B/8/8/8/8/8/8/4K3 b q -"),
        # Another piece captured on a corner leaves the right alone.
        ("4k3/8/8/8/8/8/6b1/R3K2N b KQ -", "g2h1", "4k3/8/8/8/8/8/8/R3K2b w KQ -"),
        # From and to equal: nothing moves, the turn passes, rights go for king and rook.
        (DEFAULT_FEN, "a2a2", "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR b KQkq -"),
        (f"{CORNERS} w KQkq -", "e1e1", "r3k2r/8/8/8/8/8/8/R3K2R b kq -"),
        (f"{CORNERS} w KQkq -", "a1a1", "r3k2r/8/8/8/8/8/8/R3K2R b Kkq -"),
        (f"{CORNERS} b KQkq -", "h8h8", "r3k2r/8/8/8/8/8/8/R3K2R w KQq -"),
        # Legality is not tested: the side to move need not own the piece.
        (DEFAULT_FEN, "e7e5", "rnbqkbnr/pppp1ppp/8/4p3/8/8/PPPPPPPP/RNBQKBNR b KQkq -"),
        (DEFAULT_FEN, "d1d7", "rnbqkbnr/pppQpppp/8/8/8/8/PPPPPPPP/RNB1KBNR b KQkq -"),
        # Promotions, with and without capture, either case of letter.
        ("7k/4P3/8/8/8/8/8/4K3 w - -", "e7e8q", "4Q2k/8/8/8/8/8/8/4K3 b - -"),
        ("7k/4P3/8/8/8/8/8/4K3 w - -", "e7e8Q", "4Q2k/8/8/8/8/8/8/4K3 b - -"),
        ("7k/4P3/8/8/8/8/8/4K3 w - -", "e7e8r", "4R2k/8/8/8/8/8/8/4K3 b - -"),
        ("7k/4P3/8/8/8/8/8/4K3 w - -", "e7e8B", "4B2k/8/8/8/8/8/8/4K3 b - -"),
        ("7k/4P3/8/8/8/8/8/4K3 w - -", "e7e8n", "4N2k/8/8/8/8/8/8/4K3 b - -"),
        ("3rk3/4P3/8/8/8/8/8/4K3 w - -", "e7d8q", "3Qk3/8/8/8/8/8/8/4K3 b - -"),
        ("4k3/8/8/8/8/8/3p4/K7 b - -", "d2d1n", "4k3/8/8/8/8/8/8/K2n4 w - -"),
        ("4k3/8/8/8/8/8/3p4/K1R5 b - -", "d2c1r", "4k3/8/8/8/8/8/8/K1r5 w - -"),
        # A promotion onto a corner rook also removes its right.
        ("4k2r/6P1/8/8/8/8/8/4K3 w k -", "g7h8n", "4k2N/8/8/8/8/8/8/4K3 b - -"),
        # A promotion letter on another move changes nothing.
        (DEFAULT_FEN, "e2e4q", AFTER_E4),
        (DEFAULT_FEN, "g1f3N", "rnbqkbnr/pppppppp/8/8/8/5N2/PPPPPPPP/RNBQKB1R b KQkq -"),
        # Whitespace around the text is trimmed.
        (DEFAULT_FEN, "  e2e4\n", AFTER_E4),
        (DEFAULT_FEN, "\t\u3000e2e4\u2029\u00a0", AFTER_E4),
        ("7k/4P3/8/8/8/8/8/4K3 w - -", "  e7e8Q\n", "4Q2k/8/8/8/8/8/8/4K3 b - -"),
    ],
)
def test_push_and_pop(fen: str, move: str, after: str) -> None:
    board = Board(fen)
    before = board.bitboard()
    assert board.push(move) is None
    assert board.fen() == after
    assert board.pop() is None
    assert board.fen() == Board(fen).fen()
    assert board.bitboard() == before


def test_double_step_right_is_cleared_by_next_move() -> None:
    assert played(DEFAULT_FEN, "e2e4", "g8f6") == "rnbqkb1r/pppppppp/5n2/8/4P3/8/PPPP1PPP/RNBQKBNR w KQkq -"
    assert played(DEFAULT_FEN, "g1f3", "e7e5") == "rnbqkbnr/pppp1ppp/8/4p3/8/5N2/PPPPPPPP/RNBQKB1R w KQkq e6"
    assert played(DEFAULT_FEN, "g1f3", "e7e5", "a2a3") == "rnbqkbnr/pppp1ppp/8/4p3/8/P4N2/1PPPPPPP/RNBQKB1R b KQkq -"


def test_long_game_and_full_take_back() -> None:
    moves = ["e2e4", "e7e5", "g1f3", "b8c6", "f1c4", "g8f6", "e1g1", "f8c5", "d2d4", "e5d4",
             "e4e5", "d7d5", "e5d6", "c5d6", "b1c3", "e8g8", "c4d5", "f6d5"]  # fmt: skip
    board = Board()
    seen = [board.fen()]
    for move in moves:
        board.push(move)
        seen.append(board.fen())
    assert seen[-1] == "r1bq1rk1/ppp2ppp/2nb4/3n4/3p4/2N2N2/PPP2PPP/R1BQ1RK1 w - -"
    for fen in reversed(seen[:-1]):
        board.pop()
        assert board.fen() == fen
    assert board.fen() == DEFAULT_FEN


def test_pop_on_fresh_board_panics(expect_panic: Callable[..., Any]) -> None:
    board = Board(KIWIPETE)
    with expect_panic(UNWRAP_NONE):
        board.pop()
    assert board.fen() == KIWIPETE
    board.push("e1f1")
    board.pop()
    with expect_panic(UNWRAP_NONE):
        board.pop()
    assert board.fen() == KIWIPETE


@pytest.mark.parametrize(
    ("move", "message"),
    [
        ("e2e", LENGTH_ERROR + "e2e"),
        ("  e2e  ", LENGTH_ERROR + "e2e"),
        ("O-O", LENGTH_ERROR + "O-O"),
        ("O-O-O", "Invalid chess move: Unsupported promotion type for O-O-O"),
        ("", LENGTH_ERROR),
        ("   ", LENGTH_ERROR),
        ("\n\u2003", LENGTH_ERROR),
        ("e2e4qq", LENGTH_ERROR + "e2e4qq"),
        ("e2 e4", "Invalid chess move: Unsupported promotion type for e2 e4"),
        ("e2e4\u00e9", LENGTH_ERROR + "e2e4\u00e9"),  # six bytes
        ("\U0001d7d8\U0001d7d8", LENGTH_ERROR + "\U0001d7d8\U0001d7d8"),  # eight bytes
        ("e7e8k", "Invalid chess move: Unsupported promotion type for e7e8k"),
        ("e7e8K", "Invalid chess move: Unsupported promotion type for e7e8K"),
        ("e7e8p", "Invalid chess move: Unsupported promotion type for e7e8p"),
        ("e2-e4", "Invalid chess move: Unsupported promotion type for e2-e4"),
        (" E2-E4 ", "Invalid chess move: Unsupported promotion type for E2-E4"),
        ("e2e\u00e9", "Invalid chess move: Unsupported promotion type for e2e\u00e9"),  # five bytes
        ("a1\u20ac", "Invalid chess move: Unsupported promotion type for a1\u20ac"),
        # The message is built with its length: a NUL and what follows stay.
        ("e2e4\x00", "Invalid chess move: Unsupported promotion type for e2e4\x00"),
        ("\x00e2e4\x00", LENGTH_ERROR + "\x00e2e4\x00"),
    ],
)
def test_push_value_errors(move: str, message: str, expect_error: Callable[..., Any]) -> None:
    board = Board()
    with expect_error(ValueError, message):
        board.push(move)
    assert board.fen() == DEFAULT_FEN


@pytest.mark.parametrize(
    ("move", "message"),
    [
        ("E2E4", "assertion failed: from_file <= 7"),
        ("i2e4", "assertion failed: from_file <= 7"),
        ("`2e4", "assertion failed: from_file <= 7"),
        ("e0e4", "assertion failed: from_rank <= 7"),
        ("e9e4", "assertion failed: from_rank <= 7"),
        ("e2i4", "assertion failed: to_file <= 7"),
        ("e2E4", "assertion failed: to_file <= 7"),
        ("e2e9", "assertion failed: to_rank <= 7"),
        ("e2e0", "assertion failed: to_rank <= 7"),
        ("1234", "assertion failed: from_file <= 7"),
        # Four bytes, three characters: the fourth character is missing.
        ("a1\u00e9", "index out of bounds: the len is 3 but the index is 3"),
        ("e7\u00e9", "index out of bounds: the len is 3 but the index is 3"),
        # Only the low byte of a code point is read: U+0165 reads as "e" and U+017E as "~".
        ("\u01652e", "index out of bounds: the len is 3 but the index is 3"),
        ("\u017e2e", "assertion failed: from_file <= 7"),
        ("\u01652eq", "assertion failed: to_rank <= 7"),
        ("a\u20ac", "assertion failed: from_rank <= 7"),
        # One astral character of four bytes: the second character is missing.
        ("\U0001d7d8", "index out of bounds: the len is 1 but the index is 1"),
        ("\U0001f600", "index out of bounds: the len is 1 but the index is 1"),
        # Well-formed text whose from-square is empty.
        ("e4e5", UNWRAP_NONE),
        ("a3a4", UNWRAP_NONE),
        ("h6h7q", UNWRAP_NONE),
    ],
)
def test_push_panics(move: str, message: str, expect_panic: Callable[..., Any]) -> None:
    board = Board()
    with expect_panic(message):
        board.push(move)
    assert board.fen() == DEFAULT_FEN


@pytest.mark.parametrize(
    ("fen", "move", "message"),
    [
        ("7k/4P3/8/8/8/8/8/4K3 w - -", "e7e8", "Invalid chess move: Missing promotion type for e7e8"),
        ("7k/4P3/8/8/8/8/8/4K3 w - -", "  e7e8\n", "Invalid chess move: Missing promotion type for e7e8"),
        ("3rk3/4P3/8/8/8/8/8/4K3 w - -", "e7d8", "Invalid chess move: Missing promotion type for e7d8"),
        ("4k3/8/8/8/8/8/3p4/K7 b - -", "d2d1", "Invalid chess move: Missing promotion type for d2d1"),
        # A pawn towards its own side, or one of the side not to move.
        ("4k3/8/8/8/8/8/4P3/K7 w - -", "e2e1", "Invalid chess move: Missing promotion type for e2e1"),
        (DEFAULT_FEN, "e7e8", "Invalid chess move: Missing promotion type for e7e8"),
    ],
)
def test_pawn_to_last_rank_needs_promotion_letter(
    fen: str, move: str, message: str, expect_error: Callable[..., Any]
) -> None:
    board = Board(fen)
    with expect_error(ValueError, message):
        board.push(move)
    assert board.fen() == Board(fen).fen()


@pytest.mark.parametrize(
    ("fen", "move"),
    [
        # The victim would stand one rank below a1 or one rank above a8.
        ("4k3/8/8/8/8/8/1P6/4K3 w - -", "b2a1q"),
        ("4k3/8/8/8/8/8/1p6/4K3 w - -", "b2a1q"),
        ("4k3/8/8/8/8/8/1p6/4K3 w - -", "b2c1n"),
        ("4k3/1p6/8/8/8/8/8/4K3 b - -", "b7a8q"),
        ("4k3/1P6/8/8/8/8/8/4K3 b - -", "b7c8r"),
    ],
)
def test_en_passant_off_the_board_refused(fen: str, move: str) -> None:
    board = Board(fen)
    with pytest.raises(ValueError) as info:
        board.push(move)
    assert type(info.value) is ValueError
    assert str(info.value).startswith("Invalid chess move: ")
    assert str(info.value).endswith(f" for {move}")
    assert board.fen() == fen


def test_backward_promotion_with_letter_is_made() -> None:
    assert played("4k3/8/8/8/8/8/4P3/K7 w - -", "e2e1q") == "4k3/8/8/8/8/8/8/K3Q3 b - -"


BAD_MOVES = [
    "e2e", "", "O-O", "e7e8k", "e2-e4", "E2E4", "e2e9", "e0e4", "a1\u00e9", "\U0001f600",
    "e4e5", "h3h4", "a1a8a", "zzzz", "\x00\x00\x00\x00", "e7e8", "b2a1q", "d2d1",
]  # fmt: skip

POSITIONS = [
    (DEFAULT_FEN, []),
    (DEFAULT_FEN, ["e2e4", "e7e5"]),
    (KIWIPETE, ["e1g1", "e8c8", "d5e6"]),
    ("4k3/8/8/8/8/8/1p5P/4K3 w - -", ["h2h4"]),
    ("4k3/4P3/8/8/8/8/3p4/4K3 b - -", []),
    ("8/8/8/8/8/8/8/8 w - -", []),
]


@pytest.mark.parametrize(("fen", "moves"), POSITIONS)
def test_failed_push_changes_nothing(fen: str, moves: list[str]) -> None:
    board = Board(fen)
    for move in moves:
        board.push(move)
    before = snapshot(board)
    history = history_depth(board)
    failures = 0
    for text in BAD_MOVES:
        try:
            board.push(text)
        except ValueError as exc:
            assert str(exc).startswith("Invalid chess move: ")
            failures += 1
        except BaseException as exc:  # noqa: BLE001
            check_panic(exc, str(exc))
            failures += 1
        else:
            board.pop()
            continue
        assert snapshot(board) == before, text
        assert history_depth(board) == history, text
    assert failures >= 10
    # The history still takes back exactly the moves made.
    for _ in moves:
        board.pop()
    assert board.fen() == Board(fen).fen()


# Reflection.


def test_reflect_worked_example() -> None:
    board = Board(AFTER_E4)
    assert board.reflect() is None
    assert board.fen() == "rnbqkbnr/pppp1ppp/8/4p3/8/8/PPPPPPPP/RNBQKBNR w KQkq e6"


@pytest.mark.parametrize(
    ("fen", "reflected"),
    [
        (DEFAULT_FEN, DEFAULT_FEN.replace(" w ", " b ")),
        ("4k3/8/8/8/8/8/8/4K2R w K -", "4k2r/8/8/8/8/8/8/4K3 b k -"),
        ("4k3/8/8/8/8/8/8/R3K3 b Q -", "r3k3/8/8/8/8/8/8/4K3 w q -"),
        ("r3k3/8/8/8/8/8/8/4K3 w q -", "4k3/8/8/8/8/8/8/R3K3 b Q -"),
        ("4k3/8/8/8/8/8/8/4K3 w - -", "4k3/8/8/8/8/8/8/4K3 b - -"),
        ("8/8/8/8/8/8/8/8 b - -", "8/8/8/8/8/8/8/8 w - -"),
        ("rnbqkbnr/ppp1pppp/8/3pP3/8/8/PPPP1PPP/RNBQKBNR w KQkq d6", "rnbqkbnr/pppp1ppp/8/8/3Pp3/8/PPP1PPPP/RNBQKBNR b KQkq d3"),
        (KIWIPETE, "r3k2r/pppbbppp/2n2q1P/1P2p3/3pn3/BN2PNP1/P1PPQPB1/R3K2R b KQkq -"),
        ("8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - -", "8/4p1p1/8/1r3P1K/kp5R/3P4/2P5/8 b - -"),
    ],
)
def test_reflect_table(fen: str, reflected: str) -> None:
    board = Board(fen)
    turn = board.turn()
    board.reflect()
    assert board.fen() == reflected
    assert board.turn() == ("black" if turn == "white" else "white")
    board.reflect()
    assert board.fen() == Board(fen).fen()
    assert board.turn() == turn


@pytest.mark.parametrize(
    "fen",
    [DEFAULT_FEN, KIWIPETE, AFTER_E4, "ppppppppp/8/8/8/8/8/8/R7 w KQ -", "r2q1rk1/pP1p2pp/Q4n2/bbp1p3/Np6/1B3NBn/pPPP1PPP/R3K2R b KQ -"],
)
def test_reflect_planes(fen: str) -> None:
    board = Board(fen)
    old = board.bitboard()
    board.reflect()
    new = board.bitboard()
    for p in range(6):
        for i in range(64):
            assert new[p][i] == old[p + 6][i ^ 56]
            assert new[p + 6][i] == old[p][i ^ 56]


def test_reflect_keeps_en_passant_sets_apart() -> None:
    # Both sets travel: the one of the side to move shows before and after.
    board = Board("4k3/8/8/8/8/8/8/4K3 w - c")
    board.reflect()
    assert board.fen() == "4k3/8/8/8/8/8/8/4K3 b - c3"
    board.reflect()
    assert board.fen() == "4k3/8/8/8/8/8/8/4K3 w - c6"


def test_pop_after_reflect_panics(expect_panic: Callable[..., Any]) -> None:
    board = Board()
    board.push("e2e4")
    board.reflect()
    reflected = board.fen()
    assert reflected == "rnbqkbnr/pppp1ppp/8/4p3/8/8/PPPPPPPP/RNBQKBNR w KQkq e6"
    with expect_panic(UNWRAP_NONE):
        board.pop()
    assert board.fen() == reflected


def test_moves_after_reflect() -> None:
    board = Board()
    board.push("e2e4")
    board.reflect()
    board.push("d2d4")
    assert board.fen() == "rnbqkbnr/pppp1ppp/8/4p3/3P4/8/PPP1PPPP/RNBQKBNR b KQkq d3"
    board.pop()
    assert board.fen() == "rnbqkbnr/pppp1ppp/8/4p3/8/8/PPPPPPPP/RNBQKBNR w KQkq e6"


def test_reflect_is_in_place() -> None:
    board = Board(AFTER_E4)
    alias = board
    copy = board.copy()
    result = board.reflect()
    assert result is None
    assert alias.fen() == "rnbqkbnr/pppp1ppp/8/4p3/8/8/PPPPPPPP/RNBQKBNR w KQkq e6"
    assert copy.fen() == AFTER_E4
