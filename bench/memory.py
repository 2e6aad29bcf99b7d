"""What a position costs in memory while encode_games runs: the process's peak
resident memory over the positions encoded, beside the bytes of the arrays
returned.

    python bench/memory.py [--source FILE] [--copies N]

Each measurement runs in a fresh process, so that no earlier batch's memory
is reused and the peak is this call's. The source (default: the shipped
sample) is given as a path with --copies 0, else read and given as bytes,
--copies copies of it in one text (the text is read before the baseline is
taken). Reports only; nothing fails on a number.
"""

from __future__ import annotations

import argparse
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]

CHILD = r"""
import resource, sys
import velmor_data
source, copies = sys.argv[1], int(sys.argv[2])
if copies:
    text = b"".join(chunk.data for chunk in velmor_data.split_games(source)) * copies
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
batch = velmor_data.encode_games(text if copies else source, include_final=True)
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
arrays = sum(array.nbytes for array in batch.arrays.values())
print(batch.positions, arrays, before, peak)
"""


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--source", type=Path, default=ROOT / "data" / "sample-games.pgn.zst")
    parser.add_argument("--copies", type=int, nargs="*", default=[0, 1, 8])
    args = parser.parse_args()
    print(f"{'input':<28} {'positions':>11} {'arrays B/pos':>13} {'peak - before B/pos':>20} {'over arrays':>12}")
    for copies in args.copies:
        out = subprocess.run([sys.executable, "-c", CHILD, str(args.source), str(copies)], check=True,
                             capture_output=True, text=True).stdout.split()
        positions, arrays, before, peak = map(int, out)
        label = f"{args.source.name} (path)" if copies == 0 else f"{copies} cop{'y' if copies == 1 else 'ies'} (bytes)"
        print(f"{label:<28} {positions:>11,} {arrays / positions:>13.0f} {(peak - before) / positions:>20.0f} "
              f"{(peak - before - arrays) / 2**20:>9.1f} MiB")


if __name__ == "__main__":
    main()
