"""Parallel calls in forked children with tavrix.async_.forkline.

Runs a real batch (compressing chunks of data, one child each), shows that the
results come back in child order whatever order the children finish in, that a
child's failure is re-raised in the parent with the child's traceback, that a
child dying without reporting is a failure at its index, what a time-out
looks like, and that an interrupt inside join() ends every child first.
"""

import hashlib
import logging
import os
import signal
import socket
import time
import traceback
import zlib

from tavrix.async_.forkline import ChildLabor, Pcall, multiprocessing

logging.basicConfig(level=logging.INFO, format="%(levelname)s %(name)s: %(message)s")


def banner(text):
    print(f"\n--- {text}")


def single_child():
    """One worker, driven by hand: fork, run, read the result message."""
    banner("one ChildLabor, its result message read back from the queue")
    queue = multiprocessing.SimpleQueue()
    child = ChildLabor(index=0, queue=queue, target=os.getpid)
    child.start()
    child.join()
    index, success, pid = queue.get()
    print(f"message: index={index} success={success} result={pid} (parent pid {os.getpid()})")


def compress(chunk_number, data, level=6):
    # Later chunks finish first: the order of results still follows the children.
    time.sleep(0.05 * (8 - chunk_number))
    packed = zlib.compress(data, level)
    return chunk_number, os.getpid(), len(data), len(packed), hashlib.sha256(packed).hexdigest()[:16]


def compress_in_parallel():
    banner("Pcall.pcall: eight chunks compressed in eight forked children")
    blob = b"".join(hashlib.sha512(str(i).encode()).digest() * 64 for i in range(2048))
    size = len(blob) // 8
    chunks = [blob[i * size:(i + 1) * size] for i in range(8)]
    start = time.time()
    results = Pcall.pcall(compress, iargs=[(i, chunk) for i, chunk in enumerate(chunks)], level=[9] * 8)
    print(f"{len(results)} results in {time.time() - start:.2f} s, in child order:")
    for number, pid, raw, packed, digest in results:
        print(f"  chunk {number}: pid {pid}, {raw} -> {packed} bytes, sha256 {digest}")


def unpicklable_arguments():
    banner("no pickling of targets or arguments: a lambda over an open socket")
    with socket.socket() as sock:
        results = Pcall.pcall(lambda s, n: (n, s.family.name), cargs=[sock], iargs=[(1,), (2,)])
    print("results:", results)


def parse_record(text):
    return int(text)


def failure_reraised():
    banner("a failing child: its exception is re-raised in the parent")
    try:
        Pcall.pcall(parse_record, iargs=[("1",), ("two",), ("3",)])
    except ValueError as error:
        print(f"caught in the parent: {error!r}")
        print("with the child's traceback as its cause:")
        print("".join(traceback.format_exception_only(type(error.__cause__), error.__cause__)).rstrip())


def child_dies():
    banner("a child that dies without reporting, among children returning 1 MiB each")
    try:
        Pcall.pcall([bytes, os._exit, bytes], iargs=[(1 << 20,), (3,), (1 << 20,)])
    except ChildProcessError as error:
        print(f"ChildProcessError: {error}")


def time_out():
    banner("a batch that outlives its time-out: an ERROR log names the children still running")
    batch = Pcall(time.sleep, timeout=0.6, iargs=[(0.1,), (30,)])
    batch.start()
    try:
        batch.join()
    except TimeoutError as error:
        print(f"TimeoutError: {error}")
    finally:
        batch.kill()
        for child in batch._processes:
            child.join()


class StopTheTest(BaseException):
    """What a test runner's time-out raises from its signal handler."""


def interrupted():
    banner("an interrupt inside join() (here a SIGALRM handler, as a test runner's time-out): "
           "every child is ended and reaped before the exception goes on")

    def alarm(signum, frame):
        raise StopTheTest("the test ran out of time")

    batch = Pcall(time.sleep, iargs=[(30,)] * 3)
    previous = signal.signal(signal.SIGALRM, alarm)
    batch.start()
    signal.alarm(1)
    started = time.time()
    try:
        batch.join()
    except StopTheTest as error:
        print(f"{type(error).__name__}: {error}, after {time.time() - started:.2f} s")
    finally:
        signal.signal(signal.SIGALRM, previous)
    print("children:", ", ".join(f"pid {child.pid} exit code {child.exitcode}" for child in batch._processes))


if __name__ == "__main__":
    single_child()
    compress_in_parallel()
    unpicklable_arguments()
    failure_reraised()
    child_dies()
    time_out()
    interrupted()
