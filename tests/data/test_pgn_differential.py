"""velmor_data against python-chess's PGN reader (the oracle) on generated
collections: the same games, mainlines, start positions and, position by
position, the same planes and features."""

from __future__ import annotations

import io
import os

import chess
import chess.pgn
import numpy
import pytest

import velmor_data
from pgn_text import collection

SEEDS = range(int(os.environ.get("VELMOR_DIFF_SEEDS", "4")))


def oracle_games(text: str) -> list[chess.pgn.Game]:
    stream = io.StringIO(text)
    games = []
    while (game := chess.pgn.read_game(stream)) is not None:
        assert not game.errors, game.errors
        games.append(game)
    return games


def expected_rows(games: list[chess.pgn.Game], include_final: bool) -> dict[str, list]:
    rows: dict[str, list] = {name: [] for name in velmor_data.SCHEMA}
    result_codes = {"1-0": 1, "0-1": -1, "1/2-1/2": 0, "*": -2}
    for index, game in enumerate(games):
        board = game.board()
        moves = list(game.mainline_moves())
        result = result_codes[game.headers.get("Result", "*")]
        for ply in range(len(moves) + (1 if include_final else 0)):
            move = moves[ply] if ply < len(moves) else None
            null = move is not None and not move
            planes = numpy.zeros((12, 64), numpy.uint8)
            for square, piece in board.piece_map().items():
                planes[(piece.piece_type - 1) + (0 if piece.color else 6), square] = 1
            rows["planes"].append(planes.reshape(12, 8, 8))
            rows["turn"].append(0 if board.turn else 1)
            rows["castling"].append(
                [
                    board.has_kingside_castling_rights(chess.WHITE),
                    board.has_queenside_castling_rights(chess.WHITE),
                    board.has_kingside_castling_rights(chess.BLACK),
                    board.has_queenside_castling_rights(chess.BLACK),
                ]
            )
            rows["en_passant"].append(-1 if board.ep_square is None else chess.square_file(board.ep_square))
            rows["halfmove_clock"].append(board.halfmove_clock)
            rows["fullmove_number"].append(board.fullmove_number)
            rows["move_from"].append(-2 if null else move.from_square if move else -1)
            rows["move_to"].append(-2 if null else move.to_square if move else -1)
            rows["move_promotion"].append((move.promotion - 1) if move and move.promotion else 0)
            rows["result"].append(result)
            rows["game"].append(index)
            rows["ply"].append(ply)
            if move is not None:
                board.push(move)
    return rows


@pytest.mark.parametrize("line_end", ["\n", "\r\n", "\r"], ids=["lf", "crlf", "cr"])
@pytest.mark.parametrize("seed", SEEDS)
def test_same_games_as_python_chess(seed: int, line_end: str) -> None:
    written = collection(seed, 30, line_end=line_end)
    ours = "".join(game.ours for game in written).encode()
    oracle = oracle_games("".join(game.oracle for game in written))
    assert len(oracle) == len(written)

    games = list(velmor_data.read_games(ours, errors="raise"))
    assert [game.moves for game in games] == [[m.uci() for m in g.mainline_moves()] for g in oracle]
    assert [game.fen for game in games] == [" ".join(g.board().fen().split()[:4]) for g in oracle]
    # python-chess keeps the escapes of tag values and adds missing roster
    # tags, so the tags are compared with what was written.
    assert [game.tags for game in games] == [game.tags for game in written]
    assert [game.result for game in games] == [g.headers["Result"] for g in oracle]
    # The forms that once cost a game are all there to be read.
    assert any("0000" in game.moves for game in games)
    assert any(game.tag("White", "").count('"') for game in games)
    dropped = sum("FEN" in g.headers and g.headers["FEN"].split()[2] != g.board().castling_xfen() for g in oracle)

    for include_final in (False, True):
        batch = velmor_data.encode_games(ours, errors="raise", include_final=include_final)
        expected = expected_rows(oracle, include_final)
        assert batch.games_encoded == len(oracle)
        assert batch.castling_dropped == dropped
        for name, (dtype, shape, _) in velmor_data.SCHEMA.items():
            if name in velmor_data.TEXT_FIELDS:  # from Lichess comments: test_lichess_fields.py
                continue
            want = numpy.array(expected[name], dtype=dtype).reshape((-1, *shape))
            numpy.testing.assert_array_equal(batch[name], want, err_msg=name)
