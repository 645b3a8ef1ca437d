"""Typed use of both modules; checked with `mypy --strict` by the test suite.

Run: python examples/typed_usage.py
"""
from __future__ import annotations

from typing import Any

from tavrix.async_.forkline import ChildWork, Pcall
from tavrix.async_.synchronize import Lockable, LockableMeta, locked


def square(x: int, *, offset: int = 0) -> int:
    return x * x + offset


def parallel_squares(numbers: list[int]) -> list[int]:
    results: tuple[Any, ...] = Pcall.pcall(square, iargs=[(n,) for n in numbers], offset=[1] * len(numbers))
    return [int(r) for r in results]


def controlled_batch() -> tuple[int | None, ...]:
    batch = Pcall([square, square], timeout=10.0, cargs=(3,), ckwargs={"offset": 0})
    batch.start()
    pids = batch.pids
    batch.join()
    assert batch.results == (9, 9)
    assert batch.livings == ()
    return pids


class Account(Lockable):
    def __init__(self, balance: int) -> None:
        super().__init__()
        self.balance = balance

    @Lockable.locked
    def deposit(self, amount: int) -> int:
        self.balance += amount
        return self.balance


class Tally:
    def __init__(self) -> None:
        self.count = 0

    @locked
    def bump(self) -> int:
        self.count += 1
        return self.count


class Registry(metaclass=LockableMeta):
    def __init__(self) -> None:
        self.names: list[str] = []

    def add(self, name: str) -> int:
        self.names.append(name)
        return len(self.names)

    @LockableMeta.ignore
    def peek(self) -> list[str]:
        return list(self.names)


def main() -> None:
    assert parallel_squares([1, 2, 3]) == [2, 5, 10]
    assert all(isinstance(pid, int) for pid in controlled_batch())

    account = Account(10)
    assert account.deposit(5) == 15
    if account.acquire(block=True, timeout=1.0):
        try:
            account.balance -= 1
        finally:
            account.release()
    assert account.balance == 14

    tally = Tally()
    assert tally.bump() + tally.bump() == 3

    registry = Registry()
    assert registry.add("a") == 1
    assert registry.peek() == ["a"]

    work = ChildWork("square", "(2,)", "{}")
    assert work.target == "square"
    print("typed usage ok")


if __name__ == "__main__":
    main()
