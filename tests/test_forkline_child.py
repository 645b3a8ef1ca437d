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


def returns(value):
    return value


def raises(exc):
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


def error_text(index, target, args, kwargs):
    return (f"Caught error while executing target in child process-{index}:\n"
            f"  target = {target}\n  args = {args}\n  kwargs = {kwargs}\n\n")


@pytest.mark.parametrize("target, args, status, kind, logged", [
    (returns, (5,), True, int, False),
    (returns, (None,), True, type(None), False),
    (raises, (ValueError("bad"),), False, ValueError, True),
    (raises, (TerminateStepSignal("stop"),), 2, TerminateStepSignal, False),
    (raises, (Both("both"),), False, Both, True),
    (None, (), False, TypeError, True),
])
def test_result_message(child_log, target, args, status, kind, logged):
    child, messages = run_child(target, index=3, args=args, kwargs={})
    assert child.exitcode == 0
    [(index, success, result)] = messages
    assert index == 3 and type(success) is type(status) and success == status
    assert type(result) is kind
    if kind is int or kind is type(None):
        assert result == args[0]
    elif target is None:
        assert str(result) == "'NoneType' object is not callable"
    else:
        assert result.args == args[0].args and "Traceback" in str(result.__cause__)
    expected = [["tavrix.async_.forkline", "ERROR", error_text(3, child._work.target, args, {}), kind.__name__]]
    assert child_log() == (expected if logged else [])


def test_error_text_pieces(child_log):
    child, [message] = run_child(raises, index=4, args=(KeyError("k"),), kwargs={})
    assert message[1] is False
    work = child._work
    assert work == ("raises", "(KeyError('k'),)", "{}")
    [[_, _, text, _]] = child_log()
    assert text == ("Caught error while executing target in child process-4:\n"
                    "  target = raises\n  args = (KeyError('k'),)\n  kwargs = {}\n\n")

    def bad(**kwargs):
        raise RuntimeError

    child, _ = run_child(bad, index="x", kwargs={"a": [1, "b"]})
    assert child_log()[-1][2] == error_text("x", "bad", "()", "{'a': [1, 'b']}")


def exit_plain():
    sys.exit()


def exit_three():
    sys.exit(3)


def interrupt():
    raise KeyboardInterrupt


def unpicklable():
    return lambda: None


@pytest.mark.parametrize("target, exitcode", [
    (exit_plain, 0), (exit_three, 3), (interrupt, 1), (unpicklable, 1),
])
def test_no_message_when_child_ends_otherwise(child_log, target, exitcode):
    child, messages = run_child(target)
    assert (messages, child.exitcode, child_log()) == ([], exitcode, [])


class Named:
    def __str__(self):
        return "named-object"

    def __call__(self):
        pass


class BrokenName:
    @property
    def __name__(self):
        raise ValueError("no name")


def _nested_partial():
    inner = functools.partial(returns, 1)
    inner.mark = True  # keeps partial() from flattening the outer one
    return functools.partial(inner), str(inner)


@pytest.mark.parametrize("target, expected", [
    (returns, "returns"),
    (functools.partial(returns, 1), "returns"),
    _nested_partial(),
    (Named(), "named-object"),
    (Named, "Named"),
    (None, "None"),
])
def test_job_record_names_target(target, expected):
    worker = ChildLabor(0, None, target=target)
    assert worker._work == (expected, "()", "{}")
    assert type(worker._work) is forkline.ChildWork
    worker = ChildLabor(index=1, queue=None, target=target, args=[1, "a"], kwargs={"k": (2,)})
    assert worker._work == (expected, "(1, 'a')", "{'k': (2,)}")


def test_job_record_only_absorbs_attribute_error():
    with pytest.raises(ValueError, match="no name"):
        ChildLabor(0, None, target=BrokenName())


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


def chain(depth, last=None):
    root = step = Steps()
    for _ in range(depth):
        step.steps = [Steps()]
        step = step.steps[0]
    step.steps = [] if last is None else last
    return root, step


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


@pytest.mark.parametrize("build, pick", [
    (lambda: chain(0), lambda root, last: root),
    (lambda: chain(3), lambda root, last: last),
    (lambda: chain(2, StepList()), lambda root, last: last),
    (lambda: chain(0, StepList([Steps()])), lambda root, last: root.steps[0]),
    (lambda: chain(0, None), lambda root, last: root),
    (lambda: (types.SimpleNamespace(steps=None), None), lambda root, last: root),
    (lambda: (types.SimpleNamespace(steps=[types.SimpleNamespace(steps=(Steps(),))]), None), lambda r, l: r),
    (lambda: (types.SimpleNamespace(steps=[chain(2)[0], Steps(steps=())]), None), lambda r, l: r),
])
def test_descent_follows_last_child_while_its_steps_is_a_list(build, pick):
    root, last = build()
    assert lookup({"steps": root}) is pick(root, last)


def test_cyclic_and_very_deep_steps_are_skipped():
    cyclic = Steps()
    cyclic.steps = [cyclic]
    deep, _ = chain(100000)
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


@pytest.mark.parametrize("index, found, expected", [
    (0, Steps(offset=7), 1000),
    (4, Steps(), 5000),
    ("2", Steps(), 3000),
    (0, types.SimpleNamespace(steps=[]), "unset"),
    ("x", types.SimpleNamespace(steps=[]), "unset"),
])
def test_step_offset_set_in_child(index, found, expected):
    deeper = Steps()
    found.steps = [Steps(steps=[]), deeper] if isinstance(found, Steps) else []
    target_step = deeper if isinstance(found, Steps) else found
    child, messages = Owner({"steps": found}).call(
        lambda: run_child(report_offset, index=index, args=(target_step,)))
    assert messages == [(index, True, expected)]
    assert getattr(target_step, "offset", "unset") in (0, "unset")  # the parent's copy is untouched


@pytest.mark.parametrize("index, found, harness", [
    ("x", Steps(), True),
    (0, FixedOffset(), True),
    (0, Steps(), False),
])
def test_failure_before_target_sends_nothing(monkeypatch, tmp_path, index, found, harness):
    marker = tmp_path / "called"
    if not harness:
        monkeypatch.setitem(sys.modules, "tavrix.vetrun.steps", None)
    child, messages = Owner({"steps": found}).call(lambda: run_child(marker.touch, index=index))
    assert (messages, child.exitcode, marker.exists()) == ([], 1, False)
