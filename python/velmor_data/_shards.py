"""The files of the dataset an encode job writes, from creation to commit.

Each shard, the skipped list and the manifest are written under a temporary
name (``.tmp-`` and the final name) and renamed once complete, the manifest
last: a directory with a manifest holds a complete dataset. ShardFiles knows
every name it made, so that a job that fails removes exactly those.
"""

from __future__ import annotations

import json
import os
import shutil
import stat
from collections.abc import Callable
from typing import IO, Any

from . import _format as ds
from ._stop import JobError, Signals

TEMPORARY = ".tmp-"


class ShardFiles:
    def __init__(self, outdir: str, schema: dict[str, tuple[str, tuple[int, ...], str]], shard_size: int,
                 *, sync: bool, signals: Signals) -> None:
        self.outdir = outdir
        self.schema = schema
        self.shard_size = shard_size
        self.sync = sync
        self.signals = signals
        self.extras = [(ds.extra_file(name), ds.row_bytes(dtype, shape))
                       for name, (dtype, shape, _) in schema.items() if name not in ds.REPLAYED]
        #: Per finished shard: its keyframes, runs and games (None: no table).
        self.counts: dict[int, dict[str, int | None]] = {}
        #: The games table's dtype (NumPy's description), once a shard had one.
        self.games_dtype: Any = None
        self._written: list[str] = []    # final names this run created
        self._temporary: set[str] = set()

    # -- shards (the Shards of _schedule) ---------------------------------------

    def start(self, shard: int) -> str:
        """Creates a shard's directory; returns it: the workers write their
        pieces of the shard into it."""
        directory = os.path.join(self.outdir, TEMPORARY + ds.shard_name(shard))
        self._temporary.add(os.path.basename(directory))
        os.mkdir(directory)
        return directory

    def finish(self, shard: int, rows: int) -> None:
        """Makes a shard whose pieces are all written into its files (each
        the pieces' files in row order) and commits it."""
        directory = os.path.join(self.outdir, TEMPORARY + ds.shard_name(shard))
        parts: dict[str, list[str]] = {}
        for entry in os.listdir(directory):
            row, _, name = entry[len(ds.PART_PREFIX):].partition(".")
            parts.setdefault(name, []).append(entry)
        for entries in parts.values():
            entries.sort()
        sizes = {}
        for name in (ds.MOVES, ds.KEYFRAMES, ds.RUNS, *(name for name, _ in self.extras)):
            sizes[name] = _concatenate(directory, name, parts.pop(name, []))
        keyframes, runs = sizes[ds.KEYFRAMES] // ds.KEYFRAME_BYTES, sizes[ds.RUNS] // ds.RUN_BYTES
        counts: dict[str, int | None] = {"keyframes": keyframes, "runs": runs, "games": None}
        expected = {ds.MOVES: rows * ds.MOVE_BYTES, ds.KEYFRAMES: keyframes * ds.KEYFRAME_BYTES,
                    ds.RUNS: runs * ds.RUN_BYTES}
        expected.update((name, rows * size) for name, size in self.extras)
        for name, size in expected.items():
            if sizes[name] != size:
                raise JobError(f"shard file {os.path.join(directory, name)!r} has {sizes[name]} bytes, not {size}")
        encoded = self._encode_extras(directory, rows)
        if encoded:
            counts["encoded"] = encoded  # type: ignore[assignment]
        games = parts.pop(ds.GAMES, None)
        if games is not None:
            counts["games"] = self._games(directory, games)
        if parts:
            raise JobError(f"shard directory {directory!r} holds unexpected files {sorted(parts)}")
        self.counts[shard] = counts
        self.commit(ds.shard_name(shard))

    def _encode_extras(self, directory: str, rows: int) -> dict[str, int]:
        """Encodes the shard's extra columns where that makes them smaller
        (clocks, evaluations: a byte or two a position where the values
        take four); returns the encoded files' sizes by column. The whole
        shard's column is encoded at once, so that its bytes depend on the
        shard's rows alone, not on how the workers cut them."""
        import numpy

        from ._store import encode_extras

        columns = {}
        for name, (dtype, shape, _) in self.schema.items():  # the order the dataset gives them to the store
            if name not in ds.REPLAYED:
                path = os.path.join(directory, ds.extra_file(name))
                columns[name] = numpy.fromfile(path, dtype=numpy.dtype(dtype)).reshape(rows, *shape)
        encoded = {}
        for name, data in (encode_extras(columns) if rows else {}).items():
            path = os.path.join(directory, ds.extra_file(name))
            with open(path + ".encoded", "xb") as file:
                file.write(data)
            os.replace(path + ".encoded", path)
            encoded[name] = len(data)
        return encoded

    def _games(self, directory: str, entries: list[str]) -> int:
        """The shard's games table: its pieces' tables one after the other."""
        import numpy

        tables = [numpy.load(os.path.join(directory, entry), allow_pickle=False) for entry in entries]
        table = numpy.concatenate(tables)
        if self.games_dtype is not None and table.dtype != self.games_dtype:
            raise JobError(f"the games tables of {directory!r} differ from the earlier shards' in their columns")
        self.games_dtype = table.dtype
        with open(os.path.join(directory, ds.GAMES), "xb") as file:
            numpy.save(file, table, allow_pickle=False)
        for entry in entries:
            os.unlink(os.path.join(directory, entry))
        return len(table)

    # -- other files ----------------------------------------------------------------

    def open_temporary(self, name: str) -> IO[str]:
        self._temporary.add(TEMPORARY + name)
        return open(os.path.join(self.outdir, TEMPORARY + name), "w", encoding="utf-8")

    def drop_temporary(self, name: str) -> None:
        os.unlink(os.path.join(self.outdir, TEMPORARY + name))
        self._temporary.discard(TEMPORARY + name)

    def commit(self, name: str) -> None:
        """Renames a temporary file or directory to its final name, first
        flushing it to the disk with sync (renames keep their order for any
        reader on the machine; only a power failure needs the flush)."""
        temporary = os.path.join(self.outdir, TEMPORARY + name)
        if not self.sync:
            pass
        elif os.path.isdir(temporary):
            for entry in os.listdir(temporary):
                _fsync(os.path.join(temporary, entry))
            fsync_dir(temporary)
        else:
            _fsync(temporary)
        # The rename and its bookkeeping in one step, which no signal cuts in
        # two: a failure then removes the file under the name it has.
        raising = self.signals.pause()
        try:
            os.rename(temporary, os.path.join(self.outdir, name))
            self._written.append(name)
            self._temporary.discard(TEMPORARY + name)
        finally:
            self.signals.resume(raising)

    def write_manifest(self, manifest: dict[str, Any]) -> None:
        with self.open_temporary(ds.MANIFEST) as file:
            json.dump(manifest, file, indent=2)
            file.write("\n")
        # With the manifest the dataset is complete: no signal stops the job
        # from here, so none can remove a dataset that is there.
        self.signals.hold()
        self.commit(ds.MANIFEST)
        if self.sync:
            fsync_dir(self.outdir)

    def remove(self) -> list[str]:
        """Removes every file this run made, whatever fails on the way;
        returns the names it could not remove."""
        return [name for name, _ in remove_entries(self.outdir, sorted({*self._temporary, *self._written}))]


def _concatenate(directory: str, name: str, entries: list[str]) -> int:
    """Writes the files `entries` of directory, in order, as one file `name`,
    removing them; returns its size."""
    size = 0
    with open(os.path.join(directory, name), "xb") as out:
        for entry in entries:
            path = os.path.join(directory, entry)
            with open(path, "rb") as part:
                size += _copy(part, out)
            os.unlink(path)
    return size


def _copy(source: IO[bytes], target: IO[bytes]) -> int:
    copied = 0
    while block := source.read(1 << 20):
        target.write(block)
        copied += len(block)
    return copied


def remove_entries(outdir: str, names: list[str], *, whole: bool = True, keep_going: bool = True,
                   on_removed: Callable[[str], None] = lambda name: None) -> list[tuple[str, OSError]]:
    """Removes the entries `names` of outdir in order and returns those it
    could not remove, with why: all of them (keep_going), or the first. A
    directory goes with what it holds (whole), or only when empty (not
    whole: its files listed before it). on_removed(name) follows each
    removal. The one place the job removes files, for a failed run's own
    files and for the old dataset --overwrite replaces."""
    left = []
    for name in names:
        path = os.path.join(outdir, name)
        try:
            if not real_directory(path):
                os.unlink(path)
            elif whole:
                shutil.rmtree(path)
            else:
                os.rmdir(path)
        except FileNotFoundError:
            pass
        except OSError as error:
            left.append((name, error))
            if not keep_going:
                break
            continue
        on_removed(name)
    return left


def _fsync(path: str) -> None:
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def fsync_dir(path: str) -> None:
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def regular_file(path: str) -> bool:
    try:
        return stat.S_ISREG(os.lstat(path).st_mode)
    except OSError:
        return False


def real_directory(path: str) -> bool:
    try:
        return stat.S_ISDIR(os.lstat(path).st_mode)
    except OSError:
        return False
