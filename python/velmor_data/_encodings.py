"""The encodings a network trains on, computed from encoded positions."""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any, Literal

from . import _native
from ._policy import POLICY_SIZES

if TYPE_CHECKING:
    import numpy

# What the native encodings read, in the order it takes them.
_COLUMNS = ("planes", "turn", "castling", "en_passant", "halfmove_clock", "move_from", "move_to", "move_promotion",
            "game", "ply")
_SPACES = tuple(POLICY_SIZES)


def schema_columns(arrays: Mapping[str, Any], names: Sequence[str]) -> tuple[list[numpy.ndarray], int]:
    """The named columns of `arrays` as C-contiguous arrays of the schema's
    dtypes and row shapes, and their common length; ValueError naming the
    columns missing, else the first of another dtype, shape or length."""
    import numpy

    from . import SCHEMA  # defined after this module is imported

    missing = [name for name in names if name not in arrays]
    if missing:
        raise ValueError(f"arrays lack the columns {', '.join(missing)}")
    columns = []
    rows: int | None = None
    for name in names:
        dtype, shape, _ = SCHEMA[name]
        column = numpy.ascontiguousarray(arrays[name])
        if column.dtype != numpy.dtype(dtype) or column.ndim != 1 + len(shape) or column.shape[1:] != shape:
            raise ValueError(
                f"column {name} must be {dtype} of shape {('N', *shape)}, not {column.dtype} of shape {column.shape}"
            )
        if rows is None:
            rows = len(column)
        elif len(column) != rows:
            raise ValueError(f"column {name} has {len(column)} rows where {names[0]} has {rows}")
        columns.append(column)
    return columns, rows or 0


def plane_shape(packed: bool) -> tuple[int, ...]:
    """A plane's shape: 8 x 8 squares, or packed, 8 ranks of bits."""
    return (8,) if packed else (8, 8)


def encode_positions(
    positions: Mapping[str, Any],
    *,
    view: Literal["absolute", "mover"] = "absolute",
    history: int | None = None,
    policy: Literal["from_to", "uci", "alphazero"] | None = None,
    legal_mask: bool = False,
    packed_mask: bool = False,
    packed_planes: bool = False,
) -> dict[str, numpy.ndarray]:
    """The positions of an encode_games result (or any mapping of its arrays,
    such as a dataset slice) encoded for training, as a dict of arrays.

    view="mover" gives a position with Black to move as its colour-reflected
    position (Board.reflect()), and turn, castling, move_from and move_to in
    that view. history=k (0 to 8) makes planes (N, 13 x (k + 1), 8, 8): each
    step the 12 piece planes and a repetition plane, the current position
    first, zeros before the game's start. policy adds "policy" (N,) int32, the
    played move's index in that space (policy_moves), -1 for none;
    legal_mask adds "legal" (N, size) bool, or with packed_mask (N, size / 8)
    uint8 bits, lowest index in the lowest bit. packed_planes gives planes
    (N, P, 8) uint8 as bits: byte r of a plane is its rank r, bit f its file
    f, so that numpy.unpackbits(planes, axis=-1, bitorder="little"),
    reshaped to (N, P, 8, 8), is the planes unpacked; a repetition plane's
    bytes are then 0xFF. The rows of one game must stand in game order, as
    encode_games writes them.
    """
    import numpy

    if view not in ("absolute", "mover"):
        raise ValueError(f"view must be 'absolute' or 'mover', not {view!r}")
    if history is not None:
        if isinstance(history, bool) or not isinstance(history, int):
            raise TypeError(f"history must be an int or None, not {type(history).__name__}")
        if not 0 <= history <= 8:
            raise ValueError(f"history must be from 0 to 8, not {history}")
    if policy is not None and policy not in POLICY_SIZES:
        raise ValueError(f"policy must be one of {', '.join(map(repr, POLICY_SIZES))} or None, not {policy!r}")
    if legal_mask and policy is None:
        raise ValueError("legal_mask needs a policy space")
    if packed_mask and not legal_mask:
        raise ValueError("packed_mask needs legal_mask=True")

    arrays = positions.arrays if hasattr(positions, "arrays") else positions
    columns, rows = schema_columns(arrays, _COLUMNS)

    planes, turn, castling, move_from, move_to, indices, legal = _native.encode_training(
        tuple(columns),
        rows,
        view == "mover",
        -1 if history is None else history,
        -1 if policy is None else _SPACES.index(policy),
        legal_mask,
        packed_mask,
        packed_planes,
    )
    out: dict[str, numpy.ndarray] = {name: numpy.asarray(array) for name, array in arrays.items()}
    plane_count = 12 if history is None else 13 * (history + 1)
    out["planes"] = numpy.frombuffer(planes, dtype=numpy.uint8).reshape(rows, plane_count, *plane_shape(packed_planes))
    out["turn"] = numpy.frombuffer(turn, dtype=numpy.uint8)
    out["castling"] = numpy.frombuffer(castling, dtype=numpy.uint8).reshape(rows, 4)
    out["move_from"] = numpy.frombuffer(move_from, dtype=numpy.int8)
    out["move_to"] = numpy.frombuffer(move_to, dtype=numpy.int8)
    if policy is not None:
        out["policy"] = numpy.frombuffer(indices, dtype=numpy.int32)
    if legal_mask:
        size = POLICY_SIZES[policy]  # type: ignore[index]
        if packed_mask:
            out["legal"] = numpy.frombuffer(legal, dtype=numpy.uint8).reshape(rows, size // 8)
        else:
            out["legal"] = numpy.frombuffer(legal, dtype=numpy.bool_).reshape(rows, size)
    return out
