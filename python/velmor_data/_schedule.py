"""The encode job's scheduling, without I/O of its own: which worker encodes
which chunk, and where in the shards each chunk's positions go.

Chunks are cut in input order, each sent to the least busy worker if it has
fewer than two messages waiting, and at most three chunks per worker are in
flight (which bounds the memory held). A chunk is placed once every chunk before it
is placed: its positions follow theirs, cut at shard boundaries into pieces,
and the worker that encoded it is told to write them there. A shard is
finished when all its rows are written. The layout so depends only on the
input and the shard size, never on which worker was quicker.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from typing import Any, Protocol

from ._pool import Pool
from ._stop import JobError
from ._worker import Encode, Encoded, Failed, GameFailed, Piece, Write, Written


class Shards(Protocol):
    def start(self, shard: int) -> str:
        """Creates a shard; returns the directory its rows are written into."""
        ...

    def finish(self, shard: int, rows: int) -> None:
        """All rows of a shard are written (rows < the shard size: the last)."""
        ...


@dataclass(frozen=True, slots=True)
class Cut:
    """A chunk of whole games cut from input number `input`."""
    input: int
    data: bytes
    first_index: int
    first_line: int


@dataclass
class _Chunk:
    input: int
    first_line: int
    worker: int
    encoded: Encoded | None = None
    failed: GameFailed | None = None
    pieces: list[tuple[int, int]] = field(default_factory=list)  # (shard, rows)


class Schedule:
    """One run of the chunks through a pool into shards.

    on_encoded(reply) sees each chunk's counts as it is encoded (progress);
    on_placed(input, reply) sees them in input order (the job's accounting).
    """

    def __init__(self, pool: Pool, shards: Shards, *, shard_size: int, inputs: Sequence[str], errors: str,
                 min_elo: int | None, filters: tuple[tuple[str, Any], ...] = (),
                 on_encoded: Callable[[Encoded], None] = lambda reply: None,
                 on_placed: Callable[[int, Encoded], None] = lambda input, reply: None) -> None:
        self.pool = pool
        self.shards = shards
        self.shard_size = shard_size
        self.inputs = inputs
        self.errors = errors
        self.min_elo = min_elo
        self.filters = filters
        self.on_encoded = on_encoded
        self.on_placed = on_placed
        self.chunks: dict[int, _Chunk] = {}
        self.queued = [0] * pool.size      # messages sent to a worker and not answered
        self.window = 3 * pool.size        # chunks in flight
        self.placed = 0                    # positions placed so far
        self.shard_rows: list[int] = []    # rows written into each shard
        self._next_number = 0              # next chunk to cut
        self._next_place = 0               # next chunk, in input order, to place
        self._first_error: int | None = None
        self._directories: list[str] = []

    def run(self, cuts: Iterator[Cut]) -> list[int]:
        """Encodes and writes every chunk; returns the rows of each shard."""
        exhausted = False
        while True:
            # Keep every worker busy, within the window.
            while not exhausted and self._first_error is None and len(self.chunks) < self.window:
                worker = min(range(self.pool.size), key=self.queued.__getitem__)
                if self.queued[worker] >= 2:
                    break
                cut = next(cuts, None)
                if cut is None:
                    exhausted = True
                    break
                self._send_encode(worker, cut)
            if exhausted and not self.chunks:
                break
            if self._first_error is not None and self._next_place == self._first_error:
                raise JobError(self._describe_bad_game(self.chunks[self._first_error]))
            for worker, reply in self.pool.replies(timeout=0.2):
                self._receive(worker, reply)
            self._place_ready()
        # The last shard is usually short: its headers get the real count.
        if self.shard_rows and self.shard_rows[-1] < self.shard_size:
            self.shards.finish(len(self.shard_rows) - 1, self.shard_rows[-1])
        return self.shard_rows

    def _send_encode(self, worker: int, cut: Cut) -> None:
        number = self._next_number
        self.chunks[number] = _Chunk(cut.input, cut.first_line, worker)
        self.pool.send(worker, Encode(number, cut.data, cut.first_index, cut.first_line, self.errors, self.min_elo,
                                          self.filters))
        self.queued[worker] += 1
        self._next_number += 1

    def _receive(self, worker: int, reply: object) -> None:
        self.queued[worker] -= 1
        if isinstance(reply, Failed):
            where = self.chunks.get(reply.chunk)
            place = f"{self.inputs[where.input]!r} from line {where.first_line}" if where else f"chunk {reply.chunk}"
            raise JobError(f"encoding {place} failed: {reply.message}")
        if isinstance(reply, GameFailed):
            self.chunks[reply.chunk].failed = reply
            if self._first_error is None or reply.chunk < self._first_error:
                self._first_error = reply.chunk
        elif isinstance(reply, Encoded):
            self.chunks[reply.chunk].encoded = reply
            self.on_encoded(reply)
        elif isinstance(reply, Written):
            for shard, rows in self.chunks.pop(reply.chunk).pieces:
                self.shard_rows[shard] += rows
                if self.shard_rows[shard] == self.shard_size:
                    self.shards.finish(shard, self.shard_size)
        else:
            raise JobError(f"unexpected reply {reply!r} from a worker")

    def _place_ready(self) -> None:
        """Places the chunks whose predecessors are all placed."""
        while (chunk := self.chunks.get(self._next_place)) is not None and chunk.encoded is not None:
            positions = chunk.encoded.positions
            pieces = []
            start = 0
            while start < positions:
                shard, row = divmod(self.placed + start, self.shard_size)
                if shard == len(self.shard_rows):
                    self._directories.append(self.shards.start(shard))
                    self.shard_rows.append(0)
                rows = min(self.shard_size - row, positions - start)
                pieces.append(Piece(self._directories[shard], row, start, start + rows, self.placed + start))
                chunk.pieces.append((shard, rows))
                start += rows
            self.placed += positions
            self.on_placed(chunk.input, chunk.encoded)
            self.pool.send(chunk.worker, Write(self._next_place, tuple(pieces)))
            self.queued[chunk.worker] += 1
            self._next_place += 1

    def _describe_bad_game(self, chunk: _Chunk) -> str:
        assert chunk.failed is not None
        index, line, kind, move, message = chunk.failed.error
        return f"input {self.inputs[chunk.input]!r}, game {index} (line {line}): {message}"
