"""Datasets written by ``python -m velmor_data encode``: the manifest and the shards.

A dataset is a directory::

    manifest.json             written last, atomically: its presence means complete
    shard-000000/planes.npy   one NumPy .npy file per array of the schema
    shard-000000/turn.npy
    ...
    skipped.jsonl             one line per skipped game, when any was skipped

Every shard holds ``shard_size`` positions but the last, in input order, so a
position's place does not depend on how the job was run.

The manifest and the shard files are data from disk, read as untrusted: the
manifest may name only the job's own shard directories and the package's own
arrays, every file is opened inside the dataset's directory without following
symbolic links, and every array must be exactly what the manifest says, or
opening the dataset fails naming the file and the fault.
"""

from __future__ import annotations

import bisect
import errno
import json
import operator
import os
import stat
import sys
from collections.abc import Iterator
from typing import Any

import numpy
import numpy.lib.format

from . import SCHEMA
from ._format import FORMAT, FORMAT_VERSION, MANIFEST, row_bytes, shard_name

# Within the directory nothing is followed: no symbolic link can lead a read
# outside it, whatever the manifest says or whoever swaps an entry meanwhile.
# O_NONBLOCK: a FIFO put in a shard's place must not hang the open.
_OPEN_FILE = os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC
_OPEN_DIRECTORY = os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC

# A shard's count times its largest row must stay a possible file size.
_MAX_SHARD_POSITIONS = sys.maxsize // max(row_bytes(dtype, shape) for dtype, shape, _ in SCHEMA.values())


def _show(value: object) -> str:
    """A value read from disk, short enough for a one-line message."""
    text = repr(value)
    return text if len(text) <= 60 else text[:57] + "..."


def _reraise(error: OSError, what: str) -> OSError:
    # OSError(errno, text) becomes the matching subclass (PermissionError, ...).
    return OSError(error.errno, f"{what}: {error.strerror}")


class Dataset:
    """A dataset on disk as a sequence of positions.

    ``len(dataset)`` is the number of positions; ``dataset[i]`` is a dict of
    the arrays of position ``i`` (``planes`` of shape (12, 8, 8), the others
    0-d), copied out of the memory maps, which is what a PyTorch
    ``DataLoader`` takes as it is. ``dataset[i:j]`` gives a dict of arrays of
    ``j - i`` positions (copies too).
    ``dataset.shards`` holds, per shard, the read-only memory maps of its
    arrays; ``dataset.array(name)`` gives one array over all positions.
    Pickling keeps only the path, so loader worker processes map the files
    themselves.

    Opening checks the manifest and maps every shard file, checking each
    against it: a damaged dataset fails here, as a ValueError (an OSError
    when the disk fails) naming the file and what is wrong with it.
    """

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.path = os.fspath(path)
        self._manifest_path = os.path.join(self.path, MANIFEST)
        try:
            root = os.open(self.path, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
        except FileNotFoundError:
            raise FileNotFoundError(f"{self.path!r} is not a dataset: there is no such directory") from None
        except OSError as error:
            raise _reraise(error, f"{self.path!r} cannot be opened as a dataset's directory") from None
        try:
            manifest = self._read_manifest(root)
            self.manifest: dict[str, Any] = manifest
            self.schema: dict[str, tuple[str, tuple[int, ...]]] = self._check_schema(manifest)
            self._counts = self._check_shards(manifest)
            self._starts = [0]
            for count in self._counts:
                self._starts.append(self._starts[-1] + count)
            self._shards = [self._map_shard(root, number, count) for number, count in enumerate(self._counts)]
        finally:
            os.close(root)

    def _damaged(self, what: str) -> ValueError:
        return ValueError(f"dataset manifest {self._manifest_path!r} {what}")

    def _read_manifest(self, root: int) -> dict[str, Any]:
        path = self._manifest_path
        try:
            fd, _ = self._open_file(root, MANIFEST, path)
        except FileNotFoundError:
            raise FileNotFoundError(
                f"{self.path!r} is not a dataset: it has no {MANIFEST} "
                "(an encode job that did not finish leaves none)"
            ) from None
        try:
            with open(fd, "rb") as file:
                data = file.read()
        except OSError as error:
            raise _reraise(error, f"cannot read {path!r}") from None
        try:
            manifest = json.loads(data.decode("utf-8"))
        except UnicodeDecodeError as error:
            raise self._damaged(f"is not UTF-8 text ({error.reason} at byte {error.start})") from None
        except RecursionError:
            raise self._damaged("nests too deeply to be a manifest") from None
        except ValueError as error:  # json.JSONDecodeError, and numbers of too many digits
            raise self._damaged(f"is not valid JSON: {error}") from None
        if not isinstance(manifest, dict) or manifest.get("format") != FORMAT:
            raise self._damaged(f"is not a {FORMAT} manifest")
        version = manifest.get("format_version")
        if type(version) is not int or version != FORMAT_VERSION:
            raise self._damaged(f"has format version {_show(version)}; this velmor_data reads version {FORMAT_VERSION}")
        return manifest

    def _check_schema(self, manifest: dict[str, Any]) -> dict[str, tuple[str, tuple[int, ...]]]:
        """The package's schema, once the manifest's is found to be the same:
        its names become file names, so none may be anything else."""
        schema = manifest.get("schema")
        if not isinstance(schema, dict):
            raise self._damaged(f"has no schema (a dict of arrays), it has {_show(schema)}")
        unknown = [name for name in schema if name not in SCHEMA]
        if unknown:
            raise self._damaged(f"names an array {_show(unknown[0])} that velmor_data does not write")
        missing = [name for name in SCHEMA if name not in schema]
        if missing:
            raise self._damaged(f"lacks the array {missing[0]!r} in its schema")
        for name, (dtype, shape, _) in SCHEMA.items():
            entry = schema[name]
            if not isinstance(entry, dict) or entry.get("dtype") != dtype or entry.get("shape") != list(shape):
                raise self._damaged(f"says array {name!r} is {_show(entry)}; it is {dtype} of shape {list(shape)}")
        return {name: (dtype, shape) for name, (dtype, shape, _) in SCHEMA.items()}

    def _check_shards(self, manifest: dict[str, Any]) -> list[int]:
        """The position count of every shard; their directories are the job's
        names in order, shard-000000 onwards."""
        shards = manifest.get("shards")
        if not isinstance(shards, list):
            raise self._damaged(f"has no list of shards, it has {_show(shards)}")
        counts = []
        for number, entry in enumerate(shards):
            name = shard_name(number)
            if not isinstance(entry, dict) or entry.get("path") != name:
                raise self._damaged(f"names shard {number} {_show(entry)}; the shard is the directory {name!r}")
            count = entry.get("positions")
            if type(count) is not int or not 0 <= count <= _MAX_SHARD_POSITIONS:
                raise self._damaged(f"gives shard {name!r} a count of {_show(count)} positions")
            counts.append(count)
        total = manifest.get("positions")
        # Both bounded, so that len() of the dataset is an index-sized integer.
        if type(total) is not int or total != sum(counts) or total > sys.maxsize:
            raise self._damaged(f"says {_show(total)} positions, its shards hold {sum(counts)}")
        return counts

    def _open_entry(self, directory: int, name: str, path: str, flags: int) -> int:
        """Opens one entry of a directory of the dataset, refusing symbolic links."""
        try:
            return os.open(name, flags, dir_fd=directory)
        except OSError as error:
            try:
                link = stat.S_ISLNK(os.stat(name, dir_fd=directory, follow_symlinks=False).st_mode)
            except OSError:
                link = False
            if link:
                raise ValueError(
                    f"dataset file {path!r} is a symbolic link; a dataset is read from its own directory only"
                ) from None
            if isinstance(error, FileNotFoundError):
                raise FileNotFoundError(
                    error.errno, f"dataset {self.path!r} lacks {path!r}, which its manifest names"
                ) from None
            if flags & os.O_DIRECTORY and error.errno == errno.ENOTDIR:
                raise ValueError(f"dataset file {path!r} is not a directory") from None
            raise _reraise(error, f"cannot open {path!r}") from None

    def _open_file(self, directory: int, name: str, path: str) -> tuple[int, os.stat_result]:
        """A regular file of the dataset, opened, with its status."""
        fd = self._open_entry(directory, name, path, _OPEN_FILE)
        try:
            status = os.fstat(fd)
        except OSError as error:
            os.close(fd)
            raise _reraise(error, f"cannot read {path!r}") from None
        if not stat.S_ISREG(status.st_mode):
            os.close(fd)
            raise ValueError(f"dataset file {path!r} is not a regular file")
        return fd, status

    def _map_shard(self, root: int, number: int, count: int) -> dict[str, numpy.memmap]:
        name = shard_name(number)
        directory = self._open_entry(root, name, os.path.join(self.path, name), _OPEN_DIRECTORY)
        try:
            return {array: self._map_array(directory, os.path.join(self.path, name, f"{array}.npy"),
                                           array, count) for array in self.schema}
        finally:
            os.close(directory)

    def _map_array(self, directory: int, path: str, name: str, count: int) -> numpy.memmap:
        dtype, shape = self.schema[name]
        expected = (count, *shape)
        fd, status = self._open_file(directory, f"{name}.npy", path)
        with open(fd, "rb") as file:
            try:
                version = numpy.lib.format.read_magic(file)
                if version == (1, 0):
                    header = numpy.lib.format.read_array_header_1_0(file)
                elif version == (2, 0):
                    header = numpy.lib.format.read_array_header_2_0(file)
                else:
                    raise ValueError(f"it is .npy version {version[0]}.{version[1]}, not 1.0 or 2.0")
            except OSError as error:
                raise _reraise(error, f"cannot read {path!r}") from None
            except (ValueError, TypeError, SyntaxError, RecursionError, OverflowError, KeyError) as error:
                problem = (str(error).splitlines() or [type(error).__name__])[0]
                raise ValueError(f"dataset file {path!r} is not a .npy file velmor_data reads: "
                                 f"{problem[:100]}") from None
            header_shape, fortran, header_dtype = header
            if header_dtype != numpy.dtype(dtype) or header_shape != expected:
                raise ValueError(
                    f"dataset file {path!r} holds {header_dtype.str}{_show(list(header_shape))}, "
                    f"its manifest says {numpy.dtype(dtype).str}{list(expected)}"
                )
            offset = file.tell()
            need = offset + count * row_bytes(dtype, shape)
            if status.st_size != need:
                raise ValueError(
                    f"dataset file {path!r} has {status.st_size} bytes; its header and {count} positions take {need}"
                )
            try:
                # The map holds a descriptor of its own: the file is closed.
                return numpy.memmap(file, dtype=dtype, mode="r", offset=offset, shape=expected,
                                    order="F" if fortran else "C")
            except OSError as error:
                raise _reraise(error, f"cannot map {path!r}") from None

    def __getstate__(self) -> dict[str, str]:
        return {"path": self.path}

    def __setstate__(self, state: dict[str, str]) -> None:
        self.__init__(state["path"])  # type: ignore[misc]

    def __repr__(self) -> str:
        return f"velmor_data.open_dataset({self.path!r})  # {len(self):,} positions in {len(self._counts)} shards"

    def __len__(self) -> int:
        return self._starts[-1]

    @property
    def shards(self) -> list[dict[str, numpy.memmap]]:
        return self._shards

    def __getitem__(self, index: int | slice) -> dict[str, numpy.ndarray]:
        if isinstance(index, slice):
            return self._slice(*index.indices(len(self)))
        try:
            position = operator.index(index)  # numpy integers and 0-d integer arrays too, never 1.5
        except TypeError:
            raise TypeError(f"dataset indices must be integers or slices, not {type(index).__name__}") from None
        size = len(self)
        if position < 0:
            position += size
        if not 0 <= position < size:
            raise IndexError(f"position {index} is out of range for a dataset of {size} positions")
        number = bisect.bisect_right(self._starts, position) - 1
        row = position - self._starts[number]
        # Copies: a few hundred bytes, writable, and free of the map (which
        # torch would otherwise warn about when it wraps them in tensors).
        return {name: numpy.array(array[row]) for name, array in self.shards[number].items()}

    def _slice(self, start: int, stop: int, step: int) -> dict[str, numpy.ndarray]:
        if step != 1:
            rows = range(start, stop, step)
            return {name: numpy.stack([self[i][name] for i in rows]) if rows else self._empty(name)
                    for name in self.schema}
        stop = max(start, stop)
        parts: dict[str, list[numpy.ndarray]] = {name: [] for name in self.schema}
        number = bisect.bisect_right(self._starts, start) - 1
        while start < stop and number < len(self._counts):
            first = start - self._starts[number]
            last = min(stop, self._starts[number + 1]) - self._starts[number]
            for name, array in self.shards[number].items():
                parts[name].append(array[first:last])
            start = self._starts[number] + last
            number += 1
        return {name: numpy.concatenate(pieces) if pieces else self._empty(name) for name, pieces in parts.items()}

    def _empty(self, name: str) -> numpy.ndarray:
        dtype, shape = self.schema[name]
        return numpy.empty((0, *shape), dtype=dtype)

    def array(self, name: str) -> numpy.ndarray:
        """All positions' values of one array: the memory map itself when the
        dataset has one shard, else a concatenated copy in memory."""
        if name not in self.schema:
            raise KeyError(f"no array {name!r} in this dataset; it has {', '.join(self.schema)}")
        maps = [shard[name] for shard in self.shards]
        if len(maps) == 1:
            return maps[0]
        return numpy.concatenate(maps) if maps else self._empty(name)

    def __iter__(self) -> Iterator[dict[str, numpy.ndarray]]:
        for shard in self.shards:
            count = len(next(iter(shard.values())))
            for row in range(count):
                yield {name: numpy.array(array[row]) for name, array in shard.items()}


def open_dataset(path: str | os.PathLike[str]) -> Dataset:
    """Opens a dataset written by ``python -m velmor_data encode``."""
    return Dataset(path)
