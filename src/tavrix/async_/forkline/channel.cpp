// The result channel: framing, the child's send, the parent's load.
//
// Each batch has a channel of its own, an unnamed socket pair made by its
// first start(): the parent keeps one end to read, the children inherit the
// other to write. A child of the module's own run(), whose queue is the
// plain SimpleQueue, sends its one message here instead of through the
// queue; join() reads the channel as it drains the queue, so both roads
// reach the same list. A child pickles its message as the queue would, then:
//
// - a message of at most kInline bytes travels in the frame itself;
// - a larger one is written to an anonymous memory file (memfd_create; an
//   unnamed O_TMPFILE file in /dev/shm or the temporary directory when that
//   is refused), and the frame carries the file's descriptor. The parent maps
//   the file, loads the message from the mapping and closes it: the pickle is
//   never copied into the parent, and the file vanishes with its last
//   descriptor, whatever happens to either process.
//
// Trust model. Nothing here has a name in any file system: no other user,
// process or container can find, replace, read or remove a result, and
// nothing is left behind by a process that dies. Only processes that hold the
// children's end can write to the channel: the batch's children, what they
// fork, and whoever they hand the descriptor to, all of which already run the
// caller's code as the caller. The parent therefore trusts a frame as much as
// it trusts its own children; it still checks what it can (the frame's
// marker and size, that a descriptor is a regular file of the announced
// size), so that a child's bug ends as a failure at its index, never as a
// crash or a hang of the parent.
//
// Every frame is at most a few hundred bytes more than kInline and goes out
// in one sendmsg(): the kernel queues it whole or not at all (one buffer of a
// stream socket), and never glues the bytes of two writers. A child killed
// at any moment leaves a whole frame or none. Children send without
// blocking, waiting for room in steps, and give up when the parent has gone.
#include "channel.h"

#include "function.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

using rt::call;
using rt::check;
using rt::Name;
using rt::Ref;

namespace forkline::channel {

namespace {

Name s_ExceptionWithTraceback{"ExceptionWithTraceback"}, s_module{"__module__"}, s_qualname{"__qualname__"},
    s_release{"release"}, s_gettempdir{"gettempdir"}, s_work{"_work"}, s_target{"target"};

constexpr std::uint32_t kMarker = 0x6b726f66;  // "fork"
constexpr std::uint32_t kInlineFrame = 1, kFileFrame = 2;

struct Header {
    std::uint32_t marker;
    std::uint32_t size;  // of the whole frame, header included
    std::uint32_t slot;
    std::int32_t pid;
    std::uint32_t kind;
    std::uint32_t reserved;
    std::uint64_t length;  // of the pickle: in the frame, or in the file
};

constexpr std::size_t kInline = 1024;       // a larger pickle goes to a file
constexpr int kSendBuffer = 4 << 20;        // asked for; the kernel caps it
constexpr int kSendStepMs = 250;            // a waiting sender looks around this often

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

[[noreturn]] void raise_errno(int error, const char* what) {
    errno = error;
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, what);
    throw rt::Error{};
}

// str(obj), or a note that it failed: for the text of a failure.
Ref safe_str(PyObject* obj) {
    if (PyObject* text = PyObject_Str(obj))
        return Ref::steal(text);
    PyErr_Clear();
    return rt::new_string("<str() failed>");
}

Ref pickle_error(const char* name) {
    Ref pickle = Ref::steal(PyImport_GetModule(rt::new_string("pickle")));
    if (!pickle)
        pickle = check(PyErr_Occurred() ? nullptr : PyImport_ImportModule("pickle"));
    return rt::getattr(pickle, Ref(rt::new_string(name)));
}

// --- the child's side ---

// Writes all of `data` to `fd`; 0 or the errno of the failure.
int write_all(int fd, const char* data, std::size_t size) {
    int error = 0;
    Py_BEGIN_ALLOW_THREADS
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = n < 0 ? errno : EIO;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    Py_END_ALLOW_THREADS
    return error;
}

// An anonymous file holding `size` bytes: a memory file, else an unnamed
// file in /dev/shm, else one in the temporary directory (looked up only now,
// so TMPDIR as it is in the child counts). OSError naming the last refusal.
int anonymous_file(PyObject* globals, const char* data, std::size_t size) {
    int error = ENOSYS;
    std::string where = "memfd_create()";
    auto attempt = [&](int fd, const std::string& place) {
        if (fd < 0) {
            error = errno;
            where = place;
            return -1;
        }
        if (int failed = write_all(fd, data, size)) {
            ::close(fd);
            error = failed;
            where = place;
            return -1;
        }
        return fd;
    };
    if (int fd = attempt(memfd_create("tavrix-forkline-result", MFD_CLOEXEC), where); fd >= 0)
        return fd;
    if (int fd = attempt(::open("/dev/shm", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600), "/dev/shm"); fd >= 0)
        return fd;
    try {
        Ref tempfile = rt::import_module(globals, "tempfile");
        Ref dir = rt::call_method(tempfile, s_gettempdir);
        Ref encoded = check(PyUnicode_EncodeFSDefault(dir));
        std::string path(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
        if (path.find('\0') == std::string::npos) {
            if (int fd = attempt(::open(path.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600), path); fd >= 0)
                return fd;
        }
    } catch (const rt::Error&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception))
            throw;
        PyErr_Clear();  // no temporary directory: the refusals before count
    }
    raise_errno(error, where.c_str());
}

// Sends one frame, with `fd` attached when it is not -1. False when nobody
// will read it: the parent has gone.
bool write_frame(const Batch& batch, const std::string& frame, int fd) {
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    for (;;) {
        if (getppid() != batch.owner)
            return false;
        iovec part{const_cast<char*>(frame.data()), frame.size()};
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        if (fd >= 0) {
            std::memset(control, 0, sizeof control);
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            cmsghdr* header = CMSG_FIRSTHDR(&message);
            header->cmsg_level = SOL_SOCKET;
            header->cmsg_type = SCM_RIGHTS;
            header->cmsg_len = CMSG_LEN(sizeof(int));
            std::memcpy(CMSG_DATA(header), &fd, sizeof(int));
        }
        ssize_t n = sendmsg(batch.writer, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n == static_cast<ssize_t>(frame.size()))
            return true;
        if (n >= 0)
            return false;  // cannot happen for a frame this small; never write the rest apart
        const int error = errno;
        if (error == EPIPE || error == ECONNRESET || error == ENOTCONN)
            return false;
        if (error == EAGAIN || error == EWOULDBLOCK || error == ENOBUFS || error == ENOMEM) {
            pollfd ready{batch.writer, POLLOUT, 0};
            Py_BEGIN_ALLOW_THREADS
            poll(&ready, 1, kSendStepMs);
            Py_END_ALLOW_THREADS
        } else if (error == ETOOMANYREFS) {
            // Too many descriptors of this user in flight: the parent takes
            // them at its next drain.
            Py_BEGIN_ALLOW_THREADS
            timespec pause{0, 50 * 1000000L};
            nanosleep(&pause, nullptr);
            Py_END_ALLOW_THREADS
        } else if (error != EINTR) {
            raise_errno(error, "sendmsg()");
        }
        check(PyErr_CheckSignals());
    }
}

std::string frame_of(std::size_t slot, std::uint32_t kind, std::size_t length, const char* data, std::size_t size) {
    Header header{kMarker,
                  static_cast<std::uint32_t>(sizeof(Header) + size),
                  static_cast<std::uint32_t>(slot),
                  static_cast<std::int32_t>(getpid()),
                  kind,
                  0,
                  static_cast<std::uint64_t>(length)};
    std::string frame(reinterpret_cast<const char*>(&header), sizeof header);
    frame.append(data, size);
    return frame;
}

// A message that cannot be sent becomes a failure at the same index that
// names what could not be sent and why: the type of the return value, or the
// class and text of the exception the target raised (whatever the wrapper
// made of it).
Ref unsendable(PyObject* message, PyObject* raised, PyObject* error) {
    Ref part[3];
    rt::unpack(message, part, 3);
    const bool returned = raised == nullptr;
    PyObject* culprit = returned ? part[2].get() : raised;
    Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(culprit)));
    Ref module = rt::getattr(type, s_module);
    Ref qualname = rt::getattr(type, s_qualname);
    Ref text;
    if (returned) {
        text = check(PyUnicode_FromFormat("the result of type %S.%S of child %S cannot be sent to the parent: %s: %S",
                                          module.get(), qualname.get(), part[0].get(), Py_TYPE(error)->tp_name,
                                          safe_str(error).get()));
    } else {
        text = check(PyUnicode_FromFormat(
            "the exception %S.%S: %S of child %S cannot be sent to the parent: %s: %S", module.get(), qualname.get(),
            safe_str(raised).get(), part[0].get(), Py_TYPE(error)->tp_name, safe_str(error).get()));
    }
    Ref replacement = call(pickle_error("PicklingError"), text);
    PyException_SetCause(replacement, Py_NewRef(error));
    return replacement;
}

// The pickle of the failure that replaces `message`: wrapped as the target's
// exceptions are, or bare when even the wrapped one cannot be pickled (the
// module's ExceptionWithTraceback replaced by something that cannot be).
Ref failure_pickle(const Batch& batch, PyObject* globals, PyObject* message, PyObject* raised) {
    rt::ExceptScope handled;
    if (!handled.matches(PyExc_Exception))
        handled.reraise();
    Ref part[3];
    rt::unpack(message, part, 3);
    Ref replacement = unsendable(message, raised, handled.value());
    Ref status = raised == nullptr ? rt::boolean(false) : part[1];
    try {
        Ref wrapped = call(rt::load_global(globals, s_ExceptionWithTraceback), replacement);
        return call(batch.dumps, rt::new_tuple({part[0].get(), status.get(), wrapped.get()}));
    } catch (const rt::Error&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception))
            throw;
        PyErr_Clear();
    }
    return call(batch.dumps, rt::new_tuple({part[0].get(), status.get(), replacement.get()}));
}

// --- the parent's side ---

// The child's target name, for messages: `_work.target` of its process
// object, or None.
Ref target_of(const Slot* slot) {
    if (slot == nullptr)
        return rt::none();
    Ref child = slot->child();
    Ref work = child ? Ref::steal(PyObject_GetAttr(child, s_work)) : Ref();
    Ref target = work ? Ref::steal(PyObject_GetAttr(work, s_target)) : Ref();
    if (!target) {
        PyErr_Clear();
        return rt::none();
    }
    return target;
}

// The failure at a child's index for a message that reached the parent but
// could not be loaded (`error` set), or not received at all.
Ref unloadable(Batch& batch, const Header& header, PyObject* error, const char* why) {
    Slot* slot = batch.forked(header.slot);
    if (slot != nullptr && slot->pid != header.pid)
        slot = nullptr;
    Ref index = slot != nullptr && slot->index ? slot->index : rt::new_int(header.slot);
    Ref target = target_of(slot);
    Ref text;
    if (error != nullptr)
        text = check(PyUnicode_FromFormat("child %S (pid %d) sent a result that cannot be loaded here: %s: %S; target=%S",
                                          index.get(), static_cast<int>(header.pid), Py_TYPE(error)->tp_name,
                                          safe_str(error).get(), target.get()));
    else
        text = check(PyUnicode_FromFormat("child %S (pid %d) sent a result that the parent could not receive: %s; target=%S",
                                          index.get(), static_cast<int>(header.pid), why, target.get()));
    Ref failure = call(pickle_error("UnpicklingError"), text);
    if (error != nullptr)
        PyException_SetCause(failure, Py_NewRef(error));
    return rt::new_tuple({index.get(), Py_False, failure.get()});
}

// The message of a file frame: mapped, loaded, unmapped.
Ref load_file(Batch& batch, int fd, std::size_t length) {
    struct stat info;
    if (fstat(fd, &info) != 0)
        raise_errno(errno, "fstat()");
    if (!S_ISREG(info.st_mode) || static_cast<std::uint64_t>(info.st_size) != length)
        rt::raise(PyExc_ValueError, "the result's file is not what its frame announced");
    if (length == 0)
        rt::raise(PyExc_ValueError, "the result's file is empty");
    void* map = mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, 0);
    if (map == MAP_FAILED)
        raise_errno(errno, "mmap()");
    Ref view = Ref::steal(PyMemoryView_FromMemory(static_cast<char*>(map), static_cast<Py_ssize_t>(length), PyBUF_READ));
    if (!view) {
        munmap(map, length);
        throw rt::Error{};
    }
    PyObject* message = PyObject_CallOneArg(batch.loads, view);
    // The mapping goes only once nothing can see it any more; a view that is
    // still exported (it never is, after loads) keeps it for good.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    Ref released = Ref::steal(PyObject_CallMethodNoArgs(view, s_release));
    if (released)
        munmap(map, length);
    else
        PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    return check(message);
}

// Loads the frame at the head of `bytes`; false when it is incomplete.
// A failure of Exception's kind becomes the child's failure; anything else
// leaves the frame (and its descriptor) where it was and propagates.
bool take_frame(Batch& batch, const char* bytes, std::size_t available, std::size_t& used, PyObject* into) {
    if (available < sizeof(Header))
        return false;
    Header header;
    std::memcpy(&header, bytes, sizeof header);
    if (header.marker != kMarker || header.size < sizeof header || header.size > sizeof header + kInline ||
        (header.kind == kInlineFrame && header.length != header.size - sizeof header) ||
        (header.kind != kInlineFrame && header.kind != kFileFrame))
        rt::raise(PyExc_RuntimeError, "the result channel of the batch carries a malformed frame");
    if (available < header.size)
        return false;

    Ref message;
    int fd = -1;
    try {
        if (header.kind == kInlineFrame) {
            Ref data = check(PyBytes_FromStringAndSize(bytes + sizeof header, static_cast<Py_ssize_t>(header.length)));
            message = call(batch.loads, data);
        } else if (!batch.fds.empty()) {
            fd = batch.fds.front();
            batch.fds.pop_front();
            message = load_file(batch, fd, static_cast<std::size_t>(header.length));
        } else if (batch.lost_fds > 0) {
            --batch.lost_fds;
            message = unloadable(batch, header, nullptr, "too many open files");
        } else {
            message = unloadable(batch, header, nullptr, "its descriptor did not arrive");
        }
    } catch (const rt::Error&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            if (fd >= 0)
                batch.fds.push_front(fd);
            throw;
        }
        rt::ExceptScope handled;
        message = unloadable(batch, header, handled.value(), nullptr);
    }
    if (fd >= 0)
        ::close(fd);
    check(PyList_Append(into, message));
    used += header.size;
    if (Slot* slot = batch.forked(header.slot); slot != nullptr && slot->pid == header.pid)
        slot->delivered = true;
    return true;
}

}  // namespace

void open(Batch& batch) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        raise_errno(errno, "socketpair()");
    batch.reader = ends[0];
    batch.writer = ends[1];
    // Room for a few hundred small frames before a child must wait for the
    // parent's next drain; the kernel caps it, or refuses, which only costs time.
    (void)setsockopt(batch.writer, SOL_SOCKET, SO_SNDBUFFORCE, &kSendBuffer, sizeof kSendBuffer);
    (void)setsockopt(batch.writer, SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof kSendBuffer);
    (void)shutdown(batch.reader, SHUT_WR);
}

void close(Batch& batch) {
    if (batch.reader >= 0)
        ::close(batch.reader);
    if (batch.writer >= 0)
        ::close(batch.writer);
    batch.reader = batch.writer = -1;
}

void send(Batch& batch, std::size_t slot, PyObject* message, PyObject* raised, PyObject* globals) {
    if (getppid() != batch.owner || batch.writer < 0)
        return;  // the parent has gone: nobody would read it
    Ref data;
    try {
        data = call(batch.dumps, message);
    } catch (const rt::Error&) {
        data = failure_pickle(batch, globals, message, raised);
    }
    Bytes pickle(data);
    if (pickle.size <= kInline) {
        write_frame(batch, frame_of(slot, kInlineFrame, pickle.size, pickle.data, pickle.size), -1);
        return;
    }
    int fd;
    try {
        fd = anonymous_file(globals, pickle.data, pickle.size);
    } catch (const rt::Error&) {
        // Nowhere to put it: report that instead, small enough for a frame.
        Ref failed = failure_pickle(batch, globals, message, raised);
        Bytes report(failed);
        if (report.size <= kInline)
            write_frame(batch, frame_of(slot, kInlineFrame, report.size, report.data, report.size), -1);
        return;
    }
    try {
        write_frame(batch, frame_of(slot, kFileFrame, pickle.size, nullptr, 0), fd);
    } catch (...) {
        ::close(fd);
        throw;
    }
    ::close(fd);
}

void receive(Batch& batch, PyObject* into, PyObject*) {
    // Loading a message runs its code, which may come back here (through a
    // join() of the same batch): the outer read goes on, the inner returns.
    if (batch.reader < 0 || batch.receiving)
        return;
    struct Receiving {
        bool& flag;
        explicit Receiving(bool& f) : flag(f) { flag = true; }
        ~Receiving() { flag = false; }
    } receiving{batch.receiving};
    constexpr int kMaxFds = 64;
    // One buffer serves every read: it is copied to the record's carry
    // right after each read, before any code can run (the GIL is held).
    static char buffer[64 << 10];
    alignas(cmsghdr) char control[CMSG_SPACE(kMaxFds * sizeof(int))];
    std::size_t used = 0;
    // What has been read stays in the record until it has been loaded: an
    // interruption while a message loads leaves it for the next read.
    struct Compact {
        Batch& batch;
        std::size_t& used;
        ~Compact() { batch.carry.erase(0, used); }
    } compact{batch, used};
    for (;;) {
        while (take_frame(batch, batch.carry.data() + used, batch.carry.size() - used, used, into)) {
        }
        iovec part{buffer, sizeof buffer};
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        ssize_t n = recvmsg(batch.reader, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return;
            raise_errno(errno, "recvmsg()");
        }
        for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr; header = CMSG_NXTHDR(&message, header)) {
            if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS)
                continue;
            const std::size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (std::size_t i = 0; i < count; ++i) {
                int fd;
                std::memcpy(&fd, CMSG_DATA(header) + i * sizeof(int), sizeof fd);
                batch.fds.push_back(fd);
            }
        }
        if (message.msg_flags & MSG_CTRUNC)
            ++batch.lost_fds;
        if (n == 0)
            return;
        batch.carry.append(buffer, static_cast<std::size_t>(n));
    }
}

}  // namespace forkline::channel
