"""The policy spaces against their definitions, built here independently
(python-chess's attack tables give the queen and knight moves)."""

from __future__ import annotations

import chess
import pytest

import velmor_data

FILES = "abcdefgh"


def name(square: int) -> str:
    return FILES[square % 8] + str(square // 8 + 1)


def on_board(square: int, df: int, dr: int) -> int | None:
    file, rank = square % 8 + df, square // 8 + dr
    return rank * 8 + file if 0 <= file < 8 and 0 <= rank < 8 else None


def from_to() -> list[str]:
    return ["" if f == t else name(f) + name(t) for f in range(64) for t in range(64)]


def uci() -> list[str]:
    pairs = [
        (f, t)
        for f in range(64)
        for t in range(64)
        if t in chess.SquareSet(chess.BB_KNIGHT_ATTACKS[f]) or _queen_reaches(f, t)
    ]
    promotions = [
        (f, t)
        for f in range(64)
        for t in range(64)
        if abs(f % 8 - t % 8) <= 1 and (f // 8, t // 8) in ((6, 7), (1, 0))
    ]
    return [name(f) + name(t) for f, t in pairs] + [name(f) + name(t) + p for f, t in promotions for p in "nbrq"]


def _queen_reaches(f: int, t: int) -> bool:
    board = chess.Board.empty()
    board.set_piece_at(f, chess.Piece(chess.QUEEN, chess.WHITE))
    return t in board.attacks(f)


def alphazero() -> list[str]:
    queen = [(0, 1), (1, 1), (1, 0), (1, -1), (0, -1), (-1, -1), (-1, 0), (-1, 1)]
    knight = [(1, 2), (2, 1), (2, -1), (1, -2), (-1, -2), (-2, -1), (-2, 1), (-1, 2)]
    out = []
    for f in range(64):
        planes: list[str] = []
        for df, dr in queen:
            for distance in range(1, 8):
                t = on_board(f, df * distance, dr * distance)
                planes.append("" if t is None else name(f) + name(t))
        for df, dr in knight:
            t = on_board(f, df, dr)
            planes.append("" if t is None else name(f) + name(t))
        up = {6: 1, 1: -1}.get(f // 8)
        for piece in "nbr":
            for df in (-1, 0, 1):
                t = None if up is None else on_board(f, df, up)
                planes.append("" if t is None else name(f) + name(t) + piece)
        assert len(planes) == 73
        out += planes
    return out


@pytest.mark.parametrize("space, build", [("from_to", from_to), ("uci", uci), ("alphazero", alphazero)])
def test_space_is_its_definition(space: str, build) -> None:
    moves = velmor_data.policy_moves(space)
    assert len(moves) == velmor_data.POLICY_SIZES[space]
    assert list(moves) == build()


def test_uci_space_holds_every_legal_move_of_a_promotion_heavy_position() -> None:
    board = chess.Board("1r2k2r/P1P3P1/8/8/8/8/1p1p3p/R3K1NR w KQk - 0 1")
    moves = set(velmor_data.policy_moves("uci"))
    for b in (board, board.mirror()):
        for move in b.legal_moves:
            assert move.uci() in moves


@pytest.mark.parametrize("bad, error", [("lc0", ValueError), ("", ValueError), (4096, TypeError)])
def test_unknown_space_is_refused(bad: object, error: type[Exception]) -> None:
    with pytest.raises(error, match="space"):
        velmor_data.policy_moves(bad)  # type: ignore[arg-type]
