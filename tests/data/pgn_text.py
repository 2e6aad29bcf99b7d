"""PGN text made from games python-chess plays, written in the many ways real
collections write them: comments of both kinds, nested variations, NAGs and
marks, NAGs glued to moves, null moves, move numbers with "." and "...", odd
white space, quotes left unescaped in tag values, FEN starts (some with
castling rights that cannot stand) and every SAN form, with LF, CRLF or CR
line ends. Each game is written twice: once as velmor_data reads it, and once
without the forms python-chess does not read ("e.p.", lines ended by CR
alone, which it reads only from files opened with universal newlines), for
the oracle."""

from __future__ import annotations

import random
import re
from dataclasses import dataclass, field

import chess

# Start positions with castling rights, en-passant squares, promotions near,
# and counters that are not the defaults.
FEN_STARTS = [
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
    "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
    "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8",
    "rnbqkbnr/ppp1p1pp/8/3pPp2/8/8/PPPP1PPP/RNBQKBNR w KQkq f6 0 3",
    "4k3/1P6/8/8/8/8/6p1/4K3 b - - 12 40",
    "n1n5/PPPk4/8/8/8/8/4Kppp/5N1N b - - 0 1",
    "7k/8/N1N5/8/8/8/N1N5/7K w - - 0 1",
    # Castling rights without king and rook at home, as exported studies
    # write them: both readers drop them.
    "4k3/8/8/8/8/8/8/4K3 w KQkq - 0 1",
    "r3k3/8/8/8/8/8/8/4K2R w KQkq - 0 1",
    "4k2r/8/8/8/8/8/5K2/R7 w Qk - 0 1",
    "r3k2r/8/8/8/8/8/4K3/R6R b KQkq - 0 1",
]

# Tag values whose quotes are written without escapes: both readers take the
# value from the first quote to the last one before the "]".
UNESCAPED_VALUES = ['"Socrates Expert"', 'the "best" game', '"', 'a" b "c']


@dataclass
class WrittenGame:
    ours: str
    oracle: str
    moves: list[chess.Move]
    start_fen: str | None
    result: str
    tags: list[tuple[str, str]] = field(default_factory=list)


def play(rng: random.Random, board: chess.Board, plies: int) -> list[chess.Move]:
    """Random legal moves, preferring captures and promotions now and then,
    and a null move (never in check) once in a while."""
    moves = []
    for _ in range(plies):
        legal = list(board.legal_moves)
        if not legal:
            break
        special = [m for m in legal if m.promotion or board.is_capture(m) or board.is_castling(m)]
        move = rng.choice(special) if special and rng.random() < 0.4 else rng.choice(legal)
        if not board.is_check() and rng.random() < 0.02:
            move = chess.Move.null()
        moves.append(move)
        board.push(move)
    return moves


def san_forms(rng: random.Random, board: chess.Board, move: chess.Move) -> tuple[str, str]:
    """The move's SAN in a random accepted form: (ours, oracle)."""
    if not move:
        null = rng.choice(["--", "Z0"])
        return null, null
    san = board.san(move)
    suffix = ""
    while san and san[-1] in "+#":
        suffix = san[-1] + suffix
        san = san[:-1]
    if board.is_castling(move):
        if rng.random() < 0.3:
            san = san.replace("O", "0")
    else:
        piece = board.piece_type_at(move.from_square)
        if piece != chess.PAWN and rng.random() < 0.3:
            # More disambiguation than needed is still one move.
            letter, rest = san[0], san[1:].replace("x", "")
            target = rest[-2:]
            source = chess.square_name(move.from_square)
            extra = rng.choice([source[0], source[1], source]) if len(rest) == 2 else source
            san = letter + extra + ("x" if board.is_capture(move) else "") + target
        if board.is_capture(move) and rng.random() < 0.3:
            san = san.replace("x", "")
        if move.promotion and rng.random() < 0.4:
            san = san.replace("=", "")
    if suffix and rng.random() < 0.2:
        suffix = ""
    oracle = san + suffix
    ours = oracle
    if board.is_en_passant(move) and rng.random() < 0.5:
        ours = oracle + rng.choice(["e.p.", " e.p."])
    mark = rng.choice(["", "", "", "", "!", "?", "!?", "?!", "!!", "??"])
    return ours + mark, oracle + mark


def comment(rng: random.Random) -> str:
    body = rng.choice(
        [
            "good move",
            "[%clk 0:01:02]",
            "a ( paren ) and ; semicolon",
            "[Event \"not a tag\"]",
            "line one\nline two",
            "1-0 is not the result here *",
            "",
        ]
    )
    return "{" + body + "}"


def write_game(rng: random.Random, index: int, *, line_end: str = "\n") -> WrittenGame:
    start_fen = rng.choice(FEN_STARTS) if rng.random() < 0.25 else None
    board = chess.Board(start_fen) if start_fen else chess.Board()
    moves = play(rng, board.copy(), rng.randint(0, 90))
    result = rng.choice(["1-0", "0-1", "1/2-1/2", "*"])
    tags = [("Event", f"Game \"{index}\" \\ test"), ("Site", "?"), ("Result", result)]
    if rng.random() < 0.3:
        tags.append(("WhiteElo", str(rng.randint(1000, 2800))))
        tags.append(("BlackElo", str(rng.randint(1000, 2800))))
    if start_fen:
        tags += [("SetUp", "1"), ("FEN", start_fen)]
    unescaped = rng.choice(UNESCAPED_VALUES) if rng.random() < 0.2 else None
    if unescaped:
        tags.append(("White", unescaped))

    def escape(value: str) -> str:
        return value.replace("\\", "\\\\").replace('"', '\\"')

    ours: list[str] = []
    oracle: list[str] = []

    def both(token: str) -> None:
        ours.append(token)
        oracle.append(token)


    header = "".join(f'[{name} "{value if name == "White" else escape(value)}"]\n' for name, value in tags)
    ours.append(header + rng.choice(["\n", "\n\n", "\n \n", "\n\n\n"]))
    oracle.append(header + "\n")

    position = board.copy()
    need_number = True
    for ply, move in enumerate(moves):
        if rng.random() < 0.15:
            both(comment(rng) + " ")
            need_number = True
        number = position.fullmove_number
        if position.turn == chess.WHITE:
            glue = rng.random() < 0.2
            both(f"{number}." + ("" if glue else " "))
        elif need_number and rng.random() < 0.8:
            both(f"{number}... ")
        need_number = False
        a, b = san_forms(rng, position, move)
        if move and rng.random() < 0.05:
            # A NAG glued to the move.
            nag = f"${rng.randint(1, 200)}"
            a, b = a + nag, b + nag
        ours.append(a)
        oracle.append(b)
        both(rng.choice([" ", " ", " ", "  ", "\n", "\t", " \n\n ", "\n\n\n"]))
        if rng.random() < 0.1:
            both(f"${rng.randint(1, 200)} ")
        if rng.random() < 0.08:
            both("; a comment to the end of the line\n")
        if rng.random() < 0.1:
            both(variation(rng, position, depth=0) + " ")
            need_number = True
        position.push(move)
    both(result)
    joined_ours = "".join(ours) + "\n\n"
    # python-chess ends a game at a blank line: its text has none inside a game.
    joined_oracle = oracle[0] + re.sub(r"\n[ \t]*(\n[ \t]*)+", "\n", "".join(oracle[1:])) + "\n\n"
    if line_end == "\r\n":
        joined_ours = joined_ours.replace("\n", "\r\n")
        joined_oracle = joined_oracle.replace("\n", "\r\n")
    elif line_end == "\r":
        joined_ours = joined_ours.replace("\n", "\r")
    return WrittenGame(joined_ours, joined_oracle, moves, start_fen, result, tags)


def variation(rng: random.Random, position: chess.Board, depth: int) -> str:
    """A variation replacing the move about to be played: other legal moves."""
    board = position.copy()
    parts = ["("]
    first = True
    for _ in range(rng.randint(1, 4)):
        legal = list(board.legal_moves)
        if not legal:
            break
        move = rng.choice(legal)
        if board.turn == chess.WHITE:
            parts.append(f"{board.fullmove_number}. ")
        elif first:
            parts.append(f"{board.fullmove_number}... ")
        first = False
        parts.append(board.san(move) + " ")
        if depth < 2 and rng.random() < 0.3:
            parts.append(variation(rng, board, depth + 1) + " ")
        if rng.random() < 0.2:
            parts.append(comment(rng) + " ")
        board.push(move)
    parts.append(")")
    return "".join(parts)


def collection(seed: int, count: int, *, line_end: str = "\n") -> list[WrittenGame]:
    rng = random.Random(seed)
    return [write_game(rng, i, line_end=line_end) for i in range(count)]
