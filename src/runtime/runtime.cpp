// The shared native runtime: error translation, interned names, calls,
// imports, module globals, handled exceptions, `with` and class building.
#include "runtime.h"

#include "function.h"

#include <cstdarg>
#include <exception>
#include <new>

namespace rt {

// ---------------------------------------------------------------------------
// Errors
// ---------------------------------------------------------------------------

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw Error{};
}

void raise_format(PyObject* type, const char* format, ...) {
    va_list vargs;
    va_start(vargs, format);
    PyErr_FormatV(type, format, vargs);
    va_end(vargs);
    throw Error{};
}

void raise_object(PyObject* exc) {
    if (PyExceptionClass_Check(exc)) {
        Ref value = check(PyObject_CallNoArgs(exc));
        if (!PyExceptionInstance_Check(value.get()))
            raise_format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %R",
                         exc, reinterpret_cast<PyObject*>(Py_TYPE(value.get())));
        PyErr_SetObject(exc, value);
        throw Error{};
    }
    if (PyExceptionInstance_Check(exc)) {
        PyErr_SetObject(PyExceptionInstance_Class(exc), exc);
        throw Error{};
    }
    raise(PyExc_TypeError, "exceptions must derive from BaseException");
}

void translate_current_exception() noexcept {
    try {
        throw;
    } catch (const Error&) {
        if (!PyErr_Occurred()) [[unlikely]]
            PyErr_SetString(PyExc_SystemError, "native error raised without an exception set");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown native exception");
    }
}

// ---------------------------------------------------------------------------
// Interned names and keyword tuples
// ---------------------------------------------------------------------------

namespace {
// Both lists are built during static initialisation, before any module code
// runs; zero-initialised heads make the order of translation units irrelevant.
Name* g_names = nullptr;
KwNames* g_kwnames = nullptr;
PyObject* g_builtins = nullptr;  // the builtins module's dict, kept for good
}  // namespace

// Names must live at namespace scope: they are interned once, at module init.
static Name s_import{"__import__"}, s_name{"__name__"}, s_file{"__file__"}, s_enter{"__enter__"},
    s_exit{"__exit__"}, s_module{"__module__"}, s_qualname{"__qualname__"}, s_doc{"__doc__"},
    s_classcell{"__classcell__"}, s_multiprocessing{"multiprocessing"}, s_get_context{"get_context"},
    s_fork{"fork"}, s_items{"items"}, s_keys{"keys"}, s_module_import_state{"__spec__"},
    s_initializing{"_initializing"};

Name::Name(const char* text) noexcept : text_(text), next_(g_names) { g_names = this; }

bool Name::intern_all() noexcept {
    for (Name* n = g_names; n != nullptr; n = n->next_) {
        if (n->object_ == nullptr && (n->object_ = PyUnicode_InternFromString(n->text_)) == nullptr)
            return false;
    }
    return true;
}

KwNames::KwNames(std::initializer_list<const Name*> names) noexcept : next_(g_kwnames) {
    for (const Name* n : names) {
        if (count_ < kMax)
            names_[count_++] = n;
        else
            too_many_ = true;
    }
    g_kwnames = this;
}

bool KwNames::build_all() noexcept {
    for (KwNames* k = g_kwnames; k != nullptr; k = k->next_) {
        if (k->tuple_ != nullptr)
            continue;
        if (k->too_many_) {
            PyErr_SetString(PyExc_SystemError, "too many keyword names in one native call");
            return false;
        }
        PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(k->count_));
        if (t == nullptr)
            return false;
        for (std::size_t i = 0; i < k->count_; ++i)
            PyTuple_SET_ITEM(t, static_cast<Py_ssize_t>(i), Py_NewRef(k->names_[i]->get()));
        k->tuple_ = t;
    }
    return true;
}

void init_constants(const char* function_type_name) {
    if (!Name::intern_all() || !KwNames::build_all())
        throw Error{};
    if (g_builtins == nullptr) {
        Ref builtins = check(PyImport_ImportModule("builtins"));
        g_builtins = Py_NewRef(PyModule_GetDict(builtins));
    }
    init_function_type(function_type_name);
}

// ---------------------------------------------------------------------------
// Object helpers
// ---------------------------------------------------------------------------

Ref getattr_optional(PyObject* obj, PyObject* name) {
    PyObject* value = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    check(PyObject_GetOptionalAttr(obj, name, &value));
#else
    // The same function before it was made public in 3.13: it skips making
    // the AttributeError that a read and a clear would pay for.
    check(_PyObject_LookupAttr(obj, name, &value));
#endif
    return Ref::steal(value);
}

Ref new_tuple(std::initializer_list<PyObject*> items) {
    Ref t = check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* item : items)
        PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(item));
    return t;
}

Ref next(PyObject* it) {
    if (!PyIter_Check(it))
        raise_format(PyExc_TypeError, "'%.200s' object is not an iterator", Py_TYPE(it)->tp_name);
    if (PyObject* value = (*Py_TYPE(it)->tp_iternext)(it))
        return Ref::steal(value);
    if (!PyErr_Occurred())
        PyErr_SetNone(PyExc_StopIteration);
    throw Error{};
}

void unpack(PyObject* item, Ref* out, Py_ssize_t n) {
    // Whatever `out` held is released first: that may run code, which must
    // not happen while items are read from a list's storage below.
    for (Py_ssize_t i = 0; i < n; ++i)
        out[i] = Ref();
    // The interpreter's own shortcut: nothing runs while the items are taken.
    if ((PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == n) ||
        (PyList_CheckExact(item) && PyList_GET_SIZE(item) == n)) {
        PyObject** items = PyTuple_CheckExact(item) ? &PyTuple_GET_ITEM(item, 0) : &PyList_GET_ITEM(item, 0);
        for (Py_ssize_t i = 0; i < n; ++i)
            out[i] = Ref::borrow(items[i]);
        return;
    }
    Ref it = Ref::steal(PyObject_GetIter(item));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(item)->tp_iter == nullptr && !PySequence_Check(item))
            raise_format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item)->tp_name);
        throw Error{};
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        out[i] = Ref::steal(PyIter_Next(it));
        if (!out[i]) {
            if (PyErr_Occurred())
                throw Error{};
            raise_format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", n, i);
        }
    }
    if (Ref extra = Ref::steal(PyIter_Next(it))) {
#if PY_VERSION_HEX >= 0x030E0000
        // From 3.14 the message gives the size of an exact list, tuple or dict
        // (read once the extra value is in hand, as there).
        if (PyList_CheckExact(item) || PyTuple_CheckExact(item) || PyDict_CheckExact(item)) {
            const Py_ssize_t size = PyDict_CheckExact(item) ? PyDict_GET_SIZE(item) : Py_SIZE(item);
            if (size > n)
                raise_format(PyExc_ValueError, "too many values to unpack (expected %zd, got %zd)", n, size);
        }
#endif
        raise_format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
    }
    if (PyErr_Occurred())
        throw Error{};
}

Ref items_iterator(PyObject* mapping) { return check(PyObject_GetIter(call_method(mapping, s_items))); }

// How the interpreter names a callable in its call errors: "module.f()".
// _PyObject_FunctionStr is what the interpreter itself calls for these
// messages (private, exported through 3.15); the public way to the same text
// would be rebuilding it from __module__ and __qualname__ here.
static Ref function_str(PyObject* callable) { return check(_PyObject_FunctionStr(callable)); }

// keys() as the ** operand's merge calls it, turned into a list.
static Ref keys_list(PyObject* kwargs) {
#if PY_VERSION_HEX >= 0x030F0000
    // From 3.15 only a missing keys attribute means "not a mapping"; errors
    // raised by keys() and what follows pass through as they are.
    Ref method = getattr_optional(kwargs, s_keys);
    if (!method)
        raise_format(PyExc_TypeError, "Value after ** must be a mapping, not %T", kwargs);
    Ref keys = call(method);
    if (PyList_CheckExact(keys.get()))
        return keys;
    Ref it = Ref::steal(PyObject_GetIter(keys));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError))
            raise_format(PyExc_TypeError, "%T.keys() must return an iterable, not %T", kwargs, keys.get());
        throw Error{};
    }
    return check(PySequence_List(it));
#else
    return check(PyMapping_Keys(kwargs));
#endif
}

// The ** operand of a call merged into `into`, as the interpreter merges it:
// a dict that iterates as a dict is read in place, anything else through
// keys() and subscription; a key already present is an error.
static void merge_keywords(PyObject* callable, PyObject* into, PyObject* kwargs) {
    auto repeated = [&](PyObject* key) {
        Ref shown = function_str(callable);
        raise_format(PyExc_TypeError, "%U got multiple values for keyword argument '%S'", shown.get(), key);
    };
    if (PyDict_Check(kwargs) && Py_TYPE(kwargs)->tp_iter == PyDict_Type.tp_iter) {
        const Py_ssize_t size = PyDict_GET_SIZE(kwargs);
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            Ref k = Ref::borrow(key), v = Ref::borrow(value);
            if (check(PyDict_Contains(into, k)))
                repeated(k);
            check(PyDict_SetItem(into, k, v));
            if (PyDict_GET_SIZE(kwargs) != size)
                raise(PyExc_RuntimeError, "dict mutated during update");
        }
        return;
    }
    Ref keys = keys_list(kwargs);
    for_each(keys, [&](PyObject* key) {
        if (check(PyDict_Contains(into, key)))
            repeated(key);
        Ref value = check(PyObject_GetItem(kwargs, key));
        check(PyDict_SetItem(into, key, value));
    });
}

Ref call_star(PyObject* callable, PyObject* args, PyObject* kwargs) {
    Ref keywords = check(PyDict_New());
    if (kwargs != nullptr) {
#if PY_VERSION_HEX >= 0x030F0000
        merge_keywords(callable, keywords, kwargs);
#else
        try {
            merge_keywords(callable, keywords, kwargs);
        } catch (const Error&) {
            // Up to 3.14 a missing keys() (or any AttributeError on the way)
            // means "not a mapping", as the interpreter reports it.
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                Ref shown = function_str(callable);
                raise_format(PyExc_TypeError, "%U argument after ** must be a mapping, not %.200s", shown.get(),
                             Py_TYPE(kwargs)->tp_name);
            }
            throw;
        }
#endif
    }
    Ref positional;
    if (PyTuple_CheckExact(args)) {
        positional = Ref::borrow(args);
    } else {
        if (Py_TYPE(args)->tp_iter == nullptr && !PySequence_Check(args)) {
#if PY_VERSION_HEX >= 0x030F0000
            raise_format(PyExc_TypeError, "Value after * must be an iterable, not %.200s", Py_TYPE(args)->tp_name);
#else
            Ref shown = function_str(callable);
            raise_format(PyExc_TypeError, "%U argument after * must be an iterable, not %.200s", shown.get(),
                         Py_TYPE(args)->tp_name);
#endif
        }
        positional = check(PySequence_Tuple(args));
    }
    return check(PyObject_Call(callable, positional, keywords));
}

// ---------------------------------------------------------------------------
// Imports
// ---------------------------------------------------------------------------

static Ref builtin_import(PyObject* globals, PyObject* name, PyObject* fromlist, int level) {
    // Held: the import may replace builtins.__import__ while it runs.
    Ref import = Ref::borrow(PyDict_GetItemWithError(g_builtins, s_import));
    if (!import) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_ImportError, "__import__ not found");
        throw Error{};
    }
    Ref level_obj = new_int(level);
    return call(import, name, globals, Py_None, fromlist, level_obj);
}

Ref import_module(PyObject* globals, const char* name) {
    Ref module_name = new_string(name);
    return builtin_import(globals, module_name, Py_None, 0);
}

Ref import_from(PyObject* globals, const char* module, const char* name, int level) {
    Ref module_name = new_string(module);
    Ref attr = new_string(name);
    Ref fromlist = new_tuple({attr.get()});
    Ref mod = builtin_import(globals, module_name, fromlist, level);
    if (Ref value = getattr_optional(mod, attr))
        return value;
    // As the import statement does: a submodule may be in sys.modules already.
    Ref package = Ref::steal(PyObject_GetAttr(mod, s_name));
    if (package && PyUnicode_Check(package)) {
        Ref full = check(PyUnicode_FromFormat("%U.%U", package.get(), attr.get()));
        if (PyObject* sub = PyImport_GetModule(full))
            return Ref::steal(sub);
        if (PyErr_Occurred())
            throw Error{};
    } else {
        package = Ref();  // unreadable or not a string: the error names no module
    }
    // The statement's ImportError, with `name` and `path` set; errors of the
    // lookups that only shape the message are dropped, as there.
    PyErr_Clear();
    Ref path = Ref::steal(PyModule_GetFilenameObject(mod));
    Ref shown = package ? package : new_string("<unknown module name>");
    Ref message;
    if (!path || !PyUnicode_Check(path)) {
        PyErr_Clear();
        path = Ref();
        message = check(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)", attr.get(),
                                             shown.get()));
    } else {
        bool initializing = false;
        if (Ref state = Ref::steal(PyObject_GetAttr(mod, s_module_import_state))) {
            if (Ref flag = Ref::steal(PyObject_GetAttr(state, s_initializing))) {
                int truth = PyObject_IsTrue(flag);
                initializing = truth > 0;
            }
        }
        PyErr_Clear();
        message = check(PyUnicode_FromFormat(
            initializing ? "cannot import name %R from partially initialized module %R "
                           "(most likely due to a circular import) (%S)"
                         : "cannot import name %R from %R (%S)",
            attr.get(), shown.get(), path.get()));
    }
    PyErr_SetImportError(message, package ? package.get() : nullptr, path ? path.get() : nullptr);
    throw Error{};
}

// ---------------------------------------------------------------------------
// Module globals
// ---------------------------------------------------------------------------

Ref load_global(PyObject* globals, PyObject* name) {
    if (PyObject* v = PyDict_GetItemWithError(globals, name))
        return Ref::borrow(v);
    if (PyErr_Occurred())
        throw Error{};
    if (PyObject* v = PyDict_GetItemWithError(g_builtins, name))
        return Ref::borrow(v);
    if (PyErr_Occurred())
        throw Error{};
    raise_format(PyExc_NameError, "name '%U' is not defined", name);
}

Ref fork_context(PyObject* globals) {
    Ref package = call(load_global(globals, s_import), s_multiprocessing);
    return call_method(package, s_get_context, s_fork);
}

// ---------------------------------------------------------------------------
// Interpreters
// ---------------------------------------------------------------------------

void check_interpreter(PyObject* module) {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        Ref name = check(PyModule_GetNameObject(module));
        raise_format(PyExc_ImportError, "%U cannot be loaded in a sub-interpreter, only in the main interpreter",
                     name.get());
    }
#ifdef Py_GIL_DISABLED
    // Py_mod_gil asks the interpreter to turn the GIL on; PYTHON_GIL=0 can still
    // keep it off.
    Ref sys = check(PyImport_ImportModule("sys"));
    Ref enabled = call(check(PyObject_GetAttrString(sys, "_is_gil_enabled")));
    if (!truthy(enabled)) {
        Ref name = check(PyModule_GetNameObject(module));
        raise_format(PyExc_ImportError, "%U needs the GIL, and this interpreter runs without it (PYTHON_GIL=0)",
                     name.get());
    }
#endif
}

// ---------------------------------------------------------------------------
// Exceptions being handled
// ---------------------------------------------------------------------------

ExceptScope::ExceptScope() noexcept {
    PyErr_Fetch(&type_, &value_, &traceback_);
    PyErr_NormalizeException(&type_, &value_, &traceback_);
    if (traceback_ != nullptr && value_ != nullptr)
        PyException_SetTraceback(value_, traceback_);
    PyErr_GetExcInfo(&saved_type_, &saved_value_, &saved_traceback_);
    PyErr_SetExcInfo(Py_XNewRef(type_), Py_XNewRef(value_), Py_XNewRef(traceback_));
}

ExceptScope::~ExceptScope() {
    PyErr_SetExcInfo(saved_type_, saved_value_, saved_traceback_);
    Py_XDECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(traceback_);
}

void ExceptScope::reraise() noexcept(false) {
    PyErr_Restore(Py_XNewRef(type_), Py_XNewRef(value_), Py_XNewRef(traceback_));
    throw Error{};
}

// ---------------------------------------------------------------------------
// The with statement
// ---------------------------------------------------------------------------

// Special methods are looked up on the type and bound, as the interpreter does
// (through its method cache). _PyType_Lookup is that lookup: private, but
// exported and unchanged through 3.15, and the type lookup has no public entry
// point. Should it go, a walk of the type's __mro__ reading each class's own
// dict (PyType_GetDict) finds the same descriptor, without the cache.
static Ref lookup_special(PyObject* obj, PyObject* name) {
    // Held while __get__ runs, which may delete it from the class.
    Ref descr = Ref::borrow(_PyType_Lookup(Py_TYPE(obj), name));
    if (!descr) {
        PyErr_SetObject(PyExc_AttributeError, name);
        throw Error{};
    }
    if (descrgetfunc get = Py_TYPE(descr.get())->tp_descr_get)
        return check(get(descr, obj, reinterpret_cast<PyObject*>(Py_TYPE(obj))));
    return descr;
}

WithExit::WithExit(PyObject* manager) {
    Ref enter = lookup_special(manager, s_enter);
    exit = lookup_special(manager, s_exit);
    call(enter);
}

void WithExit::leave_normally() { call(exit, Py_None, Py_None, Py_None); }

// An exception raised by native code has no traceback yet: the interpreter
// adds one for the frame that runs the with statement before __exit__ sees
// it. Native code has no frame of its own, so __exit__ gets one for the
// nearest Python frame; the exception carries it only while __exit__ runs,
// so that the frame is not listed twice once the exception reaches it.
static Ref traceback_here(PyObject* type, PyObject* value) {
    PyFrameObject* frame = PyEval_GetFrame();
    if (frame == nullptr)
        return none();
    PyErr_Restore(Py_NewRef(type), Py_NewRef(value), nullptr);
    if (PyTraceBack_Here(frame) < 0)
        throw Error{};
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    Py_XDECREF(t);
    Py_XDECREF(v);
    return tb ? Ref::steal(tb) : none();
}

void WithExit::leave_with_error() {
    ExceptScope handled;
    Ref traceback = Ref::borrow(handled.traceback());
    const bool made = traceback.get() == Py_None;
    if (made) {
        traceback = traceback_here(handled.type(), handled.value());
        PyException_SetTraceback(handled.value(), traceback);
    }
    Ref swallowed = call(exit, handled.type(), handled.value(), traceback);
    if (truthy(swallowed))
        return;
    if (made)
        PyException_SetTraceback(handled.value(), Py_None);
    handled.reraise();
}

// ---------------------------------------------------------------------------
// Class building
// ---------------------------------------------------------------------------

// The metaclass a class statement picks from its bases: the one among `type`
// and the bases' types that is a subclass of all the others.
static PyTypeObject* most_derived_metaclass(PyObject* bases) {
    PyTypeObject* winner = &PyType_Type;
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(bases); i < n; ++i) {
        PyTypeObject* candidate = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (PyType_IsSubtype(winner, candidate))
            continue;
        if (PyType_IsSubtype(candidate, winner)) {
            winner = candidate;
            continue;
        }
        raise(PyExc_TypeError,
              "metaclass conflict: the metaclass of a derived class must be a (non-strict) subclass of the "
              "metaclasses of all its bases");
    }
    return winner;
}

ClassBuilder::ClassBuilder(PyObject* globals, const char* name, const char* doc)
    : globals_(globals), name_(new_string(name)), namespace_(check(PyDict_New())) {
    Ref module = load_global(globals, s_name);
    check(PyDict_SetItem(namespace_, s_module, module));
    check(PyDict_SetItem(namespace_, s_qualname, name_));
    Ref docstring = doc ? new_string(doc) : none();
    check(PyDict_SetItem(namespace_, s_doc, docstring));
}

ClassBuilder& ClassBuilder::add(const char* name, PyObject* value) {
    check(PyDict_SetItemString(namespace_, name, value));
    return *this;
}

ClassBuilder& ClassBuilder::add_function(const FunctionDef& def, PyObject* defaults, PyObject* kwdefaults,
                                         PyObject* wrapper) {
    if (!classcell_)
        classcell_ = check(PyCell_New(nullptr));
    Ref fn = make_function(def, globals_, nullptr, defaults, kwdefaults, classcell_);
    if (wrapper != nullptr)
        fn = call(wrapper, fn);
    return add(def.name, fn);
}

Ref ClassBuilder::build(PyObject* bases, PyObject* metaclass) {
    if (classcell_)
        check(PyDict_SetItem(namespace_, s_classcell, classcell_));
    PyObject* meta = metaclass != nullptr ? metaclass : reinterpret_cast<PyObject*>(most_derived_metaclass(bases));
    return call(meta, name_, bases, namespace_);
}

}  // namespace rt
