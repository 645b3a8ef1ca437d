"""Module namespace, class shapes and call signatures of forkline."""

import collections
import functools
import inspect
import itertools
import logging
import multiprocessing
import os
import signal
import subprocess
import sys
import time

import pytest

import tavrix.async_.exceptions
import tavrix.log
from tavrix.async_ import forkline
from tavrix.async_.forkline import ChildLabor, ChildWork, Pcall

pytestmark = pytest.mark.timeout(60)


def test_module_namespace_in_binding_order():
    names = list(vars(forkline))
    first = names.index("os")
    assert all(n.startswith("__") and n.endswith("__") for n in names[:first])
    assert names[first:] == [
        "os", "time", "signal", "logging", "inspect", "itertools", "functools", "namedtuple",
        "ExceptionWithTraceback", "managed_handlers", "multiprocessing", "__pcall_infra__", "logger",
        "ChildWork", "ChildLabor", "Pcall",
    ]
    assert forkline.__doc__ is None


def test_module_attributes():
    for module in (os, time, signal, logging, inspect, itertools, functools):
        assert getattr(forkline, module.__name__) is module
    assert forkline.namedtuple is collections.namedtuple
    assert forkline.ExceptionWithTraceback is tavrix.async_.exceptions.ExceptionWithTraceback
    assert forkline.managed_handlers is tavrix.log.managed_handlers
    assert forkline.multiprocessing is multiprocessing.get_context("fork")
    assert forkline.__pcall_infra__ is True
    assert forkline.logger is logging.getLogger("tavrix.async_.forkline")
    assert forkline.logger.name == forkline.__name__ == "tavrix.async_.forkline"


def run_python(code, lines=False):
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stdout.splitlines() if lines else done.stdout.split()


def test_fork_context_leaves_default_start_method_alone():
    code = (
        "import multiprocessing as m\n"
        "from tavrix.async_ import forkline as f\n"
        "print(m.get_start_method(allow_none=True), f.multiprocessing.get_start_method())\n"
        "m.set_start_method('spawn', force=True)\n"
        "print(m.get_start_method(), f.multiprocessing.get_start_method(), f.ChildLabor._start_method)\n"
    )
    assert run_python(code) == ["None", "fork", "spawn", "fork", "fork"]


@pytest.mark.parametrize("setup, statement", [
    ("sys.modules['tavrix.log.managed_handlers'] = None", "from tavrix.log import managed_handlers"),
    ("sys.modules['tavrix.async_.exceptions'] = types.ModuleType('tavrix.async_.exceptions')",
     "from tavrix.async_.exceptions import ExceptionWithTraceback"),
])
def test_missing_sibling_fails_import(setup, statement):
    code = (
        f"import sys, types\n{setup}\n"
        "def attempt(statement):\n"
        "    try:\n"
        "        exec(statement)\n"
        "    except ImportError as e:\n"
        "        return type(e).__name__ + ': ' + str(e)\n"
        f"print(attempt({statement!r}))\n"
        "print(attempt('import tavrix.async_.forkline'))\n"
        "print('tavrix.async_.forkline' in sys.modules)\n"
    )
    expected, got, loaded = run_python(code, lines=True)
    assert got == expected != "None"
    assert loaded == "False"


def test_childwork_is_a_named_tuple():
    work = ChildWork("f", "()", "{}")
    assert (work.target, work[0], work.args, work.kwargs) == ("f", "f", "()", "{}")
    assert ChildWork._fields == ("target", "args", "kwargs")
    assert work == ("f", "()", "{}")
    assert repr(work) == "ChildWork(target='f', args='()', kwargs='{}')"
    assert ChildWork.__name__ == "ChildWork"
    assert ChildWork.__module__ == "tavrix.async_.forkline"
    with pytest.raises(AttributeError):
        work.target = "g"


def test_childlabor_class_shape():
    assert ChildLabor.__bases__ == (forkline.multiprocessing.Process,)
    assert issubclass(ChildLabor, forkline.multiprocessing.Process)
    assert type(ChildLabor) is type
    assert (ChildLabor.__module__, ChildLabor.__qualname__) == ("tavrix.async_.forkline", "ChildLabor")
    assert list(ChildLabor.__dict__) == ["__module__", "__doc__", "__init__", "_get_steps", "run"]
    assert str(inspect.signature(ChildLabor.__init__)) == "(self, index, queue, *args, **kwargs)"


def test_pcall_class_shape():
    assert Pcall.__bases__ == (object,) and type(Pcall) is type
    assert (Pcall.__module__, Pcall.__qualname__) == ("tavrix.async_.forkline", "Pcall")
    members = [n for n in Pcall.__dict__ if n not in ("__module__", "__doc__", "__dict__", "__weakref__")]
    assert members == [
        "pcall", "__init__", "pids", "start", "join", "terminate", "kill", "livings", "_build_arguments",
    ]
    assert isinstance(Pcall.__dict__["pcall"], classmethod)
    for name in ("pids", "livings"):
        prop = Pcall.__dict__[name]
        assert type(prop) is property and prop.fset is None and prop.fdel is None
    assert str(inspect.signature(Pcall.__init__)) == (
        "(self, targets, timeout=None, cargs=(), iargs=(), ckwargs={}, ikwargs=(), **varkwargs)"
    )
    assert Pcall.__init__.__doc__ is None
    assert Pcall.__init__.__defaults__ == (None, (), (), {}, ())
    assert Pcall.__init__.__defaults__[3] is Pcall.__init__.__defaults__[3]
    assert Pcall.__init__.__kwdefaults__ is None


@pytest.mark.parametrize("obj, first_line", [
    (ChildLabor, "ChildLabor Class"),
    (ChildLabor.__init__, "built-in init"),
    (ChildLabor._get_steps, "Attempt to retrieve testcase steps"),
    (ChildLabor.run, "ChildLabor.run"),
    (Pcall, "Pcall class"),
    (Pcall.pcall, "pcall classmethod"),
    (Pcall.pids, "pids (property)"),
    (Pcall.start, "start"),
    (Pcall.join, "join"),
    (Pcall.terminate, "terminate"),
    (Pcall.kill, "kill"),
    (Pcall.livings, "property: livings"),
    (Pcall._build_arguments, "internal: building arguments"),
])
def test_docstring_first_lines(obj, first_line):
    assert obj.__doc__.splitlines()[0] == first_line


def test_methods_bind_like_functions():
    batch = Pcall(print)
    assert batch.start.__self__ is batch and batch.start.__func__ is Pcall.start
    assert Pcall.start.__qualname__ == "Pcall.start"
    assert Pcall.start.__module__ == "tavrix.async_.forkline"
    assert Pcall.pcall.__self__ is Pcall


@pytest.mark.parametrize("name", ["pids", "livings"])
def test_properties_are_read_only(name):
    batch = Pcall(print)
    with pytest.raises(AttributeError):
        setattr(batch, name, ())
    with pytest.raises(AttributeError):
        delattr(batch, name)


def _reference_init(self, targets, timeout=None, cargs=(), iargs=(), ckwargs={}, ikwargs=(), **varkwargs):
    pass


def _reference_method(self):
    pass


_reference_init.__qualname__ = "Pcall.__init__"


def _message(call):
    with pytest.raises(TypeError) as caught:
        call()
    return str(caught.value)


@pytest.mark.parametrize("args, kwargs", [
    ((), {}),
    ((), {"timeout": 1}),
    ((print, 1, 2, 3, 4, 5, 6), {}),
    ((print, 1, 2, 3, 4, 5, 6, 7), {"x": [1]}),
    ((print,), {"targets": print}),
    ((print, 1), {"timeout": 2, "x": [1]}),
    ((print, 1, 2), {"cargs": (), "iargs": ()}),
])
def test_constructor_binding_errors_match_python(args, kwargs):
    reference = type("Reference", (), {"__init__": _reference_init})
    assert _message(lambda: Pcall(*args, **kwargs)) == _message(lambda: reference(*args, **kwargs))


@pytest.mark.parametrize("name", ["start", "join", "terminate", "kill", "_build_arguments"])
def test_method_binding_errors_match_python(name):
    reference = functools.partial(_reference_method)
    _reference_method.__qualname__ = f"Pcall.{name}"
    method = getattr(Pcall(print), name)
    assert _message(lambda: method(1)) == _message(lambda: reference(None, 1))
    assert _message(lambda: method(x=1)) == _message(lambda: reference(None, x=1))
    assert _message(lambda: getattr(Pcall, name)()) == _message(lambda: reference())


def test_childlabor_binding_errors_match_python():
    def reference(self, index, queue, *args, **kwargs):
        pass

    reference.__qualname__ = "ChildLabor.__init__"
    for args, kwargs in [((), {}), ((0,), {}), ((0, None), {"index": 1}), ((), {"queue": None})]:
        expected = _message(lambda: reference(None, *args, **kwargs))
        assert _message(lambda: ChildLabor(*args, **kwargs)) == expected


def test_childlabor_subclass_reaches_base_constructor():
    class Sub(ChildLabor):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            self.extra = True

    worker = Sub(7, "q", target=print, args=(1,), kwargs={"sep": ""})
    assert (worker._index, worker._queue, worker.extra) == (7, "q", True)
    assert (worker._target, worker._args, worker._kwargs) == (print, (1,), {"sep": ""})
    assert worker._work == ("print", "(1,)", "{'sep': ''}")
