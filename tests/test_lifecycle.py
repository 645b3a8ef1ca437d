"""The lifecycle of a batch outside the success path: an interrupted join(), a
parent that dies, a start() that fails partway, exits that must not wait for
children, SIGCHLD handled elsewhere, and results that must stay delivered.

Each case is a script of its own, run under a hard wall bound. It prints its
facts as JSON lines, the pids of its batch first. While it runs this process
is a child subreaper, so the batch's orphans come to it: after the script has
gone, none of them may still run, and whatever is left is killed and reaped.
"""

import collections
import ctypes
import json
import os
import resource
import signal
import subprocess
import sys
import textwrap
import time

import pytest

pytestmark = pytest.mark.timeout(120)

TESTS = os.path.dirname(os.path.abspath(__file__))
BOUND = 15      # wall bound of a script; its children sleep far longer
LINGER = 3      # how long a batch's children may take to go after their script
EXIT_BOUND = 5  # from the script's last statement to its exit
PR_SET_CHILD_SUBREAPER = 36
WRITE = "1"     # write(2) on x86-64: the script printing its pids

PRELUDE = f"""
import json, os, signal, sys, threading, time
sys.path.insert(0, {TESTS!r})
from batch_cleanup import bound_this_process
bound_this_process(memory=256 << 20, cpu_seconds=30)
from tavrix.async_.forkline import Pcall, multiprocessing
signal.signal(signal.SIGINT, signal.default_int_handler)  # also when started with SIGINT ignored

def say(**facts):
    print(json.dumps(facts), flush=True)

def unreaped(pids):
    # The pids still running or left a zombie of ours (looked at without reaping).
    left = []
    for pid in pids:
        try:
            os.waitid(os.P_PID, pid, os.WEXITED | os.WNOHANG | os.WNOWAIT)
        except ChildProcessError:
            continue
        left.append(pid)
    return left

def wait_state(pid, states):
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        try:
            with open(f"/proc/{{pid}}/stat") as f:
                if f.read().rsplit(")", 1)[1].split()[0] in states:
                    return
        except FileNotFoundError:
            return
        time.sleep(0.02)

def nap(seconds, value=None):
    time.sleep(seconds)
    return value
"""

Run = collections.namedtuple("Run", "facts returncode hung left exit_seconds stderr")


def stat(pid):
    """(state, ppid, process group) of `pid`, or None once it is gone."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except (FileNotFoundError, ProcessLookupError):
        return None
    return fields[0], int(fields[1]), int(fields[2])


def running(pids):
    """The pids that still run as children of ours (orphans handed to us): a reaped
    pid taken by an unrelated process never counts."""
    return [pid for pid in pids if (s := stat(pid)) and s[0] != "Z" and s[1] == os.getpid()]


def clean_up(group):
    """Kills and reaps every process of the script's group that came to us."""
    for _ in range(5):
        ours = [int(e) for e in os.listdir("/proc") if e.isdigit()]
        ours = [pid for pid in ours if (s := stat(pid)) and s[1] == os.getpid() and s[2] == group]
        if not ours:
            return
        for pid in ours:
            try:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
            except (ProcessLookupError, ChildProcessError):
                pass


def facts_of(path):
    facts = {}
    for line in path.read_text().splitlines():
        try:
            facts.update(json.loads(line))
        except ValueError:
            pass  # a line still being written
    return facts


def wait_blocked(pid, deadline):
    """Waits until the script's main thread sleeps in a system call other than the write
    of its pids: it has then gone on into join(), where a signal sent now lands."""
    while time.monotonic() < deadline:
        try:
            with open(f"/proc/{pid}/syscall") as f:
                call = f.read().split()[0]
        except OSError:
            return
        if call not in ("running", WRITE):
            return
        time.sleep(0.01)


@pytest.fixture
def run(tmp_path):
    libc = ctypes.CDLL(None, use_errno=True)
    assert libc.prctl(PR_SET_CHILD_SUBREAPER, ctypes.c_ulong(1), 0, 0, 0) == 0

    def run_script(body, bound=BOUND, send=None):
        out, err = tmp_path / "out", tmp_path / "err"
        with open(out, "w") as o, open(err, "w") as e:
            proc = subprocess.Popen([sys.executable, "-c", PRELUDE + textwrap.dedent(body)], stdout=o, stderr=e,
                                    stdin=subprocess.DEVNULL, start_new_session=True)
        deadline = time.monotonic() + bound
        try:
            if send is not None:
                while "pids" not in facts_of(out) and proc.poll() is None and time.monotonic() < deadline:
                    time.sleep(0.02)
                wait_blocked(proc.pid, deadline)
                if proc.poll() is None:
                    os.kill(proc.pid, send)
            try:
                proc.wait(max(0.0, deadline - time.monotonic()))
                hung = False
            except subprocess.TimeoutExpired:
                hung = True
                proc.kill()
                proc.wait()
            ended = time.monotonic()
            facts = facts_of(out)
            pids = [pid for pid in facts.get("pids", []) if pid]
            left = running(pids)
            while left and time.monotonic() < ended + LINGER:
                time.sleep(0.05)
                left = running(pids)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
            clean_up(proc.pid)
        exit_seconds = ended - facts["at"] if "at" in facts else None
        return Run(facts, proc.returncode, hung, left, exit_seconds, err.read_text()[-4000:])

    yield run_script
    libc.prctl(PR_SET_CHILD_SUBREAPER, ctypes.c_ulong(0), 0, 0, 0)


def shown(done):
    """The script's facts (its pids counted, not listed) and the end of its stderr, for a failure."""
    facts = {k: (f"{len(v)} pids" if k == "pids" else v) for k, v in done.facts.items()}
    return f"exit {done.returncode}; {facts}\n{done.stderr}"


def assert_clean(done):
    """The script told its batch's pids, ended within its bound and left none of them running."""
    assert "pids" in done.facts, shown(done)
    assert not done.hung, f"still running at the wall bound; {shown(done)}"
    assert done.left == [], f"{len(done.left)} left running; {shown(done)}"


# ---------------------------------------------------------------------------

@pytest.mark.parametrize("sig, interrupt, arm, send, code", [
    ("SIGALRM", "Alarm('test time-out')", "signal.setitimer(signal.ITIMER_REAL, 1)", None, 1),
    ("SIGINT", "KeyboardInterrupt()", "", signal.SIGINT, -signal.SIGINT),
], ids=["alarm-handler-raises", "parent-only-SIGINT"])
def test_interrupted_join_ends_the_batch(run, sig, interrupt, arm, send, code):
    done = run(f"""
        class Alarm(Exception):
            pass

        interrupt = {interrupt}

        def on_signal(*_):
            raise interrupt

        signal.signal(signal.{sig}, on_signal)
        batch = Pcall(nap, iargs=[(60,)] * 3)
        batch.start()
        say(pids=batch.pids)
        {arm}
        try:
            batch.join()
        except BaseException as error:
            say(same=error is interrupt, unreaped=unreaped(batch.pids), at=time.monotonic())
            raise
    """, send=send)
    assert_clean(done)
    assert done.facts.get("same") is True and done.facts["unreaped"] == [], shown(done)
    assert done.returncode == code and done.exit_seconds < EXIT_BOUND, shown(done)


@pytest.mark.parametrize("starter, n, seconds, send", [
    ("main", 8, 30, signal.SIGTERM),
    ("main", 8, 30, signal.SIGKILL),
    ("thread", 3, 30, signal.SIGKILL),
    ("thread", 3, 1, None),  # joined by the main thread after the starter has gone
], ids=["SIGTERM", "SIGKILL", "thread-started-then-SIGKILL", "thread-started-joined-later"])
def test_children_end_with_their_parent_and_not_before(run, starter, n, seconds, send):
    done = run(f"""
        batch = Pcall(nap, iargs=[({seconds}, i) for i in range({n})])
        if {starter!r} == "thread":
            starter = threading.Thread(target=batch.start)
            starter.start()
            starter.join()
            time.sleep(1.5)
        else:
            batch.start()
        say(pids=batch.pids)
        batch.join()
        say(results=batch.results)
    """, send=send)
    assert_clean(done)
    if send is None:
        assert done.returncode == 0 and done.facts.get("results") == list(range(n)), shown(done)
    else:
        assert done.returncode == -send, shown(done)


@pytest.mark.parametrize("soft, hard, n, seconds", [
    (256, 256, 600, 30),
    (1024, None, 1000, 0),  # hard: at least 4096; the soft limit is raised as the batch needs
], ids=["fails-partway", "soft-limit-raised"])
def test_start_failing_partway_leaves_nothing_running(run, soft, hard, n, seconds):
    if hard is None:
        hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
        if hard != resource.RLIM_INFINITY and hard < 4096:
            if os.geteuid() != 0:
                pytest.skip(f"the hard limit of open files is {hard}")
            hard = 4096
    done = run(f"""
        import errno, resource
        resource.setrlimit(resource.RLIMIT_NOFILE, ({soft}, {hard}))
        batch = Pcall(nap, iargs=[({seconds}, i) for i in range({n})])
        try:
            batch.start()
        except OSError as error:
            started = [pid for pid in batch.pids if pid is not None]
            say(pids=started, error=errno.errorcode.get(error.errno), unreaped=unreaped(started),
                at=time.monotonic())
        else:
            say(pids=batch.pids)
            batch.join()
            say(results=batch.results == tuple(range({n})))
    """, bound=30)
    assert_clean(done)
    if seconds:
        assert done.facts.get("error") == "EMFILE" and done.facts["unreaped"] == [], shown(done)
        assert done.exit_seconds < EXIT_BOUND, shown(done)
    else:
        assert done.facts.get("results") is True, shown(done)


@pytest.mark.parametrize("timed_out, body", [
    (False, """
    batch = Pcall(nap, iargs=[(60,)] * 3)
    for child in batch._processes:
        child.daemon = True
    batch.start()
    say(pids=batch.pids, at=time.monotonic())
    """),
    (True, """
    ready = multiprocessing.Event()

    def stubborn():
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        ready.set()
        time.sleep(60)

    batch = Pcall([stubborn, nap], timeout=1, iargs=[(), (60,)])
    batch.start()
    say(pids=batch.pids)
    ready.wait(10)
    try:
        batch.join()
    except TimeoutError:
        say(timed_out=True, at=time.monotonic())
    """),
    (True, """
    batch = Pcall([lambda: os.kill(os.getpid(), signal.SIGSTOP), nap], timeout=1, iargs=[(), (60,)])
    batch.start()
    say(pids=batch.pids)
    wait_state(batch.pids[0], "T")
    try:
        batch.join()
    except TimeoutError:
        say(timed_out=True, at=time.monotonic())
    """),
], ids=["daemonic-never-joined", "timed-out-child-ignores-SIGTERM", "timed-out-child-stopped"])
def test_no_exit_waits_for_children(run, timed_out, body):
    done = run(body)
    assert_clean(done)
    assert done.returncode == 0 and "at" in done.facts, shown(done)
    assert done.facts.get("timed_out", False) is timed_out and done.exit_seconds < EXIT_BOUND, shown(done)


@pytest.mark.parametrize("handler", [
    "signal.SIG_IGN",
    "reap_all",
], ids=["SIGCHLD-ignored", "SIGCHLD-handler-reaps-all"])
def test_sigchld_handled_elsewhere_never_hangs(run, handler):
    done = run(f"""
        reaped = []

        def reap_all(*_):
            try:
                while (pid := os.waitpid(-1, os.WNOHANG)[0]):
                    reaped.append(pid)
            except ChildProcessError:
                pass

        signal.signal(signal.SIGCHLD, {handler})
        batch = Pcall(nap, iargs=[(0, i) for i in range(3)])
        try:
            batch.start()
        except ChildProcessError as error:
            say(pids=[pid for pid in batch.pids if pid is not None], refused=str(error))
        else:
            say(pids=batch.pids)
            deadline = time.monotonic() + 10
            while {handler!r} == "reap_all" and len(reaped) < 3 and time.monotonic() < deadline:
                time.sleep(0.05)  # every child reaped behind the batch's back before join()
            batch.join()
            say(results=batch.results)
    """)
    assert_clean(done)
    facts = done.facts
    if "refused" in facts and handler == "signal.SIG_IGN":
        assert "SIGCHLD" in facts["refused"] and facts["pids"] == [], shown(done)
    else:
        assert facts.get("results") == [0, 1, 2], shown(done)


@pytest.mark.parametrize("expect, send, body", [
    ("child 1 blamed", None, """
    batch = Pcall(nap, timeout=1, iargs=[(0, 0), (60, 1)])
    batch.start()
    say(pids=batch.pids)
    wait_state(batch.pids[0], "Z")  # child 0 has delivered
    try:
        batch.join()
    except TimeoutError:
        pass
    batch.kill()
    wait_state(batch.pids[1], "Z")  # dead before the second join() looks, which the passed time-out would end
    try:
        batch.join()
    except ChildProcessError as error:
        say(second=str(error))
    """),
    ("child 1 blamed", signal.SIGINT, """
    batch = Pcall(nap, iargs=[(0, 0), (60, 1)])
    batch.start()
    wait_state(batch.pids[0], "Z")
    say(pids=batch.pids)
    try:
        batch.join()
    except KeyboardInterrupt:
        pass
    try:
        batch.join()
    except ChildProcessError as error:
        say(second=str(error))
    """),
    ("results", None, """
    import atexit

    def join_at_exit():
        try:
            batch.join()
        except Exception as error:
            say(error=f"{type(error).__name__}: {error}")
        else:
            say(results=batch.results)

    atexit.register(join_at_exit)
    batch = Pcall(nap, iargs=[(0, i) for i in range(3)])
    batch.start()
    say(pids=batch.pids)
    """),
    ("child 1 unpickled", None, """
    def refuse(pid):
        if os.getpid() != pid:
            raise LookupError(f"pickled in {pid}, refused here")

    class Stubborn:  # pickles in the child, cannot be unpickled in the parent
        def __reduce__(self):
            return refuse, (os.getpid(),)

    def work(i):
        return Stubborn() if i == 1 else nap(2 if i == 2 else 0, i)

    batch = Pcall(work, iargs=[(i,) for i in range(3)])
    batch.start()
    say(pids=batch.pids)
    try:
        batch.join()
    except Exception as error:
        say(first=str(error), unreaped=unreaped(batch.pids))
    try:
        batch.join()
    except Exception as error:
        say(second=str(error))
    else:
        say(results=batch.results)
    """),
], ids=["time-out-then-kill", "parent-only-SIGINT", "caller-atexit-joins", "result-unpicklable-in-parent"])
def test_delivered_stays_delivered(run, expect, send, body):
    done = run(body, send=send)
    assert_clean(done)
    facts, pids = done.facts, done.facts.get("pids")
    assert pids, shown(done)
    if expect == "child 1 unpickled":
        first = facts.get("first", "")
        for part in ("child 1", str(pids[1]), "work", "LookupError", f"pickled in {pids[1]}, refused here"):
            assert part in first, f"{part!r} not in {first!r}"
        assert facts["unreaped"] == [], shown(done)
        second = facts.get("second")  # the others delivered: nothing to report about them
        assert facts.get("results") == [] or (second and "child 0" not in second and "child 2" not in second), \
            shown(done)
    elif expect == "results":
        assert facts.get("results") == [0, 1, 2], shown(done)
    else:
        assert facts.get("second", "").startswith(f"child 1 (pid {pids[1]}) "), shown(done)
