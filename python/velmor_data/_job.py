"""The encode job: game collections in, a dataset directory out.

The main process cuts each input into chunks of whole games (``split_games``;
a Parquet input is read a row group at a time, as the PGN text of its rows)
and hands them to workers (local processes, or Ray actors on a cluster). A
worker encodes a chunk and reports its counts; the job, taking chunks in input
order, then knows where the chunk's positions go and tells the worker, which
packs them into the shard's store and writes them as its part of the shard. The layout depends only on the input
and the shard size, so any number of workers writes the same bytes.

Nothing half written is left behind: shards are written under temporary names
and renamed when complete, the manifest is written last and atomically, and a
job that fails or is interrupted removes what it wrote, and only that. A lock
on the output directory keeps a second job out of it while one runs.

The parts: _schedule (which worker does what, where positions go; no I/O),
_shards (the dataset's files from creation to commit), _pool (local worker
processes; _ray the Ray actors), _worker (the worker side and the messages),
_stop (errors and signals). This module checks the options and the output
directory, and runs the parts.
"""

from __future__ import annotations

import collections
import fcntl
import hashlib
import json
import os
import re
import threading
import time
from collections.abc import Callable, Iterator, Mapping, Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass, field
from typing import IO, Any

from . import _format as ds
from ._pool import LocalPool, Pool, default_workers
from ._schedule import Cut, Schedule
from ._shards import TEMPORARY, ShardFiles, fsync_dir, real_directory, regular_file, remove_entries
from ._stop import JobError, Signals, Terminated, UsageError
from ._worker import Encoded

__all__ = ["Job", "JobError", "UsageError", "Terminated", "Signals", "Pool", "LocalPool", "default_workers",
           "Summary", "InputStats", "check_input", "check_options", "check_outdir", "prepare_outdir",
           "OutdirLock"]

DEFAULT_SHARD_SIZE = 1_000_000
DEFAULT_CHUNK_BYTES = 256 << 10
INPUT_SUFFIXES = (".pgn", ".pgn.gz", ".pgn.bz2", ".pgn.zst", ".parquet")
# Bounds of the options. A shard's .npy headers and file sizes must fit, a
# chunk is held whole by the job and by its worker, each worker is a process,
# and a rating tag is read as at most nine digits.
MAX_SHARD_SIZE = 10**12
MAX_CHUNK_BYTES = 1 << 30
MAX_WORKERS = 4096
MAX_ELO = 999_999_999
# The lock a job holds on its output directory while it runs. It lies in the
# directory (a lock beside it would write outside it), is no dataset file,
# and is removed when the job ends.
LOCK = ".velmor_data.lock"
_SHARD = re.compile(r"shard-[0-9]{6}")
_ARRAY = re.compile(r"[a-z_][a-z0-9_]*")
_PART = re.compile(re.escape(ds.PART_PREFIX) + "[0-9]{%d}[.].+" % ds.PART_DIGITS)


@dataclass
class InputStats:
    path: str
    size: int
    first_game: int = 0
    sha256: str = ""
    games_read: int = 0
    games_encoded: int = 0
    games_filtered: int = 0
    games_skipped: int = 0
    castling_dropped: int = 0
    positions: int = 0


@dataclass
class Summary:
    outdir: str
    inputs: list[InputStats]
    positions: int = 0
    shards: int = 0
    games_read: int = 0
    games_encoded: int = 0
    games_filtered: int = 0
    castling_dropped: int = 0
    skipped: collections.Counter[str] = field(default_factory=collections.Counter)
    filtered_by_reason: collections.Counter[str] = field(default_factory=collections.Counter)
    seconds: float = 0.0


def check_input(path: str) -> None:
    if not path.lower().endswith(INPUT_SUFFIXES):
        raise UsageError(f"input {path!r}: not a game collection (expected a name ending in {', '.join(INPUT_SUFFIXES)})")
    if not os.path.exists(path):
        raise UsageError(f"input {path!r}: no such file")
    if not os.path.isfile(path):
        raise UsageError(f"input {path!r}: not a file")
    if not os.access(path, os.R_OK):
        raise UsageError(f"input {path!r}: not readable")


def _installed(module: str) -> bool:
    """Whether a module can be found, without importing it: pyarrow brings
    NumPy and threads with it, and the workers are forked from a process
    without threads (the job imports it once they are started)."""
    import importlib.util

    try:
        return importlib.util.find_spec(module) is not None
    except (ImportError, ValueError):
        return False


def check_options(*, shard_size: int, chunk_bytes: int, min_elo: int | None, errors: str) -> None:
    def check(what: str, value: object, low: int, high: int, unit: str = "") -> None:
        if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
            raise UsageError(f"{what} must be a whole number from {low:,} to {high:,}{unit}, not {value!r}")

    check("the shard size", shard_size, 1, MAX_SHARD_SIZE, " positions")
    check("the chunk size", chunk_bytes, 1, MAX_CHUNK_BYTES, " bytes")
    if min_elo is not None:
        check("the minimum rating", min_elo, 0, MAX_ELO)
    if errors not in ("skip", "raise"):
        raise UsageError(f"errors must be 'skip' or 'raise', not {errors!r}")


class OutdirLock:
    """An advisory lock on OUTDIR/LOCK, held from before the directory is
    looked at until the job has ended: a second job on the same directory is
    refused at once instead of removing the first one's files."""

    def __init__(self, outdir: str) -> None:
        self.outdir = outdir
        self.path = os.path.join(outdir, LOCK)
        self.created = False  # whether the job made the directory
        self._fd = -1
        # A job that ends removes its lock file, perhaps between this job's
        # opening it and locking it: the lock counts only on the file that
        # is still there, else the next try takes the new one.
        for _ in range(100):
            if self._try():
                return
        raise UsageError(f"cannot lock the output directory {outdir!r}: other jobs keep replacing its lock file")

    def _try(self) -> bool:
        outdir = self.outdir
        if os.path.lexists(outdir) and not os.path.isdir(outdir):
            raise UsageError(f"output {outdir!r} exists and is not a directory")
        if not os.path.exists(outdir):
            try:
                os.makedirs(outdir)
                self.created = True
            except FileExistsError:
                return False
            except OSError as error:
                raise UsageError(f"cannot create the output directory {outdir!r}: {error.strerror}") from None
        try:
            fd = os.open(self.path, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o644)
        except FileNotFoundError:  # the directory went, with a job that failed
            return False
        except OSError as error:
            raise UsageError(f"cannot lock the output directory {outdir!r} ({LOCK}): {error.strerror}") from None
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            os.close(fd)
            raise UsageError(f"output directory {outdir!r} is in use: another encode job holds its lock "
                             f"({LOCK})") from None
        except OSError as error:
            os.close(fd)
            raise UsageError(f"cannot lock the output directory {outdir!r} ({LOCK}): {error.strerror}") from None
        try:
            held = os.stat(self.path, follow_symlinks=False)
        except FileNotFoundError:
            held = None
        mine = os.fstat(fd)
        if held is None or (held.st_dev, held.st_ino) != (mine.st_dev, mine.st_ino):
            os.close(fd)
            return False
        self._fd = fd
        return True

    def release(self, remove_directory: bool = False) -> bool:
        """Removes the lock file (and the directory, when asked and empty),
        then unlocks; returns whether the lock file is gone."""
        if self._fd < 0:
            return True
        try:
            os.unlink(self.path)
            removed = True
        except FileNotFoundError:
            removed = True
        except OSError:
            removed = False
        if remove_directory:
            try:
                os.rmdir(self.outdir)
            except OSError:
                pass
        os.close(self._fd)
        self._fd = -1
        return removed


def _old_dataset(outdir: str) -> dict[str, tuple[str, ...] | None] | None:
    """What the manifest in outdir names: each shard directory with the array
    files it may hold, and the skipped list; None if the directory holds no
    manifest of a dataset."""
    try:
        with open(os.path.join(outdir, ds.MANIFEST), encoding="utf-8") as file:
            manifest = json.load(file)
        if not isinstance(manifest, dict) or manifest.get("format") != ds.FORMAT:
            return None
        arrays = _shard_files(manifest["schema"])
        if not all(_ARRAY.fullmatch(name) for name in manifest["schema"]):
            return None
        named: dict[str, tuple[str, ...] | None] = {ds.MANIFEST: None}
        for shard in manifest["shards"]:
            if not (isinstance(shard["path"], str) and _SHARD.fullmatch(shard["path"])):
                return None
            named[shard["path"]] = arrays
        if manifest["skipped_games"] == ds.SKIPPED:
            named[ds.SKIPPED] = None
        elif manifest["skipped_games"] is not None:
            return None
        return named
    except (OSError, ValueError, TypeError, KeyError, AttributeError):
        return None


def _shard_files(schema: Sequence[str]) -> tuple[str, ...]:
    """The files a shard directory of either format may hold."""
    return (*(f"{name}.npy" for name in schema), ds.MOVES, ds.KEYFRAMES, ds.RUNS, ds.GAMES,
            *(ds.extra_file(name) for name in schema))


def check_outdir(outdir: str, overwrite: bool, schema: Sequence[str]) -> list[str]:
    """Refuses an output that cannot take a dataset, changing nothing.

    Returns what --overwrite is to remove, as paths relative to outdir in the
    order of their removal: the manifest first, directories after their files.
    Only what the old manifest names and the job's own temporary names (left
    by a job that was killed) are removed; anything else refuses the job.
    """
    entries = sorted(set(os.listdir(outdir)) - {LOCK})
    if not entries:
        return []
    if not overwrite:
        raise UsageError(f"output directory {outdir!r} is not empty (pass --overwrite to replace the dataset in it)")
    named = _old_dataset(outdir) or {}
    arrays = _shard_files(schema)
    files: list[str] = []
    directories: list[str] = []
    foreign: list[str] = []
    for name in entries:
        path = os.path.join(outdir, name)
        holds: tuple[str, ...] | None  # the names a directory may hold; None for a file
        if name in named:
            holds = named[name]
        elif name in (TEMPORARY + ds.MANIFEST, TEMPORARY + ds.SKIPPED):
            holds = None
        elif name.startswith(TEMPORARY) and _SHARD.fullmatch(name[len(TEMPORARY):]):
            holds = arrays
        else:
            foreign.append(name)
            continue
        if holds is None and regular_file(path):
            files.append(name)
        elif holds is not None and real_directory(path):
            inside = sorted(os.listdir(path))
            temporary = name.startswith(TEMPORARY)
            strays = [f"{name}/{entry}" for entry in inside
                      if not (entry in holds or temporary and _PART.fullmatch(entry) and entry.split(".", 1)[1] in holds)
                      or not regular_file(os.path.join(path, entry))]
            foreign += strays
            files += [f"{name}/{entry}" for entry in inside]
            directories.append(name)
        else:
            foreign.append(name)
    if foreign:
        raise UsageError(
            f"output directory {outdir!r} holds files that are not part of the dataset its manifest names "
            f"({', '.join(foreign[:3])}{', ...' if len(foreign) > 3 else ''}); refusing to overwrite it"
        )
    files.sort(key=lambda name: name != ds.MANIFEST)
    return files + directories


def prepare_outdir(outdir: str, old: list[str]) -> None:
    """Removes the old dataset that check_outdir listed, and nothing else;
    stops at the first entry it cannot remove."""
    def removed(name: str) -> None:
        if name == ds.MANIFEST:
            # From here on the old dataset no longer claims to be complete.
            fsync_dir(outdir)

    for name, error in remove_entries(outdir, old, whole=False, keep_going=False, on_removed=removed):
        raise JobError(f"cannot remove {os.path.join(outdir, name)!r} of the old dataset: {error.strerror}")


def _checksum(path: str, stop: threading.Event) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as file:
        # A stopped job does not wait for the hash of a large input.
        while not stop.is_set() and (block := file.read(1 << 20)):
            digest.update(block)
    return digest.hexdigest()


class Job:
    def __init__(self, inputs: Sequence[str], outdir: str, *, pool_factory: Callable[[], Pool],
                 shard_size: int = DEFAULT_SHARD_SIZE, errors: str = "skip", min_elo: int | None = None,
                 filters: Mapping[str, Any] | None = None,
                 chunk_bytes: int = DEFAULT_CHUNK_BYTES, overwrite: bool = False, sync: bool = False,
                 progress: Callable[[int, int], None] | None = None, signals: Signals | None = None) -> None:
        import velmor_data

        check_options(shard_size=shard_size, chunk_bytes=chunk_bytes, min_elo=min_elo, errors=errors)
        # encode_games's other filters (max_elo, speeds, rated, bots,
        # skip_plies), checked here as the workers will read them.
        self.filters = tuple(sorted((filters or {}).items()))
        try:
            velmor_data._check_filters(min_elo=min_elo, **dict(self.filters))
        except (TypeError, ValueError) as error:
            raise UsageError(str(error)) from None
        for path in inputs:
            check_input(path)
        if any(path.lower().endswith(".parquet") for path in inputs) and not _installed("pyarrow"):
            # Said before anything is written, not after the inputs before it.
            from ._parquet import MISSING

            raise UsageError(f"Parquet input: {MISSING}")
        self.inputs = [InputStats(path, os.path.getsize(path)) for path in inputs]
        self.outdir = os.path.abspath(outdir)
        self.shard_size = shard_size
        self.errors = errors
        self.min_elo = min_elo
        self.chunk_bytes = chunk_bytes
        self.overwrite = overwrite
        self.sync = sync
        self.pool_factory = pool_factory
        self.progress = progress
        # Without the command line's handler (a job run from a program) no
        # signal is held back: pausing and holding change nothing.
        self.signals = signals or Signals()
        self.replaced = False     # whether an old dataset was removed
        self.left_behind: list[str] = []  # what a failed job could not remove
        self.schema = {name: (entry[0], tuple(entry[1]), entry[2]) for name, entry in velmor_data.SCHEMA.items()}
        self._velmor_data = velmor_data

    def run(self) -> Summary:
        """Writes the dataset; on any failure or signal removes what it wrote
        (self.left_behind names what it could not) and raises."""
        started = time.monotonic()
        files = ShardFiles(self.outdir, self.schema, self.shard_size, sync=self.sync, signals=self.signals)
        lock = OutdirLock(self.outdir)
        pool: Pool | None = None
        stop = threading.Event()
        hashing = ThreadPoolExecutor(1, thread_name_prefix="velmor-checksum")
        try:
            old = check_outdir(self.outdir, self.overwrite, list(self.schema))
            # Workers first: an old dataset is removed only once they are there.
            pool = self.pool_factory()
            if old:
                raising = self.signals.pause()
                try:
                    self.replaced = True
                    prepare_outdir(self.outdir, old)
                finally:
                    self.signals.resume(raising)
            checksums = [hashing.submit(_checksum, stats.path, stop) for stats in self.inputs]
            summary = self._run(pool, files, checksums)
        except BaseException:
            try:
                self.signals.hold()
            finally:
                self._abort(pool, files, lock, stop, hashing)
            raise
        # The dataset is complete: what follows only ends the workers, and
        # nothing there makes the job fail.
        try:
            pool.close()
        except Exception:
            pass
        finally:
            hashing.shutdown(wait=True)
            lock.release()
        summary.seconds = time.monotonic() - started
        return summary

    def _abort(self, pool: Pool | None, files: ShardFiles, lock: OutdirLock, stop: threading.Event,
               hashing: ThreadPoolExecutor) -> None:
        """Ends the workers and removes what this run wrote, to the end
        whatever fails on the way."""
        stop.set()
        if pool is not None:
            try:
                pool.close(abort=True)
            except Exception:
                pass
        hashing.shutdown(wait=True, cancel_futures=True)
        self.left_behind += files.remove()
        if not lock.release(remove_directory=lock.created):
            self.left_behind.append(LOCK)

    def _cuts(self) -> Iterator[Cut]:
        first_game = 0
        for number, stats in enumerate(self.inputs):
            stats.first_game = first_game
            games = 0
            try:
                for chunk in self._velmor_data.split_games(stats.path, chunk_bytes=self.chunk_bytes):
                    games += chunk.games
                    yield Cut(number, chunk.data, first_game + chunk.first_index, chunk.first_line)
            except (OSError, ValueError) as error:
                raise JobError(f"input {stats.path!r}: {getattr(error, 'strerror', None) or error}") from None
            except ImportError:  # a pyarrow that is there but fails to load
                from ._parquet import MISSING

                raise JobError(f"input {stats.path!r}: {MISSING}") from None
            first_game += games

    def _run(self, pool: Pool, files: ShardFiles, checksums: list[Future[str]]) -> Summary:
        summary = Summary(self.outdir, self.inputs)
        with files.open_temporary(ds.SKIPPED) as skipped_file:
            def progress(reply: Encoded) -> None:
                if self.progress:
                    self.progress(reply.positions, reply.games_read)

            schedule = Schedule(pool, files, shard_size=self.shard_size,
                                inputs=[stats.path for stats in self.inputs], errors=self.errors,
                                min_elo=self.min_elo, filters=self.filters, on_encoded=progress,
                                on_placed=lambda input, reply: self._account(summary, input, reply, skipped_file))
            shard_rows = schedule.run(self._cuts())
        summary.positions = schedule.placed
        summary.shards = len(shard_rows)
        for stats, checksum in zip(self.inputs, checksums):
            try:
                stats.sha256 = checksum.result()
            except OSError as error:
                raise JobError(f"input {stats.path!r}: {error.strerror or error}") from None
        if sum(summary.skipped.values()):
            files.commit(ds.SKIPPED)
        else:
            files.drop_temporary(ds.SKIPPED)
        files.write_manifest(self._manifest(summary, shard_rows, files))
        return summary

    def _account(self, summary: Summary, input: int, reply: Encoded, skipped_file: IO[str]) -> None:
        entry = self.inputs[input]
        entry.games_read += reply.games_read
        entry.games_encoded += reply.games_encoded
        entry.games_filtered += reply.games_filtered
        entry.games_skipped += len(reply.skipped)
        entry.castling_dropped += reply.castling_dropped
        entry.positions += reply.positions
        summary.games_read += reply.games_read
        summary.games_encoded += reply.games_encoded
        summary.games_filtered += reply.games_filtered
        summary.castling_dropped += reply.castling_dropped
        for reason, count in zip(self._velmor_data.FILTER_REASONS, reply.filtered_by_reason):
            summary.filtered_by_reason[reason] += count
        for index, line, kind, move, message in reply.skipped:
            summary.skipped[kind] += 1
            skipped_file.write(json.dumps({
                "input": entry.path, "game": index, "line": line,
                "kind": kind, "move": move, "message": message,
            }) + "\n")

    def _manifest(self, summary: Summary, shard_rows: list[int], files: ShardFiles) -> dict[str, Any]:
        return {
            "format": ds.FORMAT,
            "format_version": ds.FORMAT_VERSION,
            "created_by": f"velmor_data {self._velmor_data.__version__}",
            "positions": summary.positions,
            "schema": {name: {"dtype": dtype, "shape": list(shape), "meaning": meaning}
                       for name, (dtype, shape, meaning) in self.schema.items()},
            "shard_size": self.shard_size,
            "shards": [{"path": ds.shard_name(number), "positions": rows, **files.counts[number]}
                       for number, rows in enumerate(shard_rows)],
            # How the shards keep the schema's columns (see _format).
            "store": {"keyframe_plies": self._velmor_data._native.STORE_KEYFRAME_PLIES,
                      "extras": list(ds.extra_columns(self.schema))},
            "games_table": None if files.games_dtype is None else {
                name: [files.games_dtype[name].base.str, list(files.games_dtype[name].shape)]
                for name in files.games_dtype.names},
            "options": {"errors": self.errors, "min_elo": self.min_elo,
                        **{name: list(value) if name == "speeds" else value for name, value in self.filters}},
            "inputs": [{
                "path": entry.path, "size": entry.size, "sha256": entry.sha256,
                "first_game": entry.first_game, "games_read": entry.games_read,
                "games_encoded": entry.games_encoded, "games_filtered": entry.games_filtered,
                "games_skipped": entry.games_skipped, "castling_dropped": entry.castling_dropped,
                "positions": entry.positions,
            } for entry in self.inputs],
            "games": {
                "read": summary.games_read, "encoded": summary.games_encoded,
                "filtered": summary.games_filtered,
                "filtered_by_reason": {reason: summary.filtered_by_reason[reason]
                                       for reason in self._velmor_data.FILTER_REASONS},
                "skipped": sum(summary.skipped.values()),
                "skipped_by_kind": dict(sorted(summary.skipped.items())),
                # Read all the same, without the castling right their FEN tag
                # gave with no king and rook at home.
                "castling_dropped": summary.castling_dropped,
            },
            "skipped_games": ds.SKIPPED if sum(summary.skipped.values()) else None,
        }
