// The module velmor_chess: single-phase initialisation, one interpreter per
// process, and the classes Board and MoveGenerator listed in __all__.
#include <atomic>

#include "py_chess.hpp"

namespace velmor::py {

namespace {

std::atomic<std::int64_t> owner_interpreter{-1};

// Runs when the module object dies, that is when its runtime is finalized: a
// later runtime in the same process may own the module again.
void free_module(void*) {
    free_spare_boards();
    free_move_texts();
    owner_interpreter.store(-1);
}

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "velmor_chess",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = free_module,
};

bool add_class(PyObject* module, const char* name, Ref type) {
    if (!type) return false;
    Ref all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = Ref(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
        return false;
    }
    Ref text(PyUnicode_FromString(name));
    if (!text || PyList_Append(all.get(), text.get()) < 0) return false;
    return PyObject_SetAttrString(module, name, type.get()) == 0;
}

PyObject* init_module() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id < 0) return nullptr;
    std::int64_t expected = -1;
    if (!owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "velmor_chess does not support sub-interpreters: it is already in use by another interpreter");
        return nullptr;
    }
    // The interpreter's own table of single-phase modules answers a second
    // initialisation with the module the first made; the table is emptied
    // when the runtime is finalized, so a new runtime builds everything anew.
    if (PyObject* existing = PyState_FindModule(&module_def)) return Py_NewRef(existing);

    Ref module(PyModule_Create2(&module_def, 1013));
    if (!module || !create_panic_type()) return nullptr;
    if (!add_class(module.get(), "Board", Ref(create_board_type()))) return nullptr;
    if (!add_class(module.get(), "MoveGenerator", Ref(create_move_generator_type()))) return nullptr;
    return module.release();
}

}  // namespace

}  // namespace velmor::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_velmor_chess() {
    return velmor::py::guarded([] { return velmor::py::init_module(); });
}
