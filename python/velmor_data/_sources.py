"""Opening a source: a path, a binary file object, bytes-like PGN text, or
a pyarrow Table (see _parquet)."""

from __future__ import annotations

import bz2
import contextlib
import gzip
import io
import os
import zlib
from collections.abc import Callable, Iterator
from typing import Any, BinaryIO

# Pieces read from files: large enough that the native reader's per-call cost
# vanishes, small enough to stay in the caches.
BLOCK_BYTES = 1 << 20

# Compressed bytes read at a time, as the stdlib readers do.
_COMPRESSED_READ_BYTES = 128 << 10

# The compressed formats, by the suffix that names them.
_FORMATS = ((".gz", "gzip"), (".bz2", "bzip2"), (".zst", "zstd"))


class SourceError(OSError):
    """A source file that cannot be read as what its name says: compressed
    data that is truncated or corrupt. str() names the file first."""

    def __init__(self, filename: str, reason: str) -> None:
        super().__init__(reason)
        self.filename = filename
        self.strerror = reason

    def __str__(self) -> str:
        return f"{self.filename}: {self.strerror}"

    def __reduce__(self) -> tuple[Any, ...]:
        return (SourceError, (self.filename, self.strerror))


class _ZstdFrames:
    """The compressed bytes of a .zst file on their way to the decompressor,
    walked frame by frame.

    The decompressor ends its output quietly where its input ends, inside a
    frame or not; the walk tells a stream cut off inside a frame (truncated)
    from a complete one. It reads only the frame and block headers, which the
    zstd format (RFC 8878) fixes, and passes over the block contents.
    """

    MAGIC = 0xFD2FB528
    SKIPPABLE = 0x184D2A50  # the 16 skippable-frame magics, low four bits clear

    def __init__(self, raw: BinaryIO, name: str) -> None:
        self._raw = raw
        self._name = name
        self._header = bytearray()  # bytes of the header being read
        self._wanted = 4            # bytes that header needs
        self._step: Callable[[bytes, int], None] = self._magic  # takes the header and its offset
        self._skip = 0              # content bytes to pass over
        self._checksum = False
        self._offset = 0            # bytes walked before this read
        self.ended = False          # the file gave no more bytes

    def read(self, size: int = -1) -> bytes:
        data = self._raw.read(size)
        if not data:
            self.ended = True
            return data
        self._walk(data)
        return data

    def complete(self) -> bool:
        """Whether what was read ends where a frame ends."""
        return self.ended and self._step == self._magic and not self._header and not self._skip

    def _walk(self, data: bytes) -> None:
        at, size = 0, len(data)
        while at < size:
            if self._skip:
                taken = min(self._skip, size - at)
                self._skip -= taken
                at += taken
                continue
            taken = min(self._wanted - len(self._header), size - at)
            self._header += data[at:at + taken]
            at += taken
            if len(self._header) == self._wanted:
                header = bytes(self._header)
                self._header.clear()
                self._step(header, self._offset + at - len(header))
        self._offset += size

    def _expect(self, size: int, step: Callable[[bytes, int], None]) -> None:
        self._wanted, self._step = size, step

    def _magic(self, header: bytes, offset: int) -> None:
        magic = int.from_bytes(header, "little")
        if magic == self.MAGIC:
            self._expect(1, self._descriptor)
        elif magic & 0xFFFFFFF0 == self.SKIPPABLE:
            self._expect(4, self._skippable)
        else:
            raise SourceError(self._name, f"corrupt zstd data: no zstd frame starts at byte {offset}")

    def _skippable(self, header: bytes, offset: int) -> None:
        self._skip = int.from_bytes(header, "little")
        self._expect(4, self._magic)

    def _descriptor(self, header: bytes, offset: int) -> None:
        descriptor = header[0]
        single_segment = descriptor >> 5 & 1
        self._checksum = bool(descriptor >> 2 & 1)
        rest = ((0 if single_segment else 1)                          # window descriptor
                + (0, 1, 2, 4)[descriptor & 3]                         # dictionary id
                + (single_segment, 2, 4, 8)[descriptor >> 6])          # content size
        if rest:
            self._expect(rest, self._frame_header)
        else:
            self._expect(3, self._block)

    def _frame_header(self, header: bytes, offset: int) -> None:
        self._expect(3, self._block)

    def _block(self, header: bytes, offset: int) -> None:
        value = int.from_bytes(header, "little")
        kind = value >> 1 & 3
        if kind == 3:
            raise SourceError(self._name, f"corrupt zstd data: the block at byte {offset} is of the reserved type")
        self._skip = 1 if kind == 1 else value >> 3  # a run-length block holds its one byte
        if not value & 1:
            self._expect(3, self._block)
        elif self._checksum:
            self._expect(4, self._frame_end)
        else:
            self._expect(4, self._magic)

    def _frame_end(self, header: bytes, offset: int) -> None:
        self._expect(4, self._magic)


def _compression(name: str) -> str | None:
    lower = name.lower()
    for suffix, kind in _FORMATS:
        if lower.endswith(suffix):
            return kind
    return None


@contextlib.contextmanager
def _open_path(path: str | os.PathLike[Any]) -> Iterator[tuple[Any, Iterator[memoryview]]]:
    """The file's stream (decompressed as its suffix says) and its pieces."""
    name = os.fsdecode(path)
    kind = _compression(name)
    if kind is None:
        with open(path, "rb", buffering=0) as plain:
            yield plain, _checked(_blocks(plain), name, kind, None)
        return
    with open(path, "rb") as raw:
        # Compressing nothing still writes a header: an empty file was cut off.
        if not raw.peek(1):
            raise SourceError(name, f"truncated: the file is empty, not even a {kind} header")
        if kind == "bzip2":
            yield raw, _checked(_bzip2_blocks(raw), name, kind, None)
            return
        frames = None
        stream: Any
        if kind == "gzip":
            stream = gzip.GzipFile(fileobj=raw, mode="rb")
        else:
            import zstandard

            frames = _ZstdFrames(raw, name)
            stream = zstandard.ZstdDecompressor().stream_reader(frames,  # type: ignore[arg-type]
                                                                read_across_frames=True)
        with stream:
            yield stream, _checked(_blocks(stream), name, kind, frames)


def _bzip2_blocks(raw: BinaryIO) -> Iterator[memoryview]:
    """The text of bzip2 streams one after another. Unlike bz2.BZ2File, which
    drops whatever follows a stream once it is no stream itself (a damaged
    second stream, and every game in it, would go unnoticed), bytes after a
    stream must begin the next one."""
    decompressor = bz2.BZ2Decompressor()
    while True:
        if decompressor.eof:
            data = decompressor.unused_data or raw.read(_COMPRESSED_READ_BYTES)
            if not data:
                return
            decompressor = bz2.BZ2Decompressor()
        elif decompressor.needs_input:
            data = raw.read(_COMPRESSED_READ_BYTES)
            if not data:
                raise EOFError("the bzip2 stream ends early")
        else:
            data = b""  # the decompressor still holds output
        text = decompressor.decompress(data, BLOCK_BYTES)
        if text:
            yield memoryview(text)


def _checked(pieces: Iterator[memoryview], name: str, kind: str | None,
             frames: _ZstdFrames | None) -> Iterator[memoryview]:
    """The pieces of a file, with what goes wrong reading it said of the file:
    a stream that ends early is truncated, undecodable data corrupt."""
    try:
        yield from pieces
    except SourceError:
        raise
    except EOFError:  # what gzip and bz2 raise for a stream cut off
        raise SourceError(name, f"truncated: the {kind} stream is cut off before its end") from None
    except OSError as error:
        if error.errno is not None:  # the file itself could not be read
            if error.filename is None:
                raise OSError(error.errno, error.strerror, name) from None
            raise
        if kind is None:
            raise
        raise SourceError(name, f"corrupt {kind} data: {error}") from None
    except zlib.error as error:
        raise SourceError(name, f"corrupt {kind} data: {error}") from None
    except Exception as error:
        if kind == "zstd":
            import zstandard

            if isinstance(error, zstandard.ZstdError):
                raise SourceError(name, f"corrupt zstd data: {error}") from None
        raise
    if frames is not None and not frames.complete():
        raise SourceError(name, "truncated: the zstd stream is cut off inside a frame")


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
    from . import _parquet

    if _parquet.is_table(source):
        return f"pyarrow.{type(source).__name__}"
    if isinstance(source, (str, os.PathLike)):
        return os.fsdecode(source)
    return type(source).__name__


@contextlib.contextmanager
def open_source(source: object) -> Iterator[Iterator[memoryview]]:
    """The source's text as an iterator of pieces; closes what it opened."""
    from . import _parquet  # here: it imports this module

    if _is_bytes_like(source):
        view = memoryview(source)  # type: ignore[arg-type]
        if view.ndim != 1 or view.itemsize != 1:
            view = view.cast("B")
        yield iter((view,))
        return
    if _parquet.is_parquet_path(source):
        with _parquet.open_parquet(source) as pieces:  # type: ignore[arg-type]
            yield pieces
        return
    if _parquet.is_table(source):
        yield _parquet.table_pieces(source)
        return
    if isinstance(source, (str, os.PathLike)):
        with _open_path(source) as (stream, pieces):
            yield pieces
        return
    if hasattr(source, "readinto") or hasattr(source, "read"):
        if isinstance(source, io.TextIOBase):
            raise TypeError("the source is a text file: open it in binary mode ('rb')")
        yield _blocks(source)
        return
    raise TypeError(
        f"a source is a path, a binary file object, bytes-like PGN text or a pyarrow Table, "
        f"not {type(source).__name__}"
    )
