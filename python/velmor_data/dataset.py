"""Datasets written by ``python -m velmor_data encode``: the manifest and the shards.

A dataset is a directory::

    manifest.json             written last, atomically: its presence means complete
    shard-000000/planes.npy   one NumPy .npy file per array of the schema
    shard-000000/turn.npy
    ...
    skipped.jsonl             one line per skipped game, when any was skipped

Every shard holds ``shard_size`` positions but the last, in input order, so a
position's place does not depend on how the job was run.
"""

from __future__ import annotations

import bisect
import json
import os
from collections.abc import Iterator, Mapping
from typing import Any

import numpy

from ._format import FORMAT, FORMAT_VERSION, MANIFEST


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
    """

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.path = os.fspath(path)
        manifest_path = os.path.join(self.path, MANIFEST)
        try:
            with open(manifest_path, encoding="utf-8") as file:
                manifest = json.load(file)
        except FileNotFoundError:
            raise FileNotFoundError(
                f"{self.path!r} is not a dataset: it has no {MANIFEST} "
                "(an encode job that did not finish leaves none)"
            ) from None
        except json.JSONDecodeError as error:
            raise ValueError(f"{manifest_path!r} is not valid JSON: {error}") from None
        if not isinstance(manifest, dict) or manifest.get("format") != FORMAT:
            raise ValueError(f"{manifest_path!r} is not a {FORMAT} manifest")
        version = manifest.get("format_version")
        if version != FORMAT_VERSION:
            raise ValueError(
                f"{manifest_path!r} has format version {version!r}; "
                f"this velmor_data reads version {FORMAT_VERSION}"
            )
        self.manifest: dict[str, Any] = manifest
        self.schema: dict[str, tuple[str, tuple[int, ...]]] = {
            name: (entry["dtype"], tuple(entry["shape"])) for name, entry in manifest["schema"].items()
        }
        self._counts = [int(shard["positions"]) for shard in manifest["shards"]]
        self._starts = [0]
        for count in self._counts:
            self._starts.append(self._starts[-1] + count)
        if self._starts[-1] != manifest["positions"]:
            raise ValueError(f"{manifest_path!r}: the shard counts do not add up to its positions")
        self._shards: list[dict[str, numpy.memmap]] | None = None

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
        if self._shards is None:
            self._shards = [self._map_shard(number, entry) for number, entry in enumerate(self.manifest["shards"])]
        return self._shards

    def _map_shard(self, number: int, entry: Mapping[str, Any]) -> dict[str, numpy.memmap]:
        arrays = {}
        for name, (dtype, shape) in self.schema.items():
            path = os.path.join(self.path, entry["path"], f"{name}.npy")
            try:
                array = numpy.load(path, mmap_mode="r")
            except FileNotFoundError:
                raise FileNotFoundError(f"dataset {self.path!r} lacks {path!r}, which its manifest names") from None
            except ValueError as error:
                raise ValueError(f"dataset file {path!r} is damaged: {error}") from None
            expected = (self._counts[number], *shape)
            if array.shape != expected or array.dtype != numpy.dtype(dtype):
                raise ValueError(
                    f"dataset file {path!r} holds {array.dtype}{list(array.shape)}, "
                    f"its manifest says {dtype}{list(expected)}"
                )
            arrays[name] = array
        return arrays

    def __getitem__(self, index: int | slice) -> dict[str, numpy.ndarray]:
        if isinstance(index, slice):
            return self._slice(*index.indices(len(self)))
        try:
            position = int(index)  # numpy integers and 0-d arrays too
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
