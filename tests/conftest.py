"""Fixtures shared by the test modules."""

import multiprocessing

import pytest


@pytest.fixture(autouse=True)
def reap_children():
    """Kill and join every child process that a test left behind."""
    yield
    for child in multiprocessing.active_children():
        child.kill()
        child.join(10)


def pytest_terminal_summary(terminalreporter):
    """The peak resident memory of the suite's process and of the largest
    child it waited for (forked batch children, interpreters, mypy)."""
    import resource

    own = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss >> 10
    children = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss >> 10
    terminalreporter.write_line(f"peak memory: suite {own} MiB, largest child {children} MiB")
