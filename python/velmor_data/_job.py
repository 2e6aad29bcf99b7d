"""The encode job: game collections in, a dataset directory out.

The main process cuts each input into chunks of whole games (``split_games``)
and hands them to workers (local processes, or Ray actors on a cluster). A
worker encodes a chunk and reports its counts; the job, taking chunks in input
order, then knows where the chunk's positions go and tells the worker, which
writes them into the shard files itself. The layout depends only on the input
and the shard size, so any number of workers writes the same bytes.

Nothing half written is left behind: shards are written under temporary names
and renamed when complete, the manifest is written last and atomically, and a
job that fails or is interrupted removes what it wrote, and only that. A lock
on the output directory keeps a second job out of it while one runs.
"""

from __future__ import annotations

import collections
import fcntl
import hashlib
import json
import os
import re
import shutil
import signal
import stat
import threading
import time
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass, field
from typing import Any, Protocol

from . import _format as ds

DEFAULT_SHARD_SIZE = 1_000_000
DEFAULT_CHUNK_BYTES = 256 << 10
INPUT_SUFFIXES = (".pgn", ".pgn.gz", ".pgn.bz2", ".pgn.zst")
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
_TEMPORARY = ".tmp-"
_SHARD = re.compile(r"shard-[0-9]{6}")
_ARRAY = re.compile(r"[a-z_][a-z0-9_]*")


class JobError(Exception):
    """The job failed; the message says why. Nothing of the dataset is left."""


class UsageError(JobError):
    """The job was asked for something it cannot do (bad arguments)."""


class Terminated(BaseException):
    """SIGTERM (a scheduler stopping the job): cleaned up like Ctrl-C."""


class Signals:
    """The handler of SIGINT and SIGTERM while the job runs.

    The first signal stops the job where it is (KeyboardInterrupt or
    Terminated); every later one is only recorded, so that removing what the
    job wrote runs to its end. While a step must not be cut in two (a rename
    and its bookkeeping, removing the old dataset) a signal waits for the
    step's end; once the manifest is being committed none stops the job.
    """

    def __init__(self) -> None:
        self.received: list[int] = []
        self._raising = True

    def __call__(self, signum: int, frame: object) -> None:
        self.received.append(signum)
        if self._raising:
            self._raising = False
            raise KeyboardInterrupt if signum == signal.SIGINT else Terminated

    def hold(self) -> None:
        """From now on no signal stops the job."""
        self._raising = False

    def pause(self) -> bool:
        raising, self._raising = self._raising, False
        return raising

    def resume(self, raising: bool) -> None:
        """Ends a pause: a signal that came during it stops the job now."""
        if raising and self.received:
            signum = self.received[0]
            raise KeyboardInterrupt if signum == signal.SIGINT else Terminated
        self._raising = raising


class Pool(Protocol):
    size: int

    def send(self, worker: int, message: tuple[Any, ...]) -> None: ...
    def replies(self, timeout: float) -> list[tuple[int, tuple[Any, ...]]]: ...
    def close(self, abort: bool = False) -> None: ...


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
    skipped: collections.Counter[str] = field(default_factory=collections.Counter)
    seconds: float = 0.0


@dataclass
class _Chunk:
    number: int
    input: int
    games: int
    first_line: int
    worker: int = -1
    stats: dict[str, Any] | None = None
    game_error: tuple[Any, ...] | None = None
    pieces: list[tuple[int, int]] = field(default_factory=list)  # (shard, rows)


def check_input(path: str) -> None:
    if not path.lower().endswith(INPUT_SUFFIXES):
        raise UsageError(f"input {path!r}: not a game collection (expected a name ending in {', '.join(INPUT_SUFFIXES)})")
    if not os.path.exists(path):
        raise UsageError(f"input {path!r}: no such file")
    if not os.path.isfile(path):
        raise UsageError(f"input {path!r}: not a file")
    if not os.access(path, os.R_OK):
        raise UsageError(f"input {path!r}: not readable")


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


def _regular_file(path: str) -> bool:
    try:
        return stat.S_ISREG(os.lstat(path).st_mode)
    except OSError:
        return False


def _real_directory(path: str) -> bool:
    try:
        return stat.S_ISDIR(os.lstat(path).st_mode)
    except OSError:
        return False


def _old_dataset(outdir: str) -> dict[str, tuple[str, ...] | None] | None:
    """What the manifest in outdir names: each shard directory with the array
    files it may hold, and the skipped list; None if the directory holds no
    manifest of a dataset."""
    try:
        with open(os.path.join(outdir, ds.MANIFEST), encoding="utf-8") as file:
            manifest = json.load(file)
        if not isinstance(manifest, dict) or manifest.get("format") != ds.FORMAT:
            return None
        arrays = tuple(f"{name}.npy" for name in manifest["schema"])
        if not all(_ARRAY.fullmatch(name[:-4]) for name in arrays):
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
    arrays = tuple(f"{name}.npy" for name in schema)
    files: list[str] = []
    directories: list[str] = []
    foreign: list[str] = []
    for name in entries:
        path = os.path.join(outdir, name)
        holds: tuple[str, ...] | None  # the names a directory may hold; None for a file
        if name in named:
            holds = named[name]
        elif name in (_TEMPORARY + ds.MANIFEST, _TEMPORARY + ds.SKIPPED):
            holds = None
        elif name.startswith(_TEMPORARY) and _SHARD.fullmatch(name[len(_TEMPORARY):]):
            holds = arrays
        else:
            foreign.append(name)
            continue
        if holds is None and _regular_file(path):
            files.append(name)
        elif holds is not None and _real_directory(path):
            inside = sorted(os.listdir(path))
            strays = [f"{name}/{entry}" for entry in inside
                      if entry not in holds or not _regular_file(os.path.join(path, entry))]
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
    """Removes the old dataset that check_outdir listed, and nothing else."""
    for name in old:
        path = os.path.join(outdir, name)
        try:
            if _real_directory(path):
                os.rmdir(path)
            else:
                os.unlink(path)
        except FileNotFoundError:
            pass
        except OSError as error:
            raise JobError(f"cannot remove {path!r} of the old dataset: {error.strerror}") from None
        if name == ds.MANIFEST:
            # From here on the old dataset no longer claims to be complete.
            _fsync_dir(outdir)


def _fsync_dir(path: str) -> None:
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


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
                 chunk_bytes: int = DEFAULT_CHUNK_BYTES, overwrite: bool = False, sync: bool = False,
                 progress: Callable[[int, int], None] | None = None, signals: Signals | None = None) -> None:
        import velmor_data

        check_options(shard_size=shard_size, chunk_bytes=chunk_bytes, min_elo=min_elo, errors=errors)
        for path in inputs:
            check_input(path)
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
        self.row_bytes = {name: ds.row_bytes(dtype, shape) for name, (dtype, shape, _) in self.schema.items()}
        self._velmor_data = velmor_data

    # -- running ---------------------------------------------------------------

    def run(self) -> Summary:
        """Writes the dataset; on any failure or signal removes what it wrote
        (self.left_behind names what it could not) and raises."""
        started = time.monotonic()
        self._written: list[str] = []   # final names this run created
        self._temporary: set[str] = set()
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
            summary = self._run(pool, checksums)
        except BaseException:
            try:
                self.signals.hold()
            finally:
                self._abort(pool, lock, stop, hashing)
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

    def _abort(self, pool: Pool | None, lock: OutdirLock, stop: threading.Event,
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
        for name in sorted({*self._temporary, *self._written}):
            path = os.path.join(self.outdir, name)
            try:
                if _real_directory(path):
                    shutil.rmtree(path)
                else:
                    os.unlink(path)
            except FileNotFoundError:
                pass
            except OSError:
                self.left_behind.append(name)
        if not lock.release(remove_directory=lock.created):
            self.left_behind.append(LOCK)

    def _chunks(self) -> Iterator[tuple[int, Any, int]]:
        first_game = 0
        for number, stats in enumerate(self.inputs):
            stats.first_game = first_game
            games = 0
            try:
                for chunk in self._velmor_data.split_games(stats.path, chunk_bytes=self.chunk_bytes):
                    games += chunk.games
                    yield number, chunk, first_game + chunk.first_index
            except (OSError, ValueError) as error:
                raise JobError(f"input {stats.path!r}: {getattr(error, 'strerror', None) or error}") from None
            first_game += games

    def _run(self, pool: Pool, checksums: list[Future[str]]) -> Summary:
        summary = Summary(self.outdir, self.inputs)
        with self._open_temporary(ds.SKIPPED) as skipped_file:
            placed, shard_rows = self._encode_all(pool, summary, skipped_file)
        summary.positions = placed
        summary.shards = len(shard_rows)
        for stats, checksum in zip(self.inputs, checksums):
            try:
                stats.sha256 = checksum.result()
            except OSError as error:
                raise JobError(f"input {stats.path!r}: {error.strerror or error}") from None
        if sum(summary.skipped.values()):
            self._commit(ds.SKIPPED)
        else:
            os.unlink(os.path.join(self.outdir, ".tmp-" + ds.SKIPPED))
            self._temporary.discard(".tmp-" + ds.SKIPPED)
        self._write_manifest(summary, shard_rows)
        return summary

    def _encode_all(self, pool: Pool, summary: Summary, skipped_file: Any) -> tuple[int, list[int]]:
        chunks: dict[int, _Chunk] = {}
        queued = [0] * pool.size           # messages sent to a worker and not answered
        window = 3 * pool.size             # chunks in flight, bounding the memory held
        source = self._chunks()
        exhausted = False
        next_number = 0                    # next chunk to cut
        next_place = 0                     # next chunk, in input order, to place in the shards
        placed = 0                         # positions placed so far
        shard_rows: list[int] = []         # rows written into each shard
        first_error: int | None = None

        while True:
            # Keep every worker busy, within the window.
            while not exhausted and first_error is None and len(chunks) < window:
                worker = min(range(pool.size), key=queued.__getitem__)
                if queued[worker] >= 2:
                    break
                try:
                    input_number, chunk, first_index = next(source)
                except StopIteration:
                    exhausted = True
                    break
                record = _Chunk(next_number, input_number, chunk.games, chunk.first_line, worker)
                chunks[next_number] = record
                pool.send(worker, ("encode", next_number, chunk.data, first_index, chunk.first_line,
                                   self.errors, self.min_elo))
                queued[worker] += 1
                next_number += 1
            if exhausted and not chunks:
                break
            if first_error is not None and next_place == first_error:
                raise JobError(self._describe_game_error(chunks[first_error]))

            for worker, reply in pool.replies(timeout=0.2):
                queued[worker] -= 1
                kind, number = reply[0], reply[1]
                record = chunks[number]
                if kind == "failed":
                    raise JobError(f"encoding {self._where(record)} failed: {reply[2]}")
                if kind == "game error":
                    record.game_error = reply[2]
                    first_error = number if first_error is None else min(first_error, number)
                elif kind == "encoded":
                    record.stats = reply[2]
                    if self.progress:
                        self.progress(record.stats["positions"], record.stats["games_read"])
                elif kind == "written":
                    for shard, rows in record.pieces:
                        shard_rows[shard] += rows
                        if shard_rows[shard] == self.shard_size:
                            self._finish_shard(shard, self.shard_size)
                    del chunks[number]
                else:
                    raise JobError(f"unexpected reply {kind!r} from a worker")

            # Place the chunks whose predecessors are all placed.
            while next_place in chunks and chunks[next_place].stats is not None:
                record = chunks[next_place]
                stats = record.stats
                assert stats is not None
                pieces = []
                start = 0
                while start < stats["positions"]:
                    shard, row = divmod(placed + start, self.shard_size)
                    if shard == len(shard_rows):
                        self._start_shard(shard)
                        shard_rows.append(0)
                    rows = min(self.shard_size - row, stats["positions"] - start)
                    pieces.append((self._temporary_path(shard), row, start, start + rows))
                    record.pieces.append((shard, rows))
                    start += rows
                placed += stats["positions"]
                self._account(summary, record, skipped_file)
                pool.send(record.worker, ("write", record.number, pieces))
                queued[record.worker] += 1
                next_place += 1

        # The last shard is usually short: its headers get the real count.
        if shard_rows and shard_rows[-1] < self.shard_size:
            self._finish_shard(len(shard_rows) - 1, shard_rows[-1])
        return placed, shard_rows

    def _account(self, summary: Summary, record: _Chunk, skipped_file: Any) -> None:
        stats = record.stats
        assert stats is not None
        entry = self.inputs[record.input]
        entry.games_read += stats["games_read"]
        entry.games_encoded += stats["games_encoded"]
        entry.games_filtered += stats["games_filtered"]
        entry.games_skipped += len(stats["skipped"])
        entry.positions += stats["positions"]
        summary.games_read += stats["games_read"]
        summary.games_encoded += stats["games_encoded"]
        summary.games_filtered += stats["games_filtered"]
        for index, line, kind, move, message in stats["skipped"]:
            summary.skipped[kind] += 1
            skipped_file.write(json.dumps({
                "input": entry.path, "game": index, "line": line,
                "kind": kind, "move": move, "message": message,
            }) + "\n")

    def _where(self, record: _Chunk) -> str:
        return f"{self.inputs[record.input].path!r} from line {record.first_line}"

    def _describe_game_error(self, record: _Chunk) -> str:
        assert record.game_error is not None
        index, line, kind, move, message = record.game_error
        entry = self.inputs[record.input]
        return f"input {entry.path!r}, game {index} (line {line}): {message}"

    # -- files -------------------------------------------------------------------

    def _temporary_path(self, shard: int) -> str:
        return os.path.join(self.outdir, ".tmp-" + ds.shard_name(shard))

    def _open_temporary(self, name: str) -> Any:
        self._temporary.add(".tmp-" + name)
        return open(os.path.join(self.outdir, ".tmp-" + name), "w", encoding="utf-8")

    def _commit(self, name: str) -> None:
        """Renames a temporary file or directory to its final name, first
        flushing it to the disk with sync (renames keep their order for any
        reader on the machine; only a power failure needs the flush)."""
        temporary = os.path.join(self.outdir, ".tmp-" + name)
        if not self.sync:
            pass
        elif os.path.isdir(temporary):
            for entry in os.listdir(temporary):
                fd = os.open(os.path.join(temporary, entry), os.O_RDONLY)
                try:
                    os.fsync(fd)
                finally:
                    os.close(fd)
            _fsync_dir(temporary)
        else:
            fd = os.open(temporary, os.O_RDONLY)
            try:
                os.fsync(fd)
            finally:
                os.close(fd)
        # The rename and its bookkeeping in one step, which no signal cuts in
        # two: a failure then removes the file under the name it has.
        raising = self.signals.pause()
        try:
            os.rename(temporary, os.path.join(self.outdir, name))
            self._written.append(name)
            self._temporary.discard(".tmp-" + name)
        finally:
            self.signals.resume(raising)

    def _start_shard(self, shard: int) -> None:
        directory = self._temporary_path(shard)
        self._temporary.add(os.path.basename(directory))
        os.mkdir(directory)
        for name, (dtype, shape, _) in self.schema.items():
            with open(os.path.join(directory, f"{name}.npy"), "wb") as file:
                file.write(ds.npy_header(dtype, (self.shard_size, *shape)))

    def _finish_shard(self, shard: int, rows: int) -> None:
        directory = self._temporary_path(shard)
        for name, (dtype, shape, _) in self.schema.items():
            path = os.path.join(directory, f"{name}.npy")
            size = ds.HEADER_BYTES + rows * self.row_bytes[name]
            with open(path, "r+b") as file:
                if rows != self.shard_size:
                    file.write(ds.npy_header(dtype, (rows, *shape)))
                    file.truncate(size)
                elif os.fstat(file.fileno()).st_size != size:
                    raise JobError(f"shard file {path!r} has {os.fstat(file.fileno()).st_size} bytes, not {size}")
        self._commit(ds.shard_name(shard))

    def _write_manifest(self, summary: Summary, shard_rows: list[int]) -> None:
        manifest = {
            "format": ds.FORMAT,
            "format_version": ds.FORMAT_VERSION,
            "created_by": f"velmor_data {self._velmor_data.__version__}",
            "positions": summary.positions,
            "schema": {name: {"dtype": dtype, "shape": list(shape), "meaning": meaning}
                       for name, (dtype, shape, meaning) in self.schema.items()},
            "shard_size": self.shard_size,
            "shards": [{"path": ds.shard_name(number), "positions": rows} for number, rows in enumerate(shard_rows)],
            "options": {"errors": self.errors, "min_elo": self.min_elo},
            "inputs": [{
                "path": entry.path, "size": entry.size, "sha256": entry.sha256,
                "first_game": entry.first_game, "games_read": entry.games_read,
                "games_encoded": entry.games_encoded, "games_filtered": entry.games_filtered,
                "games_skipped": entry.games_skipped, "positions": entry.positions,
            } for entry in self.inputs],
            "games": {
                "read": summary.games_read, "encoded": summary.games_encoded,
                "filtered": summary.games_filtered, "skipped": sum(summary.skipped.values()),
                "skipped_by_kind": dict(sorted(summary.skipped.items())),
            },
            "skipped_games": ds.SKIPPED if sum(summary.skipped.values()) else None,
        }
        temporary = os.path.join(self.outdir, ".tmp-" + ds.MANIFEST)
        self._temporary.add(".tmp-" + ds.MANIFEST)
        with open(temporary, "w", encoding="utf-8") as file:
            json.dump(manifest, file, indent=2)
            file.write("\n")
        # With the manifest the dataset is complete: no signal stops the job
        # from here, so none can remove a dataset that is there.
        self.signals.hold()
        self._commit(ds.MANIFEST)
        if self.sync:
            _fsync_dir(self.outdir)


# -- local worker processes ----------------------------------------------------------


class LocalPool:
    """Worker processes on this machine, one pipe each.

    Workers are forked when this process has no other thread, so they start
    at once with everything imported; otherwise (a host program with threads
    of its own) they are spawned. Each pipe has a sender thread: a chunk's
    text is larger than a pipe's buffer, and the job must not wait for a
    busy worker to read it while the other workers need their next chunk or
    their write orders.
    """

    def __init__(self, size: int) -> None:
        import multiprocessing
        import queue
        from multiprocessing.connection import Connection, wait

        from . import _worker

        self._wait = wait
        method = _start_method()
        context = multiprocessing.get_context(method)
        self.size = size
        self._connections: list[Connection] = []
        self._processes: list[Any] = []
        self._outboxes: list[queue.SimpleQueue[Any]] = []
        self._senders: list[threading.Thread] = []
        self._send_failed: list[bool] = []
        try:
            for number in range(size):
                mine, theirs = context.Pipe()
                # A forked worker holds copies of this process's pipe ends; it
                # closes them, so that each worker sees its pipe close when
                # the job ends, however it ends.
                others = (*self._connections, mine) if method == "fork" else ()
                process = context.Process(target=_worker.serve, args=(theirs, others),
                                          name=f"velmor-encode-{number}", daemon=True)
                process.start()
                theirs.close()
                self._connections.append(mine)
                self._processes.append(process)
                self._outboxes.append(queue.SimpleQueue())
                self._send_failed.append(False)
            # Threads only once every worker is started: a fork copies none.
            for number in range(size):
                sender = threading.Thread(target=self._send_loop, args=(number,), daemon=True,
                                          name=f"velmor-send-{number}")
                sender.start()
                self._senders.append(sender)
        except BaseException:
            self.close(abort=True)
            raise

    def _send_loop(self, worker: int) -> None:
        outbox = self._outboxes[worker]
        connection = self._connections[worker]
        while (message := outbox.get()) is not _STOP:
            try:
                connection.send(message)
            except OSError:
                # The worker is gone; replies() reports how it ended.
                self._send_failed[worker] = True
                return

    def send(self, worker: int, message: tuple[Any, ...]) -> None:
        if self._send_failed[worker]:
            raise JobError(self._death(worker))
        self._outboxes[worker].put(message)

    def replies(self, timeout: float) -> list[tuple[int, tuple[Any, ...]]]:
        found: list[tuple[int, tuple[Any, ...]]] = []
        numbers = {id(connection): worker for worker, connection in enumerate(self._connections)}
        for ready in self._wait(self._connections, timeout):
            worker = numbers[id(ready)]
            try:
                found.append((worker, self._connections[worker].recv()))
            except (EOFError, OSError):
                raise JobError(self._death(worker)) from None
        return found

    def _death(self, worker: int) -> str:
        process = self._processes[worker]
        process.join(timeout=5)
        code = process.exitcode
        how = f"was killed by signal {-code}" if code is not None and code < 0 else f"exited with status {code}"
        return f"worker process {worker} {how} before finishing its work"

    def close(self, abort: bool = False) -> None:
        """Ends the workers: at once when aborting (killed, so that even a
        stopped worker goes), else by asking them and, after a few seconds,
        killing those that have not ended."""
        if abort:
            for process in self._processes:
                process.kill()
        for outbox in self._outboxes:
            if not abort:
                outbox.put(None)  # the worker's sign to stop
            outbox.put(_STOP)
        # A sender blocked on a stopped worker's full pipe is freed when the
        # worker dies; neither wait is longer than a few seconds together.
        deadline = time.monotonic() + 5
        for process in self._processes:
            process.join(timeout=max(0.0, deadline - time.monotonic()))
        for process in self._processes:
            if process.is_alive():
                process.kill()
                process.join(timeout=5)
        for sender in self._senders:
            sender.join(timeout=max(0.1, deadline - time.monotonic()))
        for connection in self._connections:
            connection.close()
        self._connections, self._processes, self._outboxes, self._senders = [], [], [], []


_STOP = object()


def _start_method() -> str:
    """'fork' when this process runs a single thread, else 'spawn'.

    Every thread counts, not only Python's; where they cannot be counted
    (no /proc), the workers are spawned.
    """
    try:
        return "fork" if len(os.listdir("/proc/self/task")) == 1 else "spawn"
    except OSError:
        return "spawn"


def default_workers() -> int:
    count = getattr(os, "process_cpu_count", os.cpu_count)()
    return max(1, count or 1)
