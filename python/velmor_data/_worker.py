"""The worker side of the encode job: encode a chunk, then write it where told.

A worker keeps each chunk it encoded until the job, which alone knows how many
positions came before it, sends where its positions go in the shards; the
worker then writes them straight into the shard files. Every position is so
copied once, by the process that encoded it, and workers write in parallel.

The same ``ChunkEncoder`` runs in local worker processes and as a Ray actor.
Messages and replies are plain tuples:

    ("encode", chunk, data, first_index, first_line, errors, min_elo)
        -> ("encoded", chunk, stats)  or  ("game error", chunk, details)
    ("write", chunk, pieces)
        -> ("written", chunk)
    any failure
        -> ("failed", chunk, message)

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
from typing import Any

from . import _format

Message = tuple[Any, ...]


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

    def handle(self, message: Message) -> Message:
        chunk = message[1]
        try:
            if message[0] == "encode":
                return self._encode(*message[1:])
            if message[0] == "write":
                return self._write(*message[1:])
            raise ValueError(f"unknown message {message[0]!r}")
        except Exception as error:  # reported to the job, which stops with it
            detail = f"{type(error).__name__}: {error}"
            if not isinstance(error, OSError):
                detail += "\n" + traceback.format_exc()
            return ("failed", chunk, detail)

    def _encode(self, chunk: int, data: bytes, first_index: int, first_line: int,
                errors: str, min_elo: int | None) -> Message:
        import velmor_data

        kind, value = self._fault
        if kind == "slow":
            time.sleep(value)
        elif kind == "crash" and chunk == value:
            os._exit(70)
        elif kind == "raise" and chunk == value:
            raise RuntimeError(f"injected failure in chunk {chunk}")
        columns, positions, games_read, games_encoded, games_filtered, skipped = velmor_data._encode_columns(
            data, raise_errors=errors == "raise", include_final=False, min_elo=-1 if min_elo is None else min_elo,
            first_index=first_index, first_line=first_line)
        if errors == "raise" and skipped:
            return ("game error", chunk, _game_error(skipped[0]))
        self._batches[chunk] = columns
        stats = {
            "positions": positions,
            "games_read": games_read,
            "games_encoded": games_encoded,
            "games_filtered": games_filtered,
            "skipped": [_game_error(error) for error in skipped],
        }
        return ("encoded", chunk, stats)

    def _write(self, chunk: int, pieces: list[tuple[str, int, int, int]]) -> Message:
        """pieces: (shard directory, first row in the shard, first and last row in the chunk)."""
        columns = self._batches.pop(chunk)
        if self._fault == ("enospc", chunk) and pieces:
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC), pieces[0][0])
        for directory, shard_row, start, stop in pieces:
            for (file_name, row_bytes), column in zip(self._files, columns):
                part = memoryview(column)[start * row_bytes:stop * row_bytes]
                fd = os.open(os.path.join(directory, file_name), os.O_WRONLY)
                try:
                    _pwrite_all(fd, part, _format.HEADER_BYTES + shard_row * row_bytes)
                finally:
                    os.close(fd)
        return ("written", chunk)


def _pwrite_all(fd: int, data: memoryview, offset: int) -> None:
    while data:
        done = os.pwrite(fd, data, offset)
        data = data[done:]
        offset += done


def _game_error(error: Any) -> tuple[int, int, str, str | None, str]:
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
