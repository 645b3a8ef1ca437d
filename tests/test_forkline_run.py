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


class Events(list):
    def recorder(self, name, result=None):
        def record(*args):
            self.append((name,) + args)
            return result
        return record


class FakeChild:
    def __init__(self, events, index, alive=0, exitcode=None):
        self.events, self.index, self.alive, self.exitcode = events, index, alive, exitcode
        self.pid = 100 + index
        self._work = ChildWork(f"t{index}", f"({index},)", "{}")

    def is_alive(self):
        self.events.append(("alive", self.index))
        if self.alive:
            self.alive -= 1
            return True
        return False

    def start(self):
        self.events.append(("start", self.index))

    def join(self):
        self.events.append(("join", self.index))

    def terminate(self):
        self.events.append(("terminate", self.index))


class FakeQueue:
    def __init__(self, events, messages=()):
        self.events, self.messages = events, list(messages)

    def empty(self):
        self.events.append(("empty",))
        return not self.messages

    def get(self):
        self.events.append(("get",))
        return self.messages.pop(0)


class FakeTime:
    def __init__(self, events, now=1000.0):
        self.events, self.now = events, now

    def time(self):
        self.events.append(("time",))
        return self.now

    def sleep(self, seconds):
        self.events.append(("sleep", seconds))
        self.now += seconds


@pytest.fixture
def fake(monkeypatch):
    """A batch of fake children, queue, clock and logger, all recording into one event list."""
    events = Events()
    clock = FakeTime(events)
    monkeypatch.setattr(forkline, "time", clock)
    monkeypatch.setattr(forkline, "logger", types.SimpleNamespace(error=events.recorder("error")))

    def make(alive=(0,), messages=(), timeout=None, starttime=None):
        batch = Pcall(print, timeout)
        batch._processes = [FakeChild(events, i, n) for i, n in enumerate(alive)]
        batch._queue = FakeQueue(events, messages)
        if starttime is not None:
            batch.starttime = starttime
        return batch

    return types.SimpleNamespace(events=events, clock=clock, make=make)


def test_start_enters_logging_context_around_starts(fake, monkeypatch):
    events = fake.events

    class Context:
        def __enter__(self, *args):
            events.append(("enter",) + args)

        def __exit__(self, *args):
            events.append(("exit",) + args)

    tasklog = types.SimpleNamespace(consolidate_next_forked_logfile=lambda *args: events.append(("made",) + args)
                                    or Context())
    monkeypatch.setattr(forkline, "managed_handlers", types.SimpleNamespace(tasklog=tasklog))
    batch = fake.make(alive=(0, 0, 0))
    assert batch.start() is None
    assert batch.starttime == 1000.0
    assert events == [("time",), ("made",), ("enter",), ("start", 0), ("start", 1), ("start", 2),
                      ("exit", None, None, None)]


@pytest.mark.parametrize("swallow", [False, True])
def test_start_failure_reaches_context_exit(fake, monkeypatch, swallow):
    seen = []

    class Context:
        def __enter__(self):
            pass

        def __exit__(self, *args):
            seen.append(args)
            return swallow

    tasklog = types.SimpleNamespace(consolidate_next_forked_logfile=Context)
    monkeypatch.setattr(forkline, "managed_handlers", types.SimpleNamespace(tasklog=tasklog))
    batch = fake.make(alive=(0, 0, 0))
    batch._processes[1].start = lambda: (_ for _ in ()).throw(OSError("no fork"))
    if swallow:
        batch.start()
    else:
        with pytest.raises(OSError, match="no fork"):
            batch.start()
    [(kind, value, tb)] = seen
    assert kind is OSError and str(value) == "no fork"
    chain = value.__traceback__
    while chain is not None and chain is not tb:
        chain = chain.tb_next
    assert chain is tb is not None
    assert [e for e in fake.events if e[0] == "start"] == [("start", 0)]
    assert batch.starttime == 1000.0


def test_join_polls_drains_and_reaps_in_order(fake):
    batch = fake.make(alive=(0, 2), messages=[(1, True, "b"), (0, True, "a")])
    assert batch.join() is None
    assert fake.events == [
        ("alive", 0), ("alive", 1), ("empty",), ("get",), ("empty",), ("get",), ("empty",), ("sleep", 0.25),
        ("alive", 0), ("alive", 1), ("empty",), ("sleep", 0.25),
        ("alive", 0), ("alive", 1), ("time",), ("empty",), ("join", 0), ("join", 1),
    ]
    assert batch.results == ("a", "b") and batch.stoptime == 1000.5


@pytest.mark.parametrize("timeout", [None, 0])
def test_no_time_limit_never_reads_start_time(fake, timeout):
    batch = fake.make(alive=(40,), timeout=timeout)
    batch.join()
    assert fake.events.count(("sleep", 0.25)) == 40 and fake.events.count(("time",)) == 1


def test_time_out_report_and_error(fake):
    batch = fake.make(alive=(1, 99, 0, 99), timeout=1, starttime=1000.0)
    with pytest.raises(TimeoutError) as caught:
        batch.join()
    assert caught.value.args == ("Not all child processes finished running.",)
    assert fake.events.count(("sleep", 0.25)) == 5  # the limit must be passed strictly
    tail = fake.events[-9:]
    assert tail[:4] == [("alive", 0), ("alive", 1), ("alive", 2), ("alive", 3)]
    assert tail[4:8] == [("terminate", i) for i in range(4)]
    assert tail[8] == ("error", "The following processes are still running after 1 seconds:\n"
                       "    PID-101: target=t1, args=(1,), kwargs={}\n"
                       "    PID-103: target=t3, args=(3,), kwargs={}\n")
    assert not any(e[0] == "join" for e in fake.events)
    assert batch.results is None and not hasattr(batch, "stoptime")


@pytest.mark.parametrize("timeout, shown", [(-1, "-1"), (2.5, "2.5")])
def test_time_out_after_last_child_ended_has_no_lines(fake, timeout, shown):
    batch = fake.make(alive=(1,), messages=[(0, True, 1)], timeout=timeout, starttime=0.0)
    with pytest.raises(TimeoutError):
        batch.join()
    assert fake.events[-1] == ("error", f"The following processes are still running after {shown} seconds:\n\n")
    assert batch._queue.messages == []


def test_results_in_child_order_with_missing_messages(fake):
    batch = fake.make(alive=(0, 0, 0, 0), messages=[(3, True, 30), (0, True, None), (2, True, 20)])
    batch.join()
    assert batch.results == (None, 20, 30)


def test_lowest_index_failure_wins_after_reaping(fake):
    first = ValueError("one")
    wrapped = TerminateStepSignal("three")
    batch = fake.make(alive=(0, 0, 0, 0), messages=[(3, 2, wrapped), (1, False, first), (0, True, 1)])
    with pytest.raises(ValueError) as caught:
        batch.join()
    assert caught.value is first
    assert fake.events[-4:] == [("join", i) for i in range(4)]
    assert batch.results is None and batch.stoptime == 1000.0

    batch = fake.make(alive=(0, 0), messages=[(1, False, first), (0, 2, wrapped)])
    with pytest.raises(VetrunStepFailedSignal) as caught:
        batch.join()
    assert caught.value.args == (wrapped,) and caught.value.cause is wrapped


@pytest.mark.parametrize("make_signal, expected", [
    (lambda result: RuntimeError("made", result), RuntimeError),
    (lambda result: KeyError, KeyError),
    (lambda result: "not an exception", TypeError),
])
def test_step_failure_signal_is_raised_like_a_raise_statement(fake, monkeypatch, make_signal, expected):
    monkeypatch.setattr(signals, "VetrunStepFailedSignal", make_signal)
    with pytest.raises(expected) as caught:
        fake.make(messages=[(0, 2, TerminateStepSignal())]).join()
    if expected is TypeError:
        assert str(caught.value) == "exceptions must derive from BaseException"


@pytest.mark.parametrize("result, expected", [
    (KeyError, KeyError), ("text", TypeError), (None, TypeError), (Exception, Exception),
])
def test_failure_result_is_raised_like_a_raise_statement(fake, result, expected):
    with pytest.raises(expected) as caught:
        fake.make(messages=[(0, False, result)]).join()
    assert type(caught.value) is expected


def test_second_join_resets_results(fake):
    batch = fake.make(messages=[(0, True, 5)])
    batch.join()
    fake.clock.now += 3
    batch.join()
    assert batch.results == () and batch.stoptime == 1003.0


def test_process_control_walks_children_in_order(fake, monkeypatch):
    events = fake.events
    batch = fake.make(alive=(1, 0, 1))
    for child, code in zip(batch._processes, (None, 0, None)):
        child.exitcode = code
    monkeypatch.setattr(forkline, "os", types.SimpleNamespace(kill=events.recorder("kill")))
    monkeypatch.setattr(forkline, "signal", types.SimpleNamespace(SIGKILL="K"))
    assert batch.kill() is None
    assert batch.terminate() is None
    assert batch.livings == (batch._processes[0], batch._processes[2])
    assert batch.pids == (100, 101, 102)
    assert events == [("kill", 100, "K"), ("kill", 102, "K"), ("terminate", 0), ("terminate", 1),
                      ("terminate", 2), ("alive", 0), ("alive", 1), ("alive", 2)]


def test_process_control_stops_at_first_error(fake, monkeypatch):
    batch = fake.make(alive=(0, 0))
    batch._processes[0].terminate = batch._processes[0].is_alive = lambda: 1 / 0
    batch._processes[0].pid = None
    with pytest.raises(ZeroDivisionError):
        batch.terminate()
    with pytest.raises(ZeroDivisionError):
        batch.livings
    with pytest.raises(TypeError):
        batch.kill()
    assert fake.events == []


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
    return kind


def sleep_long():
    time.sleep(60)


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
    assert batch.results == (10, 20, 30)
    assert batch.livings == () and all(isinstance(p, int) for p in batch.pids)
    assert all(reaped(p) for p in batch.pids) and batch.stoptime >= batch.starttime


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
    batch = Pcall([sleep_long, double], timeout=0.3, iargs=[(), (1,)])
    batch.start()
    with caplog.at_level(logging.ERROR, logger="tavrix.async_.forkline"):
        with pytest.raises(TimeoutError):
            batch.join()
    pid = batch.pids[0]
    assert caplog.record_tuples == [("tavrix.async_.forkline", logging.ERROR,
                                     "The following processes are still running after 0.3 seconds:\n"
                                     f"    PID-{pid}: target=sleep_long, args=(), kwargs={{}}\n")]
    batch._processes[0].join(10)
    assert batch._processes[0].exitcode == -signal.SIGTERM


def test_join_before_start_fails_in_process_join():
    batch = Pcall(double, iargs=[(1,)])
    with pytest.raises(AssertionError, match="can only join a started process"):
        batch.join()
    assert hasattr(batch, "stoptime") and batch.results is None


def test_control_before_start():
    batch = Pcall(double, iargs=[(1,), (2,)])
    with pytest.raises(TypeError) as caught:
        batch.kill()
    with pytest.raises(TypeError) as direct:
        os.kill(None, signal.SIGKILL)
    assert str(caught.value) == str(direct.value)
    with pytest.raises(AttributeError):
        batch.terminate()


def test_kill_running_children_then_join_collects_nothing(monkeypatch):
    batch = Pcall(sleep_long, iargs=[(), ()])
    batch.start()
    sent = []
    monkeypatch.setattr(forkline, "os", types.SimpleNamespace(kill=lambda *a: sent.append(a) or os.kill(*a)))
    batch.kill()
    batch.join()
    assert sent == [(p, signal.SIGKILL) for p in batch.pids]
    assert [p.exitcode for p in batch._processes] == [-signal.SIGKILL] * 2
    assert batch.results == ()
    batch.kill()  # the children were reaped: their pids are never signalled again
    assert len(sent) == 2
