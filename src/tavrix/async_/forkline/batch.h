// The records of started batches: which process the batch forked for each
// position, what it has delivered, how its join() ended; the hooks that run
// at every fork; ending the children of a batch; the exit handling.
//
// A record belongs to one Pcall and is made by its first start(). It knows a
// child only through what the fork told it: the pid and process-class state
// of every process that start() forked, read right after the fork from the
// process object that forked it. Everything it does to those processes
// (signals, reaping) happens at the operating-system level, checked against
// the kernel's view of our children just before (a pid that is not a living
// or unreaped child of ours is never signalled), and keeps the process
// class's own state consistent (a child reaped here gets its returncode, so
// is_alive() and join() agree). It never calls the child objects: doubles and
// failing collaborators see exactly the calls the methods make.
#pragma once

#include "runtime.h"

#include <sys/types.h>

#include <cstddef>
#include <deque>
#include <string>
#include <vector>

namespace forkline {

// One position of the batch, as start() found it.
struct Slot {
    pid_t pid = 0;         // 0: start() forked no process for this position
    rt::Ref child_ref;     // weak references to the process object that forked it
    rt::Ref popen_ref;     // and to its process-class handle (pid, returncode), which
                           // lives as long as the process is unreaped
    rt::Ref index;         // the child's _index when it was started
    bool daemon = false;   // daemonic processes are ended, not waited for, at exit
    bool delivered = false;

    // The objects themselves, or empty once they have been freed.
    rt::Ref child() const;
    rt::Ref popen() const;
};

// How the batch's last join() (or start()) ended.
enum class Phase {
    Started,      // running, no join() has ended yet: children may finish at exit
    TimedOut,     // join() timed out: children were asked to stop, not reaped
    Interrupted,  // join() was left by an exception of somebody else's: children ended
    StartFailed,  // start() raised: the children it forked were ended
    Reported,     // a join() gave the outcome
};

struct Batch {
    pid_t owner = 0;           // the process that started it
    PyObject* key = nullptr;   // the Pcall (not owned; null once it is freed)
    rt::Ref key_ref;           // weak reference to the Pcall, whose callback forgets the record
    int reader = -1;           // the channel: the parent's end
    int writer = -1;           // the children's end (kept for a later start())
    rt::Ref queue_ref;         // weak reference to the Pcall's queue at its first start():
                               // the children of that queue (a plain SimpleQueue) use the channel
    std::vector<Slot> slots;
    rt::Ref pending;           // list: messages read and not reported yet
    std::string carry;         // bytes of a frame read in part
    std::deque<int> fds;       // descriptors received, waiting for their frames
    std::size_t lost_fds = 0;  // descriptors the kernel could not hand over
    rt::Ref dumps, loads;      // the pickling the queue would use, taken at start()
    Phase phase = Phase::Started;
    bool receiving = false;    // a receive() is under way

    // True when every position that has a process was forked as the
    // module's own scheme does it: the child's _index is its position.
    bool own_indexes() const;
    // The slot of position `i` when it has a process of ours, else null.
    Slot* forked(std::size_t i);
    // The queue, or empty once it has been freed.
    rt::Ref queue() const;
};

// The record of a Pcall that has been started, or null.
Batch* find(PyObject* pcall);

// The record for a start() of `pcall`, made on the first: with its channel
// open. Raises ChildProcessError when SIGCHLD is ignored (the exits of the
// children would be reaped by the kernel, out of the process class's reach).
Batch& prepare(PyObject* globals, PyObject* pcall);

// Around one child.start(): tells the fork hooks which batch and position a
// fork made by this thread belongs to. done() records the process when one
// was forked.
class Forking {
public:
    Forking(Batch& batch, std::size_t position, std::size_t remaining);
    ~Forking();
    Forking(const Forking&) = delete;
    Forking& operator=(const Forking&) = delete;
    void done(PyObject* child);

private:
    Batch& batch_;
    std::size_t position_;
};

// Ends every process of the batch that still runs: a termination request, a
// grace of `grace` seconds, SIGKILL to what is left, and reaping of all. The
// pending Python error, if any, is kept as it is. `daemonic_only` limits it
// to the daemonic children, `only` to the given positions.
void end_children(Batch& batch, double grace, bool daemonic_only = false,
                  const std::vector<std::size_t>* only = nullptr);

// Grace given to children asked to stop before they are killed.
inline constexpr double kEndGrace = 1.0;

// How the process of a slot stands for the kernel.
enum class Status { Running, Exited, Gone };
Status status_of(const Slot& slot);

// The exit code the process class has collected for a slot (None if not yet).
rt::Ref returncode(const Slot& slot);

// In a forked child of a batch: its record and position, else null.
struct ChildOf {
    Batch* batch = nullptr;
    std::size_t slot = 0;
    pid_t pid = 0;  // the child itself: a process forked by its target is not it
};
const ChildOf& child_of();

// Registers the fork hooks (module initialisation).
void install_fork_hooks();

}  // namespace forkline
