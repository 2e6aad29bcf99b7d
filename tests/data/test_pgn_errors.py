"""Bad input through the Python surface: each kind of error, what it tells,
and that it costs only its own game; real-world forms that are no error."""

from __future__ import annotations

import gzip
import io
import os
import resource
import subprocess
import sys
import textwrap

import numpy
import pytest

import velmor_data

GOOD_BEFORE = b'[Event "before"]\n1. e4 e5 *\n\n'
GOOD_AFTER = b'\n\n[Event "after"]\n1. d4 d5 *\n'


@pytest.mark.parametrize(
    ("bad", "kind", "move", "line"),
    [
        (b"1. e4 e5 2. Ke3 *", "illegal move", "Ke3", 4),
        (b'[FEN "7k/8/8/8/8/8/N1N5/7K w - -"]\n1. Nb4 *', "ambiguous move", "Nb4", 5),
        (b"1. e4 e5 2. Nf9 *", "unreadable move", "Nf9", 4),
        (b'[Variant "Atomic"]\n1. e4 *', "unsupported variant", None, 4),
        (b'[FEN "8/8/8/8 w - -"]\n1. e4 *', "bad fen", None, 4),
        (b'[Event "x]\n1. e4 *', "bad tag", None, 4),
        # The line of the truncated game's last token, not of the next game.
        (b"1. e4 e5 2. Nf3", "truncated game", None, 4),
        (b"1. e4 e5 (1... c5\n2. Nf3", "truncated game", None, 5),
        (b"1. e4 e5 2. Qh5 Nc6 3. Qxe5+ --", "illegal move", "--", 4),
        (b"{" + b"x" * 70_000 + b"}", "token too long", None, 4),
        (b"1. e4 \x00\x01 e5 *", "binary data", None, 4),
        (b"1. e4 " + b"x" * 1_000_000 + b" *", "token too long", None, 4),
        (b"1. e4 {" + b"x" * 1_000_000 + b"} *", "token too long", None, 4),
    ],
)
def test_a_bad_game_is_skipped_whole_and_the_others_read(bad, kind, move, line) -> None:
    text = GOOD_BEFORE + bad + GOOD_AFTER
    batch = velmor_data.encode_games(text)
    assert (batch.games_read, batch.games_encoded) == (3, 2)
    (error,) = batch.skipped
    assert (error.index, error.kind, error.move, error.line) == (1, kind, move, line)
    assert error.message.startswith(f"game 1, line {line}: {kind}: ")
    assert list(batch["game"]) == [0, 0, 2, 2]
    games = velmor_data.read_games(text)
    assert [g.tag("Event") for g in games] == ["before", "after"]
    assert games.skipped == [error]
    with pytest.raises(velmor_data.GameError) as raised:
        velmor_data.encode_games(text, errors="raise")
    assert raised.value == error


@pytest.mark.parametrize(
    ("text", "kind"),
    [
        (GOOD_BEFORE + b"1. e4 e5 2. Nf3 Nc6 3. Bb5", "truncated game"),
        (GOOD_BEFORE + b"1. e4 {a comment that never ends", "unterminated comment"),
        (GOOD_BEFORE + b'[Event "the last', "bad tag"),
    ],
)
def test_a_cut_off_last_game_is_an_error_and_the_others_stay(text, kind) -> None:
    batch = velmor_data.encode_games(text)
    assert [e.kind for e in batch.skipped] == [kind]
    assert batch.games_encoded == 1 and batch.positions == 2


def test_a_binary_file_gives_errors_not_games() -> None:
    data = gzip.compress(GOOD_BEFORE * 50)  # a compressed file read as if it were text
    batch = velmor_data.encode_games(data)
    assert batch.games_encoded == 0 and batch.skipped
    assert {e.kind for e in batch.skipped} <= set(velmor_data.ERROR_KINDS)
    assert "binary data" in {e.kind for e in batch.skipped}


def test_real_world_forms_read_as_the_plain_game() -> None:
    plain = velmor_data.encode_games(b"1. e4 e5 2. Nf3 Nc6 3. Bb5 a6 4. Bxc6 dxc6 5. O-O *")
    written = (
        b"\xef\xbb\xbf% written by hand\r\n"
        b'[Event "a \\"quoted\\" name"]\r\n\r\n\r\n'
        b"1.e4 {[%clk 0:03:00]} 1...e5 ; king's pawn\r\n\r\n"
        b"2. Nf3 $1 (2. f4 exf4 (2... d5) 3. Nf3) Nc6!? 3. Bb5 a6 4. Bc6+ dc6 5. 0-0 *\r\n"
    )
    batch = velmor_data.encode_games(written)
    assert batch.skipped == []
    for name in velmor_data.SCHEMA:
        if name not in velmor_data.TEXT_FIELDS:  # the written game's %clk is read: not the plain game's
            assert numpy.array_equal(batch[name], plain[name], equal_nan=True), name
    assert batch["opponent_clock"][1] == 180
    (game,) = velmor_data.read_games(written)
    assert game.tags == [("Event", 'a "quoted" name')] and game.line == 2


@pytest.mark.parametrize("end", [b"\r", b"\n", b"\r\n"], ids=["cr", "lf", "crlf"])
def test_every_line_end_ends_a_line_and_no_game_is_lost(end: bytes) -> None:
    # Old Mac files end lines with CR alone: a ";" comment ends there too.
    text = b'[Event "a"]@@1. e4 e5 1-0 ; note@[Event "b"]@@1. d4 d5 0-1 ; more@%x@[Event "c"]@1. c4 *@'
    text = text.replace(b"@", end)
    batch = velmor_data.encode_games(text)
    assert (batch.games_read, batch.games_encoded, batch.positions) == (3, 3, 5)
    games = list(velmor_data.read_games(text))
    assert [(g.tag("Event"), g.line, len(g.moves)) for g in games] == [("a", 1, 2), ("b", 4, 2), ("c", 8, 1)]
    chunks = list(velmor_data.split_games(text, chunk_bytes=1))
    assert b"".join(c.data for c in chunks) == text
    assert [c.first_line for c in chunks if c.games] == [1, 4, 8]


def test_forms_of_real_files_through_the_api() -> None:
    text = (
        b'[White ""Socrates Expert""]\n[FEN "4k3/8/8/8/8/8/4P3/4K3 w KQkq - 0 1"]\n'
        b"1. e4$1 -- 2. Kd2 Z0 3. Ke3 *\n"
    )
    batch = velmor_data.encode_games(text, include_final=True)
    assert batch.skipped == [] and batch.castling_dropped == 1
    assert list(batch["move_from"]) == [12, -2, 4, -2, 11, -1]
    assert list(batch["move_to"]) == [28, -2, 11, -2, 20, -1]
    assert list(batch["turn"]) == [0, 1, 0, 1, 0, 1]
    assert list(batch["halfmove_clock"]) == [0, 0, 1, 2, 3, 4]
    assert list(batch["fullmove_number"]) == [1, 1, 2, 2, 3, 3]
    assert batch["castling"].sum() == 0 and list(batch["en_passant"]) == [-1, 4, -1, -1, -1, -1]
    with velmor_data.read_games(text) as reader:
        (game,) = reader
        assert reader.castling_dropped == 1
    assert game.tag("White") == '"Socrates Expert"'
    assert game.fen == "4k3/8/8/8/8/8/4P3/4K3 w - -"
    assert game.moves == ["e2e4", "0000", "e1d2", "0000", "d2e3"]


def test_a_study_with_a_bad_move_in_a_variation_reads_its_mainline() -> None:
    # Variations are skipped with what they hold: a move that fits no
    # position in one costs nothing (python-chess fails on this study with
    # an IndexError).
    text = b'[Event "study"]\n\n1. e4 ( 1. Ke3 ) ( 1. d4 { [%cal Gd2d4] } ) 1... e5 2. Nf3 *\n'
    (game,) = velmor_data.read_games(text, errors="raise")
    assert game.moves == ["e2e4", "e7e5", "g1f3"]


# Text between games reads as nothing; however much of it there is, neither
# the splitter nor the readers hold it.
BETWEEN_GAMES_CHILD = textwrap.dedent(
    """
    import resource, sys
    import velmor_data, zstandard

    path = sys.argv[1]
    game = b'[Event "x"]\\n1. e4 e5 2. Nf3 *\\n'
    with zstandard.ZstdCompressor().stream_writer(open(path, "wb")) as out:
        for stretch in (b"\\n" * 4096, b"; x\\r" * 1024, b"{ a comment }\\n%y\\r\\n" * 256):
            out.write(game)
            for _ in range((64 << 20) // len(stretch)):
                out.write(stretch)
        out.write(game + b"{" + b"z" * (1 << 20) + b"}\\n" + game)
    base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    chunks = list(velmor_data.split_games(path, chunk_bytes=1 << 16))
    assert sum(c.games for c in chunks) == 6, [c.games for c in chunks]
    assert max(len(c.data) for c in chunks) < 1 << 18, max(len(c.data) for c in chunks)
    del chunks
    batch = velmor_data.encode_games(path)
    assert (batch.games_read, batch.games_encoded, batch.positions) == (6, 5, 15), batch
    assert sum(1 for _ in velmor_data.read_games(path)) == 5
    print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - base) // 1024)
    """
)


@pytest.mark.skipif(bool(os.environ.get("VELMOR_SANITIZED")),
                    reason="an address-space limit leaves AddressSanitizer no room for its shadow memory")
def test_text_between_games_is_never_held(tmp_path) -> None:
    def limit() -> None:
        resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))

    done = subprocess.run(
        [sys.executable, "-c", BETWEEN_GAMES_CHILD, str(tmp_path / "gaps.pgn.zst")],
        capture_output=True,
        text=True,
        timeout=300,
        preexec_fn=limit,
    )
    assert done.returncode == 0, done.stderr
    # 192 MiB of text between games; what the reading added stays near a chunk.
    assert int(done.stdout) < 64, done.stdout


def test_reading_does_not_grow_with_the_source() -> None:
    game = b'[Event "x"]\n\n1. e4 e5 2. Nf3 Nc6 3. Bb5 a6 4. Ba4 Nf6 5. O-O Be7 {a comment} 1-0\n\n'

    class Endless(io.RawIOBase):
        """A source made on the fly, so only the reader could hold it."""

        block = game * ((1 << 16) // len(game))

        def __init__(self, total: int) -> None:
            self.left = total // len(self.block)

        def readable(self) -> bool:
            return True

        def readinto(self, buffer) -> int:
            if not self.left:
                return 0
            self.left -= 1
            buffer[: len(self.block)] = self.block
            return len(self.block)

    def max_rss_mb() -> float:
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024

    sum(1 for _ in velmor_data.read_games(Endless(1 << 20)))
    before = max_rss_mb()
    count = sum(1 for _ in velmor_data.read_games(Endless(8 << 20)))
    assert count == (8 << 20) // len(Endless.block) * (len(Endless.block) // len(game))
    assert max_rss_mb() - before < 6
