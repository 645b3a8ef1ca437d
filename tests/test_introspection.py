"""What Python's own tools see of the native modules: inspect.signature,
help() and pydoc, and unittest.mock's autospec."""
import inspect
import pydoc
import re
from unittest import mock

import pytest

from tavrix.async_ import forkline, synchronize
from tavrix.async_.forkline import ChildLabor, ChildWork, Pcall
from tavrix.async_.synchronize import Lockable, LockableMeta, locked

PCALL_SIGNATURE = "(targets, timeout=None, cargs=(), iargs=(), ckwargs={}, ikwargs=(), **varkwargs)"


def sig(obj):
    return str(inspect.signature(obj))


@pytest.mark.parametrize(
    "obj, expected",
    [
        (Pcall, PCALL_SIGNATURE),
        (Pcall.__init__, "(self, " + PCALL_SIGNATURE[1:]),
        (Pcall.pcall, "(*args, **kwargs)"),
        (Pcall.start, "(self)"),
        (Pcall.join, "(self)"),
        (Pcall.terminate, "(self)"),
        (Pcall.kill, "(self)"),
        (Pcall._build_arguments, "(self)"),
        (ChildLabor, "(index, queue, *args, **kwargs)"),
        (ChildLabor.__init__, "(self, index, queue, *args, **kwargs)"),
        (ChildLabor.run, "(self)"),
        (ChildLabor._get_steps, "(self)"),
        (ChildWork, "(target, args, kwargs)"),
        (locked, "(method)"),
        (Lockable.acquire, "(self, block=True, timeout=None)"),
        (Lockable.release, "(self)"),
        (Lockable.locked, "(method)"),
        (LockableMeta, "(name, bases, attrs)"),
        (LockableMeta.ignore, "(obj)"),
        (LockableMeta.__new__, "(cls, name, bases, attrs)"),
    ],
    ids=lambda value: getattr(value, "__qualname__", None) if callable(value) else None,
)
def test_signatures_of_public_callables(obj, expected):
    assert sig(obj) == expected


def test_bound_methods_drop_self():
    batch = Pcall(abs)
    for name in ("start", "join", "terminate", "kill", "_build_arguments"):
        assert sig(getattr(batch, name)) == "()"
    lockable = Lockable()
    assert sig(lockable.acquire) == "(block=True, timeout=None)"
    assert sig(lockable.release) == "()"
    assert sig(ChildLabor(0, None, target=abs).run) == "()"


def test_lockable_constructor_default_is_the_fork_context_factory():
    for obj in (Lockable, Lockable.__init__):
        params = inspect.signature(obj).parameters
        lock = params["lock"]
        assert lock.kind is inspect.Parameter.KEYWORD_ONLY
        assert lock.default == synchronize.multiprocessing.RLock
    assert list(inspect.signature(Lockable).parameters) == ["lock"]


def method(self, a: int, b=2, *, c: str = "x") -> str:
    """Doc of the wrapped method."""
    return f"{a}{b}{c}"


@pytest.mark.parametrize("decorator", [locked, Lockable.locked], ids=["locked", "Lockable.locked"])
def test_lock_wrappers_report_the_wrapped_signature(decorator):
    wrapper = decorator(method)
    assert wrapper.__wrapped__ is method
    assert sig(wrapper) == "(self, a: int, b=2, *, c: str = 'x') -> str"
    assert inspect.signature(wrapper) == inspect.signature(method)

    class Host(Lockable):
        run = wrapper

    assert sig(Host.run) == "(self, a: int, b=2, *, c: str = 'x') -> str"
    assert sig(Host().run) == "(a: int, b=2, *, c: str = 'x') -> str"
    assert Host().run(1, c="z") == "12z"
    # Not following __wrapped__ gives the wrapper's own parameters.
    assert str(inspect.signature(wrapper, follow_wrapped=False)) == "(self, *args, **kwargs)"
    assert str(inspect.signature(Host().run, follow_wrapped=False)) == "(*args, **kwargs)"
    # An explicit __signature__ wins over the wrapped function's.
    wrapper.__signature__ = inspect.Signature()
    assert sig(wrapper) == "()"
    del wrapper.__signature__
    assert sig(wrapper).startswith("(self, a: int")


def test_metaclass_wrapped_and_ignored_methods():
    class Registry(metaclass=LockableMeta):
        def add(self, name, *rest, **options):
            return name

        @LockableMeta.ignore
        def peek(self, index=0):
            return index

    assert type(Registry.__dict__["add"]) is not type(method)
    assert sig(Registry.add) == "(self, name, *rest, **options)"
    assert sig(Registry().add) == "(name, *rest, **options)"
    assert sig(Registry().peek) == "(index=0)"


def flat(text):
    """pydoc's text on one line: without its margins, and with long signatures,
    which newer versions wrap one parameter a line, joined again."""
    text = " ".join(re.sub(r"^[ |]*", "", line) for line in text.splitlines())
    return re.sub(r"\s+\)", ")", re.sub(r"\(\s+", "(", re.sub(r"\s+", " ", text)))


def render(obj):
    return flat(pydoc.render_doc(obj, renderer=pydoc.plaintext))


def test_help_and_pydoc_render_signatures_and_docstrings(capsys):
    text = render(Pcall)
    for line in (
        "Pcall" + PCALL_SIGNATURE,
        "Pcall class",
        "join(self)",
        "kill(self)",
        "start(self)",
        "terminate(self)",
        "Class methods defined here: pcall(*args, **kwargs)",
        "pcall classmethod",
        "pids (property)",
        "property: livings",
    ):
        assert line in text, line

    text = render(Lockable)
    for line in (
        "Lockable(*, lock=",
        "acquire(self, block=True, timeout=None)",
        "release(self)",
        "locked(method)",
        "locked decorator",
        "Static methods defined here",
    ):
        assert line in text, line

    text = render(synchronize)
    for line in ("locked(method)", "lock decorator", "class LockableMeta(builtins.type)", "ignore(obj)"):
        assert line in text, line
    assert "class ChildLabor(" in render(forkline)

    help(Pcall)
    assert "Pcall" + PCALL_SIGNATURE in flat(capsys.readouterr().out)
    assert pydoc.HTMLDoc().docclass(Lockable)  # the HTML renderer copes too


def test_autospec_of_pcall_checks_the_constructor_and_the_surface():
    Mock = mock.create_autospec(Pcall)
    batch = Mock(abs, timeout=5, iargs=[(1,)], extra=[1])
    Mock.assert_called_once_with(abs, timeout=5, iargs=[(1,)], extra=[1])
    for wrong in ((), (abs, 1, 2, 3, 4, 5, 6)):
        with pytest.raises(TypeError):
            Mock(*wrong)
    with pytest.raises(TypeError):
        Mock(abs, timeout=1, targets=abs)
    batch.start()
    batch.join()
    batch.start.assert_called_once_with()
    with pytest.raises(AttributeError):
        batch.no_such_method  # noqa: B018
    Mock.pcall(abs, iargs=[(1,)])
    Mock.pcall.assert_called_once_with(abs, iargs=[(1,)])


def test_autospec_of_lockable_checks_the_constructor():
    Mock = mock.create_autospec(Lockable)
    obj = Mock(lock=synchronize.multiprocessing.Lock)
    Mock()
    with pytest.raises(TypeError):
        Mock(synchronize.multiprocessing.Lock)  # lock is keyword-only
    with pytest.raises(TypeError):
        Mock(lock=None, other=1)
    obj.acquire(block=False)
    obj.acquire.assert_called_once_with(block=False)
    obj.release()
    with pytest.raises(AttributeError):
        obj.no_such_method  # noqa: B018


def test_patching_with_autospec_keeps_real_code_honest():
    def run_batch():
        return forkline.Pcall.pcall(abs, iargs=[(-1,)])

    with mock.patch.object(forkline, "Pcall", autospec=True) as patched:
        patched.pcall.return_value = (1,)
        assert run_batch() == (1,)
    patched.pcall.assert_called_once_with(abs, iargs=[(-1,)])
    assert run_batch() == (1,)  # the real class again
