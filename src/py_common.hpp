// The thin layer between Python and the core, shared by velmor_chess and
// velmor_data._native: owned references, the per-object borrow counters,
// argument binding with CPython-style messages, and the guard that turns C++
// exceptions into Python exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>

namespace velmor::py {

// An owned (strong) reference, released when the handle goes.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* object) : object_(object) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept {
        Py_XDECREF(std::exchange(object_, other.release()));
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    [[nodiscard]] PyObject* get() const { return object_; }
    [[nodiscard]] PyObject* release() { return std::exchange(object_, nullptr); }
    explicit operator bool() const { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};

// Every instance: the object header, the record, then the borrow counter
// (0 free, n > 0 shared borrows, -1 one exclusive borrow).
template <typename Record>
struct Instance {
    PyObject_HEAD
    Record record;
    std::atomic<std::int64_t> borrow;
};

template <typename Record>
Instance<Record>* instance(PyObject* object) {
    return reinterpret_cast<Instance<Record>*>(object);
}

enum class Access { shared, exclusive };

// Holds one borrow of an object, and a strong reference to it, until the
// guard goes. acquire() returns false with RuntimeError set.
//
// Every call holds the interpreter lock from its start to its end (the
// module runs with the lock even on a free-threaded build), and no entry
// runs Python code while it holds a borrow, so two calls never change one
// counter at once: a plain load and store are enough, and the counter only
// refuses re-entrant use of an object that a running call holds.
class Borrow {
public:
    Borrow() = default;
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    ~Borrow() { release(); }

    [[nodiscard]] bool acquire(PyObject* object, std::atomic<std::int64_t>& counter, Access access) {
        const std::int64_t current = counter.load(std::memory_order_relaxed);
        if (access == Access::shared ? current == -1 : current != 0) [[unlikely]] {
            refuse(access);
            return false;
        }
        counter.store(access == Access::shared ? current + 1 : -1, std::memory_order_relaxed);
        object_ = Py_NewRef(object);
        counter_ = &counter;
        access_ = access;
        return true;
    }

    void release() {
        if (!counter_) return;
        counter_->store(access_ == Access::shared ? counter_->load(std::memory_order_relaxed) - 1 : 0,
                        std::memory_order_relaxed);
        counter_ = nullptr;
        Py_DECREF(std::exchange(object_, nullptr));
    }

private:
    // Sets the RuntimeError of a refused borrow.
    static void refuse(Access access);

    PyObject* object_ = nullptr;
    std::atomic<std::int64_t>* counter_ = nullptr;
    Access access_ = Access::shared;
};

template <typename Record>
[[nodiscard]] bool borrow(Borrow& guard, PyObject* object, Access access) {
    return guard.acquire(object, instance<Record>(object)->borrow, access);
}

// One parameter of a callable, positional or keyword: its name and, for an
// optional one, its default (a str, the only kind of default here).
struct Parameter {
    const char* name;
    std::string_view default_str = {};  // no text at all for a required parameter

    [[nodiscard]] constexpr bool optional() const { return default_str.data() != nullptr; }
};

// Whether the callable runs on an instance, shown as $self in its text
// signature.
enum class Receiver { none, self };

// A callable as its binder, its messages and its text signature know it:
// "Board.push()" (the class, ".", the function and "()"), its receiver, and
// its parameters in order, the required ones first.
struct Signature {
    consteval Signature(const char* name, Receiver self, std::span<const Parameter> params = {})
        : full_name(name), receiver(self), parameters(params), required(0) {
        while (required < params.size() && !params[required].optional()) ++required;
        for (std::size_t i = required; i < params.size(); ++i)
            if (!params[i].optional()) throw "a required parameter follows an optional one";
    }

    const char* full_name;
    Receiver receiver;
    std::span<const Parameter> parameters;
    std::size_t required;
};

// Bind the arguments of a vector call (METH_FASTCALL | METH_KEYWORDS) or a
// tuple-and-dict call (tp_new, tp_call) into out[0..parameters); a parameter
// not given is left NULL. Return false with TypeError set.
[[nodiscard]] bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                        PyObject** out);
[[nodiscard]] bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// The usual vector call, every parameter given by position and no keyword,
// binds inline; any other goes through the binder above.
template <const Signature& S>
[[nodiscard]] bool bind(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, PyObject** out) {
    constexpr auto count = static_cast<Py_ssize_t>(S.parameters.size());
    if (!kwnames && PyVectorcall_NARGS(nargsf) == count) [[likely]] {
        std::copy_n(args, count, out);
        return true;
    }
    return bind(S, args, nargsf, kwnames, out);
}

// The callee type of a call body, for the two entries below; only named in
// decltype.
template <typename Callee>
Callee* callee_of(PyObject* (*)(Callee*, PyObject*));

// The two ways CPython calls a type or an instance: tp_new or tp_call, with a
// tuple and a dict, and the vector call, which skips the tuple. For a callable
// of one parameter both bind alike, then run body(callee, argument).
template <const Signature& S, auto body>
PyObject* tuple_call(decltype(callee_of(body)) callee, PyObject* args, PyObject* kwargs) {
    static_assert(S.parameters.size() == 1);
    PyObject* argument;
    if (!bind(S, args, kwargs, &argument)) return nullptr;
    return body(callee, argument);
}
template <const Signature& S, auto body>
PyObject* vector_call(PyObject* callee, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    static_assert(S.parameters.size() == 1);
    PyObject* argument;
    if (!bind<S>(args, static_cast<Py_ssize_t>(nargsf), kwnames, &argument)) return nullptr;
    return body(reinterpret_cast<decltype(callee_of(body))>(callee), argument);
}

namespace detail {

// The texts a method-table row takes from a signature, written when compiling.
// Each writer writes into out, or only counts when out is NULL, and returns
// the length.

// The name a text signature starts with: the function's, or the class's for
// a constructor.
constexpr std::string_view shown_name(const Signature& sig) {
    const std::string_view full = sig.full_name;
    const std::size_t dot = full.find('.');
    const std::string_view function = full.substr(dot + 1, full.size() - dot - 1 - 2);  // without "()"
    return function == "__new__" ? full.substr(0, dot) : function;
}

constexpr std::size_t write_name(const Signature& sig, char* out) {
    const std::string_view name = shown_name(sig);
    if (out) std::copy(name.begin(), name.end(), out);
    return name.size();
}

// CPython's convention for a built-in's signature, here with no
// documentation after it: "push($self, chess_move)\n--\n\n".
constexpr std::size_t write_text_signature(const Signature& sig, char* out) {
    std::size_t length = 0;
    const auto put = [&](std::string_view text) {
        for (const char c : text) {
            if (out) out[length] = c;
            ++length;
        }
    };
    put(shown_name(sig));
    put("(");
    const char* separator = "";
    if (sig.receiver == Receiver::self) {
        put("$self");
        separator = ", ";
    }
    for (const Parameter& parameter : sig.parameters) {
        put(separator);
        separator = ", ";
        put(parameter.name);
        if (parameter.optional()) {
            if (parameter.default_str.find_first_of("\"\\") != std::string_view::npos)
                throw "a default that needs escaping";
            put("=\"");
            put(parameter.default_str);
            put("\"");
        }
    }
    put(")\n--\n\n");
    return length;
}

template <auto Write, const Signature& S>
inline constexpr auto TEXT = [] {
    std::array<char, Write(S, nullptr) + 1> text{};  // and the NUL
    Write(S, text.data());
    return text;
}();

}  // namespace detail

// The docstring that gives a callable its __text_signature__ and leaves its
// __doc__ None: a method's, or a class's from its constructor.
template <const Signature& S>
inline constexpr const char* TEXT_SIGNATURE = detail::TEXT<detail::write_text_signature, S>.data();

// The method-table row of a method: name, calling convention and docstring
// all from its signature. Without parameters it takes METH_NOARGS, else the
// vector call with keywords, static without a receiver.
template <const Signature& S>
PyMethodDef method(PyCFunction entry) {
    static_assert(S.parameters.empty() && S.receiver == Receiver::self);
    return {detail::TEXT<detail::write_name, S>.data(), entry, METH_NOARGS, TEXT_SIGNATURE<S>};
}
template <const Signature& S>
PyMethodDef method(PyCFunctionFastWithKeywords entry) {
    static_assert(!S.parameters.empty());
    constexpr int flags = METH_FASTCALL | METH_KEYWORDS | (S.receiver == Receiver::none ? METH_STATIC : 0);
    const auto function = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
    return {detail::TEXT<detail::write_name, S>.data(), function, flags, TEXT_SIGNATURE<S>};
}

// Thrown where a Python exception is set already; the guard leaves it as it
// is.
struct PythonError {};

// The UTF-8 text of a str argument. TypeError with the "argument 'name': "
// prefix for another type; a string that cannot be encoded keeps CPython's
// own UnicodeEncodeError. Either leaves as PythonError.
[[nodiscard]] std::string_view text_argument(PyObject* arg, const char* parameter);

// Sets TypeError "'{type}' object cannot be converted to '{target}'", with the
// "argument '{parameter}': " prefix when parameter is not NULL; returns NULL.
PyObject* conversion_error(PyObject* arg, const char* target, const char* parameter);

// A new str from ASCII text.
[[nodiscard]] PyObject* ascii_string(const char* text, std::size_t length);

// Creates the panic exception type, once per runtime when the module is
// initialised, so that raising a panic never needs to create a type. Returns
// false with an exception set.
[[nodiscard]] bool create_panic_type();

// Turns the exception being handled into the matching Python exception. A
// failure while raising (no memory, no stack left) leaves as its own Python
// exception.
void raise_current_exception() noexcept;

// Runs the body; a C++ exception leaves it as a Python exception and NULL. A
// body that returns nothing returns None.
template <typename Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        if constexpr (std::is_void_v<decltype(body())>) {
            body();
            return Py_NewRef(Py_None);
        } else {
            return body();
        }
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

// Allocates an instance of `type` and builds its record in place from the
// arguments, not yet borrowed; if building fails, the instance is freed again.
template <typename Record, typename... Args>
PyObject* emplace(PyTypeObject* type, Args&&... args) {
    PyObject* object = type->tp_alloc(type, 0);
    if (!object) return nullptr;
    Instance<Record>* self = instance<Record>(object);
    try {
        new (&self->record) Record(std::forward<Args>(args)...);
    } catch (...) {
        type->tp_free(object);
        Py_DECREF(type);
        throw;
    }
    new (&self->borrow) std::atomic<std::int64_t>(0);
    return object;
}

// tp_dealloc of both types: destroys the record and frees the instance. The
// records' destructors cannot fail, and an exception pending while the object
// dies belongs to the caller and is left alone.
template <typename Record>
void dealloc(PyObject* object) {
    static_assert(std::is_nothrow_destructible_v<Record>);
    PyTypeObject* type = Py_TYPE(object);
    instance<Record>(object)->record.~Record();
    type->tp_free(object);
    Py_DECREF(type);
}

// tp_alloc of both types. Every entry that allocates builds the whole record
// in place right after, so the instance is not zeroed first as
// PyType_GenericAlloc would; tp_free stays PyObject_Free.
[[nodiscard]] PyObject* allocate(PyTypeObject* type, Py_ssize_t items);

// The memory of up to 64 dead instances of one type, kept for the next ones:
// boards made and dropped in a loop (copies, boards from FEN text) then skip
// the allocator both ways. Used only under the interpreter lock, by one
// interpreter, and only between start() when the module is made and stop()
// when it dies, which gives the memory back: an instance that outlives its
// module is freed as usual, and a later runtime starts with no spares.
template <typename Record>
class Spares {
public:
    // tp_alloc and tp_dealloc of the type, as allocate() and dealloc<Record>
    // with a stop at the spares.
    [[nodiscard]] static PyObject* allocate(PyTypeObject* type, Py_ssize_t items) {
        if (count_ == 0) return py::allocate(type, items);
        return PyObject_Init(static_cast<PyObject*>(spares_[--count_]), type);
    }
    static void dealloc(PyObject* object) {
        static_assert(std::is_nothrow_destructible_v<Record>);
        PyTypeObject* type = Py_TYPE(object);
        instance<Record>(object)->record.~Record();
        if (keeping_ && count_ < CAPACITY)
            spares_[count_++] = object;
        else
            type->tp_free(object);
        Py_DECREF(type);
    }
    static void start() { keeping_ = true; }
    static void stop() {
        keeping_ = false;
        while (count_) PyObject_Free(spares_[--count_]);
    }

private:
    static constexpr unsigned CAPACITY = 64;
    static inline void* spares_[CAPACITY];
    static inline unsigned count_ = 0;
    static inline bool keeping_ = false;
};

// Creates a heap type from its spec, which makes it immutable: an instance
// can only come from the type's own constructor, with its record built.
// CPython fills the type's __doc__ from tp_doc with the signature cut off (an
// empty string); it is set to None so that only __text_signature__ carries
// the signature.
[[nodiscard]] PyObject* create_type(PyType_Spec* spec);

}  // namespace velmor::py
