"""Exceptions that travel from a forked child to its parent.

A minimal stand-in for the package's module of the same name.
"""

import traceback

from multiprocessing.reduction import ForkingPickler

__all__ = ["ExceptionWithTraceback", "RemoteError", "RemoteTraceback"]


class RemoteTraceback(Exception):
    """The formatted traceback of an exception raised in another process."""

    def __init__(self, tb):
        super().__init__(tb)
        self.tb = tb

    def __str__(self):
        return self.tb


class RemoteError(Exception):
    """Stands in for an exception of another process that could not be sent.

    It keeps the original class's qualified name (``type_name``) and message;
    its text is ``"<type_name>: <message>"``.
    """

    def __init__(self, type_name, message):
        super().__init__(type_name, message)
        self.type_name = type_name
        self.message = message

    def __str__(self):
        return "%s: %s" % (self.type_name, self.message)


def _safe_str(obj):
    try:
        return str(obj)
    except Exception as error:
        return "<str() failed: %s: %s>" % (type(error).__name__, error)


def _type_name(cls):
    return "%s.%s" % (getattr(cls, "__module__", "?"), getattr(cls, "__qualname__", "?"))


def _construct(cls, arguments, args):
    """An instance of `cls` whose args are `args`, even when __init__ wants other arguments."""
    try:
        exc = cls(*arguments)
    except Exception:
        exc = None
    if not isinstance(exc, cls):
        # __init__ differs from what the args say: build the instance bare.
        exc = cls.__new__(cls, *args)
    exc.args = args
    return exc


def _rebuild(cls, arguments, args, state, tb):
    """The child's exception again, as an instance of its own class. Never raises."""
    try:
        exc = _construct(cls, arguments, args)
    except Exception:
        exc = RemoteError(_type_name(cls), _safe_str(args[0] if len(args) == 1 else args))
    for name, value in state.items():
        try:
            setattr(exc, name, value)
        except Exception:
            pass
    exc.__cause__ = RemoteTraceback(tb)
    return exc


def _rebuild_remote(type_name, message, tb):
    exc = RemoteError(type_name, message)
    exc.__cause__ = RemoteTraceback(tb)
    return exc


def _picklable(obj):
    try:
        ForkingPickler.dumps(obj)
    except Exception:
        return False
    return True


class ExceptionWithTraceback(Exception):
    """Carries an exception and its formatted traceback through pickling.

    Unpickled, it becomes the original exception: an instance of its own class
    with its args and instance attributes (built without __init__ when that
    takes other arguments), the child's traceback attached as its
    ``__cause__``. An exception whose class or args cannot be pickled arrives
    as a RemoteError with the class's name, the message and the traceback; an
    attribute that cannot be pickled is left behind.
    """

    def __init__(self, exc):
        super().__init__(exc)
        text = "".join(traceback.format_exception(type(exc), exc, exc.__traceback__))
        self.exc = exc
        self.tb = '\n"""\n%s"""' % text

    def __reduce__(self):
        exc = self.exc
        cls, args = type(exc), exc.args
        # The constructor arguments of the class's own reduction (OSError adds
        # its filename there), else the args.
        arguments = args
        try:
            reduced = exc.__reduce__()
            if type(reduced) is tuple and len(reduced) >= 2 and reduced[0] is cls and type(reduced[1]) is tuple:
                arguments = reduced[1]
        except Exception:
            pass
        state = getattr(exc, "__dict__", None) or {}
        if not _picklable((cls, arguments, args)):
            return _rebuild_remote, (_type_name(cls), _safe_str(exc), self.tb)
        if not _picklable(state):
            state = {name: value for name, value in state.items() if _picklable(value)}
        return _rebuild, (cls, arguments, args, state, self.tb)
