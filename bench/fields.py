"""What the fields read from the comments cost the reader, same run.

    python bench/fields.py [--source FILE] [--passes N]

The source (default: the shipped sample, Lichess-style games with %clk and
%eval comments) is decompressed into memory, then encoded again and again
by the same native encoder encode_games drives: once reading every comment
(the clock, opponent_clock, eval and mate columns), once passing the
comments over unread (those columns NaN and 0), pass by pass in turn (each
first in every other round) so that the machine's swings fall on both
alike. User time of one core summed over --passes passes each way: the
kernel's time, faulting in pages for the arrays, is the same work for
both but swings from pass to pass by more than the comments cost. The
rows' other work (the games table, the clock columns written) is in both.
Reports only; nothing fails on a number.
"""

from __future__ import annotations

import argparse
import os
import resource
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


def encode(text: bytes, read_comments: bool) -> tuple[int, float]:
    """Positions of one pass over the text, and its user seconds."""
    start = resource.getrusage(resource.RUSAGE_SELF).ru_utime
    encoder = _native.Encoder(False, False, -1, -1, 0, -1, True, 0, 0, 1, read_comments)
    encoder.feed(text)
    encoder.finish()
    positions = encoder.result()[1]
    return positions, resource.getrusage(resource.RUSAGE_SELF).ru_utime - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--source", type=Path, default=ROOT / "data" / "sample-games.pgn.zst")
    parser.add_argument("--passes", type=int, default=40, help="passes over the text each way (default 40)")
    args = parser.parse_args()

    text = load_text(args.source)
    encode(text, True)  # the first pass maps the arrays' memory; not timed
    seconds = {True: 0.0, False: 0.0}
    positions = 0
    for number in range(args.passes):
        # Pass by pass, each first in every other round: the machine's
        # swings, which outweigh the difference, fall on both alike.
        for read in ((True, False) if number % 2 == 0 else (False, True)):
            positions, taken = encode(text, read)
            seconds[read] += taken
    rates = {read: positions * args.passes / taken for read, taken in seconds.items()}
    print(f"{args.source.name}: {len(text) / 1e6:.1f} MB, {positions:,} positions, one core, "
          f"{args.passes} passes each way")
    print(f"  comments passed over            {rates[False] / 1e6:5.2f} M positions/s")
    print(f"  clocks and evaluations read     {rates[True] / 1e6:5.2f} M positions/s")
    print(f"  reading the comment fields costs {1 - rates[True] / rates[False]:.1%} of the reader's throughput")


if __name__ == "__main__":
    main()
