#include "py_common.hpp"

#include <cstdio>
#include <cstring>

#include "common/mod.hpp"

namespace velmor::py {

PyObject* allocate(PyTypeObject* type, Py_ssize_t) {
    void* memory = PyObject_Malloc(static_cast<std::size_t>(type->tp_basicsize));
    if (!memory) return PyErr_NoMemory();
    return PyObject_Init(static_cast<PyObject*>(memory), type);  // also takes the heap type's reference
}

void Borrow::refuse(Access access) {
    PyErr_SetString(PyExc_RuntimeError, access == Access::shared ? "Already mutably borrowed" : "Already borrowed");
}

namespace {

bool too_many_positional(const Signature& sig, Py_ssize_t given) {
    const char* verb = given == 1 ? "was" : "were";
    const std::size_t count = sig.parameters.size();
    if (sig.required == count)
        PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given", sig.full_name, count, given,
                     verb);
    else
        PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given", sig.full_name,
                     sig.required, count, given, verb);
    return false;
}

bool bind_keyword(const Signature& sig, PyObject* name, PyObject* value, PyObject** out) {
    for (std::size_t i = 0; i < sig.parameters.size(); ++i) {
        const char* parameter = sig.parameters[i].name;
        if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, parameter) == 0) {
            if (out[i]) {
                PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.full_name, parameter);
                return false;
            }
            out[i] = value;
            return true;
        }
    }
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", sig.full_name, name);
    return false;
}

bool check_required(const Signature& sig, PyObject** out) {
    // At most one parameter is ever required here, so one name is enough.
    for (std::size_t i = 0; i < sig.required; ++i) {
        if (!out[i]) {
            PyErr_Format(PyExc_TypeError, "%s missing 1 required positional argument: '%s'", sig.full_name,
                         sig.parameters[i].name);
            return false;
        }
    }
    return true;
}

}  // namespace

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    nargs = PyVectorcall_NARGS(nargs);
    const auto count = static_cast<Py_ssize_t>(sig.parameters.size());
    if (nargs > count) return too_many_positional(sig, nargs);
    for (Py_ssize_t i = 0; i < count; ++i) out[i] = i < nargs ? args[i] : nullptr;
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k)
            if (!bind_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
    }
    return check_required(sig, out);
}

bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const auto count = static_cast<Py_ssize_t>(sig.parameters.size());
    if (nargs > count) return too_many_positional(sig, nargs);
    for (Py_ssize_t i = 0; i < count; ++i) out[i] = i < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject* name;
        PyObject* value;
        while (PyDict_Next(kwargs, &pos, &name, &value))
            if (!bind_keyword(sig, name, value, out)) return false;
    }
    return check_required(sig, out);
}

PyObject* conversion_error(PyObject* arg, const char* target, const char* parameter) {
    Ref qualname(PyType_GetQualName(Py_TYPE(arg)));
    if (!qualname) PyErr_Clear();
    const char* type_name = qualname ? PyUnicode_AsUTF8(qualname.get()) : nullptr;
    if (!type_name) {
        PyErr_Clear();
        type_name = "<failed to extract type name>";
    }
    if (parameter)
        PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to '%s'", parameter, type_name,
                     target);
    else
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", type_name, target);
    return nullptr;
}

std::string_view text_argument(PyObject* arg, const char* parameter) {
    if (!PyUnicode_Check(arg)) {
        conversion_error(arg, "PyString", parameter);
        throw PythonError();
    }
    Py_ssize_t size;
    const char* data = PyUnicode_AsUTF8AndSize(arg, &size);
    if (!data) throw PythonError();
    return std::string_view(data, static_cast<std::size_t>(size));
}

PyObject* ascii_string(const char* text, std::size_t length) {
    PyObject* result = PyUnicode_New(static_cast<Py_ssize_t>(length), 127);
    if (result) std::memcpy(PyUnicode_1BYTE_DATA(result), text, length);
    return result;
}

namespace {

constexpr const char* PANIC_DOC =
    "The exception raised when the native code of velmor_chess, called from Python, fails internally.\n\n"
    "Like SystemExit, it derives from BaseException, not Exception, so that it typically propagates\n"
    "all the way through the stack and ends the interpreter.";

PyObject* panic_type_object = nullptr;

PyTypeObject* base_exception() { return reinterpret_cast<PyTypeObject*>(PyExc_BaseException); }

// An instance of a heap type holds a reference to its type: released after
// BaseException's own teardown, and shown to the collector.
void panic_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    base_exception()->tp_dealloc(self);
    Py_DECREF(type);
}

int panic_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return base_exception()->tp_traverse(self, visit, arg);
}

// A message as a str, built from its length so that a NUL in quoted input
// stays; NULL with MemoryError set when it cannot be built.
PyObject* message_string(std::string_view message) {
    return PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
}

// PyErr_SetObject creates the instance and checks that it is an exception; a
// failure on the way (no memory, no stack left) is what leaves instead.
void raise_with_message(PyObject* type, std::string_view message) noexcept {
    Ref text(message_string(message));
    if (text) PyErr_SetObject(type, text.get());
}

void raise_panic(std::string_view message) noexcept {
    constexpr std::string_view prefix = "velmor_chess: internal failure: ";
    std::fwrite(prefix.data(), 1, prefix.size(), stderr);
    std::fwrite(message.data(), 1, message.size(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
    if (!panic_type_object) {
        PyErr_SetString(PyExc_SystemError, "velmor: the panic type was not created at initialisation");
        return;
    }
    raise_with_message(panic_type_object, message);
}

}  // namespace

bool create_panic_type() {
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(PANIC_DOC)},
        {Py_tp_dealloc, reinterpret_cast<void*>(panic_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(panic_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(base_exception()->tp_clear)},
        {0, nullptr}  // sentinel
    };
    PyType_Spec spec = {
        .name = "tavrin_runtime.PanicException",
        .basicsize = 0,  // BaseException's layout
        .itemsize = 0,
        .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
        .slots = slots,
    };
    PyObject* type = PyType_FromSpecWithBases(&spec, PyExc_BaseException);
    if (!type) return false;
    // A type left from an earlier, finalized runtime belongs to it and is not
    // touched.
    panic_type_object = type;
    return true;
}

void raise_current_exception() noexcept {
    // Nothing below throws: every failure while raising is itself a Python
    // exception, so the handler cannot be left by a second C++ exception.
    try {
        throw;
    } catch (const PythonError&) {
        // set where it was thrown
    } catch (const InvalidInput& error) {
        raise_with_message(PyExc_ValueError, error.message());
    } catch (const Failure& failure) {
        raise_panic(failure.message());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        raise_panic(error.what());
    } catch (...) {
        raise_panic("unknown failure");
    }
}

PyObject* create_type(PyType_Spec* spec) {
    Ref type(PyType_FromSpec(spec));
    if (!type) return nullptr;
    // The types are immutable to Python; their own namespace is set up here,
    // before anyone sees them.
    PyTypeObject* object = reinterpret_cast<PyTypeObject*>(type.get());
    if (PyDict_SetItemString(object->tp_dict, "__doc__", Py_None) < 0) return nullptr;
    PyType_Modified(object);
    return type.release();
}

}  // namespace velmor::py
