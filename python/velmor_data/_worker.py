"""The worker side of the encode job: encode a chunk, then write it where told.

A worker keeps each chunk it encoded until the job, which alone knows how many
positions came before it, sends where its positions go in the shards; the
worker then packs each piece (the chunk's rows in one shard) into a position
store and writes it as part files in the shard's directory, which the job
joins in row order once the shard is complete. Workers pack and write in
parallel; the job only concatenates a few bytes a position.

The same ``ChunkEncoder`` runs in local worker processes and as a Ray actor.
Messages and replies are the small classes below:

    Encode  -> Encoded, or GameFailed (errors="raise" met a bad game)
    Write   -> Written
    either  -> Failed (the message says why)

``VELMOR_DATA_FAULT`` injects faults for the tests of the job's failure
handling: ``crash:N`` ends the worker process while encoding chunk N,
``raise:N`` raises there, ``enospc:N`` fails the write of chunk N as a full
disk would, and ``slow:SECONDS`` delays every chunk.
"""

from __future__ import annotations

import errno
import os
import signal
import time
import traceback
from dataclasses import dataclass
from typing import Any

from . import _format

# A skipped game as the job lists it: index, line, kind, move, message.
GameError = tuple[int, int, str, str | None, str]


@dataclass(frozen=True, slots=True)
class Encode:
    chunk: int
    data: bytes
    first_index: int
    first_line: int
    errors: str
    min_elo: int | None
    # encode_games's other filters as its keyword arguments (max_elo, speeds,
    # rated, bots, skip_plies); none when empty.
    filters: tuple[tuple[str, Any], ...] = ()


@dataclass(frozen=True, slots=True)
class Piece:
    """A chunk's rows start:stop, written from row shard_row of the shard in
    directory on; its row start is position first_position of the dataset."""
    directory: str
    shard_row: int
    start: int
    stop: int
    first_position: int = 0


@dataclass(frozen=True, slots=True)
class Write:
    chunk: int
    pieces: tuple[Piece, ...]


@dataclass(frozen=True, slots=True)
class Encoded:
    chunk: int
    positions: int
    games_read: int
    games_encoded: int
    games_filtered: int
    skipped: tuple[GameError, ...]
    castling_dropped: int = 0  # games whose FEN tag's impossible castling right was dropped
    filtered_by_reason: tuple[int, ...] = ()  # in the order of velmor_data.FILTER_REASONS


@dataclass(frozen=True, slots=True)
class GameFailed:
    chunk: int
    error: GameError


@dataclass(frozen=True, slots=True)
class Written:
    chunk: int


@dataclass(frozen=True, slots=True)
class Failed:
    chunk: int
    message: str


Message = Encode | Write
Reply = Encoded | GameFailed | Written | Failed


def _fault() -> tuple[str, float]:
    kind, _, value = os.environ.get("VELMOR_DATA_FAULT", "").partition(":")
    try:
        return kind, float(value)
    except ValueError:
        return "", 0.0


class ChunkEncoder:
    def __init__(self) -> None:
        import velmor_data

        self._batches: dict[int, tuple[Any, Any]] = {}
        self._fault = _fault()
        self._pack = velmor_data._native.store_pack
        names = list(velmor_data.SCHEMA)
        row_bytes = {name: _format.row_bytes(dtype, shape) for name, (dtype, shape, _) in velmor_data.SCHEMA.items()}
        # The encoder's columns (SCHEMA order) the store replays, in the
        # order store_pack takes them, with the bytes of a position in each;
        # the others each go to a file of its own beside the store.
        self._replayed = [(names.index(name), row_bytes[name]) for name in _format.REPLAYED]
        self._extras = [(names.index(name), _format.extra_file(name), row_bytes[name])
                        for name in _format.extra_columns(velmor_data.SCHEMA)]

    def handle(self, message: Message) -> Reply:
        try:
            if isinstance(message, Encode):
                return self._encode(message)
            if isinstance(message, Write):
                return self._write(message)
            raise ValueError(f"unknown message {message!r}")
        except Exception as error:  # reported to the job, which stops with it
            detail = f"{type(error).__name__}: {error}"
            if not isinstance(error, OSError):
                detail += "\n" + traceback.format_exc()
            return Failed(getattr(message, "chunk", -1), detail)

    def _encode(self, message: Encode) -> Encoded | GameFailed:
        import velmor_data

        chunk = message.chunk
        kind, value = self._fault
        if kind == "slow":
            time.sleep(value)
        elif kind == "crash" and chunk == value:
            os._exit(70)
        elif kind == "raise" and chunk == value:
            raise RuntimeError(f"injected failure in chunk {chunk}")
        filters = velmor_data._check_filters(min_elo=message.min_elo, **dict(message.filters))
        encoded = velmor_data._encode(
            message.data, raise_errors=message.errors == "raise", include_final=False, filters=filters,
            first_index=message.first_index, first_line=message.first_line, keep_skipped=True)
        if message.errors == "raise" and encoded.skipped:
            return GameFailed(chunk, _game_error(encoded.skipped[0]))
        # The columns, and the games table's columns (GAME_COLUMNS order; one
        # row a game, its first_position counted in the chunk).
        self._batches[chunk] = (encoded.columns, encoded.games)
        return Encoded(chunk, encoded.positions, encoded.games_read, encoded.games_encoded, encoded.games_filtered,
                       tuple(_game_error(error) for error in encoded.skipped), encoded.castling_dropped,
                       tuple(encoded.filtered_by_reason.values()))

    def _write(self, message: Write) -> Written:
        columns, games = self._batches.pop(message.chunk)
        if self._fault == ("enospc", message.chunk) and message.pieces:
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC), message.pieces[0].directory)
        for number, piece in enumerate(message.pieces):
            def rows(index: int, row_bytes: int) -> memoryview:
                return memoryview(columns[index])[piece.start * row_bytes:piece.stop * row_bytes]

            # Pieces are cut at chunk ends (whole games) and shard ends
            # only, and a store's runs never span two games: the shard's
            # store is its pieces' stores one after the other.
            packed = self._pack(tuple(rows(index, size) for index, size in self._replayed), piece.stop - piece.start)
            files: list[tuple[str, Any]] = list(zip((_format.MOVES, _format.KEYFRAMES, _format.RUNS), packed))
            files += [(name, rows(index, size)) for index, name, size in self._extras]
            for name, data in files:
                _write_file(os.path.join(piece.directory, _format.part_file(piece.shard_row, name)), data)
            if games:
                last = number == len(message.pieces) - 1
                _write_games(os.path.join(piece.directory, _format.part_file(piece.shard_row, _format.GAMES)),
                             games, piece, last)
        return Written(message.chunk)


def _write_file(path: str, data: Any) -> None:
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o644)
    try:
        _pwrite_all(fd, memoryview(data).cast("B"), 0)
    finally:
        os.close(fd)


def _write_games(path: str, games: Any, piece: Piece, last: bool) -> None:
    """The games of a chunk's games table whose first position is in the
    piece (the last piece also takes games without one past its end), as a
    .npy of one structured array, first_position made the dataset's."""
    import numpy

    import velmor_data

    games = {name: numpy.frombuffer(column, dtype) for (name, dtype), column in
             zip(velmor_data.GAME_COLUMNS.items(), games)}
    first = games["first_position"]
    chosen = (first >= piece.start) & ((first < piece.stop) | last)
    table = numpy.empty(int(chosen.sum()), [(name, numpy.asarray(column).dtype, numpy.asarray(column).shape[1:])
                                            for name, column in games.items()])
    for name, column in games.items():
        table[name] = numpy.asarray(column)[chosen]
    table["first_position"] += piece.first_position - piece.start
    with open(path, "xb") as file:
        numpy.save(file, table, allow_pickle=False)


def _pwrite_all(fd: int, data: memoryview, offset: int) -> None:
    while data:
        done = os.pwrite(fd, data, offset)
        data = data[done:]
        offset += done


def _game_error(error: Any) -> GameError:
    return (error.index, error.line, error.kind, error.move, error.message)


def serve(connection: Any, inherited: tuple[Any, ...] = ()) -> None:
    """A local worker process: handle messages until the job closes the pipe.

    inherited: the job's ends of the pipes, which a forked worker holds copies of.
    """
    for other in inherited:
        other.close()
    # Ctrl-C reaches the whole process group and the job alone decides what to
    # do; a forked worker must not run the job's own SIGTERM handler.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    encoder = ChunkEncoder()
    while True:
        try:
            message = connection.recv()
            if message is None:
                return
            connection.send(encoder.handle(message))
        except (EOFError, OSError):  # the job is gone or gave up on this worker
            return
