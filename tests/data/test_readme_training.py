"""The README's PyTorch training loop, run as the README gives it, for a few
steps, on a small dataset the encode job writes where the loop looks for one."""

from __future__ import annotations

import importlib.util
import math
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

REPO_ROOT = Path(__file__).resolve().parents[2]
SAMPLE = REPO_ROOT / "data" / "sample-games.pgn.zst"
STEPS = 3

pytestmark = [
    pytest.mark.skipif(importlib.util.find_spec("torch") is None,
                       reason="torch is not installed (the extra 'torch': pip install '.[torch]'; make test installs it)"),
    pytest.mark.skipif(bool(os.environ.get("VELMOR_SANITIZED")),
                       reason="the encode job is tested without the sanitizers' preload"),
]


def readme_loop() -> str:
    """The README's Python block that trains with torch, its 301 steps cut to a few."""
    text = (REPO_ROOT / "README.md").read_text()
    blocks = [block for block in re.findall(r"```python\n(.*?)```", text, re.S)
              if "from torch.utils.data import DataLoader" in block]
    assert len(blocks) == 1, "README.md should have one training loop with torch"
    loop = blocks[0]
    assert loop.count("range(301)") == 1 and loop.count('"build/sample-dataset"') == 1, loop
    assert "torch_batches(" in loop and "batch_size=None" in loop, "the loop should use the batch loader"
    return loop.replace("range(301)", f"range({STEPS})")


def test_the_readme_training_loop_runs(tmp_path: Path) -> None:
    import zstandard

    if not SAMPLE.exists():
        pytest.fail(f"{SAMPLE} is missing: scripts/make-sample-games writes it")
    with open(SAMPLE, "rb") as file:
        text = zstandard.ZstdDecompressor().stream_reader(file).read().decode()
    # 100 games, some ten thousand positions: batches of 256 for every step.
    cut = [match.start() for match in re.finditer(r"(?m)^\[Event ", text)][100]
    games = tmp_path / "games.pgn"
    games.write_text(text[:cut])
    subprocess.run([sys.executable, "-m", "velmor_data", "encode", str(games), "-o",
                    str(tmp_path / "build" / "sample-dataset"), "--quiet"], check=True, timeout=300)

    result = subprocess.run([sys.executable, "-c", readme_loop()], cwd=tmp_path, capture_output=True, text=True,
                            timeout=600)
    assert result.returncode == 0, result.stderr
    # Step 0 only (it prints every 100th): an untrained network's loss is
    # about that of a uniform guess among each position's legal moves (some
    # 20 to 40 of them), far from ln 4096 = 8.32 (a mask letting every move
    # through) and finite (a mask leaving out the move played).
    match = re.fullmatch(r"step 0: loss (\d+\.\d\d)\n", result.stdout)
    assert match, result.stdout
    assert math.log(10) < float(match[1]) < math.log(80), result.stdout
