"""Helpers for tests that run real batches: reaping checks and clean-up."""

import os

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
