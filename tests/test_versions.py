"""What each interpreter version says and does, and the native code the same:
the messages of unpacking and of f(*a, **k), which change between versions
(3.14, 3.15), annotations as functools.wraps copies them (__annotate__ from
3.14), and the C stack that 3.14 and later measure. Each case compares the
native operation with the Python statement it stands for, on the running
version, or with the function that a wrapper wraps. And the places that name
the supported versions agree."""

import functools
import inspect
import re
import sys
import threading
import typing
from pathlib import Path

import pytest

import tavrix.async_.synchronize as sync
from batch_cleanup import bound_this_process
from tavrix.async_.forkline import Pcall
from test_hostile_objects import Items, child_call, outcome

pytestmark = pytest.mark.timeout(120)


def f(*args, **kwargs):
    return args, kwargs


class ListSub(list):
    pass


class TupleSub(tuple):
    pass


class DictSub(dict):
    pass


# ---------------------------------------------------------------------------
# `key, value = item`: the metaclass walk of a namespace's items()
# ---------------------------------------------------------------------------

UNPACKED = {
    "exact list, too many": lambda: ["f", f, "extra"],
    "exact tuple, too many": lambda: ("f", f, "extra"),
    "exact dict, too many": lambda: {"f": 1, "g": 2, "h": 3},
    "list subclass, too many": lambda: ListSub(["f", f, "extra"]),
    "tuple subclass, too many": lambda: TupleSub(("f", f, "extra")),
    "dict subclass, too many": lambda: DictSub({"f": 1, "g": 2, "h": 3}),
    "set, too many": lambda: {"f", "g", "h"},
    "iterator, too many": lambda: iter(["f", f, "extra"]),
    "str, too many": lambda: "fgh",
    "exact list, too few": lambda: ["f"],
    "exact dict, too few": lambda: {"f": 1},
    "not iterable": lambda: 5,
}


@pytest.mark.parametrize("make", UNPACKED.values(), ids=UNPACKED.keys())
def test_unpacking_says_what_the_statement_says(make):
    def statement():
        for key, value in Items(make()).items():
            pass

    assert outcome(lambda: sync.LockableMeta("C", (), Items(make()))) == outcome(statement)


# ---------------------------------------------------------------------------
# f(*args, **kwargs): a child's call of its target
# ---------------------------------------------------------------------------

class KeysProperty:
    @property
    def keys(self):
        raise AttributeError("keys")


class KeysCallRaises:
    def keys(self):
        raise AttributeError("inside keys()")


class GetitemRaises:
    def keys(self):
        return ["a"]

    def __getitem__(self, key):
        raise AttributeError("inside __getitem__")


class KeysNotIterable:
    def keys(self):
        return 5


class OwnKeys(dict):
    def __iter__(self):
        return iter(["unused"])

    def keys(self):
        return ["k"]

    def __getitem__(self, key):
        return key * 2


class IterRaises:
    def __iter__(self):
        raise TypeError("inside __iter__")


STARRED = {
    "* of an int": (5, {}),
    "* of None": (None, {}),
    "* whose __iter__ raises TypeError": (IterRaises(), {}),
    "** of an int": ((), 5),
    "** of a list": ((), [("a", 1)]),
    "** whose keys attribute raises AttributeError": ((), KeysProperty()),
    "** whose keys() raises AttributeError": ((), KeysCallRaises()),
    "** whose __getitem__ raises AttributeError": ((), GetitemRaises()),
    "** whose keys() is not iterable": ((), KeysNotIterable()),
    "** of a dict subclass with its own keys()": ((), OwnKeys(a=1)),
    "both bad": (5, 5),
}


@pytest.mark.parametrize("args, kwargs", STARRED.values(), ids=STARRED.keys())
def test_star_arguments_say_what_the_call_says(args, kwargs):
    assert outcome(lambda: child_call(f, args, kwargs)) == outcome(lambda: f(*args, **kwargs))


# ---------------------------------------------------------------------------
# Annotations of a wrapper and of the function it wraps
# ---------------------------------------------------------------------------

def annotated():
    def method(self, x: int, y: "list[str]" = ()) -> str:
        return str(x)
    return method


def replaced_annotate(fn):
    fn.__annotate__ = lambda format: {"z": float}
    return fn.__annotations__, callable(fn.__annotate__)


def set_annotate(value):
    def action(fn):
        fn.__annotate__ = value
        return fn.__annotations__
    return action


def set_annotations(fn):
    fn.__annotations__ = {"z": bytes}
    return fn.__annotations__, getattr(fn, "__annotate__", "absent")


def delete_annotate(fn):
    del fn.__annotate__


def through_wraps(fn):
    return functools.wraps(fn)(lambda *args: None).__annotations__


def string_format(fn):
    annotationlib = pytest.importorskip("annotationlib")
    return annotationlib.get_annotations(fn, format=annotationlib.Format.STRING)


T = typing.TypeVar("T")


def generic_hints(decorate):
    class Box(typing.Generic[T]):
        @decorate
        def put(self, item: T) -> None:
            pass
    return typing.get_type_hints(Box.put)


ANNOTATION_ACTIONS = {
    "__annotations__": lambda fn: fn.__annotations__,
    "__annotate__ is there": lambda fn: callable(getattr(fn, "__annotate__", None)),
    "__annotate__ replaced": replaced_annotate,
    "__annotate__ set to None": set_annotate(None),
    "__annotate__ set to a non-callable": set_annotate(5),
    "__annotate__ returning a non-dict": set_annotate(lambda format: [1]),
    "__annotate__ deleted": delete_annotate,
    "__annotations__ set": set_annotations,
    "functools.wraps of it": through_wraps,
    "typing.get_type_hints": typing.get_type_hints,
    "inspect.signature": lambda fn: str(inspect.signature(fn)),
    "annotationlib, STRING format": string_format,
}


@pytest.mark.parametrize("decorate", [sync.locked, sync.Lockable.locked], ids=["locked", "Lockable.locked"])
@pytest.mark.parametrize("action", ANNOTATION_ACTIONS.values(), ids=ANNOTATION_ACTIONS.keys())
def test_a_wrapper_has_the_annotations_of_what_it_wraps(action, decorate):
    def kind_and_result(fn):
        result = outcome(lambda: action(fn))
        # The error's type, and its text where it is not the type's name.
        return result[:2] if result[0] != AttributeError else result[:1]

    assert kind_and_result(decorate(annotated())) == kind_and_result(annotated())


@pytest.mark.parametrize("decorate", [sync.locked, sync.Lockable.locked], ids=["locked", "Lockable.locked"])
def test_a_generic_class_s_wrapped_method_has_its_type_hints(decorate):
    assert generic_hints(decorate) == generic_hints(lambda method: method) == {"item": T, "return": type(None)}


# ---------------------------------------------------------------------------
# The C stack
# ---------------------------------------------------------------------------

def deep_chain_on_a_small_stack(depth):
    bound_this_process()
    sys.setrecursionlimit(10**6)

    def method(self):
        return "bottom"

    chain = method
    for _ in range(depth):
        chain = sync.locked(chain)
    seen = []

    def run():
        try:
            seen.append(chain(sync.Lockable()))
        except RecursionError as e:
            seen.append(type(e).__name__)

    threading.stack_size(512 << 10)
    runner = threading.Thread(target=run)
    runner.start()
    runner.join()
    return seen


@pytest.mark.skipif(sys.version_info < (3, 14), reason="the interpreter measures the C stack from 3.14")
def test_a_native_chain_ends_in_recursion_error_on_a_small_stack():
    """With the recursion limit raised, a chain of 20,000 wrappers cannot fit
    in 512 KiB of stack: as Python code does there, it ends in RecursionError."""
    assert Pcall.pcall(deep_chain_on_a_small_stack, iargs=[(20_000,)], timeout=60) == (["RecursionError"],)


# ---------------------------------------------------------------------------
# Every place that names the supported versions
# ---------------------------------------------------------------------------

ROOT = Path(__file__).resolve().parent.parent


def versions_in(text):
    return {tuple(map(int, v.split("."))) for v in re.findall(r"\b3\.1\d\b", text)}


def cmake_range():
    low, high = re.search(r"find_package\(Python (3\.\d+)\.\.\.<(3\.\d+)", (ROOT / "CMakeLists.txt").read_text()).groups()
    low, high = (tuple(map(int, v.split("."))) for v in (low, high))
    return {(3, minor) for minor in range(low[1], high[1])}


def readme_statement():
    section = re.split(r"^#+ Supported versions$", (ROOT / "README.md").read_text(), maxsplit=1, flags=re.M)[1]
    return versions_in(section.strip().split("\n\n", 1)[0])


PLACES = {
    "classifiers": lambda: versions_in(" ".join(
        re.findall(r"Programming Language :: Python :: (3\.\d+)", (ROOT / "pyproject.toml").read_text()))),
    "CMake's version range": cmake_range,
    "the scripts' supported versions": lambda: versions_in(
        re.search(r"^SUPPORTED_VERSIONS=\((.*)\)", (ROOT / "scripts" / "common.sh").read_text(), re.M).group(1)),
    "the versions CI runs": lambda: versions_in(
        re.search(r"^for v in (.*); do", (ROOT / ".ci" / "run").read_text(), re.M).group(1)),
    "the README's statement": readme_statement,
}


@pytest.mark.parametrize("place", PLACES.values(), ids=PLACES.keys())
def test_every_place_names_the_supported_versions_this_one_among_them(place):
    supported = PLACES["the scripts' supported versions"]()
    assert sys.version_info[:2] in supported
    assert place() == supported
