"""The dataset's positions in both formats, its batch loader, the PyTorch
path and the games table: each epoch delivers every position of a rank's
part once, in an order that spans every shard and is the same for the same
(seed, epoch), and each batch holds exactly the rows the encoder gave."""

from __future__ import annotations

import importlib.util
import os
import re
from pathlib import Path
from typing import Any

import numpy
import pytest

import velmor_data
from format1 import write_format_1
from velmor_data import _job, _worker

pytestmark = pytest.mark.skipif(bool(os.environ.get("VELMOR_SANITIZED")),
                                reason="the encode job is tested without the sanitizers' preload")

REPO_ROOT = Path(__file__).resolve().parents[2]
SAMPLE = REPO_ROOT / "data" / "sample-games.pgn.zst"
SHARD_SIZE = 700


def sample_text(games: int) -> str:
    import zstandard

    if not SAMPLE.exists():
        pytest.fail(f"{SAMPLE} is missing: scripts/make-sample-games writes it")
    with open(SAMPLE, "rb") as file:
        text = zstandard.ZstdDecompressor().stream_reader(file).read().decode()
    starts = [match.start() for match in re.finditer(r"(?m)^\[Event ", text)]
    return text[:starts[games]]


def same(a: Any, b: Any) -> bool:
    """Equal arrays, NaN equal to NaN (clocks and evaluations are NaN where unknown)."""
    return bool(numpy.array_equal(a, b, equal_nan=numpy.asarray(a).dtype.kind == "f"))


class InlinePool:
    """Workers that are ChunkEncoders in this process, answering at once:
    they see what the test changes in velmor_data."""

    def __init__(self, size: int) -> None:
        self.size = size
        self.encoders = [_worker.ChunkEncoder() for _ in range(size)]
        self.waiting: list[tuple[int, Any]] = []

    def send(self, worker: int, message: Any) -> None:
        self.waiting.append((worker, self.encoders[worker].handle(message)))

    def replies(self, timeout: float) -> list[tuple[int, Any]]:
        replies, self.waiting = self.waiting[::-1], []  # answered out of order
        return replies

    def close(self, abort: bool = False) -> None:
        pass


@pytest.fixture(scope="module")
def pgn(tmp_path_factory: pytest.TempPathFactory) -> Path:
    path = tmp_path_factory.mktemp("games") / "games.pgn"
    path.write_text(sample_text(40))
    return path


@pytest.fixture(scope="module")
def encoded(pgn: Path) -> velmor_data.EncodedGames:
    return velmor_data.encode_games(pgn)


@pytest.fixture(scope="module", params=[1, 2])
def dataset(request: pytest.FixtureRequest, pgn: Path, tmp_path_factory: pytest.TempPathFactory) -> Any:
    outdir = tmp_path_factory.mktemp(f"format{request.param}") / "dataset"
    if request.param == 1:
        write_format_1(pgn, outdir, SHARD_SIZE)
    else:
        _job.Job([str(pgn)], str(outdir), pool_factory=lambda: InlinePool(2), shard_size=SHARD_SIZE,
                 chunk_bytes=4096).run()
    opened = velmor_data.open_dataset(outdir)
    assert opened.format_version == request.param and len(opened.shards) > 3
    return opened


def test_both_formats_give_the_encoders_rows(dataset: Any, encoded: velmor_data.EncodedGames) -> None:
    arrays = encoded.arrays
    size = len(dataset)
    assert size == encoded.positions
    for index in (0, SHARD_SIZE - 1, SHARD_SIZE, size - 1, -1, -size):
        item = dataset[index]
        assert list(item) == list(velmor_data.SCHEMA)
        for name, value in item.items():
            assert value.shape == arrays[name].shape[1:] and same(value, arrays[name][index]), name
    for cut in (slice(SHARD_SIZE - 5, SHARD_SIZE + 5), slice(3, 2 * SHARD_SIZE + 40, 7), slice(None, None, -50),
                slice(5, 5), slice(size - 3, size + 10)):
        part = dataset[cut]
        for name in velmor_data.SCHEMA:
            assert same(part[name], arrays[name][cut]), (cut, name)
    for name in velmor_data.SCHEMA:
        assert same(dataset.array(name), arrays[name]), name
    rows = list(dataset)
    assert len(rows) == size
    for index in (0, SHARD_SIZE, size - 1):
        assert all(same(rows[index][name], arrays[name][index]) for name in velmor_data.SCHEMA)


def keys(batch: dict[str, numpy.ndarray]) -> numpy.ndarray:
    """Each position by (game, ply), which no two positions share."""
    return batch["game"].astype(numpy.int64) << 20 | batch["ply"].astype(numpy.int64)


@pytest.mark.parametrize(("shuffle", "world_size", "batch_size", "drop_last"),
                         [(True, 1, 256, False), (True, 3, 100, False), (False, 2, 333, True), (True, 4, 64, True)])
def test_an_epoch_delivers_each_position_of_a_part_once(dataset: Any, encoded: velmor_data.EncodedGames,
                                                        shuffle: bool, world_size: int, batch_size: int,
                                                        drop_last: bool) -> None:
    arrays = encoded.arrays
    where = {key: index for index, key in enumerate(keys(arrays))}
    part = len(dataset) // world_size
    seen = []
    for rank in range(world_size):
        batches = dataset.batches(batch_size, shuffle=shuffle, seed=7, epoch=2, drop_last=drop_last, rank=rank,
                                  world_size=world_size)
        got = list(batches)
        assert len(got) == len(batches)
        sizes = [len(batch["planes"]) for batch in got]
        assert all(size == batch_size for size in sizes[:-1]) and 0 < sizes[-1] <= batch_size
        assert sum(sizes) == (part - part % batch_size if drop_last else part)
        for batch in got[:3] + got[-1:]:
            assert list(batch) == list(velmor_data.SCHEMA)
            rows = numpy.array([where[key] for key in keys(batch)])
            for name in velmor_data.SCHEMA:
                assert same(batch[name], arrays[name][rows]), name
        seen.append(numpy.concatenate([keys(batch) for batch in got]))
    every = numpy.concatenate(seen)
    assert len(numpy.unique(every)) == len(every)  # no position twice, across ranks too
    if not shuffle:
        assert same(seen[0], keys(arrays)[:len(seen[0])])
    else:
        # The order spans every shard from the first batch on.
        first = numpy.array([where[key] for key in seen[0][:batch_size]]) // SHARD_SIZE
        assert len(set(first.tolist())) == len(dataset.shards)


def test_the_order_is_the_seeds_and_epochs(dataset: Any) -> None:
    def order(seed: int, epoch: int) -> numpy.ndarray:
        return numpy.concatenate([keys(batch) for batch in dataset.batches(500, seed=seed, epoch=epoch,
                                                                           fields=["game", "ply"])])

    again = order(1, 0)
    assert same(again, order(1, 0))
    for other in (order(1, 1), order(2, 0)):
        assert not same(again, other)
        assert same(numpy.sort(again), numpy.sort(other))


def test_fields(dataset: Any) -> None:
    batch = next(iter(dataset.batches(16, fields=["ply", "turn", "ply"])))
    assert list(batch) == ["planes", "turn", "ply"] and batch["planes"].shape == (16, 12, 8, 8)
    with pytest.raises(ValueError, match="unknown field 'whit_elo'; the fields are planes, turn"):
        dataset.batches(16, fields=["whit_elo"])
    with pytest.raises(TypeError, match="not a str"):
        dataset.batches(16, fields="ply")
    with pytest.raises(ValueError, match="rank must be below world_size"):
        dataset.batches(16, rank=2, world_size=2)
    with pytest.raises(ValueError):
        dataset.batches(0)


@pytest.mark.parametrize("options", [
    dict(fields=None),
    dict(fields=["game", "ply"], world_size=3, rank=1, drop_last=True),
    dict(fields=["game", "ply"], view="mover", history=3, policy="uci", legal_mask=True, packed_mask=True),
])
def test_threads_give_the_same_batches_in_the_same_order(dataset: Any, options: dict[str, Any]) -> None:
    if dataset.format_version == 1 and "view" in options:
        pytest.skip("the encodings are computed from format 2")
    train, _ = dataset.split(0.25)
    # Rows read from every row decoded (format 2) are the same batches too.
    ways = [dict(threads=1), dict(threads=3)] + [dict(threads=2, decoded=True)] * (dataset.format_version == 2)
    for loading in (dataset, train):
        expected = list(loading.batches(100, seed=5, **options))
        for way in ways:
            got = list(loading.batches(100, seed=5, **way, **options))
            assert len(got) == len(expected)
            for a, b in zip(got, expected):
                assert list(a) == list(b) and all(same(a[name], b[name]) for name in a)
        # Stopping early leaves nothing behind: the next epoch starts afresh.
        for batch, _ in zip(loading.batches(100, seed=5, threads=2, **options), range(2)):
            pass
        assert same(next(iter(loading.batches(100, seed=5, threads=2, **options)))["planes"], expected[0]["planes"])
    with pytest.raises(ValueError, match="threads must be at least 0"):
        dataset.batches(100, threads=-1)
    if dataset.format_version == 1:
        with pytest.raises(ValueError, match="is of format 1: .* decoded rows are computed from a dataset of format 2"):
            dataset.batches(100, decoded=True)


@pytest.mark.skipif(importlib.util.find_spec("torch") is None, reason="torch is not installed (the extra 'torch')")
@pytest.mark.parametrize("world_size", [1, 2])
def test_loader_workers_deliver_each_position_once(dataset: Any, world_size: int) -> None:
    """Each position of the rank's part once, every field as batches() gives
    it (a worker hands a batch over copied into one piece of shared memory)."""
    from torch.utils.data import DataLoader

    part = len(dataset) // world_size
    everything = []
    for rank in range(world_size):
        batches = dataset.torch_batches(100, seed=3, rank=rank, world_size=world_size)
        batches.set_epoch(1)
        loader = DataLoader(batches, batch_size=None, num_workers=2)
        got = [{name: tensor.numpy() for name, tensor in batch.items()} for batch in loader]
        keys_of_rank = numpy.concatenate([keys(batch) for batch in got])
        assert len(keys_of_rank) == part
        everything.append(keys_of_rank)
        # Worker by worker, the rank's part of the epoch as batches() gives it.
        expected_batches = list(dataset.batches(100, seed=3, epoch=1, rank=rank, world_size=world_size))
        expected = {name: numpy.concatenate([batch[name] for batch in expected_batches]) for name in expected_batches[0]}
        at = {key: index for index, key in enumerate(keys(expected))}
        assert sorted(at) == sorted(keys_of_rank.tolist())
        for batch in got:
            assert list(batch) == list(expected)
            rows = [at[key] for key in keys(batch).tolist()]
            for name, column in expected.items():
                assert batch[name].dtype == column.dtype and same(batch[name], column[rows]), name
    every = numpy.concatenate(everything)
    assert len(numpy.unique(every)) == len(every) == part * world_size


@pytest.mark.parametrize("options", [
    dict(view="mover", history=8, policy="alphazero", legal_mask=True),
    dict(history=2, policy="uci", packed_mask=True, legal_mask=True),
], ids=["leela-like", "uci-packed"])
def test_encoded_batches_are_encode_positions_of_the_rows(dataset: Any, encoded: velmor_data.EncodedGames,
                                                          options: dict[str, Any]) -> None:
    if dataset.format_version == 1:
        with pytest.raises(ValueError, match="is of format 1: view, history"):
            dataset.batches(64, **options)
        return
    reference = velmor_data.encode_positions(encoded.arrays, **options)
    where = {key: index for index, key in enumerate(keys(encoded.arrays))}
    train, _ = dataset.split(0.5, seed=1)
    for loading in (dataset, train):  # the native order, and a subset's
        for batch in loading.batches(200, seed=5, epoch=1, world_size=2, rank=1, **options):
            rows = numpy.array([where[key] for key in keys(batch)])
            for name, value in reference.items():
                assert same(batch[name], value[rows]), name


def unpacked_planes(planes: Any) -> Any:
    return numpy.unpackbits(planes, axis=-1, bitorder="little").reshape(*planes.shape, 8)


@pytest.mark.parametrize("options", [
    dict(),
    dict(view="mover", history=8, policy="alphazero", legal_mask=True, packed_mask=True),
], ids=["plain", "leela-like"])
def test_packed_planes_are_the_batches_planes_as_bits(dataset: Any, options: dict[str, Any]) -> None:
    """Batches of the same seed and epoch, with packed_planes and without:
    the same rows, the packed planes unpacked the planes, through batches()
    (the dataset and a subset of it) and torch_batches()."""
    if dataset.format_version == 1:
        with pytest.raises(ValueError, match="is of format 1: view, history"):
            dataset.batches(64, packed_planes=True, **options)
        return
    train, _ = dataset.split(0.5, seed=1)
    for loading in (dataset, train):
        pairs = zip(loading.batches(200, seed=5, epoch=1, world_size=2, rank=1, **options),
                    loading.batches(200, seed=5, epoch=1, world_size=2, rank=1, packed_planes=True, **options),
                    strict=True)
        for plain, packed in pairs:
            assert list(packed) == list(plain)
            assert packed["planes"].shape == (len(plain["planes"]), plain["planes"].shape[1], 8)
            assert same(unpacked_planes(packed["planes"]), plain["planes"])
            assert all(same(packed[name], plain[name]) for name in plain if name != "planes")
    if importlib.util.find_spec("torch") is None:
        return
    batches = dataset.torch_batches(200, seed=5, packed_planes=True, **options)
    batches.set_epoch(1)
    expected = dataset.batches(200, seed=5, epoch=1, packed_planes=True, **options)
    for tensors, batch in zip(batches, expected, strict=True):
        assert tensors["planes"].shape == batch["planes"].shape and str(tensors["planes"].dtype) == "torch.uint8"
        assert all(same(tensors[name].numpy(), batch[name]) for name in batch)


def test_the_games_table_is_stored_and_joined(pgn: Path, tmp_path: Path,
                                              encoded: velmor_data.EncodedGames) -> None:
    outdirs = []
    for workers, chunk_bytes in ((1, 1 << 20), (3, 3000)):
        outdir = tmp_path / f"dataset-{workers}"
        _job.Job([str(pgn)], str(outdir), pool_factory=lambda: InlinePool(workers), shard_size=SHARD_SIZE,
                 chunk_bytes=chunk_bytes).run()
        outdirs.append(outdir)
    # The same bytes whatever the workers and chunks, games tables and
    # encoded clocks included.
    files = sorted(path.relative_to(outdirs[0]) for path in outdirs[0].rglob("*") if path.is_file())
    assert any(path.name == "games.npy" for path in files)
    assert any(path.name == "extra-clock.bin" for path in files)
    assert files == sorted(path.relative_to(outdirs[1]) for path in outdirs[1].rglob("*") if path.is_file())
    assert all((outdirs[0] / path).read_bytes() == (outdirs[1] / path).read_bytes() for path in files)

    dataset = velmor_data.open_dataset(outdirs[1])
    games = dataset.games
    assert games is not None and list(games) == list(encoded.games)
    for name, column in encoded.games.items():
        assert same(games[name], column), name  # first_position: the dataset's positions, not the chunks'
    # Joined to each position by its game, read for the join alone unless asked for.
    assert list(next(iter(dataset.batches(8, fields=["ply", "white_elo"])))) == ["planes", "ply", "white_elo"]
    batches = list(dataset.batches(128, fields=["white_elo", "game"], seed=5, world_size=2, rank=1))
    elo = dict(zip(encoded.games["game"].tolist(), encoded.games["white_elo"].tolist()))
    assert all(batch["white_elo"].tolist() == [elo[game] for game in batch["game"].tolist()] for batch in batches)
    assert sum(len(batch["white_elo"]) for batch in batches) == len(dataset) // 2


def test_without_a_games_table(dataset: Any) -> None:
    if dataset.format_version == 2:
        pytest.skip("datasets of format 2 have their games table")
    assert dataset.games is None
    with pytest.raises(ValueError, match="unknown field 'white_elo'"):
        dataset.batches(8, fields=["white_elo"])


def sides(dataset: Any, fraction: float, seed: int = 0) -> dict[bytes, str]:
    """Each game, by its moves, and the side of the split it went to; no game
    on both sides, every position on one."""
    train, validation = dataset.split(fraction, seed)
    assert len(train) + len(validation) == len(dataset)
    assert not numpy.intersect1d(train.positions, validation.positions).size
    game = dataset.array("game")
    moves = numpy.stack([dataset.array(name).view(numpy.uint8) for name in ("move_from", "move_to",
                                                                            "move_promotion")], axis=1)
    out: dict[bytes, str] = {}
    for name, part in (("train", train), ("validation", validation)):
        numbers = numpy.unique(game[part.positions])
        for number in numbers:
            key = moves[game == number].tobytes()
            assert out.setdefault(key, name) == name, "a game on both sides"
        # Whole games only: every position of a game of this side is in it.
        assert len(part) == int(numpy.isin(game, numbers).sum())
    return out


def test_the_split_is_by_game_and_stable(dataset: Any, pgn: Path, tmp_path: Path) -> None:
    split = sides(dataset, 0.3)
    assert 0 < list(split.values()).count("validation") < len(split)
    # The same games among others, numbered otherwise, cut into other chunks
    # and shards: each goes the same way.
    more = tmp_path / "more.pgn"
    more.write_text(sample_text(60)[len(pgn.read_text()):] + pgn.read_text())
    other = tmp_path / "other"
    _job.Job([str(more)], str(other), pool_factory=lambda: InlinePool(3), shard_size=333, chunk_bytes=2000).run()
    again = sides(velmor_data.open_dataset(other), 0.3)
    assert all(again[key] == side for key, side in split.items())
    assert sides(dataset, 0.3, seed=1) != split
    assert set(sides(dataset, 0).values()) == {"train"} and set(sides(dataset, 1).values()) == {"validation"}


def test_a_side_loads_its_own_positions(dataset: Any, encoded: velmor_data.EncodedGames) -> None:
    train, validation = dataset.split(0.25, seed=4)
    where = {key: index for index, key in enumerate(keys(encoded.arrays))}
    got = numpy.concatenate([keys(batch) for batch in validation.batches(50, seed=2)])
    rows = numpy.array([where[key] for key in got])
    assert same(numpy.sort(rows), validation.positions.astype(numpy.int64))
    assert not same(rows, validation.positions.astype(numpy.int64))  # shuffled
    batch = next(iter(train.batches(64, shuffle=False, rank=1, world_size=2)))
    first = train.positions[len(train) // 2:len(train) // 2 + 64].astype(numpy.int64)
    assert same(batch["planes"], encoded.arrays["planes"][first])
    assert same(train[3]["planes"], encoded.arrays["planes"][int(train.positions[3])])
    with pytest.raises(ValueError, match="fraction must be a number from 0 to 1"):
        dataset.split(1.5)


@pytest.mark.parametrize(("damage", "says"), [
    (lambda table: table[:-1], r"holds \[\('game', '<i8'\), .*\[\d+\], its manifest says"),
    (lambda table: numpy.array([None] * len(table), dtype=object), r"holds \|O\[\d+\]"),
    (lambda table: table[["game", "plies"]].copy(), "its manifest says"),
], ids=["a game short", "objects", "a column missing"])
def test_a_damaged_games_table_does_not_open(pgn: Path, tmp_path: Path, damage: Any,
                                             says: str) -> None:
    outdir = tmp_path / "dataset"
    _job.Job([str(pgn)], str(outdir), pool_factory=lambda: InlinePool(1), shard_size=SHARD_SIZE).run()
    target = outdir / "shard-000001" / "games.npy"
    table = numpy.load(target)
    target.unlink()
    numpy.save(target, damage(table), allow_pickle=True)
    with pytest.raises(ValueError, match=says) as raised:
        velmor_data.open_dataset(outdir)
    assert repr(str(target)) in str(raised.value) and "\n" not in str(raised.value)
