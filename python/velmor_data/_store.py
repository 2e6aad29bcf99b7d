"""The compact position store and the batch loader over it.

A store keeps each game as its move words (uint16 a position) with a full
position, a keyframe, every STORE_KEYFRAME_PLIES plies of the game, and one
record per run of a game's rows; planes and every other field of the schema
are computed back natively when rows are gathered, by replaying at most
STORE_KEYFRAME_PLIES - 1 moves from the keyframe before them. Columns beyond
the schema (clocks, evaluations) are kept as they are.

    pack(arrays) -> Store
    Store.gather(indices, fields=None) -> dict of arrays
    Store.batches(batch_size, *, shuffle=True, seed=0, epoch=0, fields=None,
                  drop_last=False, rank=0, world_size=1) -> Batches
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator, Mapping
from typing import Any

import numpy

from . import SCHEMA as _SCHEMA
from . import TEXT_FIELDS, _check_int, _native
from ._encodings import _SPACES, encode_positions
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
_ENCODING_MASK = sum(1 << _FIELDS.index(name) for name in _ENCODING_INPUTS)
# The fields an encoding gives in its view.
_ENCODED_MASK = sum(1 << _FIELDS.index(name) for name in ("planes", "turn", "castling", "move_from", "move_to"))
_UINT64_MAX = (1 << 64) - 1


def pack(arrays: Mapping[str, Any]) -> Store:
    """The rows of encode_games (its .arrays, or any mapping of the schema's
    columns, rows of a game consecutive in ply order) as a Store. Keys beyond
    the schema are extra per-position columns, kept as they are. Every field
    gathered back equals its input byte for byte."""
    if not isinstance(arrays, Mapping):
        raise TypeError(f"arrays must be a mapping of column name to array, not {type(arrays).__name__}")
    missing = [name for name in _FIELDS if name not in arrays]
    if missing:
        raise ValueError(f"arrays lack the columns {', '.join(missing)}")
    columns = []
    rows = None
    for name, (dtype, shape, _) in SCHEMA.items():
        column = numpy.ascontiguousarray(arrays[name])
        if column.dtype != numpy.dtype(dtype) or column.shape[1:] != shape or column.ndim != 1 + len(shape):
            raise ValueError(
                f"column {name} must be {dtype} of shape (N, {', '.join(map(str, shape))}), "
                f"not {column.dtype} of shape {column.shape}"
            )
        if rows is None:
            rows = len(column)
        elif len(column) != rows:
            raise ValueError(f"column {name} has {len(column)} rows where planes has {rows}")
        columns.append(column)
    assert rows is not None
    extras = {name: value for name, value in arrays.items() if name not in SCHEMA}
    moves, keyframes, runs = _native.store_pack(tuple(columns), rows)
    return Store(
        numpy.frombuffer(moves, _MOVE_DTYPE),
        numpy.frombuffer(keyframes, KEYFRAME_DTYPE),
        numpy.frombuffer(runs, RUN_DTYPE),
        extras,
    )


class Store:
    """A store's arrays: moves (N,) uint16, keyframes (KEYFRAME_DTYPE), runs
    (RUN_DTYPE) and extra per-position columns. The arrays are checked when
    the store is made (ValueError when they do not make one). join() makes
    one store of several (shards packed apart) without copying them: its
    arrays are in .parts."""

    __slots__ = ("parts", "part_extras", "_native", "_starts", "_extra_names")

    #: Each part's (moves, keyframes, runs).
    parts: tuple[tuple[numpy.ndarray, numpy.ndarray, numpy.ndarray], ...]
    #: Each part's extra columns, the same names in every part.
    part_extras: tuple[dict[str, numpy.ndarray], ...]

    def __init__(
        self,
        moves: numpy.ndarray,
        keyframes: numpy.ndarray,
        runs: numpy.ndarray,
        extras: Mapping[str, Any] | None = None,
    ) -> None:
        for name, array, dtype in (
            ("moves", moves, _MOVE_DTYPE),
            ("keyframes", keyframes, KEYFRAME_DTYPE),
            ("runs", runs, RUN_DTYPE),
        ):
            if not isinstance(array, numpy.ndarray) or array.dtype != dtype or array.ndim != 1:
                raise ValueError(f"{name} must be a one-dimensional array of {dtype}")
        part = (numpy.ascontiguousarray(moves), numpy.ascontiguousarray(keyframes), numpy.ascontiguousarray(runs))
        columns = {}
        for name, value in (extras or {}).items():
            if not isinstance(name, str) or name in SCHEMA:
                raise ValueError(f"an extra column needs a name outside the schema, not {name!r}")
            column = numpy.ascontiguousarray(value)
            if column.ndim == 0 or len(column) != len(part[0]):
                raise ValueError(f"extra column {name} must have {len(part[0])} rows")
            columns[name] = column
        self._setup((part,), (columns,))

    def _setup(
        self,
        parts: tuple[tuple[numpy.ndarray, numpy.ndarray, numpy.ndarray], ...],
        part_extras: tuple[dict[str, numpy.ndarray], ...],
    ) -> None:
        self.parts = parts
        self.part_extras = part_extras
        self._extra_names = tuple(part_extras[0]) if part_extras else ()
        self._starts = numpy.cumsum([0] + [len(part[0]) for part in parts])
        self._native = _native.Store(parts)

    @staticmethod
    def join(stores: Iterable[Store]) -> Store:
        """One store of the rows of `stores`, in order, none of them copied:
        an epoch's order spans them all. The extra columns must have the
        same names in each."""
        stores = list(stores)
        if not all(isinstance(store, Store) for store in stores):
            raise TypeError("join() takes Store objects")
        kinds = [
            [(name, column.dtype, column.shape[1:]) for name, column in columns.items()]
            for store in stores
            for columns in store.part_extras
        ]
        if any(kind != kinds[0] for kind in kinds):
            raise ValueError("the stores joined must have the same extra columns, of the same dtypes and shapes")
        joined = Store.__new__(Store)
        parts = tuple(part for store in stores for part in store.parts)
        extras = tuple(columns for store in stores for columns in store.part_extras)
        joined._setup(parts, extras or ({},))
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
        if len(self.parts) != 1:
            raise ValueError("a joined store has its extra columns by part: see .part_extras")
        return self.part_extras[0]

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
        for name in extras:
            out[name] = self._extra(name, rows)
        return out

    def _extra(self, name: str, rows: numpy.ndarray) -> numpy.ndarray:
        if len(self.parts) == 1:
            return self.part_extras[0][name].take(rows, axis=0)
        rows = rows.astype(numpy.int64)
        part = numpy.searchsorted(self._starts, rows, side="right") - 1
        first = self.part_extras[0][name]
        out = numpy.empty((len(rows), *first.shape[1:]), first.dtype)
        for index in numpy.unique(part):
            chosen = part == index
            out[chosen] = self.part_extras[index][name].take(rows[chosen] - self._starts[index], axis=0)
        return out

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
        with the rows its history and repetition planes need); the fields
        not encoded gathered beside them."""
        rows = numpy.ascontiguousarray(rows, dtype=numpy.uint64)
        history = encoding["history"]
        policy = encoding["policy"]
        planes, turn, castling, move_from, move_to, indices, legal = self._native.encode(
            rows,
            encoding["view"] == "mover",
            -1 if history is None else history,
            -1 if policy is None else _SPACES.index(policy),
            encoding["legal_mask"],
            encoding["packed_mask"],
        )
        count = len(rows)
        plane_count = 12 if history is None else 13 * (history + 1)
        encoded: dict[str, numpy.ndarray] = {
            "planes": numpy.frombuffer(planes, numpy.uint8).reshape(count, plane_count, 8, 8),
            "turn": numpy.frombuffer(turn, numpy.uint8, count),
            "castling": numpy.frombuffer(castling, numpy.uint8, 4 * count).reshape(count, 4),
            "move_from": numpy.frombuffer(move_from, numpy.int8, count),
            "move_to": numpy.frombuffer(move_to, numpy.int8, count),
        }
        rest = mask & ~_ENCODED_MASK
        gathered = self._gather(rows, rest, extras) if rest or extras else {}
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
    ) -> Batches:
        """The positions of one epoch in batches of dicts of arrays: planes
        (B, 12, 8, 8) uint8 and the chosen fields (None: every field).

        shuffle draws the epoch's order from every position, the same for the
        same (seed, epoch). rank and
        world_size split each epoch into world_size disjoint parts of
        len(store) // world_size positions each (the rest is left out of that
        epoch); drop_last drops a last batch shorter than batch_size.

        view, history, policy, legal_mask and packed_mask encode each batch
        as encode_positions encodes the whole dataset's rows: planes in that
        view with history, turn, castling, move_from and move_to in that view,
        and policy and legal on request."""
        _check_int("batch_size", batch_size, 1)
        _check_int("seed", seed, 0)
        _check_int("epoch", epoch, 0)
        _check_int("world_size", world_size, 1)
        _check_int("rank", rank, 0)
        if seed > _UINT64_MAX or epoch > _UINT64_MAX:
            raise ValueError("seed and epoch must be below 2**64")
        if rank >= world_size:
            raise ValueError(f"rank must be below world_size ({world_size}), not {rank}")
        mask, extras = self._field_mask(fields)
        encoding: dict[str, Any] | None = None
        if view != "absolute" or history is not None or policy is not None or legal_mask or packed_mask:
            encoding = {"view": view, "history": history, "policy": policy, "legal_mask": legal_mask,
                        "packed_mask": packed_mask}
            encode_positions(self._gather(numpy.zeros(0, numpy.uint64), _ENCODING_MASK, []), **encoding)
        return Batches(
            self, batch_size, bool(shuffle), seed, epoch, mask, extras, bool(drop_last), rank, world_size, encoding
        )


class Batches:
    """One epoch's batches: iterable once or more, each time the same."""

    __slots__ = (
        "_store", "_size", "_shuffle", "_seed", "_epoch", "_mask", "_extras", "_rank", "_world", "_count", "_encoding"
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
    ) -> None:
        self._store = store
        self._encoding = encoding
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
        native = self._store._native
        for start in range(0, self._count, self._size):
            count = min(self._size, self._count - start)
            # With encodings, the batch's indices alone (no field) come first.
            mask = self._mask if self._encoding is None else 0
            buffer, offsets = native.batch(
                start, count, self._shuffle, self._seed, self._epoch, self._rank, self._world, mask
            )
            rows = numpy.frombuffer(buffer, numpy.uint64, count)
            if self._encoding is None:
                yield self._store._result(buffer, offsets, rows, self._extras)
            else:
                yield self._store._encoded(rows, self._mask, self._extras, self._encoding)
