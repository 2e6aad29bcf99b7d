"""Parquet sources (one game per row, as the Lichess database's Parquet mirror
holds them): the same games as PGN give the same arrays, games, chunks and
datasets; schemas that cannot give games, damaged files and a missing pyarrow
are refused in one line naming the input."""

from __future__ import annotations

import datetime
import json
import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path
from typing import Any

import numpy
import pytest
import zstandard

import velmor_data
from velmor_data import _parquet

REPO_ROOT = Path(__file__).resolve().parents[2]
SAMPLE = REPO_ROOT / "data" / "sample-games.pgn.zst"
GAMES = 600
ROW_GROUP = 100

pytestmark = pytest.mark.skipif(bool(os.environ.get("VELMOR_SANITIZED")),
                                reason="pyarrow and the job's subprocesses are run without the sanitizers' preload")

# The mirror's columns, in its order.
LICHESS = ["Event", "Site", "White", "Black", "Result", "WhiteTitle", "BlackTitle", "WhiteElo", "BlackElo",
           "WhiteRatingDiff", "BlackRatingDiff", "UTCDate", "UTCTime", "ECO", "Opening", "Termination",
           "TimeControl", "movetext"]


@pytest.fixture(scope="module")
def pa() -> Any:
    return pytest.importorskip("pyarrow", reason="pyarrow is missing: pip install 'velmor_chess[parquet]'")


@pytest.fixture(scope="module")
def sample() -> list[tuple[dict[str, str], str]]:
    """The sample's first games: tags (as the reader reads them) and movetext."""
    if not SAMPLE.exists():
        pytest.fail(f"{SAMPLE} is missing: scripts/make-sample-games writes it")
    with open(SAMPLE, "rb") as file:
        text = zstandard.ZstdDecompressor().stream_reader(file).read().decode()
    texts = re.split(r"\n\n(?=\[Event )", text.strip("\n"))[:GAMES]
    games = []
    for game_text, game in zip(texts, velmor_data.read_games("\n\n".join(texts).encode(), errors="raise")):
        movetext = game_text.partition("\n\n")[2]
        assert movetext.rstrip().endswith(game.result)
        games.append((dict(game.tags), movetext))
    assert len(games) == GAMES
    return games


def pgn_of(rows: list[tuple[dict[str, str], str]]) -> bytes:
    """The PGN text of games: the reference the Parquet inputs must match."""
    out = []
    for tags, movetext in rows:
        head = "".join(f'[{name} "{value}"]\n' for name, value in tags.items())
        out.append(f"{head}\n{movetext}\n\n")
    return "".join(out).encode()


def table_of(pa: Any, sample: list[tuple[dict[str, str], str]], variant: str) -> Any:
    """The sample games as a table.

    plain: every tag of the sample as a text column, in the sample's order.
    lichess: the mirror's columns and types (int64 ratings, date32 dates,
      time64 times; titles and rating changes all null), the Result left out
      of every third movetext (the tag supplies it).
    sparse: no Result column, Site null in every other row, a column of
      nothing but nulls, text as dictionary and as binary, and the index
      pyarrow stores with a pandas frame (no tag).
    """
    n = len(sample)
    if variant == "plain":
        names = list(sample[0][0])
        columns = {name: pa.array([tags.get(name) for tags, _ in sample], pa.string()) for name in names}
        columns["movetext"] = pa.array([moves for _, moves in sample], pa.string())
        return pa.table(columns)
    if variant == "lichess":
        def tag(name: str) -> list[str | None]:
            return [tags.get(name) for tags, _ in sample]

        def date(text: str) -> datetime.date:
            return datetime.date(*map(int, text.split(".")))

        columns = {name: pa.array([None] * n, pa.string()) for name in LICHESS}
        for name in ("Event", "Site", "White", "Black", "Result", "Termination", "TimeControl"):
            columns[name] = pa.array(tag(name), pa.string())
        for name in ("WhiteElo", "BlackElo"):
            columns[name] = pa.array([int(value) for value in tag(name)], pa.int64())
        columns["WhiteRatingDiff"] = pa.array([None] * n, pa.int16())
        columns["UTCDate"] = pa.array([date(value) for value in tag("Date")], pa.date32())
        columns["UTCTime"] = pa.array([datetime.time(row % 24, row % 60, row % 59) for row in range(n)],
                                      pa.time64("us"))
        columns["movetext"] = pa.array(
            [moves.rstrip().removesuffix(tags["Result"]) if row % 3 == 0 else moves
             for row, (tags, moves) in enumerate(sample)], pa.large_string())
        return pa.table({name: columns[name] for name in LICHESS})
    assert variant == "sparse"
    columns = {
        "movetext": pa.array([moves for _, moves in sample], pa.string()),
        "White": pa.array([tags["White"] for tags, _ in sample]).dictionary_encode(),
        "Site": pa.array([None if row % 2 else tags["Site"] for row, (tags, _) in enumerate(sample)]),
        "Nothing": pa.nulls(n),
        "WhiteElo": pa.array([int(tags["WhiteElo"]) for tags, _ in sample], pa.int32()),
        "BlackElo": pa.array([tags["BlackElo"].encode() for tags, _ in sample], pa.binary()),
        "__index_level_0__": pa.array(range(n)),
    }
    pandas = {"index_columns": ["__index_level_0__"], "columns": []}
    return pa.table(columns).replace_schema_metadata({b"pandas": json.dumps(pandas).encode()})


def expected_tags(table: Any, row: int) -> list[tuple[str, str]]:
    """The tags a row's game has: its non-null values, in column order, as PGN writes them."""
    tags = []
    for name in table.column_names:
        value = table.column(name)[row].as_py()
        if name in ("movetext", "__index_level_0__") or value is None:
            continue
        if isinstance(value, datetime.date):
            value = value.strftime("%Y.%m.%d")
        elif isinstance(value, datetime.time):
            value = value.strftime("%H:%M:%S")
        elif isinstance(value, bytes):
            value = value.decode()
        tags.append((name, str(value)))
    return tags


def write(pa: Any, table: Any, path: Path) -> Path:
    import pyarrow.parquet as pq

    pq.write_table(table, path, row_group_size=ROW_GROUP)
    assert pq.ParquetFile(path).num_row_groups == -(-table.num_rows // ROW_GROUP)
    return path


VARIANTS = ["plain", "lichess", "sparse"]


def assert_same(batch: velmor_data.EncodedGames, reference: velmor_data.EncodedGames) -> None:
    assert (batch.positions, batch.games_read, batch.games_encoded, batch.games_filtered) == (
        reference.positions, reference.games_read, reference.games_encoded, reference.games_filtered)
    assert batch.skipped == reference.skipped
    for name in velmor_data.SCHEMA:
        assert numpy.array_equal(batch[name], reference[name], equal_nan=True), name


# ---- the same games as PGN give the same results ------------------------------


@pytest.mark.parametrize("variant", VARIANTS)
@pytest.mark.parametrize("kind", ["table", "record batch", "path", "pathlib"])
@pytest.mark.parametrize("min_elo", [None, 1500])
def test_encode_games_gives_what_the_pgn_gives(pa: Any, sample: list, tmp_path: Path, variant: str,
                                               kind: str, min_elo: int | None) -> None:
    table = table_of(pa, sample, variant)
    games = sample
    if variant == "sparse":
        # Without a TimeControl column the clocks before each side's first
        # move have no base: the reference has the tags the rows have.
        games = [(dict(expected_tags(table, row)), moves) for row, (_, moves) in enumerate(sample)]
    reference = velmor_data.encode_games(pgn_of(games), min_elo=min_elo)
    assert (reference.games_filtered > 0) if min_elo else (reference.games_encoded == GAMES)
    source: Any = table
    if kind == "record batch":
        source = table.combine_chunks().to_batches()[0]
    elif kind == "path":
        source = str(write(pa, table, tmp_path / "games.parquet"))
    elif kind == "pathlib":
        source = write(pa, table, tmp_path / "games.PARQUET")
    assert_same(velmor_data.encode_games(source, min_elo=min_elo), reference)


@pytest.mark.parametrize("variant", VARIANTS)
@pytest.mark.parametrize("batch_rows", [_parquet.BATCH_ROWS, 7])
def test_read_games_gives_each_row_as_one_game(pa: Any, sample: list, tmp_path: Path, monkeypatch: Any,
                                               variant: str, batch_rows: int) -> None:
    """Row i is game i, on line i + 1, with the row's tags and the PGN's moves."""
    monkeypatch.setattr(_parquet, "BATCH_ROWS", batch_rows)
    table = table_of(pa, sample, variant)
    path = write(pa, table, tmp_path / "games.parquet")
    reference = list(velmor_data.read_games(pgn_of(sample)))
    for source in (table, path):
        with velmor_data.read_games(source, errors="raise") as reader:
            games = list(reader)
        assert len(games) == GAMES
        for row, (game, expected) in enumerate(zip(games, reference)):
            assert (game.index, game.line) == (row, row + 1)
            assert (game.fen, game.moves, game.result) == (expected.fen, expected.moves, expected.result)
            assert game.tags == expected_tags(table, row)


@pytest.mark.parametrize("chunk_bytes", [1, 5000, 1 << 20])
def test_split_games_chunks_encode_to_the_whole(pa: Any, sample: list, tmp_path: Path, chunk_bytes: int) -> None:
    path = write(pa, table_of(pa, sample, "lichess"), tmp_path / "games.parquet")
    whole = velmor_data.encode_games(path)
    chunks = list(velmor_data.split_games(path, chunk_bytes=chunk_bytes))
    assert sum(chunk.games for chunk in chunks) == GAMES
    parts = [velmor_data.encode_games(chunk.data, first_index=chunk.first_index, first_line=chunk.first_line)
             for chunk in chunks]
    for name in velmor_data.SCHEMA:
        assert numpy.array_equal(numpy.concatenate([part[name] for part in parts]), whole[name], equal_nan=True), name
    assert sum(part.games_read for part in parts) == whole.games_read


def test_odd_rows_read_as_their_pgn_and_bad_ones_name_their_row(pa: Any) -> None:
    """Tag values with quotes and backslashes come back as they were; a row
    whose game is bad is skipped alone and named by its row."""
    rows = [
        ('He said "hi" \\o/', "1. e4 e5 1-0", "1-0"),             # escapes in a value
        ("plain", "1. e4 e5 2. Ke3 Nc6 1-0", "1-0"),               # an illegal move
        ("no result in the movetext", "1. d4 d5", "1/2-1/2"),      # the tag supplies it
        ("neither", "1. c4", None),                                # a game without a result
        ("a Result that is none", "1. c4", "garbage"),             # not written as a move
        ("no moves at all", None, "0-1"),
        ("a comment at the end", "1. e4 {ends 1-0}", "1-0"),      # the 1-0 in it is no result
        ("after it", "1. Nf3 0-1", "0-1"),
        ("an open comment", "1. e4 {never closed", "1-0"),        # closed at its row's end
        ("a ; comment", "1. e4 ; a {note\n1... e5", "0-1"),      # its line break is kept
        ("after them", "1. a3 1/2-1/2", "1/2-1/2"),
    ]
    table = pa.table({
        "White": [white for white, _, _ in rows],
        "movetext": pa.array([moves for _, moves, _ in rows], pa.string()),
        "Result": [result for _, _, result in rows],
    })
    reader = velmor_data.read_games(table)
    games = {game.index: game for game in reader}
    # The line of the fault: a game without a result is named at its own last
    # token, on its row's line (row + 1).
    assert {error.index: (error.kind, error.line) for error in reader.skipped} == {
        1: ("illegal move", 2), 3: ("truncated game", 4), 4: ("truncated game", 5), 8: ("truncated game", 9)}
    assert "game 1, line 2: illegal move" in str(reader.skipped[0])
    assert sorted(games) == [0, 2, 5, 6, 7, 9, 10]
    assert games[0].tag("White") == 'He said "hi" \\o/'
    assert [(games[i].moves, games[i].result) for i in (2, 5, 6, 7, 9, 10)] == [
        (["d2d4", "d7d5"], "1/2-1/2"), ([], "0-1"), (["e2e4"], "1-0"), (["g1f3"], "0-1"),
        (["e2e4", "e7e5"], "0-1"), (["a2a3"], "1/2-1/2")]
    assert [games[i].line for i in (7, 9, 10)] == [8, 10, 12]


# ---- inputs that cannot give games ------------------------------------------------


REFUSED = [
    ({"White": ["a"]}, "no 'movetext' column"),
    ({"movetext": [1]}, "column 'movetext' is int64, not text"),
    ({"movetext": ["1. e4 1-0"], "WhiteElo": [1500.0]}, "column 'WhiteElo' is double: a tag column holds text"),
    ({"movetext": ["1. e4 1-0"], "Moves": [["e4"]]}, "column 'Moves' is list<"),
    ({"movetext": ["1. e4 1-0"], "White Elo": ["1"]}, "column 'White Elo' cannot be a tag"),
    ({"movetext": ["1. e4 1-0"], "Flag": [True]}, "column 'Flag' is bool"),
]


@pytest.mark.parametrize(("columns", "message"), REFUSED, ids=[m.split(":")[0] for _, m in REFUSED])
def test_a_schema_that_cannot_give_games_is_refused_naming_the_input(pa: Any, tmp_path: Path, columns: dict,
                                                                    message: str) -> None:
    table = pa.table(columns)
    path = tmp_path / "games.parquet"
    write(pa, table, path)
    for read in (velmor_data.encode_games, lambda s: list(velmor_data.read_games(s)),
                 lambda s: list(velmor_data.split_games(s))):
        with pytest.raises(ValueError) as refused:
            read(table)
        assert str(refused.value).startswith(f"pyarrow.Table: {message}"), refused.value
        with pytest.raises(velmor_data.SourceError) as refused_file:
            read(path)
        assert str(refused_file.value).startswith(f"{path}: {message}"), refused_file.value


@pytest.mark.parametrize("damage", ["half", "one byte", "all but the header", "empty", "a damaged page"])
def test_a_damaged_parquet_file_is_refused_naming_the_file(pa: Any, sample: list, tmp_path: Path,
                                                           damage: str) -> None:
    data = bytearray(write(pa, table_of(pa, sample, "plain"), tmp_path / "whole.parquet").read_bytes())
    if damage == "a damaged page":  # compressed column data that no longer decompresses
        for at in range(len(data) // 2, len(data) // 2 + 64):
            data[at] ^= 0x5A
    else:
        del data[{"half": len(data) // 2, "one byte": len(data) - 1, "all but the header": 4, "empty": 0}[damage]:]
    path = tmp_path / "games.parquet"
    path.write_bytes(data)
    for read in (velmor_data.encode_games, lambda s: list(velmor_data.read_games(s)),
                 lambda s: list(velmor_data.split_games(s))):
        with pytest.raises(velmor_data.SourceError) as refused:
            read(path)
        message = str(refused.value)
        assert message.startswith(f"{path}: not a readable Parquet file: ") and "\n" not in message, message


def test_a_missing_parquet_file_is_the_os_error(pa: Any, tmp_path: Path) -> None:
    with pytest.raises(FileNotFoundError) as missing:
        velmor_data.encode_games(tmp_path / "none.parquet")
    assert missing.value.filename == str(tmp_path / "none.parquet")


# ---- the encode job ---------------------------------------------------------------


def encode(*args: object, check: bool = True, **kwargs: Any) -> subprocess.CompletedProcess:
    result = subprocess.run([sys.executable, "-m", "velmor_data", "encode", "--quiet", *map(str, args)],
                            capture_output=True, text=True, timeout=600, **kwargs)
    if check and result.returncode != 0:
        raise AssertionError(f"exit {result.returncode}\n{result.stdout}\n{result.stderr}")
    return result


def shards(outdir: Path) -> dict[str, bytes]:
    return {str(file.relative_to(outdir)): file.read_bytes()
            for file in sorted(outdir.glob("shard-*/*"))}


def test_the_job_writes_from_parquet_what_it_writes_from_the_pgn(pa: Any, sample: list, tmp_path: Path) -> None:
    """A Parquet input beside a PGN one: the shards hold what the PGN inputs
    give, byte for byte, whatever the workers and chunk size; the manifest
    names the Parquet file with its size and SHA-256."""
    import hashlib

    half = GAMES // 2
    first = tmp_path / "first.pgn"
    first.write_bytes(pgn_of(sample[:half]))
    second_pgn = tmp_path / "second.pgn"
    second_pgn.write_bytes(pgn_of(sample[half:]))
    second = write(pa, table_of(pa, sample[half:], "lichess"), tmp_path / "second.parquet")
    reference = tmp_path / "from-pgn"
    encode(first, second_pgn, "-o", reference, "--workers", 1, "--shard-size", 5000)
    datasets = []
    for workers, chunk in ((1, "1m"), (2, "3k")):
        outdir = tmp_path / f"from-parquet-{workers}"
        encode(first, second, "-o", outdir, "--workers", workers, "--chunk-size", chunk, "--shard-size", 5000)
        datasets.append(outdir)
        assert shards(outdir) == shards(reference) != {}
    assert (datasets[0] / "manifest.json").read_bytes() == (datasets[1] / "manifest.json").read_bytes()
    manifest = json.loads((datasets[0] / "manifest.json").read_text())
    entry = manifest["inputs"][1]
    assert (entry["path"], entry["size"], entry["sha256"]) == (
        str(second), second.stat().st_size, hashlib.sha256(second.read_bytes()).hexdigest())
    assert (entry["first_game"], entry["games_read"]) == (half, GAMES - half)


def test_the_job_names_the_row_of_a_bad_game(pa: Any, tmp_path: Path) -> None:
    table = pa.table({"movetext": ["1. e4 e5 1-0", "1. e4 e5 1-0", "1. e4 e5 2. Ke3 1-0"]})
    path = write(pa, table, tmp_path / "games.parquet")
    result = encode(path, "-o", tmp_path / "out", "--errors", "raise", check=False)
    assert result.returncode == 1
    assert "game 2 (line 3)" in result.stderr and str(path) in result.stderr, result.stderr


def test_the_job_refuses_a_truncated_parquet_file(pa: Any, sample: list, tmp_path: Path) -> None:
    data = write(pa, table_of(pa, sample, "plain"), tmp_path / "whole.parquet").read_bytes()
    path = tmp_path / "games.parquet"
    path.write_bytes(data[: len(data) // 2])
    outdir = tmp_path / "dataset"
    result = encode(path, "-o", outdir, check=False)
    assert result.returncode == 1, result.stderr
    assert "Traceback" not in result.stderr
    assert f"input {str(path)!r}: not a readable Parquet file: " in result.stderr.splitlines()[0]
    assert not outdir.exists() or list(outdir.iterdir()) == []


# ---- without pyarrow --------------------------------------------------------------


# A meta path finder that finds no pyarrow, as when it is not installed.
NOT_INSTALLED = """
import sys
class NoPyarrow:
    @staticmethod
    def find_spec(name, path=None, target=None):
        if name.partition(".")[0] == "pyarrow":
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)
sys.meta_path.insert(0, NoPyarrow)
"""


@pytest.mark.parametrize(("how", "status"), [("not installed", 2), ("failing to load", 1)])
def test_without_pyarrow_a_parquet_input_says_which_extra_to_install(tmp_path: Path, how: str,
                                                                     status: int) -> None:
    """PGN sources work without pyarrow and never import it; a .parquet source
    is refused in one line naming the extra, by the library
    (ModuleNotFoundError) and by the job: at once with exit 2 when pyarrow is
    not there, with exit 1 when it is there but fails to load; nothing written."""
    env = dict(os.environ)
    prelude = NOT_INSTALLED
    if how == "failing to load":
        broken = tmp_path / "broken"
        (broken / "pyarrow").mkdir(parents=True)
        (broken / "pyarrow" / "__init__.py").write_text("raise ImportError('a broken pyarrow')\n")
        env["PYTHONPATH"] = str(broken)
        prelude = ""
    path = tmp_path / "games.parquet"
    path.write_bytes(b"PAR1 never read PAR1")
    outdir = tmp_path / "dataset"
    code = prelude + textwrap.dedent(f"""
        import sys, velmor_data
        from velmor_data import cli
        assert velmor_data.encode_games(b"1. e4 e5 1-0").games_encoded == 1
        assert "pyarrow" not in sys.modules
        try:
            velmor_data.encode_games({str(path)!r})
        except ModuleNotFoundError as error:
            print(error)
        sys.exit(cli.main(["encode", "--quiet", {str(path)!r}, "-o", {str(outdir)!r}]))
    """)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120, env=env)
    assert result.returncode == status, result.stderr
    assert result.stdout == (f"{path}: reading Parquet needs pyarrow, the optional extra 'parquet': "
                             f"pip install 'velmor_chess[parquet]'\n")
    first = result.stderr.splitlines()[0]
    assert "pip install 'velmor_chess[parquet]'" in first and "Traceback" not in result.stderr, result.stderr
    assert not outdir.exists() or list(outdir.iterdir()) == []
