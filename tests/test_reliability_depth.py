"""Recursion and depth: deep and cyclic step structures, deeply recursive
targets and locked methods, long chains of wrappers, and LockableMeta class
bodies with thousands of members. None of them may crash the interpreter or
run unbounded.
"""

import faulthandler
import multiprocessing
import os
import sys
import threading
import types

import pytest

import tavrix.async_.synchronize as sync
from batch_cleanup import bound_this_process
from tavrix.async_.forkline import ChildLabor, Pcall
from tavrix.vetrun.steps import Steps

pytestmark = pytest.mark.timeout(120)

FORK = multiprocessing.get_context("fork")
WAIT = 30


def noop():
    pass


LABOR = ChildLabor(index=0, queue=None, target=noop)


class Owner:
    """A harness object as _get_steps finds it: `self` of a frame, with parameters.internal."""

    def __init__(self, steps):
        self.parameters = types.SimpleNamespace(internal={"steps": steps})

    def lookup(self, inner=None):
        if inner is not None:
            return inner.lookup()
        return LABOR._get_steps()


def chain(depth):
    """Steps nested `depth` levels deep through the last child; returns (top, deepest)."""
    top = node = Steps()
    for _ in range(depth):
        child = Steps()
        node.steps = [Steps(), child]
        node = child
    return top, node


class Interrupt(BaseException):
    """Not an Exception: the lookup lets it through."""


class RaisingSteps:
    def __init__(self, error):
        self.error = error

    @property
    def steps(self):
        raise self.error


# ---------------------------------------------------------------------------
# Step structures
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("depth", [0, 1, 10, 500])
def test_nested_steps_lead_to_the_deepest(depth):
    top, deepest = chain(depth)
    assert Owner(top).lookup() is deepest


def self_cycle():
    s = Steps()
    s.steps = [s]
    return s


def two_cycle():
    a, b = Steps(), Steps()
    a.steps, b.steps = [Steps(), b], [a]
    return a


def cycle_below_a_chain():
    top, deepest = chain(20)
    deepest.steps = [top]
    return top


@pytest.mark.parametrize("make", [lambda: chain(100_000)[0], self_cycle, two_cycle, cycle_below_a_chain],
                         ids=["depth-100000", "self-cycle", "two-cycle", "cycle-below-a-chain"])
def test_endless_or_too_deep_steps_are_passed_over(make):
    """The descent ends in RecursionError, which the lookup skips like any failure."""
    steps = make()
    assert Owner(steps).lookup() is None
    # an outer frame that qualifies is still found
    outer_top, outer_deepest = chain(3)
    assert Owner(outer_top).lookup(inner=Owner(steps)) is outer_deepest


def test_a_raised_recursion_limit_allows_deeper_steps():
    top, deepest = chain(3_000)
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(5_000)
    try:
        assert Owner(top).lookup() is deepest
    finally:
        sys.setrecursionlimit(limit)
    assert Owner(top).lookup() is None


def test_only_the_last_of_many_children_is_examined():
    top = Steps([Steps(RaisingSteps(RuntimeError("never read")))] * 1_000_000 + [Steps(("not", "a", "list"))])
    assert Owner(top).lookup() is top


@pytest.mark.parametrize("error, expected", [
    (RuntimeError("broken step"), None),
    (RecursionError(), None),
    (Interrupt(), Interrupt),
])
def test_failing_steps_attribute(error, expected):
    top = Steps([Steps(), Steps([RaisingSteps(error)])])
    if expected is None:
        assert Owner(top).lookup() is None
    else:
        with pytest.raises(expected):
            Owner(top).lookup()


# ---------------------------------------------------------------------------
# Deeply recursive targets
# ---------------------------------------------------------------------------

def recurse(n):
    return recurse(n + 1) + 1


def deep_target(kind):
    if kind == "fine":
        return "fine"
    if kind == "recursion-error":
        return recurse(0)
    # Native recursion that no interpreter checks (from 3.14 the interpreter
    # measures the C stack under Python code, and under native calls that
    # count themselves), on a thread with a small stack: it runs off the end.
    bound_this_process()
    faulthandler.disable()
    threading.stack_size(512 << 10)
    runner = threading.Thread(target=faulthandler._stack_overflow)
    runner.start()
    runner.join()
    return "survived"


def test_target_ending_in_recursion_error():
    """The child catches it as any Exception, and the parent raises it again."""
    with pytest.raises(RecursionError):
        Pcall.pcall(deep_target, iargs=[("fine",), ("recursion-error",)])
    assert FORK.active_children() == []


def test_target_overflowing_the_stack():
    """The child crashes without a message: a failure at its index, after every child is reaped."""
    batch = Pcall(deep_target, iargs=[("fine",), ("stack-overflow",)])
    try:
        batch.start()
        with pytest.raises(ChildProcessError, match=r"^child 1 .* was killed by SIG"):
            batch.join()
        assert batch.results is None
        assert batch._processes[1].exitcode not in (0, None)
    finally:
        for child in batch._processes:
            if child._popen is not None and child.exitcode is None:
                child.kill()
            child.join(WAIT)


# ---------------------------------------------------------------------------
# Recursion under the lock, and chains of wrappers
# ---------------------------------------------------------------------------

def descend(self, n):
    return 0 if n == 0 else self.descend(n - 1) + 1


def recursive_class(style):
    if style == "locked":
        return type("Deep", (), {"descend": sync.locked(descend)})
    if style == "Lockable.locked":
        return type("Deep", (sync.Lockable,), {"descend": sync.Lockable.locked(descend)})
    return sync.LockableMeta("Deep", (), {"descend": descend})


def lock_is_free(obj):
    """True when another thread can take the object's lock at once."""
    answer = []

    def probe():
        got = obj.__lock__.acquire(block=False)
        answer.append(got)
        if got:
            obj.__lock__.release()

    t = threading.Thread(target=probe)
    t.start()
    t.join(WAIT)
    return answer == [True]


@pytest.mark.parametrize("style", ["locked", "Lockable.locked", "LockableMeta"])
def test_recursive_locked_method(style):
    obj = recursive_class(style)()
    assert obj.descend(200) == 200  # the recursive lock is taken 201 times and given back as often
    assert lock_is_free(obj)
    with pytest.raises(RecursionError):
        obj.descend(10**6)
    assert lock_is_free(obj)
    assert obj.descend(3) == 3


@pytest.mark.parametrize("decorate", [sync.locked, sync.Lockable.locked], ids=["locked", "Lockable.locked"])
def test_long_chain_of_wrappers(decorate):
    """Calling 20,000 wrappers deep ends in RecursionError; every level lets go of the lock."""
    def method(self):
        return "bottom"

    wrapper = method
    for _ in range(20_000):
        wrapper = decorate(wrapper)
    obj = sync.Lockable()
    with pytest.raises(RecursionError):
        wrapper(obj)
    assert lock_is_free(obj)
    assert wrapper.__wrapped__.__wrapped__ is not None


@pytest.mark.parametrize("through_dicts", [False, True], ids=["closures", "closures-and-dicts"])
def test_freeing_a_long_chain_of_wrappers(through_dicts):
    """Each wrapper holds the only reference to the next. Freed on a thread with a small stack,
    a chain 50,000 long must not recurse once per link (it once overflowed the stack). With
    __wrapped__ kept, the interpreter's own deferred frees of the dicts interleave with ours."""
    def method(self):
        return None

    wrapper = method
    for _ in range(50_000):
        wrapper = sync.locked(wrapper)
        if not through_dicts:
            wrapper.__dict__.clear()  # only the closure links the chain
    box = [wrapper]
    del wrapper
    done = []

    def free():
        box.pop()
        done.append(True)

    old = threading.stack_size(256 << 10)
    try:
        t = threading.Thread(target=free)
        t.start()
    finally:
        threading.stack_size(old)
    t.join(WAIT)
    assert done == [True]


# ---------------------------------------------------------------------------
# LockableMeta with thousands of members
# ---------------------------------------------------------------------------

def test_class_body_with_thousands_of_members():
    body = {}
    n = 5_000
    for i in range(n):
        body[f"pub{i}"] = (lambda i: lambda self: i)(i)
        body[f"_priv{i}"] = (lambda i: lambda self: -i)(i)
        body[f"num{i}"] = i
    ignored = [sync.LockableMeta.ignore((lambda i: lambda self: ("ignored", i))(i)) for i in range(1_000)]
    for i, fn in enumerate(ignored):
        body[f"ign{i}"] = fn
    originals = dict(body)
    Big = sync.LockableMeta("Big", (), body)
    assert len(body) == len(originals)
    for i in (0, 1, n // 2, n - 1):
        assert Big.__dict__[f"pub{i}"].__wrapped__ is originals[f"pub{i}"]
        assert Big.__dict__[f"_priv{i}"] is originals[f"_priv{i}"]
        assert Big.__dict__[f"num{i}"] == i
    assert all(Big.__dict__[f"ign{i}"] is fn and not hasattr(fn, "_LockedMeta_ignore")
               for i, fn in enumerate(ignored))
    assert sum(hasattr(v, "__wrapped__") for v in Big.__dict__.values()) == n
    obj = Big()
    assert [obj.pub0(), getattr(obj, f"pub{n - 1}")(), obj._priv3(), obj.ign7()] == [0, n - 1, -3, ("ignored", 7)]
    assert lock_is_free(obj)


def test_class_statement_with_thousands_of_methods():
    source = "class Written(metaclass=LockableMeta):\n" + "".join(
        f"    def m{i}(self, x={i}):\n        return x\n" for i in range(3_000))
    namespace = {"LockableMeta": sync.LockableMeta}
    exec(source, namespace)
    Written = namespace["Written"]
    obj = Written()
    assert obj.m0() == 0 and obj.m2999() == 2999 and obj.m1500(x="x") == "x"
    assert Written.m42.__name__ == "m42" and Written.m42.__wrapped__.__qualname__ == "Written.m42"


def test_deep_hierarchy_of_locked_classes():
    """150 subclasses deep, each override calling super(): 150 nested locked calls on one lock."""
    classes = [sync.LockableMeta("Level0", (), {"depth": lambda self: 0})]

    def make_depth(level):
        def depth(self):
            return super(classes[level], self).depth() + 1
        return depth

    for level in range(1, 151):
        classes.append(sync.LockableMeta(f"Level{level}", (classes[-1],), {"depth": make_depth(level)}))
    obj = classes[-1]()
    assert obj.depth() == 150
    assert lock_is_free(obj)
