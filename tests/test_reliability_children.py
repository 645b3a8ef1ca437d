"""Faults in children: what the caller of a batch sees when a child dies,
crashes, cannot send its result, outlives the time-out or forks children of
its own; and that no child of ours is left running or unreaped where join()
reaps.

A child that ends without putting its message contributes nothing: results
then has fewer items, still in child order. On the time-out path join() only
asks the children to terminate; it reaps nobody.
"""

import ctypes
import faulthandler
import gc
import glob
import logging
import multiprocessing
import os
import pickle
import random
import re
import resource
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from batch_cleanup import assert_reaped, stop

from tavrix.async_ import forkline
from tavrix.async_.exceptions import RemoteError
from tavrix.async_.forkline import Pcall

pytestmark = pytest.mark.timeout(120)

FORK = multiprocessing.get_context("fork")
WAIT = 20  # generous bound for events and joins, so a fault fails instead of hanging


def proc_state(pid):
    """The kernel's state letter for `pid` ('Z' for a zombie), or None once it is gone."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0]
    except FileNotFoundError:
        return None


def wait_for_state(pid, states, bound=WAIT):
    deadline = time.monotonic() + bound
    while time.monotonic() < deadline:
        if proc_state(pid) in states:
            return True
        time.sleep(0.02)
    return False


# ---------------------------------------------------------------------------
# Children that end without a message
# ---------------------------------------------------------------------------

class Unpicklable(Exception):
    """An exception that carries a lock, so the wrapped failure cannot be pickled."""

    def __init__(self):
        super().__init__(threading.Lock())


def fault_target(index, fault, started):
    if index != 1:
        return index * 10
    started.set()
    if fault == "sigkill":
        time.sleep(60)  # killed from outside while running
    elif fault == "segfault":
        faulthandler.disable()
        ctypes.string_at(0)
    elif fault == "os_exit":
        os._exit(7)
    elif fault == "sys_exit":
        sys.exit(3)
    elif fault == "keyboard_interrupt":
        raise KeyboardInterrupt
    elif fault == "unpicklable_return":
        return threading.Lock()
    elif fault == "unpicklable_exception":
        raise Unpicklable()
    raise AssertionError(fault)


# What join() raises for child 1, by the way that child went wrong: a child
# that ended without its message is a ChildProcessError at its index, and
# what cannot cross the process boundary arrives as a failure naming it.
@pytest.mark.parametrize("fault, exitcode, error, message", [
    ("sigkill", -signal.SIGKILL, ChildProcessError, r"child 1 \(pid {pid}\) was killed by SIGKILL without"),
    ("segfault", "crash", ChildProcessError, r"child 1 \(pid {pid}\) was killed by SIG(SEGV|ABRT) without"),
    ("os_exit", 7, ChildProcessError, r"child 1 \(pid {pid}\) exited with code 7 without"),
    ("sys_exit", 3, ChildProcessError, r"child 1 \(pid {pid}\) exited with code 3 without"),
    ("keyboard_interrupt", 1, ChildProcessError, r"child 1 \(pid {pid}\) exited with code 1 without"),
    ("unpicklable_return", 0, pickle.PicklingError,
     r"the result of type _thread.lock of child 1 cannot be sent to the parent: TypeError: cannot pickle"),
    ("unpicklable_exception", 0, RemoteError, r"test_reliability_children.Unpicklable: <unlocked _thread.lock"),
])
def test_child_without_message_is_a_failure_at_its_index(fault, exitcode, error, message):
    started = FORK.Event()
    batch = Pcall(fault_target, iargs=[(i, fault, started) for i in range(3)])
    try:
        batch.start()
        assert started.wait(WAIT)
        if fault == "sigkill":
            os.kill(batch.pids[1], signal.SIGKILL)
        with pytest.raises(error) as raised:
            batch.join()
        assert re.match(message.format(pid=batch.pids[1]), str(raised.value)), str(raised.value)
        if error is ChildProcessError:
            assert str(raised.value).endswith("without sending its result; target=fault_target")
        else:
            assert "Traceback (most recent call last)" in str(raised.value.__cause__)  # the child's, as text
        assert batch.results is None
        codes = [child.exitcode for child in batch._processes]
        assert codes[0] == codes[2] == 0 and (codes[1] < 0 if exitcode == "crash" else codes[1] == exitcode)
        assert_reaped(batch.pids)
        assert batch.livings == ()
    finally:
        stop(batch)


def test_lowest_index_decides_across_kinds_and_delivered_children_stay_accounted():
    batch = Pcall([os._exit, int], iargs=[(0,), ("x",)])
    try:
        batch.start()
        with pytest.raises(ChildProcessError, match=r"^child 0 .* exited with code 0 .*target=_exit$"):
            batch.join()  # child 1's ValueError has a higher index
        with pytest.raises(ChildProcessError, match=r"^child 0 "):
            batch.join()  # still missing; child 1 delivered earlier
    finally:
        stop(batch)
    batch = Pcall(abs, iargs=[(-1,), (-2,)])
    batch.start()
    batch.join()
    batch.join()
    assert batch.results == ()


def test_kill_from_another_thread_while_join_waits():
    """kill() during a polling cycle: join() reports the killed child, after reaping both."""
    started = FORK.Event()

    def target(i):
        if i == 0:
            return "quick"
        started.set()
        time.sleep(60)

    batch = Pcall(target, iargs=[(0,), (1,)])
    try:
        batch.start()
        assert started.wait(WAIT)
        killer = threading.Timer(0.3, batch.kill)
        killer.start()
        with pytest.raises(ChildProcessError, match=r"^child 1 .* was killed by SIGKILL"):
            batch.join()
        killer.join(WAIT)
        assert batch._processes[1].exitcode == -signal.SIGKILL
        assert_reaped(batch.pids)
    finally:
        stop(batch)


# ---------------------------------------------------------------------------
# No wait without a bound
# ---------------------------------------------------------------------------

def run_script(code, bound=20):
    """Runs `code` in a fresh interpreter; fails if it is still running after `bound` seconds."""
    try:
        return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                              timeout=bound)
    except subprocess.TimeoutExpired:
        pytest.fail(f"still running after {bound} seconds")


class SlowToPickle:
    """Signals when the child starts sending it, then takes long to pickle."""

    def __init__(self, started):
        self.started = started

    def __reduce__(self):
        self.started.set()
        time.sleep(60)
        return bytes, (b"x" * (8 << 20),)


@pytest.mark.parametrize("stop_signal, timeout", [(signal.SIGKILL, None), (signal.SIGSTOP, 1)])
def test_child_stopped_while_sending_never_blocks_join(stop_signal, timeout):
    started = FORK.Event()
    batch = Pcall([lambda: SlowToPickle(started), lambda: b"y" * (4 << 20)], timeout=timeout, iargs=[(), ()])
    try:
        batch.start()
        assert started.wait(WAIT)
        os.kill(batch.pids[0], stop_signal)
        begun = time.monotonic()
        with pytest.raises(TimeoutError if timeout else ChildProcessError):
            batch.join()
        assert time.monotonic() - begun < 2
    finally:
        stop(batch)


def big_result_over_the_file_size_limit(on_limit):
    resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, resource.RLIM_INFINITY))
    signal.signal(signal.SIGXFSZ, on_limit)
    return b"x" * (8 << 20)


@pytest.mark.parametrize("on_limit, error, message", [
    (signal.SIG_DFL, ChildProcessError, r"child 0 .* was killed by SIGXFSZ without sending its result"),
    (signal.SIG_IGN, pickle.PicklingError, r"the result of type builtins.bytes of child 0 cannot be sent to the "
                                           r"parent: OSError: \[Errno 27\] File too large"),
])
def test_kill_during_a_large_send(on_limit, error, message):
    """A child killed while it writes its result out (by SIGXFSZ, at its file size limit) or unable to
    write it: join() ends at once with the child's failure; a half-written spill file goes with the batch."""
    batch = Pcall([big_result_over_the_file_size_limit, abs], timeout=10, iargs=[(on_limit,), (-1,)])
    try:
        batch.start()
        with pytest.raises(error, match=message):
            batch.join()
        assert not glob.glob(f"/dev/shm/tavrix-forkline-{os.getpid()}-*")
        assert_reaped(batch.pids)
    finally:
        stop(batch)


@pytest.mark.parametrize("ending", ["exception-before-join", "parent-killed"])
def test_children_of_an_unjoined_batch_end(ending, tmp_path):
    """Neither an exception before join() nor a parent killed outright leaves a child waiting on its
    result, even with the result pipe full: the pipe is cut to one page, so most of the 40 children
    find it full."""
    pids = tmp_path / "pids"
    done = run_script(f"""
        import fcntl, os, signal, time
        from tavrix.async_.forkline import Pcall, multiprocessing

        go = multiprocessing.Event()

        def result(i):
            go.wait()
            return bytes(900) if i % 2 else bytes(100 << 10)

        batch = Pcall(result, iargs=[(i,) for i in range(40)])
        batch.start()
        fcntl.fcntl(batch._queue._writer.fileno(), fcntl.F_SETPIPE_SZ, 4096)
        go.set()
        time.sleep(0.5)
        with open({str(pids)!r}, "w") as f:
            f.write(" ".join(map(str, batch.pids)))
        if {ending!r} == "parent-killed":
            os.kill(os.getpid(), signal.SIGKILL)
        raise RuntimeError("before join")
    """)
    assert "RuntimeError: before join" in done.stderr or done.returncode == -signal.SIGKILL
    children = [int(p) for p in pids.read_text().split()]
    deadline = time.monotonic() + WAIT
    while any(proc_state(p) not in (None, "Z") for p in children) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert [p for p in children if proc_state(p) not in (None, "Z")] == []


def test_forking_target_sends_one_message():
    def fork_and_return():
        pid = os.fork()
        if pid == 0:
            return "grandchild"
        os.waitpid(pid, 0)
        return "child"

    assert Pcall.pcall(fork_and_return, iargs=[(), ()]) == ("child", "child")


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


def test_a_batch_keeps_nothing_once_it_goes():
    """Large results leave no file anywhere, and a batch's descriptors go with
    it: joined, timed out, or dropped unjoined."""
    Pcall.pcall(abs, iargs=[(1,)])
    gc.collect()
    before, shm = open_descriptors(), set(os.listdir("/dev/shm"))
    assert Pcall.pcall(bytes, iargs=[(1 << 20,), (10,)]) == (bytes(1 << 20), bytes(10))
    batch = Pcall([bytes, time.sleep], timeout=0.5, iargs=[(1 << 20,), (60,)])
    batch.start()
    pytest.raises(TimeoutError, batch.join)
    stop(batch)
    del batch
    batch = Pcall(bytes, iargs=[(1 << 20,)] * 3)
    batch.start()
    pids = batch.pids
    del batch  # dropped unjoined
    assert all(wait_for_state(pid, {"Z", None}) for pid in pids)
    FORK.active_children()  # multiprocessing reaps them and lets them go
    gc.collect()
    assert open_descriptors() == before
    assert not {name for name in set(os.listdir("/dev/shm")) - shm if "forkline" in name}


# ---------------------------------------------------------------------------
# Large results
# ---------------------------------------------------------------------------

def payload(seed, size):
    return random.Random(seed).randbytes(size)


@pytest.mark.parametrize("sizes", [
    [64 << 20],
    [16 << 20, 1, 16 << 20],
], ids=["one-64MiB", "two-16MiB-and-a-byte"])
def test_large_results_arrive_whole(sizes):
    """Large results pass the pipe while join() polls, with nothing lost or mixed up."""
    batch = Pcall(payload, iargs=list(enumerate(sizes)))
    try:
        batch.start()
        batch.join()
        assert len(batch.results) == len(sizes)
        for seed, (size, result) in enumerate(zip(sizes, batch.results)):
            assert len(result) == size
            assert result == payload(seed, size)
        assert_reaped(batch.pids)
    finally:
        stop(batch)


# ---------------------------------------------------------------------------
# The time-out path only terminates
# ---------------------------------------------------------------------------

def slow_target(i, ignore_term, started):
    if i == 1:
        return "done"
    if ignore_term:
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
    started.set()
    time.sleep(60)


@pytest.mark.parametrize("ignore_term", [True, False], ids=["ignores-SIGTERM", "obeys-SIGTERM"])
def test_time_out_terminates_without_reaping(ignore_term, caplog):
    started = FORK.Event()
    batch = Pcall(slow_target, timeout=0.5, iargs=[(0, ignore_term, started), (1, ignore_term, started)])
    caplog.set_level(logging.ERROR, logger=forkline.__name__)
    try:
        batch.start()
        assert started.wait(WAIT)
        pid = batch.pids[0]
        with pytest.raises(TimeoutError, match="^Not all child processes finished running.$"):
            batch.join()
        assert batch.results is None
        assert not hasattr(batch, "stoptime")
        report = [r.getMessage() for r in caplog.records if r.name == forkline.__name__]
        assert len(report) == 1
        assert report[0].startswith("The following processes are still running after 0.5 seconds:\n")
        assert f"    PID-{pid}: target=slow_target, args=(0, {ignore_term}, " in report[0]
        if ignore_term:
            # asked to terminate, it goes on running until someone kills it
            time.sleep(0.3)
            assert proc_state(pid) not in (None, "Z")
            assert batch._processes[0].is_alive()
        else:
            # it ends on the request, but join() did not reap it: a zombie until joined
            assert wait_for_state(pid, {"Z"})
        batch.kill()  # skips a child whose exit has been collected
        for child in batch._processes:
            child.join(WAIT)
        expected = -signal.SIGKILL if ignore_term else -signal.SIGTERM
        assert batch._processes[0].exitcode == expected
        assert_reaped(batch.pids)
    finally:
        stop(batch)


# ---------------------------------------------------------------------------
# Children that are parents themselves
# ---------------------------------------------------------------------------

def grandchild(i, fail):
    if fail and i == 1:
        raise LookupError(f"grandchild {i}")
    return (i, os.getpid(), os.getppid())


def parent_child(n, fail):
    """Runs a batch of its own, then reports whether any child is left to reap."""
    results = Pcall.pcall(grandchild, iargs=[(i, fail) for i in range(n)])
    try:
        os.waitpid(-1, os.WNOHANG)
        left = True
    except ChildProcessError:
        left = False
    return results, os.getpid(), left


@pytest.mark.parametrize("fail", [False, True], ids=["grandchildren-succeed", "a-grandchild-fails"])
def test_child_running_its_own_batch(fail):
    batch = Pcall(parent_child, iargs=[(2, fail), (3, fail)])
    try:
        batch.start()
        if fail:
            # the grandchild's failure is raised in its parent, reported as that child's failure
            with pytest.raises(LookupError, match="grandchild 1"):
                batch.join()
            assert_reaped(batch.pids)
            return
        batch.join()
        assert_reaped(batch.pids)
        assert len(batch.results) == 2
        grandchild_pids = []
        for n, (child_pid, (results, pid, left)) in zip((2, 3), zip(batch.pids, batch.results)):
            assert pid == child_pid
            assert not left  # the child's own join() reaped every grandchild
            assert [r[0] for r in results] == list(range(n))
            assert all(r[2] == child_pid for r in results)
            grandchild_pids += [r[1] for r in results]
        assert len(set(grandchild_pids)) == 5
        assert not any(proc_state(pid) for pid in grandchild_pids)
    finally:
        stop(batch)


def test_no_children_left_after_the_faults():
    """After everything above, this process has no child that multiprocessing knows of."""
    assert FORK.active_children() == []
