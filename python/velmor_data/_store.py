"""The compact position store and the batch loader over it.

A store keeps each game as its move words (uint16 a position) with a full
position, a keyframe, every STORE_KEYFRAME_PLIES plies of the game, and one
record per run of a game's rows; planes and every other field of the schema
are computed back natively when rows are gathered, by replaying at most
STORE_KEYFRAME_PLIES - 1 moves from the keyframe before them.

Columns beyond the schema (clocks, evaluations, mate scores) are extra
columns. pack() encodes each one-dimensional float32, int8, uint8, int16,
uint16 or int32 column in blocks of 64 rows (src/store/extras.hpp: a
constant, sparse values, deltas of tenths or hundredths against the same
side's previous value, or the other clock column one row on), exact to the
bit, whenever that is smaller than the column; gather and batches decode
only the rows asked for. Any other column is kept as it is.

    pack(arrays) -> Store
    Store(moves, keyframes, runs, extras=None, *, encoded=()) -> Store
    Store.gather(indices, fields=None) -> dict of arrays
    Store.batches(batch_size, *, shuffle=True, seed=0, epoch=0, fields=None,
                  drop_last=False, rank=0, world_size=1, ..., threads=0) -> Batches

To save a store and open it again: save .moves, .keyframes, .runs and each
array of .extra_arrays (name -> array, dtype and shape kept) with the names
in .encoded_extras (the arrays that are encoded bytes, uint8); then
Store(moves, keyframes, runs, extras=saved_extra_arrays, encoded=names)
gives the same store, checked (ValueError for damaged bytes). The encoded
bytes are self-describing (kind, rows) and little-endian.
"""

from __future__ import annotations

import math
import threading
from collections import deque
from collections.abc import Callable, Iterable, Iterator, Mapping
from concurrent.futures import Future, ThreadPoolExecutor
from functools import partial
from typing import Any, TypeVar

import numpy

from . import SCHEMA as _SCHEMA
from . import TEXT_FIELDS, _check_int, _native
from ._encodings import _SPACES, encode_positions, plane_shape, schema_columns
from ._policy import POLICY_SIZES

#: Plies between a game's keyframes.
KEYFRAME_PLIES: int = _native.STORE_KEYFRAME_PLIES

#: A keyframe: the 64 squares as nibbles (0 empty, 1 + plane; square 2i in
#: the low nibble), turn | castling << 1, then the en-passant file and clocks.
KEYFRAME_DTYPE = numpy.dtype(
    [
        ("board", "u1", (32,)),
        ("flags", "u1"),
        ("en_passant", "i1"),
        ("halfmove_clock", "<i4"),
        ("fullmove_number", "<i4"),
    ]
)

#: A run: consecutive rows of one game, each following from the one before.
RUN_DTYPE = numpy.dtype([("game", "<i8"), ("first_ply", "<i4"), ("rows", "<u4"), ("result", "i1")])

# The fields computed back from the moves: those read from the games' text
# (clocks, evaluations) travel as extra columns.
SCHEMA = {name: entry for name, entry in _SCHEMA.items() if name not in TEXT_FIELDS}
_FIELDS = tuple(SCHEMA)
# Each field's dtype, values a row and shape a row, for the arrays of a batch.
_LAYOUT = tuple(
    (name, numpy.dtype(dtype), int(numpy.prod(shape, dtype=numpy.int64)), shape)
    for name, (dtype, shape, _) in SCHEMA.items()
)
_MOVE_DTYPE = numpy.dtype("<u2")
# The fields encode_positions reads.
_ENCODING_INPUTS = ("planes", "turn", "castling", "en_passant", "halfmove_clock", "move_from", "move_to",
                    "move_promotion", "game", "ply")
# The fields an encoding gives in its view.
_ENCODED_MASK = sum(1 << _FIELDS.index(name) for name in ("planes", "turn", "castling", "move_from", "move_to"))
_UINT64_MAX = (1 << 64) - 1
# The extra columns the codec takes, by its kind codes (extras::Kind).
_EXTRA_KINDS = tuple(numpy.dtype(name) for name in ("<f4", "i1", "u1", "<i2", "<u2", "<i4"))
_EXTRA_HEADER_BYTES = 24


def encode_extras(columns: Mapping[str, numpy.ndarray]) -> dict[str, bytes]:
    """A part's extra columns (one row a position each, in the order the
    store will be given them) as pack() encodes them: name -> bytes, for
    the columns encoding makes smaller (a column may be coded as another one
    row on: the other side's clock). Empty unless the codec takes every
    column. The bytes depend on the columns' values alone."""
    arrays = {name: numpy.ascontiguousarray(column) for name, column in columns.items()}
    if not arrays or any(a.ndim != 1 or a.dtype not in _EXTRA_KINDS for a in arrays.values()):
        return {}
    rows = len(next(iter(arrays.values())))
    encoded = _native.store_extras_pack(
        tuple((array, _EXTRA_KINDS.index(array.dtype)) for array in arrays.values()), rows)
    return {name: bytes(data) for name, data in zip(arrays, encoded) if data is not None}


def check_extras(columns: Mapping[str, numpy.ndarray], encoded: frozenset[str], rows: int) -> None:
    """Raises ValueError when the extra columns of a part of `rows` rows are
    damaged (an encoded one whose bytes do not decode within themselves)."""
    if columns:
        _native.StoreExtras(
            (tuple((column, 0 if name in encoded else column.itemsize * math.prod(column.shape[1:]))
                   for name, column in columns.items()),),
            (rows,),
            tuple(columns),
        )


def pack(arrays: Mapping[str, Any]) -> Store:
    """The rows of encode_games (its .arrays, or any mapping of the schema's
    columns, rows of a game consecutive in ply order) as a Store. Keys beyond
    the schema are extra per-position columns, encoded when that makes them
    smaller. Every field gathered back equals its input byte for byte."""
    if not isinstance(arrays, Mapping):
        raise TypeError(f"arrays must be a mapping of column name to array, not {type(arrays).__name__}")
    columns, rows = schema_columns(arrays, _FIELDS)
    extras = {name: numpy.ascontiguousarray(value) for name, value in arrays.items() if name not in SCHEMA}
    for name, column in extras.items():
        if column.ndim == 0 or len(column) != rows:
            raise ValueError(f"extra column {name} must have {rows} rows")
    # The columns the codec takes, encoded when that is smaller.
    codable = [name for name, column in extras.items() if column.ndim == 1 and column.dtype in _EXTRA_KINDS]
    encoded = _native.store_extras_pack(
        tuple((extras[name], _EXTRA_KINDS.index(extras[name].dtype)) for name in codable), rows
    )
    encoded_names = []
    for name, data in zip(codable, encoded):
        if data is not None:
            extras[name] = numpy.frombuffer(data, numpy.uint8)
            encoded_names.append(name)
    moves, keyframes, runs = _native.store_pack(tuple(columns), rows)
    return Store(
        numpy.frombuffer(moves, _MOVE_DTYPE),
        numpy.frombuffer(keyframes, KEYFRAME_DTYPE),
        numpy.frombuffer(runs, RUN_DTYPE),
        extras,
        encoded=encoded_names,
    )


class Store:
    """A store's arrays: moves (N,) uint16, keyframes (KEYFRAME_DTYPE), runs
    (RUN_DTYPE) and extra per-position columns, each as it is or encoded
    (uint8 bytes, named in `encoded`). The arrays are checked when the store
    is made (ValueError when they do not make one). join() makes one store
    of several (shards packed apart) without copying them: its arrays are in
    .parts."""

    __slots__ = ("parts", "part_extras", "part_encoded", "_native", "_starts", "_extra_layout", "_extras_native",
                 "_decoding", "_decoded_extras")

    #: Each part's (moves, keyframes, runs).
    parts: tuple[tuple[numpy.ndarray, numpy.ndarray, numpy.ndarray], ...]
    #: Each part's extra columns as stored (encoded bytes or the column), the
    #: same names in every part.
    part_extras: tuple[dict[str, numpy.ndarray], ...]
    #: Each part's names of the extra columns stored encoded.
    part_encoded: tuple[frozenset[str], ...]

    def __init__(
        self,
        moves: numpy.ndarray,
        keyframes: numpy.ndarray,
        runs: numpy.ndarray,
        extras: Mapping[str, Any] | None = None,
        *,
        encoded: Iterable[str] = (),
    ) -> None:
        for name, array, dtype in (
            ("moves", moves, _MOVE_DTYPE),
            ("keyframes", keyframes, KEYFRAME_DTYPE),
            ("runs", runs, RUN_DTYPE),
        ):
            if not isinstance(array, numpy.ndarray) or array.dtype != dtype or array.ndim != 1:
                raise ValueError(f"{name} must be a one-dimensional array of {dtype}")
        part = (numpy.ascontiguousarray(moves), numpy.ascontiguousarray(keyframes), numpy.ascontiguousarray(runs))
        if isinstance(encoded, str):
            raise TypeError("encoded must be a collection of column names, not a str")
        encoded = frozenset(encoded)
        columns = {}
        for name, value in (extras or {}).items():
            if not isinstance(name, str) or name in SCHEMA:
                raise ValueError(f"an extra column needs a name outside the schema, not {name!r}")
            column = numpy.ascontiguousarray(value)
            if name in encoded:
                if column.dtype != numpy.uint8 or column.ndim != 1:
                    raise ValueError(f"extra column {name} is encoded: a one-dimensional array of uint8")
            elif column.ndim == 0 or len(column) != len(part[0]):
                raise ValueError(f"extra column {name} must have {len(part[0])} rows")
            elif column.dtype.hasobject or column.itemsize * int(numpy.prod(column.shape[1:])) == 0:
                raise ValueError(f"extra column {name} must hold bytes, at least one a row")
            columns[name] = column
        unknown = encoded - set(columns)
        if unknown:
            raise ValueError(f"encoded names no extra column: {', '.join(sorted(unknown))}")
        self._setup((part,), (columns,), (encoded,))

    def _setup(
        self,
        parts: tuple[tuple[numpy.ndarray, numpy.ndarray, numpy.ndarray], ...],
        part_extras: tuple[dict[str, numpy.ndarray], ...],
        part_encoded: tuple[frozenset[str], ...],
    ) -> None:
        self.parts = parts
        self.part_extras = part_extras
        self.part_encoded = part_encoded
        self._starts = numpy.cumsum([0] + [len(part[0]) for part in parts])
        self._native = _native.Store(parts)
        self._decoding = threading.Lock()
        self._decoded_extras: numpy.ndarray | None = None
        names = tuple(part_extras[0]) if part_extras else ()
        self._extras_native = None
        self._extra_layout: tuple[tuple[str, numpy.dtype, tuple[int, ...]], ...] = ()
        if names:
            self._extras_native = _native.StoreExtras(
                tuple(
                    tuple(
                        (columns[name], 0 if name in encoded else columns[name].itemsize * math.prod(
                            columns[name].shape[1:]))
                        for name in names
                    )
                    for columns, encoded in zip(part_extras, part_encoded)
                ),
                tuple(len(part[0]) for part in parts),
                names,
            )
            # Checked natively: an encoded column's header is whole, its kind known.
            self._extra_layout = tuple(
                (name, *_layout_of(part_extras[0][name], name in part_encoded[0])) for name in names
            )

    @staticmethod
    def join(stores: Iterable[Store]) -> Store:
        """One store of the rows of `stores`, in order, none of them copied:
        an epoch's order spans them all. The extra columns must have the
        same names in each."""
        stores = list(stores)
        if not all(isinstance(store, Store) for store in stores):
            raise TypeError("join() takes Store objects")
        kinds = [store._extra_layout for store in stores]
        if any(kind != kinds[0] for kind in kinds):
            raise ValueError("the stores joined must have the same extra columns, of the same dtypes and shapes")
        joined = Store.__new__(Store)
        parts = tuple(part for store in stores for part in store.parts)
        extras = tuple(columns for store in stores for columns in store.part_extras)
        encoded = tuple(names for store in stores for names in store.part_encoded)
        joined._setup(parts, extras or ({},), encoded or (frozenset(),))
        return joined

    def _only(self, index: int) -> numpy.ndarray:
        if len(self.parts) != 1:
            raise ValueError("a joined store has its arrays by part: see .parts")
        return self.parts[0][index]

    @property
    def moves(self) -> numpy.ndarray:
        return self._only(0)

    @property
    def keyframes(self) -> numpy.ndarray:
        return self._only(1)

    @property
    def runs(self) -> numpy.ndarray:
        return self._only(2)

    @property
    def extras(self) -> dict[str, numpy.ndarray]:
        """The extra columns, decoded."""
        if len(self.parts) != 1:
            raise ValueError("a joined store has its extra columns by part: see .part_extras")
        return self._gather_extras(numpy.arange(len(self), dtype=numpy.uint64), [n for n, _, _ in self._extra_layout])

    @property
    def extra_arrays(self) -> dict[str, numpy.ndarray]:
        """The extra columns as stored: encoded bytes (uint8) for the names
        in .encoded_extras, the column itself for the others."""
        if len(self.parts) != 1:
            raise ValueError("a joined store has its extra columns by part: see .part_extras")
        return dict(self.part_extras[0])

    @property
    def encoded_extras(self) -> tuple[str, ...]:
        """The names of the extra columns stored encoded, in column order."""
        if len(self.parts) != 1:
            raise ValueError("a joined store has its extra columns by part: see .part_encoded")
        return tuple(name for name in self.part_extras[0] if name in self.part_encoded[0])

    def __len__(self) -> int:
        return int(self._starts[-1])

    def __repr__(self) -> str:
        return f"<Store positions={len(self)} bytes_per_position={self.bytes_per_position:.2f}>"

    @property
    def nbytes(self) -> int:
        """Bytes of every array of the store, extra columns included."""
        return sum(array.nbytes for part in self.parts for array in part) + sum(
            column.nbytes for columns in self.part_extras for column in columns.values()
        )

    @property
    def bytes_per_position(self) -> float:
        return self.nbytes / len(self) if len(self) else 0.0

    @property
    def fields(self) -> tuple[str, ...]:
        """The schema's fields, then the extra columns."""
        return _FIELDS + self._extra_names

    @property
    def _extra_names(self) -> tuple[str, ...]:
        return tuple(name for name, _, _ in self._extra_layout)

    def _field_mask(self, fields: Iterable[str] | None) -> tuple[int, list[str]]:
        if fields is None:
            return (1 << len(_FIELDS)) - 1, list(self._extra_names)
        if isinstance(fields, str):
            raise TypeError("fields must be a collection of field names, not a str")
        mask = 1  # planes always
        extras = []
        for name in fields:
            if name in SCHEMA:
                mask |= 1 << _FIELDS.index(name)
            elif name in self._extra_names:
                if name not in extras:
                    extras.append(name)
            else:
                raise ValueError(f"unknown field {name!r}; the fields are {', '.join(self.fields)}")
        return mask, extras

    def _result(
        self, buffer: Any, offsets: tuple[int | None, ...], rows: numpy.ndarray, extras: list[str]
    ) -> dict[str, numpy.ndarray]:
        count = len(rows)
        out: dict[str, numpy.ndarray] = {}
        for (name, dtype, values, shape), offset in zip(_LAYOUT, offsets):
            if offset is not None:
                column = numpy.frombuffer(buffer, dtype, count * values, offset)
                out[name] = column.reshape((count, *shape)) if shape else column
        out.update(self._gather_extras(rows, extras))
        return out

    def _gather_extras(self, rows: numpy.ndarray, names: list[str]) -> dict[str, numpy.ndarray]:
        """The extra columns `names` of the rows (uint64, contiguous), decoded natively."""
        if not names or self._extras_native is None:
            return {}
        wanted = set(names)
        buffer, offsets = self._extras_native.gather(
            numpy.ascontiguousarray(rows, dtype=numpy.uint64), tuple(n in wanted for n, _, _ in self._extra_layout)
        )
        count = len(rows)
        out = {}
        for (name, dtype, shape), offset in zip(self._extra_layout, offsets):
            if offset is not None:
                column = numpy.frombuffer(buffer, dtype, count * math.prod(shape), offset)
                out[name] = column.reshape((count, *shape)) if shape else column
        return {name: out[name] for name in names}

    def _every_extra(self) -> numpy.ndarray:
        """Every row's extra columns decoded, a record a row, made on first
        use and kept: what decoded batches take their rows' extra columns
        from, each row's record fetched with the rest of the row."""
        with self._decoding:
            if self._decoded_extras is None:
                columns = self._gather_extras(numpy.arange(len(self), dtype=numpy.uint64), list(self._extra_names))
                records = numpy.empty(len(self), [(name, column.dtype, column.shape[1:])
                                                  for name, column in columns.items()])
                for name, column in columns.items():
                    records[name] = column
                self._decoded_extras = records
            return self._decoded_extras

    def gather(self, indices: Any, fields: Iterable[str] | None = None) -> dict[str, numpy.ndarray]:
        """The rows at `indices` (integers in [0, N), any order, repeats
        allowed), in that order: planes (B, 12, 8, 8) and the chosen fields
        (None: every field)."""
        rows = numpy.asarray(indices)
        if rows.ndim != 1 or (rows.size and rows.dtype.kind not in "iu"):
            raise TypeError("indices must be a one-dimensional sequence of integers")
        if rows.size and (int(rows.min()) < 0 or int(rows.max()) >= len(self)):
            raise IndexError(f"indices must be from 0 to {len(self) - 1}")
        rows = numpy.ascontiguousarray(rows, dtype=numpy.uint64)
        mask, extras = self._field_mask(fields)
        return self._gather(rows, mask, extras)

    def _gather(self, rows: numpy.ndarray, mask: int, extras: list[str]) -> dict[str, numpy.ndarray]:
        buffer, offsets = self._native.gather(numpy.ascontiguousarray(rows, dtype=numpy.uint64), mask)
        return self._result(buffer, offsets, rows, extras)

    def _encoded(
        self, rows: numpy.ndarray, mask: int, extras: list[str], encoding: dict[str, Any]
    ) -> dict[str, numpy.ndarray]:
        """The rows encoded as encode_positions encodes them among all the
        store's rows, computed natively from the replayed positions (each row
        with the rows its history and repetition planes need), and the other
        fields asked for from the same replay."""
        rows = numpy.ascontiguousarray(rows, dtype=numpy.uint64)
        history = encoding["history"]
        policy = encoding["policy"]
        decoded = encoding["decoded"]
        records = self._every_extra() if decoded and extras and len(self) else None
        planes, turn, castling, move_from, move_to, indices, legal, buffer, offsets, taken = self._native.encode(
            rows,
            mask & ~_ENCODED_MASK,
            encoding["view"] == "mover",
            -1 if history is None else history,
            -1 if policy is None else _SPACES.index(policy),
            encoding["legal_mask"],
            encoding["packed_mask"],
            encoding["packed_planes"],
            decoded,
            records,
        )
        count = len(rows)
        plane_count = 12 if history is None else 13 * (history + 1)
        encoded: dict[str, numpy.ndarray] = {
            "planes": numpy.frombuffer(planes, numpy.uint8).reshape(count, plane_count,
                                                                     *plane_shape(encoding["packed_planes"])),
            "turn": numpy.frombuffer(turn, numpy.uint8, count),
            "castling": numpy.frombuffer(castling, numpy.uint8, 4 * count).reshape(count, 4),
            "move_from": numpy.frombuffer(move_from, numpy.int8, count),
            "move_to": numpy.frombuffer(move_to, numpy.int8, count),
        }
        gathered = self._result(buffer, offsets, rows, extras if records is None else [])
        if records is not None:
            # Each column out of the rows' records, contiguous.
            rows_records = numpy.frombuffer(taken, records.dtype, count)
            gathered.update((name, numpy.ascontiguousarray(rows_records[name])) for name in extras)
        out: dict[str, numpy.ndarray] = {"planes": encoded["planes"]}
        for bit, name in enumerate(_FIELDS):
            if bit and mask >> bit & 1:
                out[name] = encoded[name] if name in encoded else gathered[name]
        for name in extras:
            out[name] = gathered[name]
        if indices is not None:
            out["policy"] = numpy.frombuffer(indices, numpy.int32, count)
        if legal is not None:
            size = POLICY_SIZES[policy]
            if encoding["packed_mask"]:
                out["legal"] = numpy.frombuffer(legal, numpy.uint8, count * (size // 8)).reshape(count, size // 8)
            else:
                out["legal"] = numpy.frombuffer(legal, numpy.bool_, count * size).reshape(count, size)
        return out

    def batches(
        self,
        batch_size: int,
        *,
        shuffle: bool = True,
        seed: int = 0,
        epoch: int = 0,
        fields: Iterable[str] | None = None,
        drop_last: bool = False,
        rank: int = 0,
        world_size: int = 1,
        view: str = "absolute",
        history: int | None = None,
        policy: str | None = None,
        legal_mask: bool = False,
        packed_mask: bool = False,
        packed_planes: bool = False,
        threads: int = 0,
        decoded: bool = False,
    ) -> Batches:
        """The positions of one epoch in batches of dicts of arrays: planes
        (B, 12, 8, 8) uint8 and the chosen fields (None: every field).

        shuffle draws the epoch's order from every position, the same for the
        same (seed, epoch). rank and
        world_size split each epoch into world_size disjoint parts of
        len(store) // world_size positions each (the rest is left out of that
        epoch); drop_last drops a last batch shorter than batch_size.

        view, history, policy, legal_mask, packed_mask and packed_planes
        encode each batch as encode_positions encodes the whole dataset's
        rows: planes in that view with history (as bits with packed_planes),
        turn, castling, move_from and move_to in that view, and policy and
        legal on request.

        threads above 0 computes the next batches on that many threads while
        the caller uses the current one (see ahead()); the batches are the
        same, in the same order.

        decoded reads the rows from every row of the store decoded, made on
        first use and kept with the store (about 110 bytes a position with
        Lichess's extra columns, and 60 more for the legal moves of each
        policy space and view a legal mask is asked in), instead of
        replaying each row's game: the same batches, faster where rows are
        read at random."""
        check_epoch_options(batch_size, seed, epoch, rank, world_size, threads)
        mask, extras = self._field_mask(fields)
        encoding = encoding_options(view, history, policy, legal_mask, packed_mask, packed_planes, decoded)
        return Batches(
            self, batch_size, bool(shuffle), seed, epoch, mask, extras, bool(drop_last), rank, world_size, encoding,
            threads,
        )


def check_epoch_options(batch_size: int, seed: int, epoch: int, rank: int, world_size: int,
                        threads: int = 0) -> None:
    """Raises for batch options a loader refuses."""
    _check_int("batch_size", batch_size, 1)
    _check_int("threads", threads, 0)
    _check_int("seed", seed, 0)
    _check_int("epoch", epoch, 0)
    _check_int("world_size", world_size, 1)
    _check_int("rank", rank, 0)
    if seed > _UINT64_MAX or epoch > _UINT64_MAX:
        raise ValueError("seed and epoch must be below 2**64")
    if rank >= world_size:
        raise ValueError(f"rank must be below world_size ({world_size}), not {rank}")


def encoding_options(view: str, history: int | None, policy: str | None, legal_mask: bool,
                     packed_mask: bool, packed_planes: bool = False, decoded: bool = False) -> dict[str, Any] | None:
    """The encoding options as batches take them, checked as encode_positions
    checks them; None for the plain planes read by replay. Decoded rows are
    read through the encodings, the plain planes as the absolute view."""
    if (view == "absolute" and history is None and policy is None and not legal_mask and not packed_mask
            and not packed_planes and not decoded):
        return None
    encoding = {"view": view, "history": history, "policy": policy, "legal_mask": legal_mask,
                "packed_mask": packed_mask, "packed_planes": packed_planes}
    empty = {name: numpy.zeros((0, *SCHEMA[name][1]), SCHEMA[name][0]) for name in _ENCODING_INPUTS}
    encode_positions(empty, **encoding)
    return {**encoding, "decoded": bool(decoded)}


def _layout_of(column: numpy.ndarray, encoded: bool) -> tuple[numpy.dtype, tuple[int, ...]]:
    """An extra column's values: dtype and shape a row."""
    if encoded:
        return _EXTRA_KINDS[int(column[1])], ()
    return column.dtype, column.shape[1:]


_T = TypeVar("_T")


def ahead(jobs: Iterable[Callable[[], _T]], threads: int) -> Iterator[_T]:
    """Each job's result, in the jobs' order. With threads above 0 the jobs
    run on that many threads, at most `threads` of them ahead of the result
    the caller holds: a batch's native work runs with the GIL released, so
    the next batches are computed on other cores while the caller trains on
    this one. A job's exception is raised where its result would have come;
    the jobs not yet taken are cancelled when the caller stops early."""
    if threads == 0:
        for job in jobs:
            yield job()
        return
    with ThreadPoolExecutor(threads, thread_name_prefix="velmor-batches") as pool:
        pending: deque[Future[_T]] = deque()
        try:
            for job in jobs:
                pending.append(pool.submit(job))
                if len(pending) > threads:
                    yield pending.popleft().result()
            while pending:
                yield pending.popleft().result()
        finally:
            for future in pending:
                future.cancel()


class Batches:
    """One epoch's batches: iterable once or more, each time the same."""

    __slots__ = (
        "_store", "_size", "_shuffle", "_seed", "_epoch", "_mask", "_extras", "_rank", "_world", "_count", "_encoding",
        "_threads",
    )

    def __init__(
        self,
        store: Store,
        batch_size: int,
        shuffle: bool,
        seed: int,
        epoch: int,
        mask: int,
        extras: list[str],
        drop_last: bool,
        rank: int,
        world_size: int,
        encoding: dict[str, Any] | None = None,
        threads: int = 0,
    ) -> None:
        self._store = store
        self._encoding = encoding
        self._threads = threads
        self._size = batch_size
        self._shuffle = shuffle
        self._seed = seed
        self._epoch = epoch
        self._mask = mask
        self._extras = extras
        self._rank = rank
        self._world = world_size
        part = len(store) // world_size
        self._count = part - part % batch_size if drop_last else part

    def __len__(self) -> int:
        return -(-self._count // self._size)

    def __iter__(self) -> Iterator[dict[str, numpy.ndarray]]:
        return ahead((partial(self._batch, start) for start in range(0, self._count, self._size)), self._threads)

    def _batch(self, start: int) -> dict[str, numpy.ndarray]:
        count = min(self._size, self._count - start)
        # With encodings, the batch's indices alone (no field) come first.
        mask = self._mask if self._encoding is None else 0
        buffer, offsets = self._store._native.batch(
            start, count, self._shuffle, self._seed, self._epoch, self._rank, self._world, mask
        )
        rows = numpy.frombuffer(buffer, numpy.uint64, count)
        if self._encoding is None:
            return self._store._result(buffer, offsets, rows, self._extras)
        return self._store._encoded(rows, self._mask, self._extras, self._encoding)
