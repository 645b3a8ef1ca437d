"""The worker process: result messages, error log, job record and step lookup."""

import functools
import inspect
import json
import logging
import os
import sys
import types

import pytest

from tavrix.async_ import forkline
from tavrix.async_.forkline import ChildLabor
from tavrix.vetrun.signals import TerminateStepSignal
from tavrix.vetrun.steps import Steps

pytestmark = pytest.mark.timeout(60)


class Both(Exception, TerminateStepSignal):
    pass


class Halt(BaseException):
    pass


def returns(value, **kwargs):
    return value


def raises(exc, **kwargs):
    raise exc


def run_child(target, index=0, args=(), kwargs=None):
    queue = forkline.multiprocessing.SimpleQueue()
    child = ChildLabor(index=index, queue=queue, target=target, args=args, kwargs=kwargs or {})
    child.start()
    child.join(30)
    assert child.exitcode is not None, "child still running"
    messages = []
    while not queue.empty():
        messages.append(queue.get())
    return child, messages


class FileRecords(logging.Handler):
    """Appends each record as a JSON line; works across fork."""

    def __init__(self, path):
        super().__init__()
        self.path = path

    def emit(self, record):
        exc = record.exc_info[0].__name__ if record.exc_info else None
        with open(self.path, "a") as out:
            out.write(json.dumps([record.name, record.levelname, record.getMessage(), exc]) + "\n")


@pytest.fixture
def child_log(tmp_path):
    path = tmp_path / "records.jsonl"
    handler = FileRecords(path)
    forkline.logger.addHandler(handler)
    try:
        yield lambda: [json.loads(line) for line in path.read_text().splitlines()] if path.exists() else []
    finally:
        forkline.logger.removeHandler(handler)


@pytest.mark.parametrize("target, args, status, kind, logged", [
    (returns, (5,), True, int, False),
    (returns, (None,), True, type(None), False),
    (raises, (ValueError("bad"),), False, ValueError, True),
    (raises, (TerminateStepSignal("stop"),), 2, TerminateStepSignal, False),
    (raises, (Both("both"),), False, Both, True),
    (None, (), False, TypeError, True),
])
def test_result_message(child_log, target, args, status, kind, logged):
    kwargs = {"k": [1, "b"]} if target else {}
    child, messages = run_child(target, index=3, args=args, kwargs=kwargs)
    assert child.exitcode == 0
    [(index, success, result)] = messages
    assert index == 3 and type(success) is type(status) and success == status
    assert type(result) is kind
    if target is returns:
        assert result == args[0]
    elif target is None:
        assert str(result) == "'NoneType' object is not callable"
    else:
        assert result.args == args[0].args and "Traceback" in str(result.__cause__)
    text = (f"Caught error while executing target in child process-3:\n  target = {child._work.target}\n"
            f"  args = {args}\n  kwargs = {kwargs}\n\n")
    expected = [["tavrix.async_.forkline", "ERROR", text, kind.__name__]]
    assert child_log() == (expected if logged else [])


@pytest.mark.parametrize("target, args, exitcode", [
    (sys.exit, (), 0), (sys.exit, (3,), 3), (raises, (KeyboardInterrupt(),), 1), (returns, (lambda: 0,), 1),
])
def test_no_message_when_child_ends_otherwise(child_log, target, args, exitcode):
    child, messages = run_child(target, args=args)
    assert (messages, child.exitcode, child_log()) == ([], exitcode, [])


Named = type("Named", (), {"__str__": lambda self: "named-object", "__call__": lambda self: None})


def nested_partial():
    inner = functools.partial(returns, 1)
    inner.mark = True  # keeps partial() from flattening the outer one
    return functools.partial(inner), str(inner)


@pytest.mark.parametrize("target, expected", [
    (returns, "returns"), (functools.partial(returns, 1), "returns"), nested_partial(),
    (Named(), "named-object"), (Named, "Named"), (None, "None"),
])
def test_job_record_names_target(target, expected):
    worker = ChildLabor(0, None, target=target)
    assert worker._work == (expected, "()", "{}") and type(worker._work) is forkline.ChildWork
    worker = ChildLabor(index=1, queue=None, target=target, args=[1, "a"], kwargs={"k": (2,)})
    assert worker._work == (expected, "(1, 'a')", "{'k': (2,)}")


def test_job_record_only_absorbs_attribute_error():
    with pytest.raises(ZeroDivisionError):
        ChildLabor(0, None, target=type("BrokenName", (), {"__name__": property(lambda self: 1 / 0)})())


class Owner:
    """Stands for a harness object whose method is on the call stack."""

    def __init__(self, internal):
        self.parameters = types.SimpleNamespace(internal=internal)

    def call(self, fn):
        return fn()


def lookup(*internals):
    """_get_steps called inside nested owner frames, outermost first."""
    worker = ChildLabor(0, None, target=None)
    call = worker._get_steps
    for internal in reversed(internals):
        call = functools.partial(Owner(internal).call, call)
    return call()


def test_no_harness_frame():
    assert lookup() is None
    assert lookup({"other": 1}, {}) is None


def test_step_frames_inner_wins_and_missing_entry_skipped():
    outer, inner = Steps(), Steps()
    assert lookup({"steps": outer}, {"steps": inner}) is inner
    assert lookup({"steps": outer}, {"no-steps": inner}) is outer
    assert lookup({"steps": outer}, {"steps": None}) is outer


class StepList(list):
    pass


def test_descent_follows_last_child_while_its_steps_is_a_list():
    empty, deepest, in_subclass, no_steps = Steps(), Steps(), Steps(StepList()), types.SimpleNamespace(steps=None)
    nested = Steps([Steps([Steps()]), Steps([Steps(), deepest])])
    tuple_child = Steps([Steps([Steps([Steps()])]), Steps((Steps(),))])  # only the last child counts
    cases = [(empty, empty), (nested, deepest), (Steps(StepList([in_subclass])), in_subclass),
             (tuple_child, tuple_child), (no_steps, no_steps)]
    for root, expected in cases:
        assert lookup({"steps": root}) is expected


def test_cyclic_and_very_deep_steps_are_skipped():
    cyclic = Steps()
    cyclic.steps = [cyclic]
    deep = step = Steps()
    for _ in range(100000):
        step.steps = [Steps()]
        step = step.steps[0]
    fallback = Steps()
    for structure in (cyclic, deep):
        assert lookup({"steps": structure}) is None
        assert lookup({"steps": fallback}, {"steps": structure}) is fallback


def test_step_lookup_lets_base_exceptions_through():
    class Internal(dict):
        def get(self, key):
            raise Halt

    with pytest.raises(Halt):
        lookup({"steps": Steps()}, Internal())


def report_offset(found):
    return getattr(found, "offset", "unset")


class FixedOffset(Steps):
    offset = property(lambda self: 0)

    def __init__(self):
        self.steps = []


@pytest.mark.parametrize("index, kind, expected", [
    (0, Steps, 1000), (4, Steps, 5000), ("2", Steps, 3000),
    (0, types.SimpleNamespace, "unset"), ("x", types.SimpleNamespace, "unset"),
])
def test_step_offset_set_in_child(index, kind, expected):
    current = kind(steps=[])
    root = Steps([Steps(), current])
    child, messages = Owner({"steps": root}).call(lambda: run_child(report_offset, index=index, args=(current,)))
    assert messages == [(index, True, expected)]
    assert getattr(current, "offset", "unset") in (0, "unset")  # the parent's copy is untouched


@pytest.mark.parametrize("index, found, harness", [("x", Steps(), True), (0, FixedOffset(), True), (0, Steps(), False)])
def test_failure_before_target_sends_nothing(monkeypatch, tmp_path, index, found, harness):
    marker = tmp_path / "called"
    if not harness:
        monkeypatch.setitem(sys.modules, "tavrix.vetrun.steps", None)
    child, messages = Owner({"steps": found}).call(lambda: run_child(marker.touch, index=index))
    assert (messages, child.exitcode, marker.exists()) == ([], 1, False)


class StackRecorder:
    """Stands in for the module attribute `inspect`: counts the stack searches
    made in this process and keeps what the real inspect.stack() found."""

    def __init__(self):
        self.calls, self.records = 0, []

    def stack(self):
        self.calls += 1
        records = inspect.stack()
        self.records = [(record.filename, record.code_context) for record in records]
        return records


def searched(recorder, steps):
    """A child's report: how many searches it made, the offset that its
    search gave the caller's step, and the frames it saw."""
    return os.getpid(), recorder.calls, steps.offset, recorder.records


@pytest.mark.parametrize("filename", [None, "<string>", os.path.join(os.sep, "no-such-dir", "cell.py")])
def test_each_child_searches_its_own_stack_once(monkeypatch, filename):
    # Started from a source file, from code run from a string, and from code
    # whose file does not exist: the parent warms the caches, never through
    # the module attribute, and every child still searches once, in itself.
    recorder = StackRecorder()
    monkeypatch.setattr(forkline, "inspect", recorder)
    steps = Steps()
    start = ("Owner({'steps': steps}).call("
             "lambda: forkline.Pcall.pcall(searched, cargs=(recorder, steps), iargs=[(), ()]))")
    scope = dict(globals(), recorder=recorder, steps=steps)
    results = eval(compile(start, filename or __file__, "eval"), scope)
    assert [(calls, offset) for _, calls, offset, _ in results] == [(1, 1000), (1, 2000)]
    assert recorder.calls == 0 and os.getpid() not in [pid for pid, *_ in results]
    files = [name for name, _ in results[0][3]]
    assert (filename or __file__) in files and steps.offset == 0
    if filename is not None:  # the parent's inspect answers as it did before: no module owns it
        assert inspect.getmodule(sys._getframe(), filename) is None


def test_child_reads_edited_source_and_modules_loaded_later(monkeypatch, tmp_path):
    recorder = StackRecorder()
    monkeypatch.setattr(forkline, "inspect", recorder)
    source = tmp_path / "launcher_of_batches.py"
    steps = Steps()

    def launch(mark):
        source.write_text(f"def launch(run):\n    return run()  # {mark}\n")
        os.utime(source, (0, len(mark)))  # a new size and time, whatever the clock's resolution
        scope = {}
        exec(compile(source.read_text(), str(source), "exec"), scope)
        run = functools.partial(forkline.Pcall.pcall, searched, cargs=(recorder, steps))
        [(_, calls, _, records)] = Owner({"steps": steps}).call(lambda: scope["launch"](run))
        return calls, [context for name, context in records if name == str(source)]

    # Each child checks the cached lines against the file, as inspect does.
    assert launch("first") == (1, [["    return run()  # first\n"]])
    assert launch("second, longer") == (1, [["    return run()  # second, longer\n"]])
    # A name recorded as owned by no module is looked up again once modules change.
    code = "forkline.Pcall.pcall(searched, cargs=(recorder, steps)), inspect.getmodule(sys._getframe(), '<string>')"
    scope = dict(globals(), recorder=recorder, steps=steps)
    owner = types.ModuleType("owner_of_string_code")
    owner.__file__ = "<string>"
    for expected in (None, owner):
        [(_, calls, _, _)], found = eval(compile(code, "<string>", "eval"), scope)
        assert (calls, found) == (1, expected)
        monkeypatch.setitem(sys.modules, owner.__name__, owner)
