"""Checked by mypy --strict against the installed package (make test-python):
the annotations a user sees of every public name."""

from __future__ import annotations

import io

import numpy

import velmor_data
from velmor_data import Chunk, EncodedGames, Game, GameError, GameReader

planes: numpy.ndarray = velmor_data.encode_fens(["8/8/8/8/8/8/8/8 w - -"])
batch: EncodedGames = velmor_data.encode_games(b"1. e4 *", errors="raise", include_final=True, min_elo=1500)
positions: int = batch.positions + len(batch) + batch.games_read + batch.games_encoded + batch.games_filtered
skipped: list[GameError] = batch.skipped
first: GameError | None = skipped[0] if skipped else None
kind: str | None = first.kind if first else None
move: str | None = first.move if first else None
column: numpy.ndarray = batch["planes"]
arrays: dict[str, numpy.ndarray] = batch.arrays
schema: tuple[str, tuple[int, ...], str] = velmor_data.SCHEMA["planes"]
kinds: tuple[str, ...] = velmor_data.ERROR_KINDS

with velmor_data.read_games(io.BytesIO(b"1. e4 *")) as reader:
    checked: GameReader = reader
    for game in reader:
        assert isinstance(game, Game)
        tags: list[tuple[str, str]] = game.tags
        white: str | None = game.tag("White")
        uci: list[str] = game.moves
        line: int = game.line + game.index
    count: int = reader.games_read

for chunk in velmor_data.split_games(b"1. e4 *", chunk_bytes=1 << 16):
    assert isinstance(chunk, Chunk)
    data: bytes = chunk.data
    part = velmor_data.encode_games(data, first_index=chunk.first_index, first_line=chunk.first_line)


def load(path: str) -> None:
    dataset: velmor_data.Dataset = velmor_data.open_dataset(path)
    count: int = len(dataset)
    item: dict[str, numpy.ndarray] = dataset[count - 1]
    whole: numpy.ndarray = dataset.array("planes")
    maps: list[dict[str, numpy.memmap]] = dataset.shards
    for batch in dataset.batches(1024, seed=1, epoch=2, fields=["move_from"], rank=0, world_size=2):
        planes: numpy.ndarray = batch["planes"]
    train, validation = dataset.split(0.1, seed=3)
    sizes: tuple[int, int] = (len(train), len(validation))
    games: dict[str, numpy.ndarray] | None = dataset.games
