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


def test_module_namespace():
    names = list(vars(forkline))
    first = names.index("os")
    assert all(n.startswith("__") and n.endswith("__") for n in names[:first])
    assert names[first:] == [
        "os", "time", "signal", "logging", "inspect", "itertools", "functools", "namedtuple",
        "ExceptionWithTraceback", "managed_handlers", "multiprocessing", "__pcall_infra__", "logger",
        "ChildWork", "ChildLabor", "Pcall",
    ]
    assert forkline.__doc__ is None
    for module in (os, time, signal, logging, inspect, itertools, functools):
        assert getattr(forkline, module.__name__) is module
    assert forkline.namedtuple is collections.namedtuple
    assert forkline.ExceptionWithTraceback is tavrix.async_.exceptions.ExceptionWithTraceback
    assert forkline.managed_handlers is tavrix.log.managed_handlers
    assert forkline.multiprocessing is multiprocessing.get_context("fork")
    assert forkline.__pcall_infra__ is True
    assert forkline.logger is logging.getLogger("tavrix.async_.forkline")


def run_python(code):
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stdout.splitlines()


def test_fork_context_leaves_default_start_method_alone():
    assert run_python(
        "import multiprocessing as m\n"
        "from tavrix.async_ import forkline as f\n"
        "print(m.get_start_method(allow_none=True), f.multiprocessing.get_start_method())\n"
        "m.set_start_method('spawn')\n"
        "print(m.get_start_method(), f.ChildLabor._start_method)\n"
    ) == ["None fork", "spawn fork"]


@pytest.mark.parametrize("setup, statement", [
    ("sys.modules['tavrix.log.managed_handlers'] = None", "from tavrix.log import managed_handlers"),
    ("sys.modules['tavrix.async_.exceptions'] = types.ModuleType('tavrix.async_.exceptions')",
     "from tavrix.async_.exceptions import ExceptionWithTraceback"),
])
def test_missing_sibling_fails_import_like_the_statement(setup, statement):
    expected, got, loaded = run_python(
        f"import sys, types\n{setup}\n"
        "def attempt(statement):\n"
        "    try:\n"
        "        exec(statement)\n"
        "    except ImportError as e:\n"
        "        return f'{type(e).__name__}: {e}'\n"
        f"print(attempt({statement!r}))\n"
        "print(attempt('import tavrix.async_.forkline'))\n"
        "print('tavrix.async_.forkline' in sys.modules)\n"
    )
    assert got == expected != "None" and loaded == "False"


def test_childwork_is_a_named_tuple():
    work = ChildWork("f", "()", "{}")
    assert (work.target, work[0], work.args, work.kwargs) == ("f", "f", "()", "{}")
    assert ChildWork._fields == ("target", "args", "kwargs") and work == ("f", "()", "{}")
    assert repr(work) == "ChildWork(target='f', args='()', kwargs='{}')"
    assert ChildWork.__module__ == "tavrix.async_.forkline"
    with pytest.raises(AttributeError):
        work.target = "g"


def test_class_shapes():
    assert ChildLabor.__bases__ == (forkline.multiprocessing.Process,) and type(ChildLabor) is type
    assert list(ChildLabor.__dict__) == ["__module__", "__doc__", "__init__", "_get_steps", "run"]
    assert str(inspect.signature(ChildLabor.__init__)) == "(self, index, queue, *args, **kwargs)"
    assert Pcall.__bases__ == (object,) and type(Pcall) is type
    assert list(Pcall.__dict__) == [
        "__module__", "__doc__", "pcall", "__init__", "pids", "start", "join", "terminate", "kill",
        "livings", "_build_arguments", "__dict__", "__weakref__",
    ]
    for cls in (ChildLabor, Pcall):
        assert (cls.__module__, cls.__qualname__) == ("tavrix.async_.forkline", cls.__name__)
    assert isinstance(Pcall.__dict__["pcall"], classmethod) and Pcall.pcall.__self__ is Pcall
    batch = Pcall(print)
    for name in ("pids", "livings"):
        assert type(Pcall.__dict__[name]) is property
        for change in (lambda: setattr(batch, name, ()), lambda: delattr(batch, name)):
            pytest.raises(AttributeError, change)
    assert str(inspect.signature(Pcall.__init__)) == (
        "(self, targets, timeout=None, cargs=(), iargs=(), ckwargs={}, ikwargs=(), **varkwargs)")
    assert Pcall.__init__.__doc__ is None and Pcall.__init__.__kwdefaults__ is None
    assert Pcall.__init__.__defaults__ == (None, (), (), {}, ())
    assert Pcall.__init__.__defaults__[3] is Pcall.__init__.__defaults__[3]


@pytest.mark.parametrize("obj, first_line", [
    (ChildLabor, "ChildLabor Class"), (ChildLabor.__init__, "built-in init"),
    (ChildLabor._get_steps, "Attempt to retrieve testcase steps"), (ChildLabor.run, "ChildLabor.run"),
    (Pcall, "Pcall class"), (Pcall.pcall, "pcall classmethod"), (Pcall.pids, "pids (property)"),
    (Pcall.start, "start"), (Pcall.join, "join"), (Pcall.terminate, "terminate"), (Pcall.kill, "kill"),
    (Pcall.livings, "property: livings"), (Pcall._build_arguments, "internal: building arguments"),
])
def test_docstring_first_lines(obj, first_line):
    assert obj.__doc__.splitlines()[0] == first_line


def reference(qualname, signature):
    namespace = {}
    exec(f"def function{signature}: pass", namespace)
    namespace["function"].__qualname__ = qualname
    return namespace["function"]


def message(call, *args, **kwargs):
    with pytest.raises(TypeError) as caught:
        call(*args, **kwargs)
    return str(caught.value)


@pytest.mark.parametrize("args, kwargs", [
    ((), {}), ((), {"timeout": 1}), ((print, 1, 2, 3, 4, 5, 6), {}), ((print, 1, 2, 3, 4, 5, 6, 7), {"x": [1]}),
    ((print,), {"targets": print}), ((print, 1), {"timeout": 2, "x": [1]}), ((print, 1, 2, 3), {"iargs": ()}),
])
def test_constructor_binding_errors_match_python(args, kwargs):
    init = reference("Pcall.__init__",
                     "(self, targets, timeout=None, cargs=(), iargs=(), ckwargs={}, ikwargs=(), **varkwargs)")
    assert message(Pcall, *args, **kwargs) == message(init, None, *args, **kwargs)
    assert message(Pcall.pcall, *args, **kwargs) == message(init, None, *args, **kwargs)


@pytest.mark.parametrize("args, kwargs", [((), {}), ((0,), {}), ((0, None), {"index": 1}), ((), {"queue": 1})])
def test_childlabor_binding_errors_match_python(args, kwargs):
    init = reference("ChildLabor.__init__", "(self, index, queue, *args, **kwargs)")
    assert message(ChildLabor, *args, **kwargs) == message(init, None, *args, **kwargs)
