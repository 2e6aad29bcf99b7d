"""Datasets written by ``python -m velmor_data encode``: the manifest and the shards.

A dataset is a directory::

    manifest.json               written last, atomically: its presence means complete
    shard-000000/moves.bin      the shard's position store (see _store and _format):
    shard-000000/keyframes.bin  a move word a position, a keyframe every few plies
    shard-000000/runs.bin       and a record per run of a game's positions
    shard-000000/extra-*.bin    each schema column the store does not replay
    shard-000000/games.npy      the games starting in the shard, when the encoder gives them
    ...
    skipped.jsonl               one line per skipped game, when any was skipped

That is format 2, which the encode job writes. Format 1 datasets (a .npy file
per array of the schema in each shard) are still read.

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
from functools import partial
from collections.abc import Callable, Iterable, Iterator
from typing import Any

import numpy
import numpy.lib.format

from . import SCHEMA, _check_int
from . import _format as ds
from ._format import FORMAT, FORMAT_VERSION, MANIFEST, row_bytes, shard_name
from ._store import (KEYFRAME_DTYPE, KEYFRAME_PLIES, RUN_DTYPE, Batches, Store, ahead, check_epoch_options,
                     check_extras, encoding_options)

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


def _describe(dtype: numpy.dtype) -> str:
    """A dtype as NumPy writes it in a .npy header, a table's columns shortened."""
    return dtype.str if dtype.names is None else _show(dtype.descr)


def _store_fields(names: Iterable[str]) -> tuple[int, list[str]]:
    """Fields of a format-2 dataset as its store takes them: the bits of
    those it replays, and the names of its extra columns."""
    mask = 0
    extras = []
    for name in names:
        if name in ds.REPLAYED:
            mask |= 1 << ds.REPLAYED.index(name)
        else:
            extras.append(name)
    return mask, extras


def _reraise(error: OSError, what: str) -> OSError:
    # OSError(errno, text) becomes the matching subclass (PermissionError, ...).
    return OSError(error.errno, f"{what}: {error.strerror}")


class _Loading:
    """The batch loader, over a dataset or a part of it."""

    def batches(self, batch_size: int, *, shuffle: bool = True, seed: int = 0, epoch: int = 0,
                fields: Iterable[str] | None = None, drop_last: bool = False, rank: int = 0,
                world_size: int = 1, view: str = "absolute", history: int | None = None,
                policy: str | None = None, legal_mask: bool = False,
                packed_mask: bool = False, packed_planes: bool = False, threads: int = 0,
                decoded: bool = False) -> EpochBatches:
        """One epoch's positions in batches: dicts of arrays, planes
        (B, 12, 8, 8) uint8 and the chosen fields (None: every field of the
        schema). A column of the games table among the fields is joined to
        each position by its game (game is then read, and given when asked).

        shuffle draws the order from every position of the dataset, the same
        for the same (seed, epoch); rank and world_size cut each epoch into
        world_size disjoint parts of len(dataset) // world_size positions
        (the rest is left out of the epoch); drop_last drops a last batch
        shorter than batch_size. Format 2 computes each batch natively from
        the store; format 1 gathers the rows from its memory maps with NumPy,
        the epoch's order an array of len(dataset) indices.

        view, history, policy, legal_mask, packed_mask and packed_planes
        encode each batch as encode_positions does (format 2 only): planes
        in that view with history (as bits with packed_planes), turn,
        castling, move_from and move_to in that view, and the arrays policy
        and legal on request.

        threads above 0 computes the next batches on that many threads while
        the caller uses the current one: a batch's native work runs with the
        GIL released, so with a thread per spare core the batches come
        nearly that many times faster. The batches are the same, in the same
        order, whatever the threads.

        decoded (format 2) reads the rows from every position of the dataset
        decoded in memory instead of replaying each row's game from its
        keyframe: the same batches, about twice as fast shuffled with history
        planes and legal masks. The positions are decoded in one pass on
        first use (well under a second a million positions) and kept while
        the dataset is open: about 110 bytes a position with Lichess's extra
        columns, and 60 more for the legal moves of each policy space and
        view a legal mask is asked in. Each process (a DataLoader worker)
        decodes its own."""
        check_epoch_options(batch_size, seed, epoch, rank, world_size, threads)
        encoding = self._encoding(view, history, policy, legal_mask, packed_mask, packed_planes, decoded)
        return self._range_batches(batch_size, shuffle, seed, epoch, fields, drop_last, rank, world_size, 0,
                                   len(self) // world_size, encoding, threads)

    def torch_batches(self, batch_size: int, *, shuffle: bool = True, seed: int = 0,
                      fields: Iterable[str] | None = None, drop_last: bool = False, rank: int = 0,
                      world_size: int = 1, view: str = "absolute", history: int | None = None,
                      policy: str | None = None, legal_mask: bool = False, packed_mask: bool = False,
                      packed_planes: bool = False, threads: int = 0, decoded: bool = False) -> Any:
        """The batches as a PyTorch IterableDataset, for a DataLoader with
        batch_size=None: each of the loader's worker processes iterates its
        own share of rank's part of the epoch, so that no position comes
        twice in an epoch and every one of the part comes once. set_epoch(n)
        before an epoch draws its order (the epoch defaults to 0; iterating
        again repeats it). Each batch is a dict of tensors over the batch's
        arrays. The encodings, threads and decoded are batches()'s: threads, not
        worker processes, are the way to use more cores (a worker hands each
        batch over through new shared memory, slower than computing it).
        torch is imported here, not before."""
        from ._torch import TorchBatches

        options = dict(batch_size=batch_size, shuffle=shuffle, seed=seed, fields=fields, drop_last=drop_last,
                       rank=rank, world_size=world_size, view=view, history=history, policy=policy,
                       legal_mask=legal_mask, packed_mask=packed_mask, packed_planes=packed_planes, threads=threads,
                       decoded=decoded)
        self.batches(**options)  # checks the arguments here, not in a worker
        return TorchBatches(self, options)

    def _encoding(self, view: str, history: int | None, policy: str | None, legal_mask: bool,
                  packed_mask: bool, packed_planes: bool, decoded: bool = False) -> dict[str, Any] | None:
        """The encoding options as the store takes them, checked; None for
        the plain planes."""
        encoding = encoding_options(view, history, policy, legal_mask, packed_mask, packed_planes, decoded)
        dataset = self._whole()
        if encoding is not None and dataset.format_version != 2:
            raise ValueError(f"dataset {dataset.path!r} is of format {dataset.format_version}: view, history, "
                             "policy, the legal mask, packed planes and decoded rows are computed from a dataset of "
                             "format 2 (encode it again)")
        return encoding

    def _range_batches(self, batch_size: int, shuffle: bool, seed: int, epoch: int, fields: Iterable[str] | None,
                       drop_last: bool, rank: int, world_size: int, first: int, last: int,
                       encoding: dict[str, Any] | None = None, threads: int = 0) -> EpochBatches:
        """Positions first..last of rank's part of the epoch, in batches."""
        dataset = self._whole()
        return EpochBatches(dataset, batch_size, bool(shuffle), seed, epoch, dataset._fields(fields),
                            bool(drop_last), rank, world_size, first, last, self._subset(), encoding, threads)

    def _whole(self) -> Dataset:
        raise NotImplementedError

    def _subset(self) -> numpy.ndarray | None:
        raise NotImplementedError

    def __len__(self) -> int:
        raise NotImplementedError



class Dataset(_Loading):
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
            self.format_version: int = manifest["format_version"]
            self._counts = self._check_shards(manifest)
            self._starts = [0]
            for count in self._counts:
                self._starts.append(self._starts[-1] + count)
            self._store: Store | None = None
            self._shards: list[dict[str, Any]]
            self._games: dict[str, numpy.ndarray] | None = None
            if self.format_version == 1:
                self._shards = [self._map_shard(root, number, count) for number, count in enumerate(self._counts)]
            else:
                self._open_store(root, manifest)
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
        if type(version) is not int or version not in (1, FORMAT_VERSION):
            raise self._damaged(f"has format version {_show(version)}; this velmor_data reads versions 1 "
                                f"and {FORMAT_VERSION}")
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
            return {array: self._map_npy(directory, os.path.join(self.path, name, f"{array}.npy"),
                                         numpy.dtype(self.schema[array][0]), (count, *self.schema[array][1]))
                    for array in self.schema}
        finally:
            os.close(directory)

    def _map_npy(self, directory: int, path: str, dtype: numpy.dtype, expected: tuple[int, ...]) -> numpy.ndarray:
        """A .npy file of the dataset that must hold exactly this dtype and shape, mapped."""
        count = expected[0]
        fd, status = self._open_file(directory, os.path.basename(path), path)
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
            if header_dtype != dtype or header_shape != expected:
                raise ValueError(
                    f"dataset file {path!r} holds {_describe(header_dtype)}{_show(list(header_shape))}, "
                    f"its manifest says {_describe(dtype)}{list(expected)}"
                )
            offset = file.tell()
            need = offset + count * (dtype.itemsize * int(numpy.prod(expected[1:], dtype=numpy.int64)))
            if status.st_size != need:
                raise ValueError(
                    f"dataset file {path!r} has {status.st_size} bytes; its header and {count} rows take {need}"
                    if len(expected) == 1 and dtype.names else
                    f"dataset file {path!r} has {status.st_size} bytes; its header and {count} positions take {need}"
                )
            if count == 0:
                return numpy.empty(expected, dtype)
            try:
                # The map holds a descriptor of its own: the file is closed.
                return numpy.memmap(file, dtype=dtype, mode="r", offset=offset, shape=expected,
                                    order="F" if fortran else "C")
            except OSError as error:
                raise _reraise(error, f"cannot map {path!r}") from None

    # -- format 2 -------------------------------------------------------------------

    def _open_store(self, root: int, manifest: dict[str, Any]) -> None:
        """Maps every shard's store and joins them into one (nothing copied)."""
        store = manifest.get("store")
        extras = list(ds.extra_columns(SCHEMA))
        if (not isinstance(store, dict) or store.get("extras") != extras
                or type(store.get("keyframe_plies")) is not int or store["keyframe_plies"] != KEYFRAME_PLIES):
            raise self._damaged(f"says its shards' stores are {_show(store)}; this velmor_data reads stores of "
                                f"a keyframe every {KEYFRAME_PLIES} plies with the columns {extras} beside them")
        games_dtype = self._games_dtype(manifest.get("games_table"))
        parts = []
        part_extras = []
        part_encoded = []
        games = []
        for number, count in enumerate(self._counts):
            entry = manifest["shards"][number]
            name = shard_name(number)
            sizes = {}
            for key in ("keyframes", "runs", "games"):
                value = entry.get(key)
                if key == "games" and games_dtype is None:
                    if value is not None:
                        raise self._damaged(f"gives shard {name!r} a games table, yet names no games table")
                    continue
                if type(value) is not int or not 0 <= value <= _MAX_SHARD_POSITIONS:
                    raise self._damaged(f"gives shard {name!r} a count of {_show(value)} {key}")
                sizes[key] = value
            encoded = entry.get("encoded", {})
            if (not isinstance(encoded, dict) or not set(encoded) <= set(extras)
                    or any(type(size) is not int or not 0 < size <= 8 * _MAX_SHARD_POSITIONS
                           for size in encoded.values())):
                raise self._damaged(f"gives shard {name!r} encoded columns {_show(encoded)}")
            directory = self._open_entry(root, name, os.path.join(self.path, name), _OPEN_DIRECTORY)
            try:
                def raw(file: str, dtype: numpy.dtype, rows: int, shape: tuple[int, ...] = ()) -> numpy.ndarray:
                    return self._map_raw(directory, os.path.join(self.path, name, file), dtype, (rows, *shape))

                parts.append((raw(ds.MOVES, numpy.dtype("<u2"), count),
                              raw(ds.KEYFRAMES, KEYFRAME_DTYPE, sizes["keyframes"]),
                              raw(ds.RUNS, RUN_DTYPE, sizes["runs"])))
                part_extras.append({column: raw(ds.extra_file(column), numpy.dtype(numpy.uint8), encoded[column])
                                    if column in encoded else
                                    raw(ds.extra_file(column), numpy.dtype(SCHEMA[column][0]), count,
                                        SCHEMA[column][1]) for column in extras})
                part_encoded.append(frozenset(encoded))
                try:
                    check_extras(part_extras[-1], part_encoded[-1], count)
                except ValueError as error:
                    column = str(error).removeprefix("extra column ").partition(" ")[0]
                    file = os.path.join(self.path, name, ds.extra_file(column if column in extras else extras[0]))
                    raise ValueError(f"dataset file {file!r} is damaged: {error}") from None
                if games_dtype is not None:
                    path = os.path.join(self.path, name, ds.GAMES)
                    games.append(self._map_npy(directory, path, games_dtype, (sizes["games"],)))
            finally:
                os.close(directory)
        self._shards = [{"moves": moves, "keyframes": keyframes, "runs": runs,
                         **{ds.extra_file(column): array for column, array in columns.items()}}
                        for (moves, keyframes, runs), columns in zip(parts, part_extras)]
        if parts:
            # The shards' stores as one, checked as it is made (its arrays
            # are each what the manifest says; here how they fit together).
            store = Store.__new__(Store)
            try:
                store._setup(tuple(parts), tuple(part_extras), tuple(part_encoded))
            except ValueError as error:
                raise self._damaged_store(str(error)) from None
            self._store = store
        if games_dtype is not None and games_dtype.names is not None:
            self._games = {column: numpy.concatenate([table[column] for table in games]) if games
                           else numpy.empty(0, games_dtype[column]) for column in games_dtype.names}

    def _damaged_store(self, message: str) -> ValueError:
        """A shard whose store's files do not fit together, naming the file:
        the keyframes for a keyframe's own fault, else the runs (whose
        counts the moves and keyframes did not match)."""
        part, said, rest = message.partition(": ") if message.startswith("part ") else ("part 0", ": ", message)
        try:
            name = shard_name(int(part.split()[1]))
        except (IndexError, ValueError):
            name, rest = shard_name(0), message
        file = ds.KEYFRAMES if rest.startswith("keyframe ") else ds.RUNS
        return ValueError(f"dataset file {os.path.join(self.path, name, file)!r} does not fit its shard: {rest}")

    def _games_dtype(self, table: object) -> numpy.dtype | None:
        """The games table's row, from the manifest: named columns of numbers,
        text or dates (no objects)."""
        if table is None:
            return None
        fields = []
        if not isinstance(table, dict) or "game" not in table:
            raise self._damaged(f"has a games table {_show(table)}, not columns with a game column")
        for column, entry in table.items():
            try:
                dtype = numpy.dtype(entry[0]) if isinstance(entry, list) and len(entry) == 2 and \
                    isinstance(entry[0], str) and isinstance(entry[1], list) else None
            except (TypeError, ValueError, SyntaxError):
                dtype = None
            if (dtype is None or dtype.kind not in "biufSUM" or dtype.shape or not ds_name(column)
                    or not all(type(extent) is int and 0 <= extent <= 1 << 16 for extent in entry[1])):
                raise self._damaged(f"gives the games table's column {_show(column)} {_show(entry)}")
            fields.append((column, dtype, tuple(entry[1])))
        return numpy.dtype(fields)

    def _map_raw(self, directory: int, path: str, dtype: numpy.dtype, expected: tuple[int, ...]) -> numpy.ndarray:
        """A raw file of the dataset that must hold exactly these rows, mapped."""
        fd, status = self._open_file(directory, os.path.basename(path), path)
        with open(fd, "rb") as file:
            row = dtype.itemsize * int(numpy.prod(expected[1:], dtype=numpy.int64))
            need = row * expected[0]
            if status.st_size != need:
                raise ValueError(f"dataset file {path!r} has {status.st_size} bytes; the {expected[0]} rows "
                                 f"of {row} bytes its manifest gives take {need}")
            if need == 0:
                return numpy.empty(expected, dtype)
            try:
                return numpy.memmap(file, dtype=dtype, mode="r", shape=expected)
            except OSError as error:
                raise _reraise(error, f"cannot map {path!r}") from None

    # -- access ---------------------------------------------------------------------

    def __getstate__(self) -> dict[str, str]:
        return {"path": self.path}

    def __setstate__(self, state: dict[str, str]) -> None:
        self.__init__(state["path"])

    def __repr__(self) -> str:
        return f"velmor_data.open_dataset({self.path!r})  # {len(self):,} positions in {len(self._counts)} shards"

    def __len__(self) -> int:
        return self._starts[-1]

    @property
    def shards(self) -> list[dict[str, numpy.memmap]]:
        """Per shard, the read-only memory maps of its files: in format 1 the
        schema's arrays, in format 2 the store's moves, keyframes and runs and
        the extra columns' files (by file name)."""
        return self._shards

    @property
    def store(self) -> Store | None:
        """Format 2: the shards' stores joined into one (None when empty); format 1: None."""
        return self._store

    @property
    def games(self) -> dict[str, numpy.ndarray] | None:
        """The games table over the whole dataset, one row a game (in memory),
        when the encoder gave one; None for format 1 and otherwise."""
        return self._games

    def _rows(self, rows: numpy.ndarray, names: list[str] | None = None) -> dict[str, numpy.ndarray]:
        """Format 2: the schema's columns (or `names` alone) of these rows."""
        assert self._store is not None
        names = list(self.schema) if names is None else names
        mask, extras = _store_fields(names)
        out = self._store._gather(numpy.ascontiguousarray(rows, numpy.uint64), mask, extras)
        return {name: out[name] for name in names}

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
        if self._store is not None:
            # One row of fresh arrays, each as its row's own (writable) array.
            rows = self._rows(numpy.array([position], numpy.uint64))
            return {name: array.reshape(array.shape[1:]) for name, array in rows.items()}
        number = bisect.bisect_right(self._starts, position) - 1
        row = position - self._starts[number]
        # Copies: a few hundred bytes, writable, and free of the map (which
        # torch would otherwise warn about when it wraps them in tensors).
        return {name: numpy.array(array[row]) for name, array in self.shards[number].items()}

    def _slice(self, start: int, stop: int, step: int) -> dict[str, numpy.ndarray]:
        if self._store is not None or self.format_version == 2:
            rows = numpy.arange(start, stop, step, dtype=numpy.uint64) if (stop - start) * step > 0 else \
                numpy.zeros(0, numpy.uint64)
            return {name: array.copy() for name, array in self._rows(rows).items()} if len(rows) else \
                {name: self._empty(name) for name in self.schema}
        if step != 1:
            rows = range(start, stop, step)
            return {name: numpy.stack([self[int(i)][name] for i in rows]) if rows else self._empty(name)
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
        """All positions' values of one array: in format 1 the memory map
        itself when the dataset has one shard, else a copy in memory."""
        if name not in self.schema:
            raise KeyError(f"no array {name!r} in this dataset; it has {', '.join(self.schema)}")
        if self.format_version == 2:
            if not len(self):
                return self._empty(name)
            dtype, shape = self.schema[name]
            out = numpy.empty((len(self), *shape), dtype)
            for start in range(0, len(self), _ROWS_AT_ONCE):
                rows = numpy.arange(start, min(start + _ROWS_AT_ONCE, len(self)), dtype=numpy.uint64)
                out[start:start + len(rows)] = self._rows(rows, [name])[name]
            return out
        maps = [shard[name] for shard in self.shards]
        if len(maps) == 1:
            return maps[0]
        return numpy.concatenate(maps) if maps else self._empty(name)

    def split(self, fraction: float, seed: int = 0) -> tuple[Subset, Subset]:
        """The dataset cut by game into (train, validation): a game goes to
        validation when a hash of its own moves (each position's move and
        ply, with the seed) falls below `fraction` of the hash's range, so
        the same game goes the same way whatever its number, input, shard
        or the workers that wrote it, and its positions never straddle.
        Games with the same moves go the same way. Each side holds its
        positions in order as an array (8 bytes a position)."""
        if isinstance(fraction, bool) or not isinstance(fraction, (int, float)) or not 0 <= fraction <= 1:
            raise ValueError(f"fraction must be a number from 0 to 1, not {fraction!r}")
        _check_int("seed", seed, 0)
        if seed >> 64:
            raise ValueError("seed must be below 2**64")
        hashes, lengths = self._game_hashes(seed)
        threshold = numpy.uint64(min(int(fraction * 2.0**64), (1 << 64) - 1))
        chosen = hashes < threshold if fraction < 1 else numpy.ones(len(hashes), bool)
        validation = numpy.repeat(chosen, lengths)
        return (Subset(self, numpy.flatnonzero(~validation).astype(numpy.uint64)),
                Subset(self, numpy.flatnonzero(validation).astype(numpy.uint64)))

    def _game_hashes(self, seed: int) -> tuple[numpy.ndarray, numpy.ndarray]:
        """Each game's hash (uint64) and positions, games in position order
        (a game's positions follow each other)."""
        hashes: list[numpy.ndarray] = []
        lengths: list[numpy.ndarray] = []
        carry_game, carry_hash, carry_length = None, numpy.zeros(1, numpy.uint64), 0
        key = numpy.uint64(_mix(seed ^ 0x9E3779B97F4A7C15))
        for start in range(0, len(self), _ROWS_AT_ONCE):
            stop = min(start + _ROWS_AT_ONCE, len(self))
            if self.format_version == 2:
                rows = self._rows(numpy.arange(start, stop, dtype=numpy.uint64),
                                  ["move_from", "move_to", "move_promotion", "game", "ply"])
            else:
                rows = {name: self._column_1(name, start, stop)
                        for name in ("move_from", "move_to", "move_promotion", "game", "ply")}
            word = (rows["move_from"].astype(numpy.uint8).astype(numpy.uint64)
                    | rows["move_to"].astype(numpy.uint8).astype(numpy.uint64) << numpy.uint64(8)
                    | rows["move_promotion"].astype(numpy.uint64) << numpy.uint64(16)
                    | rows["ply"].astype(numpy.uint32).astype(numpy.uint64) << numpy.uint64(24))
            mixed = _mix_array(word ^ key)
            game = rows["game"]
            cuts = numpy.flatnonzero(game[1:] != game[:-1]) + 1
            firsts = numpy.concatenate([[0], cuts])
            sums = numpy.add.reduceat(mixed, firsts)
            counts = numpy.diff(numpy.concatenate([firsts, [len(game)]]))
            if carry_game is not None and game[0] == carry_game:
                sums[:1] += carry_hash  # wrapping, as arrays add
                counts[0] += carry_length
            elif carry_game is not None:
                hashes.append(carry_hash)
                lengths.append(numpy.array([carry_length]))
            carry_game, carry_hash, carry_length = game[-1], sums[-1:].copy(), int(counts[-1])
            hashes.append(sums[:-1])
            lengths.append(counts[:-1])
        if carry_game is not None:
            hashes.append(carry_hash)
            lengths.append(numpy.array([carry_length]))
        if not hashes:
            return numpy.zeros(0, numpy.uint64), numpy.zeros(0, numpy.int64)
        # The sum of a game's mixed words, mixed once more: spread over the range.
        return _mix_array(numpy.concatenate(hashes)), numpy.concatenate(lengths)

    def _column_1(self, name: str, start: int, stop: int) -> numpy.ndarray:
        """Format 1: positions start:stop of one array."""
        parts = []
        for number, count in enumerate(self._counts):
            first, last = max(start, self._starts[number]), min(stop, self._starts[number] + count)
            if first < last:
                parts.append(self.shards[number][name][first - self._starts[number]:last - self._starts[number]])
        return numpy.concatenate(parts) if len(parts) > 1 else parts[0]

    def _whole(self) -> Dataset:
        return self

    def _subset(self) -> numpy.ndarray | None:
        return None

    def _fields(self, fields: Iterable[str] | None) -> tuple[list[str], list[str]]:
        """The schema's fields and the games table's columns of `fields`."""
        if fields is None:
            return list(self.schema), []
        if isinstance(fields, str):
            raise TypeError("fields must be a collection of field names, not a str")
        chosen: list[str] = ["planes"]
        joined: list[str] = []
        table = self._games or {}
        for name in fields:
            if name in self.schema:
                if name not in chosen:
                    chosen.append(name)
            elif name in table:
                if name not in joined:
                    joined.append(name)
            else:
                known = [*self.schema, *(column for column in table if column not in self.schema)]
                raise ValueError(f"unknown field {name!r}; the fields are {', '.join(known)}")
        chosen.sort(key=list(self.schema).index)
        return chosen, joined

    def _join_games(self, batch: dict[str, numpy.ndarray], games: numpy.ndarray, joined: list[str]) -> None:
        assert self._games is not None
        numbers = self._games["game"]
        at = numpy.searchsorted(numbers, games)
        at[at == len(numbers)] = 0
        if len(games) and not numpy.array_equal(numbers[at] if len(numbers) else at, games):
            raise ValueError(f"dataset {self.path!r}: its games table lacks games of its positions")
        for name in joined:
            batch[name] = self._games[name].take(at, axis=0)

    def __iter__(self) -> Iterator[dict[str, numpy.ndarray]]:
        if self.format_version == 2:
            for start in range(0, len(self), 4096):
                rows = self._rows(numpy.arange(start, min(start + 4096, len(self)), dtype=numpy.uint64))
                for row in range(len(rows["planes"])):
                    yield {name: array[row].copy() for name, array in rows.items()}
            return
        for shard in self.shards:
            count = len(next(iter(shard.values())))
            for row in range(count):
                yield {name: numpy.array(array[row]) for name, array in shard.items()}


class Subset(_Loading):
    """Some of a dataset's positions (one side of Dataset.split): len(),
    subset[i] (the dataset's position positions[i]), batches() and
    torch_batches() as the dataset's, over these positions only."""

    def __init__(self, dataset: Dataset, positions: numpy.ndarray) -> None:
        self.dataset = dataset
        #: The dataset's positions in this part, in order.
        self.positions = positions

    def _whole(self) -> Dataset:
        return self.dataset

    def _subset(self) -> numpy.ndarray | None:
        return self.positions

    def __len__(self) -> int:
        return len(self.positions)

    def __getitem__(self, index: int) -> dict[str, numpy.ndarray]:
        try:
            position = operator.index(index)
        except TypeError:
            raise TypeError(f"subset indices must be integers, not {type(index).__name__}") from None
        if not -len(self) <= position < len(self):
            raise IndexError(f"position {index} is out of range for a subset of {len(self)} positions")
        return self.dataset[int(self.positions[position])]

    def __repr__(self) -> str:
        return f"<Subset of {len(self):,} positions of {self.dataset!r}>"


def _mix(value: int) -> int:
    """A 64-bit finalizer (splitmix64's): every input bit moves every output bit."""
    value &= (1 << 64) - 1
    value = (value ^ value >> 30) * 0xBF58476D1CE4E5B9 & (1 << 64) - 1
    value = (value ^ value >> 27) * 0x94D049BB133111EB & (1 << 64) - 1
    return value ^ value >> 31


def _mix_array(values: Any) -> Any:
    """_mix of each value (uint64, wrapping)."""
    values = values ^ values >> numpy.uint64(30)
    values = values * numpy.uint64(0xBF58476D1CE4E5B9)
    values = values ^ values >> numpy.uint64(27)
    values = values * numpy.uint64(0x94D049BB133111EB)
    return values ^ values >> numpy.uint64(31)


class EpochBatches:
    """Positions first..last of rank's part of one epoch's order, in
    batches; iterable once or more, each time the same."""

    def __init__(self, dataset: Dataset, batch_size: int, shuffle: bool, seed: int, epoch: int,
                 fields: tuple[list[str], list[str]], drop_last: bool, rank: int, world_size: int, first: int,
                 last: int, positions: numpy.ndarray | None = None,
                 encoding: dict[str, Any] | None = None, threads: int = 0) -> None:
        self._dataset = dataset
        self._encoding = encoding
        self._threads = threads
        self._positions = positions  # a subset's positions, or None: all
        self._size = batch_size
        self._shuffle = shuffle
        self._seed = seed
        self._epoch = epoch
        self._chosen, self._joined = fields
        self._rank = rank
        self._world = world_size
        self._first = first
        count = last - first
        self._count = count - count % batch_size if drop_last else count

    def __len__(self) -> int:
        return -(-self._count // self._size)

    def __iter__(self) -> Iterator[dict[str, numpy.ndarray]]:
        return ahead(self._jobs(), self._threads)

    def _jobs(self) -> Iterator[Callable[[], dict[str, numpy.ndarray]]]:
        """A call that makes each batch, in order."""
        dataset = self._dataset
        wanted = self._chosen if not self._joined or "game" in self._chosen else [*self._chosen, "game"]
        if dataset.format_version == 2 and (dataset._store is None or not self._count):
            return
        if dataset.format_version == 2:
            store = dataset._store
            assert store is not None
            mask, extras = _store_fields(wanted)
            encoding = self._encoding

            def rows_batch(rows: numpy.ndarray) -> dict[str, numpy.ndarray]:
                if encoding is None:
                    return self._finish(store._gather(rows, mask, extras))
                return self._finish(store._encoded(rows, mask, extras, encoding))

            if self._positions is not None:
                order = self._order()
                for start in range(0, self._count, self._size):
                    rows = numpy.ascontiguousarray(order[start:start + self._size], numpy.uint64)
                    yield partial(rows_batch, rows)
                return

            def epoch_batch(start: int) -> dict[str, numpy.ndarray]:
                count = min(self._size, self._first + self._count - start)
                # With encodings, the batch's rows alone come first.
                buffer, offsets = store._native.batch(start, count, self._shuffle, self._seed, self._epoch,
                                                      self._rank, self._world, mask if encoding is None else 0)
                rows = numpy.frombuffer(buffer, numpy.uint64, count)
                if encoding is None:
                    return self._finish(store._result(buffer, offsets, rows, extras))
                return self._finish(store._encoded(rows, mask, extras, encoding))

            for start in range(self._first, self._first + self._count, self._size):
                yield partial(epoch_batch, start)
            return
        order = self._order()
        for start in range(0, self._count, self._size):
            yield partial(self._gathered_1, order[start:start + self._size], wanted)

    def _gathered_1(self, rows: numpy.ndarray, wanted: list[str]) -> dict[str, numpy.ndarray]:
        return self._finish(self._gather_1(rows, wanted))

    def _finish(self, batch: dict[str, numpy.ndarray]) -> dict[str, numpy.ndarray]:
        out = {name: batch[name] for name in self._chosen}
        for name in ("policy", "legal"):
            if name in batch:
                out[name] = batch[name]
        if self._joined:
            self._dataset._join_games(out, batch["game"], self._joined)
        return out

    def _order(self) -> numpy.ndarray:
        """The positions of this range of the epoch's order, drawn with
        NumPy (format 1, or a subset: the native order is of whole stores)."""
        size = len(self._dataset) if self._positions is None else len(self._positions)
        part = size // self._world
        begin = self._rank * part + self._first
        if not self._shuffle:
            order = numpy.arange(begin, begin + self._count, dtype=numpy.int64)
        else:
            order = numpy.random.default_rng([self._seed, self._epoch]).permutation(size)[begin:begin + self._count]
        return order if self._positions is None else self._positions[order]

    def _gather_1(self, rows: numpy.ndarray, names: list[str]) -> dict[str, numpy.ndarray]:
        dataset = self._dataset
        rows = rows.astype(numpy.int64, copy=False)
        starts = numpy.asarray(dataset._starts, dtype=numpy.int64)
        shard = numpy.searchsorted(starts, rows, side="right") - 1
        out = {}
        for name in names:
            dtype, shape = dataset.schema[name]
            out[name] = numpy.empty((len(rows), *shape), dtype)
        for number in numpy.unique(shard):
            chosen = numpy.flatnonzero(shard == number)
            local = rows[chosen] - starts[number]
            for name in names:
                out[name][chosen] = dataset.shards[number][name][local]
        return out


def ds_name(name: object) -> bool:
    return isinstance(name, str) and name.isidentifier() and name.isascii() and len(name) <= 64


# Rows a format-2 dataset computes at a time for array().
_ROWS_AT_ONCE = 1 << 16


def open_dataset(path: str | os.PathLike[str]) -> Dataset:
    """Opens a dataset written by ``python -m velmor_data encode``."""
    return Dataset(path)
