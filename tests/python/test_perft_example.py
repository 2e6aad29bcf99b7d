"""The perft example script: counts, divide output and its refusals."""

from __future__ import annotations

import re
import subprocess
import sys
from pathlib import Path

import pytest

SCRIPT = Path(__file__).resolve().parents[2] / "examples" / "perft.py"


def run(*args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, str(SCRIPT), *args], capture_output=True, text=True, timeout=120)


@pytest.mark.parametrize(
    ("fen", "depth", "nodes"),
    [
        (None, "3", "8,902"),
        ("r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -", "2", "2,039"),
        ("8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1", "3", "2,812"),
    ],
)
def test_counts_positions(fen: str | None, depth: str, nodes: str) -> None:
    result = run(*(["--fen", fen] if fen else []), "--depth", depth)
    assert result.returncode == 0, result.stderr
    assert f"nodes: {nodes}\n" in result.stdout
    assert "positions per second: " in result.stdout


def test_divide_prints_one_line_per_root_move_summing_to_the_total() -> None:
    result = run("--depth", "2", "--divide")
    assert result.returncode == 0, result.stderr
    lines = [line for line in result.stdout.splitlines() if re.fullmatch(r"[a-h][1-8][a-h][1-8][nbrq]?: \d+", line)]
    assert len(lines) == 20
    assert lines[0] == "b1c3: 20"
    assert sum(int(line.split(": ")[1]) for line in lines) == 400
    assert "nodes: 400\n" in result.stdout


@pytest.mark.parametrize(
    "args",
    [
        ["--depth", "x"],
        ["--depth", "-1"],
        ["--fen", "8/8 w"],
        ["--fen", "8/8/8/8/8/8/8/8 x - -"],
        ["--fen", "8/8/8/8/8/8/8/7x w - -"],
        ["--fen", "4k3/8/8/8/8/8/8/4K3 w KX -"],
        ["--fen", "8/8/8/8/8/8/8/R7 w - -"],
        ["--fen", ""],
    ],
)
def test_bad_input_is_one_line_and_status_2(args: list[str]) -> None:
    result = run(*args)
    assert result.returncode == 2
    assert result.stdout == ""
    assert len(result.stderr.splitlines()) == 1
    assert result.stderr.startswith("perft: ")
    assert "Traceback" not in result.stderr
