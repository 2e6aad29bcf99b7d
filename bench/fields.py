"""What the fields read from the comments cost the reader, same run.

    python bench/fields.py [--source FILE] [--repeats N] [--passes N]

The source (default: the shipped sample, Lichess-style games with %clk and
%eval comments) is decompressed into memory, then encoded again and again
by the same native encoder encode_games drives: once reading every comment
(the clock, opponent_clock, eval and mate columns), once passing the
comments over unread (those columns NaN and 0), interleaved (each first in
every other round) so that a busy machine slows both alike. User time of
one core over --passes passes, median and best of --repeats timings each:
the kernel's time, faulting in pages for the arrays, is the same work for
both but swings from pass to pass by more than the comments cost. The
rows' other work (the games table, the clock columns written) is in both.
Reports only; nothing fails on a number.
"""

from __future__ import annotations

import argparse
import os
import resource
import statistics
from pathlib import Path

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

from velmor_data import _native  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]


def load_text(source: Path) -> bytes:
    data = source.read_bytes()
    if source.name.endswith(".zst"):
        import zstandard

        data = zstandard.ZstdDecompressor().stream_reader(data).read()
    return data


def encode(text: bytes, read_comments: bool, passes: int) -> tuple[int, float]:
    """Positions of one pass over the text, and processor seconds a pass."""
    positions = 0
    start = resource.getrusage(resource.RUSAGE_SELF).ru_utime
    for _ in range(passes):
        encoder = _native.Encoder(False, False, -1, -1, 0, -1, True, 0, 0, 1, read_comments)
        encoder.feed(text)
        encoder.finish()
        positions = encoder.result()[1]
    return positions, (resource.getrusage(resource.RUSAGE_SELF).ru_utime - start) / passes


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--source", type=Path, default=ROOT / "data" / "sample-games.pgn.zst")
    parser.add_argument("--repeats", type=int, default=9)
    parser.add_argument("--passes", type=int, default=4, help="passes over the text a timing (default 4)")
    args = parser.parse_args()

    text = load_text(args.source)
    encode(text, True, 1)  # the first pass maps the arrays' memory; not timed
    times: dict[bool, list[float]] = {True: [], False: []}
    positions = 0
    for round in range(args.repeats):
        # Each goes first in every other round: what the first of a pair
        # gains or loses from the one before is the same for both.
        for read in ((True, False) if round % 2 == 0 else (False, True)):
            positions, seconds = encode(text, read, args.passes)
            times[read].append(seconds)
    print(f"{args.source.name}: {len(text) / 1e6:.1f} MB, {positions:,} positions, one core, "
          f"median (best) of {args.repeats}")
    rates = {}
    for read, label in ((False, "comments passed over"), (True, "clocks and evaluations read")):
        rates[read] = positions / statistics.median(times[read])
        print(f"  {label:<30} {rates[read] / 1e6:5.2f} M positions/s ({positions / min(times[read]) / 1e6:.2f})")
    print(f"  reading the comment fields costs {1 - rates[True] / rates[False]:.1%} of the reader's throughput")


if __name__ == "__main__":
    main()
