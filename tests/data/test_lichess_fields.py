"""The fields read from Lichess games: clocks and evaluations per position,
the table of games and the filters, against python-chess as the oracle
(node.clock(), node.eval(), the headers) on generated Lichess-style games:
with and without clocks and evaluations, mate scores, fractions of seconds,
missing ratings, bots, every termination, TimeControl "-"."""

from __future__ import annotations

import io
import math
import random
from dataclasses import dataclass

import chess
import chess.pgn
import numpy
import pytest

import velmor_data

TERMINATION_TAGS = ["Normal", "Time forfeit", "Abandoned", "Rules infraction", "Unterminated", "Stalemate", None]
TIME_CONTROLS = ["180+2", "60+0", "15+0", "600+5", "1800+20", "0+1", "-", None, "300", "abc", "29+0", "1500+0"]
EVENTS = ["Rated Blitz game", "Casual Rapid game", "Rated Classical game", "Some tournament", None]


@dataclass
class Made:
    text: str
    has_clocks: bool


def clock_text(rng: random.Random, seconds: float) -> str:
    whole = int(seconds)
    text = f"{whole // 3600}:{whole // 60 % 60:02d}:{whole % 60:02d}"
    if rng.random() < 0.3:
        text += "." + str(rng.randrange(10))
    return text


def eval_text(rng: random.Random) -> str:
    roll = rng.random()
    if roll < 0.15:
        return f"#{rng.choice([-1, 1]) * rng.randrange(1, 30)}"
    return f"{rng.uniform(-12, 12):.2f}"


def make_game(rng: random.Random, index: int) -> Made:
    """A Lichess-style game: tags as the database writes them (some missing
    or odd), then moves with "{ [%eval ..] [%clk ..] }" comments, some left
    out, other commands beside them."""
    tags: list[tuple[str, str]] = []
    if (event := rng.choice(EVENTS)) is not None:
        tags.append(("Event", event))
    tags.append(("Site", f"https://lichess.org/{index:08d}"))
    if rng.random() < 0.8:
        tags.append(("Date", f"20{rng.randrange(10, 25)}.{rng.randrange(1, 13):02d}.{rng.randrange(1, 29):02d}"))
    if rng.random() < 0.6:
        tags.append(("UTCDate", rng.choice(["2023.05.17", "2024.??.??", "2019.12.31"])))
    tags.append(("White", "w"))
    tags.append(("Black", "b"))
    for side in ("White", "Black"):
        roll = rng.random()
        if roll < 0.75:
            tags.append((f"{side}Elo", str(rng.randrange(600, 3200))))
        elif roll < 0.85:
            tags.append((f"{side}Elo", "?"))
        if rng.random() < 0.15:
            tags.append((f"{side}Title", rng.choice(["BOT", "GM", "BOT"])))
        if rng.random() < 0.6:
            tags.append((f"{side}RatingDiff", rng.choice(["+5", "-12", "0", "+250"])))
    if (control := rng.choice(TIME_CONTROLS)) is not None:
        tags.append(("TimeControl", control))
    if (termination := rng.choice(TERMINATION_TAGS)) is not None:
        tags.append(("Termination", termination))
    if rng.random() < 0.7:
        tags.append(("ECO", rng.choice(["B01", "C20", "A00", "E99", "?"])))

    board = chess.Board()
    clocks = rng.random() < 0.7
    evals = rng.random() < 0.4
    base = 300.0
    left = [base, base]
    parts = []
    if rng.random() < 0.2:
        parts.append(f"{{ [%eval {eval_text(rng)}] }}")
    for ply in range(rng.randrange(0, 70)):
        moves = list(board.legal_moves)
        if not moves:
            break
        move = rng.choice(moves)
        number = f"{board.fullmove_number}. " if board.turn else (f"{board.fullmove_number}... " if ply == 0 else "")
        parts.append(number + board.san(move))
        board.push(move)
        commands = []
        if evals and rng.random() < 0.9:
            commands.append(f"[%eval {eval_text(rng)}]")
        if rng.random() < 0.1:
            commands.append("[%csl Ge4][%cal Ge2e4,Rd1d8]")
        side = ply % 2
        left[side] = max(0.0, left[side] - rng.uniform(0, 9))
        if clocks and rng.random() < 0.9:
            commands.append(f"[%clk {clock_text(rng, left[side])}]")
        if commands and rng.random() < 0.95:
            parts.append("{ " + " ".join(commands) + " }")
    result = rng.choice(["1-0", "0-1", "1/2-1/2", "*"])
    tags.append(("Result", result))
    header = "".join(f'[{name} "{value}"]\n' for name, value in tags)
    body = " ".join(parts + [result])
    has_clocks = "%clk" in body
    return Made(header + "\n" + body + "\n", has_clocks)


@pytest.fixture(scope="module")
def games() -> list[Made]:
    rng = random.Random(20261209)
    return [make_game(rng, index) for index in range(400)]


@pytest.fixture(scope="module")
def text(games: list[Made]) -> bytes:
    return "\n".join(made.text for made in games).encode()


@pytest.fixture(scope="module")
def oracle(games: list[Made]) -> list[chess.pgn.Game]:
    parsed = [chess.pgn.read_game(io.StringIO(made.text)) for made in games]
    assert all(game is not None and not game.errors for game in parsed)
    return parsed  # type: ignore[return-value]


def time_control(headers: chess.pgn.Headers) -> tuple[int, int]:
    value = headers.get("TimeControl", "")
    base, plus, increment = value.partition("+")
    if not base.isdigit() or (plus and not increment.isdigit()):
        return -1, -1
    return int(base), int(increment) if plus else 0


def expected_positions(game: chess.pgn.Game, include_final: bool) -> dict[str, list[float]]:
    """The per-position fields as the issue defines them, from python-chess's
    reading of each node's comment (the games start from the standard
    position: White moves at even plies)."""
    nodes = list(game.mainline())
    base, _ = time_control(game.headers)
    has_clocks = any(node.clock() is not None for node in nodes)
    before_first = float(base) if has_clocks and base >= 0 else math.nan
    out: dict[str, list[float]] = {"clock": [], "opponent_clock": [], "eval": [], "mate": []}
    positions = [game, *nodes][:len(nodes) + include_final]
    last: dict[bool, float] = {}  # the clock of each side's most recent move
    for k, node in enumerate(positions):
        if k > 0:
            clock = node.clock()
            last[k % 2 == 1] = math.nan if clock is None else clock  # move k was White's when k is odd
        white_to_move = k % 2 == 0
        out["clock"].append(last.get(white_to_move, before_first))
        out["opponent_clock"].append(last.get(not white_to_move, before_first))
        score = node.eval()
        if score is None:
            out["eval"].append(math.nan)
            out["mate"].append(0)
        elif score.white().is_mate():
            out["eval"].append(math.nan)
            out["mate"].append(score.white().mate())
        else:
            out["eval"].append(score.white().score() / 100)
            out["mate"].append(0)
    return out


@pytest.mark.parametrize("include_final", [False, True])
def test_clocks_and_evals_match_python_chess(text: bytes, oracle: list[chess.pgn.Game], include_final: bool) -> None:
    batch = velmor_data.encode_games(text, include_final=include_final, errors="raise")
    assert batch.games_encoded == len(oracle)
    expected: dict[str, list[float]] = {"clock": [], "opponent_clock": [], "eval": [], "mate": []}
    for game in oracle:
        for name, values in expected_positions(game, include_final).items():
            expected[name].extend(values)
    for name in ("clock", "opponent_clock"):
        numpy.testing.assert_allclose(batch[name], numpy.array(expected[name], numpy.float32), rtol=1e-6,
                                      equal_nan=True, err_msg=name)
    # python-chess keeps centipawns, cut toward zero from the text's pawns.
    numpy.testing.assert_allclose(batch["eval"], numpy.array(expected["eval"], numpy.float32), atol=0.0101,
                                  equal_nan=True)
    numpy.testing.assert_array_equal(batch["mate"], numpy.array(expected["mate"], numpy.int16))
    assert numpy.isnan(batch["eval"][batch["mate"] != 0]).all()
    # The generated games hold every kind of value.
    assert (batch["mate"] > 0).any() and (batch["mate"] < 0).any()
    assert (batch["clock"] % 1 > 0).any() and numpy.isnan(batch["clock"]).any()


def expected_game_row(game: chess.pgn.Game) -> dict[str, object]:
    headers = game.headers

    def elo(name: str) -> int:
        value = headers.get(name, "")
        return int(value) if value.isdigit() else -1

    def diff(name: str) -> int:
        value = headers.get(name)
        try:
            return int(value) if value is not None else -32768
        except ValueError:
            return -32768

    def date(name: str) -> int:
        value = headers.get(name, "")
        return int(value.replace(".", "")) if len(value) == 10 and value.replace(".", "").isdigit() else 0

    event = headers.get("Event", "")
    termination = headers.get("Termination")
    terminations = velmor_data.TERMINATIONS
    base, increment = time_control(headers)
    eco = headers.get("ECO", "")
    plies = len(list(game.mainline_moves()))
    return {
        "plies": plies,
        "result": {"1-0": 1, "0-1": -1, "1/2-1/2": 0, "*": -2}[headers["Result"]],
        "white_elo": elo("WhiteElo"), "black_elo": elo("BlackElo"),
        "white_rating_diff": diff("WhiteRatingDiff"), "black_rating_diff": diff("BlackRatingDiff"),
        "time_base": base, "time_increment": increment,
        "rated": 1 if event.startswith("Rated") else 0 if event.startswith("Casual") else -1,
        "white_bot": headers.get("WhiteTitle") == "BOT", "black_bot": headers.get("BlackTitle") == "BOT",
        "termination": 0 if termination is None else terminations.index(termination.lower())
        if termination.lower() in terminations[1:-1] else len(terminations) - 1,
        "date": date("UTCDate") or date("Date"),
        "eco": eco.encode() if len(eco) == 3 and eco[0] in "ABCDE" and eco[1:].isdigit() else b"",
    }


def test_games_table_matches_the_headers(text: bytes, oracle: list[chess.pgn.Game]) -> None:
    batch = velmor_data.encode_games(text, include_final=True, errors="raise")
    table = batch.games
    assert list(table) == list(velmor_data.GAME_COLUMNS)
    for name, dtype in velmor_data.GAME_COLUMNS.items():
        assert table[name].dtype == numpy.dtype(dtype) and len(table[name]) == len(oracle), name
    numpy.testing.assert_array_equal(table["game"], numpy.arange(len(oracle)))
    for index, game in enumerate(oracle):
        row = {name: table[name][index].item() for name in table}
        expected = expected_game_row(game)
        assert {name: row[name] for name in expected} == expected, index
        first, count = row["first_position"], row["positions"]
        assert count == row["plies"] + 1
        assert (batch["game"][first:first + count] == index).all()
        assert first + count == len(batch) or batch["game"][first + count] != index
    # Every termination, bots, missing ratings and time controls are there.
    assert set(table["termination"].tolist()) == set(range(len(velmor_data.TERMINATIONS)))
    assert table["white_bot"].any() and (table["white_elo"] == -1).any() and (table["time_base"] == -1).any()


def speed_of(headers: chess.pgn.Headers) -> str | None:
    base, increment = time_control(headers)
    if base < 0:
        return None
    total = base + 40 * increment
    return ("ultrabullet" if total < 30 else "bullet" if total < 180 else "blitz" if total < 480
            else "rapid" if total < 1500 else "classical")


FILTERS = [
    {"min_elo": 1500},
    {"max_elo": 2000},
    {"min_elo": 1200, "max_elo": 2400},
    {"speeds": ["blitz", "rapid"]},
    {"speeds": ("ultrabullet",)},
    {"speeds": {"classical", "bullet"}},
    {"rated": True},
    {"rated": False},
    {"bots": False},
    {"max_elo": 2800, "speeds": ["blitz"], "rated": True, "bots": False},
]


def fails(filters: dict[str, object], headers: chess.pgn.Headers) -> str | None:
    """The first filter the game fails, in the order of FILTER_REASONS."""
    elos = [headers.get("WhiteElo", ""), headers.get("BlackElo", "")]
    known = all(elo.isdigit() for elo in elos)
    if "min_elo" in filters and not (known and all(int(elo) >= filters["min_elo"] for elo in elos)):  # type: ignore[operator]
        return "min_elo"
    if "max_elo" in filters and not (known and all(int(elo) <= filters["max_elo"] for elo in elos)):  # type: ignore[operator]
        return "max_elo"
    if "speeds" in filters and speed_of(headers) not in filters["speeds"]:  # type: ignore[operator]
        return "speeds"
    event = headers.get("Event", "")
    if "rated" in filters and event.startswith("Rated" if filters["rated"] else "Casual") is False:
        return "rated"
    if filters.get("bots") is False and "BOT" in (headers.get("WhiteTitle"), headers.get("BlackTitle")):
        return "bots"
    return None


@pytest.mark.parametrize("filters", FILTERS, ids=lambda filters: ",".join(f"{k}={v}" for k, v in filters.items()))
def test_filters_keep_the_games_the_headers_say(text: bytes, oracle: list[chess.pgn.Game],
                                                filters: dict[str, object]) -> None:
    whole = velmor_data.encode_games(text)
    batch = velmor_data.encode_games(text, **filters)  # type: ignore[arg-type]
    reasons = [fails(filters, game.headers) for game in oracle]
    kept = [index for index, reason in enumerate(reasons) if reason is None]
    assert batch.games["game"].tolist() == kept
    assert batch.games_filtered == len(oracle) - len(kept)
    assert batch.filtered_by_reason == {reason: reasons.count(reason) for reason in velmor_data.FILTER_REASONS}
    assert 0 < len(kept) < len(oracle)
    rows = numpy.isin(whole["game"], kept)
    for name in velmor_data.SCHEMA:
        numpy.testing.assert_array_equal(batch[name], whole[name][rows], err_msg=name)


@pytest.mark.parametrize("skip_plies", [1, 10, 1000])
@pytest.mark.parametrize("include_final", [False, True])
def test_skip_plies_drops_the_first_rows_of_each_game(text: bytes, skip_plies: int, include_final: bool) -> None:
    whole = velmor_data.encode_games(text, include_final=include_final)
    batch = velmor_data.encode_games(text, include_final=include_final, skip_plies=skip_plies)
    rows = whole["ply"] >= skip_plies
    for name in velmor_data.SCHEMA:
        numpy.testing.assert_array_equal(batch[name], whole[name][rows], err_msg=name)
    assert batch.games_encoded == whole.games_encoded and batch.games_filtered == 0
    numpy.testing.assert_array_equal(batch.games["plies"], whole.games["plies"])
    numpy.testing.assert_array_equal(
        batch.games["positions"], numpy.maximum(whole.games["positions"] - skip_plies, 0))
    assert batch.games["first_position"].tolist() == numpy.concatenate(
        [[0], numpy.cumsum(batch.games["positions"])[:-1]]).tolist()


LICHESS = """[Event "Rated Blitz game"]
[TimeControl "180+2"]
[Result "1-0"]

{ [%eval 0.1] } 1. e4 { [%eval 0.17] [%clk 0:03:00] } 1... e5 { [%clk 0:02:58.5] } 2. Qh5 { [%eval #3] }
2... Nc6 ( 2... g6 { [%clk 0:00:01] } ) { [%eval -0.5] [%clk 0:02:50] } 3. Bc4 { [%clk 0:02:55] }
3... Nf6 { [%eval #-2] [%clk 0:02:40] } 4. Qxf7# { [%eval 0:02:00] } 1-0
"""


def test_a_lichess_game_row_by_row() -> None:
    batch = velmor_data.encode_games(LICHESS.encode(), include_final=True, errors="raise")
    nan = math.nan
    expected = {
        # Before a side's first move: the base, 180 s.
        "clock": [180, 180, 180, 178.5, nan, 170, 175, 160],
        "opponent_clock": [180, 180, 178.5, nan, 170, 175, 160, nan],
        "eval": [0.1, 0.17, nan, nan, -0.5, nan, nan, nan],
        "mate": [0, 0, 0, 3, 0, 0, -2, 0],
    }
    for name, values in expected.items():
        numpy.testing.assert_array_equal(batch[name], numpy.array(values, batch[name].dtype), err_msg=name)


@pytest.mark.parametrize(
    ("game", "clock"),
    [
        # No %clk anywhere: no base either.
        ('[TimeControl "180+2"]\n\n1. e4 e5 *', [math.nan, math.nan]),
        # %clk, but no time control to take the base from.
        ('[TimeControl "-"]\n\n1. e4 { [%clk 0:01:00] } e5 *', [math.nan, math.nan]),
        ('\n1. e4 { [%clk 0:01:00] } e5 *', [math.nan, math.nan]),
        # A clock only inside a variation does not count.
        ('[TimeControl "60+0"]\n\n1. e4 (1. d4 { [%clk 0:01:00] }) e5 *', [math.nan, math.nan]),
        ('[TimeControl "60+0"]\n\n1. e4 e5 { [%clk 0:00:59] } *', [60, 60]),
    ],
)
def test_clock_before_the_first_move_is_the_base_only_with_clocks(game: str, clock: list[float]) -> None:
    batch = velmor_data.encode_games(game.encode(), errors="raise")
    numpy.testing.assert_array_equal(batch["clock"], numpy.array(clock, numpy.float32))


def test_fields_survive_chunks_and_pieces(text: bytes) -> None:
    whole = velmor_data.encode_games(text, include_final=True)
    for chunk_bytes in (1, 5000):
        parts = [velmor_data.encode_games(chunk.data, include_final=True, first_index=chunk.first_index,
                                          first_line=chunk.first_line)
                 for chunk in velmor_data.split_games(text, chunk_bytes=chunk_bytes)]
        for name in velmor_data.TEXT_FIELDS:
            numpy.testing.assert_array_equal(numpy.concatenate([part[name] for part in parts]), whole[name])
        for name in velmor_data.GAME_COLUMNS:
            if name != "first_position":
                numpy.testing.assert_array_equal(numpy.concatenate([part.games[name] for part in parts]),
                                                 whole.games[name], err_msg=name)


@pytest.mark.parametrize(
    ("kwargs", "error", "message"),
    [
        ({"max_elo": "2000"}, TypeError, "max_elo must be an int, not str"),
        ({"max_elo": -1}, ValueError, "max_elo must be at least 0, not -1"),
        ({"speeds": "blitz"}, TypeError, "speeds must be a collection of speed names, not str"),
        ({"speeds": 3}, TypeError, "speeds must be a collection of speed names, not int"),
        ({"speeds": ["blitz", "fast"]}, ValueError, "unknown speed 'fast'; the speeds are ultrabullet, bullet"),
        ({"speeds": []}, ValueError, "speeds must name at least one speed"),
        ({"rated": 1}, TypeError, "rated must be a bool or None, not int"),
        ({"bots": None}, TypeError, "bots must be a bool, not NoneType"),
        ({"skip_plies": 1.5}, TypeError, "skip_plies must be an int, not float"),
        ({"skip_plies": -1}, ValueError, "skip_plies must be at least 0, not -1"),
        ({"skip_plies": 1 << 40}, ValueError, "skip_plies must be at most 2147483648"),
    ],
)
def test_filter_arguments_are_checked(kwargs: dict[str, object], error: type[Exception], message: str) -> None:
    with pytest.raises(error, match=message.replace("(", r"\(")):
        velmor_data.encode_games(b"1. e4 *", **kwargs)  # type: ignore[arg-type]


def test_schema_declares_the_fields_once() -> None:
    batch = velmor_data.encode_games(LICHESS.encode())
    assert list(batch.arrays) == list(velmor_data.SCHEMA)
    for name, (dtype, shape, meaning) in velmor_data.SCHEMA.items():
        assert batch[name].dtype == numpy.dtype(dtype) and batch[name].shape[1:] == shape and meaning, name
    assert velmor_data.TEXT_FIELDS == ("clock", "opponent_clock", "eval", "mate")


def test_store_keeps_the_text_fields_as_extra_columns(text: bytes) -> None:
    from velmor_data import _store

    batch = velmor_data.encode_games(text, include_final=True)
    store = _store.pack(batch.arrays)
    assert store.fields[-len(velmor_data.TEXT_FIELDS):] == velmor_data.TEXT_FIELDS
    rows = numpy.random.default_rng(3).integers(0, len(batch), 500)
    got = store.gather(rows)
    for name in velmor_data.SCHEMA:
        numpy.testing.assert_array_equal(got[name], batch[name][rows], err_msg=name)


def test_job_filters_and_counts_them_by_reason(text: bytes, oracle: list[chess.pgn.Game], tmp_path) -> None:
    import json
    import subprocess
    import sys

    source = tmp_path / "games.pgn"
    source.write_bytes(text)
    outdir = tmp_path / "dataset"
    subprocess.run([sys.executable, "-m", "velmor_data", "encode", str(source), "-o", str(outdir), "--workers", "2",
                    "--chunk-size", "20k", "--max-elo", "2800", "--speeds", "blitz,rapid", "--rated", "--no-bots",
                    "--skip-plies", "3", "--quiet"], check=True, timeout=300)
    filters = {"max_elo": 2800, "speeds": ["blitz", "rapid"], "rated": True, "bots": False}
    batch = velmor_data.encode_games(text, skip_plies=3, **filters)  # type: ignore[arg-type]
    manifest = json.loads((outdir / "manifest.json").read_text())
    assert manifest["options"] == {"errors": "skip", "min_elo": None, "skip_plies": 3, **filters}
    reasons = [fails(filters, game.headers) for game in oracle]
    assert manifest["games"]["filtered_by_reason"] == batch.filtered_by_reason == {
        reason: reasons.count(reason) for reason in velmor_data.FILTER_REASONS}
    assert manifest["games"]["filtered"] == batch.games_filtered
    dataset = velmor_data.open_dataset(outdir)
    for name in velmor_data.SCHEMA:
        numpy.testing.assert_array_equal(dataset.array(name), batch[name], err_msg=name)


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["--speeds", "blitz,fast"], "unknown speed 'fast'; the speeds are ultrabullet, bullet, blitz"),
        (["--skip-plies", "-1"], "--skip-plies"),
        (["--max-elo", "x"], "--max-elo"),
    ],
)
def test_job_refuses_bad_filter_options(tmp_path, args: list[str], message: str) -> None:
    import subprocess
    import sys

    source = tmp_path / "games.pgn"
    source.write_bytes(b"1. e4 *\n")
    result = subprocess.run([sys.executable, "-m", "velmor_data", "encode", str(source), "-o",
                             str(tmp_path / "out"), *args], capture_output=True, text=True, timeout=60)
    assert result.returncode == 2 and message in result.stderr, result.stderr
    assert not (tmp_path / "out").exists()
