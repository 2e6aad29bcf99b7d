"""Side-by-side timings of velmor_chess, python-chess and the C-extension peers.

    python bench/compare.py [--json FILE] [--repeats N] [--quick]

Every workload runs on every implementation that offers it, interleaved: each
repeat times one sample of each implementation in turn (the order rotates from
repeat to repeat), so a noisy machine slows all of them alike and the ratios
hold. A sample loops over the fixed positions below enough times to last
--sample-ms; the per-call time is the sample's time over its number of calls.
The table shows the median over the repeats (the JSON file also has the
minimum and every sample).

Beside each workload stands its CPython floor: the cost of making the same
result objects with the standard library alone, in the same loop. velmor/floor
says how close a call comes to the interpreter's own cost of returning that
result.

This script reports; it never fails on a number. It stops when python-chess,
the oracle, lists other moves than velmor or a perft count comes out wrong,
since the timing of a wrong answer means nothing; a peer whose listings
differ from velmor's on some positions is named and timed all the same.
"""

from __future__ import annotations

import argparse
import datetime
import functools
import gc
import importlib
import importlib.metadata
import json
import os
import platform
import statistics
import subprocess
import sys
from time import perf_counter_ns
from typing import Any, Callable

import chess

import velmor_chess

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "examples"))
from perft import perft  # noqa: E402  (velmor_chess's perft is the example program's)

# The standard perft positions, then positions from games: an opening line
# played out by an engine at a low node budget, sampled at the end of the line,
# around move 22 and once the pieces are mostly off; plus positions from those
# games with a legal en-passant capture or a promotion on the board.
START = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -"
KIWIPETE = "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -"
POSITIONS: list[tuple[str, str]] = [
    ("start", START),
    ("kiwipete", KIWIPETE),
    ("perft-3", "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - -"),
    ("perft-4", "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq -"),
    ("perft-5", "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ -"),
    ("perft-6", "r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - -"),
    ("ruy-lopez opening", "r1bq1rk1/2p1bppp/p1np1n2/1p2p3/4P3/1BP2N2/PP1P1PPP/RNBQR1K1 w - -"),
    ("ruy-lopez middlegame", "1r5k/2p1bp1p/3p2p1/n2np1B1/3PP3/2P2P2/2N2P1P/4RBK1 w - -"),
    ("ruy-lopez endgame", "8/2p2pkp/3p2p1/4P2P/1n1P1P2/4N3/5PK1/5n2 w - -"),
    ("najdorf opening", "rn1qkb1r/1p3ppp/p2pbn2/4p3/4P3/1NN1BP2/PPP3PP/R2QKB1R b KQkq -"),
    ("najdorf middlegame", "3rk2r/1qb2pp1/p3bn1p/8/2pQp1PP/P1N1BP1B/1PP5/KR5R w k -"),
    ("najdorf endgame", "6k1/5Rp1/8/p3q3/2p5/P1P5/K1P5/2B5 b - -"),
    ("najdorf promotion", "8/8/3K1k2/7p/2p5/2q5/p7/8 b - -"),
    ("dragon opening", "r1bq1rk1/pp2ppbp/2np1np1/8/3NP3/2N1BP2/PPPQ2PP/R3KB1R w KQ -"),
    ("dragon middlegame", "r4k2/4p2p/2p1p1p1/p7/P3B2P/1P3P2/1KPr2P1/7R w - -"),
    ("dragon endgame", "8/1B2K3/P3p3/6k1/R7/r4P2/8/8 b - -"),
    ("winawer opening", "rnbqk2r/pp2nppp/4p3/2ppP3/3P2Q1/P1P5/2P2PPP/R1B1KBNR b KQkq -"),
    ("winawer middlegame", "1r3rk1/pp4pp/2n1p1qP/3pP1B1/b1pP4/P1P2P2/2P3Q1/1R2K1NR w K -"),
    ("caro-kann opening", "r2qkbnr/pp1nppp1/2p3bp/8/3P3P/5NN1/PPP2PP1/R1BQKB1R w KQkq -"),
    ("caro-kann middlegame", "r2r2k1/pp3pp1/4pq1p/7Q/3b1B1P/2P3R1/PP3PP1/R5K1 w - -"),
    ("caro-kann promotion", "8/1KP3r1/P7/8/1P6/3k4/6p1/2R5 b - -"),
    ("queen's gambit opening", "rnbq1rk1/p1p1bpp1/1p2pn1p/3p4/2PP3B/2N1PN2/PP3PPP/R2QKB1R w KQ -"),
    ("queen's gambit middlegame", "3qr3/p2n2p1/1p3nkp/8/2Q5/b4NB1/1r3PPP/R2R2K1 w - -"),
    ("king's indian opening", "r1bq1rk1/ppp1npbp/3p1np1/3Pp3/2P1P3/2N2N2/PP2BPPP/R1BQ1RK1 w - -"),
    ("king's indian middlegame", "r4r1k/2qbnn1p/1p4p1/p2Pp1P1/4P3/B2B1pP1/PP3P2/1N1QR1K1 w - -"),
    ("nimzo-indian opening", "rn1q1rk1/pbpp1ppp/1p2pn2/6B1/2PP4/P1Q5/1P2PPPP/R3KBNR w KQ -"),
    ("nimzo-indian middlegame", "r2r4/4kp2/1n1pp2p/pPp2p2/P7/4PP2/1P1RBKPP/2R5 w - -"),
    ("nimzo-indian endgame", "1n6/1Pk5/P3p2p/1B3p2/4p1P1/1rK5/7P/8 w - -"),
    ("english opening", "r1bqk2r/ppp1bppp/1nn5/4p3/8/2N2NP1/PP1PPPBP/R1BQ1RK1 w kq -"),
    ("english en passant", "r2r2k1/1p1qb1pp/1n2bp2/pPp5/P2p4/3P2P1/1B2PPBP/RN1Q1RK1 w - c6"),
    ("english middlegame", "2r3k1/6pp/r1p1bp2/p2n4/Pq1p4/3P2P1/2Q1PPBP/RN3RK1 w - -"),
    ("english endgame", "6k1/6pp/5p2/P1p5/2r5/3r2P1/3R1PKP/8 w - -"),
    ("italian opening", "r1bq1rk1/1pp2ppp/p1np1n2/2b1p3/P1B1P3/2PP1N2/1P3PPP/RNBQ1RK1 w - -"),
    ("italian middlegame", "r1b4r/bpp3k1/p2p1p2/8/P4q2/2Pn1N1P/BP1Q1PPK/4RR2 w - -"),
    ("slav opening", "rn1qk2r/pp3ppp/2p1pn2/5b2/PbBP4/2N1PN2/1P3PPP/R1BQ1RK1 b kq -"),
    ("slav middlegame", "3rr1k1/pp3pp1/1np4p/q3P3/P1Q2P2/2PRB2P/6P1/R5K1 w - -"),
    ("slav endgame", "8/3r3Q/7p/3R2p1/3k4/p6P/6P1/7K b - -"),
    ("grunfeld opening", "rnbqk2r/pp2ppbp/6p1/2p5/3PP3/2P1BN2/P4PPP/R2QKB1R b KQkq -"),
    ("grunfeld en passant", "r6k/pp5P/5r2/2nPp3/2PpP3/q4P2/P2QB3/2R1K2R w K e6"),
    ("grunfeld promotion", "8/3P1rk1/pp6/4P3/2P5/5P2/P3B3/3R1K2 w - -"),
    ("scotch opening", "r1b1kb1r/p1ppqppp/2p5/3nP3/2P5/8/PP2QPPP/RNB1KB1R b KQkq -"),
    ("scotch en passant", "r3kb1r/p1pp2pp/1Pp1q3/4Pp2/4Q3/2N5/PP3PPP/R1B1Kb1R w KQkq f6"),
    ("scotch middlegame", "5b1r/2rk3p/3p2p1/3p1p2/8/3R4/PP3P1P/R1BK4 w - -"),
    ("scotch promotion", "r7/1R6/P7/5p2/5P2/2k2K2/3p4/1R6 b - -"),
    ("london opening", "r1bq1rk1/pp3ppp/2nbpn2/2pp4/3P4/2P1PNB1/PP1N1PPP/R2QKB1R w KQ -"),
    ("london middlegame", "2r3k1/1p1b2p1/4pr1p/pq1p2P1/3Q3R/2P2N2/PP1K1PP1/R7 w - -"),
    ("london endgame", "5r2/8/6R1/8/3K3k/4N1p1/8/8 b - -"),
    ("pirc opening", "r1bq1rk1/pp2ppbp/n2p1np1/2pP4/4PP2/2NB1N2/PPP3PP/R1BQ1RK1 b - -"),
    ("pirc middlegame", "r2q2k1/pp2prnp/3p4/2pPnpB1/8/2QB3R/PPP3PP/5R1K w - -"),
    ("pirc promotion", "8/8/8/p7/B7/2k5/3p1r2/1K6 b - -"),
]
FENS = [fen for _, fen in POSITIONS]

# (name, fen, depth, leaves) for the full run and for --quick.
PERFT_FULL = [("start", START, 4, 197_281), ("kiwipete", KIWIPETE, 3, 97_862)]
PERFT_QUICK = [("start", START, 3, 8_902), ("kiwipete", KIWIPETE, 2, 2_039)]

VELMOR = "velmor"
PYCHESS = "python-chess"
FLOOR = "floor"
PEERS = ("bulletchess", "fastchess", "nchess")
MIB4 = 4 << 20


# ---------------------------------------------------------------------------
# The fastest plain-Python plane export from python-chess's masks we found:
# one lookup of 16 bools per 16 squares, four per plane, spliced into a list.

_BITS16 = tuple(tuple(bool(i >> j & 1) for j in range(16)) for i in range(1 << 16))


def python_chess_planes(b: chess.Board, T: tuple[tuple[bool, ...], ...] = _BITS16) -> list[list[bool]]:
    black, white = b.occupied_co
    p, n, bi, r, q, k = b.pawns, b.knights, b.bishops, b.rooks, b.queens, b.kings
    return [
        [*T[m & 0xFFFF], *T[m >> 16 & 0xFFFF], *T[m >> 32 & 0xFFFF], *T[m >> 48]]
        for m in (p & white, n & white, bi & white, r & white, q & white, k & white,
                  p & black, n & black, bi & black, r & black, q & black, k & black)
    ]


# ---------------------------------------------------------------------------
# Perft through each Python API: list, make, recurse, take back; the last ply
# is counted by the length of its listing.

def python_chess_perft(b: chess.Board, depth: int) -> int:
    if depth == 1:
        return b.legal_moves.count()
    nodes = 0
    for m in b.legal_moves:
        b.push(m)
        nodes += python_chess_perft(b, depth - 1)
        b.pop()
    return nodes


def bulletchess_perft(b: Any, depth: int) -> int:
    moves = b.legal_moves()
    if depth == 1:
        return len(moves)
    nodes = 0
    for m in moves:
        b.apply(m)
        nodes += bulletchess_perft(b, depth - 1)
        b.undo()
    return nodes


def nchess_perft(b: Any, depth: int) -> int:
    moves = b.generate_legal_moves()
    if depth == 1:
        return len(moves)
    nodes = 0
    for m in moves:
        b.step(m)
        nodes += nchess_perft(b, depth - 1)
        b.undo()
    return nodes


def fastchess_perft(b: Any, depth: int) -> int:
    # fastchess has no take-back call: copy, then make the move on the copy.
    moves = b.legal_moves_uci()
    if depth == 1:
        return len(moves)
    nodes = 0
    for u in moves:
        c = b.copy()
        c.push_uci(u)
        nodes += fastchess_perft(c, depth - 1)
    return nodes


def floor_perft(nxt: Callable[[], str], stack: list[str], depth: int) -> int:
    # The same recursion over prebuilt listings in visiting order: one call
    # that returns a new list of new str per node, two cheap method calls per
    # move.
    moves = nxt().split()
    if depth == 1:
        return len(moves)
    nodes = 0
    for m in moves:
        stack.append(m)
        nodes += floor_perft(nxt, stack, depth - 1)
        stack.pop()
    return nodes


def listing_texts(gen: velmor_chess.MoveGenerator, b: velmor_chess.Board, depth: int, out: list[str]) -> None:
    moves = gen(b)
    out.append(" ".join(moves))
    if depth > 1:
        for m in moves:
            b.push(m)
            listing_texts(gen, b, depth - 1, out)
            b.pop()


# ---------------------------------------------------------------------------
# Timing.

def make_runner(stmt: str, target: str, items: list[Any], namespace: dict[str, Any]) -> Callable[[int], int]:
    """A function running `stmt` once per item, k times over; returns ns.

    The statement is compiled inline (as timeit does), so no extra Python call
    per item is timed that a user's own loop would not make.
    """
    src = (
        "def run(k, items=items):\n"
        "    r = range(k)\n"
        "    t0 = perf_counter_ns()\n"
        "    for _ in r:\n"
        f"        for {target} in items:\n"
        f"            {stmt}\n"
        "    return perf_counter_ns() - t0\n"
    )
    ns = dict(namespace, items=items, perf_counter_ns=perf_counter_ns)
    exec(compile(src, f"<{stmt}>", "exec"), ns)
    return ns["run"]


class Entry:
    """One implementation's version of one workload."""

    def __init__(self, impl: str, stmt: str, target: str, items: list[Any], namespace: dict[str, Any],
                 note: str = "") -> None:
        self.impl = impl
        self.stmt = stmt
        self.note = note
        self.calls = len(items)
        self.run = make_runner(stmt, target, items, namespace)
        self.k = 1
        self.samples: list[float] = []  # ns per call

    def calibrate(self, sample_ns: int) -> None:
        self.run(1)  # warm caches and lazy attributes
        once = max(self.run(1), 1)
        self.k = max(1, -(-sample_ns // once))

    def sample(self) -> None:
        gc.collect()
        gc.disable()
        try:
            ns = self.run(self.k)
        finally:
            gc.enable()
        self.samples.append(ns / (self.k * self.calls))

    @property
    def median(self) -> float:
        return statistics.median(self.samples)

    @property
    def minimum(self) -> float:
        return min(self.samples)


class Workload:
    def __init__(self, name: str, floor_text: str) -> None:
        self.name = name
        self.floor_text = floor_text
        self.entries: dict[str, Entry] = {}
        self.skipped: dict[str, str] = {}
        self.extra: dict[str, Any] = {}

    def add(self, entry: Entry) -> None:
        self.entries[entry.impl] = entry

    def measure(self, repeats: int, sample_ns: int) -> None:
        entries = list(self.entries.values())
        for e in entries:
            e.calibrate(sample_ns)
        for r in range(repeats):
            shift = r % len(entries)
            for e in entries[shift:] + entries[:shift]:
                e.sample()

    def ratio(self, num: str, den: str, attr: str = "median") -> float | None:
        a, b = self.entries.get(num), self.entries.get(den)
        if a is None or b is None:
            return None
        return getattr(a, attr) / getattr(b, attr)


# ---------------------------------------------------------------------------
# Peers.

def load_peers() -> tuple[dict[str, Any], dict[str, str]]:
    loaded: dict[str, Any] = {}
    skipped: dict[str, str] = {}
    for name in PEERS:
        try:
            loaded[name] = importlib.import_module(name)
        except Exception as exc:  # any failure to import means: not measured
            skipped[name] = f"not importable ({type(exc).__name__}: {exc}); `pip install {name}` to include it"
    return loaded, skipped


def peer_listing(name: str, mod: Any, fen: str) -> list[str]:
    if name == "bulletchess":
        return [m.uci() for m in mod.Board.from_fen(fen).legal_moves()]
    if name == "fastchess":
        return list(mod.Board(fen).legal_moves_uci())
    if name == "nchess":
        return [nchess_text(m) for m in mod.Board(fen).generate_legal_moves()]
    raise AssertionError(name)


def nchess_text(m: Any) -> str:
    # nchess has no call that returns a move's coordinate text; str() gives
    # Move("e2e4"), from which the text is cut.
    return str(m)[6:-2]


# ---------------------------------------------------------------------------

def fmt_time(ns: float | None) -> str:
    if ns is None:
        return "-"
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("µs", 1e3)):
        if ns >= scale:
            return f"{ns / scale:.3g} {unit}" if ns / scale < 100 else f"{ns / scale:.0f} {unit}"
    return f"{ns:.3g} ns" if ns < 100 else f"{ns:.0f} ns"


def fmt_ratio(x: float | None) -> str:
    return "-" if x is None else (f"{x:.3g}x" if x < 100 else f"{x:.0f}x")


def machine_info() -> dict[str, Any]:
    cpu = ""
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    versions: dict[str, str | None] = {}
    for dist in ("velmor_chess", "chess", *PEERS):
        try:
            versions[dist] = importlib.metadata.version(dist)
        except importlib.metadata.PackageNotFoundError:
            versions[dist] = None
    return {
        "date": datetime.datetime.now().astimezone().isoformat(timespec="seconds"),
        "machine": platform.machine(),
        "nproc": os.cpu_count(),
        "cpu": cpu,
        "python": sys.version.split()[0],
        "versions": versions,
    }


def check_agreement(gen: velmor_chess.MoveGenerator, peers: dict[str, Any]) -> tuple[dict[str, str], dict[str, list[str]]]:
    """Compares every implementation's move sets with velmor's on every position."""
    reference = {fen: sorted(gen(velmor_chess.Board(fen))) for fen in FENS}
    status: dict[str, str] = {}
    bad: dict[str, list[str]] = {}
    listers: dict[str, Callable[[str], list[str]]] = {
        PYCHESS: lambda fen: [m.uci() for m in chess.Board(fen).legal_moves]}
    for name, mod in peers.items():
        listers[name] = functools.partial(peer_listing, name, mod)
    for name, lister in listers.items():
        wrong = []
        for pname, fen in POSITIONS:
            theirs, ours = set(lister(fen)), set(reference[fen])
            if theirs != ours or len(lister(fen)) != len(ours):
                wrong.append(f"{pname} (only velmor: {' '.join(sorted(ours - theirs)) or '-'}; "
                             f"only {name}: {' '.join(sorted(theirs - ours)) or '-'})")
        bad[name] = wrong
        status[name] = ("same move sets as velmor on all %d positions" % len(FENS) if not wrong
                        else "DIFFERENT move sets on %d positions: %s" % (len(wrong), "; ".join(wrong)))
    planes_ok = all(python_chess_planes(chess.Board(fen)) == velmor_chess.Board(fen).bitboard() for fen in FENS)
    status["planes"] = ("python-chess plane export equals velmor bitboard() on all positions" if planes_ok
                        else "python-chess plane export DIFFERS from velmor bitboard()")
    if not planes_ok:
        bad["planes"] = ["planes"]
    return status, bad


def build_workloads(gen: velmor_chess.MoveGenerator, peers: dict[str, Any], peer_skips: dict[str, str],
                    perfts: list[tuple[str, str, int, int]]) -> list[Workload]:
    workloads: list[Workload] = []
    vboards = [velmor_chess.Board(f) for f in FENS]
    cboards = [chess.Board(f) for f in FENS]
    first_moves = [gen(b)[0] for b in vboards]
    vfens = [b.fen() for b in vboards]

    def peer_boards(name: str) -> list[Any]:
        mod = peers[name]
        if name == "bulletchess":
            return [mod.Board.from_fen(f) for f in FENS]
        return [mod.Board(f) for f in FENS]

    def skip_all(w: Workload) -> None:
        for name, why in peer_skips.items():
            w.skipped[name] = why

    # Legal listing as coordinate text.
    w = Workload("legal moves -> list[str]",
                 "s.split() of the position's moves joined by spaces (the same number of new str)")
    w.add(Entry(PYCHESS, "[m.uci() for m in b.legal_moves]", "b", cboards, {}))
    w.add(Entry(VELMOR, "gen(b)", "b", vboards, {"gen": gen}))
    if "bulletchess" in peers:
        w.add(Entry("bulletchess", "[m.uci() for m in b.legal_moves()]", "b", peer_boards("bulletchess"), {}))
    if "fastchess" in peers:
        w.add(Entry("fastchess", "b.legal_moves_uci()", "b", peer_boards("fastchess"), {}))
    if "nchess" in peers:
        w.add(Entry("nchess", "[str(m)[6:-2] for m in b.generate_legal_moves()]", "b", peer_boards("nchess"), {},
                    note="no move-to-text call; the text is cut out of str(Move)"))
    w.add(Entry(FLOOR, "s.split()", "s", [" ".join(gen(b)) for b in vboards], {}))
    skip_all(w)
    workloads.append(w)

    # Board from FEN.
    w = Workload("Board(fen)", "object(): making an empty object of a trivial C type")
    w.add(Entry(PYCHESS, "Board(f)", "f", FENS, {"Board": chess.Board}))
    w.add(Entry(VELMOR, "Board(f)", "f", FENS, {"Board": velmor_chess.Board}))
    if "bulletchess" in peers:
        w.add(Entry("bulletchess", "from_fen(f)", "f", FENS, {"from_fen": peers["bulletchess"].Board.from_fen}))
    for name in ("fastchess", "nchess"):
        if name in peers:
            w.add(Entry(name, "Board(f)", "f", FENS, {"Board": peers[name].Board}))
    w.add(Entry(FLOOR, "object()", "f", FENS, {}))
    skip_all(w)
    workloads.append(w)

    # FEN text out.
    w = Workload("fen()", "s.decode(): a new str of the same length from prebuilt bytes")
    w.add(Entry(PYCHESS, "b.fen()", "b", cboards, {}))
    w.add(Entry(VELMOR, "b.fen()", "b", vboards, {}))
    for name in PEERS:
        if name in peers:
            w.add(Entry(name, "b.fen()", "b", peer_boards(name), {}))
    w.add(Entry(FLOOR, "s.decode()", "s", [f.encode() for f in vfens], {}))
    skip_all(w)
    workloads.append(w)

    # One move made and taken back: each position's first legal move.
    w = Workload("push + pop", "l.append(u); l.pop(): two builtin method calls with one str")
    w.add(Entry(PYCHESS, "b.push_uci(u); b.pop()", "b, u", list(zip(cboards, first_moves)), {},
                note="push_uci checks legality"))
    w.add(Entry(VELMOR, "b.push(u); b.pop()", "b, u", list(zip(vboards, first_moves)), {}))
    if "bulletchess" in peers:
        w.add(Entry("bulletchess", "b.apply(from_uci(u)); b.undo()", "b, u",
                    list(zip(peer_boards("bulletchess"), first_moves)),
                    {"from_uci": peers["bulletchess"].Move.from_uci}))
    if "fastchess" in peers:
        w.skipped["fastchess"] = "no take-back call"
    if "nchess" in peers:
        w.add(Entry("nchess", "b.step(u); b.undo()", "b, u", list(zip(peer_boards("nchess"), first_moves)), {},
                    note="step checks legality"))
    w.add(Entry(FLOOR, "l.append(u); l.pop()", "l, u", [([], u) for u in first_moves], {}))
    skip_all(w)
    workloads.append(w)

    # Perft through each Python API.
    for pname, fen, depth, leaves in perfts:
        w = Workload(f"perft {pname} d{depth}",
                     "the same recursion over prebuilt listings: s.split() per node, "
                     "l.append(m); l.pop() per move")
        w.extra = {"fen": fen, "depth": depth, "leaves": leaves}
        texts: list[str] = []
        listing_texts(gen, velmor_chess.Board(fen), depth, texts)
        cases: list[tuple[str, str, dict[str, Any], Any, str]] = [
            (PYCHESS, "perft(b, depth)", {"perft": python_chess_perft}, chess.Board(fen), ""),
            (VELMOR, "perft(gen, b, depth)", {"perft": perft, "gen": gen}, velmor_chess.Board(fen), ""),
        ]
        if "bulletchess" in peers:
            cases.append(("bulletchess", "perft(b, depth)", {"perft": bulletchess_perft},
                          peers["bulletchess"].Board.from_fen(fen), ""))
        if "fastchess" in peers:
            cases.append(("fastchess", "perft(b, depth)", {"perft": fastchess_perft},
                          peers["fastchess"].Board(fen), "copy-make: copy() + push_uci() per move (no take-back call)"))
        if "nchess" in peers:
            cases.append(("nchess", "perft(b, depth)", {"perft": nchess_perft}, peers["nchess"].Board(fen), ""))
        for impl, stmt, ns, board, note in cases:
            got = ns["perft"](*( (gen, board) if impl == VELMOR else (board,) ), depth)
            if got != leaves:
                raise SystemExit(f"{impl}: perft {pname} depth {depth} gave {got}, expected {leaves}")
            w.add(Entry(impl, stmt, "b", [board], dict(ns, depth=depth), note=note))
        got = floor_perft(iter(texts).__next__, [], depth)
        assert got == leaves, (got, leaves)
        w.add(Entry(FLOOR, "perft(iter(texts).__next__, [], depth)", "b", [None],
                    {"perft": floor_perft, "texts": texts, "depth": depth}))
        skip_all(w)
        workloads.append(w)

    # Piece planes as 12 lists of 64 bool.
    w = Workload("bitboard() planes", "[p[:] for p in planes]: copying a prebuilt 12x64 list of lists")
    w.add(Entry(PYCHESS, "planes(b)", "b", cboards, {"planes": python_chess_planes},
                note="plain-Python export from the piece masks via a 16-bit lookup table"))
    w.add(Entry(VELMOR, "b.bitboard()", "b", vboards, {}))
    for name in PEERS:
        if name in peers:
            w.skipped[name] = "no list-of-bool plane export"
    w.add(Entry(FLOOR, "[p[:] for p in planes]", "planes", [b.bitboard() for b in vboards], {}))
    skip_all(w)
    workloads.append(w)

    # Copy.
    w = Workload("copy()", "object(): making an empty object of a trivial C type")
    w.add(Entry(PYCHESS, "b.copy()", "b", cboards, {}, note="copy(stack=True), the default; the stacks are empty"))
    w.add(Entry(VELMOR, "b.copy()", "b", vboards, {}))
    for name in PEERS:
        if name in peers:
            w.add(Entry(name, "b.copy()", "b", peer_boards(name), {}))
    w.add(Entry(FLOOR, "object()", "b", vboards, {}))
    skip_all(w)
    workloads.append(w)

    # Generator construction: absolute, against filling 4 MiB at C speed.
    w = Workload("MoveGenerator()", "b'\\x01' * (4 << 20): allocating and filling 4 MiB (memset)")
    w.add(Entry(VELMOR, "MoveGenerator()", "_", [None], {"MoveGenerator": velmor_chess.MoveGenerator}))
    w.add(Entry(FLOOR, "b'\\x01' * n", "_", [None], {"n": MIB4}))
    w.add(Entry("calloc 4 MiB", "bytes(n)", "_", [None], {"n": MIB4},
                note="bytes(4 << 20): zeroed pages from calloc, never touched"))
    w.skipped[PYCHESS] = "no equivalent (python-chess builds its tables at import)"
    for name in PEERS:
        if name in peers:
            w.skipped[name] = "no equivalent"
    skip_all(w)
    workloads.append(w)
    return workloads


def print_tables(workloads: list[Workload], peers_shown: list[str]) -> None:
    head = ["workload", PYCHESS, VELMOR, "pc/velmor", *[f"{p}/velmor" for p in peers_shown], "floor",
            "velmor/floor"]
    rows = []
    for w in workloads:
        def t(impl: str) -> str:
            e = w.entries.get(impl)
            return fmt_time(e.median) if e else "-"
        rows.append([w.name, t(PYCHESS), t(VELMOR), fmt_ratio(w.ratio(PYCHESS, VELMOR)),
                     *[fmt_ratio(w.ratio(p, VELMOR)) for p in peers_shown], t(FLOOR),
                     fmt_ratio(w.ratio(VELMOR, FLOOR))])
    widths = [max(len(r[i]) for r in [head, *rows]) for i in range(len(head))]
    line = lambda r: "  ".join(c.ljust(widths[0]) if i == 0 else c.rjust(widths[i]) for i, c in enumerate(r))
    print(line(head))
    print("  ".join("-" * x for x in widths))
    for r in rows:
        print(line(r))
    print()
    print("Times are per call (per perft run for perft), median over the repeats; a ratio x/velmor above 1")
    print("means velmor is faster. Every implementation, median (min) per call:")
    for w in workloads:
        print(f"  {w.name}")
        for impl, e in w.entries.items():
            extra = f"   [{e.note}]" if e.note else ""
            print(f"    {impl:13} {fmt_time(e.median):>9} ({fmt_time(e.minimum):>9})  {e.stmt}{extra}")
        for impl, why in w.skipped.items():
            print(f"    {impl:13} skipped: {why}")
        if "leaves" in w.extra:
            for impl, e in w.entries.items():
                if impl != FLOOR:
                    print(f"    {impl:13} {w.extra['leaves'] / e.median * 1e9:,.0f} leaves/s")
    print()
    print("Floors (the standard library making the same result objects):")
    for w in workloads:
        print(f"  {w.name}: {w.floor_text}")


# Resident memory per board: a fresh interpreter per library holds this many
# Kiwipete boards in a list (the list's own 8 bytes a board included), made
# from FEN text, then as many copies of one board.
MEMORY_BOARDS = 100_000
MEMORY_SNIPPET = """
import gc, sys
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * {page}
{setup}
gc.disable()
make(); one = make()
before = rss(); boards = [make() for _ in range({n})]; made = rss() - before
before = rss(); copies = [one.copy() for _ in range({n})]; copied = rss() - before
print(made / {n}, copied / {n})
"""
MEMORY_SETUP = {
    VELMOR: "import velmor_chess\nmake = lambda: velmor_chess.Board({fen!r})",
    PYCHESS: "import chess\nmake = lambda: chess.Board({fen!r})",
    "bulletchess": "import bulletchess\nmake = lambda: bulletchess.Board.from_fen({fen!r} + ' 0 1')",
    "fastchess": "import fastchess\nmake = lambda: fastchess.Board({fen!r} + ' 0 1')",
    "nchess": "import nchess\nmake = lambda: nchess.Board({fen!r} + ' 0 1')",
}


def memory_per_board(impls: list[str]) -> dict[str, tuple[float, float]]:
    page = os.sysconf("SC_PAGE_SIZE")
    figures = {}
    for impl in impls:
        code = MEMORY_SNIPPET.format(page=page, n=MEMORY_BOARDS, setup=MEMORY_SETUP[impl].format(fen=KIWIPETE))
        run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
        if run.returncode == 0:
            made, copied = map(float, run.stdout.split())
            figures[impl] = (made, copied)
    return figures


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Time velmor_chess beside python-chess and C-extension peers.")
    parser.add_argument("--json", metavar="FILE", help="write every figure to FILE")
    parser.add_argument("--repeats", type=int, default=None, help="samples per implementation (default 9; 5 quick)")
    parser.add_argument("--sample-ms", type=float, default=None,
                        help="least length of one sample in ms (default 50; 8 quick)")
    parser.add_argument("--quick", action="store_true", help="short samples, shallow perft (about a minute)")
    args = parser.parse_args(argv)
    repeats = args.repeats if args.repeats is not None else (5 if args.quick else 9)
    if repeats < 1:
        parser.error("--repeats must be at least 1")
    sample_ns = int((args.sample_ms or (8 if args.quick else 50)) * 1e6)

    info = machine_info()
    print(f"velmor_chess {info['versions']['velmor_chess']} vs python-chess {info['versions']['chess']}; "
          f"Python {info['python']}; {info['date']}")
    print(f"machine: {info['machine']}, {info['nproc']} cores, {info['cpu'] or 'unknown CPU'}")
    print(f"{len(POSITIONS)} positions; {repeats} repeats; samples of at least {sample_ns / 1e6:g} ms; "
          f"GC off while a sample runs")

    peers, peer_skips = load_peers()
    gen = velmor_chess.MoveGenerator()
    status, bad = check_agreement(gen, peers)
    print("Agreement, checked before timing:")
    for name, text in status.items():
        print(f"  {name}: {text}")
    for name, why in peer_skips.items():
        print(f"  {name}: skipped: {why}")
    if bad[PYCHESS] or "planes" in bad:
        # python-chess is the oracle: a difference there is a fault to fix
        # first, and the timing of a wrong answer means nothing.
        print("python-chess disagrees with velmor; no timings", file=sys.stderr)
        return 1
    for name in peers:
        if bad[name]:
            print(f"  note: {name} is timed all the same, on all positions")
    print(flush=True)

    perfts = PERFT_QUICK if args.quick else PERFT_FULL
    workloads = build_workloads(gen, peers, peer_skips, perfts)
    for w in workloads:
        print(f"timing {w.name} ...", file=sys.stderr, flush=True)
        w.measure(repeats, sample_ns)
    print_tables(workloads, [p for p in PEERS if p in peers])
    memory = memory_per_board([VELMOR, PYCHESS, *[p for p in PEERS if p in peers]])
    print(f"\nResident memory per board, {MEMORY_BOARDS:,} Kiwipete boards held in a list (list included):")
    for impl, (made, copied) in memory.items():
        print(f"  {impl:12} {made:8.0f} bytes per board from FEN, {copied:8.0f} per copy")

    if args.json:
        data = {
            **info,
            "repeats": repeats,
            "sample_ns": sample_ns,
            "positions": [{"name": n, "fen": f} for n, f in POSITIONS],
            "agreement": status,
            "peers_skipped": peer_skips,
            "unit": "ns per call",
            "memory_bytes_per_board": {impl: {"from_fen": m, "copy": c} for impl, (m, c) in memory.items()},
            "workloads": [
                {
                    "name": w.name,
                    "floor": w.floor_text,
                    **w.extra,
                    "implementations": {
                        impl: {"statement": e.stmt, "note": e.note, "calls_per_sample": e.calls * e.k,
                               "median_ns": e.median, "min_ns": e.minimum, "samples_ns": e.samples}
                        for impl, e in w.entries.items()
                    },
                    "skipped": w.skipped,
                    "ratios_over_velmor_median": {impl: w.ratio(impl, VELMOR) for impl in w.entries
                                                  if impl != VELMOR and VELMOR in w.entries},
                    "ratios_over_velmor_min": {impl: w.ratio(impl, VELMOR, "minimum") for impl in w.entries
                                               if impl != VELMOR and VELMOR in w.entries},
                    "velmor_over_floor_median": w.ratio(VELMOR, FLOOR),
                }
                for w in workloads
            ],
        }
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump(data, f, indent=2)
        print(f"\nwrote {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
