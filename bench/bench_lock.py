"""Locked calls, acquire/release and class creation against their peers and
the floor (bench/floor.cpp: the least a native wrapper does)."""

import functools
import logging
import multiprocessing as _mp
import threading

import wrapt

from tavrix.async_ import synchronize
from tavrix.async_.synchronize import Lockable, LockableMeta, locked

import floor_build
import instructions
from common import Table, Target, per_op_ns

floor = floor_build.load()

FORK = _mp.get_context("fork")
logger = logging.getLogger("bench")


def py_locked(method):
    """The same algorithm as `synchronize.locked`, written in Python."""

    @functools.wraps(method)
    def _wrapped(self, *args, **kwargs):
        if not hasattr(self, "__lock__"):
            self.__lock__ = FORK.RLock()
        if not self.__lock__.acquire(block=False):
            logger.warning("Waiting for lock on %s" % self)
            self.__lock__.acquire()
        try:
            return method(self, *args, **kwargs)
        finally:
            self.__lock__.release()

    return _wrapped


class Plain:
    def __init__(self):
        self.__lock__ = FORK.RLock()
        self.tlock = threading.RLock()

    def bare(self, x):
        return x

    @locked
    def with_locked(self, x):
        return x

    @py_locked
    def with_py_locked(self, x):
        return x

    @wrapt.synchronized
    def with_wrapt(self, x):
        return x


class Based(Lockable):
    def __init__(self):
        super().__init__()

    @Lockable.locked
    def with_lockable(self, x):
        return x


class Meta(metaclass=LockableMeta):
    def with_meta(self, x):
        return x


def _bare(self, x):
    return x


class FloorPlain:
    """Plain's shape, with the floor's generic wrapper."""

    def __init__(self):
        self.__lock__ = FORK.RLock()
        self.tlock = threading.RLock()

    with_locked = floor.locked(_bare)


class FloorBased:
    """Based's shape (the lock set by the constructor), with the floor's
    Lockable wrapper and acquire/release."""

    def __init__(self):
        self.__lock__ = FORK.RLock()

    with_lockable = floor.lockable_locked(_bare)
    acquire = floor.acquire
    release = floor.release


class FloorMeta:
    """Meta's shape (the lock made by the first call), with the floor's generic wrapper."""

    with_meta = floor.locked(_bare)


BY_HAND = """\
if not h.__lock__.acquire(block=False):
    h.__lock__.acquire()
try:
    h.bare(1)
finally:
    h.__lock__.release()
"""

WITH_RLOCK = """\
with h.tlock:
    h.bare(1)
"""


def fixtures():
    """The objects the lock benchmarks call, their locks made."""
    # One object per way of locking: a peer that changes its object (wrapt
    # asks for the instance dict, which from 3.11 moves the object off the
    # interpreter's fast paths) must not slow the others.
    g = {"o": Plain(), "h": Plain(), "p": Plain(), "w": Plain(), "b": Based(), "m": Meta(), "fo": FloorPlain(),
         "fb": FloorBased(), "fm": FloorMeta()}
    g["m"].with_meta(0)  # its lock is made by the first call
    g["fm"].with_meta(0)
    g["w"].with_wrapt(0)
    g["lock"] = g["b"].__lock__
    return g


# The floor row each of the module's rows is compared with.
LOCKED_FLOOR = {
    "synchronize.locked": "floor: generic wrapper",
    "Lockable.locked": "floor: Lockable's wrapper",
    "LockableMeta method": "floor: generic wrapper, lock made by the first call",
}
PAIR_FLOOR = {"Lockable.acquire() + release()": "floor: acquire() + release()"}


def _instructions(variants, wanted):
    counts = instructions.per_op({label: variants[label] for label in wanted},
                                 "import bench_lock\nglobals().update(bench_lock.fixtures())")
    return counts or {}


def _ratio(a, b):
    return a / b if a is not None and b else ""


def locked_call(rounds):
    g = fixtures()
    variants = {
        "bare method call (no lock)": "h.bare(1)",
        "synchronize.locked": "o.with_locked(1)",
        "Lockable.locked": "b.with_lockable(1)",
        "LockableMeta method": "m.with_meta(1)",
        "floor: generic wrapper": "fo.with_locked(1)",
        "floor: Lockable's wrapper": "fb.with_lockable(1)",
        "floor: generic wrapper, lock made by the first call": "fm.with_meta(1)",
        "same lock by hand in Python": BY_HAND,
        "pure-Python decorator, same lock": "p.with_py_locked(1)",
        "wrapt.synchronized (threading.RLock)": "w.with_wrapt(1)",
        "threading.RLock with block": WITH_RLOCK,
    }
    ns = per_op_ns(variants, rounds=rounds, setup_globals=g)
    counted = _instructions(variants, [l for l in variants if not l.startswith(("wrapt", "threading"))])
    by_hand = ns["same lock by hand in Python"]
    pure = ns["pure-Python decorator, same lock"]
    hand_i = counted.get("same lock by hand in Python")
    table = Table(
        "Locked method call",
        ["variant", "ns/call", "vs floor", "vs by hand", "vs pure-Python decorator", "instr/call", "instr vs floor",
         "instr vs by hand"],
        "Fastest round per call of a method returning its argument, net of the timing loop; instructions "
        "counted by callgrind, net of the loop. The module's, the floor's, the by-hand and pure-Python rows use "
        "the fork-context RLock; wrapt and the with block use a threading.RLock, which excludes no other process. "
        "'vs floor': against the floor row of the same shape.",
    )
    for label, value in ns.items():
        floor_label = LOCKED_FLOOR.get(label)
        i = counted.get(label)
        table.add(label, value, _ratio(value, ns.get(floor_label)) if floor_label else "",
                  value / by_hand, value / pure, "" if i is None else i,
                  _ratio(i, counted.get(floor_label)) if floor_label and i is not None else "",
                  "" if i is None or not hand_i else i / hand_i)
    targets = []
    for label, floor_label in LOCKED_FLOOR.items():
        targets.append(Target(f"{label} / floor", ns[label] / ns[floor_label], 1.1))
        if label in counted:
            targets.append(Target(f"{label} / floor, instructions", counted[label] / counted[floor_label], 1.1))
        targets.append(Target(f"{label} / pure-Python decorator", ns[label] / pure, 0.45))
    return table, targets, ns, counted


def acquire_release(rounds):
    g = fixtures()
    variants = {
        "Lockable.acquire() + release()": "b.acquire(); b.release()",
        "floor: acquire() + release()": "fb.acquire(); fb.release()",
        "obj.__lock__.acquire() + release()": "b.__lock__.acquire(); b.__lock__.release()",
        "obj.__lock__.acquire(block=True, timeout=None) + release()":
            "b.__lock__.acquire(block=True, timeout=None); b.__lock__.release()",
        "lock held in a local: acquire() + release()": "lock.acquire(); lock.release()",
    }
    ns = per_op_ns(variants, rounds=rounds, setup_globals=g)
    counted = _instructions(variants, list(variants))
    base = ns["obj.__lock__.acquire() + release()"]
    base_i = counted.get("obj.__lock__.acquire() + release()")
    table = Table(
        "Lockable.acquire/release",
        ["variant", "ns/pair", "vs floor", "vs obj.__lock__ methods", "instr/pair", "instr vs floor",
         "instr vs obj.__lock__ methods"],
        "One acquire and one release of a free fork-context RLock. Lockable.acquire passes block and timeout by "
        "keyword, as the fourth row does by hand.",
    )
    for label, value in ns.items():
        floor_label = PAIR_FLOOR.get(label)
        i = counted.get(label)
        table.add(label, value, _ratio(value, ns.get(floor_label)) if floor_label else "", value / base,
                  "" if i is None else i, _ratio(i, counted.get(floor_label)) if floor_label and i is not None else "",
                  "" if i is None or not base_i else i / base_i)
    label, floor_label = next(iter(PAIR_FLOOR.items()))
    targets = [Target("Lockable.acquire+release / floor", ns[label] / ns[floor_label], 1.1)]
    if label in counted:
        targets.append(Target("Lockable.acquire+release / floor, instructions",
                              counted[label] / counted[floor_label], 1.1))
    return table, targets, ns, counted


CLASS_BODY = """
class C(metaclass=META):
    x = 1
    def a(self): pass
    def b(self): pass
    def c(self): pass
    def d(self): pass
    @LockableMeta.ignore
    def e(self): pass
    def _f(self): pass
    def __init__(self): pass
"""


def class_creation(rounds):
    code = compile(CLASS_BODY, "<bench>", "exec")
    g_meta = {"META": LockableMeta, "LockableMeta": LockableMeta}
    g_type = {"META": type, "LockableMeta": LockableMeta}
    variants = {
        "class statement, metaclass=LockableMeta": "exec(code, g_meta)",
        "class statement, metaclass=type": "exec(code, g_type)",
    }
    ns = per_op_ns(variants, rounds=rounds, setup_globals={"code": code, "g_meta": g_meta, "g_type": g_type})
    base = ns["class statement, metaclass=type"]
    table = Table(
        "Class creation",
        ["variant", "us/class", "vs type"],
        "A class of seven methods (four wrapped, one ignored, two private) and one attribute. "
        "Each wrapped method costs a functools.wraps call, which dominates.",
    )
    for label, value in ns.items():
        table.add(label, value / 1000, value / base)
    return table, [], ns


def run(quick=False):
    """The scenarios' (table, targets, ns) and the instruction counts by table title."""
    rounds = 5 if quick else 9
    locked_table, locked_targets, locked_ns, locked_i = locked_call(rounds)
    pair_table, pair_targets, pair_ns, pair_i = acquire_release(rounds)
    results = [(locked_table, locked_targets, locked_ns), (pair_table, pair_targets, pair_ns),
               class_creation(3 if quick else 5)]
    return results, {locked_table.title: locked_i, pair_table.title: pair_i}


assert synchronize.locked is locked
