# Type information for the native module tavrix.async_.forkline.
import functools as functools
import inspect as inspect
import itertools as itertools
import logging as logging
import os as os
import signal as signal
import time as time
from collections import namedtuple as namedtuple
from collections.abc import Callable, Collection, Iterable, MutableMapping
from multiprocessing.context import ForkContext, ForkProcess
from multiprocessing.queues import SimpleQueue
from typing import Any, Literal, NamedTuple, Protocol

from tavrix.async_.exceptions import ExceptionWithTraceback as ExceptionWithTraceback
from tavrix.log import managed_handlers as managed_handlers

# The fork start-method context (not the multiprocessing package).
multiprocessing: ForkContext
__pcall_infra__: Literal[True]
logger: logging.Logger

# What one child puts on the batch's queue: (index, success, result), success
# being True (returned), False (raised) or 2 (the step-termination signal).
_Message = tuple[int, Literal[True, False, 2], Any]

class _CopyableMapping(Protocol):
    # ckwargs: copied once per child, then updated.
    def copy(self) -> MutableMapping[str, Any]: ...

class ChildWork(NamedTuple):
    """One child's job, as text for messages."""

    target: str
    args: str
    kwargs: str

class ChildLabor(ForkProcess):
    """The worker process of a Pcall batch."""

    _index: int
    _queue: SimpleQueue[_Message]
    _work: ChildWork
    def __init__(self, index: int, queue: SimpleQueue[_Message], *args: Any, **kwargs: Any) -> None: ...
    def _get_steps(self) -> Any: ...
    def run(self) -> None: ...

class Pcall:
    """One batch of parallel calls, one forked child per instance."""

    targets: Callable[..., Any] | Collection[Callable[..., Any]]
    timeout: float | None
    cargs: Iterable[Any]
    iargs: list[Iterable[Any]]
    ckwargs: _CopyableMapping
    ikwargs: list[Iterable[tuple[str, Any]] | MutableMapping[str, Any]]
    varkwargs: dict[str, list[Any]]
    results: tuple[Any, ...] | None
    starttime: float
    stoptime: float
    _queue: SimpleQueue[_Message]
    _processes: list[ChildLabor]
    # Runtime signature: pcall(cls, *args, **kwargs), all passed to the
    # constructor; typed here with the constructor's parameters.
    @classmethod
    def pcall(
        cls,
        targets: Callable[..., Any] | Collection[Callable[..., Any]],
        timeout: float | None = None,
        cargs: Iterable[Any] = (),
        iargs: Iterable[Iterable[Any]] = (),
        ckwargs: _CopyableMapping = ...,
        ikwargs: Iterable[Iterable[tuple[str, Any]] | MutableMapping[str, Any]] = (),
        **varkwargs: Iterable[Any],
    ) -> tuple[Any, ...]: ...
    def __init__(
        self,
        targets: Callable[..., Any] | Collection[Callable[..., Any]],
        timeout: float | None = None,
        cargs: Iterable[Any] = (),
        iargs: Iterable[Iterable[Any]] = (),
        ckwargs: _CopyableMapping = ...,
        ikwargs: Iterable[Iterable[tuple[str, Any]] | MutableMapping[str, Any]] = (),
        **varkwargs: Iterable[Any],
    ) -> None: ...
    @property
    def pids(self) -> tuple[int | None, ...]: ...
    def start(self) -> None: ...
    def join(self) -> None: ...
    def terminate(self) -> None: ...
    def kill(self) -> None: ...
    @property
    def livings(self) -> tuple[ChildLabor, ...]: ...
    def _build_arguments(self) -> list[dict[str, Any]]: ...
