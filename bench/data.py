"""velmor_data's throughput beside the peers' PGN-to-planes pipelines.

    python bench/data.py [--games N] [--repeats N] [--source FILE] [--json FILE]

One core: every pipeline of bench/pipelines.py turns the same PGN (a file
already read once, so in the page cache) into the planes of every position;
they are first checked to give identical planes. Then encode_fens on the FEN
texts of those positions, and two threads encoding two sources against one
thread encoding both. Each figure is the median of --repeats runs, the
pipelines interleaved so that a busy machine slows all alike. The source is
--source, else a file of N games played by python-chess at random (seeded)
written to build/bench/. Reports only; nothing fails on a number.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import statistics
import sys
import threading
import time
from pathlib import Path

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import velmor_data  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent))
import pipelines  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]


def generated_source(games: int) -> Path:
    path = ROOT / "build" / "bench" / f"random-{games}.pgn"
    if path.exists():
        return path
    import chess
    import chess.pgn

    rng = random.Random(2026)
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "w") as out:
        for index in range(games):
            board = chess.Board()
            game = chess.pgn.Game()
            game.headers["Event"] = f"random {index}"
            node = game
            for _ in range(rng.randint(40, 160)):
                moves = list(board.legal_moves)
                if not moves:
                    break
                move = rng.choice(moves)
                node = node.add_variation(move)
                board.push(move)
            game.headers["Result"] = board.result(claim_draw=False) if board.is_game_over() else "*"
            print(game, file=out, end="\n\n")
    return path


def timed(function, *args) -> float:
    start = time.perf_counter()
    function(*args)
    return time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--games", type=int, default=2000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--source", type=Path)
    parser.add_argument("--json", type=Path)
    parser.add_argument("--quick", action="store_true", help="200 games, one repeat")
    args, _ = parser.parse_known_args()
    if args.quick:
        args.games, args.repeats = 200, 1

    source = args.source or generated_source(args.games)
    text = source.read_bytes()
    if source.suffix != ".pgn":  # a compressed collection: its text, in memory and in a plain file
        text = b"".join(chunk.data for chunk in velmor_data.split_games(source))
        plain = ROOT / "build" / "bench" / (source.name.split(".")[0] + ".pgn")
        plain.parent.mkdir(parents=True, exist_ok=True)
        plain.write_bytes(text)
        source = plain
    positions = velmor_data.encode_games(source).positions
    print(f"source: {source} ({len(text) / 1e6:.1f} MB, {positions} positions)")

    verdicts = pipelines.check_identical(text)
    available = pipelines.available()
    runs: dict[str, list[float]] = {name: [] for name in available if verdicts.get(name) == "identical"}
    for name, verdict in verdicts.items():
        if verdict != "identical":
            print(f"{name}: not timed, planes not identical: {verdict}")
    order = list(runs)
    for repeat in range(args.repeats):
        for name in order[repeat % len(order):] + order[: repeat % len(order)]:
            if name == "velmor_data":
                runs[name].append(timed(velmor_data.encode_games, source))  # from the file, all arrays
            else:
                runs[name].append(timed(available[name], text))

    print("\nPGN file to arrays, one core (positions per second, median)")
    results: dict[str, object] = {"source": str(source), "positions": positions}
    base = statistics.median(runs["velmor_data"])
    for name, times in runs.items():
        rate = positions / statistics.median(times)
        ratio = statistics.median(times) / base
        print(f"  {name:<14} {rate:>12,.0f}   ({ratio:.1f}x velmor_data's time)")
        results[f"pipeline/{name}"] = rate

    fens = [fen for game in velmor_data.read_games(source) for fen in fens_of(game)]
    fen_times = [timed(velmor_data.encode_fens, fens) for _ in range(args.repeats)]
    fen_rate = len(fens) / statistics.median(fen_times)
    print(f"\nencode_fens: {fen_rate:,.0f} FENs per second ({len(fens)} texts)")
    results["encode_fens"] = fen_rate

    second = ROOT / "build" / "bench" / "second-source.pgn"
    second.write_bytes(text)
    one, two = [], []
    for _ in range(args.repeats):
        one.append(timed(lambda: (velmor_data.encode_games(source), velmor_data.encode_games(second))))
        threads = [threading.Thread(target=velmor_data.encode_games, args=(s,)) for s in (source, second)]
        start = time.perf_counter()
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        two.append(time.perf_counter() - start)
    ratio = statistics.median(two) / statistics.median(one)
    print(f"two threads on two sources: {ratio:.2f}x the time of one thread doing both "
          f"({os.cpu_count()} cores; needs two idle ones to show the gain)")
    results["two_threads_ratio"] = ratio
    if args.json:
        args.json.write_text(json.dumps(results, indent=2))


def fens_of(game: velmor_data.Game) -> list[str]:
    import velmor_chess

    board = velmor_chess.Board(game.fen)
    fens = []
    for move in game.moves:
        fens.append(board.fen())
        board.push(move)
    return fens


if __name__ == "__main__":
    main()
