// class Board(fen="rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -"):
//     @staticmethod
//     def bitboard_from_fen(fen: str) -> list[list[bool]]   # 12 planes of 64
//     def fen(self) -> str                                   # four fields
//     def push(self, chess_move: str) -> None                # e2e4, e7e8q
//     def pop(self) -> None
//     def bitboard(self) -> list[list[bool]]
//     def turn(self) -> str                                  # "white" | "black"
//     def reflect(self) -> None
//     def copy(self) -> Board
#include <array>
#include <cstring>

#include "board/mod.hpp"
#include "py_chess.hpp"

namespace velmor::py {

namespace {

PyTypeObject* board_type_object = nullptr;

// A receiver of another type only reaches an entry through unusual calls;
// CPython's descriptors refuse it first.
bool check_receiver(PyObject* self) {
    if (PyObject_TypeCheck(self, board_type_object)) return true;
    conversion_error(self, "Board", nullptr);
    return false;
}

// A method of Board: the receiver checked and borrowed for the call, then the
// body on its record and the arguments, under the guard. The body is a
// template argument, so that it is called directly and can be inlined.
template <Access access, auto body, typename... Args>
PyObject* on_board(PyObject* self, Args... args) {
    Borrow guard;
    if (!check_receiver(self) || !borrow<Board>(guard, self, access)) return nullptr;
    return guarded([&] { return body(instance<Board>(self)->record, args...); });
}

PyObject* planes_to_lists(const Planes& planes) {
    // The eight elements every byte value of a plane stands for, made on first
    // use; True and False are immortal, so the lists may hold them without
    // counting references.
    static_assert(PY_VERSION_HEX >= 0x030C0000, "True and False are immortal from 3.12 on");
    using Row = std::array<PyObject*, 8>;
    static const std::array<Row, 256> rows = [] {
        std::array<Row, 256> table;
        for (unsigned byte = 0; byte < 256; ++byte)
            for (unsigned bit = 0; bit < 8; ++bit) table[byte][bit] = byte >> bit & 1 ? Py_True : Py_False;
        return table;
    }();

    Ref outer(PyList_New(12));
    if (!outer) return nullptr;
    for (unsigned p = 0; p < 12; ++p) {
        PyObject* inner = PyList_New(64);
        if (!inner) return nullptr;
        PyList_SET_ITEM(outer.get(), p, inner);
        PyObject** items = reinterpret_cast<PyListObject*>(inner)->ob_item;
        for (unsigned rank = 0; rank < 8; ++rank)
            std::memcpy(items + 8 * rank, rows[(planes[p] >> (8 * rank)) & 0xFF].data(), sizeof(Row));
    }
    return outer.release();
}

PyObject* fen_string(const Board& board) {
    char buffer[MAX_FEN];
    return ascii_string(buffer, write_fen(board, buffer));
}

PyObject* turn_string(const Board& board) {
    return board.white_to_move() ? ascii_string("white", 5) : ascii_string("black", 5);
}

PyObject* plane_lists(const Board& board) { return planes_to_lists(board.planes); }

PyObject* copy_board(const Board& board) { return emplace<Board>(board_type_object, board); }

void push_argument(Board& board, PyObject* move) { push_text(board, text_argument(move, "chess_move")); }

constexpr Parameter NEW_PARAMETERS[] = {{"fen", DEFAULT_FEN}};
constexpr Parameter FEN_PARAMETERS[] = {{"fen"}};
constexpr Parameter PUSH_PARAMETERS[] = {{"chess_move"}};
constexpr Signature NEW{"Board.__new__()", Receiver::none, NEW_PARAMETERS};
constexpr Signature BITBOARD_FROM_FEN{"Board.bitboard_from_fen()", Receiver::none, FEN_PARAMETERS};
constexpr Signature FEN{"Board.fen()", Receiver::self};
constexpr Signature PUSH{"Board.push()", Receiver::self, PUSH_PARAMETERS};
constexpr Signature POP{"Board.pop()", Receiver::self};
constexpr Signature BITBOARD{"Board.bitboard()", Receiver::self};
constexpr Signature TURN{"Board.turn()", Receiver::self};
constexpr Signature REFLECT{"Board.reflect()", Receiver::self};
constexpr Signature COPY{"Board.copy()", Receiver::self};

// Board(...), through tp_new or the type's vector call. The whole text is
// read before the object exists.
PyObject* new_board(PyTypeObject* type, PyObject* fen) {
    return guarded([&] { return emplace<Board>(type, read_fen(fen ? text_argument(fen, "fen") : DEFAULT_FEN)); });
}

PyObject* board_bitboard_from_fen(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* fen;
    if (!bind<BITBOARD_FROM_FEN>(args, nargs, kwnames, &fen)) return nullptr;
    return guarded([&] { return planes_to_lists(pieces_from_fen(text_argument(fen, "fen"))); });
}

PyObject* board_push(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* move;
    if (!bind<PUSH>(args, nargs, kwnames, &move)) return nullptr;
    return on_board<Access::exclusive, push_argument>(self, move);
}

PyObject* board_fen(PyObject* self, PyObject*) { return on_board<Access::shared, fen_string>(self); }
PyObject* board_pop(PyObject* self, PyObject*) { return on_board<Access::exclusive, pop_move>(self); }
PyObject* board_bitboard(PyObject* self, PyObject*) { return on_board<Access::shared, plane_lists>(self); }
PyObject* board_turn(PyObject* self, PyObject*) { return on_board<Access::shared, turn_string>(self); }
PyObject* board_reflect(PyObject* self, PyObject*) { return on_board<Access::exclusive, reflect>(self); }
PyObject* board_copy(PyObject* self, PyObject*) { return on_board<Access::shared, copy_board>(self); }

PyMethodDef board_methods[] = {
    method<BITBOARD_FROM_FEN>(board_bitboard_from_fen),
    method<FEN>(board_fen),
    method<PUSH>(board_push),
    method<POP>(board_pop),
    method<BITBOARD>(board_bitboard),
    method<TURN>(board_turn),
    method<REFLECT>(board_reflect),
    method<COPY>(board_copy),
    {nullptr, nullptr, 0, nullptr}  // sentinel
};

PyType_Slot board_slots[] = {
    {Py_tp_doc, const_cast<char*>(TEXT_SIGNATURE<NEW>)},
    {Py_tp_new, reinterpret_cast<void*>(tuple_call<NEW, new_board>)},
    {Py_tp_alloc, reinterpret_cast<void*>(Spares<Board>::allocate)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Spares<Board>::dealloc)},
    {Py_tp_methods, board_methods},
    {0, nullptr}  // sentinel
};

PyType_Spec board_spec = {
    .name = "builtins.Board",
    .basicsize = sizeof(Instance<Board>),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = board_slots,
};

}  // namespace

PyObject* create_board_type() {
    PyObject* type = create_type(&board_spec);
    if (!type) return nullptr;
    board_type_object = reinterpret_cast<PyTypeObject*>(type);
    board_type_object->tp_vectorcall = vector_call<NEW, new_board>;
    Spares<Board>::start();
    return Py_NewRef(type);
}

void free_spare_boards() { Spares<Board>::stop(); }

PyTypeObject* board_type() { return board_type_object; }

}  // namespace velmor::py
