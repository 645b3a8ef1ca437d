"""Bad input: the batch constructor and the lock decorators against small
Python models of their rules, on random mixes of good and bad arguments.

Nothing here starts a child: batches are constructed only. A native fault in
any of these paths would take the whole test process down, so "never a crash"
is checked by every example simply running to its end.
"""

import collections
import collections.abc
import functools
import inspect
import itertools
import logging
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tavrix.async_.synchronize as sync
from tavrix.async_ import forkline
from tavrix.async_.forkline import ChildLabor, Pcall

pytestmark = pytest.mark.timeout(300)

SETTINGS = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])


# ---------------------------------------------------------------------------
# Leaf objects and recipes
# ---------------------------------------------------------------------------

def f0(*args, **kwargs):
    return "f0"


def f1(*args, **kwargs):
    return "f1"


def f2(*args, **kwargs):
    return "f2"


FUNCS = (f0, f1, f2)
PARTIALS = tuple(functools.partial(f, "p") for f in FUNCS)


class Token:
    """An argument compared by identity, with a readable text form."""

    def __init__(self, n):
        self.n = n

    def __repr__(self):
        return f"Token({self.n})"


class BadRepr:
    """An argument whose text form fails (the worker constructor prints its args).

    It fails only while armed, so that the test tools can still print it.
    """

    armed = False

    def __repr__(self):
        if BadRepr.armed:
            raise RuntimeError("no repr")
        return "BadRepr()"


def armed(construct, recipe):
    BadRepr.armed = True
    try:
        return construct(**materialise(recipe))
    finally:
        BadRepr.armed = False


TOKENS = tuple(Token(n) for n in range(4))
BAD_REPR = BadRepr()


class CallableList(list):
    """Both callable and sized: being callable decides."""

    def __call__(self, *args, **kwargs):
        return None


class SizedOnly:
    """Has a length but cannot be iterated."""

    def __len__(self):
        return 2


class CopyToUserDict:
    """A ckwargs whose copy() returns a mutable mapping that is not a dict."""

    def __init__(self, items):
        self.items_ = dict(items)

    def copy(self):
        return collections.UserDict(self.items_)


GOOD_LEAVES = TOKENS + (0, 1, None)
names = st.sampled_from(["a", "b", "x"])


def leaves(clean):
    return st.sampled_from(GOOD_LEAVES if clean else GOOD_LEAVES + (BAD_REPR,))


GOOD_CONTAINERS = ["list", "list", "tuple", "gen", "str"]


def container(items, clean):
    """A recipe for a container of recipes: (kind, items)."""
    kinds = GOOD_CONTAINERS if clean else GOOD_CONTAINERS + ["none", "int"]
    return st.tuples(st.sampled_from(kinds), st.lists(items, max_size=4))


def build(recipe, make_item=lambda item: item):
    kind, items = recipe
    made = [make_item(i) for i in items]
    if kind == "list":
        return made
    if kind == "tuple":
        return tuple(made)
    if kind == "gen":
        return (x for x in made)
    if kind == "str":
        return "ab" * (len(items) // 2) + "a" * (len(items) % 2)
    if kind == "none":
        return None
    return 7


def ikwarg_items(clean):
    """Per-child keyword items: dicts, lists of pairs, bad pairs, or non-mappings."""
    good = [st.tuples(st.just("dict"), st.dictionaries(names, leaves(clean), max_size=3)),
            st.tuples(st.just("pairs"), st.lists(st.tuples(names, leaves(clean)), max_size=2))]
    bad = [st.tuples(st.sampled_from(["triple", "none", "int"]), st.just(None))]
    return st.one_of(good if clean else good + bad)


def build_ikwarg_item(recipe):
    kind, data = recipe
    if kind == "dict":
        return dict(data)
    if kind == "pairs":
        return list(data)
    if kind == "triple":
        return [("k", 1, 2)]
    return None if kind == "none" else 5


def targets_recipe(clean):
    good = [st.tuples(st.sampled_from(["func", "partial"]), st.integers(0, 2)),
            st.tuples(st.sampled_from(["list", "tuple", "callable_list"]),
                      st.lists(st.integers(0, 2), min_size=1, max_size=4))]
    bad = [st.tuples(st.sampled_from(["list", "gen"]), st.lists(st.integers(0, 2), max_size=4)),
           st.tuples(st.sampled_from(["none", "int", "sized_only", "str"]), st.just(None))]
    return st.one_of(good if clean else good + bad)


def build_targets(recipe):
    kind, data = recipe
    if kind == "func":
        return FUNCS[data]
    if kind == "partial":
        return PARTIALS[data]
    if kind in ("list", "tuple", "gen", "callable_list"):
        made = [FUNCS[i] for i in data]
        return {"list": list, "tuple": tuple, "gen": lambda m: (x for x in m),
                "callable_list": CallableList}[kind](made)
    return {"none": None, "int": 3, "sized_only": SizedOnly(), "str": "ab"}[kind]


def ckwargs_recipe(clean):
    kinds = ["dict", "ordered", "userdict"] if clean else ["dict", "ordered", "userdict", "none"]
    return st.tuples(st.sampled_from(kinds), st.dictionaries(names, leaves(clean), max_size=3))


def build_ckwargs(recipe):
    kind, data = recipe
    return {"dict": dict, "ordered": collections.OrderedDict, "userdict": CopyToUserDict,
            "none": lambda d: None}[kind](data)


@st.composite
def batches(draw):
    """A recipe for one constructor call: its keyword arguments, as recipes.

    Half the recipes hold only well-formed sources, so that the zipping rules
    are exercised as often as the failures.
    """
    clean = draw(st.booleans())
    recipe = {"targets": draw(targets_recipe(clean))}
    if draw(st.booleans()):
        recipe["cargs"] = draw(container(leaves(clean), clean))
    if draw(st.booleans()):
        recipe["iargs"] = draw(container(container(leaves(clean), clean), clean))
    if draw(st.booleans()):
        recipe["ckwargs"] = draw(ckwargs_recipe(clean))
    if draw(st.booleans()):
        recipe["ikwargs"] = draw(container(ikwarg_items(clean), clean))
    var_values = container(leaves(clean), clean)
    if clean:
        var_values = var_values.filter(lambda r: len(r[1]) > 0)
    recipe["var"] = draw(st.dictionaries(st.sampled_from(["a", "x", "y"]), var_values, max_size=2))
    return recipe


def materialise(recipe):
    """Fresh arguments from a recipe (generators are one-shot, so each run gets its own)."""
    kwargs = {"targets": build_targets(recipe["targets"])}
    if "cargs" in recipe:
        kwargs["cargs"] = build(recipe["cargs"])
    if "iargs" in recipe:
        kwargs["iargs"] = build(recipe["iargs"], lambda item: build(item))
    if "ckwargs" in recipe:
        kwargs["ckwargs"] = build_ckwargs(recipe["ckwargs"])
    if "ikwargs" in recipe:
        kwargs["ikwargs"] = build(recipe["ikwargs"], build_ikwarg_item)
    for name, value in recipe["var"].items():
        kwargs[name] = build(value)
    return kwargs


# ---------------------------------------------------------------------------
# The model of construction
# ---------------------------------------------------------------------------

def model_build_arguments(targets, cargs, iargs, ckwargs, ikwargs, varkwargs):
    if callable(targets):
        lengths = [len(iargs), len(ikwargs)] + [len(v) for v in varkwargs.values()]
        count = min([n for n in lengths if n] or [1])
    else:
        lengths = [len(targets), len(iargs), len(ikwargs)] + [len(v) for v in varkwargs.values()]
        count = min(n for n in lengths if n)
    source = itertools.repeat(targets) if callable(targets) else iter(targets)
    common = tuple(cargs)  # once per call, so a one-shot iterable reaches every child
    result = []
    for i in range(count):
        args = common
        if iargs:
            args = args + tuple(iargs[i])
        kwargs = ckwargs.copy()
        if ikwargs:
            kwargs.update(ikwargs[i])
        for name, values in varkwargs.items():
            kwargs[name] = values[i]
        target = next(source)
        result.append({"target": target, "args": args, "kwargs": kwargs})
    return result


def model_work(target, args, kwargs):
    """The worker's ChildWork fields, as the worker constructor computes them."""
    t = target.func if isinstance(target, functools.partial) else target
    return (str(getattr(t, "__name__", t)), str(tuple(args)), str(dict(kwargs)))


def model_construct(targets, timeout=None, cargs=(), iargs=(), ckwargs={}, ikwargs=(), **varkwargs):
    """(children, None) on success, or (exception type, the step it failed at, workers made)."""
    stage = "iargs"
    try:
        iargs = list(iargs)
        stage = "ikwargs"
        ikwargs = list(ikwargs)
        stage = "varkwargs"
        varkwargs = {name: list(values) for name, values in varkwargs.items()}
        stage = "build"
        sets = model_build_arguments(targets, cargs, iargs, ckwargs, ikwargs, varkwargs)
        stage = "workers"
        children = []
        for a in sets:
            work = model_work(a["target"], a["args"], a["kwargs"])
            children.append((a["target"], tuple(a["args"]), dict(a["kwargs"]), work))
    except Exception as e:
        return ("error", type(e), stage, len(children) if stage == "workers" else 0)
    return ("ok", children)


class Probe(Pcall):
    """Keeps hold of the instance, so that a failed construction can be inspected."""

    last = None

    def __init__(self, *args, **kwargs):
        Probe.last = self
        super().__init__(*args, **kwargs)


def real_stage(batch):
    for attribute, stage in (("iargs", "iargs"), ("ikwargs", "ikwargs"), ("varkwargs", "varkwargs")):
        if attribute not in vars(batch):
            return stage
    return "workers" if batch._processes else "build"


def real_construct(**kwargs):
    try:
        batch = Probe(**kwargs)
    except Exception as e:
        batch = Probe.last
        stage = real_stage(batch)
        made = len(batch._processes) if "_processes" in vars(batch) else 0
        if stage == "build" and made == 0 and "_processes" in vars(batch):
            # _build_arguments ran to its end and the first worker failed
            stage = "workers" if _first_worker_fails(batch) else "build"
        return ("error", type(e), stage, made)
    children = []
    for i, w in enumerate(batch._processes):
        assert type(w) is ChildLabor and w._index == i and w._queue is batch._queue
        assert w.pid is None and not w.is_alive()
        children.append((w._target, w._args, w._kwargs, tuple(w._work)))
    assert batch.results is None
    return ("ok", children)


def _first_worker_fails(batch):
    try:
        sets = batch._build_arguments()
    except Exception:
        return False
    return bool(sets)


@SETTINGS
@given(batches())
def test_constructor_matches_model(recipe):
    expected = armed(model_construct, recipe)
    actual = armed(real_construct, recipe)
    assert actual == expected
    assert Pcall.__init__.__defaults__[3] == {}


@SETTINGS
@given(batches())
def test_build_arguments_repeats_on_the_same_batch(recipe):
    """A second call gives an equal new list, drawing targets afresh (generators excepted)."""
    kwargs = materialise(recipe)
    if recipe["targets"][0] == "gen":
        return
    try:
        batch = Pcall(**kwargs)
    except Exception:
        return
    first, second = batch._build_arguments(), batch._build_arguments()
    assert first == second
    assert all(a is not b and a["kwargs"] is not b["kwargs"] for a, b in zip(first, second))


@pytest.mark.parametrize("args, kwargs", [
    ((), {}),
    ((f0, None, (), (), {}, (), "extra"), {}),
    ((f0,), {"targets": f0}),
    ((f0, 1), {"timeout": 2}),
    ((f0,), {"ckwargs": {}, **{"ikwargs": ()}, "iargs": (), "cargs": (), "timeout": 1, "self": 1}),
])
def test_binding_failures_set_nothing(args, kwargs):
    Probe.last = None
    with pytest.raises(TypeError):
        Probe(*args, **kwargs)
    assert Probe.last is None or not set(vars(Probe.last)) & {"targets", "timeout", "_processes"}


# ---------------------------------------------------------------------------
# Replaced attributes that _build_arguments reads
# ---------------------------------------------------------------------------

class ItemsMapping(collections.abc.Mapping):
    """A varkwargs stand-in whose items() yields what it is given, pairs or not."""

    def __init__(self, items):
        self._items = items

    def __getitem__(self, key):
        return dict(self._items)[key]

    def __iter__(self):
        return iter(k for k, _ in self._items)

    def __len__(self):
        return len(self._items)

    def items(self):
        return list(self._items)


@pytest.mark.parametrize("items, expected", [
    ([["x", [1, 2]]], [{"x": 1}, {"x": 2}]),
    ([("x", (1, 2, 3)), ["y", "ab"]], [{"x": 1, "y": "a"}, {"x": 2, "y": "b"}]),
    # Each child walks items() anew, as `for k, v in m.items()` per child does,
    # so a one-shot item is spent by the time it is unpacked.
    ([iter(("x", [5]))], ValueError),
    ([["x"]], ValueError),
    ([("x", [1], "extra")], ValueError),
    ([5], TypeError),
    ([None], TypeError),
])
def test_varkwargs_mapping_items_unpacked_as_pairs(items, expected):
    """A mapping whose items() are not 2-tuples is unpacked like `for k, v in m.items()`.

    Such items were once read as tuples without a check, which crashed the
    interpreter.
    """
    batch = Pcall(f0, x=[1, 2])
    batch.varkwargs = ItemsMapping(items)
    if isinstance(expected, type):
        with pytest.raises(expected):
            batch._build_arguments()
    else:
        assert [a["kwargs"] for a in batch._build_arguments()] == expected


@pytest.mark.parametrize("attribute, value, error", [
    ("targets", SizedOnly(), TypeError),
    ("iargs", None, TypeError),
    ("ikwargs", 3, TypeError),
    ("varkwargs", None, AttributeError),
    ("varkwargs", {"x": 5}, TypeError),
    ("cargs", 4, TypeError),
    ("ckwargs", 5, AttributeError),
])
def test_replaced_attributes_fail_cleanly(attribute, value, error):
    batch = Pcall(f0, iargs=[(1,)])
    setattr(batch, attribute, value)
    with pytest.raises(error):
        batch._build_arguments()


def test_defaults_replaced_during_construction():
    """The constructor's defaults stay alive for the call that uses them.

    A subclass can run code in the middle of construction; replacing
    Pcall.__init__.__defaults__ there once freed the default ckwargs dict while
    the constructor still held it (a use after free).
    """
    init = Pcall.__init__
    saved = init.__defaults__

    class Replacing(Pcall):
        def __setattr__(self, name, value):
            if name == "targets":
                init.__defaults__ = (None, (), (), {}, ())
                for _ in range(100):
                    dict(a=1)  # reuse freed memory, if any was freed
            object.__setattr__(self, name, value)

    try:
        batch = Replacing(f0)
        assert batch.ckwargs == {} and type(batch.ckwargs) is dict
        assert [a["kwargs"] for a in batch._build_arguments()] == [{}]
    finally:
        init.__defaults__ = saved


@pytest.mark.parametrize("edit", ["replace", "in place"])
def test_kwdefaults_replaced_during_call(edit):
    """The same for keyword-only defaults: Lockable.__init__'s lock factory,
    whose last reference may be the defaults dict itself."""
    saved = sync.Lockable.__init__.__kwdefaults__
    made = []

    def factory():
        if edit == "replace":
            sync.Lockable.__init__.__kwdefaults__ = {"lock": lambda: None}
        else:
            sync.Lockable.__init__.__kwdefaults__["lock"] = lambda: None
        made.append(object())
        return made[-1]

    sync.Lockable.__init__.__kwdefaults__ = {"lock": factory}
    del factory
    try:
        obj = sync.Lockable()
        assert obj.__lock__ is made[0]
    finally:
        sync.Lockable.__init__.__kwdefaults__ = saved


# ---------------------------------------------------------------------------
# The lock decorators against a model of the wrapper
# ---------------------------------------------------------------------------

class Boom(Exception):
    pass


class ReleaseBoom(Exception):
    pass


class BadBool:
    def __bool__(self):
        raise Boom("no truth value")


class LockDouble:
    """A lock stand-in whose every answer is scripted; records its calls."""

    def __init__(self, log, script):
        self.log, self.script = log, script

    def acquire(self, *args, **kwargs):
        self.log.append(("acquire", args, tuple(sorted(kwargs.items()))))
        if kwargs.get("block", True) is False:
            if self.script["try_raises"]:
                raise Boom("acquire(block=False)")
            return {"true": True, "false": False, "zero": 0, "bad": BadBool()}[self.script["try_result"]]
        if self.script["wait_raises"]:
            raise Boom("acquire()")
        return True

    def release(self, *args, **kwargs):
        self.log.append(("release", args, kwargs))
        if self.script["release_raises"]:
            raise ReleaseBoom("release()")
        return "released"


class RecordingLogger:
    def __init__(self, log):
        self.log = log

    def warning(self, *args, **kwargs):
        self.log.append(("warning", args, kwargs))


def make_owner(kind, log):
    """An instance of a small class of the given kind, and whether it accepts a lock."""
    if kind == "plain":
        cls = type("Plain", (), {"__str__": lambda self: "<plain>"})
    elif kind == "str_raises":
        def bad_str(self):
            raise Boom("no str")
        cls = type("BadStr", (), {"__str__": bad_str})
    elif kind == "slots":
        cls = type("Slotted", (), {"__slots__": ("x",), "__str__": lambda self: "<slots>"})
    elif kind == "slots_lock":
        cls = type("SlottedLock", (), {"__slots__": ("__lock__",), "__str__": lambda self: "<slots lock>"})
    elif kind == "getattr_raises":
        def getattr_(self, name):
            raise Boom(name)
        cls = type("Raising", (), {"__getattr__": getattr_, "__str__": lambda self: "<raising>"})
    else:
        raise AssertionError(kind)
    return cls()


def model_wrapper(method, creates_lock):
    def _wrapped(self, *args, **kwargs):
        if creates_lock and not hasattr(self, "__lock__"):
            self.__lock__ = sync.multiprocessing.RLock()
        if not self.__lock__.acquire(block=False):
            text = "Waiting for lock on %s" % str(self)
            sync.logger.warning(text)
            self.__lock__.acquire()
        try:
            return method(self, *args, **kwargs)
        finally:
            self.__lock__.release()
    return functools.wraps(method)(_wrapped)


def make_method(kind, log):
    if kind == "returns":
        def method(self, *args, **kwargs):
            log.append(("method", args, tuple(sorted(kwargs.items()))))
            return ("value", args)
    elif kind == "raises":
        def method(self, *args, **kwargs):
            log.append(("method", args, tuple(sorted(kwargs.items()))))
            raise ValueError("method failed")
    elif kind == "none":
        method = None
    elif kind == "int":
        method = 42
    else:
        method = "not callable"
    return method


lock_scenarios = st.fixed_dictionaries({
    "decorator": st.sampled_from(["locked", "Lockable.locked"]),
    "method": st.sampled_from(["returns", "raises", "none", "int", "str"]),
    "owner": st.sampled_from(["plain", "str_raises", "slots", "slots_lock", "getattr_raises"]),
    "preset": st.sampled_from(["double", "absent"]),
    "script": st.fixed_dictionaries({
        "try_result": st.sampled_from(["true", "false", "zero", "bad"]),
        "try_raises": st.booleans(),
        "wait_raises": st.booleans(),
        "release_raises": st.booleans(),
    }),
    "args": st.lists(st.sampled_from(TOKENS), max_size=2).map(tuple),
    "kwargs": st.dictionaries(st.sampled_from(["k", "j"]), st.sampled_from(TOKENS), max_size=2),
    "self_by_keyword": st.booleans(),
})


def run_lock_scenario(scenario, decorate, monkeypatch):
    log = []
    owner = make_owner(scenario["owner"], log)
    if scenario["preset"] == "double":
        try:
            owner.__lock__ = LockDouble(log, scenario["script"])
        except AttributeError:
            pass
    monkeypatch.setattr(sync, "logger", RecordingLogger(log))
    wrapper = decorate(make_method(scenario["method"], log))
    if scenario["self_by_keyword"] and not scenario["args"]:
        call = lambda: wrapper(self=owner, **scenario["kwargs"])  # noqa: E731
    else:
        call = lambda: wrapper(owner, *scenario["args"], **scenario["kwargs"])  # noqa: E731
    try:
        outcome = ("ok", call())
    except Exception as e:
        context = type(e.__context__) if e.__context__ is not None else None
        outcome = ("error", type(e), context)
    lock = getattr(owner, "__lock__", None) if scenario["owner"] != "getattr_raises" else None
    kind = type(lock).__name__ if lock is not None else None
    if kind == "RLock":
        # a lock made by the wrapper is free again afterwards
        assert lock.acquire(block=False)
        lock.release()
    return outcome, log, kind


@SETTINGS
@given(lock_scenarios)
def test_lock_wrappers_match_model(scenario):
    creates = scenario["decorator"] == "locked"
    real = sync.locked if creates else sync.Lockable.locked
    with pytest.MonkeyPatch.context() as mp:
        actual = run_lock_scenario(scenario, real, mp)
    with pytest.MonkeyPatch.context() as mp:
        expected = run_lock_scenario(scenario, lambda m: model_wrapper(m, creates), mp)
    assert actual == expected


@pytest.mark.parametrize("method", [None, 1, "text", [], object()])
@pytest.mark.parametrize("decorate", [sync.locked, sync.Lockable.locked])
def test_decorating_non_callables(decorate, method):
    """Decorating checks nothing; the call fails as calling the object fails, after a release."""
    wrapper = decorate(method)
    assert wrapper.__wrapped__ is method
    owner = sync.Lockable()
    with pytest.raises(TypeError):
        wrapper(owner)
    assert owner.acquire(block=False)
    owner.release()


# ---------------------------------------------------------------------------
# LockableMeta against a model of its namespace walk
# ---------------------------------------------------------------------------

class RaisingMarker:
    """Reading any missing attribute raises something other than AttributeError."""

    def __getattr__(self, name):
        raise Boom(name)


class FrozenMarked:
    """Carries a true marker that cannot be deleted."""

    _LockedMeta_ignore = True
    __slots__ = ()


def make_value(kind):
    def fn(self):
        return kind
    if kind == "function":
        return fn
    if kind == "marked":
        return sync.LockableMeta.ignore(fn)
    if kind == "marked_false":
        fn._LockedMeta_ignore = False
        return fn
    if kind == "marked_badbool":
        fn._LockedMeta_ignore = BadBool()
        return fn
    if kind == "lambda":
        return lambda self: kind
    if kind == "staticmethod":
        return staticmethod(fn)
    if kind == "classmethod":
        return classmethod(fn)
    if kind == "property":
        return property(fn)
    if kind == "wrapped":
        return sync.locked(fn)
    if kind == "builtin":
        return len
    if kind == "raising_marker":
        return RaisingMarker()
    if kind == "frozen_marked":
        return FrozenMarked()
    return {"int": 1, "str": "s", "none": None}[kind]


VALUE_KINDS = ["function", "marked", "marked_false", "marked_badbool", "lambda", "staticmethod", "classmethod",
               "property", "wrapped", "builtin", "raising_marker", "frozen_marked", "int", "str", "none"]

namespaces = st.tuples(
    st.sampled_from(["dict", "ordered"]),
    st.lists(st.tuples(st.sampled_from(["pub", "_priv", "__dunder__"]), st.sampled_from(VALUE_KINDS)),
             max_size=8),
)


def build_namespace(recipe):
    kind, entries = recipe
    ns = {} if kind == "dict" else collections.OrderedDict()
    values = {}
    for i, (prefix, value_kind) in enumerate(entries):
        key = f"{prefix}{i}" if prefix != "__dunder__" else f"__d{i}__"
        ns[key] = values[key] = make_value(value_kind)
    return ns, values


def model_meta_new(cls, name, bases, attrs):
    items = list(attrs.items())
    for key, value in items:
        if key.startswith("_"):
            continue
        if getattr(value, "_LockedMeta_ignore", False):
            del value._LockedMeta_ignore
            continue
        if inspect.isfunction(value):
            attrs[key] = sync.locked(value)
    return type.__new__(cls, name, bases, attrs)


def describe_namespace(ns, values):
    """Per key: kept, wrapped (around the original) or other; and whether the original still has a marker."""
    out = {}
    for key, original in values.items():
        now = ns[key]
        if now is original:
            state = "kept"
        elif getattr(now, "__wrapped__", None) is original:
            state = "wrapped"
        else:
            state = "other"
        try:
            marked = "_LockedMeta_ignore" in vars(original)
        except TypeError:
            marked = None
        out[key] = (state, marked)
    return out


def run_meta(recipe, new):
    ns, values = build_namespace(recipe)
    try:
        cls = new(sync.LockableMeta, "Made", (), ns)
        outcome = ("ok", type(cls).__name__, cls.__name__)
        ns = dict(vars(cls))
    except Exception as e:
        outcome = ("error", type(e))
    return outcome, describe_namespace(ns, values)


@SETTINGS
@given(namespaces)
def test_lockable_meta_matches_model(recipe):
    assert run_meta(recipe, sync.LockableMeta.__new__) == run_meta(recipe, model_meta_new)


@pytest.mark.parametrize("key", [1, None, ("a",), b"pub"])
def test_lockable_meta_non_string_keys(key):
    """A key without startswith fails with AttributeError; bytes have one and take the full walk."""
    ns = {key: make_value("function")}
    if isinstance(key, bytes):
        with pytest.raises(TypeError):  # bytes.startswith("_") refuses a str prefix
            sync.LockableMeta.__new__(sync.LockableMeta, "K", (), ns)
    else:
        with pytest.raises(AttributeError):
            sync.LockableMeta.__new__(sync.LockableMeta, "K", (), ns)


@pytest.mark.parametrize("obj", [1, "s", None, FrozenMarked(), object()])
def test_ignore_on_objects_without_attributes(obj):
    with pytest.raises(AttributeError):
        sync.LockableMeta.ignore(obj)
