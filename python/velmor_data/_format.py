"""The layout of a dataset on disk, without NumPy: the encode job writes it
from processes that never import NumPy, which takes them a tenth of a second."""

from __future__ import annotations

import re
import sys

FORMAT = "velmor_data.dataset"
FORMAT_VERSION = 1
MANIFEST = "manifest.json"
SKIPPED = "skipped.jsonl"

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
