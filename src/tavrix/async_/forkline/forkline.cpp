// tavrix.async_.forkline: run Python callables in parallel, one forked child
// per instance, with results back in child order. This file holds the
// classes and their methods, and the module's initialisation; the result
// channel (channel.cpp), the batch records and exit handling (batch.cpp) and
// the warm-up of the children's caches (caches.cpp) live beside it.
//
// Every method reads the module-level names it uses (ChildLabor, time,
// logger, ...) from the module dict at call time, so a replaced attribute
// takes effect at the next call.
#include "batch.h"
#include "caches.h"
#include "channel.h"
#include "function.h"
#include "runtime.h"

#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <utility>
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
using rt::setattr;

namespace {

Name s_os{"os"}, s_time{"time"}, s_signal{"signal"}, s_logging{"logging"}, s_inspect{"inspect"},
    s_itertools{"itertools"}, s_functools{"functools"}, s_namedtuple{"namedtuple"},
    s_ExceptionWithTraceback{"ExceptionWithTraceback"}, s_managed_handlers{"managed_handlers"},
    s_multiprocessing{"multiprocessing"}, s_pcall_infra{"__pcall_infra__"}, s_logger{"logger"},
    s_ChildWork{"ChildWork"}, s_ChildLabor{"ChildLabor"}, s_Pcall{"Pcall"};

Name s_init{"__init__"}, s_name{"__name__"}, s_target_attr{"_target"}, s_args_attr{"_args"},
    s_kwargs_attr{"_kwargs"}, s_index_attr{"_index"}, s_queue_attr{"_queue"}, s_work_attr{"_work"},
    s_partial{"partial"}, s_func{"func"}, s_offset{"offset"}, s_get_steps{"_get_steps"}, s_exception{"exception"},
    s_put{"put"}, s_stack{"stack"}, s_frame{"frame"}, s_f_locals{"f_locals"}, s_get{"get"}, s_self{"self"},
    s_parameters{"parameters"}, s_internal{"internal"}, s_steps{"steps"}, s_target_attr_pub{"target"},
    s_args_key{"args"}, s_kwargs_key{"kwargs"}, s_getLogger{"getLogger"},
    s_Process{"Process"}, s_SimpleQueue{"SimpleQueue"}, s_repeat{"repeat"}, s_copy{"copy"}, s_update{"update"},
    s_values{"values"},
    s_targets{"targets"}, s_timeout{"timeout"}, s_cargs{"cargs"}, s_iargs{"iargs"}, s_ckwargs{"ckwargs"},
    s_ikwargs{"ikwargs"}, s_varkwargs{"varkwargs"}, s_results{"results"}, s_processes{"_processes"},
    s_build_arguments{"_build_arguments"}, s_append{"append"}, s_index{"index"}, s_queue{"queue"},
    s_starttime{"starttime"}, s_stoptime{"stoptime"}, s_tasklog{"tasklog"},
    s_consolidate{"consolidate_next_forked_logfile"}, s_start{"start"}, s_join{"join"}, s_is_alive{"is_alive"},
    s_empty{"empty"}, s_sleep{"sleep"}, s_livings{"livings"}, s_terminate{"terminate"}, s_error{"error"},
    s_format{"format"}, s_p{"p"}, s_extended_msg{"extended_msg"}, s_pid{"pid"}, s_kill{"kill"},
    s_SIGKILL{"SIGKILL"}, s_exitcode{"exitcode"}, s_module{"module"};

Name s_Signals{"Signals"}, s_name_attr_plain{"name"};

rt::KwNames kw_worker{&s_index, &s_queue, &s_target_attr_pub, &s_args_key, &s_kwargs_key};
rt::KwNames kw_module{&s_module};
rt::KwNames kw_p{&s_p};
rt::KwNames kw_report{&s_timeout, &s_extended_msg};

constexpr double kPollPause = 0.25;
constexpr long kStepTerminated = 2;

// self.<name> = value, for the attribute tables below.
inline void set(PyObject* obj, PyObject* name, PyObject* value) { setattr(obj, name, value); }

// ===========================================================================
// ChildLabor
// ===========================================================================

const char* const kChildLaborDoc =
    "ChildLabor Class\n"
    "\n"
    "Worker class: a subclass of multiprocessing.Process under the 'fork'\n"
    "context, customised only for use by Pcall.";

// --- __init__(self, index, queue, *args, **kwargs) ---

Ref ChildLabor_init(FunctionObject& fn, const Bound& a) {
    PyObject *self = a[0], *index = a[1], *queue = a[2], *args = a[3], *kwargs = a[4];

    Ref base_init = getattr(fn.super(self), s_init);
    check(PyObject_Call(base_init, args, kwargs));
    set(self, s_index_attr, index);
    set(self, s_queue_attr, queue);

    // Name the target for messages: a partial is unwrapped once.
    Ref target = getattr(self, s_target_attr);
    Ref partial = getattr(fn.global(s_functools), s_partial);
    if (rt::isinstance(target, partial))
        target = getattr(target, s_func);
    Ref name = rt::getattr_optional(target, s_name);
    Ref name_text = rt::str(name ? name : target);

    Ref child_work = fn.global(s_ChildWork);
    Ref args_text = rt::str(getattr(self, s_args_attr));
    Ref kwargs_text = rt::str(getattr(self, s_kwargs_attr));
    set(self, s_work_attr, call(child_work, name_text, args_text, kwargs_text));
    return rt::none();
}

const Param ChildLabor_init_params[] = {
    {"self"}, {"index"}, {"queue"}, {"args", Kind::VarArgs}, {"kwargs", Kind::VarKeywords},
};
const rt::FunctionDef ChildLabor_init_def{
    "__init__", "ChildLabor.__init__",
    "built-in init\n"
    "\n"
    ":param index: the child labor index\n"
    ":param queue: the queue that pipes results back to the parent",
    ChildLabor_init_params, ChildLabor_init};

// --- _get_steps(self) ---

// Follows the last child of each step while that child's own `steps` is a
// list. Iterative, with the interpreter's recursion limit as the bound, so a
// cyclic structure ends in RecursionError instead of running forever.
// `steps.steps[-1]` is a subscription with -1 (a mapping may hold that key),
// and `isinstance(..., list)` the built-in test (which honours __class__).
Ref get_current_steps(Ref steps) {
    int limit = Py_GetRecursionLimit();
    Ref last_index = rt::new_int(-1);
    PyObject* list_type = reinterpret_cast<PyObject*>(&PyList_Type);
    for (int depth = 0;; ++depth) {
        if (depth >= limit)
            rt::raise(PyExc_RecursionError, "maximum recursion depth exceeded while getting the current step");
        if (!rt::truthy(getattr(steps, s_steps)))
            return steps;
        Ref last = check(PyObject_GetItem(getattr(steps, s_steps), last_index));
        if (!rt::isinstance(getattr(last, s_steps), list_type))
            return steps;
        steps = check(PyObject_GetItem(getattr(steps, s_steps), last_index));
    }
}

Ref ChildLabor_get_steps(FunctionObject& fn, const Bound&) {
    Ref stack = call_method(fn.global(s_inspect), s_stack);
    // for frame in stack: ... return at the first frame that gets through.
    Ref records = check(PyObject_GetIter(stack));
    while (Ref record = Ref::steal(PyIter_Next(records))) {
        Ref locals = getattr(getattr(record, s_frame), s_f_locals);
        Ref obj = call_method(locals, s_get, s_self);
        try {
            Ref internal = getattr(getattr(obj, s_parameters), s_internal);
            return get_current_steps(call_method(internal, s_get, s_steps));
        } catch (const rt::Error&) {
            if (!PyErr_ExceptionMatches(PyExc_Exception))
                throw;
            PyErr_Clear();
        }
    }
    if (PyErr_Occurred())
        throw rt::Error{};
    return rt::none();
}

const Param self_only[] = {{"self"}};
const rt::FunctionDef ChildLabor_get_steps_def{
    "_get_steps", "ChildLabor._get_steps",
    "Attempt to retrieve testcase steps\n"
    "\n"
    ":return: the testcase's steps",
    self_only, ChildLabor_get_steps};

// --- run(self) ---

// The log text of a failing target: each piece read and converted with str()
// in turn, as the concatenation evaluates, so `self._index` is the one at
// this moment and `self._work` is read once per field.
Ref failure_text(PyObject* self) {
    Ref pieces = check(PyList_New(0));
    auto literal = [&](const char* text) { check(PyList_Append(pieces, rt::new_string(text))); };
    auto field = [&](PyObject* name) {
        Ref work = getattr(self, s_work_attr);
        check(PyList_Append(pieces, rt::str(getattr(work, name))));
    };
    literal("Caught error while executing target in child process-");
    check(PyList_Append(pieces, rt::str(getattr(self, s_index_attr))));
    literal(":\n  target = ");
    field(s_target_attr_pub);
    literal("\n  args = ");
    field(s_args_key);
    literal("\n  kwargs = ");
    field(s_kwargs_key);
    literal("\n\n");
    Ref empty = rt::new_string("");
    return check(PyUnicode_Join(empty, pieces));
}

// The last step of run(): `self._queue.put(result)`. A child that start()
// forked for a batch, whose queue is the batch's own plain SimpleQueue,
// sends through the batch's channel instead; any other queue, and any queue
// of a child not forked so, gets its put().
void send_result(FunctionObject& fn, PyObject* self, PyObject* message, PyObject* raised, pid_t runner) {
    // A process forked by the target returns through run() too; only the
    // child itself speaks for its index.
    if (getpid() != runner)
        return;
    Ref queue = getattr(self, s_queue_attr);
    const forkline::ChildOf& me = forkline::child_of();
    if (me.batch != nullptr && me.pid == runner && me.batch->writer >= 0 && queue.get() == me.batch->queue().get()) {
        Ref queues = Ref::steal(PyImport_GetModule(rt::new_string("multiprocessing.queues")));
        Ref plain = queues ? rt::getattr_optional(queues, s_SimpleQueue) : Ref();
        if (plain && reinterpret_cast<PyObject*>(Py_TYPE(queue.get())) == plain.get()) {
            forkline::channel::send(*me.batch, me.slot, message, raised, fn.globals);
            return;
        }
        if (PyErr_Occurred())
            throw rt::Error{};
    }
    call_method(queue, s_put, message);
}

Ref ChildLabor_run(FunctionObject& fn, const Bound& a) {
    PyObject* self = a[0];
    const pid_t runner = getpid();
    Ref Steps = rt::import_from(fn.globals, "tavrix.vetrun.steps", "Steps");
    Ref TerminateStepSignal = rt::import_from(fn.globals, "tavrix.vetrun.signals", "TerminateStepSignal");

    Ref index = getattr(self, s_index_attr);
    Ref steps = call_method(self, s_get_steps);
    if (rt::isinstance(steps, Steps)) {
        Ref number = check(PyNumber_Long(getattr(self, s_index_attr)));
        Ref one = rt::new_int(1), thousand = rt::new_int(1000);
        Ref offset = check(PyNumber_Multiply(check(PyNumber_Add(number, one)), thousand));
        setattr(steps, s_offset, offset);
    }

    Ref result, raised;
    try {
        // self._target(*self._args, **self._kwargs), read in that order.
        Ref target = getattr(self, s_target_attr);
        Ref args = getattr(self, s_args_attr);
        Ref kwargs = getattr(self, s_kwargs_attr);
        Ref value = rt::call_star(target, args, kwargs);
        result = rt::new_tuple({index.get(), Py_True, value.get()});
    } catch (const rt::Error&) {
        rt::ExceptScope handled;
        if (handled.matches(PyExc_Exception)) {
            Ref log_exception = getattr(fn.global(s_logger), s_exception);
            Ref text = failure_text(self);
            call(log_exception, text);
            Ref wrapped = call(fn.global(s_ExceptionWithTraceback), handled.value());
            result = rt::new_tuple({index.get(), Py_False, wrapped.get()});
        } else if (handled.matches(TerminateStepSignal)) {
            Ref wrapped = call(fn.global(s_ExceptionWithTraceback), handled.value());
            Ref status = rt::new_int(kStepTerminated);
            result = rt::new_tuple({index.get(), status.get(), wrapped.get()});
        } else {
            handled.reraise();
        }
        raised = Ref::borrow(handled.value());
    }
    send_result(fn, self, result, raised.get(), runner);
    return rt::none();
}

const rt::FunctionDef ChildLabor_run_def{
    "run", "ChildLabor.run",
    "ChildLabor.run\n"
    "\n"
    "Runs the given target in the child process: the default entry point of\n"
    "multiprocessing.Process. Updates the step container with an offset if\n"
    "there is one.\n"
    "\n"
    ":return: None; every return value and error of the target is put on the\n"
    "    queue in the form (index, boolean, result).",
    self_only, ChildLabor_run};

// ===========================================================================
// Pcall
// ===========================================================================

const char* const kPcallDoc =
    "Pcall class\n"
    "\n"
    "Performs and controls parallel calls: combinations of arguments are zipped\n"
    "together and passed to each parallel instance, one forked child each.\n"
    "\n"
    ":param targets: one callable, or a list of callables (one per child)\n"
    ":param timeout: maximum run time of any child, in seconds, counted from\n"
    "    start(); once it has passed, join() asks the children still running to\n"
    "    stop and raises TimeoutError (None or 0: no limit)\n"
    ":param cargs: common positional arguments, passed first to every child\n"
    ":param iargs: per-instance positional arguments, item i for child i\n"
    ":param ckwargs: common keyword arguments of every child\n"
    ":param ikwargs: per-instance keyword argument dicts, item i for child i\n"
    ":param varkwargs: any other keyword argument, a sequence holding one\n"
    "    value per child\n"
    "\n"
    "Rules:\n"
    "- The number of parallel instances follows the number of targets, of\n"
    "  instance arguments and of values per variable keyword argument,\n"
    "  whichever is shorter (empty sources do not count).\n"
    "- Arguments are position-sensitive.\n"
    "- The results, the tuple `results` set by join(), are in child order.";

// --- pcall(cls, *args, **kwargs) ---

Ref Pcall_pcall(FunctionObject&, const Bound& a) {
    PyObject *cls = a[0], *args = a[1], *kwargs = a[2];
    Ref batch = check(PyObject_Call(cls, args, kwargs));
    call_method(batch, s_start);
    call_method(batch, s_join);
    return getattr(batch, s_results);
}

const Param Pcall_pcall_params[] = {{"cls"}, {"args", Kind::VarArgs}, {"kwargs", Kind::VarKeywords}};
const rt::FunctionDef Pcall_pcall_def{
    "pcall", "Pcall.pcall",
    "pcall classmethod\n"
    "\n"
    "A short-cut for using Pcall: builds the batch, wraps start() and join(),\n"
    "blocks, and returns the results of the parallel calls in the order in\n"
    "which they were called.",
    Pcall_pcall_params, Pcall_pcall};

// --- __init__(self, targets, timeout=None, cargs=(), iargs=(), ckwargs={}, ikwargs=(), **varkwargs) ---

Ref Pcall_init(FunctionObject& fn, const Bound& a) {
    PyObject *self = a[0], *targets = a[1], *timeout = a[2], *cargs = a[3], *iargs = a[4], *ckwargs = a[5],
             *ikwargs = a[6], *varkwargs = a[7];
    set(self, s_targets, targets);
    set(self, s_timeout, timeout);
    set(self, s_cargs, cargs);
    set(self, s_iargs, check(PySequence_List(iargs)));
    set(self, s_ckwargs, ckwargs);
    set(self, s_ikwargs, check(PySequence_List(ikwargs)));

    Ref per_child = check(PyDict_New());
    rt::for_each_pair(varkwargs, [&](PyObject* key, PyObject* value) {
        check(PyDict_SetItem(per_child, key, check(PySequence_List(value))));
    });
    set(self, s_varkwargs, per_child);

    set(self, s_results, Py_None);
    set(self, s_queue_attr, call_method(fn.global(s_multiprocessing), s_SimpleQueue));
    set(self, s_processes, check(PyList_New(0)));

    Ref arguments = call_method(self, s_build_arguments);
    long long index = 0;
    rt::for_each(arguments, [&](PyObject* argument_set) {
        Ref append = getattr(getattr(self, s_processes), s_append);
        Ref child_labor = fn.global(s_ChildLabor);
        Ref i = rt::new_int(index++);
        Ref queue = getattr(self, s_queue_attr);
        Ref target = check(PyObject_GetItem(argument_set, s_target_attr_pub));
        Ref args = check(PyObject_GetItem(argument_set, s_args_key));
        Ref kwargs = check(PyObject_GetItem(argument_set, s_kwargs_key));
        Ref worker = rt::call_kw(child_labor, kw_worker, i, queue, target, args, kwargs);
        call(append, worker);
    });
    return rt::none();
}

const Param Pcall_init_params[] = {
    {"self"}, {"targets"}, {"timeout"}, {"cargs"}, {"iargs"}, {"ckwargs"}, {"ikwargs"}, {"varkwargs", Kind::VarKeywords},
};
const rt::FunctionDef Pcall_init_def{"__init__", "Pcall.__init__", nullptr, Pcall_init_params, Pcall_init};

// --- pids (property) ---

Ref Pcall_pids(FunctionObject&, const Bound& a) {
    Ref pids = check(PyList_New(0));
    rt::for_each(getattr(a[0], s_processes), [&](PyObject* child) { check(PyList_Append(pids, getattr(child, s_pid))); });
    return check(PyList_AsTuple(pids));
}

const rt::FunctionDef Pcall_pids_def{"pids", "Pcall.pids",
                                     "pids (property)\n"
                                     "\n"
                                     "The process ids of the children, in child order, once all children\n"
                                     "have been started (None for a child not started yet).",
                                     self_only, Pcall_pids};

// --- start(self) ---

Ref Pcall_start(FunctionObject& fn, const Bound& a) {
    PyObject* self = a[0];
    set(self, s_starttime, call_method(fn.global(s_time), s_time));
    forkline::Batch& batch = forkline::prepare(fn.globals, self);
    Ref consolidate = getattr(getattr(fn.global(s_managed_handlers), s_tasklog), s_consolidate);
    Ref context = call(consolidate);
    // A start() that raises, whether a child's start() failed (no more
    // descriptors or processes, say) or the logging context did, leaves
    // nothing running: the children it forked are ended and reaped first.
    std::vector<std::size_t> forked;
    try {
        rt::with_context(context, [&] {
            forkline::WarmCaches warm;
            Ref processes = getattr(self, s_processes);
            const Py_ssize_t total = PyList_CheckExact(processes.get()) ? PyList_GET_SIZE(processes.get()) : -1;
            std::size_t position = 0;
            rt::for_each(processes, [&](PyObject* child) {
                const std::size_t remaining =
                    total > static_cast<Py_ssize_t>(position) ? static_cast<std::size_t>(total) - position : 1;
                forkline::Forking forking(batch, position, remaining);
                try {
                    call_method(child, s_start);
                } catch (const rt::Error&) {
                    forking.done(child);  // it may have forked before it failed
                    if (batch.forked(position))
                        forked.push_back(position);
                    throw;
                }
                forking.done(child);
                if (batch.forked(position))
                    forked.push_back(position);
                ++position;
            });
        });
    } catch (...) {
        rt::translate_current_exception();
        forkline::end_children(batch, forkline::kEndGrace, false, &forked);
        batch.phase = forkline::Phase::StartFailed;
        throw rt::Error{};
    }
    batch.phase = forkline::Phase::Started;
    return rt::none();
}

const rt::FunctionDef Pcall_start_def{"start", "Pcall.start",
                                      "start\n"
                                      "\n"
                                      "Starts all child worker processes.",
                                      self_only, Pcall_start};

// --- join(self) ---

// Moves every waiting message from the queue, then from the batch's channel,
// to `results`.
void drain(PyObject* self, PyObject* results, forkline::Batch* batch, PyObject* globals) {
    Ref queue = getattr(self, s_queue_attr);
    while (!rt::truthy(call_method(queue, s_empty)))
        check(PyList_Append(results, call_method(queue, s_get)));
    if (batch != nullptr)
        forkline::channel::receive(*batch, results, globals);
}

// Whether a child answers that it is alive. A process of the batch that the
// kernel no longer counts among our children (a SIGCHLD handler of the
// program reaped it) has ended, whatever its process object still believes:
// it no longer keeps join() waiting.
bool alive(PyObject* child, std::size_t position, forkline::Batch* batch) {
    if (!rt::truthy(call_method(child, s_is_alive)))
        return false;
    forkline::Slot* slot = batch != nullptr ? batch->forked(position) : nullptr;
    if (slot == nullptr || slot->child().get() != child)
        return true;
    return forkline::status_of(*slot) != forkline::Status::Gone || forkline::returncode(*slot).get() != Py_None;
}

// The liveness test of a polling cycle: the first child that is alive ends it.
bool any_alive(PyObject* self, forkline::Batch* batch) {
    Ref it = check(PyObject_GetIter(getattr(self, s_processes)));
    std::size_t position = 0;
    while (Ref child = Ref::steal(PyIter_Next(it))) {
        if (alive(child, position++, batch))
            return true;
    }
    if (PyErr_Occurred())
        throw rt::Error{};
    return false;
}

// The time-out report: the lines of the living children, terminate(), the log.
void report_time_out(FunctionObject& fn, PyObject* self) {
    static const char* const kChildLine =
        "    PID-{p.pid}: target={p._work.target}, args={p._work.args}, kwargs={p._work.kwargs}";
    static const char* const kReport = "The following processes are still running after {timeout} seconds:\n"
                                       "{extended_msg}\n";
    Ref extended_msg = check(PyList_New(0));
    Ref child_line = rt::new_string(kChildLine);
    rt::for_each(getattr(self, s_livings), [&](PyObject* p) {
        check(PyList_Append(extended_msg, rt::call_method_kw(child_line, s_format, kw_p, p)));
    });
    call_method(self, s_terminate);
    Ref log_error = getattr(fn.global(s_logger), s_error);
    Ref newline = rt::new_string("\n");
    Ref lines = check(PyUnicode_Join(newline, extended_msg));
    Ref report = rt::call_method_kw(rt::new_string(kReport), s_format, kw_report, getattr(self, s_timeout), lines);
    call(log_error, report);
}

// How a child that has ended did so: "exited with code 3", "was killed by SIGKILL".
Ref ending_of(FunctionObject& fn, PyObject* exitcode) {
    long code = PyLong_AsLong(exitcode);
    if (code == -1 && PyErr_Occurred())
        throw rt::Error{};
    if (code >= 0)
        return check(PyUnicode_FromFormat("exited with code %ld", code));
    Ref number = rt::new_int(-code);
    Ref name;
    try {
        name = getattr(call(getattr(fn.global(s_signal), s_Signals), number), s_name_attr_plain);
    } catch (const rt::Error&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception))
            throw;
        PyErr_Clear();
        name = check(PyUnicode_FromFormat("signal %ld", -code));
    }
    return check(PyUnicode_FromFormat("was killed by %S", name.get()));
}

// Marks the children whose message came through the queue: only a message
// whose index is a child's position, in a batch whose children carry their
// positions as indexes. Exact three-item tuples only, read without running
// any code.
void mark_delivered(forkline::Batch& batch, PyObject* messages) {
    if (!batch.own_indexes())
        return;
    for (Py_ssize_t i = 0, n = PyList_GET_SIZE(messages); i < n; ++i) {
        PyObject* message = PyList_GET_ITEM(messages, i);
        if (!PyTuple_CheckExact(message) || PyTuple_GET_SIZE(message) != 3)
            continue;
        PyObject* index = PyTuple_GET_ITEM(message, 0);
        if (!PyLong_CheckExact(index))
            continue;
        int overflow = 0;
        long long value = PyLong_AsLongLongAndOverflow(index, &overflow);
        if (overflow == 0 && value >= 0)
            if (forkline::Slot* slot = batch.forked(static_cast<std::size_t>(value)))
                slot->delivered = true;
    }
}

// Raises ChildProcessError for the first child of the batch, below `limit`
// when there is one, that start() forked and that has ended without its
// message being read. Only where the children's indexes are their positions,
// so that "first" means what the lowest-index rule means.
void raise_missing_child(forkline::Batch* batch, FunctionObject& fn, PyObject* limit) {
    if (batch == nullptr || !batch->own_indexes())
        return;
    if (limit && !PyLong_CheckExact(limit))
        return;  // a failure whose index is no int decides as it always did
    for (std::size_t i = 0; i < batch->slots.size(); ++i) {
        forkline::Slot* slot = batch->forked(i);
        if (slot == nullptr || slot->delivered)
            continue;
        Ref index = rt::new_int(static_cast<long long>(i));
        if (limit && check(PyObject_RichCompareBool(index, limit, Py_GE)))
            return;
        Ref code = forkline::returncode(*slot);
        Ref how;
        if (PyLong_Check(code.get()) && !PyBool_Check(code.get()))
            how = ending_of(fn, code);
        else if (forkline::status_of(*slot) == forkline::Status::Gone)
            how = rt::new_string("ended (its exit status was collected elsewhere in the program)");
        else
            continue;
        Ref owner = slot->child();
        Ref work = owner ? Ref::steal(PyObject_GetAttr(owner, s_work_attr)) : Ref();
        Ref target = work ? Ref::steal(PyObject_GetAttr(work, s_target_attr_pub)) : Ref();
        if (!target) {
            PyErr_Clear();
            target = rt::none();
        }
        Ref text = check(PyUnicode_FromFormat("child %S (pid %d) %S without sending its result; target=%S",
                                              index.get(), static_cast<int>(slot->pid), how.get(), target.get()));
        PyErr_SetObject(PyExc_ChildProcessError, text);
        throw rt::Error{};
    }
}

Ref Pcall_join(FunctionObject& fn, const Bound& a) {
    PyObject* self = a[0];
    forkline::Batch* batch = forkline::find(self);
    // What an earlier join() (or the exit handling) read and did not report
    // comes first: a message once read is never lost.
    Ref results = check(PyList_New(0));
    if (batch != nullptr)
        std::swap(results, batch->pending);
    Ref pause = check(PyFloat_FromDouble(kPollPause));
    bool timed_out = false;
    try {
        while (any_alive(self, batch)) {
            drain(self, results, batch, fn.globals);
            call_method(fn.global(s_time), s_sleep, pause);
            Ref timeout = getattr(self, s_timeout);
            if (rt::truthy(timeout)) {
                Ref now = call_method(fn.global(s_time), s_time);
                Ref deadline = check(PyNumber_Add(timeout, getattr(self, s_starttime)));
                if (check(PyObject_RichCompareBool(now, deadline, Py_GT))) {
                    timed_out = true;
                    break;
                }
            }
        }
        if (timed_out) {
            report_time_out(fn, self);
        } else {
            set(self, s_stoptime, call_method(fn.global(s_time), s_time));
            drain(self, results, batch, fn.globals);
            rt::for_each(getattr(self, s_processes), [](PyObject* child) { call_method(child, s_join); });
        }
    } catch (...) {
        // Left by somebody else's exception (an interrupt, a test runner's
        // time-out raised from a signal handler, a failing queue or process
        // object): nothing of the batch may run on unwatched. The exception
        // goes on unchanged.
        rt::translate_current_exception();
        if (batch != nullptr) {
            std::swap(results, batch->pending);
            forkline::end_children(*batch, forkline::kEndGrace);
            batch->phase = forkline::Phase::Interrupted;
        }
        throw rt::Error{};
    }
    if (timed_out) {
        // The children were asked to stop and are not reaped; what was read
        // stays with the batch for a later join().
        if (batch != nullptr) {
            std::swap(results, batch->pending);
            batch->phase = forkline::Phase::TimedOut;
        }
        rt::raise(PyExc_TimeoutError, "Not all child processes finished running.");
    }
    if (batch != nullptr) {
        batch->phase = forkline::Phase::Reported;
        mark_delivered(*batch, results);
    }

    // The lowest index that failed decides, whether its child reported a
    // failure or ended without reporting at all.
    Ref ordered = check(PySequence_List(results));
    check(PyList_Sort(ordered));
    Ref failed_index, failed_result;
    bool step_terminated = false;
    const Py_ssize_t count = PyList_GET_SIZE(ordered.get());  // a local list nobody else can reach
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref message = Ref::borrow(PyList_GET_ITEM(ordered.get(), i));
        Ref part[3];
        rt::unpack(message, part, 3);
        Ref terminated = rt::new_int(kStepTerminated);
        step_terminated = check(PyObject_RichCompareBool(part[1], terminated, Py_EQ)) != 0;
        if (step_terminated || !rt::truthy(part[1])) {
            failed_index = part[0];
            failed_result = part[2];
            break;
        }
    }
    raise_missing_child(batch, fn, failed_index);
    if (failed_index) {
        if (step_terminated) {
            Ref signal = rt::import_from(fn.globals, "tavrix.vetrun.signals", "VetrunStepFailedSignal");
            rt::raise_object(call(signal, failed_result));
        }
        rt::raise_object(failed_result);
    }

    Ref sorted_again = check(PySequence_List(results));
    check(PyList_Sort(sorted_again));
    // Collected in a list: unpacking a message can run its code, which must
    // never see a tuple with empty slots (gc.get_objects() would show it).
    const Py_ssize_t n = PyList_GET_SIZE(sorted_again.get());
    Ref values = check(PyList_New(0));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref message = Ref::borrow(PyList_GET_ITEM(sorted_again.get(), i));
        Ref part[3];
        rt::unpack(message, part, 3);
        check(PyList_Append(values, part[2]));
    }
    set(self, s_results, check(PyList_AsTuple(values)));
    return rt::none();
}

const rt::FunctionDef Pcall_join_def{
    "join", "Pcall.join",
    "join\n"
    "\n"
    "Blocks the calling process until the time-out is reached or every child\n"
    "has finished its job, then collects and sets the results (`results`, a\n"
    "tuple in child order). An exception raised by a child during its job is\n"
    "raised again here, and a child that ended without sending its result\n"
    "raises ChildProcessError; the lowest child index decides. Left by any\n"
    "other exception (an interrupt, say), it first ends and reaps every child.",
    self_only, Pcall_join};

// --- terminate(self) ---

Ref Pcall_terminate(FunctionObject&, const Bound& a) {
    rt::for_each(getattr(a[0], s_processes), [](PyObject* child) { call_method(child, s_terminate); });
    return rt::none();
}

const rt::FunctionDef Pcall_terminate_def{"terminate", "Pcall.terminate",
                                          "terminate\n"
                                          "\n"
                                          "Terminates all child processes.\n"
                                          "\n"
                                          "Note: this may take a split second to take effect.",
                                          self_only, Pcall_terminate};

// --- kill(self) ---

// Whether `pid` is a process of the batch whose exit has been collected:
// gone for good, its pid free for any other process by now.
bool reaped(forkline::Batch* batch, PyObject* pid) {
    if (batch == nullptr || !PyLong_CheckExact(pid))
        return false;
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(pid, &overflow);
    if (overflow != 0)
        return false;
    for (const forkline::Slot& slot : batch->slots) {
        if (slot.pid == 0 || slot.pid != value)
            continue;
        return forkline::returncode(slot).get() != Py_None || forkline::status_of(slot) == forkline::Status::Gone;
    }
    return false;
}

Ref Pcall_kill(FunctionObject& fn, const Bound& a) {
    PyObject* self = a[0];
    forkline::Batch* batch = forkline::find(self);
    rt::for_each(getattr(self, s_processes), [&](PyObject* child) {
        // os.kill(child.pid, signal.SIGKILL), read in that order; never for a
        // process of the batch that has been reaped (its pid may belong to an
        // unrelated process by now).
        Ref kill = getattr(fn.global(s_os), s_kill);
        Ref pid = getattr(child, s_pid);
        Ref sigkill = getattr(fn.global(s_signal), s_SIGKILL);
        if (reaped(batch, pid))
            return;
        call(kill, pid, sigkill);
    });
    return rt::none();
}

const rt::FunctionDef Pcall_kill_def{
    "kill", "Pcall.kill",
    "kill\n"
    "\n"
    "Kills all child processes with SIGKILL, in child order.\n"
    "\n"
    "A child of this batch whose exit has already been collected (by join()\n"
    "or a liveness test) is skipped: its pid may belong to an unrelated\n"
    "process by now. A child that was never started still fails, with the\n"
    "error os.kill raises for a pid of None.",
    self_only, Pcall_kill};

// --- livings (property) ---

Ref Pcall_livings(FunctionObject&, const Bound& a) {
    Ref alive = check(PyList_New(0));
    rt::for_each(getattr(a[0], s_processes), [&](PyObject* child) {
        if (rt::truthy(call_method(child, s_is_alive)))
            check(PyList_Append(alive, child));
    });
    return check(PyList_AsTuple(alive));
}

const rt::FunctionDef Pcall_livings_def{"livings", "Pcall.livings",
                                        "property: livings\n"
                                        "\n"
                                        "Returns all processes that are currently alive.",
                                        self_only, Pcall_livings};

// --- _build_arguments(self) ---

Py_ssize_t length(PyObject* obj) {
    Py_ssize_t n = PyObject_Size(obj);
    if (n < 0)
        throw rt::Error{};
    return n;
}

// A per-child source is non-empty, as `if source:` decides; a plain list
// (what the constructor makes) is read directly.
bool non_empty(PyObject* source) {
    if (PyList_CheckExact(source))
        return PyList_GET_SIZE(source) != 0;
    return rt::truthy(source);
}

// check() for the builder's loop, inlined: the throw stays out of line.
[[noreturn, gnu::noinline]] void unwind() { throw rt::Error{}; }
inline Ref owned(PyObject* p) {
    if (p == nullptr) [[unlikely]]
        unwind();
    return Ref::steal(p);
}
inline void succeed(int rc) {
    if (rc < 0) [[unlikely]]
        unwind();
}

// The length of an exact list or tuple, else 0: a count that one of these
// bounds can size the result list in advance.
Py_ssize_t held_length(PyObject* source) noexcept {
    if (PyList_CheckExact(source))
        return PyList_GET_SIZE(source);
    if (PyTuple_CheckExact(source))
        return PyTuple_GET_SIZE(source);
    return 0;
}

// Item `i` of a per-child source, as `source[i]` reads it; an exact list or
// tuple in range is read directly, anything else (and an index out of range,
// with its IndexError) through the subscription. `index` holds the int
// made for `i`, for the other sources of the same child.
Ref subscript(PyObject* source, Py_ssize_t i, Ref& index) {
    if (PyTuple_CheckExact(source) && i < PyTuple_GET_SIZE(source))
        return Ref::borrow(PyTuple_GET_ITEM(source, i));
    if (!index)
        index = rt::new_int(i);
    return check(PyObject_GetItem(source, index));
}

inline Ref item_at(PyObject* source, Py_ssize_t i, Ref& index) {
    if (PyList_CheckExact(source) && i < PyList_GET_SIZE(source)) [[likely]]
        return Ref::borrow(PyList_GET_ITEM(source, i));
    return subscript(source, i, index);
}

// kwargs.update(item) for two exact dicts. From 3.11 a few entries are
// cheaper to insert one by one than through the general merge, which sizes
// and lays out the target for a large merge first; it is the same insertion
// of each entry of `item` in its order, each key and value held while it is
// inserted, and the same error when `item` changes size meanwhile. Keys
// other than exact strings go through the merge, which reuses their stored
// hash.
void update_dict(PyObject* kwargs, PyObject* item) {
#if PY_VERSION_HEX >= 0x030B0000
    const Py_ssize_t size = PyDict_GET_SIZE(item);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    for (;;) {
        if (!PyDict_Next(item, &pos, &key, &value))
            return;
        if (!PyUnicode_CheckExact(key))
            break;  // the merge below sets the entries already set again, to the same values
        Ref k = Ref::borrow(key), v = Ref::borrow(value);
        succeed(PyDict_SetItem(kwargs, k, v));
        if (PyDict_GET_SIZE(item) != size)
            rt::raise(PyExc_RuntimeError, "dict mutated during update");
    }
#endif
    succeed(PyDict_Update(kwargs, item));
}

// common + tuple(item): an exact tuple is used as it is.
inline Ref with_item(PyObject* common, Ref item) {
    if (!PyTuple_CheckExact(item.get()))
        item = owned(PySequence_Tuple(item));
    return owned(PySequence_Concat(common, item));
}

// A new, empty argument set: a dict that will get the keys "target", "args"
// and "kwargs", in this order. On 3.10 it is a copy of one kept with those
// keys, made as an instance dict so that its keys are shared: the copy takes
// only an array of values, which the three insertions then replace.
Ref new_argument_set() {
#if PY_VERSION_HEX < 0x030B0000
    static PyObject* shape = nullptr;
    if (shape == nullptr) {
        Ref cls = owned(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O){ssss}", "ArgumentSet",
                                              &PyBaseObject_Type, "__module__", "tavrix.async_.forkline",
                                              "__qualname__", "ArgumentSet"));
        Ref instance = rt::call(cls);
        rt::setattr(instance, s_target_attr_pub, Py_None);
        rt::setattr(instance, s_args_key, Py_None);
        rt::setattr(instance, s_kwargs_key, Py_None);
        shape = owned(PyObject_GenericGetDict(instance, nullptr)).release();  // kept for the process
    }
    return owned(PyDict_Copy(shape));
#else
    return owned(PyDict_New());
#endif
}

// The standard library's itertools.repeat: a type of that name defined in
// C, by the module itertools (3.12 makes it a heap type of that module),
// never a class written in Python. The first one found is remembered.
bool is_itertools_repeat(PyObject* candidate) {
    static PyObject* known = nullptr;
    if (candidate == known)
        return true;
    if (known != nullptr || !PyType_Check(candidate))
        return false;
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(candidate);
    if (std::strcmp(type->tp_name, "itertools.repeat") != 0)
        return false;
    if (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) {
        PyObject* module = PyType_GetModule(type);  // borrowed
        const char* name = module ? PyModule_GetName(module) : nullptr;
        if (name == nullptr) {
            PyErr_Clear();  // not made by a module
            return false;
        }
        if (std::strcmp(name, "itertools") != 0)
            return false;
    }
    known = Py_NewRef(candidate);  // kept, as the interned names are
    return true;
}

[[gnu::flatten]] Ref Pcall_build_arguments(FunctionObject& fn, const Bound& a) {
    PyObject* self = a[0];
    Ref targets = getattr(self, s_targets);
    Ref iargs = getattr(self, s_iargs);
    Ref ikwargs = getattr(self, s_ikwargs);
    Ref varkwargs = getattr(self, s_varkwargs);

    // Counting. `held`: the longest exact list or tuple among the sources
    // that limit the count.
    bool single_target = PyCallable_Check(targets);
    Py_ssize_t count = -1, held = 0;
    auto consider = [&](PyObject* source) {
        Py_ssize_t n = length(source);
        if (n != 0 && (count < 0 || n < count))
            count = n;
        if (n != 0)
            held = std::max(held, held_length(source));
    };
    if (!single_target)
        consider(targets);
    consider(iargs);
    consider(ikwargs);
    // for values in varkwargs.values(): len(values)
    if (PyDict_CheckExact(varkwargs.get()))
        rt::for_each_pair(varkwargs, [&](PyObject*, PyObject* values) { consider(values); });
    else
        rt::for_each(call_method(varkwargs, s_values), consider);
    if (count < 0) {
        if (!single_target)
            rt::raise(PyExc_ValueError, "min() arg is an empty sequence");
        count = 1;
        held = 1;
    }

    // Where each child's target comes from. itertools.repeat's iterator gives
    // the target itself every time, and nothing else happens: then the
    // target is taken as it is, without the iterator.
    Ref target_source;
    const bool repeated = PyCallable_Check(targets);
    bool same_target = false;
    if (repeated) {
        Ref repeat = getattr(fn.global(s_itertools), s_repeat);
        same_target = is_itertools_repeat(repeat);
        if (!same_target)
            target_source = call(repeat, targets);
    } else {
        target_source = check(PyObject_GetIter(targets));
    }

    Ref cargs = getattr(self, s_cargs);
    Ref ckwargs = getattr(self, s_ckwargs);
    // The common arguments are made a tuple once for the whole batch, so a
    // one-shot iterable reaches every child, not only the first.
    Ref common = PyTuple_CheckExact(cargs.get()) ? cargs : check(PySequence_Tuple(cargs));
    // dict.copy of an exact dict is PyDict_Copy; any other mapping is asked.
    const bool plain_ckwargs = PyDict_CheckExact(ckwargs.get());

    // The result list is sized in advance when a list or tuple that the
    // caller holds bounds the count (so its size is memory that exists
    // already). Its empty slots must not be seen: it stays out of the
    // collector's lists, where code run meanwhile could find it, until full.
    const bool presized = count <= held;
    Ref arguments = check(PyList_New(presized ? count : 0));
    if (presized)
        PyObject_GC_UnTrack(arguments);

    // Every test and walk below happens per child, as written: user code run
    // for one child (an item's iteration, a mapping's update) may change what
    // the next child sees.
    const bool plain_varkwargs = PyDict_CheckExact(varkwargs.get());
    Ref index;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (index)
            index = Ref();
        Ref args = non_empty(iargs) ? with_item(common, item_at(iargs, i, index)) : common;
        Ref kwargs = plain_ckwargs ? owned(PyDict_Copy(ckwargs)) : call_method(ckwargs, s_copy);
        const bool plain_kwargs = PyDict_CheckExact(kwargs.get());
        if (non_empty(ikwargs)) {
            Ref item = item_at(ikwargs, i, index);
            if (plain_kwargs && PyDict_CheckExact(item.get()))
                update_dict(kwargs, item);
            else
                call_method(kwargs, s_update, item);
        }
        auto set_keyword = [&](PyObject* key, PyObject* values) {
            Ref value = item_at(values, i, index);
            succeed(plain_kwargs ? PyDict_SetItem(kwargs, key, value) : PyObject_SetItem(kwargs, key, value));
        };
        if (plain_varkwargs) {
            // for_each_pair's walk of an exact dict, in place.
            const Py_ssize_t size = PyDict_GET_SIZE(varkwargs.get());
            Py_ssize_t pos = 0, left = size;
            PyObject *key, *values;
            for (;;) {
                if (PyDict_GET_SIZE(varkwargs.get()) != size)
                    rt::raise(PyExc_RuntimeError, "dictionary changed size during iteration");
                if (!PyDict_Next(varkwargs, &pos, &key, &values))
                    break;
                if (left-- == 0)
                    rt::raise(PyExc_RuntimeError, "dictionary keys changed during iteration");
                // The key is held while it is inserted (a comparison can run
                // code); the value list only while it is indexed by code.
                Ref k = Ref::borrow(key);
                if (PyList_CheckExact(values)) {
                    set_keyword(k, values);
                } else {
                    Ref v = Ref::borrow(values);
                    set_keyword(k, v);
                }
            }
        } else {
            rt::for_each_pair(varkwargs, set_keyword);
        }
        Ref drawn = same_target ? Ref() : rt::next(target_source);

        Ref argument_set = new_argument_set();
        succeed(PyDict_SetItem(argument_set, s_target_attr_pub, same_target ? targets.get() : drawn.get()));
        succeed(PyDict_SetItem(argument_set, s_args_key, args));
        succeed(PyDict_SetItem(argument_set, s_kwargs_key, kwargs));
        if (presized)
            PyList_SET_ITEM(arguments.get(), i, argument_set.release());
        else
            succeed(PyList_Append(arguments, argument_set));
    }
    if (presized)
        PyObject_GC_Track(arguments);
    return arguments;
}

const rt::FunctionDef Pcall_build_arguments_def{
    "_build_arguments", "Pcall._build_arguments",
    "internal: building arguments\n"
    "\n"
    "Does the detailed work of building each child's arguments from the\n"
    "user's inputs, combining common and instance arguments and keyword\n"
    "arguments.\n"
    "\n"
    ":return: a list of dicts with the keys 'target', 'args' and 'kwargs'",
    self_only, Pcall_build_arguments};

// ===========================================================================
// Module initialisation
// ===========================================================================

void forkline_init(PyObject* module) {
    rt::init_constants("tavrix.async_.forkline.function");
    forkline::install_fork_hooks();
    PyObject* g = PyModule_GetDict(module);

    rt::bind_global(g, s_os, rt::import_module(g, "os"));
    rt::bind_global(g, s_time, rt::import_module(g, "time"));
    rt::bind_global(g, s_signal, rt::import_module(g, "signal"));
    rt::bind_global(g, s_logging, rt::import_module(g, "logging"));
    rt::bind_global(g, s_inspect, rt::import_module(g, "inspect"));
    rt::bind_global(g, s_itertools, rt::import_module(g, "itertools"));
    rt::bind_global(g, s_functools, rt::import_module(g, "functools"));
    rt::bind_global(g, s_namedtuple, rt::import_from(g, "collections", "namedtuple"));
    rt::bind_global(g, s_ExceptionWithTraceback, rt::import_from(g, "exceptions", "ExceptionWithTraceback", 1));
    rt::bind_global(g, s_managed_handlers, rt::import_from(g, "tavrix.log", "managed_handlers"));
    rt::bind_global(g, s_multiprocessing, rt::fork_context(g));
    rt::bind_global(g, s_pcall_infra, Py_True);
    Ref module_name = rt::load_global(g, s_name);
    rt::bind_global(g, s_logger, call_method(rt::load_global(g, s_logging), s_getLogger, module_name));

    Ref field_list = check(Py_BuildValue("[sss]", "target", "args", "kwargs"));
    rt::bind_global(g, s_ChildWork,
         rt::call_kw(rt::load_global(g, s_namedtuple), kw_module, rt::new_string("ChildWork"), field_list, module_name));

    Ref process = getattr(rt::load_global(g, s_multiprocessing), s_Process);
    Ref child_labor = rt::ClassBuilder(g, "ChildLabor", kChildLaborDoc)
                          .add_function(ChildLabor_init_def)
                          .add_function(ChildLabor_get_steps_def)
                          .add_function(ChildLabor_run_def)
                          .build(rt::new_tuple({process.get()}));
    rt::bind_global(g, s_ChildLabor, child_labor);

    PyObject* classmethod = reinterpret_cast<PyObject*>(&PyClassMethod_Type);
    PyObject* property = reinterpret_cast<PyObject*>(&PyProperty_Type);
    Ref shared_ckwargs = check(PyDict_New());  // one default dict, never changed
    Ref empty = rt::new_tuple({});
    Ref init_defaults = rt::new_tuple({Py_None, empty.get(), empty.get(), shared_ckwargs.get(), empty.get()});
    Ref object_base = rt::new_tuple({reinterpret_cast<PyObject*>(&PyBaseObject_Type)});
    Ref pcall = rt::ClassBuilder(g, "Pcall", kPcallDoc)
                    .add_function(Pcall_pcall_def, nullptr, nullptr, classmethod)
                    .add_function(Pcall_init_def, init_defaults)
                    .add_function(Pcall_pids_def, nullptr, nullptr, property)
                    .add_function(Pcall_start_def)
                    .add_function(Pcall_join_def)
                    .add_function(Pcall_terminate_def)
                    .add_function(Pcall_kill_def)
                    .add_function(Pcall_livings_def, nullptr, nullptr, property)
                    .add_function(Pcall_build_arguments_def)
                    .build(object_base, reinterpret_cast<PyObject*>(&PyType_Type));
    rt::bind_global(g, s_Pcall, pcall);
}

PyModuleDef_Slot forkline_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(rt::module_exec<forkline_init>)},
    RT_MODULE_INTERPRETER_SLOTS
    {0, nullptr},
};

PyModuleDef forkline_module = {
    PyModuleDef_HEAD_INIT, "forkline", nullptr, 0, nullptr, forkline_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_forkline() { return PyModuleDef_Init(&forkline_module); }
