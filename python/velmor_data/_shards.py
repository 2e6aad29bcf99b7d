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
        self.row_bytes = {name: ds.row_bytes(dtype, shape) for name, (dtype, shape, _) in schema.items()}
        self._written: list[str] = []    # final names this run created
        self._temporary: set[str] = set()

    # -- shards (the Shards of _schedule) ---------------------------------------

    def start(self, shard: int) -> str:
        """Creates a shard's files, headers for a full shard; returns the
        directory the workers write its rows into."""
        directory = os.path.join(self.outdir, TEMPORARY + ds.shard_name(shard))
        self._temporary.add(os.path.basename(directory))
        os.mkdir(directory)
        for name, (dtype, shape, _) in self.schema.items():
            with open(os.path.join(directory, f"{name}.npy"), "wb") as file:
                file.write(ds.npy_header(dtype, (self.shard_size, *shape)))
        return directory

    def finish(self, shard: int, rows: int) -> None:
        """Commits a shard whose rows are all written (a short last one gets
        its real count in the headers)."""
        directory = os.path.join(self.outdir, TEMPORARY + ds.shard_name(shard))
        for name, (dtype, shape, _) in self.schema.items():
            path = os.path.join(directory, f"{name}.npy")
            size = ds.HEADER_BYTES + rows * self.row_bytes[name]
            with open(path, "r+b") as file:
                if rows != self.shard_size:
                    file.write(ds.npy_header(dtype, (rows, *shape)))
                    file.truncate(size)
                elif os.fstat(file.fileno()).st_size != size:
                    raise JobError(f"shard file {path!r} has {os.fstat(file.fileno()).st_size} bytes, not {size}")
        self.commit(ds.shard_name(shard))

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
        left = []
        for name in sorted({*self._temporary, *self._written}):
            path = os.path.join(self.outdir, name)
            try:
                if real_directory(path):
                    shutil.rmtree(path)
                else:
                    os.unlink(path)
            except FileNotFoundError:
                pass
            except OSError:
                left.append(name)
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
