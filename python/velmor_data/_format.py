"""The layout of a dataset on disk, without NumPy: the encode job writes it
from processes that never import NumPy, which takes them a tenth of a second."""

from __future__ import annotations

import re
import sys
from collections.abc import Iterable

FORMAT = "velmor_data.dataset"
#: The version the encode job writes: each shard a position store (format 1,
#: still read, held every array of the schema as a .npy file).
FORMAT_VERSION = 2
MANIFEST = "manifest.json"
SKIPPED = "skipped.jsonl"

# Format 2: a shard directory holds the store's three arrays as raw
# little-endian files, every schema column the store does not replay as
# EXTRA_PREFIX + name + ".bin" (that column's dtype and shape a position),
# and, when the encoder gives one, the games table of the games starting in
# the shard as GAMES (a .npy of a structured array, one row a game).
MOVES = "moves.bin"
KEYFRAMES = "keyframes.bin"
RUNS = "runs.bin"
EXTRA_PREFIX = "extra-"
GAMES = "games.npy"
# Bytes of a move word, a keyframe and a run record (src/store/mod.hpp).
MOVE_BYTES = 2
KEYFRAME_BYTES = 42
RUN_BYTES = 17
# The schema's columns the store replays from its moves, keyframes and runs,
# in the order store_pack takes them.
REPLAYED = ("planes", "turn", "castling", "en_passant", "halfmove_clock", "fullmove_number", "move_from",
            "move_to", "move_promotion", "result", "game", "ply")
# While a shard is written, each worker's piece of it is a set of files
# PART_PREFIX + first row (PART_DIGITS digits) + "." + the shard file it
# goes into; the shard's files are these pieces concatenated in row order.
PART_PREFIX = "part-"
PART_DIGITS = 12


def extra_columns(schema: Iterable[str]) -> tuple[str, ...]:
    """The schema's columns a format-2 shard keeps beside the store."""
    return tuple(name for name in schema if name not in REPLAYED)


def extra_file(name: str) -> str:
    return f"{EXTRA_PREFIX}{name}.bin"


def part_file(row: int, name: str) -> str:
    return f"{PART_PREFIX}{row:0{PART_DIGITS}d}.{name}"

# Every .npy header has this length, so a shard's header can be rewritten in
# place once its final count is known (the .npy reader accepts any padding).
HEADER_BYTES = 128

_ORDER = "<" if sys.byteorder == "little" else ">"
_KINDS = {"uint": "u", "int": "i", "float": "f"}
_NAME = re.compile(r"(uint|int|float)(8|16|32|64)")


def _description(dtype: str) -> tuple[str, int]:
    """A schema dtype's .npy description (as NumPy writes it on this machine,
    native byte order) and size in bytes, from its name ("int16", "float32")."""
    match = _NAME.fullmatch(dtype)
    if not match:
        raise ValueError(f"no .npy description for dtype {dtype!r}")
    size = int(match[2]) // 8
    return ("|" if size == 1 else _ORDER) + _KINDS[match[1]] + str(size), size


def shard_name(number: int) -> str:
    return f"shard-{number:06d}"


def _dtype(dtype: str) -> tuple[str, int]:
    return _description(dtype)


def row_bytes(dtype: str, shape: tuple[int, ...]) -> int:
    """The bytes one position takes in an array of this dtype and shape."""
    count = 1
    for extent in shape:
        count *= extent
    return _dtype(dtype)[1] * count


def npy_header(dtype: str, shape: tuple[int, ...]) -> bytes:
    """The .npy (version 1.0) header of a C-ordered array, HEADER_BYTES long."""
    text = repr({"descr": _dtype(dtype)[0], "fortran_order": False, "shape": tuple(shape)})
    room = HEADER_BYTES - 10
    if len(text) + 1 > room:
        raise ValueError(f"shape {shape} does not fit a .npy header of {HEADER_BYTES} bytes")
    text = text.ljust(room - 1) + "\n"
    return b"\x93NUMPY\x01\x00" + room.to_bytes(2, "little") + text.encode("latin1")
