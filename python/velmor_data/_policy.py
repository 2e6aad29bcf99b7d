"""Policy spaces: the fixed move lists a network's policy head indexes."""

from __future__ import annotations

import functools

from . import _native

#: The names of the policy spaces, with their sizes.
POLICY_SIZES: dict[str, int] = {"from_to": 4096, "uci": 1968, "alphazero": 4672}


@functools.cache
def policy_moves(space: str) -> tuple[str, ...]:
    """The moves of a policy space as coordinate text, the index being the
    position in the tuple; "" where an index names no move.

    "from_to" (4,096): from x 64 + to, promotions folded into the plain move.
    "uci" (1,968): the queen and knight moves of an empty board, then the 176
    promotions with their piece letter. "alphazero" (4,672): from x 73 + plane
    (56 queen-like planes, 8 knight planes, 9 underpromotion planes); a queen
    promotion is written without its letter.
    """
    if not isinstance(space, str):
        raise TypeError(f"space must be a str, not {type(space).__name__}")
    if space not in POLICY_SIZES:
        raise ValueError(f"space must be one of {', '.join(map(repr, POLICY_SIZES))}, not {space!r}")
    return _native.policy_moves(space)
