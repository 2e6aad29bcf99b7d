"""The module object, the two types and the panic exception as Python sees them."""

from __future__ import annotations

import ctypes
import os
import re
import sysconfig
import inspect
import shutil
import subprocess
import sys
import textwrap
import weakref
from collections.abc import Callable
from pathlib import Path

import pytest

import velmor_chess
from conftest import DEFAULT_FEN, is_panic
from velmor_chess import Board, MoveGenerator

BOARD_METHODS = ["bitboard_from_fen", "fen", "push", "pop", "bitboard", "turn", "reflect", "copy"]

METHOD_SIGNATURES = {
    "bitboard_from_fen": "(fen)",
    "fen": "($self)",
    "push": "($self, chess_move)",
    "pop": "($self)",
    "bitboard": "($self)",
    "turn": "($self)",
    "reflect": "($self)",
    "copy": "($self)",
}


def test_module_doc_and_all() -> None:
    assert velmor_chess.__doc__ == ""
    assert velmor_chess.__all__ == ["Board", "MoveGenerator"]
    assert type(velmor_chess.__all__) is list
    assert velmor_chess.Board is Board
    assert velmor_chess.MoveGenerator is MoveGenerator


def test_module_defines_nothing_else() -> None:
    public = {name for name in vars(velmor_chess) if not name.startswith("__")}
    assert public == {"Board", "MoveGenerator"}


def test_module_attribute_order() -> None:
    names = [name for name in vars(velmor_chess) if name in ("__all__", "Board", "MoveGenerator")]
    assert names == ["__all__", "Board", "MoveGenerator"]


@pytest.mark.parametrize(
    ("cls", "name", "signature"),
    [
        (Board, "Board", f'(fen="{DEFAULT_FEN}")'),
        (MoveGenerator, "MoveGenerator", "()"),
    ],
)
def test_type_names_and_docs(cls: type, name: str, signature: str) -> None:
    assert cls.__module__ == "builtins"
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert repr(cls) == f"<class 'builtins.{name}'>"
    assert cls.__doc__ is None
    assert cls.__text_signature__ == signature  # type: ignore[attr-defined]
    assert cls.__bases__ == (object,)


def test_board_signature() -> None:
    signature = inspect.signature(Board)
    assert list(signature.parameters) == ["fen"]
    parameter = signature.parameters["fen"]
    assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
    assert parameter.default == DEFAULT_FEN
    assert str(signature) == f"(fen='{DEFAULT_FEN}')"


def test_move_generator_signature() -> None:
    assert str(inspect.signature(MoveGenerator)) == "()"


def test_method_table_order() -> None:
    assert [name for name in Board.__dict__ if not name.startswith("__")] == BOARD_METHODS


def test_move_generator_has_no_methods() -> None:
    assert [name for name in MoveGenerator.__dict__ if not name.startswith("__")] == []
    assert "__call__" in MoveGenerator.__dict__


@pytest.mark.parametrize("name", BOARD_METHODS)
def test_method_docs_and_signatures(name: str) -> None:
    method = getattr(Board, name)
    assert method.__doc__ is None
    assert method.__text_signature__ == METHOD_SIGNATURES[name]
    assert method.__name__ == name


@pytest.mark.parametrize("name", [n for n in BOARD_METHODS if n != "bitboard_from_fen"])
def test_instance_method_inspect_signature(name: str) -> None:
    expected = "(chess_move)" if name == "push" else "()"
    assert str(inspect.signature(getattr(Board(), name))) == expected


def test_bitboard_from_fen_is_static() -> None:
    assert isinstance(Board.__dict__["bitboard_from_fen"], staticmethod)
    on_class = Board.bitboard_from_fen("8/8/8/8/8/8/8/K7")
    on_instance = Board().bitboard_from_fen("8/8/8/8/8/8/8/K7")
    assert on_class == on_instance
    assert on_class[5][0] is True
    assert str(inspect.signature(Board.bitboard_from_fen)) == "(fen)"


@pytest.mark.parametrize("cls", [Board, MoveGenerator])
def test_subclassing_refused(cls: type) -> None:
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Derived", (cls,), {})


@pytest.mark.parametrize("make", [Board, MoveGenerator])
def test_no_instance_dict_or_weakrefs(make: type) -> None:
    instance = make()
    assert not hasattr(instance, "__dict__")
    with pytest.raises(AttributeError):
        instance.anything = 1
    with pytest.raises(TypeError, match="cannot create weak reference"):
        weakref.ref(instance)


def _panic_type() -> type:
    return type(_panic())


# Setting or deleting any attribute of the three types is refused (CPython
# says "set" for both), so no patch can make an instance that skips its
# constructor.
@pytest.mark.parametrize(
    "get_type", [lambda: Board, lambda: MoveGenerator, _panic_type], ids=["Board", "MoveGenerator", "panic"]
)
@pytest.mark.parametrize("name", ["__new__", "__init__", "__call__", "push", "anything"])
def test_types_are_immutable(get_type: Callable[[], type], name: str) -> None:
    cls = get_type()
    message = f"attribute of immutable type '{cls.__module__}.{cls.__qualname__}'"
    with pytest.raises(TypeError, match=f"^cannot set '{name}' {re.escape(message)}$"):
        setattr(cls, name, staticmethod(lambda *args, **kwargs: None))
    with pytest.raises(TypeError, match=f"^cannot set '{name}' {re.escape(message)}$"):
        delattr(cls, name)


def test_types_have_no_own_special_methods() -> None:
    assert set(Board.__dict__) == {"__new__", "__doc__", "__module__", *BOARD_METHODS}
    assert set(MoveGenerator.__dict__) == {"__new__", "__call__", "__doc__", "__module__"}


def _panic() -> BaseException:
    try:
        Board("x")
    except BaseException as exc:  # noqa: BLE001 - the panic exception is not an Exception
        return exc
    raise AssertionError("Board('x') did not fail")


def test_panic_exception_type() -> None:
    exc = _panic()
    kind = type(exc)
    assert is_panic(exc)
    assert kind.__name__ == "PanicException"
    assert kind.__qualname__ == "PanicException"
    assert kind.__module__ == "tavrin_runtime"
    assert f"{kind.__module__}.{kind.__qualname__}" == "tavrin_runtime.PanicException"
    assert kind.__bases__ == (BaseException,)
    assert not isinstance(exc, Exception)
    assert str(exc) == "Invalid piece type"
    assert exc.args == ("Invalid piece type",)


def test_panic_exception_docstring() -> None:
    doc = type(_panic()).__doc__
    assert isinstance(doc, str)
    assert doc.strip()
    assert "BaseException" in doc


def test_panic_exception_type_is_shared_and_hidden() -> None:
    first, second = type(_panic()), type(_panic())
    assert first is second
    board = Board()
    with pytest.raises(BaseException) as info:
        board.pop()
    assert type(info.value) is first
    assert all(value is not first for value in vars(velmor_chess).values())
    assert not hasattr(velmor_chess, "PanicException")


def test_panic_writes_one_line_to_stderr(capfd: pytest.CaptureFixture[str]) -> None:
    capfd.readouterr()
    exc = _panic()
    out, err = capfd.readouterr()
    assert out == ""
    assert str(exc) in err
    lines = err.splitlines()
    assert len(lines) == 1
    assert lines[0].strip()


def test_expected_errors_write_nothing(capfd: pytest.CaptureFixture[str]) -> None:
    capfd.readouterr()
    with pytest.raises(ValueError):
        Board("8/8/8/8/8/8/8/8 x - -")
    with pytest.raises(TypeError):
        Board(5)  # type: ignore[arg-type]
    board = Board()
    with pytest.raises(ValueError):
        board.push("e2e")
    assert capfd.readouterr() == ("", "")


def test_second_init_returns_same_module() -> None:
    library = ctypes.PyDLL(velmor_chess.__file__)
    init = library.PyInit_velmor_chess
    init.restype = ctypes.py_object
    init.argtypes = []
    before = list(velmor_chess.__all__)
    module = init()
    assert module is velmor_chess
    assert velmor_chess.__all__ == before == ["Board", "MoveGenerator"]
    assert module.Board is Board
    assert module.MoveGenerator is MoveGenerator


def test_only_init_is_exported() -> None:
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not available to list the exported symbols")
    listing = subprocess.run(
        [nm, "-D", "--defined-only", velmor_chess.__file__], capture_output=True, text=True, check=True
    ).stdout
    symbols = [line.split()[-1] for line in listing.splitlines() if line.split()[-2] in "TDBRVWtdbr"]
    assert symbols == ["PyInit_velmor_chess"]


SUBINTERPRETER_SCRIPT = textwrap.dedent(
    """
    import velmor_chess
    code = '''
    try:
        import velmor_chess
        outcome = "imported"
    except ImportError as exc:
        outcome = "ImportError|" + type(exc).__name__ + "|" + str(exc)
    except BaseException as exc:
        outcome = "other|" + type(exc).__name__ + "|" + str(exc)
    import sys
    sys.stdout.write("OUTCOME " + outcome + "\\\\n")
    sys.stdout.flush()
    '''
    try:
        import _interpreters
    except ImportError:
        _interpreters = None
    if _interpreters is not None:
        # The legacy configuration turns off CPython's own refusal of
        # single-phase modules, so any ImportError comes from the module.
        config = _interpreters.new_config("legacy")
        assert config.check_multi_interp_extensions is False
        interpreter = _interpreters.create(config)
        failure = _interpreters.exec(interpreter, code)
        assert failure is None, failure
        _interpreters.destroy(interpreter)
    else:
        import _testcapi
        assert _testcapi.run_in_subinterp(code) == 0
    # The owning interpreter keeps working afterwards.
    assert velmor_chess.Board().turn() == "white"
    """
)


def test_import_in_subinterpreter_fails() -> None:
    result = subprocess.run(
        [sys.executable, "-c", SUBINTERPRETER_SCRIPT],
        capture_output=True,
        text=True,
        timeout=60,
        check=False,
    )
    if "ModuleNotFoundError: No module named '_testcapi'" in result.stderr:
        pytest.skip("this interpreter offers no way to start a sub-interpreter")
    assert result.returncode == 0, result.stderr
    outcomes = [line for line in result.stdout.splitlines() if line.startswith("OUTCOME ")]
    assert len(outcomes) == 1, result.stdout
    kind, name, message = outcomes[0].removeprefix("OUTCOME ").split("|", 2)
    assert (kind, name) == ("ImportError", "ImportError")
    # CPython's own refusal would say "does not support loading in subinterpreters".
    assert "loading in subinterpreters" not in message
    assert "velmor_chess" in message


# A host that embeds CPython, finalizes it and starts it again in the same
# process: each runtime must get a working module, and a second import within
# one runtime the same module.
EMBEDDING_HOST = r"""
#include <Python.h>

static const char script[] =
    "import importlib, sys\n"
    "import velmor_chess\n"
    "board = velmor_chess.Board()\n"
    "board.push('e2e4')\n"
    "moves = velmor_chess.MoveGenerator()(board)\n"
    "del sys.modules['velmor_chess']\n"
    "again = importlib.import_module('velmor_chess')\n"
    "try:\n"
    "    velmor_chess.Board().pop()\n"
    "except BaseException as exc:\n"
    "    panic = type(exc).__name__\n"
    "print(len(moves), board.fen(), again is velmor_chess, panic, flush=True)\n";

int main(void) {
    for (int round = 0; round < 3; ++round) {
        Py_Initialize();
        if (PyRun_SimpleString(script) != 0) return 1;
        if (Py_FinalizeEx() != 0) return 2;
    }
    return 0;
}
"""


def test_module_works_in_each_new_runtime(tmp_path: Path) -> None:
    compiler = shutil.which("cc")
    if compiler is None or not sysconfig.get_config_var("Py_ENABLE_SHARED"):
        pytest.skip("needs a C compiler and a shared libpython to build an embedding host")
    source = tmp_path / "host.c"
    source.write_text(EMBEDDING_HOST)
    libdir = sysconfig.get_config_var("LIBDIR")
    subprocess.run(
        [compiler, str(source), "-o", str(tmp_path / "host"), f"-I{sysconfig.get_path('include')}",
         f"-L{libdir}", f"-Wl,-rpath,{libdir}", f"-lpython{sysconfig.get_python_version()}"],
        check=True, capture_output=True,
    )  # fmt: skip
    environment = dict(os.environ, PYTHONHOME=sys.base_prefix)
    paths = [str(Path(velmor_chess.__file__).parent), *os.environ.get("PYTHONPATH", "").split(os.pathsep)]
    environment["PYTHONPATH"] = os.pathsep.join(filter(None, paths))
    result = subprocess.run(
        [str(tmp_path / "host")], capture_output=True, text=True, timeout=120, env=environment, check=False
    )
    assert result.returncode == 0, result.stderr[-2000:]
    line = "20 rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3 True PanicException"
    assert result.stdout.splitlines() == [line] * 3
