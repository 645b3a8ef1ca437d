// The runtime's function type: a native callable that behaves like a Python
// function (binds as a method, carries settable metadata, defaults, an
// instance __dict__ and a discoverable signature) without being one, so
// inspect.isfunction stays false for it.
#pragma once

#include "runtime.h"

#include <array>
#include <span>

namespace rt {

enum class Kind : unsigned char {
    Positional,   // positional-or-keyword
    VarArgs,      // *args
    KeywordOnly,  // after * or *args
    VarKeywords,  // **kwargs
};

struct Param {
    const char* name;
    Kind kind = Kind::Positional;
};

inline constexpr std::size_t kMaxParams = 8;

struct FunctionObject;

// The parameters of one call after binding, in declaration order: borrowed
// references for named parameters, owned ones for *args and **kwargs.
class Bound {
public:
    PyObject* operator[](std::size_t i) const noexcept { return slots_[i]; }

private:
    friend bool bind(FunctionObject*, PyObject* const*, Py_ssize_t, PyObject*, Bound&) noexcept;
    std::array<PyObject*, kMaxParams> slots_{};
    Ref varargs_, varkeywords_;
    // Defaults reach the slots borrowed: the call owns the defaults tuple (a
    // tuple cannot change) and a copy of the keyword-only defaults, so a body
    // that replaces or edits __defaults__ or __kwdefaults__ cannot free them.
    Ref defaults_, kwdefaults_;
};

using Body = Ref (*)(FunctionObject& self, const Bound& args);

// The static description of one function: names, docstring, signature and
// body. A hot function may supply its own vectorcall in `fast`; it must then
// accept exactly what the declared signature accepts.
class FunctionDef {
public:
    const char* name;
    const char* qualname;
    const char* doc;  // nullptr: the function has no docstring
    std::span<const Param> params;
    Body body;
    vectorcallfunc fast = nullptr;

    // Interned parameter names, filled the first time a function is made.
    mutable std::array<PyObject*, kMaxParams> names{};
    mutable std::size_t positional = 0;  // count of Kind::Positional
    mutable int varargs = -1, varkeywords = -1;
    mutable std::size_t first_kwonly = 0, kwonly = 0;

    void prepare() const;
};

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef* def;
    PyObject* globals;    // the module dict that global names are read from
    PyObject* closure;    // the one object the body closes over, or null
    PyObject* classcell;  // the defining class, for zero-argument super()
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;    // tuple or null
    PyObject* kwdefaults;  // dict or null
    PyObject* annotations;
    PyObject* annotate;  // __annotate__ (3.14+): a callable, None or null
    PyObject* dict;
    PyObject* weakreflist;

    // A module global (or builtin) by name, read at call time.
    Ref global(PyObject* name_) const { return load_global(globals, name_); }
    // super(<defining class>, obj)
    Ref super(PyObject* obj) const;
};

// Creates the function type of this module; call once at module init.
void init_function_type(const char* qualified_name);
PyTypeObject* function_type() noexcept;
inline bool is_function(PyObject* obj) noexcept { return Py_IS_TYPE(obj, function_type()); }

// A new function object. `globals` is the defining module's dict; `closure`,
// `classcell`, `defaults` and `kwdefaults` are optional.
Ref make_function(const FunctionDef& def, PyObject* globals, PyObject* closure = nullptr,
                  PyObject* defaults = nullptr, PyObject* kwdefaults = nullptr,
                  PyObject* classcell = nullptr);

// Binds a vectorcall argument vector to `fn`'s signature with the
// interpreter's rules and messages. False with TypeError set on failure.
bool bind(FunctionObject* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          Bound& out) noexcept;

// The generic call path of every function: binds the arguments to the
// declared signature and runs `def->body` under the recursion guard. A `fast`
// vectorcall passes on to it the calls that it does not handle itself, so the
// uncommon shapes still bind, and fail, exactly as declared.
PyObject* generic_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                             PyObject* kwnames) noexcept;

}  // namespace rt
