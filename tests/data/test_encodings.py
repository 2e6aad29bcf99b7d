"""The training encodings against references that share nothing with the
native path: python-chess's legal moves mapped through policy_moves, the
mover's view against Board.reflect(), and history and repetition against the
games replayed with Board."""

from __future__ import annotations

import os
import random
from pathlib import Path

import chess
import numpy
import pytest

import velmor_chess
import velmor_data

import chess.pgn
from pgn_text import FEN_STARTS, play

SAMPLE = Path(__file__).resolve().parents[2] / "data" / "sample-games.pgn.zst"
SPACES = ("from_to", "uci", "alphazero")
# The oracle's side is plain Python: under the sanitizers a fifth of the rows.
MANY = 20_000 if os.environ.get("VELMOR_SANITIZED") else 100_000


def random_games_text(count: int, seed: int) -> str:
    """Random play (null moves now and then), from the start and from
    positions with castling, en passant, promotions and pins near; knights
    shuffled back and forth make repetitions."""
    rng = random.Random(seed)
    games = []
    for i in range(count):
        start = FEN_STARTS[i % len(FEN_STARTS)] if i % 3 else None
        board = chess.Board(start) if start else chess.Board()
        moves = play(rng, board.copy(), rng.randint(1, 160))
        if i % 5 == 0:
            moves = [chess.Move.from_uci(u) for u in ["g1f3", "g8f6", "f3g1", "f6g8"] * 3] if not start else moves
        game = chess.pgn.Game.from_board(_played(board, moves))
        games.append(str(game))
    return "\n\n".join(games) + "\n"


def _played(board: chess.Board, moves: list[chess.Move]) -> chess.Board:
    for move in moves:
        board.push(move)
    return board


@pytest.fixture(scope="module")
def sample() -> velmor_data.EncodedGames:
    if not SAMPLE.exists():
        pytest.fail(f"{SAMPLE} is missing: scripts/make-sample-games writes it")
    return velmor_data.encode_games(SAMPLE, include_final=True)


@pytest.fixture(scope="module")
def random_play() -> velmor_data.EncodedGames:
    batch = velmor_data.encode_games(random_games_text(150, 20261209).encode(), include_final=True)
    assert not batch.skipped
    return batch


def oracle_board(arrays: dict[str, numpy.ndarray], row: int) -> chess.Board:
    """python-chess's board of a row, built from its arrays."""
    board = chess.Board(None)
    planes = arrays["planes"][row].reshape(12, 64)
    for plane in range(12):
        for square in numpy.flatnonzero(planes[plane]):
            board.set_piece_at(int(square), chess.Piece(plane % 6 + 1, plane < 6))
    board.turn = bool(arrays["turn"][row] == 0)
    rights = arrays["castling"][row]
    board.castling_rights = (
        (chess.BB_H1 if rights[0] else 0)
        | (chess.BB_A1 if rights[1] else 0)
        | (chess.BB_H8 if rights[2] else 0)
        | (chess.BB_A8 if rights[3] else 0)
    )
    file = int(arrays["en_passant"][row])
    board.ep_square = None if file < 0 else chess.square(file, 5 if board.turn else 2)
    return board


def text_in_space(move: chess.Move, space: str, flip: bool) -> str:
    if flip:
        move = chess.Move(chess.square_mirror(move.from_square), chess.square_mirror(move.to_square), move.promotion)
    text = move.uci()
    if space == "from_to" or (space == "alphazero" and move.promotion == chess.QUEEN):
        text = text[:4]
    return text


@pytest.mark.parametrize(
    "space, view, rows",
    [("alphazero", "mover", MANY), ("uci", "absolute", 5_000), ("from_to", "mover", 5_000)],
)
def test_legal_mask_is_python_chess_legal_moves(sample, random_play, space: str, view: str, rows: int) -> None:
    index = {text: i for i, text in enumerate(velmor_data.policy_moves(space)) if text}
    checked = 0
    for batch, limit in ((sample, rows), (random_play, rows)):
        arrays = {name: array[:limit] for name, array in batch.arrays.items()}
        packed = velmor_data.encode_positions(
            arrays, view=view, policy=space, legal_mask=True, packed_mask=True  # type: ignore[arg-type]
        )["legal"]
        plain = velmor_data.encode_positions(arrays, view=view, policy=space, legal_mask=True)["legal"]  # type: ignore[arg-type]
        assert numpy.array_equal(numpy.packbits(plain, axis=1, bitorder="little"), packed)
        for row in range(len(plain)):
            board = oracle_board(arrays, row)
            flip = view == "mover" and board.turn == chess.BLACK
            expected = {index[text_in_space(move, space, flip)] for move in board.legal_moves}
            assert set(numpy.flatnonzero(plain[row]).tolist()) == expected, (board.fen(), space, view)
            checked += 1
    assert checked >= rows


@pytest.mark.parametrize("space", SPACES)
@pytest.mark.parametrize("view", ["absolute", "mover"])
def test_policy_index_is_the_played_move(random_play, space: str, view: str) -> None:
    arrays = random_play.arrays
    out = velmor_data.encode_positions(random_play, view=view, policy=space)  # type: ignore[arg-type]
    moves = velmor_data.policy_moves(space)
    for row in range(len(random_play)):
        if arrays["move_from"][row] < 0:
            assert out["policy"][row] == -1
            continue
        board = oracle_board(arrays, row)
        promotion = int(arrays["move_promotion"][row])
        move = chess.Move(
            int(arrays["move_from"][row]), int(arrays["move_to"][row]), promotion + 1 if promotion else None
        )
        assert move in board.legal_moves
        assert moves[out["policy"][row]] == text_in_space(move, space, view == "mover" and board.turn == chess.BLACK)


def replayed(batch: velmor_data.EncodedGames) -> list[velmor_chess.Board]:
    """Every row's position, by playing each game's moves on Board from the
    start position its first row shows."""
    arrays = batch.arrays
    boards: list[velmor_chess.Board] = []
    for row in range(len(batch)):
        # Board has no null move: after one (and at a game's start) the row's own position.
        if arrays["ply"][row] == 0 or arrays["move_from"][row - 1] == -2:
            board = velmor_chess.Board(oracle_board(arrays, row).fen(en_passant="fen").rsplit(" ", 2)[0])
        else:
            board = boards[-1].copy()
            previous = row - 1
            promotion = int(arrays["move_promotion"][previous])
            text = chess.Move(
                int(arrays["move_from"][previous]), int(arrays["move_to"][previous]), promotion + 1 if promotion else None
            ).uci()
            board.push(text)
        boards.append(board)
    return boards


@pytest.mark.parametrize("history, view", [(0, "absolute"), (3, "mover"), (8, "absolute"), (8, "mover")])
def test_history_and_repetition_replay_the_game(random_play, view: str, history: int) -> None:
    arrays = random_play.arrays
    boards = replayed(random_play)
    fens = [board.fen() for board in boards]
    planes = [numpy.array(board.bitboard(), dtype=numpy.uint8) for board in boards]
    reflected = []
    for board in boards:
        copy = board.copy()
        copy.reflect()
        reflected.append(numpy.array(copy.bitboard(), dtype=numpy.uint8))
    out = velmor_data.encode_positions(random_play, view=view, history=history)  # type: ignore[arg-type]
    assert out["planes"].shape == (len(random_play), 13 * (history + 1), 8, 8)
    repeats = 0
    for row, board in enumerate(boards):
        flip = view == "mover" and board.turn() == "black"
        ply = int(arrays["ply"][row])
        game_fens = fens[row - ply : row + 1]
        for step in range(history + 1):
            got = out["planes"][row, 13 * step : 13 * (step + 1)].reshape(13, 64)
            if step > ply:
                assert not got.any()
                continue
            expected = (reflected if flip else planes)[row - step]
            assert numpy.array_equal(got[:12], expected), (row, step)
            repeated = game_fens[ply - step] in game_fens[: ply - step]
            repeats += repeated
            assert (got[12] == repeated).all(), (row, step)
    assert repeats > 0, "the games must hold repetitions"


def test_mover_view_is_reflect(sample) -> None:
    arrays = {name: array[:5000] for name, array in sample.arrays.items()}
    out = velmor_data.encode_positions(arrays, view="mover")
    for row in range(0, 5000, 7):
        board = velmor_chess.Board(oracle_board(arrays, row).fen(en_passant="fen").rsplit(" ", 2)[0])
        black = board.turn() == "black"
        if black:
            board.reflect()
        assert numpy.array_equal(out["planes"][row].reshape(12, 64), numpy.array(board.bitboard(), dtype=numpy.uint8))
        fields = board.fen().split(" ")
        assert out["turn"][row] == (0 if fields[1] == "w" else 1)
        rights = "".join(letter for letter, bit in zip("KQkq", out["castling"][row]) if bit) or "-"
        assert rights == fields[2]
        if arrays["move_from"][row] >= 0:
            flip = 56 if black else 0
            assert out["move_from"][row] == arrays["move_from"][row] ^ flip
            assert out["move_to"][row] == arrays["move_to"][row] ^ flip


# Packed planes beside every other option: none, a long history in the
# mover's view, history with a policy and its mask, a single step.
PACKED_PLANE_OPTIONS = [
    {},
    {"history": 8, "view": "mover"},
    {"history": 2, "view": "absolute", "policy": "uci", "legal_mask": True},
    {"history": 0},
]


def unpacked_planes(planes: numpy.ndarray) -> numpy.ndarray:
    """Packed planes (N, P, 8) as the planes of 0/1 (N, P, 8, 8)."""
    return numpy.unpackbits(planes, axis=-1, bitorder="little").reshape(*planes.shape, 8)


@pytest.mark.parametrize("options", PACKED_PLANE_OPTIONS, ids=lambda options: ",".join(map(str, options.items())))
def test_packed_planes_are_the_planes_as_bits(random_play, options: dict) -> None:
    """Unpacked bit by bit, the packed planes are the planes, repetition
    planes and the zeros before a game's start included; nothing else
    changes."""
    plain = velmor_data.encode_positions(random_play, **options)
    packed = velmor_data.encode_positions(random_play, packed_planes=True, **options)
    assert packed["planes"].dtype == numpy.uint8 and packed["planes"].shape == plain["planes"].shape[:-1]
    assert numpy.array_equal(unpacked_planes(packed["planes"]), plain["planes"])
    if "history" in options:
        assert plain["planes"][:, 12::13].any(), "the games must hold repetitions"
    assert list(packed) == list(plain)
    for name in plain:
        if name != "planes":
            assert numpy.array_equal(packed[name], plain[name], equal_nan=plain[name].dtype.kind == "f"), name


@pytest.mark.parametrize(
    "options, error",
    [
        (dict(view="black"), "view"),
        (dict(history=9), "history"),
        (dict(history=-1), "history"),
        (dict(policy="lc0"), "policy"),
        (dict(legal_mask=True), "legal_mask needs a policy"),
        (dict(policy="uci", packed_mask=True), "packed_mask needs legal_mask"),
    ],
)
def test_bad_options_are_refused(random_play, options: dict, error: str) -> None:
    with pytest.raises(ValueError, match=error):
        velmor_data.encode_positions(random_play, **options)


def test_rows_that_are_no_position_are_refused(random_play) -> None:
    arrays = {name: array[:10].copy() for name, array in random_play.arrays.items()}
    arrays["turn"][3] = 2
    with pytest.raises(ValueError, match="row 3: turn"):
        velmor_data.encode_positions(arrays)
    del arrays["ply"]
    with pytest.raises(ValueError, match="lack the columns ply"):
        velmor_data.encode_positions(arrays)


def test_the_readme_encoding_examples_run_as_written(monkeypatch, capsys) -> None:
    """Each option's example in the README's encodings section (the indented
    blocks; the section's first one encodes the whole sample) runs, and what
    an example prints is what its comment lines say it prints."""
    import re
    import textwrap

    root = Path(__file__).resolve().parents[2]
    text = (root / "README.md").read_text()
    section = text[text.index("### Encodings for training"):text.index("## The encode job")]
    blocks = [textwrap.dedent(code) for indent, code in re.findall(r"^( *)```python\n(.*?)^\1```", section, re.S | re.M)
              if indent]
    assert len(blocks) == 5, "an example for the view, history, the policy spaces, the legal mask and packed planes"
    monkeypatch.chdir(root)
    for block in blocks:
        exec(compile(block, "README.md", "exec"), {})
        printed = capsys.readouterr().out.splitlines()
        assert printed == [line[2:] for line in block.splitlines() if line.startswith("# ")], block
