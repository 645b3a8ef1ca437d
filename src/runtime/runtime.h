// The shared native runtime: owning object handles, the one error convention,
// interned names, calls, imports, module globals and class building.
//
// Error convention: a C API call that fails leaves the Python error set, and
// the C++ side throws `Error` (which carries nothing) to unwind. Every entry
// point that CPython calls catches it through `guarded()` and answers with
// nullptr or -1, so no C++ exception ever reaches the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <initializer_list>
#include <utility>

namespace rt {

// ---------------------------------------------------------------------------
// Errors
// ---------------------------------------------------------------------------

// Thrown when a Python exception is set and the caller must unwind.
struct Error {};

[[noreturn]] void raise(PyObject* type, const char* message);
[[noreturn]] void raise_format(PyObject* type, const char* format, ...);
// `raise exc` as the statement does it: an exception instance is raised as it
// is, an exception class is called without arguments first, and anything
// else gives TypeError("exceptions must derive from BaseException").
[[noreturn]] void raise_object(PyObject* exc);

// Turns whatever is in flight (Error, bad_alloc, anything else) into a set
// Python exception. Called only from a catch block.
void translate_current_exception() noexcept;

// Runs `body` and converts any C++ exception into a Python one; `failed` is
// what the entry point returns on failure (nullptr or -1).
template <class F, class R = decltype(std::declval<F>()())>
R guarded(F&& body, R failed) noexcept {
    try {
        return body();
    } catch (...) {
        translate_current_exception();
        return failed;
    }
}

// ---------------------------------------------------------------------------
// Ref: owns exactly one reference (or none)
// ---------------------------------------------------------------------------

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : p_(Py_XNewRef(other.p_)) {}
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ~Ref() { Py_XDECREF(p_); }

    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }

    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    operator PyObject*() const noexcept { return p_; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// A new reference from the C API, or Error if it is null.
inline Ref check(PyObject* p) {
    if (p == nullptr) [[unlikely]]
        throw Error{};
    return Ref::steal(p);
}

// A status code from the C API: -1 (or any negative value) means failure.
inline int check(int rc) {
    if (rc < 0) [[unlikely]]
        throw Error{};
    return rc;
}

// ---------------------------------------------------------------------------
// Interned names
// ---------------------------------------------------------------------------

// A string constant interned once at module initialisation and kept for the
// life of the process. Declare at namespace scope:
//     static rt::Name s_acquire{"acquire"};
class Name {
public:
    explicit Name(const char* text) noexcept;
    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;

    PyObject* get() const noexcept { return object_; }
    operator PyObject*() const noexcept { return object_; }
    const char* text() const noexcept { return text_; }

    // Interns every Name declared so far; true on success.
    static bool intern_all() noexcept;

private:
    const char* text_;
    PyObject* object_ = nullptr;
    Name* next_;
};

// A tuple of keyword names, made once and kept (for vectorcall kwnames).
class KwNames {
public:
    KwNames(std::initializer_list<const Name*> names) noexcept;
    PyObject* get() const noexcept { return tuple_; }
    operator PyObject*() const noexcept { return tuple_; }
    static bool build_all() noexcept;

private:
    static constexpr std::size_t kMax = 8;
    const Name* names_[kMax] = {};
    std::size_t count_ = 0;
    bool too_many_ = false;  // reported when the tuples are built
    PyObject* tuple_ = nullptr;
    KwNames* next_;
};

// Interns names, builds keyword tuples and creates the function type (named
// `function_type_name`); call first in module init.
void init_constants(const char* function_type_name);

// ---------------------------------------------------------------------------
// Object helpers (each throws Error on failure)
// ---------------------------------------------------------------------------

inline PyObject* as_ptr(PyObject* p) noexcept { return p; }
inline PyObject* as_ptr(const Ref& r) noexcept { return r.get(); }
inline PyObject* as_ptr(const Name& n) noexcept { return n.get(); }

inline Ref getattr(PyObject* obj, PyObject* name) { return check(PyObject_GetAttr(obj, name)); }
// The attribute, or an empty Ref when reading it raises AttributeError (as
// hasattr decides); any other error propagates.
Ref getattr_optional(PyObject* obj, PyObject* name);
inline void setattr(PyObject* obj, PyObject* name, PyObject* value) {
    check(PyObject_SetAttr(obj, name, value));
}
inline void delattr(PyObject* obj, PyObject* name) { check(PyObject_SetAttr(obj, name, nullptr)); }

inline bool truthy(PyObject* obj) { return check(PyObject_IsTrue(obj)) != 0; }
inline bool isinstance(PyObject* obj, PyObject* cls) { return check(PyObject_IsInstance(obj, cls)) != 0; }
inline Ref str(PyObject* obj) { return check(PyObject_Str(obj)); }
inline Ref new_int(long long v) { return check(PyLong_FromLongLong(v)); }
inline Ref new_string(const char* text) { return check(PyUnicode_FromString(text)); }
inline Ref none() noexcept { return Ref::borrow(Py_None); }
inline Ref boolean(bool v) noexcept { return Ref::borrow(v ? Py_True : Py_False); }
Ref new_tuple(std::initializer_list<PyObject*> items);

// callable(*args)
template <class... A>
Ref call(PyObject* callable, const A&... args) {
    PyObject* argv[] = {nullptr, as_ptr(args)...};
    return check(PyObject_Vectorcall(callable, argv + 1,
                                     sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// callable(*positional, **dict(zip(kwnames, keyword_values)))
template <class... A>
Ref call_kw(PyObject* callable, PyObject* kwnames, const A&... args) {
    PyObject* argv[] = {nullptr, as_ptr(args)...};
    std::size_t nkw = static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames));
    return check(PyObject_Vectorcall(callable, argv + 1,
                                     (sizeof...(A) - nkw) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// obj.name(*args)
template <class... A>
Ref call_method(PyObject* obj, PyObject* name, const A&... args) {
    PyObject* argv[] = {obj, as_ptr(args)...};
    return check(PyObject_VectorcallMethod(name, argv, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                           nullptr));
}

// obj.name(*positional, **keywords): the last PyTuple_GET_SIZE(kwnames)
// arguments are the keyword values.
template <class... A>
Ref call_method_kw(PyObject* obj, PyObject* name, PyObject* kwnames, const A&... args) {
    PyObject* argv[] = {obj, as_ptr(args)...};
    std::size_t nkw = static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames));
    return check(PyObject_VectorcallMethod(
        name, argv, (1 + sizeof...(A) - nkw) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// for item in iterable: body(item)
template <class F>
void for_each(PyObject* iterable, F&& body) {
    Ref it = check(PyObject_GetIter(iterable));
    while (PyObject* item = PyIter_Next(it)) {
        Ref owned = Ref::steal(item);
        body(owned.get());
    }
    if (PyErr_Occurred())
        throw Error{};
}

// `a, b, c = item` as the statement unpacks: an exact tuple of the right
// size is read directly, anything else is iterated for exactly `n` values
// and one more (which must not come), with the interpreter's TypeError and
// ValueError messages. `out` receives `n` owned references.
void unpack(PyObject* item, Ref* out, Py_ssize_t n);

// callable(*args_tuple, **kwargs_dict) with the star-expansion rules of a call
// expression: any iterable for *, any mapping for **.
Ref call_star(PyObject* callable, PyObject* args, PyObject* kwargs);

// ---------------------------------------------------------------------------
// Imports
// ---------------------------------------------------------------------------

// `import name` (absolute, level 0) as a statement does it, through
// builtins.__import__; returns the top-level module for dotted names.
Ref import_module(PyObject* globals, const char* name);
// `from module import name` with the given level (0 absolute, 1 relative to
// the package of `globals`); ImportError when the name is missing.
Ref import_from(PyObject* globals, const char* module, const char* name, int level = 0);

// ---------------------------------------------------------------------------
// Module globals and module set-up
// ---------------------------------------------------------------------------

// Binds `name` in a module's dict (module initialisation binds in order).
inline void bind_global(PyObject* globals, PyObject* name, PyObject* value) {
    check(PyDict_SetItem(globals, name, value));
}

// `__import__('multiprocessing').get_context('fork')`: the start-method
// context both modules use in place of the package, leaving the process-wide
// default start method alone.
Ref fork_context(PyObject* globals);

// The exec step of a multi-phase module whose initialisation is `Init`.
template <void (*Init)(PyObject*)>
int module_exec(PyObject* module) noexcept {
    return guarded(
        [&] {
            Init(module);
            return 0;
        },
        -1);
}

// The value of `name` in a module's dict, else in builtins, else NameError.
Ref load_global(PyObject* globals, PyObject* name);

// ---------------------------------------------------------------------------
// Exceptions being handled
// ---------------------------------------------------------------------------

// What an `except` block sees: takes the pending exception, normalises it,
// attaches its traceback, and makes it the exception being handled (so that
// sys.exc_info() and logging see it, and any exception raised meanwhile gets
// it as __context__). The previous handled exception comes back on exit.
class ExceptScope {
public:
    ExceptScope() noexcept;
    ~ExceptScope();
    ExceptScope(const ExceptScope&) = delete;
    ExceptScope& operator=(const ExceptScope&) = delete;

    PyObject* type() const noexcept { return type_; }
    PyObject* value() const noexcept { return value_; }
    PyObject* traceback() const noexcept { return traceback_ ? traceback_ : Py_None; }
    bool matches(PyObject* type) const noexcept { return PyErr_GivenExceptionMatches(type_, type) != 0; }
    // Sets the handled exception pending again, as a bare `raise` does.
    [[noreturn]] void reraise() noexcept(false);

private:
    PyObject *type_, *value_, *traceback_;
    PyObject *saved_type_, *saved_value_, *saved_traceback_;
};

// `with manager: body()` with the statement's protocol: __enter__ and __exit__
// looked up on the type, __exit__ told of an exception (and a true result
// swallowing it).
template <class F>
void with_context(PyObject* manager, F&& body);

struct WithExit {
    Ref exit;
    explicit WithExit(PyObject* manager);
    void leave_normally();
    // Called with the exception pending; returns normally if __exit__ swallowed it.
    void leave_with_error();
};

template <class F>
void with_context(PyObject* manager, F&& body) {
    WithExit scope(manager);
    try {
        body();
    } catch (...) {
        translate_current_exception();
        scope.leave_with_error();
        return;
    }
    scope.leave_normally();
}

// ---------------------------------------------------------------------------
// Class building
// ---------------------------------------------------------------------------

class FunctionDef;

// Builds a class as a class statement does: an ordered namespace starting with
// __module__, __qualname__ and __doc__, then the members in order, handed once
// to the metaclass. Functions that use zero-argument super() share the
// namespace's __classcell__, which type.__new__ fills with the new class.
class ClassBuilder {
public:
    ClassBuilder(PyObject* globals, const char* name, const char* doc);

    // Adds `value` under `name`, keeping declaration order.
    ClassBuilder& add(const char* name, PyObject* value);
    // Adds a function of this class, wrapped in the built-in `wrapper`
    // (classmethod, staticmethod, property) when given.
    ClassBuilder& add_function(const FunctionDef& def, PyObject* defaults = nullptr,
                               PyObject* kwdefaults = nullptr, PyObject* wrapper = nullptr);

    // Calls `metaclass` (or the most derived metaclass of `bases` when null)
    // with (name, bases, namespace) and returns the class.
    Ref build(PyObject* bases, PyObject* metaclass = nullptr);

private:
    PyObject* globals_;
    Ref name_;
    Ref namespace_;
    Ref classcell_;
};

}  // namespace rt
