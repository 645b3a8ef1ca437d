// tavrix.async_.forkline: run Python callables in parallel, one forked child
// per instance, with results back in child order.
//
// Every method reads the module-level names it uses (ChildLabor, time,
// logger, ...) from the module dict at call time, so a replaced attribute
// takes effect at the next call.
#include "function.h"
#include "runtime.h"

#include <frameobject.h>  // PyFrame_GetBack (3.10 declares it here)

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <unordered_map>
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

Name s_reader{"_reader"}, s_writer{"_writer"}, s_fileno{"fileno"}, s_poll{"poll"}, s_recv_bytes{"recv_bytes"},
    s_close{"close"}, s_register{"register"}, s_gettempdir{"gettempdir"}, s_reducer{"reducer"},
    s_ForkingPickler{"ForkingPickler"}, s_dumps{"dumps"}, s_exc{"exc"}, s_module_attr{"__module__"},
    s_qualname_attr{"__qualname__"}, s_Signals{"Signals"}, s_name_attr_plain{"name"};
Name s_getframeinfo{"getframeinfo"}, s_getmodule{"getmodule"}, s_modulesbyfile{"modulesbyfile"},
    s_getlines{"getlines"}, s_checkcache{"checkcache"}, s_cache{"cache"}, s_co_filename{"co_filename"},
    s_file{"__file__"}, s_findsource{"findsource"};

rt::KwNames kw_worker{&s_index, &s_queue, &s_target_attr_pub, &s_args_key, &s_kwargs_key};
rt::KwNames kw_module{&s_module};
rt::KwNames kw_p{&s_p};
rt::KwNames kw_report{&s_timeout, &s_extended_msg};

constexpr double kPollPause = 0.25;
constexpr long kStepTerminated = 2;

// self.<name> = value, for the attribute tables below.
inline void set(PyObject* obj, PyObject* name, PyObject* value) { setattr(obj, name, value); }

// ===========================================================================
// The result channel
// ===========================================================================
//
// Every child of a batch sends one message over the batch's SimpleQueue, and
// nothing that a child does may leave the parent waiting forever. So a child
// pickles its message itself, and the pipe only ever carries frames that one
// write(2) delivers whole (at most PIPE_BUF bytes, which the kernel writes
// atomically or not at all):
//
// - a message that pickles to at most kDirectFrame bytes goes into the pipe
//   as it is;
// - a larger one goes to a spill file of the batch (on /dev/shm when it can
//   be used, else in the temporary directory), and the pipe carries a small
//   reference that unpickles into the message itself: the parent's get()
//   opens the file, unlinks it and loads the message from it, so a result is
//   held once, never as a pickle and an object side by side for long.
//
// A child killed at any moment therefore leaves either a whole frame or none,
// and at worst an unreferenced spill file; the parent's get() never waits for
// the rest of a frame. The children write without the queue's write lock (a
// child killed while holding it would block every sibling for good) and
// through a non-blocking descriptor of their own, waiting for room in steps,
// so that a child whose parent has died, or whose queue has lost its reader,
// gives up instead of waiting forever.
//
// The parent records each started batch here, keyed by its queue: the spill
// directory's name, the queue's write end, and which children have delivered.
// The spill directories go when join() has reaped the batch, when the queue is
// freed, and at interpreter exit, where a batch never joined is first drained
// until its children have ended: none of them then waits on a full pipe while
// the interpreter waits for it.

constexpr std::size_t kDirectFrame = 1024;        // a larger message is spilled
constexpr std::size_t kAtomicFrame = PIPE_BUF;    // never write more at once
constexpr int kPipeSize = 256 << 10;              // room for a few hundred frames unread
constexpr int kSendStepMs = 250;                  // a blocked sender looks around this often

struct Batch {
    pid_t owner = 0;          // the process that started the batch
    int writer = -1;          // the queue's write end
    std::string name;         // the spill directory's name
    PyObject* queue_ref = nullptr;  // weak reference to the queue (owned)
    PyObject* batch_ref = nullptr;  // weak reference to the Pcall, or null (owned)
    PyObject* delivered = nullptr;  // set of the indexes join() has read (owned)
};

// Never destroyed: the entries hold Python references, which must not be
// released after the interpreter has gone.
std::unordered_map<PyObject*, Batch>& batches() {
    static auto* table = new std::unordered_map<PyObject*, Batch>();
    return *table;
}

// Where spill directories go, best first: shared memory, then the temporary
// directory of the tempfile module.
std::vector<std::string>& spill_bases() {
    static auto* bases = new std::vector<std::string>();
    return *bases;
}

void remove_directory(const std::string& dir) {
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* entry = readdir(d)) {
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                unlinkat(dirfd(d), entry->d_name, 0);
        }
        closedir(d);
        rmdir(dir.c_str());
    }
}

void remove_spill_directories(const std::string& name) {
    for (const std::string& base : spill_bases())
        remove_directory(base + "/" + name);
}

// Spill directories of ours whose owner has gone without cleaning up (killed
// outright, so that neither join() nor the exit handler ran) would hold their
// unread results in memory until reboot; the first batch of each process
// removes them.
void remove_orphaned_spill_directories() {
    static const char kPrefix[] = "tavrix-forkline-";
    for (const std::string& base : spill_bases()) {
        DIR* d = opendir(base.c_str());
        if (d == nullptr)
            continue;
        std::vector<std::string> orphans;
        while (dirent* entry = readdir(d)) {
            if (std::strncmp(entry->d_name, kPrefix, sizeof kPrefix - 1) != 0)
                continue;
            long owner = std::strtol(entry->d_name + sizeof kPrefix - 1, nullptr, 10);
            struct stat st;
            if (owner <= 0 || fstatat(dirfd(d), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
                !S_ISDIR(st.st_mode) || st.st_uid != geteuid())
                continue;
            if (kill(static_cast<pid_t>(owner), 0) != 0 && errno == ESRCH)
                orphans.push_back(base + "/" + entry->d_name);
        }
        closedir(d);
        for (const std::string& dir : orphans)
            remove_directory(dir);
    }
}

void find_spill_bases(PyObject* globals) {
    if (!spill_bases().empty())
        return;
    struct stat st;
    if (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && access("/dev/shm", W_OK | X_OK) == 0)
        spill_bases().push_back("/dev/shm");
    Ref tempdir = call_method(rt::import_module(globals, "tempfile"), s_gettempdir);
    const char* text = PyUnicode_AsUTF8(tempdir);
    if (text == nullptr)
        throw rt::Error{};
    if (spill_bases().empty() || spill_bases().front() != text)
        spill_bases().push_back(text);
    remove_orphaned_spill_directories();
}

void forget(std::unordered_map<PyObject*, Batch>::iterator entry) {
    Batch batch = entry->second;
    batches().erase(entry);
    if (batch.owner == getpid())
        remove_spill_directories(batch.name);
    Py_XDECREF(batch.queue_ref);
    Py_XDECREF(batch.batch_ref);
    Py_XDECREF(batch.delivered);
}

// The weak reference to a batch's queue calls this when the queue is freed.
Ref queue_freed(FunctionObject&, const Bound& a) {
    Ref reference = Ref::borrow(a[0]);  // the entry holds the last reference to it
    for (auto entry = batches().begin(); entry != batches().end(); ++entry) {
        if (entry->second.queue_ref == a[0]) {
            forget(entry);
            break;
        }
    }
    return rt::none();
}

const Param queue_freed_params[] = {{"reference"}};
const rt::FunctionDef queue_freed_def{"_queue_freed", "_queue_freed", nullptr, queue_freed_params, queue_freed};

void pause_briefly(long milliseconds) {
    Py_BEGIN_ALLOW_THREADS
    timespec pause{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    nanosleep(&pause, nullptr);
    Py_END_ALLOW_THREADS
}

// Reads and drops every whole frame waiting in the queue's pipe.
void discard_waiting(PyObject* queue) {
    Ref reader = getattr(queue, s_reader);
    while (rt::truthy(call_method(reader, s_poll)))
        call_method(reader, s_recv_bytes);
}

bool any_alive(PyObject* self);

// At interpreter exit, before the multiprocessing module joins the children:
// a batch that was never joined is drained until its children have ended, so
// that none of them waits on a full pipe, and its spill files are removed.
Ref exit_hook(FunctionObject&, const Bound&) {
    std::vector<std::pair<Ref, Ref>> owned;
    for (auto& [queue, batch] : batches()) {
        if (batch.owner == getpid())
            owned.emplace_back(Ref::borrow(batch.queue_ref), Ref::borrow(batch.batch_ref));
    }
    for (auto& [queue_ref, batch_ref] : owned) {
        Ref queue = check(PyObject_CallNoArgs(queue_ref));
        Ref pcall = batch_ref ? check(PyObject_CallNoArgs(batch_ref)) : Ref();
        if (queue.get() == Py_None)
            continue;
        for (;;) {
            discard_waiting(queue);
            if (!pcall || pcall.get() == Py_None || !any_alive(pcall))
                break;
            pause_briefly(50);
            check(PyErr_CheckSignals());
        }
        discard_waiting(queue);
        auto entry = batches().find(queue.get());
        if (entry != batches().end())
            remove_spill_directories(entry->second.name);
    }
    return rt::none();
}

const rt::FunctionDef exit_hook_def{"_drain_unjoined_batches", "_drain_unjoined_batches", nullptr, {}, exit_hook};

// Run by multiprocessing in every child it forks while the queue lives: no
// child reads a batch's queue, and once only the parent holds the read end, a
// batch dropped unread shows its writers a broken pipe.
Ref close_reader(FunctionObject&, const Bound& a) {
    call_method(getattr(a[0], s_reader), s_close);
    return rt::none();
}

const Param close_reader_params[] = {{"queue"}};
const rt::FunctionDef close_reader_def{"_close_reader", "_close_reader", nullptr, close_reader_params, close_reader};

// Records a batch that start() is about to run. Only a real SimpleQueue takes
// part; any other queue keeps the plain put() in its children.
void register_batch(FunctionObject& fn, PyObject* self) {
    Ref queue = getattr(self, s_queue_attr);
    Ref queue_type = rt::import_from(fn.globals, "multiprocessing.queues", "SimpleQueue");
    if (!PyType_Check(queue_type.get()) ||
        !PyObject_TypeCheck(queue.get(), reinterpret_cast<PyTypeObject*>(queue_type.get())))
        return;
    if (batches().count(queue.get()) != 0)
        return;
    Ref fileno = call_method(getattr(queue, s_writer), s_fileno);
    auto writer = static_cast<int>(PyLong_AsLong(fileno));
    if (writer == -1 && PyErr_Occurred())
        throw rt::Error{};
    find_spill_bases(fn.globals);

    static bool hooked = false;
    if (!hooked) {
        // Registered after the multiprocessing module's own exit function
        // (the queue's module imported it), so it runs before that one.
        Ref hook = rt::make_function(exit_hook_def, fn.globals);
        call_method(rt::import_module(fn.globals, "atexit"), s_register, hook);
        hooked = true;
    }

    unsigned char noise[8];
    if (getrandom(noise, sizeof noise, 0) != static_cast<ssize_t>(sizeof noise))
        rt::raise(PyExc_OSError, "getrandom() failed");
    char name[64];
    std::snprintf(name, sizeof name, "tavrix-forkline-%ld-", static_cast<long>(getpid()));
    std::string spill_name = name;
    for (unsigned char byte : noise) {
        std::snprintf(name, sizeof name, "%02x", byte);
        spill_name += name;
    }
    // A larger pipe lets many children finish before the next drain; the
    // kernel may refuse, which only costs speed.
    (void)fcntl(writer, F_SETPIPE_SZ, kPipeSize);

    Ref closer = rt::make_function(close_reader_def, fn.globals);
    call(rt::import_from(fn.globals, "multiprocessing.util", "register_after_fork"), queue, closer);

    Ref callback = rt::make_function(queue_freed_def, fn.globals);
    Ref queue_ref = check(PyWeakref_NewRef(queue, callback));
    Ref batch_ref = Ref::steal(PyWeakref_NewRef(self, nullptr));
    if (!batch_ref)
        PyErr_Clear();  // a batch class without weak references still works; only the exit drain skips it
    Ref delivered = check(PySet_New(nullptr));
    Batch batch;
    batch.owner = getpid();
    batch.writer = writer;
    batch.name = std::move(spill_name);
    batch.queue_ref = queue_ref.release();
    batch.batch_ref = batch_ref.release();
    batch.delivered = delivered.release();
    batches().emplace(queue.get(), std::move(batch));
}

// --- the child's side ---

// The 4-byte length header of the queue's Connection, then the payload.
std::string frame_of(const char* data, std::size_t size) {
    std::string frame(4, '\0');
    auto n = static_cast<std::uint32_t>(size);
    frame[0] = static_cast<char>(n >> 24);
    frame[1] = static_cast<char>(n >> 16);
    frame[2] = static_cast<char>(n >> 8);
    frame[3] = static_cast<char>(n);
    frame.append(data, size);
    return frame;
}

// The pickle of `pickle.load(itemgetter(0)((io.open(path, 'rb'), os.unlink(path))))`:
// unpickled, it opens the spill file, unlinks it and loads the message.
std::string reference_to(const std::string& path) {
    auto text = [](const std::string& s) {
        std::string op = "X";
        auto n = static_cast<std::uint32_t>(s.size());
        for (int shift = 0; shift < 32; shift += 8)
            op += static_cast<char>(n >> shift);
        return op + s;
    };
    std::string p = "\x80\x02";                                  // PROTO 2
    p += "cpickle\nload\n";                                      // pickle.load
    p += "coperator\nitemgetter\n";                              // itemgetter(0)
    p += std::string("K\x00\x85R", 4);
    p += "cio\nopen\n" + text(path) + text("rb") + "\x86" "R";  // io.open(path, 'rb')
    p += "cos\nunlink\n" + text(path) + "\x85" "R";              // os.unlink(path)
    p += "\x86" "\x85" "R";                                      // itemgetter(0)((file, None))
    p += "\x85" "R" ".";                                         // pickle.load(file)
    return p;
}

[[noreturn]] void raise_errno(int error, const std::string& filename) {
    errno = error;
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, filename.c_str());
    throw rt::Error{};
}

// Writes `size` bytes to a new spill file of the batch and returns its path.
std::string spill(const std::string& name, const char* data, std::size_t size) {
    int error = ENOENT;
    std::string where = name;
    for (const std::string& base : spill_bases()) {
        std::string dir = base + "/" + name;
        where = dir;
        if (mkdir(dir.c_str(), 0700) != 0) {
            struct stat st;
            if (errno != EEXIST) {
                error = errno;
                continue;
            }
            if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid()) {
                error = EEXIST;
                continue;
            }
        }
        std::string path = dir + "/" + std::to_string(getpid());
        bool written = false;
        Py_BEGIN_ALLOW_THREADS
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd >= 0) {
            std::size_t done = 0;
            while (done < size) {
                ssize_t n = write(fd, data + done, size - done);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    break;
                done += static_cast<std::size_t>(n);
            }
            written = done == size;
            error = written ? 0 : (errno ? errno : EIO);
            if (close(fd) != 0 && written) {
                written = false;
                error = errno;
            }
            if (!written)
                unlink(path.c_str());
        } else {
            error = errno;
        }
        Py_END_ALLOW_THREADS
        if (written)
            return path;
    }
    raise_errno(error, where);
}

// Writes one frame of at most kAtomicFrame bytes whole. False when nobody
// will ever read it: the parent has died, or the batch's queue has gone.
bool write_frame(int writer, pid_t owner, const std::string& frame) {
    char own_path[64];
    std::snprintf(own_path, sizeof own_path, "/proc/self/fd/%d", writer);
    // A descriptor of its own, so that O_NONBLOCK touches no other process.
    int fd = open(own_path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENXIO)  // a pipe without readers
            return false;
        fd = writer;
    }
    struct Closer {
        int fd, writer;
        ~Closer() {
            if (fd != writer)
                close(fd);
        }
    } closer{fd, writer};
    for (;;) {
        if (getppid() != owner)
            return false;
        pollfd ready{fd, POLLOUT, 0};
        int polled;
        Py_BEGIN_ALLOW_THREADS
        polled = poll(&ready, 1, kSendStepMs);
        Py_END_ALLOW_THREADS
        if (polled < 0 && errno != EINTR)
            raise_errno(errno, own_path);
        check(PyErr_CheckSignals());
        if (polled <= 0)
            continue;
        if (ready.revents & POLLERR)
            return false;
        ssize_t n;
        Py_BEGIN_ALLOW_THREADS
        n = write(fd, frame.data(), frame.size());
        Py_END_ALLOW_THREADS
        if (n == static_cast<ssize_t>(frame.size()))
            return true;
        if (n < 0 && errno == EPIPE)
            return false;
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            raise_errno(errno, own_path);
        check(PyErr_CheckSignals());
    }
}

// The message pickled as the queue pickles it.
Ref pickled(FunctionObject& fn, PyObject* message) {
    Ref pickler = getattr(getattr(fn.global(s_multiprocessing), s_reducer), s_ForkingPickler);
    return call_method(pickler, s_dumps, message);
}

// A message that cannot be pickled becomes a failure at the same index that
// names what could not be sent and why.
Ref unsendable(FunctionObject& fn, PyObject* message, PyObject* error) {
    Ref part[3];
    rt::unpack(message, part, 3);
    bool returned = part[1].get() == Py_True;
    Ref value_type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(part[2].get())));
    if (!returned) {
        if (Ref inner = rt::getattr_optional(part[2], s_exc))
            value_type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(inner.get())));
    }
    Ref module = getattr(value_type, s_module_attr);
    Ref qualname = getattr(value_type, s_qualname_attr);
    Ref text = check(PyUnicode_FromFormat(
        "the %s of type %S.%S of child %S cannot be sent to the parent: %s: %S",
        returned ? "result" : "exception", module.get(), qualname.get(), part[0].get(),
        Py_TYPE(error)->tp_name, error));
    Ref error_type = rt::import_from(fn.globals, "pickle", "PicklingError");
    Ref replacement = call(error_type, text);
    PyException_SetCause(replacement, Py_NewRef(error));
    Ref wrapped = call(fn.global(s_ExceptionWithTraceback), replacement);
    Ref status = returned ? rt::boolean(false) : part[1];
    return rt::new_tuple({part[0].get(), status.get(), wrapped.get()});
}

Ref failure_message(FunctionObject& fn, PyObject* message, Ref (*describe)(FunctionObject&, PyObject*, PyObject*)) {
    rt::ExceptScope handled;
    if (!handled.matches(PyExc_Exception))
        handled.reraise();
    Ref replacement = describe(fn, message, handled.value());
    return pickled(fn, replacement);
}

// The bytes of a pickle, held for as long as the object lives.
struct Bytes {
    Py_buffer view;
    const char* data;
    std::size_t size;
    explicit Bytes(PyObject* obj) {
        check(PyObject_GetBuffer(obj, &view, PyBUF_SIMPLE));
        data = static_cast<const char*>(view.buf);
        size = static_cast<std::size_t>(view.len);
    }
    ~Bytes() { PyBuffer_Release(&view); }
    Bytes(const Bytes&) = delete;
    Bytes& operator=(const Bytes&) = delete;
};

// Sends the child's one message (the last step of run()): to a registered batch
// through the channel above, to any other queue through its put().
void send_result(FunctionObject& fn, PyObject* self, PyObject* message, pid_t runner) {
    // A process forked by the target returns through run() too; only the
    // child itself speaks for its index.
    if (getpid() != runner)
        return;
    Ref queue = getattr(self, s_queue_attr);
    auto entry = batches().find(queue.get());
    if (entry == batches().end()) {
        call_method(queue, s_put, message);
        return;
    }
    const pid_t owner = entry->second.owner;
    const int writer = entry->second.writer;
    const std::string name = entry->second.name;
    if (getppid() != owner)
        return;  // the parent is gone: nobody would read it
    // The child reads nothing (its read end is closed after the fork already,
    // unless it was started other than by start()).
    call_method(getattr(queue, s_reader), s_close);

    Ref data;
    try {
        data = pickled(fn, message);
    } catch (const rt::Error&) {
        data = failure_message(fn, message, unsendable);
    }
    Bytes pickle(data);
    if (pickle.size + 4 <= kDirectFrame) {
        write_frame(writer, owner, frame_of(pickle.data, pickle.size));
        return;
    }
    std::string path;
    try {
        path = spill(name, pickle.data, pickle.size);
    } catch (const rt::Error&) {
        // Nowhere to put it: report that instead, small enough for the pipe.
        Ref failed = failure_message(fn, message, unsendable);
        Bytes report(failed);
        std::string frame = frame_of(report.data, report.size);
        if (frame.size() <= kAtomicFrame)
            write_frame(writer, owner, frame);
        return;
    }
    std::string reference = reference_to(path);
    if (!write_frame(writer, owner, frame_of(reference.data(), reference.size()))) {
        unlink(path.c_str());
        rmdir(path.substr(0, path.rfind('/')).c_str());  // only if no sibling's file is left
    }
}

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
    Ref found;
    bool done = false;
    rt::for_each(stack, [&](PyObject* record) {
        if (done)
            return;
        Ref locals = getattr(getattr(record, s_frame), s_f_locals);
        Ref obj = call_method(locals, s_get, s_self);
        try {
            Ref internal = getattr(getattr(obj, s_parameters), s_internal);
            found = get_current_steps(call_method(internal, s_get, s_steps));
            done = true;
        } catch (const rt::Error&) {
            if (!PyErr_ExceptionMatches(PyExc_Exception))
                throw;
            PyErr_Clear();
        }
    });
    return found ? found : rt::none();
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

    Ref result;
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
    }
    send_result(fn, self, result, runner);
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
    ":param timeout: maximum run time of any child, in seconds\n"
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
    "- The results list is in child order.";

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

// --- the caches that the children inherit (part of start) ---

// Each child's step search (_get_steps) calls inspect.stack(), which reads,
// for every frame of the chain that the child inherits, the frame's source
// file through linecache and the module of that file through inspect's
// tables. Cold, that is most of a child's start-up: the tables are built from
// every loaded module, resolving each path, and every file is read again.
// Warmed once in the parent, just before the fork, they reach every child
// through it.
//
// The parent warms them with the standard library's own functions, so that
// they hold exactly what the children's search looks up: `inspect` and
// `linecache` here are the standard-library modules themselves, never the
// module attribute `inspect` that the children call, and nothing of the test
// harness is imported.
//
// Each file costs the parent its warm-up once per process. A file warmed
// before is only checked against the disk (linecache.checkcache, one stat),
// so an edited source is read again; each child still checks it too, as
// inspect.stack() does.
//
// A file that no loaded module owns, and that does not exist on disk (code
// run from a string, typed at the prompt, a notebook cell), makes every
// inspect.getmodule() call for its frames scan all of sys.modules, three
// times per frame in the child whatever the parent warmed. For such a file
// the parent records in inspect's table, after a scan that found no module,
// that none owns it: an entry mapping its name to None, which the table's
// reader, sys.modules.get(), answers with None as the scan would. Once the
// loaded modules change, the records are dropped and made again after a new
// scan, so a module loaded later under such a name is found again.
struct ChildCaches {
    PyObject* warmed = nullptr;   // set: file names warmed in this process
    PyObject* unowned = nullptr;  // set: file names recorded as owned by no module
    Py_ssize_t modules = -1;      // len(sys.modules) when `unowned` was last checked
};

// Kept for the life of the process, like inspect's own tables (and never
// freed: static destructors run after the interpreter is gone).
ChildCaches& child_caches() {
    static ChildCaches caches;
    if (caches.warmed == nullptr)
        caches.warmed = check(PySet_New(nullptr)).release();
    if (caches.unowned == nullptr)
        caches.unowned = check(PySet_New(nullptr)).release();
    return caches;
}

// os.path.exists(name), without running Python code: false for a name that
// cannot name a file.
bool exists_on_disk(PyObject* name) {
    PyObject* encoded = PyUnicode_EncodeFSDefault(name);
    if (encoded == nullptr) {
        PyErr_Clear();
        return false;
    }
    Ref bytes = Ref::steal(encoded);
    const char* path = PyBytes_AS_STRING(bytes.get());
    struct stat info;
    return std::strlen(path) == static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())) && ::stat(path, &info) == 0;
}

bool contains(PyObject* container, PyObject* key) { return check(PySequence_Contains(container, key)) != 0; }
bool in_set(PyObject* set, PyObject* key) { return check(PySet_Contains(set, key)) != 0; }

// Runs `warm`, and drops the failure of an Exception: warming is an
// optimisation, and a child's own search meets the same conditions and
// deals with them as it always has. Anything else (KeyboardInterrupt)
// propagates.
template <class F>
void warm_guarded(F&& warm) {
    try {
        warm();
    } catch (const rt::Error&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception))
            throw;
        PyErr_Clear();
    }
}

class CacheWarmer {
public:
    explicit CacheWarmer(PyObject* globals)
        : globals_(globals),
          caches_(child_caches()),
          inspect_(rt::import_module(globals, "inspect")),
          linecache_(rt::import_module(globals, "linecache")),
          table_(getattr(inspect_, s_modulesbyfile)),
          table_is_dict_(PyDict_CheckExact(table_.get())),
          lines_(getattr(linecache_, s_cache)),
          seen_(check(PySet_New(nullptr))) {}

    // Drops the records of unowned files once the loaded modules changed.
    void forget_stale_records() {
        Py_ssize_t modules = loaded_modules();
        if (modules == caches_.modules || !table_is_dict_)
            return;
        Ref names = check(PySequence_List(caches_.unowned));
        rt::for_each(names, [&](PyObject* name) {
            Ref owner = Ref::borrow(PyDict_GetItemWithError(table_, name));
            if (owner.get() == Py_None)
                check(PyDict_DelItem(table_, name));
            else if (PyErr_Occurred())
                throw rt::Error{};
            check(PySet_Discard(caches_.warmed, name));
        });
        check(PySet_Clear(caches_.unowned));
        caches_.modules = -1;
    }

    // The source file of a module that runs in the child below its run():
    // the fork machinery, whose frames no parent frame shows. A code object
    // of that file stands in for them: inspect.findsource() then takes the
    // steps it takes for each frame (module lookup, lines, its pattern).
    void module_file(const char* module_name) {
        Ref module = rt::import_from(globals_, "multiprocessing", module_name);
        Ref name = rt::getattr_optional(module, s_file);
        if (!name || !first_time(name))
            return;
        const char* path = PyUnicode_AsUTF8(name);
        if (path == nullptr)
            throw rt::Error{};
        Ref code = check(reinterpret_cast<PyObject*>(PyCode_NewEmpty(path, "<module>", 1)));
        call_method(inspect_, s_findsource, code);
        check(PySet_Add(caches_.warmed, name));
    }

    // The file of one frame of the chain that the children inherit.
    void frame_file(PyObject* frame) {
        Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(reinterpret_cast<PyFrameObject*>(frame))));
        Ref name = getattr(code, s_co_filename);
        if (!first_time(name))
            return;
        if (!exists_on_disk(name)) {
            Ref owner = call_method(inspect_, s_getmodule, frame, name);
            if (table_is_dict_ && owner.get() == Py_None && !contains(table_, name)) {
                check(PyDict_SetItem(table_, name, Py_None));
                check(PySet_Add(caches_.unowned, name));
            }
        }
        call_method(inspect_, s_getframeinfo, frame);
        check(PySet_Add(caches_.warmed, name));
    }

    void done() { caches_.modules = loaded_modules(); }

private:
    static Py_ssize_t loaded_modules() {
        Ref modules = Ref::borrow(PySys_GetObject("modules"));
        if (!modules)
            return -1;
        Py_ssize_t n = PyObject_Size(modules);
        if (n < 0)
            throw rt::Error{};
        return n;
    }

    // True the first time a name comes up in this warm-up, unless it was
    // warmed before and its lines are still those on disk.
    bool first_time(PyObject* name) {
        if (!PyUnicode_Check(name) || in_set(seen_, name))
            return false;
        check(PySet_Add(seen_, name));
        if (!in_set(caches_.warmed, name))
            return true;
        if (in_set(caches_.unowned, name))
            return false;
        call_method(linecache_, s_checkcache, name);
        return !contains(lines_, name);
    }

    PyObject* globals_;
    ChildCaches& caches_;
    Ref inspect_, linecache_, table_;
    bool table_is_dict_;
    Ref lines_, seen_;
};

void warm_child_caches(PyObject* globals) {
    warm_guarded([&] {
        CacheWarmer warmer(globals);
        warmer.forget_stale_records();
        // The fork machinery first (multiprocessing.process, .context and
        // .popen_fork): its modules are then loaded when the frames' files
        // make inspect scan the loaded modules.
        for (const char* name : {"process", "context", "popen_fork"})
            warm_guarded([&] { warmer.module_file(name); });
        // Then the chain of frames that every child inherits, innermost first.
        auto as_object = [](PyFrameObject* f) { return reinterpret_cast<PyObject*>(f); };
        Ref frame = Ref::borrow(as_object(PyEval_GetFrame()));
        while (frame) {
            warm_guarded([&] { warmer.frame_file(frame); });
            frame = Ref::steal(as_object(PyFrame_GetBack(reinterpret_cast<PyFrameObject*>(frame.get()))));
        }
        warmer.done();
    });
}

// --- start(self) ---

Ref Pcall_start(FunctionObject& fn, const Bound& a) {
    PyObject* self = a[0];
    set(self, s_starttime, call_method(fn.global(s_time), s_time));
    register_batch(fn, self);
    Ref consolidate = getattr(getattr(fn.global(s_managed_handlers), s_tasklog), s_consolidate);
    Ref context = call(consolidate);
    rt::with_context(context, [&] {
        warm_child_caches(fn.globals);
        rt::for_each(getattr(self, s_processes), [](PyObject* child) { call_method(child, s_start); });
    });
    return rt::none();
}

const rt::FunctionDef Pcall_start_def{"start", "Pcall.start",
                                      "start\n"
                                      "\n"
                                      "Starts all child worker processes.",
                                      self_only, Pcall_start};

// --- join(self) ---

// Moves every waiting message from the queue to `results`.
void drain(PyObject* self, PyObject* results) {
    Ref queue = getattr(self, s_queue_attr);
    while (!rt::truthy(call_method(queue, s_empty)))
        check(PyList_Append(results, call_method(queue, s_get)));
}

bool any_alive(PyObject* self) {
    bool alive = false;
    Ref it = check(PyObject_GetIter(getattr(self, s_processes)));
    while (PyObject* child = PyIter_Next(it)) {
        Ref owned = Ref::steal(child);
        if (rt::truthy(call_method(child, s_is_alive))) {
            alive = true;
            break;
        }
    }
    if (PyErr_Occurred())
        throw rt::Error{};
    return alive;
}

[[noreturn]] void time_out(FunctionObject& fn, PyObject* self) {
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
    rt::raise(PyExc_TimeoutError, "Not all child processes finished running.");
}

// After join() has reaped the batch: its spill files go, and the set of
// indexes that have delivered (kept across joins of a recorded batch) is
// returned for the accounting below.
Ref batch_reaped(PyObject* self) {
    Ref queue = getattr(self, s_queue_attr);
    auto entry = batches().find(queue.get());
    if (entry == batches().end())
        return check(PySet_New(nullptr));
    if (entry->second.owner == getpid())
        remove_spill_directories(entry->second.name);
    return Ref::borrow(entry->second.delivered);
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

// Raises ChildProcessError for the first child, below `limit` when there is
// one, that has ended (its exitcode is an int) without its message being
// read. Other attributes of a child are read only here, and may be absent.
void raise_missing_child(FunctionObject& fn, PyObject* self, PyObject* delivered, PyObject* limit) {
    if (limit && !PyLong_CheckExact(limit))
        return;  // a failure whose index is no int decides as it always did
    Py_ssize_t position = 0;
    rt::for_each(getattr(self, s_processes), [&](PyObject* child) {
        Ref index = rt::new_int(position++);
        if (limit && check(PyObject_RichCompareBool(index, limit, Py_GE)))
            return;
        if (check(PySet_Contains(delivered, index)))
            return;
        Ref exitcode = rt::getattr_optional(child, s_exitcode);
        if (!exitcode || !PyLong_Check(exitcode.get()) || PyBool_Check(exitcode.get()))
            return;
        Ref how = ending_of(fn, exitcode);
        Ref pid = rt::getattr_optional(child, s_pid);
        Ref work = rt::getattr_optional(child, s_work_attr);
        Ref target = work ? rt::getattr_optional(work, s_target_attr_pub) : Ref();
        Ref shown_pid = pid ? pid : rt::none();
        Ref shown_target = target ? target : Ref::borrow(Py_None);
        Ref text = check(PyUnicode_FromFormat("child %S (pid %S) %S without sending its result; target=%S",
                                              index.get(), shown_pid.get(), how.get(), shown_target.get()));
        PyErr_SetObject(PyExc_ChildProcessError, text);
        throw rt::Error{};
    });
}

Ref Pcall_join(FunctionObject& fn, const Bound& a) {
    PyObject* self = a[0];
    Ref results = check(PyList_New(0));
    Ref pause = check(PyFloat_FromDouble(kPollPause));

    while (any_alive(self)) {
        drain(self, results);
        call_method(fn.global(s_time), s_sleep, pause);
        Ref timeout = getattr(self, s_timeout);
        if (rt::truthy(timeout)) {
            Ref now = call_method(fn.global(s_time), s_time);
            Ref deadline = check(PyNumber_Add(timeout, getattr(self, s_starttime)));
            if (check(PyObject_RichCompareBool(now, deadline, Py_GT)))
                time_out(fn, self);
        }
    }

    set(self, s_stoptime, call_method(fn.global(s_time), s_time));
    drain(self, results);
    rt::for_each(getattr(self, s_processes), [](PyObject* child) { call_method(child, s_join); });
    Ref delivered = batch_reaped(self);

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
        if (PyLong_CheckExact(part[0].get()))
            check(PySet_Add(delivered, part[0]));
        Ref terminated = rt::new_int(kStepTerminated);
        step_terminated = check(PyObject_RichCompareBool(part[1], terminated, Py_EQ)) != 0;
        if (step_terminated || !rt::truthy(part[1])) {
            failed_index = part[0];
            failed_result = part[2];
            break;
        }
    }
    raise_missing_child(fn, self, delivered, failed_index);
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
    "has finished its job, then collects and sets the results. An exception\n"
    "raised by a child during its job is raised again here, and a child that\n"
    "ended without sending its result raises ChildProcessError; the lowest\n"
    "child index decides.",
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

Ref Pcall_kill(FunctionObject& fn, const Bound& a) {
    rt::for_each(getattr(a[0], s_processes), [&](PyObject* child) {
        // A child whose exit status has been collected is gone: its pid may
        // belong to an unrelated process by now, so it is never signalled.
        if (getattr(child, s_exitcode).get() != Py_None)
            return;
        Ref kill = getattr(fn.global(s_os), s_kill);
        Ref pid = getattr(child, s_pid);
        Ref sigkill = getattr(fn.global(s_signal), s_SIGKILL);
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
    "A child whose exit has already been collected (its exitcode is set, by\n"
    "join() or a liveness test) is skipped: its pid may belong to an unrelated\n"
    "process by then. A child that was never started still fails, with the\n"
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
