"""Writes a dataset of format 1 (each shard a .npy file per array of the
schema), which the encode job wrote before format 2 and open_dataset still
reads: the tests of that reader start from one."""

from __future__ import annotations

import json
from pathlib import Path

import numpy

import velmor_data


def write_format_1(games: Path, outdir: Path, shard_size: int) -> Path:
    encoded = velmor_data.encode_games(games)
    outdir.mkdir(parents=True)
    counts = []
    for number, start in enumerate(range(0, encoded.positions, shard_size)):
        shard = outdir / f"shard-{number:06d}"
        shard.mkdir()
        for name, array in encoded.arrays.items():
            numpy.save(shard / f"{name}.npy", array[start:start + shard_size])
        counts.append(min(shard_size, encoded.positions - start))
    manifest = {
        "format": "velmor_data.dataset",
        "format_version": 1,
        "created_by": f"velmor_data {velmor_data.__version__}",
        "positions": encoded.positions,
        "schema": {name: {"dtype": dtype, "shape": list(shape), "meaning": meaning}
                   for name, (dtype, shape, meaning) in velmor_data.SCHEMA.items()},
        "shard_size": shard_size,
        "shards": [{"path": f"shard-{number:06d}", "positions": count} for number, count in enumerate(counts)],
        "options": {"errors": "skip", "min_elo": None},
        "inputs": [{"path": str(games), "positions": encoded.positions}],
        "games": {"read": encoded.games_read, "encoded": encoded.games_encoded},
        "skipped_games": None,
    }
    (outdir / "manifest.json").write_text(json.dumps(manifest, indent=2) + "\n")
    return outdir
