// The floor the bench measures the modules against: the least that a native
// `locked` wrapper, a native Lockable.acquire/release and a native argument
// builder have to do with the public C API, done the fastest way found, and
// nothing else: no signature binder, no metadata, no C++ error machinery.
//
// The lock wrappers keep the reads and calls of the locked call: for the
// generic wrapper the read of `__lock__` that decides whether the lock exists
// (which also gives the lock to acquire when it is known to be the instance's
// own attribute: see read()), the read of `acquire` and its call with
// block=False, the method's call, then `__lock__`, `release` and its call
// afresh. Lockable's wrapper skips the existence test; the pair reads
// `__lock__` and the lock's method once per call. The builder zips the
// bench's inputs (a callable target, exact lists, tuples and dicts with str
// keys) as the project's builder does, with what any builder must keep: each
// source tested per child, each item held while other code could run.
//
// Built by bench/floor_build.py into build/, never shipped.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>

namespace {

// ---------------------------------------------------------------------------
// Attribute reads
// ---------------------------------------------------------------------------

// A class seen to have no attribute `name` of its own or in its bases: while
// its version tag is unchanged, `obj.name` is the instance dict's entry and
// nothing else, so two reads in a row give the same object.
struct Memo {
    PyTypeObject* type = nullptr;
    unsigned int version = 0;
};

// Version tags: valid while the flag is set up to 3.12, while non-zero from 3.13.
#define FLOOR_MEMO 1

// Which objects are read through their instance dict. From 3.11 the
// interpreter keeps an object's attributes inline until its dict is asked
// for; once it is, its own reads of the object (3.11, 3.12) or its stores
// (3.13) leave their fast paths for good. So the dict is read on 3.10, and on
// 3.13 for the lock, whose attributes are only read; everything else takes
// the generic read.
#ifndef FLOOR_SELF_DICT
#define FLOOR_SELF_DICT (PY_VERSION_HEX < 0x030B0000)
#endif
#ifndef FLOOR_LOCK_DICT
#define FLOOR_LOCK_DICT (PY_VERSION_HEX < 0x030B0000 || (PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000))
#endif

#if FLOOR_MEMO
inline bool tag_valid(PyTypeObject* type) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return type->tp_version_tag != 0;
#else
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG);
#endif
}

// The instance dict, or null (no error) when the object has none.
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

bool has_class_attribute(PyTypeObject* type, PyObject* name) noexcept {
    PyObject* mro = type->tp_mro;
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(mro); i < n; ++i) {
        PyTypeObject* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
#if PY_VERSION_HEX >= 0x030C0000
        PyObject* dict = PyType_GetDict(base);
#else
        PyObject* dict = Py_XNewRef(base->tp_dict);
#endif
        bool found = dict != nullptr && PyDict_GetItemWithError(dict, name) != nullptr;
        Py_XDECREF(dict);
        if (found || PyErr_Occurred())
            return true;  // an error: no memo
    }
    return false;
}
#endif

// obj.<name> without the memo.
inline PyObject* generic_read(PyObject* obj, PyObject* name) noexcept {
    if (Py_TYPE(obj)->tp_getattro == PyObject_GenericGetAttr)
        return PyObject_GenericGetAttr(obj, name);
    return PyObject_GetAttr(obj, name);
}

// obj.<name>, a new reference or null with the error set. `plain` tells
// whether the read was the instance dict's entry alone.
template <bool ThroughDict>
inline PyObject* read(PyObject* obj, PyObject* name, Memo& memo, bool& plain) noexcept {
#if FLOOR_MEMO
    PyTypeObject* type = Py_TYPE(obj);
    if (type == memo.type && type->tp_version_tag == memo.version && tag_valid(type)) {
        plain = true;
        if constexpr (ThroughDict) {
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
        return PyObject_GenericGetAttr(obj, name);
    }
    PyObject* value = PyObject_GetAttr(obj, name);
    plain = false;
    if (value != nullptr && type->tp_getattro == PyObject_GenericGetAttr && tag_valid(type)) {
        const unsigned int version = type->tp_version_tag;
        if (!has_class_attribute(type, name) && type->tp_version_tag == version)
            memo = {type, version};
        PyErr_Clear();
    }
    return value;
#else
    (void)memo;
    plain = false;
    return generic_read(obj, name);
#endif
}

// The same read when nothing depends on `plain`.
template <bool ThroughDict>
inline PyObject* read(PyObject* obj, PyObject* name, Memo& memo) noexcept {
    if constexpr (!ThroughDict)
        return generic_read(obj, name);
    bool plain;
    return read<ThroughDict>(obj, name, memo, plain);
}

// ---------------------------------------------------------------------------
// The fork context's lock methods, called through their C entry points
// ---------------------------------------------------------------------------

const PyMethodDef* g_acquire_def = nullptr;
const PyMethodDef* g_release_def = nullptr;

PyObject* semlock_of(PyObject* method, const PyMethodDef* def) noexcept {
    if (def != nullptr && PyCFunction_CheckExact(method) && reinterpret_cast<PyCFunctionObject*>(method)->m_ml == def)
        return PyCFunction_GET_SELF(method);
    return nullptr;
}

PyObject* s_lock, *s_acquire, *s_release, *s_block, *s_RLock, *g_context;
PyObject* kw_block;
Memo m_self, m_acquire, m_release;

// lock.acquire(block=False) (Block false) or lock.acquire().
template <bool NonBlocking>
PyObject* call_acquire(PyObject* lock) noexcept {
    PyObject* method = read<FLOOR_LOCK_DICT>(lock, s_acquire, m_acquire);
    if (method == nullptr)
        return nullptr;
    PyObject* result;
    if (PyObject* semlock = semlock_of(method, g_acquire_def)) {
        auto entry =
            reinterpret_cast<_PyCFunctionFastWithKeywords>(reinterpret_cast<void (*)()>(g_acquire_def->ml_meth));
        PyObject* arg = Py_False;
        result = entry(semlock, &arg, NonBlocking ? 1 : 0, nullptr);
    } else if constexpr (NonBlocking) {
        PyObject* argv[] = {nullptr, Py_False};
        result = PyObject_Vectorcall(method, argv + 1, PY_VECTORCALL_ARGUMENTS_OFFSET, kw_block);
    } else {
        result = PyObject_CallNoArgs(method);
    }
    Py_DECREF(method);
    return result;
}

PyObject* call_release(PyObject* lock) noexcept {
    PyObject* method = read<FLOOR_LOCK_DICT>(lock, s_release, m_release);
    if (method == nullptr)
        return nullptr;
    PyObject* semlock = semlock_of(method, g_release_def);
    PyObject* result = semlock ? g_release_def->ml_meth(semlock, nullptr) : PyObject_CallNoArgs(method);
    Py_DECREF(method);
    return result;
}

// ---------------------------------------------------------------------------
// The wrapper and method type
// ---------------------------------------------------------------------------

struct Floor {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* method;
};

PyTypeObject* g_type = nullptr;

PyObject* own_lock(PyObject* self) noexcept { return read<FLOOR_SELF_DICT>(self, s_lock, m_self); }
PyObject* own_lock(PyObject* self, bool& plain) noexcept { return read<FLOOR_SELF_DICT>(self, s_lock, m_self, plain); }

// The locked call; `Creates`: the generic wrapper, which makes a missing lock.
template <bool Creates>
PyObject* locked_call(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    if (PyVectorcall_NARGS(nargsf) < 1) {
        PyErr_SetString(PyExc_TypeError, "missing self");
        return nullptr;
    }
    PyObject* self = args[0];
    if (Py_EnterRecursiveCall(" while calling a Python object"))
        return nullptr;
    PyObject* result = nullptr;
    // The generic wrapper's existence test and the acquire's read are one
    // read when it is the instance dict's entry alone.
    bool plain = false;
    PyObject* lock = Creates ? own_lock(self, plain) : own_lock(self);
    if (Creates && lock == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyObject* made = PyObject_CallMethodNoArgs(g_context, s_RLock);
        if (made != nullptr && PyObject_SetAttr(self, s_lock, made) == 0)
            lock = own_lock(self);
        Py_XDECREF(made);
    } else if (Creates && lock != nullptr && !plain) {
        Py_DECREF(lock);
        lock = own_lock(self);
    }
    if (lock != nullptr) {
        PyObject* taken = call_acquire<true>(lock);
        Py_DECREF(lock);
        int free = taken == Py_True ? 1 : taken ? PyObject_IsTrue(taken) : -1;
        Py_XDECREF(taken);
        if (free == 0) {
            // Contended: the floor measures the free lock only.
            if ((lock = own_lock(self)) != nullptr) {
                taken = call_acquire<false>(lock);
                Py_DECREF(lock);
                free = taken ? 1 : -1;
                Py_XDECREF(taken);
            } else {
                free = -1;
            }
        }
        if (free > 0) {
            result = PyObject_Vectorcall(reinterpret_cast<Floor*>(callable)->method, args, nargsf, kwnames);
            if (result != nullptr) {
                PyObject* released = (lock = own_lock(self)) ? call_release(lock) : nullptr;
                Py_XDECREF(lock);
                if (released == nullptr)
                    Py_CLEAR(result);
                Py_XDECREF(released);
            } else {
#if PY_VERSION_HEX >= 0x030C0000
                PyObject* raised = PyErr_GetRaisedException();
#else
                PyObject *type, *raised, *tb;
                PyErr_Fetch(&type, &raised, &tb);
#endif
                PyObject* released = (lock = own_lock(self)) ? call_release(lock) : nullptr;
                Py_XDECREF(lock);
                if (released == nullptr) {
                    Py_XDECREF(raised);
#if PY_VERSION_HEX < 0x030C0000
                    Py_XDECREF(type), Py_XDECREF(tb);
#endif
                } else {
                    Py_DECREF(released);
#if PY_VERSION_HEX >= 0x030C0000
                    PyErr_SetRaisedException(raised);
#else
                    PyErr_Restore(type, raised, tb);
#endif
                }
            }
        }
    }
    Py_LeaveRecursiveCall();
    return result;
}

// Lockable.acquire(self) with its defaults (block=True, timeout=None: the
// SemLock's own defaults) and Lockable.release(self).
PyObject* acquire_call(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    if (PyVectorcall_NARGS(nargsf) != 1 || kwnames != nullptr) {
        PyErr_SetString(PyExc_TypeError, "acquire(self) only");
        return nullptr;
    }
    PyObject* lock = own_lock(args[0]);
    if (lock == nullptr)
        return nullptr;
    PyObject* result = call_acquire<false>(lock);
    Py_DECREF(lock);
    return result;
}

PyObject* release_call(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    if (PyVectorcall_NARGS(nargsf) != 1 || kwnames != nullptr) {
        PyErr_SetString(PyExc_TypeError, "release(self) only");
        return nullptr;
    }
    PyObject* lock = own_lock(args[0]);
    if (lock == nullptr)
        return nullptr;
    PyObject* result = call_release(lock);
    Py_DECREF(lock);
    return result;
}

PyObject* make(vectorcallfunc call, PyObject* method) noexcept {
    Floor* f = PyObject_GC_New(Floor, g_type);
    if (f == nullptr)
        return nullptr;
    f->vectorcall = call;
    f->method = Py_XNewRef(method);
    PyObject_GC_Track(f);
    return reinterpret_cast<PyObject*>(f);
}

int floor_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<Floor*>(self)->method);
    return 0;
}

int floor_clear(PyObject* self) noexcept {
    Py_CLEAR(reinterpret_cast<Floor*>(self)->method);
    return 0;
}

void floor_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    floor_clear(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyObject* floor_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (obj == nullptr || obj == Py_None)
        return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyMemberDef floor_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Floor, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot floor_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(floor_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(floor_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(floor_clear)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(floor_descr_get)},
    {Py_tp_members, floor_members},
    {0, nullptr},
};

PyType_Spec floor_spec = {
    "floor.function", sizeof(Floor), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE,
    floor_slots,
};

// ---------------------------------------------------------------------------
// Argument building
// ---------------------------------------------------------------------------

PyObject *s_target, *s_args, *s_kwargs;
#if PY_VERSION_HEX < 0x030B0000
// On 3.10, an argument set made once with the three keys, as an instance
// dict, so that its keys are shared: its copies share them too and take only
// an array of values (the fastest in wall time there; from 3.11 a new dict
// is, and presizing it is slower).
PyObject* g_template = nullptr;
#endif

PyObject* argument_set(PyObject* target, PyObject* args, PyObject* kwargs) noexcept {
#if PY_VERSION_HEX < 0x030B0000
    PyObject* set = PyDict_Copy(g_template);
#else
    PyObject* set = PyDict_New();
#endif
    if (set == nullptr || PyDict_SetItem(set, s_target, target) < 0 || PyDict_SetItem(set, s_args, args) < 0 ||
        PyDict_SetItem(set, s_kwargs, kwargs) < 0) {
        Py_XDECREF(set);
        return nullptr;
    }
    return set;
}

// Merges a dict of str keys into `into`, item by item from 3.11 (cheaper than
// the general merge for a few keys), each key and value held while inserted.
int merge(PyObject* into, PyObject* from) noexcept {
#if PY_VERSION_HEX < 0x030B0000
    return PyDict_Update(into, from);
#else
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(from, &pos, &key, &value)) {
        Py_INCREF(key), Py_INCREF(value);
        const int rc = PyDict_SetItem(into, key, value);
        Py_DECREF(key), Py_DECREF(value);
        if (rc < 0)
            return -1;
    }
    return 0;
#endif
}

// build(target, cargs, iargs, ckwargs, ikwargs, varkwargs) for a callable
// target, exact tuples, lists and dicts; the count is len(iargs). What any
// builder must do is kept: each source tested per child, each item held
// while other code could run, the dict walks checked for a change of size.
PyObject* build(PyObject*, PyObject* const* a, Py_ssize_t n) noexcept {
    if (n != 6) {
        PyErr_SetString(PyExc_TypeError, "build() takes 6 arguments");
        return nullptr;
    }
    PyObject *target = a[0], *iargs = a[2], *ckwargs = a[3], *ikwargs = a[4], *varkwargs = a[5];
    PyObject* common = PySequence_Tuple(a[1]);
    if (common == nullptr)
        return nullptr;
    const Py_ssize_t count = PyList_GET_SIZE(iargs);
    PyObject* out = PyList_New(count);
    if (out == nullptr) {
        Py_DECREF(common);
        return nullptr;
    }
    PyObject_GC_UnTrack(out);  // holds empty slots until filled
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* args;
        if (i < PyList_GET_SIZE(iargs)) {
            PyObject* item = Py_NewRef(PyList_GET_ITEM(iargs, i));
            args = PySequence_Concat(common, item);
            Py_DECREF(item);
        } else {
            args = Py_NewRef(common);
        }
        PyObject* kwargs = args ? PyDict_Copy(ckwargs) : nullptr;
        bool ok = kwargs != nullptr;
        if (ok && i < PyList_GET_SIZE(ikwargs)) {
            PyObject* item = Py_NewRef(PyList_GET_ITEM(ikwargs, i));
            ok = merge(kwargs, item) == 0;
            Py_DECREF(item);
        }
        const Py_ssize_t size = PyDict_GET_SIZE(varkwargs);
        Py_ssize_t pos = 0;
        PyObject *key, *values;
        while (ok && PyDict_Next(varkwargs, &pos, &key, &values)) {
            PyObject* value = i < PyList_GET_SIZE(values) ? Py_NewRef(PyList_GET_ITEM(values, i)) : nullptr;
            Py_INCREF(key);
            ok = value != nullptr && PyDict_SetItem(kwargs, key, value) == 0 && PyDict_GET_SIZE(varkwargs) == size;
            Py_DECREF(key);
            Py_XDECREF(value);
        }
        PyObject* set = ok ? argument_set(target, args, kwargs) : nullptr;
        Py_XDECREF(args);
        Py_XDECREF(kwargs);
        if (set == nullptr) {
            if (!PyErr_Occurred())
                PyErr_SetString(PyExc_RuntimeError, "the floor's inputs changed");
            Py_DECREF(common);
            Py_DECREF(out);
            return nullptr;
        }
        PyList_SET_ITEM(out, i, set);
    }
    Py_DECREF(common);
    PyObject_GC_Track(out);
    return out;
}

// ---------------------------------------------------------------------------
// The measuring loop
// ---------------------------------------------------------------------------

}  // namespace

// fn() n times: what callgrind counts (it collects inside this function
// only, by name).
extern "C" __attribute__((noinline, visibility("default"))) PyObject* tavrix_floor_repeat(PyObject* fn, Py_ssize_t n) {
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* r = PyObject_CallNoArgs(fn);
        if (r == nullptr)
            return nullptr;
        Py_DECREF(r);
    }
    Py_RETURN_NONE;
}

namespace {

PyObject* repeat(PyObject*, PyObject* const* a, Py_ssize_t n) noexcept {
    Py_ssize_t times;
    if (n != 2 || (times = PyLong_AsSsize_t(a[1])) < 0) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_TypeError, "repeat(fn, n)");
        return nullptr;
    }
    return tavrix_floor_repeat(a[0], times);
}

PyObject* locked(PyObject*, PyObject* method) noexcept { return make(locked_call<true>, method); }
PyObject* lockable_locked(PyObject*, PyObject* method) noexcept { return make(locked_call<false>, method); }

// Finds the SemLock's methods from a lock of the fork context.
bool find_semlock_methods() noexcept {
    PyObject* lock = PyObject_CallMethodNoArgs(g_context, s_RLock);
    if (lock == nullptr)
        return false;
    PyObject* acquire = PyObject_GetAttr(lock, s_acquire);
    PyObject* release = acquire ? PyObject_GetAttr(lock, s_release) : nullptr;
    Py_DECREF(lock);
    bool ok = release != nullptr && PyCFunction_CheckExact(acquire) && PyCFunction_CheckExact(release);
    if (ok) {
        g_acquire_def = reinterpret_cast<PyCFunctionObject*>(acquire)->m_ml;
        g_release_def = reinterpret_cast<PyCFunctionObject*>(release)->m_ml;
        ok = g_acquire_def->ml_flags == (METH_FASTCALL | METH_KEYWORDS) && g_release_def->ml_flags == METH_NOARGS;
    }
    Py_XDECREF(acquire);
    Py_XDECREF(release);
    if (!ok && !PyErr_Occurred())
        PyErr_SetString(PyExc_RuntimeError, "the fork context's lock methods are not the expected built-ins");
    return ok;
}

int floor_exec(PyObject* module) noexcept {
    s_lock = PyUnicode_InternFromString("__lock__");
    s_acquire = PyUnicode_InternFromString("acquire");
    s_release = PyUnicode_InternFromString("release");
    s_block = PyUnicode_InternFromString("block");
    s_RLock = PyUnicode_InternFromString("RLock");
    s_target = PyUnicode_InternFromString("target");
    s_args = PyUnicode_InternFromString("args");
    s_kwargs = PyUnicode_InternFromString("kwargs");
    if (!s_lock || !s_acquire || !s_release || !s_block || !s_RLock || !s_target || !s_args || !s_kwargs)
        return -1;
    kw_block = PyTuple_Pack(1, s_block);
    PyObject* mp = kw_block ? PyImport_ImportModule("multiprocessing") : nullptr;
    g_context = mp ? PyObject_CallMethod(mp, "get_context", "s", "fork") : nullptr;
    Py_XDECREF(mp);
    if (g_context == nullptr || !find_semlock_methods())
        return -1;
    g_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&floor_spec));
    if (g_type == nullptr)
        return -1;
    PyObject* acquire = make(acquire_call, nullptr);
    PyObject* release = make(release_call, nullptr);
    const bool added = acquire != nullptr && release != nullptr &&
                       PyModule_AddObjectRef(module, "acquire", acquire) == 0 &&
                       PyModule_AddObjectRef(module, "release", release) == 0;
    Py_XDECREF(acquire);
    Py_XDECREF(release);
    if (!added)
        return -1;
#if PY_VERSION_HEX < 0x030B0000
    // An instance dict of a class whose instances all set the three keys in
    // this order has split keys; its copies keep them.
    PyObject* cls = PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O){}", "ArgumentSet",
                                          &PyBaseObject_Type);
    PyObject* instance = cls ? PyObject_CallNoArgs(cls) : nullptr;
    Py_XDECREF(cls);
    if (instance == nullptr || PyObject_SetAttr(instance, s_target, Py_None) < 0 ||
        PyObject_SetAttr(instance, s_args, Py_None) < 0 || PyObject_SetAttr(instance, s_kwargs, Py_None) < 0 ||
        (g_template = PyObject_GenericGetDict(instance, nullptr)) == nullptr) {
        Py_XDECREF(instance);
        return -1;
    }
    Py_DECREF(instance);
#endif
    return 0;
}

PyMethodDef floor_methods[] = {
    {"locked", locked, METH_O, "The generic wrapper: makes a missing lock."},
    {"lockable_locked", lockable_locked, METH_O, "Lockable's wrapper: expects the lock."},
    {"build", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(build)), METH_FASTCALL,
     "build(target, cargs, iargs, ckwargs, ikwargs, varkwargs)"},
    {"repeat", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(repeat)), METH_FASTCALL,
     "repeat(fn, n): fn() n times, in the function that callgrind counts."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot floor_module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(floor_exec)},
    {0, nullptr},
};

PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT, "floor", nullptr, 0, floor_methods, floor_module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_floor() { return PyModuleDef_Init(&floor_module); }
