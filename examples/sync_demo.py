"""One counter, shared by forked processes and threads, keeps an exact count.

Every public method of a LockableMeta class runs under the instance's lock.
The counter lives in shared memory and is updated read-modify-write with a
pause in between, so without the lock most updates would be lost. Each call
that finds the lock taken logs "Waiting for lock on ..." at WARNING.

Run: python examples/sync_demo.py
"""
import logging
import multiprocessing
import threading
import time

from tavrix.async_.synchronize import LockableMeta

PROCESSES, THREADS, BUMPS = 3, 4, 25
FORK = multiprocessing.get_context("fork")


class SharedCounter(metaclass=LockableMeta):
    def __init__(self):
        self.cell = FORK.Value("q", 0, lock=False)

    def __str__(self):
        return "SharedCounter"

    def bump(self):
        value = self.cell.value
        time.sleep(0.001)  # a lost update waiting to happen, were the lock not held
        self.cell.value = value + 1

    @LockableMeta.ignore
    def peek(self):
        return self.cell.value


def work(counter):
    for _ in range(BUMPS):
        counter.bump()


def main():
    logging.basicConfig(level=logging.WARNING,
                        format="%(processName)-10s %(threadName)-9s %(levelname)s %(name)s: %(message)s")
    counter = SharedCounter()
    counter.bump()  # creates the lock here, so the forked children share it
    print(f"{PROCESSES} forked processes and {THREADS} threads bump one counter {BUMPS} times each, "
          "under one lock. Each call that finds the lock taken logs a 'Waiting for lock' warning: "
          "the warnings below are expected, they show the lock at work.", flush=True)

    children = [FORK.Process(target=work, args=(counter,), name=f"child-{i}") for i in range(PROCESSES)]
    for child in children:
        child.start()
    threads = [threading.Thread(target=work, args=(counter,), name=f"thread-{i}") for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for child in children:
        child.join()

    expected = 1 + (PROCESSES + THREADS) * BUMPS
    final = counter.peek()
    print(f"final count: {final} (expected {expected}): {'exact' if final == expected else 'NOT exact'}")
    return 0 if final == expected else 1


if __name__ == "__main__":
    raise SystemExit(main())
