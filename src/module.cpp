// The module velmor_chess: single-phase initialisation, one interpreter per
// process, and the classes Board and MoveGenerator listed in __all__.
#include <atomic>

#include "binding.hpp"
#include "py_types.hpp"

namespace velmor::py {

namespace {

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "velmor_chess",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

std::atomic<std::int64_t> owner_interpreter{-1};
PyObject* module_object = nullptr;

bool add_class(PyObject* module, const char* name, PyObject* type) {
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
    return PyObject_SetAttrString(module, name, type) == 0;
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
    if (module_object) return Py_NewRef(module_object);

    Ref module(PyModule_Create2(&module_def, 1013));
    if (!module) return nullptr;
    if (!add_class(module.get(), "Board", board_type())) return nullptr;
    if (!add_class(module.get(), "MoveGenerator", move_generator_type())) return nullptr;
    module_object = Py_NewRef(module.get());
    return module.release();
}

}  // namespace

}  // namespace velmor::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_velmor_chess() {
    return velmor::py::guarded([] { return velmor::py::init_module(); });
}
