"""Calls every entry point and error path of velmor_chess in a loop.

scripts/sanitize runs this under LeakSanitizer: a block leaked per call
shows up in the report at exit multiplied by the rounds (argument 1).
"""

import gc
import sys

import velmor_chess

rounds = int(sys.argv[1])
generator = velmor_chess.MoveGenerator()
fen = "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -"
for i in range(rounds):
    board = velmor_chess.Board(fen)
    for move in generator(board):
        board.push(move)
        board.fen()
        board.pop()
    board.push("e2a6")
    copy = board.copy()
    copy.reflect()
    copy.bitboard()
    board.turn()
    velmor_chess.Board.bitboard_from_fen(fen)
    for bad in ("e2", "e7e8k", "E2E4", 42):
        try:
            board.push(bad)
        except BaseException:
            pass
    for bad in ("8/8 w", "8/8/8/8/8/8/8/8 x - -", "x", None):
        try:
            velmor_chess.Board(bad)
        except BaseException:
            pass
    try:
        velmor_chess.Board("8/8/8/8/8/8/8/8 w - -").pop()
    except BaseException:
        pass
    try:
        generator(velmor_chess.Board("8/8/8/8/8/8/8/R7 w - -"))
    except BaseException:
        pass
    if i % 500 == 0:
        velmor_chess.MoveGenerator()
del board, copy, generator
gc.collect()
