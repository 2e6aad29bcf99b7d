"""The encode job against what users and machines do to it: an OUTDIR holding
files of their own, a second job on the same OUTDIR, impatient Ctrl-C, a
stopped worker, arguments out of range. Each job runs in a subprocess with a
time limit; the ones stopped by signals run in their own process group."""

from __future__ import annotations

import json
import os
import resource
import signal
import subprocess
import sys
import time
from collections.abc import Callable, Iterator
from pathlib import Path

import pytest

import velmor_data
from test_encode_job import children, sample_text, tree, zombie
from velmor_data import _job

pytestmark = pytest.mark.skipif(bool(os.environ.get("VELMOR_SANITIZED")),
                                reason="the encode job is tested without the sanitizers' preload")

LOCK = ".velmor_data.lock"
ENCODE = [sys.executable, "-m", "velmor_data", "encode"]


def _limits() -> None:
    # No job here needs more; a runaway one fails instead of taking the machine.
    resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))


def run(*args: object, fault: str | None = None, timeout: float = 120) -> subprocess.CompletedProcess[str]:
    env = {key: value for key, value in os.environ.items() if key != "VELMOR_DATA_FAULT"}
    if fault:
        env["VELMOR_DATA_FAULT"] = fault
    return subprocess.run([*ENCODE, *map(str, args)], env=env, capture_output=True, text=True, timeout=timeout,
                          preexec_fn=_limits)


def start(*args: object, fault: str | None = None) -> subprocess.Popen[str]:
    """A job in a process group of its own, as a terminal runs it: Ctrl-C
    reaches the job and its workers."""
    env = {key: value for key, value in os.environ.items() if key != "VELMOR_DATA_FAULT"}
    if fault:
        env["VELMOR_DATA_FAULT"] = fault
    return subprocess.Popen([*ENCODE, *map(str, args)], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, start_new_session=True, preexec_fn=_limits)


def wait_for(condition: Callable[[], bool], process: subprocess.Popen[str], seconds: float = 60) -> None:
    deadline = time.monotonic() + seconds
    while not condition():
        if process.poll() is not None or time.monotonic() > deadline:
            process.kill()
            raise AssertionError(f"the job ended or stalled first: {process.communicate()}")
        time.sleep(0.001)


def has_temporary_shard(outdir: Path) -> Callable[[], bool]:
    def check() -> bool:
        try:
            return any(name.startswith(".tmp-shard-") for name in os.listdir(outdir))
        except FileNotFoundError:
            return False
    return check


def alive(pids: list[int]) -> list[int]:
    return [pid for pid in pids if os.path.exists(f"/proc/{pid}") and not zombie(pid)]


@pytest.fixture(scope="module")
def games(tmp_path_factory: pytest.TempPathFactory) -> Path:
    path = tmp_path_factory.mktemp("games") / "games.pgn"
    path.write_text(sample_text(400))
    return path


@pytest.fixture
def dataset(games: Path, tmp_path: Path) -> Path:
    """A dataset of two shards and a skipped list, as a user's OUTDIR holds it."""
    outdir = tmp_path / "dataset"
    bad = tmp_path / "bad.pgn"
    bad.write_text('[Event "bad"]\n\n1. e4 e5 2. Ke3 *\n\n')
    done = run(games, bad, "-o", outdir, "--shard-size", 30000, "--quiet")
    assert done.returncode == 0, done.stderr
    assert {"shard-000001", "skipped.jsonl"} <= set(os.listdir(outdir))
    return outdir


# -- --overwrite -------------------------------------------------------------


def _manifest_of_another_tool(outdir: Path) -> None:
    (outdir / "manifest.json").write_text('{"name": "my-project", "shards": []}')


@pytest.mark.parametrize("add", [
    lambda outdir: (outdir / "shard-backup-2024").mkdir() or (outdir / "shard-backup-2024" / "games.pgn").write_text("1. e4 *"),
    lambda outdir: (outdir / ".tmp-thesis").mkdir() or (outdir / ".tmp-thesis" / "ch1.tex").write_text("\\chapter{}"),
    lambda outdir: (outdir / "shard-000000" / "notes.txt").write_text("mine"),
    lambda outdir: (outdir / "shard-000007").mkdir(),     # a shard the manifest does not name
    lambda outdir: (outdir / ".tmp-shard-000000").mkdir() or (outdir / ".tmp-shard-000000" / "x.txt").write_text(""),
    lambda outdir: (outdir.parent / "precious").write_text("") or os.symlink(outdir.parent / "precious",
                                                                          outdir / ".tmp-skipped.jsonl"),
    _manifest_of_another_tool,
], ids=["shard-prefix", "tmp-prefix", "file-in-shard", "unnamed-shard", "file-in-temporary", "symlink",
        "foreign-manifest"])
def test_overwrite_refuses_what_the_manifest_does_not_name(dataset: Path, games: Path,
                                                           add: Callable[[Path], object]) -> None:
    add(dataset)
    before = tree(dataset), sorted(os.listdir(dataset)), sorted(os.listdir(dataset.parent))
    result = run(games, "-o", dataset, "--overwrite")
    assert result.returncode == 2, result.stderr
    assert "not part of the dataset" in result.stderr and "Traceback" not in result.stderr
    assert (tree(dataset), sorted(os.listdir(dataset)), sorted(os.listdir(dataset.parent))) == before


def test_overwrite_replaces_a_dataset_and_a_killed_jobs_leftovers(dataset: Path, games: Path) -> None:
    # What a job killed with SIGKILL leaves: its temporaries and its lock file.
    leftover = dataset / ".tmp-shard-000002"
    leftover.mkdir()
    for name in velmor_data.SCHEMA:
        (leftover / f"{name}.npy").write_bytes(b"\x93NUMPY")
    for name in ("moves.bin", "keyframes.bin", "runs.bin"):  # a shard of format 2 being made
        (leftover / f"part-000000000000.{name}").write_bytes(b"\0")
    (dataset / ".tmp-skipped.jsonl").write_text("{}\n")
    (dataset / ".tmp-manifest.json").write_text("{")
    (dataset / LOCK).write_text("")
    result = run(games, "-o", dataset, "--overwrite", "--quiet")
    assert result.returncode == 0, result.stderr
    manifest = json.loads((dataset / "manifest.json").read_text())
    assert sorted(os.listdir(dataset)) == sorted(["manifest.json", *(shard["path"] for shard in manifest["shards"])])
    assert manifest["inputs"][0]["path"] == str(games)


def test_overwrite_removes_no_file_made_while_the_workers_start(dataset: Path, games: Path) -> None:
    """The job decides what it removes before its workers start, and removes
    that alone: a file made meanwhile stays."""
    made: list[Path] = []

    def pool() -> _job.Pool:
        made.append(dataset / "notes.txt")
        made[0].write_text("written while the workers started")
        return _job.LocalPool(1)

    job = _job.Job([str(games)], str(dataset), pool_factory=pool, shard_size=30000, overwrite=True)
    summary = job.run()
    assert made and made[0].read_text() == "written while the workers started"
    assert len(velmor_data.open_dataset(dataset)) == summary.positions
    assert not (dataset / "skipped.jsonl").exists()


# -- a lock on OUTDIR ----------------------------------------------------------


@pytest.mark.parametrize("overwrite", [False, True])
def test_a_second_job_on_the_same_outdir_is_refused(games: Path, tmp_path: Path, overwrite: bool) -> None:
    outdir = tmp_path / "dataset"
    first = start(games, "-o", outdir, "--workers", 1, "--chunk-size", "4k", "--shard-size", 5000, "--quiet",
                  fault="slow:0.05")
    try:
        wait_for(has_temporary_shard(outdir), first)
        second = run(games, "-o", outdir, "--quiet", *(["--overwrite"] if overwrite else []))
        assert second.returncode == 2, second.stderr
        assert "another encode job" in second.stderr
        assert first.wait(timeout=120) == 0, first.communicate()
    finally:
        first.kill()
        first.communicate()
    reference = tmp_path / "reference"
    assert run(games, "-o", reference, "--shard-size", 5000, "--quiet").returncode == 0
    assert tree(outdir) == tree(reference)
    assert LOCK not in os.listdir(outdir)


# -- signals -----------------------------------------------------------------


@pytest.mark.parametrize("delay", [0.002, 0.01, 0.02, 0.035, 0.05])
def test_a_second_ctrl_c_does_not_stop_the_cleanup(games: Path, tmp_path: Path, delay: float) -> None:
    outdir = tmp_path / "dataset"
    job = start(games, "-o", outdir, "--workers", 2, "--chunk-size", "4k", "--shard-size", 3000,
                fault="slow:0.02")
    wait_for(lambda: (outdir / "shard-000000").exists(), job)
    os.killpg(job.pid, signal.SIGINT)
    time.sleep(delay)
    try:
        os.killpg(job.pid, signal.SIGINT)
    except ProcessLookupError:
        pass
    _, stderr = job.communicate(timeout=60)
    assert job.returncode == 130, stderr
    assert "interrupted; no dataset was written" in stderr and "Traceback" not in stderr
    assert not outdir.exists()


def test_a_signal_after_the_manifest_keeps_the_dataset(games: Path, tmp_path: Path) -> None:
    """Once the manifest is there the dataset is complete: the job says so and
    exits 0, whatever signal comes after."""
    outdir = tmp_path / "dataset"
    job = start(games, "-o", outdir, "--workers", 2, "--chunk-size", "4k", "--shard-size", 3000)
    wait_for(lambda: (outdir / "manifest.json").exists(), job)
    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGINT):
        try:
            os.killpg(job.pid, signum)
        except ProcessLookupError:
            break
        time.sleep(0.005)
    stdout, stderr = job.communicate(timeout=60)
    assert job.returncode == 0, stderr
    assert "Traceback" not in stderr and "no dataset was written" not in stderr
    manifest = json.loads((outdir / "manifest.json").read_text())
    assert len(velmor_data.open_dataset(outdir)) == manifest["positions"] > 0
    assert sorted(os.listdir(outdir)) == sorted(["manifest.json", *(shard["path"] for shard in manifest["shards"])])


@pytest.mark.parametrize(("signum", "status"), [(signal.SIGINT, 130), (signal.SIGTERM, 143)],
                         ids=["SIGINT", "SIGTERM"])
def test_a_stopped_worker_does_not_keep_the_job(games: Path, tmp_path: Path, signum: int, status: int) -> None:
    outdir = tmp_path / "dataset"
    job = start(games, "-o", outdir, "--workers", 2, "--chunk-size", "2k", "--shard-size", 3000,
                fault="slow:0.05")
    workers: list[int] = []
    try:
        wait_for(lambda: len(children(job.pid)) >= 2 and has_temporary_shard(outdir)(), job)
        workers = children(job.pid)
        os.kill(workers[0], signal.SIGSTOP)
        time.sleep(0.5)
        if signum == signal.SIGINT:
            os.killpg(job.pid, signum)
        else:
            job.send_signal(signum)
        _, stderr = job.communicate(timeout=20)
        assert job.returncode == status, stderr
        deadline = time.monotonic() + 10
        while alive(workers) and time.monotonic() < deadline:
            time.sleep(0.05)
        assert alive(workers) == []
        assert not outdir.exists()
    finally:
        for pid in alive(workers):
            os.kill(pid, signal.SIGKILL)
        job.kill()
        job.communicate()
