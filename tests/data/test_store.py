"""The position store: packing encode_games' arrays and getting every field
back byte for byte, by index and in the batches of an epoch; the epoch's
order, its parts per rank, the choice of fields, extra columns, and arrays
that do not make a store."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import chess
import numpy
import pytest

import velmor_data
from pgn_text import collection
from test_encodings import PACKED_PLANE_OPTIONS, unpacked_planes
from velmor_data import _store

SAMPLE = Path(__file__).resolve().parents[2] / "data" / "sample-games.pgn.zst"
# The fields the store computes back; those read from the games' text
# travel as extra columns.
FIELDS = tuple(name for name in velmor_data.SCHEMA if name not in velmor_data.TEXT_FIELDS)


@pytest.fixture(scope="module", params=[False, True], ids=["no-final", "final"])
def sample(request: pytest.FixtureRequest) -> dict[str, numpy.ndarray]:
    if not SAMPLE.exists():
        pytest.fail(f"{SAMPLE} is missing: scripts/make-sample-games writes it")
    arrays = velmor_data.encode_games(SAMPLE, include_final=request.param).arrays
    return {name: arrays[name] for name in FIELDS}


def assert_rows(got: dict[str, numpy.ndarray], arrays: dict[str, numpy.ndarray], rows: numpy.ndarray) -> None:
    for name in FIELDS:
        expected = arrays[name][rows]
        assert got[name].dtype == expected.dtype and got[name].shape == expected.shape, name
        assert numpy.array_equal(got[name], expected, equal_nan=True), name


def row_of(arrays: dict[str, numpy.ndarray], game: numpy.ndarray, ply: numpy.ndarray) -> numpy.ndarray:
    """The row of each (game, ply): a game's rows stand together from ply 0."""
    first = numpy.searchsorted(arrays["game"], game)
    return first + ply


def test_every_row_of_the_sample_comes_back(sample: dict[str, numpy.ndarray]) -> None:
    store = _store.pack(sample)
    n = len(sample["planes"])
    assert len(store) == n
    assert_rows(store.gather(numpy.arange(n)), sample, numpy.arange(n))
    rows = numpy.random.default_rng(1).integers(0, n, 5000)
    assert_rows(store.gather(rows), sample, rows)
    # At most 8 bytes a position, the games' runs counted, planes never
    # stored: two float32 columns more (clocks, evaluations) stay within 16.
    assert store.bytes_per_position <= 8


def test_random_games_from_every_kind_of_start_come_back() -> None:
    text = "".join(game.ours for game in collection(seed=5, count=300))
    for include_final in (False, True):
        arrays = velmor_data.encode_games(text.encode(), include_final=include_final).arrays
        store = _store.pack(arrays)
        n = len(arrays["planes"])
        assert_rows(store.gather(numpy.arange(n)[::-1]), arrays, numpy.arange(n)[::-1])


def test_null_moves_and_what_follows_them_come_back() -> None:
    """Rows written from python-chess boards, with null moves (move_from -2)
    between real ones."""
    rng = numpy.random.default_rng(3)
    columns: dict[str, list] = {name: [] for name in FIELDS}
    for game in range(40):
        board = chess.Board()
        for ply in range(int(rng.integers(1, 60))):
            legal = list(board.legal_moves)
            null = not board.is_check() and rng.random() < 0.2
            if not legal:
                break
            move = chess.Move.null() if null else legal[int(rng.integers(len(legal)))]
            planes = numpy.zeros((12, 64), numpy.uint8)
            for square, piece in board.piece_map().items():
                planes[(piece.piece_type - 1) + 6 * (piece.color == chess.BLACK), square] = 1
            columns["planes"].append(planes.reshape(12, 8, 8))
            columns["turn"].append(0 if board.turn == chess.WHITE else 1)
            columns["castling"].append([bool(board.castling_rights & chess.BB_SQUARES[s]) for s in (7, 0, 63, 56)])
            columns["en_passant"].append(-1 if board.ep_square is None else chess.square_file(board.ep_square))
            columns["halfmove_clock"].append(board.halfmove_clock)
            columns["fullmove_number"].append(board.fullmove_number)
            columns["move_from"].append(-2 if null else move.from_square)
            columns["move_to"].append(-2 if null else move.to_square)
            columns["move_promotion"].append(0 if null or not move.promotion else move.promotion - 1)
            columns["result"].append(0)
            columns["game"].append(game)
            columns["ply"].append(ply)
            board.push(move)
    arrays = {
        name: numpy.array(values, dtype=velmor_data.SCHEMA[name][0]) for name, values in columns.items()
    }
    assert (arrays["move_from"] == -2).sum() > 20
    store = _store.pack(arrays)
    n = len(arrays["planes"])
    assert_rows(store.gather(numpy.arange(n)), arrays, numpy.arange(n))
    # One run a game: the rows after null moves follow from them.
    assert len(store.runs) == 40


@pytest.mark.parametrize("shuffle", [True, False])
def test_an_epoch_gives_every_position_once(sample: dict[str, numpy.ndarray], shuffle: bool) -> None:
    store = _store.pack(sample)
    n = len(store)
    batches = store.batches(1000, shuffle=shuffle, seed=3, epoch=1)
    seen = []
    for batch in batches:
        assert batch["planes"].shape == (len(batch["game"]), 12, 8, 8)
        rows = row_of(sample, batch["game"], batch["ply"])
        assert_rows(batch, sample, rows)
        seen.append(rows)
    assert len(seen) == len(batches) == -(-n // 1000)
    order = numpy.concatenate(seen)
    assert numpy.array_equal(numpy.sort(order), numpy.arange(n))
    if shuffle:
        # Positions from across the whole dataset in each batch, not a window.
        assert numpy.ptp(seen[0]) > n // 2
    else:
        assert numpy.array_equal(order, numpy.arange(n))


def test_the_order_is_the_same_for_the_same_seed_and_epoch(sample: dict[str, numpy.ndarray]) -> None:
    store = _store.pack(sample)

    def order(**options: int) -> numpy.ndarray:
        return numpy.concatenate([b["game"] * 1000 + b["ply"] for b in store.batches(4096, fields=["game", "ply"],
                                                                                        **options)])

    first = order(seed=1, epoch=0)
    assert numpy.array_equal(first, order(seed=1, epoch=0))
    assert not numpy.array_equal(first, order(seed=1, epoch=1))
    assert not numpy.array_equal(first, order(seed=2, epoch=0))


@pytest.mark.parametrize("world_size", [1, 3, 8])
@pytest.mark.parametrize("drop_last", [False, True])
def test_ranks_take_disjoint_equal_parts(sample: dict[str, numpy.ndarray], world_size: int, drop_last: bool) -> None:
    store = _store.pack(sample)
    n = len(store)
    part = n // world_size
    parts = []
    for rank in range(world_size):
        batches = store.batches(777, seed=9, epoch=2, fields=("game", "ply"), drop_last=drop_last, rank=rank,
                                world_size=world_size)
        sizes = [len(b["game"]) for b in batches]
        assert len(sizes) == len(batches)
        assert all(size == 777 for size in sizes[:-1])
        assert sum(sizes) == (part - part % 777 if drop_last else part)
        parts.append(numpy.concatenate([row_of(sample, b["game"], b["ply"]) for b in batches]))
    every = numpy.concatenate(parts)
    assert len(numpy.unique(every)) == len(every)
    if not drop_last and world_size == 1:
        assert len(every) == n


def test_fields_extra_columns_and_their_choice(sample: dict[str, numpy.ndarray]) -> None:
    n = len(sample["planes"])
    clock = numpy.random.default_rng(0).random(n, dtype=numpy.float32)
    evals = numpy.random.default_rng(1).integers(-500, 500, (n, 2), dtype=numpy.int16)
    store = _store.pack({**sample, "clock": clock, "eval": evals})
    assert store.fields == FIELDS + ("clock", "eval")
    assert store.nbytes == (store.moves.nbytes + store.keyframes.nbytes + store.runs.nbytes + clock.nbytes
                            + evals.nbytes)
    rows = numpy.array([5, 3, n - 1, 3])
    got = store.gather(rows)
    assert_rows(got, sample, rows)
    assert numpy.array_equal(got["clock"], clock[rows]) and numpy.array_equal(got["eval"], evals[rows])
    got = store.gather(rows, fields=["ply", "clock"])
    assert set(got) == {"planes", "ply", "clock"}
    assert numpy.array_equal(got["planes"], sample["planes"][rows])
    batch = next(iter(store.batches(64, fields=["result"])))
    assert set(batch) == {"planes", "result"}
    batch = next(iter(store.batches(64)))
    assert set(batch) == set(FIELDS) | {"clock", "eval"}
    with pytest.raises(ValueError, match="unknown field 'elo'"):
        store.gather(rows, fields=["elo"])
    with pytest.raises(TypeError, match="not a str"):
        store.batches(64, fields="ply")


@pytest.mark.parametrize(
    ("options", "error", "message"),
    [
        ({"batch_size": 0}, ValueError, "batch_size must be at least 1, not 0"),
        ({"batch_size": True}, TypeError, "batch_size must be an int, not bool"),
        ({"seed": -1}, ValueError, "seed must be at least 0, not -1"),
        ({"seed": 1 << 64}, ValueError, "seed and epoch must be below 2\\*\\*64"),
        ({"epoch": 1.0}, TypeError, "epoch must be an int, not float"),
        ({"world_size": 0}, ValueError, "world_size must be at least 1, not 0"),
        ({"rank": 2, "world_size": 2}, ValueError, "rank must be below world_size \\(2\\), not 2"),
    ],
)
def test_batch_options_are_checked(options: dict, error: type, message: str) -> None:
    store = _store.pack(velmor_data.encode_games(b"1. e4 e5 2. Nf3 *").arrays)
    options = {"batch_size": 2, **options}
    with pytest.raises(error, match=message):
        store.batches(**options)


def test_gather_refuses_indices_out_of_range() -> None:
    store = _store.pack(velmor_data.encode_games(b"1. e4 e5 2. Nf3 *").arrays)
    with pytest.raises(IndexError, match="from 0 to 2"):
        store.gather([3])
    with pytest.raises(IndexError):
        store.gather([-1])
    with pytest.raises(TypeError):
        store.gather([0.5])
    assert len(store.gather([])["planes"]) == 0


def test_pack_refuses_columns_it_cannot_hold() -> None:
    arrays = dict(velmor_data.encode_games(b"1. e4 e5 2. Nf3 *").arrays)
    with pytest.raises(ValueError, match="lack the columns ply"):
        _store.pack({k: v for k, v in arrays.items() if k != "ply"})
    with pytest.raises(ValueError, match="column turn must be uint8"):
        _store.pack({**arrays, "turn": arrays["turn"].astype(numpy.int64)})
    with pytest.raises(ValueError, match="column ply has 2 rows"):
        _store.pack({**arrays, "ply": arrays["ply"][:2]})
    planes = arrays["planes"].copy()
    planes[1, 0, 0, 0] = 1
    with pytest.raises(ValueError, match="row 1: a square is on two planes"):
        _store.pack({**arrays, "planes": planes})
    move_to = arrays["move_to"].copy()
    move_to[2] = 64
    with pytest.raises(ValueError, match="row 2: the move \\(6, 64, 0\\) cannot be stored"):
        _store.pack({**arrays, "move_to": move_to})


# Arrays that do not make a store, each opened and gathered in a process of
# its own, bounded in time and memory: an error, never a crash.
DAMAGE = {
    "runs short of the moves": "runs = runs[:-1]",
    "a run of no rows": "runs = runs.copy(); runs['rows'][0] = 0",
    "a run of 2**32 - 1 rows": "runs = runs.copy(); runs['rows'][0] = 2**32 - 1",
    "a keyframe too few": "keyframes = keyframes[:-1]",
    "a piece code past 12": "keyframes = keyframes.copy(); keyframes['board'][0, 3] = 0xF0",
    "flags past castling": "keyframes = keyframes.copy(); keyframes['flags'][1] = 0x40",
    "random moves": "moves = numpy.random.default_rng(0).integers(0, 65536, len(moves)).astype(numpy.uint16)",
    "a ply near the end of int32": "runs = runs.copy(); runs['first_ply'][0] = 2**31 - 2",
}


@pytest.mark.parametrize("damage", list(DAMAGE), ids=list(DAMAGE))
def test_damaged_arrays_raise_value_error(damage: str) -> None:
    code = (
        "import resource, sys, numpy, velmor_data\n"
        "from velmor_data import _store\n"
        # An address-space limit leaves AddressSanitizer no room for its
        # shadow memory: the sanitized run bounds time alone.
        "import os\n"
        "if not os.environ.get('VELMOR_SANITIZED'):\n"
        "    resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))\n"
        "s = _store.pack(velmor_data.encode_games(b'1. e4 e5 2. Nf3 Nc6 3. Bb5 a6 4. Ba4 Nf6 5. O-O Be7 6. Re1 b5 "
        "7. Bb3 d6 8. c3 O-O 9. h3 Nb8 10. d4 Nbd7 *\\n\\n' * 3, include_final=True).arrays)\n"
        "assert len(s) == 63\n"
        "moves, keyframes, runs = s.moves, s.keyframes, s.runs\n"
        f"{DAMAGE[damage]}\n"
        "try:\n"
        "    t = _store.Store(moves, keyframes, runs)\n"
        "    t.gather(numpy.arange(len(t)))\n"
        "    for b in t.batches(7): pass\n"
        "except ValueError as error:\n"
        "    print('ValueError', error)\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("ValueError"), result.stdout


@pytest.fixture(scope="module")
def repeating() -> dict[str, numpy.ndarray]:
    """Random play from many kinds of start, with repetitions, and a slice of
    the sample."""
    from test_encodings import random_games_text

    games = velmor_data.encode_games(random_games_text(150, 7).encode(), include_final=True).arrays
    played = velmor_data.encode_games(SAMPLE, include_final=True).arrays
    cut = int(numpy.searchsorted(played["game"], 60))
    shifted = {name: played[name][:cut] for name in FIELDS}
    shifted["game"] = shifted["game"] + 1000
    return {name: numpy.concatenate([games[name], shifted[name]]) for name in FIELDS}


@pytest.mark.parametrize(
    "options",
    [
        {"view": "mover"},
        {"history": 0},
        {"history": 3, "policy": "uci"},
        {"history": 8, "view": "mover", "policy": "alphazero", "legal_mask": True, "packed_mask": True},
        {"policy": "from_to", "legal_mask": True},
        # A mask row of 1,968 bytes: rows 16-byte aligned only, as the streamed mask allows.
        {"history": 1, "view": "mover", "policy": "uci", "legal_mask": True},
    ],
    ids=lambda options: ",".join(f"{k}={v}" for k, v in options.items()),
)
@pytest.mark.parametrize("decoded", [False, True], ids=["replayed", "decoded"])
def test_batches_encode_as_encode_positions_does(repeating: dict[str, numpy.ndarray], options: dict,
                                                 decoded: bool) -> None:
    """Each batch's encodings, repetition planes included, equal those of
    encode_positions over every row of the games: shuffled, and in order
    (where each row goes on from the replay of the one before); replayed
    or read from the rows decoded."""
    expected = velmor_data.encode_positions(repeating, **options)
    assert expected["planes"][:, 12::13].any() if "history" in options else True
    store = _store.pack(repeating)
    for shuffle in (True, False):
        seen = 0
        for batch in store.batches(500, seed=4, shuffle=shuffle, decoded=decoded, **options):
            rows = row_of(repeating, batch["game"], batch["ply"])
            assert set(batch) == set(FIELDS) | {"policy", "legal"} & set(expected)
            for name in batch:
                assert batch[name].dtype == expected[name].dtype, name
                assert numpy.array_equal(batch[name], expected[name][rows], equal_nan=True), (name, shuffle)
            seen += len(rows)
        assert seen == len(store)
    batch = next(iter(store.batches(7, fields=["ply"], **options)))
    assert set(batch) == {"planes", "ply"} | {"policy", "legal"} & set(expected)


@pytest.mark.parametrize(
    "options",
    [
        {"history": 2},
        {"history": 8, "view": "mover", "policy": "alphazero", "legal_mask": True},
        {"history": 8, "view": "mover", "packed_planes": True},
    ],
    ids=lambda options: ",".join(f"{k}={v}" for k, v in options.items()),
)
@pytest.mark.parametrize("decoded", [False, True], ids=["replayed", "decoded"])
def test_batches_encode_rows_out_of_order_and_across_parts(repeating: dict[str, numpy.ndarray], options: dict,
                                                           decoded: bool) -> None:
    """Rows the loader cannot replay from one keyframe: runs cut where a
    clock was changed, neighbours swapped (a history step can be the game's
    though the one before is not), a position copied onto the ply before it
    (it repeats one row back, where no game can), and the rows split into
    stores joined mid-game; the encodings still equal encode_positions' over every
    row."""
    arrays = {name: repeating[name].copy() for name in FIELDS}
    n = len(arrays["planes"])
    arrays["halfmove_clock"][::7] += 1
    order = numpy.arange(n)
    for i in range(5, n - 1, 13):
        order[i], order[i + 1] = order[i + 1], order[i]
    arrays = {name: column[order] for name, column in arrays.items()}
    # The position of a row at half-move clock 1 copied onto the row before:
    # it starts a run, which goes on as the game does.
    copies = numpy.arange(9, n - 1, 3)
    copies = copies[(arrays["game"][copies] == arrays["game"][copies + 1]) & (arrays["halfmove_clock"][copies + 1] == 1)]
    for name in ("planes", "turn", "castling", "en_passant"):
        arrays[name][copies] = arrays[name][copies + 1]
    expected = velmor_data.encode_positions(arrays, **options)
    cut = n // 3 + 1
    assert arrays["game"][cut - 1] == arrays["game"][cut]
    store = _store.Store.join([_store.pack({k: v[:cut] for k, v in arrays.items()}),
                               _store.pack({k: v[cut:] for k, v in arrays.items()})])
    rows = numpy.random.default_rng(1).permutation(n)[:3000]
    rows = numpy.concatenate([rows, numpy.arange(cut - 3, cut + 12), (copies[:, None] + numpy.arange(1, 11)).ravel()])
    rows = rows[rows < n]
    encoded = store._encoded(rows.astype(numpy.uint64), store._field_mask(None)[0], [], {
        "view": "absolute", "history": None, "policy": None, "legal_mask": False, "packed_mask": False,
        "packed_planes": False, "decoded": decoded, **options})
    for name in encoded:
        assert numpy.array_equal(encoded[name], expected[name][rows], equal_nan=True), name


@pytest.mark.parametrize("options", PACKED_PLANE_OPTIONS, ids=lambda options: ",".join(map(str, options.items())))
def test_batches_with_packed_planes_are_their_planes_as_bits(repeating: dict[str, numpy.ndarray],
                                                              options: dict) -> None:
    """The same seed and epoch give the same rows packed and unpacked: the
    packed planes unpacked are the planes, every other array the same."""
    store = _store.Store.join([_store.pack({k: v[:4000] for k, v in repeating.items()}),
                               _store.pack({k: v[4000:] for k, v in repeating.items()})])
    pairs = zip(store.batches(500, seed=4, epoch=2, **options),
                store.batches(500, seed=4, epoch=2, packed_planes=True, **options), strict=True)
    repetitions = 0
    for plain, packed in pairs:
        assert list(packed) == list(plain)
        assert packed["planes"].dtype == numpy.uint8 and packed["planes"].shape == plain["planes"].shape[:-1]
        assert numpy.array_equal(unpacked_planes(packed["planes"]), plain["planes"])
        repetitions += int(plain["planes"][:, 12::13].sum()) if "history" in options else 0
        for name in plain:
            if name != "planes":
                assert numpy.array_equal(packed[name], plain[name], equal_nan=plain[name].dtype.kind == "f"), name
    assert repetitions or "history" not in options


# A king that castles without the rights to (a crafted game), then walks its
# king and rook back between null moves: the position six plies on repeats
# the first, though the moves' from and to squares alone do not undo each
# other (the castling moved the rook too). Both colours; the run starts just
# before a keyframe, so the look-back reaches rows before the replay's.
CASTLING_BACK = [
    ("4k3/8/8/8/8/8/8/4K2R w - - 0 10", chess.E1, chess.G1),
    ("4k3/8/8/8/8/8/8/5RK1 b - - 1 10", None, None),
    ("4k3/8/8/8/8/8/8/5RK1 w - - 2 11", chess.G1, chess.E1),
    ("4k3/8/8/8/8/8/8/4KR2 b - - 3 11", None, None),
    ("4k3/8/8/8/8/8/8/4KR2 w - - 4 12", chess.F1, chess.H1),
    ("4k3/8/8/8/8/8/8/4K2R b - - 5 12", None, None),
    ("4k3/8/8/8/8/8/8/4K2R w - - 6 13", -1, -1),
]


@pytest.mark.parametrize("decoded", [False, True], ids=["replayed", "decoded"])
@pytest.mark.parametrize("history", [0, 2, 8])
def test_batches_find_a_repetition_across_a_castling_without_rights(history: int, decoded: bool) -> None:
    columns: dict[str, list] = {name: [] for name in FIELDS}
    for game, mirrored in enumerate((False, True)):
        for ply, (fen, move_from, move_to) in enumerate(CASTLING_BACK, start=7):
            board = chess.Board(fen)
            if mirrored:
                board = board.mirror()
                move_from, move_to = (square if square is None or square < 0 else chess.square_mirror(square)
                                      for square in (move_from, move_to))
            planes = numpy.zeros((12, 64), numpy.uint8)
            for square, piece in board.piece_map().items():
                planes[(piece.piece_type - 1) + 6 * (piece.color == chess.BLACK), square] = 1
            columns["planes"].append(planes.reshape(12, 8, 8))
            columns["turn"].append(0 if board.turn == chess.WHITE else 1)
            columns["castling"].append([0, 0, 0, 0])
            columns["en_passant"].append(-1)
            columns["halfmove_clock"].append(board.halfmove_clock)
            # The mirrored game has Black move first.
            columns["fullmove_number"].append(10 + (ply - 7 + mirrored) // 2)
            columns["move_from"].append(-2 if move_from is None else move_from)
            columns["move_to"].append(-2 if move_to is None else move_to)
            columns["move_promotion"].append(0)
            columns["result"].append(0)
            columns["game"].append(game)
            columns["ply"].append(ply)
    arrays = {name: numpy.array(values, dtype=velmor_data.SCHEMA[name][0]) for name, values in columns.items()}
    options = {"history": history, "view": "mover"}
    expected = velmor_data.encode_positions(arrays, **options)
    last = len(CASTLING_BACK) - 1
    assert expected["planes"][[last, 2 * last + 1], 12].all()  # the repetition plane of the last rows
    store = _store.pack(arrays)
    assert len(store.runs) == 2  # each game one run: the castlings were replayed
    for batch in store.batches(3, seed=1, decoded=decoded, **options):
        rows = row_of(arrays, batch["game"], batch["ply"] - 7)
        for name in batch:
            assert numpy.array_equal(batch[name], expected[name][rows]), name


def test_batches_encoding_refuse_a_row_that_is_no_position() -> None:
    arrays = dict(velmor_data.encode_games(b"1. e4 e5 2. Nf3 *").arrays)
    arrays["en_passant"] = arrays["en_passant"].copy()
    arrays["en_passant"][2] = 9
    with pytest.raises(ValueError, match="en_passant is no file"):
        velmor_data.encode_positions(arrays, view="mover")
    store = _store.pack(arrays)
    for decoded in (False, True):
        with pytest.raises(ValueError, match="row 2: en_passant is no file"):
            list(store.batches(4, view="mover", decoded=decoded))


def test_encoding_options_are_checked() -> None:
    store = _store.pack(velmor_data.encode_games(b"1. e4 e5 2. Nf3 *").arrays)
    with pytest.raises(ValueError, match="history must be from 0 to 8, not 9"):
        store.batches(2, history=9)
    with pytest.raises(ValueError, match="legal_mask needs a policy space"):
        store.batches(2, legal_mask=True)


def test_batches_kept_stay_intact_and_threads_agree(sample: dict[str, numpy.ndarray]) -> None:
    """A batch's memory is reused only once its arrays are gone: batches kept
    to the end still hold their rows; threads loading at once (the GIL let
    go while gathering) get the same batches as one thread."""
    import threading

    store = _store.pack(sample)
    batches = store.batches(2048, seed=5, fields=["game", "ply"])
    kept = list(batches)
    for batch in kept:
        assert numpy.array_equal(batch["planes"], sample["planes"][row_of(sample, batch["game"], batch["ply"])])
    results: list[list[dict[str, numpy.ndarray]]] = [[], [], []]
    threads = [threading.Thread(target=lambda out=out: out.extend(batches)) for out in results]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for out in results:
        assert len(out) == len(kept)
        for got, expected in zip(out, kept):
            assert all(numpy.array_equal(got[name], expected[name], equal_nan=True) for name in expected)


def test_an_empty_store() -> None:
    store = _store.pack(velmor_data.encode_games(b"").arrays)
    assert len(store) == 0 and store.nbytes == 0
    assert list(store.batches(4)) == []
    assert store.gather([])["planes"].shape == (0, 12, 8, 8)
    one = _store.pack(velmor_data.encode_games(b"1. e4 *").arrays)
    assert list(one.batches(4, world_size=2)) == []
    assert [len(b["planes"]) for b in one.batches(4)] == [1]


def test_stores_joined_are_one_store(sample: dict[str, numpy.ndarray]) -> None:
    """Shards packed apart, joined without copying: every row, extra columns
    included, and an epoch's order spanning them all."""
    n = len(sample["planes"])
    clock = numpy.arange(n, dtype=numpy.float32) / 7
    cuts = [0, int(numpy.searchsorted(sample["game"], 1000)), int(numpy.searchsorted(sample["game"], 1001)), n, n]
    stores = [
        _store.pack({**{name: sample[name][a:b] for name in FIELDS}, "clock": clock[a:b]})
        for a, b in zip(cuts, cuts[1:])
    ]
    joined = _store.Store.join(stores)
    assert len(joined) == n and len(joined.parts) == 4
    assert joined.nbytes == sum(store.nbytes for store in stores)
    rows = numpy.random.default_rng(2).integers(0, n, 4000)
    got = joined.gather(rows)
    assert_rows(got, sample, rows)
    assert numpy.array_equal(got["clock"], clock[rows])
    seen = numpy.concatenate([row_of(sample, b["game"], b["ply"]) for b in joined.batches(3000, fields=["game", "ply"])])
    assert numpy.array_equal(numpy.sort(seen), numpy.arange(n))
    with pytest.raises(ValueError, match="by part"):
        joined.moves
    with pytest.raises(ValueError, match="same extra columns"):
        _store.Store.join([stores[0], _store.pack({name: sample[name][:10] for name in FIELDS})])


@pytest.mark.parametrize("options", [{}, {"history": 8, "view": "mover", "policy": "alphazero", "legal_mask": True,
                                          "packed_mask": True, "packed_planes": True}], ids=["plain", "encoded"])
def test_decoded_batches_are_the_batches(sample: dict[str, numpy.ndarray], options: dict) -> None:
    """Batches read from the rows decoded equal those replayed, every array
    of them: plain or encoded, extra columns (encoded, kept as they are, of
    several values a row) included, over joined stores, on threads."""
    n = len(sample["planes"])
    extras = lichess_extras(sample, 3, 0.3)
    extras["pair"] = numpy.arange(2 * n, dtype=numpy.int64).reshape(n, 2)
    cut = int(numpy.searchsorted(sample["game"], 700))
    store = _store.Store.join([_store.pack({**{name: sample[name][a:b] for name in FIELDS},
                                            **{name: column[a:b] for name, column in extras.items()}})
                               for a, b in ((0, cut), (cut, n))])
    assert "pair" not in store.part_encoded[0] and "clock" in store.part_encoded[0]
    for shuffle in (True, False):
        replayed = store.batches(4000, seed=3, epoch=1, shuffle=shuffle, **options)
        decoded = store.batches(4000, seed=3, epoch=1, shuffle=shuffle, decoded=True, threads=2, **options)
        for a, b in zip(replayed, decoded, strict=True):
            assert list(a) == list(b)
            for name in a:
                assert a[name].dtype == b[name].dtype and a[name].shape == b[name].shape, name
                assert numpy.array_equal(a[name], b[name], equal_nan=a[name].dtype.kind == "f"), name


def lichess_extras(arrays: dict[str, numpy.ndarray], seed: int, eval_share: float) -> dict[str, numpy.ndarray]:
    """Clocks and evaluations as Lichess games carry them, per row: whole
    seconds (tenths under ten seconds), the other side's clock one row on,
    evaluations in hundredths in a share of the games with mate counts
    towards their ends, NaN where a game has none."""
    rng = numpy.random.default_rng(seed)
    n = len(arrays["game"])
    clock = numpy.empty(n, numpy.float32)
    opponent = numpy.empty(n, numpy.float32)
    evals = numpy.full(n, numpy.nan, numpy.float32)
    mate = numpy.zeros(n, numpy.int16)
    starts = numpy.flatnonzero(numpy.r_[True, arrays["game"][1:] != arrays["game"][:-1]])
    for first, end in zip(starts, numpy.r_[starts[1:], n]):
        plies = int(end - first + arrays["ply"][first])
        base = float(rng.choice([60, 180, 300, 600]))
        left = [base, base]
        rows_clock, rows_opponent = [], []
        for ply in range(plies):
            rows_clock.append(left[ply % 2])
            rows_opponent.append(left[1 - ply % 2])
            spent = max(0.0, left[ply % 2] - float(rng.integers(0, 15)))
            left[ply % 2] = round(spent, 1) if spent < 10 else spent
        if rng.random() < 0.1:
            rows_clock = [numpy.nan] * plies  # a game without clocks
            rows_opponent = rows_clock
        skip = int(arrays["ply"][first])
        clock[first:end] = numpy.array(rows_clock, numpy.float32)[skip:]
        opponent[first:end] = numpy.array(rows_opponent, numpy.float32)[skip:]
        if rng.random() < eval_share:
            cp = numpy.cumsum(rng.integers(-40, 41, end - first))
            evals[first:end] = numpy.array([numpy.float32(str(c / 100)) for c in cp])
            if end - first > 6 and rng.random() < 0.3:
                evals[end - 5:end] = numpy.nan
                mate[end - 5:end] = numpy.arange(5, 0, -1) * rng.choice([-1, 1])
    return {"clock": clock, "opponent_clock": opponent, "eval": evals, "mate": mate}


@pytest.mark.parametrize("eval_share", [0.0, 0.06, 1.0])
def test_lichess_extra_columns_are_encoded_small_and_come_back(sample: dict[str, numpy.ndarray],
                                                               eval_share: float) -> None:
    """Clocks and evaluations cost a byte or two a position, not the 14 of
    their columns; every value comes back bit for bit by index, in batches,
    as a whole, and from the stored arrays opened again."""
    extras = lichess_extras(sample, 3, eval_share)
    n = len(sample["planes"])
    store = _store.pack({**sample, **extras})
    assert store.fields == FIELDS + tuple(extras)
    assert store.encoded_extras == tuple(extras)
    encoded_bytes = sum(array.nbytes for array in store.extra_arrays.values())
    assert encoded_bytes / n <= 2.0 + 1.5 * eval_share
    rows = numpy.random.default_rng(4).integers(0, n, 5000)
    got = store.gather(rows)
    assert_rows(got, sample, rows)
    for name, column in extras.items():
        assert got[name].dtype == column.dtype and got[name].tobytes() == column[rows].tobytes(), name
        assert store.extras[name].tobytes() == column.tobytes(), name
    seen = {name: [] for name in ("game", "ply", *extras)}
    for batch in store.batches(700, seed=2, fields=["game", "ply", "eval", "clock", "mate", "opponent_clock"]):
        for name in seen:
            seen[name].append(batch[name])
    order = row_of(sample, numpy.concatenate(seen["game"]), numpy.concatenate(seen["ply"]))
    for name, column in extras.items():
        assert numpy.concatenate(seen[name]).tobytes() == column[order].tobytes(), name
    # Saved as the arrays it holds, opened again.
    saved = {name: numpy.array(array) for name, array in store.extra_arrays.items()}
    again = _store.Store(store.moves.copy(), store.keyframes.copy(), store.runs.copy(), saved,
                         encoded=store.encoded_extras)
    assert again.nbytes == store.nbytes
    got_again = again.gather(rows)
    for name in extras:
        assert got_again[name].tobytes() == got[name].tobytes(), name


def test_parts_encoded_and_kept_as_they_are_join(sample: dict[str, numpy.ndarray]) -> None:
    extras = lichess_extras(sample, 5, 0.06)
    n = len(sample["planes"])
    cut = int(numpy.searchsorted(sample["game"], 700))
    encoded = _store.pack({**{name: sample[name][:cut] for name in FIELDS},
                           **{name: column[:cut] for name, column in extras.items()}})
    base = _store.pack({name: sample[name][cut:] for name in FIELDS})
    plain = _store.Store(base.moves, base.keyframes, base.runs, {name: column[cut:] for name, column in extras.items()})
    assert plain.encoded_extras == () and len(encoded.encoded_extras) == 4
    joined = _store.Store.join([encoded, plain])
    rows = numpy.random.default_rng(6).integers(0, n, 4000)
    got = joined.gather(rows, fields=list(extras))
    for name, column in extras.items():
        assert got[name].tobytes() == column[rows].tobytes(), name
    with pytest.raises(ValueError, match="by part"):
        joined.extra_arrays


@pytest.mark.parametrize(
    ("damage", "message"),
    [
        (lambda b: b[:10], "shorter than its header"),
        (lambda b: numpy.r_[numpy.uint8(2), b[1:]], "an unknown version"),
        (lambda b: numpy.r_[b[:1], numpy.uint8(9), b[2:]], "an unknown kind"),
        (lambda b: b[:-1], "a block of no form or past its bytes|a block outside its bytes"),
        (lambda b: numpy.r_[b[:24], b[24:32] + 200, b[32:]], "a block outside its bytes"),
    ],
)
def test_damaged_encoded_columns_are_refused(sample: dict[str, numpy.ndarray], damage, message: str) -> None:
    extras = lichess_extras(sample, 7, 1.0)
    store = _store.pack({**sample, **extras})
    arrays = store.extra_arrays
    arrays["eval"] = numpy.ascontiguousarray(damage(arrays["eval"]), dtype=numpy.uint8)
    with pytest.raises(ValueError, match=f"extra column eval is damaged: ({message})"):
        _store.Store(store.moves, store.keyframes, store.runs, arrays, encoded=store.encoded_extras)
    with pytest.raises(ValueError, match="encoded names no extra column: elo"):
        _store.Store(store.moves, store.keyframes, store.runs, store.extra_arrays,
                     encoded=[*store.encoded_extras, "elo"])
