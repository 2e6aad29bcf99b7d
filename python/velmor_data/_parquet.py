"""Parquet sources: one game per row, its tags in columns beside `movetext`.

Each row is written as one line of PGN text,

    [Event "Rated Blitz game"] [Site "..."] ... [TimeControl "180+0"] 1. e4 e5 ... 1-0

with a tag pair for every tag column whose value is not null (in the order of
the columns), then the movetext, then the Result when the movetext does not
already end with a result. Everything downstream (the native reader, the
splitter, the encode job's workers, errors with their game index) then reads
it as it reads any PGN and gives exactly what the same games in a PGN file
give. A row's game keeps the row's number as its index, and its line is that
number plus one, unless a line break in one of its values is more than white
space (in a tag value, or ending a ";" comment or starting a "%" line in the
movetext). One thing differs from a PGN file, where rows have no bounds: a
comment a movetext leaves open is closed at the end of its row.

The text is built with pyarrow's vectorised kernels, a batch of rows at a
time, so that memory stays bounded by a batch and a row group, not the file.
pyarrow is an optional dependency, imported only when a Parquet source comes.
"""

from __future__ import annotations

import contextlib
import os
import sys
from collections.abc import Iterator
from typing import Any

from ._sources import SourceError

MOVETEXT = "movetext"
RESULTS = ("1-0", "0-1", "1/2-1/2", "*")
# Rows converted at a time: about 1-2 MB of text for the games of the
# Lichess database, where the per-call cost of the kernels is already small.
BATCH_ROWS = 2048
# A movetext that already ends with its result (as the Lichess mirror's do):
# the token stands alone, after white space, a comment or a variation.
_ENDS_WITH_RESULT = r"(^|[\s})])(1-0|0-1|1/2-1/2|\*)\s*$"
_LINE_ENDS_MATTER = r";|\n%"
# A "{" with no "}" after it: where line ends do not matter, a comment open at the end.
_OPEN_COMMENT = r"\{[^}]*$"
_TAG_NAME_BYTES = frozenset(b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_+#=:-")
MISSING = ("reading Parquet needs pyarrow, the optional extra 'parquet': "
           "pip install 'velmor_chess[parquet]'")


def is_parquet_path(source: object) -> bool:
    return isinstance(source, (str, os.PathLike)) and os.fsdecode(source).lower().endswith(".parquet")


def is_table(source: object) -> bool:
    """Whether source is a pyarrow Table or RecordBatch (pyarrow is loaded
    already when one exists: it is not imported for this)."""
    pa = sys.modules.get("pyarrow")
    return pa is not None and isinstance(source, (pa.Table, pa.RecordBatch))


def import_pyarrow(name: str) -> Any:
    try:
        import pyarrow
        import pyarrow.compute  # noqa: F401
        import pyarrow.parquet  # noqa: F401
    except ImportError:
        raise ModuleNotFoundError(f"{name}: {MISSING}", name="pyarrow") from None
    return pyarrow


class _Rows:
    """How the rows of one schema become PGN text. A schema that cannot
    give games raises ValueError, its message to follow the input's name."""

    def __init__(self, schema: Any) -> None:
        import pyarrow as pa
        import pyarrow.compute as pc

        self._pa, self._pc = pa, pc
        names = schema.names
        if MOVETEXT not in names:
            shown = ", ".join(names[:20]) + (", ..." if len(names) > 20 else "")
            raise ValueError(f"no {MOVETEXT!r} column: a Parquet source holds one game per row, its "
                             f"movetext in a column {MOVETEXT!r} and its tags in columns named after them "
                             f"(columns: {shown or 'none'})")
        for column in names:
            if names.count(column) > 1:
                raise ValueError(f"column {column!r} appears more than once")
        pandas = schema.pandas_metadata or {}
        index_columns = {column for column in pandas.get("index_columns", ()) if isinstance(column, str)}
        self.columns: list[str] = []   # read from the file, in its order
        self._tags: list[tuple[int, str, str]] = []  # position in the batch, name, kind
        self._movetext = -1
        self._result = -1
        for field in schema:
            if field.name in index_columns:
                continue
            kind = self._kind(field.type)
            if field.name == MOVETEXT:
                if kind not in ("text", "null"):
                    raise ValueError(f"column {MOVETEXT!r} is {field.type}, not text")
                self._movetext = len(self.columns)
                self._movetext_kind = kind
            else:
                if not field.name or not _TAG_NAME_BYTES.issuperset(field.name.encode()):
                    raise ValueError(f"column {field.name!r} cannot be a tag: a tag's name is made of "
                                     f"letters, digits and _+#=:- only")
                if kind is None:
                    raise ValueError(f"column {field.name!r} is {field.type}: a tag column holds text, "
                                     f"integers, dates or times of day (select the columns to read in a Table)")
                if kind == "null":  # no value in any row: no tag
                    self.columns.append(field.name)
                    continue
                if field.name == "Result":
                    self._result = len(self.columns)
                self._tags.append((len(self.columns), field.name, kind))
            self.columns.append(field.name)
        binary = pa.large_binary()
        self._empty = pa.scalar(b"", binary)
        self._close = pa.scalar(b'"] ', binary)
        self._space = pa.scalar(b" ", binary)
        self._newline = pa.scalar(b"\n", binary)
        self._brace = pa.scalar(b"}", binary)
        self._opens = {tag: pa.scalar(f'[{tag} "'.encode(), binary) for _, tag, _ in self._tags}
        self._results = pa.array([result.encode() for result in RESULTS], binary)

    def _kind(self, type: Any) -> str | None:
        pa = self._pa
        if pa.types.is_dictionary(type):
            type = type.value_type
        if (pa.types.is_string(type) or pa.types.is_large_string(type) or pa.types.is_binary(type)
                or pa.types.is_large_binary(type) or getattr(pa.types, "is_string_view", bool)(type)
                or getattr(pa.types, "is_binary_view", bool)(type)):
            return "text"
        if pa.types.is_integer(type):
            return "integer"
        if pa.types.is_date(type):
            return "date"
        if pa.types.is_time(type):
            return "time"
        if pa.types.is_null(type):
            return "null"
        return None

    def _bytes(self, column: Any, kind: str) -> Any:
        """The column's values as PGN text (large_binary), nulls kept."""
        pa, pc = self._pa, self._pc
        if pa.types.is_dictionary(column.type):
            column = column.dictionary_decode()
        if kind == "integer":
            column = pc.cast(column, pa.string())
        elif kind == "date":
            column = pc.strftime(pc.cast(column, pa.date32()), format="%Y.%m.%d")
        elif kind == "time":
            # PGN times are whole seconds; a finer unit is cut to them.
            column = pc.cast(pc.cast(column, pa.time32("s"), safe=False), pa.string())
        return pc.cast(column, pa.large_binary())

    def text(self, batch: Any) -> memoryview:
        """The PGN text of a batch's rows, a line per row."""
        pa, pc = self._pa, self._pc
        parts = []
        result = None
        for position, tag, kind in self._tags:
            values = self._bytes(batch.column(position), kind)
            if kind == "text":
                values = pc.replace_substring(pc.replace_substring(values, "\\", "\\\\"), '"', '\\"')
            if position == self._result:
                result = values
            # Null where the value is null: the whole pair is left out.
            parts.append(pc.binary_join_element_wise(self._opens[tag], values, self._close, self._empty))
        if self._movetext_kind == "null":
            moves = pa.nulls(batch.num_rows, pa.large_binary())
        else:
            moves = self._bytes(batch.column(self._movetext), "text")
        newline, semicolon = _holds(moves, b"\n;")
        # Rows whose line breaks mean no more than white space: no ";" comment
        # and no "%" line, whose ends are the ends of lines. The regular
        # expression runs only when a batch holds either byte at all.
        plain = (pc.invert(pc.fill_null(pc.match_substring_regex(moves, _LINE_ENDS_MATTER), False))
                 if newline or semicolon else pa.scalar(True))
        if newline:
            # Such a line break becomes a space, so that each row stays one
            # line and its line number tells the row.
            moves = pc.if_else(plain, pc.replace_substring(moves, "\n", " "), moves)
        # A comment left open would run on over the rows after it, taking
        # their games: it is closed at the end of its row, whose game then
        # has no result (a truncated game) and is skipped alone.
        open_comment = pc.and_(plain, pc.fill_null(pc.match_substring_regex(moves, _OPEN_COMMENT), False))
        if pc.any(open_comment).as_py():
            moves = pc.if_else(open_comment, pc.binary_join_element_wise(moves, self._brace, self._empty), moves)
        parts.append(moves)
        if result is not None:
            # The Result goes after a movetext that lacks one, when it is a result.
            ended = pc.fill_null(pc.match_substring_regex(moves, _ENDS_WITH_RESULT), False)
            wanted = pc.and_(pc.and_(pc.invert(ended), pc.invert(open_comment)),
                             pc.fill_null(pc.is_in(result, value_set=self._results), False))
            parts.append(pc.if_else(wanted, pc.binary_join_element_wise(self._space, result, self._empty),
                                    pa.scalar(None, pa.large_binary())))
        parts.append(self._newline)
        lines = pc.binary_join_element_wise(*parts, self._empty, null_handling="replace", null_replacement="")
        _, offsets, data = lines.buffers()
        if data is None or not len(lines):
            return memoryview(b"")
        bounds = memoryview(offsets).cast("q")
        return memoryview(data)[bounds[lines.offset]:bounds[lines.offset + len(lines)]]


def _holds(values: Any, wanted: bytes) -> list[bool]:
    """Whether the text of a large_binary array holds each byte of wanted:
    a vectorised pass over its data, which pyarrow's substring search is
    twenty times slower at."""
    import numpy

    _, offsets, data = values.buffers()
    if data is None or not len(values):
        return [False] * len(wanted)
    bounds = memoryview(offsets).cast("q")
    text = numpy.frombuffer(data, numpy.uint8)[bounds[values.offset]:bounds[values.offset + len(values)]]
    return [bool((text == byte).any()) for byte in wanted]


def table_pieces(table: Any) -> Iterator[memoryview]:
    """The PGN text of a pyarrow Table or RecordBatch, a batch at a time."""
    try:
        rows = _Rows(table.schema)
    except ValueError as error:
        raise ValueError(f"pyarrow.{type(table).__name__}: {error}") from None
    pa = sys.modules["pyarrow"]
    if isinstance(table, pa.RecordBatch):
        table = pa.Table.from_batches([table])
    for batch in table.select(rows.columns).to_batches(max_chunksize=BATCH_ROWS):
        if batch.num_rows:
            yield rows.text(batch)


@contextlib.contextmanager
def open_parquet(path: str | os.PathLike[Any]) -> Iterator[Iterator[memoryview]]:
    """The PGN text of a .parquet file, read a row group at a time."""
    name = os.fsdecode(path)
    import_pyarrow(name)
    import pyarrow
    import pyarrow.parquet as pq

    with open(path, "rb") as raw:
        try:
            file = pq.ParquetFile(raw)
        except (pyarrow.ArrowException, OSError) as error:
            raise _unreadable(name, error) from None
        try:
            rows = _Rows(file.schema_arrow)
        except ValueError as error:
            raise SourceError(name, str(error)) from None
        yield _file_pieces(file, rows, name)


def _file_pieces(file: Any, rows: _Rows, name: str) -> Iterator[memoryview]:
    import pyarrow

    batches = file.iter_batches(batch_size=BATCH_ROWS, columns=rows.columns, use_pandas_metadata=False)
    while True:
        try:
            batch = next(batches, None)
        except (pyarrow.ArrowException, OSError) as error:  # pyarrow's IOError names no file
            raise _unreadable(name, error) from None
        if batch is None:
            return
        if batch.num_rows:
            yield rows.text(batch)


def _unreadable(name: str, error: Exception) -> OSError:
    if isinstance(error, OSError) and error.errno is not None:  # the file itself could not be read
        return OSError(error.errno, error.strerror, name)
    reason = " ".join(str(error).split()) or type(error).__name__
    return SourceError(name, f"not a readable Parquet file: {reason}")
