"""The worker side of the encode job: encode a chunk, then write it where told.

A worker keeps each chunk it encoded until the job, which alone knows how many
positions came before it, sends where its positions go in the shards; the
worker then writes them straight into the shard files. Every position is so
copied once, by the process that encoded it, and workers write in parallel.

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
    """A chunk's rows start:stop, written from row shard_row of the shard in directory on."""
    directory: str
    shard_row: int
    start: int
    stop: int


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

        self._batches: dict[int, Any] = {}
        self._fault = _fault()
        # Each array's file and the bytes of one position in it, in the
        # order of the encoder's columns.
        self._files = [(f"{name}.npy", _format.row_bytes(dtype, shape))
                       for name, (dtype, shape, _) in velmor_data.SCHEMA.items()]

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
        self._batches[chunk] = encoded.columns
        return Encoded(chunk, encoded.positions, encoded.games_read, encoded.games_encoded, encoded.games_filtered,
                       tuple(_game_error(error) for error in encoded.skipped), encoded.castling_dropped,
                       tuple(encoded.filtered_by_reason.values()))

    def _write(self, message: Write) -> Written:
        columns = self._batches.pop(message.chunk)
        if self._fault == ("enospc", message.chunk) and message.pieces:
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC), message.pieces[0].directory)
        for piece in message.pieces:
            for (file_name, row_bytes), column in zip(self._files, columns):
                part = memoryview(column)[piece.start * row_bytes:piece.stop * row_bytes]
                fd = os.open(os.path.join(piece.directory, file_name), os.O_WRONLY)
                try:
                    _pwrite_all(fd, part, _format.HEADER_BYTES + piece.shard_row * row_bytes)
                finally:
                    os.close(fd)
        return Written(message.chunk)


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
