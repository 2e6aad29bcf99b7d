// class MoveGenerator():
//     def __call__(self, board: Board) -> list[str]   # the legal moves, in order
#include <cstddef>

#include "board/mod.hpp"
#include "move_generator/mod.hpp"
#include "py_chess.hpp"

namespace velmor::py {

namespace {

// The instance record, then the entry point of its vector call.
struct GeneratorObject : Instance<MoveGenerator> {
    vectorcallfunc vectorcall;
};

constexpr Signature NEW{"MoveGenerator.__new__()", Receiver::none};
constexpr Parameter CALL_PARAMETERS[] = {{"board"}};
constexpr Signature CALL{"MoveGenerator.__call__()", Receiver::self, CALL_PARAMETERS};

// The str of each move's coordinate text, made the first time a listing
// returns the move and shared by every later listing: str objects are
// immutable, and making a new one per move was most of a listing's cost
// through Python. Indexed by the move's word; held until the module dies.
PyObject* move_texts[1 << 16];

// A new reference to the move's text; codes 8-15 fail in ChessMove::write.
PyObject* move_text(ChessMove move) {
    PyObject*& slot = move_texts[move.word];
    if (!slot) [[unlikely]] {
        char text[ChessMove::MAX_TEXT];
        slot = ascii_string(text, move.write(text));
        if (!slot) return nullptr;
    }
    return Py_NewRef(slot);
}

PyObject* moves_to_list(const MoveList& moves) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(moves.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < moves.size(); ++i) {
        PyObject* item = move_text(moves[i]);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

// generator(board), through tp_call or the instance's vector call.
PyObject* list_moves(PyObject* self, PyObject* board_arg) {
    Borrow generator_guard;
    if (!borrow<MoveGenerator>(generator_guard, self, Access::shared)) return nullptr;
    if (!PyObject_TypeCheck(board_arg, board_type())) return conversion_error(board_arg, "Board", "board");
    Borrow board_guard;
    if (!borrow<Board>(board_guard, board_arg, Access::exclusive)) return nullptr;
    return guarded([&] {
        MoveList moves;
        instance<MoveGenerator>(self)->record.legal_moves(instance<Board>(board_arg)->record, moves);
        return moves_to_list(moves);
    });
}

PyObject* generator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (!bind(NEW, args, kwargs, nullptr)) return nullptr;
    return guarded([&]() -> PyObject* {
        MoveGenerator generator;  // tables first; the object only if they were built
        PyObject* object = emplace<MoveGenerator>(type, std::move(generator));
        if (object) reinterpret_cast<GeneratorObject*>(object)->vectorcall = vector_call<CALL, list_moves>;
        return object;
    });
}

PyMemberDef generator_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, 0, Py_READONLY, nullptr},  // offset set when the type is made
    {nullptr, 0, 0, 0, nullptr}  // sentinel
};

PyType_Slot generator_slots[] = {
    {Py_tp_doc, const_cast<char*>(TEXT_SIGNATURE<NEW>)},
    {Py_tp_new, reinterpret_cast<void*>(generator_new)},
    {Py_tp_alloc, reinterpret_cast<void*>(allocate)},
    {Py_tp_call, reinterpret_cast<void*>(tuple_call<CALL, list_moves>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<MoveGenerator>)},
    {Py_tp_members, generator_members},
    {0, nullptr}  // sentinel
};

PyType_Spec generator_spec = {
    .name = "builtins.MoveGenerator",
    .basicsize = sizeof(GeneratorObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = generator_slots,
};

}  // namespace

void free_move_texts() {
    for (PyObject*& text : move_texts) Py_CLEAR(text);
}

PyObject* create_move_generator_type() {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"  // the record is not standard-layout; GCC and Clang lay it out plainly
    generator_members[0].offset = offsetof(GeneratorObject, vectorcall);
#pragma GCC diagnostic pop
    Ref type(create_type(&generator_spec));
    if (!type) return nullptr;
    // The offset member only tells type creation where the entry point lies;
    // it is no attribute of the class.
    PyTypeObject* object = reinterpret_cast<PyTypeObject*>(type.get());
    if (PyDict_DelItemString(object->tp_dict, "__vectorcalloffset__") < 0) return nullptr;
    PyType_Modified(object);
    return type.release();
}

}  // namespace velmor::py
