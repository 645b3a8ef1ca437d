// Batch records, the fork hooks, ending children, and what happens at exit.
// See batch.h for what a record knows and how it acts on processes.
#include "batch.h"

#include "channel.h"
#include "function.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <utility>

using rt::check;
using rt::FunctionObject;
using rt::Name;
using rt::Ref;

namespace forkline {

namespace {

Name s_popen{"_popen"}, s_pid{"pid"}, s_daemon{"daemon"}, s_index{"_index"}, s_returncode{"returncode"},
    s_ForkingPickler{"ForkingPickler"}, s_dumps{"dumps"}, s_loads{"loads"}, s_register{"register"}, s_queue{"_queue"};

// Records are never freed at exit: they hold Python references, which must
// not be released after the interpreter has gone.
std::vector<Batch*>& table() {
    static auto* records = new std::vector<Batch*>();
    return *records;
}

// A weak reference to `obj`, or `obj` itself when it takes none.
Ref weakly(PyObject* obj) {
    if (PyObject* ref = PyWeakref_NewRef(obj, nullptr))
        return Ref::steal(ref);
    PyErr_Clear();
    return Ref::borrow(obj);
}

Ref strongly(const Ref& ref) {
    if (!ref || !PyWeakref_CheckRef(ref.get()))
        return ref;
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* obj = nullptr;
    if (PyWeakref_GetRef(ref, &obj) < 0)
        PyErr_Clear();
    return Ref::steal(obj);
#else
    PyObject* obj = PyWeakref_GetObject(ref);  // borrowed; the GIL keeps it
    return obj == nullptr || obj == Py_None ? Ref() : Ref::borrow(obj);
#endif
}

// ---------------------------------------------------------------------------
// The fork hooks
// ---------------------------------------------------------------------------
//
// start() tags the thread that calls child.start() with the batch and the
// position; the hooks, which run inside fork() itself, see the tag of the
// forking thread only (it is thread-local), so a fork made meanwhile by
// another thread, or by the child later, is never taken for a batch's.
//
// In the child, right after the fork and before any Python code runs:
// - it learns which batch and position it is (child_of());
// - it closes the channel ends of every other batch, and the parent's end of
//   its own: no child ever reads a channel;
// - it asks the kernel for a signal when its parent dies, and checks at once
//   that the parent did not die before that (the race of the fork). Linux
//   sends that signal when the *thread* that forked exits, not only the
//   process: a child forked by the main thread (which lives as long as the
//   process does) gets SIGKILL; one forked by another thread, which may end
//   before join(), gets a signal of its own whose handler kills the child
//   only when its parent process really has gone (its parent pid changed:
//   a mere thread exit hands the child to another thread of the same
//   process, whose pid is the same).

struct ForkTag {
    Batch* batch = nullptr;
    std::size_t slot = 0;
    pid_t parent = 0;
    bool main_thread = false;
    bool active = false;
    int forks = 0;
};

thread_local ForkTag t_forking;
ChildOf g_child;
volatile pid_t g_parent = 0;
int g_lifeline = 0;

void on_lifeline(int) {
    if (getppid() != g_parent)
        kill(getpid(), SIGKILL);
}

void after_fork_in_parent() {
    if (t_forking.active)
        ++t_forking.forks;
}

void after_fork_in_child() {
    ForkTag& tag = t_forking;
    if (!tag.active)
        return;
    tag.active = false;
    g_child = ChildOf{tag.batch, tag.slot, getpid()};
    g_parent = tag.parent;
    for (Batch* batch : table()) {
        if (batch->reader >= 0)
            ::close(batch->reader);
        batch->reader = -1;
        if (batch != tag.batch && batch->writer >= 0) {
            ::close(batch->writer);
            batch->writer = -1;
        }
        for (int fd : batch->fds)
            ::close(fd);
        batch->fds.clear();
    }
    if (tag.main_thread) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
    } else {
        struct sigaction action {};
        action.sa_handler = on_lifeline;
        action.sa_flags = SA_RESTART;
        sigemptyset(&action.sa_mask);
        sigaction(g_lifeline, &action, nullptr);
        prctl(PR_SET_PDEATHSIG, g_lifeline);
    }
    if (getppid() != tag.parent)
        kill(getpid(), SIGKILL);
}

// ---------------------------------------------------------------------------
// Processes at the operating-system level
// ---------------------------------------------------------------------------

void pause_for(double seconds) {
    Py_BEGIN_ALLOW_THREADS
    timespec pause{static_cast<time_t>(seconds), static_cast<long>((seconds - static_cast<double>(static_cast<time_t>(seconds))) * 1e9)};
    nanosleep(&pause, nullptr);
    Py_END_ALLOW_THREADS
}

double now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Reaps an exited child of ours and gives its process-class handle the
// status, as the handle's own poll() would have set it.
void reap(Slot& slot) {
    int status = 0;
    if (waitpid(slot.pid, &status, WNOHANG) != slot.pid)
        return;
    long code = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? -WTERMSIG(status) : status;
    Ref value = Ref::steal(PyLong_FromLong(code));
    Ref popen = slot.popen();
    if (!value || !popen || PyObject_SetAttr(popen, s_returncode, value) < 0)
        PyErr_Clear();
}

bool settled(const Slot& slot) {
    if (slot.pid == 0)
        return true;
    if (!slot.popen())
        return true;  // the handle lives as long as its process is unreaped
    Ref code = returncode(slot);
    return code.get() != Py_None || status_of(slot) == Status::Gone;
}

// Frees a record in the process that made it.
void destroy(Batch* batch) {
    auto& records = table();
    for (auto it = records.begin(); it != records.end(); ++it) {
        if (*it == batch) {
            records.erase(it);
            break;
        }
    }
    channel::close(*batch);
    for (int fd : batch->fds)
        ::close(fd);
    delete batch;
}

// Records whose Pcall has gone and whose children have all been reaped.
bool g_exiting = false;  // the exit handling holds records across Python calls

void prune() {
    if (g_exiting)
        return;
    std::vector<Batch*> done;
    for (Batch* batch : table()) {
        if (batch->key != nullptr || batch->owner != getpid() || batch->receiving)
            continue;
        bool all = true;
        for (const Slot& slot : batch->slots)
            all = all && settled(slot);
        if (all)
            done.push_back(batch);
    }
    for (Batch* batch : done)
        destroy(batch);
}

// The weak reference to a Pcall calls this when the Pcall is freed. A record
// whose children still run stays, for the exit handling.
Ref pcall_freed(FunctionObject&, const rt::Bound& a) {
    for (Batch* batch : table()) {
        if (batch->key_ref.get() == a[0]) {
            // Nobody can join it any more: its channel goes (a child still
            // sending gives up), and what it held unread with it. The record
            // stays while its children run, for the exit handling.
            batch->key = nullptr;
            if (batch->owner == getpid() && !batch->receiving) {
                channel::close(*batch);
                for (int fd : batch->fds)
                    ::close(fd);
                batch->fds.clear();
                Ref unread = std::exchange(batch->pending, check(PyList_New(0)));
            }
            break;
        }
    }
    prune();
    return rt::none();
}

const rt::Param pcall_freed_params[] = {{"reference"}};
const rt::FunctionDef pcall_freed_def{"_batch_freed", "_batch_freed", nullptr, pcall_freed_params, pcall_freed};

// At interpreter exit, before the multiprocessing module joins the children
// it knows (it waits for each without limit):
// - a batch whose join() timed out, was interrupted, or whose start() failed
//   has its children killed after a short grace;
// - daemonic children are ended (the process class would only ask them to);
// - a batch that was simply never joined is drained until its other
//   children have ended, so that none waits on a full channel; its messages
//   are kept with it, for a join() that an exit handler of the caller's may
//   still make. An interruption of that wait ends the children instead.
Ref exit_hook(FunctionObject& fn, const rt::Bound&) {
    g_exiting = true;
    std::vector<Batch*> mine;
    for (Batch* batch : table())
        if (batch->owner == getpid())
            mine.push_back(batch);
    for (Batch* batch : mine) {
        if (batch->phase == Phase::TimedOut || batch->phase == Phase::Interrupted ||
            batch->phase == Phase::StartFailed)
            end_children(*batch, kEndGrace);
        else if (batch->phase == Phase::Started)
            end_children(*batch, kEndGrace, true);
    }
    auto waiting = [&] {
        for (Batch* batch : mine) {
            if (batch->phase != Phase::Started)
                continue;
            for (const Slot& slot : batch->slots)
                if (slot.pid != 0 && !slot.daemon && status_of(slot) == Status::Running)
                    return true;
        }
        return false;
    };
    try {
        for (;;) {
            for (Batch* batch : mine)
                if (batch->phase == Phase::Started)
                    channel::receive(*batch, batch->pending, fn.globals);
            if (!waiting())
                break;
            pause_for(0.05);
            check(PyErr_CheckSignals());
        }
    } catch (const rt::Error&) {
        // Interrupted (a second Ctrl-C, say): nobody waits for them any more.
        for (Batch* batch : mine)
            end_children(*batch, kEndGrace);
        if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) {
            PyErr_Clear();
            return rt::none();
        }
        throw;
    }
    return rt::none();
}

const rt::FunctionDef exit_hook_def{"_end_batches_at_exit", "_end_batches_at_exit", nullptr, {}, exit_hook};

// Raises the soft limit on open descriptors when the children still to start
// would exhaust it: each costs the parent two (the process class's pipes).
void make_room_for(int probe, std::size_t remaining) {
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return;
    // The lowest free descriptor tells how many are in use (all of them
    // when there is none).
    rlim_t lowest = limit.rlim_cur;
    if (int free_fd = fcntl(probe, F_DUPFD_CLOEXEC, 0); free_fd >= 0) {
        lowest = static_cast<rlim_t>(free_fd);
        ::close(free_fd);
    } else if (errno != EMFILE) {
        return;
    }
    const rlim_t needed = lowest + 2 * static_cast<rlim_t>(remaining) + 16;
    if (needed <= limit.rlim_cur)
        return;
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY || needed < limit.rlim_max ? needed : limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
}

[[noreturn]] void refuse_ignored_sigchld() {
    rt::raise(PyExc_ChildProcessError,
              "cannot start the children: SIGCHLD is ignored in this process, so the system would reap them "
              "before their exit could be collected; restore its default action first "
              "(signal.signal(signal.SIGCHLD, signal.SIG_DFL))");
}

}  // namespace

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------

bool Batch::own_indexes() const {
    for (std::size_t i = 0; i < slots.size(); ++i) {
        const Slot& slot = slots[i];
        if (slot.pid == 0)
            continue;
        if (!slot.index || !PyLong_CheckExact(slot.index.get()))
            return false;
        int overflow = 0;
        long long value = PyLong_AsLongLongAndOverflow(slot.index, &overflow);
        if (overflow != 0 || value < 0 || static_cast<std::size_t>(value) != i)
            return false;
    }
    return true;
}

Ref Batch::queue() const { return strongly(queue_ref); }

Slot* Batch::forked(std::size_t i) { return i < slots.size() && slots[i].pid != 0 ? &slots[i] : nullptr; }

Batch* find(PyObject* pcall) {
    for (Batch* batch : table())
        if (batch->key == pcall && batch->owner == getpid())
            return batch;
    return nullptr;
}

Batch& prepare(PyObject* globals, PyObject* pcall) {
    struct sigaction current {};
    if (sigaction(SIGCHLD, nullptr, &current) == 0 &&
        (current.sa_handler == SIG_IGN || (current.sa_flags & SA_NOCLDWAIT) != 0))
        refuse_ignored_sigchld();
    if (Batch* batch = find(pcall))
        return *batch;
    prune();

    static bool hooked = false;
    if (!hooked) {
        // Registered after the multiprocessing module's own exit function
        // (imported with the queue), so that it runs before that one.
        Ref atexit = Ref::steal(PyImport_GetModule(rt::new_string("atexit")));  // multiprocessing loaded it
        if (!atexit)
            atexit = check(PyErr_Occurred() ? nullptr : PyImport_ImportModule("atexit"));
        rt::call_method(atexit, s_register, rt::make_function(exit_hook_def, globals));
        hooked = true;
    }

    auto record = std::make_unique<Batch>();
    record->owner = getpid();
    record->pending = check(PyList_New(0));
    // The pickling the queue itself would use, taken now, in the parent, so
    // that nothing a caller replaces later can change what the children do.
    if (Ref reduction = Ref::steal(PyImport_GetModule(rt::new_string("multiprocessing.reduction")))) {
        Ref pickler = rt::getattr(reduction, s_ForkingPickler);
        record->dumps = rt::getattr(pickler, s_dumps);
        record->loads = rt::getattr(pickler, s_loads);
    } else if (PyErr_Occurred()) {
        throw rt::Error{};
    }
    if (Ref queue = rt::getattr_optional(pcall, s_queue))
        record->queue_ref = weakly(queue);
    Ref callback = rt::make_function(pcall_freed_def, globals);
    record->key_ref = check(PyWeakref_NewRef(pcall, callback));
    record->key = pcall;
    if (record->dumps)
        channel::open(*record);
    table().push_back(record.get());
    return *record.release();
}

// ---------------------------------------------------------------------------
// Forking
// ---------------------------------------------------------------------------

Forking::Forking(Batch& batch, std::size_t position, std::size_t remaining) : batch_(batch), position_(position) {
    if (batch.reader >= 0)
        make_room_for(batch.reader, remaining);
    t_forking = ForkTag{&batch, position, getpid(), static_cast<pid_t>(syscall(SYS_gettid)) == getpid(), true, 0};
}

Forking::~Forking() { t_forking = ForkTag{}; }

void Forking::done(PyObject* child) {
    const bool forked = t_forking.forks > 0;
    t_forking.active = false;
    if (!forked)
        return;
    // A process object whose start() forked: read what it knows of the
    // process. Only its pid is needed to end it; the rest is for messages.
    Ref popen = rt::getattr_optional(child, s_popen);
    Ref pid = popen ? rt::getattr_optional(popen, s_pid) : Ref();
    if (!pid || !PyLong_CheckExact(pid.get()))
        return;
    long value = PyLong_AsLong(pid);
    if (value <= 0) {
        PyErr_Clear();
        return;
    }
    Slot slot;
    slot.pid = static_cast<pid_t>(value);
    if (status_of(slot) == Status::Gone)
        return;  // not a child of this process
    slot.child_ref = weakly(child);
    slot.popen_ref = weakly(popen);
    if (batch_.slots.size() <= position_)
        batch_.slots.resize(position_ + 1);
    batch_.slots[position_] = slot;
    Slot& kept = batch_.slots[position_];
    try {
        kept.index = rt::getattr_optional(child, s_index);
        if (Ref daemon = rt::getattr_optional(child, s_daemon))
            kept.daemon = rt::truthy(daemon);
    } catch (const rt::Error&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception))
            throw;
        PyErr_Clear();
    }
}

// ---------------------------------------------------------------------------
// Ending children
// ---------------------------------------------------------------------------

Status status_of(const Slot& slot) {
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(slot.pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
        return errno == EINTR ? Status::Running : Status::Gone;
    return info.si_pid == 0 ? Status::Running : Status::Exited;
}

Ref Slot::child() const { return strongly(child_ref); }
Ref Slot::popen() const { return strongly(popen_ref); }

Ref returncode(const Slot& slot) {
    Ref popen = slot.popen();
    if (!popen)
        return rt::none();
    Ref code = Ref::steal(PyObject_GetAttr(popen, s_returncode));
    if (!code) {
        PyErr_Clear();
        return rt::none();
    }
    return code;
}

void end_children(Batch& batch, double grace, bool daemonic_only, const std::vector<std::size_t>* only) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    std::vector<Slot*> ours;
    auto consider = [&](Slot& slot) {
        if (slot.pid != 0 && (!daemonic_only || slot.daemon) && status_of(slot) != Status::Gone)
            ours.push_back(&slot);
    };
    if (only != nullptr) {
        for (std::size_t i : *only)
            if (i < batch.slots.size())
                consider(batch.slots[i]);
    } else {
        for (Slot& slot : batch.slots)
            consider(slot);
    }
    auto running = [&] {
        std::vector<Slot*> left;
        for (Slot* slot : ours)
            if (status_of(*slot) == Status::Running)
                left.push_back(slot);
        return left;
    };
    // Each is signalled only while the kernel says it is a living child of
    // ours, so its pid cannot have gone to another process.
    for (Slot* slot : running()) {
        kill(slot->pid, SIGTERM);
        kill(slot->pid, SIGCONT);  // a stopped child handles the request too
    }
    for (double deadline = now() + grace; !running().empty() && now() < deadline;)
        pause_for(0.01);
    for (Slot* slot : running())
        kill(slot->pid, SIGKILL);
    for (double deadline = now() + 10.0; !running().empty() && now() < deadline;)
        pause_for(0.01);
    for (Slot* slot : ours)
        if (status_of(*slot) == Status::Exited)
            reap(*slot);
    PyErr_Restore(type, value, traceback);
}

const ChildOf& child_of() { return g_child; }

void install_fork_hooks() {
    static bool installed = false;
    if (installed)
        return;
    g_lifeline = SIGRTMAX - 3;
    if (pthread_atfork(nullptr, after_fork_in_parent, after_fork_in_child) != 0)
        rt::raise(PyExc_OSError, "pthread_atfork() failed");
    installed = true;
}

}  // namespace forkline
