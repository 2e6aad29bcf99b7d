"""velmor_data.encode_games beside the Rust PGN binding, same games, same run.

    python bench/rust_peer.py [--source FILE] [--copies N] [--repeats N] [--quick]

The peer is `rust_pgn_reader_python_binding` (PyPI); where it does not
import it is reported as skipped. Both sides read the same games and count
the same positions: every position before a move and each game's final
position (encode_games(include_final=True)). Before any timing the boards of
both are checked equal square by square, and each move's %clk and %eval
(both libraries read them from the comments every time). Each library takes its input the
way it takes it: velmor_data the PGN bytes (two threads: the two halves of
split_games' chunks, one thread each), the peer a list of per-game strings
(split before the timing; two threads: its num_threads=2). Each figure is
the median of --repeats runs, the two libraries interleaved. The inputs are
the source (default: the shipped sample) and --copies copies of it in one
text. Reports only; nothing fails on a number.
"""

from __future__ import annotations

import argparse
import os
import re
import statistics
import sys
import threading
import time
from pathlib import Path
from typing import Any, Callable

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy  # noqa: E402

import velmor_data  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
PEER = "rust_pgn_reader_python_binding"


def load_text(source: Path) -> bytes:
    if source.suffix == ".pgn":
        return source.read_bytes()
    return b"".join(chunk.data for chunk in velmor_data.split_games(source))


def game_strings(text: bytes) -> list[str]:
    # Games start at a tag line after a blank line; the sample's comments and
    # variations hold no blank line followed by "[".
    return [game for game in re.split(r"\n\s*\n(?=\[)", text.decode()) if game.strip()]


def halves(text: bytes) -> list[bytes]:
    chunks = [chunk.data for chunk in velmor_data.split_games(text, chunk_bytes=max(1, len(text) // 64))]
    middle = len(chunks) // 2
    return [b"".join(chunks[:middle]), b"".join(chunks[middle:])]


def velmor_encode(text: bytes) -> Any:
    return velmor_data.encode_games(text, include_final=True)


def velmor_two_threads(parts: list[bytes]) -> list[Any]:
    results: list[Any] = [None, None]

    def run(i: int) -> None:
        results[i] = velmor_encode(parts[i])

    threads = [threading.Thread(target=run, args=(i,)) for i in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return results


def velmor_boards(encoded: Any) -> numpy.ndarray:
    # Piece codes as the peer writes them: 1-6 White P..K, 7-12 Black, 0 empty.
    planes = encoded.arrays["planes"].reshape(encoded.positions, 12, 64)
    codes = numpy.arange(1, 13, dtype=numpy.uint8).reshape(1, 12, 1)
    return (planes * codes).sum(axis=1, dtype=numpy.uint8)


def peer_boards(parsed: Any) -> numpy.ndarray:
    return numpy.concatenate([numpy.asarray(chunk.boards).reshape(-1, 64) for chunk in parsed.chunks])


def check_equal(text: bytes, games: list[str], peer: Any) -> str:
    encoded = velmor_encode(text)
    parsed = peer.parse_games_from_strings(games, num_threads=1)
    if encoded.skipped:
        return f"velmor_data skipped {len(encoded.skipped)} games"
    invalid = sum(1 for game in parsed if not game.is_valid)
    if invalid:
        return f"the peer failed {invalid} games"
    if encoded.positions != parsed.num_positions:
        return f"positions differ: {encoded.positions} against {parsed.num_positions}"
    ours, theirs = velmor_boards(encoded), peer_boards(parsed)
    if ours.shape != theirs.shape or not numpy.array_equal(ours, theirs):
        first = int(numpy.argmax((ours != theirs).any(axis=1))) if ours.shape == theirs.shape else -1
        return f"boards differ (first at position {first})"
    # The peer gives each move's %clk and %eval (NaN for none and for a mate
    # score): the clock and evaluation of the position the move reaches.
    reached = encoded.arrays["ply"] >= 1
    for ours_name, peer_name in (("opponent_clock", "clocks"), ("eval", "evals")):
        theirs_values = numpy.concatenate([numpy.asarray(getattr(chunk, peer_name)) for chunk in parsed.chunks])
        if not numpy.array_equal(encoded.arrays[ours_name][reached], theirs_values.astype(numpy.float32),
                                 equal_nan=True):
            return f"{ours_name} differs from the peer's {peer_name}"
    return "identical (boards, clocks and evaluations)"


def median_time(function: Callable[[], Any], runs: list[float]) -> None:
    start = time.perf_counter()
    function()
    runs.append(time.perf_counter() - start)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--source", type=Path, default=ROOT / "data" / "sample-games.pgn.zst")
    parser.add_argument("--copies", type=int, default=8)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="one repeat, two copies")
    args, _ = parser.parse_known_args()
    if args.quick:
        args.repeats, args.copies = 1, 2

    try:
        import rust_pgn_reader_python_binding as peer
    except ImportError:
        peer = None
        print(f"{PEER}: skipped (not installed)")

    base = load_text(args.source)
    inputs = [(args.source.name, base)]
    if args.copies > 1:
        inputs.append((f"{args.copies} copies", base * args.copies))

    print("PGN text to board arrays, final positions included (median of "
          f"{args.repeats}; {os.cpu_count()} cores)")
    for label, text in inputs:
        games = game_strings(text)
        parts = halves(text)
        positions = velmor_encode(text).positions
        verdict = check_equal(text, games, peer) if peer else "peer skipped"
        print(f"\n{label}: {len(text) / 1e6:.1f} MB, {len(games)} games, {positions:,} positions; boards: {verdict}")
        runs: dict[str, list[float]] = {"velmor 1": [], "velmor 2": []}
        if peer and verdict.startswith("identical"):
            runs.update({"peer 1": [], "peer 2": []})
        for _ in range(args.repeats):
            median_time(lambda: velmor_encode(text), runs["velmor 1"])
            if "peer 1" in runs:
                median_time(lambda: peer.parse_games_from_strings(games, num_threads=1), runs["peer 1"])
            median_time(lambda: velmor_two_threads(parts), runs["velmor 2"])
            if "peer 2" in runs:
                median_time(lambda: peer.parse_games_from_strings(games, num_threads=2), runs["peer 2"])
        for threads in (1, 2):
            rates = {}
            for side in ("velmor", "peer"):
                times = runs.get(f"{side} {threads}")
                if not times:
                    continue
                seconds = statistics.median(times)
                rates[side] = positions / seconds
                name = "velmor_data.encode_games" if side == "velmor" else PEER
                print(f"  {threads} thread{'s' if threads > 1 else ' '} {name:<32} "
                      f"{positions / seconds / 1e6:6.2f} M positions/s  {len(text) / seconds / 1e6:7.1f} MB/s")
            if len(rates) == 2:
                print(f"  {threads} thread{'s' if threads > 1 else ' '} ratio {rates['velmor'] / rates['peer']:.2f}x")


if __name__ == "__main__":
    sys.exit(main())
