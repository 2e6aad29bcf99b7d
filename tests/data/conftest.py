"""Shared pieces of the velmor_data tests."""

from __future__ import annotations

import sys
from pathlib import Path

# The generators of PGN text beside the tests.
sys.path.insert(0, str(Path(__file__).resolve().parent))

import pytest  # noqa: E402

PERFT_DIR = Path(__file__).resolve().parents[2].parent / "shared" / "perft"


@pytest.fixture(scope="session")
def perft_fens() -> list[str]:
    """FEN texts of the shared perft files, or a few built-in ones."""
    fens = [
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -",
        "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -",
        "8/8/8/8/8/8/8/8 w - -",
        "PPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPPP w - -",
    ]
    for path in sorted(PERFT_DIR.glob("*.perft")):
        for line in path.read_text().splitlines():
            if line.startswith("epd "):
                fens.append(line[4:])
    return fens
