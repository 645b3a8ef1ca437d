"""One batch configuration, run in a fresh interpreter so that its peak memory
is its own: `python batch_worker.py PEER TARGET N REPS` prints one JSON line.

PEER is pcall, pcall_harness (the caller has imported the test harness, as
a test step has), raw, raw_stack, ppe, pool or joblib; TARGET is noop, sleep,
mib or unpicklable. `python batch_worker.py growth BATCHES` measures instead
the parent's memory over consecutive batches.
"""

import gc
import inspect
import json
import multiprocessing
import os
import resource
import statistics
import sys
import threading
import time

FORK = multiprocessing.get_context("fork")
POLL = 0.25


def noop():
    return None


def nap():
    time.sleep(0.5)


def mib():
    return b"x" * (1 << 20)


TARGETS = {"noop": (noop, 0.0), "sleep": (nap, 0.5), "mib": (mib, 0.0)}


class CountingTime:
    """Stands in for forkline's module attribute `time`: counts the poll pauses."""

    def __init__(self):
        self.pauses = 0

    def sleep(self, seconds):
        self.pauses += 1
        time.sleep(seconds)

    def time(self):
        return time.time()


def cpu_seconds():
    own = resource.getrusage(resource.RUSAGE_SELF)
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    return own.ru_utime + own.ru_stime + children.ru_utime + children.ru_stime


def peak_rss_mib():
    """This process's own high-water mark of resident memory (VmHWM: unlike
    ru_maxrss, it does not carry over the peak of the process that started it)."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    return float("nan")


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def make_batch(peer, fn, n, unpicklable):
    """A callable that runs one batch of `n` calls and returns the results."""
    args = (threading.Lock(),) if unpicklable else ()
    if peer in ("pcall", "pcall_harness"):
        from tavrix.async_ import forkline

        if peer == "pcall_harness":
            import tavrix.vetrun.signals  # noqa: F401
            import tavrix.vetrun.steps  # noqa: F401
        return lambda: forkline.Pcall.pcall(fn, iargs=[args] * n)
    if peer in ("raw", "raw_stack"):
        stack = peer == "raw_stack"

        def batch():
            queue = FORK.SimpleQueue()

            def child(i):
                if stack:
                    inspect.stack()
                queue.put((i, fn(*args)))

            procs = [FORK.Process(target=child, args=(i,)) for i in range(n)]
            for p in procs:
                p.start()
            results = [queue.get() for _ in procs]  # before join: big results fill the pipe
            for p in procs:
                p.join()
            return tuple(r for _, r in sorted(results, key=lambda m: m[0]))

        return batch
    if peer == "ppe":
        from concurrent.futures import ProcessPoolExecutor

        def batch():
            with ProcessPoolExecutor(max_workers=n, mp_context=FORK) as ex:
                return tuple(f.result() for f in [ex.submit(fn, *args) for _ in range(n)])

        return batch
    if peer == "pool":

        def batch():
            with FORK.Pool(n) as pool:
                return tuple(r.get() for r in [pool.apply_async(fn, args) for _ in range(n)])

        return batch
    if peer == "joblib":
        from joblib import Parallel, delayed

        jobs = min(n, 64)
        return lambda: tuple(Parallel(n_jobs=jobs)(delayed(fn)(*args) for _ in range(n)))
    raise SystemExit(f"unknown peer {peer}")


def run(peer, target, n, reps):
    unpicklable = target == "unpicklable"
    if unpicklable:
        fn, intrinsic = (lambda lock: lock.locked()), 0.0
    else:
        fn, intrinsic = TARGETS[target]
    counter = None
    if peer.startswith("pcall"):
        from tavrix.async_ import forkline

        counter = CountingTime()
        forkline.time = counter
    batch = make_batch(peer, fn, n, unpicklable)
    try:
        batch()  # warm-up (a reusable pool, if the peer keeps one, is made here)
    except Exception as e:  # the pickling peers fail on the unpicklable row
        print(json.dumps({"error": f"{type(e).__name__}"}))
        return
    walls, beyond, cpu = [], [], []
    for _ in range(reps):
        gc.collect()
        if counter:
            counter.pauses = 0
        c0 = cpu_seconds()
        t0 = time.perf_counter()
        results = batch()
        wall = time.perf_counter() - t0
        cpu.append(cpu_seconds() - c0)
        assert len(results) == n, (peer, len(results))
        walls.append(wall)
        beyond.append(wall - (POLL * counter.pauses if counter else intrinsic))
    print(json.dumps({
        "wall": statistics.median(walls),
        "beyond": statistics.median(beyond),
        "cpu": statistics.median(cpu),
        "peak_mib": peak_rss_mib(),
    }))


def growth(batches):
    from tavrix.async_.forkline import Pcall

    sizes = []
    for i in range(batches):
        Pcall.pcall(noop, iargs=[()] * 4)
        gc.collect()
        sizes.append(rss_kib())
    print(json.dumps({"after_first_kib": sizes[0], "after_last_kib": sizes[-1],
                      "growth_kib": sizes[-1] - sizes[0], "batches": batches}))


if __name__ == "__main__":
    if sys.argv[1] == "growth":
        growth(int(sys.argv[2]))
    else:
        run(sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
