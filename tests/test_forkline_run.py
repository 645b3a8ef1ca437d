"""Starting and joining a batch, the time-out, and process control."""

import logging
import os
import signal
import time
import types

import pytest

import tavrix.vetrun.signals as signals
from tavrix.async_ import forkline
from tavrix.async_.forkline import ChildWork, Pcall
from tavrix.vetrun.signals import TerminateStepSignal, VetrunStepFailedSignal

pytestmark = pytest.mark.timeout(60)


class FakeChild:
    """Alive for the first `polls` liveness tests; records every call."""

    def __init__(self, events, index, polls):
        self.events, self.index, self.polls, self.exitcode, self.pid = events, index, polls, None, 100 + index
        self._work = ChildWork(f"t{index}", f"({index},)", "{}")
        for name in ("start", "join", "terminate"):
            setattr(self, name, lambda name=name: events.append((name, index)))

    def is_alive(self):
        self.events.append(("alive", self.index))
        self.polls -= 1
        return self.polls >= 0


@pytest.fixture
def fake(monkeypatch):
    """Batches of fake children, queue, clock and logger, recording into one event list."""
    events = []
    clock = types.SimpleNamespace(now=1000.0)
    clock.time = lambda: events.append(("time",)) or clock.now

    def sleep(seconds):
        events.append(("sleep", seconds))
        clock.now += seconds

    clock.sleep = sleep
    monkeypatch.setattr(forkline, "time", clock)
    monkeypatch.setattr(forkline, "logger", types.SimpleNamespace(error=lambda text: events.append(("error", text))))

    def make(polls=(0,), messages=(), timeout=None, starttime=None):
        batch = Pcall(print, timeout)
        batch._processes = [FakeChild(events, i, n) for i, n in enumerate(polls)]
        pending = list(messages)
        batch._queue = types.SimpleNamespace(empty=lambda: events.append(("empty",)) or not pending,
                                             get=lambda: events.append(("get",)) or pending.pop(0))
        if starttime is not None:
            batch.starttime = starttime
        return batch

    return types.SimpleNamespace(events=events, clock=clock, make=make)


@pytest.mark.parametrize("failing, swallow", [(None, False), (1, False), (1, True)])
def test_start_inside_logging_context(fake, monkeypatch, failing, swallow):
    events = fake.events

    class Context:
        def __enter__(self):
            events.append(("enter",))

        def __exit__(self, *exc):
            events.append(("exit",) + exc)
            return swallow

    def made(*args):
        events.append(("made",) + args)
        return Context()

    monkeypatch.setattr(forkline, "managed_handlers",
                        types.SimpleNamespace(tasklog=types.SimpleNamespace(consolidate_next_forked_logfile=made)))
    batch = fake.make(polls=(0, 0, 0))
    if failing is not None:
        batch._processes[failing].start = lambda: 1 / 0
    if failing is None or swallow:
        assert batch.start() is None
    else:
        pytest.raises(ZeroDivisionError, batch.start)
    assert events[:4] == [("time",), ("made",), ("enter",), ("start", 0)] and batch.starttime == 1000.0
    if failing is None:
        assert events[4:] == [("start", 1), ("start", 2), ("exit", None, None, None)]
    else:
        [(_, kind, value, tb)] = events[4:]
        assert kind is ZeroDivisionError and isinstance(value, kind) and tb is not None


def test_join_polls_drains_and_reaps_in_order(fake):
    batch = fake.make(polls=(0, 2, 0), messages=[(2, True, "c"), (1, True, None)])
    assert batch.join() is None
    assert fake.events == [
        ("alive", 0), ("alive", 1), ("empty",), ("get",), ("empty",), ("get",), ("empty",), ("sleep", 0.25),
        ("alive", 0), ("alive", 1), ("empty",), ("sleep", 0.25),
        ("alive", 0), ("alive", 1), ("alive", 2), ("time",), ("empty",), ("join", 0), ("join", 1), ("join", 2),
    ]
    assert batch.results == (None, "c") and batch.stoptime == 1000.5
    fake.clock.now = 2000.0
    batch.join()  # the queue is empty now
    assert batch.results == () and batch.stoptime == 2000.0


@pytest.mark.parametrize("timeout", [None, 0])
def test_no_time_limit_never_reads_start_time(fake, timeout):
    fake.make(polls=(40,), timeout=timeout).join()
    assert fake.events.count(("sleep", 0.25)) == 40 and fake.events.count(("time",)) == 1


def test_time_out_report_and_error(fake):
    batch = fake.make(polls=(1, 99, 0, 99), timeout=1, starttime=1000.0)
    with pytest.raises(TimeoutError) as caught:
        batch.join()
    assert caught.value.args == ("Not all child processes finished running.",)
    assert fake.events.count(("sleep", 0.25)) == 5  # the limit must be passed strictly
    assert fake.events[-11:] == [("sleep", 0.25), ("time",)] + [("alive", i) for i in range(4)] + [
        ("terminate", i) for i in range(4)] + [
        ("error", "The following processes are still running after 1 seconds:\n"
                  "    PID-101: target=t1, args=(1,), kwargs={}\n    PID-103: target=t3, args=(3,), kwargs={}\n")]
    assert batch.results is None and not hasattr(batch, "stoptime")


@pytest.mark.parametrize("timeout, shown", [(-1, "-1"), (2.5, "2.5")])
def test_time_out_after_last_child_ended_has_no_lines(fake, timeout, shown):
    batch = fake.make(polls=(1,), timeout=timeout, starttime=0.0)
    with pytest.raises(TimeoutError):
        batch.join()
    assert fake.events[-1] == ("error", f"The following processes are still running after {shown} seconds:\n\n")


def test_lowest_index_failure_wins_after_reaping(fake):
    first, wrapped = ValueError("one"), TerminateStepSignal("three")
    batch = fake.make(polls=(0, 0, 0, 0), messages=[(3, 2, wrapped), (1, False, first), (0, True, 1)])
    with pytest.raises(ValueError) as caught:
        batch.join()
    assert caught.value is first and fake.events[-4:] == [("join", i) for i in range(4)]
    assert batch.results is None and batch.stoptime == 1000.0
    with pytest.raises(VetrunStepFailedSignal) as caught:
        fake.make(polls=(0, 0), messages=[(1, False, first), (0, 2, wrapped)]).join()
    assert caught.value.args == (wrapped,)


@pytest.mark.parametrize("raised, expected", [
    (KeyError, KeyError), (RuntimeError("made"), RuntimeError), ("text", TypeError), (None, TypeError),
])
@pytest.mark.parametrize("status", [False, 2])
def test_failure_raised_like_a_raise_statement(fake, monkeypatch, status, raised, expected):
    """A failure result, or what the step-failure signal gives, need not be an exception instance."""
    monkeypatch.setattr(signals, "VetrunStepFailedSignal", lambda result: raised)
    with pytest.raises(expected) as caught:
        fake.make(messages=[(0, status, raised)]).join()
    assert type(caught.value) is expected
    if expected is TypeError:
        assert str(caught.value) == "exceptions must derive from BaseException"


def test_process_control_walks_children_in_order(fake, monkeypatch):
    events = fake.events
    batch = fake.make(polls=(1, 0, 1))
    batch._processes[1].exitcode = 0  # read by nothing: a double is signalled as the walk says

    def kill(pid, sig):
        events.append(("kill", pid, sig))
        if pid is None:
            raise TypeError("no pid")

    monkeypatch.setattr(forkline, "os", types.SimpleNamespace(kill=kill))
    monkeypatch.setattr(forkline, "signal", types.SimpleNamespace(SIGKILL="K"))
    assert batch.kill() is None and batch.terminate() is None
    assert batch.livings == (batch._processes[0], batch._processes[2]) and batch.pids == (100, 101, 102)
    assert events == [("kill", 100, "K"), ("kill", 101, "K"), ("kill", 102, "K"), ("terminate", 0), ("terminate", 1),
                      ("terminate", 2), ("alive", 0), ("alive", 1), ("alive", 2)]
    first = batch._processes[0]
    first.terminate = first.is_alive = lambda: 1 / 0
    first.pid = None
    for stop, error in ((batch.terminate, ZeroDivisionError), (lambda: batch.livings, ZeroDivisionError),
                        (batch.kill, TypeError)):
        pytest.raises(error, stop)
    assert events[9:] == [("kill", None, "K")]  # every walk stopped at the first child


def test_pcall_on_subclass():
    made = []

    class Sub(Pcall):
        def start(self):
            made.append(self)

        def join(self):
            self.results = ("joined", type(self))

    assert Sub.pcall(print, 5, iargs=[(1,)]) == ("joined", Sub)
    assert made[0].timeout == 5 and made[0].iargs == [(1,)]


def double(x):
    return 2 * x


def late(x, delay):
    time.sleep(delay)
    return x


def fail(kind):
    if kind:
        raise kind(kind.__name__)


def reaped(pid):
    try:
        os.waitpid(pid, os.WNOHANG)
    except ChildProcessError:
        return True
    return False


def test_pcall_doubles():
    assert Pcall.pcall(double, iargs=[(1,), (2,), (3,)]) == (2, 4, 6)


def test_results_in_child_order_whatever_finishes_first():
    batch = Pcall(late, iargs=[(10, 0.6), (20, 0.3), (30, 0)])
    assert batch.pids == (None, None, None) and batch.livings == ()
    batch.start()
    batch.join()
    assert batch.results == (10, 20, 30) and batch.stoptime >= batch.starttime
    assert batch.livings == () and all(isinstance(p, int) and reaped(p) for p in batch.pids)


@pytest.mark.parametrize("kinds, expected", [
    ((None, ValueError, None, TerminateStepSignal), ValueError),
    ((None, TerminateStepSignal, KeyError), VetrunStepFailedSignal),
])
def test_failed_batch_raises_lowest_index_and_reaps(kinds, expected):
    batch = Pcall(fail, iargs=[(k,) for k in kinds])
    batch.start()
    with pytest.raises(expected):
        batch.join()
    assert batch.results is None and all(reaped(p) for p in batch.pids)


def test_real_time_out_terminates_children(caplog):
    batch = Pcall([time.sleep, double], timeout=0.3, iargs=[(60,), (1,)])
    batch.start()
    with caplog.at_level(logging.ERROR, logger="tavrix.async_.forkline"), pytest.raises(TimeoutError):
        batch.join()
    assert caplog.record_tuples == [("tavrix.async_.forkline", logging.ERROR,
                                     "The following processes are still running after 0.3 seconds:\n"
                                     f"    PID-{batch.pids[0]}: target=sleep, args=(60,), kwargs={{}}\n")]
    batch._processes[0].join(10)
    assert batch._processes[0].exitcode == -signal.SIGTERM


def test_control_before_start():
    batch = Pcall(double, iargs=[(1,), (2,)])
    with pytest.raises(TypeError) as caught:
        batch.kill()
    with pytest.raises(TypeError) as direct:
        os.kill(None, signal.SIGKILL)
    assert str(caught.value) == str(direct.value)
    with pytest.raises(AttributeError):
        batch.terminate()
    with pytest.raises(AssertionError, match="can only join a started process"):
        batch.join()
    assert hasattr(batch, "stoptime") and batch.results is None


def test_kill_running_children_then_join_reports_the_first(monkeypatch):
    batch = Pcall(time.sleep, iargs=[(60,), (60,)])
    batch.start()
    sent = []
    monkeypatch.setattr(forkline, "os", types.SimpleNamespace(kill=lambda *a: sent.append(a) or os.kill(*a)))
    batch.kill()
    with pytest.raises(ChildProcessError, match=rf"^child 0 \(pid {batch.pids[0]}\) was killed by SIGKILL "):
        batch.join()
    assert sent == [(p, signal.SIGKILL) for p in batch.pids] and batch.results is None
    assert [p.exitcode for p in batch._processes] == [-signal.SIGKILL] * 2
    batch.kill()  # reaped children are never signalled again
    assert len(sent) == 2
