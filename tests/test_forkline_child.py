"""The worker process: result messages, error log, job record and step lookup."""

import functools
import json
import logging
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
