"""The same faults against Pcall and the peers a user would pick, each in a
fresh process (a session of its own) under a wall limit.

    python bench/fault_matrix.py [--limit SECONDS] [--only pcall,ppe,...]

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
"""

import argparse
import ctypes
import faulthandler
import json
import logging
import multiprocessing
import os
import signal
import subprocess
import sys
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
}
PEERS = {
    "pcall": "Pcall",
    "pool": "multiprocessing.Pool",
    "ppe": "ProcessPoolExecutor",
    "joblib": "joblib",
}
SIZES = {"large_60k": 60 << 10, "large_1m": 1 << 20}


class PathError(Exception):
    def __init__(self, path, code):
        super().__init__(f"task 1 failed on {path} with code {code}")
        self.path, self.code = path, code


class LockedError(Exception):
    def __init__(self):
        super().__init__("task 1 failed holding a lock", threading.Lock())


class KillWhileSending:
    """Pickles to 4 MiB; once the pickling thread writes, the process is killed."""

    def __reduce__(self):
        tid = threading.get_native_id()

        def killer():
            deadline = time.monotonic() + 5
            while time.monotonic() < deadline:
                try:
                    with open(f"/proc/self/task/{tid}/syscall") as f:
                        if f.read().split()[0] == "1":  # write(2), on x86-64
                            break
                except OSError:
                    break
            os.kill(os.getpid(), signal.SIGKILL)

        threading.Thread(target=killer, daemon=True).start()
        return bytes, (b"x" * (4 << 20),)


def faulty(i, fault):
    if fault in SIZES:
        return bytes([i]) * SIZES[fault]
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


def expected(fault, n):
    if fault in SIZES:
        return [bytes([i]) * SIZES[fault] for i in range(n)]
    return [i * 10 for i in range(n)]


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


def cell(peer, fault):
    """Runs in the fresh process: prints one JSON line."""
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
        ok = got == expected(fault, n)
        out = {"outcome": "ok" if ok else "silent loss", "seconds": seconds,
               "detail": "" if ok else f"{len(got)} results"}
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


def measure(peer, fault, limit):
    proc = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--cell", peer, fault],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                            start_new_session=True)
    start = time.perf_counter()
    try:
        stdout, _ = proc.communicate(timeout=limit)
        hung = False
    except subprocess.TimeoutExpired:
        hung = True
        os.kill(proc.pid, signal.SIGKILL)
        stdout, _ = proc.communicate()
    wall = time.perf_counter() - start
    time.sleep(0.3)  # let exiting children go
    left = [p for p in session_members(proc.pid) if p != proc.pid]
    for pid in left:  # processes this cell started and left running
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    if hung:
        result = {"outcome": "hang", "seconds": wall}
    else:
        lines = stdout.strip().splitlines()
        if proc.returncode != 0 or not lines:
            result = {"outcome": "crash", "seconds": wall, "detail": f"exit {proc.returncode}"}
        else:
            result = json.loads(lines[-1])
    result["left"] = len(left)
    return result


def describe(r):
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
        f"Each cell ran in a fresh process under a {limit:.0f} s wall limit; 4 tasks (64 for the "
        "large results), task 1 faulty. 'left N': processes of the cell still running after it "
        "ended (then killed).",
    )
    data = {}
    for fault in faults:
        row = [FAULTS[fault]]
        for peer in peers:
            r = measure(peer, fault, limit)
            data[(fault, peer)] = r
            row.append(describe(r))
            print(f"  {fault:>22} {peer:>7}: {describe(r)}", flush=True)
        table.add(*row)
    return table, data


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cell", nargs=2, metavar=("PEER", "FAULT"))
    parser.add_argument("--limit", type=float, default=20)
    parser.add_argument("--only", default=",".join(PEERS))
    parser.add_argument("--faults", default=",".join(FAULTS))
    opts = parser.parse_args()
    if opts.cell:
        cell(*opts.cell)
        return
    sys.path.insert(0, HERE)
    table, _ = matrix(opts.limit, opts.only.split(","), opts.faults.split(","))
    print(table.markdown())


if __name__ == "__main__":
    main()
