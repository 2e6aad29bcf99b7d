"""Training data from game collections: a native PGN reader and batch encoder.

    encode_fens(fens)         FEN texts to an (N, 12, 8, 8) uint8 array
    read_games(source)        the games of a PGN source, one by one
    encode_games(source)      every position of every game to NumPy arrays
    split_games(source)       a source cut into chunks of whole games
    open_dataset(path)        a dataset written by python -m velmor_data encode
    encode_positions(batch)   encoded positions for training: the mover's view, history, policy, legal masks
    policy_moves(space)       the move list of a policy space ("from_to", "uci", "alphazero")

A source is a path (str or os.PathLike) of a .pgn, .pgn.gz, .pgn.bz2 or
.pgn.zst file, a binary file object, or bytes-like PGN text; or games one
per row (a movetext column and tag columns, as in the Lichess database's
Parquet mirror): a path of a .parquet file, or a pyarrow Table or RecordBatch.
"""

from __future__ import annotations

import contextlib
import os
import threading
from collections.abc import Generator, Iterable, Iterator, Sequence
from dataclasses import dataclass, field
from types import TracebackType
from typing import TYPE_CHECKING, Any, Literal

from . import _native
from ._encodings import encode_positions
from ._policy import POLICY_SIZES, policy_moves
from ._sources import SourceError, open_source

# NumPy, and the dataset module built on it, are imported on first use: the
# encode command sets up NumPy's environment before NumPy starts.
if TYPE_CHECKING:
    import numpy

    from .dataset import Dataset, open_dataset

__all__ = [
    "ERROR_KINDS",
    "FILTER_REASONS",
    "GAME_COLUMNS",
    "POLICY_SIZES",
    "SCHEMA",
    "SPEEDS",
    "TERMINATIONS",
    "TEXT_FIELDS",
    "Chunk",
    "Dataset",
    "EncodedGames",
    "Game",
    "GameError",
    "GameReader",
    "SourceError",
    "encode_fens",
    "encode_games",
    "encode_positions",
    "open_dataset",
    "policy_moves",
    "read_games",
    "split_games",
]

#: The version of the distribution this package belongs to.
__version__: str = _native.__version__

#: The categories of GameError.kind, in a fixed order.
ERROR_KINDS: tuple[str, ...] = _native.ERROR_KINDS

#: The arrays of encode_games: name -> (dtype, shape per position, meaning),
#: as the native encoder declares them.
SCHEMA: dict[str, tuple[str, tuple[int, ...], str]] = {
    name: (dtype, tuple(shape), meaning) for name, dtype, shape, meaning, _ in _native.SCHEMA
}

#: The SCHEMA fields read from the games' text (clocks, evaluations) rather
#: than computed from the board and the moves, in SCHEMA order.
TEXT_FIELDS: tuple[str, ...] = tuple(name for name, _, _, _, computed in _native.SCHEMA if not computed)

#: The columns of EncodedGames.games: name -> dtype.
GAME_COLUMNS: dict[str, str] = dict(_native.GAME_COLUMNS)

#: The games table's termination column indexes this: the Termination tag
#: in lower case; "unknown" without the tag, "other" for any other value.
TERMINATIONS: tuple[str, ...] = _native.TERMINATIONS

#: The speeds of encode_games(speeds=...), by base + 40 x increment seconds:
#: under 30, 180, 480, 1500, else classical.
SPEEDS: tuple[str, ...] = _native.SPEEDS

#: The filters of encode_games, in the order they are tried: a game left out
#: is counted under the first that fails it (EncodedGames.filtered_by_reason).
FILTER_REASONS: tuple[str, ...] = _native.FILTER_REASONS

_Errors = Literal["skip", "raise"]

# The native reader is fed slices of at most this size and its errors taken
# after each: text that is nothing but errors (one in 5 bytes at worst) then
# holds a few MB of them at a time, while the cost per call stays negligible.
_ERROR_SLICE_BYTES = 64 << 10


class GameError(ValueError):
    """A game that could not be read: where, what kind, which move, and why."""

    # Slots, not a dict per error: sources can hold millions of bad games.
    __slots__ = ("index", "line", "kind", "move", "message")

    index: int
    line: int
    kind: str
    move: str | None
    message: str

    def __init__(self, index: int, line: int, kind: str, move: str | None, message: str) -> None:
        super().__init__(message)
        self.index = index
        self.line = line
        self.kind = kind
        self.move = move
        self.message = message

    def __str__(self) -> str:
        return self.message

    def __repr__(self) -> str:
        return (
            f"GameError(index={self.index!r}, line={self.line!r}, kind={self.kind!r}, "
            f"move={self.move!r}, message={self.message!r})"
        )

    def __reduce__(self) -> tuple[Any, ...]:
        return (GameError, (self.index, self.line, self.kind, self.move, self.message))

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, GameError):
            return NotImplemented
        return (self.index, self.line, self.kind, self.move, self.message) == (
            other.index,
            other.line,
            other.kind,
            other.move,
            other.message,
        )

    def __hash__(self) -> int:
        return hash((self.index, self.line, self.kind, self.move, self.message))


@dataclass(frozen=True, slots=True)
class Game:
    """One game: its tags in file order, start FEN, mainline in UCI and result."""

    tags: list[tuple[str, str]]
    fen: str
    moves: list[str]
    result: str
    index: int
    line: int

    def tag(self, name: str, default: str | None = None) -> str | None:
        """The value of the first tag called name, or default."""
        for key, value in self.tags:
            if key == name:
                return value
        return default


@dataclass(frozen=True, slots=True)
class Chunk:
    """A piece of a source holding whole games (see split_games)."""

    data: bytes
    first_index: int
    first_line: int
    games: int


class EncodedGames:
    """The arrays of encode_games (SCHEMA order), the table of its games
    (GAME_COLUMNS, one row per encoded game in game order) and what was read."""

    __slots__ = ("arrays", "positions", "games_read", "games_encoded", "games_filtered", "skipped",
                 "skipped_by_kind", "castling_dropped", "games", "filtered_by_reason")

    arrays: dict[str, numpy.ndarray]
    positions: int
    games_read: int
    games_encoded: int
    games_filtered: int
    skipped: list[GameError]
    skipped_by_kind: dict[str, int]
    #: Games read whose FEN tag gave a castling right without its king and
    #: rook at home: the right was dropped.
    castling_dropped: int
    #: One array per GAME_COLUMNS column, a row per encoded game.
    games: dict[str, numpy.ndarray]
    #: Games left out by the filters, under the first that failed them
    #: (every reason of FILTER_REASONS, in its order).
    filtered_by_reason: dict[str, int]

    def __init__(
        self,
        arrays: dict[str, numpy.ndarray],
        positions: int,
        games_read: int,
        games_encoded: int,
        games_filtered: int,
        skipped: list[GameError],
        skipped_by_kind: dict[str, int] | None = None,
        castling_dropped: int = 0,
        games: dict[str, numpy.ndarray] | None = None,
        filtered_by_reason: dict[str, int] | None = None,
    ) -> None:
        self.arrays = arrays
        self.positions = positions
        self.games_read = games_read
        self.games_encoded = games_encoded
        self.games_filtered = games_filtered
        self.skipped = skipped
        self.skipped_by_kind = _count_kinds(skipped) if skipped_by_kind is None else skipped_by_kind
        self.castling_dropped = castling_dropped
        self.games = {} if games is None else games
        self.filtered_by_reason = (dict.fromkeys(FILTER_REASONS, 0) if filtered_by_reason is None
                                   else filtered_by_reason)

    def __getitem__(self, name: str) -> numpy.ndarray:
        return self.arrays[name]

    def __len__(self) -> int:
        return self.positions

    def __repr__(self) -> str:
        return (
            f"<EncodedGames positions={self.positions} games_read={self.games_read} "
            f"games_encoded={self.games_encoded} games_filtered={self.games_filtered} "
            f"skipped={sum(self.skipped_by_kind.values())}>"
        )


def _count_kinds(errors: Iterable[GameError]) -> dict[str, int]:
    """Skipped games by kind, every kind of ERROR_KINDS in its order."""
    counts = dict.fromkeys(ERROR_KINDS, 0)
    for error in errors:
        counts[error.kind] += 1
    return counts


def _check_errors(errors: object) -> bool:
    if errors == "skip":
        return False
    if errors == "raise":
        return True
    raise ValueError(f"errors must be 'skip' or 'raise', not {errors!r}")


def _check_int(name: str, value: object, minimum: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if value < minimum:
        raise ValueError(f"{name} must be at least {minimum}, not {value}")
    return value


def encode_fens(fens: Iterable[str]) -> numpy.ndarray:
    """The piece planes of FEN texts as one uint8 array of shape (N, 12, 8, 8).

    Each text is read as velmor_chess.Board(fen) reads it; a text it rejects
    raises the same exception, with the text's index added to the message,
    and no array is returned.
    """
    import numpy

    texts = fens if isinstance(fens, tuple) else tuple(fens)
    buffer, failed = _native.encode_fens(texts)
    if buffer is None:
        _raise_fen_error(texts, failed)
    return numpy.frombuffer(buffer, dtype=numpy.uint8).reshape(len(texts), 12, 8, 8)


def _raise_fen_error(texts: tuple[Any, ...], index: int) -> None:
    import velmor_chess

    try:
        velmor_chess.Board(texts[index])
    except BaseException as error:
        caught = error
    else:  # pragma: no cover - the encoder reads texts as Board does
        raise RuntimeError(f"fens[{index}] was refused by the encoder but read by Board")
    if not isinstance(caught, Exception):
        if isinstance(caught, (KeyboardInterrupt, SystemExit)):
            raise caught
        # The chess module's panic: text it cannot make sense of at all. For
        # a data tool that is bad input like any other, not a BaseException.
        raise ValueError(f"fens[{index}]: {caught}") from None
    if isinstance(caught, UnicodeEncodeError):
        # Its text is made from its fields: the index goes into the reason.
        raise UnicodeEncodeError(caught.encoding, caught.object, caught.start, caught.end,
                                 f"fens[{index}]: {caught.reason}") from None
    try:
        replacement = type(caught)(f"fens[{index}]: {caught}")
    except Exception:
        # An exception that is not made from a message alone keeps its own.
        caught.add_note(f"in fens[{index}]")
        raise caught.with_traceback(None) from None
    raise replacement from None


@dataclass(frozen=True, slots=True)
class _Filters:
    """The filters of encode_games as the native encoder takes them."""

    min_elo: int = -1
    max_elo: int = -1
    speeds: int = 0  # bit i: SPEEDS[i]; 0 none
    rated: int = -1  # 1 rated only, 0 casual only, -1 any
    bots: bool = True
    skip_plies: int = 0


def _check_filters(
    *, min_elo: int | None = None, max_elo: int | None = None, speeds: Iterable[str] | None = None,
    rated: bool | None = None, bots: bool = True, skip_plies: int = 0,
) -> _Filters:
    mask = 0
    if speeds is not None:
        if isinstance(speeds, (str, bytes)) or not isinstance(speeds, Iterable):
            raise TypeError(f"speeds must be a collection of speed names, not {type(speeds).__name__}")
        for speed in speeds:
            if speed not in SPEEDS:
                raise ValueError(f"unknown speed {speed!r}; the speeds are {', '.join(SPEEDS)}")
            mask |= 1 << SPEEDS.index(speed)
        if not mask:
            raise ValueError("speeds must name at least one speed")
    if rated is not None and not isinstance(rated, bool):
        raise TypeError(f"rated must be a bool or None, not {type(rated).__name__}")
    if not isinstance(bots, bool):
        raise TypeError(f"bots must be a bool, not {type(bots).__name__}")
    return _Filters(
        min_elo=-1 if min_elo is None else _check_int("min_elo", min_elo, 0),
        max_elo=-1 if max_elo is None else _check_int("max_elo", max_elo, 0),
        speeds=mask,
        rated=-1 if rated is None else int(rated),
        bots=bots,
        skip_plies=_check_max("skip_plies", _check_int("skip_plies", skip_plies, 0), 1 << 31),
    )


def _check_max(name: str, value: int, maximum: int) -> int:
    if value > maximum:
        raise ValueError(f"{name} must be at most {maximum}, not {value}")
    return value


def encode_games(
    source: Any,
    *,
    errors: _Errors = "skip",
    include_final: bool = False,
    min_elo: int | None = None,
    max_elo: int | None = None,
    speeds: Iterable[str] | None = None,
    rated: bool | None = None,
    bots: bool = True,
    skip_plies: int = 0,
    first_index: int = 0,
    first_line: int = 1,
    keep_skipped: bool = True,
) -> EncodedGames:
    """Every position of every game's mainline, encoded in one native pass.

    Positions before each move (and, with include_final, after the last one)
    become rows of the SCHEMA arrays, the first skip_plies plies of each game
    excepted; .games holds a row per encoded game (GAME_COLUMNS). Filters
    leave games out, counted as filtered (by reason in .filtered_by_reason):
    min_elo and max_elo keep games whose WhiteElo and BlackElo tags are both
    integers within the bound; speeds (names of SPEEDS) keeps games whose
    TimeControl is of one of those speeds; rated=True keeps rated games
    (Event "Rated ..."), rated=False casual ones; bots=False leaves out games
    with a BOT title on either side. first_index and first_line are added to
    game indices and line numbers, for chunks cut out of a larger source. A
    game that cannot be read is skipped whole, counted in .skipped_by_kind
    and listed in .skipped (left empty with keep_skipped=False, so that
    memory stays flat however many games are skipped), or with
    errors="raise" raises GameError.
    """
    raise_errors = _check_errors(errors)
    filters = _check_filters(min_elo=min_elo, max_elo=max_elo, speeds=speeds, rated=rated, bots=bots,
                             skip_plies=skip_plies)
    encoded = _encode(
        source,
        raise_errors=raise_errors,
        include_final=bool(include_final),
        filters=filters,
        first_index=_check_int("first_index", first_index, 0),
        first_line=_check_int("first_line", first_line, 1),
        keep_skipped=bool(keep_skipped) or raise_errors,
    )
    if raise_errors and encoded.skipped:
        raise encoded.skipped[0]
    import numpy

    positions = encoded.positions
    arrays = {
        name: numpy.frombuffer(column, dtype=dtype).reshape((positions, *shape))
        for (name, (dtype, shape, _)), column in zip(SCHEMA.items(), encoded.columns)
    }
    games = {name: numpy.frombuffer(column, dtype=dtype)
             for (name, dtype), column in zip(GAME_COLUMNS.items(), encoded.games)}
    return EncodedGames(
        arrays, positions, encoded.games_read, encoded.games_encoded, encoded.games_filtered, encoded.skipped,
        encoded.skipped_by_kind, encoded.castling_dropped, games, encoded.filtered_by_reason,
    )


@dataclass(slots=True)
class _Encoded:
    """What _encode gives: the columns as buffers in SCHEMA order, the games
    table's as buffers in GAME_COLUMNS order, and the counts."""

    columns: Sequence[Any] = ()
    positions: int = 0
    games_read: int = 0
    games_encoded: int = 0
    games_filtered: int = 0
    skipped: list[GameError] = field(default_factory=list)
    skipped_by_kind: dict[str, int] = field(default_factory=dict)
    castling_dropped: int = 0
    games: Sequence[Any] = ()
    filtered_by_reason: dict[str, int] = field(default_factory=dict)


def _encode(
    source: Any, *, raise_errors: bool, include_final: bool, filters: _Filters, first_index: int, first_line: int,
    keep_skipped: bool,
) -> _Encoded:
    """encode_games without NumPy, for it and the encode job's workers: the
    columns, the games table, the counts, the games skipped (with
    raise_errors, at most the first; none kept without keep_skipped), the
    skipped games counted by kind, and the count of games whose FEN tag gave
    a castling right that was dropped."""
    encoder = _native.Encoder(raise_errors, include_final, filters.min_elo, filters.max_elo, filters.speeds,
                              filters.rated, filters.bots, filters.skip_plies, first_index, first_line)
    skipped: list[GameError] = []
    counts = dict.fromkeys(ERROR_KINDS, 0)

    def take_errors() -> None:
        # After every slice: the native side then holds one slice's errors
        # at most, and without keep_skipped nothing holds the others.
        for error in encoder.take_errors():
            counts[error[2]] += 1
            if keep_skipped:
                skipped.append(GameError(*error))

    with open_source(source) as pieces:
        stopped = False
        for piece in pieces:
            for start in range(0, len(piece), _ERROR_SLICE_BYTES):
                running = encoder.feed(piece[start:start + _ERROR_SLICE_BYTES])
                take_errors()
                if not running:
                    stopped = True
                    break
            if stopped:
                break
    if not stopped:
        encoder.finish()
        take_errors()
    if raise_errors and skipped:
        return _Encoded(skipped=skipped, skipped_by_kind=counts)
    columns, positions, games_read, games_encoded, games_filtered, games, reasons = encoder.result()
    return _Encoded(columns, positions, games_read, games_encoded, games_filtered, skipped, counts,
                    encoder.castling_dropped(), games, dict(zip(FILTER_REASONS, reasons)))


class GameReader:
    """The games of a source, read as the iteration asks for them.

    .skipped lists the games skipped so far (nothing, with keep_skipped=False),
    .skipped_by_kind counts them by kind, .games_read counts every game seen
    so far (skipped ones included), .castling_dropped those whose FEN tag
    gave a castling right without its king and rook at home (dropped).
    Closing (or leaving the with block) closes what the reader opened. One
    step of the iteration runs at a time: a close() from another thread
    waits for the step running there, and the iteration, closed before its
    end, raises ValueError when next asked.
    """

    skipped: list[GameError]
    skipped_by_kind: dict[str, int]
    games_read: int
    castling_dropped: int

    def __init__(self, source: Any, *, errors: _Errors = "skip", keep_skipped: bool = True) -> None:
        self._raise = _check_errors(errors)
        self._keep = bool(keep_skipped)
        self.skipped = []
        self.skipped_by_kind = dict.fromkeys(ERROR_KINDS, 0)
        self.games_read = 0
        self.castling_dropped = 0
        # Reentrant: a finaliser run by the collector during a step may close the reader.
        self._lock = threading.RLock()
        self._finished = False  # the source was read to its end, or failed
        self._closed = False    # closed before that
        self._context: contextlib.AbstractContextManager[Iterator[memoryview]] | None = open_source(source)
        self._pieces = self._context.__enter__()
        self._native = _native.GameReader(self._raise, 0, 1)
        self._iterator = self._games()

    def _games(self) -> Generator[Game]:
        try:
            for piece in self._pieces:
                for start in range(0, len(piece), _ERROR_SLICE_BYTES):
                    running = self._native.feed(piece[start:start + _ERROR_SLICE_BYTES])
                    yield from self._take()
                    if not running:
                        return
            self._native.finish()
            yield from self._take()
        finally:
            self._finished = True
            self._release()

    def _take(self) -> Iterator[Game]:
        self.castling_dropped = self._native.castling_dropped()
        for is_error, item in self._native.take_events():
            self.games_read += 1
            if is_error:
                error = GameError(*item)
                self.skipped_by_kind[error.kind] += 1
                if self._raise:
                    raise error
                if self._keep:
                    self.skipped.append(error)
            else:
                tags, fen, moves, result, index, line = item
                yield Game(tags, fen, moves, result, index, line)

    def _release(self) -> None:
        context, self._context = self._context, None
        if context is not None:
            context.__exit__(None, None, None)

    def __iter__(self) -> GameReader:
        return self

    def __next__(self) -> Game:
        with self._lock:
            if self._closed:
                raise ValueError("the game reader is closed")
            return next(self._iterator)

    def close(self) -> None:
        with self._lock:
            if not self._finished:
                self._closed = True
            self._iterator.close()
            self._release()

    def __enter__(self) -> GameReader:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self.close()


def read_games(source: Any, *, errors: _Errors = "skip", keep_skipped: bool = True) -> GameReader:
    """An iterator over the games of a source, streaming (see GameReader)."""
    return GameReader(source, errors=errors, keep_skipped=keep_skipped)


def split_games(source: Any, *, chunk_bytes: int = 1 << 20) -> Iterator[Chunk]:
    """Cuts a source into chunks of whole games, as the reader sees games.

    Each chunk is at least chunk_bytes long unless it is the last (or ends
    with a game cut off at the reader's size limit). Encoding the chunks
    with their first_index and first_line gives exactly what encoding the
    whole source gives.
    """
    splitter = _native.Splitter(_check_int("chunk_bytes", chunk_bytes, 1))
    with open_source(source) as pieces:
        for piece in pieces:
            for chunk in splitter.feed(piece):
                yield Chunk(*chunk)
        for chunk in splitter.finish():
            yield Chunk(*chunk)


def __getattr__(name: str) -> Any:
    if name in ("Dataset", "open_dataset"):
        from . import dataset

        return getattr(dataset, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
