"""Attacks on the result channel: another local user, a shared scratch folder,
a full /dev/shm and a second PID namespace against a root batch's results.

Each row is a script run as root in a private mount namespace that mounts its
own small tmpfs on /dev/shm and on /tmp (TMPDIR, the victim's files and
everything the attacker plants live there, seen by nobody else), under a wall
bound, with each process's address space and CPU time capped. The attacker is
a user made for this module; its steps run in a fork of the script that has
dropped to that uid and its group. The rows judge what must hold whatever the
channel does: no file outside the batch is removed, no file of another user is
loaded, the live results of another namespace survive, a long TMPDIR neither
corrupts the stream nor hangs the exit, and an unusable temporary directory
does not fail a batch that can do without it. The attacker takes the names it
plants from what it can list; where the victim shows none, it plants nothing
and the row's assertions hold as they are. No process of a run may be left
when it ends: every one carries the run's token in its environment.
"""

import os
import pwd
import shutil
import signal
import subprocess
import sys
import tempfile
import textwrap
import time

import pytest

ATTACKER = "tavrix-attacker"
WALL = 45  # seconds a run may take; a script reports where it hangs 5 s before

# Shared by every script (and by the scripts it starts in other PID namespaces).
COMMON = r'''
import faulthandler, os, pickle, subprocess, sys, tempfile, textwrap, time, traceback
sys.path.insert(0, os.environ["ATTACK_TESTS"])
from batch_cleanup import assert_reaped, bound_this_process
from tavrix.async_.forkline import Pcall

bound_this_process(memory=512 << 20, cpu_seconds=60)
faulthandler.dump_traceback_later(float(os.environ["ATTACK_WALL"]), exit=True)
UID, GID = int(os.environ["ATTACK_UID"]), int(os.environ["ATTACK_GID"])
PRECIOUS = "/tmp/precious"  # the victim's own files, which none of its batches may remove
PLANTED = "/tmp/planted"    # the attacker's list of the files it planted
MARKER = "/tmp/marker"      # made by a forged result, if the victim ever loads one

def large(i):
    return bytes([i]) * (64 << 10)

def results(n):
    return tuple(large(i) for i in range(n))

def sh(*command):
    subprocess.run(command, check=True, timeout=10)

def mount(where, options=""):
    sh("mount", "-t", "tmpfs", "-o", "mode=1777,size=32m" + options, "tavrix-attack", where)

def needed_beneath(base):
    """The entries of `base` holding what this run still reads: its environment, the package, these tests."""
    import tavrix
    tops = set()
    for path in (sys.prefix, os.path.dirname(tavrix.__file__), os.environ["ATTACK_TESTS"]):
        path = os.path.abspath(path)
        if path.startswith(base + "/"):
            tops.add(os.path.join(base, path[len(base) + 1:].split("/")[0]))
    return sorted(tops)

def setup(shm="", mode=0o1777, group=0):
    """Private /dev/shm and /tmp, the victim's files, and TMPDIR=/tmp/scratch of this mode and group.

    A checkout or environment that lies in /tmp is bound back into the private
    /tmp, from a descriptor taken before the mount hides it."""
    mount("/dev/shm", shm)
    held = [(top, os.open(top, os.O_PATH | os.O_DIRECTORY)) for top in needed_beneath("/tmp")]
    mount("/tmp")
    for top, fd in held:
        os.mkdir(top)
        # Not canonicalised: the descriptor's link reads as the now hidden path.
        sh("mount", "--no-canonicalize", "--bind", f"/proc/{os.getpid()}/fd/{fd}", top)
        os.close(fd)
    os.mkdir(PRECIOUS, 0o755)
    for name in "abc":
        open(os.path.join(PRECIOUS, name), "w").close()
    os.mkdir("/tmp/later")
    os.mkdir("/tmp/scratch")
    os.chown("/tmp/scratch", 0, group)
    os.chmod("/tmp/scratch", mode)
    os.environ["TMPDIR"] = "/tmp/scratch"

def fill(base):
    """No further data page fits on the file system of `base` (directories still do)."""
    fd = os.open(os.path.join(base, ".filler"), os.O_WRONLY | os.O_CREAT)
    try:
        while True:
            os.write(fd, bytes(1 << 16))
    except OSError:
        os.close(fd)

def fill_inodes(base):
    """No further file or directory fits on the file system of `base`."""
    try:
        for n in range(1 << 16):
            open(os.path.join(base, f".inode-{n}"), "x").close()
    except OSError:
        pass

def read_only_temporaries():
    """No candidate of tempfile can be written: /tmp, /var/tmp, the working directory."""
    for name in ("TEMP", "TMP"):
        os.environ.pop(name, None)
    if os.path.isdir("/var/tmp"):
        mount("/var/tmp", ",ro")
    sh("mount", "-o", "remount,ro", "/tmp")
    mount("/tmp/later")
    os.chdir("/tmp")

def settle(batch, at_most=10):
    """Starts the batch and waits (at most so long) until its children have ended, results unread."""
    batch.start()
    deadline = time.monotonic() + at_most
    while batch.livings and time.monotonic() < deadline:
        time.sleep(0.02)

def joined(batch, expected):
    batch.join()
    assert batch.results == expected, [repr(r)[:30] for r in batch.results]
    assert_reaped(batch.pids)

def as_attacker(action, *args):
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            os.setgroups([GID])
            os.setgid(GID)
            os.setuid(UID)
            action(*args)
            code = 0
        except BaseException:
            traceback.print_exc()
        finally:
            os._exit(code)
    assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0, "the attacker's step failed"

# --- the attacker's steps ---

def foreign(base):
    """The names the victim uses in `base`, as the attacker lists them."""
    return [name for name in os.listdir(base)
            if not name.startswith(".") and os.lstat(os.path.join(base, name)).st_uid != os.getuid()]

def plant(seen, into, kind):
    """Under each of the victim's names in `seen`: a symlink to the victim's files
    in `into`, or a directory of the attacker's own with three files."""
    for name in foreign(seen):
        where = os.path.join(into, name)
        if kind == "link":
            os.symlink(PRECIOUS, where)
            continue
        os.mkdir(where)
        for file in "abc":
            open(os.path.join(where, file), "w").close()
            with open(PLANTED, "a") as planted:
                planted.write(os.path.join(where, file) + "\n")

def intact():
    files = [os.path.join(PRECIOUS, name) for name in "abc"]
    if os.path.exists(PLANTED):
        files += open(PLANTED).read().split()
    missing = [file for file in files if not os.path.exists(file)]
    assert not missing, f"removed by the victim's batch: {missing}"

class Forged:
    """Unpickled, makes the marker file and passes for the message of child `index`."""
    def __init__(self, index):
        self.index = index
    def __reduce__(self):
        return eval, (f"(open({MARKER!r}, 'w').close(), ({self.index}, True, b'forged'))[1]",)

def swap(shared, pids):
    """Moves each of the victim's entries in `shared` away and links a folder of forged results in its place."""
    os.mkdir("/tmp/forged")
    for index, pid in enumerate(pids):
        with open(f"/tmp/forged/{pid}", "wb") as forged:
            pickle.dump(Forged(index), forged)
    for name in foreign(shared):
        os.rename(os.path.join(shared, name), os.path.join(shared, "." + name))
        os.symlink("/tmp/forged", os.path.join(shared, name))

def first_batch():
    """The first batch of the process, whose results need no file or fit in /dev/shm,
    succeeds and leaves tempfile as it was: a TMPDIR set afterwards is honoured."""
    batch = Pcall(lambda i: large(i) if i else i, iargs=[(0,), (1,)])
    settle(batch)
    joined(batch, (0, large(1)))
    assert tempfile.tempdir is None, tempfile.tempdir
    os.environ["TMPDIR"] = "/tmp/later"
    assert tempfile.gettempdir() == "/tmp/later"

# Makes its own first process number `argv[1] + 1`, then runs the script `argv[2]`.
LAUNCH = ("import os, sys; open('/proc/sys/kernel/ns_last_pid', 'w').write(sys.argv[1]); "
          "pid = os.fork() or os.execv(sys.executable, [sys.executable, '-c', sys.argv[2]]); "
          "sys.exit(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))")

def in_pid_namespace(first_pid, body, **options):
    """Runs `body` as process `first_pid` of a new PID namespace that shares these mounts."""
    script = os.environ["ATTACK_COMMON"] + textwrap.dedent(body)
    command = ["unshare", "-p", "-f", "--mount-proc", sys.executable, "-c", LAUNCH, str(first_pid - 1), script]
    return subprocess.Popen(command, **options)
'''

CASES = {
    # Another user plants a name of the victim's batch where the batch might remove
    # it. (Where fs.protected_symlinks is 1, the kernel itself refuses to follow
    # the symlinks of the two rows in sticky directories, TMPDIR and /dev/shm.)
    "deletion:symlink-in-TMPDIR": r"""
        setup()
        batch = Pcall(large, iargs=[(i,) for i in range(4)])
        settle(batch)
        as_attacker(plant, "/dev/shm", "/tmp/scratch", "link")
        joined(batch, results(4))
        intact()
    """,
    "deletion:own-directory-in-TMPDIR": r"""
        setup()
        batch = Pcall(large, iargs=[(i,) for i in range(4)])
        settle(batch)
        as_attacker(plant, "/dev/shm", "/tmp/scratch", "directory")
        joined(batch, results(4))
        intact()
    """,
    "deletion:symlink-in-group-TMPDIR-without-sticky-bit": r"""
        setup(mode=0o2770, group=GID)
        batch = Pcall(large, iargs=[(i,) for i in range(4)])
        settle(batch)
        as_attacker(plant, "/dev/shm", "/tmp/scratch", "link")
        joined(batch, results(4))
        intact()
    """,
    # /dev/shm has no inode left (the attacker holds the last one) until the
    # results are in TMPDIR; then the attacker frees it for its symlink.
    "deletion:symlink-in-dev-shm": r"""
        setup(shm=",nr_inodes=64")
        batch = Pcall(large, iargs=[(i,) for i in range(4)])
        fill_inodes("/dev/shm")
        os.unlink("/dev/shm/.inode-0")
        as_attacker(lambda: open("/dev/shm/.held", "x").close())
        settle(batch)
        as_attacker(lambda: (os.unlink("/dev/shm/.held"), plant("/tmp/scratch", "/dev/shm", "link")))
        joined(batch, results(4))
        intact()
    """,
    # /dev/shm is full, TMPDIR a shared group folder; a member swaps the
    # victim's entries for links to forged results between the children's end and join().
    "foreign-pickle:swapped-in-group-TMPDIR": r"""
        setup(mode=0o2770, group=GID)
        batch = Pcall(large, iargs=[(i,) for i in range(4)])
        fill("/dev/shm")
        settle(batch)
        as_attacker(swap, "/tmp/scratch", batch.pids)
        try:
            joined(batch, results(4))
        finally:
            assert not os.path.exists(MARKER), "the victim ran the attacker's pickle"
    """,
    # A holds finished, unread results while B, in another PID namespace on the
    # same /dev/shm and TMPDIR, starts the first batch of its process.
    "orphans:live-results-of-another-PID-namespace": r"""
        setup()
        holder = in_pid_namespace(1000, '''
            batch = Pcall(large, iargs=[(i,) for i in range(4)])
            settle(batch)
            print("settled", flush=True)
            sys.stdin.readline()
            joined(batch, results(4))
        ''', stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        assert holder.stdout.readline().strip() == b"settled"
        starter = in_pid_namespace(2000, '''
            batch = Pcall(large, iargs=[(i,) for i in range(2)])
            settle(batch)
            joined(batch, results(2))
        ''')
        assert starter.wait(timeout=20) == 0, "the other namespace's batch failed"
        holder.stdin.write(b"join\n")
        holder.stdin.close()
        assert holder.wait(timeout=20) == 0, "the holder's results did not all arrive"
    """,
    # A TMPDIR of about 2000 bytes and a full /dev/shm; join() reads nothing
    # until the children have ended, or waited 2 s for room to send.
    "long-TMPDIR:64-children": r"""
        setup()
        os.environ["TMPDIR"] = deep = "/tmp/scratch/" + "/".join(["d" * 199] * 10)
        os.makedirs(deep)
        batch = Pcall(large, iargs=[(i,) for i in range(64)])
        fill("/dev/shm")
        settle(batch, at_most=2)
        joined(batch, results(64))
    """,
    "unusable-TMPDIR:read-only": r"""
        setup()
        os.mkdir("/tmp/read-only")
        os.environ["TMPDIR"] = "/tmp/read-only"
        read_only_temporaries()
        first_batch()
    """,
    "unusable-TMPDIR:not-UTF-8": r"""
        setup()
        os.mkdir(b"/tmp/\xff")
        os.environb[b"TMPDIR"] = b"/tmp/\xff"
        first_batch()
    """,
    "unusable-TMPDIR:missing": r"""
        setup()
        os.environ["TMPDIR"] = "/tmp/missing"
        read_only_temporaries()
        first_batch()
    """,
}


@pytest.fixture(scope="module")
def attacker():
    """The second user's uid and gid (its own group), made for this module and removed after it."""
    if os.geteuid() != 0:
        pytest.skip("needs root: a second user, mounts and namespaces")
    if not (shutil.which("unshare") and shutil.which("useradd")):
        pytest.skip("needs unshare and useradd")
    probe = subprocess.run(
        ["unshare", "-m", "--propagation", "private", "-p", "-f", "--mount-proc",
         "sh", "-c", "mount -t tmpfs tavrix-attack /dev/shm"],
        capture_output=True, text=True, timeout=10)
    if probe.returncode != 0:
        pytest.skip(f"unshare cannot make private mount and PID namespaces: {probe.stderr.strip()}")
    made = subprocess.run(
        ["useradd", "--system", "--user-group", "--no-create-home", "--shell", "/usr/sbin/nologin", ATTACKER],
        capture_output=True, text=True, timeout=30)
    if made.returncode not in (0, 9):  # 9: it exists already
        pytest.skip(f"useradd failed: {made.stderr.strip()}")
    entry = pwd.getpwnam(ATTACKER)
    yield entry.pw_uid, entry.pw_gid
    subprocess.run(["userdel", ATTACKER], capture_output=True, timeout=30)


def carrying(token):
    mark = f"ATTACK_RUN={token}".encode()
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/environ", "rb") as environ:
                if mark in environ.read().split(b"\0"):
                    found.append(int(entry))
        except (OSError, ValueError):
            pass
    return found


def leftovers(token):
    """The processes of a run still there a few seconds after it ended; killed."""
    deadline = time.monotonic() + 5
    while (found := carrying(token)) and time.monotonic() < deadline:
        time.sleep(0.1)
    for pid in found:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    return found


@pytest.mark.parametrize("case", CASES)
def test_attack_leaves_results_and_files_whole(attacker, case):
    token = os.urandom(8).hex()
    env = {k: v for k, v in os.environ.items() if k not in ("TMPDIR", "TEMP", "TMP")}
    env.update(ATTACK_RUN=token, ATTACK_UID=str(attacker[0]), ATTACK_GID=str(attacker[1]), ATTACK_COMMON=COMMON,
               ATTACK_TESTS=os.path.dirname(__file__), ATTACK_WALL=str(WALL - 5))
    command = ["unshare", "-m", "--propagation", "private", sys.executable, "-c", COMMON + textwrap.dedent(CASES[case])]
    with tempfile.TemporaryFile() as log:  # not a pipe, which a process left behind would hold open
        try:
            ended = f"exit status {subprocess.run(command, env=env, stdout=log, stderr=log, timeout=WALL).returncode}"
        except subprocess.TimeoutExpired:
            ended = f"no end within {WALL} s"
        left = leftovers(token)
        log.seek(0)
        assert ended == "exit status 0" and not left, f"{ended}, processes left: {left}\n{log.read().decode(errors='replace')}"
