"""Count the positions reached from a position, through velmor_chess's Python API.

    python examples/perft.py [--fen FEN] [--depth N] [--divide]

Lists the legal moves, makes each one with Board.push, recurses and takes it
back with Board.pop; the last ply is counted by the length of its listing.
With --divide, one line per root move is printed as soon as it is counted,
which doubles as progress on deep runs.
"""

from __future__ import annotations

import argparse
import sys
import time

import velmor_chess

START_FEN = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -"
PLACEMENT_CHARACTERS = frozenset("PNBRQKpnbrqk0123456789/")


def perft(generator: velmor_chess.MoveGenerator, board: velmor_chess.Board, depth: int) -> int:
    if depth == 0:
        return 1
    moves = generator(board)
    if depth == 1:
        return len(moves)
    nodes = 0
    for move in moves:
        board.push(move)
        nodes += perft(generator, board, depth - 1)
        board.pop()
    return nodes


def divide(generator: velmor_chess.MoveGenerator, board: velmor_chess.Board, depth: int) -> int:
    nodes = 0
    for move in generator(board):
        board.push(move)
        count = perft(generator, board, depth - 1)
        board.pop()
        print(f"{move}: {count}", flush=True)
        nodes += count
    return nodes


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Count positions with the velmor_chess Python API.")
    parser.add_argument("--fen", default=START_FEN, help="the position (default: the start position)")
    parser.add_argument("--depth", default="5", help="plies to count (default: 5)")
    parser.add_argument("--divide", action="store_true", help="print the count under each root move")
    args = parser.parse_args(argv)

    try:
        depth = int(args.depth)
    except ValueError:
        depth = -1
    if depth < 0:
        print(f"perft: invalid depth {args.depth!r}: expected a whole number, 0 or more", file=sys.stderr)
        return 2
    # Text the board reader cannot make sense of raises the module's panic
    # exception (after a diagnostic on standard error); refuse it here first.
    fields = args.fen.split()
    if len(fields) < 4 or not set(fields[0]) <= PLACEMENT_CHARACTERS:
        print("perft: Invalid fen: expected placement, side to move, castling and en passant", file=sys.stderr)
        return 2
    # Listing the moves of a side without a king fails as an internal error.
    if "K" not in fields[0] or "k" not in fields[0]:
        print("perft: Invalid fen: each side needs a king", file=sys.stderr)
        return 2
    try:
        board = velmor_chess.Board(args.fen)
    except ValueError as error:
        print(f"perft: {error}", file=sys.stderr)
        return 2

    generator = velmor_chess.MoveGenerator()
    if depth > 0 and args.divide:
        start = time.perf_counter()
        nodes = divide(generator, board, depth)
    else:
        start = time.perf_counter()
        nodes = perft(generator, board, depth)
    seconds = time.perf_counter() - start

    rate = nodes / seconds if seconds > 0 else float("inf")
    print(f"fen: {board.fen()}")
    print(f"depth: {depth}")
    print(f"nodes: {nodes:,}")
    print(f"time: {seconds:.3f} s")
    print(f"positions per second: {rate:,.0f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
