"""The encode job end to end, beside peer pipelines over the same games.

    python bench/encode_job.py [--sample FILE] [--repeats N] [--scale N] [--pause S] [--json FILE]

Times `python -m velmor_data encode` as a user runs it (a fresh process, its
workers, the shards written, the manifest) with 1 and 2 workers, each run
after the last one's output is removed and written back to the disk: once on
the sample as shipped, and once on the same games as bare movetext (the form
every peer reads), and on that repeated --scale times, where start-up weighs
less and the gain of the second worker shows. As a control, the bytes of that
larger dataset are then written into new files by one process and by two,
without encoding: what the machine itself gains from a second writer. The
pipelines of bench/pipelines.py (velmor_data in process, python-chess,
bulletchess, fastchess) then read the bare movetext in this process, one core,
and their planes are checked against the dataset's.
Benchmarks report; none fails on a number.
"""

from __future__ import annotations

import argparse
import io
import json
import os
import platform
import resource
import shutil
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


def _settle(pause: float) -> None:
    os.sync()
    # With a pause, memory freed before the run goes back to the host of a
    # virtual machine that takes free memory back (free page reporting), so
    # every page the run writes is one the host must supply afresh.
    time.sleep(pause)


def run_job(source: Path, outdir: Path, workers: int, pause: float) -> tuple[float, float, int]:
    """Wall and processor seconds of one run, and the positions it wrote."""
    # Each run starts as a rerun of the job into the same directory does,
    # without the removal of the old dataset in its time, and with no
    # gigabytes of the last run's shards still being written back.
    shutil.rmtree(outdir, ignore_errors=True)
    _settle(pause)
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    started = time.perf_counter()
    subprocess.run([sys.executable, "-m", "velmor_data", "encode", str(source), "-o", str(outdir),
                    "--workers", str(workers), "--overwrite", "--quiet"], check=True)
    seconds = time.perf_counter() - started
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    processor = after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime
    manifest = json.loads((outdir / "manifest.json").read_text())
    return seconds, processor, manifest["positions"]


def time_jobs(source: Path, scratch: Path, repeats: int, pause: float) -> dict[int, tuple[float, int]]:
    """Median wall time per worker count, the counts interleaved so that the
    machine's load drifts over both alike."""
    times: dict[int, list[float]] = {1: [], 2: []}
    positions = 0
    for _ in range(repeats):
        for workers in times:
            seconds, processor, positions = run_job(source, scratch / "job", workers, pause)
            times[workers].append(seconds)
            print(f"  {source.name}, {workers} worker{'s' if workers > 1 else ''}: {seconds:.2f} s, "
                  f"{processor:.2f} s of processor time", flush=True)
    return {workers: (statistics.median(values), positions) for workers, values in times.items()}


def _write_files(folder: Path, writers: int, total: int) -> None:
    block = bytes(range(256)) * 4096  # 1 MiB, as the workers write their pieces
    share = total // writers
    children = []
    for number in range(writers):
        pid = os.fork()
        if pid == 0:
            fd = os.open(folder / f"part-{number}", os.O_WRONLY | os.O_CREAT, 0o644)
            for offset in range(0, share, len(block)):
                os.pwrite(fd, block[:min(len(block), share - offset)], offset)
            os.close(fd)
            os._exit(0)
        children.append(pid)
    for pid in children:
        os.waitpid(pid, 0)


def time_writes(total: int, scratch: Path, repeats: int, pause: float) -> dict[int, float]:
    """The machine alone: the same number of bytes written into new files by
    one process or split between two, no encoding, median wall time."""
    times: dict[int, list[float]] = {1: [], 2: []}
    for _ in range(repeats):
        for writers in times:
            folder = scratch / "write"
            shutil.rmtree(folder, ignore_errors=True)
            folder.mkdir()
            _settle(pause)
            started = time.perf_counter()
            _write_files(folder, writers, total)
            times[writers].append(time.perf_counter() - started)
    shutil.rmtree(scratch / "write", ignore_errors=True)
    return {writers: statistics.median(values) for writers, values in times.items()}


def plain_games(text: bytes) -> bytes:
    """The same games as bare movetext (no comments, variations or marks),
    written by python-chess: the form every peer pipeline reads."""
    import chess.pgn

    stream = io.StringIO(text.decode())
    games = []
    while (game := chess.pgn.read_game(stream)) is not None:
        # A fresh exporter per game: one keeps what it wrote before.
        games.append(game.accept(chess.pgn.StringExporter(headers=True, variations=False, comments=False)))
    return ("\n\n".join(games) + "\n").encode()


def peer_rows(text: bytes, planes: numpy.ndarray, repeats: int) -> list[tuple[str, float | None, str]]:
    """Positions/s of each pipeline in bench/pipelines.py, in this process."""
    try:
        import pipelines
    except ImportError as error:
        return [("peer pipelines", None, f"bench/pipelines.py not importable: {error}")]
    rows: list[tuple[str, float | None, str]] = []
    found = pipelines.available()
    for name in pipelines.PIPELINES:
        if name not in found:
            rows.append((name, None, "not installed"))
            continue
        best = None
        for _ in range(repeats):
            started = time.perf_counter()
            result = found[name](text)
            seconds = time.perf_counter() - started
            best = seconds if best is None else min(best, seconds)
        same = result.shape == planes.shape and numpy.array_equal(result, planes)
        label = "velmor_data.encode_games, in process" if name == "velmor_data" else name
        rows.append((label, len(result) / best, "identical" if same else "DIFFERENT"))
    return rows


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sample", type=Path, default=ROOT / "data" / "sample-games.pgn.zst")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--scale", type=int, default=8, help="copies of the sample in the larger input")
    parser.add_argument("--quick", action="store_true", help="one repeat, scale 2")
    parser.add_argument("--pause", type=float, default=0.0,
                        help="seconds of idle before each timed run (see _settle)")
    parser.add_argument("--json", type=Path, help="also write the figures to this file")
    args, _ = parser.parse_known_args()
    if args.quick:
        args.repeats, args.scale = 1, 2

    with tempfile.TemporaryDirectory(prefix="velmor-bench-") as folder:
        scratch = Path(folder)
        with open(args.sample, "rb") as file:
            text = zstandard.ZstdDecompressor().stream_reader(file).read()
        plain_text = plain_games(text)
        plain = scratch / "sample-plain.pgn"
        plain.write_bytes(plain_text)
        large = scratch / f"sample-plain-x{args.scale}.pgn"
        large.write_bytes(plain_text * args.scale)

        print(f"sample: {args.sample.name}, {len(text):,} bytes of PGN, {len(plain_text):,} as bare movetext; "
              f"larger input: {args.scale} copies of that")
        results = {
            "the sample as shipped (.pgn.zst, comments, variations)":
                time_jobs(args.sample, scratch, args.repeats, args.pause),
            "the sample, bare movetext (.pgn)": time_jobs(plain, scratch, args.repeats, args.pause),
            f"the sample, bare movetext, {args.scale} copies (.pgn)":
                time_jobs(large, scratch, args.repeats, args.pause),
        }
        large_bytes = sum(path.stat().st_size for path in (scratch / "job").rglob("*") if path.is_file())
        shutil.rmtree(scratch / "job")
        writes = time_writes(large_bytes, scratch, args.repeats, args.pause)
        import velmor_data

        subprocess.run([sys.executable, "-m", "velmor_data", "encode", str(plain), "-o", str(scratch / "ref"),
                        "--quiet"], check=True)
        planes = numpy.array(velmor_data.open_dataset(scratch / "ref").array("planes"))
        peers = peer_rows(plain_text, planes, min(args.repeats, 3))

    report: dict[str, object] = {"machine": platform.machine(), "python": platform.python_version()}
    print()
    print("| input | positions | 1 worker | 2 workers | 2 workers / 1 |")
    print("|---|---|---|---|---|")
    for name, timing in results.items():
        (one, positions), (two, _) = timing[1], timing[2]
        print(f"| {name} | {positions:,} | {positions / one:,.0f} positions/s ({one:.2f} s) "
              f"| {positions / two:,.0f} positions/s ({two:.2f} s) | {one / two:.2f}x |")
        report[name] = {"positions": positions, "seconds_1": one, "seconds_2": two}
    print(f"| the machine alone: the larger dataset's {large_bytes:,} bytes written into new files, no encoding "
          f"| | 1 writer: {writes[1]:.2f} s | 2 writers: {writes[2]:.2f} s | {writes[1] / writes[2]:.2f}x |")
    report["writes"] = {"bytes": large_bytes, "seconds_1": writes[1], "seconds_2": writes[2]}
    report["pause"] = args.pause
    print()
    print("| the sample, bare movetext, to piece planes | positions/s | planes against the dataset's |")
    print("|---|---|---|")
    (one, positions), (two, _) = results["the sample, bare movetext (.pgn)"][1], results["the sample, bare movetext (.pgn)"][2]
    print(f"| `python -m velmor_data encode`, 1 worker: a new process, all arrays to shards | {positions / one:,.0f} "
          "| (the dataset) |")
    print(f"| `python -m velmor_data encode`, 2 workers, likewise | {positions / two:,.0f} | (the same dataset) |")
    for name, rate, note in peers:
        print(f"| {name} | {f'{rate:,.0f}' if rate else '-'} | {note} |")
        report[f"pipeline {name}"] = {"rate": rate, "planes": note}
    if args.json:
        args.json.write_text(json.dumps(report, indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main())
