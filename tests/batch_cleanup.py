"""Helpers for tests that run real batches: reaping checks and clean-up."""

import os
import resource

import pytest

WAIT = 30  # generous bound for joins, so a fault fails instead of hanging


def assert_reaped(pids):
    """Each pid was a child of ours and has been reaped: there is nothing left to wait for."""
    for pid in pids:
        assert pid is not None
        with pytest.raises(ChildProcessError):
            os.waitpid(pid, os.WNOHANG)


def stop(batch):
    """Kill and join whatever the batch left behind (test clean-up)."""
    for child in batch._processes:
        if child._popen is not None and child.exitcode is None:
            child.kill()
        if child._popen is not None:
            child.join(WAIT)


def bound_this_process(memory=512 << 20, cpu_seconds=60):
    """Caps the calling (child) process: at most `memory` more bytes of address
    space than it has now (the sanitizer's huge reservations included), and
    `cpu_seconds` of CPU time. A child that recurses, allocates or loops
    without end then fails or dies instead of exhausting the machine."""
    with open("/proc/self/status") as status:
        vm_size = next(int(line.split()[1]) << 10 for line in status if line.startswith("VmSize:"))
    _, hard = resource.getrlimit(resource.RLIMIT_AS)
    cap = vm_size + memory
    resource.setrlimit(resource.RLIMIT_AS, (cap if hard == resource.RLIM_INFINITY else min(cap, hard), hard))
    _, hard = resource.getrlimit(resource.RLIMIT_CPU)
    used = int(sum(os.times()[:2]))
    cap = used + cpu_seconds
    resource.setrlimit(resource.RLIMIT_CPU, (cap if hard == resource.RLIM_INFINITY else min(cap, hard), hard))
