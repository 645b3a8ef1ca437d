"""Load: a wide batch, many consecutive batches, many threads and processes
contending for one lock, and a lock held by another thread when a child is
forked.
"""

import logging
import multiprocessing
import os
import threading
import time
import types

import pytest

import tavrix.async_.synchronize as sync
from batch_cleanup import assert_reaped, stop

from tavrix.async_ import forkline
from tavrix.async_.forkline import Pcall

pytestmark = pytest.mark.timeout(300)

FORK = multiprocessing.get_context("fork")
WAIT = 30


def open_fds():
    return len(os.listdir("/proc/self/fd"))


@pytest.fixture
def fast_poll(monkeypatch):
    """join() reads the module attribute `time` at every call: a short pause
    keeps hundreds of batches quick without changing what they do."""
    real_sleep = time.sleep
    monkeypatch.setattr(forkline, "time", types.SimpleNamespace(time=time.time, sleep=lambda s: real_sleep(0.005)))


def double(x):
    return 2 * x


# ---------------------------------------------------------------------------
# Batches
# ---------------------------------------------------------------------------

def test_256_children_in_one_batch():
    batch = Pcall(double, iargs=[(i,) for i in range(256)])
    try:
        batch.start()
        pids = batch.pids
        assert len(set(pids)) == 256 and None not in pids
        batch.join()
        assert batch.results == tuple(2 * i for i in range(256))
        assert_reaped(pids)
        assert batch.livings == ()
    finally:
        stop(batch)


def mixed(i):
    if i % 3 == 1:
        raise KeyError(i)
    if i % 3 == 2:
        os._exit(0)  # no message
    return i


def test_200_consecutive_batches(fast_poll):
    """Every batch gives its own answer, and nothing piles up between batches:
    no child left, no descriptor kept once a batch is dropped."""
    baseline = None
    for n in range(200):
        if n == 10:
            baseline = open_fds()
        batch = Pcall(mixed, iargs=[(3 * n,), (3 * n + 2,)] if n % 2 else [(3 * n + 1,), (3 * n,)])
        try:
            batch.start()
            pids = batch.pids
            if n % 2:
                with pytest.raises(ChildProcessError, match=r"^child 1 .* exited with code 0 "):
                    batch.join()
            else:
                with pytest.raises(KeyError) as raised:
                    batch.join()
                assert raised.value.args == (3 * n + 1,)
            assert_reaped(pids)
        finally:
            stop(batch)
        del batch
    assert FORK.active_children() == []
    assert open_fds() <= baseline + 2


# ---------------------------------------------------------------------------
# One lock, many threads
# ---------------------------------------------------------------------------

def make_counter_class(style, pause):
    """A counter whose bump() is a read-modify-write that calls pause(value) between the read and the write."""

    def bump(self):
        v = self.count
        pause(v)
        self.count = v + 1

    def __init__(self):
        if style == "Lockable":
            sync.Lockable.__init__(self)
        self.count = 0

    if style == "locked":
        return type("Counter", (), {"__init__": __init__, "bump": sync.locked(bump)})
    if style == "Lockable":
        return type("Counter", (sync.Lockable,), {"__init__": __init__, "bump": sync.Lockable.locked(bump)})
    if style == "LockableMeta":
        return sync.LockableMeta("Counter", (), {"__init__": __init__, "bump": bump})
    return type("Counter", (), {"__init__": __init__, "bump": bump})


def hammer(counter, threads, calls):
    go = threading.Barrier(threads)

    def worker():
        go.wait()
        for _ in range(calls):
            counter.bump()

    workers = [threading.Thread(target=worker) for _ in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join(WAIT * 4)
    assert not any(w.is_alive() for w in workers)


class Waiters(logging.Handler):
    """Notes the first "Waiting for lock" warning: another thread has met the lock held."""

    def __init__(self):
        super().__init__()
        self.seen = threading.Event()

    def emit(self, record):
        self.seen.set()


@pytest.mark.parametrize("style", ["locked", "Lockable", "LockableMeta"])
def test_8_threads_20000_locked_calls_each(style, caplog):
    caplog.set_level(logging.WARNING, logger=sync.__name__)
    waiters = Waiters()
    logging.getLogger(sync.__name__).addHandler(waiters)

    def pause(v):
        if v == 0:
            # The first bump keeps the lock until another thread waits for it,
            # so that contention is certain, not a matter of scheduling.
            assert waiters.seen.wait(WAIT)
        elif v % 50 == 0:
            time.sleep(0)  # lets another thread in, between the read and the write

    try:
        counter = make_counter_class(style, pause)()
        hammer(counter, 8, 20_000)
    finally:
        logging.getLogger(sync.__name__).removeHandler(waiters)
    assert counter.count == 160_000
    waits = [r for r in caplog.records if r.name == sync.__name__]
    assert waits
    assert all(r.levelno == logging.WARNING and r.getMessage().startswith("Waiting for lock on ") for r in waits)
    assert counter.__lock__.acquire(block=False)  # left free
    counter.__lock__.release()


def test_the_same_load_without_a_lock_loses_updates():
    """Control: the workload above races when nothing locks it. The race is
    forced: all 8 threads read the first value before any of them writes."""
    all_read = threading.Barrier(8)

    def pause(v):
        if v == 0:
            all_read.wait(WAIT)

    counter = make_counter_class("none", pause)()
    hammer(counter, 8, 2_000)
    assert counter.count <= 16_000 - 7


# ---------------------------------------------------------------------------
# One lock, many processes
# ---------------------------------------------------------------------------

def make_shared_counter_class(style):
    """A counter in shared memory, bumped under the instance lock by forked children."""

    def bump(self):
        v = self.shared.value
        if v % 16 == 0:
            os.sched_yield()
        self.shared.value = v + 1

    def read(self):
        return self.shared.value

    def bump_many(self, n):
        for _ in range(n):
            self.bump()
        return n

    def __init__(self):
        if style == "Lockable":
            sync.Lockable.__init__(self)
        self.shared = FORK.RawValue("q", 0)

    if style == "locked":
        body = {"bump": sync.locked(bump), "read": sync.locked(read)}
        return type("Shared", (), {"__init__": __init__, "bump_many": bump_many, **body})
    if style == "Lockable":
        body = {"bump": sync.Lockable.locked(bump), "read": sync.Lockable.locked(read)}
        return type("Shared", (sync.Lockable,), {"__init__": __init__, "bump_many": bump_many, **body})
    return sync.LockableMeta("Shared", (), {"__init__": __init__, "bump": bump, "read": read,
                                            "bump_many": sync.LockableMeta.ignore(bump_many)})


@pytest.mark.parametrize("style", ["locked", "Lockable", "LockableMeta"])
def test_4_processes_5000_locked_increments_each(style):
    counter = make_shared_counter_class(style)()
    assert counter.read() == 0  # the first locked call makes the lock, before any fork
    batch = Pcall(counter.bump_many, timeout=240, iargs=[(5_000,)] * 4)
    try:
        batch.start()
        batch.join()
        assert batch.results == (5_000,) * 4
        assert counter.read() == 20_000
        assert_reaped(batch.pids)
    finally:
        stop(batch)


# ---------------------------------------------------------------------------
# A lock held at the moment of a fork
# ---------------------------------------------------------------------------

class Guarded(sync.Lockable):
    def __init__(self):
        super().__init__()
        self.entered = FORK.RawValue("q", 0)

    def __str__(self):
        return "<guarded>"

    @sync.Lockable.locked
    def hold(self, holding, leave):
        holding.set()
        assert leave.wait(WAIT)

    @sync.Lockable.locked
    def enter(self):
        self.entered.value += 1
        return os.getpid()


# Forking while another thread runs is the point here; from 3.12 the interpreter warns of it.
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_lock_held_by_another_thread_when_a_child_is_forked():
    """The child inherits a taken lock: it waits for the parent's thread to let go, then runs."""
    obj = Guarded()
    holding, leave = threading.Event(), threading.Event()
    holder = threading.Thread(target=obj.hold, args=(holding, leave))
    holder.start()
    batch = Pcall(obj.enter, timeout=WAIT)
    try:
        assert holding.wait(WAIT)
        batch.start()  # forked while the other thread holds the lock
        time.sleep(0.5)
        assert obj.entered.value == 0  # still excluded
        assert batch._processes[0].is_alive()
        leave.set()
        holder.join(WAIT)
        batch.join()
        assert batch.results == (batch.pids[0],)
        assert obj.entered.value == 1
        assert obj.acquire(block=False)  # free again in the parent
        obj.release()
        assert_reaped(batch.pids)
    finally:
        leave.set()
        holder.join(WAIT)
        stop(batch)


def test_lock_held_by_the_forking_thread_excludes_its_child():
    """A child forked inside a locked call waits for its parent's lock: with a time-out the
    batch ends in TimeoutError instead of waiting for ever."""
    obj = Guarded()

    @sync.Lockable.locked
    def run_batch_inside(self):
        batch = Pcall(self.enter, timeout=0.5)
        batch.start()
        try:
            batch.join()
        finally:
            stop(batch)
        return batch

    with pytest.raises(TimeoutError):
        run_batch_inside(obj)
    assert obj.entered.value == 0
    assert obj.acquire(block=False)
    obj.release()
    assert FORK.active_children() == []
