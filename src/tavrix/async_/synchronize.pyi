# Type information for the native module tavrix.async_.synchronize.
import functools as functools
import inspect as inspect
import logging as logging
from collections.abc import Callable
from multiprocessing.context import ForkContext
from typing import Any, Protocol, TypeVar

# The fork start-method context (not the multiprocessing package).
multiprocessing: ForkContext
logger: logging.Logger

class _Lock(Protocol):
    # What an instance lock must offer (the fork context's Lock and RLock do).
    def acquire(self, block: bool = ..., timeout: float | None = ...) -> bool: ...
    def release(self) -> None: ...

_F = TypeVar("_F", bound=Callable[..., Any])
_T = TypeVar("_T")
_M = TypeVar("_M", bound=LockableMeta)

def locked(method: _F) -> _F:
    """Runs the method under the instance's lock, creating the lock on first use."""

class Lockable:
    """Base class: a per-instance lock made at construction."""

    __lock__: _Lock
    def __init__(self, *, lock: Callable[[], _Lock] = ...) -> None: ...
    def acquire(self, block: bool = True, timeout: float | None = None) -> bool: ...
    def release(self) -> None: ...
    @staticmethod
    def locked(method: _F) -> _F: ...

class LockableMeta(type):
    """Metaclass: every public plain function of the class body runs under the lock."""

    @staticmethod
    def ignore(obj: _T) -> _T: ...
    def __new__(cls: type[_M], name: str, bases: tuple[type, ...], attrs: dict[str, Any]) -> _M: ...
