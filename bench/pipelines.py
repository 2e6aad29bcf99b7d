"""PGN text to piece planes, one pipeline per library, for the benchmarks.

Each pipeline takes PGN text (bytes) and returns the planes of every position
before each mainline move as one uint8 array (N, 12, 8, 8) in velmor_data's
layout: [position, plane, rank, file], rank 0 = rank 1, planes white P N B R
Q K then black. check_identical() runs them all on the same text and says
which agree with velmor_data. A peer that is not installed is left out.

    velmor_data     encode_games(text)["planes"]: one native pass
    python-chess    chess.pgn.read_game + pieces_mask words, unpacked by NumPy
    bulletchess     its PGN file reader + its bitboards, unpacked by NumPy
    fastchess       movetext split in Python, push_san, to_tensor per position

bulletchess reads only files of plain movetext (no comments or variations),
so the text given to all of them is plain.
"""

from __future__ import annotations

import importlib
import io
import os
import re
import tempfile
from collections.abc import Callable

import numpy

import velmor_data

Pipeline = Callable[[bytes], numpy.ndarray]


def _unpack(words: list[int]) -> numpy.ndarray:
    """64-bit plane words, twelve per position, to (N, 12, 8, 8) bytes."""
    array = numpy.array(words, dtype="<u8").view(numpy.uint8)
    return numpy.unpackbits(array, bitorder="little").reshape(-1, 12, 8, 8)


def velmor(text: bytes) -> numpy.ndarray:
    return velmor_data.encode_games(text)["planes"]


def python_chess(text: bytes) -> numpy.ndarray:
    import chess
    import chess.pgn

    stream = io.StringIO(text.decode("utf-8", "replace"))
    words: list[int] = []
    kinds = [(color, piece) for color in (chess.WHITE, chess.BLACK) for piece in chess.PIECE_TYPES]
    while (game := chess.pgn.read_game(stream)) is not None:
        board = game.board()
        for move in game.mainline_moves():
            words.extend(board.pieces_mask(piece, color) for color, piece in kinds)
            board.push(move)
    return _unpack(words)


def bulletchess(text: bytes) -> numpy.ndarray:
    import bulletchess as bc

    pieces = [bc.Piece(color, kind) for color in (bc.WHITE, bc.BLACK)
              for kind in (bc.PAWN, bc.KNIGHT, bc.BISHOP, bc.ROOK, bc.QUEEN, bc.KING)]
    words: list[int] = []
    # Its reader takes a path only.
    with tempfile.NamedTemporaryFile("wb", suffix=".pgn", delete=False) as file:
        file.write(text)
    try:
        games = bc.pgn.PGNFile.open(file.name)
        try:
            while (game := games.next_game()) is not None:
                board = bc.Board()
                for move in game.moves:
                    words.extend(int(board[piece]) for piece in pieces)
                    board.apply(move)
        finally:
            games.close()
    finally:
        os.unlink(file.name)
    return _unpack(words)


_MOVETEXT_NOISE = re.compile(r"\[[^\]]*\]|\{[^}]*\}|;[^\n]*|\$\d+|\d+\.(\.\.)?|1-0|0-1|1/2-1/2|\*")


def fastchess(text: bytes) -> numpy.ndarray:
    import fastchess as fc

    planes: list[numpy.ndarray] = []
    # Games are separated by their tag sections; fastchess has no PGN reader.
    for block in re.split(r"\n(?=\[Event )", text.decode("utf-8", "replace")):
        sans = _MOVETEXT_NOISE.sub(" ", block).split()
        if not sans:
            continue
        board = fc.Board()
        for san in sans:
            planes.append(board.to_tensor(canonical=False)[:12, ::-1])
            board.push_san(san)
    if not planes:
        return numpy.zeros((0, 12, 8, 8), numpy.uint8)
    return numpy.array(planes, dtype=numpy.uint8)


PIPELINES: dict[str, Pipeline] = {
    "velmor_data": velmor,
    "python-chess": python_chess,
    "bulletchess": bulletchess,
    "fastchess": fastchess,
}
PEER_MODULES = {"python-chess": "chess", "bulletchess": "bulletchess", "fastchess": "fastchess"}


def available() -> dict[str, Pipeline]:
    """The pipelines whose library is installed."""
    found = {}
    for name, pipeline in PIPELINES.items():
        module = PEER_MODULES.get(name)
        if module:
            try:
                importlib.import_module(module)
            except ImportError:
                continue
        found[name] = pipeline
    return found


def check_identical(text: bytes) -> dict[str, str]:
    """Runs every pipeline on the text: name -> "identical" or what differs."""
    reference = velmor(text)
    verdicts = {}
    for name, pipeline in available().items():
        try:
            planes = pipeline(text)
        except Exception as error:  # a peer that cannot read the text is reported, not fatal
            verdicts[name] = f"failed: {type(error).__name__}: {error}"
            continue
        if planes.shape != reference.shape:
            verdicts[name] = f"shape {planes.shape} against {reference.shape}"
        elif not numpy.array_equal(planes, reference):
            verdicts[name] = f"{int((planes != reference).any(axis=(1, 2, 3)).sum())} positions differ"
        else:
            verdicts[name] = "identical"
    return verdicts
