"""The position store: bytes per position, and the loader's positions per
second on one core beside a NumPy gather from the raw planes.

    python bench/store.py [--source FILE] [--copies N] [--repeats N] [--batch-size N]

The source (default data/sample-games.pgn.zst) is encoded and packed; then
--copies copies of it (the games encoded again with their indices shifted,
so that no two runs share a game) packed one by one and joined as one store
(Store.join: no array copied, the epoch's order over them all). For each store: Store.batches(batch_size), shuffled, planes and
every field, each epoch timed in processor time; the best and the median of
--repeats epochs. Then each training encoding alone and the combination a
Leela-style network reads (history 8, the mover's view, AlphaZero policy,
legal mask), each beside its floor: the bytes its batches hold a position
against this core's write bandwidth, C's memset over a batch-sized buffer
measured in the same run (no loader can write its batches faster). The
control: 1,024 random rows of the raw planes array taken with NumPy fancy
indexing (planes alone, no other field). Reports only; nothing fails on a
number.
"""

from __future__ import annotations

import argparse
import ctypes
import os
import statistics
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


def batch_bytes(store: _store.Store, batch_size: int, **options: object) -> float:
    """Bytes a position of the batches holds, every array counted."""
    batch = next(iter(store.batches(batch_size, **options)))  # type: ignore[arg-type]
    return sum(array.nbytes for array in batch.values()) / len(batch["planes"])


def report_encoding(store: _store.Store, name: str, batch_size: int, repeats: int, bandwidth: float,
                    options: dict[str, object]) -> None:
    per_position = batch_bytes(store, batch_size, **options)
    rates = epochs(store, batch_size, repeats, **options)
    print(f"  {name:<58} best {max(rates) / 1e6:5.2f} M/s   median {statistics.median(rates) / 1e6:5.2f} M/s   "
          f"{per_position:7,.0f} B a position, floor {bandwidth / per_position / 1e6:5.2f} M/s")


def numpy_gather(planes: numpy.ndarray, batch_size: int, batches: int) -> float:
    rng = numpy.random.default_rng(0)
    start = time.process_time()
    for _ in range(batches):
        rows = rng.integers(0, len(planes), batch_size)
        planes[rows]
    return batches * batch_size / (time.process_time() - start)


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
    print(f"training encodings, every field, beside the floor: memset over a batch-sized buffer "
          f"{bandwidth / 1e9:.1f} GB/s on this core")
    for name, options in ENCODINGS:
        report_encoding(store, f"store of {n:,}, {name}", args.batch_size, args.repeats, bandwidth, options)
    report(f"NumPy planes[rows] of {n:,}, planes only",
           [numpy_gather(arrays["planes"], args.batch_size, 300) for _ in range(args.repeats)])
    del encoded, arrays

    if args.copies > 1:
        parts = [store]
        for copy in range(1, args.copies):
            parts.append(_store.pack(velmor_data.encode_games(args.source, first_index=copy * games).arrays))
        joined = _store.Store.join(parts)
        print(f"{args.copies} copies: {len(joined):,} positions, {joined.nbytes / 2**20:.1f} MiB "
              f"({joined.bytes_per_position:.2f} bytes a position)")
        report(f"store of {len(joined):,}", epochs(joined, args.batch_size, args.repeats))
        for name, options in ENCODINGS[-2:]:
            report_encoding(joined, f"store of {len(joined):,}, {name}", args.batch_size, args.repeats, bandwidth,
                            options)


if __name__ == "__main__":
    main()
