"""The encode job end to end, beside peer pipelines over the same games.

    python bench/encode_job.py [--sample FILE] [--repeats N] [--scale N] [--json FILE]

Times `python -m velmor_data encode` as a user runs it (a fresh process, its
workers, the shards written and synced, the manifest) with 1 and 2 workers:
once on the sample as shipped, and once on the sample repeated --scale times,
where start-up weighs less and the gain of the second worker shows. The peer
pipelines (python-chess, bulletchess, fastchess: bench/pipelines.py) read the
same games and produce the same piece planes, checked against the dataset's.
Benchmarks report; none fails on a number.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy
import zstandard

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench"))


def run_job(source: Path, outdir: Path, workers: int) -> tuple[float, int]:
    started = time.perf_counter()
    subprocess.run([sys.executable, "-m", "velmor_data", "encode", str(source), "-o", str(outdir),
                    "--workers", str(workers), "--overwrite", "--quiet"], check=True)
    seconds = time.perf_counter() - started
    manifest = json.loads((outdir / "manifest.json").read_text())
    return seconds, manifest["positions"]


def time_jobs(source: Path, scratch: Path, repeats: int) -> dict[int, tuple[float, int]]:
    """Median wall time per worker count, the counts interleaved so that the
    machine's load drifts over both alike."""
    times: dict[int, list[float]] = {1: [], 2: []}
    positions = 0
    for _ in range(repeats):
        for workers in times:
            seconds, positions = run_job(source, scratch / f"job-{workers}", workers)
            times[workers].append(seconds)
    return {workers: (statistics.median(values), positions) for workers, values in times.items()}


def peer_rows(text_path: Path, planes: numpy.ndarray, repeats: int) -> list[tuple[str, float | None, str]]:
    try:
        import pipelines
    except ImportError as error:
        return [("peer pipelines", None, f"bench/pipelines.py not importable: {error}")]
    rows = []
    data = text_path.read_bytes()
    for name, run in pipelines.PIPELINES.items():
        try:
            best = None
            for _ in range(repeats):
                started = time.perf_counter()
                result = run(data)
                seconds = time.perf_counter() - started
                best = seconds if best is None else min(best, seconds)
        except ImportError as error:
            rows.append((name, None, f"skipped: {error}"))
            continue
        same = result.shape == planes.shape and numpy.array_equal(result, planes)
        rows.append((name, len(result) / best, "identical planes" if same else "PLANES DIFFER"))
    return rows


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sample", type=Path, default=ROOT / "data" / "sample-games.pgn.zst")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--scale", type=int, default=8, help="copies of the sample in the larger input")
    parser.add_argument("--quick", action="store_true", help="one repeat, scale 2")
    parser.add_argument("--json", type=Path, help="also write the figures to this file")
    args, _ = parser.parse_known_args()
    if args.quick:
        args.repeats, args.scale = 1, 2

    with tempfile.TemporaryDirectory(prefix="velmor-bench-") as folder:
        scratch = Path(folder)
        with open(args.sample, "rb") as file:
            text = zstandard.ZstdDecompressor().stream_reader(file).read()
        plain = scratch / "sample.pgn"
        plain.write_bytes(text)
        large = scratch / "sample-x{}.pgn".format(args.scale)
        large.write_bytes(text * args.scale)

        print(f"sample: {args.sample.name}, {len(text):,} bytes of PGN; larger input: {args.scale} copies")
        results = {
            "sample (.pgn.zst)": time_jobs(args.sample, scratch, args.repeats),
            "sample (.pgn)": time_jobs(plain, scratch, args.repeats),
            f"sample x{args.scale} (.pgn)": time_jobs(large, scratch, args.repeats),
        }
        import velmor_data

        # The peers run on the sample; their planes must equal the job's.
        subprocess.run([sys.executable, "-m", "velmor_data", "encode", str(plain), "-o", str(scratch / "ref"),
                        "--quiet"], check=True)
        planes = numpy.array(velmor_data.open_dataset(scratch / "ref").array("planes"))
        peers = peer_rows(plain, planes, args.repeats)

    print()
    print("| input | positions | 1 worker | 2 workers | 2 workers / 1 |")
    print("|---|---|---|---|---|")
    report: dict[str, object] = {"machine": platform.machine(), "python": platform.python_version()}
    for name, timing in results.items():
        (one, positions), (two, _) = timing[1], timing[2]
        print(f"| {name} | {positions:,} | {positions / one:,.0f} positions/s ({one:.2f} s) "
              f"| {positions / two:,.0f} positions/s ({two:.2f} s) | {one / two:.2f}x |")
        report[name] = {"positions": positions, "seconds_1": one, "seconds_2": two}
    print()
    print("| pipeline over the sample (one core, in process) | positions/s | planes |")
    print("|---|---|---|")
    for name, rate, note in peers:
        print(f"| {name} | {f'{rate:,.0f}' if rate else '-'} | {note} |")
        report[f"peer {name}"] = {"rate": rate, "note": note}
    if args.json:
        args.json.write_text(json.dumps(report, indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main())
