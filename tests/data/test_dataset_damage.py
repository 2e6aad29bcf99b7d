"""open_dataset on datasets that are damaged or made to lead elsewhere.

Each case starts from a small dataset (format 1 as the encode job used to
write it, or format 2 as it writes it now) and damages one thing: the manifest (data from disk, never trusted) or one shard file. The
dataset must open only when every array is what the manifest says, and must
never read outside its directory; anything else is one clear error naming
the file.
"""

from __future__ import annotations

import io
import json
import os
import pickle
import shutil
import subprocess
import sys
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy
import pytest

import velmor_data
from format1 import write_format_1

pytestmark = pytest.mark.skipif(bool(os.environ.get("VELMOR_SANITIZED")),
                                reason="the encode job is tested without the sanitizers' preload")

# Three short games, 23 positions: shards of 10, 10 and 3.
GAMES = """\
[Event "a"]
[Result "1-0"]

1. e4 e5 2. Bc4 Nc6 3. Qh5 Nf6 4. Qxf7# 1-0

[Event "b"]
[Result "0-1"]

1. f3 e5 2. g4 Qh4# 0-1

[Event "c"]
[Result "1/2-1/2"]

1. d4 d5 2. c4 e6 3. Nc3 Nf6 4. Bg5 Be7 5. e3 O-O 6. Nf3 Nbd7 1/2-1/2
"""


@pytest.fixture(scope="module")
def written(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """Format 1."""
    folder = tmp_path_factory.mktemp("written")
    (folder / "games.pgn").write_text(GAMES)
    return write_format_1(folder / "games.pgn", folder / "dataset", 10)


@pytest.fixture(scope="module")
def written_2(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """Format 2, by the encode job."""
    folder = tmp_path_factory.mktemp("written")
    (folder / "games.pgn").write_text(GAMES)
    outdir = folder / "dataset"
    subprocess.run([sys.executable, "-m", "velmor_data", "encode", str(folder / "games.pgn"), "-o", str(outdir),
                    "--shard-size", "10", "--workers", "1", "--quiet"], check=True, timeout=300)
    return outdir


def copied(written: Path, tmp_path: Path) -> Path:
    """A copy two levels down, so that "../../outside" is tmp_path/outside,
    which holds a good copy of the shards for a manifest to lead to."""
    root = tmp_path / "a" / "dataset"
    shutil.copytree(written, root)
    shutil.copytree(written, tmp_path / "outside")
    return root


@pytest.fixture
def dataset(written: Path, tmp_path: Path) -> Path:
    return copied(written, tmp_path)


@pytest.fixture
def dataset_2(written_2: Path, tmp_path: Path) -> Path:
    return copied(written_2, tmp_path)


def manifest_of(root: Path) -> dict[str, Any]:
    data: dict[str, Any] = json.loads((root / "manifest.json").read_text())
    return data


def rewrite(root: Path, change: Callable[[dict[str, Any]], object]) -> None:
    manifest = manifest_of(root)
    change(manifest)
    (root / "manifest.json").write_text(json.dumps(manifest))


def rename_array(manifest: dict[str, Any], old: str, new: str) -> None:
    manifest["schema"] = {new if name == old else name: entry for name, entry in manifest["schema"].items()}


def recount(counts: dict[int, object], positions: object = None) -> Callable[[Path], None]:
    """Changes the counts of some shards, and the total when given."""
    def change(manifest: dict[str, Any]) -> None:
        for shard, count in counts.items():
            manifest["shards"][shard]["positions"] = count
        if positions is not None:
            manifest["positions"] = positions
    return lambda root: rewrite(root, change)


def replace_with_directory(path: Path) -> None:
    path.unlink()
    path.mkdir()


def save_as(path: Path, array: numpy.ndarray) -> None:
    """An array saved by NumPy itself in place of a shard file."""
    path.unlink()
    with open(path, "wb") as file:
        numpy.save(file, array)


def append(path: Path, data: bytes) -> None:
    with open(path, "ab") as file:
        file.write(data)


def save_npz(path: Path) -> None:
    buffer = io.BytesIO()
    numpy.savez(buffer, turn=numpy.load(path))
    path.write_bytes(buffer.getvalue())


def symlink_to_outside(entry: str) -> Callable[[Path], None]:
    def damage(root: Path) -> None:
        target = root.parent.parent / "outside" / entry
        link = root / entry
        if link.is_dir():
            shutil.rmtree(link)
        else:
            link.unlink()
        link.symlink_to(target, target_is_directory=target.is_dir())
    return damage


def deep_nesting(root: Path) -> None:
    text = (root / "manifest.json").read_text()
    (root / "manifest.json").write_text(text.replace('"options": {', '"deep": ' + "[" * 100_000 + "]" * 100_000
                                                     + ', "options": {', 1))


def not_utf8(root: Path) -> None:
    data = (root / "manifest.json").read_bytes()
    (root / "manifest.json").write_bytes(data.replace(b'"created_by": "', b'"created_by": "\xff', 1))


M = "manifest.json"
S0 = "shard-000000"
S1 = "shard-000001"

# (case, damage, the exception, the file its message must name, what it must say)
CASES: list[tuple[str, Callable[[Path], object], type[Exception], str, str]] = [
    # Paths that lead outside the dataset's directory.
    ("shard path up and out", lambda root: rewrite(root, lambda m: m["shards"][0].update(path="../../outside/" + S0)),
     ValueError, M, "names shard 0 .*the shard is the directory 'shard-000000'"),
    ("absolute shard path",
     lambda root: rewrite(root, lambda m: m["shards"][1].update(path=str(root.parent.parent / "outside" / S1))),
     ValueError, M, "names shard 1"),
    ("shard path of another shard",
     lambda root: rewrite(root, lambda m: m["shards"][1].update(path=S0)), ValueError, M, "names shard 1"),
    ("array name as a path up and out",
     lambda root: rewrite(root, lambda m: rename_array(m, "turn", "../../../outside/shard-000000/turn")),
     ValueError, M, "names an array '../../../outside/shard-000000/turn' that velmor_data does not write"),
    ("array name of no array", lambda root: rewrite(root, lambda m: rename_array(m, "turn", "colour")),
     ValueError, M, "names an array 'colour'"),
    ("symlinked shard directory", symlink_to_outside(S1), ValueError, S1, "is a symbolic link"),
    ("symlinked shard file", symlink_to_outside(f"{S0}/planes.npy"), ValueError, f"{S0}/planes.npy",
     "is a symbolic link"),
    ("symlinked manifest", symlink_to_outside(M), ValueError, M, "is a symbolic link"),
    # A manifest that is not one.
    ("no schema", lambda root: rewrite(root, lambda m: m.pop("schema")), ValueError, M, "has no schema"),
    ("array missing from the schema", lambda root: rewrite(root, lambda m: m["schema"].pop("ply")),
     ValueError, M, "lacks the array 'ply'"),
    ("dtype NumPy does not know", lambda root: rewrite(root, lambda m: m["schema"]["turn"].update(dtype="nonsense")),
     ValueError, M, "says array 'turn' is .*it is uint8 of shape \\[\\]"),
    ("dtype other than the array's", lambda root: rewrite(root, lambda m: m["schema"]["game"].update(dtype="int32")),
     ValueError, M, "says array 'game' is"),
    ("shape other than the array's",
     lambda root: rewrite(root, lambda m: m["schema"]["planes"].update(shape=[768])), ValueError, M,
     "says array 'planes' is"),
    ("deep nesting", deep_nesting, ValueError, M, "nests too deeply"),
    ("not UTF-8", not_utf8, ValueError, M, "is not UTF-8 text"),
    ("huge count", lambda root: (root / M).write_text((root / M).read_text().replace('"positions": 10', '"positions": 1e400', 1)),
     ValueError, M, "gives shard 'shard-000000' a count of inf"),
    ("count past any file", recount({0: 2**62}, positions=2**62 + 13),
     ValueError, M, "a count of 4611686018427387904"),
    ("negative count", recount({0: -1}, positions=12),
     ValueError, M, "a count of -1"),
    ("count as text", recount({2: "3"}), ValueError, M, "a count of '3'"),
    ("total other than the shards'", lambda root: rewrite(root, lambda m: m.update(positions=24)),
     ValueError, M, "says 24 positions, its shards hold 23"),
    ("format version true", lambda root: rewrite(root, lambda m: m.update(format_version=True)),
     ValueError, M, "has format version True"),
    # Shard files that disagree with the manifest.
    ("counts moved between shards", recount({0: 9, 1: 11}),
     ValueError, f"{S0}/planes.npy", r"holds \|u1\[10, 12, 8, 8\], its manifest says \|u1\[9, 12, 8, 8\]"),
    ("npz named npy", lambda root: save_npz(root / S0 / "turn.npy"), ValueError, f"{S0}/turn.npy",
     "is not a .npy file velmor_data reads: the magic string is not correct"),
    ("empty file", lambda root: (root / S1 / "game.npy").write_bytes(b""), ValueError, f"{S1}/game.npy",
     "is not a .npy file velmor_data reads: EOF"),
    ("rows cut off", lambda root: os.truncate(root / S1 / "planes.npy", 128 + 9 * 768), ValueError,
     f"{S1}/planes.npy", "has 7040 bytes; its header and 10 positions take 7808"),
    ("bytes after the rows", lambda root: append(root / S1 / "ply.npy", b"\0" * 4), ValueError,
     f"{S1}/ply.npy", "has 172 bytes; its header and 10 positions take 168"),
    ("other dtype per row", lambda root: save_as(root / S0 / "turn.npy", numpy.zeros(10, numpy.int8)),
     ValueError, f"{S0}/turn.npy", r"holds \|i1\[10\], its manifest says \|u1\[10\]"),
    ("other byte order", lambda root: save_as(root / S0 / "ply.npy", numpy.zeros(10, ">i4" if sys.byteorder == "little" else "<i4")),
     ValueError, f"{S0}/ply.npy", "holds .i4\\[10\\], its manifest says"),
    ("other shape per row", lambda root: save_as(root / S0 / "castling.npy", numpy.zeros((10, 2, 2), numpy.uint8)),
     ValueError, f"{S0}/castling.npy", r"holds \|u1\[10, 2, 2\], its manifest says \|u1\[10, 4\]"),
    ("objects", lambda root: save_as(root / S0 / "result.npy", numpy.array([None] * 10, dtype=object)),
     ValueError, f"{S0}/result.npy", r"holds \|O\[10\]"),
    ("a directory for a file", lambda root: replace_with_directory(root / S0 / "turn.npy"),
     ValueError, f"{S0}/turn.npy", "is not a regular file"),
    ("a directory for the manifest", lambda root: replace_with_directory(root / M), ValueError, M,
     "is not a regular file"),
    ("a file for a shard directory", lambda root: (shutil.rmtree(root / S1), (root / S1).write_bytes(b"")),
     ValueError, S1, "is not a directory"),
    ("a missing file", lambda root: (root / S1 / "move_to.npy").unlink(), FileNotFoundError, f"{S1}/move_to.npy",
     "lacks .*which its manifest names"),
]


@pytest.mark.parametrize(("damage", "kind", "names", "says"), [case[1:] for case in CASES],
                         ids=[case[0] for case in CASES])
def test_a_damaged_dataset_does_not_open(dataset: Path, damage: Callable[[Path], object], kind: type[Exception],
                                         names: str, says: str) -> None:
    refuses(dataset, damage, kind, names, says)


def refuses(dataset: Path, damage: Callable[[Path], object], kind: type[Exception], names: str, says: str) -> None:
    """The damaged dataset does not open: one line of the kind given, naming
    the file at fault and saying what is wrong."""
    damage(dataset)
    with pytest.raises(kind) as raised:
        velmor_data.open_dataset(dataset)
    message = str(raised.value)
    assert type(raised.value) is kind or kind is not ValueError, message
    assert "\n" not in message and len(message) < 400, message
    assert repr(str(dataset / names)) in message, message
    assert raised.match(says)


def edit(path: Path, offset: int, data: bytes) -> None:
    with open(path, "r+b") as file:
        file.seek(offset)
        file.write(data)


def shard_entry(shard: int, **change: object) -> Callable[[Path], None]:
    return lambda root: rewrite(root, lambda m: m["shards"][shard].update(change))


# Format 2: the store's files of each shard, and what the manifest says of them.
CASES_2: list[tuple[str, Callable[[Path], object], type[Exception], str, str]] = [
    ("moves cut off", lambda root: os.truncate(root / S1 / "moves.bin", 18), ValueError, f"{S1}/moves.bin",
     "has 18 bytes; the 10 rows of 2 bytes its manifest gives take 20"),
    ("bytes after the runs", lambda root: append(root / S0 / "runs.bin", b"\0" * 17), ValueError,
     f"{S0}/runs.bin", "has .* bytes; the .* rows of 17 bytes its manifest gives take"),
    ("a keyframe more in the manifest", lambda root: rewrite(root, lambda m: m["shards"][0].update(
        keyframes=m["shards"][0]["keyframes"] + 1)), ValueError, f"{S0}/keyframes.bin", "rows of 42 bytes"),
    ("a run fewer", lambda root: (rewrite(root, lambda m: m["shards"][1].update(runs=m["shards"][1]["runs"] - 1)),
                                  os.truncate(root / S1 / "runs.bin", os.path.getsize(root / S1 / "runs.bin") - 17)),
     ValueError, f"{S1}/runs.bin", "does not fit its shard: the store's runs hold fewer rows than its moves"),
    ("a run's rows grown", lambda root: edit(root / S0 / "runs.bin", 12, (200).to_bytes(4, "little")),
     ValueError, f"{S0}/runs.bin", "does not fit its shard: the store's runs hold more rows than its moves"),
    ("a keyframe's piece past 12", lambda root: edit(root / S1 / "keyframes.bin", 0, b"\xff"), ValueError,
     f"{S1}/keyframes.bin", "does not fit its shard: keyframe 0 of the store holds a piece code past 12"),
    ("symlinked moves", symlink_to_outside(f"{S0}/moves.bin"), ValueError, f"{S0}/moves.bin", "symbolic link"),
    ("a missing keyframes file", lambda root: (root / S1 / "keyframes.bin").unlink(), FileNotFoundError,
     f"{S1}/keyframes.bin", "lacks .*which its manifest names"),
    ("a directory for the runs", lambda root: replace_with_directory(root / S0 / "runs.bin"), ValueError,
     f"{S0}/runs.bin", "is not a regular file"),
    ("an encoded clock of an unknown version", lambda root: edit(root / S0 / "extra-clock.bin", 0, b"\x00"),
     ValueError, f"{S0}/extra-clock.bin", "extra column clock is damaged: an unknown version"),
    ("an encoded clock cut off", lambda root: os.truncate(root / S1 / "extra-clock.bin", 20), ValueError,
     f"{S1}/extra-clock.bin", "has 20 bytes"),
    ("encoded columns outside the schema", shard_entry(0, encoded={"planes": 24}), ValueError, M,
     "gives shard 'shard-000000' encoded columns"),
    ("negative keyframe count", shard_entry(0, keyframes=-1), ValueError, M, "a count of -1 keyframes"),
    ("runs counted by a bool", shard_entry(0, runs=True), ValueError, M, "a count of True runs"),
    ("games without a table", lambda root: rewrite(root, lambda m: m.update(games_table=None)), ValueError, M,
     "a games table, yet names no games table"),
    ("a games table of objects", lambda root: rewrite(root, lambda m: m.update(games_table={"game": ["|O", []]})),
     ValueError, M, "gives the games table's column 'game'"),
    ("a games table of a bad dtype", lambda root: rewrite(root, lambda m: m.update(games_table={"game": ["<q9", []]})),
     ValueError, M, "gives the games table's column 'game'"),
    ("a games table without game", lambda root: rewrite(root, lambda m: m.update(games_table={"elo": ["<i4", []]})),
     ValueError, M, "has a games table"),
    ("columns the store does not keep", lambda root: rewrite(root, lambda m: m["store"].update(extras=["clock"])),
     ValueError, M, "says its shards' stores are"),
    ("another keyframe spacing", lambda root: rewrite(root, lambda m: m["store"].update(keyframe_plies=16)),
     ValueError, M, "a keyframe every 8 plies"),
    ("format version 3", lambda root: rewrite(root, lambda m: m.update(format_version=3)), ValueError, M,
     "reads versions 1 and 2"),
]


@pytest.mark.parametrize(("damage", "kind", "names", "says"), [case[1:] for case in CASES_2],
                         ids=[case[0] for case in CASES_2])
def test_a_damaged_dataset_of_format_2_does_not_open(dataset_2: Path, damage: Callable[[Path], object],
                                                     kind: type[Exception], names: str, says: str) -> None:
    refuses(dataset_2, damage, kind, names, says)


def test_damaged_moves_fail_on_access(dataset_2: Path) -> None:
    """Move words are read when positions are replayed, not when the dataset
    opens: one that cannot be played is a ValueError then, never a crash.
    In a process of its own, bounded in time and memory."""
    edit(dataset_2 / S0 / "moves.bin", 0, (0).to_bytes(2, "little"))  # a1 to a1
    code = ("import resource, sys, velmor_data\n"
            "resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))\n"
            "dataset = velmor_data.open_dataset(sys.argv[1])\n"
            "print(int(dataset[0]['ply']))\n"
            "for access in (lambda: dataset[1], lambda: dataset[0:5], lambda: list(dataset.batches(4)),\n"
            "               lambda: list(dataset.batches(4, threads=2))):\n"
            "    try:\n        access()\n"
            "    except ValueError as error:\n        print('ValueError', error)\n")
    result = subprocess.run([sys.executable, "-c", code, str(dataset_2)], capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "0" and len(lines) == 5 and all(line.startswith("ValueError") for line in lines[1:]), lines


class Touch:
    """A pickle that, loaded, would leave a file behind."""

    def __init__(self, path: Path) -> None:
        self.path = path

    def __reduce__(self) -> tuple[object, tuple[str]]:
        return (_touch, (str(self.path),))


def _touch(path: str) -> None:
    Path(path).touch()


@pytest.mark.parametrize("form", ["pickle", "npy of objects"])
def test_no_pickle_is_ever_loaded(dataset: Path, tmp_path: Path, form: str) -> None:
    marker = tmp_path / "unpickled"
    target = dataset / S0 / "turn.npy"
    if form == "pickle":
        target.write_bytes(pickle.dumps([Touch(marker)] * 10))
    else:
        target.unlink()
        numpy.save(target, numpy.array([Touch(marker)] * 10, dtype=object), allow_pickle=True)
    with pytest.raises(ValueError, match="turn.npy"):
        velmor_data.open_dataset(dataset)
    assert not marker.exists()


def test_a_fifo_for_a_file_does_not_hang(dataset: Path) -> None:
    """A reader of a FIFO waits for a writer: opening must not. In a process
    of its own, bounded in time and memory."""
    target = dataset / S0 / "planes.npy"
    target.unlink()
    os.mkfifo(target)
    code = ("import resource, sys, velmor_data\n"
            "resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))\n"
            "try:\n    velmor_data.open_dataset(sys.argv[1])\n"
            "except ValueError as error:\n    print(error)\n")
    result = subprocess.run([sys.executable, "-c", code, str(dataset)], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert repr(str(target)) in result.stdout and "is not a regular file" in result.stdout


@pytest.mark.parametrize("rewritten", ["castling in Fortran order", "planes by numpy.save", "root as a symlink"])
def test_what_numpy_or_a_user_may_write_still_opens(dataset: Path, tmp_path: Path, rewritten: str) -> None:
    """Files NumPy writes with a header of its own, and a dataset reached
    through a symbolic link, open as the job's own files do."""
    expected = velmor_data.open_dataset(dataset)[:]
    path = dataset
    if rewritten == "castling in Fortran order":
        castling = numpy.load(dataset / S0 / "castling.npy")
        save_as(dataset / S0 / "castling.npy", numpy.asfortranarray(castling))
        with open(dataset / S0 / "castling.npy", "rb") as file:
            numpy.lib.format.read_magic(file)
            assert numpy.lib.format.read_array_header_1_0(file)[1]  # Fortran order indeed
    elif rewritten == "planes by numpy.save":
        save_as(dataset / S1 / "planes.npy", numpy.load(dataset / S1 / "planes.npy"))
    else:
        path = tmp_path / "link"
        path.symlink_to(dataset, target_is_directory=True)
    reopened = velmor_data.open_dataset(path)[:]
    for name in velmor_data.SCHEMA:
        assert numpy.array_equal(reopened[name], expected[name], equal_nan=True), name


@pytest.mark.parametrize("index", [1.5, "3", numpy.float64(2.0), None])
def test_indices_are_integers(written: Path, index: object) -> None:
    """A float index is no position: 1.5 is not position 1."""
    dataset = velmor_data.open_dataset(written)
    with pytest.raises(TypeError, match="dataset indices must be integers or slices"):
        dataset[index]  # type: ignore[index]
    assert dataset[numpy.int16(4)]["ply"] == dataset[numpy.array(4)]["ply"] == dataset[4]["ply"]  # type: ignore[index]
