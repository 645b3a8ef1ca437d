// tavrix.async_.synchronize: per-instance locks that exclude concurrent
// callers across threads and across processes forked after the lock exists.
//
// Every function reads the module-level names it uses (functools,
// multiprocessing, logger, inspect, locked) from the module dict at call
// time, so a replaced attribute takes effect at the next call.
#include "function.h"
#include "runtime.h"

#include <algorithm>
#include <cstring>
#include <vector>

using rt::Bound;
using rt::call;
using rt::call_method;
using rt::check;
using rt::FunctionObject;
using rt::getattr;
using rt::Kind;
using rt::Name;
using rt::Param;
using rt::Ref;

namespace {

Name s_inspect{"inspect"}, s_logging{"logging"}, s_functools{"functools"}, s_multiprocessing{"multiprocessing"},
    s_logger{"logger"}, s_Lockable{"Lockable"}, s_locked{"locked"}, s_LockableMeta{"LockableMeta"};

Name s_name{"__name__"}, s_new{"__new__"},
    s_getLogger{"getLogger"}, s_RLock{"RLock"}, s_wraps{"wraps"}, s_lock_attr{"__lock__"}, s_acquire{"acquire"},
    s_release{"release"}, s_warning{"warning"}, s_block{"block"}, s_timeout{"timeout"}, s_lock{"lock"},
    s_self{"self"}, s_marker{"_LockedMeta_ignore"}, s_isfunction{"isfunction"},
    s_startswith{"startswith"}, s_underscore{"_"};

rt::KwNames kw_block{&s_block};
rt::KwNames kw_block_timeout{&s_block, &s_timeout};

// ===========================================================================
// Calling the lock
// ===========================================================================

// The fork context's locks keep the acquire and release of their
// `_multiprocessing.SemLock` as instance attributes: built-ins whose
// signatures are acquire(block=True, timeout=None) and release(). When the
// attribute read from the lock is one of them, it is run straight through its
// C entry point, with the arguments by position: the same call, without the
// keyword search and the generic call machinery (it calls no Python code that
// could come back here). Recognised by their method table entries, found the
// first time such a method is met. Any other callable goes through the
// generic call, under the recursion guard: a lock whose method leads back to
// one of these functions must end in RecursionError, not a stack overflow.
const PyMethodDef* g_semlock_acquire = nullptr;
const PyMethodDef* g_semlock_release = nullptr;

// The SemLock method `callable` is, when it is the one named `name` with the
// calling convention `flags`; else null.
PyObject* semlock_method(PyObject* callable, const PyMethodDef*& known, const char* name, int flags) noexcept {
    if (!PyCFunction_CheckExact(callable))
        return nullptr;
    const PyMethodDef* def = reinterpret_cast<PyCFunctionObject*>(callable)->m_ml;
    PyObject* owner = PyCFunction_GET_SELF(callable);
    if (def == known)
        return owner;
    if (known != nullptr || owner == nullptr || def->ml_flags != flags || std::strcmp(def->ml_name, name) != 0 ||
        std::strcmp(Py_TYPE(owner)->tp_name, "_multiprocessing.SemLock") != 0)
        return nullptr;
    known = def;
    return owner;
}

// How many of the N values (block, timeout, by position) the SemLock's
// acquire is given: none when they are its own defaults, True and None,
// which is the same call without its argument conversion.
template <size_t N>
Py_ssize_t semlock_acquire_nargs(PyObject* const* values) noexcept {
    if constexpr (N == 2) {
        if (values[0] == Py_True && values[1] == Py_None)
            return 0;
    }
    return static_cast<Py_ssize_t>(N);
}

// ---------------------------------------------------------------------------
// Reading `__lock__` and the lock's methods
// ---------------------------------------------------------------------------
//
// These reads are most of what a locked call or Lockable.acquire/release
// costs beyond the lock's own work, and much of each read is the search of
// the object's class and its bases for a descriptor that the class does not
// have. The interpreter keeps the result of that search against the class's
// version tag, which changes whenever the class or a base is changed; a memo
// below keeps it the same way, for one class, so that while the tag is
// unchanged `obj.<name>` is known to be the instance's own attribute and
// nothing else. The attribute itself is read afresh every time.
//
// What the memo buys depends on the version:
// - it tells that two reads in a row give the same object, with nothing run
//   in between, so the wrapper's test for a missing lock can also be the
//   read that gives the lock to acquire (every version that keeps a memo);
// - the read can then be the instance dict's entry alone, without the
//   search. On 3.10 every object has its dict. From 3.11 an object keeps its
//   attributes inline until its dict is asked for, and asking for it costs
//   the object's own code for good: the interpreter's reads of it (3.11,
//   3.12) or its stores (3.13) leave their fast paths. So from 3.11 only the
//   fork context's locks are read through their dict, on 3.13, where reads
//   keep their fast path and those locks store nothing after they are made;
//   everything else takes the generic read.
// From 3.14 the memo serves the merged read alone; the lock's dict is not
// asked for there, its effect on the interpreter's own reads unmeasured.
#define SYNC_CLASS_MEMO 1
constexpr bool kOwnerThroughDict = PY_VERSION_HEX < 0x030B0000;
constexpr bool kLockThroughDict =
    PY_VERSION_HEX < 0x030B0000 || (PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000);

// A class seen to have no class attribute of one name, while its version tag
// is `version`; `dict`: its instances are read through their dict.
struct InstanceOnly {
    PyTypeObject* type = nullptr;
    unsigned int version = 0;
    bool dict = false;
};

InstanceOnly g_lock_attr_memo, g_acquire_memo, g_release_memo;

#if SYNC_CLASS_MEMO
inline bool tag_valid(PyTypeObject* type) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return type->tp_version_tag != 0;  // the flag is no longer kept
#else
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG);
#endif
}

inline bool holds(const InstanceOnly& memo, PyTypeObject* type) noexcept {
    return type == memo.type && type->tp_version_tag == memo.version && tag_valid(type);
}

// The instance dict (a new reference), or null, with an error set only if
// asking for it failed.
inline PyObject* instance_dict(PyObject* obj, PyTypeObject* type) noexcept {
#if PY_VERSION_HEX < 0x030B0000
    if (type->tp_dictoffset <= 0)
        return nullptr;
    return Py_XNewRef(*reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + type->tp_dictoffset));
#else
    if (!PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT) && type->tp_dictoffset <= 0)
        return nullptr;
    return PyObject_GenericGetDict(obj, nullptr);
#endif
}
#endif

// obj.<name> (PyObject_GetAttr) for an interned string name: a new
// reference, or null with the error set. `Dict`: the reads that may go
// through the instance dict; `plain`, when given, tells whether the value is
// known to be the instance's own attribute (read with nothing else run).
// `through_dict`, used when the memo is made, says whether this class's
// instances may be read through their dict.
template <bool Dict, class ThroughDict>
inline PyObject* attribute(PyObject* obj, PyObject* name, InstanceOnly& memo, bool* plain,
                           ThroughDict&& through_dict) noexcept {
    PyTypeObject* type = Py_TYPE(obj);
    if (plain != nullptr)
        *plain = false;
    if (type->tp_getattro != PyObject_GenericGetAttr)
        return PyObject_GetAttr(obj, name);
#if SYNC_CLASS_MEMO
    if (!Dict && plain == nullptr)
        return PyObject_GenericGetAttr(obj, name);
    if (holds(memo, type)) {
        if (plain != nullptr)
            *plain = true;
        if (Dict && memo.dict) {
            PyObject* dict = instance_dict(obj, type);
            if (dict != nullptr) {
                PyObject* value = PyDict_GetItemWithError(dict, name);
                Py_XINCREF(value);
                Py_DECREF(dict);
                if (value != nullptr || PyErr_Occurred())
                    return value;
            } else if (PyErr_Occurred()) {
                return nullptr;
            }
        }
        return PyObject_GenericGetAttr(obj, name);  // also raises the AttributeError
    }
    // The class is searched after the read, which may have run Python code
    // (a key's __eq__): the tag read with it is the one the search saw. The
    // search itself may run such code, so this read is not called plain.
    // (_PyType_Lookup: the interpreter's own class search, private but
    // exported through 3.15; see lookup_special in the runtime.)
    PyObject* value = PyObject_GenericGetAttr(obj, name);
    if (value != nullptr && _PyType_Lookup(type, name) == nullptr && tag_valid(type))
        memo = {type, type->tp_version_tag, Dict && through_dict(value)};
    return value;
#else
    (void)memo, (void)through_dict;
    return PyObject_GenericGetAttr(obj, name);
#endif
}

constexpr auto any_class = [](PyObject*) { return true; };

// self.__lock__; `plain` as above.
inline PyObject* own_lock(PyObject* self, bool* plain = nullptr) noexcept {
    return attribute<kOwnerThroughDict>(self, s_lock_attr, g_lock_attr_memo, plain, any_class);
}

// lock.acquire or lock.release. From 3.11 only the fork context's locks are
// read through their dict (see above): classes whose method is the SemLock's.
inline PyObject* lock_method(PyObject* lock, PyObject* name, InstanceOnly& memo, const PyMethodDef*& known,
                             const char* method_name, int flags) noexcept {
    return attribute<kLockThroughDict>(lock, name, memo, nullptr, [&](PyObject* value) {
        return PY_VERSION_HEX < 0x030B0000 || semlock_method(value, known, method_name, flags) != nullptr;
    });
}

PyObject* guarded_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    if (rt::enter_recursive_call(" while calling a Python object"))
        return nullptr;
    PyObject* result = PyObject_Vectorcall(callable, args, nargsf, kwnames);
    rt::leave_recursive_call();
    return result;
}

// lock.acquire(**dict(zip(kwnames, values))). `argv[0]` is free scratch
// space, `argv[1]` is the lock and the N values follow. A new reference, or
// null with the error set.
//
// The method is read as the attribute it is (what `lock.acquire` reads): for
// the fork context's locks an instance attribute, returned as it is stored,
// so no bound method is made.
template <size_t N>
PyObject* lock_acquire(PyObject* (&argv)[N + 2], PyObject* kwnames) noexcept {
    constexpr int kFlags = METH_FASTCALL | METH_KEYWORDS;
    PyObject* method = lock_method(argv[1], s_acquire, g_acquire_memo, g_semlock_acquire, "acquire", kFlags);
    if (method == nullptr)
        return nullptr;
    PyObject* result;
    if (PyObject* semlock = semlock_method(method, g_semlock_acquire, "acquire", kFlags)) {
        auto entry = reinterpret_cast<_PyCFunctionFastWithKeywords>(
            reinterpret_cast<void (*)()>(g_semlock_acquire->ml_meth));
        result = entry(semlock, argv + 2, semlock_acquire_nargs<N>(argv + 2), nullptr);
    } else {
        const size_t npos = N - static_cast<size_t>(PyTuple_GET_SIZE(kwnames));
        result = guarded_vectorcall(method, argv + 2, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames);
    }
    Py_DECREF(method);
    return result;
}

// lock.acquire(<kwnames>=values...).
template <class... A>
PyObject* call_acquire(PyObject* lock, PyObject* kwnames, A... values) noexcept {
    PyObject* argv[] = {nullptr, lock, values...};
    return lock_acquire<sizeof...(A)>(argv, kwnames);
}

// lock.acquire() with no arguments.
PyObject* call_acquire(PyObject* lock) noexcept {
    constexpr int kFlags = METH_FASTCALL | METH_KEYWORDS;
    PyObject* method = lock_method(lock, s_acquire, g_acquire_memo, g_semlock_acquire, "acquire", kFlags);
    if (method == nullptr)
        return nullptr;
    PyObject* result;
    if (PyObject* semlock = semlock_method(method, g_semlock_acquire, "acquire", kFlags)) {
        auto entry = reinterpret_cast<_PyCFunctionFastWithKeywords>(
            reinterpret_cast<void (*)()>(g_semlock_acquire->ml_meth));
        result = entry(semlock, nullptr, 0, nullptr);
    } else {
        result = guarded_vectorcall(method, nullptr, 0, nullptr);
    }
    Py_DECREF(method);
    return result;
}

// lock.release().
PyObject* call_release(PyObject* lock) noexcept {
    PyObject* method = lock_method(lock, s_release, g_release_memo, g_semlock_release, "release", METH_NOARGS);
    if (method == nullptr)
        return nullptr;
    PyObject* semlock = semlock_method(method, g_semlock_release, "release", METH_NOARGS);
    PyObject* result =
        semlock ? g_semlock_release->ml_meth(semlock, nullptr) : guarded_vectorcall(method, nullptr, 0, nullptr);
    Py_DECREF(method);
    return result;
}

// self.__lock__.acquire(<kwnames>=values...), self.__lock__.acquire() and
// self.__lock__.release(): a new reference, or null with the error set.
template <class... A>
PyObject* own_lock_acquire(PyObject* self, A... args) noexcept {
    PyObject* lock = own_lock(self);
    if (lock == nullptr)
        return nullptr;
    PyObject* result = call_acquire(lock, args...);
    Py_DECREF(lock);
    return result;
}

PyObject* own_lock_release(PyObject* self) noexcept {
    PyObject* lock = own_lock(self);
    if (lock == nullptr)
        return nullptr;
    PyObject* result = call_release(lock);
    Py_DECREF(lock);
    return result;
}

// ===========================================================================
// The locking wrapper
// ===========================================================================

// Step 1 of the generic wrapper: gives `self` a lock on its first locked
// call, deciding "missing" as hasattr does. When the read is known to be the
// instance's own attribute (see attribute()), reading it again for the
// acquire would give the same object with nothing run in between, so the
// lock found is returned to serve that read too; otherwise nothing is, and
// the acquire reads it afresh.
//
// Creating the lock runs Python code, so another thread can make its own
// first call meanwhile: the second look keeps whichever lock was set first,
// and every caller ends up sharing one lock.
Ref ensure_lock(FunctionObject& fn, PyObject* self) {
    bool plain;
    if (PyObject* found = own_lock(self, &plain)) {
        Ref lock = Ref::steal(found);
        return plain ? lock : Ref();
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        throw rt::Error{};
    PyErr_Clear();
    Ref lock = call_method(fn.global(s_multiprocessing), s_RLock);
    if (rt::getattr_optional(self, s_lock_attr))
        return {};
    rt::setattr(self, s_lock_attr, lock);
    return {};
}

// The objects whose waiting warning this thread is building, innermost
// last. str(self) may itself make a locked call of the same object, which
// then finds the lock taken as well: that call waits without a warning of
// its own, instead of building the same text again (and again, until the
// recursion limit).
thread_local std::vector<PyObject*> t_describing;

struct Describing {
    explicit Describing(PyObject* obj) { t_describing.push_back(obj); }
    ~Describing() { t_describing.pop_back(); }
    Describing(const Describing&) = delete;
    Describing& operator=(const Describing&) = delete;

    static bool contains(PyObject* obj) noexcept {
        return std::find(t_describing.begin(), t_describing.end(), obj) != t_describing.end();
    }
};

// The lock was taken: warn, then wait for it without limit.
void wait_for_lock(FunctionObject& fn, PyObject* self) {
    if (!Describing::contains(self)) {
        Ref text;
        {
            Describing building(self);
            text = check(PyUnicode_FromFormat("Waiting for lock on %S", self));
        }
        call_method(fn.global(s_logger), s_warning, text);
    }
    check(own_lock_acquire(self));
}

// One locked call: `invoke` calls the wrapped method. The lock is read from
// `self` afresh at every step, never kept between them.
template <bool CreatesLock, class Invoke>
Ref run_locked(FunctionObject& fn, PyObject* self, Invoke&& invoke) {
    Ref lock;
    if constexpr (CreatesLock)
        lock = ensure_lock(fn, self);
    if (!lock)
        lock = check(own_lock(self));
    Ref taken = check(call_acquire(lock.get(), kw_block.get(), Py_False));
    lock = Ref();
    if (!rt::truthy(taken))
        wait_for_lock(fn, self);
    Ref result;
    try {
        result = invoke();
    } catch (...) {
        rt::translate_current_exception();
        // A failing release replaces the method's exception and carries it
        // as __context__, as a `finally` clause would.
        rt::ExceptScope handled;
        check(own_lock_release(self));
        handled.reraise();
    }
    check(own_lock_release(self));
    return result;
}

// _wrapped(self, *args, **kwargs) after binding: the path of the calls that
// the vectorcall below does not forward as they are.
template <bool CreatesLock>
Ref wrapped_body(FunctionObject& fn, const Bound& a) {
    PyObject *self = a[0], *args = a[1], *kwargs = a[2];
    return run_locked<CreatesLock>(fn, self, [&] {
        Py_ssize_t n = PyTuple_GET_SIZE(args);
        Ref positional = check(PyTuple_New(n + 1));
        PyTuple_SET_ITEM(positional.get(), 0, Py_NewRef(self));
        for (Py_ssize_t i = 0; i < n; ++i)
            PyTuple_SET_ITEM(positional.get(), i + 1, Py_NewRef(PyTuple_GET_ITEM(args, i)));
        return check(PyObject_Call(fn.closure, positional, kwargs));
    });
}

// True when `self` arrives first among the positional arguments and no
// keyword could bind to it: the wrapper's signature then binds exactly what
// the caller passed, so the caller's vector can go to the method unchanged.
bool forwards_as_is(Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (nargs == 0)
        return false;
    if (kwnames == nullptr)
        return true;
    for (Py_ssize_t k = 0, n = PyTuple_GET_SIZE(kwnames); k < n; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        // A str subclass may compare equal to "self" in its own way: the
        // binder decides for it.
        if (!PyUnicode_CheckExact(keyword) || keyword == s_self.get() ||
            (PyUnicode_GET_LENGTH(keyword) == 4 && PyUnicode_Compare(keyword, s_self) == 0))
            return false;
    }
    return true;
}

// A locked call is the module's most frequent operation: it takes no tuple or
// dict of its own, only the lock's calls.
template <bool CreatesLock>
PyObject* wrapped_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    if (!forwards_as_is(PyVectorcall_NARGS(nargsf), kwnames)) [[unlikely]]
        return rt::generic_vectorcall(callable, args, nargsf, kwnames);
    FunctionObject* fn = reinterpret_cast<FunctionObject*>(callable);
    // Native calls leave no interpreter frames: a chain of wrappers must end
    // in RecursionError, not a stack overflow.
    if (rt::enter_recursive_call(" while calling a Python object"))
        return nullptr;
    PyObject* result = rt::guarded(
        [&] {
            // The wrapper is held by its caller for the call, and nothing
            // replaces what it closes over.
            PyObject* method = fn->closure;
            return run_locked<CreatesLock>(*fn, args[0], [&] {
                       return check(PyObject_Vectorcall(method, args, nargsf, kwnames));
                   }).release();
        },
        static_cast<PyObject*>(nullptr));
    rt::leave_recursive_call();
    return result;
}

const Param wrapped_params[] = {{"self"}, {"args", Kind::VarArgs}, {"kwargs", Kind::VarKeywords}};

const rt::FunctionDef locked_wrapped_def{
    "_wrapped", "locked.<locals>._wrapped", nullptr, wrapped_params, wrapped_body<true>, wrapped_vectorcall<true>};

const rt::FunctionDef Lockable_locked_wrapped_def{"_wrapped",          "Lockable.locked.<locals>._wrapped",
                                                  nullptr,             wrapped_params,
                                                  wrapped_body<false>, wrapped_vectorcall<false>};

// functools.wraps(method) applied to a new wrapper closing over `method`.
Ref make_wrapper(FunctionObject& fn, PyObject* method, const rt::FunctionDef& wrapper_def) {
    Ref decorate = call(getattr(fn.global(s_functools), s_wraps), method);
    Ref wrapper = rt::make_function(wrapper_def, fn.globals, method);
    return call(decorate, wrapper);
}

// ===========================================================================
// locked
// ===========================================================================

Ref locked(FunctionObject& fn, const Bound& a) { return make_wrapper(fn, a[0], locked_wrapped_def); }

const Param method_only[] = {{"method"}};
const rt::FunctionDef locked_def{
    "locked", "locked",
    "lock decorator\n"
    "\n"
    "Generic decorator that adds locking to a class method, for use with\n"
    "forked multiprocessing and threading.\n"
    "\n"
    ":return: a wrapped method that invokes an RLock\n"
    "\n"
    "The lock lives in the instance attribute __lock__, as a multiprocessing\n"
    "RLock, and is created by the first locked call on the instance.\n"
    "\n"
    "Warning: the lock must first be created in the main process (by calling a\n"
    "locked function, or equivalent) before forking; a lock first created in a\n"
    "child process breaks the mutual exclusion.",
    method_only, locked};

// ===========================================================================
// Lockable
// ===========================================================================

const char* const kLockableDoc =
    "Lockable\n"
    "\n"
    "Base class that adds locking and unlocking to a class object, so that it\n"
    "can be used from several processes and threads without deadlocks: every\n"
    "method call should first acquire the lock, do its work, then release the\n"
    "lock.\n"
    "\n"
    "Subclassing Lockable is the preferred way to build lockable classes.\n"
    "Users must call Lockable.__init__ explicitly through super(), and must\n"
    "decorate their locked methods with this class's own decorator,\n"
    "Lockable.locked, not the generic one.";

// --- __init__(self, *, lock=<RLock factory>) ---

Ref Lockable_init(FunctionObject&, const Bound& a) {
    PyObject *self = a[0], *lock = a[1];
    rt::setattr(self, s_lock_attr, call(lock));
    return rt::none();
}

const Param Lockable_init_params[] = {{"self"}, {"lock", Kind::KeywordOnly}};
const rt::FunctionDef Lockable_init_def{
    "__init__", "Lockable.__init__",
    "__init__\n"
    "\n"
    "Initialises the base class and sets the built-in lock.\n"
    "\n"
    ":param lock: the class used for locking, one of the multiprocessing Lock\n"
    "    family; called once with no arguments to make this instance's lock\n"
    "\n"
    "Warning: changing the lock can have harmful effects. The default RLock may\n"
    "be acquired again by the thread that holds it; a plain Lock may not, so a\n"
    "locked method calling another locked method of the same instance would\n"
    "wait for itself.",
    Lockable_init_params, Lockable_init};

// --- acquire(self, block=True, timeout=None) ---

Ref Lockable_acquire(FunctionObject&, const Bound& a) {
    PyObject *self = a[0], *block = a[1], *timeout = a[2];
    return check(own_lock_acquire(self, kw_block_timeout.get(), block, timeout));
}

// `obj.acquire()`, the common shape, without the binder: both parameters take
// their current defaults (held for the call, as the binder holds them). No
// recursion guard of its own: every call that could lead back here is made
// under one (see guarded_vectorcall).
PyObject* Lockable_acquire_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                                      PyObject* kwnames) noexcept {
    PyObject* defaults = reinterpret_cast<FunctionObject*>(callable)->defaults;
    if (PyVectorcall_NARGS(nargsf) != 1 || kwnames != nullptr || defaults == nullptr ||
        PyTuple_GET_SIZE(defaults) != 2) [[unlikely]]
        return rt::generic_vectorcall(callable, args, nargsf, kwnames);
    Py_INCREF(defaults);
    PyObject* result =
        own_lock_acquire(args[0], kw_block_timeout.get(), PyTuple_GET_ITEM(defaults, 0), PyTuple_GET_ITEM(defaults, 1));
    Py_DECREF(defaults);
    return result;
}

const Param Lockable_acquire_params[] = {{"self"}, {"block"}, {"timeout"}};
const rt::FunctionDef Lockable_acquire_def{
    "acquire", "Lockable.acquire",
    "acquire\n"
    "\n"
    "Acquires the lock of this instance.\n"
    "\n"
    ":param block: true to wait until the lock is free (default: True)\n"
    ":param timeout: with block true, the longest wait in seconds (default:\n"
    "    None, no limit)\n"
    ":return: True if the lock was obtained, False otherwise",
    Lockable_acquire_params, Lockable_acquire, Lockable_acquire_vectorcall};

// --- release(self) ---

Ref Lockable_release(FunctionObject&, const Bound& a) { return check(own_lock_release(a[0])); }

PyObject* Lockable_release_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                                      PyObject* kwnames) noexcept {
    if (PyVectorcall_NARGS(nargsf) != 1 || kwnames != nullptr) [[unlikely]]
        return rt::generic_vectorcall(callable, args, nargsf, kwnames);
    return own_lock_release(args[0]);
}

const Param self_only[] = {{"self"}};
const rt::FunctionDef Lockable_release_def{
    "release", "Lockable.release",
    "release\n"
    "\n"
    "Releases the lock of this instance. Only the process or thread that owns\n"
    "the lock may call it; an AssertionError is raised otherwise, or when the\n"
    "lock is not held.",
    self_only, Lockable_release, Lockable_release_vectorcall};

// --- locked(method) (static) ---

Ref Lockable_locked(FunctionObject& fn, const Bound& a) { return make_wrapper(fn, a[0], Lockable_locked_wrapped_def); }

const rt::FunctionDef Lockable_locked_def{
    "locked", "Lockable.locked",
    "locked decorator\n"
    "\n"
    "The lock decorator defined for this class: does the same as the generic\n"
    "decorator, without checking whether the lock object exists.\n"
    "\n"
    ":return: a new wrapped method that invokes the lock",
    method_only, Lockable_locked};

// ===========================================================================
// LockableMeta
// ===========================================================================

const char* const kLockableMetaDoc =
    "LockableMeta\n"
    "\n"
    "Metaclass that adds locking and unlocking to the methods of a class, so\n"
    "that the class can be used from several processes and threads without\n"
    "deadlocks: every method call first acquires the lock, does its work, then\n"
    "releases the lock.\n"
    "\n"
    "It spares the user the explicit use of the lock decorator on each method.\n"
    "\n"
    "Warning: if no locked call is made before forking, all locks fail.";

// --- ignore(obj) (static) ---

Ref LockableMeta_ignore(FunctionObject&, const Bound& a) {
    PyObject* obj = a[0];
    rt::setattr(obj, s_marker, Py_True);
    return Ref::borrow(obj);
}

const Param obj_only[] = {{"obj"}};
const rt::FunctionDef LockableMeta_ignore_def{
    "ignore", "LockableMeta.ignore",
    "ignore\n"
    "\n"
    "Decorator that marks an object (a method) to be left out of the automatic\n"
    "locking, so that it can be called without waiting for the lock of the\n"
    "instance.",
    obj_only, LockableMeta_ignore};

// --- __new__(cls, name, bases, attrs) (static) ---

bool is_private(PyObject* key) {
    if (PyUnicode_CheckExact(key))
        return PyUnicode_GET_LENGTH(key) > 0 && PyUnicode_READ_CHAR(key, 0) == '_';
    return rt::truthy(call_method(key, s_startswith, s_underscore));
}

// The replacement for one namespace entry, or an empty Ref to leave it.
Ref lock_entry(FunctionObject& fn, PyObject* key, PyObject* value) {
    if (is_private(key))
        return {};
    Ref marker = rt::getattr_optional(value, s_marker);
    if (marker && rt::truthy(marker)) {
        rt::delattr(value, s_marker);
        return {};
    }
    if (!rt::truthy(call_method(fn.global(s_inspect), s_isfunction, value)))
        return {};
    return call(fn.global(s_locked), value);
}

Ref LockableMeta_new(FunctionObject& fn, const Bound& a) {
    PyObject *cls = a[0], *name = a[1], *bases = a[2], *attrs = a[3];
    // for key, value in attrs.items(): an exact dict is walked in place
    // (replacing the value of an existing key keeps the walk valid; a body
    // that adds or removes entries fails as a dict iterator does), any other
    // mapping through its items(), each item unpacked as the statement does.
    rt::for_each_pair(attrs, [&](PyObject* key, PyObject* value) {
        if (Ref replacement = lock_entry(fn, key, value))
            check(PyObject_SetItem(attrs, key, replacement));
    });
    return call(getattr(fn.super(cls), s_new), cls, name, bases, attrs);
}

const Param LockableMeta_new_params[] = {{"cls"}, {"name"}, {"bases"}, {"attrs"}};
const rt::FunctionDef LockableMeta_new_def{
    "__new__", "LockableMeta.__new__",
    "Metaclass __new__\n"
    "\n"
    "Runs before the class is created and adds a locking and unlocking step to\n"
    "all function calls of the class.\n"
    "\n"
    ":param name: the name of the new class\n"
    ":param bases: the base classes of the new class\n"
    ":param attrs: the namespace of the new class",
    LockableMeta_new_params, LockableMeta_new};

// ===========================================================================
// Module initialisation
// ===========================================================================

void synchronize_init(PyObject* module) {
    rt::init_constants("tavrix.async_.synchronize.function");
    PyObject* g = PyModule_GetDict(module);

    rt::bind_global(g, s_inspect, rt::import_module(g, "inspect"));
    rt::bind_global(g, s_logging, rt::import_module(g, "logging"));
    rt::bind_global(g, s_functools, rt::import_module(g, "functools"));
    rt::bind_global(g, s_multiprocessing, rt::fork_context(g));
    Ref module_name = rt::load_global(g, s_name);
    rt::bind_global(g, s_logger, call_method(rt::load_global(g, s_logging), s_getLogger, module_name));

    PyObject* staticmethod = reinterpret_cast<PyObject*>(&PyStaticMethod_Type);
    PyObject* type = reinterpret_cast<PyObject*>(&PyType_Type);
    Ref init_kwdefaults = check(PyDict_New());
    check(PyDict_SetItem(init_kwdefaults, s_lock, getattr(rt::load_global(g, s_multiprocessing), s_RLock)));
    Ref acquire_defaults = rt::new_tuple({Py_True, Py_None});
    Ref object_base = rt::new_tuple({reinterpret_cast<PyObject*>(&PyBaseObject_Type)});
    Ref lockable = rt::ClassBuilder(g, "Lockable", kLockableDoc)
                       .add_function(Lockable_init_def, nullptr, init_kwdefaults)
                       .add_function(Lockable_acquire_def, acquire_defaults)
                       .add_function(Lockable_release_def)
                       .add_function(Lockable_locked_def, nullptr, nullptr, staticmethod)
                       .build(object_base, type);
    rt::bind_global(g, s_Lockable, lockable);

    rt::bind_global(g, s_locked, rt::make_function(locked_def, g));

    Ref type_base = rt::new_tuple({type});
    Ref lockable_meta = rt::ClassBuilder(g, "LockableMeta", kLockableMetaDoc)
                            .add_function(LockableMeta_ignore_def, nullptr, nullptr, staticmethod)
                            .add_function(LockableMeta_new_def, nullptr, nullptr, staticmethod)
                            .build(type_base, type);
    rt::bind_global(g, s_LockableMeta, lockable_meta);
}

PyModuleDef_Slot synchronize_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(rt::module_exec<synchronize_init>)},
    RT_MODULE_INTERPRETER_SLOTS
    {0, nullptr},
};

PyModuleDef synchronize_module = {
    PyModuleDef_HEAD_INIT, "synchronize", nullptr, 0, nullptr, synchronize_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_synchronize() { return PyModuleDef_Init(&synchronize_module); }
