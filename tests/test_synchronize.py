import collections
import functools
import gc
import inspect
import logging
import multiprocessing
import multiprocessing.synchronize
import sys
import threading
import time

import pytest

import tavrix.async_.synchronize as sync

FORK = multiprocessing.get_context("fork")
WAIT = 10  # generous bound for events, so a broken lock fails instead of hanging


class Recorder:
    """A lock and a logger in one, writing every call into a shared log."""

    def __init__(self, log, free=True, fail_release=None):
        self.log, self.free, self.fail_release = log, free, fail_release

    def acquire(self, *args, **kwargs):
        self.log.append(("acquire", args, kwargs))
        return self.free if kwargs.get("block", True) is False else True

    def release(self, *args, **kwargs):
        self.log.append(("release", args, kwargs))
        if self.fail_release:
            raise self.fail_release

    def warning(self, *args, **kwargs):
        self.log.append(("warning", args, kwargs))


class Plain:
    def __str__(self):
        return "<plain>"

    @sync.locked
    def echo(self, *args, **kwargs):
        """echo doc"""
        return args, kwargs

    @sync.locked
    def hold(self, entered, leave):
        entered.set()
        assert leave.wait(WAIT)

    @sync.locked
    def fail(self, exc):
        raise exc


@pytest.fixture
def records():
    """WARNING records of the module logger, from any thread."""
    seen, logged = [], threading.Event()

    class Collect(logging.Handler):
        def emit(self, record):
            seen.append(record)
            logged.set()

    handler = Collect(logging.WARNING)
    logging.getLogger("tavrix.async_.synchronize").addHandler(handler)
    yield seen, logged
    logging.getLogger("tavrix.async_.synchronize").removeHandler(handler)


def test_module_surface():
    names = list(vars(sync))
    assert names[names.index("inspect"):] == [
        "inspect", "logging", "functools", "multiprocessing", "logger", "Lockable", "locked", "LockableMeta"]
    assert sync.__doc__ is None and not hasattr(sync, "__all__")
    assert sync.multiprocessing.get_start_method() == "fork" and sync.logger.name == "tavrix.async_.synchronize"
    assert (sync.locked.__name__, sync.locked.__qualname__) == ("locked", "locked")
    assert list(sync.Lockable.__dict__)[:6] == ["__module__", "__doc__", "__init__", "acquire", "release", "locked"]
    assert list(sync.LockableMeta.__dict__)[:4] == ["__module__", "__doc__", "ignore", "__new__"]
    assert sync.Lockable.__init__.__defaults__ is None
    assert sync.Lockable.__init__.__kwdefaults__ == {"lock": sync.multiprocessing.RLock}
    assert str(inspect.signature(sync.Lockable.acquire)) == "(self, block=True, timeout=None)"
    firsts = {o.__doc__.splitlines()[0] for o in (
        sync.locked, sync.Lockable, sync.Lockable.__init__, sync.Lockable.acquire, sync.Lockable.release,
        sync.Lockable.locked, sync.LockableMeta, sync.LockableMeta.ignore, sync.LockableMeta.__new__)}
    assert firsts == {"lock decorator", "Lockable", "__init__", "acquire", "release", "locked decorator",
                      "LockableMeta", "ignore", "Metaclass __new__"}


@pytest.mark.parametrize("decorate, qualname", [
    (sync.locked, "locked.<locals>._wrapped"), (sync.Lockable.locked, "Lockable.locked.<locals>._wrapped")])
def test_wrapper_is_a_function_like_object(decorate, qualname):
    wrapper = Plain.__dict__["echo"] if decorate is sync.locked else decorate(Plain.echo.__wrapped__)
    method = Plain.echo.__wrapped__
    assert (wrapper.__name__, wrapper.__qualname__, wrapper.__doc__, wrapper.__module__, wrapper.__wrapped__) == (
        "echo", method.__qualname__, "echo doc", __name__, method)
    assert not inspect.isfunction(wrapper) and decorate(method) is not decorate(method)
    # Without metadata to copy, the wrapper keeps its own names.
    bare = decorate(functools.partial(method))
    assert (bare.__name__, bare.__qualname__) == ("_wrapped", qualname)
    obj = Plain()
    obj.__lock__ = FORK.RLock()
    assert wrapper.__get__(obj)(1, 2, k=3) == ((1, 2), {"k": 3})
    assert wrapper(self=obj) == ((), {}) and wrapper(obj, self_=1) == ((), {"self_": 1})
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'self'"):
        wrapper()
    with pytest.raises(TypeError, match="multiple values for argument 'self'"):
        wrapper(obj, self=obj)


def test_first_call_creates_one_lock_and_keeps_it():
    a, b = Plain(), Plain()
    assert not hasattr(a, "__lock__") and a.echo(1, x=None) == ((1,), {"x": None})
    lock = a.__lock__
    assert isinstance(lock, multiprocessing.synchronize.RLock) and a.echo() is not None and a.__lock__ is lock
    b.__lock__ = given = FORK.Lock()
    assert b.echo() == ((), {}) and b.__lock__ is given


def test_lock_creation_keeps_a_lock_set_meanwhile(monkeypatch):
    obj, theirs, log = Plain(), Recorder([]), []

    class Context:  # another thread finishes its first call while ours makes a lock
        def RLock(self):
            obj.__lock__ = theirs
            return Recorder(log)

    monkeypatch.setattr(sync, "multiprocessing", Context())
    obj.echo()
    assert obj.__lock__ is theirs and log == [] and [e[0] for e in theirs.log] == ["acquire", "release"]


def test_lock_protocol_and_failures(monkeypatch):
    log = []
    monkeypatch.setattr(sync, "logger", Recorder(log))
    obj = Plain()
    obj.__lock__ = Recorder(log, free=False)
    assert obj.echo(7) == ((7,), {})
    assert log == [("acquire", (), {"block": False}), ("warning", ("Waiting for lock on <plain>",), {}),
                   ("acquire", (), {}), ("release", (), {})]
    log.clear()
    obj.__lock__ = Recorder(log, fail_release=AssertionError("release"))
    with pytest.raises(AssertionError) as info:
        obj.fail(KeyError("method"))
    assert isinstance(info.value.__context__, KeyError) and [e[0] for e in log] == ["acquire", "release"]
    # Nothing is called and nothing released when the lock was never held.
    log.clear()
    monkeypatch.setattr(sync, "logger", None)
    obj.__lock__ = Recorder(log, free=False)
    with pytest.raises(AttributeError):
        obj.fail(KeyError("never"))
    assert [e[0] for e in log] == ["acquire"]

    class Odd:
        def __getattr__(self, name):
            raise LookupError(name)

    with pytest.raises(LookupError):
        sync.locked(pytest.fail)(Odd())

    class Slotted:
        __slots__ = ()

    with pytest.raises(AttributeError):
        sync.locked(pytest.fail)(Slotted())


def describing(kind, lock):
    """An object whose text for the waiting warning comes from one of its own locked methods."""
    if kind == "LockableMeta":
        class Described(metaclass=sync.LockableMeta):
            def state(self):
                return "state"

            def work(self):
                return "done"
    else:
        decorate = sync.Lockable.locked if kind == "Lockable.locked" else sync.locked

        class Described:
            state = decorate(lambda self: "state")
            work = decorate(lambda self: "done")
    text = lambda self: f"<{self.state()}>"  # noqa: E731
    setattr(Described, "__repr__" if kind == "__repr__" else "__str__", text)
    obj = Described()
    obj.__lock__ = lock
    return obj


@pytest.mark.parametrize("kind", ["locked", "Lockable.locked", "LockableMeta", "__repr__"])
def test_waiting_text_may_call_a_locked_method_of_the_same_object(kind, monkeypatch):
    # The inner call, made while the text is built, finds the lock taken too:
    # it waits without a warning of its own, and the outer call warns once.
    log = []
    monkeypatch.setattr(sync, "logger", Recorder(log))
    obj = describing(kind, Recorder(log, free=False))
    assert obj.work() == "done"
    assert log == [("acquire", (), {"block": False}), ("acquire", (), {"block": False}), ("acquire", (), {}),
                   ("release", (), {}), ("warning", ("Waiting for lock on <state>",), {}), ("acquire", (), {}),
                   ("release", (), {})]


def test_recursion_ends_in_recursion_error():
    wrapper = Plain.echo
    for _ in range(200):
        wrapper = sync.locked(wrapper)
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(100)
    try:
        with pytest.raises(RecursionError):
            wrapper(Plain())
    finally:
        sys.setrecursionlimit(limit)


def test_no_reference_leaks():
    obj, arg = Plain(), object()
    method = Plain.echo.__wrapped__
    obj.echo()
    def counts():
        gc.collect()  # a raised exception and the frame that holds it form a cycle
        return sys.getrefcount(obj), sys.getrefcount(arg), sys.getrefcount(method), sys.getrefcount(obj.__lock__)

    before = counts()
    for _ in range(2000):
        obj.echo(arg, k=arg)
        Plain.echo(self=obj)
        try:
            obj.fail(ValueError(arg))
        except ValueError:
            pass
    assert counts() == before


class Base(sync.Lockable):
    def __init__(self, *, lock=FORK.RLock):
        super().__init__(lock=lock)

    @sync.Lockable.locked
    def mine(self):
        return self.__lock__

    @sync.locked
    def generic(self):
        return self.__lock__


def test_lockable():
    a, b = Base(), Base()
    assert isinstance(a.__lock__, multiprocessing.synchronize.RLock) and a.__lock__ is not b.__lock__
    assert a.mine() is a.generic() is a.__lock__
    calls, log = [], []
    c = sync.Lockable(lock=lambda: calls.append(1) or Recorder(log))
    assert calls == [1] and c.acquire() is True and c.acquire(False, 3) is True and c.release() is None
    assert [(e[0], list(e[2].items())) for e in log] == [
        ("acquire", [("block", True), ("timeout", None)]), ("acquire", [("block", False), ("timeout", 3)]),
        ("release", [])]
    with pytest.raises(TypeError):
        sync.Lockable(FORK.RLock)

    class Forgetful(Base):
        def __init__(self):
            pass

    with pytest.raises(AttributeError):
        Forgetful().mine()
    with pytest.raises(AttributeError):
        Forgetful().acquire()
    assert Forgetful().generic() is not None


class InstanceMethodsLock:
    """Keeps acquire and release as instance attributes, as the fork context's locks do."""

    def __init__(self, log, name):
        self.acquire = lambda *args, **kwargs: log.append((name, "acquire")) or True
        self.release = lambda: log.append((name, "release"))


@pytest.mark.parametrize("changed", ["owner class", "lock class", "fork lock class"])
def test_lock_and_its_methods_read_afresh_after_a_class_changes(changed):
    # The reads behind acquire, release and the wrappers may skip the class
    # search while a class is unchanged, and read the fork context's locks
    # through their dict; a class given a descriptor later is searched again,
    # and an instance attribute is always read anew.
    log = []

    class Owner(sync.Lockable):
        @sync.Lockable.locked
        def work(self):
            return "done"

    if changed == "fork lock class":
        class Lock(multiprocessing.synchronize.RLock):
            def __init__(self, log, name):
                super().__init__(ctx=FORK)
    else:
        class Lock(InstanceMethodsLock):
            pass

    obj = Owner(lock=lambda: Lock(log, "first"))

    def round_trip():
        return obj.acquire(), obj.release(), obj.work(), sync.locked(Owner.work.__wrapped__)(obj)

    for _ in range(3):
        assert round_trip() == (True, None, "done", "done")
    obj.__lock__ = Lock(log, "second")
    if changed == "owner class":
        # Read anew at each step: once by acquire and by release, twice by
        # Lockable's wrapper, three times by the generic one.
        Owner.__lock__ = property(lambda self: log.append(("class", "read")) or InstanceMethodsLock(log, "class"))
    else:
        Lock.acquire = property(lambda self: lambda **kwargs: log.append(("class", "acquire")) or True)
        Lock.release = property(lambda self: lambda: log.append(("class", "release")))
    for expected in ("class", "second"):
        log.clear()
        round_trip()
        reads = 7 if expected == "class" and changed == "owner class" else 0
        if expected == "second" and changed == "fork lock class":
            assert log == [] and obj.__lock__.acquire(block=False) is True  # its own methods again, and free
            obj.__lock__.release()
            continue
        assert {name for name, _ in log} == {expected} and len(log) == 6 + reads
        if expected == "class" and changed == "owner class":
            del Owner.__lock__
        elif expected == "class":
            del Lock.acquire, Lock.release


def test_lockable_acquire_and_release_across_threads():
    obj, took = Base(), threading.Event()
    assert obj.acquire() is True
    results = []

    def other():
        results.extend([obj.acquire(False), obj.acquire(block=False), obj.acquire(timeout=0.05)])
        try:
            obj.release()
        except AssertionError:
            results.append("refused")
        results.append(obj.acquire(timeout=WAIT))
        took.set()
        obj.release()

    t = threading.Thread(target=other)
    t.start()
    assert not took.wait(0.1)
    assert obj.release() is None
    t.join(WAIT)
    assert results == [False, False, False, "refused", True]


def test_metaclass_wraps_public_plain_functions(monkeypatch):
    def body_fn(self):
        return "public"

    kept = staticmethod(body_fn), classmethod(body_fn), property(body_fn), functools.partial(body_fn)
    marked = sync.LockableMeta.ignore(lambda self: "marked")
    assert marked._LockedMeta_ignore is True
    hidden = sync.LockableMeta.ignore(lambda self: None)

    class Meta(metaclass=sync.LockableMeta):
        number, text = 1, "s"
        public = body_fn
        ignored = marked
        _hidden = hidden

        def __init__(self):
            pass

        def _private(self):
            pass

        @sync.locked
        def already(self):
            pass

        @sync.Lockable.locked
        def already_too(self):
            pass

        class Nested:
            pass

        st, cm, prop, partial = kept

    ns = Meta.__dict__
    assert ns["public"].__wrapped__ is body_fn and ns["public"].__name__ == "body_fn"
    assert ns["ignored"] is marked and not hasattr(marked, "_LockedMeta_ignore")
    assert ns["_hidden"] is hidden and hidden._LockedMeta_ignore is True
    assert inspect.isfunction(ns["__init__"]) and inspect.isfunction(ns["_private"])
    assert inspect.isfunction(ns["already"].__wrapped__) and inspect.isfunction(ns["already_too"].__wrapped__)
    assert (ns["number"], ns["text"], ns["Nested"].__name__) == (1, "s", "Nested")
    assert all(ns[name] is obj for name, obj in zip(("st", "cm", "prop", "partial"), kept))
    assert (Meta.__name__, Meta.__qualname__) == ("Meta", "test_metaclass_wraps_public_plain_functions.<locals>.Meta")
    assert Meta().public() == "public"

    class Again(metaclass=sync.LockableMeta):  # the marker was consumed above
        ignored = marked

    assert Again.__dict__["ignored"].__wrapped__ is marked
    # The decorator and inspect are read from the module when the class is made.
    monkeypatch.setattr(sync, "locked", lambda f: ("mine", f))
    monkeypatch.setattr(sync, "inspect", type("I", (), {"isfunction": staticmethod(callable)}))
    Late = sync.LockableMeta("Late", (), {"f": body_fn, "n": 3})
    assert Late.f == ("mine", body_fn) and Late.n == 3


def test_metaclass_namespace_kinds():
    def f(self):
        pass

    ordered = collections.OrderedDict(f=f, g=f)
    cls = sync.LockableMeta.__new__(sync.LockableMeta, "O", (), ordered)
    assert cls.f.__wrapped__ is f and list(ordered) == ["f", "g"] and ordered["g"] is not f
    with pytest.raises(AttributeError):
        sync.LockableMeta.__new__(sync.LockableMeta, "N", (), None)
    with pytest.raises(AttributeError):
        sync.LockableMeta("K", (), {1: f})


def test_contention_warns_once_and_ignored_methods_pass(records):
    seen, logged = records

    class Both(sync.Lockable, metaclass=sync.LockableMeta):
        def __init__(self):
            super().__init__()

        def hold(self, entered, leave):
            entered.set()
            assert leave.wait(WAIT)

        @sync.LockableMeta.ignore
        def free(self):
            return threading.current_thread().name

        def fail(self):
            raise ValueError

        def __str__(self):
            return "<both>"

    obj = Both()
    lock, entered, leave = obj.__lock__, threading.Event(), threading.Event()
    holder = threading.Thread(target=obj.hold, args=(entered, leave))
    holder.start()
    assert entered.wait(WAIT)
    assert obj.free() == threading.current_thread().name and seen == []
    waiter = threading.Thread(target=obj.hold, args=(threading.Event(), leave))
    waiter.start()
    assert logged.wait(WAIT)
    leave.set()
    holder.join(WAIT), waiter.join(WAIT)
    assert obj.__lock__ is lock and [(r.levelno, r.name, r.getMessage()) for r in seen] == [
        (logging.WARNING, "tavrix.async_.synchronize", "Waiting for lock on <both>")]
    # A method that raised left the lock free; the holder re-enters it silently.
    seen.clear()
    with pytest.raises(ValueError):
        obj.fail()
    other = threading.Thread(target=obj.hold, args=(threading.Event(), leave))
    other.start(), other.join(WAIT)
    assert not other.is_alive()
    assert sync.locked(lambda self: self.hold(threading.Event(), leave))(obj) is None and seen == []


class Counter(metaclass=sync.LockableMeta):
    def __init__(self):
        self.cell = FORK.Value("q", 0, lock=False)

    def bump(self, times):
        for _ in range(times):
            self.add_one()

    def add_one(self):
        value = self.cell.value
        time.sleep(0)  # let another thread or process in, were the lock not held
        self.cell.value = value + 1


def run_children(target, count):
    children = [FORK.Process(target=target) for _ in range(count)]
    try:
        for child in children:
            child.start()
        return children
    except BaseException:
        reap(children)
        raise


def reap(children):
    for child in children:
        if child.pid is not None:
            child.join(WAIT)
            if child.exitcode is None:
                child.kill()
                child.join()


@pytest.mark.timeout(60)
def test_threads_and_forked_processes_lose_no_update():
    counter, times = Counter(), 150
    counter.add_one()  # the lock must exist before the fork
    children = run_children(functools.partial(counter.bump, times), 4)
    try:
        threads = [threading.Thread(target=counter.bump, args=(times,)) for _ in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(WAIT * 3)
    finally:
        reap(children)
    assert [c.exitcode for c in children] == [0] * 4
    assert counter.cell.value == 1 + 12 * times


@pytest.mark.timeout(60)
@pytest.mark.parametrize("made_before_fork", [True, False])
def test_exclusion_needs_a_lock_made_before_the_fork(made_before_fork, records):
    seen, _ = records
    obj, entered, leave = Plain(), FORK.Event(), FORK.Event()
    if made_before_fork:
        obj.echo()
    children = run_children(functools.partial(obj.hold, entered, leave), 1)
    try:
        assert entered.wait(WAIT)
        if made_before_fork:
            assert obj.__lock__.acquire(block=False) is False
        else:
            obj.echo()  # the parent's own, new lock
            assert seen == [] and obj.__lock__.acquire(block=False) is True
            obj.__lock__.release()
    finally:
        leave.set()
        reap(children)
    assert children[0].exitcode == 0
    assert obj.__lock__.acquire(block=False) is True
