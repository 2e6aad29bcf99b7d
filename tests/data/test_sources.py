"""Sources that end early or are damaged, closing a reader another thread
iterates, and skipped games counted without keeping them."""

from __future__ import annotations

import bz2
import gzip
import io
import os
import pickle
import resource
import struct
import subprocess
import sys
import textwrap
import threading
from collections.abc import Callable
from pathlib import Path

import numpy
import pytest
import zstandard

import velmor_data
from pgn_text import collection

REPO_ROOT = Path(__file__).resolve().parents[2]
SAMPLE = REPO_ROOT / "data" / "sample-games.pgn.zst"

pytestmark = pytest.mark.skipif(bool(os.environ.get("VELMOR_SANITIZED")),
                                reason="subprocesses are run without the sanitizers' preload")

COMPRESS: dict[str, Callable[[bytes], bytes]] = {
    ".gz": gzip.compress,
    ".bz2": bz2.compress,
    ".zst": zstandard.ZstdCompressor().compress,
}
FORMAT = {".gz": "gzip", ".bz2": "bzip2", ".zst": "zstd"}


@pytest.fixture(scope="module")
def text() -> bytes:
    """Games enough for several compressed blocks of every format."""
    return "".join(game.ours for game in collection(3, 600)).encode()


@pytest.fixture(scope="module")
def whole(text: bytes) -> velmor_data.EncodedGames:
    return velmor_data.encode_games(text)


def reads(source: object) -> list[Callable[[], object]]:
    """The three ways the library reads a source."""
    return [
        lambda: velmor_data.encode_games(source),
        lambda: list(velmor_data.read_games(source)),
        lambda: list(velmor_data.split_games(source)),
    ]


def run_isolated(code: str, timeout: float = 120) -> subprocess.CompletedProcess:
    """Runs code in a fresh interpreter with 2 GiB of address space."""
    def limit() -> None:
        resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))

    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout, preexec_fn=limit)


# ---- compressed sources that end early --------------------------------------


@pytest.mark.parametrize("suffix", list(COMPRESS))
@pytest.mark.parametrize("cut", ["half", "one byte", "all"])
def test_a_compressed_source_cut_short_is_refused_naming_the_file(tmp_path: Path, text: bytes,
                                                                  suffix: str, cut: str) -> None:
    data = COMPRESS[suffix](text)
    kept = {"half": len(data) // 2, "one byte": len(data) - 1, "all": 0}[cut]
    path = tmp_path / f"games.pgn{suffix}"
    path.write_bytes(data[:kept])
    for read in reads(path):
        with pytest.raises(velmor_data.SourceError) as raised:
            read()
        error = raised.value
        assert isinstance(error, OSError) and error.filename == str(path)
        assert str(error).startswith(f"{path}: truncated: ") and FORMAT[suffix] in str(error)
        assert "\n" not in str(error)
        again = pickle.loads(pickle.dumps(error))
        assert type(again) is velmor_data.SourceError and str(again) == str(error)


def flip(data: bytes, at: int) -> bytes:
    return data[:at] + bytes([data[at] ^ 0xFF]) + data[at + 1:]


@pytest.mark.parametrize(
    ("name", "damage", "message"),
    [
        ("flipped.pgn.gz", lambda data: flip(data, len(data) // 2), "corrupt gzip data"),
        ("garbage.pgn.gz", lambda data: data + b"not gzip", "corrupt gzip data"),
        ("deflate.pgn.gz", lambda data: data[:10] + b"\xff" * 64 + data[74:], "corrupt gzip data"),
        ("flipped.pgn.bz2", lambda data: flip(data, len(data) // 2), "corrupt bzip2 data"),
        ("garbage.pgn.bz2", lambda data: data + b"not bzip2" + data, "corrupt bzip2 data"),
        ("garbage.pgn.zst", lambda data: data + b"not zstd", "corrupt zstd data"),
        ("padded.pgn.zst", lambda data: data + bytes(8), "corrupt zstd data"),
        ("plain.pgn.zst", lambda data: b"[Event \"not compressed\"]\n\n1. e4 *\n", "corrupt zstd data"),
        # A second frame whose one block is of the reserved type.
        ("reserved.pgn.zst", lambda data: data + b"\x28\xb5\x2f\xfd\x00\x00\x07\x00\x00", "corrupt zstd data"),
    ],
)
def test_a_damaged_compressed_source_is_refused_naming_the_file(tmp_path: Path, text: bytes, name: str,
                                                               damage: Callable[[bytes], bytes],
                                                               message: str) -> None:
    suffix = "." + name.rsplit(".", 1)[1]
    path = tmp_path / name
    path.write_bytes(damage(COMPRESS[suffix](text)))
    for read in reads(path):
        with pytest.raises(velmor_data.SourceError) as raised:
            read()
        assert str(raised.value).startswith(f"{path}: {message}")
        assert "\n" not in str(raised.value)


def zstd_frames(text: bytes) -> bytes:
    """Several frames, one with a checksum and one with the content size left
    out, with a skippable frame between them: all of it a complete stream."""
    third = len(text) // 3
    checked = zstandard.ZstdCompressor(write_checksum=True, write_content_size=True)
    unsized = zstandard.ZstdCompressor(write_content_size=False)
    skippable = struct.pack("<II", 0x184D2A5E, 5) + b"skip!"
    streamed = io.BytesIO()
    with zstandard.ZstdCompressor(level=3).stream_writer(streamed, closefd=False) as writer:
        writer.write(text[2 * third:])
    return checked.compress(text[:third]) + skippable + unsized.compress(text[third:2 * third]) + streamed.getvalue()


@pytest.mark.parametrize(
    ("suffix", "compress"),
    [
        (".zst", zstd_frames),
        (".zst", lambda text: zstandard.ZstdCompressor(write_checksum=True).compress(text)),
        (".gz", lambda text: gzip.compress(text[:1000]) + gzip.compress(text[1000:])),
        (".bz2", lambda text: bz2.compress(text[:5000]) + bz2.compress(text[5000:])),
    ],
)
def test_complete_compressed_sources_of_many_parts_are_read_whole(tmp_path: Path, text: bytes,
                                                                  whole: velmor_data.EncodedGames,
                                                                  suffix: str, compress) -> None:
    path = tmp_path / f"games.pgn{suffix}"
    path.write_bytes(compress(text))
    batch = velmor_data.encode_games(path)
    assert (batch.positions, batch.games_read) == (whole.positions, whole.games_read)
    for name in velmor_data.SCHEMA:
        assert numpy.array_equal(batch[name], whole[name], equal_nan=True), name


@pytest.mark.parametrize("suffix", list(COMPRESS))
def test_a_compressed_empty_text_is_no_truncation(tmp_path: Path, suffix: str) -> None:
    path = tmp_path / f"games.pgn{suffix}"
    path.write_bytes(COMPRESS[suffix](b""))
    assert velmor_data.encode_games(path).games_read == 0


@pytest.mark.parametrize("suffix", [".pgn.zst", ".pgn.gz", ".pgn.bz2"])
def test_the_job_refuses_a_truncated_input(tmp_path: Path, suffix: str) -> None:
    """No dataset that looks complete from half an input: exit 1, no manifest,
    one line naming the input and saying it is truncated."""
    if not SAMPLE.exists():
        pytest.fail(f"{SAMPLE} is missing: scripts/make-sample-games writes it")
    data = SAMPLE.read_bytes()
    if suffix != ".pgn.zst":
        text = zstandard.ZstdDecompressor().stream_reader(io.BytesIO(data)).read()
        data = COMPRESS[suffix[4:]](text)
    path = tmp_path / f"sample{suffix}"
    path.write_bytes(data[: len(data) // 2])
    outdir = tmp_path / "dataset"
    result = subprocess.run([sys.executable, "-m", "velmor_data", "encode", str(path), "-o", str(outdir)],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 1, result.stderr
    assert not outdir.exists() or list(outdir.iterdir()) == []
    assert "Traceback" not in result.stderr
    assert f"input {str(path)!r}: truncated: the {FORMAT[suffix[4:]]} stream is cut off" in result.stderr


# ---- encode_fens: the index in every message -----------------------------------


def test_encode_fens_names_the_index_of_a_text_that_is_not_unicode() -> None:
    fens = ["8/8/8/8/8/8/8/8 w - -", "8/8/8/8/8/8/8/8 w - \ud800"]
    with pytest.raises(UnicodeEncodeError) as raised:
        velmor_data.encode_fens(fens)
    error = raised.value
    assert type(error) is UnicodeEncodeError
    assert (error.encoding, error.object, error.start, error.end) == ("utf-8", fens[1], 20, 21)
    assert "fens[1]: surrogates not allowed" in str(error)


# ---- skipped games: counted, kept only when asked for -----------------------------


def test_skipped_games_are_counted_by_kind_whether_kept_or_not(text: bytes) -> None:
    bad = text + b"\n1. e4 e5 2. Ke3 *\n\n1. Zz4 *\n\n[Event \x01]\n\n" + text
    kept = velmor_data.encode_games(bad)
    counted = velmor_data.encode_games(bad, keep_skipped=False)
    expected = dict.fromkeys(velmor_data.ERROR_KINDS, 0)
    for error in kept.skipped:
        expected[error.kind] += 1
    assert len(kept.skipped) == 3 and kept.skipped_by_kind == expected
    assert counted.skipped == [] and counted.skipped_by_kind == expected
    assert list(counted.skipped_by_kind) == list(velmor_data.ERROR_KINDS)
    assert (counted.positions, counted.games_read) == (kept.positions, kept.games_read)
    for name in velmor_data.SCHEMA:
        assert numpy.array_equal(counted[name], kept[name], equal_nan=True), name
    assert "skipped=3" in repr(counted)
    with velmor_data.read_games(bad, keep_skipped=False) as reader:
        games = sum(1 for _ in reader)
    assert reader.skipped == [] and reader.skipped_by_kind == expected
    assert games + 3 == reader.games_read == kept.games_read


def test_counting_skipped_games_keeps_memory_flat() -> None:
    """Two million bad games, one in every five bytes: counted, none held, in
    the native reader or in Python, by encode_games and read_games alike."""
    result = run_isolated("""
        import io, resource, velmor_data

        class Bad(io.RawIOBase):
            block = b"Zz *\\n" * (1 << 16)
            left = 30

            def readable(self):
                return True

            def readinto(self, buffer):
                if not self.left:
                    return 0
                self.left -= 1
                buffer[: len(self.block)] = self.block
                return len(self.block)

        velmor_data.encode_games(b"Zz *\\n" * 1000, keep_skipped=False)
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        batch = velmor_data.encode_games(Bad(), keep_skipped=False)
        reader = velmor_data.read_games(Bad(), keep_skipped=False)
        games = sum(1 for _ in reader)
        grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
        print(batch.skipped_by_kind["unreadable move"], len(batch.skipped),
              reader.skipped_by_kind["unreadable move"], len(reader.skipped) + games, grown // 1024)
    """, timeout=300)
    assert result.returncode == 0, result.stderr
    errors, kept, read_errors, read_kept, grown_mb = map(int, result.stdout.split())
    assert (errors, kept, read_errors, read_kept) == (30 << 16, 0, 30 << 16, 0)
    assert grown_mb < 24, f"{grown_mb} MB for {errors} skipped games"


# ---- closing a reader that another thread iterates ------------------------------


@pytest.mark.parametrize("kind", ["zst", "gz", "bz2", "pgn", "bytes"])
def test_closing_while_another_thread_iterates_never_crashes(tmp_path: Path, kind: str) -> None:
    """The iterating thread either reads to the end or stops with the reader's
    own ValueError; closing never pulls a file from under a running read."""
    if not SAMPLE.exists():
        pytest.fail(f"{SAMPLE} is missing: scripts/make-sample-games writes it")
    text = zstandard.ZstdDecompressor().stream_reader(io.BytesIO(SAMPLE.read_bytes())).read()
    path = tmp_path / f"games.pgn.{kind}"
    if kind == "zst":
        path.write_bytes(SAMPLE.read_bytes())
    elif kind in ("gz", "bz2"):
        path.write_bytes(COMPRESS["." + kind](text))
    else:
        path = tmp_path / "games.pgn"
        path.write_bytes(text)
    source = f"open({str(path)!r}, 'rb').read()" if kind == "bytes" else repr(str(path))
    result = run_isolated(f"""
        import random, threading, time, velmor_data
        source = {source}
        random.seed(7)
        outcomes = set()
        for attempt in range(12):
            reader = velmor_data.read_games(source)
            seen = []
            def iterate():
                try:
                    for game in reader:
                        pass
                    seen.append("end")
                except ValueError as error:
                    seen.append(str(error))
            thread = threading.Thread(target=iterate)
            thread.start()
            time.sleep(random.uniform(0, 0.05))
            reader.close()
            thread.join()
            outcomes.add(seen[0])
        print(sorted(outcomes))
    """)
    assert result.returncode == 0, result.stderr
    outcomes = eval(result.stdout)  # noqa: S307 - our own child's printed list
    assert set(outcomes) <= {"end", "the game reader is closed"}, result.stdout


def test_close_waits_for_the_step_running_in_another_thread() -> None:
    """A read blocked inside the source holds close() until it returns; the
    iteration then stops at its next step."""
    inside, release = threading.Event(), threading.Event()
    block = b'[Event "x"]\n\n1. e4 e5 1-0\n\n' * 10

    class Stalling(io.RawIOBase):
        reads = 0

        def readable(self) -> bool:
            return True

        def readinto(self, buffer) -> int:
            self.reads += 1
            if self.reads == 2:
                inside.set()
                release.wait(30)
            buffer[: len(block)] = block
            return len(block)

    reader = velmor_data.read_games(Stalling())
    assert next(reader).index == 0
    results: list[object] = []

    def iterate() -> None:
        try:
            for _ in reader:
                pass
        except ValueError as error:
            results.append(str(error))

    iterating = threading.Thread(target=iterate)
    iterating.start()
    assert inside.wait(30)
    closing = threading.Thread(target=reader.close)
    closing.start()
    closing.join(0.3)
    assert closing.is_alive(), "close() returned while a step was still reading"
    release.set()
    closing.join(30)
    iterating.join(30)
    assert not closing.is_alive() and results == ["the game reader is closed"]


def test_a_reader_closed_before_its_end_says_so_and_one_read_to_the_end_stops() -> None:
    text = b'[Event "a"]\n\n1. e4 1-0\n\n[Event "b"]\n\n1. d4 0-1\n\n'
    reader = velmor_data.read_games(text)
    assert next(reader).index == 0
    reader.close()
    with pytest.raises(ValueError, match="the game reader is closed"):
        next(reader)
    finished = velmor_data.read_games(text)
    assert len(list(finished)) == 2
    finished.close()
    with pytest.raises(StopIteration):
        next(finished)
    unstarted = velmor_data.read_games(text)
    unstarted.close()
    with pytest.raises(ValueError, match="the game reader is closed"):
        next(unstarted)
