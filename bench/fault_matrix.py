"""The same faults against Pcall and the peers a user would pick, each in a
fresh process (a session of its own) under a wall limit.

    python bench/fault_matrix.py [--limit SECONDS] [--only pcall,ppe,...]
                                 [--faults parent_sigterm,...] [--matrix-only]

Every batch has 4 tasks (64 for the large-result rows) of the target
`faulty`; task 1 carries the fault. A cell says what the caller saw:

- "error, names the task": an exception (or the parent's ERROR log) whose text
  names the task (its target `faulty`, "child 1"/"task 1", or its own message);
- "error, task not named": an exception that does not say which task failed;
- "silent loss": the call returned, with results missing or wrong;
- "hang": still running at the wall limit (then killed);
- "crash": the calling process itself died;

with the wall time, and the processes of the cell's session still running
after it ended ("left N"), which are then killed.

The lifecycle rows put the fault on the calling process instead, while all
4 tasks sleep 60 s (600 tasks under the descriptor limit): a signal sent to
the parent alone once its tasks run, a start that runs out of descriptors,
daemonic tasks never waited for. There a cell says how the parent ended
("dies (SIGTERM)", "exits (KeyboardInterrupt)": the exception it saw, then it
exited by itself) and how long after the signal, the failed start or its last
statement it was gone, or "hang"; "left N" is counted 3 s after the parent has
gone. "n/a": the peer has no such use. The SIGCHLD row runs 4 tasks that
return at once in a parent that ignores SIGCHLD, judged as the fault rows are.
"""

import argparse
import ctypes
import faulthandler
import glob
import json
import logging
import multiprocessing
import os
import resource
import signal
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
FORK = multiprocessing.get_context("fork")

FAULTS = {
    "os_exit": "child `os._exit(3)`",
    "sigkill": "child kills itself (SIGKILL)",
    "segfault": "child segfaults",
    "sys_exit": "child `sys.exit(0)`",
    "unpicklable_result": "unpicklable result (a lock)",
    "custom_init": "exception with a custom `__init__`",
    "unpicklable_exception": "unpicklable exception",
    "kill_sending": "killed while sending 4 MiB",
    "endless": "never ends, 2 s time-out",
    "large_60k": "64 × 60 KiB results",
    "large_1m": "64 × 1 MiB results",
    "parent_sigterm": "parent gets SIGTERM while it waits",
    "parent_sigkill": "parent gets SIGKILL while it waits",
    "parent_sigint": "parent-only SIGINT while it waits",
    "interrupt_in_wait": "interrupt raised in the wait (a SIGALRM handler, as a test time-out)",
    "start_emfile": "start under `ulimit -n 256`, 600 tasks",
    "daemonic_unjoined": "daemonic tasks never waited for",
    "sigchld_ignored": "SIGCHLD ignored",
}
PEERS = {
    "pcall": "Pcall",
    "pool": "multiprocessing.Pool",
    "ppe": "ProcessPoolExecutor",
    "joblib": "joblib",
}
SIZES = {"large_60k": 60 << 10, "large_1m": 1 << 20}
# Faults of the calling process, while every task sleeps; the first ones by a signal to it alone.
SIGNALLED = {"parent_sigterm": signal.SIGTERM, "parent_sigkill": signal.SIGKILL,
             "parent_sigint": signal.SIGINT, "interrupt_in_wait": signal.SIGALRM}
LIFECYCLE = (*SIGNALLED, "start_emfile", "daemonic_unjoined")
KEEP = []  # what a never-joined cell started, held to the end as a caller's variable would


class StepTimeout(Exception):
    """What a test runner's time-out raises from its SIGALRM handler."""


def raise_step_timeout(signum, frame):
    raise StepTimeout("the test ran out of time")


class PathError(Exception):
    def __init__(self, path, code):
        super().__init__(f"task 1 failed on {path} with code {code}")
        self.path, self.code = path, code


class LockedError(Exception):
    def __init__(self):
        super().__init__("task 1 failed holding a lock", threading.Lock())


class KillWhileSending:
    """Pickles to 4 MiB. A watcher process (so that it needs no share of the sender's GIL) kills
    the sender once it is writing the result out: when the pickling thread is seen inside
    write(2) (a full pipe), or its spill file exists but is not complete yet (Pcall)."""

    def __reduce__(self):
        tid = threading.get_native_id()
        pid = os.getpid()
        if os.fork() == 0:
            deadline = time.monotonic() + 5
            try:
                while time.monotonic() < deadline:
                    with open(f"/proc/{pid}/task/{tid}/syscall") as f:
                        if f.read().split()[0] == "1":  # write(2), on x86-64
                            break
                    sizes = [os.stat(p).st_size for p in glob.glob(f"/dev/shm/tavrix-forkline-*/{pid}")]
                    if any(0 < size < 4 << 20 for size in sizes):
                        break
                os.kill(pid, signal.SIGKILL)
            finally:
                os._exit(0)
        return bytes, (b"x" * (4 << 20),)


def faulty(i, fault):
    if fault in SIZES:
        return bytes([i]) * SIZES[fault]
    if fault in LIFECYCLE:
        time.sleep(60)
    if fault in LIFECYCLE or fault == "sigchld_ignored":
        return i * 10
    if i != 1:
        return i * 10
    if fault == "os_exit":
        os._exit(3)
    if fault == "sigkill":
        os.kill(os.getpid(), signal.SIGKILL)
    if fault == "segfault":
        faulthandler.disable()
        ctypes.string_at(0)
    if fault == "sys_exit":
        sys.exit(0)
    if fault == "unpicklable_result":
        return threading.Lock()
    if fault == "custom_init":
        raise PathError("/data/in.csv", 4)
    if fault == "unpicklable_exception":
        raise LockedError()
    if fault == "kill_sending":
        return KillWhileSending()
    if fault == "endless":
        while True:
            time.sleep(1)
    raise AssertionError(fault)


def right(fault, got, n):
    """Whether `got` is the batch's whole, correct result list (compared item by item, so that
    checking holds no second copy of the results)."""
    def expected(i):
        if fault in SIZES:
            return bytes([i]) * SIZES[fault]
        if fault == "kill_sending" and i == 1:  # what arrives when the kill came too late to hit the send
            return b"x" * (4 << 20)
        return i * 10

    return len(got) == n and all(value == expected(i) for i, value in enumerate(got))


def run_peer(peer, fault, n):
    timeout = 2 if fault == "endless" else None
    args = [(i, fault) for i in range(n)]
    if peer == "pcall":
        from tavrix.async_.forkline import Pcall

        return list(Pcall.pcall(faulty, timeout=timeout, iargs=args))
    if peer == "pool":
        with FORK.Pool(n) as pool:
            return pool.starmap_async(faulty, args).get(timeout)
    if peer == "ppe":
        from concurrent.futures import ProcessPoolExecutor

        with ProcessPoolExecutor(max_workers=n, mp_context=FORK) as executor:
            return list(executor.map(faulty, *zip(*args), timeout=timeout))
    if peer == "joblib":
        from joblib import Parallel, delayed

        return Parallel(n_jobs=n, timeout=timeout)(delayed(faulty)(*a) for a in args)
    raise AssertionError(peer)


def start_unjoined(peer, n):
    """Starts the tasks and returns without waiting for them, the nearest each peer has to
    daemonic children never joined; False for a peer that cannot."""
    args = [(i, "daemonic_unjoined") for i in range(n)]
    if peer == "pcall":
        from tavrix.async_.forkline import Pcall

        batch = Pcall(faulty, iargs=args)
        for child in batch._processes:
            child.daemon = True
        batch.start()
        KEEP.append(batch)
    elif peer == "pool":  # its workers are daemonic
        pool = FORK.Pool(n)
        KEEP.extend([pool, pool.starmap_async(faulty, args)])
    elif peer == "ppe":  # no shutdown()
        from concurrent.futures import ProcessPoolExecutor

        executor = ProcessPoolExecutor(max_workers=n, mp_context=FORK)
        KEEP.extend([executor] + [executor.submit(faulty, *a) for a in args])
    else:  # a generator that dispatches the tasks at once and is never consumed
        from joblib import Parallel, delayed

        try:
            KEEP.append(Parallel(n_jobs=n, return_as="generator")(delayed(faulty)(*a) for a in args))
        except TypeError:  # a joblib without return_as: every call waits for its tasks
            return False
    return True


def lifecycle_cell(peer, fault):
    """Runs in the fresh process: the fault is the caller's. Prints one JSON line with what
    the caller saw and when it began to exit ("mark", on the shared monotonic clock)."""
    n = 600 if fault == "start_emfile" else 4
    if fault == "start_emfile":
        resource.setrlimit(resource.RLIMIT_NOFILE, (256, 256))
    if fault == "interrupt_in_wait":
        signal.signal(signal.SIGALRM, raise_step_timeout)
    if fault == "parent_sigint":  # also where the cell was started with SIGINT ignored
        signal.signal(signal.SIGINT, signal.default_int_handler)
    if fault == "daemonic_unjoined":
        started = start_unjoined(peer, n)
        print(json.dumps({"outcome": "exits" if started else "n/a", "mark": time.monotonic()}), flush=True)
        return
    try:
        got = run_peer(peer, fault, n)
    except BaseException as error:  # noqa: B902 - the outcome is what we report
        print(json.dumps({"outcome": "exits", "error": type(error).__name__, "mark": time.monotonic()}),
              flush=True)
    else:
        print(json.dumps({"outcome": "returned", "detail": f"{len(got)} results", "mark": time.monotonic()}),
              flush=True)


def cell(peer, fault):
    """Runs in the fresh process: prints one JSON line."""
    if fault in LIFECYCLE:
        lifecycle_cell(peer, fault)
        return
    if fault == "sigchld_ignored":
        signal.signal(signal.SIGCHLD, signal.SIG_IGN)
    logged = []

    class Keep(logging.Handler):
        def emit(self, record):
            logged.append(record.getMessage())

    logging.getLogger().addHandler(Keep(logging.ERROR))
    n = 64 if fault in SIZES else 4
    start = time.perf_counter()
    try:
        got = run_peer(peer, fault, n)
    except BaseException as error:  # noqa: B902 - the outcome is what we report
        seconds = time.perf_counter() - start
        texts, seen = [], set()
        e = error
        while e is not None and id(e) not in seen:
            seen.add(id(e))
            texts.append(f"{type(e).__name__}: {e}")
            e = e.__cause__ or e.__context__
        text = "\n".join(texts + logged)
        named = any(k in text for k in ("faulty", "task 1", "child 1"))
        out = {"outcome": "error, names the task" if named else "error, task not named",
               "error": type(error).__name__, "seconds": seconds}
    else:
        seconds = time.perf_counter() - start
        ok = right(fault, got, n)
        outcome = "ok" if ok else "silent loss"
        if ok and fault == "kill_sending":
            outcome = "ok (sent before the kill landed)"
        out = {"outcome": outcome, "seconds": seconds, "detail": "" if ok else f"{len(got)} results"}
    print(json.dumps(out), flush=True)


def session_members(sid):
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[3]) == sid and fields[0] != "Z":
            pids.append(int(entry))
    return pids


def signal_when_running(proc, fault, limit):
    """Sends the row's signal to the cell alone once its tasks run (the cell and its 4 workers
    are up, then half a second more); returns when, on the monotonic clock."""
    deadline = time.monotonic() + limit
    while len(session_members(proc.pid)) < 5 and proc.poll() is None and time.monotonic() < deadline:
        time.sleep(0.05)
    time.sleep(0.5)
    sent = time.monotonic()
    if proc.poll() is None:
        os.kill(proc.pid, SIGNALLED[fault])
    return sent


def measure(peer, fault, limit):
    # The cell's output goes to a file: processes it leaves behind may hold a pipe open.
    with tempfile.TemporaryFile("w+") as out:
        proc = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--cell", peer, fault],
                                stdout=out, stderr=subprocess.DEVNULL, text=True, start_new_session=True)
        start = time.perf_counter()
        sent = signal_when_running(proc, fault, limit) if fault in SIGNALLED else None
        try:
            proc.wait(timeout=limit)
            hung = False
        except subprocess.TimeoutExpired:
            hung = True
            os.kill(proc.pid, signal.SIGKILL)
            proc.wait()
        wall = time.perf_counter() - start
        gone = time.monotonic()
        # Let exiting children go; a parent's fault leaves them a few seconds to follow it.
        time.sleep(3 if fault in LIFECYCLE else 0.3)
        left = session_members(proc.pid)
        for pid in left:  # processes this cell started and left running
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        out.seek(0)
        lines = out.read().strip().splitlines()
    if hung:
        result = {"outcome": "hang", "seconds": wall if sent is None else gone - sent}
    elif fault in LIFECYCLE:
        result = json.loads(lines[-1]) if lines else {"outcome": "crash"}
        if proc.returncode < 0:
            result = {"outcome": "dies", "error": signal.Signals(-proc.returncode).name}
        elif proc.returncode > 0:
            result["outcome"] = f"exits with code {proc.returncode}"
        mark = sent if sent is not None else result.pop("mark", None)
        result["seconds"] = gone - mark if mark is not None else wall
    elif proc.returncode != 0 or not lines:
        result = {"outcome": "crash", "seconds": wall, "detail": f"exit {proc.returncode}"}
    else:
        result = json.loads(lines[-1])
    result["left"] = len(left)
    return result


def describe(r):
    if r["outcome"] == "n/a":
        return "n/a"
    text = r["outcome"]
    if r.get("error"):
        text += f" ({r['error']})"
    text += f", {r['seconds']:.2f} s"
    if r["left"]:
        text += f", left {r['left']}"
    return text


def matrix(limit=20, peers=tuple(PEERS), faults=tuple(FAULTS)):
    from common import Table

    table = Table(
        "Fault matrix",
        ["fault"] + [PEERS[p] for p in peers],
        f"Each cell ran in a fresh process under a {limit:.0f} s wall limit (60 s for the large "
        "results); 4 tasks (64 for the large results), task 1 faulty. 'left N': processes of the cell still running after it "
        "ended (then killed). The rows from the parent's SIGTERM to the daemonic tasks put the fault on the parent "
        "while its tasks sleep 60 s: the time is from the signal, the failed start or the last statement to the "
        "parent's exit, and 'left N' is counted 3 s after it; in the SIGCHLD row the tasks return at once.",
    )
    data = {}
    for fault in faults:
        row = [FAULTS[fault]]
        for peer in peers:
            # 64 children take joblib's workers (each a fresh interpreter) longer to start.
            r = measure(peer, fault, max(limit, 60) if fault in SIZES else limit)
            data[(fault, peer)] = r
            row.append(describe(r))
            print(f"  {fault:>22} {peer:>7}: {describe(r)}", flush=True)
        table.add(*row)
    return table, data


def high_water_kib():
    """This process's own resident high-water mark (VmHWM: unlike ru_maxrss, not inherited from
    the process that started it)."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def timed(peer, fault):
    """Runs in the fresh process: one large-result batch, its wall time and the parent's peak memory."""
    n = 64
    if peer == "pcall_warm":
        # As a caller inside a test step: the harness is imported, and inspect's module caches
        # are filled (by one inspect.stack()), so each child inherits both and its search for the
        # caller's test step costs little.
        import inspect

        import tavrix.vetrun.signals  # noqa: F401
        import tavrix.vetrun.steps  # noqa: F401

        inspect.stack()
        peer = "pcall"
    before = high_water_kib()
    start = time.perf_counter()
    got = run_peer(peer, fault, n)
    wall = time.perf_counter() - start
    ok = right(fault, got, n)
    del got
    peak = high_water_kib()
    print(json.dumps({"wall": wall, "ok": ok, "growth_mib": (peak - before) / 1024}), flush=True)


def large_results(quick=False):
    """64 children returning 60 KiB or 1 MiB each: Pcall against ProcessPoolExecutor (fork, one
    worker per task), alternating in fresh processes, medians of the repetitions."""
    import statistics

    from common import Table, Target

    reps = 2 if quick else 5
    table = Table(
        "Large results, 64 children",
        ["result size", "peer", "wall s (median)", "parent peak growth MiB", "all results right"],
        f"Median of {reps} batches, each in a fresh interpreter, the peers alternating. 'Harness "
        "loaded, caches warm': the parent imported the test harness and called inspect.stack() once "
        "before, as a caller inside a test step has, so that each child's search for the caller's "
        "test step finds both ready. 'Peak growth' "
        "is the rise of the parent's resident high-water mark over the batch: 64 results of 1 MiB "
        "need 64 MiB once.",
    )
    targets = []
    for fault, size in (("large_60k", "60 KiB"), ("large_1m", "1 MiB")):
        walls = {"pcall": [], "pcall_warm": [], "ppe": []}
        growth = {peer: [] for peer in walls}
        right = dict.fromkeys(walls, True)
        for _ in range(reps):
            for peer in walls:
                out = subprocess.run([sys.executable, os.path.abspath(__file__), "--time", peer, fault],
                                     capture_output=True, text=True, timeout=300)
                r = json.loads(out.stdout.strip().splitlines()[-1])
                walls[peer].append(r["wall"])
                growth[peer].append(r["growth_mib"])
                right[peer] &= r["ok"]
        labels = {"pcall": "Pcall", "pcall_warm": "Pcall, harness loaded, caches warm", "ppe": PEERS["ppe"]}
        for peer in walls:
            table.add(size, labels[peer], statistics.median(walls[peer]), statistics.median(growth[peer]),
                      "yes" if right[peer] else "NO")
        for peer in ("pcall", "pcall_warm"):
            gap = statistics.median(walls[peer]) - statistics.median(walls["ppe"])
            targets.append(Target(f"64 x {size} results: {labels[peer]} wall - {PEERS['ppe']} wall", gap, 0.5,
                                  unit=" s"))
    return [(table, targets, None)], None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cell", nargs=2, metavar=("PEER", "FAULT"))
    parser.add_argument("--time", nargs=2, metavar=("PEER", "FAULT"))
    parser.add_argument("--limit", type=float, default=20)
    parser.add_argument("--only", default=",".join(PEERS))
    parser.add_argument("--faults", default=",".join(FAULTS))
    parser.add_argument("--large-only", action="store_true", help="only the large-result timings")
    parser.add_argument("--matrix-only", action="store_true", help="no large-result timings")
    opts = parser.parse_args()
    if opts.cell:
        cell(*opts.cell)
        return
    if opts.time:
        timed(*opts.time)
        return
    sys.path.insert(0, HERE)
    if not opts.large_only:
        table, _ = matrix(opts.limit, opts.only.split(","), opts.faults.split(","))
        print(table.markdown())
    if opts.matrix_only:
        return
    entries, _ = large_results()
    for table, targets, _ in entries:
        print(table.markdown())
        for t in targets:
            print(" | ".join(t.row()))


if __name__ == "__main__":
    main()
