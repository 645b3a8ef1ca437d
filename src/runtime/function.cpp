// The runtime's function type and its argument binder. The binder follows the
// interpreter's own frame set-up step by step, so that wrong calls raise the
// same TypeErrors, with the same words, as a Python function would.
#include "function.h"

#include <structmember.h>

namespace rt {

namespace {

PyTypeObject* g_function_type = nullptr;

Name s_dunder_wrapped{"__wrapped__"}, s_dunder_signature{"__signature__"}, s_inspect{"inspect"},
    s_Parameter{"Parameter"}, s_Signature{"Signature"}, s_POSITIONAL_OR_KEYWORD{"POSITIONAL_OR_KEYWORD"},
    s_VAR_POSITIONAL{"VAR_POSITIONAL"}, s_KEYWORD_ONLY{"KEYWORD_ONLY"}, s_VAR_KEYWORD{"VAR_KEYWORD"},
    s_default{"default"}, s_annotation{"annotation"}, s_return_annotation{"return_annotation"},
    s_return{"return"}, s_dunder_name{"__name__"}, s_dunder_module{"__module__"};
KwNames kw_default_annotation{&s_default, &s_annotation}, kw_return_annotation{&s_return_annotation};

inline FunctionObject* as_function(PyObject* obj) noexcept { return reinterpret_cast<FunctionObject*>(obj); }

}  // namespace

// ===========================================================================
// FunctionDef
// ===========================================================================

void FunctionDef::prepare() const {
    if (names[0] != nullptr || params.empty())
        return;
    if (params.size() > kMaxParams)
        raise(PyExc_SystemError, "too many parameters for a native function");
    positional = 0;
    kwonly = 0;
    for (std::size_t i = 0; i < params.size(); ++i) {
        switch (params[i].kind) {
        case Kind::Positional: ++positional; break;
        case Kind::VarArgs: varargs = static_cast<int>(i); break;
        case Kind::KeywordOnly:
            if (kwonly++ == 0)
                first_kwonly = i;
            break;
        case Kind::VarKeywords: varkeywords = static_cast<int>(i); break;
        }
    }
    for (std::size_t i = 0; i < params.size(); ++i) {
        PyObject* n = PyUnicode_InternFromString(params[i].name);
        if (n == nullptr)
            throw Error{};
        names[i] = n;  // kept for the life of the process, like the definition
    }
}

// ===========================================================================
// Argument binding
// ===========================================================================

namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'", as the interpreter lists names.
[[noreturn]] void raise_missing(const FunctionObject* fn, const char* kind, const std::array<PyObject*, kMaxParams>& slots,
                   std::size_t start, std::size_t end) {
    const FunctionDef& def = *fn->def;
    Ref names = check(PyList_New(0));
    for (std::size_t i = start; i < end; ++i) {
        if (slots[i] == nullptr)
            check(PyList_Append(names, check(PyObject_Repr(def.names[i]))));
    }
    Py_ssize_t len = PyList_GET_SIZE(names.get());
    Ref text;
    if (len == 1) {
        text = Ref::borrow(PyList_GET_ITEM(names.get(), 0));
    } else if (len == 2) {
        text = check(PyUnicode_FromFormat("%U and %U", PyList_GET_ITEM(names.get(), 0),
                                          PyList_GET_ITEM(names.get(), 1)));
    } else {
        Ref head_items = check(PyList_GetSlice(names, 0, len - 2));
        Ref sep = new_string(", ");
        Ref head = check(PyUnicode_Join(sep, head_items));
        text = check(PyUnicode_FromFormat("%U, %U, and %U", head.get(), PyList_GET_ITEM(names.get(), len - 2),
                                          PyList_GET_ITEM(names.get(), len - 1)));
    }
    raise_format(PyExc_TypeError, "%U() missing %i required %s argument%s: %U", fn->qualname,
                 static_cast<int>(len), kind, len == 1 ? "" : "s", text.get());
}

[[noreturn]] void raise_too_many_positional(const FunctionObject* fn, PyObject* defaults, Py_ssize_t given,
                                            const std::array<PyObject*, kMaxParams>& slots) {
    const FunctionDef& def = *fn->def;
    Py_ssize_t argcount = static_cast<Py_ssize_t>(def.positional);
    Py_ssize_t kwonly_given = 0;
    for (std::size_t i = def.first_kwonly; i < def.first_kwonly + def.kwonly; ++i)
        if (slots[i] != nullptr)
            ++kwonly_given;
    Py_ssize_t defcount = defaults ? PyTuple_GET_SIZE(defaults) : 0;
    bool plural;
    Ref sig;
    if (defcount) {
        plural = true;
        sig = check(PyUnicode_FromFormat("from %zd to %zd", argcount - defcount, argcount));
    } else {
        plural = argcount != 1;
        sig = check(PyUnicode_FromFormat("%zd", argcount));
    }
    Ref kwonly_sig = kwonly_given ? check(PyUnicode_FromFormat(" positional argument%s (and %zd keyword-only argument%s)",
                                                               given != 1 ? "s" : "", kwonly_given,
                                                               kwonly_given != 1 ? "s" : ""))
                                  : new_string("");
    raise_format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd%U %s given", fn->qualname, sig.get(),
                 plural ? "s" : "", given, kwonly_sig.get(), given == 1 && !kwonly_given ? "was" : "were");
}

// Index of the named parameter `keyword`, or -1. Identity first (the common,
// interned case), then equality, as the interpreter searches.
Py_ssize_t find_keyword(const FunctionDef& def, PyObject* keyword) {
    auto named = [&](std::size_t i) {
        return def.params[i].kind == Kind::Positional || def.params[i].kind == Kind::KeywordOnly;
    };
    for (std::size_t i = 0; i < def.params.size(); ++i)
        if (named(i) && def.names[i] == keyword)
            return static_cast<Py_ssize_t>(i);
    for (std::size_t i = 0; i < def.params.size(); ++i) {
        if (!named(i))
            continue;
        if (check(PyObject_RichCompareBool(keyword, def.names[i], Py_EQ)))
            return static_cast<Py_ssize_t>(i);
    }
    return -1;
}

// `defaults` and `kwdefaults` are the function's as the call began: keyword
// matching can run user code (the __eq__ of a str subclass) that replaces
// them, and the call must not see that, nor read a tuple that was freed.
void bind_or_throw(FunctionObject* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   std::array<PyObject*, kMaxParams>& slots, Ref& varargs, Ref& varkeywords, PyObject* defaults,
                   PyObject* kwdefaults, Ref& kwdefaults_held) {
    const FunctionDef& def = *fn->def;
    const Py_ssize_t argcount = static_cast<Py_ssize_t>(def.positional);

    if (def.varkeywords >= 0) {
        varkeywords = check(PyDict_New());
        slots[static_cast<std::size_t>(def.varkeywords)] = varkeywords.get();
    }

    // Positional arguments fill the positional parameters in order.
    Py_ssize_t n = nargs < argcount ? nargs : argcount;
    for (Py_ssize_t i = 0; i < n; ++i)
        slots[static_cast<std::size_t>(i)] = args[i];

    // The rest go to *args.
    if (def.varargs >= 0) {
        varargs = check(PyTuple_New(nargs - n));
        for (Py_ssize_t i = n; i < nargs; ++i)
            PyTuple_SET_ITEM(varargs.get(), i - n, Py_NewRef(args[i]));
        slots[static_cast<std::size_t>(def.varargs)] = varargs.get();
    }

    // Keyword arguments, in the order given.
    if (kwnames != nullptr) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
            PyObject* value = args[nargs + k];
            if (!PyUnicode_Check(keyword)) [[unlikely]]
                raise_format(PyExc_TypeError, "%U() keywords must be strings", fn->qualname);
            Py_ssize_t j = find_keyword(def, keyword);
            if (j < 0) {
                if (!varkeywords)
                    raise_format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", fn->qualname,
                                 keyword);
                check(PyDict_SetItem(varkeywords, keyword, value));
                continue;
            }
            PyObject*& slot = slots[static_cast<std::size_t>(j)];
            if (slot != nullptr)
                raise_format(PyExc_TypeError, "%U() got multiple values for argument '%S'", fn->qualname, keyword);
            slot = value;
        }
    }

    if (nargs > argcount && def.varargs < 0)
        raise_too_many_positional(fn, defaults, nargs, slots);

    // Missing positional parameters take their defaults.
    if (nargs < argcount) {
        Py_ssize_t defcount = defaults ? PyTuple_GET_SIZE(defaults) : 0;
        Py_ssize_t m = argcount - defcount;
        for (Py_ssize_t i = nargs; i < m; ++i) {
            if (slots[static_cast<std::size_t>(i)] == nullptr) {
                raise_missing(fn, "positional", slots, 0, static_cast<std::size_t>(m));
            }
        }
        for (Py_ssize_t i = n > m ? n - m : 0; i < defcount; ++i) {
            PyObject*& slot = slots[static_cast<std::size_t>(m + i)];
            if (slot == nullptr)
                slot = PyTuple_GET_ITEM(defaults, i);
        }
    }

    // Missing keyword-only parameters take theirs.
    if (def.kwonly > 0) {
        bool missing = false;
        for (std::size_t i = def.first_kwonly; i < def.first_kwonly + def.kwonly; ++i) {
            if (slots[i] != nullptr)
                continue;
            if (kwdefaults != nullptr) {
                // The slots borrow from a copy that the call owns: a body that
                // changes __kwdefaults__ in place cannot free a value in use.
                if (!kwdefaults_held)
                    kwdefaults_held = check(PyDict_Copy(kwdefaults));
                if (PyObject* d = PyDict_GetItemWithError(kwdefaults_held, def.names[i])) {
                    slots[i] = d;
                    continue;
                }
                if (PyErr_Occurred())
                    throw Error{};
            }
            missing = true;
        }
        if (missing)
            raise_missing(fn, "keyword-only", slots, def.first_kwonly, def.first_kwonly + def.kwonly);
    }
}

}  // namespace

bool bind(FunctionObject* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Bound& out) noexcept {
    try {
        out.defaults_ = Ref::borrow(fn->defaults);
        Ref kwdefaults = Ref::borrow(fn->kwdefaults);
        bind_or_throw(fn, args, nargs, kwnames, out.slots_, out.varargs_, out.varkeywords_, out.defaults_,
                      kwdefaults, out.kwdefaults_);
        return true;
    } catch (...) {
        translate_current_exception();
        return false;
    }
}

// ===========================================================================
// The function type
// ===========================================================================

namespace {

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    FunctionObject* fn = as_function(callable);
    Bound bound;
    if (!bind(fn, args, PyVectorcall_NARGS(nargsf), kwnames, bound))
        return nullptr;
    // Native calls leave no interpreter frames, so guard the depth here: a
    // chain of wrappers must end in RecursionError, not a stack overflow.
    if (rt::enter_recursive_call(" while calling a Python object"))
        return nullptr;
    PyObject* result = guarded([&] { return fn->def->body(*fn, bound).release(); }, static_cast<PyObject*>(nullptr));
    rt::leave_recursive_call();
    return result;
}

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    FunctionObject* fn = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(fn->globals);
    Py_VISIT(fn->closure);
    Py_VISIT(fn->classcell);
    Py_VISIT(fn->name);
    Py_VISIT(fn->qualname);
    Py_VISIT(fn->module);
    Py_VISIT(fn->doc);
    Py_VISIT(fn->defaults);
    Py_VISIT(fn->kwdefaults);
    Py_VISIT(fn->annotations);
    Py_VISIT(fn->annotate);
    Py_VISIT(fn->dict);
    return 0;
}

int function_clear(PyObject* self) noexcept {
    FunctionObject* fn = as_function(self);
    Py_CLEAR(fn->globals);
    Py_CLEAR(fn->closure);
    Py_CLEAR(fn->classcell);
    Py_CLEAR(fn->name);
    Py_CLEAR(fn->qualname);
    Py_CLEAR(fn->module);
    Py_CLEAR(fn->doc);
    Py_CLEAR(fn->defaults);
    Py_CLEAR(fn->kwdefaults);
    Py_CLEAR(fn->annotations);
    Py_CLEAR(fn->annotate);
    Py_CLEAR(fn->dict);
    return 0;
}

// A function can hold the only reference to another (a wrapper to what it
// wraps), so freeing a long chain would recurse once per link: the trashcan
// defers the deeper links, as the interpreter's own containers do.
void function_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    RT_TRASHCAN_BEGIN(self, function_dealloc)
    if (as_function(self)->weakreflist != nullptr)
        PyObject_ClearWeakRefs(self);
    function_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
    RT_TRASHCAN_END
}

PyObject* function_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Binds like a Python function: the function itself through the class, a
// bound method through an instance.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (obj == nullptr || obj == Py_None)
        return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

// --- settable metadata, with the checks of the interpreter's function type ---

PyObject* get_name(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->name); }
PyObject* get_qualname(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->qualname); }

int set_string(PyObject*& field, PyObject* value, const char* what) noexcept {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_SETREF(field, Py_NewRef(value));
    return 0;
}

int set_name(PyObject* self, PyObject* value, void*) noexcept {
    return set_string(as_function(self)->name, value, "__name__");
}
int set_qualname(PyObject* self, PyObject* value, void*) noexcept {
    return set_string(as_function(self)->qualname, value, "__qualname__");
}

PyObject* get_defaults(PyObject* self, void*) noexcept {
    PyObject* d = as_function(self)->defaults;
    return Py_NewRef(d ? d : Py_None);
}
int set_defaults(PyObject* self, PyObject* value, void*) noexcept {
    if (value == Py_None)
        value = nullptr;
    if (value != nullptr && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XSETREF(as_function(self)->defaults, Py_XNewRef(value));
    return 0;
}

PyObject* get_kwdefaults(PyObject* self, void*) noexcept {
    PyObject* d = as_function(self)->kwdefaults;
    return Py_NewRef(d ? d : Py_None);
}
int set_kwdefaults(PyObject* self, PyObject* value, void*) noexcept {
    if (value == Py_None)
        value = nullptr;
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->kwdefaults, Py_XNewRef(value));
    return 0;
}

// The annotations dict, made when first asked for. From 3.14 a function's
// annotations may be given instead as __annotate__, a callable that makes
// them (functools.wraps copies it, not the dict): __annotations__ then calls
// it with the VALUE format (1) and keeps the dict it returns, as the
// interpreter's functions do.
Ref annotations_of(FunctionObject* fn) {
    if (fn->annotations != nullptr)
        return Ref::borrow(fn->annotations);
#if PY_VERSION_HEX >= 0x030E0000
    if (fn->annotate != nullptr && PyCallable_Check(fn->annotate)) {
        Ref annotate = Ref::borrow(fn->annotate);  // held: the call may replace it
        Ref value_format = new_int(1);
        Ref made = call(annotate, value_format);
        if (!PyDict_Check(made.get())) {
#if PY_VERSION_HEX >= 0x030F0000
            raise_format(PyExc_TypeError, "__annotate__() must return a dict, not %T", made.get());
#else
            raise_format(PyExc_TypeError, "__annotate__ returned non-dict of type '%.100s'",
                         Py_TYPE(made.get())->tp_name);
#endif
        }
        Py_XSETREF(fn->annotations, Py_NewRef(made.get()));
        return made;
    }
#endif
    fn->annotations = check(PyDict_New()).release();
    return Ref::borrow(fn->annotations);
}

PyObject* get_annotations(PyObject* self, void*) noexcept {
    return guarded([&] { return annotations_of(as_function(self)).release(); }, static_cast<PyObject*>(nullptr));
}
int set_annotations(PyObject* self, PyObject* value, void*) noexcept {
    if (value == Py_None)
        value = nullptr;
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    FunctionObject* fn = as_function(self);
    Py_XSETREF(fn->annotations, Py_XNewRef(value));
#if PY_VERSION_HEX >= 0x030E0000
    Py_CLEAR(fn->annotate);
#endif
    return 0;
}

#if PY_VERSION_HEX >= 0x030E0000
PyObject* get_annotate(PyObject* self, void*) noexcept {
    PyObject* annotate = as_function(self)->annotate;
    return Py_NewRef(annotate ? annotate : Py_None);
}
// Callable or None; a callable replaces the annotations made so far.
int set_annotate(PyObject* self, PyObject* value, void*) noexcept {
    FunctionObject* fn = as_function(self);
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError, "__annotate__ cannot be deleted");
        return -1;
    }
    if (value == Py_None) {
        Py_XSETREF(fn->annotate, Py_NewRef(value));
        return 0;
    }
    if (!PyCallable_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotate__ must be callable or None");
        return -1;
    }
    Py_XSETREF(fn->annotate, Py_NewRef(value));
    Py_CLEAR(fn->annotations);
    return 0;
}
#endif

// inspect.Signature built from the same declaration the binder uses, with the
// defaults and annotations as they are when the call begins. Every value is
// held: looking a name up in __annotations__ or __kwdefaults__ compares keys,
// and a key's __eq__ may replace or edit any of the three.
Ref build_signature(FunctionObject* fn) {
    const FunctionDef& def = *fn->def;
    // First: making the annotations may run __annotate__.
    Ref annotations = annotations_of(fn);
    Ref defaults = Ref::borrow(fn->defaults);
    Ref kwdefaults = Ref::borrow(fn->kwdefaults);
    Ref inspect = check(PyImport_Import(s_inspect));
    Ref parameter = getattr(inspect, s_Parameter);
    Ref empty = check(PyObject_GetAttrString(parameter, "empty"));
    Ref params = check(PyList_New(0));
    Py_ssize_t defcount = defaults ? PyTuple_GET_SIZE(defaults.get()) : 0;
    Py_ssize_t first_default = static_cast<Py_ssize_t>(def.positional) - defcount;
    Py_ssize_t positional_index = 0;
    auto lookup = [](PyObject* dict, PyObject* key) {
        Ref value = Ref::borrow(PyDict_GetItemWithError(dict, key));
        if (!value && PyErr_Occurred())
            throw Error{};
        return value;
    };
    for (std::size_t i = 0; i < def.params.size(); ++i) {
        PyObject* name = def.names[i];
        Ref kind;
        Ref deflt = empty;
        switch (def.params[i].kind) {
        case Kind::Positional:
            kind = getattr(parameter, s_POSITIONAL_OR_KEYWORD);
            if (positional_index >= first_default && positional_index - first_default < defcount)
                deflt = Ref::borrow(PyTuple_GET_ITEM(defaults.get(), positional_index - first_default));
            ++positional_index;
            break;
        case Kind::VarArgs: kind = getattr(parameter, s_VAR_POSITIONAL); break;
        case Kind::KeywordOnly:
            kind = getattr(parameter, s_KEYWORD_ONLY);
            if (kwdefaults) {
                if (Ref d = lookup(kwdefaults, name))
                    deflt = d;
            }
            break;
        case Kind::VarKeywords: kind = getattr(parameter, s_VAR_KEYWORD); break;
        }
        Ref annotation = lookup(annotations, name);
        if (!annotation)
            annotation = empty;
        check(PyList_Append(params, call_kw(parameter, kw_default_annotation, name, kind, deflt, annotation)));
    }
    Ref signature = getattr(inspect, s_Signature);
    if (Ref ret = lookup(annotations, s_return))
        return call_kw(signature, kw_return_annotation, params, ret);
    return call(signature, params);
}

// A wrapper made with functools.wraps reports no signature of its own, so
// inspect.signature follows __wrapped__ to the function it wraps; one that
// was given a __signature__ explicitly reports that.
PyObject* get_signature(PyObject* self, void*) noexcept {
    FunctionObject* fn = as_function(self);
    return guarded(
        [&]() -> PyObject* {
            // Held: a key's __eq__ may replace the function's __dict__.
            if (Ref dict = Ref::borrow(fn->dict)) {
                if (PyObject* explicit_sig = PyDict_GetItemWithError(dict, s_dunder_signature))
                    return Py_NewRef(explicit_sig);
                if (PyErr_Occurred())
                    throw Error{};
                if (PyDict_GetItemWithError(dict, s_dunder_wrapped) != nullptr) {
                    PyErr_SetObject(PyExc_AttributeError, s_dunder_signature);
                    return nullptr;
                }
                if (PyErr_Occurred())
                    throw Error{};
            }
            return build_signature(fn).release();
        },
        static_cast<PyObject*>(nullptr));
}

int set_signature(PyObject* self, PyObject* value, void*) noexcept {
    FunctionObject* fn = as_function(self);
    if (fn->dict == nullptr && (fn->dict = PyDict_New()) == nullptr)
        return -1;
    Ref dict = Ref::borrow(fn->dict);  // held, as in get_signature
    if (value == nullptr) {
        if (PyDict_DelItem(dict, s_dunder_signature) < 0) {
            if (PyErr_ExceptionMatches(PyExc_KeyError)) {
                PyErr_Clear();
                PyErr_SetObject(PyExc_AttributeError, s_dunder_signature);
            }
            return -1;
        }
        return 0;
    }
    return PyDict_SetItem(dict, s_dunder_signature, value);
}

// The declared parameters as text, without defaults: what inspect falls back
// on when asked for a wrapper's own signature, which __signature__ leaves to
// the wrapped function.
PyObject* get_text_signature(PyObject* self, void*) noexcept {
    const FunctionDef& def = *as_function(self)->def;
    return guarded(
        [&]() -> PyObject* {
            Ref parts = check(PyList_New(0));
            bool star_written = false;
            for (std::size_t i = 0; i < def.params.size(); ++i) {
                const char* prefix = "";
                switch (def.params[i].kind) {
                case Kind::Positional: break;
                case Kind::VarArgs: prefix = "*"; star_written = true; break;
                case Kind::KeywordOnly:
                    if (!star_written) {
                        check(PyList_Append(parts, new_string("*")));
                        star_written = true;
                    }
                    break;
                case Kind::VarKeywords: prefix = "**"; break;
                }
                check(PyList_Append(parts, check(PyUnicode_FromFormat("%s%U", prefix, def.names[i]))));
            }
            Ref joined = check(PyUnicode_Join(new_string(", "), parts));
            return PyUnicode_FromFormat("(%U)", joined.get());
        },
        static_cast<PyObject*>(nullptr));
}

// Pickled by reference, as the interpreter's functions are.
PyObject* function_reduce(PyObject* self, PyObject*) noexcept { return Py_NewRef(as_function(self)->qualname); }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
#if PY_VERSION_HEX >= 0x030E0000
    {"__annotate__", get_annotate, set_annotate, nullptr, nullptr},
#endif
    {"__signature__", get_signature, set_signature, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// `__module__` is served here rather than by a member descriptor: a heap
// type's own __module__ is whatever its dict holds under that name, and it
// must stay the string naming this module (as types.FunctionType.__module__
// is a string), for inspect.formatannotation, pickling and messages.
bool is_module_name(PyObject* name) noexcept {
    return name == s_dunder_module.get() ||
           (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "__module__") == 0);
}

PyObject* function_getattro(PyObject* self, PyObject* name) noexcept {
    if (is_module_name(name)) {
        PyObject* module = as_function(self)->module;
        return Py_NewRef(module ? module : Py_None);
    }
    return PyObject_GenericGetAttr(self, name);
}

int function_setattro(PyObject* self, PyObject* name, PyObject* value) noexcept {
    if (is_module_name(name)) {
        Py_XSETREF(as_function(self)->module, Py_XNewRef(value));
        return 0;
    }
    return PyObject_GenericSetAttr(self, name, value);
}

PyMemberDef function_members[] = {
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakreflist), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_getattro, reinterpret_cast<void*>(function_getattro)},
    {Py_tp_setattro, reinterpret_cast<void*>(function_setattro)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

}  // namespace

void init_function_type(const char* qualified_name) {
    if (g_function_type != nullptr)
        return;
    static PyType_Spec spec = {
        qualified_name,
        sizeof(FunctionObject),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
            Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
        function_slots,
    };
    PyObject* type = PyType_FromSpec(&spec);
    if (type == nullptr)
        throw Error{};
    g_function_type = reinterpret_cast<PyTypeObject*>(type);
}

PyTypeObject* function_type() noexcept { return g_function_type; }

PyObject* generic_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    return function_vectorcall(callable, args, nargsf, kwnames);
}

Ref make_function(const FunctionDef& def, PyObject* globals, PyObject* closure, PyObject* defaults,
                  PyObject* kwdefaults, PyObject* classcell) {
    def.prepare();
    FunctionObject* fn = PyObject_GC_New(FunctionObject, g_function_type);
    if (fn == nullptr)
        throw Error{};
    Py_INCREF(g_function_type);  // heap-type instances own a reference to their type
    fn->vectorcall = def.fast ? def.fast : function_vectorcall;
    fn->def = &def;
    fn->globals = Py_NewRef(globals);
    fn->closure = Py_XNewRef(closure);
    fn->classcell = Py_XNewRef(classcell);
    fn->name = nullptr;
    fn->qualname = nullptr;
    fn->module = nullptr;
    fn->doc = nullptr;
    fn->defaults = Py_XNewRef(defaults);
    fn->kwdefaults = Py_XNewRef(kwdefaults);
    fn->annotations = nullptr;
    fn->annotate = nullptr;
    fn->dict = nullptr;
    fn->weakreflist = nullptr;
    Ref result = Ref::steal(reinterpret_cast<PyObject*>(fn));
    fn->name = new_string(def.name).release();
    fn->qualname = new_string(def.qualname).release();
    fn->doc = def.doc ? new_string(def.doc).release() : Py_NewRef(Py_None);
    if (PyObject* module = PyDict_GetItemWithError(globals, s_dunder_name))
        fn->module = Py_NewRef(module);
    else if (PyErr_Occurred())
        throw Error{};
    PyObject_GC_Track(result.get());
    return result;
}

Ref FunctionObject::super(PyObject* obj) const {
    Ref cls = Ref::borrow(classcell ? PyCell_GET(classcell) : nullptr);
    if (!cls)
        raise(PyExc_RuntimeError, "super(): __class__ cell not found");
    return call(reinterpret_cast<PyObject*>(&PySuper_Type), cls, obj);
}

}  // namespace rt
