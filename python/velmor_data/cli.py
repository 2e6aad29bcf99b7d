"""The command line: ``python -m velmor_data encode INPUT... -o OUTDIR``."""

from __future__ import annotations

import argparse
import os
import re
import signal
import sys
import textwrap
from collections.abc import Callable, Sequence
from typing import Any

from . import _job

EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130
EXIT_TERMINATED = 143


DESCRIPTION = """\
Encodes game collections (PGN with SAN moves) into a dataset of NumPy arrays:
every position of every game's mainline, with the move played from it and the
game's result. The dataset is a directory of shards, each a set of .npy files
that NumPy memory-maps, and a manifest.json written last, so a dataset with a
manifest is complete. Open it with velmor_data.open_dataset(OUTDIR).

The same inputs give the same dataset, byte for byte, whatever the number of
workers or machines."""

EPILOG = """\
examples:
  python -m velmor_data encode games.pgn.zst -o dataset
  python -m velmor_data encode 2024-*.pgn.zst -o dataset --min-elo 2000 --workers 8
  python -m velmor_data encode lichess/2024-01/*.parquet -o dataset
  python -m velmor_data encode /shared/games.pgn.zst -o /shared/dataset --ray auto

exit status: 0 done, 1 failed, 2 bad arguments (or OUTDIR in use by another
job), 130 interrupted (Ctrl-C), 143 terminated (SIGTERM); after 1, 130 and 143
nothing of the dataset is left."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> None:  # type: ignore[override]
        self.print_usage(sys.stderr)
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message}\n")


def _whole(text: str, low: int, high: int, what: str = "a whole number") -> int:
    digits = text.replace("_", "")
    if not re.fullmatch(r"[+-]?[0-9]+", digits):
        raise argparse.ArgumentTypeError(f"not {what}: {text!r}")
    # A number of thousands of digits is out of range without making it an int.
    if len(digits.lstrip("+-").lstrip("0")) > len(str(high)):
        value = low - 1 if digits.startswith("-") else high + 1
    else:
        value = int(digits)
    if value < low:
        raise argparse.ArgumentTypeError(f"must be at least {low:,}, not {text}")
    if value > high:
        raise argparse.ArgumentTypeError(f"must be at most {high:,}, not {text}")
    return value


def _workers(text: str) -> int:
    return _whole(text, 1, _job.MAX_WORKERS)


def _shard_size(text: str) -> int:
    return _whole(text, 1, _job.MAX_SHARD_SIZE)


def _size(text: str) -> int:
    units = {"k": 1 << 10, "m": 1 << 20, "g": 1 << 30}
    scale = units.get(text[-1:].lower(), 1)
    number = text[:-1] if scale != 1 else text
    try:
        return _whole(number, 1, _job.MAX_CHUNK_BYTES // scale) * scale
    except argparse.ArgumentTypeError as error:
        if "at most" in str(error):  # said in the units of the default, not of the suffix given
            raise argparse.ArgumentTypeError(f"must be at most {_job.MAX_CHUNK_BYTES >> 30}g, not {text}") from None
        raise


def _elo(text: str) -> int:
    return _whole(text, 0, _job.MAX_ELO, "a rating")


def _speeds(text: str) -> tuple[str, ...]:
    from . import SPEEDS

    names = tuple(name.strip() for name in text.split(","))
    for name in names:
        if name not in SPEEDS:
            raise argparse.ArgumentTypeError(f"unknown speed {name!r}; the speeds are {', '.join(SPEEDS)}")
    return names


def _plies(text: str) -> int:
    return _whole(text, 0, 1 << 31)


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="python -m velmor_data", description="Training data from chess game collections.")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    commands.required = True
    encode = commands.add_parser(
        "encode", help="encode game collections into a sharded dataset of NumPy arrays",
        description=DESCRIPTION, epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    encode.add_argument(
        "inputs", nargs="+", metavar="INPUT",
        help="game collections, read in the order given: .pgn, .pgn.gz, .pgn.bz2 or .pgn.zst files, or .parquet "
             "files of one game per row (a 'movetext' column and tag columns; needs the extra 'parquet': "
             "pip install 'velmor_chess[parquet]')")
    encode.add_argument(
        "-o", "--output", required=True, metavar="OUTDIR",
        help="directory of the dataset; created if missing, refused if not empty (see --overwrite) or if "
             "another job is writing to it")
    encode.add_argument(
        "--workers", type=_workers, metavar="N",
        help=f"worker processes encoding at once, at most {_job.MAX_WORKERS:,} (default: every core of this "
             "machine; with --ray, every CPU of the cluster)")
    encode.add_argument(
        "--shard-size", type=_shard_size, default=_job.DEFAULT_SHARD_SIZE, metavar="POSITIONS",
        help=f"positions in each shard, at most {_job.MAX_SHARD_SIZE:,}; the last holds the rest "
             f"(default {_job.DEFAULT_SHARD_SIZE:,}, about 800 MB)")
    encode.add_argument(
        "--errors", choices=("skip", "raise"), default="skip",
        help="a game with an illegal, ambiguous or unreadable move, or otherwise unreadable: 'skip' leaves "
             "it out, counts it by reason and lists it in OUTDIR/skipped.jsonl; 'raise' stops the job at the "
             "first one with its input, game and line (default: skip)")
    encode.add_argument(
        "--min-elo", type=_elo, metavar="RATING",
        help="keep only games whose WhiteElo and BlackElo tags are both at least RATING (0 to 999,999,999); "
             "games without both tags are left out (counted as filtered, not as errors)")
    encode.add_argument(
        "--max-elo", type=_elo, metavar="RATING",
        help="keep only games whose WhiteElo and BlackElo tags are both at most RATING; games without both "
             "tags are left out (counted as filtered)")
    encode.add_argument(
        "--speeds", type=_speeds, metavar="SPEED,...",
        help="keep only games of these speeds (ultrabullet, bullet, blitz, rapid, classical: base + 40 x "
             "increment seconds under 30, 180, 480, 1500, else classical); games without a TimeControl are "
             "left out")
    encode.add_argument(
        "--rated", action="store_true", help="keep only rated games (an Event tag starting with 'Rated')")
    encode.add_argument(
        "--no-bots", action="store_true", help="leave out games with a BOT title (WhiteTitle, BlackTitle)")
    encode.add_argument(
        "--skip-plies", type=_plies, default=0, metavar="N",
        help="the first N plies of every game give no positions (default 0)")
    encode.add_argument(
        "--ray", metavar="ADDRESS",
        help="encode on a Ray cluster: ADDRESS of its head (host:port, or 'auto' for the cluster this machine "
             "belongs to), or 'local' to start Ray on this machine; needs the extra 'ray' "
             "(pip install 'velmor_chess[ray]') and an OUTDIR every node sees at the same path")
    encode.add_argument(
        "--overwrite", action="store_true",
        help="replace the dataset already in OUTDIR: only what its manifest names (the manifest first) and "
             "the temporary files of a killed job are removed; a directory holding anything else is refused")
    encode.add_argument(
        "--sync", action="store_true",
        help="flush every shard to the disk before the manifest is written, so that even a power failure "
             "cannot leave a manifest naming shards the disk lacks (slower where the disk is slow)")
    encode.add_argument(
        "--quiet", action="store_true",
        help="no progress bar and no summary; errors are still reported "
             "(the progress bar is also off when standard error is not a terminal)")
    encode.add_argument(
        "--chunk-size", type=_size, default=_job.DEFAULT_CHUNK_BYTES, metavar="BYTES",
        help="PGN text a worker encodes at a time, cut at game boundaries; k, m, g suffixes "
             f"(default 256k, at most {_job.MAX_CHUNK_BYTES >> 30}g); does not change the dataset")
    return parser


def _progress_bar(quiet: bool) -> tuple[Any, Callable[[int, int], None] | None]:
    if quiet or not sys.stderr.isatty():
        return None, None
    from tqdm import tqdm

    # No monitor thread: the job forks its workers only from a process
    # without threads, and the bar is updated often enough without one.
    tqdm.monitor_interval = 0
    try:
        size = os.get_terminal_size(sys.stderr.fileno())
    except OSError:
        size = os.terminal_size((0, 0))
    # A terminal that reports no size (a bare pseudo-terminal) still gets a bar.
    width = {"dynamic_ncols": True} if min(size) > 0 else {"ncols": 100, "nrows": 20}
    bar = tqdm(unit=" positions", unit_scale=True, file=sys.stderr, **width,
               bar_format="{n_fmt}{unit} [{elapsed}, {rate_fmt}]{postfix}")
    games = [0]

    def update(positions: int, read: int) -> None:
        games[0] += read
        bar.set_postfix_str(f"{games[0]:,} games", refresh=False)
        bar.update(positions)

    return bar, update


def summary_line(summary: _job.Summary) -> str:
    skipped = sum(summary.skipped.values())
    reasons = ", ".join(f"{count:,} {kind}" for kind, count in summary.skipped.most_common())
    parts = [f"{summary.games_read:,} games read", f"{summary.games_encoded:,} encoded"]
    parts.append(f"{skipped:,} skipped" + (f" ({reasons})" if reasons else ""))
    if summary.games_filtered:
        parts.append(f"{summary.games_filtered:,} filtered")
    rate = summary.positions / summary.seconds if summary.seconds > 0 else 0.0
    return (f"{', '.join(parts)}; {summary.positions:,} positions in {summary.shards} "
            f"shard{'s' if summary.shards != 1 else ''}, {summary.seconds:.2f} s, "
            f"{rate:,.0f} positions/s -> {summary.outdir}")


def _filters(args: argparse.Namespace) -> dict[str, Any]:
    """The filters given beyond --min-elo, as encode_games's keyword arguments."""
    filters: dict[str, Any] = {}
    if args.max_elo is not None:
        filters["max_elo"] = args.max_elo
    if args.speeds is not None:
        filters["speeds"] = args.speeds
    if args.rated:
        filters["rated"] = True
    if args.no_bots:
        filters["bots"] = False
    if args.skip_plies:
        filters["skip_plies"] = args.skip_plies
    return filters


def _pool_factory(args: argparse.Namespace) -> Callable[[], _job.Pool]:
    if args.ray:
        from ._ray import RayPool

        return lambda: RayPool(args.ray, args.workers)
    workers = args.workers or _job.default_workers()
    return lambda: _job.LocalPool(workers)


def _what_is_left(job: _job.Job | None, output: str) -> str:
    """What a job that did not finish leaves in OUTDIR, as it is."""
    if job is not None and job.left_behind:
        return f"could not remove {', '.join(job.left_behind)} from {output!r}"
    replaced = " (the dataset it was to replace was removed)" if job is not None and job.replaced else ""
    return f"no dataset was written to {output!r}{replaced}"


def main(argv: Sequence[str] | None = None) -> int:
    """The command, as the entry of its process: it returns with SIGINT and
    SIGTERM ignored, so that a signal after the job has ended (the second
    Ctrl-C of an impatient user, while the interpreter shuts down) cannot
    change the status returned."""
    parser = build_parser()
    args = parser.parse_args(argv)
    prog = f"{parser.prog} encode"
    # Ctrl-C and SIGTERM stop the job once; its cleanup then runs to the end.
    signals = _job.Signals()
    for signum in (signal.SIGINT, signal.SIGTERM):
        signal.signal(signum, signals)
    job: _job.Job | None = None
    bar = None
    try:
        bar, update = _progress_bar(args.quiet)
        job = _job.Job(args.inputs, args.output, pool_factory=_pool_factory(args), shard_size=args.shard_size,
                       errors=args.errors, min_elo=args.min_elo, filters=_filters(args),
                       chunk_bytes=args.chunk_size,
                       overwrite=args.overwrite, sync=args.sync, progress=update, signals=signals)
        summary = job.run()
        if bar is not None:
            bar.close()
        if not args.quiet:
            print(summary_line(summary), flush=True)
        if signals.received:
            said = "interrupted" if signals.received[0] == signal.SIGINT else "terminated"
            print(f"{prog}: {said} once the dataset was complete; it is kept in {args.output!r}", file=sys.stderr)
        return 0
    except _job.UsageError as error:
        print(f"{prog}: error: {error}", file=sys.stderr)
        return EXIT_USAGE
    except _job.JobError as error:
        print(f"{prog}: failed: {error}", file=sys.stderr)
        print(textwrap.fill(_what_is_left(job, args.output), width=100), file=sys.stderr)
        return EXIT_FAILURE
    except KeyboardInterrupt:
        print(f"\n{prog}: interrupted; {_what_is_left(job, args.output)}", file=sys.stderr)
        return EXIT_INTERRUPTED
    except _job.Terminated:
        print(f"{prog}: terminated; {_what_is_left(job, args.output)}", file=sys.stderr)
        return EXIT_TERMINATED
    except OSError as error:
        # A full disk or a vanished directory while writing in this process.
        target = f" ({error.filename})" if error.filename else ""
        print(f"{prog}: failed: {error.strerror or error}{target}; {_what_is_left(job, args.output)}",
              file=sys.stderr)
        return EXIT_FAILURE
    finally:
        signals.hold()
        if bar is not None:
            bar.close()
        # Ignored, not held: the interpreter resets handlers of its own to
        # the default, which a signal would then die of, as it shuts down.
        for signum in (signal.SIGINT, signal.SIGTERM):
            signal.signal(signum, signal.SIG_IGN)


if __name__ == "__main__":
    sys.exit(main())
