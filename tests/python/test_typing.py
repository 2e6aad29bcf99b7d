"""Type checkers find the stubs of an installed wheel, as a user's would."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
import venv
from pathlib import Path

import pytest

from conftest import REPO_ROOT

# Building a wheel is the slow part; make check leaves it to make test.
pytestmark = pytest.mark.slow

CORRECT = """
from velmor_chess import Board, MoveGenerator

board = Board()
board.push("e2e4")
moves: list[str] = MoveGenerator()(board)
planes: list[list[bool]] = Board.bitboard_from_fen(board.fen())
side: str = board.copy().turn()
"""

WRONG = """
from velmor_chess import Board

Board(1)
board = Board()
board.push(3)
"""


@pytest.fixture(scope="module")
def user_environment(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """A virtual environment outside the source tree with the package installed from a built wheel."""
    if os.environ.get("VELMOR_SANITIZED"):
        pytest.skip("builds a wheel; the sanitized run tests the sanitized module in place")
    root = tmp_path_factory.mktemp("user")
    wheels = root / "wheels"
    subprocess.run(
        [sys.executable, "-m", "pip", "wheel", "--quiet", "--no-build-isolation", "--no-deps", "-w", str(wheels), "."],
        cwd=REPO_ROOT, check=True, capture_output=True,
    )  # fmt: skip
    (wheel,) = wheels.glob("velmor_chess-*.whl")
    venv.create(root / "venv", with_pip=False)
    python = root / "venv" / "bin" / "python"
    subprocess.run(
        [sys.executable, "-m", "pip", "--python", str(python), "install", "--quiet", "--no-deps", str(wheel)],
        check=True, capture_output=True,
    )  # fmt: skip
    return root


def mypy(root: Path, program: str) -> subprocess.CompletedProcess[str]:
    (root / "program.py").write_text(textwrap.dedent(program))
    command = [
        sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull,
        "--python-executable", str(root / "venv" / "bin" / "python"), "program.py",
    ]  # fmt: skip
    # Run from the user's directory, so nothing of the source tree is in reach.
    environment = {key: value for key, value in os.environ.items() if key not in ("PYTHONPATH", "MYPYPATH")}
    return subprocess.run(command, cwd=root, capture_output=True, text=True, env=environment, check=False)


def test_installed_stubs_are_found(user_environment: Path) -> None:
    files = {path.name for path in user_environment.glob("venv/lib/python*/site-packages/velmor_chess-stubs/*")}
    assert files == {"__init__.pyi", "py.typed"}
    result = mypy(user_environment, CORRECT)
    assert result.returncode == 0, result.stdout + result.stderr


def test_installed_stubs_report_wrong_calls(user_environment: Path) -> None:
    result = mypy(user_environment, WRONG)
    assert result.returncode == 1, result.stdout + result.stderr
    errors = [line for line in result.stdout.splitlines() if ": error: " in line]
    assert len(errors) == 2, result.stdout
    assert errors[0].startswith("program.py:4: error: Argument 1 to \"Board\" has incompatible type \"int\"")
    assert errors[1].startswith("program.py:6: error: Argument 1 to \"push\" of \"Board\" has incompatible type")
    assert all(line.endswith("[arg-type]") for line in errors)

