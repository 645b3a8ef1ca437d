// The shared native runtime: owning object handles, the one error convention,
// interned names, calls, imports, module globals and class building.
//
// Error convention: a C API call that fails leaves the Python error set, and
// the C++ side throws `Error` (which carries nothing) to unwind. Every entry
// point that CPython calls catches it through `guarded()` and answers with
// nullptr or -1, so no C++ exception ever reaches the interpreter.
//
// Ownership rule: almost any C API call can run Python code (a call, an
// attribute read, a comparison or hash inside a dict lookup, iteration,
// len(), str(), even the release of a reference to a user object), and that
// code can clear, shrink, replace or free whatever the native side is looking
// at. So no borrowed reference, cached size or pointer into a container's
// storage (PyList_GET_ITEM, PyTuple_GET_ITEM, PyDict_Next, a field of one of
// our objects) may live across such a call: take a `Ref` first, or read it
// again after the call. Reading borrowed items directly is fine only where no
// user code can run in between. A container that a caller passed in, or that
// user code handed back (a list from items()), is never modified.
//
// Where an algorithm is written in Python, the C++ means exactly that
// statement for every object: `x[-1]` is a subscription, `isinstance` the
// built-in, `a, b = item` is `unpack`, `next(it)` is `next`, `f(*a, **k)` is
// `call_star`. C++ leaves the evaluation order of a call's arguments
// unspecified, so attribute reads whose order matters go into locals first,
// one statement each.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <initializer_list>
#include <utility>
#include <vector>

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

// The built-in truth test; True and False answer without the call, as
// PyObject_IsTrue itself would.
inline bool truthy(PyObject* obj) {
    if (obj == Py_True)
        return true;
    if (obj == Py_False)
        return false;
    return check(PyObject_IsTrue(obj)) != 0;
}
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

// `next(it)` as the built-in does it: TypeError for a non-iterator, and the
// StopIteration that the iterator raised (with its arguments) when it ends.
Ref next(PyObject* it);

// `out[0], ..., out[n-1] = item` as the statement unpacks: iterates `item`
// (an exact tuple or list of the right size is read directly) and raises the
// interpreter's TypeError or ValueError; it reads at most n + 1 values, so an
// endless item is never exhausted.
void unpack(PyObject* item, Ref* out, Py_ssize_t n);

// iter(mapping.items()), for mappings other than an exact dict.
Ref items_iterator(PyObject* mapping);

// for key, value in mapping.items(): body(key, value)
// An exact dict is walked in place, with strong references to each entry
// while the body runs, and fails as a dict iterator does if the body changes
// its size. Anything else is asked for items() and each item is unpacked.
template <class F>
void for_each_pair(PyObject* mapping, F&& body) {
    if (PyDict_CheckExact(mapping)) {
        Ref dict = Ref::borrow(mapping);
        const Py_ssize_t size = PyDict_GET_SIZE(mapping);
        Py_ssize_t pos = 0, left = size;
        PyObject *key, *value;
        for (;;) {
            if (PyDict_GET_SIZE(dict.get()) != size)
                raise(PyExc_RuntimeError, "dictionary changed size during iteration");
            if (!PyDict_Next(dict, &pos, &key, &value))
                return;
            if (left-- == 0)
                raise(PyExc_RuntimeError, "dictionary keys changed during iteration");
            Ref k = Ref::borrow(key), v = Ref::borrow(value);
            body(k.get(), v.get());
        }
    }
    Ref it = items_iterator(mapping);
    while (PyObject* item = PyIter_Next(it)) {
        Ref owned = Ref::steal(item);
        Ref pair[2];
        unpack(owned, pair, 2);
        body(pair[0].get(), pair[1].get());
    }
    if (PyErr_Occurred())
        throw Error{};
}

// callable(*args, **kwargs) as a call expression does it: the ** operand is
// merged into a new dict first (any mapping; a key given twice is an error),
// then the * operand becomes a tuple (any iterable), each failure reported
// with the interpreter's message.
Ref call_star(PyObject* callable, PyObject* args, PyObject* kwargs);

// ---------------------------------------------------------------------------
// Depth of native calls, and freeing long chains
// ---------------------------------------------------------------------------

// Native calls leave no interpreter frames, so each one that can lead to
// another counts itself: a chain of them ends in RecursionError at the depth
// sys.getrecursionlimit() sets, counted together with the Python frames
// around it. Up to 3.11 Py_EnterRecursiveCall does exactly that; from 3.12 it
// counts against a limit of its own instead (3.12, 3.13: a fixed count of C
// calls; 3.14 on: the room left on the thread's C stack), so the call takes a
// place in the Python frames' count as a frame would. The thread state's
// fields py_recursion_remaining and recursion_headroom are the only way to
// that count: they are not part of the limited API, but are the same fields
// from 3.12 to 3.15; should they go, PyUnstable_ or Py_ entry points to the
// Python frames' count would replace them here, and without one the count
// of Py_EnterRecursiveCall alone would remain. From 3.14 the C stack is
// measured as well, as the interpreter measures it for its own frames, so a
// chain on a thread with a small stack ends in RecursionError too, with the
// recursion limit raised. 0 on entry, -1 with RecursionError set.
inline int enter_recursive_call(const char* where) noexcept {
#if PY_VERSION_HEX < 0x030C0000
    return Py_EnterRecursiveCall(where);
#else
#if PY_VERSION_HEX >= 0x030E0000
    if (Py_EnterRecursiveCall(where))
        return -1;
#endif
    PyThreadState* tstate = PyThreadState_Get();
    // The interpreter lends 50 more levels while it raises RecursionError.
    const int floor = tstate->recursion_headroom ? -50 : 0;
    if (tstate->py_recursion_remaining-- > floor)
        return 0;
    ++tstate->py_recursion_remaining;
    ++tstate->recursion_headroom;
    PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
    --tstate->recursion_headroom;
#if PY_VERSION_HEX >= 0x030E0000
    Py_LeaveRecursiveCall();
#endif
    return -1;
#endif
}

inline void leave_recursive_call() noexcept {
#if PY_VERSION_HEX < 0x030C0000
    Py_LeaveRecursiveCall();
#else
    ++PyThreadState_Get()->py_recursion_remaining;
#if PY_VERSION_HEX >= 0x030E0000
    Py_LeaveRecursiveCall();
#endif
#endif
}

// RT_TRASHCAN_BEGIN(op, dealloc) ... RT_TRASHCAN_END around the body of a
// deallocator whose object can hold the only reference to another of its
// kind: past a small nesting depth the object is put aside and freed later,
// from the outermost free, so that freeing a long chain never recurses once
// per link. The interpreter's own trashcan cannot serve on every version:
// from 3.13 it waits until its C recursion budget (10,000 levels) is almost
// spent, far too deep for a small thread stack.
namespace detail {
struct Trashcan {
    static constexpr int kDepth = 50;
    int depth = 0;
    std::vector<PyObject*> later;

    // False when the object cannot be put aside (no memory): it is freed at
    // once, one level deeper.
    bool defer(PyObject* op) noexcept {
        try {
            later.push_back(op);
            return true;
        } catch (...) {
            return false;
        }
    }
    // Frees what was put aside. The depth stays at one meanwhile, so that
    // those frees put their own deeper links aside instead of draining again
    // from within.
    void drain() noexcept {
        depth = 1;
        while (!later.empty()) {
            PyObject* op = later.back();
            later.pop_back();
            Py_TYPE(op)->tp_dealloc(op);
        }
        depth = 0;
    }
};
inline thread_local Trashcan trashcan;
}  // namespace detail

#define RT_TRASHCAN_BEGIN(op, dealloc)                                                       \
    do {                                                                                      \
        ::rt::detail::Trashcan& rt_trashcan_ = ::rt::detail::trashcan;                        \
        if (rt_trashcan_.depth >= ::rt::detail::Trashcan::kDepth &&                           \
            Py_TYPE(op)->tp_dealloc == static_cast<destructor>(dealloc) && rt_trashcan_.defer(op)) \
            break;                                                                            \
        ++rt_trashcan_.depth;
#define RT_TRASHCAN_END                                      \
        if (--rt_trashcan_.depth == 0 && !rt_trashcan_.later.empty()) \
            rt_trashcan_.drain();                            \
    } while (0);

// ---------------------------------------------------------------------------
// Imports
// ---------------------------------------------------------------------------

// `import name` (absolute, level 0) as a statement does it, through
// builtins.__import__; returns the top-level module for dotted names.
Ref import_module(PyObject* globals, const char* name);
// `from module import name` with the given level (0 absolute, 1 relative to
// the package of `globals`); when the name is missing, the statement's
// ImportError, with its `name` and `path`.
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

// The modules keep process-wide state (interned names, the function type,
// the builtins), made once for the main interpreter and relying on the GIL:
// a sub-interpreter, or a free-threaded interpreter running without the GIL,
// gets ImportError at load time.
void check_interpreter(PyObject* module);

// Every module's interpreter slots, after its Py_mod_exec: no sub-interpreters
// (3.12+), and the GIL kept on in a free-threaded build (3.13+).
#if PY_VERSION_HEX >= 0x030D0000
#define RT_MODULE_INTERPRETER_SLOTS                                              \
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED}, \
        {Py_mod_gil, Py_MOD_GIL_USED},
#elif PY_VERSION_HEX >= 0x030C0000
#define RT_MODULE_INTERPRETER_SLOTS {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define RT_MODULE_INTERPRETER_SLOTS
#endif

// The exec step of a multi-phase module whose initialisation is `Init`.
template <void (*Init)(PyObject*)>
int module_exec(PyObject* module) noexcept {
    return guarded(
        [&] {
            check_interpreter(module);
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
