"""The dataset the encode job writes: bytes a position on disk, and the
loader's positions per second, beside the floor of a NumPy gather and the
PyTorch paths.

    python bench/loader.py [--source FILE] [--copies N] [--repeats N] [--batch-size N]

The encode job writes the source (default data/sample-games.pgn.zst) as a
dataset, then --copies copies of its text as one input (a dataset N times as
large). For each: every file in the dataset's directory over its positions;
Dataset.batches(batch_size), shuffled, planes and every field of the schema,
processor time of one core per epoch (best and median of --repeats); the
floor, NumPy's planes[rows] of 1,024 random rows of the raw planes array in
memory (planes alone); DataLoader over torch_batches (batch_size=None) with
no workers (processor time) and with 2 (wall time of the first 300 batches,
the workers' start included, beside batches() in wall time); batches()
with threads=0, 1 and 2 in wall time (the first 300 batches, median of a few
epochs), planes and every field and the issue's encoding combination (history
8, the mover's view, AlphaZero policy, packed legal mask), and the
DataLoader with threads=2 and no workers; and the per-position path
DataLoader(dataset, batch_size, shuffle=True) for a few batches. Then
the same batches with decoded=True (every row decoded once, in memory),
beside those replayed, in processor time: planes and every field, and the
combination with its mask and planes packed; and what decoding costs, on
the dataset opened afresh: the first batch's processor time, which decodes
every row and lists its legal moves. Reports only; nothing fails on a
number.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable, Iterable
from pathlib import Path

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy  # noqa: E402

import velmor_data  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
COMBINATION = {"history": 8, "view": "mover", "policy": "alphazero", "legal_mask": True, "packed_mask": True}


def rate(batches: Iterable[dict[str, object]], clock: Callable[[], float], limit: int | None = None) -> float:
    start = clock()
    count = 0
    for number, batch in enumerate(batches):
        count += len(batch["planes"])  # type: ignore[arg-type]
        if limit is not None and number + 1 >= limit:
            break
    return count / (clock() - start)


def numpy_gather(planes: numpy.ndarray, batch_size: int, batches: int) -> float:
    rng = numpy.random.default_rng(0)
    start = time.process_time()
    for _ in range(batches):
        planes[rng.integers(0, len(planes), batch_size)]
    return batches * batch_size / (time.process_time() - start)


def report(name: str, rates: list[float], floor: float) -> None:
    print(f"  {name:<52} best {max(rates) / 1e6:5.2f} M/s   median {statistics.median(rates) / 1e6:5.2f} M/s"
          f"   {statistics.median(rates) / floor:5.2f}x the floor")


def encode(source: Path, outdir: Path) -> velmor_data.dataset.Dataset:
    subprocess.run([sys.executable, "-m", "velmor_data", "encode", str(source), "-o", str(outdir), "--quiet"],
                   check=True)
    return velmor_data.open_dataset(outdir)


def size_of(outdir: Path) -> int:
    return sum(path.stat().st_size for path in outdir.rglob("*") if path.is_file())


def measure(dataset: velmor_data.dataset.Dataset, args: argparse.Namespace, floor: float) -> None:
    size = len(dataset)
    print(f"  on disk: {size_of(Path(dataset.path)) / size:.2f} bytes a position, every file counted "
          f"({size:,} positions, {len(dataset.shards)} shards)")
    report("batches(), shuffled, planes + every field", [
        rate(dataset.batches(args.batch_size, epoch=epoch), time.process_time) for epoch in range(args.repeats)],
        floor)
    report("batches(), shuffled, planes + move_from + move_to", [
        rate(dataset.batches(args.batch_size, epoch=epoch, fields=["move_from", "move_to"]), time.process_time)
        for epoch in range(args.repeats)], floor)
    # Threads compute the next batches while this one is taken: wall time.
    wall = time.perf_counter
    rounds = max(2, args.repeats // 2)
    for name, options in (("planes + every field", {}), ("history 8 + mover + alphazero + packed legal", COMBINATION)):
        rates = [statistics.median(rate(dataset.batches(args.batch_size, epoch=epoch, threads=threads, **options),
                                        wall, 300) for epoch in range(rounds)) for threads in (0, 1, 2)]
        print(f"  batches(), {name}, wall time of 300 batches: threads=0 {rates[0] / 1e6:.2f} M/s, "
              f"threads=1 {rates[1] / 1e6:.2f}, threads=2 {rates[2] / 1e6:.2f} ({rates[2] / rates[0]:.2f}x)")
    try:
        from torch.utils.data import DataLoader
    except ImportError:
        print("  (torch is not installed: the DataLoader paths are skipped)")
        return
    # No workers: all in this process, processor time as batches() above.
    rates = []
    for epoch in range(args.repeats):
        batches = dataset.torch_batches(args.batch_size)
        batches.set_epoch(epoch)
        rates.append(rate(DataLoader(batches, batch_size=None), time.process_time))
    report("DataLoader(torch_batches(), batch_size=None)", rates, floor)
    # Workers: other processes, so wall time, beside batches() in wall time.
    loader_rates, batch_rates = [], []
    for epoch in range(max(2, args.repeats // 2)):
        batches = dataset.torch_batches(args.batch_size)
        batches.set_epoch(epoch)
        loader_rates.append(rate(DataLoader(batches, batch_size=None, num_workers=2), wall, 300))
        batch_rates.append(rate(dataset.batches(args.batch_size, epoch=epoch), wall, 300))
    print(f"  the same, num_workers=2, wall time of 300 batches: {statistics.median(loader_rates) / 1e6:.2f} M/s, "
          f"{statistics.median(loader_rates) / statistics.median(batch_rates):.2f}x batches() in wall time")
    threaded = []
    for epoch in range(rounds):
        batches = dataset.torch_batches(args.batch_size, threads=2)
        batches.set_epoch(epoch)
        threaded.append(rate(DataLoader(batches, batch_size=None), wall, 300))
    print(f"  the same, no workers, threads=2, wall time of 300 batches: {statistics.median(threaded) / 1e6:.2f} M/s, "
          f"{statistics.median(threaded) / statistics.median(batch_rates):.2f}x batches() in wall time")
    per_item = DataLoader(dataset, batch_size=args.batch_size, shuffle=True)
    print(f"  DataLoader(dataset, batch_size={args.batch_size}, shuffle=True), position by position, 10 batches, "
          f"processor time: {rate(per_item, time.process_time, 10) / 1e6:.3f} M/s")


def measure_decoded(dataset: velmor_data.dataset.Dataset, args: argparse.Namespace, floor: float) -> None:
    """batches() replayed and decoded, interleaved epoch by epoch, one core."""
    packed = {**COMBINATION, "packed_planes": True}
    fresh = velmor_data.open_dataset(dataset.path)
    start = time.process_time()
    next(iter(fresh.batches(1, decoded=True, **packed)))
    print(f"  decoded=True: every row decoded and its legal moves listed in {time.process_time() - start:.2f} s "
          f"of processor time ({len(fresh):,} positions)")
    del fresh
    for name, options in (("planes + every field", {}),
                          ("the combination, mask and planes packed", packed)):
        replayed, decoded = [], []
        for epoch in range(args.repeats):
            replayed.append(rate(dataset.batches(args.batch_size, epoch=epoch, **options), time.process_time))
            decoded.append(rate(dataset.batches(args.batch_size, epoch=epoch, decoded=True, **options),
                                time.process_time))
        report(f"{name}, replayed", replayed, floor)
        report(f"{name}, decoded", decoded, floor)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--source", type=Path, default=ROOT / "data" / "sample-games.pgn.zst")
    parser.add_argument("--copies", type=int, default=8)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--batch-size", type=int, default=1024)
    args = parser.parse_args()

    planes = velmor_data.encode_games(args.source).arrays["planes"].copy()
    floor = statistics.median(numpy_gather(planes, args.batch_size, 300) for _ in range(args.repeats))
    print(f"floor: NumPy planes[rows] of {len(planes):,} raw planes in memory, planes only, one core: "
          f"{floor / 1e6:.2f} M/s")
    del planes
    with tempfile.TemporaryDirectory() as folder:
        print(f"{args.source.name}, batch_size {args.batch_size}:")
        one = encode(args.source, Path(folder) / "one")
        measure(one, args, floor)
        measure_decoded(one, args, floor)
        del one
        if args.copies > 1:
            import zstandard

            data = args.source.read_bytes()
            if args.source.name.endswith(".zst"):
                data = zstandard.ZstdDecompressor().stream_reader(data).read()
            copies = Path(folder) / "copies.pgn"
            copies.write_bytes(data * args.copies)
            print(f"{args.copies} copies of it as one input:")
            joined = encode(copies, Path(folder) / "copies")
            measure(joined, args, floor)
            measure_decoded(joined, args, floor)


if __name__ == "__main__":
    main()
