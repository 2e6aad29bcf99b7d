"""The surface of velmor_data: sources, options, counts and the split law."""

from __future__ import annotations

import bz2
import gzip
import io
import pickle
import subprocess
import sys
import threading
from pathlib import Path

import numpy
import pytest
import zstandard

import velmor_chess
import velmor_data
from pgn_text import collection

PERFT_DIR = Path(__file__).resolve().parents[2].parent / "shared" / "perft"


@pytest.fixture(scope="module")
def perft_fens() -> list[str]:
    """FEN texts of the shared perft files, or a few built-in ones."""
    fens = [
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -",
        "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -",
        "8/8/8/8/8/8/8/8 w - -",
        "PPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPP w - -",
    ]
    for path in sorted(PERFT_DIR.glob("*.perft")):
        for line in path.read_text().splitlines():
            if line.startswith("epd "):
                fens.append(line[4:])
    return fens


GAMES = """[Event "one"]
[White "a"]
[Black "b"]
[WhiteElo "2100"]
[BlackElo "1900"]
[Result "1-0"]

1. e4 e5 2. Nf3 Nc6 3. Bb5 a6 4. Ba4 Nf6 5. O-O Be7 1-0

[Event "two"]
[WhiteElo "2300"]
[BlackElo "2250"]
[Result "0-1"]

1. f3 e5 2. g4 Qh4# 0-1

[Event "three"]
[Result "*"]

1. d4 d5 *
"""


def read_all(source, **options) -> list[velmor_data.Game]:
    with velmor_data.read_games(source, **options) as reader:
        return list(reader)


def test_import_velmor_chess_does_not_import_numpy() -> None:
    code = "import sys, velmor_chess; assert 'numpy' not in sys.modules, 'numpy imported'"
    subprocess.run([sys.executable, "-c", code], check=True)


def test_games_are_read_with_tags_start_moves_result_index_and_line() -> None:
    games = read_all(GAMES.encode())
    assert [g.index for g in games] == [0, 1, 2]
    assert [g.line for g in games] == [1, 10, 17]
    assert games[0].tags[:2] == [("Event", "one"), ("White", "a")]
    assert games[0].tag("Black") == "b" and games[0].tag("Round") is None and games[0].tag("Round", "?") == "?"
    assert games[0].moves == ["e2e4", "e7e5", "g1f3", "b8c6", "f1b5", "a7a6", "b5a4", "g8f6", "e1g1", "f8e7"]
    assert games[1].moves == ["f2f3", "e7e5", "g2g4", "d8h4"]
    assert [g.result for g in games] == ["1-0", "0-1", "*"]
    assert games[0].fen == "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -"


@pytest.fixture(params=["bytes", "bytearray", "memoryview", "pgn", "gz", "bz2", "zst", "file", "read-only"])
def source(request, tmp_path: Path):
    data = GAMES.encode()
    kind = request.param
    if kind == "bytes":
        return data
    if kind == "bytearray":
        return bytearray(data)
    if kind == "memoryview":
        return memoryview(data)
    if kind == "file":
        return io.BytesIO(data)
    if kind == "read-only":
        class Reader:  # only read(), no readinto()
            def __init__(self) -> None:
                self._stream = io.BytesIO(data)

            def read(self, size: int = -1) -> bytes:
                return self._stream.read(min(size, 7))

        return Reader()
    path = tmp_path / f"games.{kind}"
    if kind == "gz":
        path = tmp_path / "games.pgn.gz"
        path.write_bytes(gzip.compress(data))
    elif kind == "bz2":
        path = tmp_path / "games.pgn.bz2"
        path.write_bytes(bz2.compress(data))
    elif kind == "zst":
        path = tmp_path / "games.pgn.zst"
        path.write_bytes(zstandard.ZstdCompressor().compress(data))
    else:
        path.write_bytes(data)
        return str(path)
    return path


def test_every_kind_of_source_gives_the_same_games(source) -> None:
    games = read_all(source)
    assert [g.moves for g in games] == [g.moves for g in read_all(GAMES.encode())]


def test_encode_games_from_each_source_gives_the_same_arrays(source) -> None:
    batch = velmor_data.encode_games(source)
    reference = velmor_data.encode_games(GAMES.encode())
    assert batch.positions == reference.positions == 16
    for name in velmor_data.SCHEMA:
        numpy.testing.assert_array_equal(batch[name], reference[name])


def test_arrays_follow_the_schema() -> None:
    batch = velmor_data.encode_games(GAMES.encode(), include_final=True)
    assert list(batch.arrays) == list(velmor_data.SCHEMA)
    for name, (dtype, shape, _) in velmor_data.SCHEMA.items():
        assert batch[name].dtype == numpy.dtype(dtype)
        assert batch[name].shape == (batch.positions, *shape)
    assert len(batch) == batch.positions == 19
    # The final position of each game: no move, and the ply count of the game.
    finals = numpy.flatnonzero(batch["move_from"] == -1)
    assert list(finals) == [10, 15, 18]
    assert list(batch["ply"][finals]) == [10, 4, 2]
    assert list(batch["result"][finals]) == [1, -1, -2]
    assert list(batch["game"][finals]) == [0, 1, 2]
    # After 5. O-O the side to move is Black at move 5, White has no rights.
    assert batch["fullmove_number"][9] == 5 and batch["turn"][9] == 1
    assert list(batch["castling"][9]) == [0, 0, 1, 1]
    # 1. e4: from e2 (12) to e4 (28); the position after it has file e set.
    assert (batch["move_from"][0], batch["move_to"][0]) == (12, 28)
    assert batch["en_passant"][1] == 4 and batch["en_passant"][0] == -1
    numpy.testing.assert_array_equal(
        batch["planes"][0].reshape(12, 64), numpy.array(velmor_chess.Board().bitboard(), dtype=numpy.uint8)
    )


@pytest.mark.parametrize(
    ("min_elo", "encoded", "filtered"), [(None, 3, 0), (0, 2, 1), (1900, 2, 1), (2000, 1, 2), (2251, 0, 3)]
)
def test_min_elo_keeps_games_whose_both_ratings_reach_it(min_elo, encoded, filtered) -> None:
    batch = velmor_data.encode_games(GAMES.encode(), min_elo=min_elo)
    assert (batch.games_read, batch.games_encoded, batch.games_filtered) == (3, encoded, filtered)
    assert batch.skipped == []


def test_first_index_and_first_line_shift_indices_and_lines() -> None:
    bad = GAMES.replace("Qh4#", "Qh5#").encode()
    plain = velmor_data.encode_games(bad)
    shifted = velmor_data.encode_games(bad, first_index=100, first_line=50)
    assert list(numpy.unique(shifted["game"])) == [100, 102]
    assert [(e.index, e.line) for e in plain.skipped] == [(1, 15)]
    assert [(e.index, e.line) for e in shifted.skipped] == [(101, 64)]
    assert [g.line for g in read_all(bad)] == [1, 17]


def test_errors_skip_keeps_the_others_and_raise_raises_the_first() -> None:
    bad = GAMES.replace("Qh4#", "Qh5#").encode()
    batch = velmor_data.encode_games(bad)
    assert (batch.games_read, batch.games_encoded) == (3, 2)
    (error,) = batch.skipped
    assert (error.index, error.kind, error.move) == (1, "illegal move", "Qh5#")
    assert error.kind in velmor_data.ERROR_KINDS
    assert str(error) == error.message and "Qh5#" in error.message
    with pytest.raises(velmor_data.GameError) as raised:
        velmor_data.encode_games(bad, errors="raise")
    assert isinstance(raised.value, ValueError) and raised.value == error
    reader = velmor_data.read_games(bad, errors="raise")
    assert next(reader).index == 0
    with pytest.raises(ValueError, match="Qh5#"):
        next(reader)
    skipping = velmor_data.read_games(bad)
    assert [g.index for g in skipping] == [0, 2]
    assert skipping.skipped == [error] and skipping.games_read == 3


def test_game_error_survives_pickling() -> None:
    error = velmor_data.GameError(3, 7, "illegal move", "Nf9", "game 3, line 7: illegal move")
    again = pickle.loads(pickle.dumps(error))
    assert again == error and again.move == "Nf9" and str(again) == error.message


@pytest.mark.parametrize(
    ("call", "exception", "message"),
    [
        (lambda: velmor_data.encode_games(b"", errors="ignore"), ValueError, "errors must be"),
        (lambda: velmor_data.encode_games(b"", min_elo="2000"), TypeError, "min_elo must be an int"),
        (lambda: velmor_data.encode_games(b"", first_line=0), ValueError, "first_line must be at least 1"),
        (lambda: velmor_data.encode_games(42), TypeError, "a source is a path"),
        (lambda: velmor_data.encode_games(io.StringIO("1. e4 *")), TypeError, "binary mode"),
        (lambda: list(velmor_data.split_games(b"", chunk_bytes=0)), ValueError, "chunk_bytes must be at least 1"),
    ],
)
def test_bad_arguments_are_refused_clearly(call, exception, message) -> None:
    with pytest.raises(exception, match=message):
        call()


def test_empty_source() -> None:
    batch = velmor_data.encode_games(b"")
    assert batch.positions == 0 and batch["planes"].shape == (0, 12, 8, 8)
    assert read_all(b"") == [] and list(velmor_data.split_games(b"")) == []
    assert velmor_data.encode_fens([]).shape == (0, 12, 8, 8)


def test_reader_closes_the_file_it_opened(tmp_path: Path) -> None:
    path = tmp_path / "games.pgn"
    path.write_bytes(GAMES.encode())
    with velmor_data.read_games(path) as reader:
        next(reader)
        stream = reader._context.gen.gi_frame.f_locals["stream"]  # type: ignore[union-attr]
    assert stream.closed


# ---- split_games ----------------------------------------------------------


def assert_same_as_whole(source: bytes, chunk_bytes: int, **options) -> list[velmor_data.Chunk]:
    whole = velmor_data.encode_games(source, **options)
    chunks = list(velmor_data.split_games(source, chunk_bytes=chunk_bytes))
    parts = [
        velmor_data.encode_games(c.data, first_index=c.first_index, first_line=c.first_line, **options)
        for c in chunks
    ]
    assert sum(c.games for c in chunks) == whole.games_read
    assert sum(p.games_read for p in parts) == whole.games_read
    assert sum(p.games_encoded for p in parts) == whole.games_encoded
    assert sum(p.games_filtered for p in parts) == whole.games_filtered
    assert [e for p in parts for e in p.skipped] == whole.skipped
    for name in velmor_data.SCHEMA:
        joined = numpy.concatenate([p[name] for p in parts]) if parts else whole[name][:0]
        numpy.testing.assert_array_equal(joined, whole[name], err_msg=name)
    for chunk in chunks[:-1]:
        assert len(chunk.data) >= chunk_bytes
    return chunks


@pytest.mark.parametrize("chunk_bytes", [1, 100, 1000, 10_000, 1 << 20])
def test_split_law_on_generated_games(chunk_bytes: int) -> None:
    text = "".join(game.ours for game in collection(11, 30)).encode()
    bad = text.replace(b"2. ", b"2. Ke9 ", 3)  # three broken games among good ones
    for source in (text, bad):
        chunks = assert_same_as_whole(source, chunk_bytes, include_final=True)
        assert b"".join(c.data for c in chunks) == source
        assert_same_as_whole(source, chunk_bytes, min_elo=1500)


def test_split_starts_each_chunk_at_a_game_start() -> None:
    chunks = list(velmor_data.split_games(GAMES.encode(), chunk_bytes=1))
    assert [(c.first_index, c.first_line, c.games) for c in chunks] == [(0, 1, 1), (1, 10, 1), (2, 17, 1)]
    assert b"".join(c.data for c in chunks) == GAMES.encode()


# ---- encode_fens ----------------------------------------------------------


def test_encode_fens_matches_board_bitboard(perft_fens) -> None:
    planes = velmor_data.encode_fens(iter(perft_fens))
    assert planes.shape == (len(perft_fens), 12, 8, 8) and planes.dtype == numpy.uint8
    for fen, encoded in zip(perft_fens, planes):
        numpy.testing.assert_array_equal(encoded.reshape(12, 64), numpy.array(velmor_chess.Board(fen).bitboard()))


@pytest.mark.parametrize("bad", ["8/8/8/8/8/8/8/8 x - -", "x", "x" * 10**7, "", 42, "rnbqkbnr/8/8 w \ud800 -"])
def test_encode_fens_raises_what_board_raises_with_the_index(bad) -> None:
    fens = [velmor_chess.Board().fen(), bad]
    try:
        velmor_chess.Board(bad)
    except BaseException as error:
        expected = error
    with pytest.raises(Exception) as raised:
        velmor_data.encode_fens(fens)
    # Board's panic (text it cannot read at all) comes as a ValueError.
    assert type(raised.value) is (type(expected) if isinstance(expected, Exception) else ValueError)
    assert "fens[1]" in str(raised.value) + "".join(getattr(raised.value, "__notes__", []))
    if not isinstance(expected, UnicodeError):
        assert str(raised.value) == f"fens[1]: {expected}"


def test_threads_encode_sources_side_by_side() -> None:
    text = "".join(game.ours for game in collection(5, 20)).encode()
    expected = velmor_data.encode_games(text)
    results: list[velmor_data.EncodedGames] = []
    threads = [threading.Thread(target=lambda: results.append(velmor_data.encode_games(text))) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for result in results:
        numpy.testing.assert_array_equal(result["planes"], expected["planes"])
