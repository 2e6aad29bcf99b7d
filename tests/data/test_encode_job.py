"""The encode job end to end: `python -m velmor_data encode` in subprocesses,
the dataset it writes, and what it leaves when it fails or is interrupted."""

from __future__ import annotations

import errno
import gzip
import hashlib
import json
import os
import pickle
import pty
import re
import select
import signal
import subprocess
import sys
import time
from collections.abc import Iterator
from pathlib import Path

import numpy
import pytest

import velmor_data
from velmor_data import _ray, _stop

REPO_ROOT = Path(__file__).resolve().parents[2]
SAMPLE = REPO_ROOT / "data" / "sample-games.pgn.zst"

# The job's worker processes and Ray are tested in the plain run; under the
# sanitizers' preloaded runtime every spawned interpreter would inherit it.
pytestmark = pytest.mark.skipif(bool(os.environ.get("VELMOR_SANITIZED")),
                                reason="the encode job is tested without the sanitizers' preload")

ILLEGAL = '[Event "bad"]\n[WhiteElo "2000"]\n[BlackElo "2000"]\n\n1. e4 e5 2. Ke3 Nc6 *\n\n'
TRUNCATED = '[Event "cut"]\n\n1. d4 d5 2. c4 {an unfinished'


def sample_text(games: int) -> str:
    import zstandard

    with open(SAMPLE, "rb") as file:
        text = zstandard.ZstdDecompressor().stream_reader(file).read().decode()
    starts = [match.start() for match in re.finditer(r"(?m)^\[Event ", text)]
    return text[: starts[games]] if games < len(starts) else text


@pytest.fixture(scope="module")
def games(tmp_path_factory: pytest.TempPathFactory) -> dict[str, Path]:
    """Two inputs of different kinds; the second has two bad games among good ones."""
    if not SAMPLE.exists():
        pytest.fail(f"{SAMPLE} is missing: scripts/make-sample-games writes it")
    folder = tmp_path_factory.mktemp("games")
    text = sample_text(160)
    half = len(text) // 2
    half = text.index("\n[Event ", half) + 1
    first = folder / "first.pgn"
    first.write_text(text[:half])
    second = folder / "second.pgn.gz"
    second.write_bytes(gzip.compress((text[half:] + ILLEGAL + text[half:] + TRUNCATED).encode()))
    return {"first": first, "second": second}


def encode(*args: object, fault: str | None = None, check: bool = True, **kwargs: object) -> subprocess.CompletedProcess:
    env = dict(kwargs.pop("env", os.environ))  # type: ignore[call-overload]
    env.pop("VELMOR_DATA_FAULT", None)
    if fault:
        env["VELMOR_DATA_FAULT"] = fault
    result = subprocess.run([sys.executable, "-m", "velmor_data", "encode", *map(str, args)], env=env,
                            capture_output=True, text=True, timeout=600, **kwargs)
    if check and result.returncode != 0:
        raise AssertionError(f"exit {result.returncode}\n{result.stdout}\n{result.stderr}")
    return result


def tree(path: Path) -> dict[str, bytes]:
    return {str(file.relative_to(path)): file.read_bytes() for file in sorted(path.rglob("*")) if file.is_file()}


def assert_no_dataset(outdir: Path) -> None:
    """A failed job leaves nothing: no manifest and no files of its own."""
    assert not outdir.exists() or list(outdir.iterdir()) == []


@pytest.fixture(scope="module")
def reference(games: dict[str, Path], tmp_path_factory: pytest.TempPathFactory) -> Path:
    outdir = tmp_path_factory.mktemp("reference") / "dataset"
    encode(games["first"], games["second"], "-o", outdir, "--workers", 1, "--shard-size", 1000,
           "--chunk-size", "8k")
    return outdir


def test_dataset_holds_what_encode_games_gives(games: dict[str, Path], reference: Path) -> None:
    """The shards, read back, equal encoding each input whole, with game
    numbers running on across inputs."""
    dataset = velmor_data.open_dataset(reference)
    first = velmor_data.encode_games(games["first"])
    second = velmor_data.encode_games(games["second"], first_index=first.games_read)
    assert len(dataset) == first.positions + second.positions
    for name in velmor_data.SCHEMA:
        whole = dataset.array(name)
        expected = numpy.concatenate([first.arrays[name], second.arrays[name]])
        assert whole.dtype == expected.dtype and numpy.array_equal(whole, expected, equal_nan=True), name

    manifest = json.loads((reference / "manifest.json").read_text())
    assert [shard["positions"] for shard in manifest["shards"]][:-1] == [1000] * (len(manifest["shards"]) - 1)
    assert list(manifest["schema"]) == list(velmor_data.SCHEMA)
    entries = manifest["inputs"]
    for entry, path, batch in zip(entries, games.values(), (first, second)):
        assert entry["size"] == path.stat().st_size
        assert entry["sha256"] == hashlib.sha256(path.read_bytes()).hexdigest()
        assert (entry["games_read"], entry["positions"]) == (batch.games_read, batch.positions)
    assert entries[1]["first_game"] == first.games_read
    counts = manifest["games"]
    kinds = sorted(error.kind for error in second.skipped)
    assert counts["skipped"] == len(kinds) == 2
    assert counts["skipped_by_kind"] == {kind: kinds.count(kind) for kind in kinds}
    assert counts["read"] == first.games_read + second.games_read
    # Skipped games are numbered as the dataset's game array numbers games,
    # across all inputs, as their own messages say.
    skipped = [json.loads(line) for line in (reference / "skipped.jsonl").read_text().splitlines()]
    assert [(entry["input"], entry["game"], entry["line"], entry["kind"]) for entry in skipped] == [
        (str(games["second"]), error.index, error.line, error.kind) for error in second.skipped]
    assert all(entry["game"] > first.games_read and f"game {entry['game']}," in entry["message"]
               for entry in skipped)


# Workers are forked from a job without threads; two BLAS threads make the
# job spawn them instead.
@pytest.mark.parametrize(("workers", "chunk", "sync", "blas"),
                         [(2, "8k", False, "1"), (3, "3k", False, "1"), (2, "1m", True, "1"), (2, "8k", False, "2")])
def test_same_bytes_whatever_the_workers(games: dict[str, Path], reference: Path, tmp_path: Path,
                                         workers: int, chunk: str, sync: bool, blas: str) -> None:
    outdir = tmp_path / "dataset"
    encode(games["first"], games["second"], "-o", outdir, "--workers", workers, "--shard-size", 1000,
           "--chunk-size", chunk, "--quiet", *(["--sync"] if sync else []),
           env=dict(os.environ, OPENBLAS_NUM_THREADS=blas))
    assert tree(outdir) == tree(reference)


def test_workers_end_with_a_killed_job(games: dict[str, Path], tmp_path: Path) -> None:
    """Each worker must see its pipe close, even though a forked worker got
    copies of the job's ends of every pipe made before it."""
    process = subprocess.Popen([sys.executable, "-m", "velmor_data", "encode", str(games["first"]), "-o",
                                str(tmp_path / "dataset"), "--workers", "3", "--chunk-size", "2k", "--quiet"],
                               env=dict(os.environ, VELMOR_DATA_FAULT="slow:0.2"), stderr=subprocess.PIPE)
    deadline = time.monotonic() + 60
    while len(workers := children(process.pid)) < 3:
        assert process.poll() is None and time.monotonic() < deadline
        time.sleep(0.05)
    process.kill()
    process.wait()
    process.stderr.close()
    while any(os.path.exists(f"/proc/{pid}") and not zombie(pid) for pid in workers):
        assert time.monotonic() < deadline, f"workers {workers} outlived the job"
        time.sleep(0.05)


def children(pid: int) -> list[int]:
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as file:
                    if int(file.read().rpartition(")")[2].split()[1]) == pid:
                        found.append(int(entry))
            except OSError:
                pass
    return found


def zombie(pid: int) -> bool:
    try:
        with open(f"/proc/{pid}/stat") as file:
            return file.read().rpartition(")")[2].split()[0] == "Z"
    except OSError:
        return False


def test_dataset_access(reference: Path) -> None:
    dataset = velmor_data.open_dataset(reference)
    size = len(dataset)
    planes = dataset.array("planes")
    assert planes.shape == (size, 12, 8, 8)
    # One position, from the second shard, and the last by a negative index.
    for index in (1000, 1001, size - 1, -1):
        item = dataset[index]
        assert set(item) == set(velmor_data.SCHEMA)
        assert numpy.array_equal(item["planes"], planes[index])
        assert item["game"].shape == () and item["castling"].shape == (4,)
        assert item["planes"].flags.writeable  # a copy, which torch wraps without a warning
    with pytest.raises(IndexError):
        dataset[size]
    # A slice across a shard boundary.
    part = dataset[990:1010]
    assert numpy.array_equal(part["ply"], dataset.array("ply")[990:1010])
    # Shards are read-only memory maps of the store's files.
    shard = dataset.shards[1]["moves"]
    assert isinstance(shard, numpy.memmap) and not shard.flags.writeable
    assert numpy.array_equal(numpy.fromfile(reference / "shard-000001" / "moves.bin", "<u2"), shard)
    # Loader worker processes get the path and map the files themselves.
    again = pickle.loads(pickle.dumps(dataset))
    assert len(again) == size and numpy.array_equal(again[5]["planes"], dataset[5]["planes"])


def test_a_data_loader_takes_the_dataset(reference: Path) -> None:
    """What torch's DataLoader does with a map-style dataset: sample indices,
    fetch items, collate each key by stacking (with torch when it is there)."""
    dataset = velmor_data.open_dataset(reference)
    try:
        import torch
        from torch.utils.data import DataLoader
    except ImportError:
        order = numpy.random.default_rng(1).permutation(len(dataset))[:64]
        items = [dataset[int(i)] for i in order]
        batch = {name: numpy.stack([item[name] for item in items]) for name in items[0]}
    else:
        loader = DataLoader(dataset, batch_size=64, shuffle=True, num_workers=2)
        batch = {name: value.numpy() for name, value in next(iter(loader)).items()}
        assert isinstance(next(iter(loader))["planes"], torch.Tensor)
    assert batch["planes"].shape == (64, 12, 8, 8) and batch["planes"].dtype == numpy.uint8
    assert batch["move_to"].shape == (64,) and batch["castling"].shape == (64, 4)


def test_min_elo_keeps_games_of_rated_players(games: dict[str, Path], tmp_path: Path) -> None:
    outdir = tmp_path / "strong"
    encode(games["first"], "-o", outdir, "--min-elo", 1900, "--quiet")
    batch = velmor_data.encode_games(games["first"], min_elo=1900)
    manifest = json.loads((outdir / "manifest.json").read_text())
    assert 0 < manifest["games"]["encoded"] < manifest["games"]["read"]
    assert manifest["games"]["filtered"] == batch.games_filtered > 0
    assert numpy.array_equal(velmor_data.open_dataset(outdir).array("game"), batch.arrays["game"])


def test_manifest_counts_dropped_castling_rights(tmp_path: Path) -> None:
    # Exported studies give rights whose king or rook is not at home: read
    # without them, and counted per input and in all.
    study = '[FEN "4k3/8/8/8/8/8/8/4K3 w KQkq - 0 1"]\n\n1. Kd2 Kd7 *\n\n1. e4 e5 *\n'
    source = tmp_path / "studies.pgn"
    source.write_text(study * 3)
    encode(source, "-o", tmp_path / "out", "--quiet")
    manifest = json.loads((tmp_path / "out" / "manifest.json").read_text())
    assert manifest["games"]["castling_dropped"] == manifest["inputs"][0]["castling_dropped"] == 3
    assert manifest["games"]["encoded"] == 6


def test_summary_and_quiet(games: dict[str, Path], tmp_path: Path) -> None:
    result = encode(games["second"], "-o", tmp_path / "a")
    summary = result.stdout.strip().splitlines()
    assert len(summary) == 1 and "skipped (" in summary[0] and "positions/s" in summary[0]
    assert str(tmp_path / "a") in summary[0]
    assert "positions/s" not in result.stderr  # no progress bar when stderr is not a terminal
    quiet = encode(games["second"], "-o", tmp_path / "b", "--quiet")
    assert quiet.stdout == quiet.stderr == ""


def test_progress_bar_on_a_terminal(games: dict[str, Path], tmp_path: Path) -> None:
    master, slave = pty.openpty()
    try:
        process = subprocess.Popen([sys.executable, "-m", "velmor_data", "encode", str(games["first"]),
                                    "-o", str(tmp_path / "d"), "--chunk-size", "4k"],
                                   stdout=subprocess.DEVNULL, stderr=slave)
        os.close(slave)
        shown = b""
        while True:
            ready, _, _ = select.select([master], [], [], 60)
            try:
                block = os.read(master, 4096) if ready else b""
            except OSError:  # the terminal closes with the process
                block = b""
            if not block:
                break
            shown += block
        assert process.wait(timeout=60) == 0
    finally:
        os.close(master)
    assert b"positions/s" in shown and b"games" in shown


@pytest.mark.parametrize(("args", "message"), [
    (["missing.pgn"], "no such file"),
    (["{first}", "--workers", "0"], "must be at least 1"),
    (["{first}", "--shard-size", "many"], "not a whole number"),
    (["{first}", "--errors", "ignore"], "invalid choice"),
    (["notes.txt"], "not a game collection"),
    (["{first}", "--shard-size", "9" * 40], "--shard-size: must be at most 1,000,000,000,000"),
    (["{first}", "--chunk-size", "9" * 40], "--chunk-size: must be at most 1g"),
    (["{first}", "--chunk-size", "2g"], "--chunk-size: must be at most 1g"),
    (["{first}", "--min-elo", "9" * 40], "--min-elo: must be at most 999,999,999"),
    (["{first}", "--min-elo", "-1"], "--min-elo: must be at least 0, not -1"),
    (["{first}", "--min-elo", "1" + "0" * 5000], "--min-elo: must be at most 999,999,999"),
    (["{first}", "--workers", "9" * 40], "--workers: must be at most 4,096"),
], ids=["missing", "workers-0", "shard-size-word", "errors", "not-pgn", "shard-size-huge", "chunk-size-huge",
        "chunk-size-2g", "min-elo-huge", "min-elo-negative", "min-elo-5000-digits", "workers-huge"])
def test_bad_arguments_exit_2(games: dict[str, Path], tmp_path: Path, args: list[str], message: str) -> None:
    (tmp_path / "notes.txt").write_text("")
    args = [arg.format(first=games["first"]) for arg in args]
    result = encode(*args, "-o", tmp_path / "out", check=False, cwd=tmp_path)
    assert result.returncode == 2 and message in result.stderr, result.stderr
    assert "Traceback" not in result.stderr
    assert_no_dataset(tmp_path / "out")


def test_existing_output_needs_overwrite(games: dict[str, Path], tmp_path: Path) -> None:
    outdir = tmp_path / "dataset"
    encode(games["first"], "-o", outdir, "--quiet")
    before = tree(outdir)
    refused = encode(games["second"], "-o", outdir, check=False)
    assert refused.returncode == 2 and "--overwrite" in refused.stderr
    assert tree(outdir) == before
    encode(games["second"], "-o", outdir, "--overwrite", "--quiet")
    assert json.loads((outdir / "manifest.json").read_text())["inputs"][0]["path"] == str(games["second"])
    assert not any(name.startswith(".tmp-") for name in os.listdir(outdir))
    # A directory with files of its own is never emptied, even with --overwrite.
    (outdir / "notes.txt").write_text("mine")
    foreign = encode(games["first"], "-o", outdir, "--overwrite", check=False)
    assert foreign.returncode == 2 and "notes.txt" in foreign.stderr
    assert (outdir / "manifest.json").exists()


def test_errors_raise_stops_at_the_first_bad_game(games: dict[str, Path], tmp_path: Path) -> None:
    outdir = tmp_path / "dataset"
    result = encode(games["first"], games["second"], "-o", outdir, "--errors", "raise", "--chunk-size", "2k",
                    check=False)
    first = velmor_data.encode_games(games["first"])
    error = velmor_data.encode_games(games["second"], first_index=first.games_read).skipped[0]
    assert result.returncode == 1
    assert f"game {error.index} (line {error.line})" in result.stderr and str(games["second"]) in result.stderr
    assert first.games_read > 0
    assert_no_dataset(outdir)


@pytest.mark.parametrize(("fault", "message"), [
    ("crash:3", "worker process"),
    ("raise:3", "injected failure in chunk 3"),
    ("enospc:3", "No space left on device"),
])
def test_a_failing_worker_leaves_no_dataset(games: dict[str, Path], tmp_path: Path, fault: str, message: str) -> None:
    outdir = tmp_path / "dataset"
    result = encode(games["first"], "-o", outdir, "--workers", 2, "--chunk-size", "4k", "--shard-size", 500,
                    fault=fault, check=False)
    assert result.returncode == 1, result.stderr
    assert message in result.stderr and "no dataset was written" in result.stderr
    assert_no_dataset(outdir)


@pytest.fixture
def small_disk(tmp_path: Path) -> Iterator[Path]:
    """A tmpfs of 8 pages, where the shards' files do not fit."""
    mount = tmp_path / "disk"
    mount.mkdir()
    made = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=32k", "tmpfs", str(mount)], capture_output=True)
    if made.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here ({made.stderr.decode().strip()}); "
                    "the injected write failure covers a full disk")
    try:
        yield mount
    finally:
        subprocess.run(["umount", str(mount)], check=True)


def test_a_full_disk_leaves_no_dataset(games: dict[str, Path], small_disk: Path) -> None:
    outdir = small_disk / "dataset"
    result = encode(games["first"], "-o", outdir, "--chunk-size", "4k", "--shard-size", 500, check=False)
    assert result.returncode == 1
    assert os.strerror(errno.ENOSPC) in result.stderr
    assert_no_dataset(outdir)


@pytest.mark.parametrize(("signum", "status", "said"), [(signal.SIGINT, 130, "interrupted"),
                                                        (signal.SIGTERM, 143, "terminated")])
def test_ctrl_c_leaves_no_dataset(games: dict[str, Path], tmp_path: Path, signum: int, status: int,
                                  said: str) -> None:
    outdir = tmp_path / "dataset"
    env = dict(os.environ, VELMOR_DATA_FAULT="slow:0.3")
    process = subprocess.Popen([sys.executable, "-m", "velmor_data", "encode", str(games["first"]), "-o",
                                str(outdir), "--workers", "2", "--chunk-size", "2k", "--shard-size", "200"],
                               env={k: str(v) for k, v in env.items()}, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True, start_new_session=True)
    # Interrupt once the first shard is complete, as a user would part-way.
    deadline = time.monotonic() + 120
    while not (outdir / "shard-000000").exists():
        assert process.poll() is None and time.monotonic() < deadline, process.communicate()
        time.sleep(0.05)
    # Ctrl-C in a terminal reaches the job and its workers, its process group;
    # a scheduler's SIGTERM reaches the job alone.
    if signum == signal.SIGINT:
        os.killpg(process.pid, signum)
    else:
        process.send_signal(signum)
    stdout, stderr = process.communicate(timeout=60)
    assert process.returncode == status, stderr
    assert said in stderr and "Traceback" not in stderr
    assert_no_dataset(outdir)


@pytest.fixture(scope="module")
def ray_head(tmp_path_factory: pytest.TempPathFactory) -> Iterator[str]:
    """A local Ray of two CPUs on the loopback, started for these tests and
    stopped with them; its address is what --ray takes for a cluster."""
    pytest.importorskip("ray", reason="Ray is the optional extra 'ray'")
    env = dict(os.environ, RAY_AUTH_MODE="disabled", RAY_USAGE_STATS_ENABLED="0")
    script = (
        "import sys, ray\n"
        "ray.init(num_cpus=2, include_dashboard=False, logging_level='ERROR', _node_ip_address='127.0.0.1',"
        f" _temp_dir={str(tmp_path_factory.mktemp('ray'))!r})\n"
        "print(ray.get_runtime_context().gcs_address, flush=True)\n"
        "sys.stdin.read()\n"
        "ray.shutdown()\n"
    )
    head = subprocess.Popen([sys.executable, "-c", script], env=env, stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True)
    try:
        address = head.stdout.readline().strip()
        assert address, "the Ray head did not start"
        yield address
    finally:
        head.stdin.close()
        try:
            head.wait(timeout=60)
        except subprocess.TimeoutExpired:
            head.kill()
            head.wait()
        head.stdout.close()


def test_ray_cluster_writes_the_same_dataset(games: dict[str, Path], reference: Path, tmp_path: Path,
                                             ray_head: str, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setenv("RAY_AUTH_MODE", "disabled")
    monkeypatch.setenv("RAY_USAGE_STATS_ENABLED", "0")
    outdir = tmp_path / "dataset"
    result = encode(games["first"], games["second"], "-o", outdir, "--ray", ray_head, "--shard-size", 1000,
                    "--chunk-size", "8k")
    assert "positions/s" in result.stdout
    assert tree(outdir) == tree(reference)


@pytest.mark.parametrize("stop", [KeyboardInterrupt, _stop.Terminated])
def test_a_stop_inside_a_ray_call_comes_out_as_itself(stop: type[BaseException]) -> None:
    """Ray's native wait runs the job's signal handler and wraps the stop it
    raises in a SystemError; the job must see the stop, to end as after any
    signal (a SIGTERM in ray.wait once ended the job with status 1 and a
    traceback, not 143 and its message)."""

    class Ray:
        class exceptions:
            RayError = RuntimeError

        @staticmethod
        def wait(refs: list[object], num_returns: int, timeout: float) -> object:
            try:
                raise stop()
            except BaseException as raised:
                raise SystemError("wait returned a result with an exception set") from raised

    pool = object.__new__(_ray.RayPool)
    pool._ray, pool._pending = Ray, {"ref": 0}
    with pytest.raises(stop):
        pool.replies(timeout=0.1)
    # A SystemError of Ray's own stays one.
    stop = ValueError
    with pytest.raises(SystemError):
        pool.replies(timeout=0.1)


def test_ray_job_stopped_by_sigterm_leaves_no_dataset(tmp_path: Path, ray_head: str) -> None:
    """Ray's own SIGTERM handler exits at once, with status 15; the job's
    stays, so the job cleans up and says so, as without Ray."""
    source = tmp_path / "games.pgn"
    source.write_text(sample_text(3000))
    outdir = tmp_path / "dataset"
    env = dict(os.environ, RAY_AUTH_MODE="disabled", RAY_USAGE_STATS_ENABLED="0")
    process = subprocess.Popen([sys.executable, "-m", "velmor_data", "encode", str(source), str(source), "-o",
                                str(outdir), "--ray", ray_head, "--chunk-size", "4k"],
                               env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 120
    while not (outdir.exists() and any(name.startswith(".tmp-shard") for name in os.listdir(outdir))):
        assert process.poll() is None and time.monotonic() < deadline, process.communicate()
        time.sleep(0.001)
    process.send_signal(signal.SIGTERM)
    _, stderr = process.communicate(timeout=60)
    assert process.returncode == 143, stderr
    assert "terminated; no dataset was written" in stderr
    assert_no_dataset(outdir)
