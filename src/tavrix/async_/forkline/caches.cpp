// Warming, in the parent, the caches that each child's step search reads.
//
// Each child's _get_steps calls inspect.stack(), which reads, for every frame
// of the chain that the child inherits, the frame's source file through
// linecache and the module of that file through inspect's tables. Cold, that
// is most of a child's start-up: the tables are built by scanning every
// loaded module, and every file is read again. Warmed once in the parent,
// just before the fork, they reach every child through it.
//
// What the parent does must be invisible to the caller's code:
// - It fills inspect's module tables the way inspect.getmodule() does, but
//   reads each module's __file__ and __name__ from the module's own dict, and
//   passes over any module that is not a plain module object or that defines
//   a module-level __getattr__: a lazily imported module (whose class loads
//   it on any attribute access) is never loaded here, and no module's code
//   runs. inspect's own scan never runs in the parent or in the children:
//   every frame's file is in the table when inspect looks it up.
// - A file that no module owns (code run from a string, typed at the prompt,
//   a notebook cell) would make every lookup for its frames scan all modules
//   again, in every child. For such a file the table gets an entry that says
//   "no module" (the name mapped to None, which inspect answers with None as
//   its scan would) for the time of the forks only: the children inherit it,
//   and the parent takes it back right after, so its tables never hold
//   anything inspect would not have put there.
// - It imports nothing: it uses the standard-library modules already loaded
//   (inspect, linecache, os.path, the fork machinery), never the module
//   attribute `inspect` that the children call, and nothing of the test
//   harness.
// Each file costs the parent its warm-up once per process; a file warmed
// before is only checked against the disk (linecache.checkcache, one stat),
// so an edited source is read again, as each child's own search would.
#include "caches.h"

#include <frameobject.h>  // PyFrame_GetBack (3.10 declares it here)

using rt::call_method;
using rt::check;
using rt::Name;
using rt::Ref;

namespace forkline {

namespace {

Name s_modulesbyfile{"modulesbyfile"}, s_filesbymodname{"_filesbymodname"}, s_getabsfile{"getabsfile"},
    s_realpath{"realpath"}, s_getframeinfo{"getframeinfo"}, s_findsource{"findsource"},
    s_checkcache{"checkcache"}, s_cache{"cache"}, s_co_filename{"co_filename"}, s_file{"__file__"},
    s_name{"__name__"}, s_module_getattr{"__getattr__"};

// Names of the files warmed in this process (kept for its life, like
// inspect's own tables; never freed: static destructors run after the
// interpreter has gone).
PyObject* warmed() {
    static PyObject* names = nullptr;
    if (names == nullptr)
        names = check(PySet_New(nullptr)).release();
    return names;
}

// sys.modules[name], without importing it; empty when it is not loaded.
Ref loaded(const char* name) {
    Ref module = Ref::steal(PyImport_GetModule(rt::new_string(name)));
    if (!module && PyErr_Occurred())
        throw rt::Error{};
    return module;
}

// Runs `warm` and drops the failure of an Exception: warming is an
// optimisation, and a child's own search meets the same conditions and
// deals with them as it always has. Anything else (KeyboardInterrupt)
// propagates.
template <class F>
void guarded(F&& warm) {
    try {
        warm();
    } catch (const rt::Error&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception))
            throw;
        PyErr_Clear();
    }
}

// `dict.get(key)` of an exact dict: an empty Ref when missing.
Ref lookup(PyObject* dict, PyObject* key) {
    Ref value = Ref::borrow(PyDict_GetItemWithError(dict, key));
    if (!value && PyErr_Occurred())
        throw rt::Error{};
    return value;
}

bool in_set(PyObject* set, PyObject* key) { return check(PySet_Contains(set, key)) != 0; }

class Warmer {
public:
    Warmer(PyObject* table, PyObject* unowned)
        : table_(Ref::borrow(table)), unowned_(Ref::borrow(unowned)), seen_(check(PySet_New(nullptr))) {
        inspect_ = loaded("inspect");
        linecache_ = loaded("linecache");
        path_ = loaded("os.path");
        if (!inspect_ || !linecache_ || !path_)
            return;
        names_ = rt::getattr_optional(inspect_, s_filesbymodname);
        lines_ = rt::getattr_optional(linecache_, s_cache);
        ready_ = names_ && PyDict_CheckExact(names_.get()) && lines_ && PyDict_CheckExact(lines_.get());
    }

    bool ready() const { return ready_; }

    // Maps the file of every plain module not mapped yet, as inspect's scan
    // would: _filesbymodname[name] = __file__, modulesbyfile[absfile] =
    // modulesbyfile[realpath(absfile)] = __name__.
    void scan_modules() {
        Ref modules = Ref::borrow(PySys_GetObject("modules"));
        if (!modules || !PyDict_CheckExact(modules.get()))
            return;
        Ref copy = check(PyDict_Copy(modules));  // private: nothing else can change it
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(copy, &pos, &key, &value)) {
            if (!PyModule_CheckExact(value))
                continue;
            Ref modname = Ref::borrow(key), module = Ref::borrow(value);
            guarded([&] { map_module(modname, module); });
        }
    }

    // The source file of a module that runs in the child below its run():
    // the fork machinery, whose frames no parent frame shows. A code object
    // of that file stands in for them: inspect.findsource() then takes the
    // steps it takes for each frame (module lookup, lines).
    void machinery_file(const char* module_name) {
        Ref module = loaded(module_name);
        if (!module || !PyModule_CheckExact(module.get()))
            return;
        Ref name = lookup(PyModule_GetDict(module), s_file);
        if (!name || !PyUnicode_CheckExact(name.get()) || !first_time(name))
            return;
        const char* path = PyUnicode_AsUTF8(name);
        if (path == nullptr)
            throw rt::Error{};
        Ref code = check(reinterpret_cast<PyObject*>(PyCode_NewEmpty(path, "<module>", 1)));
        call_method(inspect_, s_findsource, code);
        check(PySet_Add(warmed(), name));
    }

    // The file of one frame of the chain that the children inherit.
    void frame_file(PyObject* frame) {
        Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(reinterpret_cast<PyFrameObject*>(frame))));
        Ref name = rt::getattr(code, s_co_filename);
        if (!PyUnicode_CheckExact(name.get()) || in_set(seen_, name))
            return;
        check(PySet_Add(seen_, name));
        if (!check(PyDict_Contains(table_, name))) {
            Ref absolute = call_method(inspect_, s_getabsfile, frame, name);
            if (!check(PyDict_Contains(table_, absolute))) {
                check(PyDict_SetItem(table_, name, Py_None));
                check(PyList_Append(unowned_, name));
            }
        }
        if (!first_time(name))
            return;
        call_method(inspect_, s_getframeinfo, frame);
        check(PySet_Add(warmed(), name));
    }

private:
    void map_module(PyObject* modname, PyObject* module) {
        Ref dict = Ref::borrow(PyModule_GetDict(module));
        Ref file = lookup(dict, s_file);
        Ref name = lookup(dict, s_name);
        if (!file || !PyUnicode_CheckExact(file.get()) || !name || !PyUnicode_CheckExact(name.get()) ||
            lookup(dict, s_module_getattr))
            return;
        if (Ref known = lookup(names_, modname); known && check(PyObject_RichCompareBool(file, known, Py_EQ)))
            return;
        Ref absolute = call_method(inspect_, s_getabsfile, module);
        Ref real = call_method(path_, s_realpath, absolute);
        check(PyDict_SetItem(names_, modname, file));
        check(PyDict_SetItem(table_, absolute, name));
        check(PyDict_SetItem(table_, real, name));
    }

    // True the first time a name comes up in this process, or when its lines
    // are no longer those on disk.
    bool first_time(PyObject* name) {
        if (!in_set(warmed(), name))
            return true;
        call_method(linecache_, s_checkcache, name);
        return !check(PyDict_Contains(lines_, name));
    }

    Ref table_, unowned_, seen_;
    Ref inspect_, linecache_, path_, names_, lines_;
    bool ready_ = false;
};

}  // namespace

WarmCaches::WarmCaches() {
    guarded([&] {
        Ref inspect = loaded("inspect");
        Ref table = inspect ? rt::getattr_optional(inspect, s_modulesbyfile) : Ref();
        if (!table || !PyDict_CheckExact(table.get()))
            return;
        Ref unowned = check(PyList_New(0));
        table_ = table;
        unowned_ = unowned;
        Warmer warmer(table, unowned);
        if (!warmer.ready())
            return;
        warmer.scan_modules();
        // The fork machinery first, then the chain of frames that every child
        // inherits, innermost first.
        for (const char* name : {"multiprocessing.process", "multiprocessing.context", "multiprocessing.popen_fork"})
            guarded([&] { warmer.machinery_file(name); });
        auto as_object = [](PyFrameObject* f) { return reinterpret_cast<PyObject*>(f); };
        Ref frame = Ref::borrow(as_object(PyEval_GetFrame()));
        while (frame) {
            guarded([&] { warmer.frame_file(frame); });
            frame = Ref::steal(as_object(PyFrame_GetBack(reinterpret_cast<PyFrameObject*>(frame.get()))));
        }
    });
}

WarmCaches::~WarmCaches() {
    if (!unowned_)
        return;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    for (Py_ssize_t i = 0, n = PyList_GET_SIZE(unowned_.get()); i < n; ++i) {
        PyObject* name = PyList_GET_ITEM(unowned_.get(), i);  // exact str keys: no code runs
        PyObject* entry = PyDict_GetItemWithError(table_, name);
        if (entry == Py_None && PyDict_DelItem(table_, name) < 0)
            PyErr_Clear();
        else if (entry == nullptr)
            PyErr_Clear();
    }
    PyErr_Restore(type, value, traceback);
}

}  // namespace forkline
