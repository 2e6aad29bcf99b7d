"""The command line: ``python -m velmor_data encode INPUT... -o OUTDIR``."""

from __future__ import annotations

import argparse
import os
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


class _Terminated(BaseException):
    """SIGTERM (a scheduler stopping the job): cleaned up like Ctrl-C."""


def _terminate(signum: int, frame: object) -> None:
    raise _Terminated

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
  python -m velmor_data encode /shared/games.pgn.zst -o /shared/dataset --ray auto

exit status: 0 done, 1 failed, 2 bad arguments, 130 interrupted (Ctrl-C),
143 terminated (SIGTERM); after 1, 130 and 143 nothing of the dataset is left."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> None:  # type: ignore[override]
        self.print_usage(sys.stderr)
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message}\n")


def _positive(text: str) -> int:
    try:
        value = int(text.replace("_", ""))
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def _size(text: str) -> int:
    units = {"k": 1 << 10, "m": 1 << 20, "g": 1 << 30}
    scale = units.get(text[-1:].lower(), 1)
    number = text[:-1] if scale != 1 else text
    value = _positive(number) * scale
    return value


def _elo(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a rating: {text!r}") from None


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="python -m velmor_data", description="Training data from chess game collections.")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    commands.required = True
    encode = commands.add_parser(
        "encode", help="encode game collections into a sharded dataset of NumPy arrays",
        description=DESCRIPTION, epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    encode.add_argument(
        "inputs", nargs="+", metavar="INPUT",
        help="game collections, read in the order given: .pgn, .pgn.gz, .pgn.bz2 or .pgn.zst files")
    encode.add_argument(
        "-o", "--output", required=True, metavar="OUTDIR",
        help="directory of the dataset; created if missing, refused if not empty (see --overwrite)")
    encode.add_argument(
        "--workers", type=_positive, metavar="N",
        help="worker processes encoding at once (default: every core of this machine; "
             "with --ray, every CPU of the cluster)")
    encode.add_argument(
        "--shard-size", type=_positive, default=_job.DEFAULT_SHARD_SIZE, metavar="POSITIONS",
        help=f"positions in each shard; the last holds the rest (default {_job.DEFAULT_SHARD_SIZE:,}, "
             "about 800 MB)")
    encode.add_argument(
        "--errors", choices=("skip", "raise"), default="skip",
        help="a game with an illegal, ambiguous or unreadable move, or otherwise unreadable: 'skip' leaves "
             "it out, counts it by reason and lists it in OUTDIR/skipped.jsonl; 'raise' stops the job at the "
             "first one with its input, game and line (default: skip)")
    encode.add_argument(
        "--min-elo", type=_elo, metavar="RATING",
        help="keep only games whose WhiteElo and BlackElo tags are both at least RATING; "
             "games without both tags are left out (counted as filtered, not as errors)")
    encode.add_argument(
        "--ray", metavar="ADDRESS",
        help="encode on a Ray cluster: ADDRESS of its head (host:port, or 'auto' for the cluster this machine "
             "belongs to), or 'local' to start Ray on this machine; needs the extra 'ray' "
             "(pip install 'velmor_chess[ray]') and an OUTDIR every node sees at the same path")
    encode.add_argument(
        "--overwrite", action="store_true",
        help="replace the dataset already in OUTDIR (its manifest is removed first; a directory holding "
             "other files is still refused)")
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
             "(default 256k); does not change the dataset")
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


def encode(args: argparse.Namespace) -> int:
    if args.ray:
        from ._ray import RayPool

        def pool_factory() -> _job.Pool:
            return RayPool(args.ray, args.workers)
    else:
        workers = args.workers or _job.default_workers()

        def pool_factory() -> _job.Pool:
            return _job.LocalPool(workers)

    bar, update = _progress_bar(args.quiet)
    try:
        job = _job.Job(args.inputs, args.output, pool_factory=pool_factory, shard_size=args.shard_size,
                       errors=args.errors, min_elo=args.min_elo, chunk_bytes=args.chunk_size,
                       overwrite=args.overwrite, sync=args.sync, progress=update)
        summary = job.run()
    finally:
        if bar is not None:
            bar.close()
    if not args.quiet:
        print(summary_line(summary), flush=True)
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    previous = signal.signal(signal.SIGTERM, _terminate)
    try:
        return encode(args)
    except _job.UsageError as error:
        print(f"{parser.prog} encode: error: {error}", file=sys.stderr)
        return EXIT_USAGE
    except _job.JobError as error:
        print(f"{parser.prog} encode: failed: {error}", file=sys.stderr)
        print(textwrap.fill(f"no dataset was written to {args.output!r}", width=100), file=sys.stderr)
        return EXIT_FAILURE
    except KeyboardInterrupt:
        print(f"\n{parser.prog} encode: interrupted; no dataset was written to {args.output!r}", file=sys.stderr)
        return EXIT_INTERRUPTED
    except _Terminated:
        print(f"{parser.prog} encode: terminated; no dataset was written to {args.output!r}", file=sys.stderr)
        return EXIT_TERMINATED
    except OSError as error:
        # A full disk or a vanished directory while writing in this process.
        target = f" ({error.filename})" if error.filename else ""
        print(f"{parser.prog} encode: failed: {error.strerror or error}{target}; "
              f"no dataset was written to {args.output!r}", file=sys.stderr)
        return EXIT_FAILURE
    finally:
        signal.signal(signal.SIGTERM, previous)


if __name__ == "__main__":
    sys.exit(main())
