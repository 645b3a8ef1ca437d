"""What crosses from a child to its parent: exceptions rebuilt as themselves,
and messages unpacked as the statement `index, success, result = message`
unpacks them."""

import errno
import itertools
import pickle
import threading
import types

import pytest

from tavrix.async_ import forkline
from tavrix.async_.exceptions import ExceptionWithTraceback, RemoteError, RemoteTraceback
from tavrix.async_.forkline import Pcall

pytestmark = pytest.mark.timeout(60)


class PathError(Exception):
    def __init__(self, path, code):
        super().__init__(f"{path}: failed with {code}")
        self.path, self.code = path, code


class KeywordOnly(Exception):
    def __init__(self, *, reason):
        super().__init__(reason)
        self.reason = reason


class Reworded(Exception):
    def __init__(self, text):
        super().__init__("reworded: " + text)


class NoBareInstance(Exception):
    def __new__(cls, *args):
        raise RuntimeError("never built again")


class WithLockAttribute(Exception):
    pass


def raised(exc):
    try:
        raise exc
    except BaseException as caught:
        return caught


def made(kind):
    if kind is WithLockAttribute:
        exc = WithLockAttribute("kept")
        exc.lock, exc.note = threading.Lock(), "kept too"
        return exc
    if kind is NoBareInstance:
        return Exception.__new__(NoBareInstance, "odd")
    return {PathError: lambda: PathError("/in.csv", 4), KeywordOnly: lambda: KeywordOnly(reason="late"),
            Reworded: lambda: Reworded("text"), FileNotFoundError: lambda: FileNotFoundError(errno.ENOENT, "gone", "f"),
            ValueError: lambda: ValueError("plain")}[kind]()


# kind -> (type after the trip, args, attributes that survive)
@pytest.mark.parametrize("kind, arrives_as, args, attributes", [
    (ValueError, ValueError, ("plain",), {}),
    (PathError, PathError, ("/in.csv: failed with 4",), {"path": "/in.csv", "code": 4}),
    (KeywordOnly, KeywordOnly, ("late",), {"reason": "late"}),
    (Reworded, Reworded, ("reworded: text",), {}),
    (FileNotFoundError, FileNotFoundError, (errno.ENOENT, "gone"), {"errno": errno.ENOENT, "filename": "f"}),
    (WithLockAttribute, WithLockAttribute, ("kept",), {"note": "kept too"}),
    (NoBareInstance, RemoteError, ("test_reliability_messages.NoBareInstance", "odd"), {}),
])
def test_exception_rebuilt_as_itself(kind, arrives_as, args, attributes):
    original = raised(made(kind))
    back = pickle.loads(pickle.dumps(ExceptionWithTraceback(original)))
    assert type(back) is arrives_as and back.args == args
    assert {name: getattr(back, name) for name in attributes} == attributes
    assert isinstance(back.__cause__, RemoteTraceback) and "raise exc" in str(back.__cause__)
    assert not hasattr(back, "lock")


def test_unpicklable_exception_keeps_name_message_and_traceback():
    original = raised(KeyError(threading.Lock()))
    back = pickle.loads(pickle.dumps(ExceptionWithTraceback(original)))
    assert type(back) is RemoteError and back.type_name == "builtins.KeyError"
    assert str(back) == f"builtins.KeyError: {original}"
    assert "raise exc" in str(back.__cause__) and "KeyError: <unlocked _thread.lock" in str(back.__cause__)


def fail_with_path_error(i):
    if i:
        raise PathError(f"/data/{i}", i)
    return i


def test_custom_exception_from_a_real_child():
    with pytest.raises(PathError) as caught:
        Pcall.pcall(fail_with_path_error, iargs=[(0,), (3,), (2,)])
    assert caught.value.args == ("/data/3: failed with 3",) and (caught.value.path, caught.value.code) == ("/data/3", 3)
    assert "raise PathError" in str(caught.value.__cause__)


class Endless:
    """Yields forever; counts what was taken."""

    def __init__(self, *first):
        self.taken, self.first = 0, first

    def __iter__(self):
        for value in itertools.chain(self.first, itertools.repeat("more")):
            self.taken += 1
            yield value


@pytest.mark.parametrize("make, error", [
    (lambda: [0, True, "list"], None),
    (lambda: (0, True), ValueError),
    (lambda: (0, True, "x", "y"), ValueError),
    (lambda: Endless(0, True, "x"), ValueError),
    (lambda: 7, TypeError),
], ids=["list", "too few", "too many", "endless", "not iterable"])
def test_join_unpacks_each_message_like_the_statement(make, error):
    message = make()
    batch = Pcall(print)
    batch._processes = [types.SimpleNamespace(is_alive=lambda: False, join=lambda: None, exitcode=None)]
    pending = [message]
    batch._queue = types.SimpleNamespace(empty=lambda: not pending, get=lambda: pending.pop())
    if error is None:
        batch.join()
        assert batch.results == ("list",)
        return
    with pytest.raises(error) as caught:
        batch.join()
    with pytest.raises(error) as stated:  # the running version's own words
        index, success, result = make()
    assert str(caught.value) == str(stated.value)
    if isinstance(message, Endless):
        assert message.taken == 4  # three values and one more, never to exhaustion


def test_stand_in_children_without_an_int_exitcode_are_never_missing(monkeypatch):
    monkeypatch.setattr(forkline, "time", types.SimpleNamespace(time=lambda: 0.0, sleep=lambda s: None))
    batch = Pcall(print, iargs=[(1,), (2,), (3,)])
    batch._processes = [types.SimpleNamespace(is_alive=lambda: False, join=lambda: None, **extra)
                        for extra in ({"exitcode": None}, {}, {"exitcode": "0"})]
    batch._queue = types.SimpleNamespace(empty=lambda: True)
    batch.join()
    assert batch.results == ()
