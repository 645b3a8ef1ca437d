"""Hostile objects: containers whose methods change what is being walked,
defaults and annotations swapped in the middle of a call, keys whose __eq__
runs code, and objects for which the Python statement that the native code
stands for (a subscription, isinstance, unpacking, next(), f(*a, **k),
from-import, with) differs from a shortcut.

Each case builds fresh objects for the native operation and for the Python
it stands for (or states the expected result), and the two must agree. No
child process is started: ChildLabor.run() runs in this process.
"""

import inspect
import itertools
import pickle
import sys
import types

import pytest

import tavrix.async_.synchronize as sync
from tavrix.async_ import forkline
from tavrix.async_.forkline import ChildLabor, Pcall

pytestmark = pytest.mark.timeout(60)


def outcome(action):
    """("ok", value) or (exception type, text, and ImportError's name and path)."""
    try:
        return "ok", action()
    except Exception as e:
        return type(e), str(e), getattr(e, "name", None), getattr(e, "path", None)


def f(*args, **kwargs):
    return args, kwargs


class Seq:
    """A sequence that records the indexes it is given and runs `hook` on first use."""

    def __init__(self, items, hook=None):
        self.items, self.hook, self.seen = list(items), hook, []

    def _use(self):
        hook, self.hook = self.hook, None
        if hook:
            hook()

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        self.seen.append(i)
        self._use()
        return self.items[i]

    def __iter__(self):
        self._use()
        return iter(self.items)


class HeldItems(dict):
    """A dict whose items() returns a list that it keeps, for its values to change."""

    as_lists = False

    def items(self):
        self.held = [list(kv) if self.as_lists else kv for kv in dict.items(self)]
        return self.held


class Items:
    """A mapping whose items() yields exactly the given items."""

    def __init__(self, *items):
        self._items = items

    def items(self):
        return iter(self._items)

    def values(self):
        return [[1]]


class KeysTwice:
    def keys(self):
        return ["a", "a"]

    def __getitem__(self, key):
        return 1


def endless():
    """An item that never ends, yet fails instead of exhausting memory."""
    yield from range(10)
    raise RuntimeError("read to exhaustion")


class HookKey(str):
    """A str that runs `hook` the first time it is compared."""

    __hash__ = str.__hash__

    def __new__(cls, text, hook, equal=None):
        self = super().__new__(cls, text)
        self.hook, self.equal = hook, equal
        return self

    def __eq__(self, other):
        hook, self.hook = self.hook, None
        if hook:
            hook()
        return str.__eq__(self, other) if self.equal is None else self.equal(other)


class ListLike:
    """Not a list, but claims to be one through __class__, as a list-like mock does."""

    @property
    def __class__(self):
        return list

    def __len__(self):
        return 0


class StopWith:
    """Sized targets whose iterator ends with a StopIteration carrying arguments."""

    def __len__(self):
        return 2

    def __iter__(self):
        return self

    def __next__(self):
        raise StopIteration("done", 7)


# ---------------------------------------------------------------------------
# _build_arguments against the Python it is written in, per child
# ---------------------------------------------------------------------------

def model_build_arguments(batch):
    targets, iargs, ikwargs, varkwargs = batch.targets, batch.iargs, batch.ikwargs, batch.varkwargs
    lengths = ([] if callable(targets) else [len(targets)]) + [len(iargs), len(ikwargs)]
    lengths = [n for n in lengths + [len(v) for v in varkwargs.values()] if n] or [1][:callable(targets)]
    source = forkline.itertools.repeat(targets) if callable(targets) else iter(targets)
    common, ckwargs, out = tuple(batch.cargs), batch.ckwargs, []
    for i in range(min(lengths)):
        args = common
        if iargs:
            args = args + tuple(iargs[i])
        kwargs = ckwargs.copy()
        if ikwargs:
            kwargs.update(ikwargs[i])
        for k, v in varkwargs.items():
            kwargs[k] = v[i]
        out.append({"target": next(source), "args": args, "kwargs": kwargs})
    return out


def batch(**replace):
    b = Pcall(f)
    for name, value in replace.items():
        setattr(b, name, value)
    return b


def held_items(hook, as_lists=False):
    """varkwargs whose items() list `hook` changes while child 0 reads x[0]."""
    def make(_):
        vk = HeldItems()
        vk.as_lists = as_lists
        vk["x"] = Seq([1, 2], hook=lambda: hook(vk.held))
        vk["y"] = [3, 4]
        return batch(varkwargs=vk), lambda: [type(item) for item in vk.held]
    return make


def iargs_emptied(_):
    b = batch()
    b.iargs = [Seq([1], hook=lambda: b.iargs.clear()), (2,)]
    return b, lambda: b.iargs


def ikwargs_emptied(_):
    b = batch()

    class Update:
        def keys(self):
            b.ikwargs.clear()
            return ["a"]

        def __getitem__(self, key):
            return 1

    b.ikwargs = [Update(), {"a": 2}]
    return b, lambda: b.ikwargs


def value_replaced_for_next_key(_):
    b = batch()
    b.varkwargs = {"x": Seq([1, 2], hook=lambda: b.varkwargs.update(y=[30, 40])), "y": [3, 4]}
    return b, lambda: None


def source_not_an_iterator(monkeypatch):
    monkeypatch.setattr(forkline, "itertools", itertools)
    b = batch()
    monkeypatch.setattr(forkline, "itertools", types.SimpleNamespace(repeat=lambda t: [t]))
    return b, lambda: None


def made(**replace):
    return lambda _: (batch(**{k: v() for k, v in replace.items()}), lambda: None)


BUILD_CASES = {
    "items() list cleared by a value's __getitem__": held_items(list.clear),
    "items() list grown by a value's __getitem__": held_items(lambda held: held.append(("z", [9, 9]))),
    "items() list given a non-pair": held_items(lambda held: held.__setitem__(1, ["y", [3, 4], "extra"])),
    "the caller's items() list is not modified": held_items(lambda held: None, as_lists=True),
    "iargs emptied by child 0's item": iargs_emptied,
    "ikwargs emptied by child 0's update": ikwargs_emptied,
    "varkwargs value replaced while walking": value_replaced_for_next_key,
    "next() keeps StopIteration's args": made(targets=StopWith),
    "next() on a non-iterator target source": source_not_an_iterator,
    "an endless item is not read to exhaustion": made(varkwargs=lambda: Items(("x", [1]), endless())),
    "a non-iterable item cannot be unpacked": made(varkwargs=lambda: Items(("x", [1]), 5)),
}


@pytest.mark.parametrize("make", BUILD_CASES.values(), ids=BUILD_CASES.keys())
def test_build_arguments_as_written(make, monkeypatch):
    def run(build):
        b, probe = make(monkeypatch)
        return outcome(lambda: build(b)), probe()

    assert run(lambda b: b._build_arguments()) == run(model_build_arguments)


# ---------------------------------------------------------------------------
# The statements of the child, the step lookup, the metaclass walk, `with`
# ---------------------------------------------------------------------------

class Queue(list):
    put = list.append


def child_call(target, args=(), kwargs=None):
    """ChildLabor.run() in this process: the target's outcome as its message reports it."""
    labor = ChildLabor(index=0, queue=Queue(), target=target)
    labor._args, labor._kwargs = args, {} if kwargs is None else kwargs
    labor.run()
    ((_, success, result),) = labor._queue
    if success is True:
        return result
    raise result.exc


class Node:
    def __init__(self, name, steps):
        self.name, self.steps = name, steps


def python_current_steps(steps):
    if not steps.steps:
        return steps
    if not isinstance(steps.steps[-1].steps, list):
        return steps
    return python_current_steps(steps.steps[-1])


def found_steps(root, native):
    """The step found below a frame whose `self` owns `root`, and the indexes its steps were given."""
    self = types.SimpleNamespace(parameters=types.SimpleNamespace(internal={"steps": root}))  # noqa: F841
    found = ChildLabor(index=0, queue=Queue(), target=f)._get_steps() if native else python_current_steps(root)
    return getattr(found, "name", None), getattr(root.steps, "seen", None)


def steps_case(make_root):
    return lambda _: (found_steps(make_root(), True), found_steps(make_root(), False))


def call_case(args, kwargs):
    return lambda _: (outcome(lambda: child_call(f, args, kwargs)), outcome(lambda: f(*args, **kwargs)))


def import_case(**attributes):
    def case(monkeypatch):
        module = types.ModuleType("tavrix.vetrun.steps")
        module.__dict__.update(attributes)
        monkeypatch.setitem(sys.modules, "tavrix.vetrun.steps", module)
        return outcome(lambda: child_call(f)), outcome(lambda: exec("from tavrix.vetrun.steps import Steps", {}))
    return case


def meta_case(make_items):
    def walk_python():
        for key, value in Items(*make_items()).items():
            pass
    return lambda _: (outcome(lambda: sync.LockableMeta("C", (), Items(*make_items()))), outcome(walk_python))


class CheckExit:
    def __init__(self, seen):
        self.seen = seen

    def __enter__(self):
        return self

    def __exit__(self, kind, value, tb):
        self.seen.append((type(tb).__name__, tb is value.__traceback__))
        return True


def exit_case(monkeypatch):
    seen = []
    tasklog = types.SimpleNamespace(consolidate_next_forked_logfile=lambda: CheckExit(seen))
    monkeypatch.setattr(forkline, "managed_handlers", types.SimpleNamespace(tasklog=tasklog))
    b = batch(_processes=[types.SimpleNamespace(start=None)])
    b.start()
    with CheckExit(seen):
        for child in b._processes:
            child.start()
    return seen


def self_keyword_case(_):
    def _wrapped(self, *args, **kwargs):
        return "ran"

    class Owner:
        m = sync.locked(lambda this, *args, **kwargs: "ran")

    keyword = {HookKey("me", None, equal=lambda other: other == "self"): 1}
    results = outcome(lambda: Owner().m(**keyword)), outcome(lambda: _wrapped(Owner(), **keyword))
    # The function's name leads the message; the rest must agree.
    return [(o[0], o[1].split("() ", 1)[-1]) for o in results]


SAME_CASES = {
    "steps[-1] on a mapping with key -1": steps_case(lambda: Node("root", {-1: Node("child", [])})),
    "steps[-1] passes -1 to __getitem__": steps_case(lambda: Node("root", Seq([Node("child", [])]))),
    "isinstance(x, list) honours __class__": steps_case(
        lambda: Node("root", [Node("child", ListLike())])),
    "f(**m) with a key given twice": call_case((), KeysTwice()),
    "f(*a, **k) reports the bad ** first": call_case(5, 5),
    "from m import n: name and path": import_case(__file__="/nowhere/steps.py"),
    "from m import n: no location": import_case(),
    "from m import n: unreadable module name": import_case(__name__=5),
    "metaclass walk: too many values": meta_case(lambda: [("f", f, "extra")]),
    "metaclass walk: not enough values": meta_case(lambda: [["f"]]),
    "metaclass walk: endless item": meta_case(lambda: [endless()]),
    "metaclass walk: non-iterable item": meta_case(lambda: [5]),
    "with: __exit__ gets a traceback": exit_case,
    "a keyword equal to 'self' in its own way": self_keyword_case,
}


@pytest.mark.parametrize("case", SAME_CASES.values(), ids=SAME_CASES.keys())
def test_same_as_python(case, monkeypatch):
    native, python = case(monkeypatch)
    assert native == python


# ---------------------------------------------------------------------------
# Defaults, annotations and __dict__ swapped while the native side reads them
# ---------------------------------------------------------------------------

def keep(monkeypatch, fn, *names):
    for name in names:
        monkeypatch.setattr(fn, name, getattr(fn, name))


def defaults_swapped_while_binding(monkeypatch):
    init = Pcall.__init__
    keep(monkeypatch, init, "__defaults__")
    original = init.__defaults__

    def swap():
        init.__defaults__ = (None, (), (), {"unrelated": object()}, ())

    return Pcall(f, **{HookKey("x", swap): [1]}).ckwargs is original[3], True


def defaults_swapped_while_describing(monkeypatch):
    keep(monkeypatch, Pcall.__init__, "__defaults__", "__kwdefaults__", "__annotations__")

    def model(self, targets, timeout=None, cargs=(), iargs=(), ckwargs={}, ikwargs=(), **varkwargs):
        pass

    def shown(fn):
        def swap():
            fn.__defaults__, fn.__kwdefaults__ = (), {"ckwargs": 1}
        fn.__annotations__ = {HookKey("cargs", swap): int}
        return str(inspect.signature(fn))

    return shown(Pcall.__init__), shown(model)


def dict_swapped_while_describing(_):
    def read(fn):
        reuse = []

        def swap():
            fn.__dict__ = {}
            reuse.extend({} for _ in range(100))  # takes the freed dict's memory, if it was freed

        fn.__dict__[HookKey("__signature__", swap, equal=lambda other: False)] = 1
        return outcome(lambda: fn.__signature__)[0]

    def plain(self, x):
        pass

    plain.__wrapped__ = f
    return read(sync.locked(plain)), read(plain)


def module_of_the_function_type(_):
    kind = type(Pcall.start)
    with pytest.raises(pickle.PicklingError):
        pickle.dumps(kind)
    return inspect.formatannotation(kind), "tavrix.async_.forkline.function"


def log_text_and_reads(monkeypatch):
    """The reads of run() in order, and the text of a failing child's record."""
    reads, records = [], []
    monkeypatch.setattr(forkline, "logger", types.SimpleNamespace(exception=records.append))

    class Traced(ChildLabor):
        def __getattribute__(self, name):
            if name.startswith("_") and not name.startswith("__"):
                reads.append(name)
            return super().__getattribute__(name)

    def target():
        labor._index = 7
        raise ValueError("boom")

    labor = Traced(index=0, queue=Queue(), target=target)
    reads.clear()
    labor.run()
    got = list(reads), records[0].split(":\n")[0], labor._queue[0][0]
    return got, (["_index", "_get_steps", "_target", "_args", "_kwargs", "_index", "_work", "_work", "_work",
                  "_queue"], "Caught error while executing target in child process-7", 0)


SWAP_CASES = {
    "__defaults__ replaced by a keyword's __eq__ while binding": defaults_swapped_while_binding,
    "__defaults__ replaced by an annotation key's __eq__": defaults_swapped_while_describing,
    "__dict__ replaced by a key's __eq__ while reading __signature__": dict_swapped_while_describing,
    "the function type's __module__ is a string": module_of_the_function_type,
    "run() reads attributes in order and builds the text late": log_text_and_reads,
}


@pytest.mark.parametrize("case", SWAP_CASES.values(), ids=SWAP_CASES.keys())
def test_swapped_while_in_use(case, monkeypatch):
    got, expected = case(monkeypatch)
    assert got == expected
