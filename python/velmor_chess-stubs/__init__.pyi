"""Typing stub for the velmor_chess extension module."""

from typing import final

__all__ = ["Board", "MoveGenerator"]

@final
class Board:
    """A chess position with the undo history of the moves made on it."""

    def __new__(cls, fen: str = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -") -> Board: ...
    @staticmethod
    def bitboard_from_fen(fen: str) -> list[list[bool]]:
        """The 12 planes of 64 squares of a FEN placement field, without a board."""
    def fen(self) -> str:
        """The position as four-field FEN text."""
    def push(self, chess_move: str) -> None:
        """Makes a move given as coordinate text such as "e2e4" or "e7e8q"; legality is not tested."""
    def pop(self) -> None:
        """Takes back the last move made."""
    def bitboard(self) -> list[list[bool]]:
        """The 12 piece planes, each a list of 64 bools indexed by square (a1 = 0, h8 = 63)."""
    def turn(self) -> str:
        """"white" or "black"."""
    def reflect(self) -> None:
        """Mirrors the board top to bottom and swaps the colours, in place; the history is discarded."""
    def copy(self) -> Board:
        """An independent board with the same position and history."""

@final
class MoveGenerator:
    """Lists the legal moves of a board as coordinate text."""

    def __new__(cls) -> MoveGenerator: ...
    def __call__(self, board: Board) -> list[str]: ...
