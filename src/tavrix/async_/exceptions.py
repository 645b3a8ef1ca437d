"""Exceptions that travel from a forked child to its parent.

A minimal stand-in for the package's module of the same name.
"""

import traceback

__all__ = ["ExceptionWithTraceback", "RemoteTraceback"]


class RemoteTraceback(Exception):
    """The formatted traceback of an exception raised in another process."""

    def __init__(self, tb):
        super().__init__(tb)
        self.tb = tb

    def __str__(self):
        return self.tb


def _rebuild(exc, tb):
    exc.__cause__ = RemoteTraceback(tb)
    return exc


class ExceptionWithTraceback(Exception):
    """Carries an exception and its formatted traceback through pickling.

    Unpickled, it becomes the original exception (same type and arguments)
    with the child's traceback attached as its ``__cause__``.
    """

    def __init__(self, exc):
        super().__init__(exc)
        text = "".join(traceback.format_exception(type(exc), exc, exc.__traceback__))
        self.exc = exc
        self.tb = '\n"""\n%s"""' % text

    def __reduce__(self):
        return _rebuild, (self.exc, self.tb)
