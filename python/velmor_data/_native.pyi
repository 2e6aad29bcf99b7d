# The native half of velmor_data; the package's own modules are its only callers.
from collections.abc import Buffer as _Buffer
from typing import final

ERROR_KINDS: tuple[str, ...]
# name, dtype, shape per position, meaning, computed from the board and moves
SCHEMA: tuple[tuple[str, str, tuple[int, ...], str, bool], ...]
GAME_COLUMNS: tuple[tuple[str, str], ...]
TERMINATIONS: tuple[str, ...]
SPEEDS: tuple[str, ...]
FILTER_REASONS: tuple[str, ...]
__version__: str

_ErrorTuple = tuple[int, int, str, str | None, str]
_GameTuple = tuple[list[tuple[str, str]], str, list[str], str, int, int]
_ChunkTuple = tuple[bytes, int, int, int]

@final
class Buffer:
    def __buffer__(self, flags: int, /) -> memoryview: ...

def encode_fens(fens: tuple[object, ...], /) -> tuple[Buffer | None, int]: ...
def policy_moves(space: str, /) -> tuple[str, ...]: ...
def encode_training(
    columns: tuple[_Buffer, ...],
    rows: int,
    view: bool,
    history: int,
    policy: int,
    legal_mask: bool,
    packed_mask: bool,
    packed_planes: bool,
    /,
) -> tuple[Buffer, Buffer, Buffer, Buffer, Buffer, Buffer | None, Buffer | None]: ...

@final
class Encoder:
    def __new__(
        cls, raise_errors: bool, include_final: bool, min_elo: int, max_elo: int, speeds: int, rated: int,
        bots: bool, skip_plies: int, first_index: int, first_line: int, read_comments: bool = ..., /
    ) -> Encoder: ...
    def feed(self, data: _Buffer, /) -> bool: ...
    def finish(self) -> None: ...
    def take_errors(self) -> list[_ErrorTuple]: ...
    def result(
        self,
    ) -> tuple[tuple[Buffer, ...], int, int, int, int, tuple[Buffer, ...], tuple[int, ...]]: ...
    def castling_dropped(self) -> int: ...

@final
class GameReader:
    def __new__(cls, raise_errors: bool, first_index: int, first_line: int, /) -> GameReader: ...
    def feed(self, data: _Buffer, /) -> bool: ...
    def finish(self) -> None: ...
    def take_events(self) -> list[tuple[bool, _ErrorTuple | _GameTuple]]: ...
    def castling_dropped(self) -> int: ...

@final
class Splitter:
    def __new__(cls, chunk_bytes: int, /) -> Splitter: ...
    def feed(self, data: _Buffer, /) -> list[_ChunkTuple]: ...
    def finish(self) -> list[_ChunkTuple]: ...

STORE_KEYFRAME_PLIES: int

def store_pack(columns: tuple[_Buffer, ...], rows: int, /) -> tuple[Buffer, Buffer, Buffer]: ...

@final
class Store:
    def __new__(cls, parts: tuple[tuple[_Buffer, _Buffer, _Buffer], ...], /) -> Store: ...
    def gather(self, indices: _Buffer, fields: int, /) -> tuple[Buffer, tuple[int | None, ...]]: ...
    def batch(
        self, start: int, count: int, shuffle: bool, seed: int, epoch: int, rank: int, world_size: int, fields: int, /
    ) -> tuple[Buffer, tuple[int | None, ...]]: ...
    def encode(
        self,
        indices: _Buffer,
        fields: int,
        view: bool,
        history: int,
        space: int,
        legal_mask: bool,
        packed_mask: bool,
        packed_planes: bool,
        decoded: bool,
        records: _Buffer | None,
        /,
    ) -> tuple[
        Buffer, Buffer, Buffer, Buffer, Buffer, Buffer | None, Buffer | None, Buffer, tuple[int | None, ...],
        Buffer | None,
    ]: ...

def store_extras_pack(columns: tuple[tuple[_Buffer, int], ...], rows: int, /) -> tuple[Buffer | None, ...]: ...

@final
class StoreExtras:
    def __new__(
        cls, parts: tuple[tuple[tuple[_Buffer, int], ...], ...], part_rows: tuple[int, ...], names: tuple[str, ...], /
    ) -> StoreExtras: ...
    def gather(self, indices: _Buffer, wanted: tuple[bool, ...], /) -> tuple[Buffer, tuple[int | None, ...]]: ...
