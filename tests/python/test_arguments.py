"""Argument binding and conversion: every refusal in its exact words."""

from __future__ import annotations

from typing import Any, Callable

import pytest

from conftest import DEFAULT_FEN
from velmor_chess import Board, MoveGenerator

BAD_STR = "argument '{name}': '{type}' object cannot be converted to 'PyString'"


class Outer:
    class Inner:
        pass


class Text(str):
    pass


@pytest.mark.parametrize(
    ("value", "type_name"),
    [
        (None, "NoneType"),
        (5, "int"),
        (b"8/8/8/8/8/8/8/8 w - -", "bytes"),
        (bytearray(b"x"), "bytearray"),
        (["e2e4"], "list"),
        (1.5, "float"),
        (Outer.Inner(), "Outer.Inner"),
        (Board, "type"),
    ],
)
def test_str_parameters_refuse_other_types(value: Any, type_name: str, expect_error: Callable[..., Any]) -> None:
    board = Board()
    before = board.fen()
    with expect_error(TypeError, BAD_STR.format(name="fen", type=type_name)):
        Board(value)
    with expect_error(TypeError, BAD_STR.format(name="fen", type=type_name)):
        Board(fen=value)
    with expect_error(TypeError, BAD_STR.format(name="fen", type=type_name)):
        Board.bitboard_from_fen(value)
    with expect_error(TypeError, BAD_STR.format(name="fen", type=type_name)):
        board.bitboard_from_fen(fen=value)
    with expect_error(TypeError, BAD_STR.format(name="chess_move", type=type_name)):
        board.push(value)
    with expect_error(TypeError, BAD_STR.format(name="chess_move", type=type_name)):
        board.push(chess_move=value)
    assert board.fen() == before
    assert board.bitboard() == Board().bitboard()


def test_conversion_error_has_no_cause(expect_error: Callable[..., Any]) -> None:
    with expect_error(TypeError, BAD_STR.format(name="fen", type="int")) as info:
        Board(5)
    assert info.value.__cause__ is None


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((DEFAULT_FEN, DEFAULT_FEN), {}, "Board.__new__() takes from 0 to 1 positional arguments but 2 were given"),
        ((1, 2, 3), {}, "Board.__new__() takes from 0 to 1 positional arguments but 3 were given"),
        ((DEFAULT_FEN,), {"fen": DEFAULT_FEN}, "Board.__new__() got multiple values for argument 'fen'"),
        ((), {"position": DEFAULT_FEN}, "Board.__new__() got an unexpected keyword argument 'position'"),
        ((), {"fen": DEFAULT_FEN, "position": 1}, "Board.__new__() got an unexpected keyword argument 'position'"),
        # Counting comes before converting.
        ((None, None), {}, "Board.__new__() takes from 0 to 1 positional arguments but 2 were given"),
        ((None,), {"fen": None}, "Board.__new__() got multiple values for argument 'fen'"),
        ((), {"position": None, "fen": 1}, "Board.__new__() got an unexpected keyword argument 'position'"),
    ],
)
def test_board_new_binding(
    args: tuple[Any, ...], kwargs: dict[str, Any], message: str, expect_error: Callable[..., Any]
) -> None:
    with expect_error(TypeError, message):
        Board(*args, **kwargs)


def test_board_keyword_order_decides_first_error(expect_error: Callable[..., Any]) -> None:
    # Keywords are checked in the order given: the conversion never runs.
    with expect_error(TypeError, "Board.__new__() got an unexpected keyword argument 'a'"):
        Board(fen=5, a=1, b=2)
    with expect_error(TypeError, "Board.__new__() got an unexpected keyword argument 'b'"):
        Board(b=2, a=1)


def test_board_default_and_keyword_agree() -> None:
    assert Board().fen() == Board(fen=DEFAULT_FEN).fen() == Board(DEFAULT_FEN).fen() == DEFAULT_FEN
    assert Board(**{"fen": "8/8/8/8/8/8/8/8 b - -"}).fen() == "8/8/8/8/8/8/8/8 b - -"


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((), {}, "Board.bitboard_from_fen() missing 1 required positional argument: 'fen'"),
        (("8/8/8/8/8/8/8/8", "x"), {}, "Board.bitboard_from_fen() takes 1 positional arguments but 2 were given"),
        ((1, 2), {}, "Board.bitboard_from_fen() takes 1 positional arguments but 2 were given"),
        (("a",), {"fen": "b"}, "Board.bitboard_from_fen() got multiple values for argument 'fen'"),
        ((), {"placement": "8"}, "Board.bitboard_from_fen() got an unexpected keyword argument 'placement'"),
        ((), {"self": "8"}, "Board.bitboard_from_fen() got an unexpected keyword argument 'self'"),
    ],
)
def test_bitboard_from_fen_binding(
    args: tuple[Any, ...], kwargs: dict[str, Any], message: str, expect_error: Callable[..., Any]
) -> None:
    with expect_error(TypeError, message):
        Board.bitboard_from_fen(*args, **kwargs)
    board = Board()
    with expect_error(TypeError, message):
        board.bitboard_from_fen(*args, **kwargs)


def test_bitboard_from_fen_keyword() -> None:
    assert Board.bitboard_from_fen(fen=DEFAULT_FEN) == Board().bitboard()


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((), {}, "Board.push() missing 1 required positional argument: 'chess_move'"),
        (("e2e4", "e7e5"), {}, "Board.push() takes 1 positional arguments but 2 were given"),
        ((1, 2, 3), {}, "Board.push() takes 1 positional arguments but 3 were given"),
        (("e2e4",), {"chess_move": "e2e4"}, "Board.push() got multiple values for argument 'chess_move'"),
        ((), {"move": "e2e4"}, "Board.push() got an unexpected keyword argument 'move'"),
        ((), {"chess_move": "e2e4", "move": "e2e4"}, "Board.push() got an unexpected keyword argument 'move'"),
        ((None, None), {}, "Board.push() takes 1 positional arguments but 2 were given"),
    ],
)
def test_push_binding(
    args: tuple[Any, ...], kwargs: dict[str, Any], message: str, expect_error: Callable[..., Any]
) -> None:
    board = Board()
    with expect_error(TypeError, message):
        board.push(*args, **kwargs)
    assert board.fen() == DEFAULT_FEN


def test_push_keyword_works() -> None:
    board = Board()
    assert board.push(chess_move="e2e4") is None
    assert board.fen() == "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3"


@pytest.mark.parametrize("name", ["fen", "pop", "bitboard", "turn", "reflect", "copy"])
def test_noargs_methods_refuse_arguments(name: str, expect_error: Callable[..., Any]) -> None:
    board = Board()
    method = getattr(board, name)
    with expect_error(TypeError, f"Board.{name}() takes no arguments (1 given)"):
        method(1)
    with expect_error(TypeError, f"Board.{name}() takes no arguments (2 given)"):
        method("a", "b")
    with expect_error(TypeError, f"Board.{name}() takes no keyword arguments"):
        method(x=1)
    assert board.fen() == DEFAULT_FEN


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        (("board",), {}, "MoveGenerator.__new__() takes 0 positional arguments but 1 was given"),
        ((1, 2), {}, "MoveGenerator.__new__() takes 0 positional arguments but 2 were given"),
        ((), {"board": 1}, "MoveGenerator.__new__() got an unexpected keyword argument 'board'"),
    ],
)
def test_move_generator_new_binding(
    args: tuple[Any, ...], kwargs: dict[str, Any], message: str, expect_error: Callable[..., Any]
) -> None:
    with expect_error(TypeError, message):
        MoveGenerator(*args, **kwargs)


def test_move_generator_new_with_board(expect_error: Callable[..., Any]) -> None:
    board = Board()
    with expect_error(TypeError, "MoveGenerator.__new__() takes 0 positional arguments but 1 was given"):
        MoveGenerator(board)  # type: ignore[call-arg]


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((), {}, "MoveGenerator.__call__() missing 1 required positional argument: 'board'"),
        (("x", "y"), {}, "MoveGenerator.__call__() takes 1 positional arguments but 2 were given"),
        ((), {"position": 1}, "MoveGenerator.__call__() got an unexpected keyword argument 'position'"),
        (("x",), {"board": "y"}, "MoveGenerator.__call__() got multiple values for argument 'board'"),
        (("x",), {}, "argument 'board': 'str' object cannot be converted to 'Board'"),
        ((None,), {}, "argument 'board': 'NoneType' object cannot be converted to 'Board'"),
        ((), {"board": 3}, "argument 'board': 'int' object cannot be converted to 'Board'"),
        ((Outer.Inner(),), {}, "argument 'board': 'Outer.Inner' object cannot be converted to 'Board'"),
        ((MoveGenerator,), {}, "argument 'board': 'type' object cannot be converted to 'Board'"),
    ],
)
def test_move_generator_call_binding(
    generator: MoveGenerator,
    args: tuple[Any, ...],
    kwargs: dict[str, Any],
    message: str,
    expect_error: Callable[..., Any],
) -> None:
    with expect_error(TypeError, message):
        generator(*args, **kwargs)


def test_move_generator_call_with_boards_counts_first(
    generator: MoveGenerator, expect_error: Callable[..., Any]
) -> None:
    board = Board()
    with expect_error(TypeError, "MoveGenerator.__call__() takes 1 positional arguments but 2 were given"):
        generator(board, board)  # type: ignore[call-arg]
    with expect_error(TypeError, "MoveGenerator.__call__() got multiple values for argument 'board'"):
        generator(board, board=board)  # type: ignore[misc]
    with expect_error(TypeError, "argument 'board': 'MoveGenerator' object cannot be converted to 'Board'"):
        generator(generator)  # type: ignore[arg-type]
    assert board.fen() == DEFAULT_FEN


def test_move_generator_call_keyword(generator: MoveGenerator) -> None:
    board = Board()
    assert generator(board=board) == generator(board)
    assert len(generator(board=board)) == 20


def test_str_subclasses_accepted(generator: MoveGenerator) -> None:
    board = Board(Text("8/8/8/8/8/8/8/8 b - -"))
    assert board.fen() == "8/8/8/8/8/8/8/8 b - -"
    assert Board(fen=Text(DEFAULT_FEN)).fen() == DEFAULT_FEN
    assert Board.bitboard_from_fen(Text(DEFAULT_FEN)) == Board().bitboard()
    board = Board()
    board.push(Text("e2e4"))
    board.push(chess_move=Text("e7e5"))
    assert board.fen() == "rnbqkbnr/pppp1ppp/8/4p3/4P3/8/PPPP1PPP/RNBQKBNR w KQkq e6"


class Shouting(str):
    """A subclass whose str() differs: the module reads the characters themselves."""

    def __str__(self) -> str:
        return "e7e5"


def test_str_subclass_content_is_used() -> None:
    board = Board()
    board.push(Shouting("e2e4"))
    assert board.fen() == "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3"


@pytest.mark.parametrize("text", ["\ud800", "e2e4\udfff", DEFAULT_FEN + "\ud83d"])
def test_lone_surrogate_is_unicode_encode_error(text: str) -> None:
    board = Board()
    # The reference error is CPython's own for the same encoding.
    with pytest.raises(UnicodeEncodeError) as reference:
        text.encode("utf-8")
    for call in (
        lambda: Board(text),
        lambda: Board(fen=text),
        lambda: Board.bitboard_from_fen(text),
        lambda: board.push(text),
        lambda: board.push(chess_move=text),
    ):
        with pytest.raises(UnicodeEncodeError) as info:
            call()
        assert type(info.value) is UnicodeEncodeError
        assert str(info.value) == str(reference.value)
    assert board.fen() == DEFAULT_FEN


def test_count_errors_come_before_encoding_errors(expect_error: Callable[..., Any]) -> None:
    board = Board()
    with expect_error(TypeError, "Board.push() takes 1 positional arguments but 2 were given"):
        board.push("\ud800", "\ud800")
    with expect_error(TypeError, "Board.__new__() got an unexpected keyword argument 'x'"):
        Board("\ud800", x=1)


def test_unbound_methods_check_receiver() -> None:
    # CPython's descriptor check refuses a foreign receiver before the entry.
    with pytest.raises(TypeError, match=r"descriptor 'fen' for 'builtins.Board' objects doesn't apply"):
        Board.fen("not a board")  # type: ignore[arg-type]
    with pytest.raises(TypeError, match=r"descriptor 'push' for 'builtins.Board' objects doesn't apply"):
        Board.push(MoveGenerator(), "e2e4")  # type: ignore[arg-type]
    board = Board()
    assert Board.fen(board) == DEFAULT_FEN
    Board.push(board, "e2e4")
    assert board.turn() == "black"
