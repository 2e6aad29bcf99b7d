"""The position store: bytes per position, and the loader's positions per
second on one core beside a NumPy gather from the raw planes.

    python bench/store.py [--source FILE] [--copies N] [--repeats N] [--batch-size N]

The source (default data/sample-games.pgn.zst) is encoded and packed; then
--copies copies of it (the games encoded again with their indices shifted,
so that no two runs share a game) packed one by one and joined as one store
(Store.join: no array copied, the epoch's order over them all). For each
store: Store.batches(batch_size), shuffled, planes and every field, each
epoch timed in processor time; the best and the median of --repeats epochs.
Then each training encoding alone and the combination a Leela-style network
reads (history 8, the mover's view, AlphaZero policy, legal mask; then with
its mask packed, and with its mask and planes packed, shuffled and in
order; then with every row decoded once and kept, decoded=True, unpacked
and packed, where an epoch's figure after the first is the steady one),
each beside what this core can write: the bytes its batches hold a
position against C's memset over a batch-sized buffer (which stays in the
cache when it fits) and against the streaming-store ceiling, non-temporal
stores over a buffer of the encoding's batch size, measured just before it
(build/bench/bench/velmor_write_ceiling, built here: the stores the loader
writes its batches with, past the cache; an encoding near that ceiling is
bound by writing its bytes, not by computing them). The control: 1,024
random rows of the raw planes array taken with NumPy fancy indexing (planes
alone, no other field).

Then the extra columns of Lichess games, computed with python-chess from
the source's comments: clock and opponent_clock (float32 seconds, the
TimeControl base before a side's first move when the game has %clk at all),
eval (float32 pawns, NaN when absent or a mate) and mate (int16); the store
with them kept as they are beside the store with them encoded: bytes a
position, and the same batches in the same run. Reports only; nothing fails
on a number.
"""

from __future__ import annotations

import argparse
import ctypes
import io
import math
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy  # noqa: E402

import velmor_data  # noqa: E402
from velmor_data import _store  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
RAW_BYTES = sum(numpy.dtype(dtype).itemsize * int(numpy.prod(shape)) for dtype, shape, _ in velmor_data.SCHEMA.values())

# The training encodings computed in the loader: each option alone, then the
# combination the loader's speed is stated for.
COMBINATION = {"history": 8, "view": "mover", "policy": "alphazero", "legal_mask": True}
ENCODINGS: list[tuple[str, dict[str, object]]] = [
    ("view mover", {"view": "mover"}),
    ("history 0", {"history": 0}),
    ("history 8", {"history": 8}),
    ("policy from_to", {"policy": "from_to"}),
    ("policy uci", {"policy": "uci"}),
    ("policy alphazero", {"policy": "alphazero"}),
    ("alphazero + legal mask", {"policy": "alphazero", "legal_mask": True}),
    ("alphazero + packed legal mask", {"policy": "alphazero", "legal_mask": True, "packed_mask": True}),
    ("history 8 + mover + alphazero + legal", COMBINATION),
    ("  the same, packed mask", {**COMBINATION, "packed_mask": True}),
    ("  the same, packed mask and planes", {**COMBINATION, "packed_mask": True, "packed_planes": True}),
    # In order, each row goes on from the replay of the one before.
    ("  the same, in order", {**COMBINATION, "packed_mask": True, "packed_planes": True, "shuffle": False}),
    # Every row decoded once and kept: rows read, not replayed.
    ("  decoded, unpacked", {**COMBINATION, "decoded": True}),
    ("  decoded, packed mask and planes", {**COMBINATION, "packed_mask": True, "packed_planes": True,
                                           "decoded": True}),
]


def epochs(store: _store.Store, batch_size: int, repeats: int, **options: object) -> list[float]:
    rates = []
    for epoch in range(repeats):
        start = time.process_time()
        count = 0
        for batch in store.batches(batch_size, epoch=epoch, **options):  # type: ignore[arg-type]
            count += len(batch["planes"])
        rates.append(count / (time.process_time() - start))
    return rates


def memset_bandwidth(size: int, repeats: int = 40) -> float:
    """Bytes a second C's memset writes over a buffer of `size` bytes, on
    one core: the best of a few rounds."""
    memset = ctypes.CDLL(None).memset
    memset.argtypes = (ctypes.c_void_p, ctypes.c_int, ctypes.c_size_t)
    buffer = numpy.empty(size, numpy.uint8)
    address = buffer.ctypes.data
    memset(address, 0, size)
    best = 0.0
    for _ in range(5):
        start = time.perf_counter()
        for value in range(repeats):
            memset(address, value, size)
        best = max(best, repeats * size / (time.perf_counter() - start))
    return best


def write_ceiling_program() -> Path:
    """The native streaming-store benchmark, built (or brought up to date) in
    build/bench as scripts/bench configures it."""
    build = ROOT / "build" / "bench"
    tools = Path(sys.executable).parent
    env = {**os.environ, "PATH": f"{tools}{os.pathsep}{os.environ.get('PATH', '')}"}
    cmake = tools / "cmake" if (tools / "cmake").exists() else Path("cmake")
    subprocess.run([str(cmake), "-S", str(ROOT), "-B", str(build), "-G", "Ninja", "-DVELMOR_MODULE=OFF",
                    "-DVELMOR_BENCH=ON", "-DCMAKE_BUILD_TYPE=Release"], check=True, env=env, stdout=subprocess.DEVNULL)
    subprocess.run([str(cmake), "--build", str(build), "--target", "velmor_write_ceiling"], check=True, env=env,
                   stdout=subprocess.DEVNULL)
    return build / "bench" / "velmor_write_ceiling"


def streaming_bandwidth(program: Path, size: int) -> float:
    """Bytes a second non-temporal stores write over a buffer of `size`
    bytes, on one core: the best of a few rounds."""
    return float(subprocess.run([str(program), str(size)], check=True, capture_output=True, text=True).stdout)


def batch_bytes(store: _store.Store, batch_size: int, **options: object) -> float:
    """Bytes a position of the batches holds, every array counted."""
    batch = next(iter(store.batches(batch_size, **options)))  # type: ignore[arg-type]
    return sum(array.nbytes for array in batch.values()) / len(batch["planes"])


def report_encoding(store: _store.Store, name: str, batch_size: int, repeats: int, bandwidth: float,
                    program: Path, options: dict[str, object]) -> None:
    per_position = batch_bytes(store, batch_size, **options)
    streaming = streaming_bandwidth(program, int(batch_size * per_position))
    rates = epochs(store, batch_size, repeats, **options)
    print(f"  {name:<58} best {max(rates) / 1e6:5.2f} M/s   median {statistics.median(rates) / 1e6:5.2f} M/s   "
          f"{per_position:7,.0f} B a position, memset {bandwidth / per_position / 1e6:5.2f} M/s, "
          f"streaming ceiling {streaming / per_position / 1e6:5.2f} M/s ({streaming / 1e9:.1f} GB/s)")


def epochs_taking(store: _store.Store, columns: dict[str, numpy.ndarray], batch_size: int, repeats: int) -> list[float]:
    """Batches as the store gave them with its extra columns kept as they
    were (before they were encoded): every field natively, then NumPy's
    take of each extra column at the batch's rows."""
    every = (1 << len(velmor_data.SCHEMA)) - 1
    rates = []
    n = len(store)
    for epoch in range(repeats):
        start_time = time.process_time()
        for start in range(0, n, batch_size):
            count = min(batch_size, n - start)
            buffer, offsets = store._native.batch(start, count, True, 0, epoch, 0, 1, every)
            rows = numpy.frombuffer(buffer, numpy.uint64, count)
            batch = store._result(buffer, offsets, rows, [])
            for name, column in columns.items():
                batch[name] = column.take(rows)
        rates.append(n / (time.process_time() - start_time))
    return rates


def numpy_gather(planes: numpy.ndarray, batch_size: int, batches: int) -> float:
    rng = numpy.random.default_rng(0)
    start = time.process_time()
    for _ in range(batches):
        rows = rng.integers(0, len(planes), batch_size)
        planes[rows]
    return batches * batch_size / (time.process_time() - start)


EXTRA_COLUMNS = ("clock", "opponent_clock", "eval", "mate")


def lichess_columns(source: Path, arrays: dict[str, numpy.ndarray]) -> dict[str, numpy.ndarray]:
    """The four extra columns of every row, from python-chess's reading of
    the games' comments (node.clock(), node.eval())."""
    import chess.pgn
    import zstandard

    raw = source.read_bytes()
    if source.suffix == ".zst":
        raw = zstandard.ZstdDecompressor().stream_reader(io.BytesIO(raw)).read()
    text = io.StringIO(raw.decode())
    per_game: list[tuple[list[float], list[float], list[float], list[int]]] = []
    nan = math.nan
    while (game := chess.pgn.read_game(text)) is not None:
        nodes = list(game.mainline())
        clocks = [node.clock() for node in nodes]
        base = nan
        if any(c is not None for c in clocks):
            control = game.headers.get("TimeControl", "")
            head = control.split("+")[0]
            base = float(head) if head.isdigit() else nan
        after = [nan if c is None else c for c in clocks]  # the mover's clock after each move
        clock, opponent, evals, mates = [], [], [], []
        for ply in range(len(nodes) + 1):
            opponent.append(base if ply == 0 else after[ply - 1])
            clock.append(base if ply < 2 else after[ply - 2])
            score = (game if ply == 0 else nodes[ply - 1]).eval()
            white = score.white() if score is not None else None
            evals.append(nan if white is None or white.is_mate() else float(numpy.float32(white.score() / 100)))
            mates.append(white.mate() if white is not None and white.is_mate() else 0)
        per_game.append((clock, opponent, evals, mates))
    game = arrays["game"] - arrays["game"][0]
    ply = arrays["ply"]
    out = {}
    for index, (name, dtype) in enumerate(zip(EXTRA_COLUMNS, ("<f4", "<f4", "<f4", "<i2"))):
        flat = numpy.concatenate([numpy.asarray(g[index], dtype) for g in per_game])
        first = numpy.cumsum([0] + [len(g[0]) for g in per_game])
        out[name] = flat[first[game] + ply]
    return out


def report(name: str, rates: list[float]) -> None:
    print(f"  {name:<44} best {max(rates) / 1e6:5.2f} M/s   median {statistics.median(rates) / 1e6:5.2f} M/s")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--source", type=Path, default=ROOT / "data" / "sample-games.pgn.zst")
    parser.add_argument("--copies", type=int, default=8)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--batch-size", type=int, default=1024)
    args = parser.parse_args()

    encoded = velmor_data.encode_games(args.source)
    arrays = encoded.arrays
    games = int(arrays["game"][-1]) + 1 if len(encoded) else 0
    store = _store.pack(arrays)
    n = len(store)
    print(f"{args.source.name}: {n:,} positions, {len(store.runs):,} runs, {len(store.keyframes):,} keyframes "
          f"(one every {_store.KEYFRAME_PLIES} plies)")
    print(f"  raw columns      {RAW_BYTES} bytes a position")
    print(f"  store            {store.bytes_per_position:.2f} bytes a position: moves {store.moves.nbytes / n:.2f}, "
          f"keyframes {store.keyframes.nbytes / n:.2f}, runs {store.runs.nbytes / n:.2f}")

    print(f"one core, batch_size {args.batch_size}, shuffled, planes and every field, {args.repeats} epochs:")
    report(f"store of {n:,}", epochs(store, args.batch_size, args.repeats))
    report(f"store of {n:,}, unshuffled", epochs(store, args.batch_size, args.repeats, shuffle=False))
    report(f"store of {n:,}, planes, game and ply",
           epochs(store, args.batch_size, args.repeats, fields=["game", "ply"]))
    bandwidth = memset_bandwidth(args.batch_size * int(batch_bytes(store, args.batch_size, **COMBINATION)))
    program = write_ceiling_program()
    print(f"training encodings, every field, beside what this core writes: memset over a batch-sized buffer "
          f"{bandwidth / 1e9:.1f} GB/s; the streaming ceiling, non-temporal stores over each encoding's "
          f"batch-sized buffer, just before it")
    for name, options in ENCODINGS:
        report_encoding(store, f"store of {n:,}, {name}", args.batch_size, args.repeats, bandwidth, program, options)
    report(f"NumPy planes[rows] of {n:,}, planes only",
           [numpy_gather(arrays["planes"], args.batch_size, 300) for _ in range(args.repeats)])

    extras = lichess_columns(args.source, arrays)
    plain = _store.Store(store.moves, store.keyframes, store.runs, extras)
    packed = _store.pack({**arrays, **extras})
    with_evals = numpy.unique(arrays["game"][~numpy.isnan(extras["eval"])]).size
    with_clocks = numpy.unique(arrays["game"][~numpy.isnan(extras["clock"])]).size
    print(f"extra columns from python-chess: {with_clocks:,} of {games:,} games with clocks, "
          f"{with_evals:,} with evaluations")
    print(f"  kept as they are {plain.bytes_per_position:.2f} bytes a position "
          f"({(plain.nbytes - store.nbytes) / n:.2f} for the four columns)")
    sizes = ", ".join(f"{name} {packed.extra_arrays[name].nbytes / n:.2f}" for name in EXTRA_COLUMNS)
    print(f"  encoded          {packed.bytes_per_position:.2f} bytes a position ({sizes}; "
          f"encoded: {', '.join(packed.encoded_extras)})")
    for name in EXTRA_COLUMNS:
        assert packed.extras[name].tobytes() == extras[name].tobytes(), name
    for _ in range(2):
        report(f"store of {n:,}, no extra columns", epochs(store, args.batch_size, args.repeats))
        report(f"store of {n:,}, extras taken by NumPy (before)",
               epochs_taking(store, extras, args.batch_size, args.repeats))
        report(f"store of {n:,}, extras as they are, natively", epochs(plain, args.batch_size, args.repeats))
        report(f"store of {n:,}, extras encoded", epochs(packed, args.batch_size, args.repeats))
    del encoded, arrays

    if args.copies > 1:
        parts = [store]
        for copy in range(1, args.copies):
            parts.append(_store.pack(velmor_data.encode_games(args.source, first_index=copy * games).arrays))
        joined = _store.Store.join(parts)
        print(f"{args.copies} copies: {len(joined):,} positions, {joined.nbytes / 2**20:.1f} MiB "
              f"({joined.bytes_per_position:.2f} bytes a position)")
        report(f"store of {len(joined):,}", epochs(joined, args.batch_size, args.repeats))
        for name, options in ENCODINGS[-5:]:
            report_encoding(joined, f"store of {len(joined):,}, {name}", args.batch_size, args.repeats, bandwidth,
                            program, options)


if __name__ == "__main__":
    main()
