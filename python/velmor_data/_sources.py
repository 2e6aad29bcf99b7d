"""Opening a source: a path, a binary file object or bytes-like PGN text."""

from __future__ import annotations

import bz2
import contextlib
import gzip
import io
import os
from collections.abc import Iterator
from typing import Any, BinaryIO

# Pieces read from files: large enough that the native reader's per-call cost
# vanishes, small enough to stay in the caches.
BLOCK_BYTES = 1 << 20


def _open_path(path: str | os.PathLike[str]) -> BinaryIO:
    name = os.fspath(path)
    lower = name.lower()
    if lower.endswith(".gz"):
        return gzip.open(name, "rb")
    if lower.endswith(".bz2"):
        return bz2.open(name, "rb")
    if lower.endswith(".zst"):
        import zstandard

        raw = open(name, "rb")
        try:
            return zstandard.ZstdDecompressor().stream_reader(raw, closefd=True)  # type: ignore[return-value]
        except BaseException:
            raw.close()
            raise
    return open(name, "rb", buffering=0)


def _blocks(stream: Any) -> Iterator[memoryview]:
    readinto = getattr(stream, "readinto", None)
    if readinto is not None:
        buffer = bytearray(BLOCK_BYTES)
        view = memoryview(buffer)
        while True:
            count = readinto(view)
            if not count:
                return
            yield view[:count]
        return
    while True:
        data = stream.read(BLOCK_BYTES)
        if not data:
            return
        if not isinstance(data, (bytes, bytearray, memoryview)):
            raise TypeError(f"the source's read() returned {type(data).__name__}, not bytes")
        yield memoryview(data)


def _is_bytes_like(source: object) -> bool:
    return isinstance(source, (bytes, bytearray, memoryview))


def describe(source: object) -> str:
    if isinstance(source, (str, os.PathLike)):
        return os.fspath(source)  # type: ignore[arg-type]
    return type(source).__name__


@contextlib.contextmanager
def open_source(source: object) -> Iterator[Iterator[memoryview]]:
    """The source's text as an iterator of pieces; closes what it opened."""
    if _is_bytes_like(source):
        view = memoryview(source)  # type: ignore[arg-type]
        if view.ndim != 1 or view.itemsize != 1:
            view = view.cast("B")
        yield iter((view,))
        return
    if isinstance(source, (str, os.PathLike)):
        with _open_path(source) as stream:
            yield _blocks(stream)
        return
    if hasattr(source, "readinto") or hasattr(source, "read"):
        if isinstance(source, io.TextIOBase):
            raise TypeError("the source is a text file: open it in binary mode ('rb')")
        yield _blocks(source)
        return
    raise TypeError(
        f"a source is a path, a binary file object or bytes-like PGN text, not {type(source).__name__}"
    )
