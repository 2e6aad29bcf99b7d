"""The encode job's scheduling against a fake pool whose workers answer in
any order: every position lands once, in input order, whatever the order of
the replies; a worker writes only what it encoded; the memory in flight stays
bounded; failures stop the run at the first bad chunk in input order."""

from __future__ import annotations

import random
from collections.abc import Iterator

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from velmor_data._schedule import Cut, Schedule
from velmor_data._stop import JobError
from velmor_data._worker import Encode, Encoded, Failed, GameFailed, Message, Reply, Write, Written


class FakePool:
    """Workers that handle their own messages in order, the workers' turns
    falling at random, worker 0's seldom. A chunk's text is the number of its positions, or
    'bad' (a bad game) or 'fail' (the worker fails)."""

    def __init__(self, size: int, seed: int) -> None:
        self.size = size
        self.random = random.Random(seed)
        self.inbox: list[list[Message]] = [[] for _ in range(size)]
        self.encoded_by: dict[int, int] = {}    # chunk -> the worker holding its positions
        self.positions: dict[int, int] = {}
        self.writes: list[Write] = []
        self.in_flight: set[int] = set()        # chunks sent and not yet written
        self.most_waiting = 0
        self.most_in_flight = 0

    def send(self, worker: int, message: Message) -> None:
        if isinstance(message, Encode):  # new chunks only to workers with less than two messages waiting
            self.most_waiting = max(self.most_waiting, len(self.inbox[worker]))
            self.in_flight.add(message.chunk)
            self.most_in_flight = max(self.most_in_flight, len(self.in_flight))
        self.inbox[worker].append(message)

    def replies(self, timeout: float) -> list[tuple[int, Reply]]:
        busy = [worker for worker in range(self.size) if self.inbox[worker]]
        assert busy, "the schedule waits for a reply no worker owes"
        # Worker 0 is slow: the others run ahead, as far as the job lets them.
        if len(busy) > 1 and busy[0] == 0 and self.random.random() < 0.9:
            busy.pop(0)
        found = []
        for worker in self.random.sample(busy, self.random.randint(1, len(busy))):
            reply = self._handle(worker, self.inbox[worker].pop(0))
            if isinstance(reply, Written):
                self.in_flight.discard(reply.chunk)
            found.append((worker, reply))
        return found

    def _handle(self, worker: int, message: Message) -> Reply:
        if isinstance(message, Encode):
            if message.data == b"fail":
                return Failed(message.chunk, "it broke")
            if message.data == b"bad":
                return GameFailed(message.chunk, (message.first_index, message.first_line, "illegal move", "Ke3",
                                                  f"game {message.first_index}: illegal"))
            positions = int(message.data)
            self.encoded_by[message.chunk] = worker
            self.positions[message.chunk] = positions
            return Encoded(message.chunk, positions, 1, 1, 0, ())
        assert isinstance(message, Write)
        assert self.encoded_by[message.chunk] == worker, "a write went to a worker without the chunk"
        self.writes.append(message)
        return Written(message.chunk)

    def close(self, abort: bool = False) -> None:
        pass


class FakeShards:
    def __init__(self) -> None:
        self.started: list[int] = []
        self.finished: list[tuple[int, int]] = []

    def start(self, shard: int) -> str:
        assert shard == len(self.started), "shards start in order"
        self.started.append(shard)
        return f"shard{shard}"

    def finish(self, shard: int, rows: int) -> None:
        assert shard in self.started and all(done != shard for done, _ in self.finished)
        self.finished.append((shard, rows))


def cuts(texts: list[bytes]) -> Iterator[Cut]:
    for number, text in enumerate(texts):
        yield Cut(number % 2, text, 10 * number, 100 * number + 1)


@settings(max_examples=150, deadline=None)
@given(positions=st.lists(st.integers(0, 40), max_size=30), workers=st.integers(1, 4),
       shard_size=st.integers(1, 50), seed=st.integers(0, 2**32))
def test_every_position_lands_once_in_input_order(positions: list[int], workers: int, shard_size: int,
                                                  seed: int) -> None:
    pool = FakePool(workers, seed)
    shards = FakeShards()
    placed: list[int] = []
    schedule = Schedule(pool, shards, shard_size=shard_size, inputs=["a.pgn", "b.pgn"], errors="skip",
                        min_elo=None, on_placed=lambda input, reply: placed.append(reply.chunk))
    rows = schedule.run(cuts([str(count).encode() for count in positions]))

    total = sum(positions)
    assert placed == list(range(len(positions)))           # accounted in input order
    assert schedule.placed == total
    assert rows == [min(shard_size, total - start) for start in range(0, total, shard_size)]
    assert sorted(shards.finished) == list(enumerate(rows))
    # The disk the writes make, row by row: each chunk's positions in order.
    disk: dict[tuple[str, int], tuple[int, int]] = {}
    for write in pool.writes:
        for piece in write.pieces:
            for row in range(piece.start, piece.stop):
                spot = (piece.directory, piece.shard_row + row - piece.start)
                assert spot not in disk, "a row written twice"
                disk[spot] = (write.chunk, row)
    layout = [disk[(f"shard{shard}", row)] for shard, count in enumerate(rows) for row in range(count)]
    assert layout == [(chunk, row) for chunk, count in enumerate(positions) for row in range(count)]
    assert pool.most_waiting <= 1 and pool.most_in_flight <= 3 * workers


@pytest.mark.parametrize("seed", range(20))
def test_the_first_bad_game_in_input_order_stops_the_run(seed: int) -> None:
    """Chunks 3 and 5 hold bad games; whichever is encoded first, the run
    stops at chunk 3's, after every chunk before it was written."""
    pool = FakePool(3, seed)
    texts = [b"7", b"7", b"7", b"bad", b"7", b"bad", b"7", b"7"]
    schedule = Schedule(pool, FakeShards(), shard_size=10, inputs=["a.pgn", "b.pgn"], errors="raise",
                        min_elo=None)
    with pytest.raises(JobError, match=r"input 'b.pgn', game 30 \(line 301\)"):
        schedule.run(cuts(texts))
    assert {write.chunk for write in pool.writes} <= {0, 1, 2}
    assert schedule.placed == 21


@pytest.mark.parametrize("seed", range(5))
def test_a_failed_chunk_stops_the_run(seed: int) -> None:
    pool = FakePool(2, seed)
    schedule = Schedule(pool, FakeShards(), shard_size=10, inputs=["a.pgn", "b.pgn"], errors="skip",
                        min_elo=None)
    with pytest.raises(JobError, match=r"encoding 'a.pgn' from line 401 failed: it broke"):
        schedule.run(cuts([b"3", b"3", b"3", b"3", b"fail", b"3"]))
