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
    s_fork{"fork"};

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
    check(_PyObject_LookupAttr(obj, name, &value));
    return Ref::steal(value);
}

Ref new_tuple(std::initializer_list<PyObject*> items) {
    Ref t = check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* item : items)
        PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(item));
    return t;
}

Ref call_star(PyObject* callable, PyObject* args, PyObject* kwargs) {
    Ref positional;
    if (PyTuple_CheckExact(args)) {
        positional = Ref::borrow(args);
    } else {
        positional = Ref::steal(PySequence_Tuple(args));
        if (!positional) {
            if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(args)->tp_iter == nullptr &&
                !PySequence_Check(args)) {
                PyErr_Clear();
                Ref shown = check(_PyObject_FunctionStr(callable));
                raise_format(PyExc_TypeError, "%U argument after * must be an iterable, not %.200s",
                             shown.get(), Py_TYPE(args)->tp_name);
            }
            throw Error{};
        }
    }
    Ref keywords;
    if (kwargs == nullptr || PyDict_CheckExact(kwargs)) {
        keywords = Ref::borrow(kwargs);
    } else {
        keywords = check(PyDict_New());
        if (PyDict_Update(keywords, kwargs) < 0) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                Ref shown = check(_PyObject_FunctionStr(callable));
                raise_format(PyExc_TypeError, "%U argument after ** must be a mapping, not %.200s",
                             shown.get(), Py_TYPE(kwargs)->tp_name);
            }
            throw Error{};
        }
    }
    return check(PyObject_Call(callable, positional, keywords));
}

void unpack(PyObject* item, Ref* out, Py_ssize_t n) {
    if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == n) {
        for (Py_ssize_t i = 0; i < n; ++i)
            out[i] = Ref::borrow(PyTuple_GET_ITEM(item, i));
        return;
    }
    PyObject* it = PyObject_GetIter(item);
    if (it == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(item)->tp_iter == nullptr &&
            !PySequence_Check(item))
            raise_format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item)->tp_name);
        throw Error{};
    }
    Ref iterator = Ref::steal(it);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* value = PyIter_Next(iterator);
        if (value == nullptr) {
            if (PyErr_Occurred())
                throw Error{};
            raise_format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", n, i);
        }
        out[i] = Ref::steal(value);
    }
    if (PyObject* extra = PyIter_Next(iterator)) {
        Py_DECREF(extra);
        raise_format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
    }
    if (PyErr_Occurred())
        throw Error{};
}

// ---------------------------------------------------------------------------
// Imports
// ---------------------------------------------------------------------------

static Ref builtin_import(PyObject* globals, PyObject* name, PyObject* fromlist, int level) {
    PyObject* import = PyDict_GetItemWithError(g_builtins, s_import);
    if (import == nullptr) {
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
    Ref package = getattr_optional(mod, s_name);
    if (package && PyUnicode_Check(package)) {
        Ref full = check(PyUnicode_FromFormat("%U.%U", package.get(), attr.get()));
        if (PyObject* sub = PyImport_GetModule(full))
            return Ref::steal(sub);
        if (PyErr_Occurred())
            throw Error{};
    }
    Ref location = getattr_optional(mod, s_file);
    PyObject* shown = package ? package.get() : Py_None;
    if (location && PyUnicode_Check(location))
        raise_format(PyExc_ImportError, "cannot import name %R from %R (%U)", attr.get(), shown,
                     location.get());
    raise_format(PyExc_ImportError, "cannot import name %R from %R (unknown location)", attr.get(), shown);
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

// Special methods are looked up on the type and bound, as the interpreter does.
static Ref lookup_special(PyObject* obj, PyObject* name) {
    PyObject* descr = _PyType_Lookup(Py_TYPE(obj), name);
    if (descr == nullptr) {
        PyErr_SetObject(PyExc_AttributeError, name);
        throw Error{};
    }
    if (descrgetfunc get = Py_TYPE(descr)->tp_descr_get)
        return check(get(descr, obj, reinterpret_cast<PyObject*>(Py_TYPE(obj))));
    return Ref::borrow(descr);
}

WithExit::WithExit(PyObject* manager) {
    Ref enter = lookup_special(manager, s_enter);
    exit = lookup_special(manager, s_exit);
    call(enter);
}

void WithExit::leave_normally() { call(exit, Py_None, Py_None, Py_None); }

void WithExit::leave_with_error() {
    ExceptScope handled;
    Ref swallowed = call(exit, handled.type(), handled.value(), handled.traceback());
    if (!truthy(swallowed))
        handled.reraise();
}

// ---------------------------------------------------------------------------
// Class building
// ---------------------------------------------------------------------------

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
    PyObject* meta = metaclass;
    if (meta == nullptr) {
        PyTypeObject* winner = _PyType_CalculateMetaclass(&PyType_Type, bases);
        if (winner == nullptr)
            throw Error{};
        meta = reinterpret_cast<PyObject*>(winner);
    }
    return call(meta, name_, bases, namespace_);
}

}  // namespace rt
