"""Building a Pcall batch: counting children and zipping their arguments."""

import copy
import types

import pytest

from tavrix.async_ import forkline
from tavrix.async_.forkline import ChildLabor, Pcall

pytestmark = pytest.mark.timeout(60)


def f():
    pass


def g():
    pass


def h():
    pass


sized_callable = type("SizedCallable", (), {"__len__": lambda self: 3, "__call__": lambda self: None})()


def children(batch):
    return [(a["target"], a["args"], a["kwargs"]) for a in batch._build_arguments()]


@pytest.mark.parametrize("args, kwargs, expected", [
    ((f,), {}, [(f, (), {})]),
    ((f,), {"iargs": [(1,), (2,), (3,)]}, [(f, (1,), {}), (f, (2,), {}), (f, (3,), {})]),
    ((f,), {"cargs": [0], "iargs": [[1], [2]]}, [(f, (0, 1), {}), (f, (0, 2), {})]),
    (([f, g, h],), {"iargs": [(1,), (2,)]}, [(f, (1,), {}), (g, (2,), {})]),
    (([f, g],), {}, [(f, (), {}), (g, (), {})]),
    (((f, g),), {"ikwargs": [{}, {"a": 1}, {}]}, [(f, (), {}), (g, (), {"a": 1})]),
    (([f],), {"iargs": [(1,), (2,)]}, [(f, (1,), {})]),
    ((f,), {"x": [1, 2], "y": (3, 4, 5)}, [(f, (), {"x": 1, "y": 3}), (f, (), {"x": 2, "y": 4})]),
    ((f,), {"iargs": [], "x": [1, 2]}, [(f, (), {"x": 1}), (f, (), {"x": 2})]),
    ((f,), {"ckwargs": {"a": 0, "b": 0}, "ikwargs": [{"a": 1}], "a": [2]}, [(f, (), {"a": 2, "b": 0})]),
    ((f,), {"ckwargs": {"a": 0, "b": 0}, "ikwargs": [{"a": 1}, {"b": 1}]},
     [(f, (), {"a": 1, "b": 0}), (f, (), {"a": 0, "b": 1})]),
    ((f,), {"iargs": ["ab"]}, [(f, ("a", "b"), {})]),
    ((f, None, (9,), [(1,), (2,)]), {}, [(f, (9, 1), {}), (f, (9, 2), {})]),
    ((f,), {"cargs": (x for x in "ab"), "iargs": [(1,), (2,)]}, [(f, ("a", "b", 1), {}), (f, ("a", "b", 2), {})]),
    ((f,), {"ikwargs": [[("k", 1)]]}, [(f, (), {"k": 1})]),
    ((sized_callable,), {}, [(sized_callable, (), {})]),
])
def test_children_zipped_from_sources(args, kwargs, expected):
    batch = Pcall(*args, **kwargs)
    workers = batch._processes
    assert [(w._target, w._args, w._kwargs) for w in workers] == expected
    assert [w._index for w in workers] == list(range(len(expected)))
    assert all(type(w) is ChildLabor and w._queue is batch._queue for w in workers)
    assert not any(w.is_alive() for w in workers)
    assert Pcall.__init__.__defaults__[3] == {}


def test_attributes_after_construction():
    targets, cargs, ckwargs = [f, g], (0,), {"c": 1}
    iargs, ikwargs = [(1,), (2,)], [{"i": 1}, {"i": 2}]
    batch = Pcall(targets, 3.5, cargs, iter(iargs), ckwargs, ikwargs, z=(5, 6), a="78")
    assert list(vars(batch)) == [
        "targets", "timeout", "cargs", "iargs", "ckwargs", "ikwargs", "varkwargs", "results", "_queue", "_processes",
    ]
    assert (batch.targets, batch.cargs, batch.ckwargs) == (targets, cargs, ckwargs)
    assert batch.targets is targets and batch.cargs is cargs and batch.ckwargs is ckwargs
    assert (batch.timeout, batch.iargs, batch.results) == (3.5, iargs, None)
    assert batch.ikwargs == ikwargs and batch.ikwargs is not ikwargs
    assert list(batch.varkwargs.items()) == [("z", [5, 6]), ("a", ["7", "8"])]
    assert list(batch._processes[0]._kwargs) == ["c", "i", "z", "a"]
    assert type(batch._queue) is type(forkline.multiprocessing.SimpleQueue())
    assert Pcall(f, cargs=cargs)._processes[0]._args is cargs  # an exact tuple is used as it is


def test_caller_containers_untouched_and_not_shared():
    ckwargs = {"a": 0, "shared": [1]}
    iargs, ikwargs, xs = [[1], [2]], [{"a": 1}, {"b": 2}], [7, 8]
    snapshot = copy.deepcopy((ckwargs, iargs, ikwargs, xs))
    batch = Pcall(f, iargs=iargs, ckwargs=ckwargs, ikwargs=ikwargs, x=xs)
    assert (ckwargs, iargs, ikwargs, xs) == snapshot
    first, second = (w._kwargs for w in batch._processes)
    assert first is not second and ckwargs not in (first, second)
    assert first["shared"] is ckwargs["shared"]
    again = batch._build_arguments()
    assert again == batch._build_arguments() and again[0]["kwargs"] is not again[1]["kwargs"]
    Pcall(f, ikwargs=[{"leak": 1}], leak2=[2])
    assert Pcall.__init__.__defaults__[3] == {}


def test_build_arguments_called_once_through_instance():
    calls = []

    class Custom(Pcall):
        def _build_arguments(self):
            calls.append(self)
            return [{"target": g, "args": (1, 2), "kwargs": {"k": 3}}, {"target": h, "args": (), "kwargs": {}}]

    batch = Custom(f)
    assert calls == [batch]
    assert [(w._index, w._target, w._args, w._kwargs) for w in batch._processes] == [
        (0, g, (1, 2), {"k": 3}), (1, h, (), {}),
    ]


def test_worker_class_looked_up_per_worker_with_keywords_only(monkeypatch):
    made = []

    def second(*args, **kwargs):
        made.append(("second", args, list(kwargs), kwargs))
        return "w2"

    def first(*args, **kwargs):
        made.append(("first", args, list(kwargs), kwargs))
        monkeypatch.setattr(forkline, "ChildLabor", second)
        return "w1"

    monkeypatch.setattr(forkline, "ChildLabor", first)
    batch = Pcall([f, g], iargs=[(1,), (2,)])
    keys = ["index", "queue", "target", "args", "kwargs"]
    assert made == [
        ("first", (), keys, {"index": 0, "queue": batch._queue, "target": f, "args": (1,), "kwargs": {}}),
        ("second", (), keys, {"index": 1, "queue": batch._queue, "target": g, "args": (2,), "kwargs": {}}),
    ]
    assert batch._processes == ["w1", "w2"]


def test_target_repetition_read_from_module(monkeypatch):
    monkeypatch.setattr(forkline, "itertools", types.SimpleNamespace(repeat=lambda target: iter([g, h])))
    assert [t for t, _, _ in children(Pcall(f, iargs=[(1,), (2,)]))] == [g, h]


@pytest.mark.parametrize("args, kwargs, error", [
    ((f,), {"iargs": 5}, TypeError), ((f,), {"ikwargs": 5}, TypeError), ((f,), {"x": 5}, TypeError),
    ((5,), {}, TypeError), (((t for t in [f]),), {}, TypeError), (([],), {}, ValueError),
    (([],), {"iargs": [(1,)]}, StopIteration), ((f,), {"x": []}, IndexError), ((f,), {"iargs": [5]}, TypeError),
    ((f,), {"cargs": 5}, TypeError), ((f,), {"ikwargs": [5]}, TypeError),
    ((f,), {"ikwargs": [[(1, 2, 3)]]}, ValueError), ((f,), {"ckwargs": None}, AttributeError),
])
def test_construction_failures(args, kwargs, error):
    with pytest.raises(error):
        Pcall(*args, **kwargs)


def test_worker_failure_propagates(monkeypatch):
    monkeypatch.setattr(forkline, "ChildLabor", lambda **kwargs: {}[kwargs["index"]])
    pytest.raises(KeyError, Pcall, f)
